// Reference meter used to calibrate the multimeter board: text commands over
// its controller's serial line.
#pragma once

#include <atomic>
#include <mutex>

#include "nk_log.h"
#include "nk_serial.h"
#include "nk_typedef.h"
#include "nk_usb.h"

#define kNKMarletCal_callbackId 0x5350434Cu  // 'SPCL'
// The meter's answer for an index past the end of its table; not an error code of the table.
#define kNKMarletCal_end ((u16)999)

class INK_marletCalCallback {
public:
    virtual ~INK_marletCalCallback() = default;
    virtual void onMarletCalDisconnected(u32 id, t_nkUsbDevInfo& info) = 0;
};

class CNK_marletCal : public CNK_baseObject, private INK_SerialCallback {
public:
    static CNK_marletCal* create(CNK_usbDev* pUsbDev);
    CNK_marletCal();
    explicit CNK_marletCal(CNK_logManager* lm);
    ~CNK_marletCal() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 Open();
    void Close();
    void setCallback(u32 id, INK_marletCalCallback* callback);

    u16 readAgilentV(u8 channel, double* value);
    u16 readAgilentI(u8 powerRail, u8 channel, u8 range, double* value);
    u16 readAgilentIforTest(u8 powerRail, u8 channel, u8 range, double* value);
    u16 readAgilentR(u8 index, double* value);
    u16 readAgilentRforTest(u8 index, double* value);
    u16 resetAgilent();

    // The controller needs this long after its adapter appears (1500 ms); tests shorten it.
    static std::atomic<u32> startWaitMs;

private:
    void onSerialDisconnected(u32 id, t_nkUsbDevInfo& info) override;
    void logLine(t_nkVbsLvl level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Empties the input, sends `command` and reads one reply line into `reply`.
    u16 exchange(const char* command, char* reply, u32 size);
    u16 readCurrent(const char* kind, u8 powerRail, u8 channel, u8 range, double* value);
    u16 readResistance(const char* kind, u8 index, double* value);

    INK_marletCalCallback* _callback = nullptr;
    CNK_serial* _serial = nullptr;
    // One command and its reply at a time; the unplug path waits for it.
    std::mutex _opMtx;
};
