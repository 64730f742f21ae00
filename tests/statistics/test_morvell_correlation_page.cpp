// The correlation page offscreen: inputs dropped as file URLs on the graph's
// zones, the correlation files read back by Python's csv, the histograms on
// the plot's bounds, the file watch, the file error, the menu, and pictures.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QMainWindow>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string_view>

#include "ZelkCsv.h"
#include "ZelkTextBox.h"
#include "morvell_gui_test_util.h"
#include "morvell_page_test_util.h"
#include "number/pf_number.h"
#include "textview/pf_textview.h"
#include "view_correlation.h"
#include "zelk_csv_test_util.h"

namespace fs = std::filesystem;
using morvelltest::filesOf;
using morvelltest::waitGui;

namespace {

// A station log of `rows` units: Gain (limits 4..8) follows the unit's own
// level, Offset has no limits, Mode is text; input 1 (`y`) measures the same
// units a little differently, and names some only in one input.
std::string stationLog(int rows, bool y, unsigned seed = 3, const char* extra = nullptr) {
    std::mt19937 level(1), rng(seed);
    std::normal_distribution<double> unit(6, 0.5), noise(0, 0.08), offset(0, 2);
    std::vector<double> levels;
    for (int i = 0; i < rows; ++i) levels.push_back(unit(level));
    std::string t = "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode,Gain,Offset,Mode";
    t += extra ? std::string(",") + extra : "";
    const char* more = extra ? "," : "";
    t += y ? pf::number::text("\nUpper Limit----->,,,,,8.5,,%s\nLower Limit----->,,,,,3.5,,%s\n", more, more)
           : pf::number::text("\nUpper Limit----->,,,,,8,,%s\nLower Limit----->,,,,,4,,%s\n", more, more);
    for (int i = 0; i < rows; ++i) {
        // Input 1 lists the units backwards.
        const int sn = y ? rows - 1 - i : i;
        const double g = levels[size_t(sn)];
        double v = y ? 0.9 * g + 0.7 + noise(rng) : g + noise(rng);
        // One unit far off in Y only.
        if (y && sn == 7) v += 3.5;
        const char* head = y ? "SN" : (i % 2 ? "sn" : "SN");
        t += pf::number::text("%s%04d,CELL_%d,EVT,%d,0,%.4f,%.3f,m%d", head, sn, 1 + i % 2, 1000 + i, v, offset(rng), i % 3);
        t += extra ? ",1\n" : "\n";
    }
    return t;
}

class CorrelationPage : public morvelltest::PageTest<view_correlation> {
protected:
    void SetUp() override {
        makeFolders(true);
        openPage();
    }

    graph_correlation* graph() const { return page->graph_correlation; }
    const graph_correlationModel& model() const { return graph()->model(); }

    // Drops files on the graph at x (a fraction of its width), as a user does.
    void drop(const std::vector<std::string>& paths, double at) {
        morvelltest::dropFiles(graph(), paths, QPoint(int(graph()->width() * at), graph()->height() / 2));
        QCoreApplication::processEvents();
    }
    void loadBoth() {
        nktest::writeFile(file("x/station_x.csv"), stationLog(60, false));
        nktest::writeFile(file("y/station_y.csv"), stationLog(60, true));
        drop({file("x/station_x.csv")}, 0.25);
        drop({file("y/station_y.csv")}, 0.75);
    }
    void SetUpFolders() {
        fs::create_directories(file("x"));
        fs::create_directories(file("y"));
    }
};

// Both files read by Python's csv: the same serial numbers in the same order,
// the limit rows, each input's own spelling of its serial numbers.
TEST_F(CorrelationPage, TwoInputsWriteTwoCorrelationFilesThatReadBack) {
    SetUpFolders();
    nktest::writeFile(file("x/station_x.csv"), stationLog(60, false, 3, "OnlyX"));
    nktest::writeFile(file("y/station_y.csv"), stationLog(60, true));
    drop({file("x/station_x.csv")}, 0.25);
    EXPECT_EQ(model().loadState(0), 2);
    EXPECT_EQ(model().fileName(0), "STATION_X");
    EXPECT_FALSE(fs::exists(file("x/_CSV_FILE_CORREL_0.csv"))) << "one input: nothing to correlate";
    EXPECT_FALSE(page->_fileMonitor->isActive());
    EXPECT_EQ(page->graph_histogram_0->model()._externalTitle, "station_x");

    drop({file("y/station_y.csv")}, 0.75);
    EXPECT_EQ(page->_inputFileList[1], std::vector<std::string>{file("y/station_y.csv")}) << "right half: input 1";
    const std::string f0 = file("x/_CSV_FILE_CORREL_0.csv"), f1 = file("y/_CSV_FILE_CORREL_1.csv");
    ASSERT_TRUE(fs::exists(f0) && fs::exists(f1));
    const std::string script = pf::number::text(R"PY(
import csv
a = list(csv.reader(open("%s")))
b = list(csv.reader(open("%s")))
assert a[0] == b[0], (a[0], b[0])
print("|".join(a[0]))
print(a[1][0], a[1][1], b[1][1], a[2][0], a[2][1], b[2][1])
assert [r[0].upper() for r in a[3:]] == [r[0] for r in b[3:]]
print(len(a) - 3, a[4][0], b[4][0], sum(1 for r in b[3:] if r[0].isupper()))
)PY", f0.c_str(), f1.c_str());
    nktest::writeFile(file("read.py"), script);
    int status = -1;
    const auto lines = nktest::splitLines(nktest::runCommand(std::string(NK_PYTHON) + " " + file("read.py"), &status));
    ASSERT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "SerialNumber|Gain|Offset|") << "Mode is text, OnlyX only in input 0";
    EXPECT_EQ(lines[1], "Upper Limit-----> 8 8.5 Lower Limit-----> 4 3.5");
    EXPECT_EQ(lines[2], "60 sn0001 SN0001 60");

    // The items of both; the first selected, limits on, histograms shown.
    ASSERT_EQ(page->popbtn_specItem->count(), 2);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Gain");
    EXPECT_TRUE(page->check_testLimit->isChecked());
    EXPECT_TRUE(page->button_showHistogram->isChecked());
    EXPECT_TRUE(page->graph_histogram_0->isVisible());
    EXPECT_TRUE(page->_fileMonitor->isActive());
    EXPECT_EQ(model().data().count, 60);
    EXPECT_EQ(model().data().filteredCount, 59) << "unit 7 is far off in Y";
    EXPECT_NE(page->text_view->view()->text().find("correlationSampleSize: 60"), std::string::npos);

    // Both histograms on the plot's bounds, and laid out on the right.
    for (graph_histogram* h : {page->graph_histogram_0, page->graph_histogram_1}) {
        EXPECT_EQ(h->model()._dispBoundLow, graph()->boundLow());
        EXPECT_EQ(h->model()._dispBoundHigh, graph()->boundHigh());
        EXPECT_EQ(h->model()._allData->count, 60);
        EXPECT_EQ(h->geometry().left(), page->graph_base->width() / 2);
    }
    EXPECT_LT(page->graph_histogram_1->geometry().top(), page->graph_histogram_0->geometry().top()) << "Y above X";
    EXPECT_EQ(graph()->width(), page->graph_base->width() / 2);
    QTest::mouseClick(page->button_showHistogram, Qt::LeftButton);
    EXPECT_FALSE(page->graph_histogram_0->isVisible());
    EXPECT_EQ(graph()->width(), page->graph_base->width());

    // Items with limits only: Offset leaves the list.
    QTest::mouseClick(page->button_showSpecParam, Qt::LeftButton);
    EXPECT_EQ(page->popbtn_specItem->count(), 1);
}

TEST_F(CorrelationPage, SeveralFilesAreMergedAndANameWithoutExtensionIsSkipped) {
    SetUpFolders();
    for (int i = 0; i < 3; ++i) nktest::writeFile(file(pf::number::text("x/part%d.%s", i, i == 2 ? "CSV" : "csv")), stationLog(20, false, 10 + i));
    nktest::writeFile(file("x/README"), "notes\n");
    nktest::writeFile(file("x/notes.txt"), "notes\n");
    drop({file("x/part0.csv"), file("x/README"), file("x/part1.csv"), file("x/notes.txt"), file("x/part2.CSV")}, 0.1);
    const std::string merged = file("x/_CSV_FILE_MERGED_corr_0.csv");
    EXPECT_EQ(page->_inputFileList[0],
              (std::vector<std::string>{merged, file("x/part0.csv"), file("x/part1.csv"), file("x/part2.CSV")}));
    EXPECT_EQ(model().fileName(0), "_CSV_FILE_MERGED_CORR_0");
    // Only text files: the input is marked invalid and no correlation stays.
    nktest::writeFile(file("y/y.csv"), stationLog(20, true));
    drop({file("y/y.csv")}, 0.9);
    ASSERT_TRUE(model().hasPairs());
    drop({file("x/notes.txt")}, 0.1);
    EXPECT_EQ(model().loadState(0), 1);
    EXPECT_FALSE(model().hasPairs());
    EXPECT_EQ(page->_csv_corr[0], nullptr);
    // The merged table went with that drop: no correlation of it comes back, and its files are not watched.
    EXPECT_TRUE(page->_inputFileList[0].empty());
    drop({file("y/y.csv")}, 0.9);
    EXPECT_EQ(page->_csv_corr[0], nullptr);
    EXPECT_EQ(page->text_view->view()->text(), "");
}

// The watch reloads on the fifth tick that sees a change and keeps the item; a
// drop lists the items again from the first; a merged input merges again.
TEST_F(CorrelationPage, AReloadKeepsTheItemADropResetsIt) {
    SetUpFolders();
    loadBoth();
    page->OnMenu_command_down(nullptr);
    ASSERT_EQ(page->popbtn_specItem->currentText(), "Offset");
    page->_fileMonitor->stop();
    const ZelkCsv* before = page->_csv_corr[1].get();
    nktest::writeFile(file("y/station_y.csv"), stationLog(40, true, 9));
    for (int tick = 1; tick <= 4; ++tick) page->_onTimer_fileMonitor();
    EXPECT_EQ(page->_csv_corr[1].get(), before);
    page->_onTimer_fileMonitor();
    EXPECT_NE(page->_csv_corr[1].get(), before);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Offset");
    EXPECT_EQ(model().data().name, "Offset");
    EXPECT_EQ(model().data().count, 40);

    drop({file("y/station_y.csv")}, 0.75);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Gain");

    // Input 1 merged from two files; one source changes; the merge is made again.
    nktest::writeFile(file("y/a.csv"), stationLog(30, true, 4));
    nktest::writeFile(file("y/b.csv"), "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode,Gain,Offset,Mode\n"
                                       "Upper Limit----->,,,,,8,,\nSN0050,CELL_1,EVT,1,0,6.1,0,m\n");
    drop({file("y/a.csv"), file("y/b.csv")}, 0.75);
    page->_fileMonitor->stop();
    EXPECT_EQ(model().data().count, 31);
    nktest::writeFile(file("y/b.csv"), "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode,Gain,Offset,Mode\n"
                                       "Upper Limit----->,,,,,8,,\nSN0050,CELL_1,EVT,1,0,6.1,0,m\nSN0051,CELL_1,EVT,1,0,6.2,0,m\n");
    for (int tick = 0; tick < 5; ++tick) page->_onTimer_fileMonitor();
    EXPECT_EQ(page->_inputFileList[1].size(), 3u);
    EXPECT_EQ(model().data().count, 32);

    // The page's own timer does the same.
    page->_fileMonitor->start();
    nktest::writeFile(file("x/station_x.csv"), stationLog(25, false, 5));
    ASSERT_TRUE(waitGui([&] { return model().hasPairs() && model().data().count == 25; }));
}

// A correlation file dropped as an input is rewritten by the correlation
// itself: the watch must not take that for a change and reload for ever.
TEST_F(CorrelationPage, ACorrelationFileDroppedAsAnInputIsNotReloadedByItsOwnRewrite) {
    SetUpFolders();
    loadBoth();
    nktest::writeFile(file("y/small.csv"), stationLog(30, true));
    drop({file("x/_CSV_FILE_CORREL_0.csv")}, 0.25);
    drop({file("y/small.csv")}, 0.75);
    ASSERT_TRUE(model().hasPairs());
    ASSERT_EQ(model().data().count, 30) << "the file of input 0 was rewritten with 30 units";
    page->_fileMonitor->stop();
    const ZelkCsv* before = page->_csv_corr[0].get();
    for (int tick = 0; tick < 10; ++tick) page->_onTimer_fileMonitor();
    EXPECT_EQ(page->_csv_corr[0].get(), before);
}

// A directory where a correlation file goes: the alert names it, and no plot
// or histogram of the earlier inputs stays.
TEST_F(CorrelationPage, ACorrelationFileThatCannotBeWrittenShowsNoCorrelation) {
    SetUpFolders();
    loadBoth();
    ASSERT_TRUE(model().hasPairs());
    const std::string blocked = file("y/_CSV_FILE_CORREL_1.csv");
    fs::remove(blocked);
    fs::create_directories(blocked + "/inside");
    zcsvtest::AlertCatcher alerts;
    nktest::writeFile(file("x/other.csv"), stationLog(50, false, 8));
    drop({file("x/other.csv")}, 0.25);
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].title, "Correlation File Error");
    EXPECT_NE(alerts.alerts[0].message.find(blocked), std::string::npos) << alerts.alerts[0].message;
    EXPECT_FALSE(model().hasRecord());
    EXPECT_EQ(page->_csv_corr[0], nullptr);
    EXPECT_EQ(page->_csv_corr[1], nullptr);
    EXPECT_FALSE(page->graph_histogram_0->model().hasData());
    EXPECT_FALSE(page->graph_histogram_1->model().hasData());
    EXPECT_EQ(page->text_view->view()->text(), "");
    // Writable again: the next drop correlates.
    fs::remove_all(blocked);
    drop({file("x/other.csv")}, 0.25);
    EXPECT_TRUE(model().hasPairs());
    EXPECT_EQ(model().data().count, 50);
}

// Inputs without a serial number in common: both loaded, nothing to correlate.
TEST_F(CorrelationPage, InputsWithoutCommonUnitsShowNoData) {
    SetUpFolders();
    nktest::writeFile(file("x/station_x.csv"), stationLog(10, false));
    std::string y = stationLog(10, true);
    for (size_t at = y.find("SN00"); at != std::string::npos; at = y.find("SN00", at)) y.replace(at, 4, "XY00");
    nktest::writeFile(file("y/station_y.csv"), y);
    zcsvtest::AlertCatcher alerts;
    drop({file("x/station_x.csv")}, 0.25);
    drop({file("y/station_y.csv")}, 0.75);
    EXPECT_EQ(model().loadState(0), 2);
    EXPECT_EQ(model().loadState(1), 2);
    EXPECT_FALSE(model().hasPairs());
    EXPECT_TRUE(alerts.alerts.empty()) << alerts.alerts[0].title << ": " << alerts.alerts[0].message;
    const QImage shot = graph()->grab().toImage();
    bool orange = false;
    for (int x = 0; x < shot.width() && !orange; ++x) {
        const QColor c = shot.pixelColor(x, shot.height() / 2 + 5);
        orange = c.red() > 230 && c.green() > 120 && c.green() < 200 && c.blue() < 90;
    }
    EXPECT_TRUE(orange) << "the message \"NO DATA TO CORRELATE\"";
}

TEST_F(CorrelationPage, MenuCommandsContextMenuAndDataPairs) {
    SetUpFolders();
    // No pairs: a right click shows no menu.
    QTest::mouseClick(graph(), Qt::RightButton, Qt::NoModifier, QPoint(50, 50));
    EXPECT_FALSE(graph()->popupMenu()->isVisible());
    std::FILE* out = std::tmpfile();
    graph()->exportDataPair(out);
    EXPECT_EQ(std::ftell(out), 0) << "nothing without both inputs";

    loadBoth();
    QTest::mouseClick(graph(), Qt::RightButton, Qt::NoModifier, QPoint(50, 50));
    ASSERT_TRUE(graph()->popupMenu()->isVisible());
    const QList<QAction*> actions = graph()->popupMenu()->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), "Copy Graph to ClipBoard");
    EXPECT_EQ(actions[1]->text(), "Export Data Pair");
    graph()->popupMenu()->hide();
    graph()->exportDataPair(out);
    std::rewind(out);
    char line[256];
    ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
    EXPECT_STREQ(line, "STATION_X\tSTATION_Y\n");
    int rows = 0;
    while (std::fgets(line, sizeof line, out)) ++rows;
    EXPECT_EQ(rows, 60);
    std::fclose(out);

    page->OnMenu_command_down(nullptr);
    EXPECT_EQ(model().data().name, "Offset");
    page->OnMenu_command_up(nullptr);
    EXPECT_EQ(model().data().name, "Gain");
    const int sigma = page->popbtn_sigmaLine->currentIndex();
    page->OnMenu_command_bracket_left(nullptr);
    EXPECT_EQ(page->popbtn_sigmaLine->currentIndex(), sigma - 1);
    EXPECT_EQ(model()._sigmaFilterAt, page->popbtn_sigmaLine->currentData().toInt());
    EXPECT_EQ(page->graph_histogram_0->model()._dispBoundLow, graph()->boundLow()) << "histograms follow";

    // The container copies what it shows: the plot and both histograms.
    page->OnMenu_command_shift_c(nullptr);
    const QImage picture = morvelltest::clipboardPicture();
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), page->graph_base->size());
}

TEST_F(CorrelationPage, Screenshots) {
    SetUpFolders();
    fs::create_directories(NK_SCREENSHOT_DIR);
    window->resize(800, 460);
    // One input invalid, during a drag over the other zone.
    nktest::writeFile(file("x/broken.csv"), "garbage\n");
    drop({file("x/broken.csv")}, 0.25);
    EXPECT_EQ(model().loadState(0), 1);
    {
        std::unique_ptr<QMimeData> data(filesOf({file("y/station_y.csv")}));
        const QPoint p(graph()->width() * 3 / 4, graph()->height() / 2);
        QDragEnterEvent enter(p, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(graph(), &enter);
        ASSERT_TRUE(graph()->dragEntered());
        QCoreApplication::processEvents();
        ASSERT_TRUE(window->grab().toImage().save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_correlation_zones.png")));
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(graph(), &leave);
    }
    loadBoth();
    QCoreApplication::processEvents();
    const graph_correlationModel& m = model();
    QTest::mouseMove(graph(), QPoint(int(m._plotX0 + m._plotSide * 0.6), graph()->height() - int(m._plotY0 + m._plotSide * 0.4)));
    QCoreApplication::processEvents();
    ASSERT_TRUE(window->grab().toImage().save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_correlation.png")));
}

}  // namespace
