// Test-script text to item records: any bytes give records or an error code,
// never a crash, and the records keep the loader's promises.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "nk_test.h"

namespace {

class FuzzItem : public CNK_testItem {
public:
    void registerDataSymbol() override {}
    void performTest(t_nkTestMode) override {}
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header*, const u8*) override {}
};

CNK_testItem* createFuzzItem() { return new FuzzItem(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Registered by hand: the registration line goes to standard output once.
    nkTest_registerTestClass("X", &createFuzzItem);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<INK_testItem> items(1);
    const u16 rc = nkTest_parseTestScript(std::vector<char>(data, data + size), items);
    if (rc != 0 && !items.empty()) __builtin_trap();
    for (const INK_testItem& item : items) {
        if (item.type < kNkTestType_setup || item.type > kNkTestType_wrapup) __builtin_trap();
        // Every accepted class is one the registry can build (the station's own classes are linked in too).
        if (!nkTest_isTestClassContructorAvailable(item.className)) __builtin_trap();
        if (item.waitFor.size() > 1) __builtin_trap();
    }
    return 0;
}
