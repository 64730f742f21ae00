// Reading a property list whose root dictionary has n keys: the time per key must
// stay flat as n grows (each key used to be searched for among all before it).
#include <benchmark/benchmark.h>

#include <string>

#include "plist/pf_plist.h"

namespace {

std::string dictXml(int keys) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (int i = 0; i < keys; ++i) {
        xml += "\t<key>SN";
        xml += std::to_string(1000000 + i);
        xml += "</key>\n\t<dict><key>result</key><string>PASS</string><key>A</key><real>1.5</real></dict>\n";
    }
    xml += "</dict>\n</plist>\n";
    return xml;
}

void BM_readDict(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    const std::string xml = dictXml(keys);
    for (auto _ : state) {
        pf::plist::Value root;
        if (!pf::plist::fromXml(xml, root) || root.size() != static_cast<size_t>(keys)) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(root);
    }
    state.counters["per_key"] =
        benchmark::Counter(static_cast<double>(keys), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_readDict)->Arg(10000)->Arg(40000)->Arg(160000)->Unit(benchmark::kMillisecond);

// Building the same dictionary with set(), as the writers do.
void BM_buildDict(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    for (auto _ : state) {
        pf::plist::Value root = pf::plist::Value::dict();
        for (int i = 0; i < keys; ++i) root.set("SN" + std::to_string(1000000 + i), pf::plist::Value::real(1.5));
        benchmark::DoNotOptimize(root);
    }
    state.counters["per_key"] =
        benchmark::Counter(static_cast<double>(keys), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_buildDict)->Arg(10000)->Arg(40000)->Arg(160000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
