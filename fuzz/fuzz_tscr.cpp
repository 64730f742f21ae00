// The "tscr" payload parser and its folder-name checks on arbitrary payloads.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cvlra_tscr.h"
#include "nk_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that any read past the received bytes is caught.
    std::vector<u8> payload(data, data + size);
    t_vlraTscrRequest r;
    const u16 code = nkVlra_parseTscr(payload.data(), payload.size(), &r);
    if (code == kNKErr_invalidSpiResponse) {
        if (size >= tscr::kMinPayload) std::abort();
        return 0;
    }
    if (code != 0 && code != kNKErr_invalidParam) std::abort();
    if (r.cellName.size() > 32 || r.serialNumber.size() > 64 || r.testMode.size() > 7) std::abort();
    if (r.hasGeometry != (size >= tscr::kFullPayload)) std::abort();
    if (code == 0) {
        // What passed must be one folder name each.
        for (const std::string* s : {&r.cellName, &r.serialNumber}) {
            if (s->find('/') != std::string::npos || s->find("..") != std::string::npos || *s == ".") std::abort();
            for (unsigned char c : *s)
                if (c < 0x20 || c > 0x7E) std::abort();
        }
        if (r.serialNumber.empty() || r.serialNumber.size() > 63 || r.cellName.size() > 31) std::abort();
    }
    const std::string shown = nkVlra_printable(r.serialNumber);
    for (unsigned char c : shown)
        if (c < 0x20 || c > 0x7E) std::abort();
    return 0;
}
