// Statistics over 10^7 floats beside a plain sum over the same data, the
// memory-bandwidth floor any one-pass figure is measured against.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

#include "bench_ratio.h"
#include "nk_math.h"

namespace {

constexpr size_t kCount = 10'000'000;
constexpr int kWidth = 4000;  // 2500 rows of 4000

const std::vector<float>& data() {
    static const std::vector<float> d = [] {
        std::vector<float> v(kCount);
        std::mt19937 rng(1);
        std::normal_distribution<float> g(550.0f, 20.0f);
        for (float& x : v) x = g(rng);
        return v;
    }();
    return d;
}

void BM_plainSum(benchmark::State& state) {
    const std::vector<float>& d = data();
    for (auto _ : state) {
        double sum = 0.0;
        for (float v : d) sum += v;
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kCount * sizeof(float)));
}

void BM_stat(benchmark::State& state) {
    const std::vector<float>& d = data();
    for (auto _ : state) benchmark::DoNotOptimize(nkMath_stat(d.data(), d.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kCount * sizeof(float)));
}

void BM_avg(benchmark::State& state) {
    const std::vector<float>& d = data();
    for (auto _ : state) benchmark::DoNotOptimize(nkMath_avg(d.data(), d.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kCount * sizeof(float)));
}

void BM_finder1d(benchmark::State& state) {
    std::vector<float> d = data();
    for (auto _ : state) {
        float mx, mn, span;
        double avg, sd, rms, med;
        nkMath_FindMaxMinSpanAvgStdevRmsMedFloat_1D(d.data(), int(kCount), 0, int(kCount), &mx, &mn, &span, &avg, &sd,
                                                    &rms, &med);
        benchmark::DoNotOptimize(med);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kCount * sizeof(float)));
}

// The whole image as one window, and the same without the median.
void BM_finder2d(benchmark::State& state) {
    std::vector<float> d = data();
    const int rows = int(kCount / kWidth);
    for (auto _ : state) {
        float mx, mn, span;
        double avg, sd, rms, med;
        nkMath_FindMaxMinSpanAvgStdevRmsMedFloat_2D(d.data(), kWidth, 0, kWidth, 0, rows, &mx, &mn, &span, &avg, &sd,
                                                    &rms, &med);
        benchmark::DoNotOptimize(med);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kCount * sizeof(float)));
}

}  // namespace

BENCHMARK(BM_plainSum)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_avg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_stat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_finder1d)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_finder2d)->Unit(benchmark::kMillisecond);

// The figures themselves, in hexadecimal, so that two builds can be seen to agree bit for bit.
int main(int argc, char** argv) {
    const std::vector<float>& d = data();
    const t_nkMathStat s = nkMath_stat(d.data(), d.size());
    std::printf("stat %a %a %a %a %a %a\n", s.max, s.min, s.avg, s.stdev, s.rms, s.median);
    std::vector<float> c = d;
    float mx, mn, span;
    double avg, sd, rms, med;
    nkMath_FindMaxMinSpanAvgStdevRmsMedFloat_2D(c.data(), kWidth, 7, kWidth - 5, 3, int(kCount / kWidth) - 2, &mx, &mn,
                                                &span, &avg, &sd, &rms, &med);
    std::printf("finder2d %a %a %a %a %a %a %a\n", double(mx), double(mn), double(span), avg, sd, rms, med);
    return nkbench::runWithRatios(argc, argv,
                                  {{"BM_stat", "BM_plainSum", true}, {"BM_finder1d", "BM_plainSum", true}, {"BM_finder2d", "BM_plainSum", true}});
}
