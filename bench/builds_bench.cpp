// What running the shipped zarn.sys on the emulated i386 processor costs against the host build, in
// the same run: a boot, a request (the display driver asking for the current mode) and a mode set
// (set and query, as the display driver does it), each on both builds. The hardware accesses per
// operation are the same on both (the comparison test checks it); the counters show them.
#include <benchmark/benchmark.h>

#include <fstream>

#include "clients/display_driver.h"
#include "machine/machine.h"

namespace {

enum Build { Host = 0, Image = 1 };

bool ConfigFor(benchmark::State& state, sim::MachineConfig* config) {
    config->adapters[0].memoryMiB = 16;
    if (state.range(0) == Image) {
        if (!std::ifstream(ZARN_SYS)) {
            state.SkipWithError("zarn.sys was not built");
            return false;
        }
        config->driverImage = ZARN_SYS;
    }
    return true;
}

void Boot(benchmark::State& state) {
    sim::MachineConfig config;
    if (!ConfigFor(state, &config)) return;
    for (auto _ : state) {
        sim::Machine machine(config);
        benchmark::DoNotOptimize(machine.Boot());
    }
}
BENCHMARK(Boot)->Arg(Host)->Arg(Image)->ArgNames({"image"})->Unit(benchmark::kMicrosecond);

void Request(benchmark::State& state) {
    sim::MachineConfig config;
    if (!ConfigFor(state, &config)) return;
    sim::Machine machine(config);
    machine.Boot();
    sim::SetModeByIndex(machine, 0, 0);
    machine.ClearTrace();
    size_t requests = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(machine.Request(IOCTL_VIDEO_QUERY_CURRENT_MODE, {}, sizeof(VIDEO_MODE_INFORMATION)));
        ++requests;
    }
    state.counters["accesses_per_request"] = static_cast<double>(machine.Trace().size()) / static_cast<double>(requests);
}
BENCHMARK(Request)->Arg(Host)->Arg(Image)->ArgNames({"image"});

// Mode sets in turn through the first modes of the list (8, 16 and 24 bits per pixel).
void ModeSet(benchmark::State& state) {
    sim::MachineConfig config;
    if (!ConfigFor(state, &config)) return;
    sim::Machine machine(config);
    machine.Boot();
    sim::ModeList list = sim::QueryModes(machine, 0);
    size_t sets = 0;
    uint64_t accesses = 0;
    for (auto _ : state) {
        machine.ClearTrace();
        sim::ModeSetResult set = sim::SetModeByIndex(machine, 0, list.modes[sets % 3].ModeIndex);
        benchmark::DoNotOptimize(set.status);
        accesses += machine.Trace().size();
        ++sets;
    }
    state.counters["accesses_per_set"] = static_cast<double>(accesses) / static_cast<double>(sets);
}
BENCHMARK(ModeSet)->Arg(Host)->Arg(Image)->ArgNames({"image"})->Unit(benchmark::kMicrosecond);

}  // namespace
