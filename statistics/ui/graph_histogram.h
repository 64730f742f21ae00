// The histogram graph: one item of a loaded table drawn as bars per category,
// with zoom and pan by the wheel, a mouse readout, file drops and a context menu.
// Data preparation and drawing hold the graph's own mutex.
#pragma once

#include <QImage>
#include <QWidget>

#include <memory>
#include <mutex>
#include <vector>

#include "graph_histogram_model.h"

class QMenu;
class QMimeData;

class evtSink_graphHistogram {
public:
    virtual ~evtSink_graphHistogram() = default;
    // The dropped file names; true when the drop was taken.
    virtual bool OnFileDrop(const QMimeData* pasteboard) = 0;
    virtual void OnSaveCurrentSetting() = 0;
};

class graph_histogram : public QWidget {
public:
    explicit graph_histogram(QWidget* parent = nullptr);
    ~graph_histogram() override;

    bool setData_columnCount(int columnCount, const tCsv_columnItemInfo* columns, int categoryCount,
                             const tCsv_categoryDataInfo* categories, const bool* selection);
    // Forgets the table's columns and categories (before the table is released) and redraws.
    void clearData();
    bool setColumnToDisplay_columnIndex(int column, bool lastOnly, bool passOnly, int decimalPoint,
                                        int bucketsPerStdev, int sigmaLineAt, bool displayTestLimit,
                                        bool resetWindow);
    void setExternalTitle(const char* title);
    void setExternalBounds_boundHigh(double high, double low, double stdev);
    std::string summaryText();

    void copyToClipboard(QObject* sender);
    // As "<item title>.jpeg" in the application's folder.
    void exportImage();
    void saveSetting(QObject* sender);

    // The drawing at the view's size, as the view shows it.
    QImage render();

    evtSink_graphHistogram* evtSink = nullptr;
    bool dragAndDropEnabled = true;
    void setColorTable(std::vector<tHist_rgb>* table) { _model.colorTable = table; }
    void setZoomEnabled(bool on) { _model.zoomEnabled = on; }
    void setDetailedStatStringEnabled(bool on) { _model.detailedStatStringEnabled = on; }
    int categoryCount() const { return _model._categoryCount; }
    const tCsv_categoryData* categoryData() const { return _model._categoryData.data(); }
    const bool* categorySelection() const { return _model._categorySelection; }
    bool normalCurve() const { return _state.normalCurve; }
    bool dragEntered() const { return _state.dragEntered; }
    // The model, for the page's and the tests' reading.
    const graph_histogramModel& model() const { return _model; }
    QMenu* lastContextMenu() const { return _popupMenu; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setMouse(double x, double y);

    std::mutex _mtx;
    graph_histogramModel _model;
    tHist_viewState _state;
    QMenu* _popupMenu = nullptr;
};
