// S5: operator switches flipped while sixteen testers start units; sessions
// handed out, taken back and never cut while sixteen testers come and go. Run
// under ThreadSanitizer by `make tsan`; under the other builds it still checks
// the logs and the links.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "net_test_util.h"
#include "nk_test_util.h"
#include "station_peer.h"
#include "unit_tester.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(StationConcurrency, SwitchesFlipWhileSixteenTestersStartUnits) {
    nktest::TempDir dir;
    lumbrel::StationSettings settings;
    settings.logRoot = (dir.path() / "logs").string();
    fs::create_directories(settings.logRoot);
    settings.scriptPath = NK_STATION_SCRIPT;
    settings.port = nettest::freePort();
    AppDelegate app(settings, StationSwitches{});
    ASSERT_EQ(app.applicationDidFinishLaunching(), 0);
    ASSERT_EQ(app.launchServer(), 0);

    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        bool on = false;
        while (!stop.load()) {
            on = !on;
            for (CVLRA_cg_testSession* s : app.sessions())
                s->updateOperatorSettings([&](t_vlraOperatorSettings& o) {
                    o.isDevelopmentMode = on;
                    o.isHubrEnabled = !on;
                    o.vdxDryRunPath = on ? settings.logRoot : std::string();
                });
            std::this_thread::yield();
        }
    });

    constexpr int kUnits = 4;
    std::atomic<int> served{0};
    std::vector<std::thread> testers;
    for (int t = 0; t < AppDelegate::kSessionCount; ++t)
        testers.emplace_back([&, t] {
            const int fd = nettest::rawConnect(settings.port);
            for (int u = 0; u < kUnits; ++u) {
                const std::string head = std::string(1, char('A' + t)) + std::to_string(10 + u);
                const Reply r = exchange(fd, "tscr", uint8_t(1 + u), tscrPayload("Cell" + std::to_string(t), uint8_t(t),
                                                                                 serial("Q2A0", head)));
                if (r.ok && r.header.errc == 0) ++served;
            }
            close(fd);
        });
    for (auto& t : testers) t.join();
    stop = true;
    flipper.join();
    EXPECT_EQ(served.load(), AppDelegate::kSessionCount * kUnits);

    // Each unit log shows one value of each switch: the development line and the
    // skipped-submission line at most once, never both halves of one flip.
    app.applicationWillTerminate();
    int logs = 0;
    for (auto& e : fs::recursive_directory_iterator(settings.logRoot)) {
        if (e.path().extension() != ".log") continue;
        ++logs;
        const std::string log = nktest::readFile(e.path().string());
        const size_t dev = count(log, "* Development Mode *");
        const size_t skipped = count(log, "* HUBR/Pordis Data Posting Skipped");
        EXPECT_LE(dev, 1u) << e.path();
        EXPECT_LE(skipped, 1u) << e.path();
        // The flipper keeps the two switches opposite: development on means submission off.
        EXPECT_EQ(dev, skipped) << e.path() << "\n" << log;
        EXPECT_EQ(count(log, "*** INIT Test PASSED ***"), 1u) << e.path();
    }
    EXPECT_EQ(logs, AppDelegate::kSessionCount * kUnits);
}

// A station serving on loopback with the given idle limit; submission off and
// the repository in dry run, so that a unit's end touches nothing outside.
struct Served {
    nktest::TempDir dir;
    lumbrel::StationSettings settings;
    std::unique_ptr<AppDelegate> app;

    explicit Served(u32 idleLimitSec) {
        settings.logRoot = (dir.path() / "logs").string();
        fs::create_directories(settings.logRoot);
        settings.dataRoot = (dir.path() / "data").string();
        settings.tempFolder = dir.path().string();
        settings.scriptPath = NK_STATION_SCRIPT;
        settings.idleLimitSec = idleLimitSec;
        StationSwitches switches;
        switches.hubrEnabled = false;
        switches.repositoryDryRun = true;
        u16 launched = 1;
        for (int attempt = 0; attempt < 5 && launched != 0; ++attempt) {
            settings.port = nettest::freePort();  // may be taken meanwhile: try another
            app = std::make_unique<AppDelegate>(settings, switches);
            EXPECT_EQ(app->applicationDidFinishLaunching(), 0);
            launched = app->launchServer();
        }
        EXPECT_EQ(launched, 0);
    }
    int busySessions() const {
        int n = 0;
        for (CVLRA_cg_testSession* s : app->sessions()) n += s->isNtcpRunning() ? 1 : 0;
        return n;
    }
    // Connects and starts a unit: the link, or -1 when the station turned it away.
    int startUnit(const std::string& cell, uint8_t id, const std::string& sn, int timeoutMs = 10000) const {
        const int fd = nettest::rawConnect(settings.port);
        if (fd < 0) return -1;
        const Reply r = exchange(fd, "tscr", 1, tscrPayload(cell, id, sn), timeoutMs);
        if (r.ok && r.header.errc == 0) return fd;
        close(fd);
        return -1;
    }
};

// The station has already closed this link: past any replies still unread, the
// end of the stream (or a reset, when the station dropped unread bytes) is there.
bool closedByStation(int fd) {
    char sink[4096];
    for (;;) {
        const ssize_t n = recv(fd, sink, sizeof(sink), MSG_DONTWAIT);
        if (n > 0) continue;
        return n == 0 || errno == ECONNRESET;
    }
}

// Turned away: the link closes without a byte.
bool refused(uint16_t port) {
    const int fd = nettest::rawConnect(port);
    if (fd < 0) return true;
    const bool turnedAway = nettest::recvN(fd, 1, 10000).empty() && nettest::seesEof(fd, 10000);
    close(fd);
    return turnedAway;
}

TEST(StationConcurrency, SilentAndJunkPeersGiveWayToATesterOnceIdleBeyondTheLimit) {
    Served st(1);
    // Sixteen links that do no unit's work: eight say nothing, eight keep sending
    // junk and packets no item takes, which is no work either.
    std::vector<int> peers;
    for (int i = 0; i < AppDelegate::kSessionCount; ++i) peers.push_back(nettest::rawConnect(st.settings.port));
    ASSERT_TRUE(nettest::waitFor([&] { return st.busySessions() == AppDelegate::kSessionCount; }, 60000));
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        nettest::RawPacket unknown;
        unknown.ctrl = nettest::fourCC("abcd");
        unknown.payload = Bytes{1};
        const Bytes junk(16, 0);
        while (!stop.load()) {
            for (int i = 8; i < AppDelegate::kSessionCount; ++i) {
                nettest::sendAll(peers[i], junk);
                nettest::sendAll(peers[i], unknown.bytes());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    // The honest tester is served once some link has been idle beyond the limit.
    int tester = -1;
    EXPECT_TRUE(nettest::waitFor([&] { return (tester = st.startUnit("Honest", 1, serial("Q2A0", "HON"))) >= 0; },
                                 30000));
    stop = true;
    chatter.join();
    // Exactly one link was taken back for it; the others stay.
    int cut = 0;
    for (int fd : peers) cut += closedByStation(fd) ? 1 : 0;
    EXPECT_EQ(cut, 1);
    EXPECT_NE(st.app->takeLogString().find("closed for a waiting tester"), std::string::npos);
    if (tester >= 0) close(tester);
    for (int fd : peers) close(fd);
}

TEST(StationConcurrency, SixteenTestersReconnectingAtOnceAfterEachUnitAreNeverRefused) {
    Served st(lumbrel::kDefaultIdleLimitSec);
    constexpr int kUnits = 6;
    std::atomic<int> refusedUnits{0}, ended{0};
    std::vector<std::thread> testers;
    for (int t = 0; t < AppDelegate::kSessionCount; ++t)
        testers.emplace_back([&, t] {
            for (int u = 0; u < kUnits; ++u) {
                const std::string sn = serial("Q2A0", std::string(1, char('A' + t)) + std::to_string(10 + u));
                const int fd = st.startUnit("Cell" + std::to_string(t), uint8_t(t), sn);
                if (fd < 0) {
                    ++refusedUnits;
                    continue;
                }
                if (u % 2 == 0) {
                    // The unit ends and the station closes the link; the tester is back at once.
                    if (postReply(exchange(fd, "tsed", 2, Bytes{1})).ok) ++ended;
                } else {
                    ++ended;  // the tester hangs up itself and is back at once
                }
                close(fd);
            }
        });
    for (auto& t : testers) t.join();
    EXPECT_EQ(refusedUnits.load(), 0);
    EXPECT_EQ(ended.load(), AppDelegate::kSessionCount * kUnits);

    // The same with fifteen sessions held by units: the last tester only ever
    // finds its own session, still closing when it is back.
    std::vector<int> held;
    for (int t = 0; t < AppDelegate::kSessionCount - 1; ++t) {
        held.push_back(st.startUnit("Held" + std::to_string(t), uint8_t(t), serial("Q2A0", "H" + std::to_string(10 + t))));
        EXPECT_GE(held.back(), 0) << t;
    }
    for (int u = 0; u < 2 * kUnits; ++u) {
        const int fd = st.startUnit("Last", 99, serial("Q2A0", "L" + std::to_string(10 + u)));
        if (fd < 0) {
            ++refusedUnits;
            continue;
        }
        if (u % 2 == 0) {
            EXPECT_TRUE(postReply(exchange(fd, "tsed", 2, Bytes{1})).ok) << u;
        }
        close(fd);
    }
    EXPECT_EQ(refusedUnits.load(), 0);
    for (int fd : held) close(fd);
    EXPECT_EQ(st.app->takeLogString().find("*** REJECT ***"), std::string::npos);
}

TEST(StationConcurrency, TestersInsideAUnitAreNeverCut) {
    Served st(1);
    // Fifteen testers inside a unit, one link that does nothing.
    std::vector<int> testers;
    for (int t = 0; t < AppDelegate::kSessionCount - 1; ++t) {
        testers.push_back(st.startUnit("Cell" + std::to_string(t), uint8_t(t), serial("Q2A0", "U" + std::to_string(10 + t))));
        ASSERT_GE(testers.back(), 0) << t;
    }
    const int silent = nettest::rawConnect(st.settings.port);
    ASSERT_TRUE(nettest::waitFor([&] { return st.busySessions() == AppDelegate::kSessionCount; }, 60000));

    // A newcomer gets the silent link's session, never a unit's.
    int newcomer = -1;
    ASSERT_TRUE(nettest::waitFor([&] { return (newcomer = st.startUnit("New", 40, serial("Q2A0", "NEW"))) >= 0; },
                                 30000));
    EXPECT_TRUE(nettest::seesEof(silent, 10000));
    close(silent);
    testers.push_back(newcomer);

    // Sixteen units open and quiet well beyond the limit: whoever else comes is turned away.
    const auto quietSince = std::chrono::steady_clock::now();
    int attempts = 0;
    while (attempts < 3 || std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(2500)) {
        EXPECT_TRUE(refused(st.settings.port)) << attempts;
        ++attempts;
    }
    // Every unit goes on and ends on its own link.
    for (size_t i = 0; i < testers.size(); ++i) {
        const Reply alive = exchange(testers[i], "abcd", 7, Bytes{1});
        EXPECT_TRUE(alive.ok && alive.header.errc == 4) << i;
        EXPECT_TRUE(postReply(exchange(testers[i], "tsed", 8, Bytes{1})).ok) << i;
        close(testers[i]);
    }
}

}  // namespace
