// Our interface to the handset service: list attached handsets, be told of
// arrivals, connect, pair, start a session and a named service, and hand out
// the service's socket. Every call that can fail gives a status, 0 for success.
//
// Only a simulated backend exists here (no handset service runs on this
// machine): tests attach handsets whose every step answers as scripted, and
// each started service is one end of a socket pair whose other end the test holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pf::handset {

// Handles of devices, service connections and subscriptions; 0 = none. Each
// handle given out is the receiver's to release once.
using Handle = uint32_t;

enum : int { kStatusOK = 0, kStatusNoDevice = -1, kStatusNotPaired = -2, kStatusFailed = -3 };
enum : int { kMessageAttached = 1, kMessageDetached = 2 };

struct Notification {
    Handle device;  // valid for the call; retain it to keep it
    int message;
};
using Handler = void (*)(const Notification* info, void* context);

// Attached handsets, each handle retained for the caller. Non-zero status: no list.
int copyDeviceList(std::vector<Handle>* devices);
// Calls `handler` on the subscribing thread's run loop for every later attach
// and detach. The subscription handle is the caller's to unsubscribe.
int subscribe(Handler handler, void* context, Handle* subscription);
void unsubscribe(Handle subscription);

void retain(Handle h);
void release(Handle h);

int connect(Handle device);
int pair(Handle device);
int startSession(Handle device);
void stopSession(Handle device);
// On success the connection handle is the caller's (invalidate, then release).
int secureStartService(Handle device, const std::string& service, Handle* connection);
uint32_t copyLocation(Handle device);
// The connection's socket, 0 when it has none.
int socketOf(Handle connection);
// Closes the connection's socket.
void invalidate(Handle connection);

namespace sim {

struct HandsetSpec {
    uint32_t location = 0;
    // Status of each call of the step in turn; the last one repeats; empty: always 0.
    std::vector<int> connect, pair, startSession, startService;
    bool noSocket = false;
    int listStatus = 0;  // status of copyDeviceList while this handset is attached
};

// Attaches a handset (posts an attach notification to every subscriber).
Handle attach(const HandsetSpec& spec);
// Detaches it (posts a detach notification).
void detach(Handle device);
// The test's end of the socket of the service last started on the handset, -1 when none.
int peerSocket(Handle device);

struct Counters {
    int retains = 0;
    int releases = 0;
    int overReleases = 0;  // releases of a handle nobody held
    int sessionsStarted = 0;
    int sessionsStopped = 0;
    int invalidations = 0;
    int subscriptions = 0;
    int unsubscriptions = 0;
    int live = 0;  // handles given out and not yet released, subscriptions included
};
Counters counters();
// Forgets every handset and counter (between tests).
void reset();

}  // namespace sim

}  // namespace pf::handset
