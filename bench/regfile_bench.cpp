// The registry's cost as it grows, each figure next to a baseline measured in the same run, so that a
// reader compares time per item rather than machine-dependent times:
//   - loading registry files: keys created, and the same keys deleted again by "[-key]" lines, against
//     the plain load;
//   - one key holding N values, loaded from a file, against N keys of one value each (linear when the
//     time per value stays that of the baseline at 10k and at 100k values);
//   - N settings written through the driver's settings write request with N distinct names (N values
//     in one key), against N writes of one name.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "dispatch/control_codes.h"
#include "kernel/regfile.h"
#include "machine/machine.h"

namespace {

const std::string ZarnKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn";

std::string KeyPath(int i) { return ZarnKey + "\\Key" + std::to_string(i); }

// `keys` keys with one value each, then (when `deleteThem`) one deletion line per key.
std::string RegText(int keys, bool deleteThem) {
    std::string text = "REGEDIT4\r\n";
    for (int i = 0; i < keys; ++i) text += "\r\n[" + KeyPath(i) + "]\r\n\"Value\"=dword:0000002a\r\n";
    if (deleteThem) {
        for (int i = 0; i < keys; ++i) text += "\r\n[-" + KeyPath(i) + "]\r\n";
    }
    return text;
}

// One key holding `values` values.
std::string OneKeyText(int values) {
    std::string text = "REGEDIT4\r\n\r\n[" + ZarnKey + "\\Device0]\r\n";
    for (int i = 0; i < values; ++i) text += "\"Value" + std::to_string(i) + "\"=dword:0000002a\r\n";
    return text;
}

void Load(benchmark::State& state, const std::string& text, size_t keys, int64_t items) {
    for (auto _ : state) {
        sim::Registry registry;
        std::string error;
        bool loaded = sim::LoadRegFile(text, registry, &error);
        benchmark::DoNotOptimize(loaded);
        if (!loaded || registry.Keys().size() != keys) state.SkipWithError("the registry file did not load as written");
    }
    state.SetItemsProcessed(state.iterations() * items);
}

void RegFileLoadKeys(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    Load(state, RegText(keys, false), static_cast<size_t>(keys), keys);
}

void RegFileLoadKeysThenDeleteEach(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    Load(state, RegText(keys, true), 0, 2 * keys);
}

void RegFileLoadValuesOfOneKey(benchmark::State& state) {
    const int values = static_cast<int>(state.range(0));
    Load(state, OneKeyText(values), 1, values);
}

std::vector<uint8_t> WriteRecord(const std::string& name, uint32_t value) {
    std::vector<uint8_t> record(76 + 4, 0);
    std::copy(name.begin(), name.end(), record.begin() + 4);
    record[68] = 4;   // REG_DWORD
    record[72] = 4;   // its size
    for (int i = 0; i < 4; ++i) record[76 + i] = static_cast<uint8_t>(value >> (8 * i));
    return record;
}

// `count` settings written through the driver, each named ZR<i> (distinct) or all named ZR0. Relayed
// names go to the machine's settings key, which the booted machine has.
void WriteSettings(benchmark::State& state, bool distinct) {
    const int count = static_cast<int>(state.range(0));
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < count; ++i) records.push_back(WriteRecord("ZR" + std::to_string(distinct ? i : 0), i));
    for (auto _ : state) {
        state.PauseTiming();
        sim::Machine machine;
        machine.Boot();
        state.ResumeTiming();
        for (const std::vector<uint8_t>& record : records) {
            sim::RequestResult result = machine.Request(IOCTL_VIDEO_WRITE_SETTING, record, 0, sim::RequestOptions{});
            if (result.status != 0) state.SkipWithError("a settings write failed");
        }
        state.PauseTiming();
        const sim::RegKey* key = machine.GetRegistry().FindKey(ZarnKey + "\\Device0");
        if (!key || key->values.size() < static_cast<size_t>(distinct ? count : 1)) {
            state.SkipWithError("the settings did not reach the settings key");
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void SettingsWriteDistinctNames(benchmark::State& state) { WriteSettings(state, true); }
void SettingsWriteOneName(benchmark::State& state) { WriteSettings(state, false); }

BENCHMARK(RegFileLoadKeys)->Arg(250)->Arg(1000)->Arg(4000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(RegFileLoadKeysThenDeleteEach)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(RegFileLoadValuesOfOneKey)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(SettingsWriteOneName)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(SettingsWriteDistinctNames)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
