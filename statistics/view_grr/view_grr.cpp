// The GR&R page.
#include "view_grr.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDockWidget>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMainWindow>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "AppDelegate.h"
#include "ZelkTextBox.h"
#include "draw/pf_draw.h"
#include "number/pf_number.h"
#include "page_parts.h"
#include "textview/pf_textview.h"

namespace {

using morvell::page::monospaced;

bool listed(const grr_data& d) {
    return d.isParametric && !(d.title && strcasecmp(d.title, "NVM_RETENTION") == 0);
}

}  // namespace

view_grr::view_grr() {
    buildLayout();
    awakeFromResource();
}

view_grr::~view_grr() {
    fileMonitor->stop();
    delete dialog_summary;
    delete drawer_tester_list;
    delete _view;
    delete text_view;
    delete text_summary;
}

void view_grr::buildLayout() {
    QVBoxLayout* column = nullptr;
    QHBoxLayout* bar = morvell::page::column(_view, "view_grr", column);

    popbtn_specItem = morvell::page::specItemPopUp(_view, 8, [this] { OnSpecItemSelection(); });
    bar->addWidget(popbtn_specItem, 1);

    auto button = [&](QPushButton*& b, const char* name, const char* title, bool checkable, const char* tip) {
        b = new QPushButton(QString::fromLatin1(title), _view);
        b->setObjectName(QString::fromLatin1(name));
        b->setCheckable(checkable);
        b->setFont(monospaced(9));
        b->setToolTip(QString::fromLatin1(tip));
        bar->addWidget(b);
    };
    button(button_specItemOnly, "button_specItemOnly", "Spec", true, "Display Spec Item Only");
    button(button_grrItemOnly, "button_grrItemOnly", "GRR", true, "Display GRR Item Only");
    QObject::connect(button_specItemOnly, &QPushButton::clicked, button_specItemOnly, [this] { OnBtn_specItemOnly(); });
    QObject::connect(button_grrItemOnly, &QPushButton::clicked, button_grrItemOnly, [this] { OnBtn_grrItemOnly(); });
    auto check = [&](QCheckBox*& c, const char* name, const char* title, const char* tip) {
        c = new QCheckBox(QString::fromLatin1(title), _view);
        c->setObjectName(QString::fromLatin1(name));
        c->setChecked(true);
        c->setFont(monospaced(9));
        c->setToolTip(QString::fromLatin1(tip));
        QObject::connect(c, &QCheckBox::clicked, c, [this] { OnBtn_showTestLimit(); });
        bar->addWidget(c);
    };
    check(check_showTestLimit, "check_showTestLimit", "Lmt", "Show Test Limit");
    check(check_showLimitText, "check_showLimitText", "Txt", "Show Limit Text");
    button(button_show_summary, "button_show_summary", "Summary", false, "GRR Summary");
    button(button_save_image, "button_save_image", "Save", false, "Save Image");
    QObject::connect(button_show_summary, &QPushButton::clicked, button_show_summary, [this] { OnBtn_showSummary(); });
    QObject::connect(button_save_image, &QPushButton::clicked, button_save_image, [this] { OnBtn_saveImage(); });

    splitter = morvell::page::graphOverText(
        _view, column,
        [this](QSplitter* split) {
            graph_grr = new ::graph_grr(split);
            graph_grr->setObjectName(QStringLiteral("graph_grr"));
            // The divider stays at least 200 below the graph's top.
            graph_grr->setMinimumHeight(int(splitView(0)));
            return graph_grr;
        },
        text_view, 4);

    drawer_tester_list = morvell::page::drawer("Tester", "drawer_tester_list", "Category", 150, table_view);
    // Wide enough for a tester's name and count: the graph keeps the rest of the window.
    table_view->setMaximumWidth(190);

    dialog_summary = new QDialog;
    dialog_summary->setObjectName(QStringLiteral("dialog_summary"));
    dialog_summary->setWindowTitle(QStringLiteral("GRR Summary"));
    dialog_summary->setWindowModality(Qt::WindowModal);
    dialog_summary->resize(560, 420);
    auto* panel = new QVBoxLayout(dialog_summary);
    text_summary = new ZelkNSTextView;
    text_summary->view()->widget()->setObjectName(QStringLiteral("text_summary"));
    panel->addWidget(text_summary->view()->widget(), 1);
    auto* close = new QPushButton(QStringLiteral("Close"), dialog_summary);
    close->setObjectName(QStringLiteral("button_close_summary"));
    QObject::connect(close, &QPushButton::clicked, close, [this] { OnBtn_showSummary(); });
    panel->addWidget(close, 0, Qt::AlignRight);
    QObject::connect(dialog_summary, &QDialog::rejected, dialog_summary, [this] { isDialogOpen_summary = false; });

    fileMonitor = morvell::page::fileMonitor(_view, [this] { onTimer(); });
}

void view_grr::awakeFromResource() {
    QUASTEL_TRACE("view_grr awakeFromResource");
    graph_grr->setEvtSink(this);
    popbtn_specItem->clear();
    popbtn_specItem->setEnabled(false);
    popbtn_specItem->setFont(monospaced(9));
    popbtn_specItem->setToolTip(QStringLiteral("Column Item Selection"));
    text_view->configureTextFormat(pf::draw::kMonospaceFont, 10, 4096);
    text_summary->configureTextFormat(pf::draw::kMonospaceFont, 10, 4096);
    button_show_summary->setEnabled(false);
    button_save_image->setEnabled(false);
    for (QPushButton* b : {button_specItemOnly, button_grrItemOnly}) b->setEnabled(false);
    for (QCheckBox* c : {check_showTestLimit, check_showLimitText}) c->setEnabled(false);
}

// ---- the shell's commands

void view_grr::viewActivated() {
    if (graph_grr->grrMgr() && graph_grr->grrMgr()->getTesterCount() > 0) {
        if (_main_window && drawer_tester_list->parentWidget() != _main_window)
            _main_window->addDockWidget(Qt::RightDockWidgetArea, drawer_tester_list);
        drawer_tester_list->show();
    }
}

void view_grr::viewDeactivated() { drawer_tester_list->hide(); }

void view_grr::applicationWillTerminate(QObject*) {
    QUASTEL_TRACE("view_grr applicationWillTerminate");
    fileMonitor->stop();
}

void view_grr::OnMenu_command_up(QObject*) {
    if (morvell::page::choosePrevious(popbtn_specItem)) OnSpecItemSelection();
}

void view_grr::OnMenu_command_down(QObject*) {
    if (morvell::page::chooseNext(popbtn_specItem)) OnSpecItemSelection();
}

void view_grr::OnMenu_command_bracket_left(QObject*) {}
void view_grr::OnMenu_command_bracket_right(QObject*) {}
void view_grr::OnMenu_command_shift_c(QObject*) { graph_grr->setDoCapture(); }

ZelkCategoryButton* view_grr::buttonAt(int row) const {
    return row >= 0 && row < table_view->rowCount() ? static_cast<ZelkCategoryButton*>(table_view->cellWidget(row, 0))
                                                     : nullptr;
}

void view_grr::OnMenu_option_up(QObject*) { stepTester(-1); }
void view_grr::OnMenu_option_down(QObject*) { stepTester(1); }

void view_grr::stepTester(int step) {
    const int rows = table_view->rowCount();
    if (rows == 0) return;
    int on = rows - 1;
    for (int r = 0; r < rows; ++r)
        if (buttonAt(r) && buttonAt(r)->isChecked()) {
            on = r;
            break;
        }
    if (buttonAt(on)) buttonAt(on)->setChecked(false);
    chooseTester((on + step + rows) % rows);
}

void view_grr::chooseTester(int row) {
    ZelkCategoryButton* b = buttonAt(row);
    if (!b) return;
    b->setChecked(true);
    OnCB_leftClick(b);
}

// ---- the graph's events

void view_grr::OnCsvFileDropped(bool fresh) {
    if (!fresh) return;
    ZelkGrr* grr = graph_grr->grrMgr();
    if (!grr) return;
    // 1. Every parametric item of the manager.
    popbtn_specItem->clear();
    for (unsigned c = 0; c < grr->column_count(); ++c) {
        const grr_column* col = grr->columnAt(c);
        grr_data d;
        d.title = col->title;
        d.isParametric = col->isParametric;
        if (listed(d)) popbtn_specItem->addItem(QString::fromUtf8(col->title ? col->title : ""), int(c));
    }
    popbtn_specItem->setEnabled(true);
    popbtn_specItem->setCurrentIndex(popbtn_specItem->count() > 0 ? 0 : -1);
    OnSpecItemSelection();
    // 2. Buttons.
    button_show_summary->setEnabled(true);
    button_save_image->setEnabled(true);
    button_specItemOnly->setEnabled(true);
    button_specItemOnly->setChecked(false);
    button_grrItemOnly->setEnabled(grr->isGrrEnabled());
    button_grrItemOnly->setChecked(grr->isGrrEnabled());
    if (button_grrItemOnly->isChecked()) OnBtn_grrItemOnly();
    // 3. Limits.
    check_showTestLimit->setEnabled(true);
    check_showLimitText->setEnabled(true);
    OnBtn_showTestLimit();
    // 4. The drawer, every button off, the table again (choosing the first tester).
    if (_main_window) {
        if (drawer_tester_list->parentWidget() != _main_window)
            _main_window->addDockWidget(Qt::RightDockWidgetArea, drawer_tester_list);
        drawer_tester_list->show();
    }
    for (int r = 0; r < table_view->rowCount(); ++r)
        if (buttonAt(r)) buttonAt(r)->setChecked(false);
    _chooseFirstTester = true;
    reloadTesterTable();
    // 5. The window.
    if (_main_window) {
        const std::string& title = graph_grr->grrTitle();
        _main_window->setWindowTitle(QString::fromUtf8(pf::number::text("%s v%s%s%s", kMorvellName, kMorvellVersion,
                                                                        title.empty() ? "" : " - ", title.c_str())
                                                           .c_str()));
        _main_window->resize(640, 550);
        _main_window->update();
    }
    // 6. The page's timer.
    fileMonitor->stop();
    fileMonitor->start();
}

void view_grr::OnSelectionChanged() { updateString = true; }

void view_grr::onTimer() {
    if (!updateString) return;
    text_view->reset();
    text_view->appendStr(graph_grr->summary_string_fom().c_str(), 1);
    text_summary->reset();
    text_summary->appendStr(graph_grr->summary_string_grr().c_str(), 1);
    updateString = false;
}

// ---- testers

int view_grr::numberOfRowsInTableView() const {
    return graph_grr->grrMgr() ? int(graph_grr->grrMgr()->getTesterCount()) : 0;
}

ZelkCategoryButton* view_grr::tableView(const char* column, int row) {
    ZelkGrr* grr = graph_grr->grrMgr();
    if (!grr || !column || std::strcmp(column, "Category") != 0 || row < 0 || row >= numberOfRowsInTableView()) return nullptr;
    grr_tester* t = grr->testerAt(unsigned(row));
    auto* b = new ZelkCategoryButton;
    b->setCheckable(true);
    b->setText(QString::fromUtf8(
        pf::number::text("%s:%d", t->tester_name() ? t->tester_name() : "", int(t->golden_sample_count())).c_str()));
    if (t == grr->getGoldenTester())
        b->setBackGroundColor(QColor::fromRgbF(1, 0.800000011920929f, 0, 1));
    else if (t->grr_result() == kGrrResult_pass)
        b->setBackGroundColor(QColor::fromRgbF(0, 0.800000011920929f, 0, 1));
    else if (t->grr_result() == kGrrResult_fail)
        b->setBackGroundColor(QColor::fromRgbF(1, 0.4000000059604645f, 0.20000000298023224f, 1));
    else
        b->setBackGroundColor(QColor::fromRgbF(0.8f, 0.8f, 0.8f, 1));
    b->setFont(monospaced(9));
    b->setTag(row);
    b->setEventSink(this);
    QObject::connect(b, &QPushButton::clicked, b, [this, b] { OnCB_leftClick(b); });
    return b;
}

void view_grr::reloadTesterTable() {
    const int rows = numberOfRowsInTableView();
    // The choice survives the table's reload unless the load was fresh.
    std::vector<bool> on(size_t(rows), false);
    for (int r = 0; r < std::min(rows, table_view->rowCount()); ++r) on[size_t(r)] = buttonAt(r) && buttonAt(r)->isChecked();
    table_view->setRowCount(rows);
    for (int r = 0; r < rows; ++r) {
        ZelkCategoryButton* b = tableView("Category", r);
        b->setChecked(on[size_t(r)]);
        table_view->setCellWidget(r, 0, b);
    }
    if (_chooseFirstTester && rows > 0) {
        _chooseFirstTester = false;
        chooseTester(0);
    }
}

void view_grr::OnCB_leftClick(ZelkCategoryButton* sender) {
    for (int r = 0; r < table_view->rowCount(); ++r)
        if (buttonAt(r) && buttonAt(r)->tag() != sender->tag()) buttonAt(r)->setChecked(false);
    graph_grr->setDispTesterIdx(sender->tag());
}

void view_grr::OnCB_rightClick(ZelkCategoryButton*) {}

// ---- items

void view_grr::OnSpecItemSelection() {
    if (popbtn_specItem->currentIndex() < 0) return;
    graph_grr->setDispColIdx(popbtn_specItem->currentData().toInt());
}

void view_grr::fillItems(const grr_sample* sample, bool specOnly, bool grrOnly, int keepTag) {
    popbtn_specItem->clear();
    grr_sample* s = const_cast<grr_sample*>(sample);
    for (unsigned c = 0; s && c < s->col_count(); ++c) {
        const grr_data* d = s->dataAt(c);
        if (!d || !listed(*d)) continue;
        if (specOnly && d->limit_upper == kZelk_noValue && d->limit_lower == kZelk_noValue) continue;
        if (grrOnly && !d->isGrrParam) continue;
        popbtn_specItem->addItem(QString::fromUtf8(d->title ? d->title : ""), int(c));
    }
    const int keep = popbtn_specItem->findData(keepTag);
    popbtn_specItem->setCurrentIndex(keep >= 0 ? keep : popbtn_specItem->count() > 0 ? 0 : -1);
    OnSpecItemSelection();
}

void view_grr::OnBtn_specItemOnly() {
    ZelkGrr* grr = graph_grr->grrMgr();
    const int keep = popbtn_specItem->currentIndex() >= 0 ? popbtn_specItem->currentData().toInt() : -1;
    button_grrItemOnly->setChecked(false);
    grr_tester* g = grr ? grr->getGoldenTester() : nullptr;
    fillItems(g ? g->getAllSample() : nullptr, button_specItemOnly->isChecked(), false, keep);
}

void view_grr::OnBtn_grrItemOnly() {
    ZelkGrr* grr = graph_grr->grrMgr();
    const int keep = popbtn_specItem->currentIndex() >= 0 ? popbtn_specItem->currentData().toInt() : -1;
    button_specItemOnly->setChecked(false);
    grr_tester* g = grr ? grr->getGoldenTester() : nullptr;
    fillItems(g ? g->sampleAt(0) : nullptr, false, button_grrItemOnly->isChecked(), keep);
}

void view_grr::OnBtn_showTestLimit() {
    graph_grr->setShowTestLimit(check_showTestLimit->checkState() != Qt::Unchecked);
    graph_grr->setShowLimitText(check_showLimitText->checkState() != Qt::Unchecked);
}

void view_grr::OnBtn_showSummary() {
    if (!isDialogOpen_summary) {
        if (_main_window && dialog_summary->parentWidget() != _main_window)
            dialog_summary->setParent(_main_window, dialog_summary->windowFlags());
        dialog_summary->setWindowModality(Qt::WindowModal);
        dialog_summary->show();
        isDialogOpen_summary = true;
    } else {
        isDialogOpen_summary = false;
        dialog_summary->hide();
    }
}

void view_grr::OnBtn_saveImage() { graph_grr->exportImage(); }
