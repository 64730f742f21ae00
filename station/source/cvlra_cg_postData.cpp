// The post item: the end of a unit. The repository item runs first, then the
// submission session is started and the station's health checked, the unit is
// binned, its row goes to the day's statistics CSV and, when submission is on
// and healthy, its own CSV log becomes the property-list record that is sent
// with the unit's folder. The tester gets the unit's first error and bin code.
#include "CVLRA_cg_postData.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include "CVLRA_cg_testSession.h"
#include "ZelkHUBR.h"
#include "ferrin.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_utils.h"
#include "nk_velora_plist.h"
#include "nk_velora_sn.h"

CNK_testItem* CVLRA_cg_postData_create() { return new CVLRA_cg_postData(); }

namespace {
[[maybe_unused]] const bool g_registered =
    (nkTest_registerTestClass("CVLRA_cg_postData", &CVLRA_cg_postData_create), true);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Failure texts of the submission wrapper; it copies at most this much.
constexpr size_t kErrTextSize = 512;
constexpr size_t kReplyTextMax = 27;

// The unit log may be gone (an invalid manager); the lines are then not kept.
#define PLOG(lm, ...)                                              \
    do {                                                           \
        if (nkObj_isValid(lm)) (lm)->printText(kVL1, __VA_ARGS__); \
    } while (0)

std::string joinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

}  // namespace

// Every failure is reported as the packet handler's, whichever step found it.
#define POST_REPORT(code, cond) \
    nkDebug_printError(this->logManager, __FILE__, this->name, "handle_ntcp_packet", __LINE__, (u16)(code), (cond))

std::array<u8, 31> nkVlra_postReply(u16 code, const char* text, char binCode) {
    std::array<u8, 31> out{};
    out[0] = static_cast<u8>(code & 0xFF);
    out[1] = static_cast<u8>(code >> 8);
    if (text) std::memcpy(out.data() + 2, text, strnlen(text, kReplyTextMax));
    out[29] = 0;
    out[30] = static_cast<u8>(binCode);
    return out;
}

CVLRA_cg_postData::CVLRA_cg_postData() { NK_CLASS_NAME(); }

CVLRA_cg_postData::~CVLRA_cg_postData() = default;

u16 CVLRA_cg_postData::setLogManager(CNK_logManager* lm) { return CVLRA_cg_testItem::setLogManager(lm); }

void CVLRA_cg_postData::registerDataSymbol() {
    if (!_testData) return;
    _testData->addDataSymbol(_name, "PORDIS_POST_RESULT", "int8_t", kNaN, kNaN, "", false);
    _testData->addDataSymbol(_name, "PORDIS_POST_TIME", "double", kNaN, kNaN, "sec", false);
    _testData->addDataSymbol(_name, "BIN_CODE", "string", kNaN, kNaN, "PF", true);
}

char CVLRA_cg_postData::generateBinEVT() {
    PLOG(_logManager, "* Generate Binning");
    // recordError keeps non-zero codes only, so any entry fails the unit.
    if (_testData && !_testData->_errCodes.empty() && _testData->_errCodes.front() != 0) return 'F';
    return 'P';
}

u16 CVLRA_cg_postData::startSubmission() {
    CVLRA_cg_testSession* s = _testSession;
    CNK_logManager* lm = _logManager;
    if (!s->_isHubrEnabled) {
        PLOG(lm, "* HUBR Disabled. SKip hubrSessionStart, _hubrAmIok and Pordis Data Posting");
        return 0;
    }
    char errText[kErrTextSize] = {};
    if (!s->_hubrSessionStarted) {
        PLOG(lm, "* Restart HUBR Session");
        PLOG(lm, "* Start HUBR/Pordis Session: %s", s->_cgSn.c_str());
        // No control bit of ours is ever failed or counted: the arrays stay zero.
        u8 cbStatus[256] = {};
        u8 cbFailCount[256] = {};
        const u16 rc = ZNCB_StartSessnion(lm, s->_hubrStationMode.c_str(), s->_cgSn.c_str(),
                                          s->_hubrHostVersion.c_str(), cbStatus, cbFailCount, 0, errText,
                                          sizeof(errText), kVL1);
        if (rc != 0) {
            POST_REPORT(kNKErr_hubrSessionStartFailed, "");
            return kNKErr_hubrSessionStartFailed;
        }
        PLOG(lm, "* Start HUBR/Pordis Session: Pass");
        s->_hubrSessionStarted = true;
    }
    std::memset(errText, 0, sizeof(errText));
    const u16 c = ZNCB_AmIOK(lm, s->_cgSn.c_str(), errText, sizeof(errText), kVL1);
    if (c != 0) {
        PLOG(lm, "* Am I OK? %s check: FAIL", s->_cgSn.c_str());
        POST_REPORT(c, "");
        return c;
    }
    PLOG(lm, "* Am I OK? %s check: PASS", s->_cgSn.c_str());
    s->_hubrAmIok = true;
    return 0;
}

u16 CVLRA_cg_postData::postUnit(const std::string& title, const std::string& testerName) {
    CVLRA_cg_testSession* s = _testSession;
    CNK_logManager* lm = _logManager;
    const std::string stem = s->_cgSn + "_" + nkFom_cgColorName(s->_cgColor) + "_" + s->_hubrHostVersion;
    const std::string csvPath = joinPath(s->_unitLogsFolder, stem + ".csv");
    const std::string plistPath = joinPath(s->_unitLogsFolder, stem + ".plist");

    u16 p = 0;
    {
        std::unique_lock<std::mutex> lock;
        if (s->_mtxCsvFile) lock = std::unique_lock<std::mutex>(*s->_mtxCsvFile);
        p = _testData->add_to_summary_csv(csvPath, s->_cgSn, testerName, "", title, true, -1, true);
    }
    if (p != 0) {
        POST_REPORT(p, "");
        return p;
    }
    // A record left by an earlier run must never go out as this one's.
    if (nkFile_isFileExist(plistPath)) nkFile_delete(plistPath.c_str());
    const u16 converted = nkFom_velora_csvToPlist(csvPath.c_str(), plistPath.c_str(), false, false, false);
    if (converted != 0) {
        // A part-written record would leave this run out: nothing is sent.
        PLOG(lm, "[Err] Plist File Generation Failed");
        POST_REPORT(converted, "");
        return converted;
    }
    if (!nkFile_isFileExist(plistPath)) {
        PLOG(lm, "[Err] Plist File Generation Failed");
        POST_REPORT(kNKErr_hubrUploadFailed, "");
        return kNKErr_hubrUploadFailed;
    }
    char errText[kErrTextSize] = {};
    const u16 rc = ZNCB_Commit(lm, plistPath.c_str(), s->_unitLogsFolder.c_str(), s->_cgSn.c_str(), errText,
                               sizeof(errText), kVL1);
    // The commit closes the submission session on every path.
    s->_hubrSessionStarted = false;
    if (rc != 0) {
        PLOG(lm, "* HUBR Post Error %s", errText);
        POST_REPORT(rc, "");
        return rc;
    }
    return 0;
}

void CVLRA_cg_postData::handle_ntcp_packet(const tNTCP_header* header, const u8*) {
    NK_VALID_OR_RETURN_VOID();
    CVLRA_cg_testSession* s = _testSession;
    if (!s || !header || !_testData) return;
    CNK_logManager* lm = _logManager;

    // 1. The repository item; the session made sure at construction that it exists.
    for (CNK_testItem* item : s->_items)
        if (item && item != this && item->_name == "VDXU") {
            item->performTest(kNkTestMode_PROD);
            break;
        }

    // 2.
    setStatus(kNkTestStat_TESTING);
    PLOG(lm, "*** Handle TSED *** ");
    const auto t0 = std::chrono::steady_clock::now();
    s->_hubrAmIok = false;

    // 3. and 4.
    const u16 r = startSubmission();
    if (s->_hubrSessionStarted && !s->_hubrAmIok) {
        PLOG(lm, "* Start HUBR/Pordis Session Pass, But AM_I_OK check Fail => Closing hubrSession now...");
        FN_CloseSession(s->_cgSn.c_str());
        PLOG(lm, " . FN_CloseSession(%s).", s->_cgSn.c_str());
        s->_hubrSessionStarted = false;
        PLOG(lm, "* hubrSession Closed. Will skip HUBR data posting [%s].", s->_cgSn.c_str());
    }

    // 5.
    _testData->recordError(r, nkError_getErrorString(r));
    setStatus(r != 0 ? kNkTestStat_FAIL : kNkTestStat_PASS);

    // 6. Completion and pass, for the log only.
    PLOG(lm, "*** Test Item Complete Check : %s", s->_serialNumber.c_str());
    std::string names = "* ", states = "* ";
    bool allComplete = true, allPass = true;
    for (CNK_testItem* item : s->_items) {
        const t_nkTestStat st = item->testStatus();
        char cell[64];
        std::snprintf(cell, sizeof(cell), " %4s |", item->_name.c_str());
        names += cell;
        std::snprintf(cell, sizeof(cell), " %4s |", st < kNkTestStatStr.size() ? kNkTestStatStr[st] : "?");
        states += cell;
        if (st < kNkTestStat_PASS) allComplete = false;
        if (st != kNkTestStat_PASS) allPass = false;
    }
    std::printf("%s\n%s\n", names.c_str(), states.c_str());
    std::fflush(stdout);
    if (s->_iqcMode == "SIQC") {
        PLOG(lm, "* Simplified IQC mode, skip UNIT and T test. Directly set allComplete = true");
        allComplete = true;
        double confirmed = 0.0;
        if (_testData->_symbolMap.count("VDXU::VDX_CONFIRM_RESULT"))
            confirmed = _testData->getData("VDXU", "VDX_CONFIRM_RESULT", true);
        if (confirmed != 0.0) {
            allPass = true;
            PLOG(lm, "* Simplyfied IQC mode, Retrieve VDX: PASS");
        } else {
            PLOG(lm, "[Error] Simplyfied IQC mode, Retrieve VDX: Failed");
        }
    } else {
        PLOG(lm, "* Normal IQC");
    }
    PLOG(lm, "*** Test Item Complete Check: %s", allComplete ? "PASS" : "FAIL");
    PLOG(lm, "*** Test Item Pass     Check: %s", allPass ? "PASS" : "FAIL");
    if (s->_appLogManager) {
        s->_appLogManager->printText(kVL1, "*** Test Item Complete: %s", allComplete ? "PASS" : "FAIL");
        s->_appLogManager->printText(kVL1, "*** Test Item     Pass: %s", allPass ? "PASS" : "FAIL");
    }
    if (!allComplete) POST_REPORT(kNKErr_INCOMPLETE_TEST, "allComplete");

    // 7.
    const char bin = generateBinEVT();
    PLOG(lm, "*** BinCode %c", bin);
    if (s->_appLogManager) s->_appLogManager->printText(kVL1, "*** BinCode %c", bin);
    _testData->recordData(_name, "BIN_CODE", std::string(1, bin));

    // 8. and 9. The day's statistics row.
    const std::string colour = nkFom_cgColorName(s->_cgColor);
    const std::string title = "CG Test,version=" + s->_hubrHostVersion;
    const std::string testerName = s->_testerName.empty() ? std::string("Unknown") : s->_testerName;
    const std::string serialNumber = _serialNumber.empty() ? std::string("unknown") : _serialNumber;
    u16 p = 0;
    if (s->_statisticsPath.empty()) {
        // No unit folders: nothing may be written outside the log root.
        p = kNKErr_pathNotExist;
        POST_REPORT(p, "_statisticsPath.size()>0");
    } else {
        const std::string statsPath = joinPath(s->_statisticsPath, "CGCal_" + colour + "_" + s->_hubrHostVersion + ".csv");
        // The row's start second names the unit's run folder; a run that had to
        // take a suffix (another unit of the same number in the same second) is
        // named in the config cell, so that the row leads to its own folder.
        const std::string runName = s->_logPath.substr(s->_logPath.find_last_of('/') + 1);
        const std::string config =
            runName == nkUtil_formatTimestampStr(_testData->_startTime, 1) ? std::string() : runName;
        std::unique_lock<std::mutex> lock;
        if (s->_mtxCsvFile) lock = std::unique_lock<std::mutex>(*s->_mtxCsvFile);
        p = _testData->add_to_summary_csv(statsPath, serialNumber, testerName, config, title, true, -1, true);
    }
    if (p != 0) POST_REPORT(p, "");

    // 10. The unit's log is whole before its folder is sent.
    if (nkObj_isValid(lm)) lm->setLogFileName(nullptr);

    // 11. and 12.
    if (!s->_isHubrEnabled) {
        PLOG(lm, "* SKip Pordis Data Posting");
    } else if (!s->_hubrAmIok) {
        PLOG(lm, "[Err] HUBR AmIok Check Failed, SKip Pordis Data Posting");
    } else if (!s->_hubrSessionStarted) {
        PLOG(lm, "[Err] HUBR Session Check Failed, SKip Pordis Data Posting");
    } else {
        // A failed statistics row stays the unit's posting result.
        const u16 posted = postUnit(title, testerName);
        if (p == 0) p = posted;
    }
    // A session this unit started never outlives it, whatever was skipped.
    if (s->_hubrSessionStarted) {
        FN_CloseSession(s->_cgSn.c_str());
        PLOG(lm, " . FN_CloseSession(%s).", s->_cgSn.c_str());
        s->_hubrSessionStarted = false;
    }

    // 13.
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    PLOG(lm, "*** Data Posting %s [in %.3f sec] ***", p != 0 ? "FAILED" : "PASSED", seconds);
    if (s->_appLogManager)
        s->_appLogManager->printText(kVL1, "* Disconnect Tester %s, ID %d", testerName.c_str(), s->_testerCellId);

    // A unit without its statistics row or its record is not a pass: the tester
    // gets the failed step's code (after any earlier error) and 'F'.
    char finalBin = bin;
    if (p != 0) {
        _testData->recordError(p, nkError_getErrorString(p));
        finalBin = 'F';
        if (bin != finalBin) {
            PLOG(lm, "*** BinCode %c", finalBin);
            if (s->_appLogManager) s->_appLogManager->printText(kVL1, "*** BinCode %c", finalBin);
        }
    }

    // 14. and 15.
    const u16 e = _testData->_errCodes.empty() ? 0 : static_cast<u16>(_testData->_errCodes.front());
    const std::array<u8, 31> payload = nkVlra_postReply(e, nkError_getErrorString(e), finalBin);
    s->showUnitEnd(finalBin);
    if (!s->_isOfflineRun.load()) s->SendResponse(header, 0, payload.data(), static_cast<int>(payload.size()), kVL2);
    s->Close();
}
