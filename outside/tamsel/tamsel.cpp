// Local stand-in of the factory authentication library: control-bit lists and
// station answers from a config file or from the test setters.
#include "tamsel.h"

#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "../common/stub_control.h"

namespace {

struct Settings {
    int failCountAllowed = -1;
    bool setControlBit = true;
    std::vector<int> checkIds;
    std::vector<std::string> checkNames;
    std::vector<int> clearOnPass, clearOnFail;
    unsigned long skew = 0;
    std::string callLog;
};

std::mutex g_mutex;
Settings g_settings;

nkstub::Control& control() {
    static nkstub::Control c("NK_TAMSEL_CONFIG");
    return c;
}

std::vector<int> parseIds(const std::string& value) {
    std::vector<int> ids;
    std::istringstream in(value);
    std::string word;
    while (in >> word) ids.push_back(static_cast<int>(std::strtol(word.c_str(), nullptr, 0)));
    return ids;
}

Settings settings() {
    nkstub::Control::Entries entries;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (control().refresh(entries)) {
        g_settings = Settings{};
        for (const auto& [key, value] : entries) {
            if (key == "fail_count_allowed") {
                g_settings.failCountAllowed = std::atoi(value.c_str());
            } else if (key == "set_control_bit") {
                g_settings.setControlBit = value == "1" || value == "true" || value == "yes";
            } else if (key == "check") {
                std::istringstream in(value);
                std::string id, name;
                in >> id;
                std::getline(in, name);
                g_settings.checkIds.push_back(static_cast<int>(std::strtol(id.c_str(), nullptr, 0)));
                g_settings.checkNames.push_back(nkstub::trim(name));
            } else if (key == "clear_on_pass") {
                g_settings.clearOnPass = parseIds(value);
            } else if (key == "clear_on_fail") {
                g_settings.clearOnFail = parseIds(value);
            } else if (key == "count_skew") {
                g_settings.skew = std::strtoul(value.c_str(), nullptr, 0);
            } else if (key == "call_log") {
                g_settings.callLog = value;
            }
        }
    }
    return g_settings;
}

bool hooked(const char* function, const std::string& detail) {
    const Settings s = settings();
    if (!s.callLog.empty()) {
        std::ofstream out(s.callLog, std::ios::app);
        out << function << (detail.empty() ? "" : "\t") << detail << '\n';
    }
    nkstub::Hook h;
    return control().enter(function, detail, h);
}

std::string arrays(const void* ids) { return ids ? "arrays" : "count"; }

bool fillList(const std::vector<int>& list, const std::vector<std::string>* names, unsigned long skew, int* ids,
              unsigned long* count, char** nameBufs) {
    if (!count) return false;
    if (!ids) {
        *count = list.size();
        return true;
    }
    const size_t n = list.size() < *count ? list.size() : *count;
    for (size_t i = 0; i < n; ++i) {
        ids[i] = list[i];
        if (names && nameBufs && nameBufs[i]) {
            // As a C library fills a fixed field: a 64-character name leaves no NUL.
            std::strncpy(nameBufs[i], (*names)[i].c_str(), TAMSEL_NAME_SIZE);
        }
    }
    *count = list.size() + skew;
    return true;
}

}  // namespace

extern "C" {

int StationFailCountAllowed(void) {
    hooked("StationFailCountAllowed", "");
    return settings().failCountAllowed;
}

bool StationSetControlBit(void) {
    if (hooked("StationSetControlBit", "")) return false;
    return settings().setControlBit;
}

bool ControlBitsToCheck(int* ids, unsigned long* count, char** names) {
    if (hooked("ControlBitsToCheck", arrays(ids))) return false;
    const Settings s = settings();
    return fillList(s.checkIds, &s.checkNames, s.skew, ids, count, names);
}

bool ControlBitsToClearOnPass(int* ids, unsigned long* count) {
    if (hooked("ControlBitsToClearOnPass", arrays(ids))) return false;
    const Settings s = settings();
    return fillList(s.clearOnPass, nullptr, s.skew, ids, count, nullptr);
}

bool ControlBitsToClearOnFail(int* ids, unsigned long* count) {
    if (hooked("ControlBitsToClearOnFail", arrays(ids))) return false;
    const Settings s = settings();
    return fillList(s.clearOnFail, nullptr, s.skew, ids, count, nullptr);
}

void TamselStub_reset(void) {
    control().reset();
    settings();
}

void TamselStub_setFailCountAllowed(int count) {
    settings();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_settings.failCountAllowed = count;
}

void TamselStub_setSetControlBit(bool set) {
    settings();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_settings.setControlBit = set;
}

void TamselStub_setCheckList(unsigned long count, const int* ids, const char* const* names) {
    settings();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_settings.checkIds.assign(ids, ids + (ids ? count : 0));
    g_settings.checkNames.clear();
    for (unsigned long i = 0; i < g_settings.checkIds.size(); ++i)
        g_settings.checkNames.emplace_back(names && names[i] ? names[i] : "");
}

void TamselStub_setClearOnPass(unsigned long count, const int* ids) {
    settings();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_settings.clearOnPass.assign(ids, ids + (ids ? count : 0));
}

void TamselStub_setClearOnFail(unsigned long count, const int* ids) {
    settings();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_settings.clearOnFail.assign(ids, ids + (ids ? count : 0));
}

void TamselStub_setCountSkew(unsigned long extra) {
    settings();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_settings.skew = extra;
}

void TamselStub_failCall(const char* function, long first, long count) {
    settings();
    control().addHook({function ? function : "", first, count, 0, 0, ""});
}

void TamselStub_delayCall(const char* function, long first, long count, long ms) {
    settings();
    control().addHook({function ? function : "", first, count, ms, 0, ""});
}

long TamselStub_callCount(const char* function) { return control().callCount(function ? function : ""); }

size_t TamselStub_callLog(char* buf, size_t size) { return control().callLog(buf, size); }

}  // extern "C"
