// Window statistics, normal density and least-squares fits of the statistics tool.
#include "ZelkMath.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "nk_error.h"
#include "nk_math.h"

namespace {

constexpr int kOk = kZErr_OK;
constexpr int kInvalidParam = kZErr_invalidParam;
constexpr int kNoMemory = kZErr_memAllocationFailed;
constexpr int kLapack = kZErr_polyfitLapackError;

// The framework's failure report; without a log manager it is formatted and dropped.
#define ZMATH_REPORT(code) ZERR_REPORT(nullptr, (code))

// ----------------------------------------------------------------------------- statistics

template <class T>
constexpr bool kSkips = std::is_floating_point_v<T>;

template <class T>
inline bool counted(T v) {
    if constexpr (kSkips<T>)
        return static_cast<double>(v) != kZelk_noValue;
    else
        return true;
}

// Element (x, y) of the window is data[y * stride + x]; rows are walked top to
// bottom, columns left to right.
template <class T, class F>
void forWindow(const T* data, int64_t stride, int64_t x0, int64_t x1, int64_t y0, int64_t y1, F&& f) {
    for (int64_t y = y0; y < y1; ++y) {
        const T* row = data + y * stride;
        for (int64_t x = x0; x < x1; ++x) f(row[x]);
    }
}

// The mean of the two middle values without overflow: unsigned rounds down,
// signed toward zero, floating types in their own precision.
template <class T>
T middleOfTwo(T a, T b) {
    if constexpr (std::is_same_v<T, double>) {
        return (a + b) * 0.5;
    } else if constexpr (std::is_same_v<T, float>) {
        return (a + b) * 0.5f;
    } else {
        const int64_t s = static_cast<int64_t>(a) + static_cast<int64_t>(b);
        return static_cast<T>(s / 2);
    }
}

template <class T>
void findStats(const T* data, SInt32 stride, SInt32 x0, SInt32 x1, SInt32 y0, SInt32 y1, T* outMax,
               T* outMin, T* outSpan, double* outAvg, double* outStdev, double* outRms, T* outMedian) {
    // A window that starts before the data, or rows that run backwards, hold nothing.
    const bool empty = !data || x0 >= x1 || y0 >= y1 || x0 < 0 || y0 < 0 || (y1 - y0 > 1 && stride < 0);
    auto each = [&](auto&& f) {
        if (!empty) forWindow(data, stride, x0, x1, y0, y1, f);
    };

    if (outMax || outMin || outSpan) {
        bool any = false;
        T mx{}, mn{};
        each([&](T v) {
            if (!counted(v)) return;
            if (!any) {
                mx = mn = v;
                any = true;
                return;
            }
            if (v > mx) mx = v;
            if (v < mn) mn = v;
        });
        if (!any) {
            // Only a Double window has a missing value to give; Float gets NaN, integers 0.
            if constexpr (std::is_same_v<T, double>)
                mx = mn = kZelk_noValue;
            else if constexpr (std::is_same_v<T, float>)
                mx = mn = std::numeric_limits<float>::quiet_NaN();
        }
        if (outMax) *outMax = mx;
        if (outMin) *outMin = mn;
        if (outSpan) {
            if constexpr (std::is_floating_point_v<T>)
                *outSpan = any ? static_cast<T>(mx - mn) : T(0);
            else  // formed wide, so SInt32 never overflows; narrowed as the type holds it
                *outSpan = static_cast<T>(static_cast<int64_t>(mx) - static_cast<int64_t>(mn));
        }
    }

    size_t n = 0;
    double avg = std::numeric_limits<double>::quiet_NaN();
    if (outAvg || outStdev) {
        double sum = 0.0;
        each([&](T v) {
            if (counted(v)) {
                sum += static_cast<double>(v);
                ++n;
            }
        });
        avg = sum / static_cast<double>(n);
        if (outAvg) *outAvg = avg;
    }
    if (outStdev) {
        double sq = 0.0;
        if (n > 1) {
            each([&](T v) {
                if (!counted(v)) return;
                if constexpr (std::is_same_v<T, float>) {
                    const float d = static_cast<float>(static_cast<double>(v) - avg);
                    sq += static_cast<double>(d * d);
                } else {
                    const double d = static_cast<double>(v) - avg;
                    sq += d * d;
                }
            });
        }
        *outStdev = n > 1 ? std::sqrt(sq / static_cast<double>(n - 1)) : 0.0;
    }
    if (outRms) {
        double sq = 0.0;
        size_t c = 0;
        each([&](T v) {
            if (!counted(v)) return;
            if constexpr (std::is_same_v<T, float>)
                sq += static_cast<double>(v * v);
            else
                sq += static_cast<double>(v) * static_cast<double>(v);
            ++c;
        });
        *outRms = std::sqrt(sq / static_cast<double>(c));
    }
    if (outMedian) {
        *outMedian = T(0);
        std::vector<T> keep;
        try {
            if (!empty) keep.reserve(static_cast<size_t>(x1 - x0) * static_cast<size_t>(y1 - y0));
        } catch (const std::exception&) {
            return;  // no room for the copy: the median stays 0
        }
        each([&](T v) {
            if (counted(v)) keep.push_back(v);
        });
        if (keep.empty()) return;
        // NaN goes after every number: a comparison calling it equal to all would
        // not be an ordering the sort may rely on.
        auto numbersEnd = keep.end();
        if constexpr (std::is_floating_point_v<T>)
            numbersEnd = std::stable_partition(keep.begin(), keep.end(), [](T v) { return !std::isnan(v); });
        std::sort(keep.begin(), numbersEnd);
        const size_t c = keep.size(), mid = c / 2;
        *outMedian = c % 2 ? keep[mid] : middleOfTwo(keep[mid - 1], keep[mid]);
    }
}

}  // namespace

#define ZMATH_STAT_DEF(Name, T)                                                                               \
    void ZMATH_FindMaxMinSpanAvgStdevRmsMed##Name##_2D(const T* data, SInt32 stride, SInt32 x0, SInt32 x1,  \
                                                       SInt32 y0, SInt32 y1, T* outMax, T* outMin,           \
                                                       T* outSpan, double* outAvg, double* outStdev,           \
                                                       double* outRms, T* outMedian) {                         \
        findStats<T>(data, stride, x0, x1, y0, y1, outMax, outMin, outSpan, outAvg, outStdev, outRms,          \
                     outMedian);                                                                               \
    }                                                                                                          \
    void ZMATH_FindMaxMinSpanAvgStdevRmsMed##Name##_1D(const T* data, SInt32 stride, SInt32 x0, SInt32 x1,  \
                                                       T* outMax, T* outMin, T* outSpan, double* outAvg,       \
                                                       double* outStdev, double* outRms, T* outMedian) {       \
        ZMATH_FindMaxMinSpanAvgStdevRmsMed##Name##_2D(data, stride, x0, x1, 0, 1, outMax, outMin, outSpan,     \
                                                      outAvg, outStdev, outRms, outMedian);                    \
    }

ZMATH_STAT_DEF(UInt8, UInt8)
ZMATH_STAT_DEF(SInt8, SInt8)
ZMATH_STAT_DEF(UInt16, UInt16)
ZMATH_STAT_DEF(SInt16, SInt16)
ZMATH_STAT_DEF(UInt32, UInt32)
ZMATH_STAT_DEF(SInt32, SInt32)
ZMATH_STAT_DEF(Float, float)
ZMATH_STAT_DEF(Double, double)
#undef ZMATH_STAT_DEF

double ZMATH_GaussianFunction(double mean, double sigma, double x) {
    if (sigma == 0.0) return 0.0;
    // 2 pi as the single-precision constant the curves were always drawn with.
    constexpr double kTwoPi = static_cast<double>(6.2831854820251465f);
    const double d = x - mean;
    return std::exp(-(d * d) / (2.0 * sigma * sigma)) / std::sqrt(kTwoPi * sigma * sigma);
}

double nkMath_getMax_double(const double* x, int leng) {
    if (!(x != nullptr && leng > 0)) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "x!=NULL && leng>0");
    return *std::max_element(x, x + leng);
}

double nkMath_getMin_double(const double* x, int leng) {
    if (!(x != nullptr && leng > 0)) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "x!=NULL && leng>0");
    return *std::min_element(x, x + leng);
}

double nkMath_getAvg_double(const double* x, int leng) {
    if (!(x != nullptr && leng > 0)) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "x!=NULL && leng>0");
    double sum = 0.0;
    for (int i = 0; i < leng; ++i) sum += x[i];
    return sum / leng;
}

// ----------------------------------------------------------------------------- fits

extern "C" void dgelss_(const int* m, const int* n, const int* nrhs, double* a, const int* lda, double* b,
                        const int* ldb, double* s, const double* rcond, int* rank, double* work, const int* lwork,
                        int* info);

int ZMATH_LineFitDouble(const double* x, const double* y, SInt32 n, double* outSlope, double* outIntercept,
                        double* outR, double* outRSquared) {
    if (n <= 0 || !x || !y || (!outSlope && !outIntercept && !outR)) {
        ZMATH_REPORT(kInvalidParam);
        return kInvalidParam;
    }
    // Sums around the means: raw sums of x and x^2 cancel every digit when x
    // carries a large offset against a small spread.
    const double N = static_cast<double>(n);
    double mx = 0.0, my = 0.0;
    for (SInt32 i = 0; i < n; ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= N;
    my /= N;
    double sxx = 0.0, sxy = 0.0, syy = 0.0;
    for (SInt32 i = 0; i < n; ++i) {
        const double dx = x[i] - mx, dy = y[i] - my;
        sxx += dx * dx;
        sxy += dx * dy;
        syy += dy * dy;
    }
    const double slope = sxy / sxx;
    if (outSlope) *outSlope = slope;
    if (outIntercept) *outIntercept = my - slope * mx;
    if (outR) *outR = sxy / (std::sqrt(syy) * std::sqrt(sxx));
    if (outRSquared) {
        // The means here leave missing values out, the sums do not.
        double sx = 0.0, sy = 0.0;
        size_t cx = 0, cy = 0;
        for (SInt32 i = 0; i < n; ++i) {
            if (x[i] != kZelk_noValue) sx += x[i], ++cx;
            if (y[i] != kZelk_noValue) sy += y[i], ++cy;
        }
        const double ax = sx / static_cast<double>(cx), ay = sy / static_cast<double>(cy);
        double dxy = 0.0, dxx = 0.0, dyy = 0.0;
        for (SInt32 i = 0; i < n; ++i) {
            const double dx = x[i] - ax, dy = y[i] - ay;
            dxy += dx * dy;
            dxx += dx * dx;
            dyy += dy * dy;
        }
        const double r = dxy / std::sqrt(dyy * dxx);
        *outRSquared = r * r;
    }
    return kOk;
}

int ZMATH_LSSolverDouble(const double* A, double* outX, const double* b, SInt32 M, SInt32 N, SInt32 nrhs) {
    if (!A || !b || !outX || M <= 0 || N <= 0 || nrhs <= 0) {
        ZMATH_REPORT(kInvalidParam);
        return kInvalidParam;
    }
    const size_t m = static_cast<size_t>(M), n = static_cast<size_t>(N), r = static_cast<size_t>(nrhs);
    const size_t mn = std::min(m, n), mx = std::max(m, n), ldb = std::max<size_t>({1, m, n});
    const size_t lwork = 11 * (3 * mn + std::max({2 * mn, mx, r}));
    constexpr size_t kIntMax = static_cast<size_t>(std::numeric_limits<int>::max());
    // LAPACK counts in int: a system it cannot address is refused, not wrapped.
    if (lwork > kIntMax || m > kIntMax / n || ldb > kIntMax / r) {
        ZMATH_REPORT(kInvalidParam);
        return kInvalidParam;
    }
    std::vector<double> a, bw, sv, work;
    try {
        a.resize(m * n);
        bw.assign(ldb * r, 0.0);
        sv.resize(mn);
        work.resize(lwork);
    } catch (const std::exception&) {
        ZMATH_REPORT(kNoMemory);
        return kNoMemory;
    }
    for (size_t i = 0; i < m; ++i)
        for (size_t j = 0; j < n; ++j) a[i + j * m] = A[i * n + j];
    for (size_t k = 0; k < r; ++k) std::copy(b + k * m, b + (k + 1) * m, bw.begin() + static_cast<ptrdiff_t>(k * ldb));
    const int im = M, in = N, ir = nrhs, lda = std::max(1, M), ildb = static_cast<int>(ldb);
    const int ilwork = static_cast<int>(lwork);
    const double rcond = 0.001;
    int rank = 0, info = 0;
    dgelss_(&im, &in, &ir, a.data(), &lda, bw.data(), &ildb, sv.data(), &rcond, &rank, work.data(), &ilwork, &info);
    int code = kOk;
    if (info != 0) {
        ZLM_PrintError(nullptr, "dgelss_() returns %d\n", info);
        ZMATH_REPORT(kLapack);
        code = kLapack;
    }
    // Each solution is the head of its own column, whose length is ldb.
    for (size_t k = 0; k < r; ++k)
        std::copy(bw.begin() + static_cast<ptrdiff_t>(k * ldb), bw.begin() + static_cast<ptrdiff_t>(k * ldb + n),
                  outX + k * n);
    return code;
}

int ZMATH_PolyFitDouble(const double* x, const double* y, SInt32 n, SInt32 order, double* outCoefficients) {
    if (order <= 0 || n <= 0 || !x || !y || !outCoefficients) {
        ZMATH_REPORT(kInvalidParam);
        return kInvalidParam;
    }
    // The library's fit runs on centred, scaled x and carries the coefficients
    // back: raw powers of x far from 0 are nearly parallel columns.
    const u16 rc = nkMath_polyFitDouble(x, y, n, order, outCoefficients);
    const int code = rc == kNKErr_OK                     ? kOk
                     : rc == kNKErr_memoryAllocationFailed ? kNoMemory
                     : rc == kNKErr_lapackError            ? kLapack
                                                           : kInvalidParam;
    if (code != kOk) ZMATH_REPORT(code);
    return code;
}

int ZMATH_SineFitDouble(const double* angles, const double* y, SInt32 n, double* outAmplitude, double* outPhase,
                        double* outOffset) {
    if (n <= 0 || !angles || !y || !outAmplitude || !outPhase || !outOffset) {
        ZMATH_REPORT(kInvalidParam);
        return kInvalidParam;
    }
    *outAmplitude = *outPhase = *outOffset = 0.0;
    std::vector<double> a;
    try {
        a.resize(static_cast<size_t>(n) * 3);
    } catch (const std::exception&) {
        ZMATH_REPORT(kNoMemory);
        return kNoMemory;
    }
    for (SInt32 i = 0; i < n; ++i) {
        a[static_cast<size_t>(i) * 3] = std::sin(angles[i]);
        a[static_cast<size_t>(i) * 3 + 1] = std::cos(angles[i]);
        a[static_cast<size_t>(i) * 3 + 2] = 1.0;
    }
    double abc[3] = {0.0, 0.0, 0.0};
    const int code = ZMATH_LSSolverDouble(a.data(), abc, y, n, 3, 1);
    if (code != kOk) {
        ZMATH_REPORT(code);
        return code;
    }
    *outAmplitude = std::sqrt(abc[0] * abc[0] + abc[1] * abc[1]);
    *outPhase = std::atan2(abc[1], abc[0]);
    *outOffset = abc[2];
    return kOk;
}
