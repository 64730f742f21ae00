// The log text box.
#include "ZelkTextBox.h"

#include <array>
#include <functional>
#include <mutex>
#include <string>

#include "textview/pf_textview.h"

std::string ZelkTextBox_latin1ToUtf8(const char* text) {
    std::string out;
    if (!text) return out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p < 0x80) {
            out.push_back(static_cast<char>(*p));
        } else {
            out.push_back(static_cast<char>(0xC0 | (*p >> 6)));
            out.push_back(static_cast<char>(0x80 | (*p & 0x3F)));
        }
    }
    return out;
}

ZelkNSTextView::ZelkNSTextView() {
    // A page's summary is shown whole, however long.
    view()->setMaxLines(0);
}

void ZelkNSTextView::appendStr(const char* text) { appendStr(text, 2); }

void ZelkNSTextView::appendStr(const char* text, int scrollType) {
    if (!text || !*text) return;
    ONK_TextBox::appendStr(ZelkTextBox_latin1ToUtf8(text).c_str(), scrollType);
}

namespace {

// The per-view lock of the plain views: one of a few mutexes chosen by the view's
// address, so two threads working on one view always meet at the same one.
std::mutex& viewLock(const pf::textview::TextView* view) {
    static std::array<std::mutex, 16> locks;
    return locks[(reinterpret_cast<uintptr_t>(view) >> 4) % locks.size()];
}

}  // namespace

void ZelkTextBox_configureTextFormat(pf::textview::TextView* view, const char* fontName, double fontSize,
                                     double /*width*/) {
    if (!view) return;
    const std::string name = fontName ? fontName : "";
    view->post([view, name, fontSize] {
        view->setFont(name.c_str(), fontSize);
        view->setReadOnly(true);
        view->setNoWrap();
        view->setScrollBarsAsNeeded();
        view->setTabStop(24);
    });
}

void ZelkTextBox_setHidden(pf::textview::TextView* view, bool hidden) {
    if (!view) return;
    view->post([view, hidden] { view->setHidden(hidden); });
}

void ZelkTextBox_reset(pf::textview::TextView* view) {
    if (!view) return;
    std::lock_guard<std::mutex> guard(viewLock(view));
    view->post([view] { view->clear(); });
}

void ZelkTextBox_appendStr(pf::textview::TextView* view, const char* text) { ZelkTextBox_appendStr(view, text, 2); }

void ZelkTextBox_appendStr(pf::textview::TextView* view, const char* text, int scrollType) {
    if (!view || !text || !*text) return;
    std::lock_guard<std::mutex> guard(viewLock(view));
    std::string copy = ZelkTextBox_latin1ToUtf8(text);
    const bool endsLine = copy.back() == '\n';
    view->post([view, copy = std::move(copy), scrollType, endsLine] {
        view->append(copy);
        if (scrollType == 1)
            view->scrollToTop();
        else if (scrollType == 2 && endsLine)
            view->scrollToEnd();
        view->redraw();
    });
}
