// Smoothing filters over doubles and the biquad filter over float samples.
#pragma once

#include <cstddef>
#include <vector>

#include "nk_typedef.h"

// Weighted moving mean over a window of wnd_sz samples (half-width wnd_sz / 2);
// an even window weighs its two end samples min(k, 1). Missing values are skipped;
// an index with none in its window gives 0.
u16 nkMath_filter_window_1d(const double* data, double* out, size_t len, int wnd_sz, double k);
// Local line (parabola) through the window's valid samples, taken at the centre;
// with fewer than 2 (3) valid samples the input value passes through.
u16 nkMath_filter_linear_1d(const double* data, double* out, size_t len, int wnd_sz);
u16 nkMath_filter_2nd_order_1d(const double* data, double* out, size_t len, int wnd_sz);
// Cone-weighted moving mean over a row-major image; pixels of 255 or more, or
// NaN, are masked: they come out as 255 and take no part in their neighbours.
u16 nkMath_filter_window_2d(const double* data, double* out, size_t width, size_t height, size_t wnd, double k);

// The window mean over a whole series; the series comes back unchanged (as
// doubles) when it is too short to filter.
template <class T>
std::vector<double> nkMath_filter_window_1d(const std::vector<T>& data, int wnd_sz, double k) {
    std::vector<double> in(data.begin(), data.end());
    std::vector<double> out(in.size());
    if (nkMath_filter_window_1d(in.data(), out.data(), in.size(), wnd_sz, k) != 0) return in;
    return out;
}

enum {
    bqType_highpass = 1,
    bqType_bandpass = 2,
    bqType_notch = 3,
    bqType_peak = 4,
    bqType_lowshelf = 5,
    bqType_highshelf = 6,
    bqType_max = 7,
};

// One second-order section run in place over the samples, from rest. Fc is the
// frequency over the sampling rate, gain in dB (peak and shelves).
u16 nkFltr_biquad(int type, float* sample, unsigned sampleCnt, float Fc, float Q, float gain);
