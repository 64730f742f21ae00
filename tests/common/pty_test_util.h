// A pseudo-terminal pair for serial-line tests and benchmarks: the library opens
// the slave by its path, the test plays the device on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace nktest {

class PtyPair {
public:
    PtyPair() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            master_ = slave_ = -1;
            return;
        }
        path_ = name;
    }
    ~PtyPair() {
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    // Kept open so the master never sees the line hung up between opens.
    int slave() const { return slave_; }
    const std::string& path() const { return path_; }

    bool send(const std::string& bytes) const { return send(bytes.data(), bytes.size()); }
    bool send(const void* data, size_t n) const {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            const ssize_t w = ::write(master_, p, n);
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    // Up to `n` bytes arriving within `ms` milliseconds.
    std::string receive(size_t n, int ms) const {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[4096];
            const ssize_t r = ::read(master_, buf, std::min(sizeof(buf), n - out.size()));
            if (r <= 0) break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace nktest
