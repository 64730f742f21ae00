// Download, checks, version rules, table export and the one-unit validation of
// repository records, shared by the repository item and the operator tools.
#include "cvlra_vdx_check.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nk_error.h"
#include "nk_file.h"
#include "nk_utils.h"
#include "nk_vdx.h"

namespace {

CNK_logManager* usable(CNK_logManager* lm) { return nkObj_isValid(lm) ? lm : nullptr; }

void say(CNK_logManager* lm, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(CNK_logManager* lm, const char* format, ...) {
    if (!usable(lm)) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    lm->printText(kVL1, "%s", text);
}

#define CG_VDX_REPORT(lm, code, cond) \
    nkDebug_printError(usable(lm), __FILE__, nullptr, __func__, __LINE__, (uint16_t)(code), (cond))

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

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

// The dry-run source of a validation: "<sn>_CtCl.bin" in the folder, or the
// received copy "<sn>_CtCl0.bin" when that is allowed. Only regular files count.
std::string findRecordFile(const std::string& folder, const std::string& sn, bool takeReceivedCopy) {
    const std::string names[2] = {sn + "_CtCl.bin", sn + "_CtCl0.bin"};
    const std::vector<INK_dirEntry> entries = nkDir_getDirEntry(folder);
    for (int n = 0; n < (takeReceivedCopy ? 2 : 1); ++n)
        for (const INK_dirEntry& e : entries)
            if (e.type == INK_dirEntry::kFile && e.name == names[n]) return folder + "/" + e.name;
    return std::string();
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
        say(lm, "[Err] VDX Retrieval Data Size Mismatch: %d %d", static_cast<int>(bytes.size()),
            static_cast<int>(ctcl::kSizeV3));
        return kNKErr_vdx_dataCheckFailed;
    }
    say(lm, "* VDX Data Size Comparison Pass");
    const u16 rc = cgCalData_read(usable(lm), bytes.data(), bytes.size(), record);
    if (rc != kNKErr_OK) return rc;
    cgCalData_display(usable(lm), record);
    say(lm, "* VDX recv magic=0x%x ver=%d.%d", static_cast<unsigned>(record->magic), record->versionMajor,
        record->versionMinor);
    return kNKErr_OK;
}

u16 cgVdx_batchVersionVerdict(CNK_logManager* lm, const t_cgCalData& record) {
    const int major = record.versionMajor, minor = record.versionMinor;
    if ((major == 2 || major == 3) && (minor == 0 || minor == 1)) {
        say(lm, "* VDX Data Version v%d.%d Check Pass.", major, minor);
        return kNKErr_OK;
    }
    say(lm, "[Err] VDX Data Version Check Fail.");
    return kNKErr_vdx_dataCheckFailed;
}

u16 cgVdx_validationVersionVerdict(CNK_logManager* lm, const t_cgCalData& record) {
    const int major = record.versionMajor, minor = record.versionMinor;
    if (major != 2 && major != 3) {
        say(lm, "[Err] VDX Data Version Check Fail.");
        CG_VDX_REPORT(lm, kNKErr_vdx_dataCheckFailed, "versionMajor==2 || versionMajor==3");
        return kNKErr_vdx_dataCheckFailed;
    }
    if (minor == 0) say(lm, "* VDX Data Version v%d.%d Check Pass.", major, 0);
    else say(lm, "* VDX Data Version v%d.%d Check Fail. Upload VDX v2.1.", major, minor);
    return kNKErr_OK;
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
    say(lm, major == 3 ? "* Save Ver3 Vdx_getData_transx to local * " : "* Save Ver2 Vdx_getData_transx to local * ");
    if (const u16 rc = writeWhole(lm, transx, text)) return rc;
    say(lm, ".csv saved: %s", transx.c_str());
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
        say(lm, "%s", t.title);
        if (const u16 rc = writeWhole(lm, path, text)) return rc;
        say(lm, ".csv saved: %s", path.c_str());
    }
    return kNKErr_OK;
}

u16 cgVdx_validate(const t_cgVdxValidation& request) {
    CNK_logManager* lm = request.lm;
    const std::string& sn = request.serialNumber;
    say(lm, "*** Handle VDXU *** ");
    say(lm, "* VDX Data Check: %s", cgVdx_isSerialNumberValid(sn) ? sn.c_str() : "(refused)");
    if (!cgVdx_isSerialNumberValid(sn)) {
        CG_VDX_REPORT(lm, kNKErr_invalidParam, "cgVdx_isSerialNumberValid(sn)");
        return kNKErr_invalidParam;
    }

    std::vector<u8> bytes;
    if (!request.dryRun) {
        const auto t0 = std::chrono::steady_clock::now();
        const u16 rc = cgVdx_download(lm, request.endpoint, sn, request.repositoryLog, bytes);
        say(lm, "* IQC VDX Retrieve Finish in %fs", secondsSince(t0));
        if (rc != kNKErr_OK) {
            CG_VDX_REPORT(lm, rc, "nkVdx_getData()==0");
            return rc;
        }
    } else {
        if (!nkFile_isFileExist(request.folder)) {
            CG_VDX_REPORT(lm, kNKErr_pathNotExist, "nkFile_isFileExist(vdxFolder)");
            return kNKErr_pathNotExist;
        }
        std::printf("SN:%s\n", sn.c_str());
        std::fflush(stdout);
        const std::string path = findRecordFile(request.folder, sn, request.takeReceivedCopy);
        if (path.empty()) {
            CG_VDX_REPORT(lm, kNKErr_invalidCondition, "recordFile!=NULL");
            return kNKErr_invalidCondition;
        }
        // The size decides before anything is read, so no file of another size is loaded.
        const u64 size = nkFile_getFileSize(path);
        if (size != ctcl::kSizeV2 && size != ctcl::kSizeV3) {
            CG_VDX_REPORT(lm, kNKErr_invalidDataSize, "size==8106 || size==3598");
            return kNKErr_invalidDataSize;
        }
        bytes = nkFile_readFile(path);
        if (bytes.size() != size) {
            CG_VDX_REPORT(lm, kNKErr_invalidDataSize, "read==size");
            return kNKErr_invalidDataSize;
        }
    }

    if (!bytes.empty()) {
        const std::string copy = request.folder + "/" + sn + "_CtClx.bin";
        const u16 rc = nkUtil_saveBitStream(usable(lm), copy.c_str(), bytes.data(), static_cast<int>(bytes.size()), kVL1);
        if (rc != kNKErr_OK) {
            CG_VDX_REPORT(lm, rc, "nkUtil_saveBitStream()==0");
            return rc;
        }
    }

    t_cgCalData record;
    if (const u16 rc = cgVdx_checkReceived(lm, bytes, &record)) {
        CG_VDX_REPORT(lm, rc, "length==3598 || length==8106");
        return rc;
    }
    if (request.exportTables)
        if (const u16 rc = cgVdx_exportTables(lm, record, request.folder, sn)) return rc;
    return cgVdx_validationVersionVerdict(lm, record);
}
