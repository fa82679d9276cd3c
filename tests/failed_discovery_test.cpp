// A discovery that fails leaves the machine as it found it: the windows it mapped are given back,
// the decoding it switched on is off again, the option ROM is not left enabled, and no value stored
// in the registry is lost. The simulator reports anything left behind as a driver fault.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace {

using sim::PlatformCall;

// A secondary is started with decoding on by the bus driver, or found with it off.
enum class Board { PrimaryBiosPath, PrimaryWithoutRom, Secondary, SecondaryFoundOff };

sim::MachineConfig ConfigOf(Board board) {
    sim::AdapterConfig adapter;
    adapter.hasRom = board != Board::PrimaryWithoutRom;
    adapter.secondary = board == Board::Secondary || board == Board::SecondaryFoundOff;
    adapter.pciStartEnables = board != Board::SecondaryFoundOff;
    sim::MachineConfig config;
    config.adapters = {adapter};
    return config;
}

std::vector<uint8_t> Bytes(size_t count, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// What the user stored under the adapter's key before the boot: ramps that are not the identity,
// settings and a value the driver does not know.
const std::map<std::string, std::vector<uint8_t>>& StoredValues() {
    static const std::map<std::string, std::vector<uint8_t>> values = {
        {"GammaTable", Bytes(1024, 3)},
        {"LumenGammaTable", Bytes(1024, 5)},
        {"GraphicsClocking", {100, 0, 0, 0}},
        {"UseSoftwareCursor", {0, 0, 0, 0}},
        {"Unrelated", Bytes(6, 9)},
    };
    return values;
}

std::unique_ptr<sim::Machine> MachineWithStoredValues(Board board) {
    auto machine = std::make_unique<sim::Machine>(ConfigOf(board));
    for (const auto& [name, data] : StoredValues()) {
        machine->GetRegistry().SetValue(sim::Machine::DeviceKey(0), name, sim::regtype::Binary, data);
    }
    return machine;
}

struct SweepCase {
    const char* name;
    Board board;
};

void PrintTo(const SweepCase& value, std::ostream* out) { *out << value.name; }

class EveryPlatformFailure : public ::testing::TestWithParam<SweepCase> {};

// Every injectable routine fails at each of its calls in a clean boot, and at every call. The
// status is ERROR_GEN_FAILURE (31): 87 is how the port says a registry value is missing, which
// the driver rightly repairs.
TEST_P(EveryPlatformFailure, LeavesNothingBehindAndLosesNoStoredValue) {
    const Board board = GetParam().board;
    auto clean = MachineWithStoredValues(board);
    clean->Boot();
    ASSERT_TRUE(clean->Adapter(0).started);

    size_t failedBoots = 0;
    for (int c = 0; c < static_cast<int>(PlatformCall::Count); ++c) {
        auto call = static_cast<PlatformCall>(c);
        unsigned calls = clean->PlatformCalls(call, 0);
        for (unsigned occurrence = 0; occurrence <= calls; ++occurrence) {
            SCOPED_TRACE(std::string(sim::PlatformCallName(call)) + "@" + std::to_string(occurrence));
            auto machine = MachineWithStoredValues(board);
            machine->InjectFault(sim::InjectedFault{call, 0, occurrence, 31});
            machine->Boot();
            // As the bus driver's start left it: decoding the driver switched on goes off again,
            // decoding the bus driver switched on stays.
            const uint16_t commandBefore = machine->Adapter(0).commandAtDiscovery;
            for (const sim::Fault& fault : machine->DriverFaults()) ADD_FAILURE() << fault.message;
            for (const auto& [name, data] : StoredValues()) {
                const sim::RegValue* value = machine->GetRegistry().GetValue(sim::Machine::DeviceKey(0), name);
                ASSERT_NE(value, nullptr) << name;
                EXPECT_EQ(value->data, data) << name;
            }
            if (machine->Adapter(0).started) continue;
            ++failedBoots;
            EXPECT_TRUE(machine->Adapter(0).mappings.empty());
            EXPECT_EQ(machine->PciOf(0).ReadWord(sim::pcicfg::Command), commandBefore);
            EXPECT_FALSE(machine->PciOf(0).RomEnabled());
        }
    }
    EXPECT_GT(failedBoots, 0u) << "the sweep made no discovery fail";
}

INSTANTIATE_TEST_SUITE_P(Boards, EveryPlatformFailure,
                         ::testing::Values(SweepCase{"PrimaryOnTheBiosPath", Board::PrimaryBiosPath},
                                           SweepCase{"PrimaryWithoutRom", Board::PrimaryWithoutRom},
                                           SweepCase{"Secondary", Board::Secondary},
                                           SweepCase{"SecondaryFoundOff", Board::SecondaryFoundOff}),
                         [](const auto& info) { return std::string(info.param.name); });

// When the driver's own undoing fails, the simulator says what is left.
TEST(FailedDiscovery, WhatTheUndoCouldNotUndoIsADriverFault) {
    struct {
        const char* name;
        Board board;
        std::vector<sim::InjectedFault> faults;
        const char* reported;
    } cases[] = {
        // The third window cannot be mapped; reading the header to switch decoding off fails too,
        // and so does its retry.
        {"decoding", Board::SecondaryFoundOff,
         {{PlatformCall::GetDeviceBase, 0, 3, 0}, {PlatformCall::GetBusData, 0, 2, 0}, {PlatformCall::GetBusData, 0, 3, 0}},
         "failed discovery left the decoding it switched on still on (command register 0x3, was 0x0)"},
        // The write that restores the ROM register fails, and so does its retry.
        {"option ROM", Board::PrimaryBiosPath,
         {{PlatformCall::SetBusData, 0, 3, 0}, {PlatformCall::SetBusData, 0, 4, 0}},
         "failed discovery left the option ROM enabled at 0xa0a00000"},
    };
    for (const auto& c : cases) {
        sim::Machine machine(ConfigOf(c.board));
        for (const sim::InjectedFault& fault : c.faults) machine.InjectFault(fault);
        machine.Boot();
        EXPECT_FALSE(machine.Adapter(0).started) << c.name;
        std::vector<std::string> messages;
        for (const sim::Fault& fault : machine.DriverFaults()) messages.push_back(fault.message);
        EXPECT_EQ(messages, std::vector<std::string>{c.reported}) << c.name;
        EXPECT_TRUE(machine.Adapter(0).mappings.empty()) << c.name;
    }
}

// A discovery refused on its own (a device ID the driver does not serve) whose read or write of the
// header switching decoding off fails once tries it again and leaves nothing behind; failing twice
// is reported. When the write that switched decoding on failed, decoding is still off and the header
// is not written again.
TEST(FailedDiscovery, SwitchingDecodingOffIsTriedAgain) {
    struct {
        PlatformCall call;
        std::vector<unsigned> failed;   // calls of the routine, counted from the boot
        unsigned calls;
        size_t faults;
    } cases[] = {
        {PlatformCall::SetBusData, {}, 5, 0},     {PlatformCall::SetBusData, {5}, 6, 0},
        {PlatformCall::SetBusData, {5, 6}, 6, 1}, {PlatformCall::GetBusData, {3}, 4, 0},
        {PlatformCall::GetBusData, {3, 4}, 4, 1}, {PlatformCall::SetBusData, {1}, 1, 0},
    };
    for (const auto& c : cases) {
        const std::string name = std::string(sim::PlatformCallName(c.call)) + " failing " + std::to_string(c.failed.size());
        sim::MachineConfig config = ConfigOf(Board::SecondaryFoundOff);
        config.adapters[0].deviceId = 0xFF;
        sim::Machine machine(config);
        for (unsigned call : c.failed) machine.InjectFault(sim::InjectedFault{c.call, 0, call, 0});
        machine.Boot();
        EXPECT_FALSE(machine.Adapter(0).started) << name;
        EXPECT_EQ(machine.PlatformCalls(c.call, 0), c.calls) << name;
        EXPECT_EQ(machine.DriverFaults().size(), c.faults) << name;
        uint16_t decoding = sim::pcicfg::CommandIo | sim::pcicfg::CommandMemory;
        EXPECT_EQ(machine.PciOf(0).ReadWord(sim::pcicfg::Command) & decoding, c.faults ? decoding : 0) << name;
    }
}

// VideoPortFreeDeviceBase gives back what VideoPortGetDeviceBase handed out, once; anything else is
// a driver fault and changes nothing.
TEST(FreeDeviceBase, GivesBackALiveMappingOnceAndRefusesAnythingElse) {
    sim::Machine machine(ConfigOf(Board::PrimaryWithoutRom));
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    const uint32_t frameBuffer = machine.Adapter(0).mappings[1].address;
    const uint32_t extension = machine.Adapter(0).extension;
    struct {
        const char* name;
        uint32_t address;
        size_t mappingsAfter;
        bool fault;
    } steps[] = {
        {"not a device base", 0x12345, 3, true},
        {"the extension", extension, 3, true},
        {"the frame buffer's base", frameBuffer, 2, false},
        {"the same base again", frameBuffer, 2, true},
    };
    for (const auto& step : steps) {
        machine.ClearFaults();
        VideoPortFreeDeviceBase(machine.Extension(0), reinterpret_cast<PVOID>(uintptr_t{step.address}));
        EXPECT_EQ(machine.Adapter(0).mappings.size(), step.mappingsAfter) << step.name;
        EXPECT_EQ(machine.DriverFaults().size(), step.fault ? 1u : 0u) << step.name;
    }
    EXPECT_EQ(machine.GetKernel().Space().Find(frameBuffer), nullptr) << "the view is gone from the address space";
}

}  // namespace
