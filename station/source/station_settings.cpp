// Station settings and command line.
#include "station_settings.h"

#include <QSettings>
#include <QString>

#include "nk_utils.h"

namespace lumbrel {

namespace {

bool parsePort(const std::string& text, u16* port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v < 1 || v > 65535) return false;
    *port = static_cast<u16>(v);
    return true;
}

// Whole seconds, 1 to kMaxIdleLimitSec.
bool parseIdleLimit(const std::string& text, u32* seconds) {
    if (text.empty() || text.size() > 6) return false;
    u32 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + u32(c - '0');
    }
    if (v < 1 || v > kMaxIdleLimitSec) return false;
    *seconds = v;
    return true;
}

std::string stripSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::optional<std::string> storedText(QSettings& store, const char* key) {
    const QVariant v = store.value(QString::fromUtf8(key));
    if (!v.isValid()) return std::nullopt;
    const std::string s = v.toString().toStdString();
    if (s.empty()) return std::nullopt;
    return s;
}

}  // namespace

const char* usageText() {
    return "usage: Lumbrel [--headless] [--port N] [--log-root DIR] [--data-root DIR] [--temp-folder DIR]\n"
           "               [--resource-folder DIR] [--script FILE] [--repository-dry-run] [--no-submission]\n"
           "               [--development] [--idle-limit SECONDS]\n"
           "       N is a port from 1 to 65535; SECONDS (1 to 86400, default 300) is how long a connection\n"
           "       may hold a session without a unit's work once every session is busy\n"
           "       Lumbrel postprocess FOLDER\n"
           "       FOLDER holds stored <serial number>_atst.bin packets\n";
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine cmd;
    auto refuse = [&](const std::string& why) {
        cmd.action = CommandLine::Action::usage;
        cmd.error = why;
        return cmd;
    };
    if (!args.empty() && args[0].find("postprocess") != std::string::npos) {
        if (args.size() < 2 || args[1].empty()) return refuse(args[0] + " needs the folder of the stored packets");
        if (args.size() > 2) return refuse("unknown argument after the folder: " + args[2]);
        cmd.action = CommandLine::Action::postprocess;
        cmd.postprocessFolder = args[1];
        return cmd;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::optional<std::string>* path = nullptr;
        if (a == "--headless") cmd.headless = true;
        else if (a == "--repository-dry-run") cmd.repositoryDryRun = true;
        else if (a == "--no-submission") cmd.noSubmission = true;
        else if (a == "--development") cmd.development = true;
        else if (a == "--port") {
            if (i + 1 >= args.size()) return refuse("--port needs a number");
            u16 port = 0;
            if (!parsePort(args[++i], &port)) return refuse("port outside 1-65535: " + args[i]);
            cmd.port = port;
        } else if (a == "--idle-limit") {
            if (i + 1 >= args.size()) return refuse("--idle-limit needs a number of seconds");
            u32 seconds = 0;
            if (!parseIdleLimit(args[++i], &seconds)) return refuse("idle limit outside 1-86400 seconds: " + args[i]);
            cmd.idleLimitSec = seconds;
        } else if (a == "--log-root") path = &cmd.logRoot;
        else if (a == "--data-root") path = &cmd.dataRoot;
        else if (a == "--temp-folder") path = &cmd.tempFolder;
        else if (a == "--resource-folder") path = &cmd.resourceFolder;
        else if (a == "--script") path = &cmd.scriptPath;
        else return refuse("unknown option: " + a);
        if (path) {
            if (i + 1 >= args.size() || args[i + 1].empty()) return refuse(a + " needs a value");
            *path = args[++i];
        }
    }
    return cmd;
}

StationSettings resolveSettings(const CommandLine& cmd, QSettings& store) {
    StationSettings s;
    auto pick = [&](const std::optional<std::string>& given, const char* key, const std::string& fallback) {
        if (given) return *given;
        if (auto stored = storedText(store, key)) return *stored;
        return fallback;
    };
    s.logRoot = stripSlash(pick(cmd.logRoot, kKeyLogRoot, nkUtil_GetAppPath()));
    s.dataRoot = stripSlash(pick(cmd.dataRoot, kKeyDataRoot, "/srv/station"));
    s.tempFolder = stripSlash(pick(cmd.tempFolder, kKeyTempFolder, "/tmp"));
    s.resourceFolder = stripSlash(pick(cmd.resourceFolder, kKeyResourceFolder, nkUtil_GetAppResPath()));
    s.scriptPath = pick(cmd.scriptPath, kKeyScriptPath, s.resourceFolder + "/" + kScriptName);

    s.port = kDefaultPort;
    if (cmd.port) {
        s.port = *cmd.port;
        s.portFromCommandLine = true;
    } else {
        bool ok = false;
        const int stored = store.value(QString::fromUtf8(kKeyPort)).toInt(&ok);
        if (ok && stored >= 1024 && stored <= 65535) s.port = static_cast<u16>(stored);
    }

    s.idleLimitSec = kDefaultIdleLimitSec;
    u32 storedLimit = 0;
    if (cmd.idleLimitSec)
        s.idleLimitSec = *cmd.idleLimitSec;
    else if (auto stored = storedText(store, kKeyIdleLimit); stored && parseIdleLimit(*stored, &storedLimit))
        s.idleLimitSec = storedLimit;
    return s;
}

void initializeUserDefault(QSettings& store) {
    bool ok = false;
    const int port = store.value(QString::fromUtf8(kKeyPort)).toInt(&ok);
    if (!ok || port < 1024) store.setValue(QString::fromUtf8(kKeyPort), int(kDefaultPort));
    const std::pair<const char*, const char*> urls[] = {
        {kKeyVdxCaUrl, kDefaultVdxCaUrl},
        {kKeyVdxDsSetUrl, kDefaultVdxDsUrl},
        {kKeyVdxDsGetUrl, kDefaultVdxDsUrl},
        {kKeyVdxTrustObjectUrl, kDefaultVdxTrustObjectUrl},
    };
    for (const auto& [key, value] : urls)
        if (!storedText(store, key)) store.setValue(QString::fromUtf8(key), QString::fromUtf8(value));
    store.sync();
}

QSettings* newUserSettings() {
    return new QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Lumbrel"),
                         QStringLiteral("Lumbrel"));
}

}  // namespace lumbrel
