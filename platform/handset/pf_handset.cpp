// The handset service's simulated backend: handsets scripted by tests.
#include "handset/pf_handset.h"

#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "runloop/pf_runloop.h"

namespace pf::handset {

namespace {

enum Kind { kDevice, kConnection, kSubscription };

struct Obj {
    Kind kind = kDevice;
    int refs = 0;  // references held by callers
    // devices
    sim::HandsetSpec spec;
    bool attached = false;
    size_t calls[4] = {};
    Handle lastConnection = 0;
    // connections
    int fd = -1;
    int peer = -1;
    // subscriptions
    Handler handler = nullptr;
    void* context = nullptr;
    pf::runloop::LoopRef loop;
};

std::mutex gMtx;
std::map<Handle, Obj> gObjs;
Handle gNext = 1;
sim::Counters gCount;

Obj* find(Handle h, Kind kind) {
    auto it = gObjs.find(h);
    return it != gObjs.end() && it->second.kind == kind ? &it->second : nullptr;
}

void dropIfUnused(Handle h) {
    auto it = gObjs.find(h);
    if (it == gObjs.end()) return;
    Obj& o = it->second;
    if (o.refs > 0 || (o.kind == kDevice && o.attached)) return;
    if (o.fd >= 0) close(o.fd);
    if (o.peer >= 0) close(o.peer);
    gObjs.erase(it);
}

int scripted(Handle device, int step) {
    std::lock_guard<std::mutex> lock(gMtx);
    Obj* d = find(device, kDevice);
    if (!d || !d->attached) return kStatusNoDevice;
    const std::vector<int>* script[4] = {&d->spec.connect, &d->spec.pair, &d->spec.startSession,
                                         &d->spec.startService};
    const std::vector<int>& s = *script[step];
    const size_t i = d->calls[step]++;
    if (s.empty()) return kStatusOK;
    return s[i < s.size() ? i : s.size() - 1];
}

void notify(Handle device, int message) {
    std::vector<std::pair<Handle, pf::runloop::LoopRef>> subs;
    for (auto& [h, o] : gObjs)
        if (o.kind == kSubscription) subs.emplace_back(h, o.loop);
    for (auto& [sub, loop] : subs) {
        gObjs[device].refs++;  // held for the delivery
        pf::runloop::post(loop, [sub = sub, device, message] {
            Handler handler = nullptr;
            void* context = nullptr;
            {
                std::lock_guard<std::mutex> lock(gMtx);
                if (Obj* s = find(sub, kSubscription)) {
                    handler = s->handler;
                    context = s->context;
                }
            }
            if (handler) {
                const Notification n{device, message};
                handler(&n, context);
            }
            std::lock_guard<std::mutex> lock(gMtx);
            if (Obj* d = find(device, kDevice)) {
                d->refs--;
                dropIfUnused(device);
            }
        });
    }
}

}  // namespace

int copyDeviceList(std::vector<Handle>* devices) {
    if (!devices) return kStatusFailed;
    std::lock_guard<std::mutex> lock(gMtx);
    devices->clear();
    for (auto& [h, o] : gObjs)
        if (o.kind == kDevice && o.attached && o.spec.listStatus != 0) return o.spec.listStatus;
    for (auto& [h, o] : gObjs) {
        if (o.kind != kDevice || !o.attached) continue;
        o.refs++;
        gCount.retains++;
        gCount.live++;
        devices->push_back(h);
    }
    return kStatusOK;
}

int subscribe(Handler handler, void* context, Handle* subscription) {
    if (!handler || !subscription) return kStatusFailed;
    std::lock_guard<std::mutex> lock(gMtx);
    const Handle h = gNext++;
    Obj& o = gObjs[h];
    o.kind = kSubscription;
    o.refs = 1;
    o.handler = handler;
    o.context = context;
    o.loop = pf::runloop::current();
    gCount.subscriptions++;
    gCount.live++;
    *subscription = h;
    return kStatusOK;
}

void unsubscribe(Handle subscription) {
    std::lock_guard<std::mutex> lock(gMtx);
    if (!find(subscription, kSubscription)) {
        gCount.overReleases++;
        return;
    }
    gObjs.erase(subscription);
    gCount.unsubscriptions++;
    gCount.live--;
}

void retain(Handle h) {
    std::lock_guard<std::mutex> lock(gMtx);
    auto it = gObjs.find(h);
    if (it == gObjs.end()) return;
    it->second.refs++;
    gCount.retains++;
    gCount.live++;
}

void release(Handle h) {
    std::lock_guard<std::mutex> lock(gMtx);
    auto it = gObjs.find(h);
    if (it == gObjs.end() || it->second.refs <= 0 || it->second.kind == kSubscription) {
        gCount.overReleases++;
        return;
    }
    it->second.refs--;
    gCount.releases++;
    gCount.live--;
    dropIfUnused(h);
}

int connect(Handle device) { return scripted(device, 0); }
int pair(Handle device) { return scripted(device, 1); }

int startSession(Handle device) {
    const int st = scripted(device, 2);
    if (st == kStatusOK) {
        std::lock_guard<std::mutex> lock(gMtx);
        gCount.sessionsStarted++;
    }
    return st;
}

void stopSession(Handle device) {
    std::lock_guard<std::mutex> lock(gMtx);
    if (find(device, kDevice)) gCount.sessionsStopped++;
}

int secureStartService(Handle device, const std::string& service, Handle* connection) {
    if (!connection || service.empty()) return kStatusFailed;
    const int st = scripted(device, 3);
    if (st != kStatusOK) return st;
    std::lock_guard<std::mutex> lock(gMtx);
    Obj* d = find(device, kDevice);
    if (!d) return kStatusNoDevice;
    const bool noSocket = d->spec.noSocket;
    int sv[2] = {-1, -1};
    if (!noSocket && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return kStatusFailed;
    const Handle h = gNext++;
    Obj& c = gObjs[h];
    c.kind = kConnection;
    c.refs = 1;
    c.fd = sv[0];
    c.peer = sv[1];
    gCount.retains++;
    gCount.live++;
    d = find(device, kDevice);
    if (d) d->lastConnection = h;
    *connection = h;
    return kStatusOK;
}

uint32_t copyLocation(Handle device) {
    std::lock_guard<std::mutex> lock(gMtx);
    Obj* d = find(device, kDevice);
    return d ? d->spec.location : 0;
}

int socketOf(Handle connection) {
    std::lock_guard<std::mutex> lock(gMtx);
    Obj* c = find(connection, kConnection);
    return c && c->fd > 0 ? c->fd : 0;
}

void invalidate(Handle connection) {
    std::lock_guard<std::mutex> lock(gMtx);
    Obj* c = find(connection, kConnection);
    if (!c) return;
    gCount.invalidations++;
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
}

namespace sim {

Handle attach(const HandsetSpec& spec) {
    std::lock_guard<std::mutex> lock(gMtx);
    const Handle h = gNext++;
    Obj& o = gObjs[h];
    o.kind = kDevice;
    o.spec = spec;
    o.attached = true;
    notify(h, kMessageAttached);
    return h;
}

void detach(Handle device) {
    std::lock_guard<std::mutex> lock(gMtx);
    Obj* d = find(device, kDevice);
    if (!d || !d->attached) return;
    d->attached = false;
    notify(device, kMessageDetached);
    dropIfUnused(device);
}

int peerSocket(Handle device) {
    std::lock_guard<std::mutex> lock(gMtx);
    Obj* d = find(device, kDevice);
    Obj* c = d ? find(d->lastConnection, kConnection) : nullptr;
    return c ? c->peer : -1;
}

Counters counters() {
    std::lock_guard<std::mutex> lock(gMtx);
    return gCount;
}

void reset() {
    std::lock_guard<std::mutex> lock(gMtx);
    for (auto& [h, o] : gObjs) {
        if (o.fd >= 0) close(o.fd);
        if (o.peer >= 0) close(o.peer);
    }
    gObjs.clear();
    gCount = Counters{};
}

}  // namespace sim

}  // namespace pf::handset
