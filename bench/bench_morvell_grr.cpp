// The GR&R model's analysis of a log of a million values of one GR&R item:
// 4 testers (one golden), 2,500 serial numbers, 100 repeats each. The table is
// loaded once; each iteration builds a new manager and analyses it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "ZelkAlert.h"
#include "ZelkCsv.h"
#include "ZelkGrr.h"

namespace {

constexpr int kTesters = 4, kSerials = 2500, kRepeats = 100;

struct Tables {
    std::string dir;
    std::shared_ptr<ZelkCsv> log, criteria;

    Tables() {
        char tmp[] = "/tmp/nkbench-grr-XXXXXX";
        if (!mkdtemp(tmp)) std::abort();
        dir = tmp;
        const std::string logPath = dir + "/grr_log.csv", critPath = dir + "/criteria.csv";
        FILE* fp = std::fopen(logPath.c_str(), "w");
        if (!fp) std::abort();
        std::fputs("SerialNumber,TesterID,timeStamp,VOLT\nUpper Limit----->,,,5.5\nLower Limit----->,,,4.5\n", fp);
        std::mt19937_64 rng(5);
        std::normal_distribution<double> noise(0.0, 0.003), part(0.0, 0.01);
        std::vector<double> base(kSerials);
        for (double& b : base) b = 5.0 + part(rng);
        const char* names[kTesters] = {"GOLD_1", "T1", "T2", "T3"};
        long stamp = 1700000000;
        for (int t = 0; t < kTesters; ++t)
            for (int r = 0; r < kRepeats; ++r)
                for (int s = 0; s < kSerials; ++s)
                    std::fprintf(fp, "SN%05d,%s,%ld,%.6f\n", s, names[t], stamp++, base[s] + 0.001 * t + noise(rng));
        std::fclose(fp);
        fp = std::fopen(critPath.c_str(), "w");
        if (!fp) std::abort();
        std::fputs("GrrConfig,VOLT\nGRR Stdev----->,3\nGRR Limit----->,0.05\nUnit----->,V\n", fp);
        std::fclose(fp);
        log = ZelkCsv::initWithCsvFile_filePathName(logPath.c_str(), false);
        criteria = ZelkCsv::initWithCsvFile_filePathName(critPath.c_str(), false);
        if (!log->isValid() || !criteria->isValid()) std::abort();
    }
    ~Tables() { std::filesystem::remove_all(dir); }
};

// The load's and the model's trace lines go to standard output; keep them out of the table.
struct QuietStdout {
    int saved = -1, devNull = -1;
    QuietStdout() {
        std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved >= 0) dup2(saved, STDOUT_FILENO);
        for (int fd : {saved, devNull})
            if (fd >= 0) close(fd);
    }
};

void BM_zelkGrrSetCsv(benchmark::State& state) {
    ZelkAlert_setSink([](const char*, const char*, const char*) {});
    QuietStdout quiet;
    static Tables tables;
    for (auto _ : state) {
        ZelkGrr g;
        g.setCsv(tables.criteria);
        g.setCsv(tables.log);
        if (!g.isValid() || g.getTesterCount() != kTesters || g.testerAt(1)->golden_sample_count() != kSerials)
            state.SkipWithError("analysis");
        benchmark::DoNotOptimize(g.testerAt(1)->pGrrPctErrMax());
    }
    state.counters["values"] = static_cast<double>(kTesters) * kSerials * kRepeats;
}
BENCHMARK(BM_zelkGrrSetCsv)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
