// CSV files of the station: the station log reader, the generic table with its
// operations, the test-data CSV writer and the test-data CSV to property-list
// converter. Cells are never quoted: a comma always separates cells.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "nk_log.h"
#include "nk_spec.h"

// ---------------------------------------------------------------- station CSV log reader

class CNK_csvParser : public CNK_baseObject {
public:
    CNK_csvParser();
    explicit CNK_csvParser(CNK_logManager* lm);
    ~CNK_csvParser() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 load(const char* csvFilePath, t_nkVbsLvl verbosity);

    std::string getStr(int dataSetIdx, int dataItemIdx);
    double getData(int dataSetIdx, int dataItemIdx);
    int getDataCol();
    int getDataRow();
    int findColIdx(const char* title);

    const std::string& getStationType() const { return _stationType; }
    const std::string& getSwVersion() const { return _swVersion; }

private:
    // Reports under the getter's own name: that is what the station engineer looks for.
    bool checkIndex(const char* caller, int dataSetIdx, int dataItemIdx);
    void logLine(t_nkVbsLvl level, const char* text);

    std::string _stationType;
    std::string _swVersion;
    std::string _fileText;
    std::vector<std::string> _titleRow;
    std::vector<std::string> _lowerLimitRow;
    std::vector<std::string> _upperLimitRow;
    std::vector<std::vector<std::string>> _dataRow;
};

// ---------------------------------------------------------------- generic CSV table

enum : u32 {
    k_nkCsv_type_normal = 0,
    k_nkCsv_type_test_limit = 1,
    k_nkCsv_type_grr_config = 2,
    k_nkCsv_type_unknown = 0xFFFFFFFFu,
};

// Anchor words by table kind, and the titles that are never parametric.
extern const char* const k_nkCsv_anchors[3];
extern const char* const k_nkCsv_columnToExclude[11];

struct t_nkCsvColInfo {
    std::string title;
    bool isParametric = false;
    double upperLimit = kNK_noValue;
    double lowerLimit = kNK_noValue;
    double upperErs = kNK_noValue;
    double lowerErs = kNK_noValue;
    double grrStdev = kNK_noValue;
    double grrLimit = kNK_noValue;
    std::string unit;
};

struct t_nkCsvColStat {
    std::vector<double> values;  // the numbers that entered the figures
    double max = kNK_noValue;
    double min = kNK_noValue;
    double mean = kNK_noValue;
    double stdev = kNK_noValue;
    double cpl = kNK_noValue;
    double cpu = kNK_noValue;
    double cpk = kNK_noValue;
    double yield = kNK_noValue;  // percent
#ifdef NK_MORVELL_BUILD
    u32 passCount = 0;  // values within the column's limits
#endif
};

class CNK_csv : public CNK_baseObject {
public:
    CNK_csv();
    explicit CNK_csv(const std::string& path);
    CNK_csv(const CNK_csv& other);
    // Copies the table; this object keeps its own name, magic and log manager.
    CNK_csv& operator=(const CNK_csv& other);
    ~CNK_csv() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 load(const std::string& path);

    CNK_csv& merge(const CNK_csv& csv);
    // A copy of this table merged with `other`; neither operand changes.
    CNK_csv operator+(const CNK_csv& other) const;
    u32 timeSort();
    std::vector<CNK_csv> getGroups(const std::string& columnTitle);
    void calculate_col_stat();
#ifdef NK_MORVELL_BUILD
    // The figures of calculate_col_stat, computed on first use.
    const std::vector<t_nkCsvColStat>& col_stat() {
        calculate_col_stat();
        return _col_stat;
    }
#endif
    void print(FILE* stream, char separator);
    // Returns 0, or the code of a file that could not be written; an existing
    // file is replaced only by a complete new one.
    u16 exportCsv(const std::string& path);

    u32 getType() const { return _type; }
    const std::string& getGroupName() const { return _groupName; }
    const std::vector<t_nkCsvColInfo>& getColInfo() const { return _col_info; }
    const std::vector<std::vector<std::string>>& getStrRows() const { return _buff_str; }
    const std::vector<std::vector<double>>& getValRows() const { return _buff_val; }
    const std::vector<t_nkCsvColStat>& getColStat() const { return _col_stat; }
    const std::string& getTitle() const { return _title; }
    const std::string& getSwVersion() const { return _swVersion; }
    const std::string& getSpecVersion() const { return _specVersion; }

private:
    u32 _type = k_nkCsv_type_unknown;
    std::string _groupName;
    std::vector<t_nkCsvColInfo> _col_info;
    std::vector<std::vector<std::string>> _buff_str;
    std::vector<std::vector<double>> _buff_val;
    std::vector<t_nkCsvColStat> _col_stat;
    std::string _title;
    std::string _swVersion;
    std::string _specVersion;
};

// ---------------------------------------------------------------- test-data CSV writer

class CNK_csvWriter : public CNK_baseObject {
public:
    CNK_csvWriter();
    CNK_csvWriter(CNK_logManager* lm, u32 entryCountMax);
    ~CNK_csvWriter() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 setEntryCntMax(u32 entryCntMax);
    u16 addAttr(const t_nkDataItem* pAttrItem);
    u16 addData(const t_nkDataItem* pDataItem);
    void reset();
    u16 write(const char* filePathName, const char* strTitle, const char* strVersion, const char* serialNumber,
              u16 errCode, const char* errString, const char* strTime_start, const char* strTime_stop,
              double timeStamp, double testTime);

    u32 getEntryCntMax() const { return _entryCntMax; }
    u32 getAttrCnt() const { return _attrCnt; }
    u32 getDataCnt() const { return _dataCnt; }

private:
    u16 addItem(const t_nkDataItem* item, const t_nkDataItem**& items, u32& count, u32& cap, const char* func,
                const char* nullCond, const char* arrayCond, const char* fullCond);
    // Under the process-wide file lock: opens, writes the header of a new file and the row, closes.
    u16 appendLocked(const std::string& fileName, const char* strTitle, const char* strVersion,
                     const std::string& row);

    u32 _entryCntMax = 2048;
    const t_nkDataItem** _pAttrItems = nullptr;
    u32 _attrCnt = 0;
    const t_nkDataItem** _pDataItems = nullptr;
    u32 _dataCnt = 0;
    u32 _attrCap = 0;  // the limit when each array was made
    u32 _dataCap = 0;
};

// ---------------------------------------------------------------- test-data CSV to property list

// One record per unit of a test-data CSV file, written as an XML property list.
// An empty or null plistPath gives the CSV path with its extension replaced by
// "plist". Returns 0 or the code of the first failure.
u16 nkUtil_csvToPlist(const char* csvPath, const char* plistPath, bool stopAtFirstFailure, bool simple,
                      bool lastRowOnly);
