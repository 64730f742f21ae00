// The station's test session and its item base.
#include "CVLRA_cg_testSession.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "CVLRA_cg_postData.h"
#include "CVLRA_cg_testItem.h"
#include "cvlra_tscr.h"
#include "nk_error.h"

// ---------------------------------------------------------------- CVLRA_cg_testItem

CVLRA_cg_testItem::CVLRA_cg_testItem() { NK_CLASS_NAME(); }

CVLRA_cg_testItem::~CVLRA_cg_testItem() = default;

u16 CVLRA_cg_testItem::setLogManager(CNK_logManager* lm) { return CNK_testItem::setLogManager(lm); }

bool nkVlra_closesLink(u16 code) { return code >= 1 && code <= 32 && ((0x0FF80203u >> (code - 1)) & 1u); }

void CVLRA_cg_testItem::reply(const tNTCP_header* header, u16 code, const void* payload, int length) {
    if (!_testSession || _testSession->_isOfflineRun.load()) return;
    // An evaluated packet's verdict leads its reply body (u16, little-endian).
    u16 refusal = code;
    if (refusal == 0 && payload && length == 31 && header &&
        (header->CTRL == kVLRA_ctrl_atst || header->CTRL == kVLRA_ctrl_unif)) {
        const u8* body = static_cast<const u8*>(payload);
        refusal = u16(body[0] | (body[1] << 8));
    }
    if (header) _testSession->logRefusal(header->CTRL, refusal);
    _testSession->SendResponse(header, code, payload, length, kVL2);
    if (nkVlra_closesLink(code)) _testSession->Close();
}

// ---------------------------------------------------------------- CVLRA_cg_testSession

namespace {

// The four characters of a control code in reading order; tester bytes that are
// not printable show as '.'.
std::string fourCC(u32 v) {
    const char c[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return nkVlra_printable(std::string_view(c, 4));
}

}  // namespace

CVLRA_cg_testSession::CVLRA_cg_testSession(long index, const std::string& logRoot, const std::string& scriptFile)
    : CNK_testSession(index, logRoot, scriptFile) {
    NK_CLASS_NAME();
    for (CNK_testItem* item : _items)
        if (auto* station = dynamic_cast<CVLRA_cg_testItem*>(item)) station->_testSession = this;

    auto firstNamed = [&](const char* name) -> CNK_testItem* {
        size_t idx = 0;
        while (idx < _items.size() && _items[idx]->_name != name) ++idx;
        // Every unit needs all five: a script without one cannot serve a tester.
        if (!(idx < _items.size())) nkDebug_assertFail(__FILE__, this->name, __func__, __LINE__, "idx<_testItems.size()");
        return _items[idx];
    };
    _ctrlItemMap[kVLRA_ctrl_tscr] = firstNamed("INIT");
    _ctrlItemMap[kVLRA_ctrl_atst] = firstNamed("T");
    _ctrlItemMap[kVLRA_ctrl_unif] = firstNamed("UNIF");
    _ctrlItemMap[kVLRA_ctrl_tsed] = firstNamed("POST");
    // The repository item is run by the post item, not by a control code; it
    // must not be the script's first item. A bad script stops the start-up here,
    // never a running unit.
    if (!(firstNamed("VDXU") != _items.front()))
        nkDebug_assertFail(__FILE__, this->name, __func__, __LINE__, "p2pcTestIdx > 0");
    resetUnit();
}

CVLRA_cg_testSession::~CVLRA_cg_testSession() {
    // The close handling must run while this object is whole.
    if (nkObj_isValid(this)) closeAndWait();
}

u16 CVLRA_cg_testSession::setLogManager(CNK_logManager* lm) { return CNK_testSession::setLogManager(lm); }

bool CVLRA_cg_testSession::isReadyToTest(std::string&) { return true; }

void CVLRA_cg_testSession::closeAndWait() {
    NK_VALID_OR_RETURN_VOID();
    shutdownAndWait();
}

t_vlraOperatorSettings CVLRA_cg_testSession::operatorSettings() const {
    std::lock_guard<std::mutex> guard(mtxOperator_);
    return operator_;
}

void CVLRA_cg_testSession::takeOperatorSnapshot() {
    const t_vlraOperatorSettings s = operatorSettings();
    _isHubrEnabled = s.isHubrEnabled;
    _isDevelopmentMode = s.isDevelopmentMode;
    _vdxUploadOnFail = s.vdxUploadOnFail;
    _vdxDryRunPath = s.vdxDryRunPath;
    _vdxCaUrl = s.vdxCaUrl;
    _vdxDsSetUrl = s.vdxDsSetUrl;
    _vdxDsGetUrl = s.vdxDsGetUrl;
    _vdxTrustObjectUrl = s.vdxTrustObjectUrl;
}

void CVLRA_cg_testSession::resetUnit() {
    NK_VALID_OR_RETURN_VOID();
    unitOpen_.store(false);
    setupFailed_.store(0);
    // No line of the next unit, nor of a stranger on this link, may land in this one's log.
    if (_logManager) _logManager->closeLogFile();
    _cgType = 255;
    _cgColor = 255;
    _testerName.clear();
    _testerCellId = 0;
    _hostVersionColor.clear();
    _hubrHostVersion.clear();
    _cgSn.clear();
    _hubrStationMode.clear();
    _cgCalPath.clear();
    _logPath.clear();
    _unitLogsFolder.clear();
    _statisticsPath.clear();
    _vdxDataPath.clear();
    _iqcMode.clear();
    _vdxVersion = -1.0;
    _unif_centroid_wl = 0.0f;
    _unif_beam_size = 0.0f;
    _unif_pixel_density = 0.0f;
    _unif_img_w = 0;
    _unif_img_h = 0;
    _unif_t_map.clear();
    _final_wl.clear();
    _final_T.clear();
    _weighted_T.clear();
    _unitAFactor = 0.0f;
    _total_test_point = 0;
    _hubrSessionStarted = false;
    _hubrAmIok = false;
    _UOPCheckPass = false;
    takeOperatorSnapshot();
}

void CVLRA_cg_testSession::showUnitStart(const std::string& cellName, u8 cellId, const std::string& serialNumber) {
    setCellTitle(nkVlra_printable(cellName) + "_" + std::to_string(cellId) + "\n" + nkVlra_printable(serialNumber));
}

void CVLRA_cg_testSession::showUnitEnd(char binCode) {
    // The verdict goes on the first line, beside the tester cell, where the eye lands.
    std::string title = cellTitle();
    const size_t cellEnd = title.find('\n');
    if (cellEnd == std::string::npos) return;
    title.insert(cellEnd, "  bin " + nkVlra_printable(std::string_view(&binCode, 1)));
    setCellTitle(title);
}

void CVLRA_cg_testSession::logRefusal(u32 ctrl, u16 code) {
    if (code == 0 || _isOfflineRun.load() || !nkObj_isValid(_appLogManager)) return;
    const char* name = nkError_getErrorString(code);
    // Before a unit names its tester cell, the session's number stands for it.
    char cell[32];
    if (isUnitOpen()) std::snprintf(cell, sizeof(cell), "T%d", int(_testerCellId));
    else std::snprintf(cell, sizeof(cell), "session %ld", sessionIndex());
    _appLogManager->printText(kVL1, "[%s] '%s' failed: %d %s", cell, fourCC(ctrl).c_str(), int(code), name ? name : "");
}

void CVLRA_cg_testSession::onNtcpConnect(u32 socketName) {
    CNK_testSession::onNtcpConnect(socketName);
    resetTestSession();
    resetUnit();
    {
        std::lock_guard<std::mutex> guard(mtxConnect_);
        connectDone_ = true;
    }
    cvConnect_.notify_all();
}

void CVLRA_cg_testSession::onNtcpClose(u32 socketName) {
    CNK_testSession::onNtcpClose(socketName);
    unitOpen_.store(false);
    setupFailed_.store(0);
    // The unit has ended: the next connection's lines never reach its log.
    if (_logManager) _logManager->closeLogFile();
    std::lock_guard<std::mutex> guard(mtxConnect_);
    connectDone_ = false;
}

void CVLRA_cg_testSession::answerFailedSetup(const tNTCP_header* header, u16 code) {
    // The unit has no folders, so it cannot pass: each packet gets the setup's
    // code in its item's reply, and "tsed" ends the unit with 'F' as it always
    // ends one. No reply claims a result that was never measured.
    const char* name = nkError_getErrorString(code);
    if (_logManager)
        _logManager->printText(kVL1, "[Err] unit without folders (0x%04X %s): '%s' not run", code, name ? name : "",
                               fourCC(header->CTRL).c_str());
    if (_isOfflineRun.load()) return;
    logRefusal(header->CTRL, code);
    if (header->CTRL == kVLRA_ctrl_tsed) {
        showUnitEnd('F');
        const std::array<u8, 31> reply = nkVlra_postReply(code, name, 'F');
        SendResponse(header, 0, reply.data(), static_cast<int>(reply.size()), kVL2);
        Close();
        return;
    }
    u8 reply[31] = {};
    reply[0] = static_cast<u8>(code & 0xFF);
    reply[1] = static_cast<u8>(code >> 8);
    if (name) std::memcpy(reply + 2, name, std::min<size_t>(std::strlen(name), 29));
    SendResponse(header, 0, reply, sizeof(reply), kVL2);
}

void CVLRA_cg_testSession::processNtcpPacket(const tNTCP_header* header, const u8* payload) {
    NK_VALID_OR_RETURN_VOID();
    if (!header) return;
    {
        // S4: the connection's connect handling (item reset, start time, unit reset)
        // comes before its first packet.
        std::unique_lock<std::mutex> lock(mtxConnect_);
        cvConnect_.wait_for(lock, std::chrono::seconds(5), [&] { return connectDone_; });
    }
    std::printf("[%ld,NTCP:'%s' CTRL:'%s']\n", static_cast<long>(_index), fourCC(header->NTCP).c_str(),
                fourCC(header->CTRL).c_str());
    std::fflush(stdout);

    const auto it = _ctrlItemMap.find(header->CTRL);
    if (it == _ctrlItemMap.end()) {
        logRefusal(header->CTRL, kNKErr_invalidData);
        SendResponse(header, kNKErr_invalidData, nullptr, 0, kVL2);
        return;
    }
    // S3: a packet that needs a unit never runs on an earlier unit's data.
    if (header->CTRL != kVLRA_ctrl_tscr && !unitOpen_.load()) {
        if (const u16 failed = setupFailed_.load()) {
            answerFailedSetup(header, failed);
            return;
        }
        logRefusal(header->CTRL, kNKErr_invalidCondition);
        SendResponse(header, kNKErr_invalidCondition, nullptr, 0, kVL2);
        return;
    }
    {
        // A link taken back for another tester starts no work: it is closing.
        std::lock_guard<std::mutex> guard(mtxWork_);
        if (evicted_) return;
        inPacket_ = true;
    }
    struct WorkDone {
        CVLRA_cg_testSession* s;
        ~WorkDone() {
            std::lock_guard<std::mutex> guard(s->mtxWork_);
            s->inPacket_ = false;
            s->lastWork_ = std::chrono::steady_clock::now();
        }
    } done{this};
    it->second->handle_ntcp_packet(header, payload);
}

void CVLRA_cg_testSession::noteNewConnection() {
    NK_VALID_OR_RETURN_VOID();
    std::lock_guard<std::mutex> guard(mtxWork_);
    inPacket_ = false;
    evicted_ = false;
    lastWork_ = std::chrono::steady_clock::now();
}

double CVLRA_cg_testSession::idleSecondsLocked() const {
    if (inPacket_ || unitOpen_.load()) return -1.0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - lastWork_).count();
}

double CVLRA_cg_testSession::idleSeconds() const {
    std::lock_guard<std::mutex> guard(mtxWork_);
    return idleSecondsLocked();
}

bool CVLRA_cg_testSession::evictIfIdle(double limitSec) {
    NK_VALID_OR_RETURN(false);
    {
        // Decided under the lock the packet path takes: a packet either started
        // before (and the session is not idle) or finds the link taken back.
        std::lock_guard<std::mutex> guard(mtxWork_);
        if (evicted_ || !(idleSecondsLocked() > limitSec)) return false;
        evicted_ = true;
    }
    Close();
    return true;
}
