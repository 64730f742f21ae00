// Statistics of typed arrays, extremes, line/polynomial/sine fits, non-linear
// fits, matrix products and inverses.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
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
    template <class F>
    void forRows(F&& f) const {
        if (empty()) return;
        for (size_t y = y0; y < y1; ++y) f(data + y * width + x0, x1 - x0);
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

// The histogram bin of an 8- or 16-bit integer: its value, offset so that the
// bins run in the elements' order.
template <class T>
using KeyType = std::conditional_t<sizeof(T) == 1, u8, u16>;

template <class T>
KeyType<T> orderedKey(T v) {
    using K = KeyType<T>;
    constexpr K top = static_cast<K>(K(1) << (sizeof(T) * 8 - 1));
    const K k = static_cast<K>(v);
    if constexpr (std::is_signed_v<T>)
        return static_cast<K>(k ^ top);
    else
        return k;
}

// The median by selection rather than sorting.
// - 8- and 16-bit data: a histogram of every value, counted in the first pass.
// - Wider data in large arrays: two pivots read off a sample, taken before the
//   first pass, bracket the middle ranks; the first pass counts the elements
//   below and at the pivots and keeps only those between them, which are then
//   ordered. Should the sample mislead, another pass keeps every valid element,
//   so the result is always exact.
// - Small arrays: every valid element is kept in the first pass.
// The scratch memory is never zero-filled: every element read was written first.
template <class T>
class MedianSelect {
public:
    // `off`: the scratch memory could not be had; the median is then NaN.
    enum Mode { copying, counting, pivoting, off };
    static constexpr bool kNarrow = sizeof(T) <= 2;
    static constexpr size_t kBins = size_t(1) << (sizeof(T) * 8 > 16 ? 16 : sizeof(T) * 8);
    static constexpr size_t kLarge = size_t(1) << 16;
    static constexpr size_t kSample = size_t(1) << 15;

    // The window `w` (of n elements) is sampled for the pivots at once.
    MedianSelect(size_t n, const Window<T>& w)
        : mode_(kNarrow && n >= kBins ? counting : !kNarrow && n >= kLarge ? pivoting : copying) {
        try {
            if (mode_ == counting)
                bins_.assign(kBins, 0);
            else if (mode_ == copying)
                allocate(n);
            else if (mode_ == pivoting)
                choosePivots(w, n);
        } catch (const std::bad_alloc&) {
            mode_ = off;
        }
    }

    // First pass, valid elements only.
    void count(T v) {
        if constexpr (kNarrow)
            if (mode_ == counting) ++bins_[static_cast<size_t>(orderedKey<T>(v))];
        if (mode_ == copying)
            keep_[kept_++] = v;
        else if (mode_ == pivoting)
            scan(v);
    }

    // After the first pass, with c valid elements in the window.
    void plan(size_t c) {
        c_ = c;
        if (c == 0) return;
        rankHi_ = c / 2;
        rankLo_ = c % 2 ? rankHi_ : rankHi_ - 1;
        if (mode_ == counting) {
            loVal_ = valueOfBin(rankLo_);
            hiVal_ = valueOfBin(rankHi_);
        }
    }

    // n is the number of elements given: fewer than two have no median.
    double result(size_t n, const Window<T>& w) {
        if (n < 2 || c_ == 0 || mode_ == off) return kNaN;
        if (mode_ == counting) return c_ % 2 ? single(hiVal_) : midMean(loVal_, hiVal_);
        T lo = T(), hi = T();
        bool found = false;
        if (mode_ == pivoting) {
            bucketed_ = true;
            found = pivotValue(rankLo_, lo) && pivotValue(rankHi_, hi);
            // Of equal elements a selection returns whichever its order leaves there,
            // which for -0 and +0 is the median's sign: the whole selection decides it,
            // as it always did (the buckets leave the kept elements in their order).
            if (found && usedBuckets_ && (lo == T(0) || hi == T(0))) {
                bucketed_ = false;
                found = pivotValue(rankLo_, lo) && pivotValue(rankHi_, hi);
            }
            bucketed_ = false;
        }
        if (mode_ == pivoting && !found) {
            // The pivots missed the middle (or too much lay between them): keep everything.
            mode_ = copying;
            kept_ = 0;
            try {
                allocate(c_);
            } catch (const std::bad_alloc&) {
                return kNaN;
            }
            w.forEach([&](T v) {
                if (isValid(v) && kept_ < c_) keep_[kept_++] = v;
            });
            if (kept_ != c_) return kNaN;  // the data changed between the passes
            lastAt_ = kNone;
        }
        if (mode_ == copying) {
            lo = nthOf(rankLo_);
            hi = nthOf(rankHi_);
        }
        return c_ % 2 ? single(hi) : midMean(lo, hi);
    }

    // Raw state for the vectorised row loops.
    bool copyingNow() const { return mode_ == copying; }
    bool pivotingNow() const { return mode_ == pivoting; }
    T* keep() { return keep_.get(); }
    size_t& kept() { return kept_; }
    size_t spare() const { return spare_; }
    T pivotLo() const { return lo_; }
    T pivotHi() const { return hi_; }
    void addCounts(size_t below, size_t atLo, size_t atHi) {
        below_ += below;
        atLo_ += atLo;
        atHi_ += atHi;
    }

private:
    static constexpr size_t kNone = ~size_t(0);

    void allocate(size_t n) {
        keep_.reset(new T[n > 0 ? n : 1]);  // left unfilled
    }

    void scan(T v) {
        below_ += v < lo_;
        atLo_ += v == lo_;
        atHi_ += v == hi_ && lo_ != hi_;
        const size_t between = lo_ < v && v < hi_;
        keep_[kept_ < spare_ ? kept_ : spare_] = v;  // branch-free: only the kept ones advance
        kept_ += between;
    }

    T valueOfBin(size_t rank) const {
        size_t cum = 0, b = 0;
        for (; b + 1 < kBins; ++b) {
            cum += bins_[b];
            if (rank < cum) break;
        }
        if constexpr (kNarrow) {
            using K = KeyType<T>;
            constexpr K top = static_cast<K>(K(1) << (sizeof(T) * 8 - 1));
            K k = static_cast<K>(b);
            if constexpr (std::is_signed_v<T>) k = static_cast<K>(k ^ top);
            T v;
            std::memcpy(&v, &k, sizeof v);
            return v;
        } else {
            return T();  // wide types never count
        }
    }

    void choosePivots(const Window<T>& w, size_t n) {
        // The sample is read in short runs spread over the window, which the
        // memory system streams far faster than single scattered elements.
        constexpr size_t kRun = 256;
        std::vector<T> sample;
        sample.reserve(kSample);
        const size_t runs = kSample / kRun, gap = n / runs;
        size_t at = 0;  // index of the row's first element in the window
        w.forRows([&](const T* p, size_t len) {
            for (size_t i = 0; i < len; ++i) {
                const size_t g = at + i;
                if (g % gap >= kRun) {
                    i += gap - g % gap - 1;  // on to the next run
                    continue;
                }
                if (isValid(p[i])) sample.push_back(p[i]);
            }
            at += len;
        });
        if (sample.empty()) {
            lo_ = hi_ = T();
            spare_ = 0;
            allocate(4);
            return;
        }
        // The sample median's rank wanders by about sqrt(m)/2; four times that either side.
        const size_t m = sample.size(), mid = m / 2;
        const size_t k = static_cast<size_t>(2.0 * std::sqrt(static_cast<double>(m))) + 8;
        const auto loAt = sample.begin() + static_cast<std::ptrdiff_t>(mid > k ? mid - k : 0);
        const auto hiAt = sample.begin() + static_cast<std::ptrdiff_t>(std::min(m - 1, mid + k));
        std::nth_element(sample.begin(), loAt, sample.end());
        lo_ = *loAt;
        std::nth_element(loAt, hiAt, sample.end());
        hi_ = *hiAt;
        // The valid count is not known yet: room for the share of all n elements.
        const double share = static_cast<double>(2 * k + 1) / static_cast<double>(m);
        spare_ = static_cast<size_t>(2.0 * share * static_cast<double>(n)) + 1024;
        allocate(spare_ + 4);  // the vectorised scan stores a group of four past its base
    }

    // The value at a rank among the valid elements, when the scan settled it.
    bool pivotValue(size_t rank, T& v) {
        if (kept_ > spare_ || rank < below_) return false;
        rank -= below_;
        if (rank < atLo_) return (v = lo_), true;
        rank -= atLo_;
        if (rank < kept_) {
            v = nthOf(rank);
            return true;
        }
        rank -= kept_;
        if (rank < atHi_) return (v = hi_), true;
        return false;
    }

    // Many kept elements: their bucket between the pivots is counted, and only
    // that bucket's elements are ordered. A full selection over all of them
    // mispredicts about every other comparison, pass after pass.
    static constexpr size_t kBuckets = 4096, kBucketFrom = 4096;

    size_t bucketOf(T v) const {
        const double t = (static_cast<double>(v) - static_cast<double>(lo_)) * bucketScale_;
        return t < static_cast<double>(kBuckets) ? static_cast<size_t>(t) : kBuckets - 1;
    }

    // The element of rank `rank` among the kept ones (all strictly between the
    // pivots), through the buckets; false when the pivots give no usable scale.
    bool bucketNth(size_t rank, T& v) {
        const T* const first = keep_.get();
        if (bucketEnd_.empty()) {
            bucketScale_ = static_cast<double>(kBuckets) / (static_cast<double>(hi_) - static_cast<double>(lo_));
            if (!(bucketScale_ > 0.0 && std::isfinite(bucketScale_))) return false;
            bucketEnd_.assign(kBuckets, 0);
            for (size_t i = 0; i < kept_; ++i) ++bucketEnd_[bucketOf(first[i])];
            for (size_t b = 1; b < kBuckets; ++b) bucketEnd_[b] += bucketEnd_[b - 1];
        }
        const size_t b = static_cast<size_t>(
            std::upper_bound(bucketEnd_.begin(), bucketEnd_.end(), static_cast<u32>(rank)) - bucketEnd_.begin());
        if (b >= kBuckets) return false;
        const size_t start = b ? bucketEnd_[b - 1] : 0;
        if (b != bucket_) {
            inBucket_.clear();
            for (size_t i = 0; i < kept_; ++i)
                if (bucketOf(first[i]) == b) inBucket_.push_back(first[i]);
            bucket_ = b;
        }
        if (inBucket_.size() != bucketEnd_[b] - start) return false;
        std::nth_element(inBucket_.begin(), inBucket_.begin() + static_cast<std::ptrdiff_t>(rank - start),
                         inBucket_.end());
        v = inBucket_[rank - start];
        return true;
    }

    // The element of rank `rank` among the kept ones. The rank just above the
    // last one found is the smallest of the part above it, which the last
    // selection left unordered: a scan, not a second selection.
    T nthOf(size_t rank) {
        if (bucketed_ && mode_ == pivoting && kept_ >= kBucketFrom && kept_ <= u32(~u32(0))) {
            T v;
            try {
                if (bucketNth(rank, v)) {
                    usedBuckets_ = true;
                    return v;
                }
            } catch (const std::bad_alloc&) {
            }
            bucketed_ = false;  // the whole selection from here on
        }
        T* const first = keep_.get();
        T* const last = first + kept_;
        if (lastAt_ != kNone && rank == lastAt_) return first[rank];
        if (lastAt_ != kNone && rank == lastAt_ + 1 && rank < kept_) return *std::min_element(first + rank, last);
        std::nth_element(first, first + rank, last);
        lastAt_ = rank;
        return first[rank];
    }

    Mode mode_;
    std::vector<u32> bins_;
    std::unique_ptr<T[]> keep_;
    T lo_ = T(), hi_ = T(), loVal_ = T(), hiVal_ = T();
    size_t c_ = 0, rankLo_ = 0, rankHi_ = 0, kept_ = 0, spare_ = 0, below_ = 0, atLo_ = 0, atHi_ = 0;
    size_t lastAt_ = kNone;
    bool bucketed_ = false, usedBuckets_ = false;
    double bucketScale_ = 0.0;
    std::vector<u32> bucketEnd_;  // kept elements in buckets 0..b
    std::vector<T> inBucket_;     // the elements of bucket bucket_
    size_t bucket_ = kNone;
};

// Running figures of the first pass. The sums run in index order.
struct Accum {
    double mx = -std::numeric_limits<double>::infinity();
    double mn = std::numeric_limits<double>::infinity();
    double sum = -0.0, sq = -0.0;
    size_t c = 0;
};

template <class T>
inline void accumulate(T v, Accum& a, MedianSelect<T>& med) {
    bool ok;
    const double d = validOrZero(v, ok);
    a.mx = ok && d > a.mx ? d : a.mx;
    a.mn = ok && d < a.mn ? d : a.mn;
    a.sum += d;
    a.sq += d * d;
    a.c += ok;
    if (ok) med.count(v);
}

// First pass over one row: extremes, sums and the median's histogram, copy or
// pivot counts. Invalid
// elements are skipped, so a missing value never becomes an extreme.
template <class T>
void pass1Row(const T* p, size_t len, Accum& a, MedianSelect<T>& med) {
    for (size_t i = 0; i < len; ++i) accumulate(p[i], a, med);
}
// The same for floats, four at a time (the library's build).
void pass1Row(const float* p, size_t len, Accum& a, MedianSelect<float>& med);

template <class T>
inline void deviate(T v, double mean, double& dev, size_t& c) {
    bool ok;
    const double d = validOrZero(v, ok) - mean;
    dev += ok ? d * d : -0.0;
    c += ok;
}

// Second pass over one row: squared deviations in four interleaved partial sums
// (element i of the row goes to dev[i % 4]).
template <class T>
void pass2Row(const T* p, size_t len, double mean, double dev[4], size_t& c) {
    for (size_t i = 0; i < len; ++i) deviate(p[i], mean, dev[i & 3], c);
}
void pass2Row(const float* p, size_t len, double mean, double dev[4], size_t& c);

// The same when the first pass found every element of the window valid: no
// tests and no count, the same sums (an invalid element only ever added -0.0).
template <class T>
void pass2RowValid(const T* p, size_t len, double mean, double dev[4]) {
    for (size_t i = 0; i < len; ++i) {
        const double d = static_cast<double>(p[i]) - mean;
        dev[i & 3] += d * d;
    }
}
void pass2RowValid(const float* p, size_t len, double mean, double dev[4]);

template <class T>
double stdevOf(const Window<T>& w, double mean) {
    double dev[4] = {-0.0, -0.0, -0.0, -0.0};
    size_t c = 0;
    w.forRows([&](const T* p, size_t len) { pass2Row(p, len, mean, dev, c); });
    return c < 2 ? kNaN : std::sqrt(((dev[0] + dev[1]) + (dev[2] + dev[3])) / static_cast<double>(c - 1));
}

// Median of the valid elements of a window; `n` is the number of elements
// given (fewer than two give no median, whatever their validity).
template <class T>
double medianOf(const Window<T>& w, size_t n) {
    if (n < 2) return kNaN;
    MedianSelect<T> med(n, w);
    size_t c = 0;
    w.forEach([&](T v) {
        if (!isValid(v)) return;
        med.count(v);
        ++c;
    });
    med.plan(c);
    return med.result(n, w);
}

template <class T>
t_nkMathStat statOf(const Window<T>& w) {
    t_nkMathStat r;
    const size_t n = w.count();
    if (n == 0) return r;
    r.n = n;
    Accum a;
    MedianSelect<T> med(n, w);
    w.forRows([&](const T* p, size_t len) { pass1Row(p, len, a, med); });
    if (a.c == 0) return r;
    med.plan(a.c);
    r.max = a.mx;
    r.min = a.mn;
    r.avg = a.sum / static_cast<double>(a.c);
    r.rms = std::sqrt(a.sq / static_cast<double>(a.c));
    if (a.c >= 2) {
        double dev[4] = {-0.0, -0.0, -0.0, -0.0};
        size_t c = 0;
        if (a.c == n)
            w.forRows([&](const T* p, size_t len) { pass2RowValid(p, len, r.avg, dev); });
        else
            w.forRows([&](const T* p, size_t len) { pass2Row(p, len, r.avg, dev, c); });
        r.stdev = std::sqrt(((dev[0] + dev[1]) + (dev[2] + dev[3])) / static_cast<double>(a.c - 1));
    }
    r.median = med.result(n, w);
    return r;
}

// The first valid element that no later valid one beats.
template <class T, class Better>
double extremeOf(const T* values, u64 n, u64* index, Better better) {
    double best = kNaN;
    u64 at = 0;
    bool found = false;
    for (u64 i = 0; values != nullptr && i < n; ++i) {
        if (!isValid(values[i])) continue;
        const double d = static_cast<double>(values[i]);
        if (!found || better(d, best)) {
            best = d;
            at = i;
            found = true;
        }
    }
    if (index) *index = at;
    return best;
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
    return nk_math_detail::extremeOf(values, n, index, [](double a, double b) { return a > b; });
}

template <class T>
double nkMath_min(const T* values, u64 n, u64* index) {
    return nk_math_detail::extremeOf(values, n, index, [](double a, double b) { return a < b; });
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
