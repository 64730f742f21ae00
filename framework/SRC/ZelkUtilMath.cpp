// The ZUTIL_ names of the statistics and fits.
#include "ZelkUtilMath.h"

#define ZUTIL_STAT_IMPL(Name, T)                                                                               \
    void ZUTIL_FindMaxMinSpanAvgStdevRmsMed##Name##_2D(const T* data, SInt32 stride, SInt32 x0, SInt32 x1,   \
                                                       SInt32 y0, SInt32 y1, T* outMax, T* outMin,            \
                                                       T* outSpan, double* outAvg, double* outStdev,            \
                                                       double* outRms, T* outMedian) {                          \
        ZMATH_FindMaxMinSpanAvgStdevRmsMed##Name##_2D(data, stride, x0, x1, y0, y1, outMax, outMin, outSpan,  \
                                                      outAvg, outStdev, outRms, outMedian);                     \
    }                                                                                                          \
    void ZUTIL_FindMaxMinSpanAvgStdevRmsMed##Name##_1D(const T* data, SInt32 stride, SInt32 x0, SInt32 x1,   \
                                                       T* outMax, T* outMin, T* outSpan, double* outAvg,        \
                                                       double* outStdev, double* outRms, T* outMedian) {        \
        ZMATH_FindMaxMinSpanAvgStdevRmsMed##Name##_1D(data, stride, x0, x1, outMax, outMin, outSpan, outAvg,  \
                                                      outStdev, outRms, outMedian);                             \
    }
ZUTIL_STAT_IMPL(UInt8, UInt8)
ZUTIL_STAT_IMPL(SInt8, SInt8)
ZUTIL_STAT_IMPL(UInt16, UInt16)
ZUTIL_STAT_IMPL(SInt16, SInt16)
ZUTIL_STAT_IMPL(UInt32, UInt32)
ZUTIL_STAT_IMPL(SInt32, SInt32)
ZUTIL_STAT_IMPL(Float, float)
ZUTIL_STAT_IMPL(Double, double)
#undef ZUTIL_STAT_IMPL

double ZUTIL_GaussianFunction(double mean, double sigma, double x) { return ZMATH_GaussianFunction(mean, sigma, x); }

int ZUTIL_LineFitDouble(const double* x, const double* y, SInt32 n, double* outSlope, double* outIntercept,
                        double* outR, double* outRSquared) {
    return ZMATH_LineFitDouble(x, y, n, outSlope, outIntercept, outR, outRSquared);
}

int ZUTIL_LSSolverDouble(const double* A, double* outX, const double* b, SInt32 M, SInt32 N, SInt32 nrhs) {
    return ZMATH_LSSolverDouble(A, outX, b, M, N, nrhs);
}

int ZUTIL_PolyFitDouble(const double* x, const double* y, SInt32 n, SInt32 order, double* outCoefficients) {
    return ZMATH_PolyFitDouble(x, y, n, order, outCoefficients);
}

int ZUTIL_SineFitDouble(const double* angles, const double* y, SInt32 n, double* outAmplitude, double* outPhase,
                        double* outOffset) {
    return ZMATH_SineFitDouble(angles, y, n, outAmplitude, outPhase, outOffset);
}
