#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <string>
#include <vector>

#include "nk_log_lines.h"
#include "nk_test_util.h"
#include "nk_utils.h"

namespace fs = std::filesystem;
using nktest::randomBytes;
using nktest::readFile;
using nktest::TempDir;
using nktest::writeFile;

namespace {
std::string bytesOf(const std::vector<u8>& v) { return std::string(v.begin(), v.end()); }
}  // namespace

TEST(BitStream, SaveGetLoadRoundTrip) {
    TempDir dir;
    const std::string path = dir.file("fw.bin");
    const std::vector<u8> data = randomBytes(5000, 1);
    nktest::Logged log{kVL3};
    testing::internal::CaptureStdout();
    ASSERT_EQ(nkUtil_saveBitStream(&log.lm, path.c_str(), data.data(), 5000, kVL2), 0);
    EXPECT_EQ(readFile(path), bytesOf(data));

    void* got = nullptr;
    u32 length = 0;
    ASSERT_EQ(nkUtil_getBitStream(&log.lm, path.c_str(), &got, &length, kVL2), 0);
    EXPECT_EQ(length, 5000u);
    EXPECT_EQ(std::string(static_cast<char*>(got), length), bytesOf(data));
    std::free(got);

    std::vector<u8> buf(6000, 0);
    int capacity = 6000;
    ASSERT_EQ(nkUtil_loadBitStream(&log.lm, path.c_str(), buf.data(), &capacity, kVL2), 0);
    EXPECT_EQ(capacity, 5000);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 5000), bytesOf(data));
    testing::internal::GetCapturedStdout();

    const std::vector<std::string> lines = nktest::splitLines(log.text());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "* nkUtil_saveBitStream *");
    EXPECT_EQ(lines[2], "file: " + path);
    EXPECT_EQ(lines[3].rfind("* nkUtil_saveBitStream OK [in ", 0), 0u) << lines[3];
    EXPECT_NE(log.text().find("* nkUtil_getBitStream OK [in "), std::string::npos);
    EXPECT_NE(log.text().find("* nkUtil_loadBitStream OK [in "), std::string::npos);

    // With no log manager the work is the same and nothing is printed.
    testing::internal::CaptureStdout();
    EXPECT_EQ(nkUtil_saveBitStream(nullptr, path.c_str(), data.data(), 10, kVL1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(readFile(path), bytesOf(data).substr(0, 10));
}

TEST(BitStream, LoadRefusesAFileLargerThanTheBuffer) {
    TempDir dir;
    const std::string path = dir.file("big.bin");
    writeFile(path, std::string(101, 'x'));
    std::vector<u8> buf(100, 0);
    int capacity = 100;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkUtil_loadBitStream(nullptr, path.c_str(), buf.data(), &capacity, kVL1), kNKErr_invalidBufferSize);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[Error,0xE002]"), std::string::npos);
    EXPECT_EQ(capacity, 100);
    EXPECT_EQ(buf[0], 0);  // nothing read
}

TEST(BitStream, Failures) {
    TempDir dir;
    fs::create_directory(dir.file("sub"));
    u8 buf[8];
    int cap = 8, zero = 0;
    void* p = nullptr;
    u32 len = 0;
    struct Case {
        const char* what;
        std::function<u16()> call;
        u16 code;
    } const cases[] = {
        {"save null data", [&] { return nkUtil_saveBitStream(nullptr, dir.file("a").c_str(), nullptr, 4, kVL1); }, 5},
        {"save length 0", [&] { return nkUtil_saveBitStream(nullptr, dir.file("a").c_str(), buf, 0, kVL1); }, 5},
        {"save into a missing folder",
         [&] { return nkUtil_saveBitStream(nullptr, dir.file("no/a").c_str(), buf, 4, kVL1); }, kNKErr_fileOpenFailed},
        {"get missing file", [&] { return nkUtil_getBitStream(nullptr, dir.file("none").c_str(), &p, &len, kVL1); },
         kNKErr_fileOpenFailed},
        {"get null out", [&] { return nkUtil_getBitStream(nullptr, dir.file("none").c_str(), nullptr, &len, kVL1); }, 5},
        // A directory opens for reading but holds no bytes to take.
        {"get a directory", [&] { return nkUtil_getBitStream(nullptr, dir.file("sub").c_str(), &p, &len, kVL1); },
         kNKErr_fileSizeGetFailed},
        {"load a directory", [&] { return nkUtil_loadBitStream(nullptr, dir.file("sub").c_str(), buf, &cap, kVL1); },
         kNKErr_fileSizeGetFailed},
        {"load capacity 0", [&] { return nkUtil_loadBitStream(nullptr, dir.file("sub").c_str(), buf, &zero, kVL1); }, 5},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.call(), c.code) << c.what;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.what << ": " << err;
    }
    EXPECT_EQ(p, nullptr);
    EXPECT_FALSE(fs::exists(dir.file("a")));
}

TEST(BitStream, FailedSaveKeepsThePreviousFile) {
    TempDir dir;
    const std::string path = dir.file("cal.bin");
    writeFile(path, "previous calibration");
    const std::vector<u8> data = randomBytes(4096, 2);
    nktest::Logged log{kVL3};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const u16 rc = nktest::withFileSizeLimit(
        1000, [&] { return nkUtil_saveBitStream(&log.lm, path.c_str(), data.data(), 4096, kVL1); });
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, kNKErr_fileWriteFailed);
    EXPECT_EQ(readFile(path), "previous calibration");
    EXPECT_NE(log.text().find("* nkUtil_saveBitStream FAILED [in "), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);  // no temporary left
}

TEST(Scrambled, ExactBytesAndRoundTrip) {
    TempDir dir;
    // Expected bytes computed with crcmod's CRC-16/MODBUS over the XORed bytes.
    struct {
        std::string plain;
        std::string file;
    } const rows[] = {
        {"Z", "\x3a\x97\xd2\x4e\x60\xbf\x68"},
        {"Hello!", "\x3a\x97\xd2\x4e\x72\xf2\xbe\x22\x55\xb6\x09\xd8"},
    };
    for (const auto& r : rows) {
        const std::string in = dir.file("plain.txt");
        writeFile(in, r.plain);
        std::string out;
        ASSERT_EQ(nkUtil_encrypt_file(in, out), 0);
        EXPECT_EQ(out, in + ".enc");
        EXPECT_EQ(readFile(out), r.file) << r.plain;
        EXPECT_TRUE(nkUtil_isEncrypted(out));
        EXPECT_FALSE(nkUtil_isEncrypted(in));
        EXPECT_EQ(bytesOf(nkUtil_decrypt_file(out)), r.plain);
    }
    const std::vector<u8> big = randomBytes(100000, 5);
    writeFile(dir.file("big"), bytesOf(big));
    std::string named = dir.file("named.dat");
    ASSERT_EQ(nkUtil_encrypt_file(dir.file("big"), named), 0);
    EXPECT_EQ(named, dir.file("named.dat"));
    EXPECT_EQ(nkUtil_decrypt_file(named), big);
}

TEST(Scrambled, DamagedFilesGiveNothing) {
    TempDir dir;
    writeFile(dir.file("p"), "payload bytes");
    std::string enc;
    ASSERT_EQ(nkUtil_encrypt_file(dir.file("p"), enc), 0);
    const std::string good = readFile(enc);

    std::string flipped = good;
    flipped[6] ^= 0x10;
    std::string badSeed = good;
    badSeed[0] ^= 1;
    struct {
        const char* what;
        std::string bytes;
        const char* report;
    } const cases[] = {
        {"flipped payload bit", flipped, "[Error,0xE005]"},
        {"wrong seed", badSeed, "[Error,7]"},
        {"empty", "", "[Error,0xE045]"},
        // Seed and one CRC byte: too short, refused before reading.
        {"five bytes", good.substr(0, 5), "[Error,13]"},
        {"seed only", good.substr(0, 4), "[Error,13]"},
    };
    for (const auto& c : cases) {
        writeFile(dir.file("d.enc"), c.bytes);
        testing::internal::CaptureStderr();
        EXPECT_TRUE(nkUtil_decrypt_file(dir.file("d.enc")).empty()) << c.what;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.report), std::string::npos) << c.what << ": " << err;
    }
    // An empty file has nothing to scramble.
    writeFile(dir.file("empty"), "");
    std::string out;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkUtil_encrypt_file(dir.file("empty"), out), kNKErr_fileReadFailed);
    EXPECT_EQ(nkUtil_encrypt_file(dir.file("missing"), out), kNKErr_fileNotExist);
    EXPECT_TRUE(nkUtil_decrypt_file(dir.file("missing")).empty());
    EXPECT_FALSE(nkUtil_isEncrypted(dir.file("missing")));
    writeFile(dir.file("short"), "\x3a\x97");
    EXPECT_FALSE(nkUtil_isEncrypted(dir.file("short")));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"rdsz==seed_sz\""), std::string::npos) << err;
    EXPECT_NE(err.find("\"data.size()>0\""), std::string::npos) << err;
}
