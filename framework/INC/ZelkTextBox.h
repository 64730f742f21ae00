// The log text box of the tool's pages: a read-only, scrolling text view that
// never wraps, with tab stops every 24 points. Appends and resets from several
// threads do not interleave within one text; drawing stays on the GUI thread.
// Texts are bytes, one character each (Latin-1).
#pragma once

#include "nk_graphics.h"

namespace pf::textview {
class TextView;
}

// The view the layouts place: the library's log pane without its line cap.
class ZelkNSTextView : public ONK_TextBox {
public:
    ZelkNSTextView();

    void appendStr(const char* text);
    // scrollType 1: to the top; 2: to the end when the text ends with a newline; other: none.
    void appendStr(const char* text, int scrollType);
};

// The same five operations on any plain text view.
void ZelkTextBox_configureTextFormat(pf::textview::TextView* view, const char* fontName, double fontSize,
                                     double width);
void ZelkTextBox_setHidden(pf::textview::TextView* view, bool hidden);
void ZelkTextBox_reset(pf::textview::TextView* view);
void ZelkTextBox_appendStr(pf::textview::TextView* view, const char* text);
void ZelkTextBox_appendStr(pf::textview::TextView* view, const char* text, int scrollType);

// One character per byte: bytes 0x80-0xFF become their two-byte UTF-8 form.
std::string ZelkTextBox_latin1ToUtf8(const char* text);
