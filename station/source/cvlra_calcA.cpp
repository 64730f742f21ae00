// The a-factor calibration: replays stored units through the station's items on
// an offline session of its own and writes the two socket groups' averages.
#include "cvlra_calcA.h"

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "CVLRA_cg_testSession.h"
#include "cvlra_tscr.h"
#include "nk_csv.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_utils.h"
#include "nk_velora_utils.h"

namespace fs = std::filesystem;

namespace {

constexpr float kLowBound = 0.85f;
constexpr float kHighBound = 1.15f;
// A stored packet larger than this is no tester's: "unif" of four 4K images fits.
constexpr u64 kMaxPacketFile = 256ull << 20;
constexpr size_t kMaxSocketDigits = 3;

std::string stars(size_t n) { return std::string(n, '*'); }

// Every line goes to the run's log, when there is one; the format stays a literal.
#define LOGF(lm, ...)                                  \
    do {                                               \
        if (lm) (lm)->printText(kVL1, __VA_ARGS__);    \
    } while (0)

bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// The whole file, or false when it is missing, not a regular file or too large.
bool readPacketFile(const std::string& path, std::vector<u8>* out) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    const u64 size = fs::file_size(path, ec);
    if (ec || size == 0 || size > kMaxPacketFile) return false;
    std::ifstream in(path, std::ios::binary);
    out->resize(size);
    in.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(size));
    return in.gcount() == static_cast<std::streamsize>(size);
}

// One unit of a socket group, as its statistics row names it.
struct Unit {
    std::string sn, tester, socketText, logFolder;
    int socketId = 0;
};

struct Run {
    const t_vlraCalcAOptions& opt;
    t_vlraCalcAResult& res;
    CNK_logManager* lm;
    std::string folder;
    std::string tempRoot;
    std::unique_ptr<CVLRA_cg_testSession> session;
    // The unit being replayed (the delegate's fields of the same names).
    std::string _dutSn, _logPath, _testerId;
    u8 _socketId = 0;

    void title(const std::string& t, bool visible) {
        res.title = t;
        if (opt.progress) opt.progress(t, visible);
    }
    bool stopped() const { return opt.stop && opt.stop->load(); }

    std::vector<Unit> collect(int g);
    bool replay(int g, const std::vector<Unit>& units);
    float replayUnit(const Unit& u);
    bool feed(CNK_testItem* item, std::vector<u8>& bytes);
    bool openSession();
};

std::vector<Unit> Run::collect(int g) {
    std::vector<Unit> units;
    const std::string statistics = folder + "/Statistics/";
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(statistics, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().find(".csv") != std::string::npos) files.push_back(it->path().string());
    // Replays follow the file names, so that a rerun gives the same sums.
    std::sort(files.begin(), files.end());

    for (const std::string& file : files) {
        LOGF(lm, "found %s in /Statistics folder", fs::path(file).filename().string().c_str());
        CNK_csvParser csv(lm);
        if (csv.load(file.c_str(), kVL2) != 0) continue;
        const int cSn = csv.findColIdx("SerialNumber");
        const int cTester = csv.findColIdx("TesterID");
        const int cStamp = csv.findColIdx("timeStamp");
        const int cErr = csv.findColIdx("errCode");
        const int cFailing = csv.findColIdx("Failing Items");
        const int cLight = csv.findColIdx("INIT::LIGHT_SOURCE");
        const int cSpectro = csv.findColIdx("INIT::SPECTROMETER");
        const int cConfig = csv.findColIdx("config");
        if (cSn < 0 || cTester < 0 || cStamp < 0) {
            LOGF(lm, "[Error] %s lacks SerialNumber, TesterID or timeStamp", fs::path(file).filename().string().c_str());
            continue;
        }
        const int rows = csv.getDataRow();
        auto cell = [&](int r, int c) { return c >= 0 ? csv.getStr(r, c) : std::string(); };
        if (rows > 0 && cLight >= 0) {
            res.input.lightSourceSn = cell(0, cLight);
            LOGF(lm, "found LightSourceSN  = %s", nkVlra_printable(res.input.lightSourceSn).c_str());
        }
        for (int r = 0; r < rows; ++r) {
            Unit u;
            u.sn = cell(r, cSn);
            const std::string stampText = cell(r, cStamp);
            char* endp = nullptr;
            const double stamp = std::strtod(stampText.c_str(), &endp);
            if (stampText.empty() || *endp != '\0' || !std::isfinite(stamp)) continue;
            char date[24];
            nkUtil_formatTimestampStr(date, sizeof(date), 1, stamp);
            // S6: a serial number from a file names a folder only when it can name one.
            if (!nkVlra_isFolderName(reinterpret_cast<const u8*>(u.sn.c_str()), u.sn.size() + 1, false) ||
                u.sn.size() >= 64 || date[0] == '\0')
                continue;
            u.logFolder = folder + "/LogsFolder/" + u.sn + "/" + nkVlra_runFolderOfRow(date, cell(r, cConfig)) + "/";
            if (!fs::is_directory(u.logFolder, ec)) continue;

            const std::string testerId = cell(r, cTester);
            if (!nkVlra_splitTesterId(testerId, &u.tester, &u.socketId)) {
                LOGF(lm, "* skip row %d: TesterID %s names no socket", r, nkVlra_printable(testerId).c_str());
                continue;
            }
            u.socketText = testerId.substr(testerId.find('_') + 1);
            std::printf("tester = %s, socketId = %d\n", nkVlra_printable(u.tester).c_str(), u.socketId);
            const std::string failing = cell(r, cFailing);
            const bool unifFailed = failing.find("UNIF::") != std::string::npos;
            const bool tFailed = failing.find("T::T") != std::string::npos;
            if (unifFailed) LOGF(lm, "* found Uniformity error on row %d", r);
            if (tFailed) LOGF(lm, "* found Transmitance error on row %d", r);
            const std::string errText = cell(r, cErr);
            char* errEnd = nullptr;
            const long err = std::strtol(errText.c_str(), &errEnd, 10);
            // A code that does not read as 0 counts as an error.
            const bool errZero = !errText.empty() && *errEnd == '\0' && err == 0;
            if (u.socketId % 2 != g || !(errZero || (!unifFailed && !tFailed))) continue;

            res.input.spectrometerSn[g] = cell(r, cSpectro);
            LOGF(lm, "Row[%d] found SpectrometerSN[%d] = %s for Socket %d", r, g,
                 nkVlra_printable(res.input.spectrometerSn[g]).c_str(), u.socketId);
            std::printf("sn = %s, tester = %s, socketId = %s\n", u.sn.c_str(), nkVlra_printable(u.tester).c_str(),
                        u.socketText.c_str());
            std::printf("logPath = %s\n", u.logFolder.c_str());
            units.push_back(std::move(u));
        }
    }
    std::fflush(stdout);
    return units;
}

bool Run::openSession() {
    // A session without its script would end the process: refuse it here.
    std::error_code ec;
    if (!fs::is_regular_file(opt.scriptFile, ec)) {
        nkDebug_printError(lm, __FILE__, nullptr, __func__, __LINE__, kNKErr_fileNotExist, "scriptFile");
        return false;
    }
    char pattern[4096];
    std::snprintf(pattern, sizeof(pattern), "%s/calcA_XXXXXX", opt.tempFolder.empty() ? "/tmp" : opt.tempFolder.c_str());
    if (!mkdtemp(pattern)) {
        nkDebug_printError(lm, __FILE__, nullptr, __func__, __LINE__, kNKErr_pathNotExist, "mkdtemp(tempRoot)");
        return false;
    }
    tempRoot = pattern;
    // Same script as the station's sessions, so the same items run; it never
    // connects, and submission is off for it alone.
    session = std::make_unique<CVLRA_cg_testSession>(0, tempRoot, opt.scriptFile);
    session->_hostVersion = opt.hostVersion;
    session->_appLogManager = lm;
    session->updateOperatorSettings([](t_vlraOperatorSettings& o) {
        o.isHubrEnabled = false;
        o.isDevelopmentMode = false;
        o.vdxDryRunPath.clear();
    });
    session->takeOperatorSnapshot();
    return true;
}

// Hands a stored payload to an item as if its tester had sent it, with no reply.
bool Run::feed(CNK_testItem* item, std::vector<u8>& bytes) {
    if (bytes.empty() || bytes.size() >= 0xFFFFFFFFull) return false;
    tNTCP_header header{};
    header.NTCP = 0x4E544350;  // "NTCP"
    header.CTRL = 0;
    header.PLEN = static_cast<u32>(bytes.size() + 1);
    session->_isOfflineRun.store(true);
    item->handle_ntcp_packet(&header, bytes.data());
    return true;
}

// The unit's factor, or NaN when a stored packet is missing (the unit is skipped).
float Run::replayUnit(const Unit& u) {
    const float skipped = std::numeric_limits<float>::quiet_NaN();
    CVLRA_cg_testSession& s = *session;
    _dutSn = u.sn;
    _logPath = u.logFolder;
    _testerId = u.tester;
    _socketId = static_cast<u8>(u.socketId);

    const std::string tscrFile = u.logFolder + "/" + u.sn + "_tscr.bin";
    std::printf("tscrFile: %s\n", tscrFile.c_str());
    std::vector<u8> bytes;
    if (!readPacketFile(tscrFile, &bytes)) return skipped;
    // Each replay is a unit of its own: a run folder of its own second.
    s._testStartTime.store(nkTest_now());
    feed(s._ctrlItemMap.at(kVLRA_ctrl_tscr), bytes);
    s._isOfflineRun.store(false);
    // Without its run folder no item may write: every file would land outside it.
    if (!s.isUnitOpen() || s._logPath.empty()) {
        LOGF(lm, "[Error] %s: setup replay made no run folder", u.sn.c_str());
        return skipped;
    }

    const std::string unifFile = u.logFolder + "/" + u.sn + "_unif.bin";
    std::printf("unifFile: %s\n", unifFile.c_str());
    std::fflush(stdout);
    // The stored archive is unpacked into the temporary root: the input stays as it was.
    const std::string unpack = tempRoot + "/unzip";
    std::error_code ec;
    fs::remove_all(unpack, ec);
    fs::create_directories(unpack, ec);
    const std::string zip = fs::absolute(u.logFolder + "/" + u.sn + "_unif.zip", ec).string();
    int status = -1;
    bool unpacked = false;
    if (fs::is_regular_file(zip, ec)) {
        const std::vector<std::string> argv = {"/usr/bin/unzip", "-o", "-qq", zip, "-d", unpack};
        const u16 rc = nkUtil_performProcessArgs(argv, &status);
        unpacked = rc == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!unpacked) LOGF(lm, "[Error] unzip %s failed (status %d)", zip.c_str(), status);
    }
    const bool haveUnif = unpacked && readPacketFile(unpack + "/" + u.sn + "_unif.bin", &bytes);
    fs::remove_all(unpack, ec);
    if (!haveUnif) return skipped;
    feed(s._ctrlItemMap.at(kVLRA_ctrl_unif), bytes);
    s._isOfflineRun.store(false);

    const std::string atstFile = u.logFolder + "/" + u.sn + "_atst.bin";
    std::printf("atstFile: %s\n", atstFile.c_str());
    std::fflush(stdout);
    if (!readPacketFile(atstFile, &bytes)) return skipped;
    feed(s._ctrlItemMap.at(kVLRA_ctrl_atst), bytes);
    s._unitAFactor = nkVlra_unitAFactor(s.sessionLogManager(), s);
    const float a = s._unitAFactor;
    s._isOfflineRun.store(false);
    return a;
}

bool Run::replay(int g, const std::vector<Unit>& units) {
    const int m = static_cast<int>(units.size());
    for (int j = 1; j <= m; ++j) {
        if (stopped()) return false;
        const Unit& u = units[static_cast<size_t>(j - 1)];
        res.input.lastTesterName = u.tester;
        const float a = replayUnit(u);
        char t[64];
        std::snprintf(t, sizeof(t), "CalcA. %d/%d", j, m);
        title(t, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (std::isnan(a)) {
            LOGF(lm, "* skip %s: a stored packet is missing", u.sn.c_str());
            continue;
        }
        if (!nkVlra_isCountedAFactor(a))
            LOGF(lm, "[Caution] Skip outliers (a_factors < 0.85 or a_factors > 1.15)");
        res.input.factors[g].push_back(a);
        LOGF(lm, "*** CalcA %d/%d. a_factors[%d] = %3.7f", j, m, g, double(a));
        LOGF(lm, "\n");
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- pieces

std::string nkVlra_aFactorsCsvPath(const std::string& dataRoot) { return dataRoot + "/CGResource/CG_a_factors.csv"; }

bool nkVlra_splitTesterId(const std::string& testerId, std::string* testerName, int* socketId) {
    const size_t us = testerId.find('_');
    if (us == std::string::npos) return false;
    const std::string number = testerId.substr(us + 1);
    if (!allDigits(number) || number.size() > kMaxSocketDigits) return false;
    if (testerName) *testerName = testerId.substr(0, us);
    if (socketId) *socketId = std::atoi(number.c_str());
    return true;
}

int nkVlra_machineIdOf(const std::string& testerName) {
    const size_t at = testerName.find_first_of("0123456789");
    if (at == std::string::npos) return -1;
    const char* p = testerName.c_str() + at;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(p, &end, 10);
    if (errno == ERANGE || v > 1000000) return -1;
    return static_cast<int>(v);
}

bool nkVlra_isCountedAFactor(float a) { return a > kLowBound && a < kHighBound; }  // NaN is not counted

float nkVlra_unitAFactor(CNK_logManager* lm, const CVLRA_cg_testSession& s) {
    const size_t pixels = size_t(s._unif_img_w) * s._unif_img_h;
    if (pixels == 0 || s._unif_t_map.size() != pixels) return 0.0f;
    if (s._final_T.size() != 5) return 0.0f;
    if (s._final_wl.empty() || s._final_wl.front() != 400.0f) return 0.0f;
    // Fresh lists: the factor is this unit's alone.
    std::vector<double> camAll, tAll;
    float unit = 0.0f, all = 0.0f;
    const u16 rc = nkFom_cg_getTCameraProportionality(
        lm, s._unif_t_map.data(), s._unif_img_w, s._unif_img_h, s._unif_beam_size / 1000.0f,
        s._unif_pixel_density / 1000.0f, s._unif_centroid_wl, s._final_T, camAll, tAll, &unit, &all);
    if (rc != 0 || !std::isfinite(unit) || camAll.size() != 6) return 0.0f;
    // A dark camera leaves the slope where the fit started: no signal, no factor.
    for (size_t p = 1; p < camAll.size(); ++p)
        if (!(camAll[p] > 0.0) || !std::isfinite(camAll[p])) return 0.0f;
    return unit;
}

void nkVlra_groupAFactor(const std::vector<float>& factors, float* sum, int* count, float* average) {
    float s = 0.0f;
    int n = 0;
    for (float a : factors)
        if (nkVlra_isCountedAFactor(a)) {
            s += a;
            ++n;
        }
    *sum = s;
    *count = n;
    *average = n > 0 ? s / static_cast<float>(n) : std::numeric_limits<float>::quiet_NaN();
}

t_vlraAFactorOutcome nkVlra_saveAFactors(CNK_logManager* lm, const std::string& outputFile,
                                         const t_vlraAFactorInput& in) {
    t_vlraAFactorOutcome out;
    for (int g = 0; g < 2; ++g) nkVlra_groupAFactor(in.factors[g], &out.sum[g], &out.count[g], &out.average[g]);
    for (int g = 0; g < 2; ++g)
        LOGF(lm, " . Average of %d a_factors[%d] = %3.7f", out.count[g], g, double(out.average[g]));

    out.machineId = nkVlra_machineIdOf(in.lastTesterName);
    u16 result = 0;
    if (out.machineId == -1) {
        LOGF(lm, "Invalid machineId = %d", -1);
        result = 2;
    } else {
        LOGF(lm, "* Save Calc result to %s", outputFile.c_str());
        float a0 = out.average[0], a1 = out.average[1];
        if (out.count[0] < kVLRA_aFactorMinCount || out.count[1] < kVLRA_aFactorMinCount) {
            LOGF(lm, "* [CAUTION] not enough passed test, save 1.0f to A factor in %s", outputFile.c_str());
            result = 3;
            a0 = a1 = 1.0f;
        }
        std::string text = "Machine,a0,a1,Vendor,LightSourceSN,SpectrometerSN[0],SpectrometerSN[1],CalibrationDate\r";
        std::vector<char> row(256 + in.lightSourceSn.size() + in.spectrometerSn[0].size() +
                              in.spectrometerSn[1].size() + in.date.size());
        std::snprintf(row.data(), row.size(), "%d,%5.10f,%5.10f,%s,%s,%s,%s,%s\r", out.machineId, double(a0),
                      double(a1), "", in.lightSourceSn.c_str(), in.spectrometerSn[0].c_str(),
                      in.spectrometerSn[1].c_str(), in.date.c_str());
        text += row.data();
        // Whole or not at all: the loaders never meet half a file.
        const u16 rc = nkFile_writeReplacing(outputFile, {{text.data(), text.size()}});
        if (rc != 0) {
            nkDebug_printError(lm, __FILE__, nullptr, __func__, __LINE__, rc, "written");
            result = rc;
        } else {
            out.written = true;
            LOGF(lm, "* Export to file: %s", outputFile.c_str());
        }
    }

    out.verdict = (out.average[0] == 1.0f || out.average[1] == 1.0f) ? u16(1) : result;
    LOGF(lm, "%s", stars(59).c_str());
    LOGF(lm, "* Calc A_factor %s * . machineId = %d", out.verdict == 0 ? "Pass" : "Fail", out.machineId);
    LOGF(lm, ". LightSourceSN  = %s", nkVlra_printable(in.lightSourceSn).c_str());
    LOGF(lm, ". SpectrometerSN[0] = %s", nkVlra_printable(in.spectrometerSn[0]).c_str());
    LOGF(lm, ". SpectrometerSN[1] = %s", nkVlra_printable(in.spectrometerSn[1]).c_str());
    LOGF(lm, ". a_factors[0]   = %3.7f", double(out.average[0]));
    LOGF(lm, ". a_factors[1]   = %3.7f", double(out.average[1]));
    if (out.verdict == 3) {
        LOGF(lm, "[FAIL] not enough passed test data (Required > 100x)");
        LOGF(lm, " . Socket group #1 (1,3,5,7) passed test count = %d", out.count[0]);
        LOGF(lm, " . Socket group #2 (2,4,6,8) passed test count = %d", out.count[1]);
        LOGF(lm, "[FAIL] Please retest to collect at least 100x passed test for each socket group");
    }
    return out;
}

// ---------------------------------------------------------------- the run

t_vlraCalcAResult nkVlra_calcAFactors(const t_vlraCalcAOptions& opt) {
    t_vlraCalcAResult res;
    Run run{opt, res, nkObj_isValid(opt.lm) ? opt.lm : nullptr, opt.inputFolder, {}, {}, {}, {}, {}, 0};
    CNK_logManager* lm = run.lm;
    // Every end shows the start button again.
    auto finish = [&](u16 code, const char* title) {
        res.code = code;
        run.session.reset();
        if (!run.tempRoot.empty()) {
            std::error_code ec;
            fs::remove_all(run.tempRoot, ec);
        }
        if (title) res.title = title;
        if (opt.progress) opt.progress(res.title, true);
        // The window's later lines never land in this run's log.
        if (lm) lm->closeLogFile();
        return res;
    };

    run.title("CalcA In-Process!", false);
    std::error_code ec;
    if (opt.inputFolder.empty() || !fs::is_directory(opt.inputFolder, ec)) {
        LOGF(lm, "[Error] %s is no folder", opt.inputFolder.c_str());
        return finish(kNKErr_pathNotExist, "CalcA Path ERR!");
    }

    // Counted before the run's own log lands in the folder, which would make any
    // folder hold enough.
    const u32 entries = nkFile_getDirEntryCount(opt.inputFolder.c_str());
    const double start = nkTest_now();
    char date[64];
    nkUtil_formatTimestampStr(date, sizeof(date), 1, start);
    res.input.date = date;
    if (lm) lm->setLogFileName((opt.inputFolder + "/Calculate_A_Factor_" + date + ".log").c_str());
    LOGF(lm, "%s", stars(59).c_str());
    LOGF(lm, "* Calc A_factor * \n");

    if (entries < 3) {
        LOGF(lm, "[Error] Not enough record.");
        return finish(kNKErr_invalidCondition, "CalcA No Record!");
    }
    bool listed = true;
    fs::directory_iterator it(opt.inputFolder, ec), end;
    if (ec) listed = false;
    for (; !ec && it != end; it.increment(ec))
        if (it->is_directory() && it->path().filename().string().find("Statistics") != std::string::npos)
            LOGF(lm, "found /Statistics folder");
    if (ec) listed = false;
    if (!listed) run.title("CalcA Path ERR!", false);

    if (!run.openSession()) return finish(kNKErr_pathNotExist, "CalcA Path ERR!");

    for (int g = 0; g < 2; ++g) {
        const std::vector<Unit> units = run.collect(g);
        res.accepted[g] = units.size();
        if (units.empty()) {
            run.title("CalcA No Record!", false);
            return finish(kNKErr_invalidCondition, nullptr);
        }
        std::printf("snList size: %d\n", int(units.size()));
        std::fflush(stdout);
        LOGF(lm, "found %d successful test records for socket %d\n", int(units.size()), g);
        LOGF(lm, "%s", std::string(47, '-').c_str());
        LOGF(lm, "Calculate a_factors for socket %d", g);
        LOGF(lm, "\n");
        if (!run.replay(g, units)) {
            LOGF(lm, "[Error] Calc A_factor stopped: nothing written");
            return finish(kNKErr_testAborted, "CalcA Failed!");
        }
        float sum = 0.0f, average = 0.0f;
        int count = 0;
        nkVlra_groupAFactor(res.input.factors[g], &sum, &count, &average);
        LOGF(lm, "Average of %d a_factors[%d] = %3.7f", count, g, double(average));
        LOGF(lm, "found SpectrometerSN[%d] = %s for Socket %d", g,
             nkVlra_printable(res.input.spectrometerSn[g]).c_str(), g);
        LOGF(lm, "%s", std::string(56, '-').c_str());
    }

    res.outcome = nkVlra_saveAFactors(lm, opt.outputFile, res.input);
    res.reachedFile = true;
    return finish(res.outcome.verdict, res.outcome.verdict == 0 ? "CalcA Pass!" : "CalcA Failed!");
}
