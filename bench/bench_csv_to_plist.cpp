// Test-data CSV to property list: time by number of units (it must grow
// linearly) and the peak resident memory of the process afterwards.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "nk_csv.h"

namespace {

std::string makeCsv(const std::string& dir, int units) {
    const std::string path = dir + "/units_" + std::to_string(units) + ".csv";
    FILE* fp = std::fopen(path.c_str(), "w");
    if (!fp) std::abort();
    std::fputs("St,Version:1.0,\nSerialNumber,overallResult,errCode,errString,startTime,stopTime,timeStamp,testTime,"
               "A,B,C,D,\nUpper Limit----->,,0,,,,,,4,4,4,4,\nLower Limit----->,,0,,,,,,1,1,1,1,\n",
               fp);
    for (int i = 0; i < units; ++i)
        std::fprintf(fp, "SN%07d,PASS,0,,2026-01-02 03:04:05,2026-01-02 03:04:09,1.000,2.000,1.5,2.5,3.5,%d,\n", i, i % 6);
    std::fclose(fp);
    return path;
}

void BM_csvToPlist(benchmark::State& state) {
    char dir[] = "/tmp/nkbench-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    const std::string csv = makeCsv(dir, static_cast<int>(state.range(0)));
    const std::string out = std::string(dir) + "/out.plist";
    for (auto _ : state) {
        if (nkUtil_csvToPlist(csv.c_str(), out.c_str(), false, false, false) != 0) state.SkipWithError("conversion failed");
    }
    state.counters["csv_MB"] = static_cast<double>(std::filesystem::file_size(csv)) / 1e6;
    state.counters["plist_MB"] = static_cast<double>(std::filesystem::file_size(out)) / 1e6;
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    state.counters["peak_RSS_MB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_csvToPlist)->Arg(10000)->Arg(40000)->Arg(160000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
