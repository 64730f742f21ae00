// Tester-side helpers of the station tests: "tscr" payloads and one-packet
// exchanges over a raw socket.
#pragma once

#include <cstring>
#include <string>

#include "net_test_util.h"

namespace stationtest {

using nettest::Bytes;

inline Bytes tscrPayload(const std::string& cell, uint8_t cellId, const std::string& sn, size_t size = 240) {
    Bytes p(size, 0);
    auto put = [&](size_t off, const std::string& s, size_t field) {
        std::memcpy(p.data() + off, s.data(), std::min(s.size(), field));
    };
    if (size >= 232) {
        put(0, cell, 32);
        p[32] = cellId;
        put(33, "TSW-3.2", 32);
        put(65, "THW-B1", 32);
        put(97, sn, 64);
        put(161, "LS-0042", 32);
        put(193, "SPM-0007", 32);
        put(225, "IQC", 7);
    }
    if (size >= 240) {
        const float d = 3.5f, t = 42.0f;
        std::memcpy(p.data() + 232, &d, 4);
        std::memcpy(p.data() + 236, &t, 4);
    }
    return p;
}

struct Reply {
    nettest::RawHeader header;
    Bytes payload;  // without its checksum byte
    bool ok = false;
};

inline Reply readReply(int fd, int timeoutMs = 60000) {
    Reply r;
    const Bytes b = nettest::recvPacket(fd, timeoutMs);
    if (b.size() < 16) return r;
    r.header = nettest::parseHeader(b);
    if (b.size() != 16 + r.header.plen) return r;
    if (r.header.plen > 0) r.payload.assign(b.begin() + 16, b.end() - 1);
    r.ok = true;
    return r;
}

inline Reply exchange(int fd, const char* ctrl, uint8_t seqn, const Bytes& payload, int timeoutMs = 60000) {
    nettest::RawPacket p;
    p.ctrl = nettest::fourCC(ctrl);
    p.seqn = seqn;
    p.payload = payload;
    if (!nettest::sendAll(fd, p.bytes())) return {};
    return readReply(fd, timeoutMs);
}

// A serial number of the test format: date fields valid, configuration code `code`.
inline std::string serial(const std::string& code, const std::string& head = "ABC", const std::string& tail = "JKL") {
    return head + "7234" + "WXYZ" + code + tail;
}

}  // namespace stationtest
