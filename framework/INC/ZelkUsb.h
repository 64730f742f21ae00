// The framework's USB access: one attached device (its description, one of its
// interfaces, HID class requests, an unplug notice) and a monitor that hands each
// arriving device of one vendor and product id to its owner.
//
// Unplugging. A device made by a monitor follows its device: when it goes, on the
// run loop of the thread that launched the monitor, the device tells its sink and
// its callback, then frees itself. Nobody frees it inside that call (an owner that
// does is detected and the record is still freed once). An owner that deletes it on
// another thread races the unplug safely: ZUSBD_Delete cancels the removal watch
// first and one of the two frees the record.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "ZelkTypeDef.h"

struct iZelk_LogManager;
class NK_unplugGate;
namespace pf::usb {
class Device;
}

struct tZelk_UsbDevInfo {
    char name[128];
    UInt32 locationId;
    UInt16 vendorId;
    char vendorName[128];
    UInt16 productId;
    char productName[128];
    UInt16 releaseNumber;
    UInt8 speed;
    char speedName[128];
    UInt8 protocol;
    char serialNumber[128];
    UInt32 registryObject;  // the platform's handle of the device
};

// Vendor and product names of the devices the station meets ("Unknown" when not listed).
const char* ZUSB_GetVendorName(UInt16 vendorId);
const char* ZUSB_GetProductName(UInt16 vendorId, UInt16 productId);
// The fixture-controller board's ids.
constexpr UInt16 kZelk_CrestelVendorId = 0x7A10;
constexpr UInt16 kZelk_CrestelProductId = 0x8131;

class iZelk_UsbDeviceEventSink {
public:
    virtual ~iZelk_UsbDeviceEventSink() = default;
    virtual void OnUsbDevDisconnected(const tZelk_UsbDevInfo& info) = 0;
};

struct iZelk_UsbDevice;
typedef void (*ZUSBD_UnplugFunction)(void* userData);

// The device's operations in table order; each is the ZUSBD_ function of its name.
class tZelk_UsbDeviceOps {
public:
    virtual SInt32 SetCallback(ZUSBD_UnplugFunction function, void* userData) = 0;
    virtual SInt32 SetEventSink(iZelk_UsbDeviceEventSink* sink) = 0;
    virtual SInt32 SetInterfaceNumber(UInt16 number) = 0;
    virtual SInt32 GetReport(UInt16 value, void* buffer, UInt32 length) = 0;
    virtual SInt32 SetReport(UInt16 value, const void* buffer, UInt32 length) = 0;
    virtual const tZelk_UsbDevInfo* GetDeviceInfo() = 0;

protected:
    ~tZelk_UsbDeviceOps() = default;
};

iZelk_UsbDevice* ZUSBD_Create(iZelk_LogManager* lm);
void ZUSBD_Delete(iZelk_UsbDevice** handle);
SInt32 ZUSBD_SetCallback(iZelk_UsbDevice* d, ZUSBD_UnplugFunction function, void* userData);
SInt32 ZUSBD_SetEventSink(iZelk_UsbDevice* d, iZelk_UsbDeviceEventSink* sink);
// Opens the interface at this position (0 first, alternate settings counted); 26 when there is none.
SInt32 ZUSBD_SetInterfaceNumber(iZelk_UsbDevice* d, UInt16 number);
// Class get-report / set-report on the interface in use: 52 for a failed request;
// a short get-report gives 52, a short set-report 84.
SInt32 ZUSBD_GetReport(iZelk_UsbDevice* d, UInt16 value, void* buffer, UInt32 length);
SInt32 ZUSBD_SetReport(iZelk_UsbDevice* d, UInt16 value, const void* buffer, UInt32 length);
const tZelk_UsbDevInfo* ZUSBD_GetDeviceInfo(iZelk_UsbDevice* d);
// The callback as a closure (it replaces one set with ZUSBD_SetCallback): for owners
// that must keep their own state alive until the unplug has told them.
SInt32 ZUSBD_SetUnplugHandler(iZelk_UsbDevice* d, std::function<void()> handler);
// For an owner about to delete the device: from here its unplug path no longer frees
// it. Called under the lock the owner's unplug handler takes, so the unplug cannot
// pass that handler first; ZUSBD_Delete follows outside the lock.
void ZUSBD_ClaimForOwner(iZelk_UsbDevice* d);

// A device for a platform handle (retained by the device). With `followUnplug` the
// device watches for its removal on the calling thread's run loop and frees itself
// when it goes. Null on failure, reported.
iZelk_UsbDevice* ZUSBD_CreateForHandle(iZelk_LogManager* lm, UInt32 handle, bool followUnplug);

struct iZelk_UsbDevice final : tZelk_UsbDeviceOps {
    iZelk_LogManager* lm = nullptr;
    tZelk_UsbDevInfo info{};
    UInt32 handle = 0;  // retained while the record holds it
    std::unique_ptr<pf::usb::Device> device;
    UInt16 interfaceNumber = 0;
    bool interfaceOpen = false;
    UInt8 interfaceClass = 0;
    UInt64 removalWatch = 0;  // the interest notification; 0 when none
    std::function<void()> callback;  // the unplug callback with its user data
    iZelk_UsbDeviceEventSink* sink = nullptr;
    // Requests and the unplug's release of the device do not overlap.
    std::mutex lock;
    std::shared_ptr<NK_unplugGate> gate;

    iZelk_UsbDevice();
    ~iZelk_UsbDevice();
    SInt32 SetCallback(ZUSBD_UnplugFunction f, void* u) override { return ZUSBD_SetCallback(this, f, u); }
    SInt32 SetEventSink(iZelk_UsbDeviceEventSink* s) override { return ZUSBD_SetEventSink(this, s); }
    SInt32 SetInterfaceNumber(UInt16 n) override { return ZUSBD_SetInterfaceNumber(this, n); }
    SInt32 GetReport(UInt16 v, void* b, UInt32 n) override { return ZUSBD_GetReport(this, v, b, n); }
    SInt32 SetReport(UInt16 v, const void* b, UInt32 n) override { return ZUSBD_SetReport(this, v, b, n); }
    const tZelk_UsbDevInfo* GetDeviceInfo() override { return ZUSBD_GetDeviceInfo(this); }
};

// ------------------------------------------------------------ monitor

class iZelk_UsbMonitorEventSink {
public:
    virtual ~iZelk_UsbMonitorEventSink() = default;
    // 0 takes the device over; anything else refuses it and it is deleted.
    virtual SInt32 OnUsbDevConnected(iZelk_UsbDevice* device, UInt16 vendorId, UInt16 productId) = 0;
};
typedef SInt32 (*ZUSBM_ArrivalFunction)(void* userData, iZelk_UsbDevice* device, UInt16 vendorId,
                                        UInt16 productId);

struct iZelk_UsbMonitor;

class tZelk_UsbMonitorOps {
public:
    virtual SInt32 Launch(UInt16 vendorId, UInt16 productId, ZUSBM_ArrivalFunction function, void* userData) = 0;
    virtual SInt32 Launch2(UInt16 vendorId, UInt16 productId, iZelk_UsbMonitorEventSink* sink) = 0;

protected:
    ~tZelk_UsbMonitorOps() = default;
};

iZelk_UsbMonitor* ZUSBM_Create(iZelk_LogManager* lm);
// Devices attached now are handed over inside the call; later ones on the run loop
// of the calling thread, while it runs.
SInt32 ZUSBM_Launch(iZelk_UsbMonitor* m, UInt16 vendorId, UInt16 productId, ZUSBM_ArrivalFunction function,
                    void* userData);
SInt32 ZUSBM_Launch2(iZelk_UsbMonitor* m, UInt16 vendorId, UInt16 productId, iZelk_UsbMonitorEventSink* sink);
// Nothing is handed over after this returns; safe inside an arrival call.
void ZUSBM_Delete(iZelk_UsbMonitor** handle);
// *count: the table's room on entry, the entries filled on return; 19 when more are attached.
SInt32 ZUSBM_GetUsbDeviceList(iZelk_LogManager* lm, tZelk_UsbDevInfo* table, UInt32* count);

struct ZelkUsbMonitorCore;

struct iZelk_UsbMonitor final : tZelk_UsbMonitorOps {
    iZelk_LogManager* lm = nullptr;
    UInt16 vendorId = 0;
    UInt16 productId = 0;
    UInt64 arrivalWatch = 0;  // the matching notification
    // What the arrival handler reads; shared with the watch so a delete during an
    // arrival leaves it whole.
    std::shared_ptr<ZelkUsbMonitorCore> core;

    SInt32 Launch(UInt16 v, UInt16 p, ZUSBM_ArrivalFunction f, void* u) override {
        return ZUSBM_Launch(this, v, p, f, u);
    }
    SInt32 Launch2(UInt16 v, UInt16 p, iZelk_UsbMonitorEventSink* s) override { return ZUSBM_Launch2(this, v, p, s); }
};
