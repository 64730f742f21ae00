// Helpers shared by the library's CSV sources (not installed).
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "nk_csv_append.h"
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

// Truncation toward zero into 64 bits, saturating instead of overflowing; NaN gives 0.
i64 toI64(double v);
u64 toU64(double v);

}  // namespace nkcsv
