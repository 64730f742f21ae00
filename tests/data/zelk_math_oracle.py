#!/usr/bin/python3
# Reference figures for the statistics tool's ZelkMath tests, from numpy and scipy.
# Input: one case per line, "KIND [PARAM...] : numbers [| numbers ...]".
# Output: one line of figures per case, in the same order, full precision.
import sys

import numpy as np

MISSING = -1.7e-300
TYPES = {"UInt8": np.uint8, "SInt8": np.int8, "UInt16": np.uint16, "SInt16": np.int16,
         "UInt32": np.uint32, "SInt32": np.int32, "Float": np.float32, "Double": np.float64}


def stats(kind, a):
    t = TYPES[kind]
    v = np.array(a, dtype=np.float64)
    if kind in ("Float", "Double"):
        v = v[v != MISSING]
    v = v.astype(t)
    w = v.astype(np.float64)
    mean = w.mean()
    if kind == "Float":
        d = (w - mean).astype(np.float32)
        sd = np.sqrt(np.sum((d * d).astype(np.float64)) / (len(v) - 1))
        rms = np.sqrt(np.sum((v * v).astype(np.float64)) / len(v))
    else:
        sd = w.std(ddof=1)
        rms = np.sqrt(np.mean(w * w))
    s = np.sort(v)
    n = len(s)
    if n % 2:
        med = float(s[n // 2])
    elif kind == "Float":
        med = float((s[n // 2 - 1] + s[n // 2]) * np.float32(0.5))
    elif kind == "Double":
        med = (s[n // 2 - 1] + s[n // 2]) * 0.5
    else:
        total = int(s[n // 2 - 1]) + int(s[n // 2])
        med = float(int(total / 2))  # toward zero, as C divides
    return [w.max(), w.min(), mean, sd, rms, med]


def main():
    from scipy import stats as st
    for line in sys.stdin:
        if not line.strip():
            continue
        head, body = line.split(":", 1)
        kind, *params = head.split()
        arrays = [[float(t) for t in part.split()] for part in body.split("|")]
        if kind == "linefit":
            r = st.linregress(arrays[0], arrays[1])
            out = [r.slope, r.intercept, r.rvalue]
        elif kind == "polyfit":
            out = list(np.polyfit(arrays[0], arrays[1], int(params[0]))[::-1])
        elif kind == "lstsq":
            m, n, nrhs = (int(p) for p in params)
            a = np.array(arrays[0]).reshape(m, n)
            b = np.array(arrays[1]).reshape(nrhs, m).T
            x = np.linalg.lstsq(a, b, rcond=1e-3)[0]
            out = list(x.T.reshape(-1))
        else:
            out = stats(kind, arrays[0])
        print(" ".join(repr(float(v)) for v in out))


main()
