// Idle inhibitor through logind over the system bus. The inhibitor lasts as long
// as we hold the descriptor logind hands out.
#include "power/pf_power.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pf::power {

Result inhibitDisplaySleep(const char* who, const char* why, int* handle) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return Result::unavailable;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss", "idle", who,
                                     why, "block");
    Result result = Result::refused;
    if (r < 0) {
        if (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
            sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) || r == -ECONNREFUSED || r == -ENOENT)
            result = Result::unavailable;
    } else {
        int fd = -1;
        // The message owns its descriptor; keep a copy of our own.
        if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) {
            const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            if (own >= 0) {
                *handle = own;
                result = Result::taken;
            }
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return result;
}

void release(int handle) {
    if (handle >= 0) close(handle);
}

}  // namespace pf::power
