// The correlation's data: common items and serial numbers, the correlation
// files, pairing by serial number, the 4-sigma filter and the fit against
// scipy, bounds, the summary byte for byte, and the drawing's zones and colours.
#include <gtest/gtest.h>

#include <QImage>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "correlation_files.h"
#include "draw/pf_draw.h"
#include "graph_correlation_model.h"
#include "nk_locale_util.h"
#include "number/pf_number.h"
#include "zelk_csv_test_util.h"

using namespace zcsvtest;

namespace {

const double M = kZelk_noValue;

// Two inputs written, loaded, correlated into two files and loaded back, and
// the model set on the loaded correlation tables, as the page does it.
struct Correlated {
    nktest::TempDir dir;
    std::shared_ptr<ZelkCsv> input[2], corr[2];
    tCorr_common common;
    std::string text[2];
    graph_correlationModel model;

    Correlated(const std::string& log0, const std::string& log1) {
        input[0] = loadText(dir, "x.csv", log0);
        input[1] = loadText(dir, "y.csv", log1);
        if (!input[0] || !input[1] || !input[0]->isValid() || !input[1]->isValid()) return;
        common = correlation_common(*input[0], *input[1]);
        for (int g = 0; g < 2; ++g) {
            text[g] = correlation_fileText(*input[0], *input[1], common, g);
            corr[g] = loadText(dir, pf::number::text("_CSV_FILE_CORREL_%d.csv", g), text[g]);
        }
        model.setFileName("x.csv", 0, 2);
        model.setFileName("y.csv", 1, 2);
        if (corr[0] && corr[1] && corr[0]->isValid() && corr[1]->isValid())
            model.setData_columnCount(std::min(corr[0]->columnItem_count(), corr[1]->columnItem_count()),
                                      corr[0]->getColumnItem(), corr[1]->getColumnItem(), corr[0]->getConfigInfo(),
                                      corr[1]->getConfigInfo());
    }
    int column(const char* title) const { return col(*corr[0], title); }
    void show(const char* title, int sigma = 6, bool limits = true) {
        model.setColumnToDisplay_columnIndex(column(title), 2, sigma, limits, true);
    }
};

// A log with the given serial numbers and values of A (limits 0..10) and B (no limits).
std::string logAB(const std::vector<std::string>& sn, const std::vector<std::string>& a, const std::vector<std::string>& b,
                 const char* header = "SerialNumber,TesterID,config,timeStamp,errCode,A,B") {
    std::string t = std::string("CG Test,version=1,\n") + header + "\nUpper Limit----->,,,,,10,\nLower Limit----->,,,,,0,\n";
    for (size_t i = 0; i < sn.size(); ++i)
        t += sn[i] + ",CELL_1,EVT," + std::to_string(1000 + i) + ",0," + a[i] + "," + b[i] + "\n";
    return t;
}

TEST(CorrelationData, CommonItemsAndSerialsIgnoreCaseAndKeepInputZeroOrder) {
    // Input 1 has its columns in another order, a title in other case, an item
    // that is text only (not parametric), and serial numbers in upper case.
    const std::string x = logAB({"sn01", "sn02", "sn03", "sn04"}, {"1", "2", "3", "4"}, {"5", "6", "7", "8"},
                               "SerialNumber,TesterID,config,timeStamp,errCode,Gain,Label");
    std::string y = "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode,LABEL,gain\n"
                    "Upper Limit----->,,,,,,12\nLower Limit----->,,,,,,1\n"
                    "SN04,CELL_1,EVT,1,0,x,40\nSN02,CELL_1,EVT,2,0,y,20\nSN09,CELL_1,EVT,3,0,z,90\n"
                    "SN01,CELL_1,EVT,4,0,w,NA\n";
    Correlated c(x, y);
    ASSERT_TRUE(c.input[0]->isValid() && c.input[1]->isValid());
    ASSERT_EQ(c.common.column[0].size(), 1u) << "Label is text in input 1";
    EXPECT_EQ(c.common.row[0], (std::vector<size_t>{0, 1, 3}));
    // File 0 in input 0's spelling, file 1 in input 1's; limits of each input.
    EXPECT_EQ(c.text[0], "SerialNumber,Gain,\nUpper Limit----->,10,\nLower Limit----->,0,\n"
                         "sn01,1,\nsn02,2,\nsn04,4,\n");
    EXPECT_EQ(c.text[1], "SerialNumber,Gain,\nUpper Limit----->,12,\nLower Limit----->,1,\n"
                         "SN01,NA,\nSN02,20,\nSN04,40,\n");
    // Both read back as station logs with the same rows; the missing value pairs nothing.
    ASSERT_TRUE(c.corr[0]->isValid() && c.corr[1]->isValid());
    EXPECT_EQ(c.corr[1]->getColumnItem()[c.column("Gain")].limit_upper, 12);
    c.show("Gain");
    EXPECT_EQ(c.model.data().count, 2);
    EXPECT_EQ(c.model.data().data[1], (std::vector<double>{20, 40}));
}

// Input 0 holds sn01 and SN01, input 1 only SN01: file 1 gets two SN01 rows of
// which its final view keeps one; both rows of input 0 pair with it, and no
// read goes past input 1's rows (ASan watches).
TEST(CorrelationData, ASerialInTwoSpellingsPairsWithTheOneRowOfTheOtherInput) {
    Correlated c(logAB({"sn01", "SN01", "SN02"}, {"1", "2", "3"}, {"0", "0", "0"}),
                 logAB({"SN02", "SN01"}, {"30", "10"}, {"0", "0"}));
    ASSERT_TRUE(c.corr[1]->isValid());
    EXPECT_EQ(c.text[1], "SerialNumber,A,B,\nUpper Limit----->,10,,\nLower Limit----->,0,,\n"
                         "SN01,10,0,\nSN01,10,0,\nSN02,30,0,\n");
    EXPECT_EQ(c.corr[0]->getConfigInfo()[0].data_count_final, 3u);
    EXPECT_EQ(c.corr[1]->getConfigInfo()[0].data_count_final, 2u);
    c.show("A");
    const tCsv_correlationData& d = c.model.data();
    ASSERT_EQ(d.count, 3);
    EXPECT_EQ(std::string(d.sn[0]), "sn01");
    EXPECT_EQ(std::string(d.sn[1]), "SN01");
    EXPECT_EQ(d.data[1], (std::vector<double>{10, 10, 30}));
}

// The rows are paired once per pair of tables: new tables pair anew.
TEST(CorrelationData, NewTablesArePairedAnew) {
    Correlated a(logAB({"S1", "S2", "S3"}, {"1", "2", "3"}, {"0", "0", "0"}),
                 logAB({"S1", "S2", "S3"}, {"4", "5", "6"}, {"0", "0", "0"}));
    Correlated b(logAB({"S3", "s1"}, {"0", "0"}, {"0", "0"}), logAB({"s3", "S1"}, {"9", "7"}, {"0", "0"}));
    a.show("A");
    ASSERT_EQ(a.model.data().data[1], (std::vector<double>{4, 5, 6}));
    a.model.setData_columnCount(a.corr[0]->columnItem_count(), a.corr[0]->getColumnItem(), b.corr[1]->getColumnItem(),
                                a.corr[0]->getConfigInfo(), b.corr[1]->getConfigInfo());
    a.show("A");
    EXPECT_EQ(a.model.data().data[1], (std::vector<double>{7, 9}));
    EXPECT_EQ(a.model.data().data[0], (std::vector<double>{1, 3}));
    a.model.clearData();
    a.model.setData_columnCount(a.corr[0]->columnItem_count(), a.corr[0]->getColumnItem(), a.corr[1]->getColumnItem(),
                                a.corr[0]->getConfigInfo(), a.corr[1]->getConfigInfo());
    a.show("A");
    EXPECT_EQ(a.model.data().data[1], (std::vector<double>{4, 5, 6}));
}

// The summary's numbers as "%f" gives them: exact ties at the seventh decimal
// go to the even digit, a tiny negative keeps its sign, large values and
// non-finite ones are left to printf.
TEST(CorrelationData, FixedTextIsPrintfs) {
    auto printed = [](double v) {
        char buf[400];
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
        return std::string(buf, r.ptr);
    };
    auto fixed = [](double v) {
        char buf[32];
        char* end = graph_correlation_fixed(buf, v);
        return end ? std::string(buf, end) : std::string("(printf)");
    };
    struct Case {
        double v;
        const char* text;
    } cases[] = {{0, "0.000000"},
                 {-0.0, "-0.000000"},
                 {0.0078125, "0.007812"},  // 2^-7: a tie, down to even
                 {0.0234375, "0.023438"},  // a tie, up to even
                 {-0.0078125, "-0.007812"},
                 {-1e-9, "-0.000000"},
                 {5e-7, "0.000000"},  // just below the tie in binary
                 {0.9999995, "1.000000"},  // just above it
                 {999999.9999995, "999999.999999"},  // below
                 {999999.99999951, "1000000.000000"},
                 {49.123456789, "49.123457"},
                 {4.9e-324, "0.000000"},
                 {9007199254740993.0, "9007199254740992.000000"},
                 {9.2e18, "9200000000000000000.000000"},
                 {1e19, "(printf)"},
                 {DBL_MAX, "(printf)"},
                 {HUGE_VAL, "(printf)"},
                 {NAN, "(printf)"}};
    for (const Case& c : cases) {
        EXPECT_EQ(fixed(c.v), c.text) << c.v;
        if (std::strcmp(c.text, "(printf)") != 0) {
            EXPECT_EQ(fixed(c.v), printed(c.v)) << c.v;
        }
    }
    // Any bit pattern it takes, and values near ties.
    std::mt19937_64 rng(3);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        const double near = std::nextafter(double(rng() % 100000000) / 1e6 + 5e-7, (i & 1) ? 0.0 : 1e300);
        // Its significand at a scale around the summary's values.
        const double scaled = std::isnormal(v) ? std::ldexp(v, -std::ilogb(v) + int(rng() % 80) - 30) : v;
        for (double x : {v, scaled, near, -near}) {
            const std::string f = fixed(x);
            if (f != "(printf)") {
                ASSERT_EQ(f, printed(x)) << x;
            }
        }
    }
}

// Pairs, the 4-sigma filter and the fit of 300 serial numbers with missing
// values and outliers, against scipy's linregress on the pairs it keeps.
TEST(CorrelationData, FilterAndFitAgainstScipy) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Python";
    std::mt19937 rng(7);
    std::normal_distribution<double> x(50, 4), noise(0, 1.5);
    std::vector<std::string> sn0, sn1, a0, a1, b;
    for (int i = 0; i < 300; ++i) {
        const double v = x(rng);
        sn0.push_back(pf::number::text("SN%04d", i));
        sn1.push_back(pf::number::text("sn%04d", 299 - i));
        a0.push_back(i % 37 == 5 ? "NA" : pf::number::text("%.6f", v));
        double w = 0.8 * v + 7 + noise(rng);
        if (i == 17) w += 90;  // far above the rest
        if (i == 150) a0.back() = "400";
        a1.push_back(i % 41 == 3 ? "NA" : pf::number::text("%.6f", w));
        b.push_back("0");
    }
    // Input 1 in reverse order: pairing is by serial number, not by row.
    std::vector<std::string> rev1(a1.rbegin(), a1.rend());
    Correlated c(logAB(sn0, a0, b), logAB(sn1, rev1, b));
    c.show("A");
    const tCsv_correlationData& d = c.model.data();

    const std::string script = pf::number::text(R"PY(
import csv
from scipy import stats
import numpy as np
rows = [list(csv.reader(open("%s/_CSV_FILE_CORREL_%%d.csv" %% g))) for g in (0, 1)]
pairs = []
for r0, r1 in zip(rows[0][3:], rows[1][3:]):
    assert r0[0].lower() == r1[0].lower()
    try:
        pairs.append((float(r0[1]), float(r1[1])))
    except ValueError:
        pass
p = np.array(pairs)
m, s = p.mean(axis=0), p.std(axis=0, ddof=1)
keep = p[np.all((p >= m - 4 * s) & (p <= m + 4 * s), axis=1)]
f = stats.linregress(keep[:, 0], keep[:, 1])
print(len(p), len(keep), repr(f.slope), repr(f.intercept), repr(f.rvalue ** 2))
)PY", c.dir.path().c_str());
    nktest::writeFile(c.dir.file("fit.py"), script);
    int status = -1;
    const std::string reply = nktest::runCommand(std::string(NK_PYTHON) + " " + c.dir.file("fit.py"), &status);
    ASSERT_EQ(status, 0) << reply << c.text[0].substr(0, 400) << c.text[1].substr(0, 400);
    int n = 0, kept = 0;
    double slope = 0, intercept = 0, rsq = 0;
    ASSERT_EQ(std::sscanf(reply.c_str(), "%d %d %lf %lf %lf", &n, &kept, &slope, &intercept, &rsq), 5) << reply;
    EXPECT_EQ(d.count, n);
    EXPECT_EQ(d.filteredCount, kept);
    EXPECT_EQ(n - kept, 2) << "the two outliers";
    EXPECT_NEAR(d.slope, slope, 1e-9 * std::fabs(slope));
    EXPECT_NEAR(d.intercept, intercept, 1e-9 * std::fabs(intercept));
    EXPECT_NEAR(d.rsq, rsq, 1e-9);
    // The outliers stay in the raw data of the summary, with their serial numbers.
    EXPECT_NE(c.model.summaryText().find("SN0017\t"), std::string::npos);
    EXPECT_NE(c.model.summaryText().find("SN0150\t400.000000\t"), std::string::npos);
}

// Mends and edges of the preparation, case by case: no fit of an earlier item
// stays, a title mismatch pairs nothing, equal X values have no fit.
TEST(CorrelationData, NoPairsNoMatchAndEqualValuesLeaveNoFit) {
    Correlated c(logAB({"S1", "S2", "S3"}, {"1", "2", "3"}, {"NA", "NA", "5"}),
                 logAB({"S1", "S2", "S3"}, {"2", "4", "7"}, {"NA", "5", "NA"}));
    c.show("A");
    ASSERT_EQ(c.model.data().count, 3);
    EXPECT_TRUE(std::isfinite(c.model.data().slope));
    ASSERT_GE(c.column("B"), 0) << c.text[0];
    // B has no pair: no line, and A's line is gone.
    c.show("B");
    EXPECT_EQ(c.model.data().count, 0);
    EXPECT_TRUE(std::isnan(c.model.data().slope));
    EXPECT_TRUE(std::isnan(c.model.data().rsq));
    EXPECT_EQ(c.model.summaryText().find("trend line"), std::string::npos);

    // Titles that differ pair nothing.
    Correlated m(logAB({"S1", "S2"}, {"1", "2"}, {"1", "2"}), logAB({"S1", "S2"}, {"1", "2"}, {"1", "2"}));
    m.show("A");
    ASSERT_EQ(m.model.data().count, 2);
    const int n = m.corr[1]->columnItem_count();
    std::vector<tCsv_columnItemInfo> renamed(m.corr[1]->getColumnItem(), m.corr[1]->getColumnItem() + n);
    renamed[size_t(m.column("A"))].title = "Other";
    m.model.setData_columnCount(n, m.corr[0]->getColumnItem(), renamed.data(), m.corr[0]->getConfigInfo(),
                                m.corr[1]->getConfigInfo());
    m.show("A");
    EXPECT_EQ(m.model.data().count, 0);
    EXPECT_TRUE(std::isnan(m.model.data().slope));

    // All X equal.
    Correlated e(logAB({"S1", "S2", "S3"}, {"4", "4", "4"}, {"0", "0", "0"}),
                 logAB({"S1", "S2", "S3"}, {"1", "2", "3"}, {"0", "0", "0"}));
    e.show("A");
    EXPECT_EQ(e.model.data().count, 3);
    EXPECT_TRUE(std::isnan(e.model.data().slope) || std::isnan(e.model.data().rsq));
    EXPECT_EQ(e.model.summaryText().find("trend line"), std::string::npos);

    // Invalid arguments keep the data.
    e.model.setData_columnCount(0, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(e.model._raw_columnCount, e.corr[0]->columnItem_count());
}

// Bounds by sigma half-width, limits and data, and a range of zero span.
TEST(CorrelationData, BoundsWidenToDataAndLimits) {
    // X: 1..5 (stdev 1.58), Y: 2..10 (stdev 3.16); limits 0..10 on A.
    Correlated c(logAB({"S1", "S2", "S3", "S4", "S5"}, {"1", "2", "3", "4", "5"}, {"1", "1", "1", "1", "1"}),
                 logAB({"S1", "S2", "S3", "S4", "S5"}, {"2", "4", "6", "8", "10"}, {"1", "1", "1", "1", "1"}));
    const double s = std::sqrt(10.0);
    struct Case {
        int sigma;
        bool limits;
        double low, high;
    } cases[] = {
        {1, false, 3 - s, 6 + s},       // the averages' range plus 1 s
        {1, true, 3 - s, 10 + s},       // the upper limit 10 is outside: 10 + s; 0 is inside
        {2, true, 3 - 2 * s, 6 + 2 * s},  // both limits inside
        {0, false, 3 - 6 * s, 6 + 6 * s},  // all data: 6 s already holds it
    };
    for (const Case& k : cases) {
        c.show("A", k.sigma, k.limits);
        EXPECT_NEAR(c.model.boundLow(), k.low, 1e-12) << k.sigma << k.limits;
        EXPECT_NEAR(c.model.boundHigh(), k.high, 1e-12) << k.sigma << k.limits;
        EXPECT_EQ(c.model.displayBoundLow(), c.model.boundLow());
        EXPECT_NEAR(c.model.stdev(), s, 1e-12);
    }
    // A wide outlier with all data: its value plus one s.
    Correlated o(logAB({"S1", "S2", "S3", "S4", "S5"}, {"1", "2", "3", "4", "100"}, {"1", "1", "1", "1", "1"}),
                 logAB({"S1", "S2", "S3", "S4", "S5"}, {"1", "2", "3", "4", "5"}, {"1", "1", "1", "1", "1"}));
    o.show("A", 0, false);
    const double so = o.model.stdev();
    EXPECT_NEAR(o.model.boundHigh(), std::max(22 + 6 * so, 100 + so), 1e-9);
    // Equal values of a size that swallows one unit: a range around them all the same.
    Correlated z(logAB({"S1", "S2"}, {"100000000000000000000", "100000000000000000000"}, {"1", "1"}),
                 logAB({"S1", "S2"}, {"100000000000000000000", "100000000000000000000"}, {"1", "1"}));
    z.show("A", 0, false);
    EXPECT_DOUBLE_EQ(z.model.boundLow(), 1e20 - 1e18);
    EXPECT_DOUBLE_EQ(z.model.boundHigh(), 1e20 + 1e18);
    // Not reset: the display bounds stay.
    c.show("A", 2, false);
    const double dl = c.model.displayBoundLow();
    c.model.setColumnToDisplay_columnIndex(c.column("A"), 2, 1, false, false);
    EXPECT_EQ(c.model.displayBoundLow(), dl);
    EXPECT_NE(c.model.boundLow(), dl);
}

// The summary of three pairs byte for byte, with a decimal comma in the user's locale too.
TEST(CorrelationData, SummaryOfThreePairsByteForByte) {
    const std::string expected =
        "[A]\n"
        "\n*** summary ***\n"
        "    correlationSampleSize: 3\n"
        "          trend line info: y = 2.000000x + 1.000000\n"
        "                r-squared: 1.000000\n"
        "\n*** raw data ***\n"
        "\tX\tY\n"
        "upperLimit\t10.000000\tNA\n"
        "lowerLimit\t0.000000\tNA\n"
        "sn1\t1.000000\t3.000000\n"
        "SN2\t2.500000\t6.000000\n"
        "SN3\t3.000000\t7.000000\n";
    for (int german = 0; german < 2; ++german) {
        std::unique_ptr<nktest::GermanNumbers> locale;
        if (german) {
            locale = std::make_unique<nktest::GermanNumbers>();
            if (!locale->active()) GTEST_SKIP() << "no de_DE locale here";
        }
        std::string y = "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode,A\n"
                        "Upper Limit----->,,,,,\nLower Limit----->,,,,,\n"
                        "SN1,CELL_1,EVT,1,0,3\nSN2,CELL_1,EVT,2,0,6\nSN3,CELL_1,EVT,3,0,7\n";
        Correlated c(logAB({"sn1", "SN2", "SN3"}, {"1", "2.5", "3"}, {"0", "0", "0"}), y);
        c.show("A");
        EXPECT_EQ(c.model.summaryText(), expected) << "german=" << german;
    }
}

TEST(CorrelationData, FitTextColourByRSquared) {
    struct Case {
        double rsq, r, g, b;
    } cases[] = {{0.0999, 1, 0, 0}, {0.1, 0, 0, 0}, {0.5, 0, 0, 1}, {0.9, 0, 0, 0}, {0.9001, 0, 0.7, 0}, {NAN, 0, 0, 0}};
    for (const Case& k : cases) {
        double rgb[3];
        graph_correlation_fitColour(k.rsq, rgb);
        EXPECT_EQ(rgb[0], k.r) << k.rsq;
        EXPECT_EQ(rgb[1], k.g) << k.rsq;
        EXPECT_EQ(rgb[2], k.b) << k.rsq;
    }
}

// The zones' colours and the message by the inputs' states, in the drawing's pixels.
TEST(CorrelationData, ZonesAndMessagesByState) {
    struct Case {
        int state0, state1;
        bool drag;
        double dragX;
        // Expected zone fill as r, g, b (0..255) over white, and the message's colour.
        int zone0[3], zone1[3];
        bool warning;
    } cases[] = {
        {0, 0, false, 0, {239, 239, 239}, {239, 239, 239}, false},
        {1, 2, false, 0, {255, 250, 250}, {251, 255, 250}, true},
        {2, 1, false, 0, {251, 255, 250}, {255, 250, 250}, true},
        {2, 2, false, 0, {251, 255, 250}, {251, 255, 250}, true},
        {0, 2, true, 450, {239, 239, 239}, {255, 252, 242}, false},
    };
    for (const Case& k : cases) {
        graph_correlationModel model;
        if (k.state0) model.setFileName("input0.csv", 0, k.state0);
        if (k.state1) model.setFileName("input1.csv", 1, k.state1);
        pf::draw::Context ctx(600, 200);
        tCorr_viewState view;
        view.dragEntered = k.drag;
        view.mouseX = k.dragX;
        view.mouseY = 100;
        model.render(ctx, view);
        auto near = [](uint32_t px, const int (&rgb)[3]) {
            const int r = (px >> 16) & 255, g = (px >> 8) & 255, b = px & 255;
            return std::abs(r - rgb[0]) <= 2 && std::abs(g - rgb[1]) <= 2 && std::abs(b - rgb[2]) <= 2;
        };
        EXPECT_TRUE(near(ctx.pixel(30, 40), k.zone0)) << k.state0 << k.state1 << std::hex << " " << ctx.pixel(30, 40);
        EXPECT_TRUE(near(ctx.pixel(570, 40), k.zone1)) << k.state0 << k.state1 << std::hex << " " << ctx.pixel(570, 40);
        // The message, centred: orange warnings, green invitation.
        bool orange = false, green = false;
        for (int x = 150; x < 450; ++x)
            for (int y = 80; y < 105; ++y) {
                const uint32_t px = ctx.pixel(x, y);
                const int r = (px >> 16) & 255, g = (px >> 8) & 255, b = px & 255;
                if (r > 230 && g < 200 && g > 120 && b < 90) orange = true;
                if (r < 110 && g > 120 && b < 110) green = true;
            }
        EXPECT_EQ(orange, k.warning) << k.state0 << k.state1;
        EXPECT_EQ(green, !k.warning) << k.state0 << k.state1;
        EXPECT_EQ(model.dropZoneAt(150, 100), 0);
        EXPECT_EQ(model.dropZoneAt(450, 100), 1);
        EXPECT_EQ(model.dropZoneAt(300, 100), -1) << "between the zones";
    }
}

}  // namespace

namespace {

// The index pairs a text with the first row of that text, letter case aside,
// whether it is looked up where the tables line up or elsewhere.
TEST(CorrelationData, CaseBlindIndexGivesTheFirstRowOfAText) {
    const char* texts[] = {"a1", "sn05", "SN05", nullptr, "Sn06"};
    tCorr_noCaseIndex index;
    index.build(5, [&](size_t i) { return texts[i]; });
    struct Case {
        const char* text;
        size_t near;
        long row;
    } cases[] = {{"SN05", 2, 1}, {"sn05", 1, 1}, {"SN05", SIZE_MAX, 1}, {"A1", 0, 0}, {"sn06", 0, 4},
                 {"", 3, 3},     {nullptr, 9, 3}, {"sn0", 1, -1},     {"sn055", 1, -1}, {"x", 99, -1}};
    for (const Case& c : cases) EXPECT_EQ(index.find(c.text, c.near), c.row) << (c.text ? c.text : "null") << " " << c.near;
    tCorr_noCaseIndex empty;
    EXPECT_EQ(empty.find("a"), -1);
}

}  // namespace
