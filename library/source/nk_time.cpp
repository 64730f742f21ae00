// Application paths and timestamps.
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "nk_utils.h"

// ---------------------------------------------------------------- application paths

namespace {
struct AppPaths {
    char name[64] = "";
    char bundle[2048] = "";
    char app[2048] = "";
    char res[2048] = "";

    AppPaths() {
        char exe[2048];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        if (n <= 0) return;
        exe[n] = '\0';
        copyAscii(bundle, sizeof(bundle), exe, std::strlen(exe));
        const char* slash = std::strrchr(bundle, '/');
        const size_t dirLen = slash ? static_cast<size_t>(slash - bundle) + 1 : 0;
        copyAscii(app, sizeof(app), bundle, dirLen);
        const char* base = slash ? slash + 1 : bundle;
        copyAscii(name, sizeof(name), base, std::strlen(base));
        std::snprintf(res, sizeof(res), "%.2036sresources", app);
    }

    // Only 7-bit text leaves these buffers; other bytes become '?'.
    static void copyAscii(char* out, size_t capacity, const char* in, size_t length) {
        const size_t n = length < capacity - 1 ? length : capacity - 1;
        for (size_t i = 0; i < n; ++i) out[i] = (static_cast<unsigned char>(in[i]) < 0x80) ? in[i] : '?';
        out[n] = '\0';
    }
};

const AppPaths& appPaths() {
    static const AppPaths paths;
    return paths;
}
}  // namespace

const char* nkUtil_GetBundleName() { return appPaths().name; }
const char* nkUtil_GetBundlePath() { return appPaths().bundle; }
const char* nkUtil_GetAppPath() { return appPaths().app; }
const char* nkUtil_GetAppResPath() { return appPaths().res; }

// ---------------------------------------------------------------- timestamps

namespace {
constexpr int kMinTimestampBuffer = 21;

bool toLocal(double time, struct tm* out) {
    if (!std::isfinite(time)) return false;
    const double unixTime = std::floor(time + kNK_unixToReference);
    if (unixTime < static_cast<double>(LLONG_MIN / 2) || unixTime > static_cast<double>(LLONG_MAX / 2)) return false;
    const time_t t = static_cast<time_t>(unixTime);
    return localtime_r(&t, out) != nullptr;
}

double now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count() - kNK_unixToReference;
}

// Every format but 0 is the digits-only form. The year is widened first: a time
// far in the future has a tm_year that fits an int while tm_year + 1900 does not.
void formatLocal(char* buffer, size_t size, int format, const struct tm& tm) {
    const long long year = static_cast<long long>(tm.tm_year) + 1900;
    if (format == 0)
        std::snprintf(buffer, size, "%04lld-%02d-%02d %02d:%02d:%02d", year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                      tm.tm_min, tm.tm_sec);
    else
        std::snprintf(buffer, size, "%04lld%02d%02d%02d%02d%02d", year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                      tm.tm_min, tm.tm_sec);
}

bool digits(const char* p, int n, int* value) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    *value = v;
    return true;
}

int daysIn(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The whole text must be one timestamp of the format with a real date and time.
bool parseText(const char* text, int format, struct tm* tm) {
    int y, mo, d, h, mi, s;
    bool ok;
    if (format == 0) {
        ok = std::strlen(text) == 19 && digits(text, 4, &y) && text[4] == '-' && digits(text + 5, 2, &mo) &&
             text[7] == '-' && digits(text + 8, 2, &d) && text[10] == ' ' && digits(text + 11, 2, &h) &&
             text[13] == ':' && digits(text + 14, 2, &mi) && text[16] == ':' && digits(text + 17, 2, &s);
    } else {
        ok = std::strlen(text) == 14 && digits(text, 4, &y) && digits(text + 4, 2, &mo) && digits(text + 6, 2, &d) &&
             digits(text + 8, 2, &h) && digits(text + 10, 2, &mi) && digits(text + 12, 2, &s);
    }
    if (!ok || mo < 1 || mo > 12 || d < 1 || d > daysIn(y, mo) || h > 23 || mi > 59 || s > 59) return false;
    *tm = {};
    tm->tm_year = y - 1900;
    tm->tm_mon = mo - 1;
    tm->tm_mday = d;
    tm->tm_hour = h;
    tm->tm_min = mi;
    tm->tm_sec = s;
    tm->tm_isdst = -1;
    return true;
}
}  // namespace

void nkUtil_formatTimestampStr(char* buffer, int bufferSize, int format, double time) {
    if (!buffer || bufferSize < 1) return;
    buffer[0] = '\0';  // a short buffer or a time outside the calendar gives ""
    struct tm tm;
    if (bufferSize < kMinTimestampBuffer || !toLocal(time, &tm)) return;
    formatLocal(buffer, static_cast<size_t>(bufferSize), format, tm);
}

std::string nkUtil_formatTimestampStr(double time, int format) {
    char buf[64];
    nkUtil_formatTimestampStr(buf, sizeof(buf), format, time);
    return buf;
}

double nkUtil_getTimestampStr(char* buffer, int bufferSize, int format) {
    const double t = now();
    nkUtil_formatTimestampStr(buffer, bufferSize, format, t);
    return t;
}

std::string nkUtil_getTimestampStr(int format) { return nkUtil_formatTimestampStr(now(), format); }

u16 nkUtil_getCalendar(u16* year, u8* month, u8* day) {
    struct tm tm;
    if (!toLocal(now(), &tm)) return kNKErr_actionFailed;
    if (year) *year = static_cast<u16>(tm.tm_year + 1900);
    if (month) *month = static_cast<u8>(tm.tm_mon + 1);
    if (day) *day = static_cast<u8>(tm.tm_mday);
    return kNKErr_OK;
}

u16 nkUtil_getTime(u8* hour, u8* minute, u8* second) {
    struct tm tm;
    if (!toLocal(now(), &tm)) return kNKErr_actionFailed;
    if (hour) *hour = static_cast<u8>(tm.tm_hour);
    if (minute) *minute = static_cast<u8>(tm.tm_min);
    if (second) *second = static_cast<u8>(tm.tm_sec);
    return kNKErr_OK;
}

double nkUtil_getFromTimestampStr(const char* text, int /*length*/, int format, u16* year, u8* month, u8* day,
                                  u8* hour, u8* minute, u8* second) {
    if (!text) {
        NK_REPORT_FN(kNKErr_invalidPointer, "string");
        return -1.0;
    }
    // Each call parses on its own: no pattern is shared between threads.
    struct tm tm;
    if (!parseText(text, format, &tm)) {
        NK_REPORT_FN(kNKErr_invalidPointer, "date");
        return -1.0;
    }
    const time_t t = mktime(&tm);
    struct tm local;
    if (t == static_cast<time_t>(-1) && tm.tm_year + 1900 != 1969) {
        NK_REPORT_FN(kNKErr_invalidPointer, "date");
        return -1.0;
    }
    if (!localtime_r(&t, &local)) {
        NK_REPORT_FN(kNKErr_invalidPointer, "components");
        return -1.0;
    }
    if (year) *year = static_cast<u16>(local.tm_year + 1900);
    if (month) *month = static_cast<u8>(local.tm_mon + 1);
    if (day) *day = static_cast<u8>(local.tm_mday);
    if (hour) *hour = static_cast<u8>(local.tm_hour);
    if (minute) *minute = static_cast<u8>(local.tm_min);
    if (second) *second = static_cast<u8>(local.tm_sec);
    return static_cast<double>(t) - kNK_unixToReference;
}
