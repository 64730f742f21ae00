// The device under test: its test thread, its ZTCP connection sequence, the fixture
// requests of the device, its log FIFO and the log collection.
#include "ZelkDeviceUnderTest.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ZelkError.h"
#include "ZelkFifo.h"
#include "ZelkPaths.h"
#include "ZelkUtil.h"

extern char** environ;

const char* const kStationIdStr[kZelk_stationNameCount] = {
    "UNKNOWN",          "TamberBoardCal",          "TamberModule_FLEX",     "TamberModule_SENSOR",
    "TamberModule_FOS", "TamberModule_MODULE",     "TamberModule_FINAL",    "TamberModule_REL",
    "TamberModule_TAMBER_IQC", "TamberModule_BOARD_IQC", "TamberPreCal",   "TamberCal",
    "TamberTest",       "TamberSystemRel",         "TouchTest",             "ProxCal",
    "ProxTest",         "ProxReleaseD",            "ProxCGTest",            "TamberPressure",
    "AlsCal",           "Alsar",                   "TamberAll",
};

const char* ZDUT_GetStationName(SInt32 stationId) {
    if (static_cast<UInt32>(stationId) >= static_cast<UInt32>(kZelk_stationNameCount)) return kStationIdStr[0];
    return kStationIdStr[stationId];
}

const UInt8 kZelk_DutColorTable[4][4] = {
    {20, 228, 196, 255},
    {220, 20, 60, 255},
    {127, 255, 212, 255},
    {0, 0, 139, 255},
};

namespace {

constexpr size_t kSerialMax = sizeof(tZelk_SystemInfo::MultitouchSerialNumber) - 1;
constexpr size_t kCollectPathMax = 1024;
constexpr UInt32 kReportLengthMax = 65535;

// Tool names in the tool folder.
constexpr const char* kCopyTool = "zelk_copy";
constexpr const char* kAnswerTool = "zelk_answer";
constexpr const char* kRelayTool = "zelk_relay";

bool hasControl(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// A serial number names files: no folder part, no "..", no control characters, bounded.
bool usableSerial(const char* text) {
    if (!text || !*text) return false;
    const std::string s(text, strnlen(text, kSerialMax + 1));
    if (s.size() > kSerialMax) return false;
    return s.find('/') == std::string::npos && s.find("..") == std::string::npos && !hasControl(s);
}

// A text that goes into the answer script between quotes.
bool usableScriptText(const char* text) {
    if (!text || !*text) return false;
    const std::string s(text, strnlen(text, kCollectPathMax));
    if (s.size() >= kCollectPathMax) return false;
    return !hasControl(s) && s.find('"') == std::string::npos && s.find('\\') == std::string::npos &&
           s.find('$') == std::string::npos && s.find('[') == std::string::npos;
}

std::string withSlash(const char* path) {
    std::string p = path ? path : "";
    if (p.empty() || p.back() != '/') p.push_back('/');
    return p;
}

void copyText(char* field, size_t size, const char* text) {
    std::strncpy(field, text ? text : "", size - 1);
    field[size - 1] = '\0';
}

pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

UInt32 readLe32(const UInt8* p) {
    return UInt32(p[0]) | UInt32(p[1]) << 8 | UInt32(p[2]) << 16 | UInt32(p[3]) << 24;
}

}  // namespace

Zelk_DeviceUnderTest::Zelk_DeviceUnderTest() : testInfo_(std::make_unique<tZelk_TestInfo>()) {}

Zelk_DeviceUnderTest::~Zelk_DeviceUnderTest() {
    isRunning_ = false;
    {
        std::lock_guard<std::mutex> hold(threadLock_);
        if (thread_.joinable()) {
            // A listener that drops the device from its last message runs on the test thread.
            if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
            else thread_.join();
        }
    }
    HandlerPtr handler, closed;
    std::shared_ptr<Zelk_ProjectBase> project;
    std::shared_ptr<iZelk_Crestel> board;
    {
        std::lock_guard<std::mutex> hold(eventLock_);
        closing_ = true;
    }
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        handler.swap(handler_);
        closed.swap(closed_);
        project.swap(project_);
        board = board_;
    }
    if (board) board->SetEventSink(nullptr);
    if (iZelk_LogManager* lm = lm_.load()) ZLM_SetLogRelay(lm, 0, nullptr);
    handler.reset();  // closes and joins unless an event under way holds it
    closed.reset();
    {
        std::unique_lock<std::mutex> hold(eventLock_);
        eventDone_.wait(hold, [&] { return eventsInFlight_ == 0; });
    }
    if (iZelk_UsbDevice* device = mtUsbDev_.load()) ZUSBD_SetEventSink(device, nullptr);
    tZelk_Fifo* fifo = fifo_.exchange(nullptr);
    ZUTIL_FIFO_Delete(&fifo);
}

// ------------------------------------------------------------------ settings

SInt32 Zelk_DeviceUnderTest::SetDutSerialNumber(const char* text) {
    if (!usableSerial(text)) {
        ZERR_REPORT(lm_.load(), kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    std::lock_guard<std::mutex> hold(infoLock_);
    copyText(sysInfo_.MultitouchSerialNumber, sizeof(sysInfo_.MultitouchSerialNumber), text);
    return kZErr_OK;
}

std::string Zelk_DeviceUnderTest::GetDutSerialNumber() const {
    std::lock_guard<std::mutex> hold(infoLock_);
    return sysInfo_.MultitouchSerialNumber;
}

tZelk_SystemInfo Zelk_DeviceUnderTest::GetSystemInfo() const {
    std::lock_guard<std::mutex> hold(infoLock_);
    return sysInfo_;
}

tZelk_TestInfo Zelk_DeviceUnderTest::GetTestInfo() const {
    std::lock_guard<std::mutex> hold(infoLock_);
    return *testInfo_;
}

std::shared_ptr<Zelk_ProjectBase> Zelk_DeviceUnderTest::GetProject() const {
    std::lock_guard<std::mutex> hold(linkLock_);
    return project_;
}

std::shared_ptr<iZelk_Crestel> Zelk_DeviceUnderTest::GetCrestel() const {
    std::lock_guard<std::mutex> hold(linkLock_);
    return board_;
}

iZelk_ZtcpHandler* Zelk_DeviceUnderTest::GetZtcpHandler() const { return handler().get(); }

Zelk_DeviceUnderTest::HandlerPtr Zelk_DeviceUnderTest::handler() const {
    std::lock_guard<std::mutex> hold(linkLock_);
    return handler_;
}

SInt32 Zelk_DeviceUnderTest::SetTestInfo(const tZelk_TestInfo* info, std::shared_ptr<Zelk_ProjectBase> project) {
    if (!info || !project) {
        ZERR_REPORT(lm_.load(), kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    {
        std::lock_guard<std::mutex> hold(infoLock_);
        *testInfo_ = *info;
    }
    iZelk_LogManager* lm = project->GetLogManager();
    std::shared_ptr<iZelk_Crestel> board;
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        project_ = project;
        board = board_;
    }
    iZelk_LogManager* previous = lm_.exchange(lm);
    if (previous && previous != lm) ZLM_SetLogRelay(previous, 0, nullptr);
    ZLM_SetLogRelay(lm, 0, this);
    if (board) project->SetCrestel(board);
    std::lock_guard<std::mutex> hold(infoLock_);
    copyText(sysInfo_.ZelkVersion, sizeof(sysInfo_.ZelkVersion), ZERR_GetVersionStr());
    copyText(sysInfo_.TestSwVersion, sizeof(sysInfo_.TestSwVersion), project->GetVersionString());
    return kZErr_OK;
}

SInt32 Zelk_DeviceUnderTest::SetEventSink(iZelk_DutEventSink* sink) {
    if (!sink) {
        ZERR_REPORT(lm_.load(), kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    std::lock_guard<std::mutex> hold(linkLock_);
    sink_ = sink;
    return kZErr_OK;
}

SInt32 Zelk_DeviceUnderTest::SetVersionAlert(iZelk_VersionAlert* alert) {
    if (!alert) {
        ZERR_REPORT(lm_.load(), kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    std::lock_guard<std::mutex> hold(linkLock_);
    alert_ = alert;
    return kZErr_OK;
}

SInt32 Zelk_DeviceUnderTest::AppendMtUsbDevice(iZelk_UsbDevice* device) {
    if (!device || mtUsbDev_.load()) {
        ZERR_REPORT(lm_.load(), kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    ZUSBD_SetEventSink(device, this);
    mtUsbDev_ = device;
    if (std::shared_ptr<Zelk_ProjectBase> project = GetProject()) project->SetMtUsbDev(&mtUsbDev_);
    return kZErr_OK;
}

void Zelk_DeviceUnderTest::connectionStatusUpdated(UInt32 name) {
    iZelk_DutEventSink* sink;
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        sink = sink_;
    }
    if (sink) sink->OnDutConnectionStatusUpdated(name);
}

SInt32 Zelk_DeviceUnderTest::SetCrestel(std::shared_ptr<iZelk_Crestel> board) {
    if (!board) {
        ZERR_REPORT(lm_.load(), kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    std::shared_ptr<iZelk_Crestel> previous;
    std::shared_ptr<Zelk_ProjectBase> project;
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        previous.swap(board_);
        board_ = board;
        project = project_;
    }
    if (previous && previous != board) previous->SetEventSink(nullptr);
    const SInt32 code = board->SetEventSink(this);
    if (code != kZErr_OK) {
        ZERR_REPORT(lm_.load(), code);
        return code;
    }
    if (project) project->SetCrestel(board);
    connectionStatusUpdated(dutName_.load());
    return kZErr_OK;
}

SInt32 Zelk_DeviceUnderTest::SetZtcpHandler(iZelk_ZtcpHandler* handler) {
    if (!handler) {
        ZERR_REPORT(lm_.load(), kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    HandlerPtr previous, closed;
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        previous.swap(handler_);
        closed.swap(closed_);
        handler_ = HandlerPtr(handler, [](iZelk_ZtcpHandler* h) { ZGH_Delete(&h); });
    }
    previous.reset();
    closed.reset();
    connectionStatusUpdated(dutName_.load());
    std::lock_guard<std::mutex> hold(infoLock_);
    for (tZelk_TestItem* group : {testInfo_->setupItems, testInfo_->testItems, testInfo_->resultItems,
                                  testInfo_->onPassItems, testInfo_->onFailItems, testInfo_->onOrchelPassItems}) {
        const UInt32 count = group == testInfo_->testItems ? kZelk_testItemCount : kZelk_setupItemCount;
        for (UInt32 i = 0; i < count; ++i) group[i].testStat = kZelk_itemPending;
    }
    return kZErr_OK;
}

// ------------------------------------------------------------------ the run

SInt32 Zelk_DeviceUnderTest::TestStartWithProgressListener(ZelkTestProgressListener* listener) {
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        listener_ = listener;
    }
    return TestStart();
}

SInt32 Zelk_DeviceUnderTest::TestStart() {
    std::lock_guard<std::mutex> start(threadLock_);
    if (isRunning_.load()) {
        ZERR_REPORT(lm_.load(), kZErr_alreadyRunning);
        return kZErr_alreadyRunning;
    }
    if (thread_.joinable()) {
        // The last run has ended. Started from its own last message, its thread only unwinds.
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
    std::shared_ptr<Zelk_ProjectBase> project = GetProject();
    if (!project) {
        ZERR_REPORT(lm_.load(), kZErr_objectNotAvailable);
        return kZErr_objectNotAvailable;
    }

    if (mtUsbDev_.load()) {
        const std::string serial = GetDutSerialNumber();
        if (!usableSerial(serial.c_str())) {
            ZERR_REPORT(lm_.load(), kZErr_invalidParam);
            return kZErr_invalidParam;
        }
        project->SetSerialNumber(serial.c_str());
        std::string stationName, logsPath, statPath;
        {
            std::lock_guard<std::mutex> hold(infoLock_);
            stationName.assign(testInfo_->stationName, strnlen(testInfo_->stationName, sizeof(testInfo_->stationName)));
            logsPath.assign(testInfo_->logsPathVesk, strnlen(testInfo_->logsPathVesk, sizeof(testInfo_->logsPathVesk)));
            statPath.assign(testInfo_->statPathVesk, strnlen(testInfo_->statPathVesk, sizeof(testInfo_->statPathVesk)));
        }
        SInt32 stationId = 0;
        for (SInt32 i = 0; i < kZelk_stationNameCount; ++i) {
            if (stationName == kStationIdStr[i]) {
                stationId = i;
                break;
            }
        }
        project->SetStationId(stationId);

        std::string logFile = withSlash(logsPath.c_str()) + serial + ".log";
        SInt32 code = project->OpenLogFile(logFile.data());
        if (code == kZErr_OK) code = project->SetCsvFileName((withSlash(statPath.c_str()) + stationName + ".csv").c_str());
        if (code == kZErr_OK) code = project->SetMtUsbDev(&mtUsbDev_);
        if (code != kZErr_OK) return code;
    }

    isRunning_ = true;  // before the thread starts, so an abort right after this call holds
    try {
        thread_ = std::thread([this] { testProcedure(); });
    } catch (const std::system_error&) {
        isRunning_ = false;
        ZERR_REPORT(lm_.load(), kZErr_threadCreationError);
        return kZErr_threadCreationError;
    }
    return kZErr_OK;
}

void Zelk_DeviceUnderTest::WaitForTestEnd() {
    // Joined outside the lock: the run's last message may start the next run.
    std::thread run;
    {
        std::lock_guard<std::mutex> hold(threadLock_);
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) run = std::move(thread_);
    }
    if (run.joinable()) run.join();
}

void Zelk_DeviceUnderTest::setState(tZelk_TestItem* item, SInt32 state) {
    std::lock_guard<std::mutex> hold(infoLock_);
    item->testStat = state;
}

Zelk_DeviceUnderTest::ItemRun Zelk_DeviceUnderTest::runItem(tZelk_TestItem* item, bool announce) {
    char text[sizeof(item->testName)];
    UInt32 timeoutMsec;
    {
        std::lock_guard<std::mutex> hold(infoLock_);
        item->testStat = kZelk_itemRunning;
        std::memcpy(text, item->testName, sizeof(text));
        text[sizeof(text) - 1] = '\0';
        timeoutMsec = item->timeoutMsec;
    }
    ZelkTestProgressListener* listener;
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        listener = listener_;
    }
    if (announce && listener) listener->willStartTest(text);

    ItemRun run;
    if (HandlerPtr h = handler()) {
        tZTCP_header* response = nullptr;
        const SInt32 sent = ZGH_SendCommand(h.get(), kZTCP_CTRL_RUN_COMMAND, text, UInt32(std::strlen(text)),
                                            &response, timeoutMsec);
        if (sent != kZErr_OK || !response) {
            run.failed = true;
            run.result = run.failCode = sent != kZErr_OK ? sent : kZErr_Unknown;
        } else {
            run.result = response->error;
            run.failed = run.result != kZErr_OK;
            run.failCode = run.result;
        }
        std::free(response);
    } else {
        run.result = ExecuteCommand(text);
        run.failed = run.result != kZErr_OK;
        run.failCode = run.result;
    }
    return run;
}

void Zelk_DeviceUnderTest::testProcedure() {
    std::shared_ptr<Zelk_ProjectBase> project = GetProject();
    iZelk_LogManager* lm = lm_.load();
    ZelkTestProgressListener* listener;
    iZelk_VersionAlert* alert;
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        listener = listener_;
        alert = alert_;
    }
    tZelk_TestInfo& info = *testInfo_;
    struct Group {
        tZelk_TestItem* items;
        UInt32 capacity;
    };
    const Group setup{info.setupItems, kZelk_setupItemCount}, test{info.testItems, kZelk_testItemCount},
        result{info.resultItems, kZelk_resultItemCount}, onPass{info.onPassItems, kZelk_onPassItemCount},
        onFail{info.onFailItems, kZelk_onFailItemCount},
        onOrchelPass{info.onOrchelPassItems, kZelk_onOrchelPassItemCount};
    const auto count = [&](const Group& g) {
        UInt32 n = 0;
        while (n < g.capacity && g.items[n].testName[0] != '\0') ++n;
        return n;
    };

    // 1. States and the number of tests.
    std::string scriptSw, scriptZelk, deviceSw, deviceZelk;
    UInt32 counts[6];
    {
        std::lock_guard<std::mutex> hold(infoLock_);
        const Group* groups[6] = {&setup, &test, &result, &onPass, &onFail, &onOrchelPass};
        for (int g = 0; g < 6; ++g) {
            counts[g] = count(*groups[g]);
            for (UInt32 i = 0; i < counts[g]; ++i) groups[g]->items[i].testStat = kZelk_itemPending;
        }
        scriptSw.assign(info.testSwVersion, strnlen(info.testSwVersion, sizeof(info.testSwVersion)));
        scriptZelk.assign(info.zelkVersion, strnlen(info.zelkVersion, sizeof(info.zelkVersion)));
        deviceSw.assign(sysInfo_.TestSwVersion, strnlen(sysInfo_.TestSwVersion, sizeof(sysInfo_.TestSwVersion)));
        deviceZelk.assign(sysInfo_.ZelkVersion, strnlen(sysInfo_.ZelkVersion, sizeof(sysInfo_.ZelkVersion)));
    }
    if (listener) listener->setTotalNumberOfTests(SInt32(counts[0] + counts[1]));

    SInt32 failCode = 0;
    bool finalFailed = false;
    bool versionMismatch = false;

    // 2. The versions the script expects.
    const bool swDiffers = !scriptSw.empty() && scriptSw != deviceSw;
    const bool zelkDiffers = !scriptZelk.empty() && scriptZelk != deviceZelk;
    if (swDiffers || zelkDiffers) {
        versionMismatch = true;
        const std::string& device = swDiffers ? deviceSw : deviceZelk;
        const std::string& script = swDiffers ? scriptSw : scriptZelk;
        char message[256];
        std::snprintf(message, sizeof(message),
                      "TamberCal Version on Device (%s) does not match expected version from the Host (%s).",
                      device.c_str(), script.c_str());
        ZLM_PrintError(lm, "%s", message);
        if (alert) alert->ShowAlert("Firmware Error", message, "OK");
    }

    const auto aborted = [&] { return !isRunning_.load(); };
    bool stop = versionMismatch;

    // 3. Setup: the first failure ends it and skips Test.
    bool setupPassed = true;
    for (UInt32 i = 0; !stop && i < counts[0]; ++i) {
        const ItemRun r = runItem(&setup.items[i], true);
        setState(&setup.items[i], r.failed ? kZelk_itemFailed : kZelk_itemPassed);
        if (r.failed) {
            failCode = r.failCode;
            setupPassed = false;
        }
        if (aborted()) stop = true;
        if (r.failed) break;
    }

    // 4. Test.
    for (UInt32 i = 0; !stop && setupPassed && i < counts[1]; ++i) {
        const ItemRun r = runItem(&test.items[i], true);
        bool goOn = true;
        if (!r.failed) {
            setState(&test.items[i], kZelk_itemPassed);
        } else {
            if (failCode == 0) failCode = r.failCode;
            if (project && project->IsOrchelPassErrorCode(r.result)) {
                setState(&test.items[i], kZelk_itemOrchelPassed);
            } else {
                setState(&test.items[i], kZelk_itemFailed);
                goOn = isCofMode_.load();
            }
        }
        if (aborted()) stop = true;
        if (!goOn) break;
    }

    // 5. Result: always, unless aborted.
    for (UInt32 i = 0; !stop && i < counts[2]; ++i) {
        const ItemRun r = runItem(&result.items[i], false);
        setState(&result.items[i], r.failed ? kZelk_itemFailed : kZelk_itemPassed);
        if (r.failed) failCode = r.failCode;
        if (aborted()) stop = true;
        if (r.failed) break;
    }

    // 6. The final group by the outcome.
    const Group& last = failCode == 0                                                ? onPass
                         : (project && project->IsOrchelPassErrorCode(failCode)) ? onOrchelPass
                                                                                    : onFail;
    const UInt32 finalCount = &last == &onPass ? counts[3] : &last == &onOrchelPass ? counts[5] : counts[4];
    for (UInt32 i = 0; !stop && i < finalCount; ++i) {
        const ItemRun r = runItem(&last.items[i], false);
        setState(&last.items[i], r.failed ? kZelk_itemFailed : kZelk_itemPassed);
        if (r.failed) finalFailed = true;
        if (aborted()) stop = true;
        if (r.failed) break;
    }

    // 8. The outcome. A version mismatch ran nothing, which is no pass.
    const bool wasAborted = aborted();
    SInt32 outcome = 0;
    if (wasAborted) {
        ZLM_PrintText(lm, 0, "ABORTED");
        outcome = 2;
    } else if (failCode != 0 || finalFailed || versionMismatch) {
        outcome = 1;
    }
    isRunning_ = false;
    if (listener) listener->testFlowIsFinished(outcome);
}

SInt32 Zelk_DeviceUnderTest::ExecuteCommand(const char* line) {
    iZelk_LogManager* lm = lm_.load();
    ZLM_PrintText(lm, 2, "*** %s ***", "[Zelk_DeviceUnderTest ExecuteCommand:]");
    const std::string text = line ? line : "";
    const size_t blank = text.find(' ');
    const std::string command = text.substr(0, blank);
    std::string argument = blank == std::string::npos ? "" : text.substr(blank + 1);
    while (!argument.empty() && (argument.back() == ' ' || argument.back() == '\t')) argument.pop_back();
    ZLM_PrintText(lm, 2, "cmd=%s\narg=%s", command.c_str(), argument.c_str());

    std::shared_ptr<Zelk_ProjectBase> project = GetProject();
    const std::string name = command + ":";
    if (project && project->RespondsToCommand(name.c_str())) return project->PerformCommand(name.c_str(), argument.c_str());
    std::printf("[ERR] \"%s\" is NOT supported by %s\n", command.c_str(), project ? project->GetProjectName() : "");
    std::fflush(stdout);
    return kZErr_notSupported;
}

// ------------------------------------------------------------------ the device log

void Zelk_DeviceUnderTest::OnLogStringUpdated(UInt32, const char* text) {
    if (!text || !*text) return;
    tZelk_Fifo* fifo = fifo_.load();
    if (!fifo) {
        std::lock_guard<std::mutex> hold(logTextLock_);
        fifo = fifo_.load();
        if (!fifo) {
            logText_.reset(new (std::nothrow) char[kLogSize + 1]);
            if (logText_) fifo = ZUTIL_FIFO_Create(kLogSize);
            if (!fifo) return;
            fifo_ = fifo;
        }
    }
    const size_t length = std::strlen(text);
    if (length >= kLogSize) return;
    UInt32 n = UInt32(length);
    ZUTIL_FIFO_Write(fifo, reinterpret_cast<const UInt8*>(text), &n, 100);
    if (n == 0) return;  // no room, or the lock was not had in time: the text is dropped
    iZelk_DutEventSink* sink;
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        sink = sink_;
    }
    if (sink) sink->OnDutLogStringUpdated(dutName_.load());
}

const char* Zelk_DeviceUnderTest::GetLogString() {
    tZelk_Fifo* fifo = fifo_.load();
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> hold(logTextLock_);
    UInt32 n = kLogSize;
    logText_[0] = '\0';
    ZUTIL_FIFO_Read(fifo, reinterpret_cast<UInt8*>(logText_.get()), &n, 100);
    logText_[n] = '\0';
    return logText_.get();
}

// ------------------------------------------------------------------ ZTCP events

// The handler whose event this is, held by this object. No shared reference is taken:
// one that outlived the object's own would free the handler on its own thread later,
// and whoever deletes the handler from elsewhere waits for this event first.
iZelk_ZtcpHandler* Zelk_DeviceUnderTest::eventHandler(SInt32 id) const {
    std::lock_guard<std::mutex> hold(linkLock_);
    if (handler_ && handler_->id.load() == id) return handler_.get();
    return nullptr;
}

bool Zelk_DeviceUnderTest::enterEvent() {
    std::lock_guard<std::mutex> hold(eventLock_);
    if (closing_) return false;
    ++eventsInFlight_;
    return true;
}

void Zelk_DeviceUnderTest::leaveEvent() {
    {
        std::lock_guard<std::mutex> hold(eventLock_);
        --eventsInFlight_;
    }
    eventDone_.notify_all();
}

SInt32 Zelk_DeviceUnderTest::connectSequence(iZelk_ZtcpHandler* h, SInt32 id) {
    iZelk_LogManager* lm = lm_.load();
    const auto request = [&](UInt32 control, const void* payload, UInt32 length, tZTCP_header** response) {
        tZTCP_header* answer = nullptr;
        SInt32 code = ZGH_SendCommand(h, control, payload, length, &answer, kConnectTimeoutMsec);
        if (code == kZErr_OK && answer && answer->error != 0) code = answer->error;
        if (code != kZErr_OK || !response) {
            std::free(answer);
            answer = nullptr;
        }
        if (response) *response = answer;
        if (code != kZErr_OK) ZERR_REPORT_IN(lm, "[Zelk_DeviceUnderTest OnZhConnect:]", code);
        return code;
    };
    const UInt8* colour = kZelk_DutColorTable[UInt32(id) % 4];
    char command[96];
    std::snprintf(command, sizeof(command), "SetScreenColor %u %u %u %u", colour[0], colour[1], colour[2], colour[3]);
    ZLM_PrintText(lm, 1, "sending kZTCP_CTRL_RUN_COMMAND packet\n\t%s", command);
    SInt32 code = request(kZTCP_CTRL_RUN_COMMAND, command, UInt32(std::strlen(command)), nullptr);
    if (code != kZErr_OK) return code;

    std::snprintf(command, sizeof(command), "SetScreenUnitName SLOT_%d", id);
    ZLM_PrintText(lm, 1, "sending kZTCP_CTRL_RUN_COMMAND packet\n\t%s", command);
    code = request(kZTCP_CTRL_RUN_COMMAND, command, UInt32(std::strlen(command)), nullptr);
    if (code != kZErr_OK) return code;

    ZLM_PrintText(lm, 1, "sending kZTCP_CTRL_GET_SYS_INFO packet\n");
    tZTCP_header* response = nullptr;
    code = request(kZTCP_CTRL_GET_SYS_INFO, nullptr, 0, &response);
    if (code != kZErr_OK) return code;
    tZelk_SystemInfo info{};
    // A short record is taken as far as it goes; every text stays terminated.
    const size_t length = std::min<size_t>(response->length, sizeof(info));
    std::memcpy(&info, reinterpret_cast<const UInt8*>(response) + sizeof(tZTCP_header), length);
    std::free(response);
    for (char* field : {info.ModelName, info.DeviceName, info.SystemConfiguration, info.SerialNumber,
                        info.MLBSerialNumber, info.MultitouchSerialNumber, info.DisplaySerialNumber, info.ZelkVersion,
                        info.TestSwVersion})
        field[63] = '\0';
    {
        std::lock_guard<std::mutex> hold(infoLock_);
        sysInfo_ = info;
    }

    ZLM_PrintText(lm, 1, "sending kZTCP_CTRL_GET_CB_INFO packet\n");
    const UInt8 cbInfo = 8;
    code = request(kZTCP_CTRL_GET_CB_INFO, &cbInfo, 1, nullptr);
    if (code != kZErr_OK) return code;

    const auto na = [](const char* t) { return t[0] ? t : "NA"; };
    ZLM_PrintText(lm, 0, "[Model Name  ] %s", na(info.ModelName));
    ZLM_PrintText(lm, 0, "[Device Name ] %s", na(info.DeviceName));
    ZLM_PrintText(lm, 0, "[HW Config   ] %s", na(info.SystemConfiguration));
    ZLM_PrintText(lm, 0, "[System SN   ] %s", na(info.SerialNumber));
    ZLM_PrintText(lm, 0, "[MLB SN      ] %s", na(info.MLBSerialNumber));
    ZLM_PrintText(lm, 0, "[Tamber SN    ] %s", na(info.MultitouchSerialNumber));
    ZLM_PrintText(lm, 0, "[Display SN  ] %s", na(info.DisplaySerialNumber));

    // No script given yet: all zero but for the item states, which setting the handler
    // has already put to pending.
    bool empty;
    {
        auto probe = std::make_unique<tZelk_TestInfo>();
        {
            std::lock_guard<std::mutex> hold(infoLock_);
            *probe = *testInfo_;
        }
        for (tZelk_TestItem* group : {probe->setupItems, probe->testItems, probe->resultItems, probe->onPassItems,
                                      probe->onFailItems, probe->onOrchelPassItems}) {
            const UInt32 count = group == probe->testItems ? kZelk_testItemCount : kZelk_setupItemCount;
            for (UInt32 i = 0; i < count; ++i) group[i].testStat = 0;
        }
        const auto zero = std::make_unique<tZelk_TestInfo>();
        std::memset(zero.get(), 0, sizeof(tZelk_TestInfo));
        empty = std::memcmp(probe.get(), zero.get(), sizeof(tZelk_TestInfo)) == 0;
    }
    if (empty) {
        const std::string script = zelk::roots::get().resource + "/testScript.zqs";
        auto parsed = std::make_unique<tZelk_TestInfo>();
        code = ZPB_GetTestInfo(script.c_str(), parsed.get());
        if (code != kZErr_OK) {
            ZERR_REPORT_IN(lm, "[Zelk_DeviceUnderTest OnZhConnect:]", code);
            return code;
        }
        std::lock_guard<std::mutex> hold(infoLock_);
        *testInfo_ = *parsed;
    }
    return kZErr_OK;
}

void Zelk_DeviceUnderTest::OnZhConnect(SInt32 id) {
    if (!enterEvent()) return;
    ZLM_PrintText(lm_.load(), 0, "*** OnZmConnect [0x%08X] ***", UInt32(id));
    if (iZelk_ZtcpHandler* h = eventHandler(id)) connectSequence(h, id);
    leaveEvent();
}

void Zelk_DeviceUnderTest::serveFixture(iZelk_ZtcpHandler* h, const tZTCP_header* header, const UInt8* payload) {
    const UInt32 length = payload ? header->length : 0;
    const UInt8 seq = header->seq;
    std::shared_ptr<iZelk_Crestel> board = GetCrestel();
    const auto answer = [&](SInt32 code, const void* data, UInt32 size) {
        ZGH_SendResponse(h, seq, UInt8(code), code == kZErr_OK ? data : nullptr, code == kZErr_OK ? size : 0);
    };
    switch (header->control) {
    case kZTCP_CTRL_FIXTURE_GET_STATE: {
        UInt8 state = 0;
        const SInt32 code = board ? board->ctGetFixtureStat(&state) : kZErr_objectNotAvailable;
        answer(code, &state, 1);
        break;
    }
    case kZTCP_CTRL_FIXTURE_SET_STATE:
        if (length < 2) return answer(kZErr_invalidParam, nullptr, 0);
        answer(board ? board->ctSetFixtureStat(payload[0], payload[1]) : kZErr_objectNotAvailable, nullptr, 0);
        break;
    case kZTCP_CTRL_FIXTURE_GET_REPORT: {
        if (length < 5) return answer(kZErr_invalidParam, nullptr, 0);
        const UInt32 size = readLe32(payload + 1);
        if (size > kReportLengthMax) return answer(kZErr_invalidParam, nullptr, 0);
        if (!board) return answer(kZErr_objectNotAvailable, nullptr, 0);
        std::vector<UInt8> buffer(size + 64u);
        const SInt32 code = board->ctGetReport(payload[0], buffer.data(), size);
        ZGH_SendResponse(h, seq, UInt8(code), size ? buffer.data() : nullptr, size);
        break;
    }
    case kZTCP_CTRL_FIXTURE_SET_REPORT: {
        if (length < 5) return answer(kZErr_invalidParam, nullptr, 0);
        const UInt32 size = readLe32(payload + 1);
        if (size > kReportLengthMax || length - 5 < size) return answer(kZErr_invalidParam, nullptr, 0);
        answer(board ? board->ctSetReport(payload[0], payload + 5, size) : kZErr_objectNotAvailable, nullptr, 0);
        break;
    }
    case kZTCP_CTRL_FIXTURE_READ_ADC: {
        if (length < 3) return answer(kZErr_invalidParam, nullptr, 0);
        double volts = 0;
        const SInt32 code = board ? board->ctReadADC(payload[0], payload[1], payload[2], &volts) : kZErr_objectNotAvailable;
        answer(code, &volts, sizeof(volts));
        break;
    }
    default:
        break;
    }
}

void Zelk_DeviceUnderTest::OnZhReceive(SInt32 id, const tZTCP_header* header, const UInt8* payload) {
    if (!header || !enterEvent()) return;
    ZLM_PrintText(lm_.load(), 1, "*** OnZmReceive [0x%08X] ***", UInt32(id));
    const UInt32 length = payload ? header->length : 0;
    switch (header->control) {
    case kZTCP_CTRL_BACKWARD_CONTROL: {
        iZelk_DutEventSink* sink;
        {
            std::lock_guard<std::mutex> hold(linkLock_);
            sink = sink_;
        }
        if (sink) sink->OnDutBackwardControl(dutName_.load(), header->seq, payload, length);
        break;
    }
    case kZTCP_CTRL_LOG_TEXT:
        // The handler follows a payload with a zero byte.
        if (length > 0) OnLogStringUpdated(0, reinterpret_cast<const char*>(payload));
        break;
    case kZTCP_CTRL_FIXTURE_GET_STATE:
    case kZTCP_CTRL_FIXTURE_SET_STATE:
    case kZTCP_CTRL_FIXTURE_GET_REPORT:
    case kZTCP_CTRL_FIXTURE_SET_REPORT:
    case kZTCP_CTRL_FIXTURE_READ_ADC:
        if (iZelk_ZtcpHandler* h = eventHandler(id)) serveFixture(h, header, payload);
        break;
    default:
        break;
    }
    leaveEvent();
}

void Zelk_DeviceUnderTest::OnZhClose(SInt32 id) {
    if (!enterEvent()) return;
    ZLM_PrintText(lm_.load(), 1, "*** OnZmClose [0x%08X] ***", UInt32(id));
    // The handler is put aside rather than freed here: freed on its own thread it would
    // be gone only after this event, when the log manager it reports to may be gone too.
    // The one put aside before is freed now (from this other thread it is joined).
    HandlerPtr earlier;
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        if (handler_ && handler_->id.load() == id) {
            earlier.swap(closed_);
            closed_.swap(handler_);
        }
    }
    earlier.reset();
    {
        std::lock_guard<std::mutex> hold(infoLock_);
        sysInfo_ = tZelk_SystemInfo{};
    }
    connectionStatusUpdated(UInt32(id));
    leaveEvent();
}

SInt32 Zelk_DeviceUnderTest::SendBackwardControlResponseWithErrCode(UInt8 seq, UInt8 code, const char* message) {
    HandlerPtr h = handler();
    if (!h) {
        ZERR_REPORT(lm_.load(), kZErr_objectNotAvailable);
        return kZErr_objectNotAvailable;
    }
    char payload[kBackwardControlPayload] = {};
    copyText(payload, sizeof(payload), message);
    return ZGH_SendResponse(h.get(), seq, code, payload, sizeof(payload));
}

// ------------------------------------------------------------------ disconnections

void Zelk_DeviceUnderTest::OnUsbDevDisconnected(const tZelk_UsbDevInfo&) {
    mtUsbDev_ = nullptr;
    connectionStatusUpdated(dutName_.load());
}

void Zelk_DeviceUnderTest::OnCtDisconnected(UInt32) {
    std::shared_ptr<iZelk_Crestel> board;
    {
        std::lock_guard<std::mutex> hold(linkLock_);
        board.swap(board_);
    }
    board.reset();
    connectionStatusUpdated(dutName_.load());
}

// ------------------------------------------------------------------ log collection

SInt32 Zelk_DeviceUnderTest::LogCollectionSrcPath(const char* src, const char* dst, const char* serial) {
    iZelk_LogManager* lm = lm_.load();
    if (!usableScriptText(src) || !usableScriptText(dst) || !usableSerial(serial) || !usableScriptText(serial)) {
        ZERR_REPORT(lm, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    struct stat st{};
    if (stat(dst, &st) != 0) {
        if (mkdir(dst, 0777) != 0 && errno != EEXIST) {
            ZERR_REPORT(lm, kZErr_pathNotExist);
            return kZErr_pathNotExist;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        ZERR_REPORT(lm, kZErr_pathNotExist);
        return kZErr_pathNotExist;
    }

    const zelk::roots::Folders roots = zelk::roots::get();
    const std::string tools = withSlash(roots.tool.c_str());
    // The answer script goes in a folder of our own: nobody else can swap it before it runs.
    std::string folder = withSlash(roots.temp.c_str()) + "zelk-collect-XXXXXX";
    if (!mkdtemp(folder.data())) {
        ZERR_REPORT(lm, kZErr_fileOpenFailed);
        return kZErr_fileOpenFailed;
    }
    std::string scriptPath = folder + "/trsync-XXXXXX";
    const int fd = mkstemp(scriptPath.data());
    if (fd < 0) {
        rmdir(folder.c_str());
        ZERR_REPORT(lm, kZErr_fileOpenFailed);
        return kZErr_fileOpenFailed;
    }
    const std::string target = withSlash(dst) + serial + "/";
    const std::string script = std::string("limit 70\n") + "start \"" + tools + kCopyTool + "\" -a -v \"" + src +
                               "\" \"" + target + "\"\n" + "await \"Password:\"\n" + "answer \"tembly\\r\"\n" +
                               "await \"$\"\n";
    const bool written = ::write(fd, script.data(), script.size()) == ssize_t(script.size());
    const bool closed = close(fd) == 0;
    const auto cleanUp = [&] {
        unlink(scriptPath.c_str());
        rmdir(folder.c_str());
    };
    if (!written || !closed || chmod(scriptPath.c_str(), 0700) != 0) {
        cleanUp();
        ZERR_REPORT(lm, kZErr_fileOpenFailed);
        return kZErr_fileOpenFailed;
    }

    const pid_t relay = spawn({tools + kRelayTool, "--offset", "10000", "873"});
    const pid_t answer = spawn({tools + kAnswerTool, scriptPath});
    SInt32 code = kZErr_OK;
    if (answer < 0) code = kZErr_processCreationError;
    else if (waitExit(answer) != 0) code = kZErr_logCopyFailed;
    if (relay > 0) {
        kill(relay, SIGTERM);
        waitExit(relay);
    }
    cleanUp();
    if (code != kZErr_OK) ZERR_REPORT(lm, code);
    return code;
}
