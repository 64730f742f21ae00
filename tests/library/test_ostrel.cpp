// Calibration test board against its model on the simulated USB bus.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "nk_ostrel.h"
#include "nk_test_util.h"
#include "ostrel_sim.h"
#include "runloop/pf_runloop.h"

using insttest::OstrelModel;
using Bytes = std::vector<uint8_t>;

namespace {

class Ostrel : public ::testing::Test {
protected:
    void SetUp() override {
        pf::usb::useSimulated(true);
        model.reports[0x8C] = {0x34, 0x12};
        model.reports[0x8F] = Bytes(32, 'B');
        handle = pf::usb::sim::plug(model.spec(0x0483, 0x5750));
        board = new CNK_ostrel(0x0483, 0x5750, 255);
        ASSERT_TRUE(board->hasDevice());
        std::lock_guard<std::mutex> l(model.m);
        model.log.clear();
    }
    void TearDown() override {
        delete board;
        if (handle) pf::usb::sim::unplug(handle);
        pf::runloop::runFor(20);
    }
    OstrelModel model;
    pf::usb::Handle handle = 0;
    CNK_ostrel* board = nullptr;
};

TEST_F(Ostrel, ConstructorReadsBoardWordAndText) {
    EXPECT_EQ(board->boardWord(), 0x1234);
    EXPECT_EQ(board->boardText()[31], 'B');
    // Every request goes to the interface at position 2, as a feature report.
    ASSERT_EQ(board->buzzerControl(1), 0);
    const auto log = pf::usb::sim::controlLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().wIndex, 2);
    EXPECT_EQ(log.back().wValue, 0x0379);
}

// Each 0x80 command: the exact bytes, then a status read; a refusal gives 0xE019.
TEST_F(Ostrel, CommandBytesAndRefusals) {
    struct Case {
        const char* what;
        std::function<u16()> call;
        Bytes sent;
    };
    const Case cases[] = {
        {"setGpio", [&] { return board->setGpio(5, 1); }, {5, 1}},
        {"powerControl", [&] { return board->powerControl(0x21, 0); }, {0x21, 0}},
        {"buzzer", [&] { return board->buzzerControl(1); }, {0x3A, 1}},
        {"lt1970", [&] { return board->lt1970Control(7); }, {0x78, 7}},
        {"drive", [&] { return board->driveOuputSelect(2); }, {0x2E, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        model.log.clear();
        ASSERT_EQ(c.call(), 0);
        const auto t = model.transfers();
        ASSERT_EQ(t.size(), 2u);
        EXPECT_TRUE(t[0].set);
        EXPECT_EQ(t[0].id, 0x80);
        EXPECT_EQ(t[0].bytes, c.sent);
        EXPECT_FALSE(t[1].set);
        EXPECT_EQ(t[1].id, 0x79);
        model.refusedCommands = {c.sent[0]};
        EXPECT_EQ(c.call(), kNKErr_actionFailed);
        model.refusedCommands.clear();
    }
}

TEST_F(Ostrel, GetGpioAndItsRefusal) {
    model.reports[0x80] = {0x40};
    u8 level = 9;
    ASSERT_EQ(board->getGpio(3, &level), 0);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(model.commands()[0].bytes, (Bytes{3, 0x02}));
    model.refusedCommands = {3};
    level = 9;
    EXPECT_EQ(board->getGpio(3, &level), kNKErr_actionFailed);
    EXPECT_EQ(level, 9);
}

TEST_F(Ostrel, ResetSendsBothHalvesAndReportsTheSecond) {
    ASSERT_EQ(board->resetDAC(), 0);
    auto c = model.commands();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].bytes, (Bytes{0x62, 0}));
    EXPECT_EQ(c[1].bytes, (Bytes{0x62, 1}));
    // The second send fails: the reset fails.
    model.log.clear();
    model.failTransfer = 2;  // SET, status, then the second SET
    EXPECT_EQ(board->resetSTM32(), kNKErr_usbDeviceRequest);
}

// I2C packing: 63 bytes are one packet, 64 two (64 + 2 bytes), 126 two full ones; the commit follows.
TEST_F(Ostrel, I2cWritePackingAndCommit) {
    for (size_t n : {size_t(63), size_t(64), size_t(126)}) {
        SCOPED_TRACE(n);
        model.log.clear();
        Bytes data(n);
        for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i + 1);
        ASSERT_EQ(board->i2c_set_data(2, 0x50, 0x0100, 0, data.data(), u16(n)), 0);
        const auto c = model.commands();
        const size_t packets = (n + 62) / 63;
        ASSERT_EQ(c.size(), packets + 1);
        size_t at = 0;
        for (size_t i = 0; i < packets; ++i) {
            const size_t piece = std::min<size_t>(63, n - at);
            EXPECT_EQ(c[i].id, 0x8B);
            ASSERT_EQ(c[i].bytes.size(), piece + 1);
            EXPECT_EQ(c[i].bytes[0], 0x03);
            EXPECT_TRUE(std::equal(data.begin() + long(at), data.begin() + long(at + piece), c[i].bytes.begin() + 1));
            at += piece;
        }
        EXPECT_EQ(c.back().bytes, (Bytes{0x01, 2, 0x50, 0x01, 0x00}));
        // A status read after every packet and after the commit.
        EXPECT_EQ(model.transfers().size(), 2 * (packets + 1));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), model.eeprom.begin() + 0x100));
    }
}

TEST_F(Ostrel, CalibrationDataRoundTripsThroughTheEeprom) {
    Bytes cal(200);
    for (size_t i = 0; i < cal.size(); ++i) cal[i] = uint8_t(i * 7 + 3);
    ASSERT_EQ(board->setCalibrationData(cal.data(), u16(cal.size())), 0);
    EXPECT_TRUE(std::equal(cal.begin(), cal.end(), model.eeprom.begin() + 0xC0));
    model.log.clear();
    Bytes back(cal.size(), 0);
    ASSERT_EQ(board->getCalibrationData(back.data(), u16(back.size())), 0);
    EXPECT_EQ(back, cal);
    const auto c = model.commands();
    ASSERT_GE(c.size(), 1u);
    EXPECT_EQ(c[0].bytes, (Bytes{0x02, 2, 0x50, 0x00, 0xC0, 0x00, 200}));
    // 200 bytes come as 64, 64, 64 and 8.
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[4].bytes.size(), 8u);
    EXPECT_EQ(board->getCalibrationData(nullptr, 4), kNKErr_invalidParam);
}

TEST_F(Ostrel, RecordWhoseSecondPacketEndsIt) {
    model.record = {{1, Bytes(63, 0xA1)}, {0, Bytes(63, 0xB2)}, {1, Bytes(63, 0xC3)}};
    std::vector<u8> rec;
    EXPECT_EQ(board->getRecordFromOstrel(rec, 150, true, 0xB1), kNKErr_invalidDataSize);
    ASSERT_EQ(rec.size(), 126u);  // cut after the flagged chunk, which is kept
    EXPECT_EQ(rec[62], 0xA1);
    EXPECT_EQ(rec[125], 0xB2);
    const auto c = model.commands();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].bytes.size(), 64u);

    model.record = {{1, Bytes(63, 0x11)}};
    EXPECT_EQ(board->getRecordFromOstrel(rec, 70, false, 0xB1), 0);
    EXPECT_EQ(rec.size(), 70u);
    EXPECT_EQ(model.commands().back().bytes.size(), 8u);  // the 7 missing bytes and the flag
}

// The board's double is the little-endian IEEE-754 value Python packs.
TEST_F(Ostrel, DmmDoubleAsPythonPacksIt) {
    int st = -1;
    const std::string hex = nktest::runCommand(std::string(NK_PYTHON) +
                                               " -c \"import struct;print(struct.pack('<d', -1234.5678125e-3).hex())\"", &st);
    ASSERT_EQ(st, 0);
    Bytes packed;
    for (size_t i = 0; i + 1 < hex.size() && packed.size() < 8; i += 2) packed.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    ASSERT_EQ(packed.size(), 8u);
    model.reports[0x82] = packed;
    model.reports[0x83] = packed;
    double v = 0;
    ASSERT_EQ(board->dmmMeasVoltage(&v), 0);
    EXPECT_EQ(v, -1234.5678125e-3);
    EXPECT_EQ(model.commands()[0].bytes, (Bytes{0, 0}));
    v = 0;
    ASSERT_EQ(board->dmmMeasCurrent(&v), 0);
    EXPECT_EQ(v, -1234.5678125e-3);
    EXPECT_EQ(board->dmmMeasResistance(&v), kNKErr_notSupported);
}

TEST_F(Ostrel, GainsModelPlayAndArgumentChecks) {
    EXPECT_EQ(board->inputGainControl(1, 5), kNKErr_invalidParam);
    EXPECT_EQ(board->inputGainControl(4, 0), kNKErr_invalidParam);
    EXPECT_EQ(board->inputGainControl(0, 1), 0);
    EXPECT_TRUE(model.transfers().empty());
    ASSERT_EQ(board->inputGainControl(0, 0), 0);
    auto c = model.commands();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].bytes, (Bytes{6, 0}));
    EXPECT_EQ(c[1].bytes, (Bytes{7, 0}));
    model.refusedCommands = {7};
    EXPECT_EQ(board->inputGainControl(0, 0), kNKErr_actionFailed);
    model.refusedCommands.clear();

    model.log.clear();
    ASSERT_EQ(board->setProductModel(0x01020304), 0);
    ASSERT_EQ(board->playOstrel(3), 0);
    std::vector<u16> drive(40);
    for (size_t i = 0; i < drive.size(); ++i) drive[i] = u16(0x100 + i);
    ASSERT_EQ(board->loadDriveSignalToOstrel(drive, 1.0f), 0);
    c = model.commands();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].id, 0x9A);
    EXPECT_EQ(c[0].bytes, (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(c[1].id, 0x9D);
    EXPECT_EQ(c[1].bytes, (Bytes{3}));
    EXPECT_EQ(c[2].id, 0x9C);
    EXPECT_EQ(c[2].bytes.size(), 64u);
    EXPECT_EQ(c[3].bytes.size(), 16u);
    EXPECT_EQ(c[2].bytes[0], 0x00);
    EXPECT_EQ(c[2].bytes[1], 0x01);
    // Bulk loads read no status.
    EXPECT_EQ(model.transfers().size(), 5u);

    u8 b[2];
    EXPECT_EQ(board->getReport(0x10, nullptr, 2), kNKErr_invalidParam);
    EXPECT_EQ(board->setReport(0x10, b, 0), kNKErr_invalidParam);
    EXPECT_EQ(board->sendBulkData(0x9C, nullptr, 4, false), kNKErr_invalidParam);
    EXPECT_EQ(board->recvBulkData(0x9C, b, 0, false), kNKErr_invalidParam);
    EXPECT_EQ(board->i2c_set_data(2, 0x50, 0, 0, nullptr, 4), kNKErr_invalidParam);
}

struct BoardOwner : INK_usbDeviceCallback {
    std::mutex m;
    CNK_ostrel* board = nullptr;
    std::atomic<int> told{0};
    void onUsbDeviceDisconnected(u32, t_nkUsbDevInfo&) override {
        std::lock_guard<std::mutex> l(m);
        board = nullptr;
        ++told;
    }
};

TEST_F(Ostrel, UnplugInTheMiddleOfABulkRead) {
    BoardOwner owner;
    owner.board = board;
    ASSERT_EQ(board->setCallback(1, &owner), 0);
    std::atomic<u16> rc{0};
    std::atomic<bool> done{false};
    std::atomic<bool> started{false};
    std::thread reader([&] {
        std::vector<u8> big(600000);
        started = true;
        rc = board->recvBulkData(0x8B, big.data(), big.size(), true);
        done = true;
    });
    // Unplugging before the read has begun would free the board under the
    // reader's call: wait until the thread is about to read, then give it time
    // to enter its wait.
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pf::usb::sim::unplug(handle);
    handle = 0;
    ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.told > 0; }, 60000));
    reader.join();
    pf::runloop::runFor(20);
    EXPECT_TRUE(done);
    EXPECT_EQ(owner.told, 1);
    EXPECT_EQ(owner.board, nullptr);
    board = nullptr;  // it freed itself
}

}  // namespace
