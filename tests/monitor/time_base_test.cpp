// Tests of the time-base checks: label sequences at every project rate (drop-frame minutes,
// 23.98, midnight), repeats, skips, late frames, tick counts and PTP stamps that go back,
// which streams have their labels checked, and the bounds on what is kept.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "time_base.h"

namespace {

using Kor::Protocol::MessageType;
using KorMonitor::TimeBaseChecker;
using KorMonitor::TimecodeLabel;
using Types = std::vector<MessageType>;

// The project-rate frame of kor-send, and a frame without the project rate (another slot).
const Types kProjectSlot{MessageType::ProjectFps, MessageType::BasicLens, MessageType::Timecode,
                         MessageType::PtpTimestamp, MessageType::TickCount};
const Types kOtherSlot{MessageType::AxesData, MessageType::Timecode, MessageType::PtpTimestamp,
                       MessageType::TickCount};

// The label after `label`, counted the way a timecode generator counts: frames, then seconds,
// minutes and hours, wrapping at 24:00:00:00; with drop-frame counting, frame numbers 0 and 1
// are left out at the start of each minute that is not a tenth.
TimecodeLabel NextLabel(TimecodeLabel label, unsigned perSecond, bool dropFrame) {
    if (++label.frames < perSecond) {
        return label;
    }
    label.frames = 0;
    if (++label.seconds == 60) {
        label.seconds = 0;
        if (++label.minutes == 60) {
            label.minutes = 0;
            label.hours = static_cast<std::uint8_t>((label.hours + 1) % 24);
        }
        if (dropFrame && label.minutes % 10 != 0) {
            label.frames = 2;
        }
    }
    return label;
}

bool operator==(const TimecodeLabel& a, const TimecodeLabel& b) {
    return a.hours == b.hours && a.minutes == b.minutes && a.seconds == b.seconds &&
           a.frames == b.frames;
}

// One sender's stream of frames at `period` seconds, label k being k labels after `start`.
// Frame n is stamped n periods after a fixed instant: tick count in microseconds, PTP stamp
// and arrival 2 ms later.
class Stream {
public:
    Stream(TimeBaseChecker& checker, std::uint8_t projectFps, TimecodeLabel start, double period,
           Types types = kProjectSlot, KorMonitor::SenderId sender = KorMonitor::UdpSender(1, 1))
        : checker_(checker),
          types_(std::move(types)),
          sender_(sender),
          projectFps_(projectFps),
          period_(period) {
        labels_.push_back(start);
    }

    // The frame taken at instant n carrying label k (default: the label of its own instant).
    TimeBaseChecker::Frame At(double n, std::optional<std::int64_t> k = std::nullopt) {
        const double seconds = n * period_;
        const auto ns = static_cast<std::int64_t>(std::llround(seconds * 1e9));
        TimeBaseChecker::Frame frame;
        frame.sender = sender_;
        frame.types = types_;
        frame.arrival = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns) +
                                                              std::chrono::milliseconds(2));
        if (withLabels) {
            frame.label = Label(k.value_or(std::llround(n)));
        }
        frame.tick = {static_cast<std::uint64_t>((ns - tickEpochNs) / 1000), 2};
        if (withStamps) {
            frame.ptp = {1'700'000'000 + static_cast<std::uint64_t>(ns / 1'000'000'000),
                         static_cast<std::uint32_t>(ns % 1'000'000'000)};
        }
        if (types_.front() == MessageType::ProjectFps) {
            frame.projectFps = projectFps_;
        }
        return frame;
    }

    void Send(double n, std::optional<std::int64_t> k = std::nullopt) { checker_.Add(At(n, k)); }
    void SendRange(std::int64_t from, std::int64_t to) {
        for (std::int64_t n = from; n < to; ++n) {
            Send(static_cast<double>(n));
        }
    }

    TimecodeLabel Label(std::int64_t k) {
        const auto rate = KorMonitor::LabelRateOf(projectFps_);
        while (static_cast<std::int64_t>(labels_.size()) <= k) {
            labels_.push_back(NextLabel(labels_.back(), rate->perSecond, rate->dropFrame));
        }
        return labels_[static_cast<std::size_t>(k)];
    }

    bool withStamps = true;
    bool withLabels = true;
    std::int64_t tickEpochNs = 0;  // when the tick count was 0

private:
    TimeBaseChecker& checker_;
    Types types_;
    KorMonitor::SenderId sender_;
    std::uint8_t projectFps_;
    double period_;
    std::vector<TimecodeLabel> labels_;
};

struct Counts {
    std::uint64_t repeats, skips, ticksBack, ptpBack;
    std::size_t checked;
};

Counts CountsOf(const TimeBaseChecker& checker) {
    return {checker.TimecodeRepeats(), checker.TimecodeSkips(), checker.TickCountsBack(),
            checker.PtpStampsBack(), checker.CheckedStreams()};
}

void ExpectCounts(const TimeBaseChecker& checker, Counts expected, const char* what) {
    const Counts got = CountsOf(checker);
    EXPECT_EQ(got.repeats, expected.repeats) << what;
    EXPECT_EQ(got.skips, expected.skips) << what;
    EXPECT_EQ(got.ticksBack, expected.ticksBack) << what;
    EXPECT_EQ(got.ptpBack, expected.ptpBack) << what;
    EXPECT_EQ(got.checked, expected.checked) << what;
}

// Clean runs at each kind of label counting show nothing, with their labels checked: 29.97
// drop-frame over three minute starts (00:09 and 00:11 drop, 00:10 does not), 23.98 at
// 24 labels a second for 1001/24000 s each, and 24 fps across midnight.
TEST(TimeBase, CleanLabelSequencesShowNothing) {
    {
        TimeBaseChecker checker;
        Stream stream(checker, 4, {0, 8, 58, 0}, 1001.0 / 30000.0);
        stream.SendRange(0, 30 * 200);
        ExpectCounts(checker, {0, 0, 0, 0, 1}, "29.97 drop-frame");
        // The test's own counting dropped where it should: 00:08:59;29 is label 59, then
        // minute 9 has 1798 labels.
        EXPECT_TRUE(stream.Label(60) == (TimecodeLabel{0, 9, 0, 2}));
        EXPECT_TRUE(stream.Label(60 + 1798) == (TimecodeLabel{0, 10, 0, 0}));
        EXPECT_TRUE(stream.Label(60 + 1798 + 1800) == (TimecodeLabel{0, 11, 0, 2}));
    }
    {
        TimeBaseChecker checker;
        Stream stream(checker, 1, {10, 0, 0, 0}, 1001.0 / 24000.0);
        stream.SendRange(0, 24 * 90);
        ExpectCounts(checker, {0, 0, 0, 0, 1}, "23.98");
    }
    {
        TimeBaseChecker checker;
        Stream stream(checker, 2, {23, 59, 58, 0}, 1.0 / 24.0);
        stream.SendRange(0, 24 * 5);
        ASSERT_TRUE(stream.Label(24 * 2) == (TimecodeLabel{0, 0, 0, 0}));
        ExpectCounts(checker, {0, 0, 0, 0, 1}, "24 across midnight");
    }
    {
        // At 29.97 a label counted without drops does not exist: one skip at the minute.
        TimeBaseChecker checker;
        Stream stream(checker, 4, {0, 0, 59, 0}, 1001.0 / 30000.0);
        stream.SendRange(0, 30);
        for (std::uint8_t frames = 0; frames < 30; ++frames) {
            TimeBaseChecker::Frame frame = stream.At(30 + frames);
            frame.label = TimecodeLabel{0, 1, 0, frames};
            checker.Add(frame);
        }
        ExpectCounts(checker, {0, 1, 0, 0, 1}, "29.97 without drops");
    }
}

// A 25 fps stream with a repeated label, lost frames, reordered ones, a tick count and a PTP
// stamp that go back alone, and a label that does not exist at the rate.
TEST(TimeBase, CountsRepeatsSkipsAndStepsBack) {
    TimeBaseChecker checker;
    Stream stream(checker, 3, {1, 2, 3, 0}, 1.0 / 25.0);
    stream.SendRange(0, 20);
    stream.Send(20, 19);  // the label of the frame before: a repeat
    stream.Send(21);      // label 20 never came: a skip
    stream.Send(22);
    stream.Send(24);  // 23 lost: a skip
    stream.Send(26);  // 25 comes after 26: a skip, taken back when 25 comes
    stream.Send(25);  // ... a tick count and a stamp back
    stream.Send(27);
    stream.Send(30);  // 28 and 29 missing: a skip, which 28 alone does not fill
    stream.Send(28);  // ... and a tick count and a stamp back
    stream.Send(31);
    ExpectCounts(checker, {1, 3, 2, 2, 1}, "labels");

    TimeBaseChecker::Frame tickBack = stream.At(32);
    tickBack.tick->first = stream.At(31).tick->first - 1;
    checker.Add(tickBack);
    TimeBaseChecker::Frame stampBack = stream.At(33);
    stampBack.ptp = stream.At(32).ptp;
    stampBack.ptp->second -= 1;
    checker.Add(stampBack);
    stream.Send(34);
    ExpectCounts(checker, {1, 3, 3, 3, 1}, "a tick count and a stamp back alone");

    TimeBaseChecker::Frame noSuchLabel = stream.At(35);
    noSuchLabel.label->frames = 25;
    checker.Add(noSuchLabel);
    stream.SendRange(36, 40);  // the check starts afresh: no second skip
    ExpectCounts(checker, {1, 4, 3, 3, 1}, "a label that does not exist at 25 fps");

    // A unit change is not a step back, nor a label restart a skip before the check knows
    // the stream's spacing.
    TimeBaseChecker::Frame seconds = stream.At(40);
    seconds.tick = {1, 0};
    checker.Add(seconds);
    ExpectCounts(checker, {1, 4, 3, 3, 1}, "tick unit changed");
}

// Only a stream one label period apart has its labels checked; the others count nothing,
// though their labels repeat or skip by design. Exact stamps tell 24 fps from 23.98.
TEST(TimeBase, OnlyStreamsAtTheLabelRateHaveTheirLabelsChecked) {
    const struct {
        const char* what;
        std::uint8_t projectFps;
        double projectPeriod;
        double otherPeriod;
    } cases[]{
        {"a 24 fps slot at 23.98", 1, 1001.0 / 24000.0, 1.0 / 24.0},
        {"a 23.98 slot at 24", 2, 1.0 / 24.0, 1001.0 / 24000.0},
        {"a 25 fps slot at 24", 2, 1.0 / 24.0, 1.0 / 25.0},
        {"a 30 fps slot at 29.97", 4, 1001.0 / 30000.0, 1.0 / 30.0},
        {"a 60 Hz slot at 30", 5, 1.0 / 30.0, 1.0 / 60.0},
        {"a 1 Hz slot at 25", 3, 1.0 / 25.0, 1.0},
    };
    for (const auto& c : cases) {
        TimeBaseChecker checker;
        Stream project(checker, c.projectFps, {5, 0, 0, 0}, c.projectPeriod);
        Stream other(checker, c.projectFps, {5, 0, 0, 0}, c.otherPeriod, kOtherSlot);
        project.SendRange(0, 300);
        // 2100 frames of the other slot, each with the label of its instant at the project
        // rate: some labels come twice or never.
        for (std::int64_t n = 0; n < 2100; ++n) {
            const double instant = static_cast<double>(n) * c.otherPeriod;
            other.Send(static_cast<double>(n),
                       static_cast<std::int64_t>(std::floor(instant / c.projectPeriod + 1e-9)));
        }
        ExpectCounts(checker, {0, 0, 0, 0, 1}, c.what);
        EXPECT_EQ(checker.Streams(), 2U) << c.what;
    }
}

// Without PTP stamps the spacing comes from arrival times: frames up to 5 ms early or late
// at 24 fps are still a stream at the label rate, and every lost frame is a skip.
TEST(TimeBase, ArrivalTimesServeWhenAStreamHasNoStamps) {
    TimeBaseChecker checker;
    Stream stream(checker, 2, {9, 0, 0, 0}, 1.0 / 24.0);
    stream.withStamps = false;
    std::uint64_t lost = 0;
    for (std::int64_t n = 0; n < 24 * 60; ++n) {
        if (n > 24 && n % 37 == 0) {
            ++lost;
            continue;
        }
        TimeBaseChecker::Frame frame = stream.At(static_cast<double>(n));
        frame.arrival += std::chrono::microseconds((n * 7919) % 10'000 - 5'000);
        checker.Add(frame);
    }
    ExpectCounts(checker, {0, lost, 0, 0, 1}, "arrival times with 5 ms jitter and losses");
}

// Each sender's streams are followed apart, and a new project rate starts a stream's check
// afresh without a count.
TEST(TimeBase, SendersAndProjectRatesAreFollowedApart) {
    TimeBaseChecker checker;
    Stream first(checker, 3, {1, 0, 0, 0}, 1.0 / 25.0, kProjectSlot, KorMonitor::UdpSender(1, 1));
    Stream second(checker, 3, {2, 0, 0, 0}, 1.0 / 25.0, kProjectSlot, KorMonitor::UdpSender(1, 2));
    for (std::int64_t n = 0; n < 100; ++n) {
        first.Send(static_cast<double>(n));
        second.Send(static_cast<double>(n) + 0.5);
    }
    ExpectCounts(checker, {0, 0, 0, 0, 2}, "two senders with the same record types");

    // The first sender switches to 30 fps with a new time of day, and later loses a frame.
    Stream faster(checker, 5, {7, 0, 0, 0}, 1.0 / 30.0, kProjectSlot, KorMonitor::UdpSender(1, 1));
    faster.SendRange(200, 260);
    ExpectCounts(checker, {0, 0, 0, 0, 2}, "a new project rate");
    faster.Send(261);
    EXPECT_EQ(checker.TimecodeSkips(), 1U) << "checked again at the new rate";
}

// A sender whose streams count ticks from instants 2 ms apart (each rate slot from its own
// start) shows tick counts going back in PTP order, though each stream's own ticks only rise;
// streams of one tick epoch show none.
TEST(TimeBase, TickCountsOfOneSenderFollowItsPtpStamps) {
    for (const std::int64_t epochApart : {std::int64_t{0}, std::int64_t{2'000'000}}) {
        TimeBaseChecker checker;
        Stream project(checker, 2, {1, 0, 0, 0}, 1.0 / 24.0, kProjectSlot);
        Stream fast(checker, 2, {1, 0, 0, 0}, 1.0 / 100.0, kOtherSlot);
        fast.withLabels = false;
        fast.tickEpochNs = epochApart;
        // Two seconds of both streams in the order of their instants.
        std::int64_t j = 0;
        for (std::int64_t k = 0; k < 48; ++k) {
            while (j * 24 < k * 100) {
                fast.Send(static_cast<double>(j++) + 0.3);
            }
            project.Send(static_cast<double>(k));
        }
        if (epochApart == 0) {
            EXPECT_EQ(checker.TickCountsBack(), 0U) << "one tick epoch";
        } else {
            // Each fast frame less than 2 ms after a project-rate frame has the lower tick
            // count: the project frames fall 0, 1.67, 3.33, 5, 6.67 and 8.33 ms into the fast
            // stream's 10 ms, whose frames come 3 ms in, so one in six, 8 of 48.
            EXPECT_EQ(checker.TickCountsBack(), 8U) << "tick epochs 2 ms apart";
        }
        EXPECT_EQ(checker.PtpStampsBack(), 0U);
    }
}

TEST(TimeBase, KeepsABoundedNumberOfStreams) {
    TimeBaseChecker checker;
    for (std::uint16_t port = 0; port < 1000; ++port) {
        Stream stream(checker, 2, {0, 0, 0, 0}, 1.0 / 24.0, kProjectSlot,
                      KorMonitor::UdpSender(1, port));
        stream.SendRange(0, 3);
    }
    EXPECT_EQ(checker.Streams(), TimeBaseChecker::kMaxStreams);
    ExpectCounts(checker, {0, 0, 0, 0, 0}, "many senders");
}

}  // namespace
