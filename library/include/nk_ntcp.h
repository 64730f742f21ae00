// NTCP: framed request/reply packets with checksums over one TCP connection.
#pragma once

#include <condition_variable>

#include "nk_socket.h"

#define NTCP_PREAMBLE 0x4E544350u  // 'NTCP'; on the wire "PCTN"
#define NTCP_CTRL_RSPS 0x72737073u // 'rsps': accepted as the reply to any request

// Little-endian wire header, 16 bytes.
typedef struct __attribute__((packed)) {
    u32 NTCP;  // preamble
    u16 ERRC;  // 0 in requests and one-way packets
    u32 CTRL;  // four-character control code held as a number
    u32 PLEN;  // payload length + 1 (its checksum byte), or 0 without payload
    u8 SEQN;   // 1..255 in requests and their replies, 0 in one-way packets
    u8 H_CS;   // one's complement of the 8-bit sum of bytes 0..14
} tNTCP_header;
static_assert(sizeof(tNTCP_header) == 16, "NTCP header is 16 bytes on the wire");

// A packet in one allocation: the header, then PLEN bytes (payload and P_CS).
typedef struct __attribute__((packed)) {
    tNTCP_header header;
    u8 payload[];
} tNTCP_packet;

class INK_ntcpCallback {
public:
    virtual ~INK_ntcpCallback() = default;
    virtual void onNtcpConnect(u32 socketName) = 0;
    // A packet that is not the reply to a waiting request; valid during the call only.
    virtual void onNtcpReceive(u32 socketName, const tNTCP_packet* packet) = 0;
    virtual void onNtcpClose(u32 socketName) = 0;
};

class CNK_ntcp : public CNK_socket, protected INK_socketCallback {
public:
    // Largest payload a peer may announce unless the owner sets another limit;
    // it holds the station's largest request, four uniformity images.
    static constexpr size_t kDefaultMaxPayload = 64u * 1024u * 1024u;
    // A packet whose header has come must be complete within this time.
    static constexpr int kDefaultPacketTimeoutMsec = 30000;

    CNK_ntcp();
    explicit CNK_ntcp(CNK_logManager* lm);
    ~CNK_ntcp() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 Connect(const char* address, u16 port, INK_ntcpCallback* callback);
    u16 Append(int socket, INK_ntcpCallback* callback);
    void setCallback(INK_ntcpCallback* callback);
    void Close();
    void CheckAndClose();

    u16 SendRequest(u32 ctrl, const void* data, int length, tNTCP_packet** ppResponsePacket, int timeoutMsec,
                    t_nkVbsLvl verbosity);
    u16 SendPacket(u32 ctrl, u8 seqn, u16 errc, const void* data, int length, t_nkVbsLvl verbosity);
    u16 SendResponse(const tNTCP_header* pReqPktHdr, u16 errc, const void* data, int length, t_nkVbsLvl verbosity);
    u16 SendOneway(u32 ctrl, const void* data, int length, t_nkVbsLvl verbosity);

    void printPacketInfo(const tNTCP_packet* packet, t_nkVbsLvl verbosity);
    void verbosePacketLog(bool enable);

    // Bounds for what a peer may make this endpoint receive: the announced
    // payload size (larger packets are refused and the link closed) and the
    // time a started packet may take.
    void setMaxPayloadLength(size_t bytes);
    void setPacketTimeout(int msec);

protected:
    void onConnect(u32 socketName) override;
    u16 onReceive(u32 socketName) override;
    void onClose(u32 socketName) override;

private:
    struct Waiter {
        u32 ctrl = 0;                   // 0 = free
        tNTCP_packet* reply = nullptr;  // stored by the receive thread
        bool aborted = false;           // the connection ended while waiting
    };

    void init();
    void takeCallback(INK_ntcpCallback* callback);
    void printHeaderInfo(const tNTCP_header* hdr, u8 pcs, t_nkVbsLvl verbosity);
    u16 discardPayload(size_t length, Clock::time_point deadline);
    // SendPacket's work; failures are reported under `func`, the operation the caller called.
    u16 sendPacket(const char* func, u32 ctrl, u8 seqn, u16 errc, const void* data, int length,
                   t_nkVbsLvl verbosity);
    void rejectPacket(const tNTCP_header* hdr, u16 errc, u8 pcsReceived, u8 pcsComputed);

    std::atomic<bool> verbose_{false};
    // Headers of this connection dropped for a bad preamble or checksum, and
    // whether the first of each kind has been logged.
    std::atomic<u32> droppedHeaders_{0};
    std::atomic<bool> preambleLogged_{false};
    std::atomic<bool> checksumLogged_{false};
    std::atomic<INK_ntcpCallback*> _ntcpCallback{nullptr};
    std::atomic<size_t> maxPayload_{kDefaultMaxPayload};
    std::atomic<int> packetTimeoutMsec_{kDefaultPacketTimeoutMsec};
    // The waiter table and the sequence counter have their own lock, never held
    // around a send, a receive or a callback.
    std::mutex waitMutex_;
    std::condition_variable waitCv_;
    u8 seqCounter_ = 0;
    Waiter waiters_[256];
    // A connection's packets reach the owner only after its connect handler
    // has returned; the close clears the gate for the next connection.
    std::mutex connectMutex_;
    std::condition_variable connectCv_;
    bool connectDone_ = false;
    bool connectGateAbandoned_ = false;  // the endpoint is going away
};
