// Speed of the image runner, each next to a host-only baseline of the same run and the same work:
// the image calling a platform routine through a thunk, the host calling a driver callback of the
// shipped zarn.sys, and a platform routine calling back into the image (as the display data channel
// helper calls the line callbacks).
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>

#include "image_runner.h"

namespace {

using namespace sim::image;

constexpr uint32_t CodePage = 0x00400000;
constexpr uint32_t Calls = 1000;   // calls per iteration of the thunk and callback benchmarks

uint32_t ReadRegister(uint32_t address) { return address * 2; }
uint32_t (*volatile readRegister)(uint32_t) = ReadRegister;

uint32_t GetPowerState(uint32_t, uint32_t, uint32_t) { return 1; }
uint32_t (*volatile getPowerState)(uint32_t, uint32_t, uint32_t) = GetPowerState;

// A runner with a page of hand-assembled code at CodePage.
struct CodeRunner {
    explicit CodeRunner(const PlatformRoutines& routines) : runner(routines), code(PageSize) {
        runner.Processor().MapMemory(CodePage, PageSize, code.data(), ProtectRead | ProtectExecute);
    }
    void Place(uint32_t offset, std::initializer_list<uint8_t> bytes) { std::copy(bytes.begin(), bytes.end(), code.data() + offset); }
    void PlaceWord(uint32_t offset, uint32_t value) { std::memcpy(code.data() + offset, &value, 4); }

    ImageRunner runner;
    PageMemory code;
};

void HostCallsRoutineThroughPointer(benchmark::State& state) {
    uint32_t sum = 0;
    for (auto _ : state) {
        for (uint32_t i = Calls; i; --i) sum += readRegister(i);
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * Calls);
}
BENCHMARK(HostCallsRoutineThroughPointer);

// The image calls VideoPortReadRegisterUlong in a loop.
void ImageCallsRoutineThroughThunk(benchmark::State& state) {
    PlatformRoutines routines;
    routines.VideoPortReadRegisterUlong = ReadRegister;
    CodeRunner code(routines);
    // push esi; mov esi, Calls; again: push esi; mov eax, thunk; call eax; dec esi; jnz again; pop esi; ret
    code.Place(0, {0x56, 0xBE});
    code.PlaceWord(2, Calls);
    code.Place(6, {0x56, 0xB8});
    code.PlaceWord(8, *code.runner.ThunkAddress("videoprt.sys", "VideoPortReadRegisterUlong"));
    code.Place(12, {0xFF, 0xD0, 0x4E, 0x75, 0xF5, 0x5E, 0xC3});
    for (auto _ : state) benchmark::DoNotOptimize(code.runner.Processor().Call(CodePage, {}));
    state.SetItemsProcessed(state.iterations() * Calls);
}
BENCHMARK(ImageCallsRoutineThroughThunk);

void HostCallsHostCallbackThroughPointer(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(getPowerState(0x81000000, 0, 0x81000100));
}
BENCHMARK(HostCallsHostCallbackThroughPointer);

// HwGetPowerState of the shipped image, from the host.
void HostCallsImageCallback(benchmark::State& state) {
    std::ifstream file(ZARN_SYS, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        state.SkipWithError("zarn.sys was not built");
        return;
    }
    PlatformRoutines routines;
    ImageRunner runner(routines);
    const LoadedImage& image = runner.Load(bytes);
    std::ifstream map(ZARN_MAP);
    runner.AddLinkMapSymbols(std::string((std::istreambuf_iterator<char>(map)), std::istreambuf_iterator<char>()));
    uint32_t callback = 0;
    for (const auto& [name, address] : image.symbols) {
        if (name.find("HwGetPowerState") != std::string::npos) callback = address;
    }
    if (!callback) {
        state.SkipWithError("zarn.map has no HwGetPowerState symbol");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(runner.Processor().Call(callback, {0x81000000, 0, 0x81000100}));
}
BENCHMARK(HostCallsImageCallback);

// The image calls VideoPortDDCMonitorHelper once; the routine calls the image's callback `Calls`
// times, each a call nested in the image's suspended call.
void RoutineCallsBackIntoImage(benchmark::State& state) {
    PlatformRoutines routines;
    CodeRunner* code = nullptr;
    routines.VideoPortDDCMonitorHelper = [&code](Address, Address callback, Address, uint32_t count) -> uint8_t {
        uint64_t sum = 0;
        for (uint32_t i = 0; i < count; ++i) sum += code->runner.Processor().Call(callback, {i});
        return sum != 0;
    };
    CodeRunner runner(routines);
    code = &runner;
    // push Calls; push 0; push callback; push 0x81000000; mov eax, thunk; call eax; ret
    runner.Place(0, {0x68});
    runner.PlaceWord(1, Calls);
    runner.Place(5, {0x6A, 0x00, 0x68});
    runner.PlaceWord(8, CodePage + 0x100);
    runner.Place(12, {0x68});
    runner.PlaceWord(13, 0x81000000);
    runner.Place(17, {0xB8});
    runner.PlaceWord(18, *runner.runner.ThunkAddress("videoprt.sys", "VideoPortDDCMonitorHelper"));
    runner.Place(22, {0xFF, 0xD0, 0xC3});
    runner.Place(0x100, {0x8B, 0x44, 0x24, 0x04, 0xC2, 0x04, 0x00});   // mov eax, [esp+4]; ret 4
    for (auto _ : state) benchmark::DoNotOptimize(runner.runner.Processor().Call(CodePage, {}));
    state.SetItemsProcessed(state.iterations() * Calls);
}
BENCHMARK(RoutineCallsBackIntoImage);

}  // namespace
