// Power management: the monitor's power states through the sync outputs and the screen-off bit,
// as the simulated monitor and the screen show them, and the adapter's power states with the chip
// initialized again after suspend, off and hibernation (the whole machine's power cycle).
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "adapter/adapter_state.h"
#include "clients/display_driver.h"
#include "clients/test_pattern.h"
#include "machine/machine.h"
#include "monitor/monitor.h"

namespace {

using sim::Machine;
using sim::MonitorPower;

constexpr uint32_t OutputControl = 0x4C, Reg20 = 0x20, Reg28 = 0x28, DramInit1 = 0x1C;

sim::MachineConfig Direct(bool secondary = false) {
    sim::MachineConfig config;
    config.adapters[0].hasRom = false;
    config.adapters[0].secondary = secondary;
    return config;
}

// A machine showing a test pattern at 640x480, 32 bits per pixel.
void ShowPattern(Machine& machine) {
    machine.Boot();
    sim::ModeSetResult set = sim::SetMode(machine, 0, sim::ParseModeRequest("640x480x32@60"));
    ASSERT_EQ(set.status, 0u);
    ASSERT_TRUE(sim::DrawTestPattern(machine.VideoMemory(0), 640, 480, 32, set.mode.ScreenStride, nullptr));
}

bool ScreenIsBlack(Machine& machine) {
    sim::Image image = sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0));
    for (uint32_t pixel : image.pixels) {
        if (pixel != 0) return false;
    }
    return true;
}

// --- Monitor power --------------------------------------------------------------------------------

struct MonitorCase {
    const char* name;
    uint32_t state;
    uint32_t status;
    uint32_t syncBits;       // output control bits 1-4 afterwards
    uint8_t screenOff;       // sequencer register 1 bit 5 afterwards
    MonitorPower power;      // as the monitor decides from the signal
};

void PrintTo(const MonitorCase& value, std::ostream* out) { *out << value.name; }

class MonitorPowerState : public testing::TestWithParam<MonitorCase> {};

TEST_P(MonitorPowerState, DrivesTheSyncOutputsAndTheScreenOffBit) {
    const MonitorCase& c = GetParam();
    for (uint32_t id : {MonitorWithEdidId, MonitorWithoutEdidId}) {
        Machine machine(Direct());
        ShowPattern(machine);
        sim::Chip& chip = machine.ChipOf(0);
        // Bits the change must keep (bit 0, the double pixel clock, clear), and bits 2 and 4 that it
        // must clear.
        chip.Poke(OutputControl, (chip.Peek(OutputControl) & ~0x1Fu) | 0xABCD0014u);
        chip.MutableVga().sequencer[1] = 0xDE;   // bit 0 clear: only the screen-off bit may change
        chip.MutableVga().sequencerIndex = 0x03;
        uint32_t outputBefore = chip.Peek(OutputControl);
        machine.ClearTrace();

        EXPECT_EQ(machine.SetPower(0, id, c.state), c.status);
        if (c.status != NO_ERROR) {
            EXPECT_TRUE(machine.Trace().empty()) << "a refused state touches nothing";
            continue;
        }
        EXPECT_EQ(chip.Peek(OutputControl), (outputBefore & ~0x1Eu) | c.syncBits);
        EXPECT_EQ(chip.Vga().sequencer[1], (0xDE & ~0x20) | c.screenOff);
        EXPECT_EQ(chip.Vga().sequencerIndex, 0x03) << "the sequencer index is put back";
        EXPECT_EQ(machine.MonitorPowerOf(0), c.power) << sim::MonitorPowerName(machine.MonitorPowerOf(0));
        EXPECT_EQ(ScreenIsBlack(machine), c.state != VideoPowerOn && c.state != VideoPowerHibernate);
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, MonitorPowerState,
    testing::Values(MonitorCase{"On", VideoPowerOn, NO_ERROR, 0x0, 0x00, MonitorPower::On},
                    MonitorCase{"StandBy", VideoPowerStandBy, NO_ERROR, 0x8, 0x20, MonitorPower::StandBy},
                    MonitorCase{"Suspend", VideoPowerSuspend, NO_ERROR, 0x2, 0x20, MonitorPower::Suspend},
                    MonitorCase{"Off", VideoPowerOff, NO_ERROR, 0xA, 0x20, MonitorPower::Off},
                    MonitorCase{"HibernateKeepsItOn", VideoPowerHibernate, NO_ERROR, 0x0, 0x00, MonitorPower::On},
                    MonitorCase{"ShutdownIsRefused", 6, ERROR_INVALID_PARAMETER, 0, 0, MonitorPower::On},
                    MonitorCase{"ZeroIsRefused", 0, ERROR_INVALID_PARAMETER, 0, 0, MonitorPower::On}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MonitorPowerState, GoesBackOnFromEveryState) {
    Machine machine(Direct());
    ShowPattern(machine);
    for (uint32_t state : {VideoPowerStandBy, VideoPowerSuspend, VideoPowerOff}) {
        ASSERT_EQ(machine.SetPower(0, machine.MonitorId(0), state), 0u);
        ASSERT_EQ(machine.SetPower(0, machine.MonitorId(0), VideoPowerOn), 0u);
        EXPECT_EQ(machine.MonitorPowerOf(0), MonitorPower::On);
        EXPECT_FALSE(ScreenIsBlack(machine)) << "back from state " << state;
    }
}

// --- Queries ----------------------------------------------------------------------------------------

struct QueryCase {
    const char* name;
    uint32_t id;
    uint32_t state;
    uint32_t status;
};

void PrintTo(const QueryCase& value, std::ostream* out) { *out << value.name; }

class PowerQuery : public testing::TestWithParam<QueryCase> {};

TEST_P(PowerQuery, AnswersWithoutTouchingAnything) {
    Machine machine(Direct());
    machine.Boot();
    machine.ClearTrace();
    EXPECT_EQ(machine.QueryPower(0, GetParam().id, GetParam().state), GetParam().status);
    EXPECT_TRUE(machine.Trace().empty());
    EXPECT_EQ(static_cast<const AdapterState*>(machine.Extension(0))->powerState, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, PowerQuery,
    testing::Values(QueryCase{"MonitorOn", MonitorWithEdidId, 1, NO_ERROR},
                    QueryCase{"MonitorHibernate", MonitorWithoutEdidId, 5, NO_ERROR},
                    QueryCase{"MonitorZero", MonitorWithEdidId, 0, ERROR_INVALID_PARAMETER},
                    QueryCase{"MonitorShutdown", MonitorWithoutEdidId, 6, ERROR_INVALID_PARAMETER},
                    QueryCase{"AdapterOff", AdapterPowerId, 4, NO_ERROR},
                    QueryCase{"AdapterSeven", AdapterPowerId, 7, ERROR_INVALID_PARAMETER},
                    QueryCase{"UnknownDevice", 1, 1, ERROR_INVALID_PARAMETER},
                    QueryCase{"DeviceZero", 0, 3, ERROR_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

// A power change for an identifier that names neither the monitor nor the adapter is refused before
// anything is touched: the adapter keeps its state, and an off adapter is not woken up.
TEST(PowerChange, ForNoDeviceOfTheAdapterChangesNothing) {
    for (uint32_t id : {0u, 1u, 0x12345678u}) {
        for (uint32_t state : {VideoPowerOn, VideoPowerOff}) {
            Machine machine(Direct());
            machine.Boot();
            ASSERT_EQ(machine.SetPower(0, AdapterPowerId, VideoPowerOff), 0u);
            machine.ClearTrace();
            EXPECT_EQ(machine.SetPower(0, id, state), ERROR_INVALID_PARAMETER) << id << " " << state;
            EXPECT_TRUE(machine.Trace().empty()) << id << " " << state;
            EXPECT_EQ(static_cast<const AdapterState*>(machine.Extension(0))->powerState, VideoPowerOff);
        }
    }
}

// --- Adapter power ----------------------------------------------------------------------------------

struct AdapterCase {
    const char* name;
    bool secondary;
    std::vector<uint32_t> states;
    std::vector<uint32_t> statuses;
    bool reinitializedLast;     // the last request ran the chip initialization sequence
    uint32_t recorded;          // the adapter state record's powerState at the end
};

void PrintTo(const AdapterCase& value, std::ostream* out) { *out << value.name; }

class AdapterPower : public testing::TestWithParam<AdapterCase> {};

TEST_P(AdapterPower, InitializesTheChipAgainOnlyAfterItLostPower) {
    const AdapterCase& c = GetParam();
    Machine machine(Direct(c.secondary));
    machine.Boot();
    uint32_t reg28Before = machine.ChipOf(0).Peek(Reg28);
    std::vector<uint32_t> statuses;
    for (size_t i = 0; i < c.states.size(); ++i) {
        machine.ClearTrace();
        statuses.push_back(machine.SetPower(0, AdapterPowerId, c.states[i]));
    }
    EXPECT_EQ(statuses, c.statuses);

    bool initialized = false;
    for (const sim::TraceEntry& entry : machine.Trace()) initialized |= entry.write && entry.offset == Reg20 && entry.value == 0x49E;
    EXPECT_EQ(initialized, c.reinitializedLast);
    const sim::Chip& chip = machine.ChipOf(0);
    if (c.reinitializedLast && c.recorded == VideoPowerOn) {
        EXPECT_EQ(chip.Peek(Reg28), c.secondary ? 0x340u : 0x140u);
        EXPECT_EQ(chip.Peek(DramInit1) & 0x3FFFFFF, 0x23C031u) << "the memory is set up again";
    } else if (c.statuses.back() == 0 && c.states.back() <= VideoPowerStandBy) {
        EXPECT_EQ(chip.Peek(Reg28), reg28Before) << "the chip kept its state";
    }
    EXPECT_EQ(static_cast<const AdapterState*>(machine.Extension(0))->powerState, c.recorded);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, AdapterPower,
    testing::Values(AdapterCase{"OffThenOnPrimary", false, {4, 1}, {0, 0}, true, 1},
                    AdapterCase{"OffThenOnSecondary", true, {4, 1}, {0, 0}, true, 1},
                    AdapterCase{"SuspendThenOn", false, {3, 1}, {0, 0}, true, 1},
                    AdapterCase{"StandByThenOn", false, {2, 1}, {0, 0}, false, 1},
                    AdapterCase{"HibernationEndsOn", false, {5}, {0}, true, 1},
                    AdapterCase{"OffThenOffAgain", false, {4, 4}, {0, 0}, true, 4},
                    AdapterCase{"FirstRequestNeverInitializes", false, {1}, {0}, false, 1},
                    AdapterCase{"RefusedStateBetweenOffAndOn", false, {4, 7, 1}, {0, 87, 0}, true, 1},
                    AdapterCase{"RefusedStateIsNotRecorded", false, {7}, {87}, false, 0},
                    AdapterCase{"RefusedZeroAfterSuspend", false, {3, 0}, {0, 87}, false, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AdapterPower, DisplayWorksAgainAfterOffAndOn) {
    Machine machine(Direct());
    ShowPattern(machine);
    ASSERT_EQ(machine.SetPower(0, AdapterPowerId, VideoPowerOff), 0u);
    EXPECT_EQ(machine.MonitorPowerOf(0), MonitorPower::Off) << "the chip lost its timing";
    ASSERT_EQ(machine.SetPower(0, AdapterPowerId, VideoPowerOn), 0u);
    ASSERT_EQ(sim::SetMode(machine, 0, sim::ParseModeRequest("640x480x32@60")).status, 0u);
    sim::DisplayState display = sim::DecodeDisplay(machine.ChipOf(0), machine.VideoMemory(0).size());
    EXPECT_TRUE(display.enabled);
    EXPECT_TRUE(display.problems.empty()) << display.problems.front();
    EXPECT_EQ(machine.MonitorPowerOf(0), MonitorPower::On);
}

// --- What losing power does ----------------------------------------------------------------------

// Sets 640x480 (32 bits per pixel unless told) and draws the test pattern through the display
// driver's frame buffer mapping, as the display driver does after every mode set.
void SetModeAndDraw(Machine& machine, int adapter = 0, const char* mode = "640x480x32@60") {
    sim::ModeSetResult set = sim::SetMode(machine, adapter, sim::ParseModeRequest(mode));
    ASSERT_EQ(set.status, 0u);
    sim::FrameBufferMapping mapping = sim::MapFrameBuffer(machine, adapter);
    ASSERT_EQ(mapping.status, 0u);
    std::string error;
    ASSERT_TRUE(sim::DrawThroughMapping(machine, 1, mapping, set.mode, &error)) << error;
    ASSERT_EQ(sim::UnmapFrameBuffer(machine, adapter, mapping.frameBufferBase), 0u);
}

// Pixels of the screen that differ from the test pattern.
size_t PixelsOffPattern(Machine& machine, int adapter = 0) {
    sim::Image image = sim::RenderScreen(machine.ChipOf(adapter), machine.VideoMemory(adapter));
    if (image.width != 640 || image.height != 480) return SIZE_MAX;
    size_t off = 0;
    for (unsigned y = 0; y < 480; ++y) {
        for (unsigned x = 0; x < 640; ++x) off += image.At(x, y) != sim::PatternColour(x, y, 640, 480);
    }
    return off;
}

struct PowerLossCase {
    const char* name;
    bool secondary;
    uint32_t deepState;      // 3 suspend or 4 off
};

void PrintTo(const PowerLossCase& value, std::ostream* out) { *out << value.name; }

class PowerLoss : public testing::TestWithParam<PowerLossCase> {};

// Only the chip initialization on the way back brings the memory and its clocks back: without it
// the drawn picture would not reach the memory.
TEST_P(PowerLoss, PictureComesBackOnlyFromAChipInitializedAgain) {
    const PowerLossCase& c = GetParam();
    Machine machine(Direct(c.secondary));
    machine.Boot();
    SetModeAndDraw(machine);
    ASSERT_EQ(PixelsOffPattern(machine), 0u);

    ASSERT_EQ(machine.SetPower(0, AdapterPowerId, c.deepState), 0u);
    EXPECT_TRUE(ScreenIsBlack(machine));
    // A mode set while the chip has no power reaches nothing.
    sim::SetModeByIndex(machine, 0, 0);
    EXPECT_TRUE(ScreenIsBlack(machine)) << "a mode set on an adapter without power shows nothing";
    EXPECT_EQ(machine.MonitorPowerOf(0), MonitorPower::Off);

    ASSERT_EQ(machine.SetPower(0, AdapterPowerId, VideoPowerOn), 0u);
    EXPECT_TRUE(ScreenIsBlack(machine)) << "the mode set while off did not survive";
    ASSERT_EQ(sim::SetMode(machine, 0, sim::ParseModeRequest("640x480x32@60")).status, 0u);
    EXPECT_GT(PixelsOffPattern(machine), 640u * 480 / 2) << "the memory kept nothing through the power loss";
    SetModeAndDraw(machine);
    EXPECT_EQ(PixelsOffPattern(machine), 0u);
    sim::DisplayState display = sim::DecodeDisplay(machine.ChipOf(0), machine.VideoMemory(0).size());
    EXPECT_TRUE(display.problems.empty()) << display.problems.front();
    EXPECT_TRUE(machine.DriverFaults().empty()) << machine.DriverFaults().front().message;
}

INSTANTIATE_TEST_SUITE_P(Adapters, PowerLoss,
                         testing::Values(PowerLossCase{"PrimaryOff", false, VideoPowerOff},
                                         PowerLossCase{"PrimarySuspend", false, VideoPowerSuspend},
                                         PowerLossCase{"SecondaryOff", true, VideoPowerOff}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Hibernation -------------------------------------------------------------------------------

struct HibernationCase {
    const char* name;
    bool image;          // the shipped zarn.sys on the emulated processor, not the host build
    int told;            // the adapter hibernation is asked of: the machine hibernates as a whole
    bool startEnables;   // the bus driver's start switches decoding on
};

void PrintTo(const HibernationCase& value, std::ostream* out) { *out << value.name; }

class Hibernation : public testing::TestWithParam<HibernationCase> {};

// Hibernation powers the machine off and boots it cold, with only the primary brought up by its
// BIOS (the primary sets its modes through it): what both memories held is gone, and once the driver has been told on and the display
// driver's session sets its mode again and repaints, both boards show the picture again.
TEST_P(Hibernation, BothBoardsShowThePictureAgainAfterTheSessionRepaints) {
    const HibernationCase& c = GetParam();
    if (c.image && !std::ifstream(ZARN_SYS)) GTEST_SKIP() << "zarn.sys was not built";
    sim::MachineConfig config;
    config.adapters.resize(2);
    config.adapters[1].deviceId = 4;
    config.adapters[1].memoryMiB = 8;
    config.adapters[1].secondary = true;
    for (sim::AdapterConfig& adapter : config.adapters) adapter.pciStartEnables = c.startEnables;
    if (c.image) config.driverImage = ZARN_SYS;
    Machine machine(config);
    machine.Boot();
    for (int adapter : {0, 1}) {
        SetModeAndDraw(machine, adapter, "640x480x24@60");
        ASSERT_EQ(PixelsOffPattern(machine, adapter), 0u) << "adapter " << adapter;
    }

    ASSERT_EQ(machine.SetPower(c.told, AdapterPowerId, VideoPowerHibernate), 0u);
    for (int adapter : {0, 1}) {
        EXPECT_NE(PixelsOffPattern(machine, adapter), 0u) << "adapter " << adapter << " kept its picture through the power-off";
        EXPECT_EQ(machine.Adapter(adapter).powerState, VideoPowerOn) << "adapter " << adapter;
        SetModeAndDraw(machine, adapter, "640x480x24@60");
        EXPECT_EQ(PixelsOffPattern(machine, adapter), 0u) << "adapter " << adapter;
    }
    for (const sim::Fault& fault : machine.DriverFaults()) ADD_FAILURE() << fault.message;
}

INSTANTIATE_TEST_SUITE_P(Builds, Hibernation,
                         testing::Values(HibernationCase{"HostBuildAskedByThePrimary", false, 0, true},
                                         HibernationCase{"HostBuildAskedByASecondaryFoundOff", false, 1, false},
                                         HibernationCase{"ImageAskedByThePrimary", true, 0, true},
                                         HibernationCase{"ImageAskedByASecondaryFoundOff", true, 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
