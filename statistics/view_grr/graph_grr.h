// The GR&R graph: owns the criteria table and the model of the files dropped on
// it, watches both for changes, and draws one item of one tester against the
// golden tester (per-serial means with spread bars, the identity line and the
// GR&R limit lines). It also builds the two summary texts the page shows.
#pragma once

#include <QImage>
#include <QWidget>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "ZelkGrr.h"
#include "file_stamp.h"

class QMenu;
class QMainWindow;
class QTimer;

namespace pf::draw {
class Context;
}

class evtSink_graphGrr {
public:
    virtual ~evtSink_graphGrr() = default;
    // A load finished; `fresh` for a drop or a criteria change, false for a
    // reload of changed measurement files.
    virtual void OnCsvFileDropped(bool fresh) = 0;
    // The summaries were rebuilt.
    virtual void OnSelectionChanged() = 0;
};

class graph_grr : public QWidget {
public:
    // The modification state of a watched file: full-resolution time and size.
    using FileStamp = morvell::FileStamp;
    // Where the last drawing put the plot (drawing coordinates, origin bottom
    // left) and the value range of both axes; `drawn` false when no chart was drawn.
    struct PlotFrame {
        bool drawn = false;
        double x0 = 0, y0 = 0, size = 0, lo = 0, hi = 0;
        double right = 0, top = 0;  // margins
    };

    // initWithFrame: loads the criteria file from the resource folder.
    explicit graph_grr(QWidget* parent = nullptr);
    ~graph_grr() override;
    graph_grr(const graph_grr&) = delete;
    graph_grr& operator=(const graph_grr&) = delete;

    void setDispColIdx(int index);
    void setDispTesterIdx(int index);
    void setShowTestLimit(bool on);
    void setShowLimitText(bool on);
    void setDoCapture();
    void copyToClipboard(QObject* sender);
    // As "<tester>|<item>.jpeg" in the application's folder.
    void exportImage();
    void update_string();
    void beep();
    void honk();

    // Loads the measurement files (several are merged beside the first). False
    // when no manager could be made.
    bool loadFiles(const std::vector<std::string>& paths, bool fresh);
    // One tick of the file watch.
    void onTimer_fileMonitor();

    // The drawing at the view's size, as the view shows it (`capture`: as copied,
    // without the crosshair).
    QImage render(bool capture = false);

    ZelkGrr* grrMgr() const { return grrManager.get(); }
    const std::string& grrTitle() const { return _grrTitle; }
    int dispColIdx() const { return _dispColIdx; }
    int dispTesterIdx() const { return _dispTesterIdx; }
    unsigned decimalPoint() const { return _decimalPoint; }
    bool doCapture() const { return _doCapture; }
    bool showTestLimit() const { return _showTestLimit; }
    bool showLimitText() const { return _showLimitText; }
    const std::string& summary_string_fom() const { return strSummary_fom; }
    const std::string& summary_string_grr() const { return strSummary_grr; }
    QMainWindow* mainWindow() const { return _mainWindow; }
    void setMainWindow(QMainWindow* window) { _mainWindow = window; }
    evtSink_graphGrr* evtSink() const { return _evtSink; }
    void setEvtSink(evtSink_graphGrr* sink) { _evtSink = sink; }

    // Read by the page and the tests.
    const std::string& criteriaFileName() const { return grrCriteriaFileName; }
    const std::vector<std::string>& fileNames() const { return fileNameArray; }
    const std::string& imageFileName() const { return img_file_name; }
    const PlotFrame& lastPlot() const { return _plot; }
    bool dragEntered() const { return isDragAndDropEntered; }
    QMenu* lastContextMenu() const { return popupMenu; }
    QTimer* fileMonitor() const { return _fileMonitor; }

    // The ticks that saw a change, shared by the criteria and measurement checks.
    static int s_fileChangeCount;
    // The 25 colours of the samples.
    static const float kSampleColours[25][3];


protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void loadCriteria();
    void drawChart(pf::draw::Context& ctx, bool capture);
    void buildSummaries();

    std::string grrCriteriaFileName;
    FileStamp grrCriteriaFileTime;
    std::shared_ptr<ZelkCsv> grrCriteriaTable;
    bool isDragAndDropEntered = false;
    std::vector<std::string> fileNameArray;
    std::vector<FileStamp> inputFileTime;
    QTimer* _fileMonitor = nullptr;
    std::unique_ptr<ZelkGrr> grrManager;
    bool isMouseIn = false;
    double mouseX = -1, mouseY = -1;  // drawing coordinates; (-1, -1) when the mouse left
    bool isMouseDown = false;
    double mouseDownX = -1, mouseDownY = -1;
    QMenu* popupMenu = nullptr;
    std::string strSummary_fom, strSummary_grr;
    bool updateStatus = false;
    std::string img_file_name = "unknown";
    bool _doCapture = false;
    bool _showTestLimit = true, _showLimitText = true;
    int _dispColIdx = -1;
    unsigned _decimalPoint = 0;
    int _dispTesterIdx = -1;
    QMainWindow* _mainWindow = nullptr;
    evtSink_graphGrr* _evtSink = nullptr;
    std::string _grrTitle;
    PlotFrame _plot;
};
