// The stored-packet parse tools: CSV files checked against numpy, BMP pixels
// read back by Pillow, and files that run short write nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "cvlra_parse_tools.h"
#include "nk_test_util.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

void putF(Bytes& b, float v) {
    uint8_t raw[4];
    std::memcpy(raw, &v, 4);
    b.insert(b.end(), raw, raw + 4);
}
void putU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// Two test points of three samples; one sample has white equal to dark.
Bytes twoPoints() {
    Bytes b{2};
    const float samples[2][3][4] = {
        {{400.0f, 10.5f, 1000.25f, 512.125f}, {402.0f, 11.0f, 990.0f, 700.3f}, {404.0f, 9.75f, 1010.0f, 0.0f}},
        {{400.0f, 3.0f, 3.0f, 7.0f}, {402.0f, 0.1f, 333.3f, 111.1f}, {404.0f, 2.0f, 1.0f, 5.5f}},
    };
    for (int p = 0; p < 2; ++p) {
        b.push_back(uint8_t(p + 7));
        putU32(b, 3);
        putF(b, 0.125f * float(p + 1));
        putF(b, -1.5f);
        putF(b, 2.0f / 3.0f);
        for (const auto& s : samples[p])
            for (float v : s) putF(b, v);
    }
    return b;
}

void writeBytes(const std::string& path, const Bytes& b) {
    nktest::writeFile(path, std::string(b.begin(), b.end()));
}

TEST(ParseTools, TransmittanceCsvEqualsNumpyInSinglePrecision) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Python";
    nktest::TempDir dir;
    const std::string packet = dir.file("unit_atst.bin");
    writeBytes(packet, twoPoints());
    fs::create_directories(dir.path() / "ours");
    fs::create_directories(dir.path() / "numpy");

    ASSERT_EQ(vlra_parseAtstFile(nullptr, packet, dir.file("ours")), 0);
    int status = -1;
    const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + NK_TEST_SOURCE_DIR +
                                                   "/stored_packet_oracle.py " + packet + " " + dir.file("numpy") + " 2>&1",
                                               &status);
    ASSERT_EQ(status, 0) << out;
    for (const char* name : {"raw_tp0.csv", "raw_tp1.csv"}) {
        const std::string ours = nktest::readFile(dir.file(std::string("ours/") + name));
        EXPECT_FALSE(ours.empty()) << name;
        EXPECT_EQ(ours, nktest::readFile(dir.file(std::string("numpy/") + name))) << name;
    }
    EXPECT_NE(nktest::readFile(dir.file("ours/raw_tp1.csv")).find("transmittance, inf, "), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.path() / "ours" / "raw_tp2.csv"));
}

TEST(ParseTools, FilesThatRunShortWriteNothing) {
    nktest::TempDir dir;
    const Bytes whole = twoPoints();
    Bytes moreThanThere = whole;
    moreThanThere[0] = 3;
    Bytes hugeCount = whole;
    std::memset(hugeCount.data() + 2, 0xFF, 4);  // first point claims 2^32 - 1 samples
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"last byte cut", Bytes(whole.begin(), whole.end() - 1)},
        {"inside a point head", Bytes(whole.begin(), whole.begin() + 10)},
        {"one point too many", moreThanThere},
        {"sample count past the end", hugeCount},
        {"empty", {}},
    };
    for (const Case& c : cases) {
        std::vector<t_vlraStoredAtstPoint> points;
        EXPECT_FALSE(vlra_parseStoredAtst(c.bytes.data(), c.bytes.size(), points)) << c.name;
        EXPECT_TRUE(points.empty()) << c.name;
        const std::string packet = dir.file("short.bin");
        writeBytes(packet, c.bytes);
        EXPECT_NE(vlra_parseAtstFile(nullptr, packet, dir.path().string()), 0) << c.name;
        EXPECT_FALSE(fs::exists(dir.path() / "raw_tp0.csv")) << c.name;
    }
    EXPECT_EQ(vlra_parseAtstFile(nullptr, dir.file("missing.bin"), dir.path().string()), 0xE040);
    EXPECT_EQ(vlra_parseAtstFile(nullptr, "", dir.path().string()), 0xE040);

    // Zero points is a whole file with nothing to write.
    const Bytes none{0};
    std::vector<t_vlraStoredAtstPoint> points;
    EXPECT_TRUE(vlra_parseStoredAtst(none.data(), none.size(), points));
    EXPECT_TRUE(points.empty());
}

TEST(ParseTools, UniformityImageBecomesABmpThatPillowReads) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Python";
    nktest::TempDir dir;
    constexpr uint16_t w = 7, h = 5;
    Bytes b(21, 0xEE);
    b[0] = w;
    b[1] = 0;
    b[2] = h;
    b[3] = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b.push_back(uint8_t(y * 40 + x * 3));
    const std::string packet = dir.file("unit_unif.bin");
    writeBytes(packet, b);
    std::string bmp;
    ASSERT_EQ(vlra_parseUnifFile(nullptr, packet, dir.path().string(), &bmp), 0);
    EXPECT_TRUE(bmp.size() > 14 && bmp.compare(bmp.size() - 9, 9, "_unif.bmp") == 0) << bmp;
    EXPECT_EQ(fs::path(bmp).filename().string().size(), 14 + 9u) << "yyyyMMddHHmmss_unif.bmp";

    int status = -1;
    const std::string out = nktest::runCommand(
        std::string(NK_PYTHON) + " -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                                 "print(im.mode, im.size[0], im.size[1]); print(list(im.getdata()))\" " +
            bmp + " 2>&1",
        &status);
    ASSERT_EQ(status, 0) << out;
    // The packet's rows go into the file in their order, as in the uniformity
    // item's received-image file; BMP rows run bottom-up, so a reader sees row 0 last.
    std::string expected = "L 7 5\n[";
    for (int y = h - 1; y >= 0; --y)
        for (int x = 0; x < w; ++x)
            expected += (y == h - 1 && x == 0 ? "" : ", ") + std::to_string(b[21 + y * w + x]);
    expected += "]\n";
    EXPECT_EQ(out, expected);

    // A head or image that runs past the end writes nothing.
    for (size_t cut : {size_t(3), size_t(20), b.size() - 1}) {
        nktest::TempDir empty;
        writeBytes(packet, Bytes(b.begin(), b.begin() + cut));
        EXPECT_NE(vlra_parseUnifFile(nullptr, packet, empty.path().string()), 0) << cut;
        EXPECT_TRUE(fs::is_empty(empty.path())) << cut;
    }
}

}  // namespace
