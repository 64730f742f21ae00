#include "nk_usbDevice.h"

#include <cstdio>

#include "nk_error.h"
#include "nk_unplug.h"
#include "usb/pf_usb.h"

// ================================================================ CNK_usbDevice

CNK_usbDevice::CNK_usbDevice() : _gate(std::make_shared<NK_unplugGate>()) { NK_CLASS_NAME(); }

CNK_usbDevice::~CNK_usbDevice() {
    claimDestruction();
    _info = t_nkUsbDevInfo();
}

bool CNK_usbDevice::claimDestruction() {
    if (_destructMode < 0) {
        _destructMode = _gate->enterDestructor() ? 1 : 0;
        if (_destructMode == 1) detachDevice();
    }
    return _destructMode == 1;
}

u16 CNK_usbDevice::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

CNK_usbDevice* CNK_usbDevice::create(u32 usbDev) {
    CNK_usbDev* dev = CNK_usbDev::create(usbDev);
    if (!dev) return nullptr;
    CNK_usbDevice* d = new CNK_usbDevice();
    d->adopt(dev);
    return d;
}

void CNK_usbDevice::adopt(CNK_usbDev* dev) {
    std::lock_guard<std::mutex> lock(_linkMtx);
    _dev = dev;
    _info = dev->devInfo;
    dev->setCallback(0, this);
}

void CNK_usbDevice::detachDevice() {
    CNK_usbDev* dev;
    {
        std::lock_guard<std::mutex> lock(_linkMtx);
        dev = _dev;
        _dev = nullptr;
        _listener = nullptr;
    }
    if (!dev) return;
    // An unplug of the device may be under way on its run loop: one of the two
    // deletes it, and its path is over (our hook found _dev cleared) before we go on.
    std::shared_ptr<NK_unplugGate> gate = dev->_gate;
    if (gate->claimForOwner()) delete dev;
    gate->waitFinished();
}

std::string CNK_usbDevice::ttyPath() {
    std::lock_guard<std::mutex> lock(_linkMtx);
    char path[1024];
    if (!_dev || _dev->getBsdPath(path, sizeof(path)) != kNKErr_OK) return {};
    return path;
}

u16 CNK_usbDevice::setCallback(u32 id, INK_usbDeviceCallback* listener) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_linkMtx);
    _callbackId = id;
    _listener = listener;
    return kNKErr_OK;
}

u16 CNK_usbDevice::setInterfaceNumber(u8 n) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_linkMtx);
    if (!_dev || n >= _dev->interfaceCount()) {
        NK_REPORT(kNKErr_invalidCondition, "n<interfaceCount");
        return kNKErr_invalidCondition;
    }
    _interface = n;
    return kNKErr_OK;
}

namespace {
// Refusals of the arguments keep their codes; whatever the transfer did is 0xE05A.
u16 requestCode(u16 rc) {
    if (rc == kNKErr_OK || rc == kNKErr_invalidPointer || rc == kNKErr_invalidParam) return rc;
    return kNKErr_usbDeviceRequest;
}
}  // namespace

u16 CNK_usbDevice::setRequest(u16 value, void* data, u32 length) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_linkMtx);
    if (!_dev) return kNKErr_usbDeviceRequest;
    return requestCode(_dev->setInterfaceRequest(_interface, 0x09, value, data, length));
}

u16 CNK_usbDevice::getRequest(u16 value, void* data, u32 length) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_linkMtx);
    if (!_dev) return kNKErr_usbDeviceRequest;
    return requestCode(_dev->getInterfaceRequest(_interface, 0x01, value, data, length));
}

std::function<void()> CNK_usbDevice::unplugNotice(u32 id, const t_nkUsbDevInfo& info) {
    INK_usbDeviceCallback* listener = _listener;
    if (!listener) return {};
    return [listener, id, copy = info]() mutable { listener->onUsbDeviceDisconnected(id, copy); };
}

void CNK_usbDevice::onUsbDevDisconnected(u32, t_nkUsbDevInfo& info) {
    const std::shared_ptr<NK_unplugGate> gate = _gate;
    if (!gate->beginUnplug()) return;  // an owner's delete has the object
    std::function<void()> notice;
    {
        std::lock_guard<std::mutex> lock(_linkMtx);
        _dev = nullptr;  // the device frees itself after this call
        notice = unplugNotice(_callbackId, info);
    }
    if (nkObj_isValid(logManager)) {
        logManager->printText(kVL1, "[0x%08X]%s", info.locationID, info.name.c_str());
        logManager->printText(kVL1, "\tVndrId:\t0x%04X (%s)", info.vendorId, info.vendorName.c_str());
        logManager->printText(kVL1, "\tProdId:\t0x%04X (%s)", info.productId, info.productName.c_str());
        logManager->printText(kVL1, "\tSpedId:\t0x%04X (%s)", info.speed, info.speedName.c_str());
        logManager->printText(kVL1, "\tPtclId:\t0x%04X", info.protocol);
        logManager->printText(kVL1, "\tSerial:\t%s", info.serial.c_str());
    }
    // From here the object may be an owner's to delete: only the gate and the notice are used.
    gate->tornDown();
    if (notice) notice();
    if (gate->mayDelete()) delete this;  // once, whatever the listener is (a port is its own)
    gate->finished();
}

// ================================================================ CNK_serialPort

CNK_serialPort* CNK_serialPort::create(CNK_usbDevice* usbDevice, u32 baudRate, t_nkSerialPortFormat format,
                                       u8 bufferSizeKB) {
    if (!nkObj_isValid(usbDevice)) {
        NK_REPORT_FN(kNKErr_invalidParam, "usbDevice!=NULL");
        return nullptr;
    }
    const std::string path = usbDevice->ttyPath();
    if (path.empty()) {
        NK_REPORT_FN(kNKErr_serialCannotFindDevice, "strlen(pSP->_bsdPath)>0");
        return nullptr;
    }
    CNK_serial* serial = CNK_serial::create(path.c_str(), baudRate, format, bufferSizeKB);
    if (!serial) return nullptr;  // the argument checks reported
    std::printf(". found \"%s\" for \"%s\"\n", path.c_str(), usbDevice->devInfo().name.c_str());

    // Nothing fails from here: the device moves into the port and its old object goes.
    CNK_usbDev* dev;
    {
        std::lock_guard<std::mutex> lock(usbDevice->_linkMtx);
        dev = usbDevice->_dev;
        usbDevice->_dev = nullptr;
    }
    if (dev) dev->setCallback(0, nullptr);  // the old object no longer hears it
    if (!dev) {  // unplugged in between: the old object is freeing itself
        delete serial;
        NK_REPORT_FN(kNKErr_serialCannotFindDevice, "usbDevice attached");
        return nullptr;
    }
    delete usbDevice;
    CNK_serialPort* port = new CNK_serialPort();
    port->_serial = serial;
    port->_bsdPath = path;
    port->adopt(dev);
    port->CNK_usbDevice::setCallback(0, port);
    return port;
}

CNK_serialPort::CNK_serialPort() { NK_CLASS_NAME(); }

CNK_serialPort::~CNK_serialPort() {
    claimDestruction();
    std::unique_lock<std::shared_mutex> lock(_opMtx);  // reads in flight end first
    delete _serial;
    _serial = nullptr;
}

u16 CNK_serialPort::setLogManager(CNK_logManager* lm) {
    const u16 rc = acceptLogManager(lm);
    if (rc == kNKErr_OK && _serial) _serial->setLogManager(lm);
    return rc;
}

u16 CNK_serialPort::setCallback(u32 id, INK_serialPortCallback* listener) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!listener) {
        NK_REPORT(kNKErr_invalidPointer, "callback!=NULL");
        return kNKErr_invalidPointer;
    }
    {
        std::lock_guard<std::mutex> lock(_listenerMtx);
        _serialListener = listener;
    }
    return CNK_usbDevice::setCallback(id, this);
}

void CNK_serialPort::onUsbDeviceDisconnected(u32 id, t_nkUsbDevInfo& info) {
    if (std::function<void()> notice = unplugNotice(id, info)) notice();
}

std::function<void()> CNK_serialPort::unplugNotice(u32 id, const t_nkUsbDevInfo&) {
    // Only tells: the device object frees the whole port afterwards.
    std::lock_guard<std::mutex> lock(_listenerMtx);
    INK_serialPortCallback* listener = _serialListener;
    if (!listener) return {};
    return [listener, id] { listener->onSerialPortDisconnected(id); };
}

u16 CNK_serialPort::Open() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::shared_lock<std::shared_mutex> lock(_opMtx);
    return _serial->Open();
}

void CNK_serialPort::Close() {
    NK_VALID_OR_RETURN_VOID();
    std::shared_lock<std::shared_mutex> lock(_opMtx);
    _serial->Close();
}

u16 CNK_serialPort::Read(char* recvBuff, u32* pRecvLeng, const char* terminator, u32 timeoutMs) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::shared_lock<std::shared_mutex> lock(_opMtx);
    return _serial->Read(recvBuff, pRecvLeng, const_cast<char*>(terminator ? terminator : ""), timeoutMs, 0);
}

u16 CNK_serialPort::clear_readBuffer() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::shared_lock<std::shared_mutex> lock(_opMtx);
    return _serial->clear_readBuffer();
}

u16 CNK_serialPort::Write(const u8* data, u32 length) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::shared_lock<std::shared_mutex> lock(_opMtx);
    return _serial->Write(const_cast<u8*>(data), length);
}

// ================================================================ listing and detection

u16 nkUsb_getUsbDeviceList(t_nkUsbDevInfo* table, u32* count) {
    if (!table) {
        NK_REPORT_FN(kNKErr_invalidParam, "pDevTable!=NULL");
        return kNKErr_invalidParam;
    }
    if (!count) {
        NK_REPORT_FN(kNKErr_invalidParam, "pTableSize!=NULL");
        return kNKErr_invalidParam;
    }
    if (*count < 1) {
        NK_REPORT_FN(kNKErr_invalidParam, "*pTableSize>0");
        return kNKErr_invalidParam;
    }
    const u32 room = *count;
    *count = 0;
    for (const t_nkUsbDevInfo& info : nkUsb_getUsbDevList()) {
        if (*count >= room) {
            NK_REPORT_FN(kNKErr_invalidBufferSize, "*pTableSize>count");
            return kNKErr_invalidBufferSize;
        }
        table[(*count)++] = info;
    }
    return kNKErr_OK;
}

CNK_usbDeviceDetector::CNK_usbDeviceDetector() { NK_CLASS_NAME(); }

CNK_usbDeviceDetector::~CNK_usbDeviceDetector() { delete _detector; }

u16 CNK_usbDeviceDetector::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

CNK_usbDeviceDetector* CNK_usbDeviceDetector::create(CNK_logManager* lm, u16 vendorId, u16 productId,
                                                     INK_usbDeviceDetectorCallback* listener) {
    CNK_usbDeviceDetector* d = new CNK_usbDeviceDetector();
    if (lm) d->setLogManager(lm);
    if (d->launch(vendorId, productId, listener) != kNKErr_OK) {
        delete d;
        return nullptr;
    }
    return d;
}

u16 CNK_usbDeviceDetector::launch(u16 vendorId, u16 productId, INK_usbDeviceDetectorCallback* listener) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    // Refused here: the library's detector treats a zero id as a broken invariant.
    if (vendorId == 0) {
        NK_REPORT(kNKErr_invalidParam, "vndrId!=0");
        return kNKErr_invalidParam;
    }
    if (productId == 0) {
        NK_REPORT(kNKErr_invalidParam, "prodId!=0");
        return kNKErr_invalidParam;
    }
    if (!listener) {
        NK_REPORT(kNKErr_invalidParam, "callback!=NULL");
        return kNKErr_invalidParam;
    }
    if (!_detector) _detector = new CNK_usbDevDetector();
    _listener = listener;
    return _detector->monitor(vendorId, productId, this);
}

void CNK_usbDeviceDetector::onUsbDevArrived(CNK_usbDev* dev) {
    CNK_usbDevice* device = new CNK_usbDevice();
    device->adopt(dev);
    if (nkObj_isValid(logManager)) {
        const t_nkUsbDevInfo& info = device->devInfo();
        logManager->printText(kVL1, "*** Detected ***");
        logManager->printText(kVL1, "[0x%08X]%s", info.locationID, info.name.c_str());
        logManager->printText(kVL1, "\tVndrId:\t0x%04X (%s)", info.vendorId, info.vendorName.c_str());
        logManager->printText(kVL1, "\tProdId:\t0x%04X (%s)", info.productId, info.productName.c_str());
    }
    _listener->onUsbDeviceDetected(device);
}
