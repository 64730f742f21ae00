#include "fw_items.h"

#include <chrono>
#include <thread>

namespace fwtest {

RunLog& runLog() {
    static RunLog log;
    return log;
}

bool FwItem::hasParam(const std::string& p) const {
    for (const std::string& s : _params)
        if (s == p) return true;
    return false;
}

int FwItem::paramInt(const std::string& key, int fallback) const {
    for (const std::string& s : _params)
        if (s.rfind(key + "=", 0) == 0) return std::stoi(s.substr(key.size() + 1));
    return fallback;
}

void FwItem::registerDataSymbol() {
    if (hasParam("symbol")) _testData->addDataSymbol(_name, "v", "double", 0, 1, "V", false);
}

void FwItem::performTest(t_nkTestMode) {
    aborted.store(false);
    runLog().add(_name);
    setStatus(kNkTestStat_TESTING);
    const int ms = paramInt("sleepMs", 0);
    for (int t = 0; t < ms && !aborted.load(); t += 5) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (aborted.load()) {
        setStatus(kNkTestStat_ABORTED);
        return;
    }
    setStatus(hasParam("fail") ? kNkTestStat_FAIL : kNkTestStat_PASS);
}

void FwItem::abortTest() { aborted.store(true); }

void FwItem::handle_ntcp_packet(const tNTCP_header* header, const u8* payload) {
    lastHeader = *header;
    const size_t n = header->PLEN > 1 ? header->PLEN - 1 : 0;
    lastPayload.assign(payload, payload + n);
    packets.fetch_add(1);
}

}  // namespace fwtest

using fwtest::FwItem;
NK_REGISTER_TEST_CLASS(FwItem)

namespace {
CNK_testItem* createNothing() { return nullptr; }
[[maybe_unused]] const bool g_nullRegistered = (nkTest_registerTestClass("FwNullItem", &createNothing), true);
}  // namespace
