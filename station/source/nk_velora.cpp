// The station's 8-bit grey image, the uniformity filters and figures, and the
// aperture finders.
#include "nk_velora.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "nk_error.h"
#include "nk_math.h"

namespace {

constexpr u8 kMasked = 255;
constexpr u8 kKeptMax = 254;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Largest image any function here builds: far above the station's few hundred
// thousand pixels, low enough that sizes and offsets stay exact in every type used.
constexpr u64 kMaxSide = u64{1} << 20;
constexpr u64 kMaxPixels = u64{1} << 28;

bool sizeFits(u64 w, u64 h) { return w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide && w * h <= kMaxPixels; }

CNK_velora_image emptyImage() { return CNK_velora_image(); }

CNK_velora_image blankLike(const CNK_velora_image& src) {
    CNK_velora_image out;
    out.w = src.w;
    out.h = src.h;
    out.d.assign(src.d.size(), 0);
    return out;
}

// Debug copies of intermediate images, written only when asked for.
void debugSave(bool save, const std::string& tmpDir, const char* name, const CNK_velora_image& img) {
    if (!save) return;
    if (tmpDir.empty()) {
        NK_REPORT_FN(kNKErr_invalidParam, "tmpDir.size()>0");
        return;
    }
    if (!img.isValid()) return;
    img.save(tmpDir + "/" + name);
}

// Distance of (x, y) from a cap centre, the way the mask and the regions share it.
float capDistance(i64 x, i64 y, i64 centreX, i64 centreY) {
    const float dx = static_cast<float>(x) - static_cast<float>(centreX);
    const float dy = static_cast<float>(y) - static_cast<float>(centreY);
    return static_cast<float>(std::sqrt(static_cast<double>(dx * dx + dy * dy)));
}

// Where a column falls in the stadium of radius r: 0 for the band, otherwise
// the cap's centre column (in the left cap when the caps overlap).
struct StadiumColumn {
    bool cap;
    i64 centre;
};

StadiumColumn stadiumColumn(i64 x, i64 w, i64 r) {
    if (x < r) return {true, r};
    if (x > w - r) return {true, w - r};
    return {false, 0};
}

// Sizes and radii larger than any image are cut to a value that keeps the
// signed arithmetic exact and changes no comparison.
i64 boundedRadius(u64 r) { return static_cast<i64>(std::min<u64>(r, kMaxSide * 4)); }

}  // namespace

// ---------------------------------------------------------------------------
// The image.

CNK_velora_image::CNK_velora_image(const std::string& path) {
    CNK_bmp_8bpp bmp(path);
    if (bmp._raw_data.empty() || bmp.pInf_hdr == nullptr || bmp.pData == nullptr) return;
    const i64 fw = bmp.pInf_hdr->width;
    const i64 fh = bmp.pInf_hdr->height;
    const u64 width = static_cast<u64>(fw < 0 ? -fw : fw);
    const u64 height = static_cast<u64>(fh < 0 ? -fh : fh);
    if (!sizeFits(width, height)) {
        NK_REPORT_FN(kNKErr_invalidFormat, "w>0 && h>0");
        return;
    }
    // Rows are stored padded to whole 4-byte words; every row must lie in the file.
    const u64 stride = (width + 3) & ~u64{3};
    const u64 offset = static_cast<u64>(bmp.pData - bmp._raw_data.data());
    const u64 avail = bmp._raw_data.size() - offset;
    if ((height - 1) * stride + width > avail) {
        NK_REPORT_FN(kNKErr_invalidFormat, "data_offset+(h-1)*stride+w<=file size");
        return;
    }
    d.resize(width * height);
    for (u64 y = 0; y < height; ++y) std::copy_n(bmp.pData + y * stride, width, d.begin() + y * width);
    w = width;
    h = height;
}

CNK_velora_image::CNK_velora_image(const u8* bytes, u64 width, u64 height) {
    if (bytes == nullptr || !sizeFits(width, height)) return;
    d.assign(bytes, bytes + width * height);
    w = width;
    h = height;
}

bool CNK_velora_image::isValid() const { return w > 0 && h > 0 && !d.empty() && d.size() / w == h && d.size() % w == 0; }

std::vector<u8> CNK_velora_image::get_valid_data() const {
    std::vector<u8> out;
    if (!isValid()) {
        NK_REPORT_FN(kNKErr_invalidCondition, "isValid()");
        return out;
    }
    out.reserve(d.size());
    for (u8 p : d)
        if (p < kMasked) out.push_back(p);
    return out;
}

void CNK_velora_image::printImage(const std::string& title, bool reverse) const {
    std::printf("* %s%simage data (%" PRIu64 "x%" PRIu64 ") *", title.c_str(), title.empty() ? "" : " - ", w, h);
    if (!isValid()) return;
    for (u64 i = 0; i < h; ++i) {
        const u64 y = reverse ? h - 1 - i : i;
        std::printf("|\n[%3d]", static_cast<int>(y));
        const u8* row = d.data() + y * w;
        for (u64 x = 0; x < w; ++x) {
            if (row[x] < kMasked)
                std::printf("\t%3d", row[x]);
            else
                std::printf("\t");
        }
    }
}

u16 CNK_velora_image::save(const std::string& path) const {
    if (!isValid()) {
        NK_REPORT_FN(kNKErr_invalidCondition, "w>0 && h>0 && d.size()==w*h");
        return kNKErr_invalidCondition;
    }
    const u16 rc = CNK_bmp_8bpp::save(path, d.data(), w, h);
    if (rc != 0) NK_REPORT_FN(rc, "");
    return rc;
}

float CNK_velora_image::aspect_ratio() const {
    if (!isValid()) return std::numeric_limits<float>::quiet_NaN();
    const float fw = static_cast<float>(w), fh = static_cast<float>(h);
    return fw > fh ? fw / fh : fh / fw;
}

// ---------------------------------------------------------------------------
// Filters.

namespace {

// Source span of one output pixel's box, both ends inclusive and inside the source.
struct Span {
    u64 lo, hi;
};

std::vector<Span> boxSpans(u64 srcLen, u64 outLen) {
    const float s = static_cast<float>(srcLen) / static_cast<float>(outLen);
    const float half = s * 0.5f;
    const i64 last = static_cast<i64>(srcLen) - 1;
    std::vector<Span> spans(outLen);
    for (u64 i = 0; i < outLen; ++i) {
        const float c = static_cast<float>(i) * s;
        const i64 lo = std::max<i64>(static_cast<i64>(std::roundf(c - half)), 0);
        const i64 hi = std::min<i64>(static_cast<i64>(std::roundf(c + half + 1.0f)), last);
        // When enlarging, a box can start past the last source pixel; it then
        // takes that pixel alone instead of dividing by an empty count.
        spans[i] = {static_cast<u64>(std::min(lo, hi)), static_cast<u64>(hi)};
    }
    return spans;
}

}  // namespace

CNK_velora_image nkVlra_scale(CNK_velora_image& src, float newW, float newH, bool save, const std::string& tmpDir) {
    if (!src.isValid()) {
        NK_REPORT_FN(kNKErr_invalidParam, "img_src.isValid()");
        return emptyImage();
    }
    if (!(newW >= 1.0f && newH >= 1.0f && newW <= static_cast<float>(kMaxSide) &&
          newH <= static_cast<float>(kMaxSide)) ||
        !sizeFits(static_cast<u64>(newW), static_cast<u64>(newH))) {
        NK_REPORT_FN(kNKErr_invalidParam, "newW>=1 && newH>=1");
        return emptyImage();
    }
    CNK_velora_image out;
    out.w = static_cast<u64>(newW);
    out.h = static_cast<u64>(newH);
    out.d.resize(out.w * out.h);
    const std::vector<Span> cols = boxSpans(src.w, out.w), rows = boxSpans(src.h, out.h);
    u64 maxCols = 0, maxRows = 0;
    for (const Span& c : cols) maxCols = std::max(maxCols, c.hi - c.lo + 1);
    for (const Span& r : rows) maxRows = std::max(maxRows, r.hi - r.lo + 1);
    const auto put = [&](u64 x, u64 y, float sum, u64 n) {
        // roundf of a mean of 0..255, halves away from zero; the fraction is exact.
        const float v = sum / static_cast<float>(n);
        const u32 whole = static_cast<u32>(v);
        const u32 rounded = whole + (v - static_cast<float>(whole) >= 0.5f ? 1 : 0);
        out.d[y * out.w + x] = static_cast<u8>(std::min<u32>(rounded, kKeptMax));
    };
    if (maxCols * maxRows * 255 < (u64{1} << 24)) {
        // Every partial sum is an integer below 2^24, so summing in integers
        // gives exactly the f32 sum, by column sums shared across the row.
        std::vector<u32> colSum(src.w);
        for (u64 y = 0; y < out.h; ++y) {
            const Span ry = rows[y];
            std::fill(colSum.begin(), colSum.end(), 0u);
            for (u64 sy = ry.lo; sy <= ry.hi; ++sy) {
                const u8* row = src.d.data() + sy * src.w;
                for (u64 sx = 0; sx < src.w; ++sx) colSum[sx] += row[sx];
            }
            for (u64 x = 0; x < out.w; ++x) {
                const Span rx = cols[x];
                u32 sum = 0;
                for (u64 sx = rx.lo; sx <= rx.hi; ++sx) sum += colSum[sx];
                put(x, y, static_cast<float>(sum), (ry.hi - ry.lo + 1) * (rx.hi - rx.lo + 1));
            }
        }
    } else {
        for (u64 y = 0; y < out.h; ++y) {
            const Span ry = rows[y];
            for (u64 x = 0; x < out.w; ++x) {
                const Span rx = cols[x];
                float sum = 0.0f;
                for (u64 sy = ry.lo; sy <= ry.hi; ++sy) {
                    const u8* row = src.d.data() + sy * src.w;
                    for (u64 sx = rx.lo; sx <= rx.hi; ++sx) sum += static_cast<float>(row[sx]);
                }
                put(x, y, sum, (ry.hi - ry.lo + 1) * (rx.hi - rx.lo + 1));
            }
        }
    }
    debugSave(save, tmpDir, "__flat_5_scale.bmp", out);
    return out;
}

CNK_velora_image nkVlra_clear_edge(CNK_velora_image& src, u64 r, bool save, const std::string& tmpDir) {
    if (!src.isValid()) {
        NK_REPORT_FN(kNKErr_invalidParam, "img_src.isValid()");
        return emptyImage();
    }
    CNK_velora_image out = src;
    const i64 w = static_cast<i64>(src.w), h = static_cast<i64>(src.h), rr = boundedRadius(r);
    const float rf = static_cast<float>(r);
    for (i64 x = 0; x < w; ++x) {
        const StadiumColumn col = stadiumColumn(x, w, rr);
        if (!col.cap) continue;  // band columns stay as they are, 255 included
        for (i64 y = 0; y < h; ++y) {
            u8& p = out.d[static_cast<u64>(y * w + x)];
            p = capDistance(x, y, col.centre, h / 2) > rf ? kMasked : std::min(p, kKeptMax);
        }
    }
    debugSave(save, tmpDir, "__flat_6_apreture.bmp", out);
    return out;
}

void nkVlra_clear_edge(t_nkData_2d<double>& img, u64 r) {
    if (!img.isValid()) {
        NK_REPORT_FN(kNKErr_invalidParam, "img.isValid()");
        return;
    }
    const i64 w = static_cast<i64>(img.width), h = static_cast<i64>(img.height), rr = boundedRadius(r);
    const float rf = static_cast<float>(r);
    for (i64 x = 0; x < w; ++x) {
        const StadiumColumn col = stadiumColumn(x, w, rr);
        if (!col.cap) continue;
        for (i64 y = 0; y < h; ++y)
            if (capDistance(x, y, col.centre, h / 2) > rf) img.data[static_cast<u64>(y * w + x)] = kNK_noValue;
    }
}

namespace {

// Two neighbouring output pixels per register, the width every x86-64 has.
typedef double v2d __attribute__((vector_size(16)));

inline v2d load2(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Cone-weighted window over a row-major 8-bit image. The weights are f32, the
// sums double: for the station's factor every weight is at least 1/4, so every
// product and sum is exact (a multiple of 2^-25 below 2^41). Sums in f32 left a
// uniform field one below at most levels once the mean was truncated; exact
// sums return it unchanged and make the order of the additions free, which the
// vectorised inner loop uses.
bool windowFilter(const u8* src, u64 w, u64 h, u64 wnd, float k, std::vector<u8>& out) {
    if (wnd < 2 || !std::isfinite(k)) {
        NK_REPORT_FN(kNKErr_invalidParam, "wnd>=2 && isfinite(k)");
        return false;
    }
    const u64 half = std::min<u64>(wnd / 2, kMaxSide);
    const float dmax = static_cast<float>(std::sqrt(2.0 * static_cast<double>(half) * static_cast<double>(half)));
    // Offsets beyond the image never take part, so the weight table stops there.
    const i64 up = static_cast<i64>(std::min<u64>(half, h - 1)), down = static_cast<i64>(std::min<u64>(half + 1, h - 1));
    const i64 left = static_cast<i64>(std::min<u64>(half, w - 1)), right = static_cast<i64>(std::min<u64>(half + 1, w - 1));
    const i64 tw = left + right + 1;
    std::vector<double> weight(static_cast<u64>((up + down + 1) * tw));
    double fullWeight = 0.0;
    for (i64 dy = -up; dy <= down; ++dy)
        for (i64 dx = -left; dx <= right; ++dx) {
            const double dist = std::sqrt(static_cast<double>(dx * dx + dy * dy));
            const float g = static_cast<float>(1.0 - (dist / static_cast<double>(dmax)) * static_cast<double>(k));
            weight[static_cast<u64>((dy + up) * tw + dx + left)] = g;
            fullWeight += g;
        }

    // Masked pixels count as 0 in both sums. A prefix count of masked pixels
    // tells which windows are whole and unmasked: their weight sum is fullWeight.
    const i64 wi = static_cast<i64>(w), hi = static_cast<i64>(h);
    const u64 n = w * h;
    // The planes are filled below, every element: a zero-fill first would cost
    // as much again (new[] of a number type leaves them as they come).
    const std::unique_ptr<double[]> valuePlane(new double[n]), takenPlane(new double[n]);
    double* const value = valuePlane.get();
    double* const taken = takenPlane.get();
    std::vector<u32> maskedBefore((w + 1) * (h + 1), 0);
    for (u64 y = 0; y < h; ++y) {
        u32 rowCount = 0;
        for (u64 x = 0; x < w; ++x) {
            const u8 p = src[y * w + x];
            const bool masked = p == kMasked;
            value[y * w + x] = masked ? 0.0 : static_cast<double>(p);
            taken[y * w + x] = masked ? 0.0 : 1.0;
            rowCount += masked;
            maskedBefore[(y + 1) * (w + 1) + x + 1] = maskedBefore[y * (w + 1) + x + 1] + rowCount;
        }
    }
    const auto maskedIn = [&](i64 x0, i64 y0, i64 x1, i64 y1) {  // inclusive corners
        const u64 W = w + 1;
        return maskedBefore[static_cast<u64>(y1 + 1) * W + static_cast<u64>(x1 + 1)] -
               maskedBefore[static_cast<u64>(y0) * W + static_cast<u64>(x1 + 1)] -
               maskedBefore[static_cast<u64>(y1 + 1) * W + static_cast<u64>(x0)] +
               maskedBefore[static_cast<u64>(y0) * W + static_cast<u64>(x0)];
    };

    out.assign(n, kMasked);
    const auto emit = [&](i64 x, i64 y, double S, double G) {
        const double v = S / G;
        // Weights stay positive for the station's k; other factors must not
        // turn a negative or unbounded mean into an undefined conversion.
        out[static_cast<u64>(y * wi + x)] = v >= 0.0 ? static_cast<u8>(std::min(v, static_cast<double>(kKeptMax))) : 0;
    };
    // One pixel, window clipped to the image.
    const auto onePixel = [&](i64 x, i64 y) {
        double S = 0.0, G = 0.0;
        for (i64 wy = std::max<i64>(y - up, 0); wy <= std::min<i64>(y + down, hi - 1); ++wy) {
            const double* wrow = weight.data() + (wy - y + up) * tw + left;
            for (i64 wx = std::max<i64>(x - left, 0); wx <= std::min<i64>(x + right, wi - 1); ++wx) {
                const u64 i = static_cast<u64>(wy * wi + wx);
                S += value[i] * wrow[wx - x];
                G += taken[i] * wrow[wx - x];
            }
        }
        emit(x, y, S, G);
    };

    for (i64 y = 0; y < hi; ++y) {
        const u8* srow = src + y * wi;
        const i64 y0 = std::max<i64>(y - up, 0), y1 = std::min<i64>(y + down, hi - 1);
        const bool rowsWhole = y - static_cast<i64>(half) >= 0 && y + static_cast<i64>(half) + 1 <= hi - 1;
        // Columns whose window lies inside the image, four at a time.
        const i64 xBegin = left, xEnd = wi - right;  // exclusive
        i64 x = xBegin;
        for (; x + 4 <= xEnd; x += 4) {
            if ((srow[x] & srow[x + 1] & srow[x + 2] & srow[x + 3]) == kMasked) continue;
            const bool whole = rowsWhole && maskedIn(x - left, y0, x + 3 + right, y1) == 0;
            v2d S0 = {0, 0}, S1 = {0, 0}, G0 = {0, 0}, G1 = {0, 0};
            for (i64 wy = y0; wy <= y1; ++wy) {
                const double* pv = value + wy * wi + x - left;
                const double* pt = taken + wy * wi + x - left;
                const double* wrow = weight.data() + (wy - y + up) * tw;
                for (i64 j = 0; j < tw; ++j) {
                    const v2d g = {wrow[j], wrow[j]};
                    S0 += load2(pv + j) * g;
                    S1 += load2(pv + j + 2) * g;
                }
                if (!whole)
                    for (i64 j = 0; j < tw; ++j) {
                        const v2d g = {wrow[j], wrow[j]};
                        G0 += load2(pt + j) * g;
                        G1 += load2(pt + j + 2) * g;
                    }
            }
            const double S[4] = {S0[0], S0[1], S1[0], S1[1]};
            const double G[4] = {G0[0], G0[1], G1[0], G1[1]};
            for (int l = 0; l < 4; ++l)
                if (srow[x + l] != kMasked) emit(x + l, y, S[l], whole ? fullWeight : G[l]);
        }
        for (i64 xx = 0; xx < wi; ++xx)
            if ((xx < xBegin || xx >= x) && srow[xx] != kMasked) onePixel(xx, y);
    }
    return true;
}

}  // namespace

CNK_velora_image nkVlra_wnd_fltr_2d(CNK_velora_image& src, u64 wnd, float k, bool save, const std::string& tmpDir) {
    if (!src.isValid()) {
        NK_REPORT_FN(kNKErr_invalidParam, "img_src.isValid()");
        return emptyImage();
    }
    CNK_velora_image out;
    if (!windowFilter(src.d.data(), src.w, src.h, wnd, k, out.d)) return emptyImage();
    out.w = src.w;
    out.h = src.h;
    debugSave(save, tmpDir, "__flat_7_low_freq.bmp", out);
    return out;
}

t_nkData_2d<u8> nkVlra_wnd_fltr_2d(const t_nkData_2d<u8>& src, u64 wnd, float k, bool /*save*/) {
    t_nkData_2d<u8> out;
    if (!src.isValid()) {
        NK_REPORT_FN(kNKErr_invalidParam, "img_src.isValid()");
        return out;
    }
    if (!windowFilter(src.data.data(), src.width, src.height, wnd, k, out.data)) return out;
    out.width = src.width;
    out.height = src.height;
    return out;
}

CNK_velora_image nkVlra_high_freq(CNK_velora_image& aperture, CNK_velora_image& lowFreq, bool save,
                                  const std::string& tmpDir) {
    if (!aperture.isValid()) {
        NK_REPORT_FN(kNKErr_invalidParam, "img_src.isValid()");
        return emptyImage();
    }
    if (lowFreq.w != aperture.w || lowFreq.h != aperture.h || lowFreq.d.size() != aperture.d.size()) {
        NK_REPORT_FN(kNKErr_invalidParam, "img_low_freq.w==img_src.w && img_low_freq.h==img_src.h");
        return emptyImage();
    }
    CNK_velora_image out = blankLike(aperture);
    for (u64 i = 0; i < aperture.d.size(); ++i) {
        const u8 p = aperture.d[i];
        if (p == kMasked) {
            out.d[i] = kMasked;
            continue;
        }
        const float v = 2.0f * (static_cast<float>(p) - static_cast<float>(lowFreq.d[i])) + 200.0f;
        out.d[i] = static_cast<u8>(std::clamp(v, 0.0f, static_cast<float>(kKeptMax)));
    }
    debugSave(save, tmpDir, "__flat_8_hgh_freq.bmp", out);
    return out;
}

// ---------------------------------------------------------------------------
// Uniformity figures.

const char* const kNKVlra_unifNames[kNKVlra_unifCount] = {
    "INT_AVG",           "INT_PCT_MAX",           "INT_PCT_MIN",           "INT_DRK_PXL_CNT_PCT",
    "INT_HOT_PXL_CNT_PCT", "EXT_PCT_MAX",         "EXT_PCT_MIN",           "LF_INT_PCT_MAX",
    "LF_INT_PCT_MIN",    "LF_INT_DRK_PXL_CNT_PCT", "LF_INT_HOT_PXL_CNT_PCT", "LF_EXT_PCT_MAX",
    "LF_EXT_PCT_MIN",    "HF_INT_PCT_MAX",        "HF_INT_PCT_MIN",        "HF_INT_DRK_PXL_CNT_PCT",
    "HF_INT_HOT_PXL_CNT_PCT", "HF_EXT_PCT_MAX",   "HF_EXT_PCT_MIN",
};

namespace {

constexpr u8 kInterior = 1, kExterior = 2;

// Which region each pixel of a w x h stadium of radius r with margin m is in:
// kInterior, kExterior, both (a cap pixel at exactly r - m) or neither.
std::vector<u8> regionFlags(u64 w, u64 h, u64 r, u64 m) {
    std::vector<u8> flags(w * h);
    const i64 wi = static_cast<i64>(w), hi = static_cast<i64>(h), rr = boundedRadius(r), mm = boundedRadius(m);
    // A margin wider than the radius leaves no interior cap; nothing is refused.
    const float inner = static_cast<float>(rr - mm);
    for (i64 x = 0; x < wi; ++x) {
        const StadiumColumn col = stadiumColumn(x, wi, rr);
        for (i64 y = 0; y < hi; ++y) {
            u8 f;
            if (col.cap) {
                const float dist = capDistance(x, y, col.centre, hi / 2);
                f = static_cast<u8>((dist <= inner ? kInterior : 0) | (dist >= inner ? kExterior : 0));
            } else {
                f = mm <= y && y <= hi - mm ? kInterior : kExterior;
            }
            flags[static_cast<u64>(y * wi + x)] = f;
        }
    }
    return flags;
}

CNK_velora_image regionOf(CNK_velora_image& src, u64 r, u64 m, u8 which) {
    if (!src.isValid()) {
        NK_REPORT_FN(kNKErr_invalidParam, "img_src.isValid()");
        return emptyImage();
    }
    CNK_velora_image out = src;
    const std::vector<u8> flags = regionFlags(src.w, src.h, r, m);
    for (u64 i = 0; i < flags.size(); ++i)
        if (!(flags[i] & which)) out.d[i] = kMasked;
    return out;
}

// The unmasked pixels of one region as a histogram, with the first of them in
// row-major order: every figure depends on no more than that.
struct RegionHist {
    std::array<u64, 256> count{};
    u64 n = 0;
    int first = -1;
};

void regionHists(const CNK_velora_image& img, const std::vector<u8>& flags, RegionHist& in, RegionHist& ex) {
    for (u64 i = 0; i < img.d.size(); ++i) {
        const u8 v = img.d[i];
        if (v == kMasked) continue;
        const u8 f = flags[i];
        if (f & kInterior) {
            if (in.first < 0) in.first = v;
            ++in.count[v];
        }
        if (f & kExterior) {
            if (ex.first < 0) ex.first = v;
            ++ex.count[v];
        }
    }
    for (const u64 c : in.count) in.n += c;
    for (const u64 c : ex.count) ex.n += c;
}

// Largest and smallest deviation: the running value starts from the first
// pixel as it is; later ones count only when valid. Which later pixels hold a
// value does not matter, only that some do.
struct Extremes {
    double max = kNaN, min = kNaN;
};

typedef std::array<double, 256> DevTable;

template <class Dev>
DevTable devTable(Dev dev) {
    DevTable t;
    for (int v = 0; v < 256; ++v) t[static_cast<size_t>(v)] = dev(static_cast<u8>(v));
    return t;
}

Extremes extremes(const RegionHist& r, const DevTable& dev) {
    Extremes e;
    if (r.first < 0) return e;
    e.max = e.min = dev[static_cast<size_t>(r.first)];
    for (size_t v = 0; v < 256; ++v) {
        if (r.count[v] == 0) continue;
        const double q = dev[v];
        if (!nkMath_isValid(q)) continue;
        if (q > e.max) e.max = q;
        if (q < e.min) e.min = q;
    }
    return e;
}

struct Shares {
    double dark, hot;
};

Shares sharesOf(u64 dark, u64 hot, u64 n) {
    const float fn = static_cast<float>(n);
    return {static_cast<double>(static_cast<float>(dark) / fn * 100.0f),
            static_cast<double>(static_cast<float>(hot) / fn * 100.0f)};
}

// Dark and hot shares of a full or low-pass interior against INT_AVG.
Shares levelShares(const RegionHist& r, double avg) {
    const float hotAt = static_cast<float>(avg * static_cast<double>(1.1f));
    const float darkAt = static_cast<float>(avg * static_cast<double>(0.9f));
    u64 dark = 0, hot = 0;
    for (size_t v = 0; v < 256; ++v) {
        const float f = static_cast<float>(v);
        if (f > hotAt)
            hot += r.count[v];
        else if (f < darkAt)
            dark += r.count[v];
    }
    return sharesOf(dark, hot, r.n);
}

}  // namespace

CNK_velora_image nkVlra_get_internal(CNK_velora_image& src, u64 r, u64 m, bool save, const std::string& tmpDir) {
    CNK_velora_image out = regionOf(src, r, m, kInterior);
    debugSave(save, tmpDir, "__flat_9_int.bmp", out);
    return out;
}

CNK_velora_image nkVlra_get_external(CNK_velora_image& src, u64 r, u64 m, bool save, const std::string& tmpDir) {
    CNK_velora_image out = regionOf(src, r, m, kExterior);
    debugSave(save, tmpDir, "__flat_10_ext.bmp", out);
    return out;
}

t_nkVlraUnifData nkVlra_get_unif_data(CNK_velora_image& aperture, CNK_velora_image& lowFreq,
                                      CNK_velora_image& highFreq, bool print) {
    t_nkVlraUnifData f{};
    const struct {
        const CNK_velora_image& img;
        const char* cond;
    } inputs[] = {{aperture, "img_aperture.isValid()"},
                  {lowFreq, "img_low_freq.isValid()"},
                  {highFreq, "img_hgh_freq.isValid()"}};
    for (const auto& in : inputs)
        if (!in.img.isValid()) {
            NK_REPORT_FN(kNKErr_invalidParam, in.cond);
            return f;
        }

    const u64 r = aperture.aspect_ratio() > 2.0f ? 50 : 88;
    const u64 m = 10;

    // The regions depend only on the size, so each size's flags are made once.
    const std::vector<u8> aFlags = regionFlags(aperture.w, aperture.h, r, m);
    const auto histsOf = [&](const CNK_velora_image& img, RegionHist& in, RegionHist& ex) {
        if (img.w == aperture.w && img.h == aperture.h)
            regionHists(img, aFlags, in, ex);
        else
            regionHists(img, regionFlags(img.w, img.h, r, m), in, ex);
    };
    RegionHist aIn, aEx, lIn, lEx, hIn, hEx;
    histsOf(aperture, aIn, aEx);
    histsOf(lowFreq, lIn, lEx);
    histsOf(highFreq, hIn, hEx);

    // Mean of the interior pixels; the integer sum is exact in double.
    double sum = 0.0;
    for (size_t v = 0; v < 256; ++v) sum += static_cast<double>(v) * static_cast<double>(aIn.count[v]);
    const double avg = aIn.n == 0 ? kNaN : sum / static_cast<double>(aIn.n);
    const DevTable level = devTable([avg](u8 v) { return (static_cast<double>(v) - avg) / avg * 100.0; });
    const DevTable detail = devTable([avg](u8 v) { return (static_cast<double>(v) - 200.0) * 0.5 / avg * 100.0; });

    f[0] = avg;
    Extremes e = extremes(aIn, level);
    f[1] = e.max;
    f[2] = e.min;
    Shares s = levelShares(aIn, avg);
    f[3] = s.dark;
    f[4] = s.hot;
    e = extremes(aEx, level);
    f[5] = e.max;
    f[6] = e.min;

    e = extremes(lIn, level);
    f[7] = e.max;
    f[8] = e.min;
    s = levelShares(lIn, avg);
    f[9] = s.dark;
    f[10] = s.hot;
    e = extremes(lEx, level);
    f[11] = e.max;
    f[12] = e.min;

    e = extremes(hIn, detail);
    f[13] = e.max;
    f[14] = e.min;
    u64 dark = 0, hot = 0;
    for (size_t v = 0; v < 256; ++v) {
        const double q = detail[v];
        if (q > 10.0)
            hot += hIn.count[v];
        else if (q < -10.0)
            dark += hIn.count[v];
    }
    s = sharesOf(dark, hot, hIn.n);
    f[15] = s.dark;
    f[16] = s.hot;
    e = extremes(hEx, detail);
    f[17] = e.max;
    f[18] = e.min;

    if (print) {
        for (int i = 0; i < kNKVlra_unifCount; ++i) {
            if (i == 0)
                std::printf("%-23s: %7.3f\n", kNKVlra_unifNames[i], f[i]);
            else
                std::printf("%-23s: %7.2f %%\n", kNKVlra_unifNames[i], f[i]);
            if (i == 0 || i == 6 || i == 12) std::printf("\n");
        }
    }
    return f;
}

// ---------------------------------------------------------------------------
// Aperture finders.

namespace {

constexpr i64 kTopOffset = 100;

// Per-column upward shifts that straighten the lit area's top edge, each one
// checked before any pixel moves. `lit` tells a lit element from a masked one.
template <class T, class Lit>
bool columnShifts(const T* d, u64 w, u64 h, Lit lit, std::vector<u64>& shift, u64& maxShift) {
    std::vector<unsigned> xs(w), top(w, 0);
    for (u64 x = 0; x < w; ++x) {
        xs[x] = static_cast<unsigned>(x);
        for (u64 y = 0; y < h; ++y)
            if (lit(d[y * w + x])) {
                top[x] = static_cast<unsigned>(y);
                break;
            }
    }
    const t_nkMathLineFit fit = nkMath_lineFit<unsigned, unsigned>(xs, top);
    shift.assign(w, 0);
    maxShift = 0;
    for (u64 x = 0; x < w; ++x) {
        const double s = std::round(fit.slope * static_cast<double>(x) + fit.intercept) + kTopOffset;
        if (!(s >= 1.0 && s <= static_cast<double>(h) - 1.0)) {
            NK_REPORT_FN(kNKErr_invalidCondition, "0<maxShift && maxShift<h");
            return false;
        }
        shift[x] = static_cast<u64>(s);
        maxShift = std::max(maxShift, shift[x]);
    }
    return true;
}

// Moves every column up by its shift and drops the rows no column fills any more.
template <class T>
void applyShifts(std::vector<T>& d, u64 w, u64& h, const std::vector<u64>& shift, u64 maxShift) {
    for (u64 x = 0; x < w; ++x)
        for (u64 y = 0; y + shift[x] < h; ++y) d[y * w + x] = d[(y + shift[x]) * w + x];
    h -= maxShift;
    d.resize(w * h);
}

// First row from 1 where the profile rises through the threshold (0 if none),
// then the band's last row within `span` rows of it, searched from the far end.
// The profile is only read inside the image.
bool findRowBand(const std::vector<double>& p, double threshold, i64 span, u64& begin, u64& rows) {
    const i64 n = static_cast<i64>(p.size());
    i64 bgn = 0;
    for (i64 y = 1; y < n - 1; ++y)
        if (p[y - 1] <= threshold && threshold <= p[y]) {
            bgn = y;
            break;
        }
    for (i64 k = span - 1; k >= 0; --k) {
        if (bgn + k + 2 >= n) continue;
        if (p[bgn + k + 1] >= threshold && p[bgn + k + 2] <= threshold) {
            begin = static_cast<u64>(bgn);
            rows = static_cast<u64>(k + 1);
            return true;
        }
    }
    NK_REPORT_FN(kNKErr_invalidCondition, "bgn < end");
    return false;
}

// Columns where the profile rises through and falls back below its own
// spread; the width is rounded to a multiple of 4 and must fit the image.
bool findColumnBand(const std::vector<double>& q, u64& left, u64& width) {
    const i64 n = static_cast<i64>(q.size());
    const double t = nkMath_stdev<double>(q.data(), q.size(), kNaN);
    i64 lft = 0, rgt = -1;
    for (i64 x = 1; x < n - 1; ++x)
        if (q[x - 1] <= t && t <= q[x]) {
            lft = x;
            break;
        }
    for (i64 x = n - 2; x >= 2; --x)
        if (q[x] >= t && q[x + 1] <= t) {
            rgt = x;
            break;
        }
    const i64 wd = (rgt - lft + 4) & ~i64{3};
    if (rgt <= lft || lft + wd > n) {
        NK_REPORT_FN(kNKErr_invalidCondition, "bgn < end");
        return false;
    }
    left = static_cast<u64>(lft);
    width = static_cast<u64>(wd);
    return true;
}

void cropImage(CNK_velora_image& img, u64 x0, u64 y0, u64 cw, u64 ch) {
    nkImg_crop<unsigned char>(img.d.data(), img.w, img.h, x0, y0, cw, ch);
    img.w = cw;
    img.h = ch;
    img.d.resize(cw * ch);
}

struct SquareCut {
    u64 x0, y0, side;
};

// Centred square of side min(w, h) rounded down to a multiple of 4.
bool squareCut(u64 w, u64 h, SquareCut& cut) {
    cut.side = std::min(w, h) & ~u64{3};
    if (cut.side == 0) {
        NK_REPORT_FN(kNKErr_invalidCondition, "side>0");
        return false;
    }
    cut.x0 = (w - cut.side) / 2;
    cut.y0 = (h - cut.side) / 2;
    return true;
}

CNK_velora_image detectImageAperture(CNK_velora_image& src, std::vector<CNK_velora_image>* companions, bool save,
                                     const std::string& tmpDir, bool round) {
    if (!src.isValid()) {
        NK_REPORT_FN(kNKErr_invalidParam, "img_src.isValid()");
        return emptyImage();
    }
    // Companions are worked on as copies and handed back only on success.
    std::vector<CNK_velora_image> comp;
    if (companions != nullptr) {
        for (const CNK_velora_image& c : *companions)
            if (!c.isValid() || c.w != src.w || c.h != src.h) {
                NK_REPORT_FN(kNKErr_invalidParam, "companion.w==img_src.w && companion.h==img_src.h");
                return emptyImage();
            }
        comp = *companions;
    }
    CNK_velora_image out = src;
    const auto lit = [](u8 v) { return v != kMasked; };
    std::vector<u64> shift;
    u64 maxShift = 0;
    if (!columnShifts(out.d.data(), out.w, out.h, lit, shift, maxShift)) return emptyImage();
    applyShifts(out.d, out.w, out.h, shift, maxShift);
    for (CNK_velora_image& c : comp) applyShifts(c.d, c.w, c.h, shift, maxShift);
    debugSave(save, tmpDir, "__flat_1.bmp", out);

    std::vector<double> p(out.h);
    for (u64 y = 0; y < out.h; ++y) {
        const u8* row = out.d.data() + y * out.w;
        if (round) {
            const auto [mn, mx] = std::minmax_element(row, row + out.w);
            p[y] = static_cast<double>(*mx) - static_cast<double>(*mn);
        } else {
            p[y] = nkMath_stdev<unsigned char>(row, out.w, kNaN);
        }
    }
    u64 begin = 0, rows = 0;
    if (!findRowBand(p, round ? 100.0 : 10.0, round ? 500 : 400, begin, rows)) return emptyImage();
    const u64 fullW = out.w;
    cropImage(out, 0, begin, fullW, rows);
    for (CNK_velora_image& c : comp) cropImage(c, 0, begin, fullW, rows);
    debugSave(save, tmpDir, "__flat_2_v.bmp", out);

    std::vector<double> q(out.w);
    std::vector<u8> column(out.h);
    for (u64 x = 0; x < out.w; ++x) {
        for (u64 y = 0; y < out.h; ++y) column[y] = out.d[y * out.w + x];
        q[x] = nkMath_stdev<unsigned char>(column.data(), column.size(), kNaN);
    }
    u64 left = 0, width = 0;
    if (!findColumnBand(q, left, width)) return emptyImage();
    cropImage(out, left, 0, width, rows);
    for (CNK_velora_image& c : comp) cropImage(c, left, 0, width, rows);
    debugSave(save, tmpDir, "__flat_3_c.bmp", out);

    if (round && out.aspect_ratio() < 2.0f) {
        SquareCut cut;
        if (!squareCut(out.w, out.h, cut)) return emptyImage();
        cropImage(out, cut.x0, cut.y0, cut.side, cut.side);
        for (CNK_velora_image& c : comp) cropImage(c, cut.x0, cut.y0, cut.side, cut.side);
        debugSave(save, tmpDir, "__flat_4_square.bmp", out);
    }
    if (companions != nullptr) *companions = std::move(comp);
    return out;
}

// An element as the 8-bit pixel it stands for; values outside the 8-bit range
// (and non-numbers) are clamped first, so the conversion is always defined.
u8 toPixel(double v) {
    if (!(v > 0.0)) return 0;
    return v >= 255.0 ? 255 : static_cast<u8>(v);
}

}  // namespace

CNK_velora_image nkVlra_detectAperture(CNK_velora_image& src, std::vector<CNK_velora_image>* companions, bool save,
                                       const std::string& tmpDir) {
    return detectImageAperture(src, companions, save, tmpDir, false);
}

CNK_velora_image nkVlra_detectRoundAperture(CNK_velora_image& src, std::vector<CNK_velora_image>* companions,
                                            bool save, const std::string& tmpDir) {
    return detectImageAperture(src, companions, save, tmpDir, true);
}

t_nkData_2d<double>& nkVlra_detectAperture(t_nkData_2d<double>& dat, bool /*save*/) {
    if (!dat.isValid()) {
        NK_REPORT_FN(kNKErr_invalidParam, "dat.isValid()");
        return dat;
    }
    // A failed search empties the container, as the image forms return an empty image.
    const auto fail = [&dat]() -> t_nkData_2d<double>& {
        dat = t_nkData_2d<double>();
        return dat;
    };
    const u64 w = dat.width;
    u64 h = dat.height;
    std::vector<u64> shift;
    u64 maxShift = 0;
    if (!columnShifts(dat.data.data(), w, h, [](double v) { return v < 255.0; }, shift, maxShift)) return fail();
    std::vector<double> work = dat.data;
    applyShifts(work, w, h, shift, maxShift);

    std::vector<double> p(h);
    for (u64 y = 0; y < h; ++y) p[y] = nkMath_stdev<double>(work.data() + y * w, w, kNaN);
    u64 begin = 0, rows = 0;
    if (!findRowBand(p, 10.0, 400, begin, rows)) return fail();

    std::vector<double> q(w);
    std::vector<u8> column(rows);
    for (u64 x = 0; x < w; ++x) {
        for (u64 y = 0; y < rows; ++y) column[y] = toPixel(work[(begin + y) * w + x]);
        q[x] = nkMath_stdev<unsigned char>(column.data(), column.size(), kNaN);
    }
    u64 left = 0, width = 0;
    if (!findColumnBand(q, left, width)) return fail();

    dat.data = std::move(work);
    dat.height = h;
    dat.crop(left, begin, width, rows);
    const float fw = static_cast<float>(dat.width), fh = static_cast<float>(dat.height);
    if ((fw > fh ? fw / fh : fh / fw) < 2.0f) {
        SquareCut cut;
        if (!squareCut(dat.width, dat.height, cut)) return fail();
        dat.crop(cut.x0, cut.y0, cut.side, cut.side);
    }
    return dat;
}
