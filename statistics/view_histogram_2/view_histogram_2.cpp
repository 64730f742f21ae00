// The empty page.
#include "view_histogram_2.h"

#include <QMainWindow>
#include <QWidget>

#include "AppDelegate.h"
#include "nk_error.h"

#define MARK(method) nkDebug_PrintMarker(__FILE__, nullptr, method, __LINE__)

namespace {
// The set-up line is written once per process, however many pages are made.
bool g_awakeDone = false;
}  // namespace

view_histogram_2::view_histogram_2() : _view(new QWidget) {
    _view->setObjectName(QStringLiteral("view_histogram_2"));
    MARK("initWithViewResource");
    awakeFromResource();
    viewDidLoad();
}

view_histogram_2::~view_histogram_2() { delete _view; }

void view_histogram_2::awakeFromResource() {
    if (g_awakeDone) return;
    g_awakeDone = true;
    MARK("awakeFromResource");
}

void view_histogram_2::viewDidLoad() { MARK("viewDidLoad"); }

void view_histogram_2::viewActivated() {
    if (!_main_window) return;
    // resize() keeps the top-left corner where it is.
    _main_window->resize(640, 480);
}

void view_histogram_2::viewDeactivated() { MARK("viewDeactivated"); }
void view_histogram_2::applicationWillTerminate(QObject*) { MARK("applicationWillTerminate"); }
void view_histogram_2::OnMenu_command_up(QObject*) { MARK("OnMenu_command_up"); }
void view_histogram_2::OnMenu_command_down(QObject*) { MARK("OnMenu_command_down"); }
void view_histogram_2::OnMenu_command_bracket_left(QObject*) { MARK("OnMenu_command_bracket_left"); }
void view_histogram_2::OnMenu_command_bracket_right(QObject*) { MARK("OnMenu_command_bracket_right"); }
void view_histogram_2::OnMenu_command_shift_c(QObject*) { MARK("OnMenu_command_shift_c"); }
void view_histogram_2::OnMenu_option_up(QObject*) {}
void view_histogram_2::OnMenu_option_down(QObject*) {}
