// The older per-type numeric interface of the tool's library: line, polynomial and sine
// fits and simple statistics of eight element types, as a pointer and a count or as
// vectors. Every element takes part (no missing value); all arithmetic is in double.
// A broken precondition is reported with its condition and gives NaN (0 for the extreme
// of an empty integer array, 0xE000 from a fit); it never ends the process.
#pragma once

#include <vector>

#include "nk_math.h"
#include "nk_typedef.h"

double nkMath_getSlope(const double* x, const double* y, int leng);
double nkMath_getIntercept(const double* x, const double* y, int leng);

#define NK_MATH_TYPED_XY_PTR(T)                                                  \
    double nkMath_getSlope(const T* x, const signed char* y, unsigned leng);     \
    double nkMath_getIntercept(const T* x, const signed char* y, unsigned leng);

#define NK_MATH_TYPED_DECL(T)                                                                          \
    double nkMath_getSlope(const std::vector<T>& x, const std::vector<T>& y);                          \
    double nkMath_getIntercept(const std::vector<T>& x, const std::vector<T>& y);                      \
    u16 nkMath_polyFit(const std::vector<T>& vx, const std::vector<T>& vy, int ordr, double* pCoef);    \
    u16 nkMath_sineFit(const std::vector<T>& vx, const std::vector<T>& vy, double* pAmp, double* pPhs, \
                       double* pDc);                                                                   \
    T nkMath_getMax(const T* data, unsigned leng);                                                     \
    T nkMath_getMax(const std::vector<T>& data);                                                       \
    T nkMath_getMin(const T* data, unsigned leng);                                                     \
    T nkMath_getMin(const std::vector<T>& data);                                                       \
    double nkMath_getAvg(const T* data, unsigned leng);                                                \
    double nkMath_getAvg(const std::vector<T>& data);                                                  \
    double nkMath_getStdev(const T* data, unsigned leng);                                              \
    double nkMath_getStdev(const std::vector<T>& data);                                                \
    double nkMath_getRms(const T* data, unsigned leng);                                                \
    double nkMath_getRms(const std::vector<T>& data);                                                  \
    double nkMath_getMed(const T* data, unsigned leng);                                                \
    double nkMath_getMed(const std::vector<T>& data);

NK_MATH_TYPED_XY_PTR(signed char)
NK_MATH_TYPED_XY_PTR(unsigned char)
NK_MATH_TYPED_XY_PTR(short)
NK_MATH_TYPED_XY_PTR(unsigned short)
NK_MATH_TYPED_XY_PTR(int)
NK_MATH_TYPED_XY_PTR(unsigned int)
NK_MATH_TYPED_XY_PTR(float)

NK_MATH_TYPED_DECL(signed char)
NK_MATH_TYPED_DECL(unsigned char)
NK_MATH_TYPED_DECL(short)
NK_MATH_TYPED_DECL(unsigned short)
NK_MATH_TYPED_DECL(int)
NK_MATH_TYPED_DECL(unsigned int)
NK_MATH_TYPED_DECL(float)
NK_MATH_TYPED_DECL(double)

#undef NK_MATH_TYPED_XY_PTR
#undef NK_MATH_TYPED_DECL
