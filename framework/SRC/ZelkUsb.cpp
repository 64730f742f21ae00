#include "ZelkUsb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "nk_unplug.h"
#include "usb/pf_usb.h"

namespace {

constexpr unsigned kControlTimeoutMs = 5000;

// Invented rows: the station's own makers and devices, not any real vendor's ids.
struct ProductRow {
    UInt16 productId;
    const char* name;
};
struct VendorRow {
    UInt16 vendorId;
    const char* name;
    const ProductRow* products;
    size_t productCount;
};
const ProductRow kOrchelProducts[] = {
    {0x0201, "Orchel Keyboard"},
    {0x0202, "Orchel Compact Keyboard"},
    {0x0203, "Orchel Keyboard with Numeric Pad"},
    {0x1001, "Orchel Keyboard Hub"},
    {0x1002, "Orchel Hub in Display"},
    {0x8005, "OHCI Root Hub Simulation"},
    {0x8006, "EHCI Root Hub Simulation"},
    {0x8007, "XHCI Root Hub Simulation"},
    {0x8501, "Built-in Camera"},
    {0x8502, "External Camera"},
    {0x8403, "Internal Memory Card Reader"},
    {0x9221, "Studio Display"},
    {0x9222, "Wide Display"},
    {0x1290, "Handset"},
    {0x1291, "Handset (second generation)"},
    {0x1292, "Handset (recovery mode)"},
    {0x1293, "Tablet Handset"},
    {0x1101, "Speakers Audio"},
    {0x8130, "Touch Test Board"},
    {kZelk_CrestelProductId, "Crestel Fixture Controller"},
};
const ProductRow kHalvexProducts[] = {{0x2514, "Halvex USB 2.0 Hub"}};
const ProductRow kDravonProducts[] = {{0x0A10, "Dravon External Disk"}};
const VendorRow kVendors[] = {
    {kZelk_CrestelVendorId, "Orchel Inc.", kOrchelProducts, sizeof(kOrchelProducts) / sizeof(kOrchelProducts[0])},
    {0x3E41, "Halvex Semiconductor", kHalvexProducts, 1},
    {0x5C27, "Dravon Storage", kDravonProducts, 1},
};

const VendorRow* findVendor(UInt16 vendorId) {
    for (const VendorRow& v : kVendors)
        if (v.vendorId == vendorId) return &v;
    return nullptr;
}

// Cut to the field's 127 characters.
void copyText(char (&field)[128], const std::string& text) { std::snprintf(field, sizeof(field), "%s", text.c_str()); }

void fillInfo(tZelk_UsbDevInfo& info, const pf::usb::Description& desc, UInt32 handle) {
    info = tZelk_UsbDevInfo{};
    copyText(info.name, desc.name.empty() ? std::string("Unknown") : desc.name);
    info.locationId = pf::usb::locationId(desc);
    info.vendorId = desc.vendorId;
    copyText(info.vendorName, ZUSB_GetVendorName(desc.vendorId));
    info.productId = desc.productId;
    copyText(info.productName, ZUSB_GetProductName(desc.vendorId, desc.productId));
    info.releaseNumber = 0;  // the platform layer does not read the device release
    info.speed = desc.speed;
    copyText(info.speedName, desc.speed == 1 ? "Up to 12 Mb/sec" : desc.speed == 2 ? "Up to 480 Mb/sec" : "Unknown");
    info.protocol = desc.protocol;
    copyText(info.serialNumber, desc.serial.empty() ? std::string("NA") : desc.serial);
    info.registryObject = handle;
}

void logDescription(iZelk_LogManager* lm, const tZelk_UsbDevInfo& i) {
    ZLM_PrintText(lm, 2, "[0x%08X]%s", i.locationId, i.name);
    ZLM_PrintText(lm, 2, "\tVndrId:\t0x%04X (%s)", i.vendorId, i.vendorName);
    ZLM_PrintText(lm, 2, "\tProdId:\t0x%04X (%s)", i.productId, i.productName);
    ZLM_PrintText(lm, 2, "\tRelNum:\t0x%04X", i.releaseNumber);
    ZLM_PrintText(lm, 2, "\tSpedId:\t0x%04X (%s)", i.speed, i.speedName);
    ZLM_PrintText(lm, 2, "\tPtclId:\t0x%04X", i.protocol);
}

SInt32 fail(iZelk_LogManager* lm, const char* func, int line, SInt32 code) {
    ZERR_Report(lm, __FILE__, func, line, code);
    return code;
}
#define ZUSB_FAIL(lm, func, code) fail((lm), (func), __LINE__, (code))

// Under the record's lock: lets go of everything the platform gave the record.
void releaseLocked(iZelk_UsbDevice* d) {
    if (d->removalWatch) pf::usb::cancelWatch(d->removalWatch);
    d->removalWatch = 0;
    d->interfaceOpen = false;
    d->device.reset();
    if (d->handle) pf::usb::release(d->handle);
    d->handle = 0;
}

// On the run loop that watches the device, once the gate let the unplug path in.
void onUnplugged(iZelk_UsbDevice* d, const std::shared_ptr<NK_unplugGate>& gate) {
    tZelk_UsbDevInfo info;
    iZelk_UsbDeviceEventSink* sink;
    std::function<void()> callback;
    iZelk_LogManager* lm;
    {
        std::lock_guard<std::mutex> lock(d->lock);  // requests in flight end first
        info = d->info;
        sink = d->sink;
        callback = d->callback;
        lm = d->lm;
        releaseLocked(d);
    }
    ZLM_PrintText(lm, 2, "*** iZelk_UsbDevice disconnected ***");
    logDescription(lm, info);
    ZLM_PrintText(lm, 2, "\tSerlNr:\t%s", info.serialNumber);
    // From here the record may be an owner's to free: only the copies are used.
    gate->tornDown();
    if (sink) sink->OnUsbDevDisconnected(info);
    if (callback) callback();
    if (gate->mayDelete()) delete d;
    gate->finished();
}

SInt32 request(iZelk_UsbDevice* d, const char* func, UInt8 type, UInt8 req, UInt16 value, void* buffer,
               UInt32 length, SInt32 shortCode) {
    if (!d) return ZUSB_FAIL(nullptr, func, kZErr_invalidParam);
    if (!buffer || length == 0 || length > 0xFFFF) return ZUSB_FAIL(d->lm, func, kZErr_invalidParam);
    std::lock_guard<std::mutex> lock(d->lock);
    if (!d->device) return ZUSB_FAIL(d->lm, func, kZErr_usbDeviceRequestFailed);
    const pf::usb::Setup setup{type, req, value, d->interfaceNumber, static_cast<UInt16>(length)};
    const int rc = d->device->control(setup, static_cast<UInt8*>(buffer), kControlTimeoutMs);
    if (rc < 0) return ZUSB_FAIL(d->lm, func, kZErr_usbDeviceRequestFailed);
    if (static_cast<UInt32>(rc) < length) return ZUSB_FAIL(d->lm, func, shortCode);
    return kZErr_OK;
}

}  // namespace

const char* ZUSB_GetVendorName(UInt16 vendorId) {
    const VendorRow* v = findVendor(vendorId);
    return v ? v->name : "Unknown";
}

const char* ZUSB_GetProductName(UInt16 vendorId, UInt16 productId) {
    const VendorRow* v = findVendor(vendorId);
    if (!v) return "Unknown";
    for (size_t i = 0; i < v->productCount; ++i)
        if (v->products[i].productId == productId) return v->products[i].name;
    return "Unknown";
}

// ================================================================ device

iZelk_UsbDevice::iZelk_UsbDevice() : gate(std::make_shared<NK_unplugGate>()) {}
iZelk_UsbDevice::~iZelk_UsbDevice() = default;

iZelk_UsbDevice* ZUSBD_Create(iZelk_LogManager* lm) {
    ZLM_PrintText(lm, 3, "*** create usb device ***");
    iZelk_UsbDevice* d = new (std::nothrow) iZelk_UsbDevice();
    if (!d) {
        ZUSB_FAIL(lm, __func__, kZErr_memAllocationFailed);
        return nullptr;
    }
    d->lm = lm;
    return d;
}

iZelk_UsbDevice* ZUSBD_CreateForHandle(iZelk_LogManager* lm, UInt32 handle, bool followUnplug) {
    pf::usb::Description desc;
    if (!pf::usb::describe(handle, desc) || !desc.readable) {
        ZUSB_FAIL(lm, __func__, kZErr_devCreatePlugInInterfaceForServiceFailed);
        return nullptr;
    }
    int err = 0;
    std::unique_ptr<pf::usb::Device> device = pf::usb::open(handle, &err);
    if (!device) {
        ZUSB_FAIL(lm, __func__, kZErr_devCreatePlugInInterfaceForServiceFailed);
        return nullptr;
    }
    iZelk_UsbDevice* d = ZUSBD_Create(lm);
    if (!d) {
        ZUSB_FAIL(lm, __func__, kZErr_objectCreationFailed);
        return nullptr;
    }
    fillInfo(d->info, desc, handle);
    pf::usb::retain(handle);
    d->handle = handle;
    d->device = std::move(device);
    if (followUnplug) {
        std::shared_ptr<NK_unplugGate> gate = d->gate;
        d->removalWatch = pf::usb::watchRemoval(handle, [gate, d] {
            if (gate->beginUnplug()) onUnplugged(d, gate);
        });
        if (!d->removalWatch) {
            ZUSB_FAIL(lm, __func__, kZErr_devServiceAddInterestNotificationFailed);
            ZUSBD_Delete(&d);
            return nullptr;
        }
    }
    return d;
}

void ZUSBD_Delete(iZelk_UsbDevice** handle) {
    if (!handle || !*handle) return;
    iZelk_UsbDevice* d = *handle;
    *handle = nullptr;
    // The record is alive here (its owner's lock keeps an unplug from getting past
    // the callback); once claimed, the unplug path no longer frees it.
    const std::shared_ptr<NK_unplugGate> gate = d->gate;
    if (!gate->claimForOwner()) {  // the unplug path has decided to free it
        gate->waitFinished();
        return;
    }
    ZLM_PrintText(d->lm, 3, "*** delete usb device ***");
    UInt64 watch;
    {
        std::lock_guard<std::mutex> lock(d->lock);
        watch = d->removalWatch;
    }
    // No unplug path starts after this; one already running is settled by the gate.
    if (watch) pf::usb::cancelWatch(watch);
    if (gate->enterDestructor()) {
        std::lock_guard<std::mutex> lock(d->lock);
        releaseLocked(d);
    }
    delete d;
}

SInt32 ZUSBD_SetCallback(iZelk_UsbDevice* d, ZUSBD_UnplugFunction function, void* userData) {
    if (!d) return ZUSB_FAIL(nullptr, __func__, kZErr_invalidParam);
    std::function<void()> handler;
    if (function) handler = [function, userData] { function(userData); };
    return ZUSBD_SetUnplugHandler(d, std::move(handler));
}

void ZUSBD_ClaimForOwner(iZelk_UsbDevice* d) {
    if (d) d->gate->claimForOwner();
}

SInt32 ZUSBD_SetUnplugHandler(iZelk_UsbDevice* d, std::function<void()> handler) {
    if (!d) return ZUSB_FAIL(nullptr, __func__, kZErr_invalidParam);
    std::lock_guard<std::mutex> lock(d->lock);
    d->callback = std::move(handler);
    return kZErr_OK;
}

SInt32 ZUSBD_SetEventSink(iZelk_UsbDevice* d, iZelk_UsbDeviceEventSink* sink) {
    if (!d) return ZUSB_FAIL(nullptr, __func__, kZErr_invalidParam);
    std::lock_guard<std::mutex> lock(d->lock);
    d->sink = sink;
    return kZErr_OK;
}

SInt32 ZUSBD_SetInterfaceNumber(iZelk_UsbDevice* d, UInt16 number) {
    if (!d) return ZUSB_FAIL(nullptr, __func__, kZErr_invalidParam);
    std::lock_guard<std::mutex> lock(d->lock);
    std::vector<UInt8> config;
    if (!d->device || d->device->configDescriptor(0, config) != 0)
        return ZUSB_FAIL(d->lm, __func__, kZErr_objectCreationFailed);
    // Every interface descriptor in order, alternate settings included; the walk
    // stays within the buffer, the total length and each descriptor's own length.
    size_t total = config.size();
    if (total >= 4) total = std::min<size_t>(total, static_cast<size_t>(config[2] | config[3] << 8));
    size_t at = 0;
    UInt16 position = 0;
    while (at + 2 <= total) {
        const UInt8 len = config[at];
        if (len < 2 || at + len > total) break;
        if (config[at + 1] == 4 && len >= 9) {
            if (position == number) {
                const UInt8 intfNumber = config[at + 2];
                const UInt8 intfClass = config[at + 5];
                if (d->device->claimInterface(intfNumber, intfClass) < 0)
                    return ZUSB_FAIL(d->lm, __func__, kZErr_devCreatePlugInInterfaceForServiceFailed);
                d->interfaceNumber = intfNumber;
                d->interfaceClass = intfClass;
                d->interfaceOpen = true;
                return kZErr_OK;
            }
            ++position;
        }
        at += len;
    }
    return ZUSB_FAIL(d->lm, __func__, kZErr_noInterface);
}

SInt32 ZUSBD_GetReport(iZelk_UsbDevice* d, UInt16 value, void* buffer, UInt32 length) {
    return request(d, __func__, 0xA1, 0x01, value, buffer, length, kZErr_usbDeviceRequestFailed);
}

SInt32 ZUSBD_SetReport(iZelk_UsbDevice* d, UInt16 value, const void* buffer, UInt32 length) {
    // The transfer only reads the bytes of a host-to-device request.
    return request(d, __func__, 0x21, 0x09, value, const_cast<void*>(buffer), length, kZErr_usbDevicePowerOnFailed);
}

const tZelk_UsbDevInfo* ZUSBD_GetDeviceInfo(iZelk_UsbDevice* d) { return d ? &d->info : nullptr; }

// ================================================================ monitor

struct ZelkUsbMonitorCore {
    // Held through each arrival; recursive so a receiver may delete the monitor inside.
    std::recursive_mutex m;
    bool alive = true;
    iZelk_LogManager* lm = nullptr;
    UInt16 vendorId = 0, productId = 0;
    ZUSBM_ArrivalFunction function = nullptr;
    void* userData = nullptr;
    iZelk_UsbMonitorEventSink* sink = nullptr;
};

namespace {

void handleArrival(const std::shared_ptr<ZelkUsbMonitorCore>& core, UInt32 handle) {
    std::lock_guard<std::recursive_mutex> guard(core->m);
    if (!core->alive) return;
    ZLM_PrintText(core->lm, 2, "*** Connected ***");
    iZelk_UsbDevice* device = ZUSBD_CreateForHandle(core->lm, handle, true);
    if (!device) return;
    logDescription(core->lm, device->info);
    ZLM_PrintText(core->lm, 2, "\tio_object_id:\t0x%04X", device->info.registryObject);
    iZelk_UsbMonitorEventSink* sink = core->sink;
    SInt32 rc = kZErr_OK;
    if (core->function) rc = core->function(core->userData, device, core->vendorId, core->productId);
    if (sink) rc = sink->OnUsbDevConnected(device, core->vendorId, core->productId);
    if (rc != kZErr_OK) ZUSBD_Delete(&device);  // refused: nobody else holds it
}

SInt32 launch(iZelk_UsbMonitor* m, UInt16 vendorId, UInt16 productId, ZUSBM_ArrivalFunction function, void* userData,
              iZelk_UsbMonitorEventSink* sink, const char* func) {
    ZLM_PrintText(m->lm, 2, "*** launch usb device detector [vndrId=0x%04X, prodId=0x%04X] ***", vendorId, productId);
    // A second launch replaces the first watch.
    if (m->core) {
        std::lock_guard<std::recursive_mutex> guard(m->core->m);
        m->core->alive = false;
    }
    if (m->arrivalWatch) pf::usb::cancelWatch(m->arrivalWatch);
    m->arrivalWatch = 0;
    m->vendorId = vendorId;
    m->productId = productId;
    auto core = std::make_shared<ZelkUsbMonitorCore>();
    core->lm = m->lm;
    core->vendorId = vendorId;
    core->productId = productId;
    core->function = function;
    core->userData = userData;
    core->sink = sink;
    m->core = core;
    std::vector<pf::usb::Handle> present;
    m->arrivalWatch = pf::usb::watchArrival(
        vendorId, productId, [core](pf::usb::Handle h) { handleArrival(core, h); }, &present);
    if (!m->arrivalWatch) return ZUSB_FAIL(m->lm, func, kZErr_devServiceAddMatchingNotificationFailed);
    // Devices attached now; the receiver may delete the monitor meanwhile (core stays).
    for (pf::usb::Handle h : present) {
        handleArrival(core, h);
        pf::usb::release(h);
    }
    return kZErr_OK;
}

}  // namespace

iZelk_UsbMonitor* ZUSBM_Create(iZelk_LogManager* lm) {
    ZLM_PrintText(lm, 2, "*** create usb device detector ***");
    iZelk_UsbMonitor* m = new (std::nothrow) iZelk_UsbMonitor();
    if (!m) {
        ZUSB_FAIL(lm, __func__, kZErr_memAllocationFailed);
        return nullptr;
    }
    m->lm = lm;
    return m;
}

SInt32 ZUSBM_Launch(iZelk_UsbMonitor* m, UInt16 vendorId, UInt16 productId, ZUSBM_ArrivalFunction function,
                    void* userData) {
    if (!m || !function) return ZUSB_FAIL(m ? m->lm : nullptr, __func__, kZErr_invalidParam);
    return launch(m, vendorId, productId, function, userData, nullptr, __func__);
}

SInt32 ZUSBM_Launch2(iZelk_UsbMonitor* m, UInt16 vendorId, UInt16 productId, iZelk_UsbMonitorEventSink* sink) {
    if (!m) return ZUSB_FAIL(nullptr, __func__, kZErr_invalidParam);
    return launch(m, vendorId, productId, nullptr, nullptr, sink, __func__);
}

void ZUSBM_Delete(iZelk_UsbMonitor** handle) {
    if (!handle || !*handle) return;
    iZelk_UsbMonitor* m = *handle;
    ZLM_PrintText(m->lm, 2, "*** delete usb device detector [vndrId=0x%04X, prodId=0x%04X] ***", m->vendorId,
                  m->productId);
    if (m->core) {
        // Waits for an arrival under way on another thread.
        std::lock_guard<std::recursive_mutex> guard(m->core->m);
        m->core->alive = false;
    }
    if (m->arrivalWatch) pf::usb::cancelWatch(m->arrivalWatch);
    delete m;
    *handle = nullptr;
}

SInt32 ZUSBM_GetUsbDeviceList(iZelk_LogManager* lm, tZelk_UsbDevInfo* table, UInt32* count) {
    if (!table || !count) return ZUSB_FAIL(lm, __func__, kZErr_invalidParam);
    const UInt32 room = *count;
    *count = 0;
    SInt32 rc = kZErr_OK;
    // Descriptions come from the registry without opening the devices, so a device
    // this process may not open is still listed.
    for (pf::usb::Handle h : pf::usb::list()) {
        if (rc == kZErr_OK) {
            pf::usb::Description desc;
            if (!pf::usb::describe(h, desc) || !desc.readable) {
                ZUSB_FAIL(lm, __func__, kZErr_noInterface);
            } else if (*count >= room) {
                rc = ZUSB_FAIL(lm, __func__, kZErr_insufficientBufferSize);
            } else {
                fillInfo(table[(*count)++], desc, h);
            }
        }
        pf::usb::release(h);
    }
    return rc;
}
