// The histogram's data: categories, yield, capability, the bucket grid and the
// statistics table, against numpy and small hand-made logs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "graph_histogram_model.h"
#include "draw/pf_draw.h"
#include "nk_locale_util.h"
#include "number/pf_number.h"
#include "zelk_csv_test_util.h"

using namespace zcsvtest;

namespace {

const double M = kZelk_noValue;

// A log of one item with both limits and both ERS limits, three configs and two testers.
const char* const kSmallLog =
    "CG Test,version=1,\n"
    "SerialNumber,TesterID,config,timeStamp,errCode,Gain\n"
    "Upper Limit----->,,,,,10\n"
    "Lower Limit----->,,,,,NA\n"
    "Unit----->,,,,,dB\n"
    "SN1,CELL_1,cfgA,1,0,8\n"
    "SN2,CELL_1,cfgB,2,0,9\n"
    "SN3,CELL_2,cfgA,3,0,11\n";

// The model over a table's config (or tester) categories, with every category shown.
struct Prepared {
    std::shared_ptr<ZelkCsv> table;
    std::vector<tHist_rgb> colours{{255, 0, 0}, {0, 0, 255}, {0, 200, 0}, {120, 0, 120}};
    std::unique_ptr<bool[]> selection;
    graph_histogramModel model;

    Prepared(std::shared_ptr<ZelkCsv> t, bool testers = false) : table(std::move(t)) {
        const int n = testers ? table->tester_count() : table->config_count();
        selection.reset(new bool[size_t(n)]());
        for (int i = 0; i < n; ++i) selection[size_t(i)] = true;
        model.colorTable = &colours;
        model.setData_columnCount(table->columnItem_count(), table->getColumnItem(), n,
                                  testers ? table->getTesterInfo() : table->getConfigInfo(), selection.get());
    }
    const tCsv_categoryData& rec(int k) const { return model._categoryData[size_t(k)]; }
};

std::string numberedLog(const std::vector<double>& values, const char* upper, const char* lower) {
    std::string t = "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode,X\n";
    t += std::string("Upper Limit----->,,,,,") + upper + "\nLower Limit----->,,,,," + lower + "\n";
    for (size_t i = 0; i < values.size(); ++i) {
        char row[128];
        std::snprintf(row, sizeof row, "SN%zu,CELL_1,cfgA,%zu,0,%.17g\n", i, i, values[i]);
        t += row;
    }
    return t;
}

TEST(HistogramData, YieldCapabilityAndFailedSerialsOfTheSmallLog) {
    nktest::TempDir dir;
    Prepared p(loadText(dir, "log.csv", kSmallLog));
    ASSERT_TRUE(p.table->isValid());
    const int gain = col(*p.table, "Gain");
    // count, failCount, yield, Cpu set, Cpk set: without and with pass-only.
    struct Case {
        bool passOnly;
        int count, failCount;
        double yield;
    } cases[] = {{false, 3, 1, 66.666664123535156}, {true, 2, 1, 66.666664123535156}};
    for (const Case& c : cases) {
        p.model.setColumnToDisplay_columnIndex(gain, false, c.passOnly, 1, 2, 0, true, true);
        const tCsv_categoryData& all = p.rec(0);
        EXPECT_STREQ(all.name, "ALL");
        EXPECT_EQ(all.count, c.count) << c.passOnly;
        EXPECT_EQ(all.failCount, c.failCount);
        EXPECT_NEAR(all.yield, c.yield, 1e-9) << "pass-only divides by the measured count";
        ASSERT_EQ(all.failCount, 1);
        EXPECT_STREQ(all.failSN[0], "SN3");
        EXPECT_NE(p.model._cpu, M);
        EXPECT_EQ(p.model._cpl, M);
        EXPECT_EQ(p.model._cpk, M);
        EXPECT_NEAR(p.model._cpu, (10 - all.avg) / (3 * all.stdev), 1e-12);
        EXPECT_NE(p.model.summaryText().find("- Failed SN -"), std::string::npos);
    }
    // Records 1.. are the configs, record 0 their union.
    p.model.setColumnToDisplay_columnIndex(gain, false, false, 1, 2, 0, true, true);
    ASSERT_EQ(p.model._categoryCount, 3);
    int sum = 0, fails = 0;
    for (int k = 1; k < 3; ++k) sum += p.rec(k).count, fails += p.rec(k).failCount;
    EXPECT_EQ(sum, 3);
    EXPECT_EQ(fails, 1);
    // The item with no limits after one with limits: no capability figure.
    p.model.setColumnToDisplay_columnIndex(col(*p.table, "timeStamp"), false, false, 1, 2, 0, true, true);
    EXPECT_EQ(p.model._cpu, M);
    EXPECT_EQ(p.model._cpk, M);
    EXPECT_EQ(p.rec(0).failCount, 0);
}

// With pass-only, a category whose units all failed keeps no value but was still
// measured: its yield is 0 %, as its failure rate of 100 % says, not "nan".
TEST(HistogramData, PassOnlyCategoryWhoseUnitsAllFailedYieldsZero) {
    nktest::TempDir dir;
    Prepared p(loadText(dir, "log.csv", kSmallLog), true);
    ASSERT_TRUE(p.table->isValid());
    p.model.setColumnToDisplay_columnIndex(col(*p.table, "Gain"), false, true, 1, 2, 0, true, true);
    int cell2 = -1;
    for (int k = 0; k < p.model._categoryCount; ++k)
        if (std::string(p.rec(k).name) == "CELL_2") cell2 = k;
    ASSERT_GT(cell2, 0);
    EXPECT_EQ(p.rec(cell2).count, 0);
    EXPECT_EQ(p.rec(cell2).failCount, 1);
    EXPECT_EQ(p.rec(cell2).yield, 0.0);
    EXPECT_TRUE(std::isnan(p.rec(cell2).avg)) << "no value kept: no figures";
    const std::string summary = p.model.summaryText();
    EXPECT_NE(summary.find("CELL_2\t       0\t     nan\t     nan\t     nan\t     nan\t     nan\t    0.00%"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("CELL_2 - failure rate = 100.00% [1F/1]"), std::string::npos) << summary;
}

// The summary table byte for byte, with a decimal comma in the user's locale too.
TEST(HistogramData, SummaryOfTheSmallLogByteForByte) {
    const std::string expected =
        "[Gain]\n"
        "     \t     cnt\t     min\t     avg\t     max\t    span\t   stdev\t   yield\t\n"
        "  ALL\t       3\t   8.000\t   9.333\t  11.000\t   3.000\t   1.528\t   66.67%\t\n"
        " cfgA\t       2\t   8.000\t   9.500\t  11.000\t   3.000\t   2.121\t   50.00%\t\n"
        " cfgB\t       1\t   9.000\t   9.000\t   9.000\t   0.000\t   0.000\t  100.00%\t\n"
        "\n- Failed SN -\n"
        "\ncfgA - failure rate =  50.00% [1F/2]\n\tSN3, \n";
    for (int german = 0; german < 2; ++german) {
        std::unique_ptr<nktest::GermanNumbers> locale;
        if (german) {
            locale = std::make_unique<nktest::GermanNumbers>();
            if (!locale->active()) GTEST_SKIP() << "no de_DE locale here";
        }
        nktest::TempDir dir;
        Prepared p(loadText(dir, "log.csv", kSmallLog));
        ASSERT_TRUE(p.table->isValid());
        p.model.setColumnToDisplay_columnIndex(col(*p.table, "Gain"), false, false, 1, 2, 0, true, true);
        EXPECT_EQ(p.model.summaryText(), expected) << "german=" << german;
    }
}

// Figures and bucket counts of three categories of random values against numpy.
TEST(HistogramData, FiguresAndBucketsAgainstNumpy) {
    std::mt19937 rng(31);
    std::normal_distribution<double> a(5.0, 0.7), b(5.6, 0.4), c(4.1, 1.3);
    std::string t = "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode,X\n"
                    "Upper Limit----->,,,,,8\nLower Limit----->,,,,,2\nUpper ERS----->,,,,,9.5\n"
                    "Lower ERS----->,,,,,0.5\n";
    const char* cfg[3] = {"cfgA", "cfgB", "cfgC"};
    for (int i = 0; i < 900; ++i) {
        const int k = i % 3;
        const double v = k == 0 ? a(rng) : k == 1 ? b(rng) : c(rng);
        char row[128];
        std::snprintf(row, sizeof row, "SN%d,CELL_%d,%s,%d,0,%.17g\n", i, i % 2, cfg[k], i, v);
        t += row;
    }
    nktest::TempDir dir;
    Prepared p(loadText(dir, "log.csv", t));
    ASSERT_TRUE(p.table->isValid());
    ASSERT_EQ(p.table->config_count(), 4);
    for (int bps : {1, 3, 10}) {
        p.model.setColumnToDisplay_columnIndex(col(*p.table, "X"), false, false, 2, bps, 3, true, true);
        const graph_histogramModel& m = p.model;
        ASSERT_GT(m._bucketCount, 0u);
        // The grid: half a bucket either side of avg, reaching 6 stdev and the ERS limits.
        const double w = m._bucketWidth;
        EXPECT_NEAR(w, p.rec(0).stdev / bps, 1e-12);
        const double k = (p.rec(0).avg - w / 2 - m._boundLow) / w;
        EXPECT_NEAR(k, std::round(k), 1e-6);
        EXPECT_LE(m._boundLow, std::min(p.rec(0).min, p.rec(0).avg - 6 * p.rec(0).stdev));
        EXPECT_LE(m._boundLow, 0.5);
        EXPECT_GE(m._boundHigh, 9.5);

        std::string in = pf::number::text("%.17g %.17g %u\n", m._boundLow, w, m._bucketCount);
        for (int r = 0; r < 4; ++r) {
            for (int i = 0; i < p.rec(r).count; ++i) in += pf::number::text("%.17g ", p.rec(r).values[i]);
            in += "\n";
        }
        nktest::writeFile(dir.file("in.txt"), in);
        int status = -1;
        const auto lines = nktest::splitLines(nktest::runCommand(
            std::string(NK_PYTHON) + " " + NK_TEST_DATA_DIR + "/histogram_oracle.py " + dir.file("in.txt"), &status));
        ASSERT_EQ(status, 0);
        ASSERT_EQ(lines.size(), 8u);
        for (int r = 0; r < 4; ++r) {
            std::istringstream figures(lines[size_t(2 * r)]);
            int count;
            double mn, mx, mean, sd;
            figures >> count >> mn >> mx >> mean >> sd;
            const tCsv_categoryData& rec = p.rec(r);
            EXPECT_EQ(rec.count, count) << r;
            EXPECT_EQ(rec.min, mn);
            EXPECT_EQ(rec.max, mx);
            EXPECT_NEAR(rec.avg, mean, 1e-12);
            EXPECT_NEAR(rec.stdev, sd, 1e-12);
            std::istringstream counts(lines[size_t(2 * r + 1)]);
            const uint32_t* row = m.bucketRow(r);
            for (unsigned j = 0; j < m._bucketCount; ++j) {
                unsigned expected = 0;
                counts >> expected;
                ASSERT_EQ(row[j], expected) << "bps " << bps << " category " << r << " bucket " << j;
            }
        }
    }
}

// The grid's edge cases, one row each.
TEST(HistogramData, BucketGridEdgeCases) {
    struct Case {
        const char* name;
        std::vector<double> values;
        const char* upper;
        const char* lower;
        bool external;
        bool grid;
    } cases[] = {
        {"stdev 0: width 1/bps, six below and above", {4, 4, 4}, "NA", "NA", false, true},
        {"placeholder limit 999999 with stdev 0.001: capped", {1.000, 1.001, 1.002}, "999999", "NA", false, true},
        {"no value at all: a NaN average, no grid", {std::nan(""), std::nan("")}, "NA", "NA", false, false},
        {"external bounds: values outside fall in no bucket", {0.5, 1, 2, 3, 4}, "NA", "NA", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        nktest::TempDir dir;
        Prepared p(loadText(dir, "log.csv", numberedLog(c.values, c.upper, c.lower)));
        ASSERT_TRUE(p.table->isValid());
        if (c.external) p.model.setExternalBounds_boundHigh(3, 1, 0.5);
        p.model.setColumnToDisplay_columnIndex(col(*p.table, "X"), false, false, 1, 4, 2, true, true);
        const graph_histogramModel& m = p.model;
        EXPECT_EQ(m._bucketCount > 0, c.grid);
        if (!c.grid) continue;
        EXPECT_LE(m._bucketCount, graph_histogramModel::kMaxBuckets);
        unsigned total = 0;
        for (unsigned j = 0; j < m._bucketCount; ++j) total += m.bucketRow(0)[j];
        if (std::string(c.name).rfind("stdev 0", 0) == 0) {
            EXPECT_DOUBLE_EQ(m._bucketWidth, 0.25);
            EXPECT_LE(m._boundLow, 4 - 6.0);
            EXPECT_GE(m._boundHigh, 4 + 6.0);
            EXPECT_NEAR(std::fmod(4 - 0.125 - m._boundLow, 0.25), 0, 1e-9);
            EXPECT_EQ(total, 3u);
        } else if (c.external) {
            EXPECT_EQ(m._boundLow, 1);
            EXPECT_EQ(m._boundHigh, 3);
            EXPECT_EQ(total, 2u) << "1 and 2 only: 0.5 is below, 3 and 4 at or above the high bound";
        } else {
            EXPECT_EQ(m._bucketCount, graph_histogramModel::kMaxBuckets);
            EXPECT_GE(m._boundHigh, 999999.0);
            EXPECT_EQ(total, 3u);
        }
    }
}

TEST(HistogramData, InvalidParametersKeepTheDataAndTitlesAreCut) {
    nktest::TempDir dir;
    Prepared p(loadText(dir, "log.csv", kSmallLog));
    const tCsv_columnItemInfo* before = p.model._raw_columnInfo;
    p.model.setData_columnCount(0, nullptr, 3, nullptr, nullptr);
    EXPECT_EQ(p.model._raw_columnInfo, before);
    // An item index past the columns prepares nothing.
    p.model.setColumnToDisplay_columnIndex(99, false, false, 1, 2, 0, true, true);
    EXPECT_FALSE(p.model.hasData());

    p.model.setExternalTitle("input1.csv");
    EXPECT_EQ(p.model._externalTitle, "input1");
    p.model.setExternalTitle(std::string(70, 'x').c_str());
    EXPECT_EQ(p.model._externalTitle, std::string(63, 'x'));
}

TEST(HistogramData, TickStepsEndForEveryWindow) {
    struct Case {
        double low, high, step;
    } cases[] = {{0, 10, 5}, {0, 1, 0.5}, {-3, 3, 2}, {0.001, 0.002, 0.0005}, {0, 0, 1}, {100, 1000, 200}};
    for (const Case& c : cases) {
        int count = -1;
        EXPECT_NEAR(graph_histogram_tickStep(c.low, c.high, &count), c.step, c.step * 1e-9) << c.low << " " << c.high;
        EXPECT_GE(count, 0);
    }
}

}  // namespace

namespace {

// Drawing ends on any size: a plot with no room shrinks its fonts to 1 point and stops.
TEST(HistogramData, DrawingEndsForPlotsWithoutRoom) {
    nktest::TempDir dir;
    Prepared p(loadText(dir, "log.csv", kSmallLog));
    p.model.setColumnToDisplay_columnIndex(col(*p.table, "Gain"), false, false, 1, 2, 2, true, true);
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {40, 30}, {120, 90}, {640, 480}}) {
        pf::draw::Context ctx(w, h);
        tHist_viewState view;
        view.normalCurve = true;
        view.mouseX = w / 2.0, view.mouseY = h / 2.0;
        p.model.render(ctx, view);
        EXPECT_EQ(ctx.pixel(0, 0), 0xffffffffu) << w;
    }
}

}  // namespace
