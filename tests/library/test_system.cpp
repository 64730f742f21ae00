#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nk_test_util.h"
#include "nk_utils.h"

namespace fs = std::filesystem;
using nktest::readFile;
using nktest::TempDir;

TEST(System, Version) { EXPECT_STREQ(Nerrakit_GetVersion(), "Nerrakit-3.27.0"); }

TEST(AlignedBlock, TwoDimensionsOfDoubles) {
    const u16 sizes[] = {3, 4};
    u32 total = 0;
    double** p = static_cast<double**>(nkUtil_alignedMemory_alloc(kNKDT_double, 2, sizes, &total));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(total, 136u);  // 3 row pointers, 12 doubles, 16 for header and padding
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    // Rows are consecutive in one data area after the table.
    double* data = reinterpret_cast<double*>(reinterpret_cast<u8*>(p) + 3 * sizeof(void*));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(p[i], data + i * 4);
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(p[i][j], 0.0);
            p[i][j] = i * 10 + j;
        }
    }
    EXPECT_EQ(&p[2][3], data + 11);
    EXPECT_EQ(data[11], 23.0);
    nkUtil_alignedMemory_free(p);
    nkUtil_alignedMemory_free(nullptr);
}

TEST(AlignedBlock, ThreeDimensionsAndOne) {
    const u16 sizes[] = {2, 3, 5};
    u16*** p = static_cast<u16***>(nkUtil_alignedMemory_alloc(kNKDT_u16, 3, sizes, nullptr));
    ASSERT_NE(p, nullptr);
    u16* first = &p[0][0][0];
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 5; ++k) {
                EXPECT_EQ(&p[i][j][k], first + (i * 3 + j) * 5 + k);
                p[i][j][k] = static_cast<u16>(i * 100 + j * 10 + k);
            }
    EXPECT_EQ(first[29], 124);
    nkUtil_alignedMemory_free(p);

    // One dimension: the result is the data; the block is rounded up, never down.
    const u16 three[] = {3};
    u32 total = 0;
    u8* bytes = static_cast<u8*>(nkUtil_alignedMemory_alloc(kNKDT_u8, 1, three, &total));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(total, 24u);  // 3 + 16 up to a multiple of 8
    bytes[2] = 7;
    nkUtil_alignedMemory_free(bytes);
}

TEST(AlignedBlock, RefusesBadShapesAndOverflow) {
    const u16 sizes[16] = {65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535,
                           65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535};
    const u16 two[] = {2, 2};
    struct {
        int type;
        u16 dims;
        const u16* sizes;
    } const bad[] = {{10, 2, two}, {-1, 2, two}, {0, 0, two}, {0, 17, sizes}, {0, 2, nullptr},
                     {kNKDT_double, 16, sizes},  // the product wraps 64 bits
                     {kNKDT_double, 3, sizes}};  // 2 TiB: more than the size can say
    for (const auto& b : bad) {
        u32 total = 99;
        testing::internal::CaptureStderr();
        EXPECT_EQ(nkUtil_alignedMemory_alloc(b.type, b.dims, b.sizes, &total), nullptr) << b.type << " " << b.dims;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("[Error,5]"), std::string::npos);
        EXPECT_EQ(total, 99u);
    }
}

TEST(Process, ArgumentsOutputAndEnvironment) {
    TempDir dir;
    const std::string out = dir.file("out.txt");
    int status = -1;
    // Two blanks between words still make exactly two arguments.
    ASSERT_EQ(nkUtil_performProcess("/usr/bin/printf  %s|  a\t\tb", out.c_str(), &status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readFile(out), "a|b|");
    // The environment is empty, output is appended, errors land in the same file.
    ASSERT_EQ(nkUtil_performProcess("/usr/bin/env", out.c_str(), &status), 0);
    ASSERT_EQ(nkUtil_performProcess("/bin/ls /nonexistent-nk-path", out.c_str(), &status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    const std::string text = readFile(out);
    EXPECT_EQ(text.rfind("a|b|", 0), 0u);
    EXPECT_NE(text.find("nonexistent-nk-path"), std::string::npos);
    EXPECT_EQ(text.find("PATH="), std::string::npos);
    ASSERT_EQ(nkUtil_performProcess("/bin/false", nullptr, &status), 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(Process, FailuresToStart) {
    int status = 5;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(nkUtil_launchProcess(nullptr, nullptr), 0);
    EXPECT_EQ(nkUtil_launchProcess("", nullptr), 0);
    EXPECT_EQ(nkUtil_performProcess(nullptr, nullptr, &status), kNKErr_invalidParam);
    // No search of the command path: a bare name does not start.
    EXPECT_EQ(nkUtil_performProcess("true", nullptr, &status), kNKErr_processCreationFailed);
    EXPECT_EQ(nkUtil_performProcessArgs({"/nonexistent-nk-path/tool"}, &status), kNKErr_processCreationFailed);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 5);
    EXPECT_NE(out.find("posix_spawn failed: 2 "), std::string::npos) << out;
    EXPECT_NE(err.find("\"command!=NULL\""), std::string::npos);
    EXPECT_NE(err.find("\"strlen(command)>0\""), std::string::npos);
    // A child that did not start is reported under the function that was called.
    for (const std::string func : {"/nkUtil_performProcess() [", "/nkUtil_performProcessArgs() ["}) {
        bool found = false;
        for (const std::string& line : nktest::splitLines(err))
            found = found || (line.find(func) != std::string::npos && line.find("\"pid>0\"") != std::string::npos);
        EXPECT_TRUE(found) << func << "\n" << err;
    }
}

TEST(Process, KillEndsAndReapsTheChild) {
    const int pid = nkUtil_launchProcess("/bin/sleep 30", nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(nkUtil_killProcess(pid), 0);
    EXPECT_EQ(kill(pid, 0), -1);  // reaped: no such process any more
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkUtil_killProcess(0), kNKErr_invalidParam);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"pid>0\""), std::string::npos);
}

TEST(System, MemoryUseFollowsAllocation) {
    const double before = nkSys_processMemUsage();
    EXPECT_GT(before, 1.0);
    const size_t n = 96u << 20;
    char* block = static_cast<char*>(std::malloc(n));
    ASSERT_NE(block, nullptr);
    // Volatile stores to every page: an optimiser may drop a memset of a block
    // that is only freed, and then nothing would be resident.
    volatile char* page = block;
    for (size_t i = 0; i < n; i += 4096) page[i] = 1;
    const double after = nkSys_processMemUsage();
    std::free(block);
    EXPECT_GT(after - before, 80.0);
    EXPECT_LT(after - before, 200.0);
}

TEST(System, HardwareAddressIsOneOfTheHosts) {
    std::set<std::string> addresses;
    for (const auto& e : fs::directory_iterator("/sys/class/net")) {
        if (e.path().filename() == "lo") continue;
        std::string a = readFile((e.path() / "address").string());
        while (!a.empty() && (a.back() == '\n')) a.pop_back();
        if (a.size() == 17 && a != "00:00:00:00:00:00") addresses.insert(a);
    }
    const std::string mac = nkUtil_getMacAddress();
    if (addresses.empty()) {
        EXPECT_EQ(mac, "");
    } else {
        EXPECT_EQ(addresses.count(mac), 1u) << mac;
        EXPECT_EQ(nkUtil_getMacAddress(), nkUtil_getMacAddress());
    }
}

TEST(DisplaySleep, WithoutALoginManagerIsALoggedNoOp) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent-nk-bus", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkSys_enableSystemSleep(false), 0);
    EXPECT_EQ(nkSys_enableSystemSleep(false), 0);
    EXPECT_EQ(nkSys_enableSystemSleep(true), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no login manager"), std::string::npos) << err;
}

namespace {
// A stand-in login manager on a private bus: Inhibit hands out the write end of
// a pipe and keeps the read end, so the test sees when a hold is released.
class FakeLogin {
public:
    explicit FakeLogin(const std::string& address) {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0)
            return;
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogin::inhibit, 0),
            SD_BUS_VTABLE_END,
        };
        if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     vtable, this) < 0 ||
            sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0)
            return;
        ready_ = true;
        thread_ = std::thread([this] {
            while (!stop_) {
                while (sd_bus_process(bus_, nullptr) > 0) {
                }
                sd_bus_wait(bus_, 50000);
            }
        });
    }
    ~FakeLogin() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : readers_) close(fd);
        sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return ready_; }
    std::atomic<bool> refuse{false};
    std::vector<std::string> whats;

    // Holds still open after waiting up to `ms` for each: read ends whose
    // writers are not all closed. Our own copy in the sent reply may take a
    // moment to go after the caller already has its answer.
    int openHolds(int ms) {
        int n = 0;
        for (int fd : readers_) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, ms) == 0) ++n;
        }
        return n;
    }

private:
    static int inhibit(sd_bus_message* m, void* self, sd_bus_error* error) {
        auto* me = static_cast<FakeLogin*>(self);
        const char *what, *who, *why, *mode;
        if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
        me->whats.push_back(std::string(what) + "/" + who + "/" + mode);
        if (me->refuse) return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "not allowed");
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
        me->readers_.push_back(fds[0]);
        const int r = sd_bus_reply_method_return(m, "h", fds[1]);
        close(fds[1]);
        return r;
    }

    sd_bus* bus_ = nullptr;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<int> readers_;
};
}  // namespace

TEST(DisplaySleep, HoldsAreTakenAndAllReleased) {
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
    // A private bus of our own child, its address written to a file.
    TempDir dir;
    const std::string addressFile = dir.file("address");
    const int daemon = nkUtil_launchProcess("/usr/bin/dbus-daemon --session --nofork --print-address=1",
                                            addressFile.c_str());
    ASSERT_GT(daemon, 0);
    struct Reap {
        int pid;
        ~Reap() { nkUtil_killProcess(pid); }
    } reap{daemon};
    std::string address;
    for (int i = 0; i < 200 && address.empty(); ++i) {
        const std::vector<std::string> lines = nktest::splitLines(readFile(addressFile));
        if (!lines.empty()) address = lines[0];
        else usleep(10000);
    }
    ASSERT_FALSE(address.empty()) << readFile(addressFile);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    {
        FakeLogin login(address);
        ASSERT_TRUE(login.ready());
        EXPECT_EQ(nkSys_enableSystemSleep(false), 0);
        EXPECT_EQ(nkSys_enableSystemSleep(false), 0);
        EXPECT_EQ(login.openHolds(0), 2);
        EXPECT_EQ(login.whats, (std::vector<std::string>{"idle/Factory Test/block", "idle/Factory Test/block"}));
        EXPECT_EQ(nkSys_enableSystemSleep(true), 0);
        EXPECT_EQ(login.openHolds(2000), 0);
        login.refuse = true;
        EXPECT_EQ(nkSys_enableSystemSleep(false), 0xFFFF);
        EXPECT_EQ(nkSys_enableSystemSleep(true), 0);
    }
}
