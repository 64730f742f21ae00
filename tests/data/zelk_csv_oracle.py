#!/usr/bin/python3
# Second readers for the statistics tool's CSV tests.
#   values PATH    pandas read_csv of a station log (title line and limit row skipped):
#                  one line per data row, the values of every column after the first.
#   cells PATH     Python's csv reader: the number of cells of every line.
import csv
import sys


def main():
    mode, path = sys.argv[1], sys.argv[2]
    if mode == "values":
        import pandas as pd
        df = pd.read_csv(path, skiprows=[0, 2], float_precision="round_trip", keep_default_na=False,
                         na_values=["NA", ""])
        for row in df.itertuples(index=False):
            print(" ".join(repr(float(v)) for v in row[1:]))
    elif mode == "cells":
        with open(path, newline="") as f:
            print(" ".join(str(len(r)) for r in csv.reader(f)))


main()
