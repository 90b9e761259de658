// Display names of message types and frame statuses, spelled as the enumerators.
#pragma once

#include <cstddef>
#include <string_view>

#include <kor/device.h>
#include <kor/telemetry.h>

namespace KorMonitor {

// Number of FrameStatus enumerators (NewTimecode = 0 to HeaderError = 9).
inline constexpr std::size_t kFrameStatusCount = 10;

// Number of message type numbers that exist (0 to kLastMessageType).
inline constexpr std::size_t kMessageTypeCount = Kor::Protocol::kLastMessageType + 1U;

// The enumerator's name, e.g. "BasicLens"; "Unknown" for a value outside the catalogue.
std::string_view MessageTypeName(Kor::Protocol::MessageType type);

// The enumerator's name, e.g. "ChecksumError"; "Unknown" for a value outside the enum.
std::string_view FrameStatusName(Kor::Protocol::FrameStatus status);

// True for the two statuses of a frame that was valid and applied to the state.
constexpr bool IsApplied(Kor::Protocol::FrameStatus status) {
    return status == Kor::Protocol::FrameStatus::NewTimecode ||
           status == Kor::Protocol::FrameStatus::SameTimecode;
}

}  // namespace KorMonitor
