// Seeded synthetic flat fields for the uniformity tests and benchmarks: a lit
// area with vignetting, sensor noise, a few dust spots and saturated pixels.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "nk_velora.h"

namespace nktest {

inline CNK_velora_image flatField(u64 w, u64 h, unsigned seed, double level = 150.0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 4.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<u8> px(w * h);
    const double fw = static_cast<double>(w), fh = static_cast<double>(h);
    // Lit area: the frame less a thin dark border, with rounded corners, so the
    // station's masks fall inside it.
    const double x0 = 0.02 * fw, x1 = 0.98 * fw, y0 = 0.03 * fh, y1 = 0.97 * fh;
    const double corner = 0.15 * std::min(fw, fh);
    struct Spot {
        double x, y, radius, depth;
    };
    std::vector<Spot> spots;
    for (int i = 0; i < 5; ++i)
        spots.push_back({0.15 * fw + unit(rng) * 0.7 * fw, 0.2 * fh + unit(rng) * 0.6 * fh,
                         0.01 * fw + 0.02 * fw * unit(rng), 20 + 40 * unit(rng)});
    for (u64 y = 0; y < h; ++y)
        for (u64 x = 0; x < w; ++x) {
            const double fx = static_cast<double>(x), fy = static_cast<double>(y);
            const double cx = std::clamp(fx, x0 + corner, x1 - corner), cy = std::clamp(fy, y0 + corner, y1 - corner);
            const bool lit = fx >= x0 && fx <= x1 && fy >= y0 && fy <= y1 && std::hypot(fx - cx, fy - cy) <= corner;
            double v = 12.0 + noise(rng);
            if (lit) {
                // Vignetting: 25 % darker towards the corners.
                const double rel = std::hypot((fx - fw / 2) / (fw / 2), (fy - fh / 2) / (fh / 2));
                v = level * (1.0 - 0.125 * rel * rel) + noise(rng);
                for (const Spot& s : spots) {
                    const double ds = std::hypot(fx - s.x, fy - s.y);
                    if (ds < s.radius) v -= s.depth * (1.0 - ds / s.radius);
                }
                if (unit(rng) < 0.002) v = 255.0;  // saturated
            }
            px[y * w + x] = static_cast<u8>(std::clamp(std::lround(v), 0L, 255L));
        }
    return CNK_velora_image(px.data(), w, h);
}

}  // namespace nktest
