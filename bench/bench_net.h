// What the loopback round-trip benchmarks share: whole reads from a blocking socket, a raw
// peer that serves each connection on a thread of its own, and the rounds every connection
// runs per iteration.
#pragma once

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "net_test_util.h"

namespace nkbench {

inline bool readAll(int fd, void* buf, size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        const ssize_t k = recv(fd, p, n, 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Takes `connections` connections on its listener and runs serve(fd) for each on a
// thread of its own; the end shuts them down, so every serve returns.
struct RawPeer {
    nettest::RawListener listener;
    std::thread acceptor;
    std::vector<std::thread> workers;  // touched by the acceptor until it is joined
    std::vector<int> fds;
    RawPeer(int connections, std::function<void(int)> serve) {
        acceptor = std::thread([this, connections, serve = std::move(serve)] {
            for (int i = 0; i < connections; ++i) {
                const int fd = listener.accept();
                if (fd < 0) return;
                fds.push_back(fd);
                workers.emplace_back(serve, fd);
            }
        });
    }
    ~RawPeer() {
        acceptor.join();
        for (int fd : fds) shutdown(fd, SHUT_RDWR);
        for (auto& t : workers) t.join();
        for (int fd : fds) close(fd);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;
};

// Round trips per connection and iteration: about 4 MiB each, 4 to 400.
inline int roundsFor(size_t payload) {
    const size_t rounds = (4u << 20) / (payload + 64);
    return static_cast<int>(std::max<size_t>(4, std::min<size_t>(rounds, 400)));
}

// Runs `rounds` round trips on every connection at once per benchmark iteration.
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

}  // namespace nkbench
