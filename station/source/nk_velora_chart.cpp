// Line charts of spectra, drawn off-screen and written as JPEG 2000 files.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <exception>
#include <vector>

#include "draw/pf_draw.h"
#include "nk_graphics.h"
#include "nk_velora_log.h"
#include "nk_velora_utils.h"

using nk_velora::logLine;

namespace {

// Where the axes cross, in pixels from the bottom-left corner.
constexpr double kOriginX = 105.0, kOriginY = 56.0;

struct Rgb {
    double r, g, b;
};

// Infinite or NaN coordinates come from a zero range; such strokes are skipped
// so the rest of the chart is still drawn.
bool finite(std::initializer_list<double> values) {
    for (double v : values)
        if (!std::isfinite(v)) return false;
    return true;
}

void line(pf::draw::Context& ctx, double x1, double y1, double x2, double y2) {
    if (finite({x1, y1, x2, y2})) nkGrph_drawLine(&ctx, x1, y1, x2, y2);
}

void text(pf::draw::Context& ctx, const char* s, int mode, double x, double y) {
    if (finite({x, y})) nkGrph_drawText(&ctx, s, mode, x, y);
}

// What differs between the two charts: the curves and their colours.
struct Curve {
    const float* y;
    Rgb colour;
    bool thinAfter;  // colour-channel charts set width 0.5 after each curve
};

struct Chart {
    std::vector<Curve> curves;
    int points = 0;
    const float* x = nullptr;
    double xMin = NAN, xMax = NAN, yMax = 0;
    const char *xLabel = "", *yLabel = "", *title = "";
};

// 256-byte text buffer of the labels: each is cut to 255 characters.
void label(char (&buffer)[256], const char* s) { std::snprintf(buffer, sizeof(buffer), "%s", s ? s : ""); }

// Draws the chart and writes it; the codes of the chart functions.
u16 drawAndWriteHere(CNK_logManager* lm, const char* fileName, const Chart& chart, int width, int height) {
    try {
        pf::draw::Context ctx(width, height);
        if (!ctx.isValid()) {
            NK_VLRA_REPORT(lm, kNKErr_objectCreationFailed, "ctx!=NULL");
            return kNKErr_objectCreationFailed;
        }
        ctx.saveState();
        const double plotW = (width - 105) * 0.95, plotH = (height - 56) * 0.9;
        ctx.setFillColor(1, 1, 1, 1);
        ctx.fillRect(0, 0, width, height);
        ctx.setLineCap(pf::draw::LineCap::round);
        ctx.setLineWidth(1);

        // Axes, overshooting the origin by 10.
        ctx.setLineWidth(2);
        ctx.setStrokeColor(1, 0, 0, 2.0);
        line(ctx, kOriginX - 10, kOriginY, kOriginX + plotW, kOriginY);
        line(ctx, kOriginX, kOriginY - 10, kOriginX, kOriginY + plotH);

        char buffer[256];
        ctx.setFillColor(0, 0, 0, 1);
        ctx.setFont(pf::draw::kMonospaceFont, 14);
        ctx.setFont(pf::draw::kMonospaceFont, 16.8);
        text(ctx, chart.title, 0, kOriginX + 0.48 * plotW, kOriginY + plotH + 15.4);
        label(buffer, chart.xLabel);
        text(ctx, buffer, 0, kOriginX + 0.52 * plotW, 14);
        label(buffer, chart.yLabel);
        text(ctx, buffer, 3, 32.2, kOriginY + 0.3 * plotH - 7);

        ctx.setFont(pf::draw::kMonospaceFont, 14);
        const double xScale = 0.99 * plotW / (chart.xMax - chart.xMin), yScale = 0.95 * plotH / chart.yMax;
        auto px = [&](double x) { return kOriginX + (x - chart.xMin) * xScale; };
        auto py = [&](double y) { return kOriginY + y * yScale; };

        ctx.setLineWidth(1);
        std::vector<double> xy;
        xy.reserve(2 * static_cast<size_t>(std::max(chart.points, 0)));
        for (const Curve& c : chart.curves) {
            ctx.setLineWidth(1);
            ctx.setStrokeColor(c.colour.r, c.colour.g, c.colour.b, 2.0);
            // One stroke per run of finite points, in the lines' own unsmoothed way; a
            // point with no finite neighbour draws nothing, as a lone segment end did not.
            xy.clear();
            auto flush = [&] {
                if (xy.size() >= 4) {
                    ctx.setAntialias(false);
                    ctx.strokePolyline(xy.data(), xy.size() / 2);
                    ctx.setAntialias(true);
                }
                xy.clear();
            };
            for (int i = 0; i < chart.points; ++i) {
                const double x = px(chart.x[i]), y = py(c.y[i]);
                if (!finite({x, y})) {
                    flush();
                    continue;
                }
                xy.push_back(x);
                xy.push_back(y);
            }
            flush();
            if (c.thinAfter) ctx.setLineWidth(0.5);
        }

        // Horizontal grid with the y tick labels; each grid line is stroked twice.
        ctx.setLineWidth(0.5);
        ctx.setStrokeColor(1, 0, 0, 0.2);
        for (int k = 0; k <= 5; ++k) {
            const double v = k * (chart.yMax / 5);
            line(ctx, kOriginX, py(v), kOriginX + plotW, py(v));
            std::snprintf(buffer, sizeof(buffer), "%3.2f", v);
            text(ctx, buffer, 1, 49, py(v) - 4.2);
            line(ctx, kOriginX, py(v), kOriginX + plotW, py(v));
        }
        // Vertical grid every 50 x units from xMin, whatever the range.
        for (int j = 0; j < 15; ++j) {
            const double x = chart.xMin + 50.0 * j;
            std::snprintf(buffer, sizeof(buffer), "%2.0f", x);
            text(ctx, buffer, 0, px(x), 35);
            ctx.setLineWidth(0.5);
            ctx.setStrokeColor(1, 0, 0, 0.2);
            line(ctx, px(x), kOriginY, px(x), kOriginY + plotH);
        }
        ctx.restoreState();

        if (!ctx.writeTo(fileName, "jp2")) {
            NK_VLRA_REPORT(lm, kNKErr_fileWriteFailed, "writeTo(path)");
            return kNKErr_fileWriteFailed;
        }
    } catch (const std::exception& e) {
        logLine(lm, kVL1, "[Exception] %s", e.what());
        NK_VLRA_REPORT(lm, kNKErr_imageCreationException, "");
        return kNKErr_imageCreationException;
    }
    return kNKErr_OK;
}

// Sixteen cells chart at once: each picture is painted on one thread from start to end.
u16 drawAndWrite(CNK_logManager* lm, const char* fileName, const Chart& chart, int width, int height) {
    u16 rc = kNKErr_OK;
    pf::draw::paintSerially([&] { rc = drawAndWriteHere(lm, fileName, chart, width, height); });
    return rc;
}

// Largest valid value from the first one on; NaN with none.
double validMax(const float* v, int n) {
    if (!v || n < 1) return NAN;
    return nkMath_max<float>(v, static_cast<u64>(n), nullptr);
}

}  // namespace

u16 nkFom_cg_saveTimage(CNK_logManager* lm, const char* fileName, const float* seriesA, int countA,
                        const float* seriesB, int countB, const float* xValues, int countX, const char* xLabel,
                        const char* yLabel, const char* title, int width, int height, t_nkVbsLvl /*verbosity*/) {
    if (!fileName) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "fileName!=NULL");
        return kNKErr_invalidParam;
    }
    if (countA < 1) return kNKErr_OK;
    if (!seriesA || !xValues) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "seriesA!=NULL && xValues!=NULL");
        return kNKErr_invalidParam;
    }
    Chart chart;
    chart.points = countA;
    chart.x = xValues;
    chart.xMin = nkMath_min<float>(xValues, countX > 0 ? static_cast<u64>(countX) : 0, nullptr);
    chart.xMax = nkMath_max<float>(xValues, countX > 0 ? static_cast<u64>(countX) : 0, nullptr);
    // A missing second series stands as 0, so the y range never ends below 0 then.
    const double maxB = seriesB && countB > 0 ? validMax(seriesB, countB) : 0.0;
    chart.yMax = std::fmax(validMax(seriesA, countA), maxB);
    chart.curves.push_back({seriesA, {0, 0, 1}, false});
    if (seriesB) chart.curves.push_back({seriesB, {1, 0, 0}, false});
    chart.xLabel = xLabel;
    chart.yLabel = yLabel;
    chart.title = title ? title : "";
    return drawAndWrite(lm, fileName, chart, width, height);
}

u16 nkFom_colorChannel_saveImage(CNK_logManager* lm, const std::string& fileName, const std::vector<float>& wl,
                                 const std::vector<std::vector<float>>& chData, const std::string& xLabel,
                                 const std::string& yLabel, const std::string& title, int width, int height,
                                 t_nkVbsLvl /*verbosity*/) {
    if (fileName.size() < 2) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "filename.size()>1");
        return kNKErr_invalidParam;
    }
    if (wl.size() < 2) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "wl.size()>1");
        return kNKErr_invalidParam;
    }
    if (wl.size() > static_cast<size_t>(INT32_MAX)) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "wl.size()<=INT_MAX");
        return kNKErr_invalidParam;
    }
    for (const auto& ch : chData)
        if (ch.size() != wl.size()) {
            NK_VLRA_REPORT(lm, kNKErr_invalidParam, "wl.size()==chData[i].size()");
            NK_VLRA_REPORT(lm, kNKErr_invalidParam, "");
            return kNKErr_invalidParam;
        }
    static const Rgb kColours[] = {{0.75, 0.75, 0.75}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    Chart chart;
    chart.points = static_cast<int>(wl.size());
    chart.x = wl.data();
    chart.xMin = nkMath_min<float>(wl.data(), wl.size(), nullptr);
    chart.xMax = nkMath_max<float>(wl.data(), wl.size(), nullptr);
    // Only the maxima of the channel figures shape the chart.
    double yMax = NAN;
    for (size_t i = 0; i < chData.size(); ++i) {
        const t_nkMathStat s = nkMath_stat<float>(chData[i].data(), chData[i].size());
        yMax = std::fmax(yMax, s.max);
        chart.curves.push_back({chData[i].data(), i < 4 ? kColours[i] : Rgb{0, 0, 0}, true});
    }
    chart.yMax = yMax;
    chart.xLabel = xLabel.c_str();
    chart.yLabel = yLabel.c_str();
    chart.title = title.c_str();
    return drawAndWrite(lm, fileName.c_str(), chart, width, height);
}
