// ZTCP handler. The receive path runs on the socket's loop and trusts nothing the
// peer sends: a header is checked before its length is used, and a length above the
// handler's limit ends the connection before anything is allocated for it. Responses
// to waiting commands are handed over under the slot lock; every other packet goes
// to the handler's one dispatch thread, so the owner sees connect, packets and close
// in the order they happened, one at a time.
#include "ZelkZtcpHandler.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "ZelkSocket.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the header is laid out as it travels");

namespace {

using Clock = std::chrono::steady_clock;

// Room after a received payload: its checksum byte, then the zero byte over it.
constexpr UInt64 kReceiveSlack = 272;

SInt32 report(iZelk_LogManager* lm, const char* func, int line, SInt32 code) {
    ZERR_Report(lm, __FILE__, func, line, code);
    return code;
}
#define ZGH_FAIL(lm, func, code) report((lm), (func), __LINE__, (code))

UInt8 sum8(const UInt8* p, UInt64 n) {
    UInt8 s = 0;
    for (UInt64 i = 0; i < n; ++i) s = static_cast<UInt8>(s + p[i]);
    return s;
}

// Four letters, most significant first; what cannot be printed shows as '.'.
void fourLetters(UInt32 v, char out[5]) {
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(v >> (24 - 8 * i));
        out[i] = std::isprint(c) ? static_cast<char>(c) : '.';
    }
    out[4] = '\0';
}

void resetReceive(iZelk_ZtcpHandler* h) {
    std::free(h->rxPacket);
    h->rxPacket = nullptr;
    h->rxHeld = 0;
    h->rxTotal = 0;
    h->stashBegin = h->stashEnd = 0;
}

void post(iZelk_ZtcpHandler* h, tZelk_ZtcpEvent e) {
    {
        std::lock_guard<std::mutex> hold(h->queueLock);
        if (!h->quit) {
            h->queue.push_back(e);
            e.packet = nullptr;
        }
    }
    std::free(e.packet);
    h->queueCv.notify_one();
}

// Wakes every waiting command: the connection that would answer it is gone.
void abandonWaits(iZelk_ZtcpHandler* h) {
    {
        std::lock_guard<std::mutex> hold(h->slotLock);
        for (bool& w : h->waiting) w = false;
    }
    h->slotCv.notify_all();
}

void onSktConnect(void* u, UInt32) {
    auto* h = static_cast<iZelk_ZtcpHandler*>(u);
    resetReceive(h);
    post(h, {tZelk_ZtcpEvent::kConnect, nullptr});
}

void onSktClose(void* u, UInt32) {
    auto* h = static_cast<iZelk_ZtcpHandler*>(u);
    resetReceive(h);
    abandonWaits(h);
    post(h, {tZelk_ZtcpEvent::kClose, nullptr});
}

// Answers a damaged command with error 22; a damaged response gets no answer.
void rejectPacket(iZelk_ZtcpHandler* h, const tZTCP_header* hdr) {
    if (hdr->control != kZTCP_CTRL_RESPONSE) ZGH_SendResponse(h, hdr->seq, kZErr_invalidChecksum, nullptr, 0);
}

void deliver(iZelk_ZtcpHandler* h, UInt8* packet) {
    auto* hdr = reinterpret_cast<tZTCP_header*>(packet);
    if (hdr->control == kZTCP_CTRL_RESPONSE && hdr->seq != 0) {
        ZLM_PrintText(h->lm, 2, "[RSP received]");
        {
            std::lock_guard<std::mutex> hold(h->slotLock);
            if (h->waiting[hdr->seq] && !h->slot[hdr->seq]) {
                h->slot[hdr->seq] = hdr;
                h->waiting[hdr->seq] = false;
                packet = nullptr;
            }
        }
        h->slotCv.notify_all();
        std::free(packet);  // late: nobody waits for it any more
        return;
    }
    post(h, {tZelk_ZtcpEvent::kPacket, hdr});
}

// Takes up to n bytes of what was received and not yet used.
UInt64 takeStash(iZelk_ZtcpHandler* h, UInt8* to, UInt64 n) {
    const UInt64 k = std::min<UInt64>(n, h->stashEnd - h->stashBegin);
    std::memcpy(to, h->stash + h->stashBegin, k);
    h->stashBegin += k;
    return k;
}

// Moves the receive state on with the bytes at hand; a non-zero result ends the link.
SInt32 consume(iZelk_ZtcpHandler* h) {
    if (!h->rxPacket) {
        h->rxHeld += takeStash(h, h->rxHeader + h->rxHeld, sizeof(h->rxHeader) - h->rxHeld);
        if (h->rxHeld < sizeof(h->rxHeader)) return kZErr_OK;

        static const UInt8 kMagic[4] = {'P', 'C', 'T', 'Z'};
        if (std::memcmp(h->rxHeader, kMagic, 4) != 0) {
            ZLM_PrintText(h->lm, 2, "- invalid alignment");
            UInt64 from = sizeof(h->rxHeader) - 3;  // no magic: the last three bytes may start one
            for (UInt64 i = 1; i + 4 <= sizeof(h->rxHeader); ++i)
                if (std::memcmp(h->rxHeader + i, kMagic, 4) == 0) {
                    from = i;
                    break;
                }
            std::memmove(h->rxHeader, h->rxHeader + from, sizeof(h->rxHeader) - from);
            h->rxHeld = sizeof(h->rxHeader) - from;
            return kZErr_OK;
        }
        tZTCP_header hdr;
        std::memcpy(&hdr, h->rxHeader, sizeof(hdr));
        const UInt8 computed = ZGH_HeaderChecksum(&hdr);
        if (computed != hdr.hcs) {
            ZLM_PrintError(h->lm, "invalid header checksum, 0x%02X, 0x%02X\n", computed, hdr.hcs);
            ZGH_FAIL(h->lm, h->connectedBy, kZErr_invalidChecksum);
            std::memmove(h->rxHeader, h->rxHeader + 1, sizeof(h->rxHeader) - 1);
            h->rxHeld = sizeof(h->rxHeader) - 1;
            rejectPacket(h, &hdr);
            return kZErr_OK;
        }
        // A length past the limit is treated as memory that cannot be had: the link ends.
        if (hdr.length > h->maxPayload.load()) {
            ZLM_PrintError(h->lm, "payload of %u bytes refused\n", static_cast<unsigned>(hdr.length));
            resetReceive(h);
            return ZGH_FAIL(h->lm, h->connectedBy, kZErr_memAllocationFailed);
        }
        const UInt64 room = sizeof(hdr) + UInt64(hdr.length) + kReceiveSlack;
        h->rxPacket = static_cast<UInt8*>(std::calloc(1, room));
        if (!h->rxPacket) {
            resetReceive(h);
            return ZGH_FAIL(h->lm, h->connectedBy, kZErr_memAllocationFailed);
        }
        std::memcpy(h->rxPacket, &hdr, sizeof(hdr));
        h->rxTotal = hdr.length ? sizeof(hdr) + UInt64(hdr.length) + 1 : sizeof(hdr);
    }

    h->rxHeld += takeStash(h, h->rxPacket + h->rxHeld, h->rxTotal - h->rxHeld);
    if (h->rxHeld < h->rxTotal) return kZErr_OK;

    UInt8* packet = h->rxPacket;
    h->rxPacket = nullptr;
    h->rxHeld = 0;
    h->rxTotal = 0;
    auto* hdr = reinterpret_cast<tZTCP_header*>(packet);
    if (hdr->length) {
        UInt8* payload = packet + sizeof(tZTCP_header);
        const UInt8 computed = ZGH_PayloadChecksum(payload, hdr->length);
        if (computed != payload[hdr->length]) {
            ZLM_PrintError(h->lm, "invalid payload checksum, 0x%02X, 0x%02X\n", computed, payload[hdr->length]);
            ZGH_FAIL(h->lm, h->connectedBy, kZErr_invalidChecksum);
            rejectPacket(h, hdr);
            std::free(packet);
            return kZErr_OK;
        }
        payload[hdr->length] = 0;  // a text payload is terminated
    }
    deliver(h, packet);
    return kZErr_OK;
}

// Run by the socket's loop when the link is readable: one receive of what waits (a
// part of a header, several packets, anything between), then every packet it completes.
SInt32 onSktReceive(void* u, UInt32) {
    auto* h = static_cast<iZelk_ZtcpHandler*>(u);
    h->stashBegin = h->stashEnd = 0;  // always used up below
    UInt32 size = sizeof(h->stash);
    const SInt32 err = ZSock_Recv(h->socket, h->stash, &size);
    if (err != kZErr_OK) {
        resetReceive(h);
        return err;
    }
    h->stashEnd = size;
    while (h->stashBegin < h->stashEnd) {
        const SInt32 r = consume(h);
        if (r != kZErr_OK) return r;
    }
    return kZErr_OK;
}

void freeHandler(iZelk_ZtcpHandler* h) {
    ZSock_Delete(&h->socket);  // joins the loop: nothing is posted after this
    std::deque<tZelk_ZtcpEvent> left;
    {
        std::lock_guard<std::mutex> hold(h->queueLock);
        h->quit = true;
        left.swap(h->queue);
    }
    for (tZelk_ZtcpEvent& e : left) std::free(e.packet);
    resetReceive(h);
    for (tZTCP_header*& p : h->slot) {
        std::free(p);
        p = nullptr;
    }
    delete h;
}

void dispatch(iZelk_ZtcpHandler* h) {
    for (;;) {
        tZelk_ZtcpEvent e{};
        {
            std::unique_lock<std::mutex> hold(h->queueLock);
            h->queueCv.wait(hold, [&] { return h->quit || !h->queue.empty(); });
            if (h->quit) return;
            e = h->queue.front();
            h->queue.pop_front();
        }
        const SInt32 id = h->id.load();
        switch (e.kind) {
        case tZelk_ZtcpEvent::kConnect:
            if (h->onConnect) h->onConnect(h->userData, id);
            if (h->listener && !h->freeOnExit) h->listener->OnZhConnect(id);
            break;
        case tZelk_ZtcpEvent::kPacket: {
            const UInt8* payload = e.packet->length ? reinterpret_cast<const UInt8*>(e.packet + 1) : nullptr;
            if (h->onReceive) h->onReceive(h->userData, id, e.packet, payload);
            if (h->listener && !h->freeOnExit) h->listener->OnZhReceive(id, e.packet, payload);
            std::free(e.packet);
            break;
        }
        case tZelk_ZtcpEvent::kClose:
            if (h->onClose) h->onClose(h->userData, id);
            if (h->listener && !h->freeOnExit) h->listener->OnZhClose(id);
            break;
        }
        // freeOnExit is only ever set on this thread, by a delete inside the event.
        if (h->freeOnExit) {
            h->worker.detach();
            freeHandler(h);
            return;
        }
    }
}

SInt32 start(iZelk_ZtcpHandler* h, const char* func, iZelk_ZtcpHandlerEventSink* listener, tZGH_ConnectFn c,
             tZGH_ReceiveFn r, tZGH_CloseFn cl, void* u) {
    if (ZSock_IsRunning(h->socket)) return ZGH_FAIL(h->lm, func, kZErr_alreadyRunning);
    // Set before the socket's loop starts, read by the dispatch thread after the
    // connect event that the loop posts.
    std::lock_guard<std::mutex> hold(h->queueLock);
    h->listener = listener;
    h->connectedBy = func;
    h->onConnect = c;
    h->onReceive = r;
    h->onClose = cl;
    h->userData = u;
    return kZErr_OK;
}

}  // namespace

iZelk_ZtcpHandler* ZGH_Create(iZelk_LogManager* lm) {
    ZLM_PrintText(lm, 2, "*** create ztcp manager ***");
    auto* h = new (std::nothrow) iZelk_ZtcpHandler;
    if (!h) {
        ZGH_FAIL(lm, "ZGH_Create", kZErr_memAllocationFailed);
        return nullptr;
    }
    h->lm = lm;
    h->socket = ZSock_Create(lm);
    if (!h->socket) {
        delete h;
        ZGH_FAIL(lm, "ZGH_Create", kZErr_objectCreationFailed);
        return nullptr;
    }
    try {
        h->worker = std::thread(dispatch, h);
    } catch (const std::system_error&) {
        ZSock_Delete(&h->socket);
        delete h;
        ZGH_FAIL(lm, "ZGH_Create", kZErr_objectCreationFailed);
        return nullptr;
    }
    return h;
}

void ZGH_Delete(iZelk_ZtcpHandler** handle) {
    if (!handle || !*handle) return;
    iZelk_ZtcpHandler* h = *handle;
    *handle = nullptr;
    ZLM_PrintText(h->lm, 2, "*** %s ***", "ZGH_Delete");
    if (h->worker.get_id() == std::this_thread::get_id()) {
        h->freeOnExit = true;
        ZSock_Close(h->socket);
        abandonWaits(h);
        return;
    }
    // The link ends first, so an event still running on the dispatch thread (a command
    // waiting for its reply) returns; the socket goes only after that thread.
    ZSock_Close(h->socket);
    abandonWaits(h);
    {
        std::lock_guard<std::mutex> hold(h->queueLock);
        h->quit = true;
    }
    h->queueCv.notify_all();
    h->worker.join();
    freeHandler(h);
}

SInt32 ZGH_SetName(iZelk_ZtcpHandler* h, SInt32 id) {
    if (!h) return ZGH_FAIL(nullptr, "ZGH_SetName", kZErr_invalidParam);
    h->id.store(id);
    ZSock_SetSktName(h->socket, static_cast<UInt32>(id));
    return kZErr_OK;
}

SInt32 ZGH_SetMaxPayload(iZelk_ZtcpHandler* h, UInt32 bytes) {
    if (!h) return ZGH_FAIL(nullptr, "ZGH_SetMaxPayload", kZErr_invalidParam);
    h->maxPayload.store(bytes);
    return kZErr_OK;
}

SInt32 ZGH_ConnectAsync(iZelk_ZtcpHandler* h, const char* host, UInt16 port, iZelk_ZtcpHandlerEventSink* listener,
                        tZGH_ConnectFn onConnect, tZGH_ReceiveFn onReceive, tZGH_CloseFn onClose, void* userData) {
    constexpr const char* kFunc = "ZGH_ConnectAsync";
    if (!h) return ZGH_FAIL(nullptr, kFunc, kZErr_invalidParam);
    SInt32 err = start(h, kFunc, listener, onConnect, onReceive, onClose, userData);
    if (err != kZErr_OK) return err;
    err = ZSock_ConnectAsync(h->socket, host, port, nullptr, onSktConnect, onSktReceive, onSktClose, h);
    if (err != kZErr_OK) {
        ZGH_FAIL(h->lm, kFunc, err);
        ZSock_Close(h->socket);
    }
    return err;
}

SInt32 ZGH_Connect(iZelk_ZtcpHandler* h, const char* host, UInt16 port) {
    return ZGH_ConnectAsync(h, host, port, nullptr, nullptr, nullptr, nullptr, nullptr);
}

SInt32 ZGH_AppendAsync(iZelk_ZtcpHandler* h, int descriptor, iZelk_ZtcpHandlerEventSink* listener,
                       tZGH_ConnectFn onConnect, tZGH_ReceiveFn onReceive, tZGH_CloseFn onClose, void* userData) {
    constexpr const char* kFunc = "ZGH_AppendAsync";
    if (!h) return ZGH_FAIL(nullptr, kFunc, kZErr_invalidParam);
    SInt32 err = start(h, kFunc, listener, onConnect, onReceive, onClose, userData);
    if (err != kZErr_OK) return err;
    err = ZSock_AppendAsync(h->socket, descriptor, nullptr, onSktConnect, onSktReceive, onSktClose, h);
    if (err != kZErr_OK) {
        ZGH_FAIL(h->lm, kFunc, err);
        ZSock_Close(h->socket);
    }
    return err;
}

SInt32 ZGH_Append(iZelk_ZtcpHandler* h, int descriptor) {
    return ZGH_AppendAsync(h, descriptor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

SInt32 ZGH_Close(iZelk_ZtcpHandler* h) {
    if (!h) return ZGH_FAIL(nullptr, "ZGH_Close", kZErr_invalidParam);
    return ZSock_Close(h->socket);
}

bool ZGH_IsRunning(iZelk_ZtcpHandler* h) { return h && ZSock_IsRunning(h->socket); }

const char* ZGH_PeerName(iZelk_ZtcpHandler* h) {
    if (!h) {
        ZGH_FAIL(nullptr, "ZGH_PeerName", kZErr_invalidParam);
        return nullptr;
    }
    return ZSock_PeerName(h->socket);
}

UInt32 ZGH_SentTotal(iZelk_ZtcpHandler* h) {
    if (!h) {
        ZGH_FAIL(nullptr, "ZGH_SentTotal", kZErr_invalidParam);
        return 0;
    }
    return ZSock_SentTotal(h->socket);
}

UInt8 ZGH_HeaderChecksum(const tZTCP_header* header) {
    return static_cast<UInt8>(~sum8(reinterpret_cast<const UInt8*>(header), 15));
}

UInt8 ZGH_PayloadChecksum(const void* payload, UInt64 length) {
    return static_cast<UInt8>(~sum8(static_cast<const UInt8*>(payload), length));
}

UInt64 ZGH_PacketSize(const tZTCP_header* header) {
    return sizeof(tZTCP_header) + (header->length ? UInt64(header->length) + 1 : 0);
}

tZTCP_header* ZGH_MakePacket(UInt32 control, UInt8 error, const void* payload, UInt32 length, UInt8 seq) {
    if (length > 0 && !payload) return nullptr;
    const UInt64 size = sizeof(tZTCP_header) + (length ? UInt64(length) + 1 : 0);
    auto* p = static_cast<tZTCP_header*>(std::calloc(1, size));
    if (!p) {
        ZGH_FAIL(nullptr, "ZGH_MakePacket", kZErr_memAllocationFailed);
        return nullptr;
    }
    p->magic = kZTCP_MAGIC;
    p->version = kZTCP_VERSION;
    p->error = error;
    p->control = control;
    p->length = length;
    p->seq = seq;
    p->hcs = ZGH_HeaderChecksum(p);
    if (length) {
        auto* body = reinterpret_cast<UInt8*>(p + 1);
        std::memcpy(body, payload, length);
        body[length] = ZGH_PayloadChecksum(body, length);
    }
    return p;
}

SInt32 ZGH_SendCommand(iZelk_ZtcpHandler* h, UInt32 control, const void* payload, UInt32 length,
                       tZTCP_header** response, UInt32 timeoutMs) {
    constexpr const char* kFunc = "ZGH_SendCommand";
    if (!h || (length > 0 && !payload)) return ZGH_FAIL(h ? h->lm : nullptr, kFunc, kZErr_invalidParam);
    if (response) *response = nullptr;
    const Clock::time_point begin = Clock::now();
    const Clock::time_point deadline = begin + std::chrono::milliseconds(timeoutMs);
    if (!h->commandLock.lockUntil(deadline)) return ZGH_FAIL(h->lm, kFunc, kZErr_timeout);
    tZelk_TimedLock::Guard command(h->commandLock);
    char letters[5];
    fourLetters(control, letters);
    ZLM_PrintText(h->lm, 2, "- sending CTRL='%s' packet", letters);

    UInt8 seq = 0;
    if (response) {
        std::lock_guard<std::mutex> hold(h->slotLock);
        seq = h->nextSeq == 0 ? 1 : h->nextSeq;
        h->nextSeq = static_cast<UInt8>(seq + 1);
        std::free(h->slot[seq]);
        h->slot[seq] = nullptr;
        h->waiting[seq] = true;
    }
    auto cancel = [&] {
        std::lock_guard<std::mutex> hold(h->slotLock);
        h->waiting[seq] = false;
    };
    tZTCP_header* packet = ZGH_MakePacket(control, 0, payload, length, seq);
    if (!packet) {
        if (seq) cancel();
        return ZGH_FAIL(h->lm, kFunc, kZErr_memAllocationFailed);
    }
    const UInt64 size = ZGH_PacketSize(packet);
    if (size > UINT32_MAX) {
        std::free(packet);
        if (seq) cancel();
        return ZGH_FAIL(h->lm, kFunc, kZErr_invalidParam);
    }
    const SInt32 err = ZSock_Send(h->socket, packet, static_cast<UInt32>(size), kZTCP_sendTimeoutMsec);
    std::free(packet);
    if (err != kZErr_OK) {
        if (seq) cancel();
        return ZGH_FAIL(h->lm, kFunc, err);
    }
    if (response) {
        std::unique_lock<std::mutex> hold(h->slotLock);
        h->slotCv.wait_until(hold, deadline, [&] { return !h->waiting[seq]; });
        // A reply that came is taken even when the time is just up: freed by the caller, not lost.
        *response = h->slot[seq];
        h->slot[seq] = nullptr;
        h->waiting[seq] = false;
        if (!*response) {
            hold.unlock();
            return ZGH_FAIL(h->lm, kFunc, kZErr_timeout);
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    ZLM_PrintText(h->lm, 2, "- done (in %.3f msec)", ms);
    return kZErr_OK;
}

SInt32 ZGH_SendResponse(iZelk_ZtcpHandler* h, UInt8 seq, UInt8 error, const void* payload, UInt32 length) {
    constexpr const char* kFunc = "ZGH_SendResponse";
    if (!h || (length > 0 && !payload)) return ZGH_FAIL(h ? h->lm : nullptr, kFunc, kZErr_invalidParam);
    tZTCP_header* packet = ZGH_MakePacket(kZTCP_CTRL_RESPONSE, error, payload, length, seq);
    if (!packet) return ZGH_FAIL(h->lm, kFunc, kZErr_memAllocationFailed);
    ZLM_PrintText(h->lm, 2, "\n- sending response: SEQN: 0x%02X", seq);
    ZGH_PrintPacket(h->lm, 2, packet);
    const UInt64 size = ZGH_PacketSize(packet);
    const SInt32 err = size > UINT32_MAX ? kZErr_invalidParam
                                         : ZSock_Send(h->socket, packet, static_cast<UInt32>(size), kZTCP_sendTimeoutMsec);
    std::free(packet);
    return err == kZErr_OK ? err : ZGH_FAIL(h->lm, kFunc, err);
}

void ZGH_PrintHeader(iZelk_LogManager* m, SInt32 level, const tZTCP_header* header) {
    if (!header) return;
    char magic[5], control[5];
    fourLetters(header->magic, magic);
    fourLetters(header->control, control);
    const bool ok = ZGH_HeaderChecksum(header) == header->hcs;
    ZLM_PrintText(m, level, "[SEQN] 0x%02X [ZTCP] %s [CTRL] %s [ERR] 0x%02X\n[HVER] 0x%02X [PLEN] %4d [H_CS] 0x%02X (%s)",
                  header->seq, magic, control, header->error, header->version, static_cast<int>(header->length),
                  header->hcs, ok ? "csOK" : "csError");
    if (header->error)
        ZLM_PrintText(m, level, "[ERR] [0x%02X] %s ", header->error, ZERR_GetErrorStr(header->error));
}

void ZGH_PrintPacket(iZelk_LogManager* m, SInt32 level, const tZTCP_header* packet) {
    if (!packet) return;
    ZGH_PrintHeader(m, level, packet);
    // A dump nobody would see is not formatted: responses carry up to the payload limit.
    if (!m || (ZLM_GetVerboseLevel(m) < level && ZLM_GetVerboseLevel_file(m) < level)) return;
    const auto* bytes = reinterpret_cast<const UInt8*>(packet);
    const UInt64 size = ZGH_PacketSize(packet);
    std::string text;
    for (UInt64 row = 0; row < size; row += 16) {
        char cell[16];
        std::snprintf(cell, sizeof(cell), "[%08X] ", static_cast<unsigned>(row));
        text += cell;
        std::string chars;
        for (UInt64 i = row; i < row + 16; ++i) {
            if (i < size) {
                std::snprintf(cell, sizeof(cell), "%02X ", bytes[i]);
                text += cell;
                // Control bytes and blanks would break the row; any byte that is not a printable character shows as '.'.
                chars += bytes[i] > ' ' && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
            } else {
                text += "   ";
            }
        }
        text += ": " + chars + "\n";
    }
    ZLM_PrintString(m, level, "%s", text.c_str());
}
