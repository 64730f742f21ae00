// Request/reply round trips on loopback, 1 or 16 connections at once:
//   RawClient_NtcpServer  raw-socket NTCP clients against CNK_serverSocket + CNK_ntcp (SendResponse)
//   NtcpClient_NtcpServer CNK_ntcp::SendRequest clients against the same server
//   RawClient_PlainEcho   the same bytes through a plain blocking-socket echo (the floor)
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "net_test_util.h"
#include "nk_ntcp.h"

namespace {

using Bytes = std::vector<u8>;
using nkbench::RawPeer;
using nkbench::readAll;
using nkbench::roundsFor;

// Round trips as the shared runner does them, with the connection count in the table.
template <typename Fn>
void runConnections(benchmark::State& state, int connections, int rounds, Fn roundTrip) {
    nkbench::runConnections(state, connections, rounds, roundTrip);
    state.counters["conns"] = connections;
}
constexpr u32 kCtrl = 0x6563686F;  // 'echo'

Bytes requestBytes(size_t payload, u8 seqn) {
    nettest::RawPacket packet;
    packet.ctrl = kCtrl;
    packet.seqn = seqn;
    packet.payload.resize(payload);
    for (size_t i = 0; i < payload; ++i) packet.payload[i] = static_cast<u8>(i * 7);
    return packet.bytes();
}

// One raw round trip: the request out, a whole packet back.
bool rawRoundTrip(int fd, const Bytes& request, Bytes& reply) {
    if (!nettest::sendAll(fd, request)) return false;
    tNTCP_header h;
    if (!readAll(fd, &h, sizeof(h))) return false;
    reply.resize(h.PLEN);
    return h.PLEN == 0 || readAll(fd, reply.data(), h.PLEN);
}

// The floor: a blocking echo of whole packets, one thread per connection.
void echoWholePackets(int fd) {
    Bytes buf;
    tNTCP_header h;
    while (readAll(fd, &h, sizeof(h))) {
        buf.resize(sizeof(h) + h.PLEN);
        std::memcpy(buf.data(), &h, sizeof(h));
        if (!readAll(fd, buf.data() + sizeof(h), h.PLEN)) break;
        if (!nettest::sendAll(fd, buf)) break;
    }
}

// The library's server road: a listener handing connections to idle NTCP
// endpoints, each answering with SendResponse.
struct NtcpServer : INK_serverSocketCallback {
    struct Echo : INK_ntcpCallback {
        CNK_ntcp* ep = nullptr;
        void onNtcpConnect(u32) override {}
        void onNtcpReceive(u32, const tNTCP_packet* p) override {
            const int n = p->header.PLEN ? static_cast<int>(p->header.PLEN - 1) : 0;
            ep->SendResponse(&p->header, 0, p->payload, n, kVL6);
        }
        void onNtcpClose(u32) override {}
    };
    std::vector<std::unique_ptr<Echo>> handlers;
    std::vector<std::unique_ptr<CNK_ntcp>> endpoints;
    CNK_serverSocket server;
    u16 port = 0;

    explicit NtcpServer(int n) {
        for (int i = 0; i < n; ++i) {
            handlers.emplace_back(new Echo);
            endpoints.emplace_back(new CNK_ntcp);
            handlers.back()->ep = endpoints.back().get();
            endpoints.back()->setCallback(handlers.back().get());
        }
        port = nettest::freePort();
        server.Launch(port, this);
    }
    ~NtcpServer() {
        for (auto& ep : endpoints) ep->Close();
    }
    u16 onAccept(u32) override {
        const int fd = server.Accept();
        if (fd < 0) return 0;
        for (auto& ep : endpoints)
            if (!ep->isRunning() && ep->Append(fd, nullptr) == 0) return 0;
        close(fd);
        return 0;
    }
    void onCloseServer(u32) override {}
};

void rawClients(benchmark::State& state, u16 port, int connections) {
    const size_t payload = static_cast<size_t>(state.range(1));
    std::vector<int> fds;
    for (int c = 0; c < connections; ++c) fds.push_back(nettest::rawConnect(port));
    const Bytes request = requestBytes(payload, 1);
    std::vector<Bytes> replies(connections);
    runConnections(state, connections, roundsFor(payload),
                   [&](int c) { return rawRoundTrip(fds[c], request, replies[c]); });
    for (int fd : fds) close(fd);
}

void BM_RawClient_NtcpServer(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    NtcpServer server(connections);
    rawClients(state, server.port, connections);
}

void BM_RawClient_PlainEcho(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    RawPeer echo(connections, echoWholePackets);
    rawClients(state, echo.listener.port, connections);
}

void BM_NtcpClient_NtcpServer(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    const size_t payload = static_cast<size_t>(state.range(1));
    NtcpServer server(connections);
    std::vector<std::unique_ptr<CNK_ntcp>> clients;
    for (int c = 0; c < connections; ++c) {
        clients.emplace_back(new CNK_ntcp);
        clients.back()->Connect("127.0.0.1", server.port, nullptr);
    }
    const Bytes body = Bytes(payload, 0x42);
    runConnections(state, connections, roundsFor(payload), [&](int c) {
        tNTCP_packet* reply = nullptr;
        const u16 rc = clients[c]->SendRequest(kCtrl, body.data(), static_cast<int>(body.size()), &reply, 10000, kVL6);
        std::free(reply);
        return rc == 0;
    });
    for (auto& c : clients) c->Close();
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int connections : {1, 16})
        for (int payload : {16, 4096, 1 << 20}) b->Args({connections, payload});
    b->ArgNames({"conns", "bytes"})->UseRealTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_RawClient_PlainEcho)->Apply(sizes);
BENCHMARK(BM_RawClient_NtcpServer)->Apply(sizes);
BENCHMARK(BM_NtcpClient_NtcpServer)->Apply(sizes);

BENCHMARK_MAIN();
