// ZelkCsv: loading, normalising and classifying station logs and GR&R criteria files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ZelkCsvText.h"
#include "zelk_csv_test_util.h"

using namespace zcsvtest;

namespace {

const double M = kZelk_noValue;

// A station log: a title line, the header, limit and unit rows, then tests. The
// fourth test repeats the first (serial and tester in another letter case).
const char* const kStationLog =
    "CG Test,version=1.2.3,\n"
    "SerialNumber,TesterID,config,timeStamp,errCode,Volt,Note,Count\n"
    "Upper Limit ----->,,,,,2.5,,10\n"
    "Lower Limit ----->,,,,,1.5,,-0.000000\n"
    "Measurement Unit ----->,,,,,V,,pcs\n"
    "SN1,CELL_1,cfgA,100,0,2.0,ok,3\n"
    "SN2,CELL_2,cfgB,101,0,2.1,NA,4\n"
    "SN1,CELL_1,cfgA,102,0,2.2,x,NA\n"
    "sn1,cell_1,cfgA,100,0,9.9,dup,5\n"
    "SN3,CELL_1,cfgB,99,1,nan,,6\n";

// The time stamps of a run of value rows identify the tests above.
std::vector<double> stamps(tCsv_datRow* rows, size_t n, int ts) {
    std::vector<double> out;
    for (size_t i = 0; i < n; ++i) out.push_back(rows[i][ts]);
    return out;
}

TEST(ZelkCsvLoad, StationLogLayoutItemsAndCategories) {
    nktest::TempDir dir;
    AlertCatcher alerts;
    const auto t = loadText(dir, "log.csv", kStationLog);
    ASSERT_TRUE(t->isValid());
    EXPECT_TRUE(alerts.alerts.empty());
    EXPECT_EQ(t->csvType(), 0);
    EXPECT_STREQ(t->theFirstCellString(), "CG Test");
    EXPECT_EQ(std::string(t->filePathName()), dir.file("log.csv"));
    ASSERT_EQ(t->columnItem_count(), 8);
    EXPECT_EQ(t->rows(), 9);
    EXPECT_EQ(t->rowIdx_limit_upper(), 1);
    EXPECT_EQ(t->rowIdx_limit_lower(), 2);
    EXPECT_EQ(t->rowIdx_unit(), 3);
    EXPECT_EQ(t->rowIdx_ers_upper(), -1);
    EXPECT_EQ(t->rowIdx_grrStdev(), -1);
    EXPECT_EQ(t->dataRowStartIdx(), 4);
    EXPECT_EQ(t->dataCnt_total(), 5);
    EXPECT_EQ(t->dataCnt(), 4);  // the repeated test is gone
    EXPECT_EQ(t->colIdx_TesterID(), 1);
    EXPECT_EQ(t->colIdx_config(), 2);
    EXPECT_EQ(t->colIdx_timeStamp(), 3);
    EXPECT_EQ(t->colIdx_errCode(), 4);

    const tCsv_columnItemInfo* it = t->getColumnItem();
    EXPECT_STREQ(it[0].title, "SerialNumber");
    EXPECT_FALSE(it[0].isParametric);
    EXPECT_STREQ(it[0].limit_upper_text, "Upper Limit----->");
    EXPECT_FALSE(it[3].isParametric);  // special columns never are
    EXPECT_EQ(it[3].limit_upper, M);
    EXPECT_TRUE(it[5].isParametric);  // "nan" is a numeric cell without a value
    EXPECT_EQ(it[5].limit_upper, 2.5);
    EXPECT_EQ(it[5].limit_lower, 1.5);
    EXPECT_STREQ(it[5].unit_text, "V");
    EXPECT_FALSE(it[6].isParametric);
    EXPECT_TRUE(it[7].isParametric);
    EXPECT_EQ(it[7].limit_upper, 10);
    EXPECT_EQ(it[7].limit_lower, M);  // "-0.000000": declared without a value
    EXPECT_STREQ(it[7].limit_lower_text, "-0.000000");
    EXPECT_STREQ(it[7].ers_upper_text, "");
    EXPECT_EQ(it[7].grr_limit, M);

    // Time order 99 (SN3), 100 (SN1), 101 (SN2), 102 (SN1); SN1's last test is 102.
    const int ts = 3;
    ASSERT_EQ(t->config_count(), 3);
    const tCsv_categoryDataInfo* cfg = t->getConfigInfo();
    EXPECT_STREQ(cfg[0].name, "ALL");
    EXPECT_EQ(stamps(cfg[0].datArr, cfg[0].data_count, ts), (std::vector<double>{99, 101, 100, 102}));
    EXPECT_EQ(stamps(cfg[0].datArr_final, cfg[0].data_count_final, ts), (std::vector<double>{99, 101, 102}));
    EXPECT_STREQ(cfg[1].name, "cfgB");
    EXPECT_EQ(stamps(cfg[1].datArr, cfg[1].data_count, ts), (std::vector<double>{99, 101}));
    EXPECT_EQ(stamps(cfg[1].datArr_final, cfg[1].data_count_final, ts), (std::vector<double>{99, 101}));
    EXPECT_STREQ(cfg[2].name, "cfgA");
    EXPECT_EQ(stamps(cfg[2].datArr, cfg[2].data_count, ts), (std::vector<double>{100, 102}));
    EXPECT_EQ(stamps(cfg[2].datArr_final, cfg[2].data_count_final, ts), (std::vector<double>{102}));
    EXPECT_EQ(serials(cfg[2].strArr, cfg[2].data_count), (std::vector<std::string>{"SN1", "SN1"}));

    ASSERT_EQ(t->tester_count(), 3);
    const tCsv_categoryDataInfo* tst = t->getTesterInfo();
    EXPECT_STREQ(tst[1].name, "CELL_1");
    EXPECT_EQ(stamps(tst[1].datArr, tst[1].data_count, ts), (std::vector<double>{99, 100, 102}));
    EXPECT_EQ(stamps(tst[1].datArr_final, tst[1].data_count_final, ts), (std::vector<double>{99, 102}));
    EXPECT_STREQ(tst[2].name, "CELL_2");
    EXPECT_EQ(stamps(tst[2].datArr_final, tst[2].data_count_final, ts), (std::vector<double>{101}));
    // "ALL" shares the grouped arrays: rows by tester, each in time order.
    EXPECT_EQ(stamps(tst[0].datArr, tst[0].data_count, ts), (std::vector<double>{99, 100, 102, 101}));
}

TEST(ZelkCsvLoad, TransposedAndGrrCriteriaFiles) {
    nktest::TempDir dir;
    const auto t = loadText(dir, "t.csv",
                            "junk line,\n"
                            ",,SerialNumber,Upper Limit ----->,Lower Limit ----->,SN1,SN2\n"
                            ",,Volt,2.5,1.5,2.0,2.25\n"
                            ",,Name,,,a,b\n");
    ASSERT_TRUE(t->isValid());
    ASSERT_EQ(t->columnItem_count(), 3);
    EXPECT_EQ(t->rows(), 5);
    EXPECT_EQ(t->dataCnt(), 2);
    const tCsv_columnItemInfo* it = t->getColumnItem();
    EXPECT_STREQ(it[1].title, "Volt");
    EXPECT_TRUE(it[1].isParametric);
    EXPECT_EQ(it[1].limit_upper, 2.5);
    EXPECT_FALSE(it[2].isParametric);
    EXPECT_EQ(t->dataDat()[1][1], 2.25);
    EXPECT_STREQ(t->dataStr()[1][2], "b");

    const auto g = loadText(dir, "grr.csv",
                            "GrrConfig,ItemA,ItemB\n"
                            "GRR Stdev----->,0.1,0.2\n"
                            "GRR Limit----->,5,10\n"
                            "Upper Limit----->,3,4\n");
    ASSERT_TRUE(g->isValid());
    EXPECT_EQ(g->csvType(), 1);
    EXPECT_EQ(g->rowIdx_limit_upper(), 1);  // markers take their fixed order
    EXPECT_EQ(g->rowIdx_grrStdev(), 2);
    EXPECT_EQ(g->rowIdx_grrLimit(), 3);
    EXPECT_EQ(g->dataCnt(), 0);
    EXPECT_EQ(g->getColumnItem()[2].grr_limit, 10);
    EXPECT_EQ(g->getColumnItem()[1].grr_stdev, 0.1);
    EXPECT_STREQ(g->getColumnItem()[1].grr_stdev_text, "0.1");
    EXPECT_FALSE(g->getColumnItem()[1].isParametric);  // no data row holds a value
}

TEST(ZelkCsvLoad, MarkerRowAfterDataAndShortTitleLine) {
    nktest::TempDir dir;
    const auto t = loadText(dir, "m.csv",
                            "SerialNumber,A\n"
                            "SN1,1,x\n"
                            "SN2,2,y\n"
                            "Upper Limit----->,9,,\n");
    ASSERT_TRUE(t->isValid());
    EXPECT_EQ(t->rowIdx_limit_upper(), 1);
    // The data row that stood at row 1 takes the marker's old place.
    EXPECT_EQ(serials(t->dataStr(), static_cast<size_t>(t->dataCnt())), (std::vector<std::string>{"SN2", "SN1"}));
    // The title line is shorter: its missing title reads as the empty text.
    ASSERT_EQ(t->columnItem_count(), 3);
    EXPECT_STREQ(t->getColumnItem()[2].title, "");
    EXPECT_EQ(t->getColumnItem()[1].limit_upper, 9);
}

TEST(ZelkCsvLoad, FailedLoadsAreEmptyAndAlertOnce) {
    nktest::TempDir dir;
    std::filesystem::create_directory(dir.file("folder.csv"));
    nktest::writeFile(dir.file("empty.csv"), "");
    nktest::writeFile(dir.file("nul.csv"), std::string("SerialNumber,A\nUpper Limit----->,1\nS\0N,2\n", 41));
    nktest::writeFile(dir.file("short.csv"), "SerialNumber,A,B\nUpper Limit----->,1,2\nSN1,3\n");
    nktest::writeFile(dir.file("noanchor.csv"), "Serial,A\nUpper Limit----->,1\n");
    nktest::writeFile(dir.file("noarrow.csv"), "SerialNumber,A\nSN1,1\n");
    const std::string longPath = dir.file(std::string(2100, 'x'));
    struct Case {
        const char* path;
        int code;
    };
    const std::string paths[] = {dir.file("missing.csv"), dir.file("folder.csv"), dir.file("empty.csv"),
                                 dir.file("nul.csv"),     dir.file("short.csv"),  dir.file("noanchor.csv"),
                                 dir.file("noarrow.csv"), longPath};
    const Case cases[] = {{nullptr, 17},           {paths[0].c_str(), 29}, {paths[1].c_str(), 31},
                          {paths[2].c_str(), 87},  {paths[3].c_str(), 87}, {paths[4].c_str(), 87},
                          {paths[5].c_str(), 87},  {paths[6].c_str(), 87}, {paths[7].c_str(), 17}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        AlertCatcher alerts;
        ZelkCsv t;
        EXPECT_EQ(t.load_csvFile(c.path, true), c.code);
        EXPECT_FALSE(t.isValid());
        EXPECT_EQ(t.columnItem_count(), -1);
        EXPECT_EQ(t.config_count(), -1);
        EXPECT_EQ(t.tester_count(), -1);
        EXPECT_EQ(t.getColumnItem(), nullptr);
        EXPECT_EQ(t.getConfigInfo(), nullptr);
        EXPECT_EQ(t.getTesterInfo(), nullptr);
        EXPECT_EQ(t.theFirstCellString(), nullptr);
        ASSERT_EQ(alerts.alerts.size(), 1u);
        EXPECT_EQ(alerts.alerts[0].title, "Invalid CSV File");
        EXPECT_EQ(alerts.alerts[0].button, "OK");
        EXPECT_EQ(alerts.alerts[0].message,
                  std::string("the csv file content is invalid\nPlease check and try again\n") + (c.path ? c.path : ""));
    }
    // A good load after a failed one, in the same object.
    AlertCatcher alerts;
    ZelkCsv t;
    EXPECT_EQ(t.load_csvFile(paths[4].c_str(), false), 87);
    nktest::writeFile(dir.file("good.csv"), "SerialNumber,A\nUpper Limit----->,1\nSN1,2\n");
    EXPECT_EQ(t.load_csvFile(dir.file("good.csv").c_str(), false), 0);
    EXPECT_EQ(t.columnItem_count(), 2);
    EXPECT_EQ(alerts.alerts.size(), 1u);
}

// Each step of the text's normalisation, and each repair of a step that used to
// work on text instead of cells, as a row: input, normalised text, fix count.
TEST(ZelkCsvLoad, NormalisationRowByRow) {
    struct Case {
        const char* in;
        const char* out;
        uint64_t fixes;
    };
    const Case cases[] = {
        {"a,b", "a,b\n", 0},
        {"a,b\r\nc,d\r\n", "a,b\nc,d\n", 4},
        {"a\n\n\nb\n", "a\nb\n", 2},
        {"SN,a,b\nS1,nan,NaN\n", "SN,a,b\nS1,NA,NA\n", 2},
        {"SN,a,b\nS1,N/A,INF\n", "SN,a,b\nS1,NA,NA\n", 2},
        {"nan,1\n", "nan,1\n", 0},  // the first cell is never a value
        // Mended: cells that only begin with the words keep their text.
        {"SN,a,b,c\nS1,Info,Nanjing,n/a2\n", "SN,a,b,c\nS1,Info,Nanjing,n/a2\n", 0},
        {"SN,a\nHUBR Priority ----->,1\nS2,1\n", "SN,a\nS2,1\n", 256},
        {"SN,a\nhubr priority ----->,nan\nS2,1\n", "SN,a\nS2,1\n", 257},
        {"Measurement Unit ----->,mm\n", "Unit----->,mm\n", 1},
        {"Upper Limit ----->,1\nLower Limit ----->,0\n", "Upper Limit----->,1\nLower Limit----->,0\n", 2},
        {"SN,a\nCOF test,1\nS2,1\n", "SN,a\nS2,1\n", 1},
        {"SN,a\nDisplay Name ----->,x\nS2,1\n", "SN,a\nS2,1\n", 1},
        // Mended: a marker inside a later cell removes nothing and joins nothing.
        {"SN,a\nS1,COF x\nS2,1\n", "SN,a\nS1,COF x\nS2,1\n", 0},
        {"SN,a,b\nS1,x,HUBR Priority ----->\nS2,1,2\n", "SN,a,b\nS1,x,HUBR Priority ----->\nS2,1,2\n", 0},
        // Mended: a marker line with empty leading cells goes whole.
        {"SN,a,b\n,,COF x\nS2,1,2\n", "SN,a,b\nS2,1,2\n", 1},
        {"SN,a,b\n,HUBR Priority ----->,1\nS2,1,2\n", "SN,a,b\nS2,1,2\n", 256},
        {"a,b,\nc,,\n", "a,b\nc,\n", 0},
        {"a,inf\nCOF x,inf,nan\n", "a,NA\n", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        std::string buf(c.in);
        const size_t len = buf.size();
        buf.resize(len + 2);
        uint64_t fixes = 0;
        const size_t n = zcsv::normaliseText(buf.data(), len, fixes);
        EXPECT_EQ(std::string(buf.data(), n), c.out);
        EXPECT_EQ(fixes, c.fixes);
    }
}

TEST(ZelkCsvLoad, CellValuesAndNumericTexts) {
    struct Case {
        const char* text;
        bool numeric;
        double value;
    };
    const Case cases[] = {
        {"12.5", true, 12.5},   {"-3", true, -3},      {"1.2.3", false, M}, {"--1", false, M},
        {"+1", false, M},       {"1e5", false, M},     {"na", true, M},     {"", false, M},
        {"5-", true, 5},        {"1-2", true, 1},      {"-", true, M},      {".", true, M},
        {" 7", false, M},       {".5", true, 0.5},     {"-0", true, -0.0},  {"0.1", true, 0.1},
        {"123456789012345678901234", true, 123456789012345678901234.0},
        {"0.000000000000000000000000123", true, 1.23e-25},
        {"49.123456", true, 49.123456},  {"-800000007.000000", true, -800000007.0},
        {"9007199254740993", true, 9007199254740993.0},  {"1234567890123456789", true, 1234567890123456789.0},
        {"0.0000000000000000001", true, 1e-19},  {"12a", false, M},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(zcsv::cellIsNumeric(c.text), c.numeric);
        const double v = zcsv::cellValue(c.text);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(std::signbit(v), std::signbit(c.value));
        // Cut from a line as the table is, ended by a comma or by the line end.
        for (const char* end : {",", "\n"}) {
            std::string line = std::string(c.text) + end + "7\n";
            double cut = 0;
            bool lineEnd = !std::strcmp(end, ",");
            const char* stop = zcsv::cutCell(line.data(), cut, lineEnd);
            EXPECT_EQ(stop, line.data() + std::strlen(c.text));
            EXPECT_EQ(*stop, '\0');
            EXPECT_EQ(lineEnd, *end == '\n');
            EXPECT_EQ(cut, c.value);
            EXPECT_EQ(std::signbit(cut), std::signbit(c.value));
        }
    }
    // Generated cells around the fast reading's edges: 0 to 24 digits, leading zeros,
    // a sign, a dot anywhere (or twice), long fractions, values beside 2^53. Each must
    // read as the C library reads a numeric text, bit for bit, cut or not.
    std::mt19937_64 rng(30);
    const char* const kEdges[] = {"9007199254740992", "9007199254740993", "18446744073709551615",
                                  "18446744073709551616", "9999999999999999999", "10000000000000000000"};
    size_t mismatches = 0;
    for (int i = 0; i < 200000 && mismatches < 5; ++i) {
        std::string t = rng() % 3 == 0 ? "-" : "";
        if (rng() % 8 == 0) {
            t += kEdges[rng() % 6];
        } else {
            const size_t digits = rng() % 25, zeros = rng() % 4 == 0 ? rng() % 6 : 0;
            t.append(zeros, '0');
            for (size_t d = 0; d < digits; ++d) t += static_cast<char>('0' + rng() % 10);
        }
        for (int dots = rng() % 4 == 0 ? 2 : 1; dots > 0; --dots)
            if (rng() % 5) t.insert(t.begin() + static_cast<long>(rng() % (t.size() + 1)), '.');
        double want = M;
        if (zcsv::cellIsNumeric(t.c_str()) && !(t.size() == 2 && strcasecmp(t.c_str(), "na") == 0)) {
            char* end = nullptr;
            const double v = std::strtod(t.c_str(), &end);
            if (end != t.c_str()) want = v;
        }
        std::string line = t + (i % 2 ? "," : "\n") + "7\n";
        double cut = 0;
        bool lineEnd = false;
        zcsv::cutCell(line.data(), cut, lineEnd);
        const double read = zcsv::cellValue(t.c_str());
        if (std::memcmp(&read, &want, sizeof want) != 0 || std::memcmp(&cut, &want, sizeof want) != 0) {
            ADD_FAILURE() << "\"" << t << "\" reads " << read << " (cut " << cut << "), not " << want;
            ++mismatches;
        }
    }
}

// A large file is read in parts side by side: every byte in its place, a NUL
// byte seen in whichever part it is, and a file shorter than asked a failure.
TEST(ZelkCsvLoad, FileReadInPartsWhole) {
    nktest::TempDir dir;
    std::string text(3 * 1024 * 1024 + 12345, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
    const size_t none = std::string::npos;
    for (size_t nulAt : {none, size_t(0), text.size() / 2, text.size() - 1}) {
        SCOPED_TRACE(nulAt);
        std::string t = text;
        if (nulAt != none) t[nulAt] = '\0';
        const std::string path = dir.file("parts.bin");
        nktest::writeFile(path, t);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string got(t.size() + 16, '-');
        bool hasNul = false;
        EXPECT_TRUE(zcsv::readWhole(fd, got.data(), t.size(), hasNul, 1 << 20));
        EXPECT_EQ(got.substr(0, t.size()), t);
        EXPECT_EQ(hasNul, nulAt != none);
        EXPECT_FALSE(zcsv::readWhole(fd, got.data(), t.size() + 16, hasNul, 1 << 20));
        ::close(fd);
    }
}

TEST(ZelkCsvLoad, RepeatedTestsAndTimeStamps) {
    nktest::TempDir dir;
    // Three tests of one serial with one stamp and tester leave one; another
    // tester or stamp is another test; a stamp without a value is never a repeat.
    const auto t = loadText(dir, "d.csv",
                            "SerialNumber,TesterID,timeStamp,V\n"
                            "Upper Limit----->,,,1\n"
                            "A,T1,5,1\n"
                            "a,t1,5,2\n"
                            "A,T1,5,3\n"
                            "A,T2,5,4\n"
                            "A,T1,6,5\n"
                            "B,T1,2026-05-09 06:13:20,6\n"
                            "B,T1,2026-05-09 06:13:20,7\n"
                            "B,T1,N/A,8\n");
    ASSERT_TRUE(t->isValid());
    ASSERT_EQ(t->dataCnt(), 6);
    std::vector<double> v;
    for (long i = 0; i < t->dataCnt(); ++i) v.push_back(t->dataDat()[i][3]);
    EXPECT_EQ(v, (std::vector<double>{1, 4, 5, 6, 7, 8}));
    // Rows without a stamp keep their file order, before the stamped ones; then
    // grouped by tester (T1 first in time order).
    const tCsv_categoryDataInfo& all = t->getTesterInfo()[0];
    std::vector<double> order;
    for (size_t i = 0; i < all.data_count; ++i) order.push_back(all.datArr[i][3]);
    EXPECT_EQ(order, (std::vector<double>{6, 7, 8, 1, 5, 4}));
    // Final view: the last test of each exact serial.
    std::vector<double> fin;
    for (size_t i = 0; i < all.data_count_final; ++i) fin.push_back(all.datArr_final[i][3]);
    EXPECT_EQ(fin, (std::vector<double>{8, 5}));
}

TEST(ZelkCsvLoad, CategoryNamedAllAndMissingCells) {
    nktest::TempDir dir;
    const auto t = loadText(dir, "c.csv",
                            "SerialNumber,config,V\n"
                            "Upper Limit----->,,1\n"
                            "S1,ALL,1\n"
                            "S2,x,2\n"
                            "S3\n"
                            "S4,ALL,4\n");
    // "S3" is shorter than the lines above it: refused.
    EXPECT_FALSE(t->isValid());
    const auto u = loadText(dir, "c2.csv",
                            "SerialNumber\n"
                            "Upper Limit----->\n"
                            "S1,ALL,1\n"
                            "S2,x,2\n"
                            "S4,ALL,4\n");
    ASSERT_TRUE(u->isValid());
    ASSERT_EQ(u->config_count(), 1);  // no column is titled config: titles past the first are empty
    const auto w = loadText(dir, "c3.csv",
                            "SerialNumber,config\n"
                            "Upper Limit----->,,\n"
                            "S1,ALL,1\n"
                            "S2,,2\n"
                            "S4,ALL,4\n");
    ASSERT_TRUE(w->isValid());
    ASSERT_EQ(w->config_count(), 3);
    const tCsv_categoryDataInfo* cfg = w->getConfigInfo();
    EXPECT_STREQ(cfg[1].name, "ALL");  // a category of its own beside category 0
    EXPECT_EQ(cfg[1].data_count, 2u);
    EXPECT_STREQ(cfg[2].name, "");
    EXPECT_EQ(cfg[2].data_count, 1u);
    EXPECT_EQ(cfg[0].data_count, 3u);
}

TEST(ZelkCsvLoad, CorrectedCopyBesideTheInput) {
    nktest::TempDir dir;
    std::string text = "SerialNumber,V\r\nUpper Limit ----->,1\r\n";
    for (int i = 0; i < 130; ++i) text += "S" + std::to_string(i) + "," + std::to_string(i) + "\r\n";
    // Without the flag no copy; with it the normalised text, whole.
    loadText(dir, "run.v1.csv", text, false);
    EXPECT_FALSE(std::filesystem::exists(dir.file("run.v1_processed.csv")));
    const auto t = loadText(dir, "run.v1.csv", text, true);
    ASSERT_TRUE(t->isValid());
    std::string lf = text;
    for (size_t p; (p = lf.find('\r')) != std::string::npos;) lf.erase(p, 1);
    lf.replace(lf.find("Upper Limit -"), 18, "Upper Limit----->");
    EXPECT_EQ(nktest::readFile(dir.file("run.v1_processed.csv")), lf);
    // Fewer fixes: no copy.
    const auto small = loadText(dir, "small.csv", "SerialNumber,V\r\nUpper Limit----->,1\r\nS,1\r\n", true);
    ASSERT_TRUE(small->isValid());
    EXPECT_FALSE(std::filesystem::exists(dir.file("small_processed.csv")));
}

// The summary CSV of the station library and a statistics file as the station's
// post item writes it.
TEST(ZelkCsvLoad, StationWrittenFilesLoadWithTheirLimits) {
    const auto g = ZelkCsv::initWithCsvFile_filePathName(NK_TEST_DATA_DIR "/fw_summary_golden.csv", false);
    ASSERT_TRUE(g->isValid());
    const ZelkCsv& t = *g;
    const tCsv_columnItemInfo* it = t.getColumnItem();
    EXPECT_EQ(it[col(t, "T1::volt")].limit_upper, 2.5);
    EXPECT_EQ(it[col(t, "T1::volt")].limit_lower, 1.5);
    EXPECT_STREQ(it[col(t, "T1::volt")].unit_text, "V");
    EXPECT_EQ(it[col(t, "T1::count")].limit_lower, -3);
    EXPECT_EQ(it[col(t, "T2::nolim")].limit_upper, M);  // "nan"
    EXPECT_EQ(it[col(t, "T2::nolim")].limit_lower, M);  // "-0.000000"
    EXPECT_TRUE(it[col(t, "T2::nolim")].isParametric);
    EXPECT_EQ(it[col(t, "T2::big")].limit_lower, 0);  // a limit of 0 stays one
    EXPECT_EQ(it[col(t, "T2::big")].limit_upper, 18446744073709551615.0);
    EXPECT_EQ(it[col(t, "T2::slot")].limit_upper, M);  // "ATTR"
    EXPECT_FALSE(it[col(t, "T1::name")].isParametric);
    EXPECT_FALSE(it[col(t, "Test Pass/Fail Status")].isParametric);
    EXPECT_EQ(t.dataCnt(), 3);
    ASSERT_EQ(t.config_count(), 2);
    EXPECT_STREQ(t.getConfigInfo()[1].name, "cfg;A");
    ASSERT_EQ(t.tester_count(), 2);
    EXPECT_STREQ(t.getTesterInfo()[1].name, "ST-01");

    nktest::TempDir dir;
    const auto s = loadText(dir, "CGCal_black_1.0.csv",
                            "CG Test,version=1.0,\n"
                            "SerialNumber,Test Pass/Fail Status,errCode,errStr,TesterID,config,timeStamp,StartTime,"
                            "EndTime,TestTime,Failing Items,ATST::T450,ATST::T550\n"
                            "Upper Limit ----->,,,,,,,,,,,92.000000,nan\n"
                            "Lower Limit ----->,,,,,,,,,,,-0.000000,0.000000\n"
                            "Measurement Unit ----->,,,,,,,,,,,%,%\n"
                            "C1,PASS,0,,CELL_3,,810000000.000000,2026-09-01 10:00:00,2026-09-01 10:00:09,9.1,,91.2,88.0\n"
                            "C2,FAIL,592,OOS,CELL_4,,810000010.000000,2026-09-01 10:00:10,2026-09-01 10:00:19,9.0,"
                            "ATST::T450;,93.5,nan\n"
                            "C1,PASS,0,,CELL_3,,810000020.000000,2026-09-01 10:00:20,2026-09-01 10:00:29,9.2,,91.0,87.5\n");
    ASSERT_TRUE(s->isValid());
    const ZelkCsv& u = *s;
    EXPECT_EQ(u.getColumnItem()[col(u, "ATST::T450")].limit_upper, 92.0);
    EXPECT_EQ(u.getColumnItem()[col(u, "ATST::T450")].limit_lower, M);
    EXPECT_EQ(u.getColumnItem()[col(u, "ATST::T550")].limit_upper, M);
    EXPECT_EQ(u.getColumnItem()[col(u, "ATST::T550")].limit_lower, 0.0);
    EXPECT_TRUE(u.getColumnItem()[col(u, "ATST::T550")].isParametric);
    ASSERT_EQ(u.config_count(), 2);  // one category named by the empty config
    EXPECT_STREQ(u.getConfigInfo()[1].name, "");
    ASSERT_EQ(u.tester_count(), 3);
    EXPECT_STREQ(u.getTesterInfo()[1].name, "CELL_3");
    EXPECT_EQ(u.getTesterInfo()[1].data_count, 2u);
    EXPECT_EQ(u.getTesterInfo()[1].data_count_final, 1u);
    EXPECT_EQ(u.getTesterInfo()[1].datArr_final[0][col(u, "ATST::T450")], 91.0);
}

}  // namespace
