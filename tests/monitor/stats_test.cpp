// Tests of the receive statistics: running figures, rates, ages, counts, latency and the
// gaps in tick counts.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <vector>

#include "stats.h"

namespace {

using namespace std::chrono_literals;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
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

TEST(RunningStats, MatchesKnownSeriesEvenFarFromZero) {
    for (const double offset : {0.0, 1e9}) {
        KorMonitor::RunningStats stats;
        for (const double value : {2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}) {
            stats.Add(offset + value);
        }
        EXPECT_EQ(stats.Count(), 8U);
        EXPECT_EQ(stats.Min(), offset + 2.0);
        EXPECT_EQ(stats.Max(), offset + 9.0);
        EXPECT_NEAR(stats.Mean(), offset + 5.0, 1e-6);
        EXPECT_NEAR(stats.StdDev(), 2.0, 1e-6) << offset;
    }
}

TEST(ArrivalTracker, RateOverTheWindowAgeAndHighRates) {
    KorMonitor::ArrivalTracker tracker;
    EXPECT_FALSE(tracker.Age(SteadyTime(1000s)).has_value());
    // 24 Hz for ten seconds: only the last five count, and they give 24 Hz; once the arrivals
    // fall out of the window the rate drops to zero.
    for (int i = 0; i <= 240; ++i) {
        tracker.Add(SteadyTime(1000s) + i * 1'000'000'000ns / 24);
    }
    const SteadyTime last = SteadyTime(1000s) + 10s;
    EXPECT_NEAR(tracker.RateHz(last + 10ms), 24.0, 1e-6);
    EXPECT_EQ(*tracker.Age(last + 250ms), 250ms);
    EXPECT_EQ(tracker.RateHz(last + 6s), 0.0);
    // Far more arrivals than are kept: the rate still comes out right.
    KorMonitor::ArrivalTracker fast;
    for (int i = 0; i < 100'000; ++i) {
        fast.Add(SteadyTime(1s) + i * 10us);
    }
    EXPECT_NEAR(fast.RateHz(SteadyTime(1s) + 1s), 100'000.0, 1e-3);
    EXPECT_NEAR(fast.MeanRateHz(), 100'000.0, 1e-3);
}

TEST(PtpLatency, ComparesLocalTimeOfArrivalWithTheStamp) {
    // Arrival at 1 700 000 000.5 s UTC in a zone one hour ahead of UTC: local seconds are
    // 1 700 003 600.5. A stamp 250 ms earlier gives +0.25 s; one in the future is negative.
    const ReceiveTime time = At(500ms, 3600s);
    EXPECT_NEAR(KorMonitor::PtpLatencySeconds(1'700'003'600, 250'000'000, time), 0.25, 1e-9);
    EXPECT_NEAR(KorMonitor::PtpLatencySeconds(1'700'003'601, 0, time), -0.5, 1e-9);
    // A stamp in UTC instead of local time shows up as the zone offset.
    EXPECT_NEAR(KorMonitor::PtpLatencySeconds(1'700'000'000, 500'000'000, time), 3600.0, 1e-9);
    EXPECT_TRUE(
        std::isfinite(KorMonitor::PtpLatencySeconds(0xFFFF'FFFF'FFFFULL, 0xFFFFFFFFU, time)));
}

TEST(Stats, CountsStatusesTypesIntervalsAndLatency) {
    KorMonitor::Stats stats;
    Kor::Protocol::TelemetryData state;
    state.ptpSeconds = 1'700'000'000;
    state.ptpNanoseconds = 100'000'000;
    const std::vector<MessageType> lensAndPtp{MessageType::BasicLens, MessageType::PtpTimestamp};
    stats.OnReceived(30);
    stats.OnFrame(FrameStatus::NewTimecode, lensAndPtp, At(0ms), state);
    stats.OnReceived(40);
    stats.OnFrame(FrameStatus::SameTimecode, {lensAndPtp.data(), 1}, At(10ms), state);
    // An error frame counts as a frame but none of its types arrived.
    stats.OnReceived(5);
    stats.OnFrame(FrameStatus::ChecksumError, lensAndPtp, At(40ms), state);

    EXPECT_EQ(stats.Bytes(), 75U);
    EXPECT_EQ(stats.Errors(), 1U);
    EXPECT_EQ(stats.StatusCount(FrameStatus::ChecksumError), 1U);
    EXPECT_EQ(stats.TypeArrivals(MessageType::BasicLens).Count(), 2U);
    EXPECT_NEAR(stats.FrameInterval().Max(), 0.030, 1e-12);
    // Only the applied frame with a PtpTimestamp record gives a latency: arrival at
    // 1 700 000 000.0 s, stamp 0.1 s later (zone offset 0).
    ASSERT_EQ(stats.PtpLatency().Count(), 1U);
    EXPECT_NEAR(stats.PtpLatency().Last(), -0.1, 1e-9);
}

// Stamps more than a day either way from the receiver's clock (random datagrams, a stamp
// of another epoch) are counted as implausible and kept out of the latency figures; a day
// exactly still counts.
TEST(Stats, PtpStampsMoreThanADayAwayAreLeftOutOfTheLatency) {
    KorMonitor::Stats stats;
    const std::vector<MessageType> ptp{MessageType::PtpTimestamp};
    Kor::Protocol::TelemetryData state;
    const std::int64_t arrival = 1'700'000'000;  // At(0ms): seconds since 1970, zone offset 0
    for (const std::uint64_t seconds :
         {std::uint64_t{0xFFFF'FFFF'FFFF}, std::uint64_t{0}, std::uint64_t(arrival + 86'401),
          std::uint64_t(arrival - 86'401), std::uint64_t(arrival - 86'400),
          std::uint64_t(arrival + 2)}) {
        state.ptpSeconds = seconds;
        stats.OnFrame(FrameStatus::NewTimecode, ptp, At(0ms), state);
    }
    EXPECT_EQ(stats.ImplausiblePtp(), 4U);
    ASSERT_EQ(stats.PtpLatency().Count(), 2U);
    EXPECT_NEAR(stats.PtpLatency().Max(), 86'400.0, 1e-6);
    EXPECT_NEAR(stats.PtpLatency().Min(), -2.0, 1e-6);
}

// The tick-gap counter fed frames of a 24 Hz stream (BasicLens) and of a 1 Hz one (LensName).
struct TickFeed {
    void Fast(std::uint64_t count, std::uint8_t unit = 1) { gaps.Add(kSender, kFast, count, unit); }
    void Slow(std::uint64_t count, std::uint8_t unit = 1) { gaps.Add(kSender, kSlow, count, unit); }
    void FastFrom(std::uint16_t port, std::uint64_t count) {
        gaps.Add(KorMonitor::UdpSender(0x7F000001, port), kFast, count, 1);
    }
    // The millisecond count of frame n of the 24 Hz stream.
    static std::uint64_t Ms24(std::uint64_t n) { return n * 1000 / 24; }

    const KorMonitor::SenderId kSender = KorMonitor::UdpSender(0x7F000001, 40000);
    const std::vector<MessageType> kFast{MessageType::BasicLens, MessageType::TickCount};
    const std::vector<MessageType> kSlow{MessageType::LensName, MessageType::TickCount};
    KorMonitor::TickGapCounter gaps;
};

// Units: 0 seconds, 1 milliseconds, 2 microseconds. A stream's gaps count once eight steps
// have taught it its period.
TEST(TickGaps, CountsDropsButNotRepeatsLateFramesRestartsOrUnitChanges) {
    struct Case {
        const char* what;
        std::function<void(TickFeed&)> feed;
        std::uint64_t gaps, missing, late;
    };
    const std::vector<Case> cases{
        {"frames 10, 20-22, 30 dropped; 25 repeated; 34 overtaken by 35 and 36",
         [](TickFeed& f) {
             for (const std::uint64_t n :
                  {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  11, 12, 13, 14, 15, 16, 17, 18, 19,
                   23, 24, 25, 25, 26, 27, 28, 29, 31, 32, 33, 35, 36, 34, 37, 38, 39, 40}) {
                 f.Fast(f.Ms24(n));
             }
         },
         4, 5, 1},  // 34 counts as missing when 35 comes and as found when it comes late
        {"heavy loss: two frames in five, all but the six in the first eight steps",
         [](TickFeed& f) {
             for (std::uint64_t n = 0; n < 200; ++n) {
                 if (n % 5 != 1 && n % 5 != 3) {
                     f.Fast(f.Ms24(n));
                 }
             }
         },
         74, 74, 0},
        {"interleaved streams, each followed apart; one second missing from the slow one",
         [](TickFeed& f) {
             std::uint64_t slow = 0;
             for (std::uint64_t n = 0; n <= 240; ++n) {
                 for (; slow <= f.Ms24(n); slow += 1000) {
                     f.Slow(slow);
                 }
                 f.Fast(f.Ms24(n));
             }
             f.Slow(slow + 1000);
         },
         1, 1, 0},
        {"two senders of the same record types, counts an hour apart, each followed apart",
         [](TickFeed& f) {
             for (std::uint64_t n = 0; n < 100; ++n) {
                 f.Fast(f.Ms24(n));
                 f.FastFrom(40001, 3'600'000 + f.Ms24(n));
             }
         },
         0, 0, 0},
        {"seconds: at 24 Hz the count mostly stays put and says nothing; at 1 Hz 9 to 12 "
         "misses two",
         [](TickFeed& f) {
             for (std::uint64_t n = 0; n < 240; n += (n % 7 == 0 ? 3 : 1)) {
                 f.Fast(n / 24, 0);
             }
             for (const std::uint64_t second : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13}) {
                 f.Slow(second, 0);
             }
         },
         1, 2, 0},
        {"a restart from zero, one drop in the new run, then a switch to microseconds",
         [](TickFeed& f) {
             for (std::uint64_t n = 0; n < 48; ++n) {
                 f.Fast(f.Ms24(n));
             }
             for (const std::uint64_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11}) {
                 f.Fast(f.Ms24(n));
             }
             for (std::uint64_t n = 13; n < 20; ++n) {
                 f.Fast(n * 1'000'000 / 24, 2);
             }
         },
         1, 1, 0},
    };
    for (const Case& c : cases) {
        TickFeed feed;
        c.feed(feed);
        EXPECT_EQ(feed.gaps.Gaps(), c.gaps) << c.what;
        EXPECT_EQ(feed.gaps.Missing(), c.missing) << c.what;
        EXPECT_EQ(feed.gaps.Late(), c.late) << c.what;
    }
    // Counts at the ends of the range neither wrap the totals nor trip the sanitizers.
    TickFeed extremes;
    for (const std::uint64_t count :
         {0ULL, 1ULL, 2ULL, 3ULL, 4ULL, 5ULL, 6ULL, 7ULL, 8ULL, ~0ULL, 0ULL, ~0ULL / 2}) {
        extremes.Fast(count);
    }
    EXPECT_EQ(extremes.gaps.Gaps(), 1U);
    EXPECT_GE(extremes.gaps.Missing(), 1'000'000'000'000ULL);
}

}  // namespace
