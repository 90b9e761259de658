// Holding an output back: datagrams wait for their time in a queue and leave from a thread of
// their own, so that tracking data can be lined up with video that arrives later.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Kor::Bridge {

// One output's delay. Push hands a datagram over with the time it is due; the line's thread
// sends it then: it sleeps until shortly before the time and yields for the rest, so that a
// datagram leaves within microseconds of its time rather than a sleep's lateness after it.
// Datagrams leave in the order they were pushed (their times must not go back). The send
// function runs on the line's thread only.
class DelayLine {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<std::uint8_t>;
    using SendFunction = std::function<void(const Bytes&)>;

    explicit DelayLine(SendFunction send);
    ~DelayLine();  // Stop()
    DelayLine(const DelayLine&) = delete;
    DelayLine& operator=(const DelayLine&) = delete;

    void Push(Clock::time_point due, Bytes bytes);

    // Waits at most `timeout` for everything pushed to have been sent; true when it has.
    bool WaitUntilSent(Clock::duration timeout);

    // Ends the line at once, cutting its wait short: what is due by now is sent first (in
    // order), the rest is dropped. Returns how many were dropped; 0 once stopped.
    std::size_t Stop();

private:
    struct Held {
        Clock::time_point due;
        Bytes bytes;
    };

    void Serve();

    SendFunction send_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Held> queue_;
    std::size_t sending_ = 0;  // taken out of the queue, not yet sent
    bool stopping_ = false;
    Clock::time_point stoppedAt_;
    std::thread thread_;
};

}  // namespace Kor::Bridge
