// Drawing helpers, axis ticks, folders and the byte FIFO.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ZelkFifo.h"
#include "../../framework/SRC/ZelkFifoInternal.h"
#include "ZelkLogManager.h"
#include "ZelkPaths.h"
#include "ZelkUtilDraw.h"
#include "ZelkUtilMath.h"
#include "draw/pf_draw.h"
#include "nk_test_util.h"
#include "usb/pf_usb.h"

TEST(ZelkTicks, StepsAndFirstTicks) {
    const struct {
        SInt32 maxTicks;
        double low, high, step, first;
    } rows[] = {
        {1, 0, 7, 2, 1},
        {5, -3, 12, 4, -2},
        {5, 0, 100, 20, 10},        // first tick strictly above a low of 0
        {5, 20, 100, 20, 30},       // ... and above a low that is a multiple
        {5, -100, -20, 20, -100},
        {3, 1e15, 1e15 + 1e14, 2e13, 1e15 + 2e13},  // no count of 10^15 steps
        {5, 3, 3, 1, 0},            // zero span
        {5, 0, 0, 1, 0},
        {5, 0, INFINITY, 1, 0},
        {5, NAN, 1, 1, 0},
    };
    for (const auto& r : rows) {
        double first = -99;
        const double step = ZUTIL_calculateTickStep(r.maxTicks, &first, r.low, r.high);
        EXPECT_DOUBLE_EQ(step, static_cast<float>(r.step)) << r.low << ".." << r.high;
        EXPECT_NEAR(first, r.first, std::fabs(r.first) * 1e-9 + 1e-12) << r.low << ".." << r.high;
        EXPECT_EQ(step, static_cast<double>(static_cast<float>(step)));
    }
    EXPECT_DOUBLE_EQ(ZUTIL_calculateTickStep(1, nullptr, 0, 7), 2.0);
}

namespace {

// Bounding box of the dark pixels: {minX, minY, maxX, maxY}, y up.
std::vector<int> inkBox(const pf::draw::Context& ctx) {
    std::vector<int> box = {1 << 20, 1 << 20, -1, -1};
    for (int y = 0; y < ctx.height(); ++y)
        for (int x = 0; x < ctx.width(); ++x)
            if ((ctx.pixel(x, y) >> 24) > 128) {
                box[0] = std::min(box[0], x), box[1] = std::min(box[1], y);
                box[2] = std::max(box[2], x), box[3] = std::max(box[3], y);
            }
    return box;
}

}  // namespace

TEST(ZelkDraw, TextAlignmentsReadBackFromTheBitmap) {
    const struct {
        SInt32 alignment;
        double x;
    } rows[] = {{0, 150}, {2, 150}, {1, 150}, {7, 150}};
    double width = 0;
    for (const auto& r : rows) {
        pf::draw::Context ctx(300, 80);
        ctx.setFont(pf::draw::kMonospaceFont, 20);
        ctx.setFillColor(0, 0, 0, 1);
        width = ZUTIL_GetTextWidth(&ctx, "MMMMMM");
        ASSERT_GT(width, 40);
        ZUTIL_DrawText(&ctx, "MMMMMM", r.alignment, r.x, 30);
        const std::vector<int> box = inkBox(ctx);
        const double left = r.alignment == 0 ? r.x - width / 2 : r.alignment == 2 ? r.x - width : r.x;
        EXPECT_NEAR(box[0], left, 4) << r.alignment;
        EXPECT_NEAR(box[2], left + width, 4) << r.alignment;
        EXPECT_NEAR(box[1], 30, 3) << r.alignment;  // the baseline at y, letters above it
        EXPECT_GT(box[3], 40) << r.alignment;
    }
    ZUTIL_DrawText(nullptr, "x", 0, 0, 0);
    EXPECT_EQ(ZUTIL_GetTextWidth(nullptr, "x"), 0.0);
}

TEST(ZelkDraw, LinesAndBoxesAreOneCrispSegment) {
    pf::draw::Context ctx(50, 50);
    ctx.setStrokeColor(1, 0, 0, 1);
    ctx.setLineWidth(1);
    ZUTIL_DrawLine(&ctx, 5.5, 10.5, 40.5, 10.5);
    ZUTIL_DrawBox(&ctx, 20.5, 20.5, 20.5, 45.5);
    EXPECT_EQ(ctx.pixel(20, 10), 0xFFFF0000u);
    EXPECT_EQ(ctx.pixel(20, 11), 0u);  // no antialiased fringe
    EXPECT_EQ(ctx.pixel(20, 9), 0u);
    EXPECT_EQ(ctx.pixel(20, 30), 0xFFFF0000u);
    EXPECT_EQ(ctx.pixel(21, 30), 0u);
    EXPECT_EQ(ctx.pixel(30, 30), 0u);  // a segment, not a rectangle
}

TEST(ZelkPaths, RootsAreSetAndReadBack) {
    const zelk::roots::Folders saved = zelk::roots::get();
    const zelk::roots::Folders d = zelk::roots::defaults();
    EXPECT_EQ(d.tool, "/usr/local/bin");
    EXPECT_EQ(d.var, "/var");
    EXPECT_FALSE(d.temp.empty());
    EXPECT_EQ(d.application.back(), '/');
    nktest::TempDir dir;
    zelk::roots::set({dir.file("res"), dir.path().string() + "/", dir.file("bin"), dir.file("var"), dir.file("tmp")});
    EXPECT_EQ(std::string(ZUTIL_GetAppResPath()), dir.file("res"));
    EXPECT_EQ(std::string(ZUTIL_GetAppPath()), dir.path().string() + "/");
    EXPECT_EQ(zelk::roots::get().tool, dir.file("bin"));
    zelk::roots::set(saved);
    EXPECT_NE(ZUTIL_GetBundlePath(), nullptr);
}

// ---------------------------------------------------------------- FIFO

namespace {

std::vector<UInt8> bytes(size_t n, UInt8 first = 0) {
    std::vector<UInt8> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<UInt8>(first + i);
    return b;
}

UInt32 put(tZelk_Fifo* f, size_t n, UInt8 first = 0) {
    std::vector<UInt8> b = bytes(n, first);
    UInt32 len = static_cast<UInt32>(n);
    EXPECT_EQ(ZUTIL_FIFO_Write(f, b.data(), &len, 10), 0);
    return len;
}

std::vector<UInt8> take(tZelk_Fifo* f, UInt32 want) {
    std::vector<UInt8> b(want + 1, 0xEE);
    UInt32 len = want;
    EXPECT_EQ(ZUTIL_FIFO_Read(f, b.data(), &len, 10), 0);
    EXPECT_EQ(b[len], 0);
    b.resize(len);
    return b;
}

}  // namespace

TEST(ZelkFifo, CapacityAndWrap) {
    tZelk_Fifo* f = ZUTIL_FIFO_Create(64);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(put(f, 49), 0u);  // more than size - 16 never goes in
    EXPECT_EQ(put(f, 48), 48u);
    EXPECT_EQ(take(f, 48), bytes(48));

    tZelk_Fifo* g = ZUTIL_FIFO_Create(64);
    EXPECT_EQ(put(g, 40), 40u);
    EXPECT_EQ(take(g, 30), bytes(30));
    EXPECT_EQ(put(g, 39, 100), 0u);  // free space 54: 38 at most
    EXPECT_EQ(put(g, 38, 100), 38u);  // 24 up to the end, 14 from the start
    std::vector<UInt8> expected = bytes(10, 30);
    const std::vector<UInt8> wrapped = bytes(38, 100);
    expected.insert(expected.end(), wrapped.begin(), wrapped.end());
    EXPECT_EQ(take(g, 100), expected);
    EXPECT_EQ(take(g, 10), std::vector<UInt8>{});
    ZUTIL_FIFO_Delete(&g);
    EXPECT_EQ(g, nullptr);

    // A write that ends exactly at the buffer's end goes on at its start.
    tZelk_Fifo* h = ZUTIL_FIFO_Create(64);
    EXPECT_EQ(put(h, 40), 40u);
    EXPECT_EQ(take(h, 40).size(), 40u);
    EXPECT_EQ(put(h, 24, 1), 24u);  // up to the end exactly
    EXPECT_EQ(put(h, 20, 50), 20u);
    std::vector<UInt8> both = bytes(24, 1);
    const std::vector<UInt8> more = bytes(20, 50);
    both.insert(both.end(), more.begin(), more.end());
    EXPECT_EQ(take(h, 64), both);
    ZUTIL_FIFO_Delete(&h);

    // Fewer bytes than wanted: what there is, then a zero byte.
    EXPECT_EQ(put(f, 4, 7), 4u);
    EXPECT_EQ(take(f, 10), bytes(4, 7));
    ZUTIL_FIFO_Delete(&f);
    ZUTIL_FIFO_Delete(&f);
    ZUTIL_FIFO_Delete(nullptr);
}

TEST(ZelkFifo, RefusalsAndTheObjectForm) {
    for (UInt32 size : {0u, 1u, 16u}) EXPECT_EQ(ZUTIL_FIFO_Create(size), nullptr) << size;
    tZelk_Fifo* f = ZUTIL_FIFO_Create(17);
    ASSERT_NE(f, nullptr);
    UInt8 b[4] = {1, 2, 3, 4};
    UInt32 len = 1;
    EXPECT_EQ(ZUTIL_FIFO_Write(f, b, &len, 0), 0);
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(ZUTIL_FIFO_Read(nullptr, b, &len, 0), 17);
    EXPECT_EQ(ZUTIL_FIFO_Read(f, nullptr, &len, 0), 17);
    EXPECT_EQ(ZUTIL_FIFO_Read(f, b, nullptr, 0), 17);
    EXPECT_EQ(ZUTIL_FIFO_Write(nullptr, b, &len, 0), 17);
    EXPECT_EQ(ZUTIL_FIFO_Write(f, nullptr, &len, 0), 17);
    ZUTIL_FIFO_Delete(&f);

    Zelk_Fifo none(3);
    EXPECT_FALSE(none.hasFifo());
    len = 1;
    EXPECT_EQ(none.ffWrite(b, &len, 0), 17);
    Zelk_Fifo obj(32);
    iZelk_Fifo& i = obj;
    len = 3;
    EXPECT_EQ(i.ffWrite(b, &len, 0), 0);
    UInt8 out[8] = {};
    len = 8;
    EXPECT_EQ(i.ffRead(out, &len, 0), 0);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(out[2], 3);
}

// Another thread holds the lock longer than the wait: nothing moves, and a zero byte
// still ends the destination.
TEST(ZelkFifoConcurrency, HeldLockMeansNothingMoves) {
    tZelk_Fifo* f = ZUTIL_FIFO_Create(1024);
    ASSERT_NE(f, nullptr);
    UInt8 b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UInt32 len = 8;
    ASSERT_EQ(ZUTIL_FIFO_Write(f, b, &len, 0), 0);
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        std::lock_guard<std::mutex> guard(zelk::detail::fifoLock(f));
        held = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held) std::this_thread::yield();
    for (UInt8 wait : {UInt8{0}, UInt8{20}}) {
        UInt8 out[9];
        std::memset(out, 0xEE, sizeof(out));
        len = 8;
        EXPECT_EQ(ZUTIL_FIFO_Read(f, out, &len, wait), 0);
        EXPECT_EQ(len, 0u);
        EXPECT_EQ(out[0], 0);
        len = 4;
        EXPECT_EQ(ZUTIL_FIFO_Write(f, b, &len, wait), 0);
        EXPECT_EQ(len, 0u);
    }
    release = true;
    holder.join();
    UInt8 out[32];
    len = 31;
    EXPECT_EQ(ZUTIL_FIFO_Read(f, out, &len, 0), 0);
    EXPECT_EQ(len, 8u);  // only the first write went in
    ZUTIL_FIFO_Delete(&f);
}

TEST(ZelkFifoConcurrency, WriterAndReaderKeepTheSequence) {
    tZelk_Fifo* f = ZUTIL_FIFO_Create(256);
    ASSERT_NE(f, nullptr);
    constexpr UInt32 kCount = 20000;
    std::thread writer([f] {
        for (UInt32 i = 0; i < kCount;) {
            UInt8 b[4];
            std::memcpy(b, &i, 4);
            UInt32 len = 4;
            ZUTIL_FIFO_Write(f, b, &len, 5);
            if (len == 4) ++i;
            else std::this_thread::yield();
        }
    });
    std::vector<UInt8> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (got.size() < kCount * 4 && std::chrono::steady_clock::now() < deadline) {
        UInt8 b[64];
        UInt32 len = 63;
        ZUTIL_FIFO_Read(f, b, &len, 5);
        got.insert(got.end(), b, b + len);
        if (len == 0) std::this_thread::yield();
    }
    writer.join();
    ASSERT_EQ(got.size(), kCount * 4);
    for (UInt32 i = 0; i < kCount; ++i) {
        UInt32 v;
        std::memcpy(&v, got.data() + 4 * i, 4);
        ASSERT_EQ(v, i);
    }
    ZUTIL_FIFO_Delete(&f);
}

TEST(ZelkSerial, NameOfTheSerialFunctionUnderAUsbDevice) {
    pf::usb::useSimulated(true);
    pf::usb::sim::DeviceSpec withTty;
    withTty.desc.readable = true;
    withTty.tty = "/dev/ttyACM7";
    const pf::usb::Handle h = pf::usb::sim::plug(withTty);
    pf::usb::sim::DeviceSpec plain;
    plain.desc.readable = true;
    const pf::usb::Handle none = pf::usb::sim::plug(plain);

    iZelk_LogManager* lm = ZLM_Create();
    ZLM_SetVerboseLevel(lm, 3);
    char name[8] = "?";
    testing::internal::CaptureStdout();
    EXPECT_EQ(ZUTIL_GetSerialDevName(lm, name, sizeof(name), h, 4, 2), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(name, "ttyACM7");
    EXPECT_NE(out.find("--ZUTIL_GetSerialDevName--\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Found Serial Device Name /dev/ttyACM7 for object " + std::to_string(h)), std::string::npos);

    char small[4] = "?";
    EXPECT_EQ(ZUTIL_GetSerialDevName(nullptr, small, sizeof(small), h, 4, 2), 0);
    EXPECT_STREQ(small, "tty");  // cut at the capacity
    EXPECT_EQ(ZUTIL_GetSerialDevName(nullptr, name, sizeof(name), none, 4, 2), 95);
    EXPECT_EQ(ZUTIL_GetSerialDevName(nullptr, name, sizeof(name), 999999, 4, 2), 95);
    ZLM_Delete(&lm);
    pf::usb::sim::unplug(h);
    pf::usb::sim::unplug(none);
    pf::usb::useSimulated(false);
}

// The ZUTIL_ names reach the statistics and fits themselves.
TEST(ZelkUtilMath, ForwardersGiveTheSameAnswers) {
    const double v[] = {1, 2, 3, kZelk_noValue, 6};
    double mx = 0, mn = 0, span = 0, avg = 0, sd = 0, rms = 0, med = 0;
    ZUTIL_FindMaxMinSpanAvgStdevRmsMedDouble_1D(v, 1, 0, 5, &mx, &mn, &span, &avg, &sd, &rms, &med);
    double mx2 = 0, mn2 = 0, span2 = 0, avg2 = 0, sd2 = 0, rms2 = 0, med2 = 0;
    ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_1D(v, 1, 0, 5, &mx2, &mn2, &span2, &avg2, &sd2, &rms2, &med2);
    EXPECT_EQ(mx, 6.0);
    EXPECT_EQ(mn, 1.0);
    EXPECT_EQ(avg, avg2);
    EXPECT_EQ(med, med2);
    const double x[] = {0, 1, 2, 3}, y[] = {1, 3, 5, 7};
    double slope = 0, intercept = 0;
    EXPECT_EQ(ZUTIL_LineFitDouble(x, y, 4, &slope, &intercept, nullptr, nullptr), 0);
    EXPECT_NEAR(slope, 2, 1e-12);
    EXPECT_NEAR(intercept, 1, 1e-12);
    double c[2] = {};
    EXPECT_EQ(ZUTIL_PolyFitDouble(x, y, 4, 1, c), 0);
    EXPECT_NEAR(c[1], 2, 1e-9);
    EXPECT_EQ(ZUTIL_LineFitDouble(nullptr, y, 4, &slope, nullptr, nullptr, nullptr), 17);
    EXPECT_EQ(ZUTIL_GaussianFunction(0, 1, 0.5), ZMATH_GaussianFunction(0, 1, 0.5));
}
