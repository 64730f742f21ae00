// Multimeter board against its model on the simulated USB bus, its bulk channel a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "marlet_sim.h"
#include "nk_marlet.h"
#include "runloop/pf_runloop.h"

using insttest::MarletModel;
using Bytes = std::vector<uint8_t>;

namespace {

struct Owner : INK_marletCallback {
    std::atomic<int> told{0};
    u32 id = 99;
    void onMarletDisconnected(u32 i, t_nkUsbDevInfo&) override {
        id = i;
        ++told;
    }
};

class Marlet : public ::testing::Test {
protected:
    void SetUp() override {
        pf::usb::useSimulated(true);
        model.reports[0x8F] = Bytes(32, 'S');
        handle = pf::usb::sim::plug(model.spec(0x05AC, 0x1234));
        board = CNK_marlet::create(CNK_usbDev::create(0x05AC, 0x1234, 0));
        ASSERT_NE(board, nullptr);
        model.clearLog();
    }
    void TearDown() override {
        if (board) board->releaseResource();
        delete board;
        if (handle) pf::usb::sim::unplug(handle);
        pf::runloop::runFor(20);
    }
    MarletModel model;
    pf::usb::Handle handle = 0;
    CNK_marlet* board = nullptr;
};

// 62 bytes: one packet without the flag; 63: a flagged full packet and 3 bytes; R in both.
TEST_F(Marlet, SpiPackets) {
    Bytes out(63);
    for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(0xA0 + i);
    u8 in[70] = {};
    ASSERT_EQ(board->spi_sendRecv(out.data(), 62, in, 0x105 & 0x3F), 0);
    auto c = model.commands();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_TRUE(c[0].spi && c[0].set);
    ASSERT_EQ(c[0].bytes.size(), 64u);
    EXPECT_EQ(c[0].bytes[0], 0x00);
    EXPECT_EQ(c[0].bytes[1], 0x05);
    EXPECT_EQ(c[0].bytes[63], out[61]);
    EXPECT_FALSE(c[1].set);

    model.clearLog();
    u8 big[300];
    ASSERT_EQ(board->spi_sendRecv(out.data(), 63, big, 300), 0);
    c = model.commands();
    ASSERT_EQ(c.size(), 2u + 5u);  // two packets, then 64 x 4 + 44
    EXPECT_EQ(c[0].bytes[0], 0x81);
    EXPECT_EQ(c[0].bytes[1], 0x2C);
    EXPECT_EQ(c[1].bytes, (Bytes{0x01, 0x2C, out[62]}));
    EXPECT_EQ(c.back().bytes.size(), 44u);

    model.clearLog();
    ASSERT_EQ(board->spi_sendRecv(out.data(), 4, nullptr, 0), 0);  // sends only
    c = model.commands();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].bytes, (Bytes{0, 0, 0xA0, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(board->spi_sendRecv(out.data(), 4, big, 0x8000), kNKErr_invalidParam);
    EXPECT_EQ(board->spi_sendRecv(nullptr, 4, big, 1), kNKErr_invalidPointer);
    EXPECT_EQ(board->spi_set_speed(0.05f), kNKErr_invalidParam);
    ASSERT_EQ(board->spi_set_speed(2.55f), 0);
    EXPECT_EQ(model.commands().back().bytes, (Bytes{25}));
}

// Above 1041 passes; a version that cannot be read (0xFFFF) lets the command go to the board.
TEST_F(Marlet, FirmwareGates) {
    struct Case {
        int fw;
        u16 rc;
    };
    for (const Case& k : {Case{1041, kNKErr_notSupported}, Case{1042, 0}, Case{-1, 0}}) {
        SCOPED_TRACE(k.fw);
        TearDown();
        model.fwVersion = k.fw;
        SetUp();
        EXPECT_EQ(board->ldo_set_voltage(1, 3.3f), k.rc);
        t_nkMarlet_dmm_reading r;
        EXPECT_EQ(board->dmm_get_reading(0, true, 2, &r), k.rc);
        size_t sets = 0;
        for (const auto& t : model.transfers()) sets += t.set;
        EXPECT_EQ(sets, k.rc ? 0u : 4u);  // one LDO command, three DMM commands
        if (k.fw < 0) {
            EXPECT_EQ(board->fwVersion(), 0xFFFF);
        }
    }
    EXPECT_EQ(board->ldo_set_voltage(3, 1.0f), kNKErr_invalidParam);
}

TEST_F(Marlet, DmmAdcLdoAndGpioBytes) {
    model.reports[0x82] = Bytes(32, 0x5A);
    t_nkMarlet_dmm_reading r{};
    ASSERT_EQ(board->dmm_get_reading(2, true, 7, &r), 0);
    auto c = model.commands();
    ASSERT_EQ(c.size(), 5u);  // version, three SETs, the reading
    EXPECT_EQ(c[1].bytes, (Bytes{7, 0x09}));
    EXPECT_EQ(c[2].bytes, (Bytes{2, 0x07}));
    EXPECT_EQ(c[3].bytes, (Bytes{2, 0x01}));
    EXPECT_EQ(r.raw[31], 0x5A);
    EXPECT_EQ(board->dmm_get_reading(4, true, 7, &r), kNKErr_invalidParam);
    EXPECT_EQ(board->dmm_get_reading(0, true, 7, nullptr), kNKErr_invalidPointer);
    model.refusals[0x82] = 3;
    EXPECT_EQ(board->dmm_get_fullReading(0, false, 4, 1, &r), kNKErr_actionFailed);
    model.refusals[0x84] = 0x42;
    EXPECT_EQ(board->dmm_set_volDac(1, 2), 0x42);  // the board's own code

    const double v = 1.75;
    Bytes d(8);
    std::memcpy(d.data(), &v, 8);
    model.reports[0x81] = d;
    float f = 0;
    EXPECT_EQ(board->adc_get_reading(3, &f), kNKErr_invalidParam);
    EXPECT_EQ(board->adc_get_reading(12, &f), kNKErr_invalidParam);
    ASSERT_EQ(board->adc_get_reading(MCU_AD1, &f), 0);
    EXPECT_FLOAT_EQ(f, 1.75f);

    model.clearLog();
    ASSERT_EQ(board->ldo_set_voltage(2, 1.5f), 0);
    c = model.commands();
    ASSERT_EQ(c.size(), 1u);
    Bytes ldo = {2};
    const double lv = 1.5;
    ldo.resize(9);
    std::memcpy(ldo.data() + 1, &lv, 8);
    EXPECT_EQ(c[0].bytes, ldo);

    model.reports[0x80] = {1};
    u8 on = 0;
    ASSERT_EQ(board->gpi_get_status(9, &on), 0);
    EXPECT_EQ(on, 1);
    model.refusals[0x80] = 1;
    EXPECT_EQ(board->gpi_get_status(9, &on), kNKErr_actionFailed);
    EXPECT_EQ(on, 0xFF);
    EXPECT_EQ(std::string(board->boardSn()), std::string(32, 'S'));
}

TEST_F(Marlet, CalibrationBlockGetAndSet) {
    for (size_t i = 0; i < model.calBlock.size(); ++i) model.calBlock[i] = uint8_t(i * 13);
    auto cal = std::make_unique<t_dmm_cal_data>();
    ASSERT_EQ(board->dmm_get_calData(cal.get()), 0);
    EXPECT_TRUE(std::equal(model.calBlock.begin(), model.calBlock.end(), cal->raw));
    auto c = model.commands();
    ASSERT_EQ(c.size(), 1u + 178u);  // SET 0x86, then 177 x 64 + 16
    EXPECT_EQ(c[1].bytes.size(), 64u);
    EXPECT_EQ(c.back().bytes.size(), 16u);

    model.clearLog();
    for (auto& b : cal->raw) b = uint8_t(~b);
    ASSERT_EQ(board->dmm_set_calData(cal.get()), 0);
    c = model.commands();
    ASSERT_EQ(c.size(), 1u + 181u + 1u);  // start, 181 packets, end
    EXPECT_EQ(c[0].bytes, (Bytes{0x00}));
    EXPECT_EQ(c[181].bytes[0], 0x01);
    EXPECT_EQ(c.back().id, 0x85);
    ASSERT_EQ(model.calWritten.size(), 11344u);
    EXPECT_TRUE(std::equal(model.calWritten.begin(), model.calWritten.end(), cal->raw));

    u32 n = 0;
    u8 b[4];
    EXPECT_EQ(board->readBuffer(b, &n), kNKErr_invalidParam);
    EXPECT_EQ(board->readBuffer(nullptr, &n), kNKErr_invalidPointer);
    EXPECT_EQ(board->dmm_get_calData(nullptr), kNKErr_invalidPointer);
    model.failAt = 3;
    model.clearLog();
    EXPECT_EQ(board->dmm_set_calData(cal.get()), kNKErr_usbSetReportError);
}

TEST_F(Marlet, I2cAndRelayBoardSequences) {
    Bytes data(70);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
    ASSERT_EQ(board->i2c_set_data(0x50, 0x1ABCD, true, data.data(), u16(data.size())), 0);
    auto c = model.commands();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0].bytes.size(), 64u);
    EXPECT_EQ(c[0].bytes[2], 0x03);
    EXPECT_EQ(c[1].bytes.size(), 9u + 3u);
    EXPECT_EQ(c[2].bytes, (Bytes{0xAB, 0xCD, 0x04, 0x51}));

    model.clearLog();
    u8 in[100];
    ASSERT_EQ(board->i2c_get_data(0x50, 0x10203, false, in, 100), 0);
    c = model.commands();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0].bytes, (Bytes{0x02, 0x03, 0x02, 0x51, 0x00, 100}));
    EXPECT_EQ(c[2].bytes.size(), 36u);
    EXPECT_EQ(board->i2c_get_data(0x50, 0x20000, false, in, 4), kNKErr_invalidParam);

    model.clearLog();
    ASSERT_EQ(board->relayBoard_ctrl(0x0F, false), 0);
    c = model.commands();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].bytes, (Bytes{0x00, 0x00, 0x01, 0x27, 0x03, 0x01, 0x00}));
    EXPECT_EQ(c[1].bytes, (Bytes{0x00, 0x00, 0x01, 0x27, 0x01, 0x01}));
    EXPECT_EQ(c[2].bytes, (Bytes{0x00, 0x09, 0x01, 0x27, 0x03, 0x01, 0xF0}));
    EXPECT_EQ(c[3].bytes, (Bytes{0x00, 0x09, 0x01, 0x27, 0x01, 0x01}));
    EXPECT_EQ(model.transfers().size(), 6u);  // two status reads
}

TEST_F(Marlet, FlaggedI2cNeedsFirmware1059) {
    TearDown();
    model.fwVersion = 1058;
    SetUp();
    u8 b[4] = {};
    EXPECT_EQ(board->i2c_get_data(0x50, 0, true, b, 4), 0);  // version not read yet: passes
    ASSERT_EQ(board->fwVersion(), 1058);
    EXPECT_EQ(board->i2c_get_data(0x50, 0, true, b, 4), kNKErr_notSupported);
    EXPECT_EQ(board->i2c_set_data(0x50, 0, true, b, 4), kNKErr_notSupported);
    EXPECT_EQ(board->i2c_get_data(0x50, 0, false, b, 4), 0);
}

TEST_F(Marlet, BulkWritesAndReadsOverTheTty) {
    // Every byte value both ways: the tty passes binary data untranslated.
    Bytes out(1500);
    for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(i * 7);
    ASSERT_EQ(board->writeBufferBulk(out.data(), u32(out.size())), 0);
    const std::string got = model.pty.receive(out.size() + 1, 300);
    ASSERT_EQ(got.size(), out.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), reinterpret_cast<const uint8_t*>(got.data())));
    EXPECT_EQ(model.commands()[0].bytes, (Bytes{0x00}));
    EXPECT_EQ(model.commands()[0].id, 0xB0);

    model.clearLog();
    Bytes in(600, 0);
    model.pty.send(out.data(), 600);
    u32 n = 600;
    ASSERT_EQ(board->readBufferBulk(in.data(), &n, 2000), 0);
    EXPECT_EQ(n, 600u);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
    EXPECT_EQ(model.commands()[0].id, 0xB1);
    EXPECT_EQ(model.commands()[0].bytes, (Bytes{0, 0, 0x02, 0x58}));

    // Some bytes by the time-out: 0; none: 0xE087 after at least 100 ms.
    model.pty.send("abc");
    n = 10;
    EXPECT_EQ(board->readBufferBulk(in.data(), &n, 150), 0);
    EXPECT_EQ(n, 3u);
    const auto t0 = std::chrono::steady_clock::now();
    n = 10;
    EXPECT_EQ(board->readBufferBulk(in.data(), &n, 0), kNKErr_serialReadTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(95));
    EXPECT_EQ(n, 0u);
    n = 0;
    EXPECT_EQ(board->readBufferBulk(in.data(), &n, 100), kNKErr_invalidParam);
    EXPECT_EQ(board->readBufferBulk(nullptr, &n, 100), kNKErr_invalidPointer);

    // Stale input is drained.
    model.pty.send(std::string(3000, 'z'));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(board->clearBulkBuffer(), 0);
    n = 1;
    EXPECT_EQ(board->readBufferBulk(in.data(), &n, 100), kNKErr_serialReadTimeout);

    // A status byte after the write is the board's own code.
    model.refusals[0xB0] = 0x21;
    EXPECT_EQ(board->writeBufferBulk(out.data(), 4), 0x21);

    ASSERT_EQ(board->releaseResource(), 0);
    EXPECT_EQ(board->writeBufferBulk(out.data(), 4), kNKErr_invalidCondition);
    n = 4;
    EXPECT_EQ(board->readBufferBulk(in.data(), &n, 100), kNKErr_invalidCondition);
    EXPECT_EQ(board->clearBulkBuffer(), kNKErr_invalidCondition);
    // The channel opens again.
    ASSERT_EQ(board->allocateResource(), 0);
    ASSERT_EQ(board->writeBufferBulk(out.data(), 4), 0x21);
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A refused status and a failed version read inside helpers are reported once each,
// under the operation the caller called.
TEST_F(Marlet, ReportsNameTheCallersOperation) {
    model.refusals[0x80] = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(board->gpo_set_status(3, true), kNKErr_actionFailed);
    model.clearLog();
    model.failAt = 0;  // the version read
    EXPECT_EQ(board->ldo_set_voltage(0, 1.0f), 0);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count(text, "CNK_marlet::gpo_set_status()"), 1u) << text;
    EXPECT_EQ(count(text, "CNK_marlet::ldo_set_voltage()"), 1u) << text;
    for (const char* helper : {"::status()", "::hidGet()", "::hidSet()", "::firmwareGate()", "::readFwVersion()"})
        EXPECT_EQ(text.find(helper), std::string::npos) << helper << "\n" << text;
}

TEST_F(Marlet, CallbackLimit) {
    Owner owners[257];
    for (int i = 0; i < 256; ++i) ASSERT_EQ(board->setCallback(u32(i), &owners[i]), 0);
    EXPECT_EQ(board->setCallback(256, &owners[256]), kNKErr_invalidDataSize);
    EXPECT_EQ(board->setCallback(1, nullptr), kNKErr_invalidPointer);
}

// The board goes while a read is under way, on the HID reports or waiting on the tty:
// the read ends early, every owner hears of it once (with id 0) and the board frees itself.
TEST_F(Marlet, UnplugInTheMiddleOfARead) {
    struct Case {
        const char* what;
        std::function<u16(CNK_marlet*)> read;
        std::function<bool()> underWay;
    };
    const Case cases[] = {
        {"reports",
         // Far more reports than a loaded machine's scheduler lets the reader get
         // through before the unplug: the read must still be under way then.
         [](CNK_marlet* b) {
             std::vector<u8> big(4000000);
             u32 n = u32(big.size());
             return b->readBuffer(big.data(), &n);
         },
         [&] { return model.transfers().size() > 20; }},
        {"tty",
         [](CNK_marlet* b) {
             u8 in[64];
             u32 n = sizeof(in);
             return b->readBufferBulk(in, &n, 20000);
         },
         [&] {
             const auto t = model.transfers();
             return !t.empty() && t.back().id == 0xB1;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        Owner owners[3];
        for (Owner& o : owners) ASSERT_EQ(board->setCallback(7, &o), 0);
        std::atomic<u16> rc{0};
        std::atomic<bool> done{false};
        const auto t0 = std::chrono::steady_clock::now();
        std::thread reader([&, b = board] {
            rc = c.read(b);
            done = true;
        });
        while (!c.underWay() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pf::usb::sim::unplug(handle);
        handle = 0;
        board = nullptr;  // it frees itself
        ASSERT_TRUE(pf::runloop::runUntil([&] { return owners[2].told > 0; }, 60000));
        reader.join();
        pf::runloop::runFor(20);
        EXPECT_TRUE(done);
        EXPECT_NE(rc, 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));  // not the 20 s time-out
        for (const Owner& o : owners) {
            EXPECT_EQ(o.told, 1);
            EXPECT_EQ(o.id, 0u);
        }
    }
}

// An owner deleting the board while its device's unplug is under way: one of the two
// frees it, never both (the owner keeps its pointer under its own lock and drops it when
// told); the sanitizers see any double free or late use.
TEST_F(Marlet, DeleteRacingAnUnplug) {
    struct Holder : INK_marletCallback {
        std::mutex m;
        CNK_marlet* board = nullptr;
        std::atomic<int> told{0};
        void onMarletDisconnected(u32, t_nkUsbDevInfo&) override {
            std::lock_guard<std::mutex> l(m);
            board = nullptr;
            ++told;
        }
    };
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        TearDown();
        SetUp();
        Holder h;
        h.board = board;
        board = nullptr;
        ASSERT_EQ(h.board->setCallback(0, &h), 0);
        std::atomic<bool> deleted{false};
        std::thread deleter([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 5)));
            std::lock_guard<std::mutex> l(h.m);
            if (h.board) {
                delete h.board;
                h.board = nullptr;
                deleted = true;
            }
        });
        pf::usb::sim::unplug(handle);
        handle = 0;
        pf::runloop::runFor(30);
        deleter.join();
        pf::runloop::runFor(10);
        EXPECT_LE(h.told, 1);
        EXPECT_TRUE(h.told == 1 || deleted);
    }
}

}  // namespace

TEST(MarletCreate, NullDeviceAndABoardWithoutTty) {
    EXPECT_EQ(CNK_marlet::create(nullptr), nullptr);
    pf::usb::useSimulated(true);
    MarletModel model;
    const pf::usb::Handle h = pf::usb::sim::plug(model.spec(0x05AC, 0x4321, false));
    CNK_marlet* board = CNK_marlet::create(CNK_usbDev::create(0x05AC, 0x4321, 0));
    ASSERT_NE(board, nullptr);
    u8 b[4];
    EXPECT_EQ(board->writeBufferBulk(b, 4), kNKErr_invalidCondition);
    EXPECT_EQ(board->eeprom_get_data(0, b, 4), kNKErr_notSupported);
    delete board;
    pf::usb::sim::unplug(h);
    pf::runloop::runFor(20);
}
