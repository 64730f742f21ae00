// Text scanners for the library's line-oriented texts.
#include "nk_string.h"
#include "number/pf_number.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {
inline bool isBlank(char c) { return c == ' ' || c == '\t'; }
inline bool endsWord(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0'; }

const char* skipBlanks(const char* p) {
    while (isBlank(*p)) ++p;
    return p;
}

const char* wordEnd(const char* p) {
    while (!endsWord(*p)) ++p;
    return p;
}

// The pointer checks of the key searches; a refusal is reported under the caller's name.
bool searchArgsGiven(const char* func, const char* text, const char* key) {
    const char* missing = !text ? "ptr" : !key ? "txt" : nullptr;
    if (missing) nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, kNKErr_invalidPointer, missing);
    return !missing;
}

}  // namespace

const char* nkStr_skipWord(const char* text) {
    if (!text) return nullptr;
    const char* p = wordEnd(text);
    return *p ? p : nullptr;
}

const char* nkStr_skipSpace(const char* text) {
    if (!text) return nullptr;
    const char* p = skipBlanks(text);
    return *p ? p : nullptr;
}

const char* nkStr_goNextWord(const char* text) {
    if (!text) return nullptr;
    const char* p = skipBlanks(wordEnd(text));
    return *p ? p : nullptr;
}

const char* nkStr_goNextLine(const char* text) {
    if (!text) {
        NK_REPORT_FN(kNKErr_invalidPointer, "ptr");
        return nullptr;
    }
    const char* lf = std::strchr(text, '\n');
    return lf ? lf + 1 : nullptr;
}

const char* nkStr_goAfter(const char* text, const char* key) {
    if (!searchArgsGiven(__func__, text, key)) return text && !key ? text : nullptr;
    const char* hit = std::strstr(text, key);
    if (!hit) return nullptr;
    const char* p = skipBlanks(hit + std::strlen(key));
    return *p ? p : nullptr;
}

const char* nkStr_goAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    if (at == std::string::npos) return nullptr;
    size_t p = at + key.size();
    while (p < text.size() && isBlank(text[p])) ++p;
    return p < text.size() ? text.data() + p : nullptr;
}

const char* nkStr_goLastText(const char* text, const char* key) {
    if (!searchArgsGiven(__func__, text, key)) return text && !key ? text : nullptr;
    const char* last = nullptr;
    if (!*key) return nullptr;
    for (const char* hit = std::strstr(text, key); hit; hit = std::strstr(hit + 1, key)) last = hit;
    return last;
}

const char* nkStr_strstr(const std::string& text, const std::string& key) {
    if (text.empty() || key.empty()) return nullptr;
    const size_t at = text.find(key);
    return at == std::string::npos ? nullptr : text.data() + at;
}

const char* nkStr_strcasestr(const std::string& text, const std::string& key) {
    if (text.empty() || key.empty()) return nullptr;
    for (size_t i = 0; i + key.size() <= text.size(); ++i)
        if (strncasecmp(text.data() + i, key.data(), key.size()) == 0) return text.data() + i;
    return nullptr;
}

const char* nkStr_strcasestr(const char* text, const char* key) {
    if (!text || !key || !*text || !*key) return nullptr;
    return strcasestr(text, key);
}

u32 nkStr_checkTextCount(const char* text, const char* key) {
    if (!searchArgsGiven(__func__, text, key)) return 0;
    if (!*key) return 0;  // an empty key would match everywhere
    u32 count = 0;
    for (const char* hit = std::strstr(text, key); hit; hit = std::strstr(hit + 1, key)) ++count;
    return count;
}

namespace {
// Copies at most capacity-1 characters and always terminates; false when cut.
bool copyCut(char* out, u32 capacity, const char* from, size_t length) {
    const bool fits = length < capacity;
    const size_t n = fits ? length : capacity - 1;
    std::memcpy(out, from, n);
    out[n] = '\0';
    return fits;
}
}  // namespace

u16 nkStr_getNextStringWithLimit(const char* text, const char* delimiter, char* out, u32 limit) {
    return nkstr_detail::getNextString(__func__, text, delimiter, out, limit);
}

u16 nkstr_detail::getNextString(const char* func, const char* text, const char* delimiter, char* out, u32 limit) {
    const char* missing = !text ? "text" : !delimiter ? "delimiter" : !out ? "textBuff" : nullptr;
    if (missing) {
        nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, kNKErr_invalidPointer, missing);
        return kNKErr_invalidPointer;
    }
    if (limit == 0) return kNKErr_OK;  // no room even for the terminator
    out[0] = '\0';
    const size_t dl = std::strlen(delimiter);
    const char* first = dl ? std::strstr(text, delimiter) : nullptr;
    if (!first) return kNKErr_OK;
    const char* start = skipBlanks(first + dl);
    const char* end = std::strstr(start, delimiter);
    copyCut(out, limit, start, end ? static_cast<size_t>(end - start) : std::strlen(start));
    return kNKErr_OK;
}

u16 nkStr_getItemString(const char* titleLine, const char* dataLine, const char* delimiter, const char* itemName,
                        char* out, u32 capacity) {
    struct {
        const void* p;
        const char* what;
    } const args[] = {{titleLine, "strLineTitle"}, {dataLine, "strLineData"}, {delimiter, "strDelimiter"},
                      {itemName, "strItemName"}, {out, "strBuff"}};
    for (const auto& a : args)
        if (!a.p) {
            NK_REPORT_FN(kNKErr_invalidPointer, a.what);
            return kNKErr_invalidPointer;
        }
    if (capacity == 0) {
        NK_REPORT_FN(kNKErr_invalidBufferSize, "capacity>0");
        return kNKErr_invalidBufferSize;
    }
    out[0] = '\0';
    const u32 total = nkStr_checkTextCount(titleLine, delimiter);
    if (total == 0) {
        NK_REPORT_FN(kNKErr_invalidFormat, "total");
        return kNKErr_invalidFormat;
    }
    const char* title = *itemName ? strcasestr(titleLine, itemName) : nullptr;
    if (!title) {
        NK_REPORT_FN(kNKErr_invalidFormat, "ptr");
        return kNKErr_invalidFormat;
    }
    const u32 remaining = nkStr_checkTextCount(title, delimiter);
    if (remaining == 0) {
        NK_REPORT_FN(kNKErr_invalidFormat, "remaining");
        return kNKErr_invalidFormat;
    }
    const size_t dl = std::strlen(delimiter);
    const char* ptr = dataLine;
    for (u32 index = total - remaining; index > 0 && ptr; --index) {
        ptr = std::strstr(ptr, delimiter);
        if (ptr) ptr += dl;
    }
    if (!ptr) {
        NK_REPORT_FN(kNKErr_invalidFormat, "ptr");
        return kNKErr_invalidFormat;
    }
    const char* ptrEnd = std::strstr(ptr, delimiter);
    if (!ptrEnd) {
        NK_REPORT_FN(kNKErr_invalidFormat, "ptrEnd");
        return kNKErr_invalidFormat;
    }
    if (!copyCut(out, capacity, ptr, static_cast<size_t>(ptrEnd - ptr))) {
        NK_REPORT_FN(kNKErr_invalidBufferSize, "strlen(value)<capacity");
        return kNKErr_invalidBufferSize;
    }
    return kNKErr_OK;
}

const char* nkStr_getSizeString(u32 count) {
    thread_local char text[32];
    if (count >= 0x100001u)
        pf::number::format(text, sizeof(text), "%.3f M", count / 1048576.0);
    else if (count <= 1024u)
        std::snprintf(text, sizeof(text), "%u ", count);
    else
        pf::number::format(text, sizeof(text), "%.3f K", count / 1024.0);
    return text;
}

void nkStr_upperCaseString(char* text) {
    if (!text) return;
    for (; *text; ++text)
        if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
}

void nkStr_lowerCaseString(char* text) {
    if (!text) return;
    for (; *text; ++text)
        if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
}

std::vector<std::string> nkStr_split(const std::string& text, const std::string& delimiter) {
    if (delimiter.empty()) return {text};
    std::vector<std::string> pieces;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(delimiter, from);
        if (at == std::string::npos) break;
        pieces.push_back(text.substr(from, at - from));
        from = at + delimiter.size();
    }
    pieces.push_back(text.substr(from));
    return pieces;
}

// ---------------------------------------------------------------- number blocks

namespace {
bool convert(const char* word, int* v) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(word, &end, 10);
    if (end == word) return false;
    // "%d" semantics without its undefined behaviour on overflow: clamp.
    *v = n > INT_MAX ? INT_MAX : (n < INT_MIN ? INT_MIN : static_cast<int>(n));
    return true;
}

bool convert(const char* word, float* v) {
    char* end = nullptr;
    const double d = pf::number::parse(word, &end);
    if (end == word) return false;
    *v = static_cast<float>(d);
    return true;
}

template <typename T>
const char* scan1d(const char* p, T* buff, int width) {
    for (int i = 0; i < width; ++i) {
        p = skipBlanks(p);
        if (!*p) return nullptr;
        // A short row stops at its line end rather than taking the next line's values.
        if (*p == '\n' || *p == '\r') return p;
        convert(p, &buff[i]);
        p = skipBlanks(wordEnd(p));
    }
    return *p ? p : nullptr;
}

template <typename T>
char* scan2d(const char* p, T* buff, int width, int height, bool reverseRows) {
    for (int r = 0; r < height; ++r) {
        p = skipBlanks(wordEnd(skipBlanks(p)));  // the row label
        if (!*p) return nullptr;
        const int row = reverseRows ? height - 1 - r : r;
        p = scan1d(p, buff + static_cast<ptrdiff_t>(row) * width, width);
        if (!p) return nullptr;
        const char* lf = std::strchr(p, '\n');
        if (!lf) return nullptr;
        p = lf + 1;
    }
    return const_cast<char*>(p);
}

// The scanners' preconditions, asserted under the caller's name.
void assertScanArgs(const char* func, const char* ptr, const void* buff, int width, int height) {
    const char* broken = !ptr         ? "ptr!=NULL"
                         : !buff       ? "buff!=NULL"
                         : width <= 0  ? "width>0"
                         : height <= 0 ? "height>0"
                                       : nullptr;
    if (broken) nkDebug_assertFail(__FILE__, nullptr, func, __LINE__, broken);
}
}  // namespace

char* nkStr_scanInt_1D(const char* ptr, int* buff, int width) {
    assertScanArgs(__func__, ptr, buff, width, 1);
    return const_cast<char*>(scan1d(ptr, buff, width));
}

char* nkStr_scanFloat_1D(const char* ptr, float* buff, int width) {
    assertScanArgs(__func__, ptr, buff, width, 1);
    return const_cast<char*>(scan1d(ptr, buff, width));
}

char* nkStr_scanInt_2D(const char* ptr, int* buff, int width, int height, bool reverseRows) {
    assertScanArgs(__func__, ptr, buff, width, height);
    return scan2d(ptr, buff, width, height, reverseRows);
}

char* nkStr_scanFloat_2D(const char* ptr, float* buff, int width, int height, bool reverseRows) {
    assertScanArgs(__func__, ptr, buff, width, height);
    return scan2d(ptr, buff, width, height, reverseRows);
}
