// A laser displacement sensor on loopback TCP, for the client's tests, fuzz
// target and benchmark: it answers the storage commands and writes the data
// stream in the pieces the test chooses.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "net_test_util.h"

namespace keyencetest {

using nettest::Bytes;

class FakeSensor {
public:
    // Stored values sent after the data-output command.
    std::vector<uint32_t> values;
    // Piece sizes of the data reply (header included), used in turn; empty sends it whole.
    std::vector<size_t> pieces;
    // Overrides: the status reply's fourth byte, and a sensor that reads but never answers.
    int statusCode = 0x2B;
    std::atomic<bool> silent{false};
    // Commands received, as their code byte.
    std::vector<uint8_t> commands() {
        std::lock_guard<std::mutex> l(mu_);
        return commands_;
    }

    FakeSensor() : thread_([this] { serve(); }) {}
    ~FakeSensor() {
        stop_ = true;
        shutdown(listener_.fd, SHUT_RDWR);
        {
            std::lock_guard<std::mutex> l(mu_);
            if (conn_ >= 0) shutdown(conn_, SHUT_RDWR);
        }
        thread_.join();
    }
    uint16_t port() const { return listener_.port; }

    static Bytes reply(uint8_t code, uint16_t length) {
        Bytes b = {uint8_t(length & 0xFF), uint8_t(length >> 8), 0x07, code, 0, 0, 0, 0};
        b.resize(length == 0xFFFF ? 20 : length, 0);
        return b;
    }

private:
    void serve() {
        while (!stop_) {
            const int c = listener_.accept();
            if (c < 0) return;
            {
                std::lock_guard<std::mutex> l(mu_);
                conn_ = c;
            }
            session(c);
            {
                std::lock_guard<std::mutex> l(mu_);
                conn_ = -1;
            }
            close(c);
        }
    }

    void session(int c) {
        for (;;) {
            Bytes head = nettest::recvN(c, 2, 60000);
            if (head.size() < 2) return;
            const size_t len = head[0] | size_t(head[1]) << 8;
            if (len < 4) return;
            Bytes rest = nettest::recvN(c, len - 2, 5000);
            if (rest.size() < len - 2) return;
            const uint8_t code = rest[1];
            {
                std::lock_guard<std::mutex> l(mu_);
                commands_.push_back(code);
            }
            if (silent) continue;
            Bytes out;
            switch (code) {
            case 0x22: case 0x26: case 0x28: out = reply(uint8_t(code + 1), 8); break;
            case 0x2A: {
                out = reply(uint8_t(statusCode), 60);
                const uint32_t n = uint32_t(values.size());
                for (int i = 0; i < 4; ++i) out[12 + i] = uint8_t(n >> (8 * i));
                break;
            }
            case 0x24: {
                // An empty store sends nothing back, as the sensor does.
                if (values.empty()) continue;
                out = reply(0x25, 0xFFFF);
                out.reserve(20 + values.size() * 4);
                for (uint32_t v : values) nettest::putLe(out, v, 4);
                break;
            }
            default: return;
            }
            if (!sendPieces(c, out)) return;
        }
    }

    bool sendPieces(int c, const Bytes& out) {
        size_t at = 0;
        size_t i = 0;
        while (at < out.size()) {
            size_t n = pieces.empty() ? out.size() - at : pieces[i++ % pieces.size()];
            n = std::min(std::max<size_t>(n, 1), out.size() - at);
            if (!nettest::sendAll(c, out.data() + at, n)) return false;
            at += n;
            // Separate pieces reach the client as separate reads.
            if (!pieces.empty()) std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        return true;
    }

    nettest::RawListener listener_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    int conn_ = -1;
    std::vector<uint8_t> commands_;
    std::thread thread_;
};

}  // namespace keyencetest
