#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "math_oracle.h"
#include "nk_math.h"

namespace {

// The solvers print one progress line per iteration; keep the test log readable.
struct QuietStdout {
    QuietStdout() { testing::internal::CaptureStdout(); }
    ~QuietStdout() { testing::internal::GetCapturedStdout(); }
};

}  // namespace

TEST(MathDlibFit, ThroughOriginSlope) {
    QuietStdout quiet;
    const double x[] = {1, 2, 3, 4, 5}, y[] = {2.5, 5, 7.5, 10, 12.5};
    double slope = 0;
    EXPECT_EQ(nkMath_lineRtoFitDouble(x, y, 5, &slope), kNKErr_OK);
    EXPECT_NEAR(slope, 2.5, 1e-6);
    slope = 42;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_lineRtoFitDouble(x, y, 0, &slope), kNKErr_invalidParam);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"leng>0\""), std::string::npos);
    EXPECT_EQ(slope, 42);
}

TEST(MathDlibFit, CubicWhateverTheOrder) {
    QuietStdout quiet;
    std::vector<double> x, y;
    for (int i = -5; i <= 5; ++i) {
        x.push_back(i * 0.4);
        y.push_back(0.5 * std::pow(i * 0.4, 3) - 1.0 * std::pow(i * 0.4, 2) + 2.0 * i * 0.4 - 3.0);
    }
    double c[4] = {};
    EXPECT_EQ(nkMath_polynomialFitDouble(x.data(), y.data(), int(x.size()), 1, c), kNKErr_OK);
    const double want[] = {0.5, -1.0, 2.0, -3.0};  // highest power first
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(c[i], want[i], 1e-5) << i;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_polynomialFitDouble(x.data(), y.data(), int(x.size()), 5, c), kNKErr_notSupported);
    EXPECT_EQ(nkMath_polynomialFitDouble(x.data(), nullptr, int(x.size()), 2, c), kNKErr_invalidParam);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"vy\""), std::string::npos);
}

TEST(MathDlibFit, InverseModel) {
    QuietStdout quiet;
    std::vector<double> x, y;
    for (int i = 0; i < 30; ++i) {
        x.push_back(0.2 + i * 0.3);
        y.push_back(2.0 / (x.back() + 1.0) + 0.5);
    }
    double a = 0, b = 0, c = 0, mse = 1;
    EXPECT_EQ(nkMath_inverseFitDouble(x.data(), y.data(), 30, &a, &b, &c, &mse), kNKErr_OK);
    EXPECT_NEAR(a, 2.0, 1e-4);
    EXPECT_NEAR(b, 1.0, 1e-4);
    EXPECT_NEAR(c, 0.5, 1e-4);
    EXPECT_LT(mse, 1e-10);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_inverseFitDouble(nullptr, y.data(), 30, &a, &b, &c, &mse), kNKErr_invalidParam);
    testing::internal::GetCapturedStderr();

    NK_NEED_PYTHON();
    std::mt19937 rng(2);
    std::normal_distribution<double> g(0, 0.01);
    for (double& v : y) v += g(rng);
    const auto want = nktest::oracle("inversefit", {x, y});
    ASSERT_EQ(want.size(), 3u);
    EXPECT_EQ(nkMath_inverseFitDouble(x.data(), y.data(), 30, &a, &b, &c, nullptr), kNKErr_OK);
    EXPECT_NEAR(a, want[0], 1e-3);
    EXPECT_NEAR(b, want[1], 1e-3);
    EXPECT_NEAR(c, want[2], 1e-3);
}

TEST(MathDlibFit, GaussianInCallerUnits) {
    QuietStdout quiet;
    const t_nkMathGaussianFit none = nkMath_gaussianFit(nullptr, nullptr, 0);
    EXPECT_TRUE(std::isnan(none.amplitude) && std::isnan(none.width) && std::isnan(none.center));

    // Exact peak over x = 10..20; also over x from 0, where the shift is 0.
    for (double from : {10.0, 0.0}) {
        std::vector<double> x, y;
        for (int i = 0; i <= 40; ++i) {
            x.push_back(from + i * 0.25);
            const double t = (x.back() - (from + 4.2)) / 1.7;
            y.push_back(3.0 * std::exp(-t * t));
        }
        x[7] = NAN;  // a missing pair is left out, not spread over the fit
        const t_nkMathGaussianFit f = nkMath_gaussianFit(x.data(), y.data(), x.size());
        EXPECT_NEAR(f.center, from + 4.2, 1e-5);
        EXPECT_NEAR(f.width, 1.7, 1e-5);
        EXPECT_NEAR(f.amplitude, 3.0, 1e-5);
    }

    NK_NEED_PYTHON();
    std::mt19937 rng(4);
    std::normal_distribution<double> g(0, 0.05);
    std::vector<double> x, y;
    for (int i = 0; i <= 60; ++i) {
        x.push_back(540 + i * 0.5);
        const double t = (x.back() - 553.3) / 4.0;
        y.push_back(0.9 * std::exp(-t * t) + g(rng));
    }
    const auto want = nktest::oracle("gaussfit", {x, y});
    ASSERT_EQ(want.size(), 3u);
    const t_nkMathGaussianFit f = nkMath_gaussianFit(x.data(), y.data(), x.size());
    EXPECT_NEAR(f.amplitude, want[0], 1e-4);
    EXPECT_NEAR(f.width, want[1], 1e-3);
    EXPECT_NEAR(f.center, want[2], 1e-3);
}

TEST(MathDlibInverse, InverseAndPseudoInverse) {
    const double m[] = {4, 7, 2, 6};
    double inv[4];
    ASSERT_EQ(nkMath_matrixInvD(m, inv, 2, 2), kNKErr_OK);
    const double want[] = {0.6, -0.7, -0.2, 0.4};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(inv[i], want[i], 1e-12);
    double pinv[4];
    ASSERT_EQ(nkMath_matrixPinvD(m, pinv, 2, 2), kNKErr_OK);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(pinv[i], want[i], 1e-12);

    // 2 x 3 in, 3 x 2 out, meeting the Moore-Penrose condition A A+ A = A.
    const float a[] = {1, 2, 3, 4, 5, 6};
    float p[6];
    ASSERT_EQ(nkMath_matrixPinv(a, p, 2, 3), kNKErr_OK);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) {
            double v = 0;
            for (int k = 0; k < 3; ++k)
                for (int j = 0; j < 2; ++j) v += a[r * 3 + k] * p[k * 2 + j] * a[j * 3 + c];
            EXPECT_NEAR(v, a[r * 3 + c], 1e-4);
        }

    const float fm[] = {4, 7, 2, 6};
    float finv[4];
    ASSERT_EQ(nkMath_matrixInv(fm, finv, 2, 2), kNKErr_OK);
    EXPECT_NEAR(finv[1], -0.7f, 1e-6f);

    double out[9] = {-1};
    testing::internal::CaptureStderr();
    const double singular[] = {1, 2, 2, 4};
    EXPECT_EQ(nkMath_matrixInvD(singular, out, 2, 2), kNKErr_invalidParam);
    EXPECT_EQ(nkMath_matrixInvD(m, out, 1, 4), kNKErr_invalidParam);  // not square
    EXPECT_EQ(nkMath_matrixInvD(m, out, 0, 0), kNKErr_invalidParam);
    EXPECT_EQ(nkMath_matrixPinvD(m, nullptr, 2, 2), kNKErr_invalidParam);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"mOut\""), std::string::npos);
    EXPECT_EQ(out[0], -1);
}
