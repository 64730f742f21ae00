// The station's road to the factory test-data collection: the submission
// session of one unit through libFerrin, and the shop-floor unit-process query.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>

#include "nk_log.h"
#include "nk_typedef.h"

// Names of libFerrin's codes, indexed by the code.
extern const std::array<const char*, 13> kFnErrStr;
// Control-bit status names, indexed by status 0 to 4.
extern const std::array<const char*, 5> k_nkCbStatStr;

// Every function copies a NUL-terminated failure text into `errMsg` (at most
// `errSize` bytes with its end) and returns a station code.

// Starts the unit's submission session and answers its initial control-bit phase
// from `cbStatus` and `cbFailCount` (256 entries each, indexed by control-bit id).
// 0, 5, 218, 219 or 350; on any failure the session is closed again.
u16 ZNCB_StartSessnion(CNK_logManager* lm, const char* stationName, const char* serialNumber,
                       const char* swVersion, const u8* cbStatus, const u8* cbFailCount, u8 ownCbIndex,
                       char* errMsg, size_t errSize, t_nkVbsLvl vLvl);
// Submits the property list, then the blob folder (up to five tries), then
// finishes; closes the session in every case. 0 or 352.
u16 ZNCB_Commit(CNK_logManager* lm, const char* plistPath, const char* blobPath, const char* serialNumber,
                char* errMsg, size_t errSize, t_nkVbsLvl vLvl);
// The station's health for this unit. 0 or 350.
u16 ZNCB_AmIOK(CNK_logManager* lm, const char* serialNumber, char* errMsg, size_t errSize, t_nkVbsLvl vLvl);
bool ZNCB_ShouldSetCB();

// Asks the shop-floor control server whether the unit is in process, as the
// station-information file under `dataRoot` configures it. 0 or 80 to 85.
u16 unitProcessCheckSFC(CNK_logManager* lm, const std::string& serialNumber, char* errMsg, size_t errSize,
                        const std::string& dataRoot);

// Where the wrapper's system-log lines go (syslog by default); an empty
// function restores syslog.
void ZelkHUBR_setSystemLogSink(std::function<void(const std::string&)> sink);
