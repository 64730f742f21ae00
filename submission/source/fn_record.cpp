// The session's test record in the logging library, and the control-bit lists of
// the authentication library.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "fn_internal.h"
#include "tamsel.h"

extern char** environ;

namespace ferrin {

namespace {

// Outside lists are bounded before they size anything: ids lie in 0..255.
constexpr unsigned long kMaxBits = 256;

// The logging library's rule for adds: success, and no error text to speak of.
bool accepted(const QB_reply* r) { return QB_success(r) && strnlen(QB_reply_getError(r), 2) < 2; }

const char* errorOf(const QB_reply* r) { return QB_reply_getError(r); }

void drop(QB_reply* r) { QB_reply_destroy(r); }

// Fetches one id list: the count first, then the arrays. The second answer may
// not claim more than the room given.
std::vector<int32_t> fetchList(bool (*call)(int*, unsigned long*)) {
    unsigned long n = 0;
    if (!call(nullptr, &n) || n == 0) return {};
    n = std::min(n, kMaxBits);
    std::vector<int> ids(n, 0);
    unsigned long m = n;
    if (!call(ids.data(), &m)) return {};
    ids.resize(std::min(m, n));
    return {ids.begin(), ids.end()};
}

// Runs zip on `name` inside `parent` without a shell; true when it exited with 0.
bool runZip(const std::string& parent, const std::string& name, std::string& why) {
    // "./" keeps a name that starts with '-' from reading as an option.
    const std::string archive = "./" + name + ".zip";
    const std::string input = "./" + name;
    char* argv[] = {const_cast<char*>("zip"), const_cast<char*>("-r"), const_cast<char*>("-q"),
                    const_cast<char*>(archive.c_str()), const_cast<char*>(input.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        why = "cannot prepare zip";
        return false;
    }
    posix_spawn_file_actions_addchdir_np(&actions, parent.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/usr/bin/zip", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        why = std::string("cannot start zip: ") + std::strerror(rc);
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            why = "lost the zip process";
            return false;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = "zip ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return false;
    }
    return true;
}

}  // namespace

void FN_TestRecord::clearLists() {
    started = 0;
    hasFailingItem = 0;
    allowedFailCount = -1;
    setsOwnBit = 0;
    checkIds.clear();
    checkNames.clear();
    clearOnPass.clear();
    clearOnFail.clear();
}

bool FN_TestRecord::start(const char* swVersion, const char* swName, const char* sn) {
    clearLists();
    QB_reply* r = QB_UUTStart(&handle);
    if (!QB_success(r)) {
        setText(errorText.data(), "Quenbar start fail: %s\n", errorOf(r));
        drop(r);
        drop(QB_UUTCancel(handle));
        QB_UID_destroy(handle);
        handle = nullptr;
        return false;
    }
    drop(r);
    if (!addAttribute("softwareversion", swVersion) || !addAttribute("softwarename", swName) ||
        !addAttribute("serialnumber", sn)) {
        drop(QB_UUTCancel(handle));
        QB_UID_destroy(handle);
        handle = nullptr;
        return false;
    }
    started = 1;
    return true;
}

bool FN_TestRecord::addAttribute(const char* name, const char* value) {
    QB_reply* r = QB_addAttribute(handle, name ? name : "", value ? value : "");
    const bool ok = accepted(r);
    if (!ok) setText(errorText.data(), "Add attribute fail: %s\n", errorOf(r));
    drop(r);
    return ok;
}

void FN_TestRecord::fetchControlBits() {
    allowedFailCount = StationFailCountAllowed();
    setsOwnBit = StationSetControlBit() ? 1 : 0;

    checkIds.clear();
    checkNames.clear();
    unsigned long n = 0;
    if (ControlBitsToCheck(nullptr, &n, nullptr) && n > 0) {
        n = std::min(n, kMaxBits);
        std::vector<int> ids(n, 0);
        std::vector<std::array<char, kNameSize>> names(n);
        for (auto& name : names) name.fill('\0');
        std::vector<char*> namePtrs(n);
        for (size_t i = 0; i < n; ++i) namePtrs[i] = names[i].data();
        unsigned long m = n;
        if (ControlBitsToCheck(ids.data(), &m, namePtrs.data())) {
            m = std::min(m, n);
            checkIds.assign(ids.begin(), ids.begin() + static_cast<long>(m));
            checkNames.assign(names.begin(), names.begin() + static_cast<long>(m));
        }
    }
    clearOnPass = fetchList(ControlBitsToClearOnPass);
    clearOnFail = fetchList(ControlBitsToClearOnFail);
}

std::string FN_TestRecord::checkName(size_t i) const {
    if (i >= checkNames.size()) return {};
    return std::string(checkNames[i].data(), strnlen(checkNames[i].data(), kNameSize));
}

bool FN_TestRecord::healthQuery(const char* sn) {
    QB_reply* r = QB_amIOkay(handle, sn ? sn : "");
    if (QB_success(r)) {
        logLine("[FERRIN]QB_success returned TRUE!");
        drop(r);
        return true;
    }
    const char* err = errorOf(r);
    if (QB_reply_isOfClass(r, 32)) {
        logLine("[FERRIN]Process control fatal error!");
    } else {
        logLine("[FERRIN]Fatal error, but not process control!");
        logLine("[FERRIN]%s", err);
    }
    // Either way the failure keeps its reason, so the caller's text is never stale.
    setText(errorText.data(), "%s", err);
    std::fprintf(stderr, "libFerrin: %s\n", err);
    drop(r);
    return false;
}

bool FN_TestRecord::addResultItem(const std::string& testName, const std::string& subTest,
                                  const std::string& subSubTest, const std::string& result,
                                  const std::string& message, const std::string& priority, const std::string* value,
                                  const std::string& units, const std::string& lower, const std::string& upper) {
    if (testName.empty()) return false;
    if (result == "FAIL") hasFailingItem = 1;

    QB_testSpec* spec = QB_testSpec_create();
    QB_testResult* res = spec ? QB_testResult_create() : nullptr;
    auto fail = [&](const char* text) {
        setText(errorText.data(), "%s", text);
        if (spec) QB_testSpec_destroy(spec);
        if (res) QB_testResult_destroy(res);
        return false;
    };
    if (!spec) return fail("Could not create testSpec handle\n");
    if (!res) return fail("Could not create testResult handle\n");

    bool named = QB_testSpec_setTestName(spec, testName.c_str(), testName.size());
    if (named && !subTest.empty()) named = QB_testSpec_setSubTestName(spec, subTest.c_str(), subTest.size());
    if (named && !subSubTest.empty())
        named = QB_testSpec_setSubSubTestName(spec, subSubTest.c_str(), subSubTest.size());
    if (!named) return fail("Could not set test name\n");

    static const char* const kPriorities[] = {"0", "1", "2", "3", "4", "-2"};
    static const int kPriorityValues[] = {0, 1, 2, 3, 4, -2};
    bool priorityOk = false;
    for (size_t i = 0; i < 6; ++i) {
        if (priority == kPriorities[i]) {
            priorityOk = QB_testSpec_setPriority(spec, kPriorityValues[i]);
            break;
        }
    }
    if (!priorityOk) return fail("Could not set test priority\n");

    bool resultOk;
    if (result == "PASS") {
        resultOk = QB_testResult_setResult(res, 1);
    } else if (result == "FAIL") {
        resultOk = QB_testResult_setResult(res, 0) && QB_testResult_setMessage(res, message.c_str(), message.size());
    } else {
        resultOk = QB_testResult_setResult(res, 2);
    }
    if (!resultOk) return fail("Could not set test result\n");

    if (value) {
        if (!QB_testResult_setValue(res, value->c_str(), value->size())) return fail("Could not set test value\n");
        if (!QB_testSpec_setLimits(spec, lower.c_str(), lower.size(), upper.c_str(), upper.size()))
            return fail("Could not set test limits\n");
        if (!QB_testSpec_setUnits(spec, units.c_str(), units.size())) return fail("Could not set test units\n");
    }

    QB_reply* r = QB_addResult(handle, spec, res);
    const bool ok = accepted(r);
    if (!ok) setText(errorText.data(), "Could not add test item to Quenbar: %s\n", errorOf(r));
    drop(r);
    QB_testSpec_destroy(spec);
    QB_testResult_destroy(res);
    return ok;
}

bool FN_TestRecord::addBlobFolder(const char* path, char* callerText) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!path || !*path || !fs::exists(path, ec)) {
        setText(callerText, "Path for blob does not exist");
        return false;
    }
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const fs::path p(folder);
    const std::string name = p.filename().string();
    if (name.empty() || name == "." || name == ".." || name == "/") {
        setText(errorText.data(), "Could not zip blob folder: no folder name in %s\n", path);
        setText(callerText, "Unable to zip blob folder %s", path);
        return false;
    }
    const std::string parent = p.has_parent_path() ? p.parent_path().string() : std::string(".");
    const std::string zipPath = folder + ".zip";

    // A zip left from an earlier run would be updated, not replaced.
    fs::remove(zipPath, ec);
    std::string why;
    if (ec) why = "cannot remove old " + zipPath + ": " + ec.message();
    else if (runZip(parent, name, why) && !fs::is_regular_file(zipPath, ec)) why = "zip left no " + zipPath;
    if (!why.empty()) {
        setText(errorText.data(), "Could not zip blob folder: %s\n", why.c_str());
        setText(callerText, "Unable to zip blob folder %s", path);
        return false;
    }

    QB_reply* r = QB_addBlob(handle, name.c_str(), zipPath.c_str());
    const bool ok = accepted(r);
    if (!ok) {
        setText(errorText.data(), "Could not add blob: %s\n", errorOf(r));
        setText(callerText, "Unable to add blob file to Quenbar");
    }
    drop(r);
    return ok;
}

bool FN_TestRecord::finish() {
    QB_reply* done = QB_UUTDone(handle);
    QB_reply* closing = nullptr;
    bool ok = false;
    if (QB_success(done)) {
        closing = QB_UUTCommit(handle, hasFailingItem ? 0 : 1);
        if (QB_success(closing)) ok = true;
        else setText(errorText.data(), "%s", errorOf(closing));
    } else {
        setText(errorText.data(), "%s", errorOf(done));
        closing = QB_reply_isOfClass(done, 32) ? QB_UUTCommit(handle, 0) : QB_UUTCancel(handle);
    }
    drop(done);
    drop(closing);
    QB_UID_destroy(handle);
    handle = nullptr;
    clearLists();
    return ok;
}

void FN_TestRecord::cancel() {
    drop(QB_UUTCancel(handle));
    QB_UID_destroy(handle);
    handle = nullptr;
    clearLists();
}

bool FN_TestRecord::setStartTime(time_t when) {
    QB_reply* r = QB_setStartTime(handle, when);
    const bool ok = QB_success(r);
    if (!ok) setText(errorText.data(), "Could not set start time: %s\n", errorOf(r));
    drop(r);
    return ok;
}

bool FN_TestRecord::setStopTime(time_t when) {
    QB_reply* r = QB_setStopTime(handle, when);
    const bool ok = QB_success(r);
    if (!ok) setText(errorText.data(), "Could not set stop time: %s\n", errorOf(r));
    drop(r);
    return ok;
}

}  // namespace ferrin
