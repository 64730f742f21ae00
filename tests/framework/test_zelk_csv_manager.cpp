// The station CSV writer against Python's csv reader, and its property-list
// converter against Python's plistlib.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <iterator>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "ZelkCsvManager.h"
#include "ZelkError.h"
#include "ZelkPaths.h"
#include "nk_gtest_util.h"
#include "nk_locale_util.h"
#include "nk_test_util.h"

using nktest::TempDir;
using testing::HasSubstr;
using testing::Not;

namespace {

bool exists(const std::string& path) { return std::filesystem::exists(path); }

tZelk_CsvItem dataItem(const char* title, UInt32 type, double lower, double upper, double value,
                       const char* text = "") {
    tZelk_CsvItem item{};
    item.title = title;
    item.type = type;
    item.limitLower = lower;
    item.limitUpper = upper;
    item.value = value;
    std::strncpy(item.valueText, text, sizeof(item.valueText) - 1);
    return item;
}

tZelk_CsvItem attribute(const char* title, const char* text) { return dataItem(title, kZCSV_Text, 0, 0, 0, text); }

iZelk_CsvManager* unit(const char* serial, int code = 0, const char* errString = "", const char* tester = "T7") {
    return ZCSV_Create("Station", "1.2", serial, code, errString, "2026-12-11 09:00:00", "2026-12-11 09:01:00",
                       tester, 123.4567, 60.5);
}

// The record of the layout test: a tester, one attribute, one measured item.
iZelk_CsvManager* sampleUnit(const char* serial) {
    iZelk_CsvManager* csv = unit(serial);
    const tZelk_CsvItem fixture = attribute("Fixture", "F,1");
    const tZelk_CsvItem vbat = dataItem("vbat", kZCSV_Double, 3.0, 4.2, 3.7);
    EXPECT_EQ(ZCSV_AddItemAttr(csv, &fixture), kZErr_OK);
    EXPECT_EQ(csv->AddItemData(&vbat), kZErr_OK);  // the operation table is the same call
    return csv;
}

// The plist as "path=value" lines (dictionary keys in file order), and "keys=" of the root.
std::string flatPlist(const TempDir& dir, const std::string& plist) {
    const char* kFlatten = R"PY(
import plistlib, sys
d = plistlib.load(open(sys.argv[1], "rb"))
print("keys=" + ",".join(d.keys()))
def walk(p, v):
    if isinstance(v, dict):
        for k, x in v.items(): walk(p + [k], x)
    elif isinstance(v, list):
        for i, x in enumerate(v): walk(p + [str(i)], x)
    else: print("/".join(p) + "=" + str(v))
walk([], d)
)PY";
    return nktest::runPython(dir, kFlatten, plist, "flatten.py");
}

// Points the var folder into a temporary folder for the conversion log.
struct VarFolder {
    zelk::roots::Folders saved = zelk::roots::get();
    explicit VarFolder(const std::string& var) {
        zelk::roots::Folders f = saved;
        f.var = var;
        zelk::roots::set(f);
    }
    ~VarFolder() { zelk::roots::set(saved); }
};

}  // namespace

TEST(ZelkCsvWriter, WritesHeaderOnceThenOneLinePerUnit) {
    TempDir dir;
    iZelk_CsvManager* csv = sampleUnit("SN001");
    char used[2048] = {};
    ASSERT_EQ(ZCSV_WriteCsvFileWithFinalFile(csv, dir.file("log").c_str(), false, used), kZErr_OK);
    EXPECT_EQ(std::string(used), dir.file("log.csv"));
    ASSERT_EQ(ZCSV_WriteCsvFile(csv, dir.file("log").c_str(), false), kZErr_OK);
    ZCSV_Delete(&csv);
    EXPECT_EQ(csv, nullptr);
    ZCSV_Delete(&csv);  // nothing for none

    const std::string line = "SN001,PASS,0,,2026-12-11 09:00:00,2026-12-11 09:01:00,123.457,60.500,T7,F;1,3.700000,\n";
    const std::string expected =
        "Station,Version:1.2,\n"
        "SerialNumber,overallResult,errCode,errString,startTime,stopTime,timeStamp,testTime,TesterID,Fixture,vbat,\n"
        "Upper Limit----->,,0,,,,,,NA,ATTRB,4.200000,\n"
        "Lower Limit----->,,0,,,,,,NA,ATTRB,3.000000,\n" +
        line + line;
    EXPECT_EQ(nktest::readFile(dir.file("log.csv")), expected);

    // The same bytes when the program runs with a decimal comma.
    {
        nktest::GermanNumbers german;
        if (german.active()) {
            iZelk_CsvManager* again = sampleUnit("SN001");
            ASSERT_EQ(ZCSV_WriteCsvFile(again, dir.file("german").c_str(), false), kZErr_OK);
            ASSERT_EQ(ZCSV_WriteCsvFile(again, dir.file("german").c_str(), false), kZErr_OK);
            ZCSV_Delete(&again);
        }
    }
    if (exists(dir.file("german.csv"))) {
        EXPECT_EQ(nktest::readFile(dir.file("german.csv")), expected);
    }

    // No tester identifier, no column; a failing unit says so.
    iZelk_CsvManager* bare = unit("SN002", 5, "timeout", nullptr);
    ASSERT_EQ(ZCSV_WriteCsvFile(bare, dir.file("bare.csv").c_str(), false), kZErr_OK);
    ZCSV_Delete(&bare);
    const std::vector<std::string> lines = nktest::splitLines(nktest::readFile(dir.file("bare.csv")));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], "SerialNumber,overallResult,errCode,errString,startTime,stopTime,timeStamp,testTime,");
    EXPECT_EQ(lines[4], "SN002,FAIL,5,timeout,2026-12-11 09:00:00,2026-12-11 09:01:00,123.457,60.500,");
}

TEST(ZelkCsvWriter, CellTextsFollowTheirType) {
    const double na = kZelk_noValue, inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const struct {
        UInt32 type;
        double lower, upper, value;
        const char* text;
        const char* cells;  // upper, lower, value
    } rows[] = {
        {kZCSV_Double, na, 1.5, na, "", "1.500000|NA|NA"},
        {kZCSV_UInt8, 0, 255, 300, "", "255|0|44"},  // through 32 bits to 8
        {kZCSV_UInt8, 0, 1e12, -1, "", "255|0|255"},  // clamped to 32 bits, then narrowed
        {kZCSV_SInt8, -128, 127, -129, "", "127|-128|127"},
        {kZCSV_UInt16, 0, 70000, 65537, "", "4464|0|1"},
        {kZCSV_SInt16, -1, 1, 40000.7, "", "1|-1|-25536"},
        {kZCSV_UInt32, -5, 1e10, 7.9, "", "4294967295|0|7"},
        {kZCSV_SInt32, -1e10, 1e10, -3.9, "", "2147483647|-2147483648|-3"},
        {kZCSV_UInt64, 0, 1e30, 12345678901234.0, "", "18446744073709551615|0|12345678901234"},
        {kZCSV_SInt64, -1e30, 1e30, -2, "", "9223372036854775807|-9223372036854775808|-2"},
        {kZCSV_Float, 0, 1e39, 0.1, "", "inf|0.000000|0.100000"},
        {kZCSV_Double, -inf, inf, nan, "", "inf|-inf|nan"},
        {kZCSV_SInt32, nan, -inf, inf, "", "-inf|nan|inf"},
        {kZCSV_Text, 1, 2, 3, "", "NA|NA|NA"},
        {kZCSV_Text, 1, 2, 3, "ok, \"really\"\r\n", "NA|NA|ok; 'really'  "},
    };
    TempDir dir;
    iZelk_CsvManager* csv = unit("SN1");
    for (const auto& row : rows) {
        const tZelk_CsvItem item = dataItem("x", row.type, row.lower, row.upper, row.value, row.text);
        ASSERT_EQ(ZCSV_AddItemData(csv, &item), kZErr_OK) << row.cells;
    }
    ASSERT_EQ(ZCSV_WriteCsvFile(csv, dir.file("types.csv").c_str(), false), kZErr_OK);
    ZCSV_Delete(&csv);
    const std::vector<std::string> lines = nktest::splitLines(nktest::readFile(dir.file("types.csv")));
    ASSERT_EQ(lines.size(), 5u);
    std::vector<std::vector<std::string>> cells;
    for (int l = 2; l <= 4; ++l) {
        std::vector<std::string> c;
        std::string cell;
        for (char ch : lines[l]) {
            if (ch == ',') c.push_back(cell), cell.clear();
            else cell.push_back(ch);
        }
        cells.push_back(c);
    }
    for (size_t i = 0; i < std::size(rows); ++i) {
        const size_t col = 9 + i;
        ASSERT_LT(col, cells[2].size());
        EXPECT_EQ(cells[0][col] + "|" + cells[1][col] + "|" + cells[2][col], rows[i].cells) << "row " << i;
    }
}

TEST(ZelkCsvWriter, RefusesWhatDoesNotFitWith17) {
    const std::string longText(256, 'a');
    const struct {
        const char *name, *version, *serial, *errString, *start, *stop;
        double stamp, duration;
    } creates[] = {
        {nullptr, "1", "S", "", "a", "b", 1, 1}, {"", "1", "S", "", "a", "b", 1, 1},
        {"N", nullptr, "S", "", "a", "b", 1, 1}, {"N", "1", nullptr, "", "a", "b", 1, 1},
        {"N", "1", "", "", "a", "b", 1, 1},      {"N", "1", "S", nullptr, "a", "b", 1, 1},
        {"N", "1", "S", "", nullptr, "b", 1, 1}, {"N", "1", "S", "", "a", nullptr, 1, 1},
        {"N", "1", "S", "", "a", "b", 0, 1},     {"N", "1", "S", "", "a", "b", 1, 0},
        {"N", "1", longText.c_str(), "", "a", "b", 1, 1}, {"N", "1", "S", "", "a", "b", 1e300, 1},
    };
    for (size_t i = 0; i < std::size(creates); ++i) {
        const auto& c = creates[i];
        EXPECT_EQ(ZCSV_Create(c.name, c.version, c.serial, 0, c.errString, c.start, c.stop, nullptr, c.stamp,
                              c.duration),
                  nullptr)
            << "create " << i;
    }

    iZelk_CsvManager* csv = unit("SN1");
    const tZelk_CsvItem good = dataItem("x", kZCSV_Double, 0, 1, 0.5);
    tZelk_CsvItem noTitle = good, longTitle = good, type11 = good, big = good, bigLimit = good, unended = good;
    noTitle.title = nullptr;
    longTitle.title = longText.c_str();
    type11.type = 11;
    big.value = 1e70;  // "%lf" of it is 71 characters: never a cut, wrong number
    bigLimit.limitUpper = -1e70;
    unended.type = kZCSV_Text;
    std::memset(unended.valueText, 'v', sizeof(unended.valueText));
    const struct {
        iZelk_CsvManager* csv;
        const tZelk_CsvItem* item;
        bool attribute;
    } adds[] = {
        {nullptr, &good, false}, {csv, nullptr, false}, {csv, &noTitle, false}, {csv, &longTitle, false},
        {csv, &type11, false},   {csv, &big, false},    {csv, &bigLimit, false}, {csv, &unended, false},
        {nullptr, &good, true},  {csv, nullptr, true},  {csv, &longTitle, true}, {csv, &unended, true},
    };
    for (size_t i = 0; i < std::size(adds); ++i) {
        const auto& a = adds[i];
        EXPECT_EQ(a.attribute ? ZCSV_AddItemAttr(a.csv, a.item) : ZCSV_AddItemData(a.csv, a.item), kZErr_invalidParam)
            << "add " << i;
    }
    EXPECT_EQ(ZCSV_GetDataCnt(csv), 0u);
    EXPECT_EQ(ZCSV_GetAttrCnt(csv), 0u);

    // A full record refuses the next item.
    const tZelk_CsvItem attr = attribute("a", "v");
    for (UInt32 i = 0; i < iZelk_CsvManager::kMaxAttr; ++i) ASSERT_EQ(ZCSV_AddItemAttr(csv, &attr), kZErr_OK);
    EXPECT_EQ(ZCSV_AddItemAttr(csv, &attr), kZErr_invalidParam);
    for (UInt32 i = 0; i < iZelk_CsvManager::kMaxData; ++i) ASSERT_EQ(ZCSV_AddItemData(csv, &good), kZErr_OK);
    EXPECT_EQ(ZCSV_AddItemData(csv, &good), kZErr_invalidParam);
    EXPECT_EQ(ZCSV_GetAttrCnt(csv), iZelk_CsvManager::kMaxAttr);
    EXPECT_EQ(ZCSV_GetDataCnt(csv), iZelk_CsvManager::kMaxData);
    EXPECT_EQ(ZCSV_GetDataCnt(nullptr), 0u);

    const std::string longPath(2048, 'p');
    EXPECT_EQ(ZCSV_WriteCsvFile(nullptr, "/tmp/x", false), kZErr_invalidParam);
    EXPECT_EQ(ZCSV_WriteCsvFile(csv, nullptr, false), kZErr_invalidParam);
    EXPECT_EQ(ZCSV_WriteCsvFile(csv, "", false), kZErr_invalidParam);
    EXPECT_EQ(ZCSV_WriteCsvFile(csv, longPath.c_str(), false), kZErr_invalidParam);
    ZCSV_Delete(&csv);
}

TEST(ZelkCsvWriter, NamesFilesByVersionAndReportsFailedWrites) {
    TempDir dir;
    iZelk_CsvManager* csv = sampleUnit("SN1");
    const struct {
        const char* path;
        bool perVersion;
        const char* used;
    } names[] = {
        {"log.csv", true, "log_1.2.csv"},
        {"LOG.CSV.old", true, "LOG_1.2.csv"},
        {"plain", true, "plain_1.2.csv"},
        {"log", false, "log.csv"},
        {"data.CSV", false, "data.CSV"},
    };
    for (const auto& n : names) {
        char used[2048] = {};
        EXPECT_EQ(ZCSV_WriteCsvFileWithFinalFile(csv, dir.file(n.path).c_str(), n.perVersion, used), kZErr_OK);
        EXPECT_EQ(std::string(used), dir.file(n.used));
        EXPECT_TRUE(exists(dir.file(n.used))) << n.used;
    }

    // A folder at the file's name cannot be opened.
    ASSERT_EQ(mkdir(dir.file("folder.csv").c_str(), 0700), 0);
    EXPECT_EQ(ZCSV_WriteCsvFile(csv, dir.file("folder.csv").c_str(), false), kZErr_fileOpenFailed);

    // An existing empty file gets its header.
    nktest::writeFile(dir.file("empty.csv"), "");
    ASSERT_EQ(ZCSV_WriteCsvFile(csv, dir.file("empty.csv").c_str(), false), kZErr_OK);
    EXPECT_EQ(nktest::readFile(dir.file("empty.csv")), nktest::readFile(dir.file("log.csv")));

    // A write that fails part way is reported, and nothing of its line stays.
    const std::string before = nktest::readFile(dir.file("log.csv"));
    const SInt32 rtn = nktest::withFileSizeLimit(before.size() + 10, [&] {
        return ZCSV_WriteCsvFile(csv, dir.file("log.csv").c_str(), false);
    });
    EXPECT_EQ(rtn, kZErr_fileWriteFailed);
    EXPECT_EQ(nktest::readFile(dir.file("log.csv")), before);
    ZCSV_Delete(&csv);
}

TEST(ZelkCsvConcurrency, SixteenThreadsWriteWholeLinesToOneFile) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 is not installed";
    TempDir dir;
    const std::string path = dir.file("shared.csv");
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([t, &path] {
            for (int i = 0; i < 50; ++i) {
                char serial[32];
                std::snprintf(serial, sizeof(serial), "T%02d-%02d", t, i);
                iZelk_CsvManager* csv = sampleUnit(serial);
                EXPECT_EQ(ZCSV_WriteCsvFile(csv, path.c_str(), false), kZErr_OK);
                ZCSV_Delete(&csv);
            }
        });
    for (std::thread& th : threads) th.join();
    const char* kCheck = R"PY(
import csv, sys
rows = list(csv.reader(open(sys.argv[1], newline="")))
assert rows[0] == ["Station", "Version:1.2", ""], rows[0]
assert [r[0] for r in rows].count("SerialNumber") == 1
assert len(rows) == 4 + 16 * 50, len(rows)
assert all(len(r) == len(rows[1]) for r in rows[1:]), set(len(r) for r in rows[1:])
assert sorted(r[0] for r in rows[4:]) == sorted(f"T{t:02d}-{i:02d}" for t in range(16) for i in range(50))
assert all(r[9] == "F;1" and r[10] == "3.700000" for r in rows[4:])
print("ok")
)PY";
    EXPECT_EQ(nktest::runPython(dir, kCheck, path), "ok\n");
}

// ================================================================ the converter

namespace {

// Two units: the first passes but fails its item "cur", the second fails its error code.
void writeTwoUnits(const std::string& path) {
    const tZelk_CsvItem line = attribute("Line", "L<&>1");
    const tZelk_CsvItem config = dataItem("config", kZCSV_Text, 0, 0, 0, "C1");
    const tZelk_CsvItem vbat = dataItem("vbat", kZCSV_Double, 3.0, 4.2, 3.7);
    const tZelk_CsvItem missing = dataItem("gain", kZCSV_Double, kZelk_noValue, kZelk_noValue, kZelk_noValue);
    const tZelk_CsvItem cur1 = dataItem("cur", kZCSV_SInt32, 1, kZelk_noValue, 0);
    const tZelk_CsvItem cur2 = dataItem("cur", kZCSV_SInt32, 1, kZelk_noValue, 5);
    const tZelk_CsvItem mode = dataItem("mode", kZCSV_Text, 0, 0, 0, "x<y & z>w");
    for (int u = 0; u < 2; ++u) {
        iZelk_CsvManager* csv = u == 0 ? unit("SN-A") : unit("SN-B", 5, "timeout");
        ZCSV_AddItemAttr(csv, &line);
        ZCSV_AddItemData(csv, &config);
        ZCSV_AddItemData(csv, &vbat);
        ZCSV_AddItemData(csv, &missing);
        ZCSV_AddItemData(csv, u == 0 ? &cur1 : &cur2);
        ZCSV_AddItemData(csv, &mode);
        ASSERT_EQ(ZCSV_WriteCsvFile(csv, path.c_str(), false), kZErr_OK);
        ZCSV_Delete(&csv);
    }
}

}  // namespace

TEST(ZelkCsvToPlist, ConvertsEachUnitWithItsTests) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 is not installed";
    TempDir dir;
    VarFolder var(dir.path().string());
    const std::string csv = dir.file("units.csv");
    writeTwoUnits(csv);
    ASSERT_EQ(ZCSV_CsvToPlist(csv.c_str(), nullptr, false, false, false), kZErr_OK);
    const std::string flat = flatPlist(dir, dir.file("units.plist"));

    EXPECT_THAT(flat, HasSubstr("keys=0,1\n"));
    // Unit 0: attributes, then result and times, then the two time records first.
    EXPECT_THAT(flat, HasSubstr("0/Attributes/serialnumber=SN-A\n0/Attributes/softwarename=Station\n"
                                "0/Attributes/softwareversion=1.2\n0/Attributes/Line=L<&>1\n"
                                "0/OverallResult=PASS\n0/startTime=2026-12-11 09:00:00\n"
                                "0/stopTime=2026-12-11 09:01:00\n"
                                "0/Tests/0/testname=timeStamp\n0/Tests/0/upperlimit=NA\n0/Tests/0/lowerlimit=NA\n"
                                "0/Tests/0/value=123.457\n0/Tests/0/priority=0\n0/Tests/0/result=PASS\n"
                                "0/Tests/0/failure_message=Failed timeStamp\n"
                                "0/Tests/1/testname=testTime\n"));
    // Then the items: "config", a missing value and texts that are no numbers give no record.
    EXPECT_THAT(flat, HasSubstr("0/Tests/2/testname=vbat\n0/Tests/2/upperlimit=4.200000\n"
                                "0/Tests/2/lowerlimit=3.000000\n0/Tests/2/value=3.700000\n0/Tests/2/priority=0\n"
                                "0/Tests/2/result=PASS\n0/Tests/2/failure_message=Failed vbat\n"));
    // The lower limit alone fails 0.
    EXPECT_THAT(flat, HasSubstr("0/Tests/3/testname=cur\n0/Tests/3/upperlimit=NA\n0/Tests/3/lowerlimit=1\n"
                                "0/Tests/3/value=0\n0/Tests/3/priority=0\n0/Tests/3/result=FAIL\n"
                                "0/Tests/3/failure_message=Failed cur\n"));
    for (const char* none : {"=config", "=gain", "=mode", "=TesterID", "=Line", "=overallResult"})
        EXPECT_THAT(flat, Not(HasSubstr(none))) << none;
    // The error code comes last; without an error text it has no message.
    EXPECT_THAT(flat, HasSubstr("0/Tests/4/testname=errCode\n0/Tests/4/upperlimit=0\n0/Tests/4/lowerlimit=0\n"
                                "0/Tests/4/value=0\n0/Tests/4/priority=0\n0/Tests/4/result=PASS\n1/"));
    // Unit 1 fails its error code, which carries the text.
    EXPECT_THAT(flat, HasSubstr("1/OverallResult=FAIL\n"));
    EXPECT_THAT(flat, HasSubstr("1/Tests/3/testname=cur\n1/Tests/3/upperlimit=NA\n1/Tests/3/lowerlimit=1\n"
                                "1/Tests/3/value=5\n1/Tests/3/priority=0\n1/Tests/3/result=PASS\n"));
    EXPECT_THAT(flat, HasSubstr("1/Tests/4/testname=errCode\n1/Tests/4/upperlimit=0\n1/Tests/4/lowerlimit=0\n"
                                "1/Tests/4/value=5\n1/Tests/4/priority=0\n1/Tests/4/result=FAIL\n"
                                "1/Tests/4/failure_message=err[5]=timeout\n"));
    EXPECT_THAT(flat, Not(HasSubstr("/Tests/5/")));
}

TEST(ZelkCsvToPlist, OptionsShapeTheUnits) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 is not installed";
    TempDir dir;
    VarFolder var(dir.path().string());
    const std::string csv = dir.file("units.csv");
    writeTwoUnits(csv);
    const std::string out = dir.file("out.plist");

    // Last unit only, without the unit attributes: "0" is the second unit, with only its own attribute.
    ASSERT_EQ(ZCSV_CsvToPlist(csv.c_str(), out.c_str(), false, true, true), kZErr_OK);
    std::string flat = flatPlist(dir, out);
    EXPECT_THAT(flat, HasSubstr("keys=0\n0/Attributes/Line=L<&>1\n0/OverallResult=FAIL\n"));
    EXPECT_THAT(flat, Not(HasSubstr("serialnumber")));
    EXPECT_THAT(flat, Not(HasSubstr("softwarename")));

    // Stop at the first failure: unit 0 ends at "cur", its error record still last; unit 1
    // ends at its error code.
    ASSERT_EQ(ZCSV_CsvToPlist(csv.c_str(), out.c_str(), true, false, false), kZErr_OK);
    flat = flatPlist(dir, out);
    EXPECT_THAT(flat, HasSubstr("0/Tests/3/testname=cur\n"));
    EXPECT_THAT(flat, HasSubstr("0/Tests/3/result=FAIL\n0/Tests/3/failure_message=Failed cur\n"
                                "0/Tests/4/testname=errCode\n"));
    EXPECT_THAT(flat, HasSubstr("1/Tests/2/testname=errCode\n"));
    EXPECT_THAT(flat, Not(HasSubstr("0/Tests/5/")));
    EXPECT_THAT(flat, Not(HasSubstr("1/Tests/3/")));

    // Missing values kept, under the test name: "gain", judged as the missing value, passes.
    ASSERT_EQ(ZCSV_CsvToPlistFull(csv.c_str(), out.c_str(), false, false, false, true, true, "Final"), kZErr_OK);
    flat = flatPlist(dir, out);
    EXPECT_THAT(flat, HasSubstr("0/Tests/0/testname=Final\n0/Tests/0/subtestname=timeStamp\n"));
    EXPECT_THAT(flat, HasSubstr("0/Tests/3/testname=Final\n0/Tests/3/subtestname=gain\n0/Tests/3/upperlimit=NA\n"
                                "0/Tests/3/lowerlimit=NA\n0/Tests/3/value=NA\n0/Tests/3/priority=0\n"
                                "0/Tests/3/result=PASS\n0/Tests/3/failure_message=Failed gain\n"));
    EXPECT_THAT(flat, HasSubstr("0/Tests/5/testname=Final\n0/Tests/5/subtestname=errCode\n"));
    EXPECT_EQ(ZCSV_CsvToPlistFull(csv.c_str(), out.c_str(), false, false, false, false, true, nullptr),
              kZErr_invalidParam);
    EXPECT_EQ(ZCSV_CsvToPlistFull(csv.c_str(), out.c_str(), false, false, false, false, true, ""),
              kZErr_invalidParam);
}

TEST(ZelkCsvToPlist, VerdictsFollowTheLimitsGiven) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 is not installed";
    TempDir dir;
    VarFolder var(dir.path().string());
    // Hand-made limits as other stations write them: each item's verdict and why.
    const std::string csv = dir.file("limits.csv");
    nktest::writeFile(csv,
                      "S,Version: 2.0,\n"
                      "SerialNumber,overallResult,startTime,stopTime,timeStamp,testTime,a,b,c,d,e,f,g,\n"
                      "U,,,,,,NA,na,2,NA,x,1,1e1,\n"
                      "L,,,,,,1,NA,1,NA,0,NA,0,\n"
                      "SN,PASS,s,t,1.000,2.000,0.5,7,1.5,3,1,abc,10,\n");
    ASSERT_EQ(ZCSV_CsvToPlist(csv.c_str(), nullptr, false, false, false), kZErr_OK);
    const std::string flat = flatPlist(dir, dir.file("limits.plist"));
    EXPECT_THAT(flat, HasSubstr("0/Attributes/softwareversion=2.0\n"));
    EXPECT_THAT(flat, HasSubstr("0/Tests/2/testname=a\n0/Tests/2/upperlimit=NA\n0/Tests/2/lowerlimit=1\n"
                                "0/Tests/2/value=0.5\n0/Tests/2/priority=0\n0/Tests/2/result=FAIL\n"));
    EXPECT_THAT(flat, HasSubstr("0/Tests/3/testname=b\n0/Tests/3/upperlimit=na\n0/Tests/3/lowerlimit=NA\n"
                                "0/Tests/3/value=7\n0/Tests/3/priority=0\n0/Tests/3/result=PASS\n"));
    EXPECT_THAT(flat, HasSubstr("0/Tests/4/testname=c\n0/Tests/4/upperlimit=2\n0/Tests/4/lowerlimit=1\n"
                                "0/Tests/4/value=1.5\n0/Tests/4/priority=0\n0/Tests/4/result=PASS\n"));
    EXPECT_THAT(flat, HasSubstr("0/Tests/5/testname=d\n0/Tests/5/upperlimit=NA\n0/Tests/5/lowerlimit=NA\n"
                                "0/Tests/5/value=3\n0/Tests/5/priority=0\n0/Tests/5/result=PASS\n"));
    // An upper limit "x" and a value "abc" pass their items over; 1e1 is a number.
    EXPECT_THAT(flat, HasSubstr("0/Tests/6/testname=g\n0/Tests/6/upperlimit=1e1\n0/Tests/6/lowerlimit=0\n"
                                "0/Tests/6/value=10\n0/Tests/6/priority=0\n0/Tests/6/result=PASS\n"));
    EXPECT_THAT(flat, Not(HasSubstr("0/Tests/7/")));
    const std::string log = nktest::readFile(dir.file("csv_to_plist.log"));
    EXPECT_THAT(log, HasSubstr("skipping item \"e\" w/ upper: \"x\"\n"));
    EXPECT_THAT(log, HasSubstr("skipping item \"f\" w/ data : \"abc\"\n"));
}

TEST(ZelkCsvToPlist, FailuresKeepTheUnitsBeforeThem) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 is not installed";
    TempDir dir;
    VarFolder var(dir.path().string());
    const std::string good = dir.file("units.csv");
    writeTwoUnits(good);
    const std::string text = nktest::readFile(good);
    const std::vector<std::string> lines = nktest::splitLines(text);
    const std::string head = lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n" + lines[3] + "\n";
    const struct {
        const char* name;
        std::string csv;
        int code;
        const char* keys;  // of the list written, or none
    } rows[] = {
        {"missing", "", kZErr_fileOpenFailed, nullptr},
        {"three", lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n", -1, nullptr},
        {"open_head", head.substr(0, head.size() - 1), -1, nullptr},
        {"no_unit", head, kZErr_dataCheckError, nullptr},
        // The last unit still being written: the first is kept.
        {"open_unit", text.substr(0, text.size() - 1), kZErr_invalidFormat, "keys=0\n"},
        // A unit cut short lacks its required columns.
        {"short_unit", head + lines[4] + "\nSN-C,PASS\n", kZErr_invalidFormat, "keys=0\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string csv = dir.file(std::string(row.name) + ".csv");
        if (row.code != kZErr_fileOpenFailed) nktest::writeFile(csv, row.csv);
        const std::string plist = dir.file(std::string(row.name) + ".plist");
        EXPECT_EQ(ZCSV_CsvToPlist(csv.c_str(), plist.c_str(), false, false, false), row.code);
        EXPECT_EQ(exists(plist), row.keys != nullptr);
        if (row.keys) {
            const std::string flat = flatPlist(dir, plist);
            EXPECT_THAT(flat, HasSubstr(row.keys));
            EXPECT_THAT(flat, HasSubstr("0/Attributes/serialnumber=SN-A\n"));
        }
    }
    EXPECT_EQ(ZCSV_CsvToPlist(nullptr, nullptr, false, false, false), kZErr_invalidParam);
    // A folder opens but is no file.
    EXPECT_EQ(ZCSV_CsvToPlist(dir.path().c_str(), dir.file("folder.plist").c_str(), false, false, false),
              kZErr_fileOpenFailed);

    // A list that cannot be written is a failure: no folder, or a cell that is not UTF-8.
    EXPECT_EQ(ZCSV_CsvToPlist(good.c_str(), dir.file("none/out.plist").c_str(), false, false, false),
              kZErr_fileWriteFailed);
    std::string latin = text;
    latin.replace(latin.find("SN-B"), 4, "SN-\xE9");
    nktest::writeFile(dir.file("latin.csv"), latin);
    EXPECT_EQ(ZCSV_CsvToPlist(dir.file("latin.csv").c_str(), nullptr, false, false, false), kZErr_fileWriteFailed);
    EXPECT_FALSE(exists(dir.file("latin.plist")));
}

// A device's colour codes in an error text (or an attribute) must not make the log
// file unconvertible for good: the writer blanks control characters but tab.
TEST(ZelkCsvToPlist, ControlCharactersInCellsStillConvert) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 is not installed";
    TempDir dir;
    VarFolder var(dir.path().string());
    const std::string csv = dir.file("esc.csv");
    iZelk_CsvManager* unitA = unit("SN-A");
    const tZelk_CsvItem plain = attribute("Slot", "1");
    ASSERT_EQ(ZCSV_AddItemAttr(unitA, &plain), kZErr_OK);
    ASSERT_EQ(ZCSV_WriteCsvFile(unitA, csv.c_str(), false), kZErr_OK);
    ZCSV_Delete(&unitA);
    iZelk_CsvManager* unitB = unit("SN-B", 3, "dev said \x1b[31mERR\x1b[0m\x01");
    const tZelk_CsvItem slot = attribute("Slot", "a\tb\x07");
    ASSERT_EQ(ZCSV_AddItemAttr(unitB, &slot), kZErr_OK);
    ASSERT_EQ(ZCSV_WriteCsvFile(unitB, csv.c_str(), false), kZErr_OK);
    ZCSV_Delete(&unitB);

    ASSERT_EQ(ZCSV_CsvToPlist(csv.c_str(), nullptr, false, false, false), kZErr_OK);
    const std::string flat = flatPlist(dir, dir.file("esc.plist"));
    EXPECT_THAT(flat, HasSubstr("keys=0,1\n"));
    EXPECT_THAT(flat, HasSubstr("1/Attributes/Slot=a\tb \n"));
    EXPECT_THAT(flat, HasSubstr("failure_message=err[3]=dev said  [31mERR [0m \n"));
}

TEST(ZelkCsvToPlist, LogsEachConversion) {
    TempDir dir;
    const std::string csv = dir.file("units.csv");
    writeTwoUnits(csv);
    {
        VarFolder var(dir.path().string());
        ASSERT_EQ(ZCSV_CsvToPlist(csv.c_str(), nullptr, false, false, true), kZErr_OK);
        ASSERT_EQ(ZCSV_CsvToPlist(dir.file("missing.csv").c_str(), nullptr, false, false, false), kZErr_fileOpenFailed);
    }
    const std::string log = nktest::readFile(dir.file("csv_to_plist.log"));
    EXPECT_THAT(log, HasSubstr("[csv to plist coversion]\ninput fileName: " + csv + "\n[add attributes:Line]\n"
                               "[add data]\n"));
    EXPECT_THAT(log, HasSubstr("skipping item \"overallResult\" w/ upper: \"\"\n"));
    EXPECT_THAT(log, HasSubstr("data[ 0] errCode, upper: 0, lower: 0, value: 5\n"));
    EXPECT_THAT(log, HasSubstr("data[ 1] vbat, upper: 4.200000, lower: 3.000000, value: 3.700000\n"));
    EXPECT_THAT(log, HasSubstr("\nOK\n[csv to plist coversion]\ninput fileName: " + dir.file("missing.csv") + "\n"));
    EXPECT_THAT(log, HasSubstr("[ERR] [Error,0x001F] fileOpenFailed [ZelkCsvManager.cpp:ZCSV_CsvToPlistFull:"));
    EXPECT_THAT(log, testing::EndsWith("Conversion Failed\n"));

    // A log that cannot be opened leaves the conversion going.
    VarFolder var(dir.file("units.csv"));
    EXPECT_EQ(ZCSV_CsvToPlist(csv.c_str(), dir.file("unlogged.plist").c_str(), false, false, false), kZErr_OK);
    EXPECT_TRUE(exists(dir.file("unlogged.plist")));
}
