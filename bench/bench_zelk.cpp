// The framework's hot text paths beside the standard library: numeric cells read
// with ZUTIL_StrIsNumeric + ZUTIL_StrGetValue beside std::from_chars, and one 1-D
// array printed with ZLM_PrintDouble_1D beside fprintf.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ZelkLogManager.h"
#include "ZelkUtil.h"

namespace {

// 10^6 cells as a CSV log holds them: measurements, a few "NA" and negative values.
const std::vector<std::string>& cells() {
    static const std::vector<std::string> c = [] {
        std::vector<std::string> v;
        v.reserve(1000000);
        std::mt19937_64 rng(11);
        std::normal_distribution<double> dist(50.0, 30.0);
        char buf[32];
        for (int i = 0; i < 1000000; ++i) {
            if (i % 97 == 0) {
                v.emplace_back("NA");
                continue;
            }
            std::snprintf(buf, sizeof(buf), "%.4f", dist(rng));
            v.emplace_back(buf);
        }
        return v;
    }();
    return c;
}

void BM_ZutilCells(benchmark::State& state) {
    const auto& c = cells();
    for (auto _ : state) {
        double sum = 0;
        for (const std::string& s : c)
            if (ZUTIL_StrIsNumeric(s.c_str())) {
                const double v = ZUTIL_StrGetValue(s.c_str());
                if (v != kZelk_noValue) sum += v;
            }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c.size()));
}
BENCHMARK(BM_ZutilCells)->Unit(benchmark::kMillisecond);

void BM_FromCharsCells(benchmark::State& state) {
    const auto& c = cells();
    for (auto _ : state) {
        double sum = 0;
        for (const std::string& s : c) {
            double v = 0;
            const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
            if (r.ec == std::errc()) sum += v;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c.size()));
}
BENCHMARK(BM_FromCharsCells)->Unit(benchmark::kMillisecond);

const std::vector<double>& values() {
    static const std::vector<double> v = [] {
        std::vector<double> out(100000);
        std::mt19937_64 rng(5);
        std::uniform_real_distribution<double> dist(-1000, 1000);
        for (double& x : out) x = dist(rng);
        return out;
    }();
    return v;
}

void BM_ZlmPrintDouble1D(benchmark::State& state) {
    const auto& v = values();
    iZelk_LogManager* lm = ZLM_Create();
    ZLM_SetVerboseLevel(lm, -1);  // the console stays quiet: only the file gets the line
    ZLM_SetVerboseLevel_file(lm, 3);
    ZLM_OpenLogFile(lm, "/dev/null", "a");
    for (auto _ : state) ZLM_PrintDouble_1D(lm, 1, v.data(), static_cast<UInt32>(v.size()), false, "%f");
    ZLM_Delete(&lm);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(v.size()));
}
BENCHMARK(BM_ZlmPrintDouble1D)->Unit(benchmark::kMillisecond);

void BM_FprintfDouble1D(benchmark::State& state) {
    const auto& v = values();
    FILE* f = std::fopen("/dev/null", "a");
    for (auto _ : state) {
        for (double x : v) std::fprintf(f, "\t%f", x);
        std::fputc('\n', f);
        std::fflush(f);
    }
    std::fclose(f);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(v.size()));
}
BENCHMARK(BM_FprintfDouble1D)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
