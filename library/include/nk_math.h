// Statistics of typed arrays, extremes, line/polynomial/sine fits, non-linear
// fits, matrix products and inverses.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "nk_typedef.h"

// ---------------------------------------------------------------------------
// Statistics record

typedef struct t_nkMathStat {
    size_t n = 0;  // elements given, valid or not
    double max = std::numeric_limits<double>::quiet_NaN();
    double min = std::numeric_limits<double>::quiet_NaN();
    double avg = std::numeric_limits<double>::quiet_NaN();
    double stdev = std::numeric_limits<double>::quiet_NaN();
    double rms = std::numeric_limits<double>::quiet_NaN();
    double median = std::numeric_limits<double>::quiet_NaN();
} t_nkMathStat;

namespace nk_math_detail {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Integers have no invalid values; floats and doubles are tested in their own width.
template <class T>
inline bool isValid(T v) {
    if constexpr (std::is_floating_point_v<T>)
        return nkMath_isValid(v);
    else
        return true;
}

// A rectangular window of a row-major array; a 1-D array is one row.
template <class T>
struct Window {
    const T* data;
    size_t width, x0, x1, y0, y1;
    bool empty() const { return data == nullptr || y0 >= y1 || x0 >= x1; }
    template <class F>
    void forEach(F&& f) const {
        if (empty()) return;
        for (size_t y = y0; y < y1; ++y) {
            const T* row = data + y * width;
            for (size_t x = x0; x < x1; ++x) f(row[x]);
        }
    }
    size_t count() const { return empty() ? 0 : (x1 - x0) * (y1 - y0); }
};

template <class T>
Window<T> whole(const T* values, size_t n) {
    return Window<T>{values, n, 0, n, 0, 1};
}

// Branch-free forms of the validity test for the summing loops: an invalid
// element adds -0.0 (which leaves every sum, -0.0 included, as it was).
template <class T>
inline double validOrZero(T v, bool& ok) {
    ok = isValid(v);
    return ok ? static_cast<double>(v) : -0.0;
}

template <class T>
double stdevOf(const Window<T>& w, double mean) {
    double sum = -0.0;
    size_t c = 0;
    w.forEach([&](T v) {
        bool ok;
        const double d = validOrZero(v, ok) - mean;
        sum += ok ? d * d : -0.0;
        c += ok;
    });
    return c < 2 ? kNaN : std::sqrt(sum / static_cast<double>(c - 1));
}

// Mean of the two middle values, formed in the precision the element type asks
// for: doubles in double, everything else in float (integers summed without wrap).
template <class T>
double midMean(T lo, T hi) {
    if constexpr (std::is_same_v<T, double>) {
        const double s = lo + hi;
        return std::isfinite(s) ? s * 0.5 : lo * 0.5 + hi * 0.5;
    } else if constexpr (std::is_same_v<T, float>) {
        const float s = lo + hi;
        return static_cast<double>(std::isfinite(s) ? s * 0.5f : lo * 0.5f + hi * 0.5f);
    } else {
        const long long s = static_cast<long long>(lo) + static_cast<long long>(hi);
        return static_cast<double>(static_cast<float>(s) * 0.5f);
    }
}

template <class T>
double single(T v) {
    if constexpr (std::is_same_v<T, double>)
        return v;
    else
        return static_cast<double>(static_cast<float>(v));
}

// An unsigned key of the element's width whose order is the elements' order.
template <class T>
using KeyType = std::conditional_t<sizeof(T) == 1, u8,
                                   std::conditional_t<sizeof(T) == 2, u16, std::conditional_t<sizeof(T) == 4, u32, u64>>>;

template <class T>
KeyType<T> orderedKey(T v) {
    using K = KeyType<T>;
    constexpr K top = static_cast<K>(K(1) << (sizeof(T) * 8 - 1));
    K k;
    std::memcpy(&k, &v, sizeof k);
    if constexpr (std::is_floating_point_v<T>)
        return (k & top) ? static_cast<K>(~k) : static_cast<K>(k | top);
    else if constexpr (std::is_signed_v<T>)
        return static_cast<K>(k ^ top);
    else
        return k;
}

// The median by selection rather than sorting: a histogram of the top 16 bits
// of each key (every bit for 8- and 16-bit data) finds the bucket(s) that hold
// the middle ranks; only their elements are kept and ordered. Small arrays just
// keep every valid element.
template <class T>
class MedianSelect {
public:
    static constexpr unsigned kShift = sizeof(T) <= 2 ? 0 : sizeof(T) * 8 - 16;
    static constexpr size_t kBuckets = size_t(1) << (sizeof(T) == 1 ? 8 : 16);

    explicit MedianSelect(size_t n)
        : byHistogram_(n >= kBuckets && n < (size_t(1) << 32)) {
        if (byHistogram_)
            bins_.assign(kBuckets, 0);
        else
            keep_.reserve(n);
    }

    // First pass, valid elements only.
    void count(T v) {
        if (byHistogram_)
            ++bins_[bucket(v)];
        else
            keep_.push_back(v);
    }

    // After the first pass: locate the middle ranks among c valid elements.
    void plan(size_t c) {
        c_ = c;
        if (c == 0) return;
        rankHi_ = c / 2;
        rankLo_ = c % 2 ? rankHi_ : rankHi_ - 1;
        if (!byHistogram_) return;
        size_t cum = 0;
        bool haveLo = false;
        for (size_t b = 0; b < kBuckets; ++b) {
            const size_t next = cum + bins_[b];
            if (!haveLo && rankLo_ < next) {
                bucketLo_ = b;
                before_ = cum;
                haveLo = true;
            }
            if (rankHi_ < next) {
                bucketHi_ = b;
                break;
            }
            cum = next;
        }
        size_t kept = 0;
        for (size_t b = bucketLo_; b <= bucketHi_; ++b) kept += bins_[b];
        // One spare slot: the scan stores every element and advances only past the kept ones.
        keep_.resize(kept + 1);
        out_ = keep_.data();
        spare_ = kept;
    }

    // Whether a second pass must hand over the elements of the middle buckets.
    bool needsScan() const { return byHistogram_ && kShift != 0 && c_ > 0; }
    void scan(T v) {
        // Branch-free: about one element in ten lands in the middle buckets, at random.
        const size_t inRange = (bucket(v) - bucketLo_) <= (bucketHi_ - bucketLo_);
        out_[kept_ < spare_ ? kept_ : spare_] = v;
        kept_ += inRange;
    }

    // n is the number of elements given: fewer than two have no median.
    double result(size_t n) {
        if (n < 2 || c_ == 0) return kNaN;
        if (byHistogram_ && kShift == 0) {
            const T lo = fromKey(bucketLo_), hi = fromKey(bucketHi_);
            return c_ % 2 ? single(hi) : midMean(lo, hi);
        }
        if (byHistogram_) keep_.resize(std::min(kept_, spare_));
        const size_t base = byHistogram_ ? before_ : 0;
        const size_t kHi = rankHi_ - base;
        auto mid = keep_.begin() + static_cast<std::ptrdiff_t>(kHi);
        std::nth_element(keep_.begin(), mid, keep_.end());
        if (c_ % 2) return single(*mid);
        return midMean(*std::max_element(keep_.begin(), mid), *mid);
    }

private:
    static size_t bucket(T v) { return static_cast<size_t>(orderedKey(v) >> kShift); }
    // Exact buckets (8- and 16-bit data) are the values themselves.
    static T fromKey(size_t b) {
        using K = KeyType<T>;
        constexpr K top = static_cast<K>(K(1) << (sizeof(T) * 8 - 1));
        K k = static_cast<K>(b);
        if constexpr (std::is_signed_v<T>) k = static_cast<K>(k ^ top);
        T v;
        std::memcpy(&v, &k, sizeof v);
        return v;
    }

    bool byHistogram_;
    std::vector<u32> bins_;
    std::vector<T> keep_;
    size_t c_ = 0, rankLo_ = 0, rankHi_ = 0, bucketLo_ = 0, bucketHi_ = 0, before_ = 0, kept_ = 0, spare_ = 0;
    T* out_ = nullptr;
};

// Median of the valid elements of a window; `n` is the number of elements
// given (fewer than two give no median, whatever their validity).
template <class T>
double medianOf(const Window<T>& w, size_t n) {
    if (n < 2) return kNaN;
    MedianSelect<T> med(n);
    size_t c = 0;
    w.forEach([&](T v) {
        if (!isValid(v)) return;
        med.count(v);
        ++c;
    });
    med.plan(c);
    if (med.needsScan())
        w.forEach([&](T v) {
            if (isValid(v)) med.scan(v);
        });
    return med.result(n);
}

template <class T>
t_nkMathStat statOf(const Window<T>& w) {
    t_nkMathStat r;
    const size_t n = w.count();
    if (n == 0) return r;
    r.n = n;
    // First pass: extremes, mean, sum of squares and the median's histogram.
    // Invalid elements are skipped, so a missing value never becomes an extreme.
    double mx = -std::numeric_limits<double>::infinity(), mn = std::numeric_limits<double>::infinity();
    double sum = -0.0, sq = -0.0;
    size_t c = 0;
    MedianSelect<T> med(n);
    w.forEach([&](T v) {
        bool ok;
        const double d = validOrZero(v, ok);
        mx = ok && d > mx ? d : mx;
        mn = ok && d < mn ? d : mn;
        sum += d;
        sq += d * d;
        c += ok;
        if (ok) med.count(v);
    });
    if (c == 0) return r;
    med.plan(c);
    r.max = mx;
    r.min = mn;
    r.avg = sum / static_cast<double>(c);
    r.rms = std::sqrt(sq / static_cast<double>(c));
    // Second pass: deviations about the mean, and the median's middle buckets.
    if (c >= 2 && med.needsScan()) {
        double dev = -0.0;
        w.forEach([&](T v) {
            bool ok;
            const double d = validOrZero(v, ok) - r.avg;
            dev += ok ? d * d : -0.0;
            if (ok) med.scan(v);
        });
        r.stdev = std::sqrt(dev / static_cast<double>(c - 1));
    } else {
        if (c >= 2) r.stdev = stdevOf(w, r.avg);
        if (med.needsScan())
            w.forEach([&](T v) {
                if (isValid(v)) med.scan(v);
            });
    }
    r.median = med.result(n);
    return r;
}

}  // namespace nk_math_detail

// Mean of the valid elements; NaN when there is none.
template <class T>
double nkMath_avg(const T* values, size_t n) {
    if (n == 0 || values == nullptr) return nk_math_detail::kNaN;
    double sum = -0.0;
    size_t c = 0;
    for (size_t i = 0; i < n; ++i) {
        bool ok;
        sum += nk_math_detail::validOrZero(values[i], ok);
        c += ok;
    }
    return c == 0 ? nk_math_detail::kNaN : sum / static_cast<double>(c);
}

// Sample standard deviation of the valid elements about `mean`; a mean that is
// not a valid number is replaced by the mean of the valid elements.
template <class T>
double nkMath_stdev(const T* values, size_t n, double mean) {
    if (n < 2 || values == nullptr) return nk_math_detail::kNaN;
    if (!nkMath_isValid(mean)) mean = nkMath_avg(values, n);
    if (!nkMath_isValid(mean)) return nk_math_detail::kNaN;
    return nk_math_detail::stdevOf(nk_math_detail::whole(values, n), mean);
}

template <class T>
double nkMath_rms(const T* values, size_t n) {
    if (n == 0 || values == nullptr) return nk_math_detail::kNaN;
    double sq = -0.0;
    size_t c = 0;
    for (size_t i = 0; i < n; ++i) {
        bool ok;
        const double d = nk_math_detail::validOrZero(values[i], ok);
        sq += d * d;
        c += ok;
    }
    return c == 0 ? nk_math_detail::kNaN : std::sqrt(sq / static_cast<double>(c));
}

template <class T>
double nkMath_median(const T* values, size_t n) {
    if (values == nullptr) return nk_math_detail::kNaN;
    return nk_math_detail::medianOf(nk_math_detail::whole(values, n), n);
}

// Every figure at once. `n` counts the elements given; the six figures are
// taken over the valid elements and are NaN when none is valid.
template <class T>
t_nkMathStat nkMath_stat(const T* values, size_t n) {
    if (values == nullptr) return t_nkMathStat{};
    return nk_math_detail::statOf(nk_math_detail::whole(values, n));
}

// The same over columns x0..x1-1 and rows y0..y1-1 of a row-major array with
// `width` elements per row. The caller keeps the window inside the array.
template <class T>
t_nkMathStat nkMath_stat_2d(const T* data, size_t width, size_t x0, size_t x1, size_t y0, size_t y1) {
    return nk_math_detail::statOf(nk_math_detail::Window<T>{data, width, x0, x1, y0, y1});
}

// Largest (smallest) valid element, starting from the first valid one; the index
// moves only to a strictly greater (smaller) value, so the first of equal
// extremes wins. NaN, and index 0, when no element is valid.
template <class T>
double nkMath_max(const T* values, u64 n, u64* index) {
    double best = nk_math_detail::kNaN;
    u64 at = 0;
    bool found = false;
    for (u64 i = 0; values != nullptr && i < n; ++i) {
        if (!nk_math_detail::isValid(values[i])) continue;
        const double d = static_cast<double>(values[i]);
        if (!found || d > best) {
            best = d;
            at = i;
            found = true;
        }
    }
    if (index) *index = at;
    return best;
}

template <class T>
double nkMath_min(const T* values, u64 n, u64* index) {
    double best = nk_math_detail::kNaN;
    u64 at = 0;
    bool found = false;
    for (u64 i = 0; values != nullptr && i < n; ++i) {
        if (!nk_math_detail::isValid(values[i])) continue;
        const double d = static_cast<double>(values[i]);
        if (!found || d < best) {
            best = d;
            at = i;
            found = true;
        }
    }
    if (index) *index = at;
    return best;
}

// A one-dimensional data container.
template <class T>
struct t_nkData_1d {
    std::vector<T> data;

    t_nkData_1d& operator=(const std::vector<T>& values) {
        data = values;
        return *this;
    }
    size_t size() const { return data.size(); }
    // Largest valid value; NaN when empty or none is valid.
    double max(u64* index = nullptr) const { return nkMath_max(data.data(), data.size(), index); }
};

// ---------------------------------------------------------------------------
// Linear least-squares fits and products. The code-returning functions report
// each failure on standard error; the value-returning ones return NaN or an
// empty vector and report nothing.

typedef struct t_nkMathLineFit {
    double slope = std::numeric_limits<double>::quiet_NaN();
    double intercept = std::numeric_limits<double>::quiet_NaN();
    double rSquared = std::numeric_limits<double>::quiet_NaN();
} t_nkMathLineFit;

// y ~ amplitude * sin(x + phase) + offset, x in radians.
typedef struct t_nkMathSineFit {
    double amplitude = std::numeric_limits<double>::quiet_NaN();
    double phase = std::numeric_limits<double>::quiet_NaN();
    double offset = std::numeric_limits<double>::quiet_NaN();
} t_nkMathSineFit;

// y ~ amplitude * exp(-((x - center) / width)^2).
typedef struct t_nkMathGaussianFit {
    double amplitude = std::numeric_limits<double>::quiet_NaN();
    double width = std::numeric_limits<double>::quiet_NaN();
    double center = std::numeric_limits<double>::quiet_NaN();
} t_nkMathGaussianFit;

u16 nkMath_lineFitDouble(const double* x, const double* y, int n, double* slope, double* intercept, double* r,
                         double* rSquared);
t_nkMathLineFit nkMath_lineFit(const double* x, const double* y, size_t n);

// Other element types are copied to doubles first.
template <class TX, class TY>
t_nkMathLineFit nkMath_lineFit(const TX* x, const TY* y, size_t n) {
    if (x == nullptr || y == nullptr) return t_nkMathLineFit{};
    const std::vector<double> dx(x, x + n), dy(y, y + n);
    return nkMath_lineFit(dx.data(), dy.data(), n);
}
template <class TX, class TY>
t_nkMathLineFit nkMath_lineFit(const std::vector<TX>& x, const std::vector<TY>& y) {
    if (y.size() < x.size()) return t_nkMathLineFit{};
    return nkMath_lineFit<TX, TY>(x.data(), y.data(), x.size());
}

// Polynomial coefficients are ascending: c[j] multiplies x^j.
u16 nkMath_polyFitDouble(const double* x, const double* y, int n, int order, double* coeff);
std::vector<double> nkMath_polyFit(const double* x, const double* y, size_t n, unsigned order);
template <class TX, class TY>
std::vector<double> nkMath_polyFit(const std::vector<TX>& x, const std::vector<TY>& y, unsigned order) {
    if (y.size() < x.size()) return {};
    const std::vector<double> dx(x.begin(), x.end()), dy(y.begin(), y.begin() + x.size());
    return nkMath_polyFit(dx.data(), dy.data(), dx.size(), order);
}

u16 nkMath_sineFitDouble(const double* x, const double* y, int n, double* amplitude, double* phase, double* offset);
t_nkMathSineFit nkMath_sineFit(const double* x, const double* y, size_t n);

// Minimum-norm least squares of the row-major m x n system A x = b; b is m x nrhs
// and x is n x nrhs, both row-major.
u16 ZUTIL_LSSolverDouble(const double* A, double* x, const double* b, unsigned m, unsigned n, unsigned nrhs);

// Normal density at a for the given sigma and centre b; 0 when sigma is 0.
double nkMath_gaussianFunction(double a, double sigma, double b);

float nkMath_vectorDot(const float* A, const float* B, int n);
double nkMath_vectorDotD(const double* A, const double* B, int n);
// cOut (aRows x bCols, row-major) = A (aRows x aCols) * B (bRows x bCols).
u16 nkMath_matrixDot(const float* aIn, int aRows, int aCols, const float* bIn, int bRows, int bCols, float* cOut,
                     int* pMc, int* pNc);
u16 nkMath_matrixDotD(const double* aIn, int aRows, int aCols, const double* bIn, int bRows, int bCols,
                      double* cOut, int* pMc, int* pNc);

// ---------------------------------------------------------------------------
// Iterative fits and matrix inverses (dlib).

// y ~ a / (x + b) + c; mse receives the mean squared residual.
u16 nkMath_inverseFitDouble(const double* x, const double* y, int n, double* a, double* b, double* c, double* mse);
// Cubic y ~ coeff[0] x^3 + coeff[1] x^2 + coeff[2] x + coeff[3] for every order 1..4;
// coeff holds four values.
u16 nkMath_polynomialFitDouble(const double* vx, const double* vy, int leng, int order, double* coeff);
// Least-squares slope of y = k x.
u16 nkMath_lineRtoFitDouble(const double* vx, const double* vy, int leng, double* slope);
t_nkMathGaussianFit nkMath_gaussianFit(const double* x, const double* y, size_t n);

// Row-major rows x cols in, cols x rows out.
u16 nkMath_matrixPinv(const float* mIn, float* mOut, int rows, int cols);
u16 nkMath_matrixPinvD(const double* mIn, double* mOut, int rows, int cols);
// Square, non-singular matrices only.
u16 nkMath_matrixInv(const float* mIn, float* mOut, int rows, int cols);
u16 nkMath_matrixInvD(const double* mIn, double* mOut, int rows, int cols);

// Window statistics finders, exported with plain names for station programs.
// Every output may be null. A negative bound gives an empty window; an empty
// window writes NaN to the double outputs and to float/double extremes, 0 to
// integer extremes. Spans that do not fit the element type saturate.
#define NK_MATH_FINDER_DECL(Name, T)                                                                  \
    void nkMath_FindMaxMinSpanAvgStdevRmsMed##Name##_1D(T* data, int leng, int x0, int x1, T* pMax,  \
                                                         T* pMin, T* pSpan, double* pAvg,             \
                                                         double* pStdev, double* pRms, double* pMed); \
    void nkMath_FindMaxMinSpanAvgStdevRmsMed##Name##_2D(T* data, int width, int x0, int x1, int y0,  \
                                                         int y1, T* pMax, T* pMin, T* pSpan,          \
                                                         double* pAvg, double* pStdev, double* pRms, \
                                                         double* pMed);
extern "C" {
NK_MATH_FINDER_DECL(UInt8, unsigned char)
NK_MATH_FINDER_DECL(SInt8, signed char)
NK_MATH_FINDER_DECL(UInt16, unsigned short)
NK_MATH_FINDER_DECL(SInt16, short)
NK_MATH_FINDER_DECL(UInt32, unsigned int)
NK_MATH_FINDER_DECL(SInt32, int)
NK_MATH_FINDER_DECL(Float, float)
NK_MATH_FINDER_DECL(Double, double)
}
#undef NK_MATH_FINDER_DECL
