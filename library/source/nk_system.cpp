// System utilities: version, N-dimensional blocks, child processes, the
// display-sleep hold, memory use and the hardware address.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/pf_host.h"
#include "nk_spec.h"
#include "nk_utils.h"
#include "power/pf_power.h"

const char* Nerrakit_GetVersion() {
    static const std::string version = [] {
        char text[32];
        std::snprintf(text, sizeof(text), "Nerrakit-%d.%d.%d", 3, 27, 0);
        return std::string(text);
    }();
    return version.c_str();
}

// ---------------------------------------------------------------- N-dimensional blocks

void* nkUtil_alignedMemory_alloc(int dataType, u16 dimensions, const u16* sizes, u32* totalBytes) {
    if (dataType < 0 || dataType > 9 || dimensions == 0 || dimensions > 16 || !sizes) {
        NK_REPORT_FN(kNKErr_invalidParam, "");
        return nullptr;
    }
    // Sizes come from callers' data: every product and sum is checked.
    u64 tableBytes = 0, rows = 1;
    bool overflow = false;
    for (u16 k = 0; k + 1 < dimensions; ++k) {
        overflow |= __builtin_mul_overflow(rows, static_cast<u64>(sizes[k]), &rows);
        overflow |= __builtin_add_overflow(tableBytes, rows * 8, &tableBytes) || rows > UINT64_MAX / 8;
    }
    u64 elements = rows, dataBytes = 0, block = 0;
    overflow |= __builtin_mul_overflow(elements, static_cast<u64>(sizes[dimensions - 1]), &elements);
    overflow |= __builtin_mul_overflow(elements, static_cast<u64>(k_nkDataSize[dataType]), &dataBytes);
    overflow |= __builtin_add_overflow(tableBytes, dataBytes, &block);
    overflow |= __builtin_add_overflow(block, u64{16 + 7}, &block);
    block &= ~u64{7};  // rounded up, so the padding and header always fit
    if (overflow || block > UINT32_MAX) {
        NK_REPORT_FN(kNKErr_invalidParam, "");
        return nullptr;
    }
    if (totalBytes) *totalBytes = static_cast<u32>(block);
    u8* raw = static_cast<u8*>(std::calloc(static_cast<size_t>(block), 1));
    if (!raw) {
        NK_REPORT_FN(kNKErr_memoryAllocationFailed, "");
        return nullptr;
    }
    const size_t pad = (8 - reinterpret_cast<uintptr_t>(raw) % 8) % 8;
    const i64 negPad = -static_cast<i64>(pad);
    std::memcpy(raw + pad, &negPad, sizeof(negPad));
    u8* base = raw + pad + 8;

    // Level k's table holds one pointer per row of level k+1; the last level's
    // pointers go into the data, one row of sizes[last] elements apart.
    void** table = reinterpret_cast<void**>(base);
    u64 count = 1;
    u8* next = base;
    for (u16 k = 0; k + 1 < dimensions; ++k) {
        count *= sizes[k];
        next += count * 8;
    }
    u8* data = next;
    count = 1;
    for (u16 k = 0; k + 1 < dimensions; ++k) {
        count *= sizes[k];
        void** childTable = table + count;
        const bool last = k + 2 == dimensions;
        const u64 stride = last ? static_cast<u64>(sizes[k + 1]) * k_nkDataSize[dataType] : sizes[k + 1] * 8ull;
        u8* target = last ? data : reinterpret_cast<u8*>(childTable);
        for (u64 i = 0; i < count; ++i) table[i] = target + i * stride;
        table = childTable;
    }
    return base;
}

void nkUtil_alignedMemory_free(void* p) {
    if (!p) return;
    u8* base = static_cast<u8*>(p);
    i64 negPad = 0;
    std::memcpy(&negPad, base - 8, sizeof(negPad));
    std::free(base - 8 + negPad);
}

// ---------------------------------------------------------------- child processes

int nkUtil_launchProcess(const char* command, const char* outputPath) {
    if (!command) {
        NK_REPORT_FN(kNKErr_invalidParam, "command!=NULL");
        return 0;
    }
    if (!(strlen(command) > 0)) {
        NK_REPORT_FN(kNKErr_invalidParam, "strlen(command)>0");
        return 0;
    }
    std::vector<std::string> words;
    for (const char* p = command; *p;) {
        while (*p == ' ' || *p == '\t') ++p;
        const char* start = p;
        while (*p && *p != ' ' && *p != '\t') ++p;
        if (p > start) words.emplace_back(start, p);
    }
    if (words.empty()) {
        NK_REPORT_FN(kNKErr_invalidParam, "strlen(command)>0");
        return 0;
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    char* envp[] = {nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputPath && *outputPath) {
        posix_spawn_file_actions_addopen(&actions, 0, outputPath, O_WRONLY | O_APPEND | O_CREAT, 0644);
        posix_spawn_file_actions_adddup2(&actions, 0, 1);
        posix_spawn_file_actions_adddup2(&actions, 0, 2);
        posix_spawn_file_actions_addclose(&actions, 0);
    }
    pid_t pid = 0;
    const int psx_err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    if (psx_err != 0) {
        std::printf("posix_spawn failed: %d %s\n", psx_err, std::strerror(psx_err));
        NK_REPORT_FN(kNKErr_processCreationFailed, "psx_err==0");
        return 0;
    }
    return pid;
}

namespace {
// The child's wait status once it has ended; -1 when it could not be waited for.
int waitForChild(pid_t pid) {
    int st = -1;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return st;
}

// Waits for a started child and hands back its wait status; one that did not
// start is reported under the caller's name.
u16 awaitChild(const char* func, pid_t pid, int* status) {
    if (!(pid > 0)) {
        nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, kNKErr_processCreationFailed, "pid>0");
        return kNKErr_processCreationFailed;
    }
    const int st = waitForChild(pid);
    if (status) *status = st;
    return kNKErr_OK;
}
}  // namespace

u16 nkUtil_performProcess(const char* command, const char* outputPath, int* status) {
    if (!command) {
        NK_REPORT_FN(kNKErr_invalidParam, "command!=NULL");
        return kNKErr_invalidParam;
    }
    return awaitChild(__func__, nkUtil_launchProcess(command, outputPath), status);
}

u16 nkUtil_performProcessArgs(const std::vector<std::string>& argv, int* status) {
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
        NK_REPORT_FN(kNKErr_invalidParam, "!argv.empty()&&argv[0][0]=='/'");
        return kNKErr_invalidParam;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    char* noEnv[] = {nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), noEnv) != 0) pid = 0;
    return awaitChild(__func__, pid, status);
}

u16 nkUtil_killProcess(int pid) {
    if (!(pid > 0)) {
        NK_REPORT_FN(kNKErr_invalidParam, "pid>0");
        return kNKErr_invalidParam;
    }
    kill(pid, SIGKILL);
    const int status = waitForChild(pid);
    if (!(WIFEXITED(status) || WIFSIGNALED(status))) {
        NK_REPORT_FN(0xFFFF, "WIFEXITED(status)||WIFSIGNALED(status)");
        return 0xFFFF;
    }
    return kNKErr_OK;
}

// ---------------------------------------------------------------- display sleep

namespace {
std::mutex g_sleepLock;
std::vector<int> g_sleepHolds;
bool g_noManagerLogged = false;
}  // namespace

u16 nkSys_enableSystemSleep(bool enable) {
    std::lock_guard<std::mutex> lock(g_sleepLock);
    if (enable) {
        for (int h : g_sleepHolds) pf::power::release(h);
        g_sleepHolds.clear();
        return kNKErr_OK;
    }
    int handle = -1;
    switch (pf::power::inhibitDisplaySleep("Factory Test", "Factory Test", &handle)) {
        case pf::power::Result::taken:
            g_sleepHolds.push_back(handle);
            return kNKErr_OK;
        case pf::power::Result::unavailable:
            // Hosts without a login manager have no idle blanking to hold off.
            if (!g_noManagerLogged) {
                std::fprintf(stderr, "nkSys_enableSystemSleep: no login manager, display sleep left as it is\n");
                g_noManagerLogged = true;
            }
            return kNKErr_OK;
        case pf::power::Result::refused:
            break;
    }
    return 0xFFFF;
}

// ---------------------------------------------------------------- memory and address

double nkSys_processMemUsage() {
    const int64_t bytes = pf::host::residentBytes();
    if (bytes < 0) return 0.0;
    return static_cast<float>(bytes) / 1048576.0f;
}

const char* nkUtil_getMacAddress() {
    static char address[32] = "";
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    if (!address[0]) {
        char found[32];
        // Kept once found; until then every call looks again.
        if (pf::host::primaryHardwareAddress(found, sizeof(found))) std::memcpy(address, found, sizeof(address));
    }
    return address;
}
