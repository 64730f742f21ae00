// Finds a handset attached over USB, starts one named service on it and hands
// the owner the service's socket and the handset's USB location id.
#pragma once

#include "nk_log.h"
#include "nk_typedef.h"

namespace pf::handset {
struct Notification;
}

class INK_mobexDetectorCallback {
public:
    virtual ~INK_mobexDetectorCallback() = default;
    virtual void onMobexConnected(const char* svcName, u32 locationId, i32 socket) = 0;
};

class CNK_mobexDetector : public CNK_baseObject {
public:
    CNK_mobexDetector();
    explicit CNK_mobexDetector(CNK_logManager* lm);
    ~CNK_mobexDetector() override;
    u16 setLogManager(CNK_logManager* lm) override;

    // Every handset that attaches from now on, on this thread's run loop.
    u16 launch(const char* svcName, INK_mobexDetectorCallback* callback);
    // The first handset attached now.
    u16 create(const char* svcName, INK_mobexDetectorCallback* callback);

    static void _handleConnection(const pf::handset::Notification* info, void* pCtxt);
    u16 lds(const pf::handset::Notification* info);

private:
    void init();
    // Connects, pairs, starts the session and the service; the device is the caller's.
    u16 connectDevice(u32 devRef, const char* textCondition);
    void releaseCurrent();
    u16 takeService(const char* func, const char* svcName, INK_mobexDetectorCallback* callback);

    const char* _svcName = nullptr;
    u32 _notiRef = 0;
    u32 _devRef = 0;
    u32 _serviceConnection = 0;
    INK_mobexDetectorCallback* _callBack = nullptr;
};
