// The pieces the data pages share: the column with its control bar, the item
// and setting pop-ups, the graph above the log text, the drawer with its list,
// the file-watch timer, the colour pop-up of a category, the user store's
// colours and per-item settings, and the small commands of the shell's menu.
#pragma once

#include <QComboBox>
#include <QFont>
#include <QVariantList>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "graph_histogram_model.h"

class QDockWidget;
class QFrame;
class QHBoxLayout;
class QMimeData;
class QSlider;
class QSplitter;
class QTableWidget;
class QTimer;
class QVBoxLayout;
class QWidget;
class ZelkNSTextView;
class categoryView;

namespace morvell::page {

QFont monospaced(double points);

// The user store's key of the display settings kept per item (a list of maps,
// one per item title), which the histogram and correlation pages share.
inline constexpr const char* kKeyParamDispSetting = "paramDispSetting";
// The category colours and the per-item settings as the user store holds them.
void readStore(std::vector<tHist_rgb>& colours, QVariantList& itemSettings);

// The page's widget named `name`, a column with small margins, and the control
// bar at its top (returned).
QHBoxLayout* column(QWidget*& view, const char* name, QVBoxLayout*& column);

// "popbtn_specItem": the item pop-up, `minLength` characters wide at least;
// `onSelect` runs when the user picks an entry.
QComboBox* specItemPopUp(QWidget* parent, int minLength, std::function<void()> onSelect);

// "splitView": the graph `makeGraph` builds inside it above the log text
// ("text_view"), at `graphStretch` to 1, added to the column to take its height.
QSplitter* graphOverText(QWidget* parent, QVBoxLayout* column, const std::function<QWidget*(QSplitter*)>& makeGraph,
                         ZelkNSTextView*& text, int graphStretch = 3);

// A drawer on the right, hidden, holding one column list ("table_view") with no
// row numbers and no selection of its own: the buttons in it carry the choice.
QDockWidget* drawer(const char* title, const char* name, const char* header, int minWidth, QTableWidget*& table);

// One timer for the page's life, ticking every 0.25 s: a reload runs inside its
// tick, so it is stopped and started again, never replaced from within its own signal.
QTimer* fileMonitor(QObject* parent, std::function<void()> onTick);

// "popover": the category colour pop-up; `onSlider` runs when one of its
// sliders moves.
QFrame* categoryPopover(categoryView*& content, std::function<void(QSlider*)> onSlider);
// The colour pop-up opened below `button`'s left end for row `tag`: its title
// `label`, its sliders at the row's colour (0..255) without a slider's signal.
void openCategoryPopover(QFrame* popover, categoryView* content, const QWidget* button, int tag, const QString& label,
                         const int (&rgb)[3]);

// The window the page is shown in: the shell's, else the one it sits in.
QWidget* windowOf(QWidget* view);
// That window takes the page's size (its top-left corner stays).
void resizeWindow(QWidget* view, int width, int height);
// The drawer docked on the right of the page's main window and shown, or hidden.
void showDrawer(QWidget* view, QDockWidget* drawer, bool show);

// A display setting's pop-up entry: its title and the tag the page uses (the
// stored setting is the entry's index).
struct PopUpEntry {
    const char* title;
    int tag;
};
// Decimal places shown, and histogram buckets per standard deviation.
extern const PopUpEntry kDecimalEntries[7];
extern const PopUpEntry kBucketEntries[7];

// A setting's pop-up, at most `maxWidth` wide.
QComboBox* popUp(QWidget* parent, const char* name, const PopUpEntry* entries, size_t count, int maxWidth);
template <size_t N>
QComboBox* popUp(QWidget* parent, const char* name, const PopUpEntry (&entries)[N], int maxWidth) {
    return popUp(parent, name, entries, N, maxWidth);
}
// The chosen entry's tag, 0 when none is chosen.
inline int tagOf(const QComboBox* box) { return box->currentIndex() >= 0 ? box->currentData().toInt() : 0; }

// The pop-up's previous or next entry chosen; false (nothing changed) at its end.
bool choosePrevious(QComboBox* box);
bool chooseNext(QComboBox* box);

// The local files a drop carries, in the file system's encoding.
std::vector<std::string> localFiles(const QMimeData* data);
// The path's last component; its folder ("." for a bare name).
std::string lastComponent(const std::string& path);
std::string folderOf(const std::string& path);

}  // namespace morvell::page
