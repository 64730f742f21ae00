// The statistics tool's gauge repeatability and reproducibility (GR&R) model:
// one measurement table of repeated tests of the same devices on several
// testers, and a criteria table that names the GR&R items. Each tester's
// samples (the rows of one serial number) are compared item by item with the
// golden tester's sample of the same serial number. Built in one call
// (`setCsv`), read-only afterwards. Texts and rows are borrowed from the tables:
// the manager keeps the measurement table alive, the criteria table's owner
// keeps that one.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ZelkCsv.h"

enum : int {
    kTesterType_target = 0,
    kTesterType_golden = 1,
    kTesterType_psuedo_golden = 2,
    kTesterType_unknown = 3,
};
enum : int {
    kGrrResult_unknown = 0,
    kGrrResult_fail = 1,
    kGrrResult_pass = 2,
};
// Display names, indexed by the values above.
extern const char* const kTesterTypeStr[4];
extern const char* const kGrrResultStr[3];

// One column item of the measurement table.
struct grr_column {
    const char* title = nullptr;
    bool isParametric = false;
    double limit_upper = kZelk_noValue;
    double limit_lower = kZelk_noValue;
};

// The statistics of one item within one sample and its GR&R evaluation.
struct grr_data {
    const char* title = nullptr;
    bool isParametric = false;
    bool isGrrParam = false;
    double max = kZelk_noValue;
    double avg = kZelk_noValue;
    double avg_golden = kZelk_noValue;
    double min = kZelk_noValue;
    double std = kZelk_noValue;
    double bound_upper = kZelk_noValue;
    double bound_lower = kZelk_noValue;
    double limit_upper = kZelk_noValue;
    double limit_lower = kZelk_noValue;
    double ers_limit_upper = kZelk_noValue;
    double ers_limit_lower = kZelk_noValue;
    double grr_stdev = kZelk_noValue;
    double grr_limit = kZelk_noValue;
    const char* unit = nullptr;
    double grr_limit_upper = kZelk_noValue;
    double grr_limit_lower = kZelk_noValue;
    int grr_result = kGrrResult_unknown;
    double grr_pct_err_upper = kZelk_noValue;
    double grr_pct_err_lower = kZelk_noValue;
};

// Every test row of one serial number on one tester.
class grr_sample {
public:
    // Appends one test row. The column count and items must stay those of the
    // first row, and the serial number that of the first row.
    void setSample(const char* serialNumber, unsigned colCount, const tCsv_columnItemInfo* colInfo,
                   tCsv_strRow strRow, tCsv_datRow datRow);

    // The per-item statistics (computed on first use); null when empty / out of range.
    grr_data* getData();
    grr_data* dataAt(unsigned column);

    const char* serial_number() const { return _serial_number; }
    bool isGoldenSample() const { return _isGoldenSample; }
    unsigned test_count() const { return static_cast<unsigned>(_strRows.size()); }
    int grr_result() const { return _grr_result; }
    unsigned data_count() const { return static_cast<unsigned>(_pData.size()); }
    bool isValid() const { return _isValid; }
    unsigned col_count() const { return _col_count; }
    const tCsv_columnItemInfo* col_info() const { return _col_info; }
    // The sample's rows, in the table's row order.
    const std::vector<tCsv_strRow>& strRows() const { return _strRows; }
    const std::vector<tCsv_datRow>& datRows() const { return _datRows; }

private:
    friend class ZelkGrr;
    friend class grr_tester;
    void computeStatistics();

    bool _isValid = false;
    const char* _serial_number = nullptr;
    bool _isGoldenSample = false;
    std::vector<tCsv_strRow> _strRows;
    std::vector<tCsv_datRow> _datRows;
    unsigned _col_count = 0;
    const tCsv_columnItemInfo* _col_info = nullptr;
    std::vector<grr_data> _pData;
    int _grr_result = kGrrResult_unknown;
};

// One tester category of the measurement table.
class grr_tester {
public:
    grr_tester() = default;
    // initWithTester: a tester built from a category record.
    grr_tester(const tCsv_categoryDataInfo* testerInfo, unsigned colCount, const tCsv_columnItemInfo* colInfo);
    grr_tester(grr_tester&&) = default;
    grr_tester& operator=(grr_tester&&) = default;
    grr_tester(const grr_tester&) = delete;
    grr_tester& operator=(const grr_tester&) = delete;

    // Type from the name, samples by serial number (exact), statistics of all.
    void setTesterInfo(const tCsv_categoryDataInfo* testerInfo, unsigned colCount, const tCsv_columnItemInfo* colInfo);

    grr_sample* getSample() { return _samples.empty() ? nullptr : _samples.data(); }
    grr_sample* sampleAt(unsigned i) { return i < _samples.size() ? &_samples[i] : nullptr; }
    grr_sample* getAllSample() { return _samples.empty() ? nullptr : &_allSample; }
    const grr_sample* getSample() const { return _samples.empty() ? nullptr : _samples.data(); }
    const grr_sample* sampleAt(unsigned i) const { return i < _samples.size() ? &_samples[i] : nullptr; }

    const tCsv_categoryDataInfo* pTesterInfo() const { return _pTesterInfo; }
    unsigned col_count() const { return _col_count; }
    const tCsv_columnItemInfo* col_info() const { return _col_info; }
    int tester_type() const { return _tester_type; }
    const char* tester_name() const { return _tester_name; }
    unsigned sample_count() const { return static_cast<unsigned>(_samples.size()); }
    unsigned golden_sample_count() const { return _golden_sample_count; }
    // Per column: percent-error extremes, group averages (of the tester's golden
    // samples and of their golden partners) and the column verdict.
    const double* pGrrPctErrMax() const { return _pColumnBlock.empty() ? nullptr : _pColumnBlock.data(); }
    const double* pGrrPctErrMin() const { return _pColumnBlock.empty() ? nullptr : _pColumnBlock.data() + _col_count; }
    const double* pGroupAverage() const {
        return _pColumnBlock.empty() ? nullptr : _pColumnBlock.data() + 2 * size_t(_col_count);
    }
    const double* pGroupAverage_golden() const {
        return _pColumnBlock.empty() ? nullptr : _pColumnBlock.data() + 3 * size_t(_col_count);
    }
    const int* pGrrResult() const { return _pGrrResult.empty() ? nullptr : _pGrrResult.data(); }
    double grr_pct_err_max() const { return _grr_pct_err_max; }
    double grr_pct_err_min() const { return _grr_pct_err_min; }
    int grr_result() const { return _grr_result; }
    bool isValid() const { return _isValid; }

private:
    friend class ZelkGrr;
    double* column(int which) { return _pColumnBlock.data() + size_t(which) * _col_count; }

    const tCsv_categoryDataInfo* _pTesterInfo = nullptr;
    unsigned _col_count = 0;
    const tCsv_columnItemInfo* _col_info = nullptr;
    int _tester_type = kTesterType_unknown;
    const char* _tester_name = nullptr;
    std::vector<grr_sample> _samples;
    grr_sample _allSample;
    unsigned _golden_sample_count = 0;
    std::vector<double> _pColumnBlock;  // four arrays of col_count doubles, in accessor order
    std::vector<int> _pGrrResult;
    double _grr_pct_err_max = kZelk_noValue;
    double _grr_pct_err_min = kZelk_noValue;
    int _grr_result = kGrrResult_unknown;
    bool _isValid = false;
};

class ZelkGrr {
public:
    ZelkGrr();  // init: an empty manager
    ~ZelkGrr();
    ZelkGrr(const ZelkGrr&) = delete;
    ZelkGrr& operator=(const ZelkGrr&) = delete;

    // A manager of the table, or none when the result is not valid.
    static std::unique_ptr<ZelkGrr> initWithCsv(const std::shared_ptr<ZelkCsv>& csv);

    // A criteria table (csvType 1) is noted and nothing else happens; its owner
    // keeps it alive. Any other table is analysed against the criteria noted
    // before; input errors raise "GRR CSV INPUT ERROR".
    void setCsv(const std::shared_ptr<ZelkCsv>& csv);

    grr_column* getColumn() { return _columns.empty() ? nullptr : _columns.data(); }
    const grr_column* columnAt(unsigned i) const { return i < _columns.size() ? &_columns[i] : nullptr; }
    unsigned column_count() const { return static_cast<unsigned>(_columns.size()); }

    // Testers after the "ALL" category.
    unsigned getTesterCount() const { return _testers.size() < 2 ? 0 : static_cast<unsigned>(_testers.size() - 1); }
    grr_tester* getTester() { return _testers.size() < 2 ? nullptr : &_testers[1]; }
    grr_tester* testerAt(unsigned i) { return i + 1 < _testers.size() && i + 1 > i ? &_testers[i + 1] : nullptr; }
    grr_tester* getAllTester() { return _testers.empty() ? nullptr : &_testers[0]; }
    grr_tester* getGoldenTester() { return _golden; }
    unsigned tester_count() const { return static_cast<unsigned>(_testers.size()); }

    const std::shared_ptr<ZelkCsv>& csv() const { return _csv; }
    const ZelkCsv* csvGrrConfig() const { return _csvGrrConfig; }
    bool isValid() const { return _isValid; }
    bool isGrrEnabled() const { return _isGrrEnabled; }

private:
    void fail(const char* message);
    void evaluateTester(grr_tester& t, const std::unordered_map<std::string, size_t>& goldenBySerial,
                        const std::unordered_map<std::string, int>& criteriaByTitle);

    std::shared_ptr<ZelkCsv> _csv;
    const ZelkCsv* _csvGrrConfig = nullptr;
    std::vector<grr_column> _columns;
    bool _isValid = false;
    bool _isGrrEnabled = false;
    std::vector<grr_tester> _testers;
    grr_tester* _golden = nullptr;
};
