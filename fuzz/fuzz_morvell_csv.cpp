// The statistics tool's CSV model loading arbitrary text: it never crashes, never
// reads outside the text, and a loaded table's categories account for every row.
// Every table that loads also goes through the GR&R model, without criteria and
// with criteria made from its own titles.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "ZelkAlert.h"
#include "ZelkCsv.h"
#include "ZelkGrr.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void checkCategories(const ZelkCsv& t, int count, const tCsv_categoryDataInfo* info) {
    check(count >= 1 && info != nullptr);
    const size_t n = static_cast<size_t>(t.dataCnt());
    check(info[0].data_count == n && info[0].data_count_final <= n);
    size_t rows = 0, finals = 0;
    for (int k = 1; k < count; ++k) {
        rows += info[k].data_count;
        finals += info[k].data_count_final;
        check(info[k].data_count >= 1 && info[k].data_count_final <= info[k].data_count);
        check(info[k].strArr >= info[0].strArr && info[k].strArr + info[k].data_count <= info[0].strArr + n);
    }
    if (count > 1) check(rows == n && finals == info[0].data_count_final);
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < t.cols(); ++c) check(info[0].strArr[i][c] != nullptr);
}

// Criteria for every title of the table: limits present, empty and 0 in turn.
std::shared_ptr<ZelkCsv> criteriaFor(const ZelkCsv& t) {
    std::string titles = "GrrConfig", stdevs = "GRR Stdev----->", limits = "GRR Limit----->";
    const tCsv_columnItemInfo* items = t.getColumnItem();
    for (int c = 0; c < t.columnItem_count(); ++c) {
        titles += std::string(",") + (items[c].title ? items[c].title : "");
        stdevs += c % 4 == 1 ? "," : ",2";
        limits += c % 3 == 0 ? ",0.5" : c % 3 == 1 ? ",0" : ",";
    }
    limits += ",1";  // a last filled cell keeps the line as wide as the others
    titles += ",Z";
    stdevs += ",3";
    const std::string text = titles + "\n" + stdevs + "\n" + limits + "\n";
    auto crit = std::make_shared<ZelkCsv>();
    crit->load_csvText(text.data(), text.size(), "criteria.csv", false);
    return crit;
}

void checkGrr(const std::shared_ptr<ZelkCsv>& t, const std::shared_ptr<ZelkCsv>& criteria) {
    ZelkGrr g;
    if (criteria) g.setCsv(criteria);
    g.setCsv(t);
    if (!g.isValid()) return;
    check(g.tester_count() == static_cast<unsigned>(t->tester_count()) && g.getGoldenTester() != nullptr);
    check(g.column_count() == static_cast<unsigned>(t->columnItem_count()));
    for (unsigned k = 0; k < g.tester_count(); ++k) {
        grr_tester* tester = k == 0 ? g.getAllTester() : g.testerAt(k - 1);
        check(tester != nullptr && tester->isValid());
        check(tester->grr_result() >= 0 && tester->grr_result() <= 2 && tester->tester_type() <= 2);
        check(tester->golden_sample_count() <= tester->sample_count());
        size_t rows = 0;
        for (unsigned i = 0; i < tester->sample_count(); ++i) {
            grr_sample* s = tester->sampleAt(i);
            rows += s->test_count();
            check(s->data_count() == g.column_count() && s->grr_result() >= 0 && s->grr_result() <= 2);
            for (unsigned c = 0; c < s->data_count(); ++c) check(s->dataAt(c)->grr_result <= 2);
        }
        check(rows == tester->pTesterInfo()->data_count);
        for (unsigned c = 0; c < g.column_count(); ++c) check(tester->pGrrResult()[c] >= 0 && tester->pGrrResult()[c] <= 2);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The load's progress lines and the alerts would drown the fuzzer's own output.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    ZelkAlert_setSink([](const char*, const char*, const char*) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto table = std::make_shared<ZelkCsv>();
    ZelkCsv& t = *table;
    const int code = t.load_csvText(reinterpret_cast<const char*>(data), size, "fuzz.csv", false);
    check((code == 0) == t.isValid());
    if (!t.isValid()) {
        check(t.columnItem_count() == -1 && t.getColumnItem() == nullptr && t.config_count() == -1);
        return 0;
    }
    check(t.dataCnt() >= 0 && t.dataCnt() <= t.dataCnt_total());
    check(t.columnItem_count() == t.cols() && t.cols() >= 1);
    checkCategories(t, t.config_count(), t.getConfigInfo());
    checkCategories(t, t.tester_count(), t.getTesterInfo());
    checkGrr(table, nullptr);
    checkGrr(table, criteriaFor(t));
    return 0;
}
