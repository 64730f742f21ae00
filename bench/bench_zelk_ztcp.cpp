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
#include "bench_net.h"
#include "bench_ratio.h"
#include "net_test_util.h"
#include "ztcp_device_sim.h"

namespace {

using nkbench::readAll;
using nkbench::roundsFor;
using nkbench::runConnections;
using ztcptest::Bytes;

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
void answerCommands(int fd) {
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
}

Bytes payloadOf(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<UInt8>('a' + i % 26);
    return b;
}

void BM_ZtcpHandler(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    const Bytes body = payloadOf(static_cast<size_t>(state.range(1)));
    nkbench::RawPeer device(connections, answerCommands);
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
    nkbench::RawPeer device(connections, answerCommands);
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
