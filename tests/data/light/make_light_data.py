#!/usr/bin/env python3
"""Writes the invented light-sensor sample data of this folder (see README.md).

Smooth made-up curves on 401 wavelengths (380 to 780 nm in 1 nm steps): three
light sources, three colour-matching-like functions, and sensor responses of
4 and 6 channels. Run it again to rebuild the files; the output is deterministic.
"""
import math

WL = [380 + i for i in range(401)]


def bump(x, centre, width, height=1.0):
    return height * math.exp(-((x - centre) / width) ** 2)


def write(name, columns):
    with open(name, "w", newline="") as f:
        for i, w in enumerate(WL):
            f.write(",".join(["%d" % w] + ["%.6f" % col[i] for col in columns]) + "\n")


sources = [
    [bump(w, 600, 180) + 0.1 for w in WL],                       # warm, broad
    [bump(w, 450, 30, 0.8) + bump(w, 560, 90, 0.6) for w in WL],  # cool, two humps
    [0.5 + 0.4 * math.sin((w - 380) / 60.0) ** 2 for w in WL],    # rippled
]
write("light_sources.csv", sources)
write("cmf.csv", [[bump(w, c, 40) for w in WL] for c in (600, 550, 450)])
write("response_4ch.csv", [[bump(w, c, 70) + 0.02 for w in WL] for c in (560, 460, 530, 610)])
write("response_6ch.csv", [[bump(w, c, 55) + 0.02 for w in WL] for c in (420, 470, 520, 570, 620, 670)])
