// JPEG exports decoded by Qt's reader and checked pixel by pixel.
#include <gtest/gtest.h>

#include <QImage>

#include <cmath>
#include <cstring>

#include "nk_image.h"
#include "nk_test_util.h"

namespace {

QImage decode(const std::string& path) {
    QImage img(QString::fromStdString(path), "JPEG");
    return img;
}

// Grey level of the pixel at (x, y) with y counted upwards from the bottom row.
int greyUp(const QImage& img, int x, int y) { return qGray(img.pixel(x, img.height() - 1 - y)); }
QRgb rgbUp(const QImage& img, int x, int y) { return img.pixel(x, img.height() - 1 - y); }

bool isBlue(QRgb c) { return qBlue(c) - qRed(c) > 60 && qBlue(c) - qGreen(c) > 60; }

TEST(ImageExport, SensorMapCellsAreGreyFromWhiteToBlack) {
    nktest::TempDir dir;
    std::string path = dir.file("sensor.jpg");
    double data[] = {0, 1, 2, 3};
    char text[] = "first\nsecond";
    nkImg_exportSensorImage(path.data(), data, 2, 2, text, 0);
    const QImage img = decode(path);
    ASSERT_EQ(QSize(800, 480), img.size());
    // Row 0 is the top half of the 440 x 440 square whose corner is at (20, 20).
    EXPECT_NEAR(255, greyUp(img, 130, 350), 8);  // value 0
    EXPECT_NEAR(170, greyUp(img, 350, 350), 8);  // value 1
    EXPECT_NEAR(85, greyUp(img, 130, 130), 8);   // value 2
    EXPECT_NEAR(0, greyUp(img, 350, 130), 8);    // value 3
    EXPECT_NEAR(255, greyUp(img, 10, 10), 8);    // margin
    // The text column starts at x = 470 below y = 458; the caller's text is untouched.
    int dark = 0;
    for (int y = 400; y < 458; ++y)
        for (int x = 470; x < 560; ++x) dark += greyUp(img, x, y) < 100;
    EXPECT_GT(dark, 20);
    EXPECT_STREQ("first\nsecond", text);
    EXPECT_EQ(3.0, data[3]);

    float flat[] = {5, 5, 5, 5};  // no range: mid-grey, not NaN
    nkImg_exportSensorImage(path.data(), flat, 2, 2, nullptr, 0);
    EXPECT_NEAR(128, greyUp(decode(path), 130, 350), 8);
}

TEST(ImageExport, LineCurveScalesACopyAndSelectsEveryStepPlusOneSample) {
    nktest::TempDir dir;
    const std::string path = dir.file("curve.jpg");
    // 1000 samples across 400 columns: step 2, samples 0, 3, 6 ... are drawn. They are
    // all 200, the others 100 but one of 400; scaled by 100/400 the line runs flat at y = 50.
    std::vector<double> data(1000, 100);
    for (size_t i = 0; i < data.size(); i += 3) data[i] = 200;
    data[1] = 400;
    const std::vector<double> before = data;
    char text[] = "a\nb";
    ASSERT_EQ(0, nkImg_exportLineCurve(nullptr, path.c_str(), data.data(), 1000, 400, 100, text));
    EXPECT_EQ(before, data);
    EXPECT_STREQ("a\nb", text);
    const QImage img = decode(path);
    ASSERT_EQ(QSize(400, 100), img.size());
    int top = 0, low = 0, beyond = 0;
    for (int x = 10; x < 400; ++x)
        for (int y = 0; y < 80; ++y) {
            if (!isBlue(rgbUp(img, x, y))) continue;
            if (x >= 340) ++beyond;  // 333 segments, one unit each
            else if (y >= 46 && y <= 54) ++top;
            else ++low;
        }
    EXPECT_GT(top, 300);
    EXPECT_EQ(0, low);
    EXPECT_EQ(0, beyond);

    // Values within the height are drawn as they are.
    std::vector<float> small = {50, 50, 50, 50};
    ASSERT_EQ(0, nkImg_exportLineCurve(nullptr, path.c_str(), small.data(), 4, 4, 100, nullptr));
    const QImage flat = decode(path);
    int near50 = 0, elsewhere = 0;
    for (int y = 0; y < 100; ++y)
        if (isBlue(rgbUp(flat, 1, y))) ++(std::abs(y - 50) <= 4 ? near50 : elsewhere);
    EXPECT_GT(near50, 0);
    EXPECT_EQ(0, elsewhere);
}

TEST(ImageExport, MapCellsLimitsAndTextBand) {
    nktest::TempDir dir;
    const std::string path = dir.file("map.jpg");
    std::vector<double> data(50, 0.5);
    data[0] = 2;    // row 0, column 0: above the upper limit
    data[49] = -1;  // row 4, column 9: below the lower limit
    ASSERT_EQ(0, nkImg_exportImage(nullptr, path.c_str(), data.data(), 10, 5, "limits\nshown", 0, false, 1, 0));
    QImage img = decode(path);
    ASSERT_EQ(QSize(40, 60), img.size());
    const QRgb red = rgbUp(img, 1, 4 * 4 + 40 + 1);  // top-left cell
    const QRgb blue = rgbUp(img, 37, 40 + 1);        // bottom-right cell
    EXPECT_GT(qRed(red), qGreen(red) + 60);
    EXPECT_GT(qBlue(blue), qRed(blue) + 60);
    EXPECT_NEAR(128, greyUp(img, 20, 50), 10);  // 0.5 between limits 0 and 1
    int dark = 0;
    for (int y = 0; y < 38; ++y)
        for (int x = 0; x < 40; ++x) dark += greyUp(img, x, y) < 100;
    EXPECT_GT(dark, 10);

    // Without the upper limit only the blue overlay remains.
    ASSERT_EQ(0, nkImg_exportImage(nullptr, path.c_str(), data.data(), 10, 5, nullptr, 0, false, kNK_noValue, 0));
    img = decode(path);
    const QRgb plain = rgbUp(img, 1, 4 * 4 + 40 + 1);
    EXPECT_LT(std::abs(qRed(plain) - qGreen(plain)), 20);
}

TEST(ImageExport, MapScaleComesFromTheInnerWindowAndTheBitmapClamps) {
    nktest::TempDir dir;
    const std::string path = dir.file("bitmap.jpg");
    // Inner window 10..20; the border value 100 lies far outside it.
    std::vector<float> data(25, 10);
    for (int r = 1; r < 4; ++r)
        for (int c = 1; c < 4; ++c) data[r * 5 + c] = static_cast<float>(10 + 5 * (c - 1));
    data[0] = 100;
    ASSERT_EQ(0, nkImg_exportImage(nullptr, path.c_str(), data.data(), 5, 5, nullptr, 0, true, kNK_noValue, kNK_noValue));
    const QImage img = decode(path);
    ASSERT_EQ(QSize(20, 60), img.size());
    EXPECT_NEAR(0, greyUp(img, 1, 40 + 18), 10);     // 100 clamps to black
    EXPECT_NEAR(255, greyUp(img, 5, 40 + 13), 10);   // 10: the window's low end
    EXPECT_NEAR(128, greyUp(img, 9, 40 + 13), 10);   // 15
    EXPECT_NEAR(0, greyUp(img, 13, 40 + 13), 10);    // 20: the high end

    std::vector<double> same(25, 3.0);  // no range: mid-grey
    ASSERT_EQ(0, nkImg_exportImage(nullptr, path.c_str(), same.data(), 5, 5, nullptr, 2, true, kNK_noValue, kNK_noValue));
    EXPECT_NEAR(128, greyUp(decode(path), 10, 50), 8);
}

TEST(ImageExport, FailuresAreReportedAndWriteNothing) {
    nktest::TempDir dir;
    const std::string path = dir.file("x.jpg");
    double data[4] = {1, 2, 3, 4};
    EXPECT_EQ(kNKErr_invalidPointer, nkImg_exportImage(nullptr, nullptr, data, 2, 2, nullptr, 0, false, 1, 0));
    EXPECT_EQ(kNKErr_invalidPointer, nkImg_exportImage(nullptr, path.c_str(), static_cast<double*>(nullptr), 2, 2, nullptr, 0, false, 1, 0));
    EXPECT_EQ(kNKErr_invalidParam, nkImg_exportImage(nullptr, path.c_str(), data, 0, 2, nullptr, 0, false, 1, 0));
    EXPECT_EQ(kNKErr_invalidParam, nkImg_exportLineCurve(nullptr, path.c_str(), data, 0, 10, 10, nullptr));
    EXPECT_EQ(kNKErr_invalidParam, nkImg_exportLineCurve(nullptr, path.c_str(), data, 4, 0, 10, nullptr));
    EXPECT_FALSE(std::filesystem::exists(path));

    // A folder that does not exist: the write fails and says so.
    const std::string bad = dir.file("missing/x.jpg");
    EXPECT_EQ(kNKErr_fileWriteFailed, nkImg_exportImage(nullptr, bad.c_str(), data, 2, 2, nullptr, 0, false, 1, 0));
    EXPECT_EQ(kNKErr_fileWriteFailed, nkImg_exportLineCurve(nullptr, bad.c_str(), data, 4, 10, 10, nullptr));
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

}  // namespace
