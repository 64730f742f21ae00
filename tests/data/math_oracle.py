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
    else:
        sys.exit("unknown op " + op)


main()
