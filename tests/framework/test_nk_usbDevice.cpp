// The older USB device and serial-port classes on a simulated USB adapter whose tty is a pty.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <atomic>
#include <mutex>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net_test_util.h"
#include "nk_usbDevice.h"
#include "runloop/pf_runloop.h"
#include "serial_instrument_sim.h"
#include "usb/pf_usb.h"

namespace {

constexpr u16 kVid = 0x1A2B, kPid = 0x0117;

CNK_usbDevice* openDevice() {
    const u32 h = nkUsb_getUsbDev(kVid, kPid, 255);
    if (!h) return nullptr;
    CNK_usbDevice* d = CNK_usbDevice::create(h);
    pf::usb::release(h);
    return d;
}

// Counts the unplug calls of both kinds; an owner keeps its pointer here and drops it.
struct Listener : INK_usbDeviceCallback, INK_serialPortCallback {
    std::atomic<int> usbCalls{0}, serialCalls{0};
    std::atomic<u32> lastId{0};
    void onUsbDeviceDisconnected(u32 id, t_nkUsbDevInfo&) override {
        lastId = id;
        ++usbCalls;
    }
    void onSerialPortDisconnected(u32 id) override {
        lastId = id;
        ++serialCalls;
    }
};

// A driver one level up, as the older drivers are: told by its port, it tells its
// own listener and frees itself.
struct Driver : INK_serialPortCallback {
    CNK_serialPort* port;
    INK_serialPortCallback* owner;
    u32 ownerId;
    static std::atomic<int> alive;
    Driver(CNK_serialPort* p, INK_serialPortCallback* o, u32 id) : port(p), owner(o), ownerId(id) {
        ++alive;
        port->setCallback(5, this);
    }
    ~Driver() override { --alive; }
    void onSerialPortDisconnected(u32) override {
        if (owner) owner->onSerialPortDisconnected(ownerId);
        delete this;
    }
};
std::atomic<int> Driver::alive{0};

class NkUsbDevice : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(adapter.pty.ok()); }
    insttest::SimAdapter adapter{kVid, kPid};
};

TEST_F(NkUsbDevice, DescriptionAndRequestsOnTheInterfaceInUse) {
    CNK_usbDevice* d = openDevice();
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->name, "CNK_usbDevice");
    EXPECT_EQ(d->devInfo().vendorId, kVid);
    EXPECT_EQ(d->devInfo().productName, "Sim Adapter");

    pf::usb::sim::clearControlLog();
    u8 data[4] = {1, 2, 3, 4};
    EXPECT_EQ(d->setInterfaceNumber(0), kNKErr_OK);
    EXPECT_EQ(d->setInterfaceNumber(1), kNKErr_invalidCondition);  // one interface only
    EXPECT_EQ(d->setRequest(0x0203, data, 4), kNKErr_OK);
    EXPECT_EQ(d->getRequest(0x0100, data, 4), kNKErr_OK);
    const std::vector<pf::usb::Setup> log = pf::usb::sim::controlLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].bmRequestType, 0x21);
    EXPECT_EQ(log[0].bRequest, 0x09);
    EXPECT_EQ(log[0].wValue, 0x0203);
    EXPECT_EQ(log[0].wIndex, 0);
    EXPECT_EQ(log[0].wLength, 4);
    EXPECT_EQ(log[1].bmRequestType, 0xA1);
    EXPECT_EQ(log[1].bRequest, 0x01);

    // Refusals before any transfer: the same checks for both directions.
    struct Case {
        bool set;
        void* data;
        u32 length;
        u16 code;
    } cases[] = {
        {true, nullptr, 4, kNKErr_invalidPointer},
        {false, nullptr, 4, kNKErr_invalidPointer},
        {true, data, 0, kNKErr_invalidParam},
        {false, data, 0, kNKErr_invalidParam},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.set ? d->setRequest(1, c.data, c.length) : d->getRequest(1, c.data, c.length), c.code);
    }
    EXPECT_EQ(pf::usb::sim::controlLog().size(), 2u);
    delete d;
}

TEST_F(NkUsbDevice, UnplugTellsTheListenerOnceAndFreesTheDevice) {
    Listener l;
    CNK_usbDevice* d = openDevice();
    ASSERT_NE(d, nullptr);
    d->setCallback(42, &l);
    adapter.unplug();
    ASSERT_TRUE(pf::runloop::runUntil([&] { return l.usbCalls > 0; }, 60000));
    pf::runloop::runFor(20);
    EXPECT_EQ(l.usbCalls, 1);
    EXPECT_EQ(l.lastId, 42u);
    // ASan reports the device if it was not freed, or freed twice.
}

TEST_F(NkUsbDevice, SerialPortWithoutATtyLeavesTheDeviceToItsOwner) {
    pf::usb::sim::DeviceSpec s;
    s.desc.readable = true;
    s.desc.name = "No Serial";
    s.desc.vendorId = 0x1A2B;
    s.desc.productId = 0x0999;
    s.configs.push_back(insttest::cdcConfig());
    const pf::usb::Handle h = pf::usb::sim::plug(s);
    CNK_usbDevice* d = CNK_usbDevice::create(h);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(CNK_serialPort::create(d, 9600, k_nkSerialPortFormat_8N1, 1), nullptr);
    EXPECT_EQ(d->devInfo().productId, 0x0999);  // still whole and the caller's
    EXPECT_EQ(CNK_serialPort::create(d, 0, k_nkSerialPortFormat_8N1, 1), nullptr);
    EXPECT_EQ(CNK_serialPort::create(nullptr, 9600, k_nkSerialPortFormat_8N1, 1), nullptr);
    delete d;
    pf::usb::sim::unplug(h);
}

TEST_F(NkUsbDevice, SerialPortLineOperations) {
    CNK_usbDevice* d = openDevice();
    ASSERT_NE(d, nullptr);
    CNK_serialPort* p = CNK_serialPort::create(d, 115200, k_nkSerialPortFormat_8N1, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->name, "CNK_serialPort");
    EXPECT_EQ(p->bsdPath(), adapter.pty.path());
    EXPECT_EQ(p->devInfo().vendorId, kVid);  // the description moved with the device

    ASSERT_EQ(p->Open(), kNKErr_OK);
    EXPECT_EQ(p->Open(), kNKErr_deviceAlreadyOpen);  // and the port is closed again
    ASSERT_EQ(p->Open(), kNKErr_OK);

    ASSERT_TRUE(adapter.pty.send("stale"));
    ASSERT_TRUE(nettest::waitFor([&] {
        int n = 0;
        return ioctl(adapter.pty.slave(), FIONREAD, &n) == 0 && n == 5;
    }));
    EXPECT_EQ(p->clear_readBuffer(), kNKErr_OK);
    ASSERT_TRUE(adapter.pty.send("VAL 1.25\r\nrest"));
    char buf[64] = {};
    u32 len = sizeof(buf);
    EXPECT_EQ(p->Read(buf, &len, "\r\n", 2000), kNKErr_OK);
    EXPECT_EQ(std::string(buf, len), "VAL 1.25\r\n");

    const u8 cmd[] = {'*', 'I', 'D', 'N', '?', '\n'};
    EXPECT_EQ(p->Write(cmd, sizeof(cmd)), kNKErr_OK);
    EXPECT_EQ(adapter.pty.receive(6, 2000), "*IDN?\n");
    p->Close();
    delete p;
}

TEST_F(NkUsbDevice, OpenOfAMissingPathFails) {
    pf::usb::sim::DeviceSpec s;
    s.desc.readable = true;
    s.desc.name = "Gone Tty";
    s.desc.vendorId = 0x1A2B;
    s.desc.productId = 0x0998;
    s.configs.push_back(insttest::cdcConfig());
    s.tty = "/nonexistent/ttyUSB9";
    const pf::usb::Handle h = pf::usb::sim::plug(s);
    CNK_usbDevice* d = CNK_usbDevice::create(h);
    ASSERT_NE(d, nullptr);
    CNK_serialPort* p = CNK_serialPort::create(d, 9600, k_nkSerialPortFormat_8N1, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->Open(), kNKErr_deviceOpenError);
    delete p;
    pf::usb::sim::unplug(h);
}

// Unplug under a driver: port, device and driver are gone, and the driver's owner
// hears it once with the driver's id.
TEST_F(NkUsbDevice, UnplugTearsTheChainDownOnce) {
    Listener owner;
    CNK_usbDevice* d = openDevice();
    ASSERT_NE(d, nullptr);
    CNK_serialPort* p = CNK_serialPort::create(d, 9600, k_nkSerialPortFormat_8N1, 1);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->Open(), kNKErr_OK);
    new Driver(p, &owner, 77);
    EXPECT_EQ(Driver::alive, 1);
    adapter.unplug();
    ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.serialCalls > 0; }, 60000));
    pf::runloop::runFor(20);
    EXPECT_EQ(owner.serialCalls, 1);
    EXPECT_EQ(owner.lastId, 77u);
    EXPECT_EQ(Driver::alive, 0);
}

// A read in progress on another thread when the adapter goes: the port waits for it.
TEST_F(NkUsbDevice, UnplugDuringAReadOnAnotherThread) {
    Listener owner;
    CNK_usbDevice* d = openDevice();
    ASSERT_NE(d, nullptr);
    CNK_serialPort* p = CNK_serialPort::create(d, 9600, k_nkSerialPortFormat_8N1, 1);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->Open(), kNKErr_OK);
    p->setCallback(3, &owner);
    auto pending = [&] {
        int n = -1;
        return ioctl(adapter.pty.slave(), FIONREAD, &n) == 0 ? n : -1;
    };
    ASSERT_TRUE(adapter.pty.send("partial"));
    ASSERT_TRUE(nettest::waitFor([&] { return pending() == 7; }));
    std::atomic<u16> readCode{0xFFFF};
    std::thread reader([&] {
        char buf[32];
        u32 len = sizeof(buf);
        readCode = p->Read(buf, &len, "\n", 300);  // p is not touched after this returns
    });
    // The reader has taken the bytes: it is inside its read, waiting for the line end.
    ASSERT_TRUE(nettest::waitFor([&] { return pending() == 0; }));
    adapter.unplug();
    ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.serialCalls > 0; }, 60000));
    reader.join();
    EXPECT_EQ(owner.serialCalls, 1);
    EXPECT_EQ(owner.lastId, 3u);
    EXPECT_NE(readCode, 0xFFFF);
}

TEST_F(NkUsbDevice, ListingRefusesNoRoomAndTellsATooSmallTable) {
    t_nkUsbDevInfo table[4];
    u32 count = 0;
    EXPECT_EQ(nkUsb_getUsbDeviceList(table, &count), kNKErr_invalidParam);
    EXPECT_EQ(nkUsb_getUsbDeviceList(nullptr, &count), kNKErr_invalidParam);
    EXPECT_EQ(nkUsb_getUsbDeviceList(table, nullptr), kNKErr_invalidParam);
    insttest::SimAdapter second(kVid, 0x0300);
    count = 4;
    ASSERT_EQ(nkUsb_getUsbDeviceList(table, &count), kNKErr_OK);
    ASSERT_GE(count, 2u);
    bool seen = false;
    for (u32 i = 0; i < count; ++i) seen = seen || (table[i].productId == 0x0300 && table[i].vendorId == kVid);
    EXPECT_TRUE(seen);
    const u32 all = count;
    count = all - 1;
    EXPECT_EQ(nkUsb_getUsbDeviceList(table, &count), kNKErr_invalidBufferSize);
    EXPECT_EQ(count, all - 1);
}

struct Collector : INK_usbDeviceDetectorCallback {
    std::vector<CNK_usbDevice*> devices;
    void onUsbDeviceDetected(CNK_usbDevice* d) override { devices.push_back(d); }
};

TEST_F(NkUsbDevice, DetectorHandsOverPresentAndLaterDevices) {
    Collector c;
    EXPECT_EQ(CNK_usbDeviceDetector::create(nullptr, 0, kPid, &c), nullptr);
    EXPECT_EQ(CNK_usbDeviceDetector::create(nullptr, kVid, 0, &c), nullptr);
    EXPECT_EQ(CNK_usbDeviceDetector::create(nullptr, kVid, kPid, nullptr), nullptr);
    CNK_usbDeviceDetector* det = CNK_usbDeviceDetector::create(nullptr, kVid, 0x0400, &c);
    ASSERT_NE(det, nullptr);
    EXPECT_STREQ(det->name, "CNK_usbDeviceDetector");
    EXPECT_TRUE(c.devices.empty());
    {
        insttest::SimAdapter later(kVid, 0x0400);
        ASSERT_TRUE(pf::runloop::runUntil([&] { return c.devices.size() == 1; }, 60000));
        EXPECT_EQ(c.devices[0]->devInfo().productId, 0x0400);
        delete c.devices[0];  // the listener's to free
    }
    delete det;
    // One attached now is handed over inside the launch.
    Collector now;
    det = CNK_usbDeviceDetector::create(nullptr, kVid, kPid, &now);
    ASSERT_NE(det, nullptr);
    ASSERT_EQ(now.devices.size(), 1u);
    EXPECT_EQ(now.devices[0]->devInfo().productId, kPid);
    delete now.devices[0];
    delete det;
}

// An owner keeps its port under its own lock, deletes it holding the lock, and
// drops it when told. Deleting on another thread while the unplug runs: the port
// is freed once, whichever comes first, and the owner is told at most once.
struct Owner : INK_serialPortCallback {
    std::mutex m;
    CNK_serialPort* port = nullptr;
    std::atomic<int> told{0};
    void onSerialPortDisconnected(u32) override {
        std::lock_guard<std::mutex> lock(m);
        port = nullptr;
        ++told;
    }
    void deletePort() {
        std::lock_guard<std::mutex> lock(m);
        delete port;
        port = nullptr;
    }
};

TEST_F(NkUsbDevice, OwnerDeleteRacingAnUnplug) {
    for (int round = 0; round < 20; ++round) {
        const u16 pid = static_cast<u16>(0x0200 + round);
        insttest::SimAdapter local(kVid, pid);
        const u32 h = nkUsb_getUsbDev(kVid, pid, 255);
        ASSERT_NE(h, 0u);
        CNK_usbDevice* d = CNK_usbDevice::create(h);
        pf::usb::release(h);
        ASSERT_NE(d, nullptr);
        Owner owner;
        owner.port = CNK_serialPort::create(d, 9600, k_nkSerialPortFormat_8N1, 1);
        ASSERT_NE(owner.port, nullptr);
        owner.port->setCallback(1, &owner);
        std::atomic<bool> deleted{false};
        std::thread other([&] {
            owner.deletePort();
            deleted = true;
        });
        local.unplug();
        pf::runloop::runUntil([&] { return deleted.load(); }, 60000);
        other.join();
        pf::runloop::runFor(2);
        EXPECT_LE(owner.told, 1);
    }
}

}  // namespace
