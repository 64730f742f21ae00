// Transmittance charts: written as JPEG 2000, read back by Pillow, checked by pixel.
#include <gtest/gtest.h>

#include <QImage>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <vector>

#include "nk_test_util.h"
#include "nk_velora_utils.h"

namespace {

using nktest::TempDir;

constexpr int kW = 800, kH = 600;
constexpr double kPlotW = (kW - 105) * 0.95, kPlotH = (kH - 56) * 0.9;

// Pillow opens the JPEG 2000 file and saves it as PNG for Qt; its report is
// "<format> <width> <height>".
std::string pillowToPng(const std::string& jp2, const std::string& png) {
    int status = -1;
    const std::string out = nktest::runCommand(
        std::string(NK_PYTHON) + " -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                                 "print(im.format, im.size[0], im.size[1]); im.convert('RGB').save(sys.argv[2])\" " +
            jp2 + " " + png + " 2>&1",
        &status);
    return status == 0 ? out : "failed: " + out;
}

// NK_KEEP_CHARTS=<folder> keeps the read-back pictures there for a look.
void keep(const QImage& img, const std::string& name) {
    if (const char* folder = std::getenv("NK_KEEP_CHARTS")) img.save(QString::fromStdString(std::string(folder) + "/" + name + ".png"));
}

bool isBlue(QRgb c) { return qBlue(c) > 180 && qRed(c) < 90 && qGreen(c) < 90; }
bool isRed(QRgb c) { return qRed(c) > 180 && qGreen(c) < 90 && qBlue(c) < 90; }
bool isWhite(QRgb c) { return qRed(c) > 245 && qGreen(c) > 245 && qBlue(c) > 245; }

// A pixel of the colour within `r` pixels of the drawing point (x, y), y up.
template <class Pred>
bool near(const QImage& img, double x, double y, int r, Pred pred) {
    const int cx = static_cast<int>(std::floor(x)), cy = kH - 1 - static_cast<int>(std::floor(y));
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) {
            const int px = cx + dx, py = cy + dy;
            if (px >= 0 && py >= 0 && px < img.width() && py < img.height() && pred(img.pixel(px, py))) return true;
        }
    return false;
}

int countInPlot(const QImage& img, bool (*pred)(QRgb)) {
    int n = 0;
    // Inside the plot, clear of the axes (x 105, y 56 drawn 2 wide).
    for (int y = 0; y < kH - 60; ++y)
        for (int x = 110; x < kW; ++x)
            if (pred(img.pixel(x, y))) ++n;
    return n;
}

struct Spectrum {
    std::vector<float> wl, a, b;
    Spectrum() {
        for (int k = 0; k < 351; ++k) {
            const float w = 400.0f + 2.0f * k;
            wl.push_back(w);
            a.push_back(60.0f + 30.0f * std::sin((w - 400.0f) / 180.0f));
            b.push_back(40.0f + 0.02f * (w - 400.0f));
        }
    }
};

class VeloraChart : public ::testing::Test {
protected:
    void SetUp() override {
        if (!nktest::havePython()) GTEST_SKIP() << "no Debian python with Pillow";
    }
    QImage readBack(const std::string& jp2) {
        const std::string png = jp2 + ".png";
        const std::string report = pillowToPng(jp2, png);
        EXPECT_EQ("JPEG2000 800 600\n", report);
        QImage img(QString::fromStdString(png));
        EXPECT_EQ(QSize(kW, kH), img.size());
        return img;
    }
    TempDir dir;
    Spectrum s;
};

TEST_F(VeloraChart, TwoCurvesOnRedAxesWithWhiteCorners) {
    const std::string path = dir.file("S_T_tp1.jpg");
    ASSERT_EQ(0, nkFom_cg_saveTimage(nullptr, path.c_str(), s.a.data(), 351, s.b.data(), 351, s.wl.data(), 351,
                                     "Wavelength", "Transmittance", "", kW, kH, kVL1));
    const QImage img = readBack(path);
    ASSERT_FALSE(img.isNull());
    keep(img, "two_series");

    for (QPoint p : {QPoint(0, 0), QPoint(kW - 1, 0), QPoint(0, kH - 1), QPoint(kW - 1, kH - 1)})
        EXPECT_TRUE(isWhite(img.pixel(p))) << p.x() << "," << p.y();
    // Axes in red through the origin (105, 56), overshooting it by 10.
    EXPECT_TRUE(near(img, 300, 56, 1, isRed));
    EXPECT_TRUE(near(img, 98, 56, 1, isRed));
    EXPECT_TRUE(near(img, 105, 300, 1, isRed));
    EXPECT_TRUE(near(img, 105, 49, 1, isRed));

    const double yMax = 90.0;  // sin reaches 1 within 400..1100 nm
    double realMax = 0;
    for (float v : s.a) realMax = std::max<double>(realMax, v);
    ASSERT_NEAR(yMax, realMax, 0.01);
    const double xScale = 0.99 * kPlotW / 700.0, yScale = 0.95 * kPlotH / realMax;
    int blueHits = 0, redHits = 0;
    for (int k = 5; k < 351; k += 23) {
        const double x = 105 + (s.wl[k] - 400.0) * xScale;
        blueHits += near(img, x, 56 + s.a[k] * yScale, 2, isBlue);
        redHits += near(img, x, 56 + s.b[k] * yScale, 2, isRed);
        // y grows upwards: nothing blue mirrored about the middle of the picture.
        EXPECT_FALSE(near(img, x, kH - 1 - (56 + s.a[k] * yScale), 0, isBlue) &&
                     std::fabs(kH - 1 - 2 * (56 + s.a[k] * yScale)) > 8);
    }
    EXPECT_EQ(16, blueHits);
    EXPECT_EQ(16, redHits);
}

TEST_F(VeloraChart, NoRedCurveWithoutASecondSeries) {
    const std::string path = dir.file("S_Ref.jpg");
    ASSERT_EQ(0, nkFom_cg_saveTimage(nullptr, path.c_str(), s.a.data(), 351, nullptr, 0, s.wl.data(), 351,
                                     "Wavelength", "Normalized Photo Counts", "", kW, kH, kVL1));
    const QImage img = readBack(path);
    ASSERT_FALSE(img.isNull());
    keep(img, "one_series");
    EXPECT_EQ(0, countInPlot(img, isRed));
    EXPECT_GT(countInPlot(img, isBlue), 500);
}

TEST_F(VeloraChart, ZeroAndMissingRangesStillGiveAPicture) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    const std::vector<float> zeros(351, 0.0f), flatX(351, 500.0f);
    std::vector<float> withGaps = s.a;
    withGaps[10] = nan;
    withGaps[20] = inf;
    withGaps[30] = kNK_noValueF;
    struct Case {
        const char* name;
        const float* y;
        const float* x;
        int count;
        bool curve;
    } cases[] = {
        {"zero_y", zeros.data(), s.wl.data(), 351, false},  // yMax 0: infinite y scale
        {"flat_x", s.a.data(), flatX.data(), 351, false},   // xMax == xMin
        {"gaps", withGaps.data(), s.wl.data(), 351, true},  // invalid values keep the range
        {"one_point", s.a.data(), s.wl.data(), 1, false},   // axes and grid only
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(std::string(c.name) + ".jpg");
        ASSERT_EQ(0, nkFom_cg_saveTimage(nullptr, path.c_str(), c.y, c.count, nullptr, 0, c.x, 351, "Wavelength",
                                         "Transmittance", c.name, kW, kH, kVL1))
            << c.name;
        const QImage img = readBack(path);
        ASSERT_FALSE(img.isNull()) << c.name;
        keep(img, c.name);
        EXPECT_TRUE(near(img, 300, 56, 1, isRed)) << c.name;
        EXPECT_EQ(c.curve, countInPlot(img, isBlue) > 500) << c.name;
    }
}

TEST_F(VeloraChart, RefusalsAndFailedWrites) {
    const std::string path = dir.file("x.jpg");
    EXPECT_EQ(5, nkFom_cg_saveTimage(nullptr, nullptr, s.a.data(), 351, nullptr, 0, s.wl.data(), 351, "", "", "",
                                     kW, kH, kVL1));
    EXPECT_EQ(0, nkFom_cg_saveTimage(nullptr, path.c_str(), s.a.data(), 0, nullptr, 0, s.wl.data(), 351, "", "", "",
                                     kW, kH, kVL1));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(5, nkFom_cg_saveTimage(nullptr, path.c_str(), nullptr, 351, nullptr, 0, s.wl.data(), 351, "", "", "",
                                     kW, kH, kVL1));
    EXPECT_EQ(0xE00B, nkFom_cg_saveTimage(nullptr, path.c_str(), s.a.data(), 351, nullptr, 0, s.wl.data(), 351, "",
                                          "", "", 0, kH, kVL1));
    EXPECT_FALSE(std::filesystem::exists(path));

    // A folder in the file's place (tests run as root, so permissions would not stop the write).
    std::filesystem::create_directory(path);
    EXPECT_EQ(0xE044, nkFom_cg_saveTimage(nullptr, path.c_str(), s.a.data(), 351, nullptr, 0, s.wl.data(), 351,
                                          "", "", "", kW, kH, kVL1));
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(0xE044, nkFom_cg_saveTimage(nullptr, dir.file("missing/x.jpg").c_str(), s.a.data(), 351, nullptr, 0,
                                          s.wl.data(), 351, "", "", "", kW, kH, kVL1));
}

TEST_F(VeloraChart, ColourChannelsInTheirColours) {
    std::vector<std::vector<float>> ch(5, std::vector<float>(351));
    for (int k = 0; k < 351; ++k) {
        ch[0][k] = 10.0f;
        ch[1][k] = 30.0f;
        ch[2][k] = 50.0f;
        ch[3][k] = 70.0f;
        ch[4][k] = 90.0f;
    }
    const std::string path = dir.file("channels.jpg");
    ASSERT_EQ(0, nkFom_colorChannel_saveImage(nullptr, path, s.wl, ch, "Wavelength", "Counts", "Channels", kW, kH,
                                              kVL1));
    const QImage img = readBack(path);
    ASSERT_FALSE(img.isNull());
    keep(img, "channels");
    const double yScale = 0.95 * kPlotH / 90.0;
    auto at = [&](float v) { return 56 + v * yScale; };
    auto grey = [](QRgb c) { return std::abs(qRed(c) - 191) < 25 && std::abs(qGreen(c) - 191) < 25 && std::abs(qBlue(c) - 191) < 25; };
    auto green = [](QRgb c) { return qGreen(c) > 180 && qRed(c) < 90 && qBlue(c) < 90; };
    auto black = [](QRgb c) { return qGray(c) < 50; };
    EXPECT_TRUE(near(img, 400, at(10), 1, grey));
    EXPECT_TRUE(near(img, 400, at(30), 1, isRed));
    EXPECT_TRUE(near(img, 400, at(50), 1, green));
    EXPECT_TRUE(near(img, 400, at(70), 1, isBlue));
    EXPECT_TRUE(near(img, 400, at(90), 1, black));

    EXPECT_EQ(5, nkFom_colorChannel_saveImage(nullptr, "x", s.wl, ch, "", "", "", kW, kH, kVL1));
    EXPECT_EQ(5, nkFom_colorChannel_saveImage(nullptr, path, {400.0f}, {}, "", "", "", kW, kH, kVL1));
    ch[2].pop_back();
    EXPECT_EQ(5, nkFom_colorChannel_saveImage(nullptr, path, s.wl, ch, "", "", "", kW, kH, kVL1));
}

}  // namespace
