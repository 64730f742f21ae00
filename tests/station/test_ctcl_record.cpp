#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cvlra_ctcl.h"
#include "nk_gtest_util.h"
#include "nk_log_lines.h"
#include "nk_test_util.h"
#include "nk_utils.h"

using nktest::readFile;
using nktest::TempDir;

namespace {

std::vector<u8> bytesOf(const std::string& s) { return std::vector<u8>(s.begin(), s.end()); }

std::string fmt5(float percent) {
    char cell[32];
    std::snprintf(cell, sizeof(cell), "%5.5f,", static_cast<double>(percent));
    return cell;
}

// Records laid out by Python's struct with crcmod's MODBUS CRC, independent of our code:
// v3.bin (8106 bytes) and v2.bin (3598 bytes).
const char* kBuilder = R"PY(
import struct, sys, crcmod.predefined
crc = crcmod.predefined.mkCrcFun('modbus')
out = sys.argv[1]
b = bytearray(8106)
struct.pack_into('<IBBB', b, 0, 0x4374436C, 3, 1, 7)
b[7:70] = b'S' * 63
b[70:85] = b'TESTER_0123456X'
b[85] = 4
for r in range(5):
    for i in range(50, 401):
        struct.pack_into('<H', b, 86 + 802 * r + 2 * i, (i * 37 + r * 1000) % 65536)
struct.pack_into('<H', b, 86 + 2 * 125, 32768)
struct.pack_into('<H', b, 86 + 2 * 126, 16384)
for i in range(401):
    struct.pack_into('<H', b, 4096 + 2 * i, i * 10)
    struct.pack_into('<H', b, 4898 + 2 * i, 65535 - i)
struct.pack_into('<f5f', b, 5700, 1.25, 0.5, 1.5, 2.5, 3.5, 4.5)
struct.pack_into('<H', b, 8104, crc(bytes(b[:8104])))
open(out + '/v3.bin', 'wb').write(b)
b = bytearray(3598)
struct.pack_into('<IBBB', b, 0, 0x4374436C, 2, 0, 1)
b[7:11] = b'C7H2'
b[70:72] = b'T1'
b[85] = 2
for r in range(5):
    for i in range(351):
        struct.pack_into('<H', b, 86 + 702 * r + 2 * i, 100 * i + r)
b[3596:3598] = b'\xab\xcd'
open(out + '/v2.bin', 'wb').write(b)
)PY";

class CtClRecord : public testing::Test {
protected:
    void SetUp() override {
        if (!nktest::havePython()) GTEST_SKIP() << "no python3";
        nktest::runPython(dir, kBuilder, dir.path().string(), "build.py");
        ASSERT_FALSE(HasFailure());
        v3 = bytesOf(readFile(dir.file("v3.bin")));
        v2 = bytesOf(readFile(dir.file("v2.bin")));
        ASSERT_EQ(v3.size(), 8106u);
        ASSERT_EQ(v2.size(), 3598u);
    }
    TempDir dir;
    std::vector<u8> v3, v2;
};

u16 codeV3(int r, int i) { return i == 125 && r == 0 ? 32768 : i == 126 && r == 0 ? 16384 : i < 50 ? 0 : (i * 37 + r * 1000) % 65536; }

}  // namespace

TEST(CtClEncoding, PercentagesAndCodes) {
    EXPECT_EQ(cgCalData_percent(32768), 100.0f);
    EXPECT_EQ(cgCalData_percent(16384), 50.0f);
    EXPECT_EQ(cgCalData_percent(0), 0.0f);
    EXPECT_LT(cgCalData_percent(65535), 200.0f);
    EXPECT_GT(cgCalData_percent(65535), 199.99f);
    const struct {
        float percent;
        u16 code;
    } table[] = {{100.0f, 32768}, {50.0f, 16384}, {0.0f, 0}, {0.0031f, 1}, {0.003f, 0},  // truncated
                 {-0.5f, 0},      {199.99f, 65532}, {200.0f, 65535}, {1e9f, 65535}, {NAN, 0}, {INFINITY, 65535}};
    for (const auto& c : table) EXPECT_EQ(cgCalData_code(c.percent), c.code) << c.percent;
    for (u32 code = 0; code <= 65535; code += 97) EXPECT_EQ(cgCalData_code(cgCalData_percent(static_cast<u16>(code))), code);
}

TEST_F(CtClRecord, Version3FromPythonReadsAndDisplays) {
    nktest::Logged log{kVL1};
    t_cgCalData rec;
    bool crcOk = false;
    ASSERT_EQ(cgCalData_read(&log.lm, v3.data(), v3.size(), &rec, &crcOk), 0);
    EXPECT_TRUE(crcOk);
    EXPECT_EQ(rec.magic, ctcl::kMagic);
    EXPECT_EQ(rec.versionMajor, 3);
    EXPECT_EQ(rec.versionMinor, 1);
    EXPECT_EQ(rec.socketIndex, 4);
    const t_cgCalRowLayout layout = cgCalData_rowLayout(rec);
    EXPECT_EQ(layout.values, 401);
    EXPECT_EQ(layout.firstNm, 300);
    for (int r = 0; r < 5; ++r) {
        const std::vector<float> row = cgCalData_row(rec, r);
        ASSERT_EQ(row.size(), 401u);
        for (int i = 0; i < 401; ++i) ASSERT_EQ(row[i], cgCalData_percent(static_cast<u16>(codeV3(r, i)))) << r << " " << i;
    }
    EXPECT_EQ(cgCalData_row(rec, 0)[125], 100.0f);  // 550 nm
    EXPECT_EQ(cgCalData_row(rec, 0)[126], 50.0f);
    EXPECT_TRUE(cgCalData_row(rec, 5).empty());
    EXPECT_TRUE(cgCalData_row(rec, -1).empty());

    cgCalData_display(&log.lm, &rec);
    EXPECT_TRUE(log.has("*** VDX Data Content ***\n"));
    EXPECT_TRUE(log.has("* magic : CtCl\n"));
    EXPECT_TRUE(log.has("* version : 3.1\n"));
    EXPECT_TRUE(log.has("* cg_type : 0x07 [Unknown]\n"));
    // Full text fields without a terminator stop at their own end.
    EXPECT_TRUE(log.has("* cg sn : " + std::string(63, 'S') + "\n"));
    EXPECT_TRUE(log.has("* tester id : TESTER_0123456X\n"));
    EXPECT_TRUE(log.has("* socket index : 4\n"));
    EXPECT_TRUE(log.has("* T% (first 5) ... (last 5):\n"));
    for (int c = 0; c < 5; ++c) {
        std::string line = "\t Channel " + std::to_string(c) + " :";
        for (int i = 50; i < 55; ++i) line += fmt5(cgCalData_percent(static_cast<u16>(codeV3(c, i))));
        line += " ... ";
        for (int i = 396; i < 401; ++i) line += fmt5(cgCalData_percent(static_cast<u16>(codeV3(c, i))));
        EXPECT_TRUE(log.has(line + "\n")) << line << "\n" << log.text();
    }
    std::string weighted = "* T% Weighted :", twoD = "* T% 2d :";
    for (int i = 50; i < 55; ++i) weighted += fmt5(cgCalData_percent(static_cast<u16>(i * 10)));
    for (int i = 50; i < 55; ++i) twoD += fmt5(cgCalData_percent(static_cast<u16>(65535 - i)));
    weighted += " ... ";
    twoD += " ... ";
    for (int i = 396; i < 401; ++i) weighted += fmt5(cgCalData_percent(static_cast<u16>(i * 10)));
    for (int i = 396; i < 401; ++i) twoD += fmt5(cgCalData_percent(static_cast<u16>(65535 - i)));
    EXPECT_TRUE(log.has(weighted + "\n")) << log.text();
    EXPECT_TRUE(log.has(twoD + "\n"));
    EXPECT_TRUE(log.has("* a factor : 1.25000\n"));
    EXPECT_TRUE(log.has("* gray image tile :0.50000,1.50000,2.50000,3.50000,4.50000,\n"));

    nktest::Logged app{kVL1};
    displayVDXData(&app.lm, &rec);
    EXPECT_TRUE(app.has("* cg type : 00000007\n"));
    EXPECT_FALSE(app.has("Unknown"));
    EXPECT_TRUE(app.has("* T% (first 5):\n"));
    EXPECT_FALSE(app.has(" ... "));
    std::string first = "\t Channel 0 :";
    for (int i = 50; i < 55; ++i) first += fmt5(cgCalData_percent(static_cast<u16>(codeV3(0, i))));
    EXPECT_TRUE(app.has(first + "\n"));
    EXPECT_TRUE(app.has(weighted.substr(0, weighted.find(" ... ")) + "\n"));
    EXPECT_TRUE(app.has("* a factor : 1.25000\n"));
}

TEST_F(CtClRecord, Version2ShortRecordUsesItsOwnStride) {
    nktest::Logged log{kVL1};
    t_cgCalData rec;
    bool crcOk = false;
    ASSERT_EQ(cgCalData_read(&log.lm, v2.data(), v2.size(), &rec, &crcOk), 0);
    EXPECT_TRUE(crcOk);  // a short record carries no CRC to check
    EXPECT_EQ(cgCalData_rowLayout(rec).values, 351);
    EXPECT_EQ(cgCalData_rowLayout(rec).firstNm, 400);
    for (int r = 0; r < 5; ++r) {
        const std::vector<float> row = cgCalData_row(rec, r);
        ASSERT_EQ(row.size(), 351u);
        for (int i = 0; i < 351; ++i) ASSERT_EQ(row[i], cgCalData_percent(static_cast<u16>(100 * i + r)));
    }
    // Beyond the short image the record is zero: no version-3 content leaks in.
    EXPECT_EQ(rec.aFactor, 0.0f);
    EXPECT_EQ(rec.crc, 0);

    cgCalData_display(&log.lm, &rec);
    EXPECT_TRUE(log.has("* version : 2.0\n"));
    EXPECT_TRUE(log.has("* cg_type : 0x01 [Y31]\n"));
    EXPECT_TRUE(log.has("* cg sn : C7H2\n"));
    EXPECT_TRUE(log.has("* tester id : T1\n"));
    std::string line = "\t Channel 3 :";
    for (int i = 0; i < 5; ++i) line += fmt5(cgCalData_percent(static_cast<u16>(100 * i + 3)));
    line += " ... ";
    for (int i = 346; i < 351; ++i) line += fmt5(cgCalData_percent(static_cast<u16>(100 * i + 3)));
    EXPECT_TRUE(log.has(line + "\n")) << log.text();
    EXPECT_FALSE(log.has("Weighted"));
    EXPECT_FALSE(log.has("2d"));
    EXPECT_FALSE(log.has("a factor"));
    EXPECT_FALSE(log.has("gray image tile"));
}

TEST_F(CtClRecord, WriteThenReadIsByteExactAndPythonAgreesOnTheCrc) {
    t_cgCalData rec;
    ASSERT_EQ(cgCalData_read(nullptr, v3.data(), v3.size(), &rec), 0);
    EXPECT_EQ(cgCalData_write(rec), v3);

    // A record made here: version 2.0 at the full size, rows in the version-2 layout.
    t_cgCalData made;
    std::memset(static_cast<void*>(&made), 0, sizeof(made));
    made.magic = ctcl::kMagic;
    made.versionMajor = 2;
    made.cgType = 2;
    std::memcpy(made.testerId, "postproces", 10);
    std::vector<float> row(351);
    for (int i = 0; i < 351; ++i) row[i] = static_cast<float>(i) * 0.5f;
    row[0] = 100.0f;
    for (int r = 0; r < 5; ++r) ASSERT_EQ(cgCalData_setRow(made, r, row.data(), row.size()), 0);
    EXPECT_EQ(cgCalData_setRow(made, 5, row.data(), row.size()), kNKErr_invalidParam);
    const std::vector<u8> image = cgCalData_write(made);
    ASSERT_EQ(image.size(), 8106u);
    t_cgCalData back;
    bool crcOk = false;
    ASSERT_EQ(cgCalData_read(nullptr, image.data(), image.size(), &back, &crcOk), 0);
    EXPECT_TRUE(crcOk);
    EXPECT_EQ(cgCalData_write(back), image);
    const std::vector<float> got = cgCalData_row(back, 4);
    ASSERT_EQ(got.size(), 351u);
    // Stored truncated: what comes back is the code's value, within one code of the percentage.
    for (int i = 0; i < 351; ++i) {
        EXPECT_EQ(got[i], cgCalData_percent(cgCalData_code(row[i]))) << i;
        EXPECT_NEAR(got[i], row[i], 100.0 / 32768) << i;
    }

    const std::string path = dir.file("made.bin");
    ASSERT_EQ(nkUtil_saveBitStream(nullptr, path.c_str(), image.data(), 8106, kVL1), 0);
    int status = -1;
    const std::string out = nktest::runCommand(
        std::string(NK_PYTHON) +
            " -c \"import struct,sys,crcmod.predefined;b=open(sys.argv[1],'rb').read();"
            "c=crcmod.predefined.mkCrcFun('modbus');"
            "print(struct.unpack_from('<H',b,8104)[0]==c(b[:8104]),b[4],b[5],b[70:81],"
            "struct.unpack_from('<H',b,86)[0],struct.unpack_from('<H',b,86+702*4+2)[0])\" " + path + " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "True 2 0 b'postproces\\x00' 32768 163\n");
}

TEST_F(CtClRecord, OnlyTheTwoSizesAreRead) {
    std::vector<u8> shortV3 = v2;
    shortV3[4] = 3;  // a version-3 table would run past 3598 bytes
    const struct {
        const u8* bytes;
        size_t length;
    } refused[] = {{v3.data(), 0}, {v3.data(), 3597}, {v3.data(), 3599}, {v3.data(), 8105},
                   {nullptr, 8106}, {shortV3.data(), 3598}};
    for (const auto& c : refused) {
        t_cgCalData rec;
        std::memset(static_cast<void*>(&rec), 0x5A, sizeof(rec));
        EXPECT_EQ(cgCalData_read(nullptr, c.bytes, c.length, &rec), kNKErr_vdx_dataCheckFailed) << c.length;
        EXPECT_EQ(rec.magic, 0u);  // nothing of the refused bytes, nothing stale
        EXPECT_EQ(rec.versionMajor, 0);
    }
    std::vector<u8> longer = v3;
    longer.push_back(0);
    t_cgCalData rec;
    EXPECT_EQ(cgCalData_read(nullptr, longer.data(), 8107, &rec), kNKErr_vdx_dataCheckFailed);
    EXPECT_EQ(cgCalData_read(nullptr, v3.data(), v3.size(), nullptr), kNKErr_invalidParam);
}

TEST_F(CtClRecord, AWrongCrcIsReadAndLoggedOnce) {
    std::vector<u8> bad = v3;
    bad[1000] ^= 0x01;
    nktest::Logged log{kVL1};
    t_cgCalData rec;
    bool crcOk = true;
    ASSERT_EQ(cgCalData_read(&log.lm, bad.data(), bad.size(), &rec, &crcOk), 0);
    EXPECT_FALSE(crcOk);
    EXPECT_EQ(rec.versionMajor, 3);
    const size_t at = log.text().find("* VDX record CRC mismatch: stored 0x");
    ASSERT_NE(at, std::string::npos) << log.text();
    EXPECT_EQ(log.text().find("* VDX record CRC mismatch", at + 1), std::string::npos);
}
