// Feeds arbitrary text to the framework's Intel HEX reader with a small image
// whose capacity comes from the first input byte; the sanitizers watch every
// access, and the counts it returns must stay inside the image.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ZelkUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t capacity = data[0];
    // Exactly the text and its terminator, so a read past the end is seen.
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    std::vector<UInt8> image(capacity ? capacity : 1);
    UInt64 length = capacity, extent = 0;
    const SInt32 rc = ZUTIL_ParseIntelHexFile(text.data(), image.data(), &length, &extent);
    if (rc == 0 && (length > capacity || extent > capacity)) __builtin_trap();
    if (rc != 0 && length != capacity) __builtin_trap();  // the count is written only on success
    return 0;
}
