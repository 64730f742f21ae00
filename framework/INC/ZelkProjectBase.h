// The base of a station project: owns the station's log manager and spec manager,
// knows the unit's serial number, the station id and the statistics CSV name, holds
// the station's collaborators and performs the built-in script commands. A station
// derives its project from it and registers its own commands; a script reaches a
// command only through the registry, never any other method of the project.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ZelkTypeDef.h"

struct iZelk_LogManager;
struct iZelk_SpecManager;
struct iZelk_UsbDevice;
class iZelk_Crestel;
class iZelk_LogRelay;

// The device screen of the station; each answer is an error code.
class iZelk_TamberCalUiControl {
public:
    virtual ~iZelk_TamberCalUiControl() = default;
    virtual SInt32 SetScreenImage(const char* path) = 0;
    virtual SInt32 SetScreenBackgroundColorR(UInt8 r, UInt8 g, UInt8 b, UInt8 a) = 0;
    virtual SInt32 SetScreenUnitName(const char* name) = 0;
    virtual SInt32 SetScreenMessage(const char* message1, const char* message2, UInt8 r, UInt8 g, UInt8 b,
                                    UInt8 a) = 0;
};

// The host application object; the project only keeps it for its subclass.
class iZelk_TamberHost {
public:
    virtual ~iZelk_TamberHost() = default;
};

// The slot in which the device's owner keeps the current multitouch USB device; it
// turns null when the device goes.
using tZelk_MtUsbDevPlace = std::atomic<iZelk_UsbDevice*>;

// A script command: takes the rest of the script line as a writable text (which it
// may cut in place) and answers an error code.
using tZelk_ProjectCommand = std::function<SInt32(char* argument)>;

class Zelk_ProjectBase {
public:
    static constexpr size_t kSerialNumSize = 64;
    static constexpr size_t kCsvFileNameSize = 1024;
    // A command's argument is copied into this many bytes (with its zero byte).
    static constexpr size_t kArgumentSize = 256;

    // With a spec manager, which the project then owns (initWithSpecManager).
    Zelk_ProjectBase(iZelk_SpecManager* specManager, SInt32 mtDevCreationMethod);
    // Without one (initForTamberHost).
    Zelk_ProjectBase();
    virtual ~Zelk_ProjectBase();
    Zelk_ProjectBase(const Zelk_ProjectBase&) = delete;
    Zelk_ProjectBase& operator=(const Zelk_ProjectBase&) = delete;

    // What a station's project tells about itself.
    virtual const char* GetProjectName() = 0;
    virtual const char* GetVersionString() = 0;
    // Whether a failing result code still counts as passing.
    virtual bool IsOrchelPassErrorCode(SInt32 code) = 0;

    // ---- the command registry
    // name: the message name, the script word and a colon ("SpecInit:").
    bool RespondsToCommand(const char* name) const;
    // Copies the argument (null: empty; cut at kArgumentSize - 1 characters) and
    // performs the command; 3 when none is registered under the name.
    SInt32 PerformCommand(const char* name, const char* argument);

    // ---- settings and collaborators
    // 0..23; anything else 17.
    SInt32 SetStationId(SInt32 id);
    SInt32 GetStationId() const { return stationId_.load(); }
    // Null, empty or longer than the field holds: 17.
    SInt32 SetSerialNumber(const char* text);
    const char* GetSerialNumber() const { return serialNum_; }
    SInt32 SetCsvFileName(const char* text);
    const char* GetCsvFileName() const { return csvFileName_; }
    SInt32 SetLogRelay(UInt32 relayId, iZelk_LogRelay* relay);

    // The board is not owned: the project sees it go when its owner drops it.
    SInt32 SetCrestel(const std::shared_ptr<iZelk_Crestel>& board);
    SInt32 SetMtUsbDev(tZelk_MtUsbDevPlace* place);
    SInt32 SetScreenControl(iZelk_TamberCalUiControl* control);
    SInt32 SetTamberHost(iZelk_TamberHost* host);
    // Deletes the spec manager held so far and keeps this one.
    SInt32 SetSpecManager(iZelk_SpecManager* specManager);

    iZelk_LogManager* GetLogManager() const { return lm_; }
    iZelk_SpecManager* GetSpecManager() const { return sm_; }
    std::shared_ptr<iZelk_Crestel> GetCrestel() const;
    iZelk_TamberCalUiControl* GetScreenControl() const { return screen_.load(); }
    iZelk_TamberHost* GetTamberHost() const { return host_.load(); }
    // The device now in the place; null without a place.
    iZelk_UsbDevice* GetMtUsbDevice() const;
    SInt32 GetMtDevCreationMethod() const { return mtDevCreationMethod_; }

    // ---- the built-in script commands
    SInt32 OpenLogFile(char* argument);
    SInt32 SetVerboseLevel(char* argument);
    SInt32 PrintTestStart(char* argument);
    SInt32 SpecInit(char* argument);
    SInt32 SpecList(char* argument);
    SInt32 SpecGeneratePlist(char* argument);
    SInt32 SetScreenImage(char* argument);
    SInt32 SetScreenColor(char* argument);
    SInt32 SetScreenUnitName(char* argument);
    SInt32 SetScreenMessage(char* argument);

protected:
    // A subclass's own command, under its script word (the colon is added).
    void RegisterCommand(const std::string& word, tZelk_ProjectCommand command);

private:
    std::atomic<SInt32> stationId_{0};
    char serialNum_[kSerialNumSize] = {};
    char csvFileName_[kCsvFileNameSize] = {};
    iZelk_LogManager* lm_ = nullptr;
    std::atomic<tZelk_MtUsbDevPlace*> mtUsbDevPlace_{nullptr};
    SInt32 mtDevCreationMethod_ = 0;
    iZelk_SpecManager* sm_ = nullptr;
    mutable std::mutex boardLock_;
    std::weak_ptr<iZelk_Crestel> board_;
    std::atomic<iZelk_TamberCalUiControl*> screen_{nullptr};
    std::atomic<iZelk_TamberHost*> host_{nullptr};

    mutable std::mutex registryLock_;
    std::map<std::string, tZelk_ProjectCommand> commands_;
};
