// kor-send --replay: sends the UDP datagrams of a capture again, unchanged, with the
// spacing they were captured with (scaled by a speed factor).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pcap.h"
#include "run_flag.h"
#include "timer.h"
#include "udp_socket.h"

namespace Kor::Send {

// When each datagram of one pass goes out, in nanoseconds after the first: the capture
// time stamps' distance from the first datagram's, divided by `speed`. Time stamps that go
// backwards give a send time before the previous one, that is, at once after it.
std::vector<std::int64_t> ReplayOffsets(const std::vector<Pcap::Datagram>& datagrams,
                                        double speed);

// The pause between the last datagram of a pass and the first of the next with --loop:
// the mean interval of the pass, so the stream keeps its rate across the seam; one second
// divided by `speed` when that is zero (a single datagram, or all with one time stamp).
std::int64_t LoopGapNs(const std::vector<std::int64_t>& offsets, double speed);

struct ReplaySettings {
    std::string address;        // dotted IPv4
    std::uint16_t port = 0;
    double speed = 1;           // > 0
    bool loop = false;          // start over after the last datagram
    // Sleep until this long before a deadline, then yield: a little longer than the engine.
    std::int64_t spinMarginNs = Platform::SpinMarginNs() + 50'000;
};

// What a replay has done so far; safe to read while it runs.
struct ReplayTotals {
    std::uint64_t datagrams = 0;  // accepted by the system
    std::uint64_t bytes = 0;      // payload bytes of those
    std::uint64_t failures = 0;   // sends the system refused
    std::uint64_t passes = 0;     // whole passes over the capture
};

// Replays datagrams from one sending thread, which Start launches and Stop (or the
// destructor) ends and joins. Each datagram is sent at an absolute deadline, start +
// offset (+ the length of the passes before it with --loop), so send times do not drift:
// the thread sleeps until shortly before the deadline and yields for the rest. Stop cuts
// every wait short.
class Replayer {
public:
    // Opens the sending socket (std::system_error on failure); the socket reports its
    // opening and closing to `messages`, which must outlive the Replayer.
    Replayer(std::vector<Pcap::Datagram> datagrams, ReplaySettings settings,
             Engine::MessageSink& messages = Engine::NoMessages());
    ~Replayer();
    Replayer(const Replayer&) = delete;
    Replayer& operator=(const Replayer&) = delete;

    void Start();
    // Ends the run and joins the thread; safe to call more than once.
    void Stop();

    // True once the last datagram has been sent (never with --loop until stopped).
    bool Finished() const { return finished_.load(std::memory_order_acquire); }

    ReplayTotals Totals() const;

private:
    void Run(Engine::RunFlag& flag);
    // Waits until `deadlineNs` on the steady clock; false if stopped first.
    bool WaitUntil(std::int64_t deadlineNs, Engine::RunFlag& flag) const;

    std::vector<Pcap::Datagram> datagrams_;
    std::vector<std::int64_t> offsets_;
    ReplaySettings settings_;
    Engine::UdpSocket socket_;
    std::unique_ptr<Engine::RunFlag> flag_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::uint64_t> failures_{0};
    std::atomic<std::uint64_t> passes_{0};
};

}  // namespace Kor::Send
