// The operator's readers of stored "atst" and "unif" packet files: any bytes,
// read only within the file, and a file that parses gives back exactly what it holds.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cvlra_parse_tools.h"

namespace {

float f32At(const std::vector<u8>& b, size_t off) {
    float v;
    std::memcpy(&v, b.data() + off, 4);
    return v;
}

bool same(float a, float b) { return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, 4) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy: a read past the file is a read past this block.
    const std::vector<u8> file(data, data + size);
    std::vector<t_vlraStoredAtstPoint> points;
    if (!vlra_parseStoredAtst(file.data(), file.size(), points)) {
        if (!points.empty()) std::abort();
        return 0;
    }
    if (file.empty() || points.size() != file[0]) std::abort();
    size_t off = 1;
    for (const t_vlraStoredAtstPoint& p : points) {
        const size_t n = p.wavelength.size();
        if (p.dark.size() != n || p.white.size() != n || p.measure.size() != n || p.transmittance.size() != n)
            std::abort();
        if (off + 17 + 16 * n > file.size()) std::abort();
        if (p.index != file[off] || !same(p.xOffset, f32At(file, off + 5)) || !same(p.yOffset, f32At(file, off + 9)) ||
            !same(p.aOffset, f32At(file, off + 13)))
            std::abort();
        off += 17;
        for (size_t s = 0; s < n; ++s, off += 16) {
            const float wl = f32At(file, off), d = f32At(file, off + 4), w = f32At(file, off + 8),
                        m = f32At(file, off + 12);
            if (!same(p.wavelength[s], wl) || !same(p.dark[s], d) || !same(p.white[s], w) || !same(p.measure[s], m))
                std::abort();
            if (!same(p.transmittance[s], (m - d) / (w - d) * 100.0f)) std::abort();
        }
    }

    t_vlraUnifImage image;
    if (vlra_parseStoredUnif(file.data(), file.size(), image)) {
        const size_t n = size_t(image.width) * image.height;
        if (n == 0 || image.pixels.size() != n || 21 + n > file.size()) std::abort();
        if (image.width != (file[0] | file[1] << 8) || image.height != (file[2] | file[3] << 8)) std::abort();
        if (std::memcmp(image.pixels.data(), file.data() + 21, n) != 0) std::abort();
    }
    return 0;
}
