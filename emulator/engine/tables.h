// The emulator's static rate tables, shared by the engine and the model.
#pragma once

#include <array>
#include <cstdint>

namespace Kor::Engine {

// Number of rate slots with a generator thread (0 to 8) and of schedule lists (0 to 9).
inline constexpr int kGeneratorSlots = 9;
inline constexpr int kScheduleSlots = 10;
// Rate choices 9 and 10, which have no rate of their own.
inline constexpr int kRateChoiceFps = 9;
inline constexpr int kRateChoiceEveryPacket = 10;

// Hz by rate choice 0..9, as the control window shows them; 9 (-1) means "the project frame
// rate". 23.976024 and 29.97003 are the floats nearest 24000/1001 and 30000/1001.
inline constexpr std::array<float, 10> kRateByChoice{1.0F,  10.0F, 23.976024F, 24.0F, 25.0F,
                                                     29.97003F, 30.0F, 60.0F, 100.0F, -1.0F};

// Frames per second by project frame-rate code 0..5 (0: no frame rate), as shown.
inline constexpr std::array<float, 6> kFrameRateByProjectFps{0.0F,  23.976024F, 24.0F,
                                                             25.0F, 29.97003F,  30.0F};

// The schedule slot whose rate equals each project frame rate (9 when none is set).
inline constexpr std::array<std::int32_t, 6> kRateSlotByProjectFps{9, 2, 3, 4, 5, 6};

// A rate as an exact ratio: `numerator` / `denominator` frames per second. The engine paces
// and stamps from these, never from the rounded floats above, so 23.98 runs at exactly
// 24000/1001 Hz and does not drift from the frames it counts.
struct Rate {
    std::int64_t numerator = 0;
    std::int64_t denominator = 1;
};

// The rate of each generator slot 0..8.
inline constexpr std::array<Rate, kGeneratorSlots> kSlotRates{
    {{1, 1}, {10, 1}, {24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}, {60, 1}, {100, 1}}};

// The frame rate of each project frame-rate code 0..5; code 0 has none (numerator 0).
inline constexpr std::array<Rate, 6> kProjectRates{
    {{0, 1}, {24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}}};

// The frame rate of a project frame-rate code; codes outside 0..5 count as "not set".
constexpr Rate ProjectRateOf(std::uint8_t projectFps) noexcept {
    return projectFps < kProjectRates.size() ? kProjectRates[projectFps] : Rate{0, 1};
}

// The frame rate of a project frame-rate code as the control window shows it; codes
// outside 0..5 count as "not set".
constexpr float FrameRateOf(std::uint8_t projectFps) noexcept {
    return projectFps < kFrameRateByProjectFps.size() ? kFrameRateByProjectFps[projectFps] : 0.0F;
}

}  // namespace Kor::Engine
