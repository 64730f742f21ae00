// The per-type numeric interface over the tool build's math (fits of nk_math).
#include "nk_math_typed.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "nk_error.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// These functions have no error channel, so a caller error is reported and the
// function computes nothing: ending the process would be worse than a NaN.
void broken(const char* func, const char* cond) {
    nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, kNKErr_invalidParam, cond);
}

template <class T>
std::vector<double> toDouble(const T* v, size_t n) {
    return std::vector<double>(v, v + n);
}

template <class T>
double slopeVec(const std::vector<T>& x, const std::vector<T>& y) {
    if (!(x.size() && y.size() && x.size() == y.size())) {
        broken("nkMath_getSlope", "x.size() && y.size() && x.size()==y.size()");
        return kNaN;
    }
    if constexpr (std::is_same_v<T, double>)
        return nkMath_getSlope(x.data(), y.data(), static_cast<int>(static_cast<unsigned>(x.size())));
    else
        return slopeVec(toDouble(x.data(), x.size()), toDouble(y.data(), y.size()));
}

template <class T>
double interceptVec(const std::vector<T>& x, const std::vector<T>& y) {
    if (!(x.size() && y.size() && x.size() == y.size())) {
        broken("nkMath_getIntercept", "x.size() && y.size() && x.size()==y.size()");
        return kNaN;
    }
    if constexpr (std::is_same_v<T, double>)
        return nkMath_getIntercept(x.data(), y.data(), static_cast<int>(static_cast<unsigned>(x.size())));
    else
        return interceptVec(toDouble(x.data(), x.size()), toDouble(y.data(), y.size()));
}

// The typed pointer forms read y as signed bytes whatever x is: existing callers pass
// byte-wide responses through them, so the older interface keeps that reading.
template <class T>
bool xyPtrOk(const T* x, const signed char* y, unsigned leng, const char* func) {
    if (x && y && leng > 0) return true;
    broken(func, "x && y && leng>0");
    return false;
}

template <class T>
u16 polyFitVec(const std::vector<T>& vx, const std::vector<T>& vy, int ordr, double* pCoef) {
    if (!(vx.size() && vy.size() && vx.size() == vy.size() && ordr > 0 && pCoef)) {
        broken("nkMath_polyFit", "vx.size() && vy.size() && vx.size()==vy.size() && ordr>0 && pCoef");
        return kNKErr_invalidParam;
    }
    if constexpr (std::is_same_v<T, double>)
        return nkMath_polyFitDouble(vx.data(), vy.data(), static_cast<int>(static_cast<unsigned>(vx.size())), ordr,
                                    pCoef);
    else
        return polyFitVec(toDouble(vx.data(), vx.size()), toDouble(vy.data(), vy.size()), ordr, pCoef);
}

template <class T>
u16 sineFitVec(const std::vector<T>& vx, const std::vector<T>& vy, double* pAmp, double* pPhs, double* pDc) {
    if (!(vx.size() && vy.size() && vx.size() == vy.size() && (pAmp || pPhs || pDc))) {
        broken("nkMath_sineFit", "vx.size() && vy.size() && vx.size()==vy.size() && (pAmp || pPhs || pDc)");
        return kNKErr_invalidParam;
    }
    if constexpr (std::is_same_v<T, double>)
        return nkMath_sineFitDouble(vx.data(), vy.data(), static_cast<int>(static_cast<unsigned>(vx.size())), pAmp,
                                    pPhs, pDc);
    else
        return sineFitVec(toDouble(vx.data(), vx.size()), toDouble(vy.data(), vy.size()), pAmp, pPhs, pDc);
}

// A count without data is a caller error; an empty array is not.
template <class T>
bool dataOk(const T* data, unsigned leng, const char* func) {
    if (data || leng == 0) return true;
    broken(func, "data || leng==0");
    return false;
}

// Keeps the running value while it beats the next one: a NaN stays only when last.
template <class T, bool kMax>
T extreme(const T* data, unsigned leng, const char* func) {
    if constexpr (std::is_floating_point_v<T>) {
        if (!dataOk(data, leng, func) || leng == 0) return static_cast<T>(kNaN);
    } else {
        if (!(data && leng > 0)) {
            broken(func, "data && leng>0");
            return 0;
        }
    }
    double r = static_cast<double>(data[0]);
    for (unsigned i = 1; i < leng; ++i) {
        const double v = static_cast<double>(data[i]);
        r = (kMax ? r > v : r < v) ? r : v;
    }
    return static_cast<T>(r);
}

template <class T>
double sum(const T* data, unsigned leng) {
    double s = 0;
    for (unsigned i = 0; i < leng; ++i) s += static_cast<double>(data[i]);
    return s;
}

template <class T>
double avg(const T* data, unsigned leng) {
    if (!dataOk(data, leng, "nkMath_getAvg")) return kNaN;
    return sum(data, leng) / leng;
}

// The sample standard deviation: n = 0 and n = 1 give NaN.
template <class T>
double sampleStdev(const T* data, unsigned leng) {
    if (leng == 0) return kNaN;
    const double mean = sum(data, leng) / leng;
    double ss = 0;
    for (unsigned i = 0; i < leng; ++i) ss += (static_cast<double>(data[i]) - mean) * (static_cast<double>(data[i]) - mean);
    return std::sqrt(ss / (static_cast<double>(leng) - 1.0));
}

template <class T>
double stdev(const T* data, unsigned leng) {
    if (!dataOk(data, leng, "nkMath_getStdev")) return kNaN;
    if constexpr (std::is_same_v<T, float>) {
        if (leng < 2) return 0.0;
    }
    return sampleStdev(data, leng);
}

// Callers of this interface read "rms" as the spread about the mean, so it stays the
// sample standard deviation rather than the root of the mean square.
template <class T>
double rms(const T* data, unsigned leng) {
    if (!dataOk(data, leng, "nkMath_getRms")) return kNaN;
    return sampleStdev(data, leng);
}

template <class T>
double median(const T* data, unsigned leng) {
    if (!dataOk(data, leng, "nkMath_getMed") || leng == 0) return kNaN;
    std::vector<double> v = toDouble(data, leng);
    // NaNs last: a plain < is no ordering with them and lets the sort run off the array.
    std::sort(v.begin(), v.end(), [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); });
    return leng % 2 ? v[leng / 2] : (v[leng / 2 - 1] + v[leng / 2]) / 2.0;
}

}  // namespace

double nkMath_getSlope(const double* x, const double* y, int leng) {
    if (!(x && y && leng > 0)) {
        broken(__func__, "x && y && leng>0");
        return kNaN;
    }
    double sx = 0, sy = 0, sxy = 0, sxx = 0;
    for (int i = 0; i < leng; ++i) {
        sx += x[i];
        sy += y[i];
        sxy += x[i] * y[i];
        sxx += x[i] * x[i];
    }
    return (leng * sxy - sx * sy) / (leng * sxx - sx * sx);
}

double nkMath_getIntercept(const double* x, const double* y, int leng) {
    if (!(x && y && leng > 0)) {
        broken(__func__, "x && y && leng>0");
        return kNaN;
    }
    const double slope = nkMath_getSlope(x, y, leng);
    double sx = 0, sy = 0;
    for (int i = 0; i < leng; ++i) {
        sx += x[i];
        sy += y[i];
    }
    return (sy - slope * sx) / leng;
}

#define NK_MATH_TYPED_XY_PTR(T)                                                              \
    double nkMath_getSlope(const T* x, const signed char* y, unsigned leng) {                \
        if (!xyPtrOk(x, y, leng, "nkMath_getSlope")) return kNaN;                            \
        return nkMath_getSlope(toDouble(x, leng), toDouble(y, leng));                        \
    }                                                                                        \
    double nkMath_getIntercept(const T* x, const signed char* y, unsigned leng) {            \
        if (!xyPtrOk(x, y, leng, "nkMath_getIntercept")) return kNaN;                        \
        return nkMath_getIntercept(toDouble(x, leng), toDouble(y, leng));                    \
    }

#define NK_MATH_TYPED_DEF(T)                                                                                  \
    double nkMath_getSlope(const std::vector<T>& x, const std::vector<T>& y) { return slopeVec(x, y); }       \
    double nkMath_getIntercept(const std::vector<T>& x, const std::vector<T>& y) { return interceptVec(x, y); } \
    u16 nkMath_polyFit(const std::vector<T>& vx, const std::vector<T>& vy, int ordr, double* pCoef) {         \
        return polyFitVec(vx, vy, ordr, pCoef);                                                               \
    }                                                                                                         \
    u16 nkMath_sineFit(const std::vector<T>& vx, const std::vector<T>& vy, double* pAmp, double* pPhs,        \
                       double* pDc) {                                                                         \
        return sineFitVec(vx, vy, pAmp, pPhs, pDc);                                                           \
    }                                                                                                         \
    T nkMath_getMax(const T* data, unsigned leng) { return extreme<T, true>(data, leng, "nkMath_getMax"); }   \
    T nkMath_getMax(const std::vector<T>& data) { return nkMath_getMax(data.data(), unsigned(data.size())); } \
    T nkMath_getMin(const T* data, unsigned leng) { return extreme<T, false>(data, leng, "nkMath_getMin"); }  \
    T nkMath_getMin(const std::vector<T>& data) { return nkMath_getMin(data.data(), unsigned(data.size())); } \
    double nkMath_getAvg(const T* data, unsigned leng) { return avg(data, leng); }                            \
    double nkMath_getAvg(const std::vector<T>& data) { return avg(data.data(), unsigned(data.size())); }      \
    double nkMath_getStdev(const T* data, unsigned leng) { return stdev(data, leng); }                        \
    double nkMath_getStdev(const std::vector<T>& data) { return stdev(data.data(), unsigned(data.size())); }  \
    double nkMath_getRms(const T* data, unsigned leng) { return rms(data, leng); }                            \
    double nkMath_getRms(const std::vector<T>& data) { return rms(data.data(), unsigned(data.size())); }      \
    double nkMath_getMed(const T* data, unsigned leng) { return median(data, leng); }                         \
    double nkMath_getMed(const std::vector<T>& data) { return median(data.data(), unsigned(data.size())); }

NK_MATH_TYPED_XY_PTR(signed char)
NK_MATH_TYPED_XY_PTR(unsigned char)
NK_MATH_TYPED_XY_PTR(short)
NK_MATH_TYPED_XY_PTR(unsigned short)
NK_MATH_TYPED_XY_PTR(int)
NK_MATH_TYPED_XY_PTR(unsigned int)
NK_MATH_TYPED_XY_PTR(float)

NK_MATH_TYPED_DEF(signed char)
NK_MATH_TYPED_DEF(unsigned char)
NK_MATH_TYPED_DEF(short)
NK_MATH_TYPED_DEF(unsigned short)
NK_MATH_TYPED_DEF(int)
NK_MATH_TYPED_DEF(unsigned int)
NK_MATH_TYPED_DEF(float)
NK_MATH_TYPED_DEF(double)
