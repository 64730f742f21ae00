// Spec-limit manager: limits, values and errors of one test run, limit checks
// and the spec CSV file.
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <strings.h>
#include <thread>
#include <unistd.h>

#include "nk_csv_common.h"
#include "nk_spec.h"
#include "nk_file.h"
#include "nk_string.h"
#include "nk_utils.h"
#include "number/pf_number.h"

namespace {

// The one numeric conversion of a caller's value format, split so that the
// value can be passed with the type the conversion letter expects.
struct ValueFormat {
    std::string prefix;  // text before the conversion, "%%" kept
    std::string spec;    // '%', flags, width and precision, no length modifier
    char letter = 0;
    std::string suffix;
};

bool parseValueFormat(const char* fmt, ValueFormat& out) {
    const std::string f(fmt);
    size_t i = 0;
    bool found = false;
    while (i < f.size()) {
        if (f[i] != '%') {
            (found ? out.suffix : out.prefix) += f[i++];
            continue;
        }
        if (i + 1 < f.size() && f[i + 1] == '%') {
            (found ? out.suffix : out.prefix) += "%%";
            i += 2;
            continue;
        }
        if (found) return false;  // a second conversion would read a missing argument
        size_t j = i + 1;
        while (j < f.size() && std::strchr("-+ #0'", f[j])) ++j;
        while (j < f.size() && std::isdigit(static_cast<unsigned char>(f[j]))) ++j;
        if (j < f.size() && f[j] == '.') {
            ++j;
            while (j < f.size() && std::isdigit(static_cast<unsigned char>(f[j]))) ++j;
        }
        const size_t specEnd = j;
        while (j < f.size() && std::strchr("hlLqjzt", f[j])) ++j;
        if (j >= f.size() || !std::strchr("diouxXcfFeEgGaA", f[j])) return false;
        out.spec = f.substr(i, specEnd - i);
        out.letter = f[j];
        found = true;
        i = j + 1;
    }
    return found;
}

std::string formatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string formatText(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = pf::number::vtext(fmt, ap);
    va_end(ap);
    return out;
}

// A number as the item's type would hold it: integers truncated and narrowed.
struct TypedValue {
    bool isInteger = false;
    bool isUnsigned = false;
    i64 s = 0;
    u64 u = 0;
    double d = 0.0;
};

TypedValue typedValue(t_nkDataType type, double v) {
    TypedValue t;
    const i64 whole = nkcsv::toI64(v);
    t.isInteger = true;
    switch (type) {
    case kNKDT_u8: t.isUnsigned = true; t.u = static_cast<u8>(whole); break;
    case kNKDT_i8: t.s = static_cast<i8>(whole); break;
    case kNKDT_u16: t.isUnsigned = true; t.u = static_cast<u16>(whole); break;
    case kNKDT_i16: t.s = static_cast<i16>(whole); break;
    case kNKDT_u32: t.isUnsigned = true; t.u = static_cast<u32>(whole); break;
    case kNKDT_i32: t.s = static_cast<i32>(whole); break;
    case kNKDT_u64: t.isUnsigned = true; t.u = nkcsv::toU64(v); break;
    case kNKDT_i64: t.s = whole; break;
    case kNKDT_float: t.isInteger = false; t.d = static_cast<float>(v); break;
    default: t.isInteger = false; t.d = v; break;
    }
    if (t.isInteger) t.d = t.isUnsigned ? static_cast<double>(t.u) : static_cast<double>(t.s);
    return t;
}

// The value written with the caller's conversion, in the type its letter expects.
std::string formatValue(const ValueFormat& vf, t_nkDataType type, double v) {
    const TypedValue t = typedValue(type, v);
    const std::string body = "\t" + vf.prefix + vf.spec;
    const std::string tail = vf.suffix;
    if (std::strchr("fFeEgGaA", vf.letter)) {
        const std::string f = body + vf.letter + tail;
        return formatText(f.c_str(), t.d);
    }
    // Integer conversions: a float item goes in truncated toward zero.
    const i64 s = t.isInteger ? (t.isUnsigned ? static_cast<i64>(t.u) : t.s) : nkcsv::toI64(t.d);
    const u64 u = t.isInteger ? (t.isUnsigned ? t.u : static_cast<u64>(t.s)) : static_cast<u64>(nkcsv::toI64(t.d));
    if (vf.letter == 'c') {
        const std::string f = body + 'c' + tail;
        return formatText(f.c_str(), static_cast<int>(static_cast<unsigned char>(s)));
    }
    const std::string f = body + "ll" + vf.letter + tail;
    if (vf.letter == 'd' || vf.letter == 'i') return formatText(f.c_str(), static_cast<long long>(s));
    return formatText(f.c_str(), static_cast<unsigned long long>(u));
}

std::string padRight(const std::string& s, size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string limitText(double v) {
    if (v == kNK_noValue) return "NA";
    char buf[40];
    pf::number::format(buf, sizeof(buf), "%.17g", v);
    return buf;
}

}  // namespace

CNK_specManager::CNK_specManager() { NK_CLASS_NAME(); }

CNK_specManager::~CNK_specManager() {
    if (!nkObj_isValid(this)) return;
    std::free(_block);
    _block = nullptr;
}

u16 CNK_specManager::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

u16 CNK_specManager::setSpecTable(const t_nkDataItem* pSpecTable, int specItemCount) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_ASSERT(pSpecTable!=NULL);
    NK_ASSERT(specItemCount>0);
    if (_pSpecTable_org) {
        NK_REPORT(kNKErr_invalidCondition, "_pSpecTable_org==NULL");
        return kNKErr_invalidCondition;
    }
    const size_t n = static_cast<size_t>(specItemCount);
    const size_t tables = 2 * n * sizeof(t_nkDataItem);
    const size_t strings = __MAX_ERR_CODE_CNT__ * sizeof(const char*);
    const size_t codes = __MAX_ERR_CODE_CNT__ * sizeof(u16);
    _block = std::calloc(1, tables + strings + codes);
    if (!_block) {
        NK_REPORT(kNKErr_memoryAllocationFailed, "_pSpecTable_org!=NULL");
        return kNKErr_memoryAllocationFailed;
    }
    char* p = static_cast<char*>(_block);
    _pSpecTable_org = reinterpret_cast<t_nkDataItem*>(p);
    _pSpecTable_rtm = _pSpecTable_org + n;
    _pStrErrorStrings = reinterpret_cast<const char**>(p + tables);
    _pErrorCodes = reinterpret_cast<u16*>(p + tables + strings);
    std::memcpy(_pSpecTable_org, pSpecTable, n * sizeof(t_nkDataItem));
    _specItemCount = specItemCount;
    _longestName = 0;
    for (size_t i = 0; i < n; ++i) {
        const i32 len = _pSpecTable_org[i].name ? static_cast<i32>(std::strlen(_pSpecTable_org[i].name)) : 0;
        if (len > _longestName) _longestName = len;
    }
    initializeSpecManager();
    return kNKErr_OK;
}

u16 CNK_specManager::initializeSpecManager() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!_pSpecTable_org) {
        NK_REPORT(kNKErr_invalidCondition, "_pSpecTable_org!=NULL");
        return kNKErr_invalidCondition;
    }
    std::memcpy(_pSpecTable_rtm, _pSpecTable_org, static_cast<size_t>(_specItemCount) * sizeof(t_nkDataItem));
    resetErrList();
    setTestTime_begin();
    return kNKErr_OK;
}

void CNK_specManager::resetErrList() {
    NK_VALID_OR_RETURN_VOID();
    if (!_pErrorCodes || !_pStrErrorStrings) return;
    _errorCodeCounts = 0;
    std::memset(_pErrorCodes, 0, __MAX_ERR_CODE_CNT__ * sizeof(u16));
    std::memset(static_cast<void*>(_pStrErrorStrings), 0, __MAX_ERR_CODE_CNT__ * sizeof(const char*));
    _pErrorCodes[0] = 0xFFFF;
    _pStrErrorStrings[0] = "NO_ERROR_INITIALIZED";
}

void CNK_specManager::setTestTime_begin() {
    NK_VALID_OR_RETURN_VOID();
    _testTimeBegin = nkUtil_getTimestampStr(_testTimeBeginStr, sizeof(_testTimeBeginStr), 0);
}

void CNK_specManager::setTestTime_end() {
    NK_VALID_OR_RETURN_VOID();
    _testTimeEnd = nkUtil_getTimestampStr(_testTimeEndStr, sizeof(_testTimeEndStr), 0);
}

u16 CNK_specManager::checkId(int dataId, const char* func, int line) {
    if (!_pSpecTable_rtm) {
        nkDebug_printError(logManager, __FILE__, name, func, line, kNKErr_invalidCondition, "_pSpecTable_rtm!=NULL");
        return kNKErr_invalidCondition;
    }
    if (!(dataId >= 0 && dataId < _specItemCount)) {
        nkDebug_printError(logManager, __FILE__, name, func, line, kNKErr_invalidDataId,
                           "dataId>=0 && dataId<_specItemCount");
        return kNKErr_invalidDataId;
    }
    return kNKErr_OK;
}

#define NK_CHECK_ID(id) checkId((id), __func__, __LINE__)

t_nkDataItem* CNK_specManager::getDataItem(int dataId) {
    NK_VALID_OR_RETURN(nullptr);
    if (NK_CHECK_ID(dataId)) return nullptr;
    return &_pSpecTable_rtm[dataId];
}

double CNK_specManager::getLimitLower(int dataId) {
    NK_VALID_OR_RETURN(kNK_noValue);
    if (NK_CHECK_ID(dataId)) return kNK_noValue;
    return _pSpecTable_rtm[dataId].limitLower;
}

double CNK_specManager::getLimitUpper(int dataId) {
    NK_VALID_OR_RETURN(kNK_noValue);
    if (NK_CHECK_ID(dataId)) return kNK_noValue;
    return _pSpecTable_rtm[dataId].limitUpper;
}

u16 CNK_specManager::overrideSpec(int dataId, double lower, double upper) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (const u16 rtn = NK_CHECK_ID(dataId)) return rtn;
    if (_pSpecTable_rtm[dataId].dataType == k_nkDataType_string) {
        NK_REPORT(kNKErr_invalidDataType, "_pSpecTable_rtm[dataId].dataType!=k_nkDataType_string");
        return kNKErr_invalidDataType;
    }
    _pSpecTable_rtm[dataId].limitLower = lower;
    _pSpecTable_rtm[dataId].limitUpper = upper;
    return kNKErr_OK;
}

u16 CNK_specManager::recordDat(int dataId, double value) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (const u16 rtn = NK_CHECK_ID(dataId)) return rtn;
    if (_pSpecTable_rtm[dataId].dataType == k_nkDataType_string) {
        NK_REPORT(kNKErr_invalidDataType, "_pSpecTable_rtm[dataId].dataType!=k_nkDataType_string");
        return kNKErr_invalidDataType;
    }
    _pSpecTable_rtm[dataId].value = value;
    return kNKErr_OK;
}

u16 CNK_specManager::recordStr(int dataId, const char* text) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (const u16 rtn = NK_CHECK_ID(dataId)) return rtn;
    if (_pSpecTable_rtm[dataId].dataType != k_nkDataType_string) {
        NK_REPORT(kNKErr_invalidDataType, "_pSpecTable_rtm[dataId].dataType==k_nkDataType_string");
        return kNKErr_invalidDataType;
    }
    char* dst = _pSpecTable_rtm[dataId].text;
    std::snprintf(dst, 255, "%s", text ? text : "");
    return kNKErr_OK;
}

double CNK_specManager::getDat(int dataId) {
    NK_VALID_OR_RETURN(kNK_noValue);
    if (NK_CHECK_ID(dataId)) return kNK_noValue;
    return _pSpecTable_rtm[dataId].value;
}

const char* CNK_specManager::getStr(int dataId) {
    NK_VALID_OR_RETURN(nullptr);
    if (NK_CHECK_ID(dataId)) return nullptr;
    return _pSpecTable_rtm[dataId].text;
}

u16 CNK_specManager::recordErr(u16 code, const char* errStr) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_ASSERT(_pErrorCodes!=NULL);
    NK_ASSERT(_pStrErrorStrings!=NULL);
    NK_ASSERT(errStr);
    if (_errorCodeCounts == 0) {
        _pErrorCodes[0] = 0;
        _pStrErrorStrings[0] = nkError_getErrorString(0);
    }
    if (code == 0) return kNKErr_OK;
    if (_errorCodeCounts >= __MAX_ERR_CODE_CNT__) {
        NK_REPORT(kNKErr_invalidCondition, "_errorCodeCounts<__MAX_ERR_CODE_CNT__");
        return kNKErr_invalidCondition;
    }
    _pErrorCodes[_errorCodeCounts] = code;
    _pStrErrorStrings[_errorCodeCounts] = errStr;
    ++_errorCodeCounts;
    return kNKErr_OK;
}

u16 CNK_specManager::checkspec(int dataId, const char* format) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!_pSpecTable_org) {
        NK_REPORT(kNKErr_invalidCondition, "_pSpecTable_org!=NULL");
        return kNKErr_invalidCondition;
    }
    if (!format) {
        NK_REPORT(kNKErr_invalidPointer, "format!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!(dataId >= 0 && dataId < _specItemCount)) {
        NK_REPORT(kNKErr_invalidDataId, "dataId>=0 && dataId<_specItemCount");
        return kNKErr_invalidDataId;
    }
    const t_nkDataItem* pItem = &_pSpecTable_rtm[dataId];
    if (pItem->dataType == k_nkDataType_string) {
        NK_REPORT(kNKErr_invalidDataType, "pItem->dataType!=k_nkDataType_string");
        return kNKErr_invalidDataType;
    }
    // The format is the caller's text: it may hold only one numeric conversion.
    ValueFormat vf;
    if (!parseValueFormat(format, vf)) {
        NK_REPORT(kNKErr_invalidParam, "one numeric conversion in format");
        return kNKErr_invalidParam;
    }
    const double v = pItem->value;
    if (v == kNK_noValue) {
        NK_REPORT(kNKErr_noDataAvailable, nullptr);
        return kNKErr_noDataAvailable;
    }
    if (!std::isfinite(v)) {
        NK_REPORT(kNKErr_unknown, nullptr);
        return kNKErr_unknown;
    }
    const double lo = pItem->limitLower, hi = pItem->limitUpper;
    const bool hasLo = lo != kNK_noValue, hasHi = hi != kNK_noValue;
    const u16 rtn = ((hasLo && lo > v) || (hasHi && hi < v)) ? kNKErr_OOS : kNKErr_OK;

    std::string line = padRight(std::string(pItem->name ? pItem->name : "") + ":", static_cast<size_t>(_longestName) + 1);
    line += formatValue(vf, pItem->dataType, v);
    if (rtn == kNKErr_OOS) {
        if (hasHi && !hasLo) line += "\t(exp. <= " + formatValue(vf, pItem->dataType, hi) + ")";
        else if (hasLo && !hasHi) line += "\t(exp. >= " + formatValue(vf, pItem->dataType, lo) + ")";
        else if (lo == hi) line += "\t(exp. == " + formatValue(vf, pItem->dataType, lo) + ")";
        else line += "\t(exp. " + formatValue(vf, pItem->dataType, lo) + " ~ " + formatValue(vf, pItem->dataType, hi) + ")";
    }
    if (nkObj_isValid(logManager)) logManager->printText(kVL1, "%s", line.c_str());
    return rtn;
}

u16 CNK_specManager::listSpec() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (_specItemCount <= 0) {
        NK_REPORT(kNKErr_invalidCondition, "_specItemCount>0");
        return kNKErr_invalidCondition;
    }
    const size_t width = static_cast<size_t>(_longestName);
    std::string head = width < 5 ? std::string("spec") : padRight("spec", width);
    head += "\t      lower\t  cur value\t      upper\n";
    std::string text = head + std::string(head.size() + 12, '-') + "\n";

    auto cell = [](const t_nkDataItem& it, double v) -> std::string {
        if (v == kNK_noValue) return formatText("%11s", "NA");
        switch (it.dataType) {
        case kNKDT_u8:
        case kNKDT_u16:
        case kNKDT_u32: return formatText("%11llu", static_cast<unsigned long long>(typedValue(it.dataType, v).u));
        case kNKDT_i8:
        case kNKDT_i16:
        case kNKDT_i32: return formatText("%11lld", static_cast<long long>(typedValue(it.dataType, v).s));
        case kNKDT_float: return formatText("%11.3f", static_cast<double>(static_cast<float>(v)));
        case kNKDT_double: return formatText("%11.3f", v);
        default: return formatText("%11s", "NA");
        }
    };
    for (int i = 0; i < _specItemCount; ++i) {
        const t_nkDataItem& it = _pSpecTable_rtm[i];
        std::string row = padRight(it.name ? it.name : "", width) + "\t";
        if (it.dataType == k_nkDataType_string) {
            const size_t len = strnlen(it.text, sizeof(it.text));
            std::string shown = len == 0 ? "NA" : len >= 12 ? std::string(it.text, 9) + ".." : std::string(it.text, len);
            row += formatText("%11s", "NA") + "\t" + formatText("%11s", shown.c_str()) + "\t" + formatText("%11s", "NA");
        } else {
            row += cell(it, it.limitLower) + "\t" + cell(it, it.value) + "\t" + cell(it, it.limitUpper);
        }
        text += row + "\n";
    }
    if (nkObj_isValid(logManager)) logManager->printText(kVL1, "%s", text.c_str());
    return kNKErr_OK;
}

u16 CNK_specManager::exportSpecToCsv(const char* csvFileName) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!csvFileName) {
        NK_REPORT(kNKErr_invalidParam, "csvFileName");
        return kNKErr_invalidParam;
    }
    char stamp[64] = "";
    nkUtil_getTimestampStr(stamp, sizeof(stamp), 0);
    // Written beside the old file and renamed over it: a failed export loses nothing.
    const u16 rtn = nkcsv::writeFileAtomically(csvFileName, [&](FILE* fp) {
        std::fprintf(fp, "NerraSpecTable,exported,%s\n", stamp);
        std::fprintf(fp, "[begin] revision history\n");
        std::fprintf(fp, "[end]\trevision history\n");
        std::fprintf(fp, "%s\n", std::string(35, '=').c_str());
        std::fprintf(fp, "spec_symbol,lower_limit,upper_limit\n");
        for (int i = 0; i < _specItemCount && _pSpecTable_rtm; ++i) {
            const t_nkDataItem& it = _pSpecTable_rtm[i];
            if (it.dataType == k_nkDataType_string) continue;
            // Seventeen digits give every double back exactly on import.
            std::fprintf(fp, "%s,%s,%s\n", it.name ? it.name : "", limitText(it.limitLower).c_str(),
                         limitText(it.limitUpper).c_str());
        }
        return !std::ferror(fp);
    });
    if (rtn == kNKErr_fileOpenFailed) NK_REPORT(rtn, "fp!=NULL");
    else if (rtn != kNKErr_OK) NK_REPORT(rtn, "written");
    return rtn;
}

u16 CNK_specManager::importSpecFromCsv(const char* csvFileName) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!csvFileName) {
        NK_REPORT(kNKErr_invalidParam, "csvFileName");
        return kNKErr_invalidParam;
    }
    std::printf("[len=%lu] %s\n", static_cast<unsigned long>(std::strlen(csvFileName)), csvFileName);
    if (!nkFile_isFileExist(csvFileName)) {
        NK_REPORT(kNKErr_fileNotExist, "nkFile_isFileExist(csvFileName)");
        return kNKErr_fileNotExist;
    }
    FILE* fp = std::fopen(csvFileName, "rb");
    if (!fp) {
        NK_REPORT(kNKErr_fileOpenFailed, "fp");
        return kNKErr_fileOpenFailed;
    }
    const u64 size = nkFile_getFileSize(fp);
    if (size < 1) {
        std::fclose(fp);
        NK_REPORT(kNKErr_memoryAllocationFailed, "fileSize>0");
        return kNKErr_memoryAllocationFailed;
    }
    // A file larger than memory must come back as an error, not as an exception.
    std::string text;
    std::string norm;
    try {
        text.resize(size + 1);
        norm.reserve(size + 1);
    } catch (const std::bad_alloc&) {
        std::fclose(fp);
        NK_REPORT(kNKErr_memoryAllocationFailed, "fileText");
        return kNKErr_memoryAllocationFailed;
    }
    text.resize(size);
    const size_t got = std::fread(text.data(), 1, text.size(), fp);
    std::fclose(fp);
    if (got != size) {
        NK_REPORT(kNKErr_fileReadFailed, "readLeng==fileSize");
        return kNKErr_fileReadFailed;
    }

    // Normalise: '\r' ends a line too, blank lines vanish, nan and inf are no limit.
    text += '\n';
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] == '\r' ? '\n' : text[i];
        if (c == '\n' && !norm.empty() && norm.back() == '\n') continue;
        if (c == ',' && (strncasecmp(text.c_str() + i, ",nan", 4) == 0 || strncasecmp(text.c_str() + i, ",inf", 4) == 0)) {
            norm += ",NA";
            i += 3;
            continue;
        }
        norm += c;
    }

    const char* hit = strcasestr(norm.c_str(), "spec_symbol");
    const char* items = hit ? std::strchr(hit, '\n') : nullptr;
    if (!items) {
        NK_REPORT(kNKErr_invalidFormat, "spec_symbol");
        return kNKErr_invalidFormat;
    }
    ++items;
    const int count = static_cast<int>(nkStr_checkTextCount(items, "\n"));
    std::printf("Item Count = %d\n", count);

    struct Row {
        std::string name;
        double lower, upper;
    };
    std::vector<Row> rows;
    auto readLimit = [](const std::string& t, double& out) {
        if (strcasecmp(t.c_str(), "NA") == 0) {
            out = kNK_noValue;
            return true;
        }
        char* end = nullptr;
        out = pf::number::parse(t.c_str(), &end);
        return end != t.c_str();
    };
    const char* p = items;
    while (*p) {
        const char* eol = std::strchr(p, '\n');
        const std::string line(p, eol ? eol : p + std::strlen(p));
        p = eol ? eol + 1 : p + line.size();
        std::printf("%s\n", line.c_str());
        const size_t c1 = line.find(',');
        const size_t c2 = c1 == std::string::npos ? c1 : line.find(',', c1 + 1);
        if (c2 == std::string::npos) {
            NK_REPORT(kNKErr_invalidFormat, "two commas per item line");
            return kNKErr_invalidFormat;
        }
        Row r{line.substr(0, c1), 0, 0};
        const std::string lo = line.substr(c1 + 1, c2 - c1 - 1), hi = line.substr(c2 + 1);
        if (!readLimit(lo, r.lower) || !readLimit(hi, r.upper)) {
            std::printf("%s\n", readLimit(lo, r.lower) ? hi.c_str() : lo.c_str());
            NK_REPORT(kNKErr_invalidFormat, "limit is a number or NA");
            return kNKErr_invalidFormat;
        }
        rows.push_back(std::move(r));
    }
    for (const Row& r : rows) {
        for (int i = 0; i < _specItemCount; ++i) {
            const char* n = _pSpecTable_rtm[i].name;
            if (n && strcasecmp(n, r.name.c_str()) == 0) {
                overrideSpec(i, r.lower, r.upper);
                break;
            }
        }
    }
    return kNKErr_OK;
}
