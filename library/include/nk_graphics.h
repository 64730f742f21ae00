// Drawing helpers for the station's charts and the scrolling log text box.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "nk_typedef.h"

namespace pf::draw {
class Context;
}
namespace pf::textview {
class TextView;
}

// Coordinates and sizes are in the context's units, origin at the bottom left.
double nkGrph_getTextWidth(pf::draw::Context* ctx, const char* text);
// alignment 0: centred on x; 1: starting at x; 2: ending at x; 3: turned a
// quarter turn anticlockwise and starting at (x, y); other values as 1.
void nkGrph_drawText(pf::draw::Context* ctx, const char* text, int alignment, double x, double y);
void nkGrph_drawLine(pf::draw::Context* ctx, double x1, double y1, double x2, double y2);
void nkGrph_drawRectangle(pf::draw::Context* ctx, double x, double y, double width, double height);
void nkGrph_drawCircle(pf::draw::Context* ctx, double cx, double cy, double radius);
// A round axis step giving more than minTickCount ticks between low and high;
// 0.0 (reported) for bounds that are not set, not finite or not increasing.
double nkGrph_calculateTickStep(int minTickCount, double* firstTick, double low, double high);

// The log pane: a read-only text view that appends from any thread, keeps tab
// stops every 24 points and at most kMaxLines lines, and follows the newest line.
class ONK_TextBox {
public:
    static constexpr int kMaxLines = 20000;

    ONK_TextBox();
    ~ONK_TextBox();
    ONK_TextBox(const ONK_TextBox&) = delete;
    ONK_TextBox& operator=(const ONK_TextBox&) = delete;

    // The platform view, to be placed in a window.
    pf::textview::TextView* view() const { return view_.get(); }

    void configureTextFormat(const char* fontName, double fontSize, double width);
    void setHidden(bool hidden);
    void reset();
    void appendStr(const char* text);
    // scrollType 1: to the top; 2: to the end when the text ends with a line feed; other: none.
    void appendStr(const char* text, int scrollType);

private:
    std::unique_ptr<pf::textview::TextView> view_;
    std::mutex lock_;
    // Counts resets; read by queued appends on the GUI thread.
    std::atomic<u64> generation_{0};
};
