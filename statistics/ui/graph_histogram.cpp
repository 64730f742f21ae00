// The histogram graph's widget: drawing through the model, and the user's gestures.
#include "graph_histogram.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <cmath>
#include <cstdio>

#include "draw/pf_draw.h"
#include "graph_base.h"

namespace {

// File names on a drag's pasteboard.
bool offersFiles(const QMimeData* data) {
    if (!data || !data->hasUrls()) return false;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) return true;
    return false;
}

}  // namespace

graph_histogram::graph_histogram(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

graph_histogram::~graph_histogram() { delete _popupMenu; }

bool graph_histogram::setData_columnCount(int columnCount, const tCsv_columnItemInfo* columns, int categoryCount,
                                          const tCsv_categoryDataInfo* categories, const bool* selection) {
    std::lock_guard<std::mutex> lock(_mtx);
    return _model.setData_columnCount(columnCount, columns, categoryCount, categories, selection);
}

void graph_histogram::clearData() {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        _model.clearData();
    }
    update();
}

bool graph_histogram::setColumnToDisplay_columnIndex(int column, bool lastOnly, bool passOnly, int decimalPoint,
                                                     int bucketsPerStdev, int sigmaLineAt, bool displayTestLimit,
                                                     bool resetWindow) {
    bool result;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        result = _model.setColumnToDisplay_columnIndex(column, lastOnly, passOnly, decimalPoint, bucketsPerStdev,
                                                       sigmaLineAt, displayTestLimit, resetWindow);
    }
    update();
    return result;
}

void graph_histogram::setExternalTitle(const char* title) {
    std::lock_guard<std::mutex> lock(_mtx);
    _model.setExternalTitle(title);
}

void graph_histogram::setExternalBounds_boundHigh(double high, double low, double stdev) {
    std::lock_guard<std::mutex> lock(_mtx);
    _model.setExternalBounds_boundHigh(high, low, stdev);
}

std::string graph_histogram::summaryText() {
    std::lock_guard<std::mutex> lock(_mtx);
    return _model.summaryText();
}

QImage graph_histogram::render() {
    std::lock_guard<std::mutex> lock(_mtx);
    pf::draw::Context ctx(std::max(1, width()), std::max(1, height()));
    _model.render(ctx, _state);
    return ctx.image().copy();
}

void graph_histogram::paintEvent(QPaintEvent*) {
    const QImage image = render();
    QPainter p(this);
    p.drawImage(0, 0, image);
}

void graph_histogram::copyToClipboard(QObject*) { graph_copyImageToClipboard(render()); }

void graph_histogram::exportImage() {
    std::string title;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        title = _model.itemTitle();
    }
    graph_exportImage(render(), title.c_str());
}

void graph_histogram::saveSetting(QObject*) {
    if (evtSink) evtSink->OnSaveCurrentSetting();
}

void graph_histogram::setMouse(double x, double y) {
    _state.mouseX = x;
    _state.mouseY = y;
}

void graph_histogram::mouseMoveEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    setMouse(at.x(), height() - at.y());
    update();
}

void graph_histogram::enterEvent(QEnterEvent*) { update(); }

void graph_histogram::leaveEvent(QEvent*) {
    setMouse(-1, -1);
    update();
}

void graph_histogram::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::RightButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    delete _popupMenu;
    _popupMenu = new QMenu(QStringLiteral("Contextual Menu"), this);
    std::string title;
    bool item;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        title = _model.itemTitle();
        item = _model.hasData() && _model._externalTitle.empty();
    }
    if (item) {
        QAction* save = _popupMenu->addAction(QStringLiteral("Save Settings for \"%1\"").arg(QString::fromUtf8(title.c_str())));
        connect(save, &QAction::triggered, this, [this] { saveSetting(this); });
    }
    QAction* copy = _popupMenu->addAction(QStringLiteral("Copy Graph to ClipBoard"));
    connect(copy, &QAction::triggered, this, [this] { copyToClipboard(this); });
    _popupMenu->popup(event->globalPosition().toPoint());
    event->accept();
}

void graph_histogram::wheelEvent(QWheelEvent* event) {
    bool changed;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        if (!_model.hasData() || !_model.zoomEnabled) return;
        // The value under the pointer stays in place while zooming.
        const QPointF at = event->position();
        setMouse(at.x(), height() - at.y());
        _model._dispMousePtX = _model.valueAtX(_state.mouseX);
        // One notch (120 eighths of a degree) is a step of 1.
        changed = _model.scrollWheel(event->angleDelta().y() / 120.0, event->angleDelta().x() / 120.0);
    }
    event->accept();
    if (changed) update();
}

void graph_histogram::keyPressEvent(QKeyEvent* event) {
    std::printf("keyDown: %s\n", event->text().toUtf8().constData());
    if (event->text() == QStringLiteral("n")) {
        _state.normalCurve = !_state.normalCurve;
        update();
    }
}

void graph_histogram::dragEnterEvent(QDragEnterEvent* event) {
    if (!dragAndDropEnabled) {
        event->ignore();
        return;
    }
    if (offersFiles(event->mimeData()) && (event->possibleActions() & Qt::CopyAction)) {
        _state.dragEntered = true;
        event->setDropAction(Qt::CopyAction);
        event->accept();
        update();
    } else {
        event->ignore();
    }
}

void graph_histogram::dragMoveEvent(QDragMoveEvent* event) {
    const QPointF at = event->position();
    const double x = std::round(at.x()), y = std::round(height() - at.y());
    if (x != _state.mouseX || y != _state.mouseY) {
        setMouse(x, y);
        update();
    }
    event->accept();
}

void graph_histogram::dragLeaveEvent(QDragLeaveEvent*) {
    _state.dragEntered = false;
    setMouse(-1, -1);
    update();
}

void graph_histogram::dropEvent(QDropEvent* event) {
    if (!dragAndDropEnabled) {
        event->ignore();
        return;
    }
    bool taken = true;
    if ((event->possibleActions() & Qt::CopyAction) && evtSink) taken = evtSink->OnFileDrop(event->mimeData());
    _state.dragEntered = false;
    if (taken) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
    update();
}
