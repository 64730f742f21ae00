"""Tester cell folders for the a-factor calibration, and the check of its CSV.

gen ROOT SEED [UNITS]: writes ROOT/CGCal_20261210_cell07 as the station lays a
cell out (Statistics CSV; LogsFolder/SN/date with the unit's three stored
packets, the uniformity one zipped by `zip`) and ROOT/expected.json: UNITS good
units (210 by default) over the eight sockets, then the rows every run must sort
out (outliers, error rows, units without a folder or a packet).

Every unit's images are flat: the camera's transmittance ratio is A percent
everywhere, and its five spectra are flat at T_j = A * a * (1 + d_j) percent,
the d_j summing to zero. The unit's factor, the slope of t = s * cam through the
origin over the five beam positions, is then mean(T_j) / A = a in closed form.

check CSV EXPECTED [LOG]: reads the calibration-factor CSV with Python's csv and
compares it with numpy's float32 group sums in replay order. With 100 or more
counted units in each group the CSV holds the two averages; with fewer it holds
1.0 for both, and the averages are read from the run's log LOG instead, beside
each replayed unit's factor.
"""
import csv
import json
import os
import random
import re
import struct
import subprocess
import sys
import time

import numpy as np

REF = 978307200  # 2001-01-01 in Unix time
W, H = 320, 12
PIX_UM, BEAM_UM, CENTROID = 20.0, 200.0, 550.0
DELTAS = (-0.02, -0.01, 0.0, 0.01, 0.02)
CELL = "cell07"


def serial(i):
    return "ABC7234WXYZQ2A5%03d" % i


def tscr(cell, cell_id, sn, socket):
    p = bytearray(240)

    def put(off, text, size):
        b = text.encode()[:size]
        p[off:off + len(b)] = b

    put(0, cell, 32)
    p[32] = cell_id
    put(33, "TSW-3.2", 32)
    put(65, "THW-B1", 32)
    put(97, sn, 64)
    put(161, "LS-0042", 32)
    put(193, "SPM-%d" % socket, 32)
    put(225, "IQC", 7)
    p[232:240] = struct.pack("<ff", 3.5, 42.0)
    return bytes(p)


def unif(ratio_pct):
    head = struct.pack("<HHBIHHfff", W, H, 1, 4 * W * H, 35, 35, CENTROID, PIX_UM, BEAM_UM)
    n = W * H
    return head + bytes([10]) * n + bytes([110]) * n + bytes([10]) * n + bytes([10 + ratio_pct]) * n


def spectra(ts):
    out = bytearray([len(ts)])
    wls = [390.0 + 10.0 * k for k in range(73)]  # 390 .. 1110 nm
    for j, t in enumerate(ts):
        out += struct.pack("<BIfff", j + 1, len(wls), 0.0, 0.0, 0.0)
        measured = np.float32(100.0) + np.float32(10.0) * np.float32(t)
        for wl in wls:
            out += struct.pack("<ffff", wl, 100.0, 1100.0, float(measured))
    return bytes(out)


def closed_form(ts, ratio_pct):
    # What the station sees: T = (m - d) / (w - d) * 100 in float32, the map A.
    t = [np.float32(np.float32(np.float32(100.0) + np.float32(10.0) * np.float32(x)) - np.float32(100.0))
         / np.float32(1000.0) * np.float32(100.0) for x in ts]
    return float(np.float32(sum(float(x) for x in t) / (len(t) * float(ratio_pct))))


class Cell:
    """A tester cell folder, written one unit (statistics row) at a time."""

    def __init__(self, root, seed):
        self.rnd = random.Random(seed)
        self.root = root
        self.cell_dir = os.path.join(root, "CGCal_20261210_" + CELL)
        os.makedirs(os.path.join(self.cell_dir, "Statistics"), exist_ok=True)
        os.makedirs(os.path.join(self.cell_dir, "LogsFolder"), exist_ok=True)
        self.rows = []
        self.expected = {"factors": [[], []], "spectrometer": ["", ""], "machine": 7, "light": "LS-0042"}
        self.base = 819000000.25  # a 2026 date, with a fraction
        self.i = 0

    def unit(self, socket, a, err="0", failing="", tester=None, store=True, files=("tscr", "unif", "atst"),
             replayed=True):
        self.i += 1
        sn = serial(self.i)
        stamp = self.base + 61.5 * self.i
        date = time.strftime("%Y%m%d%H%M%S", time.localtime(int(stamp // 1) + REF))
        tester_id = tester if tester is not None else "%s_%d" % (CELL, socket)
        self.rows.append("%s,%s,%s,,%s,,%f,x,y,1.000,%s,TSW-3.2,LS-0042,SPM-%d,%s\n" % (
            sn, "PASS" if err == "0" else "FAIL", err, tester_id, stamp, failing, socket, sn))
        if not store:
            return
        run = os.path.join(self.cell_dir, "LogsFolder", sn, date)
        os.makedirs(run, exist_ok=True)
        ratio = self.rnd.randint(60, 95)
        ts = [ratio * a * (1 + d) for d in DELTAS]
        if "tscr" in files:
            with open(os.path.join(run, sn + "_tscr.bin"), "wb") as f:
                f.write(tscr(CELL, socket, sn, socket))
        if "unif" in files:
            binp = os.path.join(run, sn + "_unif.bin")
            with open(binp, "wb") as f:
                f.write(unif(ratio))
            subprocess.run(["zip", "-q", "-j", os.path.join(run, sn + "_unif.zip"), binp], check=True)
            os.remove(binp)
        if "atst" in files:
            with open(os.path.join(run, sn + "_atst.bin"), "wb") as f:
                f.write(spectra(ts))
        if replayed and len(files) == 3:
            g = socket % 2
            self.expected["factors"][g].append(closed_form(ts, ratio))
            self.expected["spectrometer"][g] = "SPM-%d" % socket

    def write(self):
        path = os.path.join(self.cell_dir, "Statistics", "CGCal_black_1.23.45_CGB.csv")
        with open(path, "w", newline="") as f:
            f.write("CG Test,version=1.23.45_CGB,\n")
            f.write("SerialNumber,Test Pass/Fail Status,errCode,errStr,TesterID,config,timeStamp,StartTime,EndTime,"
                    "TestTime,Failing Items,INIT::TSTR_SW,INIT::LIGHT_SOURCE,INIT::SPECTROMETER,INIT::CG_SN\n")
            f.write("Upper Limit ----->,,,,,,,,,,,,ATTR,ATTR,ATTR\n")
            f.write("Lower Limit ----->,,,,,,,,,,,,ATTR,ATTR,ATTR\n")
            f.write("Measurement Unit ----->,,,,,,,,,sec,,NA,NA,NA,NA\n")
            f.writelines(self.rows)
        with open(os.path.join(self.root, "expected.json"), "w") as f:
            json.dump(self.expected, f)
        print(self.cell_dir)


def gen(root, seed, units=210):
    c = Cell(root, seed)
    for k in range(units):
        socket = k % 8
        c.unit(socket, c.rnd.uniform(0.93, 0.99) if socket % 2 == 0 else c.rnd.uniform(1.01, 1.07))
    # Outliers: replayed, not counted.
    for socket, a in ((0, 0.80), (1, 1.20), (2, 1.16), (3, 0.84)):
        c.unit(socket, a)
    # An error row naming neither a uniformity nor a transmittance item is used.
    c.unit(4, 0.96, err="93", failing="INIT::CG_SN;")
    c.unit(5, 1.04, err="-1", failing="POST::BIN_CODE;")
    # Error rows naming them are not; their factors would move the averages.
    c.unit(2, 1.10, err="35", failing="UNIF::INT_AVG;", replayed=False)
    c.unit(3, 0.90, err="31", failing="T::TP1_T_PCT_400;", replayed=False)
    # No run folder, no number after the "_", a missing stored packet.
    c.unit(6, 1.10, store=False, replayed=False)
    c.unit(1, 0.90, tester="cell07_", replayed=False)
    c.unit(7, 0.90, files=("tscr", "unif"), replayed=False)
    # The last row is the last replayed unit of group 1: it names the machine.
    c.unit(7, 1.05)
    c.write()


def gen_small(root, units):
    c = Cell(root, 5)
    for k in range(units):
        c.unit(k % 8, 0.95 if k % 2 == 0 else 1.05)
    c.write()


def packets(folder):
    """A tester's packets of two units (sockets 2 and 3), with their closed-form factors."""
    rnd = random.Random(3)
    os.makedirs(folder, exist_ok=True)
    for u, (socket, a) in enumerate(((2, 0.95), (3, 1.05))):
        sn = serial(500 + u)
        ratio = rnd.randint(60, 95)
        ts = [ratio * a * (1 + d) for d in DELTAS]
        stem = os.path.join(folder, str(u))
        for ext, data in ((".tscr", tscr(CELL, socket, sn, socket)), (".unif", unif(ratio)), (".atst", spectra(ts)),
                          (".sn", sn.encode()), (".a", repr(closed_form(ts, ratio)).encode())):
            with open(stem + ext, "wb") as f:
                f.write(data)


def logged(log_path):
    """The run log's factors per group in replay order, and its two averages."""
    factors, averages = [[], []], {}
    with open(log_path, errors="replace") as f:
        for line in f:
            m = re.search(r"\*\*\* CalcA \d+/\d+\. a_factors\[(\d)\] = (\S+)", line)
            if m:
                factors[int(m.group(1))].append(float(m.group(2)))
            m = re.search(r" \. Average of (\d+) a_factors\[(\d)\] = (\S+)", line)
            if m:
                averages[int(m.group(2))] = (int(m.group(1)), float(m.group(3)))
    return factors, averages


def check(csv_path, expected_path, log_path=None):
    with open(expected_path) as f:
        exp = json.load(f)
    with open(csv_path, newline="") as f:
        text = f.read()
    assert text.endswith("\r") and "\n" not in text, repr(text[-20:])
    rows = list(csv.reader(text.split("\r")[:-1]))
    assert rows[0] == ["Machine", "a0", "a1", "Vendor", "LightSourceSN", "SpectrometerSN[0]", "SpectrometerSN[1]",
                       "CalibrationDate"], rows[0]
    assert len(rows) == 2, rows
    row = rows[1]
    assert int(row[0]) == exp["machine"], row
    counts, avgs = [], []
    for g in (0, 1):
        total, n = np.float32(0.0), 0
        for a in exp["factors"][g]:
            a = np.float32(a)
            if np.float32(0.85) < a < np.float32(1.15):
                total = np.float32(total + a)
                n += 1
        counts.append(n)
        avgs.append(np.float32(total / np.float32(n)))
        assert row[5 + g] == exp["spectrometer"][g], row
    enough = min(counts) >= 100
    assert enough or log_path, counts
    if log_path:
        # The log prints 7 decimals.
        factors, averages = logged(log_path)
        for g in (0, 1):
            assert len(factors[g]) == len(exp["factors"][g]), (g, factors[g])
            for got, want in zip(factors[g], exp["factors"][g]):
                assert abs(got - want) <= 2e-6, (g, got, want)
            assert averages[g][0] == counts[g], (g, averages[g], counts[g])
            assert abs(averages[g][1] - float(avgs[g])) <= 1e-6, (g, averages[g], float(avgs[g]))
    for g in (0, 1):
        want = float(avgs[g]) if enough else 1.0
        assert abs(float(row[1 + g]) - want) <= 1e-6, (g, row[1 + g], want)
    assert row[3] == "" and row[4] == exp["light"] and len(row[7]) == 14 and row[7].isdigit(), row
    print("OK %s %s" % (row[1], row[2]))


if __name__ == "__main__":
    if sys.argv[1] == "gen":
        gen(sys.argv[2], int(sys.argv[3]), *(int(n) for n in sys.argv[4:5]))
    else:
        check(*sys.argv[2:5])
