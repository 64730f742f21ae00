// Test-cell buttons, the automation grids and the test-session view on Qt
// widgets. Session threads never touch a widget: they store state under a lock
// and queue work for the GUI thread with a widget as context, so the work is
// dropped once that widget is gone.
#include "nk_view.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QSplitter>
#include <QStyleOptionButton>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "nk_error.h"
#include "textview/pf_textview.h"

namespace {

void requireGuiThread(const char* function) {
    const QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        nkDebug_assertFail(__FILE__, nullptr, function, __LINE__, "on the GUI thread");
}

// A session may call a listener it has just dropped (it calls from a copy of its
// list), so an adapter is never freed while a session could still hold it: once
// detached it stays here, silent, for the life of the process.
template <typename T>
void retireListener(T* adapter) {
    if (!adapter) return;
    adapter->detach();
    static std::mutex lock;
    static std::vector<std::shared_ptr<void>> retired;
    std::lock_guard<std::mutex> guard(lock);
    retired.push_back(std::shared_ptr<T>(adapter));
}

QColor rgbaF(double r, double g, double b, double a) { return QColor::fromRgbF(float(r), float(g), float(b), float(a)); }

// ---- status images, drawn here rather than taken from a theme

constexpr int kImageSize = 16;

QPixmap newImage() {
    QPixmap pm(kImageSize, kImageSize);
    pm.fill(Qt::transparent);
    return pm;
}

QPixmap statusDot(const QColor& colour) {
    QPixmap pm = newImage();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour.darker(140), 1));
    p.setBrush(colour);
    p.drawEllipse(QRectF(2.5, 2.5, 11, 11));
    return pm;
}

QPixmap mixedStateMark() {
    QPixmap pm = newImage();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 90, 90));
    p.drawRoundedRect(QRectF(3, 7, 10, 2.5), 1, 1);
    return pm;
}

// A circular arrow; the other phase of the running image sits in a ring.
QPixmap refreshImage(bool freeStanding) {
    QPixmap pm = newImage();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor ink(70, 70, 70);
    if (!freeStanding) {
        p.setPen(QPen(ink.lighter(180), 1));
        p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    }
    const QRectF arc(4, 4, 8, 8);
    p.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(arc, 30 * 16, 290 * 16);
    // The arrow head at the arc's start (30 degrees, the upper right).
    QPainterPath head;
    head.moveTo(13.2, 3.2);
    head.lineTo(13.4, 7.6);
    head.lineTo(9.4, 6.2);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawPath(head);
    return pm;
}

const QColor kGreenImage(40, 180, 60);
const QColor kRedImage(220, 50, 40);
const QColor kNeutralImage(165, 165, 165);

// kImageList by status, and kStatImageList (the two phases of the running image).
const std::array<QPixmap, 7>& kImageList() {
    static const std::array<QPixmap, 7> list = {
        statusDot(kNeutralImage), statusDot(kRedImage), mixedStateMark(), refreshImage(true),
        statusDot(kGreenImage),   statusDot(kRedImage), statusDot(kRedImage)};
    return list;
}
const std::array<QPixmap, 2>& kStatImageList() {
    static const std::array<QPixmap, 2> list = {refreshImage(true), refreshImage(false)};
    return list;
}

size_t statusSlot(t_nkTestStat st) { return std::min<size_t>(size_t(st), kNkTestStatStr.size() - 1); }

}  // namespace

// ================================================================ test-cell buttons

// The platform button of a test cell; its owner outlives it.
class nkView_cellWidget : public QPushButton {
public:
    explicit nkView_cellWidget(nk_btnTestCell* owner) : _owner(owner) {
        setMinimumSize(90, 40);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    nk_btnTestCell* _owner;
};

void nkView_cellWidget::paintEvent(QPaintEvent*) {
    const std::vector<t_nkTestStat> stat = _owner->statusList();
    const bool connected = _owner->isConnected();
    const QString title = QString::fromStdString(_owner->title());
    const double w = width(), h = height();
    const t_nkTestCellGeometry g = nk_btnTestCell::cellGeometry(stat.size(), w, h);

    QPainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    opt.text.clear();
    opt.icon = QIcon();
    style()->drawControl(QStyle::CE_PushButtonBevel, &opt, &p, this);

    p.setRenderHint(QPainter::Antialiasing);
    if (connected) {
        // Strong enough to tell a busy cell from an idle one across the room.
        p.setPen(Qt::NoPen);
        p.setBrush(rgbaF(1.0, 0.8, 0.0, 0.3));
        p.drawRoundedRect(QRectF(0, 0, w, h), 5, 5);
    }

    // The title sits above the cells, bold to be read from a distance.
    QStyleOptionButton label = opt;
    label.text = title;
    if (g.pitch > 0) label.rect.setBottom(std::max(0, int(g.top) - 1));
    QFont bold = font();
    bold.setBold(true);
    p.setFont(bold);
    label.fontMetrics = QFontMetrics(bold);
    style()->drawControl(QStyle::CE_PushButtonLabel, &label, &p, this);

    if (!(g.pitch > 0)) return;
    for (size_t i = 0; i < stat.size(); ++i) {
        const QRectF cell(g.firstX + double(i) * g.pitch, g.top, g.side, g.side);
        // A soft grey shadow, a little right of and below the cell.
        p.setPen(Qt::NoPen);
        for (int k = 4; k >= 1; --k) {
            const double grow = 0.5 * k;
            p.setBrush(QColor(128, 128, 128, 22));
            p.drawRoundedRect(cell.translated(0.5, 0.5).adjusted(-grow, -grow, grow, grow), g.radius + grow,
                              g.radius + grow);
        }
        QColor colour = rgbaF(0.8, 0.8, 0.8, 1);
        if (stat[i] == kNkTestStat_PASS) colour = rgbaF(0.4, 1.0, 0.2, 1);
        else if (stat[i] == kNkTestStat_FAIL) colour = rgbaF(1.0, 0.4, 0.2, 1);
        p.setBrush(colour);
        p.drawRoundedRect(cell, g.radius, g.radius);
    }
}

void t_callBackInf_btnTestCell::onTestBegin(long s) {
    forward([s](nk_btnTestCell* b) { b->onTestBegin_sIdx(s); });
}
void t_callBackInf_btnTestCell::onTestEnd(long s) {
    forward([s](nk_btnTestCell* b) { b->onTestEnd_sIdx(s); });
}
void t_callBackInf_btnTestCell::onStatusUpdated(long s, long item) {
    forward([s, item](nk_btnTestCell* b) { b->onStatusUpdated_sIdx(s, item); });
}
void t_callBackInf_btnTestCell::onLogStrUpdated(long s, const char* text) {
    forward([s, text](nk_btnTestCell* b) { b->onLogStrUpdated_sIdx(s, text); });
}

nk_btnTestCell::nk_btnTestCell() : _intf(new t_callBackInf_btnTestCell(this)) {
    requireGuiThread(__func__);
    _widget = new nkView_cellWidget(this);
    // The window holding the button may delete it first.
    QObject::connect(_widget, &QObject::destroyed, [this] {
        std::lock_guard<std::mutex> lock(_mtx);
        _widget = nullptr;
    });
}

nk_btnTestCell::~nk_btnTestCell() {
    setTestSession(nullptr);
    retireListener(_intf);
    nkView_cellWidget* widget = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        widget = _widget;
    }
    delete widget;  // its destroyed() handler clears _widget
}

QWidget* nk_btnTestCell::widget() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _widget;
}

void nk_btnTestCell::setTestSession(CNK_testSession* session) {
    CNK_testSession* previous = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        previous = _pTestSession;
        _pTestSession = session;
    }
    // A late call from the previous session only refreshes from the bound one.
    if (previous) previous->removeCallback(_intf);
    if (session) session->setCallback(_intf);
    storeStatuses(-1);
}

CNK_testSession* nk_btnTestCell::testSession() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _pTestSession;
}

void nk_btnTestCell::storeStatuses(long itemIndex) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        if (!_pTestSession) {
            _stat.clear();
        } else {
            const std::vector<CNK_testItem*>& items = _pTestSession->_items;
            const bool all = itemIndex < 0 || _stat.size() != items.size();
            if (!all && size_t(itemIndex) >= items.size()) return;  // no such item: nothing to draw
            _stat.resize(items.size(), kNkTestStat_NA);
            for (size_t i = 0; i < items.size(); ++i)
                if (all || i == size_t(itemIndex)) _stat[i] = items[i]->testStatus();
        }
    }
    setNeedsDisplay();
}

void nk_btnTestCell::setNeedsDisplay() {
    std::lock_guard<std::mutex> lock(_mtx);
    if (!_widget) return;
    QWidget* w = _widget;
    QMetaObject::invokeMethod(w, [w] { w->update(); }, Qt::QueuedConnection);
}

void nk_btnTestCell::onTestBegin_sIdx(long) { storeStatuses(-1); }
void nk_btnTestCell::onTestEnd_sIdx(long) { storeStatuses(-1); }

void nk_btnTestCell::onStatusUpdated_sIdx(long, long itemIndex) {
    if (itemIndex < 0) return;
    storeStatuses(itemIndex);
}

void nk_btnTestCell::onLogStrUpdated_sIdx(long, const char*) {}

bool nk_btnTestCell::isConnected() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _pTestSession && _pTestSession->isNtcpRunning();
}

std::string nk_btnTestCell::title() const {
    std::lock_guard<std::mutex> lock(_mtx);
    // The session's title stays after its tester leaves: a station names its
    // last unit and verdict there until the next unit.
    std::string title = _pTestSession ? _pTestSession->cellTitle() : std::string();
    return title.empty() ? std::string(kDefaultTitle) : title;
}

std::vector<t_nkTestStat> nk_btnTestCell::statusList() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _stat;
}

t_nkTestCellGeometry nk_btnTestCell::cellGeometry(size_t itemCount, double width, double height) {
    t_nkTestCellGeometry g;
    if (itemCount == 0 || !(width > 0) || !(height > 0)) return g;
    const double n = double(itemCount);
    // Large enough to read from the operator's seat, and never taller than half
    // the button, so the title above keeps its room.
    g.pitch = std::min({24.0, 0.9 * width / n, std::max(0.0, (height - 8.0) / 2.0)});
    g.side = 0.6 * g.pitch;
    g.radius = std::min(10.0, g.side / 2.0);
    g.top = height - 8.0 - g.pitch;
    g.firstX = (width - n * g.pitch) / 2.0 + 0.2 * g.pitch;
    return g;
}

// ================================================================ automation views

nk_view_automation::nk_view_automation() : nk_view_automation(kButtonCount, 4, "nk_view_automation") {}

nk_view_automation::nk_view_automation(size_t buttonCount, int columns, const char* name) {
    requireGuiThread(__func__);
    _view = new QWidget;
    _view->setObjectName(QString::fromLatin1(name));
    QObject::connect(_view, &QObject::destroyed, [this] { _view = nullptr; });
    auto* grid = new QGridLayout(_view);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->setSpacing(6);
    for (size_t i = 0; i < buttonCount; ++i) {
        auto button = std::make_unique<nk_btnTestCell>();
        QWidget* w = button->widget();
        char outlet[32];
        std::snprintf(outlet, sizeof(outlet), "btn_%02zu", i);
        w->setObjectName(QString::fromLatin1(outlet));
        grid->addWidget(w, int(i) / columns, int(i) % columns);
        _btn.push_back(button.get());
        _owned.push_back(std::move(button));
    }
}

nk_view_automation::~nk_view_automation() {
    // The buttons stop listening before anything goes.
    _btn.clear();
    _owned.clear();
    delete _view;  // its destroyed() handler clears _view
}

QWidget* nk_view_automation::view() const { return _view; }

void nk_view_automation::setTestSession(const std::vector<CNK_testSession*>* sessions) {
    if (!sessions) {
        for (nk_btnTestCell* b : _btn) b->setTestSession(nullptr);
        return;
    }
    const size_t n = std::min(_btn.size(), sessions->size());
    for (size_t i = 0; i < n; ++i) _btn[i]->setTestSession((*sessions)[i]);
}

nk_view_automation_adv::nk_view_automation_adv() : nk_view_automation(kButtonCount, 8, "nk_view_automation_adv") {}

// ================================================================ test-session view

const std::array<const char*, 7> kPostFix = {"", " - Aborted", " - Standby", " - Running",
                                             " - Pass", " - Fail", " - COF"};

namespace {

// The session's items as table rows, read live from the session.
class nkView_itemModel : public QAbstractTableModel {
public:
    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : _rows; }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 1; }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (role == Qt::DisplayRole && orientation == Qt::Horizontal && section == 0)
            return QStringLiteral("TestItem");
        return {};
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!_session || !index.isValid() || index.column() != 0 || index.row() >= _rows) return {};
        const std::vector<CNK_testItem*>& items = _session->_items;
        if (size_t(index.row()) >= items.size()) return {};
        const CNK_testItem* item = items[size_t(index.row())];
        const size_t st = statusSlot(item->testStatus());
        switch (role) {
            case Qt::DisplayRole: return QString::fromStdString(item->_name + kPostFix[st]);
            case Qt::DecorationRole: return kImageList()[st];
            case Qt::BackgroundRole:
                return item->_type == kNkTestType_testcal ? rgbaF(1, 0.5, 0, 0.05) : rgbaF(0, 0, 1, 0.02);
            default: return {};
        }
    }

    void reload(CNK_testSession* session) {
        beginResetModel();
        _session = session;
        _rows = session ? int(std::min<size_t>(session->_items.size(), 1u << 20)) : 0;
        endResetModel();
    }

    void refreshRow(int row) {
        if (row >= 0 && row < _rows) emit dataChanged(index(row, 0), index(row, 0));
    }

    int rows() const { return _rows; }

private:
    CNK_testSession* _session = nullptr;
    int _rows = 0;
};

// The running image blinks in step in every session view of the process.
double g_lastBlink = 0.0;
int g_blinkPhase = 0;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void setBanner(QLabel* banner, const QString& text, const QColor& background) {
    banner->setText(text);
    banner->setStyleSheet(QStringLiteral("font-weight: bold; font-size: 16pt; background-color: %1;")
                              .arg(background.name(QColor::HexArgb)));
}

// A row of a status image and its line of text.
void addImageAndText(QVBoxLayout* layout, QLabel** image, const char* imageName, QLabel** text, const char* textName) {
    auto* row = new QHBoxLayout;
    *image = new QLabel;
    (*image)->setObjectName(QString::fromLatin1(imageName));
    (*image)->setFixedSize(kImageSize, kImageSize);
    *text = new QLabel;
    (*text)->setObjectName(QString::fromLatin1(textName));
    row->addWidget(*image);
    row->addWidget(*text, 1);
    layout->addLayout(row);
}

// Log text a stalled GUI thread has not drained is cut to the newest part.
constexpr size_t kLogStringCapacity = 4u << 20;

}  // namespace

struct nkView_sessionWidgets {
    std::mutex mtx;            // over root, which session threads post to
    QWidget* root = nullptr;   // null once deleted
    QTableView* table_view = nullptr;
    nkView_itemModel* model = nullptr;
    QLabel* status_text = nullptr;
    QLabel* readiness_text = nullptr;
    QLabel* pass_fail_text = nullptr;
    QLabel* img_isReady = nullptr;
    QLabel* img_status = nullptr;
    QTimer* timer_33msec = nullptr;
    QTimer* timer_test_session = nullptr;
    u64 binding = 0;           // counts bindings; queued events of an earlier one are dropped
};

void callback_view_testSession::onTestBegin(long) {
    forward([](nk_view_testSession* v) { v->post([](nk_view_testSession* view, long) { view->onTestBegin(); }, 0); });
}
void callback_view_testSession::onTestEnd(long) {
    forward([](nk_view_testSession* v) { v->post([](nk_view_testSession* view, long) { view->onTestEnd(); }, 0); });
}
void callback_view_testSession::onStatusUpdated(long, long itemIndex) {
    forward([itemIndex](nk_view_testSession* v) {
        v->post([](nk_view_testSession* view, long item) { view->onStatusUpdated(item); }, itemIndex);
    });
}
void callback_view_testSession::onLogStrUpdated(long, const char* text) {
    forward([text](nk_view_testSession* v) { v->onLogStrUpdated(text); });
}

nk_view_testSession::nk_view_testSession()
    : _cb(nullptr), _textView(std::make_unique<ONK_TextBox>()), _w(std::make_unique<nkView_sessionWidgets>()) {
    requireGuiThread(__func__);
    nkView_sessionWidgets& w = *_w;
    w.root = new QWidget;
    w.root->setObjectName(QStringLiteral("nk_view_testSession"));
    QObject::connect(w.root, &QObject::destroyed, [this] {
        std::lock_guard<std::mutex> lock(_w->mtx);
        _w->root = nullptr;
    });
    auto* layout = new QVBoxLayout(w.root);

    addImageAndText(layout, &w.img_isReady, "img_isReady", &w.readiness_text, "readiness_text");

    w.pass_fail_text = new QLabel;
    w.pass_fail_text->setObjectName(QStringLiteral("pass_fail_text"));
    w.pass_fail_text->setAlignment(Qt::AlignCenter);
    w.pass_fail_text->setMinimumHeight(36);
    layout->addWidget(w.pass_fail_text);

    addImageAndText(layout, &w.img_status, "img_status", &w.status_text, "status_text");

    // Items beside the log; neither pane narrower than 200.
    auto* split = new QSplitter(Qt::Horizontal);
    split->setChildrenCollapsible(false);
    w.table_view = new QTableView;
    w.table_view->setObjectName(QStringLiteral("table_view"));
    w.model = new nkView_itemModel;
    w.model->setParent(w.table_view);
    w.table_view->setModel(w.model);
    w.table_view->horizontalHeader()->setStretchLastSection(true);
    w.table_view->verticalHeader()->hide();
    w.table_view->setSelectionMode(QAbstractItemView::NoSelection);
    w.table_view->setFocusPolicy(Qt::NoFocus);
    w.table_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    w.table_view->setMinimumWidth(200);
    split->addWidget(w.table_view);
    QWidget* log = _textView->view()->widget();
    log->setObjectName(QStringLiteral("text_view"));
    log->setMinimumWidth(200);
    split->addWidget(log);
    split->setStretchFactor(1, 1);
    layout->addWidget(split, 1);

    _textView->configureTextFormat(QFontDatabase::systemFont(QFontDatabase::FixedFont).family().toStdString().c_str(),
                                   10.0, 4096.0);
    showStandby();
    w.readiness_text->clear();
    w.status_text->clear();

    w.timer_33msec = new QTimer(w.root);
    w.timer_33msec->setInterval(kTimerMs);
    QObject::connect(w.timer_33msec, &QTimer::timeout, w.root, [this] { onTimer_33ms(); });
    w.timer_33msec->start();
}

nk_view_testSession::~nk_view_testSession() {
    // The session stops calling first; queued events die with the widget.
    if (_testSession) _testSession->removeCallback(_cb);
    retireListener(_cb);
    _cb = nullptr;
    _textView.reset();
    QWidget* root = nullptr;
    {
        std::lock_guard<std::mutex> lock(_w->mtx);
        root = _w->root;
    }
    delete root;
}

QWidget* nk_view_testSession::view() const {
    std::lock_guard<std::mutex> lock(_w->mtx);
    return _w->root;
}

void nk_view_testSession::post(void (*fn)(nk_view_testSession*, long), long arg) {
    std::lock_guard<std::mutex> lock(_w->mtx);
    if (!_w->root) return;
    const u64 binding = _w->binding;
    // The view outlives its widget, so `this` is valid whenever the call runs.
    QMetaObject::invokeMethod(
        _w->root,
        [this, fn, arg, binding] {
            if (_w->binding == binding) fn(this, arg);
        },
        Qt::QueuedConnection);
}

void nk_view_testSession::setTestSession(CNK_testSession* session) {
    requireGuiThread(__func__);
    // The previous session stops calling, and what it queued or buffered is dropped.
    if (_testSession) _testSession->removeCallback(_cb);
    retireListener(_cb);
    _cb = nullptr;
    {
        std::lock_guard<std::mutex> lock(_w->mtx);
        ++_w->binding;
    }
    {
        std::lock_guard<std::mutex> lock(_mtxLogString);
        _logString.clear();
    }
    stopTestTimer();
    _testSession = session;
    if (!_w->root) return;
    nkView_sessionWidgets& w = *_w;
    if (!session) {
        w.img_isReady->clear();
        w.readiness_text->clear();
        w.status_text->clear();
        w.model->reload(nullptr);
        _textView->reset();
        return;
    }
    // A fresh adapter per binding: a late call from the previous session meets a detached one.
    _cb = new callback_view_testSession(this);
    session->setCallback(_cb);
    std::string text;
    const bool ready = session->isReadyToTest(text);
    w.readiness_text->setText(QString::fromStdString(text));
    w.img_isReady->setPixmap(kImageList()[ready ? kNkTestStat_PASS : kNkTestStat_FAIL]);
    w.status_text->setText(ready ? QStringLiteral("[Standby]") : QStringLiteral("[Not Ready For Testing]"));
    w.model->reload(session);
}

void nk_view_testSession::showStandby() {
    nkView_sessionWidgets& w = *_w;
    w.readiness_text->clear();
    w.img_status->clear();
    w.status_text->setText(QStringLiteral("[Standby]"));
    setBanner(w.pass_fail_text, QString(), rgbaF(0, 0, 0, 0.05));
    w.pass_fail_text->setHidden(true);
}

void nk_view_testSession::stopTestTimer() {
    if (!_w->timer_test_session) return;
    _w->timer_test_session->stop();
    delete _w->timer_test_session;
    _w->timer_test_session = nullptr;
}

void nk_view_testSession::onTestBegin() {
    requireGuiThread(__func__);
    if (!_w->root) return;
    _textView->reset();
    stopTestTimer();
    _w->timer_test_session = new QTimer(_w->root);
    _w->timer_test_session->setInterval(kTimerMs);
    QObject::connect(_w->timer_test_session, &QTimer::timeout, _w->root, [this] { onTimer_100ms(); });
    _w->timer_test_session->start();
}

void nk_view_testSession::onTimer_100ms() {
    requireGuiThread(__func__);
    if (!_w->root) return;
    const double now = steadySeconds();
    if (now - g_lastBlink > 0.75) {
        g_lastBlink = now;
        _w->img_status->setPixmap(kStatImageList()[size_t(g_blinkPhase)]);
        setBanner(_w->pass_fail_text, QStringLiteral("TESTING"), g_blinkPhase == 0 ? rgbaF(0, 1, 0, 1) : rgbaF(1, 1, 1, 1));
        _w->pass_fail_text->setHidden(false);
        g_blinkPhase ^= 1;
    }
    updateStatusString();
}

namespace {
double secondsSinceStart(CNK_testSession* s) {
    const double start = s->_testStartTime.load();
    return start == kNK_noValue ? 0.0 : nkTest_now() - start;
}
}  // namespace

void nk_view_testSession::updateStatusString() {
    requireGuiThread(__func__);
    if (!_w->root || !_testSession) return;
    _w->status_text->setText(QString::asprintf("[SN: %s] [%.3f sec]", _testSession->_serialNumber.c_str(),
                                               secondsSinceStart(_testSession)));
}

void nk_view_testSession::onTestEnd() {
    requireGuiThread(__func__);
    if (!_w->root) return;
    stopTestTimer();
    _w->img_status->clear();
    if (!_testSession) return;
    _w->status_text->setText(QString::asprintf("[SN: %s] - Completed [in %.3f]", _testSession->_serialNumber.c_str(),
                                               secondsSinceStart(_testSession)));
    const t_nkTestStat st = _testSession->getStatus();
    const QColor background = st == kNkTestStat_PASS  ? rgbaF(0, 1, 0, 1)
                              : st == kNkTestStat_COF ? rgbaF(1, 0.8, 0, 1)
                                                      : rgbaF(1, 0, 0, 1);
    setBanner(_w->pass_fail_text, QString::fromLatin1(kNkTestStatStr[statusSlot(st)]), background);
    // A run shorter than one blink never showed the banner; the verdict must be seen.
    _w->pass_fail_text->setHidden(false);
}

void nk_view_testSession::onStatusUpdated(long itemIndex) {
    requireGuiThread(__func__);
    if (!_w->root) return;
    if (itemIndex < 0) {
        showStandby();
        return;
    }
    if (!_testSession) return;
    if (size_t(_w->model->rows()) != _testSession->_items.size()) _w->model->reload(_testSession);
    if (itemIndex < _w->model->rows()) _w->model->refreshRow(int(itemIndex));
}

void nk_view_testSession::onLogStrUpdated(const char* text) {
    if (!text) return;
    std::lock_guard<std::mutex> lock(_mtxLogString);
    _logString.append(text);
    if (_logString.size() > kLogStringCapacity) _logString.erase(0, _logString.size() - kLogStringCapacity / 2);
}

void nk_view_testSession::onTimer_33ms() {
    requireGuiThread(__func__);
    std::string pending;
    {
        std::lock_guard<std::mutex> lock(_mtxLogString);
        pending.swap(_logString);
    }
    if (!pending.empty() && _w->root) _textView->appendStr(pending.c_str(), 2);
}
