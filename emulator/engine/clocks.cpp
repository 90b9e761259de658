// Clocks and time stamps: local time through the platform layer, timecode with drop-frame,
// and the time base that stamps each frame from its scheduled instant.
#include "clocks.h"

#include <algorithm>
#include <chrono>

#include "local_time.h"
#include "timer.h"

namespace Kor::Engine {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kTicksPerDay = 86'400 * kTicksPerSecond;
constexpr std::int64_t kThirdsPerTick = 100 * kThirdsPerNs;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kNsPerDay = 86'400 * kNsPerSecond;

// Products of an instant and a rate need more than 64 bits in a run of some days.
__extension__ typedef __int128 Wide;

template <typename T>
constexpr T FloorDiv(T a, T b) noexcept {
    T q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

constexpr std::int64_t FloorDiv64(Wide a, Wide b) noexcept {
    return static_cast<std::int64_t>(FloorDiv<Wide>(a, b));
}

constexpr std::int64_t FloorMod(std::int64_t a, std::int64_t b) noexcept {
    return a - FloorDiv(a, b) * b;
}

// Labels per second of the label count of `projectFps`: 24 at 23.98 and 24, 25, 30; one at
// no frame rate, where the count is of seconds. (29.97 is numbered drop-frame instead.)
constexpr std::int64_t LabelsPerSecond(std::uint8_t projectFps) noexcept {
    switch (projectFps) {
        case 1:
        case 2: return 24;
        case 3: return 25;
        case 5: return 30;
        default: return 1;
    }
}

// The number of the time-of-day label at `sinceMidnight` thirds of a nanosecond after local
// midnight: frames at 24, 25 and 30, 24ths of a second at 23.98, real frames at exactly
// 30000/1001 per second at 29.97, whole seconds without a frame rate.
std::int64_t TimeOfDayLabel(std::int64_t sinceMidnight, std::uint8_t projectFps) noexcept {
    if (projectFps == 4) {
        return FloorDiv64(Wide{sinceMidnight} * 30'000, Wide{1001} * kThirdsPerSecond);
    }
    return FloorDiv64(Wide{sinceMidnight} * LabelsPerSecond(projectFps), kThirdsPerSecond);
}

// The timecode of label number `label` counted from midnight. At 29.97 the label counts
// real frames and is numbered drop-frame: frame numbers 0 and 1 are skipped at the start of
// every minute except every tenth. Hours wrap at 24, so a count that runs past midnight
// goes on from 00:00:00:00.
Timecode TimecodeOfLabel(std::int64_t label, std::uint8_t projectFps) noexcept {
    std::int64_t n = label;
    std::int64_t perSecond = LabelsPerSecond(projectFps);
    if (projectFps == 4) {
        const std::int64_t tenMinutes = FloorDiv<std::int64_t>(n, 17982);
        const std::int64_t rest = n - tenMinutes * 17982;
        n += 18 * tenMinutes + 2 * (std::max<std::int64_t>(rest - 2, 0) / 1798);
        perSecond = 30;
    }
    const std::int64_t seconds = FloorDiv(n, perSecond);
    return Timecode{static_cast<std::uint8_t>(FloorMod(FloorDiv<std::int64_t>(seconds, 3600), 24)),
                    static_cast<std::uint8_t>(FloorMod(FloorDiv<std::int64_t>(seconds, 60), 60)),
                    static_cast<std::uint8_t>(FloorMod(seconds, 60)),
                    static_cast<std::uint8_t>(perSecond > 1 ? FloorMod(n, perSecond) : 0)};
}

}  // namespace

std::int64_t SystemClock::SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t SystemClock::SystemTicks() {
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, kTicksPerSecond>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t SystemClock::LocalTicks() {
    const std::int64_t utc = SystemTicks();
    return utc + UtcOffsetSeconds(utc / kTicksPerSecond) * kTicksPerSecond;
}

void TightenTimerSlack() noexcept {
    Platform::TightenTimerSlack();
}

Clock& DefaultClock() {
    static SystemClock clock;
    return clock;
}

std::int64_t UtcOffsetSeconds(std::int64_t utcSeconds) {
    return Platform::UtcOffsetSeconds(utcSeconds);
}

Timecode TimecodeAt(std::int64_t localTicks, std::uint8_t projectFps) noexcept {
    const std::int64_t sinceMidnight = FloorMod(localTicks, kTicksPerDay) * kThirdsPerTick;
    return TimecodeOfLabel(TimeOfDayLabel(sinceMidnight, projectFps), projectFps);
}

PtpTime PtpAt(std::int64_t localTicks) noexcept {
    const auto ticks = static_cast<std::uint64_t>(localTicks);
    return PtpTime{ticks / kTicksPerSecond,
                   static_cast<std::uint32_t>((ticks % kTicksPerSecond) * 100)};
}

bool TickCountAfter(std::int64_t elapsedNs, std::uint8_t tickCountType,
                    std::uint64_t& count) noexcept {
    const auto elapsed = static_cast<std::uint64_t>(std::max<std::int64_t>(elapsedNs, 0));
    switch (tickCountType) {
        case 0: count = elapsed / 1'000'000'000; return true;
        case 1: count = elapsed / 1'000'000; return true;
        case 2: count = elapsed / 1'000; return true;
        default: return false;
    }
}

void TimeBase::Start(std::int64_t epochNs, std::int64_t localNs) noexcept {
    epochThirds_ = epochNs * kThirdsPerNs;
    Rejam(epochThirds_, localNs);
}

void TimeBase::Follow(std::int64_t instantThirds, std::int64_t localNs) noexcept {
    localOffsetNs_ = localNs - FloorDiv(instantThirds, kThirdsPerNs);
}

void TimeBase::Rejam(std::int64_t instantThirds, std::int64_t localNs) noexcept {
    Follow(instantThirds, localNs);
    jamThirds_ = instantThirds;
    midnightNs_ = localNs - FloorMod(localNs, kNsPerDay);
    jamLabel_ = TimeOfDayLabel(SinceMidnightThirds(instantThirds), 1);
}

std::int64_t TimeBase::LocalNsAt(std::int64_t steadyNs) const noexcept {
    return steadyNs + localOffsetNs_;
}

std::int64_t TimeBase::SinceMidnightThirds(std::int64_t instantThirds) const noexcept {
    return (FloorDiv(instantThirds, kThirdsPerNs) + localOffsetNs_ - midnightNs_) * kThirdsPerNs +
           FloorMod(instantThirds, kThirdsPerNs);
}

Timecode TimeBase::TimecodeAt(std::int64_t instantThirds, std::uint8_t projectFps) const noexcept {
    if (projectFps == 1) {
        // Jammed to the time-of-day label at the last jam, then counting real frames.
        const std::int64_t frames = FloorDiv64(Wide{instantThirds - jamThirds_} * 24'000,
                                               Wide{1001} * kThirdsPerSecond);
        return TimecodeOfLabel(jamLabel_ + frames, projectFps);
    }
    return TimecodeOfLabel(TimeOfDayLabel(SinceMidnightThirds(instantThirds), projectFps),
                           projectFps);
}

PtpTime TimeBase::PtpAt(std::int64_t instantThirds) const noexcept {
    const auto localNs =
        static_cast<std::uint64_t>(FloorDiv(instantThirds, kThirdsPerNs) + localOffsetNs_);
    return PtpTime{localNs / kNsPerSecond, static_cast<std::uint32_t>(localNs % kNsPerSecond)};
}

bool TimeBase::TickCountAt(std::int64_t instantThirds, std::uint8_t tickCountType,
                           std::uint64_t& count) const noexcept {
    return TickCountAfter(FloorDiv(instantThirds - epochThirds_, kThirdsPerNs), tickCountType,
                          count);
}

}  // namespace Kor::Engine
