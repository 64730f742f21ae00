// The station's test-log CSV writer: one record per tested unit, written as one
// line below a four-line header, and the conversion of such a file into a
// property list with one entry per unit. The format is the contract between the
// station and the statistics tool's CSV model.
#pragma once

#include "ZelkTypeDef.h"

// Value types of a data item (its limits and value alike).
enum : UInt32 {
    kZCSV_UInt8 = 0,
    kZCSV_SInt8 = 1,
    kZCSV_UInt16 = 2,
    kZCSV_SInt16 = 3,
    kZCSV_UInt32 = 4,
    kZCSV_SInt32 = 5,
    kZCSV_UInt64 = 6,
    kZCSV_SInt64 = 7,
    kZCSV_Float = 8,
    kZCSV_Double = 9,
    kZCSV_Text = 10,
};

// One item given to ZCSV_AddItemData; ZCSV_AddItemAttr reads only the title and the
// value text. The missing value kZelk_noValue writes "NA".
struct tZelk_CsvItem {
    const char* title;
    UInt32 type;
    double limitLower;
    double limitUpper;
    double value;
    char valueText[64];  // type 10's value, and an attribute's
};

// One column of a record: title, upper-limit cell, lower-limit cell, value cell.
struct tZelk_CsvItemText {
    char title[256];
    char upper[256];
    char lower[256];
    char value[256];
};

struct iZelk_CsvManager;

// The record's operations in table order. Calling through the table and calling the
// ZCSV_ functions are the same operations.
class tZelk_CsvManagerOps {
public:
    virtual SInt32 AddItemAttr(const tZelk_CsvItem* item) = 0;
    virtual SInt32 AddItemData(const tZelk_CsvItem* item) = 0;
    virtual SInt32 WriteCsvFile(const char* path, bool perVersion) = 0;
    virtual SInt32 CsvToPlist(const char* input, const char* output, bool stopAtFirstFailure,
                              bool noUnitAttributes, bool lastUnitOnly) = 0;

protected:
    ~tZelk_CsvManagerOps() = default;
};

// Null when a required text is missing or too long (name, version and serial number
// must not be empty; error text, start and stop times must be given), when the time
// stamp or the test time is 0, or when memory runs out.
iZelk_CsvManager* ZCSV_Create(const char* name, const char* version, const char* serialNumber, int errCode,
                              const char* errString, const char* startTime, const char* stopTime,
                              const char* testerId, double timeStamp, double testTime);
// 0; 17 without record or item, for a full record, a title beyond 255 characters, a
// type above 10 or a cell whose text does not fit 63 characters; 9 without memory.
SInt32 ZCSV_AddItemAttr(iZelk_CsvManager* csv, const tZelk_CsvItem* item);
SInt32 ZCSV_AddItemData(iZelk_CsvManager* csv, const tZelk_CsvItem* item);
// Appends the record's line, after the header when the file is new or empty. With
// perVersion the name is cut at its first ".csv" and "_<version>.csv" added; without,
// ".csv" is added when the name holds none. The name used goes to finalFile (2048
// bytes) when one is given. 0; 17 (no record or path, a name beyond 2047
// characters); 31 the file cannot be opened; 32 the write failed (nothing of the line
// is left in the file).
SInt32 ZCSV_WriteCsvFile(iZelk_CsvManager* csv, const char* path, bool perVersion);
SInt32 ZCSV_WriteCsvFileWithFinalFile(iZelk_CsvManager* csv, const char* path, bool perVersion, char* finalFile);
UInt32 ZCSV_GetAttrCnt(const iZelk_CsvManager* csv);
UInt32 ZCSV_GetDataCnt(const iZelk_CsvManager* csv);
void ZCSV_Delete(iZelk_CsvManager** handle);

// Converts a file written by ZCSV_WriteCsvFile into a property list whose keys "0",
// "1", ... hold the units in order. The output defaults to the input with ".plist" for
// its extension. Each conversion appends its report to "csv_to_plist.log" in the var
// folder of zelk::roots (a log that cannot be opened leaves the conversion unlogged).
// 0; 17 no input, or the test-name option without a name; 31 the input cannot be
// opened; 9 no memory; 33 short read; -1 fewer than four header lines; 27 no data
// line; 87 a data line without its line end, or a required column missing (the units
// before it are kept); 32 the property list could not be written.
SInt32 ZCSV_CsvToPlist(const char* input, const char* output, bool stopAtFirstFailure, bool noUnitAttributes,
                       bool lastUnitOnly);
SInt32 ZCSV_CsvToPlistFull(const char* input, const char* output, bool stopAtFirstFailure, bool noUnitAttributes,
                           bool lastUnitOnly, bool keepMissingValues, bool useTestName, const char* testName);

struct iZelk_CsvManager final : tZelk_CsvManagerOps {
    static constexpr UInt32 kMaxFixed = 32;
    static constexpr UInt32 kMaxAttr = 64;
    static constexpr UInt32 kMaxData = 2048;

    char name[256] = {};
    char version[256] = {};
    UInt32 fixedCount = 0;
    tZelk_CsvItemText* fixedItems[kMaxFixed] = {};
    UInt32 attrCount = 0;
    tZelk_CsvItemText* attrItems[kMaxAttr] = {};
    UInt32 dataCount = 0;
    tZelk_CsvItemText* dataItems[kMaxData] = {};

    SInt32 AddItemAttr(const tZelk_CsvItem* item) override { return ZCSV_AddItemAttr(this, item); }
    SInt32 AddItemData(const tZelk_CsvItem* item) override { return ZCSV_AddItemData(this, item); }
    SInt32 WriteCsvFile(const char* path, bool perVersion) override {
        return ZCSV_WriteCsvFile(this, path, perVersion);
    }
    SInt32 CsvToPlist(const char* input, const char* output, bool stopAtFirstFailure, bool noUnitAttributes,
                      bool lastUnitOnly) override {
        return ZCSV_CsvToPlist(input, output, stopAtFirstFailure, noUnitAttributes, lastUnitOnly);
    }
};
