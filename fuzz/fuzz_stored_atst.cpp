// Arbitrary bytes through the stored transmittance and uniformity packet readers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cvlra_parse_tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<t_vlraAtstPoint> points;
    if (vlra_parseStoredAtst(data, size, points)) {
        size_t samples = 0;
        for (const t_vlraAtstPoint& p : points) {
            if (p.wavelength.size() != p.transmittance.size()) __builtin_trap();
            samples += p.wavelength.size();
        }
        // Every sample took its 16 bytes of the input.
        if (samples * 16 + points.size() * 17 + 1 > size) __builtin_trap();
    }
    t_vlraUnifImage image;
    if (vlra_parseStoredUnif(data, size, image) && image.pixels.size() + 21 > size) __builtin_trap();
    return 0;
}
