#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <strings.h>
#include <sys/resource.h>
#include <vector>

#include "nk_csv.h"
#include "nk_gtest_util.h"
#include "nk_test_util.h"
#include "nk_utils.h"

using nktest::runPython;
using nktest::StderrCapture;
using nktest::TempDir;
using nktest::writeFile;

namespace {

bool isNaN(double v) { return std::isnan(v); }

const char* const kStationLog =
    "CG-Station,2.1.0,,\n"
    "SerialNumber,A,B,\n"
    "Upper Limit ----->,10,NA,\n"
    "Lower Limit ----->,1,NA,\n"
    "Measurement Unit ----->,mm,V,\n"
    "SN001,5.5,x,\n"
    "SN002, 12.5z,NA,\n"
    "SN003,7,8,";  // still being written: not a row

}  // namespace

// ================================================================ station CSV log reader

TEST(CsvParser, ReadsStationLogWithAndWithoutUnitRow) {
    TempDir dir;
    for (bool withUnit : {true, false}) {
        std::string text = kStationLog;
        if (!withUnit) text.erase(text.find("Measurement"), std::string("Measurement Unit ----->,mm,V,\n").size());
        const std::string path = dir.file("log.csv");
        writeFile(path, text);
        CNK_csvParser p;
        ASSERT_EQ(p.load(path.c_str(), kVL3), 0) << withUnit;
        EXPECT_EQ(p.getStationType(), "CG-Station");
        EXPECT_EQ(p.getSwVersion(), "2.1.0");
        EXPECT_EQ(p.getDataCol(), 3);
        EXPECT_EQ(p.getDataRow(), 2);
        EXPECT_EQ(p.getStr(0, 0), "SN001");
        EXPECT_EQ(p.getStr(1, 2), "NA");
        EXPECT_EQ(p.getData(0, 1), 5.5);
        EXPECT_EQ(p.getData(1, 1), 12.5);  // blank skipped, longest number at the front
        EXPECT_EQ(p.findColIdx("B"), 2);
        EXPECT_EQ(p.findColIdx("b"), -1);
    }
}

TEST(CsvParser, RefusesMalformedFilesWithoutReadingPastALine) {
    TempDir dir;
    struct Case {
        const char* text;
        u16 code;
        const char* logged;
    } cases[] = {
        {",1.0,\nSerialNumber,A,\n", kNKErr_invalidFormat, "Station Type Missing"},
        {"CG,1.0", kNKErr_invalidFormat, "Missing Title Line"},  // one line, no "\n"
        {"CG,1.0,\n", kNKErr_invalidFormat, "Missing Title Line"},
        {"SerialNumber,A,\nSerialNumber,A,", kNKErr_invalidFormat, "Missing Upper Line"},
        {"CG,1.0,\nSerialNumber,A,\nUpper Limit----->,1,\n", kNKErr_invalidFormat, "Missing Upper Line"},
        {"CG,1.0,\nSerialNumber,A,\nUpper Limit ----->,1,\n", kNKErr_invalidFormat, "Error"},
        {"CG,1.0,\nSerialNumber,A,\nUpper Limit ----->,1,2,\nLower Limit ----->,1,\n", kNKErr_invalidFormat,
         "_titleRow.size() == _upperLimitRow.size()"},
        {"CG,1.0,\nSerialNumber,A,\nUpper Limit ----->,1,\nLower Limit ----->,\n", kNKErr_invalidFormat,
         "_upperLimitRow.size() == _lowerLimitRow.size()"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("bad.csv");
        writeFile(path, c.text);
        CNK_csvParser p;
        StderrCapture err;
        EXPECT_EQ(p.load(path.c_str(), kVL3), c.code) << c.text;
        EXPECT_NE(err.take().find(c.logged), std::string::npos) << c.text;
        EXPECT_EQ(p.getDataRow(), 0) << c.text;
    }
    CNK_csvParser p;
    StderrCapture err;
    EXPECT_EQ(p.load(nullptr, kVL3), kNKErr_invalidPointer);
    EXPECT_EQ(p.load(dir.file("none.csv").c_str(), kVL3), kNKErr_fileNotExist);
    EXPECT_EQ(p.load(dir.path().c_str(), kVL3), kNKErr_fileReadFailed);  // a folder opens but has no text
    EXPECT_EQ(p.findColIdx("A"), -1);
    EXPECT_NE(err.take().find("\"!_titleRow.empty()\""), std::string::npos);
}

TEST(CsvParser, BadRowsAndCellsAreReportedButNeverReadOutOfRange) {
    TempDir dir;
    const std::string path = dir.file("log.csv");
    writeFile(path,
              "CG,1.0,\nSerialNumber,A,B,\nUpper Limit ----->,1,2,\nLower Limit ----->,0,0,\n"
              "SN1,NA,2,\n\nSN3,3,\r\n");
    CNK_csvParser p;
    StderrCapture err;
    EXPECT_EQ(p.load(path.c_str(), kVL3), kNKErr_invalidFormat);  // the blank line is a row without cells
    ASSERT_EQ(p.getDataRow(), 3);
    EXPECT_EQ(p.getStr(2, 0), "SN3");
    EXPECT_EQ(p.getData(2, 1), 3.0);
    EXPECT_EQ(p.getData(0, 1), kNK_noValue);  // "NA" is not a number
    EXPECT_EQ(p.getData(1, 0), kNK_noValue);  // a row without cells
    EXPECT_EQ(p.getData(2, 2), kNK_noValue);  // shorter than the title row
    EXPECT_EQ(p.getStr(-1, 0), "");
    EXPECT_EQ(p.getStr(0, 3), "");
    const std::string out = err.take();
    EXPECT_NE(out.find("\"_dataRow[i].size() == _titleRow.size()\""), std::string::npos);
    EXPECT_NE(out.find("\"dataSetIdx < _dataRow.size()\""), std::string::npos);
    EXPECT_NE(out.find("[Error,0xE009] invalidFormat"), std::string::npos);
}

TEST(CsvParser, IndexFailuresAreReportedUnderTheGetterCalled) {
    TempDir dir;
    const std::string path = dir.file("log.csv");
    writeFile(path, "CG,1.0,\nSerialNumber,A,\nUpper Limit ----->,1,\nLower Limit ----->,0,\nSN1,2,\n");
    CNK_csvParser p;
    ASSERT_EQ(p.load(path.c_str(), kVL3), kNKErr_OK);
    const struct {
        const char* getter;
        std::function<void()> call;
    } cases[] = {
        {"getStr", [&] { EXPECT_EQ(p.getStr(1, 0), ""); }},
        {"getStr", [&] { EXPECT_EQ(p.getStr(0, 2), ""); }},
        {"getData", [&] { EXPECT_EQ(p.getData(-1, 0), kNK_noValue); }},
        {"getData", [&] { EXPECT_EQ(p.getData(0, -1), kNK_noValue); }},
    };
    for (const auto& c : cases) {
        StderrCapture err;
        c.call();
        const std::string line = err.take();
        EXPECT_NE(line.find(std::string("CNK_csvParser::") + c.getter + "() ["), std::string::npos) << line;
        EXPECT_EQ(line.find("checkIndex"), std::string::npos) << line;
    }
}

TEST(CsvParser, SummaryGoesToTheLogManagerAtTheGivenLevel) {
    TempDir dir;
    const std::string path = dir.file("log.csv");
    writeFile(path, kStationLog);
    CNK_logManager lm;
    lm.setVerboseLevel(kVL2);
    CNK_csvParser p(&lm);
    testing::internal::CaptureStdout();
    ASSERT_EQ(p.load(path.c_str(), kVL2), 0);
    ASSERT_EQ(p.load(path.c_str(), kVL3), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "****** Parse CSV ******\n. Station Type CG-Station\n. Software Version\n. Title Row Length 3\n"
              ". Upper limit Row Length 3\n. Lower Limit Row Length 3\n. Data Set Number 2\n");
}

// ================================================================ generic table: load

TEST(CsvTable, LoadsDataTableWithItsSpecialRows) {
    TempDir dir;
    const std::string path = dir.file("data.csv");
    writeFile(path,
              "Index,Station Report,,,,,\r\n"
              ",sw_version: 3.2,spec_version:  S7,,,,\r\n"
              "Index,SerialNumber,Tester ID,Current,Length,Note,Bad\r\n"
              "0,SN1,7,1.5,20,ok,-1.23456\n"
              "\n"
              "x,Upper Limit ->,,NA,999999,,\n"
              "1,SN2,8,2.5,30,ok,\n"
              "x,Unit ->,id,nA,mm,N/A,\n"
              "x,HUBR Priority,,,,,\n"
              "x,Lower Limit ->,,0,-1,,\n"
              "2,SN3,9,nan,25,,\n");
    CNK_csv t;
    ASSERT_EQ(t.load(path), 0);
    EXPECT_EQ(t.getType(), k_nkCsv_type_normal);
    EXPECT_EQ(t.getTitle(), "Index");
    EXPECT_EQ(t.getSwVersion(), "3.2");
    EXPECT_EQ(t.getSpecVersion(), "S7");

    const auto& ci = t.getColInfo();
    ASSERT_EQ(ci.size(), 6u);  // the index column is gone
    EXPECT_EQ(ci[0].title, "SerialNumber");
    // Data rows keep their order around the gathered limit rows.
    ASSERT_EQ(t.getStrRows().size(), 3u);
    EXPECT_EQ(t.getStrRows()[0][0], "SN1");
    EXPECT_EQ(t.getStrRows()[1][0], "SN2");
    EXPECT_EQ(t.getStrRows()[2][0], "SN3");
    EXPECT_EQ(t.getStrRows()[2][2], "nan");  // text kept as written
    EXPECT_TRUE(isNaN(t.getValRows()[2][2]));

    EXPECT_FALSE(ci[1].isParametric);  // Tester ID, whatever it holds
    EXPECT_EQ(ci[1].unit, "");
    EXPECT_TRUE(ci[2].isParametric);
    EXPECT_EQ(ci[2].unit, "nA");  // nanoampere, not "no value"
    EXPECT_TRUE(isNaN(ci[2].upperLimit));  // "NA"
    EXPECT_EQ(ci[2].lowerLimit, 0.0);
    EXPECT_TRUE(isNaN(ci[3].upperLimit));  // 999999
    EXPECT_EQ(ci[3].lowerLimit, -1.0);
    EXPECT_EQ(ci[3].unit, "mm");
    EXPECT_EQ(ci[3].upperErs, kNK_noValue);  // no such row
    EXPECT_EQ(ci[3].grrLimit, kNK_noValue);
    EXPECT_FALSE(ci[4].isParametric);  // text only
    EXPECT_FALSE(ci[5].isParametric);  // -1.23456 and empty cells hold no number
    EXPECT_TRUE(isNaN(t.getValRows()[0][5]));
}

TEST(CsvTable, AnchorKindsTransposedAndProductLayouts) {
    TempDir dir;
    const std::string path = dir.file("t.csv");

    writeFile(path, "SPECITEM list,Upper Limit->,Lower Limit->,SN1,SN2\nA,5,1,3,4\nB,6,2,7,8\n");
    CNK_csv t;
    ASSERT_EQ(t.load(path), 0);
    EXPECT_EQ(t.getType(), k_nkCsv_type_test_limit);
    ASSERT_EQ(t.getColInfo().size(), 3u);  // turned: A and B are columns now
    EXPECT_EQ(t.getColInfo()[1].title, "A");
    EXPECT_EQ(t.getColInfo()[2].upperLimit, 6.0);
    EXPECT_EQ(t.getColInfo()[2].lowerLimit, 2.0);
    ASSERT_EQ(t.getStrRows().size(), 2u);
    EXPECT_EQ(t.getStrRows()[1][0], "SN2");
    EXPECT_EQ(t.getValRows()[1][2], 8.0);

    writeFile(path, "Product,GrrConfig,X\nGRR Stdev->,,0.5\nGRR Limit->,,0.9\n");
    ASSERT_EQ(t.load(path), 0);
    EXPECT_EQ(t.getType(), k_nkCsv_type_grr_config);
    ASSERT_EQ(t.getColInfo().size(), 2u);
    EXPECT_EQ(t.getColInfo()[1].grrStdev, 0.5);
    EXPECT_EQ(t.getColInfo()[1].grrLimit, 0.9);

    // Units of parametric columns: the no-value words in any case are no unit.
    writeFile(path, "SerialNumber,A,B,C,D\nUnit->,n/a,N/A,nA,V\nS1,1,2,3,4\n");
    ASSERT_EQ(t.load(path), 0);
    std::vector<std::string> units;
    for (const auto& ci : t.getColInfo()) units.push_back(ci.unit);
    EXPECT_EQ(units, (std::vector<std::string>{"", "", "", "nA", "V"}));

    writeFile(path, "x,SERIALNUMBER(unit),v\n,a,1\n");
    ASSERT_EQ(t.load(path), 0);
    EXPECT_EQ(t.getColInfo()[0].title, "SERIALNUMBER(unit)");
    EXPECT_EQ(t.getColInfo().size(), 2u);
}

TEST(CsvTable, FailedLoadKeepsThePreviousTable) {
    TempDir dir;
    const std::string good = dir.file("good.csv");
    writeFile(good, "SerialNumber,V\nSN1,1\n");
    CNK_csv t;
    ASSERT_EQ(t.load(good), 0);
    struct Case {
        const char* text;  // null: no file
        u16 code;
        const char* cond;
    } cases[] = {
        {nullptr, kNKErr_fileNotExist, "nkFile_isFileExist(fn)"},
        {"", kNKErr_fileReadFailed, "fileSz>0"},
        {"Serial,V\nSN1,1\n", kNKErr_invalidFormat, "isAnchorFound == true"},
        {"SerialNumber,V\nSN1,1,2\n", kNKErr_invalidFormat, "isColumnCountCheckOk == true"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(c.text ? "bad.csv" : "missing.csv");
        if (c.text) writeFile(path, c.text);
        StderrCapture err;
        EXPECT_EQ(t.load(path), c.code);
        EXPECT_NE(err.take().find(std::string("\"") + c.cond + "\""), std::string::npos) << c.cond;
        ASSERT_EQ(t.getStrRows().size(), 1u);
        EXPECT_EQ(t.getStrRows()[0][0], "SN1");
    }
}

TEST(CsvTable, LoadsScrambledFiles) {
    TempDir dir;
    const std::string plain = dir.file("plain.csv");
    writeFile(plain, "SerialNumber,V\nSN1,1.5\n");
    std::string scrambled = dir.file("s.enc");
    ASSERT_EQ(nkUtil_encrypt_file(plain, scrambled), 0);
    CNK_csv t;
    ASSERT_EQ(t.load(scrambled), 0);
    EXPECT_EQ(t.getValRows()[0][1], 1.5);

    std::string bytes = nktest::readFile(scrambled);
    bytes[6] ^= 0x01;  // the checksum no longer matches
    writeFile(scrambled, bytes);
    StderrCapture err;
    EXPECT_EQ(t.load(scrambled), kNKErr_fileReadFailed);
    EXPECT_NE(err.take().find("\"fb.size()>0\""), std::string::npos);
    EXPECT_EQ(t.getValRows()[0][1], 1.5);
}

// ================================================================ generic table: operations

namespace {

CNK_csv loadText(const TempDir& dir, const std::string& name, const std::string& text) {
    const std::string path = dir.file(name);
    writeFile(path, text);
    CNK_csv t;
    EXPECT_EQ(t.load(path), 0) << text;
    return t;
}

}  // namespace

TEST(CsvTable, MergeByKindOfTheOtherTable) {
    TempDir dir;
    CNK_csv a = loadText(dir, "a.csv", "SerialNumber,A,B\nSN1,1,2\n");
    const CNK_csv b = loadText(dir, "b.csv", "SerialNumber,B,C\nSN2,3,4\n");
    a.merge(b);
    ASSERT_EQ(a.getColInfo().size(), 4u);
    EXPECT_EQ(a.getColInfo()[3].title, "C");
    const std::vector<std::string> row0 = {"SN1", "1", "2", ""};
    const std::vector<std::string> row1 = {"SN2", "", "3", "4"};
    ASSERT_EQ(a.getStrRows().size(), 2u);
    EXPECT_EQ(a.getStrRows()[0], row0);
    EXPECT_EQ(a.getStrRows()[1], row1);
    EXPECT_EQ(a.getValRows()[0][3], kNK_noValue);
    EXPECT_EQ(a.getValRows()[1][1], kNK_noValue);
    EXPECT_EQ(a.getValRows()[1][3], 4.0);

    const CNK_csv limits = loadText(dir, "l.csv", "SpecItem,A\nUpper Limit->,9\n");
    a.merge(limits);
    EXPECT_EQ(a.getColInfo()[1].upperLimit, kNK_noValue);
    EXPECT_EQ(a.getStrRows().size(), 2u);

    const CNK_csv grr = loadText(dir, "g.csv", "GrrConfig,A,Z\nUpper ERS->,7,1\nGRR Stdev->,0.25,1\n");
    a.merge(grr);
    EXPECT_EQ(a.getColInfo()[1].upperErs, 7.0);
    EXPECT_EQ(a.getColInfo()[1].grrStdev, 0.25);
    EXPECT_EQ(a.getColInfo()[1].lowerErs, kNK_noValue);
    EXPECT_EQ(a.getStrRows().size(), 2u);

    StderrCapture err;
    a.merge(a);
    a.merge(CNK_csv());
    CNK_csv empty;
    empty.merge(b);
    const std::string out = err.take();
    EXPECT_NE(out.find("\"this!=&csv\""), std::string::npos);
    EXPECT_NE(out.find("\"csv._type!=k_nkCsv_type_unknown\""), std::string::npos);
    EXPECT_NE(out.find("\"_col_info.size()>0\""), std::string::npos);
    EXPECT_EQ(a.getStrRows().size(), 2u);
}

TEST(CsvTable, TimeSortCountsExchanges) {
    TempDir dir;
    CNK_csv t = loadText(dir, "t.csv", "SerialNumber,Time Stamp\nA,3\nB,1\nC,2\n");
    EXPECT_EQ(t.timeSort(), 2u);
    EXPECT_EQ(t.getStrRows()[0][0], "B");
    EXPECT_EQ(t.getStrRows()[1][0], "C");
    EXPECT_EQ(t.getStrRows()[2][0], "A");
    EXPECT_EQ(t.getValRows()[2][1], 3.0);

    CNK_csv one = loadText(dir, "o.csv", "SerialNumber,TimeStamp\nA,3\n");
    EXPECT_EQ(one.timeSort(), 0u);
    CNK_csv none = loadText(dir, "n.csv", "SerialNumber,When\nA,3\nB,1\n");
    EXPECT_EQ(none.timeSort(), 0u);
    EXPECT_EQ(none.getStrRows()[0][0], "A");
}

TEST(CsvTable, GroupsByColumnText) {
    TempDir dir;
    CNK_csv t = loadText(dir, "t.csv", "SerialNumber,Tester,V\nA,X,1\nB,,2\nC,Y,3\nD,X,4\n");
    const std::vector<CNK_csv> g = t.getGroups("tester");
    ASSERT_EQ(g.size(), 3u);
    EXPECT_EQ(g[0].getGroupName(), "X");
    EXPECT_EQ(g[1].getGroupName(), "Y");
    EXPECT_EQ(g[2].getGroupName(), "N/A");
    ASSERT_EQ(g[0].getStrRows().size(), 2u);
    EXPECT_EQ(g[0].getStrRows()[1][0], "D");
    EXPECT_EQ(g[0].getValRows()[1][2], 4.0);
    EXPECT_EQ(g[2].getStrRows()[0][0], "B");
    EXPECT_EQ(g[1].getColInfo().size(), 3u);

    EXPECT_TRUE(t.getGroups("nothing").empty());
    CNK_csv same = loadText(dir, "s.csv", "SerialNumber,Tester\nA,X\nB,X\n");
    StderrCapture err;
    EXPECT_TRUE(same.getGroups("Tester").empty());
    EXPECT_NE(err.take().find("[Error,12] invalidStatus"), std::string::npos);
}

TEST(CsvTable, ColumnStatisticsMatchNumpy) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    TempDir dir;
    std::string text = "SerialNumber,A,B,C,D,E\nUpper Limit->,2,60,NA,,5\nLower Limit->,0,,10,,5\n";
    const double a[] = {1, 2, 3};
    const double b[] = {51.25, 49.5, 53.75, 47.125, 50.0, 55.5, 44.0};
    for (int r = 0; r < 7; ++r) {
        text += "S" + std::to_string(r) + "," + (r < 3 ? std::to_string(a[r]) : std::string("NA")) + "," +
                std::to_string(b[r]) + "," + std::to_string(b[r] / 4) + "," + (r == 1 ? "inf" : "1e400") + ",5\n";
    }
    CNK_csv t = loadText(dir, "t.csv", text);
    t.calculate_col_stat();
    const auto& st = t.getColStat();
    ASSERT_EQ(st.size(), 6u);

    // A: the worked example; mean 2, stdev 1, one value above the upper limit.
    EXPECT_DOUBLE_EQ(st[1].mean, 2.0);
    EXPECT_DOUBLE_EQ(st[1].stdev, 1.0);
    EXPECT_DOUBLE_EQ(st[1].min, 1.0);
    EXPECT_DOUBLE_EQ(st[1].max, 3.0);
    EXPECT_NEAR(st[1].yield, 200.0 / 3, 1e-12);
    EXPECT_NEAR(st[1].cpl, 2.0 / 3, 1e-12);
    EXPECT_DOUBLE_EQ(st[1].cpu, 0.0);
    EXPECT_DOUBLE_EQ(st[1].cpk, 0.0);
    EXPECT_EQ(st[1].values.size(), 3u);  // the NA cells are not values

    // B and C against numpy.
    const std::string out = runPython(dir,
                                      "import numpy as np\n"
                                      "b=np.array([51.25,49.5,53.75,47.125,50.0,55.5,44.0]);c=b/4\n"
                                      "for x in (b.mean(),b.std(ddof=1),(60-b.mean())/(3*b.std(ddof=1)),\n"
                                      "          c.mean(),c.std(ddof=1),(c.mean()-10)/(3*c.std(ddof=1))):\n"
                                      "    print(repr(float(x)))\n");
    const std::vector<std::string> v = nktest::splitLines(out);
    ASSERT_EQ(v.size(), 6u) << out;
    EXPECT_NEAR(st[2].mean, std::stod(v[0]), 1e-12);
    EXPECT_NEAR(st[2].stdev, std::stod(v[1]), 1e-12);
    EXPECT_NEAR(st[2].cpu, std::stod(v[2]), 1e-12);
    EXPECT_EQ(st[2].cpl, kNK_noValue);
    EXPECT_EQ(st[2].cpk, kNK_noValue);
    EXPECT_DOUBLE_EQ(st[2].yield, 100.0);
    EXPECT_NEAR(st[3].mean, std::stod(v[3]), 1e-12);
    EXPECT_NEAR(st[3].stdev, std::stod(v[4]), 1e-12);
    EXPECT_NEAR(st[3].cpl, std::stod(v[5]), 1e-12);
    EXPECT_EQ(st[3].cpu, kNK_noValue);

    // D: only infinities, nothing measured; E: no spread, no capability figures.
    EXPECT_FALSE(t.getColInfo()[4].isParametric);
    EXPECT_EQ(st[4].mean, kNK_noValue);
    EXPECT_DOUBLE_EQ(st[5].stdev, 0.0);
    EXPECT_DOUBLE_EQ(st[5].yield, 100.0);
    EXPECT_EQ(st[5].cpl, kNK_noValue);
    EXPECT_EQ(st[5].cpk, kNK_noValue);

    // Figures are computed once; a later merge does not redo them.
    t.merge(loadText(dir, "m.csv", "SerialNumber,A\nS9,100\n"));
    t.calculate_col_stat();
    EXPECT_DOUBLE_EQ(t.getColStat()[1].mean, 2.0);
}

// A log of a few megabytes is cut, read and summed in parts side by side: every
// row must come out once, in file order, whichever part its line fell in, and
// every cell's number must be the C library's reading of it.
TEST(CsvTable, LargeLogReadInPartsEqualsTheFileRowByRow) {
    TempDir dir;
    // Cells that take each road of the number reading; they fall all over the parts.
    const char* const kOdd[] = {"12.5",   " 5",     "NA",   "1e3",  "-0.000", "12a",  "+7.25", "0012.50",
                                "123456789012.345", "1234567890123456", "12345678901234567", ".5", "5.", "-",
                                "nan",    "N/A",    "-1.23456", "", "0x1A", "4.000000000000001"};
    const size_t kOddCount = sizeof(kOdd) / sizeof(kOdd[0]);
    std::string text = "Log,sw_version: 3\nSerialNumber,A,B,C,D,E\nUpper Limit->,100,100,0,NA,NA\nLower Limit->,0,0,-1000,NA,NA\n";
    std::vector<std::vector<std::string>> cells;
    const size_t kRows = 70000;  // about 4 MB: four parts for every stage
    char buf[64];
    std::mt19937_64 rng(28);
    for (size_t r = 0; r < kRows; ++r) {
        std::vector<std::string> row{"SN" + std::to_string(r)};
        std::snprintf(buf, sizeof(buf), "%.6f", static_cast<double>((r * 7919) % 100003) / 1000.0);
        row.emplace_back(buf);
        row.emplace_back(kOdd[r % kOddCount]);
        std::snprintf(buf, sizeof(buf), "-%zu.%06zu", r % 997, (r * 31) % 1000000);
        row.emplace_back(buf);
        std::snprintf(buf, sizeof(buf), "%zu.%zu", r * 1000003, r % 10);
        row.emplace_back(buf);
        // Generated decimals around the direct reading's 15-digit edge: leading zeros,
        // a sign, the dot anywhere or twice, up to 19 digits.
        std::string g = rng() % 3 == 0 ? "-" : rng() % 9 == 0 ? "+" : "";
        g.append(rng() % 4 == 0 ? rng() % 5 : 0, '0');
        for (size_t d = 0, digits = 1 + rng() % 19; d < digits; ++d) g += static_cast<char>('0' + rng() % 10);
        for (int dots = rng() % 5 == 0 ? 2 : 1; dots > 0; --dots)
            if (rng() % 4) g.insert(g.begin() + static_cast<long>(rng() % (g.size() + 1)), '.');
        row.push_back(std::move(g));
        for (size_t c = 0; c < row.size(); ++c) text += row[c] + (c + 1 < row.size() ? "," : "");
        text += r % 1000 == 0 ? "\r\n" : r % 777 == 0 ? "\n\n" : "\n";
        cells.push_back(std::move(row));
    }
    CNK_csv t = loadText(dir, "big.csv", text);
    EXPECT_EQ(t.getSwVersion(), "3");
    ASSERT_EQ(t.getStrRows().size(), kRows);
    ASSERT_EQ(t.getValRows().size(), kRows);
    auto cLibrary = [](const std::string& cell) {
        for (const char* word : {"NA", "N/A", "nan", "inf"})
            if (strcasecmp(cell.c_str(), word) == 0) return std::nan("");
        char* end = nullptr;
        const double v = std::strtod(cell.c_str(), &end);
        return end == cell.c_str() || v == -1.23456 ? std::nan("") : v;
    };
    size_t mismatches = 0;
    for (size_t r = 0; r < kRows; ++r) {
        if (t.getStrRows()[r] != cells[r]) {
            ADD_FAILURE() << "row " << r << " reads " << t.getStrRows()[r][0];
            if (++mismatches > 5) break;
            continue;
        }
        for (size_t c = 1; c < 6; ++c) {
            const double want = cLibrary(cells[r][c]), got = t.getValRows()[r][c];
            const bool same = std::isnan(want) ? std::isnan(got) : std::memcmp(&want, &got, sizeof(double)) == 0;
            if (!same) {
                ADD_FAILURE() << "row " << r << " cell \"" << cells[r][c] << "\" reads " << got << ", not " << want;
                if (++mismatches > 5) break;
            }
        }
    }

    // Each column's values in row order, whatever part summed the column.
    t.calculate_col_stat();
    ASSERT_EQ(t.getColStat().size(), 6u);
    for (size_t c = 1; c < 6; ++c) {
        std::vector<double> want;
        long double sum = 0;
        for (const auto& row : t.getValRows())
            if (nkMath_isValid(row[c])) {
                want.push_back(row[c]);
                sum += row[c];
            }
        const t_nkCsvColStat& st = t.getColStat()[c];
        EXPECT_TRUE(st.values == want) << "column " << c;
        EXPECT_NEAR(st.mean, static_cast<double>(sum / want.size()), 1e-9 * std::fabs(st.mean) + 1e-12) << c;
    }
}

TEST(CsvTable, PrintAndExportReadBackByBothReaders) {
    TempDir dir;
    CNK_csv t = loadText(dir, "t.csv",
                         "sw_version:1.0\nSerialNumber,V,Note\nUpper Limit->,1.5,\nUnit->,mm,x\n"
                         "SN1,0.25,a b\nSN2,NA,c\n");
    char* buf = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&buf, &len);
    t.print(mem, ';');
    std::fclose(mem);
    const std::string printed(buf, len);
    std::free(buf);
    EXPECT_EQ(printed,
              "type:data_csv\ntitle:[sw_version:1.0]\nsw_version:[1.0]\n"
              "SerialNumber;V;Note\n"
              "Upper Limit----->;1.50000000;\nLower Limit----->;;\nUpper ERS----->;;\nLower ERS----->;;\n"
              "Measurement Unit----->;mm;\nGRR Stdev----->;;\nGRR Limit----->;;\n"
              "SN1;0.25000000;a b\nSN2;;c\n");

    const std::string out = dir.file("out.csv");
    writeFile(out, "old");
    ASSERT_EQ(t.exportCsv(out), 0);
    CNK_csv back;
    ASSERT_EQ(back.load(out), 0);
    EXPECT_EQ(back.getStrRows()[0][2], "a b");
    EXPECT_EQ(back.getValRows()[0][1], 0.25);
    EXPECT_EQ(back.getColInfo()[1].upperLimit, 1.5);
    EXPECT_EQ(back.getColInfo()[1].unit, "mm");
    if (nktest::havePython()) {
        const std::string rows = runPython(dir,
                                           "import csv,sys\n"
                                           "r=list(csv.reader(open(sys.argv[1])))\n"
                                           "print(r[4]);print(r[-1])\n",
                                           out);
        EXPECT_EQ(rows, "['Upper Limit----->', '1.50000000', '']\n['SN2', '', 'c']\n");
    }

    // A write that fails half-way leaves the old file whole.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string before = nktest::readFile(out);
    StderrCapture err;
    EXPECT_EQ(t.exportCsv(out), kNKErr_fileWriteFailed);
    setrlimit(RLIMIT_FSIZE, &old);
    err.take();
    EXPECT_EQ(nktest::readFile(out), before);
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path())) entries += e.path().filename().string().rfind("out.csv", 0) == 0;
    EXPECT_EQ(entries, 1u);
}
