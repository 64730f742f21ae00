// Lumbrel: the CG inspection station program.
#include <pthread.h>
#include <signal.h>

#include <QSettings>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AppDelegate.h"
#include "nk_utils.h"
#include "station_settings.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const lumbrel::CommandLine cmd = lumbrel::parseCommandLine(args);
    if (cmd.action == lumbrel::CommandLine::Action::postprocess) {
        std::fprintf(stderr, "Lumbrel: the offline re-evaluation mode is not available in this build\n");
        return 2;
    }
    if (cmd.action == lumbrel::CommandLine::Action::usage) {
        std::fprintf(stderr, "Lumbrel: %s\n%s", cmd.error.c_str(), lumbrel::usageText());
        return 2;
    }
    if (!cmd.headless) std::printf("Lumbrel: no station window in this build, starting headless\n");

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
    {
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
