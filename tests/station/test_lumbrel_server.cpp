// The station program served over real TCP: the test build's Lumbrel started
// headless, testers played by raw sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

#include "lumbrel_process.h"
#include "net_test_util.h"
#include "station_peer.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

struct Server : ::testing::Test {
    nktest::TempDir dir;
    fs::path root;
    uint16_t port = 0;
    std::unique_ptr<nktest::LumbrelProcess> proc;

    void start(bool development = false) {
        root = dir.path() / "logs";
        fs::create_directories(root);
        // A free port can be taken by another test's connection before the program
        // binds it; then it says so and ends, and another port is tried.
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = nettest::freePort();
            std::vector<std::string> args = {"--headless", "--port", std::to_string(port), "--log-root",
                                             root.string(), "--repository-dry-run", "--no-submission"};
            if (development) args.push_back("--development");
            proc = std::make_unique<nktest::LumbrelProcess>(dir.path().string(), args);
            if (proc->waitForOutput("Data Server Launched")) return;
            if (proc->out().find("Server Launch Failed") == std::string::npos) break;
        }
        FAIL() << proc->out() << proc->err();
    }
    void TearDown() override {
        if (proc) {
            EXPECT_EQ(proc->stop(), 0) << proc->err();
            EXPECT_TRUE(proc->clean()) << proc->err();
        }
    }
    int connect() { return nettest::rawConnect(port); }
    size_t entries(const fs::path& p) {
        size_t n = 0;
        for ([[maybe_unused]] auto& e : fs::recursive_directory_iterator(p)) ++n;
        return n;
    }
    // The one entry of `folder` named `prefix`, `digits` decimal digits, `suffix`.
    fs::path only(const fs::path& folder, const std::string& prefix, size_t digits, const std::string& suffix) {
        auto matches = [&](const std::string& name) {
            if (name.size() != prefix.size() + digits + suffix.size()) return false;
            if (name.compare(0, prefix.size(), prefix) != 0) return false;
            if (name.compare(prefix.size() + digits, suffix.size(), suffix) != 0) return false;
            for (size_t i = 0; i < digits; ++i)
                if (!std::isdigit(static_cast<unsigned char>(name[prefix.size() + i]))) return false;
            return true;
        };
        fs::path found;
        int n = 0;
        if (fs::exists(folder))
            for (auto& e : fs::directory_iterator(folder))
                if (matches(e.path().filename().string())) {
                    found = e.path();
                    ++n;
                }
        return n == 1 ? found : fs::path();
    }
};

TEST_F(Server, ColourZeroUnitGetsItsVersionFoldersAndLog) {
    for (bool development : {false, true}) {
        start(development);
        const int fd = connect();
        ASSERT_GE(fd, 0);
        const std::string sn = serial("Q2A0");  // type 2, black
        const Bytes payload = tscrPayload("CellA", 3, sn);
        const Reply r = exchange(fd, "tscr", 77, payload);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.header.errc, 0);
        EXPECT_EQ(r.header.ctrl, nettest::fourCC("tscr"));
        EXPECT_EQ(r.header.seqn, 77);
        ASSERT_EQ(r.payload.size(), 32u);
        EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data()), "1.00.00_CGB");

        const fs::path vdx = only(root, "VDXData_", 8, "_CellA");
        const fs::path cal = only(root, "CGCal_", 8, "_CellA");
        ASSERT_FALSE(vdx.empty());
        ASSERT_FALSE(cal.empty());
        EXPECT_TRUE(fs::is_directory(cal / "Statistics"));
        const fs::path run = only(cal / "LogsFolder" / sn, "", 14, "");
        ASSERT_FALSE(run.empty());
        EXPECT_EQ(nktest::readFile((run / (sn + "_tscr.bin")).string()), std::string(payload.begin(), payload.end()));

        close(fd);
        // The unit log is whole once the session has let go of the link.
        std::string log;
        nettest::waitFor([&] {
            log = nktest::readFile((run / (sn + ".log")).string());
            return log.find("*** INIT Test PASSED ***") != std::string::npos;
        });
        EXPECT_NE(log.find("* Tester Cell Name   : CellA"), std::string::npos) << log;
        EXPECT_NE(log.find("* Tester Cell ID     : 3"), std::string::npos);
        EXPECT_NE(log.find("* CG2IS Distance     : 3.500 mm"), std::string::npos);
        EXPECT_NE(log.find("* DUT Serial Number  : " + sn), std::string::npos);
        EXPECT_NE(log.find("* HUBR/Pordis Data Posting Skipped"), std::string::npos);
        EXPECT_EQ(log.find("* Development Mode *") != std::string::npos, development) << log;
        TearDown();
        proc.reset();
        fs::remove_all(root);
    }
}

TEST_F(Server, UnknownCodesAreAnsweredAndTheLinkKept) {
    start();
    const int fd = connect();
    ASSERT_GE(fd, 0);
    uint8_t seqn = 250;
    for (int i = 0; i < 300; ++i) {
        const Reply r = exchange(fd, "abcd", seqn, Bytes{1, 2, 3});
        ASSERT_TRUE(r.ok) << i;
        ASSERT_EQ(r.header.errc, 4);
        ASSERT_EQ(r.header.plen, 0u);
        ASSERT_EQ(r.header.seqn, seqn);
        seqn = seqn == 255 ? 1 : seqn + 1;
    }
    const Reply r = exchange(fd, "tscr", seqn, tscrPayload("CellB", 1, serial("Y0A4")));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data()), "1.00.00_CGW");
    close(fd);
}

TEST_F(Server, ShortOrBadSetupsMakeNothing) {
    start();
    // Empty and short payloads: transport error, link closed.
    for (size_t size : {size_t(0), size_t(100)}) {
        const int fd = connect();
        ASSERT_GE(fd, 0);
        const Reply r = exchange(fd, "tscr", 1, Bytes(size, 0x41));
        ASSERT_TRUE(r.ok) << size;
        EXPECT_EQ(r.header.errc, 10);
        EXPECT_EQ(r.header.plen, 0u);
        EXPECT_TRUE(nettest::seesEof(fd)) << size;
        close(fd);
    }
    // Names that cannot name a folder: error 5, nothing made, the link kept.
    const int fd = connect();
    ASSERT_GE(fd, 0);
    const Reply early = exchange(fd, "atst", 9, Bytes(20, 1));
    ASSERT_TRUE(early.ok);
    EXPECT_EQ(early.header.errc, 7);
    EXPECT_EQ(early.header.plen, 0u);
    uint8_t seqn = 10;
    for (const std::string& sn : {std::string("../x"), std::string("a/b"), std::string("AB\x01" "CDEFGHIJKLMNOPQRS"),
                                  std::string(64, 'S')}) {
        const Reply r = exchange(fd, "tscr", seqn++, tscrPayload("CellC", 2, sn));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.header.errc, 5);
        EXPECT_EQ(r.header.plen, 0u);
        // Still no unit: packets that need one are refused.
        const Reply gate = exchange(fd, "unif", seqn++, Bytes(30, 2));
        ASSERT_TRUE(gate.ok);
        EXPECT_EQ(gate.header.errc, 7);
    }
    EXPECT_EQ(entries(root), 0u);
    close(fd);
}

TEST_F(Server, SixteenTestersServedAndFreedSessionsReused) {
    start();
    std::vector<int> fds;
    for (int i = 0; i < 16; ++i) fds.push_back(connect());
    std::vector<std::thread> threads;
    std::atomic<int> served{0};
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&, i] {
            const Reply r = exchange(fds[i], "tscr", 1, tscrPayload("Cell" + std::to_string(i), uint8_t(i),
                                                                     serial("Q2A1", "T" + std::to_string(10 + i))));
            if (r.ok && r.header.errc == 0) ++served;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(served.load(), 16);

    // A seventeenth tester is turned away without a byte.
    const int extra = connect();
    ASSERT_GE(extra, 0);
    EXPECT_TRUE(nettest::recvN(extra, 1, 3000).empty());
    EXPECT_TRUE(nettest::seesEof(extra, 3000));
    close(extra);

    // One drops after its reply, one in the middle of a packet.
    close(fds[0]);
    nettest::RawPacket half;
    half.ctrl = nettest::fourCC("tscr");
    half.seqn = 2;
    half.payload = tscrPayload("Cell1", 1, serial("Q2A1"));
    const Bytes bytes = half.bytes();
    nettest::sendAll(fds[1], bytes.data(), 60);
    close(fds[1]);

    // Two new testers get the freed sessions (retrying while the close handling runs).
    for (int k = 0; k < 2; ++k) {
        bool ok = false;
        nettest::waitFor(
            [&] {
                const int fd = connect();
                const Reply r = exchange(fd, "tscr", 3, tscrPayload("New" + std::to_string(k), 40, serial("Q2A2")), 3000);
                ok = r.ok && r.header.errc == 0;
                if (ok) fds[k] = fd;
                else close(fd);
                return ok;
            },
            10000);
        EXPECT_TRUE(ok) << k;
    }
    // The other fourteen are still served.
    for (int i = 2; i < 16; ++i) {
        const Reply r = exchange(fds[i], "abcd", 5, Bytes{1});
        EXPECT_TRUE(r.ok && r.header.errc == 4) << i;
    }
    for (int fd : fds) close(fd);
}

TEST_F(Server, SigtermEndsEveryTesterAndExitsZero) {
    start();
    std::vector<int> fds;
    for (int i = 0; i < 4; ++i) {
        fds.push_back(connect());
        const Reply r = exchange(fds.back(), "tscr", 1, tscrPayload("CellS", uint8_t(i), serial("Q2A3", "S" + std::to_string(10 + i))));
        ASSERT_TRUE(r.ok);
    }
    EXPECT_EQ(proc->stop(SIGTERM), 0) << proc->err();
    EXPECT_TRUE(proc->clean()) << proc->err();
    for (int fd : fds) {
        EXPECT_TRUE(nettest::seesEof(fd, 5000));
        close(fd);
    }
    proc.reset();
}

}  // namespace
