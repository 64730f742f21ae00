// A station CSV may be cut short or edited by hand: its conversion to a property
// list must stay inside the file for any bytes, under every option.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "ZelkCsvManager.h"
#include "ZelkPaths.h"

namespace {

struct Scratch {
    std::string stem = "/tmp/fuzz_zelk_plist_" + std::to_string(getpid());
    std::string csv = stem + ".csv";
    std::string plist = stem + ".plist";
    std::string var = stem + "_var";
    std::string log = var + "/csv_to_plist.log";
    Scratch() {
        // The conversion log goes to a folder of this process, emptied after each input.
        mkdir(var.c_str(), 0700);
        zelk::roots::Folders f = zelk::roots::get();
        f.var = var;
        zelk::roots::set(f);
    }
    ~Scratch() {
        std::remove(csv.c_str());
        std::remove(plist.c_str());
        std::remove(log.c_str());
        rmdir(var.c_str());
    }
};

Scratch& scratch() {
    static Scratch files;
    return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    Scratch& s = scratch();
    FILE* fp = std::fopen(s.csv.c_str(), "wb");
    if (!fp) return 0;
    std::fwrite(data, 1, size, fp);
    std::fclose(fp);
    const bool stop = size % 2 == 0, noAttributes = size % 3 == 0, last = size % 5 == 0, keep = size % 7 < 3;
    ZCSV_CsvToPlistFull(s.csv.c_str(), s.plist.c_str(), stop, noAttributes, last, keep, size % 11 < 4, "fuzz");
    std::remove(s.log.c_str());
    return 0;
}
