// Speed of the driver on the simulated machine, and the hardware accesses each operation costs
// (reported as counters: accesses per operation).
#include <benchmark/benchmark.h>

#include "clients/display_driver.h"
#include "machine/machine.h"
#include "devices/scanout.h"
#include "clients/test_pattern.h"

namespace {

sim::MachineConfig DirectMachine() {
    sim::MachineConfig config;
    config.adapters[0].hasRom = false;
    return config;
}

void BootOneAdapter(benchmark::State& state) {
    size_t accesses = 0;
    for (auto _ : state) {
        sim::Machine machine(DirectMachine());
        machine.Boot();
        accesses = machine.Trace().size();
        benchmark::DoNotOptimize(machine.Adapter(0).started);
    }
    state.counters["accesses"] = static_cast<double>(accesses);
}
BENCHMARK(BootOneAdapter);

void DirectModeSet(benchmark::State& state) {
    sim::Machine machine(DirectMachine());
    machine.Boot();
    uint32_t index = static_cast<uint32_t>(state.range(0));
    size_t accesses = 0;
    for (auto _ : state) {
        machine.ClearTrace();
        sim::ModeSetResult result = sim::SetModeByIndex(machine, 0, index);
        accesses = machine.Trace().size();
        benchmark::DoNotOptimize(result.status);
    }
    state.counters["accesses"] = static_cast<double>(accesses);
}
BENCHMARK(DirectModeSet)->Arg(0)->Arg(115)->Arg(132);

void QueryAvailModes(benchmark::State& state) {
    sim::Machine machine(DirectMachine());
    machine.Boot();
    for (auto _ : state) {
        sim::ModeList list = sim::QueryModes(machine, 0);
        benchmark::DoNotOptimize(list.modes.data());
    }
}
BENCHMARK(QueryAvailModes);

void RenderScreen(benchmark::State& state) {
    sim::Machine machine(DirectMachine());
    machine.Boot();
    sim::ModeSetResult set = sim::SetMode(machine, 0, sim::ParseModeRequest("1024x768x32@60"));
    sim::DrawTestPattern(machine.VideoMemory(0), 1024, 768, 32, set.mode.ScreenStride, nullptr);
    for (auto _ : state) {
        sim::Image image = sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0));
        benchmark::DoNotOptimize(image.pixels.data());
    }
    state.SetItemsProcessed(state.iterations() * 1024 * 768);
}
BENCHMARK(RenderScreen);

}  // namespace
