// The fixture-controller board: power of the device under test, the fixture's
// mechanical state, two ADCs and firmware loading, as HID feature reports on
// interface 2 of its USB device; and Zelk_Crestel, the object that owns one board.
//
// Unplugging. When the board's USB device goes, on the run loop that watches it,
// the board detaches the device (which frees itself), tells the wrapper that owns
// it (if any) so it drops the record, tells its sink, and frees itself. An owner
// deleting the board on another thread meanwhile is safe: whichever of the two
// claims the record first frees it, once.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "ZelkTypeDef.h"
#include "ZelkUsb.h"

struct iZelk_LogManager;

class iZelk_CrestelEventSink {
public:
    virtual ~iZelk_CrestelEventSink() = default;
    // The board is gone when this is called; drop every reference to it.
    virtual void OnCtDisconnected(UInt32 boardId) = 0;
};
// Stored for the board's owner; no board event calls it.
typedef void (*ZCT_EventFunction)(void* userData, UInt32 boardId);

extern const char* const kCtAdcStr[2];

struct tZelk_Crestel;

// The board's operations in table order; each is the ZCT_ function of its name.
class tZelk_CrestelOps {
public:
    virtual SInt32 SetName(UInt32 id) = 0;
    virtual iZelk_LogManager* GetLogManager() = 0;
    virtual const tZelk_UsbDevInfo* GetDeviceInfo() = 0;
    virtual SInt32 AppendUsbDevice(iZelk_UsbDevice* device) = 0;
    virtual SInt32 SetEventCallbackFunction(ZCT_EventFunction function, void* userData) = 0;
    virtual SInt32 SetEventSink(iZelk_CrestelEventSink* sink) = 0;
    virtual SInt32 GetReport(UInt8 id, void* buffer, UInt32 length) = 0;
    virtual SInt32 SetReport(UInt8 id, const void* buffer, UInt32 length) = 0;
    virtual SInt32 FwDownload(const char* path, UInt32 blockSize, UInt8 target, UInt32 flashKey) = 0;
    virtual SInt32 DutPowerControl(bool on) = 0;
    virtual bool GetDutPowerStatus() = 0;
    virtual SInt32 ReadADC(UInt8 adcIndex, UInt8 channel, UInt8 samples, double* volts) = 0;
    virtual SInt32 GetFixtureStat(UInt8* state) = 0;
    virtual SInt32 SetFixtureStat(UInt8 state, UInt32 timeoutSec) = 0;

protected:
    ~tZelk_CrestelOps() = default;
};

tZelk_Crestel* ZCT_Create(iZelk_LogManager* lm);
// Also frees the board's USB device.
void ZCT_Delete(tZelk_Crestel** handle);
SInt32 ZCT_SetName(tZelk_Crestel* b, UInt32 id);
SInt32 ZCT_SetLogManager(tZelk_Crestel* b, iZelk_LogManager* lm);
iZelk_LogManager* ZCT_GetLogManager(tZelk_Crestel* b);
const tZelk_UsbDevInfo* ZCT_GetDeviceInfo(tZelk_Crestel* b);
// The board owns the device from here on, also when opening it fails.
SInt32 ZCT_AppendUsbDevice(tZelk_Crestel* b, iZelk_UsbDevice* device);
SInt32 ZCT_SetEventCallbackFunction(tZelk_Crestel* b, ZCT_EventFunction function, void* userData);
SInt32 ZCT_SetEventSink(tZelk_Crestel* b, iZelk_CrestelEventSink* sink);
SInt32 ZCT_GetReport(tZelk_Crestel* b, UInt8 id, void* buffer, UInt32 length);
SInt32 ZCT_SetReport(tZelk_Crestel* b, UInt8 id, const void* buffer, UInt32 length);
// Target 0 flashes the board itself with flashKey; 1 and 2 pass the image on.
SInt32 ZCT_FwDownload(tZelk_Crestel* b, const char* path, UInt32 blockSize, UInt8 target, UInt32 flashKey);
SInt32 ZCT_DutPowerControl(tZelk_Crestel* b, bool on);
bool ZCT_GetDutPowerStatus(tZelk_Crestel* b);
SInt32 ZCT_ReadADC(tZelk_Crestel* b, UInt8 adcIndex, UInt8 channel, UInt8 samples, double* volts);
SInt32 ZCT_GetFixtureStat(tZelk_Crestel* b, UInt8* state);
// Polls every 10 ms until the state is reached or timeoutSec (taken as 8 bits) passed: 28.
SInt32 ZCT_SetFixtureStat(tZelk_Crestel* b, UInt8 state, UInt32 timeoutSec);
// The clock (seconds, steady) and the pause SetFixtureStat uses; null restores the system's.
void ZCT_SetClock(tZelk_Crestel* b, std::function<double()> clock, std::function<void(UInt32 ms)> sleep);

// Settles which of the unplug and an owner's delete frees the record.
struct ZelkCrestelLink {
    std::mutex m;
    tZelk_Crestel* board = nullptr;  // null once one of the two has claimed it
};

struct tZelk_Crestel final : tZelk_CrestelOps {
    iZelk_LogManager* lm = nullptr;
    iZelk_UsbDevice* usb = nullptr;  // owned once appended; under link->m
    UInt32 boardId = 0xFFFFFFFF;
    tZelk_UsbDevInfo info{};
    UInt16 fwVersion = 0;
    ZCT_EventFunction eventFunction = nullptr;
    void* eventData = nullptr;
    iZelk_CrestelEventSink* sink = nullptr;
    std::function<double()> clock;
    std::function<void(UInt32)> sleep;
    // Told first on unplug, before the sink: the wrapper's way to drop the record.
    std::function<void()> ownerNotice;
    std::shared_ptr<ZelkCrestelLink> link = std::make_shared<ZelkCrestelLink>();

    SInt32 SetName(UInt32 id) override { return ZCT_SetName(this, id); }
    iZelk_LogManager* GetLogManager() override { return ZCT_GetLogManager(this); }
    const tZelk_UsbDevInfo* GetDeviceInfo() override { return ZCT_GetDeviceInfo(this); }
    SInt32 AppendUsbDevice(iZelk_UsbDevice* d) override { return ZCT_AppendUsbDevice(this, d); }
    SInt32 SetEventCallbackFunction(ZCT_EventFunction f, void* u) override {
        return ZCT_SetEventCallbackFunction(this, f, u);
    }
    SInt32 SetEventSink(iZelk_CrestelEventSink* s) override { return ZCT_SetEventSink(this, s); }
    SInt32 GetReport(UInt8 id, void* b, UInt32 n) override { return ZCT_GetReport(this, id, b, n); }
    SInt32 SetReport(UInt8 id, const void* b, UInt32 n) override { return ZCT_SetReport(this, id, b, n); }
    SInt32 FwDownload(const char* p, UInt32 bs, UInt8 t, UInt32 k) override { return ZCT_FwDownload(this, p, bs, t, k); }
    SInt32 DutPowerControl(bool on) override { return ZCT_DutPowerControl(this, on); }
    bool GetDutPowerStatus() override { return ZCT_GetDutPowerStatus(this); }
    SInt32 ReadADC(UInt8 a, UInt8 c, UInt8 s, double* v) override { return ZCT_ReadADC(this, a, c, s, v); }
    SInt32 GetFixtureStat(UInt8* s) override { return ZCT_GetFixtureStat(this, s); }
    SInt32 SetFixtureStat(UInt8 s, UInt32 t) override { return ZCT_SetFixtureStat(this, s, t); }
};

// ------------------------------------------------------------ the owning object

class iZelk_Crestel {
public:
    virtual ~iZelk_Crestel() = default;
    virtual SInt32 SetName(UInt32 id) = 0;
    virtual const tZelk_UsbDevInfo* GetDeviceInfo() = 0;
    virtual iZelk_LogManager* GetLogManager() = 0;
    virtual SInt32 AppendUsbDevice(iZelk_UsbDevice* device) = 0;
    virtual SInt32 SetEventSink(iZelk_CrestelEventSink* sink) = 0;
    virtual SInt32 FwDownload(const char* path, UInt32 blockSize, UInt8 target, UInt32 flashKey) = 0;
    virtual SInt32 ctGetReport(UInt8 id, void* buffer, UInt32 length) = 0;
    virtual SInt32 ctSetReport(UInt8 id, const void* buffer, UInt32 length) = 0;
    virtual SInt32 ctReadADC(UInt8 adcIndex, UInt8 channel, UInt8 samples, double* volts) = 0;
    virtual SInt32 ctGetFixtureStat(UInt8* state) = 0;
    virtual SInt32 ctSetFixtureStat(UInt8 state, UInt32 timeoutSec) = 0;
    virtual SInt32 DutPowerControl(bool on) = 0;
    virtual bool GetDutPowerStatus() = 0;
};

// Owns one board record (init: without log manager; initWithLogManager: with one).
// After the board's unplug the object holds no record: every call gives 17 (false
// for the power status, null for the pointers) and ctPtr is null.
class Zelk_Crestel final : public iZelk_Crestel {
public:
    Zelk_Crestel();
    explicit Zelk_Crestel(iZelk_LogManager* lm);
    ~Zelk_Crestel() override;
    Zelk_Crestel(const Zelk_Crestel&) = delete;
    Zelk_Crestel& operator=(const Zelk_Crestel&) = delete;

    SInt32 SetName(UInt32 id) override;
    const tZelk_UsbDevInfo* GetDeviceInfo() override;
    iZelk_LogManager* GetLogManager() override;
    SInt32 AppendUsbDevice(iZelk_UsbDevice* device) override;
    SInt32 SetEventSink(iZelk_CrestelEventSink* sink) override;
    SInt32 FwDownload(const char* path, UInt32 blockSize, UInt8 target, UInt32 flashKey) override;
    SInt32 ctGetReport(UInt8 id, void* buffer, UInt32 length) override;
    SInt32 ctSetReport(UInt8 id, const void* buffer, UInt32 length) override;
    SInt32 ctReadADC(UInt8 adcIndex, UInt8 channel, UInt8 samples, double* volts) override;
    SInt32 ctGetFixtureStat(UInt8* state) override;
    SInt32 ctSetFixtureStat(UInt8 state, UInt32 timeoutSec) override;
    SInt32 DutPowerControl(bool on) override;
    bool GetDutPowerStatus() override;
    tZelk_Crestel* ctPtr();

private:
    struct State {
        std::mutex m;  // held by every forwarded call and by the drop on unplug
        tZelk_Crestel* ct = nullptr;
    };
    void init(iZelk_LogManager* lm);
    // Shared with the board's unplug notice, which may run after this object is gone.
    std::shared_ptr<State> state_ = std::make_shared<State>();
};
