#include <gtest/gtest.h>

#include <numeric>

#include "keyence_fake.h"
#include "nk_keyence.h"

using keyencetest::FakeSensor;

namespace {

std::vector<uint32_t> ramp(size_t n) {
    std::vector<uint32_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = 0x01000000u * uint32_t(i % 251) + uint32_t(i);
    return v;
}

struct Laser : ::testing::Test {
    FakeSensor sensor;
    CNK_keyence k;
    void SetUp() override { ASSERT_EQ(k.Connect("127.0.0.1", sensor.port()), 0); }
};

TEST_F(Laser, StartStopAndStatusSendExactCommands) {
    sensor.values = ramp(7);
    EXPECT_EQ(k.Start(), 0);
    EXPECT_EQ(k.Stop(), 0);
    u32 n = 0;
    EXPECT_EQ(k.GetRecvLength(&n), 0);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(sensor.commands(), (std::vector<uint8_t>{0x22, 0x26, 0x28, 0x2A}));
}

// The stream cut at odd points arrives intact: a split header, values across
// pieces, pieces that are not multiples of 4, and the sensor's own 1460-byte chunks.
TEST_F(Laser, StreamCutAnywhereArrivesIntact) {
    const std::vector<std::vector<size_t>> cuts = {
        {}, {7}, {19, 1, 3}, {13, 5, 2, 11}, {1460}, {21, 1}, {1}};
    for (const auto& cut : cuts) {
        sensor.values = ramp(cut == std::vector<size_t>{1} ? 40 : 1000);
        sensor.pieces = cut;
        std::vector<u32> got(sensor.values.size() + 5, 0xDEADBEEF);
        i32 count = i32(got.size());
        ASSERT_EQ(k.Recv(got.data(), &count), 0);
        ASSERT_EQ(size_t(count), sensor.values.size());
        got.resize(size_t(count));
        EXPECT_EQ(got, sensor.values);
        // The link is in step: the next command is answered as its own.
        u32 n = 0;
        EXPECT_EQ(k.GetRecvLength(&n), 0);
    }
}

TEST_F(Laser, CapacityBelowCountStoresCapacityAndConsumesStream) {
    sensor.values = ramp(500);
    sensor.pieces = {333};
    std::vector<u32> got(100, 0);
    got.push_back(0xCAFEF00D);  // guard beyond the given capacity
    i32 count = 100;
    ASSERT_EQ(k.Recv(got.data(), &count), 0);
    EXPECT_EQ(count, 100);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 100, sensor.values.begin()));
    EXPECT_EQ(got[100], 0xCAFEF00Du);
    EXPECT_EQ(k.Stop(), 0);
}

// The sensor answers the data-output command of an empty store with nothing: the
// client reads nothing (waiting would end at its time-out), and the link stays in step.
TEST_F(Laser, ZeroValuesReadsNothingAfterTheOutputCommand) {
    u32 v[4] = {7, 7, 7, 7};
    i32 count = 4;
    ASSERT_EQ(k.Recv(v, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(v[0], 7u);
    EXPECT_EQ(k.Stop(), 0);
    EXPECT_EQ(sensor.commands(), (std::vector<uint8_t>{0x2A, 0x24, 0x28}));
    sensor.values = ramp(3);
    count = 4;
    ASSERT_EQ(k.Recv(v, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(v[2], sensor.values[2]);
}

TEST_F(Laser, BadStatusReplyGivesRecvFailedAndCountZero) {
    sensor.values = ramp(3);
    sensor.statusCode = 0x2C;
    u32 v[4];
    i32 count = 4;
    EXPECT_EQ(k.Recv(v, &count), 0xE099);
    EXPECT_EQ(count, 0);
}

TEST_F(Laser, SilentSensorTimesOut) {
    sensor.silent = true;
    k.setRecvTimeout(200);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(k.Stop(), 0xE099);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
    u32 v[2];
    i32 count = 2;
    EXPECT_EQ(k.Recv(v, &count), 0xE099);
    EXPECT_EQ(count, 0);
}

TEST_F(Laser, ClosedClientGivesSendFailed) {
    k.Close();
    u32 v[10];
    i32 count = 10;
    EXPECT_EQ(k.Recv(v, &count), 0xE09B);
    EXPECT_EQ(count, 0);
}

}  // namespace

TEST(LaserNoSocket, CommandsGiveSendFailed) {
    CNK_keyence k;
    EXPECT_EQ(k.Start(), 0xE09B);
    EXPECT_EQ(k.Stop(), 0xE09B);
    u32 n = 5;
    EXPECT_EQ(k.GetRecvLength(&n), 0xE09B);
    u32 v[1];
    i32 count = 1;
    EXPECT_EQ(k.Recv(v, &count), 0xE09B);
    EXPECT_EQ(count, 0);
}

TEST(LaserNoSocket, AddressesAndConnectFailure) {
    CNK_keyence k;
    in_addr def{};
    inet_pton(AF_INET, kNKKeyence_defaultAddress, &def);
    EXPECT_EQ(k.getSensorAddress(), def.s_addr);
    EXPECT_EQ(k.setSensorAddress("10.1.2.3"), inet_addr("10.1.2.3"));
    EXPECT_EQ(k.setSensorAddress("10.1.2"), 0xFFFFFFFFu);
    EXPECT_EQ(k.getSensorAddress(), inet_addr("10.1.2.3"));
    // Nothing listens: the connection fails and no socket is left to send on.
    EXPECT_NE(k.Connect("127.0.0.1", nettest::freePort()), 0);
    EXPECT_EQ(k.Stop(), 0xE09B);
}

TEST(LaserPeer, ClosedMidStreamGivesSocketClosed) {
    // A sensor that promises 10 values, sends one and goes.
    u32 v[10];
    i32 count = 10;
    nettest::RawListener l;
    CNK_keyence k2;
    std::thread peer([&] {
        const int c = l.accept();
        nettest::recvN(c, 4);
        nettest::Bytes st = FakeSensor::reply(0x2B, 60);
        st[12] = 10;
        nettest::sendAll(c, st);
        nettest::recvN(c, 5);
        nettest::Bytes d = FakeSensor::reply(0x25, 0xFFFF);
        nettest::putLe(d, 1, 4);
        nettest::sendAll(c, d);
        close(c);
    });
    ASSERT_EQ(k2.Connect("127.0.0.1", l.port), 0);
    EXPECT_EQ(k2.Recv(v, &count), 0xE09C);
    EXPECT_EQ(count, 0);
    peer.join();
}
