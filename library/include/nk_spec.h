// Spec and data items: the record shared by the spec-limit manager and the
// test-data CSV writer, element sizes by type code, and the spec-limit manager.
#pragma once

#include "nk_log.h"
#include "nk_typedef.h"

constexpr t_nkDataType k_nkDataType_string = kNKDT_string;

// Element size in bytes of type codes 0 to 9; a string has no fixed size.
inline constexpr u32 k_nkDataSize[10] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8};

// One spec or data item. Numbers of every type are held as doubles; the
// no-value sentinel marks an absent limit or a value not measured yet.
typedef struct {
    const char* name;  // not owned
    t_nkDataType dataType;
    double limitLower;
    double limitUpper;
    double value;
    char text[256];  // value of a string item
} t_nkDataItem;

static_assert(sizeof(t_nkDataItem) == 296, "t_nkDataItem is a fixed-layout record");

#define __MAX_ERR_CODE_CNT__ 256

// A test program's spec table: limits per item, the values and errors of one
// run, checks against the limits, and limits exchanged with a spec CSV file.
class CNK_specManager : public CNK_baseObject {
public:
    CNK_specManager();
    ~CNK_specManager() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 setSpecTable(const t_nkDataItem* pSpecTable, int specItemCount);
    u16 initializeSpecManager();
    void resetErrList();
    void setTestTime_begin();
    void setTestTime_end();

    t_nkDataItem* getDataItem(int dataId);
    double getLimitLower(int dataId);
    double getLimitUpper(int dataId);
    u16 overrideSpec(int dataId, double lower, double upper);
    u16 recordDat(int dataId, double value);
    u16 recordStr(int dataId, const char* text);
    double getDat(int dataId);
    const char* getStr(int dataId);
    u16 recordErr(u16 code, const char* errStr);

    // The caller's format holds one numeric conversion, e.g. "%.2f" or "%d".
    u16 checkspec(int dataId, const char* format);
    u16 listSpec();

    u16 importSpecFromCsv(const char* csvFileName);
    u16 exportSpecToCsv(const char* csvFileName);

    int getSpecItemCount() const { return _specItemCount; }
    u32 getErrorCount() const { return _errorCodeCounts; }
    // Slots outside the list give 0 and null.
    u16 getErrorCode(int slot) const { return hasSlot(slot) ? _pErrorCodes[slot] : 0; }
    const char* getErrorString(int slot) const { return hasSlot(slot) ? _pStrErrorStrings[slot] : nullptr; }
    double getTestTime_begin() const { return _testTimeBegin; }
    const char* getTestTimeStr_begin() const { return _testTimeBeginStr; }
    double getTestTime_end() const { return _testTimeEnd; }
    const char* getTestTimeStr_end() const { return _testTimeEndStr; }

private:
    bool hasSlot(int slot) const { return _pErrorCodes && slot >= 0 && slot < __MAX_ERR_CODE_CNT__; }
    // 0 when dataId names a run-time item, else the reported code.
    u16 checkId(int dataId, const char* func, int line);

    t_nkDataItem* _pSpecTable_org = nullptr;
    t_nkDataItem* _pSpecTable_rtm = nullptr;
    i32 _specItemCount = 0;
    i32 _longestName = 0;
    double _testTimeBegin = kNK_noValue;
    char _testTimeBeginStr[64] = "";
    double _testTimeEnd = kNK_noValue;
    char _testTimeEndStr[64] = "";
    u32 _errorCodeCounts = 0;
    u16* _pErrorCodes = nullptr;
    const char** _pStrErrorStrings = nullptr;
    void* _block = nullptr;  // the one allocation behind the tables and lists
};

