// Reference-data loaders of the transmittance analysis and the light-source
// database conversion, with files written here and read back by Python.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "nk_test_util.h"
#include "nk_velora_utils.h"

namespace {

using nktest::TempDir;
using nktest::writeFile;

using Table = std::vector<std::vector<double>>;
using TableF = std::vector<std::vector<float>>;

// rows x cols values r + c / 1000 as CSV text with the given line end; the
// last line without one unless `finalEnd`.
std::string csv(int rows, int cols, const std::string& eol, bool finalEnd = false) {
    std::ostringstream s;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) s << (c ? "," : "") << r + c / 1000.0;
        if (r + 1 < rows || finalEnd) s << eol;
    }
    return s.str();
}

TEST(VeloraRefData, SensorResponsesReadAlikeFromCrLfAndCrLf) {
    TempDir dir;
    Table first;
    for (const char* eol : {"\r", "\n", "\r\n"}) {
        for (bool finalEnd : {false, true}) {
            const std::string path = dir.file("resp.csv");
            writeFile(path, csv(351, 6, eol, finalEnd));
            Table t = {{42}};
            ASSERT_EQ(0, nkFom_cg_loadTfromCsv(nullptr, path, t));
            ASSERT_EQ(6u, t.size());
            for (const auto& ch : t) ASSERT_EQ(351u, ch.size());
            EXPECT_DOUBLE_EQ(350.005, t[5][350]);
            EXPECT_DOUBLE_EQ(17.002, t[2][17]);
            if (first.empty()) first = t;
            EXPECT_EQ(first, t) << "line end " << (eol[0] == '\r' ? (eol[1] ? "CR LF" : "CR") : "LF");
        }
    }
    // Blank lines anywhere are passed over.
    writeFile(dir.file("blank.csv"), "\n" + csv(351, 6, "\n", true) + "\n \n");
    Table t;
    ASSERT_EQ(0, nkFom_cg_loadTfromCsv(nullptr, dir.file("blank.csv"), t));
    EXPECT_EQ(first, t);
}

TEST(VeloraRefData, WhiteFactorsKeepColumns40To400OfA401ColumnFile) {
    TempDir dir;
    std::vector<double> out;
    writeFile(dir.file("w401.csv"), csv(2, 401, "\r\n", true));
    ASSERT_EQ(0, nkFom_cg_loadWhiteCGCorrectionFactorfromCsv(nullptr, dir.file("w401.csv"), out));
    ASSERT_EQ(361u * 2, out.size());
    EXPECT_DOUBLE_EQ(0.040, out[0]);  // column 40, row 0
    EXPECT_DOUBLE_EQ(1.040, out[1]);  // column 40, row 1
    EXPECT_DOUBLE_EQ(1.400, out.back());

    writeFile(dir.file("w400.csv"), csv(1, 400, "\n"));
    ASSERT_EQ(0, nkFom_cg_loadWhiteCGCorrectionFactorfromCsv(nullptr, dir.file("w400.csv"), out));
    ASSERT_EQ(400u, out.size());
    EXPECT_DOUBLE_EQ(0.0, out[0]);
    EXPECT_DOUBLE_EQ(0.399, out[399]);
}

TEST(VeloraRefData, ExtensionsAreComparedByteForByte) {
    TempDir dir;
    writeFile(dir.file("resp.CSV"), csv(3, 3, "\n"));
    Table t = {{1}};
    std::vector<double> w = {1};
    TableF db = {{1}};
    EXPECT_EQ(0, nkFom_cg_loadTfromCsv(nullptr, dir.file("resp.CSV"), t));
    EXPECT_EQ(0, nkFom_cg_loadWhiteCGCorrectionFactorfromCsv(nullptr, dir.file("resp.CSV"), w));
    EXPECT_EQ(0, nkFom_cg_loadUserDatabase(nullptr, dir.file("resp.CSV"), db));
    EXPECT_TRUE(t.empty());
    EXPECT_TRUE(w.empty());
    EXPECT_TRUE(db.empty());
}

TEST(VeloraRefData, MalformedFilesAreRefusedWhole) {
    TempDir dir;
    const std::string path = dir.file("bad.csv");
    struct Case { const char* why; std::string text; } cases[] = {
        {"short row", "1,2,3\n4,5\n6,7,8\n"},
        {"long row", "1,2,3\n4,5,6,7\n"},
        {"text cell", "1,2,3\n4,x,6\n"},
        {"empty cell", "1,2,3\n4,,6\n"},
        {"trailing comma", "1,2,3\n4,5,6,\n"},
        {"mixed line ends", "1,2\r3,4\n5,6\r"},
    };
    for (const Case& c : cases) {
        writeFile(path, c.text);
        Table t = {{1}};
        std::vector<double> w = {1};
        TableF f = {{1}};
        std::vector<float> a = {1};
        EXPECT_EQ(4, nkFom_cg_loadTfromCsv(nullptr, path, t)) << c.why;
        EXPECT_TRUE(t.empty()) << c.why;
        EXPECT_EQ(4, nkFom_cg_loadWhiteCGCorrectionFactorfromCsv(nullptr, path, w)) << c.why;
        EXPECT_TRUE(w.empty()) << c.why;
        EXPECT_EQ(4, nkFom_cg_loadTp3Trans(nullptr, path, f)) << c.why;
        EXPECT_TRUE(f.empty()) << c.why;
        EXPECT_EQ(4, nkFom_cg_loadWeightMap(nullptr, path, f)) << c.why;
        EXPECT_EQ(4, nkFom_cg_loadAfactor(nullptr, path, a)) << c.why;
        EXPECT_TRUE(a.empty()) << c.why;
    }
}

TEST(VeloraRefData, FloatTablesAndFlatListsAndOpenFailures) {
    TempDir dir;
    writeFile(dir.file("tp3.csv"), "1.5,2.5\r\n3.5,4.5\r\n");
    TableF f;
    ASSERT_EQ(0, nkFom_cg_loadTp3Trans1(nullptr, dir.file("tp3.csv"), f));
    EXPECT_EQ((TableF{{1.5f, 2.5f}, {3.5f, 4.5f}}), f);
    ASSERT_EQ(0, nkFom_cg_loadWeightMap(nullptr, dir.file("tp3.csv"), f));
    EXPECT_EQ(2u, f.size());
    std::vector<float> a;
    ASSERT_EQ(0, nkFom_cg_loadAfactor(nullptr, dir.file("tp3.csv"), a));
    EXPECT_EQ((std::vector<float>{1.5f, 2.5f, 3.5f, 4.5f}), a);

    const std::string missing = dir.file("missing.csv");
    EXPECT_EQ(0, nkFom_cg_loadTp3Trans(nullptr, missing, f));
    EXPECT_TRUE(f.empty());
    f = {{1}};
    EXPECT_EQ(0xE043, nkFom_cg_loadWeightMap(nullptr, missing, f));
    EXPECT_TRUE(f.empty());
    EXPECT_EQ(0xE043, nkFom_cg_loadAfactor(nullptr, missing, a));
    EXPECT_TRUE(a.empty());
}

TEST(VeloraRefData, KbLinesTakeSlopeAndInterceptAndSkipLinesWithoutComma) {
    TempDir dir;
    writeFile(dir.file("kb.csv"), "400nm,0.5,1.25\nnote\n402nm, -2 ,3e-2 \n");
    std::vector<t_nkMathLineFit> kb;
    ASSERT_EQ(0, nkFom_cg_loadKbResult(nullptr, dir.file("kb.csv"), kb));
    ASSERT_EQ(2u, kb.size());
    EXPECT_FLOAT_EQ(0.5f, kb[0].slope);
    EXPECT_FLOAT_EQ(1.25f, kb[0].intercept);
    EXPECT_TRUE(std::isnan(kb[0].rSquared));
    EXPECT_FLOAT_EQ(-2.0f, kb[1].slope);
    EXPECT_FLOAT_EQ(0.03f, kb[1].intercept);

    for (const char* bad : {"400nm,0.5\n", "400nm,0.5,1\n402nm,x,1\n", "a,1,2\nb,1,2,3\n"}) {
        writeFile(dir.file("kb.csv"), bad);
        EXPECT_EQ(4, nkFom_cg_loadKbResult(nullptr, dir.file("kb.csv"), kb)) << bad;
        EXPECT_TRUE(kb.empty()) << bad;
    }
}

constexpr const char* kAfactorHeader =
    "Machine,a0,a1,Vendor,LightSourceSN,SpectrometerSN[0],SpectrometerSN[1],CalibrationDate\r";

TEST(VeloraRefData, CalibrationFactorsFillTheirMachinesOnly) {
    TempDir dir;
    const std::string path = dir.file("CG_a_factors.csv");
    writeFile(path, std::string(kAfactorHeader) + "0,1.1,1.2,V,LS0,SA0,SB0,2026-01-02\r" +
                        "3,2.1,2.2,V,LS3,SA3,SB3,2026-01-02\r" + "5,3.1,3.2,V,LS5,SA5,SB5,2026-01-02\r");
    TableF table;
    int tester = -1;
    std::string ls, s0, s1;
    ASSERT_EQ(0, nkFom_cg_loadAfactors(nullptr, path, table, tester, ls, s0, s1, 8));
    ASSERT_EQ(8u, table.size());
    for (int m : {1, 2, 4, 6, 7}) EXPECT_EQ((std::vector<float>{1.0f, 1.0f}), table[m]) << m;
    EXPECT_EQ((std::vector<float>{1.1f, 1.2f}), table[0]);
    EXPECT_EQ((std::vector<float>{2.1f, 2.2f}), table[3]);
    EXPECT_EQ((std::vector<float>{3.1f, 3.2f}), table[5]);
    EXPECT_EQ(5, tester);
    EXPECT_EQ("LS5", ls);
    EXPECT_EQ("SA5", s0);
    EXPECT_EQ("SB5", s1);
}

TEST(VeloraRefData, CalibrationFactorsRefuseMachinesOutsideTheTable) {
    TempDir dir;
    const std::string path = dir.file("CG_a_factors.csv");
    for (const char* bad : {"-1,9,9,V,L,A,B,D\r", "8,9,9,V,L,A,B,D\r", "x,9,9,V,L,A,B,D\r", "2,9,9,V,L,A\r"}) {
        writeFile(path, std::string(kAfactorHeader) + "1,2.5,3.5,V,L1,A1,B1,D\r" + bad + "2,7,7,V,L2,A2,B2,D\r");
        TableF table;
        int tester = -1;
        std::string ls, s0, s1;
        EXPECT_EQ(4, nkFom_cg_loadAfactors(nullptr, path, table, tester, ls, s0, s1, 8)) << bad;
        ASSERT_EQ(8u, table.size());
        EXPECT_EQ((std::vector<float>{2.5f, 3.5f}), table[1]) << bad;  // the line before stays applied
        EXPECT_EQ((std::vector<float>{1.0f, 1.0f}), table[2]) << bad;  // the line after is not read
        for (int m : {0, 3, 4, 5, 6, 7}) EXPECT_EQ((std::vector<float>{1.0f, 1.0f}), table[m]) << bad;
        EXPECT_EQ(1, tester);
    }
    TableF table;
    int tester = -1;
    std::string ls, s0, s1;
    EXPECT_EQ(0xE043, nkFom_cg_loadAfactors(nullptr, dir.file("none.csv"), table, tester, ls, s0, s1, 3));
    EXPECT_EQ(3u, table.size());
}

// ------------------------------------------------------------------ light-source database

std::string pythonStruct(const std::string& path) {
    int status = -1;
    const std::string out = nktest::runCommand(
        std::string(NK_PYTHON) +
            " -c \"import struct, sys; d = open(sys.argv[1], 'rb').read(); r, c = struct.unpack_from('<HI', d, 0); "
            "v = struct.unpack_from('<%df' % (r * c), d, 6); print(r, c, len(d), ' '.join('%g' % x for x in v))\" " +
            path,
        &status);
    return status == 0 ? out : "failed";
}

TEST(VeloraUserDatabase, CsvToBinaryRoundTripReadByPythonStruct) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    TempDir dir;
    writeFile(dir.file("db.csv"), "lampA,1.5,2.5,3.5\r\nlampB,-1,0.25,1e3\r\nlampC,7,8,9\r\n");
    TableF csvRows;
    ASSERT_EQ(0, nkFom_cg_loadUserDatabase(nullptr, dir.file("db.csv"), csvRows));
    EXPECT_EQ((TableF{{1.5f, 2.5f, 3.5f}, {-1.0f, 0.25f, 1000.0f}, {7, 8, 9}}), csvRows);

    ASSERT_EQ(0, nkFom_cg_userDatabaseCsv2Bin(nullptr, dir.file("db.csv"), dir.file("db.bin")));
    EXPECT_EQ("3 3 42 1.5 2.5 3.5 -1 0.25 1000 7 8 9\n", pythonStruct(dir.file("db.bin")));
    TableF binRows;
    ASSERT_EQ(0, nkFom_cg_loadUserDatabase(nullptr, dir.file("db.bin"), binRows));
    EXPECT_EQ(csvRows, binRows);
}

TEST(VeloraUserDatabase, BinaryFilesThatDoNotHoldWhatTheyPromiseAreRefused) {
    TempDir dir;
    auto bin = [&](u16 rows, u32 cols, size_t valueBytes) {
        std::string d(6 + valueBytes, '\0');
        std::memcpy(d.data(), &rows, 2);
        std::memcpy(d.data() + 2, &cols, 4);
        writeFile(dir.file("db.bin"), d);
    };
    struct Case { const char* why; u16 rows; u32 cols; size_t bytes; } cases[] = {
        {"more values promised", 2, 3, 20},
        {"fewer values promised", 1, 1, 8},
        {"a 32-bit product would wrap to the file size", 1, 0x40000000u, 0},
        {"a 32-bit product would wrap, rows too", 4, 0x10000000u, 0},
    };
    // No rows: a huge column count stands for nothing and allocates nothing.
    bin(0, 0xF8F80000u, 0);
    TableF none = {{1}};
    EXPECT_EQ(0, nkFom_cg_loadUserDatabase(nullptr, dir.file("db.bin"), none));
    EXPECT_TRUE(none.empty());
    // Rows of no columns: empty rows, nothing copied from a null row buffer.
    bin(3, 0, 0);
    TableF empties;
    EXPECT_EQ(0, nkFom_cg_loadUserDatabase(nullptr, dir.file("db.bin"), empties));
    EXPECT_EQ(empties, TableF(3));
    for (const Case& c : cases) {
        bin(c.rows, c.cols, c.bytes);
        TableF out = {{1}};
        EXPECT_EQ(0, nkFom_cg_loadUserDatabase(nullptr, dir.file("db.bin"), out)) << c.why;
        EXPECT_TRUE(out.empty()) << c.why;
    }
    for (const std::string& shortFile : {std::string("\x01\x00\x01", 3), std::string()}) {
        writeFile(dir.file("db.bin"), shortFile);
        TableF out = {{1}};
        EXPECT_EQ(0, nkFom_cg_loadUserDatabase(nullptr, dir.file("db.bin"), out));
        EXPECT_TRUE(out.empty());
    }
    bin(2, 1, 8);
    TableF out;
    ASSERT_EQ(0, nkFom_cg_loadUserDatabase(nullptr, dir.file("db.bin"), out));
    EXPECT_EQ(2u, out.size());
}

TEST(VeloraUserDatabase, ConversionRefusesWhatTheBinaryFormCannotHold) {
    TempDir dir;
    std::string big;
    for (int i = 0; i < 65536; ++i) big += "l,1\n";
    writeFile(dir.file("big.csv"), big);
    EXPECT_EQ(4, nkFom_cg_userDatabaseCsv2Bin(nullptr, dir.file("big.csv"), dir.file("big.bin")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("big.bin")));
    big.resize(big.size() - 4);  // 65535 rows fit
    writeFile(dir.file("big.csv"), big);
    ASSERT_EQ(0, nkFom_cg_userDatabaseCsv2Bin(nullptr, dir.file("big.csv"), dir.file("big.bin")));
    EXPECT_EQ(6u + 4u * 65535u, std::filesystem::file_size(dir.file("big.bin")));

    writeFile(dir.file("empty.csv"), "\n\n");
    EXPECT_EQ(4, nkFom_cg_userDatabaseCsv2Bin(nullptr, dir.file("empty.csv"), dir.file("empty.bin")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("empty.bin")));

    // A folder in the output's place: the failed write is reported, not success.
    writeFile(dir.file("db.csv"), "a,1,2\n");
    std::filesystem::create_directory(dir.file("out.bin"));
    EXPECT_NE(0, nkFom_cg_userDatabaseCsv2Bin(nullptr, dir.file("db.csv"), dir.file("out.bin")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("out.bin")));
}

}  // namespace
