// The statistics tool's CSV model loading arbitrary text: it never crashes, never
// reads outside the text, and a loaded table's categories account for every row.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ZelkAlert.h"
#include "ZelkCsv.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void checkCategories(const ZelkCsv& t, int count, const tCsv_categoryDataInfo* info) {
    check(count >= 1 && info != nullptr);
    const size_t n = static_cast<size_t>(t.dataCnt());
    check(info[0].data_count == n && info[0].data_count_final <= n);
    size_t rows = 0, finals = 0;
    for (int k = 1; k < count; ++k) {
        rows += info[k].data_count;
        finals += info[k].data_count_final;
        check(info[k].data_count >= 1 && info[k].data_count_final <= info[k].data_count);
        check(info[k].strArr >= info[0].strArr && info[k].strArr + info[k].data_count <= info[0].strArr + n);
    }
    if (count > 1) check(rows == n && finals == info[0].data_count_final);
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < t.cols(); ++c) check(info[0].strArr[i][c] != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The load's progress lines and the alerts would drown the fuzzer's own output.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    ZelkAlert_setSink([](const char*, const char*, const char*) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZelkCsv t;
    const int code = t.load_csvText(reinterpret_cast<const char*>(data), size, "fuzz.csv", false);
    check((code == 0) == t.isValid());
    if (!t.isValid()) {
        check(t.columnItem_count() == -1 && t.getColumnItem() == nullptr && t.config_count() == -1);
        return 0;
    }
    check(t.dataCnt() >= 0 && t.dataCnt() <= t.dataCnt_total());
    check(t.columnItem_count() == t.cols() && t.cols() >= 1);
    checkCategories(t, t.config_count(), t.getConfigInfo());
    checkCategories(t, t.tester_count(), t.getTesterInfo());
    return 0;
}
