// The pieces every data page builds the same way.
#include "page_parts.h"

#include <QComboBox>
#include <QDockWidget>
#include <QFrame>
#include <QHBoxLayout>
#include <QFile>
#include <QHeaderView>
#include <QMainWindow>
#include <QMimeData>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "AppDelegate.h"
#include "AppUserDefaults.h"
#include "ZelkTextBox.h"
#include "draw/pf_draw.h"
#include "graph_base.h"
#include "textview/pf_textview.h"

namespace morvell::page {

void readStore(std::vector<tHist_rgb>& colours, QVariantList& itemSettings) {
    auto store = morvell::userDefaults();
    const morvell::ColorTable table = morvell::readColorTable(*store);
    colours.clear();
    for (const QColor& c : table) colours.push_back({c.red(), c.green(), c.blue()});
    const QVariant settings = store->value(QString::fromLatin1(kKeyParamDispSetting));
    itemSettings = settings.typeId() == QMetaType::QVariantList ? settings.toList() : QVariantList{};
}

QFont monospaced(double points) {
    QFont f(QString::fromLatin1(pf::draw::kMonospaceFont));
    f.setPointSizeF(points);
    return f;
}

const PopUpEntry kDecimalEntries[7] = {{"0 dp", 0}, {"1 dp", 1}, {"2 dp", 2}, {"3 dp", 3},
                                       {"4 dp", 4}, {"5 dp", 5}, {"6 dp", 6}};
const PopUpEntry kBucketEntries[7] = {{"1/sd", 1},   {"2/sd", 2},   {"4/sd", 4},  {"5/sd", 5},
                                      {"10/sd", 10}, {"20/sd", 20}, {"50/sd", 50}};

QComboBox* popUp(QWidget* parent, const char* name, const PopUpEntry* entries, size_t count, int maxWidth) {
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    for (size_t i = 0; i < count; ++i) box->addItem(QString::fromLatin1(entries[i].title), entries[i].tag);
    box->setMinimumContentsLength(5);
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMaximumWidth(maxWidth);
    return box;
}

QHBoxLayout* column(QWidget*& view, const char* name, QVBoxLayout*& column) {
    view = new QWidget;
    view->setObjectName(QString::fromLatin1(name));
    column = new QVBoxLayout(view);
    column->setContentsMargins(4, 4, 4, 4);
    column->setSpacing(4);
    auto* bar = new QHBoxLayout;
    bar->setSpacing(3);
    column->addLayout(bar);
    return bar;
}

QComboBox* specItemPopUp(QWidget* parent, int minLength, std::function<void()> onSelect) {
    auto* box = new QComboBox(parent);
    box->setObjectName(QStringLiteral("popbtn_specItem"));
    box->setMinimumContentsLength(minLength);
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    QObject::connect(box, &QComboBox::activated, box, [onSelect = std::move(onSelect)](int) { onSelect(); });
    return box;
}

QSplitter* graphOverText(QWidget* parent, QVBoxLayout* column, const std::function<QWidget*(QSplitter*)>& makeGraph,
                         ZelkNSTextView*& text, int graphStretch) {
    auto* split = new QSplitter(Qt::Vertical, parent);
    split->setObjectName(QStringLiteral("splitView"));
    split->setChildrenCollapsible(false);
    QWidget* graph = makeGraph(split);
    text = new ZelkNSTextView;
    QWidget* textWidget = text->view()->widget();
    textWidget->setObjectName(QStringLiteral("text_view"));
    split->addWidget(graph);
    split->addWidget(textWidget);
    split->setStretchFactor(0, graphStretch);
    split->setStretchFactor(1, 1);
    column->addWidget(split, 1);
    return split;
}

QDockWidget* drawer(const char* title, const char* name, const char* header, int minWidth, QTableWidget*& table) {
    auto* dock = new QDockWidget(QString::fromLatin1(title));
    dock->setObjectName(QString::fromLatin1(name));
    dock->setFeatures(QDockWidget::NoDockWidgetFeatures);
    dock->setAllowedAreas(Qt::RightDockWidgetArea);
    table = new QTableWidget(0, 1, dock);
    table->setObjectName(QStringLiteral("table_view"));
    table->setHorizontalHeaderLabels({QString::fromLatin1(header)});
    table->horizontalHeader()->setVisible(false);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setMinimumWidth(minWidth);
    // The buttons carry the selection; a selected cell would tint them through their colour.
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setFocusPolicy(Qt::NoFocus);
    dock->setWidget(table);
    dock->hide();
    return dock;
}

QTimer* fileMonitor(QObject* parent, std::function<void()> onTick) {
    auto* timer = new QTimer(parent);
    timer->setInterval(250);
    QObject::connect(timer, &QTimer::timeout, timer, std::move(onTick));
    return timer;
}

QFrame* categoryPopover(categoryView*& content, std::function<void(QSlider*)> onSlider) {
    auto* popover = new QFrame(nullptr, Qt::Popup);
    popover->setObjectName(QStringLiteral("popover"));
    popover->setFrameShape(QFrame::Box);
    auto* layout = new QVBoxLayout(popover);
    content = new categoryView(popover);
    layout->addWidget(content);
    for (QSlider* s : {content->slider_r, content->slider_g, content->slider_b})
        QObject::connect(s, &QSlider::valueChanged, s, [onSlider, s](int) { onSlider(s); });
    return popover;
}

void openCategoryPopover(QFrame* popover, categoryView* content, const QWidget* button, int tag, const QString& label,
                         const int (&rgb)[3]) {
    content->label->setText(label);
    QSlider* sliders[3] = {content->slider_r, content->slider_g, content->slider_b};
    for (int i = 0; i < 3; ++i) {
        // Tagged first, so the moves below are this row's and write back what they read.
        sliders[i]->setProperty("tag", tag);
        QSignalBlocker quiet(sliders[i]);
        sliders[i]->setValue(rgb[i]);
    }
    const QPoint at = button->mapToGlobal(QPoint(0, button->height()));
    popover->adjustSize();
    popover->move(at.x() - popover->width(), at.y());
    popover->show();
}

QWidget* windowOf(QWidget* view) { return _main_window ? static_cast<QWidget*>(_main_window) : view->window(); }

void resizeWindow(QWidget* view, int width, int height) {
    QWidget* window = windowOf(view);
    if (window && window != view) window->resize(width, height);
}

void showDrawer(QWidget* view, QDockWidget* drawer, bool show) {
    if (!show) {
        drawer->hide();
        return;
    }
    auto* window = qobject_cast<QMainWindow*>(windowOf(view));
    if (window && drawer->parentWidget() != window) window->addDockWidget(Qt::RightDockWidgetArea, drawer);
    drawer->show();
}

bool choosePrevious(QComboBox* box) {
    const int i = box->currentIndex();
    if (i <= 0) return false;
    box->setCurrentIndex(i - 1);
    return true;
}

bool chooseNext(QComboBox* box) {
    const int i = box->currentIndex();
    if (i < 0 || i + 1 >= box->count()) return false;
    box->setCurrentIndex(i + 1);
    return true;
}

std::vector<std::string> localFiles(const QMimeData* data) {
    std::vector<std::string> paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
    return paths;
}

std::string lastComponent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace morvell::page
