// The trend page.
#include "view_trend.h"

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
#include <QSlider>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>
#include <unordered_map>

#include "AppDelegate.h"
#include "ZelkAlert.h"
#include "ZelkCsv.h"
#include "ZelkMath.h"
#include "ZelkTextBox.h"
#include "draw/pf_draw.h"
#include "number/pf_number.h"
#include "page_parts.h"
#include "textview/pf_textview.h"

int view_trend::s_fileChangeCount = 0;

namespace {

// Rows after the entries in `_entries`.
enum SummaryRow { kRowMax = 0, kRowMin, kRowAvg, kRowStdev, kRowSpan, kSummaryRows };

using morvell::page::lastComponent;
using morvell::page::monospaced;

std::string lowered(const char* text) {
    std::string s = text ? text : "";
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Parametric columns of a table by title ignoring case; the first of a title wins.
std::unordered_map<std::string, int> parametricColumns(const ZelkCsv& t) {
    std::unordered_map<std::string, int> out;
    const tCsv_columnItemInfo* cols = t.getColumnItem();
    for (int c = 0; c < t.columnItem_count(); ++c)
        if (cols[c].isParametric && cols[c].title) out.emplace(lowered(cols[c].title), c);
    return out;
}

// The five statistics of `values` (the missing value skipped) into the summary rows at `slot`.
void statisticsInto(std::vector<double>& values, tTrend_entry* rows, double tTrend_entry::*field) {
    double mx = kZelk_noValue, mn = kZelk_noValue, span = kZelk_noValue, avg = kZelk_noValue, sd = kZelk_noValue;
    if (!values.empty())
        ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_1D(values.data(), SInt32(values.size()), 0, SInt32(values.size()), &mx,
                                                    &mn, &span, &avg, &sd, nullptr, nullptr);
    rows[kRowMax].*field = mx;
    rows[kRowMin].*field = mn;
    rows[kRowAvg].*field = avg;
    rows[kRowStdev].*field = sd;
    rows[kRowSpan].*field = span;
}

// A cell of the summary: the number, or "NA".
std::string cell(double v, bool shown) {
    return shown && v != kZelk_noValue ? pf::number::text("\t%7.3f", v) : pf::number::text("\t%7s", "NA");
}

// The summary table of the item: entries in display order, then the stage statistics and limits.
std::string summaryText(const std::string& title, const std::vector<tTrend_entry>& entries, int n,
                        const std::vector<const tTrend_entry*>& sorted,
                        const std::array<tTrend_stepInfo, kTrend_stageCount>& steps) {
    std::string t = pf::number::text("[%s]\n", title.c_str());
    if (n <= 0) return t + "\n!!!NO MODULE TO CORRELATE!!!\n";
    t += pf::number::text("%d samples\n", n);
    t += pf::number::text("%4s\t%-18s", "idx", "sn");
    for (int s = 0; s < kTrend_stageCount; ++s) t += pf::number::text("\t%7d", s);
    t += pf::number::text("\t%7s\t%7s\t%7s\n", "avg", "span", "stdev");
    t += "--------------------------\n";
    for (int i = 0; i < n; ++i) {
        const tTrend_entry& e = *sorted[size_t(i)];
        t += pf::number::text("%4d\t%-18s ", e.index, e.sn.c_str());
        for (int s = 0; s < kTrend_stageCount; ++s) t += cell(e.value[size_t(s)], true);
        t += pf::number::text("\t%7.3f\t%7.3f\t%7.3f\n", e.avg, e.span, e.stdev);
    }
    t += "--------------------------\n";
    const tTrend_entry* rows = entries.data() + n;
    auto row = [&](const std::string& name, auto&& of) {
        t += pf::number::text("\t%22s", name.c_str());
        for (int s = 0; s < kTrend_stageCount; ++s)
            t += cell(of([&](const tTrend_entry& r) { return r.value[size_t(s)]; }), steps[size_t(s)].isValid);
        t += pf::number::text("\t%7.3f\t%7.3f\t%7.3f\n", of([](const tTrend_entry& r) { return r.avg; }),
                              of([](const tTrend_entry& r) { return r.span; }),
                              of([](const tTrend_entry& r) { return r.stdev; }));
    };
    auto plain = [&](SummaryRow which) {
        return [&rows, which](auto&& field) { return field(rows[which]); };
    };
    auto sigma = [&](double k) {
        return [&rows, k](auto&& field) { return field(rows[kRowAvg]) + k * field(rows[kRowStdev]); };
    };
    row("average", plain(kRowAvg));
    row("stdev", plain(kRowStdev));
    row(pf::number::text("-%d sigma", 2), sigma(-2));
    row("min", plain(kRowMin));
    row("max", plain(kRowMax));
    row("span", plain(kRowSpan));
    row(pf::number::text("+%d sigma", 2), sigma(2));
    for (int upper = 1; upper >= 0; --upper) {
        t += pf::number::text("\t%22s", upper ? "upperLimit" : "lowerLimit");
        for (int s = 0; s < kTrend_stageCount; ++s) {
            const tTrend_stepInfo& st = steps[size_t(s)];
            t += cell(upper ? st.upperLimit : st.lowerLimit, st.isValid);
        }
        t += "\n";
    }
    return t;
}

}  // namespace

view_trend::view_trend() {
    buildLayout();
    viewDidLoad();
}

view_trend::~view_trend() {
    _fileMonitor->stop();
    // The graph forgets the entries before they go.
    graph_trend->setData_title("", nullptr, 0, {});
    delete popover;
    delete drawer_selection;
    delete _view;
    delete text_view;
}

void view_trend::buildLayout() {
    QVBoxLayout* column = nullptr;
    QHBoxLayout* bar = morvell::page::column(_view, "view_trend", column);

    popbtn_specItem = morvell::page::specItemPopUp(_view, 6, [this] { OnSpecItemSelection(); });
    bar->addWidget(popbtn_specItem, 1);

    auto option = [&](QPushButton*& b, const char* name, const char* title, const char* tip) {
        b = new QPushButton(QString::fromLatin1(title), _view);
        b->setObjectName(QString::fromLatin1(name));
        b->setCheckable(true);
        b->setFont(monospaced(9));
        b->setMinimumWidth(0);
        b->setMaximumWidth(48);
        b->setToolTip(QString::fromLatin1(tip));
        bar->addWidget(b);
    };
    option(button_showSpecParam, "button_showSpecParam", "Spec", "Display Spec Item Only");
    option(button_doSort, "button_doSort", "Sort", "Sort by Stdev");
    option(button_selection, "button_selection", "List", "Module List");
    // The limits filter changes the item list; the sort only the order of this item's entries.
    QObject::connect(button_showSpecParam, &QPushButton::clicked, button_showSpecParam, [this] { UpdateDispSetting(); });
    QObject::connect(button_doSort, &QPushButton::clicked, button_doSort, [this] { OnSpecItemSelection(); });
    QObject::connect(button_selection, &QPushButton::clicked, button_selection, [this] { onBtn_showModuleList(); });
    text_sampleCount = new QLabel(_view);
    text_sampleCount->setObjectName(QStringLiteral("text_sampleCount"));
    text_sampleCount->setFont(monospaced(9));
    text_sampleCount->setMinimumWidth(90);
    bar->addWidget(text_sampleCount);

    splitView = morvell::page::graphOverText(
        _view, column,
        [this](QSplitter* split) {
            graph_trend = new ::graph_trend(split);
            graph_trend->setObjectName(QStringLiteral("graph_trend"));
            graph_trend->setMinimumHeight(200);
            return graph_trend;
        },
        text_view);
    drawer_selection = morvell::page::drawer("Samples", "drawer_selection", "Samples", 170, table_view);
    _fileMonitor = morvell::page::fileMonitor(_view, [this] { _onTimer_fileMonitor(); });
    popover = morvell::page::categoryPopover(popoverContent, [this](QSlider* s) { OnSlider_categoryColor(s); });
}

void view_trend::viewDidLoad() {
    QUASTEL_TRACE("view_trend viewDidLoad");
    table_view->horizontalHeader()->setVisible(false);
    clearTrend();
    popbtn_specItem->clear();
    popbtn_specItem->setEnabled(false);
    popbtn_specItem->setFont(monospaced(9));
    popbtn_specItem->setToolTip(QStringLiteral("Column Item Selection"));
    text_view->configureTextFormat(pf::draw::kMonospaceFont, 10, 4096);
    text_sampleCount->clear();
    for (QPushButton* b : {button_showSpecParam, button_selection, button_doSort}) b->setEnabled(false);
    graph_trend->setEvtSink(this);
    for (std::string& p : _inputFileList) p.clear();
    _fileMonitor->start();
}

// ---- the shell's commands

void view_trend::viewActivated() {
    morvell::page::resizeWindow(_view, 800, 460);
}

void view_trend::viewDeactivated() {
    drawer_selection->hide();
    button_selection->setChecked(false);
}

void view_trend::applicationWillTerminate(QObject*) {
    QUASTEL_TRACE("view_trend applicationWillTerminate");
    _fileMonitor->stop();
    graph_trend->setData_title("", nullptr, 0, {});
    for (auto& t : _csv) t.reset();
    _entries.clear();
    _entries_sorted.clear();
    _entryCount = 0;
}

void view_trend::OnMenu_command_up(QObject*) {
    if (morvell::page::choosePrevious(popbtn_specItem)) OnSpecItemSelection();
}

void view_trend::OnMenu_command_down(QObject*) {
    if (morvell::page::chooseNext(popbtn_specItem)) OnSpecItemSelection();
}

void view_trend::OnMenu_command_bracket_left(QObject*) {}
void view_trend::OnMenu_command_bracket_right(QObject*) {}
void view_trend::OnMenu_command_shift_c(QObject*) { graph_trend->copyToClipboard(nullptr); }
void view_trend::OnMenu_option_up(QObject*) {}
void view_trend::OnMenu_option_down(QObject*) {}

// ---- stage files

bool view_trend::OnFileDrop(const QMimeData* pasteboard, int stage) {
    bool ok = false;
    if (pasteboard && pasteboard->hasUrls() && stage >= 0 && stage < kTrend_stageCount) {
        const std::vector<std::string> paths = morvell::page::localFiles(pasteboard);
        if (paths.size() == 1)
            ok = _handleFileDrop_fileName(paths[0], stage, true);
        else if (paths.size() > 1)
            ZelkAlert_show("Multiple CSV File", "one csv file per stage\n");
    }
    std::printf("drop %s\n", ok ? "success" : "failed");
    return ok;
}

bool view_trend::isStageValid(int stage) const {
    const auto& t = _csv[size_t(stage)];
    return t && t->isValid() && t->config_count() > 0;
}

int view_trend::validStageCount() const {
    int n = 0;
    for (int s = 0; s < kTrend_stageCount; ++s) n += isStageValid(s);
    return n;
}

bool view_trend::_handleFileDrop_fileName(const std::string& path, int stage, bool fresh) {
    if (stage < 0 || stage >= kTrend_stageCount) return false;
    // The old table goes first: two large logs need not be held at once.
    _csv[size_t(stage)].reset();
    _csv[size_t(stage)] = ZelkCsv::initWithCsvFile_filePathName(path.c_str(), true);
    const bool valid = isStageValid(stage);
    if (valid) {
        _inputFileList[size_t(stage)] = path;
        _inputFileTime[size_t(stage)] = FileStamp::of(path);
        graph_trend->setFileName(lastComponent(path).c_str(), stage);
    } else if (!fresh && path == _inputFileList[size_t(stage)]) {
        // A watched file that no longer loads is tried again only when it changes again.
        _inputFileTime[size_t(stage)] = FileStamp::of(path);
    }
    // The stage's entries went with its table: the trend is built again or cleared.
    const int count = validStageCount();
    std::printf("validFileCount = %d\n", count);
    if (count > 1) {
        std::printf("identify items to correlate\n");
        _updateData(fresh && valid);
    } else {
        clearTrend();
        popbtn_specItem->clear();
        popbtn_specItem->setEnabled(false);
        text_view->reset();
    }
    return valid;
}

void view_trend::_onTimer_fileMonitor() {
    int changed = -1;
    for (int s = 0; s < kTrend_stageCount && changed < 0; ++s) {
        const std::string& path = _inputFileList[size_t(s)];
        if (path.empty()) continue;
        if (FileStamp::changed(_inputFileTime[size_t(s)], FileStamp::of(path))) changed = s;
    }
    if (changed < 0) return;
    if (s_fileChangeCount < 4) {
        ++s_fileChangeCount;
        return;
    }
    s_fileChangeCount = 0;
    const std::string path = _inputFileList[size_t(changed)];
    _handleFileDrop_fileName(path, changed, false);
}

// ---- items

void view_trend::_updateData(bool fresh) {
    // Items are offered only while there is a trend to show.
    if (validStageCount() < 2) return;
    int ref = -1;
    for (int s = 0; s < kTrend_stageCount && ref < 0; ++s)
        if (isStageValid(s)) ref = s;
    if (ref < 0) return;
    std::vector<std::unordered_map<std::string, int>> others;
    for (int s = ref + 1; s < kTrend_stageCount; ++s)
        if (isStageValid(s)) others.push_back(parametricColumns(*_csv[size_t(s)]));

    // Without the fresh flag the item on display stays when the stages still have it.
    const QString before = popbtn_specItem->currentText();
    const ZelkCsv& t = *_csv[size_t(ref)];
    const tCsv_columnItemInfo* cols = t.getColumnItem();
    std::unordered_map<std::string, int> listed;
    popbtn_specItem->clear();
    for (int c = 0; c < t.columnItem_count(); ++c) {
        if (!cols[c].isParametric || !cols[c].title) continue;
        const std::string key = lowered(cols[c].title);
        if (!listed.emplace(key, c).second) continue;
        const bool common = std::all_of(others.begin(), others.end(), [&](const auto& m) { return m.count(key) > 0; });
        if (!common) continue;
        if (button_showSpecParam->isChecked() && cols[c].limit_upper == kZelk_noValue && cols[c].limit_lower == kZelk_noValue)
            continue;
        popbtn_specItem->addItem(QString::fromUtf8(cols[c].title), c);
    }
    int at = popbtn_specItem->count() > 0 ? 0 : -1;
    if (!fresh && !before.isEmpty()) {
        const int same = popbtn_specItem->findText(before, Qt::MatchFixedString);
        if (same >= 0) at = same;
    }
    popbtn_specItem->setCurrentIndex(at);
    popbtn_specItem->setEnabled(popbtn_specItem->count() > 0);
    button_showSpecParam->setEnabled(true);
    button_doSort->setEnabled(true);
    OnSpecItemSelection();
}

void view_trend::UpdateDispSetting() { _updateData(true); }

void view_trend::OnSpecItemSelection() { _updateDispSetting(); }

// ---- the trend

void view_trend::clearTrend() {
    graph_trend->setData_title("", nullptr, 0, {});
    _entries.clear();
    _entries_sorted.clear();
    _entryCount = 0;
    _title.clear();
    text_sampleCount->clear();
    reloadTable();
}

void view_trend::_updateDispSetting() {
    int ref = -1;
    for (int s = 0; s < kTrend_stageCount && ref < 0; ++s)
        if (isStageValid(s)) ref = s;
    if (ref < 0 || validStageCount() < 2) return;

    // 1. The item by its title in the reference stage; each stage reads its own column of that title.
    const int tag = popbtn_specItem->currentIndex() >= 0 ? popbtn_specItem->currentData().toInt() : -1;
    const ZelkCsv& refTable = *_csv[size_t(ref)];
    const bool haveItem = tag >= 0 && tag < refTable.columnItem_count();
    const std::string title = haveItem && refTable.getColumnItem()[tag].title ? refTable.getColumnItem()[tag].title : "";
    const std::string key = lowered(title.c_str());
    std::array<int, kTrend_stageCount> column{};
    column.fill(-1);
    std::array<tTrend_stepInfo, kTrend_stageCount> steps{};
    for (int s = 0; s < kTrend_stageCount; ++s) {
        steps[size_t(s)].isValid = isStageValid(s);
        if (!steps[size_t(s)].isValid || !haveItem) continue;
        const auto cols = parametricColumns(*_csv[size_t(s)]);
        const auto it = s == ref ? cols.end() : cols.find(key);
        column[size_t(s)] = s == ref ? tag : (it == cols.end() ? -1 : it->second);
        if (column[size_t(s)] < 0) continue;
        const tCsv_columnItemInfo& c = _csv[size_t(s)]->getColumnItem()[column[size_t(s)]];
        steps[size_t(s)].upperLimit = c.limit_upper;
        steps[size_t(s)].lowerLimit = c.limit_lower;
    }

    // 2. Entries: each final serial number of the reference with a value, found by its exact
    // text among the final rows of every later valid stage.
    std::vector<tTrend_entry> entries;
    bool allColumns = true;
    for (int s = 0; s < kTrend_stageCount; ++s)
        if (steps[size_t(s)].isValid && column[size_t(s)] < 0) allColumns = false;
    if (haveItem && allColumns) {
        std::array<std::unordered_map<std::string_view, double>, kTrend_stageCount> bySerial;
        for (int s = ref + 1; s < kTrend_stageCount; ++s) {
            if (!steps[size_t(s)].isValid) continue;
            const tCsv_categoryDataInfo& all = _csv[size_t(s)]->getConfigInfo()[0];
            auto& m = bySerial[size_t(s)];
            m.reserve(all.data_count_final);
            for (size_t r = 0; r < all.data_count_final; ++r) {
                const double v = all.datArr_final[r][column[size_t(s)]];
                const char* sn = all.strArr_final[r][0];
                if (v != kZelk_noValue && sn) m.emplace(sn, v);
            }
        }
        const tCsv_categoryDataInfo& all = refTable.getConfigInfo()[0];
        entries.reserve(all.data_count_final + kSummaryRows);
        for (size_t r = 0; r < all.data_count_final; ++r) {
            const double v = all.datArr_final[r][tag];
            const char* sn = all.strArr_final[r][0];
            if (v == kZelk_noValue || !sn) continue;
            tTrend_entry e;
            e.value.fill(kZelk_noValue);
            e.value[size_t(ref)] = v;
            bool everywhere = true;
            for (int s = ref + 1; s < kTrend_stageCount && everywhere; ++s) {
                if (!steps[size_t(s)].isValid) continue;
                const auto it = bySerial[size_t(s)].find(sn);
                if (it == bySerial[size_t(s)].end())
                    everywhere = false;
                else
                    e.value[size_t(s)] = it->second;
            }
            if (!everywhere) continue;
            e.index = int(entries.size());
            e.sn = sn;
            ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_1D(e.value.data(), kTrend_stageCount, 0, kTrend_stageCount, &e.max,
                                                        &e.min, &e.span, &e.avg, &e.stdev, nullptr, nullptr);
            entries.push_back(std::move(e));
        }
    }
    const int n = int(entries.size());

    // 3. Highlights and colours carry over by exact serial number.
    {
        std::unordered_map<std::string_view, const tTrend_entry*> marked;
        for (int i = 0; i < _entryCount; ++i)
            if (_entries[size_t(i)].isSelected || _entries[size_t(i)].hasColor) marked.emplace(_entries[size_t(i)].sn, &_entries[size_t(i)]);
        if (!marked.empty())
            for (tTrend_entry& e : entries) {
                const auto it = marked.find(e.sn);
                if (it == marked.end()) continue;
                e.isSelected = it->second->isSelected;
                e.hasColor = it->second->hasColor;
                e.r = it->second->r, e.g = it->second->g, e.b = it->second->b;
            }
    }

    // 5. Summary rows: per stage over the entries' values, and over their avg, span and stdev.
    entries.resize(size_t(n) + kSummaryRows);
    tTrend_entry* rows = entries.data() + n;
    for (int k = 0; k < kSummaryRows; ++k) {
        rows[k].index = n + k;
        rows[k].value.fill(kZelk_noValue);
    }
    {
        std::vector<double> values;
        values.reserve(size_t(n));
        for (int s = 0; s < kTrend_stageCount; ++s) {
            if (!steps[size_t(s)].isValid) continue;
            values.clear();
            for (int i = 0; i < n; ++i) values.push_back(entries[size_t(i)].value[size_t(s)]);
            double mx = kZelk_noValue, mn = kZelk_noValue, span = kZelk_noValue, avg = kZelk_noValue, sd = kZelk_noValue;
            if (n > 0)
                ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_1D(values.data(), n, 0, n, &mx, &mn, &span, &avg, &sd, nullptr, nullptr);
            rows[kRowMax].value[size_t(s)] = mx;
            rows[kRowMin].value[size_t(s)] = mn;
            rows[kRowAvg].value[size_t(s)] = avg;
            rows[kRowStdev].value[size_t(s)] = sd;
            rows[kRowSpan].value[size_t(s)] = span;
        }
        for (double tTrend_entry::*field : {&tTrend_entry::avg, &tTrend_entry::span, &tTrend_entry::stdev}) {
            values.clear();
            for (int i = 0; i < n; ++i) values.push_back(entries[size_t(i)].*field);
            statisticsInto(values, rows, field);
        }
    }

    // 6. Display order: by stdev when asked, ties in list order; then four summary rows.
    std::vector<const tTrend_entry*> sorted;
    sorted.reserve(size_t(n) + 4);
    for (int i = 0; i < n; ++i) sorted.push_back(&entries[size_t(i)]);
    if (button_doSort->isChecked() && n >= 2)
        std::stable_sort(sorted.begin(), sorted.end(), [](const tTrend_entry* a, const tTrend_entry* b) { return a->stdev < b->stdev; });
    for (int k : {kRowMax, kRowMin, kRowAvg, kRowStdev}) sorted.push_back(&rows[k]);

    // 4 and 8. The graph takes the new list before the old one goes (the vectors'
    // buffers move with them, so the pointers stay good).
    graph_trend->setData_title(title.c_str(), steps.data(), n, sorted);
    _entries = std::move(entries);
    _entries_sorted = std::move(sorted);
    _entryCount = n;
    _stepInfo = steps;
    _title = title;
    text_sampleCount->setText(QString::fromStdString(pf::number::text("%d samples", n)));
    reloadTable();
    button_selection->setEnabled(true);

    // 7. The summary table.
    _summary = summaryText(_title, _entries, n, _entries_sorted, _stepInfo);
    std::fwrite(_summary.data(), 1, _summary.size(), stdout);
    text_view->reset();
    text_view->appendStr(_summary.c_str(), 1);
}

// ---- the module list

void view_trend::onBtn_showModuleList() {
    morvell::page::showDrawer(_view, drawer_selection, button_selection->isChecked());
}

void view_trend::reloadTable() {
    const int rows = _entryCount;
    // Buttons are kept and refreshed: a reload runs inside a button's own click.
    const int before = table_view->rowCount();
    table_view->setRowCount(rows);
    for (int row = 0; row < rows; ++row) {
        auto* button = static_cast<ZelkCategoryButton*>(table_view->cellWidget(row, 0));
        if (!button || row >= before) {
            button = new ZelkCategoryButton;
            button->setFont(monospaced(9));
            button->setEventSink(this);
            QObject::connect(button, &QPushButton::clicked, button, [this, button] { OnCB_leftClick(button); });
            table_view->setCellWidget(row, 0, button);
        }
        const tTrend_entry& e = _entries[size_t(row)];
        button->setTag(e.index);
        button->setText(QString::fromUtf8(pf::number::text("%3d %s", e.index, e.sn.c_str()).c_str()));
        button->setBackGroundColor(e.isSelected ? QColor::fromRgbF(e.r, e.g, e.b, 0.4f) : QColor::fromRgbF(1, 1, 1, 0.4f));
        button->setChecked(e.isSelected);
    }
}

void view_trend::OnCB_leftClick(ZelkCategoryButton* button) {
    const int t = button->tag();
    if (t < 0 || t >= _entryCount) return;
    tTrend_entry& e = _entries[size_t(t)];
    e.isSelected = !e.isSelected;
    if (e.isSelected && !e.hasColor) {
        e.r = 1, e.g = 0, e.b = 0;
        e.hasColor = true;
    }
    graph_trend->redraw();
    reloadTable();
}

void view_trend::OnCB_rightClick(ZelkCategoryButton* button) {
    QUASTEL_TRACE("view_trend OnCB_rightClick");
    const int t = button->tag();
    if (t < 0 || t >= _entryCount || !_entries[size_t(t)].isSelected) return;
    const tTrend_entry& e = _entries[size_t(t)];
    morvell::page::openCategoryPopover(popover, popoverContent, button, t, QString::fromUtf8(e.sn.c_str()),
                                       {int(e.r * 255), int(e.g * 255), int(e.b * 255)});
}

void view_trend::OnSlider_categoryColor(QSlider* slider) {
    // A slider not yet tagged by a right click belongs to no row.
    const QVariant tag = slider->property("tag");
    const int t = tag.isValid() ? tag.toInt() : -1;
    if (t < 0 || t >= _entryCount) return;
    tTrend_entry& e = _entries[size_t(t)];
    e.r = float(popoverContent->slider_r->value()) / 255.0f;
    e.g = float(popoverContent->slider_g->value()) / 255.0f;
    e.b = float(popoverContent->slider_b->value()) / 255.0f;
    graph_trend->redraw();
    reloadTable();
}
