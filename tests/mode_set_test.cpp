// The mode set and reset: direct programming checked through the chip's registers, DAC and
// access trace; the BIOS path with its fallback; HwResetHw and IOCTL_VIDEO_RESET_DEVICE.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "adapter/adapter_state.h"
#include "clients/display_driver.h"
#include "machine/machine.h"
#include "modes/mode_tables.h"
#include "devices/scanout.h"

namespace {

using sim::AdapterConfig;
using sim::Machine;
using sim::MachineConfig;

constexpr uint32_t Pipeline = 0x5C, Stride = 0xE8, ScreenSize = 0x98, ScreenEnd = 0xA0, OutputControl = 0x4C,
                   PixelClock = 0x40, DramInit1 = 0x1C, Reg28 = 0x28, Reg2C = 0x2C;

MachineConfig Config(AdapterConfig adapter) {
    MachineConfig config;
    config.adapters = {adapter};
    config.checkAliasing = true;
    return config;
}

AdapterConfig Direct(uint32_t memoryMiB = 16) {
    AdapterConfig adapter;
    adapter.hasRom = false;   // no version text: the direct path
    adapter.memoryMiB = memoryMiB;
    return adapter;
}

AdapterConfig Bios(sim::BiosConfig::Accept accept = sim::BiosConfig::Accept::Every) {
    AdapterConfig adapter;
    adapter.bios.accept = accept;
    return adapter;
}

std::vector<uint8_t> Index(uint32_t index) {
    return {static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index >> 16),
            static_cast<uint8_t>(index >> 24)};
}

uint32_t SetMode(Machine& machine, uint32_t index) {
    return machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, Index(index), 0).status;
}

// The ModeIndex of an offered mode, or -1.
int FindMode(Machine& machine, unsigned width, unsigned height, unsigned bits, unsigned hz) {
    for (const VIDEO_MODE_INFORMATION& mode : sim::QueryModes(machine, 0).modes) {
        if (mode.VisScreenWidth == width && mode.VisScreenHeight == height && mode.BitsPerPlane == bits &&
            mode.Frequency == hz) {
            return static_cast<int>(mode.ModeIndex);
        }
    }
    return -1;
}

VIDEO_MODE_INFORMATION CurrentMode(Machine& machine) {
    sim::RequestResult result = machine.Request(IOCTL_VIDEO_QUERY_CURRENT_MODE, {}, sizeof(VIDEO_MODE_INFORMATION));
    VIDEO_MODE_INFORMATION mode{};
    EXPECT_EQ(result.status, 0u);
    if (result.output.size() == sizeof mode) std::memcpy(&mode, result.output.data(), sizeof mode);
    return mode;
}

std::vector<std::string> BiosCalls(const Machine& machine) {
    std::vector<std::string> calls;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.window == sim::Window::Bios) calls.emplace_back(entry.name);
    }
    return calls;
}

AdapterState* Record(Machine& machine) { return static_cast<AdapterState*>(machine.Extension(0)); }

// --- Every mode ---------------------------------------------------------------------------------

TEST(DirectModeSet, EveryOfferedModeSetsAtEveryMemorySize) {
    for (uint32_t mib : {4u, 8u, 16u}) {
        Machine machine(Config(Direct(mib)));
        machine.Boot();
        sim::ModeList list = sim::QueryModes(machine, 0);
        ASSERT_FALSE(list.modes.empty());
        for (const VIDEO_MODE_INFORMATION& offered : list.modes) {
            ASSERT_EQ(SetMode(machine, offered.ModeIndex), 0u) << mib << " MB, mode " << offered.ModeIndex;
            VIDEO_MODE_INFORMATION current = CurrentMode(machine);
            EXPECT_EQ(current.VisScreenWidth, offered.VisScreenWidth);
            EXPECT_EQ(current.BitsPerPlane, offered.BitsPerPlane);
            EXPECT_EQ(current.Frequency, offered.Frequency);
            EXPECT_EQ(current.ModeIndex, 0u) << "the stored ModeIndex is reported";
            EXPECT_EQ(current.VideoMemoryBitmapWidth, offered.VisScreenWidth);
            EXPECT_EQ(current.VideoMemoryBitmapHeight, mib * 1024 * 1024 / current.ScreenStride);
        }
        EXPECT_TRUE(machine.DriverFaults().empty()) << machine.DriverFaults().front().message;
    }
}

// --- Register state after ProgramMode -------------------------------------------------------------

struct ProgramCase {
    unsigned width, height, bits, hz;
    uint32_t formatCode;
    bool lineDouble;
    bool doubleClock;
    uint32_t screenSize;
};

class ProgramModeState : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramModeState, PipelineStrideAndScreenRegistersMatchTheMode) {
    const ProgramCase& c = GetParam();
    Machine machine(Config(Direct()));
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    // Bits the programming must leave alone, and bits it must clear, set beforehand.
    machine.ChipOf(0).Poke(Pipeline, 0xFFFFFFFF & ~0x1u);
    machine.ChipOf(0).Poke(Stride, 0xFFFFFFFF);
    int index = FindMode(machine, c.width, c.height, c.bits, c.hz);
    ASSERT_GE(index, 0);
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(index)), 0u);

    sim::Chip& chip = machine.ChipOf(0);
    uint32_t pipeline = chip.Peek(Pipeline);
    EXPECT_EQ(pipeline & 0x1, 1u);
    EXPECT_EQ((pipeline >> 4) & 1, c.lineDouble ? 1u : 0u);
    EXPECT_EQ((pipeline >> 7) & 1, 1u);
    EXPECT_EQ((pipeline >> 12) & 1, c.bits != 8 ? 1u : 0u);
    EXPECT_EQ((pipeline >> 18) & 3, c.formatCode);
    EXPECT_EQ((pipeline >> 26) & 1, c.doubleClock ? 1u : 0u);
    EXPECT_EQ(pipeline & 0x03F3ED04, 0u) << "bits 2, 8, 10, 11, 13-17, 20-25 end clear";
    EXPECT_EQ(pipeline & 0xF800026A, 0xF800026Au) << "bits 1, 3, 5, 6, 9, 27-31 are unchanged";

    uint32_t stride = chip.Peek(Stride);
    EXPECT_EQ(stride & 0x3FFF, c.width * c.bits / 8);
    EXPECT_EQ(stride & 0x3FFF0000, 0u);
    EXPECT_EQ(stride & 0xC000C000, 0xC000C000u) << "bits 14-15 and 30-31 unchanged";

    EXPECT_EQ(chip.Peek(ScreenSize), c.screenSize);
    EXPECT_EQ(chip.Peek(ScreenEnd), ((c.width - 1) & 0xFFF) | ((c.height - 1) << 12));
    EXPECT_EQ(chip.Peek(OutputControl) & 1, c.doubleClock ? 1u : 0u);
    EXPECT_EQ(chip.Peek(DramInit1) & 1, 1u) << "bit 0 follows the pipeline's enable bit";
    EXPECT_EQ(chip.Peek(Reg28) & 0x1000, 0x1000u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ProgramModeState,
    testing::Values(ProgramCase{1024, 768, 8, 60, 0, false, false, 0x300400},
                    ProgramCase{1024, 768, 16, 75, 1, false, false, 0x300400},
                    ProgramCase{800, 600, 24, 85, 2, false, false, 600u << 12 | 800},
                    ProgramCase{640, 480, 32, 60, 3, false, false, 480u << 12 | 640},
                    ProgramCase{320, 200, 8, 70, 0, true, false, 0x190140},
                    ProgramCase{320, 240, 8, 60, 0, true, false, 240u << 13 | 320},
                    ProgramCase{512, 384, 16, 85, 1, true, false, 384u << 13 | 512},
                    ProgramCase{640, 400, 8, 70, 0, false, false, 400u << 12 | 640},
                    ProgramCase{1600, 1200, 32, 85, 3, false, true, 1200u << 12 | 1600},
                    ProgramCase{1152, 864, 16, 100, 1, false, true, 864u << 12 | 1152},
                    ProgramCase{1920, 1440, 24, 60, 2, false, true, 1440u << 12 | 1920}),
    [](const testing::TestParamInfo<ProgramCase>& info) {
        const ProgramCase& c = info.param;
        return std::to_string(c.width) + "x" + std::to_string(c.height) + "x" + std::to_string(c.bits) + "At" +
               std::to_string(c.hz);
    });

TEST(ProgramModeState, DoubleClockBitIsClearedWhenTheBlockHasNone) {
    Machine machine(Config(Direct()));
    machine.Boot();
    machine.ChipOf(0).Poke(Pipeline, 0x04000000);
    machine.ChipOf(0).Poke(OutputControl, 1);
    ASSERT_EQ(SetMode(machine, 0), 0u);   // 640 x 480 x 8 at 60 Hz
    EXPECT_EQ(machine.ChipOf(0).Peek(Pipeline) & 0x04000000, 0u);
    EXPECT_EQ(machine.ChipOf(0).Peek(OutputControl), 0u);
}

TEST(ProgramModeState, TimingRegistersHoldTheBlockAndTheWriteProtectionIsLiftedFirst) {
    Machine machine(Config(Direct()));
    machine.Boot();
    machine.ChipOf(0).MutableVga().crtc[0x11] = 0x80;   // protected, as after a BIOS text mode
    int index = FindMode(machine, 800, 600, 16, 60);
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(index)), 0u);
    const sim::VgaState& vga = machine.ChipOf(0).Vga();
    const uint8_t block[] = {0x7B, 0x63, 0x63, 0x9F, 0x6A, 0x94, 0x6C, 0xF0, 0x60, 0x59, 0x5C, 0x57, 0x57, 0x6D, 0xA0, 0x00};
    const uint8_t indices[] = {0, 1, 2, 3, 4, 5, 6, 7, 0x09, 0x10, 0x11, 0x12, 0x15, 0x16, 0x1A, 0x1B};
    for (size_t i = 0; i < sizeof indices; ++i) EXPECT_EQ(vga.crtc[indices[i]], block[i]) << "CRTC " << int(indices[i]);
    EXPECT_EQ(vga.crtc[0x17], 0x80);
    EXPECT_EQ(vga.miscOutput, 0x0F);
    EXPECT_EQ(vga.sequencer[1], 0x01) << "clocking mode 0x21 with the screen-off bit cleared";
    EXPECT_EQ(vga.sequencer[0], 0x03);
    EXPECT_EQ(vga.attribute[0x10], 0x01);
    EXPECT_EQ(vga.attribute[0x12], 0x0F);
    EXPECT_EQ(vga.attributeIndex, 0x34);
    EXPECT_EQ(machine.ChipOf(0).Peek(PixelClock), 0x1E06u);
}

TEST(ProgramModeState, PaletteIsAGreyRampAndTheGammaRampComesFromTheRegistry) {
    Machine machine(Config(Direct()));
    std::vector<uint8_t> ramp(1024);
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = 0x7F000000u | (i << 16) | ((255 - i) << 8) | (i / 2);
        for (int b = 0; b < 4; ++b) ramp[4 * i + b] = static_cast<uint8_t>(value >> (8 * b));
    }
    machine.GetRegistry().SetValue(Machine::DeviceKey(0), "GammaTable", 3, ramp);
    machine.Boot();
    ASSERT_EQ(SetMode(machine, 1), 0u);
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_EQ(machine.ChipOf(0).DacEntry(i), i * 0x010101u) << i;
        ASSERT_EQ(machine.ChipOf(0).DacEntry(256 + i), (i << 16) | ((255 - i) << 8) | (i / 2)) << i;
    }
}

TEST(ProgramModeState, EachDacEntryTakesTwoWritesAndTwoReadsInOrder) {
    Machine machine(Config(Direct()));
    machine.Boot();
    machine.ClearTrace();
    ASSERT_EQ(SetMode(machine, 0), 0u);
    std::vector<std::string> dac;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.name == "dac_index" || entry.name == "dac_data") {
            dac.push_back(std::string(entry.write ? "W " : "R ") + std::string(entry.name));
        }
    }
    ASSERT_EQ(dac.size(), 512u * 4);
    for (size_t e = 0; e < 512; ++e) {
        EXPECT_EQ(dac[4 * e], "W dac_index");
        EXPECT_EQ(dac[4 * e + 1], "R dac_index");
        EXPECT_EQ(dac[4 * e + 2], "W dac_data");
        EXPECT_EQ(dac[4 * e + 3], e < 256 ? "R dac_index" : "R dac_data") << e;
    }
}

TEST(ProgramModeState, ReadModifyWritesKeepTheOtherBits) {
    Machine machine(Config(Direct()));
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    machine.ChipOf(0).Poke(Reg2C, 0xFFFFFFFF);
    machine.ChipOf(0).Poke(Reg28, 0xFFFFEFFF);
    machine.ChipOf(0).Poke(DramInit1, 0xFFFFFFFE);
    ASSERT_EQ(SetMode(machine, 0), 0u);
    EXPECT_EQ(machine.ChipOf(0).Peek(Reg2C), 0xE01FFFFFu) << "only bits 21-28 are cleared";
    EXPECT_EQ(machine.ChipOf(0).Peek(Reg28), 0xFFFFFFFFu) << "bit 12 is added";
    EXPECT_EQ(machine.ChipOf(0).Peek(DramInit1), 0xFFFFFFFFu) << "bit 0 follows the enabled pipeline";
}

TEST(ProgramModeState, GammaEntriesAreWrittenWithTheirTopByte) {
    Machine machine(Config(Direct()));
    machine.Boot();
    for (uint32_t i = 0; i < 256; ++i) Record(machine)->gammaTable[i] = 0xA5000000u | i;
    machine.ClearTrace();
    ASSERT_EQ(SetMode(machine, 0), 0u);
    std::vector<uint32_t> gammaWrites;
    bool gammaEntry = false;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.write && entry.name == "dac_index") gammaEntry = entry.value >= 256;
        if (entry.write && entry.name == "dac_data" && gammaEntry) gammaWrites.push_back(entry.value);
    }
    ASSERT_EQ(gammaWrites.size(), 256u);
    for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(gammaWrites[i], 0xA5000000u | i);
}

// --- Driver-table edge cases ---------------------------------------------------------------------

TEST(ProgramModeEdges, WidthOf2048IsProgrammedAs2046) {
    Machine machine(Config(Direct()));
    machine.Boot();
    ModeSelectorEntry& entry = Record(machine)->directModeTable[FindMode(machine, 1024, 768, 32, 60)];
    entry.width = 2048;   // the stride register and the CRTC stay those of the 1024 x 768 x 32 mode
    ASSERT_EQ(SetMode(machine, entry.tableIndex), 0u);
    EXPECT_EQ(machine.ChipOf(0).Peek(ScreenSize), 2046u | 768u << 12);
    EXPECT_EQ(machine.ChipOf(0).Peek(ScreenEnd), 2047u | 767u << 12);
}

TEST(ProgramModeEdges, MissingTimingBlockIsRefusedAfterTheEngineDefaults) {
    static const CrtcBlock zeros{};
    // A block of zeros is missing whatever byte follows it: its sum ends at its last byte.
    static const struct {
        CrtcBlock block;
        UCHAR next;
    } zerosThenOne = {{}, 1};
    for (const CrtcBlock* missing : {&zeros, &zerosThenOne.block, static_cast<const CrtcBlock*>(nullptr)}) {
        Machine machine(Config(Direct()));
        machine.Boot();
        machine.OpenDevice(0);   // the display driver's session: HwInitialize
        ModeSelectorEntry& entry = Record(machine)->directModeTable[0];
        entry.crtcBlock = missing;
        machine.ChipOf(0).Poke(DramInit1, 0xFFFFFFFF);
        machine.ClearTrace();
        EXPECT_EQ(SetMode(machine, 0), 87u);
        std::vector<std::string> written;
        for (const sim::TraceEntry& entry2 : machine.Trace()) {
            if (entry2.write) written.emplace_back(entry2.name);
        }
        std::vector<std::string> expected = {"reg_2c", "pipeline",  "reg_e4",     "stride",   "reg_10", "reg_0c",
                                             "reg_a8", "engine_250", "engine_128", "pipeline", "stride", "dram_init1"};
        EXPECT_EQ(written, expected);
        EXPECT_EQ(machine.ChipOf(0).Peek(DramInit1) & 1, 0u) << "bit 0 follows the pipeline's cleared enable bit";
        EXPECT_EQ(Record(machine)->currentModeEntry, &entry) << "the failed entry is recorded";
        EXPECT_EQ(Record(machine)->modeSetActive, 0);
    }
}

// Below 400 lines only a mode of up to 16 bits per pixel is line-doubled, its line count
// programmed from bit 13; a deeper one keeps single lines.
TEST(ProgramModeEdges, LinesBelow400AreDoubledOnlyUpTo16BitsPerPixel) {
    for (unsigned bits : {16u, 32u}) {
        Machine machine(Config(Direct()));
        machine.Boot();
        ModeSelectorEntry& entry = Record(machine)->directModeTable[FindMode(machine, 640, 480, bits, 60)];
        entry.height = 399;
        ASSERT_EQ(SetMode(machine, entry.tableIndex), 0u) << bits;
        bool doubled = bits <= 16;
        EXPECT_EQ(machine.ChipOf(0).Peek(Pipeline) & 0x10, doubled ? 0x10u : 0u) << bits;
        EXPECT_EQ(machine.ChipOf(0).Peek(ScreenSize), 640u | 399u << (doubled ? 13 : 12)) << bits;
    }
}

// The screen size is written twice for a scan-doubled mode (the programming step and the 400-line
// rule); the chip never holds a count from bit 12 in between.
TEST(ProgramModeEdges, EveryScreenSizeWriteOfAScanDoubledModeCountsLinesFromBit13) {
    Machine machine(Config(Direct()));
    machine.Boot();
    int index = FindMode(machine, 320, 200, 8, 70);
    ASSERT_GE(index, 0);
    machine.ClearTrace();
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(index)), 0u);
    std::vector<uint32_t> writes;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.write && entry.window == sim::Window::Mmio && entry.offset == ScreenSize) writes.push_back(entry.value);
    }
    EXPECT_EQ(writes, (std::vector<uint32_t>{0x190140, 0x190140}));
}

TEST(ProgramModeEdges, StrideTooShortForTheWidthFailsTheModeSet) {
    Machine machine(Config(Direct()));
    machine.Boot();
    ModeSelectorEntry& entry = Record(machine)->directModeTable[FindMode(machine, 640, 480, 32, 60)];
    entry.infoEntry->strideBytes = 640 * 4 - 4;   // 639 pixels
    EXPECT_EQ(SetMode(machine, entry.tableIndex), 87u);
    entry.infoEntry->strideBytes = 640 * 4;
    EXPECT_EQ(SetMode(machine, entry.tableIndex), 0u);
}

// A first VESA mode number of 0 is no number: only the second is tried.
TEST(BiosModeSet, FirstModeNumberZeroIsNotCalled) {
    Machine machine(Config(Bios()));
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    ModeSelectorEntry& entry = Record(machine)->biosModeTable[FindMode(machine, 640, 480, 16, 60)];
    entry.infoEntry->vesaMode = 0;
    machine.ClearTrace();
    EXPECT_EQ(SetMode(machine, entry.tableIndex), 0u);
    EXPECT_EQ(BiosCalls(machine), (std::vector<std::string>{"int10 ax=4f02 bx=0111 -> ax=004f"}));
}

TEST(ProgramModeEdges, UnacceptedRefreshRateIsReportedAsSixty) {
    Machine machine(Config(Direct()));
    machine.Boot();
    Record(machine)->directModeTable[2].refreshRate = 59;
    ASSERT_EQ(SetMode(machine, 2), 0u);
    EXPECT_EQ(CurrentMode(machine).Frequency, 60u);
    EXPECT_EQ(Record(machine)->directModeTable[2].refreshRate, 60u);
}

// --- Request checks -------------------------------------------------------------------------------

TEST(SetCurrentModeChecks, InputAndIndexBounds) {
    Machine machine(Config(Direct()));
    machine.Boot();
    EXPECT_EQ(machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, {0, 0, 0}, 0).status, 122u);
    EXPECT_EQ(SetMode(machine, 158), 87u);
    EXPECT_EQ(SetMode(machine, 0xFFFFFFFF), 87u);
    EXPECT_EQ(SetMode(machine, 157), 0u);
}

TEST(SetCurrentModeChecks, ModeDroppedByValidationIsRefusedBeforeAnythingIsWritten) {
    Machine machine(Config(Direct(4)));
    machine.Boot();
    ASSERT_EQ(FindMode(machine, 1280, 1024, 32, 75), -1);
    uint32_t index = 0;
    while (!(Record(machine)->directModeTable[index].width == 1280 && Record(machine)->directModeTable[index].bitsPerPixel == 32)) ++index;
    machine.ClearTrace();
    EXPECT_EQ(SetMode(machine, index), 87u);
    EXPECT_TRUE(machine.Trace().empty());
}

TEST(SetCurrentModeChecks, BitmapSizeFollowsStrideAndMemory) {
    Machine machine(Config(Direct(8)));
    machine.Boot();
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(FindMode(machine, 1024, 768, 16, 60))), 0u);
    VIDEO_MODE_INFORMATION mode = CurrentMode(machine);
    EXPECT_EQ(mode.ScreenStride, 2048u);
    EXPECT_EQ(mode.VideoMemoryBitmapWidth, 1024u);
    EXPECT_EQ(mode.VideoMemoryBitmapHeight, 4096u);
    // The shared information entry now carries the same values in the mode list.
    for (const VIDEO_MODE_INFORMATION& listed : sim::QueryModes(machine, 0).modes) {
        if (listed.VisScreenWidth == 1024 && listed.BitsPerPlane == 16) {
            EXPECT_EQ(listed.VideoMemoryBitmapHeight, 4096u);
        }
    }
}

// --- BIOS path ------------------------------------------------------------------------------------

TEST(BiosModeSet, AcceptedModeIsSetByTheBiosWithoutDirectProgramming) {
    Machine machine(Config(Bios()));
    machine.Boot();
    int index = FindMode(machine, 800, 600, 16, 85);
    ASSERT_GE(index, 0);
    machine.ClearTrace();
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(index)), 0u);
    EXPECT_EQ(BiosCalls(machine), (std::vector<std::string>{"int10 ax=4f02 bx=0114 -> ax=004f"}));
    for (const sim::TraceEntry& entry : machine.Trace()) {
        EXPECT_FALSE(entry.write && (entry.name == "reg_2c" || entry.name == "reg_e4")) << "ProgramMode ran";
    }
    EXPECT_EQ(CurrentMode(machine).Frequency, 85u);
    EXPECT_EQ(machine.ChipOf(0).Peek(PixelClock), 0x6C31u) << "the preloaded timing";
    EXPECT_EQ((machine.ChipOf(0).Peek(Pipeline) >> 18) & 3, 1u) << "the BIOS set the pixel format";
}

TEST(BiosModeSet, RefusedModeFallsBackToTheDirectTableAtTheSameRate) {
    Machine machine(Config(Bios(sim::BiosConfig::Accept::None)));
    machine.Boot();
    int index = FindMode(machine, 640, 480, 16, 75);
    ASSERT_GE(index, 0);
    machine.ClearTrace();
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(index)), 0u);
    EXPECT_EQ(BiosCalls(machine), (std::vector<std::string>{"int10 ax=4f02 bx=0111 -> ax=014f",
                                                             "int10 ax=4f02 bx=0111 -> ax=014f"}));
    EXPECT_EQ(CurrentMode(machine).Frequency, 75u);
    EXPECT_EQ(Record(machine)->currentModeEntry, &Record(machine)->directModeTable[4 + 1]);
    EXPECT_EQ(machine.ChipOf(0).Peek(PixelClock), 0x8236u);
    EXPECT_EQ((machine.ChipOf(0).Peek(Pipeline) >> 18) & 3, 1u);
}

TEST(BiosModeSet, SecondNumberZeroSkipsTheSecondCall) {
    Machine machine(Config(Bios(sim::BiosConfig::Accept::None)));
    machine.Boot();
    int index = FindMode(machine, 1024, 768, 24, 70);
    ASSERT_GE(index, 0);
    machine.ClearTrace();
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(index)), 0u);
    EXPECT_EQ(BiosCalls(machine), (std::vector<std::string>{"int10 ax=4f02 bx=0118 -> ax=014f"}));
    EXPECT_EQ(CurrentMode(machine).Frequency, 70u);
}

TEST(BiosModeSet, FailingBiosCallCountsAsARefusal) {
    Machine machine(Config(Bios()));
    machine.InjectFault({sim::PlatformCall::Int10, -1, 0, 0x1F});
    machine.Boot();
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(FindMode(machine, 640, 480, 8, 60))), 0u);
    EXPECT_EQ(Record(machine)->currentModeEntry, &Record(machine)->directModeTable[0]);
}

TEST(BiosModeSet, OnlyListedNumbersAreAccepted) {
    AdapterConfig adapter = Bios(sim::BiosConfig::Accept::Listed);
    adapter.bios.modes = {0x117};
    Machine machine(Config(adapter));
    machine.Boot();
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(FindMode(machine, 1024, 768, 16, 60))), 0u);
    EXPECT_EQ(Record(machine)->currentModeEntry, &Record(machine)->biosModeTable[FindMode(machine, 1024, 768, 16, 60)]);
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(FindMode(machine, 640, 480, 16, 60))), 0u);
    EXPECT_EQ(Record(machine)->currentModeEntry, &Record(machine)->directModeTable[1]);
}

TEST(BiosModeSet, PreloadLoadsTheTimingPaletteAndGammaButNotTheEngine) {
    Machine machine(Config(Bios()));
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    machine.ChipOf(0).Poke(Pipeline, 0xFFFFFFFF);
    machine.ClearTrace();
    ASSERT_EQ(SetMode(machine, static_cast<uint32_t>(FindMode(machine, 1024, 768, 8, 85))), 0u);
    std::vector<const sim::TraceEntry*> beforeBios;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.window == sim::Window::Bios) break;
        beforeBios.push_back(&entry);
    }
    unsigned dacWrites = 0, pipelineWrites = 0;
    for (const sim::TraceEntry* entry : beforeBios) {
        if (!entry->write) continue;
        for (const char* untouched : {"reg_2c", "reg_e4", "stride", "screen_size", "reg_9c", "screen_end", "dram_init1"}) {
            EXPECT_NE(entry->name, untouched);
        }
        dacWrites += entry->name == "dac_data";
        if (entry->name == "pipeline") {
            ++pipelineWrites;
            // Bits 10-11 cleared, and the pipeline's double clock (bit 26) in step with the block's.
            EXPECT_EQ(entry->value, 0xFBFFF3FFu);
        }
        if (entry->name == "reg_28") {
            EXPECT_EQ(entry->value & 0x1000, 0x1000u);
        }
    }
    EXPECT_EQ(dacWrites, 512u);
    EXPECT_EQ(pipelineWrites, 1u);
    // The BIOS keeps the preloaded 85 Hz timing instead of its own 60 Hz one.
    sim::DisplayState display = sim::DecodeDisplay(machine.ChipOf(0), machine.VideoMemory(0).size());
    EXPECT_NEAR(display.timing.refreshHz, 85.0, 0.85);
    EXPECT_TRUE(display.problems.empty()) << display.problems.front();
}

TEST(BiosModeSet, MissingTimingBlockIsRefusedByThePreload) {
    static const CrtcBlock missing{};
    Machine machine(Config(Bios()));
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    ModeSelectorEntry& entry = Record(machine)->biosModeTable[0];
    entry.crtcBlock = &missing;
    entry.refreshRate = 59;
    machine.ClearTrace();
    EXPECT_EQ(SetMode(machine, 0), 87u);
    EXPECT_TRUE(machine.Trace().empty());
    EXPECT_EQ(entry.refreshRate, 60u) << "the rate was forced before the preload";
}

struct FallbackCase {
    const char* name;
    uint32_t biosRate;
    std::vector<std::pair<uint32_t, uint32_t>> directRates;   // direct entry index -> rate
    uint32_t status;
    int chosen;   // direct entry index, -1 for none
};

class BiosFallback : public testing::TestWithParam<FallbackCase> {};

TEST_P(BiosFallback, ChoosesTheHighestDirectRateNotAboveTheRequestedOne) {
    const FallbackCase& c = GetParam();
    Machine machine(Config(Bios(sim::BiosConfig::Accept::None)));
    machine.Boot();
    AdapterState* record = Record(machine);
    record->biosModeTable[5].refreshRate = c.biosRate;   // 640 x 480 x 16
    for (const auto& [index, rate] : c.directRates) record->directModeTable[index].refreshRate = rate;
    EXPECT_EQ(SetMode(machine, 5), c.status);
    if (c.chosen >= 0) {
        EXPECT_EQ(record->currentModeEntry, &record->directModeTable[c.chosen]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, BiosFallback,
    testing::Values(FallbackCase{"LowerRateWhenTheSameIsMissing", 80, {}, 0, 5},
                    FallbackCase{"NoRateLowEnough", 1, {}, 87, -1},
                    FallbackCase{"FirstOfEqualRates", 80, {{13, 75}}, 0, 5},
                    FallbackCase{"HighestNotAbove", 100, {}, 0, 13}),
    [](const testing::TestParamInfo<FallbackCase>& info) { return std::string(info.param.name); });

TEST(BiosModeSet, InvalidEntryIsRefusedBeforeAnyRegisterIsWritten) {
    Machine machine(Config(Bios()));
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    machine.ClearTrace();
    EXPECT_EQ(SetMode(machine, 3), 87u) << "640 x 480 x 32 has no BIOS number";
    EXPECT_TRUE(machine.Trace().empty());
}

// --- Reset ---------------------------------------------------------------------------------------

std::vector<std::string> Writes(const Machine& machine) {
    std::vector<std::string> names;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.write) names.emplace_back(entry.name);
    }
    return names;
}

TEST(Reset, SecondResetAfterOneModeSetWritesNothing) {
    Machine machine(Config(Direct()));
    machine.Boot();
    ASSERT_EQ(SetMode(machine, 0), 0u);
    machine.ClearTrace();
    EXPECT_FALSE(machine.ResetHw(0));
    EXPECT_EQ(Writes(machine), (std::vector<std::string>{"pipeline", "reg_2c", "reg_28", "output_control", "crtc[1a]", "crtc[1b]"}));
    EXPECT_EQ(machine.ChipOf(0).Peek(Pipeline), 0u);
    machine.ClearTrace();
    EXPECT_FALSE(machine.ResetHw(0));
    EXPECT_TRUE(machine.Trace().empty());
}

TEST(Reset, WithoutAModeSetNothingHappens) {
    Machine machine(Config(Direct()));
    machine.Boot();
    machine.OpenDevice(0);   // the display driver's session: HwInitialize
    machine.ClearTrace();
    EXPECT_FALSE(machine.ResetHw(0));
    EXPECT_TRUE(machine.Trace().empty());
    EXPECT_EQ(machine.Request(IOCTL_VIDEO_RESET_DEVICE, {}, 0).status, 0u);
    EXPECT_TRUE(machine.Trace().empty()) << "no BIOS call on the direct path";
}

TEST(Reset, SecondaryAdapterIsInitializedAgainBeforeTheDisplayReset) {
    AdapterConfig adapter = Direct();
    adapter.secondary = true;
    Machine machine(Config(adapter));
    machine.Boot();
    ASSERT_EQ(SetMode(machine, 0), 0u);
    machine.ClearTrace();
    machine.ResetHw(0);
    std::vector<std::string> writes = Writes(machine);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front(), "reg_28") << "the chip initialization sequence comes first";
    EXPECT_EQ(writes.back(), "crtc[1b]");
}

TEST(Reset, BiosPathWritesNoRegisterAndResetDeviceAsksForTextMode) {
    Machine machine(Config(Bios()));
    machine.Boot();
    machine.ClearTrace();
    EXPECT_EQ(machine.Request(IOCTL_VIDEO_RESET_DEVICE, {}, 0).status, 0u);
    EXPECT_EQ(BiosCalls(machine), (std::vector<std::string>{"int10 ax=0003 (text mode 3)"}));
    ASSERT_EQ(SetMode(machine, 0), 0u);
    machine.ClearTrace();
    machine.ResetHw(0);
    EXPECT_TRUE(Writes(machine).empty());
    sim::RequestOptions options;
    options.presetInformation = 0x5A5A;
    sim::RequestResult reset = machine.Request(IOCTL_VIDEO_RESET_DEVICE, {}, 0, options);
    EXPECT_EQ(reset.status, 0u);
    EXPECT_EQ(reset.information, 0x5A5Au) << "Information is left as the port set it";
}

}  // namespace
