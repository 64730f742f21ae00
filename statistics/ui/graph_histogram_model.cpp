// The histogram's data and its drawing, apart from the widget that shows them.
#include "graph_histogram_model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ZelkMath.h"
#include "ZelkUtilDraw.h"
#include "draw/pf_draw.h"
#include "number/pf_number.h"

namespace {

bool isSet(double v) { return v != kZelk_noValue; }

// Colours of the categories when the page sets the title (the correlation page's graphs).
const float kExternalColours[25][3] = {
    {0.8f, 0.2f, 0}, {0, 0.8f, 1},    {0, 0.6f, 0},    {0, 0.4f, 0.4f}, {0, 0.4f, 1},    {0, 0, 0.8f},
    {0.4f, 0.2f, 0.6f}, {0.8f, 0, 0.6f}, {1, 0.2f, 0},  {1, 0.4f, 1},    {0, 0.8f, 0},    {0, 0.6f, 0.6f},
    {0, 0.6f, 1},    {0, 0, 1},       {0.6f, 0, 0.8f}, {1, 0, 0.6f},    {0.8f, 0.2f, 0.2f}, {0.6f, 0.4f, 0.2f},
    {0.8f, 0.6f, 0}, {0, 1, 0},       {0, 0.8f, 0.8f}, {1, 0.8f, 0},    {0.2f, 0.4f, 1}, {0.6f, 0.2f, 1},
    {1, 0, 1}};

// The largest point size from `start` down in steps of 0.1 at which the text is
// narrower than `room`; never below 1 point, where a plot with no room still ends.
double fitFont(pf::draw::Context& ctx, const char* text, double start, double room) {
    double size = start;
    ctx.setFont(pf::draw::kMonospaceFont, size);
    while (size > 1.0 && !(ZUTIL_GetTextWidth(&ctx, text) < room)) {
        size = std::max(1.0, size - 0.1);
        ctx.setFont(pf::draw::kMonospaceFont, size);
    }
    return size;
}

}  // namespace

double graph_histogram_tickStep(double dispLow, double dispHigh, int* outTickCount) {
    const double span = dispHigh - dispLow;
    double m = std::max(std::fabs(dispLow), std::fabs(dispHigh));
    int tickCount = 0;
    // Both ends 0 (or not finite): no power of ten to start from, so one unit.
    if (!(m > 0) || !std::isfinite(m) || !std::isfinite(span)) {
        if (outTickCount) *outTickCount = std::isfinite(span) && span > 0 ? static_cast<int>(std::min(span, 1e6)) : 0;
        return 1.0;
    }
    int k = 0;
    if (m > 1) {
        while (m > 1) m /= 10, ++k;
    } else {
        while (m < 1) m *= 10, --k;
    }
    double step = std::pow(10.0, k);
    static const double divisors[3] = {2, 2.5, 2};
    for (int i = 0; i < 33; ++i) {
        const double n = std::trunc(span / step);
        tickCount = n > 1e6 ? 1000000 : static_cast<int>(n);
        if (tickCount > 1) break;
        step /= divisors[i % 3];
    }
    if (outTickCount) *outTickCount = tickCount;
    return step;
}

graph_histogramModel::graph_histogramModel() = default;

bool graph_histogramModel::setData_columnCount(int columnCount, const tCsv_columnItemInfo* columns, int categoryCount,
                                               const tCsv_categoryDataInfo* categories, const bool* selection) {
    if (!columns || !categories || columnCount <= 0 || categoryCount <= 0) {
        std::printf("[ERR] invalid param\n");
        return false;
    }
    _raw_columnCount = columnCount;
    _raw_columnInfo = columns;
    _raw_categoryCount = categoryCount;
    _raw_categoryInfo = categories;
    _categorySelection = selection;
    return false;
}

void graph_histogramModel::clearData() {
    _raw_columnCount = 0;
    _raw_columnInfo = nullptr;
    _raw_categoryCount = 0;
    _raw_categoryInfo = nullptr;
    _categorySelection = nullptr;
    _categoryCount = 0;
    _rawDataCount = 0;
    _categoryData.clear();
    _allData = nullptr;
    _displayColumn = tCsv_columnItemInfo{};
    _strSummary.clear();
    _buckets.clear();
    _bucketCount = 0;
    _cpu = _cpl = _cpk = kZelk_noValue;
}

const char* graph_histogramModel::itemTitle() const {
    return _displayColumn.title ? _displayColumn.title : "";
}

void graph_histogramModel::setExternalTitle(const char* title) {
    if (!title) return;
    std::string t(title, strnlen(title, 63));
    const size_t dot = t.find('.');
    if (dot != std::string::npos) t.resize(dot);
    _externalTitle = t;
}

void graph_histogramModel::setExternalBounds_boundHigh(double high, double low, double stdev) {
    _ext_boundHigh = high;
    _ext_boundLow = low;
    _ext_stdev = stdev;
}

bool graph_histogramModel::setColumnToDisplay_columnIndex(int column, bool lastOnly, bool passOnly, int decimalPoint,
                                                          int bucketsPerStdev, int sigmaLineAt, bool displayTestLimit,
                                                          bool resetWindow) {
    const auto start = std::chrono::steady_clock::now();
    auto done = [&] {
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        pf::number::print(stdout, "data prep in %.3f sec\n", s);
        return false;
    };
    if (column < 0 || column >= _raw_columnCount || !_raw_columnInfo || !_raw_categoryInfo) return done();

    _sigmaLineAt = sigmaLineAt;
    _decimalPoint = std::clamp(decimalPoint, 0, 20);
    // A grid needs at least one bucket per standard deviation.
    _bucketsPerStdev = std::max(1, bucketsPerStdev);
    _displayTestLimit = displayTestLimit;
    _cpu = _cpl = _cpk = kZelk_noValue;

    const int n = _raw_categoryCount;
    // Slots for every value read: record 0 alone, or the other records laid one after another.
    size_t slots = 0;
    auto rowsOf = [&](const tCsv_categoryDataInfo& c) { return lastOnly ? c.data_count_final : c.data_count; };
    if (n == 1) {
        slots = rowsOf(_raw_categoryInfo[0]);
    } else {
        for (int k = 1; k < n; ++k) slots += rowsOf(_raw_categoryInfo[k]);
    }
    _categoryCount = n;
    _rawDataCount = static_cast<int>(_raw_categoryInfo[0].data_count);
    try {
        _categoryData.assign(static_cast<size_t>(n), tCsv_categoryData{});
        if (_valueSlots.size() < slots) _valueSlots.resize(slots);
        if (_failSlots.size() < slots) _failSlots.resize(slots);
    } catch (const std::bad_alloc&) {
        clearData();
        return done();
    }
    _allData = nullptr;

    _displayColumn = _raw_columnInfo[column];
    _upperLimit = _displayColumn.limit_upper;
    _lowerLimit = _displayColumn.limit_lower;

    // Each record's values and failed serials start where the previous record's end,
    // so record 0 of several categories is simply all of them together.
    size_t usedValues = 0, usedFails = 0;
    auto fill = [&](tCsv_categoryData& rec, const tCsv_categoryDataInfo& raw) {
        const size_t rows = rowsOf(raw);
        tCsv_strRow* str = lastOnly ? raw.strArr_final : raw.strArr;
        tCsv_datRow* dat = lastOnly ? raw.datArr_final : raw.datArr;
        rec.name = raw.name;
        rec.values = _valueSlots.data() + usedValues;
        rec.failSN = _failSlots.data() + usedFails;
        if (!str || !dat) return;
        for (size_t r = 0; r < rows; ++r) {
            const double v = dat[r][column];
            if (v == kZelk_noValue) continue;
            const bool fails = (isSet(_upperLimit) && v > _upperLimit) || (isSet(_lowerLimit) && v < _lowerLimit);
            if (fails) rec.failSN[rec.failCount++] = str[r][0];
            if (!fails || !passOnly) rec.values[rec.count++] = v;
        }
        usedValues += static_cast<size_t>(rec.count);
        usedFails += static_cast<size_t>(rec.failCount);
    };
    if (n == 1) {
        fill(_categoryData[0], _raw_categoryInfo[0]);
    } else {
        for (int k = 1; k < n; ++k) fill(_categoryData[size_t(k)], _raw_categoryInfo[k]);
        tCsv_categoryData& all = _categoryData[0];
        all.name = _raw_categoryInfo[0].name;
        all.values = _valueSlots.data();
        all.failSN = _failSlots.data();
        all.count = static_cast<int>(usedValues);
        all.failCount = static_cast<int>(usedFails);
    }

    for (int k = 0; k < n; ++k) {
        tCsv_categoryData& rec = _categoryData[size_t(k)];
        // With pass-only the failures are not counted in `count`; they are still measured.
        const int measured = passOnly ? rec.count + rec.failCount : rec.count;
        rec.yield = measured > 0 ? static_cast<float>(measured - rec.failCount) * 100.0f / static_cast<float>(measured)
                                 : std::nan("");
    }

    prepareColours(!_externalTitle.empty());
    for (int k = 0; k < n; ++k) {
        tCsv_categoryData& rec = _categoryData[size_t(k)];
        if (rec.count == 0) {
            // The yield stays: with pass-only a category whose units all failed was measured (0 %).
            rec.min = rec.max = rec.span = rec.avg = rec.stdev = std::nan("");
            continue;
        }
        ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_1D(rec.values, rec.count, 0, rec.count, &rec.max, &rec.min, &rec.span,
                                                    &rec.avg, &rec.stdev, nullptr, nullptr);
        if (k == 0) {
            if (isSet(_upperLimit)) _cpu = (_upperLimit - rec.avg) / (3 * rec.stdev);
            if (isSet(_lowerLimit)) _cpl = (rec.avg - _lowerLimit) / (3 * rec.stdev);
            if (isSet(_upperLimit) && isSet(_lowerLimit)) _cpk = std::min(_cpu, _cpl);
        }
    }
    _passOnly = passOnly;
    _allData = &_categoryData[0];
    writeSummary();
    drawData(resetWindow);
    return done();
}

void graph_histogramModel::prepareColours(bool externalTitle) {
    int selected = 0;
    for (int k = 0; k < _categoryCount; ++k)
        if (_categorySelection && _categorySelection[k]) ++selected;
    for (int k = 0; k < _categoryCount; ++k) {
        tCsv_categoryData& rec = _categoryData[size_t(k)];
        if (!externalTitle) {
            if (colorTable && !colorTable->empty()) {
                const tHist_rgb& c = (*colorTable)[size_t(k) % colorTable->size()];
                rec.r = static_cast<float>(c.r) / 255.0f;
                rec.g = static_cast<float>(c.g) / 255.0f;
                rec.b = static_cast<float>(c.b) / 255.0f;
            } else {
                rec.r = rec.g = rec.b = 0.5f;
            }
        } else if (selected < 2) {
            const float* c = kExternalColours[k % 25];
            rec.r = c[0], rec.g = c[1], rec.b = c[2];
        } else if (k == 0) {
            rec.r = rec.g = rec.b = 0.5f;
        } else {
            const float* c = kExternalColours[(k + 1) % 25];
            rec.r = c[0], rec.g = c[1], rec.b = c[2];
        }
    }
}

void graph_histogramModel::writeSummary() {
    std::string& s = _strSummary;
    s = pf::number::text("[%s]\n", itemTitle());
    int w = 5;
    for (const tCsv_categoryData& rec : _categoryData)
        w = std::max(w, static_cast<int>(std::strlen(rec.name ? rec.name : "")));
    s += pf::number::text("%*s\t%*s\t%*s\t%*s\t%*s\t%*s\t%*s\t%*s\t\n", w, "", 8, "cnt", 8, "min", 8, "avg", 8, "max", 8,
                          "span", 8, "stdev", 8, "yield");
    for (const tCsv_categoryData& rec : _categoryData)
        s += pf::number::text("%*s\t%*d\t%*.3f\t%*.3f\t%*.3f\t%*.3f\t%*.3f\t%*.2f%%\t\n", w, rec.name ? rec.name : "", 8,
                              rec.count, 8, rec.min, 8, rec.avg, 8, rec.max, 8, rec.span, 8, rec.stdev, 8, rec.yield);
    if (_categoryData[0].failCount == 0) return;
    s += "\n- Failed SN -\n";
    const size_t first = _categoryData.size() == 1 ? 0 : 1;
    for (size_t k = first; k < _categoryData.size(); ++k) {
        const tCsv_categoryData& rec = _categoryData[k];
        if (rec.failCount == 0) continue;
        const int measured = _passOnly ? rec.count + rec.failCount : rec.count;
        const float rate = static_cast<float>(rec.failCount) * 100.0f / static_cast<float>(measured);
        s += pf::number::text("\n%s - failure rate = %6.2f%% [%dF/%d]", rec.name ? rec.name : "", static_cast<double>(rate),
                              rec.failCount, measured);
        for (int i = 0; i < rec.failCount; ++i) {
            if (i % 4 == 0) s += "\n\t";
            s += rec.failSN[i] ? rec.failSN[i] : "";
            s += ", ";
        }
        s += "\n";
    }
}

bool graph_histogramModel::drawData(bool resetWindow) {
    _buckets.clear();
    _bucketCount = 0;
    if (!_allData) return false;
    const tCsv_categoryData& all = *_allData;
    // Without an average there is nothing to centre a grid on.
    if (!std::isfinite(all.avg) && !(isSet(_ext_boundLow) && isSet(_ext_boundHigh))) return false;
    const double avg = std::isfinite(all.avg) ? all.avg : (_ext_boundLow + _ext_boundHigh) / 2;

    double s = isSet(_ext_stdev) ? _ext_stdev : all.stdev;
    if (s == 0 || !std::isfinite(s)) s = 1;
    double w = s / _bucketsPerStdev;
    if (w < 1e-6) {
        w = 1.0 / _bucketsPerStdev;
        s = 1;
    }

    double low;
    if (isSet(_ext_boundLow)) {
        low = _ext_boundLow;
    } else {
        double target = avg - 6 * s;
        if (_displayTestLimit) {
            const double m = (!isSet(_displayColumn.ers_lower) || _displayColumn.limit_lower <= _displayColumn.ers_lower)
                                 ? _displayColumn.limit_lower
                                 : _displayColumn.ers_lower;
            if (isSet(m) && m < target) target = m - s;
        }
        if (all.min < target) target = all.min - s;
        // As many whole widths below avg - w/2 as reach the target, counted, not stepped.
        low = avg - w / 2;
        if (target < low) {
            const double steps = std::ceil((low - target) / w);
            low -= steps * w;
            if (target < low) low -= w;
        }
    }
    double high;
    if (isSet(_ext_boundHigh)) {
        high = _ext_boundHigh;
    } else {
        double target = avg + 6 * s;
        if (_displayTestLimit) {
            const double m = (!isSet(_displayColumn.ers_upper) || _displayColumn.ers_upper <= _displayColumn.limit_upper)
                                 ? _displayColumn.limit_upper
                                 : _displayColumn.ers_upper;
            if (isSet(m) && target < m) target = m + s;
        }
        if (target < all.max) target = all.max + s;
        high = avg + w / 2;
        if (high < target) {
            const double steps = std::ceil((target - high) / w);
            high += steps * w;
            if (high < target) high += w;
        }
    }
    if (!std::isfinite(low) || !std::isfinite(high) || !(high > low)) return false;

    double count = std::trunc((high - low) / w);
    if (!(count <= kMaxBuckets)) {
        // A far limit or outlier: the same range in fewer, wider buckets.
        w = (high - low) / kMaxBuckets;
        count = kMaxBuckets;
    }
    _boundLow = low;
    _boundHigh = high;
    _bucketWidth = w;
    try {
        _buckets.assign(size_t(_categoryCount) * static_cast<size_t>(count), 0u);
    } catch (const std::bad_alloc&) {
        _buckets.clear();
        return false;
    }
    _bucketCount = static_cast<unsigned>(count);
    for (int k = 0; k < _categoryCount; ++k) {
        const tCsv_categoryData& rec = _categoryData[size_t(k)];
        uint32_t* row = _buckets.data() + size_t(k) * _bucketCount;
        for (int i = 0; i < rec.count; ++i) {
            const double j = std::trunc((rec.values[i] - low) / w);
            if (j >= 0 && j < _bucketCount) ++row[static_cast<size_t>(j)];
        }
    }
    if (resetWindow || !isSet(_dispBoundLow) || !isSet(_dispBoundHigh)) {
        _dispBoundLow = low;
        _dispBoundHigh = high;
    }
    return true;
}

double graph_histogramModel::valueAtX(double x) const {
    if (!(_xs > 0)) return kZelk_noValue;
    return (x - _plotX0) / _xs + _dispBoundLow;
}

bool graph_histogramModel::scrollWheel(double dy, double dx) {
    if (!_allData || !zoomEnabled || _bucketCount == 0) return false;
    dy = std::round(dy);
    dx = std::round(dx);
    const double s = _allData->stdev;
    const double lowIn = _dispBoundLow, highIn = _dispBoundHigh;
    const double span = highIn - lowIn;
    double low = lowIn, high = highIn;
    if (std::fabs(dy) >= std::fabs(dx)) {
        const double newSpan = span + dy * s / 10;
        if (newSpan >= s && span > 0) {
            double at = _dispMousePtX;
            if (!isSet(at) || !std::isfinite(at)) at = (lowIn + highIn) / 2;
            low += (at - lowIn) * (span - newSpan) / span;
            high -= (highIn - at) * (span - newSpan) / span;
        }
        low = std::max(low, _boundLow);
        high = std::min(high, _boundHigh);
    } else {
        const double shift = dx * static_cast<double>(0.01f) * s;
        if (low - shift < _boundLow) {
            low = _boundLow;
            high = _boundLow + span;
        } else if (high - shift > _boundHigh) {
            low = _boundHigh - span;
            high = _boundHigh;
        } else {
            low -= shift;
            high -= shift;
        }
    }
    if (low == lowIn && high == highIn) return false;
    _dispBoundLow = low;
    _dispBoundHigh = high;
    return true;
}

void graph_histogramModel::render(pf::draw::Context& ctx, const tHist_viewState& view) {
    const double W = ctx.width(), H = ctx.height();
    ctx.setFillColor(1, 1, 1, 1);
    ctx.fillRect(0, 0, W, H);
    if (view.dragEntered) {
        static const double dash[2] = {24, 4};
        ctx.saveState();
        ctx.setDash(dash, 2, 0);
        ctx.setLineWidth(4);
        ctx.setFillColor(1, 0.8, 0, 0.05);
        ctx.fillRoundedRect(4, 4, W - 8, H - 8, 10);
        ctx.setStrokeColor(1, 0.8, 0, 0.3);
        ctx.strokeRoundedRect(4, 4, W - 8, H - 8, 10);
        ctx.restoreState();
    }
    if (!_allData || _bucketCount == 0) {
        ctx.setFont(pf::draw::kMonospaceFont, 25);
        ctx.setFillColor(1, 0, 0, 0.75);
        ZUTIL_DrawText(&ctx, "DROP CSV FILE", 0, W / 2, (H - 25) / 2);
        return;
    }
    const tCsv_categoryData& all = *_allData;
    const int p = _decimalPoint;

    // 1, 2: largest counts, labels, legend and bar alphas.
    ctx.setFont(pf::draw::kMonospaceFont, 10);
    uint32_t maxCount = 0;
    double a = 0;
    int n = 0;
    for (int k = 0; k < _categoryCount; ++k) {
        if (!_categorySelection || !_categorySelection[k]) continue;
        ++n;
        const uint32_t* row = bucketRow(k);
        maxCount = std::max(maxCount, *std::max_element(row, row + _bucketCount));
        const tCsv_categoryData& rec = _categoryData[size_t(k)];
        const std::string label = pf::number::text("%s:%d", rec.name ? rec.name : "", rec.count);
        a = std::max(a, ZUTIL_GetTextWidth(&ctx, label.c_str()));
    }
    const bool legend = n >= 2 || !(_categorySelection && _categorySelection[0]);
    const bool external = !_externalTitle.empty();
    // 3, 4: margins and the plot rectangle.
    const double d = external ? 25 : (all.name && *all.name ? 50 : 0);
    const double L = _displayTestLimit ? 50 : 40;
    const double x0 = 65, y0 = L + 5;
    const double pw = legend ? std::floor(W) - (std::floor(a) + 25 + 60 + 5) : std::floor(W) - 115;
    const double ph = std::floor(H) - (d + 10 + L + 5);
    _plotX0 = x0, _plotY0 = y0, _plotW = pw, _plotH = ph;

    // 5: the title.
    std::string title;
    double start;
    if (external) {
        title = _externalTitle;
        start = 10;
    } else {
        title = itemTitle();
        const char* unit = _displayColumn.unit_text;
        if (unit && *unit && strcasecmp(unit, "NA") != 0) title += pf::number::text(" [%s]", unit);
        start = 25;
    }
    const double titleSize = fitFont(ctx, title.c_str(), start, pw);
    ctx.setFillColor(0, 0, 0, 1);
    ZUTIL_DrawText(&ctx, title.c_str(), 0, x0 + pw / 2, (start - titleSize) / 2 + H - 5 - start);

    // 6: the statistics line.
    std::string line;
    if (detailedStatStringEnabled) {
        line = pf::number::text("sample=%d, min=%.*f, avg=%.*f, max=%.*f, span=%.*f, stdev=%.*f, 4sigma=%.*f", all.count,
                                p, all.min, p, all.avg, p, all.max, p, all.span, p, all.stdev, p, 4 * all.stdev);
        if (isSet(_cpk))
            line += pf::number::text(", Cpk=%.3f", _cpk);
        else if (isSet(_cpu))
            line += pf::number::text(", Cpu=%.3f", _cpu);
        else if (isSet(_cpl))
            line += pf::number::text(", Cpl=%.3f", _cpl);
    } else {
        line = pf::number::text("[%.*f : %.*f : %.*f] span=%.*f, stdev=%.*f", p, all.min, p, all.avg, p, all.max, p,
                                all.span, p, all.stdev);
    }
    const double f = fitFont(ctx, line.c_str(), 10, pw);
    ctx.setFillColor(0, 0, 0, 0.8);
    ZUTIL_DrawText(&ctx, line.c_str(), 0, x0 + pw / 2, H - d);

    // 7
    const double dispLow = _dispBoundLow, dispHigh = _dispBoundHigh;
    if (ph < 0 || pw <= 0 || !(dispHigh > dispLow)) {
        _xs = 0;
        return;
    }
    // 8: axes and scales.
    ctx.setLineCap(pf::draw::LineCap::round);
    ctx.setStrokeColor(0, 0, 0, 0.5);
    ctx.setLineWidth(0.5);
    ctx.setDash(nullptr, 0, 0);
    ZUTIL_DrawLine(&ctx, x0 - 5, y0 + ph, x0 - 5, y0);
    ZUTIL_DrawLine(&ctx, x0, y0 - 5, x0 + pw, y0 - 5);
    const double ys = ph / (maxCount > 0 ? maxCount : 1);
    const double xs = pw / (dispHigh - dispLow);
    _xs = xs;
    _ys = ys;

    // 9: count axis.
    ZUTIL_DrawLine(&ctx, x0 - 7, y0, x0 - 3, y0);
    ZUTIL_DrawLine(&ctx, x0 - 7, y0 + ph, x0 - 3, y0 + ph);
    ctx.setFillColor(0, 0, 0, 0.5);
    ctx.setFont(pf::draw::kMonospaceFont, f);
    ZUTIL_DrawText(&ctx, "0", 0, x0 - 11, y0 - f / 2 + 1);
    ZUTIL_DrawText(&ctx, pf::number::text("%u", maxCount).c_str(), 2, x0 - 11, y0 + ph - f / 2 + 1);

    // 10: value axis.
    const double span = dispHigh - dispLow;
    if (span != _dspSpan_back) _tickStep = graph_histogram_tickStep(dispLow, dispHigh, &_tickCnt);
    const double step = _tickStep;
    double first = std::trunc(dispLow / step) * step;
    if (dispLow > 0) first += step;
    ctx.setFont(pf::draw::kMonospaceFont, 9);
    for (int i = 0; i <= _tickCnt; ++i) {
        const double v = first + i * step;
        if (v > dispHigh) break;
        const double x = (v - dispLow) * xs + x0;
        ZUTIL_DrawLine(&ctx, x, y0 - 7, x, y0 - 3);
        ZUTIL_DrawText(&ctx, pf::number::text("%.*f", p, v).c_str(), 0, x, y0 - 18);
    }
    _dspSpan_back = span;

    // 11: bars.
    const double low = _boundLow, w = _bucketWidth;
    double j0d = std::max(0.0, std::ceil((dispLow - low) / w));
    while (j0d > 0 && low + (j0d - 1) * w >= dispLow) j0d -= 1;
    while (low + j0d * w < dispLow) j0d += 1;
    const double lastD = std::trunc((dispHigh - low) / w);
    for (int k = 0; k < _categoryCount; ++k) {
        if (!_categorySelection || !_categorySelection[k]) continue;
        const tCsv_categoryData& rec = _categoryData[size_t(k)];
        const double alpha = k == 0 ? (n >= 2 ? 0.1 : 0.2) : 0.3;
        ctx.setFillColor(rec.r, rec.g, rec.b, alpha);
        const uint32_t* row = bucketRow(k);
        for (double j = j0d; j < lastD && j < _bucketCount; j += 1) {
            const uint32_t c = row[static_cast<size_t>(j)];
            if (c == 0) continue;
            ctx.fillRect((low + j * w - dispLow) * xs + x0 + 0.5, y0, w * xs - 1, c * ys);
        }
    }

    // 12: the normal curve; a stdev of 0 has none.
    if (view.normalCurve && all.stdev > 0 && std::isfinite(all.stdev)) {
        static const double dash[2] = {4, 2};
        const double g0 = ZMATH_GaussianFunction(all.avg, all.stdev, all.avg);
        std::vector<double> xy;
        const double points = std::trunc((dispHigh - low) / w);
        for (double i = 0; i <= points && i * w * xs <= pw; i += 1) {
            xy.push_back(i * w * xs + x0);
            xy.push_back(ZMATH_GaussianFunction(all.avg, all.stdev, dispLow + i * w) / g0 * maxCount * 0.5 * ys + y0);
        }
        ctx.saveState();
        ctx.setDash(dash, 2, 0);
        ctx.setStrokeColor(all.r, all.g, all.b, 0.3);
        ctx.setLineWidth(0.75);
        ctx.strokePolyline(xy.data(), xy.size() / 2);
        ctx.restoreState();
    }

    // 13, 14: average and sigma lines with their labels.
    auto valueLine = [&](double v, const std::string& label) {
        const double x = (v - dispLow) * xs + x0;
        ctx.setStrokeColor(all.r, all.g, all.b, 0.5);
        ctx.setLineWidth(0.5);
        ZUTIL_DrawLine(&ctx, x, y0 - 7, x, y0 + ph);
        ctx.setFillColor(all.r, all.g, all.b, 0.8);
        ctx.setFont(pf::draw::kMonospaceFont, 9);
        ZUTIL_DrawText(&ctx, label.c_str(), 0, x, y0 - 29.25);
    };
    if (dispLow < all.avg && all.avg < dispHigh) {
        ctx.setDash(nullptr, 0, 0);
        valueLine(all.avg, pf::number::text("%.*f[avg]", p, all.avg));
    }
    if (!external && all.stdev != 0 && _sigmaLineAt != 0) {
        static const double dash[2] = {2, 2};
        const int sn = _sigmaLineAt;
        for (int side = -1; side <= 1; side += 2) {
            const double v = all.avg + side * sn * all.stdev;
            if (!(dispLow < v && v < dispHigh)) continue;
            ctx.setDash(dash, 2, 0);
            valueLine(v, pf::number::text(side < 0 ? "%.*f[-%ds]" : "%.*f[+%ds]", p, v, sn));
        }
        ctx.setDash(nullptr, 0, 0);
    }

    // 15: limit lines.
    if (_displayTestLimit) {
        static const double dash[2] = {8, 4};
        struct Limit {
            double v;
            bool upper;
            double r, g, b;
        };
        const Limit limits[4] = {{_displayColumn.limit_upper, true, 0, 0, 1},
                                 {_displayColumn.limit_lower, false, 0, 0, 1},
                                 {_displayColumn.ers_upper, true, 1, 0, 0},
                                 {_displayColumn.ers_lower, false, 1, 0, 0}};
        ctx.setFont(pf::draw::kMonospaceFont, 9);
        for (const Limit& l : limits) {
            if (!isSet(l.v) || !(dispLow <= l.v && l.v <= dispHigh)) continue;
            const double x = (l.v - dispLow) * xs + x0;
            ctx.setDash(dash, 2, 0);
            ctx.setStrokeColor(l.r, l.g, l.b, 0.75);
            ctx.setLineWidth(0.2);
            ZUTIL_DrawLine(&ctx, x, y0 - 7, x, y0 + ph);
            ctx.setFillColor(l.r, l.g, l.b, 0.8);
            if (l.upper)
                ZUTIL_DrawText(&ctx, pf::number::text("<< %.*f", p, l.v).c_str(), 1, x, y0 - 41.4);
            else
                ZUTIL_DrawText(&ctx, pf::number::text("%.*f >>", p, l.v).c_str(), 2, x, y0 - 41.4);
        }
        ctx.setDash(nullptr, 0, 0);
    }

    // 16: legend.
    if (legend) {
        ctx.setFont(pf::draw::kMonospaceFont, 10);
        const double top = n * 10 + (ph - 12 * n) / 2 + y0;
        int i = 0;
        for (int k = 0; k < _categoryCount; ++k) {
            if (!_categorySelection || !_categorySelection[k]) continue;
            const tCsv_categoryData& rec = _categoryData[size_t(k)];
            ctx.setFillColor(rec.r, rec.g, rec.b, 0.5);
            ctx.fillRect(x0 + pw + 5, top - 12 * i, 7, 7);
            ctx.setFillColor(0, 0, 0, 0.5);
            ZUTIL_DrawText(&ctx, pf::number::text("%s:%d", rec.name ? rec.name : "", rec.count).c_str(), 1,
                           x0 + pw + 17, top - 12 * i);
            ++i;
        }
    }

    // 17: the mouse readout.
    _dispMousePtX = (view.mouseX - x0) / xs + dispLow;
    const double mx = view.mouseX, my = view.mouseY;
    if (!view.dragEntered && mx >= x0 && mx <= x0 + pw && my >= y0 && my <= y0 + ph) {
        ctx.setFillColor(0, 0, 0, 0.5);
        ctx.setFont(pf::draw::kMonospaceFont, 9);
        const double sigmas = (_dispMousePtX - all.avg) / all.stdev;
        ZUTIL_DrawText(&ctx, pf::number::text("%.*f [%.*f]", p, _dispMousePtX, p, sigmas).c_str(), 0, mx, 4.5);
        const std::string countText = pf::number::text("%d", static_cast<int>(std::lround((my - y0) / ys)));
        ZUTIL_DrawText(&ctx, countText.c_str(), 1, 4, my - 3.6);
        ctx.setStrokeColor(0, 0, 0, 0.16);
        ctx.setLineWidth(0.25);
        ZUTIL_DrawLine(&ctx, ZUTIL_GetTextWidth(&ctx, countText.c_str()) + 9, my, x0 + pw, my);
        ZUTIL_DrawLine(&ctx, mx, y0 + ph, mx, 18);
    }
}
