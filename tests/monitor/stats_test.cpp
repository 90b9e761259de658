// Tests of the receive statistics: running figures, rates, ages, counts and latency.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <vector>

#include "stats.h"

namespace {

using namespace std::chrono_literals;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using Kor::Protocol::TelemetryData;
using KorMonitor::ArrivalTracker;
using KorMonitor::ReceiveTime;
using SteadyTime = std::chrono::steady_clock::time_point;

// A receive time at a given offset on both clocks from a fixed start.
ReceiveTime At(std::chrono::nanoseconds offset, std::chrono::seconds zone = 0s) {
    ReceiveTime time;
    time.steady = SteadyTime(1000s + offset);
    time.wall = std::chrono::system_clock::time_point(1'700'000'000s + offset);
    time.zoneOffset = zone;
    return time;
}

TEST(RunningStats, MatchesAKnownSeries) {
    KorMonitor::RunningStats stats;
    EXPECT_EQ(stats.StdDev(), 0.0);
    for (const double value : {2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}) {
        stats.Add(value);
    }
    EXPECT_EQ(stats.Count(), 8U);
    EXPECT_DOUBLE_EQ(stats.Min(), 2.0);
    EXPECT_DOUBLE_EQ(stats.Max(), 9.0);
    EXPECT_DOUBLE_EQ(stats.Mean(), 5.0);
    EXPECT_DOUBLE_EQ(stats.StdDev(), 2.0);
    EXPECT_DOUBLE_EQ(stats.Last(), 9.0);

    // Large offsets do not swamp a small spread.
    KorMonitor::RunningStats offset;
    for (const double value : {1e9 + 4, 1e9 + 7, 1e9 + 13, 1e9 + 16}) {
        offset.Add(value);
    }
    EXPECT_NEAR(offset.StdDev(), std::sqrt(22.5), 1e-6);
}

TEST(ArrivalTracker, RateOverTheWindowAgeAndHighRates) {
    ArrivalTracker tracker;
    EXPECT_EQ(tracker.RateHz(SteadyTime(1000s)), 0.0);
    EXPECT_FALSE(tracker.Age(SteadyTime(1000s)).has_value());
    // 24 Hz for ten seconds: only the last five count, and they give 24 Hz.
    for (int i = 0; i <= 240; ++i) {
        tracker.Add(SteadyTime(1000s) + i * 1'000'000'000ns / 24);
    }
    const SteadyTime last = SteadyTime(1000s) + 10s;
    EXPECT_EQ(tracker.Count(), 241U);
    EXPECT_NEAR(tracker.RateHz(last + 10ms), 24.0, 1e-6);
    EXPECT_NEAR(tracker.MeanRateHz(), 24.0, 1e-6);
    EXPECT_EQ(*tracker.Age(last + 250ms), 250ms);
    // Once the arrivals stop and fall out of the window the rate drops to zero.
    EXPECT_EQ(tracker.RateHz(last + 6s), 0.0);
    EXPECT_EQ(*tracker.Age(last + 6s), 6s);

    // Far more arrivals than are kept: the rate still comes out right.
    ArrivalTracker fast;
    for (int i = 0; i < 100'000; ++i) {
        fast.Add(SteadyTime(1s) + i * 10us);
    }
    EXPECT_EQ(fast.Count(), 100'000U);
    EXPECT_NEAR(fast.RateHz(SteadyTime(1s) + 1s), 100'000.0, 1e-3);
}

TEST(PtpLatency, ComparesLocalTimeOfArrivalWithTheStamp) {
    // Arrival at 1 700 000 000.5 s UTC in a zone one hour ahead of UTC: local seconds are
    // 1 700 003 600.5. A stamp 250 ms earlier gives +0.25 s; one in the future is negative.
    const ReceiveTime time = At(500ms, 3600s);
    EXPECT_NEAR(KorMonitor::PtpLatencySeconds(1'700'003'600, 250'000'000, time), 0.25, 1e-9);
    EXPECT_NEAR(KorMonitor::PtpLatencySeconds(1'700'003'601, 0, time), -0.5, 1e-9);
    // A stamp in UTC instead of local time shows up as the zone offset.
    EXPECT_NEAR(KorMonitor::PtpLatencySeconds(1'700'000'000, 500'000'000, time), 3600.0, 1e-9);
    // Out-of-range stamps stay finite.
    EXPECT_TRUE(
        std::isfinite(KorMonitor::PtpLatencySeconds(0xFFFF'FFFF'FFFFULL, 0xFFFFFFFFU, time)));
}

TEST(Stats, CountsStatusesTypesIntervalsAndLatency) {
    KorMonitor::Stats stats;
    TelemetryData state;
    state.ptpSeconds = 1'700'000'000;
    state.ptpNanoseconds = 100'000'000;
    const std::vector<MessageType> lensAndPtp{MessageType::BasicLens, MessageType::PtpTimestamp};
    const std::vector<MessageType> lensOnly{MessageType::BasicLens};

    stats.OnReceived(30);
    stats.OnFrame(FrameStatus::NewTimecode, lensAndPtp, At(0ms), state);
    stats.OnReceived(40);
    stats.OnFrame(FrameStatus::SameTimecode, lensOnly, At(10ms), state);
    // An error frame counts as a frame but none of its types arrived.
    stats.OnReceived(5);
    stats.OnFrame(FrameStatus::ChecksumError, lensAndPtp, At(40ms), state);

    EXPECT_EQ(stats.Chunks(), 3U);
    EXPECT_EQ(stats.Bytes(), 75U);
    EXPECT_EQ(stats.Frames(), 3U);
    EXPECT_EQ(stats.Applied(), 2U);
    EXPECT_EQ(stats.Errors(), 1U);
    EXPECT_EQ(stats.StatusCount(FrameStatus::ChecksumError), 1U);
    EXPECT_EQ(stats.TypeArrivals(MessageType::BasicLens).Count(), 2U);
    EXPECT_EQ(stats.TypeArrivals(MessageType::PtpTimestamp).Count(), 1U);

    EXPECT_EQ(stats.FrameInterval().Count(), 2U);
    EXPECT_NEAR(stats.FrameInterval().Min(), 0.010, 1e-12);
    EXPECT_NEAR(stats.FrameInterval().Max(), 0.030, 1e-12);
    EXPECT_NEAR(stats.FrameInterval().StdDev(), 0.010, 1e-12);

    // Only the applied frame with a PtpTimestamp record gives a latency: arrival at
    // 1 700 000 000.0 s, stamp 0.1 s later (zone offset 0).
    ASSERT_EQ(stats.PtpLatency().Count(), 1U);
    EXPECT_NEAR(stats.PtpLatency().Last(), -0.1, 1e-9);
}

}  // namespace

namespace {

using KorMonitor::TickGapCounter;
constexpr std::uint8_t kSeconds = 0;
constexpr std::uint8_t kMilliseconds = 1;

const std::vector<MessageType> kFast{MessageType::BasicLens, MessageType::TickCount};
const std::vector<MessageType> kSlow{MessageType::LensName, MessageType::TickCount};

// The millisecond count of frame n of a 24 Hz stream, as the sender's steady clock gives it.
std::uint64_t Ms24(std::uint64_t n) {
    return n * 1000 / 24;
}

TEST(TickGaps, DroppedFramesAreCountedAndRepeatsAndLateFramesAreNot) {
    TickGapCounter gaps;
    // Frames 0..40 at 24 Hz, less 10, 20-22 and 30; frame 25 repeated, frame 34 overtaken
    // by 35 and 36.
    for (std::uint64_t n = 0; n <= 40; ++n) {
        if (n == 10 || (n >= 20 && n <= 22) || n == 30 || n == 34) {
            continue;
        }
        gaps.Add(kFast, Ms24(n), kMilliseconds);
        if (n == 25) {
            gaps.Add(kFast, Ms24(n), kMilliseconds);
        }
        if (n == 36) {
            gaps.Add(kFast, Ms24(34), kMilliseconds);
        }
    }
    // 34 counts as missing when 35 comes and as found when it comes late.
    EXPECT_EQ(gaps.Gaps(), 4U);
    EXPECT_EQ(gaps.Missing(), 5U);
    EXPECT_EQ(gaps.Late(), 1U);

    // Heavy loss: two frames in five dropped, so most steps span two periods. Every drop is
    // seen once the first eight steps have taught the period: all but 1, 3, 6, 8, 11, 13.
    TickGapCounter heavy;
    for (std::uint64_t n = 0; n < 200; ++n) {
        if (n % 5 != 1 && n % 5 != 3) {
            heavy.Add(kSlow, Ms24(n), kMilliseconds);
        }
    }
    EXPECT_EQ(heavy.Missing(), 2U * 40 - 6);
}

TEST(TickGaps, InterleavedStreamsAreFollowedApart) {
    TickGapCounter gaps;
    // A 24 Hz and a 1 Hz stream, each whole, interleaved as they arrive.
    std::uint64_t nextSlow = 0;
    for (std::uint64_t n = 0; n <= 240; ++n) {
        if (nextSlow <= Ms24(n)) {
            gaps.Add(kSlow, nextSlow, kMilliseconds);
            nextSlow += 1000;
        }
        gaps.Add(kFast, Ms24(n), kMilliseconds);
    }
    EXPECT_EQ(gaps.Gaps(), 0U);
    EXPECT_EQ(gaps.Late(), 0U);
    // The slow stream has its own period: a missing second is one frame.
    gaps.Add(kSlow, nextSlow + 1000, kMilliseconds);
    EXPECT_EQ(gaps.Gaps(), 1U);
    EXPECT_EQ(gaps.Missing(), 1U);
}

TEST(TickGaps, CountsCoarserThanThePeriodSayNothing) {
    TickGapCounter gaps;
    // Seconds at 24 Hz: the count mostly stays put, so drops cannot be seen.
    for (std::uint64_t n = 0; n < 240; n += (n % 7 == 0 ? 3 : 1)) {
        gaps.Add(kFast, n / 24, kSeconds);
    }
    EXPECT_EQ(gaps.Gaps(), 0U);
    // Seconds at 1 Hz can: 0..9 then 12 misses two.
    for (const std::uint64_t second : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13}) {
        gaps.Add(kSlow, second, kSeconds);
    }
    EXPECT_EQ(gaps.Gaps(), 1U);
    EXPECT_EQ(gaps.Missing(), 2U);
}

TEST(TickGaps, ARestartOrAChangeOfUnitStartsTheStreamAfresh) {
    TickGapCounter gaps;
    for (std::uint64_t n = 0; n < 48; ++n) {
        gaps.Add(kFast, Ms24(n), kMilliseconds);
    }
    // The sender starts again: its count begins at zero. Nothing is late or missing, and
    // the new run's gaps count once its period is known again.
    for (std::uint64_t n = 0; n < 10; ++n) {
        gaps.Add(kFast, Ms24(n), kMilliseconds);
    }
    EXPECT_EQ(gaps.Late(), 0U);
    EXPECT_EQ(gaps.Gaps(), 0U);
    gaps.Add(kFast, Ms24(11), kMilliseconds);
    EXPECT_EQ(gaps.Missing(), 1U);
    // The same stream switched to microseconds: the bigger numbers are no gap.
    for (std::uint64_t n = 13; n < 20; ++n) {
        gaps.Add(kFast, n * 1'000'000 / 24, 2);
    }
    EXPECT_EQ(gaps.Gaps(), 1U);

    // Counts at the ends of the range neither wrap the totals nor trip the sanitizers.
    TickGapCounter extremes;
    for (const std::uint64_t count :
         {0ULL, 1ULL, 2ULL, 3ULL, 4ULL, 5ULL, 6ULL, 7ULL, 8ULL, ~0ULL, 0ULL, ~0ULL / 2}) {
        extremes.Add(kFast, count, kMilliseconds);
    }
    EXPECT_EQ(extremes.Gaps(), 1U);
    EXPECT_GE(extremes.Missing(), 1'000'000'000'000ULL);
}

}  // namespace
