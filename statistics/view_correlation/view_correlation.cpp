// The correlation page.
#include "view_correlation.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QMainWindow>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <functional>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "AppDelegate.h"
#include "AppUserDefaults.h"
#include "ZelkAlert.h"
#include "ZelkCsv.h"
#include "ZelkTextBox.h"
#include "correlation_files.h"
#include "draw/pf_draw.h"
#include "file/pf_file.h"
#include "number/pf_number.h"
#include "page_parts.h"
#include "textview/pf_textview.h"

namespace {

using morvell::page::folderOf;
using morvell::page::kBucketEntries;
using morvell::page::kDecimalEntries;
using morvell::page::lastComponent;
using morvell::page::monospaced;
using morvell::page::tagOf;
using Entry = morvell::page::PopUpEntry;

// The half-width of the shown range; 0 shows all data. Entry 3 is the plot's own 6.
const Entry kSigmaEntries[] = {{"all", 0}, {"3 sig", 3}, {"4 sig", 4}, {"6 sig", 6}, {"8 sig", 8}, {"10 sig", 10}};

bool usable(const std::shared_ptr<ZelkCsv>& t) { return t && t->isValid() && t->config_count() > 0; }

// Calls back when the watched widget changes size.
class ResizeWatch : public QObject {
public:
    ResizeWatch(QObject* parent, std::function<void()> onResize) : QObject(parent), _onResize(std::move(onResize)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize) _onResize();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> _onResize;
};

}  // namespace

view_correlation::view_correlation() {
    buildLayout();
    awakeFromResource();
}

view_correlation::~view_correlation() {
    _fileMonitor->stop();
    // The graphs let go of the tables before the tables go.
    showNoCorrelation();
    delete _view;
    delete text_view;
}

void view_correlation::buildLayout() {
    QVBoxLayout* column = nullptr;
    QHBoxLayout* bar = morvell::page::column(_view, "view_correlation", column);

    popbtn_specItem = morvell::page::specItemPopUp(_view, 8, [this] { OnSpecItemSelection(); });
    bar->addWidget(popbtn_specItem, 1);

    button_showSpecParam = new QCheckBox(QStringLiteral("Spec"), _view);
    button_showSpecParam->setObjectName(QStringLiteral("button_showSpecParam"));
    button_showSpecParam->setFont(monospaced(9));
    button_showSpecParam->setToolTip(QStringLiteral("Items with Limits Only"));
    QObject::connect(button_showSpecParam, &QCheckBox::clicked, button_showSpecParam, [this] { UpdateDispSetting_reload(); });
    bar->addWidget(button_showSpecParam);

    check_testLimit = new QCheckBox(QStringLiteral("Lmt"), _view);
    check_testLimit->setObjectName(QStringLiteral("check_testLimit"));
    check_testLimit->setFont(monospaced(9));
    QObject::connect(check_testLimit, &QCheckBox::clicked, check_testLimit, [this] { UpdateDispSetting(); });
    bar->addWidget(check_testLimit);

    popbtn_decimalPoint = morvell::page::popUp(_view, "popbtn_decimalPoint", kDecimalEntries, 70);
    popbtn_sigmaLine = morvell::page::popUp(_view, "popbtn_sigmaLine", kSigmaEntries, 70);
    popbtn_bucketCount = morvell::page::popUp(_view, "popbtn_bucketCount", kBucketEntries, 70);
    QObject::connect(popbtn_decimalPoint, &QComboBox::activated, popbtn_decimalPoint, [this](int) { UpdateDispSetting(); });
    // Another range is other bounds.
    QObject::connect(popbtn_sigmaLine, &QComboBox::activated, popbtn_sigmaLine, [this](int) { UpdateDispSetting_update(); });
    QObject::connect(popbtn_bucketCount, &QComboBox::activated, popbtn_bucketCount, [this](int) { UpdateDispSetting(); });
    for (QComboBox* box : {popbtn_decimalPoint, popbtn_sigmaLine, popbtn_bucketCount}) bar->addWidget(box);

    button_showHistogram = new QPushButton(QStringLiteral("Hist"), _view);
    button_showHistogram->setObjectName(QStringLiteral("button_showHistogram"));
    button_showHistogram->setCheckable(true);
    button_showHistogram->setFont(monospaced(9));
    button_showHistogram->setMaximumWidth(44);
    button_showHistogram->setToolTip(QStringLiteral("Show Histograms"));
    QObject::connect(button_showHistogram, &QPushButton::clicked, button_showHistogram, [this] { OnShowHistogram(); });
    bar->addWidget(button_showHistogram);

    splitView = morvell::page::graphOverText(
        _view, column,
        [this](QSplitter* split) {
            graph_base = new ::graph_base(split);
            graph_base->setObjectName(QStringLiteral("graph_base"));
            // The divider stays at least 200 below the graphs' top.
            graph_base->setMinimumHeight(200);
            graph_correlation = new ::graph_correlation(graph_base);
            graph_correlation->setObjectName(QStringLiteral("graph_correlation"));
            graph_histogram_0 = new ::graph_histogram(graph_base);
            graph_histogram_0->setObjectName(QStringLiteral("graph_histogram_0"));
            graph_histogram_1 = new ::graph_histogram(graph_base);
            graph_histogram_1->setObjectName(QStringLiteral("graph_histogram_1"));
            graph_base->installEventFilter(new ResizeWatch(graph_base, [this] { layoutGraphs(); }));
            return graph_base;
        },
        text_view);
    _fileMonitor = morvell::page::fileMonitor(_view, [this] { _onTimer_fileMonitor(); });
}

void view_correlation::awakeFromResource() {
    QUASTEL_TRACE("view_correlation awakeFromResource");
    morvell::page::readStore(_colorTable, _userParamSetting);

    text_view->configureTextFormat(pf::draw::kMonospaceFont, 10, 4096);
    popbtn_specItem->clear();
    popbtn_specItem->setEnabled(false);
    for (QComboBox* box : {popbtn_decimalPoint, popbtn_sigmaLine}) box->setEnabled(false);
    check_testLimit->setEnabled(false);
    check_testLimit->setChecked(false);
    popbtn_specItem->setToolTip(QStringLiteral("Column Item Selection"));
    popbtn_decimalPoint->setToolTip(QStringLiteral("Decimal Point\nSelection"));
    popbtn_sigmaLine->setToolTip(QStringLiteral("Sigma Filtering"));
    check_testLimit->setToolTip(QStringLiteral("Display Test Limit"));
    popbtn_bucketCount->setToolTip(QStringLiteral("Bucket/Stdev\nSelection"));
    for (QComboBox* box : {popbtn_specItem, popbtn_decimalPoint, popbtn_sigmaLine, popbtn_bucketCount})
        box->setFont(monospaced(9));
    popbtn_decimalPoint->setCurrentIndex(1);
    popbtn_sigmaLine->setCurrentIndex(3);
    popbtn_bucketCount->setCurrentIndex(2);
    graph_correlation->setEvtSink(this);
    button_showHistogram->setEnabled(false);
    button_showHistogram->setChecked(false);
    _graph_histogram = {graph_histogram_0, graph_histogram_1};
    for (::graph_histogram* h : _graph_histogram) {
        h->setZoomEnabled(false);
        h->dragAndDropEnabled = false;
        h->setDetailedStatStringEnabled(false);
        h->setColorTable(&_colorTable);
    }
    OnShowHistogram();
    popbtn_bucketCount->hide();
    button_showSpecParam->setEnabled(false);
}

// ---- layout

void view_correlation::layoutGraphs() {
    const int W = graph_base->width(), H = graph_base->height();
    if (!button_showHistogram->isChecked()) {
        graph_correlation->setGeometry(0, 0, W, H);
        return;
    }
    // The plot on the left half; Y's histogram above X's on the right.
    graph_correlation->setGeometry(0, 0, W / 2, H);
    graph_histogram_1->setGeometry(W / 2, 0, W - W / 2, H / 2);
    graph_histogram_0->setGeometry(W / 2, H / 2, W - W / 2, H - H / 2);
}

void view_correlation::OnShowHistogram() {
    const int on = button_showHistogram->isChecked() ? 1 : 0;
    if (on == _lastShowHistogramState) return;
    _lastShowHistogramState = on;
    for (::graph_histogram* h : _graph_histogram) h->setVisible(on);
    popbtn_bucketCount->setVisible(on);
    layoutGraphs();
}

// ---- the shell's commands

void view_correlation::viewActivated() {
    morvell::page::resizeWindow(_view, 800, 460);
}

void view_correlation::viewDeactivated() {}

void view_correlation::applicationWillTerminate(QObject*) {
    QUASTEL_TRACE("view_correlation applicationWillTerminate");
    _fileMonitor->stop();
    showNoCorrelation();
    for (int g = 0; g < 2; ++g) {
        _csv[size_t(g)].reset();
        _inputFileList[size_t(g)].clear();
        _inputFileTime[size_t(g)].clear();
        _inputFileCount[size_t(g)] = -1;
    }
}

void view_correlation::OnMenu_command_up(QObject*) {
    if (morvell::page::choosePrevious(popbtn_specItem)) OnSpecItemSelection();
}

void view_correlation::OnMenu_command_down(QObject*) {
    if (morvell::page::chooseNext(popbtn_specItem)) OnSpecItemSelection();
}

void view_correlation::OnMenu_command_bracket_left(QObject*) {
    if (morvell::page::choosePrevious(popbtn_sigmaLine)) UpdateDispSetting_update();
}

void view_correlation::OnMenu_command_bracket_right(QObject*) {
    if (morvell::page::chooseNext(popbtn_sigmaLine)) UpdateDispSetting_update();
}

void view_correlation::OnMenu_command_shift_c(QObject*) { graph_base->copyToClipboard(nullptr); }

void view_correlation::OnMenu_option_up(QObject*) {}
void view_correlation::OnMenu_option_down(QObject*) {}

// ---- files

bool view_correlation::OnFileDrop(const QMimeData* pasteboard, int index) {
    if (!pasteboard || !pasteboard->hasUrls() || index < 0 || index > 1) return true;
    const std::vector<std::string> paths = morvell::page::localFiles(pasteboard);
    _handleFileDrop_fileNameCount(index, paths, true);
    return true;
}

void view_correlation::OnDragEvent(bool) {}

void view_correlation::showNoCorrelation() {
    graph_correlation->clearData();
    for (::graph_histogram* h : _graph_histogram)
        if (h) h->clearData();
    _csv_corr[0].reset();
    _csv_corr[1].reset();
    text_view->reset();
}

bool view_correlation::_handleFileDrop_fileNameCount(int index, const std::vector<std::string>& paths, bool fresh) {
    if (index < 0 || index > 1) return false;
    const size_t g = size_t(index);
    std::vector<std::string> kept;
    for (const std::string& p : paths) {
        std::printf("\t%s\n", lastComponent(p).c_str());
        const std::string name = lastComponent(p);
        const size_t dot = name.rfind('.');
        // A name without an extension is no log; the names after it still count.
        if (dot == std::string::npos) continue;
        if (strcasecmp(name.c_str() + dot + 1, "csv") == 0) kept.push_back(p);
    }
    std::printf("%d csv files droped\n", int(kept.size()));
    if (kept.empty()) {
        graph_correlation->setFileName(paths.empty() ? "" : lastComponent(paths[0]).c_str(), index, 1);
        showNoCorrelation();
        // The input now holds nothing usable: its old table must not correlate
        // with the next drop on the other input, nor its old files be watched.
        _csv[g].reset();
        _inputFileList[g].clear();
        _inputFileTime[g].clear();
        _inputFileCount[g] = 0;
        _inputIsMerged[g] = false;
        _fileChangeCount[g] = 0;
        return false;
    }

    std::vector<std::string> list = kept;
    bool merged = false;
    if (kept.size() > 1) {
        const std::string target = folderOf(kept[0]) + pf::number::text("/%scorr_%d.csv", "_CSV_FILE_MERGED_", index);
        std::error_code ec;
        std::filesystem::remove(target, ec);
        std::vector<const char*> sources;
        for (const std::string& k : kept) sources.push_back(k.c_str());
        if (ZelkCsv::mergeCsv_fileCount(int(sources.size()), sources.data(), true, target.c_str()) != 0) return false;
        list.insert(list.begin(), target);
        merged = true;
    }

    _inputFileList[g] = list;
    _inputFileCount[g] = int(list.size());
    _inputIsMerged[g] = merged;
    _inputFileTime[g].clear();
    for (const std::string& p : list) _inputFileTime[g].push_back(FileStamp::of(p));

    _csv[g].reset();
    _csv[g] = ZelkCsv::initWithCsvFile_filePathName(list[0].c_str(), true);

    for (QComboBox* box : {popbtn_decimalPoint, popbtn_sigmaLine}) box->setEnabled(true);
    check_testLimit->setEnabled(true);
    if (fresh) {
        popbtn_decimalPoint->setCurrentIndex(1);
        popbtn_sigmaLine->setCurrentIndex(3);
    }

    const std::string name = lastComponent(list[0]);
    graph_correlation->setFileName(name.c_str(), index, usable(_csv[g]) ? 2 : 1);
    _graph_histogram[g]->setExternalTitle(name.c_str());

    if (!usable(_csv[0]) || !usable(_csv[1])) {
        showNoCorrelation();
        return false;
    }
    if (!_update_data(fresh)) return false;
    if (fresh) {
        button_showHistogram->setChecked(true);
        OnShowHistogram();
    }
    _fileMonitor->stop();
    _fileMonitor->start();
    return true;
}

void view_correlation::rebuildItems() {
    popbtn_specItem->clear();
    if (usable(_csv_corr[0]) && usable(_csv_corr[1])) {
        const tCsv_columnItemInfo* items0 = _csv_corr[0]->getColumnItem();
        const tCsv_columnItemInfo* items1 = _csv_corr[1]->getColumnItem();
        const int n = std::min(_csv_corr[0]->columnItem_count(), _csv_corr[1]->columnItem_count());
        const bool withLimits = button_showSpecParam->isChecked();
        for (int i = 0; i < n; ++i) {
            if (!items0[i].isParametric || !items1[i].isParametric) continue;
            if (withLimits && items0[i].limit_upper == kZelk_noValue && items0[i].limit_lower == kZelk_noValue &&
                items1[i].limit_upper == kZelk_noValue && items1[i].limit_lower == kZelk_noValue)
                continue;
            popbtn_specItem->addItem(QString::fromUtf8(items0[i].title ? items0[i].title : ""), i);
        }
    }
    popbtn_specItem->setCurrentIndex(popbtn_specItem->count() > 0 ? 0 : -1);
    popbtn_specItem->setEnabled(true);
    check_testLimit->setChecked(true);
}

bool view_correlation::_update_data(bool fresh) {
    const auto start = std::chrono::steady_clock::now();
    auto done = [&](bool result) {
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        pf::number::print(stdout, "_update_data in %.3f sec\n", s);
        return result;
    };
    if (!usable(_csv[0]) || !usable(_csv[1]) || _inputFileList[0].empty() || _inputFileList[1].empty())
        return done(false);

    tCorr_common common;
    try {
        common = correlation_common(*_csv[0], *_csv[1]);
    } catch (const std::bad_alloc&) {
        return done(false);
    }
    // The graphs let go of the old correlation tables before they go.
    graph_correlation->clearData();
    for (::graph_histogram* h : _graph_histogram) h->clearData();
    for (int g = 0; g < 2; ++g) {
        _csv_corr[size_t(g)].reset();
        const std::string path = correlation_filePath(_inputFileList[size_t(g)][0], g);
        const std::string text = correlation_fileText(*_csv[0], *_csv[1], common, g);
        pf::file::ReplacingWrite out(path);
        const bool written = out.status() == pf::file::ReplacingWrite::Status::ok && out.write(text.data(), text.size()) &&
                             out.commit() == pf::file::ReplacingWrite::Status::ok;
        if (!written) {
            const std::string why = std::strerror(errno);
            showNoCorrelation();
            ZelkAlert_show("Correlation File Error",
                           pf::number::text("The correlation file %s could not be written: %s", path.c_str(), why.c_str()).c_str());
            return done(false);
        }
        // An input that is itself this file changed by our hand, not the user's:
        // not a change for the watch (it would reload, rewrite and reload again).
        for (size_t h = 0; h < 2; ++h)
            for (size_t i = 0; i < _inputFileList[h].size(); ++i)
                if (_inputFileList[h][i] == path) _inputFileTime[h][i] = FileStamp::of(path);
        _csv_corr[size_t(g)] = ZelkCsv::initWithCsvFile_filePathName(path.c_str(), false);
        const std::shared_ptr<ZelkCsv>& t = _csv_corr[size_t(g)];
        if (usable(t))
            // Only "ALL": the selection holds one flag (a correlation file has no config column anyway).
            _graph_histogram[size_t(g)]->setData_columnCount(t->columnItem_count(), t->getColumnItem(), 1,
                                                             t->getConfigInfo(), _categorySelection);
    }
    // After a load that gave no items, the next good one lists them as a drop does.
    if (fresh || popbtn_specItem->count() == 0) {
        rebuildItems();
        fresh = true;
    }
    if (usable(_csv_corr[0]) && usable(_csv_corr[1]))
        graph_correlation->setData_columnCount(
            std::min(_csv_corr[0]->columnItem_count(), _csv_corr[1]->columnItem_count()), _csv_corr[0]->getColumnItem(),
            _csv_corr[1]->getColumnItem(), _csv_corr[0]->getConfigInfo(), _csv_corr[1]->getConfigInfo());
    _updateDispSetting(fresh);
    return done(true);
}

void view_correlation::_updateDispSetting(bool reset) {
    const int limits = check_testLimit->isChecked() ? 1 : 0;
    if (limits != _lastTestLimitState) {
        _lastTestLimitState = limits;
        reset = true;
    }
    button_showHistogram->setEnabled(true);
    button_showSpecParam->setEnabled(true);
    text_view->reset();
    if (popbtn_specItem->currentIndex() < 0) return;
    const int column = popbtn_specItem->currentData().toInt();
    graph_correlation->setColumnToDisplay_columnIndex(column, tagOf(popbtn_decimalPoint), tagOf(popbtn_sigmaLine),
                                                      limits != 0, reset);
    for (::graph_histogram* h : _graph_histogram) {
        h->setExternalBounds_boundHigh(graph_correlation->boundHigh(), graph_correlation->boundLow(),
                                       graph_correlation->stdev());
        h->setColumnToDisplay_columnIndex(column, false, false, tagOf(popbtn_decimalPoint), tagOf(popbtn_bucketCount), 4,
                                          limits != 0, true);
    }
    text_view->appendStr(graph_correlation->summaryText().c_str(), 1);
}

void view_correlation::OnSpecItemSelection() {
    std::printf("spec item selected\n");
    std::printf("tag:%ld\n", long(popbtn_specItem->currentData().toInt()));
    std::printf("index:%ld\n", long(popbtn_specItem->currentIndex()));
    std::printf("index:%s\n", popbtn_specItem->currentText().toUtf8().constData());
    _updateDispSetting(true);
}

void view_correlation::UpdateDispSetting() { _updateDispSetting(false); }
void view_correlation::UpdateDispSetting_update() { _updateDispSetting(true); }
void view_correlation::UpdateDispSetting_reload() { _update_data(true); }

void view_correlation::_onTimer_fileMonitor() {
    for (size_t g = 0; g < 2; ++g) {
        const std::vector<std::string>& list = _inputFileList[g];
        bool changed = false;
        for (size_t i = 0; i < list.size() && !changed; ++i)
            changed = FileStamp::changed(_inputFileTime[g][i], FileStamp::of(list[i]));
        if (!changed) continue;
        if (_fileChangeCount[g] < 4) {
            ++_fileChangeCount[g];
            continue;
        }
        _fileChangeCount[g] = 0;
        // A merged input is merged again from its sources.
        std::vector<std::string> again = list;
        if (_inputIsMerged[g]) again.erase(again.begin());
        _handleFileDrop_fileNameCount(int(g), again, false);
    }
}
