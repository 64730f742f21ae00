// ZTCP command round trips on loopback, 1 or 16 connections at once, against one
// raw device that answers every runc with an rsps of the same seq and payload:
//   ZtcpHandler  ZGH_SendCommand from one handler per connection
//   RawClient    the same bytes through a plain blocking socket (the floor)
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ZelkZtcpHandler.h"
#include "bench_ratio.h"
#include "net_test_util.h"
#include "ztcp_device_sim.h"

namespace {

using ztcptest::Bytes;

bool readAll(int fd, void* buf, size_t n) {
    auto* p = static_cast<UInt8*>(buf);
    while (n > 0) {
        const ssize_t k = recv(fd, p, n, 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Reads one packet's bytes: the header, then the payload and its checksum.
bool readPacketBytes(int fd, Bytes& out) {
    out.resize(16);
    if (!readAll(fd, out.data(), 16)) return false;
    UInt32 length;
    std::memcpy(&length, out.data() + 10, 4);
    if (length == 0) return true;
    out.resize(16 + size_t(length) + 1);
    return readAll(fd, out.data() + 16, size_t(length) + 1);
}

// The device: one thread per connection answers each command with its own payload.
struct EchoDevice {
    nettest::RawListener listener;
    std::thread acceptor;
    std::vector<std::thread> workers;  // touched by the acceptor until it is joined
    std::vector<int> fds;
    explicit EchoDevice(int connections) {
        acceptor = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                const int fd = listener.accept();
                if (fd < 0) return;
                fds.push_back(fd);
                workers.emplace_back([fd] {
                    Bytes in;
                    while (readPacketBytes(fd, in)) {
                        // The reply is the request with control rsps: only the header changes.
                        const UInt32 rsps = kZTCP_CTRL_RESPONSE;
                        std::memcpy(in.data() + 6, &rsps, 4);
                        unsigned sum = 0;
                        for (int b = 0; b < 15; ++b) sum += in[b];
                        in[15] = static_cast<UInt8>(~sum);
                        if (!nettest::sendAll(fd, in)) break;
                    }
                });
            }
        });
    }
    ~EchoDevice() {
        acceptor.join();
        for (int fd : fds) shutdown(fd, SHUT_RDWR);
        for (auto& t : workers) t.join();
        for (int fd : fds) close(fd);
    }
};

int roundsFor(size_t payload) {
    const size_t rounds = (4u << 20) / (payload + 64);
    return static_cast<int>(std::max<size_t>(4, std::min<size_t>(rounds, 400)));
}

template <typename Fn>
void runConnections(benchmark::State& state, int connections, int rounds, Fn roundTrip) {
    std::atomic<bool> failed{false};
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int c = 0; c < connections; ++c)
            threads.emplace_back([&, c] {
                for (int r = 0; r < rounds && !failed; ++r)
                    if (!roundTrip(c)) failed = true;
            });
        for (auto& t : threads) t.join();
    }
    if (failed) state.SkipWithError("round trip failed");
    state.SetItemsProcessed(state.iterations() * connections * rounds);
}

Bytes payloadOf(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<UInt8>('a' + i % 26);
    return b;
}

void BM_ZtcpHandler(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    const Bytes body = payloadOf(static_cast<size_t>(state.range(1)));
    EchoDevice device(connections);
    std::vector<iZelk_ZtcpHandler*> handlers;
    for (int c = 0; c < connections; ++c) {
        handlers.push_back(ZGH_Create(nullptr));
        ZGH_Connect(handlers.back(), "127.0.0.1", device.listener.port);
    }
    runConnections(state, connections, roundsFor(body.size()), [&](int c) {
        tZTCP_header* reply = nullptr;
        const SInt32 rc = ZGH_SendCommand(handlers[c], kZTCP_CTRL_RUN_COMMAND, body.data(),
                                          static_cast<UInt32>(body.size()), &reply, 10000);
        const bool ok = rc == 0 && reply->length == body.size();
        std::free(reply);
        return ok;
    });
    for (auto*& h : handlers) ZGH_Delete(&h);
}

void BM_RawClient(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    const Bytes body = payloadOf(static_cast<size_t>(state.range(1)));
    EchoDevice device(connections);
    std::vector<int> fds;
    for (int c = 0; c < connections; ++c) fds.push_back(nettest::rawConnect(device.listener.port));
    std::vector<Bytes> replies(connections);
    std::vector<UInt8> seqs(connections, 0);
    runConnections(state, connections, roundsFor(body.size()), [&](int c) {
        // Built per round like the handler's packet, so both sides pay for framing.
        seqs[c] = static_cast<UInt8>(seqs[c] == 255 ? 1 : seqs[c] + 1);
        const Bytes request = ztcptest::packet(kZTCP_CTRL_RUN_COMMAND, body, seqs[c]);
        return nettest::sendAll(fds[c], request) && readPacketBytes(fds[c], replies[c]) &&
               replies[c].size() == request.size();
    });
    for (int fd : fds) close(fd);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int connections : {1, 16})
        for (int payload : {16, 4096}) b->Args({connections, payload});
    b->ArgNames({"conns", "bytes"})->UseRealTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_RawClient)->Apply(sizes);
BENCHMARK(BM_ZtcpHandler)->Apply(sizes);

int main(int argc, char** argv) {
    std::vector<nkbench::Ratio> pairs;
    for (const char* args : {"conns:1/bytes:16", "conns:1/bytes:4096", "conns:16/bytes:16", "conns:16/bytes:4096"})
        pairs.push_back({std::string("BM_ZtcpHandler/") + args, std::string("BM_RawClient/") + args});
    return nkbench::runWithRatios(argc, argv, pairs);
}
