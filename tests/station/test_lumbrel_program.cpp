// The station program from outside: start, options, refusals, signals.
#include <gtest/gtest.h>

#include <QSettings>

#include <csignal>
#include <filesystem>

#include "lumbrel_process.h"
#include "net_test_util.h"

namespace {

using nktest::LumbrelProcess;

struct Program : ::testing::Test {
    nktest::TempDir dir;
    std::vector<std::string> headless(uint16_t port) {
        return {"--headless", "--port", std::to_string(port), "--log-root", dir.path().string(),
                "--repository-dry-run", "--no-submission"};
    }
};

TEST_F(Program, ListensAtOnceAndStopsCleanlyOnEitherSignal) {
    for (int sig : {SIGTERM, SIGINT}) {
        const uint16_t port = nettest::freePort();
        LumbrelProcess p(dir.path().string(), headless(port));
        ASSERT_TRUE(p.started());
        ASSERT_TRUE(p.waitForOutput("Data Server Launched")) << p.out() << p.err();
        const int fd = nettest::rawConnect(port);
        EXPECT_GE(fd, 0);
        if (fd >= 0) close(fd);
        EXPECT_EQ(p.stop(sig), 0) << p.err();
        EXPECT_TRUE(p.clean()) << p.err();
    }
}

TEST_F(Program, BadOptionsGiveUsageAndStatus2) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--headless", "--port", "0"}, {"--headless", "--port", "70000"}, {"--bogus"}, {"--port"}}) {
        LumbrelProcess p(dir.path().string(), args);
        EXPECT_EQ(p.wait(), 2) << args.back();
        EXPECT_NE(p.err().find("usage"), std::string::npos) << p.err();
    }
    // The offline mode names what it misses.
    LumbrelProcess post(dir.path().string(), {"--postprocess"});
    EXPECT_EQ(post.wait(), 2);
    EXPECT_NE(post.err().find("needs the folder of the stored packets"), std::string::npos) << post.err();
    EXPECT_NE(post.err().find("usage"), std::string::npos) << post.err();
}

TEST_F(Program, BusyPortFailsLaunchWithStatus1) {
    nettest::RawListener busy;
    LumbrelProcess p(dir.path().string(), headless(busy.port));
    EXPECT_EQ(p.wait(), 1);
    EXPECT_NE(p.out().find("Server Launch Failed"), std::string::npos) << p.out();
    EXPECT_TRUE(p.clean()) << p.err();
}

TEST_F(Program, WithoutADisplayItSaysSoAndServes) {
    const uint16_t port = nettest::freePort();
    LumbrelProcess p(dir.path().string(), {"--port", std::to_string(port), "--log-root", dir.path().string()},
                     {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
    ASSERT_TRUE(p.waitForOutput("Data Server Launched")) << p.out() << p.err();
    EXPECT_NE(p.out().find("no display, starting headless"), std::string::npos);
    EXPECT_EQ(p.stop(), 0);
}

TEST_F(Program, WithADisplayTheWindowStartsAndWaitsForTheOperator) {
    const uint16_t port = nettest::freePort();
    LumbrelProcess p(dir.path().string(), {"--port", std::to_string(port), "--log-root", dir.path().string()},
                     {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(p.waitForOutput("*** VDX Disable Upload on Failure")) << p.out() << p.err();
    EXPECT_EQ(p.out().find("starting headless"), std::string::npos);
    // The data server listens only once the operator presses "Launch Server".
    EXPECT_LT(nettest::rawConnect(port), 0);
    EXPECT_EQ(p.stop(SIGTERM), 0) << p.err();
    EXPECT_TRUE(p.clean()) << p.err();
    // The window stored the port field at its end.
    const QSettings stored(QString::fromStdString(dir.path().string() + "/config/Lumbrel/Lumbrel.conf"),
                           QSettings::IniFormat);
    EXPECT_EQ(stored.value("Server Port Number").toInt(), 61804);
}

TEST_F(Program, WithADisplayThatDoesNotAnswerItServesHeadless) {
    // A display number with no server behind it.
    int n = 57;
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n))) ++n;
    const uint16_t port = nettest::freePort();
    LumbrelProcess p(dir.path().string(), {"--port", std::to_string(port), "--log-root", dir.path().string()},
                     {"DISPLAY=:" + std::to_string(n), "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
    ASSERT_TRUE(p.waitForOutput("Data Server Launched")) << p.out() << p.err();
    EXPECT_NE(p.out().find("no display, starting headless"), std::string::npos);
    const int fd = nettest::rawConnect(port);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    EXPECT_EQ(p.stop(), 0) << p.err();
    EXPECT_TRUE(p.clean()) << p.err();
}

// The README's first unit: the tests' own tester, as a program, against the
// headless station; the unit passes on its own repository record.
TEST_F(Program, TheReadmesTesterRunsAWholeUnitAgainstTheHeadlessStation) {
    const uint16_t port = nettest::freePort();
    const std::string logs = (dir.path() / "logs").string();
    LumbrelProcess p(dir.path().string(),
                     {"--headless", "--port", std::to_string(port), "--log-root", logs, "--data-root",
                      (dir.path() / "data").string(), "--repository-dry-run", "--no-submission"});
    ASSERT_TRUE(p.waitForOutput("Data Server Launched")) << p.out() << p.err();
    int status = -1;
    const std::string out = nktest::runCommand(std::string(NK_SEND_UNIT_PATH) + " --port " + std::to_string(port) +
                                                   " --cell Line1 --id 4 --record " + logs + " 2>&1",
                                               &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("tscr: 0, station version "), std::string::npos) << out;
    EXPECT_NE(out.find("atst: 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("unif: 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("tsed: 0 "), std::string::npos) << out;
    EXPECT_NE(out.find(", bin P, link closed by the station"), std::string::npos) << out;
    EXPECT_EQ(p.stop(), 0) << p.err();
    EXPECT_TRUE(p.clean()) << p.err();
    // The charts were drawn with the application object the program made on its main thread.
    EXPECT_EQ(p.err().find("not created in the main() thread"), std::string::npos) << p.err();
    // No station listens: the tester says so.
    const std::string none =
        nktest::runCommand(std::string(NK_SEND_UNIT_PATH) + " --port " + std::to_string(port) + " 2>&1", &status);
    EXPECT_EQ(status, 1) << none;
    EXPECT_NE(none.find("no station listens on port"), std::string::npos) << none;
}

}  // namespace
