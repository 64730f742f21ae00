/* libFerrin: one submission session per unit serial number over a factory test
 * record, the unit's control-bit phases, and test-data and blob submission.
 * Codes are FN_ERROR_*; texts returned point into the library and stay valid as
 * each function says. */
#ifndef FERRIN_H
#define FERRIN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    FN_ERROR_NONE = 0,
    FN_ERROR_SN_COPY = 1,
    FN_ERROR_SN_NOSTART = 2,
    FN_ERROR_START_FAIL = 3,
    FN_ERROR_CBREAD_FAIL = 4,
    FN_ERROR_CBWRITE_FAIL = 5,
    FN_ERROR_CBROUTING_FAIL = 6,
    FN_ERROR_CBRETEST_FAIL = 7,
    FN_ERROR_FATAL_ERROR = 8,
    FN_ERROR_ADDHUBR_FAIL = 9,
    FN_ERROR_BLOB_FAIL = 10,
    FN_ERROR_CLOSE_FAIL = 11
};

/* Control-bit status values. */
enum { FN_CB_PASSED = 0, FN_CB_INCOMPLETE = 1, FN_CB_FAILED = 2, FN_CB_NOT_TESTED = 3 };
/* Phase types, entry actions and outcomes. */
enum { FN_PHASE_CB_LIST = 0, FN_PHASE_RUN = 1 };
enum { FN_ACTION_READ = 0, FN_ACTION_WRITE = 1, FN_ACTION_RUN = 2 };
enum { FN_OUTCOME_DONE = 0, FN_OUTCOME_FAILED = 1, FN_OUTCOME_IGNORED = 2 };

/* One control-bit phase. The library fills type, count, ids, action and value;
 * the caller fills failed (run phase) and, per entry, status and fail count (READ)
 * and outcome (every entry; an entry left as handed out counts as failed). */
typedef struct FN_Phase {
    uint32_t type;
    uint32_t failed;
    uint32_t* ids;
    int32_t count;
    uint32_t* action;
    uint32_t* value;
    uint32_t* status;
    uint32_t* failCount;
    uint32_t* outcome;
} FN_Phase;
#ifdef __cplusplus
static_assert(sizeof(FN_Phase) == 64, "FN_Phase is a 64-byte record");
#else
_Static_assert(sizeof(FN_Phase) == 64, "FN_Phase is a 64-byte record");
#endif

/* One step of the older task interface: 0 read, 1 write, 2 health check. */
typedef struct FN_Task {
    uint32_t type;
    uint32_t* ids;
    int32_t count;
    uint32_t value;
    uint32_t* status;
    uint32_t* failCount;
    uint32_t failed;
} FN_Task;

/* Test data held in memory; C++ callers build one with ferrin_dictionary.h. */
typedef struct FN_Dictionary FN_Dictionary;

const char* FN_Version(void);
bool FN_NetCBSupported(void);
int32_t FN_StartSession(const char* sn, const char* swVersion, const char* swName, uint32_t ownCbId);
int32_t FN_GetNetCBSummary(const char* sn, char* text, int32_t size);
FN_Task* FN_GetCurrentTask(const char* sn);
void FN_IgnoreCurrentTask(const char* sn);
int32_t FN_CompleteCurrentTask(const char* sn);
/* Valid until FN_CompleteCurrentPhase or FN_CloseSession. */
FN_Phase* FN_GetCurrentPhase(const char* sn);
int32_t FN_CompleteCurrentPhase(const char* sn);
int32_t FN_SubmitDataAndFinish(const char* sn, const char* plistPath, const char* blobPath);
int32_t FN_SubmitDataAsDictionaryAndFinish(const char* sn, const FN_Dictionary* dict, const char* blobPath);
int32_t FN_SubmitBlobFolder(const char* sn, const char* folderPath);
int32_t FN_SubmitDataAsDictionary(const char* sn, const FN_Dictionary* dict);
int32_t FN_SubmitDataAsPlist(const char* sn, const char* plistPath);
int32_t FN_FinishMirbelSession(const char* sn);
uint32_t FN_GetNumItemsSent(const char* sn);
int32_t FN_CloseSession(const char* sn);
bool FN_SessionExists(const char* sn);
/* 512 bytes, valid until FN_CloseSession. */
const char* FN_GetLastErrorMsg(const char* sn);
const char* FN_GetTolvarError(uint32_t code);
int32_t FN_ReportSwappedSerialNumber(const char* sn, const char* readSn);
int32_t FN_ReportSwappedChipID(const char* sn, const char* expectedChipId, const char* readChipId);
int32_t FN_FatalErrorCheck(const char* sn);
/* Station-information item 22: value and length as QB_getVQStationInfo takes them. */
int32_t FN_GetStationID(const char* sn, char* value, size_t* length);
bool FN_StationRunningForMp(void);
bool FN_ShouldSetCB(void);

/* Key names of the test data. */
const char* keyArrayString(void);
const char* keyAttributesString(void);
const char* keyStartTimeString(void);
const char* keyStopTimeString(void);
const char* keyTestNameString(void);
const char* keySubTestNameString(void);
const char* keySubSubTestNameString(void);
const char* keyPriorityString(void);
const char* keyResultString(void);
const char* keyFailureMessageString(void);
const char* keyValueString(void);
const char* keyUnitsString(void);
const char* keyLowerLimitString(void);
const char* keyUpperLimitString(void);

#ifdef __cplusplus
}
#endif

#endif /* FERRIN_H */
