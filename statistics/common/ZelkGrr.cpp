// The GR&R model: testers and their samples from the measurement table, every
// sample judged against the golden sample of its serial number. Criteria and
// golden samples are found through maps built once per load, so a log of a
// million values is analysed in a fraction of a second.
#include "ZelkGrr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>

#include "ZelkAlert.h"
#include "ZelkMath.h"
#include "nk_error.h"

const char* const kTesterTypeStr[4] = {"target", "golden", "psuedo_golden", "unknown"};
const char* const kGrrResultStr[3] = {"unknown", "fail", "pass"};

namespace {

const char kEmpty[] = "";
const char kAllSerial[] = "ALL";
// The single-precision 0.2 widened: the share of the test window a tester may deviate by default.
constexpr double kDefaultLimitShare = static_cast<double>(0.2f);
constexpr double kDefaultGrrStdev = 3.0;

inline bool present(double v) { return v != kZelk_noValue; }
// A mean that can be compared: present and a number.
inline bool measured(double v) { return present(v) && !std::isnan(v); }

std::string lowered(const char* s) {
    std::string out(s ? s : "");
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

bool containsNoCase(const char* text, const char* word) {
    return text && lowered(text).find(lowered(word)) != std::string::npos;
}

void trace(const char* method, int line) {
    char stamp[16];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    std::printf("[%s %s:[ZelkGrr %s]:%d]\n", stamp, "ZelkGrr.cpp", method, line);
}

// (bound − reference) × 100 over the limit; a limit of exactly 0 makes any
// deviation infinite, whatever its sign.
double pctErr(double bound, double reference, double limit) {
    double e = (bound - reference) * 100.0;
    if (e != 0.0 && !std::isnan(e)) e = limit == 0.0 ? std::numeric_limits<double>::infinity() : e / limit;
    return e;
}

// "No value" gives way to the first value; afterwards the larger / smaller wins.
inline void raise(double& extreme, double v) { extreme = !present(extreme) || v > extreme ? v : extreme; }
inline void lower(double& extreme, double v) { extreme = !present(extreme) || v < extreme ? v : extreme; }

}  // namespace

// ---------------------------------------------------------------- grr_sample

void grr_sample::setSample(const char* serialNumber, unsigned colCount, const tCsv_columnItemInfo* colInfo,
                           tCsv_strRow strRow, tCsv_datRow datRow) {
    NK_ASSERT_FN(serialNumber != nullptr && colInfo != nullptr && strRow != nullptr && datRow != nullptr);
    if (_strRows.empty()) {
        _serial_number = serialNumber;
        _col_count = colCount;
        _col_info = colInfo;
    }
    NK_ASSERT_FN(_serial_number == serialNumber || std::strcmp(_serial_number, serialNumber) == 0);
    NK_ASSERT_FN(_col_count == colCount && _col_info == colInfo);
    NK_ASSERT_FN(_pData.empty());  // rows come before the statistics
    _strRows.push_back(strRow);
    _datRows.push_back(datRow);
    _isValid = true;
}

void grr_sample::computeStatistics() {
    if (!_pData.empty() || _strRows.empty() || _col_count == 0) return;
    _pData.assign(_col_count, grr_data());
    std::vector<double> values(_datRows.size());
    for (unsigned c = 0; c < _col_count; ++c) {
        const tCsv_columnItemInfo& ci = _col_info[c];
        grr_data& d = _pData[c];
        d.title = ci.title;
        d.isParametric = ci.isParametric;
        d.limit_upper = ci.limit_upper;
        d.limit_lower = ci.limit_lower;
        d.ers_limit_upper = ci.ers_upper;
        d.ers_limit_lower = ci.ers_lower;
        if (!ci.isParametric) continue;
        for (size_t r = 0; r < _datRows.size(); ++r) values[r] = _datRows[r][c];
        ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_1D(values.data(), static_cast<SInt32>(values.size()), 0,
                                                    static_cast<SInt32>(values.size()), &d.max, &d.min, nullptr,
                                                    &d.avg, &d.std, nullptr, nullptr);
    }
}

grr_data* grr_sample::getData() {
    computeStatistics();
    return _pData.empty() ? nullptr : _pData.data();
}

grr_data* grr_sample::dataAt(unsigned column) {
    computeStatistics();
    return column < _pData.size() ? &_pData[column] : nullptr;
}

// ---------------------------------------------------------------- grr_tester

grr_tester::grr_tester(const tCsv_categoryDataInfo* testerInfo, unsigned colCount, const tCsv_columnItemInfo* colInfo) {
    setTesterInfo(testerInfo, colCount, colInfo);
}

void grr_tester::setTesterInfo(const tCsv_categoryDataInfo* testerInfo, unsigned colCount,
                               const tCsv_columnItemInfo* colInfo) {
    NK_ASSERT_FN(testerInfo != nullptr && colInfo != nullptr && testerInfo->name != nullptr);
    NK_ASSERT_FN(_tester_name == nullptr || std::string_view(_tester_name) == testerInfo->name);
    _pTesterInfo = testerInfo;
    _col_count = colCount;
    _col_info = colInfo;
    _tester_name = testerInfo->name;
    _tester_type = containsNoCase(_tester_name, "GOLD")  ? kTesterType_golden
                   : containsNoCase(_tester_name, "ALL") ? kTesterType_psuedo_golden
                                                         : kTesterType_target;

    _pColumnBlock.assign(4 * size_t(colCount), kZelk_noValue);
    _pGrrResult.assign(colCount, kGrrResult_unknown);
    _grr_pct_err_max = _grr_pct_err_min = kZelk_noValue;
    _grr_result = kGrrResult_unknown;
    _golden_sample_count = 0;
    _allSample = grr_sample();
    _allSample._strRows.reserve(testerInfo->data_count);
    _allSample._datRows.reserve(testerInfo->data_count);
    _samples.clear();

    std::unordered_map<std::string_view, size_t> bySerial;
    for (size_t r = 0; r < testerInfo->data_count; ++r) {
        tCsv_strRow s = testerInfo->strArr[r];
        tCsv_datRow d = testerInfo->datArr[r];
        _allSample.setSample(kAllSerial, colCount, colInfo, s, d);
        // A null first cell (a short line in a wider file) is read as the empty serial.
        const char* serial = s[0] ? s[0] : kEmpty;
        const auto it = bySerial.emplace(serial, _samples.size());
        if (it.second) _samples.emplace_back();
        _samples[it.first->second].setSample(serial, colCount, colInfo, s, d);
    }
    _allSample.computeStatistics();
    for (grr_sample& sample : _samples) sample.computeStatistics();
    _isValid = true;
}

// ---------------------------------------------------------------- ZelkGrr

ZelkGrr::ZelkGrr() { trace("init", __LINE__); }

ZelkGrr::~ZelkGrr() { trace("dealloc", __LINE__); }

std::unique_ptr<ZelkGrr> ZelkGrr::initWithCsv(const std::shared_ptr<ZelkCsv>& csv) {
    std::unique_ptr<ZelkGrr> grr(new ZelkGrr());
    grr->setCsv(csv);
    if (!grr->isValid()) grr.reset();
    return grr;
}

void ZelkGrr::fail(const char* message) { ZelkAlert_show("GRR CSV INPUT ERROR", message); }

void ZelkGrr::setCsv(const std::shared_ptr<ZelkCsv>& csv) {
    if (csv && csv->csvType() == 1) {
        _csvGrrConfig = csv.get();
        return;
    }
    _isValid = false;
    if (!csv) return fail("NULL CSV");
    if (csv->tester_count() <= 1 || !csv->getTesterInfo()) return fail("No Tester Info Available");
    if (csv->columnItem_count() <= 1 || !csv->getColumnItem()) return fail("Column Count < 2");

    _golden = nullptr;
    _testers.clear();
    _columns.clear();
    // Held from here on: the testers built below borrow its rows, and they stay
    // readable after an input error.
    _csv = csv;
    _isGrrEnabled = false;
    const unsigned cols = static_cast<unsigned>(csv->columnItem_count());
    const tCsv_columnItemInfo* items = csv->getColumnItem();
    try {
        _columns.resize(cols);
    } catch (const std::bad_alloc&) {
        return fail("Memory Allocation Error: _pColumn");
    }
    for (unsigned c = 0; c < cols; ++c)
        _columns[c] = grr_column{items[c].title, items[c].isParametric, items[c].limit_upper, items[c].limit_lower};
    try {
        _testers.resize(static_cast<size_t>(csv->tester_count()));
    } catch (const std::bad_alloc&) {
        _columns.clear();
        return fail("Memory Allocation Error: _pTester");
    }
    for (size_t k = 0; k < _testers.size(); ++k) _testers[k].setTesterInfo(&csv->getTesterInfo()[k], cols, items);

    for (grr_tester& t : _testers) {
        if (t.tester_type() != kTesterType_golden) continue;
        if (_golden) return fail("Multiple Golden Tester\nPlease correct the input csv files and try again\n");
        _golden = &t;
    }
    if (!_golden) _golden = &_testers[0];  // pseudo-golden: every tester's rows together

    // Built once: the first golden sample of each serial number in any letter case,
    // and the first criteria column of each title in any letter case.
    std::unordered_map<std::string, size_t> goldenBySerial;
    for (size_t i = 0; i < _golden->_samples.size(); ++i)
        goldenBySerial.emplace(lowered(_golden->_samples[i].serial_number()), i);
    std::unordered_map<std::string, int> criteriaByTitle;
    if (_csvGrrConfig && _csvGrrConfig->getColumnItem()) {
        const tCsv_columnItemInfo* crit = _csvGrrConfig->getColumnItem();
        for (int c = 0; c < _csvGrrConfig->columnItem_count(); ++c)
            if (crit[c].title) criteriaByTitle.emplace(lowered(crit[c].title), c);
    }

    for (grr_tester& t : _testers) evaluateTester(t, goldenBySerial, criteriaByTitle);
    _isValid = true;
}

void ZelkGrr::evaluateTester(grr_tester& t, const std::unordered_map<std::string, size_t>& goldenBySerial,
                             const std::unordered_map<std::string, int>& criteriaByTitle) {
    const unsigned cols = t._col_count;
    double* pctMax = t.column(0);
    double* pctMin = t.column(1);
    double* groupAvg = t.column(2);
    double* groupAvgGolden = t.column(3);
    // Samples that entered each column's group averages.
    std::vector<unsigned> averaged(cols, 0);
    const tCsv_columnItemInfo* crit = _csvGrrConfig ? _csvGrrConfig->getColumnItem() : nullptr;

    t._golden_sample_count = 0;
    for (grr_sample& s : t._samples) {
        const auto match = goldenBySerial.find(lowered(s.serial_number()));
        if (match == goldenBySerial.end()) continue;
        grr_sample& g = _golden->_samples[match->second];
        s._isGoldenSample = true;
        ++t._golden_sample_count;
        grr_data* data = s.getData();
        const grr_data* goldenData = g.getData();
        if (!data || !goldenData) continue;
        for (unsigned c = 0; c < cols && c < g.data_count(); ++c) {
            grr_data& d = data[c];
            const grr_data& gd = goldenData[c];
            // A column without a mean here or at the golden sample (all "NA") is judged on nothing.
            const bool hasStats = measured(d.avg) && measured(gd.avg);

            std::printf("%s\n", d.title ? d.title : "");
            const auto found = d.title ? criteriaByTitle.find(lowered(d.title)) : criteriaByTitle.end();
            const bool isCriteria = found != criteriaByTitle.end();
            const bool limitMissing = isCriteria && !present(crit[found->second].grr_limit);
            if (hasStats && !limitMissing) t._pGrrResult[c] = kGrrResult_pass;
            if (isCriteria) {
                const tCsv_columnItemInfo& ci = crit[found->second];
                d.isGrrParam = true;
                d.grr_stdev = present(ci.grr_stdev) ? ci.grr_stdev : kDefaultGrrStdev;
                d.grr_limit = ci.grr_limit;
                d.unit = ci.unit_text;
                _isGrrEnabled = true;
            } else if (present(d.limit_upper) && present(d.limit_lower) && d.limit_upper != d.limit_lower) {
                d.grr_stdev = kDefaultGrrStdev;
                d.grr_limit = (d.limit_upper - d.limit_lower) * kDefaultLimitShare;
                d.unit = kEmpty;
            } else {
                continue;
            }

            d.avg_golden = gd.avg;
            const bool reference = present(d.avg_golden);
            if (present(d.grr_limit) && reference) {
                d.grr_limit_upper = d.avg_golden + d.grr_limit;
                d.grr_limit_lower = d.avg_golden - d.grr_limit;
            }
            if (present(d.avg)) {
                d.bound_upper = d.avg + d.std * d.grr_stdev;
                d.bound_lower = d.avg - d.std * d.grr_stdev;
            }
            if (present(d.bound_upper) && (present(d.grr_limit_upper) || present(d.grr_limit_lower)) &&
                (d.bound_upper > d.grr_limit_upper || d.bound_lower < d.grr_limit_lower)) {
                d.grr_result = kGrrResult_fail;
                s._grr_result = kGrrResult_fail;
            }
            // Without a limit there is nothing to divide by: the errors stay "no value".
            if (present(d.grr_limit) && present(d.bound_upper) && reference) {
                d.grr_pct_err_upper = pctErr(d.bound_upper, gd.avg, d.grr_limit);
                d.grr_pct_err_lower = pctErr(d.bound_lower, gd.avg, d.grr_limit);
            }

            if (!d.isGrrParam || !hasStats) continue;
            groupAvg[c] = present(groupAvg[c]) ? groupAvg[c] + d.avg : d.avg;
            groupAvgGolden[c] = present(groupAvgGolden[c]) ? groupAvgGolden[c] + gd.avg : gd.avg;
            ++averaged[c];
            if (limitMissing) continue;
            if (t._grr_result == kGrrResult_unknown) t._grr_result = kGrrResult_pass;
            if (s._grr_result == kGrrResult_unknown) s._grr_result = kGrrResult_pass;
            raise(pctMax[c], d.grr_pct_err_upper);
            raise(t._grr_pct_err_max, d.grr_pct_err_upper);
            lower(pctMin[c], d.grr_pct_err_lower);
            lower(t._grr_pct_err_min, d.grr_pct_err_lower);
            if (pctMax[c] > 100.0 || pctMin[c] < -100.0) {
                t._pGrrResult[c] = kGrrResult_fail;
                t._grr_result = kGrrResult_fail;
            }
        }
    }
    // Only what was summed is averaged: a column no golden sample measured keeps "no value".
    for (unsigned c = 0; c < cols; ++c) {
        if (averaged[c] == 0) continue;
        groupAvg[c] /= averaged[c];
        groupAvgGolden[c] /= averaged[c];
    }
}
