// The statistics tool's shell, offscreen: pages that write down every message
// they receive, the store and the marker in a temporary folder.
#include <gtest/gtest.h>

#include <syslog.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QVariantList>
#include <QVariantMap>

#include <filesystem>
#include <string>
#include <vector>

#include "AppDelegate.h"
#include "AppUserDefaults.h"
#include "ZelkAlert.h"
#include "morvell_gui_test_util.h"
#include "nk_test_util.h"

namespace fs = std::filesystem;

namespace {

using Journal = std::vector<std::string>;

// A page that notes its life and every message, "name message [sender]".
class RecordingPage : public Quastel_Page {
public:
    RecordingPage(std::string name, Journal* journal) : name_(std::move(name)), journal_(journal), view_(new QWidget) {
        view_->setObjectName(QString::fromStdString(name_));
        note("made");
    }
    ~RecordingPage() override {
        note("destroyed");
        delete view_;
    }
    QWidget* view() override { return view_; }
    void viewActivated() override { note("viewActivated"); }
    void viewDeactivated() override { note("viewDeactivated"); }
    void applicationWillTerminate(QObject* notification) override {
        note(std::string("applicationWillTerminate") + (notification == qApp ? " app" : "") +
             (view_->parent() ? " view" : ""));
    }
    void OnMenu_command_up(QObject* s) override { note("OnMenu_command_up", s); }
    void OnMenu_command_down(QObject* s) override { note("OnMenu_command_down", s); }
    void OnMenu_command_bracket_left(QObject* s) override { note("OnMenu_command_bracket_left", s); }
    void OnMenu_command_bracket_right(QObject* s) override { note("OnMenu_command_bracket_right", s); }
    void OnMenu_command_shift_c(QObject* s) override { note("OnMenu_command_shift_c", s); }
    void OnMenu_option_up(QObject* s) override { note("OnMenu_option_up", s); }
    void OnMenu_option_down(QObject* s) override { note("OnMenu_option_down", s); }

private:
    void note(const std::string& what, QObject* sender = nullptr) {
        journal_->push_back(name_ + " " + what + (sender ? " " + sender->objectName().toStdString() : ""));
    }
    std::string name_;
    Journal* journal_;
    QWidget* view_;
};

class MorvellShell : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(nktest::guiApplication(), nullptr); }
    void TearDown() override { app.reset(); }

    // The shell over recording pages; `prepare` writes the store first.
    void start(const std::function<void(QSettings&)>& prepare = {}) {
        if (prepare) {
            auto store = morvell::userDefaults();
            prepare(*store);
            store->sync();
        }
        AppDelegate::PageTable pages = AppDelegate::defaultPages();
        for (auto& entry : pages) {
            const std::string name = entry.name;
            entry.make = [this, name] { return std::make_unique<RecordingPage>(name, &journal); };
        }
        app = std::make_unique<AppDelegate>(nullptr, std::move(pages));
        app->awakeFromResource();
        app->applicationDidFinishLaunching();
    }
    QAction* action(const char* name) {
        auto* a = app->window()->findChild<QAction*>(QString::fromLatin1(name));
        EXPECT_NE(a, nullptr) << name;
        return a;
    }
    // Lines of the journal from `from` on.
    Journal since(size_t from) const { return Journal(journal.begin() + long(from), journal.end()); }
    QSettings stored() { return {QString::fromStdString(folders.storePath()), QSettings::IniFormat}; }

    morvelltest::ToolFolders folders;
    Journal journal;
    std::unique_ptr<AppDelegate> app;
};

TEST_F(MorvellShell, AFirstStartTitlesWritesTheDefaultsAndShowsTheHistogram) {
    start();
    EXPECT_EQ(app->window()->windowTitle(), "MORVELL v1.9.11");
    EXPECT_EQ(_main_window, app->window());
    EXPECT_EQ(journal, (Journal{"view_histogram made", "view_histogram viewActivated"}));
    EXPECT_EQ(app->indexOnDisplay(), 0);
    EXPECT_EQ(app->_view_current, app->_view_histogram.get());
    EXPECT_EQ(app->view()->findChild<QWidget*>("view_histogram")->parentWidget(), app->view());

    QSettings s = stored();
    EXPECT_EQ(s.value("DefaultView").toInt(), 0);
    const QVariantList table = s.value("ColorTable").toList();
    ASSERT_EQ(table.size(), 48);
    for (int i = 0; i < 48; ++i) {
        const QVariantMap m = table[i].toMap();
        EXPECT_EQ(m.value("r").toInt(), kCategoryColor[size_t(i)].r) << i;
        EXPECT_EQ(m.value("g").toInt(), kCategoryColor[size_t(i)].g) << i;
        EXPECT_EQ(m.value("b").toInt(), kCategoryColor[size_t(i)].b) << i;
    }
    EXPECT_EQ(table[19], table[0]);
    EXPECT_EQ(table[36], table[31]);
    // The roots came from the store.
    EXPECT_EQ(zelk::roots::get().var, folders.var());
    EXPECT_EQ(zelk::roots::get().application, folders.application() + "/");
}

TEST_F(MorvellShell, ALaterStartKeepsTheUsersColoursAndStartsOnTheStoredPage) {
    start([](QSettings& s) {
        morvell::ColorTable mine = morvell::readColorTable(s);
        mine[5] = QColor(1, 2, 3);
        morvell::writeColorTable(s, mine);
        s.setValue("DefaultView", 2);
    });
    EXPECT_EQ(app->indexOnDisplay(), 2);
    EXPECT_EQ(journal, (Journal{"view_trend made", "view_trend viewActivated"}));
    QSettings s = stored();
    EXPECT_EQ(morvell::readColorTable(s)[5], QColor(1, 2, 3));
    EXPECT_EQ(morvell::readColorTable(s)[6], QColor(255, 153, 0));
}

// A stored page outside 0..4, or no number, still starts on a page.
TEST_F(MorvellShell, AStoredPageThatIsNoPageStartsOnTheHistogram) {
    for (const QVariant& bad : {QVariant(9), QVariant(-1), QVariant("abc")}) {
        journal.clear();
        start([&](QSettings& s) { s.setValue("DefaultView", bad); });
        EXPECT_EQ(app->indexOnDisplay(), 0) << bad.toString().toStdString();
        EXPECT_EQ(stored().value("DefaultView").toInt(), 0);
        app.reset();
    }
}

// Without the marker every request shows the GR&R page, the stored one included.
TEST_F(MorvellShell, WithoutTheMarkerEveryRequestShowsTheGrrPage) {
    folders.setMarker(false);
    start([](QSettings& s) { s.setValue("DefaultView", 2); });
    EXPECT_EQ(app->indexOnDisplay(), 3);
    EXPECT_EQ(stored().value("DefaultView").toInt(), 3);
    const size_t mark = journal.size();
    for (int i = 0; i < AppDelegate::kPageCount; ++i) action(("changeView_" + std::to_string(i)).c_str())->trigger();
    EXPECT_EQ(since(mark), Journal{}) << "the GR&R page on display is not shown again";
    EXPECT_EQ(app->indexOnDisplay(), 3);
    EXPECT_EQ(app->_view_histogram, nullptr);
    // The marker is tested at every request.
    folders.setMarker(true);
    action("changeView_1")->trigger();
    EXPECT_EQ(app->indexOnDisplay(), 1);
    EXPECT_EQ(stored().value("DefaultView").toInt(), 1);
}

TEST_F(MorvellShell, PagesAreMadeOnceKeptAndSwitchedWithoutRepeats) {
    start();
    journal.clear();
    action("changeView_1")->trigger();
    action("changeView_1")->trigger();  // the page on display: nothing
    action("changeView_0")->trigger();
    action("changeView_1")->trigger();
    app->changeViewController(5);
    app->changeViewController(-1);
    EXPECT_EQ(journal, (Journal{
                           "view_histogram viewDeactivated",
                           "view_correlation made",
                           "view_correlation viewActivated",
                           "view_correlation viewDeactivated",
                           "view_histogram viewActivated",
                           "view_histogram viewDeactivated",
                           "view_correlation viewActivated",
                       }));
    EXPECT_EQ(app->indexOnDisplay(), 1);
    EXPECT_EQ(stored().value("DefaultView").toInt(), 1);
    // Only the page on display is in the container's layout and visible.
    app->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(app->window()));
    QWidget* histogram = app->_view_histogram->view();
    QWidget* correlation = app->_view_correlation->view();
    EXPECT_FALSE(histogram->isVisible());
    EXPECT_TRUE(correlation->isVisible());
    EXPECT_EQ(correlation->geometry(), app->view()->rect());
    EXPECT_EQ(app->view()->layout()->count(), 1);
}

// Each key reaches the page on display and no other; without a page nothing happens.
TEST_F(MorvellShell, CommandsReachOnlyThePageOnDisplay) {
    start();
    action("changeView_1")->trigger();
    app->window()->show();
    QApplication::setActiveWindow(app->window());
    ASSERT_TRUE(QTest::qWaitForWindowActive(app->window()));
    struct Key {
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        const char* command;
    };
    const Key keys[] = {
        {Qt::Key_Up, Qt::ControlModifier, "OnMenu_command_up"},
        {Qt::Key_Down, Qt::ControlModifier, "OnMenu_command_down"},
        {Qt::Key_BracketLeft, Qt::ControlModifier, "OnMenu_command_bracket_left"},
        {Qt::Key_BracketRight, Qt::ControlModifier, "OnMenu_command_bracket_right"},
        {Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier, "OnMenu_command_shift_c"},
        {Qt::Key_Up, Qt::AltModifier, "OnMenu_option_up"},
        {Qt::Key_Down, Qt::AltModifier, "OnMenu_option_down"},
    };
    for (const Key& k : keys) {
        const size_t mark = journal.size();
        QTest::keyClick(app->view(), k.key, k.mods);
        EXPECT_EQ(since(mark), Journal{std::string("view_correlation ") + k.command + " " + k.command}) << k.command;
    }
    // Switch by key, then the same commands go to the histogram alone.
    QTest::keyClick(app->view(), Qt::Key_1, Qt::ControlModifier);
    ASSERT_EQ(app->indexOnDisplay(), 0);
    for (const Key& k : keys) {
        const size_t mark = journal.size();
        action(k.command)->trigger();
        EXPECT_EQ(since(mark), Journal{std::string("view_histogram ") + k.command + " " + k.command}) << k.command;
    }
}

TEST_F(MorvellShell, CommandsWithNoPageOnDisplayDoNothing) {
    folders.setMarker(true);
    AppDelegate::PageTable pages = AppDelegate::defaultPages();
    for (auto& entry : pages) entry.make = [this, n = std::string(entry.name)] { return std::make_unique<RecordingPage>(n, &journal); };
    app = std::make_unique<AppDelegate>(nullptr, std::move(pages));
    for (const char* c : {"OnMenu_command_up", "OnMenu_command_shift_c", "OnMenu_option_down"}) action(c)->trigger();
    EXPECT_EQ(journal, Journal{});
    EXPECT_EQ(app->indexOnDisplay(), AppDelegate::kNoPage);
}

// The application's end reaches the pages made, in the fixed order, once, while their views exist.
TEST_F(MorvellShell, TerminationInformsTheMadePagesInOrderOnce) {
    start();
    for (const char* a : {"changeView_3", "changeView_4", "changeView_2"}) action(a)->trigger();
    const size_t mark = journal.size();
    ASSERT_TRUE(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
    EXPECT_EQ(since(mark), (Journal{
                               "view_histogram applicationWillTerminate app view",
                               "view_histogram_2 applicationWillTerminate app view",
                               "view_trend applicationWillTerminate app view",
                               "view_grr applicationWillTerminate app view",
                           }));
    const size_t ended = journal.size();
    ASSERT_TRUE(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
    app.reset();
    for (const std::string& line : since(ended)) EXPECT_EQ(line.find("applicationWillTerminate"), std::string::npos) << line;
    EXPECT_EQ(journal.size() - ended, 4u) << "each page destroyed once";
    EXPECT_EQ(_main_window, nullptr);
}

// A shell torn down without the loop's end still tells its pages.
TEST_F(MorvellShell, DestroyingTheShellTellsThePagesFirst) {
    start();
    action("changeView_1")->trigger();
    const size_t mark = journal.size();
    app.reset();
    EXPECT_EQ(since(mark), (Journal{
                               "view_histogram applicationWillTerminate app view",
                               "view_correlation applicationWillTerminate app view",
                               "view_histogram destroyed",
                               "view_correlation destroyed",
                           }));
}

TEST_F(MorvellShell, WindowSizesKeepTheOrigin) {
    start();
    app->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(app->window()));
    app->window()->move(40, 50);
    const QPoint origin = app->window()->pos();
    for (const char* name : {"changeWindowSize_1024x768", "changeWindowSize_1024x768", "changeWindowSize_640x480"}) {
        QAction* a = action(name);
        const int tag = a->data().toInt();
        a->trigger();
        EXPECT_EQ(app->window()->size(), QSize(tag / 1000, tag % 1000)) << name;
        EXPECT_EQ(app->window()->pos(), origin) << name;
    }
    EXPECT_EQ(action("changeWindowSize_1024x768")->data().toInt(), 1024768);
}

// Stored colour tables as a hand-edited or damaged store may hold them: each
// entry that is no r/g/b map of 0..255 integers takes the built-in colour.
TEST(MorvellColorTable, MalformedEntriesFillInEntryByEntry) {
    morvelltest::ToolFolders folders;
    const auto builtin = [](int i) {
        return QColor(kCategoryColor[size_t(i)].r, kCategoryColor[size_t(i)].g, kCategoryColor[size_t(i)].b);
    };
    const auto rgb = [](QVariant r, QVariant g, QVariant b) {
        return QVariant(QVariantMap{{"r", r}, {"g", g}, {"b", b}});
    };
    struct Case {
        const char* what;
        QVariant stored;
        std::vector<std::pair<int, QColor>> expect;  // entries that differ from the built-in table
    };
    const Case cases[] = {
        {"missing", QVariant(), {}},
        {"empty list", QVariant(QVariantList{}), {}},
        {"a text", QVariant("abc"), {}},
        {"one good entry", QVariant(QVariantList{rgb(1, 2, 3)}), {{0, QColor(1, 2, 3)}}},
        {"rows of every fault",
         QVariant(QVariantList{rgb(10, 20, 30), QVariant("red"), QVariantMap{{"r", 1}, {"g", 2}}, rgb(256, 0, 0), rgb(-1, 0, 0),
                               rgb(1.5, 2, 3), rgb("x", 2, 3), rgb("7", "8", "9"), QVariant(5), rgb(0, 0, 0), rgb(255, 255, 255)}),
         {{0, QColor(10, 20, 30)}, {7, QColor(7, 8, 9)}, {9, QColor(0, 0, 0)}, {10, QColor(255, 255, 255)}}},
    };
    for (const Case& c : cases) {
        {
            auto store = morvell::userDefaults();
            store->clear();
            if (c.stored.isValid()) store->setValue("ColorTable", c.stored);
            store->sync();
        }
        auto store = morvell::userDefaults();
        const morvell::ColorTable got = morvell::readColorTable(*store);
        for (int i = 0; i < 48; ++i) {
            QColor want = builtin(i);
            for (const auto& [index, colour] : c.expect)
                if (index == i) want = colour;
            EXPECT_EQ(got[size_t(i)], want) << c.what << " entry " << i;
        }
        // Categories beyond the table cycle through it.
        EXPECT_EQ(morvell::colorOf(got, 48), got[0]) << c.what;
        EXPECT_EQ(morvell::colorOf(got, 95), got[47]) << c.what;
    }
}

// A damaged table is left as the user's: the shell starts with it and does not rewrite it.
TEST_F(MorvellShell, ADamagedColourTableIsKeptAndReadsWhole) {
    start([](QSettings& s) { s.setValue("ColorTable", QVariantList{QVariant("oops")}); });
    EXPECT_EQ(stored().value("ColorTable").toList().size(), 1);
    EXPECT_EQ(morvell::readColorTable(app->userDefaults())[0], QColor(255, 0, 0));
}

// The alert sink shows a window-modal box on the main window that does not block the caller.
TEST_F(MorvellShell, AlertsAreBoxesOnTheMainWindow) {
    start();
    app->window()->show();
    ZelkAlert_show("File Error", "cannot open /tmp/x.csv");
    QMessageBox* box = nullptr;
    ASSERT_TRUE(morvelltest::waitGui([&] {
        box = app->window()->findChild<QMessageBox*>("ZelkAlert");
        return box && box->isVisible();
    }));
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->text(), "File Error");
    EXPECT_EQ(box->informativeText(), "cannot open /tmp/x.csv");
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->buttons()[0]->text(), "OK");
    QTest::mouseClick(box->buttons()[0], Qt::LeftButton);
    EXPECT_TRUE(morvelltest::waitGui([&] { return !app->window()->findChild<QMessageBox*>("ZelkAlert"); }));
    app.reset();
    EXPECT_EQ(_main_window, nullptr);
}

// The new instance is this program by its own path with no arguments; no shell
// reads the path, whatever it holds.
TEST_F(MorvellShell, ANewWindowStartsTheProgramWithoutAShell) {
    start();
    const fs::path odd = folders.dir.path() / "a b;touch PWNED;$(touch PWNED2)&";
    fs::create_directories(odd);
    const fs::path program = odd / "Morvell 'x'";
    const std::string started = folders.dir.file("started");
    nktest::writeFile(program.string(), "#!/bin/sh\necho \"$# $0\" > '" + started + "'\n");
    fs::permissions(program, fs::perms::owner_all);
    app->_program = QString::fromStdString(program.string());
    action("newWindow")->trigger();
    ASSERT_TRUE(morvelltest::waitGui([&] { return nktest::readFile(started).find('\n') != std::string::npos; }));
    EXPECT_EQ(nktest::readFile(started), "0 " + program.string() + "\n");
    for (const fs::path& p : fs::recursive_directory_iterator(folders.dir.path()))
        EXPECT_TRUE(p.filename() != "PWNED" && p.filename() != "PWNED2") << p;
    EXPECT_FALSE(fs::exists("PWNED"));
    EXPECT_FALSE(fs::exists("PWNED2"));
}

// Life-cycle trace lines, seen through the system log's copy on standard error.
TEST_F(MorvellShell, TraceLinesNameTimeFileMethodAndLine) {
    openlog("nk_statistics_tests", LOG_PERROR, LOG_USER);
    testing::internal::CaptureStderr();
    start();
    app.reset();
    const std::string err = testing::internal::GetCapturedStderr();
    openlog("nk_statistics_tests", 0, LOG_USER);
    closelog();
    for (const char* method : {"awakeFromResource", "applicationWillTerminate"}) {
        const QRegularExpression line(QStringLiteral(R"(^(?:\S+: )?\[\d\d:\d\d:\d\d AppDelegate\.cpp:\[AppDelegate %1\]:\d+\]$)").arg(method),
                                      QRegularExpression::MultilineOption);
        EXPECT_TRUE(line.match(QString::fromStdString(err)).hasMatch()) << method << "\n" << err;
    }
}

// The shell as the user first sees it, for a person to look at.
TEST_F(MorvellShell, Screenshot) {
    // The tool's own pages, as in the program.
    app = std::make_unique<AppDelegate>();
    app->awakeFromResource();
    app->applicationDidFinishLaunching();
    app->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(app->window()));
    auto* label = app->view()->findChild<QWidget*>("view_histogram");
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->isVisible());
    const QImage shot = app->window()->grab().toImage();
    EXPECT_EQ(shot.size(), app->window()->size() * shot.devicePixelRatio());
    // The menu bar on top, the page below it.
    const QRect bar = app->window()->menuBar()->geometry();
    EXPECT_GT(bar.height(), 10);
    EXPECT_EQ(label->mapTo(app->window(), QPoint(0, 0)).y(), bar.bottom() + 1);
    fs::create_directories(NK_SCREENSHOT_DIR);
    const QString path = QStringLiteral(NK_SCREENSHOT_DIR "/morvell_shell.png");
    ASSERT_TRUE(shot.save(path));
    EXPECT_EQ(QImage(path).size(), shot.size());

    // The page commands with their keys, as the Graph menu lists them.
    QMenu* graph = nullptr;
    for (QAction* a : app->window()->menuBar()->actions())
        if (a->menu() && a->text() == "&Graph") graph = a->menu();
    ASSERT_NE(graph, nullptr);
    QStringList keys;
    for (QAction* a : graph->actions())
        if (!a->isSeparator()) keys << a->shortcut().toString();
    EXPECT_EQ(keys, (QStringList{"Ctrl+Up", "Ctrl+Down", "Ctrl+[", "Ctrl+]", "Ctrl+Shift+C", "Alt+Up", "Alt+Down"}));
    graph->popup(app->window()->mapToGlobal(QPoint(80, 20)));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(graph));
    ASSERT_TRUE(graph->grab().toImage().save(QStringLiteral(NK_SCREENSHOT_DIR "/morvell_shell_menu.png")));
    graph->hide();
}

// Where no display can be shown on (none named, or one that does not answer),
// the program says so in one line and fails.
TEST(MorvellProgram, WithoutADisplayItSaysSoAndFails) {
    // A display number with no server behind it.
    int n = 57;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(n))) ++n;
    for (const QString& display : {QString(), QStringLiteral(":%1").arg(n)}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
        if (!display.isEmpty()) env.insert("DISPLAY", display);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(NK_MORVELL_PATH), {});
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_NE(p.exitCode(), 0);
        const QString out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        EXPECT_EQ(out.count('\n'), 1) << out.toStdString();
        EXPECT_TRUE(out.startsWith("Morvell: no display")) << out.toStdString();
    }
}

// With a display the program starts its window: its first start writes the
// defaults, and without the marker the stored page becomes the GR&R page.
TEST(MorvellProgram, WithADisplayItStartsAndWritesItsDefaults) {
    nktest::TempDir dir;
    fs::create_directories(dir.path() / "config/Morvell");
    fs::create_directories(dir.path() / "var");
    const QString conf = QString::fromStdString(dir.file("config/Morvell/Morvell.conf"));
    {
        QSettings s(conf, QSettings::IniFormat);
        s.setValue("DefaultView", 2);
        s.setValue("VarFolder", QString::fromStdString(dir.file("var")));
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.file("config")));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(NK_MORVELL_PATH), {});
    ASSERT_TRUE(p.waitForStarted(60000));
    const bool written = morvelltest::waitGui([&] {
        QSettings s(conf, QSettings::IniFormat);
        return s.value("DefaultView").toInt() == 3 && s.value("ColorTable").toList().size() == 48;
    });
    EXPECT_TRUE(written);
    EXPECT_EQ(p.state(), QProcess::Running) << p.readAllStandardError().toStdString();
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(60000));
}

}  // namespace
