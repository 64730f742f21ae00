// ZTCP: framed request/response packets between the station host and the software on
// a device under test, over one client connection. Commands wait for their rsps by
// sequence number; every other packet, and the connect and close events, reach the
// owner in order on one dispatch thread per handler.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "ZelkTimedLock.h"
#include "ZelkTypeDef.h"

struct iZelk_LogManager;
struct iZelk_Socket;

#pragma pack(push, 1)
// 16 bytes on the wire, multi-byte fields little-endian.
struct tZTCP_header {
    UInt32 magic;    // kZTCP_MAGIC: the bytes "PCTZ"
    UInt8 version;   // kZTCP_VERSION
    UInt8 error;     // 0 in commands; a response's result code
    UInt32 control;  // four letters, the first most significant
    UInt32 length;   // payload bytes; a payload is followed by its checksum byte
    UInt8 seq;       // 0 when no response is awaited
    UInt8 hcs;       // one's complement of the 8-bit sum of bytes 0..14
};
#pragma pack(pop)
static_assert(sizeof(tZTCP_header) == 16, "ZTCP header is 16 bytes on the wire");

constexpr UInt32 kZTCP_MAGIC = 0x5A544350u;
constexpr UInt8 kZTCP_VERSION = 1;

constexpr UInt32 ZTCP_CTRL(char a, char b, char c, char d) {
    return (UInt32(UInt8(a)) << 24) | (UInt32(UInt8(b)) << 16) | (UInt32(UInt8(c)) << 8) | UInt32(UInt8(d));
}
constexpr UInt32 kZTCP_CTRL_RUN_COMMAND = ZTCP_CTRL('r', 'u', 'n', 'c');
constexpr UInt32 kZTCP_CTRL_GET_SYS_INFO = ZTCP_CTRL('s', 'i', 'n', 'f');
constexpr UInt32 kZTCP_CTRL_GET_CB_INFO = ZTCP_CTRL('c', 'i', 'n', 'f');
constexpr UInt32 kZTCP_CTRL_RESPONSE = ZTCP_CTRL('r', 's', 'p', 's');
constexpr UInt32 kZTCP_CTRL_BACKWARD_CONTROL = ZTCP_CTRL('h', 'c', 't', 'r');
constexpr UInt32 kZTCP_CTRL_LOG_TEXT = ZTCP_CTRL('l', 'o', 'g', 't');
constexpr UInt32 kZTCP_CTRL_FIXTURE_GET_STATE = ZTCP_CTRL('c', 't', 'f', 'g');
constexpr UInt32 kZTCP_CTRL_FIXTURE_SET_STATE = ZTCP_CTRL('c', 't', 'f', 's');
constexpr UInt32 kZTCP_CTRL_FIXTURE_GET_REPORT = ZTCP_CTRL('c', 't', 'g', 't');
constexpr UInt32 kZTCP_CTRL_FIXTURE_SET_REPORT = ZTCP_CTRL('c', 't', 's', 't');
constexpr UInt32 kZTCP_CTRL_FIXTURE_READ_ADC = ZTCP_CTRL('c', 't', 'r', 'a');

// Largest payload a peer may announce unless the owner sets another limit.
constexpr UInt32 kZTCP_defaultMaxPayload = 1u << 20;
// The send limit of every packet the handler sends.
constexpr UInt32 kZTCP_sendTimeoutMsec = 1000;

// Receives a handler's events, in order, on its dispatch thread. The payload is
// null when the packet has none; a payload is followed by a zero byte. Both are
// valid during the call only.
class iZelk_ZtcpHandlerEventSink {
public:
    virtual ~iZelk_ZtcpHandlerEventSink() = default;
    virtual void OnZhConnect(SInt32 id) = 0;
    virtual void OnZhReceive(SInt32 id, const tZTCP_header* header, const UInt8* payload) = 0;
    virtual void OnZhClose(SInt32 id) = 0;
};

typedef void (*tZGH_ConnectFn)(void* userData, SInt32 id);
typedef void (*tZGH_ReceiveFn)(void* userData, SInt32 id, const tZTCP_header* header, const UInt8* payload);
typedef void (*tZGH_CloseFn)(void* userData, SInt32 id);

struct iZelk_ZtcpHandler;

// The handler's operations in table order; each is the ZGH_ function of its name.
class tZelk_ZtcpHandlerOps {
public:
    virtual SInt32 Connect(const char* host, UInt16 port) = 0;
    virtual SInt32 ConnectAsync(const char* host, UInt16 port, iZelk_ZtcpHandlerEventSink* listener,
                                tZGH_ConnectFn onConnect, tZGH_ReceiveFn onReceive, tZGH_CloseFn onClose,
                                void* userData) = 0;
    virtual SInt32 Append(int descriptor) = 0;
    virtual SInt32 AppendAsync(int descriptor, iZelk_ZtcpHandlerEventSink* listener, tZGH_ConnectFn onConnect,
                               tZGH_ReceiveFn onReceive, tZGH_CloseFn onClose, void* userData) = 0;
    virtual SInt32 Close() = 0;
    virtual SInt32 SendCommand(UInt32 control, const void* payload, UInt32 length, tZTCP_header** response,
                               UInt32 timeoutMs) = 0;
    virtual SInt32 SendResponse(UInt8 seq, UInt8 error, const void* payload, UInt32 length) = 0;
    virtual void PrintHeader(SInt32 level, const tZTCP_header* header) = 0;
    virtual void PrintPacket(SInt32 level, const tZTCP_header* packet) = 0;

protected:
    ~tZelk_ZtcpHandlerOps() = default;
};

iZelk_ZtcpHandler* ZGH_Create(iZelk_LogManager* lm);
// Elsewhere than on the handler's dispatch thread: closes, waits for its threads,
// drops events not yet delivered, frees. From one of its own events (a listener
// deleting the handler in OnZhClose): no further event comes, and the handler is
// freed as that event returns. Clears the handle either way.
void ZGH_Delete(iZelk_ZtcpHandler** handle);
SInt32 ZGH_SetName(iZelk_ZtcpHandler* h, SInt32 id);
// A larger announced payload ends the connection (reported as 9).
SInt32 ZGH_SetMaxPayload(iZelk_ZtcpHandler* h, UInt32 bytes);

SInt32 ZGH_Connect(iZelk_ZtcpHandler* h, const char* host, UInt16 port);
SInt32 ZGH_ConnectAsync(iZelk_ZtcpHandler* h, const char* host, UInt16 port, iZelk_ZtcpHandlerEventSink* listener,
                        tZGH_ConnectFn onConnect, tZGH_ReceiveFn onReceive, tZGH_CloseFn onClose, void* userData);
SInt32 ZGH_Append(iZelk_ZtcpHandler* h, int descriptor);
SInt32 ZGH_AppendAsync(iZelk_ZtcpHandler* h, int descriptor, iZelk_ZtcpHandlerEventSink* listener,
                       tZGH_ConnectFn onConnect, tZGH_ReceiveFn onReceive, tZGH_CloseFn onClose, void* userData);
SInt32 ZGH_Close(iZelk_ZtcpHandler* h);
bool ZGH_IsRunning(iZelk_ZtcpHandler* h);
const char* ZGH_PeerName(iZelk_ZtcpHandler* h);
UInt32 ZGH_SentTotal(iZelk_ZtcpHandler* h);

// Sends one command; with `response` it waits for the rsps of the same seq and hands
// it over (header, payload and a zero byte in one block, released with std::free; its
// result code is the header's error). One command at a time per handler: the time-out
// covers the wait for the one before. 0, 17, 9, 28 or the socket's send code.
SInt32 ZGH_SendCommand(iZelk_ZtcpHandler* h, UInt32 control, const void* payload, UInt32 length,
                       tZTCP_header** response, UInt32 timeoutMs);
SInt32 ZGH_SendResponse(iZelk_ZtcpHandler* h, UInt8 seq, UInt8 error, const void* payload, UInt32 length);

// A zero-filled packet with both checksums, released with std::free; null without memory.
tZTCP_header* ZGH_MakePacket(UInt32 control, UInt8 error, const void* payload, UInt32 length, UInt8 seq);
// The packet's size on the wire: 16, or 17 + length.
UInt64 ZGH_PacketSize(const tZTCP_header* header);
UInt8 ZGH_HeaderChecksum(const tZTCP_header* header);
UInt8 ZGH_PayloadChecksum(const void* payload, UInt64 length);
void ZGH_PrintHeader(iZelk_LogManager* m, SInt32 level, const tZTCP_header* header);
// The header, then the whole packet as a hex dump, 16 bytes a row.
void ZGH_PrintPacket(iZelk_LogManager* m, SInt32 level, const tZTCP_header* packet);

struct tZelk_ZtcpEvent {
    enum Kind { kConnect, kPacket, kClose } kind;
    tZTCP_header* packet;  // owned, with kPacket
};

struct iZelk_ZtcpHandler final : tZelk_ZtcpHandlerOps {
    iZelk_LogManager* lm = nullptr;
    iZelk_Socket* socket = nullptr;
    std::atomic<SInt32> id{-1};
    std::atomic<UInt32> maxPayload{kZTCP_defaultMaxPayload};
    tZGH_ConnectFn onConnect = nullptr;
    tZGH_ReceiveFn onReceive = nullptr;
    tZGH_CloseFn onClose = nullptr;
    void* userData = nullptr;
    iZelk_ZtcpHandlerEventSink* listener = nullptr;
    const char* connectedBy = "";  // the operation that made the connection, for the receive path's reports

    // Receive state, touched by the socket's loop only.
    UInt8 rxHeader[16] = {};
    UInt64 rxHeld = 0;
    UInt8* rxPacket = nullptr;
    UInt64 rxTotal = 0;
    // What one receive brought and the packets have not yet taken.
    UInt8 stash[16384];
    UInt64 stashBegin = 0;
    UInt64 stashEnd = 0;

    // Response slots and waiting flags of sequence numbers 1..255.
    std::mutex slotLock;
    std::condition_variable slotCv;
    UInt8 nextSeq = 0;
    tZTCP_header* slot[256] = {};
    bool waiting[256] = {};

    tZelk_TimedLock commandLock;

    // The dispatch thread and its queue.
    std::mutex queueLock;
    std::condition_variable queueCv;
    std::deque<tZelk_ZtcpEvent> queue;
    bool quit = false;
    bool freeOnExit = false;
    std::thread worker;

    SInt32 Connect(const char* host, UInt16 port) override { return ZGH_Connect(this, host, port); }
    SInt32 ConnectAsync(const char* host, UInt16 port, iZelk_ZtcpHandlerEventSink* l, tZGH_ConnectFn c,
                        tZGH_ReceiveFn r, tZGH_CloseFn cl, void* u) override {
        return ZGH_ConnectAsync(this, host, port, l, c, r, cl, u);
    }
    SInt32 Append(int descriptor) override { return ZGH_Append(this, descriptor); }
    SInt32 AppendAsync(int descriptor, iZelk_ZtcpHandlerEventSink* l, tZGH_ConnectFn c, tZGH_ReceiveFn r,
                       tZGH_CloseFn cl, void* u) override {
        return ZGH_AppendAsync(this, descriptor, l, c, r, cl, u);
    }
    SInt32 Close() override { return ZGH_Close(this); }
    SInt32 SendCommand(UInt32 control, const void* payload, UInt32 length, tZTCP_header** response,
                       UInt32 timeoutMs) override {
        return ZGH_SendCommand(this, control, payload, length, response, timeoutMs);
    }
    SInt32 SendResponse(UInt8 seq, UInt8 error, const void* payload, UInt32 length) override {
        return ZGH_SendResponse(this, seq, error, payload, length);
    }
    void PrintHeader(SInt32 level, const tZTCP_header* header) override { ZGH_PrintHeader(lm, level, header); }
    void PrintPacket(SInt32 level, const tZTCP_header* packet) override { ZGH_PrintPacket(lm, level, packet); }
};
