// Feeds arbitrary text to the Intel HEX reader with a small image whose
// capacity comes from the first input byte; the sanitizers watch every access.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "nk_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t capacity = data[0];
    // Exactly the text and its terminator, so a read past the end is seen.
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    std::vector<u8> image(capacity ? capacity : 1);
    u64 imageSize = capacity;
    nkFile_parseIntelHexFile(text.data(), image.data(), &imageSize);
    if (imageSize > capacity) __builtin_trap();
    return 0;
}
