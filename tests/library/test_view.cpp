// Test-cell buttons, the automation grids and the test-session view, offscreen:
// what they draw is read back from their grabbed pictures, sessions run on their
// own threads and serve real loopback connections.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QRegularExpression>
#include <QTableView>
#include <QThread>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "net_test_util.h"
#include "nk_gui_test_util.h"
#include "nk_test_util.h"
#include "nk_testSession.h"
#include "nk_view.h"
#include "textview/pf_textview.h"

// An item that ends PASS, or FAIL when its script line says "fail".
class ViewTestItem : public CNK_testItem {
public:
    void registerDataSymbol() override {}
    void performTest(t_nkTestMode) override {
        setStatus(kNkTestStat_TESTING);
        const bool fail = std::find(_params.begin(), _params.end(), "fail") != _params.end();
        setStatus(fail ? kNkTestStat_FAIL : kNkTestStat_PASS);
    }
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header*, const u8*) override {}
};
NK_REGISTER_TEST_CLASS(ViewTestItem)

namespace {

class ViewSession : public CNK_testSession {
public:
    using CNK_testSession::CNK_testSession;
    ~ViewSession() override { shutdownAndWait(); }
    bool isReadyToTest(std::string& text) override {
        text = readyText;
        return ready;
    }
    void processNtcpPacket(const tNTCP_header*, const u8*) override {}
    bool ready = true;
    std::string readyText = "fixture ready";
};

bool waitGui(const std::function<bool()>& cond, int timeoutMs = 60000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Within one step of the expected colour on every channel.
::testing::AssertionResult colourIs(QRgb got, QColor want) {
    if (std::abs(qRed(got) - want.red()) <= 1 && std::abs(qGreen(got) - want.green()) <= 1 &&
        std::abs(qBlue(got) - want.blue()) <= 1)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << QColor(got).name().toStdString() << ", want "
                                         << want.name().toStdString();
}

const QColor kPassCell = QColor::fromRgbF(0.4f, 1.0f, 0.2f);
const QColor kFailCell = QColor::fromRgbF(1.0f, 0.4f, 0.2f);
const QColor kOtherCell = QColor::fromRgbF(0.8f, 0.8f, 0.8f);

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!nktest::guiApplication()) GTEST_SKIP() << "another test made a GUI application without widgets";
    }
    // A script of `count` items; the ones listed in `failing` end FAIL.
    std::string script(int count, std::vector<int> failing = {}) {
        std::string text = "[*** TestSetup ***]\nI0 class=ViewTestItem\n[*** Test&Cal ***]\n";
        for (int i = 1; i < count; ++i) {
            text += "I" + std::to_string(i) + " class=ViewTestItem";
            if (std::find(failing.begin(), failing.end(), i) != failing.end()) text += " fail";
            text += "\n";
        }
        const std::string path = dir.file("view" + std::to_string(++scripts) + ".zqs");
        nktest::writeFile(path, text);
        return path;
    }
    nktest::TempDir dir;
    int scripts = 0;
};

// The centre of cell i of a button, in its grabbed picture.
QPoint cellCentre(const QWidget* w, size_t n, size_t i) {
    const t_nkTestCellGeometry g = nk_btnTestCell::cellGeometry(n, w->width(), w->height());
    return QPoint(int(g.firstX + double(i) * g.pitch + g.side / 2), int(g.top + g.side / 2));
}

// ---------------------------------------------------------------- cell geometry

TEST(ViewCellGeometry, PitchSideAndPlaceFollowItemCountAndWidth) {
    struct Case {
        size_t n;
        double width, height;
        double pitch, side, radius, top, firstX;
    } cases[] = {
        {5, 200, 60, 24, 14.4, 7.2, 28, 44.8},       // room to spare: 24 apart, centred
        {1, 200, 60, 24, 14.4, 7.2, 28, 92.8},
        {30, 200, 60, 6, 3.6, 1.8, 46, 11.2},        // too many: 90 % of the width
        {1, 10, 40, 9, 5.4, 2.7, 23, 2.3},
        {100, 50, 40, 0.45, 0.27, 0.135, 31.55, 2.59},
        {11, 198, 80, 16.2, 9.72, 4.86, 55.8, 13.14},  // 0.9 * 198 / 11
        {2, 200, 40, 16, 9.6, 4.8, 16, 87.2},        // a low button: half its height above 8
    };
    for (const Case& c : cases) {
        const t_nkTestCellGeometry g = nk_btnTestCell::cellGeometry(c.n, c.width, c.height);
        SCOPED_TRACE(testing::Message() << c.n << " items in " << c.width << " x " << c.height);
        EXPECT_NEAR(g.pitch, c.pitch, 1e-9);
        EXPECT_NEAR(g.side, c.side, 1e-9);
        EXPECT_NEAR(g.radius, c.radius, 1e-9);
        EXPECT_NEAR(g.top, c.top, 1e-9);
        EXPECT_NEAR(g.firstX, c.firstX, 1e-9);
        // Centred: the gap left of the first cell and right of the last one match.
        const double lastRight = g.firstX + double(c.n - 1) * g.pitch + g.side;
        EXPECT_NEAR(g.firstX - 0.2 * g.pitch, c.width - lastRight - 0.2 * g.pitch, 1e-9);
    }
    for (const auto& [n, w, h] : {std::tuple<size_t, double, double>{0, 200, 60}, {3, 0, 60}, {3, -5, 60}, {3, 100, 0}})
        EXPECT_EQ(nk_btnTestCell::cellGeometry(n, w, h).pitch, 0.0) << n << " " << w << " " << h;
}

// ---------------------------------------------------------------- buttons

TEST_F(ViewTest, ButtonDrawsStatusColoursTitleAndTheTintWhileConnected) {
    ViewSession session(0, "S0", script(7));
    nk_btnTestCell button;
    QWidget* w = button.widget();
    w->resize(220, 70);
    EXPECT_EQ(button.title(), "TEST CELL");
    EXPECT_TRUE(button.statusList().empty()) << "unbound: no cells";
    button.setTestSession(&session);
    EXPECT_EQ(button.statusList().size(), 7u);
    const QImage before = w->grab().toImage();

    nettest::RawListener listener;
    const int client = nettest::rawConnect(listener.port);
    ASSERT_EQ(session.setSocket(listener.accept(), nullptr, kVL1), 0);
    // The connect handling (which resets the items) is over once it stamps the start.
    ASSERT_TRUE(nettest::waitFor([&] { return session.isNtcpRunning() && session._testStartTime.load() != kNK_noValue; }));

    // Every status, one per item, set on a thread of the session's side.
    std::thread([&] {
        for (size_t i = 0; i < 7; ++i) session._items[i]->setStatus(t_nkTestStat(i));
    }).join();
    ASSERT_TRUE(waitGui([&] { return button.statusList()[4] == kNkTestStat_PASS && button.statusList()[5] == kNkTestStat_FAIL; }));
    session.setCellTitle("Unit 7");
    EXPECT_EQ(button.title(), "Unit 7");
    const QImage connected = w->grab().toImage();
    for (size_t i = 0; i < 7; ++i) {
        const QColor want = i == kNkTestStat_PASS ? kPassCell : i == kNkTestStat_FAIL ? kFailCell : kOtherCell;
        EXPECT_TRUE(colourIs(connected.pixel(cellCentre(w, 7, i)), want)) << kNkTestStatStr[i];
    }

    // The tint: left of the cells, on the button's face.
    const t_nkTestCellGeometry g = nk_btnTestCell::cellGeometry(7, w->width(), w->height());
    const QPoint face(12, int(g.top + g.side / 2));
    const QRgb tinted = connected.pixel(face);
    EXPECT_LT(qBlue(tinted) + 6, qRed(tinted)) << QColor(tinted).name().toStdString() << " is not amber";

    // The tester leaves: the tint goes, the items are reset, the session's title stays.
    close(client);
    ASSERT_TRUE(nettest::waitFor([&] { return !session.isNtcpRunning(); }));
    ASSERT_TRUE(waitGui([&] { return button.statusList()[4] == kNkTestStat_NA; }));
    EXPECT_EQ(button.title(), "Unit 7");
    session.setCellTitle("");
    EXPECT_EQ(button.title(), "TEST CELL");
    const QImage after = w->grab().toImage();
    EXPECT_EQ(after.pixel(face), before.pixel(face)) << "no tint once closed";
    EXPECT_NE(after.pixel(face), tinted);
    for (size_t i = 0; i < 7; ++i) EXPECT_TRUE(colourIs(after.pixel(cellCentre(w, 7, i)), kOtherCell)) << i;
    button.setTestSession(nullptr);
}

TEST_F(ViewTest, ButtonIgnoresItemIndicesItDoesNotHave) {
    ViewSession session(0, "S0", script(3));
    nk_btnTestCell button;
    button.setTestSession(&session);
    session._items[2]->setStatus(kNkTestStat_FAIL);
    for (long bad : {-1L, 3L, 1000000L, std::numeric_limits<long>::max(), std::numeric_limits<long>::min()})
        button.onStatusUpdated_sIdx(0, bad);
    EXPECT_EQ(button.statusList(), (std::vector<t_nkTestStat>{kNkTestStat_NA, kNkTestStat_NA, kNkTestStat_FAIL}));
}

TEST_F(ViewTest, SixteenSessionsOnTheFortyEightButtonView) {
    std::vector<std::unique_ptr<ViewSession>> owned;
    std::vector<CNK_testSession*> sessions;
    const std::string path = script(4);
    for (int i = 0; i < 16; ++i) {
        owned.push_back(std::make_unique<ViewSession>(i, "S" + std::to_string(i), path));
        sessions.push_back(owned.back().get());
    }
    nk_view_automation_adv view;
    ASSERT_EQ(view._btn.size(), 48u);
    for (size_t i = 0; i < 48; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "btn_%02zu", i);
        EXPECT_EQ(view.view()->findChild<QWidget*>(QString::fromLatin1(name)), view._btn[i]->widget()) << name;
    }
    view.setTestSession(&sessions);
    for (size_t i = 0; i < 48; ++i) {
        EXPECT_EQ(view._btn[i]->testSession(), i < 16 ? sessions[i] : nullptr) << i;
        EXPECT_EQ(view._btn[i]->statusList().size(), i < 16 ? 4u : 0u) << i;
        EXPECT_EQ(view._btn[i]->title(), "TEST CELL");
    }

    // Each session reaches its own button only.
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&, i] { sessions[size_t(i)]->_items[size_t(i % 4)]->setStatus(kNkTestStat_PASS); });
    for (std::thread& t : threads) t.join();
    view.view()->resize(1200, 500);
    view.view()->show();
    ASSERT_TRUE(waitGui([&] { return view._btn[15]->statusList()[3] == kNkTestStat_PASS; }));
    const QImage grid = view.view()->grab().toImage();
    for (size_t i = 0; i < 16; ++i) {
        QWidget* w = view._btn[i]->widget();
        for (size_t item = 0; item < 4; ++item) {
            const QPoint at = w->mapTo(view.view(), cellCentre(w, 4, item));
            EXPECT_TRUE(colourIs(grid.pixel(at), item == i % 4 ? kPassCell : kOtherCell)) << i << " " << item;
        }
    }
    view.setTestSession(nullptr);
    for (nk_btnTestCell* b : view._btn) EXPECT_EQ(b->testSession(), nullptr);
}

TEST_F(ViewTest, EventsBeforeTheFirstPaintAndAcrossRebindingAndTeardown) {
    ViewSession a(0, "A", script(5)), b(1, "B", script(5));
    std::atomic<bool> stop{false};
    // Both sessions change their items all the time, as testers would.
    auto churn = [&stop](CNK_testSession* s, int seed) {
        return std::thread([&stop, s, seed] {
            for (unsigned n = unsigned(seed); !stop.load(); ++n) {
                const size_t item = n % s->_items.size();
                s->_items[item]->setStatus(n % 3 ? kNkTestStat_PASS : kNkTestStat_FAIL);
            }
        });
    };
    std::vector<std::thread> threads;
    threads.push_back(churn(&a, 0));
    threads.push_back(churn(&a, 1));
    threads.push_back(churn(&b, 2));

    // Buttons made, bound, rebound and destroyed under the events, some never painted.
    for (int round = 0; round < 60; ++round) {
        auto button = std::make_unique<nk_btnTestCell>();
        button->setTestSession(&a);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        button->setTestSession(&b);
        if (round % 2) {
            button->widget()->resize(150, 50);
            (void)button->widget()->grab();
        }
        QCoreApplication::processEvents();
        if (round % 3 == 0) delete button->widget();  // the window holding it went first
    }
    // A window deleting every button at once, then the view.
    {
        nk_view_automation view;
        std::vector<CNK_testSession*> list(16, &a);
        view.setTestSession(&list);
        QCoreApplication::processEvents();
        delete view.view();
    }
    stop = true;
    for (std::thread& t : threads) t.join();

    // At rest, a rebound button shows the new session's statuses only.
    nk_btnTestCell button;
    button.setTestSession(&a);
    button.setTestSession(&b);
    for (size_t i = 0; i < 5; ++i) a._items[i]->setStatus(kNkTestStat_FAIL);
    for (size_t i = 0; i < 5; ++i) b._items[i]->setStatus(i % 2 ? kNkTestStat_PASS : kNkTestStat_NA);
    QCoreApplication::processEvents();
    const std::vector<t_nkTestStat> shown = button.statusList();
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(shown[i], i % 2 ? kNkTestStat_PASS : kNkTestStat_NA) << i;
    button.widget()->resize(150, 50);
    const QImage img = button.widget()->grab().toImage();
    for (size_t i = 0; i < 5; ++i)
        EXPECT_TRUE(colourIs(img.pixel(cellCentre(button.widget(), 5, i)), i % 2 ? kPassCell : kOtherCell)) << i;
}

// ---------------------------------------------------------------- test-session view

struct SessionViewTest : ViewTest {
    template <typename W>
    W* find(nk_view_testSession& v, const char* name) {
        W* w = v.view()->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString text(nk_view_testSession& v, const char* name) { return find<QLabel>(v, name)->text(); }
    std::string pane(nk_view_testSession& v) { return v.textView()->view()->text(); }
    QRgb bannerColour(nk_view_testSession& v) { return find<QLabel>(v, "pass_fail_text")->grab().toImage().pixel(3, 3); }
    QAbstractItemModel* table(nk_view_testSession& v) { return find<QTableView>(v, "table_view")->model(); }
    QString row(nk_view_testSession& v, int r) { return table(v)->index(r, 0).data().toString(); }
};

TEST_F(SessionViewTest, BindingShowsReadinessAndItemsUnbindingClearsThem) {
    ViewSession ready(0, "S0", script(3)), notReady(1, "S1", script(2));
    notReady.ready = false;
    notReady.readyText = "no light source";
    nk_view_testSession v;
    v.view()->resize(640, 360);

    v.setTestSession(&ready);
    EXPECT_EQ(text(v, "status_text"), "[Standby]");
    EXPECT_EQ(text(v, "readiness_text"), "fixture ready");
    EXPECT_EQ(table(v)->rowCount(), 3);
    EXPECT_EQ(table(v)->headerData(0, Qt::Horizontal).toString(), "TestItem");
    EXPECT_EQ(row(v, 0), "I0");
    const QImage readyImage = find<QLabel>(v, "img_isReady")->pixmap().toImage();

    v.setTestSession(&notReady);
    EXPECT_EQ(text(v, "status_text"), "[Not Ready For Testing]");
    EXPECT_EQ(text(v, "readiness_text"), "no light source");
    EXPECT_EQ(table(v)->rowCount(), 2);
    const QImage notReadyImage = find<QLabel>(v, "img_isReady")->pixmap().toImage();
    const QRgb green = readyImage.pixel(8, 8), red = notReadyImage.pixel(8, 8);
    EXPECT_GT(qGreen(green), qRed(green) + 60);
    EXPECT_GT(qRed(red), qGreen(red) + 60);

    v.setTestSession(nullptr);
    EXPECT_EQ(text(v, "status_text"), "");
    EXPECT_EQ(text(v, "readiness_text"), "");
    EXPECT_TRUE(find<QLabel>(v, "img_isReady")->pixmap().isNull());
    EXPECT_EQ(table(v)->rowCount(), 0);
}

TEST_F(SessionViewTest, ARunEndsWithItsVerdictOnItsColour) {
    struct Case {
        t_nkTestMode mode;
        std::vector<int> failing;
        const char* verdict;
        QColor colour;
        const char* lastRow;
    } cases[] = {
        {kNkTestMode_PROD, {}, "PASS", QColor::fromRgbF(0, 1, 0), "I3 - Pass"},
        {kNkTestMode_COF, {2}, "COF", QColor::fromRgbF(1, 0.8f, 0), "I3 - Pass"},
        {kNkTestMode_PROD, {2}, "FAIL", QColor::fromRgbF(1, 0, 0), "I3"},  // a failure skips to the wrap-up
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verdict);
        ViewSession session(0, "S0", script(4, c.failing));
        nk_view_testSession v;
        v.view()->resize(640, 360);
        v.view()->show();
        v.setTestSession(&session);
        ASSERT_EQ(session.setupTestSession("SN" + std::string(c.verdict)), 0);
        EXPECT_TRUE(find<QLabel>(v, "pass_fail_text")->isHidden());
        ASSERT_EQ(session.performTest(c.mode), 0);
        ASSERT_TRUE(waitGui([&] { return text(v, "pass_fail_text") == c.verdict; }));
        EXPECT_FALSE(find<QLabel>(v, "pass_fail_text")->isHidden()) << "shown even after a run shorter than a blink";
        EXPECT_TRUE(colourIs(bannerColour(v), c.colour));
        EXPECT_TRUE(text(v, "status_text").startsWith("[SN: SN" + QString::fromLatin1(c.verdict) + "] - Completed [in "))
            << text(v, "status_text").toStdString();
        EXPECT_TRUE(find<QLabel>(v, "img_status")->pixmap().isNull());
        EXPECT_EQ(row(v, 0), "I0 - Pass");
        EXPECT_EQ(row(v, 3), c.lastRow);
        if (!c.failing.empty()) {
            EXPECT_EQ(row(v, 2), c.mode == kNkTestMode_COF ? "I2 - COF" : "I2 - Fail");
        }
        ASSERT_EQ(session.setupTestSession("next"), 0);  // joins the finished worker
        v.setTestSession(nullptr);
    }
}

TEST_F(SessionViewTest, ARunningTestBlinksAndCounts) {
    ViewSession session(0, "S0", script(2));
    nk_view_testSession v;
    v.view()->resize(640, 360);
    v.setTestSession(&session);
    session.setSerialNumber("C02RUN");
    session._testStartTime.store(nkTest_now() - 2.0);
    v.onTestBegin();
    ASSERT_TRUE(waitGui([&] { return text(v, "pass_fail_text") == "TESTING"; }));
    EXPECT_FALSE(find<QLabel>(v, "pass_fail_text")->isHidden());
    EXPECT_FALSE(find<QLabel>(v, "img_status")->pixmap().isNull());
    const QRgb first = bannerColour(v);
    // The other phase comes within a second.
    ASSERT_TRUE(waitGui([&] { return bannerColour(v) != first; }));
    const QRgb second = bannerColour(v);
    EXPECT_TRUE(colourIs(first, Qt::green) || colourIs(first, Qt::white));
    EXPECT_TRUE(colourIs(second, Qt::green) || colourIs(second, Qt::white));
    const QString status = text(v, "status_text");
    EXPECT_TRUE(status.startsWith("[SN: C02RUN] [")) << status.toStdString();
    const QRegularExpressionMatch seconds = QRegularExpression(QStringLiteral("\\[([0-9]+\\.[0-9]{3}) sec\\]$")).match(status);
    ASSERT_TRUE(seconds.hasMatch()) << status.toStdString();
    EXPECT_GE(seconds.captured(1).toDouble(), 2.0) << status.toStdString();
    v.onTestEnd();
    EXPECT_TRUE(find<QLabel>(v, "img_status")->pixmap().isNull());
    EXPECT_EQ(text(v, "pass_fail_text"), "PASS");
}

TEST_F(SessionViewTest, StatusIndicesOutsideTheTableChangeNothingAndANegativeOneIsStandby) {
    ViewSession session(0, "S0", script(3));
    nk_view_testSession v;
    v.setTestSession(&session);
    session._items[1]->setStatus(kNkTestStat_FAIL);
    ASSERT_TRUE(waitGui([&] { return row(v, 1) == "I1 - Fail"; }));
    for (long bad : {3L, 99L, std::numeric_limits<long>::max()}) v.onStatusUpdated(bad);
    EXPECT_EQ(table(v)->rowCount(), 3);
    EXPECT_EQ(row(v, 1), "I1 - Fail");

    v.onTestEnd();
    ASSERT_EQ(text(v, "pass_fail_text"), "FAIL");
    v.onStatusUpdated(-1);
    EXPECT_EQ(text(v, "status_text"), "[Standby]");
    EXPECT_EQ(text(v, "pass_fail_text"), "");
    EXPECT_TRUE(find<QLabel>(v, "pass_fail_text")->isHidden());
    EXPECT_EQ(text(v, "readiness_text"), "");
}

TEST_F(SessionViewTest, AnEarlierSessionReachesNothingOnceRebound) {
    ViewSession a(0, "A", script(2)), b(1, "B", script(2));
    nk_view_testSession v;
    v.setTestSession(&a);
    // Queued before the rebinding, handled after it: dropped.
    std::thread([&] {
        a._items[0]->setStatus(kNkTestStat_FAIL);
        a.onLogRelay("from A\n");
    }).join();
    v.setTestSession(&b);
    std::thread([&] {
        a._items[1]->setStatus(kNkTestStat_FAIL);
        a.onLogRelay("from A later\n");
        b.onLogRelay("from B\n");
    }).join();
    ASSERT_TRUE(waitGui([&] { return pane(v) == "from B\n"; }));
    EXPECT_EQ(row(v, 0), "I0");
    EXPECT_EQ(row(v, 1), "I1");
    // A run of A changes nothing either.
    ASSERT_EQ(a.setupTestSession("A1"), 0);
    ASSERT_EQ(a.performTest(kNkTestMode_PROD), 0);
    ASSERT_TRUE(nettest::waitFor([&] { return a.getStatus() != kNkTestStat_TESTING; }));
    ASSERT_EQ(a.setupTestSession("A2"), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(text(v, "status_text"), "[Standby]");
    EXPECT_TRUE(find<QLabel>(v, "pass_fail_text")->isHidden());
}

TEST_F(SessionViewTest, LogLinesFromSixteenThreadsArriveOnceInOrder) {
    ViewSession session(0, "S0", script(1));
    nk_view_testSession v;
    v.setTestSession(&session);
    constexpr int kThreads = 16, kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            char line[40];
            for (int i = 0; i < kLines; ++i) {
                std::snprintf(line, sizeof(line), "t%02d line %04d\n", t, i);
                session.onLogRelay(line);
            }
        });
    // Joined before the GUI thread handles any event: logging never waits for it.
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(waitGui([&] { return v.textView()->view()->lineCount() > kThreads * kLines; }));
    const std::string text = pane(v);
    EXPECT_EQ(nktest::splitLines(text).size(), size_t(kThreads * kLines));
    for (int t = 0; t < kThreads; ++t) {
        size_t at = 0;
        for (int i = 0; i < kLines; ++i) {
            char line[40];
            std::snprintf(line, sizeof(line), "t%02d line %04d\n", t, i);
            const size_t found = text.find(line, at);
            ASSERT_NE(found, std::string::npos) << line << "missing or out of order";
            at = found + 1;
        }
    }
}

TEST_F(SessionViewTest, Screenshot) {
    ViewSession session(3, "S3", script(8, {5}));
    nk_view_testSession v;
    v.view()->resize(720, 420);
    v.view()->show();
    v.setTestSession(&session);
    ASSERT_EQ(session.setupTestSession("C02XK1234ABC"), 0);
    ASSERT_EQ(session.performTest(kNkTestMode_COF), 0);
    ASSERT_TRUE(waitGui([&] { return text(v, "pass_fail_text") == "COF"; }));
    session.onLogRelay("*** I0 ***\nsetup done\n*** I5 ***\n[Err] value 3.2 above 3.0\n");
    ASSERT_TRUE(waitGui([&] { return pane(v).find("above") != std::string::npos; }));
    std::filesystem::create_directories(NK_SCREENSHOT_DIR);
    const QString path = QStringLiteral(NK_SCREENSHOT_DIR "/test_session_view.png");
    ASSERT_TRUE(v.view()->grab().save(path));
    const QImage back(path);
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(back.size(), v.view()->size());
    ASSERT_EQ(session.setupTestSession("next"), 0);
}

}  // namespace
