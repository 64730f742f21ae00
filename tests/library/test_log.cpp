#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nk_log.h"
#include "nk_test_util.h"

using nktest::readFile;
using nktest::splitLines;
using nktest::TempDir;

namespace {

struct Capture {
    Capture() { testing::internal::CaptureStdout(); }
    std::string take() { return testing::internal::GetCapturedStdout(); }
};

struct CollectingRelay : INK_logRelay {
    std::vector<std::string> lines;
    void onLogRelay(const char* text) override { lines.emplace_back(text); }
};

}  // namespace

TEST(LogManager, FiltersByConsoleAndFileLevel) {
    TempDir dir;
    const std::string path = dir.file("run.log");
    CNK_logManager lm;
    ASSERT_EQ(lm.setVerboseLevel(kVL1), 0);
    ASSERT_EQ(lm.setVerboseLevel_file(kVL3), 0);
    ASSERT_EQ(lm.setLogFileName(path.c_str()), 0);

    struct Row {
        t_nkVbsLvl level;
        bool console;
        bool file;
    } rows[] = {{kVL0, true, true}, {kVL1, true, true}, {kVL2, false, true}, {kVL3, false, true}, {kVL4, false, false}};
    for (const Row& r : rows) {
        const size_t before = readFile(path).size();
        Capture cap;
        lm.printText(r.level, "level %d", r.level);
        const std::string line = "level " + std::to_string(r.level) + "\n";
        EXPECT_EQ(cap.take(), r.console ? line : "") << r.level;
        EXPECT_EQ(readFile(path).substr(before), r.file ? line : "") << r.level;
    }
}

TEST(LogManager, LevelSettersCheckTheirRange) {
    CNK_logManager lm;
    testing::internal::CaptureStderr();
    EXPECT_EQ(lm.setVerboseLevel_file(kVL0), kNKErr_invalidParam);
    EXPECT_EQ(lm.setVerboseLevel(static_cast<t_nkVbsLvl>(7)), kNKErr_invalidParam);
    const std::string err = testing::internal::GetCapturedStderr();
    // Standard error, with the class and method that refused.
    EXPECT_NE(err.find("[Error,5] invalidParam [nk_log.cpp/CNK_logManager::setVerboseLevel_file() ["),
              std::string::npos) << err;
    EXPECT_NE(err.find("\"vLvl>=kVL1&&vLvl<kVLMax\"]\n"), std::string::npos);
    EXPECT_NE(err.find("/CNK_logManager::setVerboseLevel() ["), std::string::npos) << err;
    EXPECT_NE(err.find("\"vLvl>=kVL0&&vLvl<kVLMax\"]\n"), std::string::npos);
    EXPECT_EQ(lm.verboseLevel_file(), kVL1);
    EXPECT_EQ(lm.verboseLevel(), kVL1);
    EXPECT_EQ(lm.setVerboseLevel(kVL0), 0);
    EXPECT_EQ(lm.verboseLevel(), kVL0);
}

TEST(LogManager, PrintsReportARefusedLevelUnderTheirOwnName) {
    CNK_logManager lm;
    struct NestedRelay : INK_logRelay {
        CNK_logManager* lm = nullptr;
        void onLogRelay(const char*) override { lm->printString(kVLMax, "inner"); }
    } relay;
    relay.lm = &lm;
    lm.setLogRelay(&relay);
    Capture cap;
    testing::internal::CaptureStderr();
    lm.printString(kVLMax, "a");
    lm.printText(kVLMax, "b");
    lm.printText(kVL1, "c");  // its relay prints through this manager with a refused level
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(cap.take(), "c\n");
    const std::string cond = "\"vLvl>=kVL0&&vLvl<kVLMax\"]\n";
    const size_t first = err.find("/CNK_logManager::printString() [");
    const size_t second = err.find("/CNK_logManager::printText() [");
    ASSERT_NE(first, std::string::npos) << err;
    ASSERT_NE(second, std::string::npos) << err;
    EXPECT_NE(err.find("/CNK_logManager::printString() [", first + 1), std::string::npos) << err;
    EXPECT_NE(err.find(cond), std::string::npos) << err;
}

TEST(LogManagerDeathTest, NullFormatEndsTheProcessUnderThePrintsName) {
    CNK_logManager lm;
    const char* none = nullptr;
    EXPECT_DEATH(lm.printString(kVL1, none), "CNK_logManager::printString\\(\\).*\"format!=NULL\"");
    EXPECT_DEATH(lm.printText(kVL1, none), "CNK_logManager::printText\\(\\).*\"format!=NULL\"");
}

TEST(LogManager, PrintStringEmitsOnlyWhenTheLineEnds) {
    CNK_logManager lm;
    CollectingRelay relay;
    lm.setLogRelay(&relay);
    Capture cap;
    lm.printString(kVL1, "abc");
    lm.printString(kVL1, "x\ny");  // a newline in the middle does not end the line
    lm.printString(kVL1, "d\n");
    EXPECT_EQ(cap.take(), "abcx\nyd\n");
    ASSERT_EQ(relay.lines.size(), 1u);
    EXPECT_EQ(relay.lines[0], "abcx\nyd\n");
}

TEST(LogManager, PrintTextAlwaysEmitsOneWholeLine) {
    CNK_logManager lm;
    Capture cap;
    lm.printText(kVL1, "x");
    lm.printText(kVL1, "y\n");
    lm.printText(kVL1, "%s", "100% done");
    lm.printText(kVL1, "%s", "");
    lm.printString(kVL1, "pending ");
    lm.printText(kVL1, "finished");
    EXPECT_EQ(cap.take(), "x\ny\n100% done\n\npending finished\n");
}

TEST(LogManager, OverlongTextIsCutOrSplitNeverOverrun) {
    CNK_logManager lm;
    const std::string huge(300000, 'h');
    {
        Capture cap;
        lm.printText(kVL1, "%s", huge.c_str());
        const std::string out = cap.take();
        EXPECT_EQ(out, std::string(CNK_logManager::kTextCapacity - 2, 'h') + "\n");
    }
    {
        Capture cap;
        lm.printString(kVL1, "%s", huge.c_str());
        lm.printString(kVL1, "%s\n", huge.c_str());
        const std::string out = cap.take();
        EXPECT_EQ(out, huge + huge + "\n");  // flushed in pieces, nothing lost
    }
}

TEST(LogManager, CsvNamesAreNeverOpened) {
    TempDir dir;
    const std::string path = dir.file("TABLE.CSV");
    CNK_logManager lm;
    EXPECT_EQ(lm.setLogFileName(path.c_str()), 0);
    Capture cap;
    lm.printText(kVL1, "only on the console");
    EXPECT_EQ(cap.take(), "only on the console\n");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(LogManager, EmptyNameClosesButKeepsAppendingToTheStoredFile) {
    TempDir dir;
    const std::string path = dir.file("a.log");
    CNK_logManager lm;
    lm.setVerboseLevel(kVL0);
    ASSERT_EQ(lm.setLogFileName(path.c_str()), 0);
    lm.printText(kVL1, "one");
    ASSERT_EQ(lm.setLogFileName(""), 0);
    lm.printText(kVL1, "two");
    ASSERT_EQ(lm.setLogFileName(nullptr), 0);
    lm.printText(kVL1, "three");
    EXPECT_EQ(readFile(path), "one\ntwo\nthree\n");
    // A new name takes over: the old file gets nothing more.
    const std::string next = dir.file("b.log");
    ASSERT_EQ(lm.setLogFileName(next.c_str()), 0);
    lm.printText(kVL1, "four");
    EXPECT_EQ(readFile(path), "one\ntwo\nthree\n");
    EXPECT_EQ(readFile(next), "four\n");
}

TEST(LogManager, ClosingTheLogFileEndsEveryLaterFileLine) {
    TempDir dir;
    const std::string path = dir.file("unit.log");
    CNK_logManager lm;
    lm.setVerboseLevel(kVL0);
    ASSERT_EQ(lm.setLogFileName(path.c_str()), 0);
    lm.printText(kVL1, "one");
    lm.closeLogFile();
    lm.printText(kVL1, "two");
    lm.closeLogFile();  // closing again does nothing
    EXPECT_EQ(readFile(path), "one\n");
    // A name given afterwards is written again.
    const std::string next = dir.file("next.log");
    ASSERT_EQ(lm.setLogFileName(next.c_str()), 0);
    lm.printText(kVL1, "three");
    EXPECT_EQ(readFile(path), "one\n");
    EXPECT_EQ(readFile(next), "three\n");
}

TEST(LogManager, UnopenableFileIsReportedAndRetried) {
    TempDir dir;
    const std::string path = dir.file("later/x.log");
    CNK_logManager lm;
    lm.setVerboseLevel(kVL0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lm.setLogFileName(path.c_str()), kNKErr_fileOpenFailed);
    lm.printText(kVL1, "lost");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[Error,0xE043] fileOpenFailed"), std::string::npos);
    std::filesystem::create_directory(dir.file("later"));
    lm.printText(kVL1, "kept");
    EXPECT_EQ(readFile(path), "kept\n");
}

TEST(LogManager, TypedPrints) {
    CNK_logManager lm;
    const int ints[] = {1, 2, 3};
    const double reals[] = {0.5, 1.25};
    const unsigned char bytes[] = {0xAB, 0x01};
    const short grid[] = {1, 2, 9, 3, 4, 9, 5, 6, 9};  // stride 3, two columns used
    Capture cap;
    lm.print_1d(kVL1, ints, 3, false, "%d");
    lm.print_1d(kVL1, ints, 3, true, "%d");
    lm.print_1d(kVL1, reals, 2, false, "%.2f");
    lm.print_1d(kVL1, bytes, 2, false, "%02X");
    lm.print_1d(kVL1, ints, 0, false, "%d");
    lm.print_2d(kVL1, grid, 3, 2, 3, true, "%d");
    lm.print_2d(kVL1, grid, 3, 2, 0, false, "%d");
    EXPECT_EQ(cap.take(),
              " \t1 \t2 \t3\n"
              " \t3 \t2 \t1\n"
              " \t0.50 \t1.25\n"
              " \tAB \t01\n"
              "\n"
              "[row02] \t5 \t6\n"
              "[row01] \t3 \t4\n"
              "[row00] \t1 \t2\n");
}

TEST(LogManager, RelayMayLogThroughTheSameManager) {
    CNK_logManager lm;
    struct EchoRelay : INK_logRelay {
        CNK_logManager* lm = nullptr;
        int calls = 0;
        void onLogRelay(const char* text) override {
            ++calls;
            lm->printText(kVL1, "echo: %s", text);
        }
    } relay;
    relay.lm = &lm;
    lm.setLogRelay(&relay);
    Capture cap;
    lm.printText(kVL1, "hello");
    EXPECT_EQ(cap.take(), "hello\necho: hello\n");
    EXPECT_EQ(relay.calls, 1);
}

TEST(LogManager, RelayMayDetachItselfOrHandOver) {
    alarm(20);  // a relay waiting on its own manager's lock would hang here
    CNK_logManager lm;
    CollectingRelay next;
    struct OneShotRelay : INK_logRelay {
        CNK_logManager* lm = nullptr;
        INK_logRelay* successor = nullptr;
        std::vector<std::string> lines;
        void onLogRelay(const char* text) override {
            lines.emplace_back(text);
            lm->setLogRelay(successor);
        }
    } first;
    first.lm = &lm;
    first.successor = &next;
    lm.setLogRelay(&first);
    Capture cap;
    lm.printText(kVL1, "one");
    lm.printText(kVL1, "two");
    EXPECT_EQ(cap.take(), "one\ntwo\n");
    EXPECT_EQ(first.lines, (std::vector<std::string>{"one\n"}));
    EXPECT_EQ(next.lines, (std::vector<std::string>{"two\n"}));
    alarm(0);
}

TEST(LogManager, ConcurrentWritersThroughTwoManagersKeepEveryLineWhole) {
    TempDir dir;
    const std::string path = dir.file("shared.log");
    CNK_logManager a;
    CNK_logManager b;
    for (CNK_logManager* lm : {&a, &b}) {
        lm->setVerboseLevel(kVL0);  // keep the console quiet
        lm->setVerboseLevel_file(kVL1);
        ASSERT_EQ(lm->setLogFileName(path.c_str()), 0);
    }
    constexpr int kThreads = 8;
    constexpr int kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CNK_logManager* lm = (t % 2) ? &a : &b;
            for (int i = 0; i < kLines; ++i) {
                if (i % 2)
                    lm->printText(kVL1, "thread %d line %d %s", t, i, "payload-payload-payload");
                else
                    lm->printString(kVL1, "thread %d line %d %s\n", t, i, "payload-payload-payload");
            }
        });
    }
    for (auto& th : threads) th.join();

    const auto lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::set<std::string> seen(lines.begin(), lines.end());
    EXPECT_EQ(seen.size(), lines.size());
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLines; ++i)
            ASSERT_TRUE(seen.count("thread " + std::to_string(t) + " line " + std::to_string(i) +
                                   " payload-payload-payload"))
                << t << " " << i;
}

TEST(LogManager, ObjectThatIsNoLongerValidIsNotTouched) {
    TempDir dir;
    CNK_logManager lm;
    CollectingRelay relay;
    lm.setLogRelay(&relay);
    lm.magic = 0;  // as after destruction, without touching freed memory
    Capture cap;
    EXPECT_EQ(lm.setVerboseLevel(kVL3), kNKErr_objectNotAvailable);
    EXPECT_EQ(lm.setVerboseLevel_file(kVL3), kNKErr_objectNotAvailable);
    EXPECT_EQ(lm.setLogFileName(dir.file("x.log").c_str()), kNKErr_objectNotAvailable);
    lm.printText(kVL0, "text");
    lm.printString(kVL0, "string\n");
    lm.print_1d(kVL0, "ab", 2, false, "%c");
    EXPECT_EQ(cap.take(), "");
    EXPECT_TRUE(relay.lines.empty());
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.log")));
    lm.magic = 0x76616c64u;  // so that its destructor frees what it holds
    EXPECT_EQ(lm.verboseLevel(), kVL1);
}

TEST(LogManagerDeathTest, RefusesAnotherLogManager) {
    CNK_logManager a;
    CNK_logManager b;
    EXPECT_DEATH(a.setLogManager(&b), "Assertion Fail,0xF16C");
}
