#!/usr/bin/python3
# Float32 numpy re-implementation of the uniformity pipeline, for the station tests.
# Usage: velora_oracle.py SRC.raw W H NEW_W NEW_H R WND K OUTDIR
# Reads a W x H 8-bit image (row-major), writes scale.raw, aperture.raw, low.raw and
# high.raw to OUTDIR and prints the 19 figures on one line, with full precision.
# Sums run in the station's order, box and window offsets row by row, applied to
# whole arrays one offset at a time: the box sums in f32, the window's weighted
# sums in double over f32 weights.
import math
import sys

import numpy as np

F = np.float32
SENTINEL = -1.7549413551695425e-39


def roundf(v):
    # Halves away from zero; the f32 value plus 0.5 is exact in double.
    v = float(v)
    return math.copysign(math.floor(abs(v) + 0.5), v)


def spans(src_len, out_len):
    s = F(src_len) / F(out_len)
    half = s * F(0.5)
    lo, hi = [], []
    for i in range(out_len):
        c = F(i) * s
        a = max(int(roundf(c - half)), 0)
        b = min(int(roundf(c + half + F(1))), src_len - 1)
        lo.append(min(a, b))
        hi.append(b)
    return np.array(lo), np.array(hi)


def scale(img, new_w, new_h):
    h, w = img.shape
    xlo, xhi = spans(w, new_w)
    ylo, yhi = spans(h, new_h)
    src = img.astype(F)
    total = np.zeros((new_h, new_w), F)
    for oy in range(int((yhi - ylo).max()) + 1):
        rows = np.minimum(ylo + oy, h - 1)
        row_in = (ylo + oy) <= yhi
        for ox in range(int((xhi - xlo).max()) + 1):
            cols = np.minimum(xlo + ox, w - 1)
            take = row_in[:, None] & ((xlo + ox) <= xhi)[None, :]
            total = total + np.where(take, src[rows[:, None], cols[None, :]], F(0))
    n = ((yhi - ylo + 1)[:, None] * (xhi - xlo + 1)[None, :]).astype(F)
    mean = total / n
    out = np.vectorize(roundf)(mean)
    return np.minimum(out, 254).astype(np.uint8)


def cap_geometry(w, h, r):
    x = np.arange(w)[None, :].repeat(h, 0)
    y = np.arange(h)[:, None].repeat(w, 1)
    centre = np.where(x < r, r, np.where(x > w - r, w - r, -1))
    cap = centre >= 0
    dx = x.astype(F) - centre.astype(F)
    dy = y.astype(F) - F(h // 2)
    dist = np.sqrt((dx * dx + dy * dy).astype(np.float64)).astype(F)
    return x, y, cap, dist


def clear_edge(img, r):
    h, w = img.shape
    _, _, cap, dist = cap_geometry(w, h, r)
    out = img.copy()
    out[cap] = np.minimum(img[cap], 254)
    out[cap & (dist > F(r))] = 255
    return out


def wnd_fltr(img, wnd, k):
    h, w = img.shape
    half = wnd // 2
    dmax = F(math.sqrt(2.0 * half * half))
    valid = img != 255
    val = np.where(valid, img.astype(np.float64), 0.0)
    S = np.zeros((h, w))
    G = np.zeros((h, w))
    for dy in range(-half, half + 2):
        for dx in range(-half, half + 2):
            g = F(1.0 - (math.sqrt(dx * dx + dy * dy) / float(dmax)) * float(F(k)))
            ys = np.arange(h) + dy
            xs = np.arange(w) + dx
            inside = ((ys >= 0) & (ys < h))[:, None] & ((xs >= 0) & (xs < w))[None, :]
            yc = np.clip(ys, 0, h - 1)
            xc = np.clip(xs, 0, w - 1)
            take = inside & valid[yc[:, None], xc[None, :]]
            p = val[yc[:, None], xc[None, :]]
            g = float(g)
            S = S + np.where(take, p * g, 0.0)
            G = G + np.where(take, g, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(valid, S / G, 0.0)
    out = np.trunc(np.clip(mean, 0, 254)).astype(np.uint8)
    out[~valid] = 255
    return out


def high_freq(ap, lf):
    v = F(2) * (ap.astype(F) - lf.astype(F)) + F(200)
    out = np.trunc(np.clip(v, F(0), F(254))).astype(np.uint8)
    out[ap == 255] = 255
    return out


def region(img, r, m, interior):
    h, w = img.shape
    x, y, cap, dist = cap_geometry(w, h, r)
    inner = F(r - m)
    band = (m <= y) & (y <= h - m)
    if interior:
        keep = np.where(cap, dist <= inner, band)
    else:
        keep = np.where(cap, dist >= inner, ~band)
    out = img.copy()
    out[~keep] = 255
    return out


def kept(img):
    return img[img != 255].astype(np.float64)  # row-major


def extremes(q):
    if q.size == 0:
        return math.nan, math.nan
    mx = mn = float(q[0])
    for v in q[1:]:
        v = float(v)
        if not math.isfinite(v) or v == SENTINEL:
            continue
        mx = v if v > mx else mx
        mn = v if v < mn else mn
    return mx, mn


def shares(dark, hot, n):
    fn = F(n)
    with np.errstate(invalid="ignore", divide="ignore"):
        return float(F(dark) / fn * F(100)), float(F(hot) / fn * F(100))


def level_shares(v, avg):
    hot_at = F(avg * float(F(1.1)))
    dark_at = F(avg * float(F(0.9)))
    f = v.astype(F)
    hot = f > hot_at
    dark = ~hot & (f < dark_at)
    return shares(int(dark.sum()), int(hot.sum()), v.size)


def figures(ap, lf, hf):
    h, w = ap.shape
    aspect = F(max(w, h)) / F(min(w, h))
    r = 50 if aspect > F(2.0) else 88
    m = 10
    a_int = kept(region(ap, r, m, True))
    avg = float(a_int.mean()) if a_int.size else math.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        level = lambda v: (v - avg) / avg * 100.0
        detail = lambda v: (v - 200.0) * 0.5 / avg * 100.0
        out = [avg]
        out += extremes(level(a_int))
        out += level_shares(a_int, avg)
        out += extremes(level(kept(region(ap, r, m, False))))
        l_int = kept(region(lf, r, m, True))
        out += extremes(level(l_int))
        out += level_shares(l_int, avg)
        out += extremes(level(kept(region(lf, r, m, False))))
        h_int = kept(region(hf, r, m, True))
        q = detail(h_int)
        out += extremes(q)
        hot = q > 10.0
        dark = ~hot & (q < -10.0)
        out += shares(int(dark.sum()), int(hot.sum()), q.size)
        out += extremes(detail(kept(region(hf, r, m, False))))
    return out


def main():
    src, w, h, new_w, new_h, r, wnd, k, outdir = sys.argv[1:10]
    w, h, new_w, new_h, r, wnd = int(w), int(h), int(new_w), int(new_h), int(r), int(wnd)
    img = np.fromfile(src, np.uint8).reshape(h, w)
    sc = scale(img, new_w, new_h)
    ap = clear_edge(sc, r)
    lf = wnd_fltr(ap, wnd, float(k))
    hf = high_freq(ap, lf)
    for name, a in (("scale", sc), ("aperture", ap), ("low", lf), ("high", hf)):
        a.tofile(outdir + "/" + name + ".raw")
    print(" ".join(repr(float(v)) for v in figures(ap, lf, hf)))


if __name__ == "__main__":
    main()
