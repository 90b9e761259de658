// The receive pipeline: the source router, each source's statistics, the totals and a sink.
#include "monitor.h"

#include <algorithm>
#include <utility>

namespace KorMonitor {

using Kor::Tools::RoutedFrame;

Monitor::Monitor(FrameSink sink, std::uint64_t frameLimit)
    : sink_(std::move(sink)), frameLimit_(frameLimit) {}

void Monitor::OnDatagram(std::span<const std::uint8_t> datagram, const ReceiveTime& time,
                         std::uint32_t address, std::uint16_t port) {
    totals_.OnReceived(datagram.size());
    if (Done()) {
        return;
    }
    const bool duplicate = SeenRecently((std::uint64_t{address} << 16) | port, datagram);
    if (duplicate) {
        totals_.OnDuplicate();
    }
    // Frames after the limit are still decoded (the datagram is read whole) but not reported.
    router_.OnDatagram(address, port, datagram, [&](const RoutedFrame& frame) {
        if (!Done()) {
            Finish(frame, time, duplicate);
        }
    });
}

bool Monitor::SeenRecently(std::uint64_t sender, std::span<const std::uint8_t> datagram) {
    auto found = recent_.find(sender);
    if (found == recent_.end()) {
        // As many senders as the router follows; the datagrams of further ones are not
        // compared.
        if (recent_.size() >= Kor::Tools::SourceRouter::kDefaultMaxSources) {
            return false;
        }
        found = recent_.emplace(sender, std::deque<std::vector<std::uint8_t>>{}).first;
    }
    auto& recent = found->second;
    const bool seen = std::any_of(recent.begin(), recent.end(), [&](const auto& earlier) {
        return std::equal(earlier.begin(), earlier.end(), datagram.begin(), datagram.end());
    });
    recent.emplace_back(datagram.begin(), datagram.end());
    if (recent.size() > kDuplicateWindow) {
        recent.pop_front();
    }
    return seen;
}

void Monitor::OnSerialBytes(std::span<const std::uint8_t> bytes, const ReceiveTime& time) {
    totals_.OnReceived(bytes.size());
    router_.OnSerialBytes(bytes, [&](const RoutedFrame& frame) {
        if (!Done()) {
            Finish(frame, time, false);
        }
    });
}

void Monitor::Finish(const RoutedFrame& frame, const ReceiveTime& time, bool duplicate) {
    ++finished_;
    const SenderId sender = frame.key.address == 0 && frame.key.port == 0
                                ? kSerialSender
                                : UdpSender(frame.key.address, frame.key.port);
    if (frame.index) {
        while (sources_.size() <= *frame.index) {
            sources_.emplace_back();
        }
        Stats& source = sources_[*frame.index];
        if (duplicate) {
            source.OnDuplicate();
        }
        source.OnFrame(frame.report.status, frame.report.messages, time, frame.state, sender,
                       duplicate);
    }
    totals_.OnFrame(frame.report.status, frame.report.messages, time, frame.state, sender,
                    duplicate);
    if (Done()) {
        for (std::size_t i = 0; i < router_.Count(); ++i) {
            atLimit_.push_back(router_.State(i));
        }
    }
    if (sink_) {
        sink_(FinishedFrame{frame.report.status, time, frame.report.messages, frame.state,
                            duplicate, frame.index, &frame.key});
    }
}

}  // namespace KorMonitor
