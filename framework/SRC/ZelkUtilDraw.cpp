// Text and lines drawn into a graph, axis ticks and the host's address.
#include "ZelkUtilDraw.h"

#include <cmath>

#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "draw/pf_draw.h"
#include "nk_graphics.h"
#include "nk_utils.h"
#include "usb/pf_usb.h"

#include <cstdio>
#include <string>

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

SInt32 ZUTIL_GetSerialDevName(iZelk_LogManager* logManager, char* outName, size_t outCapacity, UInt32 registryEntry,
                              SInt32 /*maxChildren*/, SInt32 logLevel) {
    ZLM_PrintText(logManager, logLevel, "--ZUTIL_GetSerialDevName--");
    pf::usb::Description description;
    if (!pf::usb::describe(registryEntry, description)) {
        ZLM_PrintError(logManager, "Failed to get child iterator for object %u from IO registry", registryEntry);
        ZERR_REPORT(logManager, kZErr_cannotFindDevice);
        return kZErr_cannotFindDevice;
    }
    const std::string tty = pf::usb::ttyOf(registryEntry);
    if (tty.empty() || !outName || outCapacity == 0) {
        ZERR_REPORT(logManager, kZErr_cannotFindDevice);
        return kZErr_cannotFindDevice;
    }
    ZLM_PrintText(logManager, logLevel, "Found Serial Device Name %s for object %u", tty.c_str(), registryEntry);
    const std::string name = tty.rfind("/dev/", 0) == 0 ? tty.substr(5) : tty;
    std::snprintf(outName, outCapacity, "%s", name.c_str());
    return kZErr_OK;
}
