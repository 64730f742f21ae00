// Client and server sockets on loopback against plain POSIX peers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ZelkSocket.h"
#include "net_test_util.h"
#include "zelk_log_capture.h"

namespace {

using nettest::Bytes;
using nettest::waitFor;

// Records a connection's events; its receive function reads what waits and keeps it.
struct Recorder {
    iZelk_Socket* socket = nullptr;
    std::mutex mutex;
    std::vector<std::string> events;
    std::string received;
    std::atomic<SInt32> lastRecv{0};
    std::atomic<bool> deleteOnClose{false};
    std::atomic<bool> deleteOnReceive{false};
    std::atomic<bool> deleted{false};  // the handle is the loop's to clear; the test waits for this

    void add(const std::string& e) {
        std::lock_guard<std::mutex> hold(mutex);
        events.push_back(e);
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> hold(mutex);
        return events;
    }
    std::string data() {
        std::lock_guard<std::mutex> hold(mutex);
        return received;
    }
    static void onConnect(void* u, UInt32 name) { static_cast<Recorder*>(u)->add("connect " + std::to_string(name)); }
    static SInt32 onReceive(void* u, UInt32) {
        auto* r = static_cast<Recorder*>(u);
        char buf[4096];
        UInt32 size = sizeof(buf);
        const SInt32 err = ZSock_Recv(r->socket, buf, &size);
        r->lastRecv = err;
        if (err == 0) {
            std::lock_guard<std::mutex> hold(r->mutex);
            r->received.append(buf, size);
        }
        if (r->deleteOnReceive) {
            r->add("deleted");
            ZSock_Delete(&r->socket);
            r->deleted = true;
            return 0;
        }
        return err;
    }
    static void onClose(void* u, UInt32 name) {
        auto* r = static_cast<Recorder*>(u);
        r->add("close " + std::to_string(name));
        if (r->deleteOnClose) {
            ZSock_Delete(&r->socket);
            r->deleted = true;
        }
    }
};

SInt32 connectAsync(Recorder& r, UInt16 port, const char* host = "127.0.0.1") {
    return ZSock_ConnectAsync(r.socket, host, port, nullptr, Recorder::onConnect, Recorder::onReceive,
                              Recorder::onClose, &r);
}

bool isOpenDescriptor(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(ZelkSocket, ConnectLinesAndArguments) {
    nktest::ZelkLogCapture log;
    iZelk_Socket* s = ZSock_Create(log.lm());
    ASSERT_NE(s, nullptr);
    nettest::RawListener peer;
    EXPECT_EQ(ZSock_Connect(s, "127.0.0.1", 0), 17);
    EXPECT_EQ(ZSock_Connect(s, nullptr, peer.port), 17);
    EXPECT_EQ(ZSock_Connect(nullptr, "127.0.0.1", peer.port), 17);
    EXPECT_EQ(ZSock_Connect(s, "no-such-host.invalid", peer.port), 111);
    EXPECT_FALSE(log.contains("connecting"));  // nothing opened before the checks

    ASSERT_EQ(ZSock_Connect(s, "127.0.0.1", peer.port), 0);
    EXPECT_TRUE(log.contains("connecting: 127.0.0.1:" + std::to_string(peer.port) + "\n"));
    const int a = peer.accept();
    EXPECT_EQ(ZSock_Connect(s, "127.0.0.1", peer.port), 14);
    ZSock_Close(s);
    EXPECT_TRUE(nettest::seesEof(a));
    close(a);
    ASSERT_EQ(ZSock_Connect(s, "localhost", peer.port), 0);
    EXPECT_TRUE(log.contains("connecting: localhost [127.0.0.1:" + std::to_string(peer.port) + "]\n"));
    EXPECT_STREQ(ZSock_PeerName(s), ("127.0.0.1:" + std::to_string(peer.port)).c_str());
    EXPECT_EQ(ZSock_PeerName(nullptr), nullptr);
    EXPECT_FALSE(ZSock_IsRunning(nullptr));
    EXPECT_EQ(ZSock_SentTotal(nullptr), 0u);
    ZSock_Delete(&s);
    EXPECT_EQ(s, nullptr);
    ZSock_Delete(&s);  // a cleared handle is nothing to delete
}

TEST(ZelkSocket, RefusedConnectLeavesTheRecordReusable) {
    Recorder r;
    r.socket = ZSock_Create(nullptr);
    const UInt16 port = nettest::freePort();
    EXPECT_EQ(connectAsync(r, port), 112);
    EXPECT_FALSE(ZSock_IsRunning(r.socket));
    EXPECT_TRUE(r.seen().empty());
    nettest::RawListener peer;
    ASSERT_EQ(connectAsync(r, peer.port), 0);
    const int a = peer.accept();
    ASSERT_TRUE(nettest::sendAll(a, "hello", 5));
    EXPECT_TRUE(waitFor([&] { return r.data() == "hello"; }));
    close(a);
    EXPECT_TRUE(waitFor([&] { return r.seen().size() == 2; }));
    EXPECT_EQ(r.lastRecv, 116);
    EXPECT_FALSE(ZSock_IsRunning(r.socket));
    EXPECT_EQ(r.seen(), (std::vector<std::string>{"connect 0", "close 0"}));
    // An ended connection sends nothing and says so.
    EXPECT_EQ(ZSock_Send(r.socket, "x", 1, 1000), 116);
    ZSock_Delete(&r.socket);
}

TEST(ZelkSocket, SendsAllOfALargeBlockToASlowReader) {
    nettest::RawListener peer;
    iZelk_Socket* s = ZSock_Create(nullptr);
    ASSERT_EQ(ZSock_Connect(s, "127.0.0.1", peer.port), 0);  // a plain connection sends too
    const int a = peer.accept();
    Bytes block(4u << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<UInt8>(i * 31 + (i >> 12));
    Bytes got;
    std::thread reader([&] {
        for (;;) {
            Bytes part = nettest::recvN(a, 64 * 1024);
            if (part.empty()) break;
            got.insert(got.end(), part.begin(), part.end());
            if (got.size() >= block.size()) break;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    EXPECT_EQ(ZSock_Send(s, block.data(), static_cast<UInt32>(block.size()), 1000), 0);
    reader.join();
    EXPECT_TRUE(got == block);
    EXPECT_EQ(ZSock_SentTotal(s), block.size());
    EXPECT_EQ(ZSock_Send(s, nullptr, 1, 1000), 17);
    EXPECT_EQ(ZSock_Send(s, "x", 0, 1000), 17);
    ZSock_Close(s);
    EXPECT_EQ(ZSock_Send(s, "x", 1, 1000), 116);
    close(a);
    ZSock_Delete(&s);
}

TEST(ZelkSocket, SendLockNotHadInTimeIsATimeout) {
    nettest::RawListener peer;
    iZelk_Socket* s = ZSock_Create(nullptr);
    ASSERT_EQ(ZSock_Connect(s, "127.0.0.1", peer.port), 0);
    const int a = peer.accept();
    // A block far larger than the socket buffers holds the lock while nobody reads.
    Bytes big(32u << 20, 0x55);
    std::atomic<SInt32> first{-1};
    std::thread sender([&] { first = ZSock_Send(s, big.data(), static_cast<UInt32>(big.size()), 1000); });
    // Bytes at the peer while the sender is still inside its one call: it holds the lock.
    ASSERT_TRUE(waitFor([&] {
        pollfd p{a, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }));
    EXPECT_EQ(ZSock_Send(s, "y", 1, 20), 28);
    // Close wakes the blocked sender, which gives up on the ended connection.
    ZSock_Close(s);
    sender.join();
    EXPECT_EQ(first, 116);
    close(a);
    ZSock_Delete(&s);
}

TEST(ZelkSocket, CloseWakesTheLoopAndDeleteFromCallbacks) {
    nettest::RawListener peer;
    {
        Recorder r;
        r.socket = ZSock_Create(nullptr);
        ZSock_SetSktName(r.socket, 7);
        ASSERT_EQ(connectAsync(r, peer.port), 0);
        const int a = peer.accept();
        EXPECT_TRUE(ZSock_IsRunning(r.socket));
        ZSock_Close(r.socket);
        EXPECT_TRUE(waitFor([&] { return r.seen().size() == 2; }));
        EXPECT_EQ(r.seen(), (std::vector<std::string>{"connect 7", "close 7"}));
        EXPECT_TRUE(nettest::seesEof(a));
        close(a);
        ZSock_Delete(&r.socket);
    }
    {  // deleted from its own close callback: freed as the loop unwinds
        Recorder r;
        r.socket = ZSock_Create(nullptr);
        r.deleteOnClose = true;
        ASSERT_EQ(connectAsync(r, peer.port), 0);
        close(peer.accept());
        EXPECT_TRUE(waitFor([&] { return r.deleted.load(); }));
    }
    {  // deleted from its receive callback: no close event follows
        Recorder r;
        r.socket = ZSock_Create(nullptr);
        r.deleteOnReceive = true;
        ASSERT_EQ(connectAsync(r, peer.port), 0);
        const int a = peer.accept();
        nettest::sendAll(a, "z", 1);
        EXPECT_TRUE(nettest::seesEof(a));
        EXPECT_TRUE(waitFor([&] { return r.deleted.load(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // no close event must come
        EXPECT_EQ(r.seen(), (std::vector<std::string>{"connect 0", "deleted"}));
        close(a);
    }
}

TEST(ZelkSocket, AppendTakesAnAcceptedDescriptor) {
    nettest::RawListener listener;
    const int c = nettest::rawConnect(listener.port);
    const int fd = listener.accept();
    struct Sink : iZelk_SocketEventSink {
        void OnConnect(UInt32) override {}
        SInt32 OnReceive(UInt32) override { return 0; }
        void OnClose(UInt32) override {}
    } sink;
    Recorder r;
    r.socket = ZSock_Create(nullptr);
    EXPECT_EQ(ZSock_AppendAsync(r.socket, fd, &sink, nullptr, Recorder::onReceive, nullptr, &r), 17);
    EXPECT_TRUE(isOpenDescriptor(fd));  // refused before it was taken over
    EXPECT_EQ(ZSock_Append(r.socket, 0), 17);
    ASSERT_EQ(ZSock_AppendAsync(r.socket, fd, nullptr, Recorder::onConnect, Recorder::onReceive, Recorder::onClose,
                                &r),
              0);
    nettest::sendAll(c, "ping", 4);
    EXPECT_TRUE(waitFor([&] { return r.data() == "ping"; }));
    ASSERT_EQ(ZSock_Send(r.socket, "pong", 4, 1000), 0);
    EXPECT_EQ(nettest::recvN(c, 4), (Bytes{'p', 'o', 'n', 'g'}));
    // Delete from another thread while the loop runs: closes, waits, frees.
    ZSock_Delete(&r.socket);
    EXPECT_EQ(r.seen().back(), "close 0");
    EXPECT_TRUE(nettest::seesEof(c));
    close(c);
}

struct Server {
    iZelk_ServerSocket* server = ZSvrSock_Create(nullptr);
    std::mutex mutex;
    std::vector<int> accepted;
    std::atomic<bool> closeInCallback{false};
    std::atomic<bool> deleteInCallback{false};
    std::atomic<int> calls{0};
    std::atomic<bool> deleted{false};
    static SInt32 onAccept(void* u, UInt32) {
        auto* sv = static_cast<Server*>(u);
        ++sv->calls;
        const int fd = ZSvrSock_Accept(sv->server);
        {
            std::lock_guard<std::mutex> hold(sv->mutex);
            sv->accepted.push_back(fd);
        }
        if (sv->closeInCallback) ZSvrSock_Close(sv->server);
        if (sv->deleteInCallback) {
            ZSvrSock_Delete(&sv->server);
            sv->deleted = true;
        }
        return 0;
    }
    size_t count() {
        std::lock_guard<std::mutex> hold(mutex);
        return accepted.size();
    }
    ~Server() {
        ZSvrSock_Delete(&server);
        for (int fd : accepted)
            if (fd >= 0) close(fd);
    }
};

TEST(ZelkServerSocket, AcceptLoopHandsConnectionsOver) {
    Server sv;
    const UInt16 port = nettest::freePort();
    EXPECT_EQ(ZSvrSock_LaunchAsync(sv.server, 0, nullptr, Server::onAccept, &sv), 17);
    ASSERT_EQ(ZSvrSock_LaunchAsync(sv.server, port, nullptr, Server::onAccept, &sv), 0);
    EXPECT_TRUE(ZSvrSock_IsRunning(sv.server));
    EXPECT_EQ(ZSvrSock_GetPortNr(sv.server), port);
    EXPECT_EQ(ZSvrSock_LaunchAsync(sv.server, port, nullptr, Server::onAccept, &sv), 14);
    const int c1 = nettest::rawConnect(port), c2 = nettest::rawConnect(port);
    EXPECT_TRUE(waitFor([&] { return sv.count() == 2; }));
    // The accepted descriptor serves a client socket.
    iZelk_Socket* s = ZSock_Create(nullptr);
    ASSERT_EQ(ZSock_Append(s, sv.accepted[0]), 0);
    sv.accepted[0] = -1;
    ASSERT_EQ(ZSock_Send(s, "ab", 2, 1000), 0);
    EXPECT_EQ(nettest::recvN(c1, 2), (Bytes{'a', 'b'}));
    ZSock_Delete(&s);
    EXPECT_EQ(ZSvrSock_Close(sv.server), 0);
    EXPECT_FALSE(ZSvrSock_IsRunning(sv.server));
    EXPECT_EQ(ZSvrSock_GetPortNr(sv.server), port);  // the port stays
    EXPECT_EQ(nettest::rawConnect(port), -1);
    // Launched again on the same port.
    ASSERT_EQ(ZSvrSock_LaunchAsync(sv.server, port, nullptr, Server::onAccept, &sv), 0);
    const int c3 = nettest::rawConnect(port);
    EXPECT_TRUE(waitFor([&] { return sv.count() == 3; }));
    for (int c : {c1, c2, c3}) close(c);
}

TEST(ZelkServerSocket, BusyPortAndCloseOrDeleteFromItsOwnCallback) {
    nettest::RawListener busy;
    {
        Server sv;
        EXPECT_EQ(ZSvrSock_LaunchAsync(sv.server, busy.port, nullptr, Server::onAccept, &sv), 106);
        EXPECT_FALSE(ZSvrSock_IsRunning(sv.server));
        sv.closeInCallback = true;  // must not wait for its own thread
        const UInt16 port = nettest::freePort();
        ASSERT_EQ(ZSvrSock_LaunchAsync(sv.server, port, nullptr, Server::onAccept, &sv), 0);
        const int c = nettest::rawConnect(port);
        EXPECT_TRUE(waitFor([&] { return !ZSvrSock_IsRunning(sv.server) && sv.count() == 1; }));
        EXPECT_TRUE(waitFor([&] { return nettest::rawConnect(port) == -1; }));
        close(c);
    }
    {
        Server sv;
        sv.deleteInCallback = true;
        const UInt16 port = nettest::freePort();
        ASSERT_EQ(ZSvrSock_LaunchAsync(sv.server, port, nullptr, Server::onAccept, &sv), 0);
        const int c = nettest::rawConnect(port);
        EXPECT_TRUE(waitFor([&] { return sv.deleted.load(); }));
        EXPECT_TRUE(waitFor([&] { return nettest::rawConnect(port) == -1; }));
        close(c);
    }
}

TEST(ZelkServerSocket, ListenerWithoutLoopAcceptsAndCloses) {
    struct Sink : iZelk_ServerSocketEventSink {
        iZelk_ServerSocket* server = nullptr;
        std::atomic<int> fd{-1};
        SInt32 OnAccept(UInt32) override {
            fd = ZSvrSock_Accept(server);
            return 1;  // one connection, then the loop ends
        }
    } sink;
    iZelk_ServerSocket* sv = ZSvrSock_Create(nullptr);
    const UInt16 port = nettest::freePort();
    ASSERT_EQ(ZSvrSock_Launch(sv, port), 0);
    EXPECT_FALSE(ZSvrSock_IsRunning(sv));
    EXPECT_EQ(ZSvrSock_Launch(sv, port), 14);
    const int c = nettest::rawConnect(port);
    const int a = ZSvrSock_Accept(sv);
    EXPECT_GE(a, 0);
    EXPECT_EQ(ZSvrSock_Close(sv), 0);
    EXPECT_EQ(nettest::rawConnect(port), -1);  // the listener is closed, not left open
    close(a);
    close(c);
    // A sink's non-zero answer ends the accept loop.
    sink.server = sv;
    ASSERT_EQ(ZSvrSock_LaunchAsync(sv, port, &sink, nullptr, nullptr), 0);
    const int c2 = nettest::rawConnect(port);
    EXPECT_TRUE(waitFor([&] { return !ZSvrSock_IsRunning(sv); }));
    EXPECT_GE(sink.fd.load(), 0);
    close(sink.fd);
    close(c2);
    ZSvrSock_Delete(&sv);
    EXPECT_EQ(ZSvrSock_Close(nullptr), 17);
    EXPECT_EQ(ZSvrSock_GetPortNr(nullptr), 0);
}

// Run under ThreadSanitizer by make tsan.
TEST(ZelkSocketConcurrency, SendersAndDeleteWhileTheLoopRuns) {
    nettest::RawListener peer;
    for (int round = 0; round < 5; ++round) {
        Recorder r;
        r.socket = ZSock_Create(nullptr);
        ASSERT_EQ(connectAsync(r, peer.port), 0);
        const int a = peer.accept();
        std::atomic<bool> stop{false};
        std::thread echo([&] {
            char buf[4096];
            while (!stop) {
                pollfd p{a, POLLIN, 0};
                if (poll(&p, 1, 5) <= 0) continue;
                const ssize_t k = recv(a, buf, sizeof(buf), 0);
                if (k <= 0) break;
                nettest::sendAll(a, buf, static_cast<size_t>(k));
            }
        });
        std::vector<std::thread> senders;
        for (int t = 0; t < 4; ++t)
            senders.emplace_back([&] {
                for (int i = 0; i < 50; ++i) ZSock_Send(r.socket, "0123456789", 10, 1000);
            });
        for (auto& t : senders) t.join();
        EXPECT_TRUE(waitFor([&] { return r.data().size() == 4 * 50 * 10; }));
        ZSock_Delete(&r.socket);
        stop = true;
        echo.join();
        close(a);
    }
}

}  // namespace
