// JPEG 2000 pictures of the drawing context, read back by Pillow pixel for pixel.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "draw/pf_draw.h"
#include "nk_test_util.h"

namespace {

// Pillow's format name, size and every pixel as "r,g,b" in top-down order.
std::string pillowPixels(const std::string& path) {
    int status = -1;
    const std::string out = nktest::runCommand(
        std::string(NK_PYTHON) + " -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                                 "print(im.format, im.size); print(' '.join('%d,%d,%d' % p[:3] for p in "
                                 "im.convert('RGB').getdata()))\" " + path + " 2>&1",
        &status);
    return status == 0 ? out : "failed: " + out;
}

std::string contextPixels(const pf::draw::Context& ctx) {
    std::ostringstream s;
    for (int row = 0; row < ctx.height(); ++row)
        for (int x = 0; x < ctx.width(); ++x) {
            const uint32_t p = ctx.pixel(x, ctx.height() - 1 - row);
            if (row || x) s << ' ';
            s << ((p >> 16) & 0xFF) << ',' << ((p >> 8) & 0xFF) << ',' << (p & 0xFF);
        }
    return s.str();
}

TEST(DrawJpeg2000, LosslessFileAndCodestreamOfAnOddSizedPicture) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python with Pillow";
    // Odd and small sizes: the encoder must use fewer resolution levels.
    for (auto [w, h] : {std::pair{37, 23}, std::pair{1, 1}, std::pair{3, 200}}) {
        pf::draw::Context ctx(w, h);
        ASSERT_TRUE(ctx.isValid());
        ctx.setFillColor(1, 1, 1, 1);
        ctx.fillRect(0, 0, w, h);
        ctx.setFillColor(0.2, 0.6, 0.9, 1);
        ctx.fillRect(0, 0, (w + 1) / 2, (h + 1) / 2);
        ctx.setStrokeColor(1, 0, 0, 1);
        ctx.setAntialias(false);
        ctx.strokeLine(0, h - 0.5, w, 0.5);
        const std::string expected = contextPixels(ctx);

        nktest::TempDir dir;
        const std::string size = "(" + std::to_string(w) + ", " + std::to_string(h) + ")";
        ASSERT_TRUE(ctx.writeTo(dir.file("a.jp2"), "jp2"));
        EXPECT_EQ("JPEG2000 " + size + "\n" + expected + "\n", pillowPixels(dir.file("a.jp2")));
        ASSERT_TRUE(ctx.writeTo(dir.file("a.j2k"), "j2k"));
        EXPECT_EQ("JPEG2000 " + size + "\n" + expected + "\n", pillowPixels(dir.file("a.j2k")));
        // The file form starts with the JP2 signature box, the codestream with SOC and SIZ.
        EXPECT_EQ(std::string("\0\0\0\x0cjP  \r\n\x87\n", 12), nktest::readFile(dir.file("a.jp2")).substr(0, 12));
        EXPECT_EQ(std::string("\xff\x4f\xff\x51", 4), nktest::readFile(dir.file("a.j2k")).substr(0, 4));
    }
}

TEST(DrawJpeg2000, AnUnpaintedPixelIsWrittenWhite) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python with Pillow";
    // Opaque blue but for one pixel inside a row: the picture is not read as opaque,
    // and that pixel is flattened onto white.
    const int w = 37, h = 5, holeX = 20, holeY = 2;
    pf::draw::Context ctx(w, h);
    ASSERT_TRUE(ctx.isValid());
    ctx.setAntialias(false);
    ctx.setFillColor(0, 0, 1, 1);
    ctx.fillRect(0, 0, w, holeY);
    ctx.fillRect(0, holeY + 1, w, h - holeY - 1);
    ctx.fillRect(0, holeY, holeX, 1);
    ctx.fillRect(holeX + 1, holeY, w - holeX - 1, 1);
    std::string expected;
    for (int row = 0; row < h; ++row)
        for (int x = 0; x < w; ++x) {
            if (row || x) expected += ' ';
            expected += x == holeX && h - 1 - row == holeY ? "255,255,255" : "0,0,255";
        }
    nktest::TempDir dir;
    ASSERT_TRUE(ctx.writeTo(dir.file("hole.jp2"), "jp2"));
    EXPECT_EQ("JPEG2000 (37, 5)\n" + expected + "\n", pillowPixels(dir.file("hole.jp2")));
}

TEST(DrawJpeg2000, AFailedWriteLeavesThePreviousFile) {
    nktest::TempDir dir;
    pf::draw::Context ctx(16, 16);
    ASSERT_TRUE(ctx.isValid());
    const std::string path = dir.file("old.jp2");
    nktest::writeFile(path, "previous");
    std::filesystem::create_directory(dir.file("blocked.jp2"));
    EXPECT_FALSE(ctx.writeTo(dir.file("blocked.jp2"), "jp2"));
    EXPECT_FALSE(ctx.writeTo(dir.file("missing/x.jp2"), "jp2"));
    EXPECT_EQ("previous", nktest::readFile(path));
    ASSERT_TRUE(ctx.writeTo(path, "jp2"));
    EXPECT_NE("previous", nktest::readFile(path));
    EXPECT_EQ(1u, std::distance(std::filesystem::directory_iterator(dir.path()), {}) - 1);  // no temp file left
}

}  // namespace
