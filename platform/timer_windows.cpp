// Sleep precision on Windows: the system timer at 1 ms while a pacing thread runs.
#include "timer.h"

#include <windows.h>
#include <timeapi.h>

namespace Kor::Platform {

namespace {

// Raises the timer resolution on construction and restores it on destruction; Windows
// counts the requests, so each thread holds one of its own.
class TimerPeriod {
public:
    TimerPeriod() noexcept : raised_(::timeBeginPeriod(1) == TIMERR_NOERROR) {}
    ~TimerPeriod() {
        if (raised_) {
            ::timeEndPeriod(1);
        }
    }
    TimerPeriod(const TimerPeriod&) = delete;
    TimerPeriod& operator=(const TimerPeriod&) = delete;

private:
    bool raised_;
};

}  // namespace

void TightenTimerSlack() noexcept {
    // One request per thread, released when the thread ends.
    thread_local TimerPeriod period;
    (void)period;
}

// With the timer at 1 ms a timed wait ends up to about a tick late, sometimes a little
// more on a loaded machine; the last 1.5 ms before a deadline are spent yielding.
std::int64_t SpinMarginNs() noexcept {
    return 1'500'000;
}

// Two timer ticks and a little more.
std::int64_t MaxSpinMarginNs() noexcept {
    return 2'500'000;
}

}  // namespace Kor::Platform
