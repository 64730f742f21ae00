// The tool's per-user defaults: where they are kept, the keys the shell owns,
// and the category colour table every page colours its categories with.
#pragma once

#include <QColor>

#include <array>
#include <memory>

class QSettings;

namespace morvell {

// The user's store: $XDG_CONFIG_HOME/Morvell/Morvell.conf (~/.config when unset).
// Tests point XDG_CONFIG_HOME into a temporary folder before the first store
// of the process is made.
std::unique_ptr<QSettings> userDefaults();

// Keys of the shell. "DefaultView" is the page shown at start; "ColorTable" a
// list of 48 maps with the integer keys "r", "g", "b" (0 to 255).
inline constexpr const char* kKeyDefaultView = "DefaultView";
inline constexpr const char* kKeyColorTable = "ColorTable";
// The tool's folders (zelk::roots), each read at start when set; none is written.
inline constexpr const char* kKeyResourceFolder = "ResourceFolder";
inline constexpr const char* kKeyApplicationFolder = "ApplicationFolder";
inline constexpr const char* kKeyToolFolder = "ToolFolder";
inline constexpr const char* kKeyVarFolder = "VarFolder";
inline constexpr const char* kKeyTempFolder = "TempFolder";

struct CategoryColor {
    int r, g, b;
};
inline constexpr int kCategoryColorCount = 48;
using ColorTable = std::array<QColor, kCategoryColorCount>;

// The colours of a category, by index modulo 48.
QColor colorOf(const ColorTable& table, int category);

// "ColorTable" as stored, entry by entry: an entry that is missing, not a map,
// lacks a channel, or holds a channel that is no integer in 0..255 takes the
// built-in colour of its index. A missing, empty or malformed key therefore
// reads as kCategoryColor.
ColorTable readColorTable(const QSettings& store);
// Writes all 48 entries (a page that lets the user change a colour writes the whole table back).
void writeColorTable(QSettings& store, const ColorTable& table);

}  // namespace morvell

// The built-in colours, entries 0 to 47 (19 repeats 0 and 36 repeats 31).
extern const std::array<morvell::CategoryColor, morvell::kCategoryColorCount> kCategoryColor;
