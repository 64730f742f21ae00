// Feeds arbitrary bytes to the TIFF directory walk, the entry decoder and the strip reader.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "nk_image.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader traces every entry to standard output; that is not what is tested.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memfd_create("tiff", 0);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    CNK_tiff tiff("/proc/self/fd/" + std::to_string(fd));
    if (tiff.pixels.size() > size) __builtin_trap();
    // Every strip value takes at least two bytes of the file, so a file cannot
    // make the reader keep more values than it has bytes.
    if (tiff.stripOffsets.size() + tiff.stripByteCounts.size() > size) __builtin_trap();
    tiff.saveAsCsv("/dev/null");
    close(fd);
    return 0;
}
