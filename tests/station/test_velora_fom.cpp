// Transmittance figures: calibration factor, wavelength correlation, beam
// weight, camera proportionality and the 2-D map.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "../library/math_oracle.h"
#include "nk_velora_utils.h"

namespace {

using nktest::oracle;
using TableF = std::vector<std::vector<float>>;

// ------------------------------------------------------------------ a factor

TEST(VeloraAfactor, KeysPickTheirMachineAndBank) {
    TableF table;
    for (int m = 0; m < 6; ++m) table.push_back({1.0f + m, 10.0f + m});
    table[4] = {0.0f, 0.0f};
    table[1] = {2.0f};  // a short row
    struct Case { const char* key; u16 rc; float factor; } cases[] = {
        {"CG05_3", 0, 15.0f},       // bank 3 is the second column
        {"CG02_4", 0, 3.0f},
        {"CG0_1", 0, 10.0f},
        {"CG09_2", 88, 1.0f},       // no such machine
        {"CGxx_1", 88, 1.0f},       // no digit in the tester name
        {"CG04_1", 88, 0.0f},       // a zero factor is not available
        {"CG05_-1", 88, 1.0f},      // negative bank
        {"CG05_x", 88, 1.0f},       // no bank number
        {"CG05", 88, 1.0f},         // no bank at all
        {"CG01_1", 88, 1.0f},       // the row has no second column
        {"CG99999999999999999999_1", 88, 1.0f},
    };
    for (const Case& c : cases) {
        float f = -7.0f;
        EXPECT_EQ(c.rc, nkFom_cg_getAfactor(nullptr, table, c.key, f)) << c.key;
        EXPECT_EQ(c.factor, f) << c.key;
    }
}

// ------------------------------------------------------------------ wavelength correlation

// A row per nm from 400: values that follow the reference row with a few outliers.
TableF correlationTable(int rows, int samples) {
    TableF t(rows, std::vector<float>(samples));
    for (int r = 0; r < rows; ++r)
        for (int s = 0; s < samples; ++s) {
            const float ref = 40.0f + 0.7f * s + 3.0f * std::sin(1.3f * s);
            t[r][s] = (0.5f + 0.002f * r) * ref + 0.01f * r + ((s * 7 + r) % 13 == 0 ? 5.0f : 0.0f);
        }
    return t;
}

TEST(VeloraCorrelation, OneFitPerEvenRowOnTheTrimmedPointsAsScipy) {
    NK_NEED_PYTHON();
    const TableF t = correlationTable(351, 30);
    std::vector<t_nkMathLineFit> fits(3);
    ASSERT_EQ(0, nkFom_cg_getTWavelengthCorrelationx(nullptr, t, 550.0f, fits));
    ASSERT_EQ(176u, fits.size());
    for (int i : {0, 150, 350}) {
        const std::vector<double> x(t[150].begin(), t[150].end()), y(t[i].begin(), t[i].end());
        const std::vector<double> want = oracle("correlation", {x, y});
        ASSERT_EQ(3u, want.size());
        EXPECT_NEAR(want[0], fits[i / 2].slope, 1e-9 + 1e-6 * std::fabs(want[0])) << i;
        EXPECT_NEAR(want[1], fits[i / 2].intercept, 1e-6 + 1e-6 * std::fabs(want[1])) << i;
        EXPECT_NEAR(want[2], fits[i / 2].rSquared, 1e-6) << i;
    }
    EXPECT_NEAR(1.0, fits[75].slope, 1e-9);  // the reference row against itself
}

TEST(VeloraCorrelation, RefusesRowsItWouldReadPast) {
    std::vector<t_nkMathLineFit> fits(2);
    EXPECT_EQ(0, nkFom_cg_getTWavelengthCorrelationx(nullptr, {}, 550.0f, fits));
    EXPECT_TRUE(fits.empty());
    struct Case { const char* why; TableF t; float wl; } cases[] = {
        {"reference row beyond the table", correlationTable(10, 20), 410.0f},
        {"reference below 400 nm", correlationTable(10, 20), 399.0f},
        {"reference NaN", correlationTable(10, 20), std::nanf("")},
        {"rows of 11 values", correlationTable(10, 11), 401.0f},
        {"ragged row", [] { auto t = correlationTable(10, 20); t[4].pop_back(); return t; }(), 401.0f},
    };
    for (const Case& c : cases) {
        fits.resize(2);
        EXPECT_EQ(5, nkFom_cg_getTWavelengthCorrelationx(nullptr, c.t, c.wl, fits)) << c.why;
        EXPECT_TRUE(fits.empty()) << c.why;
    }
    EXPECT_EQ(0, nkFom_cg_getTWavelengthCorrelationx(nullptr, correlationTable(10, 12), 409.9f, fits));
    EXPECT_EQ(5u, fits.size());
}

// ------------------------------------------------------------------ beam weight

TEST(VeloraBeam, WeightIsTheNormalDensityOfTheBeam) {
    NK_NEED_PYTHON();
    for (int beam : {8, 30, 31}) {
        const float sigma = static_cast<float>(beam * 0.5 / 2.33);
        std::vector<double> d;
        for (double v = 0; v <= beam; v += 0.75) d.push_back(v);
        char param[64];
        std::snprintf(param, sizeof(param), "%.9g", sigma);
        const std::vector<double> want = oracle(std::string("normpdf ") + param, {d});
        ASSERT_EQ(d.size(), want.size());
        for (size_t i = 0; i < d.size(); ++i)
            EXPECT_NEAR(want[i], nkFom_cg_beamWeighting(d[i], beam), 1e-6 * want[0]) << beam << " at " << d[i];
        const float peak = nkFom_cg_beamWeighting(0, beam);
        EXPECT_FLOAT_EQ(static_cast<float>(1 / std::sqrt(2 * M_PI) / sigma), peak);
        EXPECT_NEAR(std::exp(-0.5 * 2.33 * 2.33), nkFom_cg_beamWeighting(beam * 0.5, beam) / peak, 1e-6);
    }
}

// ------------------------------------------------------------------ camera proportionality

constexpr u16 kW = 640, kH = 480;

// Vertical bands of constant signal around the five beam positions at 10 µm per
// pixel: centres 20, 170, 320, 470, 620.
std::vector<float> bandImage(float base) {
    std::vector<float> img(static_cast<size_t>(kW) * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) img[static_cast<size_t>(y) * kW + x] = base + 10.0f * ((x + 55) / 150);
    return img;
}

TableF gridT(int rows, float scale) {
    TableF t(rows, std::vector<float>(351));
    for (int j = 0; j < rows; ++j)
        for (int k = 0; k < 351; ++k) t[j][k] = scale * (30.0f + j * 5.0f + 0.1f * k);
    return t;
}

TEST(VeloraProportionality, FitsThroughTheOriginForTheUnitAndAllUnits) {
    NK_NEED_PYTHON();
    std::vector<double> camAll, tAll;
    float unit = 0, all = 0;
    const std::vector<float> img = bandImage(100.0f);
    const TableF t = gridT(5, 1.0f);
    ASSERT_EQ(0, nkFom_cg_getTCameraProportionality(nullptr, img.data(), kW, kH, 300.0f, 10.0f, 551.0f, t, camAll,
                                                    tAll, &unit, &all));
    ASSERT_EQ(6u, camAll.size());
    ASSERT_EQ(6u, tAll.size());
    EXPECT_EQ(0.0, camAll[0]);
    EXPECT_EQ(0.0, tAll[0]);
    for (int p = 0; p < 5; ++p) {
        EXPECT_NEAR(100.0 + 10.0 * p, camAll[p + 1], 1e-4) << p;
        // 551 nm: halfway between grid points 75 and 76.
        EXPECT_NEAR(30.0 + 5.0 * p + 0.1 * 75.5, tAll[p + 1], 1e-4) << p;
    }
    const std::vector<double> c1(camAll.begin() + 1, camAll.end()), t1(tAll.begin() + 1, tAll.end());
    const double slope1 = oracle("originslope", {c1, t1}).at(0);
    EXPECT_NEAR(slope1, unit, 1e-5);
    EXPECT_NEAR(slope1, all, 1e-5);

    // A second unit extends the lists; the overall fit covers both.
    const std::vector<float> img2 = bandImage(50.0f);
    ASSERT_EQ(0, nkFom_cg_getTCameraProportionality(nullptr, img2.data(), kW, kH, 300.0f, 10.0f, 551.0f,
                                                    gridT(5, 0.5f), camAll, tAll, &unit, &all));
    ASSERT_EQ(11u, camAll.size());
    const std::vector<double> c2(camAll.begin() + 1, camAll.end()), t2(tAll.begin() + 1, tAll.end());
    EXPECT_NEAR(oracle("originslope", {c2, t2}).at(0), all, 1e-5);
    EXPECT_NEAR(oracle("originslope", {std::vector<double>(c2.begin() + 5, c2.end()),
                                       std::vector<double>(t2.begin() + 5, t2.end())})
                    .at(0),
                unit, 1e-5);
}

TEST(VeloraProportionality, RefusesWhatItWouldReadPast) {
    const std::vector<float> img = bandImage(100.0f);
    struct Case { const char* why; TableF t; float beamUm, pixUm, wl; u16 rc; } cases[] = {
        {"six T rows", gridT(6, 1), 300, 10, 551, 5},
        {"beam disk beyond the image", gridT(5, 1), 500, 10, 551, 5},
        {"beam positions beyond the image", gridT(5, 1), 30, 9, 551, 5},
        {"pixel density 0", gridT(5, 1), 300, 0, 551, 5},
        {"pixel density NaN", gridT(5, 1), 300, std::nanf(""), 551, 5},
        {"wavelength past the rows", gridT(5, 1), 300, 10, 1100, 5},
        {"wavelength below 400", gridT(5, 1), 300, 10, 398, 5},
        {"no T rows: the fit's own error", {}, 300, 10, 551, 5},
    };
    for (const Case& c : cases) {
        std::vector<double> camAll, tAll;
        float unit = 0, all = 0;
        EXPECT_EQ(c.rc, nkFom_cg_getTCameraProportionality(nullptr, img.data(), kW, kH, c.beamUm, c.pixUm, c.wl, c.t,
                                                           camAll, tAll, &unit, &all))
            << c.why;
        EXPECT_TRUE(camAll.empty() && tAll.empty()) << c.why;
    }
    std::vector<double> camAll, tAll = {0.0};
    float unit = 0, all = 0;
    EXPECT_EQ(5, nkFom_cg_getTCameraProportionality(nullptr, img.data(), kW, kH, 300, 10, 551, gridT(5, 1), camAll,
                                                    tAll, &unit, &all));
    EXPECT_EQ(5, nkFom_cg_getTCameraProportionality(nullptr, nullptr, kW, kH, 300, 10, 551, gridT(5, 1), camAll,
                                                    camAll, &unit, &all));
}

// ------------------------------------------------------------------ 2-D map

constexpr u16 kMapW = 400, kMapH = 100;

std::vector<t_nkMathLineFit> kbLines(size_t n) {
    std::vector<t_nkMathLineFit> kb(n);
    for (size_t m = 0; m < n; ++m) {
        kb[m].slope = 2.0 + 0.01 * m;
        kb[m].intercept = 1.0;
    }
    return kb;
}

// The image value is the column index, so a box's mean is its columns' mean.
std::vector<float> columnImage() {
    std::vector<float> img(static_cast<size_t>(kMapW) * kMapH);
    for (int y = 0; y < kMapH; ++y)
        for (int x = 0; x < kMapW; ++x) img[static_cast<size_t>(y) * kMapW + x] = static_cast<float>(x);
    return img;
}

TEST(Velora2dMap, BoxMeansWeightedIntoTheFinalCurve) {
    const std::vector<float> img = columnImage();
    // 4 x 3 cells at 10 µm per pixel: boxes 93 x 10 pixels, columns centred at
    // -32, 60, 153, 246; the first box reaches past the left edge.
    const TableF weight = {{0, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 0}};
    std::vector<float> map2d, finalT;
    ASSERT_EQ(0, nkFom_cg_get2dMap(nullptr, img.data(), kMapW, kMapH, 0, 10.0f, 0, weight, kbLines(351), 1.5f, map2d,
                                   finalT));
    ASSERT_EQ(12u, map2d.size());
    ASSERT_EQ(351u, finalT.size());
    const float means[4] = {6.5f, 59.5f, 152.5f, 245.5f};  // the first box only over x = 0..13
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_FLOAT_EQ(means[j], map2d[i * 4 + j]) << i << "," << j;
    // One cell carries all the weight: the final curve is that cell's transmittance.
    for (size_t m : {size_t{0}, size_t{175}, size_t{350}})
        EXPECT_NEAR(152.5 * (2.0 + 0.01 * m) * 1.5 + 1.0, finalT[m], 1e-3) << m;

    // Appends, never clears.
    ASSERT_EQ(0, nkFom_cg_get2dMap(nullptr, img.data(), kMapW, kMapH, 0, 10.0f, 0, weight, kbLines(400), 1.5f, map2d,
                                   finalT));
    EXPECT_EQ(24u, map2d.size());
    EXPECT_EQ(702u, finalT.size());
    EXPECT_EQ(finalT[175], finalT[351 + 175]);
}

TEST(Velora2dMap, EmptyBoxesGiveNaNAndOutOfRangeInputsAreRefused) {
    const std::vector<float> img = columnImage();
    const TableF ones(3, std::vector<float>(4, 1.0f));
    std::vector<float> map2d, finalT;
    // Boxes of zero pixels.
    ASSERT_EQ(0, nkFom_cg_get2dMap(nullptr, img.data(), kMapW, kMapH, 0, 1e6f, 0, ones, kbLines(351), 1, map2d,
                                   finalT));
    ASSERT_EQ(12u, map2d.size());
    for (float v : map2d) EXPECT_TRUE(std::isnan(v));

    struct Case { const char* why; TableF weight; size_t kb; float pixUm; u16 w, h; } cases[] = {
        {"ragged weight rows", {{1, 1, 1, 1}, {1, 1, 1}, {1, 1, 1, 1}}, 351, 10, kMapW, kMapH},
        {"no weight", {}, 351, 10, kMapW, kMapH},
        {"350 kb lines", ones, 350, 10, kMapW, kMapH},
        {"boxes past the right edge", ones, 351, 10, 150, kMapH},
        {"boxes past the top edge", ones, 351, 10, kMapW, 16},
        {"pixel density 0", ones, 351, 0, kMapW, kMapH},
    };
    for (const Case& c : cases) {
        map2d.clear();
        finalT.clear();
        EXPECT_EQ(5, nkFom_cg_get2dMap(nullptr, img.data(), c.w, c.h, 0, c.pixUm, 0, c.weight, kbLines(c.kb), 1,
                                       map2d, finalT))
            << c.why;
        EXPECT_TRUE(map2d.empty() && finalT.empty()) << c.why;
    }
    EXPECT_EQ(5, nkFom_cg_get2dMap(nullptr, nullptr, kMapW, kMapH, 0, 10, 0, ones, kbLines(351), 1, map2d, finalT));
}

}  // namespace
