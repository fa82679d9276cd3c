// Loading registry files: keys created, and the same keys deleted again by "[-key]" lines. The
// plain load is the same-run baseline that the deletions are compared with.
#include <benchmark/benchmark.h>

#include <string>

#include "kernel/regfile.h"

namespace {

std::string KeyPath(int i) {
    return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Key" + std::to_string(i);
}

// `keys` keys with one value each, then (when `deleteThem`) one deletion line per key.
std::string RegText(int keys, bool deleteThem) {
    std::string text = "REGEDIT4\r\n";
    for (int i = 0; i < keys; ++i) text += "\r\n[" + KeyPath(i) + "]\r\n\"Value\"=dword:0000002a\r\n";
    if (deleteThem) {
        for (int i = 0; i < keys; ++i) text += "\r\n[-" + KeyPath(i) + "]\r\n";
    }
    return text;
}

void LoadKeys(benchmark::State& state, bool deleteThem) {
    const int keys = static_cast<int>(state.range(0));
    const std::string text = RegText(keys, deleteThem);
    for (auto _ : state) {
        sim::Registry registry;
        std::string error;
        bool loaded = sim::LoadRegFile(text, registry, &error);
        benchmark::DoNotOptimize(loaded);
        if (!loaded || registry.Keys().size() != (deleteThem ? 0u : static_cast<size_t>(keys))) {
            state.SkipWithError("the registry file did not load as written");
        }
    }
    state.SetItemsProcessed(state.iterations() * keys * (deleteThem ? 2 : 1));
}

void RegFileLoadKeys(benchmark::State& state) { LoadKeys(state, false); }
void RegFileLoadKeysThenDeleteEach(benchmark::State& state) { LoadKeys(state, true); }

BENCHMARK(RegFileLoadKeys)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(RegFileLoadKeysThenDeleteEach)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace
