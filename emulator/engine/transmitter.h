// Transmitter: the emulator's engine. Generator threads build frames at fixed rates from
// the live record; one sender thread sends them as UDP datagrams, optionally delayed.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <kor/telemetry.h>

#include "clocks.h"
#include "messages.h"
#include "run_flag.h"
#include "sender_settings.h"
#include "spin_margin.h"
#include "tables.h"
#include "udp_socket.h"

namespace Kor::Engine {

using Protocol::MessageType;
using Protocol::TelemetryData;
using Protocol::TransmissionType;

// What a DatagramFilter sends through and waits with; given by the sender thread for one
// datagram at a time.
class DatagramSink {
public:
    // Sends one datagram to the current destinations (as Transmitter::SendDatagram).
    virtual void Send(const std::vector<std::uint8_t>& datagram) = 0;
    // Waits until `extra` past the time the datagram was due (its queue time plus the
    // delay); returns false at once when the run is stopped meanwhile.
    virtual bool WaitExtra(std::chrono::nanoseconds extra) = 0;

protected:
    ~DatagramSink() = default;
};

// Stands between the send queue and the socket: the sender thread hands it every datagram
// it takes from the queue, in order, and the filter decides what to send (the datagram,
// nothing, copies, altered bytes, a datagram held back earlier) and when.
class DatagramFilter {
public:
    virtual ~DatagramFilter() = default;
    // Returns false when a wait was cut short by a stop (the sender then ends).
    virtual bool Pass(std::vector<std::uint8_t> datagram, DatagramSink& sink) = 0;
};

// The local time (nanoseconds since 1970) and the steady clock (nanoseconds) at one instant.
struct LocalTimeReading {
    std::int64_t steadyNs = 0;
    std::int64_t localNs = 0;
    bool valid = false;  // read within a bound that tells the instant
};

// Copies the fields a lens file's header supplies (clip, camera and lens names, frame rate,
// sensor width, clip size) from `from` to `to`; the focal lengths only where `from` has
// them (non-zero), the focus only `withFocus`. A playback copies them from the header,
// and back from the saved state at its end.
void CopyLensHeaderFields(const TelemetryData& from, TelemetryData& to, bool withFocus);

// Counters of one rate slot since construction (frames and bytes handed to the sender).
struct SlotCounters {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> bytes{0};
};

// Thread model:
//  - Start launches nine generator threads (one per rate slot) and one sender thread that
//    share a fresh RunFlag; Stop clears that flag and returns once no datagram of the run
//    can leave any more.
//  - Each slot builds its frames at exact instants: the run's start plus the slot's stagger
//    plus whole periods of its rate. A frame's timecode, PTP time and tick count are those
//    of its instant (see TimeBase), not of the moment its thread woke; the thread sleeps to
//    shortly before the instant and yields the rest of the way (SpinMargin).
//  - The sender sends the queue in order, each datagram after the delay. A frame queued
//    while the queue is empty, with no delay and no filter, is sent by the thread that
//    queues it, under the queue lock, which keeps the order and saves the sender's wake-up.
//  - Every wait is on the steady clock: the delay is measured from the steady-clock time
//    a frame was queued, so steps of the wall clock do not stall or burst the stream.
//  - The threads of a stopped run are kept and joined by the next JoinThreads (called by
//    Start) or by the destructor. Every wait they make is cut short by the flag, so
//    joining them takes at most the few microseconds of a frame being built.
//  - modelMutex guards liveState and schedule; queueMutex guards the send queue. The lock
//    order is modelMutex, then queueMutex.
class Transmitter {
    // Where the console lines go; first, since the socket reports its opening to it.
    MessageSink& messages;

public:
    // Opens the socket and binds it to a system-chosen source port (std::system_error on
    // failure). `clock` and `messages` must outlive the Transmitter; `messages` receives
    // every console line of the engine (the progress lines, failed sends, lens file faults).
    explicit Transmitter(Clock& clock = DefaultClock(), MessageSink& messages = ConsoleMessages());
    // Stops a run, joins every thread ever started, empties the queue, closes the socket.
    ~Transmitter();
    Transmitter(const Transmitter&) = delete;
    Transmitter& operator=(const Transmitter&) = delete;

    // Run control (user-interface thread).
    bool IsRunning() const noexcept;
    void Start();
    void Stop();
    void JoinThreads();

    // The send queue. EnqueueFrame returns the frame's sequence number (1 for the first
    // frame ever queued); SentSequence is that of the last frame the sender sent.
    std::uint64_t EnqueueFrame(const std::vector<std::uint8_t>& frame);
    void ClearQueue();
    std::uint64_t SentSequence() const noexcept { return sentSequence.load(); }
    // Sends one datagram to each current destination; a failure is written to stderr.
    void SendDatagram(const std::vector<std::uint8_t>& frame);

    // Puts a filter between the queue and the socket (null: send every datagram as it is).
    // Call while no run is going; the filter is used by the sender thread only and lives
    // as long as the Transmitter.
    void SetDatagramFilter(std::unique_ptr<DatagramFilter> filter);
    DatagramFilter* GetDatagramFilter() const noexcept { return datagramFilter.get(); }

    // The destinations, read by the sender for every datagram as one consistent list; every
    // datagram goes to each in turn. SetDestination makes the list this one destination;
    // GetDestination is the first (empty when the list is).
    void SetDestination(std::string address, std::uint16_t port);
    void SetDestinations(std::vector<Destination> destinations);
    Destination GetDestination() const;
    std::vector<Destination> GetDestinations() const;

    // Clock stamps of liveState for the frame of the scheduled instant `instantThirds`
    // (thirds of a nanosecond on the steady clock), from the run's time base; call with
    // modelMutex held.
    void UpdateTimecode(std::int64_t instantThirds);
    void UpdateTickCount(std::int64_t instantThirds);
    void UpdatePtpTimestamp(std::int64_t instantThirds);
    // Checks the time base against the clock's local time, as the frame of `instantThirds`
    // is built: a drift of more than a millisecond maps local time afresh from that instant
    // on, and a step of half a second or more (the clock was set, the time zone changed)
    // starts the labels afresh from the time of day too. Call with modelMutex held; the
    // reading (ReadLocalTime, which needs no lock) may be taken some time before.
    void FollowWallClock(std::int64_t instantThirds, const LocalTimeReading& reading);
    void FollowWallClock(std::int64_t instantThirds);
    // Reads the steady clock and the local time of one instant; not valid when the reading
    // took too long to tell the instant (the thread was preempted meanwhile).
    LocalTimeReading ReadLocalTime();
    // Derives the raw lens encoder counts from focus, zoom and iris and marks them valid.
    void UpdateRawLensEncoders();

    // Lens correction files (call with modelMutex held). LoadLensFile reads a file into
    // the lens file members and returns whether it holds a frame to play (a file that
    // cannot be read holds none); lensFileFaults counts the faulty lines it reported and
    // skipped. StartZeiss plays the loaded frames at the file's frame rate
    // in place of the generator of that rate, until the clip ends or Stop.
    bool LoadLensFile(std::string path);
    void StartZeiss();
    // Puts back the header fields a lens file playback replaced (from savedLiveState);
    // call once the playback has ended. Idempotent.
    void RestoreAfterLensPlayback();

    // Waits until `periodMs` have passed since `startNs` on the steady clock: sleeps to
    // shortly before the deadline, then yields until it. Returns false at once when
    // `flag` is cleared meanwhile.
    bool WaitPeriod(double periodMs, std::int64_t startNs, RunFlag& flag);

    // Fixes how long before a deadline sleeping hands over to yielding, for measurements
    // (0, the default: each pacing thread follows the lateness of its own wake-ups). Call
    // while no run is going.
    void SetSpinMargin(std::int64_t nanoseconds) noexcept { fixedSpinMarginNs = nanoseconds; }
    // Whether a producer may send a frame itself while the sender waits for an empty queue
    // (default; off, every frame is handed to the sender thread). For measurements; call
    // while no run is going.
    void SetProducerSends(bool enabled) noexcept { producerSends = enabled; }

    // Locks modelMutex for a worker of the run of `flag`; gives up (returns an unlocked
    // lock) as soon as the flag is cleared.
    std::unique_lock<StoppableMutex> LockModel(const RunFlag& flag);

    // The source port of every datagram; it stays the same for the Transmitter's life.
    std::uint16_t SourcePort() const noexcept { return udpSocket.LocalPort(); }
    const SlotCounters& Counters(int slot) const { return slotCounters.at(slot); }
    // Datagrams the system accepted and refused, one per frame and destination.
    std::uint64_t DatagramsSent() const noexcept { return datagramsSent.load(); }
    std::uint64_t SendFailures() const noexcept { return sendFailures.load(); }

    std::array<std::thread, kGeneratorSlots> generatorThreads;
    std::thread senderThread;
    std::shared_ptr<RunFlag> runFlag;
    std::unordered_map<std::string, int> projectFpsByName{
        {"23.98", 1}, {"24", 2}, {"25", 3}, {"29.97", 4}, {"30", 5}};
    TelemetryData liveState;
    std::array<std::vector<MessageType>, kScheduleSlots> schedule;
    TimeBase timeBase;  // of the current run (guarded by modelMutex)
    TransmissionType transmissionType = TransmissionType::UDP;
    UdpSocket udpSocket;
    std::atomic<std::int32_t> delayMs{0};
    std::mutex queueMutex;
    std::condition_variable queueCondition;
    std::deque<std::vector<std::uint8_t>> frameQueue;
    std::deque<std::int64_t> enqueueTimes;  // steady-clock ns at which each frame was queued
    // Stoppable, so that a worker waiting for it can notice a stop: a stopped run's threads
    // are joined by Start, which the control window calls with this lock held.
    StoppableMutex modelMutex;
    TelemetryData lensHeaderState;               // header values of the loaded lens file
    std::vector<TelemetryData> lensFrames;       // one record per frame line
    std::vector<std::int32_t> lensFrameNumbers;  // frame number of each record
    std::int32_t lensClipDurationFrames = 0;
    TelemetryData savedLiveState;  // liveState as it was when the playback started
    bool lensFileLoaded = false;
    std::string lensFileName;
    std::size_t lensFileFaults = 0;  // faulty lines of the last load
    std::atomic<std::int32_t> lensFramesSent{0};
    std::atomic<bool> lensFilePlaying{false};

private:
    void GeneratorLoop(int slot, std::shared_ptr<RunFlag> flag, std::int64_t epochThirds);
    // Plays the loaded file's frames from the instant `originThirds` on.
    void LensPlaybackLoop(std::shared_ptr<RunFlag> flag, std::int64_t originThirds);
    void SenderLoop(std::shared_ptr<RunFlag> flag);
    // Starts the time base of a new run at the present instant; returns its start.
    std::int64_t StartTimeBase();
    // The instant of the first frame of rate slot `slot` in the run starting at `epochThirds`:
    // the slots start a fixed step apart.
    static std::int64_t SlotOrigin(std::int64_t epochThirds, int slot) noexcept;
    // The spin margin a new pacing thread starts with, for frames at `rate` (no rate: the
    // sender's waits for delayed frames).
    SpinMargin NewSpinMargin(Rate rate) const noexcept;
    // Waits until the steady clock reaches `deadlineNs`: sleeps to `margin` before it, then
    // yields until it (no margin: sleeps all the way). Returns false at once when `flag` is
    // cleared meanwhile.
    bool WaitUntilSteady(std::int64_t deadlineNs, RunFlag& flag, SpinMargin* margin);
    // Waits until the instant `instantThirds`, as WaitUntilSteady.
    bool WaitUntilInstant(std::int64_t instantThirds, RunFlag& flag, SpinMargin* margin);
    // The number of the frame after frame `k` of a series starting at `originThirds` with
    // `periodThirds` between frames: k + 1, or, after a stall of more than a period, the
    // first frame whose instant has not yet passed (no burst of late frames).
    std::int64_t NextFrame(std::int64_t k, std::int64_t originThirds, std::int64_t periodThirds);
    // Sends a datagram of the run of `flag` unless that run has been stopped: a Stop waits
    // for a send in progress, so no datagram of a stopped run leaves after Stop returns.
    bool SendForRun(const std::vector<std::uint8_t>& frame, const RunFlag& flag);
    // Clears the run flag, wakes the sender and moves the run's threads to retiredThreads.
    void EndRun();

    Clock& clock;
    std::int64_t fixedSpinMarginNs = 0;
    std::mutex sendMutex;  // held by the sender thread around its run check and its send
    mutable std::mutex destinationMutex;
    // Replaced as a whole, never changed in place: a sender holds the list it took for as
    // long as it sends one datagram, without the lock.
    std::shared_ptr<const std::vector<Destination>> destinations =
        std::make_shared<const std::vector<Destination>>(1);
    std::vector<std::thread> retiredThreads;
    std::array<SlotCounters, kGeneratorSlots> slotCounters;
    std::atomic<std::uint64_t> datagramsSent{0};
    // Sequence numbers of the queue (guarded by queueMutex): frames ever queued, and frames
    // taken out or discarded. The front frame's number is removedCount + 1.
    std::uint64_t enqueuedCount = 0;
    std::uint64_t removedCount = 0;
    // Whether the sender of the current run waits for an empty queue with no filter set
    // (guarded by queueMutex): a frame that needs no delay is then sent by its producer.
    bool senderIdle = false;
    bool producerSends = true;
    std::atomic<std::uint64_t> sentSequence{0};
    std::atomic<std::uint64_t> sendFailures{0};
    std::unique_ptr<DatagramFilter> datagramFilter;
};

}  // namespace Kor::Engine
