// Lumbrel: the CG inspection station program.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <signal.h>

#include <QApplication>
#include <QGuiApplication>
#include <QMainWindow>
#include <QSettings>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "AppDelegate.h"
#include "cvlra_postprocess.h"
#include "display/pf_display.h"
#include "nk_utils.h"
#include "station_settings.h"

namespace {
int g_stopPipe[2] = {-1, -1};
void onStopSignal(int) {
    const char c = 's';
    [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], &c, 1);
}
}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const lumbrel::CommandLine cmd = lumbrel::parseCommandLine(args);
    if (cmd.action == lumbrel::CommandLine::Action::usage) {
        std::fprintf(stderr, "Lumbrel: %s\n%s", cmd.error.c_str(), lumbrel::usageText());
        return 2;
    }
    if (cmd.action == lumbrel::CommandLine::Action::postprocess) {
        // No window and no network: only the roots are needed, and nothing is stored.
        std::unique_ptr<QSettings> store(lumbrel::newUserSettings());
        const lumbrel::StationSettings settings = lumbrel::resolveSettings(cmd, *store);
        return lumbrel::postprocessFolder(cmd.postprocessFolder, settings.logRoot, stdout, stderr);
    }
    // The window is the default start; with no display to show it on, the station serves headless.
    const bool gui = !cmd.headless && pf::display::available(argc, argv);
    if (!cmd.headless && !gui) std::printf("Lumbrel: no display, starting headless\n");

    // Every thread started from here on inherits the blocked signals, so only
    // the wait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    lumbrel::StationSettings settings;
    {
        std::unique_ptr<QSettings> store(lumbrel::newUserSettings());
        lumbrel::initializeUserDefault(*store);
        settings = lumbrel::resolveSettings(cmd, *store);
    }
    StationSwitches switches;
    switches.development = cmd.development;
    switches.hubrEnabled = !cmd.noSubmission;
    switches.repositoryDryRun = cmd.repositoryDryRun;

    nkSys_enableSystemSleep(false);
    int status = 0;
    if (gui) {
        QApplication application(argc, argv);
        // A stop signal closes the window as the operator would, so the station
        // still stores its settings and ends every unit file. The GUI library
        // does not keep the signal mask, so the signals get a handler that only
        // writes to a pipe, and a waiter asks the loop to quit.
        if (pipe(g_stopPipe) != 0) return 1;
        struct sigaction sa {};
        sa.sa_handler = onStopSignal;
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
        std::atomic<bool> ended{false};
        std::thread signalWaiter([&application, &ended] {
            while (!ended.load()) {
                pollfd p{g_stopPipe[0], POLLIN, 0};
                if (poll(&p, 1, 100) > 0) {
                    QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
                    return;
                }
            }
        });
        {
            AppDelegate app(settings, switches);
            app.applicationDidFinishLaunching();
            app.createWindow();
            app._window->show();
            status = application.exec();
            app.applicationWillTerminate();
        }
        ended.store(true);
        signalWaiter.join();
    } else {
        // The charts of the units draw text, which needs the GUI library's
        // application object: made here, on the main thread, before any tester
        // is served, and off screen whatever the display.
        static int guiArgc = 3;
        static char arg0[] = "Lumbrel", arg1[] = "-platform", arg2[] = "offscreen";
        static char* guiArgv[] = {arg0, arg1, arg2, nullptr};
        QGuiApplication drawing(guiArgc, guiArgv);
        AppDelegate app(settings, switches);
        app.applicationDidFinishLaunching();
        if (app.launchServer() != 0) {
            status = 1;
        } else {
            int sig = 0;
            sigwait(&stopSignals, &sig);
            std::fflush(stdout);
        }
        app.applicationWillTerminate();
    }
    nkSys_enableSystemSleep(true);
    std::fflush(stdout);
    return status;
}
