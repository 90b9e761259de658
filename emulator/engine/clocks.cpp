// Clocks and time stamps: local time through the platform layer, timecode with drop-frame.
#include "clocks.h"

#include <algorithm>
#include <chrono>

#include "local_time.h"
#include "tables.h"
#include "timer.h"

namespace Kor::Engine {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;

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
    const std::int64_t l = localTicks;
    if (projectFps != 4) {
        const double rate = FrameRateOf(projectFps);
        const std::int64_t milliseconds = (l / 10'000) % 1000;
        // Frames slice the wall-clock second; with no frame rate the slice is infinite.
        const double frames = rate > 0.0 ? static_cast<double>(milliseconds) / (1000.0 / rate) : 0.0;
        return Timecode{static_cast<std::uint8_t>((l / 36'000'000'000) % 24),
                        static_cast<std::uint8_t>((l / 600'000'000) % 60),
                        static_cast<std::uint8_t>((l / kTicksPerSecond) % 60),
                        static_cast<std::uint8_t>(static_cast<std::int64_t>(frames))};
    }

    // 29.97: count the real frames since local midnight at exactly 30000/1001 frames per
    // second, in integers (a rounded decimal rate drifts a frame off within the day), then
    // add the frame numbers that drop-frame counting skips (two per minute, except every
    // tenth minute). A frame lasts 1001000/3 ticks of 100 ns. The count is taken from the
    // ticks, not from whole milliseconds: frames start a fraction of a millisecond into
    // one, and a stamp in that fraction would count as the frame before.
    const std::int64_t sinceMidnightTicks = l % (86'400 * kTicksPerSecond);
    std::int64_t n = sinceMidnightTicks * 3 / 1'001'000;
    const std::int64_t tenMinutes = n / 17982;
    const std::int64_t rest = n - tenMinutes * 17982;
    n += 18 * tenMinutes + 2 * (std::max<std::int64_t>(rest - 2, 0) / 1798);
    return Timecode{static_cast<std::uint8_t>((n / 108'000) % 24),
                    static_cast<std::uint8_t>((n / 1800) % 60),
                    static_cast<std::uint8_t>((n / 30) % 60), static_cast<std::uint8_t>(n % 30)};
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

}  // namespace Kor::Engine
