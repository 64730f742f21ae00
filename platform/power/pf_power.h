// Keeping the display awake: an idle inhibitor of the login manager.
#pragma once

namespace pf::power {

enum class Result { taken, unavailable, refused };

// Takes an idle inhibitor; on `taken` *handle holds it until release(handle).
// `unavailable` means there is no login manager to ask (no system bus or no
// login service); `refused` means it answered with an error.
Result inhibitDisplaySleep(const char* who, const char* why, int* handle);
void release(int handle);

}  // namespace pf::power
