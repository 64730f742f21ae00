#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cvlra_ctcl.h"
#include "cvlra_vdx_tools.h"
#include "nk_gtest_util.h"
#include "nk_log_lines.h"
#include "nk_test_util.h"
#include "nk_utils.h"
#include "nk_vdx.h"

namespace fs = std::filesystem;
using nktest::readFile;
using nktest::TempDir;
using nktest::writeFile;

namespace {

// Row c, entry i of a test record holds code 1000·(c+1) + i: every cell of an
// export is known without our decoding.
std::vector<u8> record(int major, int minor) {
    t_cgCalData rec{};
    rec.magic = ctcl::kMagic;
    rec.versionMajor = static_cast<u8>(major);
    rec.versionMinor = static_cast<u8>(minor);
    const t_cgCalRowLayout layout = cgCalData_rowLayout(rec);
    u8* image = reinterpret_cast<u8*>(&rec);
    for (int c = 0; c < ctcl::kRows; ++c)
        for (int i = 0; i < layout.values; ++i) {
            const u16 code = static_cast<u16>(1000 * (c + 1) + i);
            std::memcpy(image + ctcl::kTableOffset + layout.stride * static_cast<size_t>(c) + 2 * static_cast<size_t>(i),
                        &code, 2);
        }
    for (int i = 0; i < ctcl::kValuesV3; ++i) {
        const u16 w = static_cast<u16>(7 * i), d = static_cast<u16>(65535 - i);
        std::memcpy(image + offsetof(t_cgCalData, weighted) + 2 * i, &w, 2);
        std::memcpy(image + offsetof(t_cgCalData, transmittance2d) + 2 * i, &d, 2);
    }
    std::vector<u8> bytes = cgCalData_write(rec);
    if (major != 3) bytes.resize(ctcl::kSizeV2);
    return bytes;
}

std::string str(const std::vector<u8>& v) { return std::string(v.begin(), v.end()); }


class VdxTools : public testing::Test {
protected:
    void SetUp() override {
        nkVdx_setVdxLogLevel(7);
        for (const char* d : {"data", "app", "store", "store2"}) fs::create_directory(dir.path() / d);
        writeFile(dir.file("trust.der"), "trust object of the tools' tests\n");
        s.lm = &log.lm;
        s.caUrl = "https://ca.invalid";
        s.dsSetUrl = store("store");
        s.dsGetUrl = store("store");
        s.trustObjectUrl = dir.file("trust.der");
        s.dataRoot = dir.file("data");
        s.appFolder = dir.file("app");
        progress = [this](const std::string& t) {
            std::lock_guard<std::mutex> lock(m);
            titles.push_back(t);
        };
    }
    std::string store(const char* name) const { return "file://" + dir.file(name); }
    u16 put(const char* storeName, const std::string& key, const std::vector<u8>& bytes) {
        return nkVdx_setData(nullptr, kNKVdx_CtCl, key.c_str(), bytes.data(), static_cast<i32>(bytes.size()), nullptr,
                             "https://ca.invalid", store(storeName).c_str(), s.trustObjectUrl.c_str(), nullptr, nullptr,
                             0, nullptr, kVL1);
    }
    std::string stored(const char* storeName, const std::string& key) {
        u8* data = nullptr;
        i32 length = 0;
        const u16 rc = nkVdx_getData(nullptr, kNKVdx_CtCl, key.c_str(), &data, &length, nullptr, "https://ca.invalid",
                                     store(storeName).c_str(), s.trustObjectUrl.c_str(), nullptr, nullptr, 0, nullptr,
                                     kVL1);
        std::string out = rc == 0 && data ? std::string(reinterpret_cast<char*>(data), static_cast<size_t>(length))
                                          : "error " + std::to_string(rc);
        std::free(data);
        return out;
    }
    std::string lastTitle() {
        std::lock_guard<std::mutex> lock(m);
        return titles.empty() ? "" : titles.back();
    }

    TempDir dir;
    nktest::Logged log{kVL1};
    t_vdxToolSettings s;
    std::atomic<bool> stop{false};
    std::mutex m;
    std::vector<std::string> titles;
    t_vdxToolProgress progress;
};

// ---------------------------------------------------------------- batch download

TEST_F(VdxTools, BatchDownloadGivesOneRowPerListedSerialNumber) {
    const std::vector<u8> a = record(3, 1), b = record(2, 0), c = record(3, 2);
    ASSERT_EQ(put("store", "A1", a), 0);
    ASSERT_EQ(put("store", "B2", b), 0);
    ASSERT_EQ(put("store", "C3", c), 0);
    // Windows line ends and a blank line; D4 is not in the store; "../x" cannot name a file.
    writeFile(dir.file("list.csv"), "A1\r\nB2\r\n\r\nC3\r\nD4\r\n../x\r\n");

    t_vdxToolResult r = vdxTool_batchDownload(s, dir.file("list.csv"), progress, stop);
    EXPECT_EQ(r.units, 5);
    EXPECT_EQ(r.done, 5);
    EXPECT_EQ(r.failed, 3);
    EXPECT_EQ(r.code, kNKErr_vdx_dataCheckFailed);
    EXPECT_EQ(lastTitle(), "VDX DL Failed!!!");
    EXPECT_EQ(titles.front(), "VDX DL ....");
    EXPECT_NE(std::find(titles.begin(), titles.end(), "VDX DL 4/5"), titles.end());

    const std::string out = s.dataRoot + "/vdxDataGet/";
    EXPECT_EQ(readFile(out + "A1_CtCl.bin"), str(a));
    EXPECT_EQ(readFile(out + "B2_CtCl.bin"), str(b));
    EXPECT_FALSE(fs::exists(out + "D4_CtCl.bin"));
    EXPECT_FALSE(fs::exists(s.dataRoot + "/x_CtCl.bin"));
    EXPECT_TRUE(fs::exists(s.appFolder + "/vdxGet.log"));

    // A second run with one serial number appends one row under the same header.
    r = vdxTool_batchDownload(s, "A1", progress, stop);
    EXPECT_EQ(r.units, 1);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(lastTitle(), "VDX DL Pass!!!");

    const std::string rows = nktest::runPython(dir,
        "import csv\n"
        "rows = list(csv.reader(open(\"" + out + "cg_vdxGet.csv\", newline=\"\")))\n"
        "print(sum(1 for r in rows if r[0] == \"SerialNumber\"), rows[0])\n"
        "for r in rows[1:]: print(\"|\".join([r[0], r[2], r[3], r[4]]), len(r[1]))\n");
    EXPECT_EQ(rows,
              "1 ['SerialNumber', 'StartTime', 'ErrCode', 'ErrString', 'VDXVer']\n"
              "A1|0|" + std::string(nkError_getErrorString(0)) + "|3.1 19\n"
              "B2|0|" + std::string(nkError_getErrorString(0)) + "|2.0 19\n"
              "C3|503|" + std::string(nkError_getErrorString(503)) + "|3.2 19\n"
              "D4|592|" + std::string(nkError_getErrorString(592)) + "| 19\n"
              "../x|5|" + std::string(nkError_getErrorString(5)) + "| 19\n"
              "A1|0|" + std::string(nkError_getErrorString(0)) + "|3.1 19\n");
}

TEST_F(VdxTools, BatchDownloadDryRunReadsTheDryRunFolderAndAMissingListEndsTheRun) {
    s.dryRun = true;
    s.dsSetUrl.clear();  // nothing may reach the repository
    fs::create_directories(s.dataRoot + "/vdxDataDry");
    writeFile(s.dataRoot + "/vdxDataDry/Z9_CtCl.bin", str(record(3, 0)));
    t_vdxToolResult r = vdxTool_batchDownload(s, "Z9", progress, stop);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(readFile(s.dataRoot + "/vdxDataGet/Z9_CtCl.bin"), str(record(3, 0)));

    r = vdxTool_batchDownload(s, dir.file("absent.csv"), progress, stop);
    EXPECT_EQ(r.code, kNKErr_fileNotExist);
    EXPECT_EQ(r.units, 0);
    EXPECT_TRUE(log.has("[ERROR] " + dir.file("absent.csv") + " doesn't exsit!"));
    EXPECT_EQ(lastTitle(), "VDX DL Failed!!!");
}

TEST(VdxToolList, SeparatorsAndBlankLines) {
    TempDir dir;
    const struct {
        const char* text;
        std::vector<std::string> serials;
    } cases[] = {
        {"A\r\nB\r\n\r\nC", {"A", "B", "C"}},
        {"A\rB\r\r", {"A", "B"}},
        {"A\nB\n\nC\n", {"A", "B", "C"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        writeFile(dir.file("l.csv"), c.text);
        std::vector<std::string> out;
        EXPECT_EQ(vdxTool_serialNumbers(nullptr, dir.file("l.csv"), out), 0);
        EXPECT_EQ(out, c.serials) << c.text;
    }
}

// ---------------------------------------------------------------- manual upload

TEST_F(VdxTools, ManualUploadPutsEveryRecordUnderItsSerialNumberAndReadsItBack) {
    const std::string in = s.dataRoot + "/vdxData/";
    fs::create_directories(in);
    writeFile(in + "A1_CtCl.bin", str(record(3, 1)));
    writeFile(in + "B2_CtCl0.bin", str(record(2, 0)));
    writeFile(in + "notes.txt", "not a record");
    writeFile(in + "C3_CtCl.bin.bak", "not a record either");

    s.dryRun = true;
    std::vector<bool> dryRunCalls;
    const t_vdxToolResult r =
        vdxTool_manualUpload(s, [&](bool on) { dryRunCalls.push_back(on); }, progress, stop);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.units, 2);
    EXPECT_EQ(r.failed, 0);
    EXPECT_EQ(lastTitle(), "VDX Uploading Pass!!!");
    // Off for the upload, then the choice the upload found.
    EXPECT_EQ(dryRunCalls, (std::vector<bool>{false, true}));
    // The keys are the serial numbers, whatever the length of the name.
    EXPECT_EQ(stored("store", "A1"), str(record(3, 1)));
    EXPECT_EQ(stored("store", "B2"), str(record(2, 0)));
    EXPECT_EQ(log.count("* VDX Data Content Comparison Pass"), 2u);
    EXPECT_TRUE(fs::exists(s.appFolder + "/vdxPost.log"));
    EXPECT_FALSE(fs::exists(s.dataRoot + "/vdxDataDry/A1_CtCl.bin"));
}

TEST_F(VdxTools, ManualUploadReportsEachReadBackDifferenceAndFailsTheRun) {
    const std::string in = s.dataRoot + "/vdxData/";
    fs::create_directories(in);
    const std::vector<u8> a = record(3, 1), b = record(3, 0), z = record(2, 1);
    writeFile(in + "A1_CtCl.bin", str(a));
    writeFile(in + "B2_CtCl.bin", str(b));
    writeFile(in + "E5_CtCl.bin", "");
    writeFile(in + "Z9_CtCl.bin", str(z));
    // The read-back store answers with one byte changed, one byte more, and Z9 as sent.
    std::vector<u8> a2 = a;
    a2[4000] ^= 0x01;
    std::vector<u8> b2 = b;
    b2.push_back(0);
    ASSERT_EQ(put("store2", "A1", a2), 0);
    ASSERT_EQ(put("store2", "B2", b2), 0);
    ASSERT_EQ(put("store2", "Z9", z), 0);
    s.dsGetUrl = store("store2");

    const t_vdxToolResult r = vdxTool_manualUpload(s, nullptr, progress, stop);
    EXPECT_EQ(r.units, 4);
    EXPECT_EQ(r.failed, 3);
    EXPECT_EQ(r.code, kNKErr_vdx_dataCheckFailed);
    EXPECT_EQ(log.count("[Err] VDX Retrieval Data Binary Mismatch"), 1u);
    EXPECT_EQ(log.count("[Err] VDX Retrieval Data Size Mismatch"), 1u);
    EXPECT_EQ(log.count("[Err] Invalid VDX Data Path"), 1u);
    EXPECT_EQ(log.count("* VDX Data Content Comparison Pass"), 1u);
    EXPECT_TRUE(log.has("4 of 4 handled, 3 failed"));
    // The last record passed; the run still failed.
    EXPECT_EQ(lastTitle(), "VDX Uploading Failed!!!");
}

TEST_F(VdxTools, ManualUploadWithoutItsFolderFailsAndGivesTheDryRunChoiceBack) {
    std::vector<bool> dryRunCalls;
    const t_vdxToolResult r =
        vdxTool_manualUpload(s, [&](bool on) { dryRunCalls.push_back(on); }, progress, stop);
    EXPECT_EQ(r.code, kNKErr_fileNotExist);
    EXPECT_TRUE(log.has("* VDX Data Folder not Exist!"));
    EXPECT_EQ(lastTitle(), "VDX Uploading Failed!!!");
    EXPECT_EQ(dryRunCalls, (std::vector<bool>{false, false}));
}

// ---------------------------------------------------------------- validation of one unit

TEST_F(VdxTools, ValidationExportsAVersion3RecordAsThreeCsvFiles) {
    const std::string unit = dir.file("unit");
    fs::create_directory(unit);
    writeFile(unit + "/V3_CtCl.bin", str(record(3, 0)));
    EXPECT_EQ(vdxTool_validateUnit(s, "V3", unit + "/", true), 0);
    EXPECT_EQ(readFile(unit + "/V3_CtClx.bin"), str(record(3, 0)));
    EXPECT_TRUE(log.has("* VDX Data Version v3.0 Check Pass."));

    const std::string out = nktest::runPython(dir,
        "import csv\n"
        "def rows(n): return list(csv.reader(open(\"" + unit + "/V3_\" + n, newline=\"\")))\n"
        "t = rows(\"atst_transx.csv\")\n"
        "assert len(t) == 402 and t[401] == [], len(t)\n"
        "for k in range(401):\n"
        "    assert len(t[k]) == 6 and t[k][5] == \"\"\n"
        "    for c in range(5): assert abs(float(t[k][c]) - (1000 * (c + 1) + k) * 100 / 32768) < 1e-4, (k, c)\n"
        "w = rows(\"atst_weightedTx.csv\"); d = rows(\"unif_2dTx.csv\")\n"
        "assert len(w) == 401 and len(d) == 401\n"
        "for k in range(401):\n"
        "    assert abs(float(w[k][0]) - 7 * k * 100 / 32768) < 1e-4\n"
        "    assert abs(float(d[k][0]) - (65535 - k) * 100 / 32768) < 1e-3\n"
        "print(\"ok\")\n");
    EXPECT_EQ(out, "ok\n");
}

TEST_F(VdxTools, ValidationExportsAVersion2RecordFrom400Nanometres) {
    const std::string unit = dir.file("unit");
    fs::create_directory(unit);
    // The received copy counts as the unit's record too.
    writeFile(unit + "/V2_CtCl0.bin", str(record(2, 0)));
    EXPECT_EQ(vdxTool_validateUnit(s, "V2", unit, true), 0);
    EXPECT_FALSE(fs::exists(unit + "/V2_atst_weightedTx.csv"));

    const std::string out = nktest::runPython(dir,
        "import csv\n"
        "t = list(csv.reader(open(\"" + unit + "/V2_atst_transx.csv\", newline=\"\")))\n"
        "assert len(t) == 402 and t[401] == []\n"
        "for k in range(401):\n"
        "    for c in range(5):\n"
        "        want = 0 if k < 50 else (1000 * (c + 1) + k - 50) * 100 / 32768\n"
        "        assert abs(float(t[k][c]) - want) < 1e-4, (k, c, t[k][c])\n"
        "print(\"ok\")\n");
    EXPECT_EQ(out, "ok\n");
}

TEST_F(VdxTools, ValidationVerdictsAndRefusals) {
    const std::string unit = dir.file("unit");
    fs::create_directory(unit);
    const struct {
        const char* sn;
        std::string bytes;  // "" writes no file
        u16 code;
        const char* line;
    } cases[] = {
        {"U21", str(record(2, 1)), 0, "* VDX Data Version v2.1 Check Fail. Upload VDX v2.1."},
        {"U32", str(record(3, 2)), 0, "* VDX Data Version v3.2 Check Fail. Upload VDX v2.1."},
        {"U40", str(record(4, 0)), kNKErr_vdx_dataCheckFailed, "[Err] VDX Data Version Check Fail."},
        {"U10", str(record(1, 0)), kNKErr_vdx_dataCheckFailed, "[Err] VDX Data Version Check Fail."},
        {"SHORT", std::string(100, 'x'), kNKErr_invalidDataSize, nullptr},
        {"NONE", "", kNKErr_invalidCondition, nullptr},
        {"../x", "", kNKErr_invalidParam, nullptr},
    };
    for (const auto& c : cases) {
        if (!c.bytes.empty()) writeFile(unit + "/" + c.sn + "_CtCl.bin", c.bytes);
        EXPECT_EQ(vdxTool_validateUnit(s, c.sn, unit, true), c.code) << c.sn;
        if (c.line) {
            EXPECT_TRUE(log.has(c.line)) << c.sn;
        }
    }
    EXPECT_FALSE(fs::exists(unit + "/U40_atst_transx.csv"));  // no export for other majors
    EXPECT_FALSE(fs::exists(unit + "/SHORT_CtClx.bin"));
    EXPECT_EQ(vdxTool_validateUnit(s, "U21", dir.file("absent"), true), kNKErr_pathNotExist);
}

TEST_F(VdxTools, ValidationWithoutDryRunDownloadsFromTheRepository) {
    const std::string unit = dir.file("unit");
    fs::create_directory(unit);
    ASSERT_EQ(put("store", "R1", record(3, 0)), 0);
    EXPECT_EQ(vdxTool_validateUnit(s, "R1", unit, false), 0);
    EXPECT_EQ(readFile(unit + "/R1_CtClx.bin"), str(record(3, 0)));
    EXPECT_TRUE(fs::exists(unit + "/R1_unif_2dTx.csv"));
    EXPECT_EQ(vdxTool_validateUnit(s, "R2", unit, false), kNKErr_vdx_no_entry);
    s.dsSetUrl = "https://ds.invalid";  // the stand-in cannot reach it
    EXPECT_EQ(vdxTool_validateUnit(s, "R1", unit, false), kNKErr_vdx_connection_timeout);
}

// ---------------------------------------------------------------- validation of a cell folder

std::vector<std::string> listing(const fs::path& root) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root)) names.push_back(fs::relative(e.path(), root).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(VdxTools, CellFolderWithoutStatisticsValidatesNothing) {
    const fs::path cell = dir.path() / "cell";
    fs::create_directories(cell / "LogsFolder" / "U1" / "20260101120000");
    writeFile((cell / "LogsFolder" / "U1" / "20260101120000" / "U1_CtCl.bin").string(), str(record(3, 0)));
    const std::vector<std::string> before = listing(cell);

    s.dryRun = true;
    const t_vdxToolResult r = vdxTool_validateCellFolder(s, cell.string(), stop);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.units, 0);
    std::vector<std::string> after = listing(cell);
    after.erase(std::remove(after.begin(), after.end(), "vdxValidation.log"), after.end());
    EXPECT_EQ(after, before);
    EXPECT_TRUE(fs::exists(cell / "vdxValidation.log"));
    // Once the tool has ended, the window's lines no longer reach its log.
    s.lm->printText(kVL1, "a later unit of the station");
    EXPECT_EQ(readFile((cell / "vdxValidation.log").string()).find("a later unit"), std::string::npos);

    EXPECT_EQ(vdxTool_validateCellFolder(s, dir.file("absent"), stop).code, kNKErr_pathNotExist);
}

TEST_F(VdxTools, CellFolderValidatesTheUnitsOfItsStatisticsWhoseLogFolderExists) {
    const fs::path cell = dir.path() / "cell";
    const double t1 = 800000000.0, t2 = 800000100.0;
    const std::string d1 = nkUtil_formatTimestampStr(t1, 1);
    fs::create_directories(cell / "Statistics");
    fs::create_directories(cell / "LogsFolder" / "U1" / d1);
    writeFile((cell / "LogsFolder" / "U1" / d1 / "U1_CtCl.bin").string(), str(record(3, 0)));
    char rows[512];
    std::snprintf(rows, sizeof(rows),
                  "CG,1.00.00,\n"
                  "SerialNumber,Test Pass/Fail Status,errCode,errStr,TesterID,config,timeStamp,StartTime,EndTime,"
                  "TestTime,\n"
                  "Upper Limit ----->,,,,,,,,,,\n"
                  "Lower Limit ----->,,,,,,,,,,\n"
                  "Measurement Unit ----->,,,,,,,,,sec,\n"
                  "U1,PASS,0,,T03_2,cfg,%f,a,b,1.0,\n"
                  "U2,PASS,0,,T04_1,cfg,%f,a,b,1.0,\n"
                  "../U3,FAIL,5,,T05_1,cfg,%f,a,b,1.0,\n",
                  t1, t2, t1);
    writeFile((cell / "Statistics" / "stat.csv").string(), rows);

    s.dryRun = true;
    const t_vdxToolResult r = vdxTool_validateCellFolder(s, cell.string(), stop);
    // U1 is validated, U2 has no log folder, "../U3" cannot name one.
    EXPECT_EQ(r.units, 2);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(r.code, kNKErr_invalidParam);
    const fs::path u1 = cell / "LogsFolder" / "U1" / d1;
    EXPECT_TRUE(fs::exists(u1 / "U1_CtClx.bin"));
    EXPECT_TRUE(fs::exists(u1 / "U1_atst_transx.csv"));
    EXPECT_FALSE(fs::exists(cell / "LogsFolder" / "U2"));
    EXPECT_NE(readFile((cell / "vdxValidation.log").string()).find("* VDX Data Version v3.0 Check Pass."),
              std::string::npos);
}

// ---------------------------------------------------------------- older batch download

TEST_F(VdxTools, OlderBatchDownloadReadsItsFixedListAndWritesNoRecord) {
    ASSERT_EQ(put("store", "A1", record(3, 1)), 0);
    fs::create_directories(s.dataRoot + "/CGResource");
    writeFile(s.dataRoot + "/CGResource/vdxCheck.csv", "A1\nD4\n");
    const t_vdxToolResult r = vdxTool_olderBatchDownload(s, progress, stop);
    EXPECT_EQ(r.units, 2);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(lastTitle(), "VDX Uploading Failed!!!");
    const std::vector<std::string> lines = nktest::splitLines(readFile(s.appFolder + "/cg_vdxGet.csv"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "SerialNumber,StartTime,VDX_RETRIEVE,VDX_POST,VDX_CONFIRMATION");
    EXPECT_EQ(lines[1].substr(0, 3), "A1,");
    EXPECT_EQ(lines[1].substr(lines[1].size() - 3), ",0,");
    EXPECT_EQ(lines[2].substr(lines[2].size() - 5), ",592,");
    EXPECT_TRUE(fs::is_directory(s.dataRoot + "/vdxDataV3"));
    EXPECT_FALSE(fs::exists(s.dataRoot + "/vdxDataGet"));

    fs::remove(s.dataRoot + "/CGResource/vdxCheck.csv");
    EXPECT_EQ(vdxTool_olderBatchDownload(s, progress, stop).code, kNKErr_fileNotExist);
}

// ---------------------------------------------------------------- the tool thread

TEST(VdxToolThread, OneToolAtATimeAndAStopEndsTheRun) {
    CVLRA_vdxToolThread tools;
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    std::atomic<int> runs{0};
    ASSERT_TRUE(tools.start([&](const std::atomic<bool>& stop) {
        {
            std::lock_guard<std::mutex> lock(m);
            entered = true;
        }
        cv.notify_all();
        while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++runs;
    }));
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return entered; });
    }
    EXPECT_TRUE(tools.isRunning());
    EXPECT_FALSE(tools.start([&](const std::atomic<bool>&) { ++runs; }));
    EXPECT_FALSE(tools.runHere([&](const std::atomic<bool>&) { ++runs; }));
    tools.requestStop();
    tools.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(tools.isRunning());
    // Free again: on the caller's thread, then on the tool thread with a fresh stop flag.
    EXPECT_TRUE(tools.runHere([&](const std::atomic<bool>& stop) { runs += stop.load() ? 100 : 1; }));
    EXPECT_TRUE(tools.start([&](const std::atomic<bool>& stop) { runs += stop.load() ? 100 : 1; }));
    tools.join();
    EXPECT_EQ(runs.load(), 3);
}

TEST_F(VdxTools, BatchDownloadStopsBeforeItsNextUnit) {
    ASSERT_EQ(put("store", "A1", record(3, 1)), 0);
    writeFile(dir.file("list.csv"), "A1\nA1\nA1\n");
    stop.store(true);
    const t_vdxToolResult r = vdxTool_batchDownload(s, dir.file("list.csv"), progress, stop);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.done, 0);
    EXPECT_EQ(lastTitle(), "VDX DL Failed!!!");
}

}  // namespace
