// The operator's repository tools without their window; see cvlra_vdx_tools.h.
#include "cvlra_vdx_tools.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "CVLRA_cg_vdx.h"
#include "cvlra_tscr.h"
#include "nk_csv.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_utils.h"
#include "nk_velora_log.h"

namespace {

constexpr u64 kMaxListBytes = 16u << 20;    // a list of serial numbers, generously
constexpr u64 kMaxRecordBytes = 1u << 20;   // an upload file; records are 8106 bytes
constexpr auto kUnitPause = std::chrono::milliseconds(100);

CNK_logManager* usable(CNK_logManager* lm) { return nkObj_isValid(lm) ? lm : nullptr; }

using nk_velora::logValid;

#define VDX_TOOL_REPORT(lm, code, cond) \
    nkDebug_printError(usable(lm), __FILE__, nullptr, __func__, __LINE__, (uint16_t)(code), (cond))

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void show(const t_vdxToolProgress& progress, const char* format, ...) __attribute__((format(printf, 2, 3)));
void show(const t_vdxToolProgress& progress, const char* format, ...) {
    if (!progress) return;
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    progress(text);
}

// Text of a list or a tester as one cell of a result row: nothing in it may start
// a new cell or a new line.
std::string csvCell(const std::string& text) {
    std::string cell = nkVlra_printable(text);
    std::replace(cell.begin(), cell.end(), ',', '.');
    return cell;
}

// Points the window log's file at `path` for a run and gives the window its own
// file back at the end of the run, on every path.
class LogFileForRun {
public:
    LogFileForRun(const t_vdxToolSettings& settings, const std::string& path) : settings_(settings) {
        if (usable(settings_.lm)) settings_.lm->setLogFileName(path.c_str());
    }
    ~LogFileForRun() {
        if (!usable(settings_.lm)) return;
        // Without a file of its own the window log stops writing to any: later
        // units and server starts never land in this run's log.
        if (settings_.windowLogFile.empty())
            settings_.lm->closeLogFile();
        else
            settings_.lm->setLogFileName(settings_.windowLogFile.c_str());
    }
    LogFileForRun(const LogFileForRun&) = delete;
    LogFileForRun& operator=(const LogFileForRun&) = delete;

private:
    const t_vdxToolSettings& settings_;
};

// A result CSV opened for appending, with its header written when it is new.
class ResultCsv {
public:
    ResultCsv(CNK_logManager* lm, const std::string& path, const char* header) : lm_(lm) {
        const bool existed = nkFile_isFileExist(path);
        fp_ = std::fopen(path.c_str(), "a");
        if (!fp_) {
            VDX_TOOL_REPORT(lm_, kNKErr_fileOpenFailed, "fp_csv!=NULL");
            return;
        }
        if (!existed) row(header);
    }
    ~ResultCsv() {
        if (fp_) std::fclose(fp_);
    }
    ResultCsv(const ResultCsv&) = delete;
    ResultCsv& operator=(const ResultCsv&) = delete;

    bool isOpen() const { return fp_ != nullptr; }
    // One whole line; false (reported) when it could not be written.
    bool row(const std::string& line) {
        if (!fp_) return false;
        if (std::fputs(line.c_str(), fp_) < 0 || std::fflush(fp_) != 0) {
            VDX_TOOL_REPORT(lm_, kNKErr_fileWriteFailed, "fputs(row)>=0");
            return false;
        }
        return true;
    }

private:
    CNK_logManager* lm_;
    FILE* fp_ = nullptr;
};

std::string formatRow(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatRow(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, format, again);
    va_end(again);
    return out;
}

t_cgVdxEndpoint downloadEndpoint(const t_vdxToolSettings& s) {
    t_cgVdxEndpoint e;
    e.caUrl = s.caUrl;
    e.dsUrl = s.dsSetUrl;
    e.trustObjectUrl = s.trustObjectUrl;
    e.dryRunFolder = s.dryRun ? vdxTool_dryFolder(s) : std::string();
    e.permission = s.permission;
    return e;
}

// One unit of the batch downloads: download, save when `saveFolder` is given,
// size and version. `version` gets "major.minor" once the size passed.
u16 downloadAndJudge(const t_vdxToolSettings& s, const std::string& sn, const std::string& repositoryLog,
                     const std::string& saveFolder, std::string& version) {
    CNK_logManager* lm = s.lm;
    version.clear();
    if (!cgVdx_isSerialNumberValid(sn)) {
        logValid(lm, "[Err] serial number '%s' cannot name a repository key", nkVlra_printable(sn).c_str());
        VDX_TOOL_REPORT(lm, kNKErr_invalidParam, "cgVdx_isSerialNumberValid(sn)");
        return kNKErr_invalidParam;
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<u8> bytes;
    u16 rc = cgVdx_download(lm, downloadEndpoint(s), sn, repositoryLog, bytes);
    logValid(lm, "* IQC VDX Retrieve Finish in %fs", secondsSince(t0));
    if (rc != kNKErr_OK) {
        VDX_TOOL_REPORT(lm, rc, "nkVdx_getData()==0");
        return rc;
    }
    if (!saveFolder.empty() && !bytes.empty()) {
        const std::string path = saveFolder + "/" + sn + "_CtCl.bin";
        rc = nkUtil_saveBitStream(usable(lm), path.c_str(), bytes.data(), static_cast<int>(bytes.size()), kVL1);
        if (rc != kNKErr_OK) {
            VDX_TOOL_REPORT(lm, rc, "nkUtil_saveBitStream()==0");
            return rc;
        }
    }
    t_cgCalData record;
    rc = cgVdx_checkReceived(lm, bytes, &record);
    if (rc != kNKErr_OK) return rc;
    version = formatRow("%d.%d", record.versionMajor, record.versionMinor);
    return cgVdx_batchVersionVerdict(lm, record);
}

void countUnit(t_vdxToolResult& result, u16 code) {
    ++result.done;
    if (code == kNKErr_OK) return;
    ++result.failed;
    if (result.code == kNKErr_OK) result.code = code;
}

// A run passes only when it handled every unit and none failed.
bool passed(const t_vdxToolResult& result) {
    return result.code == kNKErr_OK && !result.stopped && result.failed == 0 && result.done == result.units;
}

void logTally(CNK_logManager* lm, const char* what, const t_vdxToolResult& result) {
    logValid(lm, "* %s: %d of %d handled, %d failed%s", what, result.done, result.units, result.failed,
        result.stopped ? ", stopped" : "");
}

bool pauseOrStop(const std::atomic<bool>& stop) {
    std::this_thread::sleep_for(kUnitPause);
    return stop.load();
}

}  // namespace

std::string vdxTool_getFolder(const t_vdxToolSettings& settings) { return settings.dataRoot + "/vdxDataGet"; }
std::string vdxTool_postFolder(const t_vdxToolSettings& settings) {
    return settings.uploadFolder.empty() ? settings.dataRoot + "/vdxData" : settings.uploadFolder;
}
std::string vdxTool_dryFolder(const t_vdxToolSettings& settings) { return settings.dataRoot + "/vdxDataDry"; }

u16 vdxTool_serialNumbers(CNK_logManager* lm, const std::string& input, std::vector<std::string>& out) {
    out.clear();
    if (input.find(".csv") == std::string::npos) {
        out.push_back(input);
        return kNKErr_OK;
    }
    if (!nkFile_isFileExist(input)) {
        logValid(lm, "[ERROR] %s doesn't exsit!", input.c_str());
        VDX_TOOL_REPORT(lm, kNKErr_fileNotExist, "nkFile_isFileExist(snList)");
        return kNKErr_fileNotExist;
    }
    logValid(lm, "* Load SN List");
    FILE* fp = std::fopen(input.c_str(), "rb");
    const u64 size = fp ? nkFile_getFileSize(fp) : 0;
    if (fp && size > kMaxListBytes) {
        std::fclose(fp);
        VDX_TOOL_REPORT(lm, kNKErr_invalidDataSize, "size<=16MiB");
        return kNKErr_invalidDataSize;
    }
    std::string text(static_cast<size_t>(size), '\0');
    const bool good = fp && std::fread(text.data(), 1, text.size(), fp) == text.size();
    if (fp) std::fclose(fp);
    if (!good) {
        VDX_TOOL_REPORT(lm, kNKErr_fileOpenFailed, "csvFile.good()");
        return kNKErr_fileOpenFailed;
    }
    const char* separator = text.find("\r\n") != std::string::npos ? "\r\n"
                            : text.find('\r') != std::string::npos ? "\r"
                                                                    : "\n";
    text += separator;
    const size_t step = std::char_traits<char>::length(separator);
    for (size_t from = 0, at; (at = text.find(separator, from)) != std::string::npos; from = at + step)
        if (at > from) out.push_back(text.substr(from, at - from));
    return kNKErr_OK;
}

t_vdxToolResult vdxTool_batchDownload(const t_vdxToolSettings& s, const std::string& input,
                                      const t_vdxToolProgress& progress, const std::atomic<bool>& stop) {
    CNK_logManager* lm = s.lm;
    t_vdxToolResult result;
    show(progress, "VDX DL ....");
    const std::string outFolder = vdxTool_getFolder(s);
    nkFile_mkdir(outFolder.c_str());
    nkFile_mkdir(vdxTool_dryFolder(s).c_str());
    LogFileForRun logFile(s, s.appFolder + "/vdxGet.log");

    std::vector<std::string> serials;
    result.code = vdxTool_serialNumbers(lm, input, serials);
    if (result.code == kNKErr_OK) {
        ResultCsv csv(lm, outFolder + "/cg_vdxGet.csv", "SerialNumber,StartTime,ErrCode,ErrString,VDXVer\n");
        if (!csv.isOpen()) result.code = kNKErr_fileOpenFailed;
        result.units = csv.isOpen() ? static_cast<int>(serials.size()) : 0;
        for (int i = 0; i < result.units; ++i) {
            if (stop.load()) {
                result.stopped = true;
                break;
            }
            const std::string& sn = serials[static_cast<size_t>(i)];
            show(progress, "VDX DL %d/%d", i, result.units);
            const std::string start = nkUtil_getTimestampStr(0);
            logValid(lm, "* GET VDX data for %s\n", nkVlra_printable(sn).c_str());
            std::string version;
            const u16 code = downloadAndJudge(s, sn, outFolder + "/vdx.log", outFolder, version);
            countUnit(result, code);
            if (!csv.row(formatRow("%s,%s,%d,%s,%s\n", csvCell(sn).c_str(), start.c_str(), code,
                                   nkError_getErrorString(code), version.c_str()))) {
                if (result.code == kNKErr_OK) result.code = kNKErr_fileWriteFailed;
                break;
            }
            if (pauseOrStop(stop) && i + 1 < result.units) {
                result.stopped = true;
                break;
            }
        }
    }
    logTally(lm, "VDX DL", result);
    show(progress, passed(result) ? "VDX DL Pass!!!" : "VDX DL Failed!!!");
    return result;
}

t_vdxToolResult vdxTool_manualUpload(const t_vdxToolSettings& s, const std::function<void(bool)>& applyDryRun,
                                     const t_vdxToolProgress& progress, const std::atomic<bool>& stop) {
    CNK_logManager* lm = s.lm;
    t_vdxToolResult result;
    show(progress, "VDX Uploading ....");
    // A manual upload always reaches the repository; the sessions follow the box meanwhile.
    if (applyDryRun) applyDryRun(false);
    nkFile_mkdir(vdxTool_dryFolder(s).c_str());
    {
        LogFileForRun logFile(s, s.appFolder + "/vdxPost.log");
        const std::string folder = vdxTool_postFolder(s);
        if (!nkFile_isFileExist(folder)) {
            logValid(lm, "* VDX Data Folder not Exist!");
            VDX_TOOL_REPORT(lm, kNKErr_fileNotExist, "nkFile_isFileExist(vdxDataFolder)");
            result.code = kNKErr_fileNotExist;
        } else {
            logValid(lm, "* VDX Data Folder %s", folder.c_str());
            // The key is the file name without its record suffix.
            std::vector<std::pair<std::string, std::string>> records;  // key, file name
            for (const INK_dirEntry& e : nkDir_getDirEntry(folder)) {
                if (e.type != INK_dirEntry::kFile) continue;
                for (const char* suffix : {"_CtCl.bin", "_CtCl0.bin"}) {
                    const size_t n = std::char_traits<char>::length(suffix);
                    if (e.name.size() >= n && e.name.compare(e.name.size() - n, n, suffix) == 0) {
                        records.emplace_back(e.name.substr(0, e.name.size() - n), e.name);
                        break;
                    }
                }
            }
            std::sort(records.begin(), records.end(),
                      [](const auto& a, const auto& b) { return a.second < b.second; });
            result.units = static_cast<int>(records.size());

            t_cgVdxEndpoint put;
            put.caUrl = s.caUrl;
            put.dsUrl = s.dsSetUrl;
            put.trustObjectUrl = s.trustObjectUrl;
            put.permission = s.permission;
            t_cgVdxEndpoint readBack = put;
            readBack.dsUrl = s.dsGetUrl;
            const std::string repositoryLog = s.appFolder + "/vdx.log";

            for (int i = 0; i < result.units; ++i) {
                if (stop.load()) {
                    result.stopped = true;
                    break;
                }
                const auto& [key, name] = records[static_cast<size_t>(i)];
                const std::string path = folder + "/" + name;
                show(progress, "VDX Uploading ... %d/%d", i, result.units);
                logValid(lm, "* Post for %s\n", nkVlra_printable(key).c_str());
                logValid(lm, "* Post Data Path %s\n", nkVlra_printable(path).c_str());
                u16 code = kNKErr_OK;
                std::vector<u8> bytes;
                const u64 size = nkFile_getFileSize(path);
                if (size > kMaxRecordBytes) {
                    logValid(lm, "[Err] Invalid VDX Data Path");
                    VDX_TOOL_REPORT(lm, kNKErr_invalidDataSize, "size<=1MiB");
                    code = kNKErr_invalidDataSize;
                } else if ((bytes = nkFile_readFile(path)).empty()) {
                    logValid(lm, "[Err] Invalid VDX Data Path");
                    code = kNKErr_invalidData;
                }
                if (code == kNKErr_OK) {
                    auto t0 = std::chrono::steady_clock::now();
                    code = cgVdx_upload(lm, put, key, bytes, repositoryLog);
                    logValid(lm, "* VDX Post Finish in %fs", secondsSince(t0));
                    std::vector<u8> back;
                    if (code == kNKErr_OK) {
                        logValid(lm, "* VDX Data Confirmation");
                        t0 = std::chrono::steady_clock::now();
                        code = cgVdx_download(lm, readBack, key, repositoryLog, back);
                        logValid(lm, "* VDX Post Finish in %fs", secondsSince(t0));
                    }
                    if (code == kNKErr_OK) {
                        if (back.size() != bytes.size()) {
                            logValid(lm, "[Err] VDX Retrieval Data Size Mismatch");
                            code = kNKErr_vdx_dataCheckFailed;
                        } else {
                            logValid(lm, "* VDX Data Size Comparison Pass");
                            if (back != bytes) {
                                logValid(lm, "[Err] VDX Retrieval Data Binary Mismatch");
                                code = kNKErr_vdx_dataCheckFailed;
                            } else {
                                logValid(lm, "* VDX Data Content Comparison Pass");
                            }
                        }
                    }
                }
                countUnit(result, code);
                if (code == kNKErr_OK && pauseOrStop(stop) && i + 1 < result.units) {
                    result.stopped = true;
                    break;
                }
            }
        }
        logTally(lm, "VDX Uploading", result);
    }
    show(progress, passed(result) ? "VDX Uploading Pass!!!" : "VDX Uploading Failed!!!");
    if (applyDryRun) applyDryRun(s.dryRun);
    return result;
}

u16 vdxTool_validateUnit(const t_vdxToolSettings& s, const std::string& serialNumber, const std::string& logFolder,
                         bool dryRun) {
    nkFile_mkdir(vdxTool_dryFolder(s).c_str());
    std::string folder = logFolder;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const t_cgVdxEndpoint e = downloadEndpoint(s);
    t_vlraVdxSource source;
    source.caUrl = e.caUrl;
    source.dsUrl = e.dsUrl;
    source.trustObjectUrl = e.trustObjectUrl;
    source.repositoryDryRunFolder = e.dryRunFolder;
    source.permission = e.permission;
    source.repositoryLogFolder = folder;
    source.acceptCtCl0 = true;  // the tool also takes the record as the item received it
    t_cgCalData record;
    if (const u16 rc = nkVlra_fetchVdxForValidation(s.lm, serialNumber, folder, dryRun, source, &record)) return rc;
    if (const u16 rc = cgVdx_exportTables(s.lm, record, folder, serialNumber)) return rc;
    return nkVlra_vdxValidationVerdict(s.lm, record);
}

t_vdxToolResult vdxTool_validateCellFolder(const t_vdxToolSettings& s, const std::string& folder,
                                           const std::atomic<bool>& stop) {
    CNK_logManager* lm = s.lm;
    t_vdxToolResult result;
    // "." and ".." are two of the entries: an empty folder has nothing to validate.
    const std::vector<INK_dirEntry> entries = nkDir_getDirEntry(folder);
    if (folder.empty() || entries.size() <= 2) {
        logValid(lm, "[Err] VDX validation folder %s is missing or empty", nkVlra_printable(folder).c_str());
        VDX_TOOL_REPORT(lm, kNKErr_pathNotExist, "nkFile_getDirEntryCount(vdxPath)>2");
        result.code = kNKErr_pathNotExist;
        return result;
    }
    LogFileForRun logFile(s, folder + "/vdxValidation.log");
    const bool hasStatistics = std::any_of(entries.begin(), entries.end(), [](const INK_dirEntry& e) {
        return e.type == INK_dirEntry::kDir && e.name.find("Statistics") != std::string::npos;
    });
    if (!hasStatistics) {
        logValid(lm, "* VDX validation: no Statistics folder in %s", nkVlra_printable(folder).c_str());
        return result;
    }

    struct Unit {
        std::string sn, tester, socketId, logFolder;
    };
    std::vector<Unit> units;
    const std::string statistics = folder + "/Statistics";
    std::vector<std::string> csvNames;
    for (const INK_dirEntry& e : nkDir_getDirEntry(statistics))
        if (e.type == INK_dirEntry::kFile && e.name.find(".csv") != std::string::npos) csvNames.push_back(e.name);
    std::sort(csvNames.begin(), csvNames.end());
    for (const std::string& name : csvNames) {
        CNK_csvParser csv(usable(lm));
        csv.load((statistics + "/" + name).c_str(), kVL2);
        const int snCol = csv.findColIdx("SerialNumber"), testerCol = csv.findColIdx("TesterID");
        const int timeCol = csv.findColIdx("timeStamp"), errCol = csv.findColIdx("errCode");
        const int configCol = csv.findColIdx("config");
        if (snCol < 0 || testerCol < 0 || timeCol < 0 || errCol < 0) {
            logValid(lm, "[Err] %s lacks a SerialNumber, TesterID, timeStamp or errCode column",
                nkVlra_printable(name).c_str());
            continue;
        }
        for (int r = 0; r < csv.getDataRow(); ++r) {
            const std::string sn = csv.getStr(r, snCol);
            if (!cgVdx_isSerialNumberValid(sn)) {
                logValid(lm, "[Err] serial number '%s' cannot name a folder", nkVlra_printable(sn).c_str());
                ++result.units;
                countUnit(result, kNKErr_invalidParam);
                continue;
            }
            char date[24];
            nkUtil_formatTimestampStr(date, sizeof(date), 1, csv.getData(r, timeCol));
            const std::string run = nkVlra_runFolderOfRow(date, configCol >= 0 ? csv.getStr(r, configCol) : "");
            const std::string logFolder = folder + "/LogsFolder/" + sn + "/" + run + "/";
            if (!nkFile_isFileExist(logFolder)) continue;
            const std::string testerId = csv.getStr(r, testerCol);
            const size_t cut = testerId.find('_');
            Unit u{sn, testerId.substr(0, cut), cut == std::string::npos ? std::string() : testerId.substr(cut + 1),
                   logFolder};
            std::printf("%s\n%s\n", nkVlra_printable(u.tester).c_str(), nkVlra_printable(u.socketId).c_str());
            std::printf("sn = %s, tester = %s, socketId = %s\n", sn.c_str(), nkVlra_printable(u.tester).c_str(),
                        nkVlra_printable(u.socketId).c_str());
            std::printf("logPath = %s\n", nkVlra_printable(logFolder).c_str());
            units.push_back(std::move(u));
        }
    }
    if (!units.empty()) std::printf("snList size: %d\n", static_cast<int>(units.size()));
    std::fflush(stdout);
    result.units += static_cast<int>(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        if (stop.load()) {
            result.stopped = true;
            break;
        }
        countUnit(result, vdxTool_validateUnit(s, units[i].sn, units[i].logFolder, s.dryRun));
        std::printf("%d\n", static_cast<int>(i));
        std::fflush(stdout);
    }
    logTally(lm, "VDX validation", result);
    return result;
}

t_vdxToolResult vdxTool_olderBatchDownload(const t_vdxToolSettings& s, const t_vdxToolProgress& progress,
                                           const std::atomic<bool>& stop) {
    CNK_logManager* lm = s.lm;
    t_vdxToolResult result;
    show(progress, "VDX Download ....");
    for (const char* name : {"/vdxDataV2", "/vdxDataV3", "/vdxDataDry"}) nkFile_mkdir((s.dataRoot + name).c_str());
    LogFileForRun logFile(s, s.appFolder + "/vdxGet.log");

    std::vector<std::string> serials;
    result.code = vdxTool_serialNumbers(lm, s.dataRoot + "/CGResource/vdxCheck.csv", serials);
    if (result.code == kNKErr_OK) {
        ResultCsv csv(lm, s.appFolder + "/cg_vdxGet.csv",
                      "SerialNumber,StartTime,VDX_RETRIEVE,VDX_POST,VDX_CONFIRMATION\n");
        if (!csv.isOpen()) result.code = kNKErr_fileOpenFailed;
        result.units = csv.isOpen() ? static_cast<int>(serials.size()) : 0;
        for (int i = 0; i < result.units; ++i) {
            if (stop.load()) {
                result.stopped = true;
                break;
            }
            const std::string& sn = serials[static_cast<size_t>(i)];
            show(progress, "VDX Uploading ... %d/%d", i, result.units);
            const std::string start = nkUtil_getTimestampStr(0);
            logValid(lm, "* GET VDX data for %s\n", nkVlra_printable(sn).c_str());
            std::string version;
            const u16 code = downloadAndJudge(s, sn, s.appFolder + "/vdx.log", std::string(), version);
            countUnit(result, code);
            if (!csv.row(formatRow("%s,%s,%d,\n", csvCell(sn).c_str(), start.c_str(), code))) {
                if (result.code == kNKErr_OK) result.code = kNKErr_fileWriteFailed;
                break;
            }
        }
    }
    logTally(lm, "VDX Download", result);
    show(progress, passed(result) ? "VDX Uploading Pass!!!" : "VDX Uploading Failed!!!");
    return result;
}

// ---------------------------------------------------------------- tool thread

CVLRA_vdxToolThread::~CVLRA_vdxToolThread() {
    requestStop();
    join();
}

bool CVLRA_vdxToolThread::start(t_job job) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool idle = false;
    if (!running_.compare_exchange_strong(idle, true)) return false;
    // The previous tool has finished its work; its thread is collected here.
    if (thread_.joinable()) thread_.join();
    stop_.store(false);
    thread_ = std::thread([this, job = std::move(job)] {
        job(stop_);
        running_.store(false);
    });
    return true;
}

bool CVLRA_vdxToolThread::runHere(const t_job& job) {
    bool idle = false;
    if (!running_.compare_exchange_strong(idle, true)) return false;
    stop_.store(false);
    job(stop_);
    running_.store(false);
    return true;
}

void CVLRA_vdxToolThread::join() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) thread_.join();
}
