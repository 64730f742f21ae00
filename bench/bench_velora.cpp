// Transmittance evaluation steps on one test point's spectrum: the smoothing,
// the resampling onto the 351-point grid, and one chart picture.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <unistd.h>
#include <vector>

#include "nk_velora_utils.h"

namespace {

// A spectrometer's worth of samples: 2048 from 350 to 1150 nm.
struct Spectrum {
    std::vector<float> wl, t;
    Spectrum() {
        for (int i = 0; i < 2048; ++i) {
            wl.push_back(350.0f + 800.0f * i / 2047.0f);
            t.push_back(55.0f + 25.0f * std::sin(wl.back() / 150.0f) + 0.8f * std::sin(wl.back() * 1.7f));
        }
    }
};

void BM_linearFitFilter(benchmark::State& state) {
    const Spectrum s;
    std::vector<float> out(s.t.size());
    for (auto _ : state) {
        _linear_fit_filter(s.t.data(), out.data(), static_cast<int>(s.t.size()), static_cast<int>(state.range(0)));
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_linearFitFilter)->Arg(5)->Arg(20);

void BM_dataInterpolation(benchmark::State& state) {
    const Spectrum s;
    for (auto _ : state) benchmark::DoNotOptimize(nkFom_dataInterpolation(s.wl, s.t, 400.0f, 1100.0f, 2.0f));
}
BENCHMARK(BM_dataInterpolation);

void BM_chartJpeg2000(benchmark::State& state) {
    const Spectrum s;
    const std::vector<float> grid = nkFom_dataInterpolation(s.wl, s.t, 400.0f, 1100.0f, 2.0f);
    std::vector<float> x;
    for (int k = 0; k < 351; ++k) x.push_back(400.0f + 2.0f * k);
    const std::string path = "/tmp/nk_bench_chart_" + std::to_string(getpid()) + ".jpg";
    for (auto _ : state)
        nkFom_cg_saveTimage(nullptr, path.c_str(), grid.data(), 351, grid.data(), 351, x.data(), 351, "Wavelength",
                            "Transmittance", "", 800, 600, kVL1);
    unlink(path.c_str());
}
BENCHMARK(BM_chartJpeg2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
