// The GR&R page and its graph, offscreen: logs dropped as file URLs (a link
// drag), the worked case drawn and probed in pixels, the two summaries against
// texts written by hand, the file watch ticked by hand, the page's pop-up,
// filters and tester buttons, pictures read back by Pillow, and the screenshots.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QMainWindow>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "AppDelegate.h"
#include "ZelkAlert.h"
#include "ZelkTextBox.h"
#include "ZelkUtilDraw.h"
#include "draw/pf_draw.h"
#include "graph_base.h"
#include "grr_test_util.h"
#include "morvell_gui_test_util.h"
#include "morvell_page_test_util.h"
#include "nk_locale_util.h"
#include "number/pf_number.h"
#include "textview/pf_textview.h"
#include "view_grr.h"

namespace fs = std::filesystem;

namespace {

// The worked case: golden SN1 {1.00, 1.02, 0.98}; T1 1.05 ± 0.02 (+55 / −5 at
// stdev 3, limit 0.2), HALL-3 1.00 ± 0.01 (±15), T2 tests "sn1" 1.10 ± 0.02
// (+80 / +20), T3 fails (+175 / +25), T4 has no golden sample. CURR has two
// limits but no criteria, NOTE only an upper limit, NVM_RETENTION is never listed.
const char kWorkedLog[] =
    "SerialNumber,TesterID,timeStamp,VOLT,CURR,NVM_RETENTION,NOTE\n"
    "Upper Limit----->,,,,2,,9\n"
    "Lower Limit----->,,,,1,,\n"
    "SN1,GOLD_1,1,1.00,1.50,1,3\n"
    "SN1,GOLD_1,2,1.02,1.52,1,3\n"
    "SN1,GOLD_1,3,0.98,1.48,1,3\n"
    "SN1,T1,4,1.05,1.50,1,3\n"
    "SN1,T1,5,1.07,1.51,1,3\n"
    "SN1,T1,6,1.03,1.49,1,3\n"
    "SN1,HALL-3,7,0.99,1.50,1,3\n"
    "SN1,HALL-3,8,1.01,1.50,1,3\n"
    "SN1,HALL-3,9,1.00,1.50,1,3\n"
    "sn1,T2,10,1.10,1.50,1,3\n"
    "sn1,T2,11,1.12,1.50,1,3\n"
    "sn1,T2,12,1.08,1.50,1,3\n"
    "SN1,T3,13,1.20,1.50,1,3\n"
    "SN1,T3,14,1.25,1.50,1,3\n"
    "SN1,T3,15,1.15,1.50,1,3\n"
    "XX1,T4,16,1.00,1.50,1,3\n"
    "XX1,T4,17,1.01,1.50,1,3\n";

std::string criteria(double limit) {
    return pf::number::text("Worked criteria,\nGrrConfig,VOLT\nGRR Stdev----->,3\nGRR Limit----->,%g\nUnit----->,mV\n", limit);
}

// T1's FOM summary of VOLT, from the page's formats by hand.
const char kFomT1[] =
    "[VOLT]\nTesterID: T1 [target tester]\n\n"
    "GRR_GROUP_AVG   =   1.050000\n"
    "GRR_PCT_ERR_MAX =      55.0%\n"
    "GRR_PCT_ERR_MIN =      -5.0%\n"
    "GRR_RESULT      =       pass\n\n"
    "Sample Count    = 1\n"
    "\n[GRR_CRITERIA_TABLE]\n"
    "serail number\t   avg_golden\t    grr_limit\t grr_limit_up\t grr_limit_dn\t\n-------------\n"
    "SN1          \t     1.000000\t     0.200000\t     1.200000\t     0.800000\t\n"
    "\n[GRR_TEST_RESULT_TABLE]\n"
    "serail number\t          avg\t        stdev\t    grr_stdev\t     bound_up\t     bound_dn\t\n-------------\n"
    "SN1          \t     1.050000\t     0.020000\t     3.000000\t     1.110000\t     0.990000\t\n"
    "\n[GRR_PCT_ERR_UPPER/LOWER]\n"
    "serail number\tpct_err_upper\tpct_err_lower\t\n-------------\n"
    "SN1          \t    55.000000%\t    -5.000000%\t\n"
    "\n[GRR_PCT_ERR_MAX/MIN]\n"
    "     pct_err_max\t    55.000000% (exp.<= 100%)\n"
    "     pct_err_min\t    -5.000000% (exp.>=-100%)\n"
    "     grr\tpass\n"
    "\n[GRR_GROUP_AVG]\n"
    "group_avg_golden\t     1.000000\n"
    "       group_avg\t     1.050000\n";

#define GRR_HEAD "\tFOM \t grr_result\tpct_err_min\tpct_err_max\t\n\t-------------\n"
// Every tester but the golden one, HALL-3 included; T4 has no golden sample.
const char kGrrSummary[] =
    "GRR Summary\n"
    "\nTesterID: T1 [target tester]\n\n"
    "\tGRR Result     :    pass\n\tGRR PCT_ERR_MIN:    -5.0\n\tGRR PCT_ERR_MAX:    55.0\n\n" GRR_HEAD
    "\tVOLT\t       pass\t       -5.0\t       55.0\t\n\n"
    "\nTesterID: HALL-3 [psuedo_golden tester]\n\n"
    "\tGRR Result     :    pass\n\tGRR PCT_ERR_MIN:   -15.0\n\tGRR PCT_ERR_MAX:    15.0\n\n" GRR_HEAD
    "\tVOLT\t       pass\t      -15.0\t       15.0\t\n\n"
    "\nTesterID: T2 [target tester]\n\n"
    "\tGRR Result     :    pass\n\tGRR PCT_ERR_MIN:    20.0\n\tGRR PCT_ERR_MAX:    80.0\n\n" GRR_HEAD
    "\tVOLT\t       pass\t       20.0\t       80.0\t\n\n"
    "\nTesterID: T3 [target tester]\n\n"
    "\tGRR Result     :    fail\n\tGRR PCT_ERR_MIN:    25.0\n\tGRR PCT_ERR_MAX:   175.0\n\n" GRR_HEAD
    "\tVOLT\t       fail\t       25.0\t      175.0\t\n\n"
    "\nTesterID: T4 [target tester]\n\n"
    "\tGRR Result     : unknown\n\tGRR PCT_ERR_MIN:      NA\n\tGRR PCT_ERR_MAX:      NA\n\n"
    "\tFOM\t grr_result\tpct_err_min\tpct_err_max\t\n\t-------------\n\n";

// Hears the graph before the page does.
class SinkSpy : public evtSink_graphGrr {
public:
    explicit SinkSpy(evtSink_graphGrr* page) : page_(page) {}
    void OnCsvFileDropped(bool fresh) override {
        loads.push_back(fresh);
        page_->OnCsvFileDropped(fresh);
    }
    void OnSelectionChanged() override { page_->OnSelectionChanged(); }
    std::vector<bool> loads;

private:
    evtSink_graphGrr* page_;
};

class GrrPage : public morvelltest::PageTest<view_grr> {
protected:
    void SetUp() override {
        makeFolders(true);
        if (HasFatalFailure()) return;
        zelk::roots::Folders roots = zelk::roots::get();
        roots.resource = folders->dir.file("resources");
        zelk::roots::set(roots);
        graph_grr::s_fileChangeCount = 0;
        ZelkAlert_setSink([this](const char* title, const char* message, const char*) {
            alerts.push_back(std::string(title) + ": " + message);
        });
    }
    void makePage(const std::string& criteriaText) {
        if (!criteriaText.empty()) nktest::writeFile(criteriaPath(), criteriaText);
        window = std::make_unique<QMainWindow>();
        _main_window = window.get();
        page = std::make_unique<view_grr>();
        window->setCentralWidget(page->view());
        window->show();
        page->viewActivated();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        alerts.clear();
    }
    void TearDown() override {
        ZelkAlert_setSink(nullptr);
        if (!page) return;
        page->applicationWillTerminate(nullptr);
        window->takeCentralWidget();
        page.reset();
        _main_window = nullptr;
        window.reset();
    }

    std::string criteriaPath() const { return file("resources/Quastel.grrConfig.csv"); }
    graph_grr* graph() const { return page->graph_grr; }

    // A drag in the graph's middle.
    bool drop(const std::vector<std::string>& paths, Qt::DropActions actions = Qt::LinkAction) {
        return morvelltest::dropFiles(graph(), paths, QPoint(graph()->width() / 2, graph()->height() / 2), actions);
    }
    std::string loadWorked(const std::string& log = kWorkedLog) {
        const std::string path = file("worked.csv");
        nktest::writeFile(path, log);
        EXPECT_TRUE(drop({path}));
        EXPECT_NE(graph()->grrMgr(), nullptr);
        return path;
    }
    int rowOf(const char* tester) const {
        ZelkGrr* g = graph()->grrMgr();
        for (unsigned i = 0; g && i < g->getTesterCount(); ++i)
            if (std::string(g->testerAt(i)->tester_name()) == tester) return int(i);
        return -1;
    }
    ZelkCategoryButton* button(int row) const { return static_cast<ZelkCategoryButton*>(page->table_view->cellWidget(row, 0)); }
    void chooseTester(const char* name) {
        const int row = rowOf(name);
        ASSERT_GE(row, 0) << name;
        QTest::mouseClick(button(row), Qt::LeftButton);
        ASSERT_EQ(graph()->dispTesterIdx(), row);
    }
    std::vector<std::string> items() const {
        std::vector<std::string> out;
        for (int i = 0; i < page->popbtn_specItem->count(); ++i) out.push_back(page->popbtn_specItem->itemText(i).toStdString());
        return out;
    }
    // The mouse over the graph, no button held.
    void moveTo(const QPoint& where) {
        QMouseEvent move(QEvent::MouseMove, QPointF(where), graph()->mapToGlobal(QPointF(where)), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(graph(), &move);
    }
    // Pixel at drawing coordinates (origin bottom left).
    static QColor at(const QImage& image, double x, double y) { return image.pixelColor(int(x), image.height() - 1 - int(y)); }

    std::vector<std::string> alerts;
};

TEST_F(GrrPage, WorkedCaseIsDrawnWhereTheFiguresSay) {
    makePage(criteria(0.2));
    // Before a drop, the prompt in blue capitals.
    const QImage prompt = graph()->render(true);
    bool blue = false;
    for (int y = 0; y < prompt.height() && !blue; ++y)
        for (int x = 0; x < prompt.width() && !blue; ++x) blue = prompt.pixelColor(x, y).blue() > 200 && prompt.pixelColor(x, y).red() < 120;
    EXPECT_TRUE(blue);
    {
        // In capitals, mono bold 25, centred: the same picture as drawn by hand.
        pf::draw::Context ref(prompt.width(), prompt.height());
        ref.setFillColor(1, 1, 1, 1);
        ref.fillRect(0, 0, ref.width(), ref.height());
        ref.setFont(pf::draw::kMonospaceBoldFont, 25);
        ref.setFillColor(0.1, 0.2, 1, 0.75);
        ZUTIL_DrawText(&ref, "DROP GRR CSV FILE", 0, ref.width() / 2.0, (ref.height() - 25) / 2.0);
        EXPECT_TRUE(prompt.convertToFormat(QImage::Format_ARGB32) == ref.image().convertToFormat(QImage::Format_ARGB32));
    }

    loadWorked();
    window->resize(1000, 800);
    graph()->resize(900, 700);
    chooseTester("T1");
    const QImage image = graph()->render(true);
    const graph_grr::PlotFrame& p = graph()->lastPlot();
    ASSERT_TRUE(p.drawn);
    // Layout: right margin 130 + 90 (short legend), top 135 under a titled item; the
    // plot is the square of the smaller free size, centred in the other.
    EXPECT_EQ(p.top, 135);
    const double freeW = 900 - 105 - 220, freeH = 700 - 135 - 45;
    EXPECT_DOUBLE_EQ(p.size, std::min(freeW, freeH));
    EXPECT_DOUBLE_EQ(p.x0, 105 + (freeW - p.size) / 2);
    EXPECT_DOUBLE_EQ(p.y0, 45);
    // One range: the grr limit around the mean of all rows, wider than its 3 sigma.
    const double values[] = {1.00, 1.02, 0.98, 1.05, 1.07, 1.03, 0.99, 1.01, 1.00,
                             1.10, 1.12, 1.08, 1.20, 1.25, 1.15, 1.00, 1.01};
    double mean = 0, var = 0;
    for (double v : values) mean += v / std::size(values);
    for (double v : values) var += (v - mean) * (v - mean) / (std::size(values) - 1);
    EXPECT_NEAR(p.lo, std::min(mean - 0.2, mean - 3 * std::sqrt(var)), 1e-12);
    EXPECT_NEAR(p.hi, std::max(mean + 0.2, mean + 3 * std::sqrt(var)), 1e-12);
    EXPECT_EQ(graph()->imageFileName(), "T1|VOLT");

    auto px = [&](double v) { return p.x0 + (v - p.lo) / (p.hi - p.lo) * p.size; };
    auto py = [&](double v) { return p.y0 + (v - p.lo) / (p.hi - p.lo) * p.size; };
    const double s = p.size / 50;
    // T1's square at (golden mean 1.00, own mean 1.05), colour 0 at alpha 0.75 over white.
    const QColor square = at(image, px(1.00) + s / 4, py(1.05) + s / 4);
    EXPECT_NEAR(square.red(), 217, 8);
    EXPECT_NEAR(square.green(), 102, 8);
    EXPECT_NEAR(square.blue(), 64, 8);
    // The vertical bar's caps at 1.05 ± 3 × 0.02, nothing just beyond them.
    for (double cap : {1.11, 0.99}) {
        int darkest = 255;
        for (int dy = -1; dy <= 1; ++dy) darkest = std::min(darkest, at(image, px(1.00) + s / 4, py(cap) + dy).green());
        EXPECT_LT(darkest, 235) << cap;
        const double beyond = cap > 1.05 ? py(cap) + 4 : py(cap) - 4;
        EXPECT_GT(at(image, px(1.00) + s / 4, beyond).green(), 245) << cap;
    }
    // The horizontal bar's caps at the golden 1.00 ± 3 × 0.02.
    for (double cap : {1.06, 0.94}) {
        int darkest = 255;
        for (int dx = -1; dx <= 1; ++dx) darkest = std::min(darkest, at(image, px(cap) + dx, py(1.05) + s / 4).green());
        EXPECT_LT(darkest, 235) << cap;
    }
    // The identity line through the plot's centre, green.
    int greenest = 0;
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy) {
            const QColor c = at(image, p.x0 + p.size / 2 + dx, p.y0 + p.size / 2 + dy);
            greenest = std::max(greenest, c.green() - c.red());
        }
    EXPECT_GT(greenest, 15);
    // The legend's square right of the plot, colour 0.
    const double legendY = p.y0 + (p.size - 12) / 2 + 12;
    EXPECT_NEAR(at(image, p.x0 + p.size + 8, legendY + 3).red(), 217, 8);

    // A tester whose serial differs in letter case is drawn all the same.
    chooseTester("T2");
    const QImage mixed = graph()->render(true);
    EXPECT_NEAR(at(mixed, px(1.00) + s / 4, py(1.10) + s / 4).red(), 217, 8);
    // The golden tester against itself: a square on the identity line.
    chooseTester("GOLD_1");
    const QImage self = graph()->render(true);
    EXPECT_NEAR(at(self, px(1.00) + s / 4, py(1.00) - s / 4).red(), 217, 8);
    const grr_data* d = graph()->grrMgr()->testerAt(unsigned(rowOf("GOLD_1")))->sampleAt(0)->dataAt(3);
    EXPECT_NEAR(d->grr_pct_err_upper, 30, 1e-9);
    EXPECT_NEAR(d->grr_pct_err_lower, -30, 1e-9);
    // A tester without golden samples: its first sample stands in, nothing to pair.
    chooseTester("T4");
    graph()->render(true);
    EXPECT_TRUE(graph()->lastPlot().drawn);
    EXPECT_NE(graph()->summary_string_fom().find("GRR_GROUP_AVG   =         NA\n"), std::string::npos)
        << graph()->summary_string_fom();
    EXPECT_TRUE(alerts.empty()) << alerts.front();
}

TEST_F(GrrPage, SummariesMatchTheTextsWrittenByHand) {
    makePage(criteria(0.2));
    loadWorked();
    chooseTester("T1");
    graph()->render(true);
    EXPECT_EQ(graph()->summary_string_fom(), kFomT1);
    EXPECT_EQ(graph()->summary_string_grr(), kGrrSummary);
    // The page's tick moves them into its two text views.
    page->onTimer();
    QCoreApplication::processEvents();
    EXPECT_EQ(page->text_view->view()->text(), kFomT1);
    EXPECT_EQ(page->text_summary->view()->text(), kGrrSummary);

    // Numbers never take the user's decimal comma.
    nktest::GermanNumbers german;
    chooseTester("T2");
    graph()->render(true);
    chooseTester("T1");
    graph()->render(true);
    EXPECT_EQ(graph()->summary_string_fom(), kFomT1);
    EXPECT_EQ(graph()->summary_string_grr(), kGrrSummary);
    if (!german.active()) GTEST_SKIP() << "no German locale here; checked in C only";
}

// A GR&R item whose criteria leave the limit empty has no percent error: its
// header line says NA instead of the raw difference of the averages times 100.
TEST_F(GrrPage, HeaderWithoutGrrLimitShowsNoPercent) {
    makePage("Worked criteria,\nGrrConfig,VOLT\nGRR Stdev----->,3\nGRR Limit----->,\nUnit----->,mV\n");
    loadWorked();
    graph()->resize(900, 700);
    chooseTester("T1");
    const QImage image = graph()->render(true);
    const graph_grr::PlotFrame& p = graph()->lastPlot();
    ASSERT_TRUE(p.drawn);
    // The third header line, alone in the band around its baseline 64 below the top,
    // drawn again by hand in black mono 12.
    const int W = image.width(), H = image.height();
    const std::string expected =
        pf::number::text("GroupAvg=%.*f (%6s%%)", int(graph()->decimalPoint()) + 3, 1.05, "NA");
    pf::draw::Context ref(W, H);
    ref.setFillColor(1, 1, 1, 1);
    ref.fillRect(0, 0, W, H);
    ref.setFont(pf::draw::kMonospaceFont, 12);
    ref.setFillColor(0, 0, 0, 1);
    ZUTIL_DrawText(&ref, expected.c_str(), 0, p.x0 + p.size / 2, H - 64);
    int differing = 0, inked = 0;
    for (int row = 52; row <= 68; ++row)
        for (int x = 0; x < W; ++x) {
            differing += image.pixel(x, row) != ref.image().pixel(x, row);
            inked += qGray(ref.image().pixel(x, row)) < 128;
        }
    EXPECT_GT(inked, 50) << "the reference line lies in the band";
    EXPECT_EQ(differing, 0) << expected;
}

TEST_F(GrrPage, PopUpFiltersAndTesterButtons) {
    makePage(criteria(0.2));
    EXPECT_FALSE(page->popbtn_specItem->isEnabled());
    EXPECT_FALSE(page->button_show_summary->isEnabled());
    loadWorked();
    // With criteria: GR&R items only, the GR&R filter on.
    EXPECT_TRUE(page->button_grrItemOnly->isEnabled());
    EXPECT_TRUE(page->button_grrItemOnly->isChecked());
    EXPECT_EQ(items(), (std::vector<std::string>{"VOLT"}));
    QTest::mouseClick(page->button_grrItemOnly, Qt::LeftButton);
    EXPECT_EQ(items(), (std::vector<std::string>{"VOLT", "CURR", "NOTE"}));
    EXPECT_EQ(page->popbtn_specItem->currentText(), "VOLT");
    // Spec only: VOLT has no limit and goes; NOTE's upper limit keeps it.
    QTest::mouseClick(page->button_specItemOnly, Qt::LeftButton);
    EXPECT_FALSE(page->button_grrItemOnly->isChecked());
    EXPECT_EQ(items(), (std::vector<std::string>{"CURR", "NOTE"}));
    EXPECT_EQ(graph()->dispColIdx(), 4);
    page->OnMenu_command_down(nullptr);
    EXPECT_EQ(graph()->dispColIdx(), 6);
    page->OnMenu_command_down(nullptr);
    EXPECT_EQ(graph()->dispColIdx(), 6);

    // Buttons: title with the golden-sample count, colours by role and result.
    struct Row {
        const char* tester;
        const char* title;
        QColor colour;
    };
    const Row rows[] = {{"GOLD_1", "GOLD_1:1", QColor::fromRgbF(1, 0.8f, 0)},
                        {"T1", "T1:1", QColor::fromRgbF(0, 0.8f, 0)},
                        {"T3", "T3:1", QColor::fromRgbF(1, 0.4f, 0.2f)},
                        {"T4", "T4:0", QColor::fromRgbF(0.8f, 0.8f, 0.8f)}};
    for (const Row& r : rows) {
        ZelkCategoryButton* b = button(rowOf(r.tester));
        ASSERT_NE(b, nullptr) << r.tester;
        EXPECT_EQ(b->text().toStdString(), r.title);
        EXPECT_EQ(b->backGroundColor().rgb(), r.colour.rgb()) << r.tester;
    }
    EXPECT_EQ(page->tableView("Other", 0), nullptr);
    EXPECT_EQ(page->tableView("Category", page->numberOfRowsInTableView()), nullptr);

    // A fresh load chooses the first tester; the radio choice and its cycle.
    EXPECT_EQ(graph()->dispTesterIdx(), 0);
    EXPECT_TRUE(button(0)->isChecked());
    const int last = page->numberOfRowsInTableView() - 1;
    page->OnMenu_option_up(nullptr);
    EXPECT_EQ(graph()->dispTesterIdx(), last);
    EXPECT_FALSE(button(0)->isChecked());
    page->OnMenu_option_down(nullptr);
    EXPECT_EQ(graph()->dispTesterIdx(), 0);
    chooseTester("T3");
    // Making the rows again keeps the choice: only a fresh load resets it.
    page->reloadTesterTable();
    EXPECT_EQ(graph()->dispTesterIdx(), rowOf("T3"));
    EXPECT_TRUE(button(rowOf("T3"))->isChecked());
    EXPECT_FALSE(button(0)->isChecked());

    // Window title and size; the drawer on the right; the panel as a window-modal sheet.
    EXPECT_EQ(window->windowTitle(), "MORVELL v1.9.11 - Worked criteria");
    EXPECT_EQ(window->size(), QSize(std::max(640, window->minimumSizeHint().width()), 550));
    EXPECT_TRUE(page->drawer_tester_list->isVisible());
    EXPECT_EQ(window->dockWidgetArea(page->drawer_tester_list), Qt::RightDockWidgetArea);
    page->viewDeactivated();
    EXPECT_FALSE(page->drawer_tester_list->isVisible());
    page->viewActivated();
    EXPECT_TRUE(page->drawer_tester_list->isVisible());
    QTest::mouseClick(page->button_show_summary, Qt::LeftButton);
    EXPECT_TRUE(page->dialog_summary->isVisible());
    EXPECT_EQ(page->dialog_summary->windowModality(), Qt::WindowModal);
    EXPECT_EQ(page->dialog_summary->parentWidget(), window.get());
    page->OnBtn_showSummary();
    EXPECT_FALSE(page->dialog_summary->isVisible());

    // The limit boxes drive the graph.
    QTest::mouseClick(page->check_showLimitText, Qt::LeftButton);
    EXPECT_FALSE(graph()->showLimitText());
    EXPECT_TRUE(graph()->showTestLimit());
}

TEST_F(GrrPage, WithoutCriteriaEveryParametricItemAndNoFalseAlert) {
    struct Case {
        const char* name;
        const char* criteriaText;  // empty: no file
    };
    const Case cases[] = {{"missing", ""}, {"not a table", "garbage without an anchor\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        fs::remove(criteriaPath());
        makePage(c.criteriaText);
        EXPECT_EQ(graph()->criteriaFileName(), "") << "not watched";
        loadWorked();
        EXPECT_TRUE(alerts.empty()) << alerts.front();
        EXPECT_FALSE(page->button_grrItemOnly->isEnabled());
        EXPECT_FALSE(page->button_grrItemOnly->isChecked());
        EXPECT_EQ(items(), (std::vector<std::string>{"VOLT", "CURR", "NOTE"}));
        EXPECT_EQ(window->windowTitle(), "MORVELL v1.9.11");
    }
}

TEST_F(GrrPage, InputErrorsGoToTheAlertSinkAndRangesStayDrawable) {
    makePage(criteria(0.2));
    loadWorked();
    chooseTester("T1");
    graph()->render(true);
    page->onTimer();
    ASSERT_EQ(graph()->summary_string_fom(), kFomT1);
    // One tester category only.
    nktest::writeFile(file("one.csv"), "SerialNumber,timeStamp,VOLT\nUpper Limit----->,,\nSN1,1,1.0\nSN1,2,1.1\n");
    ASSERT_TRUE(drop({file("one.csv")}));
    ASSERT_EQ(alerts.size(), 1u) << alerts[0];
    EXPECT_EQ(alerts[0], "GRR CSV INPUT ERROR: No Tester Info Available");
    graph()->render(true);
    EXPECT_FALSE(graph()->lastPlot().drawn);
    // Nothing chosen in the new files: the old files' summaries are gone too.
    page->onTimer();
    QCoreApplication::processEvents();
    EXPECT_EQ(graph()->summary_string_fom(), "");
    EXPECT_EQ(graph()->summary_string_grr(), "");
    EXPECT_EQ(page->text_view->view()->text(), "");

    // Degenerate ranges become a small window around the values; a value of 0 too.
    struct Case {
        double value;
        double half;
    };
    for (const Case& c : {Case{5.0, 0.05}, Case{0.0, 1e-9}, Case{-200.0, 2.0}}) {
        SCOPED_TRACE(c.value);
        const std::string v = pf::number::text("%g", c.value);
        nktest::writeFile(file("flat.csv"), "SerialNumber,TesterID,timeStamp,FLAT\nUpper Limit----->,,,\nSN1,GOLD,1," + v + "\nSN1,GOLD,2," + v +
                                                "\nSN1,T1,3," + v + "\nSN1,T1,4," + v + "\n");
        alerts.clear();
        ASSERT_TRUE(drop({file("flat.csv")}));
        EXPECT_TRUE(alerts.empty());
        graph()->render(true);
        const graph_grr::PlotFrame& p = graph()->lastPlot();
        ASSERT_TRUE(p.drawn);
        EXPECT_NEAR(p.lo, c.value - c.half, c.half * 1e-9);
        EXPECT_NEAR(p.hi, c.value + c.half, c.half * 1e-9);
    }
    // A range that is not finite draws no chart.
    nktest::writeFile(file("huge.csv"), "SerialNumber,TesterID,timeStamp,HUGE\nUpper Limit----->,,,\nSN1,GOLD,1,1e308\n"
                                        "SN1,GOLD,2,-1e308\nSN1,T1,3,1e308\nSN1,T1,4,-1e308\n");
    ASSERT_TRUE(drop({file("huge.csv")}));
    ASSERT_NE(graph()->dispTesterIdx(), -1);
    graph()->render(true);
    EXPECT_FALSE(graph()->lastPlot().drawn);
    // An item without a title leaves the header's room out: top margin 55.
    nktest::writeFile(file("untitled.csv"), "SerialNumber,TesterID,timeStamp,,VOLT\nUpper Limit----->,,,,\n"
                                            "SN1,GOLD,1,1.0,2.0\nSN1,GOLD,2,1.1,2.1\nSN1,T1,3,1.2,2.2\nSN1,T1,4,1.3,2.3\n");
    ASSERT_TRUE(drop({file("untitled.csv")}));
    graph()->setDispColIdx(3);
    graph()->resize(500, 900);
    graph()->render(true);
    ASSERT_TRUE(graph()->lastPlot().drawn);
    EXPECT_EQ(graph()->lastPlot().top - (900 - 55 - 45 - graph()->lastPlot().size) / 2, 55);
    // Files from two folders are refused by the loader, and the manager says so.
    fs::create_directories(file("other"));
    nktest::writeFile(file("other/b.csv"), kWorkedLog);
    nktest::writeFile(file("a.csv"), kWorkedLog);
    alerts.clear();
    drop({file("a.csv"), file("other/b.csv")});
    ASSERT_GE(alerts.size(), 1u);
    EXPECT_EQ(alerts.back(), "GRR CSV INPUT ERROR: NULL CSV");
    // A copy drag is not taken: the view links files.
    EXPECT_FALSE(drop({file("a.csv")}, Qt::CopyAction));
}

TEST_F(GrrPage, TheFileWatchReloadsOnTheFourthChangedTick) {
    makePage(criteria(0.2));
    SinkSpy spy(page.get());
    graph()->setEvtSink(&spy);
    const std::string log = loadWorked();
    ASSERT_EQ(spy.loads, std::vector<bool>{true});
    EXPECT_EQ(graph()->criteriaFileName(), criteriaPath());
    chooseTester("T1");
    graph()->fileMonitor()->stop();

    // The criteria file gets a tighter limit: T1's +55 becomes +110, a failure.
    nktest::writeFile(criteriaPath(), criteria(0.1) + "\n");
    for (int tick = 1; tick <= 3; ++tick) {
        graph()->onTimer_fileMonitor();
        EXPECT_EQ(spy.loads.size(), 1u) << tick;
    }
    graph()->onTimer_fileMonitor();
    ASSERT_EQ(spy.loads, (std::vector<bool>{true, true}));
    graph()->fileMonitor()->stop();
    EXPECT_EQ(graph()->dispTesterIdx(), 0) << "a fresh load chooses the first tester";
    EXPECT_EQ(graph()->grrMgr()->testerAt(unsigned(rowOf("T1")))->grr_result(), kGrrResult_fail);
    EXPECT_EQ(graph_grr::s_fileChangeCount, 0);

    // The log gains a row: a non-fresh reload that keeps the choice.
    chooseTester("T1");
    nktest::writeFile(log, std::string(kWorkedLog) + "SN1,T1,18,1.04,1.50,1,3\n");
    for (int tick = 1; tick <= 3; ++tick) graph()->onTimer_fileMonitor();
    EXPECT_EQ(spy.loads.size(), 2u);
    graph()->onTimer_fileMonitor();
    ASSERT_EQ(spy.loads, (std::vector<bool>{true, true, false}));
    graph()->fileMonitor()->stop();
    EXPECT_EQ(graph()->dispTesterIdx(), rowOf("T1"));
    EXPECT_EQ(graph()->grrMgr()->testerAt(unsigned(rowOf("T1")))->sampleAt(0)->test_count(), 4u);
    // Quiet ticks change nothing.
    for (int tick = 0; tick < 8; ++tick) graph()->onTimer_fileMonitor();
    EXPECT_EQ(spy.loads.size(), 3u);
    graph()->setEvtSink(page.get());
}

TEST_F(GrrPage, CrosshairContextMenuCopyAndExport) {
    makePage(criteria(0.2));
    nktest::writeFile(file("cell.csv"), "SerialNumber,TesterID,timeStamp,VOLT\nUpper Limit----->,,,\nSN1,GOLD_1,1,1.00\nSN1,GOLD_1,2,1.02\n"
                                        "SN1,CELL/5,3,1.05\nSN1,CELL/5,4,1.07\n");
    ASSERT_TRUE(drop({file("cell.csv")}));
    window->resize(900, 700);
    QCoreApplication::processEvents();
    chooseTester("CELL/5");
    graph()->render(true);
    const graph_grr::PlotFrame p = graph()->lastPlot();
    ASSERT_TRUE(p.drawn);
    const QPoint inside(int(p.x0 + p.size * 0.37), graph()->height() - int(p.y0 + p.size * 0.41));
    const double lineY = graph()->height() - inside.y();
    // The horizontal line left of the plot, where nothing else is drawn.
    auto lineAt = [&](const QImage& image) {
        int darkest = 255;
        for (int dy = -1; dy <= 1; ++dy) darkest = std::min(darkest, at(image, p.x0 - 3, lineY + dy).green());
        return darkest < 240;
    };
    auto crosshair = [&] { return lineAt(graph()->render(false)); };
    moveTo(inside);
    EXPECT_TRUE(crosshair());
    EXPECT_FALSE(lineAt(graph()->render(true))) << "a copy has no crosshair";
    // A right click: the menu, and no crosshair until a left release.
    QTest::mouseClick(graph(), Qt::RightButton, Qt::NoModifier, inside);
    ASSERT_NE(graph()->lastContextMenu(), nullptr);
    EXPECT_EQ(graph()->lastContextMenu()->title(), "Contextual Menu");
    const QList<QAction*> actions = graph()->lastContextMenu()->actions();
    ASSERT_EQ(actions.size(), 1);
    EXPECT_EQ(actions[0]->text(), "Copy Graph to ClipBoard");
    graph()->lastContextMenu()->hide();
    moveTo(inside);
    EXPECT_FALSE(crosshair());
    QTest::mouseClick(graph(), Qt::LeftButton, Qt::NoModifier, inside);
    EXPECT_TRUE(crosshair());

    // Copy: TIFF only, at the next drawing.
    page->OnMenu_command_shift_c(nullptr);
    EXPECT_TRUE(graph()->doCapture());
    graph()->repaint();
    EXPECT_FALSE(graph()->doCapture());
    const QImage fromClipboard = morvelltest::clipboardPicture();
    ASSERT_FALSE(fromClipboard.isNull());
    EXPECT_EQ(fromClipboard.size(), graph()->size());

    // Export: the tester's "/" stays inside the application's folder.
    QTest::mouseClick(page->button_save_image, Qt::LeftButton);
    EXPECT_EQ(graph()->imageFileName(), "CELL/5|VOLT");
    const std::string path = folders->application() + "/CELL_5|VOLT.jpeg";
    ASSERT_TRUE(fs::exists(path)) << path;
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    int status = -1;
    const std::string reply = nktest::runCommand(std::string(NK_PYTHON) + " -c \"from PIL import Image; im = Image.open('" +
                                                     path + "'); im.load(); print(im.format, im.size[0], im.size[1])\"",
                                                 &status);
    EXPECT_EQ(status, 0) << reply;
    EXPECT_EQ(reply, pf::number::text("JPEG2000 %d %d\n", graph()->width(), graph()->height()));
}

// The README's road: two cells' station statistics files copied into one folder,
// dropped together, judged with the criteria file the program ships.
std::string stationFile(const char* tester, const double (&tp)[3], const double (&unif)[3]) {
    std::string t = "CG Test,version=1.00.00_CGB,\n"
                    "SerialNumber,Test Pass/Fail Status,errCode,errStr,TesterID,config,timeStamp,StartTime,EndTime,"
                    "TestTime,Failing Items,T::TP_PCT_AVG_550,UNIF::INT_AVG,T::TP1_XPOS\n"
                    "Upper Limit ----->,,,,,,,,,,,95,,\nLower Limit ----->,,,,,,,,,,,85,,\n"
                    "Measurement Unit ----->,,,,,,,,,sec,,%,,\n";
    static int stamp = 700000000;
    for (int i = 0; i < 3; ++i)
        t += pf::number::text("SN01,PASS,0,,%s,,%d.000000,s,e,1.000,,%.2f,%.1f,%d\n", tester, stamp++, tp[i], unif[i], 10 + i);
    return t;
}

TEST_F(GrrPage, AStationRunFromCellFilesWithTheShippedCriteria) {
    nktest::writeFile(criteriaPath(), nktest::readFile(std::string(NK_TEST_DATA_DIR) + "/../../statistics/resources/Quastel.grrConfig.csv"));
    makePage("");
    ASSERT_EQ(graph()->criteriaFileName(), criteriaPath());
    fs::create_directories(file("grr"));
    nktest::writeFile(file("grr/gold.csv"), stationFile("GOLD_1", {90.00, 90.10, 89.90}, {120, 121, 119}));
    nktest::writeFile(file("grr/cell2.csv"), stationFile("CELL_2", {90.10, 90.20, 90.00}, {125, 126, 124}));
    ASSERT_TRUE(drop({file("grr/gold.csv"), file("grr/cell2.csv")}));
    EXPECT_TRUE(alerts.empty()) << alerts.front();
    EXPECT_TRUE(fs::exists(file("grr/_CSV_FILE_MERGED_.csv")));
    EXPECT_EQ(window->windowTitle(), "MORVELL v1.9.11 - Quastel GR&R sample criteria");
    EXPECT_EQ(items(), (std::vector<std::string>{"T::TP_PCT_AVG_550", "UNIF::INT_AVG"}));
    // TP_PCT_AVG_550 passes at +80 %; INT_AVG fails at +375 %, and with it the cell.
    const int cell = rowOf("CELL_2");
    ASSERT_GE(cell, 0);
    grr_tester* t = graph()->grrMgr()->testerAt(unsigned(cell));
    EXPECT_EQ(t->grr_result(), kGrrResult_fail);
    EXPECT_NEAR(t->grr_pct_err_max(), 375, 1e-6);
    EXPECT_EQ(button(cell)->backGroundColor().rgb(), QColor::fromRgbF(1, 0.4f, 0.2f).rgb());
    EXPECT_EQ(button(rowOf("GOLD_1"))->backGroundColor().rgb(), QColor::fromRgbF(1, 0.8f, 0).rgb());
    chooseTester("CELL_2");
    graph()->render(true);
    EXPECT_NE(graph()->summary_string_fom().find("GRR_PCT_ERR_MAX =      80.0%"), std::string::npos)
        << graph()->summary_string_fom();
}

// The seeded oracle log: golden GOLD_1 and five testers, one without golden
// samples, the criteria beside it; the page as a person sees it.
TEST_F(GrrPage, Screenshots) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir gen;
    grrtest::runOracle("gen 7 " + gen.path().string());
    std::string crit = nktest::readFile(gen.file("grr_criteria.csv"));
    makePage("Quastel GR&R sample,\n" + crit);
    const std::string log = file("grr_log.csv");
    fs::copy_file(gen.file("grr_log.csv"), log);
    ASSERT_TRUE(drop({log}));
    EXPECT_TRUE(alerts.empty()) << alerts.front();
    graph()->render(true);
    // Every tester of the oracle but the golden one is in the GR&R summary.
    for (const grrtest::Record& r : grrtest::runOracle("model " + log + " " + criteriaPath()))
        if (r.tag == "T" && r.f[0] != "GOLD_1" && r.f[0] != "ALL") {
            EXPECT_NE(graph()->summary_string_grr().find("TesterID: " + r.f[0] + " ["), std::string::npos) << r.f[0];
        }
    fs::create_directories(NK_SCREENSHOT_DIR);
    window->resize(900, 760);
    QCoreApplication::processEvents();
    chooseTester("T2");
    graph()->render(true);
    const graph_grr::PlotFrame p = graph()->lastPlot();
    moveTo(QPoint(int(p.x0 + p.size * 0.62), graph()->height() - int(p.y0 + p.size * 0.3)));
    page->onTimer();
    QCoreApplication::processEvents();
    ASSERT_TRUE(window->grab().toImage().save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_grr.png")));

    page->OnBtn_showSummary();
    page->onTimer();
    QCoreApplication::processEvents();
    ASSERT_TRUE(page->dialog_summary->grab().toImage().save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_grr_summary.png")));
    page->OnBtn_showSummary();
}

}  // namespace
