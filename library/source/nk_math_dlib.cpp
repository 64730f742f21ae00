// Iterative curve fits and matrix inverses on dlib.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <vector>

#include <dlib/optimization.h>

#include "nk_error.h"
#include "nk_math.h"
#include "nk_math_dlib.h"

double reverse_model(double x, const dlib::matrix<double, 3, 1>& p) { return p(0) / (x + p(1)) + p(2); }
double residual(const t_nkFitSample& xy, const dlib::matrix<double, 3, 1>& p) {
    return reverse_model(xy.first, p) - xy.second;
}
double polynomial_model(double x, const dlib::matrix<double, 4, 1>& p) {
    return p(0) * x * x * x + p(1) * x * x + p(2) * x + p(3);
}
double polynomial_residual(const t_nkFitSample& xy, const dlib::matrix<double, 4, 1>& p) {
    return polynomial_model(xy.first, p) - xy.second;
}
double rto_model(double x, const dlib::matrix<double, 0, 1>& p) { return p(0) * x; }
double rto_residual(const t_nkFitSample& xy, const dlib::matrix<double, 0, 1>& p) {
    return rto_model(xy.first, p) - xy.second;
}
double gaussian_model(double x, const dlib::matrix<double, 3, 1>& p) {
    const double t = (x - p(0)) / p(1);
    return p(2) * std::exp(-t * t);
}
double gaussian_residual(const t_nkFitSample& xy, const dlib::matrix<double, 3, 1>& p) {
    return gaussian_model(xy.first, p) - xy.second;
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<t_nkFitSample> samples(const double* x, const double* y, size_t n) {
    std::vector<t_nkFitSample> list;
    list.reserve(n);
    for (size_t i = 0; i < n; ++i) list.emplace_back(x[i], y[i]);
    return list;
}

dlib::objective_delta_stop_strategy stopStrategy() {
    return dlib::objective_delta_stop_strategy(1e-7, 100).be_verbose();
}

// The trust-region solver for sums of squared residuals, with central differences.
template <class Residual, class Params>
void solve(Residual r, const std::vector<t_nkFitSample>& list, Params& p) {
    dlib::solve_least_squares(stopStrategy(), r, dlib::derivative(r, 1e-7), list, p, 1.0);
}

}  // namespace

u16 nkMath_inverseFitDouble(const double* x, const double* y, int n, double* a, double* b, double* c, double* mse) {
    // The solver needs at least one pair; null arrays would be read.
    if (!x || !y || n < 1) {
        NK_REPORT_FN(kNKErr_invalidParam, "x && y && n>0");
        return kNKErr_invalidParam;
    }
    u16 code = kNKErr_OK;
    dlib::matrix<double, 3, 1> p = {1.0, 1.0, 1.0};
    std::vector<t_nkFitSample> list;
    try {
        list = samples(x, y, static_cast<size_t>(n));
        dlib::solve_least_squares_lm(stopStrategy(), residual, dlib::derivative(residual, 1e-7), list, p, 1.0);
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        code = kNKErr_objectException;
    }
    if (a) *a = p(0);
    if (b) *b = p(1);
    if (c) *c = p(2);
    if (mse) {
        double sum = 0.0;
        for (int i = 0; i < n; ++i) {
            const double d = reverse_model(x[i], p) - y[i];
            sum += d * d;
        }
        *mse = sum / n;
    }
    return code;
}

u16 nkMath_polynomialFitDouble(const double* vx, const double* vy, int leng, int order, double* coeff) {
    const char* bad = !vx ? "vx" : !vy ? "vy" : !coeff ? "coeff" : leng <= 0 ? "leng>0" : order <= 0 ? "order>0" : nullptr;
    if (bad) {
        NK_REPORT_FN(kNKErr_invalidParam, bad);
        return kNKErr_invalidParam;
    }
    if (order > 4) {
        NK_REPORT_FN(kNKErr_notSupported, "");
        return kNKErr_notSupported;
    }
    dlib::matrix<double, 4, 1> p = {1.0, 1.0, 1.0, 1.0};
    try {
        solve(polynomial_residual, samples(vx, vy, static_cast<size_t>(leng)), p);
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        NK_REPORT_FN(kNKErr_objectException, "");
        return kNKErr_objectException;
    }
    for (int i = 0; i < 4; ++i) coeff[i] = p(i);
    return kNKErr_OK;
}

u16 nkMath_lineRtoFitDouble(const double* vx, const double* vy, int leng, double* slope) {
    const char* bad = !vx ? "vx" : !vy ? "vy" : !slope ? "slope" : leng <= 0 ? "leng>0" : nullptr;
    if (bad) {
        NK_REPORT_FN(kNKErr_invalidParam, bad);
        return kNKErr_invalidParam;
    }
    dlib::matrix<double, 0, 1> p(1);
    p = 1.0;
    try {
        solve(rto_residual, samples(vx, vy, static_cast<size_t>(leng)), p);
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        NK_REPORT_FN(kNKErr_objectException, "");
        return kNKErr_objectException;
    }
    *slope = p(0);
    return kNKErr_OK;
}

t_nkMathGaussianFit nkMath_gaussianFit(const double* x, const double* y, size_t n) {
    t_nkMathGaussianFit f;
    if (!x || !y || n == 0) return f;
    // Pairs with a missing x or y would make every residual sum NaN.
    std::vector<t_nkFitSample> list;
    double shift = kNaN;
    try {
        for (size_t i = 0; i < n; ++i) {
            if (!nkMath_isValid(x[i]) || !nkMath_isValid(y[i])) continue;
            list.emplace_back(x[i], y[i]);
            if (!(x[i] >= shift)) shift = x[i];
        }
        if (list.size() < 3) return f;
        // Fit on x - shift so that the centre and width live near the data's own
        // scale. The start is read off the data (peak, its place, a quarter of the
        // span as width); a start at the shift itself divides by zero when it is 0.
        double xmax = shift, peakX = 0.0, peakY = -std::numeric_limits<double>::infinity();
        for (auto& s : list) {
            xmax = std::max(xmax, s.first);
            s.first -= shift;
            if (s.second > peakY) {
                peakY = s.second;
                peakX = s.first;
            }
        }
        const double span = xmax - shift;
        dlib::matrix<double, 3, 1> p = {peakX, span > 0 ? span / 4 : 1.0, peakY};
        solve(gaussian_residual, list, p);
        if (!std::isfinite(p(0)) || !std::isfinite(p(1)) || !std::isfinite(p(2)) || p(1) == 0.0) return f;
        f.amplitude = p(2);
        f.width = std::fabs(p(1));  // only its square enters the model
        f.center = shift + p(0);
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return t_nkMathGaussianFit{};
    }
    return f;
}

namespace {

enum class InverseKind { pseudo, plain };

template <class T>
u16 invert(const T* mIn, T* mOut, int rows, int cols, InverseKind kind, const char* func) {
    const char* bad = !mIn ? "mIn" : !mOut ? "mOut" : (rows < 1 || cols < 1) ? "rows>0 && cols>0" : nullptr;
    if (!bad && kind == InverseKind::plain && rows != cols) bad = "rows==cols";
    if (bad) {
        nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, kNKErr_invalidParam, bad);
        return kNKErr_invalidParam;
    }
    try {
        dlib::matrix<T> m(rows, cols);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) m(r, c) = mIn[static_cast<size_t>(r) * cols + c];
        dlib::matrix<T> out;
        if (kind == InverseKind::pseudo) {
            out = dlib::pinv(m, 0);
        } else {
            // A singular matrix has no inverse; the LU solve would hand back infinities.
            dlib::lu_decomposition<dlib::matrix<T>> lu(m);
            if (lu.is_singular()) {
                nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, kNKErr_invalidParam, "!singular");
                return kNKErr_invalidParam;
            }
            out = lu.solve(dlib::identity_matrix<T>(rows));
        }
        for (int r = 0; r < cols; ++r)
            for (int c = 0; c < rows; ++c) mOut[static_cast<size_t>(r) * rows + c] = out(r, c);
    } catch (const std::exception& e) {
        nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, kNKErr_objectException, e.what());
        return kNKErr_objectException;
    }
    return kNKErr_OK;
}

}  // namespace

u16 nkMath_matrixPinv(const float* mIn, float* mOut, int rows, int cols) {
    return invert(mIn, mOut, rows, cols, InverseKind::pseudo, __func__);
}
u16 nkMath_matrixPinvD(const double* mIn, double* mOut, int rows, int cols) {
    return invert(mIn, mOut, rows, cols, InverseKind::pseudo, __func__);
}
u16 nkMath_matrixInv(const float* mIn, float* mOut, int rows, int cols) {
    return invert(mIn, mOut, rows, cols, InverseKind::plain, __func__);
}
u16 nkMath_matrixInvD(const double* mIn, double* mOut, int rows, int cols) {
    return invert(mIn, mOut, rows, cols, InverseKind::plain, __func__);
}
