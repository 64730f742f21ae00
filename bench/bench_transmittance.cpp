// The transmittance analysis of one "atst" payload (5 points x 2048 samples):
// parsing, the sanity figures, both smoothings, the resampling onto the 351-point
// grid and the figures across the points, beside the same steps in numpy.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "CVLRA_cg_transmittance.h"
#include "bench_ratio.h"
#include "nk_velora_utils.h"

namespace {

constexpr int kPoints = 5;
constexpr int kSamples = 2048;

// A spectrometer's spectra from 350 to 1150 nm with a little noise, as the tester sends them.
std::vector<u8> makePayload() {
    std::vector<u8> p{u8(kPoints)};
    auto put = [&](const void* v, size_t n) {
        const u8* c = static_cast<const u8*>(v);
        p.insert(p.end(), c, c + n);
    };
    unsigned seed = 12345;
    auto noise = [&] {
        seed = seed * 1103515245u + 12345u;
        return float((seed >> 16) & 0x7fff) / 32768.0f - 0.5f;
    };
    for (int k = 1; k <= kPoints; ++k) {
        p.push_back(u8(k));
        const u32 n = kSamples;
        const float xya[3] = {1.5f * k, -2.0f, 0.25f};
        put(&n, 4);
        put(xya, 12);
        for (int i = 0; i < kSamples; ++i) {
            const float wl = 350.0f + 800.0f * float(i) / float(kSamples - 1);
            const float dark = 100.0f + 3.0f * noise();
            const float lamp = 1000.0f + 40000.0f * std::exp(-std::pow((wl - 700.0f) / 250.0f, 2.0f));
            const float t = (70.0f + 3.0f * float(k) + 2.0f * std::sin(wl / 80.0f)) / 100.0f;
            const float s[4] = {wl, dark, dark + lamp + 20.0f * noise(), dark + lamp * t + 20.0f * noise()};
            put(s, 16);
        }
    }
    return p;
}

const std::vector<u8>& payload() {
    static const std::vector<u8> p = makePayload();
    return p;
}

void BM_stationTransmittance(benchmark::State& state) {
    const std::vector<u8>& p = payload();
    std::vector<t_vlraAtstPoint> points;
    t_vlraAtstEval ev;
    for (auto _ : state) {
        if (nkVlra_parseAtst(p.data(), p.size(), points) != 0 || nkVlra_evaluateAtst(nullptr, points, 2, 0, ev) != 0)
            state.SkipWithError("evaluation failed");
        benchmark::DoNotOptimize(ev.tiltMean.data());
    }
}
BENCHMARK(BM_stationTransmittance)->Unit(benchmark::kMicrosecond);

// The same steps in numpy, the smoothing as windowed sums from cumulative sums
// (the way numpy does a moving line fit well). The script times its own loop; the
// interpreter start, the import and reading the payload are not timed.
const char* const kNumpySteps = R"PY(
import sys, time, numpy as np
buf = open(sys.argv[1], 'rb').read()
reps = int(sys.argv[2])

def lff(y, window):
    n = len(y); h = max(0, window // 2)
    i = np.arange(n); lo = np.maximum(0, i - h); hi = np.minimum(n - 1, i + h)
    x = i.astype(np.float64); yd = y.astype(np.float64)
    def cs(v): return np.concatenate(([0.0], np.cumsum(v)))
    Sx, Sy, Sxx, Sxy = cs(x), cs(yd), cs(x * x), cs(x * yd)
    N = (hi - lo + 1).astype(np.float64)
    sx = Sx[hi + 1] - Sx[lo]; sy = Sy[hi + 1] - Sy[lo]
    sxx = Sxx[hi + 1] - Sxx[lo]; sxy = Sxy[hi + 1] - Sxy[lo]
    slope = (N * sxy - sx * sy) / (N * sxx - sx * sx)
    out = (x * slope + (sy - slope * sx) / N).astype(np.float32)
    one = lo == hi
    out[one] = y[one]
    return out

def evaluate(buf):
    count = buf[0]; off = 1; pts = []
    for k in range(count):
        n = int(np.frombuffer(buf, '<u4', 1, off + 1)[0])
        pts.append(np.frombuffer(buf, '<f4', 4 * n, off + 17).reshape(n, 4).T)
        off += 17 + 16 * n
    d = np.stack(pts)
    wl, dark, white, meas = d[:, 0], d[:, 1], d[:, 2], d[:, 3]
    rawT = (meas - dark) / (white - dark) * np.float32(100)
    figs = [(wl[k].min(), wl[k].max(), dark[k].min(), dark[k].max(), dark[k].mean(), dark[k].std(ddof=1),
             white[k].min(), white[k].max(), white[k].mean(), white[k].std(ddof=1)) for k in range(count)]
    ref = white[0] - dark[0]
    ref = ref / ref.max()
    for k in range(count):
        s = np.where(ref >= 0.2, lff(rawT[k], 5), lff(rawT[k], 20))
        e = rawT[k] - s
        figs.append((e.min(), e.max(), e.mean()))
    grid = np.float32(400) + np.float32(2) * np.arange(351, dtype=np.float32)
    res = np.array([np.interp(grid, wl[k], rawT[k]) for k in range(count)], dtype=np.float32)
    refg = np.interp(grid, wl[0], ref).astype(np.float32)
    finalT = np.array([np.where(refg >= 0.2, lff(res[k], 5), lff(res[k], 20)) for k in range(count)])
    for k in range(count):
        e = res[k] - finalT[k]
        figs.append((e.min(), e.max(), e.mean()))
    mean = finalT.mean(0)
    std = finalT.std(0, ddof=1)
    variation = (finalT - mean) / mean * 100
    tilt = finalT / finalT[:, 75:76] * 100
    w = np.array([2.53, 14.26, 17.5, 10.96, 0.36], dtype=np.float32)[:count]
    weighted = (w[:, None] * finalT).sum(0) / w.sum()
    return finalT, mean, std, variation, tilt, weighted, tilt.mean(0), figs

evaluate(buf)
times = []
c = time.process_time()
for r in range(reps):
    t = time.perf_counter()
    out = evaluate(buf)
    times.append(time.perf_counter() - t)
cpu = (time.process_time() - c) / reps
times.sort()
print(times[len(times) // 2], cpu, float(out[0][2][200]))
)PY";

struct PayloadFile {
    std::string dir, path, script;
    PayloadFile() {
        char tmpl[] = "/tmp/nkbench-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        dir = tmpl;
        path = dir + "/atst.bin";
        script = dir + "/steps.py";
        FILE* f = std::fopen(path.c_str(), "wb");
        FILE* s = std::fopen(script.c_str(), "w");
        if (!f || !s) std::abort();
        std::fwrite(payload().data(), 1, payload().size(), f);
        std::fputs(kNumpySteps, s);
        std::fclose(f);
        std::fclose(s);
    }
    ~PayloadFile() { std::filesystem::remove_all(dir); }
};

// One interpreter per iteration runs the steps 200 times and reports the median
// wall time of one run (the iteration time) and the mean CPU time ("cpu_seconds").
void BM_numpyTransmittance(benchmark::State& state) {
    static PayloadFile file;
    const std::string cmd = "/usr/bin/python3 " + file.script + " " + file.path + " 200";
    double cpuTotal = 0.0;
    for (auto _ : state) {
        FILE* p = popen(cmd.c_str(), "r");
        double seconds = -1.0, cpu = 0.0, sample = 0.0;
        if (!p || std::fscanf(p, "%lf %lf %lf", &seconds, &cpu, &sample) != 3 || seconds <= 0) {
            if (p) pclose(p);
            state.SkipWithError("numpy not available");
            break;
        }
        pclose(p);
        state.SetIterationTime(seconds);
        cpuTotal += cpu;
        // The curves agree with the station's to the float's last digits.
        std::vector<t_vlraAtstPoint> points;
        t_vlraAtstEval ev;
        if (nkVlra_parseAtst(payload().data(), payload().size(), points) != 0 ||
            nkVlra_evaluateAtst(nullptr, points, 2, 0, ev) != 0 || std::fabs(ev.finalT[2][200] - sample) > 1e-3)
            state.SkipWithError("numpy's curve differs from the station's");
    }
    state.counters["cpu_seconds"] = benchmark::Counter(cpuTotal, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_numpyTransmittance)->Unit(benchmark::kMicrosecond)->Iterations(5)->UseManualTime();

}  // namespace

// The station's curves and figures in hexadecimal first, so that two builds can be seen to agree bit for bit.
int main(int argc, char** argv) {
    std::vector<t_vlraAtstPoint> points;
    t_vlraAtstEval ev;
    if (nkVlra_parseAtst(payload().data(), payload().size(), points) == 0 &&
        nkVlra_evaluateAtst(nullptr, points, 2, 0, ev) == 0) {
        unsigned long long h = 1469598103934665603ull;
        auto mix = [&](const std::vector<float>& v) {
            for (float f : v) {
                u32 b;
                std::memcpy(&b, &f, 4);
                h = (h ^ b) * 1099511628211ull;
            }
        };
        for (const auto& v : ev.finalT) mix(v);
        for (const auto& v : ev.tilt) mix(v);
        mix(ev.mean);
        mix(ev.stdev);
        mix(ev.weighted);
        mix(ev.tiltMean);
        for (const t_vlraAtstPoint& p : points)
            for (int window : {5, 10, 20}) {
                std::vector<float> s(p.rawT.size());
                _linear_fit_filter(p.rawT.data(), s.data(), int(s.size()), window);
                mix(s);
            }
        std::printf("curves fnv1a %016llx\n", h);
    }
    return nkbench::runWithRatios(argc, argv, {{"BM_stationTransmittance", "BM_numpyTransmittance", true}});
}
