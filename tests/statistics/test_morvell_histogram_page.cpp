// The histogram page and its graph, offscreen: logs dropped as file URLs, the
// drawing probed in grab() pixels, the wheel, the file watch, settings kept per
// item, pictures read back by Pillow and recordings measured against numpy.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QImage>
#include <QMainWindow>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QTableWidget>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>

#include <cmath>
#include <filesystem>
#include <random>
#include <string_view>

#include "AppUserDefaults.h"
#include "ZelkCsv.h"
#include "ZelkTextBox.h"
#include "graph_base.h"
#include "morvell_gui_test_util.h"
#include "morvell_page_test_util.h"
#include "number/pf_number.h"
#include "textview/pf_textview.h"
#include "view_histogram.h"

namespace fs = std::filesystem;
using morvelltest::filesOf;
using morvelltest::waitGui;

namespace {

// A station log: Gain with limits 4..8 and ERS 3..9 in dB, Offset without limits,
// three configs and two testers, normal values from a fixed seed.
std::string stationLog(int rows, unsigned seed, double shift = 0, const char* serial = "SN") {
    std::mt19937 rng(seed);
    std::normal_distribution<double> gain[3] = {std::normal_distribution<double>(5.6 + shift, 0.5),
                                                std::normal_distribution<double>(6.3 + shift, 0.4),
                                                std::normal_distribution<double>(5.0 + shift, 0.6)};
    std::normal_distribution<double> offset(0, 2);
    std::string t = "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode,Gain,Offset\n"
                    "Upper Limit----->,,,,,8,\nLower Limit----->,,,,,4,\nUpper ERS----->,,,,,9,\n"
                    "Lower ERS----->,,,,,3,\nUnit----->,,,,,dB,mV\n";
    const char* cfg[3] = {"EVT", "DVT", "PVT"};
    for (int i = 0; i < rows; ++i) {
        const int k = i % 3;
        t += pf::number::text("%s%04d,CELL_%d,%s,%d,0,%.4f,%.3f\n", serial, i, 1 + (i / 3) % 2, cfg[k], 1000 + i, gain[k](rng),
                              offset(rng));
    }
    return t;
}

class HistogramPage : public morvelltest::PageTest<view_histogram> {
protected:
    void SetUp() override {
        makeFolders(true);
        view_histogram::s_fileChangeCount = 0;
        openPage();
    }

    graph_histogram* graph() const { return page->graph_histogram; }
    const graph_histogramModel& model() const { return graph()->model(); }

    // Drops the files in the graph's middle.
    bool drop(const std::vector<std::string>& paths, Qt::DropActions actions = Qt::CopyAction) {
        return morvelltest::dropFiles(graph(), paths, QPoint(graph()->width() / 2, graph()->height() / 2), actions);
    }
    std::string loadLog(const std::string& name = "log.csv", int rows = 600) {
        const std::string path = file(name);
        nktest::writeFile(path, stationLog(rows, 7));
        EXPECT_TRUE(drop({path}));
        EXPECT_TRUE(model().hasData());
        return path;
    }
    void chooseItem(const char* title) {
        const int i = page->popbtn_specItem->findText(QString::fromLatin1(title));
        ASSERT_GE(i, 0) << title;
        page->popbtn_specItem->setCurrentIndex(i);
        page->OnSpecItemSelection();
    }
    void showMode(int segment) {
        QTest::mouseClick(page->segment_displayMode[size_t(segment)], Qt::LeftButton);
        ASSERT_EQ(page->_displayMode, segment);
    }
    ZelkCategoryButton* categoryButton(int row) {
        return static_cast<ZelkCategoryButton*>(page->table_view->cellWidget(row, 0));
    }
    void wheel(double notchesY, double notchesX, double atValue) {
        const graph_histogramModel& m = model();
        const double x = (atValue - m._dispBoundLow) * m._xs + m._plotX0;
        const QPointF pos(x, graph()->height() / 2.0);
        QWheelEvent e(pos, graph()->mapToGlobal(pos), QPoint(), QPoint(int(notchesX * 120), int(notchesY * 120)),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(graph(), &e);
    }
    // Pixel of the graph at drawing coordinates (origin bottom left).
    QColor at(const QImage& image, double x, double y) const {
        return image.pixelColor(int(x), image.height() - 1 - int(y));
    }
};

TEST_F(HistogramPage, DropsKeepCsvFilesMergeSeveralAndWatchThem) {
    fs::create_directories(file("in"));
    nktest::writeFile(file("in/a.csv"), stationLog(90, 1));
    nktest::writeFile(file("in/b.CSV"), stationLog(60, 2, 0, "SB"));
    nktest::writeFile(file("in/c.txt"), "not a log\n");

    // Only text files: the page stays empty.
    drop({file("in/c.txt")});
    EXPECT_EQ(page->_inputFileCount, -1);
    EXPECT_FALSE(model().hasData());
    EXPECT_FALSE(page->popbtn_specItem->isEnabled());

    ASSERT_TRUE(drop({file("in/a.csv"), file("in/b.CSV"), file("in/c.txt")}));
    const std::string merged = file("in") + "/_CSV_FILE_MERGED_.csv";
    EXPECT_EQ(page->_inputFileList, (std::vector<std::string>{merged, file("in/a.csv"), file("in/b.CSV")}));
    EXPECT_TRUE(fs::exists(merged));
    EXPECT_EQ(model()._allData->count, 150) << "both logs in the merge";
    EXPECT_EQ(page->popbtn_specItem->count(), 2);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Gain");
    EXPECT_TRUE(page->_fileMonitor && page->_fileMonitor->isActive());
    EXPECT_NE(page->text_view->view()->text().find("[Gain]"), std::string::npos);

    // Only text files again: the merged set stays loaded.
    drop({file("in/c.txt")});
    EXPECT_EQ(page->_inputFileCount, 3);
    EXPECT_EQ(model()._allData->count, 150);

    // A source without copy: the graph takes no drop.
    std::unique_ptr<QMimeData> data(filesOf({file("in/a.csv")}));
    QDragEnterEvent enter(QPoint(5, 5), Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(graph(), &enter);
    EXPECT_FALSE(enter.isAccepted());
    EXPECT_FALSE(graph()->dragEntered());
}

TEST_F(HistogramPage, ARewriteReloadsOnTheFifthChangedTickKeepingItemAndZoom) {
    const std::string path = loadLog();
    chooseItem("Offset");
    wheel(-5, 0, model()._allData->avg);
    const double low = model()._dispBoundLow, high = model()._dispBoundHigh;
    const ZelkCsv* before = page->_csv.get();
    page->_fileMonitor->stop();  // the ticks below are the test's

    // Same size, a new time within the second of the load: still a change.
    std::string text = nktest::readFile(path);
    text.replace(text.find("SN0000"), 6, "SN9999");
    nktest::writeFile(path, text);
    for (int tick = 1; tick <= 4; ++tick) {
        page->_onTimer_fileMonitor();
        EXPECT_EQ(page->_csv.get(), before) << "tick " << tick;
    }
    page->_onTimer_fileMonitor();
    EXPECT_NE(page->_csv.get(), before) << "the fifth changed tick reloads";
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Offset");
    EXPECT_EQ(model()._dispBoundLow, low);
    EXPECT_EQ(model()._dispBoundHigh, high);
    EXPECT_EQ(view_histogram::s_fileChangeCount, 0);
    // Quiet ticks after the reload change nothing.
    const ZelkCsv* reloaded = page->_csv.get();
    for (int tick = 0; tick < 6; ++tick) page->_onTimer_fileMonitor();
    EXPECT_EQ(page->_csv.get(), reloaded);

    // The page's own timer does the same.
    page->_fileMonitor->start();
    nktest::writeFile(path, stationLog(300, 9));
    ASSERT_TRUE(waitGui([&] { return page->_csv.get() != reloaded && model().hasData(); }));
    EXPECT_EQ(model()._allData->count, 300);
}

TEST_F(HistogramPage, AMergedSetReloadsByMergingItsSourcesAgain) {
    nktest::writeFile(file("a.csv"), stationLog(30, 1));
    nktest::writeFile(file("b.csv"), stationLog(30, 2, 0, "SB"));
    ASSERT_TRUE(drop({file("a.csv"), file("b.csv")}));
    page->_fileMonitor->stop();
    nktest::writeFile(file("b.csv"), stationLog(90, 3, 0, "SB"));
    for (int tick = 0; tick < 5; ++tick) page->_onTimer_fileMonitor();
    EXPECT_EQ(page->_inputFileList.size(), 3u);
    EXPECT_EQ(model()._allData->count, 120);
}

TEST_F(HistogramPage, ATableThatNoLongerLoadsLeavesNoDataAndStaysWatched) {
    const std::string path = loadLog();
    page->_fileMonitor->stop();
    nktest::writeFile(path, "garbage\n");
    for (int tick = 0; tick < 5; ++tick) page->_onTimer_fileMonitor();
    EXPECT_FALSE(model().hasData());
    EXPECT_EQ(model()._raw_columnInfo, nullptr);
    EXPECT_EQ(page->popbtn_specItem->count(), 0);
    // Fixed again: loaded again.
    nktest::writeFile(path, stationLog(60, 4));
    for (int tick = 0; tick < 5; ++tick) page->_onTimer_fileMonitor();
    EXPECT_TRUE(model().hasData());
}

TEST_F(HistogramPage, SettingsOfAnItemAreSavedAndRestored) {
    loadLog();
    chooseItem("Gain");
    page->popbtn_decimalPoint->setCurrentIndex(3);
    page->popbtn_bucketCount->setCurrentIndex(4);
    page->UpdateDispSetting();
    EXPECT_EQ(model()._decimalPoint, 3);
    EXPECT_EQ(model()._bucketsPerStdev, 10);
    page->OnSaveCurrentSetting();

    chooseItem("Offset");
    EXPECT_EQ(page->popbtn_decimalPoint->currentIndex(), 3) << "Offset has no entry: the pop-ups stay";
    page->popbtn_decimalPoint->setCurrentIndex(0);
    chooseItem("Gain");
    EXPECT_EQ(page->popbtn_decimalPoint->currentIndex(), 3);
    EXPECT_EQ(page->popbtn_bucketCount->currentIndex(), 4);

    // Stored for the next page, with the correlation keys at -1; a stored index past
    // the entries is clamped.
    {
        QSettings stored(QString::fromStdString(folders->storePath()), QSettings::NativeFormat);
        const QVariantList list = stored.value("paramDispSetting").toList();
        ASSERT_EQ(list.size(), 1);
        const QVariantMap e = list[0].toMap();
        EXPECT_EQ(e["parameter"].toString(), "Gain");
        EXPECT_EQ(e["hist_decimalPoint"].toInt(), 3);
        EXPECT_EQ(e["corr_bucketCount"].toInt(), -1);
        QVariantMap bad = e;
        bad["parameter"] = "Offset";
        bad["hist_decimalPoint"] = 99;
        bad["hist_bucketCount"] = -7;
        stored.setValue("paramDispSetting", QVariantList{e, bad});
    }
    window->takeCentralWidget();
    page = std::make_unique<view_histogram>();
    window->setCentralWidget(page->view());
    loadLog("again.csv");
    EXPECT_EQ(page->popbtn_decimalPoint->currentIndex(), 3);
    chooseItem("Offset");
    EXPECT_EQ(page->popbtn_decimalPoint->currentIndex(), page->popbtn_decimalPoint->count() - 1);
    EXPECT_EQ(page->popbtn_bucketCount->currentIndex(), 0);
}

TEST_F(HistogramPage, CategoriesTheirButtonsColoursAndTheDrawer) {
    loadLog();
    EXPECT_FALSE(page->drawer_selection->isVisible());
    showMode(1);
    EXPECT_TRUE(page->drawer_selection->isVisible());
    ASSERT_EQ(page->table_view->rowCount(), 4);
    EXPECT_TRUE(categoryButton(0)->isChecked());
    EXPECT_FALSE(categoryButton(1)->isChecked());

    struct Step {
        const char* what;
        int click;
        std::vector<bool> states;
        int red;  // colour entry 0's red
    } steps[] = {
        {"show config 2 too", 2, {true, false, true, false}, 128},
        {"hide ALL: only config 2", 0, {false, false, true, false}, 128},
        {"hiding the only one shown checks it again", 2, {false, false, true, false}, 128},
        {"ALL again", 0, {true, false, true, false}, 128},
        {"hide config 2: only ALL, red", 2, {true, false, false, false}, 255},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        QTest::mouseClick(categoryButton(s.click), Qt::LeftButton);
        for (int r = 0; r < 4; ++r) {
            EXPECT_EQ(categoryButton(r)->isChecked(), s.states[size_t(r)]) << r;
            EXPECT_EQ(page->_categorySelection_config[size_t(r)], s.states[size_t(r)]) << r;
        }
        EXPECT_EQ(page->_colorTable[0].r, s.red);
    }

    // Right click on ALL: no pop-up; on a config: its colour in the sliders, and a move stored.
    QTest::mouseClick(categoryButton(0), Qt::RightButton);
    EXPECT_FALSE(page->popover->isVisible());
    QTest::mouseClick(categoryButton(1), Qt::RightButton);
    ASSERT_TRUE(page->popover->isVisible());
    EXPECT_TRUE(page->popoverContent->label->text().startsWith("config: "));
    EXPECT_EQ(page->popoverContent->slider_r->value(), page->_colorTable[1].r);
    EXPECT_EQ(page->popoverContent->slider_r->maximum(), 255);
    page->popoverContent->slider_g->setValue(17);
    page->popover->hide();
    EXPECT_EQ(page->_colorTable[1].g, 17);
    const morvell::ColorTable stored = morvell::readColorTable(*morvell::userDefaults());
    EXPECT_EQ(stored[1].green(), 17);
    EXPECT_NEAR(model()._categoryData[1].g, 17 / 255.0, 1e-6);

    // A button without a colour shows (1, 0.8, 0); a right click without a sink does nothing.
    ZelkCategoryButton plain;
    plain.resize(60, 20);
    QTest::mouseClick(&plain, Qt::RightButton);
    const QImage picture = plain.grab().toImage();
    EXPECT_EQ(picture.pixelColor(30, 3).rgb(), QColor::fromRgbF(1, 0.8f, 0).rgb());

    page->viewDeactivated();
    EXPECT_FALSE(page->drawer_selection->isVisible());
}

TEST_F(HistogramPage, WheelZoomsAroundThePointerAndPansWithinTheGrid) {
    loadLog();
    const graph_histogramModel& m = model();
    const double s = m._allData->stdev, avg = m._allData->avg;
    struct Row {
        const char* what;
        double dy, dx;
        int times;
    } rows[] = {
        {"zoom in one notch at avg", -1, 0, 1},
        {"zoom in until one stdev", -1, 0, 150},
        {"zoom out to the grid's ends", 20, 0, 30},
        {"zoom in, then pan left to the low end", -30, 0, 1},
        {"pan left to the low end", 0, 20, 100},
        {"pan right to the high end", 0, -20, 100},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const double low0 = m._dispBoundLow, high0 = m._dispBoundHigh, span0 = high0 - low0;
        for (int i = 0; i < r.times; ++i) wheel(r.dy, r.dx, avg);
        QCoreApplication::processEvents();
        const double low = m._dispBoundLow, high = m._dispBoundHigh;
        EXPECT_GE(low, m._boundLow);
        EXPECT_LE(high, m._boundHigh);
        if (std::string_view(r.what) == "zoom in one notch at avg") {
            EXPECT_NEAR(high - low, span0 - s / 10, 1e-9);
            // The value under the pointer stays where it was.
            EXPECT_NEAR((avg - low) / (high - low), (avg - low0) / span0, 0.02);
        } else if (std::string_view(r.what) == "zoom in until one stdev") {
            EXPECT_GE(high - low, s);
            EXPECT_LT(high - low, s + s / 10);
        } else if (std::string_view(r.what) == "zoom out to the grid's ends") {
            EXPECT_EQ(low, m._boundLow);
            EXPECT_EQ(high, m._boundHigh);
        } else if (std::string_view(r.what).rfind("zoom in, then", 0) == 0) {
            EXPECT_LT(high - low, span0);
        } else if (std::string_view(r.what) == "pan left to the low end") {
            EXPECT_EQ(low, m._boundLow);
            EXPECT_NEAR(high - low, span0, 1e-9);
        } else {
            EXPECT_EQ(high, m._boundHigh);
            EXPECT_NEAR(high - low, span0, 1e-9);
        }
    }
    // Without zoom the wheel changes nothing.
    graph()->setZoomEnabled(false);
    const double low = m._dispBoundLow;
    wheel(-3, 0, avg);
    EXPECT_EQ(m._dispBoundLow, low);
}

TEST_F(HistogramPage, BarsLimitAndErsLinesInThePicture) {
    loadLog();
    graph()->resize(700, 420);
    const QImage image = graph()->grab().toImage();
    const graph_histogramModel& m = model();
    ASSERT_EQ(image.width(), 700);
    auto xOf = [&](double v) { return (v - m._dispBoundLow) * m._xs + m._plotX0; };
    // Limit lines (blue) and ERS lines (red), dashed: some pixels of each column show them.
    struct Line {
        double v;
        bool blue;
    } lines[] = {{8, true}, {4, true}, {9, false}, {3, false}};
    for (const Line& l : lines) {
        int hits = 0;
        for (int dx = -1; dx <= 1; ++dx)
            for (double y = m._plotY0 + 5; y < m._plotY0 + m._plotH - 5; y += 1) {
                const QColor c = at(image, xOf(l.v) + dx, y);
                // Thin and translucent: tinted, not saturated.
                if (l.blue ? (c.blue() - c.red() > 25 && c.blue() - c.green() > 25)
                           : (c.red() - c.blue() > 25 && c.red() - c.green() > 25))
                    ++hits;
            }
        EXPECT_GT(hits, 20) << "line at " << l.v;
    }
    // The tallest bucket's bar fills to near the top of the plot; an empty bucket stays white.
    const uint32_t* row = m.bucketRow(0);
    const unsigned top = unsigned(std::max_element(row, row + m._bucketCount) - row);
    const double barX = xOf(m._boundLow + (top + 0.5) * m._bucketWidth);
    const QColor bar = at(image, barX, m._plotY0 + m._plotH - 3);
    EXPECT_LT(bar.green(), 250) << "ALL's red bar";
    EXPECT_GT(bar.red(), bar.green());
    const QColor empty = at(image, xOf(m._boundLow + 0.5 * m._bucketWidth), m._plotY0 + 3);
    EXPECT_EQ(empty.rgb(), QColor(Qt::white).rgb());
    // The key n draws the normal curve: pixels change; again removes it.
    QTest::keyClick(graph(), Qt::Key_N);
    EXPECT_TRUE(graph()->normalCurve());
    EXPECT_NE(graph()->grab().toImage(), image);
    QTest::keyClick(graph(), Qt::Key_N);
    QTest::keyClick(graph(), Qt::Key_X);
    EXPECT_FALSE(graph()->normalCurve());
    EXPECT_EQ(graph()->grab().toImage(), image);
}

TEST_F(HistogramPage, ContextMenuCopyAndExportedPictureDecode) {
    loadLog();
    QTest::mouseClick(graph(), Qt::RightButton, Qt::NoModifier, QPoint(100, 100));
    ASSERT_NE(graph()->lastContextMenu(), nullptr);
    QList<QAction*> actions = graph()->lastContextMenu()->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), "Save Settings for \"Gain\"");
    EXPECT_EQ(actions[1]->text(), "Copy Graph to ClipBoard");
    graph()->lastContextMenu()->hide();

    page->OnMenu_command_shift_c(nullptr);
    const QImage fromClipboard = morvelltest::clipboardPicture();
    ASSERT_FALSE(fromClipboard.isNull());
    EXPECT_EQ(fromClipboard.size(), graph()->size());

    graph()->exportImage();
    const std::string path = graph_exportPath("Gain");
    ASSERT_TRUE(fs::exists(path)) << path;
    int status = -1;
    const std::string reply = nktest::runCommand(std::string(NK_PYTHON) + " -c \"from PIL import Image; im = Image.open('" +
                                                     path + "'); im.load(); print(im.format, im.size[0], im.size[1])\"",
                                                 &status);
    EXPECT_EQ(status, 0) << reply;
    EXPECT_EQ(reply, pf::number::text("JPEG2000 %d %d\n", graph()->width(), graph()->height()));
    // A title with "/" stays in the folder.
    EXPECT_EQ(fs::path(graph_exportPath("a/b")).filename(), "a_b.jpeg");

    // With an external title the menu offers only the copy.
    graph()->setExternalTitle("input1.csv");
    QTest::mouseClick(graph(), Qt::RightButton, Qt::NoModifier, QPoint(100, 100));
    actions = graph()->lastContextMenu()->actions();
    ASSERT_EQ(actions.size(), 1);
    EXPECT_EQ(actions[0]->text(), "Copy Graph to ClipBoard");
    graph()->lastContextMenu()->hide();
}

TEST_F(HistogramPage, MenuCommandsStepItemsAndBuckets) {
    loadLog();
    EXPECT_EQ(page->popbtn_specItem->currentIndex(), 0);
    page->OnMenu_command_up(nullptr);
    EXPECT_EQ(page->popbtn_specItem->currentIndex(), 0);
    page->OnMenu_command_down(nullptr);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Offset");
    EXPECT_STREQ(model().itemTitle(), "Offset");
    page->OnMenu_command_down(nullptr);
    EXPECT_EQ(page->popbtn_specItem->currentIndex(), 1);
    const int buckets = page->popbtn_bucketCount->currentIndex();
    page->OnMenu_command_bracket_left(nullptr);
    EXPECT_EQ(page->popbtn_bucketCount->currentIndex(), buckets + 1);
    EXPECT_EQ(model()._bucketsPerStdev, page->popbtn_bucketCount->currentData().toInt());
    page->OnMenu_command_bracket_right(nullptr);
    page->OnMenu_command_bracket_right(nullptr);
    EXPECT_EQ(page->popbtn_bucketCount->currentIndex(), buckets - 1);

    // Spec items only: Offset has no limits and leaves the list.
    QTest::mouseClick(page->button_specItemOnly, Qt::LeftButton);
    EXPECT_EQ(page->popbtn_specItem->count(), 1);
    EXPECT_EQ(page->popbtn_specItem->currentText(), "Gain");
}

// Recordings written by Python's wave module, measured against numpy.
TEST_F(HistogramPage, RecordingsBecomeANoiseLogUnderTheirColumns) {
    nktest::writeFile(file("log.csv"), "CG Test,version=1,\nSerialNumber,TesterID,config,timeStamp,errCode,X\n"
                                       "Upper Limit----->,,,,,9\nSN1,CELL_1,A,1,0,1\nSN2,CELL_1,A,2,0,2\n");
    ASSERT_TRUE(drop({file("log.csv")}));
    const std::string script = R"PY(
import sys, wave, numpy as np
root = sys.argv[1]
rng = np.random.default_rng(5)
names = ["AlertMicroPulse0504Test-REF.wav", "AlertMiniPulse036Test-REF.wav",
         "AlertPulseTest036WBrake-REF.wav", "AlertBoostedVibe0504Test-REF.wav"]
def write(path, rate, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate)
        w.writeframes(samples.astype("<i2").tobytes())
def measure(samples, rate):
    n = min(int(np.float32(rate) * np.float32(100) / np.float32(1000)), len(samples))
    h = (2 * rate // 1000) // 2
    s = samples[:n].astype(float)
    y = [s[m] - s[max(0, m - h):min(n, m + h)].mean() for m in range(n)]
    return np.std(y, ddof=1)
out = {}
import os
# SN1: the four recordings, listed in another order than the columns; SN2: one missing, one cut short.
for sn in ("SN1", "SN2"):
    os.makedirs(f"{root}/waves/{sn}", exist_ok=True)
    row = []
    for i, name in enumerate(reversed(names)):
        if sn == "SN2" and name == names[1]:
            continue
        rate = 8000 + 4000 * i
        samples = (rng.normal(0, 300 + 100 * i, rate // 5)).round()
        path = f"{root}/waves/{sn}/z{i}_{name}"
        write(path, rate, samples)
        kept = samples
        if sn == "SN2" and name == names[2]:
            data = open(path, "rb").read()
            cut = 44 + 2 * 300
            open(path, "wb").write(data[:cut])
            kept = samples[:300]
        out[(sn, name)] = measure(kept, rate)
for sn in ("SN1", "SN2"):
    print(",".join("%.3f" % out[(sn, n)] if (sn, n) in out else "NA" for n in names))
)PY";
    nktest::writeFile(file("make_waves.py"), script);
    int status = -1;
    const auto expected = nktest::splitLines(
        nktest::runCommand(std::string(NK_PYTHON) + " " + file("make_waves.py") + " " + folders->dir.path().string(), &status));
    ASSERT_EQ(status, 0);
    ASSERT_EQ(expected.size(), 2u);
    EXPECT_NE(expected[1].find("NA"), std::string::npos);

    ASSERT_TRUE(page->_process_wav_files());
    const auto lines = nktest::splitLines(nktest::readFile(file("noise.csv")));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], "SerialNumber,Station ID,Test Pass/Fail,StartTime,EndTime,microTap504_stdev,miniTap360_stdev,"
                        "Tap360_stdev,BV504_stdev,");
    EXPECT_EQ(lines[2], "Upper Limit----->,,,,,NA,NA,NA,NA,");
    EXPECT_EQ(lines[4], "SN1,tester,pass,st,ed," + expected[0] + ",");
    EXPECT_EQ(lines[5], "SN2,tester,pass,st,ed," + expected[1] + ",");
}

TEST_F(HistogramPage, Screenshots) {
    fs::create_directories(NK_SCREENSHOT_DIR);
    // Empty, during a drag.
    {
        std::unique_ptr<QMimeData> data(filesOf({file("x.csv")}));
        QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(graph(), &enter);
        ASSERT_TRUE(graph()->dragEntered());
        const QImage empty = window->grab().toImage();
        ASSERT_TRUE(empty.save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_histogram_drop.png")));
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(graph(), &leave);
        EXPECT_FALSE(graph()->dragEntered());
    }
    // A merged log per tester, three categories shown, sigma lines, the curve, the readout.
    nktest::writeFile(file("a.csv"), stationLog(400, 11));
    nktest::writeFile(file("b.csv"), stationLog(200, 12, 0.3, "SB"));
    ASSERT_TRUE(drop({file("a.csv"), file("b.csv")}));
    showMode(2);
    window->resize(900, 600);
    QCoreApplication::processEvents();
    for (int r = 1; r < page->table_view->rowCount(); ++r) QTest::mouseClick(categoryButton(r), Qt::LeftButton);
    page->popbtn_sigmaLine->setCurrentIndex(3);
    page->UpdateDispSetting();
    QTest::keyClick(graph(), Qt::Key_N);
    const graph_histogramModel& m = model();
    QTest::mouseMove(graph(), QPoint(int((m._allData->avg + 0.4 - m._dispBoundLow) * m._xs + m._plotX0),
                                     graph()->height() - int(m._plotY0 + m._plotH * 0.6)));
    QCoreApplication::processEvents();
    const QImage shot = window->grab().toImage();
    ASSERT_TRUE(shot.save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_histogram.png")));
}

}  // namespace

namespace {

// The graph container: its picture exported over an older one, copied as TIFF only.
TEST_F(HistogramPage, GraphContainerExportsAndCopiesWhatItShows) {
    graph_base base;
    base.resize(120, 80);
    base.setAutoFillBackground(true);
    QPalette palette = base.palette();
    palette.setColor(QPalette::Window, QColor(10, 200, 30));
    base.setPalette(palette);
    const std::string path = graph_exportPath("abc");
    EXPECT_EQ(path, folders->application() + "//abc.jpeg") << "the doubled separator is harmless";
    nktest::writeFile(path, "old");
    base.exportImage("abc");
    int status = -1;
    const std::string reply = nktest::runCommand(
        std::string(NK_PYTHON) + " -c \"from PIL import Image; im = Image.open('" + path +
            "').convert('RGB'); print(im.size[0], im.size[1], *im.getpixel((60, 40)))\"",
        &status);
    EXPECT_EQ(status, 0) << reply;
    EXPECT_EQ(reply, "120 80 10 200 30\n");

    base.copyToClipboard(nullptr);
    palette.setColor(QPalette::Window, QColor(200, 10, 30));
    base.setPalette(palette);
    base.copyToClipboard(nullptr);
    const QImage image = morvelltest::clipboardPicture();
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.pixelColor(60, 40).rgb(), QColor(200, 10, 30).rgb()) << "the second copy only";

    categoryView popoverView;
    EXPECT_EQ(popoverView.label->text(), "Popover View");
    for (QSlider* s : {popoverView.slider_r, popoverView.slider_g, popoverView.slider_b}) EXPECT_EQ(s->maximum(), 255);
    histogramView surface;
    EXPECT_NE(surface.csv(), nullptr);
}

}  // namespace
