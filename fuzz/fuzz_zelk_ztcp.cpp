// Feeds arbitrary bytes to a ZTCP handler's receive path over a loopback
// connection, with one command waiting for its response, and drains whatever the
// handler answers (error 22 for damaged packets).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "ZelkZtcpHandler.h"

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

// Writes the input and reads the replies at the same time, so neither side can
// block the other; returns when the handler has closed its end.
void pump(int fd, const uint8_t* data, size_t size) {
    size_t sent = 0;
    bool writing = size > 0;
    if (!writing) shutdown(fd, SHUT_WR);
    char drain[4096];
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
            const ssize_t n = recv(fd, drain, sizeof(drain), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
        }
    }
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
    pump(peer, data, size);
    requester.join();
    ZGH_Delete(&h);
    close(peer);
    return 0;
}
