#!/usr/bin/env python3
"""Prints the reference tables a station started on DATA_DIR/VdxDataFolder and
RESOURCE_DIR should hold, read here with csv and struct: one line per row,
"<table> <value> <value> ...", values as Python's repr. Missing files and short
tables print nothing for their table.

usage: read_refdata.py DATA_DIR RESOURCE_DIR
"""
import csv
import os
import struct
import sys

data, res = sys.argv[1], sys.argv[2]


def rows_of(path):
    with open(path, newline="") as f:
        return [[float(c) for c in row] for row in csv.reader(f) if row]


def emit(name, rows):
    for r in rows:
        print(name, " ".join(repr(v) for v in r))


def response(name, channels):
    path = os.path.join(data, "VdxDataFolder", name + ".csv")
    if not os.path.exists(path):
        return
    rows = rows_of(path)
    columns = [[row[c] for row in rows] for c in range(min(channels, len(rows[0])))]
    if len(columns) == channels and all(len(c) >= 401 for c in columns):
        emit(name, [c[40:401] for c in columns])


def light_db(name):
    path = os.path.join(res, name + ".bin")
    if not os.path.exists(path):
        return
    with open(path, "rb") as f:
        blob = f.read()
    values, sources = struct.unpack_from("<HI", blob)
    rows = [list(struct.unpack_from("<%dd" % values, blob, 6 + 8 * values * s)) for s in range(sources)]
    if all(len(r) >= 401 for r in rows):
        emit(name, [r[40:401] for r in rows])


response("CorvaneSPRP", 4)
response("TalvekSPRP", 6)
white = os.path.join(data, "VdxDataFolder", "WhiteCGCorrectionFactor.csv")
if os.path.exists(white):
    rows = rows_of(white)
    first = 40 if len(rows[0]) == 401 else 0
    emit("WhiteCGCorrectionFactor", [[row[j] for j in range(first, len(rows[0])) for row in rows]])
light_db("Testing_Dataset_4000_20170815")
light_db("VCRE_LS5100")
