// USB layer on the simulated bus: descriptions, lookups, requests, arrivals and unplugging.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nk_serial.h"
#include "nk_test_util.h"
#include "nk_usb.h"
#include "pty_test_util.h"
#include "runloop/pf_runloop.h"
#include "usb/pf_usb.h"

namespace {

using UsbSetup = pf::usb::Setup;
namespace sim = pf::usb::sim;

constexpr u8 kHid = 3, kComm = 2, kVendorSpecific = 0xFF;

struct Intf {
    u8 number;
    u8 cls;
};

// A configuration descriptor as a board sends it: each interface with a class
// descriptor and an endpoint after it, which the walk has to step over.
std::vector<u8> configDescriptor(const std::vector<Intf>& intfs) {
    std::vector<u8> d = {9, 2, 0, 0, static_cast<u8>(intfs.size()), 1, 0, 0x80, 50};
    for (const Intf& i : intfs) {
        const u8 desc[] = {9, 4, i.number, 0, 1, i.cls, 0, 0, 0};
        d.insert(d.end(), desc, desc + 9);
        const u8 cs[] = {5, 0x24, 0, 0x10, 0x01};
        d.insert(d.end(), cs, cs + 5);
        const u8 ep[] = {7, 5, static_cast<u8>(0x81 + i.number), 3, 8, 0, 10};
        d.insert(d.end(), ep, ep + 7);
    }
    d[2] = static_cast<u8>(d.size() & 0xFF);
    d[3] = static_cast<u8>(d.size() >> 8);
    return d;
}

// The board: OUT requests are taken whole, IN requests filled with wValue's low byte.
int boardControl(const UsbSetup& s, u8* data) {
    if (s.bmRequestType & 0x80) std::memset(data, s.wValue & 0xFF, s.wLength);
    return s.wLength;
}

sim::DeviceSpec board(u16 vid, u16 pid, std::vector<u8> ports, std::vector<Intf> intfs = {{0, kHid}, {2, kComm}}) {
    sim::DeviceSpec s;
    s.desc.readable = true;
    s.desc.name = "Sim Board";
    s.desc.bus = 1;
    s.desc.ports = std::move(ports);
    s.desc.vendorId = vid;
    s.desc.productId = pid;
    s.desc.speed = pf::usb::kSpeedFull;
    s.desc.protocol = 1;
    s.desc.vendorName = "Sim Maker";
    s.desc.productName = "Sim Board";
    s.desc.serial = "SN0001";
    s.configs.push_back(configDescriptor(intfs));
    s.control = boardControl;
    return s;
}

class UsbSim : public ::testing::Test {
protected:
    void SetUp() override {
        pf::usb::useSimulated(true);
        sim::clearControlLog();
    }
    void TearDown() override {
        for (pf::usb::Handle h : plugged_) sim::unplug(h);
        pf::runloop::runFor(20);
    }
    pf::usb::Handle plug(sim::DeviceSpec spec) {
        const pf::usb::Handle h = sim::plug(std::move(spec));
        plugged_.push_back(h);
        return h;
    }
    std::vector<pf::usb::Handle> plugged_;
};

TEST(UsbLocation, PortTable) {
    struct Case {
        u32 loc;
        u8 port;
    };
    for (const Case& c : {Case{0x14200000, 1}, Case{0x14000000, 3}, Case{0x1A110000, 0}, Case{0, 255},
                          Case{0x01230000, 2}, Case{0x01F00000, 14}}) {
        EXPECT_EQ(nkUsb_portOfLocation(c.loc), c.port) << std::hex << c.loc;
    }
    pf::usb::Description d;
    d.bus = 1;
    d.ports = {2, 3};
    EXPECT_EQ(pf::usb::locationId(d), 0x01230000u);
    d.ports = {2, 16};
    EXPECT_EQ(pf::usb::locationId(d), 0u);
    d.ports = {1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(pf::usb::locationId(d), 0u);
    d.bus = 3;
    d.ports = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(pf::usb::locationId(d), 0x03123456u);
}

TEST_F(UsbSim, DescriptionsListAndLookupSkipUnreadableDevices) {
    sim::DeviceSpec unreadable = board(0x1234, 0x0001, {4});
    unreadable.desc.readable = false;
    plug(unreadable);
    sim::DeviceSpec a = board(0x1234, 0x0001, {2});  // port 1
    a.desc.serial.clear();
    a.desc.speed = pf::usb::kSpeedLow;
    const pf::usb::Handle ha = plug(a);
    sim::DeviceSpec b = board(0x1234, 0x0001, {3, 1});  // port 0
    b.desc.speed = pf::usb::kSpeedHigh;
    const pf::usb::Handle hb = plug(b);
    plug(board(0x9999, 0x0002, {5}));

    const std::vector<t_nkUsbDevInfo> list = nkUsb_getUsbDevList();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].ioObject, ha);
    EXPECT_EQ(list[0].locationID, 0x01200000u);
    EXPECT_EQ(list[0].speedName, "Unknown");
    EXPECT_TRUE(list[0].serial.empty());
    EXPECT_TRUE(list[0].isValid());
    EXPECT_EQ(list[1].speedName, "Up to 480 Mb/sec");
    EXPECT_EQ(list[1].serial, "SN0001");
    EXPECT_EQ(list[1].usbDevInfoStr(),
              "[Sim Board]\nioObject:   " + std::to_string(hb) +
                  "\nlocationID: 0x01310000\nvendor:     0x1234 [Sim Maker]\nproduct:    0x0001 [Sim Board]\n"
                  "speed:      0x02 [Up to 480 Mb/sec]\nprotocol:   0x01\nserial:     SN0001\n");

    struct Look {
        u16 vid, pid;
        u8 port;
        pf::usb::Handle expect;
    };
    for (const Look& l : {Look{0x1234, 1, 255, ha}, Look{0x1234, 1, 1, ha}, Look{0x1234, 1, 0, hb},
                          Look{0x1234, 1, 3, 0}, Look{0x1234, 2, 255, 0}}) {
        const u32 h = nkUsb_getUsbDev(l.vid, l.pid, l.port);
        EXPECT_EQ(h, l.expect) << "port " << int(l.port);
        if (h) pf::usb::release(h);
    }
    EXPECT_FALSE(nkUsb_getUsbDevInfo(0).isValid());
}

TEST_F(UsbSim, DeviceRequestsSendTheExactSetupPackets) {
    plug(board(0x1234, 0x0001, {2}));
    CNK_usbDev* dev = CNK_usbDev::create(0x1234, 0x0001, 0);
    ASSERT_NE(dev, nullptr);
    u8 buf[16] = {1, 2, 3};
    sim::clearControlLog();
    EXPECT_EQ(dev->setRequest(0x0301, buf, 3), 0);
    EXPECT_EQ(dev->getRequest(0x0142, buf, 16), 0);
    EXPECT_EQ(buf[15], 0x42);
    EXPECT_EQ(dev->setInterfaceRequest(1, 0x22, 0x0003, buf, 2), 0);
    EXPECT_EQ(dev->getInterfaceRequest(1, 0x21, 0x0000, buf, 7), 0);
    const std::vector<UsbSetup> log = sim::controlLog();
    ASSERT_EQ(log.size(), 4u);
    auto same = [](const UsbSetup& a, const UsbSetup& b) {
        return a.bmRequestType == b.bmRequestType && a.bRequest == b.bRequest && a.wValue == b.wValue &&
               a.wIndex == b.wIndex && a.wLength == b.wLength;
    };
    EXPECT_TRUE(same(log[0], UsbSetup{0x21, 0x09, 0x0301, 0, 3}));
    EXPECT_TRUE(same(log[1], UsbSetup{0xA1, 0x01, 0x0142, 0, 16}));
    // wIndex is the USB number of table entry 1 (the communications interface, number 2).
    EXPECT_TRUE(same(log[2], UsbSetup{0x21, 0x22, 0x0003, 2, 2}));
    EXPECT_TRUE(same(log[3], UsbSetup{0xA1, 0x21, 0x0000, 2, 7}));

    // Refusals send nothing.
    sim::clearControlLog();
    EXPECT_EQ(dev->setRequest(1, nullptr, 3), kNKErr_invalidPointer);
    EXPECT_EQ(dev->setRequest(1, buf, 0), kNKErr_invalidParam);
    EXPECT_EQ(dev->getRequest(1, nullptr, 3), kNKErr_invalidPointer);
    EXPECT_EQ(dev->getRequest(1, buf, 0), kNKErr_invalidParam);
    EXPECT_EQ(dev->setInterfaceRequest(2, 0x22, 0, buf, 1), kNKErr_usbInterfaceRequest);
    EXPECT_EQ(dev->getInterfaceRequest(2, 0x21, 0, buf, 1), kNKErr_usbInterfaceRequest);
    EXPECT_TRUE(sim::controlLog().empty());
    delete dev;
}

TEST_F(UsbSim, AShortTransferIsARequestFailure) {
    sim::DeviceSpec s = board(0x1234, 0x0001, {2});
    s.control = [](const UsbSetup& st, u8*) { return st.wLength > 1 ? st.wLength - 1 : -9; };
    plug(s);
    CNK_usbDev* dev = CNK_usbDev::create(0x1234, 0x0001, 0);
    ASSERT_NE(dev, nullptr);
    u8 buf[4] = {};
    EXPECT_EQ(dev->setRequest(0, buf, 4), kNKErr_usbDeviceRequest);
    EXPECT_EQ(dev->getInterfaceRequest(0, 1, 0, buf, 1), kNKErr_usbDeviceRequest);
    delete dev;
}

TEST_F(UsbSim, InterfaceTable) {
    struct Case {
        const char* what;
        std::vector<Intf> intfs;
        int count;
        u8 cls;
        u16 rc;
        u8 number;
    };
    std::vector<Intf> ten;
    for (u8 i = 0; i < 10; ++i) ten.push_back({i, static_cast<u8>(i == 9 ? kHid : kVendorSpecific)});
    const Case cases[] = {
        {"HID and communications, in descriptor order", {{0, kHid}, {2, kComm}}, 2, kHid, 0, 0},
        {"the communications interface's number", {{0, kHid}, {2, kComm}}, 2, kComm, 0, 2},
        {"a class the device lacks", {{0, kHid}, {2, kComm}}, 2, kVendorSpecific, kNKErr_queryInterface, 0xFF},
        {"two of a class: each its own entry, the last wins the lookup", {{1, kHid}, {4, kHid}}, 2, kHid, 0, 4},
        {"ten interfaces keep the first eight", ten, 8, kHid, kNKErr_queryInterface, 0xFF},
    };
    u16 pid = 0x10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        plug(board(0x1234, pid, {2}, c.intfs));
        CNK_usbDev* dev = CNK_usbDev::create(0x1234, pid++, 0);
        ASSERT_NE(dev, nullptr);
        EXPECT_EQ(dev->interfaceCount(), c.count);
        u8 number = 0;
        EXPECT_EQ(dev->getInterfaceNumber(c.cls, &number), c.rc);
        EXPECT_EQ(number, c.number);
        // Entries are distinct interfaces: the requests of entries 0 and 1 name different numbers.
        sim::clearControlLog();
        u8 b = 0;
        ASSERT_EQ(dev->setInterfaceRequest(0, 1, 0, &b, 1), 0);
        ASSERT_EQ(dev->setInterfaceRequest(1, 1, 0, &b, 1), 0);
        const auto log = sim::controlLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].wIndex, c.intfs[0].number);
        EXPECT_EQ(log[1].wIndex, c.intfs[1].number);
        delete dev;
    }
}

TEST_F(UsbSim, CreateRefusals) {
    EXPECT_EQ(CNK_usbDev::create(0u), nullptr);
    EXPECT_EQ(CNK_usbDev::create(0x1234, 0x0001, 0), nullptr);  // nothing attached
    sim::DeviceSpec locked = board(0x1234, 0x0001, {2});
    locked.openable = false;
    plug(locked);
    EXPECT_EQ(CNK_usbDev::create(0x1234, 0x0001, 0), nullptr);
    plug(board(0x1234, 0x0001, {3}));
    CNK_usbDev* dev = CNK_usbDev::create(0x1234, 0x0001, 0x01300000);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->devInfo.locationID, 0x01300000u);
    char path[64];
    EXPECT_EQ(dev->getBsdPath(path, sizeof(path)), kNKErr_cannotFindUsbDevice);  // no serial function
    delete dev;
}

TEST(UsbDescriptors, WalkStaysInsideTheBuffer) {
    const std::vector<u8> cfg = configDescriptor({{0, kHid}, {1, kComm}});
    const u8* next = nullptr;
    ASSERT_EQ(CNK_usbDev::findNextInterfaceDescriptor(cfg.data(), cfg.size(), nullptr, &next), 0);
    EXPECT_EQ(next, cfg.data() + 9);
    const u8* second = nullptr;
    ASSERT_EQ(CNK_usbDev::findNextInterfaceDescriptor(cfg.data(), cfg.size(), next, &second), 0);
    EXPECT_EQ(second[2], 1);
    EXPECT_EQ(CNK_usbDev::findNextInterfaceDescriptor(cfg.data(), cfg.size(), second, &next),
              static_cast<i32>(0xE000404E));
    // wTotalLength shorter than the buffer ends the walk there.
    std::vector<u8> shortTotal = cfg;
    shortTotal[2] = 9 + 21;
    shortTotal[3] = 0;
    ASSERT_EQ(CNK_usbDev::findNextInterfaceDescriptor(shortTotal.data(), shortTotal.size(), nullptr, &next), 0);
    EXPECT_EQ(CNK_usbDev::findNextInterfaceDescriptor(shortTotal.data(), shortTotal.size(), next, &next),
              static_cast<i32>(0xE000404E));
    // A buffer shorter than wTotalLength, a zero length, a wrong type, a stray current pointer.
    EXPECT_EQ(CNK_usbDev::findNextInterfaceDescriptor(cfg.data(), 12, nullptr, &next), static_cast<i32>(0xE000404E));
    std::vector<u8> zero = cfg;
    zero[9] = 0;
    EXPECT_EQ(CNK_usbDev::findNextInterfaceDescriptor(zero.data(), zero.size(), nullptr, &next),
              static_cast<i32>(0xE000404E));
    std::vector<u8> notConfig = cfg;
    notConfig[1] = 1;
    EXPECT_EQ(CNK_usbDev::findNextInterfaceDescriptor(notConfig.data(), notConfig.size(), nullptr, &next),
              static_cast<i32>(0xE00002C2));
    EXPECT_EQ(CNK_usbDev::findNextInterfaceDescriptor(cfg.data(), cfg.size(), cfg.data() + 18, &next),
              static_cast<i32>(0xE00002C2));
    EXPECT_EQ(CNK_usbDev::nextDescriptor(cfg.data()), cfg.data() + 9);
    EXPECT_EQ(CNK_usbDev::nextDescriptor(zero.data() + 9), nullptr);
}

TEST(UsbErrors, Names) {
    EXPECT_STREQ(CNK_usbDev::getUSBErrorString(0), "kDevReturnSuccess");
    EXPECT_STREQ(CNK_usbDev::getUSBErrorString(pf::usb::kErrNoDevice), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_STREQ(CNK_usbDev::getUSBErrorString(pf::usb::kErrTimeout), "LIBUSB_ERROR_TIMEOUT");
    EXPECT_STREQ(CNK_usbDev::getUSBErrorString(static_cast<i32>(0xE00002C2)), "Unknown");
    EXPECT_STREQ(CNK_usbDev::getUSBErrorString(12345), "Unknown");
}

// ---------------------------------------------------------------- board base

struct BoardOwner : INK_usbDeviceCallback {
    std::vector<u32> ids;
    std::string name;
    void onUsbDeviceDisconnected(u32 id, t_nkUsbDevInfo& info) override {
        ids.push_back(id);
        name = info.name;
    }
};

TEST_F(UsbSim, BoardBaseSelectsAnInterfaceBeforeItSends) {
    plug(board(0x2222, 0x0001, {2}, {{0, kHid}, {3, kVendorSpecific}}));
    CNK_usb* usb = new CNK_usb(0x2222, 0x0001, 255);
    ASSERT_TRUE(usb->hasDevice());
    u8 buf[8] = {};
    sim::clearControlLog();
    EXPECT_EQ(usb->setRequest(0x0200, buf, 8), kNKErr_invalidCondition);
    EXPECT_EQ(usb->getRequest(0x0100, buf, 8), kNKErr_invalidCondition);
    EXPECT_TRUE(sim::controlLog().empty());
    ASSERT_EQ(usb->setInterfaceNumber(1), 0);
    EXPECT_EQ(usb->setInterfaceNumber(2), kNKErr_invalidCondition);  // keeps interface 1
    EXPECT_EQ(usb->setRequest(0x0200, buf, 8), 0);
    EXPECT_EQ(usb->getRequest(0x0105, buf, 4), 0);
    EXPECT_EQ(buf[3], 0x05);
    EXPECT_EQ(usb->setRequest(0x0200, nullptr, 8), kNKErr_invalidPointer);
    EXPECT_EQ(usb->getRequest(0x0200, buf, 0), kNKErr_invalidParam);
    const auto log = sim::controlLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].bmRequestType, 0x21);
    EXPECT_EQ(log[0].bRequest, 0x09);
    EXPECT_EQ(log[0].wIndex, 3);  // the selected interface's own number
    EXPECT_EQ(log[1].bmRequestType, 0xA1);
    EXPECT_EQ(log[1].bRequest, 0x01);
    EXPECT_EQ(log[1].wValue, 0x0105);

    // Callbacks: one callback under two ids is told twice, in order; a repeated pair is refused.
    BoardOwner owner, other;
    EXPECT_EQ(usb->setCallback(7, &owner), 0);
    EXPECT_EQ(usb->setCallback(8, &owner), 0);
    EXPECT_EQ(usb->setCallback(7, &owner), kNKErr_invalidParam);
    EXPECT_EQ(usb->setCallback(9, &other), 0);
    EXPECT_EQ(usb->setCallback(10, &other), 0);
    usb->removeCallback(&other);
    sim::unplug(plugged_.back());
    plugged_.pop_back();
    EXPECT_TRUE(owner.ids.empty());  // only through the run loop
    pf::runloop::runUntil([&] { return owner.ids.size() == 2; }, 60000);
    EXPECT_EQ(owner.ids, (std::vector<u32>{7, 8}));
    EXPECT_EQ(owner.name, "Sim Board");
    EXPECT_TRUE(other.ids.empty());
}

// A negative position picks the first interface, and requests go to it.
TEST_F(UsbSim, BoardBaseNegativeNumberSelectsTheFirstInterface) {
    plug(board(0x2222, 0x0002, {2}, {{4, kVendorSpecific}, {6, kHid}}));
    CNK_usb* usb = new CNK_usb(0x2222, 0x0002, 255);
    ASSERT_TRUE(usb->hasDevice());
    ASSERT_EQ(usb->setInterfaceNumber(-1), 0);
    u8 buf[4] = {1, 2, 3, 4};
    sim::clearControlLog();
    EXPECT_EQ(usb->setRequest(0x0201, buf, 4), 0);
    const auto log = sim::controlLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].wIndex, 4);
    EXPECT_EQ(log[0].wValue, 0x0201);
    delete usb;
}

TEST_F(UsbSim, BoardThatIsNotAttached) {
    CNK_usb usb(0x2222, 0x0009, 255);
    EXPECT_FALSE(usb.hasDevice());
    u8 b[2];
    EXPECT_EQ(usb.setInterfaceNumber(0), kNKErr_objectNotAvailable);
    EXPECT_EQ(usb.setRequest(0, b, 2), kNKErr_objectNotAvailable);
}

// ---------------------------------------------------------------- arrivals

struct Arrivals : INK_usbDeviceDetectionCallback {
    std::vector<u32> seen;
    void onUsbDeviceArrived(u32 usbDev) override { seen.push_back(usbDev); }
};

TEST_F(UsbSim, ArrivalInsideTheCallAndLaterOnlyThroughTheRunLoop) {
    const pf::usb::Handle before = plug(board(0x3333, 0x0001, {2}));
    sim::DeviceSpec unreadable = board(0x3333, 0x0001, {3});
    unreadable.desc.readable = false;
    plug(unreadable);
    Arrivals a, b;
    ASSERT_EQ(nkUsb_deviceDetection(0x3333, 0x0001, &a), 0);
    EXPECT_EQ(a.seen, std::vector<u32>{before});
    ASSERT_EQ(nkUsb_deviceDetection(0x3333, 0x0001, &a), 0);  // already registered: no second watch
    ASSERT_EQ(nkUsb_deviceDetection(0x3333, 0x0001, &b), 0);
    EXPECT_EQ(b.seen, std::vector<u32>{before});

    // Plugged from another thread: told on this thread's run loop, once per callback.
    pf::usb::Handle later = 0;
    std::thread([&] { later = plug(board(0x3333, 0x0001, {4})); }).join();
    plug(board(0x3333, 0x0002, {5}));  // other ids
    EXPECT_EQ(a.seen.size(), 1u);
    pf::runloop::runFor(50);
    EXPECT_EQ(a.seen, (std::vector<u32>{before, later}));
    EXPECT_EQ(b.seen, (std::vector<u32>{before, later}));

    // Withdrawn: not called again, even for an arrival already queued.
    const pf::usb::Handle third = plug(board(0x3333, 0x0001, {6}));
    ASSERT_EQ(nkUsb_cancelDeviceDetection(&b), 0);
    pf::runloop::runFor(50);
    EXPECT_EQ(a.seen.back(), third);
    EXPECT_EQ(b.seen.size(), 2u);
    ASSERT_EQ(nkUsb_cancelDeviceDetection(&a), 0);
}

struct Handover : INK_usbDevDetectorCallback {
    std::vector<CNK_usbDev*> devices;
    void onUsbDevArrived(CNK_usbDev* device) override { devices.push_back(device); }
    ~Handover() override {
        for (CNK_usbDev* d : devices) delete d;
    }
};

TEST_F(UsbSim, DetectorHandsOverTheBatchPastADeviceItCannotOpen) {
    sim::DeviceSpec locked = board(0x4444, 0x0001, {2});
    locked.openable = false;
    plug(locked);
    plug(board(0x4444, 0x0001, {3}));
    Handover owner, other;
    auto* det = new CNK_usbDevDetector();
    ASSERT_EQ(det->monitor(0x4444, 0x0001, &owner), 0);
    ASSERT_EQ(owner.devices.size(), 1u);
    EXPECT_EQ(owner.devices[0]->devInfo.locationID, 0x01300000u);
    EXPECT_EQ(det->monitor(0x4444, 0x0001, &other), kNKErr_invalidParam);
    EXPECT_EQ(det->monitor(0x4444, 0x0002, nullptr), kNKErr_invalidParam);

    plug(board(0x4444, 0x0001, {4}));
    pf::runloop::runFor(50);
    EXPECT_EQ(owner.devices.size(), 2u);
    // Destroyed: no more hand-overs, and the devices already handed out stay usable.
    delete det;
    plug(board(0x4444, 0x0001, {5}));
    pf::runloop::runFor(50);
    ASSERT_EQ(owner.devices.size(), 2u);
    u8 b = 0;
    EXPECT_EQ(owner.devices[1]->setRequest(0, &b, 1), 0);
    EXPECT_TRUE(other.devices.empty());
}

TEST(UsbDetectorDeathTest, ZeroIdsAreProgrammingErrors) {
    Handover h;
    EXPECT_DEATH({ CNK_usbDevDetector().monitor(0x1234, 0, &h); }, "prodId");
    EXPECT_DEATH({ CNK_usbDevDetector().monitor(0, 0x1234, &h); }, "vndrId");
}

// ---------------------------------------------------------------- unplugging

// An owner as the unplug rule in nk_usb.h wants it: its pointer under its lock,
// held while deleting, dropped in the callback.
struct DevOwner : INK_usbDevCallback {
    std::mutex m;
    CNK_usbDev* dev = nullptr;
    std::atomic<int> told{0};
    u32 id = 0;
    t_nkUsbDevInfo info;
    void onUsbDevDisconnected(u32 i, t_nkUsbDevInfo& inf) override {
        std::lock_guard<std::mutex> lock(m);
        dev = nullptr;
        id = i;
        info = inf;
        ++told;
    }
    void deleteDevice() {
        std::lock_guard<std::mutex> lock(m);
        delete dev;
        dev = nullptr;
    }
};

TEST_F(UsbSim, UnpluggedDeviceTellsItsOwnerOnceWithACopy) {
    const pf::usb::Handle h = plug(board(0x5555, 0x0001, {2}));
    DevOwner owner;
    owner.dev = CNK_usbDev::create(h);
    ASSERT_NE(owner.dev, nullptr);
    owner.dev->setCallback(0x41424344, &owner);
    DevOwner second;
    owner.dev->setCallback(1, &second);  // refused: one callback only
    sim::unplug(h);
    plugged_.clear();
    EXPECT_EQ(owner.told, 0);
    ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.told > 0; }, 60000));
    pf::runloop::runFor(20);
    EXPECT_EQ(owner.told, 1);
    EXPECT_EQ(second.told, 0);
    EXPECT_EQ(owner.id, 0x41424344u);
    EXPECT_EQ(owner.info.name, "Sim Board");
    EXPECT_EQ(owner.info.ioObject, h);
    EXPECT_EQ(owner.dev, nullptr);
}

TEST_F(UsbSim, UnplugWithoutACallbackStillFreesTheDevice) {
    const pf::usb::Handle h = plug(board(0x5555, 0x0002, {2}));
    ASSERT_NE(CNK_usbDev::create(h), nullptr);  // owned by nobody: the leak check sees it go
    ASSERT_NE(new CNK_usb(h), nullptr);
    pf::usb::retain(h);  // the board base took over one reference
    sim::unplug(h);
    plugged_.clear();
    pf::runloop::runFor(50);
}

TEST_F(UsbSim, OwnerDeletionRacingAnUnplugIsSafe) {
    std::mt19937 rng(7);
    int toldTotal = 0;
    for (int round = 0; round < 60; ++round) {
        const pf::usb::Handle h = sim::plug(board(0x5555, 0x0003, {2}));
        DevOwner owner;
        owner.dev = CNK_usbDev::create(h);
        ASSERT_NE(owner.dev, nullptr);
        owner.dev->setCallback(round, &owner);
        const int delayUs = static_cast<int>(rng() % 400);
        std::thread deleter([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
            owner.deleteDevice();
        });
        sim::unplug(h);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 400));
        pf::runloop::runFor(2);
        deleter.join();
        pf::runloop::runFor(2);
        EXPECT_LE(owner.told, 1);
        if (owner.told) {
            EXPECT_EQ(owner.id, static_cast<u32>(round));
            EXPECT_EQ(owner.info.name, "Sim Board");
        }
        toldTotal += owner.told;
    }
    // Either side may win a round; over the rounds both did.
    RecordProperty("told", toldTotal);
}

// ---------------------------------------------------------------- serial port on a USB device

struct PortOwner : INK_SerialCallback {
    std::mutex m;
    CNK_serial* port = nullptr;
    std::atomic<int> told{0};
    u32 id = 0;
    t_nkUsbDevInfo info;
    void onSerialDisconnected(u32 i, t_nkUsbDevInfo& inf) override {
        std::lock_guard<std::mutex> lock(m);
        port = nullptr;
        id = i;
        info = inf;
        ++told;
    }
    void deletePort() {
        std::lock_guard<std::mutex> lock(m);
        delete port;
        port = nullptr;
    }
};

TEST_F(UsbSim, SerialPortOnADeviceWhoseTtyIsAPty) {
    nktest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    sim::DeviceSpec s = board(0x6666, 0x0001, {2});
    s.tty = pty.path();
    plug(s);
    // A path that is not the device's own: no port, and the device made for it is freed.
    EXPECT_EQ(CNK_serial::create(0x6666, 0x0001, 0, 115200, k_nkSerialFormat_8N1, 1, "/dev/ttyACM9"), nullptr);
    EXPECT_EQ(CNK_serial::create(0x6666, 0x0001, 0, 115200, k_nkSerialFormat_8N1, 0, nullptr), nullptr);

    PortOwner owner;
    owner.port = CNK_serial::create(0x6666, 0x0001, 0x01200000, 115200, k_nkSerialFormat_8N1, 1, pty.path().c_str());
    ASSERT_NE(owner.port, nullptr);
    EXPECT_EQ(owner.port->bsdPath(), pty.path());
    owner.port->setCallback(0x46555445, &owner);
    ASSERT_EQ(owner.port->Open(), 0);
    u8 ping[] = {'p', 'i', 'n', 'g'};
    ASSERT_EQ(owner.port->Write(ping, 4), 0);
    EXPECT_EQ(pty.receive(4, 2000), "ping");

    // Unplugged while another thread waits in a 20 s read: the read ends early,
    // the owner is told once, and the port is gone.
    std::atomic<u16> readRc{0};
    std::atomic<bool> readDone{false};
    std::atomic<pid_t> readerTid{0};
    std::thread reader([&] {
        readerTid = gettid();
        u8 buf[16];
        u32 n = sizeof(buf);
        CNK_serial* p;
        {
            std::lock_guard<std::mutex> lock(owner.m);
            p = owner.port;
        }
        readRc = p->Read(buf, &n, 20000);
        readDone = true;
    });
    // The unplug must meet the read in its wait: before that it would free the port under
    // a call not yet made.
    while (readerTid == 0) std::this_thread::yield();
    ASSERT_TRUE(nktest::waitUntilThreadPolls(readerTid, 10000));
    const auto t0 = std::chrono::steady_clock::now();
    sim::unplug(plugged_.back());
    plugged_.clear();
    ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.told > 0 && readDone; }, 60000));
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(readRc, kNKErr_serialReadError);
    pf::runloop::runFor(20);
    EXPECT_EQ(owner.told, 1);
    EXPECT_EQ(owner.id, 0x46555445u);
    EXPECT_EQ(owner.info.name, "Sim Board");
    EXPECT_EQ(owner.port, nullptr);
}

TEST_F(UsbSim, SerialOwnerDeletionRacingAnUnplugIsSafe) {
    nktest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    std::mt19937 rng(11);
    int toldTotal = 0;
    for (int round = 0; round < 40; ++round) {
        sim::DeviceSpec s = board(0x6666, 0x0002, {2});
        s.tty = pty.path();
        const pf::usb::Handle h = sim::plug(s);
        PortOwner owner;
        owner.port = CNK_serial::create(0x6666, 0x0002, 0, 9600, k_nkSerialFormat_8N1, 1, nullptr);
        ASSERT_NE(owner.port, nullptr);
        owner.port->setCallback(round, &owner);
        ASSERT_EQ(owner.port->Open(), 0);
        const int delayUs = static_cast<int>(rng() % 600);
        std::thread deleter([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
            owner.deletePort();
        });
        sim::unplug(h);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 600));
        pf::runloop::runFor(3);
        deleter.join();
        pf::runloop::runFor(3);
        EXPECT_LE(owner.told, 1);
        if (owner.told) {
            EXPECT_EQ(owner.id, static_cast<u32>(round));
        }
        toldTotal += owner.told;
    }
    RecordProperty("told", toldTotal);
}

// ---------------------------------------------------------------- the system's bus

TEST(UsbSystem, ListsThisMachinesBusWithoutFailing) {
    pf::usb::useSimulated(false);
    ASSERT_FALSE(pf::usb::isSimulated());
    const std::vector<t_nkUsbDevInfo> list = nkUsb_getUsbDevList();
    for (const t_nkUsbDevInfo& d : list) {
        EXPECT_TRUE(d.isValid());
        EXPECT_NE(d.ioObject, 0u);
    }
    EXPECT_EQ(nkUsb_getUsbDev(0xFFFE, 0xFFFE, 255), 0u);
    RecordProperty("devices", static_cast<int>(list.size()));
}

}  // namespace

// ---------------------------------------------------------------- bridge port

namespace {

int g_bridgeLines = 0;
int g_bridgeWrites = 0;
int bridgeModem(int, unsigned long request, int* bits) {
    if (request == TIOCMGET) {
        *bits = g_bridgeLines;
    } else if (request == TIOCMSET) {
        g_bridgeLines = *bits;
        ++g_bridgeWrites;
    } else {
        return -1;
    }
    return 0;
}

TEST_F(UsbSim, BridgePortOnItsOwnTty) {
    nktest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    plug(board(0x7777, 0x0001, {3}));  // another adapter without a tty comes first
    sim::DeviceSpec s = board(0x7777, 0x0002, {2});
    s.tty = pty.path();
    plug(s);

    CNK_ftdi noTty(0x7777, 0x0001, 115200, k_nkSerialFormat_8N1, 255, 1);
    EXPECT_TRUE(noTty.bsdPath().empty());
    EXPECT_EQ(noTty.open_device(), kNKErr_invalidCondition);
    CNK_ftdi badBaud(0x7777, 0x0002, 0, k_nkSerialFormat_8N1, 255, 1);
    EXPECT_EQ(badBaud.open_device(), kNKErr_invalidCondition);

    CNK_ftdi port(0x7777, 0x0002, 115200, k_nkSerialFormat_8N1, 1, 1);
    EXPECT_EQ(port.bsdPath(), pty.path());
    ASSERT_EQ(port.open_device(), 0);
    EXPECT_EQ(port.open_device(), kNKErr_serialAlreadyOpen);  // and closed
    ASSERT_EQ(port.open_device(), 0);

    ASSERT_TRUE(pty.send("OK\r\nnext"));
    std::string line;
    EXPECT_EQ(port.recv(line, "\r\n", 2000), 0);
    EXPECT_EQ(line, "OK\r\n");
    EXPECT_EQ(port.recv(line, "", 2000), 0);
    EXPECT_EQ(line, "next");

    std::vector<u8> bytes;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(port.recv(bytes, 200), kNKErr_serialReadTimeout);
    EXPECT_TRUE(bytes.empty());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(390));  // read, then drain

    EXPECT_EQ(port.send_modBus_rtu(1, 3, {}), kNKErr_invalidPointer);
    EXPECT_EQ(pty.receive(1, 100), "");
    ASSERT_EQ(port.send_modBus_rtu(1, 3, {0, 0, 0, 0x0A}), 0);
    EXPECT_EQ(pty.receive(8, 2000), std::string("\x01\x03\x00\x00\x00\x0A\xC5\xCD", 8));
    ASSERT_EQ(port.send_modBus_ascii(1, 3, {0, 0, 0, 0x0A}), 0);
    EXPECT_EQ(pty.receive(19, 2000), ":01030000000AC5CD\r\n");
    // A formatted text far longer than its format goes out whole.
    const std::string longText(3000, 'z');
    std::thread sink([&] { EXPECT_EQ(pty.receive(3006, 3000), "T=" + longText + "\r\n"); });
    EXPECT_EQ(port.send(const_cast<char*>("T=%s\r\n"), longText.c_str()), 0);
    sink.join();
    EXPECT_EQ(port.send(std::string()), kNKErr_invalidPointer);

    bool state = false;
    EXPECT_EQ(port.get_modem_ctrl(TIOCM_RTS, state), kNKErr_serialCtrlError);  // a pty has no lines
    nkSerial_setModemIoctl(bridgeModem);
    g_bridgeLines = TIOCM_RTS | TIOCM_DTR | TIOCM_CTS;
    g_bridgeWrites = 0;
    EXPECT_EQ(port.set_modem_ctrl(TIOCM_RTS, false), 0);
    EXPECT_EQ(g_bridgeLines, TIOCM_DTR | TIOCM_CTS);
    EXPECT_EQ(port.set_modem_ctrl(TIOCM_RTS, false), 0);
    EXPECT_EQ(g_bridgeWrites, 1);  // already clear: nothing written
    EXPECT_EQ(port.set_modem_ctrl(TIOCM_RTS | TIOCM_DTR, true), 0);
    EXPECT_EQ(g_bridgeLines, TIOCM_RTS | TIOCM_DTR | TIOCM_CTS);  // every bit of the mask raised
    EXPECT_EQ(port.set_modem_ctrl(TIOCM_RTS | TIOCM_DTR, false), 0);
    EXPECT_EQ(g_bridgeLines, TIOCM_CTS);
    EXPECT_EQ(port.get_modem_ctrl(TIOCM_RTS | TIOCM_CTS, state), 0);
    EXPECT_TRUE(state);
    EXPECT_EQ(port.get_modem_ctrl(TIOCM_RTS | TIOCM_DTR, state), 0);
    EXPECT_FALSE(state);
    nkSerial_setModemIoctl(nullptr);
    port.close_device();
    // The send and drain helpers report under the operation the caller called.
    testing::internal::CaptureStderr();
    EXPECT_EQ(port.send(std::string("x")), kNKErr_invalidCondition);
    port.clear_recvBuffer(0);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("CNK_ftdi::send()"), std::string::npos) << text;
    EXPECT_NE(text.find("CNK_ftdi::clear_recvBuffer()"), std::string::npos) << text;
    EXPECT_EQ(text.find("Locked()"), std::string::npos) << text;
}

struct BridgeOwner : INK_usbDeviceCallback {
    std::mutex m;
    CNK_ftdi* port = nullptr;
    std::atomic<int> told{0};
    u32 id = 0;
    void onUsbDeviceDisconnected(u32 i, t_nkUsbDevInfo&) override {
        std::lock_guard<std::mutex> lock(m);
        port = nullptr;
        id = i;
        ++told;
    }
};

TEST_F(UsbSim, BridgePortUnpluggedDuringALongReceive) {
    nktest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    sim::DeviceSpec s = board(0x7777, 0x0003, {2});
    s.tty = pty.path();
    const pf::usb::Handle h = sim::plug(s);
    BridgeOwner owner;
    owner.port = new CNK_ftdi(0x7777, 0x0003, 9600, k_nkSerialFormat_8E1, 255, 1);
    ASSERT_EQ(owner.port->open_device(), 0);
    ASSERT_EQ(owner.port->setCallback(0x4654, &owner), 0);
    std::atomic<u16> rc{0};
    std::atomic<bool> done{false};
    CNK_ftdi* p = owner.port;
    std::atomic<pid_t> readerTid{0};
    std::thread reader([&, p] {
        readerTid = gettid();
        std::string text;
        rc = p->recv(text, "\n", 20000);
        done = true;
    });
    while (readerTid == 0) std::this_thread::yield();
    ASSERT_TRUE(nktest::waitUntilThreadPolls(readerTid, 10000));
    sim::unplug(h);
    ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.told > 0 && done; }, 60000));
    reader.join();
    EXPECT_EQ(rc, kNKErr_serialReadError);
    EXPECT_EQ(owner.told, 1);
    EXPECT_EQ(owner.id, 0x4654u);
    EXPECT_EQ(owner.port, nullptr);
}

}  // namespace
