// The map pictures read back by Pillow, with PNG copies to look at.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "nk_error.h"
#include "nk_gtest_util.h"
#include "nk_picture.h"
#include "nk_test_util.h"

using nktest::TempDir;

namespace {

// Prints "mode width height" and then, for each "x,y" asked, "r g b" of that pixel;
// with a third argument, saves a PNG copy there.
const char* kPixels = R"PY(
import sys
from PIL import Image
im = Image.open(sys.argv[1])
im.load()
print(im.format, im.mode, im.width, im.height)
for xy in sys.argv[2].split(";") if sys.argv[2] else []:
    x, y = map(int, xy.split(","))
    print(*im.convert("RGB").getpixel((x, y))[:3])
if len(sys.argv) > 3:
    im.convert("RGB").save(sys.argv[3])
)PY";

std::string pixels(const TempDir& dir, const std::string& file, const std::string& at, const std::string& png = "") {
    return nktest::runPython(dir, kPixels, file + " '" + at + "'" + (png.empty() ? "" : " " + png), "pixels.py");
}

// Rows below the map (picture rows 8 and on) holding dark pixels: the note's text.
std::vector<int> darkRows(const TempDir& dir, const std::string& file) {
    const char* kDark = R"PY(
import sys
from PIL import Image
im = Image.open(sys.argv[1]).convert("RGB")
print(*[y for y in range(8, im.height) if any(max(im.getpixel((x, y))) < 128 for x in range(im.width))])
)PY";
    std::istringstream out(nktest::runPython(dir, kDark, file, "dark.py"));
    std::vector<int> rows;
    for (int y; out >> y;) rows.push_back(y);
    return rows;
}

std::string screenshot(const char* name) {
    std::filesystem::create_directories(NK_SCREENSHOT_DIR);
    return std::string(NK_SCREENSHOT_DIR) + "/" + name;
}

}  // namespace

TEST(NkPicture, HopsImageScalesGreyBetweenItsLimits) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with Pillow is not installed";
    const double none = kNK_noValue;
    const float nan = std::nanf("");
    const struct {
        const char* name;
        std::vector<float> map;
        int width, height;
        double sigma, lower, upper;
        const char* greys;  // row after row
    } rows[] = {
        // A flat map has no range: white, never a division by zero.
        {"uniform", {5, 5, 5, 5}, 2, 2, none, none, none, "255 255 255 255"},
        {"limits", {25}, 1, 1, none, 0, 100, "191"},
        {"lower only", {25}, 1, 1, none, 0, none, "0"},
        {"upper only", {25}, 1, 1, none, none, 50, "255"},
        // High values dark; row 0 is the picture's top row.
        {"span", {0, 50, 100, 100, 50, 0}, 3, 2, none, none, none, "255 128 0 0 128 255"},
        // The values within one standard deviation set the scale; the outlier is clamped.
        {"sigma", {10, 20, 30, 40, 1000}, 5, 1, 1, none, none, "255 170 85 0 0"},
        // A band that keeps nothing leaves the whole map's range.
        {"empty band", {0, 50, 100}, 3, 1, -1, none, none, "255 128 0"},
        // A value without a place on the scale is white.
        {"nan", {0, nan, 100}, 3, 1, none, none, none, "255 255 0"},
    };
    TempDir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string file = dir.file("hops.tif");
        ASSERT_EQ(nkImg_exportHopsImage(nullptr, file.c_str(), row.map.data(), row.width, row.height, row.sigma,
                                        row.lower, row.upper),
                  kNKErr_OK);
        std::string at;
        for (int y = 0; y < row.height; ++y)
            for (int x = 0; x < row.width; ++x) at += (at.empty() ? "" : ";") + std::to_string(x) + "," + std::to_string(y);
        std::istringstream out(pixels(dir, file, at));
        std::string format, mode;
        int w = 0, h = 0;
        out >> format >> mode >> w >> h;
        EXPECT_EQ(format, "TIFF");
        EXPECT_EQ(mode, "RGB");
        EXPECT_EQ(w, row.width);
        EXPECT_EQ(h, row.height);
        std::string greys;
        int r, g, b;
        while (out >> r >> g >> b) {
            EXPECT_TRUE(r == g && g == b) << r << " " << g << " " << b;
            greys += (greys.empty() ? "" : " ") + std::to_string(r);
        }
        EXPECT_EQ(greys, row.greys);
    }

    // A picture to look at: a ramp with a dark spot, scaled within two sigma.
    std::vector<float> map(64 * 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            map[y * 64 + x] = static_cast<float>(x + y) + (std::hypot(x - 40, y - 16) < 6 ? 400.0f : 0.0f);
    const std::string tif = dir.file("look.tif");
    ASSERT_EQ(nkImg_exportHopsImage(nullptr, tif.c_str(), map.data(), 64, 48, 2, none, none), kNKErr_OK);
    pixels(dir, tif, "", screenshot("morvell_hops.png"));
}

TEST(NkPicture, BadPixelMapMarksValuesBeyondTwo) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with Pillow is not installed";
    TempDir dir;
    // 20 x 2 values; the marked ones in the first three columns.
    std::vector<float> map(40, 0.0f);
    const float row0[] = {1.5f, -2.0f, 2.5f}, row1[] = {-20.0f, 20.0f, -6.0f};
    for (int j = 0; j < 3; ++j) map[j] = row0[j], map[20 + j] = row1[j];
    const std::string file = dir.file("bad.jp2");
    const char* note = "first\nsecond";
    ASSERT_EQ(nkImg_exportBadPixelMap(nullptr, file.c_str(), map.data(), "unused", 20, 2, note), kNKErr_OK);

    // Cell centres, row 0 at the top.
    std::istringstream out(pixels(dir, file, "1,1;5,1;9,1;1,5;5,5;9,5;13,5"));
    std::string format, mode;
    int w = 0, h = 0;
    out >> format >> mode >> w >> h;
    EXPECT_EQ(format, "JPEG2000");
    EXPECT_EQ(w, 80);
    EXPECT_EQ(h, 48);
    const struct {
        const char* what;
        int r, g, b;
    } cells[] = {
        {"1.5", 255, 255, 255}, {"-2", 255, 255, 255},  {"2.5 light red", 255, 207, 207},
        {"-20 blue", 64, 64, 255}, {"20 red", 255, 64, 64}, {"-6", 140, 140, 255}, {"0", 255, 255, 255},
    };
    for (const auto& c : cells) {
        int r = -1, g = -1, b = -1;
        out >> r >> g >> b;
        // Alpha 0.75 over white, within the rounding of a blend.
        EXPECT_NEAR(r, c.r, 1) << c.what;
        EXPECT_NEAR(g, c.g, 1) << c.what;
        EXPECT_NEAR(b, c.b, 1) << c.what;
    }
    EXPECT_STREQ(note, "first\nsecond");

    // The note lines stand on baselines 30 and 20 (y up), picture rows 18 and 28: a second
    // line of the same text is the first one 10 rows lower.
    const std::string one = dir.file("one.jp2"), two = dir.file("two.jp2");
    ASSERT_EQ(nkImg_exportBadPixelMap(nullptr, one.c_str(), map.data(), "", 20, 2, "first"), kNKErr_OK);
    ASSERT_EQ(nkImg_exportBadPixelMap(nullptr, two.c_str(), map.data(), "", 20, 2, "first\nfirst"), kNKErr_OK);
    const std::vector<int> oneRows = darkRows(dir, one), twoRows = darkRows(dir, two);
    ASSERT_FALSE(oneRows.empty());
    EXPECT_GE(oneRows.front(), 9);  // below the map and its frame
    EXPECT_TRUE(oneRows.back() == 17 || oneRows.back() == 18) << oneRows.back();
    std::vector<int> shifted = oneRows;
    for (int y : oneRows)
        if (std::find(oneRows.begin(), oneRows.end(), y + 10) == oneRows.end()) shifted.push_back(y + 10);
    std::sort(shifted.begin(), shifted.end());
    EXPECT_EQ(twoRows, shifted);

    // A picture to look at: a field of deviations with both signs, and two note lines.
    std::vector<float> field(60 * 40);
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 60; ++j)
            field[i * 60 + j] = static_cast<float>(12.0 * std::sin(j / 7.0) * std::cos(i / 9.0));
    const std::string look = dir.file("look.jp2");
    ASSERT_EQ(nkImg_exportBadPixelMap(nullptr, look.c_str(), field.data(), nullptr, 60, 40,
                                      "bad pixels: 60 x 40\nred > 2, blue < -2"),
              kNKErr_OK);
    pixels(dir, look, "", screenshot("morvell_badpixel.png"));
}

TEST(NkPicture, ErrorsAreReportedAndReturned) {
    TempDir dir;
    const float map[4] = {1, 2, 3, 4};
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    const std::string folder = dir.file("folder"), file = dir.file("p");
    const struct {
        const char* name;
        const char* file;
        const float* map;
        int width, height;
        u16 code;
    } rows[] = {
        {"no name", nullptr, map, 2, 2, kNKErr_invalidPointer},
        {"empty name", "", map, 2, 2, kNKErr_invalidPointer},
        {"no map", file.c_str(), nullptr, 2, 2, kNKErr_invalidPointer},
        {"no width", file.c_str(), map, 0, 2, kNKErr_invalidParam},
        {"negative height", file.c_str(), map, 2, -1, kNKErr_invalidParam},
        {"a folder at the name", folder.c_str(), map, 2, 2, kNKErr_fileWriteFailed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        nktest::StderrCapture err;
        EXPECT_EQ(nkImg_exportHopsImage(nullptr, row.file, row.map, row.width, row.height, kNK_noValue, kNK_noValue,
                                        kNK_noValue),
                  row.code);
        EXPECT_EQ(nkImg_exportBadPixelMap(nullptr, row.file, row.map, "t", row.width, row.height, "n"), row.code);
        const std::string text = err.take();
        EXPECT_NE(text.find("nkImg_exportHopsImage"), std::string::npos) << text;
        EXPECT_NE(text.find("nkImg_exportBadPixelMap"), std::string::npos) << text;
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}
