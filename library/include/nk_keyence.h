// Client of a laser displacement sensor's data-storage function over TCP.
#pragma once

#include "nk_log.h"
#include "nk_socket.h"
#include "nk_typedef.h"

// Where the sensor sits unless the owner says otherwise (setSensorAddress).
#define kNKKeyence_defaultAddress "192.168.10.10"
#define kNKKeyence_defaultPort 24687
#define kNKKeyence_socketName 0x4B455943u  // 'KEYC'

// Reply framing, apart from the socket so that it can be checked with no sensor.
// Every reply starts with [length u16 LE][0x07][command code + 1] and four zero bytes.
constexpr u32 kNKKeyence_replyHeadSize = 8;
constexpr u32 kNKKeyence_statusReplySize = 60;
constexpr u32 kNKKeyence_dataHeaderSize = 20;
// True when the first 8 bytes are the success reply to the command `code`
// (the reply's code is code + 1); the data reply carries 0xFFFF as its length.
bool nkKeyence_replyMatches(const u8* reply, u8 code);
// The stored value count of a status reply (bytes 12..15, little-endian).
u32 nkKeyence_statusCount(const u8* reply);

class CNK_keyence : public CNK_baseObject {
public:
    CNK_keyence();
    explicit CNK_keyence(CNK_logManager* lm);
    ~CNK_keyence() override;
    u16 setLogManager(CNK_logManager* lm) override;

    void setSocketName(u32 name);
    // Dotted IPv4 text; text that is not an address is refused (0xFFFFFFFF, nothing stored).
    u32 setSensorAddress(const char* address);
    // Network byte order.
    u32 setSensorAddress(u32 address);
    u32 getSensorAddress();
    // Every receive waits at most this long (5000 ms by default); expiry gives 0xE099.
    void setRecvTimeout(u32 timeoutMs);

    u16 Connect();
    u16 Connect(const char* address, u16 port);
    u16 Start();
    u16 Stop();
    u16 GetRecvLength(u32* count);
    // *count: capacity in values on entry, values stored on return.
    u16 Recv(u32* values, i32* count);
    void Close();

private:
    void init();
    u16 send(const char* op, const u8* cmd, u32 cmdLen);
    u16 expectReply(const char* op, u8 code, u8* reply, u32 replyLen);
    u16 command(const char* op, const u8* cmd, u32 cmdLen, u8* reply, u32 replyLen);
    u16 recvExact(const char* op, u8* buf, size_t len);

    CNK_socket* _socket = nullptr;
    u32 _socketName = kNKKeyence_socketName;
    u32 _port = kNKKeyence_defaultPort;
    u32 _address = 0;
    u32 _recvTimeoutMs = 5000;
    u8 _reply[1460] = {};
};
