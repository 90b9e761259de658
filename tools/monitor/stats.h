// Receive statistics: arrival counts, per-type rates and ages, frame status counts, frame
// inter-arrival jitter, time-stamp latency and the senders' time base.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include <kor/device.h>
#include <kor/telemetry.h>

#include "tick_gaps.h"
#include "time_base.h"

namespace KorMonitor {

// Number of FrameStatus enumerators (NewTimecode = 0 to HeaderError = 9).
inline constexpr std::size_t kFrameStatusCount =
    static_cast<std::size_t>(Kor::Protocol::FrameStatus::HeaderError) + 1;

// Number of message type numbers that exist (0 to kLastMessageType).
inline constexpr std::size_t kMessageTypeCount = Kor::Protocol::kLastMessageType + 1U;

// True for the two statuses of a frame that was valid and applied to the state.
constexpr bool IsApplied(Kor::Protocol::FrameStatus status) {
    return Kor::Protocol::FrameReport{status, {}}.Applied();
}

// When something was received, on the two clocks the monitor needs: the steady clock for
// rates, ages and intervals, the wall clock (with the local zone's offset from UTC at that
// instant) for time stamps and for comparing with the sender's local-time PTP stamps.
struct ReceiveTime {
    std::chrono::steady_clock::time_point steady;
    std::chrono::system_clock::time_point wall;
    std::chrono::seconds zoneOffset{0};  // local time minus UTC

    // The current time on both clocks, with the local zone's current offset.
    static ReceiveTime Now();
};

// Count, minimum, maximum, mean and standard deviation of a series, kept in constant
// space (Welford's running update, which stays accurate over long runs).
class RunningStats {
public:
    void Add(double value);

    std::uint64_t Count() const { return count_; }
    double Min() const { return min_; }
    double Max() const { return max_; }
    double Mean() const { return mean_; }
    double Last() const { return last_; }
    // Population standard deviation; 0 with fewer than two values.
    double StdDev() const;

private:
    std::uint64_t count_ = 0;
    double min_ = 0;
    double max_ = 0;
    double mean_ = 0;
    double m2_ = 0;  // sum of squared differences from the mean
    double last_ = 0;
};

// Arrival times of one kind of event, for a rate over a sliding window and the age of
// the last arrival.
class ArrivalTracker {
public:
    using Clock = std::chrono::steady_clock;

    // Arrivals older than this no longer count towards the rate.
    static constexpr std::chrono::seconds kWindow{5};
    // Bound on the arrivals kept; at higher rates the window shrinks to what they span.
    static constexpr std::size_t kMaxKept = 4096;

    void Add(Clock::time_point when);

    std::uint64_t Count() const { return count_; }
    // Arrivals per second within the window ending at now: the number of intervals
    // between the arrivals in it divided by the time they span; 0 with fewer than two.
    double RateHz(Clock::time_point now) const;
    // Arrivals per second from the first arrival to the last; 0 while they span no time.
    double MeanRateHz() const;
    // Time since the last arrival; empty when nothing has arrived.
    std::optional<Clock::duration> Age(Clock::time_point now) const;

private:
    std::deque<Clock::time_point> recent_;  // ascending
    std::uint64_t count_ = 0;
    Clock::time_point first_{};
};

// The frames of one message group: those a sender builds from one list of record types,
// which it sends at one rate. Their rate, and the jitter of their spacing.
struct MessageGroup {
    std::vector<Kor::Protocol::MessageType> types;  // in frame order
    ArrivalTracker arrivals;
    // Seconds between consecutive frames of the group.
    RunningStats interval;
};

// Everything the live view and the closing summary report about a run, or about one source.
class Stats {
public:
    // Message groups followed at once; frames of further groups count only in the totals.
    static constexpr std::size_t kMaxGroups = 16;

    // followStreams: follow the sender's streams (tick gaps, time base, message groups). Off
    // for the totals of many sources, whose streams each source's own figures follow.
    explicit Stats(bool followStreams = true) : followStreams_(followStreams) {}

    // Counts one received datagram or serial chunk of the given size.
    void OnReceived(std::size_t bytes);

    // Counts one finished frame: its status, and, for an applied frame, the record types
    // it held. state is the device's state after the frame, used for the latency of an
    // applied frame that carried a PtpTimestamp record and for the time base of the
    // sender's stream. A duplicate (a datagram that repeats a recent one byte for byte)
    // takes no part in the tick gaps and the time base: it is counted by OnDuplicate.
    void OnFrame(Kor::Protocol::FrameStatus status,
                 std::span<const Kor::Protocol::MessageType> types, const ReceiveTime& time,
                 const Kor::Protocol::TelemetryData& state, SenderId sender = kSerialSender,
                 bool duplicate = false);

    // Counts one datagram with the same bytes as one received shortly before it.
    void OnDuplicate() { ++duplicates_; }

    std::uint64_t Chunks() const { return chunks_; }
    std::uint64_t Duplicates() const { return duplicates_; }
    // Gaps in the tick counts of the applied frames that carried a TickCount record.
    const TickGapCounter& TickGaps() const { return tickGaps_; }
    // Timecode labels that repeat or skip, tick counts and PTP stamps that go back.
    const TimeBaseChecker& TimeBase() const { return timeBase_; }
    std::uint64_t Bytes() const { return bytes_; }
    std::uint64_t Frames() const { return frames_.Count(); }
    std::uint64_t Applied() const;
    std::uint64_t Errors() const { return Frames() - Applied(); }
    std::uint64_t StatusCount(Kor::Protocol::FrameStatus status) const;

    const ArrivalTracker& FrameArrivals() const { return frames_; }
    // Arrivals of records of one type, counted in applied frames only.
    const ArrivalTracker& TypeArrivals(Kor::Protocol::MessageType type) const;

    // The message groups of the applied frames, in the order their first frame came.
    const std::vector<MessageGroup>& Groups() const { return groups_; }
    // The group with the most frames (the fastest, for a sender that keeps its rates); null
    // before any.
    const MessageGroup* MainGroup() const;

    // Seconds between consecutive finished frames.
    const RunningStats& FrameInterval() const { return interval_; }
    // Seconds from the sender's PTP time stamp to the local time of arrival; negative
    // when the stamp lies in the receiver's future. Only stamps within a day of the local
    // time count; the others are counted by ImplausiblePtp.
    const RunningStats& PtpLatency() const { return latency_; }
    std::uint64_t ImplausiblePtp() const { return implausiblePtp_; }

private:
    void AddToGroup(std::span<const Kor::Protocol::MessageType> types,
                    std::chrono::steady_clock::time_point arrival);

    bool followStreams_ = true;
    std::uint64_t chunks_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t duplicates_ = 0;
    std::uint64_t implausiblePtp_ = 0;
    TickGapCounter tickGaps_;
    TimeBaseChecker timeBase_;
    std::array<std::uint64_t, kFrameStatusCount> statusCounts_{};
    ArrivalTracker frames_;
    std::array<ArrivalTracker, kMessageTypeCount> types_{};
    std::optional<std::chrono::steady_clock::time_point> lastFrame_;
    RunningStats interval_;
    RunningStats latency_;
    std::vector<MessageGroup> groups_;
};

// The largest PTP latency, either way, that the latency figures take in: a day.
inline constexpr double kPlausiblePtpLatencySeconds = 86'400.0;

// Seconds from a PTP time stamp (local-time seconds since 1970 and nanoseconds) to the
// local time of the given receive time. Whole seconds are subtracted before nanoseconds
// are added, so the result keeps nanosecond resolution for any realistic stamp.
double PtpLatencySeconds(std::uint64_t ptpSeconds, std::uint32_t ptpNanoseconds,
                         const ReceiveTime& time);

}  // namespace KorMonitor
