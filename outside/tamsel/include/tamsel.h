/* Factory authentication library: the control-bit calls the station makes,
 * answered by our local stand-in.
 *
 * Settings come from the file named by NK_TAMSEL_CONFIG ("key = value" lines,
 * '#' comments; re-read whenever the file changes) or from the TamselStub_ setters:
 *   fail_count_allowed = allowed relative fail count, -1 no limit (default -1)
 *   set_control_bit    = 1 | 0  (default 1)
 *   check              = ID NAME    one line per bit to check, in order (ID decimal or 0x hex)
 *   clear_on_pass      = ID ID ...
 *   clear_on_fail      = ID ID ...
 *   count_skew         = N   the list calls with arrays report N more than they wrote
 *   call_log           = file that every call is appended to, one line each
 *   fail  = FUNCTION [first [count]]          those calls return false
 *   delay = FUNCTION first count ms           wait, then return false
 * A list call with a null array sets *count to the list's length. With arrays it
 * writes at most *count entries (names: 64 bytes each, NUL only when the name is
 * shorter) and sets *count to the list's length plus the skew. */
#ifndef TAMSEL_H
#define TAMSEL_H

#include <stdbool.h>
#include <stddef.h>

#if defined(__GNUC__)
#define TAMSEL_EXPORT __attribute__((visibility("default")))
#else
#define TAMSEL_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define TAMSEL_NAME_SIZE 64

TAMSEL_EXPORT int StationFailCountAllowed(void);
TAMSEL_EXPORT bool StationSetControlBit(void);
TAMSEL_EXPORT bool ControlBitsToCheck(int* ids, unsigned long* count, char** names);
TAMSEL_EXPORT bool ControlBitsToClearOnPass(int* ids, unsigned long* count);
TAMSEL_EXPORT bool ControlBitsToClearOnFail(int* ids, unsigned long* count);

/* Stand-in controls for tests. A config change replaces what the setters set. */
TAMSEL_EXPORT void TamselStub_reset(void);
TAMSEL_EXPORT void TamselStub_setFailCountAllowed(int count);
TAMSEL_EXPORT void TamselStub_setSetControlBit(bool set);
/* names may be null (empty names); each name is kept whole, even past 63 characters. */
TAMSEL_EXPORT void TamselStub_setCheckList(unsigned long count, const int* ids, const char* const* names);
TAMSEL_EXPORT void TamselStub_setClearOnPass(unsigned long count, const int* ids);
TAMSEL_EXPORT void TamselStub_setClearOnFail(unsigned long count, const int* ids);
TAMSEL_EXPORT void TamselStub_setCountSkew(unsigned long extra);
TAMSEL_EXPORT void TamselStub_failCall(const char* function, long first, long count);
TAMSEL_EXPORT void TamselStub_delayCall(const char* function, long first, long count, long ms);
TAMSEL_EXPORT long TamselStub_callCount(const char* function);
TAMSEL_EXPORT size_t TamselStub_callLog(char* buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* TAMSEL_H */
