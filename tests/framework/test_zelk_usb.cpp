// The framework's USB device and monitor on the simulated bus, and the listing on the system's.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "ZelkUsb.h"
#include "crestel_sim.h"
#include "net_test_util.h"
#include "runloop/pf_runloop.h"
#include "usb/pf_usb.h"
#include "usb_sim_fixture.h"
#include "zelk_log_capture.h"

namespace {

constexpr int kDeadlineMs = 60000;
constexpr UInt16 kVid = 0x7A10, kPid = 0x8130;

pf::usb::sim::DeviceSpec boardSpec(uint16_t pid = kPid) {
    pf::usb::sim::DeviceSpec s;
    s.desc.readable = true;
    s.desc.name = "Sim Board";
    s.desc.bus = 3;
    s.desc.ports = {2};
    s.desc.vendorId = kVid;
    s.desc.productId = pid;
    s.desc.speed = 2;
    s.desc.serial = "SN42";
    s.configs.push_back(insttest::boardConfig({3, 3}));
    s.control = [](const pf::usb::Setup& st, uint8_t*) { return int(st.wLength); };
    return s;
}

// What the device and monitor events did, in order.
struct Events : iZelk_UsbDeviceEventSink, iZelk_UsbMonitorEventSink {
    std::mutex m;
    std::vector<std::string> order;
    std::vector<iZelk_UsbDevice*> devices;
    std::vector<std::thread::id> threads;
    SInt32 answer = 0;
    void add(const std::string& s) {
        std::lock_guard<std::mutex> g(m);
        order.push_back(s);
    }
    size_t count() {
        std::lock_guard<std::mutex> g(m);
        return order.size();
    }
    void OnUsbDevDisconnected(const tZelk_UsbDevInfo& info) override { add(std::string("sink:") + info.name); }
    SInt32 OnUsbDevConnected(iZelk_UsbDevice* device, UInt16 vid, UInt16 pid) override {
        std::lock_guard<std::mutex> g(m);
        order.push_back("connected:" + std::to_string(vid) + ":" + std::to_string(pid));
        threads.push_back(std::this_thread::get_id());
        if (answer == 0) devices.push_back(device);
        return answer;
    }
};

void unplugCallback(void* user) { static_cast<Events*>(user)->add("callback"); }

class ZelkUsb : public nktest::SimulatedUsbTest {};

}  // namespace

TEST_F(ZelkUsb, DescriptionFromTheRegistryAndTheNameTable) {
    pf::usb::sim::DeviceSpec s = boardSpec(kZelk_CrestelProductId);
    s.desc.name = std::string(300, 'n');
    s.desc.serial = std::string(300, 's');
    const pf::usb::Handle h = plug(s);
    iZelk_UsbDevice* d = ZUSBD_CreateForHandle(nullptr, h, false);
    ASSERT_NE(d, nullptr);
    const tZelk_UsbDevInfo* i = ZUSBD_GetDeviceInfo(d);
    EXPECT_EQ(std::string(i->name), std::string(127, 'n'));
    EXPECT_EQ(std::string(i->serialNumber), std::string(127, 's'));
    EXPECT_EQ(i->locationId, 0x03200000u);
    EXPECT_STREQ(i->vendorName, "Orchel Inc.");
    EXPECT_STREQ(i->productName, "Crestel Fixture Controller");
    EXPECT_STREQ(i->speedName, "Up to 480 Mb/sec");
    EXPECT_EQ(i->registryObject, h);
    ZUSBD_Delete(&d);
    EXPECT_EQ(d, nullptr);

    // Without name, serial or table row; speed names by code.
    struct Case {
        uint16_t vid, pid;
        uint8_t speed;
        const char *vendor, *product, *speedName;
    } cases[] = {
        {0x7A10, 0x0FFF, 1, "Orchel Inc.", "Unknown", "Up to 12 Mb/sec"},
        {0x3E41, 0x2514, 0, "Halvex Semiconductor", "Halvex USB 2.0 Hub", "Unknown"},
        {0x1234, 0x5678, 3, "Unknown", "Unknown", "Unknown"},
    };
    for (const Case& c : cases) {
        pf::usb::sim::DeviceSpec bare = boardSpec();
        bare.desc.name.clear();
        bare.desc.serial.clear();
        bare.desc.vendorId = c.vid;
        bare.desc.productId = c.pid;
        bare.desc.speed = c.speed;
        iZelk_UsbDevice* b = ZUSBD_CreateForHandle(nullptr, plug(bare), false);
        ASSERT_NE(b, nullptr);
        EXPECT_STREQ(b->info.name, "Unknown");
        EXPECT_STREQ(b->info.serialNumber, "NA");
        EXPECT_STREQ(b->info.vendorName, c.vendor);
        EXPECT_STREQ(b->info.productName, c.product);
        EXPECT_STREQ(b->info.speedName, c.speedName);
        ZUSBD_Delete(&b);
    }
    EXPECT_EQ(ZUSBD_GetDeviceInfo(nullptr), nullptr);
}

TEST_F(ZelkUsb, ReportsGoOutAsExactSetupPacketsOnTheInterfaceInUse) {
    pf::usb::sim::DeviceSpec s = boardSpec();
    s.configs = {insttest::boardConfig({3, 2, 3})};
    int shortBy = 0;
    bool fail = false;
    s.control = [&](const pf::usb::Setup& st, uint8_t* data) {
        if (fail) return int(pf::usb::kErrPipe);
        if (st.bmRequestType == 0xA1) data[0] = 0x5A;
        return int(st.wLength) - shortBy;
    };
    iZelk_UsbDevice* d = ZUSBD_CreateForHandle(nullptr, plug(s), false);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ZUSBD_SetInterfaceNumber(d, 3), kZErr_noInterface);
    ASSERT_EQ(ZUSBD_SetInterfaceNumber(d, 2), kZErr_OK);
    UInt8 out[3] = {1, 2, 3}, in[2] = {};
    EXPECT_EQ(ZUSBD_SetReport(d, 0x03E3, out, 3), kZErr_OK);
    EXPECT_EQ(ZUSBD_GetReport(d, 0x03E1, in, 2), kZErr_OK);
    EXPECT_EQ(in[0], 0x5A);
    const std::vector<pf::usb::Setup> log = pf::usb::sim::controlLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].bmRequestType, 0x21);
    EXPECT_EQ(log[0].bRequest, 0x09);
    EXPECT_EQ(log[0].wValue, 0x03E3);
    EXPECT_EQ(log[0].wIndex, 2);
    EXPECT_EQ(log[0].wLength, 3);
    EXPECT_EQ(log[1].bmRequestType, 0xA1);
    EXPECT_EQ(log[1].bRequest, 0x01);
    EXPECT_EQ(log[1].wValue, 0x03E1);
    EXPECT_EQ(log[1].wIndex, 2);
    EXPECT_EQ(log[1].wLength, 2);

    // Short and failed transfers, and refusals before any transfer.
    struct Case {
        bool set;
        int shortBy;
        bool fail;
        void* data;
        UInt32 length;
        SInt32 code;
        size_t transfers;
    } cases[] = {
        {true, 1, false, out, 3, kZErr_usbDevicePowerOnFailed, 1},
        {false, 1, false, in, 2, kZErr_usbDeviceRequestFailed, 1},
        {true, 0, true, out, 3, kZErr_usbDeviceRequestFailed, 1},
        {false, 0, true, in, 2, kZErr_usbDeviceRequestFailed, 1},
        {true, 0, false, nullptr, 3, kZErr_invalidParam, 0},
        {false, 0, false, in, 0, kZErr_invalidParam, 0},
    };
    for (const Case& c : cases) {
        pf::usb::sim::clearControlLog();
        shortBy = c.shortBy;
        fail = c.fail;
        EXPECT_EQ(c.set ? ZUSBD_SetReport(d, 0x0300, c.data, c.length) : ZUSBD_GetReport(d, 0x0300, c.data, c.length),
                  c.code);
        EXPECT_EQ(pf::usb::sim::controlLog().size(), c.transfers);
    }
    EXPECT_EQ(ZUSBD_SetReport(nullptr, 0, out, 1), kZErr_invalidParam);
    EXPECT_EQ(ZUSBD_SetCallback(nullptr, nullptr, nullptr), kZErr_invalidParam);
    EXPECT_EQ(ZUSBD_SetEventSink(nullptr, nullptr), kZErr_invalidParam);
    ZUSBD_Delete(&d);

    // Two interfaces: the third is not there.
    iZelk_UsbDevice* two = ZUSBD_CreateForHandle(nullptr, plug(boardSpec()), false);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(ZUSBD_SetInterfaceNumber(two, 2), kZErr_noInterface);
    EXPECT_EQ(ZUSBD_SetInterfaceNumber(two, 1), kZErr_OK);
    ZUSBD_Delete(&two);
}

TEST_F(ZelkUsb, MonitorHandsPresentAndLaterDevicesOnTheLaunchingThreadOnly) {
    Events ev;
    plug(boardSpec());
    plug(boardSpec(0x0001));  // other product: not watched
    iZelk_UsbMonitor* m = nullptr;
    std::atomic<bool> launched{false}, stop{false};
    std::thread::id loopThread;
    std::thread watcher([&] {
        loopThread = std::this_thread::get_id();
        m = ZUSBM_Create(nullptr);
        EXPECT_EQ(ZUSBM_Launch2(m, kVid, kPid, &ev), kZErr_OK);
        launched = true;
        while (!stop) pf::runloop::runFor(5);
        ZUSBM_Delete(&m);
    });
    ASSERT_TRUE(nettest::waitFor([&] { return launched.load(); }, kDeadlineMs));
    EXPECT_EQ(ev.count(), 1u);  // the device already attached, inside the launch
    plug(boardSpec());
    pf::runloop::runFor(30);  // this thread's loop delivers nothing of the monitor's
    ASSERT_TRUE(nettest::waitFor([&] { return ev.count() == 2; }, kDeadlineMs));
    stop = true;
    watcher.join();
    {
        std::lock_guard<std::mutex> g(ev.m);
        for (const std::thread::id& t : ev.threads) EXPECT_EQ(t, loopThread);
        EXPECT_EQ(ev.order[0], "connected:" + std::to_string(kVid) + ":" + std::to_string(kPid));
    }
    // The owner's devices: freed by their owner, on this thread, with no watch left to run.
    for (iZelk_UsbDevice* d : ev.devices) ZUSBD_Delete(&d);
    EXPECT_EQ(m, nullptr);
}

TEST_F(ZelkUsb, RefusedDeviceIsDeletedAndNotReportedAgain) {
    Events ev;
    ev.answer = kZErr_invalidState;
    std::atomic<int> calls{0};
    auto arrival = [](void* user, iZelk_UsbDevice*, UInt16, UInt16) -> SInt32 {
        ++*static_cast<std::atomic<int>*>(user);
        return kZErr_OK;  // the sink's answer replaces this one
    };
    iZelk_UsbMonitor* m = ZUSBM_Create(nullptr);
    EXPECT_EQ(ZUSBM_Launch(m, kVid, kPid, nullptr, nullptr), kZErr_invalidParam);
    EXPECT_EQ(ZUSBM_Launch(nullptr, kVid, kPid, arrival, &calls), kZErr_invalidParam);
    ASSERT_EQ(ZUSBM_Launch2(m, kVid, kPid, &ev), kZErr_OK);
    const pf::usb::Handle h = plug(boardSpec());
    ASSERT_TRUE(pf::runloop::runUntil([&] { return ev.count() == 1; }, kDeadlineMs));
    pf::runloop::runFor(50);
    EXPECT_EQ(ev.count(), 1u);
    // The refused device holds no watch: unplugging it tells nobody (ASan: freed once).
    unplug(h);
    pf::runloop::runFor(30);
    EXPECT_EQ(ev.count(), 1u);

    // The function form: its answer counts when there is no sink.
    ASSERT_EQ(ZUSBM_Launch(m, kVid, kPid, arrival, &calls), kZErr_OK);
    plug(boardSpec());
    ASSERT_TRUE(pf::runloop::runUntil([&] { return calls == 1; }, kDeadlineMs));
    ZUSBM_Delete(&m);
    plug(boardSpec());
    pf::runloop::runFor(30);
    EXPECT_EQ(calls, 1);  // nothing after the delete
}

TEST_F(ZelkUsb, UnplugTellsSinkThenCallbackAndFreesTheDeviceOnce) {
    nktest::ZelkLogCapture capture;
    iZelk_LogManager* lm = capture.lm();
    Events ev;
    const pf::usb::Handle h = plug(boardSpec());
    iZelk_UsbDevice* d = ZUSBD_CreateForHandle(lm, h, true);
    ASSERT_NE(d, nullptr);
    ZUSBD_SetEventSink(d, &ev);
    ZUSBD_SetCallback(d, unplugCallback, &ev);
    unplug(h);
    ASSERT_TRUE(pf::runloop::runUntil([&] { return ev.count() == 2; }, kDeadlineMs));
    pf::runloop::runFor(20);
    {
        std::lock_guard<std::mutex> g(ev.m);
        EXPECT_EQ(ev.order, (std::vector<std::string>{"sink:Sim Board", "callback"}));
    }
    const std::string log = capture.text();
    EXPECT_NE(log.find("*** iZelk_UsbDevice disconnected ***\n[0x03200000]Sim Board\n\tVndrId:\t0x7A10 (Orchel Inc.)"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\tSerlNr:\tSN42\n"), std::string::npos);
}

namespace {
// An owner that breaks the rule and frees the device inside its own unplug call.
struct RudeOwner {
    iZelk_UsbDevice* device = nullptr;
    int calls = 0;
    static void onUnplug(void* user) {
        auto* o = static_cast<RudeOwner*>(user);
        ++o->calls;
        ZUSBD_Delete(&o->device);
    }
};
}  // namespace

TEST_F(ZelkUsb, OwnerFreeingInsideTheUnplugCallIsStillOneFree) {
    RudeOwner owner;
    const pf::usb::Handle h = plug(boardSpec());
    owner.device = ZUSBD_CreateForHandle(nullptr, h, true);
    ASSERT_NE(owner.device, nullptr);
    ZUSBD_SetCallback(owner.device, RudeOwner::onUnplug, &owner);
    unplug(h);
    ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.calls == 1; }, kDeadlineMs));
    EXPECT_EQ(owner.device, nullptr);
}

// The owner deletes on another thread while the unplug runs on the watching thread.
TEST_F(ZelkUsb, UnplugRacingAnOwnersDeleteOnAnotherThread) {
    for (int round = 0; round < 20; ++round) {
        std::mutex ownerLock;
        iZelk_UsbDevice* held = nullptr;
        struct Ctx {
            std::mutex* lock;
            iZelk_UsbDevice** held;
        } ctx{&ownerLock, &held};
        const pf::usb::Handle h = pf::usb::sim::plug(boardSpec());
        held = ZUSBD_CreateForHandle(nullptr, h, true);
        ASSERT_NE(held, nullptr);
        ZUSBD_SetCallback(
            held,
            [](void* user) {
                auto* c = static_cast<Ctx*>(user);
                std::lock_guard<std::mutex> g(*c->lock);
                *c->held = nullptr;  // gone: drop the pointer, never free it here
            },
            &ctx);
        std::atomic<bool> go{false};
        std::thread owner([&] {
            while (!go) std::this_thread::yield();
            std::lock_guard<std::mutex> g(ownerLock);
            ZUSBD_Delete(&held);
        });
        pf::usb::sim::unplug(h);
        go = true;
        pf::runloop::runFor(round % 3);
        owner.join();
        pf::runloop::runFor(5);
        EXPECT_EQ(held, nullptr);
    }
}

TEST_F(ZelkUsb, ListingFillsTheTableWithinItsRoom) {
    plug(boardSpec());
    plug(boardSpec(0x0002));
    pf::usb::sim::DeviceSpec unreadable = boardSpec(0x0003);
    unreadable.desc.readable = false;
    plug(unreadable);
    plug(boardSpec(0x0004));
    tZelk_UsbDevInfo table[4] = {};
    UInt32 count = 4;
    ASSERT_EQ(ZUSBM_GetUsbDeviceList(nullptr, table, &count), kZErr_OK);
    ASSERT_EQ(count, 3u);  // the unreadable one skipped
    EXPECT_EQ(table[0].productId, kPid);
    EXPECT_EQ(table[2].productId, 0x0004);
    EXPECT_STREQ(table[1].serialNumber, "SN42");

    count = 1;
    EXPECT_EQ(ZUSBM_GetUsbDeviceList(nullptr, table, &count), kZErr_insufficientBufferSize);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(ZUSBM_GetUsbDeviceList(nullptr, nullptr, &count), kZErr_invalidParam);
    EXPECT_EQ(ZUSBM_GetUsbDeviceList(nullptr, table, nullptr), kZErr_invalidParam);
}

TEST(ZelkUsbSystem, ListingReadsThisMachinesBus) {
    pf::usb::useSimulated(false);
    size_t readable = 0;
    for (pf::usb::Handle h : pf::usb::list()) {
        pf::usb::Description d;
        if (pf::usb::describe(h, d) && d.readable) ++readable;
        pf::usb::release(h);
    }
    std::vector<tZelk_UsbDevInfo> table(readable + 1);
    UInt32 count = static_cast<UInt32>(table.size());
    const SInt32 rc = ZUSBM_GetUsbDeviceList(nullptr, table.data(), &count);
    pf::usb::useSimulated(true);
    ASSERT_EQ(rc, kZErr_OK);
    EXPECT_EQ(count, readable);
    for (UInt32 i = 0; i < count; ++i) {
        EXPECT_NE(table[i].name[0], '\0');
        EXPECT_NE(table[i].registryObject, 0u);
    }
}
