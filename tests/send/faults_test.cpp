// kor-send's fault injection: the seeded model that drops, repeats, reorders, alters and
// delays datagrams. The program's faults on the wire are checked by kor-monitor's tests.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "faults.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// What a model with these settings makes of `count` datagrams numbered from 1: each holds
// its number in the first two bytes, then 0x55 up to 16 bytes.
struct Faulted {
    Faulted(double loss, double duplicate, double reorder, double corrupt, std::uint64_t seed,
        std::uint32_t count) {
        Kor::Send::FaultModel model({.jitterMs = 4,
                                     .lossPercent = loss,
                                     .duplicatePercent = duplicate,
                                     .reorderPercent = reorder,
                                     .corruptPercent = corrupt,
                                     .seed = seed});
        for (std::uint32_t n = 1; n <= count; ++n) {
            Bytes bytes(16, 0x55);
            bytes[0] = static_cast<std::uint8_t>(n);
            bytes[1] = static_cast<std::uint8_t>(n >> 8);
            auto step = model.Next(bytes);
            delays.push_back(step.delay);
            sent.insert(sent.end(), step.send.begin(), step.send.end());
        }
        totals = model.Totals();
    }
    std::vector<std::chrono::nanoseconds> delays;
    std::vector<Bytes> sent;
    Kor::Send::FaultTotals totals;
};

TEST(SendFaultModel, RatesFollowThePercentagesAndTheSeed) {
    const Faulted run(20, 10, 5, 10, 42, 10'000);
    const auto& t = run.totals;
    EXPECT_EQ(t.datagrams, 10'000U);
    EXPECT_NEAR(static_cast<double>(t.lost), 2000, 300);
    // Shares of the datagrams that were not lost.
    EXPECT_NEAR(static_cast<double>(t.duplicated), 800, 150);
    EXPECT_NEAR(static_cast<double>(t.reordered), 400, 150);
    EXPECT_NEAR(static_cast<double>(t.corrupted), 800, 150);
    EXPECT_TRUE(std::all_of(run.delays.begin(), run.delays.end(),
                            [](auto delay) { return delay >= 0ns && delay <= 4ms; }));
    // Every kept datagram and every copy goes out, but for one that may still be held.
    const std::uint64_t expected = t.datagrams - t.lost + t.duplicated;
    EXPECT_GE(run.sent.size() + 2, expected);
    EXPECT_LE(run.sent.size(), expected);
    // One byte changed: seen in the filler, not always in the number.
    const auto altered = static_cast<std::uint64_t>(
        std::count_if(run.sent.begin(), run.sent.end(), [](const Bytes& b) {
            return b.size() != 16 || std::count(b.begin() + 2, b.end(), 0x55) != 14;
        }));
    EXPECT_GT(altered, t.corrupted / 2);
    EXPECT_LE(altered, t.corrupted * 2);  // a corrupted datagram and its copy

    const Faulted again(20, 10, 5, 10, 42, 10'000);
    EXPECT_EQ(again.sent, run.sent);
    EXPECT_EQ(again.delays, run.delays);
    EXPECT_NE(Faulted(20, 10, 5, 10, 43, 10'000).sent, run.sent);
}

TEST(SendFaultModel, ReorderSwapsADatagramWithTheNextOne) {
    std::vector<std::uint8_t> order;
    for (const Bytes& bytes : Faulted(0, 0, 100, 0, 1, 5).sent) {
        order.push_back(bytes[0]);
    }
    EXPECT_EQ(order, (std::vector<std::uint8_t>{2, 1, 4, 3}));  // 5 is still held
}

}  // namespace
