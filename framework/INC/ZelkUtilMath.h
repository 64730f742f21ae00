// The statistics and fits under the ZUTIL_ names that the graphs call; each passes
// its arguments to the ZMATH_ function of the same name unchanged.
#pragma once

#include "ZelkMath.h"

#define ZUTIL_STAT_DECL(Name, T)                                                                             \
    void ZUTIL_FindMaxMinSpanAvgStdevRmsMed##Name##_2D(const T* data, SInt32 stride, SInt32 x0, SInt32 x1, \
                                                       SInt32 y0, SInt32 y1, T* outMax, T* outMin,          \
                                                       T* outSpan, double* outAvg, double* outStdev,          \
                                                       double* outRms, T* outMedian);                         \
    void ZUTIL_FindMaxMinSpanAvgStdevRmsMed##Name##_1D(const T* data, SInt32 stride, SInt32 x0, SInt32 x1, \
                                                       T* outMax, T* outMin, T* outSpan, double* outAvg,      \
                                                       double* outStdev, double* outRms, T* outMedian);
ZUTIL_STAT_DECL(UInt8, UInt8)
ZUTIL_STAT_DECL(SInt8, SInt8)
ZUTIL_STAT_DECL(UInt16, UInt16)
ZUTIL_STAT_DECL(SInt16, SInt16)
ZUTIL_STAT_DECL(UInt32, UInt32)
ZUTIL_STAT_DECL(SInt32, SInt32)
ZUTIL_STAT_DECL(Float, float)
ZUTIL_STAT_DECL(Double, double)
#undef ZUTIL_STAT_DECL

double ZUTIL_GaussianFunction(double mean, double sigma, double x);
int ZUTIL_LineFitDouble(const double* x, const double* y, SInt32 n, double* outSlope, double* outIntercept,
                        double* outR, double* outRSquared);
int ZUTIL_LSSolverDouble(const double* A, double* outX, const double* b, SInt32 M, SInt32 N, SInt32 nrhs);
int ZUTIL_PolyFitDouble(const double* x, const double* y, SInt32 n, SInt32 order, double* outCoefficients);
int ZUTIL_SineFitDouble(const double* angles, const double* y, SInt32 n, double* outAmplitude, double* outPhase,
                        double* outOffset);
