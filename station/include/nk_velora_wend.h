// Ambient-light-sensor data measured behind a CG part: the sensor's sweep packet
// (SPRP), its identity formats, the P2P factor file, colour-matching functions,
// light-source databases and the colour-ratio error figures CRE95+ / CRE97+.
// Plain functions on caller-owned data; nothing here keeps state.
#pragma once

#include <string>
#include <vector>

#include "nk_log.h"
#include "nk_math.h"
#include "nk_typedef.h"

// The sensor's device identifier: 35 ('#') is a four-channel device, 54, 58 and 62
// are six-channel devices.
typedef u8 t_VLRA_DEV_ID;
constexpr t_VLRA_DEV_ID kVLRA_devId_4ch = 35;

// One parsed sweep packet. Per-step series hold one value per sweep record.
struct t_velora_data_SPRP {
    t_VLRA_DEV_ID devId = 0;
    std::vector<u8> chipIdRegs;  // the five chip-ID register bytes
    u32 chipId = 0;
    std::string eSn;  // "%02X-%08X" of devId and chipId

    std::vector<double> stepValue;
    std::vector<double> stepFigure[6];  // packet order; [2] centres the integration window
    std::vector<double> stepIntegral;

    // Per step: the points' abscissas, second and third values.
    std::vector<std::vector<double>> pointX;
    std::vector<std::vector<double>> pointY;
    std::vector<std::vector<double>> pointZ;

    // Per channel (4 for device '#', else 6): raw counts and normalised response per step.
    std::vector<t_nkData_1d<double>> chRaw;
    std::vector<t_nkData_1d<double>> chNorm;

    void clear() { *this = t_velora_data_SPRP(); }
};

// Byte 0 the factor-file type, byte 1 the maximum age in days (0: never expires).
struct t_nkP2PFactorInfo {
    u8 type = 0;
    u8 maxAgeDays = 0;
};

// Rows of doubles: one row per light source (or per CMF column), one value per wavelength.
typedef std::vector<std::vector<double>> t_nkLightTable;

// Parses `length` bytes of an SPRP packet into `record`. A null, short or inconsistent
// packet is reported and leaves the record cleared.
t_velora_data_SPRP& nkVlra_parse_SPRP(t_velora_data_SPRP& record, const u8* pkt, u64 length);

u32 nkFom_wend_formatChipID(const u8* chipIdRegs, t_VLRA_DEV_ID devId);
int nkFom_wend_formatESerialNumber(t_VLRA_DEV_ID devId, u32 chipId, char* eSnBuff, int eSnBuffLen);

u16 nkFom_wend_loadP2PFactor(CNK_logManager* lm, const char* path, const t_nkP2PFactorInfo* info,
                             std::vector<float>& factor1, std::vector<float>& factor2);
u16 nkFom_wend_saveP2PFactor(CNK_logManager* lm, const char* path, const t_nkP2PFactorInfo* info,
                             const std::vector<float>& factor1, const std::vector<float>& factor2);

u16 nkFom_wend_loadCMF(CNK_logManager* lm, const char* path, t_nkLightTable& cmf);
// ".csv": a wavelength column then one column per light source; ".bin": u16 values per
// row, u32 rows, then the rows as doubles.
u16 nkFom_wend_loadUserDatabase(CNK_logManager* lm, const char* path, t_nkLightTable& lightDB);
u16 nkFom_wend_userDatabaseCsv2Bin(CNK_logManager* lm, const char* csvPath, const char* binPath);

// CRE95+ per compared channel (CH1..CH3 for 4 channels; CH1, CH2, CH4, CH5 against CH3
// for 6) appended to `cre95` after it is emptied. `save` writes the raw and sorted
// error tables as "<folder>/<name>_CRE95_raw.csv" and "..._sorted.csv".
u16 nkFom_wend_getVCRE(CNK_logManager* lm, const char* folder, const char* name, bool save, u8 snsrChannelCnt,
                       u8 unused, const t_nkLightTable& snsrSpectraRespCal, const t_nkLightTable& snsrSpectraRespTest,
                       const t_nkLightTable& lightDB, std::vector<double>& cre95);
