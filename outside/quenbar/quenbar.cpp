// Local stand-in of the factory test-record logging library: records live in
// memory until commit, which writes one XML property list into the record folder.
#include "quenbar.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "../common/stub_control.h"

namespace fs = std::filesystem;

struct QB_reply {
    bool ok = true;
    int cls = 0;
    std::string error;
};

struct QB_testSpec {
    std::string name, subName, subSubName, units, lower, upper;
    bool hasUnits = false, hasLimits = false;
    int priority = 0;
};

struct QB_testResult {
    std::string value, message;
    bool hasValue = false;
    int result = 2;
};

struct QB_UID {
    enum class State { Open, Done, Committed, Cancelled } state = State::Open;
    long seq = 0;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<std::pair<QB_testSpec, QB_testResult>> items;
    std::vector<std::pair<std::string, std::string>> blobs;  // name, source file
    std::string testerId, slot;
    bool hasDutPos = false;
    long long startTime = 0, stopTime = 0;
    bool hasStart = false, hasStop = false;
};

namespace {

struct Settings {
    std::string recordDir;
    std::string stage = "MP";
    std::string stationId = "STATION-1";
    bool healthOk = true;
    int healthClass = 32;
    std::string healthText = "process control says no";
    std::string callLog;
};

std::mutex g_settingsMutex;
Settings g_settings;
std::atomic<long> g_recordSeq{0};

nkstub::Control& control() {
    static nkstub::Control c("NK_QUENBAR_CONFIG");
    return c;
}

Settings settings() {
    nkstub::Control::Entries entries;
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    if (control().refresh(entries)) {
        g_settings = Settings{};
        for (const auto& [key, value] : entries) {
            if (key == "record_dir") g_settings.recordDir = value;
            else if (key == "stage") g_settings.stage = value;
            else if (key == "station_id") g_settings.stationId = value;
            else if (key == "health") g_settings.healthOk = value != "fail";
            else if (key == "health_class") g_settings.healthClass = std::atoi(value.c_str());
            else if (key == "health_text") g_settings.healthText = value;
            else if (key == "call_log") g_settings.callLog = value;
        }
    }
    return g_settings;
}

QB_reply* okReply() { return new QB_reply; }

QB_reply* failReply(int cls, std::string text) {
    auto* r = new QB_reply;
    r->ok = false;
    r->cls = cls;
    r->error = std::move(text);
    return r;
}

// Counts and records the call; true with the hook when it is to fail.
bool hooked(const char* function, const std::string& detail, nkstub::Hook& hit) {
    const Settings s = settings();
    if (!s.callLog.empty()) {
        std::ofstream out(s.callLog, std::ios::app);
        out << function << (detail.empty() ? "" : "\t") << detail << '\n';
    }
    return control().enter(function, detail, hit);
}

QB_reply* hookReply(const char* function, const nkstub::Hook& h) {
    return failReply(h.cls, h.text.empty() ? std::string(function) + " failed on request" : h.text);
}

std::string text(const char* s) { return s ? std::string(s) : std::string(); }
std::string text(const char* s, size_t n) { return s ? std::string(s, strnlen(s, n)) : std::string(); }

std::string xmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (u < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;  // XML cannot carry it
        else out += c;
    }
    return out;
}

void xmlString(std::string& out, const char* key, const std::string& value) {
    out += "\t\t<key>" + xmlEscape(key) + "</key><string>" + xmlEscape(value) + "</string>\n";
}

std::string safeName(const std::string& s) {
    std::string out;
    for (char c : s)
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    return out.substr(0, 64);
}

std::string renderRecord(const QB_UID& r, bool pass, const std::string& blobFolder) {
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    x += "\t<key>Attributes</key>\n\t<dict>\n";
    for (const auto& [k, v] : r.attributes) xmlString(x, k.c_str(), v);
    x += "\t</dict>\n\t<key>Items</key>\n\t<array>\n";
    for (const auto& [spec, res] : r.items) {
        x += "\t<dict>\n";
        xmlString(x, "testname", spec.name);
        if (!spec.subName.empty()) xmlString(x, "subtestname", spec.subName);
        if (!spec.subSubName.empty()) xmlString(x, "subsubtestname", spec.subSubName);
        x += "\t\t<key>priority</key><integer>" + std::to_string(spec.priority) + "</integer>\n";
        x += "\t\t<key>result</key><integer>" + std::to_string(res.result) + "</integer>\n";
        if (!res.message.empty()) xmlString(x, "message", res.message);
        if (res.hasValue) xmlString(x, "value", res.value);
        if (spec.hasLimits) {
            xmlString(x, "lowerlimit", spec.lower);
            xmlString(x, "upperlimit", spec.upper);
        }
        if (spec.hasUnits) xmlString(x, "units", spec.units);
        x += "\t</dict>\n";
    }
    x += "\t</array>\n\t<key>Blobs</key>\n\t<array>\n";
    for (const auto& [name, path] : r.blobs) {
        x += "\t<dict>\n";
        xmlString(x, "name", name);
        xmlString(x, "file", blobFolder + "/" + fs::path(path).filename().string());
        x += "\t</dict>\n";
    }
    x += "\t</array>\n";
    if (r.hasDutPos) {
        x += "\t<key>DUTPos</key>\n\t<dict>\n";
        xmlString(x, "testerid", r.testerId);
        xmlString(x, "slot", r.slot);
        x += "\t</dict>\n";
    }
    if (r.hasStart) x += "\t<key>StartTime</key><integer>" + std::to_string(r.startTime) + "</integer>\n";
    if (r.hasStop) x += "\t<key>StopTime</key><integer>" + std::to_string(r.stopTime) + "</integer>\n";
    x += std::string("\t<key>Passed</key>") + (pass ? "<true/>" : "<false/>") + "\n</dict>\n</plist>\n";
    return x;
}

// Writes the record and copies its blobs; false with a reason.
bool commitRecord(const QB_UID& r, bool pass, const std::string& dir, std::string& why) {
    std::error_code ec;
    if (dir.empty() || !fs::is_directory(dir, ec)) {
        why = "no record folder";
        return false;
    }
    std::string serial;
    for (const auto& [k, v] : r.attributes)
        if (k == "serialnumber") serial = v;
    const std::string base = safeName(serial.empty() ? "record" : serial) + "_" + std::to_string(getpid()) + "_" +
                             std::to_string(r.seq);
    const std::string blobFolder = base + ".blobs";
    if (!r.blobs.empty()) {
        fs::create_directories(fs::path(dir) / blobFolder, ec);
        for (const auto& [name, path] : r.blobs) {
            fs::copy_file(path, fs::path(dir) / blobFolder / fs::path(path).filename(),
                          fs::copy_options::overwrite_existing, ec);
            if (ec) {
                why = "cannot copy blob " + name + ": " + ec.message();
                return false;
            }
        }
    }
    const std::string target = (fs::path(dir) / (base + ".plist")).string();
    const std::string tmp = target + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << renderRecord(r, pass, blobFolder);
        out.flush();
        if (!out) {
            why = "cannot write " + tmp;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), target.c_str()) != 0) {
        why = "cannot write " + target;
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

QB_reply* noHandle() { return failReply(0, "null handle"); }
QB_reply* notOpen() { return failReply(0, "record not open"); }

}  // namespace

extern "C" {

bool QB_success(const QB_reply* reply) { return reply && reply->ok; }
const char* QB_reply_getError(const QB_reply* reply) { return reply ? reply->error.c_str() : ""; }
bool QB_reply_isOfClass(const QB_reply* reply, int replyClass) { return reply && !reply->ok && reply->cls == replyClass; }
void QB_reply_destroy(QB_reply* reply) { delete reply; }

QB_reply* QB_UUTStart(QB_UID** uid) {
    nkstub::Hook h;
    if (hooked("QB_UUTStart", "", h)) {
        if (uid) *uid = nullptr;
        return hookReply("QB_UUTStart", h);
    }
    if (!uid) return noHandle();
    *uid = new QB_UID;
    (*uid)->seq = ++g_recordSeq;
    return okReply();
}

QB_reply* QB_UUTDone(QB_UID* uid) {
    nkstub::Hook h;
    if (hooked("QB_UUTDone", "", h)) return hookReply("QB_UUTDone", h);
    if (!uid) return noHandle();
    if (uid->state != QB_UID::State::Open) return notOpen();
    uid->state = QB_UID::State::Done;
    return okReply();
}

QB_reply* QB_UUTCommit(QB_UID* uid, int pass) {
    nkstub::Hook h;
    if (hooked("QB_UUTCommit", "pass=" + std::to_string(pass), h)) return hookReply("QB_UUTCommit", h);
    if (!uid) return noHandle();
    if (uid->state != QB_UID::State::Done) return failReply(0, "record not done");
    std::string why;
    if (!commitRecord(*uid, pass != 0, settings().recordDir, why)) return failReply(0, why);
    uid->state = QB_UID::State::Committed;
    return okReply();
}

QB_reply* QB_UUTCancel(QB_UID* uid) {
    nkstub::Hook h;
    if (hooked("QB_UUTCancel", "", h)) return hookReply("QB_UUTCancel", h);
    if (!uid) return noHandle();
    if (uid->state == QB_UID::State::Committed) return failReply(0, "record already committed");
    uid->state = QB_UID::State::Cancelled;
    return okReply();
}

void QB_UID_destroy(QB_UID* uid) {
    nkstub::Hook h;
    hooked("QB_UID_destroy", "", h);
    delete uid;
}

QB_reply* QB_addAttribute(QB_UID* uid, const char* name, const char* value) {
    nkstub::Hook h;
    if (hooked("QB_addAttribute", text(name) + "=" + text(value), h)) return hookReply("QB_addAttribute", h);
    if (!uid) return noHandle();
    if (uid->state != QB_UID::State::Open) return notOpen();
    if (!name || !*name || !value) return failReply(0, "attribute needs a name and a value");
    for (auto& [k, v] : uid->attributes) {
        if (k == name) {
            v = value;
            return okReply();
        }
    }
    uid->attributes.emplace_back(name, value);
    return okReply();
}

QB_testSpec* QB_testSpec_create(void) {
    nkstub::Hook h;
    if (hooked("QB_testSpec_create", "", h)) return nullptr;
    return new QB_testSpec;
}

QB_testResult* QB_testResult_create(void) {
    nkstub::Hook h;
    if (hooked("QB_testResult_create", "", h)) return nullptr;
    return new QB_testResult;
}

void QB_testSpec_destroy(QB_testSpec* spec) { delete spec; }
void QB_testResult_destroy(QB_testResult* result) { delete result; }

bool QB_testSpec_setTestName(QB_testSpec* spec, const char* name, size_t length) {
    nkstub::Hook h;
    if (hooked("QB_testSpec_setTestName", text(name, length), h) || !spec || !name || length == 0) return false;
    spec->name = text(name, length);
    return true;
}

bool QB_testSpec_setSubTestName(QB_testSpec* spec, const char* name, size_t length) {
    nkstub::Hook h;
    if (hooked("QB_testSpec_setSubTestName", text(name, length), h) || !spec || !name) return false;
    spec->subName = text(name, length);
    return true;
}

bool QB_testSpec_setSubSubTestName(QB_testSpec* spec, const char* name, size_t length) {
    nkstub::Hook h;
    if (hooked("QB_testSpec_setSubSubTestName", text(name, length), h) || !spec || !name) return false;
    spec->subSubName = text(name, length);
    return true;
}

bool QB_testSpec_setUnits(QB_testSpec* spec, const char* units, size_t length) {
    nkstub::Hook h;
    if (hooked("QB_testSpec_setUnits", text(units, length), h) || !spec || !units) return false;
    spec->units = text(units, length);
    spec->hasUnits = true;
    return true;
}

bool QB_testSpec_setLimits(QB_testSpec* spec, const char* lower, size_t lowerLength, const char* upper,
                           size_t upperLength) {
    nkstub::Hook h;
    if (hooked("QB_testSpec_setLimits", text(lower, lowerLength) + "," + text(upper, upperLength), h) || !spec ||
        !lower || !upper)
        return false;
    spec->lower = text(lower, lowerLength);
    spec->upper = text(upper, upperLength);
    spec->hasLimits = true;
    return true;
}

bool QB_testSpec_setPriority(QB_testSpec* spec, int priority) {
    nkstub::Hook h;
    if (hooked("QB_testSpec_setPriority", std::to_string(priority), h) || !spec) return false;
    if (priority != -2 && (priority < 0 || priority > 4)) return false;
    spec->priority = priority;
    return true;
}

bool QB_testResult_setValue(QB_testResult* result, const char* value, size_t length) {
    nkstub::Hook h;
    if (hooked("QB_testResult_setValue", text(value, length), h) || !result || !value) return false;
    result->value = text(value, length);
    result->hasValue = true;
    return true;
}

bool QB_testResult_setResult(QB_testResult* result, int value) {
    nkstub::Hook h;
    if (hooked("QB_testResult_setResult", std::to_string(value), h) || !result) return false;
    if (value < 0 || value > 2) return false;
    result->result = value;
    return true;
}

bool QB_testResult_setMessage(QB_testResult* result, const char* message, size_t length) {
    nkstub::Hook h;
    if (hooked("QB_testResult_setMessage", text(message, length), h) || !result || !message) return false;
    result->message = text(message, length);
    return true;
}

QB_reply* QB_addResult(QB_UID* uid, const QB_testSpec* spec, const QB_testResult* result) {
    nkstub::Hook h;
    std::string detail;
    if (spec) detail = spec->name + "/" + spec->subName + "/" + spec->subSubName;
    if (hooked("QB_addResult", detail, h)) return hookReply("QB_addResult", h);
    if (!uid) return noHandle();
    if (uid->state != QB_UID::State::Open) return notOpen();
    if (!spec || !result || spec->name.empty()) return failReply(0, "an item needs a spec with a name and a result");
    uid->items.emplace_back(*spec, *result);
    return okReply();
}

QB_reply* QB_addBlob(QB_UID* uid, const char* name, const char* path) {
    nkstub::Hook h;
    if (hooked("QB_addBlob", text(name) + "=" + text(path), h)) return hookReply("QB_addBlob", h);
    if (!uid) return noHandle();
    if (uid->state != QB_UID::State::Open) return notOpen();
    std::error_code ec;
    if (!name || !*name || !path || !fs::is_regular_file(path, ec))
        return failReply(0, "blob file not found: " + text(path));
    uid->blobs.emplace_back(name, path);
    return okReply();
}

QB_reply* QB_setDUTPos(QB_UID* uid, const char* testerId, const char* slot) {
    nkstub::Hook h;
    if (hooked("QB_setDUTPos", text(testerId) + "," + text(slot), h)) return hookReply("QB_setDUTPos", h);
    if (!uid) return noHandle();
    if (uid->state != QB_UID::State::Open) return notOpen();
    uid->testerId = text(testerId);
    uid->slot = text(slot);
    uid->hasDutPos = true;
    return okReply();
}

QB_reply* QB_amIOkay(QB_UID* uid, const char* serialNumber) {
    nkstub::Hook h;
    if (hooked("QB_amIOkay", text(serialNumber), h)) return hookReply("QB_amIOkay", h);
    if (!uid) return noHandle();
    const Settings s = settings();
    if (!s.healthOk) return failReply(s.healthClass, s.healthText);
    return okReply();
}

QB_reply* QB_getVQStationInfo(QB_UID* uid, int item, char* value, size_t* length) {
    nkstub::Hook h;
    if (hooked("QB_getVQStationInfo", std::to_string(item), h)) return hookReply("QB_getVQStationInfo", h);
    if (!uid) return noHandle();
    if (!length) return failReply(0, "no length");
    const Settings s = settings();
    std::string answer;
    if (item == 3) answer = s.stage;
    else if (item == 22) answer = s.stationId;
    else return failReply(0, "unknown station-information item " + std::to_string(item));
    if (!value) {
        *length = answer.size();
        return okReply();
    }
    const size_t n = answer.size() < *length ? answer.size() : *length;
    std::memcpy(value, answer.data(), n);
    value[n] = '\0';
    *length = n;
    return okReply();
}

QB_reply* QB_setStartTime(QB_UID* uid, time_t when) {
    nkstub::Hook h;
    if (hooked("QB_setStartTime", std::to_string(static_cast<long long>(when)), h)) return hookReply("QB_setStartTime", h);
    if (!uid) return noHandle();
    uid->startTime = when;
    uid->hasStart = true;
    return okReply();
}

QB_reply* QB_setStopTime(QB_UID* uid, time_t when) {
    nkstub::Hook h;
    if (hooked("QB_setStopTime", std::to_string(static_cast<long long>(when)), h)) return hookReply("QB_setStopTime", h);
    if (!uid) return noHandle();
    uid->stopTime = when;
    uid->hasStop = true;
    return okReply();
}

void QBStub_reset(void) {
    control().reset();
    settings();
}

void QBStub_setRecordDir(const char* folder) {
    settings();
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_settings.recordDir = text(folder);
}

void QBStub_setStage(const char* stage) {
    settings();
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_settings.stage = text(stage);
}

void QBStub_setStationID(const char* id) {
    settings();
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_settings.stationId = text(id);
}

void QBStub_setHealth(bool ok, int replyClass, const char* message) {
    settings();
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_settings.healthOk = ok;
    g_settings.healthClass = replyClass;
    g_settings.healthText = text(message);
}

void QBStub_failCall(const char* function, long first, long count, int replyClass, const char* message) {
    settings();
    control().addHook({text(function), first, count, 0, replyClass, text(message)});
}

void QBStub_delayCall(const char* function, long first, long count, long ms, int replyClass, const char* message) {
    settings();
    control().addHook({text(function), first, count, ms, replyClass, text(message)});
}

long QBStub_callCount(const char* function) { return control().callCount(text(function)); }

size_t QBStub_callLog(char* buf, size_t size) { return control().callLog(buf, size); }

}  // extern "C"
