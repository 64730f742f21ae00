// "[FERRIN]" diagnostics: the system log by default, a replaceable sink for tests.
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "fn_internal.h"

namespace ferrin {

namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> s;
    return s;
}

}  // namespace

void setLogSink(std::function<void(const std::string&)> s) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink() = std::move(s);
}

void logLine(const char* format, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof(line), format, ap);
    va_end(ap);
    std::function<void(const std::string&)> s;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        s = sink();
    }
    if (s) s(line);
    else syslog(LOG_NOTICE, "%s", line);
}

void setText(char* text, const char* format, ...) {
    if (!text) return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, kTextSize, format, ap);
    va_end(ap);
}

}  // namespace ferrin
