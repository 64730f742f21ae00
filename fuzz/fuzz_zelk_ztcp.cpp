// Feeds arbitrary bytes to a ZTCP handler's receive path over a loopback
// connection, with one command waiting for its response, and drains whatever the
// handler answers (error 22 for damaged packets).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <thread>

#include "ZelkZtcpHandler.h"
#include "socket_pump.h"

namespace {

struct Sink : iZelk_ZtcpHandlerEventSink {
    void OnZhConnect(SInt32) override {}
    void OnZhReceive(SInt32, const tZTCP_header* h, const UInt8* payload) override {
        // Touch every byte the handler claims to hand over, and its terminator.
        volatile UInt8 x = 0;
        if (payload)
            for (UInt32 i = 0; i <= h->length; ++i) x = static_cast<UInt8>(x ^ payload[i]);
    }
    void OnZhClose(SInt32) override {}
};

int listener() {
    static int fd = [] {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(s, 8);
        return s;
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Sink sink;
    const int l = listener();
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    const int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(peer);
        return 0;
    }
    const int fd = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    iZelk_ZtcpHandler* h = ZGH_Create(nullptr);
    ZGH_SetMaxPayload(h, 1 << 16);
    if (fd < 0 || ZGH_AppendAsync(h, fd, &sink, nullptr, nullptr, nullptr, nullptr) != 0) {
        ZGH_Delete(&h);
        close(peer);
        return 0;
    }
    std::thread requester([h] {
        tZTCP_header* reply = nullptr;
        if (ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "?", 1, &reply, 50) == 0) std::free(reply);
    });
    fuzzpeer::pump(peer, data, size);
    requester.join();
    ZGH_Delete(&h);
    close(peer);
    return 0;
}
