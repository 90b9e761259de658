// The receive pipeline: one Device, one frame per Update call, statistics and a sink.
#include "monitor.h"

#include <algorithm>
#include <utility>

#include "names.h"

namespace KorMonitor {

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
    if (!IsDatagram(datagram)) {
        FeedSerial(datagram, time, sender);
        return;
    }
    input_.assign(datagram.begin(), datagram.end());
    const FrameStatus status = device_.Update(input_);
    const std::vector<MessageType> types =
        IsApplied(status) ? DatagramRecordTypes(datagram) : std::vector<MessageType>{};
    Finish(status, types, time, sender, duplicate);
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
    FeedSerial(bytes, time, kSerialSender);
}

void Monitor::FeedSerial(std::span<const std::uint8_t> bytes, const ReceiveTime& time,
                         SenderId sender) {
    splitter_.Feed(bytes, [&](std::span<const std::uint8_t> stuffed) {
        if (Done()) {
            return;
        }
        if (!serialOpened_) {
            // The device collects only after it has seen a delimiter. Given on its own,
            // the delimiter finishes nothing; every later frame then arrives with its
            // closing delimiter and finishes exactly one frame.
            device_.Update(std::vector<std::uint8_t>{0x00});
            serialOpened_ = true;
        }
        input_.assign(stuffed.begin(), stuffed.end());
        input_.push_back(0x00);
        const FrameStatus status = device_.Update(input_);
        if (status == FrameStatus::Incomplete) {
            return;
        }
        const std::vector<MessageType> types = IsApplied(status)
                                                   ? ListRecordTypes(UnstuffSerialRecords(stuffed))
                                                   : std::vector<MessageType>{};
        Finish(status, types, time, sender);
    });
}

void Monitor::Finish(FrameStatus status, std::span<const MessageType> types,
                     const ReceiveTime& time, SenderId sender, bool duplicate) {
    ++finished_;
    const Kor::Protocol::TelemetryData& state = State();
    stats_.OnFrame(status, types, time, state, sender, duplicate);
    if (sink_) {
        sink_(FinishedFrame{status, time, types, state, duplicate});
    }
}

}  // namespace KorMonitor
