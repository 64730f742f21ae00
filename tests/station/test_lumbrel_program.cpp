// The station program from outside: start, options, refusals, signals.
#include <gtest/gtest.h>

#include <QSettings>

#include <csignal>

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

}  // namespace
