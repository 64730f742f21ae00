// A lock that can be waited for until a deadline. Built on a condition variable
// rather than std::timed_mutex, whose timed wait the thread sanitizer cannot follow.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class tZelk_TimedLock {
public:
    using Clock = std::chrono::steady_clock;

    bool lockUntil(Clock::time_point deadline) {
        std::unique_lock<std::mutex> hold(mutex_);
        if (!free_.wait_until(hold, deadline, [&] { return !held_; })) return false;
        held_ = true;
        return true;
    }
    bool lockFor(std::chrono::milliseconds wait) { return lockUntil(Clock::now() + wait); }
    void unlock() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            held_ = false;
        }
        free_.notify_one();
    }

    // Releases on every path out of a scope.
    class Guard {
    public:
        explicit Guard(tZelk_TimedLock& lock) : lock_(lock) {}
        ~Guard() { lock_.unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        tZelk_TimedLock& lock_;
    };

private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool held_ = false;
};
