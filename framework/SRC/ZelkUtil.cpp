// Plain helpers of the framework.
#include "ZelkUtil.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ZelkError.h"
#include "ZelkPaths.h"
#include "nk_file.h"
#include "nk_image.h"
#include "nk_spec.h"
#include "nk_string.h"
#include "nk_utils.h"
#include "number/pf_number.h"

extern char** environ;

const UInt32 kDataSize[10] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
static_assert(sizeof(kDataSize) == sizeof(k_nkDataSize), "one element-size table");

const char* const kZelk_multitouchTestTool = "mttest";
const char* const kZelk_multitouchReportTool = "mtreport";

// ---------------------------------------------------------------- array block

void* ZUTIL_Mem_allc_aligned(UInt32 typeIndex, UInt16 dimCount, const UInt16* dims, SInt32* outSize) {
    if (typeIndex > 9 || dimCount == 0 || dimCount > 16 || !dims) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return nullptr;
    }
    UInt32 total = 0;
    void* handle = nkUtil_alignedMemory_alloc(static_cast<int>(typeIndex), dimCount, dims, &total);
    if (!handle) {
        ZERR_REPORT(nullptr, kZErr_memAllocationFailed);
        return nullptr;
    }
    // The size is a signed 32-bit value for the caller: a bigger block cannot be told.
    if (total > static_cast<UInt32>(INT32_MAX)) {
        nkUtil_alignedMemory_free(handle);
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return nullptr;
    }
    if (outSize) *outSize = static_cast<SInt32>(total);
    return handle;
}

void ZUTIL_Mem_free_aligned(void* handle) { nkUtil_alignedMemory_free(handle); }

const char* ZUTIL_GetSizeString(UInt32 bytes) { return nkStr_getSizeString(bytes); }

// ---------------------------------------------------------------- text scanning

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

const char* skipBlanks(const char* p) {
    while (isBlank(*p)) ++p;
    return p;
}

const char* wordEnd(const char* p) {
    while (*p && !isBlank(*p)) ++p;
    return p;
}

}  // namespace

SInt32 ZUTIL_StrCheckTextCount(const char* text, const char* pattern) {
    if (!text || !pattern || !*pattern) return 0;
    SInt32 count = 0;
    for (const char* p = std::strstr(text, pattern); p; p = std::strstr(p + 1, pattern)) ++count;
    return count;
}

const char* ZUTIL_StrSkipSpace(const char* text) { return text ? skipBlanks(text) : nullptr; }

const char* ZUTIL_StrGoAfter(const char* text, const char* pattern) {
    if (!text || !pattern || !*pattern) return nullptr;
    const char* p = std::strstr(text, pattern);
    return p ? skipBlanks(p + std::strlen(pattern)) : nullptr;
}

const char* ZUTIL_StrGoNextWord(const char* position) {
    return position ? skipBlanks(wordEnd(position)) : nullptr;
}

const char* ZUTIL_StrGoNextLine(const char* text) {
    if (!text) return nullptr;
    const char* nl = std::strchr(text, '\n');
    return nl ? nl + 1 : nullptr;
}

const char* ZUTIL_StrGoLastText(const char* text, const char* pattern) {
    if (!text || !pattern || !*pattern) return nullptr;
    const char* last = nullptr;
    for (const char* p = std::strstr(text, pattern); p; p = std::strstr(p + 1, pattern)) last = p;
    return last;
}

const char* ZUTIL_StrGetFileName(const char* path) {
    const char* slash = path ? std::strrchr(path, '/') : nullptr;
    return slash ? slash + 1 : nullptr;
}

const char* ZUTIL_StrGetFileExtension(const char* path) {
    const char* dot = path ? std::strrchr(path, '.') : nullptr;
    return dot ? dot + 1 : nullptr;
}

void ZUTIL_StrUpper(char* text) {
    if (!text) return;
    for (char* p = text; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
}

namespace {

// The length of a numeric text (digits, at most one '.' and one '-'), 0 for "NA" in
// any case, -1 for anything else: one pass serves the test and the value.
long numericLength(const char* text) {
    if (!text || !*text) return -1;
    if ((text[0] | 0x20) == 'n' && (text[1] | 0x20) == 'a' && text[2] == '\0') return 0;
    int dots = 0, minus = 0;
    const char* p = text;
    for (; *p; ++p) {
        if (*p == '.') ++dots;
        else if (*p == '-') ++minus;
        else if (*p < '0' || *p > '9') return -1;
    }
    return dots <= 1 && minus <= 1 ? p - text : -1;
}

}  // namespace

bool ZUTIL_StrIsNumeric(const char* text) { return numericLength(text) >= 0; }

double ZUTIL_StrGetValue(const char* text) {
    const long length = numericLength(text);
    if (length <= 0) return kZelk_noValue;
    // Only digits, '.' and '-' are left: the leading number as "%lf" reads it, in no
    // locale at all. A value beyond the double range goes the slow way, to its infinity.
    double v = 0;
    const auto r = std::from_chars(text, text + length, v);
    if (r.ec == std::errc()) return v;
    if (r.ec != std::errc::result_out_of_range) return kZelk_noValue;
    return pf::number::parse(text, nullptr);
}

const char* ZUTIL_StrGetCurrentWord(const char* text, char* destination, size_t capacity) {
    if (!text) return nullptr;
    const char* end = wordEnd(text);
    if (destination && capacity > 0) {
        const size_t n = std::min(static_cast<size_t>(end - text), capacity - 1);
        std::memcpy(destination, text, n);
        destination[n] = '\0';
    }
    const char* next = skipBlanks(end);
    return *next ? next : nullptr;
}

namespace {

// One number at p, as "%d" or "%f" would read it (blanks and line ends first),
// in the C locale; false leaves the element as it was.
bool readNumber(const char* p, SInt32& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (end == p) return false;
    out = static_cast<SInt32>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
    return true;
}

bool readNumber(const char* p, float& out) {
    char* end = nullptr;
    const double v = pf::number::parse(p, &end);
    if (end == p) return false;
    out = static_cast<float>(v);
    return true;
}

template <typename T>
const char* scan1D(const char* text, T* values, SInt32 count) {
    if (!text || !values || count <= 0) return text;
    const char* p = text;
    for (SInt32 i = 0; i < count; ++i) {
        readNumber(p, values[i]);
        p = ZUTIL_StrGoNextWord(p);
    }
    return p;
}

template <typename T>
const char* scan2D(const char* text, T* values, SInt32 columns, SInt32 rows, bool bottomUp) {
    if (!text || !values || columns <= 0 || rows <= 0) return nullptr;
    const char* p = text;
    for (SInt32 i = 0; i < rows; ++i) {
        const SInt32 r = bottomUp ? rows - 1 - i : i;
        const char* afterLabel = ZUTIL_StrGoNextWord(p);
        scan1D(afterLabel, values + static_cast<size_t>(r) * static_cast<size_t>(columns), columns);
        p = ZUTIL_StrGoNextLine(afterLabel);
        if (!p) return nullptr;
    }
    return p;
}

}  // namespace

const char* ZUTIL_StrScanInt_1D(const char* text, SInt32* values, SInt32 count) { return scan1D(text, values, count); }
const char* ZUTIL_StrScanFloat_1D(const char* text, float* values, SInt32 count) { return scan1D(text, values, count); }
const char* ZUTIL_StrScanInt_2D(const char* text, SInt32* values, SInt32 columns, SInt32 rows, bool bottomUp) {
    return scan2D(text, values, columns, rows, bottomUp);
}
const char* ZUTIL_StrScanFloat_2D(const char* text, float* values, SInt32 columns, SInt32 rows, bool bottomUp) {
    return scan2D(text, values, columns, rows, bottomUp);
}

// ---------------------------------------------------------------- checksum and files

SInt32 ZUTIL_CalculateChecksum(const void* bytes, UInt64 length) {
    if (!bytes || length == 0) return 0;
    return nkUtil_checksum(static_cast<const i8*>(bytes), length);
}

bool ZUTIL_IsFileExist(const char* path) { return nkFile_isFileExist(path); }

SInt64 ZUTIL_GetFileSize(FILE* file) { return static_cast<SInt64>(nkFile_getFileSize(file)); }

// ---------------------------------------------------------------- Intel HEX

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exactly two hexadecimal digits; the second is looked at only when the first is
// one, so the terminator is never passed.
bool readByte(const char*& p, unsigned& out) {
    const int hi = hexDigit(p[0]);
    if (hi < 0) return false;
    const int lo = hexDigit(p[1]);
    if (lo < 0) return false;
    out = static_cast<unsigned>(hi * 16 + lo);
    p += 2;
    return true;
}

}  // namespace

SInt32 ZUTIL_ParseIntelHexFile(const char* text, UInt8* image, UInt64* inOutLength, UInt64* outExtent) {
    static const char* const fn = "ZUTIL_ParseIntelHexFile";
    auto fail = [](int code) {
        ZERR_REPORT_IN(nullptr, fn, code);
        return static_cast<SInt32>(code);
    };
    if (!text || !image || !inOutLength) return fail(kZErr_invalidParam);
    const UInt64 capacity = *inOutLength;
    std::memset(image, 0, capacity);
    UInt64 base = 0, total = 0, extent = 0;
    const char* p = text;
    for (;;) {
        if (*p != ':') return fail(kZErr_invalidFormat);
        ++p;
        unsigned count = 0, addrHi = 0, addrLo = 0, type = 0, checksum = 0;
        if (!readByte(p, count)) return fail(kZErr_invalidFormat);
        if (!readByte(p, addrHi) || !readByte(p, addrLo) || !readByte(p, type)) return fail(kZErr_dataCheckError);
        UInt8 data[255];
        unsigned sum = count + addrHi + addrLo + type;
        for (unsigned i = 0; i < count; ++i) {
            unsigned b = 0;
            if (!readByte(p, b)) return fail(kZErr_invalidFormat);
            data[i] = static_cast<UInt8>(b);
            sum += b;
        }
        if (!readByte(p, checksum)) return fail(kZErr_invalidFormat);
        if (((sum + checksum) & 0xFFu) != 0) return fail(kZErr_invalidChecksum);

        switch (type) {
            case 0x00: {
                const UInt64 offset = base + (addrHi << 8 | addrLo);
                if (offset + count >= capacity) return fail(kZErr_insufficientBufferSize);
                std::memcpy(image + offset, data, count);
                total += count;
                extent = std::max(extent, offset + count);
                break;
            }
            case 0x01:
                *inOutLength = total;
                if (outExtent) *outExtent = extent;
                return kZErr_OK;
            case 0x04:
                // The upper 16 address bits, big-endian: exactly two bytes or the record is malformed.
                if (count != 2) return fail(kZErr_invalidFormat);
                base = static_cast<UInt64>(data[0] << 8 | data[1]) << 16;
                break;
            case 0x05:
                break;
            default:
                return fail(kZErr_notSupported);
        }
        p = std::strchr(p, ':');
        if (!p) return fail(kZErr_invalidFormat);
    }
}

// ---------------------------------------------------------------- multitouch tools

namespace {

// Runs tool from the tool folder with its arguments, no shell; the first 1,023
// bytes of its output (the rest is read and dropped so the tool never blocks), or
// false when it cannot start.
bool runTool(const char* tool, const std::vector<std::string>& args, std::string& out) {
    const std::string path = zelk::roots::get().tool + "/" + tool;
    std::vector<std::string> words{path};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return false;
    }
    out.clear();
    char buf[512];
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const size_t keep = std::min(static_cast<size_t>(n), size_t{1023} - out.size());
        out.append(buf, keep);
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // A program that could not be executed at all reports 127 from the child.
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

// A hexadecimal number at p ("0x" in front when `prefixed`), as the tools print them;
// 0 when there is none. Too many digits saturate instead of overflowing.
unsigned long readHex(const char* p, bool prefixed) {
    p = skipBlanks(p);
    if (prefixed) {
        if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X')) return 0;
        p += 2;
    }
    if (hexDigit(*p) < 0) return 0;
    return std::strtoul(p, nullptr, 16);
}

}  // namespace

UInt32 ZUTIL_GetMultitouchFirmwareVersion(SInt32 deviceKind) {
    std::string out;
    if (!runTool(kZelk_multitouchTestTool, {"-versions"}, out)) return 0xFFFFFFFFu;
    struct Entry {
        UInt16 version;
        UInt8 kind;
    };
    std::vector<Entry> entries;
    const char* p = std::strstr(out.c_str(), "Version");
    while (p && entries.size() < 32) {
        p = skipBlanks(p + std::strlen("Version"));
        Entry e{static_cast<UInt16>(readHex(p, true)), 0};
        const char* paren = std::strchr(p, '(');
        if (paren) e.kind = static_cast<UInt8>(readHex(paren + 1, true));
        entries.push_back(e);
        // The other fields of an entry (",", "X", "ID") name nothing a caller asks for.
        p = std::strstr(paren ? paren : p, "Version");
    }
    for (const Entry& e : entries)
        if (deviceKind == e.kind) return e.version;
    return 0xFFFFFFFFu;
}

UInt32 ZUTIL_GetMultitouchCriticalError() {
    std::string out;
    if (!runTool(kZelk_multitouchReportTool, {"get", "0x7f"}, out)) return 0xFFFFFFFFu;
    if (out.find("Error") != std::string::npos) return 0xFFFFFFFFu;
    const char* p = std::strstr(out.c_str(), "0000:");
    if (!p) return 0xFFFFFFFFu;
    p = skipBlanks(p + 5);
    UInt32 value = 0;
    for (int i = 0; i < 4 && p && *p; ++i) {
        value |= static_cast<UInt32>(readHex(p, false) & 0xFFu) << (8 * i);
        p = ZUTIL_StrGoNextWord(p);
    }
    return value;
}

// ---------------------------------------------------------------- images

namespace {

bool imageOk(const void* buffer, SInt32 width, SInt32 height) { return buffer && width > 0 && height > 0; }

template <typename F>
void bySize(UInt32 elementSize, void* buffer, F f) {
    switch (elementSize) {
        case 1: f(static_cast<UInt8*>(buffer)); break;
        case 2: f(static_cast<UInt16*>(buffer)); break;
        case 4: f(static_cast<UInt32*>(buffer)); break;
        case 8: f(static_cast<UInt64*>(buffer)); break;
        default: break;
    }
}

}  // namespace

// Rows move as whole byte runs, so any element size flips vertically and crops.
void ZUTIL_FlipImage_Vertical(void* buffer, UInt32 elementSize, SInt32 width, SInt32 height) {
    if (!imageOk(buffer, width, height) || elementSize == 0) return;
    nk_img_detail::flipVertical(static_cast<UInt8*>(buffer), static_cast<u64>(width) * elementSize,
                                static_cast<u64>(height));
}

void ZUTIL_FlipImage_Horizontal(void* buffer, UInt32 elementSize, SInt32 width, SInt32 height) {
    if (!imageOk(buffer, width, height)) return;
    bySize(elementSize, buffer, [&](auto* image) {
        nk_img_detail::flipHorizontal(image, static_cast<u64>(width), static_cast<u64>(height));
    });
}

void ZUTIL_CropImage(void* buffer, UInt32 elementSize, SInt32 width, SInt32 height, SInt32 x0, SInt32 y0,
                     SInt32 cropWidth, SInt32 cropHeight) {
    if (!imageOk(buffer, width, height) || elementSize == 0 || x0 < 0 || y0 < 0 || cropWidth <= 0 ||
        cropHeight <= 0)
        return;
    const u64 s = elementSize;
    if (!nk_img_detail::windowFits(static_cast<u64>(width), static_cast<u64>(height), static_cast<u64>(x0),
                                   static_cast<u64>(y0), static_cast<u64>(cropWidth), static_cast<u64>(cropHeight)))
        return;
    nk_img_detail::cropInPlace(static_cast<UInt8*>(buffer), static_cast<u64>(width) * s, static_cast<u64>(x0) * s,
                               static_cast<u64>(y0), static_cast<u64>(cropWidth) * s, static_cast<u64>(cropHeight));
}

#define ZUTIL_IMAGE_IMPL(Type, T)                                                                              \
    void ZUTIL_FlipImage##Type##_Vertical(T* buffer, SInt32 width, SInt32 height) {                            \
        nkImg_flip##Type##_Vertical(buffer, width, height);                                                    \
    }                                                                                                          \
    void ZUTIL_FlipImage##Type##_Horizontal(T* buffer, SInt32 width, SInt32 height) {                          \
        nkImg_flip##Type##_Horizontal(buffer, width, height);                                                  \
    }                                                                                                          \
    void ZUTIL_CropImage##Type(T* buffer, SInt32 width, SInt32 height, SInt32 x0, SInt32 y0, SInt32 cropWidth, \
                               SInt32 cropHeight) {                                                            \
        nkImg_cropImage##Type(buffer, width, height, x0, y0, cropWidth, cropHeight);                           \
    }
ZUTIL_IMAGE_IMPL(UInt8, UInt8)
ZUTIL_IMAGE_IMPL(SInt8, SInt8)
ZUTIL_IMAGE_IMPL(UInt16, UInt16)
ZUTIL_IMAGE_IMPL(SInt16, SInt16)
ZUTIL_IMAGE_IMPL(UInt32, UInt32)
ZUTIL_IMAGE_IMPL(SInt32, SInt32)
ZUTIL_IMAGE_IMPL(Float, float)
ZUTIL_IMAGE_IMPL(Double, double)
#undef ZUTIL_IMAGE_IMPL
