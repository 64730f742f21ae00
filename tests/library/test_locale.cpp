// Files, log lines and parsers under a user locale with a decimal comma: every
// number must still be written and read with a '.'.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "nk_csv.h"
#include "nk_data_item_util.h"
#include "nk_gtest_util.h"
#include "nk_locale_util.h"
#include "nk_serial.h"
#include "nk_spec.h"
#include "nk_string.h"
#include "nk_test_util.h"
#include "plist/pf_plist.h"
#include "pty_test_util.h"

using nktest::dataItem;
using nktest::readFile;
using nktest::runPython;
using nktest::TempDir;
using nktest::writeFile;

namespace {

}  // namespace

TEST(DecimalComma, TestDataCsvKeepsItsCellsForPythonAndTheReaders) {
    nktest::GermanNumbers de;
    ASSERT_TRUE(de.active()) << "de_DE.UTF-8 could not be built with localedef";
    TempDir dir;
    t_nkDataItem data[2] = {dataItem("Gain", kNKDT_double, 0.5, 4.25, 2.5), dataItem("Ratio", kNKDT_float, kNK_noValue, 1.5, 0.75)};
    CNK_csvWriter w;
    for (auto& d : data) ASSERT_EQ(w.addData(&d), 0);
    const std::string path = dir.file("log.csv");
    ASSERT_EQ(w.write(path.c_str(), "St", "1.0", "SN1", 0, "", "a", "b", 12.5, 3.25), 0);

    if (nktest::havePython()) {
        const std::string out = runPython(dir,
                                          "import csv,sys\n"
                                          "r=list(csv.reader(open(sys.argv[1],newline='')))\n"
                                          "print(set(map(len,r[1:])));print('|'.join(r[2]));print('|'.join(r[4]))\n",
                                          path);
        EXPECT_EQ(out, "{11}\nUpper Limit----->||0||||||4.250000|1.500000|\nSN1|PASS|0||a|b|12.500|3.250|2.500000|0.750000|\n");
    }

    // The generic table reads the file back, and its own export reloads.
    CNK_csv t;
    ASSERT_EQ(t.load(path), 0);
    EXPECT_EQ(t.getColInfo()[8].upperLimit, 4.25);
    EXPECT_EQ(t.getColInfo()[8].lowerLimit, 0.5);
    EXPECT_EQ(t.getValRows()[0][8], 2.5);
    const std::string exported = dir.file("export.csv");
    ASSERT_EQ(t.exportCsv(exported), 0);
    EXPECT_NE(readFile(exported).find(",2.50000000,0.75000000,"), std::string::npos) << readFile(exported);
    CNK_csv back;
    ASSERT_EQ(back.load(exported), 0);
    EXPECT_EQ(back.getValRows()[0][9], 0.75);
    EXPECT_EQ(back.getColInfo()[9].upperLimit, 1.5);

    // The station reader's numbers.
    const std::string log = dir.file("station.csv");
    writeFile(log, "CG,2.1,\nSerialNumber,A,\nUpper Limit ----->,20.5,\nLower Limit ----->,0.25,\nSN1,12.75,\n");
    CNK_csvParser p;
    ASSERT_EQ(p.load(log.c_str(), kVL3), 0);
    EXPECT_EQ(p.getData(0, 1), 12.75);

    // csv -> plist keeps the column with the fraction.
    ASSERT_EQ(nkUtil_csvToPlist(path.c_str(), nullptr, false, false, false), 0);
    pf::plist::Value root;
    std::string err;
    ASSERT_TRUE(pf::plist::readFile(dir.file("log.plist"), root, &err)) << err;
    const pf::plist::Value* unit = root.find("0");
    ASSERT_NE(unit, nullptr);
    std::vector<std::string> names;
    for (const auto& test : unit->find("Tests")->items()) names.push_back(test.find("testname")->str());
    EXPECT_EQ(names, (std::vector<std::string>{"timeStamp", "testTime", "errCode", "Gain", "Ratio"}));
}

TEST(DecimalComma, SpecLimitsExportAndImport) {
    nktest::GermanNumbers de;
    ASSERT_TRUE(de.active());
    TempDir dir;
    std::vector<t_nkDataItem> table = {dataItem("a", kNKDT_double, 0.5, 1.5, kNK_noValue),
                                       dataItem("b", kNKDT_float, kNK_noValue, 2.25, kNK_noValue)};
    CNK_specManager sm;
    ASSERT_EQ(sm.setSpecTable(table.data(), static_cast<int>(table.size())), 0);
    const std::string path = dir.file("spec.csv");
    ASSERT_EQ(sm.exportSpecToCsv(path.c_str()), 0);
    const std::string text = readFile(path);
    EXPECT_NE(text.find("\na,0.5,1.5\nb,NA,2.25\n"), std::string::npos) << text;

    writeFile(path, "spec_symbol,lower_limit,upper_limit\na,0.95,1.05\nb,-0.125,NA\n");
    testing::internal::CaptureStdout();
    ASSERT_EQ(sm.importSpecFromCsv(path.c_str()), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sm.getLimitLower(0), 0.95);
    EXPECT_EQ(sm.getLimitUpper(0), 1.05);
    EXPECT_EQ(sm.getLimitLower(1), -0.125);
    EXPECT_EQ(sm.getLimitUpper(1), kNK_noValue);
}

TEST(DecimalComma, PropertyListRealsAndLogLines) {
    nktest::GermanNumbers de;
    ASSERT_TRUE(de.active());
    TempDir dir;
    pf::plist::Value root = pf::plist::Value::dict();
    root.set("r", pf::plist::Value::real(1.5));
    const std::string path = dir.file("r.plist");
    std::string err;
    ASSERT_TRUE(pf::plist::writeFile(path, root, &err)) << err;
    EXPECT_NE(readFile(path).find("<real>1.5</real>"), std::string::npos);
    if (nktest::havePython()) {
        EXPECT_EQ(runPython(dir, "import plistlib,sys\nprint(plistlib.load(open(sys.argv[1],'rb'))['r'])\n", path), "1.5\n");
    }
    pf::plist::Value back;
    ASSERT_TRUE(pf::plist::fromXml("<plist><real>2.75</real></plist>", back, &err)) << err;
    EXPECT_EQ(back.real(), 2.75);

    // Log lines and the scanners that read them back.
    CNK_logManager lm;
    lm.setVerboseLevel(kVL1);
    const float values[2] = {1.5f, -0.25f};
    testing::internal::CaptureStdout();
    lm.printText(kVL1, "v=%.2f", 3.5);
    lm.print_1d(kVL1, values, 2, false, "%.2f");
    const std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_NE(shown.find("v=3.50"), std::string::npos) << shown;
    EXPECT_NE(shown.find("1.50 \t-0.25"), std::string::npos) << shown;
    float scanned[2] = {0, 0};
    ASSERT_NE(nkStr_scanFloat_1D("1.50 \t-0.25\n", scanned, 2), nullptr);
    EXPECT_EQ(scanned[1], -0.25f);
    EXPECT_STREQ(nkStr_getSizeString(1536), "1.500 K");
}

// The serial port's trace lines print their times with a point too.
TEST(DecimalComma, SerialTraceLines) {
    nktest::GermanNumbers de;
    ASSERT_TRUE(de.active());
    nktest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    CNK_serial* port = CNK_serial::create(pty.path().c_str(), 115200, k_nkSerialFormat_8N1, 1);
    ASSERT_NE(port, nullptr);
    testing::internal::CaptureStdout();
    const u16 rc = port->Open();
    const std::string shown = testing::internal::GetCapturedStdout();
    delete port;
    ASSERT_EQ(rc, 0);
    EXPECT_NE(shown.find(" in 0.0"), std::string::npos) << shown;
    EXPECT_EQ(shown.find(" in 0,0"), std::string::npos) << shown;
}
