// Opening several dropped logs and merging them into one file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "zelk_csv_test_util.h"

using namespace zcsvtest;

namespace {

int merge(const std::vector<std::string>& in, bool common, const std::string& out) {
    std::vector<const char*> p;
    for (const auto& s : in) p.push_back(s.c_str());
    return ZelkCsv::mergeCsv_fileCount(static_cast<int>(p.size()), p.data(), common, out.c_str());
}

// Python's csv reader: the number of cells of each line of a file.
std::string pythonCellCounts(const std::string& path) {
    int status = -1;
    std::string reply = nktest::runCommand(
        std::string(NK_PYTHON) + " " + NK_TEST_DATA_DIR + "/zelk_csv_oracle.py cells " + path, &status);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
    return status == 0 ? reply : "python failed";
}

TEST(ZelkCsvMerge, SameColumnsMarkersFromTheFirstRowsInOrder) {
    nktest::TempDir dir;
    nktest::writeFile(dir.file("a.csv"),
                      "CG Test,version=1,\n"
                      "SerialNumber,A,B\n"
                      "Upper Limit ----->,1,2\n"
                      "Lower Limit ----->,0,0\n"
                      "Measurement Unit ----->,V,mm\n"
                      "GRR Stdev----->,1,1\n"
                      "S1,1,2\n"
                      "S2,3,4\n");
    nktest::writeFile(dir.file("b.csv"),
                      "SerialNumber,A,B\n"
                      "Upper Limit----->,9,9\n"
                      "Upper ERS----->,7,7\n"
                      "S3,5,6\n");
    AlertCatcher alerts;
    ASSERT_EQ(merge({dir.file("a.csv"), dir.file("b.csv")}, false, dir.file("m.csv")), 0);
    EXPECT_EQ(nktest::readFile(dir.file("m.csv")),
              "SerialNumber,A,B\n"
              "Upper Limit----->,1,2\n"
              "Lower Limit----->,0,0\n"
              "Upper ERS----->,7,7\n"
              "Unit----->,V,mm\n"
              "S1,1,2\n"
              "S2,3,4\n"
              "S3,5,6\n");
    EXPECT_TRUE(alerts.alerts.empty());
    const auto back = ZelkCsv::initWithCsvFile_filePathName(dir.file("m.csv").c_str(), false);
    ASSERT_TRUE(back->isValid());
    EXPECT_EQ(back->dataCnt(), 3);
    EXPECT_EQ(back->getColumnItem()[1].limit_upper, 1);
    if (nktest::havePython()) {
        EXPECT_EQ(pythonCellCounts(dir.file("m.csv")), "3 3 3 3 3 3 3 3");
    }
}

TEST(ZelkCsvMerge, UnionInsertsNewTitlesWhereTheOrderParts) {
    nktest::TempDir dir;
    nktest::writeFile(dir.file("a.csv"), "SerialNumber,A,B\nUpper Limit----->,1,2\nS1,1,2\n");
    // A later file naming a column twice contributes the first of them.
    nktest::writeFile(dir.file("b.csv"), "SerialNumber,A,X,B,A\nUpper Limit----->,1,8,2,1\nS2,5,7,6,99\n");
    ASSERT_EQ(merge({dir.file("a.csv"), dir.file("b.csv")}, false, dir.file("m.csv")), 0);
    EXPECT_EQ(nktest::readFile(dir.file("m.csv")),
              "SerialNumber,A,X,B\n"
              "Upper Limit----->,1,8,2\n"
              "S1,1,NA,2\n"
              "S2,5,7,6\n");
    if (nktest::havePython()) {
        EXPECT_EQ(pythonCellCounts(dir.file("m.csv")), "4 4 4 4");
    }
}

TEST(ZelkCsvMerge, CommonColumnsAlignedOrNot) {
    nktest::TempDir dir;
    nktest::writeFile(dir.file("a.csv"), "SerialNumber,A,B,C\nUpper Limit----->,1,2,3\nS1,1,2,3\n");
    nktest::writeFile(dir.file("b.csv"), "SerialNumber,A,Y,C\nUpper Limit----->,1,2,3\nS2,4,5,6\n");
    ASSERT_EQ(merge({dir.file("a.csv"), dir.file("b.csv")}, true, dir.file("m.csv")), 0);
    EXPECT_EQ(nktest::readFile(dir.file("m.csv")), "SerialNumber,A,C\nUpper Limit----->,1,3\nS1,1,3\nS2,4,6\n");
    // Columns in another order and one more: the titles all share, in the first file's order.
    nktest::writeFile(dir.file("c.csv"), "SerialNumber,C,Z,A\nUpper Limit----->,3,0,1\nS3,9,8,7\n");
    ASSERT_EQ(merge({dir.file("a.csv"), dir.file("b.csv"), dir.file("c.csv")}, true, dir.file("m.csv")), 0);
    EXPECT_EQ(nktest::readFile(dir.file("m.csv")),
              "SerialNumber,A,C\nUpper Limit----->,1,3\nS1,1,3\nS2,4,6\nS3,7,9\n");
}

TEST(ZelkCsvMerge, RefusalsAndFailures) {
    nktest::TempDir dir;
    const std::string good = "SerialNumber,A\nUpper Limit----->,1\nS1,1\n";
    nktest::writeFile(dir.file("a.csv"), good);
    nktest::writeFile(dir.file("b.csv"), good);
    nktest::writeFile(dir.file("bad.csv"), "no table here\n");
    std::filesystem::create_directory(dir.file("out.csv"));
    AlertCatcher alerts;
    EXPECT_EQ(merge({dir.file("a.csv")}, false, dir.file("m.csv")), 17);
    EXPECT_EQ(merge(std::vector<std::string>(129, dir.file("a.csv")), false, dir.file("m.csv")), 17);
    const std::string a = dir.file("a.csv");
    const char* nullEntry[] = {a.c_str(), nullptr};
    EXPECT_EQ(ZelkCsv::mergeCsv_fileCount(2, nullEntry, false, dir.file("m.csv").c_str()), 17);
    EXPECT_EQ(ZelkCsv::mergeCsv_fileCount(2, nullEntry, false, nullptr), 17);
    EXPECT_EQ(merge({dir.file("a.csv"), dir.file("gone.csv")}, false, dir.file("m.csv")), 29);
    EXPECT_TRUE(alerts.alerts.empty());
    // An input that fails to load raises its own alert and adds nothing.
    ASSERT_EQ(merge({dir.file("bad.csv"), dir.file("a.csv")}, false, dir.file("m.csv")), 0);
    EXPECT_EQ(nktest::readFile(dir.file("m.csv")), "SerialNumber,A\nUpper Limit----->,1\nS1,1\n");
    EXPECT_EQ(alerts.alerts.size(), 1u);
    // None loads: 87 and no file; a folder or a missing folder in the output's place: 31.
    EXPECT_EQ(merge({dir.file("bad.csv"), dir.file("bad.csv")}, false, dir.file("none.csv")), 87);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.csv")));
    EXPECT_EQ(merge({dir.file("a.csv"), dir.file("b.csv")}, false, dir.file("out.csv")), 31);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("out.csv")));
    EXPECT_EQ(merge({dir.file("a.csv"), dir.file("b.csv")}, false, dir.file("nowhere/m.csv")), 31);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 5);  // nothing left behind
}

TEST(ZelkCsvOpen, DroppedFilesCheckedMergedAndLoaded) {
    nktest::TempDir dir;
    std::filesystem::create_directory(dir.file("other"));
    const std::string good = "SerialNumber,A,B\nUpper Limit----->,1,2\nS1,1,2\n";
    for (const char* n : {"a.csv", "b.CSV", "c.txt", "other/d.csv", "_csv_file_merged_.csv"})
        nktest::writeFile(dir.file(n), good);
    struct Case {
        std::vector<std::string> names;
        const char* title;
        std::string message;
    };
    const Case refused[] = {
        {{"a.csv", "_csv_file_merged_.csv"}, "Invalid CSV File",
         "the input file is merged file\nfile name: " + dir.file("_csv_file_merged_.csv")},
        {{"a.csv", "c.txt"}, "CSV File Drop Error", "the input contains non-csv file\nfile name: " + dir.file("c.txt")},
        {{"a.csv", "other/d.csv"}, "CSV File Drop Error",
         "csv files from multiple path\n" + dir.path().string() + "\n" + dir.file("other")},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.message);
        AlertCatcher alerts;
        std::vector<std::string> full;
        std::vector<const char*> p;
        for (const auto& n : c.names) full.push_back(dir.file(n));
        for (const auto& f : full) p.push_back(f.c_str());
        EXPECT_EQ(ZelkCsv::openCsvFile(p.data(), p.size()), nullptr);
        ASSERT_EQ(alerts.alerts.size(), 1u);
        EXPECT_EQ(alerts.alerts[0].title, c.title);
        EXPECT_EQ(alerts.alerts[0].message, c.message);
    }
    // One path is loaded as it is, whatever its name.
    const std::string txt = dir.file("c.txt");
    const char* one[] = {txt.c_str()};
    const auto single = ZelkCsv::openCsvFile(one, 1);
    ASSERT_NE(single, nullptr);
    EXPECT_TRUE(single->isValid());
    // Two good ones: merged beside them (in common-columns mode) and loaded.
    const std::string a = dir.file("a.csv"), b = dir.file("b.CSV");
    const char* two[] = {a.c_str(), b.c_str()};
    const auto merged = ZelkCsv::openCsvFile(two, 2);
    ASSERT_NE(merged, nullptr);
    ASSERT_TRUE(merged->isValid());
    EXPECT_EQ(merged->dataCnt(), 2);
    EXPECT_EQ(std::string(merged->filePathName()), dir.file("_CSV_FILE_MERGED_.csv"));
    EXPECT_EQ(ZelkCsv::openCsvFile(nullptr, 2), nullptr);
}

}  // namespace
