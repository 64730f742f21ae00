#!/usr/bin/env python3
"""numpy's figures for the histogram tests.

Input file: a first line "low width count", then one line of values per category.
Output: per category "count min max mean std(ddof=1)" and a line of the bucket
counts numpy.histogram gives on the edges low + j*width, j = 0..count (its last
bucket closed on the right, as the graph's is not: the values are kept off it).
"""
import sys

import numpy as np

with open(sys.argv[1]) as f:
    lines = f.read().split("\n")
low, width, count = lines[0].split()
low, width, count = float(low), float(width), int(count)
edges = low + width * np.arange(count + 1)
for line in lines[1:]:
    if not line.strip():
        continue
    v = np.array([float(x) for x in line.split()])
    std = v.std(ddof=1) if len(v) > 1 else 0.0
    print("%d %.17g %.17g %.17g %.17g" % (len(v), v.min(), v.max(), v.mean(), std))
    counts, _ = np.histogram(v, bins=edges)
    print(" ".join(str(c) for c in counts))
