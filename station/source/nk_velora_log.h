// Logging and report helpers of the transmittance analysis sources.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "nk_error.h"
#include "nk_log.h"

// A failure report line through the caller's log manager (standard error without one).
#define NK_VLRA_REPORT(lm, code, cond) \
    nkDebug_printError((lm), __FILE__, nullptr, __func__, __LINE__, (uint16_t)(code), (cond))

namespace nk_velora {

// One formatted line through the log manager; nothing without one.
inline void logLine(CNK_logManager* lm, t_nkVbsLvl level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
inline void logLine(CNK_logManager* lm, t_nkVbsLvl level, const char* format, ...) {
    if (!lm) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    lm->printText(level, "%s", text);
}

// One line at level 1 through a manager that is still valid; nothing otherwise, since items and
// tools may run with no manager or after theirs has gone.
inline void logValid(CNK_logManager* lm, const char* format, ...) __attribute__((format(printf, 2, 3)));
inline void logValid(CNK_logManager* lm, const char* format, ...) {
    if (!nkObj_isValid(lm)) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    lm->printText(kVL1, "%s", text);
}

}  // namespace nk_velora
