// The Transmitter: its threads, send queue, datagram filter and clock stamps, on loopback.
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"
#include "transmitter.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Kor::Engine::Transmitter;
using Kor::Protocol::MessageType;
using kor_test::LoopbackReceiver;

// Start and Stop with the model lock held, as the control window calls them: the workers
// of a stopped run that wait for that lock must notice the stop, or Start never returns.
void Start(Transmitter& t, std::uint16_t port) {
    std::lock_guard lock(t.modelMutex);
    t.SetDestination("127.0.0.1", port);
    t.Start();
}

void Stop(Transmitter& t) {
    std::lock_guard lock(t.modelMutex);
    t.Stop();
}

// Drops datagrams whose first byte is a multiple of 3, sends an altered copy after those
// that leave 1, and holds one starting with 0xFF for an hour: only a stop ends that wait.
class ShufflingFilter final : public Kor::Engine::DatagramFilter {
public:
    bool Pass(Bytes datagram, Kor::Engine::DatagramSink& sink) override {
        if (datagram[0] == 0xFF) {
            return sink.WaitExtra(1h);
        }
        if (datagram[0] % 3 != 0) {
            sink.Send(datagram);
        }
        if (datagram[0] % 3 == 1) {
            datagram.push_back(0xEE);
            sink.Send(datagram);
        }
        return true;
    }
};

// The filter gets the queue in order once the delay has passed; a datagram behind the held
// one stays unsent; the stop at destruction cuts the hold short, or it would hang.
TEST(TransmitterLoopback, FilterGetsTheQueueInOrderAfterTheDelay) {
    LoopbackReceiver receiver;
    Transmitter t;
    t.SetDatagramFilter(std::make_unique<ShufflingFilter>());
    t.delayMs = 30;
    Start(t, receiver.port());
    const auto queued = std::chrono::steady_clock::now();
    for (int n : {1, 2, 3, 4, 5, 6, 7, 0xFF, 8}) {
        t.EnqueueFrame({static_cast<std::uint8_t>(n)});
    }
    const std::vector<Bytes> expected{{1}, {1, 0xEE}, {2}, {4}, {4, 0xEE}, {5}, {7}, {7, 0xEE}};
    for (const Bytes& want : expected) {
        const auto d = receiver.Receive(10s);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->bytes, want);
        EXPECT_GE(d->arrival - queued, 29ms) << "sent before its delay had passed";
    }
    EXPECT_FALSE(receiver.Receive(300ms)) << "sent past the held datagram";
}

// Frames queued when a run stops or after it are never sent, not by the next run either
// (the hour's delay of the first run must end at its stop); repeated Start and Stop calls do nothing;
// every run sends from the one source port.
TEST(TransmitterLoopback, StopDiscardsTheQueueAndRunsRestart) {
    LoopbackReceiver receiver;
    Transmitter t;
    t.delayMs = 3'600'000;
    Start(t, receiver.port());
    t.EnqueueFrame({1});
    t.EnqueueFrame({2});
    Stop(t);
    t.delayMs = 0;
    for (int i = 0; i < 10; ++i) {
        Start(t, receiver.port());
        Start(t, receiver.port());
        EXPECT_TRUE(t.IsRunning());
        Stop(t);
        Stop(t);
        EXPECT_FALSE(t.IsRunning());
    }
    // A frame queued after the stop, as by a generator of a run that a lens file playback
    // ended by itself while that generator was building its frame.
    t.EnqueueFrame({4});
    Start(t, receiver.port());
    t.EnqueueFrame({3});
    const auto d = receiver.Receive(10s);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes, Bytes{3}) << "a frame of a stopped run was sent";
    EXPECT_EQ(d->sourcePort, t.SourcePort());
}

// The machine's clocks, with the wall clock (system and local time) stepped by the test.
class SteppedClock final : public Kor::Engine::Clock {
public:
    std::int64_t SteadyNs() override { return real_.SteadyNs(); }
    std::int64_t SystemTicks() override { return real_.SystemTicks() + offsetTicks.load(); }
    std::int64_t LocalTicks() override { return real_.LocalTicks() + offsetTicks.load(); }
    std::atomic<std::int64_t> offsetTicks{0};

private:
    Kor::Engine::SystemClock real_;
};

// The wall clock steps back by an hour, then forward by two, while frames wait for their
// delay: frames keep arriving at their rates, none before its delay, and Stop still ends
// the run at once. A delay measured on the wall clock stalls for an hour after the step
// back and lets every frame out at once after the step forward.
TEST(TransmitterLoopback, WallClockStepsNeitherStallNorBurstTheDelayedStream) {
    constexpr std::int64_t kHourTicks = 36'000'000'000;
    constexpr auto kDelay = 40ms;
    LoopbackReceiver receiver;
    SteppedClock clock;
    Transmitter t(clock);
    t.delayMs = static_cast<std::int32_t>(kDelay.count());
    {
        std::lock_guard lock(t.modelMutex);
        t.liveState.tickCountType = 1;                  // milliseconds since the thread's start
        t.schedule[8] = {MessageType::TickCount};       // 100 Hz
        t.schedule[1] = {MessageType::BasicLens};       // 10 Hz
    }
    const auto runStart = std::chrono::steady_clock::now();
    Start(t, receiver.port());
    const struct {
        const char* name;
        std::int64_t stepTicks;
    } phases[] = {{"before any step", 0},
                  {"after a step back by an hour", -kHourTicks},
                  {"after a step forward by two hours", 2 * kHourTicks}};
    for (const auto& phase : phases) {
        SCOPED_TRACE(phase.name);
        clock.offsetTicks += phase.stepTicks;
        const auto phaseStart = std::chrono::steady_clock::now();
        int fast = 0;
        int slow = 0;
        int early = 0;
        while (std::chrono::steady_clock::now() < phaseStart + 600ms) {
            const auto d = receiver.Receive(100ms);
            if (!d || d->bytes.size() < 14) {
                continue;
            }
            if (d->bytes[8] == static_cast<std::uint8_t>(MessageType::TickCount)) {
                ++fast;
                // The frame was queued no earlier than its tick count after the run's start.
                const std::chrono::milliseconds tick{(std::uint32_t{d->bytes[10]} << 24) |
                                                     (std::uint32_t{d->bytes[11]} << 16) |
                                                     (std::uint32_t{d->bytes[12]} << 8) |
                                                     d->bytes[13]};
                if (d->arrival - runStart - tick < kDelay) {
                    ++early;
                }
            } else if (d->bytes[8] == static_cast<std::uint8_t>(MessageType::BasicLens)) {
                ++slow;
            }
        }
        // 60 and 6 frames are due; a loaded machine may lose some of them, not most.
        EXPECT_GE(fast, 25) << "the 100 Hz stream stalled";
        EXPECT_GE(slow, 3) << "the 10 Hz stream stalled";
        EXPECT_EQ(early, 0) << "frames left before their delay";
    }
    const auto stopStart = std::chrono::steady_clock::now();
    Stop(t);
    t.JoinThreads();
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 2s) << "a wait outlived the stop";
}

TEST(Transmitter, BadDestinationReportsEverySend) {
    Transmitter t;
    testing::internal::CaptureStderr();
    t.SetDestination("999.1.1.1", 33322);
    t.SendDatagram({0x00, 0xFF, 0x00});
    t.SetDestination("", 33322);
    t.SendDatagram({0x00, 0xFF, 0x00});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to send UDP message.\nFailed to send UDP message.\n");
    EXPECT_EQ(t.SendFailures(), 2U);
}

// A clock pinned at 13:45:07.999 local time, day 20000, with 2.0004 s on the steady clock.
class PinnedClock final : public Kor::Engine::Clock {
public:
    std::int64_t SteadyNs() override { return 2'000'400'000; }
    std::int64_t SystemTicks() override { return 0; }
    std::int64_t LocalTicks() override {
        return ((20'000LL * 86'400 + 13 * 3600 + 45 * 60 + 7) * 1000 + 999) * 10'000;
    }
};

// The stamps a generator puts on the live record: times from the Transmitter's own clock,
// and encoder counts spanning 0..65535 over each range (focal lengths from 3 mm, T-stops
// from 1.8), defined for empty ranges, NaN and infinities instead of dividing by zero.
TEST(Transmitter, LiveRecordStamps) {
    PinnedClock clock;
    Transmitter t(clock);
    auto& s = t.liveState;
    s.projectFps = 3;
    s.tickCountType = 1;
    t.UpdateTimecode();
    t.UpdatePtpTimestamp();
    t.UpdateTickCount(0);
    EXPECT_EQ(s.timecodeHours, 13);
    EXPECT_EQ(s.timecodeFrames, 24);
    EXPECT_EQ(s.ptpSeconds, 20'000ULL * 86'400 + 13 * 3600 + 45 * 60 + 7);
    EXPECT_EQ(s.ptpNanoseconds, 999'000'000U);
    EXPECT_EQ(s.tickCount, 2000U);

    s.minFocalLength = 3;
    s.minIris = 1.8F;
    const auto counts = [&](std::uint32_t focus, float zoom, float maxZoom, float iris,
                            float maxIris) {
        s.focus = focus;
        s.zoom = zoom;
        s.maxFocalLength = maxZoom;
        s.iris = iris;
        s.maxIris = maxIris;
        t.UpdateRawLensEncoders();
        EXPECT_TRUE(s.rawFocusEncoderValid && s.rawZoomEncoderValid && s.rawIrisEncoderValid);
        return std::array<int, 3>{s.rawFocusEncoder, s.rawZoomEncoder, s.rawIrisEncoder};
    };
    using Counts = std::array<int, 3>;
    constexpr float kInf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(counts(450, 200, 200, 1.8F, 64), (Counts{0, 65535, 0}));
    EXPECT_EQ(counts(16'777'215, 101.5F, 200, 1.8F, 64), (Counts{65535, 32767, 0}));
    EXPECT_EQ(counts(450, 50, 3, kInf, 1.8F), (Counts{0, 0, 0}));
    EXPECT_EQ(counts(450, 3, 200, std::nanf(""), 64), (Counts{0, 0, 0}));
    // Saturates at INT32_MAX, whose low 16 bits travel.
    EXPECT_EQ(counts(450, 3, 200, kInf, 64), (Counts{0, 0, 0xFFFF}));
}

// A stop cuts a period wait short (a missed stop hangs the test for an hour or forever);
// a deadline beyond the int64 range is held, not wrapped into the past.
TEST(Transmitter, WaitPeriodEndsAtAStop) {
    Transmitter t;
    for (double periodMs : {3'600'000.0, std::numeric_limits<double>::infinity()}) {
        Kor::Engine::RunFlag flag(true);
        std::thread stopper([&flag] {
            std::this_thread::sleep_for(50ms);
            flag.Clear();
        });
        EXPECT_FALSE(t.WaitPeriod(periodMs, Kor::Engine::SystemClock().SteadyNs(), flag));
        stopper.join();
    }
}

}  // namespace
