// The correlation page's work. Two generated logs of 50,000 serial numbers by
// 1,000 items: loading both (the floor), and correlating them as the page does
// (common items and serial numbers, both correlation files written and loaded
// back, the graph prepared). Then one item of 10^6 pairs prepared and drawn at
// the page's plot size.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ZelkCsv.h"
#include "bench_ratio.h"
#include "correlation_files.h"
#include "draw/pf_draw.h"
#include "file/pf_file.h"
#include "graph_correlation_model.h"
#include "number/pf_number.h"

namespace {

constexpr int kSerials = 50000;
constexpr int kItems = 1000;

struct Folder {
    std::string path;
    Folder() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "nkbench-corr-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        path = tmpl;
    }
    ~Folder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

Folder& folder() {
    static Folder f;
    return f;
}

// A station log: input 1 holds the serial numbers in lower case and another order.
std::string writeLog(int g) {
    const std::string path = folder().path + pf::number::text("/input%d.csv", g);
    if (std::filesystem::exists(path)) return path;
    std::mt19937 rng(11 + unsigned(g));
    std::uniform_int_distribution<int> value(0, 9999);
    std::string t = "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode";
    for (int k = 0; k < kItems; ++k) t += pf::number::text(",Item%d", k);
    t += "\nUpper Limit----->,,,,";
    for (int k = 0; k < kItems; ++k) t += ",9";
    t += "\nLower Limit----->,,,,";
    for (int k = 0; k < kItems; ++k) t += ",1";
    t += "\n";
    for (int i = 0; i < kSerials; ++i) {
        const int sn = g ? (i * 7919) % kSerials : i;
        t += pf::number::text(g ? "sn%06d,CELL_1,EVT,%d,0" : "SN%06d,CELL_1,EVT,%d,0", sn, i);
        for (int k = 0; k < kItems; ++k) t += pf::number::text(",%d.%03d", value(rng) % 10, value(rng) % 1000);
        t += "\n";
    }
    pf::file::ReplacingWrite out(path);
    out.write(t.data(), t.size());
    out.commit();
    return path;
}

void BM_LoadInputs(benchmark::State& state) {
    const std::string p0 = writeLog(0), p1 = writeLog(1);
    for (auto _ : state) {
        auto t0 = ZelkCsv::initWithCsvFile_filePathName(p0.c_str(), false);
        auto t1 = ZelkCsv::initWithCsvFile_filePathName(p1.c_str(), false);
        benchmark::DoNotOptimize(t0->config_count() + t1->config_count());
    }
}
BENCHMARK(BM_LoadInputs)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Correlate(benchmark::State& state) {
    const std::string p0 = writeLog(0), p1 = writeLog(1);
    auto t0 = ZelkCsv::initWithCsvFile_filePathName(p0.c_str(), false);
    auto t1 = ZelkCsv::initWithCsvFile_filePathName(p1.c_str(), false);
    for (auto _ : state) {
        const tCorr_common common = correlation_common(*t0, *t1);
        std::shared_ptr<ZelkCsv> corr[2];
        for (int g = 0; g < 2; ++g) {
            const std::string path = correlation_filePath(g ? p1 : p0, g);
            const std::string text = correlation_fileText(*t0, *t1, common, g);
            pf::file::ReplacingWrite out(path);
            if (!out.write(text.data(), text.size()) || out.commit() != pf::file::ReplacingWrite::Status::ok) {
                state.SkipWithError("write failed");
                return;
            }
            corr[g] = ZelkCsv::initWithCsvFile_filePathName(path.c_str(), false);
        }
        graph_correlationModel model;
        model.setFileName("input0.csv", 0, 2);
        model.setFileName("input1.csv", 1, 2);
        model.setData_columnCount(corr[0]->columnItem_count(), corr[0]->getColumnItem(), corr[1]->getColumnItem(),
                                  corr[0]->getConfigInfo(), corr[1]->getConfigInfo());
        model.setColumnToDisplay_columnIndex(1, 1, 6, true, true);
        if (model.data().count != kSerials) state.SkipWithError("pairs missing");
    }
}
BENCHMARK(BM_Correlate)->Unit(benchmark::kMillisecond)->Iterations(3);

// One item of n pairs as the page hands them to the graph: the two correlation
// tables in one order, input 1's serial numbers in its own letter case.
struct Pairs {
    std::vector<std::string> serials[2];
    std::vector<const char*> cells[2];
    std::vector<double> values[2];
    std::vector<tCsv_strRow> str[2];
    std::vector<tCsv_datRow> dat[2];
    tCsv_columnItemInfo column[2]{};
    tCsv_categoryDataInfo all[2]{};

    explicit Pairs(size_t n) {
        std::mt19937_64 rng(5);
        std::normal_distribution<double> x(50, 4), noise(0, 1);
        std::vector<double> xs(n);
        for (double& v : xs) v = x(rng);
        for (int g = 0; g < 2; ++g) {
            serials[g].resize(n), cells[g].resize(n), values[g].resize(n), str[g].resize(n), dat[g].resize(n);
            for (size_t i = 0; i < n; ++i) {
                const size_t sn = i;
                serials[g][i] = pf::number::text(g ? "sn%07zu" : "SN%07zu", sn);
                values[g][i] = g ? 0.9 * xs[sn] + 3 + noise(rng) : xs[sn];
            }
            for (size_t i = 0; i < n; ++i) {
                cells[g][i] = serials[g][i].c_str();
                str[g][i] = &cells[g][i];
                dat[g][i] = &values[g][i];
            }
            column[g].title = "Item";
            column[g].isParametric = true;
            column[g].limit_upper = 62;
            column[g].limit_lower = 38;
            all[g] = {"ALL", n, str[g].data(), dat[g].data(), n, str[g].data(), dat[g].data()};
        }
        // Each row's value sits at column 0 of its row.
    }
};

// An item change on loaded tables; with `fresh` the first item after the
// tables are set, which also pairs the rows by serial number.
void millionPairs(benchmark::State& state, bool fresh) {
    static Pairs pairs(1000000);
    graph_correlationModel model;
    model.setFileName("input0.csv", 0, 2);
    model.setFileName("input1.csv", 1, 2);
    model.setData_columnCount(1, &pairs.column[0], &pairs.column[1], &pairs.all[0], &pairs.all[1]);
    tCorr_viewState view;
    view.mouseX = 200, view.mouseY = 150;
    // The tables' first item is shown before an item change.
    if (!fresh) model.setColumnToDisplay_columnIndex(0, 1, 6, true, true);
    for (auto _ : state) {
        if (fresh) model.setData_columnCount(1, &pairs.column[0], &pairs.column[1], &pairs.all[0], &pairs.all[1]);
        model.setColumnToDisplay_columnIndex(0, 1, 6, true, true);
        pf::draw::Context ctx(400, 330);
        model.render(ctx, view);
        benchmark::DoNotOptimize(ctx.pixel(200, 150));
    }
}
void BM_MillionPairsPreparedAndDrawn(benchmark::State& state) { millionPairs(state, false); }
BENCHMARK(BM_MillionPairsPreparedAndDrawn)->Unit(benchmark::kMillisecond);
void BM_MillionPairsFirstItemPreparedAndDrawn(benchmark::State& state) { millionPairs(state, true); }
BENCHMARK(BM_MillionPairsFirstItemPreparedAndDrawn)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return nkbench::runWithRatios(argc, argv, {{"BM_Correlate", "BM_LoadInputs", true}, {"BM_Correlate/iterations:3", "BM_LoadInputs/iterations:3", true}});
}
