// Waits for a handset to attach, opens a trusted session with it, starts its
// calibration service and hands the service's location and socket to the owner.
// Notifications arrive on the run loop of the thread that launched the detector;
// delete it on that thread.
#pragma once

#include "ZelkTypeDef.h"

struct iZelk_LogManager;
namespace pf::handset {
struct Notification;
}

class iZelk_mobexDetectorEventSink {
public:
    virtual ~iZelk_mobexDetectorEventSink() = default;
    // Non-zero refuses the service: its connection is closed.
    virtual SInt32 OnmobexAttached(UInt32 locationId, int socket) = 0;
};
// Non-zero refuses the service: its connection is closed and the sink is not told.
typedef SInt32 (*ZDD_AttachFunction)(void* userData, UInt32 locationId, UInt32 serviceConnection);

extern const char* const kZelk_mobexServiceName;

struct iZelk_mobexDetector {
    iZelk_LogManager* lm = nullptr;
    UInt32 subscription = 0;
    UInt32 device = 0;        // the last notified handset, retained
    bool session = false;     // a session runs on `device`
    UInt32 connection = 0;    // the started service; 0 once invalidated
    ZDD_AttachFunction attachFunction = nullptr;
    void* userData = nullptr;
    iZelk_mobexDetectorEventSink* sink = nullptr;
};

iZelk_mobexDetector* ZDD_Create(iZelk_LogManager* lm);
SInt32 ZDD_Launch(iZelk_mobexDetector* d, ZDD_AttachFunction attachFunction, void* userData);
SInt32 ZDD_Launch2(iZelk_mobexDetector* d, iZelk_mobexDetectorEventSink* sink);
// Ends the subscription and releases the service, session and handset it holds.
void ZDD_Delete(iZelk_mobexDetector** handle);
// The handset service's notification entry (context: the detector).
void ZDD_HandleNotification(const pf::handset::Notification* info, void* context);
