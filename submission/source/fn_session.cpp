// The session table and the exports that start, find, report on and close sessions.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "fn_internal.h"
#include "tamsel.h"

namespace ferrin {

namespace {

using Table = std::map<std::string, std::unique_ptr<FN_Session>>;

// Starts and closes run one at a time, across their calls into the outside
// libraries; the table itself is only ever touched under its own short lock, so a
// slow start holds up no lookup for another unit.
std::atomic<uint32_t> g_startCloseLock{0};
std::mutex g_tableMutex;

Table& table() {
    static Table* t = new Table;  // lives as long as the process
    return *t;
}

class SpinGuard {
public:
    SpinGuard() {
        uint32_t expected = 0;
        while (!g_startCloseLock.compare_exchange_weak(expected, 1, std::memory_order_seq_cst)) {
            expected = 0;
            std::this_thread::yield();
        }
    }
    ~SpinGuard() { g_startCloseLock.fetch_add(static_cast<uint32_t>(-1), std::memory_order_seq_cst); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;
};

}  // namespace

FN_Session::~FN_Session() {
    // A record still open would stay open in the logging library for good.
    if (record.started) record.cancel();
    for (FN_Task* t : tasks) freeTask(t);
    for (FN_Phase* p : phases) freePhase(p);
}

FN_Session* findSession(const char* sn) {
    if (!sn) return nullptr;
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = table().find(sn);
    return it == table().end() ? nullptr : it->second.get();
}

int32_t mapResult(uint32_t result) {
    static const int32_t kCodes[] = {0, 4, 5, 7, 6, 8};
    return result <= 5 ? kCodes[result] : 0;
}

}  // namespace ferrin

using namespace ferrin;

extern "C" {

const char* FN_Version(void) { return "1.2.4"; }

bool FN_NetCBSupported(void) { return true; }

int32_t FN_StartSession(const char* sn, const char* swVersion, const char* swName, uint32_t ownCbId) {
    return guarded<int32_t>(FN_ERROR_START_FAIL, [&]() -> int32_t {
        if (!sn) return FN_ERROR_START_FAIL;
        SpinGuard spin;
        FN_Session* s = nullptr;
        {
            std::lock_guard<std::mutex> lock(g_tableMutex);
            auto& slot = table()[sn];
            if (slot) return FN_ERROR_SN_COPY;
            slot = std::make_unique<FN_Session>();
            s = slot.get();
            s->ownCbId = ownCbId;
            s->serialNumber = sn;
        }
        if (!s->record.start(swVersion ? swVersion : "", swName ? swName : "", sn)) {
            setText(s->lastError.data(), "Unable to initialize Quenbar with error: %s", s->record.errorText.data());
            return FN_ERROR_START_FAIL;
        }
        s->record.fetchControlBits();
        queueInitialWork(*s);
        return FN_ERROR_NONE;
    });
}

int32_t FN_CloseSession(const char* sn) {
    return guarded<int32_t>(FN_ERROR_NONE, [&]() -> int32_t {
        if (!findSession(sn)) return FN_ERROR_SN_NOSTART;
        SpinGuard spin;
        std::unique_ptr<FN_Session> doomed;
        {
            std::lock_guard<std::mutex> lock(g_tableMutex);
            auto it = table().find(sn);
            if (it == table().end()) return FN_ERROR_SN_NOSTART;  // closed meanwhile
            doomed = std::move(it->second);
            table().erase(it);
        }
        doomed.reset();
        return FN_ERROR_NONE;
    });
}

bool FN_SessionExists(const char* sn) {
    return guarded(false, [&] { return findSession(sn) != nullptr; });
}

const char* FN_GetLastErrorMsg(const char* sn) {
    return guarded<const char*>(nullptr, [&]() -> const char* {
        FN_Session* s = findSession(sn);
        return s ? s->lastError.data() : nullptr;
    });
}

uint32_t FN_GetNumItemsSent(const char* sn) {
    return guarded<uint32_t>(0xFFFFFFFFu, [&] {
        FN_Session* s = findSession(sn);
        return s ? s->itemsSent : 0xFFFFFFFFu;
    });
}

int32_t FN_GetNetCBSummary(const char* sn, char* text, int32_t size) {
    return guarded<int32_t>(FN_ERROR_NONE, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        if (text && size > 0)
            std::snprintf(text, static_cast<size_t>(size), "Net CB summary: Fail count limit: %d, CB check list size: %d",
                          s->record.allowedFailCount, static_cast<int>(s->record.checkIds.size()));
        return FN_ERROR_NONE;
    });
}

const char* FN_GetTolvarError(uint32_t code) {
    static const char* const kNames[] = {
        "FN_ERROR_NONE",          "FN_ERROR_SN_COPY",        "FN_ERROR_SN_NOSTART",   "FN_ERROR_START_FAIL",
        "FN_ERROR_CBREAD_FAIL",   "FN_ERROR_CBWRITE_FAIL",   "FN_ERROR_CBROUTING_FAIL", "FN_ERROR_CBRETEST_FAIL",
        "FN_ERROR_FATAL_ERROR",   "FN_ERROR_ADDHUBR_FAIL",   "FN_ERROR_BLOB_FAIL",    "FN_ERROR_CLOSE_FAIL"};
    return code <= 11 ? kNames[code] : "Unknown err";
}

int32_t FN_FatalErrorCheck(const char* sn) {
    return guarded<int32_t>(FN_ERROR_FATAL_ERROR, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        if (s->record.healthQuery(s->serialNumber.c_str())) {
            logLine("[FERRIN] There is no fatal error!");
        } else {
            logLine("[FERRIN]There is a fatal error!");
            setResult(*s, 5);
        }
        return mapResult(s->result);
    });
}

int32_t FN_ReportSwappedSerialNumber(const char* sn, const char* readSn) {
    return guarded<int32_t>(FN_ERROR_ADDHUBR_FAIL, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        char message[kTextSize];
        setText(message, "Expected SN: %s Read SN: %s", s->serialNumber.c_str(), readSn ? readSn : "");
        return s->record.addResultItem("CB Error", "Unit SN Changed", "", "FAIL", message, "0") ? FN_ERROR_NONE
                                                                                              : FN_ERROR_ADDHUBR_FAIL;
    });
}

int32_t FN_ReportSwappedChipID(const char* sn, const char* expectedChipId, const char* readChipId) {
    return guarded<int32_t>(FN_ERROR_ADDHUBR_FAIL, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        char message[kTextSize];
        setText(message, "Expected ChipID: %s Read ChipID: %s", expectedChipId ? expectedChipId : "",
                readChipId ? readChipId : "");
        return s->record.addResultItem("CB Error", "Unit ChipID Changed", "", "FAIL", message, "0")
                   ? FN_ERROR_NONE
                   : FN_ERROR_ADDHUBR_FAIL;
    });
}

int32_t FN_GetStationID(const char* sn, char* value, size_t* length) {
    return guarded<int32_t>(FN_ERROR_START_FAIL, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        QB_reply* r = QB_getVQStationInfo(s->record.handle, 22, value, length);
        const bool ok = QB_success(r);
        QB_reply_destroy(r);
        return ok ? FN_ERROR_NONE : FN_ERROR_START_FAIL;
    });
}

bool FN_StationRunningForMp(void) {
    return guarded(true, [] {
        QB_UID* uid = nullptr;
        QB_reply* r = QB_UUTStart(&uid);
        bool failed = !QB_success(r);
        QB_reply_destroy(r);
        std::string stage;
        if (!failed) {
            size_t length = 0;
            r = QB_getVQStationInfo(uid, 3, nullptr, &length);
            const bool sized = QB_success(r);
            QB_reply_destroy(r);
            if (sized && length > 0) {
                // The stage is a short word; a length beyond reason is not one.
                if (length > 4096) {
                    failed = true;
                } else {
                    std::vector<char> buf(length + 1, '\0');
                    size_t got = length;
                    r = QB_getVQStationInfo(uid, 3, buf.data(), &got);
                    if (QB_success(r)) stage.assign(buf.data(), strnlen(buf.data(), length));
                    else failed = true;
                    QB_reply_destroy(r);
                }
            }
        }
        QB_reply_destroy(QB_UUTCancel(uid));
        QB_UID_destroy(uid);
        if (failed) return true;
        return (stage == "PVT" || stage == "MP") && StationSetControlBit();
    });
}

bool FN_ShouldSetCB(void) {
    return guarded(false, [] { return StationSetControlBit(); });
}

}  // extern "C"
