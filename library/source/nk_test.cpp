// Test framework: test items, the class registry, the test-script loader and
// the test data with its limits and the summary CSV.
#include "nk_test.h"

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <locale.h>
#include <thread>

#include "nk_csv.h"
#include "nk_csv_common.h"
#include "nk_file.h"
#include "nk_string.h"
#include "nk_utils.h"

namespace {

// Numbers in files and log lines use '.' whatever locale the program runs
// under; the C locale is taken for this thread only, around each formatting.
class CNumericScope {
public:
    CNumericScope() {
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        old_ = cLocale ? uselocale(cLocale) : static_cast<locale_t>(0);
    }
    ~CNumericScope() {
        if (old_) uselocale(old_);
    }
    CNumericScope(const CNumericScope&) = delete;
    CNumericScope& operator=(const CNumericScope&) = delete;

private:
    locale_t old_;
};

std::string vformat(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char buf[256];
    const int n = std::vsnprintf(buf, sizeof(buf), fmt, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof(buf)) return std::string(buf, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
    return out;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    CNumericScope numeric;
    va_list ap;
    va_start(ap, fmt);
    std::string out = vformat(fmt, ap);
    va_end(ap);
    return out;
}

// Used by formats that come from callers, whose argument types are checked at run time.
// The format is a C text: va_start on a reference parameter is undefined.
std::string formatDynamic(const char* fmt, ...) {
    CNumericScope numeric;
    va_list ap;
    va_start(ap, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::string out = vformat(fmt, ap);
#pragma GCC diagnostic pop
    va_end(ap);
    return out;
}

bool isStringType(const std::string& typeStr) { return typeStr == "string"; }

// 0 floating, 1 signed, 2 unsigned, 3 text.
int typeKind(const std::string& typeStr) {
    if (typeStr == "float" || typeStr == "double") return 0;
    if (isStringType(typeStr)) return 3;
    if (typeStr.rfind("uint", 0) == 0) return 2;
    return 1;
}

// Truncation toward zero, clamped into the target's range (NaN gives 0).
i64 clampI64(double v) { return nkcsv::toI64(v); }
u64 clampU64(double v) { return v <= 0.0 || v != v ? 0 : nkcsv::toU64(v); }

// A symbol's number in the value printing rules; NaN and infinities as words.
std::string numberText(const std::string& typeStr, double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    switch (typeKind(typeStr)) {
    case 1: return format("%lld", static_cast<long long>(clampI64(v)));
    case 2: return format("%llu", static_cast<unsigned long long>(clampU64(v)));
    default: return format("%lf", v);
    }
}

double nowAbsolute() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - kNK_unixToReference;
}

}  // namespace

double nkTest_now() { return nowAbsolute(); }

// ================================================================ CNK_testItem

CNK_testItem::CNK_testItem() { NK_CLASS_NAME(); }

CNK_testItem::~CNK_testItem() = default;

u16 CNK_testItem::setLogManager(CNK_logManager* lm) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    const u16 rtn = acceptLogManager(lm);
    if (rtn == kNKErr_OK) _logManager = lm;
    return rtn;
}

void CNK_testItem::setItemInfo(const INK_testItem& info, const std::string& serialNumber,
                               const std::string& sessionName, std::vector<CNK_testItem*>* items) {
    NK_VALID_OR_RETURN_VOID();
    _type = info.type;
    _name = info.name;
    _params = info.params;
    _async = info.async;
    _waitFor = info.waitFor;
    _serialNumber = serialNumber;
    _sessionName = sessionName;
    _items = items;
}

void CNK_testItem::setCallback(INK_testItem_callback* callback) {
    NK_VALID_OR_RETURN_VOID();
    if (!callback) return;
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    for (INK_testItem_callback* cb : _callbacks)
        if (cb == callback) return;
    _callbacks.push_back(callback);
}

void CNK_testItem::removeCallback(INK_testItem_callback* callback) {
    NK_VALID_OR_RETURN_VOID();
    if (!callback) return;
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    for (auto it = _callbacks.begin(); it != _callbacks.end(); ++it) {
        if (*it == callback) {
            _callbacks.erase(it);
            return;
        }
    }
}

void CNK_testItem::setStatus(t_nkTestStat status) {
    NK_VALID_OR_RETURN_VOID();
    // Compare, store and notify as one step: listeners hear the statuses in
    // the order they were set, and each reads the one it is told about.
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    if (_status.load() == status) return;
    _status.store(status);
    const std::vector<INK_testItem_callback*> listeners = _callbacks;
    for (INK_testItem_callback* cb : listeners) cb->onStatusUpdated(static_cast<long>(_index));
}

t_nkTestStat CNK_testItem::testStatus() const {
    if (!nkObj_isValid(this)) return kNkTestStat_NA;
    return _status.load();
}

bool CNK_testItem::waitForCompletion(double timeoutSec) {
    if (!nkObj_isValid(this)) return true;
    const auto start = std::chrono::steady_clock::now();
    t_nkTestStat st = _status.load();
    if (st == kNkTestStat_NA) return false;
    for (;;) {
        if (st == kNkTestStat_ABORTED || st >= kNkTestStat_PASS) break;
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= timeoutSec) break;
        std::this_thread::sleep_for(std::chrono::microseconds(4000));
        st = _status.load();
        if (st == kNkTestStat_NA) break;
    }
    return st >= kNkTestStat_PASS;
}

bool CNK_testItem::waitPrerequisite() {
    NK_VALID_OR_RETURN(false);
    std::vector<CNK_testItem*> prerequisites;
    for (const std::string& wanted : _waitFor) {
        if (nkObj_isValid(_logManager)) _logManager->printText(kVL1, "* %s : wait for prerequisites\n", _name.c_str());
        setStatus(kNkTestStat_STANDBY);
        if (!_items) continue;
        for (CNK_testItem* item : *_items)
            if (item && item->_name == wanted) prerequisites.push_back(item);
    }
    for (CNK_testItem* item : prerequisites) {
        const bool completed = item->waitForCompletion(10.0);
        if (!completed || item->testStatus() != kNkTestStat_PASS) {
            setStatus(kNkTestStat_FAIL);
            return false;
        }
    }
    setStatus(kNkTestStat_TESTING);
    return true;
}

// ================================================================ class registry

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<t_testClassCreatorInfo> rows;
};

// Function-local, so that static initialisers of any source may register.
Registry& registry() {
    static Registry r;
    return r;
}

t_testClassCreator findCreator(const std::string& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const t_testClassCreatorInfo& row : r.rows)
        if (row.name == name) return row.creator;
    return nullptr;
}

}  // namespace

void nkTest_registerTestClass(const std::string& name, t_testClassCreator creator) {
    std::printf("[%p]\t%s\n", reinterpret_cast<void*>(creator), name.c_str());
    std::fflush(stdout);
    Registry& r = registry();
    bool duplicated = false;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (const t_testClassCreatorInfo& row : r.rows)
            if (row.name == name) duplicated = true;
        if (!duplicated) r.rows.push_back({name, creator});
    }
    if (duplicated) {
        std::fprintf(stderr, "[err] duplicated class name registration: %s", name.c_str());
        std::fflush(stderr);
        nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "!duplicated");
    }
}

CNK_testItem* nkTest_createTestClassInstance(const std::string& name) {
    const t_testClassCreator creator = findCreator(name);
    if (!creator) return nullptr;
    try {
        return creator();
    } catch (...) {
        return nullptr;  // no exception leaves the library
    }
}

bool nkTest_isTestClassContructorAvailable(const std::string& name) { return findCreator(name) != nullptr; }

void nkTest_showTestClassTable(CNK_logManager* lm) {
    if (!nkObj_isValid(lm)) return;
    std::vector<t_testClassCreatorInfo> rows;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        rows = r.rows;
    }
    for (size_t i = 0; i < rows.size(); ++i)
        lm->printText(kVL0, "[%4d]\t%-20s\t%p\n", static_cast<int>(i), rows[i].name.c_str(),
                      reinterpret_cast<void*>(rows[i].creator));
}

// ================================================================ test scripts

namespace {

const char* const kLoaderName = "nkTest_loadTestScript";

void loaderReport(int line, u16 code, const char* condition) {
    nkDebug_printError(nullptr, __FILE__, nullptr, kLoaderName, line, code, condition);
}

// Text preparation: comments, blanks, assignments and continued lines.
std::string prepareScript(std::string s) {
    for (char& c : s) {
        if (c == '\r') c = '\n';
        else if (c == '\t') c = ' ';
    }

    // Comments to the end of their line; a comment that filled its line takes the line with it.
    for (size_t i = 0; i < s.size();) {
        if (s[i] != '#' && !(s[i] == '/' && i + 1 < s.size() && s[i + 1] == '/')) {
            ++i;
            continue;
        }
        const size_t end = s.find('\n', i);
        s.erase(i, (end == std::string::npos ? s.size() : end) - i);
        size_t start = i;
        while (start > 0 && s[start - 1] == ' ') --start;
        s.erase(start, i - start);
        i = start;
        if (start > 0 && s[start - 1] == '\n') {
            s.erase(start - 1, 1);
            i = start - 1;
        }
    }

    // One blank between words; none around a backslash or at the start of a line.
    std::string t;
    t.reserve(s.size());
    for (char c : s) {
        if (c == ' ') {
            if (!t.empty() && (t.back() == ' ' || t.back() == '\\' || t.back() == '\n')) continue;
        } else if (c == '\\') {
            if (!t.empty() && t.back() == ' ') t.pop_back();
        }
        t.push_back(c);
    }

    // "class = X" is "class=X".
    s.clear();
    for (char c : t) {
        if (c == ' ' && !s.empty() && s.back() == '=') continue;
        if (c == '=' && !s.empty() && s.back() == ' ') s.pop_back();
        s.push_back(c);
    }

    // Continued lines.
    for (size_t i = 0; i < s.size();) {
        if (s[i] != '\\') {
            ++i;
            continue;
        }
        if (i + 2 < s.size() && s[i + 1] == '\n' && s[i + 2] == '\n') {
            s.erase(i, 2);  // the continued line ends at the empty line
        } else if (i + 1 == s.size()) {
            s.erase(i, 1);
        } else {
            s[i] = ' ';
            s.erase(i + 1, 1);
            ++i;
        }
    }
    return s;
}

std::string trimBlanks(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return std::string();
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

// Takes the first candidate containing the mark (case ignored) out of the list;
// `value` gets the text after the mark with leading blanks skipped.
bool takeMarked(std::vector<std::string>& candidates, const char* mark, std::string* value) {
    for (auto it = candidates.begin(); it != candidates.end(); ++it) {
        const char* hit = nkStr_strcasestr(it->c_str(), mark);
        if (!hit) continue;
        if (value) {
            const char* p = hit + std::strlen(mark);
            while (*p == ' ' || *p == '\t') ++p;
            *value = p;
        }
        candidates.erase(it);
        return true;
    }
    return false;
}

}  // namespace

u16 nkTest_parseTestScript(std::vector<char> text, std::vector<INK_testItem>& items) {
    items.clear();
    // The text ends at its first zero byte, as a C text would.
    std::string s(text.begin(), text.end());
    const size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    s = prepareScript(std::move(s));

    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos <= s.size()) {
        const size_t end = s.find('\n', pos);
        const size_t stop = end == std::string::npos ? s.size() : end;
        if (stop > pos) lines.push_back(s.substr(pos, stop - pos));
        if (end == std::string::npos) break;
        pos = end + 1;
    }

    u32 section = kNkTestType_unknown;
    for (const std::string& line : lines) {
        // Section markers anywhere in a line; "unknown" only as the whole line,
        // so a name containing the word is not taken for it.
        bool marker = false;
        for (size_t k = 1; k < kNkScriptMarkerStr.size() && !marker; ++k) {
            if (nkStr_strcasestr(line.c_str(), kNkScriptMarkerStr[k])) {
                section = static_cast<u32>(k);
                marker = true;
            }
        }
        if (!marker && strcasecmp(trimBlanks(line).c_str(), kNkScriptMarkerStr[0]) == 0) {
            section = kNkTestType_unknown;
            marker = true;
        }
        if (marker) continue;

        if (section == kNkTestType_unknown) {
            std::fprintf(stderr, "unknown test type - check the script for\n\t\"%s\"\n", line.c_str());
            loaderReport(__LINE__, kNKErr_invalidDataType, "");
            items.clear();
            return kNKErr_invalidDataType;
        }

        std::vector<std::string> tokens;
        size_t p = 0;
        while (true) {
            const size_t blank = line.find(' ', p);
            tokens.push_back(line.substr(p, blank == std::string::npos ? std::string::npos : blank - p));
            if (blank == std::string::npos) break;
            p = blank + 1;
        }
        if (tokens.size() > 1 && tokens.back().empty()) tokens.pop_back();  // a blank ends the line

        INK_testItem item;
        item.type = section;
        item.name = tokens.front();
        std::vector<std::string> candidates(tokens.begin() + 1, tokens.end());
        takeMarked(candidates, kNKTestClassMark, &item.className);
        std::string prerequisite;
        if (takeMarked(candidates, kNKTestPrerequisiteMark, &prerequisite)) item.waitFor.push_back(prerequisite);
        item.async = takeMarked(candidates, kNKTestAsyncMark, nullptr);
        item.params = std::move(candidates);

        if (item.className.empty()) {
            std::fprintf(stderr, "test class not specified\n\ttestName=\"%s\"\n", item.name.c_str());
            loaderReport(__LINE__, kNKErr_invalidFormat, "");
            items.clear();
            return kNKErr_invalidFormat;
        }
        if (!nkTest_isTestClassContructorAvailable(item.className)) {
            std::fprintf(stderr, "class instance constructor not available\n\ttestName=\"%s\"\n\tclassName=\"%s\"\n",
                         item.name.c_str(), item.className.c_str());
            loaderReport(__LINE__, kNKErr_invalidFormat, "");
            items.clear();
            return kNKErr_invalidFormat;
        }
        items.push_back(std::move(item));
    }
    return kNKErr_OK;
}

u16 nkTest_loadTestScript(const std::string& fileName, std::vector<INK_testItem>& items) {
    items.clear();
    const std::vector<u8> buff = nkFile_readFile(fileName);
    if (buff.empty()) {
        loaderReport(__LINE__, kNKErr_fileNotExist, "buff.size()>0");
        return kNKErr_fileNotExist;
    }
    return nkTest_parseTestScript(std::vector<char>(buff.begin(), buff.end()), items);
}

// ================================================================ t_nkTestData

void t_nkTestData::reset() {
    value = std::nan("");
    str.clear();
}

bool t_nkTestData::isPass() const {
    if (report_type == kNkReportType_attribute) return true;
    // A text has no number to hold against limits.
    if (isStringType(typeStr)) return true;
    const bool hasL = nkMath_isValid(LSL), hasU = nkMath_isValid(USL);
    if (!hasL && !hasU) return true;
    if (!nkMath_isValid(value)) return false;
    if (hasL && value < LSL) return false;
    if (hasU && value > USL) return false;
    return true;
}

// ================================================================ CNK_testData

CNK_testData::CNK_testData() {
    NK_CLASS_NAME();
    reset();
}

CNK_testData::~CNK_testData() = default;

u16 CNK_testData::setLogManager(CNK_logManager* lm) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    const u16 rtn = acceptLogManager(lm);
    if (rtn == kNKErr_OK) _logManager = lm;
    return rtn;
}

t_nkTestData* CNK_testData::find(const std::string& testName, const std::string& itemName) {
    const auto it = _symbolMap.find(testName + "::" + itemName);
    return it == _symbolMap.end() ? nullptr : &_testDataTable[it->second];
}

#define NK_TESTDATA_CHECK(cond, func, line) \
    do { if (!(cond)) nkDebug_assertFail(__FILE__, name, (func), (line), #cond); } while (0)

t_nkTestData* CNK_testData::numericParam(const std::string& testName, const std::string& itemName, const char* func,
                                         int line) {
    t_nkTestData* pData = find(testName, itemName);
    NK_TESTDATA_CHECK(pData!=NULL, func, line);
    NK_TESTDATA_CHECK(pData->typeStr!="string", func, line);
    NK_TESTDATA_CHECK(pData->report_type==kNkReportType_param, func, line);
    return pData;
}

u16 CNK_testData::addDataSymbol(const std::string& testName, const std::string& itemName, const std::string& typeStr,
                                double LSL, double USL, const std::string& unit, bool isAttribute) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (testName.empty()) {
        NK_REPORT(kNKErr_invalidParam, "testName.size()>0");
        return kNKErr_invalidParam;
    }
    if (itemName.empty()) {
        NK_REPORT(kNKErr_invalidParam, "fomName.size()>0");
        return kNKErr_invalidParam;
    }
    if (typeStr.empty()) {
        NK_REPORT(kNKErr_invalidParam, "typeStr.size()>0");
        return kNKErr_invalidParam;
    }
    const t_nkTestData* pDuplicatedSymbol = find(testName, itemName);
    if (pDuplicatedSymbol) {
        NK_REPORT(kNKErr_duplicatedSymbol, "pDuplicatedSymbol==NULL");
        return kNKErr_duplicatedSymbol;
    }
    size_t type_idx = 0;
    while (type_idx < kNkDataTypeStr.size() && typeStr != kNkDataTypeStr[type_idx]) ++type_idx;
    if (type_idx >= kNkDataTypeStr.size()) {
        NK_REPORT(kNKErr_invalidDataType, "type_idx<kNkDataTypeStr.size()");
        return kNKErr_invalidDataType;
    }
    t_nkTestData d;
    d.testName = testName;
    d.itemName = itemName;
    d.typeStr = typeStr;
    d.unit = unit;
    d.LSL = LSL;
    d.USL = USL;
    d.report_type = isAttribute ? kNkReportType_attribute : kNkReportType_param;
    d.reset();
    _symbolMap.emplace(testName + "::" + itemName, _testDataTable.size());
    _testDataTable.push_back(std::move(d));
    _maxTestNameLen = std::max<u64>(_maxTestNameLen, testName.size());
    _maxItemNameLen = std::max<u64>(_maxItemNameLen, itemName.size());
    return kNKErr_OK;
}

void CNK_testData::print_symbol_table(const std::string& title, FILE* fp, char separator) {
    NK_VALID_OR_RETURN_VOID();
    if (!fp) return;
    std::string out = format("//%s, exported %s\n", title.empty() ? "Symbol Table" : title.c_str(),
                             nkUtil_getTimestampStr(0).c_str());
    const int tw = static_cast<int>(_maxTestNameLen), iw = static_cast<int>(_maxItemNameLen);
    if (separator == ',') {
        out += "TestName,Item,type,LSL,USL,\n";
    } else {
        out += format("%-*s%c%-*s%c%-8s%c%10s%c%10s%c\n", tw, "TestName", separator, iw, "Item", separator, "type",
                      separator, "LSL", separator, "USL", separator);
    }
    out += "//----\n";
    const std::string* previous = _testDataTable.empty() ? nullptr : &_testDataTable.front().testName;
    for (const t_nkTestData& d : _testDataTable) {
        if (*previous != d.testName) out += "//----\n";
        previous = &d.testName;
        if (separator == ',')
            out += format("%s,%s,%s,%f,%f,\n", d.testName.c_str(), d.itemName.c_str(), d.typeStr.c_str(), d.LSL, d.USL);
        else
            out += format("%-*s%c%-*s%c%-8s%c%10f%c%10f%c\n", tw, d.testName.c_str(), separator, iw,
                          d.itemName.c_str(), separator, d.typeStr.c_str(), separator, d.LSL, separator, d.USL,
                          separator);
    }
    std::fwrite(out.data(), 1, out.size(), fp);
}

double CNK_testData::get_LSL(const std::string& testName, const std::string& itemName) {
    return numericParam(testName, itemName, __func__, __LINE__)->LSL;
}

double CNK_testData::get_USL(const std::string& testName, const std::string& itemName) {
    return numericParam(testName, itemName, __func__, __LINE__)->USL;
}

double CNK_testData::getData(const std::string& testName, const std::string& itemName, bool nanAsZero) {
    const t_nkTestData* pData = find(testName, itemName);
    NK_TESTDATA_CHECK(pData!=NULL, __func__, __LINE__);
    NK_TESTDATA_CHECK(pData->typeStr!="string", __func__, __LINE__);
    return nanAsZero && std::isnan(pData->value) ? 0.0 : pData->value;
}

std::string CNK_testData::getString(const std::string& testName, const std::string& itemName) {
    const t_nkTestData* pData = find(testName, itemName);
    NK_TESTDATA_CHECK(pData!=NULL, __func__, __LINE__);
    return pData->str;
}

std::string CNK_testData::getDataType(const std::string& testName, const std::string& itemName) {
    const t_nkTestData* pData = find(testName, itemName);
    NK_TESTDATA_CHECK(pData!=NULL, __func__, __LINE__);
    return pData->typeStr;
}

std::string CNK_testData::getDataUnit(const std::string& testName, const std::string& itemName) {
    const t_nkTestData* pData = find(testName, itemName);
    NK_TESTDATA_CHECK(pData!=NULL, __func__, __LINE__);
    return pData->unit;
}

u32 CNK_testData::getDataReportType(const std::string& testName, const std::string& itemName) {
    const t_nkTestData* pData = find(testName, itemName);
    NK_TESTDATA_CHECK(pData!=NULL, __func__, __LINE__);
    return pData->report_type;
}

u16 CNK_testData::recordData(const std::string& testName, const std::string& itemName, double value) {
    t_nkTestData* pData = find(testName, itemName);
    NK_TESTDATA_CHECK(pData!=NULL, __func__, __LINE__);
    NK_TESTDATA_CHECK(pData->typeStr!="string", __func__, __LINE__);
    pData->value = value;
    return kNKErr_OK;
}

u16 CNK_testData::recordData(const std::string& testName, const std::string& itemName, const std::string& text) {
    t_nkTestData* pData = find(testName, itemName);
    NK_TESTDATA_CHECK(pData!=NULL, __func__, __LINE__);
    NK_TESTDATA_CHECK(pData->typeStr=="string", __func__, __LINE__);
    pData->str = text;
    return kNKErr_OK;
}

void CNK_testData::recordError(u32 code, const std::string& text) {
    NK_VALID_OR_RETURN_VOID();
    if (code == 0) return;
    _errCodes.push_back(code);
    _errStrs.push_back(text);
}

namespace {

// The caller's value format split around its one conversion, so that the
// value goes in with the type the conversion letter expects.
struct ValueFormat {
    std::string prefix;
    std::string spec;  // '%', flags, width, precision; no length modifier
    char letter = 0;
    std::string suffix;
};

bool parseValueFormat(const char* fmt, ValueFormat& out) {
    bool found = false;
    for (const char* p = fmt; *p;) {
        std::string& text = found ? out.suffix : out.prefix;
        if (*p != '%') {
            text += *p++;
            continue;
        }
        if (p[1] == '%') {
            text += "%%";
            p += 2;
            continue;
        }
        if (found) return false;  // a second conversion would read a missing argument
        const char* q = p + 1;
        while (*q && std::strchr("-+ #0", *q)) ++q;
        while (*q >= '0' && *q <= '9') ++q;
        if (*q == '.') {
            ++q;
            while (*q >= '0' && *q <= '9') ++q;
        }
        const char* specEnd = q;
        while (*q && std::strchr("hlLqjzt", *q)) ++q;
        if (!*q || !std::strchr("diouxXcfFeEgGaA", *q)) return false;
        out.spec.assign(p, specEnd);
        out.letter = *q;
        found = true;
        p = q + 1;
    }
    return found;
}

// A number of the symbol's type written with the caller's conversion.
std::string valueWithFormat(const ValueFormat& vf, const std::string& typeStr, double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    const int kind = typeKind(typeStr);
    // The number as the symbol's type holds it.
    const i64 s = kind == 2 ? static_cast<i64>(clampU64(v)) : clampI64(v);
    const u64 u = kind == 2 ? clampU64(v) : static_cast<u64>(clampI64(v));
    const double d = kind == 0 ? v : kind == 2 ? static_cast<double>(u) : static_cast<double>(s);
    if (!vf.letter) {
        // No usable conversion in the caller's text: the value printing rules.
        return numberText(typeStr, v);
    }
    const std::string head = vf.prefix + vf.spec;
    if (std::strchr("fFeEgGaA", vf.letter)) return formatDynamic((head + vf.letter + vf.suffix).c_str(), d);
    if (vf.letter == 'c') return formatDynamic((head + 'c' + vf.suffix).c_str(), static_cast<int>(static_cast<unsigned char>(s)));
    if (vf.letter == 'd' || vf.letter == 'i')
        return formatDynamic((head + "ll" + vf.letter + vf.suffix).c_str(), static_cast<long long>(s));
    return formatDynamic((head + "ll" + vf.letter + vf.suffix).c_str(), static_cast<unsigned long long>(u));
}

}  // namespace

u16 CNK_testData::checkSpec(const std::string& testName, const std::string& itemName, const char* format) {
    t_nkTestData* pData = numericParam(testName, itemName, __func__, __LINE__);
    NK_TESTDATA_CHECK(format!=NULL, __func__, __LINE__);
    const double v = pData->value;
    const double lsl = pData->LSL, usl = pData->USL;

    u16 code = kNKErr_noDataAvailable;
    if (v != kNK_noValue) code = std::isfinite(v) ? kNKErr_OK : kNKErr_unknown;
    if (lsl != kNK_noValue && lsl > v) code = kNKErr_OOS;
    else if (usl != kNK_noValue && v > usl) code = kNKErr_OOS;

    ValueFormat vf;
    if (!parseValueFormat(format, vf)) vf = ValueFormat{};
    std::string line = testName + "::" + itemName;
    const size_t width = static_cast<size_t>(_maxTestNameLen + _maxItemNameLen + 2);
    if (line.size() < width) line.append(width - line.size(), ' ');
    line += '\t';
    line += v == kNK_noValue ? std::string("[--> NO_DATA <--]") : valueWithFormat(vf, pData->typeStr, v);

    if (code != kNKErr_OK && v != kNK_noValue) {
        const bool hasL = nkMath_isValid(lsl), hasU = nkMath_isValid(usl);
        if (hasL && hasU) {
            if (lsl == usl) line += "\t(exp. == " + valueWithFormat(vf, pData->typeStr, lsl) + ")";
            else
                line += "\t(exp. " + valueWithFormat(vf, pData->typeStr, lsl) + " ~ " +
                        valueWithFormat(vf, pData->typeStr, usl) + ")";
        } else if (hasL) {
            line += "\t(exp. >= " + valueWithFormat(vf, pData->typeStr, lsl) + ")";
        } else if (hasU) {
            line += "\t(exp. <= " + valueWithFormat(vf, pData->typeStr, usl) + ")";
        }
    }
    if (nkObj_isValid(_logManager)) _logManager->printText(kVL1, "%s", line.c_str());
    return code;
}

u16 CNK_testData::overrideSpec(const std::string& testName, const std::string& itemName, double LSL, double USL) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    t_nkTestData* pData = find(testName, itemName);
    u16 code = kNKErr_OK;
    const char* condition = "";
    if (!pData) {
        code = kNKErr_invalidPointer;
        condition = "pData!=NULL";
    } else if (isStringType(pData->typeStr)) {
        code = kNKErr_invalidDataType;
        condition = "pData->typeStr!=\"string\"";
    } else if (pData->report_type != kNkReportType_param) {
        code = kNKErr_invalidDataType;
        condition = "pData->report_type==kNkReportType_param";
    }
    if (code != kNKErr_OK) {
        std::printf("Load Spec : %s,%s Not Found\n", testName.c_str(), itemName.c_str());
        std::fflush(stdout);
        NK_REPORT(code, condition);
        return code;
    }
    pData->LSL = LSL;
    pData->USL = USL;
    return kNKErr_OK;
}

u16 CNK_testData::overrideSpec(const std::string& fileName) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    const std::string& fn = fileName;
    if (!nkFile_isFileExist(fn)) {
        NK_REPORT(kNKErr_fileNotExist, "nkFile_isFileExist(fn)");
        return kNKErr_fileNotExist;
    }
    CNK_csv csv(fn);
    if (csv.getType() != k_nkCsv_type_test_limit) {
        NK_REPORT(kNKErr_invalidDataType, "csv.type()==k_nkCsv_type_test_limit");
        return kNKErr_invalidDataType;
    }
    const std::vector<t_nkCsvColInfo>& cols = csv.getColInfo();
    for (size_t c = 1; c < cols.size(); ++c) {
        const std::string& title = cols[c].title;
        const size_t sep = title.find("::");
        const std::string test = sep == std::string::npos ? std::string() : title.substr(0, sep);
        const std::string item = sep == std::string::npos ? title : title.substr(sep + 2);
        overrideSpec(test, item, cols[c].lowerLimit, cols[c].upperLimit);
    }
    _specVersion = csv.getSpecVersion();
    return kNKErr_OK;
}

void CNK_testData::reset() {
    NK_VALID_OR_RETURN_VOID();
    for (t_nkTestData& d : _testDataTable) d.reset();
    _errCodes.clear();
    _errStrs.clear();
    markTestStart();
}

void CNK_testData::markTestStart() {
    NK_VALID_OR_RETURN_VOID();
    _startTime = nowAbsolute();
    _testTime = 0.0;
    _startTimeStr = nkUtil_formatTimestampStr(_startTime, 0);
    _endTimeStr.clear();
}

void CNK_testData::markTestEnd() {
    NK_VALID_OR_RETURN_VOID();
    const double now = nowAbsolute();
    _testTime = now - _startTime;
    _endTimeStr = nkUtil_formatTimestampStr(now, 0);
}

void CNK_testData::overwrite_for_summary_csv(double startTime, double testTime) {
    NK_VALID_OR_RETURN_VOID();
    _startTime = startTime;
    _testTime = testTime;
    _startTimeStr = nkUtil_formatTimestampStr(startTime, 0);
    _endTimeStr = nkUtil_formatTimestampStr(startTime + testTime, 0);
}

u16 CNK_testData::add_to_summary_csv(const std::string& fileName, const std::string& serialNumber,
                                     const std::string& tester_id, const std::string& config,
                                     const std::string& title, bool withFailingItems, int maxFailingItems,
                                     bool nanAsText) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (fileName.empty()) {
        NK_REPORT(kNKErr_invalidParam, "fileName.size()>0");
        return kNKErr_invalidParam;
    }
    if (serialNumber.empty()) {
        NK_REPORT(kNKErr_invalidParam, "serialNumber.size()>0");
        return kNKErr_invalidParam;
    }
    if (tester_id.empty()) {
        NK_REPORT(kNKErr_invalidParam, "tester_id.size()>0");
        return kNKErr_invalidParam;
    }
    if (_testDataTable.empty()) {
        NK_REPORT(kNKErr_invalidCondition, "_testDataTable.size()>0");
        return kNKErr_invalidCondition;
    }
    if (_testTime == 0.0) markTestEnd();

    using nkcsv::safeCell;
    const std::string failingGap = withFailingItems ? "," : "";
    std::string header;
    if (!title.empty()) header += title + ",\n";
    header += "SerialNumber,Test Pass/Fail Status,errCode,errStr,TesterID,config,timeStamp,StartTime,EndTime,TestTime,";
    if (withFailingItems) header += "Failing Items,";
    std::string upper = "Upper Limit ----->,,,,,,,,,," + failingGap;
    std::string lower = "Lower Limit ----->,,,,,,,,,," + failingGap;
    std::string units = "Measurement Unit ----->,,,,,,,,,sec," + failingGap;
    auto limitCell = [](const t_nkTestData& d, double v) -> std::string {
        if (d.report_type == kNkReportType_attribute) return "ATTR";
        if (isStringType(d.typeStr)) return std::string();
        return numberText(d.typeStr, v);
    };
    for (size_t i = 0; i < _testDataTable.size(); ++i) {
        const t_nkTestData& d = _testDataTable[i];
        const char* sep = i ? "," : "";
        // Appended piece by piece: "sep + std::string" trips a false -Wrestrict of g++ 12 at -O3.
        header.append(sep).append(safeCell(d.testName + "::" + d.itemName));
        upper.append(sep).append(limitCell(d, d.USL));
        lower.append(sep).append(limitCell(d, d.LSL));
        units.append(sep).append(safeCell(d.unit));
    }
    header += "\n" + upper + "\n" + lower + "\n" + units + "\n";

    std::string errText;
    for (const std::string& e : _errStrs) errText += safeCell(e) + ";";

    std::string failing;
    int failingCount = 0;
    for (const t_nkTestData& d : _testDataTable) {
        if (maxFailingItems > 0 && failingCount == maxFailingItems) break;
        if (!nkMath_isValid(d.value) || d.isPass()) continue;
        if (!d.testName.empty()) failing += safeCell(d.testName) + "::";
        failing += safeCell(d.itemName) + ";";
        ++failingCount;
    }

    const char* status = "PASS";
    long long code = 0;
    if (!_errCodes.empty()) {
        status = "FAIL";
        code = _errCodes.front();
    } else if (!failing.empty()) {
        status = "FAIL";
        code = -1;
    }

    std::string row = format("%s,%s,%lld,%s,%s,%s,%f,%s,%s,%.3f,", safeCell(serialNumber).c_str(), status, code,
                             errText.c_str(), safeCell(tester_id).c_str(), safeCell(config).c_str(), _startTime,
                             safeCell(_startTimeStr).c_str(), safeCell(_endTimeStr).c_str(), _testTime);
    if (withFailingItems) row += failing + ",";
    for (size_t i = 0; i < _testDataTable.size(); ++i) {
        const t_nkTestData& d = _testDataTable[i];
        if (i) row += ',';
        if (isStringType(d.typeStr)) row += safeCell(d.str);
        else if (std::isnan(d.value)) row += nanAsText ? "nan" : "";
        else row += numberText(d.typeStr, d.value);
    }
    row += "\n";

    // The report goes out after the file lock is let go: it takes the log manager's lock.
    const u16 rtn = nkcsv::appendToCsvFile(fileName, [&](bool existed) { return existed ? row : header + row; });
    if (rtn == kNKErr_fileOpenFailed) NK_REPORT(rtn, "fp!=NULL");
    else if (rtn != kNKErr_OK) NK_REPORT(rtn, "written");
    return rtn;
}
