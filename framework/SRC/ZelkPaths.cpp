// The tool's folders.
#include "ZelkPaths.h"

#include <filesystem>
#include <mutex>
#include <optional>

#include "nk_utils.h"

namespace zelk::roots {

namespace {

std::mutex& lock() {
    static std::mutex m;
    return m;
}

std::optional<Folders>& current() {
    static std::optional<Folders> folders;
    return folders;
}

}  // namespace

Folders defaults() {
    std::error_code ec;
    std::string temp = std::filesystem::temp_directory_path(ec).string();
    if (ec || temp.empty()) temp = "/tmp";
    return {nkUtil_GetAppResPath(), nkUtil_GetAppPath(), "/usr/local/bin", "/var", temp};
}

void set(const Folders& folders) {
    std::lock_guard<std::mutex> guard(lock());
    current() = folders;
}

Folders get() {
    std::lock_guard<std::mutex> guard(lock());
    if (!current()) current() = defaults();
    return *current();
}

}  // namespace zelk::roots

const char* ZUTIL_GetBundleName() { return nkUtil_GetBundleName(); }
const char* ZUTIL_GetBundlePath() { return nkUtil_GetBundlePath(); }

// A copy per thread: the folders may be set again while another thread holds the text.
const char* ZUTIL_GetAppPath() {
    thread_local std::string text;
    text = zelk::roots::get().application;
    return text.c_str();
}

const char* ZUTIL_GetAppResPath() {
    thread_local std::string text;
    text = zelk::roots::get().resource;
    return text.c_str();
}
