// Runs a test under a German number format (decimal comma), the way a GUI
// program runs when its user's locale is de_DE: the locale is taken from the
// environment with setlocale(LC_ALL, ""), as a Qt application does at start.
#pragma once

#include <locale.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "nk_test_util.h"

namespace nktest {

// The de_DE.UTF-8 locale is compiled with localedef once per user into the
// temporary folder; parallel test processes each build a copy and the first
// rename wins, so no process sees a half-built one.
inline std::string germanLocaleFolder() {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("nktest-locale-" + std::to_string(getuid()));
    if (fs::exists(root / "de_DE.UTF-8" / "LC_NUMERIC")) return root.string();
    std::string work = (fs::temp_directory_path() / "nktest-localedef-XXXXXX").string();
    if (!mkdtemp(work.data())) return std::string();
    int status = -1;
    runCommand("localedef -i de_DE -f UTF-8 " + work + "/de_DE.UTF-8 2>&1", &status);
    std::error_code ec;
    if (status == 0 || fs::exists(fs::path(work) / "de_DE.UTF-8" / "LC_NUMERIC")) fs::rename(work, root, ec);
    fs::remove_all(work, ec);
    return fs::exists(root / "de_DE.UTF-8" / "LC_NUMERIC") ? root.string() : std::string();
}

class GermanNumbers {
public:
    GermanNumbers() {
        const std::string folder = germanLocaleFolder();
        if (folder.empty()) return;
        setenv("LOCPATH", folder.c_str(), 1);
        setenv("LC_ALL", "de_DE.UTF-8", 1);
        active_ = setlocale(LC_ALL, "") != nullptr && std::strcmp(localeconv()->decimal_point, ",") == 0;
    }
    ~GermanNumbers() {
        setlocale(LC_ALL, "C");
        unsetenv("LC_ALL");
        unsetenv("LOCPATH");
    }
    GermanNumbers(const GermanNumbers&) = delete;
    GermanNumbers& operator=(const GermanNumbers&) = delete;

    // True once numbers in this process print with a decimal comma.
    bool active() const { return active_; }

private:
    bool active_ = false;
};

}  // namespace nktest
