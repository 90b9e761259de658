// Timecode, drop-frame counting, PTP time, tick counts and the local-time offset.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

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

// The drop-frame label that follows `tc`: frame numbers 0 and 1 are skipped at the start
// of every minute except every tenth.
std::array<int, 4> NextDropFrameLabel(const Kor::Engine::Timecode& tc) {
    int h = tc.hours, m = tc.minutes, s = tc.seconds, f = tc.frames + 1;
    if (f == 30) {
        f = 0;
        if (++s == 60) {
            s = 0;
            if (++m == 60) {
                m = 0;
                h = (h + 1) % 24;
            }
            if (m % 10 != 0) {
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
            std::array<int, 4> expected{};
            for (std::int64_t k = 0; k < 5'000; ++k) {
                const std::int64_t stamp =
                    midnight + phase + (firstFrame + k) * kFrameTicksTimes3 / 3;
                const auto tc = TimecodeAt(stamp, 4);
                const std::array<int, 4> label{tc.hours, tc.minutes, tc.seconds, tc.frames};
                if (k != 0) {
                    ASSERT_EQ(label, expected) << "frame " << firstFrame + k << ", " << phase
                                               << " ticks into it";
                }
                expected = NextDropFrameLabel(tc);
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
