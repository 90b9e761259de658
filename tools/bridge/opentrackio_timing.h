// Timecode rules shared by the OpenTrackIO writer and reader: which labels exist at a Kor
// project frame rate, drop-frame, and the Kor rate code of a rational frame rate.
#pragma once

#include <cstdint>
#include <optional>

namespace Kor::Bridge {

// The labels per timecode second at a Kor project frame-rate code: 24 (1, 23.976, and 2),
// 25 (3), 30 (4, 29.97 drop-frame, and 5); 0 for 0 (none) and unknown codes.
unsigned TimecodeFrameCount(std::uint8_t projectFps) noexcept;

// timing.timecode.dropFrame: true at 29.97 fps (code 4), whose labels Kor counts drop-frame;
// false at every other code.
bool IsDropFrame(std::uint8_t projectFps) noexcept;

// Whether hours:minutes:seconds:frames is a label that exists at the Kor rate code: hours
// below 24, minutes and seconds below 60, frames below the rate's count, and at 29.97
// drop-frame not frame 0 or 1 of second 0 of a minute that is not a multiple of ten. False
// for codes without a rate.
bool TimecodeValidAt(std::uint8_t hours, std::uint8_t minutes, std::uint8_t seconds,
                     std::uint8_t frames, std::uint8_t projectFps) noexcept;

// The Kor project frame-rate code of a frame rate num/denom (any equal fraction: 48/2 is 24):
// 24000/1001 -> 1, 24 -> 2, 25 -> 3, 30000/1001 -> 4, 30 -> 5. Kor's 29.97 is drop-frame: a
// 30000/1001 marked non-drop (`dropFrame` false) has no code, nor has any other rate marked
// drop-frame. Nothing for other rates and a zero denominator.
std::optional<std::uint8_t> ProjectFpsOf(std::uint32_t num, std::uint32_t denom,
                                         std::optional<bool> dropFrame = std::nullopt) noexcept;

}  // namespace Kor::Bridge
