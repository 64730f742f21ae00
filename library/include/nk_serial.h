// Serial line over a terminal device in raw mode, with Modbus RTU and
// hexadecimal Modbus framing, and the serial port of a USB-serial bridge chip.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nk_log.h"
#include "nk_typedef.h"
#include "nk_usb.h"

struct termios;

typedef enum {
    k_nkSerialFormat_8N1 = 0,
    k_nkSerialFormat_8O1 = 1,
    k_nkSerialFormat_8E1 = 2,
    k_nkSerialFormat_8N2 = 3,
    k_nkSerialFormat_8O2 = 4,
    k_nkSerialFormat_8E2 = 5,
    k_nkSerialFormat_7N1 = 6,
    k_nkSerialFormat_7O1 = 7,
    k_nkSerialFormat_7E1 = 8,
} t_nkSerialFormat;

// Tells the owner that the port's USB adapter was unplugged; the port frees
// itself when the call returns. The owner drops its pointer here (see nk_usb.h).
class INK_SerialCallback {
public:
    virtual ~INK_SerialCallback() = default;
    virtual void onSerialDisconnected(u32 id, t_nkUsbDevInfo& info) = 0;
};

// The modem-line ioctls (TIOCMGET, TIOCMSET) go through this one function, so a
// test can play the lines that a pseudo-terminal does not have. Null restores
// the system's ioctl.
typedef int (*t_nkModemIoctl)(int fd, unsigned long request, int* bits);
void nkSerial_setModemIoctl(t_nkModemIoctl fn);

// The raw-mode terminal set-up both ports apply at open, on top of the attributes
// found: speed, frame format, every translation off, VMIN 0 and VTIME 1. A baud
// rate without a terminal speed code gives kNKErr_invalidParam.
u16 nkSerial_rawAttributes(termios* t, u32 baudRate, t_nkSerialFormat format);
// The same raw set-up for a line that keeps some of what it has: baud rate 0, data
// bits 0 and stop bits 0 are left as found. Parity 'N', 'O' or 'E'.
u16 nkSerial_rawLineAttributes(termios* t, u32 baudRate, char parity, int dataBits, int stopBits);
// The modem-line ioctl through the seam above, for ports built outside this library.
int nkSerial_modemIoctl(int fd, unsigned long request, int* bits);

class CNK_serial : private CNK_baseObject, private INK_usbDevCallback {
public:
    static CNK_serial* create(const char* path, u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB);
    // On success the port owns pUsbDev; otherwise it stays the caller's.
    static CNK_serial* create(CNK_usbDev* pUsbDev, u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB,
                              const char* expectPath);
    static CNK_serial* create(u16 vendorId, u16 productId, u32 locationID, u32 baudRate, t_nkSerialFormat format,
                              u8 bufferSizeKB, const char* expectPath);
    ~CNK_serial() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 Open();
    void Close();
    u16 clear_readBuffer();

    u16 Write(u8* data, u32 length);
    u16 Write(char* format, ...) __attribute__((format(printf, 2, 3)));
    // *pRecvLeng: capacity on entry, count received on return.
    u16 Read(u8* recvBuff, u32* pRecvLeng, u32 timeoutMs);
    u16 Read(char* recvBuff, u32* pRecvLeng, u32 timeoutMs);
    u16 Read(char* recvBuff, u32* pRecvLeng, char* delimiter, u32 timeoutMs, u32 pollUs);

    u16 Write_modBus_rtu(u8 address, u8 function, void* data, int dataLen);
    u16 Read_modBus_rtu(u8* recvBuff, u32* pRecvLeng, u32 timeoutMs);
    u16 Write_modBus_ascii(u8 address, u8 function, u8* data, int dataLen);
    u16 Read_modBus_ascii(char* recvBuff, u32* pRecvLeng, u32 timeoutMs);

    // 1 input, 2 output, 3 both.
    u16 Flush(u8 queue);

    int dtr_get();
    int dsr_get();
    int cts_get();
    int rts_get();
    u16 dtr_set(bool on);
    u16 dsr_set(bool on);
    u16 cts_set(bool on);
    u16 rts_set(bool on);

    void setCallback(u32 id, INK_SerialCallback* callback);

    const std::string& bsdPath() const { return _bsdPath; }

private:
    CNK_serial();
    void onUsbDevDisconnected(u32 id, t_nkUsbDevInfo& info) override;
    static CNK_serial* makePort(u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB, CNK_usbDev* pUsbDev);
    void closeLocked();
    // The helpers report under `func`, the operation the caller called.
    u16 drainLocked(const char* func);
    int modemGet(int bit);
    u16 modemSet(int bit, bool on);
    u16 writeLocked(const char* func, const u8* data, u32 length);
    // Waits until the port is readable, the deadline passes (0) or the device goes (-1).
    int waitReadable(long long deadlineNs);
    // Input through a small read-ahead, so text reads take a chunk per system
    // call and leave what follows their delimiter for the next read.
    ssize_t takeInput(void* buf, size_t n);
    int nextByte(char* c, long long deadlineNs);
    void dropInput() {
        _rx.clear();
        _rxPos = 0;
    }
    u32 byteTimeUs() const;

    std::mutex _linkMtx;  // the USB device pointer and the owner callback
    CNK_usbDev* _usbDev = nullptr;
    u32 _callbackId = 0;
    INK_SerialCallback* _callback = nullptr;

    std::mutex _mtx;
    std::string _bsdPath;
    int _fd = 0;
    std::unique_ptr<termios> _savedAttr;
    u8* _sendBuff = nullptr;
    u32 _sendBuffSize = 0;
    u32 _baudRate = 0;
    t_nkSerialFormat _format = k_nkSerialFormat_8N1;

    std::string _rx;  // read ahead from the line, not yet delivered
    size_t _rxPos = 0;

    int _wakeFd = -1;  // readable once the device is gone: wakes a waiting read
    std::atomic<bool> _unplugged{false};
    std::shared_ptr<NK_unplugGate> _gate;
};

// Serial port of a USB-serial bridge chip that is itself the USB board object: it
// finds the tty of its own device and follows the device on unplug (CNK_usb).
class CNK_ftdi : public CNK_usb {
public:
    CNK_ftdi(u32 ioObject, u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB);
    CNK_ftdi(u16 vendorId, u16 productId, u32 baudRate, t_nkSerialFormat format, u8 port, u8 bufferSizeKB);
    ~CNK_ftdi() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 open_device();
    void close_device();
    // 0: one read of what is waiting; otherwise discards input for timeoutMs.
    void clear_recvBuffer(double timeoutMs);

    u16 send(const u8* data, size_t dataLeng);
    u16 send(char* format, ...) __attribute__((format(printf, 2, 3)));
    u16 send(const std::string& data);
    u16 send(const std::vector<u8>& data);
    // With a delimiter: up to and including it; with "": whatever the first read brings.
    u16 recv(std::string& data, const char* delimiter, double timeoutMs);
    u16 recv(std::vector<u8>& data, double timeoutMs);

    u16 send_modBus_rtu(u8 address, u8 function, const std::vector<u8>& data);
    u16 send_modBus_ascii(u8 address, u8 function, const std::vector<u8>& data);

    // state: any line of mask set. Setting raises (or clears) every line of mask.
    u16 get_modem_ctrl(int mask, bool& state);
    u16 set_modem_ctrl(int mask, bool state);

    const std::string& bsdPath() const { return _bsdPath; }

protected:
    void deviceGone() override;

private:
    void setup(u32 baudRate, t_nkSerialFormat format, u8 bufferSizeKB);
    // The helpers report under `func`, the operation the caller called.
    u16 sendLocked(const char* func, const u8* data, size_t dataLeng);
    void drainLocked(const char* func, double timeoutMs);
    void closeLocked();
    int waitReadable(long long deadlineNs);

    std::mutex _mtx;
    std::string _bsdPath;
    int _fd = 0;
    std::unique_ptr<termios> _savedAttr;
    u32 _baudRate = 0;
    t_nkSerialFormat _format = k_nkSerialFormat_8N1;
    int _wakeFd = -1;
    std::atomic<bool> _gone{false};
};
