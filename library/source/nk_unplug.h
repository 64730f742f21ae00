// Decides, for one USB-bound object, whether its unplug path or its owner's
// delete tears it down, so the two never both do. Held through a shared_ptr by
// the object and by its pending removal closure, so it outlives the object.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

class NK_unplugGate {
public:
    // Unplug path, on the run-loop thread. false: the owner is already deleting it.
    bool beginUnplug() {
        std::lock_guard<std::mutex> lock(m_);
        if (st_ != kAlive) return false;
        st_ = kTearing;
        unplugger_ = std::this_thread::get_id();
        return true;
    }
    // The object has released what it held and its owners' data is copied; from
    // here on the unplug path touches the object only to delete it.
    void tornDown() {
        std::lock_guard<std::mutex> lock(m_);
        st_ = kTornDown;
        cv_.notify_all();
    }
    // After the owners were told: true when the unplug path deletes the object
    // itself, false when an owner's delete has taken it over.
    bool mayDelete() {
        std::lock_guard<std::mutex> lock(m_);
        if (ownerDeleting_) return false;
        unplugDeletes_ = true;
        return true;
    }
    // An owner that has taken the object from its own tables but not yet entered its
    // destructor: true when the owner deletes it (the unplug path then leaves it alone),
    // false when the unplug path has already decided to delete it. Without this one
    // decision both could delete it.
    bool claimForOwner() {
        std::lock_guard<std::mutex> lock(m_);
        if (unplugDeletes_) return false;
        ownerDeleting_ = true;
        return true;
    }
    void finished() {
        std::lock_guard<std::mutex> lock(m_);
        st_ = kFinished;
        cv_.notify_all();
    }
    // First thing of the destructor: true when the destructor must tear down; false
    // when the unplug path did (an owner's delete racing it waits for that first).
    bool enterDestructor() {
        std::unique_lock<std::mutex> lock(m_);
        if (st_ == kAlive) {
            st_ = kOwnerDeleted;
            return true;
        }
        if (unplugger_ == std::this_thread::get_id()) return false;
        ownerDeleting_ = true;
        cv_.wait(lock, [&] { return st_ == kTornDown || st_ == kFinished; });
        return false;
    }
    // Until no unplug path runs for the object any more.
    void waitFinished() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return st_ == kAlive || st_ == kFinished || st_ == kOwnerDeleted; });
    }
    bool unplugging() {
        std::lock_guard<std::mutex> lock(m_);
        return st_ == kTearing || st_ == kTornDown;
    }

private:
    enum State { kAlive, kTearing, kTornDown, kFinished, kOwnerDeleted };
    std::mutex m_;
    std::condition_variable cv_;
    State st_ = kAlive;
    bool ownerDeleting_ = false;
    bool unplugDeletes_ = false;
    std::thread::id unplugger_;
};
