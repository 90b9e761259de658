// Float-to-integer conversions of the engine, defined for every input.
#pragma once

#include <cstdint>
#include <limits>

namespace Kor::Engine {

// Truncates toward zero; NaN gives 0 and values beyond the int64 range saturate.
constexpr std::int64_t SaturateToInt64(double value) noexcept {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (value != value) {
        return 0;
    }
    if (value >= kTwo63) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (value <= -kTwo63) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(value);
}

// a + b, saturating at the int64 limits.
constexpr std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

// A raw lens encoder count: offset / range x 65535 in single precision, truncated to 32
// bits (saturating; NaN gives 0), of which the low 16 bits are kept. An empty range
// (zero, or not a number) gives 0 instead of dividing by zero.
inline std::uint16_t RawEncoderCount(float offset, float range) noexcept {
    if (range == 0.0F || range != range) {
        return 0;
    }
    const float scaled = offset / range * 65535.0F;
    std::int32_t count = 0;
    if (scaled != scaled) {
        count = 0;
    } else if (scaled >= 2147483648.0F) {
        count = std::numeric_limits<std::int32_t>::max();
    } else if (scaled <= -2147483648.0F) {
        count = std::numeric_limits<std::int32_t>::min();
    } else {
        count = static_cast<std::int32_t>(scaled);
    }
    return static_cast<std::uint16_t>(count);
}

}  // namespace Kor::Engine
