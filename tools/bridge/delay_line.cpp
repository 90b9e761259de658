// The delay line's thread.
#include "delay_line.h"

#include <utility>

#include "timer.h"

namespace Kor::Bridge {

DelayLine::DelayLine(SendFunction send) : send_(std::move(send)), thread_([this] { Serve(); }) {}

DelayLine::~DelayLine() {
    Stop();
}

void DelayLine::Push(Clock::time_point due, Bytes bytes) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        queue_.push_back({due, std::move(bytes)});
    }
    changed_.notify_all();
}

bool DelayLine::WaitUntilSent(Clock::duration timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [this] { return stopping_ || (queue_.empty() && sending_ == 0); });
}

std::size_t DelayLine::Stop() {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_) {
            return 0;
        }
        stopping_ = true;
        stoppedAt_ = Clock::now();
    }
    changed_.notify_all();
    thread_.join();
    const std::size_t dropped = queue_.size();
    queue_.clear();
    return dropped;
}

void DelayLine::Serve() {
    Platform::TightenTimerSlack();
    const auto margin = std::chrono::nanoseconds(Platform::SpinMarginNs());
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopping_) {
            // What was due when the stop came still goes, in order; the rest stays behind.
            while (!queue_.empty() && queue_.front().due <= stoppedAt_) {
                Held held = std::move(queue_.front());
                queue_.pop_front();
                lock.unlock();
                send_(held.bytes);
                lock.lock();
            }
            return;
        }
        if (queue_.empty()) {
            changed_.notify_all();  // WaitUntilSent
            changed_.wait(lock);
            continue;
        }
        const Clock::time_point due = queue_.front().due;
        if (Clock::now() < due - margin) {
            // A stop or nothing else changes the head: the queue is in order of time.
            changed_.wait_until(lock, due - margin, [&] { return stopping_; });
            continue;
        }
        // Within the margin: yield until the time, watching for a stop.
        while (!stopping_ && Clock::now() < due) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
        if (stopping_) {
            continue;
        }
        Held held = std::move(queue_.front());
        queue_.pop_front();
        ++sending_;
        lock.unlock();
        send_(held.bytes);
        lock.lock();
        --sending_;
    }
}

}  // namespace Kor::Bridge
