// The station's test-log CSV writer and its property-list converter.
#include "ZelkCsvManager.h"

#include <strings.h>
#include <sys/stat.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "ZelkPaths.h"
#include "nk_csv_append.h"
#include "nk_error.h"
#include "number/pf_number.h"
#include "plist/pf_plist.h"

namespace {

// Held while a file is written and during a conversion: two threads writing one
// file never interleave their lines, and a conversion never reads half a line.
std::mutex _mtxCsvMgr;

constexpr size_t kCellText = 63;  // the longest value or limit text
constexpr size_t kItemText = 255; // the longest text of a column
constexpr size_t kPathText = 2047;

#define CSV_FAIL(code)                     \
    do {                                   \
        ZERR_REPORT(nullptr, (code));      \
        return (code);                     \
    } while (0)

bool fitsItem(const char* text) { return text && std::strlen(text) <= kItemText; }

void copyText(char (&to)[256], const char* from) {
    const size_t n = std::strlen(from);  // checked by the caller against kItemText
    std::memcpy(to, from, n);
    to[n] = '\0';
}

tZelk_CsvItemText* newItem(const char* title, const char* upper, const char* lower, const char* value) {
    auto* item = new (std::nothrow) tZelk_CsvItemText{};
    if (!item) return nullptr;
    copyText(item->title, title);
    copyText(item->upper, upper);
    copyText(item->lower, lower);
    copyText(item->value, value);
    return item;
}

// Truncation toward zero into T, saturating at its bounds: a number beyond an integer
// type must not become an arbitrary value (nor undefined behaviour). NaN is handled
// before this.
template <class T>
T clampTo(double v) {
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    if (v <= static_cast<double>(std::numeric_limits<T>::lowest())) return std::numeric_limits<T>::lowest();
    return static_cast<T>(v);
}

// The text of a limit or value in the form of its type; false when it does not fit
// 63 characters (a cut number would read as another number).
bool numberCell(UInt32 type, double v, char (&out)[64]) {
    int n = 0;
    if (v == kZelk_noValue) {
        n = pf::number::format(out, sizeof(out), "NA");
    } else if (std::isnan(v)) {
        n = pf::number::format(out, sizeof(out), "nan");
    } else if (std::isinf(v) || (type == kZCSV_Float && std::fabs(v) > FLT_MAX)) {
        n = pf::number::format(out, sizeof(out), "%s", v < 0 ? "-inf" : "inf");
    } else {
        // Types 0..3 go through a 32-bit integer to their width, so 300 as an
        // unsigned byte is 44; only the step into 32 bits saturates.
        switch (type) {
            case kZCSV_UInt8: n = pf::number::format(out, sizeof(out), "%u", static_cast<UInt8>(clampTo<SInt32>(v))); break;
            case kZCSV_SInt8: n = pf::number::format(out, sizeof(out), "%d", static_cast<SInt8>(clampTo<SInt32>(v))); break;
            case kZCSV_UInt16: n = pf::number::format(out, sizeof(out), "%u", static_cast<UInt16>(clampTo<SInt32>(v))); break;
            case kZCSV_SInt16: n = pf::number::format(out, sizeof(out), "%d", static_cast<SInt16>(clampTo<SInt32>(v))); break;
            case kZCSV_UInt32: n = pf::number::format(out, sizeof(out), "%u", clampTo<UInt32>(v)); break;
            case kZCSV_SInt32: n = pf::number::format(out, sizeof(out), "%d", clampTo<SInt32>(v)); break;
            case kZCSV_UInt64:
                n = pf::number::format(out, sizeof(out), "%llu", static_cast<unsigned long long>(clampTo<UInt64>(v)));
                break;
            case kZCSV_SInt64:
                n = pf::number::format(out, sizeof(out), "%lld", static_cast<long long>(clampTo<SInt64>(v)));
                break;
            case kZCSV_Float: n = pf::number::format(out, sizeof(out), "%f", static_cast<double>(static_cast<float>(v))); break;
            default: n = pf::number::format(out, sizeof(out), "%lf", v); break;
        }
    }
    return n >= 0 && static_cast<size_t>(n) <= kCellText;
}

SInt32 addItem(iZelk_CsvManager* csv, const tZelk_CsvItem* item, bool attribute, const char* func) {
    if (!csv || !item || !fitsItem(item->title)) {
        ZERR_REPORT_IN(nullptr, func, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    UInt32& count = attribute ? csv->attrCount : csv->dataCount;
    const UInt32 limit = attribute ? iZelk_CsvManager::kMaxAttr : iZelk_CsvManager::kMaxData;
    const size_t textLength = strnlen(item->valueText, sizeof(item->valueText));
    // A full record, or a value text without its end inside the item, is refused:
    // nothing is cut or written past the record.
    bool ok = count < limit && (attribute || item->type <= kZCSV_Text) &&
              (textLength < sizeof(item->valueText) || (!attribute && item->type != kZCSV_Text));
    char upper[64] = "NA", lower[64] = "NA", value[64] = "NA";
    if (ok && attribute) {
        std::memcpy(value, item->valueText, textLength);
        value[textLength] = '\0';
    } else if (ok && item->type == kZCSV_Text) {
        if (textLength > 0) {
            std::memcpy(value, item->valueText, textLength);
            value[textLength] = '\0';
        }
    } else if (ok) {
        ok = numberCell(item->type, item->limitUpper, upper) && numberCell(item->type, item->limitLower, lower) &&
             numberCell(item->type, item->value, value);
    }
    if (!ok) {
        ZERR_REPORT_IN(nullptr, func, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    tZelk_CsvItemText* text = newItem(item->title, attribute ? "" : upper, attribute ? "" : lower, value);
    if (!text) {
        ZERR_REPORT_IN(nullptr, func, kZErr_memAllocationFailed);
        return kZErr_memAllocationFailed;
    }
    (attribute ? csv->attrItems : csv->dataItems)[count++] = text;
    return kZErr_OK;
}

// One line of the file: one cell per column, each followed by ",". `part` picks the
// cell of an item; attributes give `attrCell` when it is set.
template <class Part>
void appendLine(std::string& out, const iZelk_CsvManager* csv, Part part, const char* attrCell) {
    for (UInt32 i = 0; i < csv->fixedCount; ++i) out.append(nkcsv::safeCell(part(*csv->fixedItems[i]))).push_back(',');
    for (UInt32 i = 0; i < csv->attrCount; ++i)
        out.append(attrCell ? std::string(attrCell) : nkcsv::safeCell(part(*csv->attrItems[i]))).push_back(',');
    for (UInt32 i = 0; i < csv->dataCount; ++i) out.append(nkcsv::safeCell(part(*csv->dataItems[i]))).push_back(',');
    out.push_back('\n');
}

}  // namespace

// ================================================================ the writer

iZelk_CsvManager* ZCSV_Create(const char* name, const char* version, const char* serialNumber, int errCode,
                              const char* errString, const char* startTime, const char* stopTime,
                              const char* testerId, double timeStamp, double testTime) {
    const bool given = fitsItem(name) && *name && fitsItem(version) && *version && fitsItem(serialNumber) &&
                       *serialNumber && fitsItem(errString) && fitsItem(startTime) && fitsItem(stopTime) &&
                       (!testerId || fitsItem(testerId)) && timeStamp != 0 && testTime != 0;
    char code[64], stamp[256], duration[256];
    const int nStamp = pf::number::format(stamp, sizeof(stamp), "%.3f", timeStamp);
    const int nDuration = pf::number::format(duration, sizeof(duration), "%.3f", testTime);
    if (!given || nStamp < 0 || static_cast<size_t>(nStamp) > kItemText || nDuration < 0 ||
        static_cast<size_t>(nDuration) > kItemText) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return nullptr;
    }
    pf::number::format(code, sizeof(code), "%d", errCode);
    // An empty tester identifier is none: no column.
    const char* tester = testerId && *testerId ? testerId : nullptr;

    auto* csv = new (std::nothrow) iZelk_CsvManager();
    if (!csv) {
        ZERR_REPORT(nullptr, kZErr_memAllocationFailed);
        return nullptr;
    }
    copyText(csv->name, name);
    copyText(csv->version, version);
    const char* const rows[][4] = {
        {"SerialNumber", "Upper Limit----->", "Lower Limit----->", serialNumber},
        {"overallResult", "", "", errCode != 0 ? "FAIL" : "PASS"},
        {"errCode", "0", "0", code},
        {"errString", "", "", errString},
        {"startTime", "", "", startTime},
        {"stopTime", "", "", stopTime},
        {"timeStamp", "", "", stamp},
        {"testTime", "", "", duration},
        {"TesterID", "NA", "NA", tester},
    };
    for (const auto& row : rows) {
        if (!row[3]) continue;  // no tester identifier, no column
        tZelk_CsvItemText* item = newItem(row[0], row[1], row[2], row[3]);
        if (!item) {
            ZERR_REPORT(nullptr, kZErr_memAllocationFailed);
            ZCSV_Delete(&csv);
            return nullptr;
        }
        csv->fixedItems[csv->fixedCount++] = item;
    }
    return csv;
}

SInt32 ZCSV_AddItemAttr(iZelk_CsvManager* csv, const tZelk_CsvItem* item) {
    return addItem(csv, item, true, __func__);
}

SInt32 ZCSV_AddItemData(iZelk_CsvManager* csv, const tZelk_CsvItem* item) {
    return addItem(csv, item, false, __func__);
}

SInt32 ZCSV_WriteCsvFile(iZelk_CsvManager* csv, const char* path, bool perVersion) {
    return ZCSV_WriteCsvFileWithFinalFile(csv, path, perVersion, nullptr);
}

SInt32 ZCSV_WriteCsvFileWithFinalFile(iZelk_CsvManager* csv, const char* path, bool perVersion, char* finalFile) {
    if (!csv || !path || !*path || std::strlen(path) > kPathText) CSV_FAIL(kZErr_invalidParam);
    std::string fileName(path);
    const char* ext = strcasestr(fileName.c_str(), ".csv");
    if (perVersion) {
        if (ext) fileName.resize(static_cast<size_t>(ext - fileName.c_str()));
        fileName.append("_").append(csv->version).append(".csv");
    } else if (!ext) {
        fileName += ".csv";
    }
    if (fileName.size() > kPathText) CSV_FAIL(kZErr_invalidParam);
    if (finalFile) std::memcpy(finalFile, fileName.c_str(), fileName.size() + 1);

    std::string row;
    appendLine(row, csv, [](const tZelk_CsvItemText& t) { return t.value; }, nullptr);
    u16 rtn;
    {
        std::lock_guard<std::mutex> lock(_mtxCsvMgr);
        rtn = nkcsv::appendToCsvFile(fileName, [&](bool existed) {
            if (existed) return row;
            std::string block = nkcsv::safeCell(csv->name) + ",Version:" + nkcsv::safeCell(csv->version) + ",\n";
            appendLine(block, csv, [](const tZelk_CsvItemText& t) { return t.title; }, nullptr);
            appendLine(block, csv, [](const tZelk_CsvItemText& t) { return t.upper; }, "ATTRB");
            appendLine(block, csv, [](const tZelk_CsvItemText& t) { return t.lower; }, "ATTRB");
            return block + row;
        });
    }
    if (rtn == kNKErr_fileOpenFailed) CSV_FAIL(kZErr_fileOpenFailed);
    if (rtn != kNKErr_OK) CSV_FAIL(kZErr_fileWriteFailed);
    return kZErr_OK;
}

UInt32 ZCSV_GetAttrCnt(const iZelk_CsvManager* csv) { return csv ? csv->attrCount : 0; }
UInt32 ZCSV_GetDataCnt(const iZelk_CsvManager* csv) { return csv ? csv->dataCount : 0; }

void ZCSV_Delete(iZelk_CsvManager** handle) {
    if (!handle || !*handle) return;
    iZelk_CsvManager* csv = *handle;
    *handle = nullptr;
    for (UInt32 i = 0; i < csv->fixedCount; ++i) delete csv->fixedItems[i];
    for (UInt32 i = 0; i < csv->attrCount; ++i) delete csv->attrItems[i];
    for (UInt32 i = 0; i < csv->dataCount; ++i) delete csv->dataItems[i];
    delete csv;
}

// ================================================================ the converter

namespace {

using pf::plist::Value;

// The pieces of a line between commas; the last piece is the text after the last
// comma (empty in a well-formed line) and is no cell.
std::vector<std::string_view> splitCells(std::string_view line) {
    std::vector<std::string_view> out;
    size_t pos = 0;
    while (true) {
        const size_t comma = line.find(',', pos);
        out.push_back(line.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    return out;
}

std::string_view cellAt(const std::vector<std::string_view>& cells, size_t i) {
    return i < cells.size() ? cells[i] : std::string_view();
}

bool equalsNoCase(std::string_view a, const char* b) {
    return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

bool containsNoCase(std::string_view hay, const char* needle) {
    const size_t n = std::strlen(needle);
    for (size_t i = 0; i + n <= hay.size(); ++i)
        if (strncasecmp(hay.data() + i, needle, n) == 0) return true;
    return false;
}

// A limit or value cell: "NA" (any case) gives the missing value, a number (the whole
// cell, finite) its value; false for any other text.
bool limitOrValue(std::string_view cell, double& out) {
    if (equalsNoCase(cell, "NA")) {
        out = kZelk_noValue;
        return true;
    }
    if (cell.empty()) return false;
    const std::string text(cell);
    char* end = nullptr;
    out = pf::number::parse(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(out);
}

struct Header {
    std::string softwareName, softwareVersion;
    std::vector<std::string_view> titles, uppers, lowers;

    // The cell of the first column whose title holds `name` (any case); false when
    // there is none or the unit's cell is not followed by a comma.
    bool cellOf(const std::vector<std::string_view>& unit, const char* name, std::string_view& out) const {
        for (size_t c = 0; c + 1 < titles.size(); ++c) {
            if (!containsNoCase(titles[c], name)) continue;
            if (c + 1 >= unit.size()) return false;
            out = unit[c];
            return true;
        }
        return false;
    }
};

Value testRecord(const char* testName, std::string_view title, std::string_view upper, std::string_view lower,
                 std::string_view value, bool pass, const std::string* failure) {
    Value t = Value::dict();
    if (testName) {
        t.set("testname", Value::string(testName));
        t.set("subtestname", Value::string(std::string(title)));
    } else {
        t.set("testname", Value::string(std::string(title)));
    }
    t.set("upperlimit", Value::string(std::string(upper)));
    t.set("lowerlimit", Value::string(std::string(lower)));
    t.set("value", Value::string(std::string(value)));
    t.set("priority", Value::string("0"));
    t.set("result", Value::string(pass ? "PASS" : "FAIL"));
    if (failure) t.set("failure_message", Value::string(*failure));
    return t;
}

struct Options {
    bool stopAtFirstFailure, noUnitAttributes, keepMissingValues;
    const char* testName;  // set with the test-name option
};

// One unit's dictionary; 87 when a required column is missing.
SInt32 convertUnit(iZelk_LogManager* lm, const Header& h, std::string_view line, const Options& o, Value& unit) {
    const std::vector<std::string_view> cells = splitCells(line);
    std::string_view serial, result, start, stop, stamp, duration, errString;
    if ((!o.noUnitAttributes && !h.cellOf(cells, "serialnumber", serial)) ||
        !h.cellOf(cells, "overallresult", result) || !h.cellOf(cells, "startTime", start) ||
        !h.cellOf(cells, "stopTime", stop) || !h.cellOf(cells, "timeStamp", stamp) ||
        !h.cellOf(cells, "testTime", duration))
        return kZErr_invalidFormat;
    h.cellOf(cells, "errString", errString);  // an error text is optional

    Value attributes = Value::dict();
    if (!o.noUnitAttributes) {
        attributes.set("serialnumber", Value::string(std::string(serial)));
        attributes.set("softwarename", Value::string(h.softwareName));
        attributes.set("softwareversion", Value::string(h.softwareVersion));
    }
    for (size_t c = 0; c < h.uppers.size(); ++c) {
        if (!equalsNoCase(h.uppers[c], "ATTRB")) continue;
        const std::string title(cellAt(h.titles, c));
        attributes.set(title, Value::string(std::string(cellAt(cells, c))));
        ZLM_PrintString(lm, 0, "[add attributes:%s]\n", title.c_str());
    }
    unit = Value::dict();
    if (attributes.size() > 0) unit.set("Attributes", std::move(attributes));
    unit.set("OverallResult", Value::string(std::string(result)));
    unit.set("startTime", Value::string(std::string(start)));
    unit.set("stopTime", Value::string(std::string(stop)));

    Value tests = Value::array();
    const std::string failedStamp = "Failed timeStamp", failedDuration = "Failed testTime";
    tests.append(testRecord(o.testName, "timeStamp", "NA", "NA", stamp, true, &failedStamp));
    tests.append(testRecord(o.testName, "testTime", "NA", "NA", duration, true, &failedDuration));
    ZLM_PrintString(lm, 0, "[add data]\n");

    Value errRecord;
    bool hasErrRecord = false;
    int kept = 0;
    for (size_t c = 1;; ++c) {
        const std::string_view title = cellAt(h.titles, c), upper = cellAt(h.uppers, c),
                               lower = cellAt(h.lowers, c), value = cellAt(cells, c);
        if (title.empty() && upper.empty() && lower.empty() && value.empty()) break;
        if (equalsNoCase(title, "config")) continue;
        const std::string t(title);
        double hi = 0, lo = 0, v = 0;
        if (!limitOrValue(upper, hi)) {
            ZLM_PrintString(lm, 1, "skipping item \"%s\" w/ upper: \"%s\"\n", t.c_str(), std::string(upper).c_str());
            continue;
        }
        if (!limitOrValue(lower, lo)) {
            ZLM_PrintString(lm, 1, "skipping item \"%s\" w/ lower: \"%s\"\n", t.c_str(), std::string(lower).c_str());
            continue;
        }
        if (!limitOrValue(value, v)) {
            ZLM_PrintString(lm, 1, "skipping item \"%s\" w/ data : \"%s\"\n", t.c_str(), std::string(value).c_str());
            continue;
        }
        const bool pass = (lo == kZelk_noValue || v >= lo) && (hi == kZelk_noValue || v <= hi);
        if (v != kZelk_noValue || o.keepMissingValues) {
            ZLM_PrintString(lm, 1, "data[%2d] %s, upper: %s, lower: %s, value: %s\n", kept++, t.c_str(),
                            std::string(upper).c_str(), std::string(lower).c_str(), std::string(value).c_str());
            if (equalsNoCase(title, "errCode")) {
                // The error code's record carries the unit's error text, and comes last.
                const std::string message =
                    pf::number::text("err[%d]=", clampTo<int>(v)) + std::string(errString);
                errRecord = testRecord(o.testName, title, upper, lower, value, pass,
                                       errString.empty() ? nullptr : &message);
                hasErrRecord = true;
            } else {
                const std::string message = "Failed " + t;
                tests.append(testRecord(o.testName, title, upper, lower, value, pass, &message));
            }
        }
        if (o.stopAtFirstFailure && !pass) break;
    }
    if (hasErrRecord) tests.append(std::move(errRecord));
    unit.set("Tests", std::move(tests));
    return kZErr_OK;
}

SInt32 convert(iZelk_LogManager* lm, const char* input, const char* output, bool lastUnitOnly, const Options& o) {
    FILE* fp = std::fopen(input, "rb");
    if (!fp) return kZErr_fileOpenFailed;
    // Only a regular file has a size to read: a folder opens, but reads nothing.
    struct stat st {};
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(fp);
        return kZErr_fileOpenFailed;
    }
    std::string text;
    const off_t size = st.st_size;
    try {
        text.resize(static_cast<size_t>(size) + 256);
    } catch (const std::exception&) {
        std::fclose(fp);
        return kZErr_memAllocationFailed;
    }
    const size_t got = std::fread(text.data(), 1, static_cast<size_t>(size), fp);
    std::fclose(fp);
    if (got != static_cast<size_t>(size)) return kZErr_fileReadFailed;
    text.resize(got);

    // Lines without their LF (and without a CR before it).
    std::vector<std::string_view> lines;
    size_t pos = 0;
    bool lastOpen = false;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        lastOpen = nl == std::string::npos;
        const size_t next = lastOpen ? text.size() : nl + 1;
        if (lastOpen) nl = text.size();
        if (nl > pos && text[nl - 1] == '\r') --nl;
        lines.emplace_back(text.data() + pos, nl - pos);
        pos = next;
    }
    const size_t headerLines = lines.size() - (lastOpen ? 1 : 0);
    if (headerLines < 4) return -1;
    if (lines.size() == 4) return kZErr_dataCheckError;

    Header h;
    const std::string_view first = lines[0];
    h.softwareName = std::string(first.substr(0, first.find(',')));
    if (const size_t v = first.find("Version:"); v != std::string_view::npos) {
        size_t b = v + 8;
        while (b < first.size() && (first[b] == ' ' || first[b] == '\t')) ++b;
        const size_t comma = first.find(',', b);
        h.softwareVersion = std::string(first.substr(b, comma == std::string_view::npos ? comma : comma - b));
    }
    h.titles = splitCells(lines[1]);
    h.uppers = splitCells(lines[2]);
    h.lowers = splitCells(lines[3]);

    // Each unit goes to the file as soon as it is built; the old list is replaced
    // only at the commit, with the units converted before any failure.
    const std::string out = output && *output ? std::string(output) : nkcsv::defaultPlistPath(input);
    pf::plist::DictFileWriter plist(out);
    SInt32 rtn = kZErr_OK;
    int key = 0;
    for (size_t li = lastUnitOnly ? lines.size() - 1 : 4; li < lines.size(); ++li) {
        if (li + 1 == lines.size() && lastOpen) {
            rtn = kZErr_invalidFormat;
            break;
        }
        Value unit;
        rtn = convertUnit(lm, h, lines[li], o, unit);
        if (rtn != kZErr_OK) break;
        plist.add(pf::number::text("%d", key++), unit);
    }
    std::string why;
    if (!plist.commit(&why)) {
        ZLM_PrintError(lm, "%s: %s\n", out.c_str(), why.c_str());
        if (rtn == kZErr_OK) rtn = kZErr_fileWriteFailed;
    }
    return rtn;
}

std::string logPath() {
    std::string var = zelk::roots::get().var;
    if (var.empty() || var.back() != '/') var.push_back('/');
    return var + "csv_to_plist.log";
}

}  // namespace

SInt32 ZCSV_CsvToPlist(const char* input, const char* output, bool stopAtFirstFailure, bool noUnitAttributes,
                       bool lastUnitOnly) {
    return ZCSV_CsvToPlistFull(input, output, stopAtFirstFailure, noUnitAttributes, lastUnitOnly, false, false,
                               nullptr);
}

SInt32 ZCSV_CsvToPlistFull(const char* input, const char* output, bool stopAtFirstFailure, bool noUnitAttributes,
                           bool lastUnitOnly, bool keepMissingValues, bool useTestName, const char* testName) {
    std::lock_guard<std::mutex> lock(_mtxCsvMgr);
    // The conversion's own log; without it (no memory, no file) it goes on unlogged.
    iZelk_LogManager* lm = ZLM_Create();
    ZLM_SetVerboseLevel(lm, 0);
    ZLM_SetVerboseLevel_file(lm, 1);
    ZLM_OpenLogFile(lm, logPath().c_str(), "a+");
    ZLM_PrintString(lm, 0, "[csv to plist coversion]\ninput fileName: %s\n", input ? input : "");

    SInt32 rtn;
    if (!input || !*input || (useTestName && !(testName && *testName))) {
        rtn = kZErr_invalidParam;
    } else {
        const Options o{stopAtFirstFailure, noUnitAttributes, keepMissingValues, useTestName ? testName : nullptr};
        rtn = convert(lm, input, output, lastUnitOnly, o);
    }
    if (rtn != kZErr_OK) ZERR_REPORT(lm, rtn);
    ZLM_PrintString(lm, 0, "%s\n", rtn == kZErr_OK ? "OK" : "Conversion Failed");
    ZLM_Delete(&lm);
    return rtn;
}
