// Helpers shared by the library's CSV sources (not installed).
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "nk_typedef.h"

namespace nkcsv {

bool containsNoCase(const std::string& hay, const char* needle);
bool equalsNoCase(const std::string& a, const char* b);

// Reads a number at the front of [p, end) like "%le"; false when there is none.
bool scanDouble(const char* p, const char* end, double& out);

// Writes a file through a temporary file in its folder and a rename, so the old
// file stays whole until the new one is complete. `body` returns false on a
// failed write. 0, 0xE043 (no temporary file), 0xE044 (write failed) or 0xE04A
// (the old file could not be replaced).
u16 writeFileAtomically(const std::string& path, const std::function<bool(FILE*)>& body);

// One lock for every CSV file the library appends rows to (test-data and summary
// files), held from the existence test to the close: of two writers starting a
// file only the first writes the header, and rows never interleave.
std::mutex& csvFileLock();

// The readers cannot unquote, so a cell must not hold a separator, a quote or a
// line end: ',' becomes ';', '"' becomes '\'', CR and LF a blank. A quote would
// make standard readers take the cells up to the next quote as one.
std::string safeCell(const char* text);
std::string safeCell(const std::string& text);

// Appends to a CSV file under csvFileLock(): `block(existed)` gives the text to
// add (with the header when the file is new), written in one write. A write or
// close that fails takes the partial text back, and a new file is removed again.
// 0, 0xE043 (cannot be opened) or 0xE044 (write or close failed).
u16 appendToCsvFile(const std::string& fileName, const std::function<std::string(bool existed)>& block);

// Truncation toward zero into 64 bits, saturating instead of overflowing; NaN gives 0.
i64 toI64(double v);
u64 toU64(double v);

}  // namespace nkcsv
