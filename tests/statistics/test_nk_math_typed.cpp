// The per-type numeric interface: every type and form against numpy, the hand cases of
// its quirks, and broken preconditions that report and return.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "nk_error.h"
#include "nk_gtest_util.h"
#include "nk_math_typed.h"
#include "nk_test_util.h"

namespace {

// One line of figures per type: slope and intercept of (x, signed-byte y), slope and
// intercept of (x, y), r of (x, y), the order-2 polynomial, the sine fit, and max, min,
// mean, sample stdev and median of y.
const char* kOracle = R"(
import sys
import numpy as np
lines = [np.array([float(t) for t in l.split()]) for l in open(sys.argv[1]) if l.strip()]
for k in range(0, len(lines), 3):
    x, y, yb = lines[k:k + 3]
    sb, ib = np.polyfit(x, yb, 1)
    s, i = np.polyfit(x, y, 1)
    r = np.corrcoef(x, y)[0, 1]
    p = np.polyfit(x, y, 2)[::-1]
    m = np.column_stack([np.sin(x), np.cos(x), np.ones_like(x)])
    a, b, c = np.linalg.lstsq(m, y, rcond=None)[0]
    f = [sb, ib, s, i, r, *p, np.hypot(a, b), np.arctan2(b, a), c,
         y.max(), y.min(), y.mean(), y.std(ddof=1), np.median(y)]
    print(" ".join(repr(float(v)) for v in f))
)";

template <class T>
std::string line(const std::vector<T>& v) {
    std::ostringstream s;
    s.precision(17);
    for (const T& e : v) s << static_cast<double>(e) << ' ';
    return s.str() + "\n";
}

struct Case {
    const char* name;
    std::vector<double> got;      // the figures of the oracle's line, pointer forms
    std::vector<double> gotVec;   // the same from the vector forms (NaN where a form has none)
    double yMax;                  // the scale of y, for the fit tolerances
};

template <class T>
Case runCase(const char* name, std::mt19937& rng, unsigned n, std::string& text) {
    std::vector<T> x(n), y(n);
    std::vector<signed char> yb(n);
    for (unsigned k = 0; k < n; ++k) {
        if constexpr (std::is_floating_point_v<T>) {
            x[k] = static_cast<T>(std::uniform_real_distribution<double>(0, 100)(rng));
            y[k] = static_cast<T>(std::normal_distribution<double>(40, 1e3)(rng));
        } else {
            x[k] = static_cast<T>(rng() % 101);
            y[k] = static_cast<T>(std::uniform_int_distribution<long long>(std::numeric_limits<T>::min(),
                                                                           std::numeric_limits<T>::max())(rng));
        }
        yb[k] = static_cast<signed char>(rng());
    }
    text += line(x) + line(y) + line(yb);

    Case c{name, {}, {}, 0};
    for (T v : y) c.yMax = std::max(c.yMax, std::fabs(static_cast<double>(v)));
    const double nan = std::nan("");
    double slopeB, icptB;
    if constexpr (std::is_same_v<T, double>) {
        const std::vector<double> ybd(yb.begin(), yb.end());
        slopeB = nkMath_getSlope(x.data(), ybd.data(), int(n));
        icptB = nkMath_getIntercept(x.data(), ybd.data(), int(n));
    } else {
        slopeB = nkMath_getSlope(x.data(), yb.data(), n);
        icptB = nkMath_getIntercept(x.data(), yb.data(), n);
    }
    const std::vector<double> xd(x.begin(), x.end()), yd(y.begin(), y.end());
    double r = nan, p[3] = {nan, nan, nan}, amp = nan, phs = nan, dc = nan;
    EXPECT_EQ(nkMath_lineFitDouble(xd.data(), yd.data(), int(n), nullptr, nullptr, &r, nullptr), kNKErr_OK);
    EXPECT_EQ(nkMath_polyFit(x, y, 2, p), kNKErr_OK);
    EXPECT_EQ(nkMath_sineFit(x, y, &amp, &phs, &dc), kNKErr_OK);
    c.got = {slopeB, icptB, nan, nan, r, p[0], p[1], p[2], amp, phs, dc,
             static_cast<double>(nkMath_getMax(y.data(), n)), static_cast<double>(nkMath_getMin(y.data(), n)),
             nkMath_getAvg(y.data(), n), nkMath_getStdev(y.data(), n), nkMath_getMed(y.data(), n)};
    c.gotVec = {nan, nan, nkMath_getSlope(x, y), nkMath_getIntercept(x, y), r, p[0], p[1], p[2], amp, phs, dc,
                static_cast<double>(nkMath_getMax(y)), static_cast<double>(nkMath_getMin(y)), nkMath_getAvg(y),
                nkMath_getStdev(y), nkMath_getMed(y)};
    // The rms of this interface is the sample standard deviation.
    EXPECT_EQ(nkMath_getRms(y.data(), n), c.got[14]) << name;
    EXPECT_EQ(nkMath_getRms(y), c.got[14]) << name;
    return c;
}

void expectFigures(const Case& c, const std::vector<double>& got, const std::vector<double>& ref) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ref.size(), got.size());
    const double tol[] = {1e-9, 1e-9, 1e-9, 1e-9, 1e-9};
    for (int k = 0; k < 5; ++k) {
        if (!std::isnan(got[k])) {
            EXPECT_NEAR(got[k], ref[k], tol[k] * (std::fabs(ref[k]) + 1)) << "figure " << k;
        }
    }
    // Coefficient k of x^k over x in [0, 100].
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(got[5 + k], ref[5 + k], 1e-9 * c.yMax / std::pow(100.0, k)) << "poly " << k;
    EXPECT_NEAR(got[8], ref[8], 1e-9 * c.yMax);
    EXPECT_NEAR(got[9], ref[9], 1e-7);
    EXPECT_NEAR(got[10], ref[10], 1e-9 * c.yMax);
    EXPECT_EQ(got[11], ref[11]);
    EXPECT_EQ(got[12], ref[12]);
    EXPECT_NEAR(got[13], ref[13], 1e-12 * c.yMax);
    EXPECT_NEAR(got[14], ref[14], 1e-10 * ref[14]);
    EXPECT_DOUBLE_EQ(got[15], ref[15]);
}

}  // namespace

TEST(NkMathTyped, EveryTypeAndFormAgreesWithNumpy) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with numpy is not installed";
    std::mt19937 rng(20261211);
    std::string text;
    std::vector<Case> cases;
    // Odd and even counts, so both medians are taken.
    cases.push_back(runCase<signed char>("signed char", rng, 61, text));
    cases.push_back(runCase<unsigned char>("unsigned char", rng, 60, text));
    cases.push_back(runCase<short>("short", rng, 63, text));
    cases.push_back(runCase<unsigned short>("unsigned short", rng, 62, text));
    cases.push_back(runCase<int>("int", rng, 65, text));
    cases.push_back(runCase<unsigned int>("unsigned int", rng, 64, text));
    cases.push_back(runCase<float>("float", rng, 67, text));
    cases.push_back(runCase<double>("double", rng, 66, text));

    nktest::TempDir dir;
    nktest::writeFile(dir.file("in.txt"), text);
    std::istringstream out(nktest::runPython(dir, kOracle, dir.file("in.txt")));
    for (const Case& c : cases) {
        std::string l;
        ASSERT_TRUE(std::getline(out, l)) << c.name;
        std::istringstream in(l);
        std::vector<double> ref;
        for (std::string tok; in >> tok;) ref.push_back(std::strtod(tok.c_str(), nullptr));
        expectFigures(c, c.got, ref);
        expectFigures(c, c.gotVec, ref);
    }
}

TEST(NkMathTyped, HandCases) {
    const double x[] = {1, 2, 3}, y[] = {2, 4, 6};
    EXPECT_DOUBLE_EQ(nkMath_getSlope(x, y, 3), 2);
    EXPECT_DOUBLE_EQ(nkMath_getIntercept(x, y, 3), 0);
    const short xs[] = {1, 2, 3};
    const signed char yb[] = {-1, -2, -3};
    EXPECT_DOUBLE_EQ(nkMath_getSlope(xs, yb, 3u), -1);
    // Bytes 0xFF are -1 whatever the type of x.
    const unsigned short xu[] = {1, 2, 3};
    const signed char ff[] = {0, static_cast<signed char>(0xFF), static_cast<signed char>(0xFE)};
    EXPECT_DOUBLE_EQ(nkMath_getSlope(xu, ff, 3u), -1);
    EXPECT_DOUBLE_EQ(nkMath_getIntercept(xu, ff, 3u), 1);
    {
        // All x equal: no guard and no report, the result is simply not finite.
        nktest::StderrCapture err;
        const std::vector<int> same{4, 4, 4}, any{1, 2, 3};
        EXPECT_FALSE(std::isfinite(nkMath_getSlope(same, any)));
        EXPECT_FALSE(std::isfinite(nkMath_getIntercept(same, any)));
        EXPECT_EQ(err.take(), "");
    }
    double s = 9, i = 9, r = 9, r2 = 9;
    double lx[] = {1, 2, 3}, ly[] = {1, 2, 3};
    EXPECT_EQ(nkMath_lineFitDouble(lx, ly, 3, &s, &i, &r, &r2), kNKErr_OK);
    EXPECT_DOUBLE_EQ(s, 1);
    EXPECT_DOUBLE_EQ(i, 0);
    EXPECT_DOUBLE_EQ(r, 1);

    const float f5[] = {5};
    const double d5[] = {5}, d123[] = {1, 2, 3};
    const float f123[] = {1, 2, 3};
    EXPECT_EQ(nkMath_getStdev(f5, 1u), 0.0);
    EXPECT_TRUE(std::isnan(nkMath_getStdev(d5, 1u)));
    EXPECT_TRUE(std::isnan(nkMath_getStdev(std::vector<double>{})));
    EXPECT_TRUE(std::isnan(nkMath_getRms(f5, 1u)));
    EXPECT_TRUE(std::isnan(nkMath_getRms(std::vector<float>{})));
    EXPECT_DOUBLE_EQ(nkMath_getRms(d123, 3u), 1);
    EXPECT_DOUBLE_EQ(nkMath_getRms(f123, 3u), nkMath_getStdev(f123, 3u));
    EXPECT_DOUBLE_EQ(nkMath_getMed(std::vector<int>{3, 1, 2}), 2);
    EXPECT_DOUBLE_EQ(nkMath_getMed(std::vector<int>{4, 1, 3, 2}), 2.5);
    EXPECT_TRUE(std::isnan(nkMath_getMed(std::vector<short>{})));
    EXPECT_TRUE(std::isnan(nkMath_getAvg(std::vector<unsigned>{})));
    const unsigned char u8[] = {255, 1};
    EXPECT_DOUBLE_EQ(nkMath_getAvg(u8, 2u), 128);
    const unsigned char u3[] = {10, 200, 3};
    const signed char s3[] = {-10, -3, -7};
    EXPECT_EQ(nkMath_getMax(u3, 3u), 200);
    EXPECT_EQ(nkMath_getMax(s3, 3u), -3);
    EXPECT_EQ(nkMath_getMin(u3, 3u), 3);
    EXPECT_TRUE(std::isnan(nkMath_getMax(std::vector<float>{})));
    // A NaN survives only as the last value; the median puts NaNs last and stays in the array.
    const double nanFirst[] = {std::nan(""), 1, 5}, nanLast[] = {1, 5, std::nan("")};
    EXPECT_EQ(nkMath_getMax(nanFirst, 3u), 5);
    EXPECT_TRUE(std::isnan(nkMath_getMax(nanLast, 3u)));
    const double nanMid[] = {3, std::nan(""), 1, std::nan(""), 2};
    EXPECT_DOUBLE_EQ(nkMath_getMed(nanMid, 5u), 3);
    // Truncation toward zero going back to an integer type cannot happen for an element,
    // so the extremes of the widest types come back exact.
    EXPECT_EQ(nkMath_getMax(std::vector<unsigned>{1, 4294967295u}), 4294967295u);
    EXPECT_EQ(nkMath_getMin(std::vector<int>{-2147483647 - 1, 0}), -2147483647 - 1);
}

// Each broken precondition names its function and condition on standard error and
// returns without computing; the process goes on.
TEST(NkMathTyped, BrokenPreconditionsReportAndReturn) {
    const std::vector<int> e, one{1}, two{1, 2};
    const int* nullInt = nullptr;
    const signed char* nullByte = nullptr;
    const signed char b[] = {1};
    double c[3] = {7, 7, 7}, a = 7;
    struct Row {
        const char* func;
        const char* cond;
        std::function<double()> call;
        double expect;  // NaN: NaN expected
    };
    const double nan = std::nan("");
    const std::vector<Row> rows = {
        {"nkMath_getSlope", "x && y && leng>0", [&] { return nkMath_getSlope(one.data(), b, 0u); }, nan},
        {"nkMath_getIntercept", "x && y && leng>0", [&] { return nkMath_getIntercept(nullInt, b, 1u); }, nan},
        {"nkMath_getSlope", "x && y && leng>0", [&] { return nkMath_getSlope(one.data(), nullByte, 1u); }, nan},
        {"nkMath_getSlope", "x && y && leng>0", [&] { return nkMath_getSlope(nullptr, nullptr, 3); }, nan},
        {"nkMath_getSlope", "x.size() && y.size() && x.size()==y.size()", [&] { return nkMath_getSlope(one, two); }, nan},
        {"nkMath_getIntercept", "x.size() && y.size() && x.size()==y.size()",
         [&] { return nkMath_getIntercept(e, e); }, nan},
        {"nkMath_polyFit", "vx.size() && vy.size() && vx.size()==vy.size() && ordr>0 && pCoef",
         [&] { return double(nkMath_polyFit(two, two, 0, c)); }, double(kNKErr_invalidParam)},
        {"nkMath_polyFit", "vx.size() && vy.size() && vx.size()==vy.size() && ordr>0 && pCoef",
         [&] { return double(nkMath_polyFit(two, two, 1, nullptr)); }, double(kNKErr_invalidParam)},
        {"nkMath_sineFit", "vx.size() && vy.size() && vx.size()==vy.size() && (pAmp || pPhs || pDc)",
         [&] { return double(nkMath_sineFit(two, one, &a, &a, &a)); }, double(kNKErr_invalidParam)},
        {"nkMath_sineFit", "vx.size() && vy.size() && vx.size()==vy.size() && (pAmp || pPhs || pDc)",
         [&] { return double(nkMath_sineFit(two, two, nullptr, nullptr, nullptr)); }, double(kNKErr_invalidParam)},
        {"nkMath_getMax", "data && leng>0", [&] { return double(nkMath_getMax(e)); }, 0},
        {"nkMath_getMin", "data && leng>0", [&] { return double(nkMath_getMin(nullInt, 2u)); }, 0},
        {"nkMath_getAvg", "data || leng==0", [&] { return nkMath_getAvg(nullInt, 2u); }, nan},
        {"nkMath_getMed", "data || leng==0", [&] { return nkMath_getMed(static_cast<const float*>(nullptr), 2u); }, nan},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cond);
        nktest::StderrCapture err;
        const double got = row.call();
        const std::string text = err.take();
        if (std::isnan(row.expect))
            EXPECT_TRUE(std::isnan(got));
        else
            EXPECT_EQ(got, row.expect);
        EXPECT_NE(text.find(row.func), std::string::npos) << text;
        EXPECT_NE(text.find(std::string("\"") + row.cond + "\""), std::string::npos) << text;
    }
    EXPECT_EQ(c[0], 7);  // a refused fit leaves its outputs alone
    // The sine fit needs all three outputs: one alone passes this check and is refused below.
    nktest::StderrCapture err;
    EXPECT_EQ(nkMath_sineFit(two, two, &a, nullptr, nullptr), kNKErr_invalidParam);
    EXPECT_NE(err.take().find("nkMath_sineFitDouble"), std::string::npos);
}
