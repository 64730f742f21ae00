// Feeds arbitrary files to the framework's file readers. The first byte picks the
// reader, the rest is the file: the test-script parser. The record's texts must come
// back terminated inside their fields.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "ZelkTestScript.h"

namespace {

std::string g_dir, g_path;

bool writeScratch(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(g_path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

template <size_t N>
void checkText(const char (&field)[N]) {
    if (!std::memchr(field, 0, N)) __builtin_trap();
}

void checkItems(const tZelk_TestItem* items, UInt32 count) {
    for (UInt32 i = 0; i < count; ++i) {
        checkText(items[i].testName);
        if (items[i].testStat != 0) __builtin_trap();
    }
}

void fuzzScript(const uint8_t* data, size_t size) {
    if (!writeScratch(data, size)) return;
    auto info = std::make_unique<tZelk_TestInfo>();
    ZPB_GetTestInfo(g_path.c_str(), info.get());
    checkText(info->projectName);
    checkText(info->stationName);
    checkText(info->logsPathDut);
    checkText(info->logsPathVesk);
    checkText(info->statPathVesk);
    checkText(info->testSwVersion);
    if (info->zelkVersion[0] != '\0') __builtin_trap();
    checkItems(info->setupItems, kZelk_setupItemCount);
    checkItems(info->testItems, kZelk_testItemCount);
    checkItems(info->resultItems, kZelk_resultItemCount);
    checkItems(info->onPassItems, kZelk_onPassItemCount);
    checkItems(info->onFailItems, kZelk_onFailItemCount);
    checkItems(info->onOrchelPassItems, kZelk_onOrchelPassItemCount);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fuzz_zelk_files.XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    g_dir = dir;
    g_path = g_dir + "/input";
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The script parser is the one reader so far: every first byte picks it.
    fuzzScript(data + 1, size - 1);
    return 0;
}
