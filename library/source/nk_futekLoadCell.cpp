// Load cell reader: a reader thread per object turns the cell's ASCII lines into
// forces (continuous mode) or captures them raw for parsing afterwards.
#include "nk_futekLoadCell.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "nk_error.h"
#include "number/pf_number.h"

namespace {

constexpr u32 kNoValueBits = 0x80131C10u;

double nowAbsolute() {
    const auto t = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(t).count() - kNK_unixToReference;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// "%f" (and "%fg") in the C locale, whatever the program's LC_NUMERIC says.
bool scanFloat(const char* text, float* value) {
    char* end = nullptr;
    const double v = pf::number::parse(text, &end);
    if (end == text) return false;
    *value = static_cast<float>(v);
    return true;
}

bool loadFlag(const bool* flag) { return __atomic_load_n(flag, __ATOMIC_ACQUIRE); }
void storeFlag(bool* flag, bool v) { __atomic_store_n(flag, v, __ATOMIC_RELEASE); }

}  // namespace

float nkFutek_noValue() {
    float f;
    std::memcpy(&f, &kNoValueBits, sizeof(f));
    return f;
}

bool nkFutek_parseLine(const char* line, u32 length, float* value) {
    if (!line || !value || length != kNKFutek_lineLength) return false;
    char text[kNKFutek_lineLength + 1];
    std::memcpy(text, line, length);
    text[length] = '\0';
    return scanFloat(text, value);
}

u16 nkFutek_parseCapture(const char* capture, size_t size, float* pDataBuff, u32* pDataCount, u32* pLineCount) {
    if (!capture || !pDataBuff || !pDataCount) return kNKErr_invalidParam;
    const size_t capacity = *pDataCount;
    size_t len = 0;
    while (len < size && capture[len]) ++len;
    const char* text = capture;
    const char* endText = capture + len;

    size_t lineCnt = 0;
    for (size_t i = 0; i + 1 < len; ++i)
        if (text[i] == '\r' && text[i + 1] == '\n') ++lineCnt;
    if (pLineCount) *pLineCount = static_cast<u32>(lineCnt);
    if (lineCnt == 0) return kNKErr_invalidTestCondition;

    // The first line may have begun before the capture did.
    const char* p = static_cast<const char*>(std::memchr(text, '\r', len));
    while (p && (p + 1 >= endText || p[1] != '\n')) p = static_cast<const char*>(std::memchr(p + 1, '\r', size_t(endText - p - 1)));
    p += 2;
    while (p < endText && (*p == ' ' || *p == '\t')) ++p;
    if (p >= endText) {
        *pDataCount = 0;
        return kNKErr_OK;
    }

    const size_t items = lineCnt < capacity ? lineCnt : capacity;
    float previous = 0.0f;
    size_t taken = 0;
    for (; taken < items; ++taken) {
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', size_t(endText - p)));
        // The item runs to its "\r" inclusive; without one, it is the rest, taken again.
        const size_t itemLen = cr ? size_t(cr - p) + 1 : size_t(endText - p);
        float v = previous;
        if (itemLen > 16) {
            char number[17];
            std::memcpy(number, p, 16);
            number[16] = '\0';
            if (!scanFloat(number, &v)) v = nkFutek_noValue();
        }
        pDataBuff[taken] = v;
        previous = v;
        if (cr) {
            p = cr + 2;
            if (p > endText) p = endText;
        }
    }
    // The last item is the trailing partial line, unless the capacity ended the walk first.
    *pDataCount = static_cast<u32>(taken == lineCnt ? taken - 1 : taken);
    return kNKErr_OK;
}

u16 nkFutek_parseWindow(const char* window, float* value) {
    if (!window || !value) return kNKErr_invalidPointer;
    const char* cr = std::strchr(window, '\r');
    if (!cr) return kNKErr_invalidPointer;
    const char* number = cr[1] ? cr + 2 : cr + 1;
    if (std::strlen(number) < 16) return kNKErr_invalidDataSize;
    char text[17];
    std::memcpy(text, number, 16);
    text[16] = '\0';
    return scanFloat(text, value) ? kNKErr_OK : kNKErr_invalidParam;
}

// ---------------------------------------------------------------- object

std::atomic<u32> CNK_futekLoadCell::firstLineWaitChecks{8000};

CNK_futekLoadCell::CNK_futekLoadCell() { init(); }

CNK_futekLoadCell::CNK_futekLoadCell(CNK_logManager* lm) {
    init();
    if (lm) setLogManager(lm);
}

void CNK_futekLoadCell::init() {
    NK_CLASS_NAME();
    _latestForce = nkFutek_noValue();
}

CNK_futekLoadCell::~CNK_futekLoadCell() {
    if (!nkObj_isValid(this)) return;
    Close();
    delete _serial;
    _serial = nullptr;
    delete[] _stringBuffer;
    delete[] _latestWindow;
    delete _fifo;
}

u16 CNK_futekLoadCell::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

CNK_futekLoadCell* CNK_futekLoadCell::create(CNK_usbDev* pUsbDev) {
    if (!pUsbDev) {
        NK_REPORT_FN(kNKErr_invalidParam, "pUsbDev!=NULL");
        return nullptr;
    }
    auto* pFutekLoacCell = new CNK_futekLoadCell();
    pFutekLoacCell->_serial = CNK_serial::create(pUsbDev, 115200, k_nkSerialFormat_8N1, 1, nullptr);
    if (!pFutekLoacCell->_serial) {
        NK_REPORT_FN(kNKErr_objectCreationFailed, "pFutekLoacCell->_serial!=NULL");
        delete pFutekLoacCell;
        return nullptr;
    }
    pFutekLoacCell->_serial->setCallback(kNKFutek_callbackId, pFutekLoacCell);
    return pFutekLoacCell;
}

void CNK_futekLoadCell::setCallback(u32, INK_futekLoadCellCallback* callback) {
    NK_VALID_OR_RETURN_VOID();
    if (callback && _callback) {
        if (nkObj_isValid(logManager)) logManager->printText(kVL1, "[Err] %s Only Accept One Callback", name);
        return;
    }
    _callback = callback;
}

u16 CNK_futekLoadCell::Open(u32 dataPointsTarget, double, bool*) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!(dataPointsTarget < kNKFutek_maxDataPoints)) {
        NK_REPORT(kNKErr_invalidParam, "dataPointsTarget<(1024*100)");
        return kNKErr_invalidParam;
    }
    // The reader owns the FIFO and the port while it runs.
    if (_running.load() || _thread.joinable()) {
        if (_running.load()) {
            NK_REPORT(kNKErr_invalidStatus, "!isRunning()");
            return kNKErr_invalidStatus;
        }
        _thread.join();
    }
    if (!_serial) {
        NK_REPORT(kNKErr_invalidCondition, "_serial!=NULL");
        return kNKErr_invalidCondition;
    }
    u16 rc = _serial->Open();
    if (rc) {
        NK_REPORT(rc, "_serial->Open()");
        Close();
        return rc;
    }
    if (dataPointsTarget != 0) {
        delete _fifo;
        _fifo = new CNK_fifo(2 * dataPointsTarget, sizeof(float));
    }
    {
        std::lock_guard<std::mutex> lock(_mtx);
        _discardCount = 0;
        _dataCount = 0;
    }
    _pollInterval = 10;
    _running = true;
    try {
        _thread = std::thread([this] { lp(); });
    } catch (const std::system_error&) {
        _running = false;
        nkDebug_printError(nullptr, __FILE__, name, __func__, __LINE__, kNKErr_threadCreationFailed, "rtn==0");
        Close();
        return kNKErr_threadCreationFailed;
    }
    const u32 checks = firstLineWaitChecks.load();
    for (u32 i = 0; i < checks; ++i) {
        {
            std::lock_guard<std::mutex> lock(_mtx);
            if (_dataCount > 0) return kNKErr_OK;
        }
        sleepMs(10);
    }
    nkDebug_printError(nullptr, __FILE__, name, __func__, __LINE__, kNKErr_threadCreationFailed, "_dataCount>0");
    Close();
    return kNKErr_threadCreationFailed;
}

u16 CNK_futekLoadCell::OpenStreaming(u32 dataPointsTarget, double holdSeconds, bool holdControl) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!(dataPointsTarget < kNKFutek_maxDataPoints)) {
        NK_REPORT(kNKErr_invalidParam, "dataPointsTarget<(1024*100)");
        return kNKErr_invalidParam;
    }
    if (_running.load()) {
        // The capture buffer belongs to the running thread.
        NK_REPORT(kNKErr_invalidStatus, "!isRunning()");
        return kNKErr_invalidStatus;
    }
    if (_thread.joinable()) _thread.join();
    if (!_serial) {
        NK_REPORT(kNKErr_invalidCondition, "_serial!=NULL");
        return kNKErr_invalidCondition;
    }
    if (dataPointsTarget == 0) {
        NK_REPORT(kNKErr_invalidParam, "dataPointsTarget>0");
        return kNKErr_invalidParam;
    }
    const u64 size = u64(dataPointsTarget) * kNKFutek_lineLength;
    delete[] _stringBuffer;
    _stringBuffer = new (std::nothrow) char[size]();
    if (!_stringBuffer) {
        NK_REPORT(kNKErr_memoryAllocationFailed, "_stringBuffer!=NULL");
        Close();
        return kNKErr_memoryAllocationFailed;
    }
    {
        std::lock_guard<std::mutex> lock(_mtx);
        _captureSize = size;
        delete[] _latestWindow;
        _latestWindow = new char[64]();
        _received = 0;
        _latestForce = nkFutek_noValue();
        _discardCount = 0;
    }
    _streamingCtrl = holdControl;
    if (holdControl) _holdTime = holdSeconds;
    storeFlag(&_hold, holdControl);
    _startTime = 0;
    _finishTime = 0;
    u16 rc = _serial->Open();
    if (rc) {
        NK_REPORT(rc, "_serial->Open()");
        Close();
        return rc;
    }
    _pollInterval = 10;
    _running = true;
    try {
        _thread = std::thread([this] { lpStreaming(); });
    } catch (const std::system_error&) {
        _running = false;
        nkDebug_printError(nullptr, __FILE__, name, __func__, __LINE__, kNKErr_threadCreationFailed, "rtn==0");
        Close();
        return kNKErr_threadCreationFailed;
    }
    return kNKErr_OK;
}

void CNK_futekLoadCell::stopReader() {
    _running = false;
    if (_thread.joinable() && _thread.get_id() != std::this_thread::get_id()) _thread.join();
}

void CNK_futekLoadCell::Close() {
    NK_VALID_OR_RETURN_VOID();
    pf::number::print(stdout, "LoadCell close %f\n", nowAbsolute());
    if (_running.load() || _thread.joinable()) {
        stopReader();
        storeFlag(&_dataValid, false);
        storeFlag(&_hold, false);
        _holdTime = 0;
    }
    if (_serial) _serial->Close();
}

float CNK_futekLoadCell::forceLatest() {
    NK_VALID_OR_RETURN(nkFutek_noValue());
    std::lock_guard<std::mutex> lock(_mtx);
    return _latestForce;
}

u32 CNK_futekLoadCell::forceDataCount() {
    NK_VALID_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(_mtx);
    return _dataCount;
}

u16 CNK_futekLoadCell::getForceData(float* pDataBuff, u32* pDataCount, u32* pDiscardCount) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (pDiscardCount) *pDiscardCount = 0;
    if (!pDataBuff) {
        NK_REPORT(kNKErr_invalidPointer, "pDataBuff!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!pDataCount) {
        NK_REPORT(kNKErr_invalidPointer, "pDataCount!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!(*pDataCount > 0)) {
        NK_REPORT(kNKErr_invalidParam, "*pDataCount>0");
        return kNKErr_invalidParam;
    }
    u32 bytes = 0;
    if (_fifo) {
        bytes = *pDataCount * u32(sizeof(float));
        const u16 rc = _fifo->read(pDataBuff, &bytes);
        if (rc) {
            NK_REPORT(rc, "_fifo->read");
            return rc;
        }
    }
    *pDataCount = bytes / u32(sizeof(float));
    if (pDiscardCount) {
        std::lock_guard<std::mutex> lock(_mtx);
        *pDiscardCount = _discardCount;
    }
    return kNKErr_OK;
}

float CNK_futekLoadCell::forceLatestFromRaw() {
    NK_VALID_OR_RETURN(0.0f);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!_latestWindow) {
        NK_REPORT(kNKErr_invalidPointer, "ptr");
        return _latestForce;
    }
    if (std::strlen(_latestWindow) < 36) return _latestForce;
    float v = 0;
    const u16 rc = nkFutek_parseWindow(_latestWindow, &v);
    if (rc == kNKErr_invalidPointer) NK_REPORT(rc, "ptr");
    if (rc == kNKErr_invalidDataSize) NK_REPORT(rc, "strlen(numberStr)>=16");
    if (rc == kNKErr_OK) _latestForce = v;
    return _latestForce;
}

u16 CNK_futekLoadCell::getForceDataFromRaw(float* pDataBuff, u32* pDataCount) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!pDataBuff) {
        NK_REPORT(kNKErr_invalidParam, "pDataBuff!=NULL");
        return kNKErr_invalidParam;
    }
    if (!pDataCount) {
        NK_REPORT(kNKErr_invalidParam, "pDataCount!=NULL");
        return kNKErr_invalidParam;
    }
    if (_running.load()) {
        NK_REPORT(kNKErr_invalidStatus, "!isRunning()");
        return kNKErr_invalidStatus;
    }
    if (!_stringBuffer) {
        NK_REPORT(kNKErr_invalidTestCondition, "_stringBuffer!=NULL");
        return kNKErr_invalidTestCondition;
    }
    u32 lineCnt = 0;
    const u16 rc = nkFutek_parseCapture(_stringBuffer, _captureSize, pDataBuff, pDataCount, &lineCnt);
    if (rc == kNKErr_invalidTestCondition) {
        NK_REPORT(rc, "lineCnt>0");
        return rc;
    }
    // No line end: the capture time follows on the same console line.
    std::printf("%u line of force data", lineCnt);
    pf::number::print(stdout, "Time To Capture %f\n", _finishTime - _startTime);
    std::printf("dataPoints %u\n", *pDataCount);
    return rc;
}

bool CNK_futekLoadCell::reopen() {
    _serial->Close();
    sleepMs(100);
    const u16 rc = _serial->Open();
    if (rc) {
        NK_REPORT(rc, "_serial->Open()");
        return false;
    }
    return true;
}

void CNK_futekLoadCell::lp() {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        _discardCount = 0;
    }
    _serial->clear_readBuffer();
    _startTime = nowAbsolute();
    pf::number::print(stdout, "LoadCell Start Time %f\n", _startTime);
    char line[2048];
    char terminator[] = "\r\n";
    const float noValue = nkFutek_noValue();
    while (_running.load()) {
        u32 len = sizeof(line) - 1;
        const u16 rc = _serial->Read(line, &len, terminator, 500, _pollInterval);
        if (rc != kNKErr_OK) {
            {
                std::lock_guard<std::mutex> lock(_mtx);
                _latestForce = noValue;
                _dataCount = 0;
                _discardCount = 0;
            }
            if (_fifo) _fifo->clear();
            std::printf("[err] %s\n", nkError_getErrorString(rc));
            if (!_running.load() || !reopen()) break;
            continue;
        }
        float v = noValue;
        const bool good = nkFutek_parseLine(line, len, &v);
        {
            std::lock_guard<std::mutex> lock(_mtx);
            _latestForce = good ? v : noValue;
            ++_dataCount;
            if (!good) ++_discardCount;
        }
        u32 size = sizeof(float);
        // A bad line still takes its place in the sequence.
        if (_fifo) _fifo->write(good ? &v : &noValue, &size);
        if (good) {
            storeFlag(&_dataValid, true);
        } else {
            std::printf("one more discardCount %u\n", _discardCount);
            if (_pollInterval > 1) --_pollInterval;
        }
    }
    _finishTime = nowAbsolute();
    _running = false;
    _serial->Close();
}

void CNK_futekLoadCell::lpStreaming() {
    u64 remaining = _captureSize - 1;  // the last byte stays NUL
    _serial->clear_readBuffer();
    if (_streamingCtrl) {
        const auto begin = std::chrono::steady_clock::now();
        while (std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() < _holdTime &&
               loadFlag(&_hold) && _running.load()) {
            _serial->clear_readBuffer();
            sleepMs(1);
        }
    }
    _startTime = nowAbsolute();
    pf::number::print(stdout, "LoadCell String Start Time %f\n", _startTime);
    u64 at = 0;
    while (_running.load() && remaining > 0) {
        u32 want = static_cast<u32>(remaining < 2048 ? remaining : 2048);
        const u16 rc = _serial->Read(reinterpret_cast<u8*>(_stringBuffer + at), &want, 1000);
        if (rc != kNKErr_OK) {
            std::printf("[err] %s\n", nkError_getErrorString(rc));
            if (!_running.load() || !reopen()) break;
            continue;
        }
        // Every byte counts, a lone one at the end of a time-out too.
        if (want == 0) continue;
        {
            std::lock_guard<std::mutex> lock(_mtx);
            _received += want;
            const u64 keep = _received < 63 ? _received : 63;
            std::memcpy(_latestWindow, _stringBuffer + at + want - keep, keep);
            _latestWindow[keep] = '\0';
        }
        remaining -= want;
        at += want;
        storeFlag(&_dataValid, true);
    }
    _finishTime = nowAbsolute();
    pf::number::print(stdout, "LoadCell Finish all data point capture %f\n", _finishTime);
    _running = false;
    _serial->Close();
}

void CNK_futekLoadCell::onSerialDisconnected(u32 id, t_nkUsbDevInfo& info) {
    NK_VALID_OR_RETURN_VOID();
    // The reader uses the port: it ends (its reopening fails) while the port still exists.
    stopReader();
    _serial = nullptr;  // the port frees itself when this returns
    if (_callback) _callback->onFutekLoadCellDisconnected(id, info);
    if (nkObj_isValid(this)) delete this;
}
