// kor-send's fault injection: the seeded model that drops, repeats, reorders, alters and
// delays datagrams. The program's faults on the wire are checked by kor-monitor's tests.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "faults.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Datagram n: 16 bytes, all distinct between datagrams.
Bytes Numbered(std::uint32_t n) {
    Bytes bytes(16, 0x55);
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (8 * i));
    }
    return bytes;
}

std::uint32_t NumberOf(const Bytes& bytes) {
    std::uint32_t n = 0;
    for (int i = 0; i < 4; ++i) {
        n |= std::uint32_t{bytes[static_cast<std::size_t>(i)]} << (8 * i);
    }
    return n;
}

TEST(SendFaultModel, RatesFollowThePercentages) {
    Kor::Send::FaultSettings settings;
    settings.lossPercent = 20;
    settings.duplicatePercent = 10;
    settings.reorderPercent = 5;
    settings.corruptPercent = 10;
    settings.jitterMs = 4;
    settings.seed = 42;
    Kor::Send::FaultModel model(settings);
    std::uint64_t sent = 0;
    std::uint64_t altered = 0;
    for (std::uint32_t n = 0; n < 10'000; ++n) {
        const auto step = model.Next(Numbered(n));
        EXPECT_GE(step.delay, 0ns);
        EXPECT_LE(step.delay, 4ms);
        for (const Bytes& bytes : step.send) {
            ++sent;
            ASSERT_EQ(bytes.size(), 16U);
            // The numbers are too small to reach byte 3: a change shows anywhere after it.
            altered += std::count(bytes.begin() + 4, bytes.end(), 0x55) != 12 || bytes[3] != 0;
        }
    }
    const auto& t = model.Totals();
    EXPECT_EQ(t.datagrams, 10'000U);
    EXPECT_GT(t.lost, 1700U);
    EXPECT_LT(t.lost, 2300U);
    // Shares of the datagrams that were not lost.
    EXPECT_GT(t.duplicated, 650U);
    EXPECT_LT(t.duplicated, 950U);
    EXPECT_GT(t.reordered, 250U);
    EXPECT_LT(t.reordered, 550U);
    EXPECT_GT(t.corrupted, 650U);
    EXPECT_LT(t.corrupted, 950U);
    // Every kept datagram and every copy goes out, but for one that may still be held.
    const std::uint64_t expected = t.datagrams - t.lost + t.duplicated;
    EXPECT_GE(sent + 2, expected);
    EXPECT_LE(sent, expected);
    EXPECT_GT(altered, t.corrupted / 2);  // low bytes of the number changed are not seen
    EXPECT_LE(altered, t.corrupted * 2);  // a corrupted datagram and its copy
}

TEST(SendFaultModel, TheSameSeedGivesTheSameDecisions) {
    Kor::Send::FaultSettings settings;
    settings.lossPercent = 30;
    settings.duplicatePercent = 20;
    settings.reorderPercent = 20;
    settings.corruptPercent = 20;
    settings.jitterMs = 10;
    auto run = [&](std::uint64_t seed) {
        settings.seed = seed;
        Kor::Send::FaultModel model(settings);
        std::vector<Bytes> out;
        std::vector<std::int64_t> delays;
        for (std::uint32_t n = 0; n < 1000; ++n) {
            auto step = model.Next(Numbered(n));
            delays.push_back(step.delay.count());
            out.insert(out.end(), step.send.begin(), step.send.end());
        }
        return std::make_pair(out, delays);
    };
    EXPECT_EQ(run(7), run(7));
    EXPECT_NE(run(7), run(8));
}

TEST(SendFaultModel, ReorderSwapsADatagramWithTheNextOne) {
    Kor::Send::FaultSettings settings;
    settings.reorderPercent = 100;
    Kor::Send::FaultModel model(settings);
    std::vector<std::uint32_t> order;
    for (std::uint32_t n = 1; n <= 5; ++n) {
        for (const Bytes& bytes : model.Next(Numbered(n)).send) {
            order.push_back(NumberOf(bytes));
        }
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{2, 1, 4, 3}));  // 5 is still held
}

}  // namespace
