// Serial ports over POSIX terminals in raw mode, with Modbus framing.
#include "nk_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nk_serial_internal.h"
#include "nk_unplug.h"
#include "nk_utils.h"
#include "number/pf_number.h"

namespace {

#define NK_REPORT_AS(objName, code, cond) \
    nkDebug_printError(nullptr, __FILE__, (objName), __func__, __LINE__, (uint16_t)(code), (cond))

constexpr u32 kSerialIdSril = 0x5352494C;  // 'SRIL'

int systemModemIoctl(int fd, unsigned long request, int* bits) { return ioctl(fd, request, bits); }
std::atomic<t_nkModemIoctl> g_modemIoctl{systemModemIoctl};

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double nowMs() { return static_cast<double>(nowNs()) / 1e6; }

// A descriptor that lands on 0 would read as "closed": move it up.
int keepOffZero(int fd) {
    if (fd != 0) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

bool speedOf(u32 baud, speed_t* out) {
    static const struct {
        u32 baud;
        speed_t code;
    } table[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
                 {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
                 {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
                 {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
                 {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
                 {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
                 {3500000, B3500000}, {4000000, B4000000}};
    for (const auto& e : table) {
        if (e.baud == baud) {
            *out = e.code;
            return true;
        }
    }
    return false;
}

// Raw mode for the line: every input translation off too, or binary frames change.
// Baud 0, data bits 0 and stop bits 0 keep what the line has.
bool applyRawLine(termios& t, u32 baud, char parity, int dataBits, int stopBits) {
    if ((dataBits != 0 && dataBits != 7 && dataBits != 8) || stopBits < 0 || stopBits > 2) return false;
    if (baud != 0) {
        speed_t sp;
        if (!speedOf(baud, &sp)) return false;
        cfsetispeed(&t, sp);
        cfsetospeed(&t, sp);
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CREAD | PARENB | PARODD | CLOCAL);
    t.c_cflag |= CREAD | CLOCAL;
    if (dataBits != 0) {
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
        t.c_cflag |= dataBits == 8 ? CS8 : CS7;
    }
    if (stopBits == 1) t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    if (stopBits == 2) t.c_cflag |= CSTOPB;
    if (parity == 'O') t.c_cflag |= PARENB | PARODD;
    if (parity == 'E') t.c_cflag |= PARENB;
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ISIG | ICANON);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 1;
    return true;
}

bool applyRawMode(termios& t, u32 baud, t_nkSerialFormat format) {
    if (baud == 0) return false;
    const int dataBits = format <= k_nkSerialFormat_8E2 ? 8 : 7;
    const int stopBits = format >= k_nkSerialFormat_8N2 && format <= k_nkSerialFormat_8E2 ? 2 : 1;
    char parity = 'N';
    if (format == k_nkSerialFormat_8O1 || format == k_nkSerialFormat_8O2 || format == k_nkSerialFormat_7O1)
        parity = 'O';
    if (format == k_nkSerialFormat_8E1 || format == k_nkSerialFormat_8E2 || format == k_nkSerialFormat_7E1)
        parity = 'E';
    return applyRawLine(t, baud, parity, dataBits, stopBits);
}

int setNonBlocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

bool endsWith(const char* text, size_t len, const char* tail, size_t tailLen) {
    return len >= tailLen && std::memcmp(text + len - tailLen, tail, tailLen) == 0;
}

// Binary Modbus frame: address, function, data, CRC-16/MODBUS low byte first.
void buildRtuFrame(u8 address, u8 function, const u8* data, size_t dataLen, u8* out) {
    out[0] = address;
    out[1] = function;
    std::memcpy(out + 2, data, dataLen);
    const u16 crc = nkUtil_crc16(out, dataLen + 2);
    out[dataLen + 2] = static_cast<u8>(crc & 0xFF);
    out[dataLen + 3] = static_cast<u8>(crc >> 8);
}

// ":" + two upper-case digits per frame byte + "\r\n" and a NUL; returns the text length.
size_t hexFrameText(const u8* frame, size_t frameLen, char* out) {
    static const char digits[] = "0123456789ABCDEF";
    size_t n = 0;
    out[n++] = ':';
    for (size_t i = 0; i < frameLen; ++i) {
        out[n++] = digits[frame[i] >> 4];
        out[n++] = digits[frame[i] & 0xF];
    }
    out[n++] = '\r';
    out[n++] = '\n';
    out[n] = '\0';
    return n;
}

void printFrame(const char* what, size_t len, double ms, const u8* bytes) {
    pf::number::print(stdout, "\t%s [%4d,%7.1f]", what, static_cast<int>(len), ms);
    for (size_t i = 0; i < len; ++i) std::printf(" 0x%02X", bytes[i]);
    std::printf("\n");
}

}  // namespace

u16 nkSerial_rawAttributes(termios* t, u32 baudRate, t_nkSerialFormat format) {
    if (!t) return kNKErr_invalidPointer;
    if (format < k_nkSerialFormat_8N1 || format > k_nkSerialFormat_7E1) return kNKErr_invalidParam;
    return applyRawMode(*t, baudRate, format) ? kNKErr_OK : kNKErr_invalidParam;
}

u16 nkSerial_rawLineAttributes(termios* t, u32 baudRate, char parity, int dataBits, int stopBits) {
    if (!t) return kNKErr_invalidPointer;
    if (parity != 'N' && parity != 'O' && parity != 'E') return kNKErr_invalidParam;
    return applyRawLine(*t, baudRate, parity, dataBits, stopBits) ? kNKErr_OK : kNKErr_invalidParam;
}

void nkSerial_setModemIoctl(t_nkModemIoctl fn) { g_modemIoctl.store(fn ? fn : systemModemIoctl); }

int nkSerial_modemIoctl(int fd, unsigned long request, int* bits) { return g_modemIoctl.load()(fd, request, bits); }

// ================================================================ CNK_serial

CNK_serial::CNK_serial() : _gate(std::make_shared<NK_unplugGate>()) {
    NK_CLASS_NAME();
    _wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CNK_serial::~CNK_serial() {
    if (_gate->enterDestructor()) {
        Close();
        CNK_usbDev* dev;
        {
            std::lock_guard<std::mutex> lock(_linkMtx);
            dev = _usbDev;
            _usbDev = nullptr;
        }
        if (dev) {
            // An unplug of the device may be under way: once its path is over, it
            // no longer calls into this port.
            std::shared_ptr<NK_unplugGate> devGate = dev->_gate;
            if (devGate->claimForOwner()) delete dev;
            devGate->waitFinished();
        }
    }
    std::free(_sendBuff);
    _sendBuff = nullptr;
    if (_wakeFd >= 0) close(_wakeFd);
}

u16 CNK_serial::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

CNK_serial* CNK_serial::makePort(u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB, CNK_usbDev* pUsbDev) {
    (void)pUsbDev;
    if (!(baudRate > 0)) {
        NK_REPORT_AS("CNK_serial", kNKErr_invalidParam, "baudRate>0");
        return nullptr;
    }
    if (!(format >= k_nkSerialFormat_8N1 && format <= k_nkSerialFormat_7E1)) {
        NK_REPORT_AS("CNK_serial", kNKErr_invalidParam, "format>=k_nkSerialFormat_8N1 && format<=k_nkSerialFormat_7E1");
        return nullptr;
    }
    if (!(bufferSizeKB > 0)) {
        NK_REPORT_AS("CNK_serial", kNKErr_invalidParam, "bufferSizeKB>0");
        return nullptr;
    }
    CNK_serial* pSP = new CNK_serial();
    pSP->_sendBuffSize = static_cast<u32>(bufferSizeKB) * 1024;
    pSP->_sendBuff = static_cast<u8*>(std::calloc(pSP->_sendBuffSize, 1));
    if (pSP->_sendBuff == nullptr || pSP->_wakeFd < 0) {
        NK_REPORT_AS("CNK_serial", kNKErr_memoryAllocationFailed, "pSP->_sendBuff!=NULL");
        delete pSP;
        return nullptr;
    }
    pSP->_baudRate = baudRate;
    pSP->_format = format;
    return pSP;
}

CNK_serial* CNK_serial::create(const char* path, u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB) {
    if (!path) {
        NK_REPORT_AS("CNK_serial", kNKErr_invalidPointer, "path!=NULL");
        return nullptr;
    }
    CNK_serial* pSP = makePort(baudRate, format, bufferSizeKB, nullptr);
    if (pSP) pSP->_bsdPath = path;
    return pSP;
}

CNK_serial* CNK_serial::create(CNK_usbDev* pUsbDev, u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB,
                               const char* expectPath) {
    if (!pUsbDev) {
        NK_REPORT_AS("CNK_serial", kNKErr_invalidParam, "pUsbDev!=NULL");
        return nullptr;
    }
    CNK_serial* pSP = makePort(baudRate, format, bufferSizeKB, pUsbDev);
    if (!pSP) return nullptr;
    // The device's own serial function, never another board's.
    char path[1024];
    if (pUsbDev->getBsdPath(path, sizeof(path)) != kNKErr_OK) {
        NK_REPORT_AS("CNK_serial", kNKErr_serialCannotFindDevice, "pSP->_bsdPath.size()>0");
        delete pSP;
        return nullptr;
    }
    pSP->_bsdPath = path;
    std::printf(". found \"%s\" for \"%s\"\n", path, pUsbDev->devInfo.name.c_str());
    if (expectPath && pSP->_bsdPath != expectPath) {
        std::printf(". badPath Mismatch \"%s\" to match \"%s\"\n", path, expectPath);
        delete pSP;
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(pSP->_linkMtx);
        pSP->_usbDev = pUsbDev;
    }
    pUsbDev->setCallback(kSerialIdSril, pSP);
    return pSP;
}

CNK_serial* CNK_serial::create(u16 vendorId, u16 productId, u32 locationID, u32 baudRate, t_nkSerialFormat format,
                               u8 bufferSizeKB, const char* expectPath) {
    CNK_usbDev* dev = CNK_usbDev::create(vendorId, productId, locationID);
    if (!dev) return nullptr;
    CNK_serial* pSP = create(dev, baudRate, format, bufferSizeKB, expectPath);
    // The device was made here: without a port it has no other owner.
    if (!pSP) delete dev;
    return pSP;
}

void CNK_serial::setCallback(u32 id, INK_SerialCallback* callback) {
    NK_VALID_OR_RETURN_VOID();
    std::lock_guard<std::mutex> lock(_linkMtx);
    if (callback && _callback) {
        if (nkObj_isValid(logManager)) logManager->printText(kVL1, "[Err] %s Only Accept One Callback", name);
        return;
    }
    _callbackId = id;
    _callback = callback;
}

void CNK_serial::onUsbDevDisconnected(u32, t_nkUsbDevInfo& info) {
    std::shared_ptr<NK_unplugGate> gate;
    {
        std::lock_guard<std::mutex> lock(_linkMtx);
        // Already let go: the owner is deleting this port.
        if (!_usbDev) return;
        _usbDev = nullptr;
        gate = _gate;
    }
    if (!gate->beginUnplug()) return;
    // A read waiting on the line ends now instead of at its time-out.
    _unplugged = true;
    const u64 one = 1;
    if (write(_wakeFd, &one, sizeof(one)) < 0) {
    }
    u32 id;
    INK_SerialCallback* callback;
    {
        std::lock_guard<std::mutex> lock(_linkMtx);
        id = _callbackId;
        callback = _callback;
    }
    {
        std::lock_guard<std::mutex> lock(_mtx);
        closeLocked();
    }
    gate->tornDown();
    t_nkUsbDevInfo copy = info;
    if (callback) callback->onSerialDisconnected(id, copy);
    if (gate->mayDelete()) delete this;
    gate->finished();
}

u32 CNK_serial::byteTimeUs() const {
    const float us = 1000000.0f / (static_cast<float>(_baudRate) * 0.125f);
    const u32 t = static_cast<u32>(us);
    return t < 1 ? 1 : t;
}

// ---------------------------------------------------------------- open and close

u16 CNK_serial::Open() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (_unplugged) {
        NK_REPORT(kNKErr_serialOpenError, "_fd>0");
        return kNKErr_serialOpenError;
    }
    if (!(_fd < 1)) {
        NK_REPORT(kNKErr_serialAlreadyOpen, "_fd<1");
        closeLocked();
        return kNKErr_serialAlreadyOpen;
    }
    const double t0 = nowMs();
    int fd = open(_bsdPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) fd = keepOffZero(fd);
    pf::number::print(stdout, ". open device \"%s\" in %.3f sec\n", _bsdPath.c_str(), (nowMs() - t0) / 1000.0);
    if (fd < 1) {
        NK_REPORT_AS(name, kNKErr_serialOpenError, "_fd>0");
        return kNKErr_serialOpenError;
    }
    _fd = fd;
    std::printf(". backup original settings\n");
    auto saved = std::make_unique<termios>();
    if (tcgetattr(_fd, saved.get()) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "");
        closeLocked();
        return kNKErr_serialCtrlError;
    }
    _savedAttr = std::move(saved);
    std::printf(". set baudrate, data format\n");
    termios t = *_savedAttr;
    if (!applyRawMode(t, _baudRate, _format) || tcsetattr(_fd, TCSANOW, &t) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "");
        closeLocked();
        return kNKErr_serialCtrlError;
    }
    // Non-blocking was only for the open itself (a modem line must not hold it up).
    if (setNonBlocking(_fd, false) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "");
        closeLocked();
        return kNKErr_serialCtrlError;
    }
    return kNKErr_OK;
}

void CNK_serial::closeLocked() {
    dropInput();
    if (_fd == 0) return;
    if (_savedAttr) tcsetattr(_fd, TCSANOW, _savedAttr.get());
    _savedAttr.reset();
    tcflush(_fd, TCOFLUSH);
    close(_fd);
    _fd = 0;
}

void CNK_serial::Close() {
    NK_VALID_OR_RETURN_VOID();
    if (_fd > 0 && !_unplugged) clear_readBuffer();
    std::lock_guard<std::mutex> lock(_mtx);
    closeLocked();
}

u16 CNK_serial::drainLocked(const char* func) {
    if (!(_fd > 0)) {
        NK_REPORT_IN(func, kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    if (setNonBlocking(_fd, true) != 0) {
        NK_REPORT_IN(func, kNKErr_serialCtrlError, "ctl_rtn==0");
        return kNKErr_serialCtrlError;
    }
    dropInput();
    const long long deadline = nowNs() + 5000000000LL;
    u8 chunk[4096];
    u16 rc = kNKErr_OK;
    for (;;) {
        const ssize_t n = read(_fd, chunk, sizeof(chunk));
        if (n == 0 || (n < 0 && errno == EAGAIN)) break;
        if (nowNs() >= deadline) {
            NK_REPORT_IN(func, kNKErr_timeout, "");
            NK_REPORT_IN(func, kNKErr_timeout, "");
            rc = kNKErr_timeout;
            break;
        }
    }
    setNonBlocking(_fd, false);
    return rc;
}

u16 CNK_serial::clear_readBuffer() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    return drainLocked(__func__);
}

// ---------------------------------------------------------------- writes

u16 CNK_serial::writeLocked(const char* func, const u8* data, u32 length) {
    const ssize_t n = write(_fd, data, length);
    if (n == -1) {
        NK_REPORT_IN(func, kNKErr_serialWriteError, "");
        return kNKErr_serialWriteError;
    }
    if (static_cast<u32>(n) != length) {
        NK_REPORT_IN(func, kNKErr_serialWriteAbnormal, "");
        return kNKErr_serialWriteAbnormal;
    }
    return kNKErr_OK;
}

u16 CNK_serial::Write(u8* data, u32 length) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "sendBuff!=NULL");
        return kNKErr_invalidPointer;
    }
    if (length > _sendBuffSize) {
        NK_REPORT(kNKErr_invalidBufferSize, "length<=_sendBuffSize");
        return kNKErr_invalidBufferSize;
    }
    std::memcpy(_sendBuff, data, length);
    return writeLocked(__func__, _sendBuff, length);
}

u16 CNK_serial::Write(char* format, ...) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    if (!format) {
        NK_REPORT(kNKErr_invalidPointer, "format!=NULL");
        return kNKErr_invalidPointer;
    }
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(reinterpret_cast<char*>(_sendBuff), _sendBuffSize, format, args);
    va_end(args);
    if (n < 0 || static_cast<u32>(n) >= _sendBuffSize) {
        NK_REPORT(kNKErr_invalidBufferSize, "len<_sendBuffSize");
        return kNKErr_invalidBufferSize;
    }
    return writeLocked(__func__, _sendBuff, static_cast<u32>(n));
}

u16 CNK_serial::Write_modBus_rtu(u8 address, u8 function, void* data, int dataLen) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "data!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!(0 < dataLen)) {
        NK_REPORT(kNKErr_invalidParam, "0<dataLen && dataLen<_sendBuffSize");
        return kNKErr_invalidParam;
    }
    if (static_cast<u64>(dataLen) + 4 > _sendBuffSize) {
        NK_REPORT(kNKErr_invalidBufferSize, "dataLen+4<=_sendBuffSize");
        return kNKErr_invalidBufferSize;
    }
    const double t0 = nowMs();
    const size_t frameLen = static_cast<size_t>(dataLen) + 4;
    buildRtuFrame(address, function, static_cast<const u8*>(data), static_cast<size_t>(dataLen), _sendBuff);
    const u16 rc = writeLocked(__func__, _sendBuff, static_cast<u32>(frameLen));
    if (rc) return rc;
    printFrame("send", frameLen, nowMs() - t0, _sendBuff);
    return kNKErr_OK;
}

u16 CNK_serial::Write_modBus_ascii(u8 address, u8 function, u8* data, int dataLen) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "data!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!(0 < dataLen)) {
        NK_REPORT(kNKErr_invalidParam, "0<dataLen && dataLen<_sendBuffSize");
        return kNKErr_invalidParam;
    }
    // The text and its NUL: 2 x (dataLen + 4) digits, the colon and CR LF.
    if (2 * static_cast<u64>(dataLen) + 12 > _sendBuffSize) {
        NK_REPORT(kNKErr_invalidBufferSize, "2*dataLen+12<=_sendBuffSize");
        return kNKErr_invalidBufferSize;
    }
    std::vector<u8> frame(static_cast<size_t>(dataLen) + 4);
    buildRtuFrame(address, function, data, static_cast<size_t>(dataLen), frame.data());
    const size_t n = hexFrameText(frame.data(), frame.size(), reinterpret_cast<char*>(_sendBuff));
    return writeLocked(__func__, _sendBuff, static_cast<u32>(n));
}

// ---------------------------------------------------------------- reads

int CNK_serial::waitReadable(long long deadlineNs) {
    for (;;) {
        if (_unplugged) return -1;
        if (_rxPos < _rx.size()) return 1;
        const long long left = deadlineNs - nowNs();
        if (left <= 0) return 0;
        pollfd p[2] = {{_fd, POLLIN, 0}, {_wakeFd, POLLIN, 0}};
        const int ms = static_cast<int>((left + 999999) / 1000000);
        const int rc = poll(p, 2, ms);
        if (rc < 0 && errno != EINTR) return -1;
        if (p[1].revents) return -1;
        if (rc > 0 && p[0].revents) return 1;
    }
}

namespace {

// Common frame of every read: arguments, open port, non-blocking while it runs.
struct ReadScope {
    int fd;
    bool ok = false;
    explicit ReadScope(int f) : fd(f) { ok = setNonBlocking(fd, true) == 0; }
    ~ReadScope() {
        if (ok) setNonBlocking(fd, false);
    }
};

// One read: >0 bytes, 0 nothing yet, -1 a real error.
ssize_t readSome(int fd, void* buf, size_t n) {
    const ssize_t r = read(fd, buf, n);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return r;
}

u32 clampTimeout(u32 ms, u32 lo, u32 hi) { return ms < lo ? lo : (ms > hi ? hi : ms); }

}  // namespace

#define NK_READ_PREAMBLE(buffName)                                     \
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);                     \
    if (!buffName) {                                                   \
        NK_REPORT(kNKErr_invalidPointer, "recvBuff!=NULL");            \
        return kNKErr_invalidPointer;                                  \
    }                                                                  \
    if (!pRecvLeng) {                                                  \
        NK_REPORT(kNKErr_invalidPointer, "pRecvLeng!=NULL");           \
        return kNKErr_invalidPointer;                                  \
    }                                                                  \
    if (!(*pRecvLeng > 0)) {                                           \
        NK_REPORT(kNKErr_invalidParam, "*pRecvLeng>0");                \
        return kNKErr_invalidParam;                                    \
    }                                                                  \
    std::lock_guard<std::mutex> lock(_mtx);                            \
    if (!(_fd > 0)) {                                                  \
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");                   \
        return kNKErr_invalidCondition;                                \
    }                                                                  \
    ReadScope scope(_fd);                                              \
    if (!scope.ok) {                                                   \
        NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");               \
        return kNKErr_serialCtrlError;                                 \
    }

#define NK_READ_ERROR()                                   \
    do {                                                  \
        NK_REPORT(kNKErr_serialReadError, "len!=-1");     \
        NK_REPORT(kNKErr_serialReadError, "len!=-1");     \
        return kNKErr_serialReadError;                    \
    } while (0)

ssize_t CNK_serial::takeInput(void* buf, size_t n) {
    if (_rxPos < _rx.size()) {
        const size_t k = std::min(n, _rx.size() - _rxPos);
        std::memcpy(buf, _rx.data() + _rxPos, k);
        _rxPos += k;
        return static_cast<ssize_t>(k);
    }
    return readSome(_fd, buf, n);
}

// 1 a byte, 0 the deadline passed, -1 a read error or the device is gone.
int CNK_serial::nextByte(char* c, long long deadlineNs) {
    for (;;) {
        if (_rxPos < _rx.size()) {
            *c = _rx[_rxPos++];
            return 1;
        }
        _rx.resize(4096);
        _rxPos = 0;
        const ssize_t n = readSome(_fd, _rx.data(), _rx.size());
        _rx.resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (n < 0) return -1;
        if (n > 0) continue;
        const int w = waitReadable(deadlineNs);
        if (w <= 0) return w;
    }
}

u16 CNK_serial::Read(u8* recvBuff, u32* pRecvLeng, u32 timeoutMs) {
    NK_READ_PREAMBLE(recvBuff)
    const u32 want = *pRecvLeng;
    const long long deadline = nowNs() + static_cast<long long>(clampTimeout(timeoutMs, 100, 20000)) * 1000000;
    u32 got = 0;
    while (got < want) {
        const int w = waitReadable(deadline);
        if (w < 0) NK_READ_ERROR();
        if (w == 0) break;
        const ssize_t n = takeInput(recvBuff + got, want - got);
        if (n < 0) NK_READ_ERROR();
        got += static_cast<u32>(n);
    }
    *pRecvLeng = got;
    if (got == 0) {
        NK_REPORT(kNKErr_serialReadTimeout, "");
        return kNKErr_serialReadTimeout;
    }
    return kNKErr_OK;
}

u16 CNK_serial::Read(char* recvBuff, u32* pRecvLeng, u32 timeoutMs) {
    NK_READ_PREAMBLE(recvBuff)
    const u32 cap = *pRecvLeng;
    const long long deadline = nowNs() + static_cast<long long>(clampTimeout(timeoutMs, 100, 20000)) * 1000000;
    for (;;) {
        const int w = waitReadable(deadline);
        if (w < 0) NK_READ_ERROR();
        if (w == 0) break;
        const ssize_t n = takeInput(recvBuff, cap);
        if (n < 0) NK_READ_ERROR();
        if (n > 0) {
            *pRecvLeng = static_cast<u32>(n);
            return kNKErr_OK;
        }
    }
    *pRecvLeng = 0;
    NK_REPORT(kNKErr_serialReadTimeout, "");
    return kNKErr_serialReadTimeout;
}

u16 CNK_serial::Read(char* recvBuff, u32* pRecvLeng, char* delimiter, u32 timeoutMs, u32 pollUs) {
    (void)pollUs;  // reads wait in poll for data, not in fixed pauses
    if (!nkObj_isValid(this)) return kNKErr_objectNotAvailable;
    if (!delimiter || std::strlen(delimiter) == 0) {
        NK_REPORT(kNKErr_invalidParam, "delimiter!=NULL && strlen(delimiter)>0");
        return kNKErr_invalidParam;
    }
    NK_READ_PREAMBLE(recvBuff)
    const size_t dlen = std::strlen(delimiter);
    const u32 cap = *pRecvLeng;
    const long long deadline = nowNs() + static_cast<long long>(clampTimeout(timeoutMs, 0, 20000)) * 1000000;
    u32 got = 0;
    recvBuff[0] = '\0';
    for (;;) {
        char c;
        const int r = nextByte(&c, deadline);
        if (r < 0) NK_READ_ERROR();
        if (r == 0) break;
        recvBuff[got++] = c;
        if (got >= cap) {
            std::printf(". receive %ld\n", static_cast<long>(got));
            *pRecvLeng = got;
            NK_REPORT(kNKErr_invalidBufferSize, "");
            return kNKErr_invalidBufferSize;
        }
        recvBuff[got] = '\0';
        // Only the tail can newly hold the delimiter.
        if (endsWith(recvBuff, got, delimiter, dlen)) {
            *pRecvLeng = got;
            return kNKErr_OK;
        }
    }
    *pRecvLeng = got;
    NK_REPORT_AS(name, kNKErr_serialReadTimeout, "");
    return kNKErr_serialReadTimeout;
}

u16 CNK_serial::Read_modBus_rtu(u8* recvBuff, u32* pRecvLeng, u32 timeoutMs) {
    if (!nkObj_isValid(this)) return kNKErr_objectNotAvailable;
    if (pRecvLeng && *pRecvLeng > 0 && *pRecvLeng < 4) {
        NK_REPORT(kNKErr_invalidParam, "*pRecvLeng>=4");
        return kNKErr_invalidParam;
    }
    NK_READ_PREAMBLE(recvBuff)
    const double t0 = nowMs();
    const u32 bufferSize = *pRecvLeng;
    const long long deadline = nowNs() + static_cast<long long>(clampTimeout(timeoutMs, 0, 20000)) * 1000000;
    u32 receivedLeng = 0;
    while (receivedLeng < bufferSize) {
        const int w = waitReadable(deadline);
        if (w < 0) NK_READ_ERROR();
        if (w == 0) break;
        const ssize_t n = takeInput(recvBuff + receivedLeng, bufferSize - receivedLeng);
        if (n < 0) NK_READ_ERROR();
        receivedLeng += static_cast<u32>(n);
    }
    printFrame("recv", receivedLeng, nowMs() - t0, recvBuff);
    *pRecvLeng = receivedLeng;
    if (receivedLeng != bufferSize) {
        NK_REPORT(kNKErr_serialReadTimeout, "receivedLeng==bufferSize");
        return kNKErr_serialReadTimeout;
    }
    const u16 crc16 = nkUtil_crc16(recvBuff, receivedLeng - 2);
    const u16 stored = static_cast<u16>(recvBuff[receivedLeng - 2] | (recvBuff[receivedLeng - 1] << 8));
    if (crc16 != stored) {
        NK_REPORT(kNKErr_fixtModBus_crc_error, "crc16==*(uint16_t*)(recvBuff+receivedLeng-2)");
        return kNKErr_fixtModBus_crc_error;
    }
    return kNKErr_OK;
}

u16 CNK_serial::Read_modBus_ascii(char* recvBuff, u32* pRecvLeng, u32 timeoutMs) {
    if (!nkObj_isValid(this)) return kNKErr_objectNotAvailable;
    if (pRecvLeng && *pRecvLeng > 0 && *pRecvLeng < 4) {
        NK_REPORT(kNKErr_invalidParam, "*pRecvLeng>=4");
        return kNKErr_invalidParam;
    }
    NK_READ_PREAMBLE(recvBuff)
    const u32 cap = *pRecvLeng;
    const long long deadline = nowNs() + static_cast<long long>(clampTimeout(timeoutMs, 0, 20000)) * 1000000;
    u32 got = 0;
    recvBuff[0] = '\0';
    for (;;) {
        char c;
        const int r = nextByte(&c, deadline);
        if (r < 0) NK_READ_ERROR();
        if (r == 0) break;
        recvBuff[got++] = c;
        if (got >= cap) {
            *pRecvLeng = got;
            NK_REPORT(kNKErr_invalidBufferSize, "");
            return kNKErr_invalidBufferSize;
        }
        recvBuff[got] = '\0';
        if (endsWith(recvBuff, got, "\r\n", 2)) {
            *pRecvLeng = got;
            return kNKErr_OK;
        }
    }
    *pRecvLeng = got;
    NK_REPORT(kNKErr_serialReadTimeout, "found==true");
    return kNKErr_serialReadTimeout;
}

// ---------------------------------------------------------------- flush and modem lines

u16 CNK_serial::Flush(u8 queue) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    int sel;
    switch (queue) {
    case 1: sel = TCIFLUSH; break;
    case 2: sel = TCOFLUSH; break;
    case 3: sel = TCIOFLUSH; break;
    default:
        NK_REPORT(kNKErr_invalidParam, "queue>=1 && queue<=3");
        return kNKErr_invalidParam;
    }
    if (sel != TCOFLUSH) dropInput();
    if (tcflush(_fd, sel) != 0) {
        if (nkObj_isValid(logManager)) logManager->printText(kVL1, ". Error %s\n", std::strerror(errno));
        NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
        return kNKErr_serialCtrlError;
    }
    return kNKErr_OK;
}

int CNK_serial::modemGet(int bit) {
    NK_VALID_OR_RETURN(-1);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return -1;
    }
    int bits = 0;
    if (g_modemIoctl.load()(_fd, TIOCMGET, &bits) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
        return -1;
    }
    return (bits & bit) ? 1 : 0;
}

u16 CNK_serial::modemSet(int bit, bool on) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    int bits = 0;
    if (g_modemIoctl.load()(_fd, TIOCMGET, &bits) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
        return kNKErr_serialCtrlError;
    }
    bits = on ? (bits | bit) : (bits & ~bit);
    if (g_modemIoctl.load()(_fd, TIOCMSET, &bits) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
        return kNKErr_serialCtrlError;
    }
    return kNKErr_OK;
}

int CNK_serial::dtr_get() { return modemGet(TIOCM_DTR); }
int CNK_serial::dsr_get() { return modemGet(TIOCM_DSR); }
int CNK_serial::cts_get() { return modemGet(TIOCM_CTS); }
int CNK_serial::rts_get() { return modemGet(TIOCM_RTS); }
u16 CNK_serial::dtr_set(bool on) { return modemSet(TIOCM_DTR, on); }
u16 CNK_serial::dsr_set(bool on) { return modemSet(TIOCM_DSR, on); }
u16 CNK_serial::cts_set(bool on) { return modemSet(TIOCM_CTS, on); }
u16 CNK_serial::rts_set(bool on) { return modemSet(TIOCM_RTS, on); }
