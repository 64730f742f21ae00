// The framework serial port on a pty: lines read to an expected ending per second
// beside a plain read loop on the same line, and the CPU a read spends waiting for
// nothing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "ZelkSerialPort.h"
#include "pty_test_util.h"
#include "usb/pf_usb.h"

namespace {

const char kLine[] = "VAL 12.3456,OK\r\n";

// Keeps the master fed with lines until stopped; the pty's buffer paces it.
class Feeder {
public:
    explicit Feeder(int master) : master_(master), t_([this] { run(); }) {}
    ~Feeder() {
        stop_ = true;
        t_.join();
    }

private:
    void run() {
        std::string block;
        for (int i = 0; i < 64; ++i) block += kLine;
        size_t off = 0;
        while (!stop_) {
            pollfd p{master_, POLLOUT, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t w = write(master_, block.data() + off, block.size() - off);
            if (w > 0) off = (off + static_cast<size_t>(w)) % block.size();
        }
    }
    int master_;
    std::atomic<bool> stop_{false};
    std::thread t_;
};

iZelk_SerialPort* openPort(const nktest::PtyPair& pty) {
    pf::usb::useSimulated(true);
    pf::usb::sim::setTtyList({{pty.path(), "pty"}});
    return ZSRP_Create(nullptr, pty.path().c_str(), 115200, 0, 256, 2);
}

void BM_ReadToExpectLines(benchmark::State& state) {
    nktest::PtyPair pty;
    iZelk_SerialPort* port = openPort(pty);
    if (!port) {
        state.SkipWithError("no port");
        return;
    }
    Feeder feeder(pty.master());
    char buf[256];
    for (auto _ : state) {
        UInt32 size = sizeof(buf);
        if (ZSRP_ReadToExpect(port, "\r\n", buf, &size) != 0) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(buf);
    }
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    ZSRP_Delete(&port);
}
BENCHMARK(BM_ReadToExpectLines)->UseRealTime();

// The same lines through read() in chunks, split at the line ends.
void BM_PlainReadLines(benchmark::State& state) {
    nktest::PtyPair pty;
    const int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    Feeder feeder(pty.master());
    std::string pending;
    char chunk[4096];
    for (auto _ : state) {
        size_t end;
        while ((end = pending.find("\r\n")) == std::string::npos) {
            const ssize_t r = read(fd, chunk, sizeof(chunk));
            if (r > 0) pending.append(chunk, static_cast<size_t>(r));
        }
        pending.erase(0, end + 2);
        benchmark::DoNotOptimize(pending);
    }
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    close(fd);
}
BENCHMARK(BM_PlainReadLines)->UseRealTime();

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A 1 s read that nothing answers: the share of a core it takes.
void BM_WaitForNothing(benchmark::State& state) {
    nktest::PtyPair pty;
    iZelk_SerialPort* port = openPort(pty);
    if (!port) {
        state.SkipWithError("no port");
        return;
    }
    ZSRP_SetReadTimeOutMilliSec(port, 1000);
    char buf[64];
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double c0 = threadCpuSeconds();
        const auto w0 = std::chrono::steady_clock::now();
        UInt32 size = sizeof(buf);
        benchmark::DoNotOptimize(ZSRP_ReadToExpect(port, "\r\n", buf, &size));
        cpu += threadCpuSeconds() - c0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    }
    state.counters["cpu_%_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0;
    ZSRP_Delete(&port);
}
BENCHMARK(BM_WaitForNothing)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
