// Client and server sockets. A connection's loop waits in poll without rounds: Close
// shuts the connection down, which wakes the poll and any blocked send or receive,
// and the loop alone closes the descriptor, so no other thread's call can land on a
// reused descriptor number. A listener's loop is woken through a pipe. Both kinds run the
// same poll loop, started, told apart from their own thread and freed from it alike.
#include "ZelkSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

#include "ZelkError.h"
#include "ZelkLogManager.h"

namespace {

SInt32 report(iZelk_LogManager* lm, const char* func, int line, SInt32 code) {
    ZERR_Report(lm, __FILE__, func, line, code);
    return code;
}
#define ZS_FAIL(lm, func, code) report((lm), (func), __LINE__, (code))

void logSystemError(iZelk_LogManager* lm, const char* what, int err) {
    ZLM_PrintError(lm, "%s() failed: [%d] %s\n", what, err, std::strerror(err));
}

// What the client's and the listener's loops share. R is either record: both hold
// threadLock, startedCv, started, loop, loopId and control.

// True on the record's own loop thread (for instance inside one of its callbacks).
// The caller holds threadLock.
template <class R>
bool onOwnLoop(const R* s) {
    return s->loop.joinable() && s->loopId == std::this_thread::get_id();
}

// A new record of either kind, or null (reported for func).
template <class R>
R* newRecord(iZelk_LogManager* lm, const char* func) {
    auto* s = new (std::nothrow) R;
    if (!s) {
        ZS_FAIL(lm, func, kZErr_memAllocationFailed);
        return nullptr;
    }
    s->lm = lm;
    return s;
}

// The record behind a handle that is being deleted, the handle cleared; null for none.
template <class R>
R* takeForDelete(R** handle, const char* banner) {
    if (!handle || !*handle) return nullptr;
    R* s = *handle;
    *handle = nullptr;
    ZLM_PrintText(s->lm, 2, "%s", banner);
    return s;
}

// On the record's own loop thread (inside one of its callbacks): has the loop free the
// record on its way out, calls nothing more, and ends it with endLoop(); true then.
template <class R, class EndLoop>
bool freedByOwnLoop(R* s, EndLoop endLoop) {
    std::lock_guard<std::mutex> hold(s->threadLock);
    if (!onOwnLoop(s)) return false;
    s->control->freeOnExit.store(true);
    endLoop();
    return true;
}

// The loop tells its starter that it runs.
template <class R>
void announceStarted(R* s) {
    {
        std::lock_guard<std::mutex> hold(s->threadLock);
        s->started = true;
    }
    s->startedCv.notify_all();
}

// Starts the record's loop on a thread of its own and returns once it runs; false
// when no thread could be had.
template <class R>
bool launchLoop(R* s, void (*loop)(R*, std::shared_ptr<tZelk_LoopControl>)) {
    std::unique_lock<std::mutex> hold(s->threadLock);
    s->started = false;
    s->control = std::make_shared<tZelk_LoopControl>();
    try {
        s->loop = std::thread(loop, s, s->control);
    } catch (const std::system_error&) {
        return false;
    }
    s->loopId = s->loop.get_id();
    s->startedCv.wait(hold, [&] { return s->started; });
    return true;
}

// Frees a record whose loop runs on this thread, as that loop unwinds.
template <class R>
void deleteFromOwnLoop(R* s) {
    {
        std::lock_guard<std::mutex> hold(s->threadLock);
        if (s->loop.joinable()) s->loop.detach();
    }
    delete s;
}

// Waits in poll, without rounds, until stopped() holds or onReady() says to end;
// onReady sees each wake-up that is no failure. A failing poll is reported for owner.
template <class Stopped, class OnReady>
void pollLoop(pollfd* p, nfds_t n, Stopped stopped, OnReady onReady, iZelk_LogManager* lm, const char* owner) {
    while (!stopped()) {
        const int r = poll(p, n, -1);
        if (stopped()) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            logSystemError(lm, "poll", errno);
            ZS_FAIL(lm, owner, kZErr_socketPollError);
            break;
        }
        if (!onReady()) break;
    }
}

// Wakes every user of the descriptor: poll, send and recv return.
void shutdownDescriptor(iZelk_Socket* s) {
    std::shared_lock<std::shared_mutex> hold(s->fdLock);
    const int f = s->fd.load();
    if (f >= 0) shutdown(f, SHUT_RDWR);
}

// Shuts down and closes; users blocked in calls have left before the close.
void closeDescriptor(iZelk_Socket* s) {
    shutdownDescriptor(s);
    std::unique_lock<std::shared_mutex> hold(s->fdLock);
    const int f = s->fd.exchange(-1);
    if (f >= 0) close(f);
}

void freeFromLoop(iZelk_Socket* s) {
    closeDescriptor(s);
    deleteFromOwnLoop(s);
}

void socketLoop(iZelk_Socket* s, std::shared_ptr<tZelk_LoopControl> ctl) {
    announceStarted(s);
    auto deleted = [&] { return ctl->freeOnExit.load(); };
    const UInt32 name = s->name.load();
    if (s->connectFn) s->connectFn(s->userData, name);
    if (deleted()) return freeFromLoop(s);
    if (s->sink) s->sink->OnConnect(name);
    if (deleted()) return freeFromLoop(s);

    pollfd p{s->fd.load(), POLLIN, 0};  // only this loop closes it; Close wakes it with a shutdown
    pollLoop(
        &p, 1, [&] { return s->stop.load(); },
        [&] {
            if (p.revents & POLLNVAL) return false;
            if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return true;
            SInt32 code = kZErr_OK;
            if (s->receiveFn) code = s->receiveFn(s->userData, name);
            if (deleted()) return false;
            if (code == kZErr_OK && s->sink) code = s->sink->OnReceive(name);
            if (deleted()) return false;
            if (code == kZErr_OK) return true;
            // A connection the peer or the owner ended is no fault of the loop.
            if (code != kZErr_socketClosed && !s->stop.load()) ZS_FAIL(s->lm, s->loopOwner, code);
            return false;
        },
        s->lm, s->loopOwner);
    if (deleted()) return freeFromLoop(s);
    closeDescriptor(s);
    s->open.store(false);
    if (s->closeFn) s->closeFn(s->userData, name);
    if (deleted()) return freeFromLoop(s);
    if (s->sink) s->sink->OnClose(name);
    if (deleted()) return freeFromLoop(s);
}

// Takes the previous loop's thread out of the record: joined here unless it is this
// thread (a callback connecting anew), which then runs to its end detached.
void retireLoop(iZelk_Socket* s) {
    std::thread old;
    {
        std::lock_guard<std::mutex> hold(s->threadLock);
        old = std::move(s->loop);
    }
    if (!old.joinable()) return;
    if (old.get_id() == std::this_thread::get_id()) old.detach();
    else old.join();
}

// Ends what the previous connection left behind and takes the next one's receivers.
void renewConnection(iZelk_Socket* s, iZelk_SocketEventSink* sink, tZSock_ConnectFn connectFn,
                     tZSock_ReceiveFn receiveFn, tZSock_CloseFn closeFn, void* userData) {
    retireLoop(s);
    closeDescriptor(s);
    s->sink = sink;
    s->connectFn = connectFn;
    s->receiveFn = receiveFn;
    s->closeFn = closeFn;
    s->userData = userData;
}

// The connection is made: serve it with a loop, or leave it plain.
SInt32 beginConnection(iZelk_Socket* s, int f, bool withLoop, const char* func) {
    s->fd.store(f);
    s->stop.store(false);
    s->hasLoop.store(withLoop);
    s->loopOwner = func;
    s->open.store(true);
    if (!withLoop || launchLoop(s, socketLoop)) return kZErr_OK;
    s->open.store(false);
    closeDescriptor(s);
    return ZS_FAIL(s->lm, func, kZErr_threadCreationError);
}

void setPeer(iZelk_Socket* s, const sockaddr_in& a) {
    std::lock_guard<std::mutex> hold(s->peerLock);
    s->peer = a;
    s->peerName[0] = '\0';
}

}  // namespace

iZelk_Socket* ZSock_Create(iZelk_LogManager* lm) {
    ZLM_PrintText(lm, 2, "*** create client socket ***");
    return newRecord<iZelk_Socket>(lm, "ZSock_Create");
}

void ZSock_Delete(iZelk_Socket** handle) {
    iZelk_Socket* s = takeForDelete(handle, "*** Delete Client Socket ***");
    if (!s) return;
    if (freedByOwnLoop(s, [s] {
            s->stop.store(true);
            shutdownDescriptor(s);
        }))
        return;
    ZSock_Close(s);
    retireLoop(s);
    closeDescriptor(s);
    delete s;
}

SInt32 ZSock_ConnectAsync(iZelk_Socket* s, const char* host, UInt16 port, iZelk_SocketEventSink* sink,
                          tZSock_ConnectFn connectFn, tZSock_ReceiveFn receiveFn, tZSock_CloseFn closeFn,
                          void* userData) {
    constexpr const char* kFunc = "ZSock_ConnectAsync";
    if (!s || !host || port == 0) return ZS_FAIL(s ? s->lm : nullptr, kFunc, kZErr_invalidParam);
    if (s->open.load()) return ZS_FAIL(s->lm, kFunc, kZErr_alreadyRunning);
    renewConnection(s, sink, connectFn, receiveFn, closeFn, userData);

    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    bool byName = false;
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) {
            if (found) freeaddrinfo(found);
            return ZS_FAIL(s->lm, kFunc, kZErr_socketInvalidAddress);
        }
        a.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
        byName = true;
    }
    setPeer(s, a);
    const int f = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (f < 0) {
        logSystemError(s->lm, "socket", errno);
        return ZS_FAIL(s->lm, kFunc, kZErr_socketOpenError);
    }
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, dotted, sizeof(dotted));
    ZLM_PrintText(s->lm, 2, "connecting: %s%s%s:%d%s", byName ? host : "", byName ? " [" : "", dotted,
                  static_cast<int>(port), byName ? "]" : "");
    int r;
    do {
        r = connect(f, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        logSystemError(s->lm, "connect", errno);
        close(f);
        return ZS_FAIL(s->lm, kFunc, kZErr_socketConnectionFailed);
    }
    return beginConnection(s, f, sink || receiveFn, kFunc);
}

SInt32 ZSock_Connect(iZelk_Socket* s, const char* host, UInt16 port) {
    return ZSock_ConnectAsync(s, host, port, nullptr, nullptr, nullptr, nullptr, nullptr);
}

SInt32 ZSock_AppendAsync(iZelk_Socket* s, int descriptor, iZelk_SocketEventSink* sink, tZSock_ConnectFn connectFn,
                         tZSock_ReceiveFn receiveFn, tZSock_CloseFn closeFn, void* userData) {
    constexpr const char* kFunc = "ZSock_AppendAsync";
    // One of the two reads the data: both would race for the same bytes.
    if (!s || descriptor <= 0 || (sink && receiveFn)) return ZS_FAIL(s ? s->lm : nullptr, kFunc, kZErr_invalidParam);
    if (s->open.load()) return ZS_FAIL(s->lm, kFunc, kZErr_alreadyRunning);
    renewConnection(s, sink, connectFn, receiveFn, closeFn, userData);
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    if (getpeername(descriptor, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) {
        logSystemError(s->lm, "getpeername", errno ? errno : EAFNOSUPPORT);
        close(descriptor);
        return ZS_FAIL(s->lm, kFunc, kZErr_socketConnectionFailed);
    }
    setPeer(s, a);
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, dotted, sizeof(dotted));
    ZLM_PrintText(s->lm, 2, "peer name: %s:%d", dotted, static_cast<int>(ntohs(a.sin_port)));
    return beginConnection(s, descriptor, sink || receiveFn, kFunc);
}

SInt32 ZSock_Append(iZelk_Socket* s, int descriptor) {
    return ZSock_AppendAsync(s, descriptor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

SInt32 ZSock_Close(iZelk_Socket* s) {
    if (!s) return ZS_FAIL(nullptr, "ZSock_Close", kZErr_invalidParam);
    s->stop.store(true);
    if (s->hasLoop.load()) {
        shutdownDescriptor(s);  // the loop closes and tells
    } else {
        s->open.store(false);
        closeDescriptor(s);
    }
    return kZErr_OK;
}

SInt32 ZSock_Recv(iZelk_Socket* s, void* buffer, UInt32* size) {
    constexpr const char* kFunc = "ZSock_Recv";
    if (!s || !buffer || !size || *size == 0) return ZS_FAIL(s ? s->lm : nullptr, kFunc, kZErr_invalidParam);
    std::shared_lock<std::shared_mutex> hold(s->fdLock);
    const int f = s->fd.load();
    if (f < 0 || !s->open.load()) {
        *size = 0;
        return kZErr_socketClosed;
    }
    ssize_t r;
    do {
        r = recv(f, buffer, *size, 0);
    } while (r < 0 && errno == EINTR);
    if (r > 0) {
        *size = static_cast<UInt32>(r);
        return kZErr_OK;
    }
    *size = 0;
    const int err = errno;
    if (r == 0 || s->stop.load()) {
        s->open.store(false);
        return kZErr_socketClosed;
    }
    if (!s->open.exchange(false)) return kZErr_socketClosed;
    ZLM_PrintError(s->lm, "recv() failed: ??Disconnected?? [%d] %s\n", err, std::strerror(err));
    return ZS_FAIL(s->lm, kFunc, kZErr_socketRecvFailed);
}

SInt32 ZSock_Send(iZelk_Socket* s, const void* data, UInt32 length, UInt32 timeoutMs) {
    constexpr const char* kFunc = "ZSock_Send";
    if (!s || !data || length == 0) return ZS_FAIL(s ? s->lm : nullptr, kFunc, kZErr_invalidParam);
    if (!s->sendLock.lockFor(std::chrono::milliseconds(timeoutMs))) return ZS_FAIL(s->lm, kFunc, kZErr_timeout);
    tZelk_TimedLock::Guard sending(s->sendLock);
    std::shared_lock<std::shared_mutex> hold(s->fdLock);
    const int f = s->fd.load();
    if (f < 0 || !s->open.load() || s->stop.load()) return ZS_FAIL(s->lm, kFunc, kZErr_socketClosed);
    const auto* p = static_cast<const UInt8*>(data);
    UInt32 left = length;
    while (left > 0) {
        const ssize_t k = send(f, p, left, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            const int err = errno;
            const bool ended = k == 0 || s->stop.load();
            s->open.store(false);
            hold.unlock();
            if (s->hasLoop.load()) shutdownDescriptor(s);  // the loop ends and tells
            if (ended) return ZS_FAIL(s->lm, kFunc, kZErr_socketClosed);
            logSystemError(s->lm, "send", err);
            return ZS_FAIL(s->lm, kFunc, kZErr_socketSendFailed);
        }
        s->sentTotal.fetch_add(static_cast<UInt32>(k));
        p += k;
        left -= static_cast<UInt32>(k);
    }
    return kZErr_OK;
}

SInt32 ZSock_SetSktName(iZelk_Socket* s, UInt32 name) {
    if (!s) return ZS_FAIL(nullptr, "ZSock_SetSktName", kZErr_invalidParam);
    s->name.store(name);
    return kZErr_OK;
}

bool ZSock_IsRunning(iZelk_Socket* s) { return s && s->open.load(); }

const char* ZSock_PeerName(iZelk_Socket* s) {
    if (!s) return nullptr;
    std::lock_guard<std::mutex> hold(s->peerLock);
    if (s->peerName[0] == '\0' && s->peer.sin_family == AF_INET) {
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &s->peer.sin_addr, dotted, sizeof(dotted));
        std::snprintf(s->peerName, sizeof(s->peerName), "%s:%d", dotted, static_cast<int>(ntohs(s->peer.sin_port)));
    }
    return s->peerName;
}

UInt32 ZSock_SentTotal(iZelk_Socket* s) { return s ? s->sentTotal.load() : 0; }

// ---------------------------------------------------------------------------------------------

namespace {

void closePipe(iZelk_ServerSocket* s) {
    for (int& w : s->wake) {
        if (w >= 0) close(w);
        w = -1;
    }
}

void closeListener(iZelk_ServerSocket* s) {
    const int f = s->fd.exchange(-1);
    if (f >= 0) close(f);
    s->listening.store(false);
}

void serverLoop(iZelk_ServerSocket* s, std::shared_ptr<tZelk_LoopControl> ctl) {
    constexpr const char* kOwner = "ZSvrSock_LaunchAsync";
    ZLM_PrintText(s->lm, 2, ".wait for incoming connection [port:%d]", static_cast<int>(s->port.load()));
    s->running.store(true);
    announceStarted(s);
    pollfd p[2] = {{s->fd.load(), POLLIN, 0}, {s->wake[0], POLLIN, 0}};  // Close writes to the pipe
    pollLoop(
        p, 2, [&] { return !s->running.load() || ctl->freeOnExit.load(); },
        [&] {
            if (p[1].revents) return false;
            if ((p[0].revents & POLLIN) == 0) return (p[0].revents & (POLLERR | POLLNVAL)) == 0;
            const UInt32 name = s->name.load();
            const SInt32 code = s->acceptFn ? s->acceptFn(s->userData, name) : s->sink->OnAccept(name);
            if (ctl->freeOnExit.load()) return false;
            if (code == kZErr_OK) return true;
            if (s->running.load()) ZS_FAIL(s->lm, kOwner, code);
            return false;
        },
        s->lm, kOwner);
    s->running.store(false);
    closeListener(s);
    if (ctl->freeOnExit.load()) {
        closePipe(s);
        deleteFromOwnLoop(s);
    }
}

}  // namespace

iZelk_ServerSocket* ZSvrSock_Create(iZelk_LogManager* lm) {
    ZLM_PrintText(lm, 2, "*** Create Server Socket ***");
    ZLM_PrintText(lm, 2, ".allocate memory");
    return newRecord<iZelk_ServerSocket>(lm, "ZSvrSock_Create");
}

SInt32 ZSvrSock_LaunchAsync(iZelk_ServerSocket* s, UInt16 port, iZelk_ServerSocketEventSink* sink,
                            tZSvrSock_AcceptFn acceptFn, void* userData) {
    constexpr const char* kFunc = "ZSvrSock_LaunchAsync";
    if (!s || port == 0) return ZS_FAIL(s ? s->lm : nullptr, kFunc, kZErr_invalidParam);
    {
        std::lock_guard<std::mutex> hold(s->threadLock);
        if (s->listening.load() || s->running.load() || onOwnLoop(s)) return ZS_FAIL(s->lm, kFunc, kZErr_alreadyRunning);
    }
    ZSvrSock_Close(s);  // a loop that ended by itself is joined, its leftovers closed
    auto failWith = [&](const char* what, SInt32 code) {
        if (what) logSystemError(s->lm, what, errno);
        ZSvrSock_Close(s);
        return ZS_FAIL(s->lm, kFunc, code);
    };
    ZLM_PrintText(s->lm, 2, ".open socket");
    const int f = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (f < 0) return failWith("socket", kZErr_socketOpenError);
    s->fd.store(f);
    s->listening.store(true);
    ZLM_PrintText(s->lm, 2, ".set socket option");
    const int on = 1;
    if (setsockopt(f, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
        return failWith("setsockopt", kZErr_socketOptionSetError);
    s->port.store(port);
    ZLM_PrintText(s->lm, 2, ".bind socket: portNr=%d", static_cast<int>(port));
    s->address = sockaddr_in{};
    s->address.sin_family = AF_INET;
    s->address.sin_addr.s_addr = htonl(INADDR_ANY);
    s->address.sin_port = htons(port);
    if (bind(f, reinterpret_cast<const sockaddr*>(&s->address), sizeof(s->address)) != 0)
        return failWith("bind", kZErr_socketBindError);
    ZLM_PrintText(s->lm, 2, ".listen");
    if (listen(f, 24) != 0) return failWith("listen", kZErr_socketListenError);
    s->sink = sink;
    s->acceptFn = acceptFn;
    s->userData = userData;
    if (!sink && !acceptFn) return kZErr_OK;
    if (pipe2(s->wake, O_CLOEXEC | O_NONBLOCK) != 0) return failWith("pipe", kZErr_threadCreationError);
    if (!launchLoop(s, serverLoop)) return failWith(nullptr, kZErr_threadCreationError);
    return kZErr_OK;
}

SInt32 ZSvrSock_Launch(iZelk_ServerSocket* s, UInt16 port) {
    return ZSvrSock_LaunchAsync(s, port, nullptr, nullptr, nullptr);
}

int ZSvrSock_Accept(iZelk_ServerSocket* s) {
    if (!s) {
        ZS_FAIL(nullptr, "ZSvrSock_Accept", kZErr_invalidParam);
        return -1;
    }
    const int f = s->fd.load();
    int c;
    do {
        c = accept4(f, nullptr, nullptr, SOCK_CLOEXEC);
    } while (c < 0 && errno == EINTR);
    if (c < 0) {
        logSystemError(s->lm, "accept", errno);
        ZS_FAIL(s->lm, "ZSvrSock_Accept", kZErr_socketAcceptError);
    }
    return c;
}

SInt32 ZSvrSock_Close(iZelk_ServerSocket* s) {
    if (!s) return ZS_FAIL(nullptr, "ZSvrSock_Close", kZErr_invalidParam);
    s->running.store(false);
    std::thread old;
    {
        std::lock_guard<std::mutex> hold(s->threadLock);
        if (s->wake[1] >= 0) {
            const char c = 1;
            (void)!write(s->wake[1], &c, 1);
        }
        // From its own accept callback: the loop ends after the callback and closes the listener.
        if (onOwnLoop(s)) return kZErr_OK;
        old = std::move(s->loop);
    }
    if (old.joinable()) old.join();
    closeListener(s);
    closePipe(s);
    s->address = sockaddr_in{};
    return kZErr_OK;
}

void ZSvrSock_Delete(iZelk_ServerSocket** handle) {
    iZelk_ServerSocket* s = takeForDelete(handle, "*** Delete Server Socket ***");
    if (!s) return;
    if (freedByOwnLoop(s, [s] { s->running.store(false); })) return;
    ZSvrSock_Close(s);
    delete s;
}

SInt32 ZSvrSock_SetSktName(iZelk_ServerSocket* s, UInt32 name) {
    if (!s) return ZS_FAIL(nullptr, "ZSvrSock_SetSktName", kZErr_invalidParam);
    s->name.store(name);
    return kZErr_OK;
}

bool ZSvrSock_IsRunning(iZelk_ServerSocket* s) { return s && s->running.load(); }

UInt16 ZSvrSock_GetPortNr(iZelk_ServerSocket* s) { return s ? s->port.load() : 0; }
