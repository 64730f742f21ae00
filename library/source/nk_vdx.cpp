// Device-data repository access over the repository library, with dry runs on
// local files.
#include "nk_vdx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "hexlo.h"
#include "nk_file.h"
#include "plist/pf_plist.h"
#include "vdx.h"

namespace {

// One repository transfer at a time in the whole process: the repository
// library's clients must not meet.
std::mutex g_transferMutex;

// Most detailed repository message level passed on (system-log numbering).
std::atomic<u8> g_logLevel{7};

// Where the repository's messages go: the log file of the current call. Written
// by every call, read by the handler, so both sides take the lock.
std::mutex g_handlerMutex;
std::string g_handlerFile;

// The older family's permission, built once.
std::mutex g_olderMutex;
vdx_permission* g_olderPermission = nullptr;

constexpr const char* kMemoryStore = "Memory";
constexpr i32 kTimeoutSeconds = 2;
constexpr int kPutRounds = 4;
constexpr size_t kMaxFolderLength = 512;
constexpr size_t kMaxKeyLength = 127;

// The data classes the repository access knows. CtCl is the CG record; the
// others are this station family's further classes.
constexpr u32 kClassTable[] = {
    0x4374436C,  // CtCl
    0x4653436C,  // FSCl
    0x4E764D52,  // NvMR
    0x686F7030,  // hop0
    0x6D524C44,  // mRLD
    0x4C73436C,  // LsCl
    0x556E436C,  // UnCl
    0x54785266,  // TxRf
    0x4772546C,  // GrTl
    0x4476496E,  // DvIn
};

struct ClassText {
    char text[5];
};

ClassText fourChars(u32 dataClass) {
    ClassText t{};
    for (int i = 0; i < 4; ++i) t.text[i] = static_cast<char>((dataClass >> (24 - 8 * i)) & 0xFFu);
    t.text[4] = '\0';
    return t;
}

// A class that can stand in a file name as four visible characters.
bool isFileClass(u32 dataClass) {
    for (int i = 0; i < 4; ++i) {
        const u32 c = (dataClass >> (24 - 8 * i)) & 0xFFu;
        if (c < 0x21 || c > 0x7E || c == '/') return false;
    }
    return true;
}

template <typename T, void (*F)(T*)>
struct Releaser {
    void operator()(T* p) const { F(p); }
};
using InstancePtr = std::unique_ptr<vdx_instance, Releaser<vdx_instance, vdx_instance_release>>;
using DataPtr = std::unique_ptr<vdx_data, Releaser<vdx_data, vdx_data_release>>;
using PermissionPtr = std::unique_ptr<vdx_permission, Releaser<vdx_permission, vdx_permission_release>>;
using OptionsPtr = std::unique_ptr<vdx_options, Releaser<vdx_options, vdx_options_release>>;
using ClientPtr = std::unique_ptr<vdx_client, Releaser<vdx_client, vdx_client_release>>;
using ErrorPtr = std::unique_ptr<vdx_error, Releaser<vdx_error, vdx_error_release>>;

// ---------------------------------------------------------------- log handlers

void passOn(int level, const char* message, int threshold) {
    if (!message || level > threshold) return;
    std::lock_guard<std::mutex> lock(g_handlerMutex);
    std::fprintf(stdout, "%s\n", message);
    std::fflush(stdout);
    if (g_handlerFile.empty()) return;
    if (FILE* f = std::fopen(g_handlerFile.c_str(), "a+")) {
        std::fprintf(f, "%s\n", message);
        std::fclose(f);
    }
}

void repositoryHandler(int level, const char* message) { passOn(level, message, g_logLevel.load()); }
// The older family passes on errors and warnings only.
void olderHandler(int level, const char* message) { passOn(level, message, 4); }

void rememberLogFile(const char* logFileName) {
    std::lock_guard<std::mutex> lock(g_handlerMutex);
    g_handlerFile = logFileName ? logFileName : "";
}

// ---------------------------------------------------------------- one call's log

class Call {
public:
    Call(CNK_logManager* lm, t_nkVbsLvl verbosity, const char* name)
        : lm_(nkObj_isValid(lm) ? lm : nullptr), verbosity_(verbosity), name_(name),
          start_(std::chrono::steady_clock::now()) {}

    [[gnu::format(printf, 3, 4)]] void print(t_nkVbsLvl level, const char* format, ...) {
        if (!lm_) return;
        char text[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof(text), format, args);
        va_end(args);
        lm_->printText(level, "%s", text);
    }
    u16 fail(int line, u16 code, const char* condition) const {
        nkDebug_printError(lm_, __FILE__, nullptr, name_, line, code, condition);
        return code;
    }
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    t_nkVbsLvl verbosity() const { return verbosity_; }
    const char* name() const { return name_; }

private:
    CNK_logManager* lm_;
    t_nkVbsLvl verbosity_;
    const char* name_;
    std::chrono::steady_clock::time_point start_;
};

#define NK_VDX_FAIL(call, code, cond) (call).fail(__LINE__, (code), (cond))

// ---------------------------------------------------------------- clients

// What a transfer's client is built from.
struct ClientSetup {
    const t_nkVdxRequest* requests = nullptr;
    i32 requestCount = 0;
    vdx_permission* unified = nullptr;
    const char* caUrl = nullptr;
    const char* dsUrl = nullptr;
    const char* trustObjectUrl = nullptr;
    bool upload = false;
    bool memoryStore = false;  // read the in-memory store; no trust object then
};

// Objects of one transfer, released on every path when it goes out of scope.
struct Objects {
    InstancePtr instance;
    DataPtr blob;
    PermissionPtr individual;
    OptionsPtr options;
    ClientPtr client;
    DataPtr trust;
    DataPtr digest;
};

u16 openClient(Call& c, const ClientSetup& s, Objects& o) {
    vdx_permission* permission = s.unified;
    if (!s.unified && s.requests && s.requestCount >= 1) {
        c.print(kVL1, "*** VDX *** Request Individual Certificate ***");
        for (i32 i = 0; i < s.requestCount; ++i) {
            const char* reqClass = nkVdx_classText(s.requests[i].dataClass);
            if (!reqClass[0]) return NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "reqClass!=NULL");
            if (i == 0) {
                o.individual.reset(vdx_permission_create(s.requests[i].access, reqClass, o.instance.get()));
                if (!o.individual) return NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "permission!=NULL");
            } else if (vdx_permission_append(o.individual.get(), s.requests[i].access, reqClass, o.instance.get()) <= 0) {
                return NK_VDX_FAIL(c, kNKErr_vdxAppendPermissionsString, "isOkay>0");
            }
        }
        permission = o.individual.get();
    }

    o.options.reset(vdx_options_create());
    if (!o.options) return NK_VDX_FAIL(c, kNKErr_vdxCreation, "options!=NULL");
    if (s.caUrl) {
        vdx_options_setString(o.options.get(), "CAURL", s.caUrl);
        c.print(kVL1, "*** VDX *** %s CA URL: %s", c.name(), s.caUrl);
    }
    if (s.dsUrl) {
        vdx_options_setString(o.options.get(), "DSURL", s.dsUrl);
        c.print(kVL1, "*** VDX *** %s DS URL: %s", c.name(), s.dsUrl);
    }
    if (s.unified) c.print(kVL1, "*** VDX *** Use Unified Certificate ***");
    else c.print(kVL1, "*** VDX *** Use Individual Certificate ***");
    if (permission) vdx_options_setPermission(o.options.get(), "Permissions", permission);
    vdx_options_setInt32(o.options.get(), "HTTPTimeout", kTimeoutSeconds);
    if (s.upload) {
        vdx_options_setBool(o.options.get(), "VerifyData", 0);
        vdx_options_setBool(o.options.get(), "StripVantex", 1);
    }
    o.client.reset(vdx_client_create(o.options.get()));
    if (!o.client) return NK_VDX_FAIL(c, kNKErr_vdxCreation, "vdxClient!=NULL");
    if (s.memoryStore) {
        vdx_client_setString(o.client.get(), "DataStore", kMemoryStore);
        return kNKErr_OK;
    }

    if (s.trustObjectUrl) c.print(kVL1, "*** VDX *** %s TrustObject URL: %s", c.name(), s.trustObjectUrl);
    vdx_error* rawError = nullptr;
    o.trust.reset(vdx_copyTrustObject(s.trustObjectUrl, &rawError));
    ErrorPtr error(rawError);
    if (!o.trust) {
        c.print(kVL1, "*** VDX *** %s copy of the trust object failed", c.name());
        // A failure is never a success, whatever code came with it.
        u16 code = error ? vdxError2nkError(vdx_error_code(error.get())) : static_cast<u16>(kNKErr_vdx_trustObj_issue);
        if (code == kNKErr_OK) code = kNKErr_vdx_trustObj_issue;
        return NK_VDX_FAIL(c, code, "trustObject!=NULL");
    }
    u8 digest[HEXLO_SHA256_LENGTH];
    if (hexlo_sha256(vdx_data_bytes(o.trust.get()), vdx_data_length(o.trust.get()), digest) != 0) {
        c.print(kVL1, "*** VDX *** %s digest of the trust object failed", c.name());
        return NK_VDX_FAIL(c, kNKErr_vdx_GET, "hexlo_sha256()==0");
    }
    o.digest.reset(vdx_data_create(digest, sizeof(digest)));
    if (!o.digest) {
        c.print(kVL1, "* %s vdx_data_create failed", c.name());
        return NK_VDX_FAIL(c, kNKErr_vdx_GET, "digestData!=NULL");
    }
    vdx_client_setData(o.client.get(), "TrustObject", o.trust.get());
    vdx_client_setData(o.client.get(), "TrustObjectDigest", o.digest.get());
    vdx_client_setInstance(o.client.get(), "INST", o.instance.get());
    return kNKErr_OK;
}

// One transfer: the process-wide lock, its log file noted, then `body`, which
// gives 0 or the code it reported.
template <class Body>
u16 underTransferLock(const char* logFileName, Body body) {
    std::lock_guard<std::mutex> lock(g_transferMutex);
    rememberLogFile(logFileName);
    return body();
}

// The key's instance in `o`; 0 or the reported code.
u16 createInstance(const Call& c, const char* key, Objects& o) {
    o.instance.reset(vdx_instance_create(key));
    if (!o.instance) return NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "dataInstance!=NULL");
    return kNKErr_OK;
}

void pause1ms() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// ---------------------------------------------------------------- transfers

u16 upload(const char* fn, CNK_logManager* lm, u32 dataClass, const char* key, const u8* data, i32 length,
           const ClientSetup& setup, const char* logFileName, vdx_log_handler handler, t_nkVbsLvl verbosity) {
    Call c(lm, verbosity, fn);
    c.print(verbosity, "\n* %s *", fn);
    const ClassText tag = fourChars(dataClass);
    const u16 code = underTransferLock(logFileName, [&]() -> u16 {
        if (!key) return NK_VDX_FAIL(c, kNKErr_invalidParam, "vdxKey!=NULL");
        if (!data) return NK_VDX_FAIL(c, kNKErr_invalidParam, "vdxDataBuff!=NULL");
        if (length < 1) return NK_VDX_FAIL(c, kNKErr_invalidParam, "vdxDataBuffLen>0");
        if (!nkVdx_isKeyValid(key)) return NK_VDX_FAIL(c, kNKErr_invalidParam, "nkVdx_isKeyValid(vdxKey)");
        vdx_setLogHandler(handler);
        c.print(verbosity, "  tag='%s' size=%d", tag.text, length);
        Objects o;
        if (const u16 rc = createInstance(c, key, o)) return rc;
        o.blob.reset(vdx_data_create(data, static_cast<size_t>(length)));
        if (!o.blob) return NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "valueData!=NULL");
        if (const u16 rc = openClient(c, setup, o)) return rc;

        u16 mapped = kNKErr_OK;
        bool stored = false;
        for (int round = 0; round < kPutRounds; ++round) {
            if (round > 0) c.print(verbosity, "\n\n[VDX PUT RETRY: round%d]", round);
            pause1ms();
            vdx_error* rawError = nullptr;
            stored = vdx_put(o.client.get(), tag.text, o.instance.get(), o.blob.get(), &rawError) != 0;
            ErrorPtr error(rawError);
            if (error) {
                mapped = vdxError2nkError(vdx_error_code(error.get()));
                if (mapped != kNKErr_OK) break;
            }
            if (stored) break;
        }
        if (mapped == kNKErr_vdx_internal_issue) mapped = kNKErr_vdx_SET;
        if (mapped != kNKErr_OK) return NK_VDX_FAIL(c, mapped, "vdxError==NULL");
        if (!stored) return NK_VDX_FAIL(c, kNKErr_vdx_SET, "isOkay");
        return kNKErr_OK;
    });
    c.print(verbosity, "* %s %s ('%s',%d)[in %.3f sec] *", fn, code ? "FAILED" : "OK", tag.text, length, c.seconds());
    return code;
}

// Downloads into *data / *length (already cleared by the caller).
u16 download(const char* fn, CNK_logManager* lm, u32 dataClass, const char* key, u8** data, i32* length,
             const ClientSetup& setup, const char* logFileName, vdx_log_handler handler, bool reportCopyFailure,
             t_nkVbsLvl verbosity) {
    Call c(lm, verbosity, fn);
    c.print(verbosity, "\n* %s *", fn);
    const ClassText tag = fourChars(dataClass);
    i32 received = 0;
    const u16 code = underTransferLock(logFileName, [&]() -> u16 {
        if (!key) return NK_VDX_FAIL(c, kNKErr_invalidParam, "vdxKey!=NULL");
        if (!data) return NK_VDX_FAIL(c, kNKErr_invalidParam, "ppVdxDataBuff!=NULL");
        if (!length) return NK_VDX_FAIL(c, kNKErr_invalidParam, "pVdxDataBuffLen!=NULL");
        if (!nkVdx_isKeyValid(key)) return NK_VDX_FAIL(c, kNKErr_invalidParam, "nkVdx_isKeyValid(vdxKey)");
        vdx_setLogHandler(handler);
        c.print(verbosity, "  tag='%s'", tag.text);
        Objects o;
        if (const u16 rc = createInstance(c, key, o)) return rc;
        if (const u16 rc = openClient(c, setup, o)) return rc;

        pause1ms();
        vdx_error* rawError = nullptr;
        DataPtr blob(vdx_copy(o.client.get(), tag.text, o.instance.get(), &rawError));
        ErrorPtr error(rawError);
        if (!blob && reportCopyFailure)
            c.print(kVL1, "* %s copy failed: error %d, timed out %s, %.3f sec", fn,
                    error ? vdx_error_code(error.get()) : 0,
                    error && vdxError2nkError(vdx_error_code(error.get())) == kNKErr_vdx_connection_timeout ? "yes"
                                                                                                          : "no",
                    c.seconds());
        if (error) {
            u16 mapped = vdxError2nkError(vdx_error_code(error.get()));
            if (mapped == kNKErr_vdx_internal_issue) mapped = kNKErr_vdx_GET;
            if (mapped != kNKErr_OK) return NK_VDX_FAIL(c, mapped, "vdxError==NULL");
        }
        if (!blob) return NK_VDX_FAIL(c, kNKErr_vdx_GET, "outValueData");
        const size_t size = vdx_data_length(blob.get());
        if (size > static_cast<size_t>(INT32_MAX)) return NK_VDX_FAIL(c, kNKErr_invalidDataSize, "size<=INT32_MAX");
        if (size > 0) {
            u8* buffer = static_cast<u8*>(std::calloc(size, 1));
            if (!buffer) return NK_VDX_FAIL(c, kNKErr_memoryAllocationFailed, "buffer!=NULL");
            std::memcpy(buffer, vdx_data_bytes(blob.get()), size);
            *data = buffer;
        }
        *length = received = static_cast<i32>(size);
        return kNKErr_OK;
    });
    c.print(verbosity, "* %s %s ('%s',%d)[in %.3f sec] *", fn, code ? "FAILED" : "OK", tag.text, received,
            c.seconds());
    return code;
}

vdx_permission* olderPermission() {
    std::lock_guard<std::mutex> lock(g_olderMutex);
    return g_olderPermission;
}

std::string dryRunPath(const char* folder, const char* key, u32 dataClass) {
    return std::string(folder) + "/" + key + "_" + fourChars(dataClass).text + ".bin";
}

// The checks both dry runs make; 0 or the reported code.
u16 checkDryRun(const Call& c, u32 dataClass, const char* key, const char* folder) {
    if (!key) return NK_VDX_FAIL(c, kNKErr_invalidParam, "vdxKey!=NULL");
    if (!folder) return NK_VDX_FAIL(c, kNKErr_invalidParam, "vdxDryRunUrl!=NULL");
    if (strnlen(folder, kMaxFolderLength) >= kMaxFolderLength)
        return NK_VDX_FAIL(c, kNKErr_invalidParam, "strlen(vdxDryRunUrl)<512");
    if (!nkVdx_isKeyValid(key)) return NK_VDX_FAIL(c, kNKErr_invalidParam, "nkVdx_isKeyValid(vdxKey)");
    if (!isFileClass(dataClass)) return NK_VDX_FAIL(c, kNKErr_invalidParam, "isFileClass(dataClass)");
    return kNKErr_OK;
}

}  // namespace

// ---------------------------------------------------------------- public calls

u16 vdxError2nkError(long vdxCode) {
    switch (vdxCode) {
        case 0:
        case 18:
            return kNKErr_OK;
        case 7:
            return kNKErr_vdx_no_entry;
        case 8:
        case 11:
            return kNKErr_vdx_connection_timeout;
        default:
            return kNKErr_vdx_internal_issue;
    }
}

const char* nkVdx_classText(u32 dataClass) {
    static const struct Table {
        ClassText texts[sizeof(kClassTable) / sizeof(kClassTable[0])];
        Table() {
            for (size_t i = 0; i < sizeof(kClassTable) / sizeof(kClassTable[0]); ++i) texts[i] = fourChars(kClassTable[i]);
        }
    } table;
    for (size_t i = 0; i < sizeof(kClassTable) / sizeof(kClassTable[0]); ++i)
        if (kClassTable[i] == dataClass) return table.texts[i].text;
    return "";
}

bool nkVdx_isKeyValid(const char* key) {
    if (!key) return false;
    const size_t n = strnlen(key, kMaxKeyLength + 1);
    if (n == 0 || n > kMaxKeyLength) return false;
    if (std::strstr(key, "..")) return false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ch = static_cast<unsigned char>(key[i]);
        if (ch == '/' || ch < 0x20 || ch == 0x7F) return false;
    }
    return true;
}

u16 nkVdx_setData(CNK_logManager* lm, u32 dataClass, const char* key, const u8* data, i32 length,
                  const t_nkVdxRequest* requests, const char* caUrl, const char* dsUrl, const char* trustObjectUrl,
                  const char* dryRunFolder, vdx_permission* unifiedPermission, i32 requestCount,
                  const char* logFileName, t_nkVbsLvl verbosity) {
    if (dryRunFolder) return nkVdx_setData_dryRun(lm, dataClass, key, dryRunFolder, data, length, verbosity);
    const ClientSetup setup{.requests = requests, .requestCount = requestCount, .unified = unifiedPermission,
                            .caUrl = caUrl, .dsUrl = dsUrl, .trustObjectUrl = trustObjectUrl, .upload = true};
    return upload(__func__, lm, dataClass, key, data, length, setup, logFileName, repositoryHandler, verbosity);
}

u16 nkVdx_getData(CNK_logManager* lm, u32 dataClass, const char* key, u8** data, i32* length,
                  const t_nkVdxRequest* requests, const char* caUrl, const char* dsUrl, const char* trustObjectUrl,
                  const char* dryRunFolder, vdx_permission* unifiedPermission, i32 requestCount,
                  const char* logFileName, t_nkVbsLvl verbosity) {
    // A failed download never leaves an earlier buffer for the caller to take as this one.
    if (data) *data = nullptr;
    if (length) *length = 0;
    if (dryRunFolder) return nkVdx_getData_dryRun(lm, dataClass, key, dryRunFolder, data, length, verbosity);
    const ClientSetup setup{.requests = requests, .requestCount = requestCount, .unified = unifiedPermission,
                            .caUrl = caUrl, .dsUrl = dsUrl, .trustObjectUrl = trustObjectUrl};
    return download(__func__, lm, dataClass, key, data, length, setup, logFileName, repositoryHandler, false,
                    verbosity);
}

vdx_permission* nkVdx_createVdxPermission(CNK_logManager* lm, const t_nkVdxRequest* requests, i32 requestCount,
                                          const char* logFileName, t_nkVbsLvl verbosity) {
    NK_ASSERT_FN(requests != nullptr && requestCount >= 1);
    Call c(lm, verbosity, __func__);
    c.print(verbosity, "*** VDX *** Generate Permission/Certificate ***");
    rememberLogFile(logFileName);
    vdx_setLogHandler(repositoryHandler);
    InstancePtr all(vdx_instance_create("*"));
    if (!all) {
        NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "instance!=NULL");
        return nullptr;
    }
    PermissionPtr permission;
    for (i32 i = 0; i < requestCount; ++i) {
        const char* reqClass = nkVdx_classText(requests[i].dataClass);
        if (!reqClass[0]) {
            NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "reqClass!=NULL");
            return nullptr;
        }
        if (i == 0) {
            permission.reset(vdx_permission_create(requests[i].access, reqClass, all.get()));
            if (!permission) {
                NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "permission!=NULL");
                return nullptr;
            }
        } else if (vdx_permission_append(permission.get(), requests[i].access, reqClass, all.get()) <= 0) {
            NK_VDX_FAIL(c, kNKErr_vdxAppendPermissionsString, "isOkay>0");
            return nullptr;
        }
    }
    return permission.release();
}

u16 nkVdx_setVdxLogLevel(u8 level) {
    if (level >= 8) {
        NK_REPORT_FN(kNKErr_invalidParam, "logLevel <= LOG_DEBUG");
        return kNKErr_invalidParam;
    }
    g_logLevel.store(level);
    return kNKErr_OK;
}

u16 nkVdx_setData_dryRun(CNK_logManager* lm, u32 dataClass, const char* key, const char* dryRunFolder,
                         const u8* data, i32 length, t_nkVbsLvl verbosity) {
    Call c(lm, verbosity, __func__);
    c.print(verbosity, "\n* %s *", __func__);
    if (!data) return NK_VDX_FAIL(c, kNKErr_invalidParam, "vdxDataBuff!=NULL");
    if (length < 1) return NK_VDX_FAIL(c, kNKErr_invalidParam, "vdxDataBuffLen>0");
    if (const u16 rc = checkDryRun(c, dataClass, key, dryRunFolder)) return rc;
    c.print(verbosity, " Upload VDX key %s, size %d", fourChars(dataClass).text, length);
    // Through a temporary file and a rename: a reader never sees half a record,
    // and a failed write leaves the previous file whole.
    const u16 rc = nkFile_writeReplacing(dryRunPath(dryRunFolder, key, dataClass), {{data, static_cast<size_t>(length)}});
    if (rc == kNKErr_OK) return kNKErr_OK;
    if (rc == kNKErr_fileOpenFailed) return NK_VDX_FAIL(c, kNKErr_fileOpenFailed, "fp!=NULL");
    return NK_VDX_FAIL(c, kNKErr_fileWriteFailed, "writeLeng==length");
}

u16 nkVdx_getData_dryRun(CNK_logManager* lm, u32 dataClass, const char* key, const char* dryRunFolder, u8** data,
                         i32* length, t_nkVbsLvl verbosity) {
    if (data) *data = nullptr;
    if (length) *length = 0;
    Call c(lm, verbosity, __func__);
    c.print(verbosity, "\n* %s *", __func__);
    if (!data) return NK_VDX_FAIL(c, kNKErr_invalidParam, "ppVdxDataBuff!=NULL");
    if (!length) return NK_VDX_FAIL(c, kNKErr_invalidParam, "pVdxDataBuffLen!=NULL");
    if (const u16 rc = checkDryRun(c, dataClass, key, dryRunFolder)) return rc;
    const std::string path = dryRunPath(dryRunFolder, key, dataClass);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return NK_VDX_FAIL(c, kNKErr_vdx_no_entry, "fp!=NULL");
        return NK_VDX_FAIL(c, kNKErr_fileOpenFailed, "fp!=NULL");
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return NK_VDX_FAIL(c, kNKErr_fileReadFailed, "S_ISREG(st.st_mode)");
    }
    if (st.st_size > INT32_MAX) {
        close(fd);
        return NK_VDX_FAIL(c, kNKErr_invalidDataSize, "size<=INT32_MAX");
    }
    const size_t size = static_cast<size_t>(st.st_size);
    c.print(verbosity, " Get VDX key %s, size %d", fourChars(dataClass).text, static_cast<int>(size));
    if (size == 0) {
        close(fd);
        return kNKErr_OK;
    }
    u8* buffer = static_cast<u8*>(std::calloc(size, 1));
    if (!buffer) {
        close(fd);
        return NK_VDX_FAIL(c, kNKErr_memoryAllocationFailed, "buffer!=NULL");
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (done != size) {
        std::free(buffer);
        return NK_VDX_FAIL(c, kNKErr_fileReadFailed, "readLeng==size");
    }
    *data = buffer;
    *length = static_cast<i32>(size);
    return kNKErr_OK;
}

// ---------------------------------------------------------------- older family

u16 nkVdx_init_permission(CNK_logManager* lm, int stationKind, t_nkVbsLvl verbosity) {
    Call c(lm, verbosity, __func__);
    std::lock_guard<std::mutex> lock(g_olderMutex);
    if (g_olderPermission) return kNKErr_OK;
    // Per station kind, the classes with the access each is asked for.
    static const t_nkVdxRequest kKind0[] = {{0x4374436C, 0}, {0x4374436C, 1}, {0x4653436C, 0}, {0x4653436C, 1},
                                            {0x4E764D52, 0}, {0x4E764D52, 1}, {0x686F7030, 0}, {0x686F7030, 1}};
    static const t_nkVdxRequest kKind12[] = {{0x4374436C, 0}, {0x4653436C, 0}, {0x4E764D52, 0}};
    static const t_nkVdxRequest kKind34[] = {
        {0x4374436C, 0}, {0x4653436C, 0}, {0x4E764D52, 0}, {0x686F7030, 0}, {0x6D524C44, 1}};
    const t_nkVdxRequest* requests = nullptr;
    size_t count = 0;
    switch (stationKind) {
        case 0:
            requests = kKind0;
            count = sizeof(kKind0) / sizeof(kKind0[0]);
            break;
        case 1:
        case 2:
            requests = kKind12;
            count = sizeof(kKind12) / sizeof(kKind12[0]);
            break;
        case 3:
        case 4:
            requests = kKind34;
            count = sizeof(kKind34) / sizeof(kKind34[0]);
            break;
        default:
            return NK_VDX_FAIL(c, kNKErr_notSupported, "stationKind<=4");
    }
    vdx_setLogHandler(olderHandler);
    InstancePtr all(vdx_instance_create("*"));
    if (!all) return NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "instance!=NULL");
    PermissionPtr permission;
    for (size_t i = 0; i < count; ++i) {
        const char* reqClass = nkVdx_classText(requests[i].dataClass);
        if (i == 0) {
            permission.reset(vdx_permission_create(requests[i].access, reqClass, all.get()));
            if (!permission) return NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "permission!=NULL");
        } else if (vdx_permission_append(permission.get(), requests[i].access, reqClass, all.get()) <= 0) {
            return NK_VDX_FAIL(c, kNKErr_vdxAppendPermissionsString, "isOkay>0");
        }
    }
    g_olderPermission = permission.release();
    return kNKErr_OK;
}

u16 nkVdx_set_data(CNK_logManager* lm, u32 dataClass, const char* key, const u8* data, i32 length, const char* caUrl,
                   const char* dsUrl, const char* trustObjectUrl, t_nkVbsLvl verbosity) {
    const ClientSetup setup{
        .unified = olderPermission(), .caUrl = caUrl, .dsUrl = dsUrl, .trustObjectUrl = trustObjectUrl, .upload = true};
    return upload(__func__, lm, dataClass, key, data, length, setup, nullptr, olderHandler, verbosity);
}

u16 nkVdx_get_data(CNK_logManager* lm, u32 dataClass, const char* key, u8** data, i32* length, const char* caUrl,
                   const char* dsUrl, const char* trustObjectUrl, t_nkVbsLvl verbosity) {
    if (data) *data = nullptr;
    if (length) *length = 0;
    const ClientSetup setup{
        .unified = olderPermission(), .caUrl = caUrl, .dsUrl = dsUrl, .trustObjectUrl = trustObjectUrl};
    return download(__func__, lm, dataClass, key, data, length, setup, nullptr, olderHandler, true, verbosity);
}

u16 nkVdx_get_data_mem(CNK_logManager* lm, const char* key, const char* plistPath, u8** data, i32* length) {
    if (data) *data = nullptr;
    if (length) *length = 0;
    Call c(lm, kVL1, __func__);
    if (!key) return NK_VDX_FAIL(c, kNKErr_invalidPointer, "module_sn!=NULL");
    if (!plistPath) return NK_VDX_FAIL(c, kNKErr_invalidPointer, "plist_path");
    if (!data) return NK_VDX_FAIL(c, kNKErr_invalidPointer, "ppDataBuff!=NULL");
    if (!length) return NK_VDX_FAIL(c, kNKErr_invalidPointer, "pDataBuffLen!=NULL");
    c.print(kVL1, ". plist Data Url %s", plistPath);
    pf::plist::Value root;
    if (!pf::plist::readFile(plistPath, root) || root.type() != pf::plist::Value::Type::Dict)
        return NK_VDX_FAIL(c, kNKErr_fileReadFailed, "plist readable");
    {
        // Filled under the transfer lock, so no reader meets a half-filled store.
        std::lock_guard<std::mutex> lock(g_transferMutex);
        vdx_memoryStore_clear(kMemoryStore);
        for (size_t i = 0; i < root.keys().size(); ++i) {
            const pf::plist::Value& entries = root.items()[i];
            if (entries.type() != pf::plist::Value::Type::Dict) continue;
            for (size_t j = 0; j < entries.keys().size(); ++j) {
                const pf::plist::Value& blob = entries.items()[j];
                if (blob.type() != pf::plist::Value::Type::Data) continue;
                DataPtr d(vdx_data_create(blob.bytes().data(), blob.bytes().size()));
                if (!d || !vdx_memoryStore_put(kMemoryStore, root.keys()[i].c_str(), entries.keys()[j].c_str(), d.get()))
                    return NK_VDX_FAIL(c, kNKErr_vdxDataAllocation, "vdx_memoryStore_put()");
            }
        }
    }
    const ClientSetup setup{.unified = olderPermission(), .memoryStore = true};
    return download(__func__, lm, kNKVdx_CtCl, key, data, length, setup, nullptr, olderHandler, true, kVL1);
}

u16 nkVdx_del_data(CNK_logManager* lm, u32 dataClass, const char* key, const char* caUrl, const char* dsUrl,
                   const char* trustObjectUrl, t_nkVbsLvl verbosity) {
    Call c(lm, verbosity, __func__);
    c.print(verbosity, "\n* %s *", __func__);
    const ClassText tag = fourChars(dataClass);
    const u16 code = underTransferLock(nullptr, [&]() -> u16 {
        if (!key) return NK_VDX_FAIL(c, kNKErr_invalidParam, "vdxKey!=NULL");
        if (!nkVdx_isKeyValid(key)) return NK_VDX_FAIL(c, kNKErr_invalidParam, "nkVdx_isKeyValid(vdxKey)");
        vdx_setLogHandler(olderHandler);
        Objects o;
        if (const u16 rc = createInstance(c, key, o)) return rc;
        const ClientSetup setup{
            .unified = olderPermission(), .caUrl = caUrl, .dsUrl = dsUrl, .trustObjectUrl = trustObjectUrl};
        if (const u16 rc = openClient(c, setup, o)) return rc;
        pause1ms();
        vdx_error* rawError = nullptr;
        const bool removed = vdx_remove(o.client.get(), tag.text, o.instance.get(), &rawError) != 0;
        ErrorPtr removeError(rawError);
        if (!removed) return NK_VDX_FAIL(c, kNKErr_vdx_DEL, "isOkay");
        // The blob must be gone: a copy that still succeeds means it was not removed.
        pause1ms();
        rawError = nullptr;
        DataPtr still(vdx_copy(o.client.get(), tag.text, o.instance.get(), &rawError));
        ErrorPtr copyError(rawError);
        if (still) return NK_VDX_FAIL(c, kNKErr_vdx_DEL_confirm, "copy after removal failed");
        return kNKErr_OK;
    });
    c.print(verbosity, "* %s %s ('%s')[in %.3f sec] *", __func__, code ? "FAILED" : "OK", tag.text, c.seconds());
    return code;
}
