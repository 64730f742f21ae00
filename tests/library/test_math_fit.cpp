#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "math_oracle.h"
#include "nk_math.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> noisy(const std::vector<double>& x, double (*f)(double), double sd, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, sd);
    std::vector<double> y;
    for (double v : x) y.push_back(f(v) + g(rng));
    return y;
}

std::vector<double> range(double from, double to, size_t n) {
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = from + (to - from) * double(i) / double(n - 1);
    return x;
}

}  // namespace

TEST(MathLineFit, ExactLineAndBadArguments) {
    const double x[] = {0, 1, 2, 3}, y[] = {1, 3, 5, 7};
    const t_nkMathLineFit f = nkMath_lineFit(x, y, 4);
    EXPECT_DOUBLE_EQ(f.slope, 2.0);
    EXPECT_DOUBLE_EQ(f.intercept, 1.0);
    EXPECT_DOUBLE_EQ(f.rSquared, 1.0);
    for (const t_nkMathLineFit& bad : {nkMath_lineFit(x, y, 0), nkMath_lineFit(nullptr, y, 4)})
        EXPECT_TRUE(std::isnan(bad.slope) && std::isnan(bad.intercept) && std::isnan(bad.rSquared));

    double slope = 7, r2 = 7;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_lineFitDouble(x, y, 4, nullptr, nullptr, nullptr, &r2), kNKErr_invalidParam);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("nkMath_lineFitDouble"), std::string::npos);
    EXPECT_EQ(r2, 7);
    double r = 0;
    EXPECT_EQ(nkMath_lineFitDouble(x, y, 4, &slope, nullptr, &r, &r2), kNKErr_OK);
    EXPECT_DOUBLE_EQ(slope, 2.0);
    EXPECT_DOUBLE_EQ(r, 1.0);

    const double same[] = {2, 2, 2};
    EXPECT_EQ(nkMath_lineFitDouble(same, y, 3, &slope, nullptr, nullptr, nullptr), kNKErr_OK);
    EXPECT_FALSE(std::isfinite(slope));

    const double gap[] = {1, NaN, 5, 7};
    EXPECT_TRUE(std::isnan(nkMath_lineFit(x, gap, 4).slope));

    // Vector forms of other element types; a short y is refused, not overread.
    const std::vector<unsigned> ux = {0, 1, 2, 3}, uy = {1, 3, 5, 7};
    EXPECT_DOUBLE_EQ((nkMath_lineFit<unsigned, unsigned>(ux, uy).slope), 2.0);
    EXPECT_DOUBLE_EQ((nkMath_lineFit<unsigned, unsigned>(ux.data(), uy.data(), 4).intercept), 1.0);
    EXPECT_TRUE(std::isnan((nkMath_lineFit<unsigned, unsigned>(ux, std::vector<unsigned>{1, 2}).slope)));
}

TEST(MathLineFit, AgreesWithScipyLinregress) {
    NK_NEED_PYTHON();
    const auto x = range(-3, 40, 57);
    const auto y = noisy(x, [](double v) { return 0.37 * v - 4.0; }, 1.5, 3);
    const auto want = nktest::oracle("linefit", {x, y});
    ASSERT_EQ(want.size(), 3u);
    const t_nkMathLineFit f = nkMath_lineFit(x.data(), y.data(), x.size());
    EXPECT_NEAR(f.slope, want[0], 1e-10);
    EXPECT_NEAR(f.intercept, want[1], 1e-9);
    EXPECT_NEAR(f.rSquared, want[2], 1e-10);
    const std::vector<float> fx(x.begin(), x.end()), fy(y.begin(), y.end());
    EXPECT_NEAR((nkMath_lineFit<float, float>(fx, fy).slope), want[0], 1e-5);
}

TEST(MathPolyFit, OrdersAndExactData) {
    const double x[] = {-1, 0, 1, 2, 3}, y[] = {6, 3, 2, 3, 6};  // 3 - 2x + x^2
    EXPECT_TRUE(nkMath_polyFit(x, y, 5, 0).empty());
    EXPECT_TRUE(nkMath_polyFit(x, y, 5, 5).empty());
    EXPECT_TRUE(nkMath_polyFit(nullptr, y, 5, 2).empty());
    const auto c = nkMath_polyFit(x, y, 5, 2);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_NEAR(c[0], 3, 1e-12);
    EXPECT_NEAR(c[1], -2, 1e-12);
    EXPECT_NEAR(c[2], 1, 1e-12);

    double c5[6];
    EXPECT_EQ(nkMath_polyFitDouble(x, y, 5, 5, c5), kNKErr_OK);  // no upper bound on the order here
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_polyFitDouble(x, y, 5, 0, c5), kNKErr_invalidParam);
    EXPECT_EQ(nkMath_polyFitDouble(x, y, 0, 2, c5), kNKErr_invalidParam);
    testing::internal::GetCapturedStderr();

    // Parabola of integer sample positions through the float form.
    std::vector<float> fx, fy;
    for (int i = 0; i < 9; ++i) {
        fx.push_back(float(i + 1000));
        fy.push_back(float(0.5 * (i - 4) * (i - 4) + 2));
    }
    const auto fc = nkMath_polyFit(fx, fy, 2);
    ASSERT_EQ(fc.size(), 3u);
    const double at = 1004.0;
    EXPECT_NEAR(fc[0] + fc[1] * at + fc[2] * at * at, 2.0, 1e-6);
    EXPECT_NEAR(fc[2], 0.5, 1e-9);
}

// x far from 0: an unscaled power matrix drops to rank 1 and gives a nearly constant fit.
TEST(MathPolyFit, AgreesWithNumpyPolyfitFarFromZero) {
    NK_NEED_PYTHON();
    struct Case {
        double from, to;
        unsigned order;
        double (*f)(double);
    };
    const Case cases[] = {
        {548, 552, 2, [](double v) { return 0.8 + 0.01 * (v - 550) - 0.004 * (v - 550) * (v - 550); }},
        {380, 780, 3, [](double v) { return 1e-8 * v * v * v - 2e-5 * v * v + 0.01 * v; }},
        {-2, 2, 4, [](double v) { return 1 - v + 0.5 * v * v * v * v; }},
        {0, 10, 1, [](double v) { return 3 * v + 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from);
        const auto x = range(c.from, c.to, 41);
        const auto y = noisy(x, c.f, 0.001, 11);
        const auto want = nktest::oracle("polyfit " + std::to_string(c.order), {x, y});
        ASSERT_EQ(want.size(), c.order + 1);
        const auto got = nkMath_polyFit(x.data(), y.data(), x.size(), c.order);
        std::vector<double> gotD(c.order + 1);
        ASSERT_EQ(nkMath_polyFitDouble(x.data(), y.data(), int(x.size()), int(c.order), gotD.data()), kNKErr_OK);
        ASSERT_EQ(got.size(), c.order + 1);
        // Compare the fitted curves, which stay well defined where single coefficients are huge.
        for (double v : x) {
            double w = 0, g = 0, gd = 0;
            for (size_t j = c.order + 1; j-- > 0;) {
                w = w * v + want[j];
                g = g * v + got[j];
                gd = gd * v + gotD[j];
            }
            EXPECT_NEAR(g, w, 1e-6 * (1 + std::fabs(w))) << "at " << v;
            EXPECT_NEAR(gd, w, 1e-6 * (1 + std::fabs(w))) << "at " << v;
        }
        for (size_t j = 0; j <= c.order; ++j)
            EXPECT_NEAR(got[j], want[j], 1e-6 * (1 + std::fabs(want[j]))) << "coefficient " << j;
    }
}

TEST(MathSineFit, FullPeriodAndNumpy) {
    const auto x = range(0, 2 * M_PI, 64);
    std::vector<double> y;
    for (double v : x) y.push_back(2 * std::sin(v + 0.5) + 3);
    const t_nkMathSineFit f = nkMath_sineFit(x.data(), y.data(), x.size());
    EXPECT_NEAR(f.amplitude, 2, 1e-12);
    EXPECT_NEAR(f.phase, 0.5, 1e-12);
    EXPECT_NEAR(f.offset, 3, 1e-12);
    EXPECT_TRUE(std::isnan(nkMath_sineFit(x.data(), y.data(), 0).amplitude));

    double a = 9, p = 9, o = 9;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_sineFitDouble(x.data(), y.data(), 64, &a, nullptr, &o), kNKErr_invalidParam);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(a, 9);
    EXPECT_EQ(o, 9);
    EXPECT_EQ(nkMath_sineFitDouble(x.data(), y.data(), 64, &a, &p, &o), kNKErr_OK);
    EXPECT_NEAR(p, 0.5, 1e-12);

    NK_NEED_PYTHON();
    const auto xn = range(-1, 9, 80);
    const auto yn = noisy(xn, [](double v) { return -1.5 * std::sin(v - 1.0) + 0.25; }, 0.2, 5);
    const auto want = nktest::oracle("sinefit", {xn, yn});
    ASSERT_EQ(want.size(), 3u);
    const t_nkMathSineFit g = nkMath_sineFit(xn.data(), yn.data(), xn.size());
    EXPECT_NEAR(g.amplitude, want[0], 1e-10);
    EXPECT_NEAR(g.phase, want[1], 1e-10);
    EXPECT_NEAR(g.offset, want[2], 1e-10);
}

// A NaN in the design matrix makes the solver fail: no leftovers are handed back.
TEST(MathSolver, FailuresGiveNoResult) {
    const double x[] = {1, NaN, 3, 4, 5}, y[] = {1, 2, 3, 4, 5};
    testing::internal::CaptureStdout();
    EXPECT_TRUE(nkMath_polyFit(x, y, 5, 2).empty());
    const t_nkMathSineFit s = nkMath_sineFit(x, y, 5);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("dgelss completed with issue, info="), std::string::npos);
    EXPECT_TRUE(std::isnan(s.amplitude) && std::isnan(s.phase) && std::isnan(s.offset));

    double c[3] = {7, 7, 7}, a = 7, p = 7, o = 7;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_polyFitDouble(x, y, 5, 2, c), kNKErr_lapackError);
    EXPECT_EQ(nkMath_sineFitDouble(x, y, 5, &a, &p, &o), kNKErr_lapackError);
    double A[15];
    for (int i = 0; i < 5; ++i) A[i * 3] = 1, A[i * 3 + 1] = x[i], A[i * 3 + 2] = x[i] * x[i];
    EXPECT_EQ(ZUTIL_LSSolverDouble(A, c, y, 5, 3, 1), kNKErr_lapackError);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"info==0\""), std::string::npos);
    EXPECT_EQ(c[0], 7);
    EXPECT_EQ(a, 0);  // zeroed once the arguments passed
}

TEST(MathSolver, SeveralRightHandSidesAndBadArguments) {
    // Row-major 3 x 2 system with two right-hand sides, both exactly solvable.
    const double A[] = {1, 0, 0, 2, 1, 1};
    const double b[] = {1, 3, 4, -2, 3, 2};  // columns: solution (1, 2) and (3, -1)
    double x[4] = {};
    ASSERT_EQ(ZUTIL_LSSolverDouble(A, x, b, 3, 2, 2), kNKErr_OK);
    EXPECT_NEAR(x[0], 1, 1e-12);
    EXPECT_NEAR(x[1], 3, 1e-12);
    EXPECT_NEAR(x[2], 2, 1e-12);
    EXPECT_NEAR(x[3], -1, 1e-12);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZUTIL_LSSolverDouble(A, x, b, 0, 2, 1), kNKErr_invalidParam);
    EXPECT_EQ(ZUTIL_LSSolverDouble(A, nullptr, b, 3, 2, 1), kNKErr_invalidParam);
    testing::internal::GetCapturedStderr();
}

TEST(MathProducts, DotsMatricesAndGaussian) {
    EXPECT_EQ(nkMath_gaussianFunction(1.0, 0.0, 1.0), 0.0);
    EXPECT_DOUBLE_EQ(nkMath_gaussianFunction(3.0, 2.0, 3.0), 1.0 / std::sqrt(2 * M_PI * 4));
    EXPECT_DOUBLE_EQ(nkMath_gaussianFunction(1.0, 2.0, 3.0), nkMath_gaussianFunction(3.0, 2.0, 1.0));

    const double a[] = {1, 2, 3}, b[] = {4, 5, 6};
    EXPECT_EQ(nkMath_vectorDotD(a, b, 0), 0.0);
    EXPECT_EQ(nkMath_vectorDotD(a, b, -3), 0.0);
    EXPECT_EQ(nkMath_vectorDotD(a, b, 3), 32.0);
    const float fa[] = {1, 2}, fb[] = {3, 4};
    EXPECT_EQ(nkMath_vectorDot(fa, fb, 2), 11.0f);
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the BLAS keeps worker threads
    EXPECT_DEATH(nkMath_vectorDotD(a, nullptr, 3), "B!=NULL");

    const double m[] = {1, 2, 3, 4, 5, 6};  // 2 x 3
    const double n[] = {1, 0, 0, 1, 1, 1};  // 3 x 2
    double c[4] = {-1, -1, -1, -1};
    int mc = 0, nc = 0;
    ASSERT_EQ(nkMath_matrixDotD(m, 2, 3, n, 3, 2, c, &mc, &nc), kNKErr_OK);
    EXPECT_EQ(mc, 2);
    EXPECT_EQ(nc, 2);
    EXPECT_EQ(std::vector<double>(c, c + 4), (std::vector<double>{4, 5, 10, 11}));
    const float fm[] = {1, 2, 3, 4};
    float fc[4];
    ASSERT_EQ(nkMath_matrixDot(fm, 2, 2, fm, 2, 2, fc, &mc, &nc), kNKErr_OK);
    EXPECT_EQ(std::vector<float>(fc, fc + 4), (std::vector<float>{7, 10, 15, 22}));

    double untouched[4] = {-1, -1, -1, -1};
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_matrixDotD(m, 2, 3, n, 3, 2, untouched, &mc, nullptr), kNKErr_invalidParam);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"pNc\""), std::string::npos);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkMath_matrixDotD(m, 2, 3, n, 2, 2, untouched, &mc, &nc), kNKErr_invalidParam);  // B too short
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(untouched[0], -1);
}
