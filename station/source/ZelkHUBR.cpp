// The station's submission of one unit through libFerrin, and the shop-floor
// unit-process query.
#include "ZelkHUBR.h"

#include <syslog.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QUrl>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "CVLRA_error.h"
#include "ferrin.h"
#include "nk_error.h"
#include "url/pf_url.h"

const std::array<const char*, 13> kFnErrStr = {
    "NONE          ", "SN_COPY       ", "SN_NOSTART    ", "START_FAIL    ", "CBREAD_FAIL   ",
    "CBWRITE_FAIL  ", "CBROUTING_FAIL", "CBRETEST_FAIL ", "FATAL_ERROR   ", "ADDHUBR_FAIL  ",
    "BLOB_FAIL     ", "CLOSE_FAIL    ", "NUM_TYPES     "};

const std::array<const char*, 5> k_nkCbStatStr = {"Passed", "Incomplete", "Failed", "NotTested", "Unknown"};

namespace {

std::mutex g_sinkMutex;
std::function<void(const std::string&)> g_systemLogSink;

void systemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void systemLog(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (g_systemLogSink) g_systemLogSink(text);
    else syslog(LOG_NOTICE, "%s", text);
}

// The log manager may be absent; then the lines are simply not kept.
#define ZLOG(lvl, ...)                                               \
    do {                                                             \
        if (nkObj_isValid(lm)) lm->printText((lvl), __VA_ARGS__);    \
    } while (0)

#define ZREPORT(lm, code) nkDebug_printError((lm), __FILE__, nullptr, __func__, __LINE__, (u16)(code), nullptr)

const char* fnName(int32_t code) { return code >= 0 && code < 13 ? kFnErrStr[static_cast<size_t>(code)] : "UNKNOWN       "; }

// The library's text for this unit; only valid until its session is closed.
std::string libraryText(const char* sn) {
    const char* t = FN_GetLastErrorMsg(sn);
    return t ? std::string(t, strnlen(t, 512)) : std::string("Unknown Error");
}

void copyText(char* buf, size_t size, const std::string& text) {
    if (!buf || size == 0) return;
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

// Runs one libFerrin call; a standard exception becomes code `onThrow` with its text.
template <typename Call>
int32_t guardedCall(CNK_logManager* lm, Call call, bool& threw) {
    threw = false;
    try {
        return call();
    } catch (const std::exception& e) {
        threw = true;
        ZLOG(kVL1, "[Err] libFerrin Error %s", e.what());
        return -1;
    } catch (...) {
        threw = true;
        ZLOG(kVL1, "[Err] libFerrin Error %s", "unknown exception");
        return -1;
    }
}

}  // namespace

void ZelkHUBR_setSystemLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_systemLogSink = std::move(sink);
}

u16 ZNCB_StartSessnion(CNK_logManager* lm, const char* stationName, const char* serialNumber,
                       const char* swVersion, const u8* cbStatus, const u8* cbFailCount, u8 ownCbIndex,
                       char* errMsg, size_t errSize, t_nkVbsLvl vLvl) {
    if (!stationName || !serialNumber || !swVersion || !cbStatus || !cbFailCount) {
        copyText(errMsg, errSize, "invalid parameter");
        ZREPORT(nullptr, kNKErr_invalidParam);
        return kNKErr_invalidParam;
    }
    ZLOG(vLvl, "** start session ***");
    ZLOG(vLvl, ". start session [sn:%s sw:%s stnName:%s cbIdx:0x%02X(%3d)]", serialNumber, swVersion, stationName,
         ownCbIndex, ownCbIndex);

    bool started = false;
    for (int trial = 1; trial <= 5 && !started; ++trial) {
        systemLog("Trial %d", trial);
        const int32_t rc = FN_StartSession(serialNumber, swVersion, stationName, ownCbIndex);
        systemLog("After FN start session");
        if (rc == FN_ERROR_NONE) {
            systemLog("Pass start session here!!! yeeeeee");
            systemLog("Pass start session here");
            started = true;
            break;
        }
        const std::string text = libraryText(serialNumber);
        ZLOG(kVL1, "[Err] FN_StartSession err=%3d (%s} %s", rc, fnName(rc), text.c_str());
        copyText(errMsg, errSize, text);
        // A failed start stays in libFerrin's table and would answer every retry
        // (and every later unit of this serial number) with "already started".
        FN_CloseSession(serialNumber);
    }
    if (!started) {
        systemLog("Pass start session here");
        ZREPORT(lm, kNKErr_hubrSessionStartFailed);
        return kNKErr_hubrSessionStartFailed;
    }

    ZLOG(vLvl, ". retreive NetCB info");
    FN_Phase* phase = FN_GetCurrentPhase(serialNumber);
    if (!phase) {
        copyText(errMsg, errSize, libraryText(serialNumber));
        ZLOG(kVL1, "[Err] FN_CompleteCurrentPhase");
        FN_CloseSession(serialNumber);
        ZREPORT(lm, kNKErr_networkCBFailed);
        return kNKErr_networkCBFailed;
    }
    const int32_t count = phase->count > 0 ? phase->count : 0;
    ZLOG(kVL1, "\tNumber of CBs in list:%d", count);
    for (int32_t i = 0; i < count; ++i) {
        const u32 id = phase->ids[i];
        const u32 action = phase->action[i];
        const char* label = action == FN_ACTION_READ    ? "READ "
                            : action == FN_ACTION_WRITE ? "WRITE"
                            : action == FN_ACTION_RUN   ? "RUN  "
                                                        : "Uknwn";
        if (nkObj_isValid(lm)) lm->printString(kVL1, "\t[0x%02X(%3u)] %s", id, id, label);
        if (id > 255) {
            // No array entry exists for it: the bit is not answered.
            phase->outcome[i] = FN_OUTCOME_FAILED;
            if (nkObj_isValid(lm)) lm->printString(kVL1, " id out of range\n");
        } else if (action == FN_ACTION_READ) {
            phase->failCount[i] = cbFailCount[id];
            phase->status[i] = cbStatus[id];
            phase->outcome[i] = FN_OUTCOME_DONE;
            const u8 st = cbStatus[id];
            if (nkObj_isValid(lm))
                lm->printString(kVL1, " status=%s (%3d) failCnt=%3d\n", k_nkCbStatStr[st < 5 ? st : 4], st,
                                cbFailCount[id]);
        } else {
            phase->outcome[i] = FN_OUTCOME_IGNORED;
            if (nkObj_isValid(lm)) lm->printString(kVL1, " ignored\n");
        }
    }

    ZLOG(vLvl, "reply to server");
    int32_t rc = FN_CompleteCurrentPhase(serialNumber);
    if (rc != FN_ERROR_NONE) {
        const std::string text = libraryText(serialNumber);
        ZLOG(kVL1, "[Err] FN_CompleteCurrentPhase err=%3d(%s)%s", rc, fnName(rc), text.c_str());
        copyText(errMsg, errSize, text);
        FN_CloseSession(serialNumber);
        ZREPORT(lm, kNKErr_networkCBFailed);
        return kNKErr_networkCBFailed;
    }
    ZLOG(vLvl, "\tdone");
    ZLOG(vLvl, "check fatal error");
    rc = FN_FatalErrorCheck(serialNumber);
    if (rc == FN_ERROR_NONE) {
        ZLOG(vLvl, "\tdone");
        return kNKErr_OK;
    }
    const std::string text = libraryText(serialNumber);
    ZLOG(kVL1, "[Err] FN_FatalErrorCheck err=%3d(%s)\r\n%s", rc, fnName(rc), text.c_str());
    copyText(errMsg, errSize, text);
    FN_CloseSession(serialNumber);
    ZREPORT(lm, kNKErr_hubrFatalError);
    return kNKErr_hubrFatalError;
}

u16 ZNCB_AmIOK(CNK_logManager* lm, const char* serialNumber, char* errMsg, size_t errSize, t_nkVbsLvl vLvl) {
    if (!serialNumber) {
        copyText(errMsg, errSize, "invalid parameter");
        ZREPORT(nullptr, kNKErr_hubrFatalError);
        return kNKErr_hubrFatalError;
    }
    ZLOG(vLvl, "* Am I OK? %s", serialNumber);
    const int32_t rc = FN_FatalErrorCheck(serialNumber);
    if (rc == FN_ERROR_NONE) return kNKErr_OK;
    const std::string text = libraryText(serialNumber);
    ZLOG(kVL1, "[Err] FN_FatalErrorCheck err=%3d(%s)\r\n%s", rc, fnName(rc), text.c_str());
    copyText(errMsg, errSize, text);
    ZREPORT(lm, kNKErr_hubrFatalError);
    return kNKErr_hubrFatalError;
}

u16 ZNCB_Commit(CNK_logManager* lm, const char* plistPath, const char* blobPath, const char* serialNumber,
                char* errMsg, size_t errSize, t_nkVbsLvl vLvl) {
    if (!serialNumber) {
        copyText(errMsg, errSize, "invalid parameter");
        ZREPORT(nullptr, kNKErr_hubrUploadFailed);
        return kNKErr_hubrUploadFailed;
    }
    ZLOG(kVL1, "\tcommit data\n");
    ZLOG(vLvl, "inside commit...");
    ZLOG(vLvl, "serialNumber=%s", serialNumber);
    ZLOG(vLvl, "pathToPlist=%s", plistPath ? plistPath : "");
    ZLOG(vLvl, "pathToBlob=%s", blobPath ? blobPath : "");

    // Each stage is done once it succeeded and never sent again: the property
    // list's items are in the record after its first success, and a repeated
    // finish would only report success for a record that was never finished.
    bool ok = false;
    bool threw = false;
    int32_t rc = guardedCall(lm, [&] { return FN_SubmitDataAsPlist(serialNumber, plistPath); }, threw);
    if (threw) {
        ZREPORT(lm, kNKErr_hubrFatalError);
    } else if (rc != FN_ERROR_NONE) {
        const std::string text = libraryText(serialNumber);
        ZLOG(kVL1, "[Err] FN_SubmitDataAsPlist err=%3d(%s)%s", rc, fnName(rc), text.c_str());
        copyText(errMsg, errSize, text);
        ZREPORT(lm, kNKErr_QB_UUTCommit_failed);
    } else {
        bool blobSent = false;
        for (int attempt = 1; attempt <= 5 && !blobSent; ++attempt) {
            rc = guardedCall(lm, [&] { return FN_SubmitBlobFolder(serialNumber, blobPath); }, threw);
            if (threw) {
                ZREPORT(lm, kNKErr_hubrFatalError);
            } else if (rc != FN_ERROR_NONE) {
                copyText(errMsg, errSize, libraryText(serialNumber));
                ZREPORT(lm, rc);
            } else {
                blobSent = true;
                break;
            }
            ZLOG(kVL1, "\tretry\n");
        }
        if (blobSent) {
            rc = guardedCall(lm, [&] { return FN_FinishMirbelSession(serialNumber); }, threw);
            if (threw) {
                ZREPORT(lm, kNKErr_hubrFatalError);
            } else if (rc != FN_ERROR_NONE) {
                copyText(errMsg, errSize, libraryText(serialNumber));
                ZREPORT(lm, rc);
            } else {
                ok = true;
            }
        }
    }

    if (!ok) {
        ZREPORT(lm, kNKErr_hubrUploadFailed);
        const std::string text = libraryText(serialNumber);
        ZLOG(kVL1, "[Err] FN_SubmitDataAndFinish err=%3d %s", kNKErr_hubrUploadFailed, text.c_str());
        copyText(errMsg, errSize, text);
        ZLOG(vLvl, "FN_CloseSession(%s).", serialNumber);
        FN_CloseSession(serialNumber);
        return kNKErr_hubrUploadFailed;
    }
    ZLOG(vLvl, "HUBR done!");
    ZLOG(kVL1, "\tdone");
    ZLOG(vLvl, "FN_CloseSession(%s).", serialNumber);
    FN_CloseSession(serialNumber);
    return kNKErr_OK;
}

bool ZNCB_ShouldSetCB() { return FN_ShouldSetCB(); }

u16 unitProcessCheckSFC(CNK_logManager* lm, const std::string& serialNumber, char* errMsg, size_t errSize,
                        const std::string& dataRoot) {
    const std::string configPath = dataRoot + "/data_collection/test_station_config/vq_station_info.json";
    ZLOG(kVL1, "%s", "");
    ZLOG(kVL1, "*** Unit out of process check *** -----------------------------Start--");
    u16 result = kNKErr_OK;
    auto finish = [&](u16 code) {
        ZLOG(kVL1, "*** Unit out of process check *** -------------------------------End--");
        ZLOG(kVL1, "%s", "");
        return code;
    };

    bool readable = access(configPath.c_str(), R_OK) == 0;
    for (int i = 0; i < 20 && !readable; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        readable = access(configPath.c_str(), R_OK) == 0;
    }
    QJsonObject info;
    if (readable) {
        FILE* fp = std::fopen(configPath.c_str(), "rb");
        QByteArray bytes;
        if (fp) {
            char buf[4096];
            size_t n;
            // A station-information file is small; a huge one is not ours.
            while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0 && bytes.size() < (1 << 20))
                bytes.append(buf, static_cast<qsizetype>(n));
            std::fclose(fp);
        }
        QJsonParseError perr{};
        const QJsonDocument doc = QJsonDocument::fromJson(bytes, &perr);
        if (!fp || perr.error != QJsonParseError::NoError || !doc.isObject()) readable = false;
        else info = doc.object().value("vqinfo").toObject();
    }
    if (!readable) {
        const std::string text = "Invalidate config file : vq_station_info.json";
        copyText(errMsg, errSize, text);
        ZLOG(kVL1, "%s", text.c_str());
        ZLOG(kVL1, "cannot read %s", configPath.c_str());
        ZREPORT(lm, kNKErr_Invalid_vq_station_info_json);
        return finish(kNKErr_Invalid_vq_station_info_json);
    }
    const std::string onOff = info.value("SFC_QUERY_UNIT_ON_OFF").toString().toStdString();
    const std::string url = info.value("SFC_URL").toString().toStdString();
    const std::string stationId = info.value("STATION_ID").toString().toStdString();
    ZLOG(kVL1, " . SerialNumber          = %s", serialNumber.c_str());
    ZLOG(kVL1, " . SFC_QUERY_UNIT_ON_OFF = %s", onOff.c_str());
    ZLOG(kVL1, " . SFC_URL               = %s", url.c_str());
    ZLOG(kVL1, " . STATION_ID            = %s", stationId.c_str());

    if (onOff.rfind("ON", 0) != 0) {
        copyText(errMsg, errSize, "SFC_QUERY_UNIT_ON_OFF = OFF, Skip AAB(UOP) Check");
        ZLOG(kVL1, "* SFC_QUERY_UNIT_ON_OFF = OFF, Skip AAB(UOP) Check");
        return finish(kNKErr_OK);
    }
    ZLOG(kVL1, "* SFC Query unit is enabled, doing process control check");
    // Form fields are encoded: a serial number or station id could carry '&' or '='.
    auto enc = [](const std::string& s) {
        return QUrl::toPercentEncoding(QString::fromStdString(s)).toStdString();
    };
    const std::string body =
        "sn=" + enc(serialNumber) + "&c=QUERY_RECORD&tsid=" + enc(stationId) + "&p=unit_process_check";
    ZLOG(kVL1, "* CMD: %s", body.c_str());
    char length[32];
    std::snprintf(length, sizeof(length), "Content-Length: %lu", static_cast<unsigned long>(body.size()));
    const pf::url::Response reply =
        pf::url::post(url + "?", body, {length, "Content-Type: application/x-www-form-urlencoded"}, 3000);

    if (!reply.transferred || reply.body.empty()) {
        copyText(errMsg, errSize, "UOP: No data return, SFC Link may be disconnected");
        ZLOG(kVL1, " [Err]UOP: No data return, SFC Link may be disconnected");
        ZREPORT(lm, kNKErr_UOP_TimeOut_No_data_return);
        return finish(kNKErr_UOP_TimeOut_No_data_return);
    }
    const std::string& text = reply.body;
    const size_t eq = text.find('=');
    if (text.rfind("0 SFC_OK", 0) != 0 || eq == std::string::npos) {
        copyText(errMsg, errSize, "Unexpected SFC response");
        ZLOG(kVL1, " [Err]Unexpected SFC response");
        ZREPORT(lm, kNKErr_UOP_Unexpected_SFC_response);
        return finish(kNKErr_UOP_Unexpected_SFC_response);
    }
    const size_t next = text.find('=', eq + 1);
    const std::string answer = text.substr(eq + 1, next == std::string::npos ? std::string::npos : next - eq - 1);
    ZLOG(kVL1, " . responseString = %s", answer.c_str());
    copyText(errMsg, errSize, answer);
    if (answer.rfind("OK", 0) == 0) {
        ZLOG(kVL1, "*** Unit out of process check PASS ***");
        return finish(kNKErr_OK);
    }
    if (answer.rfind("UNIT OUT OF PROCESS <Duplicated Testing>", 0) == 0) {
        ZLOG(kVL1, "* UOP Error #1: <Duplicated Testing> *");
        result = kNKErr_UOP_Duplicated_Testing;
    } else if (answer.rfind("UNIT OUT OF PROCESS <Failed Should go to FA>", 0) == 0) {
        ZLOG(kVL1, "* UOP Error #2: <Failed Should go to FA> *");
        result = kNKErr_UOP_Failed_Should_go_to_FA;
    } else if (answer.rfind("UNIT OUT OF PROCESS <Should go to another Tester>", 0) == 0) {
        ZLOG(kVL1, "* UOP Error #3: <Should go to another Tester> *");
        result = kNKErr_UOP_Failed_Should_go_to_another_Tester;
    } else {
        ZLOG(kVL1, "* UOP Error #4: None of the 3 UOP errors *");
        result = kNKErr_UOP_Unexpected_SFC_response;
    }
    ZREPORT(lm, result);
    return finish(result);
}
