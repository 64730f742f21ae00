// The station's CPU per unit: the headless program on loopback, sixteen test
// cells each sending one whole unit at once ("tscr", "atst" with its six charts,
// "unif", "tsed"), the program's own user + system time shared out over the units.
// The time column is that CPU time per unit (manual time), not the wall time.
//
// NK_BENCH_STATION names another station program, NK_BENCH_BASELINE_STATION a
// second one measured in the same run ("ratio ... / baseline"); with
// NK_BENCH_KEEP=folder each program's log root is kept there for comparing files.
// NK_BENCH_CELLS=n runs n cells in place of sixteen, which a station under a
// profiler (a wrapper script as NK_BENCH_STATION) can answer within the testers' waits.
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

int cellCount() {
    const char* e = std::getenv("NK_BENCH_CELLS");
    const int n = e && *e ? std::atoi(e) : 16;
    return n >= 1 && n <= 64 ? n : 16;
}
const int kCells = cellCount();

// CPU seconds (user, system) and minor page faults of a process so far, its
// ended threads included.
struct Usage {
    double user = -1, sys = -1, faults = -1;
    double cpu() const { return user + sys; }
};
Usage usageOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = all.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0, minflt = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 10) minflt = std::stoull(field);
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    const double tick = double(sysconf(_SC_CLK_TCK));
    return {double(utime) / tick, double(stime) / tick, double(minflt)};
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
                                         "--repository-dry-run", "--no-submission"},
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

// The repository record the unit's check reads: its own transmittance table as a
// record in the cell's data folder, as the tester's line has it ready.
void placeRecord(const fs::path& logs, const std::string& cellName, const std::string& sn) {
    fs::path table;
    std::vector<fs::path> folders;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(logs, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string n = it->path().filename().string();
        if (n == sn + "_atst_trans.csv") table = it->path();
        if (n.rfind("VDXData_", 0) == 0 && n.size() > cellName.size() &&
            n.compare(n.size() - cellName.size() - 1, std::string::npos, "_" + cellName) == 0)
            folders.push_back(it->path());
    }
    if (table.empty()) return;
    const std::vector<u8> rec = ctclRecordFromTable(table.string(), sn, 2);
    for (const fs::path& f : folders) nktest::writeFile((f / (sn + "_CtCl.bin")).string(), std::string(rec.begin(), rec.end()));
}

// One unit through a cell; empty when every step was answered with success,
// else what went wrong first.
std::string runUnit(uint16_t port, const fs::path& logs, int cell, const std::string& sn) {
    const int fd = nettest::rawConnect(port);
    if (fd < 0) return "no connection";
    const std::string name = "Cell" + std::to_string(cell);
    std::string failed;
    const Reply start = exchange(fd, "tscr", 1, tscrPayload(name, u8(cell), sn), 60000);
    if (!start.ok || start.header.errc != 0) failed = "tscr " + std::to_string(start.header.errc);
    if (failed.empty())
        if (const PostReply r = postReply(exchange(fd, "atst", 2, atstPayload(3), 60000)); r.code != 0)
            failed = "atst " + std::to_string(r.code) + " " + r.text;
    if (failed.empty()) placeRecord(logs, name, sn);
    if (failed.empty())
        if (const PostReply r = postReply(exchange(fd, "unif", 3, unifPayload(), 60000)); r.code != 0)
            failed = "unif " + std::to_string(r.code) + " " + r.text;
    if (failed.empty())
        if (const PostReply r = postReply(exchange(fd, "tsed", 4, Bytes{1}, 60000)); !r.ok || r.bin != 'P')
            failed = "tsed " + std::to_string(r.code) + " " + r.text + " bin " + std::string(1, r.bin);
    close(fd);
    return failed;
}

void runCells(benchmark::State& state, const char* program, const std::string& tag) {
    int serials = 0;  // the same serial numbers in every run, so that two programs' files compare
    Station station(program, tag);
    if (!station.process) {
        state.SkipWithError("the station did not launch");
        return;
    }
    double cpu = 0, sys = 0, faults = 0, units = 0;
    for (auto _ : state) {
        const Usage before = usageOf(station.pid);
        std::vector<std::thread> cells;
        std::vector<std::string> failed(kCells);
        for (int c = 0; c < kCells; ++c)
            cells.emplace_back(
                [&, c, sn = serialFor(serials++)] { failed[size_t(c)] = runUnit(station.port, station.root / "logs", c + 1, sn); });
        for (std::thread& t : cells) t.join();
        const Usage after = usageOf(station.pid);
        const double used = after.cpu() - before.cpu();
        for (const std::string& f : failed)
            if (!f.empty()) {
                state.SkipWithError(("a unit failed: " + f).c_str());
                break;
            }
        state.SetIterationTime(used / kCells);
        cpu += used;
        sys += after.sys - before.sys;
        faults += after.faults - before.faults;
        units += kCells;
    }
    state.counters["cpu_s_per_unit"] = units > 0 ? cpu / units : 0;
    // The kernel's share: page faults of fresh memory, thread wake-ups.
    state.counters["sys_s_per_unit"] = units > 0 ? sys / units : 0;
    state.counters["faults_per_unit"] = units > 0 ? faults / units : 0;
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
