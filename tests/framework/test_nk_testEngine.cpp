// The test engine: order of items by kind and mode, abort, restart, refusals and the
// registry of commands. Every wait is for a state (a gate a command blocks on, the
// run's end), with a deadline far beyond any machine's speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nk_log_lines.h"
#include "nk_testEngine.h"

namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

// What the commands did, in order, as "command:arguments".
class Record {
public:
    void add(const std::string& what) {
        std::lock_guard<std::mutex> hold(m_);
        done_.push_back(what);
    }
    std::vector<std::string> done() const {
        std::lock_guard<std::mutex> hold(m_);
        return done_;
    }

private:
    mutable std::mutex m_;
    std::vector<std::string> done_;
};

// A command blocks on it until the test opens it; the test can wait until one does.
class Gate {
public:
    void enterAndWait() {
        std::unique_lock<std::mutex> hold(m_);
        ++entered_;
        cv_.notify_all();
        cv_.wait(hold, [&] { return open_; });
    }
    bool waitEntered(int n = 1) {
        std::unique_lock<std::mutex> hold(m_);
        return cv_.wait_for(hold, kDeadline, [&] { return entered_ >= n; });
    }
    void open() {
        std::lock_guard<std::mutex> hold(m_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int entered_ = 0;
    bool open_ = false;
};

// Opens a gate when a test leaves early, so that the engine's end does not wait forever.
struct OpenOnExit {
    Gate& gate;
    ~OpenOnExit() { gate.open(); }
};

// The state the commands touch lives outside the engine, so that an engine deleted
// mid-run (whose base destructor does the abort) never has a command reach freed members.
struct World {
    Record record;
    Gate gate;
};

// A station's engine: its commands, and nothing else reachable by name.
class StationEngine : public ONK_testEngine {
public:
    explicit StationEngine(World& w) {
        registerCommand("pass", [&w](const char* a) { return done(w, "pass", a, 0); });
        registerCommand("fail", [&w](const char* a) { return done(w, "fail", a, kNKErr_invalidParam); });
        registerCommand("hold", [&w](const char* a) {
            w.gate.enterAndWait();
            return done(w, "hold", a, 0);
        });
        registerCommand("abort", [this, &w](const char* a) {
            abortTest();  // from the run's own thread: must not wait for itself
            return done(w, "abort", a, 0);
        });
    }

private:
    static u16 done(World& w, const char* name, const char* a, u16 code) {
        w.record.add(std::string(name) + ":" + (a ? a : "(null)"));
        return code;
    }
};

bool waitForEnd(const ONK_testEngine& e) {
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (e.isRunning()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<i32> statuses(const ONK_testEngine& e) {
    std::vector<i32> s;
    for (const t_nkTestItem& item : e.testItems()) s.push_back(item.status);
    return s;
}

const t_nkTestItem kEnd{0, 0, nullptr, nullptr};

TEST(NkTestEngine, KindsAndModeDecideWhatAFailureSkips) {
    struct Case {
        const char* what;
        std::vector<t_nkTestItem> items;
        bool cof;
        std::vector<std::string> ran;
        std::vector<i32> statuses;  // the terminating entry's 5 included
    } cases[] = {
        {"kind 1 fails: on to the next kind 3, item 2 never starts",
         {{1, 0, "fail", "1"}, {1, 0, "pass", "2"}, {3, 0, "pass", "3"}, {1, 0, "pass", "4"}},
         false, {"fail:1", "pass:3", "pass:4"}, {3, 0, 2, 2, 5}},
        {"kind 2 in continue-on-fail mode: all four, the failure marked 4",
         {{2, 0, "fail", "1"}, {1, 0, "pass", "2"}, {3, 0, "pass", "3"}, {1, 0, "pass", "4"}},
         true, {"fail:1", "pass:2", "pass:3", "pass:4"}, {4, 2, 2, 2, 5}},
        {"kind 2 outside the mode skips like kind 1",
         {{2, 0, "fail", "1"}, {1, 0, "pass", "2"}, {3, 0, "pass", "3"}},
         false, {"fail:1", "pass:3"}, {3, 0, 2, 5}},
        {"kind 1 skips in continue-on-fail mode too",
         {{1, 0, "fail", "1"}, {1, 0, "pass", "2"}, {3, 0, "pass", "3"}},
         true, {"fail:1", "pass:3"}, {4, 0, 2, 5}},
        {"a failing kind 3 and any other kind change nothing",
         {{3, 0, "fail", "1"}, {7, 0, "fail", "2"}, {-1, 0, "pass", "3"}},
         false, {"fail:1", "fail:2", "pass:3"}, {3, 3, 2, 5}},
        {"no kind 3 after a failure: the run ends",
         {{1, 0, "pass", "1"}, {1, 0, "fail", "2"}, {1, 0, "pass", "3"}, {2, 0, "pass", "4"}},
         false, {"pass:1", "fail:2"}, {2, 3, 0, 0, 5}},
        {"an unregistered command fails like any other",
         {{1, 0, "nosuch", "1"}, {1, 0, "pass", "2"}, {3, 0, "pass", "3"}},
         false, {"pass:3"}, {3, 0, 2, 5}},
        {"an empty sequence ends at once", {}, false, {}, {5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World w;
        StationEngine e(w);
        std::vector<t_nkTestItem> seq = c.items;
        seq.push_back(kEnd);
        ASSERT_EQ(e.startTest(nullptr, seq.data(), c.cof), kNKErr_OK);
        ASSERT_TRUE(waitForEnd(e));
        EXPECT_EQ(w.record.done(), c.ran);
        EXPECT_EQ(statuses(e), c.statuses);
        EXPECT_EQ(e.testItemCount(), c.items.size());
        EXPECT_EQ(e.testItemCurrentIndex(), c.items.size());
        EXPECT_EQ(e.isCofMode(), c.cof);
        for (const t_nkTestItem& item : seq) EXPECT_EQ(item.status, 0) << "the caller's sequence is not written";
    }
}

TEST(NkTestEngine, OnlyRegisteredCommandsAreReachableByName) {
    World w;
    nktest::Logged log(kVL1);
    StationEngine e(w);
    // Before any run there is no log manager: the refusal is returned all the same.
    EXPECT_EQ(e.execute("nosuch", "x"), 0xE014);
    EXPECT_EQ(e.execute(nullptr, "x"), 0xE014);
    EXPECT_EQ(e.execute("fail", "x"), kNKErr_invalidParam) << "a command's own code comes back";
    EXPECT_EQ(e.execute("pass", nullptr), kNKErr_OK);
    EXPECT_EQ(log.text(), "");

    const t_nkTestItem seq[] = {{3, 0, "registerCommand", "pass"}, {3, 0, "abortTest", ""},
                                {3, 0, "pass:", "x"},             {3, 0, "startTest", ""},
                                {3, 0, "PASS", "x"},              kEnd};
    ASSERT_EQ(e.startTest(&log.lm, seq, false), kNKErr_OK);
    ASSERT_TRUE(waitForEnd(e));
    EXPECT_EQ(statuses(e), (std::vector<i32>{3, 3, 3, 3, 3, 5}));
    EXPECT_EQ(w.record.done(), (std::vector<std::string>{"fail:x", "pass:(null)"}));
    for (const char* name : {"registerCommand", "abortTest", "pass:", "startTest", "PASS"})
        EXPECT_EQ(log.count(std::string("[ERR] \"") + name + "\" is NOT supported\n"), 1u) << name;
}

TEST(NkTestEngine, StartRefusesNoSequenceAndARunStillGoing) {
    World w;
    nktest::Logged log(kVL1);  // the run's log manager outlives the engine
    StationEngine e(w);
    EXPECT_EQ(e.startTest(&log.lm, nullptr, false), 0xE001);
    EXPECT_TRUE(log.has("pSequence!=NULL")) << log.text();
    EXPECT_FALSE(e.isRunning());

    const t_nkTestItem first[] = {{1, 0, "pass", "1"}, {1, 0, "hold", "2"}, {1, 0, "pass", "3"}, kEnd};
    OpenOnExit leave{w.gate};
    ASSERT_EQ(e.startTest(&log.lm, first, false), kNKErr_OK);
    ASSERT_TRUE(w.gate.waitEntered());
    // The run shows its progress while it goes on.
    EXPECT_TRUE(e.isRunning());
    EXPECT_EQ(e.testItemCurrentIndex(), 1u);
    EXPECT_EQ(statuses(e), (std::vector<i32>{2, 1, 0, 0}));

    const t_nkTestItem second[] = {{3, 0, "fail", "other"}, kEnd};
    EXPECT_EQ(e.startTest(&log.lm, second, true), 0xE00E);
    EXPECT_TRUE(log.has("[_testThread isExecuting]==false")) << log.text();
    EXPECT_EQ(e.testItemCount(), 3u);
    EXPECT_FALSE(e.isCofMode());
    EXPECT_STREQ(e.testItems()[1].arguments, "2");

    w.gate.open();
    ASSERT_TRUE(waitForEnd(e));
    EXPECT_EQ(w.record.done(), (std::vector<std::string>{"pass:1", "hold:2", "pass:3"}));
    EXPECT_EQ(statuses(e), (std::vector<i32>{2, 2, 2, 5}));
}

TEST(NkTestEngine, AbortWhileAnItemRunsFinishesItThenRunsOnlyKind3) {
    World w;
    StationEngine e(w);
    const t_nkTestItem seq[] = {{1, 0, "hold", "1"}, {1, 0, "pass", "2"}, {3, 0, "pass", "3"},
                                {1, 0, "pass", "4"}, {3, 0, "fail", "5"}, {2, 0, "pass", "6"}, kEnd};
    OpenOnExit leave{w.gate};
    ASSERT_EQ(e.startTest(nullptr, seq, false), kNKErr_OK);
    ASSERT_TRUE(w.gate.waitEntered());

    std::atomic<bool> returned{false};
    std::thread aborter([&] {
        e.abortTest();
        returned = true;
    });
    // The flag is down once the abort has asked; the held item keeps the run going.
    ASSERT_TRUE(waitForEnd(e));
    EXPECT_FALSE(returned.load()) << "abortTest returned while an item still ran";
    w.gate.open();
    aborter.join();

    EXPECT_EQ(w.record.done(), (std::vector<std::string>{"hold:1", "pass:3", "fail:5"}));
    EXPECT_EQ(statuses(e), (std::vector<i32>{2, 0, 2, 0, 3, 0, 5}));
    EXPECT_EQ(e.testItemCurrentIndex(), 6u);
}

// The abort may land before the first item, between items or after the end; whichever,
// the run is over when abortTest returns and kind 3 has run.
TEST(NkTestEngine, AbortRightAfterStartEndsTheRunBeforeItReturns) {
    World w;
    StationEngine e(w);
    const t_nkTestItem seq[] = {{1, 0, "pass", "1"}, {3, 0, "pass", "2"}, {1, 0, "pass", "3"}, kEnd};
    const std::vector<std::vector<std::string>> allowed = {
        {"pass:2"}, {"pass:1", "pass:2"}, {"pass:1", "pass:2", "pass:3"}};
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        const size_t before = w.record.done().size();
        ASSERT_EQ(e.startTest(nullptr, seq, false), kNKErr_OK);
        e.abortTest();
        EXPECT_FALSE(e.isRunning());
        ASSERT_EQ(e.testItems().back().status, k_nkTestStatus_end) << "abortTest returned before the run ended";
        const std::vector<std::string> all = w.record.done();
        const std::vector<std::string> ran(all.begin() + static_cast<long>(before), all.end());
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), ran), allowed.end()) << ran.size();
    }
}

// A caller that waits for the run to stop may start the next one at once.
TEST(NkTestEngine, RestartsOnceTheRunHasStopped) {
    World w;
    nktest::Logged log(kVL1);  // the run's log manager outlives the engine
    StationEngine e(w);
    const t_nkTestItem odd[] = {{1, 0, "pass", "a"}, {1, 0, "fail", "b"}, {3, 0, "pass", "c"}, kEnd};
    const t_nkTestItem even[] = {{2, 0, "fail", "x"}, {1, 0, "pass", "y"}, kEnd};
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        const bool isOdd = round % 2;
        ASSERT_EQ(e.startTest(&log.lm, isOdd ? odd : even, !isOdd), kNKErr_OK);
        ASSERT_TRUE(waitForEnd(e));
        EXPECT_EQ(statuses(e), isOdd ? std::vector<i32>({2, 3, 2, 5}) : std::vector<i32>({4, 2, 5}));
        EXPECT_EQ(e.testItemCount(), isOdd ? 3u : 2u);
    }
    EXPECT_FALSE(log.has("isExecuting")) << log.text();
    EXPECT_EQ(w.record.done().size(), 50u * 3 + 50u * 2);
}

// The caller's texts may go as soon as startTest has returned.
TEST(NkTestEngine, TextsAreTheEngineOwn) {
    World w;
    StationEngine e(w);
    const std::string longArg(300, 'v');
    auto command = std::make_unique<std::string>("hold");
    auto argument = std::make_unique<std::string>(longArg);
    auto later = std::make_unique<std::string>("pass");
    std::vector<t_nkTestItem> seq = {{1, 0, command->c_str(), argument->c_str()},
                                     {1, 0, later->c_str(), argument->c_str()},
                                     {1, 0, "pass", nullptr},
                                     kEnd};
    ASSERT_EQ(e.startTest(nullptr, seq.data(), false), kNKErr_OK);
    command->assign(8, 'X');
    *argument = "overwritten";
    command.reset();
    argument.reset();
    later.reset();
    seq.clear();
    seq.shrink_to_fit();
    w.gate.open();
    ASSERT_TRUE(waitForEnd(e));
    EXPECT_EQ(w.record.done(),
              (std::vector<std::string>{"hold:" + longArg, "pass:" + longArg, "pass:(null)"}));
    const std::vector<t_nkTestItem> items = e.testItems();
    EXPECT_STREQ(items[0].command, "hold");
    EXPECT_EQ(items[2].arguments, nullptr) << "no text stays no text";
}

// A command of the run may abort its own run or try to start another; neither waits
// for its own thread.
TEST(NkTestEngine, CommandsOfTheRunControlItWithoutDeadlock) {
    World w;
    nktest::Logged log(kVL1);  // the run's log manager outlives the engine
    StationEngine e(w);
    const t_nkTestItem seq[] = {{1, 0, "abort", "1"}, {1, 0, "pass", "2"}, {3, 0, "pass", "3"},
                                {1, 0, "pass", "4"}, kEnd};
    ASSERT_EQ(e.startTest(&log.lm, seq, false), kNKErr_OK);
    ASSERT_TRUE(waitForEnd(e));
    EXPECT_EQ(w.record.done(), (std::vector<std::string>{"abort:1", "pass:3"}));

    class Starter : public ONK_testEngine {
    public:
        std::atomic<u16> got{0};
        Starter() {
            registerCommand("again", [this](const char*) {
                const t_nkTestItem other[] = {{3, 0, "again", ""}, {0, 0, nullptr, nullptr}};
                got = startTest(nullptr, other, false);
                return u16(0);
            });
        }
    } starter;
    const t_nkTestItem one[] = {{1, 0, "again", ""}, kEnd};
    ASSERT_EQ(starter.startTest(&log.lm, one, false), kNKErr_OK);
    ASSERT_TRUE(waitForEnd(starter));
    EXPECT_EQ(starter.got.load(), 0xE00E);
    EXPECT_EQ(starter.testItemCount(), 1u) << "the run's own sequence stays";
}

TEST(NkTestEngine, DestructionMidRunAbortsAndWaits) {
    World w;
    auto e = std::make_unique<StationEngine>(w);
    const t_nkTestItem seq[] = {{1, 0, "hold", "1"}, {1, 0, "pass", "2"}, {3, 0, "pass", "3"}, kEnd};
    ASSERT_EQ(e->startTest(nullptr, seq, false), kNKErr_OK);
    ASSERT_TRUE(w.gate.waitEntered());
    // Its base part, which does the abort, is whole until the destructor returns.
    const ONK_testEngine* base = e.get();
    std::thread deleter([&] { e.reset(); });
    // Opened only once the abort has asked, or item 2 might start before it does.
    ASSERT_TRUE(waitForEnd(*base));
    w.gate.open();
    deleter.join();
    EXPECT_EQ(w.record.done(), (std::vector<std::string>{"hold:1", "pass:3"}));
}

// Several callers at once: abort, status reads and restarts race the run.
TEST(NkTestEngine, ConcurrentCallersAndRuns) {
    World w;
    nktest::Logged log(kVL1);  // the run's log manager outlives the engine
    StationEngine e(w);
    const t_nkTestItem seq[] = {{1, 0, "pass", "1"}, {2, 0, "fail", "2"}, {3, 0, "pass", "3"},
                                {1, 0, "pass", "4"}, kEnd};
    std::atomic<bool> stop{false};
    std::atomic<int> started{0}, refused{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 200 && !stop; ++i) {
                const u16 rc = e.startTest(&log.lm, seq, (i + t) % 2);
                if (rc == kNKErr_OK) ++started;
                else if (rc == 0xE00E) ++refused;
                else ADD_FAILURE() << rc;
                if (t == 0) e.abortTest();
                const std::vector<t_nkTestItem> items = e.testItems();
                EXPECT_EQ(items.size(), 5u);
                EXPECT_LE(e.testItemCurrentIndex(), 4u);
            }
        });
    }
    for (std::thread& c : callers) c.join();
    e.abortTest();
    EXPECT_GT(started.load(), 0);
    EXPECT_EQ(e.testItems().back().status, k_nkTestStatus_end);
    EXPECT_EQ(log.count("isExecuting"), static_cast<size_t>(refused.load()));
}

}  // namespace
