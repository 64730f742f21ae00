// Resampling and smoothing of spectra, against numpy and scipy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "../library/math_oracle.h"
#include "nk_velora_utils.h"

namespace {

using nktest::oracle;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<double> toD(const std::vector<float>& v) { return {v.begin(), v.end()}; }

void expectNear(const std::vector<double>& want, const std::vector<float>& got, double tol, const char* what) {
    ASSERT_EQ(want.size(), got.size()) << what;
    for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(want[i], got[i], tol) << what << " at " << i;
}

// A measured-looking spectrum: uneven steps from 350 to 1150 nm, smooth with a ripple.
struct RawSpectrum {
    std::vector<float> wl, t;
    explicit RawSpectrum(float from = 350.0f, float to = 1150.0f) {
        for (int i = 0; from + 0.73f * i + 0.2f * std::sin(0.9f * i) <= to; ++i) {
            const float w = from + 0.73f * i + 0.2f * std::sin(0.9f * i);
            wl.push_back(w);
            t.push_back(55.0f + 25.0f * std::sin(w / 150.0f) + 0.8f * std::sin(w * 1.7f));
        }
    }
};

std::vector<float> grid351() {
    std::vector<float> g;
    for (int k = 0; k < 351; ++k) g.push_back(400.0f + 2.0f * k);
    return g;
}

// ------------------------------------------------------------------ linear

TEST(VeloraInterpolation, LinearMatchesNumpyInsideAndHoldsTheEnds) {
    NK_NEED_PYTHON();
    const RawSpectrum s(400.0f, 1100.0f);
    // Below the first sample, on samples, between them, on the last one and beyond it.
    std::vector<float> xOut = {300.0f, s.wl[0], 400.5f};
    for (float v : grid351()) xOut.push_back(v + 0.37f);
    xOut.push_back(s.wl[17]);
    xOut.push_back(s.wl.back());
    xOut.push_back(1200.0f);
    std::sort(xOut.begin(), xOut.end());
    std::vector<float> yOut(xOut.size(), -1.0f);
    ASSERT_EQ(0, nkMath_interpolationLinear(s.wl.data(), s.t.data(), static_cast<int>(s.wl.size()), xOut.data(),
                                            static_cast<int>(xOut.size()), yOut.data()));
    expectNear(oracle("interp", {toD(s.wl), toD(s.t), toD(xOut)}), yOut, 2e-4, "interp");
    EXPECT_EQ(s.t.front(), yOut.front());
    EXPECT_EQ(s.t.back(), yOut.back());
}

TEST(VeloraInterpolation, LinearEdgeCases) {
    const float x[] = {1, 2, 4, 8}, y[] = {10, 20, 40, 80};
    struct Case { float target, want; } cases[] = {
        {2.0f, 20.0f},   // a sample abscissa yields its own value
        {3.0f, 30.0f},   // between samples
        {0.5f, 10.0f},   // below the first sample
        {8.0f, 80.0f},   // exactly the last sample (a spectrum ending at 1100.0 nm)
        {9.0f, 80.0f},   // beyond it
    };
    for (const Case& c : cases) {
        float out = -1;
        ASSERT_EQ(0, nkMath_interpolationLinear(x, y, 4, &c.target, 1, &out));
        EXPECT_FLOAT_EQ(c.want, out) << c.target;
    }
    float out = -1;
    const float t = 5;
    EXPECT_EQ(0, nkMath_interpolationLinear(x, y, 4, &t, 0, &out));
    EXPECT_EQ(-1, out);
    EXPECT_EQ(5, nkMath_interpolationLinear(x, y, 0, &t, 1, &out));
    EXPECT_EQ(-1, out);
    EXPECT_EQ(0, nkMath_interpolationLinear(x, y, 1, &t, 1, &out));
    EXPECT_EQ(10, out);
    EXPECT_EQ(5, nkMath_interpolationLinear(nullptr, y, 4, &t, 1, &out));
    EXPECT_EQ(5, nkMath_interpolationLinear(x, nullptr, 4, &t, 1, &out));
    EXPECT_EQ(5, nkMath_interpolationLinear(x, y, 4, nullptr, 1, &out));
    EXPECT_EQ(5, nkMath_interpolationLinear(x, y, 4, &t, 1, nullptr));
}

// ------------------------------------------------------------------ quadratic

TEST(VeloraInterpolation, QuadraticMatchesNumpyPolyfitOverTheSameWindows) {
    NK_NEED_PYTHON();
    const RawSpectrum s(395.0f, 1105.0f);
    std::vector<float> xOut = {380.0f};
    for (float v : grid351()) xOut.push_back(v);
    xOut.push_back(1120.0f);
    for (int window : {3, 5, 20}) {
        std::vector<float> yOut(xOut.size());
        ASSERT_EQ(0, nkMath_interpolationQuatic(s.wl.data(), s.t.data(), static_cast<int>(s.wl.size()), xOut.data(),
                                                static_cast<int>(xOut.size()), yOut.data(), window));
        expectNear(oracle("quadratic " + std::to_string(window), {toD(s.wl), toD(s.t), toD(xOut)}), yOut, 2e-3,
                   "quadratic");
    }
}

TEST(VeloraInterpolation, QuadraticWindowsStayInsideTheSamples) {
    // A parabola is reproduced wherever its window lands, ends included.
    std::vector<float> x, y;
    for (int i = 0; i < 9; ++i) {
        x.push_back(static_cast<float>(i));
        y.push_back(2.0f * i * i - 3.0f * i + 1.0f);
    }
    const float targets[] = {-2.0f, 0.0f, 0.5f, 4.25f, 8.0f, 11.0f};
    for (int window : {3, 5, 9, 50}) {
        float out[6];
        ASSERT_EQ(0, nkMath_interpolationQuatic(x.data(), y.data(), 9, targets, 6, out, window));
        for (int j = 0; j < 6; ++j) {
            const double t = targets[j];
            EXPECT_NEAR(2 * t * t - 3 * t + 1, out[j], 1e-3) << "window " << window << " target " << t;
        }
    }
    float out[2] = {1, 1};
    ASSERT_EQ(0, nkMath_interpolationQuatic(x.data(), y.data(), 9, targets, 2, out, 0));
    EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
    EXPECT_EQ(5, nkMath_interpolationQuatic(x.data(), y.data(), 0, targets, 2, out, 5));
    EXPECT_EQ(5, nkMath_interpolationQuatic(x.data(), nullptr, 9, targets, 2, out, 5));
}

// ------------------------------------------------------------------ low-pass

TEST(VeloraLowPass, MatchesScipyLfilterAndItsEdgeCases) {
    NK_NEED_PYTHON();
    const RawSpectrum s;
    std::vector<float> out(s.t.size());
    ASSERT_EQ(0, nkMath_lowPassFilter(s.t.data(), static_cast<int>(s.t.size()), 1.0f, 4.0f, out.data()));
    expectNear(oracle("lowpass 1 4", {toD(s.t)}), out, 1e-3, "lowpass");

    const float x[] = {3, 7, -2, 5};
    float y[4];
    ASSERT_EQ(0, nkMath_lowPassFilter(x, 4, 2.5f, 2.5f, y));  // alpha 1 copies
    for (int i = 0; i < 4; ++i) EXPECT_EQ(x[i], y[i]);
    ASSERT_EQ(0, nkMath_lowPassFilter(x, 4, 0.0f, 3.0f, y));  // alpha 0 holds the first value
    for (int i = 0; i < 4; ++i) EXPECT_EQ(3.0f, y[i]);
    float in[4] = {3, 7, -2, 5};
    ASSERT_EQ(0, nkMath_lowPassFilter(in, 4, 1.0f, 2.0f, in));  // in place
    EXPECT_FLOAT_EQ(3.0f, in[0]);
    EXPECT_FLOAT_EQ(5.0f, in[1]);
    EXPECT_FLOAT_EQ(1.5f, in[2]);
    EXPECT_FLOAT_EQ(3.25f, in[3]);
    float one = -1;
    ASSERT_EQ(0, nkMath_lowPassFilter(x, 1, 1.0f, 2.0f, &one));
    EXPECT_EQ(3.0f, one);
    one = -1;
    EXPECT_EQ(5, nkMath_lowPassFilter(x, 0, 1.0f, 2.0f, &one));
    EXPECT_EQ(-1, one);
    EXPECT_EQ(5, nkMath_lowPassFilter(nullptr, 4, 1.0f, 2.0f, y));
    EXPECT_EQ(5, nkMath_lowPassFilter(x, 4, 1.0f, 2.0f, nullptr));
}

// ------------------------------------------------------------------ line-fit filter

TEST(VeloraLineFitFilter, MatchesNumpyOverCutWindows) {
    NK_NEED_PYTHON();
    const RawSpectrum s;
    for (int window : {20, 10, 5}) {
        std::vector<float> out(s.t.size());
        _linear_fit_filter(s.t.data(), out.data(), static_cast<int>(s.t.size()), window);
        expectNear(oracle("linfitfilter " + std::to_string(window), {toD(s.t)}), out, 1e-3, "filter");
    }
}

TEST(VeloraLineFitFilter, StraightLineUnchangedEndsIncludedAndInPlace) {
    std::vector<float> line;
    for (int i = 0; i < 40; ++i) line.push_back(12.5f - 0.75f * i);
    for (int window : {0, 1, 2, 5, 10, 20, 100}) {
        std::vector<float> out(line.size(), kNaN);
        _linear_fit_filter(line.data(), out.data(), 40, window);
        for (int i = 0; i < 40; ++i) EXPECT_NEAR(line[i], out[i], 1e-4) << "window " << window << " at " << i;
        std::vector<float> inPlace = line;
        _linear_fit_filter(inPlace.data(), inPlace.data(), 40, window);
        for (int i = 0; i < 40; ++i) EXPECT_NEAR(line[i], inPlace[i], 1e-4) << "in place, window " << window;
    }
    float untouched = 7;
    _linear_fit_filter(line.data(), &untouched, 0, 5);
    EXPECT_EQ(7, untouched);
}

// ------------------------------------------------------------------ grid resampling

TEST(VeloraDataInterpolation, GivesTheGridOf351ValuesAsNumpy) {
    NK_NEED_PYTHON();
    const RawSpectrum s;
    const std::vector<float> out = nkFom_dataInterpolation(s.wl, s.t, 400.0f, 1100.0f, 2.0f);
    ASSERT_EQ(351u, out.size());
    expectNear(oracle("grid 400 1100 2", {toD(s.wl), toD(s.t)}), out, 2e-4, "grid");
}

TEST(VeloraDataInterpolation, EndsAndClamping) {
    // A spectrum that stops at 1000 nm holds its last reading from there on.
    const RawSpectrum shortS(350.0f, 1000.0f);
    std::vector<float> out = nkFom_dataInterpolation(shortS.wl, shortS.t, 400.0f, 1100.0f, 2.0f);
    ASSERT_EQ(351u, out.size());
    for (size_t k = 0; k < 351; ++k) {
        if (400.0f + 2.0f * k >= shortS.wl.back()) {
            EXPECT_EQ(shortS.t.back(), out[k]) << k;
        }
    }

    // Exactly 400.0 and 1100.0 at the ends.
    const std::vector<float> wl = {400.0f, 750.0f, 1100.0f}, t = {10.0f, 45.0f, 80.0f};
    out = nkFom_dataInterpolation(wl, t, 400.0f, 1100.0f, 2.0f);
    ASSERT_EQ(351u, out.size());
    EXPECT_EQ(10.0f, out.front());
    EXPECT_EQ(80.0f, out.back());
    EXPECT_NEAR(45.0f, out[175], 1e-4);

    // Grid points on the samples: v takes the segment from its own sample on.
    const std::vector<float> mixed = {-0.5f, 0.5f, 0.5f, kNaN, -3.0f};
    const std::vector<float> x = {0, 1, 2, 3, 4};
    out = nkFom_dataInterpolation(x, mixed, 0, 4, 1, true);
    ASSERT_EQ(5u, out.size());
    EXPECT_EQ(0.0f, out[0]);
    EXPECT_EQ(0.5f, out[1]);
    EXPECT_TRUE(std::isnan(out[2]));
    EXPECT_TRUE(std::isnan(out[3]));
    EXPECT_EQ(0.0f, out[4]);
    out = nkFom_dataInterpolation(x, mixed, 0, 4, 1, false);
    ASSERT_EQ(5u, out.size());
    EXPECT_EQ(-3.0f, out[4]);
    EXPECT_EQ(-0.5f, out[0]);
}

TEST(VeloraDataInterpolation, RefusesWhatItCannotWalk) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> wl = {400, 700, 1100}, t = {1, 2, 3};
    struct Case {
        const char* why;
        std::vector<float> wl, t;
        float bgn, end, step;
    } cases[] = {
        {"empty", {}, {}, 400, 1100, 2},
        {"mismatched", wl, {1, 2}, 400, 1100, 2},
        {"step below 1", wl, t, 400, 1100, 0.5f},
        {"step 0", wl, t, 400, 1100, 0},
        {"negative step", wl, t, 400, 1100, -2},
        {"NaN step", wl, t, 400, 1100, kNaN},
        {"infinite step", wl, t, 400, 1100, inf},
        {"NaN bound", wl, t, kNaN, 1100, 2},
        {"infinite end", wl, t, 400, inf, 2},
        {"end beyond int", wl, t, 400, 3e9f, 2},
        {"walk stalls in single precision", wl, t, 1e8f, 1e8f + 64, 1},
        {"begin after end", wl, t, 1100, 400, 2},
        {"count formula disagrees", wl, t, 400.5f, 1100, 2},
    };
    for (const Case& c : cases) EXPECT_TRUE(nkFom_dataInterpolation(c.wl, c.t, c.bgn, c.end, c.step).empty()) << c.why;
}

}  // namespace
