"""Second reader of stored transmittance packets: writes the CSV files the
station's parse tool should write, computed with numpy in single precision."""
import struct
import sys

import numpy as np


def main(packet, out_dir):
    data = open(packet, "rb").read()
    count = data[0]
    off = 1
    for i in range(count):
        index, n, xo, yo, ao = struct.unpack_from("<BIfff", data, off)
        off += 17
        s = np.frombuffer(data, dtype="<f4", count=4 * n, offset=off).reshape(n, 4)
        off += 16 * n
        wl, d, w, m = (s[:, k].astype(np.float32) for k in range(4))
        with np.errstate(divide="ignore", invalid="ignore"):
            t = (m - d) / (w - d) * np.float32(100)
        with open(f"{out_dir}/raw_tp{i}.csv", "w", newline="") as f:
            f.write("x_offset, %f\n" % xo)
            f.write("y_offset, %f\n" % yo)
            f.write("a_offset, %f\n" % ao)
            for label, row in (("wavelength", wl), ("dark", d), ("white", w), ("measure", m), ("transmittance", t)):
                f.write(label + ", " + "".join("%f, " % float(v) for v in row) + "\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
