// Download, checks, version rule and table export of repository records for the
// operator tools.
#include "cvlra_vdx_check.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nk_error.h"
#include "nk_file.h"
#include "nk_utils.h"
#include "nk_velora_log.h"
#include "nk_vdx.h"

namespace {

CNK_logManager* usable(CNK_logManager* lm) { return nkObj_isValid(lm) ? lm : nullptr; }

using nk_velora::logValid;

#define CG_VDX_REPORT(lm, code, cond) \
    nkDebug_printError(usable(lm), __FILE__, nullptr, __func__, __LINE__, (uint16_t)(code), (cond))

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
    char text[64];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n > 0) out.append(text, static_cast<size_t>(n) < sizeof(text) ? static_cast<size_t>(n) : sizeof(text) - 1);
}

u16 writeWhole(CNK_logManager* lm, const std::string& path, const std::string& text) {
    const u16 rc = nkFile_writeReplacing(path, {{text.data(), text.size()}});
    if (rc == kNKErr_OK) return kNKErr_OK;
    const u16 err = rc == kNKErr_fileOpenFailed ? u16{kNKErr_fileOpenFailed} : u16{kNKErr_fileWriteFailed};
    CG_VDX_REPORT(lm, err, err == kNKErr_fileOpenFailed ? "fp!=NULL" : "fwrite==length");
    return err;
}

}  // namespace

bool cgVdx_isSerialNumberValid(const std::string& serialNumber) {
    return serialNumber.size() == std::strlen(serialNumber.c_str()) &&
           nkVdx_isKeyValid(serialNumber.c_str());
}

u16 cgVdx_download(CNK_logManager* lm, const t_cgVdxEndpoint& endpoint, const std::string& key,
                   const std::string& repositoryLog, std::vector<u8>& out) {
    out.clear();
    if (!cgVdx_isSerialNumberValid(key)) {
        CG_VDX_REPORT(lm, kNKErr_invalidParam, "cgVdx_isSerialNumberValid(key)");
        return kNKErr_invalidParam;
    }
    u8* data = nullptr;
    i32 length = 0;
    const u16 rc = nkVdx_getData(usable(lm), kNKVdx_CtCl, key.c_str(), &data, &length, nullptr,
                                 orNull(endpoint.caUrl), orNull(endpoint.dsUrl), orNull(endpoint.trustObjectUrl),
                                 orNull(endpoint.dryRunFolder), endpoint.permission, 0, orNull(repositoryLog), kVL1);
    if (rc == kNKErr_OK && data && length > 0) out.assign(data, data + length);
    std::free(data);
    return rc;
}

u16 cgVdx_upload(CNK_logManager* lm, const t_cgVdxEndpoint& endpoint, const std::string& key,
                 const std::vector<u8>& bytes, const std::string& repositoryLog) {
    if (!cgVdx_isSerialNumberValid(key)) {
        CG_VDX_REPORT(lm, kNKErr_invalidParam, "cgVdx_isSerialNumberValid(key)");
        return kNKErr_invalidParam;
    }
    if (bytes.empty() || bytes.size() > 0x7FFFFFFFu) {
        CG_VDX_REPORT(lm, kNKErr_invalidDataSize, "bytes.size()>0 && bytes.size()<=INT32_MAX");
        return kNKErr_invalidDataSize;
    }
    return nkVdx_setData(usable(lm), kNKVdx_CtCl, key.c_str(), bytes.data(), static_cast<i32>(bytes.size()), nullptr,
                         orNull(endpoint.caUrl), orNull(endpoint.dsUrl), orNull(endpoint.trustObjectUrl),
                         orNull(endpoint.dryRunFolder), endpoint.permission, 0, orNull(repositoryLog), kVL1);
}

u16 cgVdx_checkReceived(CNK_logManager* lm, const std::vector<u8>& bytes, t_cgCalData* record) {
    if (bytes.size() != ctcl::kSizeV2 && bytes.size() != ctcl::kSizeV3) {
        logValid(lm, "[Err] VDX Retrieval Data Size Mismatch: %d %d", static_cast<int>(bytes.size()),
            static_cast<int>(ctcl::kSizeV3));
        return kNKErr_vdx_dataCheckFailed;
    }
    logValid(lm, "* VDX Data Size Comparison Pass");
    const u16 rc = cgCalData_read(usable(lm), bytes.data(), bytes.size(), record);
    if (rc != kNKErr_OK) return rc;
    cgCalData_display(usable(lm), record);
    logValid(lm, "* VDX recv magic=0x%x ver=%d.%d", static_cast<unsigned>(record->magic), record->versionMajor,
        record->versionMinor);
    return kNKErr_OK;
}

u16 cgVdx_batchVersionVerdict(CNK_logManager* lm, const t_cgCalData& record) {
    const int major = record.versionMajor, minor = record.versionMinor;
    if ((major == 2 || major == 3) && (minor == 0 || minor == 1)) {
        logValid(lm, "* VDX Data Version v%d.%d Check Pass.", major, minor);
        return kNKErr_OK;
    }
    logValid(lm, "[Err] VDX Data Version Check Fail.");
    return kNKErr_vdx_dataCheckFailed;
}

u16 cgVdx_exportTables(CNK_logManager* lm, const t_cgCalData& record, const std::string& folder,
                       const std::string& serialNumber) {
    const int major = record.versionMajor;
    if (major != 2 && major != 3) return kNKErr_OK;
    std::vector<float> rows[ctcl::kRows];
    for (int c = 0; c < ctcl::kRows; ++c) rows[c] = cgCalData_row(record, c);

    // One line per 2 nm from 300 to 1100 nm; a version-2 record starts at 400 nm.
    const int lead = major == 3 ? 0 : (ctcl::kFirstNmV2 - ctcl::kFirstNmV3) / 2;
    std::string text;
    for (int k = 0; k < ctcl::kValuesV3; ++k) {
        for (int c = 0; c < ctcl::kRows; ++c)
            appendf(text, "%5.10f,", k < lead ? 0.0 : static_cast<double>(rows[c][static_cast<size_t>(k - lead)]));
        text += '\n';
    }
    text += '\n';
    const std::string transx = folder + "/" + serialNumber + "_atst_transx.csv";
    logValid(lm, major == 3 ? "* Save Ver3 Vdx_getData_transx to local * " : "* Save Ver2 Vdx_getData_transx to local * ");
    if (const u16 rc = writeWhole(lm, transx, text)) return rc;
    logValid(lm, ".csv saved: %s", transx.c_str());
    if (major != 3) return kNKErr_OK;

    const struct {
        const u16* codes;
        const char* suffix;
        const char* title;
    } tables[] = {{record.weighted, "_atst_weightedTx.csv", "* Save Ver3 Vdx_getData_weightedTx to local * "},
                  {record.transmittance2d, "_unif_2dTx.csv", "* Save Ver3 Vdx_getData_2dTx to local * "}};
    for (const auto& t : tables) {
        text.clear();
        for (int k = 0; k < ctcl::kValuesV3; ++k) {
            u16 code;
            std::memcpy(&code, reinterpret_cast<const u8*>(t.codes) + 2 * k, sizeof(code));
            appendf(text, "%5.10f,\n", static_cast<double>(cgCalData_percent(code)));
        }
        const std::string path = folder + "/" + serialNumber + t.suffix;
        logValid(lm, "%s", t.title);
        if (const u16 rc = writeWhole(lm, path, text)) return rc;
        logValid(lm, ".csv saved: %s", path.c_str());
    }
    return kNKErr_OK;
}
