// Timecode, drop-frame counting, PTP time, tick counts and the local-time offset.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clocks.h"

namespace {

using Kor::Engine::PtpAt;
using Kor::Engine::TickCountAfter;
using Kor::Engine::TimecodeAt;

constexpr std::int64_t kDay = 20'000;  // an arbitrary day since 1970

constexpr std::int64_t LocalTicks(int h, int m, int s, int ms) {
    return ((kDay * 86'400 + h * 3600 + m * 60 + s) * 1000 + ms) * 10'000;
}

struct TimecodeCase {
    const char* name;
    int h, m, s, ms;
    std::uint8_t projectFps;
    std::array<int, 4> hmsf;
};

TEST(Clocks, TimecodeAtPinnedInstants) {
    const TimecodeCase cases[] = {
        {"25 fps, last frame of a second", 13, 45, 7, 999, 3, {13, 45, 7, 24}},
        {"23.98 slices the wall-clock second", 23, 59, 59, 999, 1, {23, 59, 59, 23}},
        {"no frame rate: frames stay 0", 13, 45, 7, 999, 0, {13, 45, 7, 0}},
        {"unknown code counts as no frame rate", 13, 45, 7, 999, 9, {13, 45, 7, 0}},
        {"drop-frame, just before minute 1", 0, 1, 0, 0, 4, {0, 0, 59, 28}},
        {"drop-frame skips frames 0 and 1 of minute 1", 0, 1, 0, 70, 4, {0, 1, 0, 2}},
        {"drop-frame keeps frame 0 of minute 10", 0, 10, 0, 0, 4, {0, 10, 0, 0}},
        {"drop-frame at midnight", 0, 0, 0, 0, 4, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        const auto tc = TimecodeAt(LocalTicks(c.h, c.m, c.s, c.ms), c.projectFps);
        EXPECT_EQ((std::array<int, 4>{tc.hours, tc.minutes, tc.seconds, tc.frames}), c.hmsf)
            << c.name;
    }
}

// 29.97 counts real frames at exactly 30000/1001 per second. A rate rounded to 29.97003
// counts one frame low from 00:00:01.001 on (in single precision) or one high from
// 09:15:33.667 (in double precision). The drop-frame day has 2589408 frame numbers and the
// real day 2589410.6 frames, so its last frames are numbered past 24:00:00;00 (shown as
// hour 0).
TEST(Clocks, DropFrameCountsRealFramesExactly) {
    const TimecodeCase cases[] = {
        {"last frame of second 0", 0, 0, 1, 0, 4, {0, 0, 0, 29}},
        {"frame 30 starts at 1.001 s", 0, 0, 1, 1, 4, {0, 0, 1, 0}},
        {"start of minute 1: frame 1798", 0, 1, 0, 0, 4, {0, 0, 59, 28}},
        {"frame 1800 at 60.0666 s is numbered 00:01:00;02", 0, 1, 0, 66, 4, {0, 1, 0, 2}},
        {"start of minute 10: frame 17982", 0, 10, 0, 0, 4, {0, 10, 0, 0}},
        {"frame 17983 in minute 10 keeps number 1", 0, 10, 0, 34, 4, {0, 10, 0, 1}},
        {"start of hour 1: frame 107892", 1, 0, 0, 0, 4, {1, 0, 0, 0}},
        {"frame 999010 just before 09:15:33.667", 9, 15, 33, 666, 4, {9, 15, 33, 20}},
        {"frame 999010 still at 09:15:33.667", 9, 15, 33, 667, 4, {9, 15, 33, 20}},
        {"frame 999011 from 09:15:33.700", 9, 15, 33, 700, 4, {9, 15, 33, 21}},
        {"last frame numbered within the day", 23, 59, 59, 900, 4, {23, 59, 59, 29}},
        {"last millisecond of the day: frame 2589410", 23, 59, 59, 999, 4, {0, 0, 0, 2}},
    };
    for (const auto& c : cases) {
        const auto tc = TimecodeAt(LocalTicks(c.h, c.m, c.s, c.ms), c.projectFps);
        EXPECT_EQ((std::array<int, 4>{tc.hours, tc.minutes, tc.seconds, tc.frames}), c.hmsf)
            << c.name;
    }
}

using Label = std::array<int, 4>;

Label LabelOf(const Kor::Engine::Timecode& tc) {
    return {tc.hours, tc.minutes, tc.seconds, tc.frames};
}

// The label after `label` when `perSecond` labels make a second (non-drop), or drop-frame:
// frame numbers 0 and 1 are skipped at the start of every minute except every tenth.
Label NextLabel(const Label& label, int perSecond, bool dropFrame) {
    int h = label[0], m = label[1], s = label[2], f = label[3] + 1;
    if (f == perSecond) {
        f = 0;
        if (++s == 60) {
            s = 0;
            if (++m == 60) {
                m = 0;
                h = (h + 1) % 24;
            }
            if (dropFrame && m % 10 != 0) {
                f = 2;
            }
        }
    }
    return {h, m, s, f};
}

// Frames stamped one after another at exactly 30000/1001 per second each advance the
// timecode by one drop-frame label, wherever in its frame the stamps fall: from 100 ns
// after a frame's start to 100 ns before the next. Runs of 5000 frames start at midnight,
// before the tenth minute, before 09:15:33.667 and before the last label of the day.
TEST(Clocks, DropFrameStampsAdvanceOneLabelPerFrame) {
    constexpr std::int64_t kFrameTicksTimes3 = 1'001'000;  // 3 x (10^7 x 1001 / 30000)
    const std::int64_t midnight = LocalTicks(0, 0, 0, 0);
    for (const std::int64_t firstFrame : {0, 16'000, 997'000, 2'589'408 - 5'001}) {
        for (const std::int64_t phase : {1, 5'000, 166'833, 333'665}) {
            Label expected{};
            for (std::int64_t k = 0; k < 5'000; ++k) {
                const std::int64_t stamp =
                    midnight + phase + (firstFrame + k) * kFrameTicksTimes3 / 3;
                const Label label = LabelOf(TimecodeAt(stamp, 4));
                if (k != 0) {
                    ASSERT_EQ(label, expected) << "frame " << firstFrame + k << ", " << phase
                                               << " ticks into it";
                }
                expected = NextLabel(label, 30, true);
            }
        }
    }
}

// Over a whole hour of 29.97 counting, frames 0 and 1 appear only in every tenth minute
// and no frame number reaches 30.
TEST(Clocks, DropFrameNeverShowsSkippedNumbers) {
    for (int ms = 0; ms < 3'600'000; ms += 7) {
        const auto tc = TimecodeAt(LocalTicks(0, 0, 0, 0) + std::int64_t{ms} * 10'000, 4);
        if (tc.seconds == 0 && tc.minutes % 10 != 0) {
            ASSERT_GE(tc.frames, 2) << "at " << ms << " ms";
        }
        ASSERT_LT(tc.frames, 30);
    }
}

// Integer rates count their frames from the 100-ns ticks: a frame boundary that falls inside
// a millisecond (every third frame at 30 fps) is not moved to the millisecond's start.
TEST(Clocks, IntegerRateLabelsChangeAtTheFrameBoundary) {
    const std::int64_t second = LocalTicks(10, 0, 0, 0);
    EXPECT_EQ(TimecodeAt(second + 333'333, 5).frames, 0) << "1/30 s less 100 ns";
    EXPECT_EQ(TimecodeAt(second + 333'334, 5).frames, 1) << "just past 1/30 s";
    EXPECT_EQ(TimecodeAt(second + 333'334 * 29, 5).frames, 29);
    EXPECT_EQ(TimecodeAt(second + 416'667, 2).frames, 1) << "just past 1/24 s";
    EXPECT_EQ(TimecodeAt(second + 416'666, 2).frames, 0);
}

using Kor::Engine::kThirdsPerNs;
using Kor::Engine::kThirdsPerSecond;
using Kor::Engine::TimeBase;

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t LocalNs(int h, int m, int s, std::int64_t ns) {
    return (kDay * 86'400 + h * 3600 + m * 60 + s) * kNsPerSecond + ns;
}

struct RateCase {
    std::uint8_t projectFps;
    int perSecond;
    std::int64_t periodThirds;
};
constexpr RateCase kRates[] = {
    {1, 24, 125'125'000}, {2, 24, 125'000'000}, {3, 25, 120'000'000},
    {4, 30, 100'100'000}, {5, 30, 100'000'000}};

// The frames of the project-rate slot, at the run's start plus a stagger plus whole periods,
// carry one label after another at every rate: runs of 40,000 frames (over 20 minutes)
// started at odd phases, just before midnight (the count goes on from 00:00:00:00), just
// before a tenth minute and with the stagger landing a third of a nanosecond before a frame
// boundary.
TEST(TimeBase, ProjectRateFramesCarryConsecutiveLabels) {
    const struct {
        const char* name;
        std::int64_t startNs;
        std::int64_t staggerThirds;
    } starts[] = {
        {"an odd phase", LocalNs(9, 15, 33, 666'666'667), 750'000 * kThirdsPerNs},
        {"before midnight", LocalNs(23, 59, 30, 123'456'789), 1'000'000 * kThirdsPerNs},
        {"before minute 10", LocalNs(0, 9, 59, 0), 0},
        {"a third of a ns before a boundary", LocalNs(10, 0, 0, 0), 100'099'999},
    };
    for (const auto& rate : kRates) {
        for (const auto& start : starts) {
            SCOPED_TRACE(testing::Message() << start.name << ", code " << int{rate.projectFps});
            TimeBase base;
            const std::int64_t epochNs = 5'000'000'123;  // any steady-clock instant
            base.Start(epochNs, start.startNs);
            const std::int64_t origin = epochNs * kThirdsPerNs + start.staggerThirds;
            Label expected{};
            for (std::int64_t k = 0; k < 40'000; ++k) {
                const Label label =
                    LabelOf(base.TimecodeAt(origin + k * rate.periodThirds, rate.projectFps));
                if (k != 0) {
                    ASSERT_EQ(label, expected) << "frame " << k;
                }
                expected = NextLabel(label, rate.perSecond, rate.projectFps == 4);
            }
        }
    }
}

// 23.98 starts from the time-of-day label and then counts frames at 24000/1001: an hour of
// frames later its labels are 3.6 s behind the wall clock, and its PTP stamps are not.
// The other rates follow the time of day.
TEST(TimeBase, LabelsJamAt2398AndFollowTheTimeOfDayElsewhere) {
    TimeBase base;
    const std::int64_t startNs = LocalNs(10, 0, 0, 500'000'000);
    base.Start(0, startNs);
    EXPECT_EQ(LabelOf(base.TimecodeAt(0, 1)), (Label{10, 0, 0, 12}));
    // 86314 frames of 1001/24000 s last 3600.013 s: the wall clock shows 11:00:00.513, the
    // labels have counted 3596 s and 10 frames.
    const std::int64_t instant = std::int64_t{86'314} * 125'125'000;
    EXPECT_EQ(LabelOf(base.TimecodeAt(instant, 1)), (Label{10, 59, 56, 12 + 10}));
    const auto ptp = base.PtpAt(instant);
    EXPECT_EQ(static_cast<std::int64_t>(ptp.seconds), startNs / kNsPerSecond + 3600);
    EXPECT_EQ(ptp.nanoseconds, 513'083'333U);
    EXPECT_EQ(LabelOf(base.TimecodeAt(instant, 2)), (Label{11, 0, 0, 12}));
    EXPECT_EQ(LabelOf(base.TimecodeAt(instant, 4)), LabelOf(TimecodeAt(
                                                        (startNs + instant / 3) / 100, 4)));
}

// Every slot's frames take their label, PTP time and tick count from one function of their
// instant: a 1 Hz frame's label lies between those of the project-rate frames around it,
// tick counts of frames of all nine rates taken in PTP order never go back, and one slot's
// PTP stamps are exactly its period apart.
TEST(TimeBase, AllSlotsAgreeOnOneTimeBase) {
    TimeBase base;
    const std::int64_t epochNs = 777'777'777'777;
    base.Start(epochNs, LocalNs(14, 59, 58, 987'654'321));
    const std::int64_t epoch = base.EpochThirds();
    const std::int64_t periods[] = {3'000'000'000, 300'000'000, 125'125'000,
                                    125'000'000,   120'000'000, 100'100'000,
                                    100'000'000,   50'000'000,  30'000'000};
    struct Frame {
        std::int64_t ptpNs;
        std::uint64_t ticks;
    };
    std::vector<Frame> frames;
    for (int slot = 0; slot < 9; ++slot) {
        const std::int64_t origin = epoch + slot * 250'000 * kThirdsPerNs;
        for (std::int64_t k = 0; origin + k * periods[slot] < epoch + 5 * kThirdsPerSecond; ++k) {
            const auto ptp = base.PtpAt(origin + k * periods[slot]);
            std::uint64_t ticks = 0;
            ASSERT_TRUE(base.TickCountAt(origin + k * periods[slot], 2, ticks));
            frames.push_back({static_cast<std::int64_t>(ptp.seconds) * kNsPerSecond +
                                  ptp.nanoseconds,
                              ticks});
            if (k > 0) {
                const std::int64_t spacing = frames.back().ptpNs - frames[frames.size() - 2].ptpNs;
                ASSERT_LE(std::abs(spacing * kThirdsPerNs - periods[slot]), kThirdsPerNs);
            }
        }
    }
    std::sort(frames.begin(), frames.end(),
              [](const Frame& a, const Frame& b) { return a.ptpNs < b.ptpNs; });
    for (std::size_t i = 1; i < frames.size(); ++i) {
        ASSERT_LE(frames[i - 1].ticks, frames[i].ticks) << "frame " << i << " in PTP order";
    }
    EXPECT_EQ(frames.front().ticks, 0U);

    // Slot 3 at 24 fps, slot 0 at 1 Hz.
    const std::int64_t projectOrigin = epoch + 3 * 250'000 * kThirdsPerNs;
    for (std::int64_t second = 1; second < 5; ++second) {
        const std::int64_t oneHz = epoch + second * kThirdsPerSecond;
        const std::int64_t k = (oneHz - projectOrigin) / 125'000'000;  // the frame before
        const Label before = LabelOf(base.TimecodeAt(projectOrigin + k * 125'000'000, 2));
        const Label after = LabelOf(base.TimecodeAt(projectOrigin + (k + 1) * 125'000'000, 2));
        const Label label = LabelOf(base.TimecodeAt(oneHz, 2));
        EXPECT_TRUE(label == before || label == after) << "second " << second;
    }
}

// A rejam maps local time afresh (a step of the wall clock) and keeps the tick epoch.
TEST(TimeBase, RejamFollowsTheWallClockAndKeepsTheTicks) {
    TimeBase base;
    base.Start(1'000'000'000, LocalNs(12, 0, 0, 0));
    const std::int64_t later = base.EpochThirds() + 10 * kThirdsPerSecond;
    base.Rejam(later, LocalNs(11, 0, 10, 0));  // the wall clock went back an hour
    EXPECT_EQ(LabelOf(base.TimecodeAt(later, 3)), (Label{11, 0, 10, 0}));
    EXPECT_EQ(LabelOf(base.TimecodeAt(later, 1)), (Label{11, 0, 10, 0})) << "23.98 jams again";
    EXPECT_EQ(base.PtpAt(later).seconds, static_cast<std::uint64_t>(LocalNs(11, 0, 10, 0) /
                                                                    kNsPerSecond));
    std::uint64_t ticks = 0;
    ASSERT_TRUE(base.TickCountAt(later, 1, ticks));
    EXPECT_EQ(ticks, 10'000U);
    EXPECT_EQ(base.LocalNsAt(1'000'000'000 + 20 * kNsPerSecond), LocalNs(11, 0, 20, 0));
}

TEST(Clocks, PtpSplitAndTickCountUnits) {
    const auto ptp = PtpAt(1'234'567'890'123'456);
    EXPECT_EQ(ptp.seconds, 123'456'789U);
    EXPECT_EQ(ptp.nanoseconds, 12'345'600U);

    std::uint64_t count = 77;
    for (auto [unit, expected] : {std::pair{0, 2U}, {1, 2000U}, {2, 2'000'400U}}) {
        EXPECT_TRUE(TickCountAfter(2'000'400'000, static_cast<std::uint8_t>(unit), count));
        EXPECT_EQ(count, expected) << "unit " << unit;
    }
    EXPECT_FALSE(TickCountAfter(2'000'400'000, 3, count));
    EXPECT_EQ(count, 2'000'400U) << "an unknown unit leaves the count alone";
}

#ifdef _WIN32
// Windows takes the zone from the system's settings, which a test cannot change. The Wine
// run sets the zone to Central European time (TZ) and says so in KOR_TEST_ZONE; elsewhere
// the test is skipped.
TEST(Clocks, UtcOffsetFollowsZoneAndDaylightSaving) {
    const char* zone = std::getenv("KOR_TEST_ZONE");
    if (zone == nullptr || std::string(zone) != "CET") {
        GTEST_SKIP() << "needs the system's time zone set to Central European time and "
                        "KOR_TEST_ZONE=CET";
    }
    EXPECT_EQ(Kor::Engine::UtcOffsetSeconds(1'767'225'600), 3600);  // 2026-01-01 UTC
    EXPECT_EQ(Kor::Engine::UtcOffsetSeconds(1'782'864'000), 7200);  // 2026-07-01 UTC
    // The switch to summer time, 2026-03-29 01:00 UTC, on either side.
    EXPECT_EQ(Kor::Engine::UtcOffsetSeconds(1'774'745'999), 3600);
    EXPECT_EQ(Kor::Engine::UtcOffsetSeconds(1'774'746'000), 7200);
    // Instants the system cannot convert are taken as UTC.
    EXPECT_EQ(Kor::Engine::UtcOffsetSeconds(-20'000'000'000), 0);
}
#else
// The offset is the one in force at the instant converted, daylight-saving time included,
// and a changed zone applies at the next call.
TEST(Clocks, UtcOffsetFollowsZoneAndDaylightSaving) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    EXPECT_EQ(Kor::Engine::UtcOffsetSeconds(1'767'225'600), 3600);  // 2026-01-01 UTC
    EXPECT_EQ(Kor::Engine::UtcOffsetSeconds(1'782'864'000), 7200);  // 2026-07-01 UTC
    ::setenv("TZ", "UTC0", 1);
    EXPECT_EQ(Kor::Engine::UtcOffsetSeconds(1'782'864'000), 0);
    if (old != nullptr) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

#endif

}  // namespace
