// The framework's file readers on any bytes; the first byte, modulo 3, picks the reader:
//  0: a spec file, closed by a checksum line the harness computes, so the
//     lines themselves are read; the limits that come out fit their entry's type;
//  1: a table file, its entry count set to the manager's when bit 1 is set, so
//     the entries are read; every text that comes out ends inside its field;
//  2: a test script; the record's texts come back terminated inside their fields.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ZelkPaths.h"
#include "ZelkSpecManager.h"
#include "ZelkTestScript.h"
#include "ZelkUtil.h"

namespace {

std::string g_dir, g_spec, g_script;
iZelk_SpecManager* g_manager = nullptr;

void check(bool ok) {
    if (!ok) std::abort();
}

tZelk_SpecItem item(const char* title, SInt32 type) {
    tZelk_SpecItem e{};
    e.title = title;
    e.type = type;
    e.lower = e.upper = e.value = kZelk_noValue;
    return e;
}

const tZelk_SpecItem kItems[] = {item("a", kZSP_u8),    item("b", kZSP_i8),    item("c", kZSP_u16),
                                 item("d", kZSP_i16),   item("e", kZSP_u32),   item("f", kZSP_i32),
                                 item("g", kZSP_u64),   item("h", kZSP_i64),   item("i", kZSP_float),
                                 item("j", kZSP_double), item("k", kZSP_text)};
constexpr SInt32 kCount = sizeof(kItems) / sizeof(kItems[0]);

void writeFile(const std::string& path, const void* data, size_t size) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    check(fp != nullptr);
    check(size == 0 || std::fwrite(data, 1, size, fp) == size);
    check(std::fclose(fp) == 0);
}

bool fitsType(SInt32 type, double v) {
    if (v == kZelk_noValue) return true;
    switch (type) {
    case kZSP_u8:
    case kZSP_u16:
    case kZSP_u32: return v >= 0 && v <= 4294967295.0 && v == std::floor(v);
    case kZSP_i8:
    case kZSP_i16:
    case kZSP_i32: return v >= -2147483648.0 && v <= 2147483647.0 && v == std::floor(v);
    default: return true;
    }
}

bool writeScratch(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(g_script.c_str(), "wb");
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
    ZPB_GetTestInfo(g_script.c_str(), info.get());
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
    g_spec = g_dir + "/spec.csv";
    g_script = g_dir + "/script.zqs";
    zelk::roots::Folders folders = zelk::roots::get();
    folders.var = g_dir;
    zelk::roots::set(folders);
    g_manager = ZSP_Create(kItems, kCount);
    check(g_manager != nullptr);
    std::atexit([] {
        ZSP_Delete(&g_manager);
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t pick = data[0];
    if (pick % 3 == 2) {
        fuzzScript(data + 1, size - 1);
        return 0;
    }
    std::vector<uint8_t> body(data + 1, data + size);
    if (pick % 3 == 0) {
        const UInt32 sum = static_cast<UInt32>(ZUTIL_CalculateChecksum(body.data(), body.size())) ^ 0x5B2E97C4u;
        char tail[32];
        std::snprintf(tail, sizeof(tail), "CHKSUM,%08X", sum);
        body.insert(body.end(), tail, tail + std::strlen(tail));
        writeFile(g_spec, body.data(), body.size());
        const SInt32 rc = ZSP_LoadSpecFile(g_manager, g_spec.c_str());
        // A checksum tag inside the body comes first and may not match; otherwise the lines are read.
        check(rc == 0 || rc == 22);
        for (SInt32 i = 0; i < kCount; ++i) {
            const tZelk_SpecItem* e = ZSP_GetTestItem(g_manager, i);
            check(fitsType(e->type, e->lower) && fitsType(e->type, e->upper));
        }
    } else {
        if ((pick & 2) && body.size() >= 42) {
            const UInt16 count = kCount;
            std::memcpy(body.data() + 40, &count, sizeof(count));
        }
        std::string table = g_dir + "/tamber_spec.bin";
        writeFile(table, body.data(), body.size());
        ZSP_LoadSpecTable(g_manager);
        for (SInt32 i = 0; i < kCount; ++i) check(std::memchr(ZSP_GetTestItem(g_manager, i)->text, 0, 256) != nullptr);
        SInt32 code = 0;
        const char* text = nullptr;
        check(ZSP_GetErr(g_manager, &code, &text) == 0 && std::memchr(text, 0, 256) != nullptr);
        check(std::memchr(ZSP_GetStartTime(g_manager, nullptr), 0, 32) != nullptr);
    }
    return 0;
}
