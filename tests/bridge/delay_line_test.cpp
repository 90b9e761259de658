// The delay line: order, nothing sent before its time, everything due sent even when the
// stop comes at once, and a stop that cuts a long wait short.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "delay_line.h"

namespace {

using Kor::Bridge::DelayLine;
using Clock = DelayLine::Clock;
using namespace std::chrono_literals;

// What the line sent: each datagram's first byte pair as a number, and when it went.
struct Sent {
    std::mutex mutex;
    std::vector<int> numbers;
    std::vector<Clock::time_point> times;

    DelayLine::SendFunction Recorder() {
        return [this](const DelayLine::Bytes& bytes) {
            const auto now = Clock::now();
            const std::lock_guard lock(mutex);
            numbers.push_back(bytes[0] * 256 + bytes[1]);
            times.push_back(now);
        };
    }
    std::size_t Count() {
        const std::lock_guard lock(mutex);
        return numbers.size();
    }
};

DelayLine::Bytes Numbered(int n) {
    return {static_cast<std::uint8_t>(n / 256), static_cast<std::uint8_t>(n % 256)};
}

std::vector<int> UpTo(int count) {
    std::vector<int> numbers;
    for (int i = 0; i < count; ++i) {
        numbers.push_back(i);
    }
    return numbers;
}

TEST(DelayLine, SendsInOrderAndNeverEarly) {
    Sent sent;
    DelayLine line(sent.Recorder());
    std::vector<Clock::time_point> due;
    const auto start = Clock::now();
    for (int i = 0; i < 200; ++i) {
        due.push_back(start + 20ms + i * 100us);  // several due within one spin of the line
        line.Push(due.back(), Numbered(i));
    }
    ASSERT_TRUE(line.WaitUntilSent(30s));
    EXPECT_EQ(line.Stop(), 0U);
    EXPECT_EQ(sent.numbers, UpTo(200));
    for (std::size_t i = 0; i < sent.times.size(); ++i) {
        EXPECT_GE(sent.times[i], due[i]) << i;
    }
}

// A stop right after the pushes still sends every datagram that was due by then, in order.
TEST(DelayLine, StopSendsWhatIsDue) {
    Sent sent;
    std::size_t dropped = 0;
    {
        DelayLine line(sent.Recorder());
        const auto past = Clock::now() - 1ms;
        for (int i = 0; i < 1000; ++i) {
            line.Push(past, Numbered(i));
        }
        line.Push(Clock::now() + 1h, Numbered(1000));
        dropped = line.Stop();
        line.Push(Clock::now(), Numbered(1001));  // after the stop: ignored
    }
    EXPECT_EQ(dropped, 1U);
    EXPECT_EQ(sent.numbers, UpTo(1000));
}

// A line waiting an hour for its next datagram stops at once; the destructor stops it too.
TEST(DelayLine, StopCutsTheWaitShort) {
    Sent sent;
    auto line = std::make_unique<DelayLine>(sent.Recorder());
    line->Push(Clock::now(), Numbered(1));
    line->Push(Clock::now() + 1h, Numbered(2));
    for (int i = 0; i < 3000 && sent.Count() == 0; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(line->WaitUntilSent(20ms));
    EXPECT_EQ(line->Stop(), 1U);
    EXPECT_EQ(sent.numbers, std::vector<int>{1});

    DelayLine waiting(sent.Recorder());
    waiting.Push(Clock::now() + 1h, Numbered(3));
    // Leaving the scope must not wait the hour.
}

}  // namespace
