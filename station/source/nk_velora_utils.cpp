// Resampling and smoothing of spectra for the transmittance evaluation.
#include "nk_velora_utils.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "nk_error.h"
#include "nk_velora_log.h"

namespace {

constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN();

// The first missing argument by name, in argument order.
const char* firstMissing(const float* x, const float* y, const float* xOut, const float* yOut) {
    return !x ? "x" : !y ? "y" : !xOut ? "xOut" : !yOut ? "yOut" : nullptr;
}

// Bounds and steps the grid formula casts to int.
bool fitsInt(float v) { return std::isfinite(v) && std::fabs(v) < 2147483648.0f; }

}  // namespace

u16 nkMath_interpolationLinear(const float* x, const float* y, int n, const float* xOut, int nOut, float* yOut) {
    if (const char* missing = firstMissing(x, y, xOut, yOut)) {
        NK_REPORT_FN(kNKErr_invalidParam, missing);
        return kNKErr_invalidParam;
    }
    if (n < 1) {
        NK_REPORT_FN(kNKErr_invalidParam, "n>0");
        return kNKErr_invalidParam;
    }
    int k = 0;  // first sample strictly above the target, carried forward
    for (int j = 0; j < nOut; ++j) {
        while (k < n && x[k] <= xOut[j]) ++k;
        // Outside the samples there is no enclosing segment: hold the end value.
        if (k == 0)
            yOut[j] = y[0];
        else if (k == n)
            yOut[j] = y[n - 1];
        else
            yOut[j] = (y[k] - y[k - 1]) * ((xOut[j] - x[k - 1]) / (x[k] - x[k - 1])) + y[k - 1];
    }
    return kNKErr_OK;
}

u16 nkMath_interpolationQuatic(const float* x, const float* y, int n, const float* xOut, int nOut, float* yOut,
                               int window) {
    if (const char* missing = firstMissing(x, y, xOut, yOut)) {
        NK_REPORT_FN(kNKErr_invalidParam, missing);
        return kNKErr_invalidParam;
    }
    if (n < 1) {
        NK_REPORT_FN(kNKErr_invalidParam, "n>0");
        return kNKErr_invalidParam;
    }
    const int size = std::min(window, n);
    std::vector<double> wx(size > 0 ? static_cast<size_t>(size) : 0), wy(wx.size());
    int k = 0;
    for (int j = 0; j < nOut; ++j) {
        while (k < n && x[k] <= xOut[j]) ++k;
        if (size < 1) {
            yOut[j] = kNaNf;
            continue;
        }
        // The window is centred on the search index but shifted to stay inside the samples.
        const long long start =
            std::clamp<long long>(static_cast<long long>(k) - window / 2, 0, static_cast<long long>(n - size));
        for (int i = 0; i < size; ++i) {
            wx[static_cast<size_t>(i)] = x[start + i];
            wy[static_cast<size_t>(i)] = y[start + i];
        }
        const std::vector<double> c = nkMath_polyFit(wx.data(), wy.data(), wx.size(), 2);
        if (c.size() != 3) {
            yOut[j] = kNaNf;
            continue;
        }
        const double v = xOut[j];
        yOut[j] = static_cast<float>(c[0] + c[1] * v + c[2] * v * v);
    }
    return kNKErr_OK;
}

u16 nkMath_lowPassFilter(const float* x, int n, float a, float b, float* xOut) {
    const char* missing = !x ? "x" : !xOut ? "xOut" : nullptr;
    if (missing) {
        NK_REPORT_FN(kNKErr_invalidParam, missing);
        return kNKErr_invalidParam;
    }
    if (n < 1) {
        NK_REPORT_FN(kNKErr_invalidParam, "n>0");
        return kNKErr_invalidParam;
    }
    const float alpha = a / b;
    xOut[0] = x[0];
    for (int i = 1; i < n; ++i) xOut[i] = xOut[i - 1] + (x[i] - xOut[i - 1]) * alpha;
    return kNKErr_OK;
}

namespace {

std::vector<float> interpolateOnGrid(const std::vector<float>& wl, const std::vector<float>& dat, float bgn, float end,
                                     float step) {
    if (wl.empty() || wl.size() != dat.size()) {
        NK_REPORT_FN(kNKErr_invalidDataSize, "wl.size()>0 && wl.size()==dat.size()");
        return {};
    }
    // The count formula casts the bounds and the step to int and divides by the step.
    if (!fitsInt(bgn) || !fitsInt(end) || !fitsInt(step) || step < 1.0f) {
        NK_REPORT_FN(kNKErr_invalidParam, "isfinite(bgn) && isfinite(end) && step>=1");
        return {};
    }
    // The walk must grow at both ends of the range, or it would never pass `end`.
    const float bgnNext = bgn + step, endNext = end + step;
    if (!(bgnNext > bgn) || !(endNext > end)) {
        NK_REPORT_FN(kNKErr_invalidParam, "bgn+step>bgn && end+step>end");
        return {};
    }
    std::vector<float> rtn;
    try {
        for (float v = bgn; v <= end;) {
            size_t k = 0;
            while (k < wl.size() && !(wl[k] > v)) ++k;
            if (k == 0) {
                rtn.push_back(dat[0]);
            } else if (k == wl.size()) {
                rtn.push_back(dat.back());
            } else {
                const double px[2] = {wl[k - 1], wl[k]}, py[2] = {dat[k - 1], dat[k]};
                const t_nkMathLineFit fit = nkMath_lineFit(px, py, 2);
                rtn.push_back(static_cast<float>(v * fit.slope + fit.intercept));
            }
            const float next = v + step;
            if (!(next > v)) {
                NK_REPORT_FN(kNKErr_invalidParam, "v+step>v");
                return {};
            }
            v = next;
        }
    } catch (const std::bad_alloc&) {
        NK_REPORT_FN(kNKErr_memoryAllocationFailed, "rtn");
        return {};
    }
    const long long expected =
        (static_cast<long long>(static_cast<int>(end)) - static_cast<int>(bgn)) / static_cast<int>(step) + 1;
    if (static_cast<long long>(rtn.size()) != expected) {
        NK_REPORT_FN(kNKErr_invalidDataSize, "rtn.size()==((int)end-(int)bgn)/(int)step+1");
        return {};
    }
    return rtn;
}

}  // namespace

std::vector<float> nkFom_dataInterpolation(std::vector<float> wl, std::vector<float> dat, float bgn, float end,
                                           float step) {
    return interpolateOnGrid(wl, dat, bgn, end, step);
}

std::vector<float> nkFom_dataInterpolation(std::vector<float> wl, std::vector<float> dat, float bgn, float end,
                                           float step, bool clampNegative) {
    std::vector<float> rtn = interpolateOnGrid(wl, dat, bgn, end, step);
    if (clampNegative)
        for (float& v : rtn)
            if (v < 0.0f) v = 0.0f;
    return rtn;
}

namespace {
constexpr long long kExactIndexSums = 1LL << 17;
}  // namespace

void _linear_fit_filter(const float* in, float* out, int n, int window) {
    if (!in || !out || n < 1) return;
    const long long h = std::max(0, window / 2);
    std::vector<float> result(static_cast<size_t>(n));
    for (long long i = 0; i < n; ++i) {
        const long long lo = std::max(0LL, i - h), hi = std::min<long long>(n - 1, i + h);
        if (lo == hi) {
            // A line through one point is that point.
            result[static_cast<size_t>(i)] = in[i];
            continue;
        }
        // The least-squares line of the window against the sample index, from the
        // same four sums in the same order as the library's line fit, so the curve
        // is the same to the bit; only its unused r and r-squared are not formed.
        // Below 2^17 samples the index sums are whole numbers under 2^53, which any
        // order forms exactly: they come in closed form, and only the two sums of
        // the samples run through the window.
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        if (hi < kExactIndexSums) {
            auto sumTo = [](long long k) { return k * (k + 1) / 2; };
            auto sqSumTo = [](long long k) { return k * (k + 1) * (2 * k + 1) / 6; };
            sx = static_cast<double>(sumTo(hi) - sumTo(lo - 1));
            sxx = static_cast<double>(sqSumTo(hi) - sqSumTo(lo - 1));
            for (long long j = lo; j <= hi; ++j) {
                const double y = static_cast<double>(in[j]);
                sy += y;
                sxy += static_cast<double>(j) * y;
            }
        } else {
            for (long long j = lo; j <= hi; ++j) {
                const double x = static_cast<double>(static_cast<float>(j)), y = static_cast<double>(in[j]);
                sx += x;
                sy += y;
                sxx += x * x;
                sxy += x * y;
            }
        }
        const double N = static_cast<double>(hi - lo + 1);
        const double slope = (N * sxy - sx * sy) / (N * sxx - sx * sx);
        const double intercept = (sy - slope * sx) / N;
        result[static_cast<size_t>(i)] = static_cast<float>(static_cast<double>(i) * slope + intercept);
    }
    // Written at the end, so the filter may run in place.
    std::copy(result.begin(), result.end(), out);
}
