// The GR&R model's analysis of a log of a million values of one GR&R item:
// 4 testers (one golden), 2,500 serial numbers, 100 repeats each. The table is
// loaded once; each iteration builds a new manager and analyses it. Then the
// GR&R graph's redraw of that log's chart (a target tester with 2,500 samples).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include <QApplication>

#include "ZelkAlert.h"
#include "ZelkCsv.h"
#include "ZelkGrr.h"
#include "ZelkPaths.h"
#include "graph_grr.h"

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

Tables& sharedTables() {
    static Tables tables;
    return tables;
}

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
    Tables& tables = sharedTables();
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

void BM_graphGrrRedraw(benchmark::State& state) {
    ZelkAlert_setSink([](const char*, const char*, const char*) {});
    Tables* loaded = nullptr;
    {
        QuietStdout quiet;
        loaded = &sharedTables();
    }
    Tables& tables = *loaded;
    static int argc = 1;
    static char name[] = "bench_morvell_grr";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication app(argc, argv);
    // The graph reads its criteria from the resource folder.
    std::filesystem::copy_file(tables.dir + "/criteria.csv", tables.dir + "/Quastel.grrConfig.csv",
                               std::filesystem::copy_options::overwrite_existing);
    zelk::roots::Folders roots = zelk::roots::get();
    roots.resource = tables.dir;
    zelk::roots::set(roots);
    std::unique_ptr<graph_grr> graph;
    {
        QuietStdout quiet;
        graph = std::make_unique<graph_grr>();
        graph->resize(900, 700);
        graph->loadFiles({tables.dir + "/grr_log.csv"}, true);
        graph->setDispColIdx(3);
        graph->setDispTesterIdx(1);
        graph->render(true);
    }
    if (!graph->lastPlot().drawn) state.SkipWithError("no chart");
    for (auto _ : state) benchmark::DoNotOptimize(graph->render(true).constBits());
}
BENCHMARK(BM_graphGrrRedraw)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
