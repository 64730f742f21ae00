// Serial line over a pseudo-terminal: lines per second through the delimiter
// read beside a plain read loop on the same kind of line (the floor), and the
// processor time a read costs while it waits for nothing.
#include <benchmark/benchmark.h>

#include <termios.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "nk_serial.h"
#include "pty_test_util.h"

namespace {

constexpr char kLine[] = "+0012.345678 g OK\n";  // 18 bytes
static_assert(sizeof(kLine) - 1 == 18);

// Keeps the master fed with lines until stopped.
class Feeder {
public:
    explicit Feeder(const nktest::PtyPair& pty) : pty_(pty) {
        std::string block;
        for (int i = 0; i < 200; ++i) block += kLine;
        thread_ = std::thread([this, block] {
            while (!stop_) {
                pollfd p{pty_.master(), POLLOUT, 0};
                if (poll(&p, 1, 50) > 0) pty_.send(block);
            }
        });
    }
    ~Feeder() {
        stop_ = true;
        thread_.join();
    }

private:
    const nktest::PtyPair& pty_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_DelimiterReadLines(benchmark::State& state) {
    nktest::PtyPair pty;
    CNK_serial* port = CNK_serial::create(pty.path().c_str(), 115200, k_nkSerialFormat_8N1, 1);
    if (!port || port->Open() != 0) {
        state.SkipWithError("no port");
        return;
    }
    Feeder feeder(pty);
    char buf[64];
    for (auto _ : state) {
        u32 n = sizeof(buf);
        if (port->Read(buf, &n, const_cast<char*>("\n"), 2000, 0) != 0 || n != 18) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    delete port;
}
BENCHMARK(BM_DelimiterReadLines)->UseRealTime();

void BM_PlainReadLoopLines(benchmark::State& state) {
    nktest::PtyPair pty;
    termios t{};
    tcgetattr(pty.slave(), &t);
    cfmakeraw(&t);
    tcsetattr(pty.slave(), TCSANOW, &t);
    Feeder feeder(pty);
    char buf[4096];
    size_t pendingLines = 0;
    for (auto _ : state) {
        while (pendingLines == 0) {
            const ssize_t n = read(pty.slave(), buf, sizeof(buf));
            if (n <= 0) {
                state.SkipWithError("read failed");
                return;
            }
            for (ssize_t i = 0; i < n; ++i) pendingLines += buf[i] == '\n';
        }
        --pendingLines;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainReadLoopLines)->UseRealTime();

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A delimiter read that waits its whole second for nothing.
void BM_IdleReadCpu(benchmark::State& state) {
    nktest::PtyPair pty;
    CNK_serial* port = CNK_serial::create(pty.path().c_str(), 9600, k_nkSerialFormat_8N1, 1);
    if (!port || port->Open() != 0) {
        state.SkipWithError("no port");
        return;
    }
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        char buf[64];
        u32 n = sizeof(buf);
        const double c0 = threadCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        port->Read(buf, &n, const_cast<char*>("\n"), 1000, 0);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpu += threadCpuSeconds() - c0;
    }
    state.counters["cpu_percent_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0;
    delete port;
}
BENCHMARK(BM_IdleReadCpu)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
