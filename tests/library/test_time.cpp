#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nk_test_util.h"
#include "nk_utils.h"

namespace {
void useZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

// Local texts of whole Unix seconds in both formats, from Python under the same TZ.
std::vector<std::string> pythonStamps(const char* tz, const std::vector<long long>& unixSeconds) {
    nktest::TempDir dir;
    std::ostringstream script;
    script << "import os, time, datetime\n"
              "os.environ['TZ'] = '"
           << tz << "'\ntime.tzset()\nfor t in [";
    for (long long t : unixSeconds) script << t << ",";
    script << "]:\n"
              "    d = datetime.datetime.fromtimestamp(t)\n"
              "    print(d.strftime('%Y-%m-%d %H:%M:%S'))\n"
              "    print(d.strftime('%Y%m%d%H%M%S'))\n";
    nktest::writeFile(dir.file("stamps.py"), script.str());
    int status = -1;
    const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + dir.file("stamps.py"), &status);
    EXPECT_EQ(status, 0) << out;
    return nktest::splitLines(out);
}

double ref(long long unixSeconds) { return static_cast<double>(unixSeconds) - kNK_unixToReference; }
}  // namespace

TEST(Timestamp, FormatsMatchPythonAcrossDaylightSaving) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    const char* tz = "America/New_York";
    useZone(tz);
    const std::vector<long long> times = {
        1709640489,  // 2024-03-05 07:08:09 local
        1710053999,  // 01:59:59 EST, the last second before the spring change
        1710054000,  // 03:00:00 EDT, the first second after it
        1730611800,  // 01:30 EDT on the autumn change
        1730615400,  // 01:30 EST an hour later
        1735707599,  // the last second of 2024 in New York
        978307200,   // the reference date itself
    };
    const std::vector<std::string> py = pythonStamps(tz, times);
    ASSERT_EQ(py.size(), times.size() * 2);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_EQ(nkUtil_formatTimestampStr(ref(times[i]), 0), py[2 * i]) << times[i];
        EXPECT_EQ(nkUtil_formatTimestampStr(ref(times[i]), 1), py[2 * i + 1]) << times[i];
        // Only the spring-side texts name one instant; the autumn hour repeats.
        if (i == 3 || i == 4) continue;
        u16 y = 0;
        u8 mo = 0, d = 0, h = 0, mi = 0, s = 0;
        EXPECT_EQ(nkUtil_getFromTimestampStr(py[2 * i].c_str(), 0, 0, &y, &mo, &d, &h, &mi, &s), ref(times[i]));
        EXPECT_EQ(nkUtil_getFromTimestampStr(py[2 * i + 1].c_str(), 0, 1, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr),
                  ref(times[i]));
        char again[32];
        std::snprintf(again, sizeof(again), "%04u-%02u-%02u %02u:%02u:%02u", y, mo, d, h, mi, s);
        EXPECT_EQ(again, py[2 * i]);
    }
    EXPECT_EQ(nkUtil_formatTimestampStr(ref(1709640489) + 0.999, 0), "2024-03-05 07:08:09");
    EXPECT_EQ(nkUtil_formatTimestampStr(-0.5, 1), "20001231185959");  // rounded down, not toward zero
    EXPECT_EQ(nkUtil_formatTimestampStr(NAN, 0), "");
}

TEST(Timestamp, FarFutureTimesStayWithinTheBuffer) {
    useZone("UTC");
    // Years just past the largest int: the year no longer fits tm_year + 1900.
    const double t = 67767991033680000.0;
    const std::string text = nkUtil_formatTimestampStr(t, 0);
    EXPECT_EQ(text.rfind("2147484148-01-01 ", 0), 0u) << text;
    char small[21];
    nkUtil_formatTimestampStr(small, sizeof(small), 1, t);
    EXPECT_EQ(std::string(small), "21474841480101000000");
    for (double far : {1e300, -1e300, 4e18})
        EXPECT_EQ(nkUtil_formatTimestampStr(far, 0), "") << far;
}

TEST(Timestamp, BufferOfTwentyGetsEmptyText) {
    useZone("UTC");
    char buf[32];
    std::memset(buf, 'Z', sizeof(buf));
    nkUtil_formatTimestampStr(buf, 20, 0, 0.0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(buf[1], 'Z');
    nkUtil_formatTimestampStr(buf, 21, 0, 0.0);
    EXPECT_STREQ(buf, "2001-01-01 00:00:00");
    std::memset(buf, 'Z', sizeof(buf));
    nkUtil_getTimestampStr(buf, 5, 1);
    EXPECT_STREQ(buf, "");
    nkUtil_formatTimestampStr(nullptr, 64, 0, 0.0);
    EXPECT_EQ(nkUtil_formatTimestampStr(0.0, 7), "20010101000000");  // other numbers: the digit form
}

TEST(Timestamp, CurrentTimeAndCalendar) {
    useZone("Europe/Berlin");
    char buf[32];
    const double before = static_cast<double>(std::time(nullptr)) - kNK_unixToReference;
    const double t = nkUtil_getTimestampStr(buf, sizeof(buf), 0);
    EXPECT_GE(t, before);
    EXPECT_LT(t, before + 5);
    EXPECT_EQ(std::string(buf), nkUtil_formatTimestampStr(t, 0));
    EXPECT_EQ(nkUtil_getTimestampStr(1).size(), 14u);

    u16 y = 0;
    u8 mo = 0, d = 0, h = 0, mi = 0, s = 0;
    ASSERT_EQ(nkUtil_getCalendar(&y, &mo, &d), 0);
    ASSERT_EQ(nkUtil_getTime(&h, nullptr, &s), 0);
    ASSERT_EQ(nkUtil_getTime(nullptr, &mi, nullptr), 0);
    const time_t now = std::time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    EXPECT_EQ(y, tm.tm_year + 1900);
    EXPECT_EQ(mo, tm.tm_mon + 1);
    EXPECT_EQ(d, tm.tm_mday);
    EXPECT_NEAR(h * 3600 + mi * 60 + s, tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, 5);
}

TEST(Timestamp, ParseRefusesWhatIsNotATimestamp) {
    useZone("UTC");
    struct {
        const char* text;
        int format;
        const char* cond;
    } const bad[] = {
        {nullptr, 0, "\"string\""},
        {"2024-02-30 00:00:00", 0, "\"date\""},  // no such day
        {"2024-13-01 00:00:00", 0, "\"date\""},
        {"2024-03-05 24:00:00", 0, "\"date\""},
        {"2024-03-05 07:08:09x", 0, "\"date\""},
        {"2024-03-05", 0, "\"date\""},
        {"20240305070809", 0, "\"date\""},  // right digits, other format
        {"2024-03-05 07:08:09", 1, "\"date\""},
        {"2024030507080", 1, "\"date\""},
    };
    for (const auto& b : bad) {
        u16 year = 7;
        testing::internal::CaptureStderr();
        EXPECT_EQ(nkUtil_getFromTimestampStr(b.text, 0, b.format, &year, nullptr, nullptr, nullptr, nullptr, nullptr),
                  -1.0)
            << (b.text ? b.text : "null");
        EXPECT_NE(testing::internal::GetCapturedStderr().find(b.cond), std::string::npos);
        EXPECT_EQ(year, 7);
    }
    EXPECT_EQ(nkUtil_getFromTimestampStr("2024-02-29 12:00:00", 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr),
              ref(1709208000));
}

TEST(Timestamp, ThreadsParseDifferentFormatsAtOnce) {
    useZone("Europe/Berlin");
    const double t0 = ref(1709640489);
    const std::string f0 = nkUtil_formatTimestampStr(t0, 0), f1 = nkUtil_formatTimestampStr(t0, 1);
    std::vector<std::thread> threads;
    std::vector<int> wrong(8, 0);
    for (int k = 0; k < 8; ++k)
        threads.emplace_back([&, k] {
            const int format = k % 2;
            const std::string& text = format ? f1 : f0;
            for (int i = 0; i < 2000; ++i)
                if (nkUtil_getFromTimestampStr(text.c_str(), 0, format, nullptr, nullptr, nullptr, nullptr, nullptr,
                                               nullptr) != t0)
                    ++wrong[k];
        });
    for (auto& t : threads) t.join();
    for (int k = 0; k < 8; ++k) EXPECT_EQ(wrong[k], 0) << k;
}

TEST(AppPath, FollowTheRunningExecutable) {
    const std::string exe = std::filesystem::canonical("/proc/self/exe").string();
    EXPECT_EQ(std::string(nkUtil_GetBundlePath()), exe);
    const std::string dir = exe.substr(0, exe.rfind('/') + 1);
    EXPECT_EQ(std::string(nkUtil_GetAppPath()), dir);
    EXPECT_EQ(std::string(nkUtil_GetAppResPath()), dir + "resources");
    EXPECT_EQ(std::string(nkUtil_GetBundleName()), exe.substr(dir.size()));
    EXPECT_EQ(nkUtil_GetAppPath(), nkUtil_GetAppPath());  // computed once
}
