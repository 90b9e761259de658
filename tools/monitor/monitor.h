// The receive pipeline: routes datagrams and serial bytes to their sources (a sender and the
// subject it sends, each with its own Device), keeps the statistics of every frame each
// source reports and hands each finished frame on.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "source.h"
#include "source_router.h"
#include "stats.h"

namespace KorMonitor {

// One frame that a source's device finished, as the pipeline hands it on.
struct FinishedFrame {
    Kor::Protocol::FrameStatus status;
    const ReceiveTime& time;
    // The frame's record types in frame order; empty for a frame that was not applied.
    std::span<const Kor::Protocol::MessageType> types;
    // The source's state after the frame.
    const Kor::Protocol::TelemetryData& state;
    // The datagram repeats one of its sender's last kDuplicateWindow datagrams byte for byte.
    bool duplicate = false;
    // The source: its index (from 0, in the order of first arrival) and its sender and subject.
    // No index for a frame refused before its sender's first applied frame: it belongs to no
    // source, and key names its sender (subject kNoSubject).
    std::optional<std::size_t> source;
    const Kor::Platform::SourceKey* key = nullptr;
};

// How many recent datagrams of a sender a new one is compared with to find duplicates.
inline constexpr std::size_t kDuplicateWindow = 64;

// Routes received bytes to their sources and reports each frame a source's device finishes
// with its own status, record types and the source's state right after it: a datagram is one
// frame, a serial chunk (or a datagram that does not begin like a UDP frame, which is read as
// serial bytes) finishes none, one or many. Statistics are kept per source and in total; the
// frames refused before their sender's first applied frame belong to no source and count in
// the totals and in RefusedBeforeFirstFrame.
//
//   Monitor monitor([](const FinishedFrame& frame) { ... });
//   monitor.OnDatagram(bytes, ReceiveTime::Now(), address, port);
class Monitor {
public:
    using FrameSink = std::function<void(const FinishedFrame&)>;

    // frameLimit: stop after this many finished frames (0 = no limit); bytes that arrive
    // after the limit are counted as received and otherwise ignored.
    explicit Monitor(FrameSink sink, std::uint64_t frameLimit = 0);

    // A datagram from the sender at address:port (host order).
    void OnDatagram(std::span<const std::uint8_t> datagram, const ReceiveTime& time,
                    std::uint32_t address = 0, std::uint16_t port = 0);
    // A serial input is one sender.
    void OnSerialBytes(std::span<const std::uint8_t> bytes, const ReceiveTime& time);

    // True once the frame limit has been reached.
    bool Done() const { return frameLimit_ != 0 && finished_ >= frameLimit_; }

    // The totals over every source.
    const Stats& GetStats() const { return totals_; }

    // Sources so far, numbered from 0 in the order their first frame came.
    std::size_t SourceCount() const { return sources_.size(); }
    // The index must be below SourceCount().
    const Kor::Platform::SourceKey& Key(std::size_t source) const { return router_.Key(source); }
    const Stats& SourceStats(std::size_t source) const { return sources_[source]; }
    // The source's state after its last frame reported (frames after the limit leave it as
    // it was).
    const Kor::Protocol::TelemetryData& State(std::size_t source) const {
        return atLimit_.empty() ? router_.State(source) : atLimit_[source];
    }
    // Frames of senders or sources beyond the router's limit: counted, not followed.
    std::uint64_t Refused() const { return router_.Refused(); }
    // The senders with frames refused before their first applied one, and how many.
    std::vector<Kor::Tools::SourceRouter::SenderRefusals> RefusedBeforeFirstFrame() const {
        return router_.RefusedBeforeFirstFrame();
    }

private:
    void Finish(const Kor::Tools::RoutedFrame& frame, const ReceiveTime& time, bool duplicate);
    // Whether the datagram equals a recent one of its sender; remembers it either way.
    bool SeenRecently(std::uint64_t sender, std::span<const std::uint8_t> datagram);

    FrameSink sink_;
    std::uint64_t frameLimit_;
    std::uint64_t finished_ = 0;
    Kor::Tools::SourceRouter router_;
    std::vector<Stats> sources_;  // by source index
    // The sources' states when the limit was reached.
    std::vector<Kor::Protocol::TelemetryData> atLimit_;
    // Each sender's last kDuplicateWindow datagrams.
    std::map<std::uint64_t, std::deque<std::vector<std::uint8_t>>> recent_;
    Stats totals_{false};
};

}  // namespace KorMonitor
