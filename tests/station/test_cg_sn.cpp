// CG serial-number check: date fields, configuration-code decoding and check digits.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>

#include "nk_log.h"
#include "nk_test_util.h"
#include "nk_velora_sn.h"

namespace {

// Characters 0-2 free, 3 year, 4-5 week, 6 day, 7-10 free, 11-14 code, then 3 more.
std::string sn(const std::string& date, const std::string& code, const std::string& tail = "JKL") {
    return "ABC" + date + "WXYZ" + code + tail;
}

t_nkCgInfo untouched() {
    t_nkCgInfo info;
    std::memset(&info, 0x5A, sizeof(info));
    info.color = 77;
    return info;
}

struct SnCase {
    const char* what;
    std::string serial;
    u16 code;
    i32 type;   // checked when code is 0
    i32 color;  // 77: left as it was
};

class CgSnCheck : public ::testing::TestWithParam<SnCase> {};

TEST_P(CgSnCheck, DecodesOrRefuses) {
    const SnCase& c = GetParam();
    t_nkCgInfo info = untouched();
    const t_nkCgInfo before = info;
    EXPECT_EQ(nkFom_checkCgSn(nullptr, c.serial.c_str(), &info, kVL1), c.code) << c.what;
    if (c.code != 0) {
        EXPECT_EQ(std::memcmp(&info, &before, sizeof(info)), 0) << c.what << ": a refused number leaves the record";
        return;
    }
    EXPECT_EQ(info.type, c.type) << c.what;
    EXPECT_EQ(info.color, c.color) << c.what;
    EXPECT_EQ(info.yearDigit, c.serial[3] - '0');
    EXPECT_EQ(info.dayDigit, c.serial[6] - '0');
    EXPECT_EQ(std::string(info.configCode), c.serial.substr(11, 4));
    EXPECT_EQ(info.reserved, before.reserved);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CgSnCheck,
    ::testing::Values(
        SnCase{"17 characters", sn("7234", "Q2A0", "JK"), kNKErr_invalidParam, 0, 0},
        SnCase{"18 characters", sn("7234", "Q2A0"), 0, 2, 0},
        SnCase{"empty", "", kNKErr_invalidParam, 0, 0},
        SnCase{"year not a digit", sn("X234", "Q2A0"), kNKErr_snErr_invalidYearCode, 0, 0},
        SnCase{"week 00", sn("7004", "Q2A0"), kNKErr_snErr_invalidWeekCode, 0, 0},
        SnCase{"week 54", sn("7544", "Q2A0"), kNKErr_snErr_invalidWeekCode, 0, 0},
        SnCase{"week letter", sn("72A4", "Q2A0"), kNKErr_snErr_invalidWeekCode, 0, 0},
        SnCase{"week 53", sn("7534", "Q2A0"), 0, 2, 0},
        SnCase{"day 0", sn("7230", "Q2A0"), kNKErr_snErr_invalidDayCode, 0, 0},
        SnCase{"day 8", sn("7238", "Q2A0"), kNKErr_snErr_invalidDayCode, 0, 0},
        SnCase{"day 7", sn("7237", "Q2A0"), 0, 2, 0},
        SnCase{"year checked before week", sn("X004", "Q2A0"), kNKErr_snErr_invalidYearCode, 0, 0},
        SnCase{"digits in no list", sn("7234", "1234"), 0, 2, 0},
        SnCase{"letters in no list", sn("7234", "ZZZZ"), 0, 255, 77},
        SnCase{"type 0 black", sn("7234", "Y0A1"), 0, 0, 0},
        SnCase{"type 0 white", sn("7234", "Y0A4"), 0, 0, 1},
        SnCase{"in type-0 and type-1 lists", sn("7234", "YX01"), 0, 1, 0},
        SnCase{"type 1, lower case", sn("7234", "y1b3"), 0, 1, 1},
        SnCase{"type 2 white", sn("7234", "Q2B0"), 0, 2, 1},
        SnCase{"type 2, no colour", sn("7234", "Q2C0"), 0, 2, 77},
        SnCase{"idS", sn("7234", "Y1C3"), 0, 1, 2},
        SnCase{"idR", sn("7234", "Y1C4"), 0, 1, 3},
        SnCase{"idC", sn("7234", "Y1C5"), 0, 1, 4}),
    [](const ::testing::TestParamInfo<SnCase>& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST(CgSnCheck, NullSerialNumberOrRecordIsRefused) {
    t_nkCgInfo info = untouched();
    EXPECT_EQ(nkFom_checkCgSn(nullptr, nullptr, &info, kVL1), kNKErr_invalidParam);
    EXPECT_EQ(nkFom_checkCgSn(nullptr, sn("7234", "Q2A0").c_str(), nullptr, kVL1), kNKErr_invalidParam);
}

TEST(CgSnCheck, LogNamesCodeTypeAndColour) {
    nktest::TempDir dir;
    const std::string logFile = dir.file("sn.log");
    {
        CNK_logManager lm;
        lm.setVerboseLevel(kVL0);
        ASSERT_EQ(lm.setLogFileName(logFile.c_str()), 0);
        t_nkCgInfo info = untouched();
        ASSERT_EQ(nkFom_checkCgSn(&lm, sn("7234", "ZZZZ").c_str(), &info, kVL1), 0);
        ASSERT_EQ(nkFom_checkCgSn(&lm, sn("7234", "Q2B0").c_str(), &info, kVL1), 0);
    }
    const std::string log = nktest::readFile(logFile);
    EXPECT_NE(log.find("* nkFom_checkCgSn *"), std::string::npos);
    EXPECT_NE(log.find("*** CCCC:'ZZZZ', cfgName:'unknown', color:'unknown' ***"), std::string::npos) << log;
    EXPECT_NE(log.find("*** CCCC:'Q2B0', cfgName:'y32', color:'white' ***"), std::string::npos) << log;
}

TEST(CgSnCheckDigit, KnownValues) {
    EXPECT_EQ(nkFom_getSnCheckDigit("", 0), '0');
    EXPECT_EQ(nkFom_verifySnCheckDigit("", 0), 0);
    // "1": 1*3 = 3, 34 - 3 = 31 -> 'X'; "1X": 31*1 + 1*3 = 34.
    EXPECT_EQ(nkFom_getSnCheckDigit("1", 1), 'X');
    EXPECT_EQ(nkFom_verifySnCheckDigit("1X", 2), 0);
    EXPECT_EQ(nkFom_verifySnCheckDigit("1Y", 2), kNKErr_snErr_invalidCheckDigit);
    // "B" (11): 33 -> 34 - 33 = 1.
    EXPECT_EQ(nkFom_getSnCheckDigit("B", 1), '1');
    // A multiple of 34 already: "0" -> '0'.
    EXPECT_EQ(nkFom_getSnCheckDigit("0", 1), '0');
    // I and O and lower case are outside the alphabet.
    EXPECT_EQ(nkFom_verifySnCheckDigit("1I", 2), kNKErr_snErr_invalidCharacter);
    EXPECT_EQ(nkFom_verifySnCheckDigit("O1", 2), kNKErr_snErr_invalidCharacter);
    EXPECT_EQ(nkFom_getSnCheckDigit("a1", 2), '\0');
    // Only `length` characters count.
    EXPECT_EQ(nkFom_verifySnCheckDigit("1XZZ", 2), 0);
}

TEST(CgSnCheckDigit, AnyTextWithItsDigitVerifies) {
    static const char alphabet[] = "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ";
    std::mt19937 rng(12);
    for (int round = 0; round < 2000; ++round) {
        std::string text(1 + rng() % 40, '0');
        for (char& c : text) c = alphabet[rng() % 34];
        const char digit = nkFom_getSnCheckDigit(text.data(), static_cast<i32>(text.size()));
        ASSERT_NE(digit, '\0');
        const std::string full = text + digit;
        ASSERT_EQ(nkFom_verifySnCheckDigit(full.data(), static_cast<i32>(full.size())), 0) << full;
        // A changed last character is caught.
        std::string bad = full;
        bad.back() = alphabet[(std::strchr(alphabet, digit) - alphabet + 1) % 34];
        ASSERT_EQ(nkFom_verifySnCheckDigit(bad.data(), static_cast<i32>(bad.size())), kNKErr_snErr_invalidCheckDigit);
    }
}

}  // namespace
