// Handset detector against the simulated handset service.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "handset/pf_handset.h"
#include "nk_mobex.h"
#include "runloop/pf_runloop.h"

namespace hs = pf::handset;

namespace {

struct Owner : INK_mobexDetectorCallback {
    struct Call {
        std::string name;
        u32 location;
        i32 socket;
    };
    std::vector<Call> calls;
    void onMobexConnected(const char* svcName, u32 locationId, i32 socket) override {
        calls.push_back({svcName, locationId, socket});
    }
};

class Handset : public ::testing::Test {
protected:
    void SetUp() override { hs::sim::reset(); }
    void TearDown() override {
        pf::runloop::runFor(10);
        hs::sim::reset();
    }
    // Every handle given out was released exactly once, and every session stopped.
    static void expectAllReleased() {
        const hs::sim::Counters c = hs::sim::counters();
        EXPECT_EQ(c.live, 0);
        EXPECT_EQ(c.overReleases, 0);
        EXPECT_EQ(c.retains, c.releases);
        EXPECT_EQ(c.sessionsStarted, c.sessionsStopped);
        EXPECT_EQ(c.subscriptions, c.unsubscriptions);
    }
};

TEST_F(Handset, CreateConnectsTheFirstHandsetAndBytesRoundTrip) {
    hs::sim::HandsetSpec spec;
    spec.location = 0x14200000;
    spec.startSession = {hs::kStatusNotPaired, hs::kStatusOK};  // refused once, fine after re-pairing
    const hs::Handle dev = hs::sim::attach(spec);
    Owner owner;
    {
        CNK_mobexDetector d;
        ASSERT_EQ(d.create("com.example.echo", &owner), 0);
        ASSERT_EQ(owner.calls.size(), 1u);
        EXPECT_EQ(owner.calls[0].name, "com.example.echo");
        EXPECT_EQ(owner.calls[0].location, 0x14200000u);
        const int peer = hs::sim::peerSocket(dev);
        ASSERT_GT(peer, 0);
        const char out[] = "ping";
        ASSERT_EQ(send(owner.calls[0].socket, out, 4, 0), 4);
        char in[8] = {};
        ASSERT_EQ(recv(peer, in, sizeof(in), 0), 4);
        EXPECT_STREQ(in, "ping");
        ASSERT_EQ(send(peer, "pong", 4, 0), 4);
        ASSERT_EQ(recv(owner.calls[0].socket, in, sizeof(in), 0), 4);
        EXPECT_EQ(std::string(in, 4), "pong");
    }
    expectAllReleased();
    EXPECT_EQ(hs::sim::counters().invalidations, 1);
}

TEST_F(Handset, EachFailingStepGivesItsOwnCodeAndLeavesNothing) {
    struct Case {
        const char* what;
        hs::sim::HandsetSpec spec;
        const char* name;
        u16 rc;
    };
    auto spec = [](auto fill) {
        hs::sim::HandsetSpec s;
        s.location = 0x11000000;
        fill(s);
        return s;
    };
    const int F = hs::kStatusFailed;
    const Case cases[] = {
        {"connect", spec([&](auto& s) { s.connect = {F}; }), "svc", 0xE068},
        {"pair", spec([&](auto& s) { s.pair = {F}; }), "svc", 0xE069},
        {"re-pair", spec([&](auto& s) { s.startSession = {F}; s.pair = {0, F}; }), "svc", 0xE069},
        {"session twice", spec([&](auto& s) { s.startSession = {F, F}; }), "svc", 0xE06A},
        {"service", spec([&](auto& s) { s.startService = {F}; }), "svc", 0xE06B},
        {"location", spec([&](auto& s) { s.location = 0; }), "svc", 0xE06D},
        {"socket", spec([&](auto& s) { s.noSocket = true; }), "svc", 0xE06E},
        {"name text", spec([](auto&) {}), "svc\xC3\xA9", 0xE00B},
        {"no list", spec([&](auto& s) { s.listStatus = F; }), "svc", 0xE067},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hs::sim::reset();
        hs::sim::attach(c.spec);
        Owner owner;
        {
            CNK_mobexDetector d;
            EXPECT_EQ(d.create(c.name, &owner), c.rc);
            EXPECT_TRUE(owner.calls.empty());
            // Nothing of the failed handset is held any more.
            EXPECT_EQ(hs::sim::counters().live, 0);
        }
        expectAllReleased();
    }
}

TEST_F(Handset, CreateRefusals) {
    CNK_mobexDetector d;
    Owner owner;
    EXPECT_EQ(d.create("svc", &owner), 0xE067);  // no handset attached
    testing::internal::CaptureStderr();
    EXPECT_EQ(d.create(nullptr, &owner), kNKErr_invalidParam);
    EXPECT_EQ(d.create("svc", nullptr), kNKErr_invalidParam);
    EXPECT_EQ(d.launch(nullptr, &owner), kNKErr_invalidParam);
    EXPECT_EQ(d.launch("svc", nullptr), kNKErr_invalidParam);
    const std::string err = testing::internal::GetCapturedStderr();
    // Each refusal is reported under the method that was called.
    for (const char* where : {"CNK_mobexDetector::create() [", "CNK_mobexDetector::launch() ["}) {
        const size_t at = err.find(where);
        ASSERT_NE(at, std::string::npos) << where << "\n" << err;
        EXPECT_NE(err.find(where, at + 1), std::string::npos) << where << "\n" << err;
    }
}

TEST_F(Handset, LaunchConnectsEachArrivalOnTheRunLoop) {
    Owner owner;
    {
        CNK_mobexDetector d;
        ASSERT_EQ(d.launch("svc", &owner), 0);
        hs::sim::HandsetSpec a;
        a.location = 0x12000000;
        const hs::Handle first = hs::sim::attach(a);
        EXPECT_TRUE(owner.calls.empty());  // only through the run loop
        ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.calls.size() == 1; }, 60000));
        EXPECT_EQ(owner.calls[0].location, 0x12000000u);

        // A detach does nothing.
        hs::sim::detach(first);
        pf::runloop::runFor(30);
        EXPECT_EQ(owner.calls.size(), 1u);
        const hs::Notification detach{first, hs::kMessageDetached};
        EXPECT_EQ(d.lds(&detach), 0);

        // A failing handset leaves the good one in place; the next good one replaces it.
        hs::sim::HandsetSpec bad;
        bad.location = 0x13000000;
        bad.pair = {hs::kStatusFailed};
        hs::sim::attach(bad);
        pf::runloop::runFor(30);
        EXPECT_EQ(owner.calls.size(), 1u);
        hs::sim::HandsetSpec b;
        b.location = 0x15000000;
        hs::sim::attach(b);
        ASSERT_TRUE(pf::runloop::runUntil([&] { return owner.calls.size() == 2; }, 60000));
        EXPECT_EQ(owner.calls[1].location, 0x15000000u);
        EXPECT_EQ(hs::sim::counters().invalidations, 1);  // the first handset's connection
    }
    // Arrivals after the detector is gone reach nobody.
    hs::sim::HandsetSpec late;
    late.location = 0x16000000;
    hs::sim::attach(late);
    pf::runloop::runFor(30);
    EXPECT_EQ(owner.calls.size(), 2u);
    expectAllReleased();
}

}  // namespace
