// The Transmitter: its threads, send queue, datagram filter and clock stamps, on loopback.
#include <array>
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

// Frames queued when a run stops are never sent, not by the next run either (the hour's
// delay of the first run must end at its stop); repeated Start and Stop calls do nothing;
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
    Start(t, receiver.port());
    t.EnqueueFrame({3});
    const auto d = receiver.Receive(10s);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes, Bytes{3}) << "a frame of a stopped run was sent";
    EXPECT_EQ(d->sourcePort, t.SourcePort());
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
