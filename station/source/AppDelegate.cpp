// The station program's delegate, without its window.
#include "AppDelegate.h"

#include <unistd.h>

#include <QSettings>
#include <algorithm>
#include <chrono>
#include <memory>

#include "CVLRA_cg_testSession.h"
#include "CVLRA_error.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_vdx.h"
#include "nk_velora_utils.h"
#include "nk_velora_wend.h"
#include "vdx.h"

#ifndef LUMBREL_VERSION
#define LUMBREL_VERSION "0.00.00"
#endif

const char* lumbrel_version() { return LUMBREL_VERSION; }

// ---------------------------------------------------------------- cDataHubServer

u16 cDataHubServer::onAccept(u32 socketName) {
    AppDelegate* owner = owner_.load();
    return owner ? owner->onAccept(socketName) : 0;
}

void cDataHubServer::onCloseServer(u32 socketName) {
    if (AppDelegate* owner = owner_.load()) owner->onCloseServer(socketName);
}

void cDataHubServer::onLogRelay(const char* text) {
    if (AppDelegate* owner = owner_.load()) owner->onLogRelay(text);
}

// ---------------------------------------------------------------- reference data

namespace {

// The part of a reference curve the items use: values 40 to 400.
constexpr size_t kRefFirst = 40;
constexpr size_t kRefEnd = 401;

// The first `channels` spectra of a response file, each cut to [40, 400]; empty
// when the file holds fewer channels or a channel shorter than 401 values.
void loadSensorResponse(CNK_logManager* lm, const std::string& path, size_t channels,
                        std::vector<std::vector<float>>& out) {
    out.clear();
    if (!nkFile_isFileExist(path)) return;
    std::vector<std::vector<double>> columns;
    nkFom_cg_loadTfromCsv(lm, path, columns);
    if (columns.empty()) return;  // the loader has said why
    bool usable = columns.size() >= channels;
    for (size_t c = 0; usable && c < channels; ++c) usable = columns[c].size() >= kRefEnd;
    if (!usable) {
        lm->printText(kVL1, "[Err] %s: fewer than %zu channels of %zu values, not used", path.c_str(), channels,
                      kRefEnd);
        return;
    }
    for (size_t c = 0; c < channels; ++c)
        out.emplace_back(columns[c].begin() + kRefFirst, columns[c].begin() + kRefEnd);
}

// A light-source database with every source cut to [40, 400]; empty when a source
// is shorter than 401 values.
void loadLightDatabase(CNK_logManager* lm, const std::string& path, std::vector<std::vector<double>>& out) {
    out.clear();
    if (!nkFile_isFileExist(path)) return;
    t_nkLightTable table;
    nkFom_wend_loadUserDatabase(lm, path.c_str(), table);
    for (const auto& row : table)
        if (row.size() < kRefEnd) {
            lm->printText(kVL1, "[Err] %s: a light source of fewer than %zu values, not used", path.c_str(), kRefEnd);
            return;
        }
    for (auto& row : table) {
        row.erase(row.begin() + kRefEnd, row.end());
        row.erase(row.begin(), row.begin() + kRefFirst);
    }
    out = std::move(table);
}

}  // namespace

void AppDelegate::loadReferenceData() {
    const std::string data = settings_.dataRoot + "/VdxDataFolder/";
    loadSensorResponse(_lm, data + "CorvaneSPRP.csv", 4, _snsrSptrResp_irrs_Corvane);
    loadSensorResponse(_lm, data + "TalvekSPRP.csv", 6, _snsrSptrResp_irrs_Talvek);
    _WhiteCGCorrectionFactor.clear();
    if (nkFile_isFileExist(data + "WhiteCGCorrectionFactor.csv"))
        nkFom_cg_loadWhiteCGCorrectionFactorfromCsv(_lm, data + "WhiteCGCorrectionFactor.csv", _WhiteCGCorrectionFactor);
    loadLightDatabase(_lm, settings_.resourceFolder + "/Testing_Dataset_4000_20170815.bin", lightDB_Corvane);
    loadLightDatabase(_lm, settings_.resourceFolder + "/VCRE_LS5100.bin", lightDB_Talvek);
}

// ---------------------------------------------------------------- AppDelegate

AppDelegate::AppDelegate(const lumbrel::StationSettings& settings, const StationSwitches& switches)
    : settings_(settings), switches_(switches) {
    _lm = new CNK_logManager();
    _lm->setVerboseLevel(kVL1);
    _lm->setLogRelay(&_eventSink);
    _server = new CNK_serverSocket(_lm);
}

AppDelegate::~AppDelegate() { applicationWillTerminate(); }

u16 AppDelegate::applicationDidFinishLaunching() {
    nkError_registerVlraError();
    _logPath_root = settings_.logRoot;
    _testScriptFile = settings_.scriptPath;
    loadReferenceData();
    _hostVersion = lumbrel_version();
    _isDevelopmentMode = switches_.development;
    // One permission for every record of the class, read and write; without it
    // the sessions and tools ask for none.
    if (!_vdxCert) {
        const t_nkVdxRequest requests[] = {{kNKVdx_CtCl, 1}, {kNKVdx_CtCl, 0}};
        _vdxCert = nkVdx_createVdxPermission(_lm, requests, 2, nullptr, kVL1);
    }

    for (int i = 0; i < kSessionCount; ++i) {
        auto* session = new CVLRA_cg_testSession(i, _logPath_root, _testScriptFile);
        _testSession.push_back(session);
        session->_hostVersion = _hostVersion;
        session->_appLogManager = _lm;
        session->_mtxCsvFile = &_mtxCsvFile;
        session->_weightMap = &_weightMap;
        session->_tp3Trans = &_tp3Trans;
        session->_kbResult = &_kbResult;
        session->_beam_T = &_beam_T;
        session->_measured_T = &_measured_T;
        session->_a_factors = &_a_factors;
        session->_snsrSptrResp_irrs_Corvane = &_snsrSptrResp_irrs_Corvane;
        session->_snsrSptrResp_irrs_Talvek = &_snsrSptrResp_irrs_Talvek;
        session->_WhiteCGCorrectionFactor = &_WhiteCGCorrectionFactor;
        session->_lightDB_Corvane = &lightDB_Corvane;
        session->_lightDB_Talvek = &lightDB_Talvek;
        session->_a_factor = &_a_factor;
        session->_vdxPermission = _vdxCert;
        session->_a_factor_LightSourceSN = _a_factor_LightSourceSN;
        session->_a_factor_SpectrometerSN[0] = _a_factor_SpectrometerSN[0];
        session->_a_factor_SpectrometerSN[1] = _a_factor_SpectrometerSN[1];
        session->updateOperatorSettings([&](t_vlraOperatorSettings& o) {
            o.isDevelopmentMode = _isDevelopmentMode;
            o.isHubrEnabled = switches_.hubrEnabled;
            o.vdxUploadOnFail = false;
            o.vdxDryRunPath = switches_.repositoryDryRun ? _logPath_root : std::string();
            o.vdxCaUrl = lumbrel::kDefaultVdxCaUrl;
            o.vdxDsSetUrl = lumbrel::kDefaultVdxDsUrl;
            o.vdxDsGetUrl = lumbrel::kDefaultVdxDsUrl;
            o.vdxTrustObjectUrl = lumbrel::kDefaultVdxTrustObjectUrl;
        });
        session->takeOperatorSnapshot();
    }
    _lm->printText(kVL1, "*** VDX Use Input Data for Testing");
    _lm->printText(kVL1, "*** VDX Disable Upload on Failure");
    _eventSink.setOwner(this);
    return 0;
}

u16 AppDelegate::launchServer() { return launchServer(settings_.port); }

u16 AppDelegate::launchServer(u16 port) {
    const u16 err = _server->Launch(port, &_eventSink);
    _lm->printText(kVL1, err == 0 ? "Data Server Launched" : "Server Launch Failed");
    return err;
}

bool AppDelegate::parseServerPort(const std::string& text, u16* port) {
    // Ports below 1024 belong to system services; the field is not trimmed.
    if (text.empty() || text.size() > 5) return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v < 1024 || v > 65535) return false;
    *port = u16(v);
    return true;
}

bool AppDelegate::startTool(CVLRA_vdxToolThread::t_job job) {
    if (!job) return false;
    // The tool thread joins a finished tool before it starts the next.
    return _vdxThread.start(std::move(job));
}

void AppDelegate::joinTool() {
    _vdxThread.requestStop();
    _vdxThread.join();
}

void AppDelegate::stopServer() {
    if (_server) _server->Close();
}

namespace {

using AcceptClock = std::chrono::steady_clock;

// How long a tester that arrives while every session is busy waits for one
// that is ending (a tester reconnecting right after its unit finds its own
// session still closing), and how long a close already under way may take.
constexpr auto kClosingWait = std::chrono::milliseconds(200);
constexpr auto kCloseFinishWait = std::chrono::seconds(5);

CVLRA_cg_testSession* firstIdle(const std::vector<CVLRA_cg_testSession*>& sessions) {
    for (CVLRA_cg_testSession* session : sessions)
        if (!session->isNtcpRunning()) return session;
    return nullptr;
}

}  // namespace

CVLRA_cg_testSession* AppDelegate::takeIdleSession() {
    // A session is idle only once its last connection's close handling is over
    // (the link runs until then), so a new tester never meets the previous unit.
    const auto start = AcceptClock::now();
    for (;;) {
        if (CVLRA_cg_testSession* idle = firstIdle(_testSession)) return idle;
        const auto waited = AcceptClock::now() - start;
        bool closing = false;
        for (CVLRA_cg_testSession* session : _testSession) closing |= session->isClosing();
        // A close under way is let finish; otherwise only the short wait.
        if (waited >= (closing ? std::chrono::duration_cast<AcceptClock::duration>(kCloseFinishWait)
                               : std::chrono::duration_cast<AcceptClock::duration>(kClosingWait)))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Every session is held: take back the one idle longest beyond the limit. One
    // inside a unit's work is never touched.
    std::vector<std::pair<double, CVLRA_cg_testSession*>> candidates;
    const double limit = double(settings_.idleLimitSec);
    for (CVLRA_cg_testSession* session : _testSession) {
        if (session->isClosing()) continue;
        const double idle = session->idleSeconds();
        if (idle > limit) candidates.emplace_back(idle, session);
    }
    std::sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [idle, session] : candidates) {
        if (!session->evictIfIdle(limit)) continue;
        _lm->printText(kVL1, "*** Session %ld idle for %.0f s closed for a waiting tester", session->sessionIndex(),
                       idle);
        const auto end = AcceptClock::now() + kCloseFinishWait;
        while (session->isNtcpRunning() && AcceptClock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return session->isNtcpRunning() ? nullptr : session;
    }
    return nullptr;
}

u16 AppDelegate::onAccept(u32) {
    _lm->printText(kVL1, "incoming connection");
    const int fd = _server->Accept();
    if (fd < 0) return 0;
    CVLRA_cg_testSession* idle = takeIdleSession();
    if (!idle) {
        _lm->printText(kVL1, "*** REJECT *** Server reach max connection");
        ::close(fd);
        return 0;
    }
    idle->noteNewConnection();
    const u16 err = idle->setSocket(fd, _lm, kVL1);
    if (err != 0) {
        _lm->printText(kVL1, "*** Server Error *** %s", nkError_getErrorString(err));
        ::close(fd);
    }
    return 0;
}

void AppDelegate::onCloseServer(u32) {
    _lm->printText(kVL1, "server socket closed");
    _lm->printText(kVL1, "Data Server Stopped");
    if (_window) postServerStopped();
    _lm->closeLogFile();
    for (CVLRA_cg_testSession* session : _testSession) session->Close();
}

void AppDelegate::onLogRelay(const char* text) {
    if (!text) return;
    std::lock_guard<std::mutex> guard(_mtxLogString);
    _logString.append(text);
    // Without a pane to drain it, keep the newest text only.
    if (_logString.size() > kLogStringCapacity) _logString.erase(0, _logString.size() - kLogStringCapacity / 2);
}

std::string AppDelegate::takeLogString() {
    std::lock_guard<std::mutex> guard(_mtxLogString);
    std::string out;
    out.swap(_logString);
    return out;
}

t_vlraCalcAOptions AppDelegate::calcAOptions(const std::string& inputFolder) const {
    t_vlraCalcAOptions o;
    o.inputFolder = inputFolder;
    o.outputFile = nkVlra_aFactorsCsvPath(settings_.dataRoot);
    o.scriptFile = _testScriptFile.empty() ? settings_.scriptPath : _testScriptFile;
    o.tempFolder = settings_.tempFolder;
    o.hostVersion = _hostVersion;
    o.lm = _lm;
    return o;
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_) return;
    terminated_ = true;
    if (_window) {
        storeWindowDefaults();
        stopTimers();
    }
    // The listener first, so no connection arrives while the sessions go.
    if (_server) {
        _server->Close();
        delete _server;
        _server = nullptr;
    }
    _eventSink.setOwner(nullptr);
    // Every link ends and its receive thread and close handling finish before
    // the sessions go.
    for (CVLRA_cg_testSession* session : _testSession) session->Close();
    for (CVLRA_cg_testSession* session : _testSession) session->closeAndWait();
    // A tool may still use the sessions and print through _lm.
    joinTool();
    if (_window) unbindCells();
    for (CVLRA_cg_testSession* session : _testSession) delete session;
    _testSession.clear();
    // No session or tool holds the permission any more.
    if (_vdxCert) {
        vdx_permission_release(_vdxCert);
        _vdxCert = nullptr;
    }
    // The log manager last: everything above prints through it.
    if (_lm) {
        _lm->setLogRelay(nullptr);
        delete _lm;
        _lm = nullptr;
    }
    if (_window) destroyWindow();
}
