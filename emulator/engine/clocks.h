// The engine's clocks and the time stamps they give: timecode, PTP time, tick counts.
#pragma once

#include <cstdint>

namespace Kor::Engine {

// Time bases: the steady clock in nanoseconds (pacing, tick counts), the system clock in
// 100-ns ticks since 1970-01-01 UTC (queue times), and local time, the system clock plus
// the UTC offset of the machine's time zone in force at that instant (timecode, PTP).
class Clock {
public:
    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;
    virtual ~Clock() = default;

    virtual std::int64_t SteadyNs() = 0;
    virtual std::int64_t SystemTicks() = 0;
    virtual std::int64_t LocalTicks() = 0;
};

// The machine's clocks. The time zone is looked up on every call (the C library's
// conversion, or the Windows time-zone functions; daylight-saving time included), so a
// zone change applies at once.
class SystemClock final : public Clock {
public:
    std::int64_t SteadyNs() override;
    std::int64_t SystemTicks() override;
    std::int64_t LocalTicks() override;
};

// Process-wide instance of SystemClock.
Clock& DefaultClock();

// Lets the kernel wake the calling thread's sleeps on time instead of batching them into
// its default timer slack (50 us on Linux) or timer tick (about 15.6 ms on Windows, raised
// to 1 ms for the life of the thread), which would show as period jitter.
void TightenTimerSlack() noexcept;

// The UTC offset, in seconds, of the current time zone at `utcSeconds` since 1970.
std::int64_t UtcOffsetSeconds(std::int64_t utcSeconds);

struct Timecode {
    std::uint8_t hours;
    std::uint8_t minutes;
    std::uint8_t seconds;
    std::uint8_t frames;
};

// Timecode of the local time `localTicks` at project frame-rate code `projectFps`:
// the time of day with the frame counting slices of the wall-clock second, or, at code 4
// (29.97), drop-frame counting of the real frames since midnight, which skips frames 0 and
// 1 at the start of every minute except every tenth. Codes outside 1..5 give frames 0.
Timecode TimecodeAt(std::int64_t localTicks, std::uint8_t projectFps) noexcept;

struct PtpTime {
    std::uint64_t seconds;
    std::uint32_t nanoseconds;
};

// PTP time stamp of the local time `localTicks` (local wall-clock time, not UTC).
PtpTime PtpAt(std::int64_t localTicks) noexcept;

// Tick count after `elapsedNs` in the unit `tickCountType` (0 s, 1 ms, 2 us); other units
// leave `count` as it was. Returns whether `count` was written.
bool TickCountAfter(std::int64_t elapsedNs, std::uint8_t tickCountType,
                    std::uint64_t& count) noexcept;

}  // namespace Kor::Engine
