// The simulated hardware itself: the chip's register file, DAC and VGA ports, and the PCI
// configuration space. The driver's tests rely on these behaving as the hardware does.
#include <gtest/gtest.h>

#include "devices/chip.h"
#include "machine/machine.h"
#include "devices/pci.h"
#include "devices/scanout.h"
#include "devices/video_bios.h"

namespace {

using sim::Chip;

uint32_t Write(Chip& chip, uint32_t offset, uint32_t value) {
    bool known = false;
    chip.WriteRegister(offset, value, &known);
    EXPECT_TRUE(known) << offset;
    return chip.ReadRegister(offset, &known);
}

struct MaskCase {
    uint32_t offset;
    uint32_t written;
    uint32_t readBack;
};

class RegisterFile : public testing::TestWithParam<MaskCase> {};

TEST_P(RegisterFile, KeepsOnlyTheBitsTheRegisterHas) {
    Chip chip{sim::Straps{}};
    EXPECT_EQ(Write(chip, GetParam().offset, GetParam().written), GetParam().readBack);
}

INSTANTIATE_TEST_SUITE_P(Masks, RegisterFile,
                         testing::Values(MaskCase{0x40, 0xFFFFFFFF, 0x0000FFFF}, MaskCase{0x44, 0x12345678, 0x5678},
                                         MaskCase{0x48, 0xABCD1234, 0x1234}, MaskCase{0x00, 0xFFFFFFFF, 0x0},
                                         MaskCase{0x50, 0xFFFFFFFF, 0x1FF}, MaskCase{0x5C, 0xDEADBEEF, 0xDEADBEEF},
                                         MaskCase{0x200250, 0x10400, 0x10400}),
                         [](const testing::TestParamInfo<MaskCase>& info) {
                             return "Offset" + std::to_string(info.param.offset) + "Case" + std::to_string(info.index);
                         });

TEST(RegisterFile, UndecodedOffsetsAreReportedAsUnknown) {
    Chip chip{sim::Straps{}};
    bool known = true;
    chip.WriteRegister(0x08, 1, &known);
    EXPECT_FALSE(known);
    EXPECT_EQ(chip.ReadRegister(0x08, &known), 0u);
    EXPECT_FALSE(known);
    EXPECT_EQ(sim::FindRegister(0x08), nullptr);
    ASSERT_NE(sim::FindRegister(0xE8), nullptr);
    EXPECT_EQ(sim::FindRegister(0xE8)->name, "stride");
}

TEST(MemoryStraps, ReportTheBoardsMemory) {
    struct {
        uint32_t mib;
        bool alt;
        uint32_t dram0;
        uint32_t dram1;
    } cases[] = {{4, false, 0, 0}, {8, false, 0x08000000, 0}, {16, false, 0x0C000000, 0}, {16, true, 0x0C000000, 0x40000000}};
    for (const auto& c : cases) {
        Chip chip{sim::Straps{c.mib, c.alt}};
        EXPECT_EQ(chip.Peek(0x18) & 0x0C000000, c.dram0) << c.mib;
        EXPECT_EQ(chip.Peek(0x1C) & 0x40000000, c.dram1) << c.mib;
    }
}

TEST(Dac, IndexSelectsTheEntryThatDataWritesAndReads) {
    Chip chip{sim::Straps{}};
    Write(chip, 0x50, 300);
    bool known = false;
    chip.WriteRegister(0x54, 0xAB123456, &known);
    EXPECT_EQ(chip.DacEntry(300), 0x123456u) << "an entry holds one 24-bit colour";
    EXPECT_EQ(chip.ReadRegister(0x54, &known), 0x123456u);
    Write(chip, 0x50, 511 + 1);
    chip.WriteRegister(0x54, 0x777777, &known);
    EXPECT_EQ(chip.DacEntry(0), 0x777777u) << "the index wraps at 512 entries";
    EXPECT_EQ(chip.DacEntry(300), 0x123456u);
}

TEST(Vga, CrtcWriteProtectionDropsIndicesZeroToSevenButLineCompareBit) {
    Chip chip{sim::Straps{}};
    bool known = false;
    chip.WriteVgaPortWord(0x3D4, 0x5500, &known);
    chip.WriteVgaPortWord(0x3D4, 0x0007, &known);
    chip.WriteVgaPortWord(0x3D4, 0x8011, &known);   // protect
    chip.WriteVgaPortWord(0x3D4, 0x7700, &known);
    chip.WriteVgaPortWord(0x3D4, 0xFF07, &known);
    chip.WriteVgaPortWord(0x3D4, 0x3309, &known);
    EXPECT_EQ(chip.Vga().crtc[0], 0x55);
    EXPECT_EQ(chip.Vga().crtc[7], 0x10) << "only bit 4 of index 7 stays writable";
    EXPECT_EQ(chip.Vga().crtc[9], 0x33);
    chip.WriteVgaPortWord(0x3D4, 0x0011, &known);   // unprotect
    chip.WriteVgaPortWord(0x3D4, 0x7700, &known);
    EXPECT_EQ(chip.Vga().crtc[0], 0x77);
}

TEST(Vga, ReadingInputStatusResetsTheAttributeFlipFlop) {
    Chip chip{sim::Straps{}};
    bool known = false;
    chip.WriteVgaPort(0x3C0, 0x10, &known);   // index
    chip.ReadVgaPort(0x3DA, &known);          // back to index
    chip.WriteVgaPort(0x3C0, 0x12, &known);   // index 0x12
    chip.WriteVgaPort(0x3C0, 0x0F, &known);   // data
    chip.WriteVgaPort(0x3C0, 0x10, &known);   // index 0x10
    chip.WriteVgaPort(0x3C0, 0x41, &known);   // data
    EXPECT_EQ(chip.Vga().attribute[0x12], 0x0F);
    EXPECT_EQ(chip.Vga().attribute[0x10], 0x41);
    EXPECT_EQ(chip.ReadVgaPort(0x3C1, &known), 0x41);
    chip.WriteVgaPort(0x3C0, 0x34, &known);   // index 0x14 with the palette address source bit
    EXPECT_EQ(chip.Vga().attributeIndex, 0x34);
}

TEST(Vga, IndexedPairsAndUndecodedPorts) {
    Chip chip{sim::Straps{}};
    bool known = false;
    chip.WriteVgaPortWord(0x3C4, 0x2101, &known);
    chip.WriteVgaPortWord(0x3CE, 0x0506, &known);
    chip.WriteVgaPort(0x3C2, 0x67, &known);
    EXPECT_EQ(chip.Vga().sequencer[1], 0x21);
    EXPECT_EQ(chip.Vga().graphics[6], 0x05);
    EXPECT_EQ(chip.ReadVgaPort(0x3CC, &known), 0x67);
    EXPECT_EQ(chip.ReadVgaPort(0x3C4, &known), 0x01);
    chip.ReadVgaPort(0x3B4, &known);
    EXPECT_FALSE(known);
}

TEST(VideoBios, PowerOnSelfTestLeavesTextModeAndTheBiosDefaults) {
    Chip chip{sim::Straps{.memoryMiB = 16, .altMemory = true}};
    constexpr bool bus66 = true;
    sim::RunPowerOnSelfTest(chip, 3, bus66);
    EXPECT_EQ(chip.Peek(0x28), 0x340u);
    EXPECT_EQ(chip.Peek(0x04) & 0x300, 0x300u);
    EXPECT_EQ(chip.Peek(0x34), 0x37u);
    EXPECT_EQ(chip.Peek(0x18) & 0x04000000, 0u);
    EXPECT_EQ(chip.Peek(0x48), 0x7919u);
    EXPECT_EQ(chip.Peek(0x5C), 0u) << "the graphics pipeline is off in text mode";
    EXPECT_EQ(chip.Vga().miscOutput, 0x67);
    EXPECT_EQ(chip.Vga().crtc[0x01], 0x4F);
}

TEST(VideoBios, VesaModeSetAnswersByTheAcceptList) {
    struct {
        sim::BiosConfig::Accept accept;
        std::vector<uint16_t> listed;
        uint32_t ebx;
        uint32_t ax;
    } cases[] = {
        {sim::BiosConfig::Accept::Every, {}, 0x117, 0x004F},   {sim::BiosConfig::Accept::Every, {}, 0x4117, 0x004F},
        {sim::BiosConfig::Accept::Every, {}, 0x120, 0x014F},   {sim::BiosConfig::Accept::None, {}, 0x117, 0x014F},
        {sim::BiosConfig::Accept::Listed, {0x111}, 0x111, 0x004F}, {sim::BiosConfig::Accept::Listed, {0x111}, 0x117, 0x014F},
    };
    for (const auto& c : cases) {
        Chip chip{sim::Straps{}};
        sim::BiosConfig config;
        config.accept = c.accept;
        config.modes = c.listed;
        sim::BiosRegisters registers;
        registers.eax = 0x4F02;
        registers.ebx = c.ebx;
        sim::CallVideoBios(chip, config, registers);
        EXPECT_EQ(registers.eax, c.ax) << std::hex << c.ebx;
        bool set = c.ax == 0x004F;
        EXPECT_EQ(chip.Peek(0x5C) & 1, set ? 1u : 0u);
        if (c.ebx == 0x117 && set) {
            EXPECT_EQ(chip.Peek(0xE8) & 0x3FFF, 2048u);
            EXPECT_EQ((chip.Peek(0x5C) >> 18) & 3, 1u);
        }
    }
}

TEST(VideoBios, ModeSetKeepsAMatchingTimingAndLoadsItsOwnOtherwise) {
    // With the text mode's timing loaded, the BIOS programs its own 60 Hz timing for 800 x 600.
    Chip chip{sim::Straps{}};
    sim::SetTextMode(chip);
    sim::BiosConfig config;
    sim::BiosRegisters registers;
    registers.eax = 0x4F02;
    registers.ebx = 0x114;
    sim::CallVideoBios(chip, config, registers);
    sim::DisplayState display = sim::DecodeDisplay(chip, 16u << 20);
    EXPECT_EQ(display.width, 800u);
    EXPECT_EQ(display.height, 600u);
    EXPECT_NEAR(display.timing.refreshHz, 60.0, 0.6);
    EXPECT_FALSE(display.blanked) << "the BIOS turns the video output on";

    // A matching 800 x 600 timing at 85 Hz, loaded before the call, stays.
    chip.MutableVga().crtc[0x00] = 0x7E;
    chip.MutableVga().crtc[0x06] = 0x75;
    chip.Poke(0x40, 0x6C31);
    registers.eax = 0x4F02;
    sim::CallVideoBios(chip, config, registers);
    EXPECT_EQ(chip.Peek(0x40), 0x6C31u);
    EXPECT_EQ(chip.Vga().crtc[0x00], 0x7E);
}

TEST(PciConfig, VerificationRefusesRangesThatAreNoResourceOfTheAdapter) {
    sim::Machine machine;
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);
    const sim::PciFunction& pci = machine.PciOf(0);
    VIDEO_ACCESS_RANGE range{};
    range.RangeStart.QuadPart = pci.BarAddress(1);
    range.RangeLength = pci.BarSize(1);
    struct {
        UCHAR inIoSpace;
        uint64_t start;
        uint32_t length;
        uint32_t status;
    } cases[] = {{0, pci.BarAddress(1), pci.BarSize(1), 0},           {8, pci.BarAddress(1), pci.BarSize(1), 87},
                 {1, pci.BarAddress(1), pci.BarSize(1), 87},          {0, pci.BarAddress(1), pci.BarSize(1) + 1, 87},
                 {1, pci.BarAddress(2), pci.BarSize(2), 0},           {0, 0xD0000000, 0x1000, 87}};
    void* extension = machine.Extension(0);
    for (const auto& c : cases) {
        range.RangeInIoSpace = c.inIoSpace;
        range.RangeStart.QuadPart = static_cast<LONGLONG>(c.start);
        range.RangeLength = c.length;
        EXPECT_EQ(machine.Port().VerifyAccessRanges(extension, 1, &range), c.status) << int(c.inIoSpace) << " " << c.start;
    }
}

// --- PCI configuration space ------------------------------------------------------------------------

sim::PciFunction Function(uint32_t romSize = 128 * 1024) {
    sim::PciFunction pci({0x1A5D, 5, 2, 0xFFFF, 7},
                         {sim::BarLayout{.size = 32u << 20}, sim::BarLayout{.size = 16u << 20, .prefetchable = true},
                          sim::BarLayout{.size = 256, .io = true}},
                         romSize);
    constexpr bool decoding = false;
    pci.Assign({0xE0000000, 0xE2000000, 0xD000}, 0xDFFE0000, decoding);
    return pci;
}

TEST(PciConfig, IdentityIsReadOnlyAndDecodingFollowsTheCommandRegister) {
    sim::PciFunction pci = Function();
    for (uint32_t offset : {0u, 1u, 2u, 3u, 8u, 0x2Cu, 0x2Du}) pci.WriteByte(offset, 0x99);
    EXPECT_EQ(pci.ReadWord(0), 0x1A5D);
    EXPECT_EQ(pci.ReadWord(2), 5);
    EXPECT_EQ(pci.ReadByte(8), 2);
    EXPECT_EQ(pci.ReadWord(0x2C), 0xFFFF);
    EXPECT_FALSE(pci.MemoryDecode());
    EXPECT_FALSE(pci.IoDecode());
    pci.WriteByte(4, 0x03);
    EXPECT_TRUE(pci.MemoryDecode());
    EXPECT_TRUE(pci.IoDecode());
}

TEST(PciConfig, StatusBitsAreClearedByWritingOnesAnd66MHzStays) {
    sim::PciFunction pci = Function();
    pci.SetStatusBits(0x2000 | 0x0020);
    pci.WriteByte(7, 0x20);
    pci.WriteByte(6, 0xFF);
    EXPECT_EQ(pci.ReadWord(6) & 0x2000, 0u);
    EXPECT_EQ(pci.ReadWord(6) & 0x0020, 0x20u);
}

TEST(PciConfig, BaseAddressRegistersReportTheirSize) {
    sim::PciFunction pci = Function();
    for (uint32_t i = 0; i < 4; ++i) pci.WriteByte(0x10 + i, 0xFF);
    EXPECT_EQ(pci.ReadDword(0x10), 0xFE000000u) << "a 32 MiB memory window";
    for (uint32_t i = 0; i < 4; ++i) pci.WriteByte(0x14 + i, 0xFF);
    EXPECT_EQ(pci.ReadDword(0x14), 0xFF000008u) << "16 MiB, prefetchable";
    for (uint32_t i = 0; i < 4; ++i) pci.WriteByte(0x18 + i, 0xFF);
    EXPECT_EQ(pci.ReadDword(0x18), 0xFFFFFF01u) << "256 bytes of I/O";
}

TEST(PciConfig, ExpansionRomRegisterExistsOnlyWithARom) {
    sim::PciFunction pci = Function();
    for (uint32_t i = 0; i < 4; ++i) pci.WriteByte(0x30 + i, static_cast<uint8_t>(0xE0A00001u >> (8 * i)));
    EXPECT_TRUE(pci.RomEnabled());
    EXPECT_EQ(pci.RomAddress(), 0xE0A00000u);
    sim::PciFunction bare = Function(0);
    for (uint32_t i = 0; i < 4; ++i) bare.WriteByte(0x30 + i, 0xFF);
    EXPECT_EQ(bare.ReadDword(0x30), 0u);
    EXPECT_FALSE(bare.RomEnabled());
}

TEST(PciConfig, WindowsOfAdaptersAreAssignedWithoutOverlap) {
    sim::MachineConfig config;
    config.adapters.assign(8, sim::AdapterConfig{});
    for (sim::AdapterConfig& adapter : config.adapters) adapter.registerWindowMiB = 128;
    sim::Machine machine(config);
    std::vector<std::pair<uint64_t, uint64_t>> windows;
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        const sim::PciFunction& pci = machine.PciOf(static_cast<int>(i));
        for (int bar = 0; bar < 3; ++bar) {
            uint64_t start = pci.BarAddress(bar);
            EXPECT_EQ(start % pci.BarSize(bar), 0u) << "aligned to its size";
            windows.emplace_back(start + (pci.BarIsIo(bar) ? 1ull << 32 : 0), pci.BarSize(bar));
        }
        const uint32_t rom = machine.BoardOf(static_cast<int>(i)).romWindow;
        EXPECT_EQ(rom % pci.RomSize(), 0u) << "the expansion ROM's window, aligned to its size";
        EXPECT_EQ(pci.ReadDword(sim::pcicfg::RomBar), rom) << "assigned with its decoding off";
        windows.emplace_back(rom, pci.RomSize());
    }
    std::sort(windows.begin(), windows.end());
    for (size_t i = 1; i < windows.size(); ++i) {
        EXPECT_LE(windows[i - 1].first + windows[i - 1].second, windows[i].first);
    }
    config.adapters.push_back(sim::AdapterConfig{});
    EXPECT_THROW(sim::Machine{config}, std::invalid_argument);
}

}  // namespace
