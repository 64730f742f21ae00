#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <filesystem>
#include <future>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "nk_csv.h"
#include "nk_data_item_util.h"
#include "nk_gtest_util.h"
#include "nk_test_util.h"
#include "plist/pf_plist.h"

using nktest::dataItem;
using nktest::readFile;
using nktest::runPython;
using nktest::splitLines;
using nktest::TempDir;
using nktest::writeFile;

namespace {

// Writer with two attributes and three data items, as a station registers them.
struct Station {
    t_nkDataItem attrs[2] = {dataItem("Fixture", k_nkDataType_string, kNK_noValue, kNK_noValue, kNK_noValue),
                             dataItem("Slot", kNKDT_u8, kNK_noValue, kNK_noValue, 3)};
    t_nkDataItem data[3] = {dataItem("Gain", kNKDT_double, 1, 4, 2.5), dataItem("Trim", kNKDT_i8, -100, 100, 300),
                            dataItem("Skew", kNKDT_i16, kNK_noValue, 5, -1.9)};
    CNK_csvWriter w;
    Station() {
        std::snprintf(attrs[0].text, sizeof(attrs[0].text), "F1, rev\nB");
        for (auto& a : attrs) EXPECT_EQ(w.addAttr(&a), 0);
        for (auto& d : data) EXPECT_EQ(w.addData(&d), 0);
    }
    u16 write(const std::string& path, const char* sn, u16 err, const char* errString = "") {
        return w.write(path.c_str(), "CG Station", "1.4", sn, err, errString, "2026-01-02 03:04:05",
                       "2026-01-02 03:04:09", 789.5, 4.25);
    }
};

}  // namespace

TEST(CsvWriter, WritesHeaderOnceAndRowsReadBackByBothReaders) {
    TempDir dir;
    Station st;
    ASSERT_EQ(st.write(dir.file("log"), "SN1", 0), 0);  // ".csv" appended
    st.data[0].value = kNK_noValue;
    st.data[1].value = std::nan("");
    st.data[2].value = INFINITY;
    ASSERT_EQ(st.write(dir.file("log"), "SN2", 0xE016, "out, of\r\nspec"), 0);
    const std::string path = dir.file("log.csv");

    const std::vector<std::string> lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "CG Station,Version:1.4,");
    EXPECT_EQ(lines[1], "SerialNumber,overallResult,errCode,errString,startTime,stopTime,timeStamp,testTime,"
                        "Fixture,Slot,Gain,Trim,Skew,");
    EXPECT_EQ(lines[2], "Upper Limit----->,,0,,,,,,ATTRB,ATTRB,4.000000,100,5,");
    EXPECT_EQ(lines[3], "Lower Limit----->,,0,,,,,,ATTRB,ATTRB,1.000000,-100,NA,");
    EXPECT_EQ(lines[4].substr(0, 4), "SN1,");
    const std::string row1 = "SN1,PASS,0,,2026-01-02 03:04:05,2026-01-02 03:04:09,789.500,4.250,F1; rev B,3,2.500000,44,-1,";
    EXPECT_EQ(lines[4], row1);

    // Rows of the second write only; its cells never break the table.
    ASSERT_EQ(st.write(dir.file("LOG.CSV.bak"), "SN3", 0), 0);  // ".CSV" anywhere: name unchanged
    EXPECT_TRUE(std::filesystem::exists(dir.file("LOG.CSV.bak")));

    CNK_csv t;
    ASSERT_EQ(t.load(path), 0);
    ASSERT_EQ(t.getStrRows().size(), 2u);
    EXPECT_EQ(t.getStrRows()[1][3], "out; of  spec");
    EXPECT_EQ(t.getStrRows()[1][2], "57366");
    EXPECT_EQ(t.getColInfo()[10].upperLimit, 4.0);
    EXPECT_TRUE(t.getColInfo()[10].isParametric);

    if (nktest::havePython()) {
        const std::string out = runPython(dir,
                                          "import csv,sys\n"
                                          "r=list(csv.reader(open(sys.argv[1],newline='')))\n"
                                          "print(len(r),len(set(map(len,r[1:]))));print('|'.join(r[5]))\n",
                                          path);
        EXPECT_EQ(out, "6 1\nSN2|FAIL|57366|out; of  spec|2026-01-02 03:04:05|2026-01-02 03:04:09|789.500|4.250|"
                       "F1; rev B|3|NA|NA|NA|\n");
    }
}

TEST(CsvWriter, ValueCellPerType) {
    struct Case {
        t_nkDataType type;
        double value;
        const char* cell;
    } cases[] = {
        {kNKDT_u8, -1, "255"},
        {kNKDT_u16, 70000, "4464"},
        {kNKDT_u32, -1, "4294967295"},
        {kNKDT_i32, 3e9, "-1294967296"},
        {kNKDT_u64, 18446744073709549568.0, "18446744073709549568"},
        {kNKDT_i64, -9e18, "-9000000000000000000"},
        {kNKDT_float, 16777217, "16777216.000000"},  // single precision
        {kNKDT_double, 16777217.25, "16777217.250000"},
    };
    TempDir dir;
    std::vector<t_nkDataItem> items;
    for (const Case& c : cases) items.push_back(dataItem("v", c.type, kNK_noValue, kNK_noValue, c.value));
    CNK_csvWriter w;
    for (const auto& it : items) ASSERT_EQ(w.addData(&it), 0);
    const std::string path = dir.file("types.csv");
    ASSERT_EQ(w.write(path.c_str(), "T", "1", "SN", 0, "", "a", "b", 0, 0), 0);
    const std::vector<std::string> lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 5u);
    std::vector<std::string> cells;
    for (size_t p = 0, n = 0; p < lines[4].size(); ++n) {
        const size_t comma = lines[4].find(',', p);
        if (n >= 8) cells.push_back(lines[4].substr(p, comma - p));
        p = comma + 1;
    }
    ASSERT_EQ(cells.size(), std::size(cases));
    for (size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(cells[i], cases[i].cell) << i;
}

TEST(CsvWriter, RegistrationLimits) {
    CNK_csvWriter w;
    testing::internal::CaptureStderr();
    struct Case {
        u32 max;
        u16 code;
        u32 stored;
    } cases[] = {{100, 0, 2048}, {4095, 0, 4095}, {4096, kNKErr_invalidParam, 4095}, {0, kNKErr_invalidParam, 4095}};
    for (const Case& c : cases) {
        EXPECT_EQ(w.setEntryCntMax(c.max), c.code) << c.max;
        EXPECT_EQ(w.getEntryCntMax(), c.stored) << c.max;
    }
    w.reset();
    EXPECT_EQ(w.getEntryCntMax(), 2048u);
    t_nkDataItem it = dataItem("x", kNKDT_double, 0, 1, 0);
    for (int i = 0; i < 2048; ++i) ASSERT_EQ(w.addData(&it), 0);
    EXPECT_EQ(w.addData(&it), kNKErr_invalidCondition);
    // The array keeps the size it was made with.
    EXPECT_EQ(w.setEntryCntMax(4000), 0);
    EXPECT_EQ(w.addData(&it), kNKErr_invalidCondition);
    EXPECT_EQ(w.addAttr(nullptr), kNKErr_invalidPointer);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"_dataCnt<_entryCntMax\""), std::string::npos);
    EXPECT_NE(err.find("\"entryCntMax<4096\""), std::string::npos);
}

TEST(CsvWriter, RefusesBadArgumentsAndKeepsTheFileOnFailure) {
    TempDir dir;
    Station st;
    const std::string p = dir.file("t.csv");
    struct Case {
        const char *path, *title, *version, *sn, *start, *stop;
        u16 code;
    } cases[] = {
        {"", "T", "V", "S", "a", "b", kNKErr_invalidPointer}, {p.c_str(), nullptr, "V", "S", "a", "b", kNKErr_invalidPointer},
        {p.c_str(), "T", "", "S", "a", "b", kNKErr_invalidPointer}, {p.c_str(), "T", "V", "", "a", "b", kNKErr_invalidCondition},
        {p.c_str(), "T", "V", "S", nullptr, "b", kNKErr_invalidCondition}, {p.c_str(), "T", "V", "S", "a", "", kNKErr_invalidCondition},
        {"/nonexistent-dir/t.csv", "T", "V", "S", "a", "b", kNKErr_fileOpenFailed},
    };
    testing::internal::CaptureStderr();
    for (const Case& c : cases)
        EXPECT_EQ(st.w.write(c.path, c.title, c.version, c.sn, 0, nullptr, c.start, c.stop, 0, 0), c.code);
    EXPECT_FALSE(std::filesystem::exists(p));

    // A row that cannot be written whole is taken back; a new file is not left behind.
    ASSERT_EQ(st.write(p, "SN1", 0), 0);
    const std::string before = readFile(p);
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = before.size() - 10;  // below the old file: appending fails at once
    setrlimit(RLIMIT_FSIZE, &small);
    const u16 rowFailed = st.write(p, "SN2", 0);
    const u16 headerFailed = st.write(dir.file("fresh.csv"), "SN2", 0);
    setrlimit(RLIMIT_FSIZE, &old);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rowFailed, kNKErr_fileWriteFailed);
    EXPECT_EQ(headerFailed, kNKErr_fileWriteFailed);
    EXPECT_EQ(readFile(p), before);
    EXPECT_FALSE(std::filesystem::exists(dir.file("fresh.csv")));
}

TEST(CsvWriter, ConcurrentWritersNeverInterleave) {
    TempDir dir;
    const std::string path = dir.file("shared.csv");
    constexpr int kThreads = 6, kRows = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Station st;  // a writer per thread, one file
            for (int r = 0; r < kRows; ++r) {
                const std::string sn = "T" + std::to_string(t) + "R" + std::to_string(r);
                EXPECT_EQ(st.write(path, sn.c_str(), 0), 0);
            }
        });
    }
    for (auto& th : threads) th.join();
    const std::vector<std::string> lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 4u + kThreads * kRows);
    int headers = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("CG Station,", 0) == 0) ++headers;
        if (i >= 4) {
            EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 13) << lines[i];
        }
    }
    EXPECT_EQ(headers, 1);
}

namespace {

// Writes a row through another writer from inside the log relay, as a station
// window that logs to the summary CSV would.
struct RowFromRelay : INK_logRelay {
    Station other;
    std::string path;
    u16 got = 0xFFFF;
    void onLogRelay(const char*) override {
        if (got == 0xFFFF) got = other.write(path, "SN-relay", 0);
    }
};

}  // namespace

TEST(CsvWriter, FailureIsReportedAfterTheFileLockIsLetGo) {
    TempDir dir;
    CNK_logManager lm;
    lm.setVerboseLevel(kVL1);
    RowFromRelay relay;
    relay.path = dir.file("summary.csv");
    lm.setLogRelay(&relay);
    Station st;
    ASSERT_EQ(st.w.setLogManager(&lm), 0);

    testing::internal::CaptureStdout();
    auto failed = std::async(std::launch::async, [&] { return st.write("/nonexistent-dir/t.csv", "SN1", 0); });
    if (failed.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::fprintf(stderr, "write deadlocked: its report ran under the file lock\n");
        std::_Exit(1);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failed.get(), kNKErr_fileOpenFailed);
    EXPECT_EQ(relay.got, 0);
    EXPECT_EQ(splitLines(readFile(relay.path)).size(), 5u);
}

// ================================================================ CSV to property list

namespace {

// Three units: one passing, one with Gain 5 above its limit 4 and an error, and
// one whose Gain was never measured.
std::string writeUnits(const TempDir& dir) {
    Station st;
    const std::string path = dir.file("units.csv");
    EXPECT_EQ(st.write(path, "SN1", 0), 0);
    st.data[0].value = 5;
    EXPECT_EQ(st.write(path, "SN2", 7, "gain high"), 0);
    st.data[0].value = kNK_noValue;
    EXPECT_EQ(st.write(path, "SN3", 0), 0);
    return path;
}

}  // namespace

TEST(CsvToPlist, RecordsLoadInPlistlib) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    TempDir dir;
    const std::string csv = writeUnits(dir);
    ASSERT_EQ(nkUtil_csvToPlist(csv.c_str(), nullptr, false, false, false), 0);
    const std::string out = runPython(dir,
                                      "import plistlib,sys\n"
                                      "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                                      "print(sorted(d))\n"
                                      "u=d['1'];print(sorted(u['Attributes'].items()))\n"
                                      "print(u['OverallResult'],u['StartTime'],u['StopTime'])\n"
                                      "for t in u['Tests']: print(t['testname'],t['upperlimit'],t['lowerlimit'],"
                                      "t['value'],t['priority'],t['result'],t['failure_message'])\n"
                                      "print([t['testname'] for t in d['2']['Tests']])\n",
                                      dir.file("units.plist"));
    EXPECT_EQ(out,
              "['0', '1', '2']\n"
              "[('Fixture', 'F1; rev B'), ('Slot', '3'), ('serialnumber', 'SN2'), ('softwarename', 'CG Station'), "
              "('softwareversion', '1.4')]\n"
              "FAIL 2026-01-02 03:04:05 2026-01-02 03:04:09\n"
              "timeStamp NA NA 789.500 0 PASS Failed timeStamp\n"
              "testTime NA NA 4.250 0 PASS Failed testTime\n"
              "errCode 0 0 7 0 FAIL err[7]=gain high\n"
              "Gain 4.000000 1.000000 5.000000 0 FAIL Failed Gain\n"
              "Trim 100 -100 44 0 PASS Failed Trim\n"
              "Skew 5 NA -1 0 PASS Failed Skew\n"
              "['timeStamp', 'testTime', 'errCode', 'Trim', 'Skew']\n");
}

TEST(CsvToPlist, ConfigColumnsAndBareErrorCodes) {
    TempDir dir;
    const std::string csv = dir.file("c.csv"), out = dir.file("c.plist");
    writeFile(csv,
              "St,Version: 2.0 ,\n"
              "SerialNumber,overallResult,errCode,errString,startTime,stopTime,CONFIG,V,\n"
              "Upper Limit----->,,0,,,,9,9,\n"
              "Lower Limit----->,,0,,,,1,1,\n"
              "SN1,FAIL,12,,a,b,50,x,\n");
    ASSERT_EQ(nkUtil_csvToPlist(csv.c_str(), out.c_str(), false, false, false), 0);
    pf::plist::Value v;
    std::string err;
    ASSERT_TRUE(pf::plist::readFile(out, v, &err)) << err;
    const pf::plist::Value& unit = *v.find("0");
    EXPECT_EQ(unit.find("Attributes")->find("softwareversion")->str(), "2.0 ");
    std::string tests;
    for (const auto& t : unit.find("Tests")->items())
        tests += t.find("testname")->str() + "=" + t.find("result")->str() + ":" + t.find("failure_message")->str() + " ";
    // CONFIG is passed over whatever it holds; V is not a number; no errString keeps the plain message.
    EXPECT_EQ(tests, "timeStamp=PASS:Failed timeStamp testTime=PASS:Failed testTime errCode=FAIL:Failed errCode ");
}

TEST(CsvToPlist, OptionsAndFailures) {
    TempDir dir;
    const std::string csv = writeUnits(dir);
    const std::string out = dir.file("o.plist");
    auto load = [&](pf::plist::Value& v) {
        std::string err;
        ASSERT_TRUE(pf::plist::readFile(out, v, &err)) << err;
    };
    auto testNames = [](const pf::plist::Value& unit) {
        std::string names;
        for (const auto& t : unit.find("Tests")->items()) names += t.find("testname")->str() + " ";
        return names;
    };

    ASSERT_EQ(nkUtil_csvToPlist(csv.c_str(), out.c_str(), true, true, false), 0);
    pf::plist::Value v;
    load(v);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(testNames(*v.find("1")), "timeStamp testTime errCode ");  // stops at the failing errCode
    EXPECT_EQ(testNames(*v.find("2")), "timeStamp testTime errCode ");  // unmeasured Gain stops it too
    EXPECT_EQ(v.find("0")->find("Attributes")->find("serialnumber"), nullptr);  // simple
    EXPECT_EQ(v.find("0")->find("Attributes")->find("Slot")->str(), "3");

    ASSERT_EQ(nkUtil_csvToPlist(csv.c_str(), out.c_str(), false, false, true), 0);
    load(v);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v.find("0")->find("Attributes")->find("serialnumber")->str(), "SN3");

    testing::internal::CaptureStderr();
    // The head lines without any unit: nothing is written.
    writeFile(dir.file("head.csv"), readFile(csv).substr(0, readFile(csv).find("SN1,")));
    EXPECT_EQ(nkUtil_csvToPlist(dir.file("head.csv").c_str(), nullptr, false, false, false), kNKErr_dataCheckError);
    EXPECT_FALSE(std::filesystem::exists(dir.file("head.plist")));
    EXPECT_EQ(nkUtil_csvToPlist(nullptr, nullptr, false, false, false), kNKErr_invalidParam);
    EXPECT_EQ(nkUtil_csvToPlist(dir.file("none.csv").c_str(), nullptr, false, false, false), kNKErr_fileOpenFailed);
    // A unit line still being written is a format error, and the property list of
    // the last complete conversion stays as it was.
    writeFile(dir.file("open.csv"), readFile(csv) + "SN4,PASS");
    EXPECT_EQ(nkUtil_csvToPlist(dir.file("open.csv").c_str(), out.c_str(), false, false, false), kNKErr_invalidFormat);
    load(v);
    EXPECT_EQ(v.size(), 1u);
    EXPECT_EQ(nkUtil_csvToPlist(csv.c_str(), dir.file("no/such/dir.plist").c_str(), false, false, false),
              kNKErr_fileWriteFailed);
    testing::internal::GetCapturedStderr();

    // The default name replaces the extension of the file's own name only.
    std::filesystem::create_directories(dir.file("v1.2"));
    std::filesystem::copy_file(csv, dir.file("v1.2/run"));
    ASSERT_EQ(nkUtil_csvToPlist(dir.file("v1.2/run").c_str(), "", false, false, false), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("v1.2/run.plist")));
}
