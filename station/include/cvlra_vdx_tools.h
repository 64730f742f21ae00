// The operator's repository tools, without their window: batch download of a
// list of serial numbers, manual upload of a folder of records with read-back,
// validation of one unit and of a tester cell's data folder, and the older batch
// download. The window takes a settings snapshot when a button is pressed and
// runs a tool on its tool thread (CVLRA_vdxToolThread), one tool at a time; the
// tools report progress through a callback (the button's title) and stop before
// their next unit once the stop flag is set.
//
// Fixed folders, all under the data root:
//   vdxDataGet/  batch download output: "<sn>_CtCl.bin", "cg_vdxGet.csv", "vdx.log"
//   vdxData/     manual upload input: "<sn>_CtCl.bin" or "<sn>_CtCl0.bin"
//   vdxDataDry/  the dry-run folder handed to the repository access
//   vdxDataV2/, vdxDataV3/, CGResource/vdxCheck.csv  the older batch download
// Log files of a run ("vdxGet.log", "vdxPost.log", "vdx.log", "cg_vdxGet.csv" of
// the older download) lie in the application folder (the station's log root).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "cvlra_vdx_check.h"
#include "nk_log.h"
#include "nk_typedef.h"

struct vdx_permission;

// What a tool reads of the station, copied when it starts: later edits of the
// window's fields do not reach a running tool.
struct t_vdxToolSettings {
    CNK_logManager* lm = nullptr;  // the window's log manager
    std::string caUrl;
    std::string dsSetUrl;          // uploads and the downloads of the batch tools
    std::string dsGetUrl;          // the upload's read-back
    std::string trustObjectUrl;
    bool dryRun = false;           // the dry-run box
    vdx_permission* permission = nullptr;  // the station's repository permission
    std::string dataRoot;          // the fixed folders above lie under it
    std::string uploadFolder;      // the upload's records ("": <data root>/vdxData)
    std::string appFolder;         // the application folder: the tools' log files
    std::string windowLogFile;     // the window log's own file, given back at the end ("" closes it)
};

// The progress text of a running tool (the button's title).
using t_vdxToolProgress = std::function<void(const std::string& title)>;

// The outcome of a tool run.
struct t_vdxToolResult {
    u16 code = 0;      // 0 when the run and every unit passed, else the first failure's code
    int units = 0;     // serial numbers, records or units found
    int done = 0;      // of them handled before the end or a stop
    int failed = 0;    // of them failed
    bool stopped = false;
};

// The fixed folders under a data root.
std::string vdxTool_getFolder(const t_vdxToolSettings& settings);   // <data root>/vdxDataGet
std::string vdxTool_postFolder(const t_vdxToolSettings& settings);  // the upload folder, or <data root>/vdxData
std::string vdxTool_dryFolder(const t_vdxToolSettings& settings);   // <data root>/vdxDataDry

// The serial numbers of `input`: when it contains ".csv" the lines of that file
// (separator "\r\n", else "\r", else "\n"; blank lines skipped), else `input`
// itself. 0, 0xE040 for a missing file, 0xE043 for one that cannot be read and 13
// for one beyond 16 MiB.
u16 vdxTool_serialNumbers(CNK_logManager* lm, const std::string& input, std::vector<std::string>& out);

// Batch download (the window's "VDX DL" button): every serial number of `input`
// is downloaded into vdxDataGet/ as "<sn>_CtCl.bin", checked for size and
// version (major 2 or 3, minor 0 or 1) and given one row of
// "SerialNumber,StartTime,ErrCode,ErrString,VDXVer" in vdxDataGet/cg_vdxGet.csv.
// A serial number that cannot name a file gets code 5 in its row. Titles
// "VDX DL ....", "VDX DL i/n", then "VDX DL Pass!!!" or "VDX DL Failed!!!".
t_vdxToolResult vdxTool_batchDownload(const t_vdxToolSettings& settings, const std::string& input,
                                      const t_vdxToolProgress& progress, const std::atomic<bool>& stop);

// Manual upload with read-back (the "VDX Uploading" button): every record file
// of vdxData/ ("<key>_CtCl.bin" or "<key>_CtCl0.bin") is uploaded under <key>
// through the data-store set URL, read back through the get URL and compared
// byte for byte ("Size Mismatch", "Binary Mismatch": 503). The upload always goes
// to the repository: `applyDryRun(false)` is called first, and
// `applyDryRun(settings.dryRun)` at the end gives the window its choice back.
t_vdxToolResult vdxTool_manualUpload(const t_vdxToolSettings& settings, const std::function<void(bool)>& applyDryRun,
                                     const t_vdxToolProgress& progress, const std::atomic<bool>& stop);

// Validation of one unit into its log folder (AppDelegate::validateVDX): the
// record from the repository, or in a dry run "<sn>_CtCl.bin" / "<sn>_CtCl0.bin"
// from `logFolder`, copied to "<sn>_CtClx.bin", exported as CSV by version and
// judged (2.0, 3.0 pass; 2.1, 3.x pass with a note; other majors 503).
u16 vdxTool_validateUnit(const t_vdxToolSettings& settings, const std::string& serialNumber,
                         const std::string& logFolder, bool dryRun);

// Validation of a tester cell's data folder (the "Validate" button): every unit
// row of the CSV files in "<folder>/Statistics/" whose log folder
// "<folder>/LogsFolder/<sn>/<yyyyMMddHHmmss of timeStamp>/" exists is validated
// with vdxTool_validateUnit and `settings.dryRun`. The window log goes to
// "<folder>/vdxValidation.log" meanwhile. Without a "Statistics" subfolder nothing
// is validated. 0xE041 when the folder is missing or empty.
t_vdxToolResult vdxTool_validateCellFolder(const t_vdxToolSettings& settings, const std::string& folder,
                                           const std::atomic<bool>& stop);

// The older batch download (no button reaches it): the serial numbers of
// CGResource/vdxCheck.csv under the data root are downloaded and judged as in the
// batch download, without saving the records; one row each in
// "<app folder>/cg_vdxGet.csv" ("SerialNumber,StartTime,VDX_RETRIEVE,VDX_POST,
// VDX_CONFIRMATION").
t_vdxToolResult vdxTool_olderBatchDownload(const t_vdxToolSettings& settings, const t_vdxToolProgress& progress,
                                           const std::atomic<bool>& stop);

// The station's one tool thread: at most one tool runs at a time, on this
// thread or (the validation) on the caller's; a start while one runs is refused.
class CVLRA_vdxToolThread {
public:
    using t_job = std::function<void(const std::atomic<bool>& stop)>;

    CVLRA_vdxToolThread() = default;
    ~CVLRA_vdxToolThread();  // stops a running tool and waits for it
    CVLRA_vdxToolThread(const CVLRA_vdxToolThread&) = delete;
    CVLRA_vdxToolThread& operator=(const CVLRA_vdxToolThread&) = delete;

    // Starts `job` on the tool thread; false, and nothing started, while a tool runs.
    bool start(t_job job);
    // Runs `job` on the caller's thread; false, and nothing run, while a tool runs.
    bool runHere(const t_job& job);
    bool isRunning() const { return running_.load(); }
    // Asks the running tool to stop before its next unit.
    void requestStop() { stop_.store(true); }
    // Waits for the tool thread to end.
    void join();

private:
    std::mutex mutex_;  // start, runHere and join
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
};
