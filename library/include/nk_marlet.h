// Reference meter used to calibrate the multimeter board: text commands over
// its controller's serial line.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "nk_log.h"
#include "nk_serial.h"
#include "nk_typedef.h"
#include "nk_usb.h"

struct termios;
class NK_unplugGate;

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

// ---------------------------------------------------------------- multimeter board

#define MCU_AD1 4
#define MCU_AD8 11
#define kNKMarlet_maxCallbacks 256
#define kNKMarlet_calDataSize 11344

// The board's reading and calibration block, passed through unchanged.
typedef struct {
    u8 raw[32];
} t_nkMarlet_dmm_reading;
typedef struct {
    u8 raw[kNKMarlet_calDataSize];
} t_dmm_cal_data;

class INK_marletCallback {
public:
    virtual ~INK_marletCallback() = default;
    virtual void onMarletDisconnected(u32 id, t_nkUsbDevInfo& info) = 0;
};

class CNK_marlet : public CNK_baseObject, private INK_usbDevCallback {
public:
    // On success the board owns pUsbDev.
    static CNK_marlet* create(CNK_usbDev* pUsbDev);
    ~CNK_marlet() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 allocateResource();
    u16 releaseResource();
    u16 setCallback(u32 id, INK_marletCallback* callback);

    u16 fwVersion();
    const char* boardSn();
    u16 getReport(u8 id, void* data, u32 length);
    u16 setReport(u8 id, void* data, u32 length);

    u16 spi_set_speed(float MHz);
    u16 spi_get_buffer_size();
    u16 spi_sendRecv(const u8* sendBuff, u32 sendLength, u8* recvBuff, u32 recvLength);

    u16 gpi_get_status(u8 line, u8* pOnOff);
    u16 gpo_set_status(u8 line, bool on);
    u16 ldo_set_voltage(u8 ldoId, float volts);
    u16 adc_get_reading(u8 adcId, float* pVoltage);
    u16 dmm_get_reading(u8 channel, bool b, u8 c, t_nkMarlet_dmm_reading* pReading);
    u16 dmm_get_fullReading(u8 channel, bool b, u8 mode, u8 c, t_nkMarlet_dmm_reading* pReading);
    u16 dmm_switch_range(u8 a, bool b);
    u16 dmm_set_volDac(u8 a, u8 b);
    u16 dmm_get_calData(t_dmm_cal_data* pCalData);
    u16 dmm_set_calData(t_dmm_cal_data* pCalData);
    u16 writeBuffer(u8* data);
    u16 readBuffer(u8* buffer, u32* length);

    // Offsets up to 0x1FFFF: bit 16 goes into the device byte.
    u16 i2c_set_data(u8 device, u32 offset, bool flag, u8* data, u16 length);
    u16 i2c_get_data(u8 device, u32 offset, bool flag, u8* data, u16 length);
    u16 relayBoard_ctrl(u8 relays, bool unused);
    u16 eeprom_set_data(u16 offset, const u8* data, u32 length);
    u16 eeprom_get_data(u16 offset, u8* data, u32 length);

    u16 writeBufferBulk(u8* data, u32 length);
    u16 readBufferBulk(u8* buffer, u32* pRecvLeng, u32 timeoutMs);
    u16 clearBulkBuffer();

private:
    CNK_marlet();
    void onUsbDevDisconnected(u32 id, t_nkUsbDevInfo& info) override;
    void logLine(t_nkVbsLvl level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // The helpers report their failures under `op`, the operation the caller called.
    u16 hidSet(const char* op, u8 id, const void* data, u32 length);
    u16 hidGet(const char* op, u8 id, void* data, u32 length);
    // The status byte: 0xE019 for a refusal (raw false) or the byte itself (raw true).
    u16 status(const char* op, bool raw);
    u16 readFwVersion(const char* op);
    u16 firmwareGate(const char* op);
    u16 dmmExchange(const char* op, u8 channel, u8 c, u8 second, u8 third, t_nkMarlet_dmm_reading* pReading);
    u16 readChunks(const char* op, u8* buffer, u32 length);
    u16 sendCalPackets(const char* op, const u8* data);
    u16 i2cChecks(const char* op, u32 offset, bool flag, const u8* data, u16 length);
    void releaseBulkLocked();

    CNK_usbDev* _dev = nullptr;  // set and cleared under _linkMtx and _opMtx
    u16 _fwVersion = 0xFFFF;
    bool _serialValid = false;
    char _boardSn[33] = {};
    float _spiBufferSize = 0;
    std::vector<INK_marletCallback*> _callbacks;
    std::mutex _mtx;                // identity and SPI exchanges
    std::recursive_mutex _opMtx;    // one operation at a time; the unplug path waits for it
    std::mutex _linkMtx;            // the device link and the callbacks
    std::atomic<bool> _gone{false};  // the device went: operations leave at once
    std::shared_ptr<NK_unplugGate> _gate;
    termios* _pTtyAttr_original = nullptr;
    u8 _hidInterface = 255;
    u8 _bulkInterface = 255;
    int _commDataFd = 0;
    u8* _readBuffer = nullptr;
    u32 _readBufferSize = 0;
};
