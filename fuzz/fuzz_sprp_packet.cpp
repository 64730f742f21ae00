// The light sensor's sweep packet parser on arbitrary bytes: it either fills a record
// whose series agree with each other or leaves it cleared, and never reads past the packet.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "nk_velora_wend.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<u8> pkt(data, data + size);  // exact size: any read beyond it is caught
    t_velora_data_SPRP rec;
    nkVlra_parse_SPRP(rec, pkt.data(), pkt.size());
    if (rec.chRaw.empty()) {
        if (!rec.stepValue.empty() || !rec.eSn.empty()) std::abort();
        return 0;
    }
    const size_t steps = rec.stepValue.size();
    const size_t channels = rec.devId == kVLRA_devId_4ch ? 4 : 6;
    if (rec.chRaw.size() != channels || rec.chNorm.size() != channels) std::abort();
    if (rec.stepIntegral.size() != steps || rec.pointX.size() != steps || rec.pointZ.size() != steps) std::abort();
    for (size_t c = 0; c < channels; ++c)
        if (rec.chRaw[c].size() != steps || rec.chNorm[c].size() != steps) std::abort();
    if (steps > (size - 41) / 42) std::abort();
    return 0;
}
