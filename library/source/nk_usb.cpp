// USB layer of the library over pf::usb.
#include "nk_usb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "nk_unplug.h"
#include "runloop/pf_runloop.h"
#include "usb/pf_usb.h"

namespace {

constexpr i32 kDevReturnBadArgument = static_cast<i32>(0xE00002C2);
constexpr i32 kDevUSBNotFound = static_cast<i32>(0xE000404E);
constexpr u8 kDescConfig = 2;
constexpr u8 kDescInterface = 4;
constexpr size_t kInterfaceDescLength = 9;
constexpr unsigned kControlTimeoutMs = 5000;

#define NK_REPORT_AS(objName, code, cond) \
    nkDebug_printError(nullptr, __FILE__, (objName), __func__, __LINE__, (uint16_t)(code), (cond))

// Properties are kept as ASCII of at most 255 characters; other bytes become '?'.
std::string asciiProperty(const std::string& s) {
    std::string out = s.substr(0, 255);
    for (char& c : out)
        if (static_cast<unsigned char>(c) > 0x7E || static_cast<unsigned char>(c) < 0x20) c = '?';
    return out;
}

const char* speedText(u8 speed) {
    switch (speed) {
    case pf::usb::kSpeedFull: return "Up to 12 Mb/sec";
    case pf::usb::kSpeedHigh: return "Up to 480 Mb/sec";
    default: return "Unknown";
    }
}

struct InterfaceEntry {
    u8 number;
    u8 cls;
};

// Every interface descriptor (first alternate setting) of every configuration, in descriptor order.
i32 readInterfaces(pf::usb::Device& dev, std::vector<InterfaceEntry>& out) {
    const int configs = dev.configurationCount();
    if (configs < 0) return configs;
    for (int c = 0; c < configs; ++c) {
        std::vector<u8> cfg;
        const int rc = dev.configDescriptor(c, cfg);
        if (rc != 0) return rc;
        const u8* cur = nullptr;
        const u8* next = nullptr;
        while (CNK_usbDev::findNextInterfaceDescriptor(cfg.data(), cfg.size(), cur, &next) == 0) {
            if (next[3] == 0) out.push_back({next[2], next[5]});
            cur = next;
        }
    }
    return 0;
}

}  // namespace

// ================================================================ descriptions

std::string t_nkUsbDevInfo::usbDevInfoStr() const {
    char text[2048];
    std::snprintf(text, sizeof(text),
                  "[%s]\nioObject:   %d\nlocationID: 0x%08X\nvendor:     0x%04X [%s]\nproduct:    0x%04X [%s]\n"
                  "speed:      0x%02X [%s]\nprotocol:   0x%02X\nserial:     %s\n",
                  name.c_str(), static_cast<int>(ioObject), locationID, vendorId, vendorName.c_str(), productId,
                  productName.c_str(), speed, speedName.c_str(), protocol, serial.c_str());
    return text;
}

u8 nkUsb_portOfLocation(u32 loc) {
    if (loc == 0) return 255;
    while ((loc & 0xF) == 0) loc >>= 4;
    return static_cast<u8>((loc & 0xF) - 1);
}

t_nkUsbDevInfo nkUsb_getUsbDevInfo(u32 usbDev) {
    t_nkUsbDevInfo info;
    info.ioObject = usbDev;
    pf::usb::Description d;
    if (!pf::usb::describe(usbDev, d)) {
        NK_REPORT_FN(kNKErr_devCreatePlugInInterfaceForService, "krtn==0");
        return info;
    }
    if (!d.readable) {
        NK_REPORT_FN(kNKErr_queryInterface, "irtn==0");
        return info;
    }
    info.name = d.name.empty() ? std::string("Unknown") : asciiProperty(d.name);
    info.locationID = pf::usb::locationId(d);
    info.vendorId = d.vendorId;
    info.productId = d.productId;
    info.speed = d.speed;
    info.speedName = speedText(d.speed);
    info.protocol = d.protocol;
    info.vendorName = asciiProperty(d.vendorName);
    info.productName = asciiProperty(d.productName);
    info.serial = asciiProperty(d.serial);
    return info;
}

std::vector<t_nkUsbDevInfo> nkUsb_getUsbDevList() {
    std::vector<t_nkUsbDevInfo> out;
    for (u32 h : pf::usb::list()) {
        t_nkUsbDevInfo info = nkUsb_getUsbDevInfo(h);
        pf::usb::release(h);
        if (info.isValid()) out.push_back(std::move(info));
    }
    return out;
}

u32 nkUsb_getUsbDev(u16 vendorId, u16 productId, u8 port) {
    u32 found = 0;
    for (u32 h : pf::usb::list()) {
        if (!found) {
            // An unreadable device is passed over; the search goes on.
            const t_nkUsbDevInfo info = nkUsb_getUsbDevInfo(h);
            if (info.isValid() && info.vendorId == vendorId && info.productId == productId &&
                (port == 255 || port == nkUsb_portOfLocation(info.locationID))) {
                found = h;
                continue;
            }
        }
        pf::usb::release(h);
    }
    return found;
}

// ================================================================ arrival detection

namespace {

struct t_usbDeviceDetection {
    u16 vendorId;
    u16 productId;
    INK_usbDeviceDetectionCallback* callback;
    pf::usb::WatchId watch;
};

std::mutex g_detectionMutex;
std::vector<t_usbDeviceDetection>& detectionList() {
    static std::vector<t_usbDeviceDetection>* list = new std::vector<t_usbDeviceDetection>;
    return *list;
}

void tellArrival(INK_usbDeviceDetectionCallback* callback, u32 usbDev) {
    if (!nkUsb_getUsbDevInfo(usbDev).isValid()) return;
    callback->onUsbDeviceArrived(usbDev);
}

}  // namespace

u16 nkUsb_deviceDetection(u16 vendorId, u16 productId, INK_usbDeviceDetectionCallback* callback) {
    if (!callback) {
        NK_REPORT_FN(kNKErr_invalidParam, "callback!=NULL");
        return kNKErr_invalidParam;
    }
    std::vector<u32> present;
    {
        std::lock_guard<std::mutex> lock(g_detectionMutex);
        for (const auto& d : detectionList()) {
            if (d.vendorId == vendorId && d.productId == productId && d.callback == callback) {
                std::printf("already registered [0x%04X | 0x%04X]\n", vendorId, productId);
                return kNKErr_OK;
            }
        }
        const pf::usb::WatchId watch = pf::usb::watchArrival(
            vendorId, productId, [callback](u32 h) { tellArrival(callback, h); }, &present);
        if (!watch) {
            NK_REPORT_FN(kNKErr_devServiceAddMatchingNotification, "krtn==0");
            return kNKErr_devServiceAddMatchingNotification;
        }
        detectionList().push_back({vendorId, productId, callback, watch});
    }
    // Devices already attached are told inside the call, without the list lock.
    for (u32 h : present) {
        tellArrival(callback, h);
        pf::usb::release(h);
    }
    return kNKErr_OK;
}

u16 nkUsb_cancelDeviceDetection(INK_usbDeviceDetectionCallback* callback) {
    if (!callback) {
        NK_REPORT_FN(kNKErr_invalidParam, "callback!=NULL");
        return kNKErr_invalidParam;
    }
    std::lock_guard<std::mutex> lock(g_detectionMutex);
    auto& list = detectionList();
    for (auto it = list.begin(); it != list.end();) {
        if (it->callback == callback) {
            pf::usb::cancelWatch(it->watch);
            it = list.erase(it);
        } else {
            ++it;
        }
    }
    return kNKErr_OK;
}

// ================================================================ CNK_usbDev

CNK_usbDev::CNK_usbDev() : _gate(std::make_shared<NK_unplugGate>()) { NK_CLASS_NAME(); }

CNK_usbDev::~CNK_usbDev() {
    if (_gate->enterDestructor()) {
        std::lock_guard<std::mutex> lock(_mtx);
        teardownLocked();
    }
}

u16 CNK_usbDev::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_usbDev::teardownLocked() {
    if (_notification) pf::usb::cancelWatch(_notification);
    _notification = 0;
    _device.reset();
    if (_usbDev) pf::usb::release(_usbDev);
    _usbDev = 0;
    _interfaceNumTotal = 0;
    magic = 0;
}

CNK_usbDev* CNK_usbDev::create(u32 usbDev) {
    if (usbDev == 0) {
        NK_REPORT_AS("CNK_usbDev", kNKErr_invalidParam, "usbDev!=0");
        return nullptr;
    }
    t_nkUsbDevInfo info = nkUsb_getUsbDevInfo(usbDev);
    if (!info.isValid()) {
        NK_REPORT_AS("CNK_usbDev", kNKErr_invalidCondition, "devInfo.isValid()");
        return nullptr;
    }
    CNK_usbDev* pUsbDev = new CNK_usbDev();
    pUsbDev->devInfo = info;
    pf::usb::retain(usbDev);
    pUsbDev->_usbDev = usbDev;

    int err = 0;
    pUsbDev->_device = pf::usb::open(usbDev, &err);
    if (!pUsbDev->_device) {
        NK_REPORT_AS("CNK_usbDev", kNKErr_devCreatePlugInInterfaceForService, "krtn==0");
        delete pUsbDev;
        return nullptr;
    }
    std::vector<InterfaceEntry> intfs;
    if (readInterfaces(*pUsbDev->_device, intfs) != 0) {
        NK_REPORT_AS("CNK_usbDev", kNKErr_queryInterface, "krtn==kDevReturnSuccess");
        delete pUsbDev;
        return nullptr;
    }
    // Each descriptor its own entry; a ninth and later are dropped.
    for (const InterfaceEntry& e : intfs) {
        if (pUsbDev->_interfaceNumTotal >= kMaxInterfaces) break;
        pUsbDev->_interfaces[pUsbDev->_interfaceNumTotal++] = {e.number, e.cls};
    }

    std::shared_ptr<NK_unplugGate> gate = pUsbDev->_gate;
    pUsbDev->_notification = pf::usb::watchRemoval(usbDev, [gate, pUsbDev] {
        if (gate->beginUnplug()) pUsbDev->onUnplugged(gate);
    });
    if (!pUsbDev->_notification) {
        NK_REPORT_AS("CNK_usbDev", kNKErr_devServiceAddInterestNotification, "");
        delete pUsbDev;
        return nullptr;
    }
    return pUsbDev;
}

CNK_usbDev* CNK_usbDev::create(u16 vendorId, u16 productId, u32 locationID) {
    u32 chosen = 0;
    for (u32 h : pf::usb::list()) {
        if (!chosen) {
            // An unreadable device is passed over; the search goes on.
            const t_nkUsbDevInfo info = nkUsb_getUsbDevInfo(h);
            if (info.isValid() && info.vendorId == vendorId && info.productId == productId &&
                (locationID == 0 || info.locationID == locationID)) {
                chosen = h;
                continue;
            }
        }
        pf::usb::release(h);
    }
    CNK_usbDev* dev = create(chosen);
    if (chosen) pf::usb::release(chosen);
    return dev;
}

void CNK_usbDev::onUnplugged(const std::shared_ptr<NK_unplugGate>& gate) {
    u32 id;
    INK_usbDevCallback* callback;
    t_nkUsbDevInfo info;
    {
        // Requests in flight end before the device goes.
        std::lock_guard<std::mutex> lock(_mtx);
        id = _callbackId;
        callback = _callback;
        info = devInfo;
        teardownLocked();
    }
    gate->tornDown();
    if (callback) callback->onUsbDevDisconnected(id, info);
    if (gate->mayDelete()) delete this;
    gate->finished();
}

u16 CNK_usbDev::getInterfaceNumber(u8 interfaceClass, u8* pInterfaceNumber) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!pInterfaceNumber) {
        NK_REPORT(kNKErr_invalidParam, "pInterfaceNumber!=NULL");
        return kNKErr_invalidParam;
    }
    *pInterfaceNumber = 0xFF;
    for (int i = 0; i < _interfaceNumTotal; ++i)
        if (_interfaces[i].cls == interfaceClass) *pInterfaceNumber = _interfaces[i].number;
    if (*pInterfaceNumber == 0xFF) {
        NK_REPORT(kNKErr_queryInterface, "*pInterfaceNumber!=0xFF");
        return kNKErr_queryInterface;
    }
    return kNKErr_OK;
}

u16 CNK_usbDev::getBsdPath(char* path, i32 size) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!path) {
        NK_REPORT(kNKErr_invalidPointer, "path!=NULL");
        return kNKErr_invalidPointer;
    }
    if (size <= 0) {
        NK_REPORT(kNKErr_invalidParam, "size>0");
        return kNKErr_invalidParam;
    }
    const std::string tty = pf::usb::ttyOf(_usbDev);
    if (tty.empty()) {
        NK_REPORT(kNKErr_cannotFindUsbDevice, "");
        return kNKErr_cannotFindUsbDevice;
    }
    if (tty.size() >= static_cast<size_t>(size)) {
        NK_REPORT(kNKErr_invalidBufferSize, "strlen(path)<size");
        return kNKErr_invalidBufferSize;
    }
    std::memcpy(path, tty.c_str(), tty.size() + 1);
    return kNKErr_OK;
}

u16 CNK_usbDev::request(u8 reqType, u8 req, u16 value, u16 index, u8 claimClass, void* data, u32 length) {
    if (!_device) return kNKErr_objectNotAvailable;
    if (length > 0xFFFF) return kNKErr_invalidParam;
    _device->claimInterface(static_cast<u8>(index), claimClass);
    const pf::usb::Setup setup{reqType, req, value, index, static_cast<u16>(length)};
    const int rc = _device->control(setup, static_cast<u8*>(data), kControlTimeoutMs);
    return rc == static_cast<int>(length) ? kNKErr_OK : kNKErr_usbDeviceRequest;
}

u16 CNK_usbDev::setRequest(u16 value, void* data, u32 length) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "data!=NULL");
        return kNKErr_invalidPointer;
    }
    if (length == 0 || length > 0xFFFF) {
        NK_REPORT(kNKErr_invalidParam, "length>0");
        return kNKErr_invalidParam;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    const u8 cls = _interfaceNumTotal > 0 ? _interfaces[0].cls : 0;
    const u16 rc = request(0x21, 0x09, value, 0, cls, data, length);
    if (rc) NK_REPORT(rc, "");
    return rc;
}

u16 CNK_usbDev::getRequest(u16 value, void* data, u32 length) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "data!=NULL");
        return kNKErr_invalidPointer;
    }
    if (length == 0 || length > 0xFFFF) {
        NK_REPORT(kNKErr_invalidParam, "length>0");
        return kNKErr_invalidParam;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    const u8 cls = _interfaceNumTotal > 0 ? _interfaces[0].cls : 0;
    const u16 rc = request(0xA1, 0x01, value, 0, cls, data, length);
    if (rc) NK_REPORT(rc, "");
    return rc;
}

u16 CNK_usbDev::setInterfaceRequest(u8 intfNum, u8 req, u16 value, void* data, u32 length) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "data!=NULL");
        return kNKErr_invalidPointer;
    }
    if (length == 0 || length > 0xFFFF) {
        NK_REPORT(kNKErr_invalidParam, "length>0");
        return kNKErr_invalidParam;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    if (intfNum >= _interfaceNumTotal) {
        NK_REPORT(kNKErr_usbInterfaceRequest, "intfNum<_interfaceNumTotal");
        return kNKErr_usbInterfaceRequest;
    }
    const Intf& i = _interfaces[intfNum];
    return request(0x21, req, value, i.number, i.cls, data, length);
}

u16 CNK_usbDev::getInterfaceRequest(u8 intfNum, u8 req, u16 value, void* data, u32 length) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "data!=NULL");
        return kNKErr_invalidPointer;
    }
    if (length == 0 || length > 0xFFFF) {
        NK_REPORT(kNKErr_invalidParam, "length>0");
        return kNKErr_invalidParam;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    if (intfNum >= _interfaceNumTotal) {
        NK_REPORT(kNKErr_usbInterfaceRequest, "intfNum<_interfaceNumTotal");
        return kNKErr_usbInterfaceRequest;
    }
    const Intf& i = _interfaces[intfNum];
    const u16 rc = request(0xA1, req, value, i.number, i.cls, data, length);
    if (rc) NK_REPORT(rc, "");
    return rc;
}

void CNK_usbDev::setCallback(u32 id, INK_usbDevCallback* callback) {
    NK_VALID_OR_RETURN_VOID();
    std::lock_guard<std::mutex> lock(_mtx);
    if (!callback) {
        _callbackId = id;
        _callback = nullptr;
        return;
    }
    if (_callback) {
        if (nkObj_isValid(logManager)) logManager->printText(kVL1, "[Err] %s Only Accept One Callback", name);
        return;
    }
    _callbackId = id;
    _callback = callback;
}

i32 CNK_usbDev::findNextInterfaceDescriptor(const u8* config, size_t size, const u8* current, const u8** next) {
    if (!config || !next || size < 4 || config[1] != kDescConfig) return kDevReturnBadArgument;
    const size_t total = static_cast<size_t>(config[2] | (config[3] << 8));
    const u8* end = config + std::min(size, total);
    const u8* p;
    if (current) {
        if (current < config || current + 2 > end || current[1] != kDescInterface || current[0] < 2)
            return kDevReturnBadArgument;
        p = current + current[0];
    } else {
        p = config + config[0];
    }
    // Pointer arithmetic stays within [config, end]: every step is checked first.
    while (p < end && end - p >= 2) {
        const u8 len = p[0];
        if (len == 0) return kDevUSBNotFound;
        if (p[1] == kDescInterface) {
            if (len < kInterfaceDescLength || static_cast<size_t>(end - p) < kInterfaceDescLength)
                return kDevUSBNotFound;
            *next = p;
            return 0;
        }
        if (static_cast<size_t>(end - p) <= len) return kDevUSBNotFound;
        p += len;
    }
    return kDevUSBNotFound;
}

const u8* CNK_usbDev::nextDescriptor(const u8* descriptor) {
    if (!descriptor || descriptor[0] == 0) return nullptr;
    return descriptor + descriptor[0];
}

const char* CNK_usbDev::getUSBErrorString(i32 code) {
    if (code == 0) return "kDevReturnSuccess";
    const char* n = pf::usb::errorName(code);
    return n ? n : "Unknown";
}

// ================================================================ CNK_usb

CNK_usb::CNK_usb(u32 ioObj) : _gate(std::make_shared<NK_unplugGate>()) {
    NK_CLASS_NAME();
    init(ioObj);
}

CNK_usb::CNK_usb(u16 vendorId, u16 productId, u8 port) : _gate(std::make_shared<NK_unplugGate>()) {
    NK_CLASS_NAME();
    init(nkUsb_getUsbDev(vendorId, productId, port));
}

void CNK_usb::init(u32 ioObj) {
    if (ioObj == 0) {
        NK_REPORT_AS(name, kNKErr_invalidParam, "ioObj!=0");
        return;
    }
    int err = 0;
    std::unique_ptr<pf::usb::Device> device = pf::usb::open(ioObj, &err);
    if (!device) {
        NK_REPORT_AS(name, kNKErr_devCreatePlugInInterfaceForService, "krtn==0");
        pf::usb::release(ioObj);
        return;
    }
    t_nkUsbDevInfo info = nkUsb_getUsbDevInfo(ioObj);
    std::shared_ptr<NK_unplugGate> gate = _gate;
    const pf::usb::WatchId watch = pf::usb::watchRemoval(ioObj, [gate, this] {
        if (gate->beginUnplug()) onUnplugged(gate);
    });
    if (!watch) {
        NK_REPORT_AS(name, kNKErr_devServiceAddInterestNotification, "krtn==0");
        pf::usb::release(ioObj);
        return;
    }
    _ioObj = ioObj;
    _devInfo = std::move(info);
    _device = std::move(device);
    _notification = watch;
}

void CNK_usb::claimDestruction() {
    if (_destructMode < 0) _destructMode = _gate->enterDestructor() ? 1 : 0;
}

CNK_usb::~CNK_usb() {
    claimDestruction();
    if (_destructMode == 1) {
        std::lock_guard<std::mutex> lock(_mtx);
        teardownLocked();
    }
}

u16 CNK_usb::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_usb::teardownLocked() {
    if (_notification) pf::usb::cancelWatch(_notification);
    _notification = 0;
    _device.reset();
    if (_ioObj) pf::usb::release(_ioObj);
    _ioObj = 0;
    _interfaceNumber = -1;
    magic = 0;
}

void CNK_usb::onUnplugged(const std::shared_ptr<NK_unplugGate>& gate) {
    deviceGone();
    std::vector<u32> ids;
    std::vector<INK_usbDeviceCallback*> callbacks;
    t_nkUsbDevInfo info;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        ids = _ids;
        callbacks = _callbacks;
        info = _devInfo;
        teardownLocked();
    }
    gate->tornDown();
    for (size_t i = 0; i < callbacks.size(); ++i) callbacks[i]->onUsbDeviceDisconnected(ids[i], info);
    if (gate->mayDelete()) delete this;
    gate->finished();
}

u16 CNK_usb::setInterfaceNumber(i32 number) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!_device) {
        NK_REPORT(kNKErr_objectNotAvailable, "_device!=NULL");
        return kNKErr_objectNotAvailable;
    }
    std::vector<InterfaceEntry> intfs;
    if (readInterfaces(*_device, intfs) != 0) {
        NK_REPORT(kNKErr_objectCreationFailed, "");
        return kNKErr_objectCreationFailed;
    }
    const size_t pos = number < 0 ? 0 : static_cast<size_t>(number);
    if (pos >= intfs.size()) {
        NK_REPORT(kNKErr_invalidCondition, "");
        return kNKErr_invalidCondition;
    }
    if (_device->claimInterface(intfs[pos].number, intfs[pos].cls) != 0) {
        NK_REPORT(kNKErr_devCreatePlugInInterfaceForService, "");
        return kNKErr_devCreatePlugInInterfaceForService;
    }
    // A negative number picks the first interface; keep the position picked, so
    // that later requests see an interface chosen.
    _interfaceNumber = static_cast<i32>(pos);
    _usbInterfaceNumber = intfs[pos].number;
    _usbInterfaceClass = intfs[pos].cls;
    return kNKErr_OK;
}

u16 CNK_usb::request(u8 reqType, u8 req, u16 value, void* data, size_t length) {
    if (!nkObj_isValid(this)) return kNKErr_objectNotAvailable;
    if (!data) {
        NK_REPORT(kNKErr_invalidPointer, "data!=NULL");
        return kNKErr_invalidPointer;
    }
    if (length == 0 || length > 0xFFFF) {
        NK_REPORT(kNKErr_invalidParam, "length>0");
        return kNKErr_invalidParam;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    if (!_device) {
        NK_REPORT(kNKErr_objectNotAvailable, "_device!=NULL");
        return kNKErr_objectNotAvailable;
    }
    // Nothing goes out before an interface is chosen: wIndex would name none.
    if (_interfaceNumber < 0) {
        NK_REPORT(kNKErr_invalidCondition, "_interfaceNumber>=0");
        return kNKErr_invalidCondition;
    }
    const pf::usb::Setup setup{reqType, req, value, _usbInterfaceNumber, static_cast<u16>(length)};
    const int rc = _device->control(setup, static_cast<u8*>(data), kControlTimeoutMs);
    if (rc != static_cast<int>(length)) {
        NK_REPORT(kNKErr_usbDeviceRequest, "");
        return kNKErr_usbDeviceRequest;
    }
    return kNKErr_OK;
}

u16 CNK_usb::setRequest(u16 value, void* data, size_t length) { return request(0x21, 0x09, value, data, length); }

u16 CNK_usb::getRequest(u16 value, void* data, size_t length) { return request(0xA1, 0x01, value, data, length); }

u16 CNK_usb::setCallback(u32 id, INK_usbDeviceCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!callback) {
        NK_REPORT(kNKErr_invalidPointer, "callback!=NULL");
        return kNKErr_invalidPointer;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    for (size_t i = 0; i < _ids.size(); ++i) {
        if (_ids[i] == id && _callbacks[i] == callback) {
            NK_REPORT(kNKErr_invalidParam, "idx>=_name.size()");
            return kNKErr_invalidParam;
        }
    }
    _ids.push_back(id);
    _callbacks.push_back(callback);
    return kNKErr_OK;
}

void CNK_usb::removeCallback(INK_usbDeviceCallback* callback) {
    NK_VALID_OR_RETURN_VOID();
    std::lock_guard<std::mutex> lock(_mtx);
    for (size_t i = _ids.size(); i-- > 0;) {
        if (_callbacks[i] == callback) {
            _ids.erase(_ids.begin() + static_cast<std::ptrdiff_t>(i));
            _callbacks.erase(_callbacks.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

// ================================================================ detector

void t_nkUsbDeviceDetector::clear() {
    if (watch) pf::usb::cancelWatch(watch);
    watch = 0;
}

CNK_usbDevDetector::CNK_usbDevDetector() { NK_CLASS_NAME(); }

CNK_usbDevDetector::~CNK_usbDevDetector() {
    if (!nkObj_isValid(this)) return;
    for (auto& w : _watches) w.clear();
}

u16 CNK_usbDevDetector::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

u16 CNK_usbDevDetector::monitor(u16 vendorId, u16 productId, INK_usbDevDetectorCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (productId == 0) nkDebug_assertFail(__FILE__, "CNK_usbDeviceDetector", __func__, __LINE__, "prodId!=0");
    if (vendorId == 0) nkDebug_assertFail(__FILE__, "CNK_usbDeviceDetector", __func__, __LINE__, "vndrId!=0");
    if (!callback) {
        nkDebug_printError(logManager, __FILE__, "CNK_usbDeviceDetector", __func__, __LINE__, kNKErr_invalidParam,
                           "callback!=NULL");
        return kNKErr_invalidParam;
    }
    for (const auto& w : _watches) {
        if (w.vendorId == vendorId && w.productId == productId) {
            nkDebug_printError(logManager, __FILE__, "CNK_usbDeviceDetector", __func__, __LINE__, kNKErr_invalidParam,
                               "");
            return kNKErr_invalidParam;
        }
    }
    std::vector<u32> present;
    const pf::usb::WatchId watch = pf::usb::watchArrival(
        vendorId, productId,
        [this](u32 h) {
            pf::usb::retain(h);
            onUsbDevDetected({h});
        },
        &present);
    if (!watch) {
        nkDebug_printError(logManager, __FILE__, "CNK_usbDeviceDetector", __func__, __LINE__,
                           kNKErr_devServiceAddMatchingNotification, "");
        return kNKErr_devServiceAddMatchingNotification;
    }
    t_nkUsbDeviceDetector w;
    w.vendorId = vendorId;
    w.productId = productId;
    w.watch = watch;
    w.callback = callback;
    _watches.push_back(w);
    onUsbDevDetected(present);
    return kNKErr_OK;
}

void CNK_usbDevDetector::onUsbDevDetected(const std::vector<u32>& handles) {
    for (u32 h : handles) {
        CNK_usbDev* pDev = CNK_usbDev::create(h);
        pf::usb::release(h);
        // A device that cannot be opened is passed over; the rest of the batch is still handed out.
        if (!pDev) {
            NK_REPORT_AS("CNK_usbDeviceDetector", kNKErr_objectCreationFailed, "pDev!=NULL");
            continue;
        }
        std::fputs(pDev->devInfo.usbDevInfoStr().c_str(), stdout);
        INK_usbDevDetectorCallback* target = nullptr;
        for (const auto& w : _watches) {
            if (w.vendorId == pDev->devInfo.vendorId && w.productId == pDev->devInfo.productId) {
                target = w.callback;
                break;
            }
        }
        if (target) target->onUsbDevArrived(pDev);
        else delete pDev;
    }
}
