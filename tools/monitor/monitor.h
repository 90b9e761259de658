// The receive pipeline: feeds datagrams and serial bytes to one Device, keeps the statistics
// of every frame it reports and hands each finished frame on.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "stats.h"

namespace KorMonitor {

// One frame that the device finished, as the pipeline hands it on.
struct FinishedFrame {
    Kor::Protocol::FrameStatus status;
    const ReceiveTime& time;
    // The frame's record types in frame order; empty for a frame that was not applied.
    std::span<const Kor::Protocol::MessageType> types;
    // The device's state after the frame.
    const Kor::Protocol::TelemetryData& state;
    // The datagram repeats one of the last kDuplicateWindow datagrams byte for byte.
    bool duplicate = false;
};

// How many recent datagrams a new one is compared with to find duplicates.
inline constexpr std::size_t kDuplicateWindow = 64;

// Feeds received bytes to one Device and reports each frame it finishes with its own
// status, record types and the state right after it: a datagram is one frame, a serial
// chunk (or a datagram that does not begin like a UDP frame, which the device takes for
// serial bytes) finishes none, one or many.
//
//   Monitor monitor([](const FinishedFrame& frame) { ... });
//   monitor.OnDatagram(bytes, ReceiveTime::Now());
class Monitor {
public:
    using FrameSink = std::function<void(const FinishedFrame&)>;

    // frameLimit: stop after this many finished frames (0 = no limit); bytes that arrive
    // after the limit are counted as received and otherwise ignored.
    explicit Monitor(FrameSink sink, std::uint64_t frameLimit = 0);

    // sender names where the datagram came from (UdpSender of its source address and port),
    // so that each sender's streams are followed apart.
    void OnDatagram(std::span<const std::uint8_t> datagram, const ReceiveTime& time,
                    SenderId sender = kSerialSender);
    // A serial input is one sender.
    void OnSerialBytes(std::span<const std::uint8_t> bytes, const ReceiveTime& time);

    // True once the frame limit has been reached.
    bool Done() const { return frameLimit_ != 0 && finished_ >= frameLimit_; }

    const Stats& GetStats() const { return stats_; }
    // The state after the last frame reported (frames after the limit leave it as it was).
    const Kor::Protocol::TelemetryData& State() const {
        return atLimit_ ? *atLimit_ : *device_.GetCurrentState();
    }

private:
    void Feed(std::span<const std::uint8_t> bytes, const ReceiveTime& time, SenderId sender,
              bool duplicate);
    void Finish(Kor::Protocol::FrameStatus status,
                std::span<const Kor::Protocol::MessageType> types, const ReceiveTime& time,
                SenderId sender, bool duplicate = false);
    // Whether the datagram equals a recent one; remembers it either way.
    bool SeenRecently(std::span<const std::uint8_t> datagram);

    FrameSink sink_;
    std::uint64_t frameLimit_;
    std::uint64_t finished_ = 0;
    Kor::Protocol::Device device_;
    std::optional<Kor::Protocol::TelemetryData> atLimit_;  // the state when the limit was reached
    std::deque<std::vector<std::uint8_t>> recent_;  // the last kDuplicateWindow datagrams
    Stats stats_;
};

}  // namespace KorMonitor
