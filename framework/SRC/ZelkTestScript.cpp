// Test-script parser. The text is the user's file and is trusted for nothing:
// every copy is bounded by its field, every search by the text's terminator.
#include "ZelkTestScript.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "ZelkError.h"

namespace {

constexpr const char* kFunc = "ZPB_GetTestInfo";
// Larger files are no script; refusing them keeps one bad path from taking the memory.
constexpr long long kMaxScriptBytes = 64ll * 1024 * 1024;

SInt32 fail(SInt32 code) {
    ZERR_REPORT_IN(nullptr, kFunc, code);
    return code;
}

// Length of the line at p without its end: a LF, or a CR right before the LF.
// *hasEnd tells whether a LF follows at all.
size_t lineLength(const char* p, bool* hasEnd) {
    const char* nl = std::strchr(p, '\n');
    *hasEnd = nl != nullptr;
    size_t n = nl ? static_cast<size_t>(nl - p) : std::strlen(p);
    if (nl && n > 0 && p[n - 1] == '\r') --n;
    return n;
}

// Where the first of two markers starts, in order: the first, then the second in
// what is left. Returns the length of the text before it.
size_t cutAt(const char* p, size_t n, const char* first, const char* second) {
    const char* markers[2] = {first, second};
    for (const char* m : markers) {
        const size_t ml = std::strlen(m);
        for (size_t i = 0; i + ml <= n; ++i)
            if (std::memcmp(p + i, m, ml) == 0) {
                n = i;
                break;
            }
    }
    return n;
}

// Copies n bytes into a field of `capacity` bytes, cut to fit, terminated.
void copyField(char* field, size_t capacity, const char* p, size_t n) {
    if (n > capacity - 1) n = capacity - 1;
    std::memcpy(field, p, n);
    field[n] = '\0';
}

struct HeaderTag {
    const char* tag;
    size_t offset;
    size_t capacity;
};

// The value after a tag, blanks and tabs skipped, up to its line end, with a
// comment after "#" and then after "//" cut off. False when the line has no end.
bool readHeader(const char* text, const char* tag, char* field, size_t capacity, bool* found) {
    const char* at = std::strstr(text, tag);
    *found = at != nullptr;
    if (!at) return false;
    const char* p = at + std::strlen(tag);
    while (*p == ' ' || *p == '\t') ++p;
    bool hasEnd = false;
    size_t n = lineLength(p, &hasEnd);
    if (!hasEnd) return false;
    n = cutAt(p, n, "#", "//");
    copyField(field, capacity, p, n);
    return true;
}

// The number after "[timeout=" in the line's text (any case), else the default.
// A negative number keeps the default, no digits give 0, a huge one is held at
// the largest signed 32-bit value.
UInt32 itemTimeout(const char* p, size_t n) {
    static const char kTag[] = "[timeout=";
    const size_t tl = sizeof(kTag) - 1;
    for (size_t i = 0; i + tl <= n; ++i) {
        if (strncasecmp(p + i, kTag, tl) != 0) continue;
        // The digits are parsed from a bounded copy: the line does not end in a terminator.
        char digits[32];
        copyField(digits, sizeof(digits), p + i + tl, n - i - tl);
        errno = 0;
        const long v = std::strtol(digits, nullptr, 10);
        if (v < 0) return kZelk_defaultItemTimeoutMsec;
        return v > INT32_MAX ? static_cast<UInt32>(INT32_MAX) : static_cast<UInt32>(v);
    }
    return kZelk_defaultItemTimeoutMsec;
}

SInt32 readGroup(const char* text, const char* beginTag, const char* endTag, tZelk_TestItem* items,
                 UInt32 capacity) {
    const char* at = strcasestr(text, beginTag);
    if (!at) return fail(kZErr_invalidScriptFormat);
    const char* p = std::strchr(at, '\n');
    if (!p) return fail(kZErr_invalidScriptFormat);
    ++p;
    const size_t endLength = std::strlen(endTag);
    UInt32 count = 0;
    while (*p != '\0') {
        if (std::strncmp(p, endTag, endLength) == 0) return kZErr_OK;
        bool hasEnd = false;
        const size_t lineLen = lineLength(p, &hasEnd);
        if (!hasEnd) return fail(kZErr_invalidScriptFormat);
        const size_t n = cutAt(p, lineLen, "//", "#");
        if (n > 0) {
            if (count == capacity) return fail(kZErr_invalidScriptFormat);
            tZelk_TestItem& item = items[count++];
            copyField(item.testName, sizeof(item.testName), p, n);
            item.timeoutMsec = itemTimeout(p, n);
        }
        p = std::strchr(p, '\n') + 1;
    }
    return fail(kZErr_invalidScriptFormat);
}

SInt32 parse(const char* text, tZelk_TestInfo* info) {
    const HeaderTag headers[] = {
        {"[Project_Name]", offsetof(tZelk_TestInfo, projectName), sizeof(info->projectName)},
        {"[Station_Name]", offsetof(tZelk_TestInfo, stationName), sizeof(info->stationName)},
        {"[LogsFolder_DUT]", offsetof(tZelk_TestInfo, logsPathDut), sizeof(info->logsPathDut)},
        {"[LogsFolder_VESK]", offsetof(tZelk_TestInfo, logsPathVesk), sizeof(info->logsPathVesk)},
        {"[StatFolder_VESK]", offsetof(tZelk_TestInfo, statPathVesk), sizeof(info->statPathVesk)},
    };
    char* base = reinterpret_cast<char*>(info);
    for (const HeaderTag& h : headers) {
        bool found = false;
        if (!readHeader(text, h.tag, base + h.offset, h.capacity, &found)) return fail(kZErr_invalidScriptFormat);
    }
    // An older script may not name its test version: reported, not fatal.
    bool found = false;
    if (!readHeader(text, "[Test Version]", info->testSwVersion, sizeof(info->testSwVersion), &found)) {
        info->testSwVersion[0] = '\0';
        ZERR_REPORT_IN(nullptr, kFunc, kZErr_invalidScriptFormat);
    }

    struct Group {
        const char* begin;
        const char* end;
        tZelk_TestItem* items;
        UInt32 capacity;
    };
    const Group groups[] = {
        {"[Setup_Begin]", "[Setup_End]", info->setupItems, kZelk_setupItemCount},
        {"[Test_Begin]", "[Test_End]", info->testItems, kZelk_testItemCount},
        {"[Result_Begin]", "[Result_End]", info->resultItems, kZelk_resultItemCount},
        {"[OnPass_Begin]", "[OnPass_End]", info->onPassItems, kZelk_onPassItemCount},
        {"[OnFail_Begin]", "[OnFail_End]", info->onFailItems, kZelk_onFailItemCount},
        {"[OnOrchelPass_Begin]", "[OnOrchelPass_End]", info->onOrchelPassItems, kZelk_onOrchelPassItemCount},
    };
    for (const Group& g : groups) {
        const SInt32 err = readGroup(text, g.begin, g.end, g.items, g.capacity);
        if (err != kZErr_OK) return err;
    }
    return kZErr_OK;
}

}  // namespace

SInt32 ZPB_GetTestInfo(const char* path, tZelk_TestInfo* info) {
    if (!path || !info) return fail(kZErr_invalidParam);
    std::memset(info, 0, sizeof(*info));
    struct stat st{};
    if (stat(path, &st) != 0) return fail(kZErr_fileNotExist);
    if (S_ISDIR(st.st_mode)) return fail(kZErr_fileOpenFailed);
    FILE* f = std::fopen(path, "rb");
    if (!f) return fail(kZErr_fileOpenFailed);
    SInt32 err = kZErr_OK;
    char* text = nullptr;
    long long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    std::rewind(f);
    if (size < 0) {
        err = kZErr_fileReadFailed;
    } else if (size > kMaxScriptBytes ||
               !(text = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 32)))) {
        err = kZErr_memAllocationFailed;
    } else if (std::fread(text, 1, static_cast<size_t>(size), f) != static_cast<size_t>(size)) {
        err = kZErr_fileReadFailed;
    }
    std::fclose(f);
    if (err != kZErr_OK) {
        std::free(text);
        return fail(err);
    }
    text[size] = '\0';
    err = parse(text, info);
    std::free(text);
    return err;
}
