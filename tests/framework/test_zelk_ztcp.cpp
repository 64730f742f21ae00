// The ZTCP handler on loopback: against the simulated device under test and against
// raw peers that send bytes the handler must survive.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ZelkZtcpHandler.h"
#include "net_test_util.h"
#include "zelk_log_capture.h"
#include "ztcp_device_sim.h"

namespace {

using nettest::waitFor;
using ztcptest::Bytes;
using ztcptest::bytesOf;
using ztcptest::ctrl;

struct FreePacket {
    void operator()(tZTCP_header* p) const { std::free(p); }
};
using PacketPtr = std::unique_ptr<tZTCP_header, FreePacket>;

Bytes bytesOfPacket(const tZTCP_header* p) {
    const auto* b = reinterpret_cast<const UInt8*>(p);
    return Bytes(b, b + ZGH_PacketSize(p));
}

// Records the handler's events as text, from the callbacks and the listener alike.
struct Events : iZelk_ZtcpHandlerEventSink {
    std::mutex mutex;
    std::vector<std::string> seen;
    iZelk_ZtcpHandler** deleteOnClose = nullptr;
    std::atomic<bool> deleted{false};

    void add(const std::string& e) {
        std::lock_guard<std::mutex> hold(mutex);
        seen.push_back(e);
    }
    std::vector<std::string> list() {
        std::lock_guard<std::mutex> hold(mutex);
        return seen;
    }
    size_t count() { return list().size(); }
    void OnZhConnect(SInt32 id) override { add("L connect " + std::to_string(id)); }
    void OnZhReceive(SInt32 id, const tZTCP_header* h, const UInt8* payload) override {
        char letters[5] = {char(h->control >> 24), char(h->control >> 16), char(h->control >> 8), char(h->control), 0};
        add("L " + std::string(letters) + " " + std::to_string(id) + " " +
            (payload ? std::string(reinterpret_cast<const char*>(payload)) : std::string("-")));
    }
    void OnZhClose(SInt32 id) override {
        add("L close " + std::to_string(id));
        if (deleteOnClose) {
            ZGH_Delete(deleteOnClose);
            deleted = true;
        }
    }
    static void cbConnect(void* u, SInt32 id) { static_cast<Events*>(u)->add("C connect " + std::to_string(id)); }
    static void cbReceive(void* u, SInt32, const tZTCP_header* h, const UInt8*) {
        static_cast<Events*>(u)->add("C packet " + std::to_string(h->length));
    }
    static void cbClose(void* u, SInt32) { static_cast<Events*>(u)->add("C close"); }
};

TEST(ZelkZtcp, PacketLayout) {
    PacketPtr p(ZGH_MakePacket(kZTCP_CTRL_RUN_COMMAND, 0, "abc", 3, 1));
    ASSERT_TRUE(p);
    const Bytes b = bytesOfPacket(p.get());
    ASSERT_EQ(b.size(), 20u);  // 16 + 3 + the checksum byte
    EXPECT_EQ(b, ztcptest::packet(ctrl("runc"), bytesOf("abc"), 1));
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), bytesOf("PCTZ"));
    EXPECT_EQ(Bytes(b.begin() + 6, b.begin() + 10), bytesOf("cnur"));
    EXPECT_EQ(b[19], 0xD9);
    PacketPtr empty(ZGH_MakePacket(kZTCP_CTRL_GET_SYS_INFO, 5, nullptr, 0, 0));
    ASSERT_TRUE(empty);
    EXPECT_EQ(bytesOfPacket(empty.get()), ztcptest::packet(ctrl("sinf"), {}, 0, 5));
    EXPECT_EQ(ZGH_PacketSize(empty.get()), 16u);
    EXPECT_EQ(ZGH_MakePacket(kZTCP_CTRL_RUN_COMMAND, 0, nullptr, 3, 1), nullptr);
}

TEST(ZelkZtcp, DumpShowsEveryRowAndHidesControlBytes) {
    nktest::ZelkLogCapture log(2);
    const Bytes payload = {'A', 0x00, 0x07, 0x09, 0x0A, 0x0D, ' ', 0x1B, 0xFF, 'z'};
    PacketPtr p(ZGH_MakePacket(kZTCP_CTRL_LOG_TEXT, 0x1C, payload.data(), UInt32(payload.size()), 3));
    ZGH_PrintPacket(log.lm(), 2, p.get());
    const std::string t = log.text();
    EXPECT_NE(t.find("[SEQN] 0x03 [ZTCP] ZTCP [CTRL] logt [ERR] 0x1C\n[HVER] 0x01 [PLEN]   10 [H_CS] 0x"), std::string::npos) << t;
    EXPECT_NE(t.find("(csOK)"), std::string::npos);
    EXPECT_NE(t.find("[ERR] [0x1C] "), std::string::npos);
    // 27 bytes: one full row, then 11 bytes padded by five missing cells.
    EXPECT_NE(t.find("[00000000] 50 43 54 5A 01 1C 74 67 6F 6C 0A 00 00 00 03 "), std::string::npos) << t;
    EXPECT_NE(t.find(": PCTZ..tgol....."), std::string::npos) << t;
    EXPECT_NE(t.find("[00000010] 41 00 07 09 0A 0D 20 1B FF 7A "), std::string::npos) << t;
    EXPECT_NE(t.find(std::string(5 * 3, ' ') + ": A........z."), std::string::npos) << t;  // the checksum byte too
}

// A handler connected to the simulated device.
class ZelkZtcpDevice : public ::testing::Test {
protected:
    void SetUp() override {
        h = ZGH_Create(nullptr);
        ASSERT_NE(h, nullptr);
        ZGH_SetName(h, 4);
        std::thread accept([&] { device.acceptHost(); });
        ASSERT_EQ(ZGH_ConnectAsync(h, "127.0.0.1", device.port(), &events, Events::cbConnect, Events::cbReceive,
                                   Events::cbClose, &events),
                  0);
        accept.join();
    }
    void TearDown() override { ZGH_Delete(&h); }

    ztcptest::DeviceSim device;
    Events events;
    iZelk_ZtcpHandler* h = nullptr;
};

TEST_F(ZelkZtcpDevice, CommandsAndTheirResponses) {
    device.setRunReply("fail me", 5);
    device.setRunReply("answer", 0, bytesOf("42"));
    Bytes info(1088);
    for (size_t i = 0; i < info.size(); ++i) info[i] = UInt8(i);
    device.setSysInfo(info);

    tZTCP_header* r = nullptr;
    ASSERT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "fail me", 7, &r, 60000), 0);
    PacketPtr first(r);
    EXPECT_EQ(r->error, 5);
    EXPECT_EQ(r->seq, 1);
    EXPECT_EQ(UInt32{r->length}, 0u);
    ASSERT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "answer", 6, &r, 60000), 0);
    PacketPtr second(r);
    EXPECT_EQ(r->seq, 2);
    EXPECT_STREQ(reinterpret_cast<const char*>(r + 1), "42");  // terminated after the payload
    ASSERT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_GET_SYS_INFO, nullptr, 0, &r, 60000), 0);
    PacketPtr third(r);
    ASSERT_EQ(UInt32{r->length}, 1088u);
    EXPECT_EQ(Bytes(reinterpret_cast<UInt8*>(r + 1), reinterpret_cast<UInt8*>(r + 1) + 1088), info);
    const UInt8 eight = 8;
    ASSERT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_GET_CB_INFO, &eight, 1, &r, 60000), 0);
    std::free(r);
    // Without a response wanted the seq is 0 and nothing is awaited.
    ASSERT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "x", 1, nullptr, 60000), 0);

    ASSERT_TRUE(device.waitForPackets(5));
    const auto got = device.received();
    EXPECT_EQ(got[0].control, ctrl("runc"));
    EXPECT_EQ(got[0].text(), "fail me");
    EXPECT_TRUE(got[0].headerOk && got[0].payloadOk);
    EXPECT_EQ(got[0].version, 1);
    EXPECT_EQ(got[2].control, ctrl("sinf"));
    EXPECT_EQ(got[3].payload, Bytes{8});
    EXPECT_EQ(got[4].seq, 0);
    EXPECT_EQ(ZGH_SentTotal(h), 5u * 16 + 7 + 1 + 6 + 1 + 1 + 1 + 1 + 1);
    EXPECT_STREQ(ZGH_PeerName(h), ("127.0.0.1:" + std::to_string(device.port())).c_str());
}

TEST_F(ZelkZtcpDevice, SequenceNumbersSkipZero) {
    for (int i = 1; i <= 256; ++i) {
        tZTCP_header* r = nullptr;
        ASSERT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "n", 1, &r, 60000), 0);
        EXPECT_EQ(r->seq, i <= 255 ? i : 1);
        std::free(r);
    }
}

TEST_F(ZelkZtcpDevice, DevicePacketsReachTheOwnerInOrder) {
    ASSERT_TRUE(waitFor([&] { return events.count() >= 2; }));
    ASSERT_TRUE(device.send(ctrl("logt"), bytesOf("line one")));
    ASSERT_TRUE(device.send(ctrl("ctfg"), {}));
    // hctr is answered later by the owner with a 516-byte payload of the same seq.
    std::thread owner([&] {
        waitFor([&] { return events.count() >= 8; });
        const Bytes answer(516, 0x33);
        EXPECT_EQ(ZGH_SendResponse(h, 1, 0, answer.data(), 516), 0);
    });
    const auto reply = device.request(ctrl("hctr"), bytesOf("press the button"));
    owner.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->control, ctrl("rsps"));
    EXPECT_EQ(reply->seq, 1);
    EXPECT_EQ(reply->payload, Bytes(516, 0x33));
    device.closeConnection();
    ASSERT_TRUE(waitFor([&] { return events.count() == 10; }));
    EXPECT_EQ(events.list(), (std::vector<std::string>{"C connect 4", "L connect 4", "C packet 8", "L logt 4 line one",
                                                       "C packet 0", "L ctfg 4 -", "C packet 16",
                                                       "L hctr 4 press the button", "C close", "L close 4"}));
    EXPECT_FALSE(ZGH_IsRunning(h));
}

// A listener that answers a device request by asking the device in turn: the reply it
// waits for is taken on the receive thread, so the wait on the dispatch thread ends.
TEST(ZelkZtcp, CommandFromAnEventGetsItsReply) {
    struct Asker : iZelk_ZtcpHandlerEventSink {
        iZelk_ZtcpHandler* h = nullptr;
        std::atomic<int> result{-1};
        std::atomic<int> code{-1};
        void OnZhConnect(SInt32) override {}
        void OnZhReceive(SInt32, const tZTCP_header* hdr, const UInt8*) override {
            tZTCP_header* r = nullptr;
            const SInt32 err = ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "probe", 5, &r, 60000);
            if (r) code = r->error;
            std::free(r);
            result = err;
            ZGH_SendResponse(h, hdr->seq, 0, nullptr, 0);
        }
        void OnZhClose(SInt32) override {}
    } asker;
    ztcptest::DeviceSim device;
    device.setRunReply("probe", 7);
    asker.h = ZGH_Create(nullptr);
    std::thread accept([&] { device.acceptHost(); });
    ASSERT_EQ(ZGH_ConnectAsync(asker.h, "127.0.0.1", device.port(), &asker, nullptr, nullptr, nullptr, nullptr), 0);
    accept.join();
    const auto reply = device.request(ctrl("ctfg"), {});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->seq, 1);
    EXPECT_EQ(asker.result, 0);
    EXPECT_EQ(asker.code, 7);
    ZGH_Delete(&asker.h);
}

TEST_F(ZelkZtcpDevice, NoReplyTimesOutAndTheLateOneIsFreed) {
    device.setSilent("mute");
    tZTCP_header* r = reinterpret_cast<tZTCP_header*>(1);
    EXPECT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "mute", 4, &r, 30), 28);
    EXPECT_EQ(r, nullptr);
    // The device answers late; the handler drops it (a leak would show at exit).
    ASSERT_TRUE(device.send(ctrl("rsps"), bytesOf("late"), 1, 0));
    ASSERT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "next", 4, &r, 60000), 0);
    EXPECT_EQ(r->seq, 2);
    std::free(r);

    // A second command waits for the first and gives up at its own time. The first
    // waits until the device answers it, so a slow machine cannot let the second in.
    std::atomic<SInt32> firstResult{-1};
    std::thread first([&] { firstResult = ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "mute", 4, &r, 60000); });
    EXPECT_TRUE(device.waitForPackets(3));
    tZTCP_header* r2 = nullptr;
    EXPECT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "x", 1, &r2, 20), 28);
    EXPECT_EQ(device.received().size(), 3u);  // the second was never sent
    EXPECT_TRUE(device.send(ctrl("rsps"), {}, 3, 0));
    first.join();
    EXPECT_EQ(firstResult, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->seq, 3);
    std::free(r);
}

TEST_F(ZelkZtcpDevice, ClosingEndsAWaitingCommand) {
    device.setSilent("mute");
    std::thread closer([&] {
        device.waitForPackets(1);
        device.closeConnection();
    });
    tZTCP_header* r = nullptr;
    EXPECT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "mute", 4, &r, 60000), 28);
    closer.join();
    EXPECT_TRUE(waitFor([&] { return !ZGH_IsRunning(h); }));
    EXPECT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "x", 1, &r, 60000), 116);
}

TEST(ZelkZtcp, DeletedFromItsOwnCloseEvent) {
    ztcptest::DeviceSim device;
    Events events;
    iZelk_ZtcpHandler* h = ZGH_Create(nullptr);
    events.deleteOnClose = &h;
    std::thread accept([&] { device.acceptHost(); });
    ASSERT_EQ(ZGH_ConnectAsync(h, "127.0.0.1", device.port(), &events, nullptr, nullptr, nullptr, nullptr), 0);
    accept.join();
    device.closeConnection();
    EXPECT_TRUE(waitFor([&] { return events.deleted.load(); }));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(events.list(), (std::vector<std::string>{"L connect -1", "L close -1"}));
}

// A handler on a descriptor accepted from a raw peer.
class ZelkZtcpRaw : public ::testing::Test {
protected:
    void SetUp() override {
        h = ZGH_Create(log.lm());
        ASSERT_NE(h, nullptr);
        peer = nettest::rawConnect(listener.port);
        ASSERT_GE(peer, 0);
        ASSERT_EQ(ZGH_AppendAsync(h, listener.accept(), &events, nullptr, nullptr, nullptr, nullptr), 0);
        ASSERT_TRUE(waitFor([&] { return events.count() == 1; }));
    }
    void TearDown() override {
        ZGH_Delete(&h);
        close(peer);
    }
    bool sendBytes(const Bytes& b) { return nettest::sendAll(peer, b); }

    nktest::ZelkLogCapture log{0};
    nettest::RawListener listener;
    int peer = -1;
    Events events;
    iZelk_ZtcpHandler* h = nullptr;
};

TEST_F(ZelkZtcpRaw, PartialHeadersAndGarbageAreSurvived) {
    const Bytes p = ztcptest::packet(ctrl("logt"), bytesOf("slow"), 0);
    for (UInt8 byte : p) {
        ASSERT_TRUE(sendBytes({byte}));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Bytes garbage = bytesOf("xxPCT");
    garbage.insert(garbage.end(), 20, 0xEE);
    const Bytes p2 = ztcptest::packet(ctrl("logt"), bytesOf("after garbage"), 0);
    garbage.insert(garbage.end(), p2.begin(), p2.end());
    ASSERT_TRUE(sendBytes(garbage));
    ASSERT_TRUE(waitFor([&] { return events.count() == 3; }));
    EXPECT_EQ(events.list()[1], "L logt -1 slow");
    EXPECT_EQ(events.list()[2], "L logt -1 after garbage");
}

TEST_F(ZelkZtcpRaw, ChecksumFaultsAreAnsweredAndTheNextPacketGoesThrough) {
    struct Case {
        const char* what;
        Bytes bad;
        bool answered;
        UInt8 seq;
    } cases[] = {
        {"header checksum", ztcptest::packet(ctrl("ctfg"), {}, 9, 0, 1), true, 9},
        {"payload checksum", ztcptest::packet(ctrl("ctfs"), {1, 5}, 10, 0, 0, 1), true, 10},
        {"damaged response", ztcptest::packet(ctrl("rsps"), {}, 11, 0, 1), false, 0},
    };
    size_t expected = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(sendBytes(c.bad));
        ASSERT_TRUE(sendBytes(ztcptest::packet(ctrl("logt"), bytesOf(c.what), 0)));
        if (c.answered) {
            ztcptest::Packet reply;
            ASSERT_TRUE(ztcptest::readPacket(peer, reply));
            EXPECT_EQ(reply.control, ctrl("rsps"));
            EXPECT_EQ(reply.error, 22);
            EXPECT_EQ(reply.seq, c.seq);
            EXPECT_TRUE(reply.payload.empty());
            EXPECT_TRUE(reply.headerOk);
        }
        ++expected;
        ASSERT_TRUE(waitFor([&] { return events.count() == expected; }));
        EXPECT_EQ(events.list().back(), "L logt -1 " + std::string(c.what));
    }
    EXPECT_TRUE(ZGH_IsRunning(h));
    // Nothing else was sent: the damaged response got no answer.
    pollfd pf{peer, POLLIN, 0};
    EXPECT_EQ(poll(&pf, 1, 20), 0);
}

TEST_F(ZelkZtcpRaw, LengthOverTheLimitEndsTheLink) {
    ZGH_SetMaxPayload(h, 64);
    ASSERT_TRUE(sendBytes(ztcptest::packet(ctrl("logt"), Bytes(64, 'a'), 0)));  // at the limit: fine
    ASSERT_TRUE(waitFor([&] { return events.count() == 2; }));
    ASSERT_TRUE(sendBytes(ztcptest::packet(ctrl("logt"), {}, 0, 0, 0, 0, 65)));
    EXPECT_TRUE(nettest::seesEof(peer));
    EXPECT_TRUE(waitFor([&] { return events.count() == 3; }));
    EXPECT_EQ(events.list().back(), "L close -1");
    EXPECT_FALSE(ZGH_IsRunning(h));
}

TEST_F(ZelkZtcpRaw, DefaultLimitRefusesAHugeLength) {
    // 4 GiB announced: nothing of that size is ever allocated.
    ASSERT_TRUE(sendBytes(ztcptest::packet(ctrl("logt"), {}, 0, 0, 0, 0, 0xFFFFFFFFll)));
    EXPECT_TRUE(nettest::seesEof(peer));
    EXPECT_TRUE(waitFor([&] { return !ZGH_IsRunning(h); }));
}

TEST_F(ZelkZtcpRaw, CloseMidPacket) {
    const Bytes p = ztcptest::packet(ctrl("logt"), Bytes(100, 'q'), 0);
    ASSERT_TRUE(sendBytes(Bytes(p.begin(), p.begin() + 60)));
    shutdown(peer, SHUT_WR);
    ASSERT_TRUE(waitFor([&] { return events.count() == 2; }));
    EXPECT_EQ(events.list(), (std::vector<std::string>{"L connect -1", "L close -1"}));
}

TEST(ZelkZtcp, NullHandlerAndArguments) {
    EXPECT_EQ(ZGH_SetName(nullptr, 1), 17);
    EXPECT_EQ(ZGH_SendCommand(nullptr, kZTCP_CTRL_RUN_COMMAND, "a", 1, nullptr, 10), 17);
    EXPECT_EQ(ZGH_Close(nullptr), 17);
    EXPECT_FALSE(ZGH_IsRunning(nullptr));
    EXPECT_EQ(ZGH_PeerName(nullptr), nullptr);
    EXPECT_EQ(ZGH_SentTotal(nullptr), 0u);
    iZelk_ZtcpHandler* h = ZGH_Create(nullptr);
    EXPECT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, nullptr, 1, nullptr, 10), 17);
    EXPECT_EQ(ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "a", 1, nullptr, 10), 116);  // not connected
    EXPECT_EQ(ZGH_Connect(h, "127.0.0.1", nettest::freePort()), 112);
    ZGH_Delete(&h);
    EXPECT_EQ(h, nullptr);
}

// Run under ThreadSanitizer by make tsan: commands from several threads while the
// device pushes log lines, and replies racing their time-outs.
TEST(ZelkZtcpConcurrency, CommandsLogLinesAndRacingReplies) {
    ztcptest::DeviceSim device;
    Events events;
    iZelk_ZtcpHandler* h = ZGH_Create(nullptr);
    std::thread accept([&] { device.acceptHost(); });
    ASSERT_EQ(ZGH_ConnectAsync(h, "127.0.0.1", device.port(), &events, nullptr, nullptr, nullptr, nullptr), 0);
    accept.join();
    std::atomic<int> ok{0}, timedOut{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                tZTCP_header* r = nullptr;
                // Time-outs of a few milliseconds race the replies; either way nothing leaks.
                const SInt32 err =
                    ZGH_SendCommand(h, kZTCP_CTRL_RUN_COMMAND, "go", 2, &r, (i % 4 == 0) ? 2 : 60000);
                if (err == 0) ++ok;
                else if (err == 28) ++timedOut;
                std::free(r);
                (void)t;
            }
        });
    for (int i = 0; i < 100; ++i) device.send(ctrl("logt"), bytesOf("tick"));
    for (auto& s : senders) s.join();
    EXPECT_EQ(ok + timedOut, 160);
    EXPECT_GE(ok.load(), 120);
    EXPECT_TRUE(waitFor([&] { return events.count() == 101; }));
    ZGH_Delete(&h);
}

}  // namespace
