// Helpers of the statistics tool's window tests: the widget application, and a
// fixture whose per-user store ($XDG_CONFIG_HOME/Morvell/Morvell.conf) and
// folders (zelk::roots, through the store) lie in a temporary folder of the test.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "AppUserDefaults.h"
#include "ZelkPaths.h"
#include "nk_gui_test_util.h"
#include "nk_test_util.h"

namespace morvelltest {

// Waits for a state while the GUI loop runs.
inline bool waitGui(const std::function<bool()>& cond, int timeoutMs = 60000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs) return false;
        QTest::qWait(5);
    }
    return true;
}

// Drawing makes a GUI application without widgets when there is none, and a
// window needs the widget application: it is made before the first test.
class WidgetApplicationFirst : public ::testing::Environment {
public:
    void SetUp() override { nktest::guiApplication(); }
};
inline ::testing::Environment* const g_widgetApplicationFirst =
    ::testing::AddGlobalTestEnvironment(new WidgetApplicationFirst);

// A test's own user store and folders. The marker that opens the data pages
// (".enableGrrSpecUpdate" in the var folder) is made unless `marker` is false.
class ToolFolders {
public:
    explicit ToolFolders(bool marker = true) {
        const std::string config = dir.file("config");
        std::filesystem::create_directories(config);
        // The store's folder is fixed by Qt at the process's first store; setPath moves it for later ones.
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(config));
        for (const char* f : {"resources", "app", "tools", "var", "temp"}) std::filesystem::create_directories(dir.path() / f);
        auto store = morvell::userDefaults();
        store->setValue(QString::fromLatin1(morvell::kKeyResourceFolder), QString::fromStdString(dir.file("resources")));
        store->setValue(QString::fromLatin1(morvell::kKeyApplicationFolder), QString::fromStdString(dir.file("app")));
        store->setValue(QString::fromLatin1(morvell::kKeyToolFolder), QString::fromStdString(dir.file("tools")));
        store->setValue(QString::fromLatin1(morvell::kKeyVarFolder), QString::fromStdString(dir.file("var")));
        store->setValue(QString::fromLatin1(morvell::kKeyTempFolder), QString::fromStdString(dir.file("temp")));
        store->sync();
        setMarker(marker);
    }
    ~ToolFolders() { zelk::roots::set(zelk::roots::defaults()); }
    ToolFolders(const ToolFolders&) = delete;
    ToolFolders& operator=(const ToolFolders&) = delete;

    void setMarker(bool on) const {
        const std::string marker = dir.file("var/.enableGrrSpecUpdate");
        if (on)
            nktest::writeFile(marker, "");
        else
            std::filesystem::remove(marker);
    }
    std::string storePath() const { return dir.file("config/Morvell/Morvell.conf"); }
    std::string var() const { return dir.file("var"); }
    std::string application() const { return dir.file("app"); }

    nktest::TempDir dir;
};

}  // namespace morvelltest
