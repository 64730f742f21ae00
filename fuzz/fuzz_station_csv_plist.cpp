// A unit's station CSV may be cut short or edited by hand: its conversion to a
// property-list record must stay inside the file for any bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "nk_velora_plist.h"

namespace {

struct Scratch {
    std::string csv = "/tmp/fuzz_station_plist_" + std::to_string(getpid()) + ".csv";
    std::string plist = "/tmp/fuzz_station_plist_" + std::to_string(getpid()) + ".plist";
    ~Scratch() {
        std::remove(csv.c_str());
        std::remove(plist.c_str());
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
    const bool stop = size % 2 == 0, noFixed = size % 3 == 0, last = size % 5 == 0;
    if (size % 7 == 0) nkFom_wend_csvToPlist(s.csv.c_str(), s.plist.c_str(), stop, noFixed, last);
    else nkFom_velora_csvToPlist(s.csv.c_str(), s.plist.c_str(), stop, noFixed, last);
    return 0;
}
