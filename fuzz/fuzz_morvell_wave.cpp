// The tool's wave-file reader on any bytes: it never reads outside the file, a load
// either fails or gives equal channels no longer than the file holds, and the export
// of what loaded converts every sample (any trailer scale) without undefined behaviour.
// The noise measure of the recordings reads the same bytes within the file too.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ZelkNoise.h"
#include "nk_wave.h"

namespace {

std::string g_dir, g_path;

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fuzz_morvell_wave.XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    g_dir = dir;
    g_path = g_dir + "/in.wav";
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so a read past it is the sanitizer's to see.
    {
        const std::vector<uint8_t> bytes(data, data + size);
        double avg = 0, stdev = -1;
        if (ZelkNoise_measureWav(bytes.data(), bytes.size(), &avg, &stdev)) check(size > 44 && !(stdev < 0));
    }
    FILE* fp = std::fopen(g_path.c_str(), "wb");
    check(fp != nullptr);
    check(std::fwrite(data, 1, size, fp) == size || size == 0);
    check(std::fclose(fp) == 0);
    CNK_wave w;
    if (w.loadWaveFile(g_path.c_str()) != 0) return 0;
    check(size > sizeof(t_nkWaveFileHdr) && !w.channels.empty());
    const size_t frames = (size - sizeof(t_nkWaveFileHdr)) / (2 * w.channels.size());
    for (const auto& ch : w.channels) check(ch.size() == w.channels[0].size() && ch.size() <= frames);
    check(w.exportWaveData() == 0);
    return 0;
}
