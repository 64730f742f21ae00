// The correlation graph: two drop zones until both inputs are loaded, then the
// square scatter plot of one item with its fit, limits and a cross-hair, and a
// context menu that copies the picture or lists the pairs. Preparation and
// drawing hold the graph's own mutex.
#pragma once

#include <QImage>
#include <QWidget>

#include <cstdio>
#include <mutex>
#include <string>

#include "graph_correlation_model.h"

class QMenu;
class QMimeData;

class evtSink_viewCorrelation {
public:
    virtual ~evtSink_viewCorrelation() = default;
    // Files dropped on zone `index` (0: X, 1: Y); true when the drop was taken.
    virtual bool OnFileDrop(const QMimeData* pasteboard, int index) = 0;
    virtual void OnDragEvent(bool dragEntered) = 0;
};

class graph_correlation : public QWidget {
public:
    explicit graph_correlation(QWidget* parent = nullptr);
    ~graph_correlation() override;

    // `columnCount` is the narrower of the two tables' widths.
    bool setData_columnCount(int columnCount, const tCsv_columnItemInfo* columns0, const tCsv_columnItemInfo* columns1,
                             const tCsv_categoryDataInfo* categories0, const tCsv_categoryDataInfo* categories1);
    // Forgets both tables (before they are released) and redraws.
    void clearData();
    void setFileName(const char* name, int index, int state);
    bool setColumnToDisplay_columnIndex(int column, int decimalPoint, int sigmaFilterAt, bool displayTestLimit,
                                        bool resetBounds);
    void _draw_data(bool resetBounds);

    double boundHigh();
    double boundLow();
    double stdev();
    double displayBoundHigh();
    double displayBoundLow();
    std::string summaryText();

    void copyToClipboard(QObject* sender);
    // The pairs to standard output, or to `out` when given.
    void exportDataPair(FILE* out = stdout);
    // As "<item name>.jpeg" in the application's folder.
    void exportImage();

    // The drawing at the view's size, as the view shows it.
    QImage render();

    evtSink_viewCorrelation* evtSink() const { return _evtSink; }
    void setEvtSink(evtSink_viewCorrelation* sink) { _evtSink = sink; }
    // Never set by the view.
    const bool* categorySelection() const { return _categorySelection; }
    const graph_correlationModel& model() const { return _model; }
    bool dragEntered() const { return _state.dragEntered; }
    QMenu* popupMenu() const { return _popupMenu; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setMouse(double x, double y);

    std::mutex _mtx;
    graph_correlationModel _model;
    tCorr_viewState _state;
    bool _isMouseIn = false;
    bool _isMouseDown = false;
    double _mouseDownPt[2] = {-1, -1};
    QMenu* _popupMenu = nullptr;
    evtSink_viewCorrelation* _evtSink = nullptr;
    const bool* _categorySelection = nullptr;
};
