// What the outside stand-ins share: a "key = value" config file named by an
// environment variable (re-read whenever the file changes), failure and delay
// hooks on named calls, and a record of the calls made. Each stand-in keeps its
// own instance; everything here is internal to the library that includes it.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace nkstub {

inline std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// One hook: calls first .. first+count-1 of `function` (1-based, counted since the
// last reset) wait `delayMs`, then fail with `cls` and `text`. count <= 0: every
// call from `first` on.
struct Hook {
    std::string function;
    long first = 1;
    long count = 1;
    long delayMs = 0;
    int cls = 0;
    std::string text;
};

// "fail = FN [first [count [class [text...]]]]"
inline bool parseFailHook(const std::string& value, Hook& h) {
    std::istringstream in(value);
    if (!(in >> h.function)) return false;
    if (!(in >> h.first)) return true;
    if (!(in >> h.count)) return true;
    if (!(in >> h.cls)) return true;
    std::string rest;
    std::getline(in, rest);
    h.text = trim(rest);
    return true;
}

// "delay = FN first count ms [class [text...]]"
inline bool parseDelayHook(const std::string& value, Hook& h) {
    std::istringstream in(value);
    if (!(in >> h.function >> h.first >> h.count >> h.delayMs)) return false;
    if (!(in >> h.cls)) return true;
    std::string rest;
    std::getline(in, rest);
    h.text = trim(rest);
    return true;
}

// The hooks, call counters and call record of one stand-in. Thread-safe.
class Control {
public:
    using Entries = std::vector<std::pair<std::string, std::string>>;

    explicit Control(const char* envName) : envName_(envName) {}

    // Reads the config file again when its name, size or time changed. Returns the
    // entries to apply (`changed` set) so the stand-in can reset its own settings.
    bool refresh(Entries& entries) {
        std::lock_guard<std::mutex> lock(mutex_);
        const char* name = std::getenv(envName_);
        std::string path = name ? name : "";
        struct stat st {};
        std::string stamp;
        if (!path.empty() && ::stat(path.c_str(), &st) == 0) {
            stamp = path + "|" + std::to_string(st.st_size) + "|" + std::to_string(st.st_mtim.tv_sec) + "." +
                    std::to_string(st.st_mtim.tv_nsec) + "|" + std::to_string(st.st_ino);
        } else {
            stamp = path + "|none";
        }
        if (stamp == stamp_) return false;
        stamp_ = stamp;
        entries.clear();
        hooks_.clear();
        counts_.clear();
        if (!path.empty()) {
            std::ifstream in(path);
            std::string line;
            while (std::getline(in, line)) {
                line = trim(line);
                if (line.empty() || line[0] == '#') continue;
                const size_t eq = line.find('=');
                if (eq == std::string::npos) continue;
                std::string key = trim(line.substr(0, eq));
                std::string value = trim(line.substr(eq + 1));
                Hook h;
                if (key == "fail" && parseFailHook(value, h)) hooks_.push_back(h);
                else if (key == "delay" && parseDelayHook(value, h)) hooks_.push_back(h);
                else entries.emplace_back(std::move(key), std::move(value));
            }
        }
        return true;
    }

    // Forgets hooks and counters; the next refresh reads the file again.
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        hooks_.clear();
        counts_.clear();
        log_.clear();
        stamp_.assign(1, '\x01');  // no file stamp looks like this; assign() also keeps g++ 12 -O3 quiet
    }

    void addHook(Hook h) {
        std::lock_guard<std::mutex> lock(mutex_);
        hooks_.push_back(std::move(h));
    }

    // Counts and records one call; when a hook matches, waits its delay and
    // returns it so the caller fails the call.
    bool enter(const std::string& function, const std::string& detail, Hook& hit) {
        bool failing = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const long n = ++counts_[function];
            log_ += detail.empty() ? function : function + "\t" + detail;
            log_ += '\n';
            for (const Hook& h : hooks_) {
                if (h.function != function || n < h.first) continue;
                if (h.count > 0 && n >= h.first + h.count) continue;
                hit = h;
                failing = true;
                break;
            }
        }
        if (failing && hit.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(hit.delayMs));
        return failing;
    }

    long callCount(const std::string& function) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = counts_.find(function);
        return it == counts_.end() ? 0 : it->second;
    }

    // Copies the call record (one call a line) into buf; returns its full length.
    size_t callLog(char* buf, size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (buf && size > 0) {
            const size_t n = log_.size() < size - 1 ? log_.size() : size - 1;
            std::memcpy(buf, log_.data(), n);
            buf[n] = '\0';
        }
        return log_.size();
    }

private:
    const char* envName_;
    std::mutex mutex_;
    std::string stamp_ = "\x01";
    std::vector<Hook> hooks_;
    std::map<std::string, long> counts_;
    std::string log_;
};

}  // namespace nkstub
