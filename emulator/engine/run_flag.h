// RunFlag: the stop signal of one run of worker threads, with waits a stop cuts short.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Kor::Engine {

// One object per run, shared by every thread of that run: a new run gets a new flag, so a
// thread of an old run can never be revived by a later start. Clearing the flag wakes
// every thread sleeping in WaitUntil at once.
class RunFlag {
public:
    explicit RunFlag(bool running) noexcept : running_(running) {}
    RunFlag(const RunFlag&) = delete;
    RunFlag& operator=(const RunFlag&) = delete;

    bool IsSet() const noexcept { return running_.load(std::memory_order_acquire); }

    // Clears the flag and wakes every waiter.
    void Clear() {
        {
            std::lock_guard lock(mutex_);
            running_.store(false, std::memory_order_release);
        }
        wake_.notify_all();
    }

    // Sleeps until `deadline` on the steady clock or until the flag is cleared, whichever
    // comes first; returns whether the flag is still set.
    bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        return !wake_.wait_until(lock, deadline, [this] { return !IsSet(); });
    }

private:
    std::atomic<bool> running_;
    std::mutex mutex_;
    std::condition_variable wake_;
};

}  // namespace Kor::Engine
