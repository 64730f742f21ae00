#!/usr/bin/python3
# Final transmittance curves of a stored "atst" packet, re-computed with numpy.
# Usage: atst_oracle.py PACKET.bin COLOUR  -> one line per test point, 351 values.
import struct
import sys

import numpy as np


def linear_fit_filter(v, window):
    h, n, idx = window // 2, len(v), np.arange(len(v), dtype=float)
    res = np.empty(n)
    for i in range(n):
        lo, hi = max(0, i - h), min(n - 1, i + h)
        res[i] = v[i] if lo == hi else np.polyval(np.polyfit(idx[lo:hi + 1], v[lo:hi + 1], 1), i)
    return res.astype(np.float32)


def main():
    data = open(sys.argv[1], "rb").read()
    white = int(sys.argv[2]) == 1
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
    for s in points:
        raw = ((s[:, 3] - s[:, 1]) / (s[:, 2] - s[:, 1]) * np.float32(100)).astype(np.float32)
        t = np.interp(grid, s[:, 0], raw).astype(np.float32)
        wide = linear_fit_filter(t, 10 if white else 20)
        narrow = linear_fit_filter(t, 5)
        final = np.where(ref_grid.astype(float) >= 0.2, narrow, wide)
        if white:
            final[:26] = t[:26]
        print(" ".join(repr(float(v)) for v in final))


main()
