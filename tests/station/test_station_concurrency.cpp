// S5: operator switches flipped while sixteen testers start units. Run under
// ThreadSanitizer by `make tsan`; under the other builds it still checks the logs.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "net_test_util.h"
#include "nk_test_util.h"
#include "station_peer.h"

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

}  // namespace
