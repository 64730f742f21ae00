// Feeds arbitrary bytes to both BMP readers and to the code that walks the pixels.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "nk_image.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The readers' reports are expected here; keep the fuzzer's own output readable.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memfd_create("bmp", 0);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    CNK_bmp_8bpp bmp(path);
    if (bmp.pData) {
        const auto hist = bmp.luminance_histogram();
        bmp.print_header(true);
        if (hist.empty()) __builtin_trap();
    }
    const t_nkData_2d<unsigned char> img = nkImg_load_bmp_8bpp(path);
    if (img.data.size() != img.width * img.height) __builtin_trap();
    close(fd);
    return 0;
}
