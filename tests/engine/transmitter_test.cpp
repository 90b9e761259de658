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

#include <kor/device.h>

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
// delay: frames keep arriving at their rates, none before its delay, their PTP stamps follow
// the stepped clock, and Stop still ends the run at once. A delay measured on the wall clock
// stalls for an hour after the step back and lets every frame out at once after the step
// forward.
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
        t.schedule[4] = {MessageType::PtpTimestamp};    // 25 Hz
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
        int offClock = 0;
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
            } else if (d->bytes[8] == static_cast<std::uint8_t>(MessageType::PtpTimestamp) &&
                       d->bytes.size() == 20 &&
                       std::chrono::steady_clock::now() - phaseStart > 200ms) {
                // Frames built before the step carry the time before it; later ones within
                // a delay and some scheduling noise of the stepped local time.
                std::int64_t seconds = 0;
                for (int i = 10; i < 16; ++i) {
                    seconds = seconds << 8 | d->bytes[static_cast<std::size_t>(i)];
                }
                const std::int64_t localSeconds = clock.LocalTicks() / 10'000'000;
                if (std::abs(seconds - localSeconds) > 2) {
                    ++offClock;
                }
            }
        }
        // 60 and 6 frames are due; a loaded machine may lose some of them, not most.
        EXPECT_GE(fast, 25) << "the 100 Hz stream stalled";
        EXPECT_GE(slow, 3) << "the 10 Hz stream stalled";
        EXPECT_EQ(early, 0) << "frames left before their delay";
        EXPECT_EQ(offClock, 0) << "PTP stamps did not follow the wall clock";
    }
    const auto stopStart = std::chrono::steady_clock::now();
    Stop(t);
    t.JoinThreads();
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 2s) << "a wait outlived the stop";
}

// A filter slow enough that a Stop lands while it holds a datagram; it then sends it.
class StallingFilter final : public Kor::Engine::DatagramFilter {
public:
    bool Pass(Bytes datagram, Kor::Engine::DatagramSink& sink) override {
        holding = true;
        std::this_thread::sleep_for(150ms);
        sink.Send(datagram);
        return true;
    }
    std::atomic<bool> holding{false};
};

// Once Stop has returned, nothing of the stopped run leaves: neither a datagram a filter
// still held at the Stop, nor one of a run of nine busy slots stopped while sending.
TEST(TransmitterLoopback, NoDatagramLeavesAfterStopReturns) {
    {
        LoopbackReceiver receiver;
        Transmitter t;
        auto filter = std::make_unique<StallingFilter>();
        auto& stalling = *filter;
        t.SetDatagramFilter(std::move(filter));
        Start(t, receiver.port());
        t.EnqueueFrame({1});
        while (!stalling.holding) {
            std::this_thread::sleep_for(1ms);
        }
        Stop(t);
        EXPECT_FALSE(receiver.Receive(400ms)) << "the held datagram left after the Stop";
    }
    LoopbackReceiver receiver;
    Transmitter t;
    {
        std::lock_guard lock(t.modelMutex);
        for (auto& list : t.schedule) {
            list = {MessageType::TickCount};
        }
    }
    for (int run = 0; run < 10; ++run) {
        Start(t, receiver.port());
        std::this_thread::sleep_for(30ms);
        Stop(t);
        // Loopback delivers a datagram within its send: what a send before the Stop
        // delivered is here now, anything later came from a send after it.
        while (receiver.Receive(0ms)) {
        }
        EXPECT_FALSE(receiver.Receive(60ms)) << "run " << run;
    }
}

// The lock of the model: a worker whose run stops while it waits for the lock leaves
// without it, and a thread waiting in plain lock(), as the window does every frame, must
// still get the lock once it is free. Each round holds the lock while three workers and the
// window wait for it (the workers first, as when the generators of a run are due while the
// window draws; their polls at 1 ms and 20 ms), then ends the run and frees the lock; a lost
// wake-up leaves the window asleep on a free lock.
TEST(StoppableMutex, AStoppedWorkerNeverStrandsAThreadInLock) {
    using Kor::Engine::RunFlag;
    using Kor::Engine::StoppableMutex;
    int stranded = 0;
    for (int round = 0; round < 100 && stranded == 0; ++round) {
        StoppableMutex mutex;
        RunFlag run(true);
        std::atomic<bool> windowDone{false};
        mutex.lock();
        std::vector<std::thread> workers;
        const auto poll = round % 2 == 0 ? 20ms : 1ms;
        for (int i = 0; i < 3; ++i) {
            workers.emplace_back([&] {
                if (mutex.LockUnlessStopped(run, poll)) {
                    mutex.unlock();
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 4)));
        std::thread window([&] {
            mutex.lock();
            mutex.unlock();
            windowDone = true;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(500 + 500 * (round % 3)));
        run.Clear();
        mutex.unlock();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!windowDone && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        if (!windowDone) {
            ++stranded;
            // Wake the stranded thread so that the test can end (the mutex is free).
            while (!windowDone) {
                mutex.unlock();
                std::this_thread::sleep_for(1ms);
            }
        }
        window.join();
        for (auto& worker : workers) {
            worker.join();
        }
    }
    EXPECT_EQ(stranded, 0) << "a thread in lock() slept on a free lock";
}

std::int64_t PtpNs(const Kor::Protocol::TelemetryData& s) {
    return static_cast<std::int64_t>(s.ptpSeconds) * 1'000'000'000 + s.ptpNanoseconds;
}

// A run of three slots, as a receiver decodes it: the project-rate frames carry one label
// after another, their PTP stamps lie whole periods apart (exactly), every frame's tick
// count is its PTP time less one epoch, and the 1 Hz frames' labels are those of the
// project-rate frames around them.
TEST(TransmitterLoopback, FramesCarryTheClockFieldsOfTheirInstants) {
    LoopbackReceiver receiver;
    Transmitter t;
    {
        std::lock_guard lock(t.modelMutex);
        t.liveState.projectFps = 5;      // 30 fps
        t.liveState.tickCountType = 2;   // microseconds
        t.schedule[6] = {MessageType::Timecode, MessageType::PtpTimestamp, MessageType::TickCount};
        t.schedule[0] = {MessageType::Timecode, MessageType::PtpTimestamp, MessageType::TickCount,
                         MessageType::ChannelId};
        t.schedule[8] = {MessageType::PtpTimestamp, MessageType::TickCount};
    }
    Start(t, receiver.port());
    struct Frame {
        int slot;
        Kor::Protocol::TelemetryData state;
    };
    std::vector<Frame> frames;
    Kor::Protocol::Device device;
    const auto end = std::chrono::steady_clock::now() + 2200ms;
    while (std::chrono::steady_clock::now() < end) {
        const auto d = receiver.Receive(200ms);
        if (!d) {
            continue;
        }
        ASSERT_LE(device.Update(d->bytes), Kor::Protocol::FrameStatus::SameTimecode);
        const auto types = kor_test::RecordTypes(d->bytes);
        const int slot = types.size() == 4 ? 0 : types.size() == 3 ? 6 : 8;
        frames.push_back({slot, *device.GetCurrentState()});
    }
    Stop(t);

    constexpr std::int64_t kPeriodThirds = 100'000'000;  // 1/30 s in thirds of a nanosecond
    int projectFrames = 0;
    int oneHzFrames = 0;
    const Frame* previous = nullptr;
    const std::int64_t epochNs = PtpNs(frames.front().state) -
                                 static_cast<std::int64_t>(frames.front().state.tickCount) * 1000;
    for (const Frame& f : frames) {
        // One epoch: tick counts (whole microseconds) and PTP times (whole nanoseconds)
        // of the same instants.
        const std::int64_t epoch = PtpNs(f.state) - static_cast<std::int64_t>(f.state.tickCount) * 1000;
        EXPECT_LE(std::abs(epoch - epochNs), 1000) << "tick count of another epoch";
        if (f.slot != 6) {
            continue;
        }
        ++projectFrames;
        if (previous != nullptr) {
            const std::int64_t spacing = PtpNs(f.state) - PtpNs(previous->state);
            const std::int64_t periods = (spacing * 3 + kPeriodThirds / 2) / kPeriodThirds;
            ASSERT_GE(periods, 1);
            EXPECT_LE(std::abs(spacing * 3 - periods * kPeriodThirds), 3) << "not whole periods";
            // Frames the machine was too busy to build are skipped, labels with them.
            const int labels = (f.state.timecodeSeconds - previous->state.timecodeSeconds + 60) % 60 * 30 +
                               f.state.timecodeFrames - previous->state.timecodeFrames;
            EXPECT_EQ(labels, periods) << "a repeated or skipped label";
        }
        previous = &f;
    }
    for (std::size_t i = 1; i + 1 < frames.size(); ++i) {
        if (frames[i].slot != 0) {
            continue;
        }
        ++oneHzFrames;
        // The nearest project-rate frames on either side, in PTP order.
        const Frame* before = nullptr;
        const Frame* after = nullptr;
        for (const Frame& f : frames) {
            if (f.slot == 6 && PtpNs(f.state) <= PtpNs(frames[i].state)) {
                before = &f;
            }
            if (f.slot == 6 && after == nullptr && PtpNs(f.state) > PtpNs(frames[i].state)) {
                after = &f;
            }
        }
        if (before == nullptr || after == nullptr) {
            continue;
        }
        const auto label = [](const Kor::Protocol::TelemetryData& s) {
            return std::array<int, 4>{s.timecodeHours, s.timecodeMinutes, s.timecodeSeconds,
                                      s.timecodeFrames};
        };
        EXPECT_TRUE(label(frames[i].state) == label(before->state) ||
                    label(frames[i].state) == label(after->state));
    }
    EXPECT_GE(projectFrames, 30);
    EXPECT_GE(oneHzFrames, 1);
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

// Every datagram goes to each destination of the list, a bad one failing alone;
// SetDestination makes the list that one destination again.
TEST(Transmitter, EveryDatagramGoesToEachDestination) {
    LoopbackReceiver a;
    LoopbackReceiver b;
    Transmitter t(Kor::Engine::DefaultClock(), Kor::Engine::NoMessages());
    t.SetDestinations({{"127.0.0.1", a.port()}, {"999.1.1.1", 1}, {"127.0.0.1", b.port()}});
    EXPECT_EQ(t.GetDestination().port, a.port());
    ASSERT_EQ(t.GetDestinations().size(), 3U);
    t.SendDatagram({0x00, 0xFF, 0x01});
    for (LoopbackReceiver* receiver : {&a, &b}) {
        const auto got = receiver->Receive(5s);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, (Bytes{0x00, 0xFF, 0x01}));
        EXPECT_EQ(got->sourcePort, t.SourcePort());
    }
    EXPECT_EQ(t.DatagramsSent(), 2U);
    EXPECT_EQ(t.SendFailures(), 1U);

    t.SetDestination("127.0.0.1", b.port());
    ASSERT_EQ(t.GetDestinations().size(), 1U);
    t.SendDatagram({0x00, 0xFF, 0x02});
    EXPECT_TRUE(b.Receive(5s));
    EXPECT_FALSE(a.Receive(100ms));
    EXPECT_EQ(t.DatagramsSent(), 3U);
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
    // A run that started 2.0004 s before the clock's instant.
    const std::int64_t instant = clock.SteadyNs() * Kor::Engine::kThirdsPerNs;
    t.timeBase.Start(0, clock.LocalTicks() * 100 - clock.SteadyNs());
    t.UpdateTimecode(instant);
    t.UpdatePtpTimestamp(instant);
    t.UpdateTickCount(instant);
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

// A clock whose wall time runs 20 parts per million fast against its steady time, as a clock
// being disciplined may, and whose steady time the test sets.
class DriftingClock final : public Kor::Engine::Clock {
public:
    std::int64_t SteadyNs() override { return steadyNs; }
    std::int64_t SystemTicks() override { return startTicks + steadyNs / 100 + steadyNs / 5'000'000; }
    std::int64_t LocalTicks() override { return SystemTicks() + 3600LL * 10'000'000; }
    std::int64_t steadyNs = 0;
    std::int64_t startTicks = 0;
};

// The time base follows a drifting wall clock in steps of about a millisecond: PTP stamps keep
// to the wall clock, while 23.98 keeps counting frames from its jam and 29.97 keeps counting
// across midnight: ten minutes of frames, each label one after the last.
TEST(Transmitter, AFollowedClockDriftNeitherSkipsNorRepeatsLabels) {
    struct RateCase {
        std::uint8_t projectFps;
        int perSecond;
        std::int64_t periodThirds;
        std::int64_t startTicks;  // UTC, an hour before local time
    };
    // 29.97 starts at 23:59:00.037 local time, half a frame from the labels' boundaries
    // (10 minutes at 20 ppm move them by 12 ms), and runs across midnight.
    for (const RateCase& c : {RateCase{1, 24, 125'125'000, 17'000'000'000'000'000},
                              RateCase{4, 30, 100'100'000, 17'280'827'390'370'966}}) {
        SCOPED_TRACE(testing::Message() << "code " << int{c.projectFps});
        DriftingClock clock;
        clock.startTicks = c.startTicks;
        Transmitter t(clock);
        t.liveState.projectFps = c.projectFps;
        clock.steadyNs = 1'000'000'000;
        t.timeBase.Start(clock.steadyNs, clock.LocalTicks() * 100);
        const std::int64_t origin = t.timeBase.EpochThirds();
        std::array<int, 4> previous{};
        int breaks = 0;
        std::int64_t worstPtpError = 0;
        for (std::int64_t k = 0; k < 14'400; ++k) {
            const std::int64_t instant = origin + k * c.periodThirds;
            clock.steadyNs = instant / 3;
            t.FollowWallClock(instant);
            t.UpdateTimecode(instant);
            t.UpdatePtpTimestamp(instant);
            const auto& s = t.liveState;
            const std::array<int, 4> label{s.timecodeHours, s.timecodeMinutes, s.timecodeSeconds,
                                           s.timecodeFrames};
            if (k > 0) {
                std::array<int, 4> next = previous;
                if (++next[3] == c.perSecond) {
                    next[3] = 0;
                    if (++next[2] == 60) {
                        next[2] = 0;
                        if (++next[1] == 60) {
                            next[1] = 0;
                            next[0] = (next[0] + 1) % 24;
                        }
                        if (c.projectFps == 4 && next[1] % 10 != 0) {
                            next[3] = 2;
                        }
                    }
                }
                breaks += label == next ? 0 : 1;
            }
            previous = label;
            const std::int64_t ptp = static_cast<std::int64_t>(s.ptpSeconds) * 1'000'000'000 +
                                     s.ptpNanoseconds;
            worstPtpError = std::max(worstPtpError, std::abs(ptp - clock.LocalTicks() * 100));
        }
        EXPECT_EQ(breaks, 0) << "labels repeated or skipped";
        if (c.projectFps == 4) {
            EXPECT_EQ(previous[0], 0) << "the run did not cross midnight";
        }
        EXPECT_LE(worstPtpError, 1'000'200) << "PTP stamps left the wall clock";
    }
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
