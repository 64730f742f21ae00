// Seeded synthetic flat fields for the uniformity tests and benchmarks: a lit
// stadium with vignetting, sensor noise, a few dust spots and saturated pixels.
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
    const double r = 0.45 * static_cast<double>(std::min(w, h));
    const double cy = static_cast<double>(h) / 2, left = r + 0.05 * w, right = w - r - 0.05 * w;
    // A few dust spots, darker towards their centres.
    struct Spot {
        double x, y, radius, depth;
    };
    std::vector<Spot> spots;
    for (int i = 0; i < 4; ++i)
        spots.push_back({left + unit(rng) * (right - left), cy + (unit(rng) - 0.5) * r, 2 + 4 * unit(rng),
                         20 + 40 * unit(rng)});
    for (u64 y = 0; y < h; ++y)
        for (u64 x = 0; x < w; ++x) {
            const double fx = static_cast<double>(x), fy = static_cast<double>(y);
            const double cx = std::clamp(fx, left, right);
            const double dist = std::hypot(fx - cx, fy - cy);
            double v = 12.0 + noise(rng);
            if (dist <= r) {
                const double rel = std::hypot((fx - w / 2.0) / (w / 2.0), (fy - cy) / (h / 2.0));
                v = level * (1.0 - 0.25 * rel * rel) + noise(rng);
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
