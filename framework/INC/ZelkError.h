// Error texts, the one-line failure report and the framework version.
#pragma once

#include "ZelkTypeDef.h"

struct iZelk_LogManager;

// The code's name from the table; "Unknown Error Code" outside 0..132 (negative codes too).
const char* ZERR_GetErrorStr(int code);

// "ZELK-32.0.3", the same constant storage on every call.
const char* ZERR_GetVersionStr();

// Product number (1..29) of a device model code, compared by prefix, first match
// wins; 0 when nothing matches or the text is missing.
int ZERR_GetProductNumber(const char* modelCode);

// Writes "[Error,0x%04X] %s [%s:%s:%d]\n" through the manager's error print (so
// with "[ERR] " in front); with no manager the line is formatted and dropped.
// `func` is the operation the caller called, also when the failure is found in a
// shared helper.
void ZERR_Report(iZelk_LogManager* lm, const char* file, const char* func, int line, int code);

#define ZERR_REPORT(lm, code) ZERR_Report((lm), __FILE__, __func__, __LINE__, (code))
#define ZERR_REPORT_IN(lm, func, code) ZERR_Report((lm), __FILE__, (func), __LINE__, (code))
