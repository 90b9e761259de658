// Stop requests on POSIX systems: SIGINT (Ctrl-C) and SIGTERM, caught by a handler that
// records the first of them.
#include "console_stop.h"

#include <signal.h>

#include <atomic>
#include <csignal>
#include <thread>

namespace Kor::Platform {

namespace {

// Set in a signal handler and read by any thread: a lock-free atomic is safe for both.
std::atomic<int> request{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int number) {
    int none = 0;
    request.compare_exchange_strong(none, number);
}

}  // namespace

void InstallConsoleStopHandler() {
    // Without SA_RESTART, a blocking read or poll in the thread the signal lands on returns
    // at once with EINTR, so the program's loop sees the request without waiting for input.
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int ConsoleStopRequest() noexcept {
    return request.load();
}

int WaitForConsoleStop(std::chrono::milliseconds timeout) {
    // The signal may land on another thread, so the wait looks again every few milliseconds.
    constexpr std::chrono::milliseconds kSlice{5};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (request.load() == 0) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            break;
        }
        std::this_thread::sleep_for(left < kSlice ? left : kSlice);
    }
    return request.load();
}

void ConsoleStopHandled() noexcept {}

}  // namespace Kor::Platform
