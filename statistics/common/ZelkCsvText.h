// The text stages of the CSV model's load, apart so that they can be checked
// against a plain step-by-step reading of the same rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zcsv {

// Normalises buf[0, len) in place and returns the new length. buf must have room
// for len + 2 bytes (a last line end and a terminator may be added). `fixes` counts the repairs:
// 1 per CR, per removed empty line, per "nan"/"N/A"/"inf" cell, per unit or limit
// marker respelled and per "COF "/"Display Name" line removed; 256 per
// "HUBR Priority" line removed.
// `lostComma`, when given, gets one flag per line of the result: whether the
// line's trailing comma was taken off.
// `lines`, when given, gets where each line of the result starts and its cells.
struct LineIndex {
    std::vector<size_t> start;
    std::vector<uint32_t> fields;
};
// A text of several `partBytes` is normalised in that many parts side by side (up to
// four); 0 keeps it in one.
size_t normaliseText(char* buf, size_t len, uint64_t& fixes, std::vector<char>* lostComma = nullptr,
                     LineIndex* lines = nullptr, size_t partBytes = size_t(4) << 20);

// Reads size bytes of the file fd into dst; false when they cannot all be read.
// `hasNul` tells whether a NUL byte was among them. A file of several
// `partBytes` is read in that many parts side by side (up to four).
bool readWhole(int fd, char* dst, size_t size, bool& hasNul, size_t partBytes = size_t(8) << 20);

// The value of a cell: a number when the text is numeric ("NA" in any case, or
// digits with at most one '.' and one '-') and reads as one, else the missing value.
double cellValue(const char* text);
// Whether a cell's text is numeric in that sense.
bool cellIsNumeric(const char* text);
// Cuts the cell at `cell` of normalised text (it ends at the next ',' or line end,
// which becomes its terminator), gives cellValue of it and whether it ended its
// line; returns where the terminator was.
char* cutCell(char* cell, double& value, bool& lineEnd);

}  // namespace zcsv
