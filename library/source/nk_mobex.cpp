// Handset detector over the handset-service layer.
#include "nk_mobex.h"

#include <cstring>
#include <string>
#include <vector>

#include "handset/pf_handset.h"
#include "nk_error.h"

namespace hs = pf::handset;

namespace {

// The service name as ASCII text; false when it holds anything else.
bool asciiText(const char* name, std::string* out) {
    for (const char* p = name; *p; ++p)
        if (static_cast<unsigned char>(*p) > 0x7F) return false;
    *out = name;
    return true;
}

}  // namespace

CNK_mobexDetector::CNK_mobexDetector() { init(); }

CNK_mobexDetector::CNK_mobexDetector(CNK_logManager* lm) {
    init();
    if (lm) setLogManager(lm);
}

void CNK_mobexDetector::init() { NK_CLASS_NAME(); }

CNK_mobexDetector::~CNK_mobexDetector() {
    if (!nkObj_isValid(this)) return;
    // No notification may reach a half-destroyed detector.
    if (_notiRef) hs::unsubscribe(_notiRef);
    _notiRef = 0;
    releaseCurrent();
}

u16 CNK_mobexDetector::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_mobexDetector::releaseCurrent() {
    if (_serviceConnection) {
        hs::invalidate(_serviceConnection);
        hs::release(_serviceConnection);
        _serviceConnection = 0;
    }
    if (_devRef) {
        hs::stopSession(_devRef);
        hs::release(_devRef);
        _devRef = 0;
    }
}

// Keeps the service and its listener once both are given; a refusal is reported
// under the calling method's name.
u16 CNK_mobexDetector::takeService(const char* func, const char* svcName, INK_mobexDetectorCallback* callback) {
    const char* missing = !svcName ? "svcName!=NULL" : !callback ? "callback!=NULL" : nullptr;
    if (missing) {
        nkDebug_printError(logManager, __FILE__, name, func, __LINE__, kNKErr_invalidParam, missing);
        return kNKErr_invalidParam;
    }
    _svcName = svcName;
    _callBack = callback;
    return kNKErr_OK;
}

u16 CNK_mobexDetector::launch(const char* svcName, INK_mobexDetectorCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (const u16 rc = takeService(__func__, svcName, callback)) return rc;
    if (_notiRef) {
        hs::unsubscribe(_notiRef);
        _notiRef = 0;
    }
    u32 ref = 0;
    if (hs::subscribe(&CNK_mobexDetector::_handleConnection, this, &ref) != hs::kStatusOK || ref == 0) {
        NK_REPORT(kNKErr_hsDeviceNotificationSubscribe, "_notiRef!=NULL");
        return kNKErr_hsDeviceNotificationSubscribe;
    }
    _notiRef = ref;
    return kNKErr_OK;
}

u16 CNK_mobexDetector::create(const char* svcName, INK_mobexDetectorCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (const u16 rc = takeService(__func__, svcName, callback)) return rc;
    std::vector<hs::Handle> list;
    if (hs::copyDeviceList(&list) != hs::kStatusOK) {
        NK_REPORT(kNKErr_hsCreateDeviceList, "devList!=NULL");
        return kNKErr_hsCreateDeviceList;
    }
    if (list.empty()) {
        NK_REPORT(kNKErr_hsCreateDeviceList, "devRef!=NULL");
        return kNKErr_hsCreateDeviceList;
    }
    const hs::Handle devRef = list.front();
    hs::retain(devRef);  // ours from here; the list is released below
    for (hs::Handle h : list) hs::release(h);
    return connectDevice(devRef, "csvcName!=NULL");
}

void CNK_mobexDetector::_handleConnection(const hs::Notification* info, void* pCtxt) {
    if (!info) nkDebug_assertFail(__FILE__, "CNK_mobexDetector", __func__, __LINE__, "info!=NULL");
    if (!pCtxt) nkDebug_assertFail(__FILE__, "CNK_mobexDetector", __func__, __LINE__, "pCtxt!=NULL");
    auto* self = static_cast<CNK_mobexDetector*>(pCtxt);
    if (!nkObj_isValid(self) || !std::strstr(self->name, "CNK_mobexDetector"))
        nkDebug_assertFail(__FILE__, "CNK_mobexDetector", __func__, __LINE__, "pCtxt is a CNK_mobexDetector");
    self->lds(info);
}

u16 CNK_mobexDetector::lds(const hs::Notification* info) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_ASSERT(info!=NULL);
    NK_ASSERT(_callBack!=NULL);
    if (info->message != hs::kMessageAttached) return kNKErr_OK;
    hs::retain(info->device);  // the notification's handle lives only for the call
    return connectDevice(info->device, "svcName!=NULL");
}

u16 CNK_mobexDetector::connectDevice(u32 devRef, const char* textCondition) {
    if (nkObj_isValid(logManager)) logManager->printText(kVL3, "*** mobex Attached ***");
    u16 rc = kNKErr_OK;
    bool session = false;
    hs::Handle connection = 0;
    u32 locationId = 0;
    int socket = 0;
    std::string csvcName;
    if (hs::connect(devRef) != hs::kStatusOK) {
        rc = kNKErr_hsDeviceConnect;
        NK_REPORT(rc, "connect==0");
    } else if (hs::pair(devRef) != hs::kStatusOK) {
        rc = kNKErr_hsDevicePair;
        NK_REPORT(rc, "pair==0");
    } else {
        session = hs::startSession(devRef) == hs::kStatusOK;
        if (!session) {
            // A handset that dropped its pairing takes a session after pairing again.
            if (hs::pair(devRef) != hs::kStatusOK) {
                rc = kNKErr_hsDevicePair;
                NK_REPORT(rc, "pair==0");
            } else if (!(session = hs::startSession(devRef) == hs::kStatusOK)) {
                rc = kNKErr_hsDeviceStartSession;
                NK_REPORT(rc, "startSession==0");
            }
        }
    }
    if (rc == kNKErr_OK && !asciiText(_svcName, &csvcName)) {
        rc = kNKErr_objectCreationFailed;
        NK_REPORT(rc, textCondition);
    }
    if (rc == kNKErr_OK && (hs::secureStartService(devRef, csvcName, &connection) != hs::kStatusOK || !connection)) {
        connection = 0;
        rc = kNKErr_hsDeviceSecureStartService;
        NK_REPORT(rc, "secureStartService==0");
    }
    if (rc == kNKErr_OK && (locationId = hs::copyLocation(devRef)) == 0) {
        rc = kNKErr_hsDeviceCopyDeviceLocation;
        NK_REPORT(rc, "locationId!=0");
    }
    if (rc == kNKErr_OK && (socket = hs::socketOf(connection)) == 0) {
        rc = kNKErr_hsDServiceConnectionGetSocket;
        NK_REPORT(rc, "socket!=0");
    }
    if (rc != kNKErr_OK) {
        // Nothing of a handset that failed stays behind.
        if (connection) {
            hs::invalidate(connection);
            hs::release(connection);
        }
        if (session) hs::stopSession(devRef);
        hs::release(devRef);
        return rc;
    }
    // Only a handset whose every step worked replaces the one held before.
    releaseCurrent();
    _devRef = devRef;
    _serviceConnection = connection;
    _callBack->onMobexConnected(_svcName, locationId, socket);
    return kNKErr_OK;
}
