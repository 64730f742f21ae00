// Endpoints and listeners whose owners end them from inside their own
// callbacks, reconnect from their close handling, or run out of descriptors.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net_test_util.h"
#include "nk_csv.h"
#include "nk_file.h"
#include "nk_ntcp.h"
#include "nk_string.h"
#include "nk_test_util.h"

using namespace nettest;

namespace {

const u32 kPing = fourCC("ping");

size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

Bytes ping() {
    RawPacket p;
    p.ctrl = kPing;
    p.payload = {1, 2, 3};
    return p.bytes();
}

// Destroys its endpoint inside the chosen callback.
struct SelfDestroyer : INK_ntcpCallback {
    enum When { inConnect, inReceive, inClose };
    When when;
    CNK_ntcp* ep = nullptr;
    std::atomic<bool> destroyed{false};
    explicit SelfDestroyer(When w) : when(w) {}
    void end(When now) {
        if (now != when || !ep) return;
        CNK_ntcp* e = ep;
        ep = nullptr;
        delete e;
        destroyed = true;
    }
    void onNtcpConnect(u32) override { end(inConnect); }
    void onNtcpReceive(u32, const tNTCP_packet*) override { end(inReceive); }
    void onNtcpClose(u32) override { end(inClose); }
};

struct RawSelfDestroyer : INK_socketCallback {
    CNK_socket* sock = nullptr;
    std::atomic<bool> destroyed{false};
    void onConnect(u32) override {}
    u16 onReceive(u32) override {
        delete sock;
        destroyed = true;
        return 0;
    }
    void onClose(u32) override {}
};

}  // namespace

TEST(EndpointLifetime, OwnerMayDestroyTheEndpointInsideEachOfItsCallbacks) {
    const size_t threadsBefore = threadCount();
    for (auto when : {SelfDestroyer::inConnect, SelfDestroyer::inReceive, SelfDestroyer::inClose}) {
        RawListener listener;
        SelfDestroyer owner(when);
        owner.ep = new CNK_ntcp;
        CNK_ntcp* ep = owner.ep;
        ASSERT_EQ(ep->Connect("127.0.0.1", listener.port, &owner), 0) << when;
        const int peer = listener.accept();
        ASSERT_GE(peer, 0);
        if (when == SelfDestroyer::inReceive) {
            ASSERT_TRUE(sendAll(peer, ping()));
        }
        if (when == SelfDestroyer::inClose) shutdown(peer, SHUT_WR);
        EXPECT_TRUE(waitFor([&] { return owner.destroyed.load(); })) << when;
        EXPECT_TRUE(seesEof(peer)) << when;  // its descriptor went with it
        close(peer);
    }
    {
        RawListener listener;
        RawSelfDestroyer owner;
        owner.sock = new CNK_socket;
        ASSERT_EQ(owner.sock->Connect("127.0.0.1", listener.port, &owner), 0);
        const int peer = listener.accept();
        ASSERT_TRUE(sendAll(peer, ping()));
        EXPECT_TRUE(waitFor([&] { return owner.destroyed.load(); }));
        EXPECT_TRUE(seesEof(peer));
        close(peer);
    }
    // Every receive and notification thread has ended.
    EXPECT_TRUE(waitFor([&] { return threadCount() == threadsBefore; }));
}

namespace {

struct ServerSelfDestroyer : INK_serverSocketCallback {
    bool inAccept;
    CNK_serverSocket* server = nullptr;
    std::atomic<bool> destroyed{false};
    explicit ServerSelfDestroyer(bool a) : inAccept(a) {}
    void end() {
        CNK_serverSocket* s = server;
        server = nullptr;
        delete s;
        destroyed = true;
    }
    u16 onAccept(u32) override {
        const int fd = server->Accept();
        if (fd >= 0) close(fd);
        if (inAccept) {
            end();
            return 0;
        }
        return kNKErr_invalidStatus;  // ends the accept loop: onCloseServer follows
    }
    void onCloseServer(u32) override {
        if (!inAccept) end();
    }
};

}  // namespace

TEST(EndpointLifetime, OwnerMayDestroyTheListenerInsideItsCallbacks) {
    const size_t threadsBefore = threadCount();
    for (bool inAccept : {true, false}) {
        ServerSelfDestroyer owner(inAccept);
        owner.server = new CNK_serverSocket;
        const uint16_t port = freePort();
        ASSERT_EQ(owner.server->Launch(port, &owner), 0);
        testing::internal::CaptureStderr();
        const int c = rawConnect(port);
        EXPECT_TRUE(waitFor([&] { return owner.destroyed.load(); })) << inAccept;
        testing::internal::GetCapturedStderr();
        close(c);
        // The port is free again: the listening descriptor was closed.
        EXPECT_TRUE(waitFor([&] { return rawConnect(port) < 0; })) << inAccept;
    }
    EXPECT_TRUE(waitFor([&] { return threadCount() == threadsBefore; }));
}

namespace {

// Reconnects inside onNtcpClose, by Connect or by Append.
struct Reconnector : INK_ntcpCallback {
    CNK_ntcp* ep = nullptr;
    uint16_t nextPort = 0;  // Connect to it
    int nextFd = -1;        // or Append it
    std::atomic<int> closes{0}, packets{0};
    std::atomic<u16> result{0xFFFF};
    void onNtcpConnect(u32) override {}
    void onNtcpReceive(u32, const tNTCP_packet*) override { ++packets; }
    void onNtcpClose(u32) override {
        if (closes++ != 0) return;
        result = nextPort ? ep->Connect("127.0.0.1", nextPort, this) : ep->Append(nextFd, this);
    }
};

// Holds its close handling until released.
struct SlowCloser : INK_ntcpCallback {
    std::mutex m;
    std::condition_variable cv;
    bool inClose = false, release = false;
    void onNtcpConnect(u32) override {}
    void onNtcpReceive(u32, const tNTCP_packet*) override {}
    void onNtcpClose(u32) override {
        std::unique_lock<std::mutex> l(m);
        inClose = true;
        cv.notify_all();
        cv.wait(l, [&] { return release; });
    }
};

}  // namespace

TEST(EndpointLifetime, OwnerMayReconnectInsideOnCloseButNoOneElseBeforeItEnds) {
    for (bool byConnect : {true, false}) {
        RawListener first, second;
        Reconnector owner;
        CNK_ntcp ep;
        owner.ep = &ep;
        if (byConnect) owner.nextPort = second.port;
        else owner.nextFd = rawConnect(second.port);  // the endpoint owns it once appended
        ASSERT_EQ(ep.Connect("127.0.0.1", first.port, &owner), 0);
        const int peer1 = first.accept();
        close(peer1);  // ends the first connection
        ASSERT_TRUE(waitFor([&] { return owner.result.load() != 0xFFFF; }));
        EXPECT_EQ(owner.result.load(), 0) << byConnect;
        const int peer2 = second.accept();
        ASSERT_TRUE(sendAll(peer2, ping()));
        EXPECT_TRUE(waitFor([&] { return owner.packets.load() == 1; })) << byConnect;
        EXPECT_TRUE(ep.isRunning());
        EXPECT_EQ(owner.closes.load(), 1);
        ep.Close();
        EXPECT_TRUE(waitFor([&] { return !ep.isRunning(); }));
        EXPECT_EQ(owner.closes.load(), 2);
        close(peer2);
    }

    // Another thread, as a server handing out endpoints, is refused until the close handling has ended.
    RawListener listener;
    SlowCloser owner;
    CNK_ntcp ep;
    ASSERT_EQ(ep.Connect("127.0.0.1", listener.port, &owner), 0);
    close(listener.accept());
    {
        std::unique_lock<std::mutex> l(owner.m);
        ASSERT_TRUE(owner.cv.wait_for(l, std::chrono::seconds(5), [&] { return owner.inClose; }));
    }
    const int fd = rawConnect(listener.port);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ep.Append(fd, &owner), kNKErr_invalidStatus);
    EXPECT_EQ(ep.Connect("127.0.0.1", listener.port, &owner), kNKErr_invalidCondition);
    testing::internal::GetCapturedStderr();
    {
        std::lock_guard<std::mutex> l(owner.m);
        owner.release = true;
        owner.cv.notify_all();
    }
    EXPECT_TRUE(waitFor([&] { return !ep.isRunning(); }));
    EXPECT_EQ(ep.Append(fd, &owner), 0);  // idle again
    ep.Close();
    EXPECT_TRUE(waitFor([&] { return !ep.isRunning(); }));
}

TEST(EndpointLifetime, PlenOneIsAnsweredBeforeItsByteComes) {
    RawListener listener;
    struct : INK_ntcpCallback {
        std::atomic<int> packets{0};
        void onNtcpConnect(u32) override {}
        void onNtcpReceive(u32, const tNTCP_packet*) override { ++packets; }
        void onNtcpClose(u32) override {}
    } owner;
    CNK_logManager log;
    log.setVerboseLevel(kVL0);
    CNK_ntcp ep(&log);
    ASSERT_EQ(ep.Connect("127.0.0.1", listener.port, &owner), 0);
    const int peer = listener.accept();
    RawPacket plenOne;
    plenOne.ctrl = kPing;
    plenOne.seqn = 4;
    plenOne.plenOverride = 1;
    ASSERT_TRUE(sendAll(peer, plenOne.bytes()));  // the announced byte is held back
    RawPacket reply;
    reply.errc = 10;
    reply.ctrl = kPing;
    reply.seqn = 4;
    EXPECT_EQ(recvN(peer, 16, 1000), reply.bytes());
    Bytes rest = {0xEE};
    const Bytes next = ping();
    rest.insert(rest.end(), next.begin(), next.end());
    ASSERT_TRUE(sendAll(peer, rest));
    EXPECT_TRUE(waitFor([&] { return owner.packets.load() == 1; }));
    ep.Close();
    close(peer);
}

TEST(EndpointLifetime, ConnectLogsTheSocketOptionStepAtLevelTwo) {
    struct Lines : INK_logRelay {
        std::mutex m;
        std::string text;
        void onLogRelay(const char* t) override {
            std::lock_guard<std::mutex> l(m);
            text += t;
        }
    } lines;
    CNK_logManager log;
    log.setVerboseLevel(kVL2);
    log.setLogRelay(&lines);
    RawListener listener;
    CNK_ntcp ep(&log);
    testing::internal::CaptureStdout();
    ASSERT_EQ(ep.Connect("127.0.0.1", listener.port, nullptr), 0);
    testing::internal::GetCapturedStdout();
    log.setLogRelay(nullptr);
    EXPECT_NE(lines.text.find(".set socket option"), std::string::npos) << lines.text;
    ep.Close();
}

namespace {

// Runs `body` in a child process that may open only `spare` descriptors more
// than it has; its exit status is the number of the first check that failed,
// 0 when all held.
int inChildWithSpareDescriptors(rlim_t spare, int (*body)()) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout)) _exit(101);  // the log lines are counted, not shown
        int highest = 0;
        for (auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(e.path().filename().string()));
        struct rlimit r;
        getrlimit(RLIMIT_NOFILE, &r);
        r.rlim_cur = static_cast<rlim_t>(highest) + 1 + spare;
        if (setrlimit(RLIMIT_NOFILE, &r) != 0) _exit(100);
        const int rc = body();
        std::fflush(nullptr);
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// The undefined-behaviour checker proves an object's dynamic type through a
// pipe the first time it meets it, which a process without descriptors cannot
// make: each object and callback type is met once before the descriptors go.
void meetTypes(CNK_logManager* log) {
    CNK_socket s;
    CNK_ntcp n;
    CNK_serverSocket srv;
    testing::internal::CaptureStderr();
    s.Connect(nullptr, 1, nullptr);
    n.Append(-1, nullptr);
    srv.Launch(0, nullptr);
    testing::internal::GetCapturedStderr();
    if (log) log->printText(kVL1, "warm");
}

// Takes every free descriptor.
std::vector<int> exhaust() {
    std::vector<int> held;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) held.push_back(fd);
    return held;
}

int objectsWithoutDescriptors() {
    meetTypes(nullptr);
    std::vector<int> held = exhaust();
    if (held.empty()) return 1;
    {
        // Static: never called, and never destroyed in the child, which leaves by _exit.
        static struct : INK_ntcpCallback {
            void onNtcpConnect(u32) override {}
            void onNtcpReceive(u32, const tNTCP_packet*) override {}
            void onNtcpClose(u32) override {}
        } owner;
        static struct : INK_serverSocketCallback {
            u16 onAccept(u32) override { return 0; }
            void onCloseServer(u32) override {}
        } listenerOwner;
        CNK_socket s;
        CNK_ntcp n;
        CNK_serverSocket srv;
        if (s.Connect("127.0.0.1", 1, nullptr) == 0) return 2;
        if (n.Connect("127.0.0.1", 1, &owner) == 0) return 3;
        if (n.Append(held.back(), &owner) == 0) return 4;
        if (srv.Launch(1, &listenerOwner) == 0) return 5;
    }
    for (int fd : held) close(fd);
    // With descriptors back, new objects work again.
    RawListener listener;
    CNK_ntcp n;
    if (n.Connect("127.0.0.1", listener.port, nullptr) != 0) return 6;
    return 0;
}

struct CountingServer : INK_serverSocketCallback, INK_logRelay {
    CNK_serverSocket* server = nullptr;
    std::atomic<int> accepted{0}, failed{0}, errorLines{0};
    u16 onAccept(u32) override {
        const int fd = server->Accept();
        if (fd < 0) ++failed;
        else {
            ++accepted;
            close(fd);
        }
        return 0;
    }
    void onCloseServer(u32) override {}
    void onLogRelay(const char* t) override {
        if (std::strstr(t, "[accept error]")) ++errorLines;
    }
};

int acceptBacksOffAndRecovers() {
    CountingServer owner;
    CNK_logManager log;
    log.setVerboseLevel(kVL1);
    log.setLogRelay(&owner);
    CNK_serverSocket server(&log);
    owner.server = &server;
    const uint16_t port = freePort();
    if (server.Launch(port, &owner) != 0) return 1;
    meetTypes(&log);
    const int first = rawConnect(port);
    if (!waitFor([&] { return owner.accepted.load() == 1; })) return 7;
    close(first);
    owner.errorLines = 0;
    // The client's descriptor is made before the process runs out.
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    std::vector<int> held = exhaust();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return 2;
    // The first refused accept, then a while in which the loop must pause, not spin.
    if (!waitFor([&] { return owner.failed.load() > 0; }, 60000)) return 3;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    if (owner.accepted != 1 || owner.failed == 0) return 3;
    if (owner.failed > 40) return 4;         // paused between attempts, not spinning
    if (owner.errorLines != 1) return 5;     // one log line for the whole shortage
    for (int fd : held) close(fd);
    if (!waitFor([&] { return owner.accepted.load() == 2; }, 60000)) return 6;
    server.Close();
    waitFor([&] { return false; }, 300);
    log.setLogRelay(nullptr);
    close(client);
    return 0;
}

}  // namespace

TEST(EndpointLifetime, RunningOutOfDescriptorsIsReportedNotFatal) {
    EXPECT_EQ(inChildWithSpareDescriptors(16, objectsWithoutDescriptors), 0);
    EXPECT_EQ(inChildWithSpareDescriptors(16, acceptBacksOffAndRecovers), 0);
}

TEST(ReportNames, HelpersReportUnderTheFunctionTheCallerCalled) {
    u8 image[16];
    u64 size = sizeof(image);
    char out[8];
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkFile_parseIntelHexFile("x", image, &size), kNKErr_invalidFormat);
    EXPECT_EQ(nkStr_getNextString(nullptr, ",", out), kNKErr_invalidPointer);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("nkFile_parseIntelHexFile()"), std::string::npos) << text;
    EXPECT_NE(text.find("nkStr_getNextString()"), std::string::npos) << text;
    EXPECT_EQ(text.find("hexFail"), std::string::npos) << text;
    EXPECT_EQ(text.find("WithLimit"), std::string::npos) << text;
}

TEST(ReportNamesDeathTest, WriterTypeCodeAssertionNamesTheWriterAndWrite) {
    nktest::TempDir dir;
    t_nkDataItem bad{};
    bad.name = "Bad";
    bad.dataType = static_cast<t_nkDataType>(11);
    const std::string path = dir.file("t.csv");
    EXPECT_DEATH(
        {
            CNK_csvWriter w;
            w.addData(&bad);
            w.write(path.c_str(), "T", "1", "SN", 0, "", "a", "b", 0, 0);
        },
        "CNK_csvWriter.*write\\(\\)");
}

// Receives and sends fail inside shared helpers; the reports name the operation called.
TEST(ReportNames, SocketAndPacketFailuresNameTheCallersOperation) {
    CNK_socket sock;  // never connected
    CNK_ntcp ep;
    u8 bytes[4] = {1, 2, 3, 4};
    size_t n = sizeof(bytes);
    tNTCP_header request{};
    request.CTRL = 0x54455354;
    request.SEQN = 3;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sock.Recv(bytes, &n, true, 20u), kNKErr_socketClosed);
    EXPECT_EQ(sock.Send(bytes, sizeof(bytes)), kNKErr_socketSendFailed);
    EXPECT_EQ(ep.SendOneway(0x54455354, bytes, 4, kVL6), kNKErr_socketSendFailed);
    EXPECT_EQ(ep.SendResponse(&request, 0, bytes, 4, kVL6), kNKErr_socketSendFailed);
    EXPECT_EQ(ep.SendOneway(0, bytes, 4, kVL6), kNKErr_invalidParam);
    const std::string text = testing::internal::GetCapturedStderr();
    for (const char* name : {"CNK_socket::Recv()", "CNK_socket::Send()", "CNK_ntcp::SendOneway()", "CNK_ntcp::SendResponse()"})
        EXPECT_NE(text.find(name), std::string::npos) << name << "\n" << text;
    for (const char* helper : {"recvInto", "sendParts", "SendPacket"})
        EXPECT_EQ(text.find(helper), std::string::npos) << helper << "\n" << text;
    // One report line per failed send, not one per layer.
    size_t lines = 0;
    for (size_t at = text.find("CNK_ntcp::SendResponse()"); at != std::string::npos;
         at = text.find("CNK_ntcp::SendResponse()", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << text;
}
