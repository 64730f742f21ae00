// The station's table of test items with their limits: values and texts recorded
// by a run, checked against the limits, listed, the limits exchanged as a small
// CSV file closed by a checksum line, and the whole table kept in a binary table
// file from one run of the program to the next.
#pragma once

#include "ZelkTypeDef.h"

struct iZelk_LogManager;

// Value types of an entry: 0, 2, 4 unsigned and 1, 3, 5 signed 8-, 16- and 32-bit
// integers, 6 and 7 unsigned and signed 64-bit integers (kept, never checked),
// 8 float, 9 double, 10 text. Every value is held as a double.
enum : SInt32 {
    kZSP_u8 = 0,
    kZSP_i8 = 1,
    kZSP_u16 = 2,
    kZSP_i16 = 3,
    kZSP_u32 = 4,
    kZSP_i32 = 5,
    kZSP_u64 = 6,
    kZSP_i64 = 7,
    kZSP_float = 8,
    kZSP_double = 9,
    kZSP_text = 10,
};

// One test item. The title is the creator's text: the manager keeps the pointer,
// so the text must outlive the manager. Limits and the value use kZelk_noValue
// for "none".
struct tZelk_SpecItem {
    const char* title;
    SInt32 type;
    double lower;
    double upper;
    double value;
    char text[256];
};

// The manager's operations in table order. Calling through the table and calling
// the ZSP_ functions are the same operations.
class tZelk_SpecManagerOps {
public:
    virtual SInt32 ListSpec(iZelk_LogManager* lm) = 0;
    virtual SInt32 OverrideSpec(SInt32 index, double lower, double upper) = 0;
    virtual SInt32 SpecFileCreate(const char* path) = 0;
    virtual SInt32 LoadSpecFile(const char* path) = 0;
    virtual SInt32 RecordDat(SInt32 index, double value) = 0;
    virtual SInt32 RecordStr(SInt32 index, const char* text) = 0;
    virtual SInt32 GetDat(SInt32 index, double* value) = 0;
    virtual SInt32 GetStr(SInt32 index, const char** text) = 0;
    virtual SInt32 CheckSpec(SInt32 index, iZelk_LogManager* lm, const char* valueFormat) = 0;

protected:
    ~tZelk_SpecManagerOps() = default;
};

struct iZelk_SpecManager;

// A manager over a copy of count templates (1..65,535 entries, each with a title
// and a type of 0..10); its table file is <var folder>/tamber_spec.bin, loaded at
// once (reset and saved when missing, unreadable or of another table). Null on
// failure.
iZelk_SpecManager* ZSP_Create(const tZelk_SpecItem* templates, SInt32 count);
// Saves the table file and frees the manager; the handle becomes null.
void ZSP_Delete(iZelk_SpecManager** handle);

// At most 255 characters; clears the first error.
SInt32 ZSP_SetSpecTableFile(iZelk_SpecManager* m, const char* path);
// Any failure resets the table to the templates and saves it; the result is then the save's.
SInt32 ZSP_LoadSpecTable(iZelk_SpecManager* m);
SInt32 ZSP_SaveSpecTable(iZelk_SpecManager* m);
// The templates' limits and values back, first error -1 "DEADBEEF", saved, start time now.
SInt32 ZSP_InitSpecTable(iZelk_SpecManager* m);

SInt32 ZSP_OverrideSpec(iZelk_SpecManager* m, SInt32 index, double lower, double upper);
SInt32 ZSP_RecordDat(iZelk_SpecManager* m, SInt32 index, double value);
// A longer text keeps its first 255 characters.
SInt32 ZSP_RecordStr(iZelk_SpecManager* m, SInt32 index, const char* text);
// 88 when nothing is recorded.
SInt32 ZSP_GetDat(iZelk_SpecManager* m, SInt32 index, double* value);
SInt32 ZSP_GetStr(iZelk_SpecManager* m, SInt32 index, const char** text);
tZelk_SpecItem* ZSP_GetTestItem(iZelk_SpecManager* m, SInt32 index);
// 0 pass, 91 out of its limits, 88 nothing recorded, 27 a NaN value. With a log
// manager also the verdict line. valueFormat holds one numeric conversion (integer
// or floating) used for the value and both limits; "%8.1f" when none is given or
// it holds anything else.
SInt32 ZSP_CheckSpec(iZelk_SpecManager* m, SInt32 index, iZelk_LogManager* lm, const char* valueFormat);
SInt32 ZSP_ListSpec(iZelk_SpecManager* m, iZelk_LogManager* lm);

// The limits of the numeric entries as "title,lower,upper," lines closed by
// "CHKSUM,%08X"; the file is replaced whole.
SInt32 ZSP_SpecFileCreate(iZelk_SpecManager* m, const char* path);
// A wrong or missing checksum changes no limit (22); an unreadable line leaves its entry as it was.
SInt32 ZSP_LoadSpecFile(iZelk_SpecManager* m, const char* path);

// Kept only while no error is recorded (code 0 or below).
SInt32 ZSP_RecordErr(iZelk_SpecManager* m, SInt32 code, const char* text);
SInt32 ZSP_ResetErr(iZelk_SpecManager* m);
SInt32 ZSP_GetErr(iZelk_SpecManager* m, SInt32* code, const char** text);

// Times are seconds since 2001-01-01 00:00:00 UTC; texts "yyyy-MM-dd HH:mm:ss", local.
SInt32 ZSP_SetStartTime(iZelk_SpecManager* m);
const char* ZSP_GetStartTime(iZelk_SpecManager* m, double* startTime);
SInt32 ZSP_SetStopTime(iZelk_SpecManager* m);
// Takes the stop time first when this run has none yet.
const char* ZSP_GetStopTime(iZelk_SpecManager* m, double* elapsed);

// The body of the project's "SpecGeneratePlist:" command (its banner is the
// project's): "source target [-doSimple] [-lastResultOnly]" converts a station CSV
// file into a property-list file with ZCSV_CsvToPlist, -doSimple leaving out the
// unit attributes. 17 for a missing name, 29 for a missing source, else the
// converter's code; reports and the usage go through lm.
SInt32 ZSP_GeneratePlist(iZelk_LogManager* lm, const char* argument);

// The manager record. Make it with ZSP_Create only.
struct iZelk_SpecManager final : tZelk_SpecManagerOps {
    static constexpr size_t kPathSize = 256;
    static constexpr size_t kTextSize = 256;
    static constexpr size_t kTimeSize = 32;

    char* tablePath = nullptr;
    tZelk_SpecItem* defaults = nullptr;
    tZelk_SpecItem* entries = nullptr;
    UInt16 count = 0;
    SInt32 titleWidth = 0;
    SInt32 errCode = 0;
    char errText[kTextSize] = {};
    char startText[kTimeSize] = {};
    char stopText[kTimeSize] = {};
    double startTime = 0;
    double elapsed = 0;

    SInt32 ListSpec(iZelk_LogManager* lm) override { return ZSP_ListSpec(this, lm); }
    SInt32 OverrideSpec(SInt32 index, double lower, double upper) override {
        return ZSP_OverrideSpec(this, index, lower, upper);
    }
    SInt32 SpecFileCreate(const char* path) override { return ZSP_SpecFileCreate(this, path); }
    SInt32 LoadSpecFile(const char* path) override { return ZSP_LoadSpecFile(this, path); }
    SInt32 RecordDat(SInt32 index, double value) override { return ZSP_RecordDat(this, index, value); }
    SInt32 RecordStr(SInt32 index, const char* text) override { return ZSP_RecordStr(this, index, text); }
    SInt32 GetDat(SInt32 index, double* value) override { return ZSP_GetDat(this, index, value); }
    SInt32 GetStr(SInt32 index, const char** text) override { return ZSP_GetStr(this, index, text); }
    SInt32 CheckSpec(SInt32 index, iZelk_LogManager* lm, const char* valueFormat) override {
        return ZSP_CheckSpec(this, index, lm, valueFormat);
    }
};
