// Sleep precision for the pacing threads.
#pragma once

#include <cstdint>

namespace Kor::Platform {

// Lets the calling thread's sleeps and timed waits end close to their deadlines for as long
// as the thread runs. Linux: a timer slack of 1 ns instead of the default 50 us. Windows:
// the system timer raised to 1 ms (timeBeginPeriod) instead of its default tick of about
// 15.6 ms, and restored when the thread ends.
void TightenTimerSlack() noexcept;

// How long before a deadline a pacing loop hands over from sleeping to yielding: a little
// more than the usual lateness of a wake-up on this system. Pacing threads start from it and
// then follow the lateness they measure, up to MaxSpinMarginNs.
std::int64_t SpinMarginNs() noexcept;

// The most a pacing loop spends yielding before each deadline, however late its sleeps wake.
std::int64_t MaxSpinMarginNs() noexcept;

}  // namespace Kor::Platform
