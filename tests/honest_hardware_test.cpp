// Where the board and the driver can disagree, the simulated hardware shows it: a video BIOS that
// loads its own timing, double-clock controls out of step, a memory controller that claims memory
// the board lacks, and the timings check that compares what is shown with what is reported.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "clients/display_driver.h"
#include "clients/test_pattern.h"
#include "devices/scanout.h"
#include "display.h"
#include "machine/machine.h"

namespace {

sim::MachineConfig OneAdapter(const sim::AdapterConfig& adapter) {
    sim::MachineConfig config;
    config.adapters = {adapter};
    return config;
}

sim::DisplayState Shown(sim::Machine& machine) {
    return sim::DecodeDisplay(machine.ChipOf(0), machine.VideoMemory(0).size());
}

bool HasProblem(const sim::DisplayState& state, const std::string& words) {
    for (const std::string& problem : state.problems) {
        if (problem.find(words) != std::string::npos) return true;
    }
    return false;
}

// Every offered mode of the BIOS path, set in turn: how many show a refresh more than 1% from the
// one the driver reports, and how many have the double-clock controls out of step.
TEST(BiosTimingRule, ABiosThatLoadsItsOwnTimingShowsSixtyHertzWhateverTheDriverReports) {
    struct Case {
        const char* name;
        sim::BiosConfig::Timing timing;
        bool expectOff;   // some offered rate other than 60 Hz is shown at 60 Hz
    };
    for (const Case& c : {Case{"keep", sim::BiosConfig::Timing::Keep, false}, Case{"own", sim::BiosConfig::Timing::Own, true}}) {
        SCOPED_TRACE(c.name);
        sim::AdapterConfig adapter;
        adapter.bios.timing = c.timing;
        sim::Machine machine(OneAdapter(adapter));
        machine.Boot();
        unsigned off = 0, outOfStep = 0, measured = 0;
        for (const VIDEO_MODE_INFORMATION& mode : sim::QueryModes(machine, 0).modes) {
            ASSERT_EQ(sim::SetModeByIndex(machine, 0, mode.ModeIndex).status, 0u);
            sim::DisplayState state = Shown(machine);
            ++measured;
            if (std::fabs(state.timing.refreshHz - mode.Frequency) > 0.01 * mode.Frequency) {
                ++off;
                EXPECT_NEAR(state.timing.refreshHz, 60.0, 0.6) << mode.VisScreenWidth << "x" << mode.VisScreenHeight;
            }
            outOfStep += HasProblem(state, "double pixel clock");
        }
        EXPECT_EQ(measured, 51u);
        EXPECT_EQ(off > 0, c.expectOff) << off << " modes off";
        EXPECT_EQ(outOfStep, 0u);
    }
}

// The BIOS keeps the preloaded timing, output double clock included: the preload keeps the
// pipeline's double clock in step, so the picture is the one drawn.
TEST(BiosTimingRule, APreloadedDoubleClockModeShowsThePatternUndistorted) {
    sim::Machine machine;
    machine.Boot();
    sim::ModeSetResult set = sim::SetMode(machine, 0, sim::ModeRequest{1280, 1024, 24, 85});
    ASSERT_TRUE(set.offered);
    ASSERT_EQ(set.status, 0u);
    EXPECT_EQ(machine.ChipOf(0).Peek(0x4C) & 1, 1u);
    EXPECT_EQ(machine.ChipOf(0).Peek(0x5C) >> 26 & 1, 1u);
    ASSERT_TRUE(sim::DrawTestPattern(machine.VideoMemory(0), 1280, 1024, 24, set.mode.ScreenStride, nullptr));
    sim::Image image = sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0));
    for (unsigned y : {0u, 300u, 1023u}) {
        for (unsigned x : {0u, 1u, 639u, 640u, 1279u}) {
            EXPECT_EQ(image.At(x, y), sim::PatternValue(x, y, 1280, 1024, 24)) << x << "," << y;
        }
    }
}

// A 4 MiB board whose registry values make the driver set the 16 MiB size bits: the driver offers
// modes the board cannot hold, and a screen drawn through the frame buffer window shows the damage.
TEST(MemoryClaim, SizeBitsBeyondTheBoardsMemoryShowAsUnreachableMemory) {
    sim::AdapterConfig adapter;
    adapter.secondary = true;
    adapter.memoryMiB = 4;
    sim::Machine machine(OneAdapter(adapter));
    machine.GetRegistry().SetDword(sim::Machine::DeviceKey(0), "dramInit0", 0x0C17A16A);
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    sim::ModeSetResult set = sim::SetMode(machine, 0, sim::ModeRequest{1600, 1200, 32, 85});
    ASSERT_TRUE(set.offered) << "the driver believes the 16 MiB bits";
    ASSERT_EQ(set.status, 0u);
    // The display driver's drawing reaches the board through the frame buffer window.
    uint32_t window = machine.PciOf(0).BarAddress(1);
    for (uint32_t y = 0; y < 1200; ++y) {
        for (uint32_t x = 0; x < 1600; x += 100) {
            machine.GetBus().MemoryAccess(window + y * set.mode.ScreenStride + x * 4, 32, true, 0x00102030);
        }
    }
    sim::DisplayState state = Shown(machine);
    EXPECT_TRUE(HasProblem(state, "board carries 4 MiB"));
    sim::Image image = sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0));
    uint32_t lastReachableLine = (4u << 20) / set.mode.ScreenStride - 1;
    EXPECT_EQ(image.At(0, 0), 0x102030u);
    EXPECT_EQ(image.At(0, lastReachableLine), 0x102030u);
    EXPECT_EQ(image.At(0, lastReachableLine + 2), 0xFFFFFFu);
    EXPECT_EQ(image.At(1500, 1199), 0xFFFFFFu);
}

// The timings check flags a mode whenever what is shown differs from what the driver reports.
TEST(TimingsCheck, FlagsEveryWayTheShownModeDiffersFromTheReportedOne) {
    VIDEO_MODE_INFORMATION listed{};
    listed.VisScreenWidth = 800;
    listed.VisScreenHeight = 600;
    listed.BitsPerPlane = 16;
    listed.Frequency = 60;
    sim::ModeSetResult set;
    set.offered = true;
    set.mode = listed;
    set.mode.ScreenStride = 1600;
    sim::DisplayState good;
    good.enabled = true;
    good.width = 800;
    good.height = 600;
    good.bitsPerPixel = 16;
    good.stride = 1600;
    good.timing.refreshHz = 60.2;
    struct Case {
        const char* name;
        void (*change)(sim::DisplayState&, sim::ModeSetResult&);
        const char* flag;   // words of the flag; null: not flagged
    };
    const Case cases[] = {
        {"as reported", [](sim::DisplayState&, sim::ModeSetResult&) {}, nullptr},
        {"depth", [](sim::DisplayState& d, sim::ModeSetResult&) { d.bitsPerPixel = 32; }, "32 bits per pixel"},
        {"stride", [](sim::DisplayState& d, sim::ModeSetResult&) { d.stride = 2048; }, "stride of 2048"},
        {"resolution", [](sim::DisplayState& d, sim::ModeSetResult&) { d.height = 480; }, "decodes to 800x480"},
        {"refresh", [](sim::DisplayState& d, sim::ModeSetResult&) { d.timing.refreshHz = 75; }, "refreshes at 75.00"},
        {"blanked", [](sim::DisplayState& d, sim::ModeSetResult&) { d.blanked = true; }, "picture is off"},
        {"disabled", [](sim::DisplayState& d, sim::ModeSetResult&) { d.enabled = false; }, "picture is off"},
        {"other problem", [](sim::DisplayState& d, sim::ModeSetResult&) { d.problems = {"the screen size register says"}; },
         "screen size register"},
        {"failed set", [](sim::DisplayState&, sim::ModeSetResult& s) { s.status = 87; }, "failed"},
    };
    for (const Case& c : cases) {
        sim::DisplayState display = good;
        sim::ModeSetResult result = set;
        c.change(display, result);
        std::string flag = zarnsim::TimingFlag(listed, result, display);
        if (c.flag) EXPECT_NE(flag.find(c.flag), std::string::npos) << c.name << ": " << flag;
        else EXPECT_EQ(flag, "") << c.name;
    }
}

}  // namespace
