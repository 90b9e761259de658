// Float-to-integer conversions of the sender, defined for every input.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace Kor::Protocol::detail {

// Truncates toward zero into Int. NaN gives 0; values at or beyond Int's limits
// (infinities included) saturate to the nearest limit. Within range this is exactly the
// C++ conversion, which would be undefined behaviour outside it.
template <typename Int, typename Float>
constexpr Int TruncSaturate(Float value) noexcept {
    static_assert(std::is_integral_v<Int> && std::is_floating_point_v<Float>);
    if (value != value) {
        return 0;
    }
    // Both limits as exact powers of two (or zero) in Float: 2^digits and -2^digits.
    constexpr Float upper = static_cast<Float>(std::numeric_limits<Int>::max() / 2 + 1) * 2;
    constexpr Float lower = static_cast<Float>(std::numeric_limits<Int>::min());
    if (value >= upper) {
        return std::numeric_limits<Int>::max();
    }
    if (value <= lower) {
        return std::numeric_limits<Int>::min();
    }
    return static_cast<Int>(value);
}

// Fixed-point value of a field marked x100 or x10: the float is scaled in single
// precision, then truncated into a 32-bit (or, for the fields formed in 64 bits, a
// 64-bit) integer with TruncSaturate. The field then carries the integer's low bits.
inline std::int32_t Scaled32(float value, float scale) noexcept {
    return TruncSaturate<std::int32_t>(value * scale);
}
inline std::int64_t Scaled64(float value, float scale) noexcept {
    return TruncSaturate<std::int64_t>(value * scale);
}

}  // namespace Kor::Protocol::detail
