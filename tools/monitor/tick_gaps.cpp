// Gaps in tick-count streams.
#include "tick_gaps.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace KorMonitor {

using Kor::Protocol::MessageType;

void TickGapCounter::Add(SenderId sender, std::span<const MessageType> types,
                         std::uint64_t tickCount, std::uint8_t tickCountType) {
    ++frames_;
    Stream& stream = StreamOf(sender, types);
    const bool fresh = stream.lastHeard == 0;
    stream.lastHeard = frames_;
    if (fresh || stream.unit != tickCountType) {
        Restart(stream, tickCount, tickCountType);
        return;
    }
    const std::uint64_t period = Period(stream);
    if (tickCount < stream.highest) {
        const std::uint64_t behind = stream.highest - tickCount;
        // behind >= kRestartPeriods * period, written so that it cannot overflow.
        if (behind / kRestartPeriods >= std::max<std::uint64_t>(period, 1) ||
            tickCount <= stream.highest / 4) {
            Restart(stream, tickCount, tickCountType);
        } else {
            // It most likely fills a gap counted when a later frame overtook it.
            ++late_;
            missing_ -= missing_ > 0 ? 1 : 0;
        }
        return;
    }
    const std::uint64_t step = tickCount - stream.highest;
    // A count that does not move while the period is known to be longer is a repeat.
    if (step == 0 && period > 0) {
        return;
    }
    if (stream.stepCount >= kMinSteps && period > 0 &&
        static_cast<double>(step) > 1.5 * static_cast<double>(period)) {
        const double periods = std::round(static_cast<double>(step) / static_cast<double>(period));
        ++gaps_;
        // Saturating, so that counts jumping about by 2^40 units cannot wrap the total.
        const auto skipped = static_cast<std::uint64_t>(std::clamp(periods - 1, 1.0, 1e15));
        const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - missing_;
        missing_ += std::min(skipped, room);
    }
    stream.highest = tickCount;
    if (stream.stepCount < kKeptSteps) {
        stream.steps[stream.stepCount++] = step;
    } else {
        stream.steps[stream.nextStep] = step;
        stream.nextStep = (stream.nextStep + 1) % kKeptSteps;
    }
}

std::uint64_t TickGapCounter::Period(const Stream& stream) {
    if (stream.stepCount == 0) {
        return 0;
    }
    std::array<std::uint64_t, kKeptSteps> sorted = stream.steps;
    const auto end = sorted.begin() + static_cast<std::ptrdiff_t>(stream.stepCount);
    const auto quartile = sorted.begin() + static_cast<std::ptrdiff_t>((stream.stepCount - 1) / 4);
    std::nth_element(sorted.begin(), quartile, end);
    return *quartile;
}

void TickGapCounter::Restart(Stream& stream, std::uint64_t tickCount, std::uint8_t unit) {
    const std::uint64_t lastHeard = stream.lastHeard;
    stream = Stream{};
    stream.unit = unit;
    stream.highest = tickCount;
    stream.lastHeard = lastHeard;
}

TickGapCounter::Stream& TickGapCounter::StreamOf(SenderId sender,
                                                 std::span<const MessageType> types) {
    std::pair<SenderId, std::vector<MessageType>> key{sender, {types.begin(), types.end()}};
    const auto found = streams_.find(key);
    if (found != streams_.end()) {
        return found->second;
    }
    if (streams_.size() >= kMaxStreams) {
        streams_.erase(std::min_element(
            streams_.begin(), streams_.end(),
            [](const auto& a, const auto& b) { return a.second.lastHeard < b.second.lastHeard; }));
    }
    return streams_[std::move(key)];
}

}  // namespace KorMonitor
