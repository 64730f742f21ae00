// Drawing helpers read back from the bitmap, tick steps and the log text box.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QThread>
#include <QThreadPool>
#include <QWidget>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

#include "draw/pf_draw.h"
#include "nk_graphics.h"
#include "nk_gui_test_util.h"
#include "nk_test_util.h"
#include "textview/pf_textview.h"

namespace {

// ---------------------------------------------------------------------------
// Tick steps

TEST(GraphicsTickStep, ChoosesRoundStepsAndTheFirstTick) {
    struct Case { double low, high; int minTicks; double step, first; } cases[] = {
        {0, 7, 5, 1, 1},
        {0, 7, 10, 0.5, 0.5},
        {-3, 8, 4, 1, -3},
        {-30, 80, 4, 10, -30},
        {2.5, 3.5, 3, 0.2, 2.6},
        {-0.35, -0.05, 1, 0.1, -0.3},
        {100, 1000, 10, 50, 150},
    };
    for (const Case& c : cases) {
        double first = std::nan("");
        EXPECT_DOUBLE_EQ(static_cast<float>(c.step), nkGrph_calculateTickStep(c.minTicks, &first, c.low, c.high))
            << c.low << ".." << c.high;
        EXPECT_NEAR(c.first, first, 1e-6) << c.low << ".." << c.high;
    }
    EXPECT_DOUBLE_EQ(1.0, nkGrph_calculateTickStep(5, nullptr, 0, 7));
}

TEST(GraphicsTickStep, RefusesBoundsItCannotUse) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case { double low, high; int minTicks; } cases[] = {
        {3, 3, 5}, {4, 3, 5}, {kNK_noValue, 3, 5}, {0, kNK_noValue, 5}, {std::nan(""), 3, 5},
        {0, inf, 5}, {-inf, 0, 5}, {0, 1, 0},
        {0, 1e-46, 5}, {-1e300, 1e300, 5},  // steps single precision holds only as 0 or infinity
    };
    for (const Case& c : cases) {
        double first = 42;
        EXPECT_EQ(0.0, nkGrph_calculateTickStep(c.minTicks, &first, c.low, c.high)) << c.low << ".." << c.high;
        EXPECT_EQ(42, first);
    }
}

TEST(GraphicsTickStep, NarrowSpanFarFromZeroIsComputedNotCounted) {
    double first = 0;
    const double low = 1e6, high = 1e6 + 1e-3;
    const double step = nkGrph_calculateTickStep(5, &first, low, high);
    ASSERT_GT(step, 0.0);
    EXPECT_GT((high - low) / step, 5.0);
    EXPECT_GT(first, low);
    EXPECT_LE(first, low + step * 1.0001);

    // Far below zero too.
    const double stepNeg = nkGrph_calculateTickStep(4, &first, -1e12, -1e12 + 1);
    ASSERT_GT(stepNeg, 0.0);
    EXPECT_GE(first, -1e12);
    EXPECT_LT(first, -1e12 + stepNeg * 1.0001);
}

// ---------------------------------------------------------------------------
// Drawing

constexpr int kW = 120, kH = 80;

bool isDark(uint32_t argb) { return qGray(argb) < 100; }
bool isWhite(uint32_t argb) { return qGray(argb) > 245; }

struct Box { int left = kW, right = -1, bottom = kH, top = -1; };

// Dark pixels in y-up coordinates.
Box darkBox(const pf::draw::Context& ctx) {
    Box b;
    for (int y = 0; y < ctx.height(); ++y)
        for (int x = 0; x < ctx.width(); ++x)
            if (isDark(ctx.pixel(x, y))) {
                b.left = std::min(b.left, x);
                b.right = std::max(b.right, x);
                b.bottom = std::min(b.bottom, y);
                b.top = std::max(b.top, y);
            }
    return b;
}

class GraphicsDraw : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ctx.isValid());
        ctx.setFillColor(0.5, 0.5, 0.5, 1);
        ctx.fillRect(0, 0, kW, kH);
        ctx.setStrokeColor(0, 0, 0, 1);
        ctx.setFillColor(0, 0, 0, 1);
    }
    pf::draw::Context ctx{kW, kH};
};

TEST_F(GraphicsDraw, LineLandsOnItsYUpRow) {
    nkGrph_drawLine(&ctx, 5, 10.5, 100, 10.5);
    EXPECT_TRUE(isDark(ctx.pixel(50, 10)));
    EXPECT_FALSE(isDark(ctx.pixel(50, 9)));
    EXPECT_FALSE(isDark(ctx.pixel(50, 11)));
    nkGrph_drawLine(&ctx, 5, std::nan(""), 100, 70);
    EXPECT_EQ(10, darkBox(ctx).top);

    // Read back by a separate reader: y-up row 10 is image row kH - 11 from the top.
    nktest::TempDir dir;
    ASSERT_TRUE(ctx.writeTo(dir.file("line.png"), "png"));
    QImage img(QString::fromStdString(dir.file("line.png")));
    ASSERT_EQ(QSize(kW, kH), img.size());
    EXPECT_TRUE(isDark(img.pixel(50, kH - 11)));
    EXPECT_FALSE(isDark(img.pixel(50, 10)));
}

TEST_F(GraphicsDraw, PolylineIsOneJoinedStrokeAndTheNextStrokeHasItsOwnPen) {
    const double v[] = {10.5, 70.5, 60.5, 20.5, 110.5, 70.5};
    ctx.setLineCap(pf::draw::LineCap::round);
    ctx.setAntialias(false);
    ctx.strokePolyline(v, 3);
    // Along both arms and at the joint, within a pixel of the ideal line.
    auto darkNear = [&](int x, int y) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (isDark(ctx.pixel(x + dx, y + dy))) return true;
        return false;
    };
    for (const auto& [x, y] : {std::pair{11, 70}, std::pair{35, 45}, std::pair{60, 20}, std::pair{85, 45}, std::pair{109, 70}})
        EXPECT_TRUE(darkNear(x, y)) << x << "," << y;
    EXPECT_FALSE(isDark(ctx.pixel(60, 45)));  // inside the V
    EXPECT_FALSE(isDark(ctx.pixel(60, 17)));  // the joint is not overdrawn downwards
    ctx.strokePolyline(v, 1);                 // one point draws nothing
    ctx.strokePolyline(nullptr, 3);
    EXPECT_EQ(20, darkBox(ctx).bottom);

    // The stroke after it is drawn in its own width, however often the same pen came before.
    ctx.setLineWidth(5);
    ctx.strokeLine(20.5, 8.5, 100.5, 8.5);
    for (int y = 7; y <= 10; ++y) EXPECT_TRUE(isDark(ctx.pixel(50, y))) << y;
    EXPECT_FALSE(isDark(ctx.pixel(50, 13)));
}

TEST(GraphicsPaint, RunsOnOneThreadOfQtsPoolAndReturnsItsFailure) {
    pf::draw::Context ctx(8, 8);  // makes the GUI application when there is none
    bool onPool = false, nestedOnPool = false;
    pf::draw::paintSerially([&] {
        onPool = QThreadPool::globalInstance()->contains(QThread::currentThread());
        pf::draw::paintSerially([&] { nestedOnPool = QThreadPool::globalInstance()->contains(QThread::currentThread()); });
    });
    EXPECT_TRUE(onPool);
    EXPECT_TRUE(nestedOnPool);  // run at once, not queued behind itself
    EXPECT_THROW(pf::draw::paintSerially([] { throw std::runtime_error("disk full"); }), std::runtime_error);
}

TEST_F(GraphicsDraw, RectangleHasAWholeFrameAndAWhiteInside) {
    nkGrph_drawRectangle(&ctx, 10.5, 10.5, 30, 20);
    EXPECT_TRUE(isDark(ctx.pixel(10, 20)));  // left
    EXPECT_TRUE(isDark(ctx.pixel(40, 20)));  // right
    EXPECT_TRUE(isDark(ctx.pixel(25, 10)));  // bottom
    EXPECT_TRUE(isDark(ctx.pixel(25, 30)));  // top
    EXPECT_TRUE(isWhite(ctx.pixel(25, 20)));
    EXPECT_TRUE(isWhite(ctx.pixel(12, 12)));
    EXPECT_EQ(qGray(ctx.pixel(5, 5)), qGray(ctx.pixel(60, 50)));  // outside untouched
    EXPECT_FALSE(isWhite(ctx.pixel(5, 5)));

    // The fill colour the caller set is still in force.
    ctx.fillRect(60, 40, 10, 10);
    EXPECT_TRUE(isDark(ctx.pixel(65, 45)));
}

TEST_F(GraphicsDraw, CircleIsDrawnFourUnitsOutside) {
    nkGrph_drawCircle(&ctx, 60, 40, 10);
    const Box b = darkBox(ctx);
    EXPECT_NEAR(60 - 14, b.left, 1);
    EXPECT_NEAR(60 + 14, b.right, 1);
    EXPECT_NEAR(40 - 14, b.bottom, 1);
    EXPECT_NEAR(40 + 14, b.top, 1);
    EXPECT_FALSE(isDark(ctx.pixel(60, 40)));
}

TEST_F(GraphicsDraw, TextIsAlignedByItsBoxAndStandsUpright) {
    ASSERT_TRUE(ctx.setFont(pf::draw::kMonospaceFont, 12));
    const char* text = "HHHH";
    const double width = nkGrph_getTextWidth(&ctx, text);
    ASSERT_GT(width, 20.0);

    struct Case { int alignment; double x; double expectLeft; } cases[] = {
        {1, 20, 20}, {7, 20, 20}, {0, 60, 60 - width / 2}, {2, 100, 100 - width},
    };
    for (const Case& c : cases) {
        SetUp();
        ASSERT_TRUE(ctx.setFont(pf::draw::kMonospaceFont, 12));
        nkGrph_drawText(&ctx, text, c.alignment, c.x, 30);
        const Box b = darkBox(ctx);
        EXPECT_NEAR(c.expectLeft, b.left, 2.5) << "alignment " << c.alignment;
        EXPECT_NEAR(c.expectLeft + width, b.right, 3.5) << "alignment " << c.alignment;
        // Capitals sit on the baseline and rise above it: the text is not mirrored.
        EXPECT_NEAR(30, b.bottom, 1) << "alignment " << c.alignment;
        EXPECT_GT(b.top, 36) << "alignment " << c.alignment;
    }

    // A quarter turn reads upwards from the point, the glyphs to the left of it.
    SetUp();
    nkGrph_drawText(&ctx, text, 3, 60, 10);
    const Box r = darkBox(ctx);
    EXPECT_NEAR(10, r.bottom, 2);
    EXPECT_NEAR(10 + width, r.top, 3.5);
    EXPECT_LE(r.right, 61);
    EXPECT_GT(r.top - r.bottom, 2 * (r.right - r.left));
}

TEST(GraphicsScreenshot, ChartIsSavedForAPersonToLookAt) {
    const int w = 480, h = 320;
    pf::draw::Context ctx(w, h);
    ASSERT_TRUE(ctx.isValid());
    ctx.setFillColor(1, 1, 1, 1);
    ctx.fillRect(0, 0, w, h);
    ctx.setFont(pf::draw::kMonospaceFont, 11);
    ctx.setFillColor(0, 0, 0, 1);

    const double x0 = 60, y0 = 40, pw = 390, ph = 240, low = -1.2, high = 1.2;
    double first = 0;
    const double step = nkGrph_calculateTickStep(5, &first, low, high);
    ASSERT_GT(step, 0.0);
    auto yOf = [&](double v) { return y0 + (v - low) / (high - low) * ph; };
    ctx.setLineWidth(0.5);
    ctx.setStrokeColor(1, 0, 0, 0.3);
    char label[32];
    for (double v = first; v <= high + 1e-9; v += step) {
        nkGrph_drawLine(&ctx, x0, yOf(v), x0 + pw, yOf(v));
        std::snprintf(label, sizeof(label), "%.1f", v);
        nkGrph_drawText(&ctx, label, 2, x0 - 6, yOf(v) - 4);
    }
    ctx.setLineWidth(2);
    ctx.setStrokeColor(0, 0, 0, 1);
    nkGrph_drawLine(&ctx, x0, y0, x0 + pw, y0);
    nkGrph_drawLine(&ctx, x0, y0, x0, y0 + ph);
    ctx.setStrokeColor(0, 0, 1, 2.0);
    ctx.setLineWidth(1.5);
    for (int i = 1; i <= 100; ++i) {
        const double a = (i - 1) / 100.0 * 2 * M_PI, b = i / 100.0 * 2 * M_PI;
        nkGrph_drawLine(&ctx, x0 + (i - 1) * pw / 100, yOf(std::sin(a)), x0 + i * pw / 100, yOf(std::sin(b)));
    }
    ctx.setStrokeColor(0, 0.5, 0, 1);
    nkGrph_drawRectangle(&ctx, 330.5, 250.5, 120, 40);
    nkGrph_drawText(&ctx, "sin(x)", 0, 390, 265);
    nkGrph_drawCircle(&ctx, x0 + pw / 4, yOf(1), 3);
    nkGrph_drawText(&ctx, "amplitude", 3, 20, y0 + 60);
    nkGrph_drawText(&ctx, "phase", 0, x0 + pw / 2, 12);

    // Left in the build folder on purpose.
    const std::string path = "graphics_chart.png";
    ASSERT_TRUE(ctx.writeTo(path, "png"));
    QImage img(QString::fromStdString(path));
    ASSERT_EQ(QSize(w, h), img.size());
    int blue = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) blue += img.pixel(x, y) == qRgb(0, 0, 255);
    EXPECT_GT(blue, 300) << "the curve";
}

// ---------------------------------------------------------------------------
// Log text box

class GraphicsTextBox : public ::testing::Test {
protected:
    void SetUp() override {
        if (!nktest::guiApplication()) GTEST_SKIP() << "another test made a GUI application without widgets";
        box = std::make_unique<ONK_TextBox>();
        box->configureTextFormat(pf::draw::kMonospaceFont, 10, 0);
        box->view()->widget()->resize(300, 120);
        box->view()->widget()->show();
    }
    std::unique_ptr<ONK_TextBox> box;
};

TEST_F(GraphicsTextBox, AppendsScrollsAndResets) {
    std::string many;
    for (int i = 0; i < 50; ++i) many += "line " + std::to_string(i) + "\n";
    box->appendStr(many.c_str());
    pf::textview::TextView* v = box->view();
    ASSERT_GT(v->scrollMaximum(), 0);
    EXPECT_EQ(v->scrollMaximum(), v->scrollPosition());

    box->appendStr("top\n", 1);
    EXPECT_EQ(0, v->scrollPosition());
    box->appendStr("partial", 2);  // no line feed: no scrolling
    EXPECT_EQ(0, v->scrollPosition());
    box->appendStr(" done\n", 2);
    EXPECT_EQ(v->scrollMaximum(), v->scrollPosition());
    EXPECT_NE(std::string::npos, v->text().find("top\npartial done\n"));

    box->appendStr("");
    box->appendStr(nullptr);
    box->reset();
    EXPECT_EQ("", v->text());
    box->setHidden(true);
    EXPECT_TRUE(v->widget()->isHidden());
}

TEST_F(GraphicsTextBox, KeepsABoundedNumberOfLines) {
    std::string many;
    for (int i = 0; i < ONK_TextBox::kMaxLines + 500; ++i) many += std::to_string(i) + "\n";
    box->appendStr(many.c_str());
    pf::textview::TextView* v = box->view();
    EXPECT_LE(v->lineCount(), ONK_TextBox::kMaxLines);
    const std::string text = v->text();
    EXPECT_EQ(0u, text.find("501\n"));  // the oldest lines went first
    EXPECT_NE(std::string::npos, text.find(std::to_string(ONK_TextBox::kMaxLines + 499) + "\n"));
}

TEST_F(GraphicsTextBox, WorkerThreadsAppendThroughTheGuiThread) {
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([this, t] {
            for (int i = 0; i < 50; ++i) box->appendStr(("w" + std::to_string(t) + "\tx\n").c_str());
        });
    for (auto& w : workers) w.join();
    QCoreApplication::processEvents();
    const auto lines = nktest::splitLines(box->view()->text());
    ASSERT_EQ(200u, lines.size());
    for (const auto& line : lines) EXPECT_EQ(4u, line.size()) << line;
}

TEST_F(GraphicsTextBox, ResetDropsLinesStillQueuedFromBeforeIt) {
    std::thread worker([this] { box->appendStr("before reset\n"); });
    worker.join();
    box->reset();
    std::thread later([this] { box->appendStr("after reset\n"); });
    later.join();
    QCoreApplication::processEvents();
    EXPECT_EQ("after reset\n", box->view()->text());
}

}  // namespace
