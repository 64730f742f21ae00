#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nk_file.h"
#include "nk_test_util.h"

using nktest::TempDir;

namespace {
// One record line, checksum computed here independently of the parser.
std::string record(u32 type, u32 address, const std::vector<u8>& data) {
    char buf[16];
    std::string line = ":";
    u32 sum = static_cast<u32>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buf, sizeof(buf), "%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    line += buf;
    for (u8 b : data) {
        std::snprintf(buf, sizeof(buf), "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof(buf), "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf;
}

const std::string kEof = ":00000001FF\n";

u16 parse(const std::string& text, std::vector<u8>& image, u64& size) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const u16 rc = nkFile_parseIntelHexFile(text.c_str(), image.data(), &size);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return rc;
}
}  // namespace

TEST(IntelHex, MatchesObjcopyAcrossA64KBoundary) {
    TempDir dir;
    // 80 KiB from address 0, crossing into the second 64 KiB segment through an
    // extended linear address record, with one 32-byte hole, plus a start address.
    std::mt19937 rng(11);
    std::vector<u8> bytes(80 * 1024);
    for (u8& b : bytes) b = static_cast<u8>(rng());
    std::string text;
    for (size_t off = 0; off < bytes.size(); off += 32) {
        if (off % 0x10000 == 0) text += record(4, 0, {static_cast<u8>(off >> 24), static_cast<u8>(off >> 16)});
        if (off == 4096) {
            std::fill(bytes.begin() + off, bytes.begin() + off + 32, 0);
            continue;
        }
        text += record(0, off & 0xFFFF, std::vector<u8>(bytes.begin() + off, bytes.begin() + off + 32));
    }
    text += record(5, 0, {0x00, 0x00, 0x01, 0x00});
    text += kEof;
    nktest::writeFile(dir.file("in.hex"), text);
    int status = -1;
    nktest::runCommand("objcopy -I ihex -O binary " + dir.file("in.hex") + " " + dir.file("out.bin") + " 2>&1", &status);
    ASSERT_EQ(status, 0);
    const std::string oracle = nktest::readFile(dir.file("out.bin"));
    ASSERT_EQ(oracle.size(), bytes.size());

    std::vector<u8> image(bytes.size() + 100, 0xEE);
    u64 size = image.size();
    testing::internal::CaptureStdout();
    EXPECT_EQ(nkFile_parseIntelHexFile(text.c_str(), image.data(), &size), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "EIP 256\n");
    EXPECT_EQ(size, bytes.size());
    EXPECT_EQ(std::string(image.begin(), image.begin() + static_cast<long>(size)), oracle);
    EXPECT_EQ(image.back(), 0);  // the rest of the image is cleared
}

TEST(IntelHex, SingleByteAndLowerCase) {
    std::vector<u8> image(1, 0xEE);
    u64 size = 1;
    EXPECT_EQ(parse(":0100000041BE\n:00000001ff", image, size), 0);
    EXPECT_EQ(image[0], 0x41);
    EXPECT_EQ(size, 1u);
    std::vector<u8> two(2);
    size = 2;
    EXPECT_EQ(parse(":02000000abcd86\n" + kEof, two, size), 0);
    EXPECT_EQ(two, (std::vector<u8>{0xAB, 0xCD}));
}

TEST(IntelHex, SizeIsTheImageEndNeverBeyondIt) {
    // Three records over the same four bytes: the image is 4 bytes, not 12.
    const std::string text = record(0, 0, {1, 2, 3, 4}) + record(0, 0, {5, 6, 7, 8}) + record(0, 0, {9, 9, 9, 9}) + kEof;
    std::vector<u8> image(4);
    u64 size = 4;
    EXPECT_EQ(parse(text, image, size), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(image, (std::vector<u8>{9, 9, 9, 9}));

    // An empty data record further out adds no bytes to the image.
    std::vector<u8> wide(200);
    size = wide.size();
    EXPECT_EQ(parse(record(0, 0, {0x41}) + record(0, 100, {}) + kEof, wide, size), 0);
    EXPECT_EQ(size, 1u);
}

TEST(IntelHex, FailuresStopTheParseAndKeepTheSize) {
    const std::string good = record(0, 0, {1, 2, 3});
    std::string badSum = good;
    badSum[badSum.size() - 3] = badSum[badSum.size() - 3] == '0' ? '1' : '0';
    struct Case {
        const char* what;
        std::string text;
        u64 capacity;
        u16 code;
    } const cases[] = {
        {"wrong checksum", badSum + kEof, 8, kNKErr_invalidChecksum},
        {"no ':'", "0100000041BE\n" + kEof, 8, kNKErr_invalidFormat},
        {"no end record", good, 8, kNKErr_invalidFormat},
        {"bad count digit", ":G100000041BE\n", 8, kNKErr_invalidFormat},
        {"bad address", ":01Z0000041BE\n", 8, kNKErr_dataCheckError},
        {"bad type", ":010000Z041BE\n", 8, kNKErr_dataCheckError},
        // The text ends inside a record: nothing is read past its terminator.
        {"cut in data", ":0400000001", 8, kNKErr_invalidFormat},
        {"cut in checksum", ":01000000410", 8, kNKErr_invalidFormat},
        {"data past the image", record(0, 6, {1, 2, 3}) + kEof, 8, kNKErr_invalidBufferSize},
        {"segment address", record(2, 0, {0x10, 0x00}) + kEof, 8, kNKErr_notSupported},
        {"unknown type", record(6, 0, {}) + kEof, 8, kNKErr_notSupported},
        // 08 00 moves the next record to 0x08000000, far outside the image.
        {"extended address", record(4, 0, {0x08, 0x00}) + record(0, 0, {1}) + kEof, 8, kNKErr_invalidBufferSize},
    };
    for (const Case& c : cases) {
        std::vector<u8> image(c.capacity + 4, 0xEE);  // 4 guard bytes past the capacity
        u64 size = c.capacity;
        EXPECT_EQ(parse(c.text, image, size), c.code) << c.what;
        EXPECT_EQ(size, c.capacity) << c.what;
        for (size_t i = c.capacity; i < image.size(); ++i) EXPECT_EQ(image[i], 0xEE) << c.what;
    }
    // Records before the failure are already copied.
    std::vector<u8> image(8);
    u64 size = 8;
    EXPECT_EQ(parse(good, image, size), kNKErr_invalidFormat);
    EXPECT_EQ(image[2], 3);

    testing::internal::CaptureStderr();
    EXPECT_EQ(nkFile_parseIntelHexFile(nullptr, image.data(), &size), kNKErr_invalidParam);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[Error,5]"), std::string::npos);
}

TEST(IntelHex, TextEndingAtTheBufferEndIsNotOverread) {
    // An exact-size heap copy lets the sanitizer see any read past the terminator.
    const std::string text = ":0100000041";
    char* exact = new char[text.size() + 1];
    std::memcpy(exact, text.c_str(), text.size() + 1);
    u8 image[4];
    u64 size = sizeof(image);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkFile_parseIntelHexFile(exact, image, &size), kNKErr_invalidFormat);
    testing::internal::GetCapturedStderr();
    delete[] exact;
}
