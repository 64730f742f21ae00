// The GR&R page: the graph, its item pop-up and filters, the tester drawer with
// one coloured radio button per tester, the FOM summary under the graph and the
// GR&R summary in a panel over the main window.
#pragma once

#include <memory>

#include "Quastel_AppEvent.h"
#include "graph_base.h"
#include "graph_grr.h"

class QCheckBox;
class QComboBox;
class QDialog;
class QDockWidget;
class QPushButton;
class QSplitter;
class QTableWidget;
class QTimer;
class ZelkNSTextView;

class view_grr : public Quastel_Page, public evtSink_graphGrr, public evtSink_ZelkCategoryButton {
public:
    view_grr();  // initWithViewResource + awakeFromResource
    ~view_grr() override;
    view_grr(const view_grr&) = delete;
    view_grr& operator=(const view_grr&) = delete;

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

    // evtSink_graphGrr, evtSink_ZelkCategoryButton
    void OnCsvFileDropped(bool fresh) override;
    void OnSelectionChanged() override;
    void OnCB_rightClick(ZelkCategoryButton* button) override;

    // Actions.
    void OnSpecItemSelection();
    void OnCB_leftClick(ZelkCategoryButton* button);
    void OnBtn_specItemOnly();
    void OnBtn_grrItemOnly();
    void OnBtn_showTestLimit();
    void OnBtn_showSummary();
    void OnBtn_saveImage();

    // The table's source: row count, and the button of a row of the "Category"
    // column (none for another column or a row beyond the testers).
    int numberOfRowsInTableView() const;
    ZelkCategoryButton* tableView(const char* column, int row);
    // Makes every row's button again, as the table does on a reload. The first
    // tester is chosen only after a fresh load.
    void reloadTesterTable();
    // A split view's divider: the subview's origin plus 200.
    static double splitView(double origin) { return origin + 200; }
    void onTimer();

    // Outlets.
    ::graph_grr* graph_grr = nullptr;
    QComboBox* popbtn_specItem = nullptr;
    QDockWidget* drawer_tester_list = nullptr;
    QTableWidget* table_view = nullptr;
    QPushButton* button_specItemOnly = nullptr;
    QPushButton* button_grrItemOnly = nullptr;
    QCheckBox* check_showTestLimit = nullptr;
    QCheckBox* check_showLimitText = nullptr;
    ZelkNSTextView* text_view = nullptr;
    ZelkNSTextView* text_summary = nullptr;
    QPushButton* button_show_summary = nullptr;
    QPushButton* button_save_image = nullptr;
    QDialog* dialog_summary = nullptr;
    QSplitter* splitter = nullptr;

    bool isDialogOpen_summary = false;
    QTimer* fileMonitor = nullptr;
    bool updateString = false;

private:
    void buildLayout();
    void awakeFromResource();
    ZelkCategoryButton* buttonAt(int row) const;
    // Rebuilds the pop-up from a sample's items, keeping `keepTag` when listed.
    void fillItems(const grr_sample* sample, bool specOnly, bool grrOnly, int keepTag);
    void chooseTester(int row);
    // The checked tester handed on `step` rows, round the list's ends.
    void stepTester(int step);

    QWidget* _view = nullptr;
    // A fresh load is waiting for its table reload to choose the first tester.
    bool _chooseFirstTester = false;
};
