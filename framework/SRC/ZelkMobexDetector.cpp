#include "ZelkMobexDetector.h"

#include <new>

#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "handset/pf_handset.h"

namespace hs = pf::handset;

const char* const kZelk_mobexServiceName = "com.orchel.tambercal";

namespace {

SInt32 fail(iZelk_LogManager* lm, const char* func, int line, SInt32 code) {
    ZERR_Report(lm, __FILE__, func, line, code);
    return code;
}
#define ZDD_FAIL(lm, func, code) fail((lm), (func), __LINE__, (code))

void dropConnection(iZelk_mobexDetector* d) {
    if (!d->connection) return;
    hs::invalidate(d->connection);
    hs::release(d->connection);
    d->connection = 0;
}

void dropDevice(iZelk_mobexDetector* d) {
    if (!d->device) return;
    if (d->session) hs::stopSession(d->device);
    d->session = false;
    hs::release(d->device);
    d->device = 0;
}

// The record keeps `device` from here on (retained), instead of the one it kept.
void keepDevice(iZelk_mobexDetector* d, UInt32 device) {
    if (device == d->device) return;
    if (device) hs::retain(device);
    dropDevice(d);
    d->device = device;
}

SInt32 launch(iZelk_mobexDetector* d, const char* func) {
    ZLM_PrintText(d->lm, 2, "*** iZelk_mobexDetector::Launch() ***");
    if (d->subscription) hs::unsubscribe(d->subscription);
    d->subscription = 0;
    hs::Handle sub = 0;
    const int rc = hs::subscribe(&ZDD_HandleNotification, d, &sub);
    if (rc != hs::kStatusOK) return ZDD_FAIL(d->lm, func, rc);
    d->subscription = sub;
    return kZErr_OK;
}

// An attached handset: connection, session (pairing when refused), the service.
SInt32 attach(iZelk_mobexDetector* d, const char* fn) {
    ZLM_PrintText(d->lm, 2, "*** iZelk_mobexDetector - Device Attached ***");
    if (!d->device || hs::connect(d->device) != hs::kStatusOK) return ZDD_FAIL(d->lm, fn, kZErr_hsDeviceConnectFailed);
    if (hs::startSession(d->device) != hs::kStatusOK) {
        if (hs::pair(d->device) != hs::kStatusOK) return ZDD_FAIL(d->lm, fn, kZErr_hsDevicePairFailed);
        if (hs::startSession(d->device) != hs::kStatusOK) return ZDD_FAIL(d->lm, fn, kZErr_hsDeviceStartSessionFailed);
    }
    d->session = true;
    hs::Handle connection = 0;
    if (hs::secureStartService(d->device, kZelk_mobexServiceName, &connection) != hs::kStatusOK || !connection)
        return ZDD_FAIL(d->lm, fn, kZErr_hsDeviceSecureStartServiceFailed);
    d->connection = connection;
    const UInt32 location = hs::copyLocation(d->device);
    if (d->attachFunction) {
        const SInt32 rc = d->attachFunction(d->userData, location, d->connection);
        if (rc != kZErr_OK) {
            dropConnection(d);
            return ZDD_FAIL(d->lm, fn, rc);  // refused: the sink is not told
        }
    }
    if (d->sink) {
        const SInt32 rc = d->sink->OnmobexAttached(location, hs::socketOf(d->connection));
        if (rc != kZErr_OK) {
            dropConnection(d);
            return ZDD_FAIL(d->lm, fn, rc);
        }
    }
    return kZErr_OK;
}

}  // namespace

iZelk_mobexDetector* ZDD_Create(iZelk_LogManager* lm) {
    ZLM_PrintText(lm, 2, "*** create mobex detector ***");
    iZelk_mobexDetector* d = new (std::nothrow) iZelk_mobexDetector();
    if (!d) {
        ZDD_FAIL(lm, __func__, kZErr_memAllocationFailed);
        return nullptr;
    }
    d->lm = lm;
    return d;
}

SInt32 ZDD_Launch(iZelk_mobexDetector* d, ZDD_AttachFunction attachFunction, void* userData) {
    if (!d || !attachFunction) return ZDD_FAIL(d ? d->lm : nullptr, __func__, kZErr_invalidParam);
    d->attachFunction = attachFunction;
    d->userData = userData;
    return launch(d, __func__);
}

SInt32 ZDD_Launch2(iZelk_mobexDetector* d, iZelk_mobexDetectorEventSink* sink) {
    if (!d) return ZDD_FAIL(nullptr, __func__, kZErr_invalidParam);
    d->sink = sink;
    return launch(d, __func__);
}

void ZDD_Delete(iZelk_mobexDetector** handle) {
    if (!handle || !*handle) return;
    iZelk_mobexDetector* d = *handle;
    ZLM_PrintText(d->lm, 2, "*** delete mobex detector ***");
    dropConnection(d);
    if (d->subscription) hs::unsubscribe(d->subscription);
    d->subscription = 0;
    dropDevice(d);
    delete d;
    *handle = nullptr;
}

void ZDD_HandleNotification(const hs::Notification* info, void* context) {
    auto* d = static_cast<iZelk_mobexDetector*>(context);
    if (!info || !d) {
        ZDD_FAIL(d ? d->lm : nullptr, __func__, kZErr_invalidParam);
        return;
    }
    if (info->message != hs::kMessageAttached) {
        keepDevice(d, info->device);
        return;
    }
    // A new attach starts over: nothing of the handset before stays held.
    dropConnection(d);
    dropDevice(d);
    keepDevice(d, info->device);
    attach(d, __func__);
}
