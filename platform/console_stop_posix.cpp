// Stop requests on POSIX systems: SIGINT (Ctrl-C) and SIGTERM, caught by a handler that
// records the first of them.
#include "console_stop.h"

#include <signal.h>

#include <csignal>
#include <thread>

namespace Kor::Platform {

namespace {

volatile std::sig_atomic_t request = 0;

extern "C" void OnStopSignal(int number) {
    if (request == 0) {
        request = number;
    }
}

}  // namespace

void InstallConsoleStopHandler() {
    // Without SA_RESTART, a blocking read or poll in the thread the signal lands on returns
    // at once with EINTR, so the program's loop sees the request without waiting for input.
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int ConsoleStopRequest() noexcept {
    return request;
}

int WaitForConsoleStop(std::chrono::milliseconds timeout) {
    // The signal may land on another thread, so the wait looks again every few milliseconds.
    constexpr std::chrono::milliseconds kSlice{5};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (request == 0) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            break;
        }
        std::this_thread::sleep_for(left < kSlice ? left : kSlice);
    }
    return request;
}

void ConsoleStopHandled() noexcept {}

}  // namespace Kor::Platform
