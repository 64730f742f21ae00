// Station CSV log to property-list test record, for the submission library.
#include "nk_velora_plist.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "nk_error.h"
#include "nk_string.h"
#include "plist/pf_plist.h"

using pf::plist::Value;

namespace {

constexpr const char* kSource = "nk_velora_utils";
constexpr size_t kMaxPath = 2047;

enum class Variant { Velora, Wend };

struct Cell {
    std::string text;
    bool closed = false;  // followed by ','
};

// Cells of one line: separated by ',', leading blanks and tabs skipped.
std::vector<Cell> cellsOf(std::string_view line) {
    std::vector<Cell> cells;
    size_t pos = 0;
    while (pos <= line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        const size_t comma = line.find(',', pos);
        Cell c;
        c.text = std::string(line.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
        c.closed = comma != std::string_view::npos;
        cells.push_back(std::move(c));
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    return cells;
}

const std::string& cellAt(const std::vector<Cell>& cells, size_t i) {
    static const std::string kEmpty;
    return i < cells.size() ? cells[i].text : kEmpty;
}

// A whole cell read as a double ("nan" and "inf" included); false for anything else.
bool readDouble(const std::string& s, double& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    if (end == s.c_str()) return false;
    while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
    return *end == '\0';
}

bool isNan(const std::string& s) { return strcasecmp(s.c_str(), "nan") == 0; }
std::string naIfNan(const std::string& s) { return s.find("nan") != std::string::npos ? "NA" : s; }

Value testDict(const std::string& name, const std::string& upper, const std::string& lower, const std::string& units,
               const std::string& value, const std::string* failure, bool pass) {
    Value t = Value::dict();
    t.set("testname", Value::string(name));
    t.set("upperlimit", Value::string(upper));
    t.set("lowerlimit", Value::string(lower));
    t.set("units", Value::string(units));
    t.set("value", Value::string(value));
    if (failure) t.set("failure_message", Value::string(*failure));
    t.set("priority", Value::string("0"));
    t.set("result", Value::string(pass ? "PASS" : "FAIL"));
    return t;
}

std::string defaultPlistPath(const std::string& csv) {
    const size_t slash = csv.rfind('/');
    const size_t dot = csv.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return csv.substr(0, dot) + ".plist";
}

u16 convert(Variant variant, const char* func, const char* csvPath, const char* plistPath, bool stopAtFirstFail,
            bool withoutFixedAttributes, bool lastRowOnly) {
    auto report = [&](int line, u16 code, const char* cond) {
        nkDebug_printError(nullptr, kSource, nullptr, func, line, code, cond);
        return code;
    };
    if (!csvPath) return report(__LINE__, kNKErr_invalidParam, "csvPath");
    const std::string out = plistPath && *plistPath ? std::string(plistPath) : defaultPlistPath(csvPath);
    if (out.empty() || out.size() > kMaxPath || std::strlen(csvPath) > kMaxPath)
        return report(__LINE__, kNKErr_invalidParam, "plistPath");

    // 1. The whole file, with room to spare behind it.
    FILE* fp = std::fopen(csvPath, "rb");
    if (!fp) return report(__LINE__, kNKErr_fileOpenFailed, "fp");
    std::fseek(fp, 0, SEEK_END);
    const long fileSize = std::ftell(fp);
    std::rewind(fp);
    if (fileSize < 0) {
        std::fclose(fp);
        return report(__LINE__, kNKErr_fileReadFailed, "fileSize>=0");
    }
    const size_t size = static_cast<size_t>(fileSize);
    char* buf = new (std::nothrow) char[size + 256]();
    if (!buf) {
        std::fclose(fp);
        return report(__LINE__, kNKErr_memoryAllocationFailed, "buf");
    }
    const size_t got = std::fread(buf, 1, size, fp);
    std::fclose(fp);
    std::string text;
    try {
        text.assign(buf, got);
    } catch (const std::bad_alloc&) {
        delete[] buf;
        return report(__LINE__, kNKErr_memoryAllocationFailed, "text");
    }
    delete[] buf;
    if (got != size) return report(__LINE__, kNKErr_fileReadFailed, "readLeng==fileSize");

    // 2. The head: title, names, upper and lower limits, units.
    size_t ends[5];
    size_t from = 0;
    for (size_t& e : ends) {
        e = text.find('\n', from);
        if (e == std::string::npos) return 0xFFFF;
        from = e + 1;
    }
    const std::string_view all(text);
    const std::string_view title = all.substr(0, ends[0]);
    if (std::count(title.begin(), title.end(), ',') < 2) return 0xFFFF;
    const size_t firstComma = title.find(',');
    const std::string swName(title.substr(0, firstComma));
    std::string swVersion;
    if (const size_t v = title.find("version=", firstComma + 1); v != std::string_view::npos) {
        const std::string_view rest = title.substr(v + 8);
        swVersion = std::string(rest.substr(0, rest.find(',')));
    }
    const std::string names(all.substr(ends[0] + 1, ends[1] - ends[0] - 1));
    const std::string uppers(all.substr(ends[1] + 1, ends[2] - ends[1] - 1));
    const std::string lowers(all.substr(ends[2] + 1, ends[3] - ends[2] - 1));
    const std::string units(all.substr(ends[3] + 1, ends[4] - ends[3] - 1));
    const std::vector<Cell> nameCells = cellsOf(names), upperCells = cellsOf(uppers), lowerCells = cellsOf(lowers),
                            unitCells = cellsOf(units);

    const size_t dataStart = ends[4] + 1;
    size_t rowCount = 0;
    for (size_t i = dataStart + 1; i < text.size(); ++i) rowCount += text[i] == '\n';
    if (rowCount < 1) return report(__LINE__, kNKErr_dataCheckError, "dataLineCount>0");
    std::vector<std::string_view> rows;
    size_t p = dataStart;
    for (size_t i = 0; i < rowCount; ++i) {
        const size_t nl = text.find('\n', p);
        if (nl == std::string::npos) return report(__LINE__, kNKErr_invalidFormat, "row ends with a line end");
        rows.push_back(all.substr(p, nl - p));
        p = nl + 1;
    }
    // A last row without its line end may be half written: convert nothing.
    if (all.substr(p).find_first_not_of(" \t\r\n") != std::string_view::npos)
        return report(__LINE__, kNKErr_invalidFormat, "row ends with a line end");

    // 3. One entry per row.
    Value root = Value::dict();
    u16 rtn = kNKErr_OK;
    int counter = 0;
    // An attribute column is marked "ATTR" in the upper-limit line. The test data
    // ends its lines without a ',', so the mark of a last column stands at the line
    // end; it counts as well, or that attribute would be dropped unseen.
    auto isAttrColumn = [&](size_t c) { return c < upperCells.size() && upperCells[c].text == "ATTR"; };
    bool hasAttrColumns = false;
    for (size_t c = 1; c < upperCells.size(); ++c) hasAttrColumns = hasAttrColumns || isAttrColumn(c);
    for (size_t r = lastRowOnly ? rows.size() - 1 : 0; r < rows.size(); ++r) {
        const std::string row(rows[r]);
        std::vector<char> item(row.size() + 2);
        auto lookup = [&](const char* name, std::string& value) {
            if (nkStr_getItemString(names.c_str(), row.c_str(), ",", name, item.data(),
                                    static_cast<u32>(item.size())) != kNKErr_OK)
                return false;
            value = item.data();
            return true;
        };
        // A named item the row must have; the first one missing ends the conversion.
        bool missing = false;
        auto named = [&](const char* name) -> std::string {
            std::string value;
            if (missing) return value;
            if (!lookup(name, value)) {
                missing = true;
                report(__LINE__, kNKErr_invalidFormat, name);
            }
            return value;
        };

        Value entry = Value::dict();
        Value attributes = Value::dict();
        if (!withoutFixedAttributes) {
            const std::string sn = named("Serialnumber");
            attributes.set("serialnumber", Value::string(sn));
            attributes.set("softwarename", Value::string(swName));
            attributes.set("softwareversion", Value::string(swVersion));
            if (variant == Variant::Wend) {
                attributes.set("errCode", Value::string(named("errCode")));
                const std::string errStr = named("errStr");
                attributes.set("errStr", Value::string(errStr.empty() ? "OK" : errStr));
                attributes.set("config", Value::string(named("config")));
            }
            attributes.set("TesterID", Value::string(named("TesterID")));
        }
        if (missing) {
            rtn = kNKErr_invalidFormat;
            break;
        }
        if (hasAttrColumns) {
            const std::vector<Cell> rowCells = cellsOf(row);
            for (size_t c = 1; c < upperCells.size(); ++c) {
                if (!isAttrColumn(c)) continue;
                if (c >= nameCells.size() || c >= rowCells.size()) {
                    report(__LINE__, kNKErr_invalidFormat, "attribute cell");
                    break;
                }
                std::string key = nameCells[c].text;
                if (variant == Variant::Wend && key == "QMRT::CFSN") key = "CFSN";
                if (variant == Variant::Wend && key == "QMRT::CHIPID") key = "CHIPID";
                const std::string& v = rowCells[c].text;
                attributes.set(key, Value::string(v.empty() ? "UNKNOWN" : v));
            }
        }
        if (attributes.size() > 0) entry.set("Attributes", attributes);

        entry.set("OverallResult", Value::string(named("Test Pass/Fail Status")));
        entry.set("StartTime", Value::string(named("StartTime")));
        entry.set("StopTime", Value::string(named("EndTime")));
        const std::string timeStamp = named("timeStamp");
        const std::string testTime = named("TestTime");
        if (missing) {
            rtn = kNKErr_invalidFormat;
            break;
        }
        Value tests = Value::array();
        const std::string failedTimeStamp = "Failed timeStamp", failedTestTime = "Failed testTime";
        tests.append(testDict("timeStamp", "NA", "NA", "NA", timeStamp, &failedTimeStamp, true));
        tests.append(testDict("TestTime", "NA", "NA", "NA", testTime, &failedTestTime, true));

        const std::vector<Cell> rowCells = cellsOf(row);
        for (size_t c = 1;; ++c) {
            const std::string& name = cellAt(nameCells, c);
            const std::string& upper = cellAt(upperCells, c);
            const std::string& lower = cellAt(lowerCells, c);
            const std::string& unit = cellAt(unitCells, c);
            const std::string& value = cellAt(rowCells, c);
            if (name.empty() && upper.empty() && lower.empty() && unit.empty() && value.empty()) break;
            if (strcasecmp(name.c_str(), "config") == 0) continue;
            double hi = NAN, lo = NAN, v = NAN;
            const bool hasHi = !isNan(upper), hasLo = !isNan(lower);
            if (hasHi && !readDouble(upper, hi)) continue;
            if (hasLo && !readDouble(lower, lo)) continue;
            if (strcasecmp(value.c_str(), "NA") == 0 || !readDouble(value, v)) continue;
            bool pass;
            if (hasHi && hasLo) pass = lo <= v && v <= hi;
            else if (hasLo) pass = v >= lo;
            else if (hasHi) pass = v <= hi;
            else pass = true;

            std::string failure = "Failed " + name;
            const std::string* failurePtr = &failure;
            if (strcasecmp(name.c_str(), "errCode") == 0) {
                std::string errString;
                if (!lookup("errString", errString) || errString.empty()) failurePtr = nullptr;
                else failure = "err[" + std::to_string(std::atoi(value.c_str())) + "]=" + errString;
            }
            tests.append(testDict(name, naIfNan(upper), naIfNan(lower), unit, naIfNan(value), failurePtr, pass));
            if (stopAtFirstFail && !pass) break;
        }
        entry.set("Tests", std::move(tests));
        root.set(std::to_string(counter++), std::move(entry));
    }

    // 4. Written whole or not at all; a failed write is the caller's to know.
    std::string why;
    if (!pf::plist::writeFile(out, root, &why)) {
        report(__LINE__, kNKErr_fileWriteFailed, "pf::plist::writeFile");
        if (rtn == kNKErr_OK) rtn = kNKErr_fileWriteFailed;
    }
    return rtn;
}

}  // namespace

u16 nkFom_velora_csvToPlist(const char* csvPath, const char* plistPath, bool stopAtFirstFail,
                            bool withoutFixedAttributes, bool lastRowOnly) {
    return convert(Variant::Velora, __func__, csvPath, plistPath, stopAtFirstFail, withoutFixedAttributes,
                   lastRowOnly);
}

u16 nkFom_wend_csvToPlist(const char* csvPath, const char* plistPath, bool stopAtFirstFail,
                          bool withoutFixedAttributes, bool lastRowOnly) {
    return convert(Variant::Wend, __func__, csvPath, plistPath, stopAtFirstFail, withoutFixedAttributes, lastRowOnly);
}
