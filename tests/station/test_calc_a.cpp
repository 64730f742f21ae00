// The a-factor calibration: the aggregation and its file as a table, the unit's
// factor, whole runs over a cell folder that Python writes (flat images and
// spectra whose factors are known in closed form), and a unit stored by the
// station from a tester run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "cvlra_calcA.h"
#include "net_test_util.h"
#include "nk_test_util.h"
#include "station_peer.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

const char* const kHeader = "Machine,a0,a1,Vendor,LightSourceSN,SpectrometerSN[0],SpectrometerSN[1],CalibrationDate\r";
const std::string kTestDir = NK_TEST_SOURCE_DIR;
const std::string kFixture = kTestDir + "/calc_a_fixture.py";

std::vector<float> repeat(size_t n, float a) { return std::vector<float>(n, a); }

// A log manager whose lines are kept for the test.
struct Log : INK_logRelay {
    CNK_logManager lm;
    std::mutex mtx;
    std::string text;
    Log() {
        lm.setVerboseLevel(kVL1);
        lm.setLogRelay(this);
    }
    ~Log() override { lm.setLogRelay(nullptr); }
    void onLogRelay(const char* t) override {
        std::lock_guard<std::mutex> g(mtx);
        text += t;
    }
    bool has(const std::string& s) {
        std::lock_guard<std::mutex> g(mtx);
        return text.find(s) != std::string::npos;
    }
};

TEST(CalcAPieces, TesterIdsMachinesAndBounds) {
    struct IdCase {
        const char* id;
        bool ok;
        const char* tester;
        int socket;
    } ids[] = {{"cell07_3", true, "cell07", 3},  {"cell07_12", true, "cell07", 12}, {"cell07_", false, "", 0},
               {"cell07", false, "", 0},         {"cell07_3x", false, "", 0},       {"cell07_-1", false, "", 0},
               {"a_b_2", false, "", 0},          {"cell07_9999", false, "", 0}};
    for (const IdCase& c : ids) {
        std::string tester;
        int socket = -1;
        EXPECT_EQ(nkVlra_splitTesterId(c.id, &tester, &socket), c.ok) << c.id;
        if (c.ok) {
            EXPECT_EQ(tester, c.tester) << c.id;
            EXPECT_EQ(socket, c.socket) << c.id;
        }
    }
    const std::map<std::string, int> machines = {{"cell07", 7}, {"CG05", 5}, {"cell", -1}, {"", -1}, {"x12y3", 12}};
    for (const auto& [name, id] : machines) EXPECT_EQ(nkVlra_machineIdOf(name), id) << name;

    const std::map<float, bool> counted = {{0.85f, false},     {1.15f, false}, {0.8500001f, true}, {1.1499999f, true},
                                           {1.0f, true},       {0.0f, false},  {-1.0f, false}};
    for (const auto& [a, c] : counted) EXPECT_EQ(nkVlra_isCountedAFactor(a), c) << a;
    EXPECT_FALSE(nkVlra_isCountedAFactor(std::nanf("")));
}

// Steps after the replays: groups averaged, machine named, the file written whole.
TEST(CalcAAggregation, VerdictAndFileAsATable) {
    const float nan = std::nanf("");
    struct Case {
        const char* what;
        std::vector<float> f0, f1;
        const char* tester;
        u16 verdict;
        bool written;
        bool ones;  // the file holds 1.0 for both groups, else the averages
        float avg0, avg1;
        const char* logLine;
    };
    auto cat = [](std::vector<float> a, const std::vector<float>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<Case> cases = {
        {"exactly 100 in each group", repeat(100, 0.95f), repeat(100, 1.05f), "cell07", 0, true, false, 0.95f,
         1.05f, "* Calc A_factor Pass * . machineId = 7"},
        {"99 and 150", repeat(99, 0.95f), repeat(150, 1.05f), "cell07", 3, true, true, 0.95f, 1.05f,
         " . Socket group #1 (1,3,5,7) passed test count = 99"},
        {"bounds are outliers, just inside counts", cat(repeat(100, 0.8500001f), {0.85f, 1.15f}),
         cat(repeat(100, 1.1499999f), {0.5f, 2.0f, nan}), "cell07", 0, true, false, 0.8500001f,
         1.1499999f, " . Average of 100 a_factors[1]"},
        {"a group of outliers only", repeat(3, 0.5f), repeat(120, 1.05f), "cell07", 3, true, true, nan, 1.05f,
         " . Average of 0 a_factors[0] = nan"},
        {"an average of exactly 1.0", repeat(100, 1.0f), repeat(100, 1.05f), "cell07", 1, true, false, 1.0f,
         1.05f, "* Calc A_factor Fail * . machineId = 7"},
        {"no machine id", repeat(100, 0.95f), repeat(100, 1.05f), "cell", 2, false, false, 0.95f, 1.05f,
         "Invalid machineId = -1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        nktest::TempDir dir;
        const std::string out = dir.file("CG_a_factors.csv");
        nktest::writeFile(out, "old");
        Log log;
        t_vlraAFactorInput in;
        in.factors[0] = c.f0;
        in.factors[1] = c.f1;
        in.lastTesterName = c.tester;
        in.lightSourceSn = "LS-1";
        in.spectrometerSn[0] = "SP-A";
        in.spectrometerSn[1] = "SP-B";
        in.date = "20261210213000";
        const t_vlraAFactorOutcome o = nkVlra_saveAFactors(&log.lm, out, in);
        EXPECT_EQ(o.verdict, c.verdict);
        EXPECT_EQ(o.written, c.written);
        for (int g = 0; g < 2; ++g) {
            const float want = g ? c.avg1 : c.avg0;
            if (std::isnan(want)) EXPECT_TRUE(std::isnan(o.average[g]));
            else EXPECT_NEAR(o.average[g], want, 2e-6);
        }
        EXPECT_TRUE(log.has(c.logLine)) << log.text;
        const std::string text = nktest::readFile(out);
        if (!c.written) {
            EXPECT_EQ(text, "old");
            continue;
        }
        char row[256];
        std::snprintf(row, sizeof(row), "7,%5.10f,%5.10f,,LS-1,SP-A,SP-B,20261210213000\r",
                      c.ones ? 1.0 : double(o.average[0]), c.ones ? 1.0 : double(o.average[1]));
        EXPECT_EQ(text, std::string(kHeader) + row);
    }
}

TEST(CalcAAggregation, UnwritableTargetIsTheVerdictAndChangesNothing) {
    nktest::TempDir dir;
    t_vlraAFactorInput in;
    in.factors[0] = repeat(100, 0.95f);
    in.factors[1] = repeat(100, 1.05f);
    in.lastTesterName = "cell07";
    // A folder that is not there, and a name held by a folder (even root cannot
    // replace that with a file).
    const std::string missing = dir.file("CGResource/CG_a_factors.csv");
    const std::string taken = dir.file("CG_a_factors.csv");
    fs::create_directories(taken);
    nktest::writeFile(taken + "/keep", "k");
    for (const std::string& out : {missing, taken}) {
        const t_vlraAFactorOutcome o = nkVlra_saveAFactors(nullptr, out, in);
        EXPECT_NE(o.verdict, 0) << out;
        EXPECT_FALSE(o.written);
    }
    EXPECT_FALSE(fs::exists(dir.path() / "CGResource"));
    EXPECT_TRUE(fs::is_directory(taken));
    EXPECT_EQ(nktest::readFile(taken + "/keep"), "k");
    size_t entries = 0;
    for (auto& e : fs::directory_iterator(dir.path())) entries += e.path().filename() != "CG_a_factors.csv";
    EXPECT_EQ(entries, 0u) << "no temporary file left";
}

// The unit's factor on a session's fields: flat map A, five flat curves T_j.
TEST(CalcAUnitFactor, SlopeOfTheFiveCurvesAgainstTheMap) {
    nktest::TempDir dir;
    CVLRA_cg_testSession s(0, dir.path().string(), NK_STATION_SCRIPT);
    EXPECT_EQ(s._unitAFactor, 0.0f);
    auto fill = [&](float ratio, std::vector<float> ts) {
        s._unif_img_w = 320;
        s._unif_img_h = 12;
        s._unif_beam_size = 200.0f * 1000.0f;
        s._unif_pixel_density = 20.0f * 1000.0f;
        s._unif_centroid_wl = 551.0f;
        s._unif_t_map.assign(320 * 12, ratio);
        s._final_wl.clear();
        for (int k = 0; k < 351; ++k) s._final_wl.push_back(400.0f + 2.0f * k);
        s._final_T.clear();
        for (float t : ts) s._final_T.push_back(std::vector<float>(351, t));
    };
    fill(80.0f, {76, 77, 78, 79, 80});
    EXPECT_NEAR(nkVlra_unitAFactor(nullptr, s), 78.0 / 80.0, 1e-6);

    struct Bad {
        const char* what;
        std::function<void()> spoil;
    } bad[] = {
        {"no four-image request", [&] { s._unif_t_map.clear(); }},
        {"map of another size", [&] { s._unif_t_map.pop_back(); }},
        {"four curves", [&] { s._final_T.pop_back(); }},
        {"six curves", [&] { s._final_T.push_back(s._final_T[0]); }},
        {"beam outside the image", [&] { s._unif_pixel_density = 5.0f * 1000.0f; }},
        {"not on the 400 nm grid", [&] { s._final_wl[0] = 300.0f; }},
        {"all curves zero", [&] { s._unif_t_map.assign(320 * 12, 0.0f); }},
    };
    for (const Bad& b : bad) {
        fill(80.0f, {76, 77, 78, 79, 80});
        b.spoil();
        EXPECT_EQ(nkVlra_unitAFactor(nullptr, s), 0.0f) << b.what;
    }
}

std::string python(const std::string& args, int* status) {
    return nktest::runCommand(std::string(NK_PYTHON) + " " + kFixture + " " + args + " 2>&1", status);
}

// Everything under a folder with its bytes, to see that a run leaves the input as it was.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = nktest::readFile(e.path().string());
    return files;
}

struct Titles {
    std::mutex mtx;
    std::vector<std::pair<std::string, bool>> seen;
    void operator()(const std::string& t, bool visible) {
        std::lock_guard<std::mutex> g(mtx);
        seen.emplace_back(t, visible);
    }
};

struct CalcRun : ::testing::Test {
    nktest::TempDir dir;
    Log log;
    Titles titles;
    t_vlraCalcAOptions opt;
    void SetUp() override {
        fs::create_directories(dir.path() / "data/CGResource");
        fs::create_directories(dir.path() / "tmp");
        opt.outputFile = nkVlra_aFactorsCsvPath((dir.path() / "data").string());
        opt.scriptFile = NK_STATION_SCRIPT;
        opt.tempFolder = (dir.path() / "tmp").string();
        opt.hostVersion = "1.23.45";
        opt.lm = &log.lm;
        opt.progress = [this](const std::string& t, bool v) { titles(t, v); };
    }
    bool tempEmpty() { return fs::is_empty(dir.path() / "tmp"); }
};

TEST_F(CalcRun, CellFolderFromPythonGivesNumpysGroupAverages) {
    if (!nktest::havePython()) GTEST_SKIP();
    int status = -1;
    std::string out = python("gen " + dir.path().string() + " 17", &status);
    ASSERT_EQ(status, 0) << out;
    opt.inputFolder = (dir.path() / "CGCal_20261210_cell07").string();
    const auto before = snapshot(opt.inputFolder);

    const t_vlraCalcAResult r = nkVlra_calcAFactors(opt);
    EXPECT_EQ(r.code, 0) << log.text.substr(log.text.size() > 4000 ? log.text.size() - 4000 : 0);
    EXPECT_TRUE(r.reachedFile);
    EXPECT_EQ(r.outcome.machineId, 7);
    EXPECT_EQ(r.title, "CalcA Pass!");
    // Rows of group 0: 105 + 2 outliers + 1 error row not naming the items; group 1
    // also has its unit without a stored "atst" and the last row.
    EXPECT_EQ(r.accepted[0], 108u);
    EXPECT_EQ(r.accepted[1], 110u);
    EXPECT_EQ(r.outcome.count[0], 106);
    EXPECT_EQ(r.outcome.count[1], 107);
    EXPECT_TRUE(log.has("* found Uniformity error on row"));
    EXPECT_TRUE(log.has("* found Transmitance error on row"));
    EXPECT_TRUE(log.has("[Caution] Skip outliers (a_factors < 0.85 or a_factors > 1.15)"));
    EXPECT_TRUE(log.has("found LightSourceSN  = LS-0042"));

    out = python("check " + opt.outputFile + " " + (dir.path() / "expected.json").string(), &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("OK "), std::string::npos) << out;

    // The input gains only the run's log; the replay's own folders are gone.
    auto after = snapshot(opt.inputFolder);
    std::vector<std::string> added;
    for (const auto& [name, bytes] : after)
        if (!before.count(name)) added.push_back(name);
        else EXPECT_EQ(bytes, before.at(name)) << name;
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].rfind("Calculate_A_Factor_", 0), 0u) << added[0];
    EXPECT_NE(nktest::readFile(opt.inputFolder + "/" + added[0]).find("* Calc A_factor Pass *"), std::string::npos);
    EXPECT_TRUE(tempEmpty());

    std::lock_guard<std::mutex> g(titles.mtx);
    ASSERT_GE(titles.seen.size(), 3u);
    EXPECT_EQ(titles.seen.front(), std::make_pair(std::string("CalcA In-Process!"), false));
    EXPECT_EQ(titles.seen.back(), std::make_pair(std::string("CalcA Pass!"), true));
    EXPECT_NE(std::find(titles.seen.begin(), titles.seen.end(), std::make_pair(std::string("CalcA. 110/110"), false)),
              titles.seen.end());
}

// A small cell folder: `units` rows of sockets 0 and 1, stored packets included.
std::string smallCell(const fs::path& root, int units) {
    // The generator's units are what the big test checks; here a copy of its first rows is enough.
    int status = -1;
    const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " -c \"import sys; sys.path.insert(0, '" +
                                                   kTestDir +
                                                   "'); import calc_a_fixture as f; f.gen_small('" + root.string() +
                                                   "', " + std::to_string(units) + ")\" 2>&1",
                                               &status);
    return status == 0 ? (root / "CGCal_20261210_cell07").string() : "FAILED " + out;
}

TEST_F(CalcRun, EarlyEndsShowTheButtonAndLeaveTheFile) {
    if (!nktest::havePython()) GTEST_SKIP();
    nktest::writeFile(opt.outputFile, "old");
    const fs::path empty = dir.path() / "empty";
    fs::create_directories(empty);
    const std::string oneGroup = smallCell(dir.path() / "one", 1);  // socket 0 only
    ASSERT_EQ(oneGroup.find("FAILED"), std::string::npos) << oneGroup;
    const std::string two = smallCell(dir.path() / "two", 4);
    ASSERT_EQ(two.find("FAILED"), std::string::npos) << two;

    std::atomic<bool> stop{true};
    struct Case {
        const char* what;
        std::string folder;
        const std::atomic<bool>* stop;
        std::string script;
        u16 code;
        const char* title;
        const char* logLine;
    } cases[] = {
        {"missing folder", (dir.path() / "nowhere").string(), nullptr, NK_STATION_SCRIPT, kNKErr_pathNotExist,
         "CalcA Path ERR!", ""},
        {"empty folder", empty.string(), nullptr, NK_STATION_SCRIPT, kNKErr_invalidCondition, "CalcA No Record!",
         "[Error] Not enough record."},
        {"a group without units", oneGroup, nullptr, NK_STATION_SCRIPT, kNKErr_invalidCondition, "CalcA No Record!",
         "found 1 successful test records for socket 0"},
        {"stopped", two, &stop, NK_STATION_SCRIPT, kNKErr_testAborted, "CalcA Failed!", "stopped"},
        {"no script", two, nullptr, (dir.path() / "none.zqs").string(), kNKErr_pathNotExist, "CalcA Path ERR!",
         "scriptFile"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        titles.seen.clear();
        opt.inputFolder = c.folder;
        opt.stop = c.stop;
        opt.scriptFile = c.script;
        const t_vlraCalcAResult r = nkVlra_calcAFactors(opt);
        EXPECT_EQ(r.code, c.code);
        EXPECT_FALSE(r.reachedFile);
        EXPECT_EQ(nktest::readFile(opt.outputFile), "old");
        ASSERT_FALSE(titles.seen.empty());
        EXPECT_EQ(titles.seen.back(), std::make_pair(std::string(c.title), true));
        EXPECT_TRUE(log.has(c.logLine));
        EXPECT_TRUE(tempEmpty());
        // The window's next line stays out of the run's log.
        opt.lm->printText(kVL1, "after the run: %s", c.what);
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(c.folder, ec)) {
            if (e.path().filename().string().rfind("Calculate_A_Factor_", 0) == 0) {
                EXPECT_EQ(nktest::readFile(e.path().string()).find("after the run"), std::string::npos);
            }
        }
    }
}

// A unit the station stored from a tester's packets replays to its factor, and
// the run leaves the station's sessions and switches as they were.
TEST(CalcAStation, UnitsStoredByTheStationReplayToTheirFactors) {
    if (!nktest::havePython()) GTEST_SKIP();
    nktest::TempDir dir;
    lumbrel::StationSettings settings;
    settings.logRoot = (dir.path() / "logs").string();
    settings.dataRoot = (dir.path() / "data").string();
    settings.tempFolder = dir.path().string();
    settings.scriptPath = NK_STATION_SCRIPT;
    fs::create_directories(settings.logRoot);
    fs::create_directories(settings.dataRoot + "/CGResource");
    std::unique_ptr<AppDelegate> app;
    u16 launched = 1;
    for (int attempt = 0; attempt < 5 && launched != 0; ++attempt) {
        settings.port = nettest::freePort();
        StationSwitches sw;
        sw.hubrEnabled = false;
        sw.repositoryDryRun = true;
        app = std::make_unique<AppDelegate>(settings, sw);
        ASSERT_EQ(app->applicationDidFinishLaunching(), 0);
        launched = app->launchServer();
    }
    ASSERT_EQ(launched, 0);

    // Packets of the fixture: unit 1 on socket 2 (a = 0.95), unit 2 on socket 3 (a = 1.05).
    int status = -1;
    const std::string packets = (dir.path() / "packets").string();
    const std::string gen = nktest::runCommand(std::string(NK_PYTHON) + " -c \"import sys; sys.path.insert(0, '" +
                                                   kTestDir +
                                                   "'); import calc_a_fixture as f; f.packets('" + packets + "')\" 2>&1",
                                               &status);
    ASSERT_EQ(status, 0) << gen;
    std::string cgCal;
    std::vector<float> expected;
    for (int u = 0; u < 2; ++u) {
        const std::string stem = packets + "/" + std::to_string(u);
        const std::string sn = nktest::readFile(stem + ".sn");
        expected.push_back(std::stof(nktest::readFile(stem + ".a")));
        auto bytes = [&](const char* ext) {
            const std::string t = nktest::readFile(stem + ext);
            return Bytes(t.begin(), t.end());
        };
        const int fd = nettest::rawConnect(settings.port);
        ASSERT_GE(fd, 0);
        if (u == 0) {
            // A connection that started near the end of its second: "%f" rounds its
            // time stamp up, the folder's name truncates it, unless both take the
            // whole second.
            CVLRA_cg_testSession* first = app->sessions()[0];
            ASSERT_TRUE(nettest::waitFor([&] { return first->_testStartTime.load() > 1e6; }));
            first->_testStartTime.store(std::floor(nkTest_now()) + 0.9999997);
        }
        Reply r = exchange(fd, "tscr", 1, bytes(".tscr"));
        ASSERT_TRUE(r.ok);
        CVLRA_cg_testSession* s = nullptr;
        for (auto* x : app->sessions())
            if (x->isNtcpRunning() && x->_serialNumber == sn) s = x;
        ASSERT_NE(s, nullptr);
        r = exchange(fd, "unif", 2, bytes(".unif"));
        ASSERT_TRUE(r.ok);
        r = exchange(fd, "atst", 3, bytes(".atst"));
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(s->_final_T.size(), 5u);
        cgCal = s->_cgCalPath;
        // The post item ends the unit: its statistics row names the run folder.
        r = exchange(fd, "tsed", 4, Bytes{1});
        ASSERT_TRUE(r.ok);
        close(fd);
        // The unit's close handling is over before the next unit or the replay.
        ASSERT_TRUE(nettest::waitFor([&] { return !s->isNtcpRunning(); }));
    }

    std::vector<bool> hubr;
    for (auto* s : app->sessions()) hubr.push_back(s->operatorSettings().isHubrEnabled);
    Log log;
    t_vlraCalcAOptions opt = app->calcAOptions(cgCal);
    EXPECT_EQ(opt.outputFile, settings.dataRoot + "/CGResource/CG_a_factors.csv");
    opt.lm = &log.lm;
    const t_vlraCalcAResult r = nkVlra_calcAFactors(opt);
    ASSERT_TRUE(r.reachedFile) << log.text;
    ASSERT_EQ(r.input.factors[0].size(), 1u);
    ASSERT_EQ(r.input.factors[1].size(), 1u);
    EXPECT_NEAR(r.input.factors[0][0], expected[0], 2e-6);
    EXPECT_NEAR(r.input.factors[1][0], expected[1], 2e-6);
    EXPECT_EQ(r.outcome.verdict, 3);  // one unit per group is not a calibration
    EXPECT_EQ(r.outcome.machineId, 7);
    EXPECT_EQ(nktest::readFile(opt.outputFile).substr(0, std::strlen(kHeader)), kHeader);
    for (size_t i = 0; i < app->sessions().size(); ++i) {
        EXPECT_EQ(app->sessions()[i]->operatorSettings().isHubrEnabled, hubr[i]);
        EXPECT_FALSE(app->sessions()[i]->_isOfflineRun.load());
    }
    // The replay wrote nothing under the station's log root.
    size_t calDays = 0;
    for (auto& e : fs::directory_iterator(settings.logRoot))
        calDays += e.path().filename().string().rfind("CGCal_", 0) == 0;
    EXPECT_EQ(calDays, 1u);
    app.reset();
}

}  // namespace
