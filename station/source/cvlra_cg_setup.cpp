// The setup item: the tester's description of itself and of the unit, the
// unit's folders and log, and the version reported back.
#include "CVLRA_cg_setup.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "CVLRA_cg_testSession.h"
#include "cvlra_tscr.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_utils.h"
#include "nk_velora_sn.h"

CNK_testItem* CVLRA_cg_setup_create() { return new CVLRA_cg_setup(); }

namespace {
[[maybe_unused]] const bool g_registered = (nkTest_registerTestClass("CVLRA_cg_setup", &CVLRA_cg_setup_create), true);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// What a name below the log root is, the name itself not followed.
enum class Entry { missing, folder, link, other };
Entry entryAt(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? Entry::missing : Entry::other;
    if (S_ISLNK(st.st_mode)) return Entry::link;
    return S_ISDIR(st.st_mode) ? Entry::folder : Entry::other;
}

// Runs of one unit in one second: the first keeps the bare time stamp, the others
// take "_2", "_3", ... (two testers may send the same serial number at once).
constexpr int kRunsPerSecond = 99;

// The unit's folders below the log root. Every name is looked at itself (lstat):
// a link, in place of a folder or on the way to one, would send the unit outside
// the root (S1), so it is refused (0xE043) before any folder is made.
struct UnitFolders {
    std::string root;
    std::vector<std::vector<std::string>> chains;  // each from the root down

    // 0, or 0xE043 when a name on any chain is a link.
    u16 check() const {
        for (const auto& chain : chains) {
            std::string path = root;
            for (const std::string& name : chain) {
                path += "/" + name;
                const Entry e = entryAt(path);
                if (e == Entry::link) return kNKErr_fileOpenFailed;
                if (e != Entry::folder) break;
            }
        }
        return 0;
    }
    // One name more on `path`, made when missing: 0 once it is a real folder,
    // 0xE043 for a link, 0xE041 for anything else.
    static u16 make(std::string& path, const std::string& name) {
        path += "/" + name;
        if (entryAt(path) == Entry::missing) mkdir(path.c_str(), 0700);
        const Entry e = entryAt(path);
        if (e == Entry::folder) return 0;
        return e == Entry::link ? kNKErr_fileOpenFailed : kNKErr_pathNotExist;
    }
    // Every folder of one chain, with its path in `out`; 0 or the code of make().
    u16 make(const std::vector<std::string>& chain, std::string* out) const {
        std::string path = root;
        for (const std::string& name : chain)
            if (const u16 rc = make(path, name)) return rc;
        *out = path;
        return 0;
    }
    // A run folder of its own under `parent`: made here and now, never one that
    // was there before.
    static u16 makeRun(const std::string& parent, const std::string& stamp, std::string* out) {
        for (int n = 1; n <= kRunsPerSecond; ++n) {
            std::string path = parent;
            path += '/';
            path += stamp;
            if (n > 1) {
                path += '_';
                path += std::to_string(n);
            }
            if (mkdir(path.c_str(), 0700) == 0) {
                if (entryAt(path) != Entry::folder) return kNKErr_pathNotExist;
                *out = path;
                return 0;
            }
            if (errno != EEXIST) return kNKErr_pathNotExist;
        }
        return kNKErr_pathNotExist;
    }
};

}  // namespace

bool nkVlra_hostVersionNumber(const std::string& v, double* number) {
    if (v.size() != 7 || v[1] != '.' || v[4] != '.') return false;
    for (int i : {0, 2, 3, 5, 6})
        if (!isDigit(v[i])) return false;
    auto d = [&](int i) { return double(v[i] - '0'); };
    *number = d(0) + d(2) / 10 + d(3) / 100 + d(5) / 1000 + d(6) / 10000;
    return true;
}

void nkVlra_versionReply(const std::string& version, u8 (&field)[32]) {
    std::memset(field, 0, sizeof(field));
    const std::string& text = version.empty() ? std::string("UNDEFINED") : version;
    std::memcpy(field, text.data(), std::min(text.size(), sizeof(field) - 1));
}

CVLRA_cg_setup::CVLRA_cg_setup() { NK_CLASS_NAME(); }

CVLRA_cg_setup::~CVLRA_cg_setup() = default;

u16 CVLRA_cg_setup::setLogManager(CNK_logManager* lm) { return CVLRA_cg_testItem::setLogManager(lm); }

void CVLRA_cg_setup::registerDataSymbol() {
    if (!_testData) return;
    _testData->addDataSymbol(_name, "TSTR_SW", "string", kNaN, kNaN, "NA", false);
    _testData->addDataSymbol(_name, "LIGHT_SOURCE", "string", kNaN, kNaN, "NA", true);
    _testData->addDataSymbol(_name, "SPECTROMETER", "string", kNaN, kNaN, "NA", true);
    _testData->addDataSymbol(_name, "CG_SN", "string", kNaN, kNaN, "NA", true);
    _testData->addDataSymbol(_name, "CG2IS_DISTANCE", "double", kNaN, kNaN, "mm", true);
    _testData->addDataSymbol(_name, "TEST_CYCLETIME", "double", kNaN, kNaN, "Second", false);
    _testData->addDataSymbol(_name, "HOST_VERSION", "double", kNaN, kNaN, "Version", false);
}

void CVLRA_cg_setup::handle_ntcp_packet(const tNTCP_header* header, const u8* payload) {
    NK_VALID_OR_RETURN_VOID();
    CVLRA_cg_testSession* s = _testSession;
    CNK_logManager* lm = _logManager;
    if (!s || !_testData || !nkObj_isValid(lm)) return;
    setStatus(kNkTestStat_TESTING);

    // The payload as received: PLEN counts it and its checksum byte.
    const size_t length = (header && payload && header->PLEN > 0) ? header->PLEN - 1 : 0;
    t_vlraTscrRequest req;
    const u16 parsed = nkVlra_parseTscr(payload, length, &req);
    if (parsed == kNKErr_invalidSpiResponse) {
        // Nothing of any unit is touched; the link goes.
        lm->printText(kVL1, "[Err] ntcp_err=%d", kNKErr_invalidSpiResponse);
        setStatus(kNkTestStat_FAIL);
        lm->printText(kVL1, "*** INIT Test %s ***\n", "FAILED");
        reply(header, kNKErr_invalidSpiResponse, nullptr, 0);
        return;
    }

    // S3: a new unit starts from nothing, whatever the previous one left.
    s->resetUnit();
    u16 err = 0;
    if (parsed != 0) {
        // S6: a name that cannot name a folder makes no folder and no file.
        lm->printText(kVL1, "[Err] tester cell '%s' or serial number '%s' cannot name a folder",
                      nkVlra_printable(req.cellName).c_str(), nkVlra_printable(req.serialNumber).c_str());
        s->resetTestSession();
        err = parsed;
    } else {
        const u16 setup = s->setupTestSession(req.serialNumber);
        if (setup != 0) {
            s->resetTestSession();
            err = setup;
        }
    }
    if (err != 0) {
        NK_REPORT(err, "");
        _testData->recordError(err, nkError_getErrorString(err));
        setStatus(kNkTestStat_FAIL);
        lm->printText(kVL1, "*** INIT Test %s ***\n", "FAILED");
        reply(header, err, nullptr, 0);
        return;
    }
    // The run folder and the statistics row's "timeStamp" name the same second: the
    // tools rebuild the one from the other. A fraction would print rounded ("%f") but
    // name its folder truncated, one second apart near the end of a second.
    const double startSecond = std::floor(s->_testStartTime.load());
    _testData->overwrite_for_summary_csv(startSecond, 0);

    const std::string root = _sessionName;
    const std::string& sn = req.serialNumber;
    const std::string& cell = req.cellName;
    s->showUnitStart(cell, req.cellId, sn);
    u16 year = 0;
    u8 month = 0, day = 0;
    nkUtil_getCalendar(&year, &month, &day);
    char date[16];
    std::snprintf(date, sizeof(date), "%04d%02d%02d", year, month, day);
    const std::string stamp = nkUtil_formatTimestampStr(startSecond, 1);

    const std::string vdxData = std::string("VDXData_") + date + "_" + cell;
    const std::string cgCal = std::string("CGCal_") + date + "_" + cell;
    const UnitFolders folders{root, {{vdxData}, {cgCal, "LogsFolder", sn}, {cgCal, "Statistics"}}};
    if (!nkFile_isFileExist(root)) nkFile_mkdir(root.c_str());
    err = folders.check();
    if (err != 0) NK_REPORT(err, "!S_ISLNK(st.st_mode)");
    std::string unitLogs, statistics, run;
    const std::pair<const std::vector<std::string>*, std::string*> made[] = {{&folders.chains[0], &s->_vdxDataPath},
                                                                            {&folders.chains[1], &unitLogs},
                                                                            {&folders.chains[2], &statistics}};
    for (const auto& [chain, out] : made) {
        if (err != 0) break;
        err = folders.make(*chain, out);
        if (err != 0)
            NK_REPORT(err, err == kNKErr_fileOpenFailed ? "!S_ISLNK(st.st_mode)" : "nkFile_isFileExist(filename)");
    }
    if (err == 0) {
        err = UnitFolders::makeRun(unitLogs, stamp, &run);
        if (err != 0) NK_REPORT(err, "nkFile_isFileExist(logPath)");
    }
    if (err == 0) {
        s->_cgCalPath = root + "/" + cgCal;
        s->_unitLogsFolder = unitLogs + "/";
        s->_statisticsPath = statistics;
        s->_logPath = run;
    } else {
        // S3: packets of this unit are answered with this code, and nothing is written.
        s->_vdxDataPath.clear();
        s->markSetupFailed(err);
    }

    if (err == 0) {
        s->markUnitOpen();
        lm->setLogFileName((s->_logPath + "/" + sn + ".log").c_str());
        s->_UOPCheckPass = false;

        const std::string swVersion = nkVlra_printable(req.swVersion);
        const std::string hwVersion = nkVlra_printable(req.hwVersion);
        const std::string lightSource = nkVlra_printable(req.lightSource);
        const std::string spectrometer = nkVlra_printable(req.spectrometer);
        _testData->recordData(_name, "TSTR_SW", swVersion);
        _testData->recordData(_name, "LIGHT_SOURCE", lightSource);
        _testData->recordData(_name, "SPECTROMETER", spectrometer);
        _testData->recordData(_name, "CG_SN", sn);
        _testData->recordData(_name, "CG2IS_DISTANCE", double(req.distanceMm));
        _testData->recordData(_name, "TEST_CYCLETIME", double(req.cycleTimeSec));

        s->_testerName = cell + "_" + std::to_string(req.cellId);
        s->_testerCellId = req.cellId;

        lm->printText(kVL1, "%s", std::string(59, '*').c_str());
        if (s->_isDevelopmentMode) lm->printText(kVL1, "* Development Mode *");
        lm->printText(kVL1, "* Tester Cell Name   : %s", cell.c_str());
        lm->printText(kVL1, "* Tester Cell ID     : %d", req.cellId);
        lm->printText(kVL1, "* Tester Software Ver: %s", swVersion.c_str());
        lm->printText(kVL1, "* Tester Hardware Ver: %s", hwVersion.c_str());
        lm->printText(kVL1, "* Light Source       : %s", lightSource.c_str());
        lm->printText(kVL1, "* Spectrometer       : %s", spectrometer.c_str());
        if (req.hasGeometry) {
            lm->printText(kVL1, "* CG2IS Distance     : %5.3f mm", req.distanceMm);
            lm->printText(kVL1, "* Test Cycle Time    : %5.3f seconds", req.cycleTimeSec);
        }
        lm->printText(kVL1, "* DUT Serial Number  : %s", sn.c_str());
        lm->printText(kVL1, "* Lumbrel Version     : Lumbrel_%s ", nkVlra_printable(s->_hostVersion).c_str());
        lm->printText(kVL1, "* Lumbrel Build date  : 20170825");
        lm->printText(kVL1, "*** Handle TSCR *** --------------------------------------------------------");

        nkUtil_saveBitStream(lm, (s->_logPath + "/" + sn + "_tscr.bin").c_str(), payload, static_cast<int>(length),
                             kVL1);

        if (s->_appLogManager) {
            s->_appLogManager->printText(kVL1, "* Connect Tester %s, ID %d", cell.c_str(), req.cellId);
            s->_appLogManager->printText(kVL1, "[T%d] DUT SN %s", req.cellId, sn.c_str());
        }

        // The unit's serial number, whatever its check says: a failed one bins 'F' later.
        s->_cgSn = sn.substr(0, kNK_cgSnMinLength);
        t_nkCgInfo info{};
        info.type = 255;
        info.color = 255;
        const u16 snErr = nkFom_checkCgSn(lm, sn.c_str(), &info, kVL1);
        s->_cgType = info.type;
        s->_cgColor = info.color;
        if (snErr == 0) {
            lm->printText(kVL1, "* Add color postfix to HUBR Lumbrel Version ---\n");
            double hostVersion = 0.0;
            if (nkVlra_hostVersionNumber(s->_hostVersion, &hostVersion))
                _testData->recordData(_name, "HOST_VERSION", hostVersion);
            s->_hostVersionColor = s->_hostVersion + (s->_cgColor == 0 ? "_CGB" : s->_cgColor == 1 ? "_CGW" : "");
            s->_hubrHostVersion = s->_hostVersionColor;
            lm->printText(kVL1, "* HUBR Lumbrel Version: Lumbrel_%s ", nkVlra_printable(s->_hubrHostVersion).c_str());
            lm->printText(kVL1, " ");
            lm->printText(kVL1, "* CG %s and Color %s Identified, loading spec file...", nkFom_cgTypeName(s->_cgType),
                          nkFom_cgColorName(s->_cgColor));
            lm->printText(kVL1, "* skip spec override");
            s->_final_wl.clear();
            s->_final_T.clear();
            s->_weighted_T.clear();
            s->_hubrSessionStarted = false;
            s->_hubrAmIok = false;
            if (!s->_isHubrEnabled)
                lm->printText(kVL1, "* HUBR/Pordis Data Posting Skipped");
            else
                s->_hubrStationMode = "IQC";
            lm->printText(kVL1, "* IQC test, skip UOP check. Directly set _testSession->_UOPCheckPass = true");
            s->_UOPCheckPass = true;
            s->_iqcMode = req.testMode;
            lm->printText(kVL1, "* IQC Mode: %s", nkVlra_printable(s->_iqcMode).c_str());
            lm->printText(kVL1, " ");
        } else {
            err = snErr;
            NK_REPORT(err, "");
        }
    }

    if (err != 0) _testData->recordError(err, nkError_getErrorString(err));
    setStatus(err == 0 ? kNkTestStat_PASS : kNkTestStat_FAIL);
    lm->printText(kVL1, "*** INIT Test %s ***\n", err == 0 ? "PASSED" : "FAILED");

    u8 field[32];
    nkVlra_versionReply(s->_hubrHostVersion, field);
    reply(header, 0, field, sizeof(field));
}
