// The socket loops of the tool's build of the library, over TCP on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net_test_util.h"
#include "nk_socket.h"

using namespace nettest;

namespace {

// Every event of a connection in order, with the receive loop's state as each saw it.
struct Connection : INK_socketCallback {
    CNK_socket* sock = nullptr;
    std::mutex m;
    std::vector<std::string> events;
    std::string data;
    std::atomic<int> closes{0};
    void add(const std::string& e) {
        std::lock_guard<std::mutex> l(m);
        events.push_back(e);
    }
    void onConnect(u32 name) override { add("connect " + std::to_string(name)); }
    u16 onReceive(u32 name) override {
        char buf[256];
        size_t len = sizeof(buf);
        const u16 rc = sock->Recv(buf, &len, false);
        if (rc) return rc;
        std::lock_guard<std::mutex> l(m);
        data.append(buf, len);
        events.push_back("receive " + std::to_string(name) + (sock->isRunning() ? " running" : " idle"));
        // A non-zero code ends the loop.
        return data.find("stop") != std::string::npos ? kNKErr_invalidStatus : kNKErr_OK;
    }
    void onClose(u32 name) override {
        add("close " + std::to_string(name));
        ++closes;
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> l(m);
        return events;
    }
};

struct Listener : INK_serverSocketCallback {
    CNK_serverSocket* srv = nullptr;
    std::mutex m;
    std::vector<int> accepted;
    std::vector<std::thread::id> threads;
    std::atomic<int> accepts{0}, closes{0};
    u16 refuseFrom = 2;  // the accept with this number (from 1) ends the loop
    u16 onAccept(u32) override {
        const int fd = srv->Accept();
        std::lock_guard<std::mutex> l(m);
        accepted.push_back(fd);
        threads.push_back(std::this_thread::get_id());
        return ++accepts >= refuseFrom ? kNKErr_invalidStatus : kNKErr_OK;
    }
    void onCloseServer(u32) override {
        std::lock_guard<std::mutex> l(m);
        threads.push_back(std::this_thread::get_id());
        ++closes;
    }
    ~Listener() override {
        for (int fd : accepted)
            if (fd > 0) close(fd);
    }
};

}  // namespace

TEST(MorvellSocket, ReceiveLoopTellsConnectReceiveAndCloseInOrder) {
    RawListener listener;
    CNK_socket sock;
    sock.setSocketName(31);
    Connection c;
    c.sock = &sock;
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, &c), kNKErr_OK);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    // The connect notice runs on a thread of its own and may overlap the first bytes.
    ASSERT_TRUE(waitFor([&] { return !c.snapshot().empty(); }));
    ASSERT_TRUE(sendAll(peer, "abc", 3));
    ASSERT_TRUE(waitFor([&] { return c.snapshot().size() >= 2; }));
    ASSERT_TRUE(sendAll(peer, "stop", 4));
    ASSERT_TRUE(waitFor([&] { return c.closes.load() == 1; }));
    ASSERT_TRUE(waitFor([&] { return !sock.isRunning(); }));
    const std::vector<std::string> ev = c.snapshot();
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(ev.front(), "connect 31");
    EXPECT_EQ(ev[1], "receive 31 running");
    EXPECT_EQ(ev.back(), "close 31");
    EXPECT_EQ(c.data, "abcstop");
    // The loop shut the connection down: the peer sees its end.
    char b;
    EXPECT_EQ(recv(peer, &b, 1, 0), 0);
    close(peer);
}

TEST(MorvellSocket, CloseEndsTheLoopAndAPeersCloseDoesToo) {
    RawListener listener;
    for (bool byPeer : {false, true}) {
        SCOPED_TRACE(byPeer ? "peer closes" : "owner closes");
        CNK_socket sock;
        Connection c;
        c.sock = &sock;
        ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, &c), kNKErr_OK);
        const int peer = listener.accept();
        ASSERT_TRUE(waitFor([&] { return !c.snapshot().empty(); }));
        if (byPeer) close(peer);
        else sock.Close();
        ASSERT_TRUE(waitFor([&] { return c.closes.load() == 1; }));
        ASSERT_TRUE(waitFor([&] { return !sock.isRunning(); }));
        EXPECT_EQ(c.snapshot().front().rfind("connect", 0), 0u);
        if (!byPeer) close(peer);
    }
}

TEST(MorvellSocket, AcceptLoopHandsConnectionsOverAndClosesOnItsOwnThread) {
    CNK_serverSocket srv;
    Listener l;
    l.srv = &srv;
    const u16 port = freePort();
    ASSERT_EQ(srv.Launch(port, &l), kNKErr_OK);
    const int a = rawConnect(port);
    ASSERT_TRUE(waitFor([&] { return l.accepts.load() == 1; }));
    EXPECT_EQ(l.closes, 0);
    const int b = rawConnect(port);  // the second accept's code ends the loop
    ASSERT_TRUE(waitFor([&] { return l.closes.load() == 1; }));
    {
        std::lock_guard<std::mutex> g(l.m);
        ASSERT_EQ(l.accepted.size(), 2u);
        EXPECT_GT(l.accepted[0], 0);
        EXPECT_GT(l.accepted[1], 0);
        ASSERT_EQ(l.threads.size(), 3u);
        EXPECT_EQ(l.threads[2], l.threads[0]);  // onCloseServer on the accept thread
        EXPECT_NE(l.threads[0], std::this_thread::get_id());
    }
    // The listener was forgotten: a new launch takes another one, and the first hears nothing more.
    Listener second;
    second.srv = &srv;
    ASSERT_TRUE(waitFor([&] { return srv.Launch(port, &second) == kNKErr_OK; }));
    const int c = rawConnect(port);
    ASSERT_TRUE(waitFor([&] { return second.accepts.load() == 1; }));
    EXPECT_EQ(l.accepts, 2);
    srv.Close();
    ASSERT_TRUE(waitFor([&] { return second.closes.load() == 1; }));
    for (int fd : {a, b, c}) close(fd);
}

TEST(MorvellSocketDeathTest, ThreadEntriesWithoutContextAreABrokenInvariant) {
    EXPECT_DEATH(_client_socket_thread_code(nullptr), "ctx");
    EXPECT_DEATH(_serverSocket_thread(nullptr), "ctx");
}
