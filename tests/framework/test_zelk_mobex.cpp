// The handset detector on the simulated handset service.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ZelkError.h"
#include "ZelkMobexDetector.h"
#include "handset/pf_handset.h"
#include "runloop/pf_runloop.h"

namespace {

constexpr int kDeadlineMs = 60000;
namespace hs = pf::handset;

hs::sim::HandsetSpec handset(uint32_t location, std::vector<int> connect = {}, std::vector<int> pair = {},
                             std::vector<int> session = {}, std::vector<int> service = {}) {
    hs::sim::HandsetSpec s;
    s.location = location;
    s.connect = std::move(connect);
    s.pair = std::move(pair);
    s.startSession = std::move(session);
    s.startService = std::move(service);
    return s;
}

struct Sink : iZelk_mobexDetectorEventSink {
    std::vector<std::pair<UInt32, int>> calls;
    SInt32 answer = 0;
    SInt32 OnmobexAttached(UInt32 location, int socket) override {
        calls.emplace_back(location, socket);
        return answer;
    }
};

struct Attached {
    int calls = 0;
    SInt32 answer = 0;
    UInt32 location = 0;
    static SInt32 fn(void* user, UInt32 location, UInt32) {
        auto* a = static_cast<Attached*>(user);
        ++a->calls;
        a->location = location;
        return a->answer;
    }
};

class ZelkMobex : public ::testing::Test {
protected:
    void SetUp() override { hs::sim::reset(); }
    void TearDown() override {
        ZDD_Delete(&det);
        pf::runloop::runFor(10);
        const hs::sim::Counters c = hs::sim::counters();
        EXPECT_EQ(c.overReleases, 0);
        EXPECT_EQ(c.sessionsStarted, c.sessionsStopped);
        hs::sim::reset();
    }
    // Attaches and runs the loop until the detector has dealt with it.
    hs::Handle attach(const hs::sim::HandsetSpec& spec) {
        const int before = hs::sim::counters().retains;
        const hs::Handle h = hs::sim::attach(spec);
        EXPECT_TRUE(pf::runloop::runUntil([&] { return hs::sim::counters().retains > before; }, kDeadlineMs));
        pf::runloop::runFor(10);
        return h;
    }
    iZelk_mobexDetector* det = ZDD_Create(nullptr);
    Sink sink;
};

}  // namespace

TEST_F(ZelkMobex, AttachStartsTheServiceAndHandsItsSocketOver) {
    ASSERT_EQ(ZDD_Launch2(det, &sink), kZErr_OK);
    const hs::Handle h = attach(handset(0x14200000));
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].first, 0x14200000u);
    const int mine = sink.calls[0].second;
    const int peer = hs::sim::peerSocket(h);
    ASSERT_GT(mine, 0);
    ASSERT_GE(peer, 0);
    // Bytes both ways on the service's socket.
    ASSERT_EQ(write(mine, "cal?\n", 5), 5);
    char buf[16] = {};
    ASSERT_EQ(read(peer, buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "cal?\n");
    ASSERT_EQ(write(peer, "\x00\xFF\x7F", 3), 3);
    unsigned char in[4] = {};
    ASSERT_EQ(read(mine, in, sizeof(in)), 3);
    EXPECT_EQ(in[0], 0x00);
    EXPECT_EQ(in[1], 0xFF);
    EXPECT_EQ(in[2], 0x7F);
    EXPECT_EQ(hs::sim::counters().sessionsStarted, 1);
}

TEST_F(ZelkMobex, EachFailingStepGivesItsCodeAndTheNextAttachStartsOver) {
    struct Case {
        const char* what;
        hs::sim::HandsetSpec spec;
        size_t sinkCalls;
        int sessions;
    } cases[] = {
        {"connect refused (56)", handset(1, {hs::kStatusFailed}), 0, 0},
        {"session and pairing refused (58)", handset(2, {}, {hs::kStatusFailed}, {hs::kStatusNotPaired}), 0, 0},
        {"session refused after pairing (57)", handset(3, {}, {}, {hs::kStatusFailed}), 0, 0},
        {"service refused (59)", handset(4, {}, {}, {}, {hs::kStatusFailed}), 0, 1},
        {"session on the second try", handset(5, {}, {}, {hs::kStatusNotPaired, 0}), 1, 1},
    };
    ASSERT_EQ(ZDD_Launch2(det, &sink), kZErr_OK);
    int sessions = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sink.calls.clear();
        attach(c.spec);
        EXPECT_EQ(sink.calls.size(), c.sinkCalls);
        sessions += c.sessions;
        EXPECT_EQ(hs::sim::counters().sessionsStarted, sessions);
        // The handset before was let go when this one attached.
        EXPECT_EQ(hs::sim::counters().sessionsStopped, sessions - c.sessions);
    }
    EXPECT_EQ(sink.calls[0].first, 5u);
}

TEST_F(ZelkMobex, RefusalsCloseTheServiceAndStopBeforeTheSink) {
    Attached fn;
    fn.answer = kZErr_invalidState;
    ASSERT_EQ(ZDD_Launch(det, Attached::fn, &fn), kZErr_OK);
    ASSERT_EQ(ZDD_Launch2(det, &sink), kZErr_OK);  // both receivers set
    const hs::Handle h = attach(handset(77));
    EXPECT_EQ(fn.calls, 1);
    EXPECT_EQ(fn.location, 77u);
    EXPECT_TRUE(sink.calls.empty());
    EXPECT_EQ(det->connection, 0u);  // invalidated and cleared
    EXPECT_EQ(hs::sim::counters().invalidations, 1);
    EXPECT_EQ(hs::sim::peerSocket(h), -1);  // the connection is gone with both its ends

    fn.answer = 0;
    sink.answer = 1;
    attach(handset(78));
    EXPECT_EQ(fn.calls, 2);
    EXPECT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(det->connection, 0u);
    EXPECT_EQ(hs::sim::counters().invalidations, 2);
}

TEST_F(ZelkMobex, OtherMessagesChangeOnlyTheKeptDevice) {
    ASSERT_EQ(ZDD_Launch2(det, &sink), kZErr_OK);
    const hs::Handle a = attach(handset(1));
    const UInt32 connection = det->connection;
    ASSERT_NE(connection, 0u);
    hs::sim::detach(a);
    pf::runloop::runFor(20);
    EXPECT_EQ(det->device, a);
    EXPECT_EQ(det->connection, connection);
    EXPECT_EQ(sink.calls.size(), 1u);
    // A detach of another handset swaps the reference only; the service stays.
    const hs::Handle b = hs::sim::attach(handset(2));  // its attach is not delivered: the loop does not run
    const hs::Notification n{b, hs::kMessageDetached};
    ZDD_HandleNotification(&n, det);
    EXPECT_EQ(det->device, b);
    EXPECT_EQ(det->connection, connection);
    EXPECT_EQ(hs::sim::counters().sessionsStopped, 1);  // a's session ended with its reference
    EXPECT_EQ(sink.calls.size(), 1u);
}

TEST_F(ZelkMobex, SecondAttachAndDeleteReleaseEveryHandleOnce) {
    ASSERT_EQ(ZDD_Launch2(det, &sink), kZErr_OK);
    attach(handset(1));
    attach(handset(2));
    EXPECT_EQ(sink.calls.size(), 2u);
    hs::sim::Counters c = hs::sim::counters();
    EXPECT_EQ(c.invalidations, 1);  // the first service closed by the second attach
    EXPECT_EQ(c.sessionsStopped, 1);
    ZDD_Delete(&det);
    EXPECT_EQ(det, nullptr);
    c = hs::sim::counters();
    EXPECT_EQ(c.live, 0);
    EXPECT_EQ(c.overReleases, 0);
    EXPECT_EQ(c.invalidations, 2);
    EXPECT_EQ(c.sessionsStopped, 2);
    EXPECT_EQ(c.unsubscriptions, 1);
}

TEST_F(ZelkMobex, RefusedArguments) {
    EXPECT_EQ(ZDD_Launch(nullptr, Attached::fn, nullptr), kZErr_invalidParam);
    EXPECT_EQ(ZDD_Launch(det, nullptr, nullptr), kZErr_invalidParam);
    EXPECT_EQ(ZDD_Launch2(nullptr, &sink), kZErr_invalidParam);
    ZDD_HandleNotification(nullptr, det);  // reported and ignored
    const hs::Notification n{0, hs::kMessageAttached};
    ZDD_HandleNotification(&n, nullptr);
    EXPECT_EQ(det->device, 0u);
}
