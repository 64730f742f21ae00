// The summary CSV: byte layout, second readers, failures and concurrent appends.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nk_csv.h"
#include "nk_file.h"
#include "nk_gtest_util.h"
#include "nk_test.h"
#include "nk_test_util.h"

using nktest::readFile;
using nktest::runPython;
using nktest::TempDir;

namespace {

constexpr double kNone = kNK_noValue;

// Local-time texts of the golden file are UTC.
struct UtcZone {
    std::string old;
    bool had = false;
    UtcZone() {
        if (const char* tz = std::getenv("TZ")) {
            old = tz;
            had = true;
        }
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~UtcZone() {
        if (had) setenv("TZ", old.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
};

void declare(CNK_testData& td) {
    ASSERT_EQ(td.addDataSymbol("T1", "volt", "double", 1.5, 2.5, "V", false), 0);
    ASSERT_EQ(td.addDataSymbol("T1", "count", "int32_t", -3, 7, "", false), 0);
    ASSERT_EQ(td.addDataSymbol("T1", "name", "string", kNone, kNone, "", false), 0);
    ASSERT_EQ(td.addDataSymbol("T2", "slot", "uint8_t", 0, 1, "", true), 0);
    ASSERT_EQ(td.addDataSymbol("T2", "nolim", "float", kNone, std::nan(""), "mm", false), 0);
    ASSERT_EQ(td.addDataSymbol("T2", "big", "uint64_t", 0, 1.8446744073709552e19, "", false), 0);
}

void unit(CNK_testData& td, double volt, double count, const std::string& name, double slot, double nolim,
          double big) {
    td.reset();
    td.recordData("T1", "volt", volt);
    td.recordData("T1", "count", count);
    td.recordData("T1", "name", name);
    td.recordData("T2", "slot", slot);
    if (!std::isnan(nolim)) td.recordData("T2", "nolim", nolim);
    td.recordData("T2", "big", big);
    td.overwrite_for_summary_csv(800000000.0, 12.3456);
}

}  // namespace

TEST(SummaryCsv, GoldenFileAndSecondReaders) {
    UtcZone utc;
    TempDir dir;
    const std::string path = dir.file("summary.csv");
    CNK_testData td;
    declare(td);
    unit(td, 2.0, 5, "ab,c\nd", 1, std::nan(""), 9223372036854777856.0);
    ASSERT_EQ(td.add_to_summary_csv(path, "SN1", "ST-01", "cfg,A", "CG Summary, v1", true, -1, true), 0);
    unit(td, 3.0, 5, "", 0, 0.25, 0);
    td.recordError(0xE016, "volt, OOS");
    td.recordError(5, "second");
    ASSERT_EQ(td.add_to_summary_csv(path, "SN2", "ST-01", "cfg,A", "CG Summary, v1", true, -1, true), 0);
    unit(td, 3.0, 9, "x", 1, std::nan(""), 1);
    ASSERT_EQ(td.add_to_summary_csv(path, "SN3", "ST-01", "cfg,A", "CG Summary, v1", true, -1, true), 0);
    EXPECT_EQ(readFile(path), readFile(std::string(NK_TEST_DATA_DIR) + "/fw_summary_golden.csv"));

    if (nktest::havePython()) {
        const std::string out = runPython(dir,
                                          "import csv, sys\n"
                                          "rows = list(csv.reader(open(sys.argv[1], newline='')))\n"
                                          "assert len(rows) == 8, rows\n"
                                          "assert len({len(r) for r in rows[1:]}) == 1, [len(r) for r in rows]\n"
                                          "assert rows[1][11] == 'T1::volt' and rows[2][11] == '2.500000'\n"
                                          "assert rows[4][11] == 'V' and rows[5][11] == '2.000000'\n"
                                          "print('ok')\n",
                                          path);
        EXPECT_EQ(out, "ok\n");
    }
    CNK_csvParser parser;
    ASSERT_EQ(parser.load(path.c_str(), kVL1), 0);
    EXPECT_EQ(parser.getDataRow(), 3);
    const int volt = parser.findColIdx("T1::volt");
    ASSERT_GE(volt, 0);
    EXPECT_EQ(parser.getStr(1, volt), "3.000000");
}

TEST(SummaryCsv, WithoutFailingItemsAndNanAsEmpty) {
    TempDir dir;
    const std::string path = dir.file("s.csv");
    CNK_testData td;
    declare(td);
    unit(td, 2.0, 5, "n", 1, std::nan(""), 1);
    td.recordData("T1", "count", 50);  // failing, but no column for it
    ASSERT_EQ(td.add_to_summary_csv(path, "SN1", "ST-01", "", "", false, 0, false), 0);
    const std::vector<std::string> lines = nktest::splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 5u);  // no title line
    EXPECT_EQ(lines[0], "SerialNumber,Test Pass/Fail Status,errCode,errStr,TesterID,config,timeStamp,StartTime,"
                        "EndTime,TestTime,T1::volt,T1::count,T1::name,T2::slot,T2::nolim,T2::big");
    EXPECT_EQ(lines[1], "Upper Limit ----->,,,,,,,,,,2.500000,7,,ATTR,nan,18446744073709551615");
    EXPECT_EQ(lines[3], "Measurement Unit ----->,,,,,,,,,sec,V,,,,mm,");
    EXPECT_EQ(lines[4].substr(0, 13), "SN1,FAIL,-1,,");
    EXPECT_EQ(lines[4].substr(lines[4].size() - 19), ",2.000000,50,n,1,,1");

    // maxFailingItems bounds the list.
    td.recordData("T1", "volt", 9.0);
    const std::string p2 = dir.file("s2.csv");
    ASSERT_EQ(td.add_to_summary_csv(p2, "SN2", "ST-01", "", "", true, 1, true), 0);
    EXPECT_NE(readFile(p2).find(",T1::volt;,9.000000,"), std::string::npos);
}

// A quote in tester text would make a standard reader join cells up to the next
// quote, rows and all: it is written as an apostrophe.
TEST(SummaryCsv, QuotesInTesterTextKeepEveryRowWhole) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Python";
    TempDir dir;
    const std::string path = dir.file("quotes.csv");
    CNK_testData td;
    declare(td);
    const char* names[] = {"TSW \"3.2", "plain", "x\"y\"", "last"};
    for (int u = 0; u < 4; ++u) {
        unit(td, 2.0, 5, names[u], 1, 0.5, 1);
        if (u == 2) td.recordError(5, "bad \"x\"");
        ASSERT_EQ(td.add_to_summary_csv(path, "SN" + std::to_string(u), u == 0 ? "ST\"1" : "ST", "", "Day", true, -1,
                                        true),
                  0);
    }
    const std::string out = runPython(dir,
                                      "import csv, sys\n"
                                      "rows = list(csv.reader(open(sys.argv[1], newline='')))\n"
                                      "data = rows[5:]\n"
                                      "print(len(data), {len(r) for r in rows[1:]})\n"
                                      "h = rows[1]\n"
                                      "print([r[h.index('T1::name')] for r in data], data[0][h.index('TesterID')],\n"
                                      "      data[2][h.index('errStr')])\n",
                                      path);
    EXPECT_EQ(out, "4 {17}\n[\"TSW '3.2\", 'plain', \"x'y'\", 'last'] ST'1 bad 'x';\n");
}

TEST(SummaryCsv, RefusalsAndUnopenableFile) {
    TempDir dir;
    CNK_logManager lm;
    CNK_testData td;
    td.setLogManager(&lm);
    testing::internal::CaptureStdout();
    EXPECT_EQ(td.add_to_summary_csv(dir.file("a.csv"), "SN", "T", "", "", true, -1, true), kNKErr_invalidCondition);
    declare(td);
    EXPECT_EQ(td.add_to_summary_csv("", "SN", "T", "", "", true, -1, true), kNKErr_invalidParam);
    EXPECT_EQ(td.add_to_summary_csv(dir.file("a.csv"), "", "T", "", "", true, -1, true), kNKErr_invalidParam);
    EXPECT_EQ(td.add_to_summary_csv(dir.file("a.csv"), "SN", "", "", "", true, -1, true), kNKErr_invalidParam);
    EXPECT_EQ(td.add_to_summary_csv(dir.file("no/such/folder.csv"), "SN", "T", "", "", true, -1, true),
              kNKErr_fileOpenFailed);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\"fp!=NULL\""), std::string::npos) << out;
    EXPECT_FALSE(nkFile_isFileExist(dir.file("a.csv")));
    EXPECT_GT(td._testTime, 0.0);  // the end was marked
}

TEST(SummaryCsv, FailedWriteTakesTheRowBack) {
    TempDir dir;
    const std::string path = dir.file("full.csv");
    CNK_testData td;
    declare(td);
    unit(td, 2.0, 5, "n", 1, 0.5, 1);
    ASSERT_EQ(td.add_to_summary_csv(path, "SN1", "T", "", "", true, -1, true), 0);
    const std::string before = readFile(path);
    testing::internal::CaptureStderr();
    const u16 rc = nktest::withFileSizeLimit(before.size() + 20,
                                             [&] { return td.add_to_summary_csv(path, "SN2", "T", "", "", true, -1, true); });
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, kNKErr_fileWriteFailed);
    EXPECT_EQ(readFile(path), before);
}

TEST(SummaryCsv, ConcurrentAppendsAreWholeRows) {
    TempDir dir;
    const std::string path = dir.file("shared.csv");
    constexpr int kThreads = 16, kRows = 50;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CNK_testData td;  // one per session, as the station has
            td.addDataSymbol("T", "thread", "int32_t", kNone, kNone, "", false);
            td.addDataSymbol("T", "row", "int32_t", kNone, kNone, "", false);
            td.addDataSymbol("T", "pad", "string", kNone, kNone, "", false);
            for (int r = 0; r < kRows; ++r) {
                td.reset();
                td.recordData("T", "thread", t);
                td.recordData("T", "row", r);
                td.recordData("T", "pad", std::string(300 + 37 * t, 'x'));
                if (td.add_to_summary_csv(path, "SN" + std::to_string(t), "ST", "", "Shared", true, -1, true) != 0)
                    failures.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    if (!nktest::havePython()) GTEST_SKIP() << "no Python";
    const std::string out = runPython(dir,
                                      "import csv, sys\n"
                                      "rows = list(csv.reader(open(sys.argv[1], newline='')))\n"
                                      "assert rows[0] == ['Shared', ''], rows[0]\n"
                                      "assert sum(1 for r in rows if r and r[0] == 'SerialNumber') == 1\n"
                                      "data = rows[5:]\n"
                                      "assert len(data) == 800, len(data)\n"
                                      "assert all(len(r) == 14 for r in data)\n"
                                      "seen = {(r[11], r[12]) for r in data}\n"
                                      "assert seen == {(str(t), str(k)) for t in range(16) for k in range(50)}\n"
                                      "assert all(r[13] == 'x' * (300 + 37 * int(r[11])) for r in data)\n"
                                      "print('ok')\n",
                                      path);
    EXPECT_EQ(out, "ok\n");
}
