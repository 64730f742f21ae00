// The trend graph: the values of one item per serial number across up to six
// test stages, one column per loaded stage, joined stage to stage, with the
// item's limits of each stage and a legend of the highlighted serial numbers.
// With fewer than two stage files it shows six drop zones, one per stage.
// Setters, drawing and copy hold one process-wide mutex, never nested.
#pragma once

#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QWidget>

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "ZelkCsv.h"

class QMimeData;

namespace pf::draw {
class Context;
}

inline constexpr int kTrend_stageCount = 6;

// One serial number of the trend page. The texts are the entry's own: a stage
// table may be released while the entry lives.
struct tTrend_entry {
    int index = 0;  // position in the page's list, from 0
    std::string sn;  // as written in the first valid stage
    bool isSelected = false;
    bool hasColor = false;
    float r = 0, g = 0, b = 0;
    std::array<double, kTrend_stageCount> value{};  // kZelk_noValue for an empty stage
    double max = kZelk_noValue, min = kZelk_noValue, span = kZelk_noValue, avg = kZelk_noValue, stdev = kZelk_noValue;
};

// A stage as the graph draws it.
struct tTrend_stepInfo {
    bool isValid = false;
    double upperLimit = kZelk_noValue;
    double lowerLimit = kZelk_noValue;
};

// The grid step of a value range: a power of ten from the larger magnitude (not
// from the span), divided by 2, 2.5, 2, ... while it leaves one step or less.
double graph_trend_step(double lo, double hi);
// Decimals of a label of value v: the smallest of 0, 3, 6, ... with 10^d * |v| >= 1
// at which v prints unrounded (at most 9 unless |v| needs more to show at all); 0 for 0.
int graph_trend_decimals(double v);

class evtSink_viewTrend {
public:
    virtual ~evtSink_viewTrend() = default;
    // Files dropped on stage `stage` (0..5); true when the drop was taken.
    virtual bool OnFileDrop(const QMimeData* pasteboard, int stage) = 0;
};

class graph_trend : public QWidget {
public:
    // The palette of the highlighted serial numbers, by rank among them.
    static constexpr int kPaletteSize = 25;
    static const float kPalette[kPaletteSize][3];

    explicit graph_trend(QWidget* parent = nullptr);

    // The shown name of stage `index`: up to 64 characters, upper case, cut at its last ".".
    void setFileName(const char* name, int index);
    // The item's title (copied), the six stages, and `count` entries in display
    // order followed by the maximum, minimum, average and standard-deviation
    // rows. The entries stay the page's: it hands over a new list before it
    // frees the one given here.
    void setData_title(const char* title, const tTrend_stepInfo* steps, int count,
                       const std::vector<const tTrend_entry*>& data);
    // Redraws after the page changed a highlight or a colour in place.
    void redraw() { update(); }

    // The drawing at the view's size; holds the mutex while drawing.
    QImage render();
    // The drawing as TIFF on the pasteboard (rendered, not grabbed: a grab
    // would paint, and painting takes the mutex).
    void copyToClipboard(QObject* sender);

    evtSink_viewTrend* evtSink() const { return _evtSink; }
    void setEvtSink(evtSink_viewTrend* sink) { _evtSink = sink; }

    // Read by the page and the tests.
    std::string fileName(int index) const;
    int csvFileCount() const;
    bool dragEntered() const { return _isDragAndDropEntered; }
    // Zone i in drawing coordinates (origin bottom left) for the view's size.
    QRectF dropArea(int index) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void drawRect(pf::draw::Context& ctx);
    void drawRect_trend(pf::draw::Context& ctx);
    void drawDropZones(pf::draw::Context& ctx);
    QPointF toDrawing(const QPointF& at) const { return QPointF(at.x(), height() - at.y()); }

    static std::mutex _gMtx;

    bool _isMouseIn = false;
    QPointF _mousePt{-1, -1};
    bool _isMouseDown = false;
    QPointF _mouseDownPt{-1, -1};
    bool _isDragAndDropEntered = false;
    std::array<QRectF, kTrend_stageCount> _rtDropArea{};
    std::array<std::string, kTrend_stageCount> _fileName{};
    int _csvFileCount = 0;
    std::string _title;
    std::array<tTrend_stepInfo, kTrend_stageCount> _stepInfo{};
    int _dataCount = 0;
    std::vector<const tTrend_entry*> _data;
    evtSink_viewTrend* _evtSink = nullptr;
};
