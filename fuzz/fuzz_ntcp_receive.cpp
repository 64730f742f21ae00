// Feeds arbitrary bytes to an NTCP endpoint's receive path over a socket pair,
// with one request waiting for a reply, and drains whatever it answers.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "nk_ntcp.h"
#include "socket_pump.h"

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
        fuzzpeer::pump(sv[1], data, size);
        requester.join();
    }
    close(sv[1]);
    return 0;
}
