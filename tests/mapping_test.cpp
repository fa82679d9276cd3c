// Memory mapping as its users see it: the display driver maps the frame buffer and draws through
// it, processes share the frame buffer, a 3D driver maps the windows and contiguous memory into its
// process; and nobody reaches memory they were not given, whatever the platform refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <initializer_list>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "adapter/adapter_state.h"
#include "clients/display_driver.h"
#include "clients/test_pattern.h"
#include "devices/scanout.h"
#include "dispatch/control_codes.h"
#include "driver_faults.h"
#include "machine/machine.h"

namespace {

using sim::Machine;

constexpr uint32_t Current = 0xFFFFFFFF;   // NtCurrentProcess()
constexpr uint32_t DisplayProcess = 1;

std::vector<uint8_t> Dwords(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> bytes;
    for (uint32_t value : values) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

sim::MachineConfig Config(sim::AdapterConfig adapter = {}, bool checkAliasing = true) {
    sim::MachineConfig config;
    config.adapters = {adapter};
    config.checkAliasing = checkAliasing;
    return config;
}

sim::RequestResult Send(Machine& machine, uint32_t process, uint32_t code, const std::vector<uint8_t>& input,
                        uint32_t outputLength) {
    sim::RequestOptions options;
    options.process = process;
    return machine.Request(code, input, outputLength, options);
}

// FIND_MAPPING from a process: the recorded address holding `address`, or 0.
uint32_t Found(Machine& machine, uint32_t process, uint32_t address) {
    sim::RequestResult r = Send(machine, process, IOCTL_VIDEO_FIND_MAPPING, Dwords({address}), 8);
    return r.status == NO_ERROR ? sim::Dword(r.output, 4) : 0;
}

size_t ViewCount(const Machine& machine, uint32_t process) {
    const sim::Process* found = machine.FindProcess(process);
    return found ? found->views.size() : 0;
}

size_t HandleCount(Machine& machine) {
    size_t count = 0;
    for (const auto& [id, process] : machine.GetKernel().Processes()) count += process.handles.size();
    return count;
}

const AdapterState& StateOf(Machine& machine) { return *static_cast<const AdapterState*>(machine.Extension(0)); }

struct Registry {
    std::vector<uint32_t> address, count, process;
    bool operator==(const Registry&) const = default;
};

Registry RegistryOf(Machine& machine) {
    const AdapterState& state = StateOf(machine);
    Registry registry;
    for (ULONG i = 0; i < MappingSlots; ++i) {
        registry.address.push_back(state.mapAddress[i]);
        registry.count.push_back(static_cast<uint32_t>(state.mapRefCount[i]));
        registry.process.push_back(state.mapAddress[i] ? state.mapProcess[i] : 0);
    }
    return registry;
}

// --- The display driver ---------------------------------------------------------------------------

struct AdapterKind {
    const char* name;
    sim::AdapterConfig adapter;
};

void PrintTo(const AdapterKind& value, std::ostream* out) { *out << value.name; }

class DisplayDriverSequence : public testing::TestWithParam<AdapterKind> {};

// Query the modes; for each resolution and depth (refresh rates share the frame buffer's layout): set
// it, map the frame buffer (requested address 0), draw the test pattern through the mapping, look at
// the screen, query the current mode, reset, unmap.
TEST_P(DisplayDriverSequence, DrawsEveryModeThroughTheFrameBufferMapping) {
    Machine machine(Config(GetParam().adapter, false));
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    sim::ModeList list = sim::QueryModes(machine, 0);
    ASSERT_EQ(list.status, 0u);
    ASSERT_FALSE(list.modes.empty());
    const uint32_t window = machine.PciOf(0).BarSize(1);

    std::set<std::tuple<ULONG, ULONG, ULONG>> shown;
    for (const VIDEO_MODE_INFORMATION& mode : list.modes) {
        if (!shown.insert({mode.VisScreenWidth, mode.VisScreenHeight, mode.BitsPerPlane}).second) continue;
        SCOPED_TRACE(std::to_string(mode.VisScreenWidth) + "x" + std::to_string(mode.VisScreenHeight) + "x" +
                     std::to_string(mode.BitsPerPlane) + "@" + std::to_string(mode.Frequency));
        ASSERT_EQ(sim::SetModeByIndex(machine, 0, mode.ModeIndex).status, 0u);
        sim::FrameBufferMapping mapping = sim::MapFrameBuffer(machine, 0, DisplayProcess);
        ASSERT_EQ(mapping.status, 0u);
        EXPECT_EQ(mapping.videoRamLength, window);
        EXPECT_EQ(mapping.frameBufferLength, GetParam().adapter.memoryMiB << 20);
        EXPECT_EQ(mapping.videoRamBase, mapping.frameBufferBase);

        sim::VideoMemoryBytes& memory = machine.VideoMemory(0);
        std::memset(memory.data(), 0, memory.size());
        std::string error;
        ASSERT_TRUE(sim::DrawThroughMapping(machine, DisplayProcess, mapping, mode, &error)) << error;
        sim::Image screen = sim::RenderScreen(machine.ChipOf(0), memory);
        const unsigned lines = screen.height / mode.VisScreenHeight;
        ASSERT_EQ(screen.width, mode.VisScreenWidth);
        // Corners, bars and ramps: a sample of every region of the pattern.
        for (unsigned y : {0u, 1u, mode.VisScreenHeight / 4, mode.VisScreenHeight * 3 / 4, mode.VisScreenHeight - 1}) {
            for (unsigned x : {0u, 1u, mode.VisScreenWidth / 3, mode.VisScreenWidth - 2, mode.VisScreenWidth - 1}) {
                uint32_t value = sim::PatternValue(x, y, mode.VisScreenWidth, mode.VisScreenHeight, mode.BitsPerPlane);
                uint32_t expected = mode.BitsPerPlane == 8 ? value * 0x010101u : value;
                ASSERT_EQ(screen.At(x, y * lines), expected) << "pixel " << x << "," << y;
            }
        }

        sim::RequestResult current = machine.Request(IOCTL_VIDEO_QUERY_CURRENT_MODE, {}, sizeof(VIDEO_MODE_INFORMATION));
        ASSERT_EQ(current.status, 0u);
        VIDEO_MODE_INFORMATION reported{};
        std::memcpy(&reported, current.output.data(), sizeof reported);
        EXPECT_EQ(reported.VisScreenWidth, mode.VisScreenWidth);
        EXPECT_EQ(reported.BitsPerPlane, mode.BitsPerPlane);
        EXPECT_EQ(reported.Frequency, mode.Frequency);
        EXPECT_EQ(machine.Request(IOCTL_VIDEO_RESET_DEVICE, {}, 0).status, 0u);
        EXPECT_EQ(sim::UnmapFrameBuffer(machine, 0, mapping.frameBufferBase, DisplayProcess), 0u);
        EXPECT_EQ(Found(machine, DisplayProcess, mapping.frameBufferBase), 0u) << "the hand-out was counted back";
    }
    EXPECT_EQ(ViewCount(machine, DisplayProcess), 0u) << "the kernel mapping needs no view";
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

INSTANTIATE_TEST_SUITE_P(Adapters, DisplayDriverSequence,
                         testing::Values(AdapterKind{"Corvid4MBThroughTheBios", Board("device=3,memory=4")},
                                         AdapterKind{"CorvidPlus8MBDirect", Board("device=4,memory=8,rom=none")},
                                         AdapterKind{"Mistral16MBSecondary", Board("device=5,memory=16,secondary")}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Shared views of the frame buffer ------------------------------------------------------------

uint32_t ShareFrameBuffer(Machine& machine, uint32_t process, uint32_t size) {
    sim::RequestResult r = Send(machine, process, IOCTL_VIDEO_SHARE_VIDEO_MEMORY, Dwords({Current, 0, size, 0}), 12);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.information, 12u);
    return sim::Dword(r.output, 8);
}

void Paint(Machine& machine, uint32_t process, uint32_t base, uint32_t stride, unsigned x, unsigned y, uint32_t colour,
           bool expectDone = true) {
    EXPECT_EQ(machine.ProcessWrite(process, base + y * stride + x * 4, Dwords({colour})), expectDone);
}

TEST(SharedFrameBuffer, TwoProcessesDrawThroughTheirOwnViewsAndOneCanLeave) {
    Machine machine(Config(Board("device=5,memory=16,rom=none")));
    machine.Boot();
    sim::ModeSetResult set = sim::SetMode(machine, 0, sim::ParseModeRequest("640x480x32@60"));
    ASSERT_TRUE(set.offered);
    ASSERT_EQ(set.status, 0u);
    const uint32_t stride = set.mode.ScreenStride;
    const uint32_t memory = static_cast<uint32_t>(machine.VideoMemory(0).size());

    uint32_t first = ShareFrameBuffer(machine, 2, memory);
    uint32_t second = ShareFrameBuffer(machine, 3, memory);
    for (uint32_t process : {2u, 3u}) {
        ASSERT_EQ(ViewCount(machine, process), 1u);
        const sim::View view = machine.FindProcess(process)->views.begin()->second;
        EXPECT_EQ(view.physical, machine.PciOf(0).BarAddress(1)) << "a shared view starts at the window";
        EXPECT_EQ(view.caching, "write-combined");
    }
    Paint(machine, 2, first, stride, 10, 10, 0xFF0000);
    Paint(machine, 3, second, stride, 20, 20, 0x00FF00);
    sim::Image screen = sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0));
    EXPECT_EQ(screen.At(10, 10), 0xFF0000u);
    EXPECT_EQ(screen.At(20, 20), 0x00FF00u);

    sim::RequestResult unshare =
        Send(machine, 2, IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY, Dwords({Current, 0, memory, first}), 0);
    EXPECT_EQ(unshare.status, 0u);
    EXPECT_EQ(ViewCount(machine, 2), 0u);
    EXPECT_EQ(Found(machine, 2, first), 0u);
    EXPECT_EQ(Found(machine, 3, second), second);
    Paint(machine, 3, second, stride, 30, 30, 0x0000FF);
    EXPECT_EQ(sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0)).At(30, 30), 0x0000FFu);

    machine.ClearFaults();
    Paint(machine, 2, first, stride, 40, 40, 0xFFFFFF, false);
    ASSERT_EQ(machine.Faults().size(), 1u);
    EXPECT_EQ(machine.Faults()[0].kind, sim::FaultKind::Process) << machine.Faults()[0].message;
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

struct ShareCase {
    const char* name;
    uint32_t inputLength;
    uint32_t offset;        // subtracted from the window's length when `fromEnd` (modulo 2^32)
    bool fromEnd;
    uint32_t size;
    uint32_t status;
    uint32_t information;   // Sentinel: unchanged
};

constexpr uint32_t Sentinel = 0x5A5A5A5A;

void PrintTo(const ShareCase& value, std::ostream* out) { *out << value.name; }

class ShareVideoMemory : public testing::TestWithParam<ShareCase> {};

TEST_P(ShareVideoMemory, ChecksItsInputAndTheWindow) {
    const ShareCase& c = GetParam();
    Machine machine(Config());
    machine.Boot();
    const uint32_t window = machine.PciOf(0).BarSize(1);
    uint32_t offset = c.fromEnd ? window - c.offset : c.offset;
    std::vector<uint8_t> input = Dwords({Current, offset, c.size, 0});
    input.resize(c.inputLength);
    sim::RequestOptions options;
    options.process = 2;
    options.presetInformation = Sentinel;
    sim::RequestResult r = machine.Request(IOCTL_VIDEO_SHARE_VIDEO_MEMORY, input, 12, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    if (c.status == NO_ERROR) {
        ASSERT_EQ(ViewCount(machine, 2), 1u);
        const sim::View view = machine.FindProcess(2)->views.begin()->second;
        EXPECT_EQ(sim::Dword(r.output, 0), offset);
        EXPECT_EQ(sim::Dword(r.output, 8), view.base) << "the view starts at the window, the caller adds the offset";
        EXPECT_EQ(sim::Dword(r.output, 4), view.size);
        EXPECT_EQ(Found(machine, 2, view.base), view.base);
    } else {
        EXPECT_EQ(ViewCount(machine, 2), 0u);
    }
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShareVideoMemory,
    testing::Values(ShareCase{"WholeWindow", 16, 0, false, 0x1000000, 0, 12},
                    ShareCase{"OffsetIsTheCallersToAdd", 16, 0x100000, false, 0x1000, 0, 12},
                    ShareCase{"SizeRoundedToPages", 12, 0, false, 0x1001, 0, 12},
                    // The range check passes; a view of no bytes is the platform's to refuse.
                    ShareCase{"EmptyViewAtTheEnd", 16, 0, true, 0, ERROR_INVALID_PARAMETER, 12},
                    ShareCase{"OneByteBeyondTheWindow", 16, 0x1000, true, 0x1001, ERROR_INVALID_PARAMETER, Sentinel},
                    ShareCase{"OffsetBeyondTheWindow", 16, 0xFFFFFFFF, true, 0, ERROR_INVALID_PARAMETER, Sentinel},
                    ShareCase{"SizeWrapsPastZero", 16, 0x1000, false, 0xFFFFF001, ERROR_INVALID_PARAMETER, Sentinel},
                    ShareCase{"SizeNotGiven", 11, 0, false, 0x1000, ERROR_INSUFFICIENT_BUFFER, Sentinel}),
    [](const auto& info) { return std::string(info.param.name); });

// --- A 3D driver ------------------------------------------------------------------------------------

constexpr uint32_t StrideRegister = 0xE8;

TEST(ThreeDDriver, MapsTheWindowsAndContiguousMemoryIntoItsProcess) {
    Machine machine(Config(Board("device=5,memory=16,rom=none")));
    machine.Boot();
    sim::ModeSetResult set = sim::SetMode(machine, 0, sim::ParseModeRequest("800x600x16@75"));
    ASSERT_TRUE(set.offered);
    ASSERT_EQ(set.status, 0u);
    const uint32_t process = 2;

    sim::RequestResult map = Send(machine, process, IOCTL_VIDEO_MAP_APERTURES, Dwords({Current}), 24);
    ASSERT_EQ(map.status, 0u);
    EXPECT_EQ(map.information, 24u);
    const uint32_t registers = sim::Dword(map.output, 8), frameBuffer = sim::Dword(map.output, 20);
    EXPECT_EQ(sim::Dword(map.output, 0), 0u);
    EXPECT_EQ(sim::Dword(map.output, 4), 0u);
    EXPECT_EQ(sim::Dword(map.output, 12), uint32_t{VIDEO_MEMORY_SPACE_P6CACHE});
    EXPECT_EQ(sim::Dword(map.output, 16), uint32_t{VIDEO_MEMORY_SPACE_P6CACHE});
    ASSERT_EQ(ViewCount(machine, process), 2u);
    const sim::Process views = *machine.FindProcess(process);
    EXPECT_EQ(views.ViewAt(registers)->physical, machine.PciOf(0).BarAddress(0));
    EXPECT_EQ(views.ViewAt(registers)->caching, "uncached");
    EXPECT_EQ(views.ViewAt(frameBuffer)->physical, machine.PciOf(0).BarAddress(1));
    EXPECT_EQ(views.ViewAt(frameBuffer)->caching, "write-combined");

    // A register read through the view is answered by the chip.
    machine.ClearTrace();
    std::vector<uint8_t> stride(4);
    ASSERT_TRUE(machine.ProcessRead(process, registers + StrideRegister, stride));
    ASSERT_EQ(machine.Trace().size(), 1u);
    const sim::TraceEntry& read = machine.Trace()[0];
    EXPECT_EQ(read.window, sim::Window::Mmio);
    EXPECT_EQ(read.offset, StrideRegister);
    EXPECT_FALSE(read.write);
    EXPECT_EQ(read.value, sim::Dword(stride, 0));
    EXPECT_EQ(sim::Dword(stride, 0) & 0x3FFF, set.mode.ScreenStride);

    EXPECT_EQ(Found(machine, process, registers + 0x123456), registers);
    EXPECT_EQ(Found(machine, process, frameBuffer + 0x10), frameBuffer);
    sim::RequestResult unmap = Send(machine, process, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({registers, frameBuffer, Current}), 0);
    EXPECT_EQ(unmap.status, 0u);
    EXPECT_EQ(ViewCount(machine, process), 0u) << "both views go";
    EXPECT_EQ(Found(machine, process, registers), 0u);
    EXPECT_EQ(Found(machine, process, frameBuffer), 0u);

    // Contiguous memory, and a view of it at an address that is not page aligned.
    sim::RequestResult block = Send(machine, process, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x3000}), 4);
    ASSERT_EQ(block.status, 0u);
    ASSERT_EQ(block.information, 4u);
    const uint32_t kernel = sim::Dword(block.output, 0);
    ASSERT_NE(kernel, 0u);
    const uint64_t physical = machine.GetKernel().PhysicalAddressOf(kernel);
    sim::RequestResult pages = Send(machine, process, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({kernel + 0x1234, 0x1000}), 4);
    ASSERT_EQ(pages.status, 0u);
    ASSERT_EQ(pages.information, 4u);
    const uint32_t user = sim::Dword(pages.output, 0);
    ASSERT_NE(user, 0u);
    EXPECT_EQ(user % 0x1000, 0x234u) << "the same offset in its page as the physical address";
    ASSERT_EQ(ViewCount(machine, process), 1u);
    ASSERT_NE(machine.FindProcess(process)->ViewAt(user), nullptr) << "the address lies in the view";
    const sim::View view = *machine.FindProcess(process)->ViewAt(user);
    EXPECT_EQ(view.madeBy, "ZwMapViewOfSection");
    EXPECT_EQ(view.caching, "uncached");
    EXPECT_GE(view.physical, physical) << "the view shows nothing before the block";
    EXPECT_LE(view.physical + view.size, physical + 0x3000) << "nor after it";

    std::vector<uint8_t> shown(0x1000, 0xFF);
    ASSERT_TRUE(machine.ProcessRead(process, user, shown));
    EXPECT_EQ(shown, std::vector<uint8_t>(0x1000, 0)) << "the driver cleared the block before the view showed it";
    const std::vector<uint8_t> data = {0xCA, 0xFE, 0xF0, 0x0D};
    ASSERT_TRUE(machine.ProcessWrite(process, user, data));
    ASSERT_TRUE(machine.ProcessWrite(process, user + 0xFFC, data)) << "the whole range is mapped";
    std::vector<uint8_t> back(4);
    ASSERT_TRUE(machine.ProcessRead(DisplayProcess, kernel + 0x1234, back));
    EXPECT_EQ(back, data) << "the write landed in the block";
    EXPECT_EQ(machine.Trace().back().window, sim::Window::Ram);
    EXPECT_EQ(machine.Trace().back().offset, physical + 0x1234);
    EXPECT_EQ(HandleCount(machine), 0u) << "the section handle was closed";
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

// --- Nobody maps memory they were not given ---------------------------------------------------------

struct Blocks {
    uint32_t own = 0;          // a block of process 2
    uint32_t other = 0;        // a block of process 3
    uint32_t extension = 0;    // the device extension
    uint32_t frameBuffer = 0;  // the driver's kernel mapping of the frame buffer
};

struct PhysicalCase {
    const char* name;
    std::function<uint32_t(const Blocks&)> address;
    uint32_t length;
    bool mapped;
};

void PrintTo(const PhysicalCase& value, std::ostream* out) { *out << value.name; }

class MapPhysicalPages : public testing::TestWithParam<PhysicalCase> {};

TEST_P(MapPhysicalPages, MapsOnlyARangeInsideABlockOfTheCaller) {
    Machine machine(Config());
    machine.Boot();
    Blocks blocks;
    blocks.own = sim::Dword(Send(machine, 2, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x2000}), 4).output, 0);
    blocks.other = sim::Dword(Send(machine, 3, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x2000}), 4).output, 0);
    blocks.extension = machine.Adapter(0).extension;
    blocks.frameBuffer = sim::MapFrameBuffer(machine, 0, 2).frameBufferBase;
    ASSERT_NE(blocks.own, 0u);
    ASSERT_NE(blocks.other, 0u);

    sim::RequestResult r = Send(machine, 2, IOCTL_VIDEO_MAP_PHYSICAL_PAGES,
                                Dwords({GetParam().address(blocks), GetParam().length}), 4);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(sim::Dword(r.output, 0) != 0, GetParam().mapped);
    EXPECT_EQ(ViewCount(machine, 2), GetParam().mapped ? 1u : 0u);
    EXPECT_EQ(HandleCount(machine), 0u);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, MapPhysicalPages,
    testing::Values(PhysicalCase{"InsideOwnBlock", [](const Blocks& b) { return b.own + 0x10; }, 0x100, true},
                    PhysicalCase{"WholeOwnBlock", [](const Blocks& b) { return b.own; }, 0x2000, true},
                    PhysicalCase{"DeviceExtension", [](const Blocks& b) { return b.extension; }, 0x100, false},
                    PhysicalCase{"AnotherProcessesBlock", [](const Blocks& b) { return b.other; }, 0x1000, false},
                    PhysicalCase{"RunningPastTheBlock", [](const Blocks& b) { return b.own + 0x1000; }, 0x1001, false},
                    PhysicalCase{"LastByteOfOwnBlock", [](const Blocks& b) { return b.own + 0x1FFF; }, 1, true},
                    PhysicalCase{"FirstByteAfterOwnBlock", [](const Blocks& b) { return b.own + 0x2000; }, 1, false},
                    PhysicalCase{"StartingBeforeTheBlock", [](const Blocks& b) { return b.own - 0x10; }, 0x20, false},
                    PhysicalCase{"NoBytes", [](const Blocks& b) { return b.own; }, 0, false},
                    PhysicalCase{"LengthWrapsAround", [](const Blocks& b) { return b.own + 0x10; }, 0xFFFFFFF8, false},
                    PhysicalCase{"FrameBufferMapping", [](const Blocks& b) { return b.frameBuffer; }, 0x1000, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContiguousMemory, IsBoundedPerAdapterAndCanRunOut) {
    Machine machine(Config());
    machine.Boot();
    auto allocate = [&](uint32_t bytes) {
        sim::RequestResult r = Send(machine, 2, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({bytes}), 4);
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(r.information, 4u);
        return sim::Dword(r.output, 0);
    };
    EXPECT_EQ(allocate(0), 0u);
    EXPECT_EQ(allocate((16u << 20) + 1), 0u) << "more than the adapter's total";
    for (int i = 0; i < 16; ++i) EXPECT_NE(allocate(0x1000), 0u) << "block " << i;
    EXPECT_EQ(allocate(0x1000), 0u) << "a 17th block";

    sim::MachineConfig small = Config();
    small.systemMemoryMiB = 24;
    Machine tight(small);
    tight.Boot();
    uint32_t first = sim::Dword(Send(tight, 2, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({4u << 20}), 4).output, 0);
    uint32_t second = sim::Dword(Send(tight, 2, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({4u << 20}), 4).output, 0);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(second, 0u) << "system memory ran out";
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
    EXPECT_TRUE(tight.DriverFaults().empty()) << Faults(tight);
}

// The second adapter's bound is its own: the first adapter's used-up bound takes nothing from it.
TEST(ContiguousMemory, EachAdapterHasABoundOfItsOwn) {
    sim::AdapterConfig secondary;
    secondary.secondary = true;
    sim::MachineConfig config = Config();
    config.adapters.push_back(secondary);
    Machine machine(config);
    machine.Boot();
    auto allocate = [&](int adapter) {
        sim::RequestOptions options;
        options.process = 2;
        options.adapter = adapter;
        return sim::Dword(machine.Request(IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x1000}), 4, options).output, 0);
    };
    for (int adapter : {0, 1}) {
        for (int i = 0; i < 16; ++i) EXPECT_NE(allocate(adapter), 0u) << "adapter " << adapter << " block " << i;
        EXPECT_EQ(allocate(adapter), 0u) << "adapter " << adapter << ": a 17th block";
    }
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

// --- Under every platform failure -------------------------------------------------------------------

struct Prepared {
    uint32_t view = 0;        // a frame buffer view of process 2 (MAP_VIDEO_MEMORY or a share)
    uint32_t registers = 0;   // aperture views of process 2
    uint32_t frameBuffer = 0;
    uint32_t block = 0;       // a contiguous block of process 2
};

enum class Setup { None, MappedView, SharedView, Apertures, Block };

struct FailureCase {
    const char* name;
    Setup setup;
    uint32_t code;
    std::function<std::vector<uint8_t>(const Prepared&)> input;
    uint32_t outputLength;
    sim::PlatformCall call;
    unsigned occurrence;   // counted from boot
    uint32_t injected;
    uint32_t status;
    size_t viewsAfter;
    bool registryUnchanged;
};

void PrintTo(const FailureCase& value, std::ostream* out) { *out << value.name; }

class UnderPlatformFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(UnderPlatformFailure, TheRequestReportsThePlatformsStatusAndLeavesNothingBehind) {
    const FailureCase& c = GetParam();
    Machine machine(Config());
    sim::InjectedFault fault;
    fault.call = c.call;
    fault.occurrence = c.occurrence;
    fault.status = c.injected;
    machine.InjectFault(fault);
    machine.Boot();
    Prepared prepared;
    switch (c.setup) {
    case Setup::None: break;
    case Setup::MappedView:
        prepared.view = sim::Dword(Send(machine, 2, IOCTL_VIDEO_MAP_VIDEO_MEMORY, Dwords({Current}), 16).output, 0);
        break;
    case Setup::SharedView:
        prepared.view = ShareFrameBuffer(machine, 2, 0x10000);
        break;
    case Setup::Apertures: {
        sim::RequestResult map = Send(machine, 2, IOCTL_VIDEO_MAP_APERTURES, Dwords({Current}), 24);
        prepared.registers = sim::Dword(map.output, 8);
        prepared.frameBuffer = sim::Dword(map.output, 20);
        break;
    }
    case Setup::Block:
        prepared.block = sim::Dword(Send(machine, 2, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x2000}), 4).output, 0);
        break;
    }
    ASSERT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
    Registry before = RegistryOf(machine);

    sim::RequestResult r = Send(machine, 2, c.code, c.input(prepared), c.outputLength);
    EXPECT_EQ(r.status, c.status);
    if (c.status == NO_ERROR) {
        EXPECT_EQ(sim::Dword(r.output, 0), 0u) << "failure shows as address 0";
    }
    EXPECT_EQ(ViewCount(machine, 2), c.viewsAfter);
    EXPECT_EQ(HandleCount(machine), 0u);
    EXPECT_EQ(RegistryOf(machine) == before, c.registryUnchanged);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

using Call = sim::PlatformCall;
constexpr uint32_t GenFailure = 31;
constexpr uint32_t AccessDenied = 0xC0000022;

INSTANTIATE_TEST_SUITE_P(
    Requests, UnderPlatformFailure,
    testing::Values(
        FailureCase{"MapVideoMemoryIntoAProcess", Setup::None, IOCTL_VIDEO_MAP_VIDEO_MEMORY,
                    [](const Prepared&) { return Dwords({Current}); }, 16, Call::MapMemory, 1, GenFailure, GenFailure, 0,
                    true},
        FailureCase{"UnmapVideoMemory", Setup::MappedView, IOCTL_VIDEO_UNMAP_VIDEO_MEMORY,
                    [](const Prepared& p) { return Dwords({p.view}); }, 0, Call::UnmapMemory, 1, GenFailure, GenFailure,
                    1, true},
        FailureCase{"ShareVideoMemory", Setup::None, IOCTL_VIDEO_SHARE_VIDEO_MEMORY,
                    [](const Prepared&) { return Dwords({Current, 0, 0x10000, 0}); }, 12, Call::MapMemory, 1,
                    ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, 0, true},
        FailureCase{"UnshareVideoMemory", Setup::SharedView, IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY,
                    [](const Prepared& p) { return Dwords({Current, 0, 0x10000, p.view}); }, 0, Call::UnmapMemory, 1,
                    GenFailure, GenFailure, 1, true},
        FailureCase{"MapAperturesRegisterView", Setup::None, IOCTL_VIDEO_MAP_APERTURES,
                    [](const Prepared&) { return Dwords({Current}); }, 24, Call::MapMemory, 1, GenFailure, GenFailure,
                    0, true},
        FailureCase{"MapAperturesFrameBufferView", Setup::None, IOCTL_VIDEO_MAP_APERTURES,
                    [](const Prepared&) { return Dwords({Current}); }, 24, Call::MapMemory, 2, GenFailure, GenFailure,
                    0, true},
        FailureCase{"UnmapAperturesRegisterView", Setup::Apertures, IOCTL_VIDEO_UNMAP_APERTURES,
                    [](const Prepared& p) { return Dwords({p.registers, p.frameBuffer, Current}); }, 0,
                    Call::UnmapMemory, 1, GenFailure, GenFailure, 2, true},
        // The register view is gone and counted back; the frame buffer view stays, still recorded.
        FailureCase{"UnmapAperturesFrameBufferView", Setup::Apertures, IOCTL_VIDEO_UNMAP_APERTURES,
                    [](const Prepared& p) { return Dwords({p.registers, p.frameBuffer, Current}); }, 0,
                    Call::UnmapMemory, 2, GenFailure, GenFailure, 1, false},
        FailureCase{"AllocateContiguous", Setup::None, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS,
                    [](const Prepared&) { return Dwords({0x2000}); }, 4, Call::MmAllocateContiguousMemory, 1, 0, 0, 0,
                    true},
        FailureCase{"MapPhysicalPagesOpenSection", Setup::Block, IOCTL_VIDEO_MAP_PHYSICAL_PAGES,
                    [](const Prepared& p) { return Dwords({p.block, 0x1000}); }, 4, Call::ZwOpenSection, 1,
                    AccessDenied, 0, 0, true},
        FailureCase{"MapPhysicalPagesReferenceSection", Setup::Block, IOCTL_VIDEO_MAP_PHYSICAL_PAGES,
                    [](const Prepared& p) { return Dwords({p.block, 0x1000}); }, 4, Call::ObReferenceObjectByHandle, 1,
                    AccessDenied, 0, 0, true},
        FailureCase{"MapPhysicalPagesMapView", Setup::Block, IOCTL_VIDEO_MAP_PHYSICAL_PAGES,
                    [](const Prepared& p) { return Dwords({p.block, 0x1000}); }, 4, Call::ZwMapViewOfSection, 1,
                    AccessDenied, 0, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The mapping registry ---------------------------------------------------------------------------

// One step of a registry scenario, sent from `process`: hand out the frame buffer (MAP_VIDEO_MEMORY
// with address 0), count it back (UNMAP_VIDEO_MEMORY), hand out the register and I/O windows
// (QUERY_PUBLIC_ACCESS_RANGES), share a 4 KiB view, or look up an address (FIND_MAPPING) expecting
// a recorded address or 0. Addresses: Fb the driver's frame buffer mapping, Reg its register
// mapping, ShareN the Nth view shared, each plus `delta`.
enum class Op { MapFb, UnmapFb, QueryRanges, Share, Find };
enum class At { None, Fb, Reg, Share0, Share1 };

struct Step {
    Op op;
    uint32_t process;
    At at = At::None;
    int64_t delta = 0;
    At expect = At::None;   // for Find: the recorded address it returns, None for 0
};

struct RegistryCase {
    const char* name;
    std::vector<Step> steps;
    uint32_t fillProcesses;   // processes 100, 101, ... each hand out the frame buffer first
};

void PrintTo(const RegistryCase& value, std::ostream* out) { *out << value.name; }

class MappingRegistry : public testing::TestWithParam<RegistryCase> {};

TEST_P(MappingRegistry, CountsPerProcessAndLooksUpIn16MiBWindows) {
    Machine machine(Config(sim::AdapterConfig{}, false));
    machine.Boot();
    for (uint32_t i = 0; i < GetParam().fillProcesses; ++i) {
        ASSERT_EQ(Send(machine, 100 + i, IOCTL_VIDEO_MAP_VIDEO_MEMORY, Dwords({0}), 16).status, 0u);
    }
    const AdapterState& state = StateOf(machine);
    std::vector<uint32_t> shares;
    auto address = [&](At at) -> uint32_t {
        switch (at) {
        case At::Fb: return AddressOf(state.frameBufferBase);
        case At::Reg: return AddressOf(state.registerBase);
        case At::Share0: return shares.at(0);
        case At::Share1: return shares.at(1);
        case At::None: break;
        }
        return 0;
    };
    for (size_t i = 0; i < GetParam().steps.size(); ++i) {
        const Step& step = GetParam().steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        switch (step.op) {
        case Op::MapFb:
            EXPECT_EQ(Send(machine, step.process, IOCTL_VIDEO_MAP_VIDEO_MEMORY, Dwords({0}), 16).status, 0u);
            break;
        case Op::UnmapFb:
            EXPECT_EQ(Send(machine, step.process, IOCTL_VIDEO_UNMAP_VIDEO_MEMORY, Dwords({address(At::Fb)}), 0).status, 0u);
            break;
        case Op::QueryRanges:
            EXPECT_EQ(Send(machine, step.process, IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES, {}, 24).status, 0u);
            break;
        case Op::Share:
            shares.push_back(ShareFrameBuffer(machine, step.process, 0x1000));
            break;
        case Op::Find:
            EXPECT_EQ(Found(machine, step.process, static_cast<uint32_t>(address(step.at) + step.delta)),
                      address(step.expect));
            break;
        }
    }
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, MappingRegistry,
    testing::Values(
        RegistryCase{"SecondHandOutCountsTwo",
                     {{Op::MapFb, 2}, {Op::MapFb, 2}, {Op::UnmapFb, 2}, {Op::Find, 2, At::Fb, 0, At::Fb},
                      {Op::UnmapFb, 2}, {Op::Find, 2, At::Fb, 0, At::None}},
                     0},
        RegistryCase{"EachProcessHasItsOwnSlot",
                     {{Op::MapFb, 2}, {Op::MapFb, 3}, {Op::UnmapFb, 3}, {Op::UnmapFb, 3},
                      {Op::Find, 2, At::Fb, 0, At::Fb}, {Op::Find, 3, At::Fb, 0, At::None},
                      {Op::Find, 4, At::Fb, 0, At::None}},
                     0},
        RegistryCase{"WindowIs16MiBAboveTheAddress",
                     {{Op::QueryRanges, 2}, {Op::Find, 2, At::Reg, 0, At::Reg},
                      {Op::Find, 2, At::Reg, 0xFFFFFF, At::Reg}, {Op::Find, 2, At::Reg, 0x1000000, At::None},
                      {Op::Find, 2, At::Reg, -1, At::None}},
                     0},
        RegistryCase{"LowestSlotWinsOverTheCloserOne",
                     {{Op::Share, 2}, {Op::Share, 2}, {Op::Find, 2, At::Share1, 0x10, At::Share0}},
                     0},
        RegistryCase{"FullTableDropsTheRecordAndIgnoresItsRelease",
                     {{Op::MapFb, 2}, {Op::Find, 2, At::Fb, 0, At::None}, {Op::UnmapFb, 2},
                      {Op::Find, 100, At::Fb, 0, At::Fb}, {Op::Find, 355, At::Fb, 0, At::Fb}},
                     256}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The simulated platform -------------------------------------------------------------------------

struct HandleCase {
    const char* name;
    uint32_t handle;
    uint32_t status;
    uint32_t viewIn;   // the process that receives the view
};

void PrintTo(const HandleCase& value, std::ostream* out) { *out << value.name; }

class ProcessHandles : public testing::TestWithParam<HandleCase> {};

TEST_P(ProcessHandles, NameTheProcessThatReceivesTheView) {
    Machine machine(Config());
    machine.Boot();
    for (uint32_t process : {3u, 4u}) Found(machine, process, 0);   // processes 3 and 4 start
    machine.EndProcess(4);
    sim::RequestResult r =
        Send(machine, 2, IOCTL_VIDEO_SHARE_VIDEO_MEMORY, Dwords({GetParam().handle, 0, 0x1000, 0}), 12);
    EXPECT_EQ(r.status, GetParam().status);
    for (uint32_t process : {2u, 3u}) EXPECT_EQ(ViewCount(machine, process), process == GetParam().viewIn ? 1u : 0u);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

INSTANTIATE_TEST_SUITE_P(
    Handles, ProcessHandles,
    testing::Values(HandleCase{"CurrentProcess", 0xFFFFFFFF, 0, 2}, HandleCase{"ZeroIsTheCaller", 0, 0, 2},
                    HandleCase{"OwnHandle", Machine::ProcessHandle(2), 0, 2},
                    HandleCase{"AnotherProcess", Machine::ProcessHandle(3), 0, 3},
                    HandleCase{"EndedProcess", Machine::ProcessHandle(4), ERROR_INVALID_PARAMETER, 0},
                    HandleCase{"NeverStarted", Machine::ProcessHandle(77), ERROR_INVALID_PARAMETER, 0},
                    HandleCase{"NotAHandle", 0x1002, ERROR_INVALID_PARAMETER, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimulatedKernel, UnmapsOnlyViewsAndEndsProcessesWithoutTouchingTheRegistry) {
    Machine machine(Config());
    machine.Boot();
    uint32_t view = ShareFrameBuffer(machine, 2, 0x1000);
    for (uint32_t address : {view + 0x2000, 0x00400000u, AddressOf(StateOf(machine).frameBufferBase)}) {
        EXPECT_EQ(Send(machine, 2, IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY, Dwords({Current, 0, 0, address}), 0).status,
                  uint32_t{ERROR_INVALID_PARAMETER});
    }
    Registry recorded = RegistryOf(machine);
    std::vector<sim::View> ended = machine.EndProcess(2);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].base, view);
    EXPECT_EQ(RegistryOf(machine), recorded) << "what the driver recorded for the process stays";
    EXPECT_THROW(machine.Request(IOCTL_VIDEO_FIND_MAPPING, Dwords({view}), 8, sim::RequestOptions{0, 2, 0}),
                 std::invalid_argument);
    std::vector<uint8_t> bytes(4);
    EXPECT_THROW(machine.ProcessRead(2, view, bytes), std::invalid_argument);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

constexpr NTSTATUS ObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);

// The kernel's leak checks, fed directly: they must be able to fail.
TEST(SimulatedKernel, ReportsAHandleAReferenceOrAViewARequestLeavesBehind) {
    Machine machine(Config());
    machine.Boot();
    sim::Kernel& kernel = machine.GetKernel();
    kernel.SetCurrentProcess(5);
    // The records the kernel reads by address live in its memory, as the driver's do.
    const std::u16string text = u"\\device\\physicalmemory";
    uint32_t area = kernel.Space().AllocateMemory(sizeof(UNICODE_STRING) + sizeof(OBJECT_ATTRIBUTES) + 64, "records");
    auto& name = *static_cast<UNICODE_STRING*>(kernel.HostPointer(area));
    auto& attributes = *reinterpret_cast<OBJECT_ATTRIBUTES*>(&name + 1);
    auto* textCopy = reinterpret_cast<char16_t*>(&attributes + 1);
    std::copy(text.begin(), text.end(), textCopy);
    name.Length = static_cast<USHORT>(text.size() * 2);
    name.MaximumLength = name.Length;
    name.Buffer = textCopy;
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;

    sim::Kernel::RequestMark mark = kernel.BeginRequest();
    uint32_t handle = 0;
    EXPECT_EQ(kernel.OpenSection(&handle, SECTION_ALL_ACCESS, &attributes), ObjectNameNotFound)
        << "the name compares exactly without OBJ_CASE_INSENSITIVE";
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    ASSERT_EQ(kernel.OpenSection(&handle, SECTION_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    uint32_t object = 0;
    ASSERT_EQ(kernel.ReferenceObjectByHandle(handle, SECTION_ALL_ACCESS, nullptr, 0, &object), STATUS_SUCCESS);
    uint32_t base = 0;
    uint64_t offset = 0x01234567, size = 0x1001;
    sim::Kernel::ViewRequest request;
    request.protection = PAGE_READWRITE | PAGE_NOCACHE;
    ASSERT_EQ(kernel.MapViewOfSection(handle, 0xFFFFFFFF, &base, &offset, &size, request), 0);
    EXPECT_EQ(offset, 0x01230000u) << "the offset goes down to 64 KiB";
    EXPECT_EQ(size, 0x2000u) << "the size up to pages";
    EXPECT_EQ(kernel.FindProcess(5)->ViewAt(base)->physical, 0x01230000u);
    kernel.EndRequest(mark, "the request", true, {}, 0);
    std::string faults = Faults(machine);
    EXPECT_NE(faults.find("left handle"), std::string::npos) << faults;
    EXPECT_NE(faults.find("kept a reference"), std::string::npos) << faults;
    EXPECT_NE(faults.find("whose address the requester was not given"), std::string::npos) << faults;

    machine.ClearFaults();
    mark = kernel.BeginRequest();
    kernel.DereferenceObject(object);
    EXPECT_EQ(kernel.Close(handle), STATUS_SUCCESS);
    EXPECT_NE(kernel.Close(handle), STATUS_SUCCESS);
    EXPECT_NE(Faults(machine).find("ZwClose"), std::string::npos);
}

// --- The platform as strict as Windows 2000 ------------------------------------------------------

enum class Place { System, Caller, Other, Nowhere };

struct TargetCase {
    const char* name;
    uint32_t handle;      // the address argument on input
    ULONG inIoSpace;
    ULONG length;         // 0: the register window's
    uint32_t status;
    Place place;
};

void PrintTo(const TargetCase& value, std::ostream* out) { *out << value.name; }

class PortMapMemory : public testing::TestWithParam<TargetCase> {};

// VideoPortMapMemory called as the driver calls it, in a request of process 2: NULL without the
// user-mode flag maps into system space, and only a system-space mapping is unmapped with NULL.
TEST_P(PortMapMemory, MapsWhereTheAddressArgumentSays) {
    const TargetCase& c = GetParam();
    Machine machine(Config());
    machine.Boot();
    sim::Kernel& kernel = machine.GetKernel();
    kernel.EnsureProcess(3);
    kernel.SetCurrentProcess(2);
    PHYSICAL_ADDRESS start;
    start.QuadPart = c.length ? 0x10000000 : machine.PciOf(0).BarAddress(0);
    ULONG length = c.length ? c.length : machine.PciOf(0).BarSize(0);
    ULONG inIoSpace = c.inIoSpace;
    PVOID address = reinterpret_cast<PVOID>(uintptr_t{c.handle});
    EXPECT_EQ(machine.Port().MapMemory(machine.Extension(0), start, &length, &inIoSpace, &address), c.status);
    const uint32_t at = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
    EXPECT_EQ(kernel.SystemViews().size(), c.place == Place::System ? 1u : 0u);
    EXPECT_EQ(ViewCount(machine, 2), c.place == Place::Caller ? 1u : 0u);
    EXPECT_EQ(ViewCount(machine, 3), c.place == Place::Other ? 1u : 0u);
    if (c.place == Place::Nowhere) {
        EXPECT_EQ(at, 0u);
        return;
    }
    EXPECT_EQ(at >= sim::KernelSpaceStart, c.place == Place::System) << std::hex << at;
    kernel.SetCurrentProcess(c.place == Place::Other ? 3 : 2);
    // NULL names system space only; a user view goes with its process's handle.
    const uint32_t byNull = machine.Port().UnmapMemory(machine.Extension(0), address, nullptr);
    EXPECT_EQ(byNull, c.place == Place::System ? 0u : uint32_t{ERROR_INVALID_PARAMETER});
    if (c.place != Place::System) {
        EXPECT_EQ(machine.Port().UnmapMemory(machine.Extension(0), address, reinterpret_cast<HANDLE>(-1)), 0u);
    }
    EXPECT_TRUE(kernel.SystemViews().empty());
    EXPECT_EQ(ViewCount(machine, 2) + ViewCount(machine, 3), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, PortMapMemory,
    testing::Values(TargetCase{"NullIsSystemSpace", 0, 0, 0, 0, Place::System},
                    TargetCase{"NullWithTheUserModeFlagIsTheCaller", 0, VIDEO_MEMORY_SPACE_USER_MODE, 0, 0, Place::Caller},
                    TargetCase{"CurrentProcess", Current, 0, 0, 0, Place::Caller},
                    TargetCase{"HandleOfAnotherProcess", Machine::ProcessHandle(3), 0, 0, 0, Place::Other},
                    // No room in the process: the documented answer, not a status of the port's own.
                    TargetCase{"NoRoomAnswers87", Current, 0, 0x7F000000, ERROR_INVALID_PARAMETER, Place::Nowhere}),
    [](const auto& info) { return std::string(info.param.name); });

// A system-space mapping (VideoPortMapMemory with NULL) is a kernel address, which a user
// program's own code cannot touch; the display driver (kernel mode) can, in every process's context.
TEST(SystemSpace, MappingsAreKernelAddressesThatNoUserProgramReaches) {
    Machine machine(Config());
    machine.Boot();
    PHYSICAL_ADDRESS start;
    start.QuadPart = machine.PciOf(0).BarAddress(0);
    ULONG length = machine.PciOf(0).BarSize(0);
    ULONG inIoSpace = 0;
    PVOID mapped = nullptr;
    ASSERT_EQ(machine.Port().MapMemory(machine.Extension(0), start, &length, &inIoSpace, &mapped), 0u);
    const uint32_t registers = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(mapped));
    EXPECT_GE(registers, sim::KernelSpaceStart);
    EXPECT_EQ(machine.GetKernel().SystemViews().size(), 1u);

    struct Access {
        uint32_t process;
        uint32_t address;
        bool done;
    };
    const uint32_t driverRegisters = AddressOf(StateOf(machine).registerBase);
    for (const Access& a : {Access{1, registers + StrideRegister, true}, Access{1, driverRegisters, true},
                            Access{2, registers + StrideRegister, false}, Access{3, driverRegisters, false},
                            Access{2, machine.Adapter(0).extension, false}, Access{2, 0x7FFFFFFE, false}}) {
        machine.ClearFaults();
        std::vector<uint8_t> bytes(4);
        EXPECT_EQ(machine.ProcessRead(a.process, a.address, bytes), a.done) << a.process << " " << std::hex << a.address;
        EXPECT_EQ(machine.Faults().size(), a.done ? 0u : 1u);
        if (!a.done) {
            EXPECT_EQ(machine.Faults()[0].kind, sim::FaultKind::Process) << machine.Faults()[0].message;
        }
    }
    EXPECT_EQ(machine.Port().UnmapMemory(machine.Extension(0), mapped, nullptr), 0u);
    EXPECT_TRUE(machine.GetKernel().SystemViews().empty()) << "NULL unmaps the system-space mappings";
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

// System space is scarce: once it is full a mapping answers 87, and an unmap makes room again.
TEST(SystemSpace, RunsOutWithTheDocumentedAnswer) {
    Machine machine(Config(sim::AdapterConfig{}, false));
    machine.Boot();
    auto map = [&](PVOID* address) {
        PHYSICAL_ADDRESS start;
        start.QuadPart = machine.PciOf(0).BarAddress(1);
        ULONG length = 0x1000000;
        ULONG inIoSpace = 0;
        *address = nullptr;
        return machine.Port().MapMemory(machine.Extension(0), start, &length, &inIoSpace, address);
    };
    PVOID last = nullptr;
    int made = 0;
    for (; made < 200; ++made) {
        PVOID address = nullptr;
        const uint32_t status = map(&address);
        if (status != NO_ERROR) {
            EXPECT_EQ(status, uint32_t{ERROR_INVALID_PARAMETER});
            break;
        }
        last = address;
    }
    ASSERT_GT(made, 0);
    ASSERT_LT(made, 200);
    EXPECT_EQ(machine.Port().UnmapMemory(machine.Extension(0), last, nullptr), 0u);
    EXPECT_EQ(map(&last), 0u);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

// Contiguous memory and pool are not cleared: a fresh block holds what earlier owners left, and a
// user view that shows it is the driver's fault.
TEST(StaleMemory, FreshBlocksHoldStaleWordsThatAUserViewMustNotShow) {
    Machine machine(Config());
    machine.Boot();
    sim::Kernel& kernel = machine.GetKernel();
    const uint32_t block = kernel.AllocateContiguousMemory(0x2000, 0xFFFFFFFF);
    const uint32_t pool = kernel.Objects().AllocatePool(64, 0);
    // Large blocks too (the host maps them), past a megabyte; one written over before the other is
    // made: what an owner writes is its own.
    const uint32_t large = kernel.AllocateContiguousMemory(0x180004, 0xFFFFFFFF);
    std::memset(kernel.HostPointer(large + 0x100000), 0, 0x1000);
    const uint32_t other = kernel.AllocateContiguousMemory(0x180004, 0xFFFFFFFF);
    EXPECT_EQ(*static_cast<uint8_t*>(kernel.HostPointer(large + 0x100000)), 0);
    for (uint32_t address : {block, block + 0x1FFC, pool, pool + 60, large, large + 0xFFFFC, large + 0x180000, other,
                             other + 0x100000, other + 0x180000}) {
        uint32_t word = 0;
        std::memcpy(&word, kernel.HostPointer(address), 4);
        EXPECT_EQ(word, sim::Kernel::StaleDword) << std::hex << address;
    }
    const uint32_t physical = static_cast<uint32_t>(kernel.PhysicalAddressOf(block));
    std::memset(kernel.HostPointer(block), 0, 0x1000);   // the first page cleared, the second not
    for (uint32_t page : {0u, 1u}) {
        machine.ClearFaults();
        uint32_t viewLength = 0;
        ASSERT_NE(kernel.MapUserView(5, physical + page * 0x1000, 0x1000, "cached", "test", &viewLength), 0u);
        EXPECT_EQ(Faults(machine).find("never wrote or cleared") != std::string::npos, page == 1) << Faults(machine);
    }
}

// Handles opened during a request of a process go into its table unless the attributes ask for a
// kernel handle; every one of a section, key or file is reported.
enum class Opens { Section, Key, File };

struct HandleTableCase {
    const char* name;
    Opens opens;
    ULONG attributes;
    uint32_t process;
    bool reported;
};

void PrintTo(const HandleTableCase& value, std::ostream* out) { *out << value.name; }

class HandleTables : public testing::TestWithParam<HandleTableCase> {};

POBJECT_ATTRIBUTES AttributesIn(sim::Kernel& kernel, const std::u16string& path, ULONG flags) {
    uint32_t area = kernel.Space().AllocateMemory(sizeof(UNICODE_STRING) + sizeof(OBJECT_ATTRIBUTES) + 2 * path.size() + 2,
                                                  "records");
    auto* name = static_cast<UNICODE_STRING*>(kernel.HostPointer(area));
    auto* attributes = reinterpret_cast<OBJECT_ATTRIBUTES*>(name + 1);
    auto* text = reinterpret_cast<char16_t*>(attributes + 1);
    std::copy(path.begin(), path.end(), text);
    name->Length = static_cast<USHORT>(path.size() * 2);
    name->MaximumLength = name->Length;
    name->Buffer = reinterpret_cast<PWSTR>(text);
    InitializeObjectAttributes(attributes, name, flags, nullptr, nullptr);
    return attributes;
}

TEST_P(HandleTables, HandlesInAProcessTableAreReported) {
    const HandleTableCase& c = GetParam();
    sim::MachineConfig config = Config();
    config.systemFiles = {"present.dll"};
    Machine machine(config);
    machine.Boot();
    sim::Kernel& kernel = machine.GetKernel();
    kernel.SetCurrentProcess(c.process);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    switch (c.opens) {
    case Opens::Section:
        status = ZwOpenSection(&handle, SECTION_ALL_ACCESS, AttributesIn(kernel, u"\\Device\\PhysicalMemory", c.attributes));
        break;
    case Opens::Key:
        status = ZwOpenKey(&handle, KEY_READ, AttributesIn(kernel, u"\\Registry\\Machine\\SYSTEM", c.attributes));
        break;
    case Opens::File:
        status = ZwCreateFile(&handle, GENERIC_READ, AttributesIn(kernel, u"\\SystemRoot\\System32\\present.dll", c.attributes),
                              &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                              nullptr, 0);
        break;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Faults(machine).find("without OBJ_KERNEL_HANDLE") != std::string::npos, c.reported) << Faults(machine);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    kernel.SetCurrentProcess(0);
}

constexpr ULONG KernelAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

INSTANTIATE_TEST_SUITE_P(
    Opens, HandleTables,
    testing::Values(HandleTableCase{"SectionInAProcess", Opens::Section, OBJ_CASE_INSENSITIVE, 2, true},
                    HandleTableCase{"SectionKernelHandle", Opens::Section, KernelAttributes, 2, false},
                    HandleTableCase{"SectionInTheSystemProcess", Opens::Section, OBJ_CASE_INSENSITIVE, 0, false},
                    HandleTableCase{"KeyInAProcess", Opens::Key, OBJ_CASE_INSENSITIVE, 1, true},
                    HandleTableCase{"KeyKernelHandle", Opens::Key, KernelAttributes, 1, false},
                    HandleTableCase{"FileInAProcess", Opens::File, OBJ_CASE_INSENSITIVE, 3, true},
                    HandleTableCase{"FileKernelHandle", Opens::File, KernelAttributes, 3, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The section routines' argument checks. Process 5 holds a kernel handle of all rights and a handle
// of its own that may only map for reading.
constexpr ACCESS_MASK SectionMapRead = 0x0004;

struct SectionHandles {
    uint32_t all = 0;
    uint32_t readOnly = 0;
};

struct ArgumentCase {
    const char* name;
    std::function<NTSTATUS(sim::Kernel&, const SectionHandles&)> call;
    NTSTATUS status;
};

void PrintTo(const ArgumentCase& value, std::ostream* out) { *out << value.name; }

class SectionArguments : public testing::TestWithParam<ArgumentCase> {};

TEST_P(SectionArguments, AreCheckedAsThePlatformChecksThem) {
    Machine machine(Config());
    machine.Boot();
    sim::Kernel& kernel = machine.GetKernel();
    kernel.SetCurrentProcess(5);
    SectionHandles handles;
    ASSERT_EQ(kernel.OpenSection(&handles.all, SECTION_ALL_ACCESS, AttributesIn(kernel, u"\\Device\\PhysicalMemory", KernelAttributes)),
              STATUS_SUCCESS);
    ASSERT_EQ(kernel.OpenSection(&handles.readOnly, SectionMapRead,
                                 AttributesIn(kernel, u"\\Device\\PhysicalMemory", OBJ_CASE_INSENSITIVE)),
              STATUS_SUCCESS);
    EXPECT_EQ(GetParam().call(kernel, handles), GetParam().status);
}

NTSTATUS Reference(sim::Kernel& kernel, uint32_t handle, ACCESS_MASK access, uint32_t mode) {
    uint32_t object = 0;
    NTSTATUS status = kernel.ReferenceObjectByHandle(handle, access, nullptr, mode, &object);
    if (NT_SUCCESS(status)) kernel.DereferenceObject(object);
    return status;
}

NTSTATUS MapView(sim::Kernel& kernel, uint32_t handle, uint32_t process, uint64_t viewSize,
                 std::function<void(sim::Kernel::ViewRequest&)> change) {
    sim::Kernel::ViewRequest request;
    request.commitSize = viewSize;
    request.protection = PAGE_READWRITE | PAGE_NOCACHE;
    change(request);
    uint32_t base = 0;
    uint64_t offset = 0x01000000;
    return kernel.MapViewOfSection(handle, process, &base, &offset, &viewSize, request);
}

constexpr NTSTATUS AccessDeniedStatus = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS InvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS TypeMismatch = static_cast<NTSTATUS>(0xC0000024);
constexpr NTSTATUS InvalidProtection = static_cast<NTSTATUS>(0xC0000045);

using SA = ArgumentCase;
using VR = sim::Kernel::ViewRequest;

INSTANTIATE_TEST_SUITE_P(
    Checks, SectionArguments,
    testing::Values(
        SA{"OpenWithNoRights",
           [](sim::Kernel& k, const SectionHandles&) {
               uint32_t h = 0;
               return k.OpenSection(&h, 0, AttributesIn(k, u"\\Device\\PhysicalMemory", KernelAttributes));
           },
           AccessDeniedStatus},
        SA{"OpenWithARightNoSectionHas",
           [](sim::Kernel& k, const SectionHandles&) {
               uint32_t h = 0;
               return k.OpenSection(&h, SECTION_ALL_ACCESS | 0x20, AttributesIn(k, u"\\Device\\PhysicalMemory", KernelAttributes));
           },
           AccessDeniedStatus},
        SA{"ReferenceInKernelMode", [](sim::Kernel& k, const SectionHandles& h) { return Reference(k, h.all, SECTION_ALL_ACCESS, 0); },
           STATUS_SUCCESS},
        SA{"ReferenceOfAnObjectType",
           [](sim::Kernel& k, const SectionHandles& h) {
               uint32_t object = 0;
               static const int type = 0;
               return k.ReferenceObjectByHandle(h.all, SECTION_ALL_ACCESS, &type, 0, &object);
           },
           TypeMismatch},
        SA{"ReferenceInAnUnknownMode", [](sim::Kernel& k, const SectionHandles& h) { return Reference(k, h.all, SECTION_ALL_ACCESS, 2); },
           STATUS_INVALID_PARAMETER},
        SA{"ReferenceOfAKernelHandleForUserMode",
           [](sim::Kernel& k, const SectionHandles& h) { return Reference(k, h.all, SectionMapRead, 1); }, InvalidHandle},
        SA{"ReferenceBeyondTheRightsForUserMode",
           [](sim::Kernel& k, const SectionHandles& h) { return Reference(k, h.readOnly, SECTION_ALL_ACCESS, 1); },
           AccessDeniedStatus},
        SA{"ReferenceWithinTheRightsForUserMode",
           [](sim::Kernel& k, const SectionHandles& h) { return Reference(k, h.readOnly, SectionMapRead, 1); }, STATUS_SUCCESS},
        SA{"ReferenceOfNoHandle", [](sim::Kernel& k, const SectionHandles&) { return Reference(k, 0x44, SectionMapRead, 0); },
           InvalidHandle},
        SA{"MapAsTheDriverDoes", [](sim::Kernel& k, const SectionHandles& h) { return MapView(k, h.all, Current, 0x1000, [](VR&) {}); },
           STATUS_SUCCESS},
        SA{"MapIntoProcessHandleZero",
           [](sim::Kernel& k, const SectionHandles& h) { return MapView(k, h.all, 0, 0x1000, [](VR&) {}); }, InvalidHandle},
        SA{"MapWithAHandleOfNoTable",
           [](sim::Kernel& k, const SectionHandles&) { return MapView(k, 0x44, Current, 0x1000, [](VR&) {}); }, InvalidHandle},
        SA{"MapCommittingMoreThanTheView",
           [](sim::Kernel& k, const SectionHandles& h) {
               return MapView(k, h.all, Current, 0x1000, [](VR& r) { r.commitSize = 0x1001; });
           },
           static_cast<NTSTATUS>(0xC00000F4)},
        SA{"MapWithTooManyZeroBits",
           [](sim::Kernel& k, const SectionHandles& h) { return MapView(k, h.all, Current, 0x1000, [](VR& r) { r.zeroBits = 22; }); },
           static_cast<NTSTATUS>(0xC00000F3)},
        SA{"MapWithAnUnknownInheritance",
           [](sim::Kernel& k, const SectionHandles& h) { return MapView(k, h.all, Current, 0x1000, [](VR& r) { r.inherit = 3; }); },
           static_cast<NTSTATUS>(0xC00000F6)},
        SA{"MapCommittingAtOnce",
           [](sim::Kernel& k, const SectionHandles& h) {
               return MapView(k, h.all, Current, 0x1000, [](VR& r) { r.allocationType = 0x1000; });
           },
           static_cast<NTSTATUS>(0xC00000F7)},
        SA{"MapWithTwoProtections",
           [](sim::Kernel& k, const SectionHandles& h) {
               return MapView(k, h.all, Current, 0x1000, [](VR& r) { r.protection = PAGE_READWRITE | 0x02 /* PAGE_READONLY */; });
           },
           InvalidProtection},
        SA{"MapWriteCombined",
           [](sim::Kernel& k, const SectionHandles& h) {
               return MapView(k, h.all, Current, 0x1000, [](VR& r) { r.protection = PAGE_READWRITE | 0x400; });
           },
           InvalidProtection},
        SA{"MapGuardedAndUncached",
           [](sim::Kernel& k, const SectionHandles& h) {
               return MapView(k, h.all, Current, 0x1000, [](VR& r) { r.protection = PAGE_READWRITE | 0x300; });
           },
           InvalidProtection},
        SA{"MapWithNoProtection",
           [](sim::Kernel& k, const SectionHandles& h) { return MapView(k, h.all, Current, 0x1000, [](VR& r) { r.protection = 0; }); },
           InvalidProtection}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Driver faults the strict platform shows ---------------------------------------------------------

struct UnmapCase {
    const char* name;
    uint32_t process;                            // sends the undo
    std::function<std::vector<uint8_t>(uint32_t, uint32_t)> input;   // from the register and frame buffer views
    uint32_t status;
    size_t viewsLeft;                            // of process 2
    bool registryUnchanged;
};

void PrintTo(const UnmapCase& value, std::ostream* out) { *out << value.name; }

class UnmapApertures : public testing::TestWithParam<UnmapCase> {};

TEST_P(UnmapApertures, ChecksBothAddressesBeforeUnmappingEither) {
    const UnmapCase& c = GetParam();
    Machine machine(Config());
    machine.Boot();
    Found(machine, 3, 0);
    sim::RequestResult map = Send(machine, 2, IOCTL_VIDEO_MAP_APERTURES, Dwords({Current}), 24);
    ASSERT_EQ(map.status, 0u);
    const uint32_t registers = sim::Dword(map.output, 8), frameBuffer = sim::Dword(map.output, 20);
    Registry before = RegistryOf(machine);
    EXPECT_EQ(Send(machine, c.process, IOCTL_VIDEO_UNMAP_APERTURES, c.input(registers, frameBuffer), 0).status, c.status);
    EXPECT_EQ(ViewCount(machine, 2), c.viewsLeft);
    EXPECT_EQ(RegistryOf(machine) == before, c.registryUnchanged);
    if (c.viewsLeft == 2) {
        EXPECT_EQ(Send(machine, 2, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({registers, frameBuffer, Current}), 0).status, 0u)
            << "the right addresses still undo both views";
        EXPECT_EQ(ViewCount(machine, 2), 0u);
    }
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnmapApertures,
    testing::Values(
        UnmapCase{"BothRight", 2, [](uint32_t r, uint32_t f) { return Dwords({r, f, Current}); }, 0, 0, false},
        UnmapCase{"WrongFrameBuffer", 2, [](uint32_t r, uint32_t f) { return Dwords({r, f + 0x1000, Current}); },
                  ERROR_INVALID_PARAMETER, 2, true},
        UnmapCase{"WrongRegisters", 2, [](uint32_t r, uint32_t f) { return Dwords({r + 4, f, Current}); },
                  ERROR_INVALID_PARAMETER, 2, true},
        UnmapCase{"AnotherProcessesViews", 3,
                  [](uint32_t r, uint32_t f) { return Dwords({r, f, Machine::ProcessHandle(2)}); },
                  ERROR_INVALID_PARAMETER, 2, true},
        // A frame buffer address of 0 names no view: the register view goes alone.
        UnmapCase{"NoFrameBuffer", 2, [](uint32_t r, uint32_t) { return Dwords({r, 0, Current}); }, 0, 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The frame buffer view fails and so does the undo of the register view: the view stays recorded, so
// the process finds it and can remove it.
TEST(MapApertures, ARegisterViewThatCannotBeUndoneStaysFindable) {
    Machine machine(Config());
    for (sim::PlatformCall call : {sim::PlatformCall::MapMemory, sim::PlatformCall::UnmapMemory}) {
        sim::InjectedFault fault;
        fault.call = call;
        fault.occurrence = call == sim::PlatformCall::MapMemory ? 2 : 1;
        machine.InjectFault(fault);
    }
    machine.Boot();
    EXPECT_EQ(Send(machine, 2, IOCTL_VIDEO_MAP_APERTURES, Dwords({Current}), 24).status, uint32_t{ERROR_INVALID_PARAMETER});
    ASSERT_EQ(ViewCount(machine, 2), 1u);
    const uint32_t view = machine.FindProcess(2)->views.begin()->first;
    EXPECT_EQ(Found(machine, 2, view + 0x10), view);
    EXPECT_EQ(Send(machine, 2, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({view, 0, Current}), 0).status, 0u);
    EXPECT_EQ(ViewCount(machine, 2), 0u);
    EXPECT_EQ(Found(machine, 2, view), 0u);
}

// UNMAP_VIDEO_MEMORY gives back the caller's own view: NULL would name system space.
TEST(UnmapVideoMemory, RemovesTheCallersView) {
    Machine machine(Config());
    machine.Boot();
    sim::RequestResult map = Send(machine, 2, IOCTL_VIDEO_MAP_VIDEO_MEMORY, Dwords({Current}), 16);
    ASSERT_EQ(map.status, 0u);
    const uint32_t view = sim::Dword(map.output, 0);
    ASSERT_EQ(ViewCount(machine, 2), 1u);
    EXPECT_EQ(Send(machine, 2, IOCTL_VIDEO_UNMAP_VIDEO_MEMORY, Dwords({view}), 0).status, 0u);
    EXPECT_EQ(ViewCount(machine, 2), 0u);
    EXPECT_EQ(Found(machine, 2, view), 0u);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

// --- Processes that end ----------------------------------------------------------------------------

// A process object is pool memory: freed when its process has ended and no reference is held, and
// given to a later process as the reading says. A reference keeps it, signalled.
struct ReuseCase {
    const char* name;
    sim::ProcessReuse reuse;
    uint32_t fourGets, fiveGets;   // whose object processes 4 and 5 get (2 or 3), 0: a new one
};

void PrintTo(const ReuseCase& value, std::ostream* out) { *out << value.name; }

class ProcessObjects : public testing::TestWithParam<ReuseCase> {};

TEST_P(ProcessObjects, AreFreedAndGivenAgainAsTheReadingSays) {
    const ReuseCase& c = GetParam();
    sim::MachineConfig config = Config();
    config.processReuse = c.reuse;
    Machine machine(config);
    machine.Boot();
    sim::Kernel& kernel = machine.GetKernel();
    auto objectOf = [&](uint32_t process) {
        machine.StartProcess(process);
        return machine.FindProcess(process)->object;
    };
    std::map<uint32_t, uint32_t> object{{2, objectOf(2)}, {3, objectOf(3)}};
    machine.EndProcess(2);
    machine.EndProcess(3);
    EXPECT_EQ(machine.FindProcess(2), nullptr) << "no reference is held: the object is freed";
    EXPECT_THROW(machine.StartProcess(2), std::invalid_argument) << "an ended process stays ended";
    const uint32_t four = objectOf(4), five = objectOf(5);
    EXPECT_EQ(four == object[2] || four == object[3], c.fourGets != 0);
    if (c.fourGets) {
        EXPECT_EQ(four, object[c.fourGets]);
        EXPECT_EQ(five, object[c.fiveGets]);
    }

    const int64_t noWait = 0;
    const uint32_t six = objectOf(6);
    kernel.ReferenceObject(six);
    machine.EndProcess(6);
    ASSERT_NE(machine.FindProcess(6), nullptr) << "the reference keeps the object";
    EXPECT_EQ(kernel.WaitForSingleObject(six, 0, 0, 0, &noWait), STATUS_SUCCESS) << "an ended process's object is signalled";
    EXPECT_EQ(kernel.WaitForSingleObject(five, 0, 0, 0, &noWait), STATUS_TIMEOUT) << "process 5 runs";
    EXPECT_NE(objectOf(7), six);
    kernel.DereferenceObject(six);
    EXPECT_EQ(machine.FindProcess(6), nullptr);
    EXPECT_EQ(objectOf(8) == six, c.reuse != sim::ProcessReuse::Never);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);

    // A wait that would not end, and a wait on freed memory, are the driver's faults.
    machine.EndProcess(8);
    for (uint32_t bad : {five, six}) {
        machine.ClearFaults();
        kernel.WaitForSingleObject(bad, 0, 0, 0, bad == five ? nullptr : &noWait);
        EXPECT_EQ(machine.DriverFaults().size(), 1u) << std::hex << bad;
    }
}

INSTANTIATE_TEST_SUITE_P(Readings, ProcessObjects,
                         testing::Values(ReuseCase{"MostRecentlyFreed", sim::ProcessReuse::Recent, 3, 2},
                                         ReuseCase{"LongestFreed", sim::ProcessReuse::Oldest, 2, 3},
                                         ReuseCase{"Never", sim::ProcessReuse::Never, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// 100,000 processes, one after another, use the same process object: the kernel's memory stays
// as it was, however many have run.
TEST(ProcessObjects, ManyProcessesOneAfterAnotherTakeNoMoreMemory) {
    Machine machine(Config());
    machine.Boot();
    sim::Kernel& kernel = machine.GetKernel();
    const size_t processes = kernel.Processes().size();
    size_t blocksAfter100 = 0;
    for (uint32_t process = 2; process < 100002; ++process) {
        machine.StartProcess(process);
        machine.EndProcess(process);
        if (process == 101) blocksAfter100 = kernel.ProcessObjectBlocks();
    }
    EXPECT_EQ(kernel.ProcessObjectBlocks(), blocksAfter100);
    EXPECT_EQ(kernel.Processes().size(), processes);
    EXPECT_TRUE(kernel.HasEnded(100001));
}

// The verifier's check of references: a driver may keep one to a running process's object (so that
// its address goes to no other process); once the process has ended, the adapter's next request
// must let it go.
TEST(SimulatedKernel, ReportsAReferenceToAnEndedProcessKeptPastTheAdaptersNextRequest) {
    Machine machine(Config());
    machine.Boot();
    sim::Kernel& kernel = machine.GetKernel();
    machine.StartProcess(2);
    const uint32_t object = machine.FindProcess(2)->object;
    // Outside a request no adapter is current (-1): the references below are that adapter's.
    sim::Kernel::RequestMark mark = kernel.BeginRequest();
    kernel.ReferenceObject(object);
    kernel.EndRequest(mark, "the first request", true, {}, -1);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
    machine.EndProcess(2);
    mark = kernel.BeginRequest();
    kernel.EndRequest(mark, "another adapter's request", true, {}, 0);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
    mark = kernel.BeginRequest();
    kernel.EndRequest(mark, "the next request", true, {}, -1);
    EXPECT_NE(Faults(machine).find("left 1 reference(s) to the object of process 2, which had ended"),
              std::string::npos)
        << Faults(machine);
    kernel.DereferenceObject(object);
    EXPECT_EQ(machine.FindProcess(2), nullptr);
}

// A system-space mapping that a user program's request makes outlives the program: reported when
// it ends. The display driver's process runs in kernel mode, where such mappings are its own.
TEST(SimulatedKernel, ReportsASystemSpaceMappingAUserProgramLeavesBehind) {
    for (uint32_t process : {1u, 2u}) {
        Machine machine(Config());
        machine.Boot();
        sim::Kernel& kernel = machine.GetKernel();
        machine.StartProcess(process);
        kernel.SetCurrentProcess(process);
        PHYSICAL_ADDRESS start;
        start.QuadPart = machine.PciOf(0).BarAddress(0);
        ULONG length = 0x1000, inIoSpace = 0;
        PVOID mapped = nullptr;
        ASSERT_EQ(machine.Port().MapMemory(machine.Extension(0), start, &length, &inIoSpace, &mapped), 0u);
        kernel.SetCurrentProcess(sim::Kernel::SystemProcess);
        machine.EndProcess(process);
        EXPECT_EQ(Faults(machine).find("ended with the system-space mapping") != std::string::npos, process == 2)
            << process << ": " << Faults(machine);
    }
}

// Nothing the driver kept for an ended process passes to a later one, on either build and under
// every reading of process object reuse: not its contiguous block (with its secret), not its
// mapping records, and no system-space mapping outlives it.
enum class Build { Host, Image };

class EndedProcess : public testing::TestWithParam<std::tuple<Build, sim::ProcessReuse>> {
protected:
    sim::MachineConfig ConfigOf() const {
        sim::MachineConfig config = Config(sim::AdapterConfig{}, false);
        if (std::get<0>(GetParam()) == Build::Image) config.driverImage = ZARN_SYS;
        config.processReuse = std::get<1>(GetParam());
        return config;
    }
    void SetUp() override {
        if (std::get<0>(GetParam()) == Build::Image && !std::ifstream(ZARN_SYS)) GTEST_SKIP() << "zarn.sys was not built";
    }
};

TEST_P(EndedProcess, LeavesNothingToALaterProcess) {
    const std::string secret = "secret of process 2";
    // The next process starts before the driver sees the end, or after a request of the display
    // driver's (the driver then lets the ended process's object go, and the kernel can give it again).
    for (bool requestBetween : {false, true}) {
        SCOPED_TRACE(requestBetween ? "after a request" : "at once");
        Machine machine(ConfigOf());
        machine.Boot();
        const uint32_t block = sim::Dword(Send(machine, 2, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x10000}), 4).output, 0);
        ASSERT_NE(block, 0u);
        const uint32_t view = sim::Dword(Send(machine, 2, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({block, 0x1000}), 4).output, 0);
        ASSERT_TRUE(machine.ProcessWrite(2, view, std::vector<uint8_t>(secret.begin(), secret.end())));
        sim::RequestResult apertures = Send(machine, 2, IOCTL_VIDEO_MAP_APERTURES, Dwords({Current}), 24);
        ASSERT_EQ(apertures.status, 0u);
        const uint32_t registers = sim::Dword(apertures.output, 8);
        const uint32_t object = machine.FindProcess(2)->object;
        machine.EndProcess(2);
        if (requestBetween) {
            Send(machine, DisplayProcess, IOCTL_VIDEO_QUERY_ADAPTER_ID, {}, 8);
            EXPECT_EQ(machine.GetKernel().Space().Find(block), nullptr) << "the ended process's block is freed";
        }
        machine.StartProcess(3);
        if (requestBetween && std::get<1>(GetParam()) == sim::ProcessReuse::Recent) {
            EXPECT_EQ(machine.FindProcess(3)->object, object) << "process 3 has process 2's object address";
        }
        EXPECT_EQ(Found(machine, 3, registers), 0u) << "process 2's records";
        EXPECT_EQ(Send(machine, 3, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({registers, 0, Current}), 0).status,
                  uint32_t{ERROR_INVALID_PARAMETER});
        const uint32_t seen = sim::Dword(Send(machine, 3, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({block, 0x1000}), 4).output, 0);
        EXPECT_EQ(seen, 0u) << "process 2's block";
        EXPECT_EQ(ViewCount(machine, 3), 0u);
        EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
    }
}

// A handle of 0 in the requests that take one names the calling process: the views go with it.
TEST_P(EndedProcess, LeavesNoSystemSpaceMapping) {
    const struct {
        uint32_t code;
        std::vector<uint8_t> input;
        uint32_t outputLength;
        size_t views;
    } requests[] = {{IOCTL_VIDEO_MAP_APERTURES, Dwords({0}), 24, 2},
                    {IOCTL_VIDEO_SHARE_VIDEO_MEMORY, Dwords({0, 0, 0x10000, 0}), 12, 1}};
    for (const auto& r : requests) {
        Machine machine(ConfigOf());
        machine.Boot();
        sim::RequestResult mapped = Send(machine, 2, r.code, r.input, r.outputLength);
        EXPECT_EQ(mapped.status, 0u);
        EXPECT_EQ(ViewCount(machine, 2), r.views) << std::hex << r.code;
        machine.EndProcess(2);
        EXPECT_TRUE(machine.GetKernel().SystemViews().empty()) << std::hex << r.code;
        EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
    }
}

INSTANTIATE_TEST_SUITE_P(Readings, EndedProcess,
                         testing::Combine(testing::Values(Build::Host, Build::Image),
                                          testing::Values(sim::ProcessReuse::Recent, sim::ProcessReuse::Oldest,
                                                          sim::ProcessReuse::Never)),
                         [](const auto& info) {
                             std::string reading = sim::ProcessReuseName(std::get<1>(info.param));
                             reading[0] = static_cast<char>(reading[0] - 'a' + 'A');
                             return (std::get<0>(info.param) == Build::Host ? "Host" : "Image") + reading;
                         });

}  // namespace
