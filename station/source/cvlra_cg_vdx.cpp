// The repository item: the unit's "CtCl" record downloaded at the end of the unit,
// checked, and compared with this station's transmittance as a tilt ratio.
#include "CVLRA_cg_vdx.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "CVLRA_cg_testSession.h"
#include "CVLRA_error.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_utils.h"
#include "nk_velora_log.h"
#include "nk_vdx.h"

CNK_testItem* CVLRA_cg_vdx_create() { return new CVLRA_cg_vdx(); }

namespace {
[[maybe_unused]] const bool g_registered = (nkTest_registerTestClass("CVLRA_cg_vdx", &CVLRA_cg_vdx_create), true);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kGrid = ctcl::kValuesV3;  // the record's 300 to 1100 nm grid
constexpr int kIdx550 = 125;
constexpr int kTiltRows = 3;

using nk_velora::logValid;

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof(buf), format, ap);
    va_end(ap);
    return buf;
}

const char* orNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

void report(CNK_logManager* lm, const char* func, int line, u16 code, const char* condition) {
    nkDebug_printError(nkObj_isValid(lm) ? lm : nullptr, __FILE__, "CVLRA_cg_vdx", func, line, code, condition);
}
#define VDX_REPORT(lm, code, cond) report((lm), __func__, __LINE__, (code), (cond))

// The tilt symbols in the order they are recorded and checked.
struct TiltSymbol {
    std::string name;
    int row;
    int entry;  // on the record grid
};
std::vector<TiltSymbol> tiltSymbols() {
    std::vector<TiltSymbol> v;
    for (int n = 1; n <= kTiltRows; ++n) {
        const std::string tp = "TP" + std::to_string(n);
        v.push_back({tp + "_TILT_Ratio_410", n - 1, 55});
        v.push_back({tp + "_TILT_Ratio_420", n - 1, 60});
    }
    for (int n = 1; n <= kTiltRows; ++n)
        for (int w = 400; w <= 1100; w += 50)
            v.push_back({"TP" + std::to_string(n) + "_TILT_Ratio_" + std::to_string(w), n - 1, (w - 300) / 2});
    return v;
}

// A whole file or an error code: 0xE043 when it cannot be created, else 0xE044.
u16 writeWhole(CNK_logManager* lm, const std::string& path, const std::string& text) {
    const u16 rc = nkFile_writeReplacing(path, {{text.data(), text.size()}});
    if (rc == 0) return 0;
    const u16 err = rc == kNKErr_fileOpenFailed ? kNKErr_fileOpenFailed : kNKErr_fileWriteFailed;
    VDX_REPORT(lm, err, err == kNKErr_fileOpenFailed ? "fp!=NULL" : "fwrite==length");
    return err;
}

bool isRecordSize(size_t length) { return length == ctcl::kSizeV2 || length == ctcl::kSizeV3; }

}  // namespace

std::string nkVlra_vdxTiltCsv(const std::vector<std::vector<float>>& rows) {
    std::string out;
    out.reserve(size_t(kGrid) * (20 + 25 * rows.size()));
    for (int k = 0; k < kGrid; ++k) {
        out += fmt("%5.10f,", double(300 + 2 * k));
        for (const auto& r : rows) out += fmt("%5.20f,", k < int(r.size()) ? double(r[size_t(k)]) : 0.0);
        out += '\n';
    }
    return out;
}

// ---------------------------------------------------------------- validation

u16 nkVlra_fetchVdxForValidation(CNK_logManager* lm, const std::string& sn, const std::string& folder, bool dryRun,
                                 const t_vlraVdxSource& source, t_cgCalData* record) {
    if (!record) return kNKErr_invalidParam;
    logValid(lm, "*** Handle VDXU *** ");
    logValid(lm, "* VDX Data Check: %s", sn.c_str());
    // The serial number names the record's files and its repository key.
    if (!nkVdx_isKeyValid(sn.c_str())) {
        VDX_REPORT(lm, kNKErr_invalidParam, "nkVdx_isKeyValid(sn)");
        return kNKErr_invalidParam;
    }
    std::vector<u8> bytes;
    if (!dryRun) {
        const double t0 = nkTest_now();
        const std::string repoLog = source.repositoryLogFolder.empty()
                                        ? std::string()
                                        : source.repositoryLogFolder + "/" + sn + "_vdx.log";
        u8* data = nullptr;
        i32 length = 0;
        const u16 rc = nkVdx_getData(lm, kNKVdx_CtCl, sn.c_str(), &data, &length, nullptr, orNull(source.caUrl),
                                     orNull(source.dsUrl), orNull(source.trustObjectUrl),
                                     orNull(source.repositoryDryRunFolder), source.permission, 0, orNull(repoLog),
                                     kVL1);
        logValid(lm, "* IQC VDX Retrieve Finish in %fs", nkTest_now() - t0);
        if (data && length > 0) bytes.assign(data, data + length);
        std::free(data);
        if (rc != 0) {
            VDX_REPORT(lm, rc, "");
            return rc;
        }
    } else {
        if (folder.empty() || !nkFile_isFileExist(folder)) {
            VDX_REPORT(lm, kNKErr_pathNotExist, "nkFile_isFileExist(vdxFolder)");
            return kNKErr_pathNotExist;
        }
        std::printf("SN:%s\n", sn.c_str());
        std::fflush(stdout);
        std::vector<std::string> names = {sn + "_CtCl.bin"};
        if (source.acceptCtCl0) names.push_back(sn + "_CtCl0.bin");
        u16 rc = kNKErr_invalidCondition;
        for (const INK_dirEntry& e : nkDir_getDirEntry(folder)) {
            if (e.type != INK_dirEntry::kFile || std::find(names.begin(), names.end(), e.name) == names.end()) continue;
            const std::string path = folder + "/" + e.name;
            // The size is known before anything is read, so no file is read whole
            // only to be refused.
            if (!isRecordSize(nkFile_getFileSize(path))) {
                rc = kNKErr_invalidDataSize;
            } else {
                bytes = nkFile_readFile(path);
                rc = isRecordSize(bytes.size()) ? 0 : kNKErr_invalidDataSize;
            }
            break;
        }
        if (rc != 0) {
            VDX_REPORT(lm, rc, rc == kNKErr_invalidCondition ? "vdxFile found" : "length==8106 || length==3598");
            return rc;
        }
    }

    if (!bytes.empty()) {
        const std::string copy = folder + "/" + sn + "_CtClx.bin";
        if (const u16 rc = nkUtil_saveBitStream(lm, copy.c_str(), bytes.data(), int(bytes.size()), kVL1)) {
            VDX_REPORT(lm, rc, "");
            return rc;
        }
    }
    if (!isRecordSize(bytes.size())) {
        logValid(lm, "[Err] VDX Retrieval Data Size Mismatch: %d %d", int(bytes.size()), int(ctcl::kSizeV3));
        VDX_REPORT(lm, kNKErr_vdx_dataCheckFailed, "");
        return kNKErr_vdx_dataCheckFailed;
    }
    logValid(lm, "* VDX Data Size Comparison Pass");
    if (const u16 rc = cgCalData_read(lm, bytes.data(), bytes.size(), record)) return rc;
    cgCalData_display(lm, record);
    logValid(lm, "* VDX recv magic=0x%x ver=%d.%d", record->magic, record->versionMajor, record->versionMinor);
    return 0;
}

u16 nkVlra_vdxValidationVerdict(CNK_logManager* lm, const t_cgCalData& record) {
    const int major = record.versionMajor, minor = record.versionMinor;
    if ((major == 2 || major == 3) && minor == 0) {
        logValid(lm, "* VDX Data Version v%d.%d Check Pass.", major, 0);
        return 0;
    }
    if (major == 2 || major == 3) {
        logValid(lm, "* VDX Data Version v%d.%d Check Fail. Upload VDX v2.1.", major, minor);
        return 0;
    }
    logValid(lm, "[Err] VDX Data Version Check Fail.");
    VDX_REPORT(lm, kNKErr_vdx_dataCheckFailed, "");
    return kNKErr_vdx_dataCheckFailed;
}

u16 nkVlra_validateVDX(CNK_logManager* lm, const std::string& sn, const std::string& folder, bool dryRun,
                       const t_vlraVdxSource& source) {
    t_cgCalData record;
    if (const u16 rc = nkVlra_fetchVdxForValidation(lm, sn, folder, dryRun, source, &record)) return rc;
    return nkVlra_vdxValidationVerdict(lm, record);
}

// ---------------------------------------------------------------- the item

CVLRA_cg_vdx::CVLRA_cg_vdx() { NK_CLASS_NAME(); }

CVLRA_cg_vdx::~CVLRA_cg_vdx() = default;

u16 CVLRA_cg_vdx::setLogManager(CNK_logManager* lm) { return CVLRA_cg_testItem::setLogManager(lm); }

void CVLRA_cg_vdx::registerDataSymbol() {
    if (!_testData) return;
    _testData->addDataSymbol(_name, "VDX_POST_VERSION", "double", kNaN, kNaN, "Version", false);
    _testData->addDataSymbol(_name, "VDX_CONFIRM_RESULT", "int8_t", 1, 1, "", false);
    _testData->addDataSymbol(_name, "VDX_CONFIRM_TIME", "double", kNaN, kNaN, "sec", false);
    _testData->addDataSymbol(_name, "VDX_VERSION_GET", "double", 3.1, 3.1, "Version", false);
    for (int n = 1; n <= kTiltRows; ++n) {
        const std::string tp = "TP" + std::to_string(n) + "_TILT_Ratio_";
        _testData->addDataSymbol(_name, tp + "410", "double", kNaN, kNaN, "%", false);
        _testData->addDataSymbol(_name, tp + "420", "double", kNaN, kNaN, "%", false);
        for (int w = 400; w <= 1100; w += 50)
            _testData->addDataSymbol(_name, tp + std::to_string(w), "double", kNaN, kNaN, "%", false);
    }
}

void CVLRA_cg_vdx::displayVDXData(const t_cgCalData* record) { cgCalData_display(_logManager, record); }

u16 CVLRA_cg_vdx::validateVDX(CNK_logManager* lm, const char* serialNumber, const char* folder, bool dryRun) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (const u16 rc = setLogManager(lm)) return rc;
    t_vlraVdxSource source;
    if (CVLRA_cg_testSession* s = _testSession) {
        source.caUrl = s->_vdxCaUrl;
        source.dsUrl = s->_vdxDsSetUrl;
        source.trustObjectUrl = s->_vdxTrustObjectUrl;
        if (!s->_vdxDryRunPath.empty()) source.repositoryDryRunFolder = s->_vdxDataPath;
        source.permission = static_cast<vdx_permission*>(s->_vdxPermission);
        source.repositoryLogFolder = s->_logPath;
    }
    return nkVlra_validateVDX(_logManager, serialNumber ? serialNumber : "", folder ? folder : "", dryRun, source);
}

void CVLRA_cg_vdx::performTest(t_nkTestMode) {
    NK_VALID_OR_RETURN_VOID();
    CVLRA_cg_testSession* s = _testSession;
    if (!s || !_testData) return;
    CNK_logManager* lm = _logManager;

    setStatus(kNkTestStat_TESTING);
    logValid(lm, "*** Handle VDXU *** ");
    s->_vdxVersion = -1.0;
    if (s->_hostVersion.find("DOE") != std::string::npos)
        logValid(lm, "* Lumbrel DOE overlay, Lumbrel SW version = %s", s->_hostVersion.c_str());
    if (s->_hostVersion.find("CarrierBuild") != std::string::npos)
        logValid(lm, "* Lumbrel CarrierBuild overlay, Lumbrel SW version = %s", s->_hostVersion.c_str());

    const double t0 = nkTest_now();
    const std::string sn = _serialNumber;
    const std::string folder = s->_logPath;
    logValid(lm, "* IQC or OQC => Download VDX Data Check: %s", sn.c_str());

    u16 code = 0;
    bool reported = false;  // the ending already has its report line
    const char* condition = "";
    u8* data = nullptr;
    i32 length = 0;
    auto record = [&](const char* item, double v) { _testData->recordData(_name, item, v); };
    auto unitFile = [&](const char* suffix) { return folder + "/" + sn + suffix; };
    do {
        // Without a unit's folder there is nowhere to keep the record or the repository log.
        if (folder.empty()) {
            code = kNKErr_invalidCondition;
            condition = "!_testSession->_logPath.empty()";
            break;
        }
        const std::string repoLog = unitFile("_vdx.log");
        const u16 got = nkVdx_getData(lm, kNKVdx_CtCl, sn.c_str(), &data, &length, nullptr, orNull(s->_vdxCaUrl),
                                      orNull(s->_vdxDsSetUrl), orNull(s->_vdxTrustObjectUrl),
                                      s->_vdxDryRunPath.empty() ? nullptr : s->_vdxDataPath.c_str(),
                                      static_cast<vdx_permission*>(s->_vdxPermission), 0, repoLog.c_str(), kVL1);
        record("VDX_CONFIRM_RESULT", got == 0 ? 1.0 : 0.0);
        logValid(lm, "* IQC VDX Retrieve Finish in %fs", nkTest_now() - t0);
        record("VDX_CONFIRM_TIME", nkTest_now() - t0);
        record("VDX_VERSION_GET", s->_vdxVersion);
        if (got != 0) {
            code = got;
            break;
        }
        const size_t size = data && length > 0 ? size_t(length) : 0;
        // An empty record has nothing to keep; the size check below refuses it.
        if (size > 0) {
            code = nkUtil_saveBitStream(lm, unitFile("_CtCl0.bin").c_str(), data, length, kVL1);
            if (code != 0) break;
        }

        t_cgCalData rec;
        if (!isRecordSize(size)) {
            logValid(lm, "[Err] VDX Retrieval Data Size Mismatch: %d %d", int(size), int(ctcl::kSizeV3));
            record("VDX_CONFIRM_RESULT", 0.0);
            code = kNKErr_vdx_dataCheckFailed;
            break;
        }
        logValid(lm, "* VDX Data Size Comparison Pass");
        if (cgCalData_read(lm, data, size, &rec) != 0) {
            // A short image claiming version 3: its table would lie past its end.
            record("VDX_CONFIRM_RESULT", 0.0);
            code = kNKErr_vdx_dataCheckFailed;
            reported = true;
            break;
        }
        displayVDXData(&rec);
        logValid(lm, "* VDX recv magic=0x%x ver=%d.%d", rec.magic, rec.versionMajor, rec.versionMinor);

        s->_vdxVersion = double(rec.versionMajor) + double(rec.versionMinor) / 10.0;
        record("VDX_VERSION_GET", s->_vdxVersion);
        if (rec.versionMajor == 3 && (rec.versionMinor == 1 || rec.versionMinor == 2)) {
            logValid(lm, "* VDX Data Version v%d.%d Check Pass.", 3, rec.versionMinor);
        } else {
            logValid(lm, "[Err] VDX Data Version Check Fail.");
            record("VDX_CONFIRM_RESULT", 0.0);
            code = kNKErr_vdx_dataCheckFailed;
            break;
        }

        logValid(lm, "** Check Spec ***");
        bool failed = _testData->checkSpec(_name, "VDX_CONFIRM_RESULT", "%d") != 0;
        failed = _testData->checkSpec(_name, "VDX_CONFIRM_TIME", "%5.3f") != 0 || failed;
        failed = _testData->checkSpec(_name, "VDX_VERSION_GET", "%1.1f") != 0 || failed;
        if (failed) {
            code = kNKErr_vdx_GET;
            break;
        }

        // Tilt ratio: both spectra normalised at 550 nm, this station's over the record's.
        logValid(lm, "* IQC or OQC => calculate Transmittance tilt ratio between local test data and VDX record ");
        const int points = int(std::min<u32>(s->_total_test_point, ctcl::kRows));
        std::vector<std::vector<float>> R(static_cast<size_t>(points)), N(static_cast<size_t>(points));
        for (int p = 0; p < points; ++p) R[size_t(p)] = cgCalData_row(rec, p);
        code = writeWhole(lm, unitFile("_atst_transVDX_forTiltRatio.csv"), nkVlra_vdxTiltCsv(R));
        if (code != 0) {
            reported = true;
            break;
        }
        logValid(lm, "* save CG T transmittance from VDX to %s", unitFile("_atst_transVDX_forTiltRatio.csv").c_str());
        for (int p = 0; p < points; ++p) {
            N[size_t(p)] = R[size_t(p)];
            for (float& v : N[size_t(p)]) v /= R[size_t(p)][kIdx550];
        }

        // The local curves must start where the record grid can take them, for the
        // points this comparison knows, each covering the whole local grid.
        const std::vector<float>& wl = s->_final_wl;
        if (wl.empty() || !(wl[0] == 380.0f || wl[0] == 400.0f)) {
            if (!wl.empty()) logValid(lm, "* Local test CG transmittance start from %d nm", int(wl[0]));
            code = kNKErr_invalidData;
            condition = "(_testSession->_final_wl[0]==380) || (_testSession->_final_wl[0]==400)";
            break;
        }
        logValid(lm, "* Local test CG transmittance start from %d nm", int(wl[0]));
        if (!(s->_total_test_point == 3 || s->_total_test_point == 5)) {
            code = kNKErr_invalidData;
            condition = "(_testSession->_total_test_point == 3) || (_testSession->_total_test_point == 5)";
            break;
        }
        bool complete = s->_final_T.size() >= size_t(points);
        for (int p = 0; complete && p < points; ++p) complete = s->_final_T[size_t(p)].size() >= wl.size();
        if (!complete) {
            code = kNKErr_invalidData;
            condition = "_testSession->_final_T[p].size() >= _testSession->_final_wl.size()";
            break;
        }

        const int offset = (int(wl[0]) - 300) / 2;  // 40 for 380 nm, 50 for 400 nm
        std::vector<std::vector<float>> L = N;
        for (int p = 0; p < points; ++p) {
            std::vector<float>& row = L[size_t(p)];
            const std::vector<float>& local = s->_final_T[size_t(p)];
            std::fill(row.begin(), row.begin() + offset, 0.0f);
            for (size_t j = 0; j < wl.size() && offset + int(j) < kGrid; ++j) row[size_t(offset) + j] = local[j];
            const float at550 = row[kIdx550];
            for (float& v : row) v /= at550;
        }
        // With five points the middle three local points face the record's first three.
        std::vector<std::vector<float>> Q = N;
        const int shift = points == 5 ? 1 : 0;
        for (int i = 0; i < kTiltRows; ++i)
            for (int k = 0; k < kGrid; ++k)
                Q[size_t(i)][size_t(k)] = L[size_t(i + shift)][size_t(k)] / N[size_t(i)][size_t(k)];

        code = writeWhole(lm, unitFile("_atst_trans_TiltRatio.csv"), nkVlra_vdxTiltCsv(Q));
        if (code != 0) {
            reported = true;
            break;
        }
        logValid(lm, "* save CG T transmittance tilt ratio between local test data and VDX record to %s",
             unitFile("_atst_trans_TiltRatio.csv").c_str());

        const std::vector<TiltSymbol> symbols = tiltSymbols();
        for (const TiltSymbol& t : symbols) record(t.name.c_str(), double(Q[size_t(t.row)][size_t(t.entry)]));
        logValid(lm, "*** Check spec *** T transmittance tilt ratio [local test / VDX record]");
        bool tiltFailed = false;
        for (const TiltSymbol& t : symbols)
            if (_testData->checkSpec(_name, t.name, "%7.7f") != 0) tiltFailed = true;
        if (tiltFailed) {
            code = kNKErr_t_pct_tilt_delta_OOS;
            reported = true;  // the check lines show every ratio out of its limits
        }
        logValid(lm, "* IQC or OQC => Skip VDX data uploading ");
    } while (false);

    std::free(data);
    if (code != 0 && !reported) VDX_REPORT(lm, code, condition);
    if (code != 0) _testData->recordError(code, nkError_getErrorString(code));
    const double elapsed = nkTest_now() - t0;
    const char* verdict = code == 0 ? "PASSED" : "FAILED";
    if (nkObj_isValid(s->_appLogManager))
        s->_appLogManager->printText(kVL1, "[T%d] *** VDX Data Posting Test %s  [in %.3f sec] ***", s->_testerCellId,
                                     verdict, elapsed);
    const char* errName = nkError_getErrorString(code);
    logValid(lm, "*** VDX Test %s  [in %.3f sec], ErrCode %d %s ***", verdict, elapsed, int(code), errName ? errName : "");
    setStatus(code == 0 ? kNkTestStat_PASS : kNkTestStat_FAIL);
}
