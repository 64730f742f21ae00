// The framework's log manager: levels, destinations, line building and the array printers.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ZelkLogManager.h"
#include "nk_locale_util.h"
#include "nk_test_util.h"

namespace {

class Relay : public iZelk_LogRelay {
public:
    void OnLogStringUpdated(UInt32 relayId, const char* text) override {
        std::lock_guard<std::mutex> guard(mutex_);
        ids.push_back(relayId);
        lines.emplace_back(text);
    }
    std::vector<UInt32> ids;
    std::vector<std::string> lines;

private:
    std::mutex mutex_;
};

// A manager with a log file in a temporary folder and a relay; console captured per test.
struct Fixture {
    nktest::TempDir dir;
    std::string path = dir.file("log.txt");
    Relay relay;
    iZelk_LogManager* lm = ZLM_Create();
    Fixture(SInt32 console, SInt32 file) {
        ZLM_SetVerboseLevel(lm, console);
        ZLM_SetVerboseLevel_file(lm, file);
        EXPECT_EQ(ZLM_SetLogRelay(lm, 7, &relay), kZErr_OK);
        EXPECT_EQ(ZLM_OpenLogFile(lm, path.c_str(), "a+"), kZErr_OK);
    }
    ~Fixture() { ZLM_Delete(&lm); }
    std::string fileText() {
        ZLM_CloseLogFile(lm);
        return nktest::readFile(path);
    }
};

std::string joined(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += x;
    return s;
}

}  // namespace

TEST(ZelkLog, LevelsDecideConsoleFileAndRelay) {
    // console threshold, file threshold, message level -> console(=relay), file
    const struct {
        SInt32 console, file, level;
        bool toConsole, toFile;
    } rows[] = {
        {3, 1, 2, true, false}, {3, 1, 1, true, true}, {1, 3, 2, false, true},
        {3, 3, 4, false, false}, {0, 0, 0, true, true}, {-1, -1, 0, false, false},
    };
    for (const auto& r : rows) {
        Fixture f(r.console, r.file);
        testing::internal::CaptureStdout();
        ZLM_PrintString(f.lm, r.level, "line %d\n", r.level);
        const std::string console = testing::internal::GetCapturedStdout();
        const std::string expected = "line " + std::to_string(r.level) + "\n";
        EXPECT_EQ(console, r.toConsole ? expected : "") << r.console << r.file << r.level;
        EXPECT_EQ(joined(f.relay.lines), r.toConsole ? expected : "");
        EXPECT_EQ(f.fileText(), r.toFile ? expected : "");
    }
    EXPECT_EQ(ZLM_GetVerboseLevel(nullptr), -1);
    EXPECT_EQ(ZLM_GetVerboseLevel_file(nullptr), -1);
}

TEST(ZelkLog, TextOfAFailingLevelIsNotKeptForTheNextLine) {
    Fixture f(3, 1);
    testing::internal::CaptureStdout();
    ZLM_PrintString(f.lm, 4, "dropped ");
    ZLM_PrintString(f.lm, 2, "abc");
    ZLM_PrintString(f.lm, 2, "def\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "abcdef\n");
    ASSERT_EQ(f.relay.lines.size(), 1u);
    EXPECT_EQ(f.relay.ids[0], 7u);
}

TEST(ZelkLog, PrintTextAndPrintErrorEndTheirLine) {
    Fixture f(3, 3);
    testing::internal::CaptureStdout();
    ZLM_PrintText(f.lm, 1, "x");
    ZLM_PrintText(f.lm, 1, "y\n");
    ZLM_PrintError(f.lm, "bad %d", 5);
    f.lm->PrintText(1, "through the table");  // the operation table is the same operation
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "x\ny\n[ERR] bad 5\nthrough the table\n");
}

TEST(ZelkLog, ErrorReachesEveryDestinationAtLevelZero) {
    Fixture f(0, 0);
    testing::internal::CaptureStdout();
    ZLM_PrintError(f.lm, "bad");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERR] bad\n");
    EXPECT_EQ(f.fileText(), "[ERR] bad\n");
    EXPECT_EQ(joined(f.relay.lines), "[ERR] bad\n");
}

TEST(ZelkLog, LongPrintTextKeepsRoomForItsNewline) {
    Fixture f(3, -1);
    const std::string big(20000, 'q');
    testing::internal::CaptureStdout();
    ZLM_PrintText(f.lm, 0, "%s", big.c_str());
    ZLM_PrintText(f.lm, 0, "next");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, std::string(16382, 'q') + "\nnext\n");
}

TEST(ZelkLog, AFullLineBufferIsEmittedAndLaterLinesSurvive) {
    Fixture f(-1, 3);
    const std::string chunk(1024 * 1024, 'a');
    ZLM_PrintString(f.lm, 0, "%s", chunk.c_str());
    ZLM_PrintString(f.lm, 0, "%s", chunk.c_str());  // 2 MiB, no newline: one byte more than the buffer holds
    ZLM_PrintString(f.lm, 0, "tail\n");
    ZLM_PrintText(f.lm, 0, "after");
    const std::string text = f.fileText();
    const size_t full = iZelk_LogManager::kLineSize - 1;
    ASSERT_EQ(text.size(), full + std::string("\natail\nafter\n").size());
    EXPECT_EQ(text.substr(0, full), std::string(full, 'a'));
    EXPECT_EQ(text.substr(full), "\natail\nafter\n");
}

TEST(ZelkLog, OpenFailureIsReportedOnTheConsole) {
    iZelk_LogManager* lm = ZLM_Create();
    testing::internal::CaptureStdout();
    EXPECT_EQ(ZLM_OpenLogFile(lm, "/nonexistent-folder/x.log", "a+"), kZErr_fileOpenFailed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[ERR] Failed to open Log file\n\tpath: /nonexistent-folder/x.log\n\tflag: a+\n");
    ZLM_Delete(&lm);
}

TEST(ZelkLog, NoManagerIsQuietEverywhere) {
    testing::internal::CaptureStdout();
    ZLM_PrintString(nullptr, 0, "a\n");
    ZLM_PrintText(nullptr, 0, "b");
    ZLM_PrintError(nullptr, "c");
    const int v[] = {1, 2};
    ZLM_PrintInt_1D(nullptr, 0, v, 2, false, "%d");
    ZLM_PrintChar_1D(nullptr, 0, "ab", 2, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ZLM_OpenLogFile(nullptr, "/tmp/x", "a+"), kZErr_OK);
    EXPECT_EQ(ZLM_SetLogRelay(nullptr, 1, nullptr), kZErr_invalidParam);
    iZelk_LogManager* none = nullptr;
    ZLM_Delete(&none);
    ZLM_Delete(nullptr);
}

TEST(ZelkLog, ArrayPrinters) {
    Fixture f(3, -1);
    const int grid[] = {1, 2, 3, 99, 4, 5, 6, 99};
    const UInt16 u16[] = {65535, 1};
    const SInt8 s8[] = {-1, 2};
    const float fl[] = {0.5f, -1.25f};
    testing::internal::CaptureStdout();
    ZLM_PrintInt_2D(f.lm, 1, grid, 4, 3, 2, true, "%d");
    ZLM_PrintInt_1D(f.lm, 1, grid, 3, true, "%d");
    ZLM_PrintUInt16_1D(f.lm, 1, u16, 2, false, "%u");
    ZLM_PrintSInt8_1D(f.lm, 1, s8, 2, false, "%d");
    ZLM_PrintFloat_1D(f.lm, 1, fl, 2, false, "%.2f");
    ZLM_PrintDouble_1D(f.lm, 1, static_cast<const double*>(nullptr), 2, false, "%f");  // no data
    ZLM_PrintDouble_1D(f.lm, 1, reinterpret_cast<const double*>(fl), 1, false, nullptr);  // no format
    ZLM_PrintInt_1D(f.lm, 4, grid, 3, false, "%d");  // level passes neither threshold
    ZLM_PrintChar_2D(f.lm, 1, "abXcdX", 3, 2, 2, false);
    ZLM_PrintInt_1D(f.lm, 1, grid, 2, false, "%d-abcdefghijklmnop");  // 14 characters of the format
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[row01]\t4\t5\t6\n[row00]\t1\t2\t3\n\t3\t2\t1\n\t65535\t1\n\t-1\t2\n\t0.50\t-1.25\n"
              "[row00] a b\n[row01] c d\n"
              "\t1-abcdefghijk\t2-abcdefghijk\n");
}

TEST(ZelkLog, CharPrinterStopsAt4095Characters) {
    Fixture f(3, -1);
    const std::string chars(5000, 'z');
    testing::internal::CaptureStdout();
    ZLM_PrintChar_1D(f.lm, 0, chars.data(), static_cast<UInt32>(chars.size()), false);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.size(), 4095u * 2 + 1);
}

TEST(ZelkLog, NumbersUseAPointUnderAGermanLocale) {
    nktest::GermanNumbers german;
    Fixture f(3, -1);
    const double d[] = {1.5, -2.25};
    testing::internal::CaptureStdout();
    ZLM_PrintDouble_1D(f.lm, 0, d, 2, false, "%.2f");
    ZLM_PrintText(f.lm, 0, "%.1f", 3.5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\t1.50\t-2.25\n3.5\n");
}

// Eight writers, one manager: every line arrives whole, in each writer's own order.
TEST(ZelkLogConcurrency, EightThreadsKeepTheirLinesWhole) {
    Fixture f(3, 3);
    ZLM_SetVerboseLevel(f.lm, 3);
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&f, t] {
            for (int i = 0; i < 1000; ++i) {
                ZLM_PrintString(f.lm, 1, "w%d ", t);
                ZLM_PrintString(f.lm, 1, "n%d\n", i);  // may join another writer's half line, never lose it
                ZLM_PrintText(f.lm, 1, "T%d:%04d:%s", t, i, "payload-payload-payload");
            }
        });
    for (auto& t : threads) t.join();
    const std::string console = testing::internal::GetCapturedStdout();
    const std::string file = f.fileText();
    // The relay hears each line after the manager's lock is released, so only its
    // order between writers may differ from the console's.
    EXPECT_TRUE(console == file);
    std::vector<std::string> relayed = f.relay.lines, printed;
    for (const std::string& line : nktest::splitLines(console)) printed.push_back(line + "\n");
    std::sort(relayed.begin(), relayed.end());
    std::sort(printed.begin(), printed.end());
    EXPECT_TRUE(relayed == printed);
    std::map<int, int> next;
    size_t whole = 0;
    for (const std::string& line : nktest::splitLines(file)) {
        int t = -1, i = -1;
        char rest[64] = "";
        const size_t at = line.find('T');
        if (at != std::string::npos && std::sscanf(line.c_str() + at, "T%d:%d:%63s", &t, &i, rest) == 3) {
            EXPECT_STREQ(rest, "payload-payload-payload");
            EXPECT_EQ(next[t], i) << line;
            next[t] = i + 1;
            ++whole;
        }
    }
    EXPECT_EQ(whole, 8000u);
}

namespace {

// A relay that holds each line until opened, and says when it holds one.
class GateRelay : public iZelk_LogRelay {
public:
    void OnLogStringUpdated(UInt32, const char*) override {
        std::unique_lock<std::mutex> hold(m_);
        inside_ = true;
        cv_.notify_all();
        cv_.wait_for(hold, std::chrono::seconds(60), [&] { return open_; });
        order.push_back("delivered");
    }
    bool waitInside() {
        std::unique_lock<std::mutex> hold(m_);
        return cv_.wait_for(hold, std::chrono::seconds(60), [&] { return inside_; });
    }
    void open() {
        std::lock_guard<std::mutex> hold(m_);
        open_ = true;
        cv_.notify_all();
    }
    void note(const char* what) {
        std::lock_guard<std::mutex> hold(m_);
        order.push_back(what);
    }
    std::vector<std::string> order;

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool inside_ = false, open_ = false;
};

// Whether the thread sleeps (blocked in a wait), read from the kernel's view of it.
bool threadSleeps(pid_t tid) {
    const std::string stat = nktest::readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

}  // namespace

// The owner of a relay frees it once it is taken away: a line already on its way to it
// on another thread is waited for. A relay taking itself away from its own line does not
// wait for itself.
TEST(ZelkLogConcurrency, RelayTakenAwayWaitsForItsLineOnTheWay) {
    iZelk_LogManager* lm = ZLM_Create();
    ZLM_SetVerboseLevel(lm, 3);
    GateRelay relay;
    ASSERT_EQ(ZLM_SetLogRelay(lm, 1, &relay), kZErr_OK);
    std::thread printer([&] { ZLM_PrintText(lm, 0, "on its way"); });
    ASSERT_TRUE(relay.waitInside());
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
    std::thread remover([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        ZLM_SetLogRelay(lm, 0, nullptr);
        relay.note("taken away");
        returned = true;
    });
    // Until the remover has returned, or waits.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!returned && !(tid.load() != 0 && threadSleeps(tid.load())) && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
    relay.open();
    printer.join();
    remover.join();
    EXPECT_EQ(relay.order, (std::vector<std::string>{"delivered", "taken away"}));

    class SelfRemover : public iZelk_LogRelay {
    public:
        explicit SelfRemover(iZelk_LogManager* m) : m_(m) {}
        void OnLogStringUpdated(UInt32, const char*) override { result = ZLM_SetLogRelay(m_, 0, nullptr); }
        SInt32 result = -1;

    private:
        iZelk_LogManager* m_;
    } self(lm);
    ASSERT_EQ(ZLM_SetLogRelay(lm, 2, &self), kZErr_OK);
    ZLM_PrintText(lm, 0, "last line");
    EXPECT_EQ(self.result, kZErr_OK);
    ZLM_Delete(&lm);
}
