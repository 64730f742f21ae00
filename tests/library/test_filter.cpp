#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "math_oracle.h"
#include "nk_filter.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double f32(double v) { return double(float(v)); }

}  // namespace

TEST(Filter1d, BadArgumentsLeaveOutputAlone) {
    typedef u16 (*Fit)(const double*, double*, size_t, int);
    const Fit fits[] = {nkMath_filter_linear_1d, nkMath_filter_2nd_order_1d};
    const double d[] = {1, 2};
    double out[2] = {-9, -9};
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_filter_window_1d(d, out, 1, 3, 0.5), kNKErr_invalidParam);
    EXPECT_EQ(nkMath_filter_window_1d(d, out, 2, 0, 0.5), kNKErr_invalidParam);
    EXPECT_EQ(nkMath_filter_window_1d(nullptr, out, 2, 3, 0.5), kNKErr_invalidParam);
    for (Fit f : fits) {
        EXPECT_EQ(f(d, out, 1, 3), kNKErr_invalidParam);
        EXPECT_EQ(f(d, nullptr, 2, 3), kNKErr_invalidParam);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"data!=NULL && out!=NULL && len>1 && wnd_sz>0\""), std::string::npos);
    EXPECT_EQ(out[0], -9);
    EXPECT_EQ(out[1], -9);
}

TEST(Filter1d, WindowMeanWeights) {
    const double d[] = {1.1, 2.0, NaN, 7.0, 3.5, kNK_noValue};
    double out[6];
    // A window of one passes valid samples (in single precision) and zeroes the missing ones.
    ASSERT_EQ(nkMath_filter_window_1d(d, out, 6, 1, 0.5), kNKErr_OK);
    EXPECT_EQ(out[0], f32(1.1));
    EXPECT_EQ(out[2], 0.0);
    EXPECT_EQ(out[5], 0.0);
    // Odd window: plain mean of the valid samples whatever k; cut short at the ends.
    ASSERT_EQ(nkMath_filter_window_1d(d, out, 6, 3, 0.1), kNKErr_OK);
    EXPECT_NEAR(out[0], (1.1 + 2.0) / 2, 1e-6);
    EXPECT_NEAR(out[2], (2.0 + 7.0) / 2, 1e-6);
    EXPECT_NEAR(out[5], 3.5, 1e-6);
    // Even window: the two end samples weigh k.
    const double e[] = {1, 2, 4, 8};
    ASSERT_EQ(nkMath_filter_window_1d(e, out, 4, 2, 0.5), kNKErr_OK);
    EXPECT_NEAR(out[1], (0.5 * 1 + 2 + 0.5 * 4) / 2, 1e-6);
    EXPECT_NEAR(out[2], (0.5 * 2 + 4 + 0.5 * 8) / 2, 1e-6);

    const std::vector<float> v = {1, 2, 3, 4};
    EXPECT_EQ(nkMath_filter_window_1d(v, 3, 0.5), (std::vector<double>{1.5, 2, 3, 3.5}));
    EXPECT_EQ(nkMath_filter_window_1d(std::vector<float>{5}, 3, 0.5), (std::vector<double>{5}));
}

TEST(Filter1d, LocalFitsKeepLinesAndParabolas) {
    const size_t n = 3000;  // indices far from 0 at the end
    std::vector<double> line(n), par(n), out(n);
    for (size_t i = 0; i < n; ++i) {
        line[i] = 0.25 * double(i) - 3;
        const double t = (double(i) - 2900.0) / 10.0;
        par[i] = 2 + 0.5 * t * t;
    }
    line[1500] = NaN;  // the fit fills the gap
    ASSERT_EQ(nkMath_filter_linear_1d(line.data(), out.data(), n, 5), kNKErr_OK);
    for (size_t i : {size_t(0), size_t(1), size_t(1500), n - 1})
        EXPECT_NEAR(out[i], 0.25 * double(i) - 3, 1e-3 * (1 + std::fabs(out[i]))) << i;
    ASSERT_EQ(nkMath_filter_2nd_order_1d(par.data(), out.data(), n, 7), kNKErr_OK);
    for (size_t i : {size_t(0), size_t(2890), size_t(2900), n - 1})
        EXPECT_NEAR(out[i], par[i], 1e-5 * (1 + std::fabs(par[i]))) << i;

    // Too few valid samples: the input passes through unchanged.
    const double gaps[] = {NaN, 4.0, NaN, NaN, NaN};
    double o[5];
    ASSERT_EQ(nkMath_filter_linear_1d(gaps, o, 5, 3), kNKErr_OK);
    EXPECT_EQ(o[1], 4.0);
    EXPECT_TRUE(std::isnan(o[3]));
    ASSERT_EQ(nkMath_filter_2nd_order_1d(gaps, o, 5, 3), kNKErr_OK);
    EXPECT_EQ(o[1], 4.0);
}

TEST(Filter2d, ConeMeanMaskAndWindowEdges) {
    // 4 x 1 row, window 2 (h = 1), k = 0: h before and h + 1 after the centre.
    const double row[] = {1, 2, 3, 10};
    double out[4];
    ASSERT_EQ(nkMath_filter_window_2d(row, out, 4, 1, 2, 0.0), kNKErr_OK);
    EXPECT_NEAR(out[0], (1 + 2 + 3) / 3.0, 1e-6);
    EXPECT_NEAR(out[1], (1 + 2 + 3 + 10) / 4.0, 1e-6);
    EXPECT_NEAR(out[3], (3 + 10) / 2.0, 1e-6);

    // Masked pixels come out 255 and are left out of their neighbours.
    const double img[] = {10, 255, 10, NaN, 10, 300, 10, 10, 10};
    double o[9];
    ASSERT_EQ(nkMath_filter_window_2d(img, o, 3, 3, 3, 0.7), kNKErr_OK);
    EXPECT_EQ(o[1], 255.0);
    EXPECT_EQ(o[3], 255.0);
    EXPECT_EQ(o[5], 255.0);
    for (int i : {0, 2, 4, 6, 7, 8}) EXPECT_NEAR(o[i], 10.0, 1e-5) << i;

    // Cone weights: the centre weighs 1, a side neighbour 1 - k / sqrt(2).
    const double pair[] = {0, 8};
    ASSERT_EQ(nkMath_filter_window_2d(pair, out, 2, 1, 2, 0.5), kNKErr_OK);
    const double w = 1 - 1 / std::sqrt(2.0) * 0.5;
    EXPECT_NEAR(out[0], 8 * w / (1 + w), 1e-5);

    // Windows of 0 and 1 have no neighbours: the image stands.
    for (size_t wnd : {0u, 1u}) {
        ASSERT_EQ(nkMath_filter_window_2d(img, o, 3, 3, wnd, 0.5), kNKErr_OK);
        EXPECT_EQ(o[0], 10.0);
        EXPECT_EQ(o[3], 255.0);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_filter_window_2d(nullptr, o, 3, 3, 3, 0.5), kNKErr_invalidParam);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(nkMath_filter_window_2d(nullptr, nullptr, 3, 0, 3, 0.5), kNKErr_OK);
}

TEST(Biquad, ArgumentChecks) {
    float s[2] = {1.0f, 2.0f};
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkFltr_biquad(bqType_notch, nullptr, 2, 0.1f, 1, 0), kNKErr_invalidPointer);
    EXPECT_EQ(nkFltr_biquad(bqType_notch, s, 1, 0.1f, 1, 0), kNKErr_invalidParam);
    EXPECT_EQ(nkFltr_biquad(0, s, 2, 0.1f, 1, 0), kNKErr_invalidParam);
    EXPECT_EQ(nkFltr_biquad(bqType_max, s, 2, 0.1f, 1, 0), kNKErr_invalidParam);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"type>0 && type<bqType_max\""), std::string::npos);
    EXPECT_EQ(s[0], 1.0f);
    EXPECT_EQ(s[1], 2.0f);
}

TEST(Biquad, ResponsesFromRest) {
    std::vector<float> x(400);
    for (size_t i = 0; i < x.size(); ++i) x[i] = float(std::sin(0.3 * double(i)) + 0.1 * double(i % 7));
    // A peak of 0 dB is the identity.
    std::vector<float> y = x;
    ASSERT_EQ(nkFltr_biquad(bqType_peak, y.data(), unsigned(y.size()), 0.1f, 2.0f, 0.0f), kNKErr_OK);
    for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(y[i], x[i], 1e-5);
    // A notch at a quarter of the sampling rate removes that sine after the transient.
    std::vector<float> q(600);
    for (size_t i = 0; i < q.size(); ++i) q[i] = float(std::sin(M_PI / 2 * double(i) + 0.3));
    ASSERT_EQ(nkFltr_biquad(bqType_notch, q.data(), unsigned(q.size()), 0.25f, 2.0f, 0.0f), kNKErr_OK);
    for (size_t i = 500; i < q.size(); ++i) EXPECT_NEAR(q[i], 0.0f, 1e-4);
    // Every call starts from rest: two halves differ from the whole.
    std::vector<float> whole = x, halves = x;
    nkFltr_biquad(bqType_highpass, whole.data(), 400, 0.05f, 0.707f, 0);
    nkFltr_biquad(bqType_highpass, halves.data(), 200, 0.05f, 0.707f, 0);
    nkFltr_biquad(bqType_highpass, halves.data() + 200, 200, 0.05f, 0.707f, 0);
    EXPECT_NE(whole[200], halves[200]);
}

TEST(Biquad, AgreesWithScipyLfilter) {
    NK_NEED_PYTHON();
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(256);
    for (float& v : x) v = u(rng);
    struct Case {
        int type;
        float fc, q, gain;
    };
    const Case cases[] = {{1, 0.05f, 0.707f, 0}, {2, 0.1f, 3.0f, 0},  {3, 0.2f, 1.5f, 0},  {4, 0.15f, 2.0f, 6},
                          {4, 0.15f, 2.0f, -9},  {5, 0.08f, 1, 4.5f}, {5, 0.08f, 1, -4.5f}, {6, 0.3f, 1, 3},
                          {6, 0.3f, 1, -12}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        SCOPED_TRACE(c.gain);
        char args[128];
        std::snprintf(args, sizeof args, "biquad %d %.9g %.9g %.9g", c.type, c.fc, c.q, c.gain);
        const auto want = nktest::oracle(args, {std::vector<double>(x.begin(), x.end())});
        ASSERT_EQ(want.size(), x.size());
        std::vector<float> y = x;
        ASSERT_EQ(nkFltr_biquad(c.type, y.data(), unsigned(y.size()), c.fc, c.q, c.gain), kNKErr_OK);
        for (size_t i = 0; i < y.size(); ++i) ASSERT_NEAR(y[i], want[i], 2e-5 * (1 + std::fabs(want[i]))) << i;
    }
}
