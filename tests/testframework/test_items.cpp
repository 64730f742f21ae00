// Test items: status changes, their listeners and the two waits.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "fw_items.h"

using fwtest::FwItem;

namespace {

struct Listener : INK_testItem_callback {
    CNK_testItem* item = nullptr;
    std::vector<std::pair<long, t_nkTestStat>> heard;  // index and the status read inside the callback
    void onStatusUpdated(long itemIndex) override { heard.emplace_back(itemIndex, item->testStatus()); }
};

double secondsOf(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

TEST(TestItem, StatusChangesNotifyOnceInOrderAndSameStatusNobody) {
    FwItem item;
    item._index = 7;
    Listener a, b;
    a.item = b.item = &item;
    item.setCallback(&a);
    item.setCallback(&a);  // no duplicates
    item.setCallback(&b);
    EXPECT_EQ(item.testStatus(), kNkTestStat_NA);

    item.setStatus(kNkTestStat_NA);  // unchanged: nobody hears it
    item.setStatus(kNkTestStat_TESTING);
    item.setStatus(kNkTestStat_TESTING);
    item.setStatus(kNkTestStat_PASS);
    const std::vector<std::pair<long, t_nkTestStat>> expected = {{7, kNkTestStat_TESTING}, {7, kNkTestStat_PASS}};
    EXPECT_EQ(a.heard, expected);
    EXPECT_EQ(b.heard, expected);

    item.removeCallback(&a);
    item.removeCallback(nullptr);
    item.removeCallback(&a);
    item.setStatus(kNkTestStat_FAIL);
    EXPECT_EQ(a.heard.size(), 2u);
    EXPECT_EQ(b.heard.size(), 3u);
}

TEST(TestItem, ConcurrentSettersAreHeardInTheOrderStored) {
    // Each listener call must see the status it is told about, even with two
    // threads flipping the status: compare, store and notify are one step.
    FwItem item;
    struct Checker : INK_testItem_callback {
        CNK_testItem* item = nullptr;
        std::atomic<int> calls{0}, mismatches{0};
        t_nkTestStat last = kNkTestStat_NA;
        void onStatusUpdated(long) override {
            const t_nkTestStat now = item->testStatus();
            if (now == last) mismatches.fetch_add(1);  // a repeat means a change was lost or reordered
            last = now;
            calls.fetch_add(1);
        }
    } checker;
    checker.item = &item;
    item.setCallback(&checker);
    auto flip = [&](t_nkTestStat s) {
        for (int i = 0; i < 2000; ++i) item.setStatus(s);
    };
    std::thread t1(flip, kNkTestStat_PASS), t2(flip, kNkTestStat_FAIL);
    t1.join();
    t2.join();
    EXPECT_EQ(checker.mismatches.load(), 0);
    EXPECT_GE(checker.calls.load(), 1);
}

TEST(TestItem, WaitForCompletionTable) {
    struct Case {
        t_nkTestStat start;
        double timeout;
        bool result;
        double maxSeconds;
    };
    const Case cases[] = {
        {kNkTestStat_NA, 5.0, false, 0.5},      {kNkTestStat_PASS, 5.0, true, 0.5},
        {kNkTestStat_FAIL, 5.0, true, 0.5},     {kNkTestStat_COF, 5.0, true, 0.5},
        {kNkTestStat_ABORTED, 5.0, false, 0.5}, {kNkTestStat_TESTING, 0.1, false, 2.0},
        {kNkTestStat_STANDBY, 0.1, false, 2.0},
    };
    for (const Case& c : cases) {
        FwItem item;
        item.setStatus(c.start);
        bool r = !c.result;
        const double s = secondsOf([&] { r = item.waitForCompletion(c.timeout); });
        EXPECT_EQ(r, c.result) << kNkTestStatStr[c.start];
        EXPECT_LT(s, c.maxSeconds) << kNkTestStatStr[c.start];
        if (c.start == kNkTestStat_TESTING) {
            EXPECT_GE(s, 0.1);
        }
    }

    FwItem item;
    item.setStatus(kNkTestStat_TESTING);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        item.setStatus(kNkTestStat_PASS);
    });
    EXPECT_TRUE(item.waitForCompletion(5.0));
    later.join();

    item.setStatus(kNkTestStat_TESTING);
    std::thread abort([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        item.setStatus(kNkTestStat_ABORTED);
    });
    EXPECT_FALSE(item.waitForCompletion(5.0));
    abort.join();
}

TEST(TestItem, WaitPrerequisite) {
    std::vector<CNK_testItem*> items;
    FwItem first, second, waiter;
    first._name = "INIT";
    second._name = "CAL";
    waiter._name = "T";
    items = {&first, &second, &waiter};
    waiter._items = &items;

    // No prerequisites, or a name no item has: TESTING at once.
    EXPECT_TRUE(waiter.waitPrerequisite());
    EXPECT_EQ(waiter.testStatus(), kNkTestStat_TESTING);
    waiter._waitFor = {"NOPE"};
    EXPECT_TRUE(waiter.waitPrerequisite());
    EXPECT_EQ(waiter.testStatus(), kNkTestStat_TESTING);

    // Passes after a while: the waiter stands by, then tests.
    Listener heard;
    heard.item = &waiter;
    waiter.setCallback(&heard);
    waiter._waitFor = {"INIT"};
    first.setStatus(kNkTestStat_TESTING);
    std::thread pass([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        first.setStatus(kNkTestStat_PASS);
    });
    EXPECT_TRUE(waiter.waitPrerequisite());
    pass.join();
    ASSERT_EQ(heard.heard.size(), 2u);
    EXPECT_EQ(heard.heard[0].second, kNkTestStat_STANDBY);
    EXPECT_EQ(heard.heard[1].second, kNkTestStat_TESTING);

    // A prerequisite that fails: FAIL, and the wait stops there.
    waiter._waitFor = {"CAL", "INIT"};
    second.setStatus(kNkTestStat_FAIL);
    first.setStatus(kNkTestStat_TESTING);  // would take the whole 10 s if it were waited for
    const double s = secondsOf([&] { EXPECT_FALSE(waiter.waitPrerequisite()); });
    EXPECT_LT(s, 1.0);
    EXPECT_EQ(waiter.testStatus(), kNkTestStat_FAIL);
}

TEST(TestItem, SetItemInfoAndLogManagerRule) {
    FwItem item;
    INK_testItem info;
    info.type = kNkTestType_wrapup;
    info.name = "END";
    info.className = "FwItem";
    info.waitFor = {"A"};
    info.async = true;
    info.params = {"p1", "p2"};
    std::vector<CNK_testItem*> list;
    item.setItemInfo(info, "SN1", "S0", &list);
    EXPECT_EQ(item._type, kNkTestType_wrapup);
    EXPECT_EQ(item._name, "END");
    EXPECT_EQ(item._waitFor, info.waitFor);
    EXPECT_TRUE(item._async);
    EXPECT_EQ(item._params, info.params);
    EXPECT_EQ(item._serialNumber, "SN1");
    EXPECT_EQ(item._sessionName, "S0");
    EXPECT_EQ(item._items, &list);
    EXPECT_EQ(item._index, -1);

    CNK_logManager lm;
    EXPECT_EQ(item.setLogManager(nullptr), kNKErr_invalidPointer);
    EXPECT_EQ(item.setLogManager(&lm), kNKErr_OK);
    EXPECT_EQ(item._logManager, &lm);
}
