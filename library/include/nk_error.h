// Error codes, the process-wide error registry and the one-line failure report.
#pragma once

#include <cstdint>

#define NK_ERROR_ROW(n, c) kNKErr_##n = c,
#ifdef NK_MORVELL_BUILD
// Morvell's codes and names; the library's names stay as aliases of the renamed codes.
#define NK_ERROR_ROW_RECODED(n, libCode, toolCode) kNKErr_##n = toolCode,
#define NK_ERROR_ROW_RENAMED(libName, toolName, c) kNKErr_##toolName = c, kNKErr_##libName = c,
#else
#define NK_ERROR_ROW_RECODED(n, libCode, toolCode) kNKErr_##n = libCode,
#define NK_ERROR_ROW_RENAMED(libName, toolName, c) kNKErr_##libName = c,
#endif
enum : uint16_t {
#include "nk_error_table.inc"
};
#undef NK_ERROR_ROW
#undef NK_ERROR_ROW_RECODED
#undef NK_ERROR_ROW_RENAMED

// A failed internal assertion; deliberately not a registry row.
#define kNKErr_assertion ((uint16_t)0xF16C)

// One registry row. Names registered at run time are copied into storage the
// registry owns, so callers may pass temporary text.
typedef struct {
    const char* name;
    uint16_t code;
    uint16_t handlingRule;
} t_errItem;

class CNK_logManager;

void nkError_initErrorVTable();
uint16_t nkError_getErrorTableSize();
uint16_t nkError_getErrorCodeFromOrder(int index);
// A code without a row reads "" in the library and "Unknown" in Morvell's build.
const char* nkError_getErrorString(int code);
int nkError_getHandlingRule(int code);
void nkError_expandErrorCodes(const char* name, int code, int rule);

void nkDebug_printError(CNK_logManager* lm, const char* file, const char* objName, const char* func,
                        int line, uint16_t code, const char* condition);
void nkDebug_PrintMarker(const char* file, const char* objName, const char* func, int line);

// Reports code 0xF16C with the condition to standard error and ends the process.
[[noreturn]] void nkDebug_assertFail(const char* file, const char* objName, const char* func, int line,
                                     const char* condition);

// Report helpers. Inside a library object use NK_REPORT (its log manager and
// class name); free functions use NK_REPORT_FN, whose lines go to standard error.
#define NK_REPORT(code, cond) \
    nkDebug_printError(this->logManager, __FILE__, this->name, __func__, __LINE__, (uint16_t)(code), (cond))
#define NK_REPORT_FN(code, cond) \
    nkDebug_printError(nullptr, __FILE__, nullptr, __func__, __LINE__, (uint16_t)(code), (cond))
// From a helper: the report names `func`, the operation the caller called.
#define NK_REPORT_IN(func, code, cond) \
    nkDebug_printError(this->logManager, __FILE__, this->name, (func), __LINE__, (uint16_t)(code), (cond))

// Broken preconditions that only a programming error can cause.
#define NK_ASSERT(cond) \
    do { if (!(cond)) nkDebug_assertFail(__FILE__, this->name, __func__, __LINE__, #cond); } while (0)
#define NK_ASSERT_FN(cond) \
    do { if (!(cond)) nkDebug_assertFail(__FILE__, nullptr, __func__, __LINE__, #cond); } while (0)
