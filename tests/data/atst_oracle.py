#!/usr/bin/python3
# The figures of a stored "atst" packet, re-computed with numpy.
# Usage: atst_oracle.py PACKET.bin COLOUR [CG_TYPE]
# Prints named rows of the 351 grid values (400 to 1100 nm, step 2):
#   final K ..., tilt K ..., var K ...   per test point K (1 = first in the packet)
#   mean ..., stdev ..., tiltavg ...     across the test points
#   weighted ...                         CG type 2 only
import struct
import sys

import numpy as np

# Weights of the test points in the weighted transmittance: three points have a
# table of their own, any other count takes the first of the five.
WEIGHTS_3 = [14.26, 17.5, 10.96]
WEIGHTS_5 = [2.53, 14.26, 17.5, 10.96, 0.36]
I550 = 75  # grid index of 550 nm


def linear_fit_filter(v, window):
    h, n, idx = window // 2, len(v), np.arange(len(v), dtype=float)
    res = np.empty(n)
    for i in range(n):
        lo, hi = max(0, i - h), min(n - 1, i + h)
        res[i] = v[i] if lo == hi else np.polyval(np.polyfit(idx[lo:hi + 1], v[lo:hi + 1], 1), i)
    return res.astype(np.float32)


def final_curves(data, white):
    count, off, points = data[0], 1, []
    for _ in range(count):
        _, n = struct.unpack_from("<BI", data, off)
        s = np.frombuffer(data, dtype="<f4", count=4 * n, offset=off + 17).reshape(n, 4)
        points.append(s)
        off += 17 + 16 * n
    grid = (np.float32(400) + np.float32(2) * np.arange(351, dtype=np.float32)).astype(np.float32)
    first = points[0]
    ref = (first[:, 2] - first[:, 1]).astype(np.float32)
    ref = ref / np.float32(np.max(ref[np.isfinite(ref)]))
    ref_grid = np.interp(grid, first[:, 0], ref).astype(np.float32)
    finals = []
    for s in points:
        raw = ((s[:, 3] - s[:, 1]) / (s[:, 2] - s[:, 1]) * np.float32(100)).astype(np.float32)
        t = np.interp(grid, s[:, 0], raw).astype(np.float32)
        wide = linear_fit_filter(t, 10 if white else 20)
        narrow = linear_fit_filter(t, 5)
        final = np.where(ref_grid.astype(float) >= 0.2, narrow, wide)
        if white:
            final[:26] = t[:26]
        finals.append(final)
    return np.array(finals, dtype=np.float32)


def figures(finals, cg_type):
    t = finals.astype(np.float64)
    n = len(t)
    rows = {"mean": t.mean(axis=0)}
    rows["stdev"] = t.std(axis=0, ddof=1) if n > 1 else np.full(t.shape[1], np.nan)
    rows["var"] = (t - rows["mean"]) / rows["mean"] * 100
    rows["tilt"] = t / t[:, I550:I550 + 1] * 100
    rows["tiltavg"] = rows["tilt"].mean(axis=0)
    if cg_type == 2:
        w = np.array(WEIGHTS_3 if n == 3 else WEIGHTS_5[:n])
        rows["weighted"] = (w[:, None] * t).sum(axis=0) / w.sum()
    return rows


def main():
    data = open(sys.argv[1], "rb").read()
    white = int(sys.argv[2]) == 1
    cg_type = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    finals = final_curves(data, white)
    rows = figures(finals, cg_type)
    text = lambda v: " ".join(repr(float(x)) for x in v)
    for name, curves in (("final", finals), ("tilt", rows["tilt"]), ("var", rows["var"])):
        for k, curve in enumerate(curves, 1):
            print(name, k, text(curve))
    for name in ("mean", "stdev", "tiltavg", "weighted"):
        if name in rows:
            print(name, text(rows[name]))


if __name__ == "__main__":
    main()
