// Descriptive statistics of 1-D and 2-D windows for eight element types, the
// normal density and the least-squares fits of the statistics tool.
// Every output pointer is optional: an output that is not asked for is neither
// computed nor written. Float and Double windows skip the missing value
// kZelk_noValue (-1.7e-300); integer windows count every element.
#pragma once

#include "ZelkTypeDef.h"

#define ZMATH_STAT_DECL(Name, T)                                                                             \
    void ZMATH_FindMaxMinSpanAvgStdevRmsMed##Name##_2D(const T* data, SInt32 stride, SInt32 x0, SInt32 x1, \
                                                       SInt32 y0, SInt32 y1, T* outMax, T* outMin,          \
                                                       T* outSpan, double* outAvg, double* outStdev,          \
                                                       double* outRms, T* outMedian);                         \
    void ZMATH_FindMaxMinSpanAvgStdevRmsMed##Name##_1D(const T* data, SInt32 stride, SInt32 x0, SInt32 x1, \
                                                       T* outMax, T* outMin, T* outSpan, double* outAvg,      \
                                                       double* outStdev, double* outRms, T* outMedian);

ZMATH_STAT_DECL(UInt8, UInt8)
ZMATH_STAT_DECL(SInt8, SInt8)
ZMATH_STAT_DECL(UInt16, UInt16)
ZMATH_STAT_DECL(SInt16, SInt16)
ZMATH_STAT_DECL(UInt32, UInt32)
ZMATH_STAT_DECL(SInt32, SInt32)
ZMATH_STAT_DECL(Float, float)
ZMATH_STAT_DECL(Double, double)
#undef ZMATH_STAT_DECL

// exp(-(x - mean)^2 / (2 sigma^2)) / sqrt(2 pi sigma^2), with 2 pi in single
// precision; 0 when sigma is 0.
double ZMATH_GaussianFunction(double mean, double sigma, double x);

// Largest, smallest and mean element; nothing is skipped. A null array or a
// count below 1 ends the process.
double nkMath_getMax_double(const double* x, int leng);
double nkMath_getMin_double(const double* x, int leng);
double nkMath_getAvg_double(const double* x, int leng);

// Straight line y = slope x + intercept with its correlation r; r squared is
// formed around the means of the values that are not missing. 17 when n < 1, x
// or y is null, or none of slope, intercept and r is asked for.
int ZMATH_LineFitDouble(const double* x, const double* y, SInt32 n, double* outSlope, double* outIntercept,
                        double* outR, double* outRSquared);

// Least squares of A x = b by singular values (rcond 0.001). A is M x N
// row-major; b holds nrhs right-hand sides of M values one after the other, and
// outX receives nrhs solutions of N values one after the other.
// 0, 17 (null or zero argument), 9 (memory) or 36 (LAPACK reported a problem).
int ZMATH_LSSolverDouble(const double* A, double* outX, const double* b, SInt32 M, SInt32 N, SInt32 nrhs);

// c0 + c1 x + ... + c_order x^order through n points; order + 1 coefficients.
int ZMATH_PolyFitDouble(const double* x, const double* y, SInt32 n, SInt32 order, double* outCoefficients);

// y ~ amplitude sin(angle + phase) + offset; all three outputs are required and
// hold 0 after a failed solve.
int ZMATH_SineFitDouble(const double* angles, const double* y, SInt32 n, double* outAmplitude,
                        double* outPhase, double* outOffset);
