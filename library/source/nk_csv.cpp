// Station CSV log reader and the generic CSV table with its operations.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "nk_csv.h"
#include "nk_csv_common.h"
#include "nk_file.h"
#include "nk_string.h"
#include "nk_utils.h"
#include "number/pf_number.h"
#include "plist/pf_plist.h"

const char* const k_nkCsv_anchors[3] = {"SerialNumber", "SpecItem", "GrrConfig"};
const char* const k_nkCsv_columnToExclude[11] = {"SerialNumber", "StartTime", "EndTime",   "SwVersion",
                                                 "Version",      "TesterID",  "Tester ID", "StationID",
                                                 "Station ID",   "Time Stamp", "TimeStamp"};

namespace nkcsv {

bool containsNoCase(const std::string& hay, const char* needle) {
    return strcasestr(hay.c_str(), needle) != nullptr;
}

bool equalsNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The conversion of "%le": leading blanks skipped, the longest number at the
// front used; false when the text does not begin with a number.
bool scanDouble(const char* p, const char* end, double& out) {
    while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (p == end) return false;
    const char* start = p;
    if (*p == '+' && p + 1 < end && p[1] != '-' && p[1] != '+') ++start;
    double v = 0.0;
    const auto r = std::from_chars(start, end, v);
    const bool hexLike = r.ptr < end && (*r.ptr == 'x' || *r.ptr == 'X');
    if (r.ec == std::errc() && !hexLike) {
        out = v;
        return true;
    }
    // Hexadecimal and out-of-range numbers take the C library's road.
    const std::string copy(p, end);
    char* stop = nullptr;
    v = pf::number::parse(copy.c_str(), &stop);
    if (stop == copy.c_str()) return false;
    out = v;
    return true;
}

i64 toI64(double v) {
    if (!(v == v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<i64>(v);
}

u64 toU64(double v) {
    if (v >= 9223372036854775808.0) return v >= 18446744073709551615.0 ? UINT64_MAX : static_cast<u64>(v);
    return static_cast<u64>(toI64(v));
}

u16 writeFileAtomically(const std::string& path, const std::function<bool(FILE*)>& body) {
    // Formatted in memory first, then handed to the replacing write in one piece.
    char* buf = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&buf, &len);
    if (!mem) return kNKErr_memoryAllocationFailed;
    const bool ok = body(mem);
    const bool closed = std::fclose(mem) == 0;
    u16 rtn = ok && closed ? kNKErr_OK : kNKErr_fileWriteFailed;
    if (rtn == kNKErr_OK) rtn = nkFile_writeReplacing(path, {{buf, len}});
    std::free(buf);
    return rtn;
}

std::mutex& csvFileLock() {
    static std::mutex m;
    return m;
}

std::string safeCell(const std::string& text) {
    std::string s(text);
    for (char& c : s) {
        if (c == ',') c = ';';
        else if (c == '"') c = '\'';
        else if (c == '\r' || c == '\n') c = ' ';
        // Other control characters (a device's colour codes in an error text) have
        // no place in the property list made from the file: one of them would fail
        // every later conversion of it.
        else if (static_cast<unsigned char>(c) < 0x20 && c != '\t') c = ' ';
    }
    return s;
}

std::string safeCell(const char* text) { return safeCell(std::string(text ? text : "")); }

u16 appendToCsvFile(const std::string& fileName, const std::function<std::string(bool existed)>& block) {
    std::lock_guard<std::mutex> lock(csvFileLock());
    const bool existed = nkFile_isFileExist(fileName);
    FILE* fp = std::fopen(fileName.c_str(), "a+");
    if (!fp) return kNKErr_fileOpenFailed;

    // Unbuffered: the block goes out in one write, and nothing is left over for
    // the close to write after a failed one has been taken back.
    std::setvbuf(fp, nullptr, _IONBF, 0);
    std::fseek(fp, 0, SEEK_END);
    const long before = std::ftell(fp);
    // An empty file (made by hand or left by another program) has no header yet.
    const std::string text = block(existed && before > 0);
    bool ok = std::fwrite(text.data(), 1, text.size(), fp) == text.size();
    ok = std::fflush(fp) == 0 && ok;
    // Text that did not go out whole is taken back, so the file stays a table.
    if (!ok && before >= 0 && ftruncate(fileno(fp), before) != 0) ok = false;
    ok = std::fclose(fp) == 0 && ok;
    if (!ok) {
        if (!existed) std::remove(fileName.c_str());
        return kNKErr_fileWriteFailed;
    }
    return kNKErr_OK;
}

std::string defaultPlistPath(const std::string& csvPath) {
    const size_t slash = csvPath.rfind('/');
    const size_t dot = csvPath.rfind('.');
    // Only a dot in the file's own name starts an extension.
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return csvPath + ".plist";
    return csvPath.substr(0, dot + 1) + "plist";
}

}  // namespace nkcsv

using nkcsv::containsNoCase;
using nkcsv::equalsNoCase;

// ================================================================ CNK_csvParser

namespace {

const char* const kUpperLabel = "Upper Limit ----->";
const char* const kLowerLabel = "Lower Limit ----->";
const char* const kUnitLabel = "Measurement Unit ----->";

// One line of the file: [begin, end) without its "\n"; `next` is where the
// following line starts, npos when this line has no "\n".
struct Line {
    size_t begin = 0;
    size_t end = 0;
    size_t next = std::string::npos;
};

Line lineAt(const std::string& text, size_t begin) {
    Line l;
    l.begin = begin;
    const size_t nl = text.find('\n', begin);
    l.end = nl == std::string::npos ? text.size() : nl;
    l.next = nl == std::string::npos ? std::string::npos : nl + 1;
    // A file saved with CRLF line ends: the '\r' belongs to no cell.
    if (l.end > l.begin && text[l.end - 1] == '\r') --l.end;
    return l;
}

// What a spreadsheet's "CSV UTF-8" puts before the first cell.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The first cell of a line: up to its first comma, else the whole line.
std::string_view firstCell(const std::string& text, const Line& l) {
    const std::string_view line(text.data() + l.begin, l.end - l.begin);
    return line.substr(0, line.find(','));
}

// Every cell of a line is followed by a comma; text after the last one is not a cell.
std::vector<std::string> splitLine(const std::string& text, const Line& l) {
    std::vector<std::string> cells;
    size_t pos = l.begin;
    while (pos <= l.end) {
        const void* hit = std::memchr(text.data() + pos, ',', l.end - pos);
        if (!hit) break;
        const size_t comma = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
        cells.emplace_back(text, pos, comma - pos);
        pos = comma + 1;
    }
    return cells;
}

}  // namespace

CNK_csvParser::CNK_csvParser() { NK_CLASS_NAME(); }

CNK_csvParser::CNK_csvParser(CNK_logManager* lm) {
    NK_CLASS_NAME();
    setLogManager(lm);
}

CNK_csvParser::~CNK_csvParser() = default;

u16 CNK_csvParser::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_csvParser::logLine(t_nkVbsLvl level, const char* text) {
    if (nkObj_isValid(logManager)) logManager->printText(level, "%s", text);
    else if (level <= kVL1) std::fprintf(stderr, "%s\n", text);
}

u16 CNK_csvParser::load(const char* csvFilePath, t_nkVbsLvl verbosity) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!csvFilePath) {
        NK_REPORT(kNKErr_invalidPointer, "csvFilePath!=NULL");
        return kNKErr_invalidPointer;
    }
    FILE* fp = std::fopen(csvFilePath, "rb");
    if (!fp) {
        NK_REPORT(kNKErr_fileNotExist, nullptr);
        return kNKErr_fileNotExist;
    }
    _fileText.clear();
    _titleRow.clear();
    _lowerLimitRow.clear();
    _upperLimitRow.clear();
    _dataRow.clear();

    // Only a regular file has a size to trust; a folder opens too on this system.
    struct stat st;
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(fp);
        NK_REPORT(kNKErr_fileReadFailed, "regular file");
        return kNKErr_fileReadFailed;
    }
    const long size = static_cast<long>(st.st_size);
    if (size > 0) {
        // A file larger than memory must come back as an error, not as an exception.
        try {
            _fileText.resize(static_cast<size_t>(size));
        } catch (const std::bad_alloc&) {
            std::fclose(fp);
            NK_REPORT(kNKErr_memoryAllocationFailed, "fileText");
            return kNKErr_memoryAllocationFailed;
        }
        _fileText.resize(std::fread(_fileText.data(), 1, _fileText.size(), fp));
    }
    const bool readFailed = size < 0 || static_cast<long>(_fileText.size()) != size;
    std::fclose(fp);
    if (readFailed) {
        NK_REPORT(kNKErr_fileReadFailed, "readLeng==fileSize");
        return kNKErr_fileReadFailed;
    }
    if (std::string_view(_fileText).substr(0, kUtf8Bom.size()) == kUtf8Bom) _fileText.erase(0, kUtf8Bom.size());
    const std::string& text = _fileText;

    // Line 1: station type and software version. Every search stays inside its
    // own line, so a missing line is an error rather than a re-read of line 1.
    const Line l1 = lineAt(text, 0);
    const std::string_view line1(text.data(), l1.end);
    const size_t c1 = line1.find(',');
    if (c1 == 0) {
        logLine(kVL1, "[Err] Station Type Missing");
        NK_REPORT(kNKErr_invalidFormat, nullptr);
        return kNKErr_invalidFormat;
    }
    _stationType = std::string(line1.substr(0, c1));
    _swVersion.clear();
    if (c1 != std::string_view::npos) {
        const std::string_view rest = line1.substr(c1 + 1);
        _swVersion = std::string(rest.substr(0, rest.find(',')));
    }

    if (l1.next == std::string::npos || l1.next >= text.size() || firstCell(text, lineAt(text, l1.next)) != "SerialNumber") {
        logLine(kVL1, "[Err] Missing Title Line : SerialNumber");
        NK_REPORT(kNKErr_invalidFormat, nullptr);
        return kNKErr_invalidFormat;
    }
    const Line l2 = lineAt(text, l1.next);
    _titleRow = splitLine(text, l2);

    if (l2.next == std::string::npos || l2.next >= text.size() || firstCell(text, lineAt(text, l2.next)) != kUpperLabel) {
        logLine(kVL1, "[Err] Missing Upper Line : Upper Limit");
        NK_REPORT(kNKErr_invalidFormat, nullptr);
        return kNKErr_invalidFormat;
    }
    const Line l3 = lineAt(text, l2.next);
    _upperLimitRow = splitLine(text, l3);

    if (l3.next == std::string::npos || l3.next >= text.size() || firstCell(text, lineAt(text, l3.next)) != kLowerLabel) {
        NK_REPORT(kNKErr_invalidFormat, nullptr);
        return kNKErr_invalidFormat;
    }
    const Line l4 = lineAt(text, l3.next);
    _lowerLimitRow = splitLine(text, l4);

    size_t pos = l4.next;
    if (pos != std::string::npos && pos < text.size() && firstCell(text, lineAt(text, pos)) == kUnitLabel)
        pos = lineAt(text, pos).next;

    // A last line without its "\n" may still be being written: it is not read.
    while (pos != std::string::npos && pos < text.size()) {
        const Line l = lineAt(text, pos);
        if (l.next == std::string::npos) break;
        _dataRow.push_back(splitLine(text, l));
        pos = l.next;
    }

    if (_titleRow.size() != _upperLimitRow.size()) {
        NK_REPORT(kNKErr_invalidFormat, "_titleRow.size() == _upperLimitRow.size()");
        return kNKErr_invalidFormat;
    }
    if (_titleRow.size() != _lowerLimitRow.size()) {
        NK_REPORT(kNKErr_invalidFormat, "_upperLimitRow.size() == _lowerLimitRow.size()");
        return kNKErr_invalidFormat;
    }
    u16 rtn = kNKErr_OK;
    for (const auto& row : _dataRow) {
        if (row.size() != _titleRow.size()) {
            NK_REPORT(kNKErr_invalidFormat, "_dataRow[i].size() == _titleRow.size()");
            rtn = kNKErr_invalidFormat;
            break;
        }
    }

    if (nkObj_isValid(logManager)) {
        logManager->printText(verbosity, "****** Parse CSV ******");
        logManager->printText(verbosity, ". Station Type %s", _stationType.c_str());
        logManager->printText(verbosity, ". Software Version");
        logManager->printText(verbosity, ". Title Row Length %d", static_cast<int>(_titleRow.size()));
        logManager->printText(verbosity, ". Upper limit Row Length %d", static_cast<int>(_upperLimitRow.size()));
        logManager->printText(verbosity, ". Lower Limit Row Length %d", static_cast<int>(_lowerLimitRow.size()));
        logManager->printText(verbosity, ". Data Set Number %d", static_cast<int>(_dataRow.size()));
    }
    return rtn;
}

bool CNK_csvParser::checkIndex(const char* caller, int dataSetIdx, int dataItemIdx) {
    if (dataSetIdx < 0 || static_cast<size_t>(dataSetIdx) >= _dataRow.size()) {
        nkDebug_printError(logManager, __FILE__, name, caller, __LINE__, kNKErr_invalidParam,
                           "dataSetIdx < _dataRow.size()");
        return false;
    }
    // A data row may be shorter than the title row after a failed load.
    if (dataItemIdx < 0 || static_cast<size_t>(dataItemIdx) >= _titleRow.size() ||
        static_cast<size_t>(dataItemIdx) >= _dataRow[static_cast<size_t>(dataSetIdx)].size()) {
        nkDebug_printError(logManager, __FILE__, name, caller, __LINE__, kNKErr_invalidParam,
                           "dataItemIdx < _titleRow.size()");
        return false;
    }
    return true;
}

std::string CNK_csvParser::getStr(int dataSetIdx, int dataItemIdx) {
    NK_VALID_OR_RETURN(std::string());
    if (!checkIndex(__func__, dataSetIdx, dataItemIdx)) return std::string();
    return _dataRow[static_cast<size_t>(dataSetIdx)][static_cast<size_t>(dataItemIdx)];
}

double CNK_csvParser::getData(int dataSetIdx, int dataItemIdx) {
    NK_VALID_OR_RETURN(kNK_noValue);
    if (!checkIndex(__func__, dataSetIdx, dataItemIdx)) return kNK_noValue;
    const std::string& cell = _dataRow[static_cast<size_t>(dataSetIdx)][static_cast<size_t>(dataItemIdx)];
    char* end = nullptr;
    const double v = pf::number::parse(cell.c_str(), &end);
    if (end == cell.c_str()) {
        NK_REPORT(kNKErr_invalidFormat, nullptr);
        return kNK_noValue;
    }
    return v;
}

int CNK_csvParser::getDataCol() {
    NK_VALID_OR_RETURN(0);
    return static_cast<int>(_titleRow.size());
}

int CNK_csvParser::getDataRow() {
    NK_VALID_OR_RETURN(0);
    return static_cast<int>(_dataRow.size());
}

int CNK_csvParser::findColIdx(const char* title) {
    NK_VALID_OR_RETURN(-1);
    if (_titleRow.empty()) {
        NK_REPORT(kNKErr_invalidCondition, "!_titleRow.empty()");
        return -1;
    }
    if (!title) return -1;
    for (size_t i = 0; i < _titleRow.size(); ++i)
        if (_titleRow[i] == title) return static_cast<int>(i);
    return -1;
}

// ================================================================ CNK_csv

namespace {

// Up to four threads for a large load. Each part is a disjoint range of the
// work; part 0 runs on the calling thread, and every thread is joined before
// this returns. A part that gets no thread runs on the caller; an exception
// from any part is rethrown here, after the joins.
constexpr size_t kMaxParts = 4;

size_t partCount(size_t work, size_t minPerPart) {
    const size_t cores = std::max<size_t>(1, std::thread::hardware_concurrency());
    return std::max<size_t>(1, std::min({kMaxParts, cores, work / minPerPart}));
}

template <class Fn>
void runParts(size_t parts, const Fn& fn) {
    std::vector<std::exception_ptr> errors(parts);
    auto guarded = [&](size_t k) {
        try {
            fn(k);
        } catch (...) {
            errors[k] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(parts);
    for (size_t k = 1; k < parts; ++k) {
        try {
            threads.emplace_back(guarded, k);
        } catch (const std::exception&) {
            // No thread (system_error), or no memory for its start (bad_alloc): an
            // escape from here would end the program with the others still running.
            guarded(k);
        }
    }
    guarded(0);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

// A part of the text below this size is not worth a thread.
constexpr size_t kCutPartBytes = 1u << 20;
// Nor fewer rows than this for the numbers and the column statistics.
constexpr size_t kRowsPerPart = 4096;

// Rows of [p, end), which starts where a row may start.
void cutPart(const char* p, const char* end, std::vector<std::vector<std::string>>& rows) {
    while (p < end) {
        while (p < end && (*p == '\r' || *p == '\n')) ++p;
        if (p == end) break;
        // The row ends at its first '\r' or '\n': memchr finds both quicker
        // than a test of every byte for three characters.
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!lineEnd) lineEnd = end;
        if (const void* cr = std::memchr(p, '\r', static_cast<size_t>(lineEnd - p))) lineEnd = static_cast<const char*>(cr);
        std::vector<std::string> row;
        if (!rows.empty()) row.reserve(rows.back().size());
        const char* cell = p;
        for (const char* q = p; q < lineEnd; ++q) {
            if (*q == ',') {
                row.emplace_back(cell, q);
                cell = q + 1;
            }
        }
        row.emplace_back(cell, lineEnd);
        rows.push_back(std::move(row));
        p = lineEnd;
    }
}

// Cuts the text into rows of cells: ',' ends a cell, a run of '\r' and '\n'
// ends a row (blank lines vanish), the text ends at its first NUL byte.
// The cells are strings because the table hands its rows out as such; on a
// 100 MB log they are the larger part of the time and of the memory (see
// bench/bench_csv.cpp for what a reader that keeps the text once would save).
// A large text is cut in parts side by side: each part starts just after a
// '\n', where a row always starts, so the parts' rows joined in order are the
// rows of the whole.
std::vector<std::vector<std::string>> cutRows(const char* text, size_t size) {
    const char* p = text;
    const char* end = text + strnlen(text, size);
    if (std::string_view(text, static_cast<size_t>(end - text)).substr(0, kUtf8Bom.size()) == kUtf8Bom) p += kUtf8Bom.size();
    const size_t parts = partCount(static_cast<size_t>(end - p), kCutPartBytes);
    std::vector<const char*> starts(parts + 1, end);
    starts[0] = p;
    for (size_t k = 1; k < parts; ++k) {
        const char* guess = std::max(starts[k - 1], p + static_cast<size_t>(end - p) / parts * k);
        const void* nl = std::memchr(guess, '\n', static_cast<size_t>(end - guess));
        starts[k] = nl ? static_cast<const char*>(nl) + 1 : end;
    }
    std::vector<std::vector<std::vector<std::string>>> cut(parts);
    runParts(parts, [&](size_t k) { cutPart(starts[k], starts[k + 1], cut[k]); });
    std::vector<std::vector<std::string>> rows = std::move(cut[0]);
    size_t total = 0;
    for (const auto& part : cut) total += part.size();
    rows.reserve(total);
    for (size_t k = 1; k < parts; ++k) {
        rows.insert(rows.end(), std::make_move_iterator(cut[k].begin()), std::make_move_iterator(cut[k].end()));
        std::vector<std::vector<std::string>>().swap(cut[k]);
    }
    return rows;
}

bool isMissingText(const std::string& cell) {
    // Only short cells can be one of the words; saves the comparisons on numbers.
    if (cell.size() < 2 || cell.size() > 3) return false;
    return equalsNoCase(cell, "NA") || equalsNoCase(cell, "N/A") || equalsNoCase(cell, "nan") ||
           equalsNoCase(cell, "inf");
}

// A whole cell "[-]digits[.digits]" of at most 15 digits: the integer of its
// digits and the power of ten are both exact doubles, so the one rounding of
// their quotient gives the very double from_chars gives, at a fraction of its
// cost. Anything else (and a log holds little else) is left to scanDouble.
bool plainDecimal(const char* p, const char* end, double& out) {
    static constexpr double kTens[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    // At most 16 characters: the digits cannot overflow the integer.
    if (p == end || end - p > 16) return false;
    auto digit = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0'); };
    const char* q = p;
    u64 m = 0;
    for (; q < end && digit(*q) < 10; ++q) m = m * 10 + digit(*q);
    if (q == p) return false;
    long fraction = 0;
    if (q < end) {
        if (*q != '.') return false;
        const char* f = ++q;
        for (; q < end && digit(*q) < 10; ++q) m = m * 10 + digit(*q);
        if (q != end || q == f) return false;
        fraction = q - f;
    }
    if ((end - p) - (fraction > 0 ? 1 : 0) > 15) return false;
    const double v = static_cast<double>(m) / kTens[fraction];
    out = negative ? -v : v;
    return true;
}

double cellNumber(const std::string& cell, bool limitRow) {
    double v = 0.0;
    if (!plainDecimal(cell.data(), cell.data() + cell.size(), v)) {
        if (isMissingText(cell)) return std::nan("");
        if (!nkcsv::scanDouble(cell.data(), cell.data() + cell.size(), v)) return std::nan("");
    }
    if (v == -1.23456) return std::nan("");
    if (limitRow && (v == 999999.0 || v == -999999.0)) return std::nan("");
    return v;
}

bool firstCellHas(const std::vector<std::string>& row, const char* text) {
    return !row.empty() && !row[0].empty() && containsNoCase(row[0], text);
}

// What follows the key (found without regard to case), past blanks and tabs.
std::string textAfterNoCase(const std::string& cell, const char* key) {
    const char* hit = strcasestr(cell.c_str(), key);
    if (!hit) return std::string();
    hit += std::strlen(key);
    while (*hit == ' ' || *hit == '\t') ++hit;
    return std::string(hit);
}

}  // namespace

CNK_csv::CNK_csv() { NK_CLASS_NAME(); }

CNK_csv::CNK_csv(const std::string& path) {
    NK_CLASS_NAME();
    load(path);
}

CNK_csv::CNK_csv(const CNK_csv& other)
    : CNK_baseObject(),
      _type(other._type),
      _groupName(other._groupName),
      _col_info(other._col_info),
      _buff_str(other._buff_str),
      _buff_val(other._buff_val),
      _col_stat(other._col_stat),
      _title(other._title),
      _swVersion(other._swVersion),
      _specVersion(other._specVersion) {
    NK_CLASS_NAME();
    logManager = other.logManager;
}

CNK_csv& CNK_csv::operator=(const CNK_csv& other) {
    NK_VALID_OR_RETURN(*this);
    if (this == &other) return *this;
    _type = other._type;
    _groupName = other._groupName;
    _col_info = other._col_info;
    _buff_str = other._buff_str;
    _buff_val = other._buff_val;
    _col_stat = other._col_stat;
    _title = other._title;
    _swVersion = other._swVersion;
    _specVersion = other._specVersion;
    return *this;
}

CNK_csv::~CNK_csv() = default;

u16 CNK_csv::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

u16 CNK_csv::load(const std::string& fn) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!nkFile_isFileExist(fn)) {
        NK_REPORT(kNKErr_fileNotExist, "nkFile_isFileExist(fn)");
        return kNKErr_fileNotExist;
    }
    std::vector<u8> fb;
    t_nkFileBytes plain;  // a plain file is read without zero-filling its buffer first
    if (nkUtil_isEncrypted(fn)) {
        fb = nkUtil_decrypt_file(fn);
        if (fb.empty()) {
            NK_REPORT(kNKErr_fileReadFailed, "fb.size()>0");
            return kNKErr_fileReadFailed;
        }
    } else {
        plain = nkFile_readFileUnfilled(fn);
        if (plain.size == 0) {
            NK_REPORT(kNKErr_fileReadFailed, "fileSz>0");
            return kNKErr_fileReadFailed;
        }
    }
    _title.clear();
    _swVersion.clear();
    _specVersion.clear();

    const u8* text = plain.data ? plain.data.get() : fb.data();
    const size_t textSize = plain.data ? plain.size : fb.size();
    std::vector<std::vector<std::string>> rows = cutRows(reinterpret_cast<const char*>(text), textSize);
    std::vector<u8>().swap(fb);
    plain.data.reset();

    // Anchor: the first cell that holds one of the anchor words.
    size_t headerRow = 0, anchorCol = 0;
    u32 kind = k_nkCsv_type_unknown;
    for (size_t r = 0; r < rows.size() && kind == k_nkCsv_type_unknown; ++r) {
        for (size_t c = 0; c < rows[r].size() && kind == k_nkCsv_type_unknown; ++c) {
            for (u32 a = 0; a < 3; ++a) {
                if (containsNoCase(rows[r][c], k_nkCsv_anchors[a])) {
                    kind = a;
                    headerRow = r;
                    anchorCol = c;
                    break;
                }
            }
        }
    }
    if (kind == k_nkCsv_type_unknown) {
        NK_REPORT(kNKErr_invalidFormat, "isAnchorFound == true");
        return kNKErr_invalidFormat;
    }

    if (!rows[headerRow].empty() && rows[headerRow][0] == "Product") {
        for (auto& row : rows) {
            if (row.size() >= 2 && containsNoCase(row[0], "->")) {
                row[1] = std::move(row[0]);
                row[0].clear();
            }
        }
    }

    bool titleSet = false;
    for (size_t r = 0; r < headerRow; ++r) {
        for (const std::string& cell : rows[r]) {
            if (!titleSet && !cell.empty()) {
                _title = cell;
                titleSet = true;
            }
            if (containsNoCase(cell, "sw_version:")) _swVersion = textAfterNoCase(cell, "sw_version:");
            else if (containsNoCase(cell, "spec_version:")) _specVersion = textAfterNoCase(cell, "spec_version:");
        }
    }

    rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(headerRow));
    if (anchorCol > 0) {
        for (auto& row : rows)
            row.erase(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(std::min(anchorCol, row.size())));
    }
    rows.erase(std::remove_if(rows.begin() + 1, rows.end(),
                              [](const std::vector<std::string>& row) { return firstCellHas(row, "HUBR Priority"); }),
               rows.end());

    size_t cols = rows[0].size();
    for (const auto& row : rows) {
        if (row.size() != cols) {
            NK_REPORT(kNKErr_invalidFormat, "isColumnCountCheckOk == true");
            return kNKErr_invalidFormat;
        }
    }

    // Arrow labels always run down the first column; a file that has them
    // across its header row is turned.
    size_t headerArrows = 0, rowArrows = 0;
    for (const std::string& cell : rows[0])
        if (containsNoCase(cell, "->")) ++headerArrows;
    for (const auto& row : rows)
        if (firstCellHas(row, "->")) ++rowArrows;
    if (headerArrows > rowArrows) {
        std::vector<std::vector<std::string>> turned(cols, std::vector<std::string>(rows.size()));
        for (size_t r = 0; r < rows.size(); ++r)
            for (size_t c = 0; c < cols; ++c) turned[c][r] = std::move(rows[r][c]);
        rows.swap(turned);
        cols = rows[0].size();
    }

    // Arrow rows go right below the header. The partition is stable: the order
    // of the data rows carries their time and which test of a serial is the last.
    const auto dataBegin = std::stable_partition(rows.begin() + 1, rows.end(), [](const std::vector<std::string>& row) {
        return firstCellHas(row, "->");
    });
    const size_t arrowRows = static_cast<size_t>(dataBegin - rows.begin()) - 1;
    const size_t firstData = 1 + arrowRows;

    enum { kUpper, kLower, kUpperErs, kLowerErs, kUnit, kGrrStdev, kGrrLimit, kLabelCount };
    static const char* const kLabels[kLabelCount] = {"Upper Limit", "Lower Limit", "Upper ERS", "Lower ERS",
                                                     "Unit",        "GRR Stdev",   "GRR Limit"};
    // Only the header and the arrow rows can carry a label: a data row whose
    // serial number happens to hold "unit" or "limit" is still a data row.
    size_t special[kLabelCount];
    for (int k = 0; k < kLabelCount; ++k) {
        special[k] = rows.size();
        for (size_t r = 0; r < firstData; ++r) {
            if (firstCellHas(rows[r], kLabels[k])) {
                special[k] = r;
                break;
            }
        }
    }
    auto isLimitRow = [&](size_t r) { return r == special[kUpper] || r == special[kLower]; };
    auto rowNumbers = [&](size_t r) {
        std::vector<double> v;
        v.reserve(cols);
        const bool limit = isLimitRow(r);
        for (size_t c = 0; c < cols; ++c) v.push_back(cellNumber(rows[r][c], limit));
        return v;
    };

    // The data rows' numbers in parts side by side, each part filling its own
    // range of the sized table.
    const size_t dataRows = rows.size() - firstData;
    std::vector<std::vector<double>> values(dataRows);
    const size_t numberParts = partCount(dataRows, kRowsPerPart);
    runParts(numberParts, [&](size_t k) {
        const size_t to = dataRows / numberParts * (k + 1) + (k + 1 == numberParts ? dataRows % numberParts : 0);
        for (size_t i = dataRows / numberParts * k; i < to; ++i) {
            if (i + 4 < to) __builtin_prefetch(rows[firstData + i + 4].data());
            values[i] = rowNumbers(firstData + i);
        }
    });

    std::vector<t_nkCsvColInfo> info(cols);
    const int figureLabels[6] = {kUpper, kLower, kUpperErs, kLowerErs, kGrrStdev, kGrrLimit};
    double t_nkCsvColInfo::*const figureFields[6] = {&t_nkCsvColInfo::upperLimit, &t_nkCsvColInfo::lowerLimit,
                                                     &t_nkCsvColInfo::upperErs,   &t_nkCsvColInfo::lowerErs,
                                                     &t_nkCsvColInfo::grrStdev,   &t_nkCsvColInfo::grrLimit};
    for (int f = 0; f < 6; ++f) {
        const size_t r = special[figureLabels[f]];
        if (r == rows.size()) continue;
        const std::vector<double> v = r >= firstData ? values[r - firstData] : rowNumbers(r);
        for (size_t c = 0; c < cols; ++c) info[c].*figureFields[f] = v[c];
    }
    for (size_t c = 0; c < cols; ++c) {
        t_nkCsvColInfo& ci = info[c];
        ci.title = rows[0][c];
        bool excluded = false;
        for (const char* t : k_nkCsv_columnToExclude) excluded = excluded || equalsNoCase(ci.title, t);
        // Parametric only when the column holds real numbers; text cells read as NaN.
        bool hasNumber = false;
        for (size_t r = 0; r < values.size() && !hasNumber && !excluded; ++r) hasNumber = nkMath_isValid(values[r][c]);
        ci.isParametric = !excluded && hasNumber;
        if (special[kUnit] != rows.size()) {
            const std::string& u = rows[special[kUnit]][c];
            // A whole cell NA or N/A (any case) is no unit; "nA" is nanoampere.
            const bool noUnit = u == "NA" || equalsNoCase(u, "N/A") || equalsNoCase(u, "nan") || equalsNoCase(u, "inf");
            if (ci.isParametric && !noUnit && !containsNoCase(u, "->")) ci.unit = u;
        }
    }

    rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(firstData));
    NK_ASSERT(info.size() == cols);
    NK_ASSERT(rows.size() == values.size());
    _buff_str.swap(rows);
    _buff_val.swap(values);
    _col_info.swap(info);
    _type = kind;
    _col_stat.clear();
    return kNKErr_OK;
}

// ---------------------------------------------------------------- operations

CNK_csv& CNK_csv::merge(const CNK_csv& csv) {
    NK_VALID_OR_RETURN(*this);
    if (this == &csv) {
        NK_REPORT(kNKErr_invalidParam, "this!=&csv");
        return *this;
    }
    if (_col_info.empty()) {
        NK_REPORT(kNKErr_invalidCondition, "_col_info.size()>0");
        return *this;
    }
    if (csv._type == k_nkCsv_type_unknown) {
        NK_REPORT(kNKErr_invalidCondition, "csv._type!=k_nkCsv_type_unknown");
        return *this;
    }
    if (csv._col_info.empty()) {
        NK_REPORT(kNKErr_invalidCondition, "csv._col_info.size()>0");
        return *this;
    }

    std::unordered_map<std::string, size_t> mine;
    for (size_t c = 0; c < _col_info.size(); ++c) mine.emplace(_col_info[c].title, c);

    if (csv._type == k_nkCsv_type_normal) {
        if (csv._buff_str.empty()) {
            NK_REPORT(kNKErr_invalidCondition, "csv._buff_str.size()>0");
            return *this;
        }
        if (csv._buff_val.empty()) {
            NK_REPORT(kNKErr_invalidCondition, "csv._buff_val.size()>0");
            return *this;
        }
        for (const t_nkCsvColInfo& ci : csv._col_info) {
            if (mine.count(ci.title)) continue;
            mine.emplace(ci.title, _col_info.size());
            _col_info.push_back(ci);
            for (auto& row : _buff_str) row.emplace_back();
            for (auto& row : _buff_val) row.push_back(kNK_noValue);
        }
        // Where each of this table's columns comes from in the other one.
        std::unordered_map<std::string, size_t> theirs;
        for (size_t c = 0; c < csv._col_info.size(); ++c) theirs.emplace(csv._col_info[c].title, c);
        std::vector<size_t> from(_col_info.size(), SIZE_MAX);
        for (size_t c = 0; c < _col_info.size(); ++c) {
            const auto it = theirs.find(_col_info[c].title);
            if (it != theirs.end()) from[c] = it->second;
        }
        const size_t n = std::min(csv._buff_str.size(), csv._buff_val.size());
        for (size_t r = 0; r < n; ++r) {
            std::vector<std::string> s(_col_info.size());
            std::vector<double> v(_col_info.size(), kNK_noValue);
            for (size_t c = 0; c < _col_info.size(); ++c) {
                if (from[c] == SIZE_MAX) continue;
                s[c] = csv._buff_str[r][from[c]];
                v[c] = csv._buff_val[r][from[c]];
            }
            _buff_str.push_back(std::move(s));
            _buff_val.push_back(std::move(v));
        }
    } else if (csv._type == k_nkCsv_type_grr_config) {
        for (const t_nkCsvColInfo& theirsCol : csv._col_info) {
            for (t_nkCsvColInfo& mineCol : _col_info) {
                if (mineCol.title != theirsCol.title) continue;
                mineCol.upperErs = theirsCol.upperErs;
                mineCol.lowerErs = theirsCol.lowerErs;
                mineCol.grrStdev = theirsCol.grrStdev;
                mineCol.grrLimit = theirsCol.grrLimit;
            }
        }
    }
    return *this;
}

CNK_csv CNK_csv::operator+(const CNK_csv& other) const {
    CNK_csv sum(*this);
    sum.merge(other);
    return sum;
}

u32 CNK_csv::timeSort() {
    NK_VALID_OR_RETURN(0);
    size_t col = _col_info.size();
    for (size_t c = 0; c < _col_info.size() && col == _col_info.size(); ++c)
        if (equalsNoCase(_col_info[c].title, "timestamp") || equalsNoCase(_col_info[c].title, "time stamp")) col = c;
    if (col == _col_info.size() || _buff_val.size() < 2) return 0;
    u32 swaps = 0;
    for (size_t i = 0; i + 1 < _buff_val.size(); ++i) {
        for (size_t j = i + 1; j < _buff_val.size(); ++j) {
            if (_buff_val[i][col] > _buff_val[j][col]) {
                _buff_val[i].swap(_buff_val[j]);
                _buff_str[i].swap(_buff_str[j]);
                ++swaps;
            }
        }
    }
    return swaps;
}

std::vector<CNK_csv> CNK_csv::getGroups(const std::string& columnTitle) {
    NK_VALID_OR_RETURN(std::vector<CNK_csv>());
    size_t col = _col_info.size();
#ifdef NK_MORVELL_BUILD
    // Morvell's titles are matched as written, and a missing one is reported.
    for (size_t c = 0; c < _col_info.size() && col == _col_info.size(); ++c)
        if (_col_info[c].title == columnTitle) col = c;
    if (col == _col_info.size()) {
        NK_REPORT(kNKErr_invalidParam, "isColumnFound");
        return {};
    }
#else
    for (size_t c = 0; c < _col_info.size() && col == _col_info.size(); ++c)
        if (strcasecmp(_col_info[c].title.c_str(), columnTitle.c_str()) == 0) col = c;
    if (col == _col_info.size()) return {};
#endif

    std::vector<std::string> names;
    std::unordered_map<std::string, size_t> seen;
    for (const auto& row : _buff_str)
        if (seen.emplace(row[col], names.size()).second) names.push_back(row[col]);
    if (names.size() < 2) {
        NK_REPORT(kNKErr_invalidStatus, "group_str.size()>1");
        return {};
    }
    const auto empty = std::find(names.begin(), names.end(), std::string());
    if (empty != names.end()) {
        names.erase(empty);
        if (std::find(names.begin(), names.end(), "N/A") == names.end()) names.push_back("N/A");
    }
    std::unordered_map<std::string, size_t> index;
    std::vector<CNK_csv> groups(names.size());
    for (size_t g = 0; g < names.size(); ++g) {
        groups[g]._groupName = names[g];
        groups[g]._col_info = _col_info;
        index.emplace(names[g], g);
    }
    for (size_t r = 0; r < _buff_str.size(); ++r) {
        const std::string& key = _buff_str[r][col].empty() ? std::string("N/A") : _buff_str[r][col];
        CNK_csv& g = groups[index.at(key)];
        g._buff_str.push_back(_buff_str[r]);
        g._buff_val.push_back(_buff_val[r]);
    }
    return groups;
}

namespace {

// The figures of the parametric columns [first, last) into their own entries of `stats`.
void columnFigures(const std::vector<std::vector<double>>& rows, const std::vector<t_nkCsvColInfo>& info,
                   const size_t* first, const size_t* last, std::vector<t_nkCsvColStat>& stats) {
    if (first == last) return;
    // Row by row: each row is its own allocation, so one pass over them is the
    // cheap way, with the row a few ahead asked for early. Only real
    // measurements: NaN, infinities and the sentinel would poison every figure.
    constexpr size_t kAhead = 8;
    for (size_t r = 0; r < rows.size(); ++r) {
        if (r + kAhead < rows.size()) __builtin_prefetch(rows[r + kAhead].data() + *first);
        const std::vector<double>& row = rows[r];
        for (const size_t* it = first; it != last; ++it)
#ifdef NK_MORVELL_BUILD
            // Morvell's tables drop only the no-value sentinel; a NaN is a value
            // there and carries into the figures.
            if (!(row[*it] == kNK_noValue)) stats[*it].values.push_back(row[*it]);
#else
            if (nkMath_isValid(row[*it])) stats[*it].values.push_back(row[*it]);
#endif
    }
    for (const size_t* it = first; it != last; ++it) {
        const size_t c = *it;
        const t_nkCsvColInfo& ci = info[c];
        t_nkCsvColStat& st = stats[c];
        const size_t n = st.values.size();
        if (n == 0) continue;

        // A limit cell "NA", empty or out of range reads as NaN: no limit, not
        // one that every value fails.
        const bool hasLower = nkMath_isValid(ci.lowerLimit);
        const bool hasUpper = nkMath_isValid(ci.upperLimit);
        double sum = 0.0, mx = st.values[0], mn = st.values[0];
        size_t pass = 0;
        for (double v : st.values) {
            sum += v;
            mx = std::max(mx, v);
            mn = std::min(mn, v);
            if ((!hasLower || ci.lowerLimit <= v) && (!hasUpper || v <= ci.upperLimit)) ++pass;
        }
#ifdef NK_MORVELL_BUILD
        // A NaN among the values makes the extremes NaN too, wherever it stands.
        for (double v : st.values)
            if (std::isnan(v)) mx = mn = v;
        st.passCount = static_cast<u32>(pass);
#endif
        st.max = mx;
        st.min = mn;
        st.mean = sum / static_cast<double>(n);
        st.yield = static_cast<double>(pass) / static_cast<double>(n) * 100.0;
        if (n >= 2) {
            double ss = 0.0;
            for (double v : st.values) ss += (v - st.mean) * (v - st.mean);
            st.stdev = std::sqrt(ss / static_cast<double>(n - 1));
        }
        // Identical values have no spread to measure capability against.
        if (st.stdev > 0.0 && nkMath_isValid(st.mean) && nkMath_isValid(st.stdev)) {
            if (hasLower) st.cpl = (st.mean - ci.lowerLimit) / (3.0 * st.stdev);
            if (hasUpper) st.cpu = (ci.upperLimit - st.mean) / (3.0 * st.stdev);
            if (hasLower && hasUpper) st.cpk = std::min(st.cpl, st.cpu);
        }
    }
}

}  // namespace

void CNK_csv::calculate_col_stat() {
    NK_VALID_OR_RETURN_VOID();
    if (!_col_stat.empty() || _buff_val.empty()) return;
    std::vector<t_nkCsvColStat> stats(_col_info.size());
    std::vector<size_t> parametric;
    for (size_t c = 0; c < _col_info.size(); ++c) {
        if (!_col_info[c].isParametric) continue;
        parametric.push_back(c);
        stats[c].stdev = 0.0;
        stats[c].values.reserve(_buff_val.size());
    }
    // The parametric columns in parts side by side, each part gathering and
    // summing its own columns: every column's figures come out of the same
    // additions in the same order as from one thread.
    const size_t parts = std::max<size_t>(1, std::min(partCount(_buff_val.size(), kRowsPerPart), parametric.size()));
    runParts(parts, [&](size_t k) {
        const size_t* first = parametric.data() + parametric.size() / parts * k;
        const size_t* last = k + 1 == parts ? parametric.data() + parametric.size() : first + parametric.size() / parts;
        columnFigures(_buff_val, _col_info, first, last, stats);
    });
    _col_stat.swap(stats);
}

namespace {

void printNumber(FILE* fp, double v, char sep) {
    if (nkMath_isValid(v)) pf::number::print(fp, "%.8f%c", v, sep);
    else std::fputc(sep, fp);
}

}  // namespace

void CNK_csv::print(FILE* stream, char separator) {
    NK_VALID_OR_RETURN_VOID();
    if (!stream) return;
    const char* kind = _type == k_nkCsv_type_normal       ? "data_csv"
                       : _type == k_nkCsv_type_test_limit ? "test_limit"
                       : _type == k_nkCsv_type_grr_config ? "grr_config"
                                                          : "unknown";
    std::fprintf(stream, "type:%s\n", kind);
    if (!_title.empty()) std::fprintf(stream, "title:[%s]\n", _title.c_str());
    if (!_swVersion.empty()) std::fprintf(stream, "sw_version:[%s]\n", _swVersion.c_str());
    if (!_specVersion.empty()) std::fprintf(stream, "spec_version:[%s]\n", _specVersion.c_str());
    const size_t cols = _col_info.size();
    if (cols == 0) return;
    auto sepAfter = [&](size_t c) { return c + 1 < cols ? separator : '\n'; };

    for (size_t c = 0; c < cols; ++c) std::fprintf(stream, "%s%c", _col_info[c].title.c_str(), sepAfter(c));

    struct LabelRow {
        const char* label;
        double t_nkCsvColInfo::*field;  // null: the unit row
    };
    static const LabelRow kRows[] = {
        {"Upper Limit", &t_nkCsvColInfo::upperLimit}, {"Lower Limit", &t_nkCsvColInfo::lowerLimit},
        {"Upper ERS", &t_nkCsvColInfo::upperErs},     {"Lower ERS", &t_nkCsvColInfo::lowerErs},
        {"Measurement Unit", nullptr},                {"GRR Stdev", &t_nkCsvColInfo::grrStdev},
        {"GRR Limit", &t_nkCsvColInfo::grrLimit},
    };
    for (const LabelRow& lr : kRows) {
        std::fprintf(stream, "%s%s%c", lr.label, "----->", sepAfter(0));
        for (size_t c = 1; c < cols; ++c) {
            if (lr.field) printNumber(stream, _col_info[c].*lr.field, sepAfter(c));
            else std::fprintf(stream, "%s%c", _col_info[c].unit.c_str(), sepAfter(c));
        }
    }
    for (size_t r = 0; r < _buff_str.size(); ++r) {
        for (size_t c = 0; c < cols; ++c) {
            if (_col_info[c].isParametric) printNumber(stream, _buff_val[r][c], sepAfter(c));
            else std::fprintf(stream, "%s%c", _buff_str[r][c].c_str(), sepAfter(c));
        }
    }
}

u16 CNK_csv::exportCsv(const std::string& path) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    const u16 rtn = nkcsv::writeFileAtomically(path, [this](FILE* fp) {
        print(fp, ',');
        return !std::ferror(fp);
    });
    if (rtn != kNKErr_OK) NK_REPORT(rtn, "fp!=NULL");
    return rtn;
}

// ================================================================ CNK_csvWriter

namespace {

using nkcsv::safeCell;

void appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    out += pf::number::vtext(fmt, ap);
    va_end(ap);
}

// One cell with its leading comma, in the item's value format.
// A bad type code is a programming error, reported as the writer's `func`.
void appendItemCell(std::string& out, const t_nkDataItem* it, double v, const CNK_baseObject* writer, const char* func) {
    const u32 type = static_cast<u32>(it->dataType);
    if (type > k_nkDataType_string) nkDebug_assertFail(__FILE__, writer->name, func, __LINE__, "type<=k_nkDataType_string");
    if (type == k_nkDataType_string) {
        out += ',';
        out += safeCell(std::string(it->text, strnlen(it->text, sizeof(it->text))).c_str());
        return;
    }
    // Unmeasured, NaN or infinite: nothing a reader could take for a number.
    if (!nkMath_isValid(v)) {
        out += ",NA";
        return;
    }
    const i64 whole = nkcsv::toI64(v);
    switch (type) {
    case kNKDT_u8: appendf(out, ",%u", static_cast<unsigned>(static_cast<u8>(whole))); break;
    case kNKDT_i8: appendf(out, ",%d", static_cast<int>(static_cast<i8>(whole))); break;
    case kNKDT_u16: appendf(out, ",%u", static_cast<unsigned>(static_cast<u16>(whole))); break;
    case kNKDT_i16: appendf(out, ",%d", static_cast<int>(static_cast<i16>(whole))); break;
    case kNKDT_u32: appendf(out, ",%u", static_cast<unsigned>(static_cast<u32>(whole))); break;
    case kNKDT_i32: appendf(out, ",%d", static_cast<int>(static_cast<i32>(whole))); break;
    case kNKDT_u64: appendf(out, ",%llu", static_cast<unsigned long long>(nkcsv::toU64(v))); break;
    case kNKDT_i64: appendf(out, ",%lld", static_cast<long long>(whole)); break;
    case kNKDT_float: appendf(out, ",%f", static_cast<double>(static_cast<float>(v))); break;
    default: appendf(out, ",%lf", v); break;
    }
}

void appendLimitCell(std::string& out, const t_nkDataItem* it, double v, const CNK_baseObject* writer, const char* func) {
    if (it->dataType == k_nkDataType_string) out += ",NA";
    else appendItemCell(out, it, v, writer, func);
}

void appendFixed(std::string& out, double v) {
    if (std::isfinite(v)) appendf(out, ",%.3lf", v);
    else out += ",NA";
}

}  // namespace

CNK_csvWriter::CNK_csvWriter() { NK_CLASS_NAME(); }

CNK_csvWriter::CNK_csvWriter(CNK_logManager* lm, u32 entryCountMax) {
    NK_CLASS_NAME();
    setLogManager(lm);
    if (setEntryCntMax(entryCountMax) != kNKErr_OK)
        nkDebug_assertFail(__FILE__, name, __func__, __LINE__, "setEntryCntMax(entryCountMax)==kNKErr_OK");
}

CNK_csvWriter::~CNK_csvWriter() {
    if (nkObj_isValid(this)) reset();
}

u16 CNK_csvWriter::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

u16 CNK_csvWriter::setEntryCntMax(u32 entryCntMax) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (entryCntMax == 0) {
        NK_REPORT(kNKErr_invalidParam, "entryCntMax>0");
        return kNKErr_invalidParam;
    }
    if (entryCntMax >= 4096) {
        NK_REPORT(kNKErr_invalidParam, "entryCntMax<4096");
        return kNKErr_invalidParam;
    }
    _entryCntMax = std::max<u32>(entryCntMax, 2048);
    return kNKErr_OK;
}

u16 CNK_csvWriter::addItem(const t_nkDataItem* item, const t_nkDataItem**& items, u32& count, u32& cap,
                           const char* func, const char* nullCond, const char* arrayCond, const char* fullCond) {
    if (!item) {
        nkDebug_printError(logManager, __FILE__, name, func, __LINE__, kNKErr_invalidPointer, nullCond);
        return kNKErr_invalidPointer;
    }
    if (!items) {
        items = static_cast<const t_nkDataItem**>(std::calloc(_entryCntMax, sizeof(*items)));
        if (!items) {
            nkDebug_printError(logManager, __FILE__, name, func, __LINE__, kNKErr_memoryAllocationFailed, arrayCond);
            return kNKErr_memoryAllocationFailed;
        }
        cap = _entryCntMax;
    }
    if (count >= cap) {
        nkDebug_printError(logManager, __FILE__, name, func, __LINE__, kNKErr_invalidCondition, fullCond);
        return kNKErr_invalidCondition;
    }
    items[count++] = item;
    return kNKErr_OK;
}

u16 CNK_csvWriter::addAttr(const t_nkDataItem* pAttrItem) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    return addItem(pAttrItem, _pAttrItems, _attrCnt, _attrCap, __func__, "pAttrItem!=NULL", "_pAttrItems!=NULL",
                   "_attrCnt<_entryCntMax");
}

u16 CNK_csvWriter::addData(const t_nkDataItem* pDataItem) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    return addItem(pDataItem, _pDataItems, _dataCnt, _dataCap, __func__, "pDataItem!=NULL", "_pDataItems!=NULL",
                   "_dataCnt<_entryCntMax");
}

void CNK_csvWriter::reset() {
    NK_VALID_OR_RETURN_VOID();
    _entryCntMax = 2048;
    std::free(_pAttrItems);
    std::free(_pDataItems);
    _pAttrItems = nullptr;
    _pDataItems = nullptr;
    _attrCnt = _dataCnt = 0;
    _attrCap = _dataCap = 0;
}

u16 CNK_csvWriter::write(const char* filePathName, const char* strTitle, const char* strVersion,
                         const char* serialNumber, u16 errCode, const char* errString, const char* strTime_start,
                         const char* strTime_stop, double timeStamp, double testTime) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!(filePathName != nullptr && std::strlen(filePathName))) {
        NK_REPORT(kNKErr_invalidPointer, "filePathName!=NULL && strlen(filePathName)");
        return kNKErr_invalidPointer;
    }
    if (!(strTitle != nullptr && std::strlen(strTitle))) {
        NK_REPORT(kNKErr_invalidPointer, "strTitle!=NULL && strlen(strTitle)");
        return kNKErr_invalidPointer;
    }
    if (!(strVersion != nullptr && std::strlen(strVersion))) {
        NK_REPORT(kNKErr_invalidPointer, "strVersion!=NULL && strlen(strVersion)");
        return kNKErr_invalidPointer;
    }
    if (!(serialNumber != nullptr && std::strlen(serialNumber) > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "serialNumber!=NULL && strlen(serialNumber)>0");
        return kNKErr_invalidCondition;
    }
    if (!(strTime_start != nullptr && std::strlen(strTime_start) > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "strTime_start!=NULL && strlen(strTime_start)>0");
        return kNKErr_invalidCondition;
    }
    if (!(strTime_stop != nullptr && std::strlen(strTime_stop) > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "strTime_stop!=NULL && strlen(strTime_stop)>0");
        return kNKErr_invalidCondition;
    }
    std::string fileName(filePathName);
    if (!strcasestr(fileName.c_str(), ".csv")) fileName += ".csv";

    std::string row;
    row += safeCell(serialNumber);
    appendf(row, ",%s,%d,", errCode == 0 ? "PASS" : "FAIL", static_cast<int>(errCode));
    row += safeCell(errString) + "," + safeCell(strTime_start) + "," + safeCell(strTime_stop);
    appendFixed(row, timeStamp);
    appendFixed(row, testTime);
    for (u32 i = 0; i < _attrCnt; ++i) appendItemCell(row, _pAttrItems[i], _pAttrItems[i]->value, this, __func__);
    for (u32 i = 0; i < _dataCnt; ++i) appendItemCell(row, _pDataItems[i], _pDataItems[i]->value, this, __func__);
    row += ",\n";

    // Failures are reported after the file lock is let go: a report takes the
    // log manager's lock, and the two locks are never held together.
    const u16 rtn = appendLocked(fileName, strTitle, strVersion, row);
    if (rtn == kNKErr_fileOpenFailed) NK_REPORT(kNKErr_fileOpenFailed, "fp!=NULL");
    else if (rtn != kNKErr_OK) NK_REPORT(rtn, "written");
    return rtn;
}

u16 CNK_csvWriter::appendLocked(const std::string& fileName, const char* strTitle, const char* strVersion,
                                const std::string& row) {
    return nkcsv::appendToCsvFile(fileName, [&](bool existed) {
        std::string block;
        if (!existed) {
            block += safeCell(strTitle) + ",Version:" + safeCell(strVersion) + ",\n";
            block += "SerialNumber,overallResult,errCode,errString,startTime,stopTime,timeStamp,testTime";
            for (u32 i = 0; i < _attrCnt; ++i) block.append(",").append(safeCell(_pAttrItems[i]->name));
            for (u32 i = 0; i < _dataCnt; ++i) block.append(",").append(safeCell(_pDataItems[i]->name));
            block += ",\n";
            for (int upper = 1; upper >= 0; --upper) {
                block += upper ? "Upper Limit----->" : "Lower Limit----->";
                block += ",,0,,,,,";
                for (u32 i = 0; i < _attrCnt; ++i) block += ",ATTRB";
                for (u32 i = 0; i < _dataCnt; ++i)
                    appendLimitCell(block, _pDataItems[i], upper ? _pDataItems[i]->limitUpper : _pDataItems[i]->limitLower, this, "write");
                block += ",\n";
            }
        }
        return block + row;
    });
}

// ================================================================ test-data CSV to property list

namespace {

using pf::plist::Value;

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (true) {
        const size_t comma = line.find(',', pos);
        out.push_back(line.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos).substr(0, 255));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return out;
}

const std::string& fieldAt(const std::vector<std::string>& fields, size_t i) {
    static const std::string kEmpty;
    return i < fields.size() ? fields[i] : kEmpty;
}

// "NA" gives the sentinel; otherwise the whole cell must be a finite number.
bool limitOrValue(const std::string& cell, double& out) {
    if (cell == "NA") {
        out = kNK_noValue;
        return true;
    }
    if (cell.empty()) return false;
    char* end = nullptr;
    out = pf::number::parse(cell.c_str(), &end);
    return end == cell.c_str() + cell.size() && std::isfinite(out);
}

Value testRecord(const std::string& name, const std::string& upper, const std::string& lower, const std::string& value,
                 bool pass, const std::string& failure) {
    Value t = Value::dict();
    t.set("testname", Value::string(name));
    t.set("upperlimit", Value::string(upper));
    t.set("lowerlimit", Value::string(lower));
    t.set("value", Value::string(value));
    t.set("priority", Value::string("0"));
    t.set("result", Value::string(pass ? "PASS" : "FAIL"));
    t.set("failure_message", Value::string(failure));
    return t;
}

}  // namespace

u16 nkUtil_csvToPlist(const char* csvPath, const char* plistPath, bool stopAtFirstFailure, bool simple,
                      bool lastRowOnly) {
    if (!csvPath) {
        NK_REPORT_FN(kNKErr_invalidParam, "csvPath");
        return kNKErr_invalidParam;
    }
    FILE* fp = std::fopen(csvPath, "r");
    if (!fp) {
        NK_REPORT_FN(kNKErr_fileOpenFailed, "fp");
        return kNKErr_fileOpenFailed;
    }
    std::string text;
    bool readFailed = false;
    // A file larger than memory must come back as an error, not as an exception.
    try {
        char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof(chunk), fp)) > 0) text.append(chunk, n);
        readFailed = std::ferror(fp) != 0;
    } catch (const std::bad_alloc&) {
        std::fclose(fp);
        NK_REPORT_FN(kNKErr_memoryAllocationFailed, "fileText");
        return kNKErr_memoryAllocationFailed;
    }
    std::fclose(fp);
    if (readFailed) {
        NK_REPORT_FN(kNKErr_fileReadFailed, "readLeng==fileSize");
        return kNKErr_fileReadFailed;
    }

    // Lines as views into the text; a '\r' before the '\n' (a CRLF file) is no part of them.
    std::vector<std::string_view> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        const size_t next = nl == std::string::npos ? text.size() : nl + 1;
        if (nl == std::string::npos) nl = text.size();
        if (nl > pos && text[nl - 1] == '\r') --nl;
        lines.emplace_back(text.data() + pos, nl - pos);
        pos = next;
    }
    const bool lastLineOpen = !text.empty() && text.back() != '\n';
    if (lines.size() < 4 || (lines.size() == 4 && lastLineOpen)) {
        // Without all four head lines there is nothing to convert; with them, no unit.
        const u16 code = lines.size() < 4 ? kNKErr_invalidFormat : kNKErr_dataCheckError;
        NK_REPORT_FN(code, lines.size() < 4 ? "title and limit lines" : "dataLineCount>0");
        return code;
    }
    // A unit line without its "\n" may still be being written: nothing is
    // converted, and the property list from the last complete file stays.
    if (lastLineOpen) {
        NK_REPORT_FN(kNKErr_invalidFormat, "data line ends with a newline");
        return kNKErr_invalidFormat;
    }
    const std::string header(lines[0]);
    const std::string softwareName = header.substr(0, header.find(','));
    std::string softwareVersion;
    if (const size_t v = header.find("Version:"); v != std::string::npos) {
        size_t b = v + 8;
        while (b < header.size() && (header[b] == ' ' || header[b] == '\t')) ++b;
        softwareVersion = header.substr(b, header.find(',', b) == std::string::npos ? std::string::npos
                                                                                     : header.find(',', b) - b);
    }
    const std::string titleLine(lines[1]);
    const std::vector<std::string> titles = splitFields(titleLine);
    const std::vector<std::string> uppers = splitFields(std::string(lines[2]));
    const std::vector<std::string> lowers = splitFields(std::string(lines[3]));
    const bool hasAttributes = strcasestr(std::string(lines[2]).c_str(), "ATTRB,") != nullptr;

    const size_t dataEnd = lines.size();
    const size_t dataCount = dataEnd - 4;
    if (dataCount == 0) {
        NK_REPORT_FN(kNKErr_dataCheckError, "dataLineCount>0");
        return kNKErr_dataCheckError;
    }
    // Each unit's record goes to the file as soon as it is built: memory stays
    // near one record, whatever the number of units.
    const std::string out = plistPath && *plistPath ? std::string(plistPath) : nkcsv::defaultPlistPath(csvPath);
    pf::plist::DictFileWriter plist(out);
    u16 rtn = kNKErr_OK;
    int key = 0;
    for (size_t li = lastRowOnly ? dataEnd - 1 : 4; li < dataEnd && rtn == kNKErr_OK; ++li) {
        const std::string line(lines[li]);
        const std::vector<std::string> fields = splitFields(line);
        Value record = Value::dict();
        Value attributes = Value::dict();
        char item[256];
        auto itemOf = [&](const char* title, u16& code) {
            code = nkStr_getItemString(titleLine.c_str(), line.c_str(), ",", title, item);
            return std::string(code == kNKErr_OK ? item : "");
        };

        u16 code = kNKErr_OK;
        if (!simple) {
            const std::string sn = itemOf("serialnumber", code);
            if (code == kNKErr_OK) {
                attributes.set("serialnumber", Value::string(sn));
                attributes.set("softwarename", Value::string(softwareName));
                attributes.set("softwareversion", Value::string(softwareVersion));
            }
        }
        if (code == kNKErr_OK && hasAttributes) {
            for (size_t c = 0; c < uppers.size(); ++c) {
                if (strcasecmp(uppers[c].c_str(), "ATTRB") != 0) continue;
                if (c >= fields.size() || c >= titles.size()) {
                    NK_REPORT_FN(kNKErr_invalidFormat, "attribute field");
                    break;
                }
                attributes.set(titles[c], Value::string(fields[c]));
            }
        }
        if (attributes.size() > 0) record.set("Attributes", attributes);
        const char* const fixed[3][2] = {{"OverallResult", "overallresult"}, {"StartTime", "startTime"},
                                         {"StopTime", "stopTime"}};
        for (int f = 0; f < 3 && code == kNKErr_OK; ++f) {
            const std::string v = itemOf(fixed[f][1], code);
            if (code == kNKErr_OK) record.set(fixed[f][0], Value::string(v));
        }
        if (code != kNKErr_OK) {
            NK_REPORT_FN(code, "nkStr_getItemString");
            rtn = code;
            plist.add(std::to_string(key++), record);
            break;
        }

        Value tests = Value::array();
        for (const char* name : {"timeStamp", "testTime"}) {
            u16 ignored = kNKErr_OK;
            tests.append(testRecord(name, "NA", "NA", itemOf(name, ignored), true, std::string("Failed ") + name));
        }
        for (size_t c = 1;; ++c) {
            const std::string& title = fieldAt(titles, c);
            const std::string& upper = fieldAt(uppers, c);
            const std::string& lower = fieldAt(lowers, c);
            const std::string& value = fieldAt(fields, c);
            if (title.empty() && upper.empty() && lower.empty() && value.empty()) break;
            if (strcasecmp(title.c_str(), "config") == 0) continue;
            double lo = 0, hi = 0, v = 0;
            if (!limitOrValue(upper, hi) || !limitOrValue(lower, lo) || !limitOrValue(value, v)) continue;
            const bool pass = (lo == kNK_noValue || v >= lo) && (hi == kNK_noValue || v <= hi);
            if (value != "NA") {
                std::string failure = "Failed " + title;
                if (title == "errCode") {
                    u16 ignored = kNKErr_OK;
                    const std::string errString = itemOf("errString", ignored);
                    if (!errString.empty())
                        failure = "err[" + std::to_string(static_cast<int>(nkcsv::toI64(v))) + "]=" + errString;
                }
                tests.append(testRecord(title, upper, lower, value, pass, failure));
            }
            if (stopAtFirstFailure && !pass) break;
        }
        record.set("Tests", std::move(tests));
        plist.add(std::to_string(key++), record);
    }

    std::string why;
    if (!plist.commit(&why)) {
        NK_REPORT_FN(kNKErr_fileWriteFailed, why.c_str());
        if (rtn == kNKErr_OK) rtn = kNKErr_fileWriteFailed;
    }
    return rtn;
}
