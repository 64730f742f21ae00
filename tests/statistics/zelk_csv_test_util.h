// Helpers of the statistics data tests: alerts caught instead of shown, tables
// loaded from text written into a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ZelkAlert.h"
#include "ZelkCsv.h"
#include "nk_test_util.h"

namespace zcsvtest {

struct Alert {
    std::string title, message, button;
};

// Collects every alert raised while it lives.
class AlertCatcher {
public:
    AlertCatcher() {
        ZelkAlert_setSink([this](const char* t, const char* m, const char* b) { alerts.push_back({t, m, b}); });
    }
    ~AlertCatcher() { ZelkAlert_setSink(nullptr); }
    AlertCatcher(const AlertCatcher&) = delete;
    AlertCatcher& operator=(const AlertCatcher&) = delete;
    std::vector<Alert> alerts;
};

inline std::shared_ptr<ZelkCsv> loadText(const nktest::TempDir& dir, const std::string& name, const std::string& text,
                                         bool writeCorrected = false) {
    nktest::writeFile(dir.file(name), text);
    return ZelkCsv::initWithCsvFile_filePathName(dir.file(name).c_str(), writeCorrected);
}

// Column index of a title, -1 when absent.
inline int col(const ZelkCsv& t, const char* title) {
    for (int c = 0; c < t.columnItem_count(); ++c)
        if (std::string(t.getColumnItem()[c].title) == title) return c;
    return -1;
}

// The first cells (serial numbers) of a run of rows.
inline std::vector<std::string> serials(tCsv_strRow* rows, size_t n, int column = 0) {
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) out.emplace_back(rows[i][column]);
    return out;
}

}  // namespace zcsvtest
