// Statistics instantiations and the window statistics finders.
#include <cmath>
#include <limits>

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
