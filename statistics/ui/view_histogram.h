// The histogram page: dropped station logs (several merged into one) loaded as
// a table, its parametric items in a pop-up, the chosen one drawn for all
// records, per config or per tester, the statistics table in the log text box,
// categories and their colours in a drawer, display settings kept per item, and
// the files reloaded when they change on disk.
#pragma once

#include <QVariantList>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "Quastel_AppEvent.h"
#include "file_stamp.h"
#include "graph_base.h"
#include "graph_histogram.h"

class QCheckBox;
class QComboBox;
class QDockWidget;
class QFrame;
class QPushButton;
class QSlider;
class QSplitter;
class QTableWidget;
class QTimer;
class ZelkCsv;
class ZelkNSTextView;

class view_histogram : public Quastel_Page, public evtSink_graphHistogram, public evtSink_ZelkCategoryButton {
public:
    view_histogram();
    ~view_histogram() override;
    view_histogram(const view_histogram&) = delete;
    view_histogram& operator=(const view_histogram&) = delete;

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

    // evtSink_graphHistogram, evtSink_ZelkCategoryButton
    bool OnFileDrop(const QMimeData* pasteboard) override;
    void OnSaveCurrentSetting() override;
    void OnCB_rightClick(ZelkCategoryButton* button) override;

    // Actions of the page's controls.
    void OnSeg_viewSelection(int segment);
    void OnSpecItemSelection();
    void UpdateDispSetting();
    void OnSpecItemOnly();
    void OnCB_leftClick(ZelkCategoryButton* button);
    void OnSlider_categoryColor(QSlider* slider);

    void setDisplayMode(int mode);
    void _update_data(bool fresh);
    void _updateDispSetting(bool fresh);
    // Takes dropped paths: only ".csv" ones, several merged first. False when refused.
    bool _handleFileDrop_fileNameCount(const std::vector<std::string>& paths, bool fresh);
    void _onTimer_fileMonitor();
    // Writes "noise.csv" beside the watched file from the recordings under its "waves" folder.
    bool _process_wav_files();

    // The watched files' state at load: full-resolution time and size.
    using FileStamp = morvell::FileStamp;

    // Outlets of the page's layout.
    ::graph_histogram* graph_histogram = nullptr;
    ZelkNSTextView* text_view = nullptr;
    QTableWidget* table_view = nullptr;
    QPushButton* button_lastOnly = nullptr;
    QPushButton* button_passOnly = nullptr;
    QPushButton* button_specItemOnly = nullptr;
    QCheckBox* check_testLimit = nullptr;
    std::array<QPushButton*, 3> segment_displayMode{};
    QComboBox* popbtn_specItem = nullptr;
    QComboBox* popbtn_decimalPoint = nullptr;
    QComboBox* popbtn_bucketCount = nullptr;
    QComboBox* popbtn_sigmaLine = nullptr;
    QDockWidget* drawer_selection = nullptr;
    QFrame* popover = nullptr;
    categoryView* popoverContent = nullptr;
    QSplitter* splitView = nullptr;

    std::shared_ptr<ZelkCsv> _csv;
    int _inputFileCount = -1;
    std::vector<std::string> _inputFileList;
    std::vector<FileStamp> _inputFileTime;
    // The list is a merged file followed by its sources.
    bool _inputIsMerged = false;
    QTimer* _fileMonitor = nullptr;
    int _displayMode = -1;
    std::vector<tHist_rgb> _colorTable;
    QVariantList _userParamSetting;
    int _categoryCountMax = 1024;
    std::unique_ptr<bool[]> _categorySelection_config, _categorySelection_tester;

    // The file watch's count of ticks that saw a change, shared by the process's pages.
    static int s_fileChangeCount;

private:
    void awakeFromResource();
    void buildLayout();
    bool* modeSelection() const;
    int selectedSegment() const;
    void selectSegment(int segment);
    void setCategoryZeroColour();
    void reloadCategoryTable();
    void storeColorTable();
    void resetSelections(int size);

    QWidget* _view = nullptr;
};
