// The GR&R graph: loads, file watch, the chart, the summaries and the gestures.
#include "graph_grr.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QUrl>

#include <strings.h>
#include <syslog.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <unordered_map>

#include "AppDelegate.h"
#include "ZelkPaths.h"
#include "ZelkUtilDraw.h"
#include "draw/pf_draw.h"
#include "graph_base.h"
#include "number/pf_number.h"
#include "page_parts.h"

int graph_grr::s_fileChangeCount = 0;

const float graph_grr::kSampleColours[25][3] = {
    {0.8f, 0.2f, 0},    {0, 0.8f, 1},     {0, 0.6f, 0},       {0, 0.4f, 0.4f},    {0, 0.4f, 1},
    {0, 0, 0.8f},       {0.4f, 0.2f, 0.6f}, {0.8f, 0, 0.6f},  {1, 0.2f, 0},       {1, 0.4f, 1},
    {0, 0.8f, 0},       {0, 0.6f, 0.6f},  {0, 0.6f, 1},       {0, 0, 1},          {0.6f, 0, 0.8f},
    {1, 0, 0.6f},       {0.8f, 0.2f, 0.2f}, {0.6f, 0.4f, 0.2f}, {0.8f, 0.6f, 0},  {0, 1, 0},
    {0, 0.8f, 0.8f},    {1, 0.8f, 0},     {0.2f, 0.4f, 1},    {0.6f, 0.2f, 1},    {1, 0, 1}};

namespace {

using pf::draw::Context;
using pf::number::text;

const char kCriteriaFile[] = "Quastel.grrConfig.csv";
// The prompt as shown: in capitals.
const char kDropPrompt[] = "DROP GRR CSV FILE";
// Green and red of the texts.
const double kGreen[3] = {0, 0.5333333611488342, 0};
const double kRed[3] = {0.800000011920929, 0, 0};

bool present(double v) { return v != kZelk_noValue; }
bool measured(double v) { return present(v) && !std::isnan(v); }

bool offersFiles(const QMimeData* data) {
    if (!data || !data->hasUrls()) return false;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) return true;
    return false;
}

void trace(const char* method, int line) {
    char stamp[16];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    syslog(LOG_NOTICE, "[%s %s:[graph_grr %s]:%d]", stamp, "graph_grr.cpp", method, line);
}

// Text colour by a verdict: green pass, red fail, else black.
void fillByResult(Context& ctx, int result, double alpha) {
    if (result == kGrrResult_pass)
        ctx.setFillColor(kGreen[0], kGreen[1], kGreen[2], alpha);
    else if (result == kGrrResult_fail)
        ctx.setFillColor(kRed[0], kRed[1], kRed[2], alpha);
    else
        ctx.setFillColor(0, 0, 0, alpha);
}

// The largest size from `start` down in steps of 0.1 at which the text is
// narrower than `room`; never below 1 point.
double fitFont(Context& ctx, const char* family, const std::string& s, double start, double room) {
    double size = start;
    ctx.setFont(family, size);
    while (size > 1.0 && !(ZUTIL_GetTextWidth(&ctx, s.c_str()) < room)) {
        size = std::max(1.0, size - 0.1);
        ctx.setFont(family, size);
    }
    return size;
}

// A figure of a summary in its printf conversion, or "NA" in the same width
// when it is missing, so a column never shows a missing value as a number.
std::string fig(const char* conversion, int width, double v) {
    if (!present(v)) return text("%*s", width, "NA");
    return text(conversion, v);
}

std::string lowered(const char* s) {
    std::string out(s ? s : "");
    for (char& ch : out)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
    return out;
}

// The first golden sample of a tester, else its first sample.
grr_sample* referenceSample(grr_tester* t) {
    for (unsigned i = 0; i < t->sample_count(); ++i)
        if (t->sampleAt(i)->isGoldenSample()) return t->sampleAt(i);
    return t->sampleAt(0);
}

grr_sample* firstGoldenSample(grr_tester* t) {
    for (unsigned i = 0; i < t->sample_count(); ++i)
        if (t->sampleAt(i)->isGoldenSample()) return t->sampleAt(i);
    return nullptr;
}

double entry(const double* column, unsigned c) { return column ? column[c] : kZelk_noValue; }
int entry2(const int* column, unsigned c) { return column ? column[c] : kGrrResult_unknown; }

}  // namespace

graph_grr::graph_grr(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // One timer for the view's life: a reload runs inside its tick, so it is
    // stopped and started again, never replaced from within its own signal.
    _fileMonitor = new QTimer(this);
    _fileMonitor->setInterval(250);
    connect(_fileMonitor, &QTimer::timeout, this, [this] { onTimer_fileMonitor(); });
    grrCriteriaFileName = text("%s/%s", ZUTIL_GetAppResPath(), kCriteriaFile);
    loadCriteria();
    if (!grrCriteriaTable || !grrCriteriaTable->isValid()) grrCriteriaFileName.clear();
}

graph_grr::~graph_grr() {
    _fileMonitor->stop();
    delete popupMenu;
    // The model borrows the criteria table's texts: it goes first.
    grrManager.reset();
    grrCriteriaTable.reset();
}

void graph_grr::loadCriteria() {
    grrCriteriaFileTime = FileStamp::of(grrCriteriaFileName);
    // A new table only once the model that borrows the old one is gone.
    grrManager.reset();
    grrCriteriaTable = ZelkCsv::initWithCsvFile_filePathName(grrCriteriaFileName.c_str(), false);
    const char* first = grrCriteriaTable && grrCriteriaTable->isValid() ? grrCriteriaTable->theFirstCellString() : nullptr;
    _grrTitle = first ? first : "";
}

// ---- setters

void graph_grr::setDispColIdx(int index) {
    if (!grrManager || unsigned(index) >= grrManager->column_count() || index == _dispColIdx) return;
    _dispColIdx = index;
    updateStatus = true;
    update();
}

void graph_grr::setDispTesterIdx(int index) {
    if (!grrManager || unsigned(index) >= grrManager->getTesterCount() || index == _dispTesterIdx) return;
    _dispTesterIdx = index;
    updateStatus = true;
    update();
}

void graph_grr::setShowTestLimit(bool on) {
    _showTestLimit = on;
    update();
}

void graph_grr::setShowLimitText(bool on) {
    _showLimitText = on;
    update();
}

void graph_grr::setDoCapture() {
    _doCapture = true;
    update();
}

void graph_grr::copyToClipboard(QObject*) { setDoCapture(); }

void graph_grr::exportImage() {
    // The name comes from tester and item texts of the files: it must stay one file name.
    graph_exportImage(render(true), img_file_name.c_str());
}

void graph_grr::beep() { std::printf("beep\n"); }
void graph_grr::honk() { std::printf("honk\n"); }

// ---- loads

bool graph_grr::loadFiles(const std::vector<std::string>& paths, bool fresh) {
    _fileMonitor->stop();
    grrManager.reset();
    grrManager = std::make_unique<ZelkGrr>();
    // A criteria table that did not load is no criteria: handed over it would be
    // taken for a measurement table and raise a false input error.
    if (grrCriteriaTable && grrCriteriaTable->isValid() && grrCriteriaTable->csvType() == 1)
        grrManager->setCsv(grrCriteriaTable);
    else
        trace("loadFiles: no GR&R criteria", __LINE__);
    std::vector<const char*> list;
    for (const std::string& p : paths) list.push_back(p.c_str());
    grrManager->setCsv(ZelkCsv::openCsvFile(list.data(), list.size()));
    if (grrManager->getAllTester()) std::printf("%s\n", grrManager->getAllTester()->tester_name());
    if (fresh) {
        _dispColIdx = -1;
        _dispTesterIdx = -1;
    } else {
        // The same choice on the reloaded files, when it still exists.
        if (unsigned(_dispColIdx) >= grrManager->column_count()) _dispColIdx = -1;
        if (unsigned(_dispTesterIdx) >= grrManager->getTesterCount()) _dispTesterIdx = -1;
    }
    updateStatus = true;
    fileNameArray = paths;
    inputFileTime.clear();
    for (const std::string& p : paths) inputFileTime.push_back(FileStamp::of(p));
    _fileMonitor->start();
    if (_evtSink) _evtSink->OnCsvFileDropped(fresh);
    update();
    return true;
}

void graph_grr::onTimer_fileMonitor() {
    if (!grrCriteriaFileName.empty()) {
        if (FileStamp::changed(grrCriteriaFileTime, FileStamp::of(grrCriteriaFileName))) {
            if (s_fileChangeCount < 3) {
                ++s_fileChangeCount;
            } else {
                s_fileChangeCount = 0;
                loadCriteria();
                if (!fileNameArray.empty()) {
                    const std::vector<std::string> again = fileNameArray;
                    loadFiles(again, true);
                }
                return;
            }
        }
    }
    bool changed = false;
    for (size_t i = 0; i < fileNameArray.size() && !changed; ++i)
        changed = FileStamp::changed(inputFileTime[i], FileStamp::of(fileNameArray[i]));
    if (!changed) return;
    if (s_fileChangeCount < 3) {
        ++s_fileChangeCount;
        return;
    }
    s_fileChangeCount = 0;
    const std::vector<std::string> again = fileNameArray;
    loadFiles(again, false);
}

// ---- drawing

QImage graph_grr::render(bool capture) {
    {
        Context ctx(std::max(1, width()), std::max(1, height()));
        const int w = ctx.width(), h = ctx.height();
        ctx.setFillColor(1, 1, 1, 1);
        ctx.fillRect(0, 0, w, h);
        drawChart(ctx, capture);
        // The summaries follow the choice, whether or not a chart could be drawn.
        update_string();
        if (isDragAndDropEntered && !capture) {
            const double dash[2] = {24, 4};
            ctx.setDash(dash, 2, 0);
            ctx.setLineWidth(4);
            ctx.setFillColor(1, 0.8, 0, 0.05000000074505806);
            ctx.setStrokeColor(1, 0.8, 0, 0.30000001192092896);
            ctx.fillRoundedRect(4, 4, w - 8, h - 8, 10);
            ctx.strokeRoundedRect(4, 4, w - 8, h - 8, 10);
            ctx.setDash(nullptr, 0, 0);
        }
        if (!grrManager) {
            ctx.setFont(pf::draw::kMonospaceBoldFont, 25);
            ctx.setFillColor(0.1, 0.2, 1, 0.75);
            ZUTIL_DrawText(&ctx, kDropPrompt, 0, w / 2.0, (h - 25) / 2.0);
        }
        return ctx.image().copy();
    }
}

void graph_grr::paintEvent(QPaintEvent*) {
    const QImage image = render(false);
    QPainter p(this);
    p.drawImage(0, 0, image);
    if (_doCapture) {
        _doCapture = false;
        graph_copyImageToClipboard(render(true));
    }
}

void graph_grr::drawChart(Context& ctx, bool capture) {
    _plot = PlotFrame{};
    if (!grrManager || _dispColIdx < 0 || _dispTesterIdx < 0) return;
    const unsigned col = unsigned(_dispColIdx);
    if (col >= grrManager->column_count() || unsigned(_dispTesterIdx) >= grrManager->getTesterCount()) return;
    grr_tester* T = grrManager->testerAt(unsigned(_dispTesterIdx));
    grr_tester* G = grrManager->getGoldenTester();
    grr_tester* all = grrManager->getAllTester();
    if (!T || !G || !all) return;
    grr_sample* S = referenceSample(T);
    grr_sample* A = all->getAllSample();
    const grr_data* d = S ? S->dataAt(col) : nullptr;
    const grr_data* a = A ? A->dataAt(col) : nullptr;
    if (!d || !a) return;
    const char* itemTitle = grrManager->columnAt(col)->title ? grrManager->columnAt(col)->title : "";
    const char* tName = T->tester_name() ? T->tester_name() : "";
    const char* gName = G->tester_name() ? G->tester_name() : "";

    // 1. The picture's name.
    img_file_name = text("%s|%s", tName, itemTitle);

    // 2. One range for both axes.
    if (!measured(a->avg) || !measured(a->std)) return;
    const double mean = a->avg, sd = a->std;
    double lo = mean - 3 * sd, hi = mean + 3 * sd;
    const grr_sample* g0 = G->sampleAt(0);
    const grr_data* gd0 = g0 ? const_cast<grr_sample*>(g0)->dataAt(col) : nullptr;
    if (_showTestLimit) {
        for (const grr_data* x : {gd0, d}) {
            if (!x) continue;
            if (present(x->limit_upper)) hi = std::max(hi, x->limit_upper + sd);
            if (present(x->limit_lower)) lo = std::min(lo, x->limit_lower - sd);
        }
    }
    if (present(d->grr_limit)) {
        hi = std::max(hi, mean + d->grr_limit);
        lo = std::min(lo, mean - d->grr_limit);
    }
    if (!std::isfinite(lo) || !std::isfinite(hi)) return;
    if (hi - lo <= std::fabs(lo / 100)) {
        // All values alike: a small window around them, never of zero width.
        const double centre = (hi + lo) / 2;
        const double half = std::max(std::fabs(centre) / 100, 1e-9);
        lo = centre - half;
        hi = centre + half;
    }

    // 3. Layout.
    const double W = ctx.width(), H = ctx.height();
    ctx.setFont(pf::draw::kMonospaceFont, 10);
    double legendWidth = 90;
    for (unsigned i = 0; i < T->sample_count(); ++i) {
        const grr_sample* s = T->sampleAt(i);
        legendWidth = std::max(legendWidth, ZUTIL_GetTextWidth(&ctx, text("%s_%-2d", s->serial_number(), int(s->test_count())).c_str()));
    }
    double left = 105, right = 130 + legendWidth, top = *itemTitle ? 135 : 55, bottom = 45;
    const double freeW = W - left - right, freeH = H - top - bottom;
    const double size = std::min(freeW, freeH);
    if (freeW > size) {
        left += (freeW - size) / 2;
        right += (freeW - size) / 2;
    } else {
        top += (freeH - size) / 2;
        bottom += (freeH - size) / 2;
    }
    const double x0 = left, y0 = bottom, x1 = x0 + size, y1 = y0 + size;
    const double span = hi - lo;
    auto px = [&](double v) { return x0 + (v - lo) / span * size; };
    auto py = [&](double v) { return y0 + (v - lo) / span * size; };

    // 4. Ticks.
    double firstTick = lo;
    const double step = ZUTIL_calculateTickStep(1, &firstTick, lo, hi);
    _decimalPoint = 0;
    if (step != 0 && std::isfinite(step))
        while (std::pow(10.0, _decimalPoint) * std::fabs(step) < 1 && _decimalPoint < 30) _decimalPoint += 3;
    const int dp = int(_decimalPoint);

    // 5. Header.
    const int colResult = T->pGrrResult() ? T->pGrrResult()[col] : kGrrResult_unknown;
    std::string header = itemTitle;
    if (d->unit && *d->unit && strcasecmp(d->unit, "NA") != 0) header += text(" [%s]", d->unit);
    const double cx = x0 + size / 2;
    double fs = fitFont(ctx, pf::draw::kMonospaceFont, header, 25, size);
    ctx.setFillColor(0, 0, 0, 1);
    double y = H - 30 + (25 - fs) / 2;
    ZUTIL_DrawText(&ctx, header.c_str(), 0, cx, y);
    const unsigned g = T->golden_sample_count();
    const std::string who = text("[%s, %d sample%s]", tName, int(g), g > 1 ? "s" : "");
    fs = fitFont(ctx, pf::draw::kMonospaceFont, who, 12, size);
    fillByResult(ctx, T->grr_result(), 0.800000011920929);
    y = H - 47;
    ZUTIL_DrawText(&ctx, who.c_str(), 0, cx, y);
    const double groupAvg = entry(T->pGroupAverage(), col);
    std::string avgLine = present(groupAvg) ? text(text("GroupAvg=%%.%df", dp + 3).c_str(), groupAvg) : "GroupAvg=NA";
    if (d->isGrrParam) {
        const double goldenAvg = entry(G->pGroupAverage_golden(), col);
        if (present(groupAvg) && present(goldenAvg)) {
            double e = (groupAvg - goldenAvg) * 100;
            // Without a limit there is no percent error, only NA.
            if (d->grr_limit == 0)
                e = std::numeric_limits<double>::infinity();
            else if (present(d->grr_limit))
                e /= d->grr_limit;
            avgLine += present(d->grr_limit) ? text(" (%6.1f%%)", e) : text(" (%6s%%)", "NA");
        }
    }
    y -= fs + 5;
    fs = fitFont(ctx, pf::draw::kMonospaceFont, avgLine, 12, size);
    fillByResult(ctx, d->isGrrParam ? colResult : kGrrResult_unknown, 1);
    ZUTIL_DrawText(&ctx, avgLine.c_str(), 0, cx, y);
    if (d->isGrrParam) {
        const std::string errLine = "GRR_ERR_MAX=" + fig("%5.1f", 5, entry(T->pGrrPctErrMax(), col)) +
                                    "%, GRR_ERR_MIN=" + fig("%5.1f", 5, entry(T->pGrrPctErrMin(), col)) + "%";
        y -= fs + 5;
        fs = fitFont(ctx, pf::draw::kMonospaceFont, errLine, 12, size);
        fillByResult(ctx, colResult, 1);
        ZUTIL_DrawText(&ctx, errLine.c_str(), 0, cx, y);
    }
    if (size < 0) return;
    _plot = PlotFrame{true, x0, y0, size, lo, hi, right, top};

    // 6. Frame and grid.
    ctx.setLineCap(pf::draw::LineCap::round);
    ctx.setStrokeColor(0, 0, 0, 0.5);
    ctx.setLineWidth(0.5);
    ctx.strokeRect(x0, y0, size, size);
    const double gridDash[2] = {8, 4};
    ctx.setDash(gridDash, 2, 0);
    ctx.setStrokeColor(0, 0, 0, 0.15);
    ctx.setLineWidth(0.4000000059604645);
    ctx.setFont(pf::draw::kMonospaceFont, 10);
    ctx.setFillColor(0, 0, 0, 1);
    const std::string tickFormat = text("%%.%df", dp);
    double widestTick = 0;
    if (step > 0 && std::isfinite(step) && std::isfinite(firstTick)) {
        for (int i = 0; i < 1000; ++i) {
            const double v = firstTick + i * step;
            if (!(v < hi)) break;
            if (v < lo) continue;
            ZUTIL_DrawLine(&ctx, x0, py(v), x1, py(v));
            ZUTIL_DrawLine(&ctx, px(v), y0, px(v), y1);
            const std::string label = text(tickFormat.c_str(), v);
            widestTick = std::max(widestTick, ZUTIL_GetTextWidth(&ctx, label.c_str()));
            ZUTIL_DrawText(&ctx, label.c_str(), 2, x0 - 5, py(v) - 4.000000059604645);
            ZUTIL_DrawText(&ctx, label.c_str(), 0, px(v), y0 - 20);
        }
    }
    ctx.setDash(nullptr, 0, 0);

    // 7. Axis names.
    ctx.setFont(pf::draw::kMonospaceBoldFont, 12);
    const bool pseudo = G == all;
    if (G->tester_type() == kTesterType_golden)
        ctx.setFillColor(0.800000011920929, 0.5333333611488342, 0, 0.75);
    else if (pseudo || G->tester_type() == kTesterType_psuedo_golden)
        ctx.setFillColor(0.800000011920929, 0, 0, 0.75);
    else
        ctx.setFillColor(0.75, 0.75, 0.75, 0.75);
    ZUTIL_DrawText(&ctx, pseudo ? "!!! PSUEDO_GOLDEN !!!" : gName, 0, cx, y0 - 39);
    if (T->grr_result() == kGrrResult_fail)
        ctx.setFillColor(0.5333333611488342, 0, 0, 0.75);
    else if (T->grr_result() == kGrrResult_pass)
        ctx.setFillColor(0, 0.5333333611488342, 0, 0.75);
    else
        ctx.setFillColor(0, 0, 0, 0.75);
    ctx.drawText(tName, x0 - 25 - widestTick, y0 + size / 2 - ctx.textWidth(tName) / 2, M_PI / 2);

    // 8. Identity line.
    ctx.setStrokeColor(0, 0.5, 0, 0.9);
    ctx.setLineWidth(0.5);
    ZUTIL_DrawLine(&ctx, x0, y0, x1, y1);

    // 9. The limit box.
    if (_showTestLimit && (present(d->limit_upper) || present(d->limit_lower))) {
        const double up = present(d->limit_upper) ? d->limit_upper : hi;
        const double dn = present(d->limit_lower) ? d->limit_lower : lo;
        ctx.setStrokeColor(0, 0, 1, 0.5);
        ctx.setLineWidth(1);
        if (up < hi) {
            ZUTIL_DrawLine(&ctx, px(up), py(dn), px(up), py(up));
            ZUTIL_DrawLine(&ctx, px(dn), py(up), px(up), py(up));
        }
        if (dn > lo) {
            ZUTIL_DrawLine(&ctx, px(dn), py(dn), px(dn), py(up));
            ZUTIL_DrawLine(&ctx, px(dn), py(dn), px(up), py(dn));
        }
    }

    // 10. GR&R lines: vertical = horizontal ± grr_limit.
    if (present(d->grr_limit)) {
        ctx.setDash(gridDash, 2, 0);
        ctx.setLineWidth(0.5);
        if (d->isGrrParam)
            ctx.setStrokeColor(1, 0, 0, 0.5);
        else
            ctx.setStrokeColor(0, 0, 0, 0.2);
        const double o = d->grr_limit / span * size;
        ZUTIL_DrawLine(&ctx, x0, y0 + o, x1 - o, y1);
        ZUTIL_DrawLine(&ctx, x0 + o, y0, x1, y1 - o);
        ctx.setDash(nullptr, 0, 0);
    }

    // 11. Samples against their golden partners.
    ctx.setLineWidth(0.5);
    ctx.setLineCap(pf::draw::LineCap::butt);
    const double s = size / 50;
    const double k = present(d->grr_stdev) ? d->grr_stdev : 3;
    // Partners as the model found them: the first golden sample of the serial
    // number in any letter case.
    std::unordered_map<std::string, grr_sample*> partners;
    for (unsigned j = 0; j < G->sample_count(); ++j) partners.emplace(lowered(G->sampleAt(j)->serial_number()), G->sampleAt(j));
    unsigned c = 0;
    for (unsigned i = 0; i < T->sample_count(); ++i) {
        grr_sample* sample = T->sampleAt(i);
        if (!sample->isGoldenSample()) continue;
        const auto found = partners.find(lowered(sample->serial_number()));
        if (found == partners.end()) continue;
        grr_sample* partner = found->second;
        const float* rgb = kSampleColours[c % 25];
        ctx.setFillColor(rgb[0], rgb[1], rgb[2], 0.75);
        ctx.setStrokeColor(rgb[0], rgb[1], rgb[2], 0.75);
        const grr_data* sd_ = sample->dataAt(col);
        const grr_data* pd = partner->dataAt(col);
        if (sd_ && pd && measured(pd->avg) && measured(sd_->avg)) {
            const double x = px(pd->avg), yy = py(sd_->avg);
            ctx.fillRect(x - s / 2, yy - s / 2, s, s);
            const double dy = measured(sd_->std) ? k * sd_->std / span * size : 0;
            const double dx = measured(pd->std) ? k * pd->std / span * size : 0;
            ZUTIL_DrawLine(&ctx, x, yy + dy, x, yy - dy);
            ZUTIL_DrawLine(&ctx, x - s / 2, yy + dy, x + s / 2, yy + dy);
            ZUTIL_DrawLine(&ctx, x - s / 2, yy - dy, x + s / 2, yy - dy);
            ZUTIL_DrawLine(&ctx, x + dx, yy, x - dx, yy);
            ZUTIL_DrawLine(&ctx, x + dx, yy - s / 2, x + dx, yy + s / 2);
            ZUTIL_DrawLine(&ctx, x - dx, yy - s / 2, x - dx, yy + s / 2);
        }
        ++c;
    }

    // 12. Crosshair.
    const bool mouseInPlot = mouseX >= x0 && mouseX <= x1 && mouseY >= y0 && mouseY <= y1;
    if (!capture && !isDragAndDropEntered && !isMouseDown && mouseInPlot) {
        ctx.setFont(pf::draw::kMonospaceFont, 10);
        ctx.setStrokeColor(0, 0, 0, 0.2);
        ctx.setLineWidth(1);
        ZUTIL_DrawLine(&ctx, x0 - 5, mouseY, x1, mouseY);
        ZUTIL_DrawLine(&ctx, mouseX, y1, mouseX, y0 - 10);
        const std::string f = text("%%.%df", dp + 1);
        const std::string xv = text(f.c_str(), lo + (mouseX - x0) / size * span);
        const std::string yv = text(f.c_str(), lo + (mouseY - y0) / size * span);
        const double xw = ctx.textWidth(xv.c_str()) + 2, yw = ctx.textWidth(yv.c_str()) + 2;
        ctx.setFillColor(0, 0, 0, 0.4);
        ctx.fillRect(mouseX - xw / 2, y0 - 20 - 3, xw, 12);
        ctx.fillRect(x0 - 5 - yw + 1, mouseY - 5 - 3, yw, 11);
        ctx.setFillColor(1, 1, 1, 1);
        ZUTIL_DrawText(&ctx, xv.c_str(), 0, mouseX, y0 - 20);
        ZUTIL_DrawText(&ctx, yv.c_str(), 2, x0 - 5, mouseY - 5);
    }

    // 13. Legend.
    if (g > 0) {
        ctx.setFont(pf::draw::kMonospaceFont, 10);
        double ly = y0 + (size - g * 12.0) / 2 + g * 12.0;
        unsigned n = 0;
        for (unsigned i = 0; i < T->sample_count(); ++i) {
            const grr_sample* sample = T->sampleAt(i);
            if (!sample->isGoldenSample()) continue;
            const float* rgb = kSampleColours[n % 25];
            ctx.setFillColor(rgb[0], rgb[1], rgb[2], 0.75);
            ctx.fillRect(x1 + 5, ly, 7, 7);
            ctx.setFillColor(0, 0, 0, 0.75);
            ZUTIL_DrawText(&ctx, text("%s_%-2d", sample->serial_number(), int(sample->test_count())).c_str(), 1,
                           x1 + 17, ly);
            ly -= 12;
            ++n;
        }
    }

    // 14. Corner texts.
    ctx.setFont(pf::draw::kMonospaceFont, 10);
    ctx.setFillColor(0, 0, 0, 1);
    double cy = 8;
    if (!_grrTitle.empty()) {
        ZUTIL_DrawText(&ctx, _grrTitle.c_str(), 2, W - 8, cy);
        cy = 23;
    }
    if (_showLimitText) {
        const struct {
            const char* name;
            double value;
            int decimals;
        } lines[6] = {{"grr_limit", d->grr_limit, dp + 1}, {"grr_stdev", k, 1},
                      {"ers_low", d->ers_limit_lower, dp},  {"ers_hgh", d->ers_limit_upper, dp},
                      {"limit_low", d->limit_lower, dp},    {"limit_hgh", d->limit_upper, dp}};
        for (const auto& l : lines) {
            const std::string t = present(l.value) ? text(text("%s%%7.%df", "%s = ", l.decimals).c_str(), l.name, l.value)
                                                   : text(text("%s%%7s", "%s = ").c_str(), l.name, "NA");
            ZUTIL_DrawText(&ctx, t.c_str(), 2, W - 8, cy);
            cy += 15;
        }
    }
}

// ---- summaries

void graph_grr::update_string() {
    if (!updateStatus) return;
    buildSummaries();
    updateStatus = false;
    if (_evtSink) _evtSink->OnSelectionChanged();
}

void graph_grr::buildSummaries() {
    if (!grrManager || _dispColIdx < 0 || _dispTesterIdx < 0) {
        // Nothing chosen in the files now loaded: the texts of earlier files would mislead.
        strSummary_fom.clear();
        strSummary_grr.clear();
        return;
    }
    const unsigned col = unsigned(_dispColIdx);
    grr_tester* T = grrManager->testerAt(unsigned(_dispTesterIdx));
    const grr_column* column = grrManager->columnAt(col);
    if (!T || !column) return;
    const char* itemTitle = column->title ? column->title : "";

    std::string& f = strSummary_fom;
    f = text("[%s]\nTesterID: %s [%s tester]\n\n", itemTitle, T->tester_name(), kTesterTypeStr[T->tester_type() & 3]);
    f += "GRR_GROUP_AVG   = " + fig("%10f", 10, entry(T->pGroupAverage(), col)) + "\n";
    f += "GRR_PCT_ERR_MAX = " + fig("%9.1f", 9, entry(T->pGrrPctErrMax(), col)) + "%\n";
    f += "GRR_PCT_ERR_MIN = " + fig("%9.1f", 9, entry(T->pGrrPctErrMin(), col)) + "%\n";
    f += text("GRR_RESULT      = %10s\n\n", kGrrResultStr[std::clamp(T->grr_result(), 0, 2)]);
    f += text("Sample Count    = %d\n", int(T->sample_count()));
    if (T->sample_count() > 0) {
        int width = 13;
        for (unsigned i = 0; i < T->sample_count(); ++i)
            width = std::max(width, int(strlen(T->sampleAt(i)->serial_number())));
        const std::string first = text("%%-%ds\t", width);
        auto table = [&](const char* name, std::initializer_list<const char*> heads,
                         const std::function<std::vector<double>(const grr_data&)>& values, bool percent) {
            f += name;
            f += text(first.c_str(), "serail number");
            for (const char* h : heads) f += text("%13s\t", h);
            f += "\n-------------\n";
            for (unsigned i = 0; i < T->sample_count(); ++i) {
                grr_sample* sample = T->sampleAt(i);
                f += text(first.c_str(), sample->serial_number());
                const grr_data* d = sample->dataAt(col);
                if (d)
                    for (double v : values(*d)) f += fig("%13f", 13, v) + (percent ? "%\t" : "\t");
                f += "\n";
            }
        };
        table("\n[GRR_CRITERIA_TABLE]\n", {"avg_golden", "grr_limit", "grr_limit_up", "grr_limit_dn"},
              [](const grr_data& d) { return std::vector<double>{d.avg_golden, d.grr_limit, d.grr_limit_upper, d.grr_limit_lower}; },
              false);
        table("\n[GRR_TEST_RESULT_TABLE]\n", {"avg", "stdev", "grr_stdev", "bound_up", "bound_dn"},
              [](const grr_data& d) {
                  return std::vector<double>{d.avg, d.std, d.grr_stdev, d.bound_upper, d.bound_lower};
              },
              false);
        table("\n[GRR_PCT_ERR_UPPER/LOWER]\n", {"pct_err_upper", "pct_err_lower"},
              [](const grr_data& d) { return std::vector<double>{d.grr_pct_err_upper, d.grr_pct_err_lower}; }, true);
        f += "\n[GRR_PCT_ERR_MAX/MIN]\n";
        f += text("%s\t", "     pct_err_max") + fig("%13f", 13, entry(T->pGrrPctErrMax(), col)) + "% (exp.<= 100%)\n";
        f += text("%s\t", "     pct_err_min") + fig("%13f", 13, entry(T->pGrrPctErrMin(), col)) + "% (exp.>=-100%)\n";
        f += text("%s\t%s\n", "     grr", kGrrResultStr[std::clamp(T->grr_result(), 0, 2)]);
        f += "\n[GRR_GROUP_AVG]\n";
        f += text("%s\t", "group_avg_golden") + fig("%13f", 13, entry(T->pGroupAverage_golden(), col)) + "\n";
        f += text("%s\t", "       group_avg") + fig("%13f", 13, entry(T->pGroupAverage(), col)) + "\n";
    }

    std::string& r = strSummary_grr;
    r = "GRR Summary\n";
    grr_tester* G = grrManager->getGoldenTester();
    for (unsigned k = 0; k < grrManager->getTesterCount(); ++k) {
        grr_tester* t = grrManager->testerAt(k);
        // Every tester but the golden one: a target named like "HALL-3" is one too.
        if (!t || t == G) continue;
        r += text("\nTesterID: %s [%s tester]\n\n", t->tester_name(), kTesterTypeStr[t->tester_type() & 3]);
        r += text("\tGRR Result     : %7s\n", kGrrResultStr[std::clamp(t->grr_result(), 0, 2)]);
        r += "\tGRR PCT_ERR_MIN: " + fig("%7.1f", 7, t->grr_pct_err_min()) + "\n";
        r += "\tGRR PCT_ERR_MAX: " + fig("%7.1f", 7, t->grr_pct_err_max()) + "\n\n";
        grr_sample* s = firstGoldenSample(t);
        int width = 3;
        std::vector<unsigned> items;
        for (unsigned c = 0; s && c < s->data_count(); ++c) {
            const grr_data* d = s->dataAt(c);
            if (!d->isGrrParam) continue;
            items.push_back(c);
            width = std::max(width, int(strlen(d->title ? d->title : "")));
        }
        const std::string first = text("\t%%-%ds\t", width);
        r += text(first.c_str(), "FOM");
        for (const char* h : {" grr_result", "pct_err_min", "pct_err_max"}) r += text("%s\t", h);
        r += "\n\t-------------\n";
        for (unsigned c : items) {
            const grr_data* d = s->dataAt(c);
            r += text(first.c_str(), d->title ? d->title : "");
            r += text("%11s\t", kGrrResultStr[std::clamp(entry2(t->pGrrResult(), c), 0, 2)]);
            r += fig("%11.1f", 11, entry(t->pGrrPctErrMin(), c)) + "\t" + fig("%11.1f", 11, entry(t->pGrrPctErrMax(), c)) +
                 "\t\n";
        }
        r += "\n";
    }
}

// ---- gestures

void graph_grr::mouseMoveEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    mouseX = at.x();
    mouseY = height() - at.y();
    isMouseIn = true;
    // A drag stores the point without redrawing.
    if (event->buttons() == Qt::NoButton) update();
    else isMouseDown = false;
}

void graph_grr::enterEvent(QEnterEvent* event) {
    const QPointF at = event->position();
    mouseX = at.x();
    mouseY = height() - at.y();
    isMouseIn = true;
    update();
}

void graph_grr::leaveEvent(QEvent*) {
    mouseX = mouseY = -1;
    isMouseIn = false;
    update();
}

void graph_grr::mousePressEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    mouseDownX = at.x();
    mouseDownY = height() - at.y();
    isMouseDown = true;
    if (event->button() != Qt::RightButton) {
        update();
        return;
    }
    mouseX = mouseDownX;
    mouseY = mouseDownY;
    delete popupMenu;
    popupMenu = new QMenu(QStringLiteral("Contextual Menu"), this);
    QAction* copy = popupMenu->addAction(QStringLiteral("Copy Graph to ClipBoard"));
    connect(copy, &QAction::triggered, this, [this] { copyToClipboard(this); });
    popupMenu->popup(event->globalPosition().toPoint());
    event->accept();
    update();
}

void graph_grr::mouseReleaseEvent(QMouseEvent* event) {
    // Only a left release ends the press a right click began.
    if (event->button() == Qt::LeftButton) isMouseDown = false;
    const QPointF at = event->position();
    mouseX = at.x();
    mouseY = height() - at.y();
    update();
}

void graph_grr::keyPressEvent(QKeyEvent*) {}
void graph_grr::wheelEvent(QWheelEvent*) {}

void graph_grr::dragEnterEvent(QDragEnterEvent* event) {
    if (offersFiles(event->mimeData()) && (event->possibleActions() & Qt::LinkAction)) {
        isDragAndDropEntered = true;
        event->setDropAction(Qt::LinkAction);
        event->accept();
        update();
    } else {
        event->ignore();
    }
}

void graph_grr::dragMoveEvent(QDragMoveEvent* event) {
    const QPointF at = event->position();
    const double x = std::round(at.x()), y = std::round(height() - at.y());
    if (x != mouseX || y != mouseY) {
        mouseX = x;
        mouseY = y;
        update();
    }
    event->accept();
}

void graph_grr::dragLeaveEvent(QDragLeaveEvent*) {
    isDragAndDropEntered = false;
    mouseX = mouseY = -1;
    update();
}

void graph_grr::dropEvent(QDropEvent* event) {
    isDragAndDropEntered = false;
    if (!(event->possibleActions() & Qt::LinkAction) || !offersFiles(event->mimeData())) {
        event->ignore();
        update();
        return;
    }
    const std::vector<std::string> paths = morvell::page::localFiles(event->mimeData());
    event->setDropAction(Qt::LinkAction);
    event->accept();
    loadFiles(paths, true);
}
