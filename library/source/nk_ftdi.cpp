// Serial port of a USB-serial bridge chip on the USB board base.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "nk_serial.h"
#include "nk_serial_internal.h"
#include "nk_utils.h"
#include "number/pf_number.h"
#include "usb/pf_usb.h"

namespace {

#define NK_REPORT_AS(objName, code, cond) \
    nkDebug_printError(nullptr, __FILE__, (objName), __func__, __LINE__, (uint16_t)(code), (cond))

constexpr size_t kRecvChunk = 4096;
constexpr size_t kDrainChunk = 256;

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int setNonBlocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

long long deadlineAfter(double timeoutMs) {
    if (!(timeoutMs > 0)) timeoutMs = 0;
    if (timeoutMs > 20000) timeoutMs = 20000;
    return nowNs() + static_cast<long long>(timeoutMs * 1e6);
}

std::vector<u8> rtuFrame(u8 address, u8 function, const std::vector<u8>& data) {
    std::vector<u8> f;
    f.reserve(data.size() + 4);
    f.push_back(address);
    f.push_back(function);
    f.insert(f.end(), data.begin(), data.end());
    const u16 crc = nkUtil_crc16(f);
    f.push_back(static_cast<u8>(crc & 0xFF));
    f.push_back(static_cast<u8>(crc >> 8));
    return f;
}

}  // namespace

CNK_ftdi::CNK_ftdi(u32 ioObject, u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB) : CNK_usb(ioObject) {
    NK_CLASS_NAME();
    setup(baudRate, format, bufferSizeKB);
}

CNK_ftdi::CNK_ftdi(u16 vendorId, u16 productId, u32 baudRate, t_nkSerialFormat format, u8 port, u8 bufferSizeKB)
    : CNK_usb(vendorId, productId, port) {
    NK_CLASS_NAME();
    setup(baudRate, format, bufferSizeKB);
}

void CNK_ftdi::setup(u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB) {
    (void)bufferSizeKB;  // sends go out from the caller's bytes; no staging buffer is needed
    _wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!devInfo().isValid()) {
        NK_REPORT_AS(name, kNKErr_invalidCondition, "_devInfo.isValid()");
        return;
    }
    if (!(baudRate > 0)) {
        NK_REPORT_AS(name, kNKErr_invalidParam, "baudRate>0");
        return;
    }
    if (!(format >= k_nkSerialFormat_8N1 && format <= k_nkSerialFormat_7E1)) {
        NK_REPORT_AS(name, kNKErr_invalidParam, "format>=kNkSerialFormat_8N1 && format<=kNkSerialFormat_7E1");
        return;
    }
    // The tty of this very device, never another adapter's.
    const std::string path = pf::usb::ttyOf(usbDevHandle());
    if (path.empty()) {
        NK_REPORT_AS(name, kNKErr_serialCannotFindDevice, "bsdPath.size()>0");
        return;
    }
    std::printf(". found \"%s\" for %s [%s,0x%08X]\n", path.c_str(), devInfo().name.c_str(), devInfo().serial.c_str(),
                devInfo().locationID);
    _bsdPath = path;
    _baudRate = baudRate;
    _format = format;
}

CNK_ftdi::~CNK_ftdi() {
    // Settles with a running unplug first; the line is this object's own either way.
    claimDestruction();
    {
        std::lock_guard<std::mutex> lock(_mtx);
        closeLocked();
    }
    if (_wakeFd >= 0) close(_wakeFd);
}

u16 CNK_ftdi::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_ftdi::deviceGone() {
    _gone = true;
    const u64 one = 1;
    if (write(_wakeFd, &one, sizeof(one)) < 0) {
    }
}

int CNK_ftdi::waitReadable(long long deadlineNs) {
    for (;;) {
        if (_gone) return -1;
        const long long left = deadlineNs - nowNs();
        if (left <= 0) return 0;
        pollfd p[2] = {{_fd, POLLIN, 0}, {_wakeFd, POLLIN, 0}};
        const int rc = poll(p, 2, static_cast<int>((left + 999999) / 1000000));
        if (rc < 0 && errno != EINTR) return -1;
        if (p[1].revents) return -1;
        if (rc > 0 && p[0].revents) return 1;
    }
}

// ---------------------------------------------------------------- open and close

u16 CNK_ftdi::open_device() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_bsdPath.size() > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_bsdPath.size()>0");
        return kNKErr_invalidCondition;
    }
    if (!(_fd < 1)) {
        NK_REPORT(kNKErr_serialAlreadyOpen, "_fd<1");
        closeLocked();
        return kNKErr_serialAlreadyOpen;
    }
    const auto t0 = std::chrono::steady_clock::now();
    int fd = open(_bsdPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == 0) {
        // Descriptor 0 reads as "closed": move it up.
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = moved;
    }
    pf::number::print(stdout, ". open device \"%s\" in %.3f sec\n", _bsdPath.c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
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
    if (nkSerial_rawAttributes(&t, _baudRate, _format) != 0 || tcsetattr(_fd, TCSANOW, &t) != 0 ||
        setNonBlocking(_fd, false) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "");
        closeLocked();
        return kNKErr_serialCtrlError;
    }
    return kNKErr_OK;
}

void CNK_ftdi::closeLocked() {
    if (_fd == 0) return;
    if (_savedAttr) tcsetattr(_fd, TCSANOW, _savedAttr.get());
    _savedAttr.reset();
    tcflush(_fd, TCOFLUSH);
    close(_fd);
    _fd = 0;
}

void CNK_ftdi::close_device() {
    NK_VALID_OR_RETURN_VOID();
    if (_fd > 0 && !_gone) clear_recvBuffer(0);
    std::lock_guard<std::mutex> lock(_mtx);
    closeLocked();
}

void CNK_ftdi::clear_recvBuffer(double timeoutMs) {
    NK_VALID_OR_RETURN_VOID();
    std::lock_guard<std::mutex> lock(_mtx);
    drainLocked(__func__, timeoutMs);
}

void CNK_ftdi::drainLocked(const char* func, double timeoutMs) {
    if (!(_fd > 0)) {
        NK_REPORT_IN(func, kNKErr_invalidCondition, "_fd>0");
        return;
    }
    if (setNonBlocking(_fd, true) != 0) {
        NK_REPORT_IN(func, kNKErr_serialCtrlError, "ctl_rtn==0");
        return;
    }
    u8 chunk[kDrainChunk];
    if (!(timeoutMs > 0)) {
        if (read(_fd, chunk, sizeof(chunk)) < 0) {
        }
    } else {
        // Discards what comes for the whole time, waiting in poll between reads.
        const long long deadline = nowNs() + static_cast<long long>(timeoutMs * 1e6);
        for (;;) {
            const int w = waitReadable(deadline);
            if (w <= 0) break;
            const ssize_t n = read(_fd, chunk, sizeof(chunk));
            if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        }
    }
    setNonBlocking(_fd, false);
}

// ---------------------------------------------------------------- sends

u16 CNK_ftdi::sendLocked(const char* func, const u8* data, size_t dataLeng) {
    if (!(_fd > 0)) {
        NK_REPORT_IN(func, kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    if (!data) {
        NK_REPORT_IN(func, kNKErr_invalidPointer, "data!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!(dataLeng > 0)) {
        NK_REPORT_IN(func, kNKErr_invalidPointer, "dataLeng>0");
        return kNKErr_invalidPointer;
    }
    const ssize_t len = write(_fd, data, dataLeng);
    if (len == 0) {
        NK_REPORT_IN(func, kNKErr_serialWriteError, "len>0");
        return kNKErr_serialWriteError;
    }
    if (len < 0 || static_cast<size_t>(len) != dataLeng) {
        NK_REPORT_IN(func, kNKErr_serialWriteAbnormal, "len==dataLeng");
        return kNKErr_serialWriteAbnormal;
    }
    return kNKErr_OK;
}

u16 CNK_ftdi::send(const u8* data, size_t dataLeng) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    return sendLocked(__func__, data, dataLeng);
}

u16 CNK_ftdi::send(const std::string& data) { return send(reinterpret_cast<const u8*>(data.data()), data.size()); }

u16 CNK_ftdi::send(const std::vector<u8>& data) { return send(data.data(), data.size()); }

u16 CNK_ftdi::send(char* format, ...) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    if (!format) {
        NK_REPORT(kNKErr_invalidPointer, "format!=NULL");
        return kNKErr_invalidPointer;
    }
    // Measured first, then formatted into a buffer of exactly that size.
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        NK_REPORT(kNKErr_invalidFormat, "n>=0");
        return kNKErr_invalidFormat;
    }
    std::vector<char> text(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    const u16 rc = send(reinterpret_cast<const u8*>(text.data()), static_cast<size_t>(n));
    if (rc) NK_REPORT(rc, "");
    return rc;
}

u16 CNK_ftdi::send_modBus_rtu(u8 address, u8 function, const std::vector<u8>& data) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    if (!(data.size() > 0)) {
        NK_REPORT(kNKErr_invalidPointer, "data.size()>0");
        return kNKErr_invalidPointer;
    }
    const u16 rc = send(rtuFrame(address, function, data));
    if (rc) NK_REPORT(rc, "");
    return rc;
}

u16 CNK_ftdi::send_modBus_ascii(u8 address, u8 function, const std::vector<u8>& data) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    if (!(data.size() > 0)) {
        NK_REPORT(kNKErr_invalidPointer, "data.size()>0");
        return kNKErr_invalidPointer;
    }
    static const char digits[] = "0123456789ABCDEF";
    std::string text = ":";
    for (u8 b : rtuFrame(address, function, data)) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    text += "\r\n";
    const u16 rc = send(text);
    if (rc) NK_REPORT(rc, "");
    return rc;
}

// ---------------------------------------------------------------- receives

u16 CNK_ftdi::recv(std::string& data, const char* delimiter, double timeoutMs) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!delimiter) {
        NK_REPORT(kNKErr_invalidPointer, "delimiter!=NULL");
        return kNKErr_invalidPointer;
    }
    u16 rc = kNKErr_OK;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        if (!(_fd > 0)) {
            NK_REPORT(kNKErr_invalidCondition, "_fd>0");
            return kNKErr_invalidCondition;
        }
        if (setNonBlocking(_fd, true) != 0) {
            NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
            return kNKErr_serialCtrlError;
        }
        const long long deadline = deadlineAfter(timeoutMs);
        const size_t dlen = std::strlen(delimiter);
        bool found = false;
        data.clear();
        if (dlen > 0) {
            // One byte at a time, so nothing after the delimiter is taken from the line.
            while (!found) {
                char c;
                const ssize_t n = read(_fd, &c, 1);
                if (n == 1) {
                    data += c;
                    found = data.size() >= dlen && data.compare(data.size() - dlen, dlen, delimiter) == 0;
                    continue;
                }
                if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    rc = kNKErr_serialReadError;
                    break;
                }
                const int w = waitReadable(deadline);
                if (w < 0) {
                    rc = kNKErr_serialReadError;
                    break;
                }
                if (w == 0) break;
            }
        } else {
            std::vector<char> buf(kRecvChunk);
            for (;;) {
                const int w = waitReadable(deadline);
                if (w < 0) {
                    rc = kNKErr_serialReadError;
                    break;
                }
                if (w == 0) break;
                const ssize_t n = read(_fd, buf.data(), buf.size());
                if (n > 0) {
                    data.assign(buf.data(), static_cast<size_t>(n));
                    found = true;
                    break;
                }
                if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    rc = kNKErr_serialReadError;
                    break;
                }
            }
        }
        setNonBlocking(_fd, false);
        if (rc == kNKErr_serialReadError) {
            NK_REPORT(rc, "len!=-1");
            NK_REPORT(rc, "len!=-1");
        } else if (!found) {
            rc = kNKErr_serialReadTimeout;
            NK_REPORT(rc, "found==true");
        }
        // Drained before the mutex goes: once it is released an unplug may free this port.
        if (rc && !_gone) drainLocked(__func__, timeoutMs);
    }
    return rc;
}

u16 CNK_ftdi::recv(std::vector<u8>& data, double timeoutMs) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    data.clear();
    u16 rc = kNKErr_OK;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        if (!(_fd > 0)) {
            NK_REPORT(kNKErr_invalidCondition, "_fd>0");
            return kNKErr_invalidCondition;
        }
        if (setNonBlocking(_fd, true) != 0) {
            NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
            return kNKErr_serialCtrlError;
        }
        const long long deadline = deadlineAfter(timeoutMs);
        std::vector<u8> buf(kRecvChunk);
        for (;;) {
            const int w = waitReadable(deadline);
            if (w < 0) {
                rc = kNKErr_serialReadError;
                break;
            }
            if (w == 0) break;
            const ssize_t n = read(_fd, buf.data(), buf.size());
            if (n > 0) {
                data.assign(buf.begin(), buf.begin() + n);
                break;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                rc = kNKErr_serialReadError;
                break;
            }
        }
        setNonBlocking(_fd, false);
        if (rc == kNKErr_serialReadError) {
            NK_REPORT(rc, "len!=-1");
            NK_REPORT(rc, "len!=-1");
        } else if (!(data.size() > 0)) {
            rc = kNKErr_serialReadTimeout;
            NK_REPORT(rc, "data.size()>0");
        }
        if (rc && !_gone) drainLocked(__func__, timeoutMs);
    }
    return rc;
}

// ---------------------------------------------------------------- modem lines

u16 CNK_ftdi::get_modem_ctrl(int mask, bool& state) {
    if (!nkObj_isValid(this)) return 0xFFFF;
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    int bits = 0;
    if (nkSerial_modemIoctl(_fd, TIOCMGET, &bits) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
        return kNKErr_serialCtrlError;
    }
    state = (bits & mask) != 0;
    return kNKErr_OK;
}

u16 CNK_ftdi::set_modem_ctrl(int mask, bool state) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!(_fd > 0)) {
        NK_REPORT(kNKErr_invalidCondition, "_fd>0");
        return kNKErr_invalidCondition;
    }
    int bits = 0;
    if (nkSerial_modemIoctl(_fd, TIOCMGET, &bits) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
        return kNKErr_serialCtrlError;
    }
    // Every line of the mask already as asked: nothing to write.
    const bool already = state ? (bits & mask) == mask : (bits & mask) == 0;
    if (already) return kNKErr_OK;
    bits = state ? (bits | mask) : (bits & ~mask);
    if (nkSerial_modemIoctl(_fd, TIOCMSET, &bits) != 0) {
        NK_REPORT(kNKErr_serialCtrlError, "ctl_rtn==0");
        return kNKErr_serialCtrlError;
    }
    return kNKErr_OK;
}
