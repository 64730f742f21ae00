// Chart drawing helpers and the log text box.
#include "nk_graphics.h"

#include <cmath>

#include "draw/pf_draw.h"
#include "nk_error.h"
#include "textview/pf_textview.h"

namespace {
bool anyNaN(std::initializer_list<double> values) {
    for (double v : values)
        if (std::isnan(v)) return true;
    return false;
}
}  // namespace

double nkGrph_getTextWidth(pf::draw::Context* ctx, const char* text) {
    NK_ASSERT_FN(ctx != nullptr);
    return text ? ctx->textWidth(text) : 0.0;
}

void nkGrph_drawText(pf::draw::Context* ctx, const char* text, int alignment, double x, double y) {
    NK_ASSERT_FN(ctx != nullptr);
    if (!text) return;
    const float width = static_cast<float>(ctx->textWidth(text));
    switch (alignment) {
        case 0: ctx->drawText(text, x - width / 2.0f, y, 0.0); break;
        case 2: ctx->drawText(text, x - width, y, 0.0); break;
#ifndef NK_MORVELL_BUILD
        // Morvell's graphs have no turned text: there 3 is one more "start at x".
        case 3: ctx->drawText(text, x, y, M_PI / 2.0); break;
#endif
        default: ctx->drawText(text, x, y, 0.0); break;
    }
}

void nkGrph_drawLine(pf::draw::Context* ctx, double x1, double y1, double x2, double y2) {
    NK_ASSERT_FN(ctx != nullptr);
    if (anyNaN({x1, y1, x2, y2})) return;
    ctx->setAntialias(false);
    ctx->strokeLine(x1, y1, x2, y2);
    ctx->setAntialias(true);
}

void nkGrph_drawRectangle(pf::draw::Context* ctx, double x, double y, double width, double height) {
    NK_ASSERT_FN(ctx != nullptr);
    if (anyNaN({x, y, width, height})) return;
    // White box first, then the frame, so the fill does not cover two of its sides.
    ctx->saveState();
    ctx->setFillColor(1, 1, 1, 1);
    ctx->fillRect(x, y, width, height);
    ctx->restoreState();
    ctx->setAntialias(false);
    ctx->strokeRect(x, y, width, height);
    ctx->setAntialias(true);
}

void nkGrph_drawCircle(pf::draw::Context* ctx, double cx, double cy, double radius) {
    NK_ASSERT_FN(ctx != nullptr);
    if (anyNaN({cx, cy, radius})) return;
    ctx->strokeEllipse(cx, cy, radius + 4, radius + 4);
}

double nkGrph_calculateTickStep(int minTickCount, double* firstTick, double low, double high) {
    if (low == kNK_noValue) {
        NK_REPORT_FN(kNKErr_invalidParam, "bound_low!=NA");
        return 0.0;
    }
    if (high == kNK_noValue) {
        NK_REPORT_FN(kNKErr_invalidParam, "bound_high!=NA");
        return 0.0;
    }
    if (!std::isfinite(low) || !std::isfinite(high)) {
        NK_REPORT_FN(kNKErr_invalidParam, "isfinite(bound_low) && isfinite(bound_high)");
        return 0.0;
    }
    if (!(high > low)) {
        NK_REPORT_FN(kNKErr_invalidParam, "bound_high>bound_low");
        return 0.0;
    }
    if (minTickCount < 1) {
        NK_REPORT_FN(kNKErr_invalidParam, "tickCountMin>0");
        return 0.0;
    }

    // The starting step is the power of ten of the larger magnitude.
    const double magnitude = std::fmax(std::fabs(low), std::fabs(high));
    double m = magnitude;
    int e = 0;
    while (m > 10) {
        m /= 10;
        ++e;
    }
    while (m < 1) {
        m *= 10;
        --e;
    }
    double step = std::pow(10.0, e);
    const double span = (low * high < 0) ? magnitude : high - low;

    static const double divisors[] = {2, 2.5, 2};
    for (int i = 0; i < 90; ++i) {
        if (std::trunc(span / step) > minTickCount) break;
        step /= divisors[i % 3];
    }
    const double result = static_cast<float>(step);
    // Bounds near the ends of the double range give a step that single precision
    // holds only as 0 or infinity; a caller stepping by it would never arrive.
    if (!(result > 0) || !std::isfinite(result)) {
        NK_REPORT_FN(kNKErr_invalidParam, "step>0 && isfinite(step)");
        return 0.0;
    }

    if (firstTick) {
        // Computed directly: counting up from 0 in steps takes forever far from 0.
        double first = low < 0 ? std::ceil(low / result) * result : (std::floor(low / result) + 1) * result;
        if (low >= 0 && !(first > low)) first = low + result;
        *firstTick = first;
    }
    return result;
}

// ---------------------------------------------------------------------------
// ONK_TextBox

ONK_TextBox::ONK_TextBox() : view_(std::make_unique<pf::textview::TextView>()) {
    view_->setMaxLines(kMaxLines);
    view_->setTabStop(24);
    view_->setReadOnly(true);
}

ONK_TextBox::~ONK_TextBox() = default;

void ONK_TextBox::configureTextFormat(const char* fontName, double fontSize, double /*width*/) {
    std::lock_guard<std::mutex> guard(lock_);
    pf::textview::TextView* v = view_.get();
    const std::string name = fontName ? fontName : "";
    v->post([v, name, fontSize] {
        v->setFont(name.c_str(), fontSize);
        v->setReadOnly(true);
        v->setNoWrap();
        v->setScrollBarsAsNeeded();
    });
}

void ONK_TextBox::setHidden(bool hidden) {
    std::lock_guard<std::mutex> guard(lock_);
    pf::textview::TextView* v = view_.get();
    v->post([v, hidden] { v->setHidden(hidden); });
}

void ONK_TextBox::reset() {
    std::lock_guard<std::mutex> guard(lock_);
    // Appends made before the reset but still queued for the GUI thread belong
    // to the text being cleared: they are dropped when their turn comes.
    ++generation_;
    pf::textview::TextView* v = view_.get();
    v->post([v] { v->clear(); });
}

void ONK_TextBox::appendStr(const char* text) { appendStr(text, 2); }

void ONK_TextBox::appendStr(const char* text, int scrollType) {
    if (!text || !*text) return;
    std::lock_guard<std::mutex> guard(lock_);
    pf::textview::TextView* v = view_.get();
    std::string copy(text);
    const u64 generation = generation_;
    v->post([this, v, copy = std::move(copy), scrollType, generation] {
        if (generation != generation_) return;
        v->append(copy);
        if (scrollType == 1)
            v->scrollToTop();
        else if (scrollType == 2 && copy.back() == '\n')
            v->scrollToEnd();
        v->redraw();
    });
}
