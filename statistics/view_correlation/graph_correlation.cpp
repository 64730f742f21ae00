// The correlation graph's widget: drawing through the model, and the user's gestures.
#include "graph_correlation.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "draw/pf_draw.h"
#include "graph_base.h"

namespace {

bool offersFiles(const QMimeData* data) {
    if (!data || !data->hasUrls()) return false;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) return true;
    return false;
}

}  // namespace

graph_correlation::graph_correlation(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    _popupMenu = new QMenu(QStringLiteral("Contextual Menu"), this);
    QAction* copy = _popupMenu->addAction(QStringLiteral("Copy Graph to ClipBoard"));
    connect(copy, &QAction::triggered, this, [this] { copyToClipboard(this); });
    QAction* pairs = _popupMenu->addAction(QStringLiteral("Export Data Pair"));
    connect(pairs, &QAction::triggered, this, [this] { exportDataPair(); });
}

graph_correlation::~graph_correlation() = default;

bool graph_correlation::setData_columnCount(int columnCount, const tCsv_columnItemInfo* columns0,
                                            const tCsv_columnItemInfo* columns1,
                                            const tCsv_categoryDataInfo* categories0,
                                            const tCsv_categoryDataInfo* categories1) {
    std::lock_guard<std::mutex> lock(_mtx);
    return _model.setData_columnCount(columnCount, columns0, columns1, categories0, categories1);
}

void graph_correlation::clearData() {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        _model.clearData();
    }
    update();
}

void graph_correlation::setFileName(const char* name, int index, int state) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        _model.setFileName(name, index, state);
    }
    update();
}

bool graph_correlation::setColumnToDisplay_columnIndex(int column, int decimalPoint, int sigmaFilterAt,
                                                       bool displayTestLimit, bool resetBounds) {
    bool result;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        result = _model.setColumnToDisplay_columnIndex(column, decimalPoint, sigmaFilterAt, displayTestLimit, resetBounds);
    }
    update();
    return result;
}

void graph_correlation::_draw_data(bool resetBounds) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        _model.drawData(resetBounds);
    }
    update();
}

double graph_correlation::boundHigh() {
    std::lock_guard<std::mutex> lock(_mtx);
    return _model.boundHigh();
}

double graph_correlation::boundLow() {
    std::lock_guard<std::mutex> lock(_mtx);
    return _model.boundLow();
}

double graph_correlation::stdev() {
    std::lock_guard<std::mutex> lock(_mtx);
    return _model.stdev();
}

double graph_correlation::displayBoundHigh() {
    std::lock_guard<std::mutex> lock(_mtx);
    return _model.displayBoundHigh();
}

double graph_correlation::displayBoundLow() {
    std::lock_guard<std::mutex> lock(_mtx);
    return _model.displayBoundLow();
}

std::string graph_correlation::summaryText() {
    std::lock_guard<std::mutex> lock(_mtx);
    return _model.summaryText();
}

QImage graph_correlation::render() {
    std::lock_guard<std::mutex> lock(_mtx);
    pf::draw::Context ctx(std::max(1, width()), std::max(1, height()));
    _model.render(ctx, _state);
    return ctx.image().copy();
}

void graph_correlation::paintEvent(QPaintEvent*) {
    const QImage image = render();
    QPainter p(this);
    p.drawImage(0, 0, image);
}

void graph_correlation::copyToClipboard(QObject*) { graph_copyImageToClipboard(render()); }

void graph_correlation::exportDataPair(FILE* out) {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        text = _model.dataPairText();
    }
    if (text.empty()) return;
    std::fwrite(text.data(), 1, text.size(), out ? out : stdout);
    std::fflush(out ? out : stdout);
}

void graph_correlation::exportImage() {
    std::string name;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        name = _model.data().name;
    }
    graph_exportImage(render(), name.c_str());
}

void graph_correlation::setMouse(double x, double y) {
    _state.mouseX = x;
    _state.mouseY = y;
}

void graph_correlation::mouseMoveEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    setMouse(at.x(), height() - at.y());
    // A move with a button held is a drag of the mouse, not a click.
    if (event->buttons() != Qt::NoButton) _isMouseDown = false;
    update();
}

void graph_correlation::enterEvent(QEnterEvent*) {
    _isMouseIn = true;
    update();
}

void graph_correlation::leaveEvent(QEvent*) {
    _isMouseIn = false;
    setMouse(-1, -1);
    update();
}

void graph_correlation::mousePressEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    _mouseDownPt[0] = at.x();
    _mouseDownPt[1] = height() - at.y();
    if (event->button() != Qt::RightButton) {
        _isMouseDown = true;
        update();
        return;
    }
    bool pairs;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        pairs = _model.hasPairs() && _model.data().count > 0;
    }
    if (pairs) _popupMenu->popup(event->globalPosition().toPoint());
    event->accept();
}

void graph_correlation::keyPressEvent(QKeyEvent* event) {
    std::printf("keyDown: %s\n", event->text().toUtf8().constData());
    if (event->text() == QStringLiteral("n")) update();
}

void graph_correlation::dragEnterEvent(QDragEnterEvent* event) {
    if (!offersFiles(event->mimeData()) || !(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();
        return;
    }
    _state.dragEntered = true;
    const QPointF at = event->position();
    setMouse(std::round(at.x()), std::round(height() - at.y()));
    if (_evtSink) _evtSink->OnDragEvent(true);
    event->setDropAction(Qt::CopyAction);
    event->accept();
    update();
}

void graph_correlation::dragMoveEvent(QDragMoveEvent* event) {
    const QPointF at = event->position();
    const double x = std::round(at.x()), y = std::round(height() - at.y());
    if (x != _state.mouseX || y != _state.mouseY) {
        setMouse(x, y);
        if (_evtSink) _evtSink->OnDragEvent(_state.dragEntered);
        update();
    }
    event->accept();
}

void graph_correlation::dragLeaveEvent(QDragLeaveEvent*) {
    _state.dragEntered = false;
    setMouse(-1, -1);
    if (_evtSink) _evtSink->OnDragEvent(false);
    update();
}

void graph_correlation::dropEvent(QDropEvent* event) {
    bool taken = true;
    if (event->possibleActions() & Qt::CopyAction) {
        const QPointF at = event->position();
        int zone;
        {
            std::lock_guard<std::mutex> lock(_mtx);
            zone = _model.dropZoneAt(at.x(), height() - at.y());
        }
        if (zone >= 0 && _evtSink) taken = _evtSink->OnFileDrop(event->mimeData(), zone);
    }
    _state.dragEntered = false;
    if (_evtSink) _evtSink->OnDragEvent(false);
    if (taken) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
    update();
}
