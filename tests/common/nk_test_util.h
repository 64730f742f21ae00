// Small helpers shared by the test areas.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace nktest {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "nktest-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Runs a command and returns its standard output; `status` gets the exit status.
inline std::string runCommand(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
    const int rc = pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// Runs f with writes beyond `bytes` failing (EFBIG instead of a signal), then
// restores the limit. Tests run one per process, but restore anyway.
template <typename F>
auto withFileSizeLimit(rlim_t bytes, F f) {
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
    auto result = f();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    return result;
}

// Waits up to `ms` until thread `tid` of this process sleeps in poll, ppoll, select or
// pselect: a test that must act while another thread is blocked in a wait can see it,
// where a fixed sleep only guesses (and loses on a loaded machine).
inline bool waitUntilThreadPolls(pid_t tid, int ms) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    for (int waited = 0; waited < ms; ++waited) {
        std::ifstream in(path);
        long nr = -1;
        if (in >> nr && (nr == 7 || nr == 23 || nr == 270 || nr == 271)) return true;
        usleep(1000);
    }
    return false;
}

// Debian's Python with numpy, scipy and Pillow; tests that need it skip when absent.
inline bool havePython() { return std::filesystem::exists(NK_PYTHON); }

// `n` bytes of a fixed pseudo-random sequence: the same seed gives the same bytes.
inline std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

}  // namespace nktest
