#include "ZelkCrestel.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "ZelkUtil.h"

const char* const kCtAdcStr[2] = {"ADC7844", "ADC8344"};

namespace {

constexpr UInt16 kInterface = 2;
constexpr double kAdcScale[2] = {0.0012207, 7.629375e-05};
constexpr UInt64 kImageCapacity = 0x100000;  // 1 MiB

SInt32 fail(iZelk_LogManager* lm, const char* func, int line, SInt32 code) {
    ZERR_Report(lm, __FILE__, func, line, code);
    return code;
}
#define ZCT_FAIL(lm, func, code) fail((lm), (func), __LINE__, (code))

iZelk_UsbDevice* deviceOf(tZelk_Crestel* b) {
    std::lock_guard<std::mutex> lock(b->link->m);
    return b->usb;
}

// One feature report; `func` is the operation the caller called.
SInt32 report(tZelk_Crestel* b, const char* func, bool set, UInt8 id, void* buffer, UInt32 length) {
    if (!b) return ZCT_FAIL(nullptr, func, kZErr_invalidParam);
    if (!buffer || length == 0) return ZCT_FAIL(b->lm, func, kZErr_invalidParam);
    iZelk_UsbDevice* d = deviceOf(b);
    if (!d) return ZCT_FAIL(b->lm, func, kZErr_invalidParam);
    const UInt16 value = static_cast<UInt16>(0x0300 | id);
    return set ? ZUSBD_SetReport(d, value, buffer, length) : ZUSBD_GetReport(d, value, buffer, length);
}

// The download's exchange with the board, once the image is in memory.
SInt32 sendImage(tZelk_Crestel* b, const char* fn, const UInt8* image, UInt64 imageSize, UInt32 blockSize,
                 UInt8 target, UInt32 flashKey) {
    iZelk_LogManager* lm = b->lm;
    ZLM_PrintText(lm, 0, "  - initialize FW download");
    UInt8 begin[2] = {0, 0};
    SInt32 rc = report(b, fn, true, 0xF5, begin, 2);
    if (rc != kZErr_OK) return rc;
    UInt16 checksum = 0;
    for (UInt64 i = 0; i < imageSize; ++i) checksum = static_cast<UInt16>(checksum + image[i]);
    ZLM_PrintText(lm, 0, "  - download FW (HOST->CT), %d bytes,checksum=0x%04X (blockSz=%d)", static_cast<int>(imageSize),
                  checksum, static_cast<int>(blockSize));
    for (UInt64 at = 0; at < imageSize;) {
        const UInt32 n = static_cast<UInt32>(std::min<UInt64>(blockSize, imageSize - at));
        rc = report(b, fn, true, 0xF6, const_cast<UInt8*>(image + at), n);
        if (rc != kZErr_OK) return rc;
        at += n;
    }
    ZLM_PrintText(lm, 0, "  - check code checksum");
    UInt8 sum[2] = {};
    rc = report(b, fn, false, 0xF6, sum, 2);
    if (rc != kZErr_OK) return rc;
    const UInt16 board = static_cast<UInt16>(sum[0] << 8 | sum[1]);
    ZLM_PrintText(lm, 0, "    ct code checksum 0x%04X", board);
    if (board != checksum) return ZCT_FAIL(lm, fn, kZErr_invalidChecksum);
    if (target == 1 || target == 2) {
        ZLM_PrintText(lm, 0, "  - download FW (CT->DUT)");
        UInt8 t = target, result = 0xFF;
        rc = report(b, fn, true, 0xF7, &t, 1);
        if (rc == kZErr_OK) rc = report(b, fn, false, 0xF7, &result, 1);
        if (rc != kZErr_OK) return rc;
        if (result != 0) return ZCT_FAIL(lm, fn, kZErr_invalidState);
    } else {
        ZLM_PrintText(lm, 0, "  - flash crestel FW");
        UInt8 key[4] = {static_cast<UInt8>(flashKey >> 24), static_cast<UInt8>(flashKey >> 16),
                        static_cast<UInt8>(flashKey >> 8), static_cast<UInt8>(flashKey)};
        rc = report(b, fn, true, 0xEE, key, 4);
        if (rc != kZErr_OK) return rc;
    }
    ZLM_PrintText(lm, 0, "  Done");
    return kZErr_OK;
}

double systemClock() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The board's part of its device's unplug, on the run loop that watches the device.
void onDeviceGone(const std::shared_ptr<ZelkCrestelLink>& link, const iZelk_UsbDevice* device) {
    tZelk_Crestel* b;
    {
        std::lock_guard<std::mutex> lock(link->m);
        b = link->board;
        if (!b || b->usb != device) return;  // an owner's delete has the record, or a device replaced it
        link->board = nullptr;
        b->usb = nullptr;  // the device frees itself after this call
    }
    if (b->ownerNotice) b->ownerNotice();
    if (b->sink) b->sink->OnCtDisconnected(b->boardId);
    ZLM_PrintText(b->lm, 2, "*** tZelk_Crestel disconnected ***");
    delete b;
}

}  // namespace

tZelk_Crestel* ZCT_Create(iZelk_LogManager* lm) {
    ZLM_PrintText(lm, 2, "*** create crestel ***");
    tZelk_Crestel* b = new (std::nothrow) tZelk_Crestel();
    if (!b) {
        ZCT_FAIL(lm, __func__, kZErr_memAllocationFailed);
        return nullptr;
    }
    b->lm = lm;
    b->link->board = b;
    return b;
}

void ZCT_Delete(tZelk_Crestel** handle) {
    if (!handle || !*handle) return;
    tZelk_Crestel* b = *handle;
    *handle = nullptr;
    ZLM_PrintText(b->lm, 2, "*** %s ***", "ZCT_Delete");
    iZelk_UsbDevice* d;
    {
        std::lock_guard<std::mutex> lock(b->link->m);
        if (b->link->board != b) return;  // the unplug has claimed it and frees it
        b->link->board = nullptr;
        d = b->usb;
        b->usb = nullptr;
        // Under the link's lock: the device's unplug cannot pass our handler before this.
        ZUSBD_ClaimForOwner(d);
    }
    ZUSBD_Delete(&d);
    delete b;
}

SInt32 ZCT_SetName(tZelk_Crestel* b, UInt32 id) {
    if (!b) return ZCT_FAIL(nullptr, __func__, kZErr_invalidParam);
    b->boardId = id;
    return kZErr_OK;
}

SInt32 ZCT_SetLogManager(tZelk_Crestel* b, iZelk_LogManager* lm) {
    if (!b) return ZCT_FAIL(nullptr, __func__, kZErr_invalidParam);
    b->lm = lm;
    return kZErr_OK;
}

iZelk_LogManager* ZCT_GetLogManager(tZelk_Crestel* b) { return b ? b->lm : nullptr; }

const tZelk_UsbDevInfo* ZCT_GetDeviceInfo(tZelk_Crestel* b) { return b ? &b->info : nullptr; }

SInt32 ZCT_AppendUsbDevice(tZelk_Crestel* b, iZelk_UsbDevice* device) {
    if (!b || !device) return ZCT_FAIL(b ? b->lm : nullptr, __func__, kZErr_invalidParam);
    iZelk_UsbDevice* previous;
    {
        std::lock_guard<std::mutex> lock(b->link->m);
        previous = b->usb;
        b->usb = device;
        if (previous == device) previous = nullptr;
        ZUSBD_ClaimForOwner(previous);
        // Before anything can fail: the board keeps the device either way, and a
        // device that goes unheard frees itself under the board.
        std::shared_ptr<ZelkCrestelLink> link = b->link;
        ZUSBD_SetUnplugHandler(device, [link, device] { onDeviceGone(link, device); });
    }
    ZUSBD_Delete(&previous);
    const SInt32 rc = ZUSBD_SetInterfaceNumber(device, kInterface);
    if (rc != kZErr_OK) return rc;
    b->info = *ZUSBD_GetDeviceInfo(device);
    UInt8 v[2] = {};
    const SInt32 vr = ZUSBD_GetReport(device, 0x03E1, v, 2);
    if (vr != kZErr_OK) return vr;
    b->fwVersion = static_cast<UInt16>(v[0] << 8 | v[1]);
    ZLM_PrintText(b->lm, 2, "fw_ver: 0x%04X", b->fwVersion);
    return kZErr_OK;
}

SInt32 ZCT_SetEventCallbackFunction(tZelk_Crestel* b, ZCT_EventFunction function, void* userData) {
    if (!b || !function) return ZCT_FAIL(b ? b->lm : nullptr, __func__, kZErr_invalidParam);
    b->eventFunction = function;
    b->eventData = userData;
    return kZErr_OK;
}

SInt32 ZCT_SetEventSink(tZelk_Crestel* b, iZelk_CrestelEventSink* sink) {
    if (!b || !sink) return ZCT_FAIL(b ? b->lm : nullptr, __func__, kZErr_invalidParam);
    b->sink = sink;
    return kZErr_OK;
}

SInt32 ZCT_GetReport(tZelk_Crestel* b, UInt8 id, void* buffer, UInt32 length) {
    return report(b, __func__, false, id, buffer, length);
}

SInt32 ZCT_SetReport(tZelk_Crestel* b, UInt8 id, const void* buffer, UInt32 length) {
    // A set-report only reads the bytes.
    return report(b, __func__, true, id, const_cast<void*>(buffer), length);
}

SInt32 ZCT_DutPowerControl(tZelk_Crestel* b, bool on) {
    if (!b) return ZCT_FAIL(nullptr, __func__, kZErr_invalidParam);
    ZLM_PrintText(b->lm, 2, "DUT Power %s", on ? "ON" : "OFF");
    UInt8 power = 0;
    SInt32 rc = report(b, __func__, false, 0xD2, &power, 1);
    if (rc != kZErr_OK) return rc;
    power = on ? static_cast<UInt8>(power | 0x80) : static_cast<UInt8>(power & 0x7F);
    return report(b, __func__, true, 0xD2, &power, 1);
}

bool ZCT_GetDutPowerStatus(tZelk_Crestel* b) {
    UInt8 power = 0;
    return report(b, __func__, false, 0xD2, &power, 1) == kZErr_OK && (power & 0x80) != 0;
}

SInt32 ZCT_ReadADC(tZelk_Crestel* b, UInt8 adcIndex, UInt8 channel, UInt8 samples, double* volts) {
    if (!b) return ZCT_FAIL(nullptr, __func__, kZErr_invalidParam);
    if (adcIndex > 1 || !volts) return ZCT_FAIL(b->lm, __func__, kZErr_invalidParam);
    const UInt8 count = samples == 0 ? 1 : samples;
    ZLM_PrintText(b->lm, 2, "ADC Voltage Data[%s, ch: %d, %d sample avg]", kCtAdcStr[adcIndex], channel, count);
    UInt8 request[3] = {adcIndex, count, channel};
    SInt32 rc = report(b, __func__, true, 0xE3, request, 3);
    if (rc != kZErr_OK) return rc;
    UInt8 data[2 * 255];
    rc = report(b, __func__, false, 0xE3, data, 2u * count);
    if (rc != kZErr_OK) return rc;
    double sum = 0;
    for (UInt32 i = 0; i < count; ++i) {
        const UInt16 v = static_cast<UInt16>(data[2 * i] << 8 | data[2 * i + 1]);
        ZLM_PrintString(b->lm, 2, "%d ", v);
        sum += v;
    }
    ZLM_PrintString(b->lm, 2, "\n");
    *volts = sum / count * kAdcScale[adcIndex];
    return kZErr_OK;
}

SInt32 ZCT_GetFixtureStat(tZelk_Crestel* b, UInt8* state) {
    if (!b) return ZCT_FAIL(nullptr, __func__, kZErr_invalidParam);
    if (!state) return ZCT_FAIL(b->lm, __func__, kZErr_invalidParam);
    return report(b, __func__, false, 0xE6, state, 1);
}

void ZCT_SetClock(tZelk_Crestel* b, std::function<double()> clock, std::function<void(UInt32)> sleep) {
    if (!b) return;
    b->clock = std::move(clock);
    b->sleep = std::move(sleep);
}

SInt32 ZCT_SetFixtureStat(tZelk_Crestel* b, UInt8 state, UInt32 timeoutSec) {
    if (!b) return ZCT_FAIL(nullptr, __func__, kZErr_invalidParam);
    const std::function<double()> now = b->clock ? b->clock : systemClock;
    const double start = now();
    UInt8 current = 0;
    SInt32 rc = report(b, __func__, false, 0xE6, &current, 1);
    if (rc != kZErr_OK) return rc;  // no stale state to compare with
    if (state != 0 && state == current) return kZErr_OK;
    UInt8 wanted = state;
    rc = report(b, __func__, true, 0xE6, &wanted, 1);
    if (rc != kZErr_OK) return rc;
    const UInt8 timeout = static_cast<UInt8>(timeoutSec);
    if (timeout == 0) return kZErr_OK;
    for (;;) {
        if (b->sleep) b->sleep(10);
        else std::this_thread::sleep_for(std::chrono::milliseconds(10));
        UInt8 read = 0;
        if (report(b, __func__, false, 0xE6, &read, 1) == kZErr_OK) {  // a failed read is retried
            current = read;
            if (current == state) return kZErr_OK;
        }
        if (now() - start > timeout) {
            ZLM_PrintError(b->lm, "[fixture set failed] newStat=0x%02X curStat=0x%02X", state, current);
            return ZCT_FAIL(b->lm, __func__, kZErr_timeout);
        }
    }
}

SInt32 ZCT_FwDownload(tZelk_Crestel* b, const char* path, UInt32 blockSize, UInt8 target, UInt32 flashKey) {
    static const char* const fn = "ZCT_FwDownload";
    if (!b) return ZCT_FAIL(nullptr, fn, kZErr_invalidParam);
    if (blockSize == 0 || !path || target > 2) return ZCT_FAIL(b->lm, fn, kZErr_invalidParam);
    iZelk_LogManager* lm = b->lm;
    ZLM_PrintText(lm, 0, "*** Download MT FW ***");
    const char* ext = ZUTIL_StrGoLastText(path, ".");
    if (!ext) {
        ZLM_PrintError(lm, "Unknown FW file extension");
        return ZCT_FAIL(lm, fn, kZErr_invalidParam);
    }
    const bool hex = strcasecmp(ext, ".hex") == 0;
    if (!hex && strcasecmp(ext, ".bin") != 0) {
        ZLM_PrintError(lm, "Unknown FW file extension (exp. '.hex' or '.bin')");
        return ZCT_FAIL(lm, fn, kZErr_invalidParam);
    }
    ZLM_PrintText(lm, 0, "  - load %s file", ext + 1);
    if (!ZUTIL_IsFileExist(path)) return ZCT_FAIL(lm, fn, kZErr_fileNotExist);
    FILE* f = std::fopen(path, "rb");
    if (!f) return ZCT_FAIL(lm, fn, kZErr_fileOpenFailed);
    const SInt64 size = ZUTIL_GetFileSize(f);
    if (size < 0) {
        std::fclose(f);
        return ZCT_FAIL(lm, fn, kZErr_fileReadFailed);
    }
    if (!hex && static_cast<UInt64>(size) > kImageCapacity) {  // no board takes more
        std::fclose(f);
        return ZCT_FAIL(lm, fn, kZErr_insufficientBufferSize);
    }
    const size_t fileSize = static_cast<size_t>(size);
    UInt8* file = static_cast<UInt8*>(std::calloc(fileSize + 1024, 1));
    if (!file) {
        std::fclose(f);
        return ZCT_FAIL(lm, fn, kZErr_memAllocationFailed);
    }
    const size_t got = std::fread(file, 1, fileSize, f);
    std::fclose(f);
    if (got != fileSize) {
        std::free(file);
        return ZCT_FAIL(lm, fn, kZErr_fileReadFailed);
    }

    UInt8* image = file;
    UInt64 imageSize = fileSize;
    if (hex) {
        ZLM_PrintText(lm, 0, "  - parse hex to bin");
        image = static_cast<UInt8*>(std::calloc(kImageCapacity + 1024, 1));
        if (!image) {
            std::free(file);
            return ZCT_FAIL(lm, fn, kZErr_memAllocationFailed);
        }
        UInt64 dataBytes = kImageCapacity, extent = 0;
        const SInt32 rc = ZUTIL_ParseIntelHexFile(reinterpret_cast<const char*>(file), image, &dataBytes, &extent);
        std::free(file);
        if (rc != kZErr_OK) {
            std::free(image);
            return rc;
        }
        // Gaps between records are zeros: the image runs to its highest byte, not to the count of data bytes.
        imageSize = extent;
    }

    const SInt32 rc = sendImage(b, fn, image, imageSize, blockSize, target, flashKey);
    std::free(image);
    return rc;
}

// ================================================================ Zelk_Crestel

Zelk_Crestel::Zelk_Crestel() { init(nullptr); }
Zelk_Crestel::Zelk_Crestel(iZelk_LogManager* lm) { init(lm); }

void Zelk_Crestel::init(iZelk_LogManager* lm) {
    tZelk_Crestel* ct = ZCT_Create(lm);
    if (!ct) return;
    // The board tells us first when it goes; the state outlives this object for that call.
    std::shared_ptr<State> state = state_;
    ct->ownerNotice = [state] {
        std::lock_guard<std::mutex> lock(state->m);
        state->ct = nullptr;
    };
    std::lock_guard<std::mutex> lock(state_->m);
    state_->ct = ct;
}

Zelk_Crestel::~Zelk_Crestel() {
    // Held through the delete: an unplug that claimed the record first waits here
    // before it frees it, so the delete never reads a freed record.
    std::lock_guard<std::mutex> lock(state_->m);
    ZCT_Delete(&state_->ct);
}

#define ZCT_FORWARD(call, none)                     \
    std::lock_guard<std::mutex> lock(state_->m);    \
    if (!state_->ct) return none;                   \
    return call

SInt32 Zelk_Crestel::SetName(UInt32 id) { ZCT_FORWARD(ZCT_SetName(state_->ct, id), kZErr_invalidParam); }
const tZelk_UsbDevInfo* Zelk_Crestel::GetDeviceInfo() { ZCT_FORWARD(ZCT_GetDeviceInfo(state_->ct), nullptr); }
iZelk_LogManager* Zelk_Crestel::GetLogManager() { ZCT_FORWARD(ZCT_GetLogManager(state_->ct), nullptr); }
SInt32 Zelk_Crestel::AppendUsbDevice(iZelk_UsbDevice* device) {
    ZCT_FORWARD(ZCT_AppendUsbDevice(state_->ct, device), kZErr_invalidParam);
}
SInt32 Zelk_Crestel::SetEventSink(iZelk_CrestelEventSink* sink) {
    ZCT_FORWARD(ZCT_SetEventSink(state_->ct, sink), kZErr_invalidParam);
}
SInt32 Zelk_Crestel::FwDownload(const char* path, UInt32 blockSize, UInt8 target, UInt32 flashKey) {
    ZCT_FORWARD(ZCT_FwDownload(state_->ct, path, blockSize, target, flashKey), kZErr_invalidParam);
}
SInt32 Zelk_Crestel::ctGetReport(UInt8 id, void* buffer, UInt32 length) {
    ZCT_FORWARD(ZCT_GetReport(state_->ct, id, buffer, length), kZErr_invalidParam);
}
SInt32 Zelk_Crestel::ctSetReport(UInt8 id, const void* buffer, UInt32 length) {
    ZCT_FORWARD(ZCT_SetReport(state_->ct, id, buffer, length), kZErr_invalidParam);
}
SInt32 Zelk_Crestel::ctReadADC(UInt8 adcIndex, UInt8 channel, UInt8 samples, double* volts) {
    ZCT_FORWARD(ZCT_ReadADC(state_->ct, adcIndex, channel, samples, volts), kZErr_invalidParam);
}
SInt32 Zelk_Crestel::ctGetFixtureStat(UInt8* state) {
    ZCT_FORWARD(ZCT_GetFixtureStat(state_->ct, state), kZErr_invalidParam);
}
SInt32 Zelk_Crestel::ctSetFixtureStat(UInt8 state, UInt32 timeoutSec) {
    ZCT_FORWARD(ZCT_SetFixtureStat(state_->ct, state, timeoutSec), kZErr_invalidParam);
}
SInt32 Zelk_Crestel::DutPowerControl(bool on) { ZCT_FORWARD(ZCT_DutPowerControl(state_->ct, on), kZErr_invalidParam); }
bool Zelk_Crestel::GetDutPowerStatus() { ZCT_FORWARD(ZCT_GetDutPowerStatus(state_->ct), false); }
tZelk_Crestel* Zelk_Crestel::ctPtr() { ZCT_FORWARD(state_->ct, nullptr); }
#undef ZCT_FORWARD
