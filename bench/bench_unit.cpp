// The station's CPU per unit: the headless program on loopback, sixteen test
// cells each sending one whole unit at once ("tscr", "atst" with its six charts,
// "unif", "tsed"), the program's own user + system time shared out over the units.
// The time column is that CPU time per unit (manual time), not the wall time.
//
// NK_BENCH_STATION names another station program, NK_BENCH_BASELINE_STATION a
// second one measured in the same run ("ratio ... / baseline"); with
// NK_BENCH_KEEP=folder each program's log root is kept there for comparing files.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
const char* stationPath() {
    const char* e = std::getenv("NK_BENCH_STATION");
    return e && *e ? e : NK_BENCH_LUMBREL;
}
const char* g_path = nullptr;  // the program the next LumbrelProcess starts
const char* spawnPath() { return g_path ? g_path : stationPath(); }
}  // namespace
#define NK_LUMBREL_PATH spawnPath()

#include "bench_ratio.h"
#include "lumbrel_process.h"
#include "net_test_util.h"
#include "station_peer.h"
#include "unit_tester.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

constexpr int kCells = 16;

// User + system seconds of a process so far, its ended threads included.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = all.rfind(')');
    if (close == std::string::npos) return -1.0;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// One headless station for the whole run of a benchmark.
struct Station {
    std::unique_ptr<nktest::TempDir> tmp;
    fs::path root;
    uint16_t port = 0;
    std::unique_ptr<nktest::LumbrelProcess> process;
    pid_t pid = -1;

    Station(const char* program, const std::string& tag) {
        tmp = std::make_unique<nktest::TempDir>();
        const char* keep = std::getenv("NK_BENCH_KEEP");
        root = keep && *keep ? fs::path(keep) / tag : tmp->path();
        fs::create_directories(root / "logs");
        fs::create_directories(root / "data");
        g_path = program;
        for (int attempt = 0; attempt < 5 && !process; ++attempt) {
            port = nettest::freePort();
            auto p = std::make_unique<nktest::LumbrelProcess>(
                tmp->path().string(),
                std::vector<std::string>{"--headless", "--port", std::to_string(port), "--log-root",
                                         (root / "logs").string(), "--data-root", (root / "data").string(),
                                         "--no-submission"},
                std::vector<std::string>{"QT_QPA_PLATFORM=offscreen"});
            if (p->started() && p->waitForOutput("Data Server Launched")) process = std::move(p);
        }
        g_path = nullptr;
        if (process) pid = process->pid();
    }
    ~Station() {
        if (process) process->stop();
    }
};

// A serial number of the test format, unique within the run.
std::string serialFor(int n) {
    std::string head = "AAA";
    for (int i = 2; i >= 0; --i, n /= 26) head[size_t(i)] = char('A' + n % 26);
    return serial("Q2A5", head);
}

// One unit through a cell; true when every step was answered with success.
bool runUnit(uint16_t port, int cell, const std::string& sn) {
    const int fd = nettest::rawConnect(port);
    if (fd < 0) return false;
    const std::string name = "Cell" + std::to_string(cell);
    bool ok = exchange(fd, "tscr", 1, tscrPayload(name, u8(cell), sn), 60000).header.errc == 0;
    ok = ok && postReply(exchange(fd, "atst", 2, atstPayload(3), 60000)).code == 0;
    ok = ok && postReply(exchange(fd, "unif", 3, unifPayload(), 60000)).code == 0;
    const PostReply end = postReply(exchange(fd, "tsed", 4, Bytes{1}, 60000));
    ok = ok && end.ok && end.bin == 'P';
    close(fd);
    return ok;
}

void runCells(benchmark::State& state, const char* program, const std::string& tag) {
    static int serials = 0;
    Station station(program, tag);
    if (!station.process) {
        state.SkipWithError("the station did not launch");
        return;
    }
    double cpu = 0, units = 0;
    for (auto _ : state) {
        const double before = cpuSeconds(station.pid);
        std::vector<std::thread> cells;
        std::vector<char> ok(kCells, 0);
        for (int c = 0; c < kCells; ++c)
            cells.emplace_back([&, c, sn = serialFor(serials++)] { ok[size_t(c)] = runUnit(station.port, c + 1, sn); });
        for (std::thread& t : cells) t.join();
        const double used = cpuSeconds(station.pid) - before;
        for (char o : ok)
            if (!o) state.SkipWithError("a unit failed");
        state.SetIterationTime(used / kCells);
        cpu += used;
        units += kCells;
    }
    state.counters["cpu_s_per_unit"] = units > 0 ? cpu / units : 0;
}

void BM_unit(benchmark::State& state) { runCells(state, stationPath(), "station"); }
BENCHMARK(BM_unit)->Unit(benchmark::kMillisecond)->Iterations(4)->UseManualTime();

void BM_unitBaseline(benchmark::State& state) {
    const char* base = std::getenv("NK_BENCH_BASELINE_STATION");
    if (!base || !*base) {
        state.SkipWithError("NK_BENCH_BASELINE_STATION not set");
        for (auto _ : state) {
        }
        return;
    }
    runCells(state, base, "baseline");
}
BENCHMARK(BM_unitBaseline)->Unit(benchmark::kMillisecond)->Iterations(4)->UseManualTime();

}  // namespace

int main(int argc, char** argv) { return nkbench::runWithRatios(argc, argv, {{"BM_unit", "BM_unitBaseline"}}); }
