// Load cell reader against a cell played on a pseudo-terminal behind a simulated adapter.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstring>

#include "instrument_owner.h"
#include "nk_futekLoadCell.h"
#include "net_test_util.h"
#include "nk_locale_util.h"
#include "serial_instrument_sim.h"

using insttest::SimAdapter;

namespace {

u32 bitsOf(float f) {
    u32 b;
    std::memcpy(&b, &f, 4);
    return b;
}

// One reading as the cell writes it: 16 characters and "\r\n", with a '.'
// whatever the test's own locale.
std::string reading(double v) {
    char t[32];
    std::snprintf(t, sizeof(t), "%+013.4f lb\r\n", v);
    for (char& c : t)
        if (c == ',') c = '.';
    return t;
}

// Descriptors of this process open on `path`.
int openCount(const std::string& path) {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) {
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 && path == target) ++n;
    }
    closedir(d);
    return n;
}

struct CellOwner : INK_futekLoadCellCallback, insttest::DisconnectRecord<CNK_futekLoadCell> {
    void onFutekLoadCellDisconnected(u32 i, t_nkUsbDevInfo&) override { disconnected(i); }
};

class LoadCell : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(reading(12.5).size(), 18u);
        CNK_futekLoadCell::firstLineWaitChecks = 300;
        cell = CNK_futekLoadCell::create(adapter.openDevice());
        ASSERT_NE(cell, nullptr);
    }
    void TearDown() override { delete cell; }

    // Opens continuous mode while a warm-up reading repeats, then empties the queue.
    void openContinuous(u32 target) {
        std::atomic<bool> opened{false};
        std::thread warm([&] {
            while (!opened) {
                adapter.pty.send(reading(1.0));
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        const u16 rc = cell->Open(target, 0, nullptr);
        opened = true;
        warm.join();
        ASSERT_EQ(rc, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<float> sink(4 * target + 1);
        u32 n = u32(sink.size());
        ASSERT_EQ(cell->getForceData(sink.data(), &n, nullptr), 0);
    }
    bool waitCount(u32 n) {
        return nettest::waitFor([&] { return cell->forceDataCount() >= n; }, 60000);
    }

    SimAdapter adapter{0x1234, 0x5678};
    CNK_futekLoadCell* cell = nullptr;
};

TEST_F(LoadCell, ContinuousLinesQueueValuesAndSentinelsForBadLengths) {
    openContinuous(16);
    const u32 base = cell->forceDataCount();
    adapter.pty.send(reading(12.5) + std::string(" +1.25 lb\r\n").insert(0, 6, ' ') +  // 17 bytes
                     std::string("   +2.5000000 lb\r\n").insert(0, 1, ' ') +           // 19 bytes
                     "  garbage text  \r\n" +                                          // 18, no number
                     reading(-3.25));
    ASSERT_TRUE(waitCount(base + 5));
    float got[8];
    u32 n = 8, discards = 99;
    ASSERT_EQ(cell->getForceData(got, &n, &discards), 0);
    ASSERT_EQ(n, 5u);
    EXPECT_FLOAT_EQ(got[0], 12.5f);
    EXPECT_EQ(bitsOf(got[1]), 0x80131C10u);
    EXPECT_EQ(bitsOf(got[2]), 0x80131C10u);
    EXPECT_EQ(bitsOf(got[3]), 0x80131C10u);  // never the previous value as good
    EXPECT_FLOAT_EQ(got[4], -3.25f);
    EXPECT_EQ(discards, 3u);
    EXPECT_FLOAT_EQ(cell->forceLatest(), -3.25f);
    EXPECT_TRUE(*cell->dataValidFlag());
    EXPECT_EQ(cell->startStreamingCtrl(), nullptr);
}

TEST_F(LoadCell, ValueParsesInTheCLocaleUnderADecimalComma) {
    nktest::GermanNumbers de;
    ASSERT_TRUE(de.active());
    openContinuous(4);
    const u32 base = cell->forceDataCount();
    adapter.pty.send(reading(7.125));
    ASSERT_TRUE(waitCount(base + 1));
    EXPECT_FLOAT_EQ(cell->forceLatest(), 7.125f);
}

TEST_F(LoadCell, RefusalsAndASilentCell) {
    EXPECT_EQ(cell->Open(102400, 0, nullptr), kNKErr_invalidParam);
    EXPECT_EQ(cell->OpenStreaming(102400, 0, false), kNKErr_invalidParam);
    float f[1];
    u32 n = 0;
    EXPECT_EQ(cell->getForceData(f, &n, nullptr), kNKErr_invalidParam);
    EXPECT_EQ(cell->getForceData(nullptr, &n, nullptr), kNKErr_invalidPointer);
    EXPECT_EQ(cell->getForceDataFromRaw(f, &n), kNKErr_invalidTestCondition);  // nothing captured

    CNK_futekLoadCell::firstLineWaitChecks = 30;
    EXPECT_EQ(cell->Open(102399, 0, nullptr), kNKErr_threadCreationFailed);
    EXPECT_FALSE(cell->isRunning());
    EXPECT_EQ(openCount(adapter.pty.path()), 1);  // only the test's own slave descriptor

    CellOwner a, b;
    cell->setCallback(1, &a);
    cell->setCallback(2, &b);  // refused, the first stays (seen at the unplug test)
}

TEST_F(LoadCell, OpenWhileTheReaderRunsIsRefused) {
    openContinuous(4);
    EXPECT_EQ(cell->Open(4, 0, nullptr), kNKErr_invalidStatus);
    EXPECT_EQ(cell->OpenStreaming(4, 0, false), kNKErr_invalidStatus);
    EXPECT_TRUE(cell->isRunning());
    cell->Close();
    EXPECT_FALSE(cell->isRunning());
}

// N points stop at N x 18 - 1 bytes; the first line is skipped as possibly
// partial and the last as cut.
TEST_F(LoadCell, StreamingCaptureStopsAtItsSizeAndParses) {
    ASSERT_EQ(cell->OpenStreaming(5, 0, false), 0);
    EXPECT_EQ(cell->startStreamingCtrl(), nullptr);
    std::string all;
    for (int i = 0; i < 5; ++i) all += reading(10.0 + i);
    // The reader empties the line as it starts: send once it reads.
    ASSERT_TRUE(nettest::waitFor([&] { return cell->getStartTime() != 0; }, 60000));
    // A chunk's read returns at its time-out (1 s) with what has come.
    adapter.pty.send(all.substr(0, 30));
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(bitsOf(cell->forceLatestFromRaw()), 0x80131C10u);  // fewer than 36 bytes yet
    adapter.pty.send(all.substr(30, 88 - 30));
    // The window's last 63 bytes; the reading after its first line end.
    EXPECT_TRUE(nettest::waitFor([&] { return cell->forceLatestFromRaw() == 12.0f; }, 60000));
    EXPECT_TRUE(cell->isRunning());  // 88 bytes: one short
    adapter.pty.send(all.substr(88, 1));
    ASSERT_TRUE(nettest::waitFor([&] { return !cell->isRunning(); }, 60000));

    float v[8];
    u32 n = 8;
    // The console names the capture's line ends (the last line lost its "\n"), then its time.
    testing::internal::CaptureStdout();
    ASSERT_EQ(cell->getForceDataFromRaw(v, &n), 0);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.rfind("4 line of force dataTime To Capture ", 0), 0u) << console;
    EXPECT_NE(console.find("\ndataPoints 3\n"), std::string::npos) << console;
    ASSERT_EQ(n, 3u);
    EXPECT_FLOAT_EQ(v[0], 11.0f);
    EXPECT_FLOAT_EQ(v[1], 12.0f);
    EXPECT_FLOAT_EQ(v[2], 13.0f);
    n = 2;  // the caller's capacity bounds the parse
    v[2] = -1;
    ASSERT_EQ(cell->getForceDataFromRaw(v, &n), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(v[2], -1);
}

TEST_F(LoadCell, AByteAloneAtATimeoutIsKept) {
    ASSERT_EQ(cell->OpenStreaming(2, 0, false), 0);
    const std::string all = reading(1.0) + reading(2.0);
    ASSERT_TRUE(nettest::waitFor([&] { return cell->getStartTime() != 0; }, 60000));
    adapter.pty.send(all.substr(0, 34));
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));  // the chunk's read times out with 34
    adapter.pty.send(all.substr(34, 1));
    EXPECT_TRUE(nettest::waitFor([&] { return !cell->isRunning(); }, 60000));
}

TEST_F(LoadCell, HoldReleasedByTheOwnerOrByTime) {
    for (bool byOwner : {true, false}) {
        SCOPED_TRACE(byOwner);
        ASSERT_EQ(cell->OpenStreaming(3, byOwner ? 60.0 : 0.4, true), 0);
        ASSERT_NE(cell->startStreamingCtrl(), nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string early;
        for (int i = 0; i < 3; ++i) early += reading(-99.0);
        adapter.pty.send(early);  // thrown away while held
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (byOwner) {
            *cell->startStreamingCtrl() = false;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(350));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        adapter.pty.send(reading(5.0) + reading(6.0) + reading(7.0));
        ASSERT_TRUE(nettest::waitFor([&] { return !cell->isRunning(); }, 60000));
        float v[4];
        u32 n = 4;
        ASSERT_EQ(cell->getForceDataFromRaw(v, &n), 0);
        ASSERT_EQ(n, 1u);
        EXPECT_FLOAT_EQ(v[0], 6.0f);
    }
}

TEST_F(LoadCell, UnplugWhileReadingTellsTheOwnerOnce) {
    CellOwner owner, refused;
    owner.device = cell;
    cell->setCallback(1, &owner);
    cell->setCallback(2, &refused);
    openContinuous(8);
    adapter.unplug();
    ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.told > 0; }, 60000));
    pf::runloop::runFor(20);
    EXPECT_EQ(owner.told, 1);
    EXPECT_EQ(owner.id, kNKFutek_callbackId);
    EXPECT_EQ(owner.device, nullptr);
    EXPECT_EQ(refused.told, 0);
    cell = nullptr;  // it freed itself
}

}  // namespace

TEST(LoadCellParse, CaptureAndWindowTables) {
    // Capture parse: (text, capacity) -> values
    struct Case {
        std::string text;
        u32 capacity;
        u16 rc;
        std::vector<float> values;
    };
    const std::string a = reading(1.5), b = reading(2.5), c = reading(3.5);
    const Case cases[] = {
        {"no line end", 8, kNKErr_invalidTestCondition, {}},
        {"x\r\n", 8, 0, {}},
        {"x\r\n" + a + b + "+3.5", 8, 0, {1.5f, 2.5f}},
        {"x\r\n" + a + b + c, 2, 0, {1.5f, 2.5f}},
        {"x\r\n" + a + "short\r\n" + b, 8, 0, {1.5f, 1.5f, 2.5f}},  // a short item repeats the one before
        {"x\r\n" + a + "not a number... \r\n" + b, 8, 0, {1.5f, nkFutek_noValue(), 2.5f}},
    };
    for (const Case& k : cases) {
        float out[16];
        u32 n = k.capacity;
        ASSERT_EQ(nkFutek_parseCapture(k.text.data(), k.text.size(), out, &n), k.rc) << k.text;
        if (k.rc) continue;
        ASSERT_EQ(n, k.values.size()) << k.text;
        for (u32 i = 0; i < n; ++i) EXPECT_EQ(bitsOf(out[i]), bitsOf(k.values[i])) << k.text << i;
    }
    float v = 0;
    EXPECT_EQ(nkFutek_parseWindow((a + b).c_str(), &v), 0);
    EXPECT_FLOAT_EQ(v, 2.5f);
    EXPECT_EQ(nkFutek_parseWindow("no carriage return here at all, none at all", &v), kNKErr_invalidPointer);
    EXPECT_EQ(nkFutek_parseWindow((a + "+2.5").c_str(), &v), kNKErr_invalidDataSize);
}

TEST(LoadCellCreate, NullDeviceGivesNoReader) { EXPECT_EQ(CNK_futekLoadCell::create(nullptr), nullptr); }
