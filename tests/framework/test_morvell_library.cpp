// Morvell's own build of the library core: where it differs from Nerrakit.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "draw/pf_draw.h"
#include "nk_csv.h"
#include "nk_error.h"
#include "nk_graphics.h"
#include "nk_gtest_util.h"
#include "nk_test_util.h"

using nktest::TempDir;

TEST(MorvellLibrary, CodesAndNames) {
    const struct {
        int code;
        const char* name;
    } rows[] = {
        {kNKErr_OK, "OK"},
        {kNKErr_invalidParam, "invalidParam"},
        {kNKErr_invalidPointer, "invalidPointer"},
        {kNKErr_invalidCondition, "invalidCondition"},
        {kNKErr_invalidStatus, "invalidStatus"},
        {kNKErr_invalidFormat, "invalidFormat"},
        {kNKErr_memoryAllocationFailed, "memoryAllocationFailed"},
        {kNKErr_threadAlreadyRunning, "threadAlreadyRunning"},
        {kNKErr_notSupported, "notSupported"},
        {kNKErr_lapackError, "lapackError"},
        {kNKErr_objectNotAvailable, "objectNotAvailable"},
        {kNKErr_invalidDataSize, "invalidDataSize"},
        {kNKErr_fileNotExist, "fileNotExist"},
        {kNKErr_fileOpenFailed, "fileOpenFailed"},
        {kNKErr_usbDeviceRequest, "usbDeviceRequest"},
        {kNKErr_deviceOpenError, "deviceOpenError"},
        {kNKErr_deviceCtrlError, "deviceCtrlError"},
        {kNKErr_deviceAlreadyOpen, "deviceAlreadyOpen"},
        {kNKErr_unknown, "unknown"},
    };
    const int expected[] = {0x0000, 0xE000, 0xE001, 0xE003, 0xE004, 0xE009, 0xE00A, 0xE00E, 0xE014, 0xE015,
                            0xE017, 0xE01B, 0xE040, 0xE043, 0xE05A, 0xE081, 0xE082, 0xE089, 0xFFFF};
    static_assert(std::size(expected) == std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(rows[i].code, expected[i]) << rows[i].name;
        EXPECT_STREQ(nkError_getErrorString(rows[i].code), rows[i].name);
    }
    // The library's names stay, as aliases of the tool's codes.
    EXPECT_EQ(kNKErr_serialOpenError, kNKErr_deviceOpenError);
    EXPECT_EQ(kNKErr_serialAlreadyOpen, kNKErr_deviceAlreadyOpen);
    // The old library codes of the renumbered rows are not in this table.
    EXPECT_STREQ(nkError_getErrorString(0x0005), "Unknown");
    EXPECT_STREQ(nkError_getErrorString(0xF16C), "Unknown");

    nktest::StderrCapture err;
    nkDebug_printError(nullptr, "/x/y/file.cpp", "CNK_csv", "-load", 12, 0x0005, "cond");
    nkDebug_printError(nullptr, "/x/y/file.cpp", nullptr, "fn", 3, kNKErr_invalidParam, nullptr);
    EXPECT_EQ(err.take(), "[Error,5] Unknown [file.cpp/CNK_csv::load() [12] - \"cond\"]\n"
                          "[Error,0xE000] invalidParam [file.cpp/fn() [3]]\n");
}

namespace {

CNK_csv loadText(const TempDir& dir, const std::string& text) {
    const std::string path = dir.file("t.csv");
    nktest::writeFile(path, text);
    CNK_csv t;
    EXPECT_EQ(t.load(path), 0) << text;
    return t;
}

}  // namespace

TEST(MorvellLibrary, GroupsMatchTitlesWithCase) {
    TempDir dir;
    CNK_csv t = loadText(dir, "SerialNumber,Tester,V\nA,X,1\nB,,2\nC,Y,3\nD,X,4\n");
    const std::vector<CNK_csv> g = t.getGroups("Tester");
    ASSERT_EQ(g.size(), 3u);
    EXPECT_EQ(g[0].getGroupName(), "X");
    EXPECT_EQ(g[2].getGroupName(), "N/A");

    nktest::StderrCapture err;
    EXPECT_TRUE(t.getGroups("tester").empty());
    const std::string line = err.take();
    EXPECT_NE(line.find("[Error,0xE000] invalidParam [nk_csv.cpp/CNK_csv::getGroups() ["), std::string::npos)
        << line;
    EXPECT_NE(line.find("- \"isColumnFound\"]"), std::string::npos) << line;

    CNK_csv same = loadText(dir, "SerialNumber,Tester\nA,X\nB,X\n");
    nktest::StderrCapture err2;
    EXPECT_TRUE(same.getGroups("Tester").empty());
    EXPECT_NE(err2.take().find("[Error,0xE004] invalidStatus"), std::string::npos);
}

TEST(MorvellLibrary, ColumnStatisticsKeepNaNAndDropOnlyTheSentinel) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    TempDir dir;
    // B has an "NA" cell (NaN); C gets the sentinel for the merged row that lacks it.
    CNK_csv t = loadText(dir,
                         "SerialNumber,B,C\nUpper Limit->,60,60\nLower Limit->,40,40\n"
                         "S0,51.25,51.25\nS1,NA,53.75\nS2,53.75,47.125\nS3,47.125,70\n");
    t.merge(loadText(dir, "SerialNumber,B\nS4,70\n"));
    ASSERT_EQ(t.getValRows().size(), 5u);
    ASSERT_EQ(t.getValRows()[4][2], kNK_noValue);
    const auto& st = t.col_stat();
    ASSERT_EQ(st.size(), 3u);
    const std::string out = nktest::runPython(dir,
                                              "import numpy as np\n"
                                              "b=np.array([51.25,np.nan,53.75,47.125,70.0])\n"
                                              "c=np.array([51.25,53.75,47.125,70.0])\n"
                                              "for x in (b.mean(),b.max(),c.mean(),c.std(ddof=1),c.max(),c.min()):\n"
                                              "    print(repr(float(x)))\n");
    const std::vector<std::string> v = nktest::splitLines(out);
    ASSERT_EQ(v.size(), 6u) << out;
    ASSERT_EQ(st[1].values.size(), 5u);  // the NaN is a value here
    EXPECT_EQ(std::isnan(st[1].mean), v[0] == "nan");
    EXPECT_EQ(std::isnan(st[1].max), v[1] == "nan");
    EXPECT_TRUE(std::isnan(st[1].min));
    ASSERT_EQ(st[2].values.size(), 4u);  // the sentinel is not
    EXPECT_NEAR(st[2].mean, std::stod(v[2]), 1e-12);
    EXPECT_NEAR(st[2].stdev, std::stod(v[3]), 1e-12);
    EXPECT_DOUBLE_EQ(st[2].max, std::stod(v[4]));
    EXPECT_DOUBLE_EQ(st[2].min, std::stod(v[5]));
    EXPECT_EQ(st[2].passCount, 3u);  // 70 is above the upper limit
}

TEST(MorvellLibrary, DrawTextAlignmentThreeStartsAtX) {
    // The same text drawn with alignment 1 and 3 covers the same pixels: nothing is turned.
    auto ink = [](int alignment) {
        pf::draw::Context ctx(200, 100);
        ctx.setFont(pf::draw::kMonospaceFont, 20);
        ctx.setFillColor(0, 0, 0, 1);
        nkGrph_drawText(&ctx, "Wide", alignment, 50, 40);
        std::vector<int> box = {1000, 1000, -1, -1};
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 200; ++x)
                if ((ctx.pixel(x, y) >> 24) > 128) {
                    box[0] = std::min(box[0], x), box[1] = std::min(box[1], y);
                    box[2] = std::max(box[2], x), box[3] = std::max(box[3], y);
                }
        return box;
    };
    const std::vector<int> one = ink(1), three = ink(3);
    EXPECT_EQ(one, three);
    EXPECT_GE(one[0], 50);
    EXPECT_GT(one[2] - one[0], one[3] - one[1]);  // wider than tall: upright text
}
