// USB layer: device descriptions and lookup, arrival detection, the opened
// device object, the board base with one selected interface, and the detector
// that hands out opened devices.
//
// Unplugging. A USB object (CNK_usbDev, CNK_usb and the drivers derived from it)
// follows its device: when the device goes, the object tears itself down on the
// run loop of the thread that opened it (pf::runloop::runFor / runUntil), under
// its own mutex, so operations in flight end first; then it tells its owners,
// handing them the id they registered and a copy of the description, and frees
// itself. Ports and drivers built on such an object then tell their own owners
// and free themselves the same way.
// Owners keep their pointer under a lock of their own, hold that lock while they
// delete the object, and take it in the callback to drop the pointer (which may
// already be gone). They never delete the object inside the callback. An owner
// that deletes first cancels the removal watch, and its callback is not called.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nk_log.h"
#include "nk_typedef.h"

namespace pf::usb {
class Device;
}
class NK_unplugGate;

// ---------------------------------------------------------------- descriptions

struct t_nkUsbDevInfo {
    u32 ioObject = 0;
    std::string name;  // "Unknown" without a product text; empty when unreadable
    u32 locationID = 0;
    u16 vendorId = 0;
    std::string vendorName;
    u16 productId = 0;
    std::string productName;
    u8 speed = 0;
    std::string speedName;
    u8 protocol = 0;
    std::string serial;

    bool isValid() const { return !name.empty(); }
    std::string usbDevInfoStr() const;
};

// Port number encoded in a location: the lowest non-zero nibble minus 1; 255 for 0.
u8 nkUsb_portOfLocation(u32 locationID);

t_nkUsbDevInfo nkUsb_getUsbDevInfo(u32 usbDev);
std::vector<t_nkUsbDevInfo> nkUsb_getUsbDevList();
// First attached device with these ids on `port` (255: any); the handle is the
// caller's to release (pf::usb::release). 0 when none.
u32 nkUsb_getUsbDev(u16 vendorId, u16 productId, u8 port);

// ---------------------------------------------------------------- arrival detection

class INK_usbDeviceDetectionCallback {
public:
    virtual ~INK_usbDeviceDetectionCallback() = default;
    // usbDev is valid for the call; retain it to keep it.
    virtual void onUsbDeviceArrived(u32 usbDev) = 0;
};

// Devices attached now are reported inside the call; later arrivals on the
// calling thread's run loop. Each registration hears of its own ids.
u16 nkUsb_deviceDetection(u16 vendorId, u16 productId, INK_usbDeviceDetectionCallback* callback);
// Withdraws every registration of `callback`; it is not called again.
u16 nkUsb_cancelDeviceDetection(INK_usbDeviceDetectionCallback* callback);

// ---------------------------------------------------------------- device object

class INK_usbDevCallback {
public:
    virtual ~INK_usbDevCallback() = default;
    virtual void onUsbDevDisconnected(u32 id, t_nkUsbDevInfo& info) = 0;
};

class CNK_usbDev : public CNK_baseObject {
public:
    static constexpr int kMaxInterfaces = 8;

    static CNK_usbDev* create(u32 usbDev);
    static CNK_usbDev* create(u16 vendorId, u16 productId, u32 locationID);
    ~CNK_usbDev() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 getInterfaceNumber(u8 interfaceClass, u8* pInterfaceNumber);
    // The device's own serial tty; 0xE070 when it has none.
    u16 getBsdPath(char* path, i32 size);
    u16 setRequest(u16 value, void* data, u32 length);
    u16 getRequest(u16 value, void* data, u32 length);
    // intfNum is a position in the interface table, not a USB interface number.
    u16 setInterfaceRequest(u8 intfNum, u8 request, u16 value, void* data, u32 length);
    u16 getInterfaceRequest(u8 intfNum, u8 request, u16 value, void* data, u32 length);
    void setCallback(u32 id, INK_usbDevCallback* callback);
    int interfaceCount() const { return _interfaceNumTotal; }

    // Interface descriptors of a configuration descriptor of `size` bytes: the
    // walk stays within the buffer, wTotalLength and every descriptor's length.
    static i32 findNextInterfaceDescriptor(const u8* config, size_t size, const u8* current, const u8** next);
    static const u8* nextDescriptor(const u8* descriptor);
    static const char* getUSBErrorString(i32 code);

    t_nkUsbDevInfo devInfo;

private:
    struct Intf {
        u8 number;
        u8 cls;
    };
    CNK_usbDev();
    u16 request(u8 reqType, u8 req, u16 value, u16 index, u8 claimClass, void* data, u32 length);
    void onUnplugged(const std::shared_ptr<NK_unplugGate>& gate);
    void teardownLocked();

    u32 _usbDev = 0;
    std::unique_ptr<pf::usb::Device> _device;
    Intf _interfaces[kMaxInterfaces] = {};
    int _interfaceNumTotal = 0;
    u64 _notification = 0;
    std::mutex _mtx;
    u32 _callbackId = 0;
    INK_usbDevCallback* _callback = nullptr;
    std::shared_ptr<NK_unplugGate> _gate;

    friend class CNK_serial;
    friend class CNK_marlet;
    friend class CNK_usbDevice;
};

// ---------------------------------------------------------------- board base

class INK_usbDeviceCallback {
public:
    virtual ~INK_usbDeviceCallback() = default;
    virtual void onUsbDeviceDisconnected(u32 id, t_nkUsbDevInfo& info) = 0;
};

class CNK_usb : public CNK_baseObject {
public:
    // Takes over the reference given with ioObj.
    explicit CNK_usb(u32 ioObj);
    CNK_usb(u16 vendorId, u16 productId, u8 port);
    ~CNK_usb() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 setInterfaceNumber(i32 number);
    u16 setRequest(u16 value, void* data, size_t length);
    u16 getRequest(u16 value, void* data, size_t length);
    u16 setCallback(u32 id, INK_usbDeviceCallback* callback);
    void removeCallback(INK_usbDeviceCallback* callback);

    const t_nkUsbDevInfo& devInfo() const { return _devInfo; }
    bool hasDevice() const { return _device != nullptr; }

protected:
    // Called on the unplug path before the object waits for its own mutex, so a
    // driver can end its long operations early. Runs on the run-loop thread.
    virtual void deviceGone() {}
    // First call of every destructor in the chain (the most derived one runs
    // first): settles whether this delete or the unplug path tears the base down,
    // waiting for an unplug path already under way.
    void claimDestruction();
    u32 usbDevHandle() const { return _ioObj; }

private:
    void init(u32 ioObj);
    u16 request(u8 reqType, u8 req, u16 value, void* data, size_t length);
    void onUnplugged(const std::shared_ptr<NK_unplugGate>& gate);
    void teardownLocked();

    u32 _ioObj = 0;
    t_nkUsbDevInfo _devInfo;
    std::unique_ptr<pf::usb::Device> _device;
    i32 _interfaceNumber = -1;
    u8 _usbInterfaceNumber = 0;
    u8 _usbInterfaceClass = 0;
    u64 _notification = 0;
    std::mutex _mtx;
    std::vector<u32> _ids;
    std::vector<INK_usbDeviceCallback*> _callbacks;
    std::shared_ptr<NK_unplugGate> _gate;
    int _destructMode = -1;  // -1 not settled, 1 this delete tears down, 0 the unplug path did
};

// ---------------------------------------------------------------- detector

class INK_usbDevDetectorCallback {
public:
    virtual ~INK_usbDevDetectorCallback() = default;
    // The callee owns the device object from here on.
    virtual void onUsbDevArrived(CNK_usbDev* device) = 0;
};

struct t_nkUsbDeviceDetector {
    u32 vendorId = 0;
    u32 productId = 0;
    u64 watch = 0;
    INK_usbDevDetectorCallback* callback = nullptr;
    void clear();
};

class CNK_usbDevDetector : public CNK_baseObject {
public:
    CNK_usbDevDetector();
    ~CNK_usbDevDetector() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 monitor(u16 vendorId, u16 productId, INK_usbDevDetectorCallback* callback);

private:
    // Opens and hands over each device of the batch; `handles` are released.
    void onUsbDevDetected(const std::vector<u32>& handles);
    std::vector<t_nkUsbDeviceDetector> _watches;
};
