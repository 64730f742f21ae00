// CSV files as other programs leave them: a spreadsheet's byte-order mark, CRLF
// line ends, an empty file made ahead of the first unit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nk_csv.h"
#include "nk_test_util.h"
#include "plist/pf_plist.h"

using nktest::readFile;
using nktest::TempDir;
using nktest::writeFile;

namespace {
const std::string kBom = "\xEF\xBB\xBF";
}  // namespace

TEST(CsvFromOtherPrograms, StationReaderSkipsTheBomAndCarriageReturns) {
    TempDir dir;
    const std::string path = dir.file("log.csv");
    for (const std::string& bom : {std::string(), kBom}) {
        writeFile(path, bom +
                            "CG-Station,2.1.0\r\nSerialNumber,A,\r\nUpper Limit ----->,9,\r\nLower Limit ----->,1,\r\n"
                            "Measurement Unit ----->,mm,\r\nSN1,5.5,\r\n");
        CNK_csvParser p;
        ASSERT_EQ(p.load(path.c_str(), kVL3), 0) << bom.size();
        EXPECT_EQ(p.getStationType(), "CG-Station");
        EXPECT_EQ(p.getSwVersion(), "2.1.0");
        EXPECT_EQ(p.getDataRow(), 1);
        EXPECT_EQ(p.getData(0, 1), 5.5);
    }
}

TEST(CsvFromOtherPrograms, TableSkipsTheBom) {
    TempDir dir;
    const std::string path = dir.file("t.csv");
    writeFile(path, kBom + "SerialNumber,V\r\nUnit->,mm\r\n1001,1.5\r\n1002,2.5\r\n1001,3\r\n");
    CNK_csv t;
    ASSERT_EQ(t.load(path), 0);
    EXPECT_EQ(t.getColInfo()[0].title, "SerialNumber");
    EXPECT_FALSE(t.getColInfo()[0].isParametric);  // serial numbers are never measurements
    EXPECT_EQ(t.getColInfo()[1].unit, "mm");
    EXPECT_EQ(t.getGroups("SerialNumber").size(), 2u);

    // The product layout is recognised behind the mark: its limit row is no unit.
    writeFile(path, kBom + "Product,SerialNumber,V\nUpper Limit->,,2.5\nP1,SN1,1.5\n");
    CNK_csv p;
    ASSERT_EQ(p.load(path), 0);
    EXPECT_EQ(p.getColInfo()[1].upperLimit, 2.5);
    ASSERT_EQ(p.getStrRows().size(), 1u);
    EXPECT_EQ(p.getStrRows()[0][0], "SN1");
}

TEST(CsvFromOtherPrograms, UnitRowIsFoundByItsLabelOnly) {
    TempDir dir;
    const std::string path = dir.file("t.csv");
    // A serial number that holds "unit" is a unit under test, not the unit row.
    writeFile(path, "SerialNumber,V,W\nSN-unit-7,1.5,2.5\nMeasurement Unit----->,mm,V\nSN2,3,4\n");
    CNK_csv t;
    ASSERT_EQ(t.load(path), 0);
    ASSERT_EQ(t.getStrRows().size(), 2u);
    EXPECT_EQ(t.getStrRows()[0][0], "SN-unit-7");
    EXPECT_EQ(t.getColInfo()[1].unit, "mm");
    EXPECT_EQ(t.getColInfo()[2].unit, "V");

    writeFile(path, "SerialNumber,V\nSN-Unit-7,1.5\nSN-upper limit,3\n");
    CNK_csv u;
    ASSERT_EQ(u.load(path), 0);
    EXPECT_EQ(u.getStrRows().size(), 2u);
    EXPECT_EQ(u.getColInfo()[1].unit, "");
    EXPECT_EQ(u.getColInfo()[1].upperLimit, kNK_noValue);
}

TEST(CsvFromOtherPrograms, EmptyTestDataFileGetsItsHeader) {
    TempDir dir;
    const std::string path = dir.file("units.csv");
    writeFile(path, "");
    t_nkDataItem gain{};
    gain.name = "Gain";
    gain.dataType = kNKDT_double;
    gain.limitLower = 1;
    gain.limitUpper = 4;
    gain.value = 2.5;
    CNK_csvWriter w;
    ASSERT_EQ(w.addData(&gain), 0);
    ASSERT_EQ(w.write(path.c_str(), "St", "1.0", "SN1", 0, "", "a", "b", 0, 0), 0);
    ASSERT_EQ(w.write(path.c_str(), "St", "1.0", "SN2", 0, "", "a", "b", 0, 0), 0);
    const std::vector<std::string> lines = nktest::splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "St,Version:1.0,");
    EXPECT_EQ(lines[1].rfind("SerialNumber,", 0), 0u);
    ASSERT_EQ(nkUtil_csvToPlist(path.c_str(), nullptr, false, false, false), 0);
    pf::plist::Value v;
    ASSERT_TRUE(pf::plist::readFile(dir.file("units.plist"), v));
    EXPECT_EQ(v.size(), 2u);
}

TEST(CsvFromOtherPrograms, CsvToPlistTakesCrlfAndManyUnits) {
    TempDir dir;
    const std::string path = dir.file("many.csv");
    std::string text = "St,Version:1.0,\r\nSerialNumber,overallResult,errCode,errString,startTime,stopTime,timeStamp,"
                       "testTime,Gain,\r\nUpper Limit----->,,0,,,,,,4,\r\nLower Limit----->,,0,,,,,,1,\r\n";
    const int units = 3000;
    for (int i = 0; i < units; ++i) text += "SN" + std::to_string(i) + ",PASS,0,,a,b,0.000,1.000," + std::to_string(i % 6) + "\r\n";
    writeFile(path, text);
    ASSERT_EQ(nkUtil_csvToPlist(path.c_str(), nullptr, false, false, false), 0);
    pf::plist::Value v;
    std::string err;
    ASSERT_TRUE(pf::plist::readFile(dir.file("many.plist"), v, &err)) << err;
    ASSERT_EQ(v.size(), static_cast<size_t>(units));
    const pf::plist::Value& last = *v.find(std::to_string(units - 1));
    EXPECT_EQ(last.find("Attributes")->find("serialnumber")->str(), "SN" + std::to_string(units - 1));
    const pf::plist::Value& gain = last.find("Tests")->items().back();
    EXPECT_EQ(gain.find("testname")->str(), "Gain");
    EXPECT_EQ(gain.find("value")->str(), std::to_string((units - 1) % 6));
    EXPECT_EQ(gain.find("result")->str(), (units - 1) % 6 >= 1 && (units - 1) % 6 <= 4 ? "PASS" : "FAIL");
}
