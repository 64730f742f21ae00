// A multi-line, scrolling text view for log panes.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace pf::textview {

// Views belong to the GUI thread, which needs a QApplication.
class TextView {
public:
    TextView();
    ~TextView();
    TextView(const TextView&) = delete;
    TextView& operator=(const TextView&) = delete;

    // The widget to place in a window (it scrolls by itself).
    QWidget* widget() const;

    // Runs fn on the view's thread: at once when called there, else queued in
    // call order. A queued call is dropped when the view is gone by then.
    void post(std::function<void()> fn);

    void setFont(const char* family, double pointSize);
    void setReadOnly(bool readOnly);
    // Lines never wrap; long lines scroll sideways.
    void setNoWrap();
    void setScrollBarsAsNeeded();
    // Oldest lines are dropped beyond this count.
    void setMaxLines(int lines);
    void setTabStop(double distance);
    void setHidden(bool hidden);

    void clear();
    void append(const std::string& text);
    void scrollToTop();
    void scrollToEnd();
    void redraw();

    std::string text() const;
    int lineCount() const;
    int scrollPosition() const;
    int scrollMaximum() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace pf::textview
