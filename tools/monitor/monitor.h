// The receive pipeline: feeds datagrams and serial bytes to one Device, finds each frame's
// status and record types, keeps the statistics and hands every finished frame on.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "frames.h"
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

// Feeds received bytes to one Device so that every call to Device::Update finishes at
// most one frame, and reports each finished frame with its own status.
//
// Datagrams that begin like a UDP frame go to the device whole. Serial bytes (and any
// datagram that does not begin like a UDP frame, which the device would take for serial
// bytes anyway) are cut into frames at their delimiters first and fed one frame per call.
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
    const Kor::Protocol::TelemetryData& State() const { return *device_.GetCurrentState(); }

private:
    void FeedSerial(std::span<const std::uint8_t> bytes, const ReceiveTime& time,
                    SenderId sender);
    void Finish(Kor::Protocol::FrameStatus status,
                std::span<const Kor::Protocol::MessageType> types, const ReceiveTime& time,
                SenderId sender, bool duplicate = false);
    // Whether the datagram equals a recent one; remembers it either way.
    bool SeenRecently(std::span<const std::uint8_t> datagram);

    FrameSink sink_;
    std::uint64_t frameLimit_;
    std::uint64_t finished_ = 0;
    Kor::Protocol::Device device_;
    SerialSplitter splitter_;
    bool serialOpened_ = false;  // the device has been given its opening delimiter
    std::vector<std::uint8_t> input_;
    std::deque<std::vector<std::uint8_t>> recent_;  // the last kDuplicateWindow datagrams
    Stats stats_;
};

}  // namespace KorMonitor
