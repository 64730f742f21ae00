// One device on the station: its system information, its test script, the project
// that performs script lines, its ZTCP connection, its multitouch USB device and the
// fixture board. Runs the script on a thread of its own, serves the fixture requests
// the device sends back and keeps the device's log text for the station to fetch.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ZelkCrestel.h"
#include "ZelkLogManager.h"
#include "ZelkProjectBase.h"
#include "ZelkTestScript.h"
#include "ZelkTypeDef.h"
#include "ZelkUsb.h"
#include "ZelkZtcpHandler.h"

class tZelk_Fifo;

// The device's own record, as the device sends it in answer to sinf.
struct tZelk_SystemInfo {
    char ModelName[64];
    char DeviceName[64];
    char SystemConfiguration[64];
    char SerialNumber[64];
    char MLBSerialNumber[64];
    char MultitouchSerialNumber[64];
    char DisplaySerialNumber[64];
    char ZelkVersion[64];
    char TestSwVersion[64];
    UInt8 cbTestStatus[256];
    UInt8 cbFailCounts[256];
};
static_assert(sizeof(tZelk_SystemInfo) == 1088, "the system information is 1,088 bytes on the wire");

// Station names by station id.
constexpr SInt32 kZelk_stationNameCount = 23;
extern const char* const kStationIdStr[kZelk_stationNameCount];
// The name of a station id; "UNKNOWN" for an id the table does not hold.
const char* ZDUT_GetStationName(SInt32 stationId);

// The screen colour (R, G, B, A) of each slot, by the two low bits of the handler's id.
extern const UInt8 kZelk_DutColorTable[4][4];

// Item states during a run.
enum : SInt32 {
    kZelk_itemPending = 1,
    kZelk_itemRunning = 2,
    kZelk_itemPassed = 3,
    kZelk_itemFailed = 4,
    kZelk_itemOrchelPassed = 5,
};

// The station's listener of one device; every message names the device first.
class iZelk_DutEventSink {
public:
    virtual ~iZelk_DutEventSink() = default;
    virtual void OnDutConnectionStatusUpdated(UInt32 dutName) = 0;
    // New log text waits in GetLogString.
    virtual void OnDutLogStringUpdated(UInt32 dutName) = 0;
    // A request of the device; answer it with SendBackwardControlResponseWithErrCode.
    virtual void OnDutBackwardControl(UInt32 dutName, UInt8 seq, const UInt8* payload, UInt32 length) = 0;
};

class ZelkTestProgressListener {
public:
    virtual ~ZelkTestProgressListener() = default;
    virtual void setTotalNumberOfTests(SInt32 count) = 0;
    virtual void willStartTest(const std::string& text) = 0;
    // 0 passed, 1 failed, 2 aborted.
    virtual void testFlowIsFinished(SInt32 result) = 0;
};

// Shows the version alert; the tool waits on its GUI thread until the button is pressed.
class iZelk_VersionAlert {
public:
    virtual ~iZelk_VersionAlert() = default;
    virtual void ShowAlert(const char* title, const char* message, const char* button) = 0;
};

class Zelk_DeviceUnderTest final : public iZelk_UsbDeviceEventSink,
                                   public iZelk_CrestelEventSink,
                                   public iZelk_LogRelay,
                                   public iZelk_ZtcpHandlerEventSink {
public:
    static constexpr UInt32 kLogSize = 1u << 20;
    static constexpr UInt32 kBackwardControlPayload = 516;
    static constexpr UInt32 kConnectTimeoutMsec = 1000;

    Zelk_DeviceUnderTest();
    ~Zelk_DeviceUnderTest() override;
    Zelk_DeviceUnderTest(const Zelk_DeviceUnderTest&) = delete;
    Zelk_DeviceUnderTest& operator=(const Zelk_DeviceUnderTest&) = delete;

    void SetDutName(UInt32 name) { dutName_ = name; }
    UInt32 GetDutName() const { return dutName_.load(); }
    void SetDutLocationId(UInt32 id) { locationId_ = id; }
    UInt32 GetDutLocationId() const { return locationId_.load(); }
    // Null, empty, too long or not usable as a file name: 17.
    SInt32 SetDutSerialNumber(const char* text);
    std::string GetDutSerialNumber() const;
    tZelk_SystemInfo GetSystemInfo() const;
    // A copy with the items' current states.
    tZelk_TestInfo GetTestInfo() const;
    iZelk_LogManager* GetLogManager() const { return lm_.load(); }
    std::shared_ptr<Zelk_ProjectBase> GetProject() const;
    iZelk_UsbDevice* GetMtUsbDevice() const { return mtUsbDev_.load(); }
    std::shared_ptr<iZelk_Crestel> GetCrestel() const;
    iZelk_ZtcpHandler* GetZtcpHandler() const;
    bool IsRunning() const { return isRunning_.load(); }
    void SetTestRunning(bool running) { isRunning_ = running; }
    bool IsPowerCycling() const { return isPowerCycling_.load(); }
    bool IsCofMode() const { return isCofMode_.load(); }
    void SetCofMode(bool on) { isCofMode_ = on; }

    SInt32 SetTestInfo(const tZelk_TestInfo* info, std::shared_ptr<Zelk_ProjectBase> project);
    SInt32 SetEventSink(iZelk_DutEventSink* sink);
    SInt32 SetVersionAlert(iZelk_VersionAlert* alert);
    SInt32 AppendMtUsbDevice(iZelk_UsbDevice* device);
    SInt32 SetCrestel(std::shared_ptr<iZelk_Crestel> board);
    // Takes the handler over; make it the handler's listener when connecting it.
    SInt32 SetZtcpHandler(iZelk_ZtcpHandler* handler);

    // 14 while a run goes on; 17 for a serial number that cannot name a file.
    SInt32 TestStart();
    SInt32 TestStartWithProgressListener(ZelkTestProgressListener* listener);
    // The run stops after the current item.
    void TestAbort() { isRunning_ = false; }
    // Waits until the thread of the last run has ended (the tool never needs it; tests do).
    void WaitForTestEnd();

    SInt32 ExecuteCommand(const char* line);
    // The log text gathered since the last call; null before any log text arrived.
    const char* GetLogString();
    // Copies the device's logs under src into dst/serial/ with the station's tools.
    SInt32 LogCollectionSrcPath(const char* src, const char* dst, const char* serial);
    SInt32 SendBackwardControlResponseWithErrCode(UInt8 seq, UInt8 code, const char* message);

    // Events.
    void OnUsbDevDisconnected(const tZelk_UsbDevInfo& info) override;
    void OnCtDisconnected(UInt32 boardId) override;
    void OnLogStringUpdated(UInt32 relayId, const char* text) override;
    void OnZhConnect(SInt32 id) override;
    void OnZhReceive(SInt32 id, const tZTCP_header* header, const UInt8* payload) override;
    void OnZhClose(SInt32 id) override;

    // Fixture-board conformance: nothing to do.
    SInt32 ctGetReport(UInt8, void*, UInt32) { return 0; }
    SInt32 ctSetReport(UInt8, const void*, UInt32) { return 0; }
    SInt32 ctReadADC(UInt8, UInt8, UInt8, double*) { return 0; }
    SInt32 ctGetFixtureStat(UInt8*) { return 0; }
    SInt32 ctSetFixtureStat(UInt8, UInt32) { return 0; }

private:
    using HandlerPtr = std::shared_ptr<iZelk_ZtcpHandler>;
    struct ItemRun {
        bool failed = false;
        SInt32 result = 0;
        SInt32 failCode = 0;
    };

    void testProcedure();
    ItemRun runItem(tZelk_TestItem* item, bool announce);
    void setState(tZelk_TestItem* item, SInt32 state);
    HandlerPtr handler() const;
    iZelk_ZtcpHandler* eventHandler(SInt32 id) const;
    void connectionStatusUpdated(UInt32 name);
    bool enterEvent();
    void leaveEvent();
    SInt32 connectSequence(iZelk_ZtcpHandler* h, SInt32 id);
    void serveFixture(iZelk_ZtcpHandler* h, const tZTCP_header* header, const UInt8* payload);

    std::atomic<bool> isPowerCycling_{false};
    std::atomic<bool> isRunning_{false};
    std::atomic<bool> isCofMode_{false};
    std::atomic<UInt32> dutName_{0xFFFFFFFFu};
    std::atomic<UInt32> locationId_{0};

    mutable std::mutex infoLock_;  // sysInfo_ and testInfo_
    tZelk_SystemInfo sysInfo_{};
    std::unique_ptr<tZelk_TestInfo> testInfo_;

    // Made on the first log text; the text buffer before the FIFO is published.
    std::atomic<tZelk_Fifo*> fifo_{nullptr};
    std::unique_ptr<char[]> logText_;
    std::mutex logTextLock_;

    mutable std::mutex linkLock_;  // the collaborators below
    std::shared_ptr<Zelk_ProjectBase> project_;
    iZelk_DutEventSink* sink_ = nullptr;
    iZelk_VersionAlert* alert_ = nullptr;
    ZelkTestProgressListener* listener_ = nullptr;
    std::shared_ptr<iZelk_Crestel> board_;
    HandlerPtr handler_;
    HandlerPtr closed_;  // the last handler whose connection closed, freed off its own thread
    std::atomic<iZelk_LogManager*> lm_{nullptr};
    tZelk_MtUsbDevPlace mtUsbDev_{nullptr};

    std::mutex threadLock_;
    std::thread thread_;

    // Handler events under way; destruction waits for them.
    std::mutex eventLock_;
    std::condition_variable eventDone_;
    int eventsInFlight_ = 0;
    bool closing_ = false;
};
