// The statistics tool loading a station log of 10 and 100 MB, beside pandas
// read_csv of the same file, both timed by this harness.
//
// Where a load of this log spent its time, and what took it down (profiles and
// instruction counts of ZelkCsv on this file):
// - Reading each cell twice (a search for its end, then the number read again)
//   was the largest single cost: the cut now reads plain decimals as it goes.
// - Every stage that waits on memory row by row (repeats, time order, final
//   views, categories) was mostly cache misses: rows are fetched a few ahead, the
//   time order and final view are made once for both category passes, and the
//   passes group straight into their own arrays (no copies, less peak memory).
// - Single-threaded passes over the whole text (the read, the NUL check, the
//   normalisation, the line count, the parametric scan) ran while other cores
//   idled: they are done in parts side by side, or folded into a pass that was
//   already there. Fresh pages are cleared by the system on first touch, which
//   is a large share of a load's CPU; touching them from several threads divides it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <unistd.h>

#include "ZelkAlert.h"
#include "ZelkCsv.h"

namespace {

constexpr int kItems = 40;

// A log as a station writes it over days: config and tester columns, time
// stamps, 5 % retests and 5 % repeated rows, CR LF line ends, "nan" and "N/A"
// cells. Made once per size in the temporary folder, removed at exit.
struct LogFile {
    std::string path;
    size_t rows = 0;

    explicit LogFile(size_t megabytes) {
        char dir[] = "/tmp/nkbench-morvell-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        path = std::string(dir) + "/station_log.csv";
        FILE* fp = std::fopen(path.c_str(), "w");
        if (!fp) std::abort();
        std::string head = "CG Test,version=1.0,\r\nSerialNumber,TesterID,config,timeStamp,errCode,";
        std::string upper = "Upper Limit ----->,,,,,", lower = "Lower Limit ----->,,,,,",
                    unit = "Measurement Unit ----->,,,,,";
        for (int c = 0; c < kItems; ++c) {
            head += "Item" + std::to_string(c) + (c + 1 < kItems ? "," : "");
            upper += std::to_string(100 + c) + (c + 1 < kItems ? "," : "");
            lower += std::to_string(c) + (c + 1 < kItems ? "," : "");
            unit += std::string("mm") + (c + 1 < kItems ? "," : "");
        }
        std::fprintf(fp, "%s\r\n%s\r\n%s\r\n%s\r\n", head.c_str(), upper.c_str(), lower.c_str(), unit.c_str());
        std::mt19937_64 rng(11);
        std::normal_distribution<double> dist(50.0, 12.0);
        std::uniform_int_distribution<int> pct(0, 99), cell(0, 199);
        const size_t target = megabytes * 1024 * 1024;
        size_t bytes = 0, serial = 0;
        double stamp = 800000000.0;
        std::string last;
        char buf[64];
        while (bytes < target) {
            const int roll = pct(rng);
            std::string line;
            if (roll < 5 && !last.empty()) {
                line = last;  // the same test sent twice
            } else {
                const size_t sn = roll < 10 && serial > 0 ? serial - 1 - static_cast<size_t>(pct(rng)) % std::min<size_t>(serial, 50)
                                                          : serial++;  // a retest of a recent unit
                stamp += 7.0;
                std::snprintf(buf, sizeof buf, "SN%08zu,CELL_%d,CFG%d,%.6f,%d,", sn, static_cast<int>(sn % 16),
                              static_cast<int>(sn % 3), stamp, roll < 15 ? 592 : 0);
                line = buf;
                for (int c = 0; c < kItems; ++c) {
                    const int k = cell(rng);
                    if (k == 0)
                        line += "nan";
                    else if (k == 1)
                        line += "N/A";
                    else {
                        std::snprintf(buf, sizeof buf, "%.6f", dist(rng) + c);
                        line += buf;
                    }
                    line += c + 1 < kItems ? "," : "\r\n";
                }
                last = line;
            }
            std::fwrite(line.data(), 1, line.size(), fp);
            bytes += line.size();
            ++rows;
        }
        std::fclose(fp);
    }
    ~LogFile() { std::filesystem::remove_all(std::filesystem::path(path).parent_path()); }
    double megabytes() const { return static_cast<double>(std::filesystem::file_size(path)) / 1048576.0; }
};

const LogFile& logFile(size_t megabytes) {
    static std::map<size_t, LogFile> files;
    auto it = files.find(megabytes);
    if (it == files.end()) it = files.try_emplace(megabytes, megabytes).first;
    return it->second;
}

double peakMegabytes() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

void BM_zelkCsvLoad(benchmark::State& state) {
    const LogFile& f = logFile(static_cast<size_t>(state.range(0)));
    ZelkAlert_setSink([](const char*, const char*, const char*) {});
    // The load's progress lines go to standard output; keep them out of the table.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
    for (auto _ : state) {
        auto t = ZelkCsv::initWithCsvFile_filePathName(f.path.c_str(), false);
        if (!t || !t->isValid() || static_cast<size_t>(t->dataCnt_total()) != f.rows) state.SkipWithError("load");
        benchmark::DoNotOptimize(t->getConfigInfo());
    }
    std::fflush(stdout);
    if (saved >= 0) dup2(saved, STDOUT_FILENO);
    for (int fd : {saved, devNull})
        if (fd >= 0) close(fd);
    state.counters["s_per_MB"] = benchmark::Counter(f.megabytes() * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["peak_MB"] = peakMegabytes();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * std::filesystem::file_size(f.path)));
}
BENCHMARK(BM_zelkCsvLoad)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// pandas in Debian's interpreter: the interpreter start and the import are not
// timed; the script reports the seconds of read_csv alone.
void BM_pandasReadCsv(benchmark::State& state) {
    const LogFile& f = logFile(static_cast<size_t>(state.range(0)));
    const std::string cmd =
        "/usr/bin/python3 -c \""
        "import sys,time,pandas as pd\n"
        "t=time.perf_counter()\n"
        "df=pd.read_csv(sys.argv[1],skiprows=[0,2,3,4])\n"
        "print(time.perf_counter()-t, len(df))\n"
        "\" " + f.path;
    for (auto _ : state) {
        FILE* p = popen(cmd.c_str(), "r");
        double seconds = -1.0;
        unsigned long rows = 0;
        if (!p || std::fscanf(p, "%lf %lu", &seconds, &rows) != 2 || seconds < 0) {
            if (p) pclose(p);
            state.SkipWithError("pandas not available");
            break;
        }
        pclose(p);
        if (rows != f.rows) state.SkipWithError("pandas row count");
        state.SetIterationTime(seconds);
    }
    state.counters["s_per_MB"] = benchmark::Counter(f.megabytes() * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * std::filesystem::file_size(f.path)));
}
BENCHMARK(BM_pandasReadCsv)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
