// Error texts, failure reports and the framework version.
#include "ZelkError.h"

#include <cstring>

#include "ZelkLogManager.h"

namespace {

#define ZELK_ERROR(name, code) #name,
constexpr const char* kErrorText[] = {
#include "ZelkErrorTable.inc"
};
#undef ZELK_ERROR
static_assert(sizeof(kErrorText) / sizeof(kErrorText[0]) == kZErr_MAX + 1, "one text per code");

// A constant, not a text formatted on first use: two first callers on two threads
// would otherwise write the same buffer at once.
constexpr char kVersion[64] = "ZELK-32.0.3";

// Invented sample table: the maker's model codes are not ours to give. Same shape as
// the real one: prefixes in a fixed order, several codes per number, 16, 20 and 22 unused.
struct ProductRow {
    const char* prefix;
    int number;
};
constexpr ProductRow kProducts[] = {
    {"ZQ10", 1}, {"ZQ11", 2}, {"ZQ1", 3},  {"ZR20", 4},  {"ZR2", 5},   {"ZR", 6},    {"ZS30", 7},
    {"ZS31", 7}, {"ZS3", 8},  {"ZT4", 9},  {"ZT", 10},   {"ZU50", 11}, {"ZU5", 12},  {"ZV60", 13},
    {"ZV6", 14}, {"ZW7", 15}, {"ZX80", 17}, {"ZX8", 18}, {"ZY9", 19},  {"YA1", 21},  {"YB2", 23},
    {"YC3", 24}, {"YD4", 25}, {"YE5", 26}, {"YF6", 27},  {"YG7", 28},  {"YH8", 29},  {"YH", 29},
};

const char* baseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

const char* ZERR_GetErrorStr(int code) {
    const unsigned u = static_cast<unsigned>(code);
    return u <= static_cast<unsigned>(kZErr_MAX) ? kErrorText[u] : "Unknown Error Code";
}

const char* ZERR_GetVersionStr() { return kVersion; }

int ZERR_GetProductNumber(const char* modelCode) {
    if (!modelCode) return 0;
    for (const ProductRow& row : kProducts)
        if (std::strncmp(modelCode, row.prefix, std::strlen(row.prefix)) == 0) return row.number;
    return 0;
}

void ZERR_Report(iZelk_LogManager* lm, const char* file, const char* func, int line, int code) {
    ZLM_PrintError(lm, "[Error,0x%04X] %s [%s:%s:%d]\n", static_cast<unsigned>(code) & 0xFFFFu,
                   ZERR_GetErrorStr(code), baseName(file ? file : ""), func ? func : "", line);
}
