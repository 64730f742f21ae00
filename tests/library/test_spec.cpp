#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "nk_data_item_util.h"
#include "nk_spec.h"
#include "nk_test_util.h"

using nktest::dataItem;
using nktest::TempDir;

namespace {

struct Fixture {
    CNK_logManager lm;
    CNK_specManager sm;
    std::vector<t_nkDataItem> table = {
        dataItem("Voltage", kNKDT_double, 1, 2),     dataItem("Count", kNKDT_u8, kNK_noValue, 10),
        dataItem("Offset", kNKDT_i16, -5, kNK_noValue), dataItem("Same", kNKDT_double, 5, 5),
        dataItem("Label", kNKDT_string, kNK_noValue, kNK_noValue), dataItem("Big", kNKDT_u64, 0, 2e19),
    };
    Fixture() {
        lm.setVerboseLevel(kVL1);
        EXPECT_EQ(sm.setLogManager(&lm), 0);
        EXPECT_EQ(sm.setSpecTable(table.data(), static_cast<int>(table.size())), 0);
    }
    // The value line that checkspec logs for one item.
    std::string check(int id, double v, const char* fmt, u16 expected) {
        sm.recordDat(id, v);
        testing::internal::CaptureStdout();
        EXPECT_EQ(sm.checkspec(id, fmt), expected) << id << " " << v;
        return testing::internal::GetCapturedStdout();
    }
};

}  // namespace

TEST(SpecManager, CheckspecLogsValueAndExpectation) {
    Fixture f;
    // Names padded to the longest ("Voltage", 7) plus one.
    EXPECT_EQ(f.check(0, 3, "%.2f", kNKErr_OOS), "Voltage:\t3.00\t(exp. \t1.00 ~ \t2.00)\n");
    EXPECT_EQ(f.check(0, 1.5, "%.2f", 0), "Voltage:\t1.50\n");
    EXPECT_EQ(f.check(3, 6, "%.0f", kNKErr_OOS), "Same:   \t6\t(exp. == \t5)\n");
    EXPECT_EQ(f.check(1, 300, "%u", kNKErr_OOS), "Count:  \t44\t(exp. <= \t10)\n");  // low 8 bits
    EXPECT_EQ(f.check(2, -9.7, "%d", kNKErr_OOS), "Offset: \t-9\t(exp. >= \t-5)\n");
    // Each value goes in as the type the conversion letter reads.
    EXPECT_EQ(f.check(2, -3, "%.1f", 0), "Offset: \t-3.0\n");
    EXPECT_EQ(f.check(0, 1.75, "%ld", 0), "Voltage:\t1\n");
    EXPECT_EQ(f.check(5, 18446744073709549568.0, "%llu", 0), "Big:    \t18446744073709549568\n");
}

TEST(SpecManager, CheckspecRefusals) {
    Fixture f;
    struct Case {
        int id;
        double value;
        const char* fmt;
        u16 code;
    } cases[] = {
        {0, kNK_noValue, "%f", kNKErr_noDataAvailable},
        {0, std::nan(""), "%f", kNKErr_unknown},
        {0, INFINITY, "%f", kNKErr_unknown},
        {4, 0, "%f", kNKErr_invalidDataType},
        {6, 0, "%f", kNKErr_invalidDataId},
        {-1, 0, "%f", kNKErr_invalidDataId},
        {0, 1.5, "%s", kNKErr_invalidParam},      // would read a pointer
        {0, 1.5, "%f %f", kNKErr_invalidParam},   // would read a missing argument
        {0, 1.5, "%n", kNKErr_invalidParam},
        {0, 1.5, "%*d", kNKErr_invalidParam},
    };
    for (const Case& c : cases) {
        if (c.id >= 0 && c.id < 6 && c.id != 4) f.sm.getDataItem(c.id)->value = c.value;
        testing::internal::CaptureStdout();
        EXPECT_EQ(f.sm.checkspec(c.id, c.fmt), c.code) << c.id << " " << c.fmt;
        testing::internal::GetCapturedStdout();
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(f.sm.checkspec(0, nullptr), kNKErr_invalidPointer);
    CNK_specManager empty;
    EXPECT_EQ(empty.checkspec(0, "%f"), kNKErr_invalidCondition);
    testing::internal::GetCapturedStdout();
}

TEST(SpecManager, RecordsValuesTextsAndErrors) {
    Fixture f;
    testing::internal::CaptureStdout();
    EXPECT_EQ(f.sm.recordDat(0, 1.25), 0);
    EXPECT_EQ(f.sm.getDat(0), 1.25);
    EXPECT_EQ(f.sm.recordDat(4, 1), kNKErr_invalidDataType);
    EXPECT_EQ(f.sm.recordStr(0, "x"), kNKErr_invalidDataType);
    EXPECT_EQ(f.sm.overrideSpec(4, 0, 1), kNKErr_invalidDataType);
    EXPECT_EQ(f.sm.getDat(9), kNK_noValue);
    EXPECT_EQ(f.sm.getStr(9), nullptr);
    EXPECT_EQ(f.sm.getLimitUpper(-1), kNK_noValue);
    EXPECT_EQ(f.sm.setSpecTable(f.table.data(), 1), kNKErr_invalidCondition);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("\"dataId>=0 && dataId<_specItemCount\""), std::string::npos);
    EXPECT_NE(log.find("\"_pSpecTable_org==NULL\""), std::string::npos);

    const std::string longText(300, 'q');
    EXPECT_EQ(f.sm.recordStr(4, longText.c_str()), 0);
    EXPECT_EQ(std::string(f.sm.getStr(4)), longText.substr(0, 254));

    EXPECT_EQ(f.sm.getErrorCode(0), 0xFFFF);
    EXPECT_STREQ(f.sm.getErrorString(0), "NO_ERROR_INITIALIZED");
    EXPECT_EQ(f.sm.recordErr(0, "none"), 0);
    EXPECT_EQ(f.sm.getErrorCount(), 0u);
    EXPECT_EQ(f.sm.getErrorCode(0), 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(f.sm.recordErr(static_cast<u16>(0xE000 + i), "e"), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(f.sm.recordErr(0xE100, "one too many"), kNKErr_invalidCondition);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(f.sm.getErrorCount(), 256u);
    EXPECT_EQ(f.sm.getErrorCode(255), 0xE0FF);
    EXPECT_EQ(f.sm.getErrorCode(256), 0);  // past the list, not past the block
    EXPECT_EQ(f.sm.getErrorString(-1), nullptr);
    EXPECT_EQ(CNK_specManager().getErrorString(0), nullptr);

    // A new run starts from the initial table with an empty error list.
    f.sm.overrideSpec(0, 7, 8);
    EXPECT_EQ(f.sm.initializeSpecManager(), 0);
    EXPECT_EQ(f.sm.getLimitLower(0), 1.0);
    EXPECT_EQ(f.sm.getDat(0), kNK_noValue);
    EXPECT_EQ(f.sm.getErrorCount(), 0u);
    EXPECT_EQ(std::string(f.sm.getTestTimeStr_begin()).size(), 19u);
}

TEST(SpecManager, ListSpecAlignsColumns) {
    Fixture f;
    f.sm.recordDat(0, 1.5);
    f.sm.recordStr(4, "a-very-long-label");
    testing::internal::CaptureStdout();
    EXPECT_EQ(f.sm.listSpec(), 0);
    const std::vector<std::string> lines = nktest::splitLines(testing::internal::GetCapturedStdout());
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], "spec   \t      lower\t  cur value\t      upper");
    EXPECT_EQ(lines[1], std::string(std::string("spec   \t      lower\t  cur value\t      upper\n").size() + 12, '-'));
    EXPECT_EQ(lines[2], "Voltage\t      1.000\t      1.500\t      2.000");
    EXPECT_EQ(lines[3], "Count  \t         NA\t         NA\t         10");
    EXPECT_EQ(lines[6], "Label  \t         NA\ta-very-lo..\t         NA");
    EXPECT_EQ(lines[7], "Big    \t         NA\t         NA\t         NA");
}

TEST(SpecManager, ExportImportGivesEveryLimitBackExactly) {
    TempDir dir;
    const std::string path = dir.file("spec.csv");
    Fixture f;
    f.sm.overrideSpec(0, 0.1, 1.0 / 3);
    f.sm.overrideSpec(5, 0, 18446744073709549568.0);
    nktest::writeFile(path, "old");
    ASSERT_EQ(f.sm.exportSpecToCsv(path.c_str()), 0);
    const std::string text = nktest::readFile(path);
    EXPECT_EQ(text.rfind("NerraSpecTable,exported,", 0), 0u);
    EXPECT_EQ(text.find("Label"), std::string::npos);  // string items stay out
    EXPECT_NE(text.find("\nCount,NA,10\n"), std::string::npos);

    Fixture g;
    testing::internal::CaptureStdout();
    ASSERT_EQ(g.sm.importSpecFromCsv(path.c_str()), 0);
    const std::string echo = testing::internal::GetCapturedStdout();
    EXPECT_NE(echo.find("Item Count = 5"), std::string::npos);
    for (int id : {0, 1, 2, 3, 5}) {
        EXPECT_EQ(g.sm.getLimitLower(id), f.sm.getLimitLower(id)) << id;
        EXPECT_EQ(g.sm.getLimitUpper(id), f.sm.getLimitUpper(id)) << id;
    }
}

TEST(SpecManager, ImportNormalisesAndRefusesBadFiles) {
    TempDir dir;
    const std::string path = dir.file("in.csv");
    Fixture f;
    nktest::writeFile(path, "head\r\n\r\nSPEC_SYMBOL,lo,hi\r\nvoltage,NAN,3.5\r\n\r\nunknown,1,2\rOffset,-1,Inf\r\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(f.sm.importSpecFromCsv(path.c_str()), 0);
    EXPECT_EQ(f.sm.getLimitLower(0), kNK_noValue);
    EXPECT_EQ(f.sm.getLimitUpper(0), 3.5);
    EXPECT_EQ(f.sm.getLimitLower(2), -1.0);
    EXPECT_EQ(f.sm.getLimitUpper(2), kNK_noValue);

    const char* bad[] = {"no header\nVoltage,1,2\n", "spec_symbol\nVoltage,1\n", "spec_symbol\nVoltage,x,2\nCount,0,1\n"};
    for (const char* text : bad) {
        nktest::writeFile(path, text);
        EXPECT_EQ(f.sm.importSpecFromCsv(path.c_str()), kNKErr_invalidFormat) << text;
        EXPECT_EQ(f.sm.getLimitUpper(1), 10.0) << text;  // nothing applied
    }
    EXPECT_EQ(f.sm.importSpecFromCsv(dir.file("none.csv").c_str()), kNKErr_fileNotExist);
    EXPECT_EQ(f.sm.importSpecFromCsv(nullptr), kNKErr_invalidParam);
    testing::internal::GetCapturedStdout();

    // An export into a missing folder cannot open its file.
    testing::internal::CaptureStdout();
    EXPECT_EQ(f.sm.exportSpecToCsv(dir.file("missing/spec.csv").c_str()), kNKErr_fileOpenFailed);
    const std::string report = testing::internal::GetCapturedStdout();
    EXPECT_NE(report.find("\"fp!=NULL\""), std::string::npos) << report;
}
