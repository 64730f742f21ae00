// Device-data repository access: uploads and downloads of one blob per data
// class and instance key, permissions, and dry runs on local files.
//
// Every transfer of the process runs under one lock, so at most one is under way
// at a time; dry runs and permission building do not take it.
#pragma once

#include "nk_log.h"
#include "nk_typedef.h"

struct vdx_permission;

// A data class is a four-character code held as a number, first character in
// the most significant byte.
constexpr u32 kNKVdx_CtCl = 0x4374436C;  // "CtCl", the CG repository record

// One permission request: a data class and the access value handed unchanged to
// the repository.
typedef struct {
    u32 dataClass;
    u32 access;
} t_nkVdxRequest;

// The library's code for a repository error-object code: 0 and 18 give 0, 7
// gives 592 (no entry), 8 and 11 give 590 (time-out), anything else 602.
u16 vdxError2nkError(long vdxCode);

// The text of a data class from the fixed class table; "" for a class not in it.
const char* nkVdx_classText(u32 dataClass);

// Whether a key may name a repository instance and a dry-run file: 1 to 127
// characters, no '/', no "..", no control characters.
bool nkVdx_isKeyValid(const char* key);

// Uploads `length` bytes under (dataClass, key). A non-null dry-run folder writes
// the dry-run file instead. With no unified permission and a non-empty request
// list, a permission for this instance is built from the requests. Any URL may be
// null. The repository's messages go to `logFileName` when it is given.
u16 nkVdx_setData(CNK_logManager* lm, u32 dataClass, const char* key, const u8* data, i32 length,
                  const t_nkVdxRequest* requests, const char* caUrl, const char* dsUrl, const char* trustObjectUrl,
                  const char* dryRunFolder, vdx_permission* unifiedPermission, i32 requestCount,
                  const char* logFileName, t_nkVbsLvl verbosity);

// Downloads the blob of (dataClass, key) into a new buffer the caller frees with
// free(); *data and *length are cleared on entry. An empty blob gives length 0
// and no buffer.
u16 nkVdx_getData(CNK_logManager* lm, u32 dataClass, const char* key, u8** data, i32* length,
                  const t_nkVdxRequest* requests, const char* caUrl, const char* dsUrl, const char* trustObjectUrl,
                  const char* dryRunFolder, vdx_permission* unifiedPermission, i32 requestCount,
                  const char* logFileName, t_nkVbsLvl verbosity);

// A permission for every instance of the requested classes, kept by the caller
// for the life of the process and passed as the unified permission; null on
// failure. A null request list or a count below 1 is a programming error.
vdx_permission* nkVdx_createVdxPermission(CNK_logManager* lm, const t_nkVdxRequest* requests, i32 requestCount,
                                          const char* logFileName, t_nkVbsLvl verbosity);

// The most detailed repository message level passed on, 0 to 7 (7 debug); 5 for 8
// or more, which leaves the level unchanged.
u16 nkVdx_setVdxLogLevel(u8 level);

// Dry runs: the blob is the file "<folder>/<key>_<class>.bin".
u16 nkVdx_setData_dryRun(CNK_logManager* lm, u32 dataClass, const char* key, const char* dryRunFolder,
                         const u8* data, i32 length, t_nkVbsLvl verbosity);
u16 nkVdx_getData_dryRun(CNK_logManager* lm, u32 dataClass, const char* key, const char* dryRunFolder, u8** data,
                         i32* length, t_nkVbsLvl verbosity);

// ---------------------------------------------------------------- older family
// Kept beside the calls above: one process-wide permission built once per
// station kind (0 to 4), used by the transfers below.
u16 nkVdx_init_permission(CNK_logManager* lm, int stationKind, t_nkVbsLvl verbosity);
u16 nkVdx_set_data(CNK_logManager* lm, u32 dataClass, const char* key, const u8* data, i32 length, const char* caUrl,
                   const char* dsUrl, const char* trustObjectUrl, t_nkVbsLvl verbosity);
u16 nkVdx_get_data(CNK_logManager* lm, u32 dataClass, const char* key, u8** data, i32* length, const char* caUrl,
                   const char* dsUrl, const char* trustObjectUrl, t_nkVbsLvl verbosity);
// The CtCl blob of the key from an in-memory store filled from a property list:
// a dictionary of class texts, each a dictionary of instance keys to data.
u16 nkVdx_get_data_mem(CNK_logManager* lm, const char* key, const char* plistPath, u8** data, i32* length);
// Removes the blob, then checks that it is gone: 506 when the removal fails, 507
// when the blob can still be read.
u16 nkVdx_del_data(CNK_logManager* lm, u32 dataClass, const char* key, const char* caUrl, const char* dsUrl,
                   const char* trustObjectUrl, t_nkVbsLvl verbosity);
