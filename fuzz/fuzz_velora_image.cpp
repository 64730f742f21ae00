// Arbitrary images through the uniformity filters, the figures and the aperture
// finders, and arbitrary bytes through the image's BMP constructor.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "nk_velora.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

namespace {

void fromFile(const uint8_t* data, size_t size) {
    const int fd = memfd_create("bmp", 0);
    if (fd < 0) return;
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
        const CNK_velora_image img("/proc/self/fd/" + std::to_string(fd));
        if (img.isValid() && img.d.size() != img.w * img.h) __builtin_trap();
        img.printImage("bmp", true);
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const uint8_t mode = data[0];
    if (mode & 0x80) {
        fromFile(data + 1, size - 1);
        return 0;
    }
    const u64 w = 1 + data[1];
    const float newW = static_cast<float>(data[2]) / 4.0f, newH = static_cast<float>(data[3]) / 4.0f;
    const u64 r = data[4], wnd = data[5] % 24;
    const float ks[4] = {0.5f, 0.0f, 1.5f, -1.0f};
    const float k = ks[mode & 3];
    const u8* px = data + 6;
    const u64 h = (size - 6) / w;
    if (h == 0) return 0;
    CNK_velora_image src(px, w, h);
    if (!src.isValid()) __builtin_trap();

    CNK_velora_image sc = nkVlra_scale(src, newW, newH, false);
    if (sc.isValid() && (sc.w != static_cast<u64>(newW) || sc.h != static_cast<u64>(newH))) __builtin_trap();
    CNK_velora_image base = (mode & 4) && sc.isValid() ? sc : src;
    CNK_velora_image ap = nkVlra_clear_edge(base, r, false);
    CNK_velora_image lf = nkVlra_wnd_fltr_2d(ap, wnd, k, false);
    if (lf.isValid()) {
        if (lf.d.size() != ap.d.size()) __builtin_trap();
        // Masked pixels stay masked and kept ones never read as masked.
        for (size_t i = 0; i < ap.d.size(); ++i)
            if ((ap.d[i] == 255) != (lf.d[i] == 255)) __builtin_trap();
    }
    CNK_velora_image hf = nkVlra_high_freq(ap, (mode & 8) ? src : lf, false);
    const t_nkVlraUnifData f = nkVlra_get_unif_data(ap, lf, hf, false);
    if (!lf.isValid() && f[0] != 0.0) __builtin_trap();
    nkVlra_get_internal(ap, r, data[5], false);
    nkVlra_get_external(ap, r, data[5], false);

    std::vector<CNK_velora_image> comp{src};
    const CNK_velora_image a = (mode & 16) ? nkVlra_detectRoundAperture(src, &comp, false)
                                           : nkVlra_detectAperture(src, &comp, false);
    if (a.isValid() && (comp[0].w != a.w || comp[0].h != a.h || comp[0].d != a.d)) __builtin_trap();
    t_nkData_2d<double> dat;
    std::vector<double> v(src.d.begin(), src.d.end());
    dat.load(w, h, v.data(), v.size());
    nkVlra_detectAperture(dat, false);
    if (!dat.data.empty() && !dat.isValid()) __builtin_trap();
    return 0;
}
