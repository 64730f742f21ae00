// The pieces every data page builds the same way: the column with its control
// bar, the item pop-up, the graph above the log text, the drawer with its list,
// the file-watch timer and the colour pop-up of a category.
#pragma once

#include <QFont>

#include <functional>

class QComboBox;
class QDockWidget;
class QFrame;
class QHBoxLayout;
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

}  // namespace morvell::page
