// The statistics tool's shell: its main window with a page container and the
// menus, the per-user defaults, the pages by index (the menu item's tag), the
// window sizes, a further instance, and the end of the application.
#pragma once

#include <QSettings>
#include <QString>

#include <array>
#include <memory>

#include "AppUserDefaults.h"
#include "Quastel_AppEvent.h"

class QMainWindow;
class QWidget;

// The main window, parent of every alert box of the tool; set when launching
// has finished, null before and after the shell.
extern QMainWindow* _main_window;

// The window's title.
inline constexpr const char* kMorvellName = "MORVELL";
inline constexpr const char* kMorvellVersion = "1.9.11";

class AppDelegate {
public:
    // Pages by index; the index is the tag of the menu item that shows the page.
    enum PageIndex { kPageHistogram = 0, kPageCorrelation = 1, kPageTrend = 2, kPageGrr = 3, kPageEmpty = 4 };
    static constexpr int kPageCount = 5;
    // No page on display.
    static constexpr int kNoPage = 5;

    struct PageEntry {
        const char* name;  // the page's class, and the object name of its view
        Quastel_PageFactory make;
    };
    using PageTable = std::array<PageEntry, kPageCount>;
    // The tool's pages; a page that is not built yet is a placeholder that shows its name.
    static PageTable defaultPages();

    // The platform's main interface file: the main window, the container view,
    // the menus and the delegate. `store` holds the per-user defaults (the
    // user's own when null); `pages` makes the pages by index. The folders of
    // zelk::roots are set from the store. Needs the widget application.
    explicit AppDelegate(std::unique_ptr<QSettings> store = nullptr, PageTable pages = defaultPages());
    // Destroys the pages (each deletes its view), then the window.
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    QMainWindow* window() const { return _window; }
    QWidget* view() const { return _view; }
    QSettings& userDefaults() { return *_store; }
    // The index on display, kNoPage before the first page.
    int indexOnDisplay() const { return _index; }

    // Writes "DefaultView" (0) and "ColorTable" (kCategoryColor) where missing.
    void initializeUserDefault();
    // The start: defaults, title, then the page of "DefaultView".
    void awakeFromResource();
    // Shows page `index` (created on its first request and kept). Without the
    // marker ".enableGrrSpecUpdate" in the var folder every request shows the
    // GR&R page. An index outside 0..4 or the page on display does nothing.
    void changeViewController(int index);

    // Menu actions; `sender` is the QAction and its data() the tag.
    void changeView(QObject* sender);
    // The tag is width x 1000 + height, in points (one point is one pixel).
    void changeWindowSize(QObject* sender);
    // Starts a further instance of the program (no shell, no arguments); a
    // failed start is not reported.
    void newWindow(QObject* sender);
    // Forwarded to the page on display.
    void OnMenu_command_up(QObject* sender);
    void OnMenu_command_down(QObject* sender);
    void OnMenu_command_bracket_left(QObject* sender);
    void OnMenu_command_bracket_right(QObject* sender);
    void OnMenu_command_shift_c(QObject* sender);
    void OnMenu_option_up(QObject* sender);
    void OnMenu_option_down(QObject* sender);

    // Application callbacks. The program calls applicationWillFinishLaunching and
    // applicationDidFinishLaunching around showing the window; the application's
    // aboutToQuit calls applicationWillTerminate (once).
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    void applicationWillTerminate();
    void applicationWillHide();
    void applicationDidHide();
    void applicationWillUnhide();
    void applicationDidUnhide();
    void windowWillClose();

    // The program a new window starts: this program, by its own path.
    QString _program;

    Quastel_Page* _view_current = nullptr;
    std::unique_ptr<Quastel_Page> _view_histogram;
    std::unique_ptr<Quastel_Page> _view_histogram_2;
    std::unique_ptr<Quastel_Page> _view_correlation;
    std::unique_ptr<Quastel_Page> _view_trend;
    std::unique_ptr<Quastel_Page> _view_grr;
    QMainWindow* _window = nullptr;
    QWidget* _view = nullptr;

private:
    std::unique_ptr<Quastel_Page>& slot(int index);
    void createWindow();
    void forward(void (Quastel_AppEvent::*command)(QObject*), QObject* sender);

    std::unique_ptr<QSettings> _store;
    PageTable _pages;
    int _index = kNoPage;
    bool _terminated = false;
    bool _hidden = false;
    QObject* _windowWatch = nullptr;
};
