// The trend page and its graph, offscreen: stage logs dropped on the graph's
// zones as file URLs, entries and summary rows against numpy, the summary table
// byte for byte, highlights, sort, the file watch, the drawing probed in pixels,
// and the empty page.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string_view>

#include "AppDelegate.h"
#include "ZelkTextBox.h"
#include "draw/pf_draw.h"
#include "graph_trend.h"
#include "morvell_gui_test_util.h"
#include "morvell_page_test_util.h"
#include "nk_locale_util.h"
#include "number/pf_number.h"
#include "textview/pf_textview.h"
#include "view_histogram_2.h"
#include "view_trend.h"
#include "zelk_csv_test_util.h"

namespace fs = std::filesystem;
using morvelltest::filesOf;

namespace {

// One row of a stage log: the serial number and the two items' cells ("NA": no value).
struct Row {
    std::string sn;
    std::string a, b;  // the two items' cells
};

// A station log with items `titleA` and `titleB` in that column order, limits per item ("" for none).
std::string stageLog(const char* titleA, const char* titleB, const std::vector<Row>& rows, const char* upA = "",
                     const char* loA = "", const char* upB = "", const char* loB = "") {
    std::string t = "CG Test,version=1,\n";
    t += pf::number::text("SerialNumber,TesterID,config,timeStamp,errCode,%s,%s\n", titleA, titleB);
    t += pf::number::text("Upper Limit----->,,,,,%s,%s\n", upA, upB);
    t += pf::number::text("Lower Limit----->,,,,,%s,%s\n", loA, loB);
    int stamp = 1000;
    for (const Row& r : rows)
        t += pf::number::text("%s,CELL_1,EVT,%d,0,%s,%s\n", r.sn.c_str(), stamp++, r.a.c_str(), r.b.c_str());
    return t;
}

class TrendPage : public morvelltest::PageTest<view_trend> {
protected:
    void SetUp() override {
        makeFolders(false);
        view_trend::s_fileChangeCount = 0;
        openPage();
        if (HasFatalFailure()) return;
        // The timer is driven by hand where a test needs it.
        page->_fileMonitor->stop();
    }

    graph_trend* graph() const { return page->graph_trend; }

    // Drops the files on stage zone `stage`.
    bool drop(const std::vector<std::string>& paths, int stage) {
        const QRectF zone = graph()->dropArea(stage);
        return morvelltest::dropFiles(graph(), paths,
                                      QPoint(int(zone.center().x()), graph()->height() - int(zone.center().y())));
    }
    bool dropLog(const std::string& name, const std::string& text, int stage) {
        nktest::writeFile(file(name), text);
        return drop({file(name)}, stage);
    }
    ZelkCategoryButton* rowButton(int row) const {
        return static_cast<ZelkCategoryButton*>(page->table_view->cellWidget(row, 0));
    }
    const tTrend_entry* entryOf(const std::string& sn) const {
        for (int i = 0; i < page->_entryCount; ++i)
            if (page->_entries[size_t(i)].sn == sn) return &page->_entries[size_t(i)];
        return nullptr;
    }
    std::vector<std::string> serials() const {
        std::vector<std::string> out;
        for (int i = 0; i < page->_entryCount; ++i) out.push_back(page->_entries[size_t(i)].sn);
        return out;
    }
    std::string summary() const { return page->text_view->view()->text(); }
};

// ---- stages

TEST_F(TrendPage, OneFilePerStageAndTheTrendFromTwoValidStages) {
    zcsvtest::AlertCatcher alerts;
    const std::string log = stageLog("Gain", "Offset", {{"SN1", "1", "2"}, {"SN2", "3", "4"}});
    ASSERT_TRUE(dropLog("first.run.csv", log, 0));
    EXPECT_EQ(graph()->fileName(0), "FIRST.RUN") << "only the text from the last dot is cut";
    EXPECT_EQ(graph()->csvFileCount(), 1);
    EXPECT_FALSE(page->popbtn_specItem->isEnabled());
    EXPECT_EQ(page->_entryCount, 0);

    // Two files on one zone: the alert, and nothing taken.
    nktest::writeFile(file("x.csv"), log);
    nktest::writeFile(file("y.csv"), log);
    EXPECT_FALSE(drop({file("x.csv"), file("y.csv")}, 3));
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].title, "Multiple CSV File");
    EXPECT_EQ(alerts.alerts[0].message, "one csv file per stage\n");
    EXPECT_EQ(alerts.alerts[0].button, "OK");
    EXPECT_EQ(graph()->fileName(3), "");
    EXPECT_EQ(page->_inputFileList[3], "");

    // A second stage: items offered, entries built.
    ASSERT_TRUE(dropLog("second.csv", log, 4));
    EXPECT_EQ(graph()->fileName(4), "SECOND");
    EXPECT_TRUE(page->popbtn_specItem->isEnabled());
    EXPECT_EQ(page->popbtn_specItem->count(), 2);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Gain");
    EXPECT_EQ(serials(), (std::vector<std::string>{"SN1", "SN2"}));
    EXPECT_EQ(page->text_sampleCount->text(), "2 samples");
    EXPECT_TRUE(page->button_selection->isEnabled());
    EXPECT_EQ(page->table_view->rowCount(), 2);
    EXPECT_EQ(rowButton(1)->text(), "  1 SN2");

    // A drop outside every zone (the margin) is answered yes and loads nothing.
    std::unique_ptr<QMimeData> data(filesOf({file("x.csv")}));
    QDragEnterEvent margin(QPoint(1, 1), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(graph(), &margin);
    QDropEvent outside(QPointF(1, 1), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(graph(), &outside);
    EXPECT_TRUE(outside.isAccepted());
    EXPECT_EQ(page->_inputFileList[0], file("first.run.csv"));

    // A source without copy: the graph takes no drag.
    QDragEnterEvent enter(QPoint(5, 5), Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(graph(), &enter);
    EXPECT_FALSE(enter.isAccepted());
}

// Stages 0, 2 and 3 (1 empty) in different column orders and title cases: serial numbers
// match with case, items without; each stage's limits and values from its own column;
// entry statistics and summary rows against numpy (ddof 1, missing stages skipped).
TEST_F(TrendPage, EntriesAndSummaryRowsAgainstNumpy) {
    ASSERT_TRUE(nktest::havePython());
    // Stage 0: SN04 has no Gain; SN05 is absent from stage 3; sn02 differs in case from stage 2's SN02.
    ASSERT_TRUE(dropLog("s0.csv",
                        stageLog("Gain", "Offset",
                                 {{"SN01", "5.1", "1"}, {"sn02", "6.3", "1"}, {"SN03", "4.7", "1"}, {"SN04", "NA", "1"},
                                  {"SN05", "5.5", "1"}, {"SN06", "7.25", "1"}},
                                 "8", "4"),
                        0));
    // Stage 2: items in the other order, title upper case, its own limits; SN03 tested twice (the last counts).
    ASSERT_TRUE(dropLog("s2.csv",
                        stageLog("Offset", "GAIN",
                                 {{"SN01", "0", "5.6"}, {"SN02", "0", "6.1"}, {"sn02", "0", "6.6"}, {"SN03", "0", "9.9"},
                                  {"SN04", "0", "5"}, {"SN05", "0", "5.2"}, {"SN06", "0", "7.0"}, {"SN03", "0", "4.4"}},
                                 "", "", "9.5", ""),
                        2));
    ASSERT_TRUE(dropLog("s3.csv",
                        stageLog("gain", "Offset",
                                 {{"SN06", "7.75", "0"}, {"SN03", "4.1", "0"}, {"sn02", "6.0", "0"}, {"SN01", "5.35", "0"}},
                                 "8.5", "3.5"),
                        3));
    ASSERT_EQ(page->popbtn_specItem->currentText(), "Gain");
    EXPECT_EQ(serials(), (std::vector<std::string>{"SN01", "sn02", "SN03", "SN06"}));
    EXPECT_EQ(entryOf("SN03")->value[2], 4.4) << "the last test of a serial number";
    EXPECT_EQ(entryOf("sn02")->value[2], 6.6) << "serials match with case";
    EXPECT_EQ(entryOf("SN01")->value[1], kZelk_noValue);
    // Limits of each stage from its own column.
    EXPECT_EQ(page->_stepInfo[0].upperLimit, 8);
    EXPECT_EQ(page->_stepInfo[0].lowerLimit, 4);
    EXPECT_FALSE(page->_stepInfo[1].isValid);
    EXPECT_EQ(page->_stepInfo[2].upperLimit, 9.5);
    EXPECT_EQ(page->_stepInfo[2].lowerLimit, kZelk_noValue);
    EXPECT_EQ(page->_stepInfo[3].upperLimit, 8.5);

    // numpy over the same values.
    std::ostringstream values;
    values.precision(17);
    for (int i = 0; i < page->_entryCount; ++i) {
        for (int s = 0; s < kTrend_stageCount; ++s) {
            const double v = page->_entries[size_t(i)].value[size_t(s)];
            values << (v == kZelk_noValue ? std::string("nan") : pf::number::text("%.17g", v)) << (s < 5 ? "," : ";");
        }
    }
    const std::string script = R"PY(
import sys, numpy as np
rows = np.array([[float(x) for x in r.split(",")] for r in sys.argv[1].split(";") if r])
def five(v):
    v = v[~np.isnan(v)]
    return [v.max(), v.min(), v.mean(), v.std(ddof=1), v.max() - v.min()]
ent = [[r[~np.isnan(r)].max(), r[~np.isnan(r)].min(), np.nanmax(r) - np.nanmin(r), np.nanmean(r), np.nanstd(r, ddof=1)] for r in rows]
for e in ent: print(" ".join("%.12g" % x for x in e))
for s in range(6):
    col = rows[:, s]
    print(" ".join("%.12g" % x for x in five(col)) if not np.isnan(col).all() else "empty")
e = np.array(ent)
for k in (3, 2, 4):  # avg, span, stdev
    print(" ".join("%.12g" % x for x in five(e[:, k])))
)PY";
    nktest::writeFile(file("stats.py"), script);
    int status = -1;
    const auto lines = nktest::splitLines(
        nktest::runCommand(std::string(NK_PYTHON) + " " + file("stats.py") + " '" + values.str() + "'", &status));
    ASSERT_EQ(status, 0);
    ASSERT_EQ(lines.size(), size_t(page->_entryCount) + 6 + 3);
    auto numbers = [](const std::string& line) {
        std::vector<double> out;
        std::istringstream in(line);
        for (std::string w; in >> w;) out.push_back(pf::number::parse(w.c_str(), nullptr));
        return out;
    };
    const int n = page->_entryCount;
    for (int i = 0; i < n; ++i) {
        const tTrend_entry& e = page->_entries[size_t(i)];
        const auto want = numbers(lines[size_t(i)]);
        const double got[5] = {e.max, e.min, e.span, e.avg, e.stdev};
        for (int k = 0; k < 5; ++k) EXPECT_NEAR(got[k], want[size_t(k)], 1e-9) << e.sn << " statistic " << k;
    }
    const tTrend_entry* rows = page->_entries.data() + n;  // max, min, avg, stdev, span
    for (int s = 0; s < kTrend_stageCount; ++s) {
        const std::string& line = lines[size_t(n + s)];
        if (line == "empty") {
            EXPECT_EQ(rows[0].value[size_t(s)], kZelk_noValue) << s;
            continue;
        }
        const auto want = numbers(line);
        for (int k = 0; k < 5; ++k) EXPECT_NEAR(rows[k].value[size_t(s)], want[size_t(k)], 1e-9) << "stage " << s << " row " << k;
    }
    double tTrend_entry::*fields[3] = {&tTrend_entry::avg, &tTrend_entry::span, &tTrend_entry::stdev};
    for (int f = 0; f < 3; ++f) {
        const auto want = numbers(lines[size_t(n + 6 + f)]);
        for (int k = 0; k < 5; ++k) EXPECT_NEAR(rows[k].*fields[f], want[size_t(k)], 1e-9) << "field " << f << " row " << k;
    }
    // The graph holds the entries in display order and the four summary rows after them.
    ASSERT_EQ(page->_entries_sorted.size(), size_t(n) + 4);
    EXPECT_EQ(page->_entries_sorted[size_t(n) + 3], &rows[3]);
}

// Two serials over stages 0 and 2: the table byte for byte, also where numbers
// would print with a decimal comma.
TEST_F(TrendPage, TheSummaryTableByteForByte) {
    const std::string expected =
        "[Gain]\n"
        "2 samples\n"
        " idx\tsn                \t      0\t      1\t      2\t      3\t      4\t      5\t    avg\t   span\t  stdev\n"
        "--------------------------\n"
        "   0\tSN1                \t  1.000\t     NA\t  2.000\t     NA\t     NA\t     NA\t  1.500\t  1.000\t  0.707\n"
        "   1\tSN2                \t  3.000\t     NA\t  7.000\t     NA\t     NA\t     NA\t  5.000\t  4.000\t  2.828\n"
        "--------------------------\n"
        "\t               average\t  2.000\t     NA\t  4.500\t     NA\t     NA\t     NA\t  3.250\t  2.500\t  1.768\n"
        "\t                 stdev\t  1.414\t     NA\t  3.536\t     NA\t     NA\t     NA\t  2.475\t  2.121\t  1.500\n"
        "\t              -2 sigma\t -0.828\t     NA\t -2.571\t     NA\t     NA\t     NA\t -1.700\t -1.743\t -1.232\n"
        "\t                   min\t  1.000\t     NA\t  2.000\t     NA\t     NA\t     NA\t  1.500\t  1.000\t  0.707\n"
        "\t                   max\t  3.000\t     NA\t  7.000\t     NA\t     NA\t     NA\t  5.000\t  4.000\t  2.828\n"
        "\t                  span\t  2.000\t     NA\t  5.000\t     NA\t     NA\t     NA\t  3.500\t  3.000\t  2.121\n"
        "\t              +2 sigma\t  4.828\t     NA\t 11.571\t     NA\t     NA\t     NA\t  8.200\t  6.743\t  4.768\n"
        "\t            upperLimit\t  8.000\t     NA\t  9.000\t     NA\t     NA\t     NA\n"
        "\t            lowerLimit\t  0.000\t     NA\t     NA\t     NA\t     NA\t     NA\n";
    nktest::GermanNumbers german;
    ASSERT_TRUE(dropLog("a.csv", stageLog("Gain", "X", {{"SN1", "1", "0"}, {"SN2", "3", "0"}}, "8", "0"), 0));
    ASSERT_TRUE(dropLog("c.csv", stageLog("Gain", "X", {{"SN1", "2", "0"}, {"SN2", "7", "0"}}, "9", ""), 2));
    EXPECT_EQ(page->_summary, expected);
    EXPECT_EQ(summary(), expected);

    // No serial number in common: the note and nothing more.
    ASSERT_TRUE(dropLog("c.csv", stageLog("Gain", "X", {{"SN7", "2", "0"}}, "9", ""), 2));
    EXPECT_EQ(page->_summary, "[Gain]\n\n!!!NO MODULE TO CORRELATE!!!\n");
    EXPECT_EQ(page->table_view->rowCount(), 0);
    const QImage image = graph()->render();
    EXPECT_EQ(image.size(), graph()->size());
}

TEST_F(TrendPage, SortHighlightAndColourSurviveAnItemChange) {
    // Spreads across the stages: SN_A 2, SN_B 0, SN_C 1, SN_D 0 (a tie with SN_B).
    ASSERT_TRUE(dropLog("a.csv",
                        stageLog("Gain", "Loss", {{"SN_A", "1", "10"}, {"SN_B", "5", "20"}, {"SN_C", "2", "30"}, {"SN_D", "4", "40"}}),
                        0));
    ASSERT_TRUE(dropLog("b.csv",
                        stageLog("Gain", "Loss", {{"SN_A", "3", "11"}, {"SN_B", "5", "21"}, {"SN_C", "3", "31"}, {"SN_D", "4", "41"}}),
                        1));
    QTest::mouseClick(page->button_doSort, Qt::LeftButton);
    ASSERT_TRUE(page->button_doSort->isChecked());
    std::vector<std::string> order;
    for (int i = 0; i < page->_entryCount; ++i) order.push_back(page->_entries_sorted[size_t(i)]->sn);
    EXPECT_EQ(order, (std::vector<std::string>{"SN_B", "SN_D", "SN_C", "SN_A"})) << "smallest spread first, ties in list order";
    // The index shown is the unsorted one.
    const auto lines = nktest::splitLines(page->_summary);
    ASSERT_GT(lines.size(), 5u);
    EXPECT_EQ(lines[4].substr(0, 10), "   1\tSN_B ");
    EXPECT_EQ(lines[5].substr(0, 10), "   3\tSN_D ");

    // Highlight SN_C (row 2) and SN_A (row 0); give SN_C a colour through the popover.
    QTest::mouseClick(rowButton(2), Qt::LeftButton);
    QTest::mouseClick(rowButton(0), Qt::LeftButton);
    EXPECT_TRUE(entryOf("SN_C")->isSelected);
    EXPECT_TRUE(entryOf("SN_C")->hasColor);
    EXPECT_EQ(entryOf("SN_C")->r, 1.0f) << "red at the first highlight";
    QTest::mouseClick(rowButton(2), Qt::RightButton);
    ASSERT_TRUE(page->popover->isVisible());
    EXPECT_EQ(page->popoverContent->label->text(), "SN_C");
    EXPECT_EQ(page->popoverContent->slider_r->value(), 255);
    page->popoverContent->slider_g->setValue(51);
    page->popover->hide();
    EXPECT_FLOAT_EQ(entryOf("SN_C")->g, 51 / 255.0f);
    EXPECT_EQ(rowButton(2)->backGroundColor().green(), 51);
    // A right click on a row that is not highlighted shows no popover.
    QTest::mouseClick(rowButton(1), Qt::RightButton);
    EXPECT_FALSE(page->popover->isVisible());

    // Another item: highlights and colours stay with their serial numbers.
    page->OnMenu_command_down(nullptr);
    ASSERT_EQ(page->popbtn_specItem->currentText(), "Loss");
    EXPECT_TRUE(entryOf("SN_C")->isSelected);
    EXPECT_FLOAT_EQ(entryOf("SN_C")->g, 51 / 255.0f);
    EXPECT_TRUE(entryOf("SN_A")->isSelected);
    EXPECT_FALSE(entryOf("SN_B")->isSelected);
    EXPECT_TRUE(rowButton(2)->isChecked());
    page->OnMenu_command_down(nullptr);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Loss");
    page->OnMenu_command_up(nullptr);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Gain");
    // Unhighlighting keeps the colour for the next time.
    QTest::mouseClick(rowButton(2), Qt::LeftButton);
    EXPECT_FALSE(entryOf("SN_C")->isSelected);
    EXPECT_TRUE(entryOf("SN_C")->hasColor);

    // Items with limits only: neither item has one.
    QTest::mouseClick(page->button_showSpecParam, Qt::LeftButton);
    EXPECT_EQ(page->popbtn_specItem->count(), 0);
    EXPECT_EQ(page->_entryCount, 0);
}

// A stage replaced by a file that does not load: the trend is built again
// without it, or cleared below two valid stages; nothing points into a released table.
TEST_F(TrendPage, AStageReplacedByAnInvalidFile) {
    zcsvtest::AlertCatcher alerts;
    const auto rows = std::vector<Row>{{"SN1", "1", "0"}, {"SN2", "2", "0"}, {"SN3", "3", "0"}};
    ASSERT_TRUE(dropLog("a.csv", stageLog("Gain", "X", rows), 0));
    ASSERT_TRUE(dropLog("b.csv", stageLog("Gain", "X", rows), 1));
    ASSERT_TRUE(dropLog("c.csv", stageLog("Gain", "X", {{"SN1", "4", "0"}, {"SN3", "5", "0"}}), 2));
    EXPECT_EQ(serials(), (std::vector<std::string>{"SN1", "SN3"}));
    QTest::mouseClick(rowButton(1), Qt::LeftButton);
    (void)graph()->render();

    // Stage 2 becomes invalid: SN2 is back, the name stays on the zone, the highlight too.
    EXPECT_FALSE(dropLog("bad.csv", "not a log at all\n", 2));
    EXPECT_FALSE(page->_csv[2] && page->_csv[2]->isValid());
    EXPECT_EQ(page->_inputFileList[2], file("c.csv"));
    EXPECT_EQ(graph()->fileName(2), "C");
    EXPECT_EQ(serials(), (std::vector<std::string>{"SN1", "SN2", "SN3"}));
    EXPECT_TRUE(entryOf("SN3")->isSelected);
    EXPECT_FALSE(page->_stepInfo[2].isValid);
    QImage image = graph()->render();
    EXPECT_FALSE(image.isNull());

    // Stage 0 too: one valid stage left, the trend is cleared.
    EXPECT_FALSE(dropLog("bad0.csv", "still not a log\n", 0));
    EXPECT_EQ(page->_entryCount, 0);
    EXPECT_TRUE(page->_entries_sorted.empty());
    EXPECT_FALSE(page->popbtn_specItem->isEnabled());
    // The items filter offers nothing from the one stage left.
    QTest::mouseClick(page->button_showSpecParam, Qt::LeftButton);
    EXPECT_EQ(page->popbtn_specItem->count(), 0);
    image = graph()->render();
    EXPECT_FALSE(image.isNull());
    EXPECT_FALSE(alerts.alerts.empty()) << "the table reports its failures";
}

// The fifth tick that sees a change reloads; a file that stops loading is retried only when it changes again.
TEST_F(TrendPage, AChangedStageReloadsOnTheFifthChangedTick) {
    zcsvtest::AlertCatcher alerts;
    ASSERT_TRUE(dropLog("a.csv", stageLog("Gain", "X", {{"SN1", "1", "0"}, {"SN2", "2", "0"}}), 0));
    ASSERT_TRUE(dropLog("b.csv", stageLog("Gain", "X", {{"SN1", "3", "0"}, {"SN2", "4", "0"}}), 1));
    QTest::mouseClick(rowButton(0), Qt::LeftButton);
    page->_onTimer_fileMonitor();
    EXPECT_EQ(view_trend::s_fileChangeCount, 0) << "quiet ticks count nothing";

    // Same size, other values: the time tells (moved on, as a clock tick may not have passed since the load).
    nktest::writeFile(file("b.csv"), stageLog("Gain", "X", {{"SN1", "8", "0"}, {"SN2", "9", "0"}}));
    fs::last_write_time(file("b.csv"), fs::last_write_time(file("b.csv")) + std::chrono::milliseconds(1500));
    for (int tick = 1; tick <= 4; ++tick) {
        page->_onTimer_fileMonitor();
        EXPECT_EQ(entryOf("SN1")->value[1], 3) << "tick " << tick;
    }
    page->_onTimer_fileMonitor();
    EXPECT_EQ(entryOf("SN1")->value[1], 8);
    EXPECT_EQ(view_trend::s_fileChangeCount, 0);
    EXPECT_TRUE(entryOf("SN1")->isSelected);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Gain");

    // Rewritten into something that does not load: one reload, one failure, then quiet.
    nktest::writeFile(file("b.csv"), "garbage\n");
    for (int tick = 0; tick < 15; ++tick) page->_onTimer_fileMonitor();
    EXPECT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(page->_entryCount, 0);
    // Fixed again: loaded at the fifth changed tick.
    nktest::writeFile(file("b.csv"), stageLog("Gain", "X", {{"SN1", "5", "0"}, {"SN2", "6", "0"}}));
    for (int tick = 0; tick < 5; ++tick) page->_onTimer_fileMonitor();
    ASSERT_NE(entryOf("SN1"), nullptr);
    EXPECT_EQ(entryOf("SN1")->value[1], 5);

    // The page's own timer runs from the page's load.
    view_trend fresh;
    EXPECT_TRUE(fresh._fileMonitor->isActive());
    fresh.applicationWillTerminate(nullptr);
    EXPECT_FALSE(fresh._fileMonitor->isActive());
}

// ---- the graph

TEST(TrendGraphStep, StepsAndLabelDecimals) {
    struct Case {
        double lo, hi, step;
    } cases[] = {
        {3, 8, 1},          // 10^0, five steps already
        {-2, 50, 10},       // across zero: from the larger magnitude (50), not the span
        {-0.3, 0.04, 0.1},  // small: 10^-1, then X = 0.3 leaves 3 steps
        {100, 101, 0.5},    // 10^2 divided by 2, 2.5, 2, 2, 2.5, 2 ... to 0.5
        {0, 0, 1},          // nothing to measure
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(graph_trend_step(c.lo, c.hi), c.step) << c.lo << " " << c.hi;
    const std::pair<double, int> decimals[] = {{0, 0},   {5, 0},    {1, 0},      {0.5, 3},     {-0.002, 3},
                                               {1e-5, 6}, {-250, 0}, {3.5, 3},   {-7.25, 3},   {0.1234567, 9}};
    for (const auto& [v, d] : decimals) EXPECT_EQ(graph_trend_decimals(v), d) << v;
}

TEST_F(TrendPage, ZonesPaletteLegendAndCopy) {
    window->resize(800, 460);
    QCoreApplication::processEvents();
    // No file: six grey zones with their labels.
    QImage image = graph()->render();
    const QRectF z0 = graph()->dropArea(0);
    auto at = [&](const QImage& im, double x, double y) { return im.pixelColor(int(x), im.height() - 1 - int(y)); };
    // The darkest pixel along the zone's dashed bottom edge.
    auto outline = [&](const QImage& im) {
        QColor best = Qt::white;
        for (double x = z0.left() + 12; x < z0.right() - 12; ++x) {
            const QColor c = at(im, x, z0.y());
            if (c.red() + c.green() + c.blue() < best.red() + best.green() + best.blue()) best = c;
        }
        return best;
    };
    const QColor empty = outline(image);
    EXPECT_LT(empty.green(), 235) << "an outline is drawn";
    EXPECT_LT(std::abs(empty.red() - empty.green()), 8) << "grey outline";
    // One file: its zone turns green.
    ASSERT_TRUE(dropLog("alpha.csv", stageLog("Gain", "X", {{"SN1", "1", "0"}}), 0));
    image = graph()->render();
    const QColor shown = outline(image);
    EXPECT_GT(shown.green(), shown.red() + 20) << "green outline of a loaded stage";
    EXPECT_GT(shown.green(), shown.blue() + 20);

    // Three stages, three highlighted: palette colours 0, 1, 2 in list order, legend from the top down.
    std::vector<Row> rows;
    for (int i = 0; i < 8; ++i) rows.push_back({pf::number::text("SN%02d", i), pf::number::text("%d", 10 + i % 3), "0"});
    ASSERT_TRUE(dropLog("alpha.csv", stageLog("Gain", "X", rows, "14", "8"), 0));
    ASSERT_TRUE(dropLog("beta.csv", stageLog("Gain", "X", rows, "13", "9"), 1));
    for (int row : {5, 1, 3}) QTest::mouseClick(rowButton(row), Qt::LeftButton);
    image = graph()->render();
    pf::draw::Context measure(10, 10);
    measure.setFont(pf::draw::kMonospaceFont, 10);
    const double b = std::ceil(measure.textWidth("SN05"));
    const double W = image.width(), H = image.height();
    const double PW = W - (b + 80), PH = H - (50 + 35);
    const double B0 = 25 + 12 * 3 + (PH - 12 * 3) / 2;
    const int ranks[3] = {1, 3, 5};  // list order of the highlighted rows
    for (int k = 0; k < 3; ++k) {
        const QColor c = at(image, PW + 60 + 3.5, B0 - 12 * k + 3.5);
        const float* want = graph_trend::kPalette[k];
        // Alpha 0.75 over white.
        for (int ch = 0; ch < 3; ++ch) {
            const double expect = 255 * (0.75 * want[ch] + 0.25);
            const int got = ch == 0 ? c.red() : ch == 1 ? c.green() : c.blue();
            EXPECT_NEAR(got, expect, 3) << "legend " << k << " channel " << ch << " for SN0" << ranks[k];
        }
    }

    // Copy: TIFF of the graph's size, rendered outside the mutex (a grab would deadlock).
    page->OnMenu_command_shift_c(nullptr);
    const QImage fromClipboard = morvelltest::clipboardPicture();
    ASSERT_FALSE(fromClipboard.isNull());
    EXPECT_EQ(fromClipboard.size(), graph()->size());
}

// A title with no room ends (the font stops at 1 point).
TEST(TrendGraph, ATinyViewWithATitleStillDraws) {
    ASSERT_NE(nktest::guiApplication(), nullptr);
    graph_trend g;
    g.resize(40, 30);
    g.setFileName("a.csv", 0);
    g.setFileName("b.csv", 1);
    std::vector<tTrend_entry> rows(5);
    rows[0].sn = "SN1";
    for (auto& r : rows) r.value.fill(kZelk_noValue);
    rows[0].value[0] = 1, rows[0].value[1] = 2;
    std::vector<const tTrend_entry*> list = {&rows[0], &rows[1], &rows[2], &rows[3], &rows[4]};
    tTrend_stepInfo steps[kTrend_stageCount] = {{true, 3, 0}, {true, kZelk_noValue, kZelk_noValue}};
    g.setData_title("A title far too long for a view this narrow", steps, 1, list);
    const QImage image = g.render();
    EXPECT_EQ(image.size(), QSize(40, 30));
    // A list without its summary rows is not drawn from.
    g.setData_title("x", steps, 3, list);
    EXPECT_FALSE(g.render().isNull());
}

TEST_F(TrendPage, Screenshots) {
    fs::create_directories(NK_SCREENSHOT_DIR);
    window->resize(800, 460);
    QCoreApplication::processEvents();
    // One stage loaded, during a drag over zone 2.
    std::vector<Row> rows[4];
    const double drift[4] = {0, 0.15, 0.35, 0.5};
    for (int i = 0; i < 40; ++i)
        for (int s = 0; s < 4; ++s) {
            const double v = 5.2 + 0.5 * std::sin(i * 1.7) + drift[s] + 0.12 * std::cos(i * 3.1 + s * 2.3);
            rows[s].push_back({pf::number::text("C02X%04dHV", 100 + i), pf::number::text("%.3f", v), "0"});
        }
    ASSERT_TRUE(dropLog("P1_SMT_INPUT.csv", stageLog("Gain_at_1kHz", "X", rows[0], "7.0", "3.5"), 0));
    {
        std::unique_ptr<QMimeData> data(filesOf({file("x.csv")}));
        const QRectF zone = graph()->dropArea(2);
        QDragEnterEvent enter(QPoint(int(zone.center().x()), graph()->height() / 2), Qt::CopyAction, data.get(),
                              Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(graph(), &enter);
        ASSERT_TRUE(graph()->dragEntered());
        ASSERT_TRUE(graph()->render().save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_trend_zones.png")));
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(graph(), &leave);
    }
    // Four stages (stage 2 empty), limits per stage, three highlighted, the list open.
    ASSERT_TRUE(dropLog("P2_BURN_IN_72H.csv", stageLog("Gain_at_1kHz", "X", rows[1], "7.2", "3.6"), 1));
    for (size_t i = 0; i < rows[2].size(); ++i) std::swap(rows[2][i].a, rows[2][i].b);
    ASSERT_TRUE(dropLog("P4_REWORK_A.csv", stageLog("X", "GAIN_AT_1KHZ", rows[2], "", "", "7.4", "3.8"), 3));
    ASSERT_TRUE(dropLog("P5_OQC.csv", stageLog("Gain_at_1kHz", "X", rows[3], "7.4", ""), 4));
    EXPECT_FALSE(page->_stepInfo[2].isValid);
    for (int row : {3, 17, 30}) QTest::mouseClick(rowButton(row), Qt::LeftButton);
    page->button_selection->setChecked(true);
    page->onBtn_showModuleList();
    window->resize(1000, 560);
    QCoreApplication::processEvents();
    ASSERT_TRUE(window->grab().toImage().save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_trend.png")));

    // Six stages with long names, values across zero, small limits, the window at its own size.
    page->button_selection->setChecked(false);
    page->onBtn_showModuleList();
    page->viewActivated();
    QCoreApplication::processEvents();
    for (int s = 0; s < kTrend_stageCount; ++s) {
        std::vector<Row> six;
        for (int i = 0; i < 25; ++i)
            six.push_back({pf::number::text("UNIT-%03d", i), pf::number::text("%.4f", 0.004 * std::sin(i + s * 0.4) - 0.001 * s), "0"});
        ASSERT_TRUE(dropLog(pf::number::text("STAGE_%d_ENVIRONMENTAL_STRESS_LONG_NAME.v2.csv", s + 1),
                            stageLog("Offset_drift_after_thermal_cycling_mV", "X", six, "0.006", "-0.0075"), s));
    }
    for (int row : {0, 12}) QTest::mouseClick(rowButton(row), Qt::LeftButton);
    QCoreApplication::processEvents();
    ASSERT_TRUE(window->grab().toImage().save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_trend_six.png")));
}

// ---- the empty page

TEST(EmptyPage, ShowingItSizesTheWindowAtItsOrigin) {
    ASSERT_NE(nktest::guiApplication(), nullptr);
    morvelltest::ToolFolders folders;
    AppDelegate app;
    app.awakeFromResource();
    app.applicationDidFinishLaunching();
    app.window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(app.window()));
    app.window()->resize(900, 700);
    app.window()->move(40, 50);
    const QPoint origin = app.window()->pos();
    app.changeViewController(AppDelegate::kPageEmpty);
    ASSERT_EQ(app.indexOnDisplay(), AppDelegate::kPageEmpty);
    EXPECT_EQ(app.window()->size(), QSize(640, 480));
    EXPECT_EQ(app.window()->pos(), origin);
    ASSERT_NE(app._view_histogram_2, nullptr);
    EXPECT_EQ(app._view_histogram_2->view()->objectName(), "view_histogram_2");
    for (auto command : {&Quastel_AppEvent::OnMenu_command_up, &Quastel_AppEvent::OnMenu_command_shift_c})
        (app._view_histogram_2.get()->*command)(nullptr);
    QCoreApplication::processEvents();
    fs::create_directories(NK_SCREENSHOT_DIR);
    ASSERT_TRUE(app.window()->grab().toImage().save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_empty.png")));

    // The trend page from the shell: 800 x 460.
    app.changeViewController(AppDelegate::kPageTrend);
    EXPECT_EQ(app.window()->size(), QSize(800, 460));
    EXPECT_EQ(app.window()->pos(), origin);
}

}  // namespace
