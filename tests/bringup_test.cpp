// Adapter bring-up: the option ROM probe, the HardwareInformation values, the registry
// configuration, the chip initialization sequence and the clocks, seen through the simulated
// chip, its configuration space, the registry and the access trace.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter/adapter_state.h"
#include "clients/display_driver.h"
#include "driver_faults.h"
#include "machine/machine.h"
#include "clients/test_pattern.h"
#include "devices/option_rom.h"
#include "monitor/monitor.h"

namespace {

using sim::AdapterConfig;
using sim::Machine;
using sim::MachineConfig;

constexpr uint32_t DramInit0 = 0x18, DramInit1 = 0x1C, Reg04 = 0x04, Reg14 = 0x14, Reg28 = 0x28, Reg30 = 0x30,
                   Reg34 = 0x34, GraphicsClock = 0x44, MemoryClock = 0x48;
constexpr uint32_t Device3Table50 = 0x1305, Device3Table169 = 0xF64C, Device3Table105 = 0x2A05,
                   Device3Table106 = 0x480D;

MachineConfig OneAdapter(const AdapterConfig& adapter) {
    MachineConfig config;
    config.adapters = {adapter};
    config.checkAliasing = true;
    return config;
}

AdapterConfig Device(uint16_t id) {
    AdapterConfig adapter;
    adapter.deviceId = id;
    return adapter;
}

std::string Text(Machine& machine, const std::string& name) {
    const sim::RegValue* value = machine.GetRegistry().GetValue(Machine::DeviceKey(0), name);
    return value ? sim::TextOfUtf16(value->data) : "<absent>";
}

const sim::RegValue* Value(Machine& machine, const std::string& name) {
    return machine.GetRegistry().GetValue(Machine::DeviceKey(0), name);
}

size_t ModeCount(Machine& machine, int adapter = 0) { return sim::QueryModes(machine, adapter).modes.size(); }

// A ROM image of `size` bytes with the length byte and texts placed at the given offsets.
std::vector<uint8_t> Rom(uint8_t lengthByte, size_t size, const std::vector<std::pair<size_t, std::string>>& texts) {
    std::vector<uint8_t> image(size, 0);
    image[0] = 0x55;
    image[1] = 0xAA;
    image[2] = lengthByte;
    for (const auto& [offset, text] : texts) std::memcpy(&image[offset], text.data(), text.size());
    return image;
}

std::vector<uint8_t> Ramp(uint32_t (*entry)(uint32_t), size_t bytes = 1024) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes / 4; ++i) {
        uint32_t value = entry(static_cast<uint32_t>(i));
        for (int b = 0; b < 4; ++b) data[4 * i + b] = static_cast<uint8_t>(value >> (8 * b));
    }
    return data;
}

std::vector<uint8_t> IdentityRamp() {
    return Ramp([](uint32_t i) { return i * 0x010101u; });
}

// --- Option ROM probe -----------------------------------------------------------------------------

struct RomCase {
    const char* name;
    std::vector<uint8_t> rom;
    std::string biosString;     // visible text of HardwareInformation.BiosString
    size_t modes;               // offered on a 16 MB primary
    uint32_t versionStatus;     // status of IOCTL_VIDEO_QUERY_BIOS_VERSION's first byte: 0 none, 1 some
};

class RomProbe : public testing::TestWithParam<RomCase> {};

TEST_P(RomProbe, ChoosesTheModeSetPathAndPublishesTheBiosString) {
    AdapterConfig adapter = Device(5);
    adapter.romImage = GetParam().rom;
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    EXPECT_EQ(Text(machine, "HardwareInformation.BiosString"), GetParam().biosString);
    EXPECT_EQ(ModeCount(machine), GetParam().modes);
    sim::RequestResult version = machine.Request(0x233F70, {}, 32);
    ASSERT_EQ(version.output.size(), 32u);
    EXPECT_EQ(version.output[0] != 0, GetParam().versionStatus != 0);
    EXPECT_EQ(version.output[31], 0) << "the 32nd byte of the version text is never written";
    EXPECT_EQ(machine.PciOf(0).ReadDword(0x30), machine.BoardOf(0).romWindow) << "the expansion ROM base register is restored";
    EXPECT_TRUE(machine.DriverFaults().empty());
}

const std::string maker = "Zarn Microsystems Inc";

INSTANTIATE_TEST_SUITE_P(
    CraftedImages, RomProbe,
    testing::Values(
        RomCase{"AlignedVersionAndMaker", Rom(64, 32768, {{0x40, "Version 2.10.7 build"}, {0x100, maker}}),
                "VGA BIOS - Version 2.10.7", 51, 1},
        RomCase{"UnalignedVersionIsNotFound", Rom(64, 32768, {{0x41, "Version 2.10.7 build"}, {0x100, maker}}),
                "NO ROM DETECTED", 158, 0},
        RomCase{"MakerBeforeVersionIsNotFound", Rom(64, 32768, {{0x20, maker}, {0x40, "Version 2.10.7 build"}}),
                "VGA BIOS - Version 2.10.7", 158, 1},
        RomCase{"LengthByteZeroHidesTheText", Rom(0, 32768, {{0x40, "Version 2.10.7 build"}, {0x100, maker}}),
                "NO ROM DETECTED", 158, 0},
        RomCase{"LengthByte255ReachesFarText",
                Rom(255, 255 * 512, {{0x1F000, "Version 3.0 x"}, {0x1F100, maker}}), "VGA BIOS - Version 3.0", 51, 1},
        RomCase{"TextBeyondTheLengthByteIsNotFound",
                Rom(1, 32768, {{0x400, "Version 3.0 x"}, {0x500, maker}}), "NO ROM DETECTED", 158, 0},
        RomCase{"MarkerInTheLastWordHasNoSecondWord", Rom(1, 512, {{508, "Vers"}}), "NO ROM DETECTED", 158, 0},
        RomCase{"VersionStartingWithZeroByteCountsAsNone",
                Rom(64, 32768, {{0x40, std::string("Version \0abc", 12)}, {0x100, maker}}), "NO ROM DETECTED", 158, 0},
        RomCase{"VersionStartingWithSpace", Rom(64, 32768, {{0x40, "Version  1.0"}, {0x100, maker}}),
                "VGA BIOS - Version ", 51, 1}),
    [](const testing::TestParamInfo<RomCase>& info) { return std::string(info.param.name); });

std::vector<uint16_t> BiosStringUnits(Machine& machine) {
    const sim::RegValue* value = Value(machine, "HardwareInformation.BiosString");
    std::vector<uint16_t> units;
    if (!value) return units;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) units.push_back(static_cast<uint16_t>(value->data[i] | value->data[i + 1] << 8));
    return units;
}

std::vector<uint16_t> Units(const std::string& text) { return std::vector<uint16_t>(text.begin(), text.end()); }

TEST(RomProbeBiosString, SevenCharactersThenSpaceEndWithAZeroAndKeepTheRestOfTheBuffer) {
    AdapterConfig adapter = Device(5);
    adapter.romImage = Rom(64, 32768, {{0x40, "Version 1.23.45 more"}, {0x100, maker}});
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    std::vector<uint16_t> expected = Units("VGA BIOS - Version 1.23.45");
    expected.push_back(0);
    for (uint16_t unit : Units("ET")) expected.push_back(unit);  // what the default text left behind
    expected.resize(32, 0);
    EXPECT_EQ(BiosStringUnits(machine), expected) << "the whole 64-byte buffer is published";
}

TEST(RomProbeBiosString, TwentyCharacterVersionFillsAllThirtyTwoCharacters) {
    AdapterConfig adapter = Device(5);
    adapter.romImage = Rom(64, 32768, {{0x40, "Version ABCDEFGHIJKLMNOPQRST"}, {0x100, maker}});
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    EXPECT_EQ(BiosStringUnits(machine), Units("VGA BIOS - Version ABCDEFGHIJKLM"));
}

TEST(RomProbeBiosString, VersionTextKeepsThirtyOneBytes) {
    AdapterConfig adapter = Device(5);
    adapter.romImage = Rom(64, 32768, {{0x40, "Version 0123456789abcdefghijklmnopqrstuvwxyz"}, {0x100, maker}});
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    sim::RequestResult version = machine.Request(0x233F70, {}, 32);
    ASSERT_EQ(version.output.size(), 32u);
    EXPECT_EQ(std::string(version.output.begin(), version.output.begin() + 31), "0123456789abcdefghijklmnopqrstu");
    EXPECT_EQ(version.output[31], 0);
}

TEST(RomProbeWindow, RomIsSwitchedInAtTheRegisterWindowOffsetAndBackOut) {
    Machine machine(OneAdapter(Device(5)));
    machine.Boot();
    uint32_t bar0 = machine.PciOf(0).BarAddress(0);
    std::vector<uint32_t> romBarWrites;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.window != sim::Window::Config || !entry.write) continue;
        EXPECT_EQ(entry.offset, 0u);
        EXPECT_EQ(entry.width, 64u * 8) << "the whole header is written";
        size_t at = entry.name.find("[0x30]=");
        if (at != std::string::npos) romBarWrites.push_back(static_cast<uint32_t>(std::stoul(std::string(entry.name.substr(at + 7)), nullptr, 16)));
    }
    EXPECT_EQ(romBarWrites, (std::vector<uint32_t>{bar0 + 0xA00000, bar0 + 0xA00001, machine.BoardOf(0).romWindow}));
}

TEST(RomProbeWindow, SmallRegisterWindowIsNeverReadOutside) {
    AdapterConfig adapter = Device(5);
    adapter.registerWindowMiB = 8;   // the ROM offset lies beyond the window
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    EXPECT_EQ(Text(machine, "HardwareInformation.BiosString"), "NO ROM DETECTED");
    EXPECT_TRUE(machine.DriverFaults().empty()) << machine.DriverFaults().front().message;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        EXPECT_FALSE(entry.window == sim::Window::Mmio && entry.offset >= 0x800000) << entry.name;
    }
}

TEST(RomProbePath, SecondaryWithAFullRomUsesDirectProgramming) {
    AdapterConfig adapter = Device(5);
    adapter.secondary = true;
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    EXPECT_EQ(Text(machine, "HardwareInformation.BiosString"), "SECONDARY DEVICE -- NO ROM ALLOWED");
    EXPECT_EQ(Value(machine, "HardwareInformation.BiosString")->data.size(), 70u);
    EXPECT_EQ(ModeCount(machine), 158u);
}

// Without a ROM chip the chip's ROM window reads as the bus floats it, all ones, like any byte past
// a ROM image: a length byte of 0xFF and no version text, and nothing the machine warns about.
TEST(RomProbePath, NoRomMeansDirectProgramming) {
    for (bool secondary : {false, true}) {
        AdapterConfig adapter = Device(5);
        adapter.hasRom = false;
        adapter.secondary = secondary;
        Machine machine(OneAdapter(adapter));
        machine.Boot();
        EXPECT_EQ(Text(machine, "HardwareInformation.BiosString"), "NO ROM DETECTED");
        EXPECT_EQ(Value(machine, "HardwareInformation.BiosString")->data.size(), 32u);
        EXPECT_EQ(ModeCount(machine), 158u);
        size_t romReads = 0;
        for (const sim::TraceEntry& entry : machine.Trace()) {
            if (entry.name != "rom") continue;
            ++romReads;
            EXPECT_EQ(entry.value, entry.width == 8 ? 0xFFu : 0xFFFFFFFFu);
        }
        EXPECT_GT(romReads, 0u);
        EXPECT_TRUE(machine.Faults().empty()) << machine.Faults().front().message;
        EXPECT_FALSE(machine.PciOf(0).RomEnabled()) << "the ROM register is put back";
    }
}

TEST(RomProbePath, BiosPathOffersFiftyOneModesAtEveryMemorySize) {
    for (uint32_t mib : {4u, 8u, 16u}) {
        AdapterConfig adapter = Device(5);
        adapter.memoryMiB = mib;
        Machine machine(OneAdapter(adapter));
        machine.Boot();
        sim::ModeList list = sim::QueryModes(machine, 0);
        EXPECT_EQ(list.modes.size(), 51u) << mib << " MB";
        for (const VIDEO_MODE_INFORMATION& mode : list.modes) {
            EXPECT_NE(mode.BitsPerPlane, 32u);
            EXPECT_EQ(mode.DriverSpecificAttributeFlags & 0x80000000u, 0u);
            EXPECT_LT(mode.ModeIndex, 154u);
        }
    }
}

TEST(RomProbePath, UseNonBiosModeSetSwitchesAPrimaryToTheDirectTable) {
    Machine machine(OneAdapter(Device(5)));
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "UseNonBIOSModeSet", 1);
    machine.Boot();
    EXPECT_EQ(ModeCount(machine), 158u);
    EXPECT_EQ(Text(machine, "HardwareInformation.BiosString"), "VGA BIOS - Version 1.00.01");
}

TEST(RomProbePath, UseNonBiosModeSetZeroCannotEnableTheBiosWithoutVersionText) {
    AdapterConfig adapter = Device(5);
    adapter.hasRom = false;
    Machine machine(OneAdapter(adapter));
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "UseNonBIOSModeSet", 0);
    machine.Boot();
    EXPECT_EQ(ModeCount(machine), 158u);
}

// --- HardwareInformation ----------------------------------------------------------------------------

struct IdentityCase {
    uint16_t device;
    uint16_t subsystemVendor;
    const char* chipType;
    const char* adapterString;
};

class Identity : public testing::TestWithParam<IdentityCase> {};

TEST_P(Identity, IsPublishedInUtf16WithItsExactLength) {
    AdapterConfig adapter = Device(GetParam().device);
    adapter.subsystemVendor = GetParam().subsystemVendor;
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    const std::pair<const char*, std::string> expected[] = {
        {"HardwareInformation.ChipType", GetParam().chipType},
        {"HardwareInformation.DACType", "Zarn Internal DAC"},
        {"HardwareInformation.AdapterString", GetParam().adapterString},
        {"HardwareInformation.AdapterType", GetParam().adapterString},
    };
    for (const auto& [name, text] : expected) {
        const sim::RegValue* value = Value(machine, name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(value->data, sim::Utf16Bytes(text)) << name;
        EXPECT_EQ(value->type, 3u) << name << " is written as binary, as the port writes values";
    }
    const sim::RegValue* size = Value(machine, "HardwareInformation.MemorySize");
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->data, (std::vector<uint8_t>{0, 0, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(
    Boards, Identity,
    testing::Values(IdentityCase{3, 0x1A5D, "Zarn Mistral Corvid", "Zarn Mistral Corvid Reference Board"},
                    IdentityCase{3, 0x1234, "Zarn Mistral Corvid", "Zarn Mistral Corvid Board"},
                    IdentityCase{3, 0xFFFF, "Zarn Mistral Corvid", "Zarn Mistral Corvid Board"},
                    IdentityCase{4, 0x1234, "Zarn Mistral Corvid Plus", "Zarn Mistral Corvid Plus Reference Board"},
                    IdentityCase{5, 0xFFFF, "Zarn Mistral 3", "Zarn Mistral 3 Reference Board"},
                    IdentityCase{5, 0x1A5D, "Zarn Mistral 3", "Zarn Mistral 3 Board"}),
    [](const testing::TestParamInfo<IdentityCase>& info) {
        return "Device" + std::to_string(info.param.device) + "Subvendor" + std::to_string(info.param.subsystemVendor);
    });

TEST(UnsupportedDevice, RestoresTheRomRegisterAlsoWhenTheRomLacksTheMakerText) {
    AdapterConfig adapter = Device(6);
    adapter.romImage = Rom(64, 32768, {{0x40, "Version 2.0 x"}});
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    EXPECT_EQ(machine.Adapter(0).discoveryStatus, 55u);
    EXPECT_FALSE(machine.PciOf(0).RomEnabled()) << "the ROM no longer covers the register window";
    EXPECT_EQ(machine.PciOf(0).ReadDword(0x30), machine.BoardOf(0).romWindow);
}

// A restoring write that fails is tried once more; when that fails too the ROM stays enabled, the
// adapter is refused and the simulator reports what was left behind.
TEST(RomProbeFailures, UnreadableHeaderOrFailedRestoreEndDiscovery) {
    struct {
        const char* name;
        sim::PlatformCall call;
        std::vector<unsigned> occurrences;
        uint32_t status;
        const char* leftBehind;   // the driver fault reported, empty when none
    } cases[] = {
        {"second header read", sim::PlatformCall::GetBusData, {2}, 55, ""},
        {"restoring write, once", sim::PlatformCall::SetBusData, {3}, 0, ""},
        {"restoring write and its retry", sim::PlatformCall::SetBusData, {3, 4}, 55,
         "failed discovery left the option ROM enabled at 0xa0a00000"},
    };
    for (const auto& c : cases) {
        Machine machine(OneAdapter(Device(5)));
        for (unsigned occurrence : c.occurrences) machine.InjectFault({c.call, 0, occurrence, 0});
        machine.Boot();
        EXPECT_EQ(machine.Adapter(0).discoveryStatus, c.status) << c.name;
        EXPECT_EQ(machine.Adapter(0).started, c.status == 0) << c.name;
        std::vector<std::string> faults;
        for (const sim::Fault& fault : machine.DriverFaults()) faults.push_back(fault.message);
        EXPECT_EQ(faults, *c.leftBehind ? std::vector<std::string>{c.leftBehind} : std::vector<std::string>{}) << c.name;
        EXPECT_EQ(machine.Adapter(0).mappings.size(), c.status == 0 ? 3u : 0u) << c.name;
    }
}

// When either write that enables the ROM fails, the probe reads nothing at the ROM's offset (it
// would read registers there), treats the board as having no ROM and puts the register back.
TEST(RomProbeFailures, RomThatCannotBeEnabledIsNoRom) {
    struct {
        const char* name;
        const char* board;
        unsigned occurrence;   // of VideoPortSetBusData that fails (a secondary is found with decoding off)
    } cases[] = {
        {"primary, address write", "device=5,pcistart=keep", 1},
        {"primary, enable write", "device=5,pcistart=keep", 2},
        {"secondary, address write", "device=5,pcistart=keep,secondary", 2},
        {"secondary, enable write", "device=5,pcistart=keep,secondary", 3},
    };
    for (const auto& c : cases) {
        Machine machine(OneAdapter(Board(c.board)));
        machine.InjectFault({sim::PlatformCall::SetBusData, 0, c.occurrence, 0});
        uint32_t romBarBefore = machine.PciOf(0).ReadDword(0x30);
        machine.Boot();
        ASSERT_TRUE(machine.Adapter(0).started) << c.name;
        EXPECT_EQ(Text(machine, "HardwareInformation.BiosString"), "NO ROM DETECTED") << c.name;
        const auto* record = static_cast<const AdapterState*>(machine.Extension(0));
        EXPECT_EQ(record->romPresent, 0) << c.name;
        EXPECT_EQ(record->biosModeTable, nullptr) << c.name;
        EXPECT_EQ(record->useNonBiosModeSet, 1u) << c.name;
        for (const sim::TraceEntry& entry : machine.Trace()) {
            EXPECT_FALSE(entry.window == sim::Window::Mmio && entry.offset >= 0xA00000)
                << c.name << ": " << sim::FormatTraceEntry(entry);
        }
        EXPECT_TRUE(machine.Faults().empty()) << c.name;
        EXPECT_EQ(machine.PciOf(0).ReadDword(0x30), romBarBefore) << c.name;
        EXPECT_FALSE(machine.PciOf(0).RomEnabled()) << c.name;
    }
}

TEST(UnsupportedDevice, EndsDiscoveryWithoutPublishingAndRestoresTheRomRegister) {
    for (bool hasRom : {true, false}) {
        AdapterConfig adapter = Device(6);
        adapter.hasRom = hasRom;
        Machine machine(OneAdapter(adapter));
        machine.Boot();
        EXPECT_EQ(machine.Adapter(0).discoveryStatus, 55u);
        EXPECT_FALSE(machine.Adapter(0).started);
        EXPECT_FALSE(machine.Adapter(0).initializeRan);
        const sim::RegKey* key = machine.GetRegistry().FindKey(Machine::DeviceKey(0));
        if (key) {
            for (const sim::RegValue& value : key->values) EXPECT_NE(value.name.rfind("HardwareInformation", 0), 0u) << value.name;
        }
        EXPECT_EQ(machine.PciOf(0).ReadDword(0x30), machine.BoardOf(0).romWindow);
        EXPECT_FALSE(machine.PciOf(0).RomEnabled());
    }
}

// --- Discovery's dealings with the platform -------------------------------------------------------

TEST(DriverEntry, RegistersEveryCallbackAndTheRecordSize) {
    Machine machine(OneAdapter(Device(5)));
    machine.Boot();
    const VIDEO_HW_INITIALIZATION_DATA& data = machine.Registration();
    EXPECT_EQ(data.HwInitDataSize, 80u);
    EXPECT_EQ(data.AdapterInterfaceType, PCIBus);
    EXPECT_EQ(data.HwDeviceExtensionSize, 5448u);
    for (ULONG address : {data.HwFindAdapter.address, data.HwInitialize.address, data.HwStartIO.address,
                          data.HwResetHw.address, data.HwSetPowerState.address, data.HwGetPowerState.address,
                          data.HwGetVideoChildDescriptor.address}) {
        EXPECT_NE(address, 0u);
    }
    for (ULONG address : {data.HwInterrupt.address, data.HwTimer.address, data.HwStartDma.address,
                          data.HwQueryInterface.address, data.HwGetLegacyResources.address}) {
        EXPECT_EQ(address, 0u);
    }
    EXPECT_EQ(data.StartingDeviceNumber, 0u);
    EXPECT_EQ(data.HwChildDeviceExtensionSize, 0u);
    EXPECT_EQ(data.HwLegacyResourceCount, 0u);
    // The host build's 4-byte callback fields: a null callback is code address 0 and reads back null.
    VIDEO_HW_INITIALIZATION_DATA cleared = data;
    cleared.HwStartIO = nullptr;
    EXPECT_EQ(cleared.HwStartIO.address, 0u);
    EXPECT_EQ(static_cast<PVIDEO_HW_START_IO>(cleared.HwStartIO), nullptr);
}

TEST(DiscoveryResult, FillsTheConfigurationInformationAndAsksForTheRangesByTheMakersIds) {
    Machine machine(OneAdapter(Device(4)));
    machine.Boot();
    const sim::AdapterRuntime& adapter = machine.Adapter(0);
    EXPECT_EQ(adapter.askedVendorId, sim::ZarnVendorId);
    EXPECT_EQ(adapter.askedDeviceId, 3u);
    const VIDEO_PORT_CONFIG_INFO& info = adapter.configInfo;
    EXPECT_EQ(info.NumEmulatorAccessEntries, 0u);
    EXPECT_EQ(info.EmulatorAccessEntries.address, 0u);
    EXPECT_EQ(info.EmulatorAccessEntriesContext, 0u);
    EXPECT_EQ(info.VdmPhysicalVideoMemoryAddress.QuadPart, 0) << "the port's 0xA0000 is cleared";
    EXPECT_EQ(info.VdmPhysicalVideoMemoryLength, 0u);
    EXPECT_EQ(info.HardwareStateSize, 0u);
    EXPECT_EQ(adapter.again, 1);
}

TEST(DiscoveryResult, WindowsTooSmallForTheChipAreRefused) {
    AdapterConfig adapter = Device(5);
    adapter.registerWindowMiB = 2;   // the engine registers at 0x200128 and 0x200250 lie beyond it
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    EXPECT_EQ(machine.Adapter(0).discoveryStatus, 87u);
    EXPECT_TRUE(machine.Adapter(0).mappings.empty()) << "refused before anything is mapped";
    EXPECT_TRUE(machine.DriverFaults().empty());
}

struct StrapCase {
    uint32_t dramInit0;
    uint32_t dramInit1;
    uint32_t size;
};

TEST(MemorySizing, StrapsGiveTheSize) {
    const StrapCase cases[] = {{0, 0, 0x400000},          {0x04000000, 0, 0x800000},          {0x08000000, 0, 0x800000},
                               {0x0C000000, 0, 0x1000000}, {0, 0x40000000, 0x1000000},        {0x08000000, 0x40000000, 0x1000000}};
    for (const StrapCase& c : cases) {
        Machine machine(OneAdapter(Device(5)));
        machine.ChipOf(0).Poke(DramInit0, c.dramInit0);
        machine.ChipOf(0).Poke(DramInit1, c.dramInit1);
        machine.Boot();
        const sim::RegValue* size = Value(machine, "HardwareInformation.MemorySize");
        ASSERT_NE(size, nullptr);
        EXPECT_EQ(sim::Dword(size->data, 0), c.size) << std::hex << c.dramInit0 << " " << c.dramInit1;
    }
}

// --- Registry configuration ---------------------------------------------------------------------

TEST(RegistryGamma, FirstStartWritesBothIdentityRamps) {
    Machine machine(OneAdapter(Device(5)));
    machine.Boot();
    for (const char* name : {"GammaTable", "LumenGammaTable"}) {
        const sim::RegValue* value = Value(machine, name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(value->data, IdentityRamp()) << name;
    }
}

TEST(RegistryGamma, StoredRampIsUsedWithTopBytesClearedAndNotRewritten) {
    Machine machine(OneAdapter(Device(5)));
    std::vector<uint8_t> stored = Ramp([](uint32_t i) { return 0xAB000000u | (255 - i) * 0x010101u; });
    machine.GetRegistry().SetValue(Machine::DeviceKey(0), "GammaTable", 3, stored);
    machine.Boot();
    EXPECT_EQ(Value(machine, "GammaTable")->data, stored) << "an accepted ramp is not written back";
    // The ramp reaches the DAC with the next mode set; until then the driver's record holds it.
    const auto* record = static_cast<const AdapterState*>(machine.Extension(0));
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_EQ(record->gammaTable[i], (255 - i) * 0x010101u) << i;
        ASSERT_EQ(record->lumenGammaTable[i], i * 0x010101u) << i;
    }
}

TEST(RegistryFailures, UnreadableRegistryLeavesEveryDefault) {
    Machine machine(OneAdapter(Device(3)));
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "GraphicsClocking", 100);
    machine.InjectFault({sim::PlatformCall::GetRegistryParameters, -1, 0, 87});
    machine.InjectFault({sim::PlatformCall::SetRegistryParameters, -1, 0, 87});
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    const auto* record = static_cast<const AdapterState*>(machine.Extension(0));
    EXPECT_EQ(record->debugLevel, -1);
    EXPECT_EQ(record->graphicsClockMhz, 0u);
    EXPECT_EQ(record->gammaTable[255], 0xFFFFFFu);
    EXPECT_EQ(Value(machine, "GammaTable"), nullptr) << "the failed write left nothing behind";
}

enum class Rewritten { No, Yes };

struct RampReadFailure {
    const char* name;
    const char* board;
    unsigned occurrence;   // of VideoPortGetRegistryParameters that fails
    uint32_t status;
    const char* failedValue;
    Rewritten rewritten;   // the value is taken for missing and written back
};

void PrintTo(const RampReadFailure& value, std::ostream* out) { *out << value.name; }

class RegistryGammaReadFailure : public ::testing::TestWithParam<RampReadFailure> {};

// A ramp the platform failed to read stays stored byte for byte; the adapter uses the identity ramp
// meanwhile. Only the port's answer for a missing value (87 without the callback) repairs it.
TEST_P(RegistryGammaReadFailure, LeavesTheStoredRampAsItWas) {
    const RampReadFailure& f = GetParam();
    Machine machine(OneAdapter(Board(f.board)));
    std::vector<uint8_t> stored = Ramp([](uint32_t i) { return 0xAB000000u | (255 - i) * 0x010101u; });
    machine.GetRegistry().SetValue(Machine::DeviceKey(0), "GammaTable", 3, stored);
    machine.GetRegistry().SetValue(Machine::DeviceKey(0), "LumenGammaTable", 3, stored);
    machine.InjectFault({sim::PlatformCall::GetRegistryParameters, 0, f.occurrence, f.status});
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    for (const char* name : {"GammaTable", "LumenGammaTable"}) {
        bool failed = std::string(name) == f.failedValue;
        EXPECT_EQ(Value(machine, name)->data, failed && f.rewritten == Rewritten::Yes ? IdentityRamp() : stored) << name;
    }
    const auto* record = static_cast<const AdapterState*>(machine.Extension(0));
    const ULONG* failedRamp = std::string(f.failedValue) == "GammaTable" ? record->gammaTable : record->lumenGammaTable;
    EXPECT_EQ(failedRamp[0], 0u) << "the identity ramp is used meanwhile";
    EXPECT_EQ(failedRamp[255], 0xFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RegistryGammaReadFailure,
    ::testing::Values(RampReadFailure{"GammaTableBusy", "device=5", 3, 1450, "GammaTable", Rewritten::No},
                      RampReadFailure{"LumenGammaTableKernelStatus", "device=5", 4, 0xC000009A, "LumenGammaTable",
                                      Rewritten::No},
                      RampReadFailure{"SecondaryGammaTableAccessDenied", "device=5,secondary", 5, 5, "GammaTable",
                                      Rewritten::No},
                      RampReadFailure{"SecondaryLumenGammaTableBusy", "device=5,secondary", 6, 1450, "LumenGammaTable",
                                      Rewritten::No},
                      RampReadFailure{"MissingValueAnswer", "device=5", 3, 87, "GammaTable", Rewritten::Yes}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegistryGamma, WrongSizedRampsAreReplacedWithTheIdentityRamp) {
    for (size_t bytes : {1020u, 1028u, 0u, 4u}) {
        Machine machine(OneAdapter(Device(5)));
        std::vector<uint8_t> stored(bytes, 0x55);
        machine.GetRegistry().SetValue(Machine::DeviceKey(0), "GammaTable", 3, stored);
        machine.GetRegistry().SetValue(Machine::DeviceKey(0), "LumenGammaTable", 4, stored);
        machine.Boot();
        EXPECT_EQ(Value(machine, "GammaTable")->data, IdentityRamp()) << bytes;
        EXPECT_EQ(Value(machine, "LumenGammaTable")->data, IdentityRamp()) << bytes;
        EXPECT_EQ(Value(machine, "GammaTable")->type, 3u);
    }
}

// The registry calls of one discovery, in order: "read Name" or "write Name".
std::vector<std::string> RegistryCalls(const AdapterConfig& adapter) {
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    std::vector<std::string> calls;
    for (const sim::RegistryCall& call : machine.RegistryCalls()) {
        calls.push_back(std::string(call.write ? "write " : "read ") + call.name);
    }
    return calls;
}

TEST(RegistryConditions, EachAdapterReadsItsValuesInOrderAndPublishesItsIdentity) {
    AdapterConfig primary3 = Device(3), primary5 = Device(5), secondary5 = Device(5), secondary3 = Device(3);
    secondary5.secondary = secondary3.secondary = true;
    const std::vector<std::string> gamma = {"read GammaTable", "write GammaTable", "read LumenGammaTable",
                                            "write LumenGammaTable", "read UseSoftwareCursor", "read GraphicsClocking"};
    const std::vector<std::string> published = {
        "write HardwareInformation.ChipType",   "write HardwareInformation.DACType",
        "write HardwareInformation.AdapterString", "write HardwareInformation.AdapterType",
        "write HardwareInformation.BiosString", "write HardwareInformation.MemorySize"};
    auto expected = [&](std::vector<std::string> head, bool device3) {
        head.insert(head.begin(), "read MiniportDebugLevel");
        head.insert(head.end(), gamma.begin(), gamma.end());
        if (device3) head.push_back("read MemClocking");
        head.insert(head.end(), published.begin(), published.end());
        return head;
    };
    EXPECT_EQ(RegistryCalls(primary3), expected({"read UseNonBIOSModeSet"}, true));
    EXPECT_EQ(RegistryCalls(primary5), expected({"read UseNonBIOSModeSet"}, false));
    EXPECT_EQ(RegistryCalls(secondary5), expected({"read miscInit1", "read dramInit0", "read dramInit1"}, false));
    EXPECT_EQ(RegistryCalls(secondary3), expected({"read miscInit1", "read dramInit0", "read dramInit1"}, true));
}

// An empty number value is refused by the driver's callback: the adapter keeps the default, as with
// no value, whichever way the port hands on the callback's refusal.
TEST(RegistryConditions, EmptyNumberValuesKeepTheDefaults) {
    for (bool ntStatus : {true, false}) {
        for (const char* name : {"MiniportDebugLevel", "dramInit0", "dramInit1"}) {
            SCOPED_TRACE(std::string(name) + (ntStatus ? " ntstatus" : " refusal"));
            std::vector<uint32_t> seen[2];   // debug level, dramInit0, dramInit1
            for (bool empty : {false, true}) {
                AdapterConfig adapter = Device(5);
                adapter.secondary = true;
                adapter.callbackStatusIsNtStatus = ntStatus;
                Machine machine(OneAdapter(adapter));
                machine.GetRegistry().DeleteValue(Machine::DeviceKey(0), name);
                if (empty) machine.GetRegistry().SetValue(Machine::DeviceKey(0), name, 3, {});
                machine.Boot();
                ASSERT_TRUE(machine.Adapter(0).started);
                const auto* record = static_cast<const AdapterState*>(machine.Extension(0));
                seen[empty] = {static_cast<uint32_t>(record->debugLevel), machine.ChipOf(0).Peek(DramInit0),
                               machine.ChipOf(0).Peek(DramInit1)};
            }
            EXPECT_EQ(seen[1], seen[0]);
        }
    }
}

TEST(RegistryConditions, AcceptedValuesReachTheRecord) {
    AdapterConfig adapter = Device(5);
    adapter.secondary = true;
    Machine machine(OneAdapter(adapter));
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "MiniportDebugLevel", 3);
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "miscInit1", 0x77);
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "dramInit0", 0x00123456);
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "dramInit1", 0x00011111);
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "UseSoftwareCursor", 2);
    machine.Boot();
    const auto* record = static_cast<const AdapterState*>(machine.Extension(0));
    EXPECT_EQ(record->debugLevel, 3);
    EXPECT_EQ(record->miscInit1Value, 0x77u);
    EXPECT_EQ(machine.ChipOf(0).Peek(DramInit0) & 0x03FFFFFF, 0x00123456u);
    EXPECT_EQ(machine.ChipOf(0).Peek(DramInit1) & 0x3DFFFFFF, 0x00011111u);
    for (const VIDEO_MODE_INFORMATION& mode : sim::QueryModes(machine, 0).modes) {
        ASSERT_EQ(mode.DriverSpecificAttributeFlags & 1, 1u) << "every mode draws the pointer in software";
    }
}

struct NumberCase {
    const char* name;
    std::vector<uint8_t> data;
    uint32_t type;
    bool applied;
    uint32_t expectedPll;   // graphics clock register on device 5 after discovery
};

class RegistryNumber : public testing::TestWithParam<NumberCase> {};

// Under both readings of a callback's status: the port may hand the number callback's refusal (87)
// on as success, and the driver must still leave the default.
TEST_P(RegistryNumber, GraphicsClockingIsReadAsTheFirstWordWhateverItsType) {
    for (bool ntStatus : {true, false}) {
        SCOPED_TRACE(ntStatus ? "regcallback=ntstatus" : "regcallback=refusal");
        AdapterConfig adapter = Device(5);
        adapter.secondary = true;   // the chip initialization gives the register a known value first
        adapter.callbackStatusIsNtStatus = ntStatus;
        Machine machine(OneAdapter(adapter));
        machine.GetRegistry().SetValue(Machine::DeviceKey(0), "GraphicsClocking", GetParam().type, GetParam().data);
        machine.GetRegistry().SetValue(Machine::DeviceKey(0), "dramInit0", GetParam().type, GetParam().data);
        machine.Boot();
        machine.OpenDevice(0);   // the display driver's session: HwInitialize
        EXPECT_EQ(machine.ChipOf(0).Peek(GraphicsClock), GetParam().expectedPll);
        EXPECT_EQ(machine.ChipOf(0).Peek(DramInit0) & 0x03FFFFFF, GetParam().applied ? 100u : 0x17A16Au);
        EXPECT_TRUE(machine.DriverFaults().empty());
    }
}

constexpr uint32_t Device45Table100 = 0x2805, Device45Table143 = 0x3A05;

INSTANTIATE_TEST_SUITE_P(
    Lengths, RegistryNumber,
    testing::Values(NumberCase{"Dword", {100, 0, 0, 0}, 4, true, Device45Table100},
                    NumberCase{"BinaryOfEightBytesUsesTheFirstWord", {100, 0, 0, 0, 7, 7, 7, 7}, 3, true, Device45Table100},
                    NumberCase{"OneByteIsZeroExtended", {100}, 3, true, Device45Table100},
                    NumberCase{"ThreeBytesAreZeroExtended", {100, 0, 0}, 3, true, Device45Table100},
                    NumberCase{"EmptyValueIsRefused", {}, 3, false, Device45Table143},
                    NumberCase{"TextIsReadAsBytes", {'d', 0, 0, 0}, 1, true, Device45Table100}),
    [](const testing::TestParamInfo<NumberCase>& info) { return std::string(info.param.name); });

// --- Chip initialization ----------------------------------------------------------------------------

struct SecondaryCase {
    const char* name;
    const char* board;
    uint32_t reg34;
    uint32_t reg30;
    uint32_t reg14Low;
    uint32_t sizeStrap26;   // bit 26 of the dramInit0 register
};

class SecondaryBringUp : public testing::TestWithParam<SecondaryCase> {};

TEST_P(SecondaryBringUp, EndsWithTheRegistersOfItsMemoryType) {
    const AdapterConfig adapter = Board(GetParam().board);
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    sim::Chip& chip = machine.ChipOf(0);
    EXPECT_EQ(chip.Peek(Reg28), 0x340u);
    EXPECT_EQ(chip.Peek(Reg34), GetParam().reg34);
    EXPECT_EQ(chip.Peek(Reg30), GetParam().reg30);
    EXPECT_EQ(chip.Peek(Reg14) & 0xFFFF, GetParam().reg14Low);
    EXPECT_EQ(chip.Peek(DramInit0) & 0x04000000, GetParam().sizeStrap26);
    EXPECT_EQ(chip.Peek(DramInit0) & 0x03FFFFFF, 0x17A16Au);
    EXPECT_EQ(chip.Peek(DramInit1) & 0x3DFFFFFF, 0x23C031u);
    EXPECT_EQ(chip.Peek(GraphicsClock), Device45Table143);
    EXPECT_EQ(chip.Vga().miscOutput, 0x76);
    EXPECT_EQ(chip.Vga().graphics[6], 0x05);
    EXPECT_EQ(chip.Vga().vgaEnable, 0x01);
    EXPECT_EQ(ModeCount(machine), adapter.memoryMiB == 4 ? 132u : adapter.memoryMiB == 8 ? 154u : 158u);
}

INSTANTIATE_TEST_SUITE_P(MemoryTypes, SecondaryBringUp,
                         testing::Values(
                             SecondaryCase{"Alternative16MB", "device=5,secondary,altmem", 0x37, 0x10D, 0x8001, 0},
                             SecondaryCase{"Standard16MB", "device=5,secondary", 0xFFFFFFFF, 0x10E, 0x0001, 0x04000000},
                             SecondaryCase{"Standard8MB", "device=5,secondary,memory=8", 0xFFFFFFFF, 0x10E, 0x0001, 0},
                             SecondaryCase{"Standard4MB", "device=5,secondary,memory=4", 0xFFFFFFFF, 0x10E, 0x0001, 0}),
                         [](const testing::TestParamInfo<SecondaryCase>& info) { return std::string(info.param.name); });

TEST(SecondaryBringUp, RangeStepClearsBit9BeforeTheSequenceWrites0x340) {
    AdapterConfig adapter = Device(5);
    adapter.secondary = true;
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    std::vector<uint32_t> writes;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.write && entry.window == sim::Window::Mmio && entry.offset == Reg28) writes.push_back(entry.value);
    }
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0], 0x0u) << "bit 9 cleared from the power-on value 0x200";
    EXPECT_EQ(writes[1], 0x340u);
}

TEST(SecondaryBringUp, Bus66AddsBits8And9OnEveryRun) {
    AdapterConfig adapter = Device(5);
    adapter.secondary = true;
    adapter.bus66 = true;
    Machine machine(OneAdapter(adapter));
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    EXPECT_EQ(machine.ChipOf(0).Peek(Reg04) & 0x300, 0x300u);
    int orWrites = 0;
    for (const sim::TraceEntry& entry : machine.Trace()) orWrites += entry.write && entry.offset == Reg04 && entry.window == sim::Window::Mmio;
    EXPECT_EQ(orWrites, 2) << "once at discovery, once at HwInitialize";

    AdapterConfig primary = Device(5);
    primary.bus66 = true;
    Machine primaryMachine(OneAdapter(primary));
    primaryMachine.Boot();
    for (const sim::TraceEntry& entry : primaryMachine.Trace()) {
        EXPECT_FALSE(entry.write && entry.offset == Reg04 && entry.window == sim::Window::Mmio)
            << "a primary adapter is initialized by its BIOS, not by the driver";
    }
}

// --- Start-up order and the PCI start ---------------------------------------------------------------

// The platform starts the device (discovery), enumerates its children, and calls HwInitialize only
// when the display driver first opens the device; a request is one through an open device.
TEST(StartUpOrder, HwInitializeWaitsForTheFirstOpenAndRunsOnce) {
    for (bool explicitOpen : {true, false}) {
        Machine machine(OneAdapter(Device(5)));
        machine.Boot();
        ASSERT_TRUE(machine.Adapter(0).started);
        EXPECT_FALSE(machine.Adapter(0).initializeRan);
        EXPECT_EQ(machine.MonitorId(0), MonitorWithEdidId) << "children are enumerated after the start";
        for (const sim::TraceEntry& entry : machine.Trace()) {
            EXPECT_FALSE(entry.write && entry.window == sim::Window::Io && entry.name == "pipeline")
                << "the display reset sequence ran before the device was opened";
        }
        machine.ClearTrace();
        if (explicitOpen) EXPECT_TRUE(machine.OpenDevice(0));
        else machine.Request(IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, {}, 8);
        EXPECT_TRUE(machine.Adapter(0).opened);
        ASSERT_FALSE(machine.Trace().empty());
        EXPECT_EQ(machine.Trace().front().name, "pipeline") << "HwInitialize comes first";
        machine.ClearTrace();
        EXPECT_TRUE(machine.OpenDevice(0));
        EXPECT_TRUE(machine.Trace().empty()) << "a later open runs nothing";
    }
}

struct PciStartCase {
    const char* name;
    const char* board;    // the second board; both share its pcistart reading
};

void PrintTo(const PciStartCase& value, std::ostream* out) { *out << value.name; }

class PciStart : public testing::TestWithParam<PciStartCase> {};

// A board beside the primary, with its own option ROM, started under either reading of the bus
// driver's start: one no BIOS has run on is brought up as a secondary whatever its decoding (its
// memory controller set up by the driver at discovery, no BIOS call made for it), and the drawn
// test pattern reaches its screen.
TEST_P(PciStart, BoardNoBiosRanOnIsBroughtUpAsASecondary) {
    const PciStartCase& c = GetParam();
    const AdapterConfig board = Board(c.board);
    MachineConfig config;
    config.adapters = {Device(5), board};
    config.adapters[0].pciStartEnables = board.pciStartEnables;
    Machine machine(config);
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(1).started);
    EXPECT_EQ(static_cast<const AdapterState*>(machine.Extension(1))->isSecondary, board.secondary ? 1 : 0);
    EXPECT_EQ(machine.Adapter(1).commandAtDiscovery & 3, board.secondary && !board.pciStartEnables ? 0 : 3);
    bool refreshSetUp = false;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        refreshSetUp |= entry.adapter == 1 && entry.write && entry.name == "reg_20" && entry.value == 0x49E;
    }
    EXPECT_EQ(refreshSetUp, board.secondary) << "the memory controller is set up at discovery";

    machine.ClearTrace();
    sim::ModeSetResult set = sim::SetMode(machine, 1, sim::ParseModeRequest("640x480x24@60"));
    ASSERT_EQ(set.status, 0u);
    sim::FrameBufferMapping mapping = sim::MapFrameBuffer(machine, 1);
    std::string error;
    ASSERT_TRUE(sim::DrawThroughMapping(machine, 1, mapping, set.mode, &error)) << error;
    size_t biosCalls = 0;
    for (const sim::TraceEntry& entry : machine.Trace()) biosCalls += entry.adapter == 1 && entry.window == sim::Window::Bios;
    EXPECT_EQ(biosCalls > 0, !board.secondary) << "only a board whose own BIOS ran sets modes through it";
    sim::Image image = sim::RenderScreen(machine.ChipOf(1), machine.VideoMemory(1));
    size_t off = 0;
    for (unsigned y = 0; y < 480; ++y) {
        for (unsigned x = 0; x < 640; ++x) off += image.At(x, y) != sim::PatternColour(x, y, 640, 480);
    }
    EXPECT_EQ(off, 0u) << "pixels off the pattern";
    for (const sim::Fault& fault : machine.DriverFaults()) ADD_FAILURE() << fault.message;
}

INSTANTIATE_TEST_SUITE_P(
    Starts, PciStart,
    testing::Values(PciStartCase{"PrimaryKept", "device=4,memory=8,pcistart=keep"},
                    PciStartCase{"PrimaryEnabled", "device=4,memory=8,pcistart=enable"},
                    PciStartCase{"SecondaryKept", "device=4,memory=8,secondary,pcistart=keep"},
                    PciStartCase{"SecondaryEnabled", "device=4,memory=8,secondary,pcistart=enable"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PrimaryBringUp, HwInitializeRunsOnlyTheDisplayResetAndTheClocks) {
    Machine machine(OneAdapter(Device(5)));
    machine.Boot();
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (!entry.write || entry.window == sim::Window::Config) continue;
        EXPECT_NE(entry.name, "reg_20") << "the chip initialization sequence ran";
        EXPECT_NE(entry.name, "dram_init0");
        EXPECT_NE(entry.name, "graphics_clock");
    }
}

TEST(DisplayReset, HwInitializeClearsTheDisplayRegistersThroughTheIoWindow) {
    Machine machine(OneAdapter(Device(5)));
    machine.ChipOf(0).Poke(0x5C, 0xFFFFFFFF);
    machine.ChipOf(0).Poke(0x2C, 0x12345678);
    machine.ChipOf(0).Poke(0x28, 0xFFFFFFFF);
    machine.ChipOf(0).Poke(0x4C, 0xFFFFFFFF);
    machine.ChipOf(0).MutableVga().crtc[0x1A] = 0xFF;
    machine.ChipOf(0).MutableVga().crtc[0x1B] = 0xFF;
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    sim::Chip& chip = machine.ChipOf(0);
    EXPECT_EQ(chip.Peek(0x5C), 0u);
    EXPECT_EQ(chip.Peek(0x2C), 0u);
    EXPECT_EQ(chip.Peek(0x28), 0xFFFFEFFFu);
    EXPECT_EQ(chip.Peek(0x4C), 0xFFFFFFE0u);
    EXPECT_EQ(chip.Vga().crtc[0x1A], 0);
    EXPECT_EQ(chip.Vga().crtc[0x1B], 0);
    EXPECT_EQ(chip.Peek(Reg14) & 1, 1u);

    std::vector<std::string> resetOrder;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.window == sim::Window::Io && entry.write) resetOrder.emplace_back(entry.name);
    }
    std::vector<std::string> expected = {"pipeline", "reg_2c", "reg_28", "output_control", "crtc[1a]", "crtc[1b]", "pipeline"};
    EXPECT_EQ(resetOrder, expected);
}

// --- Clocks -------------------------------------------------------------------------------------

struct ClockCase {
    uint16_t device;
    uint32_t mhz;
    bool applied;
    uint32_t pll;
};

class GraphicsClocking : public testing::TestWithParam<ClockCase> {};

TEST_P(GraphicsClocking, AppliesOnlyInsideTheDeviceRange) {
    AdapterConfig adapter = Device(GetParam().device);
    adapter.secondary = true;   // a known clock before HwInitialize applies the registry's
    Machine machine(OneAdapter(adapter));
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "GraphicsClocking", GetParam().mhz);
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    uint32_t initial = GetParam().device == 3 ? 0x2805 : Device45Table143;
    EXPECT_EQ(machine.ChipOf(0).Peek(GraphicsClock), GetParam().applied ? GetParam().pll : initial);
}

INSTANTIATE_TEST_SUITE_P(Edges, GraphicsClocking,
                         testing::Values(ClockCase{3, 49, false, 0}, ClockCase{3, 50, true, Device3Table50},
                                         ClockCase{3, 169, true, Device3Table169}, ClockCase{3, 170, false, 0},
                                         ClockCase{4, 30, false, 0}, ClockCase{4, 31, true, 0x0B05},
                                         ClockCase{5, 219, true, 0x5A05}, ClockCase{5, 220, false, 0},
                                         ClockCase{5, 100, true, 0x2805}, ClockCase{5, 0, false, 0},
                                         ClockCase{5, 0xFFFFFFFF, false, 0}),
                         [](const testing::TestParamInfo<ClockCase>& info) {
                             return "Device" + std::to_string(info.param.device) + "At" + std::to_string(info.param.mhz);
                         });

struct MemClockCase {
    uint32_t mhz;
    bool version10001;
    uint32_t bit14Before;
    uint32_t bit14After;
    uint32_t pll;   // 0: the register keeps what the BIOS left there
};

class MemClocking : public testing::TestWithParam<MemClockCase> {};

TEST_P(MemClocking, FollowsThe105MegahertzRuleUnlessTheBiosIsVersion10001) {
    AdapterConfig adapter = Device(3);
    if (!GetParam().version10001) adapter.romImage = Rom(64, 32768, {{0x40, "Version 1.10 x"}, {0x100, maker}});
    Machine machine(OneAdapter(adapter));
    machine.ChipOf(0).Poke(DramInit1, GetParam().bit14Before);
    uint32_t before = machine.ChipOf(0).Peek(MemoryClock);
    machine.GetRegistry().SetDword(Machine::DeviceKey(0), "MemClocking", GetParam().mhz);
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    EXPECT_EQ(machine.ChipOf(0).Peek(DramInit1) & 0x4000, GetParam().bit14After);
    EXPECT_EQ(machine.ChipOf(0).Peek(MemoryClock), GetParam().pll ? GetParam().pll : before);
}

INSTANTIATE_TEST_SUITE_P(Rule, MemClocking,
                         testing::Values(MemClockCase{105, false, 0, 0x4000, Device3Table105},
                                         MemClockCase{106, false, 0x4000, 0, Device3Table106},
                                         MemClockCase{106, false, 0, 0, Device3Table106},
                                         MemClockCase{105, false, 0x4000, 0x4000, Device3Table105},
                                         MemClockCase{106, true, 0x4000, 0x4000, Device3Table106},
                                         MemClockCase{105, true, 0, 0, Device3Table105},
                                         MemClockCase{49, false, 0, 0, 0}, MemClockCase{50, false, 0, 0x4000, Device3Table50},
                                         MemClockCase{169, false, 0x4000, 0, Device3Table169},
                                         MemClockCase{170, false, 0x4000, 0x4000, 0}),
                         [](const testing::TestParamInfo<MemClockCase>& info) {
                             return "At" + std::to_string(info.param.mhz) + (info.param.version10001 ? "WithBios10001" : "") +
                                    (info.param.bit14Before ? "Bit14Set" : "Bit14Clear");
                         });

// A board without an option ROM has no version 1.00.01 BIOS to manage bit 14: the driver's rule applies.
TEST(MemClockingWithoutRom, FollowsThe105MegahertzRule) {
    for (uint32_t mhz : {105u, 106u}) {
        SCOPED_TRACE(mhz);
        AdapterConfig adapter = Device(3);
        adapter.hasRom = false;
        Machine machine(OneAdapter(adapter));
        machine.ChipOf(0).Poke(DramInit1, mhz == 105 ? 0 : 0x4000);
        machine.GetRegistry().SetDword(Machine::DeviceKey(0), "MemClocking", mhz);
        machine.Boot();
        machine.OpenDevice(0);   // the display driver's session: HwInitialize
        EXPECT_EQ(machine.ChipOf(0).Peek(DramInit1) & 0x4000, mhz == 105 ? 0x4000u : 0u);
        EXPECT_EQ(machine.ChipOf(0).Peek(MemoryClock), mhz == 105 ? Device3Table105 : Device3Table106);
    }
}

TEST(MemClockingOnOtherDevices, HasNoEffect) {
    for (uint16_t device : {4, 5}) {
        AdapterConfig adapter = Device(device);
        adapter.romImage = Rom(64, 32768, {{0x40, "Version 1.10 x"}, {0x100, maker}});
        Machine machine(OneAdapter(adapter));
        machine.ChipOf(0).Poke(DramInit1, 0);
        uint32_t before = machine.ChipOf(0).Peek(MemoryClock);
        machine.GetRegistry().SetDword(Machine::DeviceKey(0), "MemClocking", 105);
        machine.Boot();
        EXPECT_EQ(machine.ChipOf(0).Peek(MemoryClock), before);
        EXPECT_EQ(machine.ChipOf(0).Peek(DramInit1) & 0x4000, 0u);
    }
}

}  // namespace
