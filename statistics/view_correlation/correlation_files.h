// The correlation files of two loaded tables: the items and the serial numbers
// the two have in common, written for each input in input 0's order, so that
// the two files read back as station logs with the same rows and columns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class ZelkCsv;

// Texts as hash-map keys with ASCII letter case ignored.
struct tCorr_noCaseHash {
    size_t operator()(std::string_view s) const {
        uint64_t h = 1469598103934665603ull;
        for (char c : s) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ull;
        }
        return static_cast<size_t>(h);
    }
};
struct tCorr_noCaseEqual {
    bool operator()(std::string_view a, std::string_view b) const {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            char x = a[i], y = b[i];
            if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
            if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
            if (x != y) return false;
        }
        return true;
    }
};

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
