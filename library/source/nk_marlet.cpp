// Reference meter of the multimeter board's calibration (short text commands,
// one reply line each), and the multimeter board itself (HID feature reports and
// a CDC tty for bulk data).
#include "nk_marlet.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "nk_error.h"
#include "nk_unplug.h"
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

// ================================================================ multimeter board

// Every operation: a valid board whose device is still there, one operation at a time.
#define NK_MARLET_OP()                                    \
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);        \
    std::lock_guard<std::recursive_mutex> opLock(_opMtx); \
    if (!_dev || _gone.load()) return kNKErr_objectNotAvailable

namespace {

constexpr u16 kFeature = 0x0300;
constexpr u32 kReadBufferSize = 64 * 1024;
constexpr u32 kSpiMaxRecv = 0x7FFF;  // R travels in 15 bits

#define NK_REPORT_AS(objName, code, cond) \
    nkDebug_printError(nullptr, __FILE__, (objName), __func__, __LINE__, (uint16_t)(code), (cond))

double nowMsec() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

CNK_marlet::CNK_marlet() : _gate(std::make_shared<NK_unplugGate>()) { NK_CLASS_NAME(); }

CNK_marlet::~CNK_marlet() {
    // Either this delete or the unplug path tears the board down, never both.
    if (!_gate->enterDestructor()) return;
    CNK_usbDev* dev;
    {
        std::lock_guard<std::recursive_mutex> opLock(_opMtx);
        // The bulk channel is the board's: it is given back, not left open.
        releaseBulkLocked();
        std::lock_guard<std::mutex> link(_linkMtx);
        dev = _dev;
        _dev = nullptr;
    }
    if (dev) {
        // An unplug of the device may be under way: once its path is over, it no
        // longer calls into this board.
        std::shared_ptr<NK_unplugGate> devGate = dev->_gate;
        if (devGate->claimForOwner()) delete dev;
        devGate->waitFinished();
    }
}

u16 CNK_marlet::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_marlet::logLine(t_nkVbsLvl level, const char* format, ...) {
    if (!nkObj_isValid(logManager)) return;
    char text[512];
    va_list args;
    va_start(args, format);
    pf::number::vformat(text, sizeof(text), format, args);
    va_end(args);
    logManager->printText(level, "%s", text);
}

CNK_marlet* CNK_marlet::create(CNK_usbDev* pUsbDev) {
    if (!pUsbDev) {
        NK_REPORT_AS("CNK_marlet", kNKErr_memoryAllocationFailed, "pUsbDev!=NULL");
        return nullptr;
    }
    auto* m = new CNK_marlet();
    {
        std::lock_guard<std::mutex> link(m->_linkMtx);
        m->_dev = pUsbDev;
    }
    pUsbDev->setCallback(0, m);
    const u16 rc = m->allocateResource();
    if (rc) {
        NK_REPORT_AS("CNK_marlet", rc, "allocateResource()==0");
        delete m;
        return nullptr;
    }
    return m;
}

u16 CNK_marlet::allocateResource() {
    NK_MARLET_OP();
    u16 rc = _dev->getInterfaceNumber(3, &_hidInterface);
    if (rc) {
        _hidInterface = 255;
        NK_REPORT(rc, "getInterfaceNumber(3)==0");
        return rc;
    }
    std::printf("[Marlet] Found HID Channel\n");
    if (_dev->getInterfaceNumber(2, &_bulkInterface) != kNKErr_OK) {
        _bulkInterface = 255;
        return kNKErr_OK;
    }
    std::printf("[Marlet] Found Bulk Data Channcel\n");
    if (_commDataFd > 0) return kNKErr_OK;
    // The board's own tty, never another adapter's.
    char path[64];
    rc = _dev->getBsdPath(path, sizeof(path));
    if (rc) {
        NK_REPORT(rc, "getBsdPath()==0");
        return rc;
    }
    std::printf("Modem found with BSD path: %s\n", path);
    const double t0 = nowMsec();
    // Non-blocking until CLOCAL is set, so a line without carrier cannot hold the open.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    pf::number::print(stdout, ". open device \"%s\" in %.3f sec\n", path, (nowMsec() - t0) / 1000.0);
    if (fd < 1) {
        if (fd == 0) close(fd);
        NK_REPORT(kNKErr_serialOpenError, "_commDataFd>0");
        return kNKErr_serialOpenError;
    }
    std::printf(". backup original settings\n");
    auto* saved = new (std::nothrow) termios;
    if (!saved || tcgetattr(fd, saved) != 0) {
        delete saved;
        close(fd);
        NK_REPORT(kNKErr_serialCtrlError, "_pTtyAttr_original!=NULL");
        return kNKErr_serialCtrlError;
    }
    std::printf(". set baudrate, data format\n");
    termios t = *saved;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    // Bulk data is binary: no CR/NL translation, flow-control characters or stripping on input.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 1;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    int flags = -1;
    if (tcsetattr(fd, TCSANOW, &t) != 0 || (flags = fcntl(fd, F_GETFL)) < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        delete saved;
        close(fd);
        NK_REPORT(kNKErr_serialCtrlError, "tcsetattr()==0");
        return kNKErr_serialCtrlError;
    }
    _commDataFd = fd;
    _pTtyAttr_original = saved;
    _readBuffer = new u8[kReadBufferSize];
    _readBufferSize = kReadBufferSize;
    return kNKErr_OK;
}

void CNK_marlet::releaseBulkLocked() {
    if (_commDataFd > 0) {
        if (_pTtyAttr_original) tcsetattr(_commDataFd, TCSANOW, _pTtyAttr_original);
        tcflush(_commDataFd, TCOFLUSH);
        close(_commDataFd);
        _commDataFd = 0;
    }
    delete _pTtyAttr_original;
    _pTtyAttr_original = nullptr;
    delete[] _readBuffer;
    _readBuffer = nullptr;
    _readBufferSize = 0;
}

u16 CNK_marlet::releaseResource() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::recursive_mutex> opLock(_opMtx);
    releaseBulkLocked();
    return kNKErr_OK;
}

u16 CNK_marlet::setCallback(u32, INK_marletCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!callback) {
        NK_REPORT(kNKErr_invalidPointer, "callback!=NULL");
        return kNKErr_invalidPointer;
    }
    std::lock_guard<std::mutex> link(_linkMtx);
    if (_callbacks.size() >= kNKMarlet_maxCallbacks) {
        NK_REPORT(kNKErr_invalidDataSize, "_callbackCnt<256");
        return kNKErr_invalidDataSize;
    }
    _callbacks.push_back(callback);
    return kNKErr_OK;
}

void CNK_marlet::onUsbDevDisconnected(u32 id, t_nkUsbDevInfo& info) {
    std::shared_ptr<NK_unplugGate> gate;
    {
        std::lock_guard<std::mutex> link(_linkMtx);
        // Already let go: the owner is deleting this board.
        if (!_dev) return;
        gate = _gate;
    }
    if (!gate->beginUnplug()) return;
    // A bulk read waiting on the tty ends at its next 0.1 s slice instead of its time-out.
    _gone = true;
    std::vector<INK_marletCallback*> callbacks;
    {
        // The operation in flight ends first; the device frees itself when this returns.
        std::lock_guard<std::recursive_mutex> opLock(_opMtx);
        releaseBulkLocked();
        std::lock_guard<std::mutex> link(_linkMtx);
        _dev = nullptr;
        callbacks = _callbacks;
    }
    gate->tornDown();
    // From here an owner's delete may free this object: only copies are used.
    t_nkUsbDevInfo copy = info;
    for (INK_marletCallback* cb : callbacks)
        if (cb) cb->onMarletDisconnected(id, copy);
    if (gate->mayDelete()) delete this;
    gate->finished();
}

u16 CNK_marlet::hidSet(const char* op, u8 id, const void* data, u32 length) {
    if (_hidInterface == 255) {
        NK_REPORT_IN(op, kNKErr_noTestCtrlBrd, "_hidInterface!=255");
        return kNKErr_noTestCtrlBrd;
    }
    const u16 rc = _dev->setInterfaceRequest(_hidInterface, 0x09, kFeature | id, const_cast<void*>(data), length);
    if (rc) NK_REPORT_IN(op, rc, "setReport()==0");
    return rc;
}

u16 CNK_marlet::hidGet(const char* op, u8 id, void* data, u32 length) {
    if (_hidInterface == 255) {
        NK_REPORT_IN(op, kNKErr_noTestCtrlBrd, "_hidInterface!=255");
        return kNKErr_noTestCtrlBrd;
    }
    const u16 rc = _dev->getInterfaceRequest(_hidInterface, 0x01, kFeature | id, data, length);
    if (rc) NK_REPORT_IN(op, rc, "getReport()==0");
    return rc;
}

u16 CNK_marlet::status(const char* op, bool raw) {
    u8 b = 0xFF;
    const u16 rc = hidGet(op, 0x79, &b, 1);
    if (rc) return rc;
    if (b == 0) return kNKErr_OK;
    const u16 code = raw ? b : static_cast<u16>(kNKErr_actionFailed);
    NK_REPORT_IN(op, code, "marletFwReturn==0");
    return code;
}

u16 CNK_marlet::getReport(u8 id, void* data, u32 length) {
    NK_MARLET_OP();
    if (!data || length == 0) {
        NK_REPORT(kNKErr_invalidParam, "data!=NULL && length>0");
        return kNKErr_invalidParam;
    }
    return hidGet(__func__, id, data, length);
}

u16 CNK_marlet::setReport(u8 id, void* data, u32 length) {
    NK_MARLET_OP();
    if (!data || length == 0) {
        NK_REPORT(kNKErr_invalidParam, "data!=NULL && length>0");
        return kNKErr_invalidParam;
    }
    return hidSet(__func__, id, data, length);
}

u16 CNK_marlet::readFwVersion(const char* op) {
    std::lock_guard<std::mutex> lock(_mtx);
    if (_fwVersion != 0xFFFF) return _fwVersion;
    u8 b[2];
    if (hidGet(op, 0x8C, b, 2) != kNKErr_OK) return 0xFFFF;
    _fwVersion = static_cast<u16>(b[0] << 8 | b[1]);
    return _fwVersion;
}

u16 CNK_marlet::fwVersion() {
    NK_VALID_OR_RETURN(0xFFFF);
    std::lock_guard<std::recursive_mutex> opLock(_opMtx);
    if (!_dev || _gone.load()) return _fwVersion;
    return readFwVersion(__func__);
}

const char* CNK_marlet::boardSn() {
    NK_VALID_OR_RETURN(nullptr);
    std::lock_guard<std::recursive_mutex> opLock(_opMtx);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!_serialValid && _dev && !_gone.load()) {
        char sn[32];
        if (hidGet(__func__, 0x8F, sn, 32) == kNKErr_OK) {
            std::memcpy(_boardSn, sn, 32);
            _boardSn[32] = '\0';
            _serialValid = true;
        }
    }
    return _boardSn;
}

// The LDO and DMM readings need a firmware above 1041; a version that cannot be
// read (0xFFFF) lets the command go on to the board.
u16 CNK_marlet::firmwareGate(const char* op) {
    if (readFwVersion(op) <= 1041) {
        NK_REPORT_IN(op, kNKErr_notSupported, "fwVersion()>1041");
        return kNKErr_notSupported;
    }
    return kNKErr_OK;
}

u16 CNK_marlet::spi_set_speed(float MHz) {
    NK_MARLET_OP();
    std::lock_guard<std::mutex> lock(_mtx);
    const float tenths = MHz * 10;  // NaN fails both tests
    if (!(tenths >= 1)) {
        NK_REPORT(kNKErr_invalidParam, "spiSpeed_MHz*10>0");
        return kNKErr_invalidParam;
    }
    // The board takes the speed in one byte.
    if (!(tenths < 256)) {
        NK_REPORT(kNKErr_invalidParam, "spiSpeed_MHz*10<256");
        return kNKErr_invalidParam;
    }
    const u8 b = static_cast<u8>(tenths);
    return hidSet(__func__, 0x8A, &b, 1);
}

u16 CNK_marlet::spi_get_buffer_size() {
    NK_VALID_OR_RETURN(0);
    std::lock_guard<std::recursive_mutex> opLock(_opMtx);
    std::lock_guard<std::mutex> lock(_mtx);
    if (_spiBufferSize == 0 && _dev && !_gone.load()) {
        u8 b[2];
        if (hidGet(__func__, 0x8A, b, 2) != kNKErr_OK) return 0;
        _spiBufferSize = static_cast<float>(b[0] | b[1] << 8);
    }
    return static_cast<u16>(_spiBufferSize);
}

u16 CNK_marlet::spi_sendRecv(const u8* sendBuff, u32 sendLength, u8* recvBuff, u32 recvLength) {
    NK_MARLET_OP();
    if (!sendBuff && sendLength) {
        NK_REPORT(kNKErr_invalidPointer, "sendBuff!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!recvBuff && recvLength) {
        NK_REPORT(kNKErr_invalidPointer, "recvBuff!=NULL");
        return kNKErr_invalidPointer;
    }
    if (recvLength > kSpiMaxRecv) {
        NK_REPORT(kNKErr_invalidParam, "recvLength<=0x7FFF");
        return kNKErr_invalidParam;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    const u8 rHigh = static_cast<u8>(recvLength >> 8), rLow = static_cast<u8>(recvLength);
    u32 at = 0;
    do {
        const u32 n = sendLength - at > 62 ? 62 : sendLength - at;
        const bool last = at + n >= sendLength;
        u8 pkt[64] = {static_cast<u8>(last ? rHigh : (0x80 | rHigh)), rLow};
        if (n) std::memcpy(pkt + 2, sendBuff + at, n);
        const u16 rc = _dev->setRequest(0x0089, pkt, last ? n + 2 : 64);
        if (rc) {
            NK_REPORT(rc, "setRequest(0x0089)==0");
            return rc;
        }
        at += n;
    } while (at < sendLength);
    for (u32 got = 0; got < recvLength;) {
        const u32 n = recvLength - got > 64 ? 64 : recvLength - got;
        const u16 rc = _dev->getRequest(0x0089, recvBuff + got, n);
        if (rc) {
            NK_REPORT(rc, "getRequest(0x0089)==0");
            return rc;
        }
        got += n;
    }
    return kNKErr_OK;
}

u16 CNK_marlet::gpi_get_status(u8 line, u8* pOnOff) {
    NK_MARLET_OP();
    if (!pOnOff) {
        NK_REPORT(kNKErr_invalidPointer, "pOnOff!=NULL");
        return kNKErr_invalidPointer;
    }
    *pOnOff = 0xFF;
    const u8 cmd[2] = {line, 0x02};
    u16 rc = hidSet(__func__, 0x80, cmd, 2);
    if (!rc) rc = status(__func__, false);
    u8 b = 0;
    if (!rc) rc = hidGet(__func__, 0x80, &b, 1);
    if (rc) return rc;
    *pOnOff = b ? 1 : 0;
    return kNKErr_OK;
}

u16 CNK_marlet::gpo_set_status(u8 line, bool on) {
    NK_MARLET_OP();
    const u8 cmd[2] = {line, static_cast<u8>(on ? 1 : 0)};
    const u16 rc = hidSet(__func__, 0x80, cmd, 2);
    return rc ? rc : status(__func__, false);
}

u16 CNK_marlet::ldo_set_voltage(u8 ldoId, float volts) {
    NK_MARLET_OP();
    if (!(ldoId < 3)) {
        NK_REPORT(kNKErr_invalidParam, "ldoId<3");
        return kNKErr_invalidParam;
    }
    u16 rc = firmwareGate(__func__);
    if (rc) return rc;
    u8 cmd[9] = {ldoId};
    const double v = volts;
    std::memcpy(cmd + 1, &v, 8);
    rc = hidSet(__func__, 0x83, cmd, 9);
    return rc ? rc : status(__func__, false);
}

u16 CNK_marlet::adc_get_reading(u8 adcId, float* pVoltage) {
    NK_MARLET_OP();
    if (!pVoltage) {
        NK_REPORT(kNKErr_invalidParam, "pVoltage!=NULL");
        return kNKErr_invalidParam;
    }
    if (adcId > MCU_AD8) {
        NK_REPORT(kNKErr_invalidParam, "adcId<=MCU_AD8");
        return kNKErr_invalidParam;
    }
    if (adcId < MCU_AD1) {
        NK_REPORT(kNKErr_invalidParam, "adcId>=MCU_AD1");
        return kNKErr_invalidParam;
    }
    const u8 cmd[3] = {adcId, 0x0A, 0x01};
    u8 b[8];
    u16 rc = hidSet(__func__, 0x81, cmd, 3);
    if (!rc) rc = hidGet(__func__, 0x81, b, 8);
    if (rc) return rc;
    double v;
    std::memcpy(&v, b, 8);
    *pVoltage = static_cast<float>(v);
    return kNKErr_OK;
}

u16 CNK_marlet::dmmExchange(const char* op, u8 channel, u8 c, u8 second, u8 third, t_nkMarlet_dmm_reading* pReading) {
    NK_MARLET_OP();
    if (!(channel < 4)) {
        NK_REPORT_IN(op, kNKErr_invalidParam, "channel>=0 && channel<4");
        return kNKErr_invalidParam;
    }
    if (!pReading) {
        NK_REPORT_IN(op, kNKErr_invalidPointer, "pReading!=NULL");
        return kNKErr_invalidPointer;
    }
    u16 rc = firmwareGate(op);
    const u8 cmds[3][2] = {{c, 0x09}, {channel, second}, {channel, third}};
    for (const auto& cmd : cmds)
        if (!rc) rc = hidSet(op, 0x82, cmd, 2);
    if (!rc) rc = status(op, false);
    if (!rc) rc = hidGet(op, 0x82, pReading->raw, sizeof(pReading->raw));
    return rc;
}

u16 CNK_marlet::dmm_get_reading(u8 channel, bool b, u8 c, t_nkMarlet_dmm_reading* pReading) {
    return dmmExchange(__func__, channel, c, static_cast<u8>((b ? 1 : 0) | 0x06), b ? 1 : 0, pReading);
}

u16 CNK_marlet::dmm_get_fullReading(u8 channel, bool b, u8 mode, u8 c, t_nkMarlet_dmm_reading* pReading) {
    return dmmExchange(__func__, channel, c, mode, b ? 1 : 0, pReading);
}

u16 CNK_marlet::dmm_switch_range(u8 a, bool b) {
    NK_MARLET_OP();
    const u8 cmd[2] = {a, static_cast<u8>(b ? 1 : 0)};
    return hidSet(__func__, 0x82, cmd, 2);
}

u16 CNK_marlet::dmm_set_volDac(u8 a, u8 b) {
    NK_MARLET_OP();
    const u8 cmd[2] = {a, b};
    const u16 rc = hidSet(__func__, 0x84, cmd, 2);
    return rc ? rc : status(__func__, true);
}

u16 CNK_marlet::dmm_get_calData(t_dmm_cal_data* pCalData) {
    NK_MARLET_OP();
    if (!pCalData) {
        NK_REPORT(kNKErr_invalidPointer, "pCalData!=NULL");
        return kNKErr_invalidPointer;
    }
    const u8 start = 0;
    u16 rc = hidSet(__func__, 0x86, &start, 1);
    if (!rc) rc = status(__func__, true);
    if (!rc) rc = readChunks(__func__, pCalData->raw, kNKMarlet_calDataSize);
    return rc;
}

u16 CNK_marlet::readChunks(const char* op, u8* buffer, u32 length) {
    for (u32 got = 0; got < length;) {
        if (_gone.load()) return kNKErr_objectNotAvailable;
        const u32 n = length - got > 64 ? 64 : length - got;
        const u16 rc = _dev->getInterfaceRequest(_hidInterface, 0x01, kFeature | 0x88, buffer + got, n);
        if (rc) {
            NK_REPORT_IN(op, rc, "getReport(0x88)==0");
            NK_REPORT_IN(op, rc, "got==length");
            return rc;
        }
        got += n;
    }
    return kNKErr_OK;
}

u16 CNK_marlet::sendCalPackets(const char* op, const u8* data) {
    const u8 start = 0x00;
    if (_dev->setInterfaceRequest(_hidInterface, 0x09, kFeature | 0x87, const_cast<u8*>(&start), 1) != kNKErr_OK) {
        NK_REPORT_IN(op, kNKErr_usbSetReportError, "setReport(0x87)==0");
        return kNKErr_usbSetReportError;
    }
    // [0x01, 63 bytes] packets counted by length: 11344 bytes are 181 packets, the last with 4.
    for (u32 at = 0; at < kNKMarlet_calDataSize; at += 63) {
        if (_gone.load()) return kNKErr_objectNotAvailable;
        const u32 n = kNKMarlet_calDataSize - at > 63 ? 63 : kNKMarlet_calDataSize - at;
        u8 pkt[64] = {0x01};
        std::memcpy(pkt + 1, data + at, n);
        if (_dev->setInterfaceRequest(_hidInterface, 0x09, kFeature | 0x87, pkt, 64) != kNKErr_OK) {
            NK_REPORT_IN(op, kNKErr_usbSetReportError, "setReport(0x87)==0");
            NK_REPORT_IN(op, kNKErr_usbSetReportError, "sent==kNKMarlet_calDataSize");
            return kNKErr_usbSetReportError;
        }
    }
    return kNKErr_OK;
}

u16 CNK_marlet::dmm_set_calData(t_dmm_cal_data* pCalData) {
    NK_MARLET_OP();
    if (!pCalData) {
        NK_REPORT(kNKErr_invalidPointer, "pCalData!=NULL");
        return kNKErr_invalidPointer;
    }
    const u16 rc = sendCalPackets(__func__, pCalData->raw);
    if (rc) return rc;
    const u8 end = 0x01;
    if (_dev->setInterfaceRequest(_hidInterface, 0x09, kFeature | 0x85, const_cast<u8*>(&end), 1) != kNKErr_OK) {
        NK_REPORT(kNKErr_usbSetReportError, "setReport(0x85)==0");
        return kNKErr_usbSetReportError;
    }
    return status(__func__, true);
}

u16 CNK_marlet::writeBuffer(u8* data) {
    NK_MARLET_OP();
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "data!=NULL");
        return kNKErr_invalidPointer;
    }
    return sendCalPackets(__func__, data);
}

u16 CNK_marlet::readBuffer(u8* buffer, u32* length) {
    NK_MARLET_OP();
    if (!buffer || !length) {
        NK_REPORT(kNKErr_invalidPointer, "buffer!=NULL && length!=NULL");
        return kNKErr_invalidPointer;
    }
    if (*length == 0) {
        NK_REPORT(kNKErr_invalidParam, "*length>0");
        return kNKErr_invalidParam;
    }
    return readChunks(__func__, buffer, *length);
}

u16 CNK_marlet::i2cChecks(const char* op, u32 offset, bool flag, const u8* data, u16 length) {
    if (!data || length == 0) {
        NK_REPORT_IN(op, kNKErr_invalidParam, "data!=NULL && length>0");
        return kNKErr_invalidParam;
    }
    // Bit 16 travels in the device byte; nothing carries more.
    if (offset > 0x1FFFF) {
        NK_REPORT_IN(op, kNKErr_invalidParam, "offset<=0x1FFFF");
        return kNKErr_invalidParam;
    }
    // Only a version already read can refuse.
    if (flag && _fwVersion != 0xFFFF && _fwVersion < 1059) {
        NK_REPORT_IN(op, kNKErr_notSupported, "fwVersion>=1059");
        return kNKErr_notSupported;
    }
    return kNKErr_OK;
}

u16 CNK_marlet::i2c_set_data(u8 device, u32 offset, bool flag, u8* data, u16 length) {
    NK_MARLET_OP();
    u16 rc = i2cChecks(__func__, offset, flag, data, length);
    for (u32 at = 0; at < length && !rc; at += 61) {
        const u32 n = length - at > 61 ? 61 : length - at;
        u8 pkt[64] = {0, 0, 0x03};
        std::memcpy(pkt + 3, data + at, n);
        rc = hidSet(__func__, 0x8B, pkt, n + 3);
    }
    const u8 commit[4] = {static_cast<u8>(offset >> 8), static_cast<u8>(offset), static_cast<u8>(flag ? 0x04 : 0x01),
                          static_cast<u8>(device | (offset >> 16 & 1))};
    if (!rc) rc = hidSet(__func__, 0x8B, commit, 4);
    if (!rc) rc = status(__func__, false);
    return rc;
}

u16 CNK_marlet::i2c_get_data(u8 device, u32 offset, bool flag, u8* data, u16 length) {
    NK_MARLET_OP();
    u16 rc = i2cChecks(__func__, offset, flag, data, length);
    if (rc) return rc;
    const u8 cmd[6] = {static_cast<u8>(offset >> 8), static_cast<u8>(offset), static_cast<u8>(flag ? 0x05 : 0x02),
                       static_cast<u8>(device | (offset >> 16 & 1)), static_cast<u8>(length >> 8),
                       static_cast<u8>(length)};
    rc = hidSet(__func__, 0x8B, cmd, 6);
    if (!rc) rc = status(__func__, false);
    for (u32 got = 0; got < length && !rc;) {
        const u32 n = length - got > 64 ? 64 : length - got;
        rc = hidGet(__func__, 0x8B, data + got, n);
        got += n;
    }
    return rc;
}

u16 CNK_marlet::relayBoard_ctrl(u8 relays, bool) {
    NK_MARLET_OP();
    // Register 0x00, then register 0x09, of the relay board's I2C device at 0x27.
    const u8 s1[7] = {0x00, 0x00, 0x01, 0x27, 0x03, 0x01, 0x00};
    const u8 s2[6] = {0x00, 0x00, 0x01, 0x27, 0x01, 0x01};
    const u8 s4[7] = {0x00, 0x09, 0x01, 0x27, 0x03, 0x01, static_cast<u8>(~relays)};
    const u8 s5[6] = {0x00, 0x09, 0x01, 0x27, 0x01, 0x01};
    u16 rc = hidSet(__func__, 0x8D, s1, 7);
    if (!rc) rc = hidSet(__func__, 0x8D, s2, 6);
    u8 b = 0;
    if (!rc) rc = hidGet(__func__, 0x79, &b, 1);  // only a failed transfer counts here
    if (!rc) rc = hidSet(__func__, 0x8D, s4, 7);
    if (!rc) rc = hidSet(__func__, 0x8D, s5, 6);
    if (!rc) rc = status(__func__, false);
    if (rc) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return kNKErr_OK;
}

u16 CNK_marlet::eeprom_set_data(u16, const u8*, u32) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    return kNKErr_notSupported;
}

u16 CNK_marlet::eeprom_get_data(u16, u8*, u32) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    return kNKErr_notSupported;
}

u16 CNK_marlet::writeBufferBulk(u8* data, u32 length) {
    NK_MARLET_OP();
    if (!(_commDataFd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_commDataFd>0");
        return kNKErr_invalidCondition;
    }
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "sendBuff!=NULL");
        return kNKErr_invalidPointer;
    }
    const double t0 = nowMsec();
    const u8 start = 0;
    const u16 rc = hidSet(__func__, 0xB0, &start, 1);
    if (rc) return rc;
    for (u32 at = 0; at < length;) {
        const u32 n = length - at > 512 ? 512 : length - at;
        const ssize_t w = write(_commDataFd, data + at, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            std::printf("Error write to file: %s\n", std::strerror(w < 0 ? errno : EIO));
            NK_REPORT(kNKErr_serialWriteError, "write()>0");
            return kNKErr_serialWriteError;
        }
        at += static_cast<u32>(w);
    }
    logLine(kVL1, "[Marlet] Bulk Write %u Bytes in %fms", length, nowMsec() - t0);
    return status(__func__, true);
}

u16 CNK_marlet::readBufferBulk(u8* buffer, u32* pRecvLeng, u32 timeoutMs) {
    NK_MARLET_OP();
    if (!(_commDataFd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_commDataFd>0");
        return kNKErr_invalidCondition;
    }
    if (!buffer || !pRecvLeng) {
        NK_REPORT(kNKErr_invalidPointer, "recvBuff!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!(*pRecvLeng > 0)) {
        NK_REPORT(kNKErr_invalidParam, "*pRecvLeng>0");
        return kNKErr_invalidParam;
    }
    const u32 want = *pRecvLeng;
    *pRecvLeng = 0;
    u8 len[64] = {static_cast<u8>(want >> 24), static_cast<u8>(want >> 16), static_cast<u8>(want >> 8),
                  static_cast<u8>(want)};
    const u16 rc = hidSet(__func__, 0xB1, len, 4);
    if (rc) return rc;
    const u32 limit = timeoutMs < 100 ? 100 : (timeoutMs > 20000 ? 20000 : timeoutMs);
    const double t0 = nowMsec();
    bool readError = false;
    u32 got = 0;
    // VTIME 1: each read returns within 0.1 s, so the time-out and an unplug are seen.
    while (got < want && nowMsec() - t0 < limit && !_gone.load()) {
        const u32 n = want - got > 256 ? 256 : want - got;
        const ssize_t r = read(_commDataFd, buffer + got, n);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            readError = true;
            break;
        }
        got += static_cast<u32>(r);
        *pRecvLeng = got;
    }
    logLine(kVL1, "[Marlet] Recv %u bytes in %fms", got, nowMsec() - t0);
    if (got == 0) {
        NK_REPORT(kNKErr_serialReadTimeout, "*pRecvLeng>0");
        return kNKErr_serialReadTimeout;
    }
    if (readError) {
        NK_REPORT(kNKErr_serialReadError, "read()>=0");
        return kNKErr_serialReadError;
    }
    return kNKErr_OK;
}

u16 CNK_marlet::clearBulkBuffer() {
    NK_MARLET_OP();
    if (!(_commDataFd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_commDataFd>0");
        return kNKErr_invalidCondition;
    }
    const int flags = fcntl(_commDataFd, F_GETFL);
    if (flags < 0 || fcntl(_commDataFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        logLine(kVL1, ". Error %s", std::strerror(errno));
        NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
        return kNKErr_serialCtrlError;
    }
    u16 rc = kNKErr_timeout;
    const double t0 = nowMsec();
    u8 sink[4096];
    while (nowMsec() - t0 < 5000) {
        const ssize_t r = read(_commDataFd, sink, sizeof(sink));
        if (r == 0 || (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
            rc = kNKErr_OK;
            break;
        }
        // A failing line is not a line still talking.
        if (r < 0 && errno != EINTR) {
            rc = kNKErr_serialReadError;
            break;
        }
    }
    fcntl(_commDataFd, F_SETFL, flags & ~O_NONBLOCK);
    if (rc) NK_REPORT(rc, rc == kNKErr_timeout ? "elapsed<5000ms" : "read()>=0");
    return rc;
}
