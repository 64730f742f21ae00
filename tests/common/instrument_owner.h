// An instrument's owner as the instrument tests play it: the unplug notice
// drops the held device and is counted with the id it came with.
#pragma once

#include <cstdint>
#include <mutex>

namespace insttest {

template <class Device>
struct DisconnectRecord {
    std::mutex m;
    Device* device = nullptr;
    int told = 0;
    uint32_t id = 0;
    void disconnected(uint32_t i) {
        std::lock_guard<std::mutex> l(m);
        device = nullptr;
        id = i;
        ++told;
    }
};

}  // namespace insttest
