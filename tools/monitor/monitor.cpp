// The receive pipeline: one Device, its report of every frame, statistics and a sink.
#include "monitor.h"

#include <algorithm>
#include <utility>

namespace KorMonitor {

using Kor::Protocol::FrameReport;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;

Monitor::Monitor(FrameSink sink, std::uint64_t frameLimit)
    : sink_(std::move(sink)), frameLimit_(frameLimit) {}

void Monitor::OnDatagram(std::span<const std::uint8_t> datagram, const ReceiveTime& time,
                         SenderId sender) {
    stats_.OnReceived(datagram.size());
    if (Done()) {
        return;
    }
    const bool duplicate = SeenRecently(datagram);
    if (duplicate) {
        stats_.OnDuplicate();
    }
    Feed(datagram, time, sender, duplicate);
}

bool Monitor::SeenRecently(std::span<const std::uint8_t> datagram) {
    const bool seen = std::any_of(recent_.begin(), recent_.end(), [&](const auto& earlier) {
        return std::equal(earlier.begin(), earlier.end(), datagram.begin(), datagram.end());
    });
    recent_.emplace_back(datagram.begin(), datagram.end());
    if (recent_.size() > kDuplicateWindow) {
        recent_.pop_front();
    }
    return seen;
}

void Monitor::OnSerialBytes(std::span<const std::uint8_t> bytes, const ReceiveTime& time) {
    stats_.OnReceived(bytes.size());
    Feed(bytes, time, kSerialSender, false);
}

void Monitor::Feed(std::span<const std::uint8_t> bytes, const ReceiveTime& time,
                   SenderId sender, bool duplicate) {
    // Frames after the limit are still decoded (the chunk is read whole) but not reported.
    device_.Update(bytes, [&](const FrameReport& report) {
        if (!Done()) {
            Finish(report.status, report.messages, time, sender, duplicate);
        }
    });
}

void Monitor::Finish(FrameStatus status, std::span<const MessageType> types,
                     const ReceiveTime& time, SenderId sender, bool duplicate) {
    ++finished_;
    const Kor::Protocol::TelemetryData& state = *device_.GetCurrentState();
    if (Done()) {
        atLimit_ = state;
    }
    stats_.OnFrame(status, types, time, state, sender, duplicate);
    if (sink_) {
        sink_(FinishedFrame{status, time, types, state, duplicate});
    }
}

}  // namespace KorMonitor
