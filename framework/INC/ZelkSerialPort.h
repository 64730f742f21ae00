// A serial line found by name among the system's ttys, in raw mode, exchanging
// text commands and binary blocks with an instrument. One caller at a time per port.
#pragma once

#include <termios.h>

#include <cstdarg>
#include <string>

#include "ZelkTypeDef.h"

struct iZelk_LogManager;

#define ZSRP_PRINTF(fmtIndex) __attribute__((format(printf, fmtIndex, fmtIndex + 1)))

// The port's operations in table order; each is the ZSRP_ function of its name.
class tZelk_SerialPortOps {
public:
    virtual SInt32 SetDTR(bool on) = 0;
    virtual SInt32 Read(const char* terminator, char* buffer, UInt32* size) = 0;
    virtual SInt32 Write(const char* format, ...) ZSRP_PRINTF(2) = 0;
    virtual SInt32 WriteConfirm(const char* terminator, const char* expected, const char* format, ...)
        ZSRP_PRINTF(4) = 0;

protected:
    ~tZelk_SerialPortOps() = default;
};

struct iZelk_SerialPort;

// Frame formats: 1 odd parity, 2 even, 3 even with 7 data bits, 4 even with 7 data
// and 2 stop bits, any other no parity; what a format does not name stays as the
// line had it. A baud rate of 0 keeps the line's speed. The read time-out is whole
// seconds. Null when no tty path contains namePattern, or on any failure.
iZelk_SerialPort* ZSRP_Create(iZelk_LogManager* lm, const char* namePattern, UInt32 baudRate, int format,
                              UInt16 bufferSize, UInt8 readTimeoutSec);
// The settings Create applies, on top of those found: raw mode, the speed and the
// frame format. 0, or 97 for a speed the terminal has no code for.
SInt32 ZSRP_ApplyLineSettings(termios* t, UInt32 baudRate, int format);
// Restores the line settings found at open, closes the line, frees the port and clears the handle.
void ZSRP_Delete(iZelk_SerialPort** handle);

SInt32 ZSRP_SetDTR(iZelk_SerialPort* s, bool on);
// Formatted text; a text that does not fit the write buffer is refused with 19, nothing sent.
SInt32 ZSRP_Write(iZelk_SerialPort* s, const char* format, ...) ZSRP_PRINTF(2);
SInt32 ZSRP_WriteByte(iZelk_SerialPort* s, const UInt8* data, UInt32 length);
// In every read *size is the capacity on entry and the bytes received on return
// (also on failure). Null terminator: one read of what is waiting.
SInt32 ZSRP_Read(iZelk_SerialPort* s, const char* terminator, char* buffer, UInt32* size);
// Until the received bytes end with `expected`; stops there, what follows stays on the line.
SInt32 ZSRP_ReadToExpect(iZelk_SerialPort* s, const char* expected, char* buffer, UInt32* size);
// Until the expected bytes are found in order (other bytes may lie between them);
// *matchIndex is where the first of them was received.
SInt32 ZSRP_ByteRead(iZelk_SerialPort* s, const UInt8* expected, UInt32 expectedLength, UInt8* buffer,
                     UInt32* size, UInt32* matchIndex);
// Sends the command, reads the reply up to the terminator and looks for `expected` in it (any case).
SInt32 ZSRP_WriteConfirm(iZelk_SerialPort* s, const char* terminator, const char* expected, const char* format, ...)
    ZSRP_PRINTF(4);
SInt32 ZSRP_Flush(iZelk_SerialPort* s);
void ZSRP_SetReadTimeOutMilliSec(iZelk_SerialPort* s, UInt32 ms);
UInt32 ZSRP_GetReadTimeOutMilliSec(iZelk_SerialPort* s);

SInt32 ZSRP_VWrite(iZelk_SerialPort* s, const char* format, va_list ap) __attribute__((format(printf, 2, 0)));
SInt32 ZSRP_VWriteConfirm(iZelk_SerialPort* s, const char* terminator, const char* expected, const char* format,
                          va_list ap) __attribute__((format(printf, 4, 0)));

struct iZelk_SerialPort final : tZelk_SerialPortOps {
    std::string name;  // the tty path found, whole however long
    std::string path;
    iZelk_LogManager* lm = nullptr;
    int fd = -1;
    bool attrSaved = false;
    termios savedAttr{};
    UInt32 readTimeoutMs = 0;
    UInt16 bufferSize = 0;
    char* writeBuff = nullptr;
    char* replyBuff = nullptr;
    // Read from the line but not yet delivered: reads to an expected ending take a
    // chunk per system call and leave what follows the ending here for the next read.
    std::string readAhead;
    size_t readAheadPos = 0;

    SInt32 SetDTR(bool on) override { return ZSRP_SetDTR(this, on); }
    SInt32 Read(const char* terminator, char* buffer, UInt32* size) override {
        return ZSRP_Read(this, terminator, buffer, size);
    }
    SInt32 Write(const char* format, ...) override ZSRP_PRINTF(2);
    SInt32 WriteConfirm(const char* terminator, const char* expected, const char* format, ...) override
        ZSRP_PRINTF(4);
};
