// Test data: symbols, limit checks with their log lines, pass rules and limits from a file.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "nk_test.h"
#include "nk_test_util.h"

namespace {

constexpr double kNone = kNK_noValue;
const double kNaN = std::nan("");
const double kInf = std::numeric_limits<double>::infinity();

struct Lines : INK_logRelay {
    std::vector<std::string> lines;
    void onLogRelay(const char* text) override { lines.emplace_back(text); }
};

// A table with a log manager whose console lines are collected.
struct Data {
    CNK_logManager lm;
    Lines relay;
    CNK_testData td;
    Data() {
        lm.setLogRelay(&relay);
        td.setLogManager(&lm);
    }
    ~Data() { lm.setLogRelay(nullptr); }
};

}  // namespace

TEST(TestData, AddDataSymbolRefusals) {
    Data d;
    struct Case {
        const char *test, *item, *type;
        u16 code;
        const char* condition;
    };
    ASSERT_EQ(d.td.addDataSymbol("T", "a", "double", 0, 1, "V", false), 0);
    const Case cases[] = {
        {"", "a", "double", kNKErr_invalidParam, "testName.size()>0"},
        {"T", "", "double", kNKErr_invalidParam, "fomName.size()>0"},
        {"T", "b", "", kNKErr_invalidParam, "typeStr.size()>0"},
        {"T", "a", "float", kNKErr_duplicatedSymbol, "pDuplicatedSymbol==NULL"},
        {"T", "b", "Double", kNKErr_invalidDataType, "type_idx<kNkDataTypeStr.size()"},
        {"T", "b", "int", kNKErr_invalidDataType, "type_idx<kNkDataTypeStr.size()"},
    };
    for (const Case& c : cases) {
        d.relay.lines.clear();
        EXPECT_EQ(d.td.addDataSymbol(c.test, c.item, c.type, 0, 1, "", false), c.code) << c.condition;
        ASSERT_EQ(d.relay.lines.size(), 1u);
        EXPECT_NE(d.relay.lines[0].find(std::string("\"") + c.condition + "\""), std::string::npos) << d.relay.lines[0];
        EXPECT_NE(d.relay.lines[0].find("nk_test.cpp/CNK_testData::addDataSymbol()"), std::string::npos);
    }
    // The table is unchanged by every refusal.
    ASSERT_EQ(d.td._testDataTable.size(), 1u);
    EXPECT_EQ(d.td._testDataTable[0].typeStr, "double");
    EXPECT_EQ(d.td._symbolMap.size(), 1u);

    ASSERT_EQ(d.td.addDataSymbol("Longer", "item", "string", kNone, kNone, "", true), 0);
    EXPECT_EQ(d.td._maxTestNameLen, 6u);
    EXPECT_EQ(d.td._maxItemNameLen, 4u);
    EXPECT_EQ(d.td.getDataReportType("Longer", "item"), u32(kNkReportType_attribute));
    EXPECT_EQ(d.td.getDataReportType("T", "a"), u32(kNkReportType_param));
    EXPECT_EQ(d.td.getDataType("T", "a"), "double");
    EXPECT_EQ(d.td.getDataUnit("T", "a"), "V");
    EXPECT_TRUE(std::isnan(d.td.getData("T", "a", false)));
    EXPECT_EQ(d.td.getData("T", "a", true), 0.0);
    d.td.recordData("T", "a", 0.25);
    d.td.recordData("Longer", "item", std::string("txt"));
    EXPECT_EQ(d.td.getData("T", "a", true), 0.25);
    EXPECT_EQ(d.td.getString("Longer", "item"), "txt");
    d.td.recordError(0, "ignored");
    d.td.recordError(0xE016, "oos");
    EXPECT_EQ(d.td._errCodes, std::vector<u32>{0xE016});
    d.td.reset();
    EXPECT_TRUE(std::isnan(d.td.getData("T", "a", false)));
    EXPECT_EQ(d.td.getString("Longer", "item"), "");
    EXPECT_TRUE(d.td._errCodes.empty());
    EXPECT_TRUE(d.td._errStrs.empty());
}

TEST(TestData, CheckSpecCodesAndLines) {
    struct Case {
        const char* type;
        double lsl, usl, value;
        const char* format;
        u16 code;
        const char* line;  // after "T::v\t"
    };
    const double big = 9223372036854777856.0;  // 2^63 + 2048, exact in a double
    const Case cases[] = {
        {"double", 1, 2, 1, "%.2f", 0, "1.00"},
        {"double", 1, 2, 2, "%.2f", 0, "2.00"},
        {"double", 1, kNone, 0.5, "%.2f", kNKErr_OOS, "0.50\t(exp. >= 1.00)"},
        {"double", kNone, 2, 3, "%.2f", kNKErr_OOS, "3.00\t(exp. <= 2.00)"},
        {"double", 1, 2, 3, "%.2f", kNKErr_OOS, "3.00\t(exp. 1.00 ~ 2.00)"},
        {"double", 2, 2, 3, "%.2f", kNKErr_OOS, "3.00\t(exp. == 2.00)"},
        {"double", 1, 2, kNaN, "%.2f", kNKErr_unknown, "nan\t(exp. 1.00 ~ 2.00)"},
        {"double", kNone, kNone, kNaN, "%.2f", kNKErr_unknown, "nan"},
        {"double", 1, 2, kNone, "%.2f", kNKErr_OOS, "[--> NO_DATA <--]"},  // the sentinel lies below 1
        {"double", kNone, 2, kNone, "%.2f", kNKErr_noDataAvailable, "[--> NO_DATA <--]"},
        {"double", kNone, kNone, kInf, "%.2f", kNKErr_unknown, "inf"},
        {"double", kNone, 2, kInf, "%.2f", kNKErr_OOS, "inf\t(exp. <= 2.00)"},
        {"double", 0, kNone, -kInf, "%.2f", kNKErr_OOS, "-inf\t(exp. >= 0.00)"},
        {"double", kNaN, kNaN, 5, "%.2f", 0, "5.00"},  // no limits at all
        {"double", kNaN, 1, 5, "%.1f V", kNKErr_OOS, "5.0 V\t(exp. <= 1.0 V)"},
        {"float", 0, 1, 0.5, "%d", 0, "0"},
        {"int32_t", 0, 10, 3.7, "%d", 0, "3"},
        {"int64_t", 0, kNone, -5, "%d", kNKErr_OOS, "-5\t(exp. >= 0)"},
        {"int64_t", kNone, kNone, -9.5e18, "%lld", 0, "-9223372036854775808"},
        {"uint64_t", 0, 1e19, big, "%llu", 0, "9223372036854777856"},
        {"uint64_t", kNone, kNone, 1e20, "%u", 0, "18446744073709551615"},
        {"uint8_t", 0, 255, 7, "%.3f", 0, "7.000"},
        {"uint16_t", 0, 1, 2, "0x%04x", kNKErr_OOS, "0x0002\t(exp. 0x0000 ~ 0x0001)"},
    };
    for (const Case& c : cases) {
        Data d;
        ASSERT_EQ(d.td.addDataSymbol("T", "v", c.type, c.lsl, c.usl, "", false), 0);
        if (!std::isnan(c.value)) d.td.recordData("T", "v", c.value);
        d.relay.lines.clear();
        EXPECT_EQ(d.td.checkSpec("T", "v", c.format), c.code) << c.type << " " << c.line;
        ASSERT_EQ(d.relay.lines.size(), 1u);
        EXPECT_EQ(d.relay.lines[0], std::string("T::v\t") + c.line + "\n");
    }

    // Names are padded to the longest test and item names declared.
    Data d;
    d.td.addDataSymbol("Test", "a", "double", 0, 1, "", false);
    d.td.addDataSymbol("T", "longItem", "double", 0, 1, "", false);
    d.td.recordData("Test", "a", 0.5);
    EXPECT_EQ(d.td.checkSpec("Test", "a", "%.1f"), 0);
    EXPECT_EQ(d.relay.lines.back(), "Test::a" + std::string(14 - 7, ' ') + "\t0.5\n");
}

TEST(TestData, IsPassTable) {
    struct Case {
        u32 report;
        double lsl, usl, value;
        bool pass;
    };
    const Case cases[] = {
        {kNkReportType_attribute, 0, 1, 5, true},
        {kNkReportType_param, kNone, kNone, kNaN, true},
        {kNkReportType_param, kNaN, kInf, 5, true},
        {kNkReportType_param, 0, 1, kNaN, false},
        {kNkReportType_param, 0, 1, kNone, false},
        {kNkReportType_param, 0, 1, kInf, false},
        {kNkReportType_param, 0, 1, 0, true},
        {kNkReportType_param, 0, 1, 1, true},
        {kNkReportType_param, 0, 1, -0.001, false},
        {kNkReportType_param, 0, 1, 1.001, false},
        {kNkReportType_param, kNone, 1, -1e300, true},
        {kNkReportType_param, 0, kNaN, 1e300, true},
    };
    for (const Case& c : cases) {
        t_nkTestData t;
        t.typeStr = "double";
        t.report_type = c.report;
        t.LSL = c.lsl;
        t.USL = c.usl;
        t.value = c.value;
        EXPECT_EQ(t.isPass(), c.pass) << c.lsl << " " << c.usl << " " << c.value;
    }
}

TEST(TestData, OverrideSpecFromTestLimitFile) {
    Data d;
    d.td.addDataSymbol("T", "gain", "double", 0, 1, "", false);
    d.td.addDataSymbol("T", "mode", "uint8_t", 0, 1, "", true);  // attribute: refused
    d.td.addDataSymbol("T", "label", "string", kNone, kNone, "", false);
    testing::internal::CaptureStdout();
    EXPECT_EQ(d.td.overrideSpec(std::string(NK_TEST_DATA_DIR) + "/fw_test_limits.csv"), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(d.td.get_LSL("T", "gain"), 1.5);
    EXPECT_EQ(d.td.get_USL("T", "gain"), 5.5);
    EXPECT_EQ(d.td._specVersion, "2.1");
    for (const char* missing : {"T,mode", "T,label", ",offset", "T,missing"})
        EXPECT_NE(out.find(std::string("Load Spec : ") + missing + " Not Found\n"), std::string::npos) << missing;

    d.relay.lines.clear();
    EXPECT_EQ(d.td.overrideSpec("T", "mode", 0, 1), kNKErr_invalidDataType);
    EXPECT_EQ(d.td.overrideSpec("T", "label", 0, 1), kNKErr_invalidDataType);
    EXPECT_EQ(d.td.overrideSpec("T", "nope", 0, 1), kNKErr_invalidPointer);
    EXPECT_EQ(d.td.overrideSpec("T", "gain", -1, 1), 0);
    EXPECT_EQ(d.td.get_LSL("T", "gain"), -1.0);

    nktest::TempDir dir;
    EXPECT_EQ(d.td.overrideSpec(dir.file("none.csv")), kNKErr_fileNotExist);
    nktest::writeFile(dir.file("plain.csv"), "SerialNumber,T::gain\nSN1,3\n");
    EXPECT_EQ(d.td.overrideSpec(dir.file("plain.csv")), kNKErr_invalidDataType);
}

TEST(TestDataDeathTest, UndeclaredSymbolsAndTypeMismatchesStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CNK_testData td;
    td.addDataSymbol("T", "n", "double", 0, 1, "", false);
    td.addDataSymbol("T", "s", "string", kNone, kNone, "", false);
    td.addDataSymbol("T", "a", "double", 0, 1, "", true);
    EXPECT_DEATH(td.getData("T", "x", false), "\"pData!=NULL\"");
    EXPECT_DEATH(td.get_LSL("X", "n"), "\"pData!=NULL\"");
    EXPECT_DEATH(td.recordData("T", "x", 1.0), "\"pData!=NULL\"");
    EXPECT_DEATH(td.checkSpec("T", "x", "%f"), "\"pData!=NULL\"");
    EXPECT_DEATH(td.recordData("T", "s", 1.0), "pData->typeStr!=\"string\"");
    EXPECT_DEATH(td.recordData("T", "n", std::string("t")), "pData->typeStr==\"string\"");
    EXPECT_DEATH(td.get_USL("T", "a"), "pData->report_type==kNkReportType_param");
    EXPECT_DEATH(td.checkSpec("T", "n", nullptr), "format!=NULL");
}
