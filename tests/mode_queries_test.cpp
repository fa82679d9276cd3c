// What the display driver is offered: the modes that fit each memory size, the records of the
// mode queries, the buffer-size answers of the three queries, and adapters that do not share what
// they offer.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "clients/display_driver.h"
#include "driver_faults.h"
#include "machine/machine.h"
#include "modes/mode_tables.h"

namespace {

constexpr uint32_t Sentinel = 0x5A5A5A5A;
constexpr uint32_t RecordSize = sizeof(VIDEO_MODE_INFORMATION);

sim::MachineConfig ConfigWith(std::vector<sim::AdapterConfig> adapters) {
    sim::MachineConfig config;
    config.adapters = std::move(adapters);
    config.checkAliasing = true;
    return config;
}

// A primary adapter without a video BIOS, or a secondary one: both have their modes programmed
// directly and offer the direct table.
// A primary board without a video BIOS, of this much memory.
sim::AdapterConfig AdapterWith(uint32_t memoryMiB) { return Board("rom=none,memory=" + std::to_string(memoryMiB)); }

std::vector<VIDEO_MODE_INFORMATION> OfferedModes(sim::Machine& machine, int adapter) {
    sim::ModeList list = sim::QueryModes(machine, adapter);
    EXPECT_EQ(list.status, 0u) << "mode queries of adapter " << adapter;
    return list.modes;
}

std::vector<uint8_t> BytesOfModes(const std::vector<VIDEO_MODE_INFORMATION>& modes) {
    return sim::BytesOf(modes.data(), modes.size() * RecordSize);
}

std::vector<uint8_t> RequestBytes(uint32_t size, uint8_t value) { return std::vector<uint8_t>(size, value); }

ULONG BytesNeeded(const ModeInfoEntry& info) {
    const VIDEO_MODE_INFORMATION& m = info.modeInfo;
    return m.BitsPerPlane * m.VisScreenWidth * m.VisScreenHeight / 8;
}

const ModeInfoEntry* InfoFor(const ModeSelectorEntry& entry) {
    for (const ModeInfoEntry& info : modeInfoTable) {
        if (info.modeInfo.BitsPerPlane == entry.bitsPerPixel && info.modeInfo.VisScreenWidth == entry.width &&
            info.modeInfo.VisScreenHeight == entry.height) {
            return &info;
        }
    }
    return nullptr;
}

// Checks one record against the entry at its ModeIndex in the selector table in use.
void ExpectRecordOfCatalogueEntry(const VIDEO_MODE_INFORMATION& record,
                                  const ModeSelectorEntry* table = directSelectorTable) {
    SCOPED_TRACE("ModeIndex " + std::to_string(record.ModeIndex));
    ULONG entries = 0;
    while (table[entries].bitsPerPixel != 0) ++entries;
    ASSERT_LT(record.ModeIndex, entries);
    const ModeSelectorEntry& entry = table[record.ModeIndex];
    EXPECT_EQ(record.Length, 80u);
    EXPECT_EQ(record.VisScreenWidth, entry.width);
    EXPECT_EQ(record.VisScreenHeight, entry.height);
    EXPECT_EQ(record.BitsPerPlane, entry.bitsPerPixel);
    EXPECT_EQ(record.Frequency, entry.refreshRate);
    EXPECT_EQ(record.ScreenStride, entry.width * entry.bitsPerPixel / 8);
    EXPECT_EQ(record.NumberOfPlanes, 1u);
    EXPECT_EQ(record.XMillimeter, 320u);
    EXPECT_EQ(record.YMillimeter, 240u);
    EXPECT_EQ(record.NumberRedBits, 8u);
    EXPECT_EQ(record.NumberGreenBits, 8u);
    EXPECT_EQ(record.NumberBlueBits, 8u);
    EXPECT_EQ(record.VideoMemoryBitmapWidth, 0u);
    EXPECT_EQ(record.VideoMemoryBitmapHeight, 0u);
    switch (record.BitsPerPlane) {
    case 8:
        EXPECT_EQ(record.RedMask | record.GreenMask | record.BlueMask, 0u);
        EXPECT_EQ(record.AttributeFlags, 0x0Fu);
        break;
    case 16:
        EXPECT_EQ(record.RedMask, 0xF800u);
        EXPECT_EQ(record.GreenMask, 0x07E0u);
        EXPECT_EQ(record.BlueMask, 0x001Fu);
        EXPECT_EQ(record.AttributeFlags, 0x03u);
        break;
    default:
        EXPECT_EQ(record.RedMask, 0xFF0000u);
        EXPECT_EQ(record.GreenMask, 0x00FF00u);
        EXPECT_EQ(record.BlueMask, 0x0000FFu);
        EXPECT_EQ(record.AttributeFlags, 0x03u);
        break;
    }
    bool scanDoubled = record.VisScreenWidth <= 512;
    EXPECT_EQ(record.DriverSpecificAttributeFlags, scanDoubled ? 0x80000001u : 0u);
}

// --- Memory size ------------------------------------------------------------------------------

// The memory type strap (set apart from the size: the strap wins over size bits that disagree).
enum class MemoryType { Standard, Alternative };

struct MemoryCase {
    const char* name;
    uint32_t memoryMiB;
    MemoryType type;
    std::optional<uint32_t> dramInit0;   // strap bits forced before the machine starts
    uint32_t memorySize;                 // what the adapter reports
    uint32_t offered;
};

void PrintTo(const MemoryCase& value, std::ostream* out) { *out << value.name; }

class OfferedModesBySize : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(OfferedModesBySize, AreExactlyTheModesThatFitInVideoMemory) {
    const MemoryCase& c = GetParam();
    sim::AdapterConfig adapter = AdapterWith(c.memoryMiB);
    adapter.altMemory = c.type == MemoryType::Alternative;
    sim::Machine machine(ConfigWith({adapter}));
    if (c.dramInit0) machine.ChipOf(0).Poke(0x18, *c.dramInit0);
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);

    std::vector<VIDEO_MODE_INFORMATION> modes = OfferedModes(machine, 0);
    EXPECT_EQ(modes.size(), c.offered);

    // Walking the catalogue: an entry is offered exactly when it fits, at its own position.
    size_t next = 0;
    for (ULONG i = 0; i < DirectSelectorCount; ++i) {
        const ModeInfoEntry* info = InfoFor(directSelectorTable[i]);
        ASSERT_NE(info, nullptr);
        bool fits = BytesNeeded(*info) <= c.memorySize;
        bool offered = next < modes.size() && modes[next].ModeIndex == i;
        EXPECT_EQ(offered, fits) << "ModeIndex " << i;
        if (offered) ExpectRecordOfCatalogueEntry(modes[next++]);
    }
    EXPECT_EQ(next, modes.size()) << "records out of ModeIndex order";

    const sim::RegValue* size =
        machine.GetRegistry().GetValue(sim::Machine::DeviceKey(0), "HardwareInformation.MemorySize");
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->type, sim::regtype::Binary);
    ASSERT_EQ(size->data.size(), 4u);
    EXPECT_EQ(sim::Dword(size->data, 0), c.memorySize);
    EXPECT_TRUE(machine.DriverFaults().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Straps, OfferedModesBySize,
    ::testing::Values(MemoryCase{"FourMegabytes", 4, MemoryType::Standard, {}, 0x400000, 132},
                      MemoryCase{"EightMegabytes", 8, MemoryType::Standard, {}, 0x800000, 154},
                      MemoryCase{"SixteenMegabytes", 16, MemoryType::Standard, {}, 0x1000000, 158},
                      MemoryCase{"AlternativeMemoryType", 16, MemoryType::Alternative, {}, 0x1000000, 158},
                      MemoryCase{"AlternativeMemoryStrapWinsOverSizeBits", 4, MemoryType::Alternative, {}, 0x1000000, 158},
                      MemoryCase{"OnlySizeBit26GivesEightMegabytes", 4, MemoryType::Standard, 0x04000000, 0x800000, 154},
                      MemoryCase{"OnlySizeBit27GivesEightMegabytes", 4, MemoryType::Standard, 0x08000000, 0x800000, 154},
                      MemoryCase{"BothSizeBitsGiveSixteenMegabytes", 4, MemoryType::Standard, 0x0C000000, 0x1000000, 158},
                      MemoryCase{"NoSizeBitsGiveFourMegabytes", 16, MemoryType::Standard, 0x00000000, 0x400000, 132}),
    [](const auto& info) { return std::string(info.param.name); });

// Which table is offered depends on how modes will be set: through the video BIOS only on a
// primary adapter whose BIOS carries the maker's text and when direct programming is not forced.
enum class ModeSetPath { Direct, Bios };

struct PathCase {
    const char* name;
    const char* board;                           // as zarnsim's --adapter describes it, memory aside
    std::optional<uint32_t> useNonBiosModeSet;   // registry value, when present
    ModeSetPath path;
};

void PrintTo(const PathCase& value, std::ostream* out) { *out << value.name; }

class ModesOfferedByPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ModesOfferedByPath, AreTheEntriesOfTheTableInUseThatFitAndCanBeSet) {
    const PathCase& c = GetParam();
    for (uint32_t memoryMiB : {4u, 8u, 16u}) {
        SCOPED_TRACE(std::to_string(memoryMiB) + " MB");
        sim::Machine machine(ConfigWith({Board(std::string(c.board) + ",memory=" + std::to_string(memoryMiB))}));
        if (c.useNonBiosModeSet) {
            machine.GetRegistry().SetDword(sim::Machine::DeviceKey(0), "UseNonBIOSModeSet", *c.useNonBiosModeSet);
        }
        machine.Boot();
        ASSERT_TRUE(machine.Adapter(0).started);
        std::vector<VIDEO_MODE_INFORMATION> modes = OfferedModes(machine, 0);

        const ModeSelectorEntry* table = c.path == ModeSetPath::Bios ? biosSelectorTable : directSelectorTable;
        const ULONG memory = memoryMiB << 20;
        size_t next = 0;
        for (ULONG i = 0; table[i].bitsPerPixel != 0; ++i) {
            const ModeInfoEntry* info = InfoFor(table[i]);
            ASSERT_NE(info, nullptr);
            bool settable = c.path != ModeSetPath::Bios || info->vesaMode != 0 || info->vesaModeAlt != 0;
            bool expected = settable && BytesNeeded(*info) <= memory;
            bool offered = next < modes.size() && modes[next].ModeIndex == i;
            EXPECT_EQ(offered, expected) << "ModeIndex " << i;
            if (offered) ExpectRecordOfCatalogueEntry(modes[next++], table);
        }
        EXPECT_EQ(next, modes.size()) << "records out of ModeIndex order";
        if (c.path == ModeSetPath::Bios) {
            EXPECT_EQ(modes.size(), 51u);
        } else {
            EXPECT_EQ(modes.size(), memoryMiB == 4 ? 132u : memoryMiB == 8 ? 154u : 158u);
        }
        EXPECT_TRUE(machine.DriverFaults().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Adapters, ModesOfferedByPath,
    ::testing::Values(PathCase{"PrimaryWithoutVideoBios", "rom=none", {}, ModeSetPath::Direct},
                      PathCase{"PrimaryWithVideoBios", "rom=builtin", {}, ModeSetPath::Bios},
                      PathCase{"PrimaryWithVideoBiosAndDirectProgrammingOff", "rom=builtin", 0, ModeSetPath::Bios},
                      PathCase{"PrimaryWithVideoBiosAndDirectProgrammingForced", "rom=builtin", 1, ModeSetPath::Direct},
                      PathCase{"SecondaryWithVideoBios", "rom=builtin,secondary", {}, ModeSetPath::Direct},
                      PathCase{"SecondaryIgnoresDirectProgrammingOff", "rom=builtin,secondary", 0, ModeSetPath::Direct}),
    [](const auto& info) { return std::string(info.param.name); });

struct EdgeMode {
    uint32_t memoryMiB;
    ULONG width, height, bits;
    bool offered;
    ULONG firstIndex;   // ModeIndex of its lowest rate, the same at every memory size
};

class ModeAtTheMemoryLimit : public ::testing::TestWithParam<EdgeMode> {};

TEST_P(ModeAtTheMemoryLimit, IsOfferedOnlyWhenItFitsAndKeepsItsIndex) {
    const EdgeMode& e = GetParam();
    sim::Machine machine(ConfigWith({AdapterWith(e.memoryMiB)}));
    machine.Boot();
    std::vector<ULONG> indices;
    for (const VIDEO_MODE_INFORMATION& m : OfferedModes(machine, 0)) {
        if (m.VisScreenWidth == e.width && m.VisScreenHeight == e.height && m.BitsPerPlane == e.bits) {
            indices.push_back(m.ModeIndex);
        }
    }
    if (!e.offered) {
        EXPECT_TRUE(indices.empty());
        return;
    }
    ASSERT_FALSE(indices.empty());
    EXPECT_EQ(indices.front(), e.firstIndex);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ModeAtTheMemoryLimit,
    ::testing::Values(EdgeMode{8, 1920, 1440, 24, true, 130}, EdgeMode{8, 1920, 1440, 32, false, 0},
                      EdgeMode{8, 1600, 1200, 32, true, 99}, EdgeMode{8, 1792, 1344, 32, false, 0},
                      EdgeMode{4, 1024, 768, 32, true, 43}, EdgeMode{4, 1152, 864, 32, true, 67},
                      EdgeMode{4, 1280, 1024, 32, false, 0}, EdgeMode{4, 1280, 1024, 24, true, 82},
                      EdgeMode{4, 1600, 1200, 16, true, 97}, EdgeMode{4, 1792, 1344, 16, false, 0},
                      EdgeMode{4, 1280, 1024, 8, true, 80}, EdgeMode{4, 512, 384, 16, true, 149}),
    [](const auto& info) {
        const EdgeMode& e = info.param;
        return std::to_string(e.width) + "x" + std::to_string(e.height) + "x" + std::to_string(e.bits) + "In" +
               std::to_string(e.memoryMiB) + "MB";
    });

// --- Buffer sizes of the queries --------------------------------------------------------------

struct QuerySize {
    const char* name;
    uint32_t code;
    int64_t outputDelta;     // output length relative to what the query needs
    uint32_t status;
    bool noBuffer = false;   // no output buffer at all
};

void PrintTo(const QuerySize& value, std::ostream* out) { *out << value.name; }

class ModeQueryBufferSize : public ::testing::TestWithParam<QuerySize> {};

// A requester that gets 122 learns the size to supply; one that supplies it gets exactly that
// many bytes back.
TEST_P(ModeQueryBufferSize, AnswersTheNeededSizeAndFillsOnlyAnAdequateBuffer) {
    const QuerySize& q = GetParam();
    for (uint32_t memoryMiB : {4u, 16u}) {
        SCOPED_TRACE(std::to_string(memoryMiB) + " MB");
        sim::Machine machine(ConfigWith({AdapterWith(memoryMiB)}));
        machine.Boot();
        uint32_t offered = memoryMiB == 4 ? 132 : 158;
        uint32_t needed = q.code == IOCTL_VIDEO_QUERY_AVAIL_MODES ? offered * RecordSize : 8;
        int64_t length = q.noBuffer ? 0 : static_cast<int64_t>(needed) + q.outputDelta;
        ASSERT_GE(length, 0);

        sim::RequestOptions options;
        options.presetInformation = Sentinel;
        sim::RequestResult r = machine.Request(q.code, RequestBytes(24, 0xEE), static_cast<uint32_t>(length), options);
        EXPECT_EQ(r.status, q.status);
        EXPECT_EQ(r.information, needed);
        if (q.status != 0) {
            EXPECT_TRUE(r.output.empty());
        } else if (q.code == IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES) {
            ASSERT_EQ(r.output.size(), 8u);
            EXPECT_EQ(sim::Dword(r.output, 0), offered);
            EXPECT_EQ(sim::Dword(r.output, 4), RecordSize);
        } else {
            ASSERT_EQ(r.output.size(), needed);
            for (uint32_t i = 0; i < offered; ++i) {
                VIDEO_MODE_INFORMATION record;
                std::memcpy(&record, r.output.data() + i * RecordSize, RecordSize);
                ExpectRecordOfCatalogueEntry(record);
            }
        }
        EXPECT_TRUE(machine.DriverFaults().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ModeQueryBufferSize,
    ::testing::Values(QuerySize{"ModeListExactSize", IOCTL_VIDEO_QUERY_AVAIL_MODES, 0, 0},
                      QuerySize{"ModeListLargerBuffer", IOCTL_VIDEO_QUERY_AVAIL_MODES, 81, 0},
                      QuerySize{"ModeListOneByteShort", IOCTL_VIDEO_QUERY_AVAIL_MODES, -1, 122},
                      QuerySize{"ModeListOneRecordShort", IOCTL_VIDEO_QUERY_AVAIL_MODES, -80, 122},
                      QuerySize{"ModeListNoBuffer", IOCTL_VIDEO_QUERY_AVAIL_MODES, 0, 122, true},
                      QuerySize{"ModeCountExactSize", IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, 0, 0},
                      QuerySize{"ModeCountLargerBuffer", IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, 8, 0},
                      QuerySize{"ModeCountOneByteShort", IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, -1, 122},
                      QuerySize{"ModeCountNoBuffer", IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, 0, 122, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct CurrentModeCase {
    uint32_t outputLength;
    uint32_t status;
    uint32_t information;
};

class CurrentModeBeforeAnyModeSet : public ::testing::TestWithParam<CurrentModeCase> {};

TEST_P(CurrentModeBeforeAnyModeSet, IsRefusedWithoutWritingAnything) {
    const CurrentModeCase& c = GetParam();
    sim::Machine machine(ConfigWith({AdapterWith(16)}));
    machine.Boot();
    sim::RequestOptions options;
    options.presetInformation = Sentinel;
    sim::RequestResult r =
        machine.Request(IOCTL_VIDEO_QUERY_CURRENT_MODE, RequestBytes(16, 0xEE), c.outputLength, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    EXPECT_TRUE(r.output.empty());
    EXPECT_TRUE(machine.DriverFaults().empty());
}

INSTANTIATE_TEST_SUITE_P(Lengths, CurrentModeBeforeAnyModeSet,
                         ::testing::Values(CurrentModeCase{0, 122, 80}, CurrentModeCase{79, 122, 80},
                                           CurrentModeCase{80, 1, 0}, CurrentModeCase{200, 1, 0}),
                         [](const auto& info) { return "Output" + std::to_string(info.param.outputLength); });

std::vector<uint8_t> ModeIndexInput(uint32_t index) {
    return {static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index >> 16),
            static_cast<uint8_t>(index >> 24)};
}

class CurrentModeAfterAModeSet : public ::testing::TestWithParam<uint32_t> {};

// The record reports the rate of the mode that was set; ModeIndex is not filled in.
TEST_P(CurrentModeAfterAModeSet, ReportsTheModeAndItsRate) {
    const ModeSelectorEntry& entry = directSelectorTable[GetParam()];
    sim::Machine machine(ConfigWith({AdapterWith(16)}));
    machine.Boot();
    sim::RequestResult set = machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, ModeIndexInput(GetParam()), 0);
    ASSERT_EQ(set.status, 0u);

    sim::RequestOptions options;
    options.presetInformation = Sentinel;
    sim::RequestResult shortBuffer = machine.Request(IOCTL_VIDEO_QUERY_CURRENT_MODE, {}, 79, options);
    EXPECT_EQ(shortBuffer.status, 122u);
    EXPECT_EQ(shortBuffer.information, 80u);

    sim::RequestResult r = machine.Request(IOCTL_VIDEO_QUERY_CURRENT_MODE, {}, 80, options);
    ASSERT_EQ(r.status, 0u);
    EXPECT_EQ(r.information, 80u);
    ASSERT_EQ(r.output.size(), 80u);
    VIDEO_MODE_INFORMATION mode;
    std::memcpy(&mode, r.output.data(), sizeof mode);
    EXPECT_EQ(mode.Length, 80u);
    EXPECT_EQ(mode.ModeIndex, 0u);
    EXPECT_EQ(mode.VisScreenWidth, entry.width);
    EXPECT_EQ(mode.VisScreenHeight, entry.height);
    EXPECT_EQ(mode.BitsPerPlane, entry.bitsPerPixel);
    EXPECT_EQ(mode.Frequency, entry.refreshRate);
    EXPECT_EQ(mode.ScreenStride, entry.width * entry.bitsPerPixel / 8);
    EXPECT_EQ(mode.VideoMemoryBitmapWidth, entry.width);
    EXPECT_EQ(mode.VideoMemoryBitmapHeight, 0x1000000u / mode.ScreenStride);
    EXPECT_TRUE(machine.DriverFaults().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, CurrentModeAfterAModeSet, ::testing::Values(0u, 115u, 134u, 157u),
                         [](const auto& info) { return "ModeIndex" + std::to_string(info.param); });

// --- Several adapters -------------------------------------------------------------------------

struct Layout {
    const char* name;
    std::vector<sim::AdapterConfig> adapters;
    std::vector<size_t> offered;
};

void PrintTo(const Layout& value, std::ostream* out) { *out << value.name; }

class AdaptersInOneMachine : public ::testing::TestWithParam<Layout> {};

TEST_P(AdaptersInOneMachine, EachOffersWhatItOffersWhenBootedAlone) {
    const Layout& layout = GetParam();
    sim::Machine machine(ConfigWith(layout.adapters));
    machine.Boot();
    for (size_t i = 0; i < layout.adapters.size(); ++i) {
        SCOPED_TRACE("adapter " + std::to_string(i));
        ASSERT_TRUE(machine.Adapter(static_cast<int>(i)).started);
        std::vector<VIDEO_MODE_INFORMATION> together = OfferedModes(machine, static_cast<int>(i));
        EXPECT_EQ(together.size(), layout.offered[i]);

        sim::Machine alone(ConfigWith({layout.adapters[i]}));
        alone.Boot();
        EXPECT_EQ(BytesOfModes(together), BytesOfModes(OfferedModes(alone, 0)));
    }
    EXPECT_TRUE(machine.DriverFaults().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, AdaptersInOneMachine,
    ::testing::Values(
        Layout{"SixteenPrimaryFourSecondary", {AdapterWith(16), Board("secondary,memory=4")}, {158, 132}},
        Layout{"FourPrimarySixteenSecondary", {AdapterWith(4), Board("secondary,memory=16")}, {132, 158}},
        Layout{"FourAdaptersOfMixedSizes",
               {AdapterWith(8), Board("secondary,memory=16"), Board("secondary,memory=4"), Board("secondary,memory=16")},
               {154, 158, 132, 158}}),
    [](const auto& info) { return std::string(info.param.name); });

// A mode set records the bitmap size in the mode's record of that adapter only: every rate of
// the mode shows it from then on, and another adapter's list does not change.
TEST(AdaptersInOneMachine, ModeSetOnOneAdapterLeavesTheOthersListAlone) {
    sim::Machine machine(ConfigWith({AdapterWith(16), Board("secondary,memory=16")}));
    machine.Boot();
    const std::vector<uint8_t> secondBefore = BytesOfModes(OfferedModes(machine, 1));
    ASSERT_EQ(machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, ModeIndexInput(115), 0).status, 0u);

    size_t rates = 0;
    for (const VIDEO_MODE_INFORMATION& m : OfferedModes(machine, 0)) {
        bool setMode = m.VisScreenWidth == 1600 && m.VisScreenHeight == 1200 && m.BitsPerPlane == 32;
        rates += setMode;
        EXPECT_EQ(m.VideoMemoryBitmapWidth, setMode ? 1600u : 0u) << "ModeIndex " << m.ModeIndex;
        EXPECT_EQ(m.VideoMemoryBitmapHeight, setMode ? 0x1000000u / 6400 : 0u) << "ModeIndex " << m.ModeIndex;
    }
    EXPECT_EQ(rates, 5u);

    EXPECT_EQ(BytesOfModes(OfferedModes(machine, 1)), secondBefore);
    sim::RequestOptions second;
    second.adapter = 1;
    EXPECT_EQ(machine.Request(IOCTL_VIDEO_QUERY_CURRENT_MODE, {}, 80, second).status, 1u);
    EXPECT_TRUE(machine.DriverFaults().empty());
}

// The software pointer is a per-adapter setting: asking for it on one adapter must not make the
// display driver of another draw its pointer in software.
TEST(AdaptersInOneMachine, SoftwarePointerOfOneAdapterStaysWithIt) {
    for (int withPointer : {0, 1}) {
        SCOPED_TRACE("software pointer asked for on adapter " + std::to_string(withPointer));
        sim::Machine machine(ConfigWith({AdapterWith(16), Board("secondary,memory=16")}));
        machine.GetRegistry().SetDword(sim::Machine::DeviceKey(withPointer), "UseSoftwareCursor", 1);
        machine.Boot();
        int other = 1 - withPointer;
        ASSERT_TRUE(machine.Adapter(withPointer).started);
        ASSERT_TRUE(machine.Adapter(other).started);
        for (const VIDEO_MODE_INFORMATION& m : OfferedModes(machine, withPointer)) {
            EXPECT_EQ(m.DriverSpecificAttributeFlags & 1u, 1u) << "ModeIndex " << m.ModeIndex;
        }
        for (const VIDEO_MODE_INFORMATION& m : OfferedModes(machine, other)) {
            if (m.VisScreenWidth > 512) {
                EXPECT_EQ(m.DriverSpecificAttributeFlags, 0u) << "ModeIndex " << m.ModeIndex;
            }
        }
    }
}

}  // namespace
