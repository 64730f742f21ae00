// The transmittance item through the station's sessions on loopback: "atst"
// payloads from a raw-socket tester, the reply, the unit's files, the data
// symbols with their limits and the curves left in the session.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <sstream>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "CVLRA_cg_transmittance.h"
#include "CVLRA_error.h"
#include "net_test_util.h"
#include "nk_test_util.h"
#include "station_peer.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

struct Block {
    u8 index = 1;
    float x = 1.5f, y = -2.0f, a = 0.25f;
    std::vector<std::array<float, 4>> samples;
};

// A smooth seeded spectrum: lamp curve, dark level, transmittance level per point.
Block spectrum(u8 index, unsigned seed, float lo = 399.0f, float hi = 1101.0f, int n = 600) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    const float level = 60.0f + 30.0f * u(rng), slope = 0.01f * u(rng), phase = 6.0f * u(rng);
    Block b;
    b.index = index;
    for (int i = 0; i < n; ++i) {
        const float wl = lo + (hi - lo) * float(i) / float(n - 1);
        const float dark = 100.0f + 2.0f * std::sin(wl / 30.0f);
        const float lamp = 1000.0f + 40000.0f * std::exp(-std::pow((wl - 700.0f) / 250.0f, 2.0f));
        const float t = (level + slope * (wl - 400.0f) + 2.0f * std::sin(wl / 80.0f + phase)) / 100.0f;
        b.samples.push_back({wl, dark, dark + lamp, dark + lamp * t});
    }
    return b;
}

Bytes payloadOf(const std::vector<Block>& blocks) {
    Bytes p;
    p.push_back(u8(blocks.size()));
    auto put = [&](const void* v, size_t n) {
        const u8* c = static_cast<const u8*>(v);
        p.insert(p.end(), c, c + n);
    };
    for (const Block& b : blocks) {
        p.push_back(b.index);
        const u32 n = u32(b.samples.size());
        put(&n, 4);
        put(&b.x, 4);
        put(&b.y, 4);
        put(&b.a, 4);
        for (const auto& s : b.samples) put(s.data(), 16);
    }
    return p;
}

std::vector<Block> fivePoints() {
    std::vector<Block> v;
    for (u8 k = 1; k <= 5; ++k) v.push_back(spectrum(k, 100 + k));
    return v;
}

u16 replyCode(const Reply& r) { return r.payload.size() == 31 ? u16(r.payload[0] | r.payload[1] << 8) : 0xFFFF; }
std::string replyName(const Reply& r) {
    return r.payload.size() == 31 ? std::string(reinterpret_cast<const char*>(r.payload.data() + 2), 29).c_str() : "";
}

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Transmittance : ::testing::Test {
    nktest::TempDir dir;
    lumbrel::StationSettings settings;
    std::unique_ptr<AppDelegate> app;
    int fd = -1;
    u8 seqn = 1;

    void SetUp() override {
        settings.logRoot = (dir.path() / "logs").string();
        fs::create_directories(settings.logRoot);
        settings.dataRoot = (dir.path() / "data").string();
        settings.tempFolder = dir.path().string();
        settings.resourceFolder = fs::path(NK_STATION_SCRIPT).parent_path().string();
        settings.scriptPath = NK_STATION_SCRIPT;
        u16 launched = 1;
        for (int attempt = 0; attempt < 5 && launched != 0; ++attempt) {
            settings.port = nettest::freePort();
            app = std::make_unique<AppDelegate>(settings, StationSwitches{});
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
    // A tester on session 0 with a unit of this serial number open.
    void openUnit(const std::string& sn = serial("Q2A5")) {
        fd = nettest::rawConnect(settings.port);
        ASSERT_GE(fd, 0);
        const Reply r = exchange(fd, "tscr", seqn++, tscrPayload("CellT", 3, sn));
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(r.header.errc, 0);
        ASSERT_FALSE(s()->_logPath.empty());
    }
    Reply atst(const Bytes& payload) { return exchange(fd, "atst", seqn++, payload); }
    // The figures of the stored packet, re-computed by the numpy oracle: named rows of
    // 351 grid values, the per-point ones keyed "final 1", "tilt 2" and so on.
    std::map<std::string, std::vector<double>> oracleFigures(int colour, const std::string& saveAs) {
        const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " NK_TEST_DATA_DIR "/atst_oracle.py " +
                                                   unitFile("_atst.bin").string() + " " + std::to_string(colour) +
                                                   " " + std::to_string(s()->_cgType));
        nktest::writeFile(saveAs, out);
        std::map<std::string, std::vector<double>> rows;
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream in(line);
            std::string name, k;
            in >> name;
            if (name == "final" || name == "tilt" || name == "var") {
                in >> k;
                name += " " + k;
            }
            std::vector<double>& row = rows[name];
            std::string v;
            while (in >> v) row.push_back(std::stod(v));  // stod reads "nan"
        }
        return rows;
    }
    // The unit's tables, read by Python's csv, and the session's curves and the data
    // symbols, against the oracle's float32 re-computation from the stored packet.
    void expectNumpyFigures(int colour, size_t points) {
        if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with numpy is not installed";
        nktest::TempDir work;
        const std::string oracleOut = work.file("oracle.txt");
        auto want = oracleFigures(colour, oracleOut);
        const bool weighted = s()->_cgType == 2;
        ASSERT_EQ(want.size(), 3 * points + 3 + (weighted ? 1 : 0)) << slurp(oracleOut);
        for (const auto& [name, row] : want) ASSERT_EQ(row.size(), 351u) << name;

        const std::string script = work.file("check.py");
        nktest::writeFile(script,
                          "import csv\n"
                          "rows = [line.split() for line in open('" + oracleOut + "')]\n"
                          "want = [[float(v) for v in r[2:]] for r in rows if r[0] == 'final']\n"
                          "weighted = [float(v) for r in rows if r[0] == 'weighted' for v in r[1:]]\n"
                          "def table(path):\n"
                          "    with open(path, newline='') as f:\n"
                          "        rows = list(csv.reader(f))\n"
                          "    print('rows', len(rows))\n"
                          "    print('ends with a comma', all(r[-1] == '' for r in rows))\n"
                          "    cells = [[float(c) for c in r[:-1]] for r in rows]\n"
                          "    print('zeros', all(v == 0.0 for r in cells[:50] for v in r))\n"
                          "    return cells\n"
                          "cells = table('" + unitFile("_atst_trans.csv").string() + "')\n"
                          "print('widths', sorted(set(len(r) for r in cells)), len(want))\n"
                          "print('worst %.3g' % max(abs(cells[50 + i][k] - want[k][i]) / max(1.0, abs(want[k][i]))\n"
                          "                         for k in range(len(want)) for i in range(351)))\n"
                          "if weighted:\n"
                          "    cells = table('" + unitFile("_atst_weightedT.csv").string() + "')\n"
                          "    print('weighted widths', sorted(set(len(r) for r in cells)))\n"
                          "    print('weighted worst %.3g' % max(abs(cells[50 + i][0] - weighted[i]) for i in range(351)))\n");
        int status = -1;
        const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + script + " 2>&1", &status);
        ASSERT_EQ(status, 0) << out;
        const std::string n = std::to_string(points);
        const std::string shape = "rows 401\nends with a comma True\nzeros True\n";
        EXPECT_EQ(out.find(shape + "widths [" + n + "] " + n + "\nworst "), 0u) << out;
        auto worst = [&](const std::string& label) {
            const size_t at = out.find(label + " ");
            return at == std::string::npos ? 1e9 : std::stod(out.substr(at + label.size() + 1));
        };
        EXPECT_LE(worst("\nworst"), 1e-4) << out;
        if (weighted) {
            EXPECT_NE(out.find("\n" + shape + "weighted widths [1]\n"), std::string::npos) << out;
            EXPECT_LE(worst("\nweighted worst"), 1e-3) << out;
        }

        // The session's curves, as the repository item reads them. The figures are in
        // percent; float32 against float64 sums differ by about 1e-5 here.
        const double tolerance = 1e-3;
        auto expectCurve = [&](const std::vector<float>& got, const std::string& row) {
            ASSERT_EQ(got.size(), 351u) << row;
            size_t at = 0;
            double most = 0;
            for (size_t i = 0; i < 351; ++i) {
                const double d = std::fabs(got[i] - want[row][i]);
                if (std::isnan(d) || d > most) {
                    at = i;
                    most = d;
                }
            }
            EXPECT_LE(most, tolerance) << row << " at " << 400 + 2 * at << " nm: " << got[at] << " for " << want[row][at];
        };
        ASSERT_EQ(s()->_final_T.size(), points);
        for (size_t k = 0; k < points; ++k) expectCurve(s()->_final_T[k], "final " + std::to_string(k + 1));
        if (weighted) {
            expectCurve(s()->_weighted_T, "weighted");
        } else {
            EXPECT_TRUE(s()->_weighted_T.empty());
        }

        // Every recorded figure, by its symbol: the grid index of wl is (wl - 400) / 2.
        struct Family {
            std::string symbol, row;
            bool has410and420;
        };
        std::vector<Family> families = {
            {"T_PCT_STDEV_", "stdev", false}, {"TP_PCT_AVG_", "mean", true}, {"TP_TILT_AVG_", "tiltavg", false}};
        for (size_t k = 1; k <= points; ++k) {
            const std::string tp = "TP" + std::to_string(k), key = " " + std::to_string(k);
            families.push_back({tp + "_T_PCT_", "final" + key, true});
            families.push_back({tp + "_TILT_", "tilt" + key, false});
            families.push_back({tp + "_T_PCT_VAR_", "var" + key, true});
        }
        CNK_testData& td = s()->_testData;
        size_t compared = 0;
        for (const Family& f : families) {
            std::vector<int> wls;
            if (f.has410and420) wls = {410, 420};
            for (int wl = 400; wl <= 1100; wl += 50) wls.push_back(wl);
            for (int wl : wls) {
                const std::string name = f.symbol + std::to_string(wl);
                const double expected = want[f.row].at(size_t(wl - 400) / 2);
                const double got = td.getData("T", name, false);
                if (std::isnan(expected)) {
                    EXPECT_TRUE(std::isnan(got)) << name;
                } else {
                    EXPECT_NEAR(got, expected, tolerance) << name;
                }
                ++compared;
            }
        }
        EXPECT_EQ(compared, 47 + 49 * points);
    }
    fs::path unitFile(const std::string& suffix) { return fs::path(s()->_logPath) / (s()->_serialNumber + suffix); }
};

TEST_F(Transmittance, FivePointsPassWithFilesSymbolsAndSessionCurves) {
    openUnit();
    const std::vector<Block> blocks = fivePoints();
    const Bytes payload = payloadOf(blocks);
    const Reply r = atst(payload);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, 0);
    EXPECT_EQ(replyCode(r), 0);
    EXPECT_EQ(replyName(r), "OK");
    EXPECT_EQ(s()->_ctrlItemMap.at(kVLRA_ctrl_atst)->testStatus(), kNkTestStat_PASS);

    // The stored packet is the payload as sent.
    EXPECT_EQ(slurp(unitFile("_atst.bin")), std::string(payload.begin(), payload.end()));
    for (int k = 1; k <= 5; ++k) EXPECT_TRUE(fs::exists(unitFile("_T_tp" + std::to_string(k) + ".jpg")));
    EXPECT_TRUE(fs::exists(unitFile("_Ref.jpg")));
    EXPECT_FALSE(fs::exists(unitFile("_atst_raw_tp0.csv")));  // development mode only

    // Session curves.
    EXPECT_EQ(s()->_total_test_point, 5u);
    ASSERT_EQ(s()->_final_wl.size(), 351u);
    EXPECT_FLOAT_EQ(s()->_final_wl.front(), 400.0f);
    EXPECT_FLOAT_EQ(s()->_final_wl.back(), 1100.0f);
    ASSERT_EQ(s()->_final_T.size(), 5u);
    ASSERT_EQ(s()->_weighted_T.size(), 351u);  // CG type 2

    // The table: 50 zero lines, then one value per point and grid wavelength.
    std::ifstream csv(unitFile("_atst_trans.csv"));
    std::string line;
    int lines = 0;
    while (std::getline(csv, line)) {
        std::vector<double> cells;
        std::stringstream ls(line);
        std::string cell;
        while (std::getline(ls, cell, ',')) cells.push_back(std::stod(cell));
        ASSERT_EQ(cells.size(), 5u) << line;
        for (int k = 0; k < 5; ++k) {
            const double want = lines < 50 ? 0.0 : s()->_final_T[k][lines - 50];
            EXPECT_NEAR(cells[k], want, 1e-6);
            if (lines >= 50) {
                EXPECT_GT(cells[k], 50.0);
            }  // the seeded levels are 60..95 %
        }
        ++lines;
    }
    EXPECT_EQ(lines, 401);
    expectNumpyFigures(0, 5);
    EXPECT_EQ(slurp(unitFile("_atst_weightedT.csv")).substr(0, 14), "0.0000000000,\n");

    // Symbols: the final curve at 550 nm, tilt 100 there, positions by index byte.
    CNK_testData& td = s()->_testData;
    EXPECT_NEAR(td.getData("T", "TP2_T_PCT_550", false), s()->_final_T[1][75], 1e-5);
    EXPECT_NEAR(td.getData("T", "TP2_TILT_550", false), 100.0, 1e-4);
    EXPECT_NEAR(td.getData("T", "TP1_XPOS", false), 1.5, 1e-6);
    double mean = 0;
    for (int k = 0; k < 5; ++k) mean += s()->_final_T[k][5];
    EXPECT_NEAR(td.getData("T", "TP_PCT_AVG_410", false), mean / 5, 1e-3);
}

TEST_F(Transmittance, DeclaresTheSymbolsInOrder) {
    std::vector<std::string> names;
    for (const t_nkTestData& d : s()->_testData._testDataTable)
        if (d.testName == "T") names.push_back(d.itemName);
    ASSERT_EQ(names.size(), 307u);
    EXPECT_EQ(names[0], "TP1_XPOS");
    EXPECT_EQ(names[3], "TP1_T_PCT_410");
    EXPECT_EQ(names[5], "TP1_T_PCT_400");
    EXPECT_EQ(names[20], "TP1_TILT_400");
    EXPECT_EQ(names[35], "TP1_T_PCT_VAR_410");
    EXPECT_EQ(names[37], "TP1_T_PCT_VAR_400");
    EXPECT_EQ(names[52], "TP2_XPOS");
    EXPECT_EQ(names[260], "T_PCT_STDEV_400");
    EXPECT_EQ(names[275], "TP_PCT_AVG_410");
    EXPECT_EQ(names[277], "TP_PCT_AVG_400");
    EXPECT_EQ(names[292], "TP_TILT_AVG_400");
    EXPECT_EQ(names[306], "TP_TILT_AVG_1100");
    EXPECT_EQ(s()->_testData.getDataUnit("T", "TP3_APOS"), "px");
    EXPECT_EQ(s()->_testData.getDataUnit("T", "TP3_TILT_700"), "%");
}

TEST_F(Transmittance, SpectrumMustCoverTheGrid) {
    openUnit();
    const struct {
        float lo, hi;
        u16 code;
    } cases[] = {{400.0f, 1100.0f, 0}, {400.1f, 1100.0f, 6}, {400.0f, 1099.9f, 6}, {380.0f, 1120.0f, 0}};
    for (const auto& c : cases) {
        const Reply r = atst(payloadOf({spectrum(1, 7, c.lo, c.hi), spectrum(2, 8, c.lo, c.hi)}));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(replyCode(r), c.code) << c.lo << ".." << c.hi;
        EXPECT_EQ(s()->_total_test_point, c.code == 0 ? 2u : 0u);
    }
}

TEST_F(Transmittance, FirstFailingFamilyNamesTheResult) {
    openUnit();
    CNK_testData& td = s()->_testData;
    td.overrideSpec("T", "TP1_XPOS", 0.0, 1.0);      // 1.5 sent: positions fail
    td.overrideSpec("T", "TP1_TILT_400", 0.0, 1.0);  // tilt ~100: fails too
    Reply r = atst(payloadOf(fivePoints()));
    EXPECT_EQ(replyCode(r), kNKErr_position_OOS);
    EXPECT_EQ(replyName(r), "position_OOS");

    td.overrideSpec("T", "TP1_XPOS", kNK_noValue, kNK_noValue);
    td.overrideSpec("T", "TP1_TILT_400", kNK_noValue, kNK_noValue);
    // The 400..900 nm range bound of TP_PCT_AVG_900 alone: 60..95 % passes 100, fails 70.
    td.overrideSpec("T", "TP_PCT_AVG_900", kNK_noValue, 100.0);
    r = atst(payloadOf(fivePoints()));
    EXPECT_EQ(replyCode(r), 0);
    td.overrideSpec("T", "TP_PCT_AVG_900", kNK_noValue, 70.0);
    r = atst(payloadOf(fivePoints()));
    EXPECT_EQ(replyCode(r), kNKErr_t_pct_avg_OOS);
    EXPECT_EQ(s()->_ctrlItemMap.at(kVLRA_ctrl_atst)->testStatus(), kNkTestStat_FAIL);
}

TEST_F(Transmittance, ThreePointsClearSpreadLimitsForTheirCheckOnly) {
    openUnit();
    CNK_testData& td = s()->_testData;
    td.overrideSpec("T", "T_PCT_STDEV_700", 0.0, 0.001);
    const std::vector<Block> five = fivePoints();
    Reply r = atst(payloadOf({five[0], five[1], five[2]}));
    EXPECT_EQ(replyCode(r), 0);
    expectNumpyFigures(0, 3);  // three points weigh by their own table
    EXPECT_DOUBLE_EQ(td.get_USL("T", "T_PCT_STDEV_700"), 0.001);  // put back
    r = atst(payloadOf({five[0], five[1]}));
    EXPECT_EQ(replyCode(r), kNKErr_t_pct_stdev_OOS);
    expectNumpyFigures(0, 2);  // recorded before the check that fails
}

TEST_F(Transmittance, OnePointHasNoSpreadAndFailsItsCheck) {
    // The spread over the points is undefined for one point: its symbols hold NaN,
    // which no check passes, so the unit fails on them though no limit is set.
    openUnit();
    const Reply r = atst(payloadOf({spectrum(1, 5)}));
    EXPECT_EQ(replyCode(r), kNKErr_t_pct_stdev_OOS);
    EXPECT_TRUE(std::isnan(s()->_testData.getData("T", "T_PCT_STDEV_700", false)));
    EXPECT_NEAR(s()->_testData.getData("T", "TP1_T_PCT_VAR_700", false), 0.0, 1e-9);
    EXPECT_EQ(s()->_total_test_point, 1u);  // the curves are still left for the repository item
    EXPECT_EQ(replyCode(atst(payloadOf({spectrum(1, 5), spectrum(2, 6)}))), 0);
}

TEST_F(Transmittance, MalformedPayloadsAreRefusedWhole) {
    openUnit();
    const Bytes good = payloadOf({spectrum(1, 1), spectrum(2, 2)});
    ASSERT_EQ(replyCode(atst(good)), 0);
    const std::string stored = slurp(unitFile("_atst.bin"));
    // The run folder by name and content, but the unit's log, which goes on.
    auto runFolder = [&] {
        std::map<std::string, size_t> files;
        for (const auto& e : fs::directory_iterator(s()->_logPath))
            if (e.path().extension() != ".log")
                files[e.path().filename().string()] = std::hash<std::string>{}(slurp(e.path()));
        return files;
    };
    const auto before = runFolder();
    ASSERT_GE(before.size(), 5u);

    // A second tester, with its unit open while the first sends its bad packets.
    const int other = nettest::rawConnect(settings.port);
    ASSERT_GE(other, 0);
    const std::string otherSn = serial("Q2A6");
    ASSERT_EQ(exchange(other, "tscr", 1, tscrPayload("CellT", 4, otherSn)).header.errc, 0);

    auto withN = [&](u8 n) {
        Bytes p = good;
        p[0] = n;
        return p;
    };
    auto withCount = [&](u32 n) {
        Bytes p = good;
        std::memcpy(p.data() + 2, &n, 4);
        return p;
    };
    Bytes idx0 = good;
    idx0[1] = 0;
    Bytes unequal = payloadOf({spectrum(1, 1), spectrum(2, 2, 399.0f, 1101.0f, 500)});
    const struct {
        const char* what;
        Bytes payload;
    } cases[] = {
        {"no points", withN(0)},
        {"six points", withN(6)},
        {"one point more than sent", withN(3)},
        {"one point fewer", withN(1)},
        {"count wraps 32 bits", withCount(0x10000001u)},
        {"count huge", withCount(0xFFFFFFFFu)},
        {"index byte 0", idx0},
        {"unequal sample counts", unequal},
        {"truncated", Bytes(good.begin(), good.end() - 7)},
        {"one byte", Bytes{2}},
        {"trailing byte", [&] { Bytes p = good; p.push_back(0); return p; }()},
    };
    for (const auto& c : cases) {
        const Reply r = atst(c.payload);
        ASSERT_TRUE(r.ok) << c.what;
        EXPECT_EQ(r.header.errc, 0) << c.what;
        EXPECT_EQ(replyCode(r), kNKErr_invalidDataSize) << c.what;
        EXPECT_EQ(slurp(unitFile("_atst.bin")), stored) << c.what;
        EXPECT_EQ(runFolder(), before) << c.what;
        EXPECT_EQ(s()->_total_test_point, 0u) << c.what;
    }
    // The same link goes on, and the other tester is served.
    EXPECT_EQ(replyCode(atst(good)), 0);
    EXPECT_EQ(s()->_total_test_point, 2u);
    const Reply r = exchange(other, "atst", 2, payloadOf(fivePoints()));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(replyCode(r), 0);
    EXPECT_EQ(replyName(r), "OK");
    CVLRA_cg_testSession* otherSession = nullptr;
    for (CVLRA_cg_testSession* each : app->sessions())
        if (each != s() && each->_serialNumber == otherSn) otherSession = each;
    ASSERT_NE(otherSession, nullptr);
    EXPECT_EQ(otherSession->_total_test_point, 5u);
    close(other);
}

// A spectrum that cannot be evaluated, or one the range check refuses, answers 6
// and leaves the unit's stored packet and files as the last accepted one made them.
TEST_F(Transmittance, CorruptOrRefusedSpectraKeepTheAcceptedPacket) {
    s()->updateOperatorSettings([](t_vlraOperatorSettings& o) { o.isDevelopmentMode = true; });
    openUnit();
    const Bytes good = payloadOf({spectrum(1, 1), spectrum(2, 2)});
    ASSERT_EQ(replyCode(atst(good)), 0);
    auto runFolder = [&] {
        std::map<std::string, size_t> files;
        for (const auto& e : fs::directory_iterator(s()->_logPath))
            if (e.path().extension() != ".log")
                files[e.path().filename().string()] = std::hash<std::string>{}(slurp(e.path()));
        return files;
    };
    const auto before = runFolder();
    ASSERT_TRUE(before.count(s()->_serialNumber + "_atst_raw_tp1.csv"));

    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    auto changed = [](std::function<void(Block&)> change) {
        Block b = spectrum(2, 2);
        change(b);
        return payloadOf({spectrum(1, 1), b});
    };
    const struct {
        const char* what;
        Bytes payload;
    } cases[] = {
        {"14 NaN readings", changed([&](Block& b) { for (int i = 0; i < 14; ++i) b.samples[40 * i + 7][3] = nan; })},
        {"NaN wavelength", changed([&](Block& b) { b.samples[300][0] = nan; })},
        {"infinite dark", changed([&](Block& b) { b.samples[10][1] = -inf; })},
        {"infinite white", changed([&](Block& b) { b.samples[599][2] = inf; })},
        {"descending wavelengths", changed([](Block& b) { std::reverse(b.samples.begin(), b.samples.end()); })},
        {"a repeated wavelength", changed([](Block& b) { b.samples[201][0] = b.samples[200][0]; })},
        {"one pair swapped", changed([](Block& b) { std::swap(b.samples[100][0], b.samples[101][0]); })},
        {"range not covered", payloadOf({spectrum(1, 1, 400.1f), spectrum(2, 2, 400.1f)})},
    };
    for (const auto& c : cases) {
        const Reply r = atst(c.payload);
        ASSERT_TRUE(r.ok) << c.what;
        EXPECT_EQ(replyCode(r), kNKErr_invalidTestCondition) << c.what;
        EXPECT_EQ(s()->_ctrlItemMap.at(kVLRA_ctrl_atst)->testStatus(), kNkTestStat_FAIL) << c.what;
        EXPECT_EQ(s()->_total_test_point, 0u) << c.what;
        EXPECT_EQ(slurp(unitFile("_atst.bin")), std::string(good.begin(), good.end())) << c.what;
        EXPECT_EQ(runFolder(), before) << c.what;
    }
    // An accepted packet is kept again.
    const Bytes next = payloadOf({spectrum(1, 3), spectrum(2, 4)});
    EXPECT_EQ(replyCode(atst(next)), 0);
    EXPECT_EQ(slurp(unitFile("_atst.bin")), std::string(next.begin(), next.end()));
}

TEST_F(Transmittance, EmptyPayloadFailsAndClosesTheLink) {
    openUnit();
    const Reply r = atst({});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, 10);
    EXPECT_TRUE(r.payload.empty());
    EXPECT_TRUE(nettest::recvN(fd, 1, 2000).empty());
}

TEST_F(Transmittance, WhiteUnitKeepsTheBlueEndUnsmoothed) {
    openUnit(serial("Q2B0"));
    ASSERT_EQ(s()->_cgColor, 1);
    const Reply r = atst(payloadOf(fivePoints()));
    EXPECT_EQ(replyCode(r), 0);
    std::vector<t_vlraAtstPoint> pts;
    const Bytes p = payloadOf(fivePoints());
    ASSERT_EQ(nkVlra_parseAtst(p.data(), p.size(), pts), 0);
    t_vlraAtstEval ev;
    ASSERT_EQ(nkVlra_evaluateAtst(nullptr, pts, s()->_cgType, 1, ev), 0);
    for (int i = 0; i <= 25; ++i) EXPECT_EQ(s()->_final_T[0][i], ev.resampled[0][i]);
    expectNumpyFigures(1, 5);
}

TEST_F(Transmittance, DevelopmentModeWritesRawCsvAndOfflineRunStaysSilent) {
    s()->updateOperatorSettings([](t_vlraOperatorSettings& o) { o.isDevelopmentMode = true; });
    openUnit();
    // Positions are recorded under the index byte but checked by order: TP1 has none.
    EXPECT_EQ(replyCode(atst(payloadOf({spectrum(4, 1)}))), kNKErr_position_OOS);
    const std::string raw = slurp(unitFile("_atst_raw_tp0.csv"));
    EXPECT_EQ(raw.substr(0, 20), "x_offset, 1.500000\ny");
    EXPECT_NE(raw.find("\nwavelength, 399.000000, "), std::string::npos);
    EXPECT_TRUE(std::isfinite(s()->_testData.getData("T", "TP4_XPOS", false)));

    s()->_isOfflineRun = true;
    nettest::RawPacket p;
    p.ctrl = nettest::fourCC("atst");
    p.seqn = seqn++;
    p.payload = payloadOf({spectrum(1, 3), spectrum(2, 4)});
    ASSERT_TRUE(nettest::sendAll(fd, p.bytes()));
    // The evaluation's end is its verdict; a reply would follow it at once.
    EXPECT_TRUE(nettest::waitFor(
        [&] {
            return s()->_ctrlItemMap.at(kVLRA_ctrl_atst)->testStatus() == kNkTestStat_PASS &&
                   s()->_total_test_point == 2u;
        },
        60000));
    EXPECT_TRUE(nettest::recvN(fd, 1, 500).empty());
    EXPECT_EQ(s()->_total_test_point, 2u);
    EXPECT_EQ(s()->_ctrlItemMap.at(kVLRA_ctrl_atst)->testStatus(), kNkTestStat_PASS);
    // An empty payload is a failure, though it records no code; silent and the link stays.
    p.payload.clear();
    p.seqn = seqn++;
    ASSERT_TRUE(nettest::sendAll(fd, p.bytes()));
    EXPECT_TRUE(nettest::waitFor(
        [&] { return s()->_ctrlItemMap.at(kVLRA_ctrl_atst)->testStatus() == kNkTestStat_FAIL; }, 60000));
    EXPECT_TRUE(nettest::recvN(fd, 1, 500).empty());
    EXPECT_TRUE(s()->isNtcpRunning());
    s()->_isOfflineRun = false;
}

}  // namespace
