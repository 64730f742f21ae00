// The station's settings: where its folders are and which port it serves,
// taken from the command line, then the per-user defaults, then built-in values.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "nk_typedef.h"

class QSettings;

namespace lumbrel {

constexpr u16 kDefaultPort = 61804;
// Seconds a connection may hold a session without a unit's work before a
// tester that finds every session busy gets it.
constexpr u32 kDefaultIdleLimitSec = 300;
constexpr u32 kMaxIdleLimitSec = 86400;
constexpr const char* kScriptName = "testScript_CG.zqs";

// Per-user default keys.
constexpr const char* kKeyPort = "Server Port Number";
constexpr const char* kKeyLogRoot = "Log Root";
constexpr const char* kKeyDataRoot = "Data Root";
constexpr const char* kKeyTempFolder = "Temp Folder";
constexpr const char* kKeyResourceFolder = "Resource Folder";
constexpr const char* kKeyScriptPath = "Script Path";
constexpr const char* kKeyIdleLimit = "Idle Limit";
constexpr const char* kKeyVdxCaUrl = "VDX CA Server URL";
constexpr const char* kKeyVdxDsSetUrl = "VDX DS Set Server URL";
constexpr const char* kKeyVdxDsGetUrl = "VDX DS Get Server URL";
constexpr const char* kKeyVdxTrustObjectUrl = "VDX TrustObject Server URL";

// Built-in repository endpoints (this installation's configuration).
constexpr const char* kDefaultVdxCaUrl = "https://vdx-ca.station.invalid:8443";
constexpr const char* kDefaultVdxDsUrl = "https://vdx-ds.station.invalid:8443";
constexpr const char* kDefaultVdxTrustObjectUrl = "http://vdx-trust.station.invalid:8080/vdxtrustobject";

// What the command line asked for; unset values fall through to the defaults.
struct CommandLine {
    enum class Action { run, usage, postprocess };
    Action action = Action::run;
    std::string error;  // why the line was refused (usage)
    std::string postprocessFolder;  // the stored packets' folder (postprocess)
    bool headless = false;
    bool repositoryDryRun = false;
    bool noSubmission = false;
    bool development = false;
    std::optional<u16> port;
    std::optional<u32> idleLimitSec;
    std::optional<std::string> logRoot, dataRoot, tempFolder, resourceFolder, scriptPath;
};

CommandLine parseCommandLine(const std::vector<std::string>& args);  // args without the program name
const char* usageText();

// One settings object for the whole station (S1): nothing else names a folder.
struct StationSettings {
    std::string logRoot;         // the "application folder" of the unit files and logs
    std::string dataRoot;        // reference data of the repository
    std::string tempFolder;
    std::string resourceFolder;  // test script, light-source databases
    std::string scriptPath;
    u16 port = kDefaultPort;
    bool portFromCommandLine = false;  // the window shows it in place of the stored port
    u32 idleLimitSec = kDefaultIdleLimitSec;
};

// Command line, then `store`, then the built-in values. A stored port below 1024
// (or one that is not a port) is ignored, and so is a stored idle limit outside
// 1 to kMaxIdleLimitSec seconds.
StationSettings resolveSettings(const CommandLine& cmd, QSettings& store);

// Writes the defaults that are missing: the port (also when below 1024) and the
// four repository endpoints (also when empty).
void initializeUserDefault(QSettings& store);

// The per-user store of this program.
QSettings* newUserSettings();

}  // namespace lumbrel
