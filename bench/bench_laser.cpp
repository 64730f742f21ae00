// The laser sensor client's data fetch of 1,000,000 values from the fake sensor on
// loopback, beside a plain recv loop reading the same stream (the floor).
#include <benchmark/benchmark.h>

#include <vector>

#include "keyence_fake.h"
#include "nk_keyence.h"

namespace {

constexpr size_t kValues = 1000000;

keyencetest::FakeSensor& sensor() {
    static keyencetest::FakeSensor* s = [] {
        auto* f = new keyencetest::FakeSensor;
        f->values.resize(kValues);
        for (size_t i = 0; i < kValues; ++i) f->values[i] = uint32_t(i * 2654435761u);
        return f;
    }();
    return *s;
}

void BM_KeyenceRecv(benchmark::State& state) {
    CNK_keyence k;
    if (k.Connect("127.0.0.1", sensor().port()) != 0) {
        state.SkipWithError("connect");
        return;
    }
    std::vector<u32> values(kValues);
    for (auto _ : state) {
        i32 count = i32(values.size());
        if (k.Recv(values.data(), &count) != 0 || size_t(count) != kValues) state.SkipWithError("recv");
        benchmark::DoNotOptimize(values.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kValues * 4));
}
BENCHMARK(BM_KeyenceRecv)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same two commands and the same bytes through plain recv calls.
void BM_PlainRecvFloor(benchmark::State& state) {
    const int fd = nettest::rawConnect(sensor().port());
    std::vector<uint8_t> buf(kValues * 4 + 64);
    const uint8_t status[] = {0x04, 0x00, 0x07, 0x2A};
    const uint8_t output[] = {0x05, 0x00, 0x07, 0x24, 0x00};
    auto readAll = [&](size_t n) {
        size_t got = 0;
        while (got < n) {
            const ssize_t k = recv(fd, buf.data() + got, n - got, 0);
            if (k <= 0) return false;
            got += size_t(k);
        }
        return true;
    };
    for (auto _ : state) {
        nettest::sendAll(fd, status, sizeof(status));
        if (!readAll(60)) state.SkipWithError("status");
        nettest::sendAll(fd, output, sizeof(output));
        if (!readAll(20 + kValues * 4)) state.SkipWithError("data");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kValues * 4));
    close(fd);
}
BENCHMARK(BM_PlainRecvFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
