// Reference data loaded at start-up: the tables the station keeps from the
// invented files of tests/data/refdata, against a second reader in Python, and
// the short or missing files that leave a table empty.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "nk_test_util.h"

namespace fs = std::filesystem;

namespace {

const fs::path kSource = fs::path(NK_TEST_DATA_DIR) / "refdata";
const char* const kCsvs[] = {"CorvaneSPRP.csv", "TalvekSPRP.csv", "WhiteCGCorrectionFactor.csv"};
const char* const kBins[] = {"Testing_Dataset_4000_20170815.bin", "VCRE_LS5100.bin"};

struct ReferenceData : ::testing::Test {
    nktest::TempDir dir;
    lumbrel::StationSettings settings;

    void SetUp() override {
        settings.logRoot = (dir.path() / "logs").string();
        settings.dataRoot = (dir.path() / "data").string();
        settings.resourceFolder = (dir.path() / "res").string();
        settings.tempFolder = dir.path().string();
        settings.scriptPath = NK_STATION_SCRIPT;
        fs::create_directories(settings.logRoot);
        fs::create_directories(vdx());
        fs::create_directories(settings.resourceFolder);
    }
    fs::path vdx() const { return fs::path(settings.dataRoot) / "VdxDataFolder"; }
    void installAll() {
        for (const char* f : kCsvs) fs::copy_file(kSource / f, vdx() / f);
        for (const char* f : kBins) fs::copy_file(kSource / f, fs::path(settings.resourceFolder) / f);
    }
    // What Python's csv and struct make of the same files, by table name.
    std::map<std::string, std::vector<std::vector<double>>> pythonTables() {
        std::map<std::string, std::vector<std::vector<double>>> tables;
        int status = -1;
        const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + (kSource / "read_refdata.py").string() +
                                                       " " + settings.dataRoot + " " + settings.resourceFolder,
                                                   &status);
        EXPECT_EQ(status, 0) << out;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            std::istringstream ls(line);
            std::string name;
            ls >> name;
            std::vector<double> row;
            for (std::string cell; ls >> cell;) row.push_back(std::strtod(cell.c_str(), nullptr));
            tables[name].push_back(std::move(row));
        }
        return tables;
    }
};

template <typename T>
void expectTable(const std::vector<std::vector<T>>& got, const std::vector<std::vector<double>>& want,
                 const char* name) {
    ASSERT_EQ(got.size(), want.size()) << name;
    for (size_t r = 0; r < want.size(); ++r) {
        ASSERT_EQ(got[r].size(), want[r].size()) << name << " row " << r;
        for (size_t i = 0; i < want[r].size(); ++i)
            ASSERT_EQ(got[r][i], static_cast<T>(want[r][i])) << name << " row " << r << " value " << i;
    }
}

TEST_F(ReferenceData, LaunchKeepsTheSlicesAndHandsThemToEverySession) {
    installAll();
    const auto want = pythonTables();
    ASSERT_EQ(want.at("CorvaneSPRP").size(), 4u);
    ASSERT_EQ(want.at("VCRE_LS5100").size(), 2u);

    AppDelegate app(settings, StationSwitches{});
    ASSERT_EQ(app.applicationDidFinishLaunching(), 0);
    expectTable(app._snsrSptrResp_irrs_Corvane, want.at("CorvaneSPRP"), "Corvane");
    expectTable(app._snsrSptrResp_irrs_Talvek, want.at("TalvekSPRP"), "Talvek");
    expectTable(std::vector<std::vector<double>>{app._WhiteCGCorrectionFactor}, want.at("WhiteCGCorrectionFactor"),
                "white");
    expectTable(app.lightDB_Corvane, want.at("Testing_Dataset_4000_20170815"), "lightDB_Corvane");
    expectTable(app.lightDB_Talvek, want.at("VCRE_LS5100"), "lightDB_Talvek");
    EXPECT_EQ(app._snsrSptrResp_irrs_Talvek.at(5).size(), 361u);

    // Shared by address, never copied per session.
    ASSERT_EQ(app.sessions().size(), size_t(AppDelegate::kSessionCount));
    for (CVLRA_cg_testSession* s : app.sessions()) {
        EXPECT_EQ(s->_snsrSptrResp_irrs_Corvane, &app._snsrSptrResp_irrs_Corvane);
        EXPECT_EQ(s->_snsrSptrResp_irrs_Talvek, &app._snsrSptrResp_irrs_Talvek);
        EXPECT_EQ(s->_WhiteCGCorrectionFactor, &app._WhiteCGCorrectionFactor);
        EXPECT_EQ(s->_lightDB_Corvane, &app.lightDB_Corvane);
        EXPECT_EQ(s->_lightDB_Talvek, &app.lightDB_Talvek);
    }
    app.applicationWillTerminate();
}

TEST_F(ReferenceData, MissingFilesLeaveEveryTableEmpty) {
    AppDelegate app(settings, StationSwitches{});
    ASSERT_EQ(app.applicationDidFinishLaunching(), 0);
    EXPECT_TRUE(app._snsrSptrResp_irrs_Corvane.empty());
    EXPECT_TRUE(app._snsrSptrResp_irrs_Talvek.empty());
    EXPECT_TRUE(app._WhiteCGCorrectionFactor.empty());
    EXPECT_TRUE(app.lightDB_Corvane.empty());
    EXPECT_TRUE(app.lightDB_Talvek.empty());
    EXPECT_TRUE(pythonTables().empty());
}

// Keeps the first `n` lines (of either line end) of a text.
std::string firstLines(const std::string& text, size_t n) {
    size_t pos = 0;
    for (size_t i = 0; i < n && pos != std::string::npos; ++i) {
        pos = text.find('\n', pos);
        if (pos != std::string::npos) ++pos;
    }
    return text.substr(0, pos);
}

// Drops the last column of every line of a CSV.
std::string dropLastColumn(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out += line.substr(0, line.rfind(',')) + "\n";
    return out;
}

// A light-source database of `sources` rows of `values` doubles.
std::string lightDb(u16 values, u32 sources) {
    std::string bytes(6 + size_t(8) * values * sources, '\0');
    std::memcpy(bytes.data(), &values, 2);
    std::memcpy(bytes.data() + 2, &sources, 4);
    for (size_t i = 0; i < size_t(values) * sources; ++i) {
        const double v = 0.001 * double(i);
        std::memcpy(bytes.data() + 6 + 8 * i, &v, 8);
    }
    return bytes;
}

TEST_F(ReferenceData, ShortOrMalformedFilesLeaveTheirTableEmpty) {
    const std::string corvane = nktest::readFile((kSource / "CorvaneSPRP.csv").string());
    const std::string talvek = nktest::readFile((kSource / "TalvekSPRP.csv").string());
    const struct {
        const char* what;
        std::string file;
        std::string bytes;
        // which table must stay empty: 0 Corvane, 1 Talvek, 2 lightDB_Corvane, 3 lightDB_Talvek
        int table;
    } cases[] = {
        {"400 lines", "CorvaneSPRP.csv", firstLines(corvane, 400), 0},
        {"three channels", "CorvaneSPRP.csv", dropLastColumn(corvane), 0},
        {"five channels", "TalvekSPRP.csv", dropLastColumn(talvek), 1},
        {"ragged line", "TalvekSPRP.csv", firstLines(talvek, 200) + "0.5,0.5\n" + talvek.substr(firstLines(talvek, 201).size()), 1},
        {"not numbers", "CorvaneSPRP.csv", "a,b,c,d\n" + corvane, 0},
        {"sources of 400 values", "Testing_Dataset_4000_20170815.bin", lightDb(400, 3), 2},
        {"no sources", "VCRE_LS5100.bin", lightDb(401, 0), 3},
        {"head promises more", "VCRE_LS5100.bin", lightDb(401, 2).substr(0, 6 + 8 * 401), 3},
        {"header only half", "VCRE_LS5100.bin", std::string("\x91\x01\x02", 3), 3},
    };
    for (const auto& c : cases) {
        nktest::TempDir root;
        settings.dataRoot = (root.path() / "data").string();
        settings.resourceFolder = (root.path() / "res").string();
        fs::create_directories(vdx());
        fs::create_directories(settings.resourceFolder);
        installAll();
        const fs::path target = c.table < 2 ? vdx() / c.file : fs::path(settings.resourceFolder) / c.file;
        nktest::writeFile(target.string(), c.bytes);

        AppDelegate app(settings, StationSwitches{});
        app.loadReferenceData();
        const size_t sizes[] = {app._snsrSptrResp_irrs_Corvane.size(), app._snsrSptrResp_irrs_Talvek.size(),
                                app.lightDB_Corvane.size(), app.lightDB_Talvek.size()};
        const size_t full[] = {4, 6, 3, 2};
        for (int t = 0; t < 4; ++t) EXPECT_EQ(sizes[t], t == c.table ? 0u : full[t]) << c.what << ", table " << t;
        EXPECT_EQ(app._WhiteCGCorrectionFactor.size(), 722u) << c.what;
    }
}

TEST_F(ReferenceData, WhiteFactorsKeepEveryColumnUnlessThereAre401) {
    // 400 columns are all kept, column after column.
    std::string text;
    for (int r = 0; r < 2; ++r) {
        for (int j = 0; j < 400; ++j) text += (j ? "," : "") + std::to_string(r * 1000 + j);
        text += "\n";
    }
    nktest::writeFile((vdx() / "WhiteCGCorrectionFactor.csv").string(), text);
    AppDelegate app(settings, StationSwitches{});
    app.loadReferenceData();
    ASSERT_EQ(app._WhiteCGCorrectionFactor.size(), 800u);
    EXPECT_EQ(app._WhiteCGCorrectionFactor[0], 0.0);
    EXPECT_EQ(app._WhiteCGCorrectionFactor[1], 1000.0);
    EXPECT_EQ(app._WhiteCGCorrectionFactor[799], 1399.0);
    // A reload replaces, never appends.
    app.loadReferenceData();
    EXPECT_EQ(app._WhiteCGCorrectionFactor.size(), 800u);
}

}  // namespace
