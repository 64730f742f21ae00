// The station image, the uniformity filters and figures, checked against a
// float32 numpy re-implementation and the filters' own edge cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "nk_test_util.h"
#include "nk_velora.h"
#include "velora_test_images.h"

namespace {

CNK_velora_image uniform(u64 w, u64 h, u8 v) {
    std::vector<u8> px(w * h, v);
    return CNK_velora_image(px.data(), w, h);
}

u8 at(const CNK_velora_image& img, u64 x, u64 y) { return img.d[y * img.w + x]; }
u8& at(CNK_velora_image& img, u64 x, u64 y) { return img.d[y * img.w + x]; }

std::vector<std::string> pillowInfo(const std::string& path) {
    // Pillow's view of a BMP: mode, size and the pixels top row first.
    const std::string out = nktest::runCommand(std::string(NK_PYTHON) +
        " -c \"import sys; from PIL import Image; im=Image.open(sys.argv[1]); im.load();"
        " print(im.mode, im.size[0], im.size[1]); print(' '.join(map(str, im.getdata())))\" '" + path + "' 2>&1");
    return nktest::splitLines(out);
}

std::string joined(const std::vector<u8>& px) {
    std::string s;
    for (size_t i = 0; i < px.size(); ++i) s += (i ? " " : "") + std::to_string(px[i]);
    return s;
}

// The rows of an image as a BMP reader shows them: the file's first row at the bottom.
std::vector<u8> bottomUp(const CNK_velora_image& img) {
    std::vector<u8> out;
    for (u64 i = 0; i < img.h; ++i) {
        const u8* row = img.d.data() + (img.h - 1 - i) * img.w;
        out.insert(out.end(), row, row + img.w);
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// The image value.

TEST(VeloraImage, BuildsFromBytesAndChecksItsSize) {
    const u8 px[6] = {1, 2, 3, 4, 5, 255};
    CNK_velora_image img(px, 3, 2);
    ASSERT_TRUE(img.isValid());
    EXPECT_EQ(3u, img.w);
    EXPECT_EQ(2u, img.h);
    EXPECT_EQ((std::vector<u8>{1, 2, 3, 4, 5}), img.get_valid_data());

    EXPECT_FALSE(CNK_velora_image(nullptr, 3, 2).isValid());
    EXPECT_FALSE(CNK_velora_image(px, 0, 2).isValid());
    EXPECT_FALSE(CNK_velora_image(px, u64{1} << 40, u64{1} << 40).isValid());  // w*h overflows
    // A pixel vector that disagrees with w x h is not an image any filter may read.
    img.d.pop_back();
    EXPECT_FALSE(img.isValid());
    EXPECT_TRUE(img.get_valid_data().empty());
    EXPECT_EQ(kNKErr_invalidCondition, img.save("/nonexistent/x.bmp"));
    EXPECT_TRUE(std::isnan(img.aspect_ratio()));
    EXPECT_FALSE(nkVlra_scale(img, 2, 2, false).isValid());
}

TEST(VeloraImage, AspectRatio) {
    EXPECT_FLOAT_EQ(2.5f, uniform(1000, 400, 1).aspect_ratio());
    EXPECT_FLOAT_EQ(2.5f, uniform(400, 1000, 1).aspect_ratio());
    EXPECT_FLOAT_EQ(1.0f, uniform(176, 176, 1).aspect_ratio());
    EXPECT_TRUE(std::isnan(CNK_velora_image().aspect_ratio()));
}

TEST(VeloraImage, PrintsRowsWithMaskedPixelsBlank) {
    const u8 px[4] = {1, 255, 30, 4};
    CNK_velora_image img(px, 2, 2);
    testing::internal::CaptureStdout();
    img.printImage("flat", false);
    img.printImage("", true);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("* flat - image data (2x2) *|\n[  0]\t  1\t|\n[  1]\t 30\t  4"
              "* image data (2x2) *|\n[  1]\t 30\t  4|\n[  0]\t  1\t",
              out);
}

TEST(VeloraImage, SavedImagesReadBackInPillowAndHere) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    // Widths with and without row padding.
    for (u64 w : {8u, 5u, 3u}) {
        std::vector<u8> px(w * 3);
        for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<u8>(i * 13);
        CNK_velora_image img(px.data(), w, 3);
        const std::string path = dir.file("w" + std::to_string(w) + ".bmp");
        ASSERT_EQ(0, img.save(path));
        const auto lines = pillowInfo(path);
        ASSERT_EQ(2u, lines.size()) << w << ": " << (lines.empty() ? "" : lines[0]);
        EXPECT_EQ("L " + std::to_string(w) + " 3", lines[0]);
        EXPECT_EQ(joined(bottomUp(img)), lines[1]);
        const CNK_velora_image back(path);
        EXPECT_EQ(w, back.w);
        EXPECT_EQ(3u, back.h);
        EXPECT_EQ(img.d, back.d);
    }
    EXPECT_NE(0, uniform(2, 2, 1).save(dir.file("missing/x.bmp")));
}

TEST(VeloraImage, ReadsPaddedAndTopDownFilesAndRefusesShortOnes) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    const std::string padded = dir.file("p.bmp"), topdown = dir.file("t.bmp"), cut = dir.file("c.bmp");
    // Pillow writes 5 x 3 with rows padded to 8 bytes, bottom row first; a
    // top-down copy is the same file with the rows reversed and the height negated.
    const std::string script =
        "import struct, sys\n"
        "from PIL import Image\n"
        "im = Image.new('L', (5, 3))\n"
        "im.putdata([10 * y + x for y in range(3) for x in range(5)])\n"
        "im.save(sys.argv[1])\n"
        "b = bytearray(open(sys.argv[1], 'rb').read())\n"
        "off = struct.unpack_from('<I', b, 10)[0]\n"
        "rows = [b[off + 8 * i: off + 8 * i + 8] for i in range(3)]\n"
        "struct.pack_into('<i', b, 22, -3)\n"
        "open(sys.argv[2], 'wb').write(bytes(b[:off]) + b''.join(reversed(rows)))\n"
        "struct.pack_into('<i', b, 22, 3)\n"
        "struct.pack_into('<I', b, 34, 0)\n"
        "open(sys.argv[3], 'wb').write(bytes(b[:off + 21]))\n";
    const std::string py = dir.file("mk.py");
    nktest::writeFile(py, script);
    int status = -1;
    nktest::runCommand(std::string(NK_PYTHON) + " " + py + " " + padded + " " + topdown + " " + cut, &status);
    ASSERT_EQ(0, status);

    const CNK_velora_image a(padded);
    ASSERT_TRUE(a.isValid());
    EXPECT_EQ(5u, a.w);
    EXPECT_EQ(3u, a.h);
    EXPECT_EQ((std::vector<u8>{20, 21, 22, 23, 24, 10, 11, 12, 13, 14, 0, 1, 2, 3, 4}), a.d);
    const CNK_velora_image b(topdown);
    ASSERT_TRUE(b.isValid());
    EXPECT_EQ(3u, b.h);
    EXPECT_EQ((std::vector<u8>{0, 1, 2, 3, 4, 10, 11, 12, 13, 14, 20, 21, 22, 23, 24}), b.d);
    // No image size in the header and the last row's padding missing: every
    // pixel is still there. One byte less and the last pixel is not.
    EXPECT_TRUE(CNK_velora_image(cut).isValid());
    nktest::writeFile(cut, nktest::readFile(cut).substr(0, 1078 + 20));
    EXPECT_FALSE(CNK_velora_image(cut).isValid());
    EXPECT_FALSE(CNK_velora_image(dir.file("none.bmp")).isValid());
}

// ---------------------------------------------------------------------------
// Filters against numpy.

namespace {

struct OracleRun {
    std::vector<u8> scale, aperture, low, high;
    std::vector<double> figures;
};

OracleRun runOracle(const CNK_velora_image& src, u64 newW, u64 newH, u64 r) {
    nktest::TempDir dir;
    const std::string in = dir.file("src.raw");
    nktest::writeFile(in, std::string(src.d.begin(), src.d.end()));
    std::ostringstream cmd;
    cmd << NK_PYTHON << " " << NK_TEST_DATA_DIR << "/velora_oracle.py " << in << " " << src.w << " " << src.h << " "
        << newW << " " << newH << " " << r << " 10 0.5 " << dir.path().string();
    int status = -1;
    const std::string out = nktest::runCommand(cmd.str(), &status);
    OracleRun run;
    EXPECT_EQ(0, status) << out;
    std::istringstream figs(out);
    std::string tok;
    while (figs >> tok) run.figures.push_back(std::stod(tok));
    const auto load = [&](const char* name) {
        const std::string b = nktest::readFile(dir.file(name));
        return std::vector<u8>(b.begin(), b.end());
    };
    run.scale = load("scale.raw");
    run.aperture = load("aperture.raw");
    run.low = load("low.raw");
    run.high = load("high.raw");
    return run;
}

void expectFigures(const std::vector<double>& want, const t_nkVlraUnifData& got) {
    ASSERT_EQ(static_cast<size_t>(kNKVlra_unifCount), want.size());
    for (int i = 0; i < kNKVlra_unifCount; ++i) {
        if (std::isnan(want[i])) {
            EXPECT_TRUE(std::isnan(got[i])) << kNKVlra_unifNames[i];
            continue;
        }
        EXPECT_NEAR(want[i], got[i], 1e-9 * std::max(1.0, std::fabs(want[i]))) << kNKVlra_unifNames[i];
    }
}

}  // namespace

TEST(VeloraPipeline, EqualsNumpyOnBothRoads) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    struct Road {
        u64 w, h, newW, newH, r;
        unsigned seed;
    } roads[] = {
        {1000, 400, 800, 100, 50, 1}, {1000, 400, 800, 100, 50, 2},  {600, 400, 176, 176, 88, 3},
        {600, 600, 176, 176, 88, 4},  {1760, 1760, 176, 176, 88, 5}, {130, 90, 176, 176, 88, 6},  // enlarged
    };
    for (const Road& rd : roads) {
        SCOPED_TRACE(testing::Message() << rd.w << "x" << rd.h << " seed " << rd.seed);
        CNK_velora_image src = nktest::flatField(rd.w, rd.h, rd.seed);
        CNK_velora_image sc = nkVlra_scale(src, static_cast<float>(rd.newW), static_cast<float>(rd.newH), false);
        CNK_velora_image ap = nkVlra_clear_edge(sc, rd.r, false);
        CNK_velora_image lf = nkVlra_wnd_fltr_2d(ap, 10, 0.5f, false);
        CNK_velora_image hf = nkVlra_high_freq(ap, lf, false);
        const t_nkVlraUnifData fig = nkVlra_get_unif_data(ap, lf, hf, false);

        const OracleRun want = runOracle(src, rd.newW, rd.newH, rd.r);
        EXPECT_EQ(want.scale, sc.d);
        EXPECT_EQ(want.aperture, ap.d);
        EXPECT_EQ(want.low, lf.d);
        EXPECT_EQ(want.high, hf.d);
        expectFigures(want.figures, fig);
        // A real field has some of everything: masked pixels, spread and hot or dark ones.
        EXPECT_GT(fig[0], 100.0);
        EXPECT_LT(fig[2], -5.0);
    }
}

// ---------------------------------------------------------------------------
// Edge cases of the filters.

TEST(VeloraFilters, ScaleBoxes) {
    // 1760 -> 176 columns (sx = 10): output column 0 averages source columns
    // 0..6, column 1 columns 5..16. One lit column of 70 shows which boxes take it.
    struct Case {
        u64 litColumn;
        u8 out0, out1;
    } cases[] = {{0, 10, 0}, {4, 10, 0}, {5, 10, 6}, {6, 10, 6}, {7, 0, 6}, {16, 0, 6}, {17, 0, 0}};
    for (const Case& c : cases) {
        CNK_velora_image img = uniform(1760, 10, 0);
        for (u64 y = 0; y < img.h; ++y) at(img, c.litColumn, y) = 70;
        const CNK_velora_image out = nkVlra_scale(img, 176, 10, false);
        ASSERT_EQ(176u, out.w);
        ASSERT_EQ(10u, out.h);
        EXPECT_EQ(c.out0, at(out, 0, 5)) << c.litColumn;
        EXPECT_EQ(c.out1, at(out, 1, 5)) << c.litColumn;
    }
    CNK_velora_image flat = uniform(1000, 400, 120), masked = uniform(600, 400, 255);
    EXPECT_EQ(std::vector<u8>(800 * 100, 120), nkVlra_scale(flat, 800, 100, false).d);
    EXPECT_EQ(std::vector<u8>(176 * 176, 254), nkVlra_scale(masked, 176, 176, false).d);
    // A fractional size is cut to whole pixels; sizes below one pixel are refused.
    const CNK_velora_image frac = nkVlra_scale(flat, 176.7f, 10.2f, false);
    EXPECT_EQ(176u, frac.w);
    EXPECT_EQ(10u, frac.h);
    EXPECT_TRUE(frac.isValid());
    for (float bad : {0.5f, -3.0f, NAN, INFINITY}) EXPECT_FALSE(nkVlra_scale(flat, bad, 10, false).isValid()) << bad;
    // Enlarging far beyond the source reads its last pixel rather than an empty box.
    const u8 two[2] = {40, 90};
    CNK_velora_image tiny(two, 2, 1);
    EXPECT_EQ((std::vector<u8>{65, 65, 65, 90, 90, 90, 90, 90, 90, 90}), nkVlra_scale(tiny, 10, 1, false).d);
}

TEST(VeloraFilters, StadiumMask) {
    CNK_velora_image img = uniform(176, 176, 100);
    at(img, 20, 88) = 255;   // kept cap pixel
    at(img, 88, 0) = 255;    // band pixel
    const CNK_velora_image out = nkVlra_clear_edge(img, 88, false);
    struct Case {
        u64 x, y;
        u8 want;
    } cases[] = {
        {0, 88, 100},  {0, 87, 255},  {0, 89, 255},  // dist 88 kept, 88.006 masked
        {175, 87, 100}, {175, 1, 255},               // the right cap's centre column is 88 too
        {88, 0, 255},  {88, 175, 100}, {87, 0, 255}, {89, 0, 255},                    // column 88 kept whole
        {20, 88, 254}, {0, 0, 255},   {88, 88, 100},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, at(out, c.x, c.y)) << c.x << "," << c.y;

    // r = 50 on 800 x 100: a full-height stadium, the band columns untouched.
    CNK_velora_image wide = uniform(800, 100, 60);
    const CNK_velora_image w2 = nkVlra_clear_edge(wide, 50, false);
    EXPECT_EQ(60, at(w2, 0, 50));
    EXPECT_EQ(255, at(w2, 0, 49));
    EXPECT_EQ(60, at(w2, 400, 0));
    EXPECT_EQ(60, at(w2, 750, 99));
    EXPECT_EQ(255, at(w2, 799, 0));

    // The double form masks with the sentinel and caps nothing.
    t_nkData_2d<double> dat;
    std::vector<double> vals(176 * 176, 300.0);
    ASSERT_EQ(0, dat.load(176, 176, vals.data(), vals.size()));
    nkVlra_clear_edge(dat, 88);
    EXPECT_EQ(300.0, dat.data[88 * 176 + 0]);
    EXPECT_EQ(kNK_noValue, dat.data[87 * 176 + 0]);
    EXPECT_EQ(300.0, dat.data[0 * 176 + 88]);
    dat.data.pop_back();
    const std::vector<double> before = dat.data;
    nkVlra_clear_edge(dat, 88);  // refused, unchanged
    EXPECT_EQ(before, dat.data);
    // Radii larger than the image: every pixel is in a cap, nothing breaks.
    CNK_velora_image small = uniform(4, 4, 7);
    EXPECT_TRUE(nkVlra_clear_edge(small, u64{1} << 62, false).isValid());
}

TEST(VeloraFilters, WindowFilter) {
    // Every level of a uniform field comes back unchanged, also inside a stadium.
    for (int v = 0; v <= 254; ++v) {
        CNK_velora_image img = uniform(40, 30, static_cast<u8>(v));
        ASSERT_EQ(img.d, nkVlra_wnd_fltr_2d(img, 10, 0.5f, false).d) << v;
        CNK_velora_image ap = nkVlra_clear_edge(img, 15, false);
        ASSERT_EQ(ap.d, nkVlra_wnd_fltr_2d(ap, 10, 0.5f, false).d) << v;
    }
    // Masked pixels take no part: next to a masked half the mean is of the kept half.
    CNK_velora_image half = uniform(40, 30, 90);
    for (u64 y = 0; y < 30; ++y)
        for (u64 x = 20; x < 40; ++x) at(half, x, y) = 255;
    const CNK_velora_image out = nkVlra_wnd_fltr_2d(half, 10, 0.5f, false);
    for (u64 y = 0; y < 30; ++y) {
        EXPECT_EQ(90, at(out, 19, y));
        EXPECT_EQ(255, at(out, 20, y));
    }
    // One bright pixel: weights fall with the distance, down to 0.4 at (6, 6).
    CNK_velora_image spot = uniform(30, 30, 0);
    at(spot, 15, 15) = 200;
    const CNK_velora_image s = nkVlra_wnd_fltr_2d(spot, 10, 0.5f, false);
    EXPECT_GT(at(s, 15, 15), at(s, 14, 15));
    // A window reaches 5 pixels left and up, 6 right and down.
    EXPECT_GT(at(s, 9, 15), 0);
    EXPECT_EQ(0, at(s, 8, 15));
    EXPECT_GT(at(s, 20, 15), 0);
    EXPECT_EQ(0, at(s, 21, 15));
    EXPECT_GT(at(s, 15, 9), 0);
    EXPECT_EQ(0, at(s, 15, 8));
    EXPECT_GT(at(s, 15, 20), 0);
    EXPECT_EQ(0, at(s, 15, 21));
    // The container form gives the same pixels.
    t_nkData_2d<u8> dat;
    ASSERT_EQ(0, dat.load(spot.w, spot.h, spot.d.data(), spot.d.size()));
    const t_nkData_2d<u8> c = nkVlra_wnd_fltr_2d(dat, 10, 0.5f, false);
    EXPECT_EQ(s.d, c.data);
    EXPECT_EQ(30u, c.width);
    // Windows that have no radius or weights that are not numbers are refused.
    EXPECT_FALSE(nkVlra_wnd_fltr_2d(spot, 1, 0.5f, false).isValid());
    EXPECT_FALSE(nkVlra_wnd_fltr_2d(spot, 10, NAN, false).isValid());
    EXPECT_FALSE(nkVlra_wnd_fltr_2d(t_nkData_2d<u8>(), 10, 0.5f, false).isValid());
    // A huge window on a small image is the whole image.
    CNK_velora_image one = uniform(3, 2, 50);
    EXPECT_EQ(one.d, nkVlra_wnd_fltr_2d(one, u64{1} << 50, 0.5f, false).d);
}

TEST(VeloraFilters, HighFrequency) {
    const u8 ap[5] = {10, 180, 120, 255, 121};
    const u8 lf[5] = {120, 120, 120, 255, 120};
    CNK_velora_image a(ap, 5, 1), l(lf, 5, 1);
    EXPECT_EQ((std::vector<u8>{0, 254, 200, 255, 202}), nkVlra_high_freq(a, l, false).d);
    CNK_velora_image other = uniform(5, 2, 120), empty;
    EXPECT_FALSE(nkVlra_high_freq(a, other, false).isValid());
    EXPECT_FALSE(nkVlra_high_freq(a, empty, false).isValid());
    EXPECT_FALSE(nkVlra_high_freq(empty, l, false).isValid());
}

TEST(VeloraFilters, DebugFilesGoToTheGivenFolder) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    CNK_velora_image src = nktest::flatField(600, 400, 9);
    CNK_velora_image sc = nkVlra_scale(src, 176, 176, true, dir.path().string());
    CNK_velora_image ap = nkVlra_clear_edge(sc, 88, true, dir.path().string());
    CNK_velora_image lf = nkVlra_wnd_fltr_2d(ap, 10, 0.5f, true, dir.path().string());
    CNK_velora_image hf = nkVlra_high_freq(ap, lf, true, dir.path().string());
    nkVlra_get_internal(ap, 88, 10, true, dir.path().string());
    nkVlra_get_external(ap, 88, 10, true, dir.path().string());
    const struct {
        const char* name;
        const CNK_velora_image* img;
    } files[] = {{"__flat_5_scale.bmp", &sc},
                 {"__flat_6_apreture.bmp", &ap},
                 {"__flat_7_low_freq.bmp", &lf},
                 {"__flat_8_hgh_freq.bmp", &hf},
                 {"__flat_9_int.bmp", nullptr},
                 {"__flat_10_ext.bmp", nullptr}};
    for (const auto& f : files) {
        const auto lines = pillowInfo(dir.file(f.name));
        ASSERT_EQ(2u, lines.size()) << f.name;
        EXPECT_EQ("L 176 176", lines[0]) << f.name;
        if (f.img) {
            EXPECT_EQ(joined(bottomUp(*f.img)), lines[1]) << f.name;
        }
    }
    // Off, or no folder to write to: nothing is written.
    nktest::TempDir none;
    nkVlra_scale(src, 176, 176, false, none.path().string());
    EXPECT_TRUE(nkVlra_scale(src, 176, 176, true).isValid());
    EXPECT_TRUE(std::filesystem::is_empty(none.path()));
}

// ---------------------------------------------------------------------------
// Regions and figures.

TEST(VeloraFigures, Regions) {
    // r = 50 on 800 x 100: interior band rows 10..90, exterior the rows outside.
    CNK_velora_image ap = uniform(800, 100, 80);
    CNK_velora_image masked = nkVlra_clear_edge(ap, 50, false);
    const CNK_velora_image in = nkVlra_get_internal(masked, 50, 10, false);
    const CNK_velora_image ex = nkVlra_get_external(masked, 50, 10, false);
    for (u64 y = 0; y < 100; ++y) {
        const bool band = y >= 10 && y <= 90;
        EXPECT_EQ(band ? 80 : 255, at(in, 400, y)) << y;
        EXPECT_EQ(band ? 255 : 80, at(ex, 400, y)) << y;
    }
    // Caps: interior radius 40, the ring 40..50 exterior; exactly 40 is in both.
    EXPECT_EQ(80, at(in, 10, 50));   // dist 40
    EXPECT_EQ(80, at(ex, 10, 50));
    EXPECT_EQ(255, at(in, 9, 50));   // dist 41
    EXPECT_EQ(80, at(ex, 9, 50));
    EXPECT_EQ(255, at(ex, 0, 0));    // outside the stadium stays masked
    EXPECT_EQ(255, at(ex, 11, 50));
    // A margin wider than the radius leaves no interior cap.
    const CNK_velora_image none = nkVlra_get_internal(masked, 50, 60, false);
    EXPECT_EQ(255, at(none, 49, 50));
    CNK_velora_image empty;
    EXPECT_FALSE(nkVlra_get_internal(empty, 50, 10, false).isValid());
    EXPECT_FALSE(nkVlra_get_external(empty, 50, 10, false).isValid());
}

TEST(VeloraFigures, UniformFieldAndThresholds) {
    CNK_velora_image field = uniform(176, 176, 150);
    CNK_velora_image ap = nkVlra_clear_edge(field, 88, false);
    CNK_velora_image lf = nkVlra_wnd_fltr_2d(ap, 10, 0.5f, false);
    CNK_velora_image hf = nkVlra_high_freq(ap, lf, false);
    t_nkVlraUnifData f = nkVlra_get_unif_data(ap, lf, hf, false);
    EXPECT_EQ(150.0, f[0]);
    for (int i = 1; i < kNKVlra_unifCount; ++i) EXPECT_EQ(0.0, f[i]) << kNKVlra_unifNames[i];

    // INT_AVG stays exactly 150 with a pair of pixels balanced about it; only
    // values beyond 1.1 and 0.9 of it count.
    struct Case {
        u8 high, low;
        double hotShare, darkShare;
    } cases[] = {{165, 135, 0, 0}, {166, 134, 1, 1}};
    const CNK_velora_image interior = nkVlra_get_internal(ap, 88, 10, false);
    const double n = static_cast<double>(interior.get_valid_data().size());
    for (const Case& c : cases) {
        CNK_velora_image a = ap;
        at(a, 88, 88) = c.high;
        at(a, 88, 89) = c.low;
        const t_nkVlraUnifData g = nkVlra_get_unif_data(a, lf, hf, false);
        EXPECT_EQ(150.0, g[0]);
        EXPECT_NEAR((c.high - 150.0) / 150.0 * 100.0, g[1], 1e-12);
        EXPECT_FLOAT_EQ(static_cast<float>(c.darkShare / n * 100.0), static_cast<float>(g[3])) << int(c.high);
        EXPECT_FLOAT_EQ(static_cast<float>(c.hotShare / n * 100.0), static_cast<float>(g[4])) << int(c.high);
    }
    // High-frequency pixels: 230 gives exactly 10 % (not hot), 232 gives 10.67 % (hot).
    for (u8 v : {230, 232}) {
        CNK_velora_image h = hf;
        at(h, 88, 88) = v;
        const t_nkVlraUnifData g = nkVlra_get_unif_data(ap, lf, h, false);
        EXPECT_NEAR((v - 200.0) * 0.5 / 150.0 * 100.0, g[13], 1e-12);
        EXPECT_FLOAT_EQ(v == 232 ? static_cast<float>(1.0 / n * 100.0) : 0.0f, static_cast<float>(g[16])) << int(v);
        EXPECT_EQ(0.0, g[15]);
    }
    // One pixel of 170 in a field of 150 is about 13.3 % and hot.
    CNK_velora_image a = ap;
    at(a, 88, 88) = 170;
    const t_nkVlraUnifData g = nkVlra_get_unif_data(a, lf, hf, false);
    EXPECT_NEAR(13.3, g[1], 0.05);
    EXPECT_GT(g[4], 0.0);
}

TEST(VeloraFigures, InvalidInputsAndPrint) {
    CNK_velora_image ap = uniform(176, 176, 150), bad;
    for (int which = 0; which < 3; ++which) {
        CNK_velora_image a = which == 0 ? bad : ap, l = which == 1 ? bad : ap, h = which == 2 ? bad : ap;
        const t_nkVlraUnifData f = nkVlra_get_unif_data(a, l, h, false);
        for (double v : f) EXPECT_EQ(0.0, v);
    }
    // An all-masked aperture has no interior: NaN figures, nothing read out of range.
    CNK_velora_image dark = uniform(176, 176, 255), hf = uniform(176, 176, 200);
    const t_nkVlraUnifData n = nkVlra_get_unif_data(dark, dark, dark, false);
    for (double v : n) EXPECT_TRUE(std::isnan(v));

    testing::internal::CaptureStdout();
    nkVlra_get_unif_data(ap, ap, hf, true);
    const auto lines = nktest::splitLines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(22u, lines.size());
    EXPECT_EQ("INT_AVG                : 150.000", lines[0]);
    EXPECT_EQ("", lines[1]);
    EXPECT_EQ("INT_PCT_MAX            :    0.00 %", lines[2]);
    EXPECT_EQ("EXT_PCT_MIN            :    0.00 %", lines[7]);
    EXPECT_EQ("", lines[8]);
    EXPECT_EQ("LF_EXT_PCT_MIN         :    0.00 %", lines[14]);
    EXPECT_EQ("", lines[15]);
    EXPECT_EQ("HF_EXT_PCT_MIN         :    0.00 %", lines[21]);
}
