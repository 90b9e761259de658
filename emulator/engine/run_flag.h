// RunFlag: the stop signal of one run of worker threads, with waits a stop cuts short;
// StoppableMutex: a mutex whose waiters give up at a stop.
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

// A mutex whose waiters can give up when their run is stopped. Every wait is on the steady
// clock, so a step of the wall clock neither stalls a waiter nor makes it spin; and it is
// built from a plain mutex and condition variable, which thread checkers understand.
// Meets the Lockable requirements (std::lock_guard, std::unique_lock).
class StoppableMutex {
public:
    StoppableMutex() = default;
    StoppableMutex(const StoppableMutex&) = delete;
    StoppableMutex& operator=(const StoppableMutex&) = delete;

    void lock() {
        std::unique_lock guard(mutex_);
        free_.wait(guard, [this] { return !held_; });
        held_ = true;
    }

    bool try_lock() {
        std::lock_guard guard(mutex_);
        if (held_) {
            return false;
        }
        held_ = true;
        return true;
    }

    // Wakes every waiter: a waiter in LockUnlessStopped whose run has stopped leaves without
    // the lock, and a wake-up meant for one waiter would be lost with it while a thread in
    // lock() sleeps on a free mutex.
    void unlock() {
        {
            std::lock_guard guard(mutex_);
            held_ = false;
        }
        free_.notify_all();
    }

    // Locks, unless `flag` is found cleared first (checked every `poll` while the mutex is
    // held elsewhere, and once more when it comes free); returns whether it locked.
    bool LockUnlessStopped(const RunFlag& flag, std::chrono::nanoseconds poll) {
        std::unique_lock guard(mutex_);
        while (held_) {
            if (!flag.IsSet()) {
                return false;
            }
            free_.wait_for(guard, poll);
        }
        // A run stopped while this thread waited must not build another frame.
        if (!flag.IsSet()) {
            return false;
        }
        held_ = true;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool held_ = false;
};

}  // namespace Kor::Engine
