// Sleep precision on POSIX systems.
#include "timer.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace Kor::Platform {

void TightenTimerSlack() noexcept {
#ifdef __linux__
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

// Linux wakes a sleeper within some tens of microseconds (with the timer slack at 1 ns).
std::int64_t SpinMarginNs() noexcept {
    return 100'000;
}

// A millisecond of yielding before each deadline is already a tenth of a 100 Hz period.
std::int64_t MaxSpinMarginNs() noexcept {
    return 1'000'000;
}

}  // namespace Kor::Platform
