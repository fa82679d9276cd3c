// What the monitor shows after the driver sets a mode: the test pattern drawn at the mode's stride,
// decoded from the chip's registers alone and compared pixel by pixel; the timing of every entry.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "display.h"
#include "clients/display_driver.h"
#include "machine/machine.h"
#include "support/png_writer.h"
#include "devices/scanout.h"
#include "clients/test_pattern.h"

namespace {

using sim::AdapterConfig;
using sim::Machine;
using sim::MachineConfig;

MachineConfig Config(const AdapterConfig& adapter) {
    MachineConfig config;
    config.adapters = {adapter};
    return config;
}

AdapterConfig DirectAdapter() {
    AdapterConfig adapter;
    adapter.hasRom = false;
    return adapter;
}

// A gamma ramp that tells the components apart: red inverted, green halved, blue squared down.
std::vector<uint8_t> DistinctGamma() {
    std::vector<uint8_t> ramp(1024);
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = (255 - i) << 16 | (i / 2) << 8 | (i * i / 255);
        for (int b = 0; b < 4; ++b) ramp[4 * i + b] = static_cast<uint8_t>(value >> (8 * b));
    }
    return ramp;
}

uint32_t ThroughGamma(uint32_t colour, bool distinct) {
    if (!distinct) return colour;
    uint32_t r = colour >> 16 & 0xFF, g = colour >> 8 & 0xFF, b = colour & 0xFF;
    return (255 - r) << 16 | (g / 2) << 8 | (b * b / 255);
}

struct ScreenCase {
    const char* name;
    AdapterConfig adapter;
    const char* mode;
    bool distinctGamma;
};

class Screenshot : public testing::TestWithParam<ScreenCase> {};

TEST_P(Screenshot, ShowsThePatternPixelByPixel) {
    const ScreenCase& c = GetParam();
    Machine machine(Config(c.adapter));
    if (c.distinctGamma) machine.GetRegistry().SetValue(Machine::DeviceKey(0), "GammaTable", 3, DistinctGamma());
    machine.Boot();
    sim::ModeRequest request = sim::ParseModeRequest(c.mode);
    sim::ModeSetResult set = sim::SetMode(machine, 0, request);
    ASSERT_TRUE(set.offered);
    ASSERT_EQ(set.status, 0u);
    const VIDEO_MODE_INFORMATION& mode = set.mode;
    std::string error;
    ASSERT_TRUE(sim::DrawTestPattern(machine.VideoMemory(0), mode.VisScreenWidth, mode.VisScreenHeight,
                                     mode.BitsPerPlane, mode.ScreenStride, &error))
        << error;

    sim::DisplayState display = sim::DecodeDisplay(machine.ChipOf(0), machine.VideoMemory(0).size());
    EXPECT_TRUE(display.problems.empty()) << display.problems.front();
    EXPECT_EQ(display.width, request.width);
    EXPECT_EQ(display.height, request.height);
    EXPECT_EQ(display.bitsPerPixel, request.bitsPerPixel);

    // Written and read back as a PNG, as a person would look at it.
    std::string path = testing::TempDir() + "screen_" + c.name + ".png";
    sim::Image rendered = sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0));
    ASSERT_TRUE(sim::WritePng(path, rendered, &error)) << error;
    sim::Image image;
    ASSERT_TRUE(sim::ReadPng(path, &image, &error)) << error;
    std::remove(path.c_str());

    unsigned lines = display.lineDoubled ? 2 : 1;
    ASSERT_EQ(image.width, request.width);
    ASSERT_EQ(image.height, request.height * lines);
    unsigned mismatches = 0;
    for (unsigned y = 0; y < image.height && mismatches < 5; ++y) {
        for (unsigned x = 0; x < image.width && mismatches < 5; ++x) {
            uint32_t value = sim::PatternValue(x, y / lines, request.width, request.height, request.bitsPerPixel);
            // The driver loads the identity palette: index i shows grey i.
            uint32_t colour = request.bitsPerPixel == 8 ? value * 0x010101u : value;
            uint32_t expected = ThroughGamma(colour, c.distinctGamma);
            if (image.At(x, y) != expected) {
                ++mismatches;
                ADD_FAILURE() << "pixel " << x << "," << y << ": 0x" << std::hex << image.At(x, y) << " expected 0x"
                              << expected;
            }
        }
    }
}

AdapterConfig BiosAdapter() { return AdapterConfig{}; }

INSTANTIATE_TEST_SUITE_P(
    Modes, Screenshot,
    testing::Values(ScreenCase{"Palette8", DirectAdapter(), "640x480x8@60", false},
                    ScreenCase{"HighColour16", DirectAdapter(), "800x600x16@75", true},
                    ScreenCase{"TrueColour24", DirectAdapter(), "1024x768x24@85", true},
                    ScreenCase{"TrueColour32", DirectAdapter(), "1152x864x32@75", false},
                    ScreenCase{"ScanDoubled320x240", DirectAdapter(), "320x240x8@60", true},
                    ScreenCase{"Stride2048", DirectAdapter(), "1024x768x16@70", false},
                    ScreenCase{"DoubleClock1600", DirectAdapter(), "1600x1200x16@85", false},
                    ScreenCase{"ThroughTheBios", BiosAdapter(), "800x600x24@60", true}),
    [](const testing::TestParamInfo<ScreenCase>& info) { return std::string(info.param.name); });

// --- Timings of every entry -----------------------------------------------------------------------

TEST(Timings, EveryDirectEntryDecodesToItsResolutionAndOnly320x240At72MissesItsRate) {
    Machine machine(Config(DirectAdapter()));
    machine.Boot();
    zarnsim::Json json = zarnsim::TimingsJson(machine, 0);
    // The report lists every row; the flagged ones say why.
    ASSERT_EQ(json["timings"].size(), 158u);
    std::vector<std::string> reasons;
    for (const zarnsim::Json& row : json["timings"]) {
        if (row["flagged"].get<bool>()) reasons.push_back(row["reason"].get<std::string>());
    }
    ASSERT_EQ(reasons.size(), 2u);
    bool rate7281 = false;
    for (const std::string& reason : reasons) {
        EXPECT_EQ(reason.find("decodes to"), std::string::npos) << reason;
        rate7281 = rate7281 || reason.find("refreshes at 72.81 Hz") != std::string::npos;
    }
    EXPECT_TRUE(rate7281);
}

TEST(Timings, TableEntriesThatValidationDroppedAreListedAsNotOffered) {
    AdapterConfig adapter = DirectAdapter();
    adapter.memoryMiB = 4;
    Machine machine(Config(adapter));
    machine.Boot();
    std::string text = zarnsim::TimingsText(machine, 0);
    EXPECT_NE(text.find("132 modes measured"), std::string::npos) << text;
    size_t notOffered = 0;
    for (size_t at = text.find("not offered"); at != std::string::npos; at = text.find("not offered", at + 1)) ++notOffered;
    EXPECT_EQ(notOffered, 158u - 132u);
}

TEST(Timings, ModeSetReportCarriesModeAndTiming) {
    Machine machine(Config(DirectAdapter()));
    machine.Boot();
    zarnsim::Json json = zarnsim::ShowModeJson(machine, 0, "640x480x8@60", "");
    EXPECT_EQ(json["mode"], zarnsim::Json::parse(R"({"width": 640, "height": 480, "bitsPerPixel": 8, "refreshHz": 60,
                                                    "screenStride": 640})"))
        << zarnsim::DumpJson(json);
    EXPECT_EQ(json["timing"]["hsyncPolarity"], "-");
    EXPECT_EQ(json["timing"]["vsyncPolarity"], "-");
    EXPECT_THROW(zarnsim::ShowModeJson(machine, 0, "641x480x8@60", ""), std::runtime_error);
    EXPECT_THROW(zarnsim::ShowModeJson(machine, 0, "640x480", ""), std::invalid_argument);
}

}  // namespace
