// The load cell's capture parse and latest-window parse on any bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "nk_futekLoadCell.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the caller's capacity, as small as 0 and beyond the line count.
    const u32 capacity = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t len = size - 1;
    std::vector<float> out(capacity ? capacity : 1);
    u32 n = capacity;
    if (nkFutek_parseCapture(text, len, out.data(), &n) == 0 && n > capacity) __builtin_trap();

    // The window is at most 63 characters and NUL-terminated, as the reader keeps it.
    char window[64];
    const size_t w = len < 63 ? len : 63;
    std::memcpy(window, text, w);
    window[w] = '\0';
    float v = 0;
    nkFutek_parseWindow(window, &v);
    return 0;
}
