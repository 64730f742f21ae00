// Station CSV log to property-list test record, checked against a second reader
// (Python's csv building the expected record, plistlib reading the output).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "nk_error.h"
#include "nk_test.h"
#include "nk_test_util.h"
#include "nk_velora_plist.h"
#include "plist/pf_plist.h"

namespace {

const std::string kOracle = std::string(NK_TEST_SOURCE_DIR) + "/csv_to_plist_oracle.py";

// The head of a station CSV as the test data writes it, with three measured
// columns, one text column and one attribute column.
const std::string kHead =
    "Lumbrel,version=1.00.00,\n"
    "SerialNumber,Test Pass/Fail Status,errCode,errStr,TesterID,config,timeStamp,StartTime,EndTime,TestTime,"
    "Failing Items,T::volt,T::free,T::temp,T::note,Lot::id,\n"
    "Upper Limit ----->,,,,,,,,,,,5,nan,10,,ATTR,\n"
    "Lower Limit ----->,,,,,,,,,,,1,nan,2,,ATTR,\n"
    "Measurement Unit ----->,,,,,,,,,sec,,V,,C,,,\n";

std::string row(const std::string& sn, const std::string& status, const std::string& volt, const std::string& free,
                const std::string& temp, const std::string& lot) {
    return sn + "," + status + ",0,,ST-01,cfgA,800000000.000000,2026-01-01 10:00:00,2026-01-01 10:00:05,5.000,," +
           volt + "," + free + "," + temp + ",text," + lot + ",\n";
}

// Converts and has the oracle compare; returns the oracle's verdict.
std::string convertAndCompare(const nktest::TempDir& dir, const std::string& csvText, bool stop, bool noFixed,
                              bool lastOnly, bool wend = false) {
    const std::string csv = dir.file("unit.csv");
    const std::string plist = dir.file("unit.plist");
    nktest::writeFile(csv, csvText);
    std::filesystem::remove(plist);
    const u16 rc = wend ? nkFom_wend_csvToPlist(csv.c_str(), plist.c_str(), stop, noFixed, lastOnly)
                        : nkFom_velora_csvToPlist(csv.c_str(), plist.c_str(), stop, noFixed, lastOnly);
    EXPECT_EQ(rc, 0);
    const std::string flags = std::string(stop ? "1" : "0") + (noFixed ? "1" : "0") + (lastOnly ? "1" : "0");
    return nktest::runCommand(std::string(NK_PYTHON) + " " + kOracle + " " + csv + " " + plist + " " + flags + " " +
                              (wend ? "wend" : "velora") + " 2>&1");
}

pf::plist::Value load(const std::string& path) {
    pf::plist::Value v;
    std::string err;
    EXPECT_TRUE(pf::plist::readFile(path, v, &err)) << err;
    return v;
}

}  // namespace

TEST(CsvToPlist, RecordsMatchASecondReader) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    struct Case {
        const char* name;
        std::string csv;
        bool stop, noFixed, lastOnly, wend;
    } cases[] = {
        {"one row", kHead + row("SN1", "PASS", "3", "99", "4", "L1"), false, false, false, false},
        {"three rows", kHead + row("SN1", "PASS", "3", "1", "4", "L1") + row("SN2", "FAIL", "7", "nan", "4", "") +
                           row("SN3", "PASS", "nan", "2", "NA", "L3"),
         false, false, false, false},
        {"last row only", kHead + row("SN1", "PASS", "3", "1", "4", "L1") + row("SN2", "FAIL", "7", "1", "4", "L2") +
                              row("SN3", "PASS", "2", "2", "3", "L3"),
         false, false, true, false},
        {"stop at first fail", kHead + row("SN1", "FAIL", "3", "1", "11", "L1"), true, false, false, false},
        {"without fixed attributes", kHead + row("SN1", "PASS", "3", "1", "4", ""), false, true, false, false},
        {"value not a number", kHead + row("SN1", "PASS", "abc", "x", "4", "L1"), false, false, false, false},
        {"errCode column with errString",
         "L,version=2,\nSerialNumber,Test Pass/Fail Status,TesterID,timeStamp,StartTime,EndTime,TestTime,errString,"
         "errCode,\nU,,,,,,,,nan,\nL,,,,,,,,nan,\nM,,,,,,,,,\nSN9,FAIL,T1,1,a,b,2,lamp off,42,\n",
         false, false, false, false},
        {"sensor variant", "W,version=3,\nSerialNumber,Test Pass/Fail Status,errCode,errStr,TesterID,config,"
                           "timeStamp,StartTime,EndTime,TestTime,QMRT::CFSN,QMRT::CHIPID,lux,\n"
                           "U,,,,,,,,,,ATTR,ATTR,100,\nL,,,,,,,,,,ATTR,ATTR,10,\nM,,,,,,,,,sec,,,lx,\n"
                           "SN5,PASS,0,,T2,c1,1,a,b,2,CF1,,55,\n",
         false, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(convertAndCompare(dir, c.csv, c.stop, c.noFixed, c.lastOnly, c.wend), "ok\n");
    }
}

TEST(CsvToPlist, FieldsOfAConvertedRow) {
    nktest::TempDir dir;
    const std::string csv = dir.file("b.c.csv");
    nktest::writeFile(csv, kHead + row("SN1", "FAIL", "nan", "nan", "11", ""));
    ASSERT_EQ(nkFom_velora_csvToPlist(csv.c_str(), nullptr, true, false, false), 0);
    const pf::plist::Value root = load(dir.file("b.c.plist"));
    ASSERT_EQ(root.keys(), std::vector<std::string>{"0"});
    const pf::plist::Value& entry = *root.find("0");
    ASSERT_NE(entry.find("Attributes"), nullptr);
    ASSERT_NE(entry.find("Attributes")->find("Lot::id"), nullptr);
    EXPECT_EQ(entry.find("Attributes")->find("Lot::id")->str(), "UNKNOWN");
    EXPECT_EQ(entry.find("Attributes")->find("softwareversion")->str(), "1.00.00");
    EXPECT_EQ(entry.find("OverallResult")->str(), "FAIL");
    const auto& tests = entry.find("Tests")->items();
    // timeStamp, TestTime, volt (value nan against limits: fails, and ends the row).
    ASSERT_EQ(tests.size(), 3u);
    EXPECT_EQ(tests[2].find("testname")->str(), "T::volt");
    EXPECT_EQ(tests[2].find("value")->str(), "NA");
    EXPECT_EQ(tests[2].find("result")->str(), "FAIL");
    EXPECT_EQ(tests[2].find("failure_message")->str(), "Failed T::volt");
    EXPECT_EQ(tests[2].find("upperlimit")->str(), "5");

    nktest::writeFile(csv, kHead + row("SN1", "PASS", "3", "1e9", "4", "L"));
    ASSERT_EQ(nkFom_velora_csvToPlist(csv.c_str(), "", false, false, false), 0);
    const pf::plist::Value second = load(dir.file("b.c.plist"));
    const auto& all = second.find("0")->find("Tests")->items();
    ASSERT_EQ(all.size(), 5u) << "volt, free and temp; the text and attribute columns are no tests";
    EXPECT_EQ(all[3].find("upperlimit")->str(), "NA");
    EXPECT_EQ(all[3].find("result")->str(), "PASS") << "no limits, any value passes";
    EXPECT_EQ(all[2].find("failure_message")->str(), "Failed T::volt") << "passing tests carry it too";
}

TEST(CsvToPlist, Failures) {
    nktest::TempDir dir;
    const std::string csv = dir.file("u.csv");
    const std::string out = dir.file("u.plist");
    EXPECT_EQ(nkFom_velora_csvToPlist(nullptr, out.c_str(), false, false, false), kNKErr_invalidParam);
    EXPECT_EQ(nkFom_velora_csvToPlist(dir.file("none.csv").c_str(), out.c_str(), false, false, false),
              kNKErr_fileOpenFailed);
    nktest::writeFile(dir.file("nodot"), kHead + row("SN1", "PASS", "3", "1", "4", "L1"));
    EXPECT_EQ(nkFom_velora_csvToPlist(dir.file("nodot").c_str(), nullptr, false, false, false), kNKErr_invalidParam);

    struct Case {
        const char* name;
        std::string text;
        u16 code;
        size_t rowsWritten;  // entries in the written file; SIZE_MAX: no file
    } cases[] = {
        {"short head", "Lumbrel,version=1,\nSerialNumber,\n", 0xFFFF, SIZE_MAX},
        {"title without commas", "Lumbrel\n" + kHead.substr(kHead.find('\n') + 1), 0xFFFF, SIZE_MAX},
        {"no data row", kHead, kNKErr_dataCheckError, SIZE_MAX},
        {"row without its line end", kHead + row("SN1", "PASS", "3", "1", "4", "L1") + "SN2,PASS", kNKErr_invalidFormat,
         SIZE_MAX},
        {"named item missing in the second row",
         kHead + row("SN1", "PASS", "3", "1", "4", "L1") + "SN2,PASS,0,,ST-01\n", kNKErr_invalidFormat, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(out);
        nktest::writeFile(csv, c.text);
        EXPECT_EQ(nkFom_velora_csvToPlist(csv.c_str(), out.c_str(), false, false, false), c.code);
        if (c.rowsWritten == SIZE_MAX) EXPECT_FALSE(std::filesystem::exists(out));
        else EXPECT_EQ(load(out).size(), c.rowsWritten);
    }

    // A write that fails is reported, not taken for success.
    nktest::writeFile(csv, kHead + row("SN1", "PASS", "3", "1", "4", "L1"));
    EXPECT_EQ(nkFom_velora_csvToPlist(csv.c_str(), dir.file("missing/u.plist").c_str(), false, false, false),
              kNKErr_fileWriteFailed);
}

TEST(CsvToPlist, UnitCsvWrittenByTheTestData) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    CNK_testData td;
    ASSERT_EQ(td.addDataSymbol("T", "volt", "float", 1.0, 5.0, "V", false), 0);
    ASSERT_EQ(td.addDataSymbol("T", "count", "int32_t", std::nan(""), 10.0, "pcs", false), 0);
    ASSERT_EQ(td.addDataSymbol("T", "free", "double", std::nan(""), std::nan(""), "", false), 0);
    ASSERT_EQ(td.addDataSymbol("T", "label", "string", std::nan(""), std::nan(""), "", false), 0);
    ASSERT_EQ(td.addDataSymbol("Lot", "id", "string", std::nan(""), std::nan(""), "", true), 0);
    const std::string csv = dir.file("SN-A.csv");
    for (int unit = 0; unit < 2; ++unit) {
        td.reset();
        td.recordData("T", "volt", unit == 0 ? 2.5 : 7.0);
        td.recordData("T", "count", 3.0);
        td.recordData("T", "label", std::string("lbl"));
        td.recordData("Lot", "id", std::string(unit == 0 ? "L7" : ""));
        td.overwrite_for_summary_csv(800000000.0 + unit, 4.5);
        ASSERT_EQ(td.add_to_summary_csv(csv, "SN-A", "ST-01", "cfgA", "Lumbrel,version=1.00.00", true, -1, true), 0);
    }
    const std::string text = nktest::readFile(csv);
    for (auto [stop, noFixed, last] : {std::tuple{false, false, false}, {true, false, false}, {false, true, true}}) {
        const std::string plist = dir.file("SN-A.plist");
        ASSERT_EQ(nkFom_velora_csvToPlist(csv.c_str(), nullptr, stop, noFixed, last), 0);
        const std::string flags = std::string(stop ? "1" : "0") + (noFixed ? "1" : "0") + (last ? "1" : "0");
        EXPECT_EQ(nktest::runCommand(std::string(NK_PYTHON) + " " + kOracle + " " + csv + " " + plist + " " + flags +
                                     " velora 2>&1"),
                  "ok\n")
            << text;
    }
    // The last unit alone: its attribute from the line's last column, its failing volt.
    const pf::plist::Value root = load(dir.file("SN-A.plist"));
    ASSERT_EQ(root.keys(), std::vector<std::string>{"0"});
    const pf::plist::Value& entry = *root.find("0");
    ASSERT_NE(entry.find("Attributes"), nullptr);
    EXPECT_EQ(entry.find("Attributes")->keys(), std::vector<std::string>{"Lot::id"});
    EXPECT_EQ(entry.find("Attributes")->find("Lot::id")->str(), "UNKNOWN");
    EXPECT_EQ(entry.find("OverallResult")->str(), "FAIL");
    const auto& tests = entry.find("Tests")->items();
    ASSERT_EQ(tests.size(), 5u) << "timeStamp, TestTime, volt, count, free";
    EXPECT_EQ(tests[2].find("testname")->str(), "T::volt");
    EXPECT_EQ(tests[2].find("result")->str(), "FAIL");
    EXPECT_EQ(tests[3].find("lowerlimit")->str(), "NA");
}
