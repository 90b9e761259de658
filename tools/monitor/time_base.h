// Checks of a sender's time base: timecode labels that repeat or skip, tick counts and PTP
// stamps that go back, per sender and per stream of frames.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <kor/telemetry.h>

namespace KorMonitor {

// Who sent a frame: for UDP the datagram's source address and port, for a serial input the
// one sender it has.
using SenderId = std::uint64_t;
inline constexpr SenderId kSerialSender = 0;
constexpr SenderId UdpSender(std::uint32_t address, std::uint16_t port) {
    return (std::uint64_t{1} << 48) | (std::uint64_t{address} << 16) | port;
}

// A timecode label as the Timecode record carries it.
struct TimecodeLabel {
    std::uint8_t hours = 0;
    std::uint8_t minutes = 0;
    std::uint8_t seconds = 0;
    std::uint8_t frames = 0;
};

// How the labels of a project frame rate count: labels per label-second, whether frame
// numbers 0 and 1 are dropped at the start of each minute but every tenth, and the real
// time from one label to the next.
struct LabelRate {
    std::uint32_t perSecond = 0;
    bool dropFrame = false;
    double periodSeconds = 0;
};

// The label rate of a project frame-rate code: 1 = 23.98 (24 labels, 1001/24000 s apart),
// 2 = 24, 3 = 25, 4 = 29.97 drop-frame (30 labels, 1001/30000 s apart), 5 = 30; nothing for
// 0 (none) and unknown codes.
std::optional<LabelRate> LabelRateOf(std::uint8_t projectFps);

// The label's position in its day (00:00:00:00 is 0), or nothing for a label that does not
// exist at that rate (a frame number beyond the rate, a dropped drop-frame number, hours
// past 23).
std::optional<std::uint32_t> LabelIndex(const TimecodeLabel& label, const LabelRate& rate);

// Labels in a day at that rate; label numbers wrap at 24:00:00:00.
std::uint32_t LabelsPerDay(const LabelRate& rate);

// Follows each sender's streams of frames and counts what breaks their time base.
//
// A sender builds the frames of one rate from the same list of record types, so the sender and
// that list name a stream. Frames of different streams may be stamped microseconds apart and
// arrive in either order, so comparisons in arrival order stay within a stream, between
// consecutive frames:
//  - a tick count below the previous one (in the same unit) goes back; so does one below that
//    of a frame of the same sender with an earlier PTP stamp (among its last kKeptStamps
//    frames that carried both): all of a sender's frames count ticks from one instant, so
//    in PTP order its tick counts never go back, whichever streams the frames belong to;
//  - a PTP stamp below the previous one goes back;
//  - timecode labels are checked in a stream whose frames come one label period apart, at the
//    label rate of the sender's last ProjectFps record. That is learnt from the stream's
//    spacing (PTP stamps when it carries them, else arrival times): after kMinSteps steps,
//    most of its recent steps must be one label period, and their mean, over whole periods,
//    within the spacing's own noise of it (at least 0.04%, which tells 23.98 from 24 on exact
//    stamps; at most 1.5%, which tells 24 from 25). In such a stream each label must be the
//    one after the previous: the same label is a repeat, any other a skip (one per step,
//    however many labels it skipped; a label that does not exist at the rate is a skip too).
//    A label up to kLateLabels behind the newest is a late frame (reordered on the way): it is
//    no skip, leaves the newest as the one to follow, and when it fills the last skip of its
//    stream (with the other late frames the skip left out) the skip is taken back.
//    A change of the sender's project rate starts the stream's check afresh.
// Callers leave out datagrams that repeat an earlier one byte for byte (counted as duplicates).
class TimeBaseChecker {
public:
    // Steps a stream needs before its labels are checked.
    static constexpr std::size_t kMinSteps = 8;
    // Recent steps kept per stream for its spacing (ten seconds at 24 fps).
    static constexpr std::size_t kKeptSteps = 240;
    // A label at most this far behind the newest of its stream is a late frame.
    static constexpr std::uint32_t kLateLabels = 16;
    static_assert(kLateLabels < 32, "the labels a skip left out are one bit each");
    // Streams and senders followed at once; a new one beyond this replaces the longest unheard.
    static constexpr std::size_t kMaxStreams = 64;
    static constexpr std::size_t kMaxSenders = 64;
    // Frames per sender whose PTP stamps and tick counts are compared with each new one.
    static constexpr std::size_t kKeptStamps = 32;

    // What one applied frame carries for the checks; each field only when the frame held the
    // record.
    struct Frame {
        SenderId sender = kSerialSender;
        std::span<const Kor::Protocol::MessageType> types;  // in frame order
        std::chrono::steady_clock::time_point arrival{};
        std::optional<TimecodeLabel> label;
        std::optional<std::pair<std::uint64_t, std::uint8_t>> tick;  // count, unit
        std::optional<std::pair<std::uint64_t, std::uint32_t>> ptp;  // seconds, nanoseconds
        std::optional<std::uint8_t> projectFps;
    };

    // The frame with the fields that its record types carried, taken from the decoder's state
    // after it.
    static Frame FrameOf(SenderId sender, std::span<const Kor::Protocol::MessageType> types,
                         std::chrono::steady_clock::time_point arrival,
                         const Kor::Protocol::TelemetryData& state);

    void Add(const Frame& frame);

    // Frames whose label equalled the previous one of a checked stream.
    std::uint64_t TimecodeRepeats() const { return repeats_; }
    // Steps of a checked stream to a label other than the next (less those taken back).
    std::uint64_t TimecodeSkips() const { return skips_; }
    std::uint64_t TickCountsBack() const { return ticksBack_; }
    std::uint64_t PtpStampsBack() const { return ptpBack_; }
    // Streams followed, and those of them whose labels were checked at their last frame.
    std::size_t Streams() const { return streams_.size(); }
    std::size_t CheckedStreams() const;

private:
    // The skip a stream took last, while late frames may still fill it.
    struct OpenSkip {
        std::uint32_t from = 0;     // the label before the skip
        std::uint32_t missing = 0;  // labels skipped, at most kLateLabels
        std::uint32_t filled = 0;   // bit n: label from + 1 + n came late
    };
    struct Stream {
        std::uint8_t projectFps = 0;          // the rate the labels are read at; 0: none
        std::optional<std::uint32_t> newest;  // index of the newest label
        std::optional<OpenSkip> open;
        std::optional<std::pair<std::uint64_t, std::uint8_t>> tick;
        std::optional<std::pair<std::uint64_t, std::uint32_t>> ptp;
        std::optional<std::int64_t> lastTime;  // ns, of the spacing's clock
        std::array<std::int64_t, kKeptSteps> steps{};
        std::size_t stepCount = 0;
        std::size_t nextStep = 0;
        bool checked = false;
        std::uint64_t lastHeard = 0;
    };
    // A frame's PTP stamp (ns) and tick count, both in the unit `unit`.
    struct Stamp {
        std::int64_t ptpNs = 0;
        std::uint64_t tick = 0;
        std::uint8_t unit = 0;
    };
    struct Sender {
        std::uint8_t projectFps = 0;
        std::uint64_t lastHeard = 0;
        std::array<Stamp, kKeptStamps> stamps{};
        std::size_t stampCount = 0;
        std::size_t nextStamp = 0;
    };
    // Whether the frame's tick count goes back against a frame of the sender with an earlier
    // PTP stamp (or forward against one with a later stamp); keeps the frame's stamp.
    static bool TicksOutOfPtpOrder(Sender& sender, const Stamp& stamp);
    using Key = std::pair<SenderId, std::vector<Kor::Protocol::MessageType>>;

    Stream& StreamOf(SenderId sender, std::span<const Kor::Protocol::MessageType> types);
    Sender& SenderOf(SenderId sender);
    void AddStep(Stream& stream, std::int64_t time);
    // Whether the stream's kept steps are one label period of the rate apart.
    static bool OnePeriodApart(const Stream& stream, const LabelRate& rate);
    void CheckLabel(Stream& stream, const TimecodeLabel& label, const LabelRate& rate);

    std::map<Key, Stream> streams_;
    std::map<SenderId, Sender> senders_;
    std::uint64_t frames_ = 0;
    std::uint64_t repeats_ = 0;
    std::uint64_t skips_ = 0;
    std::uint64_t ticksBack_ = 0;
    std::uint64_t ptpBack_ = 0;
};

}  // namespace KorMonitor
