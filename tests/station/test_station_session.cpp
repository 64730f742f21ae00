// The station's sessions in process: the delegate, its listener on loopback,
// raw-socket testers, and the session fields the setup item leaves.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include "AppDelegate.h"
#include "CVLRA_cg_setup.h"
#include "CVLRA_cg_testSession.h"
#include "CVLRA_example.h"
#include "net_test_util.h"
#include "nk_test_util.h"
#include "station_peer.h"
#include "unit_tester.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

t_nkTestStat initStatus(CVLRA_cg_testSession* s) { return s->_ctrlItemMap.at(kVLRA_ctrl_tscr)->testStatus(); }

struct Station : ::testing::Test {
    nktest::TempDir dir;
    lumbrel::StationSettings settings;
    std::unique_ptr<AppDelegate> app;

    void SetUp() override {
        settings.logRoot = (dir.path() / "logs").string();
        fs::create_directories(settings.logRoot);
        settings.dataRoot = (dir.path() / "data").string();
        settings.tempFolder = dir.path().string();
        settings.resourceFolder = fs::path(NK_STATION_SCRIPT).parent_path().string();
        settings.scriptPath = NK_STATION_SCRIPT;
        u16 launched = 1;
        for (int attempt = 0; attempt < 5 && launched != 0; ++attempt) {
            settings.port = nettest::freePort();  // may be taken meanwhile: try another
            app = std::make_unique<AppDelegate>(settings, StationSwitches{});
            ASSERT_EQ(app->applicationDidFinishLaunching(), 0);
            launched = app->launchServer();
        }
        ASSERT_EQ(launched, 0);
    }
    void TearDown() override { app.reset(); }

    CVLRA_cg_testSession* session(int i) { return app->sessions()[i]; }
    int connect() { return nettest::rawConnect(settings.port); }
    // The index of the session that holds a link whose unit has this serial number.
    int sessionOf(const std::string& sn) {
        for (int i = 0; i < AppDelegate::kSessionCount; ++i)
            if (session(i)->isNtcpRunning() && session(i)->_serialNumber == sn) return i;
        return -1;
    }
    bool hasError(CVLRA_cg_testSession* s, u32 code) {
        for (u32 c : s->_testData._errCodes)
            if (c == code) return true;
        return false;
    }
};

TEST_F(Station, SetupRepliesTheColourVersionAndRecordsTheNumber) {
    for (auto* s : app->sessions()) s->_hostVersion = "1.23.45";
    const int fd = connect();
    ASSERT_GE(fd, 0);
    Reply r = exchange(fd, "tscr", 1, tscrPayload("CellV", 4, serial("Q2A5")));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data()), "1.23.45_CGB");
    CVLRA_cg_testSession* s = session(0);
    EXPECT_DOUBLE_EQ(s->_testData.getData("INIT", "HOST_VERSION", false), 1.2345);
    EXPECT_DOUBLE_EQ(s->_testData.getData("INIT", "CG2IS_DISTANCE", false), 3.5);
    EXPECT_EQ(s->_testData.getString("INIT", "CG_SN"), serial("Q2A5"));
    EXPECT_EQ(s->_cgType, 2);
    EXPECT_EQ(s->_cgColor, 0);
    EXPECT_EQ(s->_testerName, "CellV_4");
    EXPECT_EQ(s->_iqcMode, "IQC");
    EXPECT_TRUE(s->_UOPCheckPass);
    EXPECT_EQ(s->_cgSn, serial("Q2A5").substr(0, 17));
    EXPECT_EQ(initStatus(s), kNkTestStat_PASS);

    // A colour-2 unit has no colour suffix.
    r = exchange(fd, "tscr", 2, tscrPayload("CellV", 4, serial("Y1C3")));
    EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data()), "1.23.45");

    // 232 bytes: the defaults of the two floats.
    r = exchange(fd, "tscr", 3, tscrPayload("CellV", 4, serial("Q2A5"), 232));
    EXPECT_EQ(r.header.errc, 0);
    EXPECT_DOUBLE_EQ(s->_testData.getData("INIT", "CG2IS_DISTANCE", false), 1.0);
    EXPECT_DOUBLE_EQ(s->_testData.getData("INIT", "TEST_CYCLETIME", false), 10.0);

    // 17 characters fail the check: the reply is still 0, 5 is recorded.
    const std::string sn17 = serial("Q2A5").substr(0, 17);
    r = exchange(fd, "tscr", 4, tscrPayload("CellV", 4, sn17));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data()), "UNDEFINED");
    EXPECT_TRUE(hasError(s, kNKErr_invalidParam));
    EXPECT_EQ(s->_cgSn, sn17);
    EXPECT_EQ(initStatus(s), kNkTestStat_FAIL);
    close(fd);
}

TEST(StationVersion, FormsOfTheVersionText) {
    double v = 0;
    EXPECT_TRUE(nkVlra_hostVersionNumber("1.23.45", &v));
    EXPECT_DOUBLE_EQ(v, 1.2345);
    for (const char* bad : {"", "1.2.3", "12.34.56", "1.23.4x", "1-23-45", "1.23.456"})
        EXPECT_FALSE(nkVlra_hostVersionNumber(bad, &v)) << bad;
    u8 field[32];
    nkVlra_versionReply("", field);
    EXPECT_STREQ(reinterpret_cast<char*>(field), "UNDEFINED");
    nkVlra_versionReply(std::string(40, '7'), field);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field)), std::string(31, '7'));
    EXPECT_EQ(field[31], 0);
}

TEST_F(Station, OfflineRunSendsNothing) {
    const int fd = connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(nettest::waitFor([&] { return session(0)->isNtcpRunning(); }));
    session(0)->_isOfflineRun = true;
    nettest::RawPacket p;
    p.ctrl = nettest::fourCC("tscr");
    p.seqn = 1;
    p.payload = tscrPayload("CellO", 1, serial("Q2A6"));
    ASSERT_TRUE(nettest::sendAll(fd, p.bytes()));
    EXPECT_TRUE(nettest::waitFor([&] { return initStatus(session(0)) == kNkTestStat_PASS; }));
    EXPECT_TRUE(nettest::recvN(fd, 1, 500).empty());
    // Not even the transport error of an empty payload.
    p.payload.clear();
    ASSERT_TRUE(nettest::sendAll(fd, p.bytes()));
    EXPECT_TRUE(nettest::recvN(fd, 1, 500).empty());
    session(0)->_isOfflineRun = false;
    close(fd);
}

TEST_F(Station, AFailedUnitKeepsNothingOfTheUnitBefore) {
    const int fd = connect();
    ASSERT_GE(fd, 0);
    const std::string good = serial("Q2B0", "GOD");
    Reply r = exchange(fd, "tscr", 1, tscrPayload("CellF", 6, good));
    ASSERT_EQ(r.header.errc, 0);
    CVLRA_cg_testSession* s = session(0);
    ASSERT_FALSE(s->_logPath.empty());
    ASSERT_EQ(s->_hubrHostVersion, "1.00.00_CGW");

    // A date field fails: same session, new unit; the reply has no version of the last.
    const std::string badWeek = "BAD0004WXYZQ2B0JKL";
    r = exchange(fd, "tscr", 2, tscrPayload("CellF", 6, badWeek));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data()), "UNDEFINED");
    EXPECT_EQ(s->_cgSn, badWeek.substr(0, 17));
    EXPECT_EQ(s->_cgType, 255);
    EXPECT_EQ(s->_cgColor, 255);
    EXPECT_TRUE(s->_hubrHostVersion.empty());
    EXPECT_EQ(s->_logPath.find(good), std::string::npos);
    EXPECT_NE(s->_logPath.find(badWeek), std::string::npos);
    EXPECT_TRUE(hasError(s, kNKErr_snErr_invalidWeekCode));

    // A name that cannot name a folder: no unit at all.
    r = exchange(fd, "tscr", 3, tscrPayload("CellF", 6, "a/b"));
    EXPECT_EQ(r.header.errc, 5);
    EXPECT_TRUE(s->_logPath.empty());
    EXPECT_TRUE(s->_cgSn.empty());
    EXPECT_TRUE(s->_testerName.empty());
    EXPECT_FALSE(s->isUnitOpen());
    EXPECT_TRUE(hasError(s, kNKErr_invalidParam));
    EXPECT_EQ(initStatus(s), kNkTestStat_FAIL);
    r = exchange(fd, "tsed", 4, Bytes{1});
    EXPECT_EQ(r.header.errc, 7);
    close(fd);
}

// Holds a session's close handling until the test lets it go, to show that the
// session is not offered again until it is over.
struct SlowEnd : INK_testSession_callback {
    std::atomic<bool> entered{false}, release{false}, done{false};
    void onTestBegin(long) override {}
    void onTestEnd(long) override {
        entered = true;
        nettest::waitFor([&] { return release.load(); });
        done = true;
    }
    void onStatusUpdated(long, long) override {}
    void onLogStrUpdated(long, const char*) override {}
};

TEST_F(Station, BusySessionsAreSkippedAndFreedOnlyAfterTheirClose) {
    const int a = connect();
    const int b = connect();
    ASSERT_EQ(exchange(a, "tscr", 1, tscrPayload("C", 0, serial("Q2A0", "AAA"))).header.errc, 0);
    ASSERT_EQ(exchange(b, "tscr", 1, tscrPayload("C", 1, serial("Q2A0", "BBB"))).header.errc, 0);
    EXPECT_EQ(sessionOf(serial("Q2A0", "AAA")), 0);
    EXPECT_EQ(sessionOf(serial("Q2A0", "BBB")), 1);
    const int c = connect();
    ASSERT_EQ(exchange(c, "tscr", 1, tscrPayload("C", 2, serial("Q2A0", "CCC"))).header.errc, 0);
    EXPECT_EQ(sessionOf(serial("Q2A0", "CCC")), 2);

    SlowEnd slow;
    // Let go on every way out: the held callback never outlives this frame.
    struct LetGo {
        SlowEnd& s;
        ~LetGo() {
            s.release = true;
            if (s.entered) nettest::waitFor([&] { return s.done.load(); });
        }
    } letGo{slow};
    session(0)->setCallback(&slow);
    close(a);
    ASSERT_TRUE(nettest::waitFor([&] { return slow.entered.load(); }));
    const int d = connect();
    ASSERT_EQ(exchange(d, "tscr", 1, tscrPayload("C", 3, serial("Q2A0", "DDD"))).header.errc, 0);
    EXPECT_FALSE(slow.done.load());
    EXPECT_EQ(sessionOf(serial("Q2A0", "DDD")), 3);
    slow.release = true;
    ASSERT_TRUE(nettest::waitFor([&] { return slow.done.load() && !session(0)->isNtcpRunning(); }));
    session(0)->removeCallback(&slow);
    const int e = connect();
    ASSERT_EQ(exchange(e, "tscr", 1, tscrPayload("C", 4, serial("Q2A0", "EEE"))).header.errc, 0);
    EXPECT_EQ(sessionOf(serial("Q2A0", "EEE")), 0);
    for (int fd : {b, c, d, e}) close(fd);
}

// Collects the lines a session's log manager relays.
struct SessionLines : INK_testSession_callback {
    std::mutex m;
    std::string text;
    void onTestBegin(long) override {}
    void onTestEnd(long) override {}
    void onStatusUpdated(long, long) override {}
    void onLogStrUpdated(long, const char* t) override {
        std::lock_guard<std::mutex> l(m);
        text += t;
    }
    bool has(const std::string& what) {
        std::lock_guard<std::mutex> l(m);
        return text.find(what) != std::string::npos;
    }
    std::string take() {
        std::lock_guard<std::mutex> l(m);
        return std::exchange(text, std::string());
    }
};

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(Station, AFinishedUnitsLogGetsNothingOfTheNextLinkOnItsSession) {
    const std::string sn = serial("Q2A0", "LOG");
    const int fd = connect();
    ASSERT_EQ(exchange(fd, "tscr", 1, tscrPayload("CellL", 5, sn)).header.errc, 0);
    EXPECT_TRUE(postReply(exchange(fd, "tsed", 2, Bytes{1})).ok);
    EXPECT_TRUE(nettest::seesEof(fd));
    close(fd);
    ASSERT_TRUE(nettest::waitFor([&] { return !session(0)->isNtcpRunning(); }));
    fs::path log;
    for (auto& e : fs::recursive_directory_iterator(settings.logRoot))
        if (e.path().filename() == sn + ".log") log = e.path();
    ASSERT_FALSE(log.empty());
    const std::string before = nktest::readFile(log.string());
    ASSERT_NE(before.find("*** INIT Test PASSED ***"), std::string::npos);

    // A stranger on the same session: 16 KiB of zeros, a setup whose serial
    // number cannot name a folder, half a web request, then it hangs up.
    SessionLines lines;
    session(0)->setCallback(&lines);
    const int stranger = connect();
    ASSERT_GE(stranger, 0);
    ASSERT_TRUE(nettest::sendAll(stranger, Bytes(16 * 1024, 0)));
    const Reply refusedSetup = exchange(stranger, "tscr", 3, tscrPayload("CellL", 5, "../" + sn));
    ASSERT_TRUE(refusedSetup.ok);
    EXPECT_EQ(refusedSetup.header.errc, 5);
    const std::string web = "GET / HTTP/1.1\r\nHost: station\r\n\r\n";
    ASSERT_TRUE(nettest::sendAll(stranger, web.data(), web.size()));
    close(stranger);
    ASSERT_TRUE(nettest::waitFor([&] {
        return !session(0)->isNtcpRunning() && lines.has(".connection closed by peer");
    }));
    session(0)->removeCallback(&lines);

    EXPECT_EQ(nktest::readFile(log.string()), before);
    // The junk is one line and a count, the hang-up a close, not a failure.
    const std::string said = lines.take();
    EXPECT_EQ(occurrences(said, "[NTCP ERR] invalid preamble"), 1u) << said;
    EXPECT_NE(said.find("[NTCP ERR] 1026 headers dropped on this connection"), std::string::npos) << said;
    EXPECT_NE(said.find(".connection closed by peer"), std::string::npos) << said;
    EXPECT_EQ(said.find("recv failed"), std::string::npos) << said;
    EXPECT_EQ(said.find("0xE09C"), std::string::npos) << said;
}

TEST_F(Station, ExampleItemAnswersEightZerosAndEndsTheLink) {
    EXPECT_FALSE(nkTest_isTestClassContructorAvailable("CVLRA_example"));
    CVLRA_cg_testSession* s = session(0);
    CVLRA_example ex;
    EXPECT_STREQ(ex.name, "CVLRA_example");
    ex._testSession = s;
    ex._testData = &s->_testData;
    ex._name = "EXAMPLE";
    ex.registerDataSymbol();
    EXPECT_EQ(s->_testData.getDataType("EXAMPLE", "FOM_1"), "uint8_t");
    EXPECT_EQ(s->_testData.getDataReportType("EXAMPLE", "FOM_1"), u32(kNkReportType_attribute));
    EXPECT_TRUE(std::isnan(s->_testData.get_LSL("EXAMPLE", "FOM_2")));
    EXPECT_EQ(s->_testData.get_USL("EXAMPLE", "FOM_2"), 1.0);
    EXPECT_EQ(s->_testData.getDataType("EXAMPLE", "FOM_6"), "double");
    EXPECT_EQ(s->_testData.get_LSL("EXAMPLE", "FOM_777777"), 0.0);
    EXPECT_EQ(s->_testData.getDataReportType("EXAMPLE", "FOM_777777"), u32(kNkReportType_param));

    const int fd = connect();
    ASSERT_TRUE(nettest::waitFor([&] { return s->isNtcpRunning(); }));
    tNTCP_header h{};
    h.NTCP = 0x4E544350u;
    h.CTRL = nettest::fourCC("exmp");
    h.SEQN = 9;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread handler([&] { ex.handle_ntcp_packet(&h, nullptr); });
    const Reply r = readReply(fd);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, 0);
    EXPECT_EQ(r.header.seqn, 9);
    EXPECT_EQ(r.payload, Bytes(8, 0));
    EXPECT_TRUE(nettest::seesEof(fd));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(10));
    handler.join();
    EXPECT_EQ(ex.testStatus(), kNkTestStat_PASS);
    close(fd);
}

TEST(StationScript, ItemsAreFoundByTestNameAndAllFiveAreNeeded) {
    nktest::TempDir dir;
    const std::string script = dir.file("s.zqs");
    nktest::writeFile(script,
                      "[*** Test&Cal ***]\nT class=CVLRA_cg_transmittance\nUNIF class=CVLRA_cg_uniformity\n"
                      "[*** TestEnd ***]\nPOST class=CVLRA_cg_postData\nVDXU class=CVLRA_cg_vdx\n"
                      "[*** TestSetup ***]\nINIT class=CVLRA_cg_setup\n");
    {
        CVLRA_cg_testSession s(0, dir.path().string(), script);
        EXPECT_EQ(s._ctrlItemMap.size(), 4u);
        EXPECT_EQ(s._ctrlItemMap.at(kVLRA_ctrl_tscr)->_name, "INIT");
        EXPECT_STREQ(s._ctrlItemMap.at(kVLRA_ctrl_tscr)->name, "CVLRA_cg_setup");
        EXPECT_EQ(s._ctrlItemMap.at(kVLRA_ctrl_tsed)->_name, "POST");
        EXPECT_EQ(s._cgType, 255);
        EXPECT_EQ(s._cgColor, 255);
        std::string why;
        EXPECT_TRUE(s.isReadyToTest(why));
    }
    const std::string noVdx = dir.file("n.zqs");
    nktest::writeFile(noVdx,
                      "[*** TestSetup ***]\nINIT class=CVLRA_cg_setup\n[*** Test&Cal ***]\nT class=CVLRA_cg_transmittance\n"
                      "UNIF class=CVLRA_cg_uniformity\n[*** TestEnd ***]\nPOST class=CVLRA_cg_postData\n");
    EXPECT_DEATH({ CVLRA_cg_testSession s(0, dir.path().string(), noVdx); }, "idx<_testItems.size\\(\\)");
}

}  // namespace

namespace {

TEST(StationSwitches, HeadlessSwitchesReachEverySession) {
    nktest::TempDir dir;
    lumbrel::StationSettings settings;
    settings.logRoot = dir.path().string();
    settings.scriptPath = NK_STATION_SCRIPT;
    settings.port = nettest::freePort();
    for (bool on : {false, true}) {
        StationSwitches sw;
        sw.development = on;
        sw.hubrEnabled = !on;
        sw.repositoryDryRun = on;
        AppDelegate app(settings, sw);
        ASSERT_EQ(app.applicationDidFinishLaunching(), 0);
        ASSERT_EQ(app.sessions().size(), 16u);
        for (CVLRA_cg_testSession* s : app.sessions()) {
            EXPECT_EQ(s->_isDevelopmentMode, on);
            EXPECT_EQ(s->_isHubrEnabled, !on);
            EXPECT_EQ(s->_vdxDryRunPath, on ? settings.logRoot : std::string());
            EXPECT_EQ(s->_hostVersion, "1.00.00");
            EXPECT_EQ(s->_appLogManager, app.logManager());
            EXPECT_EQ(s->_mtxCsvFile, &app._mtxCsvFile);
            EXPECT_EQ(s->_WhiteCGCorrectionFactor, &app._WhiteCGCorrectionFactor);
            EXPECT_FALSE(s->_vdxCaUrl.empty());
        }
    }
}

}  // namespace
