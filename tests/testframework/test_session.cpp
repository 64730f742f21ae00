// Test sessions: library-driven walks on the worker thread, and host-driven
// mode as the endpoint of a real loopback connection.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "fw_items.h"
#include "net_test_util.h"
#include "nk_testSession.h"
#include "nk_test_util.h"

using fwtest::FwItem;
using fwtest::runLog;
using nettest::waitFor;

namespace {

class FwSession : public CNK_testSession {
public:
    using CNK_testSession::CNK_testSession;
    ~FwSession() override { shutdownAndWait(); }
    bool isReadyToTest(std::string& text) override {
        text = "ready";
        return true;
    }
    // Hands the packet to the first item, marks it PASS and echoes the payload.
    void processNtcpPacket(const tNTCP_header* header, const u8* payload) override {
        onPacket();
        FwItem* item = item0();
        item->handle_ntcp_packet(header, payload);
        item->setStatus(kNkTestStat_PASS);
        SendResponse(header, 0, item->lastPayload.data(), static_cast<int>(item->lastPayload.size()), kVL2);
    }
    FwItem* item0() { return static_cast<FwItem*>(_items.at(0)); }
    std::function<void()> onPacket = [] {};
};

struct Events : INK_testSession_callback {
    std::mutex m;
    std::vector<std::string> list;
    std::atomic<int> begins{0}, ends{0}, statuses{0};
    std::atomic<int> beginSleepMs{0};
    void add(const std::string& s) {
        std::lock_guard<std::mutex> lock(m);
        list.push_back(s);
    }
    std::vector<std::string> get() {
        std::lock_guard<std::mutex> lock(m);
        return list;
    }
    void onTestBegin(long) override {
        add("begin");
        if (const int ms = beginSleepMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        add("begun");
        begins.fetch_add(1);
    }
    void onTestEnd(long) override {
        add("end");
        ends.fetch_add(1);
    }
    void onStatusUpdated(long, long) override { statuses.fetch_add(1); }
    void onLogStrUpdated(long, const char*) override {}
};

std::string script(const nktest::TempDir& dir, const std::string& text) {
    const std::string path = dir.file("s.zqs");
    nktest::writeFile(path, text);
    return path;
}

const char* kFiveItems =
    "[*** TestSetup ***]\nA class=FwItem\n[*** Test&Cal ***]\nB class=FwItem fail\nC class=FwItem\n"
    "[*** TestEnd ***]\nD class=FwItem\nE class=FwItem\n";

std::vector<t_nkTestStat> statuses(CNK_testSession& s) {
    std::vector<t_nkTestStat> out;
    for (CNK_testItem* i : s._items) out.push_back(i->testStatus());
    return out;
}

void runToEnd(FwSession& s, Events& ev, t_nkTestMode mode) {
    const int ends = ev.ends.load();
    ASSERT_EQ(s.performTest(mode), 0);
    ASSERT_TRUE(waitFor([&] { return ev.ends.load() > ends; }, 60000));
}

}  // namespace

TEST(TestSession, ProdAndCofWalks) {
    nktest::TempDir dir;
    FwSession s(3, "S3", script(dir, kFiveItems));
    Events ev;
    s.setCallback(&ev);
    ASSERT_EQ(s._items.size(), 5u);
    EXPECT_EQ(s._items[2]->_index, 2);
    EXPECT_EQ(s._items[4]->_type, kNkTestType_wrapup);
    runLog().take();

    runToEnd(s, ev, kNkTestMode_PROD);
    EXPECT_EQ(runLog().take(), (std::vector<std::string>{"A", "B", "D", "E"}));
    EXPECT_EQ(statuses(s), (std::vector<t_nkTestStat>{kNkTestStat_PASS, kNkTestStat_FAIL, kNkTestStat_NA,
                                                       kNkTestStat_PASS, kNkTestStat_PASS}));
    EXPECT_EQ(s.getStatus(), kNkTestStat_FAIL);
    EXPECT_EQ(ev.get(), (std::vector<std::string>{"begin", "begun", "end"}));

    ASSERT_EQ(s.setupTestSession("SN9"), 0);  // joins the finished worker
    EXPECT_EQ(s._items[1]->_serialNumber, "SN9");
    EXPECT_EQ(s.getStatus(), kNkTestStat_PASS);  // all NA
    runToEnd(s, ev, kNkTestMode_COF);
    EXPECT_EQ(runLog().take(), (std::vector<std::string>{"A", "B", "C", "D", "E"}));
    EXPECT_EQ(s._items[1]->testStatus(), kNkTestStat_COF);
    EXPECT_EQ(s.getStatus(), kNkTestStat_COF);
    s.removeCallback(&ev);
}

TEST(TestSession, FailingSetupAndWrapUpSteerTheWalk) {
    nktest::TempDir dir;
    Events ev;
    {
        FwSession s(0, "S", script(dir, "[*** TestSetup ***]\nA class=FwItem fail\n[*** Test&Cal ***]\nB class=FwItem\n"
                                        "[*** TestEnd ***]\nC class=FwItem\n"));
        s.setCallback(&ev);
        runLog().take();
        runToEnd(s, ev, kNkTestMode_COF);
        EXPECT_EQ(runLog().take(), (std::vector<std::string>{"A", "C"}));
        EXPECT_EQ(s._items[0]->testStatus(), kNkTestStat_FAIL);  // a set-up item is not turned into COF
    }
    {
        FwSession s(0, "S", script(dir, "[*** Test&Cal ***]\nB class=FwItem fail\n"
                                        "[*** TestEnd ***]\nD class=FwItem fail\nE class=FwItem\n"));
        s.setCallback(&ev);
        runToEnd(s, ev, kNkTestMode_PROD);
        EXPECT_EQ(runLog().take(), (std::vector<std::string>{"B", "D", "E"}));
    }
}

TEST(TestSession, AbortMidRunThenANewRunAndMisuseWhileRunning) {
    nktest::TempDir dir;
    FwSession s(1, "S", script(dir, "[*** Test&Cal ***]\nA class=FwItem sleepMs=400\nB class=FwItem sleepMs=100\n"));
    Events ev;
    s.setCallback(&ev);
    runLog().take();
    ASSERT_EQ(s.performTest(kNkTestMode_PROD), 0);
    ASSERT_TRUE(waitFor([&] { return s._items[0]->testStatus() == kNkTestStat_TESTING; }));
    EXPECT_EQ(s.getStatus(), kNkTestStat_TESTING);
    testing::internal::CaptureStdout();
    EXPECT_EQ(s.performTest(kNkTestMode_PROD), kNKErr_threadAlreadyRunning);
    EXPECT_EQ(s.setupTestSession("SN"), kNKErr_invalidStatus);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\"_isThreadRunning==false\""), std::string::npos) << out;
    s.abortTest();
    ASSERT_TRUE(waitFor([&] { return ev.ends.load() == 1; }));
    EXPECT_EQ(runLog().take(), std::vector<std::string>{"A"});
    EXPECT_EQ(s.getStatus(), kNkTestStat_ABORTED);

    runToEnd(s, ev, kNkTestMode_PROD);
    EXPECT_EQ(runLog().take(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(s.getStatus(), kNkTestStat_PASS);
}

TEST(TestSession, StatusSetupAndBuilding) {
    nktest::TempDir dir;
    {
        FwSession empty(0, "E", script(dir, "[*** TestSetup ***]\n"));
        EXPECT_EQ(empty.getStatus(), kNkTestStat_PASS);  // no items
    }
    FwSession s(0, "S", script(dir, "[*** Test&Cal ***]\nA class=FwItem symbol\nB class=FwItem\nC class=FwItem\n"));
    EXPECT_EQ(s._testData._testDataTable.size(), 1u);  // A declared its symbol
    struct Case {
        t_nkTestStat a, b, c, session;
    };
    const Case cases[] = {
        {kNkTestStat_NA, kNkTestStat_NA, kNkTestStat_NA, kNkTestStat_PASS},
        {kNkTestStat_PASS, kNkTestStat_TESTING, kNkTestStat_STANDBY, kNkTestStat_PASS},
        {kNkTestStat_PASS, kNkTestStat_COF, kNkTestStat_FAIL, kNkTestStat_COF},
        {kNkTestStat_FAIL, kNkTestStat_COF, kNkTestStat_PASS, kNkTestStat_FAIL},
        {kNkTestStat_FAIL, kNkTestStat_PASS, kNkTestStat_ABORTED, kNkTestStat_ABORTED},
    };
    for (const Case& c : cases) {
        s._items[0]->setStatus(c.a);
        s._items[1]->setStatus(c.b);
        s._items[2]->setStatus(c.c);
        EXPECT_EQ(s.getStatus(), c.session) << c.a << c.b << c.c;
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(s.setupTestSession(""), kNKErr_invalidParam);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(s._items[2]->testStatus(), kNkTestStat_ABORTED);  // changed nothing
    s._testData.recordData("A", "v", 0.5);
    ASSERT_EQ(s.setupTestSession("SN1"), 0);
    EXPECT_EQ(s._serialNumber, "SN1");
    EXPECT_TRUE(std::isnan(s._testData.getData("A", "v", false)));
    EXPECT_EQ(statuses(s), std::vector<t_nkTestStat>(3, kNkTestStat_NA));
    s.resetTestSession();
    EXPECT_EQ(s._serialNumber, "");
    EXPECT_EQ(s._items[0]->_serialNumber, "");

    // A registered class whose creator gives null ends the building there.
    testing::internal::CaptureStdout();
    FwSession part(0, "P", script(dir, "[*** Test&Cal ***]\nA class=FwItem\nB class=FwNullItem\nC class=FwItem\n"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(part._items.size(), 1u);
    EXPECT_NE(out.find("\"cls!=NULL\""), std::string::npos) << out;
}

TEST(TestSessionDeathTest, ProgrammingErrorsStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    nktest::TempDir dir;
    const std::string good = script(dir, "[*** Test&Cal ***]\nA class=FwItem\n");
    EXPECT_DEATH(FwSession(-1, "S", good), "testSessionIdx>=0");
    EXPECT_DEATH(FwSession(0, "S", ""), "scriptFileName.size\\(\\)>0");
    nktest::writeFile(dir.file("bad.zqs"), "[*** Test&Cal ***]\nA class=FwItem\nB class=Unregistered\nC class=FwItem\n");
    EXPECT_DEATH(FwSession(0, "S", dir.file("bad.zqs")), "\"!err\"");
}

TEST(TestSessionHost, ConnectPacketsAndCloseOnLoopback) {
    nktest::TempDir dir;
    FwSession s(2, "S2", script(dir, "[*** Test&Cal ***]\nA class=FwItem\nB class=FwItem\n"));
    Events ev;
    ev.beginSleepMs = 200;  // the first packet must wait for the connect handling
    s.setCallback(&ev);
    s.onPacket = [&] { ev.add("packet"); };
    s._items[1]->setStatus(kNkTestStat_FAIL);

    nettest::RawListener listener;
    const int client = nettest::rawConnect(listener.port);
    const int srv = listener.accept();
    CNK_logManager lm;
    ASSERT_EQ(s.setSocket(srv, &lm, kVL1), 0);
    EXPECT_TRUE(s.isNtcpRunning());
    nettest::RawPacket pkt;
    pkt.ctrl = nettest::fourCC("atst");
    pkt.seqn = 7;
    pkt.payload = {1, 2, 3};
    ASSERT_TRUE(nettest::sendAll(client, pkt.bytes()));  // at once, while the connect handler sleeps

    const nettest::Bytes reply = nettest::recvPacket(client);
    ASSERT_EQ(reply.size(), 20u);
    const nettest::RawHeader h = nettest::parseHeader(reply);
    EXPECT_EQ(h.ctrl, nettest::fourCC("atst"));
    EXPECT_EQ(h.seqn, 7);
    // The item's PASS, stored after it kept the packet, orders the reads below.
    ASSERT_TRUE(waitFor([&] { return s._items[0]->testStatus() == kNkTestStat_PASS; }));
    EXPECT_EQ(ev.get(), (std::vector<std::string>{"begin", "begun", "packet"}));
    EXPECT_EQ(s.item0()->lastHeader.CTRL, nettest::fourCC("atst"));
    EXPECT_EQ(s.item0()->lastHeader.PLEN, 4u);
    EXPECT_EQ(s.item0()->lastPayload, (std::vector<u8>{1, 2, 3}));
    EXPECT_EQ(s._items[1]->testStatus(), kNkTestStat_NA);  // reset by the connect

    close(client);
    ASSERT_TRUE(waitFor([&] { return !s.isNtcpRunning(); }));
    EXPECT_EQ(ev.ends.load(), 1);
    EXPECT_EQ(s._items[0]->testStatus(), kNkTestStat_NA);

    // The next tester right after the close: its statuses are its own.
    ev.beginSleepMs = 0;
    const int client2 = nettest::rawConnect(listener.port);
    ASSERT_EQ(s.setSocket(listener.accept(), &lm, kVL1), 0);
    ASSERT_TRUE(nettest::sendAll(client2, pkt.bytes()));
    ASSERT_EQ(nettest::recvPacket(client2).size(), 20u);
    EXPECT_TRUE(waitFor([&] { return s._items[0]->testStatus() == kNkTestStat_PASS; }, 60000));
    EXPECT_EQ(ev.get(), (std::vector<std::string>{"begin", "begun", "packet", "end", "begin", "begun", "packet"}));
    close(client2);
    ASSERT_TRUE(waitFor([&] { return ev.ends.load() == 2; }));
}

TEST(TestSessionHost, DestroyedWithALiveLinkAndARunningWorker) {
    nktest::TempDir dir;
    Events ev;
    nettest::RawListener listener;
    const int client = nettest::rawConnect(listener.port);
    {
        FwSession s(0, "S", script(dir, "[*** Test&Cal ***]\nA class=FwItem sleepMs=5000\nB class=FwItem\n"));
        s.setCallback(&ev);
        ASSERT_EQ(s.setSocket(listener.accept(), nullptr, kVL1), 0);
        ASSERT_TRUE(waitFor([&] { return ev.begins.load() == 1; }));
        ASSERT_EQ(s.performTest(kNkTestMode_PROD), 0);
        ASSERT_TRUE(waitFor([&] { return s._items[0]->testStatus() == kNkTestStat_TESTING; }));
    }
    EXPECT_TRUE(nettest::seesEof(client));
    EXPECT_EQ(ev.ends.load(), 2);  // the worker's end and the link's close
    close(client);
}
