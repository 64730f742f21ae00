// ZelkCsv cell values against pandas, in every layout and line-end style and
// under a decimal-comma locale.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "nk_locale_util.h"
#include "zelk_csv_test_util.h"

using namespace zcsvtest;

namespace {

// A station log of numbers in many spellings: short and long decimals, integers
// past 2^53 and past 19 digits, tiny fractions, "NA" and empty cells.
std::vector<std::vector<std::string>> makeGrid(unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::vector<std::string>> g;
    std::vector<std::string> head = {"SerialNumber"};
    std::vector<std::string> upper = {"Upper Limit----->"};
    const int cols = 12;
    for (int c = 0; c < cols; ++c) {
        head.push_back("Item" + std::to_string(c));
        upper.push_back(std::to_string(100 + c));
    }
    g.push_back(head);
    g.push_back(upper);
    std::uniform_int_distribution<int> digits(0, 20), scale(-8, 24), pick(0, 29);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int r = 0; r < 150; ++r) {
        std::vector<std::string> row = {"SN" + std::to_string(r)};
        for (int c = 0; c < cols; ++c) {
            const int p = pick(rng);
            if (p == 0) {
                row.push_back("NA");
            } else if (p == 1) {
                row.push_back("");
            } else {
                const double v = (unit(rng) - 0.3) * std::pow(10.0, scale(rng));
                char cell[128];
                std::snprintf(cell, sizeof cell, "%.*f", digits(rng), v);
                row.push_back(cell);
            }
        }
        g.push_back(row);
    }
    return g;
}

std::string text(const std::vector<std::vector<std::string>>& g, bool transposed, const char* eol) {
    std::string t = "CG Test,version=1,\n";
    const size_t rows = transposed ? g[0].size() : g.size(), cols = transposed ? g.size() : g[0].size();
    for (size_t r = 0; r < rows; ++r) {
        for (size_t c = 0; c < cols; ++c) t += (c ? "," : "") + (transposed ? g[c][r] : g[r][c]);
        t += eol;
    }
    return t;
}

std::vector<std::vector<double>> pandasValues(const std::string& path) {
    int status = -1;
    const std::string reply = nktest::runCommand(
        std::string(NK_PYTHON) + " " + NK_TEST_DATA_DIR + "/zelk_csv_oracle.py values " + path, &status);
    std::vector<std::vector<double>> rows;
    if (status != 0) return rows;
    for (const auto& line : nktest::splitLines(reply)) {
        std::istringstream in(line);
        std::vector<double> v;
        std::string tok;
        while (in >> tok) v.push_back(std::strtod(tok.c_str(), nullptr));
        rows.push_back(v);
    }
    return rows;
}

// Every data cell of the table (read through its own layout) against pandas.
void expectValues(const ZelkCsv& t, const std::vector<std::vector<double>>& ref, const char* what) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(t.isValid());
    ASSERT_EQ(static_cast<size_t>(t.dataCnt()), ref.size());
    size_t mismatches = 0;
    for (size_t r = 0; r < ref.size(); ++r) {
        for (size_t c = 0; c < ref[r].size(); ++c) {
            const double ours = t.dataDat()[r][c + 1];
            const double theirs = ref[r][c];
            const bool same = std::isnan(theirs) ? ours == kZelk_noValue : ours == theirs;
            if (!same && mismatches++ < 5)
                ADD_FAILURE() << "row " << r << " col " << c + 1 << " '" << t.dataStr()[r][c + 1] << "' " << ours
                              << " vs " << theirs;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(ZelkCsvValues, EveryLayoutReadsWhatPandasReads) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with pandas is not installed";
    nktest::TempDir dir;
    const auto grid = makeGrid(31);
    nktest::writeFile(dir.file("normal.csv"), text(grid, false, "\n"));
    const auto ref = pandasValues(dir.file("normal.csv"));
    ASSERT_EQ(ref.size(), grid.size() - 2);

    const auto normal = ZelkCsv::initWithCsvFile_filePathName(dir.file("normal.csv").c_str(), false);
    expectValues(*normal, ref, "normal");
    const auto crlf = loadText(dir, "crlf.csv", text(grid, false, "\r\n"));
    expectValues(*crlf, ref, "CRLF");
    const auto transposed = loadText(dir, "transposed.csv", text(grid, true, "\n"));
    expectValues(*transposed, ref, "transposed");
    // CR LF loads exactly like LF: the same texts in every cell.
    ASSERT_EQ(crlf->rows(), normal->rows());
    for (int r = 0; r < normal->rows(); ++r)
        for (int c = 0; c < normal->cols(); ++c)
            ASSERT_STREQ(crlf->sArray()[r][c], normal->sArray()[r][c]) << r << "," << c;
    {
        nktest::GermanNumbers german;
        if (!german.active()) GTEST_SKIP() << "no de_DE locale could be made";
        const auto de = ZelkCsv::initWithCsvFile_filePathName(dir.file("normal.csv").c_str(), false);
        expectValues(*de, ref, "decimal-comma locale");
    }
}

}  // namespace

namespace {

// A log large enough that its table is cut, and its categories formed, by
// several threads: the same rows and groups as one thread gives.
TEST(ZelkCsvValues, LargeLogLoadsWholeOnSeveralThreads) {
    nktest::TempDir dir;
    std::string text = "SerialNumber,TesterID,config,timeStamp,V\nUpper Limit ----->,,,,1\n";
    const int n = 25000;
    for (int i = 0; i < n; ++i)
        text += "S" + std::to_string(i / 2) + ",T" + std::to_string(i % 3) + ",C" + std::to_string(i % 5) + "," +
                std::to_string(1000 + i) + "," + std::to_string(i) + "\n";
    const auto t = loadText(dir, "large.csv", text);
    ASSERT_TRUE(t->isValid());
    ASSERT_EQ(t->dataCnt(), n);
    for (long i = 0; i < n; ++i) ASSERT_EQ(t->dataDat()[i][4], static_cast<double>(i));
    ASSERT_EQ(t->config_count(), 6);
    ASSERT_EQ(t->tester_count(), 4);
    EXPECT_EQ(t->getConfigInfo()[0].data_count_final, static_cast<size_t>(n / 2));
    for (int k = 1; k < 6; ++k) {
        const tCsv_categoryDataInfo& c = t->getConfigInfo()[k];
        EXPECT_EQ(c.name, "C" + std::to_string(k - 1));
        ASSERT_EQ(c.data_count, static_cast<size_t>(n / 5));
        for (size_t i = 0; i < c.data_count; ++i) ASSERT_EQ(c.datArr[i][4], static_cast<double>(5 * i + (k - 1)));
    }
    size_t finals = 0;
    for (int k = 1; k < 4; ++k) finals += t->getTesterInfo()[k].data_count_final;
    EXPECT_EQ(finals, static_cast<size_t>(n / 2));
}

}  // namespace
