#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "nk_test_util.h"
#include "nk_utils.h"

using nktest::TempDir;

namespace {
struct CollectingRelay : INK_logRelay {
    std::string text;
    void onLogRelay(const char* t) override { text += t; }
};
}  // namespace

TEST(Checksum, KnownCheckValues) {
    const std::string s = "123456789";
    const u8* p = reinterpret_cast<const u8*>(s.data());
    EXPECT_EQ(nkUtil_crc16(p, s.size()), 0x4B37);
    EXPECT_EQ(nkUtil_crc16_rev(p, s.size()), 0xBB3D);
    EXPECT_EQ(nkUtil_hashFnv32(p, static_cast<u32>(s.size())), 0xBB86B11Cu);
    EXPECT_EQ(nkUtil_crc16(std::vector<u8>(s.begin(), s.end())), 0x4B37);
    EXPECT_EQ(nkUtil_crc16_rev(std::vector<u8>(s.begin(), s.end())), 0xBB3D);
    // Empty input gives each algorithm's starting value.
    EXPECT_EQ(nkUtil_crc16(p, 0), 0xFFFF);
    EXPECT_EQ(nkUtil_crc16_rev(p, 0), 0);
    EXPECT_EQ(nkUtil_hashFnv32(p, 0), 0x811C9DC5u);
}

TEST(Checksum, AdditiveChecksumIsNegatedSignedSum) {
    const i8 bytes[] = {0x01, 0x02, static_cast<i8>(0xFF)};
    EXPECT_EQ(nkUtil_checksum(bytes, 3), -2);
    EXPECT_EQ(nkUtil_checksum(nullptr, 3), 0);
    EXPECT_EQ(nkUtil_checksum(bytes, 0), 0);
    std::vector<i8> many(1000, static_cast<i8>(0x80));  // -128 each
    EXPECT_EQ(nkUtil_checksum(many.data(), many.size()), 128000);
    // The low byte makes the bytes sum to zero modulo 256.
    const int c = nkUtil_checksum(bytes, 3);
    EXPECT_EQ((0x01 + 0x02 + 0xFF + (c & 0xFF)) & 0xFF, 0);
}

TEST(Checksum, MatchesIndependentPythonComputation) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    TempDir dir;
    std::mt19937 rng(7);
    std::vector<u8> data(4099);
    for (u8& b : data) b = static_cast<u8>(rng());
    const std::string path = dir.file("blob.bin");
    nktest::writeFile(path, std::string(data.begin(), data.end()));
    const std::string script =
        "import sys, crcmod\n"
        "d = open(sys.argv[1], 'rb').read()\n"
        "h = 0x811C9DC5\n"
        "for b in d: h = ((h ^ b) * 16777619) & 0xFFFFFFFF\n"
        "modbus = crcmod.mkCrcFun(0x18005, initCrc=0xFFFF, rev=True, xorOut=0)\n"
        "arc = crcmod.mkCrcFun(0x18005, initCrc=0, rev=True, xorOut=0)\n"
        "print(modbus(d), arc(d), h)\n";
    nktest::writeFile(dir.file("oracle.py"), script);
    int status = -1;
    const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + dir.file("oracle.py") + " " + path, &status);
    ASSERT_EQ(status, 0) << out;
    unsigned modbus = 0, arc = 0, fnv = 0;
    ASSERT_EQ(std::sscanf(out.c_str(), "%u %u %u", &modbus, &arc, &fnv), 3) << out;
    EXPECT_EQ(nkUtil_crc16(data.data(), data.size()), modbus);
    EXPECT_EQ(nkUtil_crc16_rev(data.data(), data.size()), arc);
    EXPECT_EQ(nkUtil_hashFnv32(data.data(), static_cast<u32>(data.size())), fnv);
}

TEST(HexDump, FullAndPartialLines) {
    CNK_logManager lm;
    CollectingRelay relay;
    lm.setLogRelay(&relay);
    std::vector<u8> data(20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<u8>(0x30 + i);
    data[1] = ' ';   // blank inside a full line stays a blank
    data[2] = 0x7F;  // above printable
    data[17] = ' ';  // blank on the last line shows as '.'
    testing::internal::CaptureStdout();
    nkUtil_printBinary(&lm, kVL1, data.data(), static_cast<u32>(data.size()));
    testing::internal::GetCapturedStdout();
    const std::string expected =
        "[00000000] 30 20 7F 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F | 0 .3456789:;<=>?\n"
        "[00000010] 40 20 42 43                                     | @.BC\n";
    EXPECT_EQ(relay.text, expected);
}

TEST(HexDump, PrintsNothingWithoutInputOrLogManager) {
    CNK_logManager lm;
    CollectingRelay relay;
    lm.setLogRelay(&relay);
    const u8 b[16] = {};
    testing::internal::CaptureStdout();
    nkUtil_printBinary(&lm, kVL1, b, 0);
    nkUtil_printBinary(nullptr, kVL1, b, 16);
    nkUtil_printBinary(&lm, kVL2, b, 16);  // above the console level
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(relay.text, "");
    nkUtil_printBinary(&lm, kVL1, b, 16);  // a single full line is the last line too
    EXPECT_EQ(relay.text, "[00000000] 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 | ................\n");
}
