// Error texts, the failure report line and the framework version.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "ZelkError.h"
#include "ZelkLogManager.h"

TEST(ZelkError, TextsAtTheEdgesOfTheTable) {
    const struct {
        int code;
        const char* text;
    } rows[] = {
        {0, "OK"},           {1, "Unknown"},      {17, "invalidParam"},       {28, "timeout"},
        {87, "invalidFormat"}, {95, "cannotFindDevice"}, {131, "checkProxOFFFail"}, {132, "MAX"},
        {133, "Unknown Error Code"}, {-1, "Unknown Error Code"}, {500, "Unknown Error Code"},
        {INT32_MIN, "Unknown Error Code"},
    };
    for (const auto& r : rows) EXPECT_STREQ(ZERR_GetErrorStr(r.code), r.text) << r.code;
    EXPECT_EQ(kZErr_invalidParam, 17);
    EXPECT_EQ(kZErr_fileOpenFailed, 31);
    EXPECT_EQ(kZErr_MAX, 132);
}

TEST(ZelkError, UnknownNeverRepeatsAnEarlierLookup) {
    EXPECT_STREQ(ZERR_GetErrorStr(28), "timeout");
    EXPECT_STREQ(ZERR_GetErrorStr(500), "Unknown Error Code");
}

TEST(ZelkErrorConcurrency, VersionIsOneConstantFromEveryThread) {
    std::vector<const char*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = ZERR_GetVersionStr(); });
    for (auto& t : threads) t.join();
    EXPECT_STREQ(seen[0], "ZELK-32.0.3");
    EXPECT_EQ(std::set<const char*>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_EQ(ZERR_GetVersionStr(), seen[0]);
}

TEST(ZelkError, ProductNumberByPrefixFirstMatchWins) {
    EXPECT_EQ(ZERR_GetProductNumber("ZQ10abc"), 1);
    EXPECT_EQ(ZERR_GetProductNumber("ZQ19"), 3);  // "ZQ1" after the longer codes
    EXPECT_EQ(ZERR_GetProductNumber("ZS31"), 7);
    EXPECT_EQ(ZERR_GetProductNumber("ZS30"), 7);
    EXPECT_EQ(ZERR_GetProductNumber("AB12"), 0);
    EXPECT_EQ(ZERR_GetProductNumber(""), 0);
    EXPECT_EQ(ZERR_GetProductNumber(nullptr), 0);
    for (const char* code : {"ZQ10", "ZR2", "ZT", "ZX8", "YA1", "YB2", "YH"}) {
        const int n = ZERR_GetProductNumber(code);
        EXPECT_TRUE(n >= 1 && n <= 29 && n != 16 && n != 20 && n != 22) << code;
    }
}

TEST(ZelkError, ReportLineThroughTheErrorPrint) {
    iZelk_LogManager* lm = ZLM_Create();
    ASSERT_NE(lm, nullptr);
    testing::internal::CaptureStdout();
    ZERR_Report(lm, "/some/where/ZelkUtil.cpp", "ZUTIL_ParseIntelHexFile", 42, kZErr_invalidParam);
    const int line = __LINE__ + 1;
    ZERR_REPORT(lm, kZErr_invalidFormat);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string expected = "[ERR] [Error,0x0011] invalidParam [ZelkUtil.cpp:ZUTIL_ParseIntelHexFile:42]\n"
                                 "[ERR] [Error,0x0057] invalidFormat [test_zelk_error.cpp:TestBody:" +
                                 std::to_string(line) + "]\n";
    EXPECT_EQ(out, expected);
    ZLM_Delete(&lm);
    EXPECT_EQ(lm, nullptr);

    // Without a manager the report goes nowhere.
    testing::internal::CaptureStdout();
    ZERR_REPORT(nullptr, kZErr_invalidParam);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
