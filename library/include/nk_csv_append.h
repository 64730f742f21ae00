// Rows appended to station CSV files, and the property list beside one: shared by
// the library's writers and by the framework's, which must write the same files.
#pragma once

#include <functional>
#include <string>

#include "nk_typedef.h"

namespace nkcsv {

// The readers cannot unquote, so a cell must not hold a separator, a quote or a
// line end: ',' becomes ';', '"' becomes '\'', CR, LF and the other control
// characters but tab a blank. A quote would make standard readers take the cells
// up to the next quote as one.
std::string safeCell(const char* text);
std::string safeCell(const std::string& text);

// Appends to a CSV file under one lock for every CSV file the library appends rows
// to: `block(existed)` gives the text to add (with the header when the file is new
// or empty), written in one write. A write or close that fails takes the partial
// text back, and a new file is removed again.
// 0, 0xE043 (cannot be opened) or 0xE044 (write or close failed).
u16 appendToCsvFile(const std::string& fileName, const std::function<std::string(bool existed)>& block);

// The property list beside a CSV file: its extension replaced by ".plist", or
// ".plist" added when the file's own name has no '.'.
std::string defaultPlistPath(const std::string& csvPath);

}  // namespace nkcsv
