// Loopback helpers for the connection and NTCP tests and benchmarks: plain POSIX peers that
// play the other side, and an NTCP packet builder written independently of
// the library's own framing.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

using Bytes = std::vector<uint8_t>;

// A port that was free a moment ago.
inline uint16_t freePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// A plain listener on loopback.
struct RawListener {
    int fd = -1;
    uint16_t port = 0;
    RawListener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(fd, 64);
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~RawListener() { close(fd); }
    int accept() { return ::accept(fd, nullptr, nullptr); }
};

inline int rawConnect(uint16_t port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

inline bool sendAll(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}
inline bool sendAll(int fd, const Bytes& b) { return sendAll(fd, b.data(), b.size()); }

// Reads exactly n bytes, or fewer when the peer closes or `timeoutMs` passes.
inline Bytes recvN(int fd, size_t n, int timeoutMs = 60000) {
    Bytes out(n);
    size_t got = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t k = recv(fd, out.data() + got, n - got, 0);
        if (k <= 0) break;
        got += static_cast<size_t>(k);
    }
    out.resize(got);
    return out;
}

// True when the peer has closed: a read returns end of stream within the time.
inline bool seesEof(int fd, int timeoutMs = 60000) {
    uint8_t sink[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t k = recv(fd, sink, sizeof(sink), 0);
        if (k == 0) return true;
        if (k < 0) return errno == ECONNRESET;
    }
}

inline bool waitFor(const std::function<bool()>& cond, int timeoutMs = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline void putLe(Bytes& b, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline uint32_t fourCC(const char* s) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
           uint32_t(uint8_t(s[3]));
}

struct RawPacket {
    uint32_t preamble = 0x4E544350;
    uint16_t errc = 0;
    uint32_t ctrl = 0;
    uint8_t seqn = 0;
    Bytes payload;
    int hcsDelta = 0;  // added to the correct header checksum, to corrupt it
    int pcsDelta = 0;
    int64_t plenOverride = -1;

    Bytes bytes() const {
        Bytes b;
        putLe(b, preamble, 4);
        putLe(b, errc, 2);
        putLe(b, ctrl, 4);
        const uint32_t plen = plenOverride >= 0 ? uint32_t(plenOverride) : (payload.empty() ? 0 : uint32_t(payload.size() + 1));
        putLe(b, plen, 4);
        b.push_back(seqn);
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
};

// A decoded header read from a raw socket.
struct RawHeader {
    uint32_t preamble = 0, ctrl = 0, plen = 0;
    uint16_t errc = 0;
    uint8_t seqn = 0, hcs = 0;
    bool ok = false;
};

inline RawHeader parseHeader(const Bytes& b) {
    RawHeader h;
    if (b.size() < 16) return h;
    auto le = [&](int off, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[off + i];
        return v;
    };
    h.preamble = le(0, 4);
    h.errc = uint16_t(le(4, 2));
    h.ctrl = le(6, 4);
    h.plen = le(10, 4);
    h.seqn = b[14];
    h.hcs = b[15];
    h.ok = true;
    return h;
}

// Reads one whole packet (header and PLEN bytes) from a raw socket.
inline Bytes recvPacket(int fd, int timeoutMs = 60000) {
    Bytes head = recvN(fd, 16, timeoutMs);
    if (head.size() < 16) return head;
    const RawHeader h = parseHeader(head);
    Bytes rest = recvN(fd, h.plen, timeoutMs);
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
}

}  // namespace nettest
