/* Factory test-record logging library: the calls the station makes, answered by
 * our local stand-in. A committed record is one XML property list in the record
 * folder (attributes, items, blobs, pass flag); the blob files are copied beside it.
 *
 * Settings come from the file named by NK_QUENBAR_CONFIG ("key = value" lines,
 * '#' comments; re-read whenever the file changes) or from the QBStub_ setters:
 *   record_dir   = folder of committed records (default: no folder, commit fails)
 *   stage        = build stage, station-information item 3 (default "MP")
 *   station_id   = station id, item 22 (default "STATION-1")
 *   health       = ok | fail            (QB_amIOkay; default ok)
 *   health_class = reply class of a failed health answer (default 32)
 *   health_text  = error text of a failed health answer
 *   call_log     = file that every call is appended to, one line each
 *   fail  = FUNCTION [first [count [class [text]]]]     fail calls first..first+count-1
 *   delay = FUNCTION first count ms [class [text]]      wait, then fail them
 * Calls are counted per function from the last reset or config change. */
#ifndef QUENBAR_H
#define QUENBAR_H

#include <stdbool.h>
#include <stddef.h>
#include <time.h>

#if defined(__GNUC__)
#define QB_EXPORT __attribute__((visibility("default")))
#else
#define QB_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QB_UID QB_UID;               /* one test record */
typedef struct QB_reply QB_reply;           /* the answer of one call */
typedef struct QB_testSpec QB_testSpec;     /* names, priority, limits, units */
typedef struct QB_testResult QB_testResult; /* value, result, message */

/* Replies. A null reply is a failure without text. */
QB_EXPORT bool QB_success(const QB_reply* reply);
QB_EXPORT const char* QB_reply_getError(const QB_reply* reply);
QB_EXPORT bool QB_reply_isOfClass(const QB_reply* reply, int replyClass);
QB_EXPORT void QB_reply_destroy(QB_reply* reply);

/* Record life. Every call takes a null handle and answers with a failed reply. */
QB_EXPORT QB_reply* QB_UUTStart(QB_UID** uid);
QB_EXPORT QB_reply* QB_UUTDone(QB_UID* uid);
QB_EXPORT QB_reply* QB_UUTCommit(QB_UID* uid, int pass);
QB_EXPORT QB_reply* QB_UUTCancel(QB_UID* uid);
QB_EXPORT void QB_UID_destroy(QB_UID* uid);

QB_EXPORT QB_reply* QB_addAttribute(QB_UID* uid, const char* name, const char* value);

QB_EXPORT QB_testSpec* QB_testSpec_create(void);
QB_EXPORT QB_testResult* QB_testResult_create(void);
QB_EXPORT void QB_testSpec_destroy(QB_testSpec* spec);
QB_EXPORT void QB_testResult_destroy(QB_testResult* result);
QB_EXPORT bool QB_testSpec_setTestName(QB_testSpec* spec, const char* name, size_t length);
QB_EXPORT bool QB_testSpec_setSubTestName(QB_testSpec* spec, const char* name, size_t length);
QB_EXPORT bool QB_testSpec_setSubSubTestName(QB_testSpec* spec, const char* name, size_t length);
QB_EXPORT bool QB_testSpec_setUnits(QB_testSpec* spec, const char* units, size_t length);
QB_EXPORT bool QB_testSpec_setLimits(QB_testSpec* spec, const char* lower, size_t lowerLength, const char* upper,
                                     size_t upperLength);
/* 0 to 4, or -2. */
QB_EXPORT bool QB_testSpec_setPriority(QB_testSpec* spec, int priority);
QB_EXPORT bool QB_testResult_setValue(QB_testResult* result, const char* value, size_t length);
/* 1 pass, 0 fail, 2 other. */
QB_EXPORT bool QB_testResult_setResult(QB_testResult* result, int value);
QB_EXPORT bool QB_testResult_setMessage(QB_testResult* result, const char* message, size_t length);
QB_EXPORT QB_reply* QB_addResult(QB_UID* uid, const QB_testSpec* spec, const QB_testResult* result);

/* The file must exist; it is copied into the record folder on commit. */
QB_EXPORT QB_reply* QB_addBlob(QB_UID* uid, const char* name, const char* path);
QB_EXPORT QB_reply* QB_setDUTPos(QB_UID* uid, const char* testerId, const char* slot);
QB_EXPORT QB_reply* QB_amIOkay(QB_UID* uid, const char* serialNumber);
/* Item 3 build stage, 22 station id. With a null value, *length becomes the text's
 * length. With a value buffer of *length + 1 bytes, at most *length characters and
 * a NUL are written and *length becomes the number written. */
QB_EXPORT QB_reply* QB_getVQStationInfo(QB_UID* uid, int item, char* value, size_t* length);
QB_EXPORT QB_reply* QB_setStartTime(QB_UID* uid, time_t when);
QB_EXPORT QB_reply* QB_setStopTime(QB_UID* uid, time_t when);

/* Stand-in controls for tests. A config change replaces what the setters set. */
QB_EXPORT void QBStub_reset(void); /* defaults, no hooks, counters and call record cleared */
QB_EXPORT void QBStub_setRecordDir(const char* folder);
QB_EXPORT void QBStub_setStage(const char* stage);
QB_EXPORT void QBStub_setStationID(const char* id);
QB_EXPORT void QBStub_setHealth(bool ok, int replyClass, const char* text);
QB_EXPORT void QBStub_failCall(const char* function, long first, long count, int replyClass, const char* text);
QB_EXPORT void QBStub_delayCall(const char* function, long first, long count, long ms, int replyClass,
                                const char* text);
QB_EXPORT long QBStub_callCount(const char* function);
/* The call record, one call a line ("NAME\tdetail"); returns its full length. */
QB_EXPORT size_t QBStub_callLog(char* buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* QUENBAR_H */
