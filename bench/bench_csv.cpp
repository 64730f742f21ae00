// Loading a 100 MB station CSV log and computing its column statistics, beside
// pandas read_csv + describe on the same file, both timed by this harness; then
// the peak memory of each, in a process of its own (printed as "peak ...").
//
// What the table reader taught, for a reader of logs this size (the statistics
// tool's model among them). Profiles of CNK_csv on this file:
// - One std::string per cell in one vector per row was the largest cost (about
//   a third of the load) and most of the memory: 32 bytes of string per cell
//   against its ten or so digits, plus a vector per row. CNK_csv hands these rows
//   out (getStrRows) and keeps them; a new model should keep the file's text once
//   and let rows be offsets into it (or views), which is both faster and smaller.
// - Reading the file into a zero-filled buffer cost about a quarter of the load:
//   the fill touches every page once more. Read into memory that is not filled
//   first (nkFile_readFileUnfilled; CNK_csv does now).
// - One vector<double> per row was about a fifth: convert the numbers once into
//   storage by column when statistics follow, one allocation per column.
// - The column statistics copied every value (about a fifth): with columns
//   stored whole, the figures read them in place.
// - Cutting rows, reading their numbers and summing columns in up to four parts
//   side by side took the wall time of a load down by about 40 %. A part of the
//   text starts just after a '\n' (a row always starts there), the numbers go by
//   ranges of rows into the sized table, the figures by columns: results stay bit
//   for bit. The threads' allocations come from malloc's per-thread arenas, which
//   are handed back and faulted in again on every load of a process that loads
//   repeatedly: CPU per repeated load went up about a fifth while instructions
//   fell a third. Count the CPU of the whole process (cpu_seconds), not of the
//   timing thread.
// - Most cells are plain decimals: the integer of their digits over a power of
//   ten, both exact below 16 digits, is the very double from_chars gives, for a
//   fraction of its cost.
// - Peak memory is what a user meets: it is measured here as the peak resident
//   size of a process that only loads and summarises, beside pandas' process
//   (whose interpreter and import alone are given too).
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

#include "bench_ratio.h"
#include "nk_csv.h"

namespace {

constexpr int kColumns = 40;
constexpr size_t kTargetBytes = 100u * 1024 * 1024;

// One log in the system's temporary folder, made once per run and removed at exit.
struct LogFile {
    std::string path;
    size_t rows = 0;

    LogFile() {
        char dir[] = "/tmp/nkbench-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        path = std::string(dir) + "/station_log.csv";
        FILE* fp = std::fopen(path.c_str(), "w");
        if (!fp) std::abort();
        std::string head = "CG-Station,2.1.0,\nSerialNumber,";
        std::string upper = "Upper Limit ----->,", lower = "Lower Limit ----->,", unit = "Measurement Unit ----->,";
        for (int c = 0; c < kColumns; ++c) {
            head += "Item" + std::to_string(c) + ",";
            upper += std::to_string(100 + c) + ",";
            lower += std::to_string(c) + ",";
            unit += "mm,";
        }
        std::fprintf(fp, "%s\n%s\n%s\n%s\n", head.c_str(), upper.c_str(), lower.c_str(), unit.c_str());
        std::mt19937_64 rng(7);
        std::normal_distribution<double> dist(50.0, 12.0);
        size_t bytes = 0;
        char cell[64];
        while (bytes < kTargetBytes) {
            std::string line = "SN" + std::to_string(1000000 + rows) + ",";
            for (int c = 0; c < kColumns; ++c) {
                std::snprintf(cell, sizeof(cell), "%.6f,", dist(rng) + c);
                line += cell;
            }
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), fp);
            bytes += line.size();
            ++rows;
        }
        std::fclose(fp);
    }
    ~LogFile() { std::filesystem::remove_all(std::filesystem::path(path).parent_path()); }
};

const LogFile& logFile() {
    static LogFile file;
    return file;
}

// CPU seconds of the whole process, every thread's included.
double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_nerrakitLoadAndColumnStats(benchmark::State& state) {
    const LogFile& f = logFile();
    // The load works in parallel parts: its CPU is the process's, not the timing thread's.
    double cpuTotal = 0.0;
    for (auto _ : state) {
        const double cpu0 = processCpuSeconds();
        {
            CNK_csv table;
            if (table.load(f.path) != 0) state.SkipWithError("load failed");
            table.calculate_col_stat();
            benchmark::DoNotOptimize(table.getColStat().data());
            if (table.getStrRows().size() != f.rows) state.SkipWithError("row count");
        }
        cpuTotal += processCpuSeconds() - cpu0;
    }
    state.counters["cpu_seconds"] = benchmark::Counter(cpuTotal, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * std::filesystem::file_size(f.path)));
}
BENCHMARK(BM_nerrakitLoadAndColumnStats)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_stationReaderLoad(benchmark::State& state) {
    const LogFile& f = logFile();
    for (auto _ : state) {
        CNK_csvParser parser;
        if (parser.load(f.path.c_str(), kVL6) != 0) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(parser.getDataRow());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * std::filesystem::file_size(f.path)));
}
BENCHMARK(BM_stationReaderLoad)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// pandas in Debian's interpreter: the interpreter start and the import are not
// timed; the script reports the seconds of read_csv + describe alone, wall and CPU.
void BM_pandasReadCsvAndDescribe(benchmark::State& state) {
    const LogFile& f = logFile();
    const std::string cmd =
        "/usr/bin/python3 -c \""
        "import sys,time,pandas as pd\n"
        "t=time.perf_counter()\n"
        "c=time.process_time()\n"
        "df=pd.read_csv(sys.argv[1],skiprows=[0,2,3,4])\n"
        "d=df.describe()\n"
        "print(time.perf_counter()-t, time.process_time()-c, len(df))\n"
        "\" " + f.path;
    double cpuTotal = 0.0;
    for (auto _ : state) {
        FILE* p = popen(cmd.c_str(), "r");
        double seconds = -1.0, cpu = 0.0;
        unsigned long rows = 0;
        if (!p || std::fscanf(p, "%lf %lf %lu", &seconds, &cpu, &rows) != 3 || seconds < 0) {
            if (p) pclose(p);
            state.SkipWithError("pandas not available");
            break;
        }
        pclose(p);
        if (rows != f.rows) state.SkipWithError("pandas row count");
        state.SetIterationTime(seconds);
        cpuTotal += cpu;
    }
    state.counters["cpu_seconds"] = benchmark::Counter(cpuTotal, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * std::filesystem::file_size(f.path)));
}
BENCHMARK(BM_pandasReadCsvAndDescribe)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

// Peak resident size of a child that loads the log and computes the statistics once, in MB.
double nerrakitPeakMb() {
    const LogFile& f = logFile();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        CNK_csv table;
        const bool ok = table.load(f.path) == 0;
        table.calculate_col_stat();
        _exit(ok && table.getStrRows().size() == f.rows ? 0 : 1);
    }
    int status = 0;
    struct rusage use {};
    if (pid < 0 || wait4(pid, &status, 0, &use) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return double(use.ru_maxrss) / 1024.0;
}

// The same for pandas: the interpreter's peak with and without the load.
bool pandasPeakMb(double& withLoad, double& interpreter) {
    const std::string cmd =
        "/usr/bin/python3 -c \""
        "import sys,resource,pandas as pd\n"
        "base=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "df=pd.read_csv(sys.argv[1],skiprows=[0,2,3,4])\n"
        "d=df.describe()\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss/1024, base/1024)\n"
        "\" " + logFile().path;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    const bool ok = std::fscanf(p, "%lf %lf", &withLoad, &interpreter) == 2;
    pclose(p);
    return ok;
}

// The column figures in hexadecimal, so that two builds can be seen to agree bit for bit.
void printColumnFigures() {
    CNK_csv table;
    if (table.load(logFile().path) != 0) return;
    table.calculate_col_stat();
    unsigned long long h = 1469598103934665603ull;
    auto mix = [&](double v) {
        unsigned long long b;
        std::memcpy(&b, &v, 8);
        h = (h ^ b) * 1099511628211ull;
    };
    for (const t_nkCsvColStat& s : table.getColStat()) {
        for (double v : {s.max, s.min, s.mean, s.stdev, s.cpl, s.cpu, s.cpk, s.yield}) mix(v);
        for (double v : s.values) mix(v);
    }
    for (const auto& row : table.getStrRows())
        for (const std::string& cell : row)
            for (char c : cell) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    std::printf("column figures fnv1a %016llx\n", h);
}

}  // namespace

int main(int argc, char** argv) {
    printColumnFigures();
    const double ours = nerrakitPeakMb();
    double pandas = -1, interpreter = -1;
    pandasPeakMb(pandas, interpreter);
    std::printf("peak resident MB: load + column statistics %.0f; pandas %.0f (its interpreter and import alone %.0f)\n",
                ours, pandas, interpreter);
    return nkbench::runWithRatios(argc, argv, {{"BM_nerrakitLoadAndColumnStats", "BM_pandasReadCsvAndDescribe", true}});
}
