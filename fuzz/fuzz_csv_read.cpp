// Station CSV logs, generic tables and test-data CSV files come from other
// programs and people: every reader must stay inside its input.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "nk_csv.h"

namespace {

// Scratch files of this process, removed when it ends.
struct Scratch {
    std::string csv = "/tmp/fuzz_csv_" + std::to_string(getpid()) + ".csv";
    std::string plist = "/tmp/fuzz_csv_" + std::to_string(getpid()) + ".plist";
    ~Scratch() {
        std::remove(csv.c_str());
        std::remove(plist.c_str());
    }
};

const std::string& scratch(const char* ext) {
    static Scratch files;
    return ext[0] == 'c' ? files.csv : files.plist;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;  // the exchange sort is quadratic in rows
    const std::string& csv = scratch("csv");
    FILE* fp = std::fopen(csv.c_str(), "wb");
    if (!fp) return 0;
    std::fwrite(data, 1, size, fp);
    std::fclose(fp);

    CNK_csvParser parser;
    parser.load(csv.c_str(), kVL6);
    for (int r = -1; r <= parser.getDataRow(); ++r) {
        for (int c = -1; c <= parser.getDataCol(); ++c) {
            parser.getStr(r, c);
            parser.getData(r, c);
        }
    }
    parser.findColIdx("SerialNumber");

    CNK_csv table;
    if (table.load(csv) == 0) {
        table.calculate_col_stat();
        table.timeSort();
        if (!table.getColInfo().empty()) table.getGroups(table.getColInfo()[0].title);
        CNK_csv other(table);
        table.merge(other);
        FILE* sink = std::fopen("/dev/null", "w");
        if (sink) {
            table.print(sink, ',');
            std::fclose(sink);
        }
    }

    nkUtil_csvToPlist(csv.c_str(), scratch("plist").c_str(), size % 2 == 0, size % 3 == 0, size % 5 == 0);
    return 0;
}
