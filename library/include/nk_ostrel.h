// Calibration test board with an STM32: HID feature reports on its interface
// at position 2, each command followed by the board's status byte.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "nk_usb.h"

typedef u8 t_input_Channel;
typedef u8 t_input_gain;
typedef u32 t_ProductModel;  // values are the firmware's
typedef u8 t_playMode;       // values are the firmware's

#define kNKOstrel_reportCommand 0x80
#define kNKOstrel_reportDmmVoltage 0x82
#define kNKOstrel_reportDmmCurrent 0x83
#define kNKOstrel_reportI2c 0x8B
#define kNKOstrel_reportBoardWord 0x8C
#define kNKOstrel_reportBoardText 0x8F
#define kNKOstrel_reportStatus 0x79
#define kNKOstrel_reportProductModel 0x9A
#define kNKOstrel_reportDriveSignal 0x9C
#define kNKOstrel_reportPlay 0x9D
#define kNKOstrel_reportLut 0x9F
#define kNKOstrel_reportClCalData 0xA3
#define kNKOstrel_reportClCoeff 0xA4
// Where the calibration data sits: the EEPROM on I2C bus 2, address 0x50, from offset 0xC0.
#define kNKOstrel_calBus 2
#define kNKOstrel_calDevice 0x50
#define kNKOstrel_calOffset 0xC0

class CNK_ostrel : public CNK_usb {
public:
    explicit CNK_ostrel(u32 device);
    CNK_ostrel(u16 vendorId, u16 productId, u8 port);
    ~CNK_ostrel() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 getReport(u8 id, void* data, size_t length);
    u16 setReport(u8 id, void* data, size_t length);
    u16 getFunctionReturn();
    u16 getTesterInfo(u8 id, u8* data, u16 length);
    u16 setTesterInfo(u8 id, u8* data, u16 length);

    u16 i2c_get_data(u8 bus, u8 deviceAddress, u16 offset, u8 unused, void* data, u16 length);
    u16 i2c_set_data(u8 bus, u8 deviceAddress, u16 offset, u8 unused, void* data, u16 length);
    u16 getCalibrationData(u8* data, u16 length);
    u16 setCalibrationData(u8* data, u16 length);

    u16 setGpio(u8 line, u8 level);
    u16 getGpio(u8 line, u8* level);
    u16 powerControl(u8 powerSwitch, u8 state);
    u16 buzzerControl(u8 on);
    u16 lt1970Control(u8 value);
    u16 driveOuputSelect(u8 output);
    u16 resetSTM32();
    u16 resetFT232();
    u16 resetDAC();
    u16 setProductModel(t_ProductModel model);
    u16 dmmMeasVoltage(double* value);
    u16 dmmMeasCurrent(double* value);
    u16 dmmMeasResistance(double* value);
    u16 inputGainControl(t_input_Channel channel, t_input_gain gain);

    u16 sendBulkData(u8 id, void* data, size_t length, bool checkStatus);
    u16 recvBulkData(u8 id, void* data, size_t length, bool checkStatus);
    u16 loadDriveSignalToOstrel(const std::vector<u16>& samples, float unused);
    u16 SaveLUTtoBoard(const std::vector<i16>& lut);
    u16 SaveClCalDatatoBoard(u8* data, u32 length);
    u16 SaveClCoefftoBoard(u8* data, u32 length);
    u16 playOstrel(t_playMode mode);
    u16 getRecordFromOstrel(std::vector<u8>& record, size_t length, bool checkStatus, u8 id);

    i16 boardWord() const { return _boardWord; }
    const u8* boardText() const { return _boardText; }

protected:
    // Operations in flight end before the unplug path tears the board down.
    void deviceGone() override;

private:
    void init();
    u16 command(const char* op, u8 code, u8 value);
    u16 reset(const char* op, u8 code);
    u16 dmmMeas(const char* op, u8 id, double* value);

    i16 _boardWord = -1;
    u8 _boardText[32] = {};
    std::recursive_mutex _opMtx;
    std::atomic<bool> _gone{false};
};
