// The trend page: one station log per test stage dropped on the graph's six
// zones, the items every loaded stage has in a pop-up, and for the chosen item
// each serial number of the first loaded stage followed through the others:
// an entry per serial number with its statistics across stages, listed in a
// drawer where the user highlights serial numbers and colours them, a summary
// table in the log text box, and the stage files reloaded when they change.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "Quastel_AppEvent.h"
#include "file_stamp.h"
#include "graph_base.h"
#include "graph_trend.h"

class QComboBox;
class QDockWidget;
class QFrame;
class QLabel;
class QPushButton;
class QSlider;
class QSplitter;
class QTableWidget;
class QTimer;
class ZelkCsv;
class ZelkNSTextView;

class view_trend : public Quastel_Page, public evtSink_viewTrend, public evtSink_ZelkCategoryButton {
public:
    view_trend();
    ~view_trend() override;
    view_trend(const view_trend&) = delete;
    view_trend& operator=(const view_trend&) = delete;

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

    // evtSink_viewTrend, evtSink_ZelkCategoryButton
    bool OnFileDrop(const QMimeData* pasteboard, int stage) override;
    void OnCB_rightClick(ZelkCategoryButton* button) override;

    // Actions of the page's controls.
    void UpdateDispSetting();
    void OnSpecItemSelection();
    void onBtn_showModuleList();
    void OnCB_leftClick(ZelkCategoryButton* button);
    void OnSlider_categoryColor(QSlider* slider);

    // Loads `path` as stage `stage`; true when its table is valid.
    bool _handleFileDrop_fileName(const std::string& path, int stage, bool fresh);
    void _updateData(bool fresh);
    void _updateDispSetting();
    void _onTimer_fileMonitor();

    // A stage file's state at load: full-resolution time and size.
    using FileStamp = morvell::FileStamp;

    // Outlets of the page's layout.
    ::graph_trend* graph_trend = nullptr;
    QComboBox* popbtn_specItem = nullptr;
    ZelkNSTextView* text_view = nullptr;
    QPushButton* button_selection = nullptr;
    QDockWidget* drawer_selection = nullptr;
    QTableWidget* table_view = nullptr;
    QLabel* text_sampleCount = nullptr;
    QPushButton* button_showSpecParam = nullptr;
    QPushButton* button_doSort = nullptr;
    QFrame* popover = nullptr;
    categoryView* popoverContent = nullptr;
    QSplitter* splitView = nullptr;

    std::array<std::shared_ptr<ZelkCsv>, kTrend_stageCount> _csv{};
    std::array<std::string, kTrend_stageCount> _inputFileList{};
    std::array<FileStamp, kTrend_stageCount> _inputFileTime{};
    QTimer* _fileMonitor = nullptr;
    // The entries, then the maximum, minimum, average, standard-deviation and span rows.
    int _entryCount = 0;
    std::vector<tTrend_entry> _entries;
    // The entries in display order, then the maximum, minimum, average and standard-deviation rows.
    std::vector<const tTrend_entry*> _entries_sorted;
    std::array<tTrend_stepInfo, kTrend_stageCount> _stepInfo{};
    // The item on display, as titled in the reference stage.
    std::string _title;
    // The last summary table written to the text box.
    std::string _summary;

    // The file watch's count of ticks that saw a change: one for all stages.
    static int s_fileChangeCount;

private:
    void buildLayout();
    void viewDidLoad();
    bool isStageValid(int stage) const;
    int validStageCount() const;
    // Forgets the entries and hands the graph an empty list.
    void clearTrend();
    void reloadTable();

    QWidget* _view = nullptr;
};
