// The fixture-controller board and its wrapper against the simulated board on the simulated bus.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ZelkCrestel.h"
#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "ZelkUsb.h"
#include "crestel_sim.h"
#include "nk_test_util.h"
#include "runloop/pf_runloop.h"
#include "usb/pf_usb.h"
#include "usb_sim_fixture.h"
#include "zelk_log_capture.h"

namespace {

constexpr int kDeadlineMs = 60000;
using Transfer = insttest::CrestelModel::Transfer;

struct Sink : iZelk_CrestelEventSink {
    std::atomic<int> calls{0};
    std::atomic<UInt32> lastId{0};
    void OnCtDisconnected(UInt32 id) override {
        lastId = id;
        ++calls;
    }
};

// A plugged simulated board and a board record that owns a device on it.
class ZelkCrestel : public nktest::SimulatedUsbTest {
protected:
    void SetUp() override {
        SimulatedUsbTest::SetUp();
        handle = plug(model.spec(kZelk_CrestelVendorId, kZelk_CrestelProductId));
    }
    void TearDown() override {
        ZCT_Delete(&board);
        SimulatedUsbTest::TearDown();
    }
    iZelk_UsbDevice* device() { return ZUSBD_CreateForHandle(lm, handle, true); }
    void appendBoard() {
        board = ZCT_Create(lm);
        ASSERT_EQ(ZCT_AppendUsbDevice(board, device()), kZErr_OK);
        startLog = model.transfers().size();
    }
    // Transfers after the append.
    std::vector<Transfer> exchanged() {
        std::vector<Transfer> all = model.transfers();
        return std::vector<Transfer>(all.begin() + long(startLog), all.end());
    }
    std::vector<UInt8> ids(const std::vector<Transfer>& t) {
        std::vector<UInt8> out;
        for (const Transfer& x : t) out.push_back(x.id);
        return out;
    }

    insttest::CrestelModel model;
    pf::usb::Handle handle = 0;
    nktest::ZelkLogCapture capture;
    iZelk_LogManager* lm = capture.lm();
    tZelk_Crestel* board = nullptr;
    size_t startLog = 0;
};

}  // namespace

TEST_F(ZelkCrestel, AppendOpensInterfaceTwoAndReadsTheFirmwareVersion) {
    pf::usb::sim::clearControlLog();
    appendBoard();
    EXPECT_EQ(board->fwVersion, 0x0123);
    EXPECT_STREQ(ZCT_GetDeviceInfo(board)->name, "Sim Fixture Controller");
    EXPECT_STREQ(ZCT_GetDeviceInfo(board)->productName, "Crestel Fixture Controller");
    EXPECT_EQ(ZCT_GetLogManager(board), lm);
    const std::vector<pf::usb::Setup> log = pf::usb::sim::controlLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].bmRequestType, 0xA1);
    EXPECT_EQ(log[0].wValue, 0x03E1);
    EXPECT_EQ(log[0].wIndex, 2);
    EXPECT_EQ(log[0].wLength, 2);
    EXPECT_NE(capture.text().find("fw_ver: 0x0123\n"), std::string::npos);
    // A second device replaces the first, which is freed (ASan: no leak, no double free).
    model.fwVersion = 0x0200;
    ASSERT_EQ(ZCT_AppendUsbDevice(board, device()), kZErr_OK);
    EXPECT_EQ(board->fwVersion, 0x0200);

    EXPECT_EQ(ZCT_SetName(nullptr, 1), kZErr_invalidParam);
    EXPECT_EQ(ZCT_AppendUsbDevice(board, nullptr), kZErr_invalidParam);
    EXPECT_EQ(ZCT_SetEventSink(board, nullptr), kZErr_invalidParam);
    EXPECT_EQ(ZCT_SetEventCallbackFunction(board, nullptr, nullptr), kZErr_invalidParam);
    UInt8 b = 0;
    EXPECT_EQ(ZCT_GetReport(board, 0xD2, &b, 0), kZErr_invalidParam);
    EXPECT_EQ(ZCT_GetDeviceInfo(nullptr), nullptr);
}

TEST_F(ZelkCrestel, PowerIsAReadModifyWriteOfBitSeven) {
    appendBoard();
    EXPECT_FALSE(ZCT_GetDutPowerStatus(board));
    ASSERT_EQ(ZCT_DutPowerControl(board, true), kZErr_OK);
    EXPECT_EQ(model.power, 0x95);  // the other bits kept
    EXPECT_TRUE(ZCT_GetDutPowerStatus(board));
    ASSERT_EQ(ZCT_DutPowerControl(board, false), kZErr_OK);
    EXPECT_EQ(model.power, 0x15);
    EXPECT_NE(capture.text().find("DUT Power ON\n"), std::string::npos);
    // A short set-report is the USB device's 84, passed on unchanged.
    model.shortSetId = 0xD2;
    EXPECT_EQ(ZCT_DutPowerControl(board, true), kZErr_usbDevicePowerOnFailed);
    model.shortSetId = -1;
    model.failTransfer = int(model.transfers().size());
    EXPECT_EQ(ZCT_DutPowerControl(board, true), kZErr_usbDeviceRequestFailed);
    EXPECT_FALSE(ZCT_GetDutPowerStatus(nullptr));
}

TEST_F(ZelkCrestel, AdcRequestScaleAndAverage) {
    appendBoard();
    struct Case {
        UInt8 adc, channel, samples;
        std::vector<uint16_t> values;
        std::vector<UInt8> request;
        size_t replyBytes;
        double volts;
    } cases[] = {
        {0, 3, 1, {0x0800}, {0, 1, 3}, 2, 2048 * 0.0012207},
        {0, 5, 0, {0x0800}, {0, 1, 5}, 2, 2.4999936},  // 0 samples read one
        {1, 2, 3, {1, 2, 2}, {1, 3, 2}, 6, 5.0 / 3.0 * 7.629375e-05},  // an average in floating point
        {1, 0, 2, {0xFFFF, 0xFFFF}, {1, 2, 0}, 4, 65535 * 7.629375e-05},
    };
    for (const Case& c : cases) {
        model.adcSamples[c.adc] = c.values;
        const size_t before = model.transfers().size();
        double volts = -1;
        ASSERT_EQ(ZCT_ReadADC(board, c.adc, c.channel, c.samples, &volts), kZErr_OK);
        EXPECT_DOUBLE_EQ(volts, c.volts);
        const std::vector<Transfer> t = model.transfers();
        ASSERT_EQ(t.size(), before + 2);
        EXPECT_TRUE(t[before].set);
        EXPECT_EQ(t[before].id, 0xE3);
        EXPECT_EQ(t[before].bytes, c.request);
        EXPECT_FALSE(t[before + 1].set);
        EXPECT_EQ(t[before + 1].bytes.size(), c.replyBytes);
    }
    EXPECT_NEAR(2048 * 0.0012207, 2.4999936, 1e-12);
    EXPECT_NE(capture.text().find("ADC Voltage Data[ADC8344, ch: 2, 3 sample avg]\n1 2 2 \n"), std::string::npos)
        << capture.text();
    double v = 0;
    EXPECT_EQ(ZCT_ReadADC(board, 2, 0, 1, &v), kZErr_invalidParam);
    EXPECT_EQ(ZCT_ReadADC(board, 0, 0, 1, nullptr), kZErr_invalidParam);
}

TEST_F(ZelkCrestel, FixtureStateOnAnInjectedClock) {
    appendBoard();
    long nowMs = 100000;
    int sleeps = 0;
    ZCT_SetClock(board, [&] { return nowMs / 1000.0; }, [&](UInt32 ms) {
        ++sleeps;
        nowMs += ms;
    });
    struct Case {
        const char* what;
        UInt8 current;
        UInt8 wanted;
        UInt32 timeout;
        int settleReads;
        std::set<int> failReads;  // reads of 0xE6 that fail, the first one 0
        SInt32 code;
        std::vector<UInt8> written;  // states set
        int sleeps;
    } cases[] = {
        {"already there", 3, 3, 5, 0, {}, kZErr_OK, {}, 0},
        {"state 0 is always written", 0, 0, 5, 0, {}, kZErr_OK, {0}, 1},
        {"time-out 0 returns at once", 1, 2, 0, 5, {}, kZErr_OK, {2}, 0},
        {"settles on the 4th poll", 1, 2, 5, 4, {}, kZErr_OK, {2}, 4},
        {"never within 2 s", 1, 2, 2, 100000, {}, kZErr_timeout, {2}, 201},
        {"8-bit time-out: 257 is 1 s", 1, 2, 257, 100000, {}, kZErr_timeout, {2}, 101},
        {"failed first read is returned", 1, 2, 5, 0, {0}, kZErr_usbDeviceRequestFailed, {}, 0},
        {"failed poll reads are retried", 1, 2, 5, 1, {1, 2, 3}, kZErr_OK, {2}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard<std::mutex> g(model.m);
            model.fixtureState = c.current;
            model.settleReads = c.settleReads;
            model.stateReads = 0;
            model.failStateReadAt = c.failReads;
        }
        const size_t before = model.transfers().size();
        sleeps = 0;
        EXPECT_EQ(ZCT_SetFixtureStat(board, c.wanted, c.timeout), c.code);
        std::vector<UInt8> written;
        const std::vector<Transfer> t = model.transfers();
        for (size_t i = before; i < t.size(); ++i)
            if (t[i].set && t[i].id == 0xE6) written.push_back(t[i].bytes[0]);
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(sleeps, c.sleeps);
    }
    EXPECT_NE(capture.text().find("[fixture set failed] newStat=0x02 curStat=0x01"), std::string::npos);
}

namespace {
std::string writeFile(nktest::TempDir& dir, const std::string& name, const std::vector<UInt8>& bytes) {
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    return path;
}
std::string hexRecord(unsigned addr, const std::vector<UInt8>& data) {
    char buf[600];
    unsigned sum = unsigned(data.size()) + (addr >> 8) + (addr & 0xFF);
    int n = std::snprintf(buf, sizeof(buf), ":%02X%04X00", unsigned(data.size()), addr);
    for (UInt8 b : data) {
        n += std::snprintf(buf + n, sizeof(buf) - size_t(n), "%02X", b);
        sum += b;
    }
    std::snprintf(buf + n, sizeof(buf) - size_t(n), "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return buf;
}
}  // namespace

TEST_F(ZelkCrestel, DownloadSendsTheImageInBlocksAndChecksIt) {
    appendBoard();
    nktest::TempDir dir;
    std::vector<UInt8> image(15 * 64 + 40);
    for (size_t i = 0; i < image.size(); ++i) image[i] = UInt8(i * 7 + 3);
    const std::string bin = writeFile(dir, "fw.BIN", image);  // capitals accepted

    ASSERT_EQ(ZCT_FwDownload(board, bin.c_str(), 64, 0, 0x11223344), kZErr_OK);
    std::vector<Transfer> t = exchanged();
    ASSERT_EQ(t.size(), 1 + 16 + 1 + 1u);
    EXPECT_EQ(t[0].id, 0xF5);
    EXPECT_EQ(t[0].bytes, (std::vector<UInt8>{0, 0}));
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(t[size_t(1 + i)].id, 0xF6);
        EXPECT_EQ(t[size_t(1 + i)].bytes.size(), i < 15 ? 64u : 40u);
    }
    EXPECT_FALSE(t[17].set);
    EXPECT_EQ(t[18].id, 0xEE);
    EXPECT_EQ(t[18].bytes, (std::vector<UInt8>{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(model.image(), image);
    const std::string log = capture.text();
    EXPECT_NE(log.find("  - load BIN file\n"), std::string::npos);
    unsigned sum = 0;
    for (UInt8 b : image) sum += b;
    char line[128];
    std::snprintf(line, sizeof(line), "  - download FW (HOST->CT), 1000 bytes,checksum=0x%04X (blockSz=64)\n",
                  sum & 0xFFFF);
    EXPECT_NE(log.find(line), std::string::npos) << log;

    // Passed on to the device under test: F7 with the target, then its result.
    startLog = model.transfers().size();
    ASSERT_EQ(ZCT_FwDownload(board, bin.c_str(), 1000, 2, 0), kZErr_OK);
    t = exchanged();
    EXPECT_EQ(ids(t), (std::vector<UInt8>{0xF5, 0xF6, 0xF6, 0xF7, 0xF7}));
    EXPECT_EQ(t[3].bytes, (std::vector<UInt8>{2}));
    model.passOnResult = 1;
    EXPECT_EQ(ZCT_FwDownload(board, bin.c_str(), 1000, 1, 0), kZErr_invalidState);

    // A checksum mismatch stops before the pass-on or the flash.
    model.checksumDelta = 1;
    for (UInt8 target : {UInt8(0), UInt8(1)}) {
        startLog = model.transfers().size();
        EXPECT_EQ(ZCT_FwDownload(board, bin.c_str(), 64, target, 1), kZErr_invalidChecksum);
        for (const Transfer& x : exchanged()) EXPECT_TRUE(x.id != 0xF7 && x.id != 0xEE);
    }
}

TEST_F(ZelkCrestel, GappedHexFileIsSentToItsExtent) {
    appendBoard();
    nktest::TempDir dir;
    const std::vector<UInt8> a(16, 0xA5), b = {1, 2, 3, 4};
    const std::string text = hexRecord(0x0000, a) + hexRecord(0x0100, b) + ":00000001FF\n";
    const std::string path = dir.file("fw.hex");
    std::ofstream(path) << text;
    ASSERT_EQ(ZCT_FwDownload(board, path.c_str(), 64, 0, 0), kZErr_OK);
    std::vector<UInt8> expected(0x104, 0);
    std::copy(a.begin(), a.end(), expected.begin());
    std::copy(b.begin(), b.end(), expected.begin() + 0x100);
    EXPECT_EQ(model.image(), expected);  // the tail after the gap arrived
    EXPECT_NE(capture.text().find("  - parse hex to bin\n"), std::string::npos);
    EXPECT_NE(capture.text().find(", 260 bytes,"), std::string::npos);
}

TEST_F(ZelkCrestel, DownloadRefusals) {
    appendBoard();
    nktest::TempDir dir;
    const std::string bin = writeFile(dir, "fw.bin", std::vector<UInt8>(10, 1));
    const std::string big = writeFile(dir, "big.bin", std::vector<UInt8>(0x100001, 1));
    const std::string txt = writeFile(dir, "fw.txt", std::vector<UInt8>(10, 1));
    const std::string noPoint = writeFile(dir, "firmware", std::vector<UInt8>(10, 1));
    const std::string badHex = dir.file("bad.hex");
    std::ofstream(badHex) << ":10000000ZZ\n";
    struct Case {
        std::string path;
        UInt32 block;
        UInt8 target;
        SInt32 code;
        const char* logText;
    } cases[] = {
        {bin, 0, 0, kZErr_invalidParam, nullptr},  // block size 0 before anything
        {dir.file("missing.bin"), 0, 0, kZErr_invalidParam, nullptr},
        {bin, 64, 3, kZErr_invalidParam, nullptr},
        {noPoint, 64, 0, kZErr_invalidParam, "Unknown FW file extension\n"},
        {txt, 64, 0, kZErr_invalidParam, "Unknown FW file extension (exp. '.hex' or '.bin')"},
        {dir.file("missing.bin"), 64, 0, kZErr_fileNotExist, nullptr},
        {big, 64, 0, kZErr_insufficientBufferSize, nullptr},
        {badHex, 64, 0, kZErr_invalidFormat, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        startLog = model.transfers().size();
        EXPECT_EQ(ZCT_FwDownload(board, c.path.c_str(), c.block, c.target, 0), c.code);
        EXPECT_TRUE(exchanged().empty());
        if (c.logText) {
            EXPECT_NE(capture.text().find(c.logText), std::string::npos);
        }
    }
    // A failed block ends the download with its code.
    model.failTransfer = int(model.transfers().size()) + 2;
    EXPECT_EQ(ZCT_FwDownload(board, bin.c_str(), 4, 0, 0), kZErr_usbDeviceRequestFailed);
    EXPECT_EQ(ZCT_FwDownload(nullptr, bin.c_str(), 4, 0, 0), kZErr_invalidParam);
}

TEST_F(ZelkCrestel, UnplugTellsTheSinkAndFreesBoardAndDeviceOnce) {
    appendBoard();
    Sink sink;
    ZCT_SetName(board, 0xC7);
    ZCT_SetEventSink(board, &sink);
    unplug(handle);
    ASSERT_TRUE(pf::runloop::runUntil([&] { return sink.calls > 0; }, kDeadlineMs));
    pf::runloop::runFor(20);
    EXPECT_EQ(sink.calls, 1);
    EXPECT_EQ(sink.lastId, 0xC7u);
    EXPECT_NE(capture.text().find("*** tZelk_Crestel disconnected ***"), std::string::npos);
    board = nullptr;  // gone with the unplug (ASan: board and device each freed once)
}

// A board whose device lacks interface 2 keeps the device; its unplug must still reach
// the board, or the board is left holding a device that freed itself.
TEST_F(ZelkCrestel, UnplugAfterAFailedAppendStillReachesTheBoard) {
    pf::usb::sim::DeviceSpec spec = model.spec(kZelk_CrestelVendorId, 0x7001);
    spec.configs = {insttest::boardConfig({3, 3})};
    const pf::usb::Handle twoInterfaces = plug(spec);
    board = ZCT_Create(lm);
    Sink sink;
    ZCT_SetEventSink(board, &sink);
    ASSERT_EQ(ZCT_AppendUsbDevice(board, ZUSBD_CreateForHandle(lm, twoInterfaces, true)), kZErr_noInterface);
    unplug(twoInterfaces);
    ASSERT_TRUE(pf::runloop::runUntil([&] { return sink.calls > 0; }, kDeadlineMs));
    EXPECT_EQ(sink.calls, 1);
    board = nullptr;  // gone with the unplug, device included (ASan: each freed once)
}

TEST_F(ZelkCrestel, WrapperDropsItsRecordWhenTheBoardGoes) {
    Sink sink;
    auto* ct = new Zelk_Crestel(lm);
    EXPECT_EQ(ct->GetLogManager(), lm);
    ASSERT_EQ(ct->AppendUsbDevice(device()), kZErr_OK);
    ASSERT_EQ(ct->SetName(9), kZErr_OK);
    ASSERT_EQ(ct->SetEventSink(&sink), kZErr_OK);
    EXPECT_NE(ct->ctPtr(), nullptr);
    ASSERT_EQ(ct->DutPowerControl(true), kZErr_OK);
    EXPECT_TRUE(ct->GetDutPowerStatus());
    unplug(handle);
    ASSERT_TRUE(pf::runloop::runUntil([&] { return sink.calls > 0; }, kDeadlineMs));
    EXPECT_EQ(sink.lastId, 9u);
    EXPECT_EQ(ct->ctPtr(), nullptr);
    EXPECT_EQ(ct->SetName(1), kZErr_invalidParam);
    EXPECT_FALSE(ct->GetDutPowerStatus());
    delete ct;

    Zelk_Crestel plain;
    EXPECT_EQ(plain.GetLogManager(), nullptr);
    EXPECT_NE(plain.ctPtr(), nullptr);
}

// The wrapper's owner deletes it on another thread while the board's unplug runs here.
TEST_F(ZelkCrestel, WrapperDeleteRacingTheUnplug) {
    unplug(handle);
    for (int round = 0; round < 20; ++round) {
        const pf::usb::Handle h = pf::usb::sim::plug(model.spec(kZelk_CrestelVendorId, kZelk_CrestelProductId));
        Sink sink;
        auto* ct = new Zelk_Crestel();
        ASSERT_EQ(ct->AppendUsbDevice(ZUSBD_CreateForHandle(nullptr, h, true)), kZErr_OK);
        ct->SetEventSink(&sink);
        std::atomic<bool> go{false};
        std::thread owner([&] {
            while (!go) std::this_thread::yield();
            delete ct;
        });
        pf::usb::sim::unplug(h);
        go = true;
        pf::runloop::runFor(round % 3);
        owner.join();
        pf::runloop::runFor(5);
        EXPECT_LE(sink.calls, 1);
    }
}
