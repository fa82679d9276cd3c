// The request entry: which control codes are answered, what a requester gets back for those the
// dispatcher serves itself, and that nothing else is served.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "clients/display_driver.h"
#include "dispatch/served_codes.h"
#include "driver_faults.h"
#include "machine/machine.h"

namespace {

constexpr uint32_t Sentinel = 0x5A5A5A5A;

bool IsServed(uint32_t code) {
    return std::any_of(std::begin(ServedCodes), std::end(ServedCodes), [&](const ServedCode& s) { return s.code == code; });
}

uint32_t VideoCode(uint32_t function, uint32_t method = METHOD_BUFFERED, uint32_t access = FILE_ANY_ACCESS,
                   uint32_t device = FILE_DEVICE_VIDEO) {
    return device << 16 | access << 14 | function << 2 | method;
}

// A board without a video BIOS unless the test says otherwise.
sim::MachineConfig CheckedConfig(sim::AdapterConfig adapter = Board("rom=none")) {
    sim::MachineConfig config;
    config.adapters = {adapter};
    config.checkAliasing = true;
    return config;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", value);
    return text;
}

// --- Codes that are not served ----------------------------------------------------------------

TEST(UnservedRequests, TheDriversOwnGapsAreRefusedWithInformationUntouched) {
    std::vector<uint32_t> codes = {0x233F5C};                               // function 0xFD7
    for (uint32_t function = 0xFDD; function <= 0xFFC; ++function) codes.push_back(VideoCode(function));
    ASSERT_EQ(codes[1], 0x233F74u);
    ASSERT_EQ(codes.back(), 0x233FF0u);

    sim::Machine machine(CheckedConfig());
    machine.Boot();
    sim::RequestOptions options;
    options.presetInformation = Sentinel;
    for (uint32_t code : codes) {
        sim::RequestResult r = machine.Request(code, std::vector<uint8_t>(16, 0xEE), 64, options);
        EXPECT_EQ(r.status, 1u) << Hex(code);
        EXPECT_EQ(r.information, Sentinel) << Hex(code);
        EXPECT_TRUE(r.output.empty()) << Hex(code);
    }
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

// Every other video function number, and codes that differ from a served one only in method,
// access or device type: the code is matched exactly, never decoded.
TEST(UnservedRequests, EveryOtherCodeIsRefusedWithInformationUntouched) {
    std::vector<uint32_t> codes;
    for (uint32_t function = 0; function <= 0xFFF; ++function) {
        uint32_t code = VideoCode(function);
        if (!IsServed(code)) codes.push_back(code);
    }
    ASSERT_EQ(codes.size(), 4096u - std::size(ServedCodes));
    for (const ServedCode& served : ServedCodes) {
        uint32_t function = (served.code >> 2) & 0xFFF;
        for (uint32_t method = 1; method <= 3; ++method) codes.push_back(VideoCode(function, method));
        codes.push_back(VideoCode(function, METHOD_BUFFERED, 1));
        codes.push_back(VideoCode(function, METHOD_BUFFERED, 3));
        codes.push_back(VideoCode(function, METHOD_BUFFERED, FILE_ANY_ACCESS, 0x22));
        codes.push_back(VideoCode(function, METHOD_BUFFERED, FILE_ANY_ACCESS, 0x8023));
    }
    codes.push_back(0);
    codes.push_back(0xFFFFFFFF);

    sim::Machine machine(CheckedConfig());
    machine.Boot();
    sim::RequestOptions options;
    options.presetInformation = Sentinel;
    int wrong = 0;
    for (uint32_t code : codes) {
        sim::RequestResult r = machine.Request(code, {1, 2, 3, 4, 5, 6, 7, 8}, 32, options);
        if (r.status != 1 || r.information != Sentinel || !r.output.empty()) {
            ADD_FAILURE() << Hex(code) << " answered status " << r.status << ", Information " << r.information;
            if (++wrong == 20) break;
        }
    }
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

// --- Requests the dispatcher answers itself ---------------------------------------------------

struct DirectRequest {
    const char* name;
    uint32_t code;
    uint32_t inputLength;
    uint32_t outputLength;
    uint32_t presetInformation;
    uint32_t status;
    uint32_t information;
    std::vector<uint8_t> output;
    std::vector<uint8_t> input = {};   // empty: inputLength bytes of 0xEE
};

void PrintTo(const DirectRequest& value, std::ostream* out) { *out << value.name; }

class DispatcherAnswers : public ::testing::TestWithParam<DirectRequest> {};

TEST_P(DispatcherAnswers, WithTheDocumentedStatusInformationAndOutput) {
    const DirectRequest& q = GetParam();
    sim::Machine machine(CheckedConfig(Board("device=5,revision=1,rom=none")));
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    sim::RequestOptions options;
    options.presetInformation = q.presetInformation;
    std::vector<uint8_t> input = q.input.empty() ? std::vector<uint8_t>(q.inputLength, 0xEE) : q.input;
    sim::RequestResult r = machine.Request(q.code, input, q.outputLength, options);
    EXPECT_EQ(r.status, q.status);
    EXPECT_EQ(r.information, q.information);
    EXPECT_EQ(r.output, q.output);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

const std::vector<uint8_t> identity5 = {0x5D, 0x1A, 0x05, 0x00, 0x01, 0x00, 0x00, 0x00};
const std::vector<uint8_t> noBiosVersion(32, 0);

INSTANTIATE_TEST_SUITE_P(
    Requests, DispatcherAnswers,
    ::testing::Values(
        DirectRequest{"VideoParametersWithEmptyBuffers", IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS, 0, 0, 0, 0, 0, {}},
        DirectRequest{"VideoParametersWithBuffers", IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS, 64, 64, 0, 0, 0, {}},
        // What the port placed in Information is not kept: the port would copy that many bytes the
        // driver never wrote.
        DirectRequest{"VideoParametersReportNoOutput", IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS, 0, 64, 7, 0, 0, {}},
        DirectRequest{"SetPowerManagementIsRefused", IOCTL_VIDEO_SET_POWER_MANAGEMENT, 12, 0, Sentinel, 1, Sentinel, {}},
        DirectRequest{"SetPowerManagementEmpty", IOCTL_VIDEO_SET_POWER_MANAGEMENT, 0, 0, Sentinel, 1, Sentinel, {}},
        DirectRequest{"GetPowerManagementWritesNothing", IOCTL_VIDEO_GET_POWER_MANAGEMENT, 12, 12, Sentinel, 0, 0, {}},
        DirectRequest{"GetPowerManagementEmpty", IOCTL_VIDEO_GET_POWER_MANAGEMENT, 0, 0, Sentinel, 0, 0, {}},
        DirectRequest{"AdapterIdWithoutBuffer", IOCTL_VIDEO_QUERY_ADAPTER_ID, 0, 0, Sentinel, 122, 8, {}},
        DirectRequest{"AdapterIdSevenBytes", IOCTL_VIDEO_QUERY_ADAPTER_ID, 0, 7, Sentinel, 122, 8, {}},
        DirectRequest{"AdapterIdEightBytes", IOCTL_VIDEO_QUERY_ADAPTER_ID, 0, 8, 0, 0, 8, identity5},
        DirectRequest{"AdapterIdEightBytesOverInput", IOCTL_VIDEO_QUERY_ADAPTER_ID, 8, 8, 0, 0, 8, identity5},
        DirectRequest{"AdapterIdLargerBuffer", IOCTL_VIDEO_QUERY_ADAPTER_ID, 0, 64, 0, 0, 8, identity5},
        DirectRequest{"BiosVersionWithoutBuffer", IOCTL_VIDEO_QUERY_BIOS_VERSION, 0, 0, Sentinel, 122, 32, {}},
        DirectRequest{"BiosVersion31Bytes", IOCTL_VIDEO_QUERY_BIOS_VERSION, 0, 31, Sentinel, 122, 32, {}},
        DirectRequest{"BiosVersion32Bytes", IOCTL_VIDEO_QUERY_BIOS_VERSION, 0, 32, 0, 0, 32, noBiosVersion},
        DirectRequest{"BiosVersionOverInput", IOCTL_VIDEO_QUERY_BIOS_VERSION, 40, 32, 0, 0, 32, noBiosVersion},
        DirectRequest{"BiosVersionLargerBuffer", IOCTL_VIDEO_QUERY_BIOS_VERSION, 0, 100, 0, 0, 32, noBiosVersion},
        // Colour and the settings relay reach their handlers, which check their own buffers.
        DirectRequest{"ColourRegistersWithoutInput", IOCTL_VIDEO_SET_COLOR_REGISTERS, 0, 0, Sentinel, 122, Sentinel, {}},
        DirectRequest{"GammaTableShortInput", IOCTL_VIDEO_SET_GAMMA_TABLE, 1023, 0, Sentinel, 122, 1024, {}},
        DirectRequest{"GetGammaTableShortOutput", IOCTL_VIDEO_GET_GAMMA_TABLE, 0, 1023, Sentinel, 122, 1024, {}},
        DirectRequest{"ReadSettingShortOutput", IOCTL_VIDEO_READ_SETTING, 8, 1031, Sentinel, 122, 1032, {}},
        DirectRequest{"WriteSettingShortInput", IOCTL_VIDEO_WRITE_SETTING, 75, 0, Sentinel, 122, 0, {}},
        // Memory mapping: the size checks, in their order, and Information where it is set first.
        DirectRequest{"MapVideoMemory15BytesOut", IOCTL_VIDEO_MAP_VIDEO_MEMORY, 4, 15, Sentinel, 122, 16, {}},
        DirectRequest{"MapVideoMemoryNoInput", IOCTL_VIDEO_MAP_VIDEO_MEMORY, 3, 16, Sentinel, 122, 16, {}},
        DirectRequest{"UnmapVideoMemoryNoInput", IOCTL_VIDEO_UNMAP_VIDEO_MEMORY, 3, 0, Sentinel, 122, Sentinel, {}},
        DirectRequest{"PublicRanges23BytesOut", IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES, 0, 23, Sentinel, 122, 24, {}},
        DirectRequest{"FreePublicRanges7BytesIn", IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES, 7, 0, Sentinel, 122, 8, {}},
        // Nothing to free and no output to report.
        DirectRequest{"FreePublicRangesNeverHandedOut", IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES, 8, 0, Sentinel, 0, 0, {}},
        DirectRequest{"Share11BytesOut", IOCTL_VIDEO_SHARE_VIDEO_MEMORY, 16, 11, Sentinel, 122, Sentinel, {}},
        DirectRequest{"Share11BytesIn", IOCTL_VIDEO_SHARE_VIDEO_MEMORY, 11, 12, Sentinel, 122, Sentinel, {}},
        DirectRequest{"Unshare15BytesIn", IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY, 15, 0, Sentinel, 122, Sentinel, {}},
        DirectRequest{"MapApertures3BytesIn", IOCTL_VIDEO_MAP_APERTURES, 3, 24, Sentinel, 122, Sentinel, {}},
        DirectRequest{"MapApertures23BytesOut", IOCTL_VIDEO_MAP_APERTURES, 4, 23, Sentinel, 122, 24, {}},
        DirectRequest{"UnmapApertures11BytesIn", IOCTL_VIDEO_UNMAP_APERTURES, 11, 0, Sentinel, 122, Sentinel, {}},
        DirectRequest{"UnmapAperturesWithoutRegisterView", IOCTL_VIDEO_UNMAP_APERTURES, 12, 0, Sentinel, 87, Sentinel,
                      {}, std::vector<uint8_t>{0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xFF, 0xFF, 0xFF, 0xFF}},
        DirectRequest{"FindMapping7BytesOut", IOCTL_VIDEO_FIND_MAPPING, 4, 7, Sentinel, 122, 8, {}},
        DirectRequest{"FindMappingNoInput", IOCTL_VIDEO_FIND_MAPPING, 3, 8, Sentinel, 122, 8, {}},
        DirectRequest{"FindMappingOfNothingRecorded", IOCTL_VIDEO_FIND_MAPPING, 4, 8, Sentinel, 87, 8, {}},
        DirectRequest{"Allocate3BytesIn", IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, 3, 4, Sentinel, 122, Sentinel, {}},
        DirectRequest{"Allocate3BytesOut", IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, 4, 3, Sentinel, 122, 4, {}},
        DirectRequest{"AllocateNothing", IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, 4, 4, Sentinel, 0, 4, {0, 0, 0, 0},
                      std::vector<uint8_t>{0, 0, 0, 0}},
        DirectRequest{"MapPhysicalPages7BytesIn", IOCTL_VIDEO_MAP_PHYSICAL_PAGES, 7, 4, Sentinel, 122, Sentinel, {}},
        DirectRequest{"MapPhysicalPages3BytesOut", IOCTL_VIDEO_MAP_PHYSICAL_PAGES, 8, 3, Sentinel, 122, 4, {}},
        DirectRequest{"MapPhysicalPagesOfNoBlock", IOCTL_VIDEO_MAP_PHYSICAL_PAGES, 8, 4, Sentinel, 0, 4, {0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

struct Identity {
    uint16_t device;
    uint8_t revision;
};

class AdapterIdentityRecord : public ::testing::TestWithParam<Identity> {};

TEST_P(AdapterIdentityRecord, ReportsTheVendorDeviceAndRevisionFromConfigurationSpace) {
    sim::AdapterConfig adapter = Board("rom=none");
    adapter.deviceId = GetParam().device;
    adapter.revision = GetParam().revision;
    sim::Machine machine(CheckedConfig(adapter));
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    sim::RequestResult r = machine.Request(IOCTL_VIDEO_QUERY_ADAPTER_ID, {}, 8);
    ASSERT_EQ(r.status, 0u);
    ASSERT_EQ(r.output.size(), 8u);
    const sim::PciFunction& pci = machine.PciOf(0);
    EXPECT_EQ(r.output[0] | r.output[1] << 8, pci.ReadWord(0x00));
    EXPECT_EQ(r.output[0] | r.output[1] << 8, 0x1A5D);
    EXPECT_EQ(r.output[2] | r.output[3] << 8, GetParam().device);
    EXPECT_EQ(sim::Dword(r.output, 4), GetParam().revision);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

INSTANTIATE_TEST_SUITE_P(Devices, AdapterIdentityRecord,
                         ::testing::Values(Identity{3, 0}, Identity{4, 0x10}, Identity{5, 0xFF}),
                         [](const auto& info) {
                             return "Device" + std::to_string(info.param.device) + "Revision" +
                                    std::to_string(info.param.revision);
                         });

// The adapter identity of one adapter is its own, not that of the first one found.
TEST(AdapterIdentityRecord, EachAdapterAnswersWithItsOwnIdentity) {
    sim::MachineConfig config = CheckedConfig(Board("device=5,revision=2,rom=none"));
    config.adapters.push_back(Board("device=3,revision=7,secondary"));
    sim::Machine machine(config);
    machine.Boot();
    for (int i : {0, 1}) {
        sim::RequestOptions options;
        options.adapter = i;
        sim::RequestResult r = machine.Request(IOCTL_VIDEO_QUERY_ADAPTER_ID, {}, 8, options);
        ASSERT_EQ(r.output.size(), 8u) << "adapter " << i;
        EXPECT_EQ(r.output[2], i == 0 ? 5 : 3) << "adapter " << i;
        EXPECT_EQ(r.output[4], i == 0 ? 2 : 7) << "adapter " << i;
    }
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

// The version text that follows "Version " at a 4-byte-aligned offset of a ROM image, as 32
// bytes with the last one 0; all zeros when there is none.
std::vector<uint8_t> VersionRecordOf(const std::vector<uint8_t>& rom) {
    static const char marker[] = "Version ";
    std::vector<uint8_t> record(32, 0);
    for (size_t at = 0; at + 8 + 31 <= rom.size(); at += 4) {
        if (std::equal(marker, marker + 8, rom.begin() + static_cast<long>(at))) {
            std::copy(rom.begin() + static_cast<long>(at + 8), rom.begin() + static_cast<long>(at + 8 + 31),
                      record.begin());
            break;
        }
    }
    return record;
}

struct BiosBoard {
    const char* name;
    const char* board;   // as zarnsim's --adapter describes it
};

void PrintTo(const BiosBoard& value, std::ostream* out) { *out << value.name; }

class BiosVersionRecord : public ::testing::TestWithParam<BiosBoard> {};

TEST_P(BiosVersionRecord, IsTheVersionTextOfTheBoardsRom) {
    const sim::AdapterConfig adapter = Board(GetParam().board);
    sim::Machine machine(CheckedConfig(adapter));
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    std::vector<uint8_t> expected = VersionRecordOf(machine.RomImage(0));
    if (adapter.hasRom) {
        EXPECT_NE(expected[0], 0) << "the board's ROM carries no version text";
    }
    sim::RequestResult r = machine.Request(IOCTL_VIDEO_QUERY_BIOS_VERSION, {}, 32);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.information, 32u);
    EXPECT_EQ(r.output, expected);
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

INSTANTIATE_TEST_SUITE_P(Boards, BiosVersionRecord,
                         ::testing::Values(BiosBoard{"WithoutRom", "rom=none"}, BiosBoard{"PrimaryWithRom", "rom=builtin"},
                                           BiosBoard{"SecondaryWithRom", "rom=builtin,secondary"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Requests answered without touching the chip leave no hardware access behind.
TEST(DispatcherAnswers, QueriesTouchNoRegister) {
    sim::Machine machine(CheckedConfig());
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    machine.ClearTrace();
    for (uint32_t code : std::initializer_list<uint32_t>{IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, IOCTL_VIDEO_QUERY_AVAIL_MODES,
                          IOCTL_VIDEO_QUERY_CURRENT_MODE, IOCTL_VIDEO_QUERY_ADAPTER_ID,
                          IOCTL_VIDEO_QUERY_BIOS_VERSION, IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS,
                          IOCTL_VIDEO_GET_POWER_MANAGEMENT, IOCTL_VIDEO_SET_POWER_MANAGEMENT, 0x233F5Cu}) {
        machine.Request(code, {}, 158 * 80);
    }
    EXPECT_TRUE(machine.Trace().empty());
    EXPECT_TRUE(machine.DriverFaults().empty()) << Faults(machine);
}

}  // namespace
