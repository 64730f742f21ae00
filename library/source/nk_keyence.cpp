// Laser displacement sensor: storage commands and the stored-data stream.
#include "nk_keyence.h"

#include <arpa/inet.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "nk_error.h"

namespace {

const u8 cmd_dataStorageInit[] = {0x04, 0x00, 0x07, 0x22};
const u8 cmd_dataStorageStart[] = {0x04, 0x00, 0x07, 0x26};
const u8 cmd_dataStorageStop[] = {0x04, 0x00, 0x07, 0x28};
const u8 cmd_dataStorageStatus[] = {0x04, 0x00, 0x07, 0x2A};
const u8 cmd_dataOutput[] = {0x05, 0x00, 0x07, 0x24, 0x00};

u32 le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }

}  // namespace

bool nkKeyence_replyMatches(const u8* reply, u8 code) {
    if (!reply) return false;
    u16 length = 8;
    if (code == 0x2A) length = kNKKeyence_statusReplySize;
    if (code == 0x24) length = 0xFFFF;
    const u8 expect[8] = {u8(length & 0xFF), u8(length >> 8), 0x07, u8(code + 1), 0, 0, 0, 0};
    return std::memcmp(reply, expect, sizeof(expect)) == 0;
}

u32 nkKeyence_statusCount(const u8* reply) { return reply ? le32(reply + 12) : 0; }

CNK_keyence::CNK_keyence() { init(); }

CNK_keyence::CNK_keyence(CNK_logManager* lm) {
    init();
    if (lm) setLogManager(lm);
}

void CNK_keyence::init() {
    NK_CLASS_NAME();
    in_addr a{};
    inet_pton(AF_INET, kNKKeyence_defaultAddress, &a);
    _address = a.s_addr;
}

CNK_keyence::~CNK_keyence() {
    if (!nkObj_isValid(this)) return;
    delete _socket;
    _socket = nullptr;
}

u16 CNK_keyence::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

void CNK_keyence::setSocketName(u32 name) {
    NK_VALID_OR_RETURN_VOID();
    _socketName = name;
}

u32 CNK_keyence::setSensorAddress(const char* address) {
    NK_VALID_OR_RETURN(0xFFFFFFFFu);
    in_addr a{};
    if (!address || inet_pton(AF_INET, address, &a) != 1) {
        NK_REPORT(kNKErr_invalidParam, "inet_pton(address)==1");
        return 0xFFFFFFFFu;
    }
    _address = a.s_addr;
    return _address;
}

u32 CNK_keyence::setSensorAddress(u32 address) {
    NK_VALID_OR_RETURN(0xFFFFFFFFu);
    _address = address;
    return _address;
}

u32 CNK_keyence::getSensorAddress() {
    NK_VALID_OR_RETURN(0);
    return _address;
}

void CNK_keyence::setRecvTimeout(u32 timeoutMs) {
    NK_VALID_OR_RETURN_VOID();
    _recvTimeoutMs = timeoutMs;
}

u16 CNK_keyence::Connect() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    in_addr a{};
    a.s_addr = _address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return Connect(text, static_cast<u16>(_port));
}

u16 CNK_keyence::Connect(const char* address, u16 port) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!_socket) _socket = new CNK_socket(logManager);
    // The stored name is the owner's; the sensor's link is always this one.
    _socket->setSocketName(kNKKeyence_socketName);
    const u16 rc = _socket->Connect(address, port, nullptr);
    if (rc != kNKErr_OK) {
        delete _socket;
        _socket = nullptr;
        NK_REPORT(rc, "Connect");
    }
    return rc;
}

void CNK_keyence::Close() {
    NK_VALID_OR_RETURN_VOID();
    if (!_socket) return;
    _socket->Close();
    delete _socket;
    _socket = nullptr;
}

u16 CNK_keyence::recvExact(const char* op, u8* buf, size_t len) {
    size_t got = len;
    u16 rc = _socket->Recv(buf, &got, true, _recvTimeoutMs);
    // A sensor that stops answering is a failed receive to the owner.
    if (rc == kNKErr_timeout) rc = kNKErr_socketRecvFailed;
    if (rc != kNKErr_OK) NK_REPORT(rc, op);
    return rc;
}

u16 CNK_keyence::send(const char* op, const u8* cmd, u32 cmdLen) {
    if (!_socket) {
        NK_REPORT(kNKErr_socketSendFailed, op);
        return kNKErr_socketSendFailed;
    }
    const u16 rc = _socket->Send(cmd, cmdLen);
    if (rc != kNKErr_OK) NK_REPORT(rc, op);
    return rc;
}

u16 CNK_keyence::expectReply(const char* op, u8 code, u8* reply, u32 replyLen) {
    const u16 rc = recvExact(op, reply, replyLen);
    if (rc != kNKErr_OK) return rc;
    if (!nkKeyence_replyMatches(reply, code)) {
        NK_REPORT(kNKErr_socketRecvFailed, op);
        return kNKErr_socketRecvFailed;
    }
    return kNKErr_OK;
}

u16 CNK_keyence::command(const char* op, const u8* cmd, u32 cmdLen, u8* reply, u32 replyLen) {
    const u16 rc = send(op, cmd, cmdLen);
    if (rc != kNKErr_OK) return rc;
    return expectReply(op, cmd[3], reply, replyLen);
}

u16 CNK_keyence::Start() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    const u16 rc = command("dataStorageInit", cmd_dataStorageInit, sizeof(cmd_dataStorageInit), _reply, 8);
    if (rc != kNKErr_OK) return rc;
    return command("dataStorageStart", cmd_dataStorageStart, sizeof(cmd_dataStorageStart), _reply, 8);
}

u16 CNK_keyence::Stop() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    return command("dataStorageStop", cmd_dataStorageStop, sizeof(cmd_dataStorageStop), _reply, 8);
}

u16 CNK_keyence::GetRecvLength(u32* count) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!count) {
        NK_REPORT(kNKErr_invalidPointer, "count!=NULL");
        return kNKErr_invalidPointer;
    }
    const u16 rc = command("dataStorageStatus", cmd_dataStorageStatus, sizeof(cmd_dataStorageStatus), _reply,
                           kNKKeyence_statusReplySize);
    if (rc != kNKErr_OK) return rc;
    *count = nkKeyence_statusCount(_reply);
    if (nkObj_isValid(logManager)) logManager->printText(kVL1, "Recv Length=%u", *count);
    return kNKErr_OK;
}

u16 CNK_keyence::Recv(u32* values, i32* count) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!count) {
        NK_REPORT(kNKErr_invalidPointer, "count!=NULL");
        return kNKErr_invalidPointer;
    }
    const u32 capacity = (values && *count > 0) ? static_cast<u32>(*count) : 0;
    *count = 0;
    u32 stored = 0;
    u16 rc = GetRecvLength(&stored);
    if (rc != kNKErr_OK) return rc;
    const u32 expected = stored;
    stored = 0;
    rc = send("dataOutput", cmd_dataOutput, sizeof(cmd_dataOutput));
    if (rc != kNKErr_OK) return rc;
    // An empty store sends no data reply: waiting for one would only end at the time-out.
    if (expected == 0) return kNKErr_OK;
    rc = expectReply("dataOutput", cmd_dataOutput[3], _reply, kNKKeyence_dataHeaderSize);
    if (rc != kNKErr_OK) return rc;

    // A byte stream: the values come in whatever pieces the network makes. Those
    // that fit go straight into the caller's buffer, the rest is read and dropped.
    const u64 total = u64(expected) * 4;
    const u64 keep = u64(std::min(expected, capacity)) * 4;
    u64 done = 0;
    u8* dst = reinterpret_cast<u8*>(values);
    while (done < total) {
        u8* into = done < keep ? dst + done : _reply;
        const u64 room = done < keep ? keep - done : std::min<u64>(total - done, sizeof(_reply));
        size_t got = static_cast<size_t>(std::min<u64>(room, 1u << 20));
        rc = _socket->Recv(into, &got, false, _recvTimeoutMs);
        if (rc == kNKErr_timeout) rc = kNKErr_socketRecvFailed;
        if (rc != kNKErr_OK) {
            NK_REPORT(rc, "dataOutput");
            return rc;
        }
        done += got;
    }
    const u32 n = static_cast<u32>(keep / 4);
    if constexpr (std::endian::native == std::endian::big) {
        for (u32 i = 0; i < n; ++i) values[i] = le32(reinterpret_cast<const u8*>(values + i));
    }
    *count = static_cast<i32>(n);
    return kNKErr_OK;
}
