// The library's GR&R calculator over library CSV tables, and CNK_csv's sum.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "grr_test_util.h"
#include "nk_error.h"
#include "nk_grr.h"
#include "nk_gtest_util.h"
#include "nk_test_util.h"

using grrtest::sameFigure;
using nktest::TempDir;

namespace {

CNK_csv loadText(const TempDir& dir, const std::string& name, const std::string& text) {
    const std::string path = dir.file(name);
    nktest::writeFile(path, text);
    CNK_csv t;
    EXPECT_EQ(t.load(path), 0) << text;
    return t;
}

const char* kConfig = "GrrConfig,V\nGRR Stdev----->,3\nGRR Limit----->,0.2\n";

// A log of one item V, rows "serial,tester,value".
std::string vLog(const std::vector<std::string>& rows, const char* testerTitle = "TesterID") {
    std::string t = std::string("SerialNumber,") + testerTitle + ",V\nUpper Limit----->,,2\nLower Limit----->,,0\n";
    for (const auto& r : rows) t += r + "\n";
    return t;
}

struct GrrRun {
    TempDir dir;
    CNK_csv data, config;
    CNK_grr grr;
    u16 code = 0xFFFF;
    GrrRun(const std::string& log, const std::string& cfg = kConfig)
        : data(loadText(dir, "log.csv", log)), config(loadText(dir, "cfg.csv", cfg)) {
        code = grr.load(data, config);
    }
};

const INK_grr_module* moduleNamed(const INK_grr_tester& t, const std::string& name) {
    for (const auto& m : t.modules)
        if (m.name == name) return &m;
    return nullptr;
}

void compareWithOracle(bool pseudo) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    TempDir dir;
    grrtest::runOracle("gen 11 " + dir.path().string() + (pseudo ? " pseudo" : ""));
    const std::string logPath = dir.file("grr_log.csv"), cfgPath = dir.file("grr_criteria.csv");
    CNK_csv data, config;
    ASSERT_EQ(data.load(logPath), 0);
    ASSERT_EQ(config.load(cfgPath), 0);
    CNK_grr g;
    nktest::StderrCapture quiet;  // the grouping reports the single-serial tester
    const u16 code = g.load(data, config);
    quiet.take();
    ASSERT_EQ(code, 0);
    const double NV = kNK_noValue;

    auto testerNamed = [&](const std::string& name) -> const INK_grr_tester* {
        for (const auto& t : g.testers())
            if (t.name == name) return &t;
        return nullptr;
    };
    size_t testers = 0, items = 0;
    for (const grrtest::Record& r : grrtest::runOracle("library " + logPath + " " + cfgPath)) {
        const auto& f = r.f;
        SCOPED_TRACE(r.tag + " " + f[0] + " " + (f.size() > 1 ? f[1] : ""));
        if (r.tag == "LG") {
            std::string name = g.goldenTester().name;
            for (char& c : name)
                if (c == ' ') c = '_';
            EXPECT_EQ(name, f[0]);
            EXPECT_TRUE(g.goldenTester().isGolden);
            EXPECT_EQ(g.goldenTester().modules.size(), std::stoul(f[1]));
        } else if (r.tag == "LP") {
            const INK_grr_module* m = moduleNamed(g.goldenTester(), f[0]);
            ASSERT_NE(m, nullptr);
            EXPECT_EQ(m->hasGolden, pseudo);
            const INK_grr_item* it = nullptr;
            for (const auto& i : m->items)
                if (i.name == f[1]) it = &i;
            ASSERT_NE(it, nullptr);
            EXPECT_TRUE(sameFigure("mean", it->mean, f[2], NV));
            EXPECT_TRUE(sameFigure("stdev", it->stdev, f[3], NV));
            EXPECT_EQ(it->values.size(), std::stoul(f[4]));
        } else if (r.tag == "LT") {
            const INK_grr_tester* t = testerNamed(f[0]);
            ASSERT_NE(t, nullptr);
            ++testers;
            EXPECT_FALSE(t->isGolden);
            EXPECT_EQ(t->result, std::stoi(f[1]));
            EXPECT_EQ(t->judgedModules, std::stoi(f[2]));
            EXPECT_TRUE(sameFigure("maxPctErr", t->maxPctErr, f[3], NV));
            EXPECT_TRUE(sameFigure("minPctErr", t->minPctErr, f[4], NV));
        } else if (r.tag == "LM") {
            const INK_grr_module* m = moduleNamed(*testerNamed(f[0]), f[1]);
            ASSERT_NE(m, nullptr);
            EXPECT_EQ(m->result, std::stoi(f[2]));
            EXPECT_EQ(m->hasGolden, f[3] == "1");
            EXPECT_TRUE(sameFigure("maxPctErr", m->maxPctErr, f[4], NV));
            EXPECT_TRUE(sameFigure("minPctErr", m->minPctErr, f[5], NV));
        } else if (r.tag == "LI") {
            const INK_grr_module* m = moduleNamed(*testerNamed(f[0]), f[1]);
            ASSERT_NE(m, nullptr);
            const INK_grr_item* it = nullptr;
            for (const auto& i : m->items)
                if (i.name == f[2]) it = &i;
            ASSERT_NE(it, nullptr);
            ++items;
            EXPECT_EQ(it->isGrrItem, f[3] == "1");
            EXPECT_EQ(it->result, std::stoi(f[4]));
            const double got[] = {it->mean,       it->stdev,    it->sigma,       it->upperBound, it->lowerBound,
                                  it->goldenMean, it->grrLimit, it->pctErrUpper, it->pctErrLower};
            const char* names[] = {"mean",       "stdev",    "sigma",       "upperBound", "lowerBound",
                                   "goldenMean", "grrLimit", "pctErrUpper", "pctErrLower"};
            for (size_t i = 0; i < std::size(got); ++i) EXPECT_TRUE(sameFigure(names[i], got[i], f[5 + i], NV));
            EXPECT_EQ(it->values.size(), std::stoul(f[14]));
        }
    }
    EXPECT_EQ(testers, g.testers().size());
    EXPECT_GT(items, 50u);
}

}  // namespace

TEST(NkGrr, EveryFigureWithAGoldenTesterAgainstTheOracle) { compareWithOracle(false); }

TEST(NkGrr, EveryFigureWithThePseudoGoldenTesterAgainstTheOracle) { compareWithOracle(true); }

TEST(NkGrr, GoldenTesterIsTheFirstGoldNameAndLeavesTheTesters) {
    GrrRun r(vLog({"A,ST01,1", "B,ST01,1.1", "A,Gold_ST02,1", "B,Gold_ST02,1.1", "A,ST03,1", "B,ST03,1.1", "A,gold4,1",
                "B,gold4,1"}));
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.grr.goldenTester().name, "Gold_ST02");
    EXPECT_TRUE(r.grr.goldenTester().isGolden);
    EXPECT_EQ(r.grr.goldenTester().result, k_nkGrr_notEvaluated);
    ASSERT_EQ(r.grr.testers().size(), 3u);
    EXPECT_EQ(r.grr.testers()[0].name, "ST01");
    EXPECT_EQ(r.grr.testers()[1].name, "ST03");
    EXPECT_EQ(r.grr.testers()[2].name, "gold4");  // the second gold name is judged
    EXPECT_FALSE(r.grr.testers()[2].isGolden);
    EXPECT_NE(r.grr.testers()[2].result, k_nkGrr_notEvaluated);
    EXPECT_EQ(r.grr.testerTables().size(), 4u);
    EXPECT_EQ(r.grr.moduleTables().size(), 4u);
    EXPECT_EQ(r.grr.combined().getStrRows().size(), 8u);
    EXPECT_EQ(r.grr.minValueCount(), 2);
    EXPECT_EQ(r.grr.minJudgedModuleCount(), 1);
}

TEST(NkGrr, PseudoGoldenKeepsValuesWithinOneStandardDeviation) {
    // Pooled {1, 2, 3, 100}: mean 26.5, stdev about 49; 1, 2 and 3 stay.
    GrrRun r(vLog({"A,ST01,1", "A,ST01,2", "A,ST02,3", "A,ST02,100", "B,ST01,5", "B,ST02,5", "B,ST01,7", "B,ST02,100"}));
    ASSERT_EQ(r.code, 0);
    const INK_grr_tester& g = r.grr.goldenTester();
    EXPECT_EQ(g.name, "pseudo golden tester");
    ASSERT_EQ(g.modules.size(), 2u);
    for (const auto& m : g.modules) EXPECT_TRUE(m.hasGolden);
    const INK_grr_item& a = g.modules[0].items.at(0);
    EXPECT_DOUBLE_EQ(a.mean, 2.0);
    EXPECT_DOUBLE_EQ(a.stdev, 1.0);
    EXPECT_EQ(a.values, (std::vector<double>{1, 2, 3}));
    EXPECT_DOUBLE_EQ(a.upperBound, 5.0);
    // B {5, 5, 7, 100}: mean 29.25, stdev about 47; 5, 5 and 7 stay.
    const INK_grr_item& b = g.modules[1].items.at(0);
    EXPECT_EQ(b.values.size(), 3u);
    EXPECT_NEAR(b.mean, 17.0 / 3, 1e-12);
}

TEST(NkGrr, PseudoGoldenWithFewerThanThreeKeptUsesTheColumnFigures) {
    GrrRun r(vLog({"A,ST01,1", "A,ST02,10", "B,ST01,1", "B,ST02,1"}));
    ASSERT_EQ(r.code, 0);
    const INK_grr_item& a = r.grr.goldenTester().modules.at(0).items.at(0);
    EXPECT_DOUBLE_EQ(a.mean, 5.5);
    EXPECT_NEAR(a.stdev, std::sqrt(40.5), 1e-12);
    EXPECT_EQ(a.values.size(), 2u);
}

TEST(NkGrr, ColumnWithoutGrrSettingsTakesDefaultsAndStillMovesTheExtremes) {
    GrrRun r("SerialNumber,TesterID,V\nUpper Limit----->,,10\nLower Limit----->,,0\n"
          "A,GOLD,1\nA,GOLD,2\nB,GOLD,1\nA,ST01,6\nA,ST01,7\nB,ST01,1\n",
          "GrrConfig,W\nGRR Stdev----->,3\nGRR Limit----->,0.2\n");
    ASSERT_EQ(r.code, 0);
    const INK_grr_module* m = moduleNamed(r.grr.testers().at(0), "A");
    ASSERT_NE(m, nullptr);
    const INK_grr_item& v = m->items.at(0);
    EXPECT_FALSE(v.isGrrItem);
    EXPECT_EQ(v.sigma, 3.0);
    EXPECT_EQ(v.grrLimit, 2.0000000298023224);
    EXPECT_EQ(v.result, k_nkGrr_notEvaluated);
    EXPECT_EQ(m->result, k_nkGrr_notEvaluated);
    EXPECT_GT(m->maxPctErr, 100.0);  // moved by a non-GR&R item
    EXPECT_EQ(r.grr.testers()[0].result, k_nkGrr_notEvaluated);
}

TEST(NkGrr, VerdictBoundariesAndMissingGolden) {
    // Limit 0.2, sigma 3, no spread: a mean 0.2 away is exactly 100 %.
    GrrRun r(vLog({"A,GOLD,1", "A,GOLD,1", "B,GOLD,1", "B,GOLD,1", "A,ST01,1.25", "A,ST01,1.25", "B,ST01,0.75",
                "B,ST01,0.75", "C,ST01,1", "C,ST01,1", "A,ST02,1.3", "A,ST02,1.3", "B,ST02,1", "B,ST02,1"}),
          "GrrConfig,V\nGRR Stdev----->,3\nGRR Limit----->,0.25\n");
    ASSERT_EQ(r.code, 0);
    const INK_grr_tester& st01 = r.grr.testers().at(0);
    EXPECT_DOUBLE_EQ(moduleNamed(st01, "A")->items[0].pctErrUpper, 100.0);
    EXPECT_DOUBLE_EQ(moduleNamed(st01, "B")->items[0].pctErrLower, -100.0);
    EXPECT_EQ(moduleNamed(st01, "A")->result, k_nkGrr_pass);
    EXPECT_EQ(moduleNamed(st01, "B")->result, k_nkGrr_pass);
    // C has no golden module: not evaluated and not counted.
    EXPECT_EQ(moduleNamed(st01, "C")->result, k_nkGrr_notEvaluated);
    EXPECT_FALSE(moduleNamed(st01, "C")->hasGolden);
    EXPECT_EQ(st01.judgedModules, 2);
    EXPECT_EQ(st01.result, k_nkGrr_pass);
    const INK_grr_tester& st02 = r.grr.testers().at(1);
    EXPECT_EQ(moduleNamed(st02, "A")->result, k_nkGrr_fail);
    EXPECT_EQ(st02.result, k_nkGrr_fail);
}

TEST(NkGrr, StationIdGroupsComeFirst) {
    GrrRun r("SerialNumber,Station ID,TesterID,V\nUpper Limit----->,,,2\n"
          "A,GOLD,X,1\nB,GOLD,Y,1\nA,S2,X,1\nB,S2,Y,1\n");
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.grr.goldenTester().name, "GOLD");
    ASSERT_EQ(r.grr.testers().size(), 1u);
    EXPECT_EQ(r.grr.testers()[0].name, "S2");
    // The settings reach the testers grouped by TesterID too (from the combined table).
    GrrRun t(vLog({"A,GOLD,1", "A,GOLD,1.1", "A,ST01,1", "A,ST01,1.1"}));
    ASSERT_EQ(t.code, 0);
    EXPECT_TRUE(t.grr.testers().at(0).modules.at(0).items.at(0).isGrrItem);
    EXPECT_EQ(t.grr.testers()[0].modules[0].items[0].grrLimit, 0.2);
}

// Mended: a tester that measured one serial number ended the process.
TEST(NkGrr, SingleSerialTesterIsOneModule) {
    nktest::StderrCapture err;
    GrrRun r(vLog({"A,GOLD,1", "A,GOLD,1.02", "A,GOLD,0.98", "B,GOLD,2", "A,SOLO,1.05", "A,SOLO,1.07", "A,SOLO,1.03"}));
    EXPECT_NE(err.take().find("\"group_str.size()>1\""), std::string::npos);
    ASSERT_EQ(r.code, 0);
    const INK_grr_tester& solo = r.grr.testers().at(0);
    ASSERT_EQ(solo.modules.size(), 1u);
    EXPECT_EQ(solo.modules[0].name, "A");
    EXPECT_NEAR(solo.modules[0].items[0].pctErrUpper, 55.0, 1e-9);
    EXPECT_NEAR(solo.modules[0].items[0].pctErrLower, -5.0, 1e-9);
    EXPECT_EQ(solo.result, k_nkGrr_pass);
    EXPECT_EQ(solo.judgedModules, 1);
}

TEST(NkGrr, RefusedInputsLeaveTheObjectAsItWas) {
    GrrRun r(vLog({"A,GOLD,1", "A,GOLD,1.1", "A,ST01,1", "A,ST01,1.1"}));
    ASSERT_EQ(r.code, 0);

    // One tester only: no group.
    CNK_csv single = loadText(r.dir, "one.csv", vLog({"A,ST01,1", "B,ST01,2"}));
    nktest::StderrCapture err;
    EXPECT_EQ(r.grr.load(single, r.config), 0xE000);
    const std::string text = err.take();
    EXPECT_NE(text.find("\"csv_tester.size()>0\""), std::string::npos) << text;
    // Wrong table types, in either place.
    nktest::StderrCapture err2;
    EXPECT_EQ(r.grr.load(r.config, r.config), 0xE000);
    EXPECT_NE(err2.take().find("\"dataCsv.type()==k_nkCsv_type_normal\""), std::string::npos);
    nktest::StderrCapture err3;
    EXPECT_EQ(r.grr.load(r.data, r.data), 0xE000);
    EXPECT_NE(err3.take().find("\"grrConfigCsv.type()==k_nkCsv_type_grr_config\""), std::string::npos);

    ASSERT_EQ(r.grr.testers().size(), 1u);
    EXPECT_EQ(r.grr.testers()[0].name, "ST01");
    EXPECT_EQ(r.grr.goldenTester().name, "GOLD");
    EXPECT_EQ(r.grr.setLogManager(nullptr), kNKErr_invalidPointer);
}

TEST(NkCsv, SumIsAMergedCopy) {
    TempDir dir;
    CNK_csv a = loadText(dir, "a.csv", "SerialNumber,V\nUpper Limit----->,2\nA,1\nB,2\n");
    CNK_csv b = loadText(dir, "b.csv", "SerialNumber,W\nUpper Limit----->,3\nC,5\n");
    CNK_csv cfg = loadText(dir, "cfg.csv", kConfig);
    const CNK_csv sum = a + b;
    EXPECT_EQ(a.getStrRows().size(), 2u);
    EXPECT_EQ(a.getColInfo().size(), 2u);
    EXPECT_EQ(b.getStrRows().size(), 1u);
    ASSERT_EQ(sum.getColInfo().size(), 3u);
    ASSERT_EQ(sum.getStrRows().size(), 3u);
    EXPECT_EQ(sum.getStrRows()[2][0], "C");
    EXPECT_EQ(sum.getValRows()[2][2], 5.0);
    EXPECT_EQ(sum.getValRows()[2][1], kNK_noValue);
    // A configuration adds settings and no rows.
    const CNK_csv withCfg = a + cfg;
    EXPECT_EQ(withCfg.getStrRows().size(), 2u);
    EXPECT_EQ(withCfg.getColInfo()[1].grrLimit, 0.2);
    EXPECT_EQ(a.getColInfo()[1].grrLimit, kNK_noValue);

    CNK_csv copy;
    copy = sum;
    EXPECT_EQ(copy.getStrRows(), sum.getStrRows());
    EXPECT_STREQ(copy.name, "CNK_csv");
}
