// Checks of a sender's time base.
#include "time_base.h"

#include <algorithm>
#include <cmath>

namespace KorMonitor {

using Kor::Protocol::MessageType;

namespace {

// Stamps with more seconds than this (the year 2255) are taken as this, so that the
// nanosecond counts of any 48-bit stamp stay within 64 bits.
constexpr std::uint64_t kMaxStampSeconds = 9'000'000'000;

std::int64_t StampNanoseconds(const std::pair<std::uint64_t, std::uint32_t>& ptp) {
    const auto seconds = static_cast<std::int64_t>(std::min(ptp.first, kMaxStampSeconds));
    const auto fraction =
        static_cast<std::int64_t>(std::min<std::uint32_t>(ptp.second, 999'999'999));
    return seconds * 1'000'000'000 + fraction;
}

template <typename Map>
void EvictLongestUnheard(Map& map) {
    map.erase(std::min_element(map.begin(), map.end(), [](const auto& a, const auto& b) {
        return a.second.lastHeard < b.second.lastHeard;
    }));
}

}  // namespace

std::optional<LabelRate> LabelRateOf(std::uint8_t projectFps) {
    switch (projectFps) {
        case 1: return LabelRate{24, false, 1001.0 / 24000.0};
        case 2: return LabelRate{24, false, 1.0 / 24.0};
        case 3: return LabelRate{25, false, 1.0 / 25.0};
        case 4: return LabelRate{30, true, 1001.0 / 30000.0};
        case 5: return LabelRate{30, false, 1.0 / 30.0};
        default: return std::nullopt;
    }
}

std::optional<std::uint32_t> LabelIndex(const TimecodeLabel& label, const LabelRate& rate) {
    if (label.hours > 23 || label.minutes > 59 || label.seconds > 59 ||
        label.frames >= rate.perSecond) {
        return std::nullopt;
    }
    const std::uint32_t minutes = label.hours * 60U + label.minutes;
    std::uint32_t index = (minutes * 60U + label.seconds) * rate.perSecond + label.frames;
    if (rate.dropFrame) {
        // Frame numbers 0 and 1 do not exist at the start of a minute, but every tenth.
        if (label.seconds == 0 && label.frames < 2 && label.minutes % 10 != 0) {
            return std::nullopt;
        }
        index -= 2U * (minutes - minutes / 10U);
    }
    return index;
}

std::uint32_t LabelsPerDay(const LabelRate& rate) {
    const std::uint32_t all = 24U * 3600U * rate.perSecond;
    return rate.dropFrame ? all - 2U * (24U * 60U - 24U * 6U) : all;
}

TimeBaseChecker::Frame TimeBaseChecker::FrameOf(SenderId sender, std::span<const MessageType> types,
                                                std::chrono::steady_clock::time_point arrival,
                                                const Kor::Protocol::TelemetryData& state) {
    Frame frame;
    frame.sender = sender;
    frame.types = types;
    frame.arrival = arrival;
    for (const MessageType type : types) {
        switch (type) {
            case MessageType::Timecode:
                frame.label = TimecodeLabel{state.timecodeHours, state.timecodeMinutes,
                                            state.timecodeSeconds, state.timecodeFrames};
                break;
            case MessageType::TickCount: frame.tick = {state.tickCount, state.tickCountType}; break;
            case MessageType::PtpTimestamp:
                frame.ptp = {state.ptpSeconds, state.ptpNanoseconds};
                break;
            case MessageType::ProjectFps: frame.projectFps = state.projectFps; break;
            default: break;
        }
    }
    return frame;
}

void TimeBaseChecker::Add(const Frame& frame) {
    ++frames_;
    Sender& sender = SenderOf(frame.sender);
    if (frame.projectFps) {
        sender.projectFps = *frame.projectFps;
    }
    Stream& stream = StreamOf(frame.sender, frame.types);

    const bool ptpBack = frame.ptp && stream.ptp && *frame.ptp < *stream.ptp;
    const bool backInStream = frame.tick && stream.tick &&
                              frame.tick->second == stream.tick->second &&
                              frame.tick->first < stream.tick->first;
    // A stamp that went back is counted as such; its tick count is not held against it.
    const bool backInPtpOrder =
        frame.tick && frame.ptp && !ptpBack &&
        TicksOutOfPtpOrder(sender, {StampNanoseconds(*frame.ptp), frame.tick->first,
                                    frame.tick->second});
    if (backInStream || backInPtpOrder) {
        ++ticksBack_;
    }
    stream.tick = frame.tick;
    if (ptpBack) {
        ++ptpBack_;
    }
    stream.ptp = frame.ptp;

    if (stream.projectFps != sender.projectFps) {
        // A new project rate: the stream's spacing and labels are learnt again.
        const std::uint64_t lastHeard = stream.lastHeard;
        stream = Stream{};
        stream.projectFps = sender.projectFps;
        stream.lastHeard = lastHeard;
        stream.tick = frame.tick;
        stream.ptp = frame.ptp;
    }
    AddStep(stream, frame.ptp ? StampNanoseconds(*frame.ptp)
                              : std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    frame.arrival.time_since_epoch())
                                    .count());

    const std::optional<LabelRate> rate = LabelRateOf(stream.projectFps);
    stream.checked = rate && OnePeriodApart(stream, *rate);
    if (!frame.label) {
        return;
    }
    if (!stream.checked) {
        // Followed all the same, so that the check can start at the next frame.
        stream.newest = rate ? LabelIndex(*frame.label, *rate) : std::nullopt;
        stream.open.reset();
        return;
    }
    CheckLabel(stream, *frame.label, *rate);
}

void TimeBaseChecker::CheckLabel(Stream& stream, const TimecodeLabel& label,
                                 const LabelRate& rate) {
    const std::optional<std::uint32_t> index = LabelIndex(label, rate);
    if (!index) {
        skips_ += stream.newest ? 1 : 0;
        stream.newest.reset();
        stream.open.reset();
        return;
    }
    if (!stream.newest) {
        stream.newest = index;
        return;
    }
    const std::uint32_t day = LabelsPerDay(rate);
    const std::uint32_t ahead = (*index + day - *stream.newest) % day;
    if (ahead == 1) {
        stream.newest = index;
        return;
    }
    if (ahead == 0) {
        ++repeats_;
        return;
    }
    const std::uint32_t behind = day - ahead;
    if (behind <= kLateLabels) {
        if (stream.open) {
            OpenSkip& open = *stream.open;
            const std::uint32_t after = (*index + day - open.from) % day;  // 1: first missing
            if (after >= 1 && after <= open.missing) {
                open.filled |= 1U << (after - 1);
            }
            if (open.filled == (1U << open.missing) - 1U) {
                --skips_;
                stream.open.reset();
            }
        }
        return;
    }
    ++skips_;
    if (ahead - 1 <= kLateLabels) {
        stream.open = OpenSkip{*stream.newest, ahead - 1, 0};
    } else {
        stream.open.reset();
    }
    stream.newest = index;
}

void TimeBaseChecker::AddStep(Stream& stream, std::int64_t time) {
    const std::optional<std::int64_t> last = stream.lastTime;
    stream.lastTime = time;
    // A frame at or before the previous one (late, or stamped alike) says nothing of the
    // spacing.
    if (!last || time <= *last) {
        return;
    }
    const std::int64_t step = time - *last;
    if (stream.stepCount < kKeptSteps) {
        stream.steps[stream.stepCount++] = step;
    } else {
        stream.steps[stream.nextStep] = step;
        stream.nextStep = (stream.nextStep + 1) % kKeptSteps;
    }
}

bool TimeBaseChecker::OnePeriodApart(const Stream& stream, const LabelRate& rate) {
    const std::size_t count = stream.stepCount;
    if (count < kMinSteps) {
        return false;
    }
    const double period = rate.periodSeconds * 1e9;
    std::size_t single = 0;
    double spanned = 0;  // ns
    double periods = 0;
    double squares = 0;  // of each step's distance from its whole number of periods
    for (std::size_t i = 0; i < count; ++i) {
        const auto step = static_cast<double>(stream.steps[i]);
        // A step of less than half a period (a frame that came in a burst after a late one)
        // spans time but no period of its own.
        const double whole = std::round(step / period);
        single += whole == 1.0 ? 1 : 0;
        spanned += step;
        periods += whole;
        squares += (step - whole * period) * (step - whole * period);
    }
    // Most steps one period: a stream at a whole fraction of the rate (1 Hz) is not one,
    // nor is one at a multiple of it.
    if (2 * single <= count) {
        return false;
    }
    const auto n = static_cast<double>(count);
    const double deviation = std::fabs(spanned / (periods * period) - 1.0);
    const double noise = 3.0 * std::sqrt(squares / n) / (std::sqrt(n) * period);
    return deviation <= std::clamp(noise, 0.0004, 0.015);
}

std::size_t TimeBaseChecker::CheckedStreams() const {
    return static_cast<std::size_t>(std::count_if(
        streams_.begin(), streams_.end(), [](const auto& entry) { return entry.second.checked; }));
}

bool TimeBaseChecker::TicksOutOfPtpOrder(Sender& sender, const Stamp& stamp) {
    bool out = false;
    for (std::size_t i = 0; i < sender.stampCount; ++i) {
        const Stamp& kept = sender.stamps[i];
        if (kept.unit == stamp.unit &&
            ((kept.ptpNs < stamp.ptpNs && kept.tick > stamp.tick) ||
             (kept.ptpNs > stamp.ptpNs && kept.tick < stamp.tick))) {
            out = true;
        }
    }
    sender.stamps[sender.nextStamp] = stamp;
    sender.nextStamp = (sender.nextStamp + 1) % kKeptStamps;
    sender.stampCount = std::min(sender.stampCount + 1, kKeptStamps);
    return out;
}

TimeBaseChecker::Stream& TimeBaseChecker::StreamOf(SenderId sender,
                                                   std::span<const MessageType> types) {
    Key key{sender, std::vector<MessageType>(types.begin(), types.end())};
    auto found = streams_.find(key);
    if (found == streams_.end()) {
        if (streams_.size() >= kMaxStreams) {
            EvictLongestUnheard(streams_);
        }
        found = streams_.emplace(std::move(key), Stream{}).first;
    }
    found->second.lastHeard = frames_;
    return found->second;
}

TimeBaseChecker::Sender& TimeBaseChecker::SenderOf(SenderId id) {
    auto found = senders_.find(id);
    if (found == senders_.end()) {
        if (senders_.size() >= kMaxSenders) {
            EvictLongestUnheard(senders_);
        }
        found = senders_.emplace(id, Sender{}).first;
    }
    found->second.lastHeard = frames_;
    return found->second;
}

}  // namespace KorMonitor
