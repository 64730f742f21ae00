#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "math_oracle.h"
#include "nk_math.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// NaN-aware equality for expected figures.
void expectFigure(double expected, double actual, const char* what) {
    if (std::isnan(expected))
        EXPECT_TRUE(std::isnan(actual)) << what << " = " << actual;
    else
        EXPECT_DOUBLE_EQ(expected, actual) << what;
}

void expectStat(const t_nkMathStat& want, const t_nkMathStat& got) {
    EXPECT_EQ(want.n, got.n);
    expectFigure(want.max, got.max, "max");
    expectFigure(want.min, got.min, "min");
    expectFigure(want.avg, got.avg, "avg");
    expectFigure(want.stdev, got.stdev, "stdev");
    expectFigure(want.rms, got.rms, "rms");
    expectFigure(want.median, got.median, "median");
}

}  // namespace

TEST(MathStat, RecordOverDoubles) {
    struct Case {
        std::vector<double> in;
        t_nkMathStat want;
    };
    const Case cases[] = {
        {{}, {0, NaN, NaN, NaN, NaN, NaN, NaN}},
        {{5.0}, {1, 5, 5, 5, NaN, 5, NaN}},
        {{1, 2, 3, 4}, {4, 4, 1, 2.5, 1.2909944487358056, 2.7386127875258306, 2.5}},
        {{3, 1, 2}, {3, 3, 1, 2, 1, std::sqrt(14.0 / 3), 2}},
        // Missing values never become an extreme and never enter the mean.
        {{1, NaN, 3}, {3, 3, 1, 2, 1.4142135623730951, 2.23606797749979, 2}},
        {{2, kNK_noValue, 4}, {3, 4, 2, 3, 1.4142135623730951, 3.1622776601683795, 3}},
        {{-Inf, 7, Inf}, {3, 7, 7, 7, NaN, 7, 7}},
        {{NaN, Inf, kNK_noValue}, {3, NaN, NaN, NaN, NaN, NaN, NaN}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.in));
        expectStat(c.want, nkMath_stat(c.in.data(), c.in.size()));
    }
}

TEST(MathStat, SingleFiguresSkipInvalidValues) {
    const double d[] = {1, NaN, 3, kNK_noValue};
    EXPECT_DOUBLE_EQ(nkMath_avg(d, 4), 2.0);
    EXPECT_DOUBLE_EQ(nkMath_median(d, 4), 2.0);
    EXPECT_DOUBLE_EQ(nkMath_rms(d, 4), std::sqrt(5.0));
    EXPECT_DOUBLE_EQ(nkMath_stdev(d, 4, NaN), std::sqrt(2.0));
    const double q[] = {1, 2, 3, 4};
    EXPECT_DOUBLE_EQ(nkMath_stdev(q, 4, 0.0), std::sqrt(30.0 / 3));  // a given mean is used as given

    // The sentinel is tested in float width.
    const float f[] = {2.0f, kNK_noValueF, 4.0f, std::numeric_limits<float>::quiet_NaN()};
    expectStat({4, 4, 2, 3, std::sqrt(2.0), std::sqrt(10.0), 3}, nkMath_stat(f, 4));

    // One element has no median; two elements of which one is valid give that one.
    const double one[] = {5}, half[] = {NaN, 5}, none[] = {NaN, Inf};
    EXPECT_TRUE(std::isnan(nkMath_median(one, 1)));
    EXPECT_DOUBLE_EQ(nkMath_median(half, 2), 5.0);
    EXPECT_TRUE(std::isnan(nkMath_median(none, 2)));
    EXPECT_TRUE(std::isnan(nkMath_avg(none, 2)));
    EXPECT_TRUE(std::isnan(nkMath_rms(none, 2)));
    EXPECT_TRUE(std::isnan(nkMath_stdev(none, 2, NaN)));
    EXPECT_TRUE(std::isnan(nkMath_avg<double>(nullptr, 3)));
    EXPECT_TRUE(std::isnan(nkMath_stat<double>(nullptr, 3).avg));
}

TEST(MathStat, IntegerElementsAreAllValidAndMediansKeepPrecision) {
    const unsigned char u8[] = {0, 0, 6};
    EXPECT_DOUBLE_EQ(nkMath_avg(u8, 3), 2.0);
    EXPECT_DOUBLE_EQ(nkMath_median(u8, 3), 0.0);
    const unsigned int big[] = {4000000000u, 4000000000u};
    EXPECT_DOUBLE_EQ(nkMath_median(big, 2), 4000000000.0);  // no wrap in the middle sum
    const int far[] = {(1 << 24) + 1, (1 << 24) + 3, (1 << 24) + 5};
    EXPECT_DOUBLE_EQ(nkMath_median(far, 3), double((1 << 24) + 4));  // rounded to single precision
    const signed char s8[] = {-128, 127, -1, 0};
    expectStat({4, 127, -128, -0.5, std::sqrt(32513.0 / 3),
                std::sqrt((128.0 * 128 + 127 * 127 + 1) / 4), -0.5},
               nkMath_stat(s8, 4));
}

TEST(MathStat, Window2d) {
    double a[12];
    for (int i = 0; i < 12; ++i) a[i] = i;
    expectStat({4, 10, 5, 7.5, 2.3804761428476167, 7.7781745930520225, 7.5}, nkMath_stat_2d(a, 4, 1, 3, 1, 3));
    const t_nkMathStat empty{};
    expectStat(empty, nkMath_stat_2d<double>(nullptr, 4, 1, 3, 1, 3));
    expectStat(empty, nkMath_stat_2d(a, 4, 1, 3, 2, 2));
    expectStat(empty, nkMath_stat_2d(a, 4, 3, 1, 0, 3));
}

TEST(MathStat, AgreesWithNumpyOnNoisyData) {
    NK_NEED_PYTHON();
    std::mt19937 rng(7);
    std::normal_distribution<double> g(550.0, 3.0);
    std::vector<double> d(2001);
    for (double& v : d) v = g(rng);
    d[3] = NaN;
    d[100] = kNK_noValue;
    d[500] = Inf;
    d[1500] = -Inf;
    const auto want = nktest::oracle("stats", {d});
    ASSERT_EQ(want.size(), 6u);
    const t_nkMathStat got = nkMath_stat(d.data(), d.size());
    EXPECT_EQ(got.n, d.size());
    const double figures[] = {got.max, got.min, got.avg, got.stdev, got.rms, got.median};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(figures[i], want[i], 1e-9 * std::fabs(want[i])) << "figure " << i;

    std::vector<float> f(d.begin(), d.end());
    std::vector<double> fd(f.begin(), f.end());
    fd[100] = kNK_noValue;  // the sentinel survives the float round trip
    const auto wantF = nktest::oracle("stats", {fd});
    ASSERT_EQ(wantF.size(), 6u);
    const t_nkMathStat gotF = nkMath_stat(f.data(), f.size());
    const double fig[] = {gotF.max, gotF.min, gotF.avg, gotF.stdev, gotF.rms, gotF.median};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(fig[i], wantF[i], 1e-6 * std::fabs(wantF[i])) << "figure " << i;
}

TEST(MathExtremes, StartAtFirstValidAndKeepFirstOfEqual) {
    const float v[] = {std::numeric_limits<float>::quiet_NaN(), -3.0f, 8.0f, kNK_noValueF, 8.0f, -3.0f};
    u64 at = 99;
    EXPECT_DOUBLE_EQ(nkMath_max(v, 6, &at), 8.0);
    EXPECT_EQ(at, 2u);
    EXPECT_DOUBLE_EQ(nkMath_min(v, 6, &at), -3.0);
    EXPECT_EQ(at, 1u);
    // A missing value is never the minimum, even when it is the smallest number.
    const float s[] = {1.0f, kNK_noValueF, 2.0f};
    EXPECT_DOUBLE_EQ(nkMath_min(s, 3, nullptr), 1.0);
    at = 99;
    EXPECT_TRUE(std::isnan(nkMath_max(v, 0, &at)));
    EXPECT_EQ(at, 0u);

    t_nkData_1d<double> d;
    EXPECT_TRUE(std::isnan(d.max()));
    d = std::vector<double>{1, 9, NaN, 9};
    EXPECT_EQ(d.size(), 4u);
    EXPECT_DOUBLE_EQ(d.max(&at), 9.0);
    EXPECT_EQ(at, 1u);
}

TEST(MathFinders, AllOutputsOfAUInt8Range) {
    unsigned char d[] = {10, 20, 30, 40};
    unsigned char mx = 0, mn = 0, span = 0;
    double avg = 0, sd = 0, rms = 0, med = 0;
    for (int leng : {0, 4, 77}) {  // the length takes no part in the result
        nkMath_FindMaxMinSpanAvgStdevRmsMedUInt8_1D(d, leng, 0, 4, &mx, &mn, &span, &avg, &sd, &rms, &med);
        EXPECT_EQ(mx, 40);
        EXPECT_EQ(mn, 10);
        EXPECT_EQ(span, 30);
        EXPECT_DOUBLE_EQ(avg, 25);
        EXPECT_DOUBLE_EQ(sd, 12.909944487358056);
        EXPECT_DOUBLE_EQ(rms, 27.386127875258307);
        EXPECT_DOUBLE_EQ(med, 25);
    }
    double onlyRms = 0;
    avg = -1;
    nkMath_FindMaxMinSpanAvgStdevRmsMedUInt8_1D(d, 4, 0, 4, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                &onlyRms, nullptr);
    EXPECT_DOUBLE_EQ(onlyRms, 27.386127875258307);
    EXPECT_EQ(avg, -1);
    // Nothing asked: nothing is read, so even a null array is harmless.
    nkMath_FindMaxMinSpanAvgStdevRmsMedUInt8_1D(nullptr, 4, 0, 4, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, nullptr);
}

TEST(MathFinders, WindowsAndEmptyWindows) {
    double a[12];
    for (int i = 0; i < 12; ++i) a[i] = i;
    double mx, mn, span, avg, med;
    nkMath_FindMaxMinSpanAvgStdevRmsMedDouble_2D(a, 4, 1, 3, 1, 3, &mx, &mn, &span, &avg, nullptr, nullptr, &med);
    EXPECT_EQ(mx, 10);
    EXPECT_EQ(mn, 5);
    EXPECT_EQ(span, 5);
    EXPECT_EQ(avg, 7.5);
    EXPECT_EQ(med, 7.5);

    // One element: no deviation, no median, |v| as rms.
    short s[] = {-7};
    short smx, smn, sspan;
    double sd, rms;
    nkMath_FindMaxMinSpanAvgStdevRmsMedSInt16_1D(s, 1, 0, 1, &smx, &smn, &sspan, &avg, &sd, &rms, &med);
    EXPECT_EQ(smx, -7);
    EXPECT_EQ(smn, -7);
    EXPECT_EQ(sspan, 0);
    EXPECT_EQ(rms, 7);
    EXPECT_TRUE(std::isnan(sd));
    EXPECT_TRUE(std::isnan(med));

    // Negative bounds are empty windows: integers read 0, doubles NaN.
    int iv[] = {5, 6, 7};
    for (auto [x0, x1, y0, y1] : {std::array{-1, 3, 0, 1}, std::array{0, 3, -2, 1}, std::array{2, 1, 0, 1}}) {
        int imx = 1, imn = 1, ispan = 1;
        nkMath_FindMaxMinSpanAvgStdevRmsMedSInt32_2D(iv, 3, x0, x1, y0, y1, &imx, &imn, &ispan, &avg, &sd, &rms,
                                                     &med);
        EXPECT_EQ(imx, 0);
        EXPECT_EQ(imn, 0);
        EXPECT_EQ(ispan, 0);
        EXPECT_TRUE(std::isnan(avg) && std::isnan(sd) && std::isnan(rms) && std::isnan(med));
    }
    float fmx = 0, fmn = 0, fspan = 0;
    float fv[] = {1.0f, std::numeric_limits<float>::quiet_NaN(), 4.0f};
    nkMath_FindMaxMinSpanAvgStdevRmsMedFloat_1D(fv, 3, 0, 0, &fmx, &fmn, &fspan, &avg, nullptr, nullptr, nullptr);
    EXPECT_TRUE(std::isnan(fmx) && std::isnan(fmn) && std::isnan(fspan) && std::isnan(avg));
    nkMath_FindMaxMinSpanAvgStdevRmsMedFloat_1D(fv, 3, 0, 3, &fmx, &fmn, &fspan, &avg, &sd, &rms, &med);
    EXPECT_EQ(fmx, 4.0f);
    EXPECT_EQ(fmn, 1.0f);
    EXPECT_EQ(fspan, 3.0f);
    EXPECT_EQ(avg, 2.5);
    EXPECT_EQ(med, 2.5);

    // A span beyond the element type saturates instead of wrapping.
    signed char c[] = {-100, 100};
    signed char cspan = 0;
    nkMath_FindMaxMinSpanAvgStdevRmsMedSInt8_1D(c, 2, 0, 2, nullptr, nullptr, &cspan, nullptr, nullptr, nullptr,
                                                nullptr);
    EXPECT_EQ(cspan, 127);
}

namespace {

// Reference median by a full sort of the valid elements.
template <class T>
double sortedMedian(const std::vector<T>& v) {
    std::vector<T> c;
    for (T x : v) {
        if constexpr (std::is_floating_point_v<T>)
            if (!nkMath_isValid(x)) continue;
        c.push_back(x);
    }
    std::sort(c.begin(), c.end());
    const size_t m = c.size() / 2;
    if constexpr (std::is_same_v<T, double>)
        return c.size() % 2 ? c[m] : (c[m - 1] + c[m]) * 0.5;
    else if constexpr (std::is_same_v<T, float>)
        return c.size() % 2 ? double(c[m]) : double((c[m - 1] + c[m]) * 0.5f);
    else
        return c.size() % 2 ? double(float(c[m])) : double(float(double(c[m - 1]) + double(c[m])) * 0.5f);
}

template <class T>
void expectLargeMedians(unsigned seed) {
    std::mt19937 rng(seed);
    // Spread, concentrated and two-cluster data, odd and even counts, all past the
    // size where the median is found by histogram; the largest keeps enough
    // elements between the pivots to select them through buckets.
    for (size_t n : {size_t(70001), size_t(131072), size_t(400001)}) {
        std::vector<T> spread(n), fine(n), narrow(n), split(n), decoy(n);
        std::uniform_int_distribution<int> small(0, 9);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (size_t i = 0; i < n; ++i) {
            // Zeros at the start of every 1/128th of the array and larger values elsewhere:
            // a sample read in runs from those places misleads, and the exact path must follow.
            decoy[i] = T(i % (n / 128) < 256 ? 0 : 100 + int(i % 7));
            const double u = double(rng() % 100000) / 100000.0;
            spread[i] = T(std::is_signed_v<T> ? (u - 0.5) * double(std::numeric_limits<T>::max())
                                              : u * double(std::numeric_limits<T>::max()));
            // Nearly every value distinct, so that no neighbour can stand in for the median.
            const double f = unit(rng);
            fine[i] = T(std::is_signed_v<T> ? (f - 0.5) * double(std::numeric_limits<T>::max())
                                            : f * double(std::numeric_limits<T>::max()));
            narrow[i] = T(100 + small(rng));
            split[i] = T(i % 2 ? 3 : 120);
        }
        SCOPED_TRACE(n);
        for (const auto* v : {&spread, &fine, &narrow, &split, &decoy}) {
            EXPECT_DOUBLE_EQ(nkMath_median(v->data(), v->size()), sortedMedian(*v));
            EXPECT_DOUBLE_EQ(nkMath_stat(v->data(), v->size()).median, sortedMedian(*v));
        }
    }
}

}  // namespace

TEST(MathStat, LargeArrayMediansMatchAFullSort) {
    expectLargeMedians<unsigned char>(1);
    expectLargeMedians<signed char>(2);
    expectLargeMedians<unsigned short>(3);
    expectLargeMedians<short>(4);
    expectLargeMedians<unsigned int>(5);
    expectLargeMedians<int>(6);
    expectLargeMedians<float>(7);
    expectLargeMedians<double>(8);
    // Negative floats and doubles order below positive ones, and -0 beside +0.
    std::vector<double> d = {-2.5, -0.0, 0.0, 1e300, -1e300, NaN, kNK_noValue};
    d.resize(80000, -7.25);
    d.resize(160001, 3.5);
    EXPECT_DOUBLE_EQ(nkMath_median(d.data(), d.size()), sortedMedian(d));
}

TEST(MathStat, LargeFloatArrayAgreesWithNumpy) {
    NK_NEED_PYTHON();
    std::mt19937 rng(12);
    std::normal_distribution<float> g(550.0f, 20.0f);
    std::vector<float> f(200000);
    for (float& v : f) v = g(rng);
    for (size_t i = 0; i < f.size(); i += 997) f[i] = std::numeric_limits<float>::quiet_NaN();
    for (size_t i = 5; i < f.size(); i += 1999) f[i] = kNK_noValueF;
    std::vector<double> fd(f.begin(), f.end());
    for (size_t i = 5; i < f.size(); i += 1999) fd[i] = kNK_noValue;
    const auto want = nktest::oracle("stats", {fd});
    ASSERT_EQ(want.size(), 6u);
    const t_nkMathStat got = nkMath_stat(f.data(), f.size());
    const double fig[] = {got.max, got.min, got.avg, got.stdev, got.rms, got.median};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(fig[i], want[i], 1e-6 * std::fabs(want[i])) << "figure " << i;
    // The record is made of the single figures.
    EXPECT_EQ(got.avg, nkMath_avg(f.data(), f.size()));
    EXPECT_EQ(got.rms, nkMath_rms(f.data(), f.size()));
    EXPECT_EQ(got.stdev, nkMath_stdev(f.data(), f.size(), got.avg));
    EXPECT_EQ(got.median, nkMath_median(f.data(), f.size()));

    // A window with rows of odd length gives the figures of its own copy.
    const size_t width = 1000, x0 = 3, x1 = 590, y0 = 7, y1 = 190;
    std::vector<float> copy;
    for (size_t y = y0; y < y1; ++y) copy.insert(copy.end(), f.begin() + long(y * width + x0), f.begin() + long(y * width + x1));
    const t_nkMathStat win = nkMath_stat_2d(f.data(), width, x0, x1, y0, y1);
    const t_nkMathStat ref = nkMath_stat(copy.data(), copy.size());
    EXPECT_EQ(win.n, copy.size());
    EXPECT_EQ(win.max, ref.max);
    EXPECT_EQ(win.min, ref.min);
    EXPECT_EQ(win.avg, ref.avg);
    EXPECT_EQ(win.rms, ref.rms);
    EXPECT_EQ(win.median, ref.median);
    EXPECT_NEAR(win.stdev, ref.stdev, 1e-12 * ref.stdev);
}

namespace {

// The standard deviation as its definition sums it: element x of a row adds into
// partial sum x % 4, invalid elements add nothing, and the partial sums meet in pairs.
template <class T>
double stdevBySteps(const T* data, size_t width, size_t x0, size_t x1, size_t y0, size_t y1, double mean) {
    double dev[4] = {-0.0, -0.0, -0.0, -0.0};
    size_t c = 0;
    for (size_t y = y0; y < y1; ++y)
        for (size_t x = x0; x < x1; ++x) {
            const T v = data[y * width + x];
            if (!nkMath_isValid(v)) continue;
            const double d = double(v) - mean;
            dev[(x - x0) & 3] += d * d;
            ++c;
        }
    return c < 2 ? NaN : std::sqrt(((dev[0] + dev[1]) + (dev[2] + dev[3])) / double(c - 1));
}

template <class T>
void expectStdevBitsAsDefined(unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(550.0, 20.0);
    // No invalid element (the second pass skips its tests), a rare one, many.
    for (size_t every : {size_t(0), size_t(4999), size_t(3)}) {
        std::vector<T> v(30011);
        for (size_t i = 0; i < v.size(); ++i) {
            v[i] = T(g(rng));
            if (every && i % every == 1) v[i] = i % 2 ? T(NaN) : std::is_same_v<T, float> ? T(kNK_noValueF) : T(kNK_noValue);
        }
        SCOPED_TRACE(every);
        const t_nkMathStat whole = nkMath_stat(v.data(), v.size());
        EXPECT_EQ(whole.stdev, stdevBySteps(v.data(), v.size(), 0, v.size(), 0, 1, whole.avg));
        EXPECT_EQ(whole.stdev, nkMath_stdev(v.data(), v.size(), whole.avg));
        // Rows of odd and even lengths, windows that start off a group of four.
        for (auto [width, x0, x1, y0, y1] : {std::array<size_t, 5>{101, 0, 101, 0, 297}, {101, 3, 98, 2, 290},
                                              {1000, 1, 999, 0, 30}, {7, 0, 7, 0, 4287}}) {
            const t_nkMathStat w = nkMath_stat_2d(v.data(), width, x0, x1, y0, y1);
            EXPECT_EQ(w.stdev, stdevBySteps(v.data(), width, x0, x1, y0, y1, w.avg)) << width << " " << x0;
        }
    }
}

}  // namespace

TEST(MathStat, StdevSumsAsDefinedWithAndWithoutInvalidElements) {
    expectStdevBitsAsDefined<float>(21);
    expectStdevBitsAsDefined<double>(22);
}

namespace {

// The median by the definition, bit for bit: the valid elements sorted, the middle
// one or the mean of the middle two as the element type forms it.
template <class T>
double medianByDefinition(std::vector<T> v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](T x) { return !nkMath_isValid(x); }), v.end());
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    if (v.size() % 2) return double(v[m]);
    const T s = v[m - 1] + v[m];
    return double(std::isfinite(s) ? s * T(0.5) : v[m - 1] * T(0.5) + v[m] * T(0.5));
}

template <class T>
void expectBucketMedians(unsigned seed) {
    using L = std::numeric_limits<T>;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const T noValue = std::is_same_v<T, float> ? T(kNK_noValueF) : T(kNK_noValue);
    // Enough valid elements that the middle ranks are taken through the buckets between the pivots.
    const size_t n = 400001;
    struct Shape {
        const char* name;
        std::function<T(size_t)> at;
    };
    const Shape shapes[] = {
        {"full range", [&](size_t) { return T((unit(rng) * 2 - 1) * double(L::max())); }},
        // Two clusters at the type's ends: the pivots' distance overflows a double.
        {"far ends", [&](size_t i) { return T((i % 2 ? 1 : -1) * double(L::max()) * (1 - unit(rng) * 1e-3)); }},
        // Denormals only: the bucket width underflows, its inverse overflows.
        {"denormals", [&](size_t) { return T(double(L::denorm_min()) * double(1 + rng() % 5000)); }},
        {"denormals and zeros", [&](size_t i) { return i % 3 ? T(double(L::denorm_min()) * double(rng() % 4000)) : T(-0.0); }},
        // Magnitudes from 1e-30 to 1e30 of either sign: nearly all in the first buckets.
        {"wide exponents", [&](size_t) { return T((rng() % 2 ? 1 : -1) * std::pow(10.0, unit(rng) * 60 - 30)); }},
        // Neighbouring representable values: every bucket edge is a rounding.
        {"adjacent values", [&](size_t) { return T(1) + T(rng() % (1u << 22)) * L::epsilon(); }},
        {"all equal", [&](size_t) { return T(3.25); }},
        // Invalid elements of every kind among the values.
        {"half invalid", [&](size_t i) {
             const T bad[] = {L::quiet_NaN(), L::infinity(), -L::infinity(), noValue};
             return i % 2 ? bad[rng() % 4] : T(unit(rng) * 1000 - 500);
         }},
        // A few -0 and +0 at the middle ranks, amid values close on both sides.
        {"signed zeros", [&](size_t i) { return i < 11 ? T(i % 2 ? 0.0 : -0.0) : T((i % 2 ? 1 : -1) * unit(rng) * 1e-3); }},
    };
    for (const Shape& s : shapes) {
        SCOPED_TRACE(s.name);
        for (size_t size : {n, n + 1}) {
            std::vector<T> v(size);
            for (size_t i = 0; i < size; ++i) v[i] = s.at(i);
            const double want = medianByDefinition(v), got = nkMath_median(v.data(), v.size());
            const double whole = nkMath_stat(v.data(), v.size()).median;
            // Bits: a zero median's sign is the selection's pick among equal zeros.
            if (want == 0) {
                EXPECT_EQ(got, 0.0) << size;
                EXPECT_EQ(std::signbit(whole), std::signbit(got)) << size;
            } else {
                EXPECT_EQ(std::memcmp(&want, &got, sizeof want), 0) << size << ": " << got << " not " << want;
                EXPECT_EQ(std::memcmp(&want, &whole, sizeof want), 0) << size << ": " << whole << " not " << want;
            }
        }
    }
}

}  // namespace

// The buckets between the pivots give the element a full sort gives, whatever the
// spread of the values: ranges whose width overflows or underflows, denormals,
// neighbouring values, invalid elements, zeros of both signs.
TEST(MathStat, BucketMediansMatchTheDefinition) {
    expectBucketMedians<float>(41);
    expectBucketMedians<double>(42);
}
