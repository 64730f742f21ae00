// TCP over IPv4 for the station scripting framework: a client connection with its
// own receive loop (connected out, or taken over from an accepted descriptor) and
// a listener with its own accept loop. Each event comes as a plain callback with
// user data and as a message to an event sink.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <netinet/in.h>

#include "ZelkTimedLock.h"
#include "ZelkTypeDef.h"

struct iZelk_LogManager;

// Receives a connection's events on its receive loop. OnReceive reads the data
// itself with ZSock_Recv; a non-zero result ends the connection.
class iZelk_SocketEventSink {
public:
    virtual ~iZelk_SocketEventSink() = default;
    virtual void OnConnect(UInt32 socketName) = 0;
    virtual SInt32 OnReceive(UInt32 socketName) = 0;
    virtual void OnClose(UInt32 socketName) = 0;
};

// Receives a listener's pending connections on its accept loop; it takes each with
// ZSvrSock_Accept. A non-zero result ends the loop.
class iZelk_ServerSocketEventSink {
public:
    virtual ~iZelk_ServerSocketEventSink() = default;
    virtual SInt32 OnAccept(UInt32 socketName) = 0;
};

typedef void (*tZSock_ConnectFn)(void* userData, UInt32 socketName);
typedef SInt32 (*tZSock_ReceiveFn)(void* userData, UInt32 socketName);
typedef void (*tZSock_CloseFn)(void* userData, UInt32 socketName);
typedef SInt32 (*tZSvrSock_AcceptFn)(void* userData, UInt32 socketName);

// The client's operations in table order; each is the ZSock_ function of its name.
class tZelk_SocketOps {
public:
    virtual SInt32 Connect(const char* host, UInt16 port) = 0;
    virtual SInt32 ConnectAsync(const char* host, UInt16 port, iZelk_SocketEventSink* sink,
                                tZSock_ConnectFn connectFn, tZSock_ReceiveFn receiveFn, tZSock_CloseFn closeFn,
                                void* userData) = 0;
    virtual SInt32 Append(int descriptor) = 0;
    virtual SInt32 AppendAsync(int descriptor, iZelk_SocketEventSink* sink, tZSock_ConnectFn connectFn,
                               tZSock_ReceiveFn receiveFn, tZSock_CloseFn closeFn, void* userData) = 0;
    virtual SInt32 Close() = 0;
    virtual SInt32 Recv(void* buffer, UInt32* size) = 0;
    virtual SInt32 Send(const void* data, UInt32 length, UInt32 timeoutMs) = 0;

protected:
    ~tZelk_SocketOps() = default;
};

struct iZelk_Socket;
struct iZelk_ServerSocket;

iZelk_Socket* ZSock_Create(iZelk_LogManager* lm);
// Elsewhere than on the connection's own loop: closes, waits for the loop and frees.
// From one of the connection's callbacks: no further callback comes, and the record
// is freed as the loop unwinds. Clears the handle either way.
void ZSock_Delete(iZelk_Socket** handle);

// With a sink or a receive function the connection gets its receive loop; without
// both it is a plain connection that the caller reads, writes and closes itself.
SInt32 ZSock_Connect(iZelk_Socket* s, const char* host, UInt16 port);
SInt32 ZSock_ConnectAsync(iZelk_Socket* s, const char* host, UInt16 port, iZelk_SocketEventSink* sink,
                          tZSock_ConnectFn connectFn, tZSock_ReceiveFn receiveFn, tZSock_CloseFn closeFn,
                          void* userData);
// Takes the descriptor over (also when it fails after the arguments were checked:
// it is closed then). A sink and a receive function together are refused with 17.
SInt32 ZSock_Append(iZelk_Socket* s, int descriptor);
SInt32 ZSock_AppendAsync(iZelk_Socket* s, int descriptor, iZelk_SocketEventSink* sink, tZSock_ConnectFn connectFn,
                         tZSock_ReceiveFn receiveFn, tZSock_CloseFn closeFn, void* userData);
// Ends the connection; its loop, when it has one, closes the descriptor and runs the
// close events. Never waits, so a callback may call it.
SInt32 ZSock_Close(iZelk_Socket* s);
// One receive of at most *size bytes; *size gets the count received. 116 when the
// peer has closed or the connection has ended.
SInt32 ZSock_Recv(iZelk_Socket* s, void* buffer, UInt32* size);
// Sends the whole block. 28 when the send lock is not had within timeoutMs, 116 on
// a connection that has ended, 115 when the system refuses.
SInt32 ZSock_Send(iZelk_Socket* s, const void* data, UInt32 length, UInt32 timeoutMs);
SInt32 ZSock_SetSktName(iZelk_Socket* s, UInt32 name);
// True while the connection is up.
bool ZSock_IsRunning(iZelk_Socket* s);
// "address:port" of the peer; null for a null record.
const char* ZSock_PeerName(iZelk_Socket* s);
UInt32 ZSock_SentTotal(iZelk_Socket* s);

iZelk_ServerSocket* ZSvrSock_Create(iZelk_LogManager* lm);
// As ZSock_Delete: from the server's own accept callback the record is freed as its loop unwinds.
void ZSvrSock_Delete(iZelk_ServerSocket** handle);
// Listens on every local address at the port; with a sink or an accept function the
// accept loop runs, without both the caller takes connections with ZSvrSock_Accept.
SInt32 ZSvrSock_Launch(iZelk_ServerSocket* s, UInt16 port);
SInt32 ZSvrSock_LaunchAsync(iZelk_ServerSocket* s, UInt16 port, iZelk_ServerSocketEventSink* sink,
                            tZSvrSock_AcceptFn acceptFn, void* userData);
// A pending connection's descriptor, or -1 (reported with 110).
int ZSvrSock_Accept(iZelk_ServerSocket* s);
// Stops listening. Waits for the accept loop, except when called from it.
SInt32 ZSvrSock_Close(iZelk_ServerSocket* s);
SInt32 ZSvrSock_SetSktName(iZelk_ServerSocket* s, UInt32 name);
bool ZSvrSock_IsRunning(iZelk_ServerSocket* s);
UInt16 ZSvrSock_GetPortNr(iZelk_ServerSocket* s);

// Shared between a loop thread and its record: set when the record is deleted from
// the loop's own callbacks, so the loop frees it on the way out and calls nothing more.
struct tZelk_LoopControl {
    std::atomic<bool> freeOnExit{false};
};

struct iZelk_Socket final : tZelk_SocketOps {
    iZelk_LogManager* lm = nullptr;
    std::atomic<UInt32> name{0};
    sockaddr_in peer{};
    std::mutex peerLock;  // guards peer and peerName
    char peerName[64] = {};
    std::atomic<UInt32> sentTotal{0};

    tZSock_ConnectFn connectFn = nullptr;
    tZSock_ReceiveFn receiveFn = nullptr;
    tZSock_CloseFn closeFn = nullptr;
    void* userData = nullptr;
    iZelk_SocketEventSink* sink = nullptr;

    // -1 = none. Users of the descriptor hold fdLock shared; only the one closing it
    // holds it exclusively, after a shutdown has woken every blocked user.
    std::atomic<int> fd{-1};
    std::shared_mutex fdLock;
    std::atomic<bool> open{false};      // the connection is up
    std::atomic<bool> hasLoop{false};   // the connection is served by a receive loop
    std::atomic<bool> stop{false};      // the loop is asked to end
    const char* loopOwner = "";         // the operation that started the loop, for its reports
    tZelk_TimedLock sendLock;

    std::mutex threadLock;  // guards loop, loopId, control, started
    std::condition_variable startedCv;
    bool started = false;
    std::thread loop;
    std::thread::id loopId;
    std::shared_ptr<tZelk_LoopControl> control;

    SInt32 Connect(const char* host, UInt16 port) override { return ZSock_Connect(this, host, port); }
    SInt32 ConnectAsync(const char* host, UInt16 port, iZelk_SocketEventSink* s, tZSock_ConnectFn c,
                        tZSock_ReceiveFn r, tZSock_CloseFn cl, void* u) override {
        return ZSock_ConnectAsync(this, host, port, s, c, r, cl, u);
    }
    SInt32 Append(int descriptor) override { return ZSock_Append(this, descriptor); }
    SInt32 AppendAsync(int descriptor, iZelk_SocketEventSink* s, tZSock_ConnectFn c, tZSock_ReceiveFn r,
                       tZSock_CloseFn cl, void* u) override {
        return ZSock_AppendAsync(this, descriptor, s, c, r, cl, u);
    }
    SInt32 Close() override { return ZSock_Close(this); }
    SInt32 Recv(void* buffer, UInt32* size) override { return ZSock_Recv(this, buffer, size); }
    SInt32 Send(const void* data, UInt32 length, UInt32 timeoutMs) override {
        return ZSock_Send(this, data, length, timeoutMs);
    }
};

// The server's operations in table order.
class tZelk_ServerSocketOps {
public:
    virtual SInt32 SetSktName(UInt32 name) = 0;
    virtual SInt32 Launch(UInt16 port) = 0;
    virtual SInt32 Close() = 0;

protected:
    ~tZelk_ServerSocketOps() = default;
};

struct iZelk_ServerSocket final : tZelk_ServerSocketOps {
    iZelk_LogManager* lm = nullptr;
    std::atomic<UInt32> name{0};
    tZSvrSock_AcceptFn acceptFn = nullptr;
    void* userData = nullptr;
    iZelk_ServerSocketEventSink* sink = nullptr;
    sockaddr_in address{};
    std::atomic<UInt16> port{0};

    std::atomic<int> fd{-1};   // listening descriptor, -1 = none
    int wake[2] = {-1, -1};    // written by Close to end the accept loop's poll
    std::atomic<bool> running{false};
    std::atomic<bool> listening{false};

    std::mutex threadLock;
    std::condition_variable startedCv;
    bool started = false;
    std::thread loop;
    std::thread::id loopId;
    std::shared_ptr<tZelk_LoopControl> control;

    SInt32 SetSktName(UInt32 n) override { return ZSvrSock_SetSktName(this, n); }
    SInt32 Launch(UInt16 p) override { return ZSvrSock_Launch(this, p); }
    SInt32 Close() override { return ZSvrSock_Close(this); }
};
