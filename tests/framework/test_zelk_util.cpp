// The framework's plain helpers: array blocks, texts, checksums, files, Intel HEX,
// the multitouch tools and images.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ZelkPaths.h"
#include "ZelkUtil.h"
#include "nk_locale_util.h"
#include "nk_test_util.h"

using nktest::TempDir;

TEST(ZelkUtil, ArrayBlockIndexesLikeNestedArrays) {
    const UInt16 dims[] = {3, 4};
    SInt32 size = 0;
    double** a = static_cast<double**>(ZUTIL_Mem_allc_aligned(9, 2, dims, &size));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(size, 136);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(a[i][j], 0.0);
    EXPECT_EQ(&a[2][3], reinterpret_cast<double*>(reinterpret_cast<char*>(a) + 24) + 11);  // the last element
    a[2][3] = 7;
    ZUTIL_Mem_free_aligned(a);

    const UInt16 three[] = {2, 3, 5};
    UInt16*** b = static_cast<UInt16***>(ZUTIL_Mem_allc_aligned(2, 3, three, nullptr));
    ASSERT_NE(b, nullptr);
    b[1][2][4] = 0xBEEF;
    EXPECT_EQ(&b[1][2][4] - &b[0][0][0], 29);
    ZUTIL_Mem_free_aligned(b);
    ZUTIL_Mem_free_aligned(nullptr);
}

TEST(ZelkUtil, ArrayBlockRefusals) {
    const UInt16 big[16] = {65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535,
                            65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535};
    const UInt16 two[] = {2, 2};
    const struct {
        UInt32 type;
        UInt16 n;
        const UInt16* dims;
    } rows[] = {
        {10, 2, two}, {0, 0, two}, {0, 17, big}, {0, 2, nullptr},
        {0, 16, big},            // 16 extents of 65,535: far beyond any allocation, never a short one
        {9, 2, big},             // 65,535² doubles: over 32 bits
    };
    for (const auto& r : rows) {
        SInt32 size = -5;
        EXPECT_EQ(ZUTIL_Mem_allc_aligned(r.type, r.n, r.dims, &size), nullptr) << r.type << " " << r.n;
        EXPECT_EQ(size, -5);
    }
}

TEST(ZelkUtil, SizeStrings) {
    const struct {
        UInt32 bytes;
        const char* text;
    } rows[] = {{0, "0 "}, {1024, "1024 "}, {1025, "1.001 K"}, {1048576, "1024.000 K"}, {1048577, "1.000 M"}};
    nktest::GermanNumbers german;
    for (const auto& r : rows) EXPECT_STREQ(ZUTIL_GetSizeString(r.bytes), r.text);
}

TEST(ZelkUtil, Numbers) {
    const struct {
        const char* text;
        bool numeric;
        double value;
    } rows[] = {
        {"12.5", true, 12.5}, {"-3", true, -3},     {"1.2.3", false, kZelk_noValue}, {"--1", false, kZelk_noValue},
        {"+1", false, kZelk_noValue}, {"1e5", false, kZelk_noValue}, {"na", true, kZelk_noValue},
        {"NA", true, kZelk_noValue},  {"", false, kZelk_noValue},    {"abc", false, kZelk_noValue},
        {"  7", false, kZelk_noValue}, {"-", true, kZelk_noValue},   {".", true, kZelk_noValue},
        {"1-2", true, 1},             {"5-", true, 5},               {".5", true, 0.5},
        {"-.25", true, -0.25},        {"n", false, kZelk_noValue},   {"nan", false, kZelk_noValue},
        {"0.1", true, 0.1},           {"123456789012345678901234567890", true, 1.2345678901234568e29},
    };
    nktest::GermanNumbers german;  // the user's decimal comma changes nothing
    for (const auto& r : rows) {
        EXPECT_EQ(ZUTIL_StrIsNumeric(r.text), r.numeric) << r.text;
        EXPECT_EQ(ZUTIL_StrGetValue(r.text), r.value) << r.text;
    }
    const std::string huge(400, '9');  // beyond the double range: its infinity, as "%lf" gives
    EXPECT_EQ(ZUTIL_StrGetValue(huge.c_str()), HUGE_VAL);
    EXPECT_FALSE(ZUTIL_StrIsNumeric(nullptr));
    EXPECT_EQ(ZUTIL_StrGetValue(nullptr), kZelk_noValue);
}

TEST(ZelkUtil, TextScanning) {
    EXPECT_EQ(ZUTIL_StrCheckTextCount("aaaa", "aa"), 3);
    EXPECT_EQ(ZUTIL_StrCheckTextCount("aaaa", ""), 0);  // an empty pattern matches nothing
    EXPECT_EQ(ZUTIL_StrCheckTextCount(nullptr, "a"), 0);
    const char* t = "key:  \tvalue rest";
    EXPECT_STREQ(ZUTIL_StrGoAfter(t, "key:"), "value rest");
    EXPECT_EQ(ZUTIL_StrGoAfter(t, "none"), nullptr);
    EXPECT_EQ(ZUTIL_StrGoAfter(t, ""), nullptr);
    EXPECT_STREQ(ZUTIL_StrGoLastText("abcabcab", "ab"), "ab");
    const char* hay = "abcabcab";
    EXPECT_EQ(ZUTIL_StrGoLastText(hay, "ab"), hay + 6);
    const char* aaaa = "aaaa";
    EXPECT_EQ(ZUTIL_StrGoLastText(aaaa, "aa"), aaaa + 2);  // overlapping matches count
    EXPECT_EQ(ZUTIL_StrGoLastText("abc", ""), nullptr);
    EXPECT_STREQ(ZUTIL_StrGoNextWord("one  \t two"), "two");
    EXPECT_STREQ(ZUTIL_StrGoNextWord("last"), "");
    EXPECT_STREQ(ZUTIL_StrGoNextLine("a\nb"), "b");
    EXPECT_EQ(ZUTIL_StrGoNextLine("ab"), nullptr);
    EXPECT_STREQ(ZUTIL_StrSkipSpace(" \t x"), "x");
    EXPECT_STREQ(ZUTIL_StrGetFileExtension("/a.b/c"), "b/c");
    EXPECT_EQ(ZUTIL_StrGetFileExtension("noext"), nullptr);
    EXPECT_EQ(ZUTIL_StrGetFileName("name.csv"), nullptr);
    EXPECT_STREQ(ZUTIL_StrGetFileName("/x/name.csv"), "name.csv");
    char up[] = "abc-Xyz\xe9";
    ZUTIL_StrUpper(up);
    EXPECT_STREQ(up, "ABC-XYZ\xe9");
    ZUTIL_StrUpper(nullptr);

    char word[5] = "????";
    EXPECT_STREQ(ZUTIL_StrGetCurrentWord("longword  next", word, sizeof(word)), "next");
    EXPECT_STREQ(word, "long");  // cut at the capacity, never past it
    EXPECT_EQ(ZUTIL_StrGetCurrentWord("end", word, sizeof(word)), nullptr);
    EXPECT_STREQ(word, "end");
}

TEST(ZelkUtil, ScannersReadWhatThePrintersWrite) {
    nktest::GermanNumbers german;
    SInt32 ints[6] = {-9, -9, -9, -9, -9, -9};
    const char* table = "[row00]\t1\t2\t3\n[row01]\t4\tx\t6\ntail";
    const char* after = ZUTIL_StrScanInt_2D(table, ints, 3, 2, true);
    EXPECT_STREQ(after, "tail");
    const SInt32 expected[6] = {4, -9, 6, 1, 2, 3};  // bottom-up; "x" leaves its element
    for (int i = 0; i < 6; ++i) EXPECT_EQ(ints[i], expected[i]) << i;
    EXPECT_EQ(ZUTIL_StrScanInt_2D("[row00] 1 2", ints, 2, 1, false), nullptr);  // no line end

    float f[3] = {};
    const char* rest = ZUTIL_StrScanFloat_1D("1.5\t-2.25  3 more", f, 3);
    EXPECT_EQ(f[0], 1.5f);
    EXPECT_EQ(f[1], -2.25f);
    EXPECT_EQ(f[2], 3.0f);
    EXPECT_STREQ(rest, "more");
    EXPECT_STREQ(ZUTIL_StrScanInt_1D("5", ints, 0), "5");
}

TEST(ZelkUtil, Checksum) {
    EXPECT_EQ(ZUTIL_CalculateChecksum("abc", 3), -294);
    const UInt8 ff = 0xFF;
    EXPECT_EQ(ZUTIL_CalculateChecksum(&ff, 1), 1);
    EXPECT_EQ(ZUTIL_CalculateChecksum(nullptr, 3), 0);
    EXPECT_EQ(ZUTIL_CalculateChecksum("abc", 0), 0);
}

TEST(ZelkUtil, FilesOverFourGiB) {
    TempDir dir;
    const std::string path = dir.file("sparse.bin");
    nktest::writeFile(path, "head");
    ASSERT_EQ(truncate(path.c_str(), (5ll << 30) + 3), 0);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fgetc(f);
    EXPECT_EQ(ZUTIL_GetFileSize(f), (5ll << 30) + 3);
    EXPECT_EQ(std::fgetc(f), 'h');  // rewound
    std::fclose(f);
    EXPECT_EQ(ZUTIL_GetFileSize(nullptr), 0);
    EXPECT_TRUE(ZUTIL_IsFileExist(path.c_str()));
    EXPECT_TRUE(ZUTIL_IsFileExist(dir.path().c_str()));
    EXPECT_FALSE(ZUTIL_IsFileExist(dir.file("none").c_str()));
}

namespace {

// One record with its checksum.
std::string record(unsigned type, unsigned address, const std::vector<UInt8>& data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    char head[16];
    std::snprintf(head, sizeof(head), ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    std::string r = head;
    for (UInt8 b : data) {
        char x[3];
        std::snprintf(x, sizeof(x), "%02X", b);
        r += x;
        sum += b;
    }
    char c[4];
    std::snprintf(c, sizeof(c), "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return r + c;
}

const std::string kEof = ":00000001FF\n";

}  // namespace

TEST(ZelkUtil, IntelHexCases) {
    const std::string data4 = record(0, 0x000B, {1, 2, 3, 4});
    std::string badSum = data4;
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    const struct {
        const char* name;
        std::string text;
        SInt32 code;
        UInt64 length;
    } rows[] = {
        {"ends one before the capacity", data4 + kEof, 0, 4},
        {"ends at the capacity", record(0, 0x000C, {1, 2, 3, 4}) + kEof, 19, 16},
        {"no end record", data4, 87, 16},
        {"checksum off", badSum + kEof, 22, 16},
        {"type 02", record(2, 0, {0, 0}) + kEof, 3, 16},
        {"type 04 short", record(4, 0, {1}) + kEof, 87, 16},
        {"type 04 long", record(4, 0, {0, 0, 0}) + kEof, 87, 16},
        {"type 04 base beyond the image", record(4, 0, {0, 1}) + record(0, 0, {1}) + kEof, 19, 16},
        {"no colon first", " " + data4 + kEof, 87, 16},
        {"blank inside a count", ": 4000B00" + data4.substr(9) + kEof, 87, 16},
        {"sign inside an address", ":04+00B00" + data4.substr(9) + kEof, 27, 16},
        {"ends inside a record", ":04000B000102", 87, 16},
        {"ends inside a digit", ":04000B0001020", 87, 16},
        {"start address ignored, lower case", record(5, 0, {0, 0, 0, 0}) + ":01000000aa55\n" + kEof, 0, 1},
    };
    for (const auto& r : rows) {
        std::vector<UInt8> image(16, 0xEE);
        UInt64 length = 16;
        EXPECT_EQ(ZUTIL_ParseIntelHexFile(r.text.c_str(), image.data(), &length), r.code) << r.name;
        EXPECT_EQ(length, r.length) << r.name;
        if (r.code == 0 && r.length == 4) {
            const std::vector<UInt8> expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0};
            EXPECT_EQ(image, expected);
        }
    }
    UInt64 length = 16;
    UInt8 image[16];
    EXPECT_EQ(ZUTIL_ParseIntelHexFile(nullptr, image, &length), 17);
    EXPECT_EQ(ZUTIL_ParseIntelHexFile(kEof.c_str(), nullptr, &length), 17);
    EXPECT_EQ(ZUTIL_ParseIntelHexFile(kEof.c_str(), image, nullptr), 17);
}

TEST(ZelkUtil, IntelHexBaseAndGapsMatchObjcopy) {
    TempDir dir;
    std::string text = record(4, 0, {0, 0}) + record(0, 0x0000, {0x11, 0x22, 0x33});
    text += record(0, 0x0100, {0x44, 0x55});  // a gap of zeros between
    text += record(4, 0, {0x00, 0x01});       // base 0x10000
    text += record(0, 0x0002, {0x66, 0x77, 0x88, 0x99});
    text += kEof;
    const std::string hex = dir.file("fw.hex"), bin = dir.file("fw.bin");
    nktest::writeFile(hex, text);

    std::vector<UInt8> image(0x20000, 0xEE);
    UInt64 length = image.size(), extent = 0;
    ASSERT_EQ(ZUTIL_ParseIntelHexFile(text.c_str(), image.data(), &length, &extent), 0);
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(extent, 0x10006u);
    EXPECT_EQ(image[0x10002], 0x66);

    int status = -1;
    nktest::runCommand("objcopy -I ihex -O binary " + hex + " " + bin + " 2>&1", &status);
    if (status != 0) GTEST_SKIP() << "no objcopy";
    const std::string reference = nktest::readFile(bin);
    ASSERT_EQ(reference.size(), extent);
    EXPECT_EQ(std::memcmp(reference.data(), image.data(), extent), 0);
}

namespace {

// A tool folder of shell scripts standing in for the multitouch tools.
struct ToolFolder {
    TempDir dir;
    zelk::roots::Folders saved = zelk::roots::get();
    ToolFolder() {
        zelk::roots::Folders f = saved;
        f.tool = dir.path().string();
        zelk::roots::set(f);
    }
    ~ToolFolder() { zelk::roots::set(saved); }
    void tool(const char* name, const std::string& body) {
        const std::string path = dir.file(name);
        nktest::writeFile(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
    }
};

}  // namespace

TEST(ZelkUtil, MultitouchFirmwareVersion) {
    ToolFolder folder;
    EXPECT_EQ(ZUTIL_GetMultitouchFirmwareVersion(1), 0xFFFFFFFFu);  // no tool
    // The argument reaches the tool as one word, and the output's tail past 1,024 bytes is dropped.
    folder.tool(kZelk_multitouchTestTool,
                "[ \"$1\" = -versions ] || exit 3\n"
                "echo 'Device list'\n"
                "echo 'Version 0x1A2B (0x3 kind), 12 X 34 ID 0x0000000100000002'\n"
                "echo 'Version 0x0C0D (0x105), 1 X 2 ID 0x0000000000000003'\n"
                "head -c 3000 /dev/zero | tr '\\0' 'z'; echo 'Version 0x7777 (0x9)'\n");
    EXPECT_EQ(ZUTIL_GetMultitouchFirmwareVersion(3), 0x1A2Bu);
    EXPECT_EQ(ZUTIL_GetMultitouchFirmwareVersion(5), 0x0C0Du);  // the kind's low 8 bits
    EXPECT_EQ(ZUTIL_GetMultitouchFirmwareVersion(0x105), 0xFFFFFFFFu);
    EXPECT_EQ(ZUTIL_GetMultitouchFirmwareVersion(9), 0xFFFFFFFFu);  // beyond the kept output
    folder.tool(kZelk_multitouchTestTool, "echo 'no versions here'\n");
    EXPECT_EQ(ZUTIL_GetMultitouchFirmwareVersion(3), 0xFFFFFFFFu);
}

TEST(ZelkUtil, MultitouchCriticalError) {
    ToolFolder folder;
    EXPECT_EQ(ZUTIL_GetMultitouchCriticalError(), 0xFFFFFFFFu);
    const struct {
        const char* output;
        UInt32 value;
    } rows[] = {
        {"report 0x7f\n0000: 01 02 0A FF 55\n", 0xFF0A0201u},
        {"0000: 1 2\n", 0x0201u},
        {"Error: no device\n0000: 01 02 03 04\n", 0xFFFFFFFFu},
        {"nothing\n", 0xFFFFFFFFu},
    };
    for (const auto& r : rows) {
        folder.tool(kZelk_multitouchReportTool,
                    std::string("[ \"$1 $2\" = 'get 0x7f' ] || exit 3\nprintf '%s' '") + r.output + "'\n");
        EXPECT_EQ(ZUTIL_GetMultitouchCriticalError(), r.value) << r.output;
    }
    // The arguments arrive as an argument vector of two words, never split again by a shell.
    folder.tool(kZelk_multitouchReportTool, "echo \"0000: $# 00 00 00\"\n");
    EXPECT_EQ(ZUTIL_GetMultitouchCriticalError(), 2u);
}

TEST(ZelkUtil, ImageFlipsAndCrops) {
    UInt8 img[16];
    for (int i = 0; i < 16; ++i) img[i] = static_cast<UInt8>(i);
    ZUTIL_CropImageUInt8(img, 4, 4, 1, 1, 2, 2);
    EXPECT_EQ(std::vector<UInt8>(img, img + 4), (std::vector<UInt8>{5, 6, 9, 10}));

    UInt16 rows3[6] = {1, 2, 3, 4, 5, 6};
    ZUTIL_FlipImageUInt16_Vertical(rows3, 2, 3);
    EXPECT_EQ(std::vector<UInt16>(rows3, rows3 + 6), (std::vector<UInt16>{5, 6, 3, 4, 1, 2}));
    double d[6] = {1, 2, 3, 4, 5, 6};
    ZUTIL_FlipImage_Horizontal(d, sizeof(double), 3, 2);
    EXPECT_EQ(std::vector<double>(d, d + 6), (std::vector<double>{3, 2, 1, 6, 5, 4}));
    ZUTIL_FlipImage_Vertical(d, sizeof(double), 3, 2);
    EXPECT_EQ(std::vector<double>(d, d + 6), (std::vector<double>{6, 5, 4, 3, 2, 1}));

    // Three-byte elements crop as whole elements.
    UInt8 rgb[12] = {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4};
    ZUTIL_CropImage(rgb, 3, 2, 2, 1, 1, 1, 1);
    EXPECT_EQ(std::vector<UInt8>(rgb, rgb + 3), (std::vector<UInt8>{4, 4, 4}));

    // Windows outside the image are refused: nothing moves.
    const struct {
        SInt32 x, y, w, h;
    } outside[] = {{3, 0, 2, 1}, {0, 3, 1, 2}, {-1, 0, 1, 1}, {0, 0, 5, 1}, {0, 0, 0, 1}};
    for (const auto& o : outside) {
        for (int i = 0; i < 16; ++i) img[i] = static_cast<UInt8>(i);
        ZUTIL_CropImageUInt8(img, 4, 4, o.x, o.y, o.w, o.h);
        ZUTIL_CropImage(img, 1, 4, 4, o.x, o.y, o.w, o.h);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(img[i], i) << o.x << "," << o.y;
    }
}
