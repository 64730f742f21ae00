// Reference meter over its controller's serial line, played on a pseudo-terminal.
#include <gtest/gtest.h>

#include <map>

#include "instrument_owner.h"
#include "nk_marlet.h"
#include "serial_instrument_sim.h"

using insttest::LinePeer;
using insttest::SimAdapter;

namespace {

struct MeterOwner : INK_marletCalCallback, insttest::DisconnectRecord<CNK_marletCal> {
    void onMarletCalDisconnected(u32 i, t_nkUsbDevInfo&) override { disconnected(i); }
};

class Meter : public ::testing::Test {
protected:
    void SetUp() override {
        CNK_marletCal::startWaitMs = 0;
        meter = CNK_marletCal::create(adapter.openDevice());
        ASSERT_NE(meter, nullptr);
        ASSERT_EQ(meter->Open(), 0);
    }
    void TearDown() override { delete meter; }
    // Replies by command; a list is used in turn, its last entry repeating.
    std::string answer(const std::string& cmd) {
        std::lock_guard<std::mutex> l(m);
        auto it = replies.find(cmd);
        if (it == replies.end() || it->second.empty()) return "";
        std::string r = it->second.front();
        if (it->second.size() > 1) it->second.erase(it->second.begin());
        return r;
    }
    void reply(const std::string& cmd, std::vector<std::string> r) {
        std::lock_guard<std::mutex> l(m);
        replies[cmd] = std::move(r);
    }

    SimAdapter adapter{0x0403, 0x6001};
    std::mutex m;
    std::map<std::string, std::vector<std::string>> replies;
    LinePeer peer{adapter.pty, [this](const std::string& c) { return answer(c); }};
    CNK_marletCal* meter = nullptr;
};

TEST_F(Meter, VoltageChannelsAndValues) {
    reply("VOLT_CH3\n", {"1.25\r\n"});
    reply("VOLT_CH1\n", {"-0.5\n"});
    double v = 0;
    EXPECT_EQ(meter->readAgilentV(0, &v), 0);
    EXPECT_DOUBLE_EQ(v, 1.25);
    EXPECT_EQ(meter->readAgilentV(2, &v), 0);
    EXPECT_DOUBLE_EQ(v, -0.5);
    EXPECT_EQ(meter->readAgilentV(3, &v), kNKErr_dmmVReadFailed);  // nothing sent
    EXPECT_EQ(meter->readAgilentV(1, nullptr), kNKErr_dmmVReadFailed);
    EXPECT_EQ(peer.commands(), (std::vector<std::string>{"VOLT_CH3\n", "VOLT_CH1\n"}));
}

TEST_F(Meter, CurrentSelectionRetryScaleAndEnd) {
    reply("mA_ADJ_CH2\n", {"BUSY\n", "OK\n"});
    reply("4\n", {"1.5\n"});
    double v = 0;
    ASSERT_EQ(meter->readAgilentI(1, 4, 1, &v), 0);
    EXPECT_DOUBLE_EQ(v, 1500.0);
    EXPECT_EQ(peer.commands(), (std::vector<std::string>{"mA_ADJ_CH2\n", "mA_ADJ_CH2\n", "4\n"}));

    reply("uA_CHK_CH3\n", {"OK\n"});
    reply("9\n", {"END\n"});
    v = 7;
    EXPECT_EQ(meter->readAgilentIforTest(0, 9, 0, &v), 999);
    EXPECT_EQ(v, 7);

    // Two selection replies without OK: no index is sent.
    reply("mA_CHK_CH1\n", {"NO\n"});
    EXPECT_EQ(meter->readAgilentIforTest(2, 1, 5, &v), kNKErr_dmmVReadFailed);
    const auto cmds = peer.commands();
    EXPECT_EQ(std::vector<std::string>(cmds.end() - 2, cmds.end()),
              (std::vector<std::string>{"mA_CHK_CH1\n", "mA_CHK_CH1\n"}));
    EXPECT_EQ(meter->readAgilentI(3, 1, 1, &v), kNKErr_dmmVReadFailed);
}

// FAIL, FAILED, END and a reply that is no number: the value stays as it was.
TEST_F(Meter, ResistanceRepliesThatAreNotReadings) {
    struct Case {
        std::string reply;
        u16 rc;
        double value;
    };
    const Case cases[] = {
        {"100.5\n", 0, 100.5},  {"FAIL\n", kNKErr_dmmVReadFailed, 42}, {"FAILED 3\n", kNKErr_dmmVReadFailed, 42},
        {"END\n", 999, 42},     {"garbage\n", kNKErr_dmmVReadFailed, 42}, {"\n", kNKErr_dmmVReadFailed, 42},
    };
    for (const Case& c : cases) {
        reply("RES_ADJ_7\n", {c.reply});
        reply("RES_CHK_7\n", {c.reply});
        double v = 42;
        EXPECT_EQ(meter->readAgilentR(7, &v), c.rc) << c.reply;
        EXPECT_DOUBLE_EQ(v, c.value) << c.reply;
        v = 42;
        EXPECT_EQ(meter->readAgilentRforTest(7, &v), c.rc) << c.reply;
        EXPECT_DOUBLE_EQ(v, c.value) << c.reply;
    }
}

TEST_F(Meter, StaleInputIsDrainedAndSilenceTimesOut) {
    reply("VOLT_CH2\n", {"2.5\n"});
    adapter.pty.send("9.99\n");  // left over from an earlier exchange
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    double v = 0;
    EXPECT_EQ(meter->readAgilentV(1, &v), 0);
    EXPECT_DOUBLE_EQ(v, 2.5);
    EXPECT_EQ(meter->resetAgilent(), kNKErr_serialReadTimeout);  // the controller does not answer
    reply("RST\n", {"RESET DONE\n"});
    EXPECT_EQ(meter->resetAgilent(), 0);
}

TEST_F(Meter, UnplugDuringAReadTellsTheOwnerOnce) {
    MeterOwner owner;
    owner.device = meter;
    meter->setCallback(1, &owner);
    MeterOwner second;
    meter->setCallback(2, &second);  // refused: the first stays
    std::atomic<u16> rc{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        double v;
        rc = meter->readAgilentV(0, &v);  // nobody answers
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    adapter.unplug();
    // The read ends at the unplug, before the owner is told and the meter goes.
    ASSERT_TRUE(pf::runloop::runUntil([&] { return done && owner.told > 0; }, 60000));
    reader.join();
    pf::runloop::runFor(20);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(owner.told, 1);
    EXPECT_EQ(owner.id, kNKMarletCal_callbackId);
    EXPECT_EQ(owner.device, nullptr);
    EXPECT_EQ(second.told, 0);
    meter = nullptr;
}

}  // namespace

TEST(MeterCreate, NullDeviceGivesNoMeter) { EXPECT_EQ(CNK_marletCal::create(nullptr), nullptr); }
