// Text and lines drawn into a graph, axis ticks and the host's address.
#include "ZelkUtilDraw.h"

#include <cmath>

#include "draw/pf_draw.h"
#include "nk_graphics.h"
#include "nk_utils.h"

double ZUTIL_GetTextWidth(pf::draw::Context* context, const char* text) {
    if (!context || !text) return 0.0;
    return nkGrph_getTextWidth(context, text);
}

void ZUTIL_DrawText(pf::draw::Context* context, const char* text, SInt32 alignment, double x, double y) {
    if (!context) return;
    nkGrph_drawText(context, text, alignment, x, y);
}

void ZUTIL_DrawLine(pf::draw::Context* context, double x1, double y1, double x2, double y2) {
    if (!context) return;
    nkGrph_drawLine(context, x1, y1, x2, y2);
}

void ZUTIL_DrawBox(pf::draw::Context* context, double x1, double y1, double x2, double y2) {
    ZUTIL_DrawLine(context, x1, y1, x2, y2);
}

double ZUTIL_calculateTickStep(SInt32 maxTicks, double* outFirstTick, double low, double high) {
    const double m = std::fmax(std::fabs(low), std::fabs(high));
    const double span = (low * high < 0) ? m : high - low;
    // No power of ten to start from, or nothing to divide: one unit from 0.
    if (!std::isfinite(low) || !std::isfinite(high) || m == 0 || span == 0 || !std::isfinite(span)) {
        if (outFirstTick) *outFirstTick = 0.0;
        return 1.0;
    }
    int p = 0;
    for (double c = m; c > 10; c /= 10) ++p;
    for (double c = m; c < 1; c *= 10) --p;
    double s = std::pow(10.0, p);

    static const double divisors[3] = {2, 2.5, 2};
    for (int i = 0; i < 90 && !(std::trunc(span / s) > maxTicks); ++i) s /= divisors[i % 3];

    if (outFirstTick) {
        // Computed, not counted: stepping from 0 to a far-off low takes forever.
        double first = std::ceil(low / s) * s;
        if (low >= 0 && !(first > low)) first += s;
        *outFirstTick = first;
    }
    const double step = (high - low) / s > 6 ? 2 * s : s;
    return static_cast<float>(step);
}

const char* ZUTIL_GetMacAddress() { return nkUtil_getMacAddress(); }
