// Arbitrary "unif" request payloads through the request check; an accepted
// single-image payload goes on through the width cut, the scale, the mask, the
// low-pass and high-frequency images and the 19 figures, as the item runs them.
#include <cstdio>
#include <vector>

#include "CVLRA_cg_uniformity.h"
#include "nk_image.h"
#include "nk_velora.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    t_nkVlraUnifRequest r;
    if (nkVlra_checkUnifRequest(data, size, &r) != 0) return 0;
    if (r.w < 4 || r.h < 1) __builtin_trap();
    if (r.order != 0) {
        if (size != 25 + u64(r.size) || u64(r.size) < 4ull * r.w * r.h || r.exp2 < 35) __builtin_trap();
        return 0;
    }
    const u64 w0 = r.w, h = r.h;
    if (size < 21 + w0 * h) __builtin_trap();
    std::vector<u8> buf(data + 21, data + 21 + w0 * h);
    const u64 w = w0 & ~u64(3);
    if (w != w0) nkImg_crop<unsigned char>(buf.data(), w0, h, 0, 0, w, h);
    CNK_velora_image flat(buf.data(), w, h);
    if (!flat.isValid()) __builtin_trap();
    const bool wide = flat.aspect_ratio() > 2.0f;
    CNK_velora_image scaled = wide ? nkVlra_scale(flat, 800, 100, false) : nkVlra_scale(flat, 176, 176, false);
    CNK_velora_image aperture = nkVlra_clear_edge(scaled, wide ? 50 : 88, false);
    if (!aperture.isValid()) return 0;
    CNK_velora_image lowFreq = nkVlra_wnd_fltr_2d(aperture, 10, 0.5f, false);
    CNK_velora_image highFreq = nkVlra_high_freq(aperture, lowFreq, false);
    const t_nkVlraUnifData fig = nkVlra_get_unif_data(aperture, lowFreq, highFreq, false);
    volatile double sink = 0;
    for (double v : fig) sink = sink + v;
    return 0;
}
