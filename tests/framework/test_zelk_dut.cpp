// The device under test: the flow of a run over the six groups, local script lines,
// the start of a run with a USB device, the ZTCP connection sequence, the device's
// requests against a simulated device over loopback, and the log collection with
// recording tools.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ZelkDeviceUnderTest.h"
#include "ZelkError.h"
#include "ZelkPaths.h"
#include "ZelkZtcpHandler.h"
#include "crestel_sim.h"
#include "nk_test_util.h"
#include "runloop/pf_runloop.h"
#include "usb/pf_usb.h"
#include "ztcp_device_sim.h"

using nktest::readFile;
using nktest::TempDir;
using nktest::writeFile;

namespace {

constexpr auto kDeadline = std::chrono::seconds(60);

// A project whose one command "Step label code" records the label and answers the code.
// A label "abort" aborts the run from inside its item; "hold" waits until released.
class FlowProject : public Zelk_ProjectBase {
public:
    explicit FlowProject(Zelk_DeviceUnderTest* dut = nullptr) : dut_(dut) {
        RegisterCommand("Step", [this](char* argument) { return step(argument); });
    }
    const char* GetProjectName() override { return "FlowProject"; }
    const char* GetVersionString() override { return "SW-1"; }
    bool IsOrchelPassErrorCode(SInt32 code) override { return code == 91; }

    std::vector<std::string> labels() {
        std::lock_guard<std::mutex> hold(m_);
        return labels_;
    }
    void release() {
        std::lock_guard<std::mutex> hold(m_);
        released_ = true;
        cv_.notify_all();
    }
    bool waitHeld() {
        std::unique_lock<std::mutex> hold(m_);
        return cv_.wait_for(hold, kDeadline, [&] { return held_; });
    }

private:
    SInt32 step(char* argument) {
        char label[64] = {};
        int code = 0;
        std::sscanf(argument, "%63s %d", label, &code);
        std::unique_lock<std::mutex> hold(m_);
        labels_.push_back(label);
        if (std::string(label) == "abort" && dut_) dut_->TestAbort();
        if (std::string(label) == "hold") {
            held_ = true;
            cv_.notify_all();
            cv_.wait_for(hold, kDeadline, [&] { return released_; });
        }
        return code;
    }
    Zelk_DeviceUnderTest* dut_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> labels_;
    bool held_ = false, released_ = false;
};

class ProgressRecorder : public ZelkTestProgressListener {
public:
    void setTotalNumberOfTests(SInt32 count) override {
        std::lock_guard<std::mutex> hold(m_);
        total = count;
    }
    void willStartTest(const std::string& text) override {
        std::lock_guard<std::mutex> hold(m_);
        started.push_back(text);
    }
    void testFlowIsFinished(SInt32 result) override {
        std::lock_guard<std::mutex> hold(m_);
        outcome = result;
        cv_.notify_all();
    }
    SInt32 waitOutcome() {
        std::unique_lock<std::mutex> hold(m_);
        cv_.wait_for(hold, kDeadline, [&] { return outcome >= 0; });
        return outcome;
    }
    SInt32 total = -1;
    SInt32 outcome = -1;
    std::vector<std::string> started;

private:
    std::mutex m_;
    std::condition_variable cv_;
};

class SinkRecorder : public iZelk_DutEventSink {
public:
    void OnDutConnectionStatusUpdated(UInt32 name) override {
        std::lock_guard<std::mutex> hold(m_);
        status.push_back(name);
        cv_.notify_all();
    }
    void OnDutLogStringUpdated(UInt32) override {
        std::lock_guard<std::mutex> hold(m_);
        ++logUpdates;
        cv_.notify_all();
    }
    void OnDutBackwardControl(UInt32 name, UInt8 seq, const UInt8* payload, UInt32 length) override {
        std::lock_guard<std::mutex> hold(m_);
        backward.push_back({name, seq, std::string(reinterpret_cast<const char*>(payload), length)});
        cv_.notify_all();
    }
    int updates() {
        std::lock_guard<std::mutex> hold(m_);
        return logUpdates;
    }
    template <typename P>
    bool waitFor(P predicate) {
        std::unique_lock<std::mutex> hold(m_);
        return cv_.wait_for(hold, kDeadline, predicate);
    }
    struct Backward {
        UInt32 name;
        UInt8 seq;
        std::string payload;
    };
    std::vector<UInt32> status;
    std::vector<Backward> backward;
    int logUpdates = 0;

private:
    std::mutex m_;
    std::condition_variable cv_;
};

class AlertRecorder : public iZelk_VersionAlert {
public:
    void ShowAlert(const char* title, const char* message, const char* button) override {
        shown.push_back(std::string(title) + "|" + message + "|" + button);
    }
    std::vector<std::string> shown;
};

void setItems(tZelk_TestItem* items, const std::vector<std::string>& lines, UInt32 timeoutMsec = 60000) {
    for (size_t i = 0; i < lines.size(); ++i) {
        std::snprintf(items[i].testName, sizeof(items[i].testName), "%s", lines[i].c_str());
        items[i].timeoutMsec = timeoutMsec;
    }
}

struct Script {
    std::vector<std::string> setup, test, result, onPass, onFail, onOrchelPass;
};

std::unique_ptr<tZelk_TestInfo> makeInfo(const Script& s) {
    auto info = std::make_unique<tZelk_TestInfo>();
    std::snprintf(info->projectName, sizeof(info->projectName), "Flow");
    setItems(info->setupItems, s.setup);
    setItems(info->testItems, s.test);
    setItems(info->resultItems, s.result);
    setItems(info->onPassItems, s.onPass);
    setItems(info->onFailItems, s.onFail);
    setItems(info->onOrchelPassItems, s.onOrchelPass);
    return info;
}

// Reads the device log until it holds `part`.
bool waitLog(Zelk_DeviceUnderTest& dut, std::string& log, const std::string& part) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (log.find(part) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (const char* t = dut.GetLogString()) log += t;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

// ----------------------------------------------------------------------------- the flow

TEST(ZelkDut, FlowOverTheGroups) {
    const struct {
        const char* name;
        Script script;
        bool cof;
        std::vector<std::string> ran;
        SInt32 outcome;
    } rows[] = {
        {"all pass",
         {{"Step s1 0"}, {"Step t1 0", "Step t2 0"}, {"Step r1 0"}, {"Step pass 0"}, {"Step fail 0"}, {"Step op 0"}},
         false,
         {"s1", "t1", "t2", "r1", "pass"},
         0},
        {"setup fails: test skipped, result and OnFail run",
         {{"Step s1 0", "Step s2 5", "Step s3 0"}, {"Step t1 0"}, {"Step r1 0"}, {"Step pass 0"}, {"Step fail 0"}, {}},
         false,
         {"s1", "s2", "r1", "fail"},
         1},
        {"setup fails with an orchel code: OnOrchelPass",
         {{"Step s1 91"}, {"Step t1 0"}, {"Step r1 0"}, {"Step pass 0"}, {"Step fail 0"}, {"Step op 0"}},
         false,
         {"s1", "r1", "op"},
         1},
        {"orchel code in test: goes on, OnOrchelPass",
         {{}, {"Step t1 91", "Step t2 0"}, {}, {"Step pass 0"}, {"Step fail 0"}, {"Step op 0"}},
         false,
         {"t1", "t2", "op"},
         1},
        {"test fails: group ends",
         {{}, {"Step t1 7", "Step t2 0"}, {"Step r1 0"}, {"Step pass 0"}, {"Step fail 0"}, {"Step op 0"}},
         false,
         {"t1", "r1", "fail"},
         1},
        {"continue on fail: all run, first code picks the final group",
         {{}, {"Step t1 91", "Step t2 7", "Step t3 0"}, {}, {"Step pass 0"}, {"Step fail 0"}, {"Step op 0"}},
         true,
         {"t1", "t2", "t3", "op"},
         1},
        {"result failure replaces the code",
         {{}, {"Step t1 91"}, {"Step r1 4", "Step r2 0"}, {"Step pass 0"}, {"Step fail 0"}, {"Step op 0"}},
         false,
         {"t1", "r1", "fail"},
         1},
        {"final group fails",
         {{}, {"Step t1 0"}, {}, {"Step pass 3", "Step pass2 0"}, {}, {}},
         false,
         {"t1", "pass"},
         1},
        {"abort in test: nothing after the item",
         {{"Step s1 0"}, {"Step t1 0", "Step abort 0", "Step t3 0"}, {"Step r1 0"}, {"Step pass 0"}, {}, {}},
         false,
         {"s1", "t1", "abort"},
         2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Zelk_DeviceUnderTest dut;
        auto project = std::make_shared<FlowProject>(&dut);
        auto info = makeInfo(r.script);
        ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
        dut.SetCofMode(r.cof);
        ProgressRecorder progress;
        ASSERT_EQ(dut.TestStartWithProgressListener(&progress), 0);
        EXPECT_EQ(progress.waitOutcome(), r.outcome);
        dut.WaitForTestEnd();
        EXPECT_FALSE(dut.IsRunning());
        EXPECT_EQ(project->labels(), r.ran);
        EXPECT_EQ(progress.total, SInt32(r.script.setup.size() + r.script.test.size()));
    }
}

TEST(ZelkDut, ItemStates) {
    Zelk_DeviceUnderTest dut;
    auto project = std::make_shared<FlowProject>(&dut);
    auto info = makeInfo(
        {{"Step s1 0"}, {"Step t1 0", "Step t2 91", "Step t3 7", "Step t4 0"}, {"Step r1 4"}, {}, {"Step f1 2"}, {}});
    ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
    ProgressRecorder progress;
    ASSERT_EQ(dut.TestStartWithProgressListener(&progress), 0);
    EXPECT_EQ(progress.waitOutcome(), 1);
    dut.WaitForTestEnd();
    const tZelk_TestInfo after = dut.GetTestInfo();
    EXPECT_EQ(after.setupItems[0].testStat, kZelk_itemPassed);
    EXPECT_EQ(after.testItems[0].testStat, kZelk_itemPassed);
    EXPECT_EQ(after.testItems[1].testStat, kZelk_itemOrchelPassed);
    EXPECT_EQ(after.testItems[2].testStat, kZelk_itemFailed);
    EXPECT_EQ(after.testItems[3].testStat, kZelk_itemPending);  // never reached
    EXPECT_EQ(after.resultItems[0].testStat, kZelk_itemFailed);  // its 4 picks OnFail
    EXPECT_EQ(after.onFailItems[0].testStat, kZelk_itemFailed);
    EXPECT_EQ(project->labels(), (std::vector<std::string>{"s1", "t1", "t2", "t3", "r1", "f1"}));
    // Setup and Test items are announced; the others are not.
    EXPECT_EQ(progress.started, (std::vector<std::string>{"Step s1 0", "Step t1 0", "Step t2 91", "Step t3 7"}));
}

TEST(ZelkDut, StartWhileRunningAndAgain) {
    Zelk_DeviceUnderTest dut;
    EXPECT_EQ(dut.TestStart(), 25);  // no project yet
    auto project = std::make_shared<FlowProject>(&dut);
    auto info = makeInfo({{}, {"Step hold 0", "Step t2 0"}, {}, {}, {}, {}});
    ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
    ASSERT_EQ(dut.TestStart(), 0);
    ASSERT_TRUE(project->waitHeld());
    EXPECT_TRUE(dut.IsRunning());
    EXPECT_EQ(dut.TestStart(), 14);
    project->release();
    dut.WaitForTestEnd();
    EXPECT_EQ(project->labels(), (std::vector<std::string>{"hold", "t2"}));
    // A finished run is joined and a new one starts.
    ProgressRecorder progress;
    ASSERT_EQ(dut.TestStartWithProgressListener(&progress), 0);
    EXPECT_EQ(progress.waitOutcome(), 0);
    dut.WaitForTestEnd();
    EXPECT_EQ(project->labels().size(), 4u);
}

// A listener that starts the next run from the last message of a run: that message comes
// on the run's own thread, which must not wait for itself, nor for a caller waiting for it.
TEST(ZelkDut, NextRunStartedFromTheLastMessage) {
    class Restarter : public ProgressRecorder {
    public:
        explicit Restarter(Zelk_DeviceUnderTest& dut) : dut_(dut) {}
        void testFlowIsFinished(SInt32 result) override {
            {
                std::lock_guard<std::mutex> hold(m_);
                outcomes.push_back(result);
                if (outcomes.size() == 1) restart = dut_.TestStart();
            }
            cv_.notify_all();
        }
        bool waitRuns(size_t n) {
            std::unique_lock<std::mutex> hold(m_);
            return cv_.wait_for(hold, kDeadline, [&] { return outcomes.size() >= n; });
        }
        std::vector<SInt32> outcomes;
        SInt32 restart = -1;

    private:
        Zelk_DeviceUnderTest& dut_;
        std::mutex m_;
        std::condition_variable cv_;
    };
    Zelk_DeviceUnderTest dut;
    auto project = std::make_shared<FlowProject>(&dut);
    auto info = makeInfo({{}, {"Step t1 0"}, {}, {}, {}, {}});
    ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
    Restarter restarter(dut);
    ASSERT_EQ(dut.TestStartWithProgressListener(&restarter), 0);
    dut.WaitForTestEnd();  // may wait while the last message starts the next run
    ASSERT_TRUE(restarter.waitRuns(2));
    dut.WaitForTestEnd();
    EXPECT_EQ(restarter.restart, 0);
    EXPECT_EQ(restarter.outcomes, (std::vector<SInt32>{0, 0}));
    EXPECT_EQ(project->labels(), (std::vector<std::string>{"t1", "t1"}));
}

TEST(ZelkDut, AbortRightAfterStartAndDeleteMidRun) {
    {
        Zelk_DeviceUnderTest dut;
        auto project = std::make_shared<FlowProject>(&dut);
        // The first item holds until released, so the run cannot end before the abort.
        auto info = makeInfo({{"Step hold 0"}, {"Step t1 0"}, {}, {"Step p 0"}, {}, {}});
        ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
        ProgressRecorder progress;
        ASSERT_EQ(dut.TestStartWithProgressListener(&progress), 0);
        dut.TestAbort();
        project->release();
        EXPECT_EQ(progress.waitOutcome(), 2);
        EXPECT_LE(project->labels().size(), 1u);  // at most the item under way when the abort came
    }
    // Deleting the device during an item lets the item end and the thread go.
    auto dut = std::make_unique<Zelk_DeviceUnderTest>();
    auto project = std::make_shared<FlowProject>(dut.get());
    auto info = makeInfo({{}, {"Step hold 0", "Step never 0"}, {}, {}, {}, {}});
    ASSERT_EQ(dut->SetTestInfo(info.get(), project), 0);
    ASSERT_EQ(dut->TestStart(), 0);
    ASSERT_TRUE(project->waitHeld());
    // Released once the deletion has begun (the run is then no longer running).
    Zelk_DeviceUnderTest* raw = dut.get();
    std::thread releaser([&] {
        while (raw->IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        project->release();
    });
    dut.reset();
    releaser.join();
    EXPECT_EQ(project->labels(), (std::vector<std::string>{"hold"}));
}

// A version the script expects and the device lacks shows the alert, runs nothing and fails.
TEST(ZelkDut, VersionMismatch) {
    Zelk_DeviceUnderTest dut;
    auto project = std::make_shared<FlowProject>(&dut);
    AlertRecorder alert;
    ASSERT_EQ(dut.SetVersionAlert(&alert), 0);
    auto info = makeInfo({{"Step s1 0"}, {"Step t1 0"}, {"Step r1 0"}, {"Step p 0"}, {"Step f 0"}, {}});
    std::snprintf(info->testSwVersion, sizeof(info->testSwVersion), "SW-2");
    ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
    EXPECT_STREQ(dut.GetSystemInfo().TestSwVersion, "SW-1");
    EXPECT_STREQ(dut.GetSystemInfo().ZelkVersion, "ZELK-32.0.3");
    ProgressRecorder progress;
    ASSERT_EQ(dut.TestStartWithProgressListener(&progress), 0);
    EXPECT_EQ(progress.waitOutcome(), 1);
    dut.WaitForTestEnd();
    EXPECT_TRUE(project->labels().empty());
    EXPECT_EQ(alert.shown, (std::vector<std::string>{
                               "Firmware Error|TamberCal Version on Device (SW-1) does not match expected version from "
                               "the Host (SW-2).|OK"}));

    // The same script version and a matching framework version run.
    std::snprintf(info->testSwVersion, sizeof(info->testSwVersion), "SW-1");
    std::snprintf(info->zelkVersion, sizeof(info->zelkVersion), "ZELK-32.0.3");
    ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
    ProgressRecorder again;
    ASSERT_EQ(dut.TestStartWithProgressListener(&again), 0);
    EXPECT_EQ(again.waitOutcome(), 0);
    dut.WaitForTestEnd();
    EXPECT_EQ(alert.shown.size(), 1u);
}

TEST(ZelkDut, ExecuteCommand) {
    Zelk_DeviceUnderTest dut;
    auto project = std::make_shared<FlowProject>(&dut);
    auto info = makeInfo({});
    ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
    ZLM_SetVerboseLevel(project->GetLogManager(), 2);
    std::string log;
    EXPECT_EQ(dut.ExecuteCommand("SpecList"), 17);  // reached the project: it has no spec manager
    ASSERT_TRUE(waitLog(dut, log, "*** [Zelk_ProjectBase SpecList:] ***\n"));
    EXPECT_NE(log.find("cmd=SpecList\narg=\n"), std::string::npos) << log;
    EXPECT_EQ(dut.ExecuteCommand("Step a 9  \t"), 9);
    ASSERT_TRUE(waitLog(dut, log, "cmd=Step\narg=a 9\n"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(dut.ExecuteCommand("SetStationId 4"), 3);
    EXPECT_EQ(dut.ExecuteCommand("Nope"), 3);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[ERR] \"SetStationId\" is NOT supported by FlowProject\n"), std::string::npos);
    EXPECT_NE(out.find("[ERR] \"Nope\" is NOT supported by FlowProject\n"), std::string::npos);
    EXPECT_EQ(project->GetStationId(), 0);
}

TEST(ZelkDut, SettersAndTables) {
    Zelk_DeviceUnderTest dut;
    EXPECT_EQ(dut.GetDutName(), 0xFFFFFFFFu);
    dut.SetDutName(7);
    dut.SetDutLocationId(0x14200000);
    EXPECT_EQ(dut.GetDutName(), 7u);
    EXPECT_EQ(dut.GetDutLocationId(), 0x14200000u);
    EXPECT_EQ(dut.GetLogString(), nullptr);
    const std::string longest(63, 'A'), tooLong(64, 'A');
    for (const char* bad : {static_cast<const char*>(nullptr), "", "../x", "a/b", "..", "a\nb", tooLong.c_str()})
        EXPECT_EQ(dut.SetDutSerialNumber(bad), 17) << (bad ? bad : "null");
    EXPECT_EQ(dut.SetDutSerialNumber(longest.c_str()), 0);
    EXPECT_EQ(dut.GetDutSerialNumber(), longest);
    EXPECT_EQ(dut.SetTestInfo(nullptr, std::make_shared<FlowProject>()), 17);
    EXPECT_EQ(dut.SetEventSink(nullptr), 17);
    EXPECT_EQ(dut.SetCrestel(nullptr), 17);
    EXPECT_EQ(dut.SetZtcpHandler(nullptr), 17);
    EXPECT_EQ(dut.AppendMtUsbDevice(nullptr), 17);
    EXPECT_EQ(dut.SendBackwardControlResponseWithErrCode(1, 0, "x"), 25);

    EXPECT_STREQ(ZDUT_GetStationName(11), "TamberCal");
    EXPECT_STREQ(ZDUT_GetStationName(22), "TamberAll");
    for (SInt32 id : {23, 24, -1}) EXPECT_STREQ(ZDUT_GetStationName(id), "UNKNOWN") << id;
}

// With a USB device a run opens the unit's log file, finds the station id and names the CSV file.
TEST(ZelkDut, StartWithUsbDevice) {
    TempDir dir;
    const struct {
        const char* station;
        SInt32 id;
    } rows[] = {{"TamberCal", 11}, {"NoSuchStation", 0}, {"TamberAll", 22}};
    for (const auto& r : rows) {
        Zelk_DeviceUnderTest dut;
        auto project = std::make_shared<FlowProject>(&dut);
        auto info = makeInfo({{}, {"Step t 0"}, {}, {}, {}, {}});
        std::snprintf(info->stationName, sizeof(info->stationName), "%s", r.station);
        std::snprintf(info->logsPathVesk, sizeof(info->logsPathVesk), "%s", dir.path().c_str());
        std::snprintf(info->statPathVesk, sizeof(info->statPathVesk), "%s/", dir.path().c_str());
        ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
        iZelk_UsbDevice* device = ZUSBD_Create(nullptr);
        ASSERT_NE(device, nullptr);
        ASSERT_EQ(dut.AppendMtUsbDevice(device), 0);
        EXPECT_EQ(dut.AppendMtUsbDevice(device), 17);  // already attached
        EXPECT_EQ(project->GetMtUsbDevice(), device);
        ASSERT_EQ(dut.SetDutSerialNumber("SN77"), 0);
        ProgressRecorder progress;
        ASSERT_EQ(dut.TestStartWithProgressListener(&progress), 0);
        EXPECT_EQ(progress.waitOutcome(), 0);
        dut.WaitForTestEnd();
        EXPECT_EQ(project->GetStationId(), r.id) << r.station;
        EXPECT_STREQ(project->GetSerialNumber(), "SN77");
        EXPECT_EQ(project->GetCsvFileName(), dir.path().string() + "/" + r.station + ".csv");
        EXPECT_NE(readFile(dir.file("SN77.log")).find("cmd=Step\narg=t 0\n"), std::string::npos);
        // The device goes: the project sees it go, the sink hears it.
        SinkRecorder sink;
        dut.SetDutName(3);
        ASSERT_EQ(dut.SetEventSink(&sink), 0);
        dut.OnUsbDevDisconnected(tZelk_UsbDevInfo{});
        EXPECT_EQ(project->GetMtUsbDevice(), nullptr);
        EXPECT_EQ(sink.status, (std::vector<UInt32>{3}));
        ZUSBD_Delete(&device);
    }
    // A log folder that does not exist stops the start.
    Zelk_DeviceUnderTest dut;
    auto project = std::make_shared<FlowProject>(&dut);
    auto info = makeInfo({{}, {"Step t 0"}, {}, {}, {}, {}});
    std::snprintf(info->logsPathVesk, sizeof(info->logsPathVesk), "%s/missing", dir.path().c_str());
    ASSERT_EQ(dut.SetTestInfo(info.get(), project), 0);
    iZelk_UsbDevice* device = ZUSBD_Create(nullptr);
    ASSERT_EQ(dut.AppendMtUsbDevice(device), 0);
    ASSERT_EQ(dut.SetDutSerialNumber("SN1"), 0);
    EXPECT_EQ(dut.TestStart(), 31);
    EXPECT_FALSE(dut.IsRunning());
    EXPECT_TRUE(project->labels().empty());
    dut.OnUsbDevDisconnected(tZelk_UsbDevInfo{});
    ZUSBD_Delete(&device);
}

// ----------------------------------------------------------------------------- over ZTCP

namespace {

ztcptest::Bytes sysInfoRecord(size_t size) {
    tZelk_SystemInfo info{};
    std::snprintf(info.ModelName, sizeof(info.ModelName), "M1");
    std::snprintf(info.SerialNumber, sizeof(info.SerialNumber), "SYS9");
    std::memset(info.SystemConfiguration, 'C', sizeof(info.SystemConfiguration));  // unterminated
    std::snprintf(info.MultitouchSerialNumber, sizeof(info.MultitouchSerialNumber), "TSN");
    std::snprintf(info.TestSwVersion, sizeof(info.TestSwVersion), "SW-1");
    const auto* p = reinterpret_cast<const uint8_t*>(&info);
    return ztcptest::Bytes(p, p + std::min(size, sizeof(info)));
}

// A device under test with a project, connected to the simulated device over loopback.
struct DutLink {
    ztcptest::DeviceSim sim;
    SinkRecorder sink;
    Zelk_DeviceUnderTest dut;
    std::shared_ptr<FlowProject> project = std::make_shared<FlowProject>(&dut);
    std::string log;
    iZelk_ZtcpHandler* h = nullptr;

    DutLink(const Script& script, size_t sysInfoSize = sizeof(tZelk_SystemInfo)) {
        auto info = makeInfo(script);
        EXPECT_EQ(dut.SetTestInfo(info.get(), project), 0);
        dut.SetDutName(9);
        EXPECT_EQ(dut.SetEventSink(&sink), 0);
        sim.setSysInfo(sysInfoRecord(sysInfoSize));
    }
    void connect(SInt32 id) {
        h = ZGH_Create(project->GetLogManager());
        ASSERT_NE(h, nullptr);
        ZGH_SetName(h, id);
        ASSERT_EQ(dut.SetZtcpHandler(h), 0);
        std::thread accept([&] { sim.acceptHost(); });
        ASSERT_EQ(ZGH_ConnectAsync(h, "127.0.0.1", sim.port(), &dut, nullptr, nullptr, nullptr, nullptr), 0);
        accept.join();
    }
    std::vector<std::string> runCommands() {
        std::vector<std::string> out;
        for (const ztcptest::Packet& p : sim.received())
            if (p.control == ztcptest::ctrl("runc")) out.push_back(p.text());
        return out;
    }
};

}  // namespace

TEST(ZelkDutZtcp, ConnectSequence) {
    DutLink link({}, 200);  // a short record
    link.connect(5);
    ASSERT_TRUE(waitLog(link.dut, link.log, "[Display SN  ] NA\n"));
    const std::vector<ztcptest::Packet> got = link.sim.received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].text(), "SetScreenColor 220 20 60 255");  // slot 5 % 4 = 1
    EXPECT_EQ(got[1].text(), "SetScreenUnitName SLOT_5");
    EXPECT_EQ(got[2].control, ztcptest::ctrl("sinf"));
    EXPECT_EQ(got[3].control, ztcptest::ctrl("cinf"));
    EXPECT_EQ(got[3].payload, ztcptest::Bytes{8});
    for (const auto& p : got) EXPECT_NE(p.seq, 0);
    const tZelk_SystemInfo info = link.dut.GetSystemInfo();
    EXPECT_STREQ(info.ModelName, "M1");
    EXPECT_STREQ(info.SerialNumber, "SYS9");
    EXPECT_EQ(std::string(info.SystemConfiguration), std::string(63, 'C'));  // terminated
    EXPECT_STREQ(info.MultitouchSerialNumber, "");  // beyond the 200 bytes: zero
    EXPECT_STREQ(info.TestSwVersion, "");
    EXPECT_NE(link.log.find("*** OnZmConnect [0x00000005] ***\n"), std::string::npos);
    EXPECT_NE(link.log.find("[Model Name  ] M1\n[Device Name ] NA\n[HW Config   ] " + std::string(63, 'C') +
                            "\n[System SN   ] SYS9\n[MLB SN      ] NA\n[Tamber SN    ] NA\n"),
              std::string::npos)
        << link.log;

    // The device closes: the handler goes, the record is cleared, the sink hears the handler's id.
    link.sim.closeConnection();
    ASSERT_TRUE(link.sink.waitFor([&] { return !link.sink.status.empty() && link.sink.status.back() == 5; }));
    EXPECT_EQ(link.dut.GetZtcpHandler(), nullptr);
    EXPECT_STREQ(link.dut.GetSystemInfo().ModelName, "");
}

TEST(ZelkDutZtcp, ConnectSequenceStopsAtFailure) {
    DutLink link({});
    link.sim.setRunReply("SetScreenUnitName SLOT_2", 7);
    link.connect(2);
    ASSERT_TRUE(waitLog(link.dut, link.log, "[Error,0x0007]"));
    EXPECT_EQ(link.runCommands(), (std::vector<std::string>{"SetScreenColor 127 255 212 255", "SetScreenUnitName SLOT_2"}));
    EXPECT_EQ(link.sim.received().size(), 2u);  // no sinf, no cinf
    EXPECT_EQ(link.log.find("[Model Name"), std::string::npos);
}

// Script lines go to the device as run commands; its codes and silence decide the items.
TEST(ZelkDutZtcp, RunCommandsAndTimeOut) {
    const Script script{{"setup one"}, {"test two", "test three"}, {}, {"pass"}, {"fail"}, {"orchel"}};
    DutLink link(script);
    link.sim.setRunReply("test two", 91);
    link.sim.setSilent("test three");
    link.connect(0);
    ASSERT_TRUE(waitLog(link.dut, link.log, "[Display SN  ]"));
    // The silent item gets 50 ms.
    auto info = makeInfo(script);
    info->testItems[1].timeoutMsec = 50;
    ASSERT_EQ(link.dut.SetTestInfo(info.get(), link.project), 0);
    ProgressRecorder progress;
    ASSERT_EQ(link.dut.TestStartWithProgressListener(&progress), 0);
    EXPECT_EQ(progress.waitOutcome(), 1);
    link.dut.WaitForTestEnd();
    const std::vector<std::string> sent = link.runCommands();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(sent.begin() + 2, sent.end()),
              (std::vector<std::string>{"setup one", "test two", "test three", "orchel"}));
    const tZelk_TestInfo after = link.dut.GetTestInfo();
    EXPECT_EQ(after.testItems[0].testStat, kZelk_itemOrchelPassed);
    EXPECT_EQ(after.testItems[1].testStat, kZelk_itemFailed);  // 28: not an orchel code
    EXPECT_TRUE(link.project->labels().empty());  // nothing ran locally
}

TEST(ZelkDutZtcp, BackwardControlAndLogText) {
    DutLink link({});
    link.connect(1);
    ASSERT_TRUE(waitLog(link.dut, link.log, "[Display SN  ]"));
    std::optional<ztcptest::Packet> answer;
    std::thread device([&] { answer = link.sim.request(ztcptest::ctrl("hctr"), ztcptest::bytesOf("power?")); });
    ASSERT_TRUE(link.sink.waitFor([&] { return !link.sink.backward.empty(); }));
    const SinkRecorder::Backward b = link.sink.backward[0];
    EXPECT_EQ(b.name, 9u);
    EXPECT_EQ(b.payload, "power?");
    EXPECT_EQ(link.dut.SendBackwardControlResponseWithErrCode(b.seq, 4, "on"), 0);
    device.join();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->error, 4);
    ASSERT_EQ(answer->payload.size(), 516u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(answer->payload.data())), "on");
    EXPECT_EQ(answer->payload[515], 0);

    const int before = link.sink.updates();
    ASSERT_TRUE(link.sim.send(ztcptest::ctrl("logt"), ztcptest::bytesOf("device says hi\n")));
    ASSERT_TRUE(waitLog(link.dut, link.log, "device says hi\n"));
    EXPECT_TRUE(link.sink.waitFor([&] { return link.sink.logUpdates > before; }));
}

TEST(ZelkDutZtcp, FixtureRequests) {
    pf::usb::useSimulated(true);
    insttest::CrestelModel model;
    model.fixtureState = 3;
    const pf::usb::Handle handle = pf::usb::sim::plug(model.spec(kZelk_CrestelVendorId, kZelk_CrestelProductId));
    {
        DutLink link({});
        link.connect(0);
        ASSERT_TRUE(waitLog(link.dut, link.log, "[Display SN  ]"));
        auto req = [&](const char* code, const ztcptest::Bytes& payload) {
            std::optional<ztcptest::Packet> p = link.sim.request(ztcptest::ctrl(code), payload);
            EXPECT_TRUE(p) << code;
            return p ? *p : ztcptest::Packet{};
        };
        // Without a board, and malformed requests.
        const struct {
            const char* code;
            ztcptest::Bytes payload;
            uint8_t error;
        } rows[] = {
            {"ctfg", {}, 25},
            {"ctfs", {1, 1}, 25},
            {"ctfs", {1}, 17},
            {"ctgt", {0xE6, 1, 0, 0, 0}, 25},
            {"ctgt", {0xE6, 1, 0}, 17},
            {"ctgt", {0xE6, 0, 0, 1, 0}, 17},  // 65,536 bytes
            {"ctst", {0xE6, 2, 0, 0, 0, 9}, 17},  // one byte of two
            {"ctst", {0xE6, 1, 0, 0, 0, 9}, 25},
            {"ctra", {0, 1}, 17},
            {"ctra", {0, 1, 1}, 25},
        };
        for (const auto& r : rows) {
            const ztcptest::Packet p = req(r.code, r.payload);
            EXPECT_EQ(p.control, ztcptest::ctrl("rsps")) << r.code;
            EXPECT_EQ(p.error, r.error) << r.code << " " << r.payload.size();
            EXPECT_TRUE(p.payload.empty()) << r.code;
        }

        auto board = std::make_shared<Zelk_Crestel>(link.project->GetLogManager());
        ASSERT_EQ(board->AppendUsbDevice(ZUSBD_CreateForHandle(nullptr, handle, true)), 0);
        ASSERT_EQ(link.dut.SetCrestel(board), 0);
        EXPECT_EQ(link.project->GetCrestel(), board);
        ztcptest::Packet p = req("ctfg", {});
        EXPECT_EQ(p.error, 0);
        EXPECT_EQ(p.payload, ztcptest::Bytes{3});
        p = req("ctfs", {3, 1});
        EXPECT_EQ(p.error, 0);
        EXPECT_TRUE(p.payload.empty());
        p = req("ctgt", {0xE6, 1, 0, 0, 0});
        EXPECT_EQ(p.error, 0);
        EXPECT_EQ(p.payload, ztcptest::Bytes{3});  // report 0xE6 holds the fixture state
        model.adcSamples[0] = {1000, 1000, 1000, 1000};
        p = req("ctra", {0, 0, 4});
        EXPECT_EQ(p.error, 0);
        ASSERT_EQ(p.payload.size(), 8u);
        double volts = -1;
        std::memcpy(&volts, p.payload.data(), 8);
        EXPECT_GT(volts, 0);

        // The board goes: requests get 25 again. Once that answer is in, the request
        // before it has let go of the board too, and the project sees it gone.
        link.dut.OnCtDisconnected(0);
        EXPECT_EQ(link.dut.GetCrestel(), nullptr);
        board.reset();
        EXPECT_EQ(req("ctfg", {}).error, 25);
        EXPECT_EQ(link.project->GetCrestel(), nullptr);
    }
    pf::usb::sim::unplug(handle);
    pf::runloop::runFor(20);
}

// ----------------------------------------------------------------------------- log collection

TEST(ZelkDut, LogCollection) {
    TempDir dir;
    const zelk::roots::Folders saved = zelk::roots::get();
    zelk::roots::Folders f = saved;
    f.tool = dir.file("tools");
    f.temp = dir.file("tmp");
    std::filesystem::create_directories(f.tool);
    std::filesystem::create_directories(f.temp);
    zelk::roots::set(f);
    const std::string rec = dir.file("rec");
    std::filesystem::create_directories(rec);
    // The relay records its words and pid and stays until it is stopped; the interpreter
    // waits for the relay, records its words, its script and the script's mode, and
    // exits with the code in the file "exit".
    writeFile(f.tool + "/zelk_relay", "#!/bin/sh\necho \"$@\" > " + rec + "/relay.args\necho $$ > " + rec +
                                          "/relay.pid.tmp\nmv " + rec + "/relay.pid.tmp " + rec +
                                          "/relay.pid\nexec sleep 600\n");
    writeFile(f.tool + "/zelk_answer", "#!/bin/sh\nwhile [ ! -f " + rec + "/relay.pid ]; do sleep 0.01; done\necho \"$@\" > " +
                                           rec + "/answer.args\ncat \"$1\" > " + rec + "/script\nstat -c %a \"$1\" > " +
                                           rec + "/mode\nexit $(cat " + rec + "/exit)\n");
    chmod((f.tool + "/zelk_relay").c_str(), 0755);
    chmod((f.tool + "/zelk_answer").c_str(), 0755);

    Zelk_DeviceUnderTest dut;
    const std::string dest = dir.file("logs");
    for (const int exitCode : {0, 1}) {
        SCOPED_TRACE(exitCode);
        std::filesystem::remove(rec + "/relay.pid");
        writeFile(rec + "/exit", std::to_string(exitCode) + "\n");
        EXPECT_EQ(dut.LogCollectionSrcPath("/var/logs/unit", dest.c_str(), "SN5"), exitCode == 0 ? 0 : 6);
        EXPECT_TRUE(std::filesystem::is_directory(dest));
        EXPECT_EQ(readFile(rec + "/relay.args"), "--offset 10000 873\n");
        const std::string answerArgs = readFile(rec + "/answer.args");
        EXPECT_EQ(answerArgs.rfind(f.temp + "/zelk-collect-", 0), 0u) << answerArgs;
        EXPECT_EQ(readFile(rec + "/mode"), "700\n");
        EXPECT_EQ(readFile(rec + "/script"), "limit 70\nstart \"" + f.tool + "/zelk_copy\" -a -v \"/var/logs/unit\" \"" +
                                                 dest + "/SN5/\"\nawait \"Password:\"\nanswer \"tembly\\r\"\nawait \"$\"\n");
        // The relay was stopped and reaped, the script removed.
        const pid_t relay = std::stoi(readFile(rec + "/relay.pid"));
        EXPECT_EQ(kill(relay, 0), -1);
        EXPECT_TRUE(std::filesystem::is_empty(f.temp));
    }
    for (const auto& bad : std::vector<std::vector<const char*>>{
             {nullptr, dest.c_str(), "SN5"}, {"/a", nullptr, "SN5"}, {"/a", dest.c_str(), nullptr},
             {"/a", dest.c_str(), "../x"}, {"/a\"; rm", dest.c_str(), "SN5"}, {"/a\n", dest.c_str(), "SN5"},
             {"/a", dest.c_str(), "S$N"}})
        EXPECT_EQ(dut.LogCollectionSrcPath(bad[0], bad[1], bad[2]), 17);
    EXPECT_EQ(dut.LogCollectionSrcPath("/a", dir.file("no/such/parent").c_str(), "SN5"), 30);
    std::filesystem::remove(f.tool + "/zelk_answer");
    EXPECT_EQ(dut.LogCollectionSrcPath("/a", dest.c_str(), "SN5"), 11);
    zelk::roots::set(saved);
}

// A device that connects before any script was given reads the application's script.
TEST(ZelkDutZtcp, ScriptFromResourcesOnConnect) {
    TempDir dir;
    const zelk::roots::Folders saved = zelk::roots::get();
    zelk::roots::Folders f = saved;
    f.resource = dir.path().string();
    zelk::roots::set(f);
    writeFile(dir.file("testScript.zqs"),
              "[Project_Name] Res\n[Station_Name] TamberCal\n[LogsFolder_DUT] /d\n[LogsFolder_VESK] /v\n"
              "[StatFolder_VESK] /s\n[Test Version] 2.0\n[Setup_Begin]\n[Setup_End]\n[Test_Begin]\nprobe one\n"
              "[Test_End]\n[Result_Begin]\n[Result_End]\n[OnPass_Begin]\n[OnPass_End]\n[OnFail_Begin]\n[OnFail_End]\n"
              "[OnOrchelPass_Begin]\n[OnOrchelPass_End]\n");
    {
        DutLink link({});
        const tZelk_TestInfo zero{};
        ASSERT_EQ(link.dut.SetTestInfo(&zero, link.project), 0);
        link.connect(3);
        ASSERT_TRUE(waitLog(link.dut, link.log, "[Display SN  ]"));
        // The script is read right after the record is printed; wait for it to land.
        const auto end = std::chrono::steady_clock::now() + kDeadline;
        while (link.dut.GetTestInfo().projectName[0] == '\0' && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const tZelk_TestInfo info = link.dut.GetTestInfo();
        EXPECT_STREQ(info.projectName, "Res");
        EXPECT_STREQ(info.stationName, "TamberCal");
        EXPECT_STREQ(info.testItems[0].testName, "probe one");
    }
    zelk::roots::set(saved);
}
