#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "nk_log.h"
#include "nk_typedef.h"

namespace {

class CNK_probe : public CNK_baseObject {
public:
    CNK_probe() { NK_CLASS_NAME(); }
    u16 setLogManager(CNK_logManager* lm) override { return acceptLogManager(lm); }
};

class CNK_probeChild : public CNK_probe {
public:
    CNK_probeChild() { NK_CLASS_NAME(); }
};

std::string reportToStderr(const char* file, const char* obj, const char* func, int line, u16 code,
                           const char* cond) {
    testing::internal::CaptureStderr();
    nkDebug_printError(nullptr, file, obj, func, line, code, cond);
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(ErrorRegistry, BuiltInTableHasItsRowsInOrder) {
    EXPECT_EQ(nkError_getErrorTableSize(), 251);
    EXPECT_EQ(nkError_getErrorCodeFromOrder(0), 0x0000);
    EXPECT_EQ(nkError_getErrorCodeFromOrder(1), 0x0003);
    EXPECT_EQ(nkError_getErrorCodeFromOrder(250), 0xFFFF);
    EXPECT_STREQ(nkError_getErrorString(0xE017), "objectNotAvailable");
    EXPECT_STREQ(nkError_getErrorString(0x00CC), "calBlobCrcError");  // first of the two rows wins
    EXPECT_STREQ(nkError_getErrorString(0xE84E), "QB_testResult_setMessage_failed");
    EXPECT_STREQ(nkError_getErrorString(0x1234), "");
    EXPECT_STREQ(nkError_getErrorString(0x10000 + 5), "invalidParam");  // low 16 bits only
    EXPECT_EQ(nkError_getHandlingRule(kNKErr_timeout), 0);
    EXPECT_EQ(nkError_getHandlingRule(0x1234), -1);
    EXPECT_EQ(kNKErr_readControlBitFailed, 0x00CC);
}

TEST(ErrorRegistry, IndexPastTheTableGivesUnknown) {
    EXPECT_EQ(nkError_getErrorCodeFromOrder(251), 0xFFFF);
    EXPECT_EQ(nkError_getErrorCodeFromOrder(60000), 0xFFFF);
    EXPECT_EQ(nkError_getErrorCodeFromOrder(65536 + 1), 0x0003);  // taken modulo 65536
}

TEST(ErrorRegistry, ConcurrentFirstLookupsFillItOnce) {
    std::vector<std::thread> threads;
    std::vector<int> sizes(16);
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&sizes, i] { sizes[i] = nkError_getErrorTableSize(); });
    for (auto& t : threads) t.join();
    for (int s : sizes) EXPECT_EQ(s, 251);
    EXPECT_EQ(nkError_getErrorTableSize(), 251);
}

TEST(ErrorRegistry, ExpansionOwnsItsNames) {
    for (int i = 0; i < 3; ++i) {
        std::string temporary = "stationCode_" + std::to_string(i);
        nkError_expandErrorCodes(temporary.c_str(), 0x8100 + i, 7 + i);
    }
    EXPECT_EQ(nkError_getErrorTableSize(), 254);
    EXPECT_STREQ(nkError_getErrorString(0x8101), "stationCode_1");
    EXPECT_EQ(nkError_getHandlingRule(0x8102), 9);
    EXPECT_EQ(nkError_getErrorCodeFromOrder(253), 0x8102);
}

TEST(ErrorRegistryDeathTest, DuplicateOrNullRegistrationEndsTheProcess) {
    EXPECT_DEATH(nkError_expandErrorCodes("again", kNKErr_timeout, 0), "\\[Assertion Fail,0xF16C\\]  \\[.*\"!exist\"");
    EXPECT_DEATH(nkError_expandErrorCodes(nullptr, 0x9000, 0), "\"errStr\"");
}

TEST(FailureReport, LineForATableOfCases) {
    const std::string longCond(200, 'c');
    struct Case {
        const char* file;
        const char* obj;
        const char* func;
        int line;
        u16 code;
        const char* cond;
        std::string expected;
    } cases[] = {
        {"/src/lib/nk_socket.cpp", "CNK_socket", "Connect", 120, kNKErr_invalidParam, "port>0",
         "[Error,5] invalidParam [nk_socket.cpp/CNK_socket::Connect() [120] - \"port>0\"]\n"},
        {"nk_file.cpp", nullptr, "nkFile_read", 7, 0xE017, nullptr,
         "[Error,0xE017] objectNotAvailable [nk_file.cpp/nkFile_read() [7]]\n"},
        {"a/b.mm", "CNK_x", "-awakeFromNib", 0, 0xF16C, "",
         "[Assertion Fail,0xF16C]  [b.mm/CNK_x::awakeFromNib() [0]]\n"},
        {"x.cpp", nullptr, "f", 1, 0x1234, "a",
         "[Error,4660]  [x.cpp/f() [1] - \"a\"]\n"},
        {"x.cpp", "", "f", 2, 0x7FFF, nullptr, "[Error,32767]  [x.cpp/::f() [2]]\n"},
        {"x.cpp", nullptr, "f", 3, 0x8000, nullptr, "[Error,0x8000]  [x.cpp/f() [3]]\n"},
        {"x.cpp", nullptr, "f", 4, 0xE0A0, longCond.c_str(),
         "[Error,0xE0A0] glShaderCreationFailed [x.cpp/f() [4] - \"" + std::string(122, 'c') + "\"]\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(reportToStderr(c.file, c.obj, c.func, c.line, c.code, c.cond), c.expected) << c.file << c.line;
}

TEST(FailureReport, ConditionPartKeepsBothQuotesWithinItsLength) {
    for (size_t n : {119u, 120u, 121u, 122u, 123u, 500u}) {
        const std::string cond(n, 'q');
        const std::string out = reportToStderr("f.c", nullptr, "g", 1, 5, cond.c_str());
        const size_t start = out.find(" - \"");
        const size_t end = out.rfind("\"]\n");
        ASSERT_NE(start, std::string::npos);
        ASSERT_NE(end, std::string::npos);
        const size_t partLength = end + 1 - start;
        EXPECT_LE(partLength, 127u);
        EXPECT_EQ(partLength, std::min<size_t>(n, 122) + 5);
    }
}

TEST(FailureReport, GoesThroughAValidLogManagerAtLevelOne) {
    CNK_logManager lm;
    struct Relay : INK_logRelay {
        std::string seen;
        void onLogRelay(const char* text) override { seen += text; }
    } relay;
    lm.setLogRelay(&relay);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    nkDebug_printError(&lm, "dir/nk_ntcp.cpp", lm.name, "SendRequest", 9, kNKErr_timeout, "rc==0");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string expected = "[Error,15] timeout [nk_ntcp.cpp/CNK_logManager::SendRequest() [9] - \"rc==0\"]\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(relay.seen, expected);
    EXPECT_EQ(err, "");
}

TEST(FailureReportDeathTest, NullFileOrFunctionAborts) {
    EXPECT_DEATH(nkDebug_printError(nullptr, nullptr, nullptr, "f", 1, 5, nullptr), "\"file\"");
    EXPECT_DEATH(nkDebug_printError(nullptr, "f.c", nullptr, nullptr, 1, 5, nullptr), "\"func\"");
    EXPECT_DEATH(nkDebug_printError(nullptr, "f.c", nullptr, "f", -1, 5, nullptr), "\"line>=0\"");
}

TEST(TraceMarker, PrintsTimestampBaseNameAndFunction) {
    testing::internal::CaptureStdout();
    nkDebug_PrintMarker("/a/b/nk_csv.cpp", "CNK_csv", "-load", 42);
    const std::string out = testing::internal::GetCapturedStdout();
    // "[yyyy-MM-dd HH:mm:ss nk_csv.cpp/CNK_csv::load() [42]]\n"
    ASSERT_EQ(out.size(), 1 + 19 + 1 + std::string("nk_csv.cpp/CNK_csv::load() [42]]\n").size());
    EXPECT_EQ(out.substr(20), " nk_csv.cpp/CNK_csv::load() [42]]\n");
    EXPECT_EQ(out[5], '-');
    EXPECT_EQ(out[14], ':');
}

TEST(BaseObject, NameIsTheMostDerivedClass) {
    CNK_probe probe;
    CNK_probeChild child;
    CNK_logManager lm;
    EXPECT_STREQ(probe.name, "CNK_probe");
    EXPECT_STREQ(child.name, "CNK_probeChild");
    EXPECT_STREQ(lm.name, "CNK_logManager");
    EXPECT_EQ(probe.magic, 0x76616c64u);
    EXPECT_EQ(std::memcmp(&probe.magic, "dlav", 4), 0);
    EXPECT_EQ(probe.logManager, nullptr);
}

TEST(BaseObject, SetLogManagerAcceptsOnlyAValidLogManager) {
    CNK_probe probe;
    CNK_probe other;
    CNK_logManager lm;
    EXPECT_EQ(probe.setLogManager(nullptr), kNKErr_invalidPointer);
    // A live object of another class handed over as a log manager.
    EXPECT_EQ(probe.setLogManager(reinterpret_cast<CNK_logManager*>(&other)), kNKErr_invalidPointer);
    EXPECT_EQ(probe.logManager, nullptr);
    EXPECT_EQ(probe.setLogManager(&lm), kNKErr_OK);
    EXPECT_EQ(probe.logManager, &lm);
    // The argument is checked before this object's own validity.
    probe.magic = 0;
    EXPECT_EQ(probe.setLogManager(nullptr), kNKErr_invalidPointer);
    EXPECT_EQ(probe.setLogManager(&lm), kNKErr_objectNotAvailable);
    probe.magic = 0x76616c64u;
}

TEST(Sentinel, SurvivesBothWidths) {
    const float f = static_cast<float>(kNK_noValue);
    const double back = f;
    u32 fbits;
    u64 dbits;
    std::memcpy(&fbits, &f, 4);
    std::memcpy(&dbits, &back, 8);
    EXPECT_EQ(fbits, 0x80131C10u);
    EXPECT_EQ(dbits, 0xB7E31C1000000000ull);
    EXPECT_EQ(back, kNK_noValue);
    EXPECT_FALSE(nkMath_isValid(kNK_noValue));
    EXPECT_FALSE(nkMath_isValid(kNK_noValueF));
    EXPECT_FALSE(nkMath_isValid(NAN));
    EXPECT_FALSE(nkMath_isValid(-INFINITY));
    EXPECT_TRUE(nkMath_isValid(0.0));
    EXPECT_TRUE(nkMath_isValid(-1.7549413e-39f * 2));
}
