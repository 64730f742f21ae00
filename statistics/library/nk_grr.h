// The library's own GR&R calculator over library CSV tables: rows grouped by
// tester and then by serial number (one module per serial number), every tester
// judged item by item against a golden tester, or against a pseudo-golden tester
// that pools all testers when no tester name holds "gold".
#pragma once

#include <string>
#include <vector>

#include "nk_csv.h"

// Verdicts of items, modules and testers.
enum : i32 {
    k_nkGrr_notEvaluated = -2,
    k_nkGrr_notEnoughData = -1,
    k_nkGrr_fail = 0,
    k_nkGrr_pass = 1,
};

class INK_grr_item {
public:
    INK_grr_item() = default;
    INK_grr_item(const INK_grr_item&) = default;
    INK_grr_item& operator=(const INK_grr_item&) = default;
    INK_grr_item(INK_grr_item&&) = default;
    INK_grr_item& operator=(INK_grr_item&&) = default;
    virtual ~INK_grr_item();

    std::string name;
    bool isGrrItem = false;
    i32 result = k_nkGrr_notEvaluated;
    std::vector<double> values;
    double mean = kNK_noValue;
    double stdev = kNK_noValue;
    double sigma = 3.0;
    double upperBound = kNK_noValue;
    double lowerBound = kNK_noValue;
    double goldenMean = kNK_noValue;
    double grrLimit = kNK_noValue;
    double pctErrUpper = kNK_noValue;
    double pctErrLower = kNK_noValue;
};

class INK_grr_module {
public:
    INK_grr_module() = default;
    INK_grr_module(const INK_grr_module&) = default;
    INK_grr_module& operator=(const INK_grr_module&) = default;
    INK_grr_module(INK_grr_module&&) = default;
    INK_grr_module& operator=(INK_grr_module&&) = default;
    virtual ~INK_grr_module();

    std::string name;
    i32 result = k_nkGrr_notEvaluated;
    bool hasGolden = false;
    std::vector<INK_grr_item> items;
    double maxPctErr = kNK_noValue;
    double minPctErr = kNK_noValue;
};

class INK_grr_tester {
public:
    INK_grr_tester() = default;
    INK_grr_tester(const INK_grr_tester&) = default;
    INK_grr_tester& operator=(const INK_grr_tester&) = default;
    INK_grr_tester(INK_grr_tester&&) = default;
    INK_grr_tester& operator=(INK_grr_tester&&) = default;
    virtual ~INK_grr_tester();

    std::string name;
    bool isGolden = false;
    i32 result = k_nkGrr_notEvaluated;
    std::vector<INK_grr_module> modules;
    i32 judgedModules = 0;
    double maxPctErr = kNK_noValue;
    double minPctErr = kNK_noValue;
};

class CNK_grr : public CNK_baseObject {
public:
    CNK_grr();
    ~CNK_grr() override;
    u16 setLogManager(CNK_logManager* lm) override;

    // Groups and judges the data table against the configuration table; 0 or
    // kNKErr_invalidParam (the object then stays as it was).
    u16 load(CNK_csv& dataCsv, CNK_csv& grrConfigCsv);

    i32 minValueCount() const { return _minValueCount; }
    i32 minJudgedModuleCount() const { return _minJudgedModuleCount; }
    const CNK_csv& combined() const { return _combined; }
    const std::vector<CNK_csv>& testerTables() const { return _testerTables; }
    const std::vector<std::vector<CNK_csv>>& moduleTables() const { return _moduleTables; }
    const std::vector<INK_grr_tester>& testers() const { return _testers; }
    const INK_grr_tester& goldenTester() const { return _golden; }

private:
    void judge(INK_grr_tester& tester) const;

    // An item needs two values for a spread; a tester one judged module for a verdict.
    i32 _minValueCount = 2;
    i32 _minJudgedModuleCount = 1;
    CNK_csv _combined;  // the data table merged with the configuration
    std::vector<CNK_csv> _testerTables;
    std::vector<std::vector<CNK_csv>> _moduleTables;
    std::vector<INK_grr_tester> _testers;
    INK_grr_tester _golden;
};
