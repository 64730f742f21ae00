// NTCP endpoint: framing, checksums, requests with sequence numbers and replies.
#include "nk_ntcp.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/uio.h>

#include "nk_utils.h"

namespace {

constexpr u16 kErrcBadChecksum = 3;
constexpr u16 kErrcBadLength = 10;

u8 headerChecksum(const tNTCP_header* hdr) {
    const u8* b = reinterpret_cast<const u8*>(hdr);
    unsigned sum = 0;
    for (int i = 0; i < 15; ++i) sum += b[i];
    return static_cast<u8>(~sum);
}

u8 payloadChecksum(const u8* data, size_t length) {
    unsigned sum = 0;
    for (size_t i = 0; i < length; ++i) sum += data[i];
    return static_cast<u8>(~sum);
}

// Control codes come from the peer; only printable bytes go into a log line.
char printable(u32 value, int byte) {
    const u8 c = static_cast<u8>(value >> (8 * byte));
    return (c >= 32 && c <= 126) ? static_cast<char>(c) : '.';
}

}  // namespace

CNK_ntcp::CNK_ntcp() : CNK_socket() { init(); }

CNK_ntcp::CNK_ntcp(CNK_logManager* lm) : CNK_socket(lm) { init(); }

void CNK_ntcp::init() { NK_CLASS_NAME(); }

CNK_ntcp::~CNK_ntcp() {
    if (!nkObj_isValid(this)) return;
    {
        // A packet held back for a connect handler is dropped, not delivered.
        std::lock_guard<std::mutex> lock(connectMutex_);
        connectGateAbandoned_ = true;
    }
    connectCv_.notify_all();
    // The receive thread calls into this part of the object: end it first.
    shutdownAndWait();
    std::lock_guard<std::mutex> lock(waitMutex_);
    for (Waiter& w : waiters_) {
        std::free(w.reply);
        w = Waiter{};
    }
}

u16 CNK_ntcp::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_ntcp::takeCallback(INK_ntcpCallback* callback) {
    if (!callback) return;
    INK_ntcpCallback* expected = nullptr;
    if (!_ntcpCallback.compare_exchange_strong(expected, callback) && expected != callback)
        logLine(kVL1, "[Err] %s Only Accept One Callback", name);
}

void CNK_ntcp::setCallback(INK_ntcpCallback* callback) {
    if (!callback) {
        _ntcpCallback.store(nullptr);
        return;
    }
    takeCallback(callback);
}

u16 CNK_ntcp::Connect(const char* address, u16 port, INK_ntcpCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!address) {
        NK_REPORT(kNKErr_socketInvalidAddress, "address!=NULL");
        return kNKErr_socketInvalidAddress;
    }
    if (port == 0) {
        NK_REPORT(kNKErr_socketInvalidPort, "port!=0");
        return kNKErr_socketInvalidPort;
    }
    takeCallback(callback);
    return CNK_socket::Connect(address, port, this);
}

u16 CNK_ntcp::Append(int socket, INK_ntcpCallback* callback) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (socket == -1) return kNKErr_socketAppendError;
    takeCallback(callback);
    return CNK_socket::Append(socket, this);
}

void CNK_ntcp::Close() {
    NK_VALID_OR_RETURN_VOID();
    CNK_socket::Close();
}

void CNK_ntcp::CheckAndClose() {
    NK_VALID_OR_RETURN_VOID();
    checkAndClose();
}

void CNK_ntcp::verbosePacketLog(bool enable) {
    NK_VALID_OR_RETURN_VOID();
    verbose_.store(enable);
}

void CNK_ntcp::setMaxPayloadLength(size_t bytes) {
    NK_VALID_OR_RETURN_VOID();
    maxPayload_.store(bytes);
}

void CNK_ntcp::setPacketTimeout(int msec) {
    NK_VALID_OR_RETURN_VOID();
    if (msec > 0) packetTimeoutMsec_.store(msec);
}

// ---------------------------------------------------------------- sending

void CNK_ntcp::printHeaderInfo(const tNTCP_header* h, u8 pcs, t_nkVbsLvl verbosity) {
    if (!nkObj_isValid(logManager)) return;
    if (verbosity > logManager->verboseLevel() && verbosity > logManager->verboseLevel_file()) return;
    // Built whole, so that lines of several threads never mix.
    char line[160];
    int n = std::snprintf(line, sizeof(line), "['%c%c%c%c',ERRC=0x%04X,CTRL='%c%c%c%c',SEQN=0x%02X,H_CS=0x%02X,PLEN=%d",
                          printable(h->NTCP, 3), printable(h->NTCP, 2), printable(h->NTCP, 1), printable(h->NTCP, 0),
                          h->ERRC, printable(h->CTRL, 3), printable(h->CTRL, 2), printable(h->CTRL, 1),
                          printable(h->CTRL, 0), h->SEQN, h->H_CS, static_cast<int>(h->PLEN));
    if (h->PLEN != 0) n += std::snprintf(line + n, sizeof(line) - n, ",P_CS=0x%02X", pcs);
    std::snprintf(line + n, sizeof(line) - n, "]\n");
    logManager->printString(verbosity, "%s", line);
}

void CNK_ntcp::printPacketInfo(const tNTCP_packet* packet, t_nkVbsLvl verbosity) {
    NK_VALID_OR_RETURN_VOID();
    if (!packet) return;
    const u8 pcs = packet->header.PLEN ? packet->payload[packet->header.PLEN - 1] : 0;
    printHeaderInfo(&packet->header, pcs, verbosity);
}

u16 CNK_ntcp::SendPacket(u32 ctrl, u8 seqn, u16 errc, const void* data, int length, t_nkVbsLvl verbosity) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    return sendPacket(__func__, ctrl, seqn, errc, data, length, verbosity);
}

u16 CNK_ntcp::sendPacket(const char* func, u32 ctrl, u8 seqn, u16 errc, const void* data, int length,
                         t_nkVbsLvl verbosity) {
    if (ctrl == 0) {
        nkDebug_printError(logManager, __FILE__, name, func, __LINE__, kNKErr_invalidParam, "ctrl!=0");
        return kNKErr_invalidParam;
    }
    if (!data && length > 0) {
        nkDebug_printError(logManager, __FILE__, name, func, __LINE__, kNKErr_invalidParam, "data!=NULL");
        return kNKErr_invalidParam;
    }
    const size_t payloadLength = length > 0 ? static_cast<size_t>(length) : 0;
    tNTCP_header h{};
    h.NTCP = NTCP_PREAMBLE;
    h.ERRC = errc;
    h.CTRL = ctrl;
    h.PLEN = payloadLength ? static_cast<u32>(payloadLength + 1) : 0;
    h.SEQN = seqn;
    h.H_CS = headerChecksum(&h);
    u8 pcs = payloadLength ? payloadChecksum(static_cast<const u8*>(data), payloadLength) : 0;
    printHeaderInfo(&h, pcs, verbosity);

    // Header, payload and checksum go out as one message, without copying the payload.
    iovec parts[3] = {{&h, sizeof(h)}, {const_cast<void*>(data), payloadLength}, {&pcs, 1}};
    // A failure is reported there, once, under the caller's operation.
    return sendParts(parts, payloadLength ? 3 : 1, func);
}

u16 CNK_ntcp::SendResponse(const tNTCP_header* pReqPktHdr, u16 errc, const void* data, int length,
                           t_nkVbsLvl verbosity) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_ASSERT(pReqPktHdr!=NULL);
    return sendPacket(__func__, pReqPktHdr->CTRL, pReqPktHdr->SEQN, errc, data, length, verbosity);
}

u16 CNK_ntcp::SendOneway(u32 ctrl, const void* data, int length, t_nkVbsLvl verbosity) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    return sendPacket(__func__, ctrl, 0, 0, data, length, verbosity);
}

u16 CNK_ntcp::SendRequest(u32 ctrl, const void* data, int length, tNTCP_packet** ppResponsePacket, int timeoutMsec,
                          t_nkVbsLvl verbosity) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (ctrl == 0) {
        NK_REPORT(kNKErr_invalidParam, "ctrl!=0");
        return kNKErr_invalidParam;
    }
    if (!data && length >= 1) {
        NK_REPORT(kNKErr_invalidParam, "data!=NULL");
        return kNKErr_invalidParam;
    }
    if (!ppResponsePacket) {
        NK_REPORT(kNKErr_invalidParam, "ppResponsePacket!=NULL");
        return kNKErr_invalidParam;
    }
    if (timeoutMsec < 1) {
        NK_REPORT(kNKErr_invalidParam, "timeoutMsec>0");
        return kNKErr_invalidParam;
    }

    u8 seqn = 0;
    {
        std::lock_guard<std::mutex> lock(waitMutex_);
        *ppResponsePacket = nullptr;
        // A number still held by a waiting request is skipped, never shared.
        u8 candidate = seqCounter_ ? seqCounter_ : 1;
        for (int tries = 0; tries < 255; ++tries) {
            if (waiters_[candidate].ctrl == 0) {
                seqn = candidate;
                break;
            }
            candidate = candidate == 255 ? 1 : static_cast<u8>(candidate + 1);
        }
        if (seqn == 0) {
            NK_REPORT(kNKErr_invalidCondition, "_respWaitCtrl[seqn]!=0");
            return kNKErr_invalidCondition;
        }
        seqCounter_ = static_cast<u8>(seqn + 1);
        waiters_[seqn] = Waiter{ctrl, nullptr, false};
    }

    const u16 sent = sendPacket(__func__, ctrl, seqn, 0, data, length, verbosity);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMsec);
    tNTCP_packet* reply = nullptr;
    bool aborted = false;
    {
        // Waiting, collecting the reply and freeing the number form one critical
        // section with the receive thread's store and the close's clean-up.
        std::unique_lock<std::mutex> lock(waitMutex_);
        Waiter& w = waiters_[seqn];
        if (sent == kNKErr_OK) waitCv_.wait_until(lock, deadline, [&w] { return w.reply || w.aborted; });
        reply = w.reply;
        aborted = w.aborted;
        w = Waiter{};
    }
    if (sent != kNKErr_OK) {
        std::free(reply);
        return sent;
    }
    if (reply) {
        *ppResponsePacket = reply;
        return kNKErr_OK;
    }
    if (aborted) {
        NK_REPORT(kNKErr_socketClosed, "");
        return kNKErr_socketClosed;
    }
    NK_REPORT(kNKErr_timeout, "timeoutMsec>0");
    return kNKErr_timeout;
}

// ---------------------------------------------------------------- receiving

u16 CNK_ntcp::discardPayload(size_t length, Clock::time_point deadline) {
    u8 chunk[4096];
    while (length > 0) {
        const size_t take = std::min(length, sizeof(chunk));
        const u16 rc = recvExact(chunk, take, deadline, "onReceive");
        if (rc != kNKErr_OK) return rc;
        length -= take;
    }
    return kNKErr_OK;
}

void CNK_ntcp::rejectPacket(const tNTCP_header* h, u16 errc, u8 pcsReceived, u8 pcsComputed) {
    if (nkObj_isValid(logManager)) {
        char text[512];
        int n = std::snprintf(text, sizeof(text),
                              "[DISCARD NTCP PACKET]\n. NTCP: %c%c%c%c\n. ERRC: 0x%02X\n. CTRL: %c%c%c%c\n. PLEN: %d\n"
                              ". SEQN: %d\n. H_CS: 0x%02X [0x%02X]\n",
                              printable(h->NTCP, 3), printable(h->NTCP, 2), printable(h->NTCP, 1),
                              printable(h->NTCP, 0), h->ERRC, printable(h->CTRL, 3), printable(h->CTRL, 2),
                              printable(h->CTRL, 1), printable(h->CTRL, 0), static_cast<int>(h->PLEN), h->SEQN,
                              h->H_CS, headerChecksum(h));
        if (h->PLEN != 0) std::snprintf(text + n, sizeof(text) - n, ". P_CS: 0x%02X [0x%02X]\n", pcsReceived, pcsComputed);
        logManager->printString(kVL1, "%s", text);
    }
    SendResponse(h, errc, nullptr, 0, kVL2);
}

u16 CNK_ntcp::onReceive(u32 socketName) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    // Once a header has started to come, the whole packet must follow in time.
    const auto deadline = Clock::now() + std::chrono::milliseconds(packetTimeoutMsec_.load());
    tNTCP_header hdr;
    u16 rc = recvExact(&hdr, sizeof(hdr), deadline, __func__);
    if (rc != kNKErr_OK) return rc;

    if (verbose_.load()) {
        logLine(kVL1, "* Header Bytes");
        nkUtil_printBinary(logManager, kVL1, reinterpret_cast<const u8*>(&hdr), sizeof(hdr));
    }
    // A peer that sends junk would otherwise write a line for every 16 bytes: the
    // first header of each kind is logged, the rest are counted and the count is
    // logged when the link ends.
    if (hdr.NTCP != NTCP_PREAMBLE) {
        ++droppedHeaders_;
        if (!preambleLogged_.exchange(true))
            logLine(kVL1, "[NTCP ERR] invalid preamble [NTCP=0x%08X vs preamble=0x%08X", NTCP_PREAMBLE, hdr.NTCP);
        return kNKErr_OK;
    }
    const u8 hcs = headerChecksum(&hdr);
    if (hdr.H_CS != hcs) {
        ++droppedHeaders_;
        if (!checksumLogged_.exchange(true))
            logLine(kVL1, "[NTCP ERR] H_CS!=cs [H_CS=0x%02X, cs=0x%02X]", hdr.H_CS, hcs);
        return kNKErr_OK;
    }

    const size_t plen = hdr.PLEN;
    if (plen > 1 && plen - 1 > maxPayload_.load()) {
        // Reading that much cannot be afforded and skipping it would take as long:
        // answer, then give up the link.
        logLine(kVL1, "[NTCP ERR] PLEN == %zu exceeds the limit of %zu payload bytes", plen, maxPayload_.load());
        rejectPacket(&hdr, kErrcBadLength, 0, 0);
        return kNKErr_ntcp_unexpectedPayloadSize;
    }
    if (plen == 1) {
        logLine(kVL1, "[NTCP ERR] PLEN == %d Undefined", 1);
        // Answered at once; the announced byte is then read and dropped when it
        // comes, so the next header starts where it should.
        rejectPacket(&hdr, kErrcBadLength, 0, 0);
        return discardPayload(plen, deadline);
    }

    auto* pkt = static_cast<tNTCP_packet*>(std::malloc(sizeof(tNTCP_header) + plen));
    if (!pkt) {
        logLine(kVL1, "[NTCP ERR] memory allocation failed");
        rc = discardPayload(plen, deadline);
        if (rc != kNKErr_OK) return rc;
        rejectPacket(&hdr, kErrcBadLength, 0, 0);
        return kNKErr_OK;
    }
    std::memcpy(&pkt->header, &hdr, sizeof(hdr));
    if (plen >= 2) {
        rc = recvExact(pkt->payload, plen, deadline, __func__);
        if (rc != kNKErr_OK) {
            std::free(pkt);
            return rc;
        }
        const u8 pcs = payloadChecksum(pkt->payload, plen - 1);
        if (pkt->payload[plen - 1] != pcs) {
            logLine(kVL1, "[NTCP ERR] P_CS!=cs [P_CS=0x%02X, cs=0x%02X]", pkt->payload[plen - 1], pcs);
            rejectPacket(&hdr, kErrcBadChecksum, pkt->payload[plen - 1], pcs);
            std::free(pkt);
            return kNKErr_OK;
        }
    }

    if (hdr.SEQN != 0) {
        std::lock_guard<std::mutex> lock(waitMutex_);
        Waiter& w = waiters_[hdr.SEQN];
        if (w.ctrl != 0 && !w.aborted && !w.reply && (w.ctrl == hdr.CTRL || hdr.CTRL == NTCP_CTRL_RSPS)) {
            w.reply = pkt;  // the waiting request owns it now
            waitCv_.notify_all();
            return kNKErr_OK;
        }
    }
    {
        // The owner's connect handling finishes before its first packet is handed over.
        std::unique_lock<std::mutex> lock(connectMutex_);
        connectCv_.wait(lock, [this] { return connectDone_ || connectGateAbandoned_; });
        if (connectGateAbandoned_) {
            std::free(pkt);
            return kNKErr_OK;
        }
    }
    INK_ntcpCallback* callback = _ntcpCallback.load();
    if (callback) {
        callback->onNtcpReceive(socketName, pkt);
    } else {
        logLine(kVL1, "[NTCP ERR] no callback set, packet '%c%c%c%c' SEQN=%d dropped", printable(hdr.CTRL, 3),
                printable(hdr.CTRL, 2), printable(hdr.CTRL, 1), printable(hdr.CTRL, 0), hdr.SEQN);
    }
    std::free(pkt);
    return kNKErr_OK;
}

void CNK_ntcp::onConnect(u32 socketName) {
    INK_ntcpCallback* callback = _ntcpCallback.load();
    const auto alive = aliveToken();
    if (callback) callback->onNtcpConnect(socketName);
    if (!alive->load()) return;  // the owner destroyed this endpoint inside its connect handler
    {
        std::lock_guard<std::mutex> lock(connectMutex_);
        connectDone_ = true;
    }
    connectCv_.notify_all();
}

void CNK_ntcp::onClose(u32 socketName) {
    // The count belongs to this connection; the next one starts from nothing.
    const u32 dropped = droppedHeaders_.exchange(0);
    preambleLogged_.store(false);
    checksumLogged_.store(false);
    if (dropped > 1) logLine(kVL1, "[NTCP ERR] %u headers dropped on this connection (bad preamble or H_CS)", dropped);
    {
        // This connection's receive loop has ended; the next one waits for its own connect.
        std::lock_guard<std::mutex> lock(connectMutex_);
        connectDone_ = false;
    }
    {
        // Every request still waiting ends now with socketClosed. One whose
        // reply has already come keeps it: a peer that answers and then hangs
        // up at once has answered.
        std::lock_guard<std::mutex> lock(waitMutex_);
        for (Waiter& w : waiters_)
            if (w.ctrl != 0 && !w.reply) w.aborted = true;
        waitCv_.notify_all();
    }
    INK_ntcpCallback* callback = _ntcpCallback.load();
    if (callback) callback->onNtcpClose(socketName);
}
