// How fast the simulated machine runs, each figure next to a baseline measured in the same run, so
// that a reader sees a ratio rather than a machine-dependent time:
//   - boot plus one mode set on a 16 MiB board, against zero-filling 16 MiB (what making the board's
//     video memory used to cost); with and without the ROM (BIOS path), and with and without the
//     platform's enumeration of the monitor at boot (the EDID read bit by bit over the display data
//     channel: some 8,500 accesses);
//   - one simulated register access through the video port routine, against a plain volatile
//     load from host memory.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "clients/display_driver.h"
#include "machine/machine.h"
#include "platform/videoport.h"

namespace {

using Clock = std::chrono::steady_clock;

// Nanoseconds per call of `work`, run `count` times.
template <class Work>
double NanosecondsEach(size_t count, Work work) {
    auto start = Clock::now();
    for (size_t i = 0; i < count; ++i) work(i);
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(count);
}

sim::MachineConfig Board(bool rom, bool enumerateMonitor = true) {
    sim::MachineConfig config;
    config.adapters[0].hasRom = rom;
    config.adapters[0].memoryMiB = 16;
    config.enumerateChildren = enumerateMonitor;
    return config;
}

void BootAndModeSet(benchmark::State& state) {
    const bool rom = state.range(0) != 0;
    const bool enumerate = state.range(1) != 0;
    std::vector<uint8_t> baselineMemory(16u << 20);
    double baseline = 0;
    size_t rounds = 0;
    for (auto _ : state) {
        sim::Machine machine(Board(rom, enumerate));
        machine.Boot();
        sim::ModeSetResult set = sim::SetMode(machine, 0, sim::ModeRequest{1024, 768, 16, 60});
        benchmark::DoNotOptimize(set.status);
        state.PauseTiming();
        baseline += NanosecondsEach(1, [&](size_t) {
            std::memset(baselineMemory.data(), static_cast<int>(rounds), baselineMemory.size());
            benchmark::ClobberMemory();
        });
        ++rounds;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["baseline_memset_16MiB_ns"] = baseline / static_cast<double>(rounds);
}
BENCHMARK(BootAndModeSet)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->ArgNames({"rom", "monitor"})
    ->Unit(benchmark::kMicrosecond);

void SimulatedRegisterAccess(benchmark::State& state) {
    sim::Machine machine(Board(false, false));
    machine.Boot();
    auto* pipeline = reinterpret_cast<PULONG>(uintptr_t{machine.Adapter(0).mappings.at(0).address + 0x5C});
    std::vector<uint32_t> host(1024, 7);
    constexpr size_t Batch = 4096;
    double simulated = 0, plain = 0;
    size_t batches = 0;
    for (auto _ : state) {
        simulated += NanosecondsEach(Batch, [&](size_t) { benchmark::DoNotOptimize(VideoPortReadRegisterUlong(pipeline)); });
        plain += NanosecondsEach(Batch, [&](size_t i) {
            benchmark::DoNotOptimize(*static_cast<volatile uint32_t*>(&host[i & 1023]));
        });
        ++batches;
        state.PauseTiming();
        machine.ClearTrace();
        state.ResumeTiming();
    }
    state.counters["ns_per_access"] = simulated / static_cast<double>(batches);
    state.counters["baseline_ns_per_load"] = plain / static_cast<double>(batches);
}
BENCHMARK(SimulatedRegisterAccess);

}  // namespace
