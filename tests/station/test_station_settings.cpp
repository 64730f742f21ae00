// Station settings: command line over per-user defaults over built-in values.
#include <gtest/gtest.h>

#include <QSettings>

#include <cstdlib>
#include <filesystem>

#include "nk_test_util.h"
#include "nk_utils.h"
#include "station_settings.h"

namespace {

using lumbrel::CommandLine;

TEST(StationCommandLine, HeadlessLineIsParsed) {
    const CommandLine c = lumbrel::parseCommandLine({"--headless", "--port", "4000", "--log-root", "/x/logs",
                                                     "--repository-dry-run", "--no-submission", "--script",
                                                     "/x/s.zqs", "--development"});
    ASSERT_EQ(c.action, CommandLine::Action::run) << c.error;
    EXPECT_TRUE(c.headless);
    EXPECT_TRUE(c.repositoryDryRun);
    EXPECT_TRUE(c.noSubmission);
    EXPECT_TRUE(c.development);
    EXPECT_EQ(c.port, 4000);
    EXPECT_EQ(c.logRoot, "/x/logs");
    EXPECT_EQ(c.scriptPath, "/x/s.zqs");
    EXPECT_FALSE(c.dataRoot);

    const CommandLine none = lumbrel::parseCommandLine({});
    EXPECT_EQ(none.action, CommandLine::Action::run);
    EXPECT_FALSE(none.headless);
}

TEST(StationCommandLine, BadLinesGiveUsageAndPostprocessTakesOneFolder) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port"}, {"--port", "0"}, {"--port", "65536"}, {"--port", "12a"}, {"--port", "-5"},
        {"--log-root"}, {"--headless", "--frobnicate"}, {"extra"}, {"--script", ""},
    };
    for (const auto& args : bad) {
        const CommandLine c = lumbrel::parseCommandLine(args);
        EXPECT_EQ(c.action, CommandLine::Action::usage) << args[0];
        EXPECT_FALSE(c.error.empty());
    }
    EXPECT_EQ(lumbrel::parseCommandLine({"--port", "1"}).port, 1);
    EXPECT_EQ(lumbrel::parseCommandLine({"--port", "65535"}).port, 65535);
    for (const char* first : {"postprocess", "--postprocess", "postprocessing", "xpostprocessx"}) {
        const CommandLine c = lumbrel::parseCommandLine({first, "/folder"});
        EXPECT_EQ(c.action, CommandLine::Action::postprocess) << first;
        EXPECT_EQ(c.postprocessFolder, "/folder");
    }
    // Only the first argument selects it, and it needs exactly one folder.
    EXPECT_EQ(lumbrel::parseCommandLine({"--headless", "postprocess"}).action, CommandLine::Action::usage);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"postprocess"}, {"postprocess", ""}, {"postprocess", "/a", "/b"}}) {
        const CommandLine c = lumbrel::parseCommandLine(args);
        EXPECT_EQ(c.action, CommandLine::Action::usage) << args.size();
        EXPECT_FALSE(c.error.empty());
    }
}

TEST(StationSettings, IdleLimitFromTheCommandLineThenTheStoreThenFiveMinutes) {
    nktest::TempDir dir;
    QSettings store(QString::fromStdString(dir.file("s.conf")), QSettings::IniFormat);
    EXPECT_EQ(lumbrel::resolveSettings({}, store).idleLimitSec, 300u);
    store.setValue("Idle Limit", 45);
    EXPECT_EQ(lumbrel::resolveSettings({}, store).idleLimitSec, 45u);
    const CommandLine cmd = lumbrel::parseCommandLine({"--headless", "--idle-limit", "2"});
    ASSERT_EQ(cmd.action, CommandLine::Action::run) << cmd.error;
    EXPECT_EQ(lumbrel::resolveSettings(cmd, store).idleLimitSec, 2u);
    EXPECT_EQ(lumbrel::parseCommandLine({"--idle-limit", "86400"}).idleLimitSec, 86400u);
    // A stored value that is no limit is ignored; a given one is a usage error.
    for (const char* bad : {"0", "86401", "1.5", "-3", "abc", ""}) {
        store.setValue("Idle Limit", bad);
        EXPECT_EQ(lumbrel::resolveSettings({}, store).idleLimitSec, 300u) << bad;
        EXPECT_EQ(lumbrel::parseCommandLine({"--idle-limit", bad}).action, CommandLine::Action::usage) << bad;
    }
    EXPECT_EQ(lumbrel::parseCommandLine({"--idle-limit"}).action, CommandLine::Action::usage);
}

TEST(StationSettings, CommandLineThenStoreThenDefaults) {
    nktest::TempDir dir;
    QSettings store(QString::fromStdString(dir.file("s.conf")), QSettings::IniFormat);

    lumbrel::StationSettings s = lumbrel::resolveSettings({}, store);
    EXPECT_EQ(s.logRoot + "/", nkUtil_GetAppPath());
    EXPECT_EQ(s.dataRoot, "/srv/station");
    EXPECT_EQ(s.tempFolder, "/tmp");
    EXPECT_EQ(s.resourceFolder, nkUtil_GetAppResPath());
    EXPECT_EQ(s.scriptPath, std::string(nkUtil_GetAppResPath()) + "/testScript_CG.zqs");
    EXPECT_EQ(s.port, 61804);

    store.setValue("Log Root", "/stored/logs");
    store.setValue("Data Root", "/stored/data");
    store.setValue("Resource Folder", "/stored/res/");
    store.setValue("Server Port Number", 5000);
    s = lumbrel::resolveSettings({}, store);
    EXPECT_EQ(s.logRoot, "/stored/logs");
    EXPECT_EQ(s.dataRoot, "/stored/data");
    EXPECT_EQ(s.resourceFolder, "/stored/res");
    EXPECT_EQ(s.scriptPath, "/stored/res/testScript_CG.zqs");
    EXPECT_EQ(s.port, 5000);

    CommandLine cmd = lumbrel::parseCommandLine({"--log-root", "/cmd/logs", "--port", "80", "--temp-folder", "/t"});
    s = lumbrel::resolveSettings(cmd, store);
    EXPECT_EQ(s.logRoot, "/cmd/logs");
    EXPECT_EQ(s.dataRoot, "/stored/data");
    EXPECT_EQ(s.tempFolder, "/t");
    EXPECT_EQ(s.port, 80);  // the command line may choose a low port; only a stored one is checked

    for (const char* stored : {"1023", "0", "70000", "abc"}) {
        store.setValue("Server Port Number", stored);
        EXPECT_EQ(lumbrel::resolveSettings({}, store).port, 61804) << stored;
    }
    store.setValue("Server Port Number", "1024");
    EXPECT_EQ(lumbrel::resolveSettings({}, store).port, 1024);
}

TEST(StationSettings, MissingDefaultsAreWritten) {
    nktest::TempDir dir;
    const QString path = QString::fromStdString(dir.file("d.conf"));
    {
        QSettings store(path, QSettings::IniFormat);
        store.setValue("Server Port Number", 1023);
        store.setValue("VDX CA Server URL", "");
        store.setValue("VDX DS Get Server URL", "https://kept:8443");
        lumbrel::initializeUserDefault(store);
    }
    QSettings back(path, QSettings::IniFormat);
    EXPECT_EQ(back.value("Server Port Number").toInt(), 61804);
    EXPECT_EQ(back.value("VDX CA Server URL").toString().toStdString(), lumbrel::kDefaultVdxCaUrl);
    EXPECT_EQ(back.value("VDX DS Set Server URL").toString().toStdString(), lumbrel::kDefaultVdxDsUrl);
    EXPECT_EQ(back.value("VDX DS Get Server URL").toString().toStdString(), "https://kept:8443");
    EXPECT_EQ(back.value("VDX TrustObject Server URL").toString().toStdString(), lumbrel::kDefaultVdxTrustObjectUrl);

    QSettings keep(path, QSettings::IniFormat);
    keep.setValue("Server Port Number", 1024);
    lumbrel::initializeUserDefault(keep);
    EXPECT_EQ(keep.value("Server Port Number").toInt(), 1024);
}

TEST(StationSettings, UserStoreLivesUnderXdgConfigHome) {
    nktest::TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    std::unique_ptr<QSettings> store(lumbrel::newUserSettings());
    lumbrel::initializeUserDefault(*store);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "Lumbrel" / "Lumbrel.conf"));
}

}  // namespace
