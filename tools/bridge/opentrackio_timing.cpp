// Timecode labels and frame-rate codes.
#include "opentrackio_timing.h"

namespace Kor::Bridge {

namespace {

constexpr std::uint8_t kDropFrameCode = 4;

}  // namespace

unsigned TimecodeFrameCount(std::uint8_t projectFps) noexcept {
    switch (projectFps) {
        case 1:
        case 2: return 24;
        case 3: return 25;
        case 4:
        case 5: return 30;
        default: return 0;
    }
}

bool IsDropFrame(std::uint8_t projectFps) noexcept {
    return projectFps == kDropFrameCode;
}

bool TimecodeValidAt(std::uint8_t hours, std::uint8_t minutes, std::uint8_t seconds,
                     std::uint8_t frames, std::uint8_t projectFps) noexcept {
    if (hours > 23 || minutes > 59 || seconds > 59 || frames >= TimecodeFrameCount(projectFps)) {
        return false;
    }
    // Drop-frame skips the labels 0 and 1 at the start of every minute but each tenth.
    return !(IsDropFrame(projectFps) && seconds == 0 && frames < 2 && minutes % 10 != 0);
}

std::optional<std::uint8_t> ProjectFpsOf(std::uint32_t num, std::uint32_t denom,
                                         std::optional<bool> dropFrame) noexcept {
    if (denom == 0) {
        return std::nullopt;
    }
    struct Rate {
        std::uint64_t num;
        std::uint64_t denom;
        std::uint8_t code;
    };
    static constexpr Rate kRates[] = {
        {24000, 1001, 1}, {24, 1, 2}, {25, 1, 3}, {30000, 1001, 4}, {30, 1, 5}};
    for (const Rate& rate : kRates) {
        // Cross-multiplied in 64 bits: both sides stay below 2^47.
        if (std::uint64_t{num} * rate.denom == std::uint64_t{denom} * rate.num) {
            if (dropFrame.value_or(rate.code == kDropFrameCode) != (rate.code == kDropFrameCode)) {
                return std::nullopt;
            }
            return rate.code;
        }
    }
    return std::nullopt;
}

}  // namespace Kor::Bridge
