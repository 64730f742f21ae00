// The map pictures of the library's image helpers, on the platform's drawing context.
#include "nk_picture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "draw/pf_draw.h"
#include "nk_error.h"
#include "nk_graphics.h"
#include "nk_image.h"
#include "nk_math.h"

namespace {

#define PICTURE_FAIL(lm, func, code, cond)                                                 \
    do {                                                                                   \
        nkDebug_printError((lm), __FILE__, nullptr, (func), __LINE__, (u16)(code), (cond)); \
        return (code);                                                                     \
    } while (0)

bool given(double v) { return v != kNK_noValue; }

// The checks both exports share; 0 when the map can be drawn.
u16 checkMap(CNK_logManager* lm, const char* func, const char* fileName, const float* map, int width, int height) {
    if (!fileName || !*fileName || !map) PICTURE_FAIL(lm, func, kNKErr_invalidPointer, "fileName && map");
    if (width < 1 || height < 1) PICTURE_FAIL(lm, func, kNKErr_invalidParam, "width>0 && height>0");
    return kNKErr_OK;
}

}  // namespace

u16 nkImg_exportHopsImage(CNK_logManager* lm, const char* fileName, const float* map, int width, int height,
                          double sigmaFactor, double lowerLimit, double upperLimit) {
    const char* func = __func__;
    if (const u16 rtn = checkMap(lm, func, fileName, map, width, height)) return rtn;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    std::vector<float> values;
    std::vector<uint8_t> grey;
    try {
        values.assign(map, map + w * h);
        grey.resize(w * h);
    } catch (const std::exception&) {
        PICTURE_FAIL(lm, func, kNKErr_memoryAllocationFailed, "working copy");
    }

    float max = 0, min = 0, span = 0;
    double avg = 0, stdev = 0;
    nkMath_FindMaxMinSpanAvgStdevRmsMedFloat_2D(values.data(), width, 0, width, 0, height, &max, &min, &span, &avg,
                                                &stdev, nullptr, nullptr);
    double low = min, high = max;
    if (given(sigmaFactor)) {
        // The values near the mean set the scale; when the band keeps none (a factor
        // below 0, no spread to measure), the whole map's range stays.
        std::vector<float> kept;
        kept.reserve(values.size());
        for (float v : values)
            if (std::fabs(v - avg) <= sigmaFactor * stdev) kept.push_back(v);
        if (!kept.empty()) {
            float keptMax = 0, keptMin = 0;
            nkMath_FindMaxMinSpanAvgStdevRmsMedFloat_1D(kept.data(), static_cast<int>(kept.size()), 0,
                                                        static_cast<int>(kept.size()), &keptMax, &keptMin, nullptr,
                                                        nullptr, nullptr, nullptr, nullptr);
            low = keptMin;
            high = keptMax;
        }
    }
    if (given(lowerLimit)) low = lowerLimit;
    if (given(upperLimit)) high = upperLimit;
    const double range = high - low;
    for (size_t i = 0; i < values.size(); ++i) {
        double shade = 1 - (values[i] - low) / range;
        // A flat map or a value without a place on the scale is drawn white, never
        // as whatever a NaN would convert to.
        if (range == 0 || !std::isfinite(shade)) shade = 1;
        grey[i] = static_cast<uint8_t>(std::lround(std::clamp(shade, 0.0, 1.0) * 255));
    }

    u16 rtn = kNKErr_OK;
    [&] {
        pf::draw::Context ctx(width, height);
        if (!ctx.isValid()) {
            rtn = kNKErr_memoryAllocationFailed;
            return;
        }
        ctx.drawGreyImage(grey.data(), width, height, 0, 0, width, height);
        if (!ctx.writeTo(fileName, "tiff")) rtn = kNKErr_fileWriteFailed;
    }();
    if (rtn != kNKErr_OK) PICTURE_FAIL(lm, func, rtn, rtn == kNKErr_fileWriteFailed ? "written" : "bitmap");
    return kNKErr_OK;
}

u16 nkImg_exportBadPixelMap(CNK_logManager* lm, const char* fileName, const float* map, const char*, int width,
                            int height, const char* note) {
    const char* func = __func__;
    if (const u16 rtn = checkMap(lm, func, fileName, map, width, height)) return rtn;
    const i64 areaW = 4 * static_cast<i64>(width), areaH = 4 * static_cast<i64>(height);
    if (areaW > INT32_MAX || areaH + 40 > INT32_MAX)
        PICTURE_FAIL(lm, func, kNKErr_memoryAllocationFailed, "picture size");
    const double W = static_cast<double>(areaW), H = static_cast<double>(areaH);

    u16 rtn = kNKErr_OK;
    [&] {
        pf::draw::Context ctx(static_cast<int>(areaW), static_cast<int>(areaH + 40));
        if (!ctx.isValid()) {
            rtn = kNKErr_memoryAllocationFailed;
            return;
        }
        ctx.setFillColor(1, 1, 1, 1);
        ctx.fillRect(0, 0, W, H + 40);

        ctx.setStrokeColor(0.5, 0.5, 0.5, 1);
        ctx.setLineWidth(0.5);
        ctx.setLineCap(pf::draw::LineCap::round);
        nkGrph_drawLine(&ctx, -1, 39, W, 39);
        nkGrph_drawLine(&ctx, W, 39, W, 40 + H);
        nkGrph_drawLine(&ctx, W, 40 + H, -1, 40 + H);
        nkGrph_drawLine(&ctx, -1, 40 + H, -1, 39);

        for (int i = 0; i < height; ++i)
            for (int j = 0; j < width; ++j) {
                const float u = map[static_cast<size_t>(i) * static_cast<size_t>(width) + static_cast<size_t>(j)];
                if (!(u < -2 || u > 2)) continue;
                const double a = 1 - std::fabs(u / 10.0);
                if (u < -10) ctx.setFillColor(0, 0, 1, 0.75);
                else if (u < 0) ctx.setFillColor(a, a, 1, 0.75);
                else if (u < 10) ctx.setFillColor(1, a, a, 0.75);
                else ctx.setFillColor(1, 0, 0, 0.75);
                ctx.fillRect(4.0 * j, 40 + 4.0 * (height - 1 - i), 4, 4);
            }
        nkImg_drawTextBlock(ctx, note, 0, 40, 10);
        if (!ctx.writeTo(fileName, "jp2")) rtn = kNKErr_fileWriteFailed;
    }();
    if (rtn != kNKErr_OK) PICTURE_FAIL(lm, func, rtn, rtn == kNKErr_fileWriteFailed ? "written" : "bitmap");
    return kNKErr_OK;
}
