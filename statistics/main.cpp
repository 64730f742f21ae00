// Morvell: the statistics tool for station CSV logs.
#include <syslog.h>

#include <QApplication>
#include <QMainWindow>
#include <cstdio>

#include "AppDelegate.h"
#include "display/pf_display.h"

int main(int argc, char** argv) {
    // The tool is its window: with nothing to show it on there is nothing to do.
    if (!pf::display::available(argc, argv)) {
        std::fprintf(stderr, "Morvell: no display to show the window on (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM)\n");
        return 1;
    }
    openlog("Morvell", LOG_PID, LOG_USER);
    int status = 0;
    {
        QApplication application(argc, argv);
        AppDelegate app;
        app.awakeFromResource();
        app.applicationWillFinishLaunching();
        app.window()->show();
        app.applicationDidFinishLaunching();
        // Closing the window ends the tool; aboutToQuit tells the pages.
        QApplication::setQuitOnLastWindowClosed(app.applicationShouldTerminateAfterLastWindowClosed());
        status = application.exec();
    }
    closelog();
    return status;
}
