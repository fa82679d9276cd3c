// The machine that runs the shipped zarn.sys: it provides every routine an image may import, its
// kernel memory is the emulated processor's memory page for page as regions come and go (snapshots
// too), device mappings reach the chip through the kernel's traced accesses, and a routine given a
// pointer to no memory ends the image's call instead of the simulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "image/routines.h"
#include "machine/image_routines.h"
#include "machine/machine.h"

#include "driver_faults.h"

namespace {

using sim::image::CpuFault;

bool ZarnSysBuilt() { return static_cast<bool>(std::ifstream(ZARN_SYS)); }

sim::MachineConfig ImageMachine() {
    sim::MachineConfig config;
    config.driverImage = ZARN_SYS;
    return config;
}

TEST(ImageMachine, ProvidesEveryRoutineAnImageMayImport) {
    sim::Machine machine;
    sim::image::PlatformRoutines routines = sim::ImageRoutines(machine.Port(), machine.GetKernel());
    EXPECT_THAT(sim::image::UnsetRoutines(routines), testing::IsEmpty());
}

// A pool block seen from the host and from the processor: one memory.
TEST(ImageMachine, SharesKernelMemoryWithTheProcessorAsItComesAndGoes) {
    if (!ZarnSysBuilt()) GTEST_SKIP() << "zarn.sys was not built";
    sim::Machine machine(ImageMachine());
    machine.Boot();
    sim::image::Cpu& cpu = *machine.Processor();
    sim::KernelSpace& space = machine.GetKernel().Space();

    const uint32_t kept = space.AllocateMemory(100, "kept");
    const uint32_t dropped = space.AllocateMemory(100, "dropped later");
    std::memcpy(machine.HostPointer(kept), "host", 4);
    std::memcpy(machine.HostPointer(dropped), "drop", 4);
    EXPECT_EQ(cpu.Read32(kept), 0x74736F68u) << "the processor reads what the host wrote";
    cpu.Write32(kept + 96, 0x12345678);
    uint32_t seen = 0;
    std::memcpy(&seen, static_cast<uint8_t*>(machine.HostPointer(kept)) + 96, 4);
    EXPECT_EQ(seen, 0x12345678u) << "the host reads what the processor wrote";

    sim::Machine::Snapshot snapshot = machine.Save();
    const uint32_t later = space.AllocateMemory(100, "made after the snapshot");
    EXPECT_NO_THROW(cpu.Read32(later));
    space.Free(dropped);
    EXPECT_THROW(cpu.Read32(dropped), CpuFault) << "freed memory is gone for the processor too";
    const uint32_t reused = space.AllocateMemory(50, "in the freed block's place");
    ASSERT_EQ(reused, dropped);
    cpu.Write32(reused, 0xDEADBEEF);

    machine.Restore(snapshot);
    EXPECT_THROW(cpu.Read32(later), CpuFault) << "a block made after the snapshot is gone";
    EXPECT_EQ(cpu.Read32(dropped), 0x706F7264u) << "the freed block is back with what it held";
    ASSERT_NE(space.Find(dropped), nullptr);
    EXPECT_EQ(space.Find(dropped)->size, 100u) << "the block back in its place is the saved one";
    EXPECT_EQ(cpu.Read32(kept), 0x74736F68u);
    EXPECT_NO_THROW(space.MapPhysical(machine.PciOf(0).BarAddress(0), 0, "empty mapping")) << "nothing to share";
}

// The processor's own loads and stores on a device mapping are register accesses, traced.
TEST(ImageMachine, ReachesTheChipThroughDeviceMappings) {
    if (!ZarnSysBuilt()) GTEST_SKIP() << "zarn.sys was not built";
    sim::Machine machine(ImageMachine());
    machine.Boot();
    const sim::DeviceMapping& registers = machine.Adapter(0).mappings.at(0);
    constexpr uint32_t Pipeline = 0x5C;   // the display pipeline register
    machine.ClearTrace();
    machine.Processor()->Write32(registers.address + Pipeline, 0x81);
    const uint32_t read = machine.Processor()->Read32(registers.address + Pipeline);
    ASSERT_EQ(machine.Trace().size(), 2u);
    EXPECT_TRUE(machine.Trace()[0].write);
    EXPECT_EQ(machine.Trace()[0].offset, Pipeline);
    EXPECT_EQ(machine.Trace()[1].value, read);
    EXPECT_EQ(read, machine.ChipOf(0).Peek(Pipeline));
}

struct BadPointerCase {
    const char* description;
    std::function<void(sim::image::PlatformRoutines&, uint32_t block)> call;
    const char* message;   // empty: the call goes through
};

void PrintTo(const BadPointerCase& row, std::ostream* out) { *out << row.description; }

class ImageRoutineArguments : public testing::TestWithParam<BadPointerCase> {};

// A block of 16 bytes, holding "abcdefghijklmnop" without a terminating zero.
TEST_P(ImageRoutineArguments, MustLieInMachineMemory) {
    sim::Machine machine;
    sim::image::PlatformRoutines routines = sim::ImageRoutines(machine.Port(), machine.GetKernel());
    const uint32_t block = machine.GetKernel().Space().AllocateMemory(16, "test block");
    std::memcpy(machine.HostPointer(block), "abcdefghijklmnop", 16);
    if (*GetParam().message == '\0') {
        EXPECT_NO_THROW(GetParam().call(routines, block));
        return;
    }
    try {
        GetParam().call(routines, block);
        ADD_FAILURE() << "the call went through";
    } catch (const CpuFault& fault) {
        EXPECT_THAT(fault.what(), testing::HasSubstr(GetParam().message));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pointers, ImageRoutineArguments,
    testing::Values(
        BadPointerCase{"ZeroMemoryInsideTheBlock", [](auto& r, uint32_t b) { r.VideoPortZeroMemory(b + 8, 8); }, ""},
        BadPointerCase{"ZeroMemoryOfNoBytesAnywhere", [](auto& r, uint32_t) { r.VideoPortZeroMemory(0x00400000, 0); }, ""},
        BadPointerCase{"ZeroMemoryPastTheBlock", [](auto& r, uint32_t b) { r.VideoPortZeroMemory(b + 8, 9); },
                       "VideoPortZeroMemory was given"},
        BadPointerCase{"MoveMemoryFromNothing", [](auto& r, uint32_t b) { r.VideoPortMoveMemory(b, 0x00400000, 4); },
                       "where no 4 bytes of memory are"},
        BadPointerCase{"TextWithoutItsZero", [](auto& r, uint32_t b) { r.RtlInitAnsiString(b, b); },
                       "does not end in memory"},
        BadPointerCase{"NoPlaceForTheSection", [](auto& r, uint32_t b) { r.ZwMapViewOfSection(4, 0, 0, 0, 0, 0, b, 0, 0, 4); },
                       "no place for its result"},
        // Address 0 with bytes to read or write is no memory either, whatever the routine.
        BadPointerCase{"ZeroMemoryAtZero", [](auto& r, uint32_t) { r.VideoPortZeroMemory(0, 16); },
                       "VideoPortZeroMemory was given 0x00000000, where no 16 bytes of memory are"},
        BadPointerCase{"RegistryValueFromZero", [](auto& r, uint32_t b) { r.VideoPortSetRegistryParameters(b, 0, 0, 4); },
                       "VideoPortSetRegistryParameters was given 0x00000000"},
        BadPointerCase{"AccessRangesAtZero", [](auto& r, uint32_t b) { r.VideoPortGetAccessRanges(b, 0, 0, 3, 0, 0, 0, b); },
                       "VideoPortGetAccessRanges was given 0x00000000"},
        BadPointerCase{"SlotAtZero", [](auto& r, uint32_t b) { r.VideoPortGetAccessRanges(b, 0, 0, 0, 0, 0, 0, 0); },
                       "VideoPortGetAccessRanges was given 0x00000000, where no 4 bytes"}),
    [](const testing::TestParamInfo<BadPointerCase>& info) { return info.param.description; });

struct AppendCase {
    const char* description;
    std::u16string before;
    uint16_t maximumBytes;
    const char16_t* source;
    NTSTATUS status;
    uint16_t length;           // bytes, afterwards
    std::u16string buffer;     // its first units afterwards ('#': untouched)
};

void PrintTo(const AppendCase& row, std::ostream* out) { *out << row.description; }

class AppendUnicodeToString : public testing::TestWithParam<AppendCase> {};

TEST_P(AppendUnicodeToString, AppendsWhatFitsOrNothing) {
    sim::Machine machine;
    const AppendCase& row = GetParam();
    sim::KernelSpace& space = machine.GetKernel().Space();
    const uint32_t buffer = space.AllocateMemory(row.maximumBytes, "string buffer");
    const uint32_t string = space.AllocateMemory(sizeof(UNICODE_STRING), "string");
    auto* text = static_cast<char16_t*>(machine.HostPointer(buffer));
    std::fill(text, text + row.maximumBytes / 2, u'#');
    std::copy(row.before.begin(), row.before.end(), text);
    auto* counted = static_cast<UNICODE_STRING*>(machine.HostPointer(string));
    counted->Length = static_cast<USHORT>(row.before.size() * 2);
    counted->MaximumLength = row.maximumBytes;
    counted->Buffer.address = buffer;
    EXPECT_EQ(machine.GetKernel().Objects().AppendUnicodeToString(counted, row.source), row.status);
    EXPECT_EQ(counted->Length, row.length);
    EXPECT_EQ(std::u16string(text, text + row.buffer.size()), row.buffer);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, AppendUnicodeToString,
    testing::Values(AppendCase{"RoomForTheZero", u"ab", 12, u"cd", STATUS_SUCCESS, 8, std::u16string(u"abcd\0#", 6)},
                    AppendCase{"ExactlyFull", u"ab", 8, u"cd", STATUS_SUCCESS, 8, u"abcd"},
                    AppendCase{"TooLong", u"ab", 6, u"cd", STATUS_BUFFER_TOO_SMALL, 4, u"ab#"},
                    AppendCase{"NoSource", u"ab", 6, nullptr, STATUS_SUCCESS, 4, u"ab#"}),
    [](const testing::TestParamInfo<AppendCase>& info) { return info.param.description; });

// Pool blocks start on a page (so that a processor can share them) and, under AddressSanitizer,
// the rest of their last page stays off limits to host code.
TEST(ImageMachine, PoolBlocksStartOnPagesWithTheirTailOffLimits) {
    sim::Machine machine;
    const uint32_t block = machine.GetKernel().Space().AllocateMemory(100, "test block");
    auto* bytes = static_cast<uint8_t*>(machine.HostPointer(block));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % 0x1000, 0u);
#if defined(TEST_ASAN)
    EXPECT_FALSE(__asan_address_is_poisoned(bytes + 99));
    EXPECT_TRUE(__asan_address_is_poisoned(bytes + 100));
    EXPECT_TRUE(__asan_address_is_poisoned(bytes + 0xFFF));
#endif
}

// A process's access to system memory is traced under the name of the pool block it reaches, a
// name the trace keeps as long as it lives (the block, and the text it was named by, may go first).
TEST(ImageMachine, TracesSystemMemoryUnderTheBlocksOwnName) {
    sim::Machine machine;
    machine.Boot();
    const uint32_t block = machine.GetKernel().Space().AllocateMemory(64, "a pool block with a long name");
    machine.ClearTrace();
    ASSERT_TRUE(machine.ProcessWrite(1, block, {1, 2, 3, 4}));
    machine.GetKernel().Space().Free(block);
    ASSERT_EQ(machine.Trace().size(), 1u);
    EXPECT_EQ(machine.Trace()[0].name, "a pool block with a long name");
}

}  // namespace
