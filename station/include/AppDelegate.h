// The station program's delegate without its window: owns the log manager, the
// data server's listener and the sixteen test sessions for the program's life.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cvlra_calcA.h"
#include "cvlra_vdx_tools.h"
#include "nk_log.h"
#include "nk_socket.h"
#include "station_settings.h"

class AppDelegate;
class CVLRA_cg_testSession;
struct t_vlraOperatorSettings;
class ONK_TextBox;
class nk_view_automation;
class QCheckBox;
class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QSettings;
class QTimer;
class QWidget;

// Hands the listener's and the log manager's callbacks to the delegate; before
// the delegate takes ownership (launch) they reach nobody.
class cDataHubServer : public INK_serverSocketCallback, public INK_logRelay {
public:
    u16 onAccept(u32 socketName) override;
    void onCloseServer(u32 socketName) override;
    void onLogRelay(const char* text) override;
    void setOwner(AppDelegate* owner) { owner_.store(owner); }

private:
    std::atomic<AppDelegate*> owner_{nullptr};
};

// Operator switches that a running station starts with (S2).
struct StationSwitches {
    bool development = false;
    bool hubrEnabled = true;
    bool repositoryDryRun = false;
};

class AppDelegate {
public:
    static constexpr int kSessionCount = 16;
    // Relayed text kept for a log pane; older text is dropped beyond this.
    static constexpr size_t kLogStringCapacity = 1u << 20;

    // init: per-user defaults, the window log manager, the listener.
    AppDelegate(const lumbrel::StationSettings& settings, const StationSwitches& switches);
    // applicationWillTerminate.
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The launch steps that need no window: error codes, script path, reference
    // data, version, sessions. Both the headless and the window start run it.
    u16 applicationDidFinishLaunching();
    // Reference data of the test items, each table only if its file exists (a
    // missing file is no error), loaded in place so the sessions' pointers stay:
    //   <data root>/VdxDataFolder/CorvaneSPRP.csv   -> _snsrSptrResp_irrs_Corvane (4 channels)
    //   <data root>/VdxDataFolder/TalvekSPRP.csv    -> _snsrSptrResp_irrs_Talvek (6 channels)
    //   <data root>/VdxDataFolder/WhiteCGCorrectionFactor.csv -> _WhiteCGCorrectionFactor
    //   <resource folder>/Testing_Dataset_4000_20170815.bin -> lightDB_Corvane
    //   <resource folder>/VCRE_LS5100.bin                   -> lightDB_Talvek
    // Every sensor channel and light source keeps its values 40..400 (361); a table
    // with fewer channels, or a channel or source of fewer than 401 values, stays
    // empty. Run by applicationDidFinishLaunching
    // before any tester is served; never while sessions read the tables.
    void loadReferenceData();
    // Starts the listener on the configured port (or on `port`); prints "Data
    // Server Launched" or "Server Launch Failed".
    u16 launchServer();
    u16 launchServer(u16 port);
    void stopServer();

    // A port the operator typed: digits only, 1024 to 65535.
    static bool parseServerPort(const std::string& text, u16* port);

    // ---- The window: a second front end over the objects built above, made on
    // the GUI thread after applicationDidFinishLaunching. `store` holds the
    // per-user defaults the window reads and writes (the user's own when null).
    void createWindow(std::unique_ptr<QSettings> store = nullptr);
    bool hasWindow() const { return _window != nullptr; }

    // Operator actions; GUI thread only.
    void OnBtn_launchServer();
    void OnTxt_portNumber();
    void OnBtn_config();
    void OnBtn_config_dlgClose();
    void OnTxt_vdxCaUrl();
    void OnTxt_vdxDsSetUrl();
    void OnTxt_vdxDsGetUrl();
    void OnTxt_vdxTrObjUrl();
    void OnBtn_devMode();
    void OnBtn_hubrEnable();
    void OnBtn_vdxDryrunSelect();
    void OnBtn_vdxUploadonFail();
    void OnBtn_vdxTestOnRandomData();
    void OnBtn_vdxTestSet();
    void OnBtn_vdxLogLevel();
    void OnBtn_parseAtst();
    void OnBtn_parseUnif();
    // The a-factor calibration of the folder in _ctxt_calcABin, on _vdxThread.
    void OnBtn_CalcAfactor();
    // The repository tools on _vdxThread, each titling and disabling its button
    // until it ends: batch download of _ctxt_vdxSnInput, manual upload of the
    // records in _ctxt_vdxBinPathInput, validation of the cell folder in
    // _ctxt_vdxPath. None starts while another tool runs.
    void OnBtn_vdxTestGet();
    void OnBtn_vdxManualSet();
    void OnBtn_ValidateVDXData();
    // Moves relayed log text into the pane and shows the memory in use.
    void OnTimer33();
    void OnTimer1000();

    // Runs `job` on _vdxThread, one tool at a time: false while one runs. A
    // finished thread is joined first; `job` ends early once its stop flag is set.
    bool startTool(CVLRA_vdxToolThread::t_job job);
    // Asks a running tool to stop and joins it.
    void joinTool();
    // Set while a tool runs, on the tool thread or the GUI thread.
    bool isThreadRunning() const { return _vdxThread.isRunning(); }

    // The session a new tester gets: an idle one, else one that frees within a
    // moment, else the one idle longest beyond the idle limit; null when none.
    CVLRA_cg_testSession* takeIdleSession();
    u16 onAccept(u32 socketName);
    void onCloseServer(u32 socketName);
    void onLogRelay(const char* text);
    std::string takeLogString();

    void applicationWillTerminate();

    // The a-factor calibration of the cell folder `inputFolder` on this station's
    // roots, script and log (run it with nkVlra_calcAFactors on the tool thread).
    t_vlraCalcAOptions calcAOptions(const std::string& inputFolder) const;

    const std::vector<CVLRA_cg_testSession*>& sessions() const { return _testSession; }
    CNK_logManager* logManager() const { return _lm; }
    const std::string& hostVersion() const { return _hostVersion; }

private:
    lumbrel::StationSettings settings_;
    StationSwitches switches_;

public:
    CNK_logManager* _lm = nullptr;
    CNK_serverSocket* _server = nullptr;
    cDataHubServer _eventSink;
    std::vector<CVLRA_cg_testSession*> _testSession;
    std::string _logString;
    std::mutex _mtxLogString;
    std::mutex _mtxCsvFile;
    std::string _logPath_root;
    std::string _testScriptFile;
    std::string _hostVersion;

    // Reference and calibration tables, handed to the sessions by address; empty
    // until their loaders and the calibration tool fill them.
    std::vector<std::vector<float>> _snsrSptrResp_irrs_Corvane;
    std::vector<std::vector<float>> _snsrSptrResp_irrs_Talvek;
    std::vector<double> _WhiteCGCorrectionFactor;
    std::vector<std::vector<double>> lightDB_Corvane;
    std::vector<std::vector<double>> lightDB_Talvek;
    std::vector<std::vector<float>> _weightMap;
    std::vector<std::vector<float>> _tp3Trans;
    std::vector<std::vector<double>> _kbResult;
    std::vector<double> _a_factor;
    std::vector<std::vector<float>> _beam_T;
    std::vector<std::vector<float>> _measured_T;
    std::vector<std::vector<double>> _a_factors;
    std::string _a_factor_LightSourceSN;
    std::string _a_factor_SpectrometerSN[2];
    bool _isDevelopmentMode = false;

    // Window outlets (null without a window). The widgets carry these names as
    // their objectName.
    QMainWindow* _window = nullptr;
    QWidget* _view_automation = nullptr;
    // The sixteen test cells, bound to the sessions in order; placed in _view_automation.
    nk_view_automation* _automation = nullptr;
    ONK_TextBox* _ctxt_log = nullptr;
    QLabel* _txt_memUsage = nullptr;
    QLabel* _txt_testInfo = nullptr;
    QLineEdit* _ctxt_port = nullptr;
    QPushButton* _cbtn_launch = nullptr;
    QPushButton* _cbtn_config = nullptr;
    QCheckBox* _cbtn_devMode = nullptr;
    QCheckBox* _cbtn_hubrEnable = nullptr;
    QComboBox* _ccmb_vdxLogLevel = nullptr;
    QCheckBox* _cbtn_vdxTestOnRandomData = nullptr;
    QCheckBox* _cbtn_vdxUploadOnFail = nullptr;
    QCheckBox* _cbtn_vdxDryrun = nullptr;
    QCheckBox* _cbtn_vdxTestSet = nullptr;
    QLineEdit* _ctxt_vdxSnInput = nullptr;
    QLineEdit* _ctxt_vdxBinPathInput = nullptr;
    QLineEdit* _ctxt_vdxPath = nullptr;
    QPushButton* _cbtn_vdxManualSet = nullptr;
    QPushButton* _cbtn_vdxTestGet = nullptr;
    QPushButton* _cbtn_vdxValidate = nullptr;
    QLineEdit* _ctxt_calcABin = nullptr;
    QPushButton* _cbtn_calcA = nullptr;
    QDialog* _cdlg_config = nullptr;
    QPushButton* _cbtn_configClose = nullptr;
    QLineEdit* _ctxt_vdxCaUrl = nullptr;
    QLineEdit* _ctxt_vdxDsSetUrl = nullptr;
    QLineEdit* _ctxt_vdxDsGetUrl = nullptr;
    QLineEdit* _ctxt_vdxTrObjUrl = nullptr;
    QLineEdit* _ctxt_atstBin = nullptr;
    QLineEdit* _ctxt_unifBin = nullptr;
    QPushButton* _cbtn_parseAtst = nullptr;
    QPushButton* _cbtn_parseUnif = nullptr;
    QTimer* _timer33 = nullptr;
    QTimer* _timer1000 = nullptr;
    bool _cdlg_isOpen_config = false;

    // The repository permission of the tools and sessions, from launch to termination.
    vdx_permission* _vdxCert = nullptr;
    // The repository and calibration tools' worker.
    CVLRA_vdxToolThread _vdxThread;

private:
    // Aborts unless called on the GUI thread: widgets belong to it.
    void requireGuiThread(const char* function) const;
    void storeDefault(const char* key, const std::string& value);
    void applyUrl(QLineEdit* field, const char* key, std::string t_vlraOperatorSettings::*member);
    void storeWindowDefaults();
    // What a repository tool reads of the window, taken when its button is pressed.
    t_vdxToolSettings toolSettings() const;
    // Runs `job` on the tool thread with `button` disabled until the job ends;
    // false (logged with `what`) while a tool runs.
    bool startButtonTool(QPushButton* button, const char* what, CVLRA_vdxToolThread::t_job job);
    void stopTimers();
    // The listener closed: the launch button and the port field return, on the GUI thread.
    void postServerStopped();
    // The cells stop listening to the sessions before these go.
    void unbindCells();
    void destroyWindow();

    bool terminated_ = false;
    std::unique_ptr<QSettings> store_;
};

// The program's short version, d.dd.dd, from the build.
const char* lumbrel_version();
