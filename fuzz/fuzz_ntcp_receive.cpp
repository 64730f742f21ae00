// Feeds arbitrary bytes to an NTCP endpoint's receive path over a socket pair,
// with one request waiting for a reply, and drains whatever it answers.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "nk_ntcp.h"

namespace {

struct Sink : INK_ntcpCallback {
    void onNtcpConnect(u32) override {}
    void onNtcpReceive(u32, const tNTCP_packet* p) override {
        // Touch every byte the endpoint claims to hand over.
        volatile u8 x = 0;
        for (u32 i = 0; i < p->header.PLEN; ++i) x = static_cast<u8>(x ^ p->payload[i]);
    }
    void onNtcpClose(u32) override {}
};

// Writes the input and reads the replies at the same time, so neither side can
// block the other; returns when the endpoint has closed its end.
void pump(int fd, const uint8_t* data, size_t size) {
    size_t sent = 0;
    bool writing = true;
    if (size == 0) {
        shutdown(fd, SHUT_WR);
        writing = false;
    }
    char sink[4096];
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 5000) <= 0) return;
        if (writing && (p.revents & POLLOUT)) {
            const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) writing = false;
            if (sent == size) {
                shutdown(fd, SHUT_WR);
                writing = false;
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(fd, sink, sizeof(sink), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Sink sink;
    // Report lines of every closed link would only slow the run down.
    static CNK_logManager* quiet = [] {
        auto* lm = new CNK_logManager;
        lm->setVerboseLevel(kVL0);
        return lm;
    }();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;

    // The first four bytes name the control code of the waiting request.
    u32 ctrl = 0x61626364;
    if (size >= 4) {
        std::memcpy(&ctrl, data, 4);
        if (ctrl == 0) ctrl = 0x61626364;
        data += 4;
        size -= 4;
    }
    {
        CNK_ntcp ep(quiet);
        ep.setMaxPayloadLength(1 << 16);
        ep.setPacketTimeout(2000);
        if (ep.Append(sv[0], &sink) != 0) {
            close(sv[0]);
            close(sv[1]);
            return 0;
        }
        std::thread requester([&ep, ctrl] {
            tNTCP_packet* reply = nullptr;
            if (ep.SendRequest(ctrl, "?", 1, &reply, 2000, kVL6) == 0) std::free(reply);
        });
        pump(sv[1], data, size);
        requester.join();
    }
    close(sv[1]);
    return 0;
}
