// A stop request the program's main thread sees. Windows: Ctrl-C, Ctrl-Break and the closing
// of the console window (or the user's log-off, or shutdown), through the console's control
// handler. POSIX systems: SIGINT and SIGTERM, through a signal handler.
#pragma once

#include <chrono>

namespace Kor::Platform {

// Installs the handler: the console's control handler on Windows, a handler of SIGINT and
// SIGTERM on POSIX systems. Call once, early in main.
void InstallConsoleStopHandler();

// The pending stop request: SIGINT for Ctrl-C, SIGBREAK for Ctrl-Break, SIGTERM for
// SIGTERM or the console's closing, log-off or shutdown; 0 while there is none.
int ConsoleStopRequest() noexcept;

// Waits at most `timeout` for a stop request; returns it, or 0 when none came.
int WaitForConsoleStop(std::chrono::milliseconds timeout);

// Says that the program has finished its work (its summary is out). A closing console
// waits for this, a few seconds at most, before Windows ends the process; nothing on POSIX
// systems.
void ConsoleStopHandled() noexcept;

}  // namespace Kor::Platform
