// The "atst" payload check and the evaluation behind it, without files or symbols,
// as the station runs it and as the offline re-evaluation of a stored packet does.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "CVLRA_cg_transmittance.h"
#include "nk_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte picks the unit's colour and type; an exact-size copy of the
    // rest catches any read past the payload.
    const int colour = data[0] & 1, type = (data[0] >> 1) % 3;
    std::vector<u8> payload(data + 1, data + size);
    std::vector<t_vlraAtstPoint> points;

    // Offline: up to 255 points, every spectrum taken as it is, the final curves only.
    const u16 offlineCode = nkVlra_parseAtst(payload.data(), payload.size(), points, t_vlraAtstRun::offline);
    if (offlineCode != 0) {
        if (offlineCode != kNKErr_invalidDataSize || !points.empty()) std::abort();
    } else {
        if (points.empty() || points[0].wl.empty()) std::abort();
        t_vlraAtstEval ev;
        // Only a spectrum with a reading that is not finite or with wavelengths out of order is refused.
        const u16 rc = nkVlra_evaluateAtst(nullptr, points, type, colour, ev, t_vlraAtstRun::offline);
        if (rc != 0 && rc != kNKErr_invalidTestCondition) std::abort();
        if (rc == 0) {
            if (ev.finalT.size() != points.size() || !ev.mean.empty()) std::abort();
            for (const std::vector<float>& t : ev.finalT)
                if (t.size() != 351) std::abort();
        }
    }

    const u16 code = nkVlra_parseAtst(payload.data(), payload.size(), points);
    // The station takes a subset of what the offline run takes, but for empty spectra.
    if (code == 0 && offlineCode != 0 && !points[0].wl.empty()) std::abort();
    if (code != 0) {
        if (code != kNKErr_invalidDataSize || !points.empty()) std::abort();
        return 0;
    }
    if (points.empty() || points.size() > 5) std::abort();
    size_t total = 1;
    for (const t_vlraAtstPoint& p : points) {
        if (p.index == 0 || p.wl.size() != points[0].wl.size()) std::abort();
        total += 17 + 16 * p.wl.size();
    }
    if (total != payload.size()) std::abort();
    t_vlraAtstEval ev;
    const u16 rc = nkVlra_evaluateAtst(nullptr, points, type, colour, ev);
    if (rc == 0) {
        if (ev.grid.size() != 351 || ev.finalT.size() != points.size() || ev.mean.size() != 351) std::abort();
        if ((type == 2) != (ev.weighted.size() == 351)) std::abort();
    }
    return 0;
}
