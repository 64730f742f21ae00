// Starts the test build's Lumbrel with posix_spawn, its output in files, and
// stops it with a signal.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "nk_test_util.h"

extern char** environ;

namespace nktest {

class LumbrelProcess {
public:
    // `dir` receives stdout.txt, stderr.txt and the per-user settings (XDG_CONFIG_HOME).
    // `env` entries ("NAME=value", or "NAME=" to drop NAME) replace the inherited ones.
    LumbrelProcess(const std::string& dir, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {})
        : dir_(dir) {
        std::vector<std::string> argStore;
        argStore.push_back(NK_LUMBREL_PATH);
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);

        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) {
            const std::string kv(*e);
            if (kv.rfind("XDG_CONFIG_HOME=", 0) == 0 || kv.rfind("ASAN_OPTIONS=", 0) == 0 ||
                kv.rfind("UBSAN_OPTIONS=", 0) == 0 || kv.rfind("LSAN_OPTIONS=", 0) == 0)
                continue;
            bool replaced = false;
            for (const std::string& e : env) replaced |= kv.rfind(e.substr(0, e.find('=') + 1), 0) == 0;
            if (!replaced) envStore.push_back(kv);
        }
        for (const std::string& e : env)
            if (e.back() != '=') envStore.push_back(e);
        envStore.push_back("XDG_CONFIG_HOME=" + dir + "/config");
        envStore.push_back("ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0");
        envStore.push_back("UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1");
        envStore.push_back(std::string("LSAN_OPTIONS=suppressions=") + NK_LSAN_SUPPRESSIONS);
        std::vector<char*> envp;
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, (dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~LumbrelProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    std::string out() const { return readFile(dir_ + "/stdout.txt"); }
    // How much the program has printed so far; it grows while the program works.
    std::uintmax_t outputBytes() const {
        std::error_code ec;
        const std::uintmax_t n = std::filesystem::file_size(dir_ + "/stdout.txt", ec);
        return ec ? 0 : n;
    }
    std::string err() const { return readFile(dir_ + "/stderr.txt"); }

    // Waits until stdout shows `text` or the program ends.
    bool waitForOutput(const std::string& text, int timeoutMs = 60000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (out().find(text) != std::string::npos) return true;
            if (poll()) return out().find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The exit status, or -1 when it did not end in time (or ended by a signal).
    int wait(int timeoutMs = 60000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!poll()) {
            if (std::chrono::steady_clock::now() > end) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }
    int stop(int sig = SIGTERM) {
        if (pid_ > 0 && !exited_) kill(pid_, sig);
        return wait();
    }

    // No sanitizer spoke.
    bool clean() const {
        const std::string e = err();
        return e.find("Sanitizer") == std::string::npos && e.find("runtime error") == std::string::npos;
    }

private:
    bool poll() {
        if (exited_) return true;
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
        exited_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return true;
    }

    std::string dir_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

}  // namespace nktest
