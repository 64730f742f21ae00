// The station's test session: hands each tester packet to its item by control
// code, and holds the fields the items share for one unit under test.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nk_test.h"
#include "nk_testSession.h"

// Control codes, first character in the most significant byte.
constexpr u32 kVLRA_ctrl_tscr = 0x74736372;
constexpr u32 kVLRA_ctrl_atst = 0x61747374;
constexpr u32 kVLRA_ctrl_unif = 0x756E6966;
constexpr u32 kVLRA_ctrl_tsed = 0x74736564;

// Switches and endpoints the operator changes while testers run (S5). The
// session keeps them behind a lock; each "tscr" copies them into the unit's fields.
struct t_vlraOperatorSettings {
    bool isHubrEnabled = true;
    bool isDevelopmentMode = false;
    bool vdxUploadOnFail = false;
    std::string vdxDryRunPath;
    std::string vdxCaUrl, vdxDsSetUrl, vdxDsGetUrl, vdxTrustObjectUrl;
};

class CVLRA_cg_testSession : public CNK_testSession {
public:
    CVLRA_cg_testSession(long index, const std::string& logRoot, const std::string& scriptFile);
    ~CVLRA_cg_testSession() override;
    u16 setLogManager(CNK_logManager* lm) override;
    bool isReadyToTest(std::string& reason) override;
    void processNtcpPacket(const tNTCP_header* header, const u8* payload) override;
    void onNtcpConnect(u32 socketName) override;
    void onNtcpClose(u32 socketName) override;

    // Operator settings (S5).
    t_vlraOperatorSettings operatorSettings() const;
    template <typename F>
    void updateOperatorSettings(F change) {
        std::lock_guard<std::mutex> guard(mtxOperator_);
        change(operator_);
    }

    // S3: every per-unit field back to "no unit", and the unit's log file closed.
    void resetUnit();
    // Copies the operator settings into the unit's fields.
    void takeOperatorSnapshot();
    // A "tscr" made the unit's run folder: packets that need a unit may run.
    void markUnitOpen() { unitOpen_.store(true); }
    bool isUnitOpen() const { return unitOpen_.load(); }
    // A "tscr" whose folders could not be made: the unit's later packets are
    // answered with this code ("tsed" with 'F'), none runs.
    void markSetupFailed(u16 code) { setupFailed_.store(code); }
    u16 setupFailedCode() const { return setupFailed_.load(); }

    // Closes the link and waits until its receive thread and close handling are over.
    void closeAndWait();

    // The unit on its tester's cell button: the tester cell and the serial
    // number from its "tscr" on, then with its bin code until the next unit.
    void showUnitStart(const std::string& cellName, u8 cellId, const std::string& serialNumber);
    void showUnitEnd(char binCode);
    // A packet answered with a failure code: the code and its name go to the
    // window's log under the tester's cell, where the unit log alone had them.
    void logRefusal(u32 ctrl, u16 code);
    // Sessions are not free: one that a connection holds without doing a unit's
    // work may be taken back for a tester that waits. The accept thread marks a
    // new connection before handing it over, so its idle time starts there.
    void noteNewConnection();
    // Seconds since the link last did a unit's work (its start, or the end of a
    // packet an item handled); negative while a unit is open or an item runs.
    double idleSeconds() const;
    // Takes the session back when it is still idle more than `limitSec` seconds:
    // from then on no packet reaches an item, and the link is closed. False, and
    // nothing touched, when it is inside a unit's work.
    bool evictIfIdle(double limitSec);

    CNK_logManager* sessionLogManager() const { return _logManager; }
    long sessionIndex() const { return static_cast<long>(_index); }

    std::map<u32, CNK_testItem*> _ctrlItemMap;
    // Per-unit copies of the operator settings, taken at "tscr".
    bool _isHubrEnabled = true;
    bool _isDevelopmentMode = false;
    i32 _cgType = 255;
    i32 _cgColor = 255;
    std::string _testerName;
    u8 _testerCellId = 0;
    std::string _hostVersion;
    std::string _hostVersionColor;
    std::string _hubrHostVersion;
    std::string _cgSn;
    std::string _hubrStationMode;
    std::string _cgCalPath;
    std::string _logPath;
    std::string _unitLogsFolder;
    std::string _statisticsPath;
    std::string _vdxDataPath;
    void* _vdxPermission = nullptr;
    std::string _iqcMode;
    double _vdxVersion = -1.0;
    std::string _vdxDryRunPath;
    std::string _vdxCaUrl, _vdxDsSetUrl, _vdxDsGetUrl, _vdxTrustObjectUrl;
    bool _vdxUploadOnFail = false;
    CNK_logManager* _appLogManager = nullptr;
    std::mutex* _mtxCsvFile = nullptr;
    std::vector<std::vector<float>>* _weightMap = nullptr;
    std::vector<std::vector<float>>* _tp3Trans = nullptr;
    std::vector<std::vector<double>>* _kbResult = nullptr;
    std::vector<std::vector<float>>* _beam_T = nullptr;
    std::vector<std::vector<float>>* _measured_T = nullptr;
    std::vector<std::vector<double>>* _a_factors = nullptr;
    std::vector<std::vector<float>>* _snsrSptrResp_irrs_Corvane = nullptr;
    std::vector<std::vector<float>>* _snsrSptrResp_irrs_Talvek = nullptr;
    std::vector<double>* _WhiteCGCorrectionFactor = nullptr;
    std::vector<std::vector<double>>* _lightDB_Corvane = nullptr;
    std::vector<std::vector<double>>* _lightDB_Talvek = nullptr;
    std::vector<double>* _a_factor = nullptr;
    std::string _a_factor_LightSourceSN;
    std::string _a_factor_SpectrometerSN[2];
    std::atomic<bool> _isOfflineRun{false};
    float _unif_centroid_wl = 0.0f;
    float _unif_beam_size = 0.0f;
    float _unif_pixel_density = 0.0f;
    u16 _unif_img_w = 0;
    u16 _unif_img_h = 0;
    std::vector<float> _unif_t_map;
    std::vector<float> _final_wl;
    std::vector<std::vector<float>> _final_T;
    std::vector<float> _weighted_T;
    float _unitAFactor = 0.0f;
    u32 _total_test_point = 0;
    bool _hubrSessionStarted = false;
    bool _hubrAmIok = false;
    bool _UOPCheckPass = false;

private:
    void answerFailedSetup(const tNTCP_header* header, u16 code);

    mutable std::mutex mtxOperator_;
    t_vlraOperatorSettings operator_;
    std::atomic<bool> unitOpen_{false};
    std::atomic<u16> setupFailed_{0};
    // A unit's work against eviction: an item is running, when the link last
    // worked, and whether the link has been taken back.
    mutable std::mutex mtxWork_;
    bool inPacket_ = false;
    bool evicted_ = false;
    std::chrono::steady_clock::time_point lastWork_ = std::chrono::steady_clock::now();
    double idleSecondsLocked() const;
    // S4: packets wait until the connect handling of their connection is over.
    std::mutex mtxConnect_;
    std::condition_variable cvConnect_;
    bool connectDone_ = false;
};
