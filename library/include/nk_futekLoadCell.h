// Load cell on a USB serial adapter: readings as ASCII lines at 115200 baud,
// either queued one by one (continuous mode) or captured raw (streaming).
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "nk_log.h"
#include "nk_serial.h"
#include "nk_typedef.h"
#include "nk_usb.h"
#include "nk_utils.h"

#define kNKFutek_callbackId 0x4655544Bu  // 'FUTK'
#define kNKFutek_lineLength 18u         // one reading with its "\r\n"
#define kNKFutek_maxDataPoints (1024u * 100u)

// The no-value float.
float nkFutek_noValue();

// One continuous-mode line of `length` bytes: true with the value when it is a
// whole reading (18 bytes) that reads as a number.
bool nkFutek_parseLine(const char* line, u32 length, float* value);
// A finished capture of `size` bytes (NUL-terminated within it or not). *pDataCount
// is the capacity of pDataBuff on entry and the count of readings on return.
// kNKErr_invalidTestCondition when the capture holds no "\r\n". A non-null
// pLineCount gets the number of line ends found.
u16 nkFutek_parseCapture(const char* capture, size_t size, float* pDataBuff, u32* pDataCount,
                         u32* pLineCount = nullptr);
// The newest reading of a streaming window (NUL-terminated, at most 63 bytes):
// the text after the window's first "\r\n". kNKErr_invalidPointer without "\r",
// kNKErr_invalidDataSize when fewer than 16 characters follow, kNKErr_invalidParam
// when they do not read as a number.
u16 nkFutek_parseWindow(const char* window, float* value);

class INK_futekLoadCellCallback {
public:
    virtual ~INK_futekLoadCellCallback() = default;
    virtual void onFutekLoadCellDisconnected(u32 id, t_nkUsbDevInfo& info) = 0;
};

class CNK_futekLoadCell : public CNK_baseObject, private INK_SerialCallback {
public:
    static CNK_futekLoadCell* create(CNK_usbDev* pUsbDev);
    CNK_futekLoadCell();
    explicit CNK_futekLoadCell(CNK_logManager* lm);
    ~CNK_futekLoadCell() override;
    u16 setLogManager(CNK_logManager* lm) override;

    void setCallback(u32 id, INK_futekLoadCellCallback* callback);

    u16 Open(u32 dataPointsTarget, double unused, bool* unusedFlag);
    u16 OpenStreaming(u32 dataPointsTarget, double holdSeconds, bool holdControl);
    void Close();

    bool isRunning() { return _running.load(); }
    bool* dataValidFlag() { return &_dataValid; }
    bool* startStreamingCtrl() { return _streamingCtrl ? &_hold : nullptr; }
    double getStartTime() { return _startTime; }

    float forceLatest();
    u32 forceDataCount();
    u16 getForceData(float* pDataBuff, u32* pDataCount, u32* pDiscardCount);
    float forceLatestFromRaw();
    u16 getForceDataFromRaw(float* pDataBuff, u32* pDataCount);

    // Checks of 10 ms each that Open waits for the first line (8000); tests shorten it.
    static std::atomic<u32> firstLineWaitChecks;

private:
    void onSerialDisconnected(u32 id, t_nkUsbDevInfo& info) override;
    void init();
    void stopReader();
    void lp();
    void lpStreaming();
    bool reopen();

    INK_futekLoadCellCallback* _callback = nullptr;
    std::atomic<bool> _running{false};
    bool _dataValid = false;  // the owner reads and resets it through its address
    bool _hold = false;       // the owner clears it through its address
    double _holdTime = 0;
    double _startTime = 0;
    double _finishTime = 0;
    char* _latestWindow = nullptr;
    char* _stringBuffer = nullptr;
    u64 _received = 0;
    u64 _captureSize = 0;
    bool _streamingCtrl = false;
    float _latestForce;
    CNK_fifo* _fifo = nullptr;
    u32 _dataCount = 0;
    u32 _discardCount = 0;
    u32 _pollInterval = 10;
    std::mutex _mtx;
    std::thread _thread;
    CNK_serial* _serial = nullptr;
};
