// TCP connection with its own receive thread, and the TCP listener.
#include "nk_socket.h"
#include "number/pf_number.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPollSliceMsec = 100;
constexpr int kConnectWaitSec = 3;
constexpr double kIdleLimitSec = 30.0;
constexpr double kSecondsFrom1970To2001 = 978307200.0;
// An accepted peer that vanishes without a FIN (power lost, cable pulled) is
// found by keep-alive probes: after a minute of silence, one probe every 10 s,
// given up after 6 unanswered ones.
constexpr int kKeepAliveIdleSec = 60;
constexpr int kKeepAliveIntervalSec = 10;
constexpr int kKeepAliveProbes = 6;

double nowAbsolute() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - kSecondsFrom1970To2001;
}

std::string errText(int err) {
    char buf[256];
    return std::string(strerror_r(err, buf, sizeof(buf)));
}

int makeWakeFd() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

void wakeUp(int fd) {
    if (fd < 0) return;
    const uint64_t one = 1;
    ssize_t n;
    do n = write(fd, &one, sizeof(one)); while (n < 0 && errno == EINTR);
}

void drainWake(int fd) {
    if (fd < 0) return;
    uint64_t value;
    ssize_t n;
    do n = read(fd, &value, sizeof(value)); while (n < 0 && errno == EINTR);
}

// Moves a state that is still live to closing; a connection that has already
// ended stays notActive.
template <typename Status>
void markClosing(Status& status) {
    for (t_nkSocketStatus from : {k_nkSocketStatus_running, k_nkSocketStatus_connected,
                                  k_nkSocketStatus_launched, k_nkSocketStatus_launching,
                                  k_nkSocketStatus_connecting}) {
        t_nkSocketStatus expected = from;
        if (status.compare_exchange_strong(expected, k_nkSocketStatus_closing)) return;
    }
}

// Descriptor 0 stands for "none" in these classes. A socket that lands on it
// (a process started with standard input closed) is moved up, so that it is
// neither ignored nor leaked; -1 when no descriptor is left.
int offZero(int fd) {
    if (fd != 0) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    const int e = errno;
    close(fd);
    errno = e;
    return moved;
}

void closeFd(int fd) {
    if (fd <= 0) return;
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

// The tool's build reports the loops' refusals with the conditions it names, and
// its poll failures at level 1.
#ifdef NK_MORVELL_BUILD
constexpr const char* kConnectedCondition = "_status==k_nkSocketStatus_connected";
constexpr const char* kLaunchedCondition = "_status==k_nkSocketStatus_launched";
constexpr t_nkVbsLvl kPollFailLevel = kVL1;
#else
constexpr const char* kConnectedCondition = "checkCondition";
constexpr const char* kLaunchedCondition = "checkCondition";
constexpr t_nkVbsLvl kPollFailLevel = kVL2;
#endif

void vlogLine(CNK_logManager* lm, t_nkVbsLvl level, const char* format, va_list args) {
    if (!nkObj_isValid(lm)) return;
    char text[1024];
    pf::number::vformat(text, sizeof(text), format, args);
    lm->printText(level, "%s", text);
}

}  // namespace

// ================================================================ CNK_socket

CNK_socket::CNK_socket() { init(); }

CNK_socket::CNK_socket(CNK_logManager* lm) {
    init();
    if (lm) acceptLogManager(lm);
}

void CNK_socket::init() {
    NK_CLASS_NAME();
    alive_ = std::make_shared<std::atomic<bool>>(true);
    wakeFd_ = makeWakeFd();
    if (wakeFd_ < 0) {
        // Running out of descriptors is ordinary: the object is left unusable,
        // and every call on it returns a code instead of the process aborting.
        nkDebug_printError(logManager, __FILE__, name, "CNK_socket", __LINE__, kNKErr_socketOpenError, "wakeFd_>=0");
        magic = 0;
    }
}

CNK_socket::~CNK_socket() {
    if (nkObj_isValid(this)) shutdownAndWait();
    if (wakeFd_ >= 0) close(wakeFd_);
    wakeFd_ = -1;
}

u16 CNK_socket::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_socket::logLine(t_nkVbsLvl level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vlogLine(logManager, level, format, args);
    va_end(args);
}

void CNK_socket::signalWake() { wakeUp(wakeFd_); }
void CNK_socket::clearWake() { drainWake(wakeFd_); }
void CNK_socket::touch() { lastActivity_.store(nowAbsolute()); }

void CNK_socket::writePeerName(int skt) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    char text[1024] = "";
    if (getpeername(skt, reinterpret_cast<sockaddr*>(&addr), &len) == 0 && addr.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &in->sin_addr, ip, sizeof(ip));
        std::snprintf(text, sizeof(text), "%s:%d", ip, ntohs(in->sin_port));
    }
    {
        std::lock_guard<std::mutex> lock(peerMutex_);
        peerName_ = text;
    }
    logLine(kVL3, ".peer name: %s", text);
}

void CNK_socket::closeDescriptor() {
    // Wake any sender or receiver first: they hold the locks while they wait.
    signalWake();
    std::lock_guard<std::mutex> r(recvMutex_);
    std::lock_guard<std::mutex> s(sendMutex_);
    closeFd(_socket.exchange(0));
}

u16 CNK_socket::Connect(const char* address, u16 port, INK_socketCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!address) {
        NK_REPORT(kNKErr_invalidParam, "address!=NULL");
        Close();
        return kNKErr_invalidParam;
    }
    if (port == 0) {
        NK_REPORT(kNKErr_invalidParam, "port>0");
        Close();
        return kNKErr_invalidParam;
    }
    // Inside its own onClose the owner may start the next connection: the
    // previous one has ended, only its close handling is still on the stack.
    const bool fromOwnClose = inOwnClose();
    if (!fromOwnClose && (_status.load() != k_nkSocketStatus_notActive || !loopDone_.load())) {
        NK_REPORT(kNKErr_invalidCondition, "checkCondition");
        Close();
        return kNKErr_invalidCondition;
    }
    _status.store(k_nkSocketStatus_connecting);
    {
        std::lock_guard<std::mutex> lock(peerMutex_);
        peerName_.clear();
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &addr.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(address, nullptr, &hints, &found) != 0 || !found || !found->ai_addr) {
            if (found) freeaddrinfo(found);
            NK_REPORT(kNKErr_socketInvalidAddress, "");
            Close();
            return kNKErr_socketInvalidAddress;
        }
        addr.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }

    const int skt = offZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (skt == -1) {
        NK_REPORT(kNKErr_socketOpenError, "skt!=-1");
        Close();
        return kNKErr_socketOpenError;
    }
    logLine(kVL2, ".set socket option");
    // Broken pipes are kept from raising a signal by MSG_NOSIGNAL on every send.

    const int flags = fcntl(skt, F_GETFL, 0);
    fcntl(skt, F_SETFL, flags | O_NONBLOCK);
    bool connected = false;
    if (connect(skt, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
        connected = true;
    } else if (errno == EINPROGRESS) {
        const auto deadline = Clock::now() + std::chrono::seconds(kConnectWaitSec);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{skt, POLLOUT, 0};
            const int rc = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0) {
                const int e = errno;
                logLine(kVL1, "[Error] select failed,err=%d (%s)", e, errText(e).c_str());
            } else if (rc == 0) {
                logLine(kVL1, "[Error] timeout - no respond during %d sec", kConnectWaitSec);
            } else {
                int err = 0;
                socklen_t len = sizeof(err);
                if (getsockopt(skt, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                    const int e = errno;
                    logLine(kVL1, "[Error] getsockopt failed,err=%d(%s)", e, errText(e).c_str());
                } else if (err != 0) {
                    logLine(kVL1, "[Error] delayed connection,err=%d(%s)", err, errText(err).c_str());
                } else {
                    connected = true;
                }
            }
            break;
        }
    } else {
        const int e = errno;
        logLine(kVL1, "[Error] connect failed err=%d(%s)", e, errText(e).c_str());
    }
    fcntl(skt, F_SETFL, flags);
    if (!connected) {
        NK_REPORT(kNKErr_socketConnectionFailed, "");
        close(skt);
        Close();
        return kNKErr_socketConnectionFailed;
    }

    _status.store(k_nkSocketStatus_connected);
    if (!callback) {
        if (fromOwnClose) {
            // This thread is the previous connection's, about to leave.
            std::lock_guard<std::mutex> lock(threadMutex_);
            if (_thread.joinable()) _thread.detach();
            ++generation_;
            loopDone_.store(true);
        }
        // A descriptor left open by a failed Recv of the previous connection is closed, not leaked.
        closeDescriptor();
        clearWake();
        {
            std::unique_lock<std::shared_mutex> lock(callbackMutex_);
            _callback = nullptr;
        }
        _socket.store(skt);
        writePeerName(skt);
        bytesSent_ = 0;
        bytesReceived_ = 0;
        touch();
        return kNKErr_OK;
    }
    const u16 rc = Append(skt, callback);
    if (rc != kNKErr_OK) {
        NK_REPORT(rc, "");
        close(skt);
        Close();
    }
    return rc;
}

u16 CNK_socket::Append(int skt, INK_socketCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    // On a refusal the descriptor stays the caller's.
    if (skt == -1) {
        NK_REPORT(kNKErr_invalidParam, "skt!=-1");
        Close();
        return kNKErr_invalidParam;
    }
    if (!callback) {
        // A receive thread without anyone to hear it could never be ended by its owner.
        NK_REPORT(kNKErr_invalidStatus, "checkCallback");
        Close();
        return kNKErr_invalidStatus;
    }
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        if (_thread.joinable()) {
            if (_thread.get_id() == std::this_thread::get_id() && inOwnClose()) {
                // The owner starts the next connection inside onClose: this thread
                // is the previous connection's and leaves once onClose returns.
                _thread.detach();
            } else if (!loopDone_.load()) {
                // Also while the previous connection's close handling runs on its
                // thread: an object is never handed on before its close has finished.
                NK_REPORT(kNKErr_invalidStatus, "!_thread.joinable()");
                Close();
                return kNKErr_invalidStatus;
            } else {
                _thread.join();  // the previous connection has ended; its thread is leaving
            }
        }
    }
    // A synchronous connection still open is replaced, not leaked; a reader
    // still waiting on it is woken before its descriptor goes.
    closeDescriptor();
    clearWake();
    _socket.store(skt);
    {
        std::unique_lock<std::shared_mutex> lock(callbackMutex_);
        _callback = callback;
    }
    bytesSent_ = 0;
    bytesReceived_ = 0;
    writePeerName(skt);
    _status.store(k_nkSocketStatus_connected);
    touch();
    ++generation_;
    loopDone_.store(false);
    try {
        std::lock_guard<std::mutex> lock(threadMutex_);
        _thread = std::thread(_client_socket_thread_code, this);
    } catch (const std::system_error&) {
        loopDone_.store(true);
        _socket.store(0);
        _status.store(k_nkSocketStatus_notActive);
        NK_REPORT(kNKErr_threadCreationFailed, "_thread.joinable()");
        return kNKErr_threadCreationFailed;
    }
    return kNKErr_OK;
}

void CNK_socket::markConnectDone() {
    // Notified under the lock: once a waiter holds it, this thread is done with the object.
    std::lock_guard<std::mutex> lock(connectMutex_);
    connectDone_ = true;
    connectCv_.notify_all();
}

void CNK_socket::waitConnectNotification() {
    {
        std::unique_lock<std::mutex> lock(connectMutex_);
        connectCv_.wait(lock, [this] { return connectDone_; });
    }
    std::thread notifier;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        notifier = std::move(notifyThread_);
    }
    if (notifier.joinable()) notifier.join();
}

void* _client_socket_thread_code(void* ctx) {
    if (!ctx) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "ctx");
    auto* self = static_cast<CNK_socket*>(ctx);
    INK_socketCallback* callback;
    {
        std::shared_lock<std::shared_mutex> lock(self->callbackMutex_);
        callback = self->_callback;
    }
    if (!callback) {
        // Append refuses a connection without listener; were one to start, it ends here, closed.
        nkDebug_printError(self->logManager, __FILE__, self->name, "lp", __LINE__, kNKErr_invalidCondition,
                           "_callback!=NULL");
        self->closeDescriptor();
        self->_status.store(k_nkSocketStatus_notActive);
        self->loopDone_.store(true);
        return nullptr;
    }
    self->receiveLoop(callback);
    return nullptr;
}

void CNK_socket::receiveLoop(INK_socketCallback* callback) {
    const std::shared_ptr<std::atomic<bool>> alive = alive_;
    bool run = true;
    if (_socket.load() < 0) {
        // poll would skip a negative descriptor and the loop would wait for ever.
        NK_REPORT(kNKErr_invalidCondition, "_socket>-1");
        run = false;
    } else {
        t_nkSocketStatus expected = k_nkSocketStatus_connected;
        run = _status.compare_exchange_strong(expected, k_nkSocketStatus_running);
        if (!run && expected != k_nkSocketStatus_closing) NK_REPORT(kNKErr_invalidStatus, kConnectedCondition);
    }

    // The connect notification may overlap the first packets; the close
    // notification waits for it, so the owner always hears them in order.
    {
        std::lock_guard<std::mutex> lock(connectMutex_);
        connectDone_ = false;
    }
    try {
        std::lock_guard<std::mutex> lock(threadMutex_);
        notifyThread_ = std::thread([this, callback, alive] {
            callback->onConnect(socketName());
            if (alive->load()) markConnectDone();
        });
    } catch (const std::system_error&) {
        callback->onConnect(socketName());
        if (!alive->load()) return;
        markConnectDone();
    }

    const int fd = _socket.load();
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    while (run && _status.load() == k_nkSocketStatus_running) {
        const int rc = poll(p, 2, kPollSliceMsec);
        if (rc == 0) continue;
        if (rc < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            logLine(kPollFailLevel, "poll() failed: [%d] %s", e, errText(e).c_str());
            NK_REPORT(kNKErr_socketPollError, "rtn!=-1");
            break;
        }
        if (p[1].revents) break;  // Close or a failed send asked the loop to end
        if (p[0].revents & POLLIN) {
            const u16 result = callback->onReceive(socketName());
            if (!alive->load()) return;  // the owner destroyed the object inside the callback
            if (result != kNKErr_OK) {
                // A closed link has been logged as such where it was seen.
                if (result != kNKErr_socketClosed) NK_REPORT(result, "");
                break;
            }
            continue;
        }
        // Error or hang-up without data: the connection is gone, polling again would spin.
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;
    }
    finishConnection(callback, alive);
}

void CNK_socket::finishConnection(INK_socketCallback* callback, const std::shared_ptr<std::atomic<bool>>& alive) {
    _status.store(k_nkSocketStatus_closing);
    closeDescriptor();
    waitConnectNotification();
    const u32 generation = generation_.load();
    closingThread_.store(std::this_thread::get_id());
    callback->onClose(socketName());
    if (!alive->load()) return;  // the owner destroyed the object inside onClose
    std::thread::id self = std::this_thread::get_id();
    closingThread_.compare_exchange_strong(self, std::thread::id());
    // The owner started the next connection inside onClose: its state is not ours.
    if (generation_.load() != generation) return;
    // Only now is the connection idle: an owner that reuses this object for the
    // next connection cannot be reached by this one's close any more.
    loopDone_.store(true);
    _status.store(k_nkSocketStatus_notActive);
}

u16 CNK_socket::recvInto(const char* func, u8* buf, size_t length, size_t* got, bool waitAll,
                         const Clock::time_point* deadline) {
    u16 rc = kNKErr_OK;
    int err = 0;
    size_t done = 0;
    bool peerClosed = false;
    {
        std::lock_guard<std::mutex> lock(recvMutex_);
        const int fd = _socket.load();
        while (done < length) {
            if (fd <= 0) {
                err = ENOTCONN;
                rc = kNKErr_socketClosed;
                break;
            }
            const ssize_t n = recv(fd, buf + done, length - done, MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                bytesReceived_ += static_cast<u32>(n);
                if (!waitAll) break;
                continue;
            }
            if (n == 0) {
                peerClosed = true;
                rc = kNKErr_socketClosed;
                break;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                err = errno;
                rc = kNKErr_socketRecvFailed;
                break;
            }
            int slice = kPollSliceMsec;
            if (deadline) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
                if (left.count() <= 0) {
                    err = ETIMEDOUT;
                    rc = kNKErr_timeout;
                    break;
                }
                if (left.count() < slice) slice = static_cast<int>(left.count());
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            const int prc = poll(p, 2, slice);
            if (prc < 0 && errno != EINTR) {
                err = errno;
                rc = kNKErr_socketRecvFailed;
                break;
            }
            if (prc > 0 && p[1].revents && !(p[0].revents & POLLIN)) {
                err = ECONNABORTED;  // closed on our side while waiting
                rc = kNKErr_socketClosed;
                break;
            }
        }
    }
    *got = done;
    touch();
    if (rc != kNKErr_OK) {
        if (!peerClosed) {
            logLine(kVL1, "[Error] recv failed err=%d (%s)", err, errText(err).c_str());
            nkDebug_printError(logManager, __FILE__, name, func, __LINE__, rc, "");
        } else if (done == 0) {
            // An orderly end of the link, not a failure.
            logLine(kVL1, ".connection closed by peer [%s]", peerNameCopy().c_str());
        } else {
            logLine(kVL1, ".connection closed by peer [%s] after %zu of %zu bytes", peerNameCopy().c_str(), done,
                    length);
        }
        if (loopDone_.load())
            _status.store(k_nkSocketStatus_notActive);
        else
            markClosing(_status);  // the receive thread reports the end once it has closed
    }
    return rc;
}

u16 CNK_socket::Recv(void* pBuff, size_t* pBuffLength, bool waitAll) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_ASSERT(pBuff!=NULL);
    NK_ASSERT(pBuffLength!=NULL);
    NK_ASSERT(*pBuffLength>0);
    size_t got = 0;
    const u16 rc = recvInto(__func__, static_cast<u8*>(pBuff), *pBuffLength, &got, waitAll, nullptr);
    if (rc == kNKErr_OK && !waitAll) *pBuffLength = got;
    return rc;
}

u16 CNK_socket::Recv(void* pBuff, size_t* pBuffLength, bool waitAll, u32 timeoutMs) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_ASSERT(pBuff!=NULL);
    NK_ASSERT(pBuffLength!=NULL);
    NK_ASSERT(*pBuffLength>0);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t got = 0;
    const u16 rc = recvInto(__func__, static_cast<u8*>(pBuff), *pBuffLength, &got, waitAll, &deadline);
    *pBuffLength = got;
    return rc;
}

u16 CNK_socket::recvExact(void* pBuff, size_t length, Clock::time_point deadline, const char* func) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (length == 0) return kNKErr_OK;
    size_t got = 0;
    return recvInto(func, static_cast<u8*>(pBuff), length, &got, true, &deadline);
}

u16 CNK_socket::Send(const void* pBuff, size_t buffLength) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_ASSERT(pBuff!=NULL);
    NK_ASSERT(buffLength>0);
    iovec part{const_cast<void*>(pBuff), buffLength};
    return sendParts(&part, 1, __func__);
}

u16 CNK_socket::sendParts(const iovec* parts, int count, const char* func) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::vector<iovec> rest(parts, parts + count);
    size_t first = 0;
    u16 rc = kNKErr_OK;
    int err = 0;
    {
        // Held for the whole message, so that messages of several threads never interleave.
        std::lock_guard<std::mutex> lock(sendMutex_);
        const int fd = _socket.load();
        auto lastProgress = Clock::now();
        while (first < rest.size()) {
            if (rest[first].iov_len == 0) {
                ++first;
                continue;
            }
            if (fd <= 0) {
                err = ENOTCONN;
                rc = kNKErr_socketSendFailed;
                break;
            }
            msghdr msg{};
            msg.msg_iov = rest.data() + first;
            msg.msg_iovlen = rest.size() - first;
            const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                bytesSent_ += static_cast<u32>(n);
                size_t left = static_cast<size_t>(n);
                while (left > 0 && first < rest.size()) {
                    const size_t take = std::min(left, rest[first].iov_len);
                    rest[first].iov_base = static_cast<u8*>(rest[first].iov_base) + take;
                    rest[first].iov_len -= take;
                    left -= take;
                    if (rest[first].iov_len == 0) ++first;
                }
                lastProgress = Clock::now();
                continue;
            }
            if (n == 0) {
                rc = kNKErr_socketClosed;
                break;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                err = errno;
                rc = kNKErr_socketSendFailed;
                break;
            }
            // A peer that stops reading may hold this connection's sends for a while, never for ever.
            if (Clock::now() - lastProgress > std::chrono::milliseconds(kSendStallMsec)) {
                err = ETIMEDOUT;
                rc = kNKErr_socketSendFailed;
                break;
            }
            pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
            const int prc = poll(p, 2, kPollSliceMsec);
            if (prc < 0 && errno != EINTR) {
                err = errno;
                rc = kNKErr_socketSendFailed;
                break;
            }
            if (prc > 0 && p[1].revents && !(p[0].revents & POLLOUT)) {
                err = ECONNABORTED;
                rc = kNKErr_socketClosed;
                break;
            }
        }
    }
    touch();
    if (rc != kNKErr_OK) {
        logLine(kVL1, "[Error] send failed err=%d(%s)", err, errText(err).c_str());
        nkDebug_printError(logManager, __FILE__, name, func, __LINE__, rc, "");
        markClosing(_status);
        if (!loopDone_.load()) signalWake();  // let the receive thread end the connection now
    }
    return rc;
}

void CNK_socket::Close() {
    NK_VALID_OR_RETURN_VOID();
    lastActivity_.store(0.0);
    if (!loopDone_.load()) {
        // The receive thread closes the descriptor and tells the owner.
        markClosing(_status);
        signalWake();
        return;
    }
    _status.store(k_nkSocketStatus_notActive);
    closeDescriptor();
}

void CNK_socket::shutdownAndWait() {
    Close();
    const auto self = std::this_thread::get_id();
    std::thread receiver;
    {
        std::unique_lock<std::mutex> lock(threadMutex_);
        if (notifyThread_.joinable() && notifyThread_.get_id() == self) {
            // Destroyed inside its own onConnect: the receive thread no longer
            // waits for this thread, which leaves the notification untouched.
            notifyThread_.detach();
            alive_->store(false);
            lock.unlock();
            markConnectDone();
            lock.lock();
        }
        if (_thread.joinable() && _thread.get_id() == self) {
            // Destroyed inside its own onReceive or onClose: this thread ends the
            // connection here, and its loop then leaves without touching the object.
            _thread.detach();
            lock.unlock();
            waitConnectNotification();
            alive_->store(false);
            closeDescriptor();
            loopDone_.store(true);
            _status.store(k_nkSocketStatus_notActive);
            return;
        }
        receiver = std::move(_thread);
    }
    if (receiver.joinable()) receiver.join();
    if (!loopDone_.load()) {
        // The receive thread left early because the owner destroyed the object in onConnect.
        closeDescriptor();
        loopDone_.store(true);
        _status.store(k_nkSocketStatus_notActive);
    }
}

bool CNK_socket::isRunning() {
    NK_VALID_OR_RETURN(false);
    return _status.load() != k_nkSocketStatus_notActive;
}

bool CNK_socket::isClosing() {
    NK_VALID_OR_RETURN(false);
    return _status.load() == k_nkSocketStatus_closing;
}

std::string CNK_socket::peerNameCopy() {
    std::lock_guard<std::mutex> lock(peerMutex_);
    return peerName_;
}

const char* CNK_socket::getPeerName() {
    NK_VALID_OR_RETURN("");
    std::lock_guard<std::mutex> lock(peerMutex_);
    return peerName_.c_str();
}

void CNK_socket::setSocketName(u32 name) {
    NK_VALID_OR_RETURN_VOID();
    socketName_.store(name);
}

void CNK_socket::checkAndClose() {
    NK_VALID_OR_RETURN_VOID();
    if (_status.load() == k_nkSocketStatus_notActive) return;
    if (nowAbsolute() - lastActivity_.load() > kIdleLimitSec) Close();
}

// ================================================================ CNK_serverSocket

CNK_serverSocket::CNK_serverSocket() { init(); }

CNK_serverSocket::CNK_serverSocket(CNK_logManager* lm) {
    init();
    if (lm) acceptLogManager(lm);
}

void CNK_serverSocket::init() {
    NK_CLASS_NAME();
    alive_ = std::make_shared<std::atomic<bool>>(true);
    wakeFd_ = makeWakeFd();
    if (wakeFd_ < 0) {
        // Out of descriptors: an unusable object whose calls return a code.
        nkDebug_printError(logManager, __FILE__, name, "CNK_serverSocket", __LINE__, kNKErr_socketOpenError,
                           "wakeFd_>=0");
        magic = 0;
    }
}

CNK_serverSocket::~CNK_serverSocket() {
    if (nkObj_isValid(this)) {
        Close();
        std::thread accepter;
        {
            std::lock_guard<std::mutex> lock(threadMutex_);
            if (_thread.joinable() && _thread.get_id() == std::this_thread::get_id()) {
                // Destroyed inside its own onAccept or onCloseServer: the listener is
                // closed here, and the accept loop leaves without touching the object.
                alive_->store(false);
                _thread.detach();
                closeFd(_socket.exchange(0));
            } else {
                accepter = std::move(_thread);
            }
        }
        if (accepter.joinable()) accepter.join();
    }
    if (wakeFd_ >= 0) close(wakeFd_);
    wakeFd_ = -1;
}

u16 CNK_serverSocket::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_serverSocket::logLine(t_nkVbsLvl level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vlogLine(logManager, level, format, args);
    va_end(args);
}

void CNK_serverSocket::setSocketName(u32 name) {
    NK_VALID_OR_RETURN_VOID();
    socketName_.store(name);
}

u16 CNK_serverSocket::Launch(u16 port, INK_serverSocketCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::unique_lock<std::mutex> lock(mutex_);
    u16 rc = kNKErr_OK;
    if (port == 0) {
        NK_REPORT(kNKErr_invalidParam, "port!=0");
        rc = kNKErr_invalidParam;
    }
    if (rc == kNKErr_OK) {
        std::lock_guard<std::mutex> t(threadMutex_);
        if (_thread.joinable()) {
            if (!loopDone_.load()) {
                NK_REPORT(kNKErr_invalidStatus, "!_thread.joinable()");
                rc = kNKErr_invalidStatus;
            } else {
                _thread.join();
            }
        }
    }
    if (rc == kNKErr_OK && !callback) {
        NK_REPORT(kNKErr_invalidPointer, "callback");
        rc = kNKErr_invalidPointer;
    }
    if (rc != kNKErr_OK) {
        lock.unlock();
        Close();
        return rc;
    }

    _status.store(k_nkSocketStatus_launching);
    accepted_ = 0;
    logLine(kVL2, ".open socket");
    // Non-blocking, so that a client gone before Accept cannot hang the accept thread.
    const int skt = offZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (skt == -1) {
        NK_REPORT(kNKErr_socketOpenError, "rtn!=-1");
        rc = kNKErr_socketOpenError;
    }
    if (rc == kNKErr_OK) {
        _socket.store(skt);
        logLine(kVL2, ".set socket option");
        const int on = 1;
        if (setsockopt(skt, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == -1) {
            const int e = errno;
            logLine(kVL1, "setsockopt() failed: [%d] %s", e, errText(e).c_str());
            NK_REPORT(kNKErr_socketOptionSetError, "rtn!=-1");
            rc = kNKErr_socketOptionSetError;
        }
    }
    if (rc == kNKErr_OK) {
        port_ = port;
        logLine(kVL2, ".bind socket: port=%d", port);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(port);
        if (bind(skt, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == -1) {
            const int e = errno;
            logLine(kVL1, "[bind error] = %d:%s", e, errText(e).c_str());
            NK_REPORT(kNKErr_socketBindError, "rtn!=-1");
            rc = kNKErr_socketBindError;
        }
    }
    if (rc == kNKErr_OK) {
        logLine(kVL2, ".listen");
        if (listen(skt, 32) == -1) {
            NK_REPORT(kNKErr_socketListenError, "rtn!=-1");
            rc = kNKErr_socketListenError;
        }
    }
    if (rc == kNKErr_OK) {
        _callback.store(callback);
        _status.store(k_nkSocketStatus_launched);
        logLine(kVL2, ".launch");
        drainWake(wakeFd_);
        loopDone_.store(false);
        try {
            std::lock_guard<std::mutex> t(threadMutex_);
            _thread = std::thread(_serverSocket_thread, this);
        } catch (const std::system_error&) {
            loopDone_.store(true);
            NK_REPORT(kNKErr_threadCreationFailed, "_thread.joinable()");
            rc = kNKErr_threadCreationFailed;
        }
    }
    if (rc == kNKErr_OK) {
        for (int i = 0; i < 1000 && _status.load() != k_nkSocketStatus_running && !loopDone_.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (_status.load() != k_nkSocketStatus_running) {
            NK_REPORT(kNKErr_threadCreationFailed, "");
            rc = kNKErr_threadCreationFailed;
        }
    }
    lock.unlock();
    if (rc != kNKErr_OK) Close();
    return rc;
}

int CNK_serverSocket::backoffLeftMsec() const {
    const auto left = Clock::duration(backoffUntil_.load()) - Clock::now().time_since_epoch();
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
}

void* _serverSocket_thread(void* ctx) {
    if (!ctx) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, "ctx");
    static_cast<CNK_serverSocket*>(ctx)->acceptLoop();
    return nullptr;
}

void CNK_serverSocket::acceptLoop() {
    const std::shared_ptr<std::atomic<bool>> alive = alive_;
    INK_serverSocketCallback* callback = _callback.load();
    bool run = true;
    if (!callback) {
        NK_REPORT(kNKErr_invalidCondition, "_callback!=NULL");
        run = false;
    } else if (_socket.load() < 0) {
        NK_REPORT(kNKErr_invalidCondition, "_socket>-1");
        run = false;
    } else {
        t_nkSocketStatus expected = k_nkSocketStatus_launched;
        if (!_status.compare_exchange_strong(expected, k_nkSocketStatus_running)) {
            NK_REPORT(kNKErr_invalidStatus, kLaunchedCondition);
            run = false;
        }
    }
    if (run) {
        pollfd p[2] = {{_socket.load(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        while (_status.load() == k_nkSocketStatus_running) {
            // Out of descriptors: the waiting connection stays queued while only
            // a Close can end the pause.
            const int pause = backoffLeftMsec();
            if (pause > 0) {
                pollfd w{wakeFd_, POLLIN, 0};
                if (poll(&w, 1, std::min(pause, kPollSliceMsec)) > 0) break;
                continue;
            }
            const int rc = poll(p, 2, kPollSliceMsec);
            if (rc == 0) continue;
            if (rc < 0) {
                if (errno == EINTR) continue;
                const int e = errno;
                logLine(kVL1, "poll() failed [%d] %s", e, errText(e).c_str());
                NK_REPORT(kNKErr_socketPollError, "rtn!=-1");
                break;
            }
            if (p[1].revents) break;
            if (p[0].revents & POLLIN) {
                const u16 result = callback->onAccept(socketName_.load());
                if (!alive->load()) return;  // the owner destroyed the listener inside onAccept
                if (result != kNKErr_OK) {
                    NK_REPORT(result, "");
                    break;
                }
                continue;
            }
            if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;
        }
    }
    _status.store(k_nkSocketStatus_closing);
    closeFd(_socket.exchange(0));
    if (run) callback->onCloseServer(socketName_.load());
    if (!alive->load()) return;  // the owner destroyed the listener inside onCloseServer
    _callback.store(nullptr);
    loopDone_.store(true);
    _status.store(k_nkSocketStatus_notActive);
}

int CNK_serverSocket::Accept() {
    NK_VALID_OR_RETURN(-1);
    std::lock_guard<std::mutex> lock(mutex_);
    int skt;
    do skt = accept4(_socket.load(), nullptr, nullptr, SOCK_CLOEXEC);
    while (skt < 0 && errno == EINTR);
    skt = offZero(skt);
    if (skt < 0) {
        const int e = errno;
        if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
            // No descriptor or memory left: the connection stays queued and the
            // accept loop pauses, longer each time up to a second, then tries
            // again. One log line per shortage, not one per attempt.
            const int pause = std::min(std::max(2 * backoffMsec_.load(), 20), 1000);
            backoffMsec_.store(pause);
            backoffUntil_.store((Clock::now() + std::chrono::milliseconds(pause)).time_since_epoch().count());
            if (shortage_.exchange(true)) return -1;
        } else {
            backoffMsec_.store(0);
        }
        logLine(kVL1, "[accept error] = %d:%s", e, errText(e).c_str());
        NK_REPORT(kNKErr_socketAcceptError, "skt>-1");
        return -1;
    }
    backoffMsec_.store(0);
    shortage_.store(false);
    ++accepted_;
    const int on = 1;
    if (setsockopt(skt, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) == -1 ||
        setsockopt(skt, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSec, sizeof(int)) == -1 ||
        setsockopt(skt, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSec, sizeof(int)) == -1 ||
        setsockopt(skt, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(int)) == -1) {
        // The connection still works; only a silent loss of the peer goes unnoticed.
        const int e = errno;
        logLine(kVL1, "setsockopt() failed: [%d] %s", e, errText(e).c_str());
    }
    return skt;
}

void CNK_serverSocket::Close() {
    NK_VALID_OR_RETURN_VOID();
    if (!loopDone_.load()) {
        markClosing(_status);
        wakeUp(wakeFd_);
        return;
    }
    _status.store(k_nkSocketStatus_notActive);
    closeFd(_socket.exchange(0));
}
