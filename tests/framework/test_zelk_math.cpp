// ZelkMath: window statistics of the eight element types, the normal density and
// the least-squares fits, against hand cases and numpy/scipy.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ZelkMath.h"
#include "nk_test_util.h"

// A seam around LAPACK: the fits' solver calls this, which hands on to the real
// routine unless a test asks for the failure LAPACK reports as a non-zero INFO.
namespace {
int g_lapackInfo = 0;
}

extern "C" void dgelss_(const int* m, const int* n, const int* nrhs, double* a, const int* lda, double* b,
                        const int* ldb, double* s, const double* rcond, int* rank, double* work, const int* lwork,
                        int* info) {
    using Fn = void (*)(const int*, const int*, const int*, double*, const int*, double*, const int*, double*,
                        const double*, int*, double*, const int*, int*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "dgelss_"));
    if (g_lapackInfo != 0) {
        *info = g_lapackInfo;
        return;
    }
    real(m, n, nrhs, a, lda, b, ldb, s, rcond, rank, work, lwork, info);
}

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// All seven figures of one window, each output asked for.
template <class T>
struct Figures {
    T max{}, min{}, span{}, median{};
    double avg = -1, stdev = -1, rms = -1;
};

#define ZM_TYPE_TABLE(X) \
    X(UInt8, UInt8)      \
    X(SInt8, SInt8)      \
    X(UInt16, UInt16)    \
    X(SInt16, SInt16)    \
    X(UInt32, UInt32)    \
    X(SInt32, SInt32)    \
    X(Float, float)      \
    X(Double, double)

template <class T>
struct Api;
#define ZM_API(Name, T)                                                                                      \
    template <>                                                                                              \
    struct Api<T> {                                                                                          \
        static constexpr const char* name = #Name;                                                           \
        static void f1(const T* d, int s, int x0, int x1, T* mx, T* mn, T* sp, double* a, double* sd,       \
                       double* r, T* md) {                                                                   \
            ZMATH_FindMaxMinSpanAvgStdevRmsMed##Name##_1D(d, s, x0, x1, mx, mn, sp, a, sd, r, md);          \
        }                                                                                                    \
        static void f2(const T* d, int s, int x0, int x1, int y0, int y1, T* mx, T* mn, T* sp, double* a,  \
                       double* sd, double* r, T* md) {                                                       \
            ZMATH_FindMaxMinSpanAvgStdevRmsMed##Name##_2D(d, s, x0, x1, y0, y1, mx, mn, sp, a, sd, r, md);  \
        }                                                                                                    \
    };
ZM_TYPE_TABLE(ZM_API)
#undef ZM_API

template <class T>
Figures<T> all1D(const std::vector<T>& v) {
    Figures<T> f;
    Api<T>::f1(v.data(), static_cast<int>(v.size()), 0, static_cast<int>(v.size()), &f.max, &f.min, &f.span, &f.avg,
               &f.stdev, &f.rms, &f.median);
    return f;
}

// The oracle script runs once for a whole set of cases: one line in, one line out each.
std::vector<std::vector<double>> oracle(const std::vector<std::string>& cases) {
    nktest::TempDir dir;
    std::string text;
    for (const auto& c : cases) text += c + "\n";
    nktest::writeFile(dir.file("in.txt"), text);
    int status = -1;
    const std::string reply = nktest::runCommand(std::string(NK_PYTHON) + " " + NK_TEST_DATA_DIR +
                                                     "/zelk_math_oracle.py < " + dir.file("in.txt"),
                                                 &status);
    std::vector<std::vector<double>> out;
    if (status != 0) return out;
    for (const auto& line : nktest::splitLines(reply)) {
        std::istringstream in(line);
        std::vector<double> v;
        std::string tok;
        while (in >> tok) v.push_back(std::strtod(tok.c_str(), nullptr));
        if (!v.empty()) out.push_back(v);
    }
    return out;
}

template <class T>
std::string numbers(const std::vector<T>& v) {
    std::ostringstream s;
    s.precision(17);
    for (const T& x : v) s << static_cast<double>(x) << ' ';
    return s.str();
}

// ------------------------------------------------------------------------------ statistics

TEST(ZelkMathStats, DoubleCasesSkipTheMissingValue) {
    struct Case {
        std::vector<double> v;
        double max, min, span, avg, stdev, rms, median;
    };
    const double M = kZelk_noValue;
    const Case cases[] = {
        {{1, M, 3}, 3, 1, 2, 2, std::sqrt(2.0), std::sqrt(5.0), 2},
        {{M, 5, 7}, 7, 5, 2, 6, std::sqrt(2.0), std::sqrt(37.0), 6},
        {{4}, 4, 4, 0, 4, 0, 4, 4},
        {{M, M}, M, M, 0, kNaN, 0, kNaN, 0},
        {{1, kNaN, 3}, 3, 1, 2, kNaN, kNaN, kNaN, 3},  // NaN sorts after the numbers: {1, 3, NaN}
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(numbers(c.v));
        const auto f = all1D(c.v);
        EXPECT_EQ(f.max, c.max);
        EXPECT_EQ(f.min, c.min);
        EXPECT_EQ(f.span, c.span);
        if (std::isnan(c.avg)) EXPECT_TRUE(std::isnan(f.avg)); else EXPECT_DOUBLE_EQ(f.avg, c.avg);
        if (std::isnan(c.stdev)) EXPECT_TRUE(std::isnan(f.stdev)); else EXPECT_DOUBLE_EQ(f.stdev, c.stdev);
        if (std::isnan(c.rms)) EXPECT_TRUE(std::isnan(f.rms)); else EXPECT_DOUBLE_EQ(f.rms, c.rms);
        EXPECT_EQ(f.median, c.median);
    }
}

TEST(ZelkMathStats, IntegerMediansAndWideSums) {
    const auto u8 = all1D(std::vector<UInt8>{0, 2});
    EXPECT_DOUBLE_EQ(u8.avg, 1.0);
    EXPECT_DOUBLE_EQ(u8.stdev, std::sqrt(2.0));
    EXPECT_EQ(u8.median, 1);
    EXPECT_EQ(all1D(std::vector<UInt8>{1, 2}).median, 1);  // rounded down
    EXPECT_EQ(all1D(std::vector<SInt8>{-1, -2}).median, -1);  // toward zero
    EXPECT_EQ(all1D(std::vector<UInt8>{255, 255}).median, 255);  // the sum does not wrap
    const auto u32 = all1D(std::vector<UInt32>{4000000000u, 4000000002u});
    EXPECT_EQ(u32.median, 4000000001u);
    EXPECT_NEAR(u32.rms, 4000000001.0, 1.0);
    // The span is formed wide: a full SInt32 range neither traps nor is undefined.
    const auto s32 = all1D(std::vector<SInt32>{INT32_MIN, INT32_MAX});
    EXPECT_EQ(s32.span, static_cast<SInt32>(-1));
    EXPECT_EQ(all1D(std::vector<SInt8>{-100, 100}).span, static_cast<SInt8>(-56));
}

TEST(ZelkMathStats, TwoDimensionalWindowReadsItsCells) {
    std::vector<double> data(40, 1000.0);
    data[12] = 1;
    data[13] = 2;
    data[22] = 3;
    data[23] = 4;
    double mx = 0, mn = 0, avg = 0, med = 0;
    ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_2D(data.data(), 10, 2, 4, 1, 3, &mx, &mn, nullptr, &avg, nullptr,
                                                 nullptr, &med);
    EXPECT_EQ(mx, 4);
    EXPECT_EQ(mn, 1);
    EXPECT_EQ(avg, 2.5);
    EXPECT_EQ(med, 2.5);
    // Empty windows, including ones that would start before the data.
    for (auto w : {std::vector<int>{3, 3, 0, 1}, {0, 2, 2, 2}, {-1, 2, 0, 1}, {0, 2, -1, 1}}) {
        double a = 0, sd = -1, r = 0, m = -1;
        ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_2D(data.data() + 12, 10, w[0], w[1], w[2], w[3], &mx, &mn,
                                                     nullptr, &a, &sd, &r, &m);
        EXPECT_TRUE(std::isnan(a));
        EXPECT_EQ(sd, 0);
        EXPECT_TRUE(std::isnan(r));
        EXPECT_EQ(m, 0);
        EXPECT_EQ(mx, kZelk_noValue);
    }
}

// Each output alone equals the same output asked for together with the others,
// and nothing else is written.
template <class T>
void eachOutputAlone(const std::vector<T>& v) {
    SCOPED_TRACE(Api<T>::name);
    const Figures<T> all = all1D(v);
    const int n = static_cast<int>(v.size());
    T t = T(99);
    double d = -99;
    Api<T>::f1(v.data(), n, 0, n, &t, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(t, all.max);
    Api<T>::f1(v.data(), n, 0, n, nullptr, &t, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(t, all.min);
    Api<T>::f1(v.data(), n, 0, n, nullptr, nullptr, &t, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(t, all.span);
    Api<T>::f1(v.data(), n, 0, n, nullptr, nullptr, nullptr, &d, nullptr, nullptr, nullptr);
    EXPECT_EQ(d, all.avg);
    Api<T>::f1(v.data(), n, 0, n, nullptr, nullptr, nullptr, nullptr, &d, nullptr, nullptr);
    EXPECT_EQ(d, all.stdev);
    Api<T>::f1(v.data(), n, 0, n, nullptr, nullptr, nullptr, nullptr, nullptr, &d, nullptr);
    EXPECT_EQ(d, all.rms);
    Api<T>::f1(v.data(), n, 0, n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &t);
    EXPECT_EQ(t, all.median);
    Api<T>::f1(v.data(), n, 0, n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

TEST(ZelkMathStats, UnrequestedOutputsCostNothingAndChangeNothing) {
    eachOutputAlone(std::vector<UInt8>{3, 200, 7, 7});
    eachOutputAlone(std::vector<SInt8>{-3, 100, -7});
    eachOutputAlone(std::vector<UInt16>{3, 60000, 7, 8});
    eachOutputAlone(std::vector<SInt16>{-3, 30000, -7});
    eachOutputAlone(std::vector<UInt32>{3, 4000000000u, 7, 1});
    eachOutputAlone(std::vector<SInt32>{-3, 2000000000, -7});
    eachOutputAlone(std::vector<float>{1.5f, -2.25f, 8.0f, 1e-3f});
    eachOutputAlone(std::vector<double>{1.5, kZelk_noValue, -2.25, 8.0});
}

// Random data of every type (with missing values in Float and Double) against numpy.
template <class T>
void randomCase(std::mt19937& rng, std::vector<std::string>& cases, std::vector<std::vector<T>>& data) {
    std::vector<T> v(257 + rng() % 64);
    if constexpr (std::is_floating_point_v<T>) {
        std::normal_distribution<double> dist(12.5, 40.0);
        for (auto& x : v) x = static_cast<T>(dist(rng));
        for (size_t i = 0; i < v.size(); i += 7) v[i] = static_cast<T>(kZelk_noValue);
    } else {
        std::uniform_int_distribution<long long> dist(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
        for (auto& x : v) x = static_cast<T>(dist(rng));
    }
    cases.push_back(std::string(Api<T>::name) + " : " + numbers(v));
    data.push_back(v);
}

template <class T>
void compare(const std::vector<T>& v, const std::vector<double>& ref) {
    SCOPED_TRACE(Api<T>::name);
    ASSERT_EQ(ref.size(), 6u);
    const auto f = all1D(v);
    const double tol = std::is_same_v<T, float> ? 1e-5 : 1e-9;
    EXPECT_EQ(static_cast<double>(f.max), ref[0]);
    EXPECT_EQ(static_cast<double>(f.min), ref[1]);
    EXPECT_NEAR(f.avg, ref[2], tol * std::fabs(ref[2]) + 1e-9);
    EXPECT_NEAR(f.stdev, ref[3], tol * ref[3]);
    EXPECT_NEAR(f.rms, ref[4], tol * ref[4]);
    EXPECT_EQ(static_cast<double>(f.median), ref[5]);
}

TEST(ZelkMathStats, EveryTypeAgreesWithNumpy) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with numpy and scipy is not installed";
    std::mt19937 rng(20261211);
    std::vector<std::string> cases;
    std::vector<std::vector<UInt8>> u8;
    std::vector<std::vector<SInt8>> s8;
    std::vector<std::vector<UInt16>> u16;
    std::vector<std::vector<SInt16>> s16;
    std::vector<std::vector<UInt32>> u32;
    std::vector<std::vector<SInt32>> s32;
    std::vector<std::vector<float>> f32;
    std::vector<std::vector<double>> f64;
    for (int k = 0; k < 3; ++k) {
        randomCase(rng, cases, u8);
        randomCase(rng, cases, s8);
        randomCase(rng, cases, u16);
        randomCase(rng, cases, s16);
        randomCase(rng, cases, u32);
        randomCase(rng, cases, s32);
        randomCase(rng, cases, f32);
        randomCase(rng, cases, f64);
    }
    const auto ref = oracle(cases);
    ASSERT_EQ(ref.size(), cases.size());
    for (int k = 0; k < 3; ++k) {
        compare(u8[k], ref[k * 8 + 0]);
        compare(s8[k], ref[k * 8 + 1]);
        compare(u16[k], ref[k * 8 + 2]);
        compare(s16[k], ref[k * 8 + 3]);
        compare(u32[k], ref[k * 8 + 4]);
        compare(s32[k], ref[k * 8 + 5]);
        compare(f32[k], ref[k * 8 + 6]);
        compare(f64[k], ref[k * 8 + 7]);
    }
}

TEST(ZelkMathStats, GaussianAndArrayHelpers) {
    EXPECT_NEAR(ZMATH_GaussianFunction(0, 1, 0), 1 / std::sqrt(6.2831854820251465), 1e-15);
    EXPECT_NEAR(ZMATH_GaussianFunction(0, 1, 0), 0.39894227, 1e-8);
    EXPECT_EQ(ZMATH_GaussianFunction(3, 0, 3), 0.0);
    EXPECT_EQ(ZMATH_GaussianFunction(2, 0.5, 5), ZMATH_GaussianFunction(5, 0.5, 2));
    const double v[] = {3, -1, kZelk_noValue, 7};
    EXPECT_EQ(nkMath_getMax_double(v, 4), 7);
    EXPECT_EQ(nkMath_getMin_double(v, 4), -1);  // nothing is skipped, not even the missing value
    EXPECT_DOUBLE_EQ(nkMath_getAvg_double(v, 2), 1.0);
}

TEST(ZelkMathStatsDeathTest, ArrayHelpersRefuseNoData) {
    EXPECT_DEATH(nkMath_getMax_double(nullptr, 3), "x!=NULL && leng>0");
    const double v[] = {1};
    EXPECT_DEATH(nkMath_getAvg_double(v, 0), "x!=NULL && leng>0");
}

// ------------------------------------------------------------------------------ fits

TEST(ZelkMathFit, LineFitCasesAndRefusals) {
    double s = 0, i = 0, r = 0, r2 = 0;
    const double x1[] = {0, 1, 2}, y1[] = {1, 3, 5};
    ASSERT_EQ(ZMATH_LineFitDouble(x1, y1, 3, &s, &i, &r, &r2), 0);
    EXPECT_DOUBLE_EQ(s, 2);
    EXPECT_DOUBLE_EQ(i, 1);
    EXPECT_DOUBLE_EQ(r, 1);
    EXPECT_DOUBLE_EQ(r2, 1);
    const double x2[] = {1, 2, 3}, y2[] = {2, 2, 2};
    ASSERT_EQ(ZMATH_LineFitDouble(x2, y2, 3, &s, &i, &r, nullptr), 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(i, 2);
    EXPECT_TRUE(std::isnan(r));
    r2 = 42;
    EXPECT_EQ(ZMATH_LineFitDouble(x1, y1, 3, nullptr, nullptr, nullptr, &r2), 17);
    EXPECT_EQ(r2, 42);
    EXPECT_EQ(ZMATH_LineFitDouble(x1, y1, 0, &s, nullptr, nullptr, nullptr), 17);
    EXPECT_EQ(ZMATH_LineFitDouble(nullptr, y1, 3, &s, nullptr, nullptr, nullptr), 17);
}

TEST(ZelkMathFit, FitsAgreeWithNumpyAndScipy) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with numpy and scipy is not installed";
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 1);
    // A line far from the origin with a tiny spread: raw sums lose every digit here.
    std::vector<double> lx(50), ly(50);
    for (size_t k = 0; k < lx.size(); ++k) {
        lx[k] = 1e6 + 1e-3 * static_cast<double>(k) / 50.0;
        ly[k] = 3.0 * (lx[k] - 1e6) * 1e3 + 0.01 * noise(rng);
    }
    std::vector<double> rx(40), ry(40);
    for (size_t k = 0; k < rx.size(); ++k) {
        rx[k] = noise(rng) * 10;
        ry[k] = -0.5 * rx[k] + 4 + noise(rng);
    }
    // y = x^2 over x = 100..110: raw powers leave the solver rank 1.
    std::vector<double> px, py;
    for (int k = 100; k <= 110; ++k) px.push_back(k), py.push_back(double(k) * k);
    std::vector<double> qx(30), qy(30);
    for (size_t k = 0; k < qx.size(); ++k) {
        qx[k] = -3 + 0.2 * static_cast<double>(k);
        qy[k] = 1 - 2 * qx[k] + 0.5 * qx[k] * qx[k] * qx[k] + 0.1 * noise(rng);
    }
    // Over- and under-determined systems, the latter with two right-hand sides.
    std::vector<double> a1(5 * 3), b1(5), a2(2 * 4), b2(2 * 2);
    for (auto* v : {&a1, &b1, &a2, &b2})
        for (auto& e : *v) e = noise(rng);
    const std::vector<std::string> cases = {
        "linefit : " + numbers(lx) + "|" + numbers(ly),
        "linefit : " + numbers(rx) + "|" + numbers(ry),
        "polyfit 2 : " + numbers(px) + "|" + numbers(py),
        "polyfit 3 : " + numbers(qx) + "|" + numbers(qy),
        "lstsq 5 3 1 : " + numbers(a1) + "|" + numbers(b1),
        "lstsq 2 4 2 : " + numbers(a2) + "|" + numbers(b2),
    };
    const auto ref = oracle(cases);
    ASSERT_EQ(ref.size(), cases.size());

    double s = 0, i = 0, r = 0;
    ASSERT_EQ(ZMATH_LineFitDouble(lx.data(), ly.data(), 50, &s, &i, &r, nullptr), 0);
    EXPECT_NEAR(s, ref[0][0], 1e-6 * std::fabs(ref[0][0]));
    EXPECT_NEAR(r, ref[0][2], 1e-9);
    EXPECT_NEAR(s, 3000.0, 30.0);
    ASSERT_EQ(ZMATH_LineFitDouble(rx.data(), ry.data(), 40, &s, &i, &r, nullptr), 0);
    EXPECT_NEAR(s, ref[1][0], 1e-12);
    EXPECT_NEAR(i, ref[1][1], 1e-12);
    EXPECT_NEAR(r, ref[1][2], 1e-12);

    double c2[3];
    ASSERT_EQ(ZMATH_PolyFitDouble(px.data(), py.data(), 11, 2, c2), 0);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(c2[k], ref[2][k], 1e-6 * (1 + std::fabs(ref[2][k])));
    EXPECT_NEAR(c2[2], 1.0, 1e-9);
    double c3[4];
    ASSERT_EQ(ZMATH_PolyFitDouble(qx.data(), qy.data(), 30, 3, c3), 0);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(c3[k], ref[3][k], 1e-9);

    double x1[3];
    ASSERT_EQ(ZMATH_LSSolverDouble(a1.data(), x1, b1.data(), 5, 3, 1), 0);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(x1[k], ref[4][k], 1e-12);
    double x2[8];
    ASSERT_EQ(ZMATH_LSSolverDouble(a2.data(), x2, b2.data(), 2, 4, 2), 0);
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(x2[k], ref[5][k], 1e-12) << k;
}

TEST(ZelkMathFit, SmallExactFitsAndRefusals) {
    const double px[] = {-1, 0, 1}, py[] = {1, 0, 1};
    double c[3];
    ASSERT_EQ(ZMATH_PolyFitDouble(px, py, 3, 2, c), 0);
    EXPECT_NEAR(c[0], 0, 1e-12);
    EXPECT_NEAR(c[1], 0, 1e-12);
    EXPECT_NEAR(c[2], 1, 1e-12);
    EXPECT_EQ(ZMATH_PolyFitDouble(px, py, 3, 0, c), 17);
    EXPECT_EQ(ZMATH_PolyFitDouble(px, py, 0, 2, c), 17);

    const double th[] = {0, M_PI / 2, M_PI, 3 * M_PI / 2};
    double y[4];
    for (int k = 0; k < 4; ++k) y[k] = 2 * std::sin(th[k]) + 1;
    double amp = 0, ph = 0, off = 0;
    ASSERT_EQ(ZMATH_SineFitDouble(th, y, 4, &amp, &ph, &off), 0);
    EXPECT_NEAR(amp, 2, 1e-12);
    EXPECT_NEAR(ph, 0, 1e-12);
    EXPECT_NEAR(off, 1, 1e-12);
    EXPECT_EQ(ZMATH_SineFitDouble(th, y, 4, &amp, nullptr, &off), 17);

    const double a[] = {1, 0, 0, 1, 1, 1}, b[] = {1, 2, 3};
    double x[2];
    EXPECT_EQ(ZMATH_LSSolverDouble(a, x, b, 3, 2, 0), 17);
    EXPECT_EQ(ZMATH_LSSolverDouble(nullptr, x, b, 3, 2, 1), 17);
    ASSERT_EQ(ZMATH_LSSolverDouble(a, x, b, 3, 2, 1), 0);
    EXPECT_NEAR(x[0], 1.0, 1e-12);
    EXPECT_NEAR(x[1], 2.0, 1e-12);
}

// LAPACK's reported failure is 36 from every fit, with the work memory freed
// (the sanitizer's leak check ends the run otherwise) and the sine outputs zero.
TEST(ZelkMathFit, LapackFailureIs36) {
    g_lapackInfo = 3;
    const double a[] = {1, 0, 0, 1, 1, 1}, b[] = {1, 2, 3};
    double x[2];
    EXPECT_EQ(ZMATH_LSSolverDouble(a, x, b, 3, 2, 1), 36);
    const double px[] = {-1, 0, 1}, py[] = {1, 0, 1};
    double c[3];
    EXPECT_EQ(ZMATH_PolyFitDouble(px, py, 3, 2, c), 36);
    double amp = 5, ph = 5, off = 5;
    EXPECT_EQ(ZMATH_SineFitDouble(px, py, 3, &amp, &ph, &off), 36);
    EXPECT_EQ(amp, 0);
    EXPECT_EQ(ph, 0);
    EXPECT_EQ(off, 0);
    g_lapackInfo = 0;
    EXPECT_EQ(ZMATH_LSSolverDouble(a, x, b, 3, 2, 1), 0);
}

}  // namespace
