// The palette and the gamma ramps as the DAC and the screen show them: palette requests of every
// shape, the display driver's palette on an 8-bit mode, a ramp set by an application, fetched back,
// and kept across a restart.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "clients/display_driver.h"
#include "clients/test_pattern.h"
#include "devices/scanout.h"
#include "dispatch/control_codes.h"
#include "kernel/regfile.h"
#include "machine/machine.h"
#include "driver_faults.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t DacIndex = 0x50;
constexpr uint32_t DacData = 0x54;
constexpr uint32_t GammaBase = 256;

sim::MachineConfig Config() {
    sim::AdapterConfig adapter;
    adapter.hasRom = false;
    sim::MachineConfig config;
    config.adapters = {adapter};
    config.checkAliasing = true;
    return config;
}

// Writes a DAC entry as any other party could, to see what a request puts back.
void Disturb(sim::Machine& machine, uint32_t entry, uint32_t colour) {
    bool known = false;
    machine.ChipOf(0).WriteRegister(DacIndex, entry, &known);
    machine.ChipOf(0).WriteRegister(DacData, colour, &known);
}

std::vector<uint32_t> Ramp(uint32_t (*entry)(uint32_t)) {
    std::vector<uint32_t> ramp(256);
    for (uint32_t i = 0; i < 256; ++i) ramp[i] = entry(i);
    return ramp;
}

uint32_t Identity(uint32_t i) { return i * 0x010101u; }
uint32_t Inverse(uint32_t i) { return (255 - i) * 0x010101u; }
// The inverse ramp with a top byte the registry configuration masks off at the next start.
uint32_t InverseTagged(uint32_t i) { return 0xAB000000u | Inverse(i); }

Bytes BytesOf(const std::vector<uint32_t>& words) { return sim::BytesOf(words.data(), words.size() * 4); }

std::vector<uint32_t> Masked(const Bytes& ramp) {
    std::vector<uint32_t> words(ramp.size() / 4);
    for (size_t i = 0; i < words.size(); ++i) words[i] = sim::Dword(ramp, 4 * i) & 0xFFFFFF;
    return words;
}

std::vector<uint32_t> GammaInDac(sim::Machine& machine) {
    std::vector<uint32_t> ramp(256);
    for (uint32_t i = 0; i < 256; ++i) ramp[i] = machine.ChipOf(0).DacEntry(GammaBase + i);
    return ramp;
}

uint32_t ThroughRamp(uint32_t colour, const std::vector<uint32_t>& ramp) {
    return (ramp[colour >> 16 & 0xFF] & 0xFF0000) | (ramp[colour >> 8 & 0xFF] & 0xFF00) | (ramp[colour & 0xFF] & 0xFF);
}

// --- Palette requests -----------------------------------------------------------------------------

struct PaletteCase {
    const char* name;
    uint32_t count;      // NumEntries
    uint32_t first;      // FirstEntry
    uint32_t entries;    // entries actually supplied
    int lengthDelta;     // added to 4 + 4 x entries
    uint32_t status;
};

class PaletteRequest : public testing::TestWithParam<PaletteCase> {};

TEST_P(PaletteRequest, WritesExactlyTheEntriesItNames) {
    const PaletteCase& c = GetParam();
    sim::Machine machine(Config());
    machine.Boot();
    std::vector<uint32_t> before(512);
    for (uint32_t i = 0; i < 512; ++i) before[i] = machine.ChipOf(0).DacEntry(i);
    Disturb(machine, GammaBase + 7, 0x123456);

    Bytes clut = {static_cast<uint8_t>(c.count), static_cast<uint8_t>(c.count >> 8), static_cast<uint8_t>(c.first),
                  static_cast<uint8_t>(c.first >> 8)};
    for (uint32_t k = 0; k < c.entries; ++k) clut.insert(clut.end(), {static_cast<uint8_t>(k + 1), 0x22, 0x33, 0x99});
    clut.resize(static_cast<size_t>(static_cast<int>(clut.size()) + c.lengthDelta));
    sim::RequestOptions options;
    options.presetInformation = 0;
    sim::RequestResult r = machine.Request(IOCTL_VIDEO_SET_COLOR_REGISTERS, clut, 0, options);
    EXPECT_EQ(r.status, c.status);

    for (uint32_t i = 0; i < 256; ++i) {
        bool written = c.status == 0 && i >= c.first && i < c.first + c.count;
        uint32_t expected = written ? ((i - c.first + 1) & 0xFF) << 16 | 0x2233 : before[i];
        EXPECT_EQ(machine.ChipOf(0).DacEntry(i), expected) << "palette entry " << i;
    }
    // After a palette change the gamma half holds the adapter's ramp again; a refusal touches nothing.
    EXPECT_EQ(machine.ChipOf(0).DacEntry(GammaBase + 7), c.status == 0 ? Identity(7) : 0x123456u);
    EXPECT_EQ(Faults(machine), "");
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, PaletteRequest,
    testing::Values(PaletteCase{"NoEntries", 0, 0, 1, 0, 87}, PaletteCase{"LastEntry", 1, 255, 1, 0, 0},
                    PaletteCase{"PastTheLastEntry", 2, 255, 2, 0, 87}, PaletteCase{"FirstEntry256", 1, 256, 1, 0, 87},
                    PaletteCase{"FourFrom16", 4, 16, 4, 0, 0}, PaletteCase{"AllEntries", 256, 0, 256, 0, 0},
                    PaletteCase{"OneByteShort", 4, 16, 4, -1, 122}, PaletteCase{"HeadOnly", 1, 0, 0, 0, 122},
                    PaletteCase{"ShorterThanTheHead", 1, 0, 0, -1, 122}),
    [](const testing::TestParamInfo<PaletteCase>& info) { return std::string(info.param.name); });

// Each entry is the DAC's four accesses: index, index read back, data, index read back.
TEST(PaletteRequest, WritesEachEntryWithItsFourAccesses) {
    sim::Machine machine(Config());
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    machine.ClearTrace();
    ASSERT_EQ(sim::SetPalette(machine, 0, 40, {0x010203}), 0u);
    std::vector<std::string> accesses;
    for (size_t i = 0; i < 4; ++i) {
        const sim::TraceEntry& e = machine.Trace().at(i);
        accesses.push_back(std::string(e.write ? "W " : "R ") + std::string(e.name) + " " + std::to_string(e.value));
    }
    EXPECT_EQ(accesses,
              (std::vector<std::string>{"W dac_index 40", "R dac_index 40", "W dac_data 66051", "R dac_index 40"}));
    EXPECT_EQ(machine.Trace().size(), 4u + 256u * 4u);
}

// --- What the screen shows ------------------------------------------------------------------------

struct ScreenCase {
    const char* name;
    const char* mode;
    uint32_t (*ramp)(uint32_t);
};

class ColourScreen : public testing::TestWithParam<ScreenCase> {};

// The display driver sets its palette on an 8-bit mode and draws with it; an application's ramp
// then changes every colour on the screen.
TEST_P(ColourScreen, ShowsThePaletteThroughTheRamp) {
    const ScreenCase& c = GetParam();
    sim::Machine machine(Config());
    machine.Boot();
    sim::ModeSetResult set = sim::SetMode(machine, 0, sim::ParseModeRequest(c.mode));
    ASSERT_TRUE(set.offered);
    ASSERT_EQ(set.status, 0u);
    const VIDEO_MODE_INFORMATION& mode = set.mode;
    std::vector<uint32_t> palette = sim::DisplayDriverPalette();
    bool indexed = mode.BitsPerPlane == 8;
    if (indexed) {
        ASSERT_EQ(sim::SetPalette(machine, 0, 0, palette), 0u);
    }
    std::vector<uint32_t> ramp = Ramp(c.ramp);
    ASSERT_EQ(sim::SetGammaRamp(machine, 0, ramp), 0u);
    ASSERT_TRUE(sim::DrawTestPattern(machine.VideoMemory(0), mode.VisScreenWidth, mode.VisScreenHeight, mode.BitsPerPlane,
                                     mode.ScreenStride, nullptr, indexed ? &palette : nullptr));

    sim::Image image = sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0));
    ASSERT_EQ(image.width, mode.VisScreenWidth);
    unsigned mismatches = 0;
    std::map<uint32_t, uint32_t> shown;   // what each of the pattern's colours shows as
    for (unsigned y = 0; y < image.height; ++y) {
        for (unsigned x = 0; x < image.width; ++x) {
            uint32_t colour = sim::PatternColour(x, y, image.width, image.height);
            auto known = shown.find(colour);
            if (known == shown.end()) {
                uint32_t drawn = indexed ? palette[sim::NearestPaletteIndex(colour, palette)] : colour;
                known = shown.emplace(colour, ThroughRamp(drawn, ramp)).first;
            }
            uint32_t expected = known->second;
            if (image.At(x, y) != expected && ++mismatches <= 3) {
                ADD_FAILURE() << x << "," << y << ": " << std::hex << image.At(x, y) << " expected " << expected;
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(Faults(machine), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, ColourScreen,
                         testing::Values(ScreenCase{"PaletteIdentityRamp", "640x480x8@60", Identity},
                                         ScreenCase{"PaletteInverseRamp", "800x600x8@75", Inverse},
                                         ScreenCase{"TrueColourInverseRamp", "640x480x32@60", Inverse}),
                         [](const testing::TestParamInfo<ScreenCase>& info) { return std::string(info.param.name); });

// A ramp set through the request is stored as "GammaTable", top bytes and all, and is back in the
// DAC (which keeps 24 bits of each entry) after a restart.
TEST(GammaRamp, SurvivesARestart) {
    std::string saved;
    {
        sim::Machine machine(Config());
        machine.Boot();
        ASSERT_EQ(sim::SetGammaRamp(machine, 0, Ramp(InverseTagged)), 0u);
        EXPECT_EQ(GammaInDac(machine), Ramp(Inverse));
        saved = sim::SaveRegFile(machine.GetRegistry());
        EXPECT_EQ(Faults(machine), "");
    }
    sim::Machine restarted(Config());
    std::string error;
    ASSERT_TRUE(sim::LoadRegFile(saved, restarted.GetRegistry(), &error)) << error;
    restarted.Boot();
    ASSERT_EQ(sim::SetMode(restarted, 0, sim::ParseModeRequest("640x480x32@60")).status, 0u);
    EXPECT_EQ(GammaInDac(restarted), Ramp(Inverse));
    const sim::RegValue* stored = restarted.GetRegistry().GetValue(sim::Machine::DeviceKey(0), "GammaTable");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->data, BytesOf(Ramp(InverseTagged)));
}

// --- Fetching the stored ramp ---------------------------------------------------------------------

struct FetchCase {
    const char* name;
    Bytes stored;           // what "GammaTable" holds (empty: removed)
    uint32_t outputLength;
    uint32_t status;
};

class GammaFetch : public testing::TestWithParam<FetchCase> {};

// The stored ramp goes to the caller and becomes the adapter's ramp, which the DAC shows after the
// next palette change; a failed fetch changes nothing.
TEST_P(GammaFetch, ReturnsTheStoredRampAndAdoptsIt) {
    const FetchCase& c = GetParam();
    sim::Machine machine(Config());
    machine.Boot();
    ASSERT_EQ(sim::SetGammaRamp(machine, 0, Ramp(Inverse)), 0u);
    sim::Registry& registry = machine.GetRegistry();
    if (c.stored.empty()) {
        registry.DeleteValue(sim::Machine::DeviceKey(0), "GammaTable");
    } else {
        registry.SetValue(sim::Machine::DeviceKey(0), "GammaTable", 3, c.stored);
    }
    sim::RequestOptions options;
    options.presetInformation = 0;
    sim::RequestResult r = machine.Request(IOCTL_VIDEO_GET_GAMMA_TABLE, {}, c.outputLength, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, 1024u);
    EXPECT_EQ(r.output, c.status == 0 ? c.stored : Bytes{});
    EXPECT_EQ(GammaInDac(machine), Ramp(Inverse)) << "the fetch does not load the DAC";

    ASSERT_EQ(sim::SetPalette(machine, 0, 0, {0}), 0u);
    EXPECT_EQ(GammaInDac(machine), c.status == 0 ? Masked(c.stored) : Ramp(Inverse));
    EXPECT_EQ(Faults(machine), "");
}

INSTANTIATE_TEST_SUITE_P(
    Stored, GammaFetch,
    testing::Values(FetchCase{"AnotherRamp", BytesOf(Ramp(Identity)), 1024, 0},
                    FetchCase{"RampWithTopBytes", BytesOf(Ramp(InverseTagged)), 1024, 0},
                    FetchCase{"IntoALargerBuffer", BytesOf(Ramp(Identity)), 4096, 0},
                    FetchCase{"OutputOf1023", BytesOf(Ramp(Identity)), 1023, 122},
                    FetchCase{"ValueRemoved", {}, 1024, 87},
                    FetchCase{"ValueOfFourBytes", {1, 2, 3, 4}, 1024, 87},
                    FetchCase{"ValueOf1025Bytes", Bytes(1025, 1), 1024, 87}),
    [](const testing::TestParamInfo<FetchCase>& info) { return std::string(info.param.name); });

// A short ramp changes nothing; a ramp set reports no output, only the size it needs when refused.
TEST(GammaRamp, ShortInputChangesNothing) {
    sim::Machine machine(Config());
    machine.Boot();
    std::string registry = sim::SaveRegFile(machine.GetRegistry());
    std::vector<uint32_t> dac = GammaInDac(machine);
    sim::RequestOptions options;
    options.presetInformation = 0;
    sim::RequestResult shortRamp = machine.Request(IOCTL_VIDEO_SET_GAMMA_TABLE, Bytes(1023, 0), 0, options);
    EXPECT_EQ(shortRamp.status, 122u);
    EXPECT_EQ(shortRamp.information, 1024u);
    EXPECT_EQ(GammaInDac(machine), dac);
    EXPECT_EQ(sim::SaveRegFile(machine.GetRegistry()), registry);

    sim::RequestResult set = machine.Request(IOCTL_VIDEO_SET_GAMMA_TABLE, BytesOf(Ramp(Inverse)), 16, options);
    EXPECT_EQ(set.status, 0u);
    EXPECT_EQ(set.information, 0u);
    EXPECT_EQ(Faults(machine), "");
}

}  // namespace
