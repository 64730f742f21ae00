// The GR&R model: every figure of a seeded log against the Python second
// reader, the worked case by hand, and the edge cases as one table.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "ZelkGrr.h"
#include "grr_test_util.h"
#include "zelk_csv_test_util.h"

using namespace zcsvtest;
using grrtest::sameFigure;

namespace {

constexpr double NV = kZelk_noValue;
const double kInf = std::numeric_limits<double>::infinity();

struct Analysed {
    std::shared_ptr<ZelkCsv> criteria, log;
    ZelkGrr grr;
};

// The page's order: the criteria table first (when there is one), then the log.
void analyse(Analysed& a, const nktest::TempDir& dir, const std::string& log, const std::string& criteria) {
    if (!criteria.empty()) {
        a.criteria = loadText(dir, "criteria.csv", criteria);
        ASSERT_TRUE(a.criteria->isValid());
        ASSERT_EQ(a.criteria->csvType(), 1);
        a.grr.setCsv(a.criteria);
    }
    a.log = loadText(dir, "log.csv", log);
    ASSERT_TRUE(a.log->isValid());
    a.grr.setCsv(a.log);
}

grr_tester* testerNamed(ZelkGrr& g, const std::string& name) {
    for (unsigned k = 0; k < g.tester_count(); ++k) {
        grr_tester* t = k == 0 ? g.getAllTester() : g.testerAt(k - 1);
        if (t && name == t->tester_name()) return t;
    }
    return nullptr;
}

grr_sample* sampleNamed(grr_tester* t, const std::string& serial) {
    for (unsigned i = 0; t && i < t->sample_count(); ++i)
        if (serial == t->sampleAt(i)->serial_number()) return t->sampleAt(i);
    return nullptr;
}

void compareWithOracle(bool pseudo) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    grrtest::runOracle("gen 7 " + dir.path().string() + (pseudo ? " pseudo" : ""));
    const std::string logPath = dir.file("grr_log.csv"), critPath = dir.file("grr_criteria.csv");
    auto criteria = ZelkCsv::initWithCsvFile_filePathName(critPath.c_str(), false);
    auto log = ZelkCsv::initWithCsvFile_filePathName(logPath.c_str(), false);
    ASSERT_TRUE(criteria->isValid() && log->isValid());
    ZelkGrr g;
    g.setCsv(criteria);
    g.setCsv(log);
    ASSERT_TRUE(g.isValid());

    size_t testers = 0, samples = 0;
    for (const grrtest::Record& r : grrtest::runOracle("model " + logPath + " " + critPath)) {
        const auto& f = r.f;
        SCOPED_TRACE(r.tag + " " + (f.empty() ? "" : f[0]) + " " + (f.size() > 1 ? f[1] : ""));
        if (r.tag == "G") {
            EXPECT_STREQ(g.getGoldenTester()->tester_name(), f[0].c_str());
        } else if (r.tag == "E") {
            EXPECT_EQ(g.isGrrEnabled(), f[0] == "1");
        } else if (r.tag == "T") {
            grr_tester* t = testerNamed(g, f[0]);
            ASSERT_NE(t, nullptr);
            ++testers;
            EXPECT_EQ(t->tester_type(), std::stoi(f[1]));
            EXPECT_EQ(t->golden_sample_count(), std::stoul(f[2]));
            EXPECT_EQ(t->grr_result(), std::stoi(f[3]));
            EXPECT_TRUE(sameFigure("grr_pct_err_max", t->grr_pct_err_max(), f[4], NV));
            EXPECT_TRUE(sameFigure("grr_pct_err_min", t->grr_pct_err_min(), f[5], NV));
        } else if (r.tag == "C") {
            grr_tester* t = testerNamed(g, f[0]);
            ASSERT_NE(t, nullptr);
            const unsigned c = static_cast<unsigned>(std::stoul(f[1]));
            ASSERT_LT(c, t->col_count());
            EXPECT_TRUE(sameFigure("pGrrPctErrMax", t->pGrrPctErrMax()[c], f[2], NV));
            EXPECT_TRUE(sameFigure("pGrrPctErrMin", t->pGrrPctErrMin()[c], f[3], NV));
            EXPECT_TRUE(sameFigure("pGroupAverage", t->pGroupAverage()[c], f[4], NV));
            EXPECT_TRUE(sameFigure("pGroupAverage_golden", t->pGroupAverage_golden()[c], f[5], NV));
            EXPECT_EQ(t->pGrrResult()[c], std::stoi(f[6]));
        } else if (r.tag == "S") {
            grr_sample* s = sampleNamed(testerNamed(g, f[0]), f[1]);
            ASSERT_NE(s, nullptr);
            ++samples;
            EXPECT_EQ(s->isGoldenSample(), f[2] == "1");
            EXPECT_EQ(s->grr_result(), std::stoi(f[3]));
            EXPECT_EQ(s->test_count(), std::stoul(f[4]));
        } else if (r.tag == "D") {
            grr_sample* s = sampleNamed(testerNamed(g, f[0]), f[1]);
            ASSERT_NE(s, nullptr);
            const grr_data* d = s->dataAt(static_cast<unsigned>(std::stoul(f[2])));
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(d->isGrrParam, f[3] == "1");
            const double got[] = {d->avg,       d->std,          d->max,          d->min,
                                  d->avg_golden, d->grr_stdev,   d->grr_limit,    d->grr_limit_upper,
                                  d->grr_limit_lower, d->bound_upper, d->bound_lower, d->grr_pct_err_upper,
                                  d->grr_pct_err_lower};
            const char* names[] = {"avg",       "std",         "max",         "min",
                                   "avg_golden", "grr_stdev",  "grr_limit",   "grr_limit_upper",
                                   "grr_limit_lower", "bound_upper", "bound_lower", "grr_pct_err_upper",
                                   "grr_pct_err_lower"};
            for (size_t i = 0; i < std::size(got); ++i) EXPECT_TRUE(sameFigure(names[i], got[i], f[4 + i], NV));
            EXPECT_EQ(d->grr_result, std::stoi(f[17]));
            EXPECT_EQ(std::string(d->unit && *d->unit ? d->unit : "-"), f[18]);
        }
    }
    EXPECT_EQ(testers, g.tester_count());
    size_t modelSamples = 0;
    for (unsigned k = 0; k < g.tester_count(); ++k)
        modelSamples += (k == 0 ? g.getAllTester() : g.testerAt(k - 1))->sample_count();
    EXPECT_EQ(samples, modelSamples);
    EXPECT_GT(samples, 20u);
}

}  // namespace

TEST(ZelkGrr, EveryFigureOfAGoldenTesterLogAgainstTheOracle) { compareWithOracle(false); }

TEST(ZelkGrr, EveryFigureOfAPseudoGoldenLogAgainstTheOracle) { compareWithOracle(true); }

// Golden SN1 {1.00, 1.02, 0.98}, T1 SN1 {1.05, 1.07, 1.03}, GR&R stdev 3 and limit 0.2.
TEST(ZelkGrr, WorkedCase) {
    nktest::TempDir dir;
    Analysed a;
    analyse(a, dir,
            "SerialNumber,TesterID,V\nUpper Limit----->,,2\nLower Limit----->,,0\n"
            "SN1,GOLD,1.00\nSN1,GOLD,1.02\nSN1,GOLD,0.98\nSN1,T1,1.05\nSN1,T1,1.07\nSN1,T1,1.03\n",
            "GrrConfig,V\nGRR Stdev----->,3\nGRR Limit----->,0.2\nUnit----->,mV\n");
    ZelkGrr& g = a.grr;
    ASSERT_TRUE(g.isValid());
    EXPECT_TRUE(g.isGrrEnabled());
    EXPECT_EQ(g.column_count(), 3u);
    EXPECT_STREQ(g.columnAt(2)->title, "V");
    EXPECT_EQ(g.columnAt(2)->limit_upper, 2.0);
    EXPECT_EQ(g.columnAt(3), nullptr);
    ASSERT_EQ(g.getTesterCount(), 2u);
    EXPECT_EQ(g.testerAt(2), nullptr);
    EXPECT_STREQ(g.getAllTester()->tester_name(), "ALL");
    EXPECT_EQ(g.getAllTester()->tester_type(), kTesterType_psuedo_golden);
    grr_tester* gold = g.getGoldenTester();
    ASSERT_EQ(gold, g.testerAt(0));
    EXPECT_STREQ(kTesterTypeStr[gold->tester_type()], "golden");
    grr_tester* t1 = g.testerAt(1);
    EXPECT_STREQ(kTesterTypeStr[t1->tester_type()], "target");
    EXPECT_EQ(t1->getAllSample()->test_count(), 3u);
    EXPECT_STREQ(t1->getAllSample()->serial_number(), "ALL");

    const grr_data* d = t1->sampleAt(0)->dataAt(2);
    EXPECT_NEAR(d->avg, 1.05, 1e-12);
    EXPECT_NEAR(d->std, 0.02, 1e-12);
    EXPECT_NEAR(d->bound_upper, 1.11, 1e-12);
    EXPECT_NEAR(d->grr_limit_upper, 1.2, 1e-12);
    EXPECT_NEAR(d->grr_pct_err_upper, 55.0, 1e-9);
    EXPECT_NEAR(d->grr_pct_err_lower, -5.0, 1e-9);
    EXPECT_STREQ(d->unit, "mV");
    EXPECT_EQ(d->grr_result, kGrrResult_unknown);  // within the limits: never set to pass
    EXPECT_STREQ(kGrrResultStr[t1->grr_result()], "pass");
    EXPECT_EQ(t1->sampleAt(0)->grr_result(), kGrrResult_pass);
    EXPECT_NEAR(t1->pGroupAverage()[2], 1.05, 1e-12);
    EXPECT_NEAR(t1->pGroupAverage_golden()[2], 1.00, 1e-12);
    // The golden tester against itself: its own spread against the limit.
    EXPECT_NEAR(gold->pGrrPctErrMax()[2], 30.0, 1e-9);
    EXPECT_NEAR(gold->pGrrPctErrMin()[2], -30.0, 1e-9);
}

namespace {

struct EdgeCase {
    const char* name;
    const char* log;
    const char* criteria;  // "" for none
    std::function<void(ZelkGrr&, const std::vector<Alert>&)> check;
};

const char* kLimitLog =
    "SerialNumber,TesterID,V\nUpper Limit----->,,2\nLower Limit----->,,1\n"
    "SN1,GOLD,1.5\nSN1,GOLD,1.5\nSN1,T1,1.5\nSN1,T1,1.5\n";

void expectAlert(const std::vector<Alert>& alerts, const char* message) {
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, "GRR CSV INPUT ERROR");
    EXPECT_EQ(alerts[0].message, message);
    EXPECT_EQ(alerts[0].button, "OK");
}

const EdgeCase kEdgeCases[] = {
    {"OnlyTheAllCategory", "SerialNumber,V\nUpper Limit----->,2\nSN1,1\nSN2,2\n", "",
     [](ZelkGrr& g, const std::vector<Alert>& a) {
         expectAlert(a, "No Tester Info Available");
         EXPECT_FALSE(g.isValid());
         EXPECT_EQ(g.getTesterCount(), 0u);
         EXPECT_EQ(g.getTester(), nullptr);
     }},
    {"TwoGoldenTesters", "SerialNumber,TesterID,V\nUpper Limit----->,,2\nSN1,GOLD_1,1\nSN1,golden2,1\nSN1,T1,1\n", "",
     [](ZelkGrr& g, const std::vector<Alert>& a) {
         expectAlert(a, "Multiple Golden Tester\nPlease correct the input csv files and try again\n");
         EXPECT_FALSE(g.isValid());
         // What was built stays readable: columns, testers, the first golden tester.
         EXPECT_EQ(g.column_count(), 3u);
         ASSERT_NE(g.getGoldenTester(), nullptr);
         EXPECT_STREQ(g.getGoldenTester()->tester_name(), "GOLD_1");
         EXPECT_FALSE(g.testerAt(2)->sampleAt(0)->isGoldenSample());
     }},
    {"GoldAloneAndAHallTester",
     "SerialNumber,TesterID,V\nUpper Limit----->,,2\nSN1,Gold-A,1\nSN1,HALL-3,1.1\nSN1,T1,1\n", "",
     [](ZelkGrr& g, const std::vector<Alert>& a) {
         EXPECT_TRUE(a.empty());
         EXPECT_TRUE(g.isValid());
         EXPECT_STREQ(g.getGoldenTester()->tester_name(), "Gold-A");
         EXPECT_EQ(g.testerAt(1)->tester_type(), kTesterType_psuedo_golden);
         EXPECT_STREQ(g.testerAt(1)->tester_name(), "HALL-3");
     }},
    {"NoCriteriaEvaluatesLimitedItemsOnly",
     "SerialNumber,TesterID,V,W,X\nUpper Limit----->,,2,5,3\nLower Limit----->,,1,5,NA\n"
     "SN1,GOLD,1.5,5,1\nSN1,GOLD,1.6,5,1\nSN1,T1,1.55,5,1\nSN1,T1,1.6,5,1\n",
     "",
     [](ZelkGrr& g, const std::vector<Alert>&) {
         EXPECT_FALSE(g.isGrrEnabled());
         grr_tester* t1 = g.testerAt(1);
         const grr_data* v = t1->sampleAt(0)->dataAt(2);
         EXPECT_FALSE(v->isGrrParam);
         EXPECT_EQ(v->grr_stdev, 3.0);
         EXPECT_EQ(v->grr_limit, 1.0 * 0.20000000298023224);
         EXPECT_EQ(v->grr_limit, double(0.2f));
         EXPECT_STREQ(v->unit, "");
         EXPECT_NE(v->grr_pct_err_upper, NV);
         // Equal limits, and a missing one: the column is skipped.
         EXPECT_EQ(t1->sampleAt(0)->dataAt(3)->grr_limit, NV);
         EXPECT_EQ(t1->sampleAt(0)->dataAt(4)->grr_pct_err_upper, NV);
         EXPECT_EQ(t1->grr_result(), kGrrResult_unknown);
         EXPECT_EQ(t1->pGroupAverage()[2], NV);  // no GR&R item: nothing averaged
     }},
    {"CriteriaTitleInAnyCaseAndEmptyStdev", "SerialNumber,TesterID,VBAT\nUnit----->,NA,NA\nSN1,GOLD,1\nSN1,GOLD,1.1\nSN1,T1,1.05\nSN1,T1,1\n",
     "GrrConfig,vbat,Z\nGRR Stdev----->,,3\nGRR Limit----->,0.5,1\n",
     [](ZelkGrr& g, const std::vector<Alert>&) {
         EXPECT_TRUE(g.isGrrEnabled());
         const grr_data* d = g.testerAt(1)->sampleAt(0)->dataAt(2);
         EXPECT_TRUE(d->isGrrParam);
         EXPECT_EQ(d->grr_stdev, 3.0);
         EXPECT_EQ(d->grr_limit, 0.5);
         EXPECT_EQ(g.testerAt(1)->grr_result(), kGrrResult_pass);
     }},
    {"LimitZeroMakesAnyDeviationInfinite", "SerialNumber,TesterID,V\nUnit----->,NA,NA\nSN1,GOLD,1\nSN1,GOLD,1\nSN1,T1,1.1\nSN1,T1,1.1\n",
     "GrrConfig,V\nGRR Stdev----->,3\nGRR Limit----->,0\n",
     [](ZelkGrr& g, const std::vector<Alert>&) {
         grr_tester* t1 = g.testerAt(1);
         EXPECT_EQ(t1->sampleAt(0)->dataAt(2)->grr_pct_err_upper, kInf);
         EXPECT_EQ(t1->sampleAt(0)->dataAt(2)->grr_pct_err_lower, kInf);  // whatever its sign
         EXPECT_EQ(t1->pGrrResult()[2], kGrrResult_fail);
         EXPECT_EQ(t1->grr_result(), kGrrResult_fail);
         // The golden tester has no deviation from itself: 0, not divided.
         EXPECT_EQ(g.getGoldenTester()->pGrrPctErrMax()[2], 0.0);
     }},
    {"SerialNumbersMatchInAnyCase", "SerialNumber,TesterID,V\nUnit----->,NA,NA\nSN01,GOLD,1\nSN01,GOLD,1.1\nsn01,T1,1\nsn01,T1,1.1\n",
     "GrrConfig,V\nGRR Stdev----->,3\nGRR Limit----->,1\n",
     [](ZelkGrr& g, const std::vector<Alert>&) {
         EXPECT_TRUE(g.testerAt(1)->sampleAt(0)->isGoldenSample());
         EXPECT_EQ(g.testerAt(1)->golden_sample_count(), 1u);
     }},
    {"ExactlyOneHundredPasses",
     "SerialNumber,TesterID,V\nUnit----->,NA,NA\nSN1,GOLD,1\nSN1,GOLD,1\nSN1,T1,1.5\nSN1,T1,1.5\nSN1,T2,1.5000005\nSN1,T2,1.5000005\n",
     "GrrConfig,V\nGRR Stdev----->,3\nGRR Limit----->,0.5\n",
     [](ZelkGrr& g, const std::vector<Alert>&) {
         EXPECT_EQ(g.testerAt(1)->pGrrPctErrMax()[2], 100.0);
         EXPECT_EQ(g.testerAt(1)->pGrrResult()[2], kGrrResult_pass);
         EXPECT_NEAR(g.testerAt(2)->pGrrPctErrMax()[2], 100.0001, 1e-6);
         EXPECT_EQ(g.testerAt(2)->pGrrResult()[2], kGrrResult_fail);
         EXPECT_EQ(g.testerAt(2)->grr_result(), kGrrResult_fail);
     }},
    // Mended: a column with no mean used to pass its sample and tester on no data.
    {"AllNASampleSetsNoPass", "SerialNumber,TesterID,V\nUnit----->,NA,NA\nSN1,GOLD,1\nSN1,GOLD,1.1\nSN1,T1,NA\nSN1,T1,NA\n",
     "GrrConfig,V\nGRR Stdev----->,3\nGRR Limit----->,0.5\n",
     [](ZelkGrr& g, const std::vector<Alert>&) {
         grr_tester* t1 = g.testerAt(1);
         const grr_data* d = t1->sampleAt(0)->dataAt(2);
         EXPECT_TRUE(std::isnan(d->avg));
         EXPECT_TRUE(std::isnan(d->grr_pct_err_upper));
         EXPECT_TRUE(std::isnan(d->grr_pct_err_lower));
         EXPECT_EQ(d->grr_result, kGrrResult_unknown);
         EXPECT_EQ(t1->sampleAt(0)->grr_result(), kGrrResult_unknown);
         EXPECT_EQ(t1->grr_result(), kGrrResult_unknown);
         EXPECT_EQ(t1->pGrrResult()[2], kGrrResult_unknown);
         EXPECT_EQ(t1->pGrrPctErrMax()[2], NV);
         EXPECT_EQ(t1->grr_pct_err_min(), NV);
         EXPECT_EQ(t1->pGroupAverage()[2], NV);
     }},
    // Mended: an empty limit used to be divided by the no-value marker.
    {"EmptyGrrLimit", "SerialNumber,TesterID,V,W\nUnit----->,NA,NA,NA\nSN1,GOLD,1,1\nSN1,GOLD,1.1,1\nSN1,T1,1.2,1\nSN1,T1,1.3,1\n",
     "GrrConfig,V,W\nGRR Stdev----->,3,3\nGRR Limit----->,,0.5\n",
     [](ZelkGrr& g, const std::vector<Alert>&) {
         grr_tester* t1 = g.testerAt(1);
         const grr_data* d = t1->sampleAt(0)->dataAt(2);
         EXPECT_TRUE(d->isGrrParam);
         EXPECT_EQ(d->grr_limit, NV);
         EXPECT_EQ(d->grr_limit_upper, NV);
         EXPECT_EQ(d->grr_pct_err_upper, NV);
         EXPECT_EQ(d->grr_pct_err_lower, NV);
         EXPECT_NEAR(d->bound_upper, 1.25 + 3 * std::sqrt(0.005), 1e-12);
         EXPECT_EQ(t1->pGrrResult()[2], kGrrResult_unknown);
         EXPECT_EQ(t1->pGrrPctErrMax()[2], NV);
         EXPECT_NEAR(t1->pGroupAverage()[2], 1.25, 1e-12);
         // The other item, with its limit, still decides.
         EXPECT_EQ(t1->pGrrResult()[3], kGrrResult_pass);
         EXPECT_EQ(t1->grr_pct_err_max(), 0.0);
     }},
    // Mended: a tester without golden samples used to divide by 0.
    {"TesterWithoutGoldenSamples", "SerialNumber,TesterID,V\nUnit----->,NA,NA\nSN1,GOLD,1\nSN1,GOLD,1.1\nXX1,T1,1\nXX1,T1,1.1\n",
     "GrrConfig,V\nGRR Stdev----->,3\nGRR Limit----->,0.5\n",
     [](ZelkGrr& g, const std::vector<Alert>&) {
         grr_tester* t1 = g.testerAt(1);
         EXPECT_EQ(t1->golden_sample_count(), 0u);
         EXPECT_FALSE(t1->sampleAt(0)->isGoldenSample());
         EXPECT_EQ(t1->pGroupAverage()[2], NV);
         EXPECT_EQ(t1->pGroupAverage_golden()[2], NV);
         EXPECT_EQ(t1->grr_result(), kGrrResult_unknown);
     }},
};

void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.name; }

class ZelkGrrEdge : public ::testing::TestWithParam<EdgeCase> {};

}  // namespace

TEST_P(ZelkGrrEdge, Case) {
    const EdgeCase& c = GetParam();
    nktest::TempDir dir;
    AlertCatcher alerts;
    Analysed a;
    analyse(a, dir, c.log, c.criteria);
    c.check(a.grr, alerts.alerts);
}

INSTANTIATE_TEST_SUITE_P(Table, ZelkGrrEdge, ::testing::ValuesIn(kEdgeCases),
                         [](const ::testing::TestParamInfo<EdgeCase>& i) { return std::string(i.param.name); });

TEST(ZelkGrr, NullTableAndRefusedManager) {
    AlertCatcher alerts;
    ZelkGrr g;
    g.setCsv(nullptr);
    expectAlert(alerts.alerts, "NULL CSV");
    EXPECT_FALSE(g.isValid());
    EXPECT_EQ(g.getAllTester(), nullptr);
    EXPECT_EQ(g.getColumn(), nullptr);
    EXPECT_EQ(ZelkGrr::initWithCsv(nullptr), nullptr);

    nktest::TempDir dir;
    auto log = loadText(dir, "log.csv", kLimitLog);
    auto grr = ZelkGrr::initWithCsv(log);
    ASSERT_NE(grr, nullptr);
    EXPECT_EQ(grr->csv(), log);
    EXPECT_EQ(grr->csvGrrConfig(), nullptr);
}

// The manager holds the measurement table: the table may go once it is handed over.
TEST(ZelkGrr, KeepsTheMeasurementTableAlive) {
    nktest::TempDir dir;
    ZelkGrr g;
    {
        auto log = loadText(dir, "log.csv", kLimitLog);
        g.setCsv(log);
    }
    ASSERT_TRUE(g.isValid());
    EXPECT_STREQ(g.testerAt(1)->sampleAt(0)->serial_number(), "SN1");
    EXPECT_NEAR(g.testerAt(1)->sampleAt(0)->dataAt(2)->avg, 1.5, 1e-12);

    // Also when the analysis stops at an input error: what was built from the
    // new table stays readable after the caller lets the table go.
    AlertCatcher alerts;
    {
        auto two = loadText(dir, "two.csv",
                            "SerialNumber,TesterID,V\nUnit----->,NA,NA\nSN7,GOLD_1,1\nSN7,golden2,1\nSN7,T1,1\n");
        g.setCsv(two);
    }
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_FALSE(g.isValid());
    EXPECT_STREQ(g.getGoldenTester()->tester_name(), "GOLD_1");
    EXPECT_STREQ(g.testerAt(2)->sampleAt(0)->serial_number(), "SN7");
}
