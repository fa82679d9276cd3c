// Adapter discovery as the hardware and the platform see it: what happens to PCI configuration
// space, which windows get mapped, the register the range step changes, and how discovery ends
// when the platform fails it or when there are more adapters than mode table copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "adapter/adapter_state.h"
#include "clients/display_driver.h"
#include "driver_faults.h"
#include "machine/machine.h"

namespace {

using sim::PlatformCall;
using sim::TraceEntry;
using sim::Window;

constexpr uint32_t Reg28 = 0x28;

// A primary adapter whose board has no video BIOS: its modes are programmed directly, so it
// offers the whole direct table that fits in its memory.
sim::AdapterConfig Primary(uint32_t memoryMiB = 16) {
    sim::AdapterConfig adapter;
    adapter.memoryMiB = memoryMiB;
    adapter.hasRom = false;
    return adapter;
}

sim::AdapterConfig PrimaryWithBios(uint32_t memoryMiB = 16) {
    sim::AdapterConfig adapter = Primary(memoryMiB);
    adapter.hasRom = true;
    return adapter;
}

// An adapter found with decoding switched off (the bus driver's start leaves it as the BIOS left
// it): the driver brings it up itself and never uses its video BIOS.
sim::AdapterConfig Secondary(uint32_t memoryMiB = 16) {
    sim::AdapterConfig adapter = PrimaryWithBios(memoryMiB);
    adapter.secondary = true;
    adapter.pciStartEnables = false;
    return adapter;
}

// The boards above as zarnsim's --adapter describes them.
constexpr const char* PrimaryBoard = "rom=none";
constexpr const char* SecondaryBoard = "secondary,pcistart=keep";

sim::MachineConfig ConfigWith(std::vector<sim::AdapterConfig> adapters) {
    sim::MachineConfig config;
    config.adapters = std::move(adapters);
    return config;
}

std::array<uint8_t, 64> HeaderOf(const sim::PciFunction& pci) {
    std::array<uint8_t, 64> header{};
    for (uint32_t i = 0; i < header.size(); ++i) header[i] = pci.ReadByte(i);
    return header;
}

std::vector<TraceEntry> EntriesOf(const sim::Machine& machine, int adapter) {
    std::vector<TraceEntry> out;
    for (const TraceEntry& e : machine.Trace()) {
        if (e.adapter == adapter) out.push_back(e);
    }
    return out;
}

const AdapterState& StateOf(sim::Machine& machine, int adapter) {
    return *static_cast<const AdapterState*>(machine.HostPointer(machine.Adapter(adapter).extension));
}

bool HasValue(sim::Machine& machine, int adapter, const std::string& name) {
    return machine.GetRegistry().GetValue(sim::Machine::DeviceKey(adapter), name) != nullptr;
}

void ExpectStarted(const sim::Machine& machine, int adapter) {
    const sim::AdapterRuntime& a = machine.Adapter(adapter);
    EXPECT_EQ(a.discoveryStatus, 0u) << "adapter " << adapter;
    EXPECT_TRUE(a.started) << "adapter " << adapter;
    EXPECT_EQ(a.again, 1) << "adapter " << adapter;
}

void ExpectNotStarted(sim::Machine& machine, int adapter, uint32_t status) {
    const sim::AdapterRuntime& a = machine.Adapter(adapter);
    EXPECT_TRUE(a.discoveryRan) << "adapter " << adapter;
    EXPECT_EQ(a.discoveryStatus, status) << "adapter " << adapter;
    EXPECT_FALSE(a.initializeRan) << "adapter " << adapter;
    EXPECT_FALSE(a.started) << "adapter " << adapter;
    sim::RequestOptions options;
    options.adapter = adapter;
    EXPECT_THROW(machine.Request(IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, {}, 8, options), std::invalid_argument);
}

// --- PCI configuration ------------------------------------------------------------------------

class PrimaryAdapter : public ::testing::TestWithParam<bool> {};

TEST_P(PrimaryAdapter, ConfigurationHeaderAndRegister28AreLeftAsFound) {
    sim::Machine machine(ConfigWith({GetParam() ? PrimaryWithBios() : Primary()}));
    const std::array<uint8_t, 64> before = HeaderOf(machine.PciOf(0));
    const uint32_t reg28 = machine.ChipOf(0).Peek(Reg28);
    ASSERT_EQ(machine.PciOf(0).ReadWord(0x04) & 0x3, 0x3);
    machine.Boot();
    ExpectStarted(machine, 0);

    EXPECT_EQ(HeaderOf(machine.PciOf(0)), before);
    std::vector<TraceEntry> trace = EntriesOf(machine, 0);
    ASSERT_FALSE(trace.empty());
    // Discovery starts by reading the whole header; the PCI step writes nothing back before the
    // next header read.
    EXPECT_EQ(trace[0].window, Window::Config);
    EXPECT_FALSE(trace[0].write);
    EXPECT_EQ(trace[0].offset, 0u);
    EXPECT_EQ(trace[0].width, 64u * 8);
    for (size_t i = 1; i < trace.size() && !(trace[i].window == Window::Config && !trace[i].write); ++i) {
        EXPECT_FALSE(trace[i].window == Window::Config && trace[i].write) << "configuration write at entry " << i;
    }
    for (const TraceEntry& e : trace) {
        EXPECT_FALSE(e.window == Window::Config && e.write && e.offset == 0x04) << "command register written";
        EXPECT_FALSE(e.window == Window::Mmio && e.write && e.offset == Reg28) << "register 0x28 written";
    }
    EXPECT_EQ(machine.ChipOf(0).Peek(Reg28), reg28);
}

INSTANTIATE_TEST_SUITE_P(Boards, PrimaryAdapter, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithVideoBios" : "WithoutVideoBios"; });

TEST(SecondaryAdapter, IsSwitchedOnByWritingBackTheHeaderItRead) {
    sim::Machine machine(ConfigWith({Primary(), Secondary()}));
    std::array<uint8_t, 64> expected = HeaderOf(machine.PciOf(1));
    ASSERT_EQ(expected[0x04] & 0x3, 0);
    expected[0x04] |= 0x3;
    machine.Boot();
    ExpectStarted(machine, 1);

    EXPECT_TRUE(machine.PciOf(1).IoDecode());
    EXPECT_TRUE(machine.PciOf(1).MemoryDecode());
    EXPECT_EQ(HeaderOf(machine.PciOf(1)), expected);

    std::vector<TraceEntry> trace = EntriesOf(machine, 1);
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[0].window, Window::Config);
    EXPECT_FALSE(trace[0].write);
    // Decoding goes on right after the header is read, before any register is touched.
    EXPECT_EQ(trace[1].window, Window::Config);
    EXPECT_TRUE(trace[1].write);
    EXPECT_EQ(machine.PciOf(0).ReadWord(0x04) & 0x3, 0x3);
}

// A trace entry of a configuration access carries the byte count of the access; the driver
// always writes the whole 64-byte header at offset 0.
TEST(SecondaryAdapter, HeaderWriteAppearsInTheTraceAsOneWholeHeaderAccess) {
    sim::Machine machine(ConfigWith({Secondary()}));
    machine.Boot();
    std::vector<TraceEntry> writes;
    for (const TraceEntry& e : EntriesOf(machine, 0)) {
        if (e.window == Window::Config && e.write) writes.push_back(e);
    }
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes[0].offset, 0u);
    EXPECT_EQ(writes[0].width, 64u * 8);
}

TEST(SecondaryAdapter, RangeStepClearsBit9OfRegister28OnThatAdapterOnly) {
    sim::Machine machine(ConfigWith({PrimaryWithBios(), Secondary()}));
    const uint32_t primaryReg28 = machine.ChipOf(0).Peek(Reg28);
    machine.Boot();
    ExpectStarted(machine, 0);
    ExpectStarted(machine, 1);

    std::vector<TraceEntry> accesses;
    for (const TraceEntry& e : EntriesOf(machine, 1)) {
        if (e.window == Window::Mmio && e.offset == Reg28) accesses.push_back(e);
    }
    ASSERT_GE(accesses.size(), 2u);
    EXPECT_FALSE(accesses[0].write);
    EXPECT_EQ(accesses[0].value, 0x200u);   // the power-on value
    EXPECT_TRUE(accesses[1].write);
    EXPECT_EQ(accesses[1].value, accesses[0].value & ~0x200u);
    // The chip initialization that follows leaves 0x340 there.
    EXPECT_EQ(machine.ChipOf(1).Peek(Reg28), 0x340u);
    EXPECT_EQ(machine.ChipOf(0).Peek(Reg28), primaryReg28);
}

struct BusCase {
    const char* name;
    const char* board;
};

class AdapterOnBus : public ::testing::TestWithParam<BusCase> {};

TEST_P(AdapterOnBus, StartsWithEveryModeAndKeepsTheBusSpeedItFound) {
    const sim::AdapterConfig adapter = Board(GetParam().board);
    sim::Machine machine(ConfigWith({adapter}));
    const uint32_t busInterface = machine.ChipOf(0).Peek(0x04);
    machine.Boot();
    ExpectStarted(machine, 0);
    EXPECT_EQ(sim::QueryModes(machine, 0).modes.size(), 158u);
    EXPECT_EQ((machine.PciOf(0).ReadWord(0x06) & 0x20) != 0, adapter.bus66);
    EXPECT_EQ(StateOf(machine, 0).pciBusClock, adapter.bus66 ? 66u : 0u);
    if (!adapter.secondary) {
        // Only a secondary adapter is brought up by the driver; a primary's bus interface
        // register is left alone whatever the bus speed.
        for (const TraceEntry& e : EntriesOf(machine, 0)) {
            EXPECT_FALSE(e.write && e.offset == 0x04 && e.window != Window::Config) << "bus interface written";
        }
        EXPECT_EQ(machine.ChipOf(0).Peek(0x04), busInterface);
    }
    EXPECT_TRUE(machine.DriverFaults().empty());
}

INSTANTIATE_TEST_SUITE_P(Buses, AdapterOnBus,
                         ::testing::Values(BusCase{"PrimaryOn33MHzBus", PrimaryBoard},
                                           BusCase{"PrimaryOn66MHzBus", "rom=none,bus66"},
                                           BusCase{"SecondaryOn33MHzBus", SecondaryBoard},
                                           BusCase{"SecondaryOn66MHzBus", "secondary,pcistart=keep,bus66"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Windows ----------------------------------------------------------------------------------

// Under either list of ranges the port gives (the assigned list with the expansion ROM's window as
// a fourth entry, or the three windows only), each window is taken from its own range.
class AdapterWindows : public ::testing::TestWithParam<bool> {};

TEST_P(AdapterWindows, RegisterFrameBufferAndIoWindowsAreMappedInOrder) {
    std::vector<sim::AdapterConfig> adapters = {Primary(), Secondary(4)};
    for (sim::AdapterConfig& adapter : adapters) adapter.rangesAsAssigned = GetParam();
    sim::Machine machine(ConfigWith(adapters));
    machine.Boot();
    const uint8_t inIoSpace[3] = {0x00, 0x08, 0x01};   // the frame buffer is write-combined
    for (int i : {0, 1}) {
        SCOPED_TRACE("adapter " + std::to_string(i));
        ExpectStarted(machine, i);
        const sim::PciFunction& pci = machine.PciOf(i);
        const std::vector<sim::DeviceMapping>& mappings = machine.Adapter(i).mappings;
        ASSERT_EQ(mappings.size(), 3u);
        const AdapterState& state = StateOf(machine, i);
        for (int bar = 0; bar < 3; ++bar) {
            SCOPED_TRACE("window " + std::to_string(bar));
            EXPECT_EQ(mappings[bar].physical, pci.BarAddress(bar));
            EXPECT_EQ(mappings[bar].length, pci.BarSize(bar));
            EXPECT_EQ(mappings[bar].inIoSpace, inIoSpace[bar]);
            // The ranges kept for later mapping requests carry the same start, length and flag.
            const VIDEO_ACCESS_RANGE& kept = state.mappedRanges[bar];
            EXPECT_EQ(static_cast<uint64_t>(kept.RangeStart.QuadPart), pci.BarAddress(bar));
            EXPECT_EQ(kept.RangeLength, pci.BarSize(bar));
            EXPECT_EQ(kept.RangeInIoSpace, inIoSpace[bar]);
            EXPECT_EQ(kept.RangeVisible, 0);
            EXPECT_EQ(kept.RangeShareable, 0);
            EXPECT_EQ(kept.RangePassive, 0);
        }
    }
    const sim::RegValue* first = machine.GetRegistry().GetValue(sim::Machine::DeviceKey(0), "HardwareInformation.MemorySize");
    const sim::RegValue* second = machine.GetRegistry().GetValue(sim::Machine::DeviceKey(1), "HardwareInformation.MemorySize");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(sim::Dword(first->data, 0), 0x1000000u);
    EXPECT_EQ(sim::Dword(second->data, 0), 0x400000u);
    EXPECT_TRUE(machine.DriverFaults().empty());
}

INSTANTIATE_TEST_SUITE_P(Ranges, AdapterWindows, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "AsAssigned" : "WindowsOnly"; });

// The port reads as many requested resources as it is told of: a count with no list is a driver
// fault (a read through a null pointer on the real system), answered with no range.
TEST(AccessRangesRequest, ACountOfRequestedResourcesWithoutTheirListIsADriverFault) {
    sim::Machine machine(ConfigWith({Primary()}));
    machine.Boot();
    ExpectStarted(machine, 0);
    VIDEO_ACCESS_RANGE ranges[7]{};
    USHORT vendor = 0x1A5D, device = 3;
    ULONG slot = 0;
    for (ULONG requested : {0u, 1u}) {
        SCOPED_TRACE(requested);
        EXPECT_EQ(machine.Port().GetAccessRanges(machine.Extension(0), requested, false, 7, ranges, &vendor, &device, &slot),
                  requested ? uint32_t{ERROR_INVALID_PARAMETER} : uint32_t{NO_ERROR});
        EXPECT_EQ(machine.DriverFaults().size(), requested);
    }
    ASSERT_EQ(machine.DriverFaults().size(), 1u);
    EXPECT_NE(machine.DriverFaults()[0].message.find("VideoPortGetAccessRanges"), std::string::npos);
}

struct RangesRoom {
    const char* name;
    const char* board;   // ranges=assigned: the port lists the expansion ROM's window too
    ULONG room;          // entries the caller gives
    uint32_t status;
    ULONG filled;
};

void PrintTo(const RangesRoom& value, std::ostream* out) { *out << value.name; }

class AccessRangesList : public ::testing::TestWithParam<RangesRoom> {};

// VideoPortGetAccessRanges lists the windows in the order of the base address registers and, as
// assigned, the expansion ROM's window after them; a room one short of the list is answered with
// ERROR_MORE_DATA and no entry written.
TEST_P(AccessRangesList, FillsTheWholeListOrNothing) {
    const RangesRoom& c = GetParam();
    const sim::AdapterConfig adapter = Board(c.board);
    sim::Machine machine(ConfigWith({adapter}));
    machine.Boot();
    ExpectStarted(machine, 0);
    VIDEO_ACCESS_RANGE ranges[8];
    std::memset(ranges, 0xCD, sizeof ranges);
    USHORT vendor = 0x1A5D, device = 3;
    ULONG slot = 0;
    EXPECT_EQ(machine.Port().GetAccessRanges(machine.Extension(0), 0, false, c.room, ranges, &vendor, &device, &slot), c.status);
    const sim::Board& board = machine.BoardOf(0);
    for (ULONG i = 0; i < 8; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        if (i >= c.filled) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(&ranges[i]);
            EXPECT_EQ(std::count(bytes, bytes + sizeof ranges[i], 0xCD), static_cast<long>(sizeof ranges[i]));
            continue;
        }
        bool rom = i == 3;
        EXPECT_EQ(static_cast<uint64_t>(ranges[i].RangeStart.QuadPart), rom ? board.romWindow : board.pci.BarAddress(i));
        EXPECT_EQ(ranges[i].RangeLength, rom ? board.pci.RomSize() : board.pci.BarSize(i));
        EXPECT_EQ(ranges[i].RangeInIoSpace, i == 2 ? 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Rooms, AccessRangesList,
                         ::testing::Values(RangesRoom{"AssignedOneShort", "rom=none,ranges=assigned", 3, ERROR_MORE_DATA, 0},
                                           RangesRoom{"AssignedExact", "rom=none,ranges=assigned", 4, NO_ERROR, 4},
                                           RangesRoom{"WindowsOnlyOneShort", "rom=none,ranges=bars", 2, ERROR_MORE_DATA, 0},
                                           RangesRoom{"WindowsOnlyExact", "rom=none,ranges=bars", 3, NO_ERROR, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// Whatever the size of the register window, every window of every adapter has physical
// addresses of its own, so that each access reaches the adapter and the window it was meant for.
class RegisterWindowSize : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RegisterWindowSize, WindowsOfTheAdaptersNeverOverlap) {
    sim::AdapterConfig primary = Primary(), secondary = Secondary();
    primary.registerWindowMiB = secondary.registerWindowMiB = GetParam();
    sim::Machine machine(ConfigWith({primary, secondary}));
    const uint32_t primaryReg28 = machine.ChipOf(0).Peek(Reg28);

    struct Span { int adapter, bar; uint64_t start, end; };
    std::vector<Span> spans;
    for (int i : {0, 1}) {
        for (int bar : {0, 1}) {
            uint64_t start = machine.PciOf(i).BarAddress(bar);
            spans.push_back({i, bar, start, start + machine.PciOf(i).BarSize(bar)});
        }
    }
    for (size_t a = 0; a < spans.size(); ++a) {
        for (size_t b = a + 1; b < spans.size(); ++b) {
            bool overlap = spans[a].start < spans[b].end && spans[b].start < spans[a].end;
            EXPECT_FALSE(overlap) << "adapter " << spans[a].adapter << " window " << spans[a].bar
                                  << " overlaps adapter " << spans[b].adapter << " window " << spans[b].bar;
        }
    }

    machine.Boot();
    ExpectStarted(machine, 0);
    ExpectStarted(machine, 1);
    // The secondary's bring-up lands in its own chip, not in the primary's.
    EXPECT_EQ(machine.ChipOf(0).Peek(Reg28), primaryReg28);
    EXPECT_EQ(machine.ChipOf(1).Peek(Reg28), 0x340u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RegisterWindowSize, ::testing::Values(32u, 64u, 128u),
                         [](const auto& info) { return std::to_string(info.param) + "MB"; });

// --- Failures ---------------------------------------------------------------------------------

struct PlatformFailure {
    const char* name;
    const char* board;
    PlatformCall call;
    unsigned occurrence;
    uint32_t injectedStatus;
    uint32_t discoveryStatus;
};

void PrintTo(const PlatformFailure& value, std::ostream* out) { *out << value.name; }

class DiscoveryWithFailingPlatform : public ::testing::TestWithParam<PlatformFailure> {};

TEST_P(DiscoveryWithFailingPlatform, EndsWithTheDocumentedStatusAndTheAdapterIsNotStarted) {
    const PlatformFailure& f = GetParam();
    sim::Machine machine(ConfigWith({Board(f.board)}));
    machine.InjectFault(sim::InjectedFault{f.call, 0, f.occurrence, f.injectedStatus});
    machine.Boot();
    ExpectNotStarted(machine, 0, f.discoveryStatus);
    EXPECT_TRUE(machine.Adapter(0).mappings.empty()) << "the windows mapped before the failure are given back";
    EXPECT_FALSE(HasValue(machine, 0, "HardwareInformation.MemorySize"));
    if (f.call == PlatformCall::GetAccessRanges) {
        EXPECT_TRUE(machine.Trace().empty());
    }
    if (f.call == PlatformCall::SetBusData) {
        EXPECT_FALSE(machine.PciOf(0).MemoryDecode());
    }
    EXPECT_TRUE(machine.DriverFaults().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DiscoveryWithFailingPlatform,
    ::testing::Values(
        PlatformFailure{"AccessRangesNoMoreDevices", PrimaryBoard, PlatformCall::GetAccessRanges, 1, 1248, 1248},
        PlatformFailure{"AccessRangesKernelStatus", PrimaryBoard, PlatformCall::GetAccessRanges, 1, 0xC000000E, 0xC000000E},
        PlatformFailure{"VerifyRangesInvalidParameter", PrimaryBoard, PlatformCall::VerifyAccessRanges, 1, 87, 87},
        PlatformFailure{"VerifyRangesOtherStatus", SecondaryBoard, PlatformCall::VerifyAccessRanges, 1, 0x12345, 0x12345},
        PlatformFailure{"RegisterWindowNotMapped", PrimaryBoard, PlatformCall::GetDeviceBase, 1, 0, 87},
        PlatformFailure{"FrameBufferNotMapped", PrimaryBoard, PlatformCall::GetDeviceBase, 2, 0, 87},
        PlatformFailure{"IoWindowNotMapped", SecondaryBoard, PlatformCall::GetDeviceBase, 3, 0, 87},
        PlatformFailure{"HeaderUnreadableOnPrimary", PrimaryBoard, PlatformCall::GetBusData, 1, 0, 55},
        PlatformFailure{"HeaderUnreadableOnSecondary", SecondaryBoard, PlatformCall::GetBusData, 1, 0, 55},
        PlatformFailure{"SecondaryCannotBeSwitchedOn", SecondaryBoard, PlatformCall::SetBusData, 1, 0, 55}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConfigLength {
    uint32_t length;
    bool accepted;
};

class ConfigurationInformationLength : public ::testing::TestWithParam<ConfigLength> {};

TEST_P(ConfigurationInformationLength, BelowTheRecordSizeIsRefusedBeforeAnythingIsTouched) {
    sim::MachineConfig config = ConfigWith({Secondary()});
    config.configInfoLength = GetParam().length;
    sim::Machine machine(config);
    machine.Boot();
    if (GetParam().accepted) {
        ExpectStarted(machine, 0);
        return;
    }
    ExpectNotStarted(machine, 0, 87);
    EXPECT_EQ(machine.Adapter(0).again, 0);
    EXPECT_TRUE(machine.Trace().empty());
    EXPECT_TRUE(machine.Adapter(0).mappings.empty());
    EXPECT_FALSE(machine.PciOf(0).IoDecode());
    const sim::RegKey* key = machine.GetRegistry().FindKey(sim::Machine::DeviceKey(0));
    EXPECT_TRUE(key == nullptr || key->values.empty());
    const auto* record = static_cast<const uint8_t*>(machine.HostPointer(machine.Adapter(0).extension));
    ASSERT_NE(record, nullptr);
    size_t nonZero = 0;
    for (uint32_t i = 0; i < AdapterStateSize; ++i) nonZero += record[i] != 0;
    EXPECT_EQ(nonZero, 0u) << "the adapter state record was written";
}

INSTANTIATE_TEST_SUITE_P(Lengths, ConfigurationInformationLength,
                         ::testing::Values(ConfigLength{0, false}, ConfigLength{111, false},
                                           ConfigLength{112, true}, ConfigLength{113, true},
                                           ConfigLength{0x1000, true}),
                         [](const auto& info) { return "Length" + std::to_string(info.param.length); });

// --- More adapters than mode table copies -------------------------------------------------------

TEST(ManyAdapters, FourStartAndTheFifthAndSixthFailWithDeviceNotFound) {
    std::vector<sim::AdapterConfig> adapters = {Primary(), Secondary(8), Secondary(4), Secondary(),
                                                Secondary(), Secondary(8)};
    sim::Machine machine(ConfigWith(adapters));
    machine.Boot();
    const size_t offered[4] = {158, 154, 132, 158};
    for (int i = 0; i < 4; ++i) {
        ExpectStarted(machine, i);
        EXPECT_EQ(sim::QueryModes(machine, i).modes.size(), offered[i]) << "adapter " << i;
    }
    ExpectNotStarted(machine, 4, 55);
    ExpectNotStarted(machine, 5, 55);
    EXPECT_TRUE(machine.DriverFaults().empty());
}

// The platform restarts a device by running discovery again on the same device extension.
uint32_t RunDiscoveryAgain(sim::Machine& machine, int adapter) {
    VIDEO_PORT_CONFIG_INFO info{};
    info.Length = sizeof info;
    UCHAR again = 0;
    PVIDEO_HW_FIND_ADAPTER findAdapter = machine.Registration().HwFindAdapter;
    return findAdapter(machine.Extension(adapter), nullptr, nullptr, &info, &again);
}

// Every copy is taken by four adapters; restarting them, even after a failed restart, takes no
// copy from another adapter and never runs out.
TEST(ManyAdapters, RestartedAdaptersReuseTheirOwnCopy) {
    sim::Machine machine(ConfigWith({Primary(), Primary(8), Primary(4), Primary()}));
    machine.Boot();
    const size_t offered[4] = {158, 154, 132, 158};
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 4; ++i) EXPECT_EQ(RunDiscoveryAgain(machine, i), 0u) << "round " << round << " adapter " << i;
    }
    // Adapter 2's next restart fails at its first mapping (3 at boot, 3 per restart: the 13th) and
    // gives its copy back.
    machine.InjectFault(sim::InjectedFault{PlatformCall::GetDeviceBase, 2, 13, 87});
    EXPECT_EQ(RunDiscoveryAgain(machine, 2), 87u);
    EXPECT_EQ(RunDiscoveryAgain(machine, 2), 0u);
    std::set<const void*> copies;
    for (int i = 0; i < 4; ++i) {
        copies.insert(StateOf(machine, i).modeTables);
        EXPECT_EQ(sim::QueryModes(machine, i).modes.size(), offered[i]) << "adapter " << i;
    }
    EXPECT_EQ(copies.size(), 4u) << "each adapter holds its own copy";
    EXPECT_TRUE(machine.DriverFaults().empty());
}

struct FailingAdapter {
    int position;
    PlatformCall call;
    uint32_t status;
};

class FiveAdaptersOneFailing : public ::testing::TestWithParam<FailingAdapter> {};

// The adapter whose discovery fails does not keep a copy of the mode tables from the others.
TEST_P(FiveAdaptersOneFailing, TheOtherFourStart) {
    const FailingAdapter& f = GetParam();
    std::vector<sim::AdapterConfig> adapters = {Primary(), Secondary(), Secondary(), Secondary(), Secondary()};
    sim::Machine machine(ConfigWith(adapters));
    machine.InjectFault(sim::InjectedFault{f.call, f.position, 1, 87});
    machine.Boot();
    for (int i = 0; i < 5; ++i) {
        if (i == f.position) {
            ExpectNotStarted(machine, i, f.status);
        } else {
            ExpectStarted(machine, i);
            EXPECT_EQ(sim::QueryModes(machine, i).modes.size(), 158u) << "adapter " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, FiveAdaptersOneFailing,
    ::testing::Values(FailingAdapter{0, PlatformCall::GetDeviceBase, 87},
                      FailingAdapter{2, PlatformCall::GetDeviceBase, 87},
                      // The fifth adapter finds every copy taken and is refused before anything else.
                      FailingAdapter{4, PlatformCall::GetDeviceBase, 55},
                      FailingAdapter{1, PlatformCall::VerifyAccessRanges, 87},
                      FailingAdapter{3, PlatformCall::GetBusData, 55}),
    [](const auto& info) {
        return std::string(sim::PlatformCallName(info.param.call)) + "FailsOnAdapter" +
               std::to_string(info.param.position);
    });

// An adapter of a device this driver does not serve is turned away, and its turn does not use
// up a copy of the mode tables.
TEST(FiveAdaptersOneFailing, UnservedDeviceIsTurnedAwayAndTheOtherFourStart) {
    std::vector<sim::AdapterConfig> adapters = {Primary(), Secondary(), Secondary(), Secondary(), Secondary()};
    adapters[0].deviceId = 9;
    sim::Machine machine(ConfigWith(adapters));
    machine.Boot();
    ExpectNotStarted(machine, 0, 55);
    for (int i = 1; i < 5; ++i) ExpectStarted(machine, i);
}

}  // namespace
