#include "AppDelegate.h"

#include <syslog.h>

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QThread>
#include <QVBoxLayout>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "ZelkAlert.h"
#include "ZelkPaths.h"
#include "view_correlation.h"
#include "view_grr.h"
#include "view_histogram.h"
#include "view_histogram_2.h"
#include "view_trend.h"

QMainWindow* _main_window = nullptr;

// The shell's trace lines name the class with the method, as the tool's other trace lines do.
#define TRACE(method) QUASTEL_TRACE("AppDelegate " method)

void Quastel_trace(const char* file, const char* method, int line) {
    const char* base = file ? std::strrchr(file, '/') : nullptr;
    base = base ? base + 1 : (file ? file : "");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[16] = "";
    if (localtime_r(&now, &local)) std::strftime(stamp, sizeof(stamp), "%H:%M:%S", &local);
    syslog(LOG_NOTICE, "[%s %s:[%s]:%d]", stamp, base, method ? method : "", line);
}

namespace {

// Pages whose issues have not landed: the page's name on an empty view, and
// every command accepted and ignored.
class PlaceholderPage : public Quastel_Page {
public:
    PlaceholderPage(const char* name, const char* title) : view_(new QLabel) {
        view_->setObjectName(QString::fromLatin1(name));
        view_->setAlignment(Qt::AlignCenter);
        view_->setTextFormat(Qt::RichText);
        view_->setText(QStringLiteral("<h2>%1</h2><p>Not in this build yet.</p>").arg(QString::fromUtf8(title).toHtmlEscaped()));
    }
    ~PlaceholderPage() override { delete view_.data(); }
    QWidget* view() override { return view_; }
    void viewActivated() override {}
    void viewDeactivated() override {}
    void applicationWillTerminate(QObject*) override {}
    void OnMenu_command_up(QObject*) override {}
    void OnMenu_command_down(QObject*) override {}
    void OnMenu_command_bracket_left(QObject*) override {}
    void OnMenu_command_bracket_right(QObject*) override {}
    void OnMenu_command_shift_c(QObject*) override {}
    void OnMenu_option_up(QObject*) override {}
    void OnMenu_option_down(QObject*) override {}

private:
    QPointer<QLabel> view_;
};

template <typename Page>
Quastel_PageFactory page() {
    return [] { return std::unique_ptr<Quastel_Page>(new Page); };
}

Quastel_PageFactory placeholder(const char* name, const char* title) {
    return [name, title] { return std::unique_ptr<Quastel_Page>(new PlaceholderPage(name, title)); };
}

// Tells the delegate that its window is closing.
class WindowWatch : public QObject {
public:
    WindowWatch(AppDelegate* owner, QObject* parent) : QObject(parent), owner_(owner) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close && watched == owner_->window()) owner_->windowWillClose();
        return false;
    }

private:
    AppDelegate* owner_;
};

// The sink of the tool's alerts: a window-modal box with one button on the
// main window, which does not block the caller. Alerts raised off the GUI
// thread are shown from it.
void showAlert(const char* title, const char* message, const char* button) {
    const QString t = QString::fromUtf8(title), m = QString::fromUtf8(message), b = QString::fromUtf8(button);
    const auto show = [t, m, b] {
        auto* box = new QMessageBox(QMessageBox::Warning, t, t, QMessageBox::NoButton, _main_window);
        box->setObjectName(QStringLiteral("ZelkAlert"));
        box->setInformativeText(m);
        box->addButton(b, QMessageBox::AcceptRole);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(_main_window ? Qt::WindowModal : Qt::ApplicationModal);
        box->open();
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    if (QThread::currentThread() == app->thread())
        show();
    else
        QMetaObject::invokeMethod(app, show, Qt::QueuedConnection);
}

}  // namespace

// The five pages in the View menu's order, each made on first request.
AppDelegate::PageTable AppDelegate::defaultPages() {
    return {{
        {"view_histogram", page<view_histogram>()},
        {"view_correlation", page<view_correlation>()},
        {"view_trend", page<view_trend>()},
        {"view_grr", page<view_grr>()},
        {"view_histogram_2", page<view_histogram_2>()},
    }};
}

AppDelegate::AppDelegate(std::unique_ptr<QSettings> store, PageTable pages)
    : _program(QCoreApplication::applicationFilePath()),
      _store(store ? std::move(store) : morvell::userDefaults()),
      _pages(std::move(pages)) {
    // The tool's folders: each one the store names, else the built-in one.
    zelk::roots::Folders folders = zelk::roots::defaults();
    const std::pair<const char*, std::string*> keys[] = {
        {morvell::kKeyResourceFolder, &folders.resource}, {morvell::kKeyApplicationFolder, &folders.application},
        {morvell::kKeyToolFolder, &folders.tool},         {morvell::kKeyVarFolder, &folders.var},
        {morvell::kKeyTempFolder, &folders.temp},
    };
    for (const auto& [key, folder] : keys) {
        const QString v = _store->value(QString::fromLatin1(key)).toString();
        if (!v.isEmpty()) *folder = v.toStdString();
    }
    if (!folders.application.empty() && folders.application.back() != '/') folders.application += '/';
    zelk::roots::set(folders);
    createWindow();
}

AppDelegate::~AppDelegate() {
    // Pages hear of the end even when the application never ran its loop.
    applicationWillTerminate();
    if (_main_window == _window) {
        _main_window = nullptr;
        ZelkAlert_setSink(nullptr);
    }
    _view_current = nullptr;
    _view_histogram.reset();
    _view_histogram_2.reset();
    _view_correlation.reset();
    _view_trend.reset();
    _view_grr.reset();
    delete _window;
    _store->sync();
}

void AppDelegate::createWindow() {
    _window = new QMainWindow;
    _window->setObjectName(QStringLiteral("_window"));
    _view = new QWidget(_window);
    _view->setObjectName(QStringLiteral("_view"));
    auto* layout = new QVBoxLayout(_view);
    layout->setContentsMargins(0, 0, 0, 0);
    _window->setCentralWidget(_view);
    _window->resize(800, 600);

    const auto add = [this](QMenu* menu, const QString& text, const QKeySequence& keys, QVariant tag,
                            void (AppDelegate::*action)(QObject*)) {
        QAction* a = menu->addAction(text);
        a->setShortcut(keys);
        a->setShortcutContext(Qt::ApplicationShortcut);
        a->setData(tag);
        QObject::connect(a, &QAction::triggered, _window, [this, a, action] { (this->*action)(a); });
        return a;
    };
    QMenuBar* bar = _window->menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    add(file, QStringLiteral("New Window"), QKeySequence(QStringLiteral("Ctrl+N")), {}, &AppDelegate::newWindow)
        ->setObjectName(QStringLiteral("newWindow"));
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("Quit"));
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    QObject::connect(quit, &QAction::triggered, _window, [] { QCoreApplication::quit(); });

    QMenu* view = bar->addMenu(QStringLiteral("&View"));
    const char* titles[kPageCount] = {"Histogram", "Correlation", "Trend", "GR&&R", "Empty Page"};
    for (int i = 0; i < kPageCount; ++i)
        add(view, QString::fromUtf8(titles[i]), QKeySequence(QStringLiteral("Ctrl+%1").arg(i + 1)), i,
            &AppDelegate::changeView)
            ->setObjectName(QStringLiteral("changeView_%1").arg(i));

    QMenu* graph = bar->addMenu(QStringLiteral("&Graph"));
    struct Command {
        const char* text;
        const char* keys;
        const char* name;
        void (AppDelegate::*action)(QObject*);
    };
    const Command commands[] = {
        {"Previous Item", "Ctrl+Up", "OnMenu_command_up", &AppDelegate::OnMenu_command_up},
        {"Next Item", "Ctrl+Down", "OnMenu_command_down", &AppDelegate::OnMenu_command_down},
        {"Previous Setting", "Ctrl+[", "OnMenu_command_bracket_left", &AppDelegate::OnMenu_command_bracket_left},
        {"Next Setting", "Ctrl+]", "OnMenu_command_bracket_right", &AppDelegate::OnMenu_command_bracket_right},
        {"Copy Graph", "Ctrl+Shift+C", "OnMenu_command_shift_c", &AppDelegate::OnMenu_command_shift_c},
        {"Previous Tester", "Alt+Up", "OnMenu_option_up", &AppDelegate::OnMenu_option_up},
        {"Next Tester", "Alt+Down", "OnMenu_option_down", &AppDelegate::OnMenu_option_down},
    };
    for (const Command& c : commands) {
        add(graph, QString::fromLatin1(c.text), QKeySequence(QString::fromLatin1(c.keys)), {}, c.action)
            ->setObjectName(QString::fromLatin1(c.name));
        if (c.action == &AppDelegate::OnMenu_command_shift_c) graph->addSeparator();
    }

    QMenu* window = bar->addMenu(QStringLiteral("&Window"));
    const int sizes[][2] = {{640, 480}, {800, 600}, {1024, 768}, {1280, 800}, {1440, 900}};
    for (const auto& s : sizes)
        add(window, QStringLiteral("%1 \u00d7 %2").arg(s[0]).arg(s[1]), {}, s[0] * 1000 + s[1],
            &AppDelegate::changeWindowSize)
            ->setObjectName(QStringLiteral("changeWindowSize_%1x%2").arg(s[0]).arg(s[1]));

    _windowWatch = new WindowWatch(this, _window);
    _window->installEventFilter(_windowWatch);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, _window, [this] { applicationWillTerminate(); });
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, _window, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationHidden && !_hidden) {
            applicationWillHide();
            _hidden = true;
            applicationDidHide();
        } else if (state != Qt::ApplicationHidden && _hidden) {
            applicationWillUnhide();
            _hidden = false;
            applicationDidUnhide();
        }
    });
}

std::unique_ptr<Quastel_Page>& AppDelegate::slot(int index) {
    switch (index) {
        case kPageHistogram: return _view_histogram;
        case kPageCorrelation: return _view_correlation;
        case kPageTrend: return _view_trend;
        case kPageGrr: return _view_grr;
        default: return _view_histogram_2;
    }
}

void AppDelegate::initializeUserDefault() {
    if (!_store->contains(QString::fromLatin1(morvell::kKeyDefaultView)))
        _store->setValue(QString::fromLatin1(morvell::kKeyDefaultView), 0);
    if (!_store->contains(QString::fromLatin1(morvell::kKeyColorTable))) {
        morvell::ColorTable table;
        for (size_t i = 0; i < table.size(); ++i) table[i] = QColor(kCategoryColor[i].r, kCategoryColor[i].g, kCategoryColor[i].b);
        morvell::writeColorTable(*_store, table);
    }
    _store->sync();
}

void AppDelegate::awakeFromResource() {
    TRACE("awakeFromResource");
    initializeUserDefault();
    _window->setWindowTitle(QStringLiteral("%1 v%2").arg(QString::fromLatin1(kMorvellName), QString::fromLatin1(kMorvellVersion)));
    // A stored page that is no page (a hand-edited store) would leave the window
    // empty: the first page is shown instead.
    bool ok = false;
    int index = _store->value(QString::fromLatin1(morvell::kKeyDefaultView)).toInt(&ok);
    if (!ok || index < 0 || index >= kPageCount) index = kPageHistogram;
    changeViewController(index);
}

void AppDelegate::changeViewController(int index) {
    const std::string var = zelk::roots::get().var;
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::path(var) / ".enableGrrSpecUpdate", ec)) index = kPageGrr;
    if (unsigned(index) >= unsigned(kPageCount) || index == _index) return;

    auto* layout = static_cast<QVBoxLayout*>(_view->layout());
    if (_view_current) {
        QWidget* leaving = _view_current->view();
        layout->removeWidget(leaving);
        leaving->hide();
        _view_current->viewDeactivated();
    }
    std::unique_ptr<Quastel_Page>& page = slot(index);
    if (!page) {
        const PageEntry& entry = _pages[size_t(index)];
        if (entry.make) page = entry.make();
        if (!page) page = placeholder(entry.name, entry.name)();
    }
    _view_current = page.get();
    QWidget* shown = page->view();
    layout->addWidget(shown);
    shown->show();
    _store->setValue(QString::fromLatin1(morvell::kKeyDefaultView), index);
    _store->sync();
    _view_current->viewActivated();
    _index = index;
}

void AppDelegate::changeView(QObject* sender) {
    const auto* action = qobject_cast<QAction*>(sender);
    bool ok = false;
    const int tag = action ? action->data().toInt(&ok) : -1;
    if (ok && tag >= 0) changeViewController(tag);
}

void AppDelegate::changeWindowSize(QObject* sender) {
    const auto* action = qobject_cast<QAction*>(sender);
    bool ok = false;
    const int tag = action ? action->data().toInt(&ok) : 0;
    if (!ok || tag <= 0) return;
    const QSize size(tag / 1000, tag % 1000);
    if (_window->size() == size) return;
    _window->resize(size);
}

void AppDelegate::newWindow(QObject*) {
    TRACE("newWindow");
    // The program by its own path and no arguments: no shell reads the path.
    QProcess::startDetached(_program, {});
}

void AppDelegate::forward(void (Quastel_AppEvent::*command)(QObject*), QObject* sender) {
    if (_view_current) (_view_current->*command)(sender);
}

void AppDelegate::OnMenu_command_up(QObject* sender) { forward(&Quastel_AppEvent::OnMenu_command_up, sender); }
void AppDelegate::OnMenu_command_down(QObject* sender) { forward(&Quastel_AppEvent::OnMenu_command_down, sender); }
void AppDelegate::OnMenu_command_bracket_left(QObject* sender) {
    forward(&Quastel_AppEvent::OnMenu_command_bracket_left, sender);
}
void AppDelegate::OnMenu_command_bracket_right(QObject* sender) {
    forward(&Quastel_AppEvent::OnMenu_command_bracket_right, sender);
}
void AppDelegate::OnMenu_command_shift_c(QObject* sender) { forward(&Quastel_AppEvent::OnMenu_command_shift_c, sender); }
void AppDelegate::OnMenu_option_up(QObject* sender) {
    if (_view_current) _view_current->OnMenu_option_up(sender);
}
void AppDelegate::OnMenu_option_down(QObject* sender) {
    if (_view_current) _view_current->OnMenu_option_down(sender);
}

void AppDelegate::applicationWillFinishLaunching() { TRACE("applicationWillFinishLaunching"); }

void AppDelegate::applicationDidFinishLaunching() {
    _main_window = _window;
    ZelkAlert_setSink(showAlert);
}

void AppDelegate::applicationWillTerminate() {
    if (_terminated) return;
    _terminated = true;
    TRACE("applicationWillTerminate");
    QObject* notification = QCoreApplication::instance();
    for (Quastel_Page* page : {_view_histogram.get(), _view_histogram_2.get(), _view_correlation.get(), _view_trend.get(),
                               _view_grr.get()})
        if (page) page->applicationWillTerminate(notification);
}

void AppDelegate::applicationWillHide() { TRACE("applicationWillHide"); }
void AppDelegate::applicationDidHide() { TRACE("applicationDidHide"); }
void AppDelegate::applicationWillUnhide() { TRACE("applicationWillUnhide"); }
void AppDelegate::applicationDidUnhide() { TRACE("applicationDidUnhide"); }
void AppDelegate::windowWillClose() { TRACE("windowWillClose"); }
