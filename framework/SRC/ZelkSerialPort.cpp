#include "ZelkSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "nk_serial.h"
#include "number/pf_number.h"
#include "usb/pf_usb.h"

namespace {

using Clock = std::chrono::steady_clock;

SInt32 fail(iZelk_SerialPort* s, const char* func, int line, SInt32 code) {
    ZERR_Report(s ? s->lm : nullptr, __FILE__, func, line, code);
    return code;
}
#define ZSRP_FAIL(s, func, code) fail((s), (func), __LINE__, (code))

int setNonBlocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

// One read of what is waiting: the bytes read, 0 for nothing yet (no data, a
// signal), -1 for a real failure of the line. The line stays blocking: poll says
// first whether anything waits, and with VMIN 0 a read of a readable line returns at
// once, so no pair of mode switches is spent on every call.
ssize_t readSome(int fd, void* p, size_t n) {
    pollfd pf{fd, POLLIN, 0};
    const int ready = poll(&pf, 1, 0);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    if ((pf.revents & POLLIN) == 0) return (pf.revents & (POLLHUP | POLLERR | POLLNVAL)) ? -1 : 0;
    const ssize_t r = ::read(fd, p, n);
    if (r > 0) return r;
    if (r == 0) return -1;  // readable yet nothing: the line hung up
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

// Up to n bytes: first what was read ahead, else one read of the line.
ssize_t takeInput(iZelk_SerialPort* s, void* p, size_t n) {
    const size_t held = s->readAhead.size() - s->readAheadPos;
    if (held == 0) return readSome(s->fd, p, n);
    const size_t k = std::min(held, n);
    std::memcpy(p, s->readAhead.data() + s->readAheadPos, k);
    s->readAheadPos += k;
    if (s->readAheadPos == s->readAhead.size()) {
        s->readAhead.clear();
        s->readAheadPos = 0;
    }
    return static_cast<ssize_t>(k);
}

// One byte, refilling the read-ahead with one read of what is waiting.
ssize_t takeByte(iZelk_SerialPort* s, char* c) {
    if (s->readAheadPos == s->readAhead.size()) {
        char chunk[4096];
        const ssize_t r = readSome(s->fd, chunk, sizeof(chunk));
        if (r <= 0) return r;
        s->readAhead.assign(chunk, static_cast<size_t>(r));
        s->readAheadPos = 0;
    }
    return takeInput(s, c, 1);
}

// Sleeps in poll until input is waiting or the deadline passes; false when the line
// hung up (its reads then return nothing at once, for ever).
bool waitInput(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return true;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30))) <= 0) return true;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

// Parity, data bits and stop bits of a frame format; 0 keeps the line's.
void formatBits(int format, char* parity, int* dataBits, int* stopBits) {
    *dataBits = 0;
    *stopBits = 0;
    switch (format) {
        case 1: *parity = 'O'; break;
        case 2: *parity = 'E'; break;
        case 3: *parity = 'E'; *dataBits = 7; break;
        case 4: *parity = 'E'; *dataBits = 7; *stopBits = 2; break;
        default: *parity = 'N'; break;
    }
}

SInt32 finishRead(iZelk_SerialPort* s, const char* func, SInt32 code) {
    if (code != kZErr_OK) return ZSRP_FAIL(s, func, code);
    return code;
}

SInt32 readText(iZelk_SerialPort* s, const char* func, const char* terminator, char* buffer, UInt32* size) {
    const UInt32 capacity = *size;
    const size_t termLen = terminator ? std::strlen(terminator) : 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(s->readTimeoutMs);
    UInt32 received = 0;
    bool failed = false, found = false;
    for (;;) {
        const UInt32 before = received;
        if (received < capacity) {
            const ssize_t r = takeInput(s, buffer + received, capacity - received);
            failed = r < 0;
            if (r > 0) received += static_cast<UInt32>(r);
        }
        if (!terminator || failed) break;
        if (received > before) {
            if (received < capacity) buffer[received] = '\0';
            // Only where the terminator can end in the new bytes, and never past what came.
            const UInt32 from = before >= termLen ? before - static_cast<UInt32>(termLen) + 1 : 0;
            if (memmem(buffer + from, received - from, terminator, termLen) != nullptr) {
                found = true;
                break;
            }
        }
        if (received >= capacity || Clock::now() >= deadline) break;
        if (!waitInput(s->fd, deadline)) {
            failed = true;
            break;
        }
    }
    *size = received;
    SInt32 code = kZErr_OK;
    if (failed) code = kZErr_deviceReadError;
    else if (received >= capacity) code = kZErr_insufficientBufferSize;
    else if (terminator && !found && s->readTimeoutMs != 0) code = kZErr_deviceReadTimeout;
    else ZLM_PrintText(s->lm, 2, "recv: %.*s", static_cast<int>(received), buffer);
    return finishRead(s, func, code);
}

SInt32 writeAll(iZelk_SerialPort* s, const char* func, const void* data, UInt32 length) {
    ssize_t w;
    do {
        w = ::write(s->fd, data, length);
    } while (w < 0 && errno == EINTR);
    if (w < 0) return ZSRP_FAIL(s, func, kZErr_deviceWriteError);
    if (static_cast<UInt32>(w) < length) return ZSRP_FAIL(s, func, kZErr_deviceWriteAbnormal);
    return kZErr_OK;
}

SInt32 writeText(iZelk_SerialPort* s, const char* func, const char* format, va_list ap) {
    const int n = pf::number::vformat(s->writeBuff, s->bufferSize, format, ap);
    if (n < 0) return ZSRP_FAIL(s, func, kZErr_invalidParam);
    // A command cut to the buffer would reach the instrument as a different one.
    if (static_cast<UInt32>(n) >= s->bufferSize) return ZSRP_FAIL(s, func, kZErr_insufficientBufferSize);
    ZLM_PrintText(s->lm, 2, "send: %s", s->writeBuff);
    return writeAll(s, func, s->writeBuff, static_cast<UInt32>(n));
}

SInt32 writeConfirm(iZelk_SerialPort* s, const char* func, const char* terminator, const char* expected,
                    const char* format, va_list ap) {
    if (!s || !expected || !format) return ZSRP_FAIL(s, func, kZErr_invalidParam);
    SInt32 code = writeText(s, func, format, ap);
    if (code != kZErr_OK) return code;
    // The instrument's time to act on the command before it answers.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    UInt32 size = s->bufferSize;
    code = readText(s, func, terminator, s->replyBuff, &size);
    if (code != kZErr_OK) return code;
    s->replyBuff[size] = '\0';  // size < bufferSize on success
    if (strcasestr(s->replyBuff, expected) == nullptr) return ZSRP_FAIL(s, func, kZErr_deviceCmdFailed);
    return kZErr_OK;
}

void freePort(iZelk_SerialPort* s) {
    std::free(s->writeBuff);
    std::free(s->replyBuff);
    delete s;
}

}  // namespace

SInt32 iZelk_SerialPort::Write(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const SInt32 code = ZSRP_VWrite(this, format, ap);
    va_end(ap);
    return code;
}

SInt32 iZelk_SerialPort::WriteConfirm(const char* terminator, const char* expected, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const SInt32 code = ZSRP_VWriteConfirm(this, terminator, expected, format, ap);
    va_end(ap);
    return code;
}

iZelk_SerialPort* ZSRP_Create(iZelk_LogManager* lm, const char* namePattern, UInt32 baudRate, int format,
                              UInt16 bufferSize, UInt8 readTimeoutSec) {
    static const char* const kFn = "ZSRP_Create";
    ZLM_PrintText(lm, 2, "*** Create ZT Serial ***");
    if (!namePattern || bufferSize == 0) {
        ZERR_REPORT_IN(lm, kFn, kZErr_invalidParam);
        return nullptr;
    }
    ZLM_PrintText(lm, 2, ".search for %s", namePattern);
    std::string path;
    const std::vector<pf::usb::TtyNode> ttys = pf::usb::ttyList();
    for (size_t i = 0; i < ttys.size(); ++i) {
        ZLM_PrintText(lm, 3, "\t[%02d] %s (%s)", static_cast<int>(i), ttys[i].path.c_str(), ttys[i].baseName.c_str());
        if (ttys[i].path.find(namePattern) != std::string::npos) {
            path = ttys[i].path;
            ZLM_PrintText(lm, 3, "\tfound, bsdPath=%s", path.c_str());
            break;
        }
    }
    if (path.empty()) {
        ZERR_REPORT_IN(lm, kFn, kZErr_objectNotAvailable);
        return nullptr;
    }

    ZLM_PrintText(lm, 2, ".allocate memory");
    iZelk_SerialPort* s = new (std::nothrow) iZelk_SerialPort();
    if (s) {
        s->writeBuff = static_cast<char*>(std::calloc(bufferSize, 1));
        s->replyBuff = static_cast<char*>(std::calloc(bufferSize, 1));
    }
    if (!s || !s->writeBuff || !s->replyBuff) {
        if (s) freePort(s);
        ZERR_REPORT_IN(lm, kFn, kZErr_memAllocationFailed);
        return nullptr;
    }
    s->bufferSize = bufferSize;
    s->name = path;
    s->path = path;
    ZLM_PrintText(lm, 2, ".set log manager");
    s->lm = lm;

    ZLM_PrintText(lm, 2, ".open device");
    SInt32 code = kZErr_OK;
    s->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s->fd < 0) code = kZErr_deviceOpenError;
    if (code == kZErr_OK) {
        ZLM_PrintText(lm, 2, ".modify device attributes");
        if (setNonBlocking(s->fd, false) != 0 || tcgetattr(s->fd, &s->savedAttr) != 0) code = kZErr_deviceCtrlError;
    }
    if (code == kZErr_OK) {
        s->attrSaved = true;
        termios t = s->savedAttr;
        code = ZSRP_ApplyLineSettings(&t, baudRate, format);
        if (code == kZErr_OK && tcsetattr(s->fd, TCSANOW, &t) != 0) code = kZErr_deviceCtrlError;
    }
    if (code != kZErr_OK) {
        ZERR_REPORT_IN(lm, kFn, code);
        ZSRP_Delete(&s);
        return nullptr;
    }
    s->readTimeoutMs = static_cast<UInt32>(readTimeoutSec) * 1000u;
    return s;
}

SInt32 ZSRP_ApplyLineSettings(termios* t, UInt32 baudRate, int format) {
    if (!t) return kZErr_invalidParam;
    char parity;
    int dataBits, stopBits;
    formatBits(format, &parity, &dataBits, &stopBits);
    return nkSerial_rawLineAttributes(t, baudRate, parity, dataBits, stopBits) == 0 ? kZErr_OK
                                                                                     : kZErr_deviceCtrlError;
}

void ZSRP_Delete(iZelk_SerialPort** handle) {
    if (!handle || !*handle) return;
    iZelk_SerialPort* s = *handle;
    ZLM_PrintText(s->lm, 2, "*** Delete ZT Serial ***");
    if (s->attrSaved && s->fd >= 0) {
        ZLM_PrintText(s->lm, 2, ".restore device attributes");
        (void)tcsetattr(s->fd, TCSANOW, &s->savedAttr);
        s->attrSaved = false;
    }
    if (s->fd >= 0) {
        ZLM_PrintText(s->lm, 2, ".close device");
        (void)setNonBlocking(s->fd, true);
        close(s->fd);
        s->fd = -1;
    }
    ZLM_PrintText(s->lm, 2, ".release memory");
    freePort(s);
    *handle = nullptr;
}

SInt32 ZSRP_SetDTR(iZelk_SerialPort* s, bool on) {
    static const char* const kFn = "ZSRP_SetDTR";
    if (!s || s->fd < 0) return ZSRP_FAIL(s, kFn, kZErr_invalidParam);
    int bits = 0;
    if (nkSerial_modemIoctl(s->fd, TIOCMGET, &bits) != 0) return ZSRP_FAIL(s, kFn, kZErr_deviceCtrlError);
    bits = on ? (bits | TIOCM_DTR) : (bits & ~TIOCM_DTR);
    if (nkSerial_modemIoctl(s->fd, TIOCMSET, &bits) != 0) return ZSRP_FAIL(s, kFn, kZErr_deviceCtrlError);
    return kZErr_OK;
}

SInt32 ZSRP_VWrite(iZelk_SerialPort* s, const char* format, va_list ap) {
    if (!s || !format) return ZSRP_FAIL(s, "ZSRP_Write", kZErr_invalidParam);
    return writeText(s, "ZSRP_Write", format, ap);
}

SInt32 ZSRP_Write(iZelk_SerialPort* s, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const SInt32 code = ZSRP_VWrite(s, format, ap);
    va_end(ap);
    return code;
}

SInt32 ZSRP_WriteByte(iZelk_SerialPort* s, const UInt8* data, UInt32 length) {
    static const char* const kFn = "ZSRP_WriteByte";
    if (!s || (!data && length > 0)) return ZSRP_FAIL(s, kFn, kZErr_invalidParam);
    return writeAll(s, kFn, data, length);
}

SInt32 ZSRP_Read(iZelk_SerialPort* s, const char* terminator, char* buffer, UInt32* size) {
    static const char* const kFn = "ZSRP_Read";
    if (!s || !buffer || !size) return ZSRP_FAIL(s, kFn, kZErr_invalidParam);
    return readText(s, kFn, terminator, buffer, size);
}

SInt32 ZSRP_ReadToExpect(iZelk_SerialPort* s, const char* expected, char* buffer, UInt32* size) {
    static const char* const kFn = "ZSRP_ReadToExpect";
    if (!s || !expected || !buffer || !size) return ZSRP_FAIL(s, kFn, kZErr_invalidParam);
    const UInt32 capacity = *size;
    const size_t expLen = std::strlen(expected);
    const auto deadline = Clock::now() + std::chrono::milliseconds(s->readTimeoutMs);
    UInt32 received = 0;
    bool failed = false, found = false, full = false;
    if (capacity > 0) buffer[0] = '\0';
    // Byte by byte, so nothing past the expected ending is taken from the line.
    for (;;) {
        if (received + 1 >= capacity) {
            full = true;
            break;
        }
        const ssize_t r = takeByte(s, buffer + received);
        if (r < 0) {
            failed = true;
            break;
        }
        if (r == 1) {
            buffer[++received] = '\0';
            if (received >= expLen && std::memcmp(buffer + received - expLen, expected, expLen) == 0) {
                found = true;
                break;
            }
        }
        // The clock is read when the line is idle, and every 256 bytes of a stream
        // that never ends with `expected`, not for every byte.
        if ((r == 0 || (received & 0xFF) == 0) && Clock::now() >= deadline) break;
        if (r == 0 && !waitInput(s->fd, deadline)) {
            failed = true;
            break;
        }
    }
    *size = received;
    SInt32 code = kZErr_OK;
    if (failed) code = kZErr_deviceReadError;
    else if (full) code = kZErr_insufficientBufferSize;
    else if (!found && s->readTimeoutMs != 0) code = kZErr_deviceReadTimeout;
    else ZLM_PrintText(s->lm, 2, "recv: %s", buffer);
    return finishRead(s, kFn, code);
}

SInt32 ZSRP_ByteRead(iZelk_SerialPort* s, const UInt8* expected, UInt32 expectedLength, UInt8* buffer,
                     UInt32* size, UInt32* matchIndex) {
    static const char* const kFn = "ZSRP_ByteRead";
    if (!s || !expected || expectedLength == 0 || !buffer || !size || !matchIndex)
        return ZSRP_FAIL(s, kFn, kZErr_invalidParam);
    const UInt32 capacity = *size;
    const auto deadline = Clock::now() + std::chrono::milliseconds(s->readTimeoutMs);
    UInt32 received = 0, index = 0;
    bool failed = false, found = false;
    for (;;) {
        ssize_t r = 0;
        if (received < capacity) {
            r = takeInput(s, buffer + received, capacity - received);
            failed = r < 0;
            if (r > 0) received += static_cast<UInt32>(r);
        }
        if (failed) break;
        if (r > 0 && received >= expectedLength) {
            // Last expected byte first, each earlier one before the previous match.
            UInt32 pos = received;
            found = true;
            for (UInt32 k = expectedLength; k-- > 0 && found;) {
                found = false;
                while (pos > 0) {
                    if (buffer[--pos] == expected[k]) {
                        found = true;
                        break;
                    }
                }
            }
            if (found) {
                index = pos;
                break;
            }
        }
        if (received >= capacity || Clock::now() >= deadline) break;
        if (!waitInput(s->fd, deadline)) {
            failed = true;
            break;
        }
    }
    *size = received;
    SInt32 code = kZErr_OK;
    if (failed) code = kZErr_deviceReadError;
    else if (!found) code = kZErr_deviceReadTimeout;
    else {
        *matchIndex = index;
        if (received < capacity) {
            buffer[received] = 0;
            ZLM_PrintText(s->lm, 2, "recv: %s", reinterpret_cast<const char*>(buffer));
        } else {
            code = kZErr_insufficientBufferSize;
        }
    }
    return finishRead(s, kFn, code);
}

SInt32 ZSRP_VWriteConfirm(iZelk_SerialPort* s, const char* terminator, const char* expected, const char* format,
                          va_list ap) {
    return writeConfirm(s, "ZSRP_WriteConfirm", terminator, expected, format, ap);
}

SInt32 ZSRP_WriteConfirm(iZelk_SerialPort* s, const char* terminator, const char* expected, const char* format,
                         ...) {
    va_list ap;
    va_start(ap, format);
    const SInt32 code = ZSRP_VWriteConfirm(s, terminator, expected, format, ap);
    va_end(ap);
    return code;
}

SInt32 ZSRP_Flush(iZelk_SerialPort* s) {
    static const char* const kFn = "ZSRP_Flush";
    if (!s || s->fd < 0) return ZSRP_FAIL(s, kFn, kZErr_invalidParam);
    s->readAhead.clear();
    s->readAheadPos = 0;
    if (tcflush(s->fd, TCIOFLUSH) != 0) return ZSRP_FAIL(s, kFn, kZErr_deviceCtrlError);
    return kZErr_OK;
}

void ZSRP_SetReadTimeOutMilliSec(iZelk_SerialPort* s, UInt32 ms) {
    if (s) s->readTimeoutMs = ms;
}

UInt32 ZSRP_GetReadTimeOutMilliSec(iZelk_SerialPort* s) { return s ? s->readTimeoutMs : 0; }
