// Statistics instantiations and the window statistics finders.
#include <cblas.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <vector>

#include "nk_error.h"
#include "nk_math.h"

// The library carries every statistic for every element type, so programs that
// link it summarise their data by the same code.
#define NK_MATH_STATS_INSTANTIATE(T)                                                          \
    template double nkMath_avg<T>(const T*, size_t);                                          \
    template double nkMath_stdev<T>(const T*, size_t, double);                                \
    template double nkMath_rms<T>(const T*, size_t);                                          \
    template double nkMath_median<T>(const T*, size_t);                                       \
    template t_nkMathStat nkMath_stat<T>(const T*, size_t);                                   \
    template t_nkMathStat nkMath_stat_2d<T>(const T*, size_t, size_t, size_t, size_t, size_t); \
    template double nkMath_max<T>(const T*, u64, u64*);                                       \
    template double nkMath_min<T>(const T*, u64, u64*);

NK_MATH_STATS_INSTANTIATE(unsigned char)
NK_MATH_STATS_INSTANTIATE(signed char)
NK_MATH_STATS_INSTANTIATE(unsigned short)
NK_MATH_STATS_INSTANTIATE(short)
NK_MATH_STATS_INSTANTIATE(unsigned int)
NK_MATH_STATS_INSTANTIATE(int)
NK_MATH_STATS_INSTANTIATE(float)
NK_MATH_STATS_INSTANTIATE(double)
#undef NK_MATH_STATS_INSTANTIATE

// Float rows four at a time. Each figure keeps the order and rounding of the
// element-by-element loop: sums run in index order in double, squares are the
// same products, and the masks decide exactly what the scalar tests decide.
#ifdef __SSE2__
namespace nk_math_detail {

namespace {

struct FloatLanes {
    __m128 x;
    __m128 ok;  // all ones where the element is valid
    int mask;   // one bit per valid element
};

inline FloatLanes loadLanes(const float* p) {
    FloatLanes l;
    l.x = _mm_loadu_ps(p);
    // x - x is 0 for finite x and NaN for NaN and infinities.
    l.ok = _mm_and_ps(_mm_cmpeq_ps(_mm_sub_ps(l.x, l.x), _mm_setzero_ps()), _mm_cmpneq_ps(l.x, _mm_set1_ps(kNK_noValueF)));
    l.mask = _mm_movemask_ps(l.ok);
    return l;
}

inline __m128 orElse(__m128 ok, __m128 x, __m128 other) { return _mm_or_ps(_mm_and_ps(ok, x), _mm_andnot_ps(ok, other)); }

// Set bits of a four-lane mask; a table, as the baseline instruction set has no popcount.
inline size_t popcount(int mask) {
    static constexpr unsigned char kBits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    return kBits[mask & 15];
}

// The summing chains keep the out-of-order window short of the next cache lines;
// asking for them early keeps the loop off the memory latency.
inline void prefetchAhead(const float* p) { _mm_prefetch(reinterpret_cast<const char*>(p + 1024), _MM_HINT_T0); }

inline size_t laneSum(__m128i v) {
    alignas(16) u32 c[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(c), v);
    return size_t(c[0]) + c[1] + c[2] + c[3];
}

// For each four-lane mask, how many set lanes lie below each lane.
constexpr unsigned char kPrefix[16][4] = {{0, 0, 0, 0}, {0, 1, 1, 1}, {0, 0, 1, 1}, {0, 1, 2, 2},
                                          {0, 0, 0, 1}, {0, 1, 1, 2}, {0, 0, 1, 2}, {0, 1, 2, 3},
                                          {0, 0, 0, 0}, {0, 1, 1, 1}, {0, 0, 1, 1}, {0, 1, 2, 2},
                                          {0, 0, 0, 1}, {0, 1, 1, 2}, {0, 0, 1, 2}, {0, 1, 2, 3}};

inline double lane0(__m128d v) { return _mm_cvtsd_f64(v); }
inline double lane1(__m128d v) { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }

}  // namespace

void pass1Row(const float* p, size_t len, Accum& a, MedianSelect<float>& med) {
    const __m128 negZero = _mm_set1_ps(-0.0f);
    const __m128 lowest = _mm_set1_ps(-std::numeric_limits<float>::infinity());
    const __m128 highest = _mm_set1_ps(std::numeric_limits<float>::infinity());
    __m128 vmx = lowest, vmn = highest;
    double sum = a.sum, sq = a.sq;
    size_t c = a.c;
    const bool copying = med.copyingNow(), pivoting = med.pivotingNow();
    float* keep = med.keep();
    size_t kept = med.kept();
    const size_t spare = pivoting ? med.spare() : 0;
    const float pLo = pivoting ? med.pivotLo() : 0.0f, pHi = pivoting ? med.pivotHi() : 0.0f;
    const __m128 lo = _mm_set1_ps(pLo), hi = _mm_set1_ps(pHi);
    // Elements equal to both pivots are counted once.
    const __m128 distinct = pLo != pHi ? _mm_castsi128_ps(_mm_set1_epi32(-1)) : _mm_setzero_ps();
    __m128i vBelow = _mm_setzero_si128(), vAtLo = _mm_setzero_si128(), vAtHi = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        prefetchAhead(p + i);
        const FloatLanes l = loadLanes(p + i);
        // Four valid elements are the rule: they need no masking.
        const bool all = l.mask == 15;
        const __m128 xs = all ? l.x : orElse(l.ok, l.x, negZero);
        vmx = _mm_max_ps(vmx, all ? l.x : orElse(l.ok, l.x, lowest));
        vmn = _mm_min_ps(vmn, all ? l.x : orElse(l.ok, l.x, highest));
        const __m128d lo2d = _mm_cvtps_pd(xs), hi2d = _mm_cvtps_pd(_mm_movehl_ps(xs, xs));
        const __m128d lo2 = _mm_mul_pd(lo2d, lo2d), hi2 = _mm_mul_pd(hi2d, hi2d);
        sum += lane0(lo2d);
        sq += lane0(lo2);
        sum += lane1(lo2d);
        sq += lane1(lo2);
        sum += lane0(hi2d);
        sq += lane0(hi2);
        sum += lane1(hi2d);
        sq += lane1(hi2);
        c += popcount(l.mask);
        if (copying) {
            // Small arrays: the median keeps every valid element (room for all n).
            for (int j = 0; j < 4; ++j) {
                keep[kept] = p[i + j];
                kept += (l.mask >> j) & 1;
            }
        } else if (pivoting) {
            // The sums above wait on one another; these counts and stores fit in
            // their shadow, so the median's scan costs no pass of its own.
            // Counts run per lane: a set mask lane is -1, so subtracting it adds one.
            vBelow = _mm_sub_epi32(vBelow, _mm_castps_si128(_mm_and_ps(l.ok, _mm_cmplt_ps(l.x, lo))));
            vAtLo = _mm_sub_epi32(vAtLo, _mm_castps_si128(_mm_and_ps(l.ok, _mm_cmpeq_ps(l.x, lo))));
            vAtHi = _mm_sub_epi32(vAtHi, _mm_castps_si128(_mm_and_ps(_mm_and_ps(l.ok, distinct), _mm_cmpeq_ps(l.x, hi))));
            const int between =
                _mm_movemask_ps(_mm_and_ps(l.ok, _mm_and_ps(_mm_cmpgt_ps(l.x, lo), _mm_cmplt_ps(l.x, hi))));
            // Branch-free: a branch on `between` would guess wrong for a few percent
            // of the groups, and each miss stalls the summing chains. All four are
            // stored, each where it goes if kept, so a later kept one overwrites
            // one that is not; only the group's base waits on the one before.
            float* at = keep + (kept < spare ? kept : spare);
            const unsigned char* off = kPrefix[between];
            at[off[0]] = p[i];
            at[off[1]] = p[i + 1];
            at[off[2]] = p[i + 2];
            at[off[3]] = p[i + 3];
            kept += popcount(between);
        }
    }
    if (copying || pivoting) med.kept() = kept;
    if (pivoting) med.addCounts(laneSum(vBelow), laneSum(vAtLo), laneSum(vAtHi));
    alignas(16) float fmx[4], fmn[4];
    _mm_store_ps(fmx, vmx);
    _mm_store_ps(fmn, vmn);
    for (int j = 0; j < 4; ++j) {
        a.mx = std::max(a.mx, static_cast<double>(fmx[j]));
        a.mn = std::min(a.mn, static_cast<double>(fmn[j]));
    }
    a.sum = sum;
    a.sq = sq;
    a.c = c;
    for (; i < len; ++i) accumulate(p[i], a, med);
}

void pass2Row(const float* p, size_t len, double mean, double dev[4], size_t& c) {
    const __m128d m = _mm_set1_pd(mean);
    const __m128d negZero = _mm_set1_pd(-0.0);
    __m128d d01 = _mm_set_pd(dev[1], dev[0]), d23 = _mm_set_pd(dev[3], dev[2]);
    size_t count = c;
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        prefetchAhead(p + i);
        const FloatLanes l = loadLanes(p + i);
        const __m128d x01 = _mm_sub_pd(_mm_cvtps_pd(l.x), m);
        const __m128d x23 = _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(l.x, l.x)), m);
        // Four valid elements are the rule: they need no masking.
        if (l.mask == 15) {
            d01 = _mm_add_pd(d01, _mm_mul_pd(x01, x01));
            d23 = _mm_add_pd(d23, _mm_mul_pd(x23, x23));
            count += 4;
            continue;
        }
        const __m128d ok01 = _mm_castps_pd(_mm_unpacklo_ps(l.ok, l.ok));
        const __m128d ok23 = _mm_castps_pd(_mm_unpackhi_ps(l.ok, l.ok));
        d01 = _mm_add_pd(d01, _mm_or_pd(_mm_and_pd(ok01, _mm_mul_pd(x01, x01)), _mm_andnot_pd(ok01, negZero)));
        d23 = _mm_add_pd(d23, _mm_or_pd(_mm_and_pd(ok23, _mm_mul_pd(x23, x23)), _mm_andnot_pd(ok23, negZero)));
        count += popcount(l.mask);
    }
    alignas(16) double d[4];
    _mm_store_pd(d, d01);
    _mm_store_pd(d + 2, d23);
    for (int j = 0; j < 4; ++j) dev[j] = d[j];
    c = count;
    // The tail keeps its place in the four partial sums.
    for (; i < len; ++i) deviate(p[i], mean, dev[i & 3], c);
}

void pass2RowValid(const float* p, size_t len, double mean, double dev[4]) {
    const __m128d m = _mm_set1_pd(mean);
    __m128d d01 = _mm_set_pd(dev[1], dev[0]), d23 = _mm_set_pd(dev[3], dev[2]);
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        prefetchAhead(p + i);
        const __m128 x = _mm_loadu_ps(p + i);
        const __m128d x01 = _mm_sub_pd(_mm_cvtps_pd(x), m);
        const __m128d x23 = _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), m);
        d01 = _mm_add_pd(d01, _mm_mul_pd(x01, x01));
        d23 = _mm_add_pd(d23, _mm_mul_pd(x23, x23));
    }
    alignas(16) double d[4];
    _mm_store_pd(d, d01);
    _mm_store_pd(d + 2, d23);
    for (int j = 0; j < 4; ++j) dev[j] = d[j];
    for (; i < len; ++i) {
        const double x = static_cast<double>(p[i]) - mean;
        dev[i & 3] += x * x;
    }
}

}  // namespace nk_math_detail
#else
namespace nk_math_detail {
void pass1Row(const float* p, size_t len, Accum& a, MedianSelect<float>& med) {
    for (size_t i = 0; i < len; ++i) accumulate(p[i], a, med);
}
void pass2Row(const float* p, size_t len, double mean, double dev[4], size_t& c) {
    for (size_t i = 0; i < len; ++i) deviate(p[i], mean, dev[i & 3], c);
}
void pass2RowValid(const float* p, size_t len, double mean, double dev[4]) {
    for (size_t i = 0; i < len; ++i) {
        const double x = static_cast<double>(p[i]) - mean;
        dev[i & 3] += x * x;
    }
}
}  // namespace nk_math_detail
#endif

namespace {

// A figure converted to the element type. NaN has no integer value, so an empty
// window gives 0 there; values beyond the type's range saturate rather than wrap.
template <class T>
T toElement(double v) {
    if constexpr (std::is_same_v<T, double>) {
        return v;
    } else if constexpr (std::is_same_v<T, float>) {
        constexpr double lim = std::numeric_limits<float>::max();
        if (v > lim) return std::numeric_limits<float>::infinity();
        if (v < -lim) return -std::numeric_limits<float>::infinity();
        return static_cast<float>(v);
    } else {
        if (std::isnan(v)) return 0;
        if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
        if (v <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
        return static_cast<T>(std::trunc(v));
    }
}

template <class T>
void findMaxMinSpanAvgStdevRmsMed_2D(const T* data, int width, int x0, int x1, int y0, int y1, T* pMax,
                                     T* pMin, T* pSpan, double* pAvg, double* pStdev, double* pRms,
                                     double* pMed) {
    if (!pMax && !pMin && !pSpan && !pAvg && !pStdev && !pRms && !pMed) return;
    t_nkMathStat st;
    // A negative bound or width is an empty window, never a wrapped huge index.
    if (width >= 0 && x0 >= 0 && x1 >= 0 && y0 >= 0 && y1 >= 0)
        st = nkMath_stat_2d(data, static_cast<size_t>(width), static_cast<size_t>(x0),
                            static_cast<size_t>(x1), static_cast<size_t>(y0), static_cast<size_t>(y1));
    if (pMax) *pMax = toElement<T>(st.max);
    if (pMin) *pMin = toElement<T>(st.min);
    if (pSpan) *pSpan = toElement<T>(st.max - st.min);
    if (pAvg) *pAvg = st.avg;
    if (pStdev) *pStdev = st.stdev;
    if (pRms) *pRms = st.rms;
    if (pMed) *pMed = st.median;
}

}  // namespace

#define NK_MATH_FINDER_DEF(Name, T)                                                                        \
    void nkMath_FindMaxMinSpanAvgStdevRmsMed##Name##_1D(T* data, int, int x0, int x1, T* pMax, T* pMin,   \
                                                         T* pSpan, double* pAvg, double* pStdev,          \
                                                         double* pRms, double* pMed) {                    \
        findMaxMinSpanAvgStdevRmsMed_2D<T>(data, x1 < 0 ? 0 : x1, x0, x1, 0, 1, pMax, pMin, pSpan, pAvg, \
                                           pStdev, pRms, pMed);                                           \
    }                                                                                                      \
    void nkMath_FindMaxMinSpanAvgStdevRmsMed##Name##_2D(T* data, int width, int x0, int x1, int y0,       \
                                                         int y1, T* pMax, T* pMin, T* pSpan,              \
                                                         double* pAvg, double* pStdev, double* pRms,      \
                                                         double* pMed) {                                  \
        findMaxMinSpanAvgStdevRmsMed_2D<T>(data, width, x0, x1, y0, y1, pMax, pMin, pSpan, pAvg, pStdev, \
                                           pRms, pMed);                                                   \
    }

extern "C" {
NK_MATH_FINDER_DEF(UInt8, unsigned char)
NK_MATH_FINDER_DEF(SInt8, signed char)
NK_MATH_FINDER_DEF(UInt16, unsigned short)
NK_MATH_FINDER_DEF(SInt16, short)
NK_MATH_FINDER_DEF(UInt32, unsigned int)
NK_MATH_FINDER_DEF(SInt32, int)
NK_MATH_FINDER_DEF(Float, float)
NK_MATH_FINDER_DEF(Double, double)
}
#undef NK_MATH_FINDER_DEF

// ---------------------------------------------------------------------------
// Linear least-squares fits over LAPACK, products over CBLAS.

extern "C" void dgelss_(const int* m, const int* n, const int* nrhs, double* a, const int* lda, double* b,
                        const int* ldb, double* s, const double* rcond, int* rank, double* work, const int* lwork,
                        int* info);

namespace {

// Singular values below this share of the largest count as zero.
constexpr double kRcond = 0.001;

enum class SolveResult { ok, badSize, noMemory, lapack };

// Minimum-norm least squares of the row-major m x n matrix against the
// row-major m x nrhs right-hand side; the solution is written row-major n x nrhs.
// LAPACK's INFO of this thread's last solve, for the value-returning fits' message.
thread_local long t_lastInfo = 0;

SolveResult solveLeastSquares(const double* a, const double* b, size_t m, size_t n, size_t nrhs, double* x) {
    t_lastInfo = 0;
    constexpr size_t intMax = static_cast<size_t>(std::numeric_limits<int>::max());
    const size_t mn = std::min(m, n), mx = std::max(m, n), ldb = std::max<size_t>(mx, 1);
    const size_t lwork = 11 * (3 * mn + std::max({2 * mn, mx, nrhs}));
    if (m == 0 || n == 0 || nrhs == 0 || m > intMax || n > intMax || nrhs > intMax || lwork > intMax ||
        m > intMax / n || ldb > intMax / nrhs)
        return SolveResult::badSize;
    try {
        std::vector<double> colA(m * n), colB(ldb * nrhs, 0.0), sv(mn), work(lwork);
        for (size_t i = 0; i < m; ++i)
            for (size_t j = 0; j < n; ++j) colA[j * m + i] = a[i * n + j];
        for (size_t i = 0; i < m; ++i)
            for (size_t k = 0; k < nrhs; ++k) colB[k * ldb + i] = b[i * nrhs + k];
        const int im = static_cast<int>(m), in = static_cast<int>(n), ir = static_cast<int>(nrhs);
        const int lda = im, ildb = static_cast<int>(ldb), ilwork = static_cast<int>(lwork);
        int rank = 0, info = 0;
        dgelss_(&im, &in, &ir, colA.data(), &lda, colB.data(), &ildb, sv.data(), &kRcond, &rank, work.data(),
                &ilwork, &info);
        t_lastInfo = info;
        if (info != 0) return SolveResult::lapack;
        for (size_t j = 0; j < n; ++j)
            for (size_t k = 0; k < nrhs; ++k) x[j * nrhs + k] = colB[k * ldb + j];
        return SolveResult::ok;
    } catch (const std::exception&) {
        return SolveResult::noMemory;
    }
}

u16 solveCode(SolveResult r) {
    switch (r) {
        case SolveResult::ok: return kNKErr_OK;
        case SolveResult::badSize: return kNKErr_invalidParam;
        case SolveResult::noMemory: return kNKErr_memoryAllocationFailed;
        default: return kNKErr_lapackError;
    }
}

// A polynomial in powers of x far from 0 is nearly rank 1 to the solver (the
// columns 1, x, x^2 are almost parallel over 548..552), so the fit runs on
// t = (x - centre) / scale and the coefficients are carried back to x.
SolveResult polyFitCentred(const double* x, const double* y, size_t n, size_t order, double* coeff) {
    const size_t cols = order + 1;
    if (n == 0 || cols < 2 || n > std::numeric_limits<size_t>::max() / 8 / cols) return SolveResult::badSize;
    double centre = 0.0;
    for (size_t i = 0; i < n; ++i) centre += x[i];
    centre /= static_cast<double>(n);
    double scale = 0.0;
    for (size_t i = 0; i < n; ++i) scale = std::max(scale, std::fabs(x[i] - centre));
    if (!std::isfinite(centre) || !std::isfinite(scale) || scale == 0.0) {
        centre = 0.0;
        scale = 1.0;
    }
    std::vector<double> c(cols);
    try {
        std::vector<double> a(n * cols);
        for (size_t i = 0; i < n; ++i) {
            const double t = (x[i] - centre) / scale;
            double p = 1.0;
            for (size_t j = 0; j < cols; ++j, p *= t) a[i * cols + j] = p;
        }
        const SolveResult r = solveLeastSquares(a.data(), y, n, cols, 1, c.data());
        if (r != SolveResult::ok) return r;
    } catch (const std::exception&) {
        return SolveResult::noMemory;
    }
    // sum_j c_j ((x - m) / s)^j  ->  sum_k a_k x^k, with
    // a_k = sum_{j>=k} c_j / s^j * binom(j, k) * (-m)^(j-k).
    for (size_t k = 0; k < cols; ++k) coeff[k] = 0.0;
    double invScalePow = 1.0;
    for (size_t j = 0; j < cols; ++j, invScalePow /= scale) {
        const double cj = c[j] * invScalePow;
        double binom = 1.0;  // binom(j, k), from k = j downwards
        double shiftPow = 1.0;  // (-m)^(j-k)
        for (size_t k = j + 1; k-- > 0;) {
            coeff[k] += cj * binom * shiftPow;
            binom = binom * static_cast<double>(k) / static_cast<double>(j - k + 1);
            shiftPow *= -centre;
        }
    }
    return SolveResult::ok;
}

struct LineSums {
    double slope, intercept, r, rSquared;
};

LineSums lineSums(const double* x, const double* y, size_t n) {
    const double N = static_cast<double>(n);
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (size_t i = 0; i < n; ++i) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        syy += y[i] * y[i];
        sxy += x[i] * y[i];
    }
    LineSums s;
    s.slope = (N * sxy - sx * sy) / (N * sxx - sx * sx);
    s.intercept = (sy - s.slope * sx) / N;
    s.r = (N * sxy - sx * sy) / (std::sqrt(N * sxx - sx * sx) * std::sqrt(N * syy - sy * sy));
    // The means skip missing values, so a single gap does not hide the fit quality.
    const double mx = nkMath_avg(x, n), my = nkMath_avg(y, n);
    double dxy = 0, dxx = 0, dyy = 0;
    for (size_t i = 0; i < n; ++i) {
        dxy += (x[i] - mx) * (y[i] - my);
        dxx += (x[i] - mx) * (x[i] - mx);
        dyy += (y[i] - my) * (y[i] - my);
    }
    const double rr = dxy / std::sqrt(dxx * dyy);
    s.rSquared = rr * rr;
    return s;
}

SolveResult sineSolve(const double* x, const double* y, size_t n, double abc[3]) {
    try {
        std::vector<double> a(n * 3);
        for (size_t i = 0; i < n; ++i) {
            a[i * 3] = std::sin(x[i]);
            a[i * 3 + 1] = std::cos(x[i]);
            a[i * 3 + 2] = 1.0;
        }
        return solveLeastSquares(a.data(), y, n, 3, 1, abc);
    } catch (const std::exception&) {
        return SolveResult::noMemory;
    }
}

}  // namespace

u16 nkMath_lineFitDouble(const double* x, const double* y, int n, double* slope, double* intercept, double* r,
                         double* rSquared) {
    if (!x || !y || n < 1 || (!slope && !intercept && !r)) {
        NK_REPORT_FN(kNKErr_invalidParam, "");
        return kNKErr_invalidParam;
    }
    const LineSums s = lineSums(x, y, static_cast<size_t>(n));
    if (slope) *slope = s.slope;
    if (intercept) *intercept = s.intercept;
    if (r) *r = s.r;
    if (rSquared) *rSquared = s.rSquared;
    return kNKErr_OK;
}

t_nkMathLineFit nkMath_lineFit(const double* x, const double* y, size_t n) {
    t_nkMathLineFit f;
    if (!x || !y || n == 0) return f;
    const LineSums s = lineSums(x, y, n);
    f.slope = s.slope;
    f.intercept = s.intercept;
    f.rSquared = s.rSquared;
    return f;
}

template t_nkMathLineFit nkMath_lineFit<float, float>(const float*, const float*, size_t);
template t_nkMathLineFit nkMath_lineFit<float, float>(const std::vector<float>&, const std::vector<float>&);
template t_nkMathLineFit nkMath_lineFit<unsigned, unsigned>(const unsigned*, const unsigned*, size_t);
template t_nkMathLineFit nkMath_lineFit<unsigned, unsigned>(const std::vector<unsigned>&,
                                                            const std::vector<unsigned>&);
template std::vector<double> nkMath_polyFit<float, float>(const std::vector<float>&, const std::vector<float>&,
                                                          unsigned);

u16 nkMath_polyFitDouble(const double* x, const double* y, int n, int order, double* coeff) {
    if (!x || !y || !coeff || n < 1 || order < 1) {
        NK_REPORT_FN(kNKErr_invalidParam, "");
        return kNKErr_invalidParam;
    }
    const size_t cols = static_cast<size_t>(order) + 1;
    std::vector<double> c;
    try {
        c.resize(cols);
    } catch (const std::exception&) {
        NK_REPORT_FN(kNKErr_memoryAllocationFailed, "");
        return kNKErr_memoryAllocationFailed;
    }
    const u16 code = solveCode(polyFitCentred(x, y, static_cast<size_t>(n), cols - 1, c.data()));
    if (code != kNKErr_OK) {
        NK_REPORT_FN(code, "");
        return code;
    }
    std::copy(c.begin(), c.end(), coeff);
    return kNKErr_OK;
}

std::vector<double> nkMath_polyFit(const double* x, const double* y, size_t n, unsigned order) {
    if (!x || !y || n == 0 || order < 1 || order > 4) return {};
    std::vector<double> c(order + 1);
    if (polyFitCentred(x, y, n, order, c.data()) != SolveResult::ok) {
        std::printf("dgelss completed with issue, info=%ld\n", t_lastInfo);
        return {};
    }
    return c;
}

u16 nkMath_sineFitDouble(const double* x, const double* y, int n, double* amplitude, double* phase,
                         double* offset) {
    if (n < 1 || !x || !y || !amplitude || !phase || !offset) {
        NK_REPORT_FN(kNKErr_invalidParam, "");
        return kNKErr_invalidParam;
    }
    *amplitude = *phase = *offset = 0.0;
    double abc[3];
    const u16 code = solveCode(sineSolve(x, y, static_cast<size_t>(n), abc));
    if (code != kNKErr_OK) {
        NK_REPORT_FN(code, code == kNKErr_lapackError ? "info==0" : "");
        return code;
    }
    *amplitude = std::hypot(abc[0], abc[1]);
    *phase = std::atan2(abc[1], abc[0]);
    *offset = abc[2];
    return kNKErr_OK;
}

t_nkMathSineFit nkMath_sineFit(const double* x, const double* y, size_t n) {
    t_nkMathSineFit f;
    if (!x || !y || n == 0) return f;
    double abc[3];
    if (sineSolve(x, y, n, abc) != SolveResult::ok) {
        std::printf("dgelss completed with issue, info=%ld\n", t_lastInfo);
        return f;
    }
    f.amplitude = std::hypot(abc[0], abc[1]);
    f.phase = std::atan2(abc[1], abc[0]);
    f.offset = abc[2];
    return f;
}

u16 ZUTIL_LSSolverDouble(const double* A, double* x, const double* b, unsigned m, unsigned n, unsigned nrhs) {
    if (!A || !x || !b || m == 0 || n == 0 || nrhs == 0) {
        NK_REPORT_FN(kNKErr_invalidParam, "");
        return kNKErr_invalidParam;
    }
    const u16 code = solveCode(solveLeastSquares(A, b, m, n, nrhs, x));
    if (code != kNKErr_OK) NK_REPORT_FN(code, code == kNKErr_lapackError ? "info==0" : "");
    return code;
}

double nkMath_gaussianFunction(double a, double sigma, double b) {
    if (sigma == 0.0) return 0.0;
    return std::exp((b - a) * (b - a) * -0.5 / sigma / sigma) / std::sqrt(6.283185307179586 * sigma * sigma);
}

float nkMath_vectorDot(const float* A, const float* B, int n) {
    if (!A) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "A!=NULL");
    if (!B) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "B!=NULL");
    return n > 0 ? cblas_sdot(n, A, 1, B, 1) : 0.0f;
}

double nkMath_vectorDotD(const double* A, const double* B, int n) {
    if (!A) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "A!=NULL");
    if (!B) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "B!=NULL");
    return n > 0 ? cblas_ddot(n, A, 1, B, 1) : 0.0;
}

namespace {

template <class T>
u16 matrixDotCheck(const T* aIn, int aRows, int aCols, const T* bIn, int bRows, int bCols, const T* cOut,
                   const int* pMc, const int* pNc, const char* func) {
    const char* bad = !aIn ? "aIn" : !bIn ? "bIn" : !cOut ? "cOut" : !pMc ? "pMc" : !pNc ? "pNc" : nullptr;
    // B must have as many rows as A has columns, or the product reads past B.
    if (!bad && (aRows < 1 || aCols < 1 || bCols < 1 || bRows != aCols)) bad = "aRows>0 && aCols>0 && bCols>0 && bRows==aCols";
    if (!bad) return kNKErr_OK;
    nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, kNKErr_invalidParam, bad);
    return kNKErr_invalidParam;
}

}  // namespace

u16 nkMath_matrixDot(const float* aIn, int aRows, int aCols, const float* bIn, int bRows, int bCols, float* cOut,
                     int* pMc, int* pNc) {
    const u16 code = matrixDotCheck(aIn, aRows, aCols, bIn, bRows, bCols, cOut, pMc, pNc, __func__);
    if (code != kNKErr_OK) return code;
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, aRows, bCols, aCols, 1.0f, aIn, aCols, bIn, bCols, 0.0f,
                cOut, bCols);
    *pMc = aRows;
    *pNc = bCols;
    return kNKErr_OK;
}

u16 nkMath_matrixDotD(const double* aIn, int aRows, int aCols, const double* bIn, int bRows, int bCols,
                      double* cOut, int* pMc, int* pNc) {
    const u16 code = matrixDotCheck(aIn, aRows, aCols, bIn, bRows, bCols, cOut, pMc, pNc, __func__);
    if (code != kNKErr_OK) return code;
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, aRows, bCols, aCols, 1.0, aIn, aCols, bIn, bCols, 0.0,
                cOut, bCols);
    *pMc = aRows;
    *pNc = bCols;
    return kNKErr_OK;
}
