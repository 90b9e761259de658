// The engine's clocks and the time stamps they give: timecode, PTP time, tick counts.
#pragma once

#include <cstdint>

#include "tables.h"

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

// Instants of the frame schedule are counted in thirds of a nanosecond: the period of every
// rate the engine paces (1 s / 24 = 125000000, 1001 s / 24000 = 125125000,
// 1001 s / 30000 = 100100000, 1 s / 30 = 100000000, ...) is a whole number of them, so the
// k-th instant of a slot is exact however long the run, and a label or a stamp taken from it
// never drifts from the rate.
inline constexpr std::int64_t kThirdsPerNs = 3;
inline constexpr std::int64_t kThirdsPerSecond = 3'000'000'000;

// The period of `rate` in thirds of a nanosecond (0 for no rate).
constexpr std::int64_t PeriodThirds(Rate rate) noexcept {
    return rate.numerator > 0 ? kThirdsPerSecond * rate.denominator / rate.numerator : 0;
}

struct Timecode {
    std::uint8_t hours;
    std::uint8_t minutes;
    std::uint8_t seconds;
    std::uint8_t frames;
};

// Timecode of the local time `localTicks` (100-ns ticks) at project frame-rate code
// `projectFps`, as the time of day: the label of the frame period the instant falls in,
// counted from the ticks (frame boundaries fall inside milliseconds). 24, 25 and 30 count
// that many frames a second; 23.98 slices the second into 24 (the label a 23.98 run starts
// from); 29.97 counts the real frames since midnight at exactly 30000/1001 per second and
// numbers them drop-frame, skipping frame numbers 0 and 1 at the start of every minute except
// every tenth. Codes outside 1..5 give frames 0.
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

// The time base of one run: the instant the run started, from which every slot counts its
// ticks, and the mapping from steady-clock instants to local time. Every frame takes its
// timecode, PTP time and tick count from its scheduled instant through it, so the fields of
// one frame agree with each other, frames of different slots agree with their instants, and
// consecutive frames of one rate carry consecutive labels:
//  - 24, 25, 30 and 29.97 (drop-frame) label the time of day at the instant;
//  - 23.98 cannot both count its frames and follow the time of day (24 labels a second, but
//    24000/1001 frames), so, as a camera does, the run jams to the time-of-day label at its
//    start and counts frames at exactly 24000/1001 from there: the labels fall behind the
//    wall clock by 3.6 s an hour.
// The mapping to local time follows the wall clock (Follow, for the small corrections of a
// disciplined clock; Rejam, for a step of the wall clock or of the time zone); the 23.98 jam
// and the midnight that labels count from stay fixed for the run unless Rejam moves them, so
// labels keep counting across midnight and a corrected clock does not make 23.98 labels jump.
class TimeBase {
public:
    // Starts a run at the steady instant `epochNs` (nanoseconds), whose local time is
    // `localNs` (nanoseconds since 1970, local time).
    void Start(std::int64_t epochNs, std::int64_t localNs) noexcept;
    // Maps the steady instant `instantThirds` and every later one to local time from
    // `localNs` on; the tick epoch, the 23.98 jam and the midnight labels count from stay.
    void Follow(std::int64_t instantThirds, std::int64_t localNs) noexcept;
    // As Follow, and the labels start afresh from the time of day at the instant: 23.98 jams
    // there, and the others count from the midnight before it. The tick epoch stays.
    void Rejam(std::int64_t instantThirds, std::int64_t localNs) noexcept;

    // The run's start in thirds of a nanosecond on the steady clock.
    std::int64_t EpochThirds() const noexcept { return epochThirds_; }
    // The local time, in nanoseconds since 1970, of the steady instant `steadyNs`.
    std::int64_t LocalNsAt(std::int64_t steadyNs) const noexcept;

    Timecode TimecodeAt(std::int64_t instantThirds, std::uint8_t projectFps) const noexcept;
    PtpTime PtpAt(std::int64_t instantThirds) const noexcept;
    // Tick count of the instant since the run's start (see TickCountAfter).
    bool TickCountAt(std::int64_t instantThirds, std::uint8_t tickCountType,
                     std::uint64_t& count) const noexcept;

private:
    // Thirds of a nanosecond from the local midnight before the last jam to the instant.
    std::int64_t SinceMidnightThirds(std::int64_t instantThirds) const noexcept;

    std::int64_t epochThirds_ = 0;
    std::int64_t localOffsetNs_ = 0;  // local time minus steady time, in nanoseconds
    std::int64_t jamThirds_ = 0;      // the instant labels were last jammed at
    std::int64_t jamLabel_ = 0;       // the 23.98 label there (24 labels a second)
    std::int64_t midnightNs_ = 0;     // the local midnight before it, ns since 1970
};

}  // namespace Kor::Engine
