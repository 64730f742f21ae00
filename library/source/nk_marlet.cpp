// Reference meter of the multimeter board's calibration: short text commands,
// one reply line each.
#include "nk_marlet.h"

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "nk_error.h"
#include "number/pf_number.h"

namespace {

double nowSec() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The meter's number: the line up to its "\n", read in the C locale. False when
// the line holds no number at all.
bool replyNumber(const char* reply, double* out) {
    char line[128];
    std::snprintf(line, sizeof(line), "%s", reply);
    if (char* nl = std::strchr(line, '\n')) nl[1] = '\0';
    char* end = nullptr;
    const double v = pf::number::parse(line, &end);
    if (end == line || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

const char* const kRail[3] = {"CH3", "CH2", "CH1"};

}  // namespace

std::atomic<u32> CNK_marletCal::startWaitMs{1500};

CNK_marletCal::CNK_marletCal() { NK_CLASS_NAME(); }

CNK_marletCal::CNK_marletCal(CNK_logManager* lm) {
    NK_CLASS_NAME();
    if (lm) setLogManager(lm);
}

CNK_marletCal::~CNK_marletCal() {
    if (!nkObj_isValid(this)) return;
    if (_serial) {
        _serial->Close();
        delete _serial;
        _serial = nullptr;
    }
}

u16 CNK_marletCal::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

CNK_marletCal* CNK_marletCal::create(CNK_usbDev* pUsbDev) {
    if (!pUsbDev) {
        NK_REPORT_FN(kNKErr_invalidParam, "pUsbDev!=NULL");
        return nullptr;
    }
    auto* pMarletCal = new CNK_marletCal();
    std::this_thread::sleep_for(std::chrono::milliseconds(startWaitMs.load()));
    pMarletCal->_serial = CNK_serial::create(pUsbDev, 19200, k_nkSerialFormat_8N1, 1, nullptr);
    if (!pMarletCal->_serial) {
        NK_REPORT_FN(kNKErr_objectCreationFailed, "pMarletCal->_serial!=NULL");
        delete pMarletCal;
        return nullptr;
    }
    pMarletCal->_serial->setCallback(kNKMarletCal_callbackId, pMarletCal);
    return pMarletCal;
}

void CNK_marletCal::logLine(t_nkVbsLvl level, const char* format, ...) {
    if (!nkObj_isValid(logManager)) return;
    char text[512];
    va_list args;
    va_start(args, format);
    pf::number::vformat(text, sizeof(text), format, args);
    va_end(args);
    logManager->printText(level, "%s", text);
}

u16 CNK_marletCal::Open() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_opMtx);
    if (!_serial) {
        NK_REPORT(kNKErr_invalidCondition, "_serial!=NULL");
        return kNKErr_invalidCondition;
    }
    const u16 rc = _serial->Open();
    if (rc) NK_REPORT(rc, "_serial->Open()");
    return rc;
}

void CNK_marletCal::Close() {
    NK_VALID_OR_RETURN_VOID();
    std::lock_guard<std::mutex> lock(_opMtx);
    if (_serial) _serial->Close();
}

void CNK_marletCal::setCallback(u32, INK_marletCalCallback* callback) {
    NK_VALID_OR_RETURN_VOID();
    if (callback && _callback) {
        logLine(kVL1, "[Err] %s Only Accept One Callback", name);
        return;
    }
    _callback = callback;
}

void CNK_marletCal::onSerialDisconnected(u32, t_nkUsbDevInfo& info) {
    NK_VALID_OR_RETURN_VOID();
    {
        // A reading in flight on another thread ends first (its read was woken).
        std::lock_guard<std::mutex> lock(_opMtx);
        _serial = nullptr;  // the port frees itself when this returns
    }
    if (_callback) _callback->onMarletCalDisconnected(kNKMarletCal_callbackId, info);
    if (nkObj_isValid(this)) delete this;
}

u16 CNK_marletCal::exchange(const char* command, char* reply, u32 size) {
    if (!_serial) {
        NK_REPORT(kNKErr_invalidCondition, "_serial!=NULL");
        return kNKErr_invalidCondition;
    }
    u16 rc = _serial->clear_readBuffer();
    if (rc) {
        NK_REPORT(rc, "clear_readBuffer");
        return rc;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%s", command);
    rc = _serial->Write(reinterpret_cast<u8*>(text), static_cast<u32>(std::strlen(text)));
    if (rc) {
        NK_REPORT(rc, command);
        return rc;
    }
    u32 len = size;
    char delimiter[] = "\n";
    // One byte time at 19200 baud between polls.
    rc = _serial->Read(reply, &len, delimiter, 1000, 1000000 / 1920);
    if (rc) {
        NK_REPORT(rc, "Read");
        return rc;
    }
    reply[len < size ? len : size - 1] = '\0';
    logLine(kVL1, "read buffer: %s", reply);
    return kNKErr_OK;
}

u16 CNK_marletCal::readAgilentV(u8 channel, double* value) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_opMtx);
    const double t0 = nowSec();
    logLine(kVL1, "* read agilent voltage *");
    u16 rc = kNKErr_OK;
    char reply[128] = "";
    double v = 0;
    if (!value || channel > 2) {
        rc = kNKErr_dmmVReadFailed;
        NK_REPORT(rc, value ? "channel<=2" : "value!=NULL");
    } else {
        char cmd[32];
        std::snprintf(cmd, sizeof(cmd), "VOLT_%s\n", kRail[channel]);
        rc = exchange(cmd, reply, sizeof(reply));
        if (rc == kNKErr_OK && (std::strstr(reply, "FAIL") || !replyNumber(reply, &v))) {
            rc = kNKErr_dmmVReadFailed;
            NK_REPORT(rc, "reply is a number");
        }
        if (rc == kNKErr_OK) *value = v;
    }
    logLine(kVL1, "* read Agilent voltage %s [in %.3f sec] *", rc ? "FAILED" : "PASSED", nowSec() - t0);
    return rc;
}

u16 CNK_marletCal::readCurrent(const char* kind, u8 powerRail, u8 channel, u8 range, double* value) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_opMtx);
    const double t0 = nowSec();
    logLine(kVL1, "* read agilent current powerRail:%d, Channel:%d, Range:%d*", powerRail, channel, range);
    u16 rc = kNKErr_OK;
    char reply[128] = "";
    if (!value || powerRail > 2) {
        rc = kNKErr_dmmVReadFailed;
        NK_REPORT(rc, value ? "powerRail<=2" : "value!=NULL");
    } else {
        char select[32];
        std::snprintf(select, sizeof(select), "%s_%s_%s\n", range ? "mA" : "uA", kind, kRail[powerRail]);
        rc = exchange(select, reply, sizeof(reply));
        if (rc == kNKErr_OK && !std::strstr(reply, "OK")) rc = exchange(select, reply, sizeof(reply));
        if (rc == kNKErr_OK && !std::strstr(reply, "OK")) {
            rc = kNKErr_dmmVReadFailed;
            NK_REPORT(rc, "strstr(readBuff,\"OK\")");
        }
        if (rc == kNKErr_OK) {
            char index[16];
            std::snprintf(index, sizeof(index), "%d\n", channel);
            rc = exchange(index, reply, sizeof(reply));
        }
        double v = 0;
        if (rc == kNKErr_OK) {
            if (std::strstr(reply, "FAIL") || (!std::strstr(reply, "END") && !replyNumber(reply, &v))) {
                rc = kNKErr_dmmVReadFailed;
                NK_REPORT(rc, "reply is a number");
            } else if (std::strstr(reply, "END")) {
                rc = kNKMarletCal_end;
                logLine(kVL1, "[Err] end of table (%d)", rc);
            } else {
                *value = v * 1000.0;
            }
        }
    }
    logLine(kVL1, "* read Agilent current %s [in %.3f sec] *", rc ? "FAILED" : "PASSED", nowSec() - t0);
    return rc;
}

u16 CNK_marletCal::readAgilentI(u8 powerRail, u8 channel, u8 range, double* value) {
    return readCurrent("ADJ", powerRail, channel, range, value);
}

u16 CNK_marletCal::readAgilentIforTest(u8 powerRail, u8 channel, u8 range, double* value) {
    return readCurrent("CHK", powerRail, channel, range, value);
}

u16 CNK_marletCal::readResistance(const char* kind, u8 index, double* value) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_opMtx);
    const double t0 = nowSec();
    logLine(kVL1, "* read agilent resistance *");
    u16 rc = kNKErr_OK;
    char reply[128] = "";
    if (!value) {
        rc = kNKErr_dmmVReadFailed;
        NK_REPORT(rc, "value!=NULL");
    } else {
        char cmd[32];
        std::snprintf(cmd, sizeof(cmd), "RES_%s_%d\n", kind, index);
        rc = exchange(cmd, reply, sizeof(reply));
        double v = 0;
        if (rc == kNKErr_OK) {
            if (std::strstr(reply, "FAIL") || (!std::strstr(reply, "END") && !replyNumber(reply, &v))) {
                rc = kNKErr_dmmVReadFailed;
                NK_REPORT(rc, "reply is a number");
            } else if (std::strstr(reply, "END")) {
                rc = kNKMarletCal_end;
                logLine(kVL1, "[Err] end of table (%d)", rc);
            } else {
                *value = v;
            }
        }
    }
    logLine(kVL1, "* read Agilent resistance %s [in %.3f sec] *", rc ? "FAILED" : "PASSED", nowSec() - t0);
    return rc;
}

u16 CNK_marletCal::readAgilentR(u8 index, double* value) { return readResistance("ADJ", index, value); }

u16 CNK_marletCal::readAgilentRforTest(u8 index, double* value) { return readResistance("CHK", index, value); }

u16 CNK_marletCal::resetAgilent() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_opMtx);
    const double t0 = nowSec();
    logLine(kVL1, "* reset agilent *");
    char reply[128] = "";
    const u16 rc = exchange("RST\n", reply, sizeof(reply));
    logLine(kVL1, "* reset Agilent %s [in %.3f sec] *", rc ? "FAILED" : "PASSED", nowSec() - t0);
    return rc;
}
