// The station's spec table: limits, recorded values, verdicts, the spec file and
// the table file that carries a run's state to the next run of the program.
#include "ZelkSpecManager.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "ZelkCsvManager.h"
#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "ZelkPaths.h"
#include "ZelkUtil.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_utils.h"
#include "number/pf_number.h"

static_assert(std::endian::native == std::endian::little, "the table file is little-endian");

namespace {

constexpr const char* kTableFileName = "tamber_spec.bin";
constexpr const char* kNoError = "DEADBEEF";
constexpr UInt32 kChecksumMask = 0x5B2E97C4u;
constexpr const char* kChecksumTag = "CHKSUM,";
constexpr const char* kSpecHeader = "spec_title,lower_limit,upper_limit,\n";
constexpr const char* kDefaultValueFormat = "%8.1f";
constexpr size_t kCheckLine = 256;
// Far beyond any table of 65,535 entries; a larger file is not a spec file.
constexpr SInt64 kMaxSpecFile = 64ll * 1024 * 1024;

// Table file layout.
constexpr size_t kHeadBytes = 8 + iZelk_SpecManager::kTimeSize + 2;
constexpr size_t kEntryBytes = 4 + 4 + 8 + 8 + 8 + iZelk_SpecManager::kTextSize;
constexpr size_t kTailBytes = 4 + iZelk_SpecManager::kTextSize;

bool isNumeric(SInt32 type) { return (type >= kZSP_u8 && type <= kZSP_i32) || type == kZSP_float || type == kZSP_double; }
bool isText(SInt32 type) { return type == kZSP_text; }
bool isUnsigned(SInt32 type) { return type == kZSP_u8 || type == kZSP_u16 || type == kZSP_u32; }
bool isSigned(SInt32 type) { return type == kZSP_i8 || type == kZSP_i16 || type == kZSP_i32; }
bool isFloating(SInt32 type) { return type == kZSP_float || type == kZSP_double; }

// Copies at most capacity - 1 bytes and always terminates.
void copyText(char* destination, size_t capacity, const char* source) {
    size_t n = 0;
    while (n + 1 < capacity && source[n] != '\0') ++n;
    std::memcpy(destination, source, n);
    destination[n] = '\0';
}

// 17 without a manager, 85 outside the table, 86 for a type the operation does not take.
SInt32 checkEntry(iZelk_SpecManager* m, SInt32 index, const char* func, bool (*accepts)(SInt32)) {
    SInt32 code = kZErr_OK;
    if (!m)
        code = kZErr_invalidParam;
    else if (index < 0 || index >= static_cast<SInt32>(m->count))
        code = kZErr_invalidDataId;
    else if (!accepts(m->entries[index].type))
        code = kZErr_invalidDataType;
    if (code != kZErr_OK) ZERR_REPORT_IN(nullptr, func, code);
    return code;
}

// ----------------------------------------------------------------------------- values as their type shows them

// A double held within an integer type's range, cut toward zero; NaN has no such
// value and is shown as "NA" by the callers.
template <class T>
T saturate(double v) {
    constexpr T lo = std::numeric_limits<T>::min();
    constexpr T hi = std::numeric_limits<T>::max();
    if (std::isnan(v)) return 0;
    if (v <= static_cast<double>(lo)) return lo;
    if (v >= static_cast<double>(hi)) return hi;
    return static_cast<T>(v);
}

struct Shown {
    bool na = false;        // NaN where the type is an integer
    bool integral = false;  // i holds the value, else d
    long long i = 0;
    double d = 0;
};

Shown shown(SInt32 type, double v) {
    Shown s;
    if (isFloating(type)) {
        if (type == kZSP_float && std::isfinite(v))
            s.d = std::fabs(v) > std::numeric_limits<float>::max() ? std::copysign(HUGE_VAL, v)
                                                                   : static_cast<double>(static_cast<float>(v));
        else
            s.d = v;
        return s;
    }
    s.integral = true;
    s.na = std::isnan(v);
    switch (type) {
    case kZSP_u8: s.i = saturate<UInt8>(v); break;
    case kZSP_i8: s.i = saturate<SInt8>(v); break;
    case kZSP_u16: s.i = saturate<UInt16>(v); break;
    case kZSP_i16: s.i = saturate<SInt16>(v); break;
    case kZSP_u32: s.i = saturate<UInt32>(v); break;
    default: s.i = saturate<SInt32>(v); break;
    }
    return s;
}

// The caller's format for one value, made safe to hand any value to: one integer
// (d i o u x X) or floating (f F e E g G a A) conversion with flags, width and
// precision of at most three digits each, "%%" anywhere. The length modifier is
// replaced: an integer conversion is given a long long, a floating one a double.
struct ValueFormat {
    std::string format;
    bool integral = false;
};

bool parseValueFormat(const char* text, ValueFormat* out) {
    if (!text) return false;
    std::string f;
    bool found = false, integral = false;
    for (const char* p = text; *p != '\0';) {
        if (*p != '%') {
            f.push_back(*p++);
            continue;
        }
        if (p[1] == '%') {
            f += "%%";
            p += 2;
            continue;
        }
        if (found) return false;
        f.push_back(*p++);
        while (*p != '\0' && std::strchr("-+ #0", *p)) f.push_back(*p++);
        for (int n = 0; std::isdigit(static_cast<unsigned char>(*p)); ++n) {
            if (n == 3) return false;
            f.push_back(*p++);
        }
        if (*p == '.') {
            f.push_back(*p++);
            for (int n = 0; std::isdigit(static_cast<unsigned char>(*p)); ++n) {
                if (n == 3) return false;
                f.push_back(*p++);
            }
        }
        while (*p != '\0' && std::strchr("hlLqjzt", *p)) ++p;
        if (*p == '\0') return false;
        if (std::strchr("diouxX", *p)) {
            f += "ll";
            integral = true;
        } else if (!std::strchr("fFeEgGaA", *p)) {
            return false;
        }
        f.push_back(*p++);
        found = true;
    }
    if (!found) return false;
    out->format = std::move(f);
    out->integral = integral;
    return true;
}

std::string formatValue(const ValueFormat& vf, const Shown& s) {
    if (s.na) return "NA";
    if (vf.integral) {
        if (!s.integral && std::isnan(s.d)) return "NA";
        const long long v = s.integral ? s.i : saturate<long long>(s.d);
        return pf::number::text(vf.format.c_str(), v);
    }
    return pf::number::text(vf.format.c_str(), s.integral ? static_cast<double>(s.i) : s.d);
}

// One value of the listing in the type's column form.
std::string listValue(SInt32 type, double v) {
    static constexpr const char* kNA = "         NA\t";
    if (v == kZelk_noValue) return kNA;
    const Shown s = shown(type, v);
    if (s.na) return kNA;
    if (isUnsigned(type)) return pf::number::text("0x%09llX\t", static_cast<unsigned long long>(s.i));
    if (isSigned(type)) return pf::number::text("%11lld\t", s.i);
    return pf::number::text("%11.3f\t", s.d);
}

// ----------------------------------------------------------------------------- table file

void putBytes(std::vector<UInt8>& out, const void* data, size_t length) {
    const UInt8* p = static_cast<const UInt8*>(data);
    out.insert(out.end(), p, p + length);
}

template <class T>
void put(std::vector<UInt8>& out, T value) {
    putBytes(out, &value, sizeof(value));
}

template <class T>
T get(const UInt8* at) {
    T value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

bool readWhole(FILE* f, void* data, size_t length) { return std::fread(data, 1, length, f) == length; }

// ----------------------------------------------------------------------------- spec file

// The field without its surrounding blanks and carriage returns.
std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// One limit field as the entry's type reads it: "NA" in any case is no limit,
// signed integers decimal, unsigned ones decimal or "0x" hexadecimal, floating
// values with a '.'. The whole field must be the number.
bool parseLimit(SInt32 type, std::string_view field, double* out) {
    field = trimmed(field);
    if (field.empty() || field.size() > 400) return false;
    if (field.size() == 2 && strncasecmp(field.data(), "na", 2) == 0) {
        *out = kZelk_noValue;
        return true;
    }
    const std::string text(field);
    if (text.find('\0') != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    if (isSigned(type)) {
        const long long v = std::strtoll(text.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
        *out = static_cast<double>(v);
    } else if (isUnsigned(type)) {
        if (text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
        const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
        if (errno != 0 || *end != '\0' || v > UINT32_MAX) return false;
        *out = static_cast<double>(v);
    } else {
        const double v = pf::number::parse(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0') return false;
        *out = v;
    }
    return true;
}

std::string limitText(SInt32 type, double v) {
    if (v == kZelk_noValue) return "NA";
    if (isFloating(type)) return pf::number::text("%f", v);
    if (std::isnan(v)) return "NA";
    if (isUnsigned(type)) return pf::number::text("%u", saturate<UInt32>(v));
    return pf::number::text("%d", saturate<SInt32>(v));
}

// The line that begins with the title followed by ',', searched in the text the
// checksum covers; npos when there is none.
size_t findTitleLine(std::string_view text, const char* title) {
    const std::string key = std::string(title) + ",";
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, key.size(), key) == 0) return at;
        const size_t nl = text.find('\n', at);
        if (nl == std::string_view::npos) break;
        at = nl + 1;
    }
    return std::string_view::npos;
}

void specLoadError(const char* title) { ZLM_PrintError(nullptr, "[spec load error] invalid spec file format, %s\n", title); }

}  // namespace

// ----------------------------------------------------------------------------- creation

iZelk_SpecManager* ZSP_Create(const tZelk_SpecItem* templates, SInt32 count) {
    if (!templates || count < 1 || count > 65535) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return nullptr;
    }
    for (SInt32 i = 0; i < count; ++i) {
        if (!templates[i].title || templates[i].type < kZSP_u8 || templates[i].type > kZSP_text) {
            ZERR_REPORT(nullptr, kZErr_invalidParam);
            return nullptr;
        }
    }
    iZelk_SpecManager* m = new (std::nothrow) iZelk_SpecManager;
    if (m) {
        m->tablePath = new (std::nothrow) char[iZelk_SpecManager::kPathSize]();
        m->defaults = new (std::nothrow) tZelk_SpecItem[static_cast<size_t>(count)];
        m->entries = new (std::nothrow) tZelk_SpecItem[static_cast<size_t>(count)];
    }
    if (!m || !m->tablePath || !m->defaults || !m->entries) {
        ZERR_REPORT(nullptr, kZErr_memAllocationFailed);
        if (m) {
            delete[] m->tablePath;
            delete[] m->defaults;
            delete[] m->entries;
            delete m;
        }
        return nullptr;
    }
    m->count = static_cast<UInt16>(count);
    for (SInt32 i = 0; i < count; ++i) {
        m->defaults[i] = templates[i];
        m->defaults[i].text[sizeof(m->defaults[i].text) - 1] = '\0';
        m->entries[i] = m->defaults[i];
        m->titleWidth = std::max(m->titleWidth, static_cast<SInt32>(std::strlen(templates[i].title)));
    }
    m->errCode = -1;
    copyText(m->errText, sizeof(m->errText), kNoError);

    std::string var = zelk::roots::get().var;
    if (var.empty() || var.back() != '/') var.push_back('/');
    ZSP_SetSpecTableFile(m, (var + kTableFileName).c_str());
    ZSP_LoadSpecTable(m);
    return m;
}

void ZSP_Delete(iZelk_SpecManager** handle) {
    if (!handle || !*handle) return;
    iZelk_SpecManager* m = *handle;
    *handle = nullptr;
    ZSP_SaveSpecTable(m);  // a failed save is reported there
    delete[] m->tablePath;
    delete[] m->defaults;
    delete[] m->entries;
    delete m;
}

// ----------------------------------------------------------------------------- table file

SInt32 ZSP_SetSpecTableFile(iZelk_SpecManager* m, const char* path) {
    if (!m || !path || std::strlen(path) >= iZelk_SpecManager::kPathSize) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    copyText(m->tablePath, iZelk_SpecManager::kPathSize, path);
    m->errCode = 0;
    m->errText[0] = '\0';
    return kZErr_OK;
}

SInt32 ZSP_SaveSpecTable(iZelk_SpecManager* m) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    std::vector<UInt8> bytes;
    bytes.reserve(kHeadBytes + kEntryBytes * m->count + kTailBytes);
    put(bytes, m->startTime);
    putBytes(bytes, m->startText, sizeof(m->startText));
    put(bytes, m->count);
    for (UInt16 i = 0; i < m->count; ++i) {
        const tZelk_SpecItem& e = m->entries[i];
        put(bytes, e.type);
        put(bytes, SInt32{0});  // reserved
        put(bytes, e.lower);
        put(bytes, e.upper);
        put(bytes, e.value);
        putBytes(bytes, e.text, sizeof(e.text));
    }
    put(bytes, m->errCode);
    putBytes(bytes, m->errText, sizeof(m->errText));

    // Replaced whole: a reader, or the next run after a crash, finds the old table or the new one.
    const u16 rc = m->tablePath[0] == '\0' ? static_cast<u16>(kNKErr_fileOpenFailed)
                                           : nkFile_writeReplacing(m->tablePath, {{bytes.data(), bytes.size()}});
    if (rc != kNKErr_OK) {
        const SInt32 code = rc == kNKErr_fileOpenFailed ? kZErr_fileOpenFailed : kZErr_fileWriteFailed;
        ZERR_REPORT(nullptr, code);
        return code;
    }
    chmod(m->tablePath, 0666);  // every station account runs the next test
    return kZErr_OK;
}

SInt32 ZSP_LoadSpecTable(iZelk_SpecManager* m) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    SInt32 code = kZErr_OK;
    FILE* f = m->tablePath[0] == '\0' ? nullptr : std::fopen(m->tablePath, "rb");
    if (!f) {
        ZSP_SetStartTime(m);
        code = kZErr_fileOpenFailed;
    } else {
        // Everything is read and checked before anything of the manager changes.
        UInt8 head[kHeadBytes];
        std::vector<UInt8> body;
        if (!readWhole(f, head, sizeof(head))) {
            code = kZErr_fileReadFailed;
        } else if (get<UInt16>(head + 40) != m->count) {
            code = kZErr_specTableUpdated;
        } else {
            body.resize(kEntryBytes * m->count + kTailBytes);
            if (!readWhole(f, body.data(), body.size())) code = kZErr_fileReadFailed;
        }
        std::fclose(f);
        // Entries of other types than the templates' belong to another table.
        for (UInt16 i = 0; code == kZErr_OK && i < m->count; ++i)
            if (get<SInt32>(body.data() + kEntryBytes * i) != m->defaults[i].type) code = kZErr_specTableUpdated;
        if (code == kZErr_OK) {
            m->startTime = get<double>(head);
            copyText(m->startText, sizeof(m->startText),
                     std::string(reinterpret_cast<const char*>(head + 8), iZelk_SpecManager::kTimeSize).c_str());
            for (UInt16 i = 0; i < m->count; ++i) {
                const UInt8* at = body.data() + kEntryBytes * i;
                tZelk_SpecItem& e = m->entries[i];
                e.lower = get<double>(at + 8);
                e.upper = get<double>(at + 16);
                e.value = get<double>(at + 24);
                std::memcpy(e.text, at + 32, sizeof(e.text));
                e.text[sizeof(e.text) - 1] = '\0';
            }
            const UInt8* tail = body.data() + kEntryBytes * m->count;
            m->errCode = get<SInt32>(tail);
            std::memcpy(m->errText, tail + 4, sizeof(m->errText));
            m->errText[sizeof(m->errText) - 1] = '\0';
            return kZErr_OK;
        }
    }
    ZERR_REPORT(nullptr, code);
    // The table starts afresh; the caller hears why, or that even the fresh table could not be saved.
    const SInt32 init = ZSP_InitSpecTable(m);
    return init != kZErr_OK ? init : code;
}

SInt32 ZSP_InitSpecTable(iZelk_SpecManager* m) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    std::memcpy(static_cast<void*>(m->entries), m->defaults, sizeof(tZelk_SpecItem) * m->count);
    m->errCode = -1;
    copyText(m->errText, sizeof(m->errText), kNoError);
    const SInt32 code = ZSP_SaveSpecTable(m);
    ZSP_SetStartTime(m);
    return code;
}

// ----------------------------------------------------------------------------- entries

SInt32 ZSP_OverrideSpec(iZelk_SpecManager* m, SInt32 index, double lower, double upper) {
    const SInt32 code = checkEntry(m, index, __func__, isNumeric);
    if (code != kZErr_OK) return code;
    m->entries[index].lower = lower;
    m->entries[index].upper = upper;
    return kZErr_OK;
}

SInt32 ZSP_RecordDat(iZelk_SpecManager* m, SInt32 index, double value) {
    const SInt32 code = checkEntry(m, index, __func__, isNumeric);
    if (code != kZErr_OK) return code;
    m->entries[index].value = value;
    return kZErr_OK;
}

SInt32 ZSP_RecordStr(iZelk_SpecManager* m, SInt32 index, const char* text) {
    SInt32 code = checkEntry(m, index, __func__, isText);
    if (code == kZErr_OK && !text) {
        code = kZErr_invalidDataId;
        ZERR_REPORT(nullptr, code);
    }
    if (code != kZErr_OK) return code;
    copyText(m->entries[index].text, sizeof(m->entries[index].text), text);
    return kZErr_OK;
}

SInt32 ZSP_GetDat(iZelk_SpecManager* m, SInt32 index, double* value) {
    if (!value) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    const SInt32 code = checkEntry(m, index, __func__, isNumeric);
    if (code != kZErr_OK) return code;
    *value = m->entries[index].value;
    return *value == kZelk_noValue ? kZErr_no_data_recorded : kZErr_OK;
}

SInt32 ZSP_GetStr(iZelk_SpecManager* m, SInt32 index, const char** text) {
    if (!text) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    const SInt32 code = checkEntry(m, index, __func__, isText);
    if (code != kZErr_OK) return code;
    *text = m->entries[index].text;
    return kZErr_OK;
}

tZelk_SpecItem* ZSP_GetTestItem(iZelk_SpecManager* m, SInt32 index) {
    if (!m || index < 0 || index >= static_cast<SInt32>(m->count)) return nullptr;
    return &m->entries[index];
}

// ----------------------------------------------------------------------------- check and list

SInt32 ZSP_CheckSpec(iZelk_SpecManager* m, SInt32 index, iZelk_LogManager* lm, const char* valueFormat) {
    SInt32 code = checkEntry(m, index, __func__, isNumeric);
    if (code != kZErr_OK) return code;
    const tZelk_SpecItem& e = m->entries[index];
    const double lo = e.lower, hi = e.upper, v = e.value;
    if (std::isnan(v))
        code = kZErr_dataCheckError;
    else if (lo != kZelk_noValue && v < lo)
        code = kZErr_OOS;
    else if (hi != kZelk_noValue && v > hi)
        code = kZErr_OOS;
    else if (v == kZelk_noValue)
        code = kZErr_no_data_recorded;
    if (!lm) return code;

    ValueFormat vf;
    if (!parseValueFormat(valueFormat, &vf)) parseValueFormat(kDefaultValueFormat, &vf);
    const size_t titleLength = std::strlen(e.title);
    std::string line = e.title;
    line += " :";
    if (static_cast<size_t>(m->titleWidth) > titleLength) line.append(static_cast<size_t>(m->titleWidth) - titleLength, ' ');
    line += '\t';
    line += v == kZelk_noValue ? std::string("[NODATA]") : formatValue(vf, shown(e.type, v));
    if (code != kZErr_OK) {
        const bool hasLo = lo != kZelk_noValue, hasHi = hi != kZelk_noValue;
        const std::string l = hasLo ? formatValue(vf, shown(e.type, lo)) : std::string();
        const std::string u = hasHi ? formatValue(vf, shown(e.type, hi)) : std::string();
        if (hasLo && hasHi && lo != hi)
            line += "\t(exp. " + l + " ~ " + u + ")";
        else if (hasLo && hasHi)
            line += "\t(exp. == " + l + ")";
        else if (hasLo)
            line += "\t(exp. >= " + l + ")";
        else if (hasHi)
            line += "\t(exp. <= " + u + ")";
    }
    if (line.size() > kCheckLine - 1) line.resize(kCheckLine - 1);
    ZLM_PrintText(lm, 0, "%s", line.c_str());
    return code;
}

SInt32 ZSP_ListSpec(iZelk_SpecManager* m, iZelk_LogManager* lm) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    if (m->count == 0) {
        ZLM_PrintText(lm, 0, "No Spec Entry");
        return kZErr_OK;
    }
    const size_t width = static_cast<size_t>(m->titleWidth);
    std::string head = "spec";
    if (width > 4) head.append(width - 4, ' ');
    head += "\t      lower\t  cur value\t      upper\n";
    head += std::string(head.size() + 12, '=') + "\n";
    ZLM_PrintString(lm, 0, "%s", head.c_str());
    for (UInt16 i = 0; i < m->count; ++i) {
        const tZelk_SpecItem& e = m->entries[i];
        std::string line = e.title;
        if (width > line.size()) line.append(width - line.size(), ' ');
        line += '\t';
        if (isText(e.type)) {
            std::string t = e.text[0] == '\0' ? std::string("NA") : std::string(e.text);
            if (t.size() > 11) t = t.substr(0, 9) + "..";
            line += pf::number::text("         NA\t%11s\t         NA", t.c_str());
        } else if (!isNumeric(e.type)) {
            line += "         NA\t         NA\t         NA";
        } else {
            line += listValue(e.type, e.lower) + listValue(e.type, e.value) + listValue(e.type, e.upper);
        }
        line += '\n';
        ZLM_PrintString(lm, 0, "%s", line.c_str());
    }
    ZLM_PrintText(lm, 0, "err=%3d (%s)", m->errCode, m->errCode == 0 ? "OK" : m->errText);
    return kZErr_OK;
}

// ----------------------------------------------------------------------------- spec file

SInt32 ZSP_SpecFileCreate(iZelk_SpecManager* m, const char* path) {
    if (!m || !path || path[0] == '\0') {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    std::string text = kSpecHeader;
    for (UInt16 i = 0; i < m->count; ++i) {
        const tZelk_SpecItem& e = m->entries[i];
        if (!isNumeric(e.type)) continue;
        text += e.title;
        text += ',' + limitText(e.type, e.lower) + ',' + limitText(e.type, e.upper) + ",\n";
    }
    const UInt32 sum = static_cast<UInt32>(ZUTIL_CalculateChecksum(text.data(), text.size())) ^ kChecksumMask;
    text += pf::number::text("%s%08X", kChecksumTag, sum);

    const u16 rc = nkFile_writeReplacing(path, {{text.data(), text.size()}});
    if (rc != kNKErr_OK) {
        const SInt32 code = rc == kNKErr_fileOpenFailed ? kZErr_fileOpenFailed : kZErr_fileWriteFailed;
        ZERR_REPORT(nullptr, code);
        return code;
    }
    return kZErr_OK;
}

SInt32 ZSP_LoadSpecFile(iZelk_SpecManager* m, const char* path) {
    if (!m || !path) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        ZERR_REPORT(nullptr, kZErr_fileOpenFailed);
        return kZErr_fileOpenFailed;
    }
    const SInt64 size = ZUTIL_GetFileSize(f);
    std::string text;
    SInt32 code = kZErr_OK;
    if (size < 0 || size > kMaxSpecFile) {
        code = kZErr_fileReadFailed;
    } else {
        text.resize(static_cast<size_t>(size));
        if (!readWhole(f, text.data(), text.size())) code = kZErr_fileReadFailed;
    }
    std::fclose(f);
    if (code != kZErr_OK) {
        ZERR_REPORT(nullptr, code);
        return code;
    }

    // The checksum covers the text before its line; nothing after it is read.
    const size_t tag = text.find(kChecksumTag);
    UInt32 stored = 0;
    bool readable = false;
    if (tag != std::string::npos) {
        const char* digits = text.c_str() + tag + std::strlen(kChecksumTag);
        int n = 0;
        while (n < 8 && std::isxdigit(static_cast<unsigned char>(digits[n]))) {
            const char c = digits[n++];
            stored = stored << 4 | static_cast<UInt32>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                                                 : (c | 0x20) - 'a' + 10);
        }
        readable = n > 0;
    }
    if (!readable || stored != (static_cast<UInt32>(ZUTIL_CalculateChecksum(text.data(), tag)) ^ kChecksumMask)) {
        ZERR_REPORT(nullptr, kZErr_invalidChecksum);
        return kZErr_invalidChecksum;
    }

    const std::string_view body(text.data(), tag);
    for (UInt16 i = 0; i < m->count; ++i) {
        tZelk_SpecItem& e = m->entries[i];
        if (!isNumeric(e.type)) continue;
        const size_t at = findTitleLine(body, e.title);
        if (at == std::string_view::npos) continue;
        size_t end = body.find('\n', at);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view line = body.substr(at, end - at);
        const size_t first = std::strlen(e.title);  // the ',' right after the title
        const size_t second = line.find(',', first + 1);
        if (second == std::string_view::npos) {
            specLoadError(e.title);
            continue;
        }
        const size_t third = line.find(',', second + 1);
        const std::string_view lowerField = line.substr(first + 1, second - first - 1);
        const std::string_view upperField =
            line.substr(second + 1, third == std::string_view::npos ? std::string_view::npos : third - second - 1);
        double lower = 0, upper = 0;
        if (!parseLimit(e.type, lowerField, &lower) || !parseLimit(e.type, upperField, &upper)) {
            specLoadError(e.title);
            continue;
        }
        e.lower = lower;
        e.upper = upper;
    }
    return kZErr_OK;
}

// ----------------------------------------------------------------------------- first error and times

SInt32 ZSP_RecordErr(iZelk_SpecManager* m, SInt32 code, const char* text) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    if (m->errCode <= 0) {
        m->errCode = code;
        if (text) copyText(m->errText, sizeof(m->errText), text);
    }
    return kZErr_OK;
}

SInt32 ZSP_ResetErr(iZelk_SpecManager* m) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    m->errCode = 0;
    m->errText[0] = '\0';
    return kZErr_OK;
}

SInt32 ZSP_GetErr(iZelk_SpecManager* m, SInt32* code, const char** text) {
    if (!m || !code) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    *code = m->errCode;
    if (text) *text = m->errText;
    return kZErr_OK;
}

SInt32 ZSP_SetStartTime(iZelk_SpecManager* m) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    m->startTime = nkUtil_getTimestampStr(m->startText, sizeof(m->startText), 0);
    // A new run has no stop time yet.
    m->stopText[0] = '\0';
    m->elapsed = 0;
    return kZErr_OK;
}

const char* ZSP_GetStartTime(iZelk_SpecManager* m, double* startTime) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return nullptr;
    }
    if (startTime) *startTime = m->startTime;
    return m->startText;
}

SInt32 ZSP_SetStopTime(iZelk_SpecManager* m) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    const double now = nkUtil_getTimestampStr(m->stopText, sizeof(m->stopText), 0);
    m->elapsed = now - m->startTime;
    return kZErr_OK;
}

const char* ZSP_GetStopTime(iZelk_SpecManager* m, double* elapsed) {
    if (!m) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return nullptr;
    }
    if (m->stopText[0] == '\0') ZSP_SetStopTime(m);
    if (elapsed) *elapsed = m->elapsed;
    return m->stopText;
}
// ----------------------------------------------------------------------------- SpecGeneratePlist

namespace {

constexpr const char* kGeneratePlistName = "[Zelk_ProjectBase SpecGeneratePlist:]";
constexpr const char* kGeneratePlistUsage =
    "Usage:\tSpecGeneratePlist sourceCsvFileName targetPlistFileName [-doSimple] [-lastResultOnly]\n"
    "\t\t[NOTE] no space is expected within sourceCsvFileName and targetPlistFileName\n"
    "\t\t-doSimple:       do simple plist file\n"
    "\t\t-lastResultOnly: use the last test result only";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

SInt32 ZSP_GeneratePlist(iZelk_LogManager* lm, const char* argument) {
    const auto fail = [lm](SInt32 code, int line, const char* message) {
        if (message) ZLM_PrintError(lm, "%s", message);
        ZERR_Report(lm, __FILE__, kGeneratePlistName, line, code);
        ZLM_PrintError(lm, "SpecGeneratePlist error: invalid argument");
        ZLM_PrintText(lm, 0, "%s", kGeneratePlistUsage);
        return code;
    };
    if (!argument) return fail(kZErr_invalidParam, __LINE__, nullptr);
    const char* p = argument;
    while (isBlank(*p)) ++p;
    if (*p == '\0') return fail(kZErr_invalidParam, __LINE__, nullptr);

    const char* sourceEnd = p;
    while (*sourceEnd != '\0' && !isBlank(*sourceEnd)) ++sourceEnd;
    if (*sourceEnd == '\0' || sourceEnd - p >= PATH_MAX)
        return fail(kZErr_invalidParam, __LINE__, "Invalid source csv file name");
    const std::string source(p, sourceEnd);
    if (!ZUTIL_IsFileExist(source.c_str()))
        return fail(kZErr_fileNotExist, __LINE__, "source csv file does not exist");
    ZLM_PrintText(lm, 0, ".source csv file:   %s", source.c_str());

    p = sourceEnd;
    while (isBlank(*p)) ++p;
    const char* targetEnd = p;
    while (*targetEnd != '\0' && !isBlank(*targetEnd)) ++targetEnd;
    if (targetEnd == p || targetEnd - p >= PATH_MAX)
        return fail(kZErr_invalidParam, __LINE__, "Invalid target plist file name");
    const std::string target(p, targetEnd);
    ZLM_PrintText(lm, 0, ".target plist file: %s", target.c_str());

    const bool doSimple = strcasestr(targetEnd, "-doSimple") != nullptr;
    const bool lastResultOnly = strcasestr(targetEnd, "-lastResultOnly") != nullptr;
    ZLM_PrintText(lm, 0, ".doSimple:          %s", doSimple ? "yes" : "no");
    ZLM_PrintText(lm, 0, ".lastResultOnly:    %s", lastResultOnly ? "yes" : "no");

    const SInt32 code = ZCSV_CsvToPlist(source.c_str(), target.c_str(), false, doSimple, lastResultOnly);
    if (code != kZErr_OK) return fail(code, __LINE__, nullptr);
    ZLM_PrintText(lm, 0, "[DONE]");
    return kZErr_OK;
}
