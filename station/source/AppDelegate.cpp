// The station program's delegate, without its window.
#include "AppDelegate.h"

#include <unistd.h>

#include <QSettings>
#include <memory>

#include "CVLRA_error.h"
#include "nk_error.h"

#ifndef LUMBREL_VERSION
#define LUMBREL_VERSION "0.00.00"
#endif

const char* lumbrel_version() { return LUMBREL_VERSION; }

// ---------------------------------------------------------------- cDataHubServer

u16 cDataHubServer::onAccept(u32 socketName) {
    AppDelegate* owner = owner_.load();
    return owner ? owner->onAccept(socketName) : 0;
}

void cDataHubServer::onCloseServer(u32 socketName) {
    if (AppDelegate* owner = owner_.load()) owner->onCloseServer(socketName);
}

void cDataHubServer::onLogRelay(const char* text) {
    if (AppDelegate* owner = owner_.load()) owner->onLogRelay(text);
}

// ---------------------------------------------------------------- AppDelegate

AppDelegate::AppDelegate(const lumbrel::StationSettings& settings, const StationSwitches& switches)
    : settings_(settings), switches_(switches) {
    _lm = new CNK_logManager();
    _lm->setVerboseLevel(kVL1);
    _lm->setLogRelay(&_eventSink);
    _server = new CNK_serverSocket(_lm);
}

AppDelegate::~AppDelegate() { applicationWillTerminate(); }

u16 AppDelegate::applicationDidFinishLaunching() {
    nkError_registerVlraError();
    _logPath_root = settings_.logRoot;
    _testScriptFile = settings_.scriptPath;
    _hostVersion = lumbrel_version();
    _isDevelopmentMode = switches_.development;
    _eventSink.setOwner(this);
    return 0;
}

u16 AppDelegate::launchServer() {
    const u16 err = _server->Launch(settings_.port, &_eventSink);
    _lm->printText(kVL1, err == 0 ? "Data Server Launched" : "Server Launch Failed");
    return err;
}

void AppDelegate::stopServer() {
    if (_server) _server->Close();
}

u16 AppDelegate::onAccept(u32) {
    _lm->printText(kVL1, "incoming connection");
    const int fd = _server->Accept();
    if (fd < 0) return 0;
    _lm->printText(kVL1, "*** REJECT *** Server reach max connection");
    ::close(fd);
    return 0;
}

void AppDelegate::onCloseServer(u32) {
    _lm->printText(kVL1, "server socket closed");
    _lm->printText(kVL1, "Data Server Stopped");
    _lm->setLogFileName(nullptr);
}

void AppDelegate::onLogRelay(const char* text) {
    if (!text) return;
    std::lock_guard<std::mutex> guard(_mtxLogString);
    _logString.append(text);
    // Without a pane to drain it, keep the newest text only.
    if (_logString.size() > kLogStringCapacity) _logString.erase(0, _logString.size() - kLogStringCapacity / 2);
}

std::string AppDelegate::takeLogString() {
    std::lock_guard<std::mutex> guard(_mtxLogString);
    std::string out;
    out.swap(_logString);
    return out;
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_) return;
    terminated_ = true;
    // The listener first, so no connection arrives while the sessions go.
    if (_server) {
        _server->Close();
        delete _server;
        _server = nullptr;
    }
    _eventSink.setOwner(nullptr);
    // The log manager last: everything above prints through it.
    if (_lm) {
        _lm->setLogRelay(nullptr);
        delete _lm;
        _lm = nullptr;
    }
}
