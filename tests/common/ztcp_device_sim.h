// A device under test that speaks ZTCP over a plain POSIX socket, written from the
// protocol's tables alone: its own framing, its own checks. It listens for the host
// or connects to it, answers runc with scripted result codes, sinf and cinf with
// scripted records, sends hctr, logt and the fixture requests, and records every
// packet it receives.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net_test_util.h"

namespace ztcptest {

using Bytes = std::vector<uint8_t>;

// Four letters, the first the most significant byte.
inline uint32_t ctrl(const char* s) { return nettest::fourCC(s); }

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A packet as it travels: "PCTZ", version 1, error, control, length, seq, header
// checksum, then the payload and its checksum when there is one. The deltas spoil
// a checksum; lengthOverride announces a length other than the payload's.
inline Bytes packet(uint32_t control, const Bytes& payload, uint8_t seq, uint8_t error = 0, int hcsDelta = 0,
                    int pcsDelta = 0, int64_t lengthOverride = -1) {
    Bytes b = {'P', 'C', 'T', 'Z', 1, error};
    nettest::putLe(b, control, 4);
    nettest::putLe(b, lengthOverride >= 0 ? uint64_t(lengthOverride) : payload.size(), 4);
    b.push_back(seq);
    unsigned sum = 0;
    for (uint8_t c : b) sum += c;
    b.push_back(uint8_t(~sum + hcsDelta));
    if (!payload.empty()) {
        unsigned ps = 0;
        for (uint8_t c : payload) ps += c;
        b.insert(b.end(), payload.begin(), payload.end());
        b.push_back(uint8_t(~ps + pcsDelta));
    }
    return b;
}

struct Packet {
    uint32_t control = 0;
    uint8_t version = 0, error = 0, seq = 0;
    Bytes payload;
    bool headerOk = false, payloadOk = false;
    std::string text() const { return std::string(payload.begin(), payload.end()); }
};

// One packet from the socket; false at the end of the stream, on a time-out or a bad magic.
inline bool readPacket(int fd, Packet& out, int timeoutMs = 60000) {
    const Bytes h = nettest::recvN(fd, 16, timeoutMs);
    if (h.size() < 16 || h[0] != 'P' || h[1] != 'C' || h[2] != 'T' || h[3] != 'Z') return false;
    auto le = [&](int off) {
        return uint32_t(h[off]) | uint32_t(h[off + 1]) << 8 | uint32_t(h[off + 2]) << 16 | uint32_t(h[off + 3]) << 24;
    };
    unsigned sum = 0;
    for (int i = 0; i < 15; ++i) sum += h[i];
    out = Packet{};
    out.version = h[4];
    out.error = h[5];
    out.control = le(6);
    out.seq = h[14];
    out.headerOk = uint8_t(~sum) == h[15];
    const uint32_t length = le(10);
    out.payloadOk = true;
    if (length) {
        if (length > (64u << 20)) return false;
        Bytes rest = nettest::recvN(fd, size_t(length) + 1, timeoutMs);
        if (rest.size() != size_t(length) + 1) return false;
        unsigned ps = 0;
        for (uint32_t i = 0; i < length; ++i) ps += rest[i];
        out.payloadOk = uint8_t(~ps) == rest[length];
        rest.pop_back();
        out.payload = std::move(rest);
    }
    return true;
}

class DeviceSim {
public:
    // Listens on loopback; the host connects to port().
    DeviceSim() = default;
    ~DeviceSim() { stop(); }
    DeviceSim(const DeviceSim&) = delete;
    DeviceSim& operator=(const DeviceSim&) = delete;

    uint16_t port() const { return listener_.port; }

    // Waits for the host to connect, then serves it.
    void acceptHost() { serve(listener_.accept()); }
    // Connects to a host that listens.
    bool connectTo(uint16_t port) {
        const int fd = nettest::rawConnect(port);
        if (fd < 0) return false;
        serve(fd);
        return true;
    }

    // The answer to a run command: its result code and payload; silent commands get none.
    void setRunReply(const std::string& command, uint8_t code, const Bytes& payload = {}) {
        std::lock_guard<std::mutex> hold(mutex_);
        runReplies_[command] = {code, payload, false};
    }
    void setSilent(const std::string& command) {
        std::lock_guard<std::mutex> hold(mutex_);
        runReplies_[command] = {0, {}, true};
    }
    void setSysInfo(const Bytes& record) {
        std::lock_guard<std::mutex> hold(mutex_);
        sysInfo_ = record;
    }
    void setCbInfo(const Bytes& record) {
        std::lock_guard<std::mutex> hold(mutex_);
        cbInfo_ = record;
    }

    // Sends a packet without waiting for an answer (logt, or a raw test of the host).
    bool send(uint32_t control, const Bytes& payload, uint8_t seq = 0, uint8_t error = 0) {
        return sendRaw(packet(control, payload, seq, error));
    }
    bool sendRaw(const Bytes& bytes) {
        std::lock_guard<std::mutex> hold(sendMutex_);
        return fd_ >= 0 && nettest::sendAll(fd_, bytes);
    }
    // Sends a request with the next sequence number and waits for the host's rsps of it.
    std::optional<Packet> request(uint32_t control, const Bytes& payload, int timeoutMs = 60000) {
        uint8_t seq;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            seq = nextSeq_ = uint8_t(nextSeq_ == 255 ? 1 : nextSeq_ + 1);
            responses_.erase(seq);
        }
        if (!send(control, payload, seq)) return std::nullopt;
        std::unique_lock<std::mutex> hold(mutex_);
        if (!cv_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return responses_.count(seq) > 0; }))
            return std::nullopt;
        return responses_[seq];
    }

    // Every packet received, in order.
    std::vector<Packet> received() {
        std::lock_guard<std::mutex> hold(mutex_);
        return received_;
    }
    bool waitForPackets(size_t count, int timeoutMs = 60000) {
        std::unique_lock<std::mutex> hold(mutex_);
        return cv_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= count; });
    }
    // True once the host has closed the connection.
    bool waitForHostClose(int timeoutMs = 60000) {
        std::unique_lock<std::mutex> hold(mutex_);
        return cv_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return hostClosed_; });
    }
    void closeConnection() {
        std::lock_guard<std::mutex> hold(sendMutex_);
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    }
    void stop() {
        closeConnection();
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    struct RunReply {
        uint8_t code;
        Bytes payload;
        bool silent;
    };

    void serve(int fd) {
        fd_ = fd;
        reader_ = std::thread([this] { readLoop(); });
    }

    void readLoop() {
        Packet p;
        while (readPacket(fd_, p)) {
            std::optional<Bytes> answer;
            uint8_t code = 0;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                received_.push_back(p);
                if (p.control == ctrl("rsps")) {
                    responses_[p.seq] = p;
                } else if (p.control == ctrl("runc")) {
                    auto it = runReplies_.find(p.text());
                    if (it == runReplies_.end()) answer = Bytes{};
                    else if (!it->second.silent) {
                        answer = it->second.payload;
                        code = it->second.code;
                    }
                } else if (p.control == ctrl("sinf")) {
                    answer = sysInfo_;
                } else if (p.control == ctrl("cinf")) {
                    answer = cbInfo_;
                }
            }
            cv_.notify_all();
            if (answer && p.seq != 0) send(ctrl("rsps"), *answer, p.seq, code);
        }
        std::lock_guard<std::mutex> hold(mutex_);
        hostClosed_ = true;
        cv_.notify_all();
    }

    nettest::RawListener listener_;
    int fd_ = -1;
    std::thread reader_;
    std::mutex sendMutex_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Packet> received_;
    std::map<uint8_t, Packet> responses_;
    std::map<std::string, RunReply> runReplies_;
    Bytes sysInfo_ = Bytes(1088, 0);
    Bytes cbInfo_ = Bytes(8, 0);
    uint8_t nextSeq_ = 0;
    bool hostClosed_ = false;
};

}  // namespace ztcptest
