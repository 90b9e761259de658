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

// Pacing threads sleep to a margin before each deadline and yield the rest of the way; the
// margin starts at what suits the system (Linux wakes a sleeper within some tens of
// microseconds with the timer slack at 1 ns; Windows within about a millisecond at best)
// and then follows each thread's own wake-ups (SpinMargin), never below the floor.
constexpr std::int64_t kSpinMarginFloorNs = 20'000;
// A pacing thread may spend this share of a core yielding before its instants: a slot of low
// rate affords a margin well beyond the usual wake-up lateness (a millisecond and more at
// 1 Hz), which covers the rare late wake-up at no cost worth counting; a slot of high rate
// keeps to what its wake-ups need. Nine busy slots spend at most about 4% of a core so.
constexpr double kSpinShareOfCore = 0.005;
// The most a slot of low rate yields before each instant.
constexpr std::int64_t kLowRateMarginCapNs = 2'000'000;

// How far apart the rate slots start (slot k after k steps): more than the usual spin
// margin and the time one slot takes to build and send its frame.
constexpr std::int64_t kSlotStaggerNs = 250'000;
// How far ahead of Start a run's first instant lies: the time to start its threads.
constexpr std::int64_t kStartLeadNs = 5'000'000;

// A time-base check needs the steady clock read on both sides of the local time within this
// much; a thread preempted between the reads takes no reading.
constexpr std::int64_t kClockReadBoundNs = 100'000;
// How far the clock's local time may wander from the time base before the time base
// follows it: smaller than any frame period, larger than the error of one reading. A clock
// that is being disciplined drifts from the steady clock by some parts per million.
constexpr std::int64_t kFollowThresholdNs = 1'000'000;
// A move this large is a step (the clock was set, the time zone or daylight-saving time
// changed): the labels then start afresh from the time of day.
constexpr std::int64_t kStepThresholdNs = 500'000'000;

constexpr std::int64_t CeilDiv(std::int64_t a, std::int64_t b) {
    return a / b + (a % b > 0 ? 1 : 0);
}

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
    : messages(messageSink), udpSocket(messageSink), clock(clockSource) {
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
    const std::int64_t epoch = StartTimeBase();
    auto flag = std::make_shared<RunFlag>(true);
    runFlag = flag;
    for (int slot = 0; slot < kGeneratorSlots; ++slot) {
        generatorThreads[static_cast<std::size_t>(slot)] =
            std::thread(&Transmitter::GeneratorLoop, this, slot, flag, epoch);
    }
    senderThread = std::thread(&Transmitter::SenderLoop, this, flag);
}

LocalTimeReading Transmitter::ReadLocalTime() {
    // The zone's offset is looked up apart from the bracketed reading: the look-up may take
    // longer than the bound (Windows' time-zone functions do, under Wine above all). The
    // offset is a whole number of seconds, so the time between its two readings rounds away.
    constexpr std::int64_t kTicksPerSecond = 10'000'000;
    const std::int64_t offset = clock.LocalTicks() - clock.SystemTicks();
    const std::int64_t zoneTicks =
        (offset + (offset < 0 ? -kTicksPerSecond / 2 : kTicksPerSecond / 2)) / kTicksPerSecond *
        kTicksPerSecond;
    const std::int64_t before = clock.SteadyNs();
    const std::int64_t systemTicks = clock.SystemTicks();
    const std::int64_t after = clock.SteadyNs();
    return LocalTimeReading{before + (after - before) / 2, (systemTicks + zoneTicks) * 100,
                            after - before <= kClockReadBoundNs};
}

std::int64_t Transmitter::SlotOrigin(std::int64_t epochThirds, int slot) noexcept {
    return epochThirds + std::int64_t{slot} * kSlotStaggerNs * kThirdsPerNs;
}

std::int64_t Transmitter::StartTimeBase() {
    LocalTimeReading reading = ReadLocalTime();
    for (int attempt = 0; attempt < 4 && !reading.valid; ++attempt) {
        reading = ReadLocalTime();
    }
    // The run starts a little ahead, so that its threads are up by its first instants.
    timeBase.Start(reading.steadyNs + kStartLeadNs, reading.localNs + kStartLeadNs);
    return timeBase.EpochThirds();
}

void Transmitter::FollowWallClock(std::int64_t instantThirds) {
    FollowWallClock(instantThirds, ReadLocalTime());
}

void Transmitter::FollowWallClock(std::int64_t instantThirds, const LocalTimeReading& reading) {
    if (!reading.valid) {
        return;
    }
    const std::int64_t drift = reading.localNs - timeBase.LocalNsAt(reading.steadyNs);
    const std::int64_t size = drift < 0 ? -drift : drift;
    const std::int64_t localAtInstant =
        reading.localNs - (reading.steadyNs - instantThirds / kThirdsPerNs);
    if (size >= kStepThresholdNs) {
        timeBase.Rejam(instantThirds, localAtInstant);
    } else if (size > kFollowThresholdNs) {
        timeBase.Follow(instantThirds, localAtInstant);
    }
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
    // A send in progress ends before Stop returns; the sender checks the flag again before
    // its next one.
    { std::lock_guard lock(sendMutex); }
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
    SetDestinations({Destination{std::move(address), port}});
}

void Transmitter::SetDestinations(std::vector<Destination> list) {
    auto shared = std::make_shared<const std::vector<Destination>>(std::move(list));
    std::lock_guard lock(destinationMutex);
    destinations = std::move(shared);
}

Destination Transmitter::GetDestination() const {
    std::lock_guard lock(destinationMutex);
    return destinations && !destinations->empty() ? destinations->front() : Destination{};
}

std::vector<Destination> Transmitter::GetDestinations() const {
    std::lock_guard lock(destinationMutex);
    return destinations ? *destinations : std::vector<Destination>{};
}

void Transmitter::SendDatagram(const std::vector<std::uint8_t>& frame) {
    std::shared_ptr<const std::vector<Destination>> list;
    {
        std::lock_guard lock(destinationMutex);
        list = destinations;
    }
    for (const Destination& to : *list) {
        if (udpSocket.SendTo(to.address, to.port, frame.data(), frame.size())) {
            datagramsSent.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        sendFailures.fetch_add(1, std::memory_order_relaxed);
        messages.Failure("Failed to send UDP message.");
    }
}

void Transmitter::SetDatagramFilter(std::unique_ptr<DatagramFilter> filter) {
    datagramFilter = std::move(filter);
}

bool Transmitter::SendForRun(const std::vector<std::uint8_t>& frame, const RunFlag& flag) {
    std::lock_guard lock(sendMutex);
    if (!flag.IsSet()) {
        return false;
    }
    SendDatagram(frame);
    return true;
}

SpinMargin Transmitter::NewSpinMargin(Rate rate) const noexcept {
    if (fixedSpinMarginNs > 0) {
        return SpinMargin::Fixed(fixedSpinMarginNs);
    }
    std::int64_t floor = kSpinMarginFloorNs;
    if (rate.numerator > 0) {
        const double affordable = kSpinShareOfCore * 1e9 * static_cast<double>(rate.denominator) /
                                  static_cast<double>(rate.numerator);
        floor = std::max(floor, std::min(kLowRateMarginCapNs, SaturateToInt64(affordable)));
    }
    return SpinMargin(std::max(floor, Platform::SpinMarginNs()), floor,
                      std::max(floor, Platform::MaxSpinMarginNs()));
}

bool Transmitter::WaitUntilSteady(std::int64_t deadlineNs, RunFlag& flag, SpinMargin* margin) {
    const std::int64_t spin = margin != nullptr ? margin->Ns() : 0;
    const std::int64_t wakeAt = SaturatingAdd(deadlineNs, -spin);
    if (wakeAt > clock.SteadyNs()) {
        if (!flag.WaitUntil(SteadyTimePoint(wakeAt))) {
            return false;
        }
        if (margin != nullptr) {
            margin->OnWake(clock.SteadyNs() - wakeAt);
        }
    }
    while (clock.SteadyNs() < deadlineNs) {
        if (!flag.IsSet()) {
            return false;
        }
        std::this_thread::yield();
    }
    return flag.IsSet();
}

bool Transmitter::WaitUntilInstant(std::int64_t instantThirds, RunFlag& flag, SpinMargin* margin) {
    return WaitUntilSteady(CeilDiv(instantThirds, kThirdsPerNs), flag, margin);
}

std::int64_t Transmitter::NextFrame(std::int64_t k, std::int64_t originThirds,
                                    std::int64_t periodThirds) {
    const std::int64_t now = clock.SteadyNs() * kThirdsPerNs;
    if (now - (originThirds + (k + 1) * periodThirds) > periodThirds) {
        return CeilDiv(now - originThirds, periodThirds);
    }
    return k + 1;
}

void Transmitter::SenderLoop(std::shared_ptr<RunFlag> flag) {
    TightenTimerSlack();
    SpinMargin margin = NewSpinMargin({});
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
        // holds it back nor lets it out early. Every send checks the run again (SendForRun):
        // a frame of a run stopped meanwhile is not sent.
        const std::int64_t due = SaturatingAdd(queuedAt, DelayNs(delay));
        if (delay > 0 && !WaitUntilSteady(due, *flag, &margin)) {
            return;
        }
        if (datagramFilter) {
            struct Sink final : DatagramSink {
                Transmitter& owner;
                RunFlag& run;
                SpinMargin& margin;
                std::int64_t dueNs;
                Sink(Transmitter& t, RunFlag& f, SpinMargin& m, std::int64_t d)
                    : owner(t), run(f), margin(m), dueNs(d) {}
                void Send(const std::vector<std::uint8_t>& datagram) override {
                    owner.SendForRun(datagram, run);
                }
                bool WaitExtra(std::chrono::nanoseconds extra) override {
                    return owner.WaitUntilSteady(SaturatingAdd(dueNs, extra.count()), run,
                                                 &margin);
                }
            } sink(*this, *flag, margin, due);
            if (!datagramFilter->Pass(std::move(frame), sink)) {
                return;
            }
        } else if (!SendForRun(frame, *flag)) {
            return;
        }
        sentSequence.store(sequence);
    }
}

bool Transmitter::WaitPeriod(double periodMs, std::int64_t startNs, RunFlag& flag) {
    SpinMargin margin = NewSpinMargin({});
    return WaitUntilSteady(SaturatingAdd(startNs, SaturateToInt64(periodMs * 1e6)), flag, &margin);
}

void Transmitter::GeneratorLoop(int slot, std::shared_ptr<RunFlag> flag,
                                std::int64_t epochThirds) {
    TightenTimerSlack();
    const std::int64_t period = PeriodThirds(kSlotRates[static_cast<std::size_t>(slot)]);
    auto& counters = slotCounters[static_cast<std::size_t>(slot)];
    const auto& list = schedule[static_cast<std::size_t>(slot)];
    SpinMargin margin = NewSpinMargin(kSlotRates[static_cast<std::size_t>(slot)]);

    // Frame k of the slot is due at the run's start plus the slot's stagger plus k periods,
    // exactly, so neither the time spent building frames nor late wake-ups accumulate. The
    // slots start a fixed step apart, so the deadlines of different rates (every one of them
    // falls on each whole second) never coincide: slots due together would queue for the
    // model lock and the processor in an order that changes from frame to frame, and that
    // order would show as period error at the receiver.
    const std::int64_t origin = SlotOrigin(epochThirds, slot);
    // Only a slot that sends yields its way to its instants; an idle one just sleeps.
    bool sending = true;
    // The local time is read after a frame has gone (the time-zone look-up takes some tens of
    // microseconds) and checked against the time base as the next frame is built.
    LocalTimeReading reading = ReadLocalTime();
    for (std::int64_t k = 0; flag->IsSet(); k = NextFrame(k, origin, period)) {
        const std::int64_t instant = origin + k * period;
        if (!WaitUntilInstant(instant, *flag, sending ? &margin : nullptr)) {
            break;
        }
        {
            const auto lock = LockModel(*flag);
            if (!lock.owns_lock()) {
                break;
            }
            sending = !list.empty();
            if (!sending) {
                continue;
            }
            if (!lensFilePlaying) {
                FollowWallClock(instant, reading);
                UpdateTimecode(instant);
                UpdateTickCount(instant);
                UpdatePtpTimestamp(instant);
            }
            UpdateRawLensEncoders();
            const std::vector<std::uint8_t> frame = liveState.Encode(transmissionType, list);
            EnqueueFrame(frame);
            counters.frames.fetch_add(1, std::memory_order_relaxed);
            counters.bytes.fetch_add(frame.size(), std::memory_order_relaxed);
        }
        reading = ReadLocalTime();
    }
}

std::unique_lock<StoppableMutex> Transmitter::LockModel(const RunFlag& flag) {
    std::unique_lock lock(modelMutex, std::defer_lock);
    if (modelMutex.LockUnlessStopped(flag, kLockPoll)) {
        lock = std::unique_lock(modelMutex, std::adopt_lock);
    }
    return lock;
}

void Transmitter::UpdateTimecode(std::int64_t instantThirds) {
    const Timecode tc = timeBase.TimecodeAt(instantThirds, liveState.projectFps);
    liveState.timecodeHours = tc.hours;
    liveState.timecodeMinutes = tc.minutes;
    liveState.timecodeSeconds = tc.seconds;
    liveState.timecodeFrames = tc.frames;
}

void Transmitter::UpdateTickCount(std::int64_t instantThirds) {
    timeBase.TickCountAt(instantThirds, liveState.tickCountType, liveState.tickCount);
}

void Transmitter::UpdatePtpTimestamp(std::int64_t instantThirds) {
    const PtpTime ptp = timeBase.PtpAt(instantThirds);
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
