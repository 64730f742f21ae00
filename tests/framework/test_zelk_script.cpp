// The test-script parser on files written by the test: header values, groups,
// time-out tags, line ends and the limits of the record.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "ZelkTestScript.h"
#include "nk_test_util.h"

namespace {

const char* const kHeader =
    "[Project_Name] Demo #the project\n"
    "[Station_Name]\tST-1\n"
    "[LogsFolder_DUT] /logs/dut//remote\n"
    "[LogsFolder_VESK] /logs/host\n"
    "[StatFolder_VESK] /stat\n"
    "[Test Version] 1.2.3\n";

std::string groups(const std::string& test = "cmd1\n", const std::string& setup = "") {
    return "[Setup_Begin]\n" + setup + "[Setup_End]\n" + "[Test_Begin]\n" + test + "[Test_End]\n" +
           "[Result_Begin]\n[Result_End]\n[OnPass_Begin]\n[OnPass_End]\n" +
           "[OnFail_Begin]\n[OnFail_End]\n[OnOrchelPass_Begin]\n[OnOrchelPass_End]";
}

class ZelkTestScript : public ::testing::Test {
protected:
    ZelkTestScript() : info(new tZelk_TestInfo) {}
    SInt32 parse(const std::string& text) {
        const std::string path = dir.file("testScript.zqs");
        nktest::writeFile(path, text);
        std::memset(info.get(), 0x5A, sizeof(*info));  // the parser must clear what it does not fill
        return ZPB_GetTestInfo(path.c_str(), info.get());
    }
    nktest::TempDir dir;
    std::unique_ptr<tZelk_TestInfo> info;
};

TEST_F(ZelkTestScript, HeaderValuesAndItems) {
    ASSERT_EQ(parse(std::string(kHeader) +
                    groups("run a [timeout=5000]\n\n// a comment\nrun b # note\n", "setup one\n")),
              0);
    EXPECT_STREQ(info->projectName, "Demo ");
    EXPECT_STREQ(info->stationName, "ST-1");
    EXPECT_STREQ(info->logsPathDut, "/logs/dut");
    EXPECT_STREQ(info->logsPathVesk, "/logs/host");
    EXPECT_STREQ(info->statPathVesk, "/stat");
    EXPECT_STREQ(info->testSwVersion, "1.2.3");
    EXPECT_STREQ(info->zelkVersion, "");
    EXPECT_STREQ(info->setupItems[0].testName, "setup one");
    EXPECT_STREQ(info->setupItems[1].testName, "");
    EXPECT_STREQ(info->testItems[0].testName, "run a [timeout=5000]");
    EXPECT_EQ(info->testItems[0].timeoutMsec, 5000u);
    EXPECT_EQ(info->testItems[0].testStat, 0);
    EXPECT_STREQ(info->testItems[1].testName, "run b ");
    EXPECT_EQ(info->testItems[1].timeoutMsec, 60000u);
    EXPECT_STREQ(info->testItems[2].testName, "");
    EXPECT_EQ(info->testItems[2].timeoutMsec, 0u);
    EXPECT_STREQ(info->resultItems[0].testName, "");
    EXPECT_STREQ(info->onOrchelPassItems[0].testName, "");
}

TEST_F(ZelkTestScript, TimeoutTags) {
    struct Case {
        const char* line;
        UInt32 timeout;
    } cases[] = {
        {"x [timeout=-1]", 60000},
        {"x [timeout=]", 0},
        {"x [TimeOut=250]", 250},
        {"x [timeout=99999999999999999999999]", 2147483647u},  // held, not wrapped
        {"x [timeout=4294967296]", 2147483647u},
        {"x [timeout=12", 12},
        {"x", 60000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_EQ(parse(std::string(kHeader) + groups(std::string(c.line) + "\n")), 0);
        EXPECT_STREQ(info->testItems[0].testName, c.line);
        EXPECT_EQ(info->testItems[0].timeoutMsec, c.timeout);
    }
}

TEST_F(ZelkTestScript, SyntaxFaults) {
    const std::string h = kHeader;
    struct Case {
        const char* what;
        std::string text;
        SInt32 code;
    } cases[] = {
        {"lower-case begin tag is found", h + "[setup_begin]\nA\n[Setup_End]\n" + groups().substr(groups().find("[Test_Begin]")), 0},
        {"lower-case end tag is not", h + "[Setup_Begin]\nA\n[setup_end]\n" + groups().substr(groups().find("[Test_Begin]")), 23},
        {"end tag as the last line without newline", h + groups(), 0},
        {"group runs to the end of the text", h + "[Setup_Begin]\nA\n", 23},
        {"last line without newline", h + "[Setup_Begin]\nA", 23},
        {"begin tag on the last line", h + "[Setup_Begin]", 23},
        {"no such group", h + "[Test_Begin]\n[Test_End]\n", 23},
        {"project name missing", groups(), 23},
        {"value line without its end", "[Project_Name] x", 23},
        {"test version may be missing", "[Project_Name] p\n[Station_Name] s\n[LogsFolder_DUT] a\n"
                                        "[LogsFolder_VESK] b\n[StatFolder_VESK] c\n" + groups(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(parse(c.text), c.code);
    }
}

TEST_F(ZelkTestScript, FailureKeepsWhatWasReadBefore) {
    ASSERT_EQ(parse(std::string(kHeader) + "[Setup_Begin]\nA\n[Setup_End]\n[Test_Begin]\nB\n"), 23);
    EXPECT_STREQ(info->projectName, "Demo ");
    EXPECT_STREQ(info->setupItems[0].testName, "A");
    EXPECT_STREQ(info->testItems[0].testName, "B");
    EXPECT_STREQ(info->resultItems[0].testName, "");  // zero, not the fill pattern
    EXPECT_EQ(info->resultItems[0].timeoutMsec, 0u);
}

TEST_F(ZelkTestScript, CrLfScriptReadsAsLf) {
    std::string lf = std::string(kHeader) + groups("run a [timeout=70]\n\nrun b\n", "s\n") + "\n";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ASSERT_EQ(parse(crlf), 0);
    EXPECT_STREQ(info->projectName, "Demo ");
    EXPECT_STREQ(info->testSwVersion, "1.2.3");
    EXPECT_STREQ(info->setupItems[0].testName, "s");
    EXPECT_STREQ(info->testItems[0].testName, "run a [timeout=70]");
    EXPECT_EQ(info->testItems[0].timeoutMsec, 70u);
    EXPECT_STREQ(info->testItems[1].testName, "run b");  // the empty CRLF line counts for nothing
    EXPECT_STREQ(info->testItems[2].testName, "");
}

TEST_F(ZelkTestScript, LimitsOfTheRecord) {
    std::string sixteen, seventeen;
    for (int i = 0; i < 16; ++i) sixteen += "s" + std::to_string(i) + "\n";
    seventeen = sixteen + "one too many\n";
    ASSERT_EQ(parse(std::string(kHeader) + groups("t\n", sixteen + "// comments do not count\n\n")), 0);
    EXPECT_STREQ(info->setupItems[15].testName, "s15");
    EXPECT_EQ(parse(std::string(kHeader) + groups("t\n", seventeen)), 23);
    EXPECT_STREQ(info->setupItems[15].testName, "s15");  // nothing written past the group

    // Long values and lines are cut to their fields; a comment past the cut still goes.
    const std::string longLine(300, 'L');
    const std::string longName(40, 'N');
    ASSERT_EQ(parse("[Project_Name] " + longName + "\n" + std::string(kHeader).substr(33) +
                    groups(longLine + " [timeout=77] // tail\n")),
              0);
    EXPECT_EQ(std::string(info->projectName), longName.substr(0, 31));
    EXPECT_EQ(std::string(info->testItems[0].testName), longLine.substr(0, 255));
    EXPECT_EQ(info->testItems[0].timeoutMsec, 77u);
    const std::string longPath = "/" + std::string(2000, 'p');
    ASSERT_EQ(parse("[Project_Name] p\n[Station_Name] s\n[LogsFolder_DUT] " + longPath +
                    "\n[LogsFolder_VESK] b\n[StatFolder_VESK] c\n" + groups()),
              0);
    EXPECT_EQ(std::string(info->logsPathDut), longPath.substr(0, 1023));

    // 256 test items fill the test group exactly.
    std::string many;
    for (int i = 0; i < 256; ++i) many += "t" + std::to_string(i) + "\n";
    ASSERT_EQ(parse(std::string(kHeader) + groups(many)), 0);
    EXPECT_STREQ(info->testItems[255].testName, "t255");
    EXPECT_EQ(parse(std::string(kHeader) + groups(many + "t256\n")), 23);
}

TEST_F(ZelkTestScript, FileFaults) {
    tZelk_TestInfo* none = nullptr;
    EXPECT_EQ(ZPB_GetTestInfo(nullptr, info.get()), 17);
    EXPECT_EQ(ZPB_GetTestInfo(dir.file("x").c_str(), none), 17);
    EXPECT_EQ(ZPB_GetTestInfo(dir.file("missing.zqs").c_str(), info.get()), 29);
    const std::string locked = dir.file("locked.zqs");
    nktest::writeFile(locked, kHeader);
    chmod(locked.c_str(), 0);
    if (geteuid() != 0) {
        EXPECT_EQ(ZPB_GetTestInfo(locked.c_str(), info.get()), 31);
    }
    EXPECT_EQ(ZPB_GetTestInfo(dir.path().c_str(), info.get()), 31);  // a folder is no file to read
    // Text after a NUL byte is not part of the script.
    EXPECT_EQ(parse(std::string(kHeader) + std::string(1, '\0') + groups()), 23);
}

}  // namespace
