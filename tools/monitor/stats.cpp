// Receive statistics: arrival counts, rates, status counts, jitter and latency.
#include "stats.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "local_time.h"

namespace KorMonitor {

using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;

ReceiveTime ReceiveTime::Now() {
    ReceiveTime time;
    time.steady = std::chrono::steady_clock::now();
    time.wall = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time.wall);
    time.zoneOffset = std::chrono::seconds(Kor::Platform::UtcOffsetSeconds(seconds));
    return time;
}

void RunningStats::Add(double value) {
    ++count_;
    last_ = value;
    if (count_ == 1) {
        min_ = max_ = mean_ = value;
        m2_ = 0;
        return;
    }
    min_ = std::min(min_, value);
    max_ = std::max(max_, value);
    const double delta = value - mean_;
    mean_ += delta / static_cast<double>(count_);
    m2_ += delta * (value - mean_);
}

double RunningStats::StdDev() const {
    if (count_ < 2) {
        return 0;
    }
    return std::sqrt(std::max(0.0, m2_ / static_cast<double>(count_)));
}

void ArrivalTracker::Add(Clock::time_point when) {
    if (count_++ == 0) {
        first_ = when;
    }
    // Receive times come from a steady clock and so never go back; a caller that passes
    // an older time anyway is clamped to keep the list sorted.
    if (!recent_.empty() && when < recent_.back()) {
        when = recent_.back();
    }
    recent_.push_back(when);
    while (recent_.size() > kMaxKept || (recent_.front() < when - kWindow)) {
        recent_.pop_front();
    }
}

double ArrivalTracker::RateHz(Clock::time_point now) const {
    const auto first = std::lower_bound(recent_.begin(), recent_.end(), now - kWindow);
    const auto end = std::upper_bound(first, recent_.end(), now);
    const auto arrivals = end - first;
    if (arrivals < 2) {
        return 0;
    }
    const std::chrono::duration<double> span = *(end - 1) - *first;
    if (span.count() <= 0) {
        return 0;
    }
    return static_cast<double>(arrivals - 1) / span.count();
}

double ArrivalTracker::MeanRateHz() const {
    if (count_ < 2) {
        return 0;
    }
    const std::chrono::duration<double> span = recent_.back() - first_;
    return span.count() > 0 ? static_cast<double>(count_ - 1) / span.count() : 0;
}

std::optional<ArrivalTracker::Clock::duration> ArrivalTracker::Age(Clock::time_point now) const {
    if (recent_.empty()) {
        return std::nullopt;
    }
    return std::max(Clock::duration::zero(), now - recent_.back());
}

void Stats::OnReceived(std::size_t bytes) {
    ++chunks_;
    bytes_ += bytes;
}

void Stats::OnFrame(FrameStatus status, std::span<const MessageType> types, const ReceiveTime& time,
                    const Kor::Protocol::TelemetryData& state, SenderId sender, bool duplicate) {
    const auto index = static_cast<std::size_t>(status);
    if (index < statusCounts_.size()) {
        ++statusCounts_[index];
    }
    frames_.Add(time.steady);
    if (lastFrame_) {
        interval_.Add(std::chrono::duration<double>(time.steady - *lastFrame_).count());
    }
    lastFrame_ = time.steady;

    if (!IsApplied(status)) {
        return;
    }
    bool hasPtp = false;
    bool hasTickCount = false;
    for (const MessageType type : types) {
        const auto typeIndex = static_cast<std::size_t>(type);
        if (typeIndex < types_.size()) {
            types_[typeIndex].Add(time.steady);
        }
        hasPtp = hasPtp || type == MessageType::PtpTimestamp;
        hasTickCount = hasTickCount || type == MessageType::TickCount;
    }
    if (!followStreams_) {
        // The totals of many sources: their streams are followed per source.
    } else if (!duplicate) {
        AddToGroup(types, time.steady);
        if (hasTickCount) {
            tickGaps_.Add(sender, types, state.tickCount, state.tickCountType);
        }
        timeBase_.Add(TimeBaseChecker::FrameOf(sender, types, time.steady, state));
    }
    if (hasPtp) {
        // A stamp more than a day from this machine's clock is no latency but a wrong or
        // foreign stamp: it would swamp the figures, so it is only counted.
        const double latency = PtpLatencySeconds(state.ptpSeconds, state.ptpNanoseconds, time);
        if (std::abs(latency) <= kPlausiblePtpLatencySeconds) {
            latency_.Add(latency);
        } else {
            ++implausiblePtp_;
        }
    }
}

void Stats::AddToGroup(std::span<const MessageType> types,
                       std::chrono::steady_clock::time_point arrival) {
    auto group = std::find_if(groups_.begin(), groups_.end(), [&](const MessageGroup& known) {
        return std::equal(known.types.begin(), known.types.end(), types.begin(), types.end());
    });
    if (group == groups_.end()) {
        if (groups_.size() >= kMaxGroups) {
            return;
        }
        groups_.push_back(MessageGroup{{types.begin(), types.end()}, {}, {}});
        group = groups_.end() - 1;
    } else if (const auto age = group->arrivals.Age(arrival)) {
        group->interval.Add(std::chrono::duration<double>(*age).count());
    }
    group->arrivals.Add(arrival);
}

const MessageGroup* Stats::MainGroup() const {
    const auto most = std::max_element(
        groups_.begin(), groups_.end(), [](const MessageGroup& a, const MessageGroup& b) {
            return a.arrivals.Count() < b.arrivals.Count();
        });
    return most == groups_.end() ? nullptr : &*most;
}

std::uint64_t Stats::Applied() const {
    return StatusCount(FrameStatus::NewTimecode) + StatusCount(FrameStatus::SameTimecode);
}

std::uint64_t Stats::StatusCount(FrameStatus status) const {
    const auto index = static_cast<std::size_t>(status);
    return index < statusCounts_.size() ? statusCounts_[index] : 0;
}

const ArrivalTracker& Stats::TypeArrivals(MessageType type) const {
    static const ArrivalTracker kNone;
    const auto index = static_cast<std::size_t>(type);
    return index < types_.size() ? types_[index] : kNone;
}

double PtpLatencySeconds(std::uint64_t ptpSeconds, std::uint32_t ptpNanoseconds,
                         const ReceiveTime& time) {
    using std::chrono::nanoseconds;
    const auto local = std::chrono::duration_cast<nanoseconds>(time.wall.time_since_epoch()) +
                       nanoseconds(time.zoneOffset);
    const auto localSeconds = std::chrono::floor<std::chrono::seconds>(local);
    const auto localNanoseconds = (local - localSeconds).count();
    const double seconds =
        static_cast<double>(localSeconds.count()) - static_cast<double>(ptpSeconds);
    const double fraction =
        static_cast<double>(localNanoseconds) - static_cast<double>(ptpNanoseconds);
    return seconds + fraction * 1e-9;
}

}  // namespace KorMonitor
