#!/usr/bin/python3
# Reference figures for the math tests, from numpy and scipy.
# Usage: math_oracle.py OP [PARAM...] < arrays   (one array per input line)
# Prints the figures of OP on one line, with full precision.
import sys

import numpy as np

SENTINEL = -1.7549413551695425e-39


def arrays():
    return [np.array([float(t) for t in line.split()]) for line in sys.stdin if line.strip()]


def valid(a):
    return a[np.isfinite(a) & (a != SENTINEL)]


def out(values):
    print(" ".join(repr(float(v)) for v in values))


def stats(a):
    v = valid(a)
    out([v.max(), v.min(), v.mean(), v.std(ddof=1), np.sqrt(np.mean(v * v)), np.median(v)])


def linefit(x, y):
    from scipy import stats as st
    r = st.linregress(x, y)
    out([r.slope, r.intercept, r.rvalue ** 2])


def polyfit(x, y, order):
    out(np.polyfit(x, y, order)[::-1])


def sinefit(x, y):
    m = np.column_stack([np.sin(x), np.cos(x), np.ones_like(x)])
    a, b, c = np.linalg.lstsq(m, y, rcond=None)[0]
    out([np.hypot(a, b), np.arctan2(b, a), c])


def gaussfit(x, y):
    from scipy.optimize import curve_fit
    i = int(np.argmax(y))
    p, _ = curve_fit(lambda t, c, w, a: a * np.exp(-((t - c) / w) ** 2), x, y,
                     p0=[x[i], (x.max() - x.min()) / 4, y[i]])
    out([p[2], abs(p[1]), p[0]])


def inversefit(x, y):
    from scipy.optimize import curve_fit
    p, _ = curve_fit(lambda t, a, b, c: a / (t + b) + c, x, y, p0=[1, 1, 1])
    out(p)


def biquad(kind, fc, q, gain, x):
    # Bilinear-transform biquad coefficients, filtered by scipy's own lfilter.
    from scipy.signal import lfilter
    v = 10 ** (abs(gain) / 20)
    k = np.tan(np.pi * fc)
    s = np.sqrt(2.0)
    r = np.sqrt(2 * v)
    kk = k * k
    if kind == 1:
        b, a = [1, -2, 1], [1 + k / q + kk, 2 * (kk - 1), 1 - k / q + kk]
    elif kind == 2:
        b, a = [k / q, 0, -k / q], [1 + k / q + kk, 2 * (kk - 1), 1 - k / q + kk]
    elif kind == 3:
        b, a = [1 + kk, 2 * (kk - 1), 1 + kk], [1 + k / q + kk, 2 * (kk - 1), 1 - k / q + kk]
    elif kind == 4:
        hi, lo = [1 + v * k / q + kk, 2 * (kk - 1), 1 - v * k / q + kk], [1 + k / q + kk, 2 * (kk - 1), 1 - k / q + kk]
        b, a = (hi, lo) if gain >= 0 else (lo, hi)
    elif kind == 5:
        hi, lo = [1 + r * k + v * kk, 2 * (v * kk - 1), 1 - r * k + v * kk], [1 + s * k + kk, 2 * (kk - 1), 1 - s * k + kk]
        b, a = (hi, lo) if gain >= 0 else (lo, hi)
    else:
        hi, lo = [v + r * k + kk, 2 * (kk - v), v - r * k + kk], [1 + s * k + kk, 2 * (kk - 1), 1 - s * k + kk]
        b, a = (hi, lo) if gain >= 0 else (lo, hi)
    out(lfilter(b, a, x))


def interp(x, y, xout):
    # np.interp holds the end values outside the samples.
    out(np.interp(xout, x, y))


def linear_fit_filter(v, window):
    h, n, idx = window // 2, len(v), np.arange(len(v), dtype=float)
    res = []
    for i in range(n):
        lo, hi = max(0, i - h), min(n - 1, i + h)
        res.append(v[i] if lo == hi else np.polyval(np.polyfit(idx[lo:hi + 1], v[lo:hi + 1], 1), i))
    out(res)


def quadratic(x, y, xout, window):
    n, size = len(x), min(window, len(x))
    res = []
    for t in xout:
        k = int(np.searchsorted(x, t, side="right"))
        s = min(max(k - window // 2, 0), n - size)
        res.append(np.polyval(np.polyfit(x[s:s + size], y[s:s + size], 2), t))
    out(res)


def lowpass(x, a, b):
    from scipy.signal import lfilter
    alpha = np.float32(a) / np.float32(b)
    # y[i] = alpha x[i] + (1 - alpha) y[i-1], started so that y[0] = x[0].
    out(lfilter([alpha], [1, -(1 - alpha)], x, zi=[(1 - alpha) * x[0]])[0])


def grid(wl, dat, bgn, end, step):
    out(np.interp(np.arange(bgn, end + step / 2, step), wl, dat))


def normpdf(d, sigma):
    from scipy.stats import norm
    out(norm.pdf(d, 0, sigma))


def correlation(x, y):
    # Five times: drop the largest, then the smallest y (first of equals), with its x.
    x, y = list(x), list(y)
    for _ in range(5):
        i = int(np.argmax(y)); del x[i]; del y[i]
        i = int(np.argmin(y)); del x[i]; del y[i]
    linefit(np.array(x), np.array(y))


def origin_slope(x, y):
    out([np.sum(x * y) / np.sum(x * x)])


def main():
    op, params = sys.argv[1], sys.argv[2:]
    a = arrays()
    if op == "stats":
        stats(a[0])
    elif op == "linefit":
        linefit(a[0], a[1])
    elif op == "polyfit":
        polyfit(a[0], a[1], int(params[0]))
    elif op == "sinefit":
        sinefit(a[0], a[1])
    elif op == "gaussfit":
        gaussfit(a[0], a[1])
    elif op == "inversefit":
        inversefit(a[0], a[1])
    elif op == "biquad":
        biquad(int(params[0]), float(params[1]), float(params[2]), float(params[3]), a[0])
    elif op == "interp":
        interp(a[0], a[1], a[2])
    elif op == "linfitfilter":
        linear_fit_filter(a[0], int(params[0]))
    elif op == "quadratic":
        quadratic(a[0], a[1], a[2], int(params[0]))
    elif op == "lowpass":
        lowpass(a[0], float(params[0]), float(params[1]))
    elif op == "grid":
        grid(a[0], a[1], float(params[0]), float(params[1]), float(params[2]))
    elif op == "normpdf":
        normpdf(a[0], float(params[0]))
    elif op == "correlation":
        correlation(a[0], a[1])
    elif op == "originslope":
        origin_slope(a[0], a[1])
    else:
        sys.exit("unknown op " + op)


main()
