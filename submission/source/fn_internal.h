// libFerrin's inside: the session table, the session and test-record records and
// the operations the exports share. Nothing here leaves the library.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ferrin.h"
#include "plist/pf_plist.h"
#include "quenbar.h"

namespace ferrin {

constexpr size_t kTextSize = 512;
constexpr size_t kNameSize = 64;

// Where the "[FERRIN]" lines go: the system log unless a test puts its own sink in.
// An empty function restores the system log.
void setLogSink(std::function<void(const std::string&)> sink);
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes into a fixed text buffer of kTextSize bytes, always NUL-terminated.
void setText(char* text, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The session's test record in the logging library.
struct FN_TestRecord {
    std::array<char, kTextSize> errorText{};
    uint8_t started = 0;
    uint8_t hasFailingItem = 0;
    QB_UID* handle = nullptr;
    int32_t allowedFailCount = -1;
    uint8_t setsOwnBit = 0;
    std::vector<int32_t> checkIds;
    std::vector<std::array<char, kNameSize>> checkNames;
    std::vector<int32_t> clearOnPass;
    std::vector<int32_t> clearOnFail;

    bool start(const char* swVersion, const char* swName, const char* sn);
    bool addAttribute(const char* name, const char* value);
    void fetchControlBits();
    bool healthQuery(const char* sn);
    // A result item without value, or a parametric one when value is not null.
    bool addResultItem(const std::string& testName, const std::string& subTest, const std::string& subSubTest,
                       const std::string& result, const std::string& message, const std::string& priority,
                       const std::string* value = nullptr, const std::string& units = {},
                       const std::string& lower = {}, const std::string& upper = {});
    // Zips the folder beside itself and adds the zip; failure text into callerText.
    bool addBlobFolder(const char* path, char* callerText);
    bool finish();
    void cancel();
    bool setStartTime(time_t when);
    bool setStopTime(time_t when);

    // A name of the check list, bounded: a 64-byte buffer need not end in NUL.
    std::string checkName(size_t i) const;

private:
    void clearLists();
};

struct FN_Session {
    FN_TestRecord record;
    std::deque<FN_Task*> tasks;
    uint32_t state = 0;
    uint32_t ownCbId = 0;
    std::string serialNumber;
    uint8_t passed = 0;
    uint32_t result = 0;
    std::array<char, kTextSize> lastError{};
    std::deque<FN_Phase*> phases;
    uint32_t itemsSent = 0;

    FN_Session() = default;
    FN_Session(const FN_Session&) = delete;
    FN_Session& operator=(const FN_Session&) = delete;
    ~FN_Session();
};

// Table access under the short table lock. The pointer stays valid until the
// session is closed, which only its own caller does.
FN_Session* findSession(const char* sn);

// Control-bit results 0..5 to export codes.
int32_t mapResult(uint32_t result);

// Phases and tasks (fn_phase.cpp).
void queueInitialWork(FN_Session& s);
void freePhase(FN_Phase* p);
void freeTask(FN_Task* t);
// Sets control-bit result r (1..5) with its last error and item; state 7.
void setResult(FN_Session& s, uint32_t r, int64_t a = 0, int64_t b = 0, size_t check = 0);

// Test data (fn_submit.cpp). text is the caller's 512-byte text.
bool submitDictionary(FN_Session& s, const pf::plist::Value& root, char* text);
bool submitPlistFile(FN_Session& s, const char* path, char* text);
bool addTestItem(FN_TestRecord& r, const pf::plist::Value& test, char* text);

// Runs f and turns any exception into the fallback value.
template <typename T, typename F>
T guarded(T fallback, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return fallback;
    }
}

}  // namespace ferrin
