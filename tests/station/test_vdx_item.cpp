// The repository item in a station session on loopback: the unit's record from
// the cell's dry-run folder or through the repository stand-in, its size and
// version verdicts, and the tilt ratio against the curves the transmittance
// item left in the session, with its two CSV files read back by Python's csv.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "CVLRA_cg_vdx.h"
#include "CVLRA_error.h"
#include "cvlra_ctcl.h"
#include "net_test_util.h"
#include "nk_test_util.h"
#include "station_peer.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

// A smooth transmittance curve in percent, different per point.
float curve(int point, float wl) { return 40.0f + 0.02f * (wl - 300.0f) + 8.0f * std::sin(wl / 90.0f + float(point)); }

// A record whose row r holds `scale` times the curve of point r + shift on the 300..1100 nm grid.
std::vector<u8> recordBytes(u8 major, u8 minor, int shift = 0, float scale = 0.9f, int zeroEntries = 0) {
    t_cgCalData rec{};
    rec.magic = ctcl::kMagic;
    rec.versionMajor = major;
    rec.versionMinor = minor;
    rec.cgType = 2;
    std::snprintf(rec.testerId, sizeof(rec.testerId), "upstream");
    const t_cgCalRowLayout layout = cgCalData_rowLayout(rec);
    for (int r = 0; r < ctcl::kRows; ++r) {
        std::vector<float> row(size_t(layout.values));
        for (int i = 0; i < layout.values; ++i)
            row[size_t(i)] = i < zeroEntries ? 0.0f : scale * curve(r + shift, float(layout.firstNm + 2 * i));
        cgCalData_setRow(rec, r, row.data(), row.size());
    }
    std::vector<u8> bytes = cgCalData_write(rec);
    if (major != 3) bytes.resize(ctcl::kSizeV2);
    return bytes;
}

struct CsvTable {
    int rows = 0;
    int columns = 0;  // of the first row, the empty cell after the last comma not counted
    std::vector<std::vector<double>> cells;
};

// The file as Python's csv module reads it.
CsvTable pythonCsv(const fs::path& file, const fs::path& scratch) {
    CsvTable t;
    const std::string script = scratch.string() + "/read_csv.py";
    nktest::writeFile(script,
                      "import csv, sys\n"
                      "with open(sys.argv[1], newline='') as f:\n"
                      "    rows = list(csv.reader(f))\n"
                      "for r in rows:\n"
                      "    assert r[-1] == '', r\n"
                      "    print(' '.join(repr(float(c)) for c in r[:-1]))\n");
    int status = -1;
    const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + script + " '" + file.string() + "'", &status);
    EXPECT_EQ(status, 0) << out;
    for (const std::string& line : nktest::splitLines(out)) {
        if (line.empty()) continue;
        std::vector<double> row;
        std::istringstream ls(line);
        for (std::string cell; ls >> cell;) row.push_back(cell == "nan" ? std::nan("") : std::stod(cell));
        t.cells.push_back(row);
    }
    t.rows = int(t.cells.size());
    t.columns = t.cells.empty() ? 0 : int(t.cells[0].size());
    return t;
}

struct VdxItem : ::testing::Test {
    nktest::TempDir dir;
    lumbrel::StationSettings settings;
    std::unique_ptr<AppDelegate> app;
    int fd = -1;
    u8 seqn = 1;
    std::string sn = serial("Q2A5");

    void SetUp() override { launch(true); }
    void launch(bool dryRun) {
        settings.logRoot = (dir.path() / "logs").string();
        fs::create_directories(settings.logRoot);
        settings.dataRoot = (dir.path() / "data").string();
        settings.tempFolder = dir.path().string();
        settings.resourceFolder = fs::path(NK_STATION_SCRIPT).parent_path().string();
        settings.scriptPath = NK_STATION_SCRIPT;
        StationSwitches switches;
        switches.repositoryDryRun = dryRun;
        u16 launched = 1;
        for (int attempt = 0; attempt < 5 && launched != 0; ++attempt) {
            settings.port = nettest::freePort();
            app = std::make_unique<AppDelegate>(settings, switches);
            ASSERT_EQ(app->applicationDidFinishLaunching(), 0);
            launched = app->launchServer();
        }
        ASSERT_EQ(launched, 0);
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        app.reset();
    }
    CVLRA_cg_testSession* s() { return app->sessions()[0]; }
    CVLRA_cg_vdx* item() {
        for (CNK_testItem* i : s()->_items)
            if (i->_name == "VDXU") return dynamic_cast<CVLRA_cg_vdx*>(i);
        return nullptr;
    }
    void openUnit() {
        fd = nettest::rawConnect(settings.port);
        ASSERT_GE(fd, 0);
        const Reply r = exchange(fd, "tscr", seqn++, tscrPayload("CellV", 4, sn));
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(r.header.errc, 0);
        ASSERT_FALSE(s()->_vdxDataPath.empty());
    }
    // The curves the transmittance item leaves: `points` curves from `firstNm` on the 2 nm grid.
    void localCurves(int points, int firstNm = 400) {
        s()->_final_wl.clear();
        for (int wl = firstNm; wl <= 1100; wl += 2) s()->_final_wl.push_back(float(wl));
        s()->_final_T.assign(size_t(points), {});
        for (int p = 0; p < points; ++p)
            for (float wl : s()->_final_wl) s()->_final_T[size_t(p)].push_back(curve(p, wl));
        s()->_total_test_point = u32(points);
    }
    void storeRecord(const std::vector<u8>& bytes) {
        nktest::writeFile(s()->_vdxDataPath + "/" + sn + "_CtCl.bin", std::string(bytes.begin(), bytes.end()));
    }
    // Runs the item as the post item does; its first recorded error, or 0.
    u16 run() {
        CVLRA_cg_vdx* v = item();
        EXPECT_NE(v, nullptr);
        if (!v) return 0xFFFF;
        s()->_testData._errCodes.clear();
        s()->_testData._errStrs.clear();
        v->performTest(kNkTestMode_PROD);
        const u16 code = s()->_testData._errCodes.empty() ? 0 : u16(s()->_testData._errCodes.front());
        EXPECT_EQ(v->testStatus(), code == 0 ? kNkTestStat_PASS : kNkTestStat_FAIL);
        return code;
    }
    double value(const std::string& symbol) { return s()->_testData.getData("VDXU", symbol, false); }
    fs::path unitFile(const std::string& suffix) { return fs::path(s()->_logPath) / (sn + suffix); }
    std::string unitLog() { return nktest::readFile(unitFile(".log").string()); }
};

TEST_F(VdxItem, DeclaresItsFiftyFiveSymbols) {
    size_t count = 0;
    for (const t_nkTestData& d : s()->_testData._testDataTable) count += d.testName == "VDXU";
    EXPECT_EQ(count, size_t(kVLRA_vdxSymbolCount));
    EXPECT_EQ(s()->_testData.get_LSL("VDXU", "VDX_VERSION_GET"), 3.1);
    EXPECT_EQ(s()->_testData.getDataType("VDXU", "VDX_CONFIRM_RESULT"), "int8_t");
    EXPECT_EQ(s()->_testData.getDataUnit("VDXU", "TP3_TILT_Ratio_1100"), "%");
}

TEST_F(VdxItem, SameShapeGivesRatioOneAndTheCsvsReadBack) {
    openUnit();
    const std::vector<u8> bytes = recordBytes(3, 1);
    storeRecord(bytes);
    localCurves(3);
    EXPECT_EQ(run(), 0);

    EXPECT_EQ(nktest::readFile(unitFile("_CtCl0.bin").string()), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(value("VDX_CONFIRM_RESULT"), 1.0);
    EXPECT_EQ(value("VDX_VERSION_GET"), 3.1);
    EXPECT_EQ(s()->_vdxVersion, 3.1);
    EXPECT_GE(value("VDX_CONFIRM_TIME"), 0.0);
    for (int n = 1; n <= 3; ++n) {
        const std::string tp = "TP" + std::to_string(n) + "_TILT_Ratio_";
        EXPECT_EQ(value(tp + "550"), 1.0);
        for (const char* w : {"400", "410", "420", "700", "1100"}) EXPECT_NEAR(value(tp + w), 1.0, 1e-3) << tp << w;
    }

    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 is not installed";
    const CsvTable ratio = pythonCsv(unitFile("_atst_trans_TiltRatio.csv"), dir.path());
    ASSERT_EQ(ratio.rows, 401);
    ASSERT_EQ(ratio.columns, 4);  // wavelength and three points
    for (int k = 0; k < 401; ++k) {
        EXPECT_EQ(ratio.cells[size_t(k)][0], 300.0 + 2 * k);
        // Below 400 nm there is no local value to compare.
        for (int p = 1; p <= 3; ++p) EXPECT_NEAR(ratio.cells[size_t(k)][size_t(p)], k < 50 ? 0.0 : 1.0, 1e-3) << k;
    }
    for (int p = 1; p <= 3; ++p) EXPECT_EQ(ratio.cells[125][size_t(p)], 1.0);
    // The record's own curves in percent, as stored.
    const CsvTable fromRecord = pythonCsv(unitFile("_atst_transVDX_forTiltRatio.csv"), dir.path());
    ASSERT_EQ(fromRecord.rows, 401);
    ASSERT_EQ(fromRecord.columns, 4);
    EXPECT_NEAR(fromRecord.cells[200][2], 0.9 * curve(1, 700.0f), 5e-3);
}

TEST_F(VdxItem, FivePointsCompareTheMiddleThreeWithTheRecordsFirstThree) {
    openUnit();
    storeRecord(recordBytes(3, 1, /*shift=*/1));
    localCurves(5);
    EXPECT_EQ(run(), 0);
    for (int n = 1; n <= 3; ++n) EXPECT_NEAR(value("TP" + std::to_string(n) + "_TILT_Ratio_800"), 1.0, 1e-3);

    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 is not installed";
    const CsvTable ratio = pythonCsv(unitFile("_atst_trans_TiltRatio.csv"), dir.path());
    ASSERT_EQ(ratio.rows, 401);
    ASSERT_EQ(ratio.columns, 6);
    // Rows 4 and 5 keep the record's curves normalised at 550 nm.
    for (int k : {50, 200, 400})
        for (int r : {3, 4})
            EXPECT_NEAR(ratio.cells[size_t(k)][size_t(r + 1)],
                        curve(r + 1, float(300 + 2 * k)) / curve(r + 1, 550.0f), 1e-3);
}

TEST_F(VdxItem, LocalCurvesFrom380nmFillTheGridFromEntry40) {
    openUnit();
    storeRecord(recordBytes(3, 1, 0, 0.9f, /*zeroEntries=*/10));
    localCurves(3, 380);
    EXPECT_EQ(run(), 0);
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 is not installed";
    const CsvTable ratio = pythonCsv(unitFile("_atst_trans_TiltRatio.csv"), dir.path());
    ASSERT_EQ(ratio.rows, 401);
    for (int p = 1; p <= 3; ++p) {
        EXPECT_TRUE(std::isnan(ratio.cells[5][size_t(p)]));  // 0 over a record entry of 0
        EXPECT_EQ(ratio.cells[20][size_t(p)], 0.0);           // no local value below 380 nm
        EXPECT_NEAR(ratio.cells[40][size_t(p)], 1.0, 1e-3);   // 380 nm
        EXPECT_EQ(ratio.cells[125][size_t(p)], 1.0);
    }
}

TEST_F(VdxItem, RecordVerdicts) {
    openUnit();
    localCurves(3);
    struct Case {
        const char* what;
        std::vector<u8> bytes;  // empty: no record file
        u16 code;
        double confirm;
        double version;
    };
    std::vector<u8> shortV3 = recordBytes(3, 1);
    shortV3.resize(ctcl::kSizeV2);  // claims version 3 in 3598 bytes
    const Case cases[] = {
        {"3.2 fails the 3.1 limits", recordBytes(3, 2), kNKErr_vdx_GET, 1.0, 3.2},
        {"3.0", recordBytes(3, 0), kNKErr_vdx_dataCheckFailed, 0.0, 3.0},
        {"2.0 in 3598 bytes", recordBytes(2, 0), kNKErr_vdx_dataCheckFailed, 0.0, 2.0},
        {"3598 bytes claiming 3.1", shortV3, kNKErr_vdx_dataCheckFailed, 0.0, -1.0},
        {"wrong size", std::vector<u8>(100, 1), kNKErr_vdx_dataCheckFailed, 0.0, -1.0},
        {"no record", {}, kNKErr_vdx_no_entry, 0.0, -1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(unitFile("_atst_trans_TiltRatio.csv"));
        fs::remove(unitFile("_atst_transVDX_forTiltRatio.csv"));
        fs::remove(s()->_vdxDataPath + "/" + sn + "_CtCl.bin");
        if (!c.bytes.empty()) storeRecord(c.bytes);
        EXPECT_EQ(run(), c.code);
        EXPECT_EQ(value("VDX_CONFIRM_RESULT"), c.confirm);
        EXPECT_NEAR(value("VDX_VERSION_GET"), c.version, 1e-12);
        EXPECT_FALSE(fs::exists(unitFile("_atst_trans_TiltRatio.csv")));
        EXPECT_FALSE(fs::exists(unitFile("_atst_transVDX_forTiltRatio.csv")));
    }
    EXPECT_NE(unitLog().find("[Err] VDX Retrieval Data Size Mismatch: 100 8106"), std::string::npos);
}

TEST_F(VdxItem, LocalDataThatCannotBeComparedGives4) {
    openUnit();
    storeRecord(recordBytes(3, 1));
    struct Case {
        const char* what;
        std::function<void(CVLRA_cg_testSession*)> set;
    };
    const Case cases[] = {
        {"no atst", [](CVLRA_cg_testSession* ss) {
             ss->_final_wl.clear();
             ss->_final_T.clear();
             ss->_total_test_point = 0;
         }},
        {"starts at 402 nm", [this](CVLRA_cg_testSession*) { localCurves(3, 402); }},
        {"four points", [this](CVLRA_cg_testSession*) { localCurves(4); }},
        {"a point shorter than the grid",
         [this](CVLRA_cg_testSession* ss) {
             localCurves(3);
             ss->_final_T[2].resize(100);
         }},
        {"fewer curves than points",
         [this](CVLRA_cg_testSession* ss) {
             localCurves(5);
             ss->_final_T.resize(2);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.set(s());
        EXPECT_EQ(run(), kNKErr_invalidData);
    }
}

TEST_F(VdxItem, TiltOutOfLimitsGives40AfterCheckingEveryRatio) {
    openUnit();
    storeRecord(recordBytes(3, 1));
    localCurves(3);
    s()->_testData.overrideSpec("VDXU", "TP1_TILT_Ratio_410", 1.5, 2.0);
    s()->_testData.overrideSpec("VDXU", "TP3_TILT_Ratio_1100", 1.5, 2.0);
    EXPECT_EQ(run(), kNKErr_t_pct_tilt_delta_OOS);
    // Every ratio is checked, and exactly the two out of their limits show them.
    std::vector<std::string> failing;
    int checked = 0;
    for (const std::string& line : nktest::splitLines(unitLog())) {
        if (line.find("VDXU::TP") == std::string::npos) continue;
        ++checked;
        if (line.find("(exp.") != std::string::npos) failing.push_back(line.substr(line.find("VDXU::")));
    }
    EXPECT_EQ(checked, 51);
    ASSERT_EQ(failing.size(), 2u);
    EXPECT_EQ(failing[0].rfind("VDXU::TP1_TILT_Ratio_410", 0), 0u) << failing[0];
    EXPECT_EQ(failing[1].rfind("VDXU::TP3_TILT_Ratio_1100", 0), 0u) << failing[1];
}

TEST_F(VdxItem, ATiltCsvThatCannotBeWrittenIsAnErrorAndNoPartFile) {
    openUnit();
    storeRecord(recordBytes(3, 1));
    localCurves(3);
    fs::create_directories(unitFile("_atst_trans_TiltRatio.csv") / "in-the-way");
    const u16 code = run();
    EXPECT_TRUE(code == kNKErr_fileOpenFailed || code == kNKErr_fileWriteFailed) << code;
    EXPECT_TRUE(fs::is_directory(unitFile("_atst_trans_TiltRatio.csv")));
    for (const auto& e : fs::directory_iterator(s()->_logPath))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

// Through the repository stand-in rather than the dry-run folder.
struct VdxItemRepository : VdxItem {
    void SetUp() override { launch(false); }
    void endpoints(const std::string& dsUrl) {
        const std::string trust = dir.file("trust.der");
        nktest::writeFile(trust, "trust object\n");
        s()->updateOperatorSettings([&](t_vlraOperatorSettings& o) {
            o.vdxDryRunPath.clear();
            o.vdxDsSetUrl = dsUrl;
            o.vdxTrustObjectUrl = trust;
        });
    }
};

TEST_F(VdxItemRepository, NoEntryGives592AndNoAnswer590) {
    fs::create_directories(dir.path() / "store");
    openUnit();
    for (const auto& [url, code] : {std::pair<std::string, u16>{"file://" + dir.file("store"), kNKErr_vdx_no_entry},
                                    {"https://vdx-ds.station.invalid:8443", kNKErr_vdx_connection_timeout}}) {
        SCOPED_TRACE(url);
        endpoints(url);
        // The endpoints are taken at the setup packet.
        ASSERT_EQ(exchange(fd, "tscr", seqn++, tscrPayload("CellV", 4, sn)).header.errc, 0);
        localCurves(3);
        EXPECT_EQ(run(), code);
        EXPECT_EQ(value("VDX_CONFIRM_RESULT"), 0.0);
    }
    // The repository's own messages went to the unit's log of the download.
    EXPECT_NE(nktest::readFile(unitFile("_vdx.log").string()), "");
}

}  // namespace

namespace {

struct Lines : INK_logRelay {
    std::string text;
    void onLogRelay(const char* t) override { text += t; }
};

// The validation of one unit's record from a folder, as the item and the tools run it.
TEST(VdxValidation, DryRunVerdictsAndRefusals) {
    nktest::TempDir dir;
    CNK_logManager lm;
    Lines lines;
    lm.setLogRelay(&lines);
    const std::string folder = dir.path().string();
    const std::string sn = serial("Q2A5");
    auto store = [&](const std::string& name, const std::vector<u8>& bytes) {
        nktest::writeFile(folder + "/" + name, std::string(bytes.begin(), bytes.end()));
    };
    std::vector<u8> v4 = recordBytes(3, 0);
    v4[4] = 4;
    struct Case {
        const char* what;
        std::string file;
        std::vector<u8> bytes;
        u16 code;
        const char* line;
    };
    const Case cases[] = {
        {"2.0", sn + "_CtCl.bin", recordBytes(2, 0), 0, "* VDX Data Version v2.0 Check Pass."},
        {"3.0", sn + "_CtCl.bin", recordBytes(3, 0), 0, "* VDX Data Version v3.0 Check Pass."},
        {"2.1", sn + "_CtCl.bin", recordBytes(2, 1), 0, "* VDX Data Version v2.1 Check Fail. Upload VDX v2.1."},
        {"3.2", sn + "_CtCl.bin", recordBytes(3, 2), 0, "* VDX Data Version v3.2 Check Fail. Upload VDX v2.1."},
        {"4.0", sn + "_CtCl.bin", v4, kNKErr_vdx_dataCheckFailed, "[Err] VDX Data Version Check Fail."},
        {"wrong size", sn + "_CtCl.bin", std::vector<u8>(8107, 0), kNKErr_invalidDataSize, ""},
        {"only the item's copy", sn + "_CtCl0.bin", recordBytes(3, 0), kNKErr_invalidCondition, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* suffix : {"_CtCl.bin", "_CtCl0.bin", "_CtClx.bin"}) fs::remove(folder + "/" + sn + suffix);
        store(c.file, c.bytes);
        lines.text.clear();
        EXPECT_EQ(nkVlra_validateVDX(&lm, sn, folder, true, {}), c.code);
        EXPECT_NE(lines.text.find(c.line), std::string::npos) << lines.text;
        // The copy for inspection is made for every record file of the right size.
        const bool sized = c.code != kNKErr_invalidDataSize && c.code != kNKErr_invalidCondition;
        EXPECT_EQ(nktest::readFile(folder + "/" + sn + "_CtClx.bin"),
                  sized ? std::string(c.bytes.begin(), c.bytes.end()) : std::string());
    }
    // The tools also take the item's copy.
    t_vlraVdxSource tools;
    tools.acceptCtCl0 = true;
    EXPECT_EQ(nkVlra_validateVDX(&lm, sn, folder, true, tools), 0);

    EXPECT_EQ(nkVlra_validateVDX(&lm, sn, folder + "/missing", true, {}), kNKErr_pathNotExist);
    for (const std::string& bad : std::vector<std::string>{"../x", "a/b", std::string("a\x01") + "b", ""})
        EXPECT_EQ(nkVlra_validateVDX(&lm, bad, folder, true, {}), kNKErr_invalidParam) << bad;
}

}  // namespace
