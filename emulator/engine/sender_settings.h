// SenderSettings: what a sender is told to send and where, as one plain value: the control
// window's settings and kor-send's options both come down to it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <kor/telemetry.h>

namespace Kor::Engine {

// Number of message type numbers (0 to kLastMessageType).
inline constexpr std::size_t kMessageTypeCount = Protocol::kLastMessageType + 1U;

// Where datagrams go: a dotted-decimal IPv4 address and a port.
struct Destination {
    std::string address;
    std::uint16_t port = 0;
};

struct SenderSettings {
    std::string address = "127.0.0.1";  // dotted-decimal IPv4
    std::uint16_t port = 33322;
    // Further destinations: every frame goes to the one above and to each of these.
    std::vector<Destination> furtherDestinations;
    Protocol::TransmissionType transmissionType = Protocol::TransmissionType::UDP;
    std::int32_t delayMs = 0;        // every datagram held back this long
    std::uint8_t projectFps = 2;     // project frame-rate code 1 to 5 (24 fps)
    std::uint8_t tickCountType = 0;  // 0 seconds, 1 milliseconds, 2 microseconds
    bool recordFlag = false;         // the timecode's record flag
    // By MessageType value: whether the type is sent, and its rate choice (0 to 8 a
    // generator slot's rate, kRateChoiceFps or kRateChoiceEveryPacket).
    std::array<bool, kMessageTypeCount> enabled{};
    std::array<std::int32_t, kMessageTypeCount> rate{};
};

}  // namespace Kor::Engine
