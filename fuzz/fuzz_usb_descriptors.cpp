// Any bytes as a configuration descriptor: through the descriptor walk, and
// through the interface-table build of a device on the simulated bus.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "nk_usb.h"
#include "runloop/pf_runloop.h"
#include "usb/pf_usb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool simulated = (pf::usb::useSimulated(true), true);
    (void)simulated;

    // A copy of exactly `size` bytes, so any read past the end is caught.
    std::vector<uint8_t> cfg(data, data + size);
    const uint8_t* cur = nullptr;
    const uint8_t* next = nullptr;
    unsigned sum = 0;
    while (CNK_usbDev::findNextInterfaceDescriptor(cfg.data(), cfg.size(), cur, &next) == 0) {
        sum += next[2] + next[5] + next[8];
        cur = next;
    }

    pf::usb::sim::DeviceSpec spec;
    spec.desc.readable = true;
    spec.desc.name = "fuzz";
    spec.desc.bus = 1;
    spec.desc.ports = {1};
    spec.desc.vendorId = 0x1234;
    spec.desc.productId = 0x5678;
    spec.configs.push_back(cfg);
    spec.control = [](const pf::usb::Setup& s, uint8_t*) { return static_cast<int>(s.wLength); };
    const pf::usb::Handle h = pf::usb::sim::plug(spec);
    if (CNK_usbDev* dev = CNK_usbDev::create(h)) {
        uint8_t number = 0;
        dev->getInterfaceNumber(3, &number);
        uint8_t b = 0;
        for (int i = 0; i <= dev->interfaceCount(); ++i) dev->setInterfaceRequest(static_cast<uint8_t>(i), 1, 0, &b, 1);
        delete dev;
    }
    pf::usb::sim::unplug(h);
    pf::runloop::runFor(0);
    return static_cast<int>(sum & 0);
}
