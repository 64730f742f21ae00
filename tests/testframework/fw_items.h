// Item classes the framework tests register: each records what it was asked
// to do, and its script parameters steer its outcome.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "nk_test.h"

namespace fwtest {

// Names of the items whose performTest ran, in order, across all sessions.
struct RunLog {
    std::mutex mutex;
    std::vector<std::string> entries;
    void add(const std::string& s) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(s);
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        out.swap(entries);
        return out;
    }
};
RunLog& runLog();

// Parameters: "fail" ends FAIL, "sleepMs=N" works N ms first (in slices that
// an abort cuts short), "symbol" declares <name>::v as a double.
class FwItem : public CNK_testItem {
public:
    void registerDataSymbol() override;
    void performTest(t_nkTestMode mode) override;
    void abortTest() override;
    void handle_ntcp_packet(const tNTCP_header* header, const u8* payload) override;

    bool hasParam(const std::string& p) const;
    int paramInt(const std::string& key, int fallback) const;

    std::atomic<bool> aborted{false};
    std::atomic<int> packets{0};
    tNTCP_header lastHeader{};
    std::vector<u8> lastPayload;
};

}  // namespace fwtest
