// Aperture finders on synthetic camera images: a masked strip above a lit
// area, a textured aperture inside it, dark background around it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "nk_test_util.h"
#include "nk_velora.h"

namespace {

struct Scene {
    u64 w = 600, h = 800;
    std::function<u64(u64)> top = [](u64) { return u64{20}; };  // first lit row per column
    u64 apX0 = 100, apX1 = 499, apY0 = 300, apY1 = 599;         // aperture, inclusive
    u8 offset = 0;                                              // tells companions apart
};

CNK_velora_image render(const Scene& s) {
    std::vector<u8> px(s.w * s.h);
    for (u64 y = 0; y < s.h; ++y)
        for (u64 x = 0; x < s.w; ++x) {
            u8 v = 255;
            if (y >= s.top(x)) {
                v = 10;
                if (x >= s.apX0 && x <= s.apX1 && y >= s.apY0 && y <= s.apY1)
                    v = static_cast<u8>(50 + 150 * ((x + y) % 2) + (x * 7 + y * 3) % 5);
                v = static_cast<u8>(v + s.offset);
            }
            px[y * s.w + x] = v;
        }
    return CNK_velora_image(px.data(), s.w, s.h);
}

CNK_velora_image crop(const CNK_velora_image& img, u64 x0, u64 y0, u64 w, u64 h) {
    std::vector<u8> px;
    for (u64 y = y0; y < y0 + h; ++y) px.insert(px.end(), img.d.begin() + (y * img.w + x0), img.d.begin() + (y * img.w + x0 + w));
    return CNK_velora_image(px.data(), w, h);
}

t_nkData_2d<double> asDoubles(const CNK_velora_image& img) {
    t_nkData_2d<double> dat;
    std::vector<double> v(img.d.begin(), img.d.end());
    dat.load(img.w, img.h, v.data(), v.size());
    return dat;
}

void expectSame(const CNK_velora_image& want, const CNK_velora_image& got) {
    ASSERT_TRUE(got.isValid());
    EXPECT_EQ(want.w, got.w);
    EXPECT_EQ(want.h, got.h);
    EXPECT_TRUE(want.d == got.d);
}

}  // namespace

TEST(VeloraAperture, FlatTopShiftsByOneHundredTwentyAndCutsTheAperture) {
    nktest::TempDir dir;
    const Scene scene;
    CNK_velora_image src = render(scene);
    Scene second = scene;
    second.offset = 1;
    std::vector<CNK_velora_image> comp{render(second)};
    const CNK_velora_image compSrc = comp[0];

    const CNK_velora_image out = nkVlra_detectAperture(src, &comp, true, dir.path().string());
    // Straightened rows 180..478 are source rows 300..598 (the band's last row is
    // where the profile falls, left out); columns 100..499, 400 wide.
    expectSame(crop(src, 100, 300, 400, 299), out);
    ASSERT_EQ(1u, comp.size());
    expectSame(crop(compSrc, 100, 300, 400, 299), comp[0]);

    // The straightened image keeps h - 120 rows; the intermediate files match.
    const CNK_velora_image flat1(dir.file("__flat_1.bmp"));
    expectSame(crop(src, 0, 120, 600, 680), flat1);
    expectSame(crop(src, 0, 300, 600, 299), CNK_velora_image(dir.file("__flat_2_v.bmp")));
    expectSame(out, CNK_velora_image(dir.file("__flat_3_c.bmp")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("__flat_4_square.bmp")));
}

TEST(VeloraAperture, BandWidthsRoundUpToMultiplesOfFour) {
    // right - left of 396 and 397 both give 400 columns from the left edge.
    struct Case {
        u64 last, width;
    } cases[] = {{495, 396}, {496, 400}, {497, 400}, {499, 400}};
    for (const Case& c : cases) {
        Scene s;
        s.apX1 = c.last;
        CNK_velora_image src = render(s);
        const CNK_velora_image out = nkVlra_detectAperture(src, nullptr, false);
        EXPECT_EQ(c.width, out.w) << c.last;
        expectSame(crop(src, 100, 300, c.width, 299), out);
    }
    // A band whose rounded width would reach past the image is refused.
    Scene s;
    s.apX0 = 101;
    s.apX1 = 598;
    CNK_velora_image src = render(s);
    EXPECT_FALSE(nkVlra_detectAperture(src, nullptr, false).isValid());
}

TEST(VeloraAperture, TiltedTopEdgeMovesEachColumnToItsHundredFirstLitRow) {
    // Top edge row 20 at column 0 to row 40 at the last column; each lit pixel
    // holds its index below the edge, so straightened row 0 reads 100 throughout.
    const u64 w = 21, h = 400;
    std::vector<u8> px(w * h, 255);
    for (u64 x = 0; x < w; ++x)
        for (u64 y = 20 + x; y < h; ++y) px[y * w + x] = static_cast<u8>(std::min<u64>(y - 20 - x, 254));
    CNK_velora_image src(px.data(), w, h);
    nktest::TempDir dir;
    // Rows without spread have no band: the search fails after straightening.
    EXPECT_FALSE(nkVlra_detectAperture(src, nullptr, true, dir.path().string()).isValid());
    const CNK_velora_image flat(dir.file("__flat_1.bmp"));
    ASSERT_TRUE(flat.isValid());
    EXPECT_EQ(w, flat.w);
    EXPECT_EQ(h - 140, flat.h);
    for (u64 y = 0; y < flat.h; ++y)
        for (u64 x = 0; x < w; ++x) ASSERT_EQ(std::min<u64>(100 + y, 254), flat.d[y * w + x]) << x << "," << y;
}

TEST(VeloraAperture, RefusesWhatDoesNotFitBeforeTouchingAnything) {
    nktest::TempDir dir;
    // Fewer than 101 rows below the top edge: shift 120 of 120 rows.
    Scene shortScene;
    shortScene.h = 120;
    CNK_velora_image shortImg = render(shortScene);
    std::vector<CNK_velora_image> comp{render(shortScene)};
    const std::vector<CNK_velora_image> before = comp;
    EXPECT_FALSE(nkVlra_detectAperture(shortImg, &comp, true, dir.path().string()).isValid());
    EXPECT_FALSE(nkVlra_detectRoundAperture(shortImg, &comp, true, dir.path().string()).isValid());
    EXPECT_TRUE(before[0].d == comp[0].d);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    // A fitted edge far above the image in one column: that column's shift is
    // negative even though the largest one is within the image.
    const u8 col[3] = {7, 7, 255};
    std::vector<u8> px(3 * 1000);
    for (u64 y = 0; y < 1000; ++y)
        for (u64 x = 0; x < 3; ++x) px[y * 3 + x] = y == 999 || x < 2 ? col[x] : 255;
    CNK_velora_image skew(px.data(), 3, 1000);
    EXPECT_FALSE(nkVlra_detectAperture(skew, nullptr, false).isValid());

    // An aperture that reaches the bottom never falls back below the threshold;
    // the search stays inside the profile.
    Scene low;
    low.apY1 = low.h - 1;
    CNK_velora_image lowImg = render(low);
    EXPECT_FALSE(nkVlra_detectAperture(lowImg, nullptr, false).isValid());
    EXPECT_FALSE(nkVlra_detectRoundAperture(lowImg, nullptr, false).isValid());

    // Companions of another size, an invalid source.
    CNK_velora_image good = render(Scene());
    std::vector<CNK_velora_image> wrong{shortImg};
    EXPECT_FALSE(nkVlra_detectAperture(good, &wrong, false).isValid());
    EXPECT_EQ(120u, wrong[0].h);
    CNK_velora_image empty;
    EXPECT_FALSE(nkVlra_detectAperture(empty, nullptr, false).isValid());
    EXPECT_FALSE(nkVlra_detectRoundAperture(empty, nullptr, false).isValid());
}

TEST(VeloraAperture, RoundFormSquaresAndContainerFormAgrees) {
    nktest::TempDir dir;
    CNK_velora_image src = render(Scene());
    Scene second;
    second.offset = 2;
    std::vector<CNK_velora_image> comp{render(second)};
    const CNK_velora_image compSrc = comp[0];
    // 400 x 299 is less than twice as wide as high: a centred 296 x 296 square.
    const CNK_velora_image out = nkVlra_detectRoundAperture(src, &comp, true, dir.path().string());
    expectSame(crop(src, 152, 301, 296, 296), out);
    expectSame(crop(compSrc, 152, 301, 296, 296), comp[0]);
    expectSame(out, CNK_velora_image(dir.file("__flat_4_square.bmp")));

    t_nkData_2d<double> dat = asDoubles(src);
    nkVlra_detectAperture(dat, false);
    ASSERT_TRUE(dat.isValid());
    EXPECT_EQ(296u, dat.width);
    EXPECT_EQ(296u, dat.height);
    EXPECT_EQ(asDoubles(out).data, dat.data);

    // A wide aperture stays as found.
    Scene wide;
    wide.apY0 = 300;
    wide.apY1 = 399;
    CNK_velora_image wideImg = render(wide);
    expectSame(crop(wideImg, 100, 300, 400, 99), nkVlra_detectRoundAperture(wideImg, nullptr, false));
    t_nkData_2d<double> wideDat = asDoubles(wideImg);
    nkVlra_detectAperture(wideDat, false);
    EXPECT_EQ(asDoubles(crop(wideImg, 100, 300, 400, 99)).data, wideDat.data);

    // The container form: an invalid one is left as it is, a failed search empties it.
    t_nkData_2d<double> broken = asDoubles(src);
    broken.data.pop_back();
    const size_t n = broken.data.size();
    nkVlra_detectAperture(broken, false);
    EXPECT_EQ(n, broken.data.size());
    Scene shortScene;
    shortScene.h = 120;
    t_nkData_2d<double> shortDat = asDoubles(render(shortScene));
    nkVlra_detectAperture(shortDat, false);
    EXPECT_FALSE(shortDat.isValid());
    EXPECT_TRUE(shortDat.data.empty());
}
