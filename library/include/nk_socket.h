// TCP connection with its own receive thread, and the TCP listener.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "nk_log.h"
#include "nk_typedef.h"

struct iovec;

// Connection and listener state.
typedef enum {
    k_nkSocketStatus_notActive = 0,
    k_nkSocketStatus_launching = 1,
    k_nkSocketStatus_launched = 2,
    k_nkSocketStatus_connecting = 3,
    k_nkSocketStatus_connected = 4,
    k_nkSocketStatus_running = 5,
    k_nkSocketStatus_closing = 6,
} t_nkSocketStatus;

// Events of one connection. onConnect and onClose run on a notification path of
// their own; onReceive runs on the connection's receive thread, and a non-zero
// result ends the connection.
class INK_socketCallback {
public:
    virtual ~INK_socketCallback() = default;
    virtual void onConnect(u32 socketName) = 0;
    virtual u16 onReceive(u32 socketName) = 0;
    virtual void onClose(u32 socketName) = 0;
};

// Events of one listener, both called on its accept thread.
class INK_serverSocketCallback {
public:
    virtual ~INK_serverSocketCallback() = default;
    virtual u16 onAccept(u32 socketName) = 0;
    virtual void onCloseServer(u32 socketName) = 0;
};

// Thread entries of a connection's receive loop and a listener's accept loop; the
// context is the CNK_socket or CNK_serverSocket (none is a broken invariant).
void* _client_socket_thread_code(void* ctx);
void* _serverSocket_thread(void* ctx);

class CNK_socket : public CNK_baseObject {
public:
    CNK_socket();
    explicit CNK_socket(CNK_logManager* lm);
    ~CNK_socket() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 Connect(const char* address, u16 port, INK_socketCallback* callback);
    // Takes over a connected descriptor; when it refuses, the descriptor stays the caller's.
    u16 Append(int socket, INK_socketCallback* callback);
    u16 Recv(void* pBuff, size_t* pBuffLength, bool waitAll);
    // As Recv, giving up with kNKErr_timeout when `timeoutMs` passes first; on
    // any result *pBuffLength is the count actually received.
    u16 Recv(void* pBuff, size_t* pBuffLength, bool waitAll, u32 timeoutMs);
    u16 Send(const void* pBuff, size_t buffLength);
    void Close();
    bool isRunning();
    // The link is ending: its receive thread is closing it or about to run onClose.
    bool isClosing();
    const char* getPeerName();
    void setSocketName(u32 socketName);
    void checkAndClose();

    // Longest time a send may go without any progress before the link is given up.
    static constexpr int kSendStallMsec = 10000;

protected:
    using Clock = std::chrono::steady_clock;

    // Reads exactly `length` bytes, giving up with kNKErr_timeout at `deadline`.
    // Failures are reported under `func`, the operation the caller is in.
    u16 recvExact(void* pBuff, size_t length, Clock::time_point deadline, const char* func);
    // Sends the parts as one message: no other sender's bytes come in between.
    // Failures are reported under `func`.
    u16 sendParts(const struct iovec* parts, int count, const char* func);
    // Ends the connection and waits until the receive thread and its notifications
    // are over. Destructors of classes that receive the callbacks call it first,
    // so that no callback reaches a half-destroyed object.
    void shutdownAndWait();
    void logLine(t_nkVbsLvl level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    u32 socketName() const { return socketName_.load(); }
    // False once the owner has destroyed the object inside a callback; a caller
    // that runs an owner's callback takes it first and touches nothing after
    // the callback when it has gone false.
    std::shared_ptr<std::atomic<bool>> aliveToken() const { return alive_; }

private:
    friend void* _client_socket_thread_code(void* ctx);
    void init();
    void receiveLoop(INK_socketCallback* callback);
    void finishConnection(INK_socketCallback* callback, const std::shared_ptr<std::atomic<bool>>& alive);
    void markConnectDone();
    void waitConnectNotification();
    bool inOwnClose() const { return closingThread_.load() == std::this_thread::get_id(); }
    void closeDescriptor();
    void signalWake();
    void clearWake();
    void writePeerName(int skt);
    std::string peerNameCopy();
    void touch();
    void stopWithError(const char* what, int err);
    u16 recvInto(const char* func, u8* buf, size_t length, size_t* got, bool waitAll, const Clock::time_point* deadline);

    std::atomic<int> _socket{0};
    std::atomic<u32> socketName_{0xFFFFFFFFu};
    std::mutex peerMutex_;
    std::string peerName_;
    std::atomic<u32> bytesSent_{0};
    std::atomic<u32> bytesReceived_{0};
    std::atomic<t_nkSocketStatus> _status{k_nkSocketStatus_notActive};
    std::atomic<double> lastActivity_{0.0};
    // Separate locks: a peer that stops reading must not hold up the receiving side.
    std::mutex sendMutex_;
    std::mutex recvMutex_;
    std::shared_mutex callbackMutex_;
    INK_socketCallback* _callback = nullptr;
    // Made readable by Close, so that waits in poll end at once.
    int wakeFd_ = -1;
    std::mutex threadMutex_;  // guards the two thread handles
    std::thread _thread;
    std::thread notifyThread_;
    std::atomic<bool> loopDone_{true};
    // Cleared when the owner destroys the object inside one of its callbacks: the
    // thread that ran the callback then leaves without touching the object again.
    std::shared_ptr<std::atomic<bool>> alive_;
    // The connect notification of the current connection has returned.
    std::mutex connectMutex_;
    std::condition_variable connectCv_;
    bool connectDone_ = true;
    // The thread running onClose, which may start the next connection from there.
    std::atomic<std::thread::id> closingThread_{};
    // Counts connections started, so that the end of one leaves the next alone.
    std::atomic<u32> generation_{0};
};

class CNK_serverSocket : public CNK_baseObject {
public:
    CNK_serverSocket();
    explicit CNK_serverSocket(CNK_logManager* lm);
    ~CNK_serverSocket() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 Launch(u16 port, INK_serverSocketCallback* callback);
    int Accept();
    void Close();
    void setSocketName(u32 socketName);

private:
    friend void* _serverSocket_thread(void* ctx);
    void init();
    void acceptLoop();
    void logLine(t_nkVbsLvl level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    using Clock = std::chrono::steady_clock;
    // Milliseconds the accept loop still waits after running out of descriptors.
    int backoffLeftMsec() const;

    std::atomic<int> _socket{-1};
    std::atomic<u32> socketName_{0};
    u16 port_ = 0;
    std::atomic<u32> accepted_{0};
    std::atomic<INK_serverSocketCallback*> _callback{nullptr};
    std::atomic<t_nkSocketStatus> _status{k_nkSocketStatus_notActive};
    std::mutex mutex_;
    int wakeFd_ = -1;
    std::mutex threadMutex_;
    std::thread _thread;
    std::atomic<bool> loopDone_{true};
    std::shared_ptr<std::atomic<bool>> alive_;
    // Back-off while Accept finds no descriptor: until when, how long the last
    // pause was, and whether this shortage has been logged.
    std::atomic<Clock::rep> backoffUntil_{0};
    std::atomic<int> backoffMsec_{0};
    std::atomic<bool> shortage_{false};
};
