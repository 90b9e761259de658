// The aperture step table shared by the ZeissZdData encoder and decoder.
#pragma once

#include <array>
#include <cstdint>

namespace Kor::Protocol::detail {

struct ApertureStep {
    std::uint8_t baseCode;  // full stop x 10
    float step;             // one of the ten steps up to the next full stop
};

// Ordered by base code; constant data, so concurrent decoders only ever read it.
inline constexpr std::array<ApertureStep, 9> kApertureSteps{{
    {14, 0.06F},
    {20, 0.08F},
    {28, 0.12F},
    {40, 0.16F},
    {56, 0.24F},
    {80, 0.3F},
    {110, 0.5F},
    {160, 0.6F},
    {220, 1.0F},
}};

// The step above `baseCode`; a base code the table does not hold has a step of 0.
constexpr float ApertureStepOf(unsigned baseCode) noexcept {
    for (const ApertureStep& entry : kApertureSteps) {
        if (entry.baseCode == baseCode) {
            return entry.step;
        }
    }
    return 0.0F;
}

}  // namespace Kor::Protocol::detail
