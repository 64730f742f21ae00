// Sends any bytes through the repository record's reader, both displays and the
// row decoding. The input is copied into a buffer of exactly its size, so a read
// past the image is seen; inputs near the two record sizes are common enough
// when the fuzzer is given a record of each size to start from.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "cvlra_ctcl.h"

namespace {
struct Quiet : INK_logRelay {
    size_t lines = 0;
    void onLogRelay(const char*) override { ++lines; }
};

CNK_logManager* logManager() {
    static Quiet relay;
    static CNK_logManager* lm = [] {
        // The log lines are formatted in full but not shown.
        std::freopen("/dev/null", "w", stdout);
        auto* m = new CNK_logManager();
        m->setVerboseLevel(kVL1);
        m->setLogRelay(&relay);
        return m;
    }();
    return lm;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Stretch short inputs to a record size: the first byte picks which one.
    std::vector<u8> bytes(data, data + size);
    if (size > 0 && size < 3598) bytes.resize((data[0] & 1) ? 3598 : 8106, 0);
    t_cgCalData rec;
    bool crcOk = false;
    if (cgCalData_read(logManager(), bytes.data(), bytes.size(), &rec, &crcOk) != 0) return 0;
    cgCalData_display(logManager(), &rec);
    displayVDXData(logManager(), &rec);
    for (int r = 0; r < ctcl::kRows; ++r) {
        const std::vector<float> row = cgCalData_row(rec, r);
        if (row.size() != static_cast<size_t>(cgCalData_rowLayout(rec).values)) __builtin_trap();
    }
    if (cgCalData_write(rec).size() != ctcl::kSizeV3) __builtin_trap();
    return 0;
}
