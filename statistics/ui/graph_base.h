// The tool's shared graph widgets: the graph container that copies or saves what
// is drawn inside it, the coloured category toggle, the content of the colour
// pop-up, and a plain white drawing surface.
#pragma once

#include <QColor>
#include <QPushButton>
#include <QWidget>

#include <memory>
#include <mutex>
#include <string>

class QImage;
class QLabel;
class QSlider;
class CNK_csv;

// Pictures of graphs: the pasteboard takes TIFF only; files are JPEG 2000
// written whole into the application's folder as "<name>.jpeg" (a "/" of the
// name becomes "_", so a title never leaves that folder). False on failure,
// which is also written to the system log.
bool graph_copyImageToClipboard(const QImage& image);
bool graph_exportImage(const QImage& image, const char* name);
// The path an exported picture of `name` goes to.
std::string graph_exportPath(const char* name);

class graph_base : public QWidget {
public:
    explicit graph_base(QWidget* parent = nullptr);

    // The view and everything inside it, as the user sees it.
    void copyToClipboard(QObject* sender);
    void exportImage(const char* name);
};

class ZelkCategoryButton;

class evtSink_ZelkCategoryButton {
public:
    virtual ~evtSink_ZelkCategoryButton() = default;
    virtual void OnCB_rightClick(ZelkCategoryButton* button) = 0;
};

// A checkable button filled with its category's colour; the page keeps the
// category's row in its tag (the "tag" property) and its selection in the state.
class ZelkCategoryButton : public QPushButton {
public:
    explicit ZelkCategoryButton(QWidget* parent = nullptr);

    QColor backGroundColor() const;
    void setBackGroundColor(const QColor& color);
    evtSink_ZelkCategoryButton* eventSink() const { return _eventSink; }
    void setEventSink(evtSink_ZelkCategoryButton* sink) { _eventSink = sink; }
    int tag() const { return _tag; }
    void setTag(int tag) { _tag = tag; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    mutable std::mutex _colorLock;
    QColor _backGroundColor;  // invalid: none set
    evtSink_ZelkCategoryButton* _eventSink = nullptr;
    int _tag = 0;
};

// The colour pop-up's content: a label and the red, green and blue sliders (0 to 255).
class categoryView : public QWidget {
public:
    explicit categoryView(QWidget* parent = nullptr);
    void awakeFromResource();

    QLabel* label = nullptr;
    QSlider* slider_r = nullptr;
    QSlider* slider_g = nullptr;
    QSlider* slider_b = nullptr;
};

// A white surface that owns a library CSV table nothing fills.
class histogramView : public QWidget {
public:
    explicit histogramView(QWidget* parent = nullptr);
    ~histogramView() override;
    CNK_csv* csv() const { return _csv.get(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::unique_ptr<CNK_csv> _csv;
};
