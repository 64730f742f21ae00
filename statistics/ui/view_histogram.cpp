// The histogram page.
#include "view_histogram.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QFile>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QVariantMap>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "AppDelegate.h"
#include "AppUserDefaults.h"
#include "ZelkCsv.h"
#include "ZelkNoise.h"
#include "ZelkTextBox.h"
#include "draw/pf_draw.h"
#include "file/pf_file.h"
#include "number/pf_number.h"
#include "page_parts.h"
#include "textview/pf_textview.h"

int view_histogram::s_fileChangeCount = 0;

namespace {

// The set-up and the limits box's last state are the process's, not a page's.
bool g_awakeDone = false;
bool g_lastTestLimitState = true;

using morvell::page::folderOf;
using morvell::page::kBucketEntries;
using morvell::page::kDecimalEntries;
using morvell::page::kKeyParamDispSetting;
using morvell::page::lastComponent;
using morvell::page::monospaced;
using morvell::page::tagOf;
using Entry = morvell::page::PopUpEntry;

const Entry kSigmaEntries[] = {{"0 sig", 0}, {"1 sig", 1}, {"2 sig", 2}, {"3 sig", 3}, {"4 sig", 4}, {"5 sig", 5}, {"6 sig", 6}};

// A stored index, clamped into the pop-up's entries.
void selectStored(QComboBox* box, const QVariant& index) {
    bool ok = false;
    const int i = index.toInt(&ok);
    if (!ok || box->count() == 0) return;
    box->setCurrentIndex(std::clamp(i, 0, box->count() - 1));
}

bool isCsvName(const std::string& path) {
    const size_t dot = path.rfind('.');
    return dot != std::string::npos && strcasecmp(path.c_str() + dot + 1, "csv") == 0;
}

}  // namespace

view_histogram::view_histogram() {
    buildLayout();
    awakeFromResource();
}

view_histogram::~view_histogram() {
    _fileMonitor->stop();
    if (graph_histogram) graph_histogram->clearData();
    delete popover;
    delete drawer_selection;
    delete _view;
    delete text_view;
}

void view_histogram::buildLayout() {
    QVBoxLayout* column = nullptr;
    QHBoxLayout* bar = morvell::page::column(_view, "view_histogram", column);

    const char* segmentTitles[3] = {"ALL", "Config", "Tester"};
    for (int i = 0; i < 3; ++i) {
        auto* b = new QPushButton(QString::fromLatin1(segmentTitles[i]), _view);
        b->setObjectName(QStringLiteral("segment_displayMode_%1").arg(i));
        b->setCheckable(true);
        b->setFont(monospaced(9));
        b->setMinimumWidth(0);
        b->setMaximumWidth(46);
        QObject::connect(b, &QPushButton::clicked, b, [this, i] {
            selectSegment(i);
            OnSeg_viewSelection(i);
        });
        segment_displayMode[size_t(i)] = b;
        bar->addWidget(b);
    }
    popbtn_specItem = morvell::page::specItemPopUp(_view, 6, [this] { OnSpecItemSelection(); });
    bar->addWidget(popbtn_specItem, 1);

    auto option = [&](QPushButton*& b, const char* name, const char* title) {
        b = new QPushButton(QString::fromLatin1(title), _view);
        b->setObjectName(QString::fromLatin1(name));
        b->setCheckable(true);
        b->setFont(monospaced(9));
        b->setMinimumWidth(0);
        b->setMaximumWidth(40);
        bar->addWidget(b);
    };
    option(button_lastOnly, "button_lastOnly", "Last");
    option(button_passOnly, "button_passOnly", "Pass");
    option(button_specItemOnly, "button_specItemOnly", "Spec");
    QObject::connect(button_lastOnly, &QPushButton::clicked, button_lastOnly, [this] { UpdateDispSetting(); });
    QObject::connect(button_passOnly, &QPushButton::clicked, button_passOnly, [this] { UpdateDispSetting(); });
    QObject::connect(button_specItemOnly, &QPushButton::clicked, button_specItemOnly, [this] { OnSpecItemOnly(); });
    check_testLimit = new QCheckBox(QStringLiteral("Lmt"), _view);
    check_testLimit->setObjectName(QStringLiteral("check_testLimit"));
    check_testLimit->setChecked(true);
    check_testLimit->setFont(monospaced(9));
    QObject::connect(check_testLimit, &QCheckBox::clicked, check_testLimit, [this] { UpdateDispSetting(); });
    bar->addWidget(check_testLimit);

    popbtn_decimalPoint = morvell::page::popUp(_view, "popbtn_decimalPoint", kDecimalEntries, 64);
    popbtn_bucketCount = morvell::page::popUp(_view, "popbtn_bucketCount", kBucketEntries, 64);
    popbtn_sigmaLine = morvell::page::popUp(_view, "popbtn_sigmaLine", kSigmaEntries, 64);
    for (QComboBox* box : {popbtn_decimalPoint, popbtn_bucketCount, popbtn_sigmaLine}) {
        QObject::connect(box, &QComboBox::activated, box, [this](int) { UpdateDispSetting(); });
        bar->addWidget(box);
    }

    splitView = morvell::page::graphOverText(
        _view, column,
        [this](QSplitter* split) {
            graph_histogram = new ::graph_histogram(split);
            graph_histogram->setObjectName(QStringLiteral("graph_histogram"));
            // The divider stays at least 200 below the graph's top.
            graph_histogram->setMinimumHeight(200);
            return graph_histogram;
        },
        text_view);
    drawer_selection = morvell::page::drawer("Category", "drawer_selection", "Category", 150, table_view);
    _fileMonitor = morvell::page::fileMonitor(_view, [this] { _onTimer_fileMonitor(); });
    popover = morvell::page::categoryPopover(popoverContent, [this](QSlider* s) { OnSlider_categoryColor(s); });
}

void view_histogram::awakeFromResource() {
    QUASTEL_TRACE("view_histogram awakeFromResource");
    g_awakeDone = true;
    morvell::page::readStore(_colorTable, _userParamSetting);
    resetSelections(_categoryCountMax);

    text_view->configureTextFormat(pf::draw::kMonospaceFont, 10, 4096);
    text_view->appendStr("Test String\n");
    popbtn_specItem->clear();
    popbtn_specItem->setEnabled(false);
    popbtn_specItem->setToolTip(QStringLiteral("Column Item Selection"));
    const std::pair<QPushButton*, const char*> options[] = {{button_lastOnly, "Last Test\nResult Only"},
                                                            {button_passOnly, "Passing Test\nResult Only"},
                                                            {button_specItemOnly, "Display Spec Item Only"}};
    for (const auto& [b, tip] : options) {
        b->setEnabled(false);
        b->setChecked(false);
        b->setToolTip(QString::fromLatin1(tip));
    }
    setDisplayMode(0);
    for (QPushButton* s : segment_displayMode) {
        s->setEnabled(false);
        s->setChecked(false);
        s->setToolTip(QStringLiteral("Display Mode\nSelection"));
    }
    const std::tuple<QComboBox*, int, const char*> pops[] = {{popbtn_decimalPoint, 1, "Decimal Point\nSelection"},
                                                             {popbtn_bucketCount, 2, "Bucket/Stdev\nSelection"},
                                                             {popbtn_sigmaLine, 4, "Sigma Line\nSelection"}};
    for (const auto& [box, index, tip] : pops) {
        box->setCurrentIndex(index);
        box->setEnabled(false);
        box->setToolTip(QString::fromLatin1(tip));
    }
    for (QComboBox* box : {popbtn_specItem, popbtn_decimalPoint, popbtn_bucketCount, popbtn_sigmaLine})
        box->setFont(monospaced(9));
    graph_histogram->evtSink = this;
    graph_histogram->setColorTable(&_colorTable);
}

void view_histogram::resetSelections(int size) {
    _categoryCountMax = size;
    _categorySelection_config.reset(new bool[size_t(size)]());
    _categorySelection_tester.reset(new bool[size_t(size)]());
    _categorySelection_config[0] = true;
    _categorySelection_tester[0] = true;
}

bool* view_histogram::modeSelection() const {
    return _displayMode == 2 ? _categorySelection_tester.get() : _categorySelection_config.get();
}

int view_histogram::selectedSegment() const {
    for (int i = 0; i < 3; ++i)
        if (segment_displayMode[size_t(i)]->isChecked()) return i;
    return -1;
}

void view_histogram::selectSegment(int segment) {
    for (int i = 0; i < 3; ++i) segment_displayMode[size_t(i)]->setChecked(i == segment);
}

// ---- the shell's commands

void view_histogram::viewActivated() {
    morvell::page::resizeWindow(_view, 640, 480);
}

void view_histogram::viewDeactivated() { drawer_selection->hide(); }

void view_histogram::applicationWillTerminate(QObject*) {
    QUASTEL_TRACE("view_histogram applicationWillTerminate");
    _fileMonitor->stop();
    graph_histogram->clearData();
    _csv.reset();
    _inputFileList.clear();
    _inputFileTime.clear();
    _inputFileCount = -1;
}

void view_histogram::OnMenu_command_up(QObject*) {
    if (morvell::page::choosePrevious(popbtn_specItem)) OnSpecItemSelection();
}

void view_histogram::OnMenu_command_down(QObject*) {
    if (morvell::page::chooseNext(popbtn_specItem)) OnSpecItemSelection();
}

void view_histogram::OnMenu_command_bracket_left(QObject*) {
    const int i = popbtn_bucketCount->currentIndex();
    if (i + 1 >= popbtn_bucketCount->count()) return;
    popbtn_bucketCount->setCurrentIndex(i + 1);
    UpdateDispSetting();
}

void view_histogram::OnMenu_command_bracket_right(QObject*) {
    const int i = popbtn_bucketCount->currentIndex();
    if (i <= 0) return;
    popbtn_bucketCount->setCurrentIndex(i - 1);
    UpdateDispSetting();
}

void view_histogram::OnMenu_command_shift_c(QObject*) { graph_histogram->copyToClipboard(nullptr); }

void view_histogram::OnMenu_option_up(QObject*) {}
void view_histogram::OnMenu_option_down(QObject*) {}

// ---- files

bool view_histogram::OnFileDrop(const QMimeData* pasteboard) {
    if (!pasteboard || !pasteboard->hasUrls()) return true;
    const std::vector<std::string> paths = morvell::page::localFiles(pasteboard);
    for (bool* s : {_categorySelection_config.get(), _categorySelection_tester.get()}) {
        std::fill(s, s + _categoryCountMax, false);
        s[0] = true;
    }
    _handleFileDrop_fileNameCount(paths, true);
    return true;
}

bool view_histogram::_handleFileDrop_fileNameCount(const std::vector<std::string>& paths, bool fresh) {
    std::vector<std::string> kept;
    for (const std::string& p : paths) {
        std::printf("\t%s\n", lastComponent(p).c_str());
        if (isCsvName(p)) kept.push_back(p);
    }
    std::printf("%d csv files droped\n", int(kept.size()));
    if (kept.empty()) return false;

    std::vector<std::string> list = kept;
    bool merged = false;
    if (kept.size() > 1) {
        const std::string target = folderOf(kept[0]) + "/_CSV_FILE_MERGED_.csv";
        std::error_code ec;
        std::filesystem::remove(target, ec);
        std::vector<const char*> sources;
        for (const std::string& k : kept) sources.push_back(k.c_str());
        if (ZelkCsv::mergeCsv_fileCount(int(sources.size()), sources.data(), false, target.c_str()) != 0) return false;
        list.insert(list.begin(), target);
        merged = true;
    }

    _fileMonitor->stop();
    _inputFileList = list;
    _inputFileCount = int(list.size());
    _inputIsMerged = merged;
    _inputFileTime.clear();
    for (const std::string& p : list) _inputFileTime.push_back(FileStamp::of(p));

    // The graph lets go of the old table's records before the table goes.
    graph_histogram->clearData();
    _csv.reset();
    _csv = ZelkCsv::initWithCsvFile_filePathName(list[0].c_str(), true);
    const bool usable = _csv && _csv->isValid() && _csv->config_count() > 0 && _csv->tester_count() > 0;
    // After a load that gave no items, the next good one lists them as a drop does.
    if (usable && popbtn_specItem->count() == 0) fresh = true;

    if (fresh || !usable) {
        popbtn_specItem->clear();
        if (usable) {
            const tCsv_columnItemInfo* items = _csv->getColumnItem();
            const bool specOnly = button_specItemOnly->isChecked();
            for (int i = 0; i < _csv->columnItem_count(); ++i) {
                const tCsv_columnItemInfo& c = items[i];
                if (!c.isParametric) continue;
                if (specOnly && c.limit_upper == kZelk_noValue && c.limit_lower == kZelk_noValue) continue;
                const QString title = QString::fromUtf8(c.title ? c.title : "");
                const int earlier = popbtn_specItem->findText(title, Qt::MatchExactly);
                if (earlier >= 0) popbtn_specItem->removeItem(earlier);
                popbtn_specItem->addItem(title, i);
            }
        }
        popbtn_specItem->setCurrentIndex(popbtn_specItem->count() > 0 ? 0 : -1);
        popbtn_specItem->setEnabled(usable);
        button_lastOnly->setChecked(false);
        button_passOnly->setChecked(false);
    }
    for (QPushButton* b : {button_lastOnly, button_passOnly, button_specItemOnly}) b->setEnabled(true);

    if (usable) {
        segment_displayMode[0]->setEnabled(true);
        segment_displayMode[1]->setEnabled(_csv->config_count() > 1);
        segment_displayMode[2]->setEnabled(_csv->tester_count() > 1);
        const int s = selectedSegment();
        if ((s == 1 && _csv->config_count() <= 1) || (s == 2 && _csv->tester_count() <= 1)) {
            selectSegment(0);
            setDisplayMode(0);
        }
        if (fresh) {
            selectSegment(0);
            setDisplayMode(0);
        }
    }
    for (QComboBox* box : {popbtn_decimalPoint, popbtn_bucketCount, popbtn_sigmaLine}) box->setEnabled(true);
    if (fresh) {
        popbtn_decimalPoint->setCurrentIndex(1);
        popbtn_bucketCount->setCurrentIndex(2);
        popbtn_sigmaLine->setCurrentIndex(4);
    }
    if (usable) {
        _update_data(fresh);
    } else {
        text_view->reset();
        table_view->setRowCount(0);
    }
    _fileMonitor->start();
    return true;
}

void view_histogram::OnSpecItemOnly() {
    if (_inputFileList.empty()) return;
    // A merged set is merged again from its sources.
    std::vector<std::string> again = _inputFileList;
    if (_inputIsMerged) again.erase(again.begin());
    _handleFileDrop_fileNameCount(again, true);
}

void view_histogram::_onTimer_fileMonitor() {
    if (_inputFileList.empty()) return;
    bool changed = false;
    for (size_t i = 0; i < _inputFileList.size() && !changed; ++i)
        changed = FileStamp::changed(_inputFileTime[i], FileStamp::of(_inputFileList[i]));
    if (!changed) return;
    if (s_fileChangeCount < 4) {
        ++s_fileChangeCount;
        return;
    }
    s_fileChangeCount = 0;
    std::vector<std::string> again = _inputFileList;
    if (_inputIsMerged) again.erase(again.begin());
    _handleFileDrop_fileNameCount(again, false);
}

// ---- display

void view_histogram::setCategoryZeroColour() {
    if (_colorTable.empty()) return;
    bool red = _displayMode == 0;
    if (!red) {
        const bool* sel = modeSelection();
        const int n = std::min(graph_histogram->categoryCount(), _categoryCountMax);
        int on = 0, which = -1;
        for (int k = 0; k < n; ++k)
            if (sel[k]) ++on, which = k;
        red = on == 1 && which == 0;
    }
    _colorTable[0] = red ? tHist_rgb{255, 0, 0} : tHist_rgb{128, 128, 128};
}

void view_histogram::setDisplayMode(int mode) {
    if (mode == _displayMode) return;
    _displayMode = mode;
    morvell::page::showDrawer(_view, drawer_selection, mode == 1 || mode == 2);
    setCategoryZeroColour();
    _update_data(false);
}

void view_histogram::OnSeg_viewSelection(int segment) {
    if (segment < 0) return;
    setDisplayMode(segment);
}

void view_histogram::_update_data(bool fresh) {
    if (!_csv || !_csv->isValid() || _csv->config_count() <= 0 || _csv->tester_count() <= 0) return;
    int count = 1;
    const tCsv_categoryDataInfo* categories = _csv->getConfigInfo();
    if (_displayMode == 1) {
        count = _csv->config_count();
    } else if (_displayMode == 2) {
        count = _csv->tester_count();
        categories = _csv->getTesterInfo();
    }
    if (count > _categoryCountMax) resetSelections(count);
    graph_histogram->setData_columnCount(_csv->columnItem_count(), _csv->getColumnItem(), count, categories,
                                         modeSelection());
    _updateDispSetting(fresh);
}

void view_histogram::_updateDispSetting(bool fresh) {
    if (!_csv || popbtn_specItem->currentIndex() < 0) return;
    bool apply = fresh;
    if (check_testLimit->isChecked() != g_lastTestLimitState) {
        g_lastTestLimitState = check_testLimit->isChecked();
        apply = true;
    }
    if (apply) {
        const QString title = popbtn_specItem->currentText();
        for (const QVariant& v : _userParamSetting) {
            const QVariantMap entry = v.toMap();
            if (entry.value(QStringLiteral("parameter")).toString() != title) continue;
            selectStored(popbtn_decimalPoint, entry.value(QStringLiteral("hist_decimalPoint")));
            selectStored(popbtn_sigmaLine, entry.value(QStringLiteral("hist_stdevLinePos")));
            selectStored(popbtn_bucketCount, entry.value(QStringLiteral("hist_bucketCount")));
            break;
        }
    }
    graph_histogram->setColumnToDisplay_columnIndex(popbtn_specItem->currentData().toInt(), button_lastOnly->isChecked(),
                                                    button_passOnly->isChecked(), tagOf(popbtn_decimalPoint),
                                                    tagOf(popbtn_bucketCount), tagOf(popbtn_sigmaLine),
                                                    g_lastTestLimitState, apply);
    text_view->reset();
    text_view->appendStr(graph_histogram->summaryText().c_str(), 1);
    reloadCategoryTable();
}

void view_histogram::UpdateDispSetting() { _updateDispSetting(false); }

void view_histogram::OnSpecItemSelection() {
    std::printf("spec item selected\n");
    std::printf("tag:%ld\n", long(popbtn_specItem->currentData().toInt()));
    std::printf("index:%ld\n", long(popbtn_specItem->currentIndex()));
    std::printf("index:%s\n", popbtn_specItem->currentText().toUtf8().constData());
    _update_data(true);
}

void view_histogram::OnSaveCurrentSetting() {
    const QString title = popbtn_specItem->currentText();
    QVariantMap entry;
    entry[QStringLiteral("parameter")] = title;
    entry[QStringLiteral("hist_decimalPoint")] = popbtn_decimalPoint->currentIndex();
    entry[QStringLiteral("hist_stdevLinePos")] = popbtn_sigmaLine->currentIndex();
    entry[QStringLiteral("hist_bucketCount")] = popbtn_bucketCount->currentIndex();
    const char* corr[] = {"corr_decimalPoint", "corr_stdevFilter", "corr_bucketCount"};
    int at = -1;
    for (int i = 0; i < _userParamSetting.size(); ++i)
        if (_userParamSetting[i].toMap().value(QStringLiteral("parameter")).toString() == title) {
            at = i;
            break;
        }
    for (const char* key : corr) {
        const QString k = QString::fromLatin1(key);
        entry[k] = at >= 0 ? _userParamSetting[at].toMap().value(k, -1) : QVariant(-1);
    }
    if (at >= 0)
        _userParamSetting[at] = entry;
    else
        _userParamSetting.append(entry);
    auto store = morvell::userDefaults();
    store->setValue(QString::fromLatin1(kKeyParamDispSetting), _userParamSetting);
    store->sync();
}

// ---- categories

void view_histogram::reloadCategoryTable() {
    const int rows = graph_histogram->categoryCount();
    const tCsv_categoryData* data = graph_histogram->categoryData();
    const bool* sel = modeSelection();
    // Buttons are kept and refreshed: a reload runs inside a button's own click.
    const int before = table_view->rowCount();
    table_view->setRowCount(rows);
    for (int row = 0; row < rows; ++row) {
        auto* button = static_cast<ZelkCategoryButton*>(table_view->cellWidget(row, 0));
        if (!button || row >= before) {
            button = new ZelkCategoryButton;
            button->setFont(monospaced(9));
            button->setTag(row);
            button->setEventSink(this);
            QObject::connect(button, &QPushButton::clicked, button, [this, button] { OnCB_leftClick(button); });
            table_view->setCellWidget(row, 0, button);
        }
        const tCsv_categoryData& rec = data[row];
        button->setText(QString::fromUtf8(pf::number::text("%s:%d", rec.name ? rec.name : "", rec.count).c_str()));
        button->setBackGroundColor(QColor::fromRgbF(rec.r, rec.g, rec.b, 0.4f));
        button->setChecked(row < _categoryCountMax && sel[row]);
    }
}

void view_histogram::OnCB_leftClick(ZelkCategoryButton* button) {
    std::printf("left click\n");
    const int rows = std::min(table_view->rowCount(), _categoryCountMax);
    auto buttonAt = [&](int row) { return static_cast<ZelkCategoryButton*>(table_view->cellWidget(row, 0)); };
    bool any = false;
    for (int row = 0; row < rows; ++row)
        if (buttonAt(row) && buttonAt(row)->isChecked()) any = true;
    // One category always stays shown.
    if (!any) button->setChecked(true);
    bool* sel = modeSelection();
    bool differs = false;
    for (int row = 0; row < rows && !differs; ++row) differs = buttonAt(row) && buttonAt(row)->isChecked() != sel[row];
    if (!differs) return;
    for (int row = 0; row < rows; ++row)
        if (buttonAt(row)) sel[row] = buttonAt(row)->isChecked();
    setCategoryZeroColour();
    _update_data(false);
}

void view_histogram::OnCB_rightClick(ZelkCategoryButton* button) {
    const int t = button->tag();
    if (t <= 0 || t >= graph_histogram->categoryCount()) return;
    const tCsv_categoryData& rec = graph_histogram->categoryData()[t];
    const tHist_rgb& c = _colorTable[size_t(t) % _colorTable.size()];
    morvell::page::openCategoryPopover(popover, popoverContent, button, t,
                                       QStringLiteral("%1: %2").arg(QString::fromLatin1(_displayMode == 1 ? "config" : "tester"),
                                                                    QString::fromUtf8(rec.name ? rec.name : "")),
                                       {c.r, c.g, c.b});
}

void view_histogram::OnSlider_categoryColor(QSlider* slider) {
    const int t = slider->property("tag").toInt();
    if (t <= 0 || _colorTable.empty()) return;
    _colorTable[size_t(t) % _colorTable.size()] = {popoverContent->slider_r->value(), popoverContent->slider_g->value(),
                                                   popoverContent->slider_b->value()};
    storeColorTable();
    _update_data(false);
}

void view_histogram::storeColorTable() {
    morvell::ColorTable table;
    for (size_t i = 0; i < table.size(); ++i) {
        const tHist_rgb& c = _colorTable[i % _colorTable.size()];
        table[i] = QColor(c.r, c.g, c.b);
    }
    auto store = morvell::userDefaults();
    morvell::writeColorTable(*store, table);
    store->sync();
}

// ---- recordings

bool view_histogram::_process_wav_files() {
    QUASTEL_TRACE("view_histogram _process_wav_files");
    if (_inputFileList.empty() || !_csv || !_csv->isValid() || _csv->config_count() <= 0) return false;
    const std::string folder = folderOf(_inputFileList[0]);
    const std::string output = folder + "/noise.csv";
    std::printf("%s\n%s\n", pf::number::text("rm -rf %s/noise.csv", folder.c_str()).c_str(), output.c_str());
    const std::string waves = folder + "/waves";
    static const char* const kNames[4] = {"AlertMicroPulse0504Test-REF.wav", "AlertMiniPulse036Test-REF.wav",
                                          "AlertPulseTest036WBrake-REF.wav", "AlertBoostedVibe0504Test-REF.wav"};
    std::string out = pf::number::text("FACT,Version: %s %s\n", kMorvellName, kMorvellVersion);
    out += "SerialNumber,Station ID,Test Pass/Fail,StartTime,EndTime,microTap504_stdev,miniTap360_stdev,Tap360_stdev,"
           "BV504_stdev,\n";
    out += "Upper Limit----->,,,,,NA,NA,NA,NA,\n";
    out += "Lower Limit----->,,,,,NA,NA,NA,NA,\n";
    const tCsv_categoryDataInfo& all = _csv->getConfigInfo()[0];
    std::printf("%s\n", all.name ? all.name : "");
    for (size_t r = 0; r < all.data_count; ++r) {
        const char* s = all.strArr[r][0] ? all.strArr[r][0] : "";
        out += pf::number::text("%s,tester,pass,st,ed,", s);
        std::printf("[%s]\n", s);
        // A serial number names a folder under waves only when it cannot leave it.
        const bool safe = *s && std::strchr(s, '/') == nullptr && std::strcmp(s, ".") != 0 && std::strcmp(s, "..") != 0;
        std::vector<std::filesystem::path> entries;
        std::error_code ec;
        if (safe)
            for (const auto& e : std::filesystem::directory_iterator(waves + "/" + s, ec)) entries.push_back(e.path());
        std::printf("entryCnt=%d\n", int(entries.size()));
        for (const char* name : kNames) {
            std::string measure = "NA";
            for (size_t i = 0; i < entries.size(); ++i) {
                const std::string entry = entries[i].filename().string();
                if (entry.find(name) == std::string::npos) continue;
                std::error_code kind;
                std::printf("%4d\t%c\t%c\t%-20s\n", int(i), std::filesystem::is_regular_file(entries[i], kind) ? 'F' : '-',
                            std::filesystem::is_directory(entries[i], kind) ? 'D' : '-', entry.c_str());
                std::ifstream in(entries[i], std::ios::binary);
                const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                if (!in.good() && !in.eof()) break;
                double avg = 0, stdev = 0;
                if (ZelkNoise_measureWav(bytes.data(), bytes.size(), &avg, &stdev)) {
                    std::printf("%s", pf::number::text("\t\tavg2=%.3f,stdev2=%.3f\n", avg, stdev).c_str());
                    measure = pf::number::text("%.3f", stdev);
                }
                break;
            }
            out += measure + ",";
        }
        out += "\n";
    }
    pf::file::ReplacingWrite file(output);
    return file.write(out.data(), out.size()) && file.commit() == pf::file::ReplacingWrite::Status::ok;
}
