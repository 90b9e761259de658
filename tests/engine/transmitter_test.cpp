// The Transmitter end to end on loopback: what arrives, when, from where, and in which order.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include <gtest/gtest.h>
#include <kor/kor.h>

#include "emulator_model.h"
#include "loopback.h"
#include "transmitter.h"

namespace {

using namespace std::chrono_literals;
using Kor::Emulator::EmulatorModel;
using Kor::Engine::Transmitter;
using Kor::Protocol::Device;
using Kor::Protocol::FrameStatus;
using Kor::Protocol::MessageType;
using MT = MessageType;
using kor_test::LoopbackReceiver;
using kor_test::RecordTypes;

// A clock whose local time is pinned; the steady and system clocks run normally.
class PinnedClock final : public Kor::Engine::Clock {
public:
    std::int64_t SteadyNs() override { return real.SteadyNs(); }
    std::int64_t SystemTicks() override { return real.SystemTicks(); }
    std::int64_t LocalTicks() override { return local; }
    std::int64_t local = 0;
    Kor::Engine::SystemClock real;
};

bool Applied(FrameStatus status) {
    return status == FrameStatus::NewTimecode || status == FrameStatus::SameTimecode;
}

void Start(EmulatorModel& model, std::uint16_t port) {
    std::lock_guard lock(model.transmitter.modelMutex);
    model.transmitter.SetDestination("127.0.0.1", port);
    model.rebuildSchedule();
    model.transmitter.Start();
}

void Stop(EmulatorModel& model) {
    std::lock_guard lock(model.transmitter.modelMutex);
    model.transmitter.Stop();
}

// The default schedule: one stream at 1 Hz with the identity strings and one at 24 Hz with
// the lens and position data, both carrying the "Every packet" clock and id records.
TEST(TransmitterLoopback, DefaultScheduleSendsTwoStreams) {
    LoopbackReceiver receiver;
    EmulatorModel model;
    Start(model, receiver.port());
    const auto datagrams = receiver.ReceiveFor(2500ms);
    Stop(model);

    const std::vector<MT> everyPacket{MT::SubjectId, MT::ChannelId, MT::Timecode, MT::PtpTimestamp,
                                      MT::TickCount};
    int slow = 0;
    int fps = 0;
    Device device;
    for (const auto& d : datagrams) {
        ASSERT_TRUE(Applied(device.Update(d.bytes)));
        const auto types = RecordTypes(d.bytes);
        ASSERT_GE(types.size(), everyPacket.size());
        EXPECT_TRUE(std::equal(everyPacket.begin(), everyPacket.end(),
                               types.end() - static_cast<long>(everyPacket.size())));
        if (types.front() == MT::ClipName) {
            ++slow;
        } else {
            ASSERT_EQ(types.front(), MT::ProjectFps);
            ++fps;
        }
    }
    // 2.5 s: 3 frames at 1 Hz (at 0, 1 and 2 s) and about 60 at 24 Hz; loose bounds only.
    EXPECT_GE(slow, 2);
    EXPECT_LE(slow, 4);
    EXPECT_GE(fps, 40);
    EXPECT_LE(fps, 66);
    // Both streams decode to the model's values.
    EXPECT_EQ(device.GetCurrentState()->productName, "Emulator");
    EXPECT_EQ(device.GetCurrentState()->focus, 450U);
}

TEST(TransmitterLoopback, EmptyScheduleSendsNothing) {
    LoopbackReceiver receiver;
    EmulatorModel model;
    {
        std::lock_guard lock(model.transmitter.modelMutex);
        std::fill(model.messageEnabled.begin(), model.messageEnabled.end(), 0);
    }
    Start(model, receiver.port());
    EXPECT_TRUE(model.transmitter.IsRunning());
    EXPECT_TRUE(receiver.ReceiveFor(400ms).empty());
    Stop(model);
}

// With a delay, every datagram leaves no earlier than its queue time plus the delay, and
// in queue order: PTP stamps (taken before queueing) only grow.
TEST(TransmitterLoopback, DelayHoldsBackAndKeepsOrder) {
    LoopbackReceiver receiver;
    EmulatorModel model;
    {
        std::lock_guard lock(model.transmitter.modelMutex);
        std::fill(model.messageEnabled.begin(), model.messageEnabled.end(), 0);
        model.messageEnabled[static_cast<std::size_t>(MT::ProjectFps)] = 1;
        model.messageEnabled[static_cast<std::size_t>(MT::PtpTimestamp)] = 1;
        model.messageRate[static_cast<std::size_t>(MT::ProjectFps)] = 8;  // 100 Hz
        model.transmitter.delayMs = 100;
    }
    Start(model, receiver.port());
    Kor::Engine::SystemClock clock;
    std::int64_t previous = std::numeric_limits<std::int64_t>::min();
    int received = 0;
    const auto end = std::chrono::steady_clock::now() + 700ms;
    while (std::chrono::steady_clock::now() < end) {
        if (auto d = receiver.Receive(50ms)) {
            const std::int64_t arrivedLocal = clock.LocalTicks();
            Device device;
            ASSERT_TRUE(Applied(device.Update(d->bytes)));
            const auto* s = device.GetCurrentState();
            const auto stampNs =
                static_cast<std::int64_t>(s->ptpSeconds * 1'000'000'000 + s->ptpNanoseconds);
            EXPECT_GE(arrivedLocal - stampNs / 100, 100 * 10'000)
                << "datagram " << received << " left early";
            EXPECT_GT(stampNs, previous) << "datagrams out of order";
            previous = stampNs;
            ++received;
        }
    }
    Stop(model);
    EXPECT_GE(received, 20);
}

// Frames still queued when a run stops are discarded, and a second run sends from the
// socket's one source port.
TEST(TransmitterLoopback, StopDiscardsQueueAndRunsShareSourcePort) {
    LoopbackReceiver receiver;
    EmulatorModel model;
    {
        std::lock_guard lock(model.transmitter.modelMutex);
        model.transmitter.delayMs = 1000;
    }
    Start(model, receiver.port());
    std::this_thread::sleep_for(300ms);
    Stop(model);
    EXPECT_TRUE(receiver.ReceiveFor(1300ms).empty()) << "a queued frame was sent after Stop";

    {
        std::lock_guard lock(model.transmitter.modelMutex);
        model.transmitter.delayMs = 0;
    }
    Start(model, receiver.port());
    const auto first = receiver.Receive(2s);
    Stop(model);
    Start(model, receiver.port());
    receiver.ReceiveFor(50ms);  // whatever the first run still had in flight
    const auto second = receiver.Receive(2s);
    Stop(model);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->sourcePort, model.transmitter.SourcePort());
    EXPECT_EQ(second->sourcePort, first->sourcePort);
}

// Start and Stop return at once in any order; a stopped run's threads are joined by the
// next Start and at the end without waiting for a 1 Hz period.
TEST(TransmitterLoopback, QuickStartStopCycles) {
    LoopbackReceiver receiver;
    EmulatorModel model;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        Start(model, receiver.port());
        Start(model, receiver.port());  // no effect while running
        EXPECT_TRUE(model.transmitter.IsRunning());
        Stop(model);
        Stop(model);  // no effect while stopped
        EXPECT_FALSE(model.transmitter.IsRunning());
    }
    Start(model, receiver.port());
    EXPECT_TRUE(receiver.Receive(2s).has_value());
    // Twenty runs with a 1 s slot each: waiting out periods would take 20 s.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 15s);
}

TEST(Transmitter, BadDestinationReportsEverySendAndRunsOn) {
    Transmitter transmitter;
    transmitter.SetDestination("999.1.1.1", 33322);
    testing::internal::CaptureStderr();
    transmitter.SendDatagram({0x00, 0xFF, 0x00});
    transmitter.SetDestination("", 33322);
    transmitter.SendDatagram({0x00, 0xFF, 0x00});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Failed to send UDP message.\nFailed to send UDP message.\n");
    EXPECT_EQ(transmitter.SendFailures(), 2U);
}

TEST(Transmitter, RawLensEncoderCounts) {
    Transmitter t;
    auto& s = t.liveState;
    s.minFocalLength = 3.0F;
    s.maxFocalLength = 200.0F;
    s.minIris = 1.8F;
    s.maxIris = 64.0F;

    s.focus = 450;
    s.zoom = 200.0F;
    s.iris = 1.8F;
    t.UpdateRawLensEncoders();
    EXPECT_EQ(s.rawFocusEncoder, 0);
    EXPECT_EQ(s.rawZoomEncoder, 65535);
    EXPECT_EQ(s.rawIrisEncoder, 0);
    EXPECT_TRUE(s.rawFocusEncoderValid && s.rawZoomEncoderValid && s.rawIrisEncoderValid);

    s.focus = 16'777'215;
    s.zoom = 101.5F;  // half way
    t.UpdateRawLensEncoders();
    EXPECT_EQ(s.rawFocusEncoder, 65535);
    EXPECT_EQ(s.rawZoomEncoder, 32767);

    // Empty ranges give 0 instead of a division by zero; NaN and infinities are defined.
    s.maxFocalLength = s.minFocalLength;
    s.maxIris = s.minIris;
    s.iris = std::numeric_limits<float>::infinity();
    t.UpdateRawLensEncoders();
    EXPECT_EQ(s.rawZoomEncoder, 0);
    EXPECT_EQ(s.rawIrisEncoder, 0);
    s.maxIris = 64.0F;
    s.iris = std::nanf("");
    t.UpdateRawLensEncoders();
    EXPECT_EQ(s.rawIrisEncoder, 0);
    s.iris = std::numeric_limits<float>::infinity();
    t.UpdateRawLensEncoders();
    EXPECT_EQ(s.rawIrisEncoder, 0xFFFF) << "saturates at INT32_MAX, whose low 16 bits travel";
}

TEST(Transmitter, ClockStampsUsePinnedLocalTime) {
    PinnedClock clock;
    Transmitter t(clock);
    clock.local = ((20'000LL * 86'400 + 13 * 3600 + 45 * 60 + 7) * 1000 + 999) * 10'000;
    t.liveState.projectFps = 3;
    t.UpdateTimecode();
    t.UpdatePtpTimestamp();
    const auto& l = t.liveState;
    EXPECT_EQ((std::array<int, 4>{l.timecodeHours, l.timecodeMinutes, l.timecodeSeconds,
                                  l.timecodeFrames}),
              (std::array<int, 4>{13, 45, 7, 24}));
    EXPECT_EQ(l.ptpSeconds, 20'000ULL * 86'400 + 13 * 3600 + 45 * 60 + 7);
    EXPECT_EQ(l.ptpNanoseconds, 999'000'000U);

    t.liveState.tickCountType = 1;
    t.UpdateTickCount(clock.SteadyNs() - 2'000'000'000);
    EXPECT_GE(t.liveState.tickCount, 2000U);
    EXPECT_LT(t.liveState.tickCount, 2000U + 60'000U);
}

TEST(Transmitter, WaitPeriodReturnsAtOnceWhenStopped) {
    Transmitter t;
    Kor::Engine::RunFlag flag(true);
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        flag.Clear();
    });
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(t.WaitPeriod(60'000.0, Kor::Engine::SystemClock().SteadyNs(), flag));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 30s);
    stopper.join();
    // A deadline that lies beyond the int64 range is held, not wrapped into the past.
    Kor::Engine::RunFlag cleared(false);
    EXPECT_FALSE(t.WaitPeriod(std::numeric_limits<double>::infinity(), 0, cleared));
}

}  // namespace
