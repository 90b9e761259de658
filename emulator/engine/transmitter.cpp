// Transmitter: construction and teardown, run control, send queue, sender and generators.
#include "transmitter.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "numeric.h"
#include "timer.h"

namespace Kor::Engine {
namespace {

// Sleeping hands over to yielding this long before a deadline. Linux wakes a sleeper
// within some tens of microseconds (with the timer slack set to 1 ns), so a short spin
// keeps periods exact at a small cost in processor time. Measured with bench/pacing (nine
// slots): 50 us costs 3% of a core, 100 us 4.4%, 150 us 5.5%, 300 us 9%, for the same
// median period error at the receiver. Windows wakes a sleeper within about a millisecond
// at best, so its margin is longer (Platform::SpinMarginNs says how long).
const std::int64_t kSpinMarginNs = Platform::SpinMarginNs();

// How far apart the rate slots start (slot k after k steps): more than the spin margin and
// the time one slot takes to build and send its frame.
constexpr std::int64_t kSlotStaggerNs = 250'000;

// How often a worker waiting for the model lock checks whether its run was stopped.
constexpr std::chrono::milliseconds kLockPoll{1};

std::chrono::steady_clock::time_point SteadyTimePoint(std::int64_t ns) {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

// The delay in nanoseconds; a negative delay counts as none.
std::int64_t DelayNs(std::int32_t delayMs) {
    return delayMs > 0 ? std::int64_t{delayMs} * 1'000'000 : 0;
}

}  // namespace

Transmitter::Transmitter(Clock& clockSource, MessageSink& messageSink)
    : messages(messageSink),
      udpSocket(messageSink),
      clock(clockSource),
      spinMarginNs(kSpinMarginNs) {
    messages.Progress("Binding to source port  0 ...");
    udpSocket.BindAnyPort();
    runFlag = std::make_shared<RunFlag>(false);
}

Transmitter::~Transmitter() {
    Stop();
    JoinThreads();
    ClearQueue();
}

bool Transmitter::IsRunning() const noexcept {
    return runFlag->IsSet();
}

void Transmitter::Start() {
    if (IsRunning()) {
        return;
    }
    JoinThreads();
    // With the old run's threads joined, what they queued after its stop is dropped.
    ClearQueue();
    auto flag = std::make_shared<RunFlag>(true);
    runFlag = flag;
    for (int slot = 0; slot < kGeneratorSlots; ++slot) {
        generatorThreads[static_cast<std::size_t>(slot)] =
            std::thread(&Transmitter::GeneratorLoop, this, slot, flag);
    }
    senderThread = std::thread(&Transmitter::SenderLoop, this, flag);
}

void Transmitter::Stop() {
    if (!IsRunning()) {
        return;
    }
    lensFilePlaying = false;
    EndRun();
    ClearQueue();
}

void Transmitter::EndRun() {
    runFlag->Clear();
    {
        // Taking the queue lock orders the cleared flag before the sender's next check, and
        // from here on no producer sends in the stopped sender's place.
        std::lock_guard lock(queueMutex);
        senderIdle = false;
    }
    queueCondition.notify_all();
    for (std::thread& thread : generatorThreads) {
        if (thread.joinable()) {
            retiredThreads.push_back(std::move(thread));
        }
    }
    if (senderThread.joinable()) {
        retiredThreads.push_back(std::move(senderThread));
    }
}

void Transmitter::JoinThreads() {
    for (std::thread& thread : generatorThreads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    { std::lock_guard lock(queueMutex); }
    queueCondition.notify_all();
    if (senderThread.joinable()) {
        senderThread.join();
    }
    for (std::thread& thread : retiredThreads) {
        thread.join();
    }
    retiredThreads.clear();
}

std::uint64_t Transmitter::EnqueueFrame(const std::vector<std::uint8_t>& frame) {
    std::uint64_t sequence = 0;
    {
        std::lock_guard lock(queueMutex);
        sequence = ++enqueuedCount;
        // The sender would send this frame at once: nothing is queued before it, no delay
        // holds it and no filter sees it. Waking the sender costs tens of microseconds of
        // every period, so the producer sends it in the sender's place, holding the queue
        // lock so that the sender cannot take a later frame meanwhile.
        if (senderIdle && frameQueue.empty() && delayMs.load() <= 0) {
            ++removedCount;
            SendDatagram(frame);
            sentSequence.store(sequence);
            return sequence;
        }
        frameQueue.push_back(frame);
        enqueueTimes.push_back(clock.SteadyNs());
    }
    queueCondition.notify_one();
    return sequence;
}

void Transmitter::ClearQueue() {
    std::lock_guard lock(queueMutex);
    removedCount += frameQueue.size();
    frameQueue.clear();
    enqueueTimes.clear();
}

void Transmitter::SetDestination(std::string address, std::uint16_t port) {
    std::lock_guard lock(destinationMutex);
    destination.address = std::move(address);
    destination.port = port;
}

Destination Transmitter::GetDestination() const {
    std::lock_guard lock(destinationMutex);
    return destination;
}

void Transmitter::SendDatagram(const std::vector<std::uint8_t>& frame) {
    const Destination to = GetDestination();
    if (udpSocket.SendTo(to.address, to.port, frame.data(), frame.size())) {
        datagramsSent.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    sendFailures.fetch_add(1, std::memory_order_relaxed);
    messages.Failure("Failed to send UDP message.");
}

void Transmitter::SetDatagramFilter(std::unique_ptr<DatagramFilter> filter) {
    datagramFilter = std::move(filter);
}

bool Transmitter::WaitUntilSteady(std::int64_t deadlineNs, RunFlag& flag) {
    if (deadlineNs - clock.SteadyNs() > spinMarginNs &&
        !flag.WaitUntil(SteadyTimePoint(deadlineNs - spinMarginNs))) {
        return false;
    }
    while (clock.SteadyNs() < deadlineNs) {
        if (!flag.IsSet()) {
            return false;
        }
        std::this_thread::yield();
    }
    return flag.IsSet();
}

void Transmitter::SenderLoop(std::shared_ptr<RunFlag> flag) {
    TightenTimerSlack();
    while (flag->IsSet()) {
        std::vector<std::uint8_t> frame;
        std::int64_t queuedAt = 0;
        std::uint64_t sequence = 0;
        {
            std::unique_lock lock(queueMutex);
            // While this thread waits for an empty queue to fill, producers send frames
            // that need no delay and no filter themselves (see EnqueueFrame).
            senderIdle = producerSends && datagramFilter == nullptr;
            queueCondition.wait(lock, [&] { return !flag->IsSet() || !frameQueue.empty(); });
            senderIdle = false;
            if (!flag->IsSet()) {
                return;  // frames still queued belong to a stopped run: not sent
            }
            frame = std::move(frameQueue.front());
            frameQueue.pop_front();
            queuedAt = enqueueTimes.front();
            enqueueTimes.pop_front();
            sequence = ++removedCount;
        }
        const std::int32_t delay = delayMs.load();
        // When the datagram is due, on the steady clock: a step of the wall clock neither
        // holds it back nor lets it out early. Without a delay the run is checked again: a
        // Stop (and a delay set to 0 after it) may have come since the frame was taken, and
        // a frame of a run stopped before this check is not sent.
        const std::int64_t due = SaturatingAdd(queuedAt, DelayNs(delay));
        if (delay > 0 ? !WaitUntilSteady(due, *flag) : !flag->IsSet()) {
            return;
        }
        if (datagramFilter) {
            struct Sink final : DatagramSink {
                Transmitter& owner;
                RunFlag& run;
                std::int64_t dueNs;
                Sink(Transmitter& t, RunFlag& f, std::int64_t d) : owner(t), run(f), dueNs(d) {}
                void Send(const std::vector<std::uint8_t>& datagram) override {
                    owner.SendDatagram(datagram);
                }
                bool WaitExtra(std::chrono::nanoseconds extra) override {
                    return owner.WaitUntilSteady(SaturatingAdd(dueNs, extra.count()), run);
                }
            } sink(*this, *flag, due);
            if (!datagramFilter->Pass(std::move(frame), sink)) {
                return;
            }
        } else {
            SendDatagram(frame);
        }
        sentSequence.store(sequence);
    }
}

bool Transmitter::WaitPeriod(double periodMs, std::int64_t startNs, RunFlag& flag) {
    return WaitUntilSteady(SaturatingAdd(startNs, SaturateToInt64(periodMs * 1e6)), flag);
}

void Transmitter::GeneratorLoop(int slot, std::shared_ptr<RunFlag> flag) {
    TightenTimerSlack();
    const double periodMs =
        1000.0 / static_cast<double>(kRateByChoice[static_cast<std::size_t>(slot)]);
    const std::int64_t periodNs = SaturateToInt64(periodMs * 1e6);
    auto& counters = slotCounters[static_cast<std::size_t>(slot)];
    const auto& list = schedule[static_cast<std::size_t>(slot)];

    // The slots start a fixed step apart, so the deadlines of different rates (every one of
    // them falls on each whole second) never coincide: slots due together would queue for
    // the model lock and the processor in an order that changes from frame to frame, and
    // that order would show as period error at the receiver.
    if (!WaitUntilSteady(SaturatingAdd(clock.SteadyNs(), std::int64_t{slot} * kSlotStaggerNs),
                         *flag)) {
        return;
    }
    const std::int64_t threadStart = clock.SteadyNs();

    // Frames are paced from absolute deadlines (start + k periods), so the time spent
    // building a frame and waking up never accumulates into the average rate.
    std::int64_t frameStart = threadStart;
    while (flag->IsSet()) {
        {
            const auto lock = LockModel(*flag);
            if (!lock.owns_lock()) {
                break;
            }
            if (!list.empty()) {
                if (!lensFilePlaying) {
                    UpdateTimecode();
                    UpdateTickCount(threadStart);
                    UpdatePtpTimestamp();
                }
                UpdateRawLensEncoders();
                const std::vector<std::uint8_t> frame = liveState.Encode(transmissionType, list);
                EnqueueFrame(frame);
                counters.frames.fetch_add(1, std::memory_order_relaxed);
                counters.bytes.fetch_add(frame.size(), std::memory_order_relaxed);
            }
        }
        if (!WaitNextFrame(frameStart, periodNs, periodMs, *flag)) {
            break;
        }
    }
}

bool Transmitter::WaitNextFrame(std::int64_t& frameStart, std::int64_t periodNs, double periodMs,
                                RunFlag& flag) {
    if (!WaitPeriod(periodMs, frameStart, flag)) {
        return false;
    }
    frameStart = SaturatingAdd(frameStart, periodNs);
    // After a stall of more than a period, start afresh instead of sending a burst.
    const std::int64_t now = clock.SteadyNs();
    if (now - frameStart > periodNs) {
        frameStart = now;
    }
    return true;
}

std::unique_lock<StoppableMutex> Transmitter::LockModel(const RunFlag& flag) {
    std::unique_lock lock(modelMutex, std::defer_lock);
    if (modelMutex.LockUnlessStopped(flag, kLockPoll)) {
        lock = std::unique_lock(modelMutex, std::adopt_lock);
    }
    return lock;
}

void Transmitter::UpdateTimecode() {
    const Timecode tc = TimecodeAt(clock.LocalTicks(), liveState.projectFps);
    liveState.timecodeHours = tc.hours;
    liveState.timecodeMinutes = tc.minutes;
    liveState.timecodeSeconds = tc.seconds;
    liveState.timecodeFrames = tc.frames;
}

void Transmitter::UpdateTickCount(std::int64_t startNs) {
    TickCountAfter(clock.SteadyNs() - startNs, liveState.tickCountType, liveState.tickCount);
}

void Transmitter::UpdatePtpTimestamp() {
    const PtpTime ptp = PtpAt(clock.LocalTicks());
    liveState.ptpSeconds = ptp.seconds;
    liveState.ptpNanoseconds = ptp.nanoseconds;
}

void CopyLensHeaderFields(const TelemetryData& from, TelemetryData& to, bool withFocus) {
    to.clipName = from.clipName;
    to.productBrand = from.productBrand;
    to.productName = from.productName;
    to.lensManufacturer = from.lensManufacturer;
    to.lensSerial = from.lensSerial;
    to.projectFps = from.projectFps;
    to.sensorWidth = from.sensorWidth;
    to.clipWidth = from.clipWidth;
    to.clipHeight = from.clipHeight;
    if (from.minFocalLength != 0.0F) {
        to.minFocalLength = from.minFocalLength;
    }
    if (from.maxFocalLength != 0.0F) {
        to.maxFocalLength = from.maxFocalLength;
    }
    if (withFocus) {
        to.focus = from.focus;
    }
}

void Transmitter::RestoreAfterLensPlayback() {
    // Focal lengths come back where the saved ones are set (the header replaced only
    // those); focus where the header replaced it.
    CopyLensHeaderFields(savedLiveState, liveState, lensHeaderState.focus != 0);
}

void Transmitter::UpdateRawLensEncoders() {
    TelemetryData& s = liveState;
    s.rawFocusEncoder = RawEncoderCount(static_cast<float>(s.focus - 450U), 16776765.0F);
    s.rawZoomEncoder =
        RawEncoderCount(s.zoom - s.minFocalLength, s.maxFocalLength - s.minFocalLength);
    s.rawIrisEncoder = RawEncoderCount(s.iris - s.minIris, s.maxIris - s.minIris);
    s.rawFocusEncoderValid = s.rawZoomEncoderValid = s.rawIrisEncoderValid = true;
}

}  // namespace Kor::Engine
