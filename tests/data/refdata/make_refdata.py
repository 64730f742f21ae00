#!/usr/bin/env python3
"""Writes the invented reference data of this folder (see README.md).

Smooth made-up curves of 401 values and more; the station keeps values 40..400 of
each. Run it again to rebuild the files; the output is deterministic.
"""
import math
import struct

N = 401


def bump(i, centre, width, height=1.0):
    return height * math.exp(-((i - centre) / width) ** 2)


def write_columns(name, columns, end):
    with open(name, "w", newline="") as f:
        for i in range(len(columns[0])):
            f.write(",".join("%.5f" % col[i] for col in columns) + end)


def write_light_db(name, sources):
    values = len(sources[0])
    with open(name, "wb") as f:
        f.write(struct.pack("<HI", values, len(sources)))
        for s in sources:
            f.write(struct.pack("<%dd" % values, *s))


# Sensor responses: one line per sample, one column per channel, no wavelength column.
write_columns("CorvaneSPRP.csv", [[bump(i, c, 60) + 0.01 for i in range(N)] for c in (90, 170, 250, 330)], "\r\n")
write_columns("TalvekSPRP.csv", [[bump(i, c, 45) + 0.01 for i in range(N)] for c in (60, 120, 180, 240, 300, 360)],
              "\n")
# White-part correction factors: two rows of 401 columns.
write_columns("WhiteCGCorrectionFactor.csv", [[1.0 + 0.1 * r + 0.0005 * j for r in range(2)] for j in range(N)], "\n")
# Light-source databases (u16 values per source, u32 sources, doubles); the second
# holds longer sources than the station keeps.
write_light_db("Testing_Dataset_4000_20170815.bin",
               [[bump(i, c, 120) + i / 7.0e5 for i in range(N)] for c in (100, 200, 300)])
write_light_db("VCRE_LS5100.bin", [[0.5 + 0.4 * math.sin(i / (30.0 + s)) ** 2 for i in range(N + 20)] for s in range(2)])
