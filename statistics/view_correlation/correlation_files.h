// The correlation files of two loaded tables: the items and the serial numbers
// the two have in common, written for each input in input 0's order, so that
// the two files read back as station logs with the same rows and columns.
#pragma once

#include <string>
#include <vector>

class ZelkCsv;

struct tCorr_common {
    // Columns of each item in input 0 and in input 1.
    std::vector<int> column[2];
    // Final rows ("ALL") of each serial number in input 0 and in input 1.
    std::vector<size_t> row[2];
};

// Parametric items whose titles match, and final rows whose serial numbers
// match, both ignoring case and in input 0's order. A title or serial number
// that input 1 holds twice pairs with its first column or row.
tCorr_common correlation_common(const ZelkCsv& input0, const ZelkCsv& input1);

// The text of correlation file `g` (0 or 1): titles, upper and lower limits,
// then one row per common serial number; every cell ends in ",".
std::string correlation_fileText(const ZelkCsv& input0, const ZelkCsv& input1, const tCorr_common& common, int g);

// "<folder of path>/_CSV_FILE_CORREL_<g>.csv".
std::string correlation_filePath(const std::string& inputPath, int g);
