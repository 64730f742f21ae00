#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "net_test_util.h"
#include "nk_ntcp.h"

using namespace nettest;

namespace {

const u32 kAbcd = fourCC("abcd");

struct Got {
    RawHeader header;
    Bytes payload;  // without P_CS
};

// Records the packets an endpoint hands to its owner.
struct Collector : INK_ntcpCallback {
    std::mutex m;
    std::vector<Got> packets;
    std::atomic<int> connects{0}, closes{0};
    void onNtcpConnect(u32) override { ++connects; }
    void onNtcpReceive(u32, const tNTCP_packet* p) override {
        Got g;
        g.header.ctrl = p->header.CTRL;
        g.header.errc = p->header.ERRC;
        g.header.seqn = p->header.SEQN;
        g.header.plen = p->header.PLEN;
        if (p->header.PLEN > 1) g.payload.assign(p->payload, p->payload + p->header.PLEN - 1);
        std::lock_guard<std::mutex> l(m);
        packets.push_back(g);
    }
    void onNtcpClose(u32) override { ++closes; }
    size_t count() {
        std::lock_guard<std::mutex> l(m);
        return packets.size();
    }
    Got at(size_t i) {
        std::lock_guard<std::mutex> l(m);
        return packets.at(i);
    }
};

struct LineCollector : INK_logRelay {
    std::mutex m;
    std::string text;
    void onLogRelay(const char* t) override {
        std::lock_guard<std::mutex> l(m);
        text += t;
    }
    bool has(const std::string& s) {
        std::lock_guard<std::mutex> l(m);
        return text.find(s) != std::string::npos;
    }
};

// An endpoint connected to a raw peer socket that the test drives by hand.
struct Link {
    LineCollector lines;
    CNK_logManager log;
    RawListener listener;
    Collector cb;
    CNK_ntcp ep{&log};
    int peer = -1;

    explicit Link(bool withCallback = true) {
        log.setVerboseLevel(kVL1);
        log.setLogRelay(&lines);
        EXPECT_EQ(ep.Connect("127.0.0.1", listener.port, withCallback ? &cb : nullptr), 0);
        peer = listener.accept();
        EXPECT_GE(peer, 0);
    }
    ~Link() {
        ep.Close();
        EXPECT_TRUE(waitFor([&] { return !ep.isRunning(); }));
        close(peer);
        log.setLogRelay(nullptr);
    }
};

Bytes payloadOf(const Bytes& packet) {
    if (packet.size() <= 17) return {};
    return Bytes(packet.begin() + 16, packet.end() - 1);
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

}  // namespace

TEST(Ntcp, OutgoingPacketsHaveTheExactWireBytes) {
    Link link;
    // One-way with three payload bytes: 20 bytes, PLEN 4, SEQN 0, checksums worked out by hand.
    const u8 three[] = {1, 2, 3};
    ASSERT_EQ(link.ep.SendOneway(kAbcd, three, 3, kVL1), 0);
    const Bytes oneway = {0x50, 0x43, 0x54, 0x4E, 0x00, 0x00, 0x64, 0x63, 0x62, 0x61,
                          0x04, 0x00, 0x00, 0x00, 0x00, 0x3C, 0x01, 0x02, 0x03, 0xF9};
    EXPECT_EQ(recvN(link.peer, 20), oneway);
    EXPECT_TRUE(link.lines.has("['NTCP',ERRC=0x0000,CTRL='abcd',SEQN=0x00,H_CS=0x3C,PLEN=4,P_CS=0xF9]\n"));

    // Without payload: 16 bytes, PLEN 0, no P_CS.
    ASSERT_EQ(link.ep.SendOneway(kAbcd, nullptr, 0, kVL6), 0);
    const Bytes bare = {0x50, 0x43, 0x54, 0x4E, 0x00, 0x00, 0x64, 0x63, 0x62, 0x61,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x40};
    EXPECT_EQ(recvN(link.peer, 16), bare);

    // A reply carries the request's CTRL and SEQN and the given error code.
    tNTCP_header req{};
    req.CTRL = kAbcd;
    req.SEQN = 9;
    ASSERT_EQ(link.ep.SendResponse(&req, 0x0102, "xy", 2, kVL6), 0);
    RawPacket reply;
    reply.errc = 0x0102;
    reply.ctrl = kAbcd;
    reply.seqn = 9;
    reply.payload = text("xy");
    EXPECT_EQ(recvPacket(link.peer), reply.bytes());

    // A request, and the reply that completes it.
    tNTCP_packet* answer = nullptr;
    u16 rc = 0xFFFF;
    std::thread requester([&] { rc = link.ep.SendRequest(kAbcd, "req", 3, &answer, 5000, kVL6); });
    RawPacket expected;
    expected.ctrl = kAbcd;
    expected.seqn = 1;
    expected.payload = text("req");
    EXPECT_EQ(recvPacket(link.peer), expected.bytes());
    RawPacket back;
    back.errc = 5;
    back.ctrl = kAbcd;
    back.seqn = 1;
    back.payload = text("ans");
    ASSERT_TRUE(sendAll(link.peer, back.bytes()));
    requester.join();
    ASSERT_EQ(rc, 0);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->header.ERRC, 5);
    ASSERT_EQ(answer->header.PLEN, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer->payload), 3), "ans");
    std::free(answer);
    EXPECT_EQ(link.cb.count(), 0u);  // a reply to a waiting request is not passed on
}

TEST(Ntcp, BadArgumentsAreRefusedWithTheirConditions) {
    LineCollector lines;
    CNK_logManager log;
    log.setVerboseLevel(kVL1);
    log.setLogRelay(&lines);
    {
        CNK_ntcp ep(&log);
        tNTCP_packet* reply = nullptr;
        struct Case {
            u16 rc, expected;
            const char* condition;  // empty: no report line
        } cases[] = {
            {ep.Connect(nullptr, 1234, nullptr), kNKErr_socketInvalidAddress, "\"address!=NULL\""},
            {ep.Connect("127.0.0.1", 0, nullptr), kNKErr_socketInvalidPort, "\"port!=0\""},
            {ep.Append(-1, nullptr), kNKErr_socketAppendError, ""},
            {ep.SendPacket(0, 0, 0, nullptr, 0, kVL6), kNKErr_invalidParam, "\"ctrl!=0\""},
            {ep.SendOneway(kAbcd, nullptr, 1, kVL6), kNKErr_invalidParam, "\"data!=NULL\""},
            {ep.SendRequest(kAbcd, nullptr, 0, nullptr, 10, kVL6), kNKErr_invalidParam, "\"ppResponsePacket!=NULL\""},
            {ep.SendRequest(kAbcd, nullptr, 0, &reply, 0, kVL6), kNKErr_invalidParam, "\"timeoutMsec>0\""},
            // Not connected: the send fails and the request does not wait.
            {ep.SendRequest(kAbcd, "x", 1, &reply, 60000, kVL6), kNKErr_socketSendFailed, "0xE09B"},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(c.rc, c.expected) << c.condition;
            if (*c.condition) {
                EXPECT_TRUE(lines.has(c.condition)) << c.condition;
            }
        }
        EXPECT_EQ(reply, nullptr);
        EXPECT_FALSE(lines.has("socketAppendError"));
        EXPECT_FALSE(ep.isRunning());  // refused arguments do not touch the connection state

        // One owner callback: a second one is refused, null clears it.
        Collector first, second;
        ep.setCallback(&first);
        ep.setCallback(&second);
        EXPECT_TRUE(lines.has("[Err] CNK_ntcp Only Accept One Callback"));
        ep.setCallback(nullptr);
        ep.setCallback(&second);
        RawListener listener;
        ASSERT_EQ(ep.Connect("127.0.0.1", listener.port, nullptr), 0);
        const int peer = listener.accept();
        RawPacket p;
        p.ctrl = kAbcd;
        ASSERT_TRUE(sendAll(peer, p.bytes()));
        EXPECT_TRUE(waitFor([&] { return second.count() == 1; }));
        EXPECT_EQ(first.count(), 0u);
        ep.Close();
        EXPECT_TRUE(waitFor([&] { return !ep.isRunning(); }));
        close(peer);
    }
    log.setLogRelay(nullptr);
}

TEST(Ntcp, BadPreambleAndHeaderChecksumAreDroppedAndTheLinkKept) {
    Link link;
    link.ep.verbosePacketLog(true);
    RawPacket badPreamble;
    badPreamble.preamble = 0x11223344;
    badPreamble.ctrl = kAbcd;
    RawPacket badHcs;
    badHcs.ctrl = kAbcd;
    badHcs.hcsDelta = 1;
    RawPacket good;
    good.ctrl = fourCC("good");
    good.payload = text("still here");
    Bytes stream = badPreamble.bytes();
    const Bytes b2 = badHcs.bytes(), b3 = good.bytes();
    stream.insert(stream.end(), b2.begin(), b2.end());
    stream.insert(stream.end(), b3.begin(), b3.end());
    ASSERT_TRUE(sendAll(link.peer, stream));

    ASSERT_TRUE(waitFor([&] { return link.cb.count() == 1; }));
    EXPECT_EQ(link.cb.at(0).header.ctrl, fourCC("good"));
    EXPECT_EQ(link.cb.at(0).payload, text("still here"));
    EXPECT_TRUE(recvN(link.peer, 1, 200).empty());  // no reply to a dropped header
    EXPECT_TRUE(link.ep.isRunning());
    EXPECT_TRUE(link.lines.has("[NTCP ERR] invalid preamble [NTCP=0x4E544350 vs preamble=0x11223344"));
    EXPECT_TRUE(link.lines.has("[NTCP ERR] H_CS!=cs"));
    EXPECT_TRUE(link.lines.has("* Header Bytes"));
    EXPECT_TRUE(link.lines.has("[00000000] 44 33 22 11 "));  // the dump of the bad preamble's header
}

TEST(Ntcp, JunkIsLoggedOnceWithACountAndAHangUpAsAClose) {
    Link link;
    // 16 KiB of zeros (1024 headers with no preamble), three headers with a bad
    // checksum, then the peer hangs up.
    Bytes stream(16 * 1024, 0);
    RawPacket badHcs;
    badHcs.ctrl = kAbcd;
    badHcs.hcsDelta = 1;
    for (int i = 0; i < 3; ++i) {
        const Bytes b = badHcs.bytes();
        stream.insert(stream.end(), b.begin(), b.end());
    }
    ASSERT_TRUE(sendAll(link.peer, stream));
    close(link.peer);
    link.peer = -1;
    ASSERT_TRUE(waitFor([&] { return link.cb.closes == 1; }));

    std::string said;
    {
        std::lock_guard<std::mutex> l(link.lines.m);
        said = link.lines.text;
    }
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = said.find(what); at != std::string::npos; at = said.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("[NTCP ERR] invalid preamble"), 1u) << said;
    EXPECT_EQ(count("[NTCP ERR] H_CS!=cs"), 1u) << said;
    EXPECT_EQ(count("[NTCP ERR] 1027 headers dropped on this connection"), 1u) << said;
    // An orderly end of the link is a close, not a failure.
    EXPECT_EQ(count(".connection closed by peer"), 1u) << said;
    EXPECT_EQ(count("recv failed"), 0u) << said;
    EXPECT_EQ(count("0xE09C"), 0u) << said;
    EXPECT_LT(said.size(), 2000u) << said;
}

TEST(Ntcp, MalformedPayloadsGetAnErrorReplyAndTheStreamStaysInStep) {
    struct Case {
        const char* what;
        Bytes bytes;
        u16 errc;
        const char* logLine;
    };
    RawPacket badPcs;
    badPcs.ctrl = fourCC("ps\x01x");  // a control byte in the code is printed as '.'
    badPcs.seqn = 7;
    badPcs.payload = text("payload");
    badPcs.pcsDelta = 1;
    RawPacket plenOne;
    plenOne.ctrl = kAbcd;
    plenOne.seqn = 8;
    plenOne.plenOverride = 1;
    Bytes plenOneBytes = plenOne.bytes();
    plenOneBytes.push_back(0xFF);  // the one byte that PLEN 1 announces
    const Case cases[] = {
        {"bad P_CS", badPcs.bytes(), 3, ". CTRL: ps.x"},
        {"PLEN 1", plenOneBytes, 10, "[NTCP ERR] PLEN == 1 Undefined"},
    };
    for (const Case& c : cases) {
        Link link;
        RawPacket good;
        good.ctrl = fourCC("next");
        good.payload = text("ok");
        Bytes stream = c.bytes;
        const Bytes g = good.bytes();
        stream.insert(stream.end(), g.begin(), g.end());
        ASSERT_TRUE(sendAll(link.peer, stream));

        const RawHeader offending = parseHeader(c.bytes);
        RawPacket reply;
        reply.errc = c.errc;
        reply.ctrl = offending.ctrl;
        reply.seqn = offending.seqn;
        EXPECT_EQ(recvN(link.peer, 17, 300), reply.bytes()) << c.what;  // exactly 16 bytes come
        ASSERT_TRUE(waitFor([&] { return link.cb.count() == 1; })) << c.what;
        EXPECT_EQ(link.cb.at(0).header.ctrl, fourCC("next")) << c.what;
        EXPECT_TRUE(link.lines.has("[DISCARD NTCP PACKET]")) << c.what;
        EXPECT_TRUE(link.lines.has(c.logLine)) << c.what;
    }
}

TEST(Ntcp, PayloadAboveTheLimitIsRefusedAndTheLinkClosed) {
    Link link;
    link.ep.setMaxPayloadLength(1000);
    RawPacket atLimit;
    atLimit.ctrl = kAbcd;
    atLimit.payload = Bytes(1000, 0x33);
    ASSERT_TRUE(sendAll(link.peer, atLimit.bytes()));
    ASSERT_TRUE(waitFor([&] { return link.cb.count() == 1; }));

    // Only the header of the oversized packet is sent: the endpoint must not wait for the rest.
    RawPacket over;
    over.ctrl = kAbcd;
    over.seqn = 3;
    over.plenOverride = 1002;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(sendAll(link.peer, over.bytes()));
    RawPacket reply;
    reply.errc = 10;
    reply.ctrl = kAbcd;
    reply.seqn = 3;
    EXPECT_EQ(recvN(link.peer, 16), reply.bytes());
    EXPECT_TRUE(seesEof(link.peer));
    EXPECT_TRUE(waitFor([&] { return !link.ep.isRunning(); }));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(link.cb.closes, 1);
}

TEST(Ntcp, PacketWithoutCallbackIsDroppedAndRepliesStillReachRequests) {
    Link link(false);
    RawPacket oneway;
    oneway.ctrl = kAbcd;
    oneway.payload = text("nobody listens");
    ASSERT_TRUE(sendAll(link.peer, oneway.bytes()));
    ASSERT_TRUE(waitFor([&] { return link.lines.has("dropped"); }));
    EXPECT_TRUE(link.ep.isRunning());

    tNTCP_packet* answer = nullptr;
    u16 rc = 0xFFFF;
    std::thread requester([&] { rc = link.ep.SendRequest(kAbcd, nullptr, 0, &answer, 5000, kVL6); });
    const RawHeader req = parseHeader(recvPacket(link.peer));
    RawPacket back;
    back.ctrl = NTCP_CTRL_RSPS;
    back.seqn = req.seqn;
    ASSERT_TRUE(sendAll(link.peer, back.bytes()));
    requester.join();
    EXPECT_EQ(rc, 0);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->header.PLEN, 0u);
    std::free(answer);
}

TEST(Ntcp, SequenceNumbersWrapToOneAndRspsAnswersAnyRequest) {
    Link link;
    std::vector<int> seen;
    std::thread responder([&] {
        for (int i = 0; i < 257; ++i) {
            const Bytes pkt = recvPacket(link.peer);
            const RawHeader h = parseHeader(pkt);
            if (!h.ok) return;
            seen.push_back(h.seqn);
            RawPacket back;
            back.ctrl = (i % 2) ? NTCP_CTRL_RSPS : h.ctrl;
            back.seqn = h.seqn;
            back.errc = static_cast<uint16_t>(i);
            back.payload = payloadOf(pkt);
            sendAll(link.peer, back.bytes());
        }
    });
    for (int i = 0; i < 257; ++i) {
        const std::string body = "n" + std::to_string(i);
        tNTCP_packet* answer = nullptr;
        ASSERT_EQ(link.ep.SendRequest(kAbcd, body.data(), static_cast<int>(body.size()), &answer, 5000, kVL6), 0) << i;
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer->header.ERRC, i);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(answer->payload), answer->header.PLEN - 1), body);
        std::free(answer);
    }
    responder.join();
    ASSERT_EQ(seen.size(), 257u);
    for (int i = 0; i < 255; ++i) EXPECT_EQ(seen[i], i + 1);
    EXPECT_EQ(seen[255], 1);
    EXPECT_EQ(seen[256], 2);
}

TEST(Ntcp, ReplyWithOtherCodeGoesToTheOwnerAndTheRequestTimesOut) {
    Link link;
    tNTCP_packet* answer = reinterpret_cast<tNTCP_packet*>(&link);  // must be reset to null
    u16 rc = 0xFFFF;
    std::chrono::steady_clock::duration took{};
    std::thread requester([&] {
        const auto t0 = std::chrono::steady_clock::now();
        rc = link.ep.SendRequest(kAbcd, "q", 1, &answer, 300, kVL6);
        took = std::chrono::steady_clock::now() - t0;
    });
    const RawHeader req = parseHeader(recvPacket(link.peer));
    RawPacket other;
    other.ctrl = fourCC("zzzz");
    other.seqn = req.seqn;
    ASSERT_TRUE(sendAll(link.peer, other.bytes()));
    requester.join();
    EXPECT_EQ(rc, kNKErr_timeout);
    EXPECT_EQ(answer, nullptr);
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_TRUE(link.lines.has("\"timeoutMsec>0\""));
    ASSERT_TRUE(waitFor([&] { return link.cb.count() == 1; }));
    EXPECT_EQ(link.cb.at(0).header.ctrl, fourCC("zzzz"));

    // The number is free again: a late reply under it is an ordinary packet.
    RawPacket late;
    late.ctrl = kAbcd;
    late.seqn = req.seqn;
    ASSERT_TRUE(sendAll(link.peer, late.bytes()));
    ASSERT_TRUE(waitFor([&] { return link.cb.count() == 2; }));
    EXPECT_EQ(link.cb.at(1).header.ctrl, kAbcd);
}

TEST(Ntcp, ClosingWhileRequestsWaitEndsThemWithSocketClosed) {
    // Both ways a link can end: our own Close and the peer going away.
    for (bool peerCloses : {false, true}) {
        Link link;
        constexpr int kWaiting = 8;
        std::vector<u16> rcs(kWaiting, 0xFFFF);
        std::vector<tNTCP_packet*> answers(kWaiting, nullptr);
        std::vector<std::thread> threads;
        testing::internal::CaptureStderr();
        for (int i = 0; i < kWaiting; ++i)
            threads.emplace_back([&, i] { rcs[i] = link.ep.SendRequest(kAbcd, "w", 1, &answers[i], 20000, kVL6); });
        for (int i = 0; i < kWaiting; ++i) ASSERT_EQ(recvPacket(link.peer).size(), 18u);
        if (peerCloses)
            shutdown(link.peer, SHUT_RDWR);
        else
            link.ep.Close();
        for (auto& t : threads) t.join();
        testing::internal::GetCapturedStderr();
        for (int i = 0; i < kWaiting; ++i) {
            EXPECT_EQ(rcs[i], kNKErr_socketClosed) << i << (peerCloses ? " peer" : " own");
            EXPECT_EQ(answers[i], nullptr);
        }
        EXPECT_TRUE(waitFor([&] { return link.cb.closes == 1; }));
    }
}

TEST(Ntcp, ReplyFollowedAtOnceByCloseStillReachesTheRequest) {
    // The peer answers and hangs up at once, as the station does after its last
    // reply: the reply has come and must not be thrown away with the link.
    for (int i = 0; i < 20; ++i) {
        Link link;
        tNTCP_packet* answer = nullptr;
        u16 rc = 0xFFFF;
        std::thread requester([&] { rc = link.ep.SendRequest(kAbcd, "r", 1, &answer, 20000, kVL6); });
        const RawHeader req = parseHeader(recvPacket(link.peer));
        RawPacket back;
        back.ctrl = kAbcd;
        back.seqn = req.seqn;
        back.payload = text("last");
        sendAll(link.peer, back.bytes());
        shutdown(link.peer, SHUT_RDWR);
        requester.join();
        ASSERT_EQ(rc, 0) << i;
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(answer->payload), 4), "last");
        std::free(answer);
    }
}

TEST(Ntcp, NumberHeldByAWaitingRequestIsSkipped) {
    Link link;
    // The peer answers every request at once, except the one numbered 1, which
    // it answers only after the others have used up all numbers.
    std::vector<int> seen;
    std::atomic<int> seenCount{0};
    std::thread responder([&] {
        for (int i = 0; i < 256; ++i) {
            const Bytes pkt = recvPacket(link.peer);
            const RawHeader h = parseHeader(pkt);
            if (!h.ok) return;
            seen.push_back(h.seqn);
            ++seenCount;
            if (h.seqn == 1) continue;
            RawPacket back;
            back.ctrl = h.ctrl;
            back.seqn = h.seqn;
            back.payload = payloadOf(pkt);
            sendAll(link.peer, back.bytes());
        }
        RawPacket first;
        first.ctrl = kAbcd;
        first.seqn = 1;
        first.payload = text("first");
        sendAll(link.peer, first.bytes());
    });
    tNTCP_packet* firstAnswer = nullptr;
    u16 firstRc = 0xFFFF;
    std::thread waiting([&] { firstRc = link.ep.SendRequest(kAbcd, "first", 5, &firstAnswer, 20000, kVL6); });
    ASSERT_TRUE(waitFor([&] { return seenCount > 0; }));
    for (int i = 0; i < 255; ++i) {
        const std::string body = "r" + std::to_string(i);
        tNTCP_packet* answer = nullptr;
        ASSERT_EQ(link.ep.SendRequest(kAbcd, body.data(), static_cast<int>(body.size()), &answer, 5000, kVL6), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(answer->payload), answer->header.PLEN - 1), body);
        std::free(answer);
    }
    waiting.join();
    responder.join();
    ASSERT_EQ(seen.size(), 256u);
    EXPECT_EQ(seen[0], 1);
    EXPECT_EQ(seen[254], 255);
    EXPECT_EQ(seen[255], 2);  // 1 was still taken
    ASSERT_EQ(firstRc, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(firstAnswer->payload), 5), "first");
    std::free(firstAnswer);
}

TEST(Ntcp, AllNumbersBusyIsRefused) {
    Link link;
    std::vector<u16> rcs(255, 0xFFFF);
    std::vector<tNTCP_packet*> answers(255, nullptr);
    std::vector<std::thread> threads;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 255; ++i)
        threads.emplace_back([&, i] { rcs[i] = link.ep.SendRequest(kAbcd, nullptr, 0, &answers[i], 30000, kVL6); });
    for (int i = 0; i < 255; ++i) ASSERT_EQ(recvPacket(link.peer).size(), 16u);
    tNTCP_packet* extra = nullptr;
    EXPECT_EQ(link.ep.SendRequest(kAbcd, nullptr, 0, &extra, 1000, kVL6), kNKErr_invalidCondition);
    link.ep.Close();
    for (auto& t : threads) t.join();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(link.lines.has("\"_respWaitCtrl[seqn]!=0\""));
    for (u16 rc : rcs) EXPECT_EQ(rc, kNKErr_socketClosed);
}

// ---------------------------------------------------------------- server road

namespace {

// A station-like server: a listener handing each connection to the first idle
// of its endpoints, each answering a request with its payload XORed by 0x5A
// and its length as error code.
struct EchoServer : INK_serverSocketCallback {
    struct Handler : INK_ntcpCallback {
        CNK_ntcp* ep = nullptr;
        std::atomic<int> packets{0};
        void onNtcpConnect(u32) override {}
        void onNtcpReceive(u32, const tNTCP_packet* p) override {
            const size_t n = p->header.PLEN ? p->header.PLEN - 1 : 0;
            Bytes out(p->payload, p->payload + n);
            for (u8& c : out) c ^= 0x5A;
            ++packets;  // counted before the reply, which lets the client go on
            ep->SendResponse(&p->header, static_cast<u16>(n), out.data(), static_cast<int>(n), kVL6);
        }
        void onNtcpClose(u32) override {}
    };

    std::vector<std::unique_ptr<Handler>> handlers;   // outlive the endpoints
    std::vector<std::unique_ptr<CNK_ntcp>> endpoints;
    CNK_serverSocket server;                           // destroyed first
    std::atomic<int> refused{0};
    uint16_t port = 0;

    explicit EchoServer(int n) {
        for (int i = 0; i < n; ++i) {
            handlers.emplace_back(new Handler);
            endpoints.emplace_back(new CNK_ntcp);
            handlers.back()->ep = endpoints.back().get();
            endpoints.back()->setCallback(handlers.back().get());
            endpoints.back()->setSocketName(static_cast<u32>(i));
        }
        port = freePort();
        EXPECT_EQ(server.Launch(port, this), 0);
    }
    u16 onAccept(u32) override {
        const int fd = server.Accept();
        if (fd < 0) return 0;
        for (auto& ep : endpoints)
            if (!ep->isRunning() && ep->Append(fd, nullptr) == 0) return 0;
        ++refused;
        close(fd);
        return 0;
    }
    void onCloseServer(u32) override {}
};

// Round trips with random payloads through one client endpoint; false on the first wrong reply.
bool roundTrips(CNK_ntcp& client, int count, size_t maxLength, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> logLen(0.0, std::log2(static_cast<double>(maxLength)));
    for (int i = 0; i < count; ++i) {
        const size_t n = static_cast<size_t>(std::exp2(logLen(rng))) - 1;
        Bytes body(n);
        for (u8& c : body) c = static_cast<u8>(rng());
        tNTCP_packet* answer = nullptr;
        const u16 rc = client.SendRequest(fourCC("echo"), body.data(), static_cast<int>(n), &answer, 30000, kVL6);
        if (rc != 0 || !answer) {
            ADD_FAILURE() << "request " << i << " failed with " << rc;
            return false;
        }
        bool ok = answer->header.ERRC == static_cast<u16>(n) && answer->header.CTRL == fourCC("echo") &&
                  answer->header.PLEN == (n ? n + 1 : 0);
        for (size_t k = 0; ok && k < n; ++k) ok = answer->payload[k] == (body[k] ^ 0x5A);
        std::free(answer);
        if (!ok) {
            ADD_FAILURE() << "wrong reply to request " << i << " of " << n << " bytes";
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(NtcpServer, SixteenClientsAtOnceGetEveryReplyRight) {
    const size_t threadsBefore = threadCount();
    {
        EchoServer srv(16);
        std::vector<std::unique_ptr<CNK_ntcp>> clients;
        for (int i = 0; i < 16; ++i) {
            clients.emplace_back(new CNK_ntcp);
            ASSERT_EQ(clients.back()->Connect("127.0.0.1", srv.port, nullptr), 0);
        }
        // Two threads per connection, so requests of one link are in flight together.
        std::atomic<int> good{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 32; ++i)
            threads.emplace_back([&, i] {
                if (roundTrips(*clients[i / 2], 150, 1 << 20, 1000u + i)) ++good;
            });
        for (auto& t : threads) t.join();
        EXPECT_EQ(good, 32);
        EXPECT_EQ(srv.refused, 0);
        int handled = 0;
        for (auto& h : srv.handlers) handled += h->packets;
        EXPECT_EQ(handled, 32 * 150);

        // A seventeenth tester finds no idle endpoint and is refused.
        const int extra = rawConnect(srv.port);
        EXPECT_TRUE(seesEof(extra));
        close(extra);
        EXPECT_EQ(srv.refused, 1);

        for (auto& c : clients) c->Close();
        for (auto& ep : srv.endpoints) EXPECT_TRUE(waitFor([&] { return !ep->isRunning(); }));
    }
    // Clean shutdown: every receive, accept and notification thread has ended.
    EXPECT_TRUE(waitFor([&] { return threadCount() == threadsBefore; }));
}

TEST(NtcpServer, StalledHalfHeaderClientDoesNotHoldUpTheOthers) {
    EchoServer srv(5);
    const int stalled = rawConnect(srv.port);
    RawPacket p;
    p.ctrl = kAbcd;
    const Bytes head = p.bytes();
    ASSERT_TRUE(sendAll(stalled, head.data(), 8));
    ASSERT_TRUE(waitFor([&] {
        int running = 0;
        for (auto& ep : srv.endpoints) running += ep->isRunning();
        return running == 1;
    }));

    std::vector<std::unique_ptr<CNK_ntcp>> clients;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back(new CNK_ntcp);
        ASSERT_EQ(clients.back()->Connect("127.0.0.1", srv.port, nullptr), 0);
    }
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            if (roundTrips(*clients[i], 100, 4096, 7u + i)) ++good;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good, 4);
    // The stalled link is still waiting for its header (30 s bound) while the others are done.
    EXPECT_TRUE(srv.endpoints[0]->isRunning());
    EXPECT_EQ(srv.handlers[0]->packets, 0);
    for (auto& c : clients) c->Close();
    close(stalled);
}

TEST(NtcpServer, StartedPacketMustCompleteWithinThePacketTimeout) {
    EchoServer srv(1);
    srv.endpoints[0]->setPacketTimeout(200);
    const int stalled = rawConnect(srv.port);
    RawPacket p;
    p.ctrl = kAbcd;
    p.payload = Bytes(100, 1);
    const Bytes bytes = p.bytes();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(sendAll(stalled, bytes.data(), 40));  // header and part of the payload
    EXPECT_TRUE(seesEof(stalled));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("timeout"), std::string::npos);
    close(stalled);
}
