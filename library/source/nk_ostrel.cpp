// Calibration test board: feature reports on interface position 2, with the
// firmware's status byte read after the commands.
#include "nk_ostrel.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <thread>

#include "nk_error.h"

// Every operation: a valid board that is not going away, one operation at a time.
#define NK_OSTREL_OP()                                                \
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);                    \
    std::lock_guard<std::recursive_mutex> opLock(_opMtx);             \
    if (_gone.load()) return kNKErr_objectNotAvailable

namespace {

constexpr u16 kFeature = 0x0300;
constexpr size_t kPacket = 64;

}  // namespace

CNK_ostrel::CNK_ostrel(u32 device) : CNK_usb(device) { init(); }

CNK_ostrel::CNK_ostrel(u16 vendorId, u16 productId, u8 port) : CNK_usb(vendorId, productId, port) { init(); }

void CNK_ostrel::init() {
    NK_CLASS_NAME();
    _boardWord = -1;
    std::memset(_boardText, 0, sizeof(_boardText));
    u16 rc = setInterfaceNumber(2);
    if (rc) {
        NK_REPORT(rc, "setInterfaceNumber(2)");
        return;
    }
    u8 word[2] = {0xFF, 0xFF};
    u8 text[32] = {};
    rc = CNK_usb::getRequest(kFeature | kNKOstrel_reportBoardWord, word, sizeof(word));
    if (rc) {
        NK_REPORT(rc, "getReport(0x8C)");
        return;
    }
    rc = CNK_usb::getRequest(kFeature | kNKOstrel_reportBoardText, text, sizeof(text));
    if (rc) {
        NK_REPORT(rc, "getReport(0x8F)");
        return;
    }
    _boardWord = static_cast<i16>(word[0] | (word[1] << 8));
    std::memcpy(_boardText, text, sizeof(text));
}

CNK_ostrel::~CNK_ostrel() {
    claimDestruction();
    _boardWord = -1;
    std::memset(_boardText, 0, sizeof(_boardText));
}

u16 CNK_ostrel::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_ostrel::deviceGone() {
    _gone = true;
    // Waits for the operation in flight; later ones see _gone and leave.
    std::lock_guard<std::recursive_mutex> lock(_opMtx);
}

u16 CNK_ostrel::getReport(u8 id, void* data, size_t length) {
    NK_OSTREL_OP();
    if (!data || length == 0) {
        NK_REPORT(kNKErr_invalidParam, "data!=NULL && length>0");
        return kNKErr_invalidParam;
    }
    const u16 rc = CNK_usb::getRequest(kFeature | id, data, length);
    if (rc) NK_REPORT(rc, "getReport");
    return rc;
}

u16 CNK_ostrel::setReport(u8 id, void* data, size_t length) {
    NK_OSTREL_OP();
    if (!data || length == 0) {
        NK_REPORT(kNKErr_invalidParam, "data!=NULL && length>0");
        return kNKErr_invalidParam;
    }
    const u16 rc = CNK_usb::setRequest(kFeature | id, data, length);
    if (rc) NK_REPORT(rc, "setReport");
    return rc;
}

u16 CNK_ostrel::getFunctionReturn() {
    NK_OSTREL_OP();
    u8 status = 0xFF;
    const u16 rc = CNK_usb::getRequest(kFeature | kNKOstrel_reportStatus, &status, 1);
    if (rc) {
        NK_REPORT(rc, "getFunctionReturn");
        return rc;
    }
    if (status != 0) {
        NK_REPORT(kNKErr_actionFailed, "ostrelFwReturn==0");
        return kNKErr_actionFailed;
    }
    return kNKErr_OK;
}

u16 CNK_ostrel::getTesterInfo(u8 id, u8* data, u16 length) {
    NK_OSTREL_OP();
    const u16 rc = getReport(id, data, length);
    return rc ? rc : getFunctionReturn();
}

u16 CNK_ostrel::setTesterInfo(u8 id, u8* data, u16 length) {
    NK_OSTREL_OP();
    const u16 rc = setReport(id, data, length);
    return rc ? rc : getFunctionReturn();
}

u16 CNK_ostrel::sendBulkData(u8 id, void* data, size_t length, bool checkStatus) {
    NK_OSTREL_OP();
    if (!data || length == 0) {
        NK_REPORT(kNKErr_invalidParam, "sendData!=NULL && sendLeng>0");
        return kNKErr_invalidParam;
    }
    u8* p = static_cast<u8*>(data);
    u16 rc = kNKErr_OK;
    for (size_t at = 0; at < length && rc == kNKErr_OK; at += kPacket) {
        if (_gone.load()) return kNKErr_objectNotAvailable;
        const size_t n = length - at < kPacket ? length - at : kPacket;
        rc = CNK_usb::setRequest(kFeature | id, p + at, n);
        if (rc == kNKErr_OK && checkStatus) rc = getFunctionReturn();
        if (rc) NK_REPORT(rc, "sendBulkData transfer");
    }
    if (rc) NK_REPORT(rc, "sendBulkData");
    return rc;
}

u16 CNK_ostrel::recvBulkData(u8 id, void* data, size_t length, bool checkStatus) {
    NK_OSTREL_OP();
    if (!data || length == 0) {
        NK_REPORT(kNKErr_invalidParam, "recvData!=NULL && recvLeng>0");
        return kNKErr_invalidParam;
    }
    u8* p = static_cast<u8*>(data);
    u16 rc = kNKErr_OK;
    for (size_t at = 0; at < length && rc == kNKErr_OK; at += kPacket) {
        if (_gone.load()) return kNKErr_objectNotAvailable;
        const size_t n = length - at < kPacket ? length - at : kPacket;
        rc = CNK_usb::getRequest(kFeature | id, p + at, n);
        if (rc == kNKErr_OK && checkStatus) rc = getFunctionReturn();
        if (rc) NK_REPORT(rc, "recvBulkData transfer");
    }
    if (rc) NK_REPORT(rc, "recvBulkData");
    return rc;
}

u16 CNK_ostrel::i2c_get_data(u8 bus, u8 deviceAddress, u16 offset, u8, void* data, u16 length) {
    NK_OSTREL_OP();
    if (!data) {
        NK_REPORT(kNKErr_invalidParam, "data!=NULL");
        return kNKErr_invalidParam;
    }
    u8 cmd[7] = {0x02, bus, deviceAddress, u8(offset >> 8), u8(offset), u8(length >> 8), u8(length)};
    u16 rc = setReport(kNKOstrel_reportI2c, cmd, sizeof(cmd));
    if (!rc) rc = getFunctionReturn();
    if (!rc) rc = recvBulkData(kNKOstrel_reportI2c, data, length, true);
    if (rc) NK_REPORT(rc, "i2c_get_data");
    return rc;
}

u16 CNK_ostrel::i2c_set_data(u8 bus, u8 deviceAddress, u16 offset, u8, void* data, u16 length) {
    NK_OSTREL_OP();
    if (!data) {
        NK_REPORT(kNKErr_invalidParam, "data!=NULL");
        return kNKErr_invalidParam;
    }
    // Packets of [0x03, 63 data bytes]; the last one carries the rest, unpadded.
    const size_t pieces = (size_t(length) + 62) / 63;
    std::vector<u8> packed(size_t(length) + pieces);
    const u8* src = static_cast<const u8*>(data);
    for (size_t i = 0; i < pieces; ++i) {
        const size_t n = (i + 1 < pieces) ? 63 : size_t(length) - 63 * i;
        packed[kPacket * i] = 0x03;
        std::memcpy(&packed[kPacket * i + 1], src + 63 * i, n);
    }
    u16 rc = sendBulkData(kNKOstrel_reportI2c, packed.data(), packed.size(), true);
    if (!rc) {
        u8 commit[5] = {0x01, bus, deviceAddress, u8(offset >> 8), u8(offset)};
        rc = setReport(kNKOstrel_reportI2c, commit, sizeof(commit));
        if (!rc) rc = getFunctionReturn();
    }
    if (rc) NK_REPORT(rc, "i2c_set_data");
    return rc;
}

u16 CNK_ostrel::getCalibrationData(u8* data, u16 length) {
    NK_OSTREL_OP();
    const u16 rc = i2c_get_data(kNKOstrel_calBus, kNKOstrel_calDevice, kNKOstrel_calOffset, 0, data, length);
    return rc ? rc : getFunctionReturn();
}

u16 CNK_ostrel::setCalibrationData(u8* data, u16 length) {
    NK_OSTREL_OP();
    const u16 rc = i2c_set_data(kNKOstrel_calBus, kNKOstrel_calDevice, kNKOstrel_calOffset, 0, data, length);
    return rc ? rc : getFunctionReturn();
}

u16 CNK_ostrel::command(const char* op, u8 code, u8 value) {
    NK_OSTREL_OP();
    u8 cmd[2] = {code, value};
    u16 rc = setReport(kNKOstrel_reportCommand, cmd, sizeof(cmd));
    if (!rc) rc = getFunctionReturn();
    if (rc) NK_REPORT(rc, op);
    return rc;
}

u16 CNK_ostrel::setGpio(u8 line, u8 level) { return command("setGpio", line, level); }
u16 CNK_ostrel::powerControl(u8 powerSwitch, u8 state) { return command("powerControl", powerSwitch, state); }
u16 CNK_ostrel::buzzerControl(u8 on) { return command("buzzerControl", 0x3A, on); }
u16 CNK_ostrel::lt1970Control(u8 value) { return command("lt1970Control", 0x78, value); }
u16 CNK_ostrel::driveOuputSelect(u8 output) { return command("driveOuputSelect", 0x2E, output); }

u16 CNK_ostrel::getGpio(u8 line, u8* level) {
    NK_OSTREL_OP();
    if (!level) {
        NK_REPORT(kNKErr_invalidParam, "level!=NULL");
        return kNKErr_invalidParam;
    }
    u16 rc = command("getGpio", line, 0x02);
    u8 b = 0;
    if (!rc) rc = getReport(kNKOstrel_reportCommand, &b, 1);
    if (rc) return rc;
    *level = b ? 1 : 0;
    return kNKErr_OK;
}

u16 CNK_ostrel::reset(const char* op, u8 code) {
    NK_OSTREL_OP();
    u16 rc = command(op, code, 0);
    if (rc) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The release half counts too: a board left in reset is a failure.
    return command(op, code, 1);
}

u16 CNK_ostrel::resetSTM32() { return reset("resetSTM32", 0x1D); }
u16 CNK_ostrel::resetFT232() { return reset("resetFT232", 0x5F); }
u16 CNK_ostrel::resetDAC() { return reset("resetDAC", 0x62); }

u16 CNK_ostrel::setProductModel(t_ProductModel model) {
    NK_OSTREL_OP();
    u8 b[4] = {u8(model), u8(model >> 8), u8(model >> 16), u8(model >> 24)};
    u16 rc = setReport(kNKOstrel_reportProductModel, b, sizeof(b));
    if (!rc) rc = getFunctionReturn();
    if (rc) NK_REPORT(rc, "setProductModel");
    return rc;
}

u16 CNK_ostrel::dmmMeas(const char* op, u8 id, double* value) {
    NK_OSTREL_OP();
    if (!value) {
        NK_REPORT(kNKErr_invalidParam, "value!=NULL");
        return kNKErr_invalidParam;
    }
    u8 trigger[2] = {0, 0};
    u16 rc = setReport(id, trigger, sizeof(trigger));
    if (!rc) rc = getFunctionReturn();
    u8 b[8] = {};
    if (!rc) rc = getReport(id, b, sizeof(b));
    if (rc) {
        NK_REPORT(rc, op);
        return rc;
    }
    // The board sends an IEEE-754 double, little-endian.
    if constexpr (std::endian::native == std::endian::big) std::reverse(b, b + 8);
    std::memcpy(value, b, sizeof(double));
    return kNKErr_OK;
}

u16 CNK_ostrel::dmmMeasVoltage(double* value) { return dmmMeas("dmmMeasVoltage", kNKOstrel_reportDmmVoltage, value); }
u16 CNK_ostrel::dmmMeasCurrent(double* value) { return dmmMeas("dmmMeasCurrent", kNKOstrel_reportDmmCurrent, value); }

u16 CNK_ostrel::dmmMeasResistance(double*) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    // The board has no resistance report; the current exchange is no resistance.
    NK_REPORT(kNKErr_notSupported, "dmmMeasResistance");
    return kNKErr_notSupported;
}

u16 CNK_ostrel::inputGainControl(t_input_Channel channel, t_input_gain gain) {
    NK_OSTREL_OP();
    static const u8 first[4] = {0, 3, 5, 8};
    static const u8 last[4] = {2, 4, 7, 10};
    if (channel > 3 || gain < first[channel] || gain > last[channel]) {
        NK_REPORT(kNKErr_invalidParam, "channel and gain pair");
        return kNKErr_invalidParam;
    }
    if (channel == 0 && gain == 0) {
        u16 rc = setGpio(6, 0);
        if (!rc) rc = setGpio(7, 0);
        return rc;
    }
    return kNKErr_OK;
}

u16 CNK_ostrel::loadDriveSignalToOstrel(const std::vector<u16>& samples, float) {
    NK_OSTREL_OP();
    return sendBulkData(kNKOstrel_reportDriveSignal, const_cast<u16*>(samples.data()), samples.size() * 2, false);
}

u16 CNK_ostrel::SaveLUTtoBoard(const std::vector<i16>& lut) {
    NK_OSTREL_OP();
    return sendBulkData(kNKOstrel_reportLut, const_cast<i16*>(lut.data()), lut.size() * 2, false);
}

u16 CNK_ostrel::SaveClCalDatatoBoard(u8* data, u32 length) {
    NK_OSTREL_OP();
    return sendBulkData(kNKOstrel_reportClCalData, data, length, false);
}

u16 CNK_ostrel::SaveClCoefftoBoard(u8* data, u32 length) {
    NK_OSTREL_OP();
    return sendBulkData(kNKOstrel_reportClCoeff, data, length, false);
}

u16 CNK_ostrel::playOstrel(t_playMode mode) {
    NK_OSTREL_OP();
    u8 b = mode;
    return setReport(kNKOstrel_reportPlay, &b, 1);
}

u16 CNK_ostrel::getRecordFromOstrel(std::vector<u8>& record, size_t length, bool checkStatus, u8 id) {
    NK_OSTREL_OP();
    record.resize(length);
    size_t got = 0;
    u16 rc = kNKErr_OK;
    while (got < length) {
        if (_gone.load()) {
            rc = kNKErr_objectNotAvailable;
            break;
        }
        const size_t chunk = length - got < 63 ? length - got : 63;
        u8 pkt[64] = {};
        rc = getReport(id, pkt, chunk + 1);
        if (!rc && checkStatus) rc = getFunctionReturn();
        if (rc) {
            NK_REPORT(rc, "getRecordFromOstrel");
            break;
        }
        std::memcpy(record.data() + got, pkt + 1, chunk);
        got += chunk;
        if (pkt[0] == 0) {
            rc = kNKErr_invalidDataSize;
            NK_REPORT(rc, "pkt.flag>0");
            break;
        }
    }
    record.resize(got);
    return rc;
}
