// The "tscr" payload parser: lengths, fields bounded by their size, and the
// folder-name checks on the cell name and the serial number.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cvlra_tscr.h"
#include "nk_error.h"

namespace {

std::vector<u8> payload(const std::string& cell, const std::string& sn, size_t size = 240) {
    std::vector<u8> p(size, 0);
    auto put = [&](size_t off, const std::string& s) { std::memcpy(p.data() + off, s.data(), s.size()); };
    put(tscr::kCellName, cell);
    p[tscr::kCellId] = 7;
    put(tscr::kSwVersion, "sw-2.1");
    put(tscr::kHwVersion, "hw-B");
    put(tscr::kSerialNumber, sn);
    put(tscr::kLightSource, "LS-9");
    put(tscr::kSpectrometer, "SP-4");
    put(tscr::kTestMode, "SIQC");
    if (size >= 240) {
        const float d = 2.5f, t = 31.25f;
        std::memcpy(p.data() + tscr::kDistance, &d, 4);
        std::memcpy(p.data() + tscr::kCycleTime, &t, 4);
    }
    return p;
}

TEST(TscrParse, FullPayloadFillsEveryField) {
    const auto p = payload("CellA", "ABC7234WXYZQ2A0JKL");
    t_vlraTscrRequest r;
    ASSERT_EQ(nkVlra_parseTscr(p.data(), p.size(), &r), 0);
    EXPECT_EQ(r.cellName, "CellA");
    EXPECT_EQ(r.cellId, 7);
    EXPECT_EQ(r.swVersion, "sw-2.1");
    EXPECT_EQ(r.hwVersion, "hw-B");
    EXPECT_EQ(r.serialNumber, "ABC7234WXYZQ2A0JKL");
    EXPECT_EQ(r.lightSource, "LS-9");
    EXPECT_EQ(r.spectrometer, "SP-4");
    EXPECT_EQ(r.testMode, "SIQC");
    EXPECT_TRUE(r.hasGeometry);
    EXPECT_FLOAT_EQ(r.distanceMm, 2.5f);
    EXPECT_FLOAT_EQ(r.cycleTimeSec, 31.25f);
}

TEST(TscrParse, LengthDecidesTransportErrorAndTheFloats) {
    t_vlraTscrRequest r;
    EXPECT_EQ(nkVlra_parseTscr(nullptr, 240, &r), kNKErr_invalidSpiResponse);
    for (size_t n : {size_t(0), size_t(1), size_t(100), size_t(231)}) {
        const auto p = payload("C", "S", 240);
        EXPECT_EQ(nkVlra_parseTscr(p.data(), n, &r), kNKErr_invalidSpiResponse) << n;
    }
    // 232 to 239 bytes: the texts but no floats, which default to 1 mm and 10 s.
    for (size_t n : {size_t(232), size_t(239)}) {
        const auto p = payload("C", "SN1", n);
        ASSERT_EQ(nkVlra_parseTscr(p.data(), p.size(), &r), 0) << n;
        EXPECT_FALSE(r.hasGeometry);
        EXPECT_EQ(r.distanceMm, 1.0f);
        EXPECT_EQ(r.cycleTimeSec, 10.0f);
    }
}

TEST(TscrParse, FieldsEndAtTheirSize) {
    auto p = payload("C", "SN1");
    // The mode field is 7 bytes and runs straight into the distance float.
    std::memcpy(p.data() + tscr::kTestMode, "ABCDEFG", 7);
    // A version field without a terminator stops at its 32 bytes.
    std::memset(p.data() + tscr::kSwVersion, 'v', 32);
    t_vlraTscrRequest r;
    ASSERT_EQ(nkVlra_parseTscr(p.data(), p.size(), &r), 0);
    EXPECT_EQ(r.testMode, "ABCDEFG");
    EXPECT_EQ(r.swVersion, std::string(32, 'v'));
    EXPECT_EQ(r.hwVersion, "hw-B");
}

TEST(TscrParse, NamesThatCannotNameAFolderAreRefused) {
    struct Case {
        std::string cell, sn;
        u16 code;
    };
    const Case cases[] = {
        {"Cell", "", kNKErr_invalidParam},
        {"Cell", "../x", kNKErr_invalidParam},
        {"Cell", "a/b", kNKErr_invalidParam},
        {"Cell", "..", kNKErr_invalidParam},
        {"Cell", ".", kNKErr_invalidParam},
        {"Cell", std::string("AB\nC"), kNKErr_invalidParam},
        {"Cell", std::string("AB\x7F"), kNKErr_invalidParam},
        {"Cell", std::string("AB\xC3\xA9"), kNKErr_invalidParam},
        {"Cell", std::string(64, 'S'), kNKErr_invalidParam},  // fills its field, no terminator
        {"Cell", std::string(63, 'S'), 0},
        {"a/b", "SN1", kNKErr_invalidParam},
        {"..", "SN1", kNKErr_invalidParam},
        {"C\x1b[2J", "SN1", kNKErr_invalidParam},
        {std::string(32, 'c'), "SN1", kNKErr_invalidParam},
        {"", "SN1", 0},  // an empty cell name still names "CGCal_<date>_"
        {"cell.1", "A.B-C_9", 0},
    };
    for (const Case& c : cases) {
        const auto p = payload(c.cell, c.sn);
        t_vlraTscrRequest r;
        EXPECT_EQ(nkVlra_parseTscr(p.data(), p.size(), &r), c.code) << nkVlra_printable(c.cell) << " / "
                                                                     << nkVlra_printable(c.sn);
    }
}

TEST(TscrParse, PrintableReplacesEveryOtherByte) {
    EXPECT_EQ(nkVlra_printable("ok 1.2"), "ok 1.2");
    EXPECT_EQ(nkVlra_printable(std::string("a\nb\r%\x01\xff", 7)), "a.b.%..");
}

}  // namespace

// A statistics row names a suffixed run folder in its config cell; nothing else
// there may lead a tool to another folder.
TEST(TscrParse, RunFolderOfAStatisticsRow) {
    const std::string stamp = "20261211065101";
    const struct {
        const char* config;
        std::string want;
    } cases[] = {{"", stamp},
                 {"20261211065101_2", "20261211065101_2"},
                 {"20261211065101_99", "20261211065101_99"},
                 {"20261211065101_100", stamp},
                 {"20261211065101_02", stamp},
                 {"20261211065101_", stamp},
                 {"20261211065101_2/../x", stamp},
                 {"20261211065102_2", stamp},
                 {"cfgA", stamp}};
    for (const auto& c : cases) EXPECT_EQ(nkVlra_runFolderOfRow(stamp, c.config), c.want) << c.config;
    EXPECT_EQ(nkVlra_runFolderOfRow("", "_2"), "");
}
