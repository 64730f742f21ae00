#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nk_log.h"
#include "nk_string.h"
#include "nk_test_util.h"

namespace {
// Offset of a scanner's result in its text, -1 for null.
long at(const char* text, const char* p) { return p ? static_cast<long>(p - text) : -1; }
}  // namespace

TEST(StrScan, PointerScanners) {
    const char* t = "ab \tcd\r\nef";
    EXPECT_EQ(at(t, nkStr_skipWord(t)), 2);
    EXPECT_EQ(at(t, nkStr_skipWord(t + 4)), 6);  // a carriage return ends a word
    EXPECT_EQ(at(t, nkStr_skipWord(t + 8)), -1);  // word runs to the end
    EXPECT_EQ(at(t, nkStr_skipSpace(t + 2)), 4);
    EXPECT_EQ(at(t, nkStr_goNextWord(t)), 4);
    EXPECT_EQ(at(t, nkStr_goNextWord(t + 4)), 6);  // may stop on the line end
    EXPECT_EQ(at(t, nkStr_goNextWord(t + 8)), -1);
    EXPECT_EQ(at(t, nkStr_goNextLine(t)), 8);
    EXPECT_EQ(at(t, nkStr_goNextLine(t + 8)), -1);
    EXPECT_EQ(nkStr_skipWord(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(nkStr_skipSpace("  \t"), nullptr);

    const char* k = "KEY:   42";
    EXPECT_EQ(at(k, nkStr_goAfter(k, "KEY:")), 7);
    EXPECT_EQ(nkStr_goAfter("x KEY:", "KEY:"), nullptr);
    EXPECT_EQ(nkStr_goAfter("x KEY:  ", "KEY:"), nullptr);
    EXPECT_EQ(nkStr_goAfter(k, "nope"), nullptr);
    const std::string ks = k;
    EXPECT_EQ(at(ks.c_str(), nkStr_goAfter(ks, std::string("KEY:"))), 7);
    EXPECT_EQ(nkStr_goAfter(ks, std::string("42")), nullptr);

    const char* o = "aaaa";
    EXPECT_EQ(at(o, nkStr_goLastText(o, "aa")), 2);  // overlapping hits count
    EXPECT_EQ(nkStr_goLastText(o, "b"), nullptr);
    EXPECT_EQ(nkStr_checkTextCount("aaa", "aa"), 2u);
    EXPECT_EQ(nkStr_checkTextCount("aaa", "b"), 0u);
    EXPECT_EQ(nkStr_checkTextCount("aaa", ""), 0u);

    const std::string hay = "Temp,VOLT,";
    EXPECT_EQ(at(hay.c_str(), nkStr_strstr(hay, std::string("VOLT"))), 5);
    EXPECT_EQ(nkStr_strstr(hay, std::string("volt")), nullptr);
    EXPECT_EQ(at(hay.c_str(), nkStr_strcasestr(hay, std::string("volt"))), 5);
    EXPECT_EQ(nkStr_strstr(hay, std::string()), nullptr);
    const std::string empty;
    EXPECT_EQ(nkStr_strcasestr(empty, std::string("a")), nullptr);

    // The C-text form: the first hit, case ignored; null for an empty or null side.
    const char* ct = "xx[*** TestEnd ***]yy";
    EXPECT_EQ(at(ct, nkStr_strcasestr(ct, "[*** testend ***]")), 2);
    EXPECT_EQ(nkStr_strcasestr(ct, "TestSetup"), nullptr);
    EXPECT_EQ(nkStr_strcasestr(ct, ""), nullptr);
    EXPECT_EQ(nkStr_strcasestr("", "a"), nullptr);
    EXPECT_EQ(nkStr_strcasestr(static_cast<const char*>(nullptr), "a"), nullptr);
    EXPECT_EQ(nkStr_strcasestr(ct, static_cast<const char*>(nullptr)), nullptr);
    char buf[] = "abAB";
    char* hit = nkStr_strcasestr(buf, "ab");
    EXPECT_EQ(hit, buf);
}

TEST(StrScan, NullTextOrKeyIsReported) {
    testing::internal::CaptureStderr();
    const char* t = "abc";
    EXPECT_EQ(nkStr_goNextLine(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(nkStr_goAfter(static_cast<const char*>(nullptr), "a"), nullptr);
    EXPECT_EQ(nkStr_goAfter(t, nullptr), t);
    EXPECT_EQ(nkStr_goLastText(t, nullptr), t);
    EXPECT_EQ(nkStr_checkTextCount(nullptr, "a"), 0u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 5) << err;
    EXPECT_NE(err.find("[Error,0xE001]"), std::string::npos) << err;
    EXPECT_NE(err.find("\"txt\""), std::string::npos) << err;
    // Each report names the scanner that was called.
    for (const char* where : {"[nk_string.cpp/nkStr_goNextLine() [", "[nk_string.cpp/nkStr_goAfter() [",
                              "[nk_string.cpp/nkStr_goLastText() [", "[nk_string.cpp/nkStr_checkTextCount() ["})
        EXPECT_NE(err.find(where), std::string::npos) << where << "\n" << err;
}

TEST(StrScan, NextStringIsBoundedByItsBuffer) {
    char out[64];
    EXPECT_EQ(nkStr_getNextString("a,  bc,d", ",", out), 0);
    EXPECT_STREQ(out, "bc");
    EXPECT_EQ(nkStr_getNextString("a:: tail", "::", out), 0);
    EXPECT_STREQ(out, "tail");
    EXPECT_EQ(nkStr_getNextString("nodelim", ",", out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(nkStr_getNextString("a,", ",", out), 0);
    EXPECT_STREQ(out, "");

    // A token longer than the buffer is cut, never written past its end.
    char small[4] = {'x', 'x', 'x', 'x'};
    char guard[4] = {'G', 'G', 'G', 'G'};
    EXPECT_EQ(nkStr_getNextString("k,0123456789", ",", small), 0);
    EXPECT_STREQ(small, "012");
    EXPECT_EQ(std::string(guard, 4), "GGGG");
    char limited[16];
    EXPECT_EQ(nkStr_getNextStringWithLimit("k,0123456789", ",", limited, 4), 0);
    EXPECT_STREQ(limited, "012");

    testing::internal::CaptureStderr();
    EXPECT_EQ(nkStr_getNextStringWithLimit("a", ",", nullptr, 4), kNKErr_invalidPointer);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"textBuff\""), std::string::npos);
}

TEST(StrScan, ItemStringByColumnTitle) {
    const char* title = "SN,Temp,Volt,";
    const char* data = "X1,25.5,3.3,";
    char out[32];
    EXPECT_EQ(nkStr_getItemString(title, data, ",", "volt", out), 0);
    EXPECT_STREQ(out, "3.3");
    EXPECT_EQ(nkStr_getItemString(title, data, ",", "Temp", out), 0);
    EXPECT_STREQ(out, "25.5");
    EXPECT_EQ(nkStr_getItemString(title, data, ",", "SN", out), 0);
    EXPECT_STREQ(out, "X1");

    struct Case {
        const char* title;
        const char* data;
        const char* item;
        const char* condition;
    } const cases[] = {
        {"SN Temp", "X1 25", "Temp", "\"total\""},
        {title, data, "Current", "\"ptr\""},
        {"SN,Temp,Volt", data, "Volt", "\"remaining\""},
        {title, "X1", "Volt", "\"ptr\""},
        {title, "X1,25.5,3.3", "Volt", "\"ptrEnd\""},
    };
    for (const Case& c : cases) {
        std::strcpy(out, "stale");
        testing::internal::CaptureStderr();
        EXPECT_EQ(nkStr_getItemString(c.title, c.data, ",", c.item, out), kNKErr_invalidFormat) << c.title;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.condition), std::string::npos) << err;
        EXPECT_STREQ(out, "");
    }

    // A value longer than the caller's buffer is cut and flagged, never overrun.
    char tiny[4];
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkStr_getItemString("A,B,", "1,123456,", ",", "b", tiny), kNKErr_invalidBufferSize);
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(tiny, "123");
}

TEST(StrScan, SizeStringAndCase) {
    struct {
        u32 n;
        const char* text;
    } const rows[] = {{0, "0 "},           {1024, "1024 "},          {1025, "1.001 K"},
                      {1048576, "1024.000 K"}, {1048577, "1.000 M"}, {3u << 20, "3.000 M"}};
    for (const auto& r : rows) EXPECT_STREQ(nkStr_getSizeString(r.n), r.text) << r.n;

    // Each thread has its own buffer, so another thread's call leaves ours alone.
    const char* mine = nkStr_getSizeString(1024);
    std::thread([] { nkStr_getSizeString(1048577); }).join();
    EXPECT_STREQ(mine, "1024 ");

    char t[] = "aZ9-\xE9q";
    nkStr_upperCaseString(t);
    EXPECT_STREQ(t, "AZ9-\xE9Q");
    nkStr_lowerCaseString(t);
    EXPECT_STREQ(t, "az9-\xE9q");
    nkStr_upperCaseString(nullptr);
}

TEST(StrScan, Split) {
    using V = std::vector<std::string>;
    EXPECT_EQ(nkStr_split("a,b", ","), (V{"a", "b"}));
    EXPECT_EQ(nkStr_split("a,,b", ","), (V{"a", "", "b"}));
    EXPECT_EQ(nkStr_split("abc", ","), (V{"abc"}));
    EXPECT_EQ(nkStr_split("", ","), (V{""}));
    EXPECT_EQ(nkStr_split("a,", ","), (V{"a", ""}));
    EXPECT_EQ(nkStr_split("x<>y<>z", "<>"), (V{"x", "y", "z"}));
    EXPECT_EQ(nkStr_split("abc", ""), (V{"abc"}));
}

TEST(StrScan, NumberRows) {
    int v[4] = {-1, -1, -1, -1};
    const char* t = " \t7 \t-12 \t+3 \t2147483648\nnext";
    const char* end = nkStr_scanInt_1D(t, v, 4);
    EXPECT_EQ(std::vector<int>(v, v + 4), (std::vector<int>{7, -12, 3, 2147483647}));  // clamped, not UB
    EXPECT_EQ(at(t, end), static_cast<long>(std::strchr(t, '\n') - t));

    int w[3] = {-1, -1, -1};
    EXPECT_EQ(nkStr_scanInt_1D("5 6", w, 3), nullptr);  // text ended first
    EXPECT_EQ(std::vector<int>(w, w + 3), (std::vector<int>{5, 6, -1}));

    // A short row does not take its values from the next line.
    int s[3] = {-1, -1, -1};
    const char* shortRow = "1 2\n3 4 5\n";
    EXPECT_EQ(at(shortRow, nkStr_scanInt_1D(shortRow, s, 3)), 3);
    EXPECT_EQ(s[2], -1);
}

TEST(StrScan, FloatsIgnoreTheProgramsDecimalComma) {
    // A locale whose decimal mark is a comma, compiled into a private folder.
    nktest::TempDir dir;
    int status = -1;
    nktest::runCommand("localedef -i de_DE -f UTF-8 " + dir.file("de_DE.UTF-8") + " 2>&1", &status);
    setenv("LOCPATH", dir.path().c_str(), 1);
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "cannot build a comma locale";
    ASSERT_EQ(std::string(localeconv()->decimal_point), ",");
    float f[2] = {0, 0};
    EXPECT_NE(nkStr_scanFloat_1D("1.5 -2.25\n", f, 2), nullptr);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_FLOAT_EQ(f[0], 1.5f);
    EXPECT_FLOAT_EQ(f[1], -2.25f);
}

TEST(StrScan, BlocksPrintedByTheLogManagerReadBack) {
    struct Relay : INK_logRelay {
        std::string text;
        void onLogRelay(const char* t) override { text += t; }
    };
    const int rows = 3, cols = 4;
    int ints[rows * cols];
    float floats[rows * cols];
    for (int i = 0; i < rows * cols; ++i) {
        ints[i] = i * 37 - 100;
        floats[i] = static_cast<float>(i) * 0.25f - 1.5f;
    }
    for (const bool reverse : {false, true}) {
        CNK_logManager lm;
        Relay ri, rf;
        lm.setLogRelay(&ri);
        testing::internal::CaptureStdout();
        lm.print_2d(kVL1, ints, cols, cols, rows, reverse, "%d");
        lm.setLogRelay(&rf);
        lm.print_2d(kVL1, floats, cols, cols, rows, reverse, "%.2f");
        testing::internal::GetCapturedStdout();

        int backI[rows * cols] = {};
        float backF[rows * cols] = {};
        const char* endI = nkStr_scanInt_2D(ri.text.c_str(), backI, cols, rows, reverse);
        const char* endF = nkStr_scanFloat_2D(rf.text.c_str(), backF, cols, rows, reverse);
        EXPECT_EQ(at(ri.text.c_str(), endI), static_cast<long>(ri.text.size())) << reverse;
        EXPECT_NE(endF, nullptr);
        for (int i = 0; i < rows * cols; ++i) {
            EXPECT_EQ(backI[i], ints[i]) << i << " reverse " << reverse;
            EXPECT_FLOAT_EQ(backF[i], floats[i]) << i << " reverse " << reverse;
        }
    }
    // Rows missing from the text stay as they were.
    int part[2 * 2] = {9, 9, 9, 9};
    EXPECT_EQ(nkStr_scanInt_2D("[row00] 1 2\n", part, 2, 2, false), nullptr);
    EXPECT_EQ(std::vector<int>(part, part + 4), (std::vector<int>{1, 2, 9, 9}));
}

TEST(StrScanDeath, ScannerPreconditionsEndTheProcess) {
    int v[1];
    float f[1];
    // Each names the scanner that was called.
    EXPECT_DEATH(nkStr_scanInt_1D(nullptr, v, 1), "nkStr_scanInt_1D\\(\\).*\"ptr!=NULL\"");
    EXPECT_DEATH(nkStr_scanFloat_1D("1", nullptr, 1), "nkStr_scanFloat_1D\\(\\).*\"buff!=NULL\"");
    EXPECT_DEATH(nkStr_scanInt_2D("1", v, 0, 1, false), "nkStr_scanInt_2D\\(\\).*\"width>0\"");
    EXPECT_DEATH(nkStr_scanFloat_2D("1", f, 1, 0, false), "nkStr_scanFloat_2D\\(\\).*\"height>0\"");
}
