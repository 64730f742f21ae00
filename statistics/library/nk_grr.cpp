// GR&R over library CSV tables.
#include "nk_grr.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "nk_error.h"

namespace {

// The single-precision 0.2 widened: the share of the test window a tester may deviate by default.
constexpr double kDefaultLimitShare = static_cast<double>(0.2f);

inline bool present(double v) { return !(v == kNK_noValue); }
// A setting (sigma, limit) is there when it is neither the sentinel nor an empty
// or text cell, which the table reads as NaN: a missing setting takes its default.
inline bool given(double v) { return present(v) && !std::isnan(v); }

bool containsGold(const std::string& name) {
    std::string low(name);
    for (char& c : low)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return low.find("gold") != std::string::npos;
}

// An item of column c with everything but its values and figures.
INK_grr_item itemFrame(const t_nkCsvColInfo& ci) {
    INK_grr_item item;
    item.name = ci.title;
    item.isGrrItem = given(ci.grrStdev) && given(ci.grrLimit);
    item.sigma = given(ci.grrStdev) ? ci.grrStdev : 3.0;
    if (given(ci.grrLimit)) item.grrLimit = ci.grrLimit;
    else if (given(ci.upperLimit) && given(ci.lowerLimit))
        item.grrLimit = (ci.upperLimit - ci.lowerLimit) * kDefaultLimitShare;
    return item;
}

void setBounds(INK_grr_item& item) {
    item.upperBound = item.mean + item.sigma * item.stdev;
    item.lowerBound = item.mean - item.sigma * item.stdev;
}

// Item rule: figures of the module's own column statistics.
std::vector<INK_grr_item> moduleItems(CNK_csv& module) {
    std::vector<INK_grr_item> items;
    const std::vector<t_nkCsvColInfo>& info = module.getColInfo();
    const std::vector<t_nkCsvColStat>& stats = module.col_stat();
    for (size_t c = 0; c < info.size(); ++c) {
        if (!info[c].isParametric) continue;
        INK_grr_item item = itemFrame(info[c]);
        if (c < stats.size()) {
            item.values = stats[c].values;
            item.mean = stats[c].mean;
            item.stdev = stats[c].stdev;
        }
        setBounds(item);
        items.push_back(std::move(item));
    }
    return items;
}

// Pseudo-golden rule: the figures of the values within one standard deviation
// of the pooled mean, when at least three are; else the pooled figures.
std::vector<INK_grr_item> pooledItems(CNK_csv& module) {
    std::vector<INK_grr_item> items;
    const std::vector<t_nkCsvColInfo>& info = module.getColInfo();
    const std::vector<t_nkCsvColStat>& stats = module.col_stat();
    for (size_t c = 0; c < info.size(); ++c) {
        if (!info[c].isParametric) continue;
        INK_grr_item item = itemFrame(info[c]);
        if (c < stats.size()) {
            const t_nkCsvColStat& st = stats[c];
            std::vector<double> kept;
            for (double v : st.values)
                if (st.mean - st.stdev <= v && v <= st.mean + st.stdev) kept.push_back(v);
            if (kept.size() >= 3) {
                double sum = 0.0;
                size_t n = 0;
                for (double v : kept)
                    if (present(v)) sum += v, ++n;
                item.mean = n ? sum / static_cast<double>(n) : std::nan("");
                double ss = 0.0;
                for (double v : kept)
                    if (present(v)) ss += (v - item.mean) * (v - item.mean);
                item.stdev = n >= 2 ? std::sqrt(ss / static_cast<double>(n - 1)) : 0.0;
                item.values = std::move(kept);
            } else {
                item.mean = st.mean;
                item.stdev = st.stdev;
                item.values = st.values;
            }
        }
        setBounds(item);
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace

INK_grr_item::~INK_grr_item() = default;
INK_grr_module::~INK_grr_module() = default;
INK_grr_tester::~INK_grr_tester() = default;

CNK_grr::CNK_grr() { NK_CLASS_NAME(); }

CNK_grr::~CNK_grr() = default;

u16 CNK_grr::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

u16 CNK_grr::load(CNK_csv& dataCsv, CNK_csv& grrConfigCsv) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (dataCsv.getType() != k_nkCsv_type_normal) {
        NK_REPORT(kNKErr_invalidParam, "dataCsv.type()==k_nkCsv_type_normal");
        return kNKErr_invalidParam;
    }
    if (grrConfigCsv.getType() != k_nkCsv_type_grr_config) {
        NK_REPORT(kNKErr_invalidParam, "grrConfigCsv.type()==k_nkCsv_type_grr_config");
        return kNKErr_invalidParam;
    }

    CNK_csv combined = dataCsv + grrConfigCsv;
    std::vector<CNK_csv> testerTables = combined.getGroups("Station ID");
    // Grouped from the combined table too, so the testers keep the GR&R settings.
    if (testerTables.empty()) testerTables = combined.getGroups("TesterID");
    if (testerTables.empty()) {
        NK_REPORT(kNKErr_invalidParam, "csv_tester.size()>0");
        return kNKErr_invalidParam;
    }

    // Step by step into locals: a load that fails leaves the object as it was.
    std::vector<std::vector<CNK_csv>> moduleTables;
    std::vector<INK_grr_tester> testers;
    moduleTables.reserve(testerTables.size());
    testers.reserve(testerTables.size());
    for (CNK_csv& testerTable : testerTables) {
        std::vector<CNK_csv> modules = testerTable.getGroups("SerialNumber");
        std::vector<std::string> names;
        for (const CNK_csv& m : modules) names.push_back(m.getGroupName());
        if (modules.empty()) {
            // One serial number tested again and again (a golden part, say): one module of it.
            const std::vector<t_nkCsvColInfo>& info = testerTable.getColInfo();
            size_t col = info.size();
            for (size_t c = 0; c < info.size() && col == info.size(); ++c)
                if (info[c].title == "SerialNumber") col = c;
            if (col == info.size() || testerTable.getStrRows().empty()) {
                NK_REPORT(kNKErr_invalidParam, "csv_module[i].size()>0");
                return kNKErr_invalidParam;
            }
            const std::string& serial = testerTable.getStrRows().front()[col];
            names.push_back(serial.empty() ? std::string("N/A") : serial);
            modules.emplace_back(testerTable);
        }
        INK_grr_tester tester;
        tester.name = testerTable.getGroupName();
        for (size_t m = 0; m < modules.size(); ++m) {
            INK_grr_module module;
            module.name = names[m];
            module.items = moduleItems(modules[m]);
            tester.modules.push_back(std::move(module));
        }
        testers.push_back(std::move(tester));
        moduleTables.push_back(std::move(modules));
    }

    _combined = combined;
    _testerTables.swap(testerTables);
    _moduleTables.swap(moduleTables);
    _testers.swap(testers);

    const auto gold = std::find_if(_testers.begin(), _testers.end(),
                                   [](const INK_grr_tester& t) { return containsGold(t.name); });
    if (gold != _testers.end()) {
        _golden = std::move(*gold);
        _testers.erase(gold);
        _golden.isGolden = true;
    } else {
        _golden = INK_grr_tester();
        _golden.name = "pseudo golden tester";
        _golden.isGolden = true;
        for (CNK_csv& pool : _combined.getGroups("SerialNumber")) {
            INK_grr_module module;
            module.name = pool.getGroupName();
            module.hasGolden = true;
            module.items = pooledItems(pool);
            _golden.modules.push_back(std::move(module));
        }
    }
    for (INK_grr_tester& t : _testers) judge(t);
    return kNKErr_OK;
}

void CNK_grr::judge(INK_grr_tester& t) const {
    std::unordered_map<std::string, const INK_grr_module*> goldenModules;
    for (const INK_grr_module& g : _golden.modules) goldenModules.emplace(g.name, &g);

    t.judgedModules = 0;
    t.maxPctErr = -1000.0;
    t.minPctErr = 1000.0;
    bool anyJudged = false;
    for (INK_grr_module& m : t.modules) {
        const auto found = goldenModules.find(m.name);
        if (found == goldenModules.end()) continue;
        const INK_grr_module& g = *found->second;
        m.hasGolden = true;
        m.maxPctErr = -1000.0;
        m.minPctErr = 1000.0;
        std::unordered_map<std::string, const INK_grr_item*> goldenItems;
        for (const INK_grr_item& j : g.items) goldenItems.emplace(j.name, &j);
        bool anyResult = false, anyShort = false;
        for (INK_grr_item& item : m.items) {
            const auto j = goldenItems.find(item.name);
            if (j == goldenItems.end()) continue;
            const double ref = j->second->mean;
            item.goldenMean = ref;
            if (present(item.grrLimit)) {
                item.pctErrUpper = (item.upperBound - ref) / item.grrLimit * 100.0;
                item.pctErrLower = (item.lowerBound - ref) / item.grrLimit * 100.0;
            } else {
                item.pctErrUpper = item.pctErrLower = 0.0;
            }
            if (!item.isGrrItem) item.result = k_nkGrr_notEvaluated;
            else if (static_cast<i64>(item.values.size()) < _minValueCount) item.result = k_nkGrr_notEnoughData;
            else if (item.pctErrLower >= -100.0 && item.pctErrUpper <= 100.0) item.result = k_nkGrr_pass;
            else item.result = k_nkGrr_fail;
            anyResult = anyResult || item.result != k_nkGrr_notEvaluated;
            anyShort = anyShort || item.result == k_nkGrr_notEnoughData;
            m.maxPctErr = std::max(m.maxPctErr, item.pctErrUpper);
            m.minPctErr = std::min(m.minPctErr, item.pctErrLower);
        }
        if (!anyResult) m.result = k_nkGrr_notEvaluated;
        else if (anyShort) m.result = k_nkGrr_notEnoughData;
        else if (m.minPctErr >= -100.0 && m.maxPctErr <= 100.0) m.result = k_nkGrr_pass;
        else m.result = k_nkGrr_fail;
        anyJudged = anyJudged || m.result != k_nkGrr_notEvaluated;
        t.maxPctErr = std::max(t.maxPctErr, m.maxPctErr);
        t.minPctErr = std::min(t.minPctErr, m.minPctErr);
    }
    if (!anyJudged) {
        t.result = k_nkGrr_notEvaluated;
        return;
    }
    for (const INK_grr_module& m : t.modules)
        if (m.result == k_nkGrr_fail || m.result == k_nkGrr_pass) ++t.judgedModules;
    if (t.judgedModules < _minJudgedModuleCount) t.result = k_nkGrr_notEnoughData;
    else if (t.minPctErr >= -100.0 && t.maxPctErr <= 100.0) t.result = k_nkGrr_pass;
    else t.result = k_nkGrr_fail;
}
