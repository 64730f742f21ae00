// The correlation page: two inputs (X and Y), each one station log or several
// merged, their common items and serial numbers written as two correlation
// files and loaded back, one item drawn as a scatter plot with its fit and as
// two histograms on the plot's bounds, the summary in the log text box, and the
// inputs reloaded when their files change on disk.
#pragma once

#include <QVariantList>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "Quastel_AppEvent.h"
#include "file_stamp.h"
#include "graph_base.h"
#include "graph_correlation.h"
#include "graph_histogram.h"

class QCheckBox;
class QComboBox;
class QPushButton;
class QSplitter;
class QTimer;
class ZelkCsv;
class ZelkNSTextView;

class view_correlation : public Quastel_Page, public evtSink_viewCorrelation {
public:
    view_correlation();
    ~view_correlation() override;
    view_correlation(const view_correlation&) = delete;
    view_correlation& operator=(const view_correlation&) = delete;

    // Quastel_Page
    QWidget* view() override { return _view; }
    void viewActivated() override;
    void viewDeactivated() override;
    void applicationWillTerminate(QObject* notification) override;
    void OnMenu_command_up(QObject* sender) override;
    void OnMenu_command_down(QObject* sender) override;
    void OnMenu_command_bracket_left(QObject* sender) override;
    void OnMenu_command_bracket_right(QObject* sender) override;
    void OnMenu_command_shift_c(QObject* sender) override;
    void OnMenu_option_up(QObject* sender) override;
    void OnMenu_option_down(QObject* sender) override;

    // evtSink_viewCorrelation
    bool OnFileDrop(const QMimeData* pasteboard, int index) override;
    void OnDragEvent(bool dragEntered) override;

    // Actions of the page's controls.
    void OnSpecItemSelection();
    void UpdateDispSetting();
    void UpdateDispSetting_update();
    void UpdateDispSetting_reload();
    void OnShowHistogram();

    // Takes dropped paths for input `index`: ".csv" ones only, several merged
    // first. True when the input was shown and correlated.
    bool _handleFileDrop_fileNameCount(int index, const std::vector<std::string>& paths, bool fresh);
    bool _update_data(bool fresh);
    void _updateDispSetting(bool reset);
    void _onTimer_fileMonitor();

    // A watched file's state at load: full-resolution time and size.
    using FileStamp = morvell::FileStamp;

    // Outlets of the page's layout.
    ::graph_base* graph_base = nullptr;
    ::graph_correlation* graph_correlation = nullptr;
    ::graph_histogram* graph_histogram_0 = nullptr;
    ::graph_histogram* graph_histogram_1 = nullptr;
    ZelkNSTextView* text_view = nullptr;
    QComboBox* popbtn_specItem = nullptr;
    QComboBox* popbtn_decimalPoint = nullptr;
    QComboBox* popbtn_sigmaLine = nullptr;
    QComboBox* popbtn_bucketCount = nullptr;
    QCheckBox* check_testLimit = nullptr;
    QPushButton* button_showHistogram = nullptr;
    QCheckBox* button_showSpecParam = nullptr;
    QSplitter* splitView = nullptr;

    std::array<std::shared_ptr<ZelkCsv>, 2> _csv, _csv_corr;
    std::array<int, 2> _inputFileCount{{-1, -1}};
    std::array<std::vector<std::string>, 2> _inputFileList;
    std::array<std::vector<FileStamp>, 2> _inputFileTime;
    // The list is a merged file followed by its sources.
    std::array<bool, 2> _inputIsMerged{{false, false}};
    std::array<::graph_histogram*, 2> _graph_histogram{};
    QTimer* _fileMonitor = nullptr;
    std::vector<tHist_rgb> _colorTable;
    QVariantList _userParamSetting;
    // The file watch's count of ticks that saw a change, one per input.
    std::array<int, 2> _fileChangeCount{{0, 0}};

private:
    void buildLayout();
    void awakeFromResource();
    void layoutGraphs();
    // Nothing of an earlier correlation stays on screen.
    void showNoCorrelation();
    void rebuildItems();

    QWidget* _view = nullptr;
    // The histograms show category "ALL" only.
    bool _categorySelection[1] = {true};
    // Last states seen; -1: none yet, so the first display resets and lays out.
    int _lastTestLimitState = -1;
    int _lastShowHistogramState = -1;
};
