// CG serial-number check and check digits.
#include "nk_velora_sn.h"

#include <cctype>
#include <cstring>
#include <strings.h>

#include "nk_error.h"

#include "../config/cg_config_codes.inc"

namespace {

const char kCheckAlphabet[] = "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ";  // no I, no O
constexpr int kCheckBase = 34;
static_assert(sizeof(kCheckAlphabet) - 1 == kCheckBase);

const char* const kColorName[5] = {"black", "white", "idS", "idR", "idC"};

int checkValue(char c) {
    if (c == '\0') return -1;
    const char* p = std::strchr(kCheckAlphabet, c);
    return p ? static_cast<int>(p - kCheckAlphabet) : -1;
}

// An entry matches when it occurs within the code, ignoring case.
bool codeHas(const char* code, const char* entry) {
    const size_t n = std::strlen(entry), m = std::strlen(code);
    if (n == 0 || n > m) return false;
    for (size_t i = 0; i + n <= m; ++i)
        if (strncasecmp(code + i, entry, n) == 0) return true;
    return false;
}

template <size_t N>
bool listHas(const char* code, const char* const (&list)[N]) {
    for (const char* entry : list)
        if (codeHas(code, entry)) return true;
    return false;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

void report(CNK_logManager* lm, int line, u16 code, const char* cond) {
    nkDebug_printError(lm, __FILE__, nullptr, "nkFom_checkCgSn", line, code, cond);
}

}  // namespace

const char* nkFom_cgTypeName(i32 type) { return type >= 0 && type <= 2 ? kCgCfg_typeName[type] : "unknown"; }
const char* nkFom_cgColorName(i32 color) { return color >= 0 && color <= 4 ? kColorName[color] : "unknown"; }

u16 nkFom_checkCgSn(CNK_logManager* lm, const char* cgSn, t_nkCgInfo* info, t_nkVbsLvl level) {
    if (lm) lm->printText(level, "* %s *", "nkFom_checkCgSn");
    if (!cgSn) {
        report(lm, __LINE__, kNKErr_invalidParam, "CgSn!=NULL");
        return kNKErr_invalidParam;
    }
    if (!info) {
        report(lm, __LINE__, kNKErr_invalidParam, "info!=NULL");
        return kNKErr_invalidParam;
    }
    if (std::strlen(cgSn) <= kNK_cgSnMinLength) {
        report(lm, __LINE__, kNKErr_invalidParam, "strlen(CgSn)>17");
        return kNKErr_invalidParam;
    }
    if (!isDigit(cgSn[3])) {
        report(lm, __LINE__, kNKErr_snErr_invalidYearCode, "");
        return kNKErr_snErr_invalidYearCode;
    }
    if (!isDigit(cgSn[4]) || !isDigit(cgSn[5])) {
        report(lm, __LINE__, kNKErr_snErr_invalidWeekCode, "");
        return kNKErr_snErr_invalidWeekCode;
    }
    const int week = (cgSn[4] - '0') * 10 + (cgSn[5] - '0');
    if (week == 0 || week > 53) {
        report(lm, __LINE__, kNKErr_snErr_invalidWeekCode, "");
        return kNKErr_snErr_invalidWeekCode;
    }
    if (!isDigit(cgSn[6]) || cgSn[6] == '0' || cgSn[6] > '7') {
        report(lm, __LINE__, kNKErr_snErr_invalidDayCode, "");
        return kNKErr_snErr_invalidDayCode;
    }

    char code[5];
    std::memcpy(code, cgSn + 11, 4);
    code[4] = '\0';

    if (isDigit(code[0]) && isDigit(code[1]) && isDigit(code[2]) && isDigit(code[3])) {
        info->type = 2;
        info->color = 0;
    } else {
        info->type = 255;
    }
    if (listHas(code, kCgCfg_type2)) info->type = 2;
    if (listHas(code, kCgCfg_type0)) info->type = 0;
    if (listHas(code, kCgCfg_type1)) info->type = 1;

    if (codeHas(code, kCgCfg_color2)) info->color = 2;
    if (codeHas(code, kCgCfg_color3)) info->color = 3;
    if (codeHas(code, kCgCfg_color4)) info->color = 4;
    if (listHas(code, kCgCfg_color0)) info->color = 0;
    if (listHas(code, kCgCfg_color1)) info->color = 1;

    info->yearDigit = static_cast<u8>(cgSn[3] - '0');
    info->dayDigit = static_cast<u8>(cgSn[6] - '0');
    std::memcpy(info->configCode, code, sizeof(code));

    if (lm)
        lm->printText(level, "*** CCCC:'%s', cfgName:'%s', color:'%s' ***", info->configCode,
                      nkFom_cgTypeName(info->type), nkFom_cgColorName(info->color));
    return 0;
}

u16 nkFom_verifySnCheckDigit(const char* text, i32 length) {
    if (length < 1) return 0;
    if (!text) return kNKErr_invalidParam;
    long sum = 0;
    for (i32 k = 0; k < length; ++k) {
        const int v = checkValue(text[length - 1 - k]);
        if (v < 0) return kNKErr_snErr_invalidCharacter;
        sum += v * (k % 2 == 0 ? 1 : 3);
    }
    return sum % kCheckBase == 0 ? 0 : kNKErr_snErr_invalidCheckDigit;
}

char nkFom_getSnCheckDigit(const char* text, i32 length) {
    if (length < 1) return '0';
    if (!text) return '\0';
    long sum = 0;
    for (i32 k = 1; k <= length; ++k) {
        const int v = checkValue(text[length - k]);
        if (v < 0) return '\0';
        sum += v * (k % 2 == 1 ? 3 : 1);
    }
    const int r = static_cast<int>(sum % kCheckBase);
    return r == 0 ? '0' : kCheckAlphabet[kCheckBase - r];
}
