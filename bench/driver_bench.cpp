// Speed of the driver on the simulated machine, and the hardware accesses each operation costs
// (reported as counters: accesses per operation).
#include <benchmark/benchmark.h>

#include "clients/display_driver.h"
#include "dispatch/control_codes.h"
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

// A settings read: Arg 0 a relayed name found in the last key of the search (five failed opens
// first), Arg 1 a device parameter; and a whole palette with the gamma reload it brings.
void ReadSetting(benchmark::State& state) {
    sim::Machine machine(DirectMachine());
    machine.GetRegistry().SetDword(sim::Machine::DeviceKey(0), "ZRLevel", 3);
    machine.GetRegistry().SetDword(sim::Machine::DeviceKey(0), "Level", 3);
    machine.Boot();
    std::string name = state.range(0) == 0 ? "ZRLevel" : "Level";
    std::vector<uint8_t> input(name.begin(), name.end());
    input.resize(8, 0);
    for (auto _ : state) {
        sim::RequestResult result = machine.Request(IOCTL_VIDEO_READ_SETTING, input, 1032);
        benchmark::DoNotOptimize(result.status);
    }
}
BENCHMARK(ReadSetting)->Arg(0)->Arg(1);

void SetWholePalette(benchmark::State& state) {
    sim::Machine machine(DirectMachine());
    machine.Boot();
    std::vector<uint32_t> palette = sim::DisplayDriverPalette();
    size_t accesses = 0;
    for (auto _ : state) {
        machine.ClearTrace();
        benchmark::DoNotOptimize(sim::SetPalette(machine, 0, 0, palette));
        accesses = machine.Trace().size();
    }
    state.counters["accesses"] = static_cast<double>(accesses);
}
BENCHMARK(SetWholePalette);

}  // namespace
