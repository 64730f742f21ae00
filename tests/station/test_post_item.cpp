// The post item inside the station's sessions on loopback: a raw-socket tester
// sends "tscr" and "tsed" and gets the unit's final reply. The submission stand-ins
// run in this process and are made to fail on demand; the repository item is a
// stand-in here whose error and confirmation the test chooses.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <set>

#include "AppDelegate.h"
#include "CVLRA_cg_postData.h"
#include "CVLRA_cg_testSession.h"
#include "CVLRA_error.h"
#include "cvlra_ctcl.h"
#include "cvlra_vdx_check.h"
#include "ferrin.h"
#include "net_test_util.h"
#include "nk_error.h"
#include "nk_test_util.h"
#include "nk_utils.h"
#include "nk_velora_sn.h"
#include "quenbar.h"
#include "station_peer.h"
#include "tamsel.h"
#include "unit_tester.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The repository item's place in the script: records the chosen error and
// confirmation, and counts its runs.
std::atomic<u16> g_vdxError{0};
std::atomic<int> g_vdxConfirm{1};
std::atomic<int> g_vdxRuns{0};

class PostTestVdx : public CVLRA_cg_testItem {
public:
    PostTestVdx() { NK_CLASS_NAME(); }
    void registerDataSymbol() override {
        _testData->addDataSymbol(_name, "VDX_CONFIRM_RESULT", "int8_t", 1.0, 1.0, "", false);
    }
    void performTest(t_nkTestMode) override {
        ++g_vdxRuns;
        _testData->recordData(_name, "VDX_CONFIRM_RESULT", double(g_vdxConfirm.load()));
        _testData->recordError(g_vdxError.load(), nkError_getErrorString(g_vdxError.load()));
        setStatus(g_vdxError.load() ? kNkTestStat_FAIL : kNkTestStat_PASS);
    }
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header*, const u8*) override {}
};
NK_REGISTER_TEST_CLASS(PostTestVdx)

std::string script(const char* vdxLine, const std::string& vdxClass = "PostTestVdx") {
    return std::string("[*** TestSetup ***]\n") + (vdxLine ? vdxLine : "") +
           "INIT class=CVLRA_cg_setup\n[*** Test&Cal ***]\nT class=CVLRA_cg_transmittance\n"
           "UNIF class=CVLRA_cg_uniformity\n[*** TestEnd ***]\n" +
           (vdxLine ? "" : "VDXU class=" + vdxClass + "\n") + "POST class=CVLRA_cg_postData\n";
}

size_t filesIn(const fs::path& dir, const std::string& ext) {
    size_t n = 0;
    if (fs::exists(dir))
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().extension() == ext) ++n;
    return n;
}

struct Post : ::testing::Test {
    nktest::TempDir dir;
    lumbrel::StationSettings settings;
    std::unique_ptr<AppDelegate> app;
    fs::path records;

    void SetUp() override {
        g_vdxError = 0;
        g_vdxConfirm = 1;
        g_vdxRuns = 0;
        unsetenv("NK_QUENBAR_CONFIG");
        unsetenv("NK_TAMSEL_CONFIG");
        records = dir.path() / "records";
        fs::create_directories(records);
        resetStandIns();
        settings.logRoot = (dir.path() / "logs").string();
        fs::create_directories(settings.logRoot);
        settings.dataRoot = (dir.path() / "data").string();
        settings.tempFolder = dir.path().string();
        settings.resourceFolder = fs::path(NK_STATION_SCRIPT).parent_path().string();
        settings.scriptPath = dir.file("script.zqs");
        nktest::writeFile(settings.scriptPath, script(nullptr));
    }
    void TearDown() override { app.reset(); }

    void resetStandIns() {
        QBStub_reset();
        QBStub_setRecordDir(records.c_str());
        TamselStub_reset();
    }
    void launch(bool submission = true) {
        StationSwitches sw;
        sw.hubrEnabled = submission;
        u16 launched = 1;
        for (int attempt = 0; attempt < 5 && launched != 0; ++attempt) {
            settings.port = nettest::freePort();
            app = std::make_unique<AppDelegate>(settings, sw);
            ASSERT_EQ(app->applicationDidFinishLaunching(), 0);
            launched = app->launchServer();
        }
        ASSERT_EQ(launched, 0);
    }

    // One unit: "tscr", then "tsed"; the session's paths are taken before the
    // link closes, the final reply after. The link must end after the reply.
    struct Unit {
        PostReply reply;
        std::string logPath, unitLogs, statistics, cgSn;
        std::string stem;  // the unit's CSV log and property list without extension
        bool closed = false;
    };
    Unit runUnit(const std::string& sn, const std::string& mode = "IQC") {
        Unit u;
        const int fd = nettest::rawConnect(settings.port);
        if (fd < 0) return u;
        Bytes tscr = tscrPayload("CellP", 4, sn);
        std::memset(tscr.data() + 225, 0, 7);
        std::memcpy(tscr.data() + 225, mode.data(), mode.size());
        const Reply r = exchange(fd, "tscr", 1, tscr);
        if (r.ok && r.header.errc == 0) {
            unitPaths(sn, u);
            u.reply = postReply(exchange(fd, "tsed", 2, Bytes{1}));
            u.closed = nettest::seesEof(fd);
        }
        close(fd);
        return u;
    }
    // The paths of the unit `sn` that a session serves now.
    void unitPaths(const std::string& sn, Unit& u) {
        for (CVLRA_cg_testSession* s : app->sessions())
            if (s->isNtcpRunning() && s->_serialNumber == sn) {
                u.logPath = s->_logPath;
                u.unitLogs = s->_unitLogsFolder;
                u.statistics = s->_statisticsPath;
                u.cgSn = s->_cgSn;
                u.stem = (fs::path(s->_unitLogsFolder) /
                          (s->_cgSn + "_" + nkFom_cgColorName(s->_cgColor) + "_" + s->_hubrHostVersion))
                             .string();
            }
    }
    std::string unitLog(const Unit& u, const std::string& sn) { return nktest::readFile(u.logPath + "/" + sn + ".log"); }
    size_t committed() { return filesIn(records, ".plist"); }
};

TEST_F(Post, SubmittedUnitCommitsItsRecordAndFolderAndEndsTheLink) {
    if (!nktest::havePython()) GTEST_SKIP();
    launch();
    const std::string sn = serial("Q2A5");
    const Unit u = runUnit(sn);
    ASSERT_TRUE(u.reply.ok);
    EXPECT_EQ(u.reply.code, 0);
    EXPECT_EQ(u.reply.text, nkError_getErrorString(0));
    EXPECT_EQ(u.reply.byte29, 0);
    EXPECT_EQ(u.reply.bin, 'P');
    EXPECT_TRUE(u.closed);
    EXPECT_EQ(g_vdxRuns.load(), 1);
    EXPECT_FALSE(FN_SessionExists(u.cgSn.c_str()));
    EXPECT_EQ(committed(), 1u);
    EXPECT_EQ(QBStub_callCount("QB_UUTCommit"), 1);

    // T and UNIF never ran: reported as incomplete, yet the unit passes.
    const std::string log = unitLog(u, sn);
    EXPECT_NE(log.find("*** Test Item Complete Check: FAIL"), std::string::npos) << log;
    EXPECT_NE(log.find("INCOMPLETE_TEST"), std::string::npos) << log;
    EXPECT_NE(log.find("*** BinCode P"), std::string::npos);

    const std::string& stem = u.stem;
    const std::string out = python(
        "import csv, plistlib, glob, subprocess, os\n"
        "def rows(p):\n"
        "    r = list(csv.reader(open(p, newline='')))\n"
        "    return r[1], r[5:]\n"
        "head, data = rows(glob.glob('" + u.statistics + "/CGCal_*.csv')[0])\n"
        "print('stats', os.path.basename(glob.glob('" + u.statistics + "/CGCal_*.csv')[0]), len(data),\n"
        "      data[0][head.index('SerialNumber')], data[0][head.index('POST::BIN_CODE')], data[0][head.index('TesterID')])\n"
        "head, data = rows('" + stem + ".csv')\n"
        "print('unit', len(data), data[0][head.index('SerialNumber')])\n"
        "pl = plistlib.load(open('" + stem + ".plist', 'rb'))\n"
        "print('plist', sorted(pl), pl['0']['Attributes']['POST::BIN_CODE'], pl['0']['Attributes']['serialnumber'])\n"
        "rec = plistlib.load(open(glob.glob('" + records.string() + "/*.plist')[0], 'rb'))\n"
        "print('record', sorted(rec))\n"
        "z = '" + fs::path(u.unitLogs).parent_path().string() + ".zip'\n"
        "print('unzip', subprocess.run(['unzip', '-tq', z], capture_output=True).returncode)\n");
    const std::string statsName = "CGCal_" + fs::path(stem).filename().string().substr(u.cgSn.size() + 1) + ".csv";
    EXPECT_NE(out.find("stats " + statsName + " 1 " + sn + " P CellP_4\n"), std::string::npos) << out;
    EXPECT_NE(out.find("unit 1 " + u.cgSn + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("plist ['0'] P " + u.cgSn + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("unzip 0"), std::string::npos) << out;
    EXPECT_EQ(out.find("PYTHON FAILED"), std::string::npos) << out;
}

TEST_F(Post, WithoutSubmissionTheRowIsWrittenAndTheFirstErrorAnswered) {
    launch(false);
    // The repository item's error, and a name longer than the reply's field.
    g_vdxError = kNKErr_UOP_Failed_Should_go_to_another_Tester;
    const std::string sn = serial("Q2A5");
    const Unit u = runUnit(sn);
    ASSERT_TRUE(u.reply.ok);
    EXPECT_EQ(u.reply.code, kNKErr_UOP_Failed_Should_go_to_another_Tester);
    EXPECT_EQ(u.reply.text, std::string("UOP_Failed_Should_go_to_another_Tester").substr(0, 27));
    EXPECT_EQ(u.reply.byte29, 0);
    EXPECT_EQ(u.reply.bin, 'F');
    EXPECT_TRUE(u.closed);
    EXPECT_EQ(filesIn(u.statistics, ".csv"), 1u);
    EXPECT_EQ(filesIn(u.unitLogs, ".csv"), 0u);
    EXPECT_EQ(filesIn(u.unitLogs, ".plist"), 0u);
    EXPECT_EQ(QBStub_callCount("QB_UUTStart"), 0);
    EXPECT_NE(unitLog(u, sn).find("* HUBR Disabled."), std::string::npos);

    // An earlier item's error comes first: a serial number whose week fails.
    g_vdxError = kNKErr_vdx_GET;
    const Unit bad = runUnit("BAD0004WXYZQ2B0JKL");
    ASSERT_TRUE(bad.reply.ok);
    EXPECT_EQ(bad.reply.code, kNKErr_snErr_invalidWeekCode);
    EXPECT_EQ(bad.reply.text, nkError_getErrorString(kNKErr_snErr_invalidWeekCode));
    EXPECT_EQ(bad.reply.bin, 'F');
    // No colour, no version: the day's file for unknown parts.
    EXPECT_TRUE(fs::exists(fs::path(bad.statistics) / "CGCal_unknown_.csv"));
}

TEST_F(Post, FailuresOnDemandEachFollowedByANormalUnit) {
    launch();
    const std::string sn = serial("Q2A5");
    // How many health answers a unit asks for: the post item's own check is the last.
    const Unit probe = runUnit(sn);
    ASSERT_EQ(probe.reply.bin, 'P');
    const long healthCalls = QBStub_callCount("QB_amIOkay");
    ASSERT_GE(healthCalls, 1);
    const std::string unitCsv = probe.stem + ".csv";

    struct Case {
        const char* what;
        std::function<void()> arm;
        u16 code;
        char bin;
        bool posted;  // the unit CSV gets this unit's row
    } cases[] = {
        {"refused start", [] { QBStub_failCall("QB_UUTStart", 1, 5, 0, "store down"); },
         kNKErr_hubrSessionStartFailed, 'F', false},
        {"unhealthy, class 32", [&] { QBStub_failCall("QB_amIOkay", healthCalls, 1, 32, "locked"); },
         kNKErr_hubrFatalError, 'F', false},
        {"unhealthy, late", [&] { QBStub_delayCall("QB_amIOkay", healthCalls, 1, 300, 32, "late"); },
         kNKErr_hubrFatalError, 'F', false},
        // A record that did not go out fails the unit.
        {"refused commit", [] { QBStub_failCall("QB_UUTCommit", 1, 1, 0, "store offline"); },
         kNKErr_hubrUploadFailed, 'F', true},
        {"late commit", [] { QBStub_delayCall("QB_UUTCommit", 1, 1, 300, 0, "timed out"); },
         kNKErr_hubrUploadFailed, 'F', true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        resetStandIns();
        c.arm();
        const size_t before = committed();
        const size_t rowsBefore = nktest::splitLines(nktest::readFile(unitCsv)).size();
        const Unit u = runUnit(sn);
        ASSERT_TRUE(u.reply.ok);
        EXPECT_EQ(u.reply.code, c.code);
        EXPECT_EQ(u.reply.bin, c.bin);
        EXPECT_TRUE(u.closed);
        EXPECT_FALSE(FN_SessionExists(u.cgSn.c_str()));
        EXPECT_EQ(committed(), before);
        EXPECT_LE(QBStub_callCount("QB_UUTCommit"), 1);
        EXPECT_EQ(nktest::splitLines(nktest::readFile(unitCsv)).size(), rowsBefore + (c.posted ? 1 : 0));
        if (c.posted) {
            EXPECT_TRUE(fs::exists(u.stem + ".plist"));
        }

        resetStandIns();
        const Unit next = runUnit(sn);
        EXPECT_EQ(next.reply.code, 0);
        EXPECT_EQ(next.reply.bin, 'P');
        EXPECT_EQ(committed(), before + 1);
    }
}

TEST_F(Post, FilesThatCannotBeWrittenSendNothingAndCloseTheSession) {
    launch();
    const std::string sn = serial("Q2A5");
    const Unit first = runUnit(sn);
    ASSERT_EQ(first.reply.bin, 'P');
    ASSERT_EQ(committed(), 1u);
    const std::string stem = first.stem;
    struct Case {
        const char* what;
        fs::path blocked;  // a folder where the file should go
        u16 code;
    } cases[] = {{"unit CSV", stem + ".csv", kNKErr_fileOpenFailed},
                 {"property list", stem + ".plist", kNKErr_fileWriteFailed}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(c.blocked);
        fs::create_directories(c.blocked / "x");
        resetStandIns();
        const Unit u = runUnit(sn);
        ASSERT_TRUE(u.reply.ok);
        // Nothing was sent: the unit fails with the failed step's code.
        EXPECT_EQ(u.reply.code, c.code);
        EXPECT_EQ(u.reply.bin, 'F');
        EXPECT_TRUE(u.closed);
        EXPECT_EQ(QBStub_callCount("QB_UUTStart"), 1);
        EXPECT_EQ(QBStub_callCount("QB_UUTCommit"), 0);
        EXPECT_EQ(QBStub_callCount("QB_addResult"), 0);
        EXPECT_FALSE(FN_SessionExists(u.cgSn.c_str()));
        EXPECT_EQ(committed(), 1u);
        fs::remove_all(c.blocked);
    }
}

// The day's statistics row is the unit's record at the station: a unit whose row
// could not be written is answered with the write's code and 'F', with or
// without submission, and the next unit passes again.
TEST_F(Post, AStatisticsRowThatCannotBeWrittenFailsTheUnit) {
    for (bool submission : {false, true}) {
        SCOPED_TRACE(submission ? "with submission" : "without submission");
        launch(submission);
        resetStandIns();
        const std::string sn = serial("Q2A5");
        const Unit first = runUnit(sn);
        ASSERT_EQ(first.reply.bin, 'P');
        std::vector<fs::path> rows;
        for (const auto& e : fs::directory_iterator(first.statistics)) rows.push_back(e.path());
        ASSERT_EQ(rows.size(), 1u);
        fs::remove(rows[0]);
        fs::create_directories(rows[0] / "x");

        const Unit u = runUnit(sn);
        ASSERT_TRUE(u.reply.ok);
        EXPECT_EQ(u.reply.code, kNKErr_fileOpenFailed);
        EXPECT_EQ(u.reply.text, nkError_getErrorString(kNKErr_fileOpenFailed));
        EXPECT_EQ(u.reply.bin, 'F');
        EXPECT_TRUE(u.closed);

        fs::remove_all(rows[0]);
        resetStandIns();
        const Unit next = runUnit(sn);
        EXPECT_EQ(next.reply.code, 0);
        EXPECT_EQ(next.reply.bin, 'P');
        app.reset();
        fs::remove_all(settings.logRoot);
        fs::create_directories(settings.logRoot);
    }
}

// Two testers with one serial number in one second: each unit gets a run folder
// of its own, and each statistics row leads to its own.
TEST_F(Post, TwoUnitsInOneSecondGetTwoRunFolders) {
    if (!nktest::havePython()) GTEST_SKIP();
    launch(false);
    const std::string sn = serial("Q2A5");
    int fds[2] = {-1, -1};
    CVLRA_cg_testSession* sessions[2] = {app->sessions()[0], app->sessions()[1]};
    for (int i = 0; i < 2; ++i) {
        fds[i] = nettest::rawConnect(settings.port);
        ASSERT_GE(fds[i], 0);
        ASSERT_TRUE(nettest::waitFor([&] { return sessions[i]->_testStartTime.load() != kNK_noValue; }));
    }
    // Both links opened in the same second.
    const double second = std::floor(sessions[0]->_testStartTime.load()) + 0.25;
    for (CVLRA_cg_testSession* s : sessions) s->_testStartTime.store(second);
    std::string runs[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(exchange(fds[i], "tscr", 1, tscrPayload("CellD", u8(i + 1), sn)).header.errc, 0);
        runs[i] = sessions[i]->_logPath;
    }
    const std::string stamp = nkUtil_formatTimestampStr(std::floor(second), 1);
    EXPECT_EQ(fs::path(runs[0]).filename().string(), stamp);
    EXPECT_EQ(fs::path(runs[1]).filename().string(), stamp + "_2");
    const std::string statistics = sessions[0]->_statisticsPath;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(postReply(exchange(fds[i], "tsed", 2, Bytes{1})).bin, 'P');
        close(fds[i]);
        EXPECT_NE(nktest::readFile(runs[i] + "/" + sn + ".log").find("* Tester Cell ID     : " + std::to_string(i + 1)),
                  std::string::npos);
    }
    // Each row, read by Python, names the folder whose log is its tester's.
    const std::string out = python(
        "import csv, glob\n"
        "rows = list(csv.reader(open(glob.glob('" + statistics + "/CGCal_*.csv')[0], newline='')))\n"
        "head, data = rows[1], rows[5:]\n"
        "for r in data:\n"
        "    print(r[head.index('TesterID')], repr(r[head.index('config')]))\n");
    EXPECT_EQ(out, "CellD_1 ''\nCellD_2 '" + stamp + "_2'\n");
}

// A folder of the unit that is a link (into another tree) is refused: nothing is
// written through it, nor anywhere else for the unit, and the unit fails.
TEST_F(Post, LinksInTheLogRootAreRefused) {
    launch(false);
    const std::string sn = serial("Q2A5");
    u16 year = 0;
    u8 month = 0, day = 0;
    nkUtil_getCalendar(&year, &month, &day);
    char date[16];
    std::snprintf(date, sizeof(date), "%04d%02d%02d", year, month, day);
    const fs::path root = settings.logRoot, cgCal = root / (std::string("CGCal_") + date + "_CellL");
    const fs::path elsewhere = dir.path() / "elsewhere";
    const fs::path links[] = {root / (std::string("VDXData_") + date + "_CellL"), cgCal, cgCal / "LogsFolder",
                              cgCal / "Statistics", cgCal / "LogsFolder" / sn};
    u8 seq = 1;
    for (const fs::path& link : links) {
        SCOPED_TRACE(link.string());
        fs::remove_all(root);
        fs::create_directories(link.parent_path());
        fs::create_directories(elsewhere);
        fs::create_directory_symlink(elsewhere, link);
        std::set<std::string> before;
        for (const auto& e : fs::recursive_directory_iterator(root)) before.insert(e.path().string());

        const int fd = nettest::rawConnect(settings.port);
        ASSERT_GE(fd, 0);
        const Reply setup = exchange(fd, "tscr", seq++, tscrPayload("CellL", 1, sn));
        ASSERT_TRUE(setup.ok);
        EXPECT_EQ(setup.header.errc, 0);
        EXPECT_STREQ(reinterpret_cast<const char*>(setup.payload.data()), "UNDEFINED");
        const Reply t = exchange(fd, "atst", seq++, atstPayload(3));
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(t.header.errc, 0);
        ASSERT_EQ(t.payload.size(), 31u);
        EXPECT_EQ(t.payload[0] | t.payload[1] << 8, kNKErr_fileOpenFailed);
        const PostReply end = postReply(exchange(fd, "tsed", seq++, Bytes{1}));
        ASSERT_TRUE(end.ok);
        EXPECT_EQ(end.code, kNKErr_fileOpenFailed);
        EXPECT_EQ(end.bin, 'F');
        EXPECT_TRUE(nettest::seesEof(fd));
        close(fd);

        EXPECT_TRUE(fs::is_empty(elsewhere));
        std::set<std::string> after;
        for (const auto& e : fs::recursive_directory_iterator(root)) after.insert(e.path().string());
        EXPECT_EQ(after, before);
        EXPECT_EQ(g_vdxRuns.load(), 0);
        fs::remove_all(elsewhere);
    }
}

// A log root where no folder can be made: the unit's packets are answered with
// that failure and the unit ends with 'F', where they once were "no unit" and the
// end gave no bin at all.
TEST_F(Post, AnUnwritableLogRootFailsTheUnit) {
    fs::remove_all(settings.logRoot);
    nktest::writeFile(settings.logRoot, "not a folder\n");
    launch(false);
    const int fd = nettest::rawConnect(settings.port);
    ASSERT_GE(fd, 0);
    const Reply setup = exchange(fd, "tscr", 1, tscrPayload("CellW", 2, serial("Q2A5")));
    ASSERT_TRUE(setup.ok);
    EXPECT_EQ(setup.header.errc, 0);
    for (const char* ctrl : {"atst", "unif"}) {
        const Reply r = exchange(fd, ctrl, 2, ctrl[0] == 'a' ? atstPayload(3) : unifPayload(8, 2));
        ASSERT_TRUE(r.ok) << ctrl;
        EXPECT_EQ(r.header.errc, 0) << ctrl;
        ASSERT_EQ(r.payload.size(), 31u) << ctrl;
        EXPECT_EQ(r.payload[0] | r.payload[1] << 8, kNKErr_pathNotExist) << ctrl;
        EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data() + 2), nkError_getErrorString(kNKErr_pathNotExist));
    }
    const PostReply end = postReply(exchange(fd, "tsed", 3, Bytes{1}));
    ASSERT_TRUE(end.ok);
    EXPECT_EQ(end.code, kNKErr_pathNotExist);
    EXPECT_EQ(end.bin, 'F');
    EXPECT_TRUE(nettest::seesEof(fd));
    close(fd);
    EXPECT_EQ(nktest::readFile(settings.logRoot), "not a folder\n");
    EXPECT_EQ(g_vdxRuns.load(), 0);
}

TEST_F(Post, SimplifiedModeCompletesAndPassesOnTheRepositoryConfirmation) {
    launch(false);
    const std::string sn = serial("Q2A5");
    for (int confirm : {1, 0}) {
        g_vdxConfirm = confirm;
        const Unit u = runUnit(sn, "SIQC");
        ASSERT_TRUE(u.reply.ok);
        const std::string log = unitLog(u, sn);
        EXPECT_NE(log.find("*** Test Item Complete Check: PASS"), std::string::npos) << log;
        EXPECT_EQ(log.find("INCOMPLETE_TEST"), std::string::npos);
        EXPECT_NE(log.find(confirm ? "*** Test Item Pass     Check: PASS" : "*** Test Item Pass     Check: FAIL"),
                  std::string::npos)
            << confirm;
        EXPECT_NE(log.find(confirm ? "Retrieve VDX: PASS" : "Retrieve VDX: Failed"), std::string::npos);
    }
}

TEST_F(Post, EndWithoutSetupPostsNothing) {
    launch();
    const int fd = nettest::rawConnect(settings.port);
    ASSERT_GE(fd, 0);
    const Reply r = exchange(fd, "tsed", 1, Bytes{1});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, kNKErr_invalidCondition);
    close(fd);
    EXPECT_EQ(g_vdxRuns.load(), 0);
    EXPECT_EQ(QBStub_callCount("QB_UUTStart"), 0);
    for (const auto& e : fs::recursive_directory_iterator(settings.logRoot))
        EXPECT_NE(e.path().extension(), ".csv") << e.path();
}

// The repository item itself after a real transmittance packet, reading the
// unit's record through the repository stand-in on a local folder store.
struct PostWithRepository : Post {
    t_cgVdxEndpoint store;

    void SetUp() override {
        Post::SetUp();
        nktest::writeFile(settings.scriptPath, script(nullptr, "CVLRA_cg_vdx"));
        fs::create_directories(dir.path() / "store");
        store.dsUrl = "file://" + (dir.path() / "store").string();
        store.trustObjectUrl = dir.file("trust.der");
        nktest::writeFile(store.trustObjectUrl, "trust object\n");
        launch(false);
        // The endpoints are taken at each setup packet.
        for (CVLRA_cg_testSession* s : app->sessions())
            s->updateOperatorSettings([&](t_vlraOperatorSettings& o) {
                o.vdxDryRunPath.clear();
                o.vdxDsSetUrl = store.dsUrl;
                o.vdxTrustObjectUrl = store.trustObjectUrl;
            });
    }

    // "tscr" and "atst"; with `gain`, the unit's record is committed to the store
    // from its own transmittance table times gain(nm) before "tsed".
    Unit runMeasured(const std::string& sn, const std::function<float(float)>& gain) {
        Unit u;
        const int fd = nettest::rawConnect(settings.port);
        if (fd < 0) return u;
        const Reply r = exchange(fd, "tscr", 1, tscrPayload("CellP", 4, sn));
        EXPECT_TRUE(r.ok && r.header.errc == 0);
        unitPaths(sn, u);
        EXPECT_EQ(postReply(exchange(fd, "atst", 2, atstPayload(3), 60000)).code, 0);
        if (gain) {
            const std::vector<u8> record = ctclRecordFromTable(u.logPath + "/" + sn + "_atst_trans.csv", sn, 2, gain);
            EXPECT_EQ(record.size(), size_t(ctcl::kSizeV3));
            EXPECT_EQ(cgVdx_upload(app->logManager(), store, sn, record, ""), 0);
        }
        u.reply = postReply(exchange(fd, "tsed", 3, Bytes{1}, 60000));
        u.closed = nettest::seesEof(fd);
        close(fd);
        return u;
    }
};

TEST_F(PostWithRepository, MissingRecordFailsTheUnitACommittedOneGivesItsTilt) {
    if (!nktest::havePython()) GTEST_SKIP();
    const std::string sn = serial("Q2A5");
    const Unit missing = runMeasured(sn, {});
    ASSERT_TRUE(missing.reply.ok);
    EXPECT_EQ(missing.reply.code, kNKErr_vdx_no_entry);
    EXPECT_EQ(missing.reply.text, "vdx_no_entry");
    EXPECT_EQ(missing.reply.bin, 'F');
    EXPECT_TRUE(missing.closed);

    // The record's curves lean against the unit's own: the ratio at w nm is g(550) / g(w).
    auto g = [](float nm) { return 0.5f + 0.001f * (nm - 400.0f); };
    const Unit tilted = runMeasured(sn, g);
    ASSERT_TRUE(tilted.reply.ok);
    EXPECT_EQ(tilted.reply.code, 0) << tilted.reply.text;
    EXPECT_EQ(tilted.reply.bin, 'P');
    EXPECT_TRUE(tilted.closed);

    // Both rows of the day's file, and the unit's ratio table, as Python reads them.
    const std::string out = python(
        "import csv, glob\n"
        "g = lambda w: 0.5 + 0.001 * (w - 400)\n"
        "rows = list(csv.reader(open(glob.glob('" + tilted.statistics + "/CGCal_*.csv')[0], newline='')))\n"
        "head, data = rows[1], rows[5:]\n"
        "col = lambda r, c: r[head.index(c)]\n"
        "print('missing', *(col(data[0], c) for c in ('errCode', 'VDXU::VDX_CONFIRM_RESULT', 'POST::BIN_CODE')))\n"
        "names = [(n, w) for n in (1, 2, 3) for w in [410, 420] + list(range(400, 1101, 50))]\n"
        "worst = max(abs(float(col(data[1], 'VDXU::TP%d_TILT_Ratio_%d' % (n, w))) - g(550) / g(w)) for n, w in names)\n"
        "print('committed', col(data[1], 'errCode'), col(data[1], 'VDXU::VDX_CONFIRM_RESULT'),\n"
        "      float(col(data[1], 'VDXU::VDX_VERSION_GET')), len(names), worst < 1e-3)\n"
        "table = list(csv.reader(open('" + tilted.logPath + "/" + sn + "_atst_trans_TiltRatio.csv', newline='')))\n"
        "worst = max(abs(float(r[p]) - g(550) / g(float(r[0]))) for r in table[50:] for p in (1, 2, 3))\n"
        "print('table', len(table), float(table[125][1]), worst < 1e-3)\n");
    EXPECT_NE(out.find("missing 592 0 F\n"), std::string::npos) << out;
    EXPECT_NE(out.find("committed 0 1 3.1 51 True\n"), std::string::npos) << out;
    EXPECT_NE(out.find("table 401 1.0 True\n"), std::string::npos) << out;
}

TEST(PostReply, TextIsCutAt27AndByte29StaysZero) {
    const std::string longText(40, 'x');
    const auto full = nkVlra_postReply(0x1234, longText.c_str(), 'F');
    EXPECT_EQ(full[0], 0x34);
    EXPECT_EQ(full[1], 0x12);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(full.data() + 2), 27), longText.substr(0, 27));
    EXPECT_EQ(full[29], 0);
    EXPECT_EQ(full[30], 'F');
    const auto shortText = nkVlra_postReply(0, "OK", 'P');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(shortText.data() + 2)), "OK");
    for (size_t i = 4; i < 30; ++i) EXPECT_EQ(shortText[i], 0) << i;
}

TEST(PostScript, RepositoryItemFirstStopsTheStartUp) {
    nktest::TempDir dir;
    const std::string path = dir.file("first.zqs");
    nktest::writeFile(path, script("VDXU class=PostTestVdx\n"));
    EXPECT_DEATH({ CVLRA_cg_testSession s(0, dir.path().string(), path); }, "p2pcTestIdx > 0");
}

}  // namespace
