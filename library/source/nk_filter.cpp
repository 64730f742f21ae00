// Smoothing filters and the biquad filter.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "nk_error.h"
#include "nk_filter.h"
#include "nk_math.h"

namespace {

bool badArgs1d(const double* data, const double* out, size_t len, int wnd_sz, const char* func) {
    if (data && out && len > 1 && wnd_sz > 0) return false;
    nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, kNKErr_invalidParam,
                       "data!=NULL && out!=NULL && len>1 && wnd_sz>0");
    return true;
}

struct Span {
    size_t lo, hi;  // inclusive
};

Span windowAround(size_t i, size_t h, size_t len) { return {i > h ? i - h : 0, std::min(i + h, len - 1)}; }

// The valid samples of a window, as the float fits take them.
void collect(const double* data, Span s, std::vector<float>& xs, std::vector<float>& ys) {
    xs.clear();
    ys.clear();
    for (size_t j = s.lo; j <= s.hi; ++j) {
        const float v = static_cast<float>(data[j]);
        if (!nkMath_isValid(v)) continue;
        xs.push_back(static_cast<float>(j));
        ys.push_back(v);
    }
}

}  // namespace

u16 nkMath_filter_window_1d(const double* data, double* out, size_t len, int wnd_sz, double k) {
    if (badArgs1d(data, out, len, wnd_sz, __func__)) return kNKErr_invalidParam;
    const size_t h = static_cast<size_t>(wnd_sz) / 2;
    for (size_t i = 0; i < len; ++i) {
        const Span s = windowAround(i, h, len);
        float sum = 0.0f, wsum = 0.0f;
        for (size_t j = s.lo; j <= s.hi; ++j) {
            if (!nkMath_isValid(data[j])) continue;
            const size_t dist = j > i ? j - i : i - j;
            const double q = static_cast<double>((2 * dist) / static_cast<size_t>(wnd_sz));
            const float w = static_cast<float>(1.0 - std::max(q * (1.0 - k), 0.0));
            sum = static_cast<float>(sum + data[j] * w);
            wsum += w;
        }
        out[i] = wsum > 0.0f ? static_cast<double>(sum / wsum) : 0.0;
    }
    return kNKErr_OK;
}

namespace {

// Local fits: `fit` gives the value at index i from the window's valid samples,
// or nothing; with fewer than `least` valid samples the input passes through.
template <class Fit>
void localFit(const double* data, double* out, size_t len, int wnd_sz, size_t least, Fit fit) {
    const size_t h = static_cast<size_t>(wnd_sz) / 2;
    std::vector<float> xs, ys;
    for (size_t i = 0; i < len; ++i) {
        collect(data, windowAround(i, h, len), xs, ys);
        out[i] = data[i];
        if (xs.size() >= least) fit(xs, ys, static_cast<double>(i), out[i]);
    }
}

}  // namespace

u16 nkMath_filter_linear_1d(const double* data, double* out, size_t len, int wnd_sz) {
    if (badArgs1d(data, out, len, wnd_sz, __func__)) return kNKErr_invalidParam;
    localFit(data, out, len, wnd_sz, 2, [](const std::vector<float>& xs, const std::vector<float>& ys, double x, double& o) {
        const t_nkMathLineFit f = nkMath_lineFit<float, float>(xs, ys);
        o = x * f.slope + f.intercept;
    });
    return kNKErr_OK;
}

u16 nkMath_filter_2nd_order_1d(const double* data, double* out, size_t len, int wnd_sz) {
    if (badArgs1d(data, out, len, wnd_sz, __func__)) return kNKErr_invalidParam;
    localFit(data, out, len, wnd_sz, 3, [](const std::vector<float>& xs, const std::vector<float>& ys, double x, double& o) {
        const std::vector<double> c = nkMath_polyFit<float, float>(xs, ys, 2);
        if (c.size() == 3) o = c[0] + c[1] * x + c[2] * x * x;
    });
    return kNKErr_OK;
}

u16 nkMath_filter_window_2d(const double* data, double* out, size_t width, size_t height, size_t wnd, double k) {
    if (height == 0 || width == 0) return kNKErr_OK;
    if (!data || !out) {
        NK_REPORT_FN(kNKErr_invalidParam, "data!=NULL && out!=NULL");
        return kNKErr_invalidParam;
    }
    auto masked = [](double v) { return std::isnan(v) || v >= 255.0; };
    const size_t h = wnd / 2;
    if (h == 0) {
        // No neighbours to weigh: the cone has zero radius, so the image stands as it is.
        for (size_t i = 0; i < width * height; ++i) out[i] = masked(data[i]) ? 255.0 : data[i];
        return kNKErr_OK;
    }
    const float corner = static_cast<float>(std::sqrt(2.0 * static_cast<double>(h * h)));
    for (size_t y = 0; y < height; ++y) {
        for (size_t x = 0; x < width; ++x) {
            if (masked(data[y * width + x])) {
                out[y * width + x] = 255.0;
                continue;
            }
            // h before the centre and h + 1 after it.
            const size_t r0 = y > h ? y - h : 0, r1 = std::min(y + h + 1, height - 1);
            const size_t c0 = x > h ? x - h : 0, c1 = std::min(x + h + 1, width - 1);
            float sum = 0.0f, wsum = 0.0f;
            for (size_t r = r0; r <= r1; ++r) {
                const double dy = static_cast<double>(r) - static_cast<double>(y);
                for (size_t c = c0; c <= c1; ++c) {
                    const double u = data[r * width + c];
                    if (masked(u)) continue;
                    const double dx = static_cast<double>(c) - static_cast<double>(x);
                    const float w = static_cast<float>(1.0 - std::sqrt(dx * dx + dy * dy) / corner * k);
                    sum = static_cast<float>(sum + u * w);
                    wsum += w;
                }
            }
            out[y * width + x] = static_cast<double>(sum / wsum);
        }
    }
    return kNKErr_OK;
}

u16 nkFltr_biquad(int type, float* sample, unsigned sampleCnt, float Fc, float Q, float gain) {
    if (!sample) {
        NK_REPORT_FN(kNKErr_invalidPointer, "sample!=NULL");
        return kNKErr_invalidPointer;
    }
    if (sampleCnt < 2) {
        NK_REPORT_FN(kNKErr_invalidParam, "sampleCnt>1");
        return kNKErr_invalidParam;
    }
    if (type <= 0 || type >= bqType_max) {
        NK_REPORT_FN(kNKErr_invalidParam, "type>0 && type<bqType_max");
        return kNKErr_invalidParam;
    }
    const double V = std::pow(10.0, std::fabs(static_cast<double>(gain)) / 20.0);
    const double K = std::tan(static_cast<double>(Fc) * 3.141592653589793);
    const double KK = K * K;
    const double s = 1.4142135623730951;
    const double r = std::sqrt(2.0 * V);
    const double KQ = K / static_cast<double>(Q);
    const double KinvQ = K * static_cast<double>(1.0f / Q);
    const double KVQ = K * V / static_cast<double>(Q);
    const bool boost = gain >= 0.0f;
    double a0 = 0, a1 = 0, a2 = 0, b1 = 0, b2 = 0, n = 0;
    switch (type) {
        case bqType_highpass:
            n = 1 / (1 + KQ + KK);
            a0 = n, a1 = -2 * n, a2 = n, b1 = 2 * (KK - 1) * n, b2 = (1 - KQ + KK) * n;
            break;
        case bqType_bandpass:
            n = 1 / (1 + KQ + KK);
            a0 = KQ * n, a1 = 0, a2 = -KQ * n, b1 = 2 * (KK - 1) * n, b2 = (1 - KQ + KK) * n;
            break;
        case bqType_notch:
            n = 1 / (1 + KQ + KK);
            a0 = (1 + KK) * n, a1 = 2 * (KK - 1) * n, a2 = a0, b1 = a1, b2 = (1 - KQ + KK) * n;
            break;
        case bqType_peak:
            if (boost) {
                n = 1 / (1 + KinvQ + KK);
                a0 = (1 + KVQ + KK) * n, a2 = (1 - KVQ + KK) * n, b2 = (1 - KinvQ + KK) * n;
            } else {
                n = 1 / (1 + KVQ + KK);
                a0 = (1 + KinvQ + KK) * n, a2 = (1 - KinvQ + KK) * n, b2 = (1 - KVQ + KK) * n;
            }
            a1 = b1 = 2 * (KK - 1) * n;
            break;
        case bqType_lowshelf:
            if (boost) {
                n = 1 / (1 + s * K + KK);
                a0 = (1 + r * K + V * KK) * n, a1 = 2 * (V * KK - 1) * n, a2 = (1 - r * K + V * KK) * n;
                b1 = 2 * (KK - 1) * n, b2 = (1 - s * K + KK) * n;
            } else {
                n = 1 / (1 + r * K + V * KK);
                a0 = (1 + s * K + KK) * n, a1 = 2 * (KK - 1) * n, a2 = (1 - s * K + KK) * n;
                b1 = 2 * (V * KK - 1) * n, b2 = (1 - r * K + V * KK) * n;
            }
            break;
        default:  // high shelf
            if (boost) {
                n = 1 / (1 + s * K + KK);
                a0 = (V + r * K + KK) * n, a1 = 2 * (KK - V) * n, a2 = (V - r * K + KK) * n;
                b1 = 2 * (KK - 1) * n, b2 = (1 - s * K + KK) * n;
            } else {
                n = 1 / (V + r * K + KK);
                a0 = (1 + s * K + KK) * n, a1 = 2 * (KK - 1) * n, a2 = (1 - s * K + KK) * n;
                b1 = 2 * (KK - V) * n, b2 = (V - r * K + KK) * n;
            }
            break;
    }
    // Transposed direct form II, from rest.
    double z1 = 0, z2 = 0;
    for (unsigned i = 0; i < sampleCnt; ++i) {
        const double x = sample[i];
        const double y = a0 * x + z1;
        z1 = a1 * x + z2 - b1 * y;
        z2 = a2 * x - b2 * y;
        sample[i] = static_cast<float>(y);
    }
    return kNKErr_OK;
}
