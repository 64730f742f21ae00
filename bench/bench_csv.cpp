// Loading a 100 MB station CSV log and computing its column statistics, beside
// pandas read_csv + describe on the same file, both timed by this harness.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

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

void BM_nerrakitLoadAndColumnStats(benchmark::State& state) {
    const LogFile& f = logFile();
    for (auto _ : state) {
        CNK_csv table;
        if (table.load(f.path) != 0) state.SkipWithError("load failed");
        table.calculate_col_stat();
        benchmark::DoNotOptimize(table.getColStat().data());
        if (table.getStrRows().size() != f.rows) state.SkipWithError("row count");
    }
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
// timed; the script reports the seconds of read_csv + describe alone.
void BM_pandasReadCsvAndDescribe(benchmark::State& state) {
    const LogFile& f = logFile();
    const std::string cmd =
        "/usr/bin/python3 -c \""
        "import sys,time,pandas as pd\n"
        "t=time.perf_counter()\n"
        "df=pd.read_csv(sys.argv[1],skiprows=[0,2,3,4])\n"
        "d=df.describe()\n"
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
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * std::filesystem::file_size(f.path)));
}
BENCHMARK(BM_pandasReadCsvAndDescribe)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
