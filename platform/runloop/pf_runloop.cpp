#include "runloop/pf_runloop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace pf::runloop {

class Loop {
public:
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> queue;
    bool closed = false;
};

namespace {

// Closes the loop when its thread ends, so late posts are dropped rather than kept forever.
struct ThreadLoop {
    LoopRef loop = std::make_shared<Loop>();
    ~ThreadLoop() {
        std::deque<std::function<void()>> drop;
        {
            std::lock_guard<std::mutex> lock(loop->m);
            loop->closed = true;
            drop.swap(loop->queue);
        }
    }
};

ThreadLoop& threadLoop() {
    thread_local ThreadLoop tl;
    return tl;
}

using Clock = std::chrono::steady_clock;

// One closure or one wait; false when the deadline has passed with nothing to run.
bool runOne(Loop& loop, Clock::time_point deadline, int* ran) {
    std::function<void()> fn;
    {
        std::unique_lock<std::mutex> lock(loop.m);
        if (!loop.cv.wait_until(lock, deadline, [&] { return !loop.queue.empty(); })) return false;
        fn = std::move(loop.queue.front());
        loop.queue.pop_front();
    }
    fn();
    ++*ran;
    return true;
}

}  // namespace

LoopRef current() { return threadLoop().loop; }

bool post(const LoopRef& loop, std::function<void()> fn) {
    if (!loop || !fn) return false;
    {
        std::lock_guard<std::mutex> lock(loop->m);
        if (loop->closed) return false;
        loop->queue.push_back(std::move(fn));
    }
    loop->cv.notify_all();
    return true;
}

int runFor(int ms) {
    Loop& loop = *current();
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    int ran = 0;
    while (runOne(loop, deadline, &ran)) {
    }
    return ran;
}

bool runUntil(const std::function<bool()>& pred, int ms) {
    Loop& loop = *current();
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    int ran = 0;
    // Short waits, so a predicate that another thread makes true is seen soon too.
    while (!pred()) {
        const auto slice = std::min(deadline, Clock::now() + std::chrono::milliseconds(10));
        if (!runOne(loop, slice, &ran) && Clock::now() >= deadline) return pred();
    }
    return true;
}

}  // namespace pf::runloop
