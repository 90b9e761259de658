// Console stop requests on Windows: SetConsoleCtrlHandler and two events.
#include "console_stop.h"

#include <windows.h>

#include <atomic>
#include <csignal>

namespace Kor::Platform {

namespace {

std::atomic<int> request{0};
HANDLE requested = nullptr;  // set when a request arrives
HANDLE handled = nullptr;    // set when the program has finished after it

// Windows gives a closing console 5 s before it ends the process; stay below that.
constexpr DWORD kCloseGrace = 4500;

BOOL WINAPI OnControl(DWORD type) {
    int number = 0;
    switch (type) {
        case CTRL_C_EVENT: number = SIGINT; break;
        case CTRL_BREAK_EVENT: number = SIGBREAK; break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: number = SIGTERM; break;
        default: return FALSE;
    }
    int none = 0;
    request.compare_exchange_strong(none, number);
    ::SetEvent(requested);
    if (number == SIGTERM) {
        // Returning lets Windows end the process at once: give the main thread the time to
        // stop its threads and write its summary first.
        ::WaitForSingleObject(handled, kCloseGrace);
    }
    return TRUE;
}

}  // namespace

void InstallConsoleStopHandler() {
    if (requested == nullptr) {
        requested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        handled = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

int ConsoleStopRequest() noexcept {
    return request.load();
}

int WaitForConsoleStop(std::chrono::milliseconds timeout) {
    if (requested == nullptr) {
        ::Sleep(static_cast<DWORD>(timeout.count() > 0 ? timeout.count() : 0));
        return request.load();
    }
    ::WaitForSingleObject(requested, static_cast<DWORD>(timeout.count() > 0 ? timeout.count() : 0));
    return request.load();
}

void ConsoleStopHandled() noexcept {
    if (handled != nullptr) {
        ::SetEvent(handled);
    }
}

}  // namespace Kor::Platform
