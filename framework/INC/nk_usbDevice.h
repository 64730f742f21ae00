// The older generation of the tool's USB device and serial-port classes, on the
// library's device object (CNK_usbDev) and serial line (CNK_serial).
//
// Unplugging: the device tells its listener (on the run loop of the thread that
// made it), then frees itself; the listener never frees it inside that call. An
// owner that deletes it on another thread may race an unplug: the delete decides,
// and the object is freed once.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "nk_serial.h"
#include "nk_usb.h"

typedef t_nkSerialFormat t_nkSerialPortFormat;
constexpr t_nkSerialPortFormat k_nkSerialPortFormat_8N1 = k_nkSerialFormat_8N1;
constexpr t_nkSerialPortFormat k_nkSerialPortFormat_7E1 = k_nkSerialFormat_7E1;

class CNK_usbDevice : public CNK_baseObject, private INK_usbDevCallback {
public:
    // An attached device by its handle (pf::usb); null when it cannot be opened.
    static CNK_usbDevice* create(u32 usbDev);
    ~CNK_usbDevice() override;
    u16 setLogManager(CNK_logManager* lm) override;

    const t_nkUsbDevInfo& devInfo() const { return _info; }
    // The listener hears the unplug with `id`; null forgets it.
    u16 setCallback(u32 id, INK_usbDeviceCallback* listener);
    // The n-th interface of the device (0-based) for the class requests below.
    u16 setInterfaceNumber(u8 n);
    // Class set-report and get-report on the interface in use.
    u16 setRequest(u16 value, void* data, u32 length);
    u16 getRequest(u16 value, void* data, u32 length);

protected:
    CNK_usbDevice();
    // Takes `dev` over and follows its unplug.
    void adopt(CNK_usbDev* dev);
    // First call of every destructor in the chain (the most derived runs first):
    // settles whether this delete or the unplug path lets go of the device, waiting
    // for an unplug path under way to finish with the object. True: this delete does.
    bool claimDestruction();
    // Taken on the unplug path while the object is still whole: what to tell, and to
    // whom, once it may already be gone. The port tells its own listener instead.
    virtual std::function<void()> unplugNotice(u32 id, const t_nkUsbDevInfo& info);
    u32 callbackId() const { return _callbackId; }
    // The device's own serial tty, "" when it has none.
    std::string ttyPath();

private:
    void onUsbDevDisconnected(u32 id, t_nkUsbDevInfo& info) override;
    void detachDevice();

    std::shared_ptr<NK_unplugGate> _gate;
    int _destructMode = -1;  // -1 not settled, 1 this delete lets go of the device, 0 the unplug path did
    std::mutex _linkMtx;  // the device pointer and the listener
    CNK_usbDev* _dev = nullptr;
    t_nkUsbDevInfo _info;
    u8 _interface = 0;
    u32 _callbackId = 0;
    INK_usbDeviceCallback* _listener = nullptr;

    friend class CNK_serialPort;         // takes a device over from its object
    friend class CNK_usbDeviceDetector;  // wraps each device it detects
};

class INK_serialPortCallback {
public:
    virtual ~INK_serialPortCallback() = default;
    // The port frees itself when this returns; the listener drops its pointer here.
    virtual void onSerialPortDisconnected(u32 id) = 0;
};

class CNK_serialPort : public CNK_usbDevice, private INK_usbDeviceCallback {
public:
    // On success the port has taken `usbDevice` over (it is gone); on failure it stays the caller's.
    static CNK_serialPort* create(CNK_usbDevice* usbDevice, u32 baudRate, t_nkSerialPortFormat format,
                                  u8 bufferSizeKB);
    ~CNK_serialPort() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 setCallback(u32 id, INK_serialPortCallback* listener);

    u16 Open();
    void Close();
    // *pRecvLeng: capacity on entry, bytes received on return; until the terminator or the time-out.
    u16 Read(char* recvBuff, u32* pRecvLeng, const char* terminator, u32 timeoutMs);
    u16 clear_readBuffer();
    u16 Write(const u8* data, u32 length);

    const std::string& bsdPath() const { return _bsdPath; }

private:
    CNK_serialPort();
    void onUsbDeviceDisconnected(u32 id, t_nkUsbDevInfo& info) override;
    std::function<void()> unplugNotice(u32 id, const t_nkUsbDevInfo& info) override;

    // Line operations hold it shared; the destructor holds it alone while it closes the line.
    std::shared_mutex _opMtx;
    CNK_serial* _serial = nullptr;
    std::string _bsdPath;
    std::mutex _listenerMtx;
    INK_serialPortCallback* _serialListener = nullptr;
};

// Descriptions of the attached devices: *count is the table's room on entry and the
// entries filled on return. 0xE000 for no table or no room, 0xE002 when more are attached.
u16 nkUsb_getUsbDeviceList(t_nkUsbDevInfo* table, u32* count);

class INK_usbDeviceDetectorCallback {
public:
    virtual ~INK_usbDeviceDetectorCallback() = default;
    // The listener owns the device from here on.
    virtual void onUsbDeviceDetected(CNK_usbDevice* device) = 0;
};

// Hands each device of one vendor and product id, attached now or later (on the run
// loop of the thread that launched it), to its listener as a CNK_usbDevice.
class CNK_usbDeviceDetector : public CNK_baseObject, private INK_usbDevDetectorCallback {
public:
    // Null when the launch fails.
    static CNK_usbDeviceDetector* create(CNK_logManager* lm, u16 vendorId, u16 productId,
                                         INK_usbDeviceDetectorCallback* listener);
    CNK_usbDeviceDetector();
    ~CNK_usbDeviceDetector() override;
    u16 setLogManager(CNK_logManager* lm) override;
    u16 launch(u16 vendorId, u16 productId, INK_usbDeviceDetectorCallback* listener);

private:
    void onUsbDevArrived(CNK_usbDev* device) override;
    CNK_usbDevDetector* _detector = nullptr;
    INK_usbDeviceDetectorCallback* _listener = nullptr;
};
