#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "net_test_util.h"
#include "nk_socket.h"

using namespace nettest;

namespace {

// Records the events of one connection; onReceive reads what is ready.
struct Recorder : INK_socketCallback {
    CNK_socket* sock = nullptr;
    std::mutex m;
    std::vector<std::string> events;
    std::string data;
    std::atomic<bool> runningDuringClose{false};
    std::atomic<bool> closed{false};
    std::atomic<int> closeDelayMs{0};

    void add(const std::string& e) {
        std::lock_guard<std::mutex> l(m);
        events.push_back(e);
    }
    void onConnect(u32 name) override { add("connect " + std::to_string(name)); }
    u16 onReceive(u32) override {
        char buf[256];
        size_t len = sizeof(buf);
        const u16 rc = sock->Recv(buf, &len, false);
        if (rc == 0) {
            std::lock_guard<std::mutex> l(m);
            data.append(buf, len);
        }
        return rc;
    }
    void onClose(u32 name) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(closeDelayMs.load()));
        runningDuringClose = sock->isRunning();
        add("close " + std::to_string(name));
        closed = true;
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> l(m);
        return events;
    }
    std::string received() {
        std::lock_guard<std::mutex> l(m);
        return data;
    }
};

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace

TEST(Socket, SynchronousConnectSendsAndReceivesOnTheCallersThread) {
    RawListener listener;
    CNK_socket sock;
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, nullptr), 0);
    EXPECT_TRUE(sock.isRunning());
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(std::string(sock.getPeerName()), "127.0.0.1:" + std::to_string(listener.port));

    ASSERT_EQ(sock.Send("hello", 5), 0);
    const Bytes got = recvN(peer, 5);
    EXPECT_EQ(std::string(got.begin(), got.end()), "hello");

    // Without wait-all, the read returns what is there and says how much.
    ASSERT_TRUE(sendAll(peer, "0123456789", 10));
    ASSERT_TRUE(waitFor([&] {
        pollfd p{peer, POLLOUT, 0};
        return poll(&p, 1, 0) == 1;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    char buf[100];
    size_t len = sizeof(buf);
    ASSERT_EQ(sock.Recv(buf, &len, false), 0);
    EXPECT_EQ(std::string(buf, len), "0123456789");

    // With wait-all it collects a message that comes in pieces.
    std::thread writer([&] {
        sendAll(peer, "abc", 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        sendAll(peer, "defg", 4);
    });
    len = 7;
    ASSERT_EQ(sock.Recv(buf, &len, true), 0);
    writer.join();
    EXPECT_EQ(std::string(buf, 7), "abcdefg");

    // A peer that closes is seen as socketClosed, without any signal.
    close(peer);
    len = 4;
    EXPECT_EQ(sock.Recv(buf, &len, true), kNKErr_socketClosed);
    sock.Close();
    EXPECT_FALSE(sock.isRunning());
}

TEST(Socket, ConnectFailuresLeaveTheObjectInactive) {
    const uint16_t deadPort = freePort();
    struct Case {
        const char* address;
        uint16_t port;
        u16 code;
    } cases[] = {
        {nullptr, 1234, kNKErr_invalidParam},
        {"127.0.0.1", 0, kNKErr_invalidParam},
        {"127.0.0.1", deadPort, kNKErr_socketConnectionFailed},
        {"no-such-host.invalid", 1234, kNKErr_socketInvalidAddress},
    };
    testing::internal::CaptureStderr();
    CNK_socket sock;  // one object for all: a failure leaves it ready for the next try
    const size_t fdsBefore = openDescriptors();
    for (const Case& c : cases) {
        EXPECT_EQ(sock.Connect(c.address, c.port, nullptr), c.code) << (c.address ? c.address : "null");
        EXPECT_FALSE(sock.isRunning());
        EXPECT_EQ(openDescriptors(), fdsBefore);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"address!=NULL\""), std::string::npos);
    EXPECT_NE(err.find("\"port>0\""), std::string::npos);
}

TEST(Socket, ReconnectAfterAFailedRecvClosesTheOldDescriptor) {
    RawListener listener;
    CNK_socket sock;
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, nullptr), 0);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    const size_t fdsConnected = openDescriptors();
    close(peer);
    char buf[4];
    size_t len = sizeof(buf);
    testing::internal::CaptureStderr();
    EXPECT_EQ(sock.Recv(buf, &len, true), kNKErr_socketClosed);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(sock.isRunning());

    // The failed connection is idle, so the object connects again; its old descriptor must go.
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, nullptr), 0);
    const int peer2 = listener.accept();
    ASSERT_GE(peer2, 0);
    EXPECT_EQ(openDescriptors(), fdsConnected);  // the new peer replaces the closed one
    ASSERT_EQ(sock.Send("x", 1), 0);
    EXPECT_EQ(recvN(peer2, 1).size(), 1u);
    sock.Close();
    close(peer2);
}

TEST(Socket, AppendRefusesWhatItCannotServe) {
    Recorder rec;
    CNK_socket sock;
    rec.sock = &sock;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sock.Append(-1, &rec), kNKErr_invalidParam);
    RawListener listener;
    const int client = rawConnect(listener.port);
    const int accepted = listener.accept();
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(sock.Append(accepted, nullptr), kNKErr_invalidStatus);
    EXPECT_FALSE(sock.isRunning());
    // Any other negative descriptor is taken, but its receive thread refuses it and the link ends.
    EXPECT_EQ(sock.Append(-5, &rec), 0);
    EXPECT_TRUE(waitFor([&] { return !sock.isRunning(); }, 60000));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"skt!=-1\""), std::string::npos);
    EXPECT_NE(err.find("\"checkCallback\""), std::string::npos);
    EXPECT_NE(err.find("\"_socket>-1\""), std::string::npos);
    // A refused descriptor stays the caller's and still works.
    EXPECT_TRUE(sendAll(accepted, "ok", 2));
    EXPECT_EQ(recvN(client, 2).size(), 2u);
    close(accepted);
    close(client);
}

TEST(Socket, CallbackConnectionDeliversConnectReceiveCloseInOrder) {
    RawListener listener;
    Recorder rec;
    CNK_socket sock;
    rec.sock = &sock;
    rec.closeDelayMs = 100;
    ASSERT_EQ(sock.Connect("localhost", listener.port, &rec), 0);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(sendAll(peer, "ping", 4));
    ASSERT_TRUE(waitFor([&] { return rec.received() == "ping"; }));

    testing::internal::CaptureStderr();
    close(peer);
    // Idle is reported only once the close notification has finished.
    ASSERT_TRUE(waitFor([&] { return !sock.isRunning(); }));
    EXPECT_TRUE(rec.closed);
    EXPECT_TRUE(rec.runningDuringClose);
    // The peer's close ends the link without a failure report.
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("0xE09C"), std::string::npos) << err;
    const std::vector<std::string> expected = {"connect 4294967295", "close 4294967295"};
    EXPECT_EQ(rec.snapshot(), expected);
}

TEST(Socket, AdoptedDescriptorAboveSelectLimitWorksAndCloseEndsItPromptly) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 2048 && lim.rlim_max >= 2048) {
        lim.rlim_cur = 2048;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur <= 1500) GTEST_SKIP() << "descriptor limit too low";

    RawListener listener;
    const int client = rawConnect(listener.port);
    const int accepted = listener.accept();
    ASSERT_GE(accepted, 0);
    const int high = dup2(accepted, 1500);
    ASSERT_EQ(high, 1500);
    close(accepted);

    Recorder rec;
    CNK_socket sock;
    rec.sock = &sock;
    sock.setSocketName(7);
    ASSERT_EQ(sock.Append(high, &rec), 0);
    ASSERT_TRUE(sendAll(client, "high", 4));
    ASSERT_TRUE(waitFor([&] { return rec.received() == "high"; }));

    // Close from the owner: the peer sees the end and the owner hears onClose.
    sock.Close();
    EXPECT_TRUE(seesEof(client));
    ASSERT_TRUE(waitFor([&] { return !sock.isRunning(); }));
    const std::vector<std::string> expected = {"connect 7", "close 7"};
    EXPECT_EQ(rec.snapshot(), expected);
    close(client);

    // The object takes the next connection.
    const int client2 = rawConnect(listener.port);
    const int accepted2 = listener.accept();
    ASSERT_EQ(sock.Append(accepted2, &rec), 0);
    ASSERT_TRUE(sendAll(client2, "again", 5));
    ASSERT_TRUE(waitFor([&] { return rec.received() == "highagain"; }));
    close(client2);
    ASSERT_TRUE(waitFor([&] { return !sock.isRunning(); }));
    EXPECT_EQ(rec.snapshot().size(), 4u);
}

TEST(Socket, ConnectOnLiveConnectionFailsAndClosesIt) {
    RawListener listener;
    Recorder rec;
    CNK_socket sock;
    rec.sock = &sock;
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, &rec), 0);
    const int peer = listener.accept();
    testing::internal::CaptureStderr();
    EXPECT_EQ(sock.Connect("127.0.0.1", listener.port, &rec), kNKErr_invalidCondition);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"checkCondition\""), std::string::npos);
    EXPECT_TRUE(seesEof(peer));
    EXPECT_TRUE(waitFor([&] { return !sock.isRunning(); }));
    close(peer);
}

TEST(Socket, SendToClosedPeerFailsWithoutSignal) {
    signal(SIGPIPE, SIG_DFL);  // a broken pipe would end the test process
    RawListener listener;
    CNK_socket sock;
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, nullptr), 0);
    close(listener.accept());
    std::vector<char> big(1 << 20, 'x');
    testing::internal::CaptureStderr();
    u16 rc = 0;
    for (int i = 0; i < 20 && rc == 0; ++i) rc = sock.Send(big.data(), big.size());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(rc == kNKErr_socketSendFailed || rc == kNKErr_socketClosed) << rc;
    sock.Close();
}

TEST(Socket, CloseEndsASendBlockedByAPeerThatDoesNotRead) {
    RawListener listener;
    CNK_socket sock;
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, nullptr), 0);
    const int peer = listener.accept();  // never read
    std::vector<char> big(64 << 20, 'x');
    std::atomic<bool> done{false};
    u16 rc = 0;
    testing::internal::CaptureStderr();
    std::thread sender([&] {
        rc = sock.Send(big.data(), big.size());
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done);  // the socket buffers are full
    sock.Close();
    sender.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, kNKErr_socketClosed);
    EXPECT_FALSE(sock.isRunning());
    close(peer);
}

TEST(Socket, SendToAPeerThatStopsReadingGivesUpAfterTheStallBound) {
    RawListener listener;
    CNK_socket sock;
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, nullptr), 0);
    const int peer = listener.accept();  // never read
    std::vector<char> big(64 << 20, 'x');
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sock.Send(big.data(), big.size()), kNKErr_socketSendFailed);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(CNK_socket::kSendStallMsec));
    testing::internal::GetCapturedStderr();
    sock.Close();
    close(peer);
}

TEST(Socket, CheckAndCloseKeepsARecentlyActiveConnection) {
    RawListener listener;
    CNK_socket sock;
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, nullptr), 0);
    const int peer = listener.accept();
    sock.checkAndClose();
    EXPECT_TRUE(sock.isRunning());
    sock.Close();
    EXPECT_FALSE(sock.isRunning());
    close(peer);
}

// ---------------------------------------------------------------- server

namespace {

struct ServerOwner : INK_serverSocketCallback {
    CNK_serverSocket* server = nullptr;
    std::atomic<int> accepted{0};
    std::atomic<int> closes{0};
    u16 acceptResult = 0;
    std::vector<int> fds;
    std::mutex m;
    u16 onAccept(u32) override {
        const int fd = server->Accept();
        if (fd >= 0) {
            std::lock_guard<std::mutex> l(m);
            fds.push_back(fd);
            ++accepted;
        }
        return acceptResult;
    }
    void onCloseServer(u32) override { ++closes; }
    ~ServerOwner() override {
        for (int fd : fds) close(fd);
    }
};

}  // namespace

TEST(ServerSocket, LaunchAcceptsConnectionsAndCloseEndsTheLoop) {
    ServerOwner owner;
    CNK_serverSocket server;
    owner.server = &server;
    const uint16_t port = freePort();
    ASSERT_EQ(server.Launch(port, &owner), 0);

    int clients[3];
    for (int& c : clients) c = rawConnect(port);
    for (int c : clients) ASSERT_GE(c, 0);
    ASSERT_TRUE(waitFor([&] { return owner.accepted == 3; }));

    // Another listener on the same port is refused and left closed.
    {
        ServerOwner other;
        CNK_serverSocket second;
        other.server = &second;
        testing::internal::CaptureStderr();
        EXPECT_EQ(second.Launch(port, &other), kNKErr_socketBindError);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("0xE092"), std::string::npos);
        EXPECT_EQ(other.closes, 0);
    }

    server.Close();
    ASSERT_TRUE(waitFor([&] { return owner.closes == 1; }));
    EXPECT_LT(rawConnect(port), 0);  // nothing listens any more
    for (int c : clients) close(c);

    // It can be launched again.
    ASSERT_EQ(server.Launch(port, &owner), 0);
    const int c = rawConnect(port);
    ASSERT_TRUE(waitFor([&] { return owner.accepted == 4; }));
    close(c);
}

TEST(ServerSocket, AcceptedLinksProbeForAPeerThatVanishesWithoutAWord) {
    ServerOwner owner;
    CNK_serverSocket server;
    owner.server = &server;
    const uint16_t port = freePort();
    ASSERT_EQ(server.Launch(port, &owner), 0);
    const int client = rawConnect(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(waitFor([&] { return owner.accepted == 1; }));
    int fd = -1;
    {
        std::lock_guard<std::mutex> l(owner.m);
        fd = owner.fds.at(0);
    }
    auto option = [&](int level, int name) {
        int v = -1;
        socklen_t len = sizeof(v);
        EXPECT_EQ(getsockopt(fd, level, name, &v, &len), 0);
        return v;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    // A peer lost without a FIN is given up within a few minutes, not hours.
    const int idle = option(IPPROTO_TCP, TCP_KEEPIDLE);
    const int interval = option(IPPROTO_TCP, TCP_KEEPINTVL);
    const int probes = option(IPPROTO_TCP, TCP_KEEPCNT);
    EXPECT_GT(idle, 0);
    EXPECT_GT(interval, 0);
    EXPECT_GT(probes, 0);
    EXPECT_LE(idle + interval * probes, 300);
    close(client);
}

TEST(ServerSocket, LaunchRefusals) {
    testing::internal::CaptureStderr();
    {
        CNK_serverSocket server;
        EXPECT_EQ(server.Launch(0, nullptr), kNKErr_invalidParam);
        EXPECT_EQ(server.Launch(freePort(), nullptr), kNKErr_invalidPointer);
    }
    // A second Launch on a running listener refuses and closes it.
    ServerOwner owner;
    CNK_serverSocket server;
    owner.server = &server;
    const uint16_t port = freePort();
    ASSERT_EQ(server.Launch(port, &owner), 0);
    // Accept with no connection waiting fails at once instead of blocking the caller.
    EXPECT_EQ(server.Accept(), -1);
    EXPECT_EQ(server.Launch(port, &owner), kNKErr_invalidStatus);
    EXPECT_TRUE(waitFor([&] { return owner.closes == 1; }));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"port!=0\""), std::string::npos);
    EXPECT_NE(err.find("\"callback\""), std::string::npos);
    EXPECT_NE(err.find("\"!_thread.joinable()\""), std::string::npos);
    EXPECT_NE(err.find("\"skt>-1\""), std::string::npos);
}

TEST(ServerSocket, SocketsWorkWhenStandardInputIsClosed) {
    // Everything that opens a descriptor of its own is made while 0 is still taken. In a run of
    // the whole program an earlier test may have left 0 free: take it first, and give it back after.
    if (fcntl(0, F_GETFD) == -1) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
    }
    struct StdinBack {
        ~StdinBack() {
            if (fcntl(0, F_GETFD) == -1) {
                const int fd = open("/dev/null", O_RDONLY);
                (void)fd;
            }
        }
    } stdinBack;
    ServerOwner owner;
    CNK_serverSocket server;
    owner.server = &server;
    RawListener listener;
    CNK_socket sock;
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GT(client, 0);
    const uint16_t port = freePort();

    // The listener lands on descriptor 0: Close must still close it.
    close(0);
    ASSERT_EQ(server.Launch(port, &owner), 0);
    server.Close();
    ASSERT_TRUE(waitFor([&] { return owner.closes == 1; }));
    // Descriptor 0 itself, not the port: another test may bind the freed port at once.
    errno = 0;
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);

    // An accepted connection would land on 0. A fresh port: the first may have been taken meanwhile.
    const uint16_t port2 = freePort();
    close(0);
    ASSERT_EQ(server.Launch(port2, &owner), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port2);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_TRUE(waitFor([&] { return owner.accepted == 1; }));
    EXPECT_GT(owner.fds.at(0), 0);
    server.Close();
    ASSERT_TRUE(waitFor([&] { return owner.closes == 2; }));

    // A connection made by Connect would land on 0.
    close(0);
    ASSERT_EQ(sock.Connect("127.0.0.1", listener.port, nullptr), 0);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(sock.Send("z", 1), 0);
    EXPECT_EQ(recvN(peer, 1), Bytes{'z'});
    sock.Close();
    EXPECT_TRUE(seesEof(peer));
    close(peer);
    close(client);
}

TEST(ServerSocket, NonZeroOnAcceptEndsTheListener) {
    ServerOwner owner;
    CNK_serverSocket server;
    owner.server = &server;
    owner.acceptResult = kNKErr_invalidStatus;
    const uint16_t port = freePort();
    ASSERT_EQ(server.Launch(port, &owner), 0);
    testing::internal::CaptureStderr();
    const int c = rawConnect(port);
    ASSERT_TRUE(waitFor([&] { return owner.closes == 1; }));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(owner.accepted, 1);
    close(c);
}
