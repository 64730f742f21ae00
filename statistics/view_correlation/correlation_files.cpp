// The correlation files: common items and serial numbers through hash maps on
// lower-cased keys, since logs of 50,000 titles each make a search of every
// pair billions of comparisons.
#include "correlation_files.h"


#include "ZelkCsv.h"
#include "number/pf_number.h"

namespace {

const char* orEmpty(const char* text) { return text ? text : ""; }

}  // namespace

tCorr_common correlation_common(const ZelkCsv& input0, const ZelkCsv& input1) {
    tCorr_common c;
    const tCsv_columnItemInfo* items0 = input0.getColumnItem();
    const tCsv_columnItemInfo* items1 = input1.getColumnItem();
    if (items0 && items1) {
        // Parametric columns of input 1; the serial number's column is never an item.
        std::vector<int> parametric;
        for (int j = 1; j < input1.columnItem_count(); ++j)
            if (items1[j].isParametric) parametric.push_back(j);
        tCorr_noCaseIndex columnOf;
        columnOf.build(parametric.size(), [&](size_t k) { return items1[parametric[k]].title; });
        for (int i = 1; i < input0.columnItem_count(); ++i) {
            if (!items0[i].isParametric) continue;
            const long at = columnOf.find(items0[i].title);
            if (at < 0) continue;
            c.column[0].push_back(i);
            c.column[1].push_back(parametric[size_t(at)]);
        }
    }
    const tCsv_categoryDataInfo* all0 = input0.config_count() > 0 ? input0.getConfigInfo() : nullptr;
    const tCsv_categoryDataInfo* all1 = input1.config_count() > 0 ? input1.getConfigInfo() : nullptr;
    if (all0 && all1) {
        tCorr_noCaseIndex rowOf;
        rowOf.build(all1->data_count_final, [&](size_t j) { return all1->strArr_final[j][0]; });
        for (size_t i = 0; i < all0->data_count_final; ++i) {
            const long at = rowOf.find(all0->strArr_final[i][0], i);
            if (at < 0) continue;
            c.row[0].push_back(i);
            c.row[1].push_back(size_t(at));
        }
    }
    return c;
}

std::string correlation_fileText(const ZelkCsv& input0, const ZelkCsv& input1, const tCorr_common& common, int g) {
    const ZelkCsv& input = g ? input1 : input0;
    const tCsv_columnItemInfo* items0 = input0.getColumnItem();
    const tCsv_columnItemInfo* items = input.getColumnItem();
    const tCsv_categoryDataInfo* all = input.config_count() > 0 ? input.getConfigInfo() : nullptr;
    if (!items0 || !items || !all) return {};
    const std::vector<int>& columns = common.column[g];
    const std::vector<size_t>& rows = common.row[g];

    std::string out;
    size_t room = 64;
    for (size_t k = 0; k < columns.size(); ++k) room += std::char_traits<char>::length(orEmpty(items0[common.column[0][k]].title)) + 24;
    out.reserve(room * (rows.size() + 3));
    auto cell = [&](const char* text) {
        out += orEmpty(text);
        out += ',';
    };
    cell(items0[0].title);
    for (int c : common.column[0]) cell(items0[c].title);
    out += '\n';
    // The marker of a limit row comes from input 0; a log without that row gets
    // the marker all the same, so that the file reads back with limit rows.
    const char* upper = orEmpty(items0[0].limit_upper_text);
    const char* lower = orEmpty(items0[0].limit_lower_text);
    cell(*upper ? upper : "Upper Limit----->");
    for (int c : columns) cell(items[c].limit_upper_text);
    out += '\n';
    cell(*lower ? lower : "Lower Limit----->");
    for (int c : columns) cell(items[c].limit_lower_text);
    out += '\n';
    for (size_t r : rows) {
        const tCsv_strRow row = all->strArr_final[r];
        cell(row[0]);
        // A short line's missing cells read as empty texts.
        for (int c : columns) cell(row[c]);
        out += '\n';
    }
    return out;
}

std::string correlation_filePath(const std::string& inputPath, int g) {
    const size_t slash = inputPath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : inputPath.substr(0, slash);
    return folder + pf::number::text("/%s%d.csv", "_CSV_FILE_CORREL_", g);
}
