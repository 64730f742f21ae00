// What a log manager relays, collected for a test to search.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "nk_log.h"

namespace nktest {

// Every relayed line; safe to read while other threads still log.
class LogLines : public INK_logRelay {
public:
    void onLogRelay(const char* t) override {
        std::lock_guard<std::mutex> lock(m_);
        text_ += t;
    }
    std::string text() const {
        std::lock_guard<std::mutex> lock(m_);
        return text_;
    }
    bool has(const std::string& needle) const { return count(needle) > 0; }
    size_t count(const std::string& needle) const {
        std::lock_guard<std::mutex> lock(m_);
        size_t n = 0;
        for (size_t at = text_.find(needle); at != std::string::npos; at = text_.find(needle, at + 1)) ++n;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_);
        text_.clear();
    }

private:
    mutable std::mutex m_;
    std::string text_;
};

// A log manager at `level` whose lines are collected.
struct Logged {
    CNK_logManager lm;
    LogLines lines;
    explicit Logged(t_nkVbsLvl level) {
        lm.setVerboseLevel(level);
        lm.setLogRelay(&lines);
    }
    ~Logged() { lm.setLogRelay(nullptr); }
    Logged(const Logged&) = delete;
    Logged& operator=(const Logged&) = delete;

    std::string text() const { return lines.text(); }
    bool has(const std::string& needle) const { return lines.has(needle); }
    size_t count(const std::string& needle) const { return lines.count(needle); }
    void clear() { lines.clear(); }
};

}  // namespace nktest
