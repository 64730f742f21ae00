// The station window, offscreen: its buttons and fields pressed as an operator
// would, testers played by raw sockets on loopback.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QSettings>
#include <QImage>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "cvlra_ctcl.h"
#include "draw/pf_draw.h"
#include "net_test_util.h"
#include "nk_error.h"
#include "nk_graphics.h"
#include "nk_test_util.h"
#include "nk_view.h"
#include "station_peer.h"
#include "station_settings.h"
#include "textview/pf_textview.h"
#include "unit_tester.h"
#include "vdx.h"

namespace fs = std::filesystem;

namespace {

QApplication* application() {
    static int argc = 1;
    static char arg0[] = "nk_station_tests";
    static char* argv[] = {arg0, nullptr};
    if (!QCoreApplication::instance()) new QApplication(argc, argv);
    return qobject_cast<QApplication*>(QCoreApplication::instance());
}

// Run as one process, other tests draw charts before these, and drawing makes a GUI
// application without widgets when there is none. A run that includes a test of
// this file therefore makes the widget application before its first test.
class WidgetApplicationFirst : public ::testing::Environment {
public:
    void SetUp() override {
        const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
        for (int i = 0; i < unit.total_test_suite_count(); ++i) {
            const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
            for (int j = 0; j < suite.total_test_count(); ++j) {
                const ::testing::TestInfo& test = *suite.GetTestInfo(j);
                if (test.should_run() && std::string_view(test.file()) == __FILE__) {
                    application();
                    return;
                }
            }
        }
    }
};
[[maybe_unused]] ::testing::Environment* const g_widgetApplicationFirst =
    ::testing::AddGlobalTestEnvironment(new WidgetApplicationFirst);

bool waitGui(const std::function<bool()>& cond, int timeoutMs = 60000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs) return false;
        QTest::qWait(5);
    }
    return true;
}

// A chart drawn first, as the station's items draw theirs, leaves the window its application.
TEST(StationWindowFirst, DrawingBeforeTheWindowLeavesAWidgetApplication) {
    pf::draw::Context chart(16, 16);
    ASSERT_TRUE(chart.isValid());
    chart.drawText("T", 2, 12, 0);
    EXPECT_NE(application(), nullptr);
}

class StationWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(application(), nullptr) << "another test made a GUI application without widgets";
        logRoot = (dir.path() / "logs").string();
        fs::create_directories(logRoot);
        storePath = dir.file("defaults.ini");
    }
    void TearDown() override { app.reset(); }

    // A launched delegate with its window; `prepare` writes defaults before the window reads them.
    void start(const std::function<void(QSettings&)>& prepare = {}, StationSwitches switches = {}) {
        auto store = std::make_unique<QSettings>(QString::fromStdString(storePath), QSettings::IniFormat);
        if (prepare) prepare(*store);
        lumbrel::StationSettings settings;
        settings.logRoot = logRoot;
        settings.dataRoot = (dir.path() / "data").string();
        settings.scriptPath = NK_STATION_SCRIPT;
        app = std::make_unique<AppDelegate>(settings, switches);
        ASSERT_EQ(app->applicationDidFinishLaunching(), 0);
        app->createWindow(std::move(store));
        ASSERT_TRUE(app->hasWindow());
    }

    template <typename W>
    W* find(const char* name) {
        W* w = app->_window->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString title() { return find<QPushButton>("_cbtn_launch")->text(); }
    std::string pane() { return app->_ctxt_log->view()->text(); }
    void press(const char* name) { QTest::mouseClick(find<QAbstractButton>(name), Qt::LeftButton); }
    void setText(const char* name, const QString& text) {
        QLineEdit* f = find<QLineEdit>(name);
        f->setText(text);
    }
    QSettings stored() { return {QString::fromStdString(storePath), QSettings::IniFormat}; }

    nktest::TempDir dir;
    std::string logRoot;
    std::string storePath;
    std::unique_ptr<AppDelegate> app;
};

TEST_F(StationWindow, LaunchesOnAFreePortStopsAndRefusesBadPorts) {
    start();
    ASSERT_EQ(title(), "Launch Server");
    // Not a number, beyond 16 bits, a system port: none launches.
    for (const char* bad : {"abc", "70000", "80", "", "6000x"}) {
        setText("_ctxt_port", QString::fromLatin1(bad));
        press("_cbtn_launch");
        EXPECT_EQ(title(), "Launch Server") << bad;
        EXPECT_TRUE(find<QLineEdit>("_ctxt_port")->isEnabled());
    }
    ASSERT_TRUE(waitGui([&] { return pane().find("Server Launch Failed") != std::string::npos; }));

    for (int round = 0; round < 2; ++round) {
        const uint16_t port = nettest::freePort();
        setText("_ctxt_port", QString::number(port));
        press("_cbtn_launch");
        ASSERT_EQ(title(), "Stop Server") << round;
        EXPECT_FALSE(find<QLineEdit>("_ctxt_port")->isEnabled());
        EXPECT_EQ(stored().value("Server Port Number").toInt(), port);
        const int fd = nettest::rawConnect(port);
        EXPECT_GE(fd, 0);
        ASSERT_TRUE(nettest::waitFor([&] { return app->sessions()[0]->isNtcpRunning(); }));

        press("_cbtn_launch");
        // The close callback gives the title back from the listener's thread, through the GUI loop.
        ASSERT_TRUE(waitGui([&] { return title() == "Launch Server"; }));
        EXPECT_TRUE(find<QLineEdit>("_ctxt_port")->isEnabled());
        EXPECT_TRUE(nettest::seesEof(fd)) << "stopping closes the testers' links";
        close(fd);
        EXPECT_LT(nettest::rawConnect(port), 0);
    }
    EXPECT_TRUE(waitGui([&] { return pane().find("Data Server Stopped") != std::string::npos; }));
}

TEST_F(StationWindow, SixteenThreadsOfLogLinesReachThePaneOnceInOrder) {
    start();
    ASSERT_TRUE(QThread::currentThread() == application()->thread());
    constexpr int kThreads = 16, kLines = 1000;
    std::vector<std::thread> printers;
    for (int t = 0; t < kThreads; ++t)
        printers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) app->_lm->printText(kVL1, "relay t%02d line %04d", t, i);
        });
    // Joined before the GUI thread handles any event: a relay that waited for it would hang here.
    for (std::thread& p : printers) p.join();
    // Every thread's last line shown, then two more flushes that must add nothing.
    ASSERT_TRUE(waitGui(
        [&] {
            const std::string text = pane();
            for (int t = 0; t < kThreads; ++t) {
                char line[40];
                std::snprintf(line, sizeof(line), "relay t%02d line %04d\n", t, kLines - 1);
                if (text.find(line) == std::string::npos) return false;
            }
            return true;
        },
        60000));
    QTest::qWait(2 * 330 + 100);

    const std::string text = pane();
    for (int t = 0; t < kThreads; ++t) {
        size_t at = 0;
        for (int i = 0; i < kLines; ++i) {
            char line[40];
            std::snprintf(line, sizeof(line), "relay t%02d line %04d\n", t, i);
            const size_t found = text.find(line, at);
            ASSERT_NE(found, std::string::npos) << line << "missing or out of order";
            ASSERT_EQ(text.find(line, found + 1), std::string::npos) << line << "shown twice";
            at = found + 1;
        }
    }
    EXPECT_TRUE(QString::fromStdString(find<QLabel>("_txt_memUsage")->text().toStdString())
                    .contains(QRegularExpression(QStringLiteral("^Mem: [0-9]+\\.[0-9] MB$"))))
        << find<QLabel>("_txt_memUsage")->text().toStdString();
}

TEST_F(StationWindow, DefaultsAreWrittenAndTheFieldsShowTheStoredEndpoints) {
    struct Case {
        QVariant storedPort;
        QString expected;
    };
    for (const Case& c : std::vector<Case>{{QVariant(), "61804"}, {1023, "61804"}, {1024, "1024"}, {"abc", "61804"}}) {
        app.reset();
        fs::remove(storePath);
        start([&](QSettings& s) {
            if (c.storedPort.isValid()) s.setValue("Server Port Number", c.storedPort);
            s.setValue("VDX CA Server URL", "");
            s.setValue("VDX DS Get Server URL", "https://other.invalid:1");
        });
        EXPECT_EQ(find<QLineEdit>("_ctxt_port")->text(), c.expected) << c.storedPort.toString().toStdString();
        EXPECT_EQ(stored().value("Server Port Number").toString(), c.expected);
    }
    QSettings s = stored();
    EXPECT_EQ(s.value("VDX CA Server URL").toString(), lumbrel::kDefaultVdxCaUrl);
    EXPECT_EQ(s.value("VDX DS Set Server URL").toString(), lumbrel::kDefaultVdxDsUrl);
    EXPECT_EQ(s.value("VDX DS Get Server URL").toString(), "https://other.invalid:1");
    // The fields show the operator's stored endpoints (built-in ones where none was), and so do the sessions.
    EXPECT_EQ(find<QLineEdit>("_ctxt_vdxDsGetUrl")->text(), "https://other.invalid:1");
    EXPECT_EQ(find<QLineEdit>("_ctxt_vdxCaUrl")->text(), lumbrel::kDefaultVdxCaUrl);
    for (CVLRA_cg_testSession* session : app->sessions()) {
        const t_vlraOperatorSettings o = session->operatorSettings();
        EXPECT_EQ(o.vdxCaUrl, lumbrel::kDefaultVdxCaUrl);
        EXPECT_EQ(o.vdxDsGetUrl, "https://other.invalid:1");
        EXPECT_EQ(o.vdxTrustObjectUrl, lumbrel::kDefaultVdxTrustObjectUrl);
        EXPECT_TRUE(o.isHubrEnabled);
        EXPECT_FALSE(o.isDevelopmentMode);
        EXPECT_FALSE(o.vdxUploadOnFail);
        EXPECT_TRUE(o.vdxDryRunPath.empty());
    }
    EXPECT_EQ(app->_window->windowTitle().toStdString(), std::string("Lumbrel IQC ") + lumbrel_version());
    QComboBox* level = find<QComboBox>("_ccmb_vdxLogLevel");
    ASSERT_EQ(level->count(), 8);
    EXPECT_EQ(level->currentText(), "LOG_WARNING");
    EXPECT_EQ(level->itemText(7), "LOG_DEBUG");
    for (const char* hidden :
         {"_cbtn_vdxManualSet", "_cbtn_vdxDryrun", "_cbtn_vdxTestSet", "_cbtn_hubrEnable", "_cbtn_vdxUploadOnFail",
          "_cbtn_devMode"})
        EXPECT_TRUE(find<QWidget>(hidden)->isHidden()) << hidden;
    EXPECT_NE(pane().size() + app->takeLogString().size(), 0u);
}

TEST_F(StationWindow, ConfigurationSheetOpensOnceAndAppliesItsFourEndpoints) {
    start();
    app->_window->show();
    QDialog* sheet = find<QDialog>("_cdlg_config");
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    press("_cbtn_config");
    press("_cbtn_config");
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(app->_cdlg_isOpen_config);
    EXPECT_EQ(app->_window->findChildren<QDialog*>().size(), 1);

    const std::pair<const char*, const char*> fields[] = {
        {"_ctxt_vdxCaUrl", "https://ca.test.invalid:8443"},
        {"_ctxt_vdxDsSetUrl", "https://set.test.invalid:8443"},
        {"_ctxt_vdxDsGetUrl", "https://get.test.invalid:8443"},
        {"_ctxt_vdxTrObjUrl", "http://trust.test.invalid:8080/vdxtrustobject"},
    };
    for (const auto& [name, url] : fields) setText(name, QString::fromLatin1(url));
    press("_cbtn_configClose");
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_FALSE(app->_cdlg_isOpen_config);
    for (CVLRA_cg_testSession* session : app->sessions()) {
        const t_vlraOperatorSettings o = session->operatorSettings();
        EXPECT_EQ(o.vdxCaUrl, fields[0].second);
        EXPECT_EQ(o.vdxDsSetUrl, fields[1].second);
        EXPECT_EQ(o.vdxDsGetUrl, fields[2].second);
        EXPECT_EQ(o.vdxTrustObjectUrl, fields[3].second);
    }
    QSettings s = stored();
    EXPECT_EQ(s.value("VDX CA Server URL").toString(), fields[0].second);
    EXPECT_EQ(s.value("VDX DS Set Server URL").toString(), fields[1].second);
    EXPECT_EQ(s.value("VDX DS Get Server URL").toString(), fields[2].second);
    EXPECT_EQ(s.value("VDX TrustObject Server URL").toString(), fields[3].second);

    // Escape ends the sheet as its close button does, so it opens again.
    press("_cbtn_config");
    ASSERT_TRUE(sheet->isVisible());
    QTest::keyClick(sheet, Qt::Key_Escape);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_FALSE(app->_cdlg_isOpen_config);
}

TEST_F(StationWindow, SwitchesReachAllSixteenSessions) {
    start();
    app->_window->show();
    auto all = [&](const std::function<bool(const t_vlraOperatorSettings&)>& pred) {
        int n = 0;
        for (CVLRA_cg_testSession* session : app->sessions()) n += pred(session->operatorSettings());
        return n == AppDelegate::kSessionCount;
    };
    const char* const devSwitches[] = {"_cbtn_vdxManualSet", "_ctxt_vdxBinPathInput", "_cbtn_vdxDryrun",
                                       "_cbtn_vdxTestSet", "_cbtn_hubrEnable"};

    find<QCheckBox>("_cbtn_devMode")->setChecked(true);
    app->OnBtn_devMode();
    EXPECT_TRUE(app->_isDevelopmentMode);
    EXPECT_EQ(find<QLabel>("_txt_testInfo")->text(), "!!! Development Mode !!!");
    for (const char* name : devSwitches) EXPECT_TRUE(find<QWidget>(name)->isVisible()) << name;
    EXPECT_TRUE(all([](const auto& o) { return o.isDevelopmentMode; }));

    struct Case {
        const char* box;
        bool on;
        std::function<bool(const t_vlraOperatorSettings&)> holds;
    };
    const std::string root = logRoot;
    const std::vector<Case> cases = {
        {"_cbtn_hubrEnable", false, [](const auto& o) { return !o.isHubrEnabled; }},
        {"_cbtn_hubrEnable", true, [](const auto& o) { return o.isHubrEnabled; }},
        {"_cbtn_vdxDryrun", true, [&](const auto& o) { return o.vdxDryRunPath == root; }},
        {"_cbtn_vdxDryrun", false, [](const auto& o) { return o.vdxDryRunPath.empty(); }},
        {"_cbtn_vdxUploadOnFail", true, [](const auto& o) { return o.vdxUploadOnFail; }},
        {"_cbtn_vdxUploadOnFail", false, [](const auto& o) { return !o.vdxUploadOnFail; }},
    };
    for (const Case& c : cases) {
        QCheckBox* box = find<QCheckBox>(c.box);
        box->setVisible(true);
        if (box->isChecked() != c.on) box->click();
        ASSERT_EQ(box->isChecked(), c.on);
        EXPECT_TRUE(all(c.holds)) << c.box << " " << c.on;
    }

    QCheckBox* random = find<QCheckBox>("_cbtn_vdxTestOnRandomData");
    random->click();
    EXPECT_FALSE(find<QLineEdit>("_ctxt_vdxSnInput")->isEnabled());
    EXPECT_TRUE(find<QLineEdit>("_ctxt_vdxBinPathInput")->isReadOnly());
    random->click();
    EXPECT_TRUE(find<QLineEdit>("_ctxt_vdxSnInput")->isEnabled());
    EXPECT_FALSE(find<QLineEdit>("_ctxt_vdxBinPathInput")->isReadOnly());

    find<QCheckBox>("_cbtn_devMode")->setChecked(false);
    app->OnBtn_devMode();
    EXPECT_EQ(find<QLabel>("_txt_testInfo")->text(), "");
    for (const char* name : devSwitches) EXPECT_TRUE(find<QWidget>(name)->isHidden()) << name;
    EXPECT_TRUE(all([](const auto& o) { return !o.isDevelopmentMode; }));
    ASSERT_TRUE(waitGui([&] { return pane().find("*** VDX Use Random Data for Testing") != std::string::npos; }));
    EXPECT_NE(pane().find("*** VDX Enable Upload on Failure"), std::string::npos);
}

TEST_F(StationWindow, ClosingStoresThePortAndThreeEndpoints) {
    start();
    setText("_ctxt_port", "40404");
    setText("_ctxt_vdxCaUrl", "https://ca.closing.invalid");
    setText("_ctxt_vdxDsSetUrl", "https://set.closing.invalid");
    setText("_ctxt_vdxDsGetUrl", "https://get.closing.invalid");
    setText("_ctxt_vdxTrObjUrl", "http://trust.closing.invalid/vdxtrustobject");
    app->applicationWillTerminate();
    EXPECT_FALSE(app->hasWindow());
    QSettings s = stored();
    EXPECT_EQ(s.value("Server Port Number").toString(), "40404");
    EXPECT_EQ(s.value("VDX CA Server URL").toString(), "https://ca.closing.invalid");
    EXPECT_EQ(s.value("VDX DS Set Server URL").toString(), "https://set.closing.invalid");
    EXPECT_EQ(s.value("VDX TrustObject Server URL").toString(), "http://trust.closing.invalid/vdxtrustobject");
    // The data-store "get" endpoint is not stored at the end.
    EXPECT_EQ(s.value("VDX DS Get Server URL").toString(), lumbrel::kDefaultVdxDsUrl);
}

TEST_F(StationWindow, TheOperatorsEndpointsAndPortSurviveARestart) {
    start();
    setText("_ctxt_port", "40405");
    setText("_ctxt_vdxCaUrl", "https://ca.operator.invalid");
    setText("_ctxt_vdxDsSetUrl", "https://set.operator.invalid");
    setText("_ctxt_vdxTrObjUrl", "http://trust.operator.invalid/vdxtrustobject");
    app->applicationWillTerminate();
    app.reset();
    start();
    EXPECT_EQ(find<QLineEdit>("_ctxt_port")->text(), "40405");
    EXPECT_EQ(find<QLineEdit>("_ctxt_vdxCaUrl")->text(), "https://ca.operator.invalid");
    EXPECT_EQ(find<QLineEdit>("_ctxt_vdxDsSetUrl")->text(), "https://set.operator.invalid");
    EXPECT_EQ(find<QLineEdit>("_ctxt_vdxTrObjUrl")->text(), "http://trust.operator.invalid/vdxtrustobject");
    EXPECT_EQ(app->sessions()[15]->operatorSettings().vdxDsSetUrl, "https://set.operator.invalid");
    // Closed again untouched, they are still the operator's.
    app->applicationWillTerminate();
    EXPECT_EQ(stored().value("VDX CA Server URL").toString(), "https://ca.operator.invalid");
}

TEST_F(StationWindow, APortOnTheCommandLineIsTheOneTheWindowShows) {
    for (const bool given : {true, false}) {
        app.reset();
        auto store = std::make_unique<QSettings>(QString::fromStdString(storePath), QSettings::IniFormat);
        store->setValue("Server Port Number", 50505);
        std::vector<std::string> args = {"--log-root", logRoot, "--data-root", (dir.path() / "data").string()};
        if (given) args.insert(args.end(), {"--port", "40406"});
        const lumbrel::CommandLine cmd = lumbrel::parseCommandLine(args);
        lumbrel::StationSettings settings = lumbrel::resolveSettings(cmd, *store);
        settings.scriptPath = NK_STATION_SCRIPT;
        app = std::make_unique<AppDelegate>(settings, StationSwitches{});
        ASSERT_EQ(app->applicationDidFinishLaunching(), 0);
        app->createWindow(std::move(store));
        EXPECT_EQ(find<QLineEdit>("_ctxt_port")->text(), given ? "40406" : "50505");
    }
}

TEST_F(StationWindow, TerminatesWithSixteenTestersConnectedAndAToolRunning) {
    start();
    const uint16_t port = nettest::freePort();
    setText("_ctxt_port", QString::number(port));
    press("_cbtn_launch");
    ASSERT_EQ(title(), "Stop Server");

    std::vector<int> testers;
    for (int t = 0; t < AppDelegate::kSessionCount; ++t) {
        const int fd = nettest::rawConnect(port);
        ASSERT_GE(fd, 0);
        testers.push_back(fd);
        const stationtest::Reply r = stationtest::exchange(
            fd, "tscr", 1, stationtest::tscrPayload("Cell" + std::to_string(t), uint8_t(t), "FVH1234567890ABCDEF"));
        EXPECT_TRUE(r.ok) << t;
    }
    for (CVLRA_cg_testSession* session : app->sessions()) EXPECT_TRUE(session->isNtcpRunning());

    std::atomic<int> rounds{0};
    ASSERT_TRUE(app->startTool([&](const std::atomic<bool>& stop) {
        while (!stop.load()) {
            app->_lm->printText(kVL1, "tool round %d on %zu sessions", rounds.load(), app->sessions().size());
            ++rounds;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }));
    EXPECT_FALSE(app->startTool([](const std::atomic<bool>&) {})) << "one tool at a time";
    ASSERT_TRUE(nettest::waitFor([&] { return rounds.load() > 5; }));

    app->applicationWillTerminate();
    EXPECT_FALSE(app->isThreadRunning());
    EXPECT_TRUE(app->sessions().empty());
    for (int fd : testers) {
        EXPECT_TRUE(nettest::seesEof(fd));
        close(fd);
    }
    QTest::qWait(50);  // a queued reset for a window that is gone is dropped
}

TEST_F(StationWindow, ParseButtonsWriteIntoTheLogRoot) {
    start();
    const std::string packet = dir.file("p_atst.bin");
    // One point, one sample.
    std::string bytes(1, '\1');
    bytes += std::string("\0\1\0\0\0", 5) + std::string(12, '\0');
    const float sample[4] = {400.0f, 1.0f, 11.0f, 6.0f};
    bytes.append(reinterpret_cast<const char*>(sample), sizeof(sample));
    nktest::writeFile(packet, bytes);
    setText("_ctxt_atstBin", QString::fromStdString(packet));
    press("_cbtn_parseAtst");
    EXPECT_NE(nktest::readFile(logRoot + "/raw_tp0.csv").find("transmittance, 50.000000, \n"), std::string::npos);

    const std::string unif = dir.file("p_unif.bin");
    std::string image(21, '\0');
    image[0] = 2;
    image[2] = 2;
    image += "\x10\x20\x30\x40";
    nktest::writeFile(unif, image);
    setText("_ctxt_unifBin", QString::fromStdString(unif));
    press("_cbtn_parseUnif");
    int bmps = 0;
    for (const auto& e : fs::directory_iterator(logRoot)) bmps += e.path().string().ends_with("_unif.bmp");
    EXPECT_EQ(bmps, 1);
    ASSERT_TRUE(waitGui([&] { return pane().find(" *** Total Test Points 1") != std::string::npos; }));
}

// The colour a test cell draws for an item status.
QColor cellColour(t_nkTestStat st) {
    if (st == kNkTestStat_PASS) return QColor::fromRgbF(0.4f, 1.0f, 0.2f);
    if (st == kNkTestStat_FAIL) return QColor::fromRgbF(1.0f, 0.4f, 0.2f);
    return QColor::fromRgbF(0.8f, 0.8f, 0.8f);
}

bool near(QRgb got, const QColor& want) {
    return std::abs(qRed(got) - want.red()) <= 1 && std::abs(qGreen(got) - want.green()) <= 1 &&
           std::abs(qBlue(got) - want.blue()) <= 1;
}

// How far apart two colours are: the sum of their channels' differences.
int distance(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
}

struct StationCells : StationWindow {
    nk_btnTestCell* button(size_t i) { return app->_automation->_btn.at(i); }
    // Item j's cell centre and a spot on the face left of the cells, in the window's picture.
    QPoint itemAt(size_t i, size_t j) {
        QWidget* w = button(i)->widget();
        const t_nkTestCellGeometry g = nk_btnTestCell::cellGeometry(button(i)->statusList().size(), w->width(), w->height());
        return w->mapTo(app->_window, QPoint(int(g.firstX + double(j) * g.pitch + g.side / 2), int(g.top + g.side / 2)));
    }
    QPoint faceAt(size_t i) {
        QWidget* w = button(i)->widget();
        const t_nkTestCellGeometry g = nk_btnTestCell::cellGeometry(button(i)->statusList().size(), w->width(), w->height());
        return w->mapTo(app->_window, QPoint(12, int(g.top + g.side / 2)));
    }
    QImage picture() { return app->_window->grab().toImage(); }
    uint16_t launch() {
        const uint16_t port = nettest::freePort();
        setText("_ctxt_port", QString::number(port));
        press("_cbtn_launch");
        EXPECT_EQ(title(), "Stop Server");
        return port;
    }
};

TEST_F(StationCells, TheCellsAreTheSixteenSessionsInOrder) {
    start();
    ASSERT_NE(app->_automation, nullptr);
    EXPECT_EQ(find<QWidget>("_view_automation")->findChild<QWidget*>("nk_view_automation"), app->_automation->view());
    ASSERT_EQ(app->_automation->_btn.size(), size_t(AppDelegate::kSessionCount));
    for (size_t i = 0; i < app->_automation->_btn.size(); ++i) {
        EXPECT_EQ(button(i)->testSession(), app->sessions()[i]) << i;
        EXPECT_EQ(button(i)->statusList().size(), app->sessions()[i]->_items.size()) << i;
        EXPECT_EQ(button(i)->title(), "TEST CELL");
    }
}

TEST_F(StationCells, CellZeroShowsItsTesterAndTheTintGoesAtItsClose) {
    start();
    app->_window->show();
    const uint16_t port = launch();
    CVLRA_cg_testSession* s0 = app->sessions()[0];
    const size_t n = s0->_items.size();
    ASSERT_GT(n, 1u);
    const QImage idle = picture();
    for (size_t j = 0; j < n; ++j) EXPECT_TRUE(near(idle.pixel(itemAt(0, j)), cellColour(kNkTestStat_NA))) << j;

    const int fd = nettest::rawConnect(port);
    ASSERT_GE(fd, 0);
    const stationtest::Reply r =
        stationtest::exchange(fd, "tscr", 1, stationtest::tscrPayload("Cell0", 0, "FVH1234567890ABCDEF"));
    EXPECT_TRUE(r.ok);
    const t_nkTestStat setup = s0->_items[0]->testStatus();
    ASSERT_TRUE(setup == kNkTestStat_PASS || setup == kNkTestStat_FAIL) << kNkTestStatStr[setup];
    ASSERT_TRUE(waitGui([&] { return button(0)->statusList()[0] == setup; }));
    const QImage served = picture();
    EXPECT_TRUE(near(served.pixel(itemAt(0, 0)), cellColour(setup)));
    for (size_t j = 1; j < n; ++j)
        EXPECT_TRUE(near(served.pixel(itemAt(0, j)), cellColour(s0->_items[j]->testStatus()))) << j;
    const QRgb tinted = served.pixel(faceAt(0));
    EXPECT_GE(distance(tinted, idle.pixel(faceAt(0))), 60) << "a connected cell stands out at a glance: "
                                                          << QColor(tinted).name().toStdString() << " on "
                                                          << QColor(idle.pixel(faceAt(0))).name().toStdString();
    EXPECT_LT(qBlue(tinted) + 6, qRed(tinted)) << QColor(tinted).name().toStdString() << " is not amber";
    // The other cells have no tester.
    for (size_t i = 1; i < 16; ++i) EXPECT_EQ(served.pixel(faceAt(i)), idle.pixel(faceAt(i))) << i;

    close(fd);
    ASSERT_TRUE(nettest::waitFor([&] { return !s0->isNtcpRunning(); }));
    ASSERT_TRUE(waitGui([&] { return button(0)->statusList()[0] == kNkTestStat_NA; }));
    const QImage closed = picture();
    EXPECT_EQ(closed.pixel(faceAt(0)), idle.pixel(faceAt(0))) << "the tint goes at the close";
    for (size_t j = 0; j < n; ++j) EXPECT_TRUE(near(closed.pixel(itemAt(0, j)), cellColour(kNkTestStat_NA))) << j;
}

TEST_F(StationCells, TheCellNamesItsUnitThenItsVerdictUntilTheNextUnit) {
    StationSwitches switches;
    switches.hubrEnabled = false;
    switches.repositoryDryRun = true;
    start({}, switches);
    app->_window->show();
    const uint16_t port = launch();
    const std::string first = stationtest::serial("Q2A5", "ABC", "JK1"), second = stationtest::serial("Q2A5", "ABC", "JK2");
    const QString unit = QString::fromStdString("Cell7_3\n" + first);
    const QString verdict = QString::fromStdString("Cell7_3  bin F\n" + first);

    int fd = nettest::rawConnect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(stationtest::exchange(fd, "tscr", 1, stationtest::tscrPayload("Cell7", 3, first)).ok);
    EXPECT_EQ(QString::fromStdString(button(0)->title()), unit);
    // Only "tscr": the unit is incomplete and bins F.
    const stationtest::PostReply post = stationtest::postReply(stationtest::exchange(fd, "tsed", 2, nettest::Bytes{1}));
    ASSERT_TRUE(post.ok);
    EXPECT_EQ(post.bin, 'F');
    EXPECT_TRUE(nettest::seesEof(fd));
    close(fd);
    ASSERT_TRUE(nettest::waitFor([&] { return !app->sessions()[0]->isNtcpRunning(); }));
    ASSERT_TRUE(waitGui([&] { return button(0)->statusList()[0] == kNkTestStat_NA; }));
    // The items were reset at the close; the verdict stays on the button.
    EXPECT_EQ(QString::fromStdString(button(0)->title()), verdict);
    for (size_t i = 1; i < 16; ++i) EXPECT_EQ(button(i)->title(), "TEST CELL") << i;

    // A new link alone changes nothing; the next unit's "tscr" does.
    fd = nettest::rawConnect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(nettest::waitFor([&] { return app->sessions()[0]->isNtcpRunning(); }));
    EXPECT_EQ(QString::fromStdString(button(0)->title()), verdict);
    ASSERT_TRUE(stationtest::exchange(fd, "tscr", 1, stationtest::tscrPayload("Cell7", 3, second)).ok);
    EXPECT_EQ(button(0)->title(), "Cell7_3\n" + second);
    close(fd);
}

TEST_F(StationCells, RefusedPacketsTellTheirReasonInTheWindowLog) {
    start();
    const uint16_t port = launch();
    const int fd = nettest::rawConnect(port);
    ASSERT_GE(fd, 0);
    // No unit yet, then a unit and a transmittance packet of one sample below the range.
    EXPECT_EQ(stationtest::exchange(fd, "atst", 1, stationtest::atstPayload(1)).header.errc, kNKErr_invalidCondition);
    ASSERT_TRUE(stationtest::exchange(fd, "tscr", 2, stationtest::tscrPayload("Cell4", 9, stationtest::serial("Q2A5"))).ok);
    nettest::Bytes tiny = {1, 1};
    nettest::putLe(tiny, 1, 4);  // one sample
    const auto putFloat = [&](float f) {
        u32 v;
        std::memcpy(&v, &f, 4);
        nettest::putLe(tiny, v, 4);
    };
    for (const float f : {1.5f, -2.0f, 0.25f, 100.0f, 1.0f, 11.0f, 6.0f}) putFloat(f);
    // The verdict leads the reply's body, or is the transport code.
    const stationtest::Reply r = stationtest::exchange(fd, "atst", 3, tiny);
    ASSERT_TRUE(r.ok);
    const u16 code = r.header.errc != 0 ? r.header.errc : stationtest::postReply(r).code;
    ASSERT_NE(code, 0);
    ASSERT_NE(code, 0xFFFF);
    close(fd);
    const std::string noUnit = std::string("[session 0] 'atst' failed: ") + std::to_string(kNKErr_invalidCondition) +
                               " " + nkError_getErrorString(kNKErr_invalidCondition);
    const std::string refused =
        "[T9] 'atst' failed: " + std::to_string(code) + " " + nkError_getErrorString(code);
    EXPECT_TRUE(waitGui([&] {
        const std::string p = pane();
        return p.find(noUnit) != std::string::npos && p.find(refused) != std::string::npos;
    })) << noUnit << "\n" << refused << "\n" << pane();
}

TEST_F(StationCells, ScreenshotOfSixteenCellsAfterABatchOfUnits) {
    StationSwitches switches;
    switches.repositoryDryRun = true;
    switches.hubrEnabled = false;
    start({}, switches);
    app->_window->show();
    const uint16_t port = launch();
    // Cells 0 to 5 measure whole units, the even ones with their repository
    // record (they pass), the odd ones without (they fail); cells 6 to 13 send
    // only "tscr" and "tsed" (incomplete: they fail); cells 14 and 15 keep their
    // tester mid-unit. A tester holds its link until every link is open, so
    // that tester k is cell k.
    constexpr int kWhole = 6, kShort = 8, kOpen = 2;
    std::vector<int> links;
    for (int t = 0; t < kWhole + kShort + kOpen; ++t) {
        links.push_back(nettest::rawConnect(port));
        ASSERT_GE(links.back(), 0);
        ASSERT_TRUE(nettest::waitFor([&] { return app->sessions()[size_t(t)]->isNtcpRunning(); })) << t;
    }
    std::vector<std::string> serials;
    for (int t = 0; t < kWhole + kShort + kOpen; ++t)
        serials.push_back(stationtest::serial("Q2A5", "AB" + std::string(1, char('A' + t)), "JKL"));
    std::vector<char> bins(16, 0);
    std::atomic<int> finished{0};
    std::vector<std::thread> testers;
    for (int t = 0; t < kWhole + kShort; ++t)
        testers.emplace_back([&, t] {
            const std::string cell = "Line" + std::to_string(t % 2 + 1);
            const std::string& sn = serials[size_t(t)];
            const auto record = [&] {
                if (t % 2 == 0) stationtest::writeDryRunRecord(logRoot, cell, sn);
            };
            const stationtest::UnitReplies u =
                stationtest::sendUnit(links[size_t(t)], cell, u8(t), sn, t < kWhole, record);
            bins[size_t(t)] = u.post.bin;
            ++finished;
        });
    for (int t = kWhole + kShort; t < kWhole + kShort + kOpen; ++t)
        ASSERT_TRUE(stationtest::exchange(links[size_t(t)], "tscr", 1,
                                          stationtest::tscrPayload("Line3", u8(t), serials[size_t(t)])).ok);
    const bool done = waitGui([&] { return finished.load() == kWhole + kShort; }, 240000);
    for (std::thread& t : testers) t.join();
    ASSERT_TRUE(done);
    for (int t = 0; t < kWhole + kShort; ++t) {
        EXPECT_EQ(bins[size_t(t)], t < kWhole && t % 2 == 0 ? 'P' : 'F') << t;
        ASSERT_TRUE(waitGui([&] { return !button(size_t(t))->isConnected(); })) << t;
        const std::string cell = "Line" + std::to_string(t % 2 + 1) + "_" + std::to_string(t);
        EXPECT_EQ(button(size_t(t))->title(), cell + "  bin " + bins[size_t(t)] + "\n" + serials[size_t(t)]) << t;
    }
    ASSERT_TRUE(waitGui([&] {
        for (size_t i = 0; i < 16; ++i)
            for (size_t j = 0; j < app->sessions()[i]->_items.size(); ++j)
                if (button(i)->statusList()[j] != app->sessions()[i]->_items[j]->testStatus()) return false;
        return true;
    }));
    // The cells are painted at the window's next refresh.
    QImage shot;
    EXPECT_TRUE(waitGui([&] {
        shot = picture();
        for (size_t i = 0; i < 16; ++i)
            if (!near(shot.pixel(itemAt(i, 0)), cellColour(app->sessions()[i]->_items[0]->testStatus()))) return false;
        return true;
    }));
    fs::create_directories(NK_SCREENSHOT_DIR);
    const QString path = QStringLiteral(NK_SCREENSHOT_DIR "/station_window.png");
    ASSERT_TRUE(shot.save(path));
    EXPECT_EQ(QImage(path).size(), shot.size());
    // The two testers mid-unit stand out from the finished cells; their setup cell shows its verdict.
    for (size_t i = 14; i < 16; ++i) {
        EXPECT_GE(distance(shot.pixel(faceAt(i)), shot.pixel(faceAt(0))), 60) << i;
        EXPECT_TRUE(near(shot.pixel(itemAt(i, 0)), cellColour(app->sessions()[i]->_items[0]->testStatus()))) << i;
    }
    // Status cells large enough to read at a glance.
    const t_nkTestCellGeometry g = nk_btnTestCell::cellGeometry(button(0)->statusList().size(), button(0)->widget()->width(),
                                                                button(0)->widget()->height());
    EXPECT_GE(g.side, 12.0);
    for (size_t i = 14; i < 16; ++i) close(links[i]);
    for (int t = 0; t < kWhole + kShort; ++t) close(links[size_t(t)]);
}

TEST_F(StationWindow, CalibrationButtonRunsOnTheToolThreadAndShowsAgainAtItsEnd) {
    start();
    QPushButton* button = find<QPushButton>("_cbtn_calcA");
    ASSERT_TRUE(button->isEnabled());
    setText("_ctxt_calcABin", QString::fromStdString(dir.file("no-such-cell")));
    press("_cbtn_calcA");
    ASSERT_TRUE(waitGui([&] { return !app->isThreadRunning() && button->text() == "CalcA Path ERR!"; }));
    EXPECT_FALSE(button->isHidden());
    // A second run while one is busy does not start.
    ASSERT_TRUE(app->startTool([&](const std::atomic<bool>& stop) {
        while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }));
    press("_cbtn_calcA");
    ASSERT_TRUE(waitGui([&] { return pane().find("the calibration did not start") != std::string::npos; }));
    app->joinTool();
}

// The repository stand-in's store on a local folder, and the window's fields
// pointing the tools at it. A record may be a gate: a named pipe that the tool's
// download reads only once the test writes the record into it.
struct RepositoryTools : StationWindow {
    fs::path store, data;

    void SetUp() override {
        StationWindow::SetUp();
        store = dir.path() / "store";
        data = dir.path() / "data";
        fs::create_directories(store);
        fs::create_directories(data);
    }
    void point() {
        setText("_ctxt_vdxDsSetUrl", QString::fromStdString("file://" + store.string()));
        const std::string trust = dir.file("trust.der");
        nktest::writeFile(trust, "trust object\n");
        setText("_ctxt_vdxTrObjUrl", QString::fromStdString(trust));
    }
    static std::string record(const std::string& sn) {
        t_cgCalData rec{};
        rec.magic = ctcl::kMagic;
        rec.versionMajor = 3;
        rec.versionMinor = 1;
        std::snprintf(rec.serialNumber, sizeof(rec.serialNumber), "%s", sn.c_str());
        const std::vector<u8> bytes = cgCalData_write(rec);
        return {bytes.begin(), bytes.end()};
    }
    fs::path stored(const std::string& sn) { return store / (sn + "_CtCl.bin"); }
    // A cell folder as the station leaves it, of one unit that only set up and ended.
    fs::path cellFolderOfOneUnit(uint16_t port, const std::string& sn) {
        const int fd = nettest::rawConnect(port);
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(stationtest::exchange(fd, "tscr", 1, stationtest::tscrPayload("CellV", 2, sn)).ok);
        EXPECT_TRUE(stationtest::postReply(stationtest::exchange(fd, "tsed", 2, nettest::Bytes{1})).ok);
        close(fd);
        for (const auto& e : fs::directory_iterator(logRoot))
            if (e.path().filename().string().rfind("CGCal_", 0) == 0) return e.path();
        return {};
    }
    void gate(const std::string& sn) { ASSERT_EQ(mkfifo(stored(sn).c_str(), 0600), 0); }
    // Opens the gate for its first reader (until `done`): the pipe gives way to a
    // plain file of the same bytes, then the reader gets them.
    static std::thread feeder(const fs::path& pipe, const std::string& bytes, const std::atomic<bool>& done) {
        return std::thread([pipe, bytes, &done] {
            const fs::path plain = pipe.string() + ".plain";
            nktest::writeFile(plain.string(), bytes);
            while (!done.load()) {
                const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd < 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                fs::rename(plain, pipe);
                EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
                ::close(fd);
                return;
            }
        });
    }
    // `n` serial numbers in the store, the first behind a gate, listed in a file
    // (Windows line ends) that the serial-number field names.
    std::vector<std::string> downloadList(const std::string& tag, int n) {
        std::vector<std::string> serials;
        std::string text;
        for (int i = 0; i < n; ++i) {
            serials.push_back(stationtest::serial("Q2A5", tag + std::to_string(10 + i)));
            text += serials.back() + "\r\n";
            if (i == 0) gate(serials[0]);
            else nktest::writeFile(stored(serials.back()).string(), record(serials.back()));
        }
        const std::string path = dir.file("serials.csv");
        nktest::writeFile(path, text);
        setText("_ctxt_vdxSnInput", QString::fromStdString(path));
        return serials;
    }
};

TEST_F(RepositoryTools, DownloadFillsTheFixedFolderAndNoSecondToolStartsMeanwhile) {
    start();
    point();
    const std::vector<std::string> serials = downloadList("D", 3);
    const fs::path cell = dir.path() / "cell";
    fs::create_directories(cell / "Statistics");
    fs::create_directories(cell / "LogsFolder");
    setText("_ctxt_vdxPath", QString::fromStdString(cell.string()));

    QPushButton* button = find<QPushButton>("_cbtn_vdxTestGet");
    ASSERT_TRUE(button->isEnabled());
    press("_cbtn_vdxTestGet");
    // Held at the first record until the gate opens.
    EXPECT_FALSE(button->isEnabled());
    EXPECT_TRUE(app->isThreadRunning());
    press("_cbtn_vdxTestGet");
    press("_cbtn_vdxValidate");
    press("_cbtn_calcA");
    app->OnBtn_vdxTestGet();
    EXPECT_FALSE(button->isEnabled());
    ASSERT_TRUE(waitGui([&] {
        const std::string p = pane();
        return p.find("the validation did not start") != std::string::npos &&
               p.find("the calibration did not start") != std::string::npos &&
               p.find("the download did not start") != std::string::npos;
    })) << pane();
    EXPECT_FALSE(fs::exists(cell / "vdxValidation.log"));
    EXPECT_EQ(find<QPushButton>("_cbtn_calcA")->text(), "Calc A factor");
    EXPECT_TRUE(button->text().startsWith("VDX DL")) << button->text().toStdString();

    std::atomic<bool> done{false};
    std::thread opener = feeder(stored(serials[0]), record(serials[0]), done);
    const bool ended = waitGui([&] { return button->isEnabled(); }, 120000);
    done = true;
    opener.join();
    ASSERT_TRUE(ended);
    EXPECT_FALSE(app->isThreadRunning());
    EXPECT_EQ(button->text(), "VDX DL Pass!!!");
    // The station's own permission, built at launch, went with the requests.
    EXPECT_STREQ(vdx_test_lastClientOption("Permissions"), "CtCl:1:*;CtCl:0:*");
    const fs::path got = data / "vdxDataGet";
    for (const std::string& sn : serials)
        EXPECT_TRUE(nktest::readFile((got / (sn + "_CtCl.bin")).string()) == record(sn)) << sn;
    if (!nktest::havePython()) return;
    const std::string out = stationtest::python(
        "import csv\n"
        "rows = list(csv.reader(open('" + (got / "cg_vdxGet.csv").string() + "', newline='')))\n"
        "print(rows[0])\n"
        "for r in rows[1:]: print(r[0], r[2], r[3], r[4])\n");
    std::string expected = "['SerialNumber', 'StartTime', 'ErrCode', 'ErrString', 'VDXVer']\n";
    for (const std::string& sn : serials) expected += sn + " 0 OK 3.1\n";
    EXPECT_EQ(out, expected);

    // The next tool starts once this one ended.
    press("_cbtn_vdxValidate");
    ASSERT_TRUE(waitGui([&] { return find<QPushButton>("_cbtn_vdxValidate")->isEnabled(); }));
    EXPECT_TRUE(fs::exists(cell / "vdxValidation.log"));
}

TEST_F(RepositoryTools, ValidateRunsOnTheToolThreadWhileTheWindowStaysLive) {
    StationSwitches switches;
    switches.hubrEnabled = false;
    start({}, switches);
    point();
    const uint16_t port = [&] {
        const uint16_t p = nettest::freePort();
        setText("_ctxt_port", QString::number(p));
        press("_cbtn_launch");
        return p;
    }();
    ASSERT_EQ(title(), "Stop Server");
    const std::string sn = stationtest::serial("Q2A5", "V", "ABC");
    const fs::path cell = cellFolderOfOneUnit(port, sn);
    ASSERT_FALSE(cell.empty());
    nktest::writeFile(stored(sn).string(), record(sn));
    // The first transfer reads the trust object, a gate the test opens once the
    // press has come back (or after a while, so that a window that waits is seen).
    const fs::path trust = dir.path() / "trust.fifo";
    ASSERT_EQ(mkfifo(trust.c_str(), 0600), 0);
    setText("_ctxt_vdxTrObjUrl", QString::fromStdString(trust.string()));
    setText("_ctxt_vdxPath", QString::fromStdString(cell.string()));
    std::atomic<bool> released{false}, done{false};
    std::thread opener([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!released.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        feeder(trust, "trust\n", done).join();
    });
    QPushButton* button = find<QPushButton>("_cbtn_vdxValidate");
    press("_cbtn_vdxValidate");
    const bool wasRunning = app->isThreadRunning();
    const bool wasDisabled = !button->isEnabled();
    // The window answers while the validation waits at the gate.
    QTimer tick;
    std::atomic<int> ticks{0};
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(10);
    const bool live = waitGui([&] { return ticks.load() >= 3; }, 2000);
    ASSERT_TRUE(waitGui([&] { return button->text() == "VDX Validating ...."; }));
    released = true;
    const bool ended = waitGui([&] { return button->isEnabled(); }, 120000);
    done = true;
    opener.join();
    EXPECT_TRUE(wasRunning);
    EXPECT_TRUE(wasDisabled);
    EXPECT_TRUE(live);
    ASSERT_TRUE(ended);
    EXPECT_FALSE(app->isThreadRunning());
    EXPECT_TRUE(button->text().startsWith("VDX Validation ")) << button->text().toStdString();
    EXPECT_TRUE(fs::exists(cell / "vdxValidation.log"));
    // The unit's record was fetched into its run folder.
    bool fetched = false;
    for (const auto& e : fs::recursive_directory_iterator(cell / "LogsFolder"))
        fetched |= e.path().filename() == sn + "_CtClx.bin";
    EXPECT_TRUE(fetched);
}

TEST_F(RepositoryTools, TheLogLevelChoiceFiltersTheRepositoryLog) {
    start();
    point();
    const std::string sn = stationtest::serial("Q2A5", "L", "ABC");
    nktest::writeFile(stored(sn).string(), record(sn));
    setText("_ctxt_vdxSnInput", QString::fromStdString(sn));
    QComboBox* level = find<QComboBox>("_ccmb_vdxLogLevel");
    QPushButton* button = find<QPushButton>("_cbtn_vdxTestGet");
    const fs::path log = data / "vdxDataGet" / "vdx.log";
    // Each choice as the operator makes it, then one download.
    auto downloadAt = [&](const char* name) {
        level->setCurrentIndex(level->findText(QString::fromLatin1(name)));
        emit level->activated(level->currentIndex());
        fs::remove(log);
        press("_cbtn_vdxTestGet");
        EXPECT_TRUE(waitGui([&] { return button->isEnabled() && !app->isThreadRunning(); }, 60000)) << name;
        EXPECT_EQ(button->text(), "VDX DL Pass!!!") << name;
        return fs::exists(log) ? nktest::readFile(log.string()) : std::string();
    };
    const std::string errorsOnly = downloadAt("LOG_ERR");
    const std::string debug = downloadAt("LOG_DEBUG");
    EXPECT_EQ(errorsOnly.find("vdx: copy CtCl/" + sn), std::string::npos) << errorsOnly;
    EXPECT_EQ(errorsOnly.find("vdx: client for"), std::string::npos) << errorsOnly;
    EXPECT_NE(debug.find("vdx: copy CtCl/" + sn), std::string::npos) << debug;
    EXPECT_NE(debug.find("vdx: client for"), std::string::npos) << debug;
    const std::string info = downloadAt("LOG_INFO");
    EXPECT_NE(info.find("vdx: copy CtCl/" + sn), std::string::npos) << info;
    EXPECT_EQ(info.find("vdx: client for"), std::string::npos) << info;
}

TEST_F(RepositoryTools, UploadReadsBackEachRecordWithTheDryRunBoxOffMeanwhile) {
    start();
    point();
    setText("_ctxt_vdxDsGetUrl", QString::fromStdString("file://" + store.string()));
    // The trust object is a gate: the first transfer reads it, and cannot until the test writes it.
    const fs::path trust = dir.path() / "trust.fifo";
    ASSERT_EQ(mkfifo(trust.c_str(), 0600), 0);
    setText("_ctxt_vdxTrObjUrl", QString::fromStdString(trust.string()));
    find<QCheckBox>("_cbtn_devMode")->setChecked(true);
    app->OnBtn_devMode();
    QCheckBox* dry = find<QCheckBox>("_cbtn_vdxDryrun");
    dry->click();
    ASSERT_TRUE(dry->isChecked());
    // The field shows the folder Upload sends from; the operator points it elsewhere.
    EXPECT_EQ(find<QLineEdit>("_ctxt_vdxBinPathInput")->text().toStdString(), (data / "vdxData").string());
    const fs::path input = dir.path() / "records to send";
    fs::create_directories(input);
    setText("_ctxt_vdxBinPathInput", QString::fromStdString(input.string()));
    const std::vector<std::string> keys = {stationtest::serial("Q2A5", "U10"), stationtest::serial("Q2A5", "U11")};
    for (const std::string& key : keys) nktest::writeFile((input / (key + "_CtCl.bin")).string(), record(key));

    QPushButton* button = find<QPushButton>("_cbtn_vdxManualSet");
    press("_cbtn_vdxManualSet");
    EXPECT_FALSE(button->isEnabled());
    // Held at its first transfer: the box is off and the sessions follow it.
    ASSERT_TRUE(waitGui([&] { return !dry->isChecked(); }));
    for (CVLRA_cg_testSession* session : app->sessions()) EXPECT_TRUE(session->operatorSettings().vdxDryRunPath.empty());
    std::atomic<bool> done{false};
    std::thread opener = feeder(trust, "trust\n", done);
    const bool ended = waitGui([&] { return button->isEnabled(); }, 120000);
    done = true;
    opener.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(button->text(), "VDX Uploading Pass!!!");
    EXPECT_TRUE(dry->isChecked());
    for (CVLRA_cg_testSession* session : app->sessions()) EXPECT_EQ(session->operatorSettings().vdxDryRunPath, logRoot);
    // Both records reached the store, none the dry-run folder.
    for (const std::string& key : keys) EXPECT_TRUE(nktest::readFile(stored(key).string()) == record(key)) << key;
    EXPECT_TRUE(fs::is_empty(data / "vdxDataDry"));
    EXPECT_TRUE(waitGui([&] { return pane().find("* VDX Data Content Comparison Pass") != std::string::npos; }));
}

TEST_F(RepositoryTools, TerminationWhileADownloadRunsStopsAndJoinsIt) {
    start();
    point();
    const std::vector<std::string> serials = downloadList("T", 40);
    press("_cbtn_vdxTestGet");
    ASSERT_TRUE(app->isThreadRunning());

    // Termination finds the tool before its first unit, at the gate or past it;
    // it is stopped before its next unit and joined in every case.
    std::atomic<bool> done{false};
    std::thread opener = feeder(stored(serials[0]), record(serials[0]), done);
    app->applicationWillTerminate();
    done = true;
    opener.join();
    EXPECT_FALSE(app->isThreadRunning());
    EXPECT_FALSE(app->hasWindow());
    QTest::qWait(50);  // titles queued for the button that is gone are dropped
    // Every row the run wrote is whole.
    const std::vector<std::string> rows = nktest::splitLines(nktest::readFile((data / "vdxDataGet/cg_vdxGet.csv").string()));
    ASSERT_GE(rows.size(), 1u);
    EXPECT_EQ(rows[0], "SerialNumber,StartTime,ErrCode,ErrString,VDXVer");
    for (size_t i = 1; i < rows.size(); ++i) {
        if (!rows[i].empty()) {
            EXPECT_EQ(std::count(rows[i].begin(), rows[i].end(), ','), 4) << rows[i];
        }
    }
}

TEST_F(StationWindow, AFinishedToolIsJoinedBeforeTheNext) {
    start();
    std::atomic<int> runs{0};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(nettest::waitFor([&] { return !app->isThreadRunning(); }));
        ASSERT_TRUE(app->startTool([&](const std::atomic<bool>&) { ++runs; }));
    }
    app->joinTool();
    EXPECT_EQ(runs.load(), 3);
}

}  // namespace
