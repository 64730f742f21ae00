#include "ZelkAlert.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& sinkLock() {
    static std::mutex m;
    return m;
}

ZelkAlertSink& sinkSlot() {
    static ZelkAlertSink sink;
    return sink;
}

}  // namespace

void ZelkAlert_setSink(ZelkAlertSink sink) {
    std::lock_guard<std::mutex> lock(sinkLock());
    sinkSlot() = std::move(sink);
}

void ZelkAlert_show(const char* title, const char* message) {
    ZelkAlertSink sink;
    {
        std::lock_guard<std::mutex> lock(sinkLock());
        sink = sinkSlot();
    }
    if (!title) title = "";
    if (!message) message = "";
    // Called outside the lock: a modal sink may run a loop that shows another alert.
    if (sink)
        sink(title, message, "OK");
    else
        std::fprintf(stderr, "%s\n%s\n", title, message);
}
