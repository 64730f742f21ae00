// CG serial numbers: date-field check, decoding of the configuration code into
// type and colour, and the check-digit pair of the same number format.
#pragma once

#include "nk_log.h"
#include "nk_typedef.h"

// A decoded serial number.
typedef struct {
    i32 type;           // 0, 1, 2 ("y30", "y31", "y32"); 255 when the code is unknown
    i32 color;          // 0 black, 1 white, 2 idS, 3 idR, 4 idC
    u8 yearDigit;       // character 3, 0 to 9
    u8 reserved;        // not written by the check
    u8 dayDigit;        // character 6, 1 to 7
    char configCode[5]; // characters 11 to 14 and a terminator
} t_nkCgInfo;

// Serial numbers are longer than this.
constexpr size_t kNK_cgSnMinLength = 17;

// 0, kNKErr_invalidParam, kNKErr_snErr_invalidYearCode, _invalidWeekCode or
// _invalidDayCode. The record is written only when every date field passed.
u16 nkFom_checkCgSn(CNK_logManager* lm, const char* cgSn, t_nkCgInfo* info, t_nkVbsLvl level);

// 0 when the last character is the check digit of the ones before it;
// kNKErr_snErr_invalidCharacter or kNKErr_snErr_invalidCheckDigit otherwise.
u16 nkFom_verifySnCheckDigit(const char* text, i32 length);
// The check digit to append; NUL when a character is outside the alphabet.
char nkFom_getSnCheckDigit(const char* text, i32 length);

// Names used in the station's logs; "unknown" outside the tables.
const char* nkFom_cgTypeName(i32 type);
const char* nkFom_cgColorName(i32 color);
