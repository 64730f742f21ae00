// The trend graph's widget: drawing, drops on the stage zones, the mouse and keys.
#include "graph_trend.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ZelkUtil.h"
#include "ZelkUtilDraw.h"
#include "draw/pf_draw.h"
#include "graph_base.h"
#include "number/pf_number.h"

std::mutex graph_trend::_gMtx;

const float graph_trend::kPalette[kPaletteSize][3] = {
    {0.8f, 0.2f, 0}, {0, 0.8f, 1},    {0, 0.6f, 0},    {0, 0.4f, 0.4f}, {0, 0.4f, 1},    {0, 0, 0.8f},    {0.4f, 0.2f, 0.6f},
    {0.8f, 0, 0.6f}, {1, 0.2f, 0},    {1, 0.4f, 1},    {0, 0.8f, 0},    {0, 0.6f, 0.6f}, {0, 0.6f, 1},    {0, 0, 1},
    {0.6f, 0, 0.8f}, {1, 0, 0.6f},    {0.8f, 0.2f, 0.2f}, {0.6f, 0.4f, 0.2f}, {0.8f, 0.6f, 0}, {0, 1, 0}, {0, 0.8f, 0.8f},
    {1, 0.8f, 0},    {0.2f, 0.4f, 1}, {0.6f, 0.2f, 1}, {1, 0, 1},
};

namespace {

constexpr size_t kNameCapacity = 64;  // bytes, with the terminating zero

bool offersFiles(const QMimeData* data) {
    if (!data || !data->hasUrls()) return false;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) return true;
    return false;
}

bool present(double v) { return v != kZelk_noValue && std::isfinite(v); }

// The largest size from `start` down by 0.1 at which the text is narrower than
// `room`; never below 1 point, so a view with no room still ends.
double fitFont(pf::draw::Context& ctx, const char* text, double start, double room) {
    double size = start;
    ctx.setFont(pf::draw::kMonospaceFont, size);
    while (size > 1.0 && !(ZUTIL_GetTextWidth(&ctx, text) < room)) {
        size -= 0.1;
        ctx.setFont(pf::draw::kMonospaceFont, size);
    }
    return size;
}

// The text cut with ".." until it is narrower than `room` in the current font.
std::string cutToWidth(pf::draw::Context& ctx, const std::string& text, double room) {
    if (ZUTIL_GetTextWidth(&ctx, text.c_str()) < room) return text;
    std::string cut = text;
    while (!cut.empty()) {
        cut.pop_back();
        const std::string shown = cut + "..";
        if (ZUTIL_GetTextWidth(&ctx, shown.c_str()) < room) return shown;
    }
    return std::string();
}

// A filled circle: a ring of width r stroked at radius r/2 covers the disc in one pass.
void fillDisc(pf::draw::Context& ctx, double cx, double cy, double r) {
    ctx.setLineWidth(r);
    ctx.strokeEllipse(cx, cy, r / 2, r / 2);
}

}  // namespace

double graph_trend_step(double lo, double hi) {
    const double c = std::max(std::fabs(lo), std::fabs(hi));
    if (!std::isfinite(c) || !std::isfinite(hi - lo) || c == 0) return 1.0;
    int p = 0;
    for (double v = c; v > 10; v /= 10) ++p;
    for (double v = c; v < 1; v *= 10) --p;
    double step = std::pow(10.0, p);
    const double X = lo < 0 && hi > 0 ? c : hi - lo;
    static const double divisors[3] = {2, 2.5, 2};
    for (int i = 0; i < 33 && std::trunc(X / step) <= 1; ++i) step /= divisors[i % 3];
    return step;
}

int graph_trend_decimals(double v) {
    v = std::fabs(v);
    if (!(v > 0) || !std::isfinite(v)) return 0;
    int d = 0;
    // Bounded: the smallest double needs 324 places, which no label shows.
    while (d < 30 && std::pow(10.0, d) * v < 1) d += 3;
    // A label never rounds its value away (a limit of 3.5 is not shown as "4"),
    // up to 9 places: measured values carry no more.
    auto exact = [v](int places) {
        const double scale = std::pow(10.0, places);
        return std::fabs(std::round(v * scale) / scale - v) <= 1e-9 * std::max(1.0, v);
    };
    while (d < 9 && !exact(d)) d += 3;
    return d;
}

graph_trend::graph_trend(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void graph_trend::setFileName(const char* name, int index) {
    if (!name || index < 0 || index >= kTrend_stageCount) return;
    {
        std::lock_guard<std::mutex> lock(_gMtx);
        char buf[kNameCapacity] = {};
        std::strncpy(buf, name, kNameCapacity - 1);
        ZUTIL_StrUpper(buf);
        if (char* dot = const_cast<char*>(ZUTIL_StrGoLastText(buf, "."))) *dot = '\0';
        _fileName[size_t(index)] = buf;
        _csvFileCount = int(std::count_if(_fileName.begin(), _fileName.end(), [](const std::string& s) { return !s.empty(); }));
    }
    update();
}

void graph_trend::setData_title(const char* title, const tTrend_stepInfo* steps, int count,
                                const std::vector<const tTrend_entry*>& data) {
    {
        std::lock_guard<std::mutex> lock(_gMtx);
        _title = title ? title : "";
        for (size_t i = 0; i < _stepInfo.size(); ++i) _stepInfo[i] = steps ? steps[i] : tTrend_stepInfo{};
        // Without its four summary rows a list cannot be drawn.
        const bool whole = count >= 0 && data.size() >= size_t(count) + 4;
        _dataCount = whole ? count : 0;
        _data = whole ? data : std::vector<const tTrend_entry*>{};
    }
    update();
}

std::string graph_trend::fileName(int index) const {
    std::lock_guard<std::mutex> lock(_gMtx);
    return index >= 0 && index < kTrend_stageCount ? _fileName[size_t(index)] : std::string();
}

int graph_trend::csvFileCount() const {
    std::lock_guard<std::mutex> lock(_gMtx);
    return _csvFileCount;
}

QRectF graph_trend::dropArea(int index) const {
    const int m = width() / kTrend_stageCount;
    return QRectF(index * m + 4, 4, m - 8, height() - 8);
}

QImage graph_trend::render() {
    std::lock_guard<std::mutex> lock(_gMtx);
    pf::draw::Context ctx(std::max(1, width()), std::max(1, height()));
    drawRect(ctx);
    return ctx.image().copy();
}

void graph_trend::paintEvent(QPaintEvent*) {
    const QImage image = render();
    QPainter p(this);
    p.drawImage(0, 0, image);
}

void graph_trend::copyToClipboard(QObject*) { graph_copyImageToClipboard(render()); }

// ---- drawing

void graph_trend::drawRect(pf::draw::Context& ctx) {
    const double W = ctx.width(), H = ctx.height();
    ctx.setFillColor(1, 1, 1, 1);
    ctx.fillRect(0, 0, W, H);
    if (_csvFileCount < 2 || _dataCount <= 0) {
        std::string message = _csvFileCount < 2 ? "Drop CSV Files to Correlate" : "NO DATA TO CORRELATE";
        ZUTIL_StrUpper(message.data());
        ctx.setFont(pf::draw::kMonospaceBoldFont, 25);
        ctx.setFillColor(0.1, 0.5, 0, 0.75);
        ZUTIL_DrawText(&ctx, message.c_str(), 0, W / 2, (H - 25) / 2);
    } else {
        drawRect_trend(ctx);
    }
    if (_isDragAndDropEntered || _csvFileCount < 2) drawDropZones(ctx);
}

void graph_trend::drawDropZones(pf::draw::Context& ctx) {
    const double H = ctx.height();
    const int m = ctx.width() / kTrend_stageCount;
    const double dash[2] = {20, 4};
    const QPointF mouse = _mousePt;
    for (int i = 0; i < kTrend_stageCount; ++i) {
        const QRectF zone(i * m + 4, 4, m - 8, H - 8);
        _rtDropArea[size_t(i)] = zone;
        const bool over = _isDragAndDropEntered && zone.contains(mouse);
        const bool shown = !_fileName[size_t(i)].empty();
        double r, g, b, fill, outline, label;
        if (over)
            r = 1, g = 0.8, b = 0, fill = 0.05, outline = 0.3, label = 0.5;
        else if (shown)
            r = 0.3, g = 1, b = 0, fill = 0.02, outline = 0.2, label = 0.5;
        else
            r = 0.2, g = 0.2, b = 0.2, fill = 0.08, outline = 0.2, label = 0.2;
        ctx.saveState();
        ctx.setDash(dash, 2, 0);
        ctx.setLineWidth(4);
        ctx.setFillColor(r, g, b, fill);
        ctx.fillRoundedRect(zone.x(), zone.y(), zone.width(), zone.height(), 10);
        ctx.setStrokeColor(r, g, b, outline);
        ctx.strokeRoundedRect(zone.x(), zone.y(), zone.width(), zone.height(), 10);
        ctx.restoreState();
        std::string text = shown ? _fileName[size_t(i)] : pf::number::text("CSV #%d", i + 1);
        ZUTIL_StrUpper(text.data());
        // A long name stays inside its zone: cut, not spilled over the next one.
        ctx.setFont(pf::draw::kMonospaceFont, 16);
        text = cutToWidth(ctx, text, zone.width() - 14);
        ctx.setFillColor(r, g, b, label);
        ZUTIL_DrawText(&ctx, text.c_str(), 1, zone.x() + 10, zone.y() + zone.height() - 24);
    }
}

void graph_trend::drawRect_trend(pf::draw::Context& ctx) {
    const double W = ctx.width(), H = ctx.height();
    const int n = _dataCount;
    const tTrend_entry* const* entries = _data.data();
    const tTrend_entry& rowMax = *entries[n];
    const tTrend_entry& rowMin = *entries[n + 1];
    const tTrend_entry& rowAvg = *entries[n + 2];
    const tTrend_entry& rowStdev = *entries[n + 3];

    // 1. Highlighted serial numbers, in list order (entries carry their list index).
    std::vector<const tTrend_entry*> listOrder(entries, entries + n);
    std::stable_sort(listOrder.begin(), listOrder.end(),
                     [](const tTrend_entry* a, const tTrend_entry* b) { return a->index < b->index; });
    std::vector<const tTrend_entry*> selected;
    ctx.setFont(pf::draw::kMonospaceFont, 10);
    double b = 0;
    for (const tTrend_entry* e : listOrder)
        if (e->isSelected) {
            selected.push_back(e);
            b = std::max(b, std::ceil(ZUTIL_GetTextWidth(&ctx, e->sn.c_str())));
        }
    const int nSel = int(selected.size());

    // 2. Bands and the plot box.
    const double T = _title.empty() ? 0 : 50;
    const double PW = b > 0 ? W - (b + 80) : W - 105;
    const double PH = H - (T + 35);
    const double x0 = 55, y0 = 25;

    // 3. Title and sample count; the count's size serves every later label.
    const double titleSize = fitFont(ctx, _title.c_str(), 25, PW);
    ctx.setFillColor(0, 0, 0, 1);
    ZUTIL_DrawText(&ctx, _title.c_str(), 0, x0 + PW / 2, H - 30 + (25 - titleSize) / 2);
    const std::string samples = pf::number::text("sample=%d", n);
    const double F = fitFont(ctx, samples.c_str(), 10, PW);
    ctx.setFillColor(0, 0, 0, 0.8);
    ZUTIL_DrawText(&ctx, samples.c_str(), 0, x0 + PW / 2, H - T);

    // 4. The box.
    ctx.setLineCap(pf::draw::LineCap::round);
    if (PH >= 0) {
        ctx.setStrokeColor(0, 0, 0, 0.5);
        ctx.setLineWidth(0.5);
        ctx.setDash(nullptr, 0, 0);
        ctx.strokeRect(x0, y0, PW, PH);
    }

    // 5. Value range over the valid stages.
    double lo = HUGE_VAL, hi = -HUGE_VAL;
    int firstValid = -1;
    for (int s = 0; s < kTrend_stageCount; ++s) {
        const tTrend_stepInfo& st = _stepInfo[size_t(s)];
        if (!st.isValid || !present(rowMin.value[size_t(s)]) || !present(rowMax.value[size_t(s)])) continue;
        if (firstValid < 0) firstValid = s;
        const double sd = present(rowStdev.value[size_t(s)]) ? rowStdev.value[size_t(s)] : 0;
        const double avg = present(rowAvg.value[size_t(s)]) ? rowAvg.value[size_t(s)] : rowMin.value[size_t(s)];
        lo = std::min({lo, rowMin.value[size_t(s)] - sd, avg - 4 * sd});
        hi = std::max({hi, rowMax.value[size_t(s)] + sd, avg + 4 * sd});
        if (present(st.lowerLimit)) lo = std::min(lo, st.lowerLimit - sd);
        if (present(st.upperLimit)) hi = std::max(hi, st.upperLimit + sd);
    }
    if (!(lo < hi)) {
        // Nothing spread: one unit around the first stage's average.
        const double avg = firstValid >= 0 && present(rowAvg.value[size_t(firstValid)]) ? rowAvg.value[size_t(firstValid)] : 0;
        lo = avg - 1;
        hi = avg + 1;
    }
    const double ys = PH / (hi - lo);
    auto yOf = [&](double v) { return y0 + (v - lo) * ys; };

    // 6. Step.
    const bool crossesZero = lo < 0 && hi > 0;
    const double step = graph_trend_step(lo, hi);

    // 7. Zero line.
    if (crossesZero) {
        ctx.setStrokeColor(0, 0, 0, 0.5);
        ctx.setLineWidth(0.5);
        ctx.setDash(nullptr, 0, 0);
        ZUTIL_DrawLine(&ctx, x0, yOf(0), x0 + PW, yOf(0));
    }

    // 8. Grid and value labels.
    const double gridDash[2] = {8, 4};
    ctx.setDash(gridDash, 2, 0);
    ctx.setStrokeColor(0, 0, 0, 0.2);
    ctx.setLineWidth(0.4);
    ctx.setFont(pf::draw::kMonospaceFont, F);
    ctx.setFillColor(0, 0, 0, 0.8);
    {
        const int d = graph_trend_decimals(step);
        double first = std::ceil(lo / step) * step;
        if (lo >= 0 && !(first > lo)) first += step;
        for (int i = 0; i < 1000; ++i) {
            // Counted from the first line, not summed: no drift over many steps.
            const double v = first + i * step;
            if (!(v < hi)) break;
            const double y = yOf(v);
            ZUTIL_DrawLine(&ctx, x0, y, x0 + PW, y);
            // -0.000 reads as a fault on a zero grid line.
            const double shown = std::fabs(v) < step / 2 ? 0.0 : v;
            ZUTIL_DrawText(&ctx, pf::number::text("%.*f", d, shown).c_str(), 2, 50, y - 0.4 * F);
        }
    }

    // 9. Stage columns and their names.
    std::vector<int> stages;
    for (int s = 0; s < kTrend_stageCount; ++s)
        if (_stepInfo[size_t(s)].isValid) stages.push_back(s);
    const int columns = int(stages.size());
    std::vector<double> colX(static_cast<size_t>(columns));
    for (int j = 0; j < columns; ++j) {
        const double x = x0 + (j + 1) * PW / (columns + 1);
        colX[size_t(j)] = x;
        ctx.setDash(gridDash, 2, 0);
        ctx.setStrokeColor(0, 0, 0, 0.2);
        ctx.setLineWidth(0.4);
        ZUTIL_DrawLine(&ctx, x, y0, x, y0 + PH);
        // Neighbouring names never run into each other: each keeps to its column's share.
        const std::string name = cutToWidth(ctx, _fileName[size_t(stages[size_t(j)])], PW / (columns + 1) - 4);
        ZUTIL_DrawText(&ctx, name.c_str(), 0, x, 20 - F);
    }
    ctx.setDash(nullptr, 0, 0);

    // 10. Points and lines of every serial number.
    std::vector<double> xy;
    auto drawEntry = [&](const tTrend_entry& e) {
        xy.clear();
        for (int j = 0; j < columns; ++j) {
            const double v = e.value[size_t(stages[size_t(j)])];
            if (!present(v)) continue;
            xy.push_back(colX[size_t(j)]);
            xy.push_back(yOf(v));
        }
        for (size_t k = 0; k + 1 < xy.size(); k += 2) fillDisc(ctx, xy[k], xy[k + 1], 4);
        ctx.setLineWidth(0.8);
        if (xy.size() >= 4) ctx.strokePolyline(xy.data(), xy.size() / 2);
    };
    if (nSel == 0) {
        ctx.setStrokeColor(1, 0.25, 0, 0.2);
        for (const tTrend_entry* e : listOrder) drawEntry(*e);
    } else {
        ctx.setStrokeColor(0, 0, 0, 0.1);
        for (const tTrend_entry* e : listOrder)
            if (!e->isSelected) drawEntry(*e);
        for (int k = 0; k < nSel; ++k) {
            const float* rgb = kPalette[k % kPaletteSize];
            ctx.setStrokeColor(rgb[0], rgb[1], rgb[2], 0.75);
            drawEntry(*selected[size_t(k)]);
        }
    }

    // 11. Legend of the highlighted serial numbers, from the top down.
    if (nSel > 0) {
        const double B0 = y0 + 12 * nSel + (PH - 12 * nSel) / 2;
        ctx.setFont(pf::draw::kMonospaceFont, 10);
        for (int k = 0; k < nSel; ++k) {
            const float* rgb = kPalette[k % kPaletteSize];
            ctx.setFillColor(rgb[0], rgb[1], rgb[2], 0.75);
            ctx.fillRect(PW + 60, B0 - 12 * k, 7, 7);
            ctx.setFillColor(0, 0, 0, 0.5);
            ZUTIL_DrawText(&ctx, selected[size_t(k)]->sn.c_str(), 1, PW + 72, B0 - 12 * k);
        }
    }

    // 12. Limits: level to the first column, stage to stage, level from the last.
    if (columns > 0) {
        const double limitDash[2] = {20, 10};
        ctx.setDash(limitDash, 2, 0);
        ctx.setLineWidth(2);
        ctx.setStrokeColor(0, 0, 1, 0.4);
        ctx.setFont(pf::draw::kMonospaceFont, F);
        for (int upper = 1; upper >= 0; --upper) {
            auto limitOf = [&](int j) {
                const tTrend_stepInfo& st = _stepInfo[size_t(stages[size_t(j)])];
                return upper ? st.upperLimit : st.lowerLimit;
            };
            const double first = limitOf(0);
            if (present(first)) {
                const double y = yOf(first);
                ZUTIL_DrawLine(&ctx, x0, y, colX[0], y);
                const int d = graph_trend_decimals(first);
                ctx.setFillColor(0, 0, 0, 0.8);
                if (upper)
                    ZUTIL_DrawText(&ctx, pf::number::text("UpperLimit = %.*f", d, first).c_str(), 1, 58, y - 3 - F);
                else
                    ZUTIL_DrawText(&ctx, pf::number::text("LowerLimit = %.*f", d, first).c_str(), 1, 58, y + 5);
            }
            for (int j = 0; j + 1 < columns; ++j) {
                const double a = limitOf(j), z = limitOf(j + 1);
                if (present(a) && present(z)) ZUTIL_DrawLine(&ctx, colX[size_t(j)], yOf(a), colX[size_t(j + 1)], yOf(z));
            }
            const double last = limitOf(columns - 1);
            if (present(last)) ZUTIL_DrawLine(&ctx, colX[size_t(columns - 1)], yOf(last), x0 + PW, yOf(last));
        }
        ctx.setDash(nullptr, 0, 0);
    }
}

// ---- the mouse and keys

void graph_trend::mouseMoveEvent(QMouseEvent* event) {
    // A move with a button held is a drag: the press is no longer a click.
    if (event->buttons() != Qt::NoButton) {
        _isMouseDown = false;
        return;
    }
    _mousePt = toDrawing(event->position());
    update();
}

void graph_trend::enterEvent(QEnterEvent*) {
    _isMouseIn = true;
    update();
}

void graph_trend::leaveEvent(QEvent*) {
    _isMouseIn = false;
    _mousePt = QPointF(-1, -1);
    update();
}

void graph_trend::mousePressEvent(QMouseEvent* event) {
    _mouseDownPt = toDrawing(event->position());
    if (event->button() == Qt::RightButton) return;
    _isMouseDown = true;
    update();
}

void graph_trend::mouseReleaseEvent(QMouseEvent*) { _isMouseDown = false; }

void graph_trend::keyPressEvent(QKeyEvent* event) {
    std::printf("keyDown: %s\n", event->text().toUtf8().constData());
    if (event->text() == QStringLiteral("n")) update();
}

// ---- drops

void graph_trend::dragEnterEvent(QDragEnterEvent* event) {
    std::printf("drag_entered\n");
    if (offersFiles(event->mimeData()) && (event->possibleActions() & Qt::CopyAction)) {
        _isDragAndDropEntered = true;
        _mousePt = toDrawing(event->position());
        event->setDropAction(Qt::CopyAction);
        event->accept();
        update();
    } else {
        event->ignore();
    }
}

void graph_trend::dragMoveEvent(QDragMoveEvent* event) {
    const QPointF at = toDrawing(event->position());
    if (std::round(at.x()) != std::round(_mousePt.x()) || std::round(at.y()) != std::round(_mousePt.y())) {
        _mousePt = at;
        update();
    }
    event->accept();
}

void graph_trend::dragLeaveEvent(QDragLeaveEvent*) {
    std::printf("drag_exit\n");
    _isDragAndDropEntered = false;
    _mousePt = QPointF(-1, -1);
    update();
}

void graph_trend::dropEvent(QDropEvent* event) {
    std::printf("drag_performDragOperation\n");
    bool taken = true;
    if (event->possibleActions() & Qt::CopyAction) {
        const QPointF at = toDrawing(event->position());
        for (int i = 0; i < kTrend_stageCount; ++i)
            if (dropArea(i).contains(at)) {
                taken = _evtSink ? _evtSink->OnFileDrop(event->mimeData(), i) : true;
                break;
            }
    }
    _isDragAndDropEntered = false;
    if (taken) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
    update();
}
