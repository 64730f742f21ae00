// Per-thread queue of closures. A thread's loop exists from the first time the
// thread asks for it; other threads post to it, and the closures run only while
// the owning thread runs its loop (runFor / runUntil).
#pragma once

#include <functional>
#include <memory>

namespace pf::runloop {

class Loop;
using LoopRef = std::shared_ptr<Loop>;

// The calling thread's loop, made on first use.
LoopRef current();

// Queues `fn` on `loop`. A loop whose thread has ended takes nothing (false).
bool post(const LoopRef& loop, std::function<void()> fn);

// Runs the calling thread's queued closures for `ms` milliseconds, waiting for
// new ones in between. Returns how many ran.
int runFor(int ms);

// Runs closures until `pred` holds (tested before each wait) or `ms` ms have
// passed; returns the last value of `pred`.
bool runUntil(const std::function<bool()>& pred, int ms);

}  // namespace pf::runloop
