// Test framework: test items and their class registry, test scripts, and the
// test data of a session with its limits and the summary CSV.
#pragma once

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "nk_log.h"
#include "nk_ntcp.h"
#include "nk_typedef.h"

// ---------------------------------------------------------------- enumerations and text tables

typedef enum : u32 {
    kNkTestStat_NA = 0,
    kNkTestStat_ABORTED = 1,
    kNkTestStat_STANDBY = 2,
    kNkTestStat_TESTING = 3,
    kNkTestStat_PASS = 4,
    kNkTestStat_FAIL = 5,
    kNkTestStat_COF = 6,
} t_nkTestStat;

typedef enum : u32 {
    kNkTestMode_PROD = 0,
    kNkTestMode_COF = 1,
    kNkTestMode_unknown = 2,
} t_nkTestMode;

// The script section an item stood in.
typedef enum : u32 {
    kNkTestType_unknown = 0,
    kNkTestType_setup = 1,
    kNkTestType_testcal = 2,
    kNkTestType_wrapup = 3,
} t_nkTestType;

typedef enum : u32 {
    kNkReportType_none = 0,
    kNkReportType_param = 1,
    kNkReportType_attribute = 2,
} t_nkReportType;

// Indices are the enumeration values above. Constant-initialised, so static
// initialisers of other sources may use them.
inline constexpr std::array<const char*, 4> kNkScriptMarkerStr = {"unknown", "[*** TestSetup ***]",
                                                                  "[*** Test&Cal ***]", "[*** TestEnd ***]"};
inline constexpr std::array<const char*, 4> kNkTestTypeStr = {" unknown ", " setup   ", " test&cal", " wrap-up "};
inline constexpr const char* kNKTestClassMark = "class=";
inline constexpr const char* kNKTestAsyncMark = "async";
inline constexpr const char* kNKTestPrerequisiteMark = "waitFor=";
inline constexpr std::array<const char*, 3> kNkReportTypeStr = {"none", "param", "attribute"};
// The type names of data symbols. Its order is not that of t_nkDataType.
inline constexpr std::array<const char*, 11> kNkDataTypeStr = {
    "float", "double", "int8_t", "int16_t", "int32_t", "int64_t", "uint8_t", "uint16_t", "uint32_t", "uint64_t", "string"};
inline constexpr std::array<const char*, 7> kNkTestStatStr = {"NA", "ABORTED", "STANDBY", "TESTING",
                                                              "PASS", "FAIL", "COF"};
inline constexpr std::array<const char*, 3> kNkTestModeStr = {"PROD", "COF", "unknown"};

// ---------------------------------------------------------------- script entries

// One parsed script line.
struct INK_testItem {
    u32 type = kNkTestType_unknown;
    std::string name;
    std::string className;
    std::vector<std::string> waitFor;  // the loader fills at most one
    bool async = false;
    std::vector<std::string> params;
};

// ---------------------------------------------------------------- test items

class CNK_testData;

// Hears the status changes of an item (the session).
class INK_testItem_callback {
public:
    virtual void onStatusUpdated(long itemIndex) = 0;

protected:
    ~INK_testItem_callback() = default;
};

class CNK_testItem : public CNK_baseObject {
public:
    CNK_testItem();
    ~CNK_testItem() override;
    u16 setLogManager(CNK_logManager* lm) override;

    // Declares the item's data symbols in _testData.
    virtual void registerDataSymbol() = 0;
    // Runs the item in a run driven by the library.
    virtual void performTest(t_nkTestMode mode) = 0;
    virtual void abortTest() = 0;
    // Serves one host packet; the payload starts right after the header.
    virtual void handle_ntcp_packet(const tNTCP_header* header, const u8* payload) = 0;

    void setItemInfo(const INK_testItem& info, const std::string& serialNumber, const std::string& sessionName,
                     std::vector<CNK_testItem*>* items);
    void setCallback(INK_testItem_callback* callback);
    void removeCallback(INK_testItem_callback* callback);

    // Listeners hear a change only, in the order the statuses were set, and
    // read the new status from inside their callback.
    void setStatus(t_nkTestStat status);
    t_nkTestStat testStatus() const;
    // True once the item ended PASS, FAIL or COF; false for NA, ABORTED or a timeout.
    bool waitForCompletion(double timeoutSec);
    // Waits for the items named in _waitFor, each up to 10 s; TESTING and true
    // when all passed, else FAIL and false.
    bool waitPrerequisite();

    CNK_logManager* _logManager = nullptr;
    i64 _index = -1;
    u32 _type = kNkTestType_unknown;
    std::string _name;
    std::vector<std::string> _waitFor;
    bool _async = false;
    std::vector<std::string> _params;

protected:
    // Serialises status changes with their notification and the listener list.
    // Recursive, so that a listener may change the status or leave from its callback.
    mutable std::recursive_mutex _mutex;

public:
    std::string _serialNumber;
    std::string _sessionName;
    double _testStartTime = kNK_noValue;

protected:
    std::atomic<t_nkTestStat> _status{kNkTestStat_NA};
    std::vector<INK_testItem_callback*> _callbacks;

public:
    std::vector<CNK_testItem*>* _items = nullptr;  // the owning session's list, not owned
    CNK_testData* _testData = nullptr;               // the owning session's, not owned
};

// ---------------------------------------------------------------- class registry

typedef CNK_testItem* (*t_testClassCreator)();

struct t_testClassCreatorInfo {
    std::string name;
    t_testClassCreator creator = nullptr;
};

// Registering a name twice is a programming error: the process stops.
void nkTest_registerTestClass(const std::string& name, t_testClassCreator creator);
// A new object of the class registered under exactly this name (the caller owns
// it), or null.
CNK_testItem* nkTest_createTestClassInstance(const std::string& name);
bool nkTest_isTestClassContructorAvailable(const std::string& name);
void nkTest_showTestClassTable(CNK_logManager* lm);

// Registers an item class under its own name at load time. Item classes linked
// from a static library are dropped by the linker unless referenced: build them
// as an object library.
#define NK_REGISTER_TEST_CLASS(cls)                                                            \
    CNK_testItem* cls##_create() { return new cls(); }                                         \
    namespace {                                                                                \
    [[maybe_unused]] const bool cls##_registered = (nkTest_registerTestClass(#cls, &cls##_create), true); \
    }

// ---------------------------------------------------------------- test scripts

// Reads a test script into one record per item line. 0, or the code of the
// first error (0xE040, 0xE008, 0xE009) with `items` left empty.
u16 nkTest_loadTestScript(const std::string& fileName, std::vector<INK_testItem>& items);
// The same on a script's bytes already read (the loader's own second step).
u16 nkTest_parseTestScript(std::vector<char> text, std::vector<INK_testItem>& items);

// ---------------------------------------------------------------- test data

// One data symbol.
struct t_nkTestData {
    std::string testName;
    std::string itemName;
    std::string typeStr;
    std::string unit;
    double LSL = kNK_noValue;
    double USL = kNK_noValue;
    u32 report_type = kNkReportType_param;
    double value = 0.0;
    std::string str;

    void reset();
    bool isPass() const;
};

class CNK_testData : public CNK_baseObject {
public:
    CNK_testData();
    ~CNK_testData() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 addDataSymbol(const std::string& testName, const std::string& itemName, const std::string& typeStr,
                      double LSL, double USL, const std::string& unit, bool isAttribute);
    void print_symbol_table(const std::string& title, FILE* fp, char separator);

    // Asking for a symbol that was never declared, or with the wrong type, stops the process.
    double get_LSL(const std::string& testName, const std::string& itemName);
    double get_USL(const std::string& testName, const std::string& itemName);
    double getData(const std::string& testName, const std::string& itemName, bool nanAsZero);
    std::string getString(const std::string& testName, const std::string& itemName);
    std::string getDataType(const std::string& testName, const std::string& itemName);
    std::string getDataUnit(const std::string& testName, const std::string& itemName);
    u32 getDataReportType(const std::string& testName, const std::string& itemName);

    u16 recordData(const std::string& testName, const std::string& itemName, double value);
    u16 recordData(const std::string& testName, const std::string& itemName, const std::string& text);
    void recordError(u32 code, const std::string& text);
    // Logs one aligned result line; 0, 0xE016 (out of limits), 0xE012 (no value) or 0xFFFF (NaN).
    u16 checkSpec(const std::string& testName, const std::string& itemName, const char* format);

    u16 overrideSpec(const std::string& testName, const std::string& itemName, double LSL, double USL);
    u16 overrideSpec(const std::string& fileName);

    void reset();
    void markTestStart();
    void markTestEnd();
    void overwrite_for_summary_csv(double startTime, double testTime);

    // Appends the unit's row (and the header block to a new file). 0, 5, 7,
    // 0xE043 (cannot be opened) or 0xE044 (write failed; the row is taken back).
    u16 add_to_summary_csv(const std::string& fileName, const std::string& serialNumber,
                           const std::string& tester_id, const std::string& config, const std::string& title,
                           bool withFailingItems, int maxFailingItems, bool nanAsText);

    CNK_logManager* _logManager = nullptr;
    std::unordered_map<std::string, size_t> _symbolMap;  // "test::item" -> index in _testDataTable
    std::vector<t_nkTestData> _testDataTable;            // declaration order, the CSV's column order
    u64 _maxTestNameLen = 0;
    u64 _maxItemNameLen = 0;
    std::string _startTimeStr;
    std::string _endTimeStr;
    double _startTime = 0.0;  // seconds since 2001-01-01 00:00:00 UTC
    double _testTime = 0.0;
    std::vector<u32> _errCodes;
    std::vector<std::string> _errStrs;
    std::string _specVersion;

private:
    t_nkTestData* find(const std::string& testName, const std::string& itemName);
    t_nkTestData* numericParam(const std::string& testName, const std::string& itemName, const char* func, int line);
};

// Seconds since 2001-01-01 00:00:00 UTC.
double nkTest_now();
