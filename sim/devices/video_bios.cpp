#include "devices/video_bios.h"

#include <algorithm>
#include <cstdio>

#include "devices/scanout.h"

namespace sim {

namespace {

constexpr uint32_t VesaSetMode = 0x4F02;
constexpr uint32_t VesaSuccess = 0x004F;
constexpr uint32_t VesaFailure = 0x014F;
constexpr uint16_t VesaModeNumberMask = 0x1FF;   // bit 14 linear frame buffer, bit 15 keep memory

// Standard VGA mode 3: 80 x 25 characters of 9 x 16 pixels, 720 x 400 at 70 Hz.
const uint8_t textCrtc[0x19] = {0x5F, 0x4F, 0x50, 0x82, 0x55, 0x81, 0xBF, 0x1F, 0x00, 0x4F, 0x0D, 0x0E, 0x00,
                                0x00, 0x00, 0x00, 0x9C, 0x8E, 0x8F, 0x28, 0x1F, 0x96, 0xB9, 0xA3, 0xFF};
const uint8_t textSequencer[5] = {0x03, 0x00, 0x03, 0x00, 0x02};
const uint8_t textGraphics[9] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x0E, 0x00, 0xFF};
const uint8_t textAttributes[0x15] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x14, 0x07, 0x38, 0x39, 0x3A,
                                      0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x0C, 0x00, 0x0F, 0x08, 0x00};

bool Accepts(const BiosConfig& config, uint16_t number) {
    switch (config.accept) {
    case BiosConfig::Accept::Every: return true;
    case BiosConfig::Accept::None: return false;
    case BiosConfig::Accept::Listed:
        return std::find(config.modes.begin(), config.modes.end(), number) != config.modes.end();
    }
    return false;
}

uint32_t FormatCode(unsigned bitsPerPixel) {
    switch (bitsPerPixel) {
    case 16: return 1;
    case 24: return 2;
    case 32: return 3;
    default: return 0;
    }
}

void Write(Chip& chip, uint32_t offset, uint32_t value) {
    bool known = false;
    chip.WriteRegister(offset, value, &known);
}

uint32_t Read(Chip& chip, uint32_t offset) {
    bool known = false;
    return chip.ReadRegister(offset, &known);
}

// The BIOS's own timing for a resolution, at 60 Hz: CRTC 0x00-0x07, 0x09, 0x10, 0x11, 0x12, 0x15,
// 0x16, 0x1A, 0x1B, miscellaneous output and pixel clock (the standard timings of these modes).
struct BiosTiming {
    unsigned width, height;
    uint8_t crtc[16];
    uint8_t misc;
    uint16_t pll;
};
const BiosTiming biosTimings[] = {
    {640, 480, {0x5F, 0x4F, 0x4F, 0x83, 0x52, 0x9E, 0x0B, 0x3E, 0x40, 0xEA, 0xEC, 0xDF, 0xDF, 0x0C, 0x20, 0x00}, 0xCF, 0xA72B},
    {800, 600, {0x7B, 0x63, 0x63, 0x9F, 0x6A, 0x94, 0x6C, 0xF0, 0x60, 0x59, 0x5C, 0x57, 0x57, 0x6D, 0xA0, 0x00}, 0x0F, 0x1E06},
    {1024, 768, {0xA3, 0x7F, 0x7F, 0x87, 0x83, 0x94, 0x24, 0xF5, 0x60, 0x04, 0x2A, 0xFF, 0xFF, 0x25, 0x00, 0x00}, 0xCF, 0xE15D},
    {1280, 1024, {0xCE, 0x9F, 0x9F, 0x92, 0xA6, 0x14, 0x28, 0x5A, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x29, 0xA0, 0x41}, 0x0F, 0xA450},
};
const uint8_t timingIndices[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x09, 0x10, 0x11, 0x12, 0x15, 0x16, 0x1A, 0x1B};

void LoadBiosTiming(Chip& chip, const VesaMode& mode) {
    for (const BiosTiming& timing : biosTimings) {
        if (timing.width != mode.width || timing.height != mode.height) continue;
        VgaState& vga = chip.MutableVga();
        vga.crtc[0x11] &= 0x7F;
        for (int i = 0; i < 16; ++i) vga.crtc[timingIndices[i]] = timing.crtc[i];
        vga.crtc[0x17] = 0x80;
        vga.miscOutput = timing.misc;
        Write(chip, chipreg::PixelClock, timing.pll);
        Write(chip, chipreg::OutputControl, Read(chip, chipreg::OutputControl) & ~0x1u);
        Write(chip, chipreg::Pipeline, Read(chip, chipreg::Pipeline) & ~0x04000000u);
    }
}

// True when the CRTC already holds a timing whose display matches the mode: this BIOS keeps a
// timing loaded before the call, which is how a driver sets a refresh rate other than 60 Hz.
bool TimingMatches(const Chip& chip, const VesaMode& mode) {
    DisplayTiming timing = DecodeDisplay(chip, 0).timing;
    return timing.hDisplay == mode.width && timing.vDisplay == mode.height && timing.pixelClockMHz > 0;
}

// What the BIOS programs for a graphics mode: the display engine for the resolution and depth, the
// timing unless a matching one is loaded, and the video output on.
void SetGraphicsMode(Chip& chip, const VesaMode& mode, BiosConfig::Timing timingRule) {
    if (timingRule == BiosConfig::Timing::Own || !TimingMatches(chip, mode)) LoadBiosTiming(chip, mode);
    uint32_t stride = mode.width * (mode.bitsPerPixel / 8);
    uint32_t pipeline = Read(chip, chipreg::Pipeline) & ~(0x3u << 18 | 0x1000u | 0x10u);
    pipeline |= FormatCode(mode.bitsPerPixel) << 18 | 0x80 | 0x1;
    if (mode.bitsPerPixel != 8) pipeline |= 0x1000;
    Write(chip, chipreg::Pipeline, pipeline);
    Write(chip, chipreg::Stride, (Read(chip, chipreg::Stride) & ~0x3FFFu) | stride);
    Write(chip, chipreg::ScreenSize, (mode.width & 0xFFF) | mode.height << 12);
    Write(chip, chipreg::ScreenEnd, ((mode.width - 1) & 0xFFF) | (mode.height - 1) << 12);
    VgaState& vga = chip.MutableVga();
    vga.sequencer[0] = 0x03;
    vga.sequencer[1] &= static_cast<uint8_t>(~0x20);
    vga.attributeIndex |= 0x20;
    vga.attributeFlipFlopData = false;
}

}  // namespace

const std::vector<VesaMode>& VesaModes() {
    static const std::vector<VesaMode> modes = {
        {0x101, 640, 480, 8},   {0x103, 800, 600, 8},   {0x105, 1024, 768, 8},  {0x111, 640, 480, 16},
        {0x114, 800, 600, 16},  {0x117, 1024, 768, 16}, {0x112, 640, 480, 24},  {0x115, 800, 600, 24},
        {0x118, 1024, 768, 24}, {0x11B, 1280, 1024, 24},
    };
    return modes;
}

void SetTextMode(Chip& chip) {
    VgaState& vga = chip.MutableVga();
    vga.miscOutput = 0x67;
    for (size_t i = 0; i < sizeof textSequencer; ++i) vga.sequencer[i] = textSequencer[i];
    for (size_t i = 0; i < sizeof textCrtc; ++i) vga.crtc[i] = textCrtc[i];
    vga.crtc[0x1A] = 0;
    vga.crtc[0x1B] = 0;
    for (size_t i = 0; i < sizeof textGraphics; ++i) vga.graphics[i] = textGraphics[i];
    for (size_t i = 0; i < sizeof textAttributes; ++i) vga.attribute[i] = textAttributes[i];
    vga.attributeIndex = 0x20;
    Write(chip, chipreg::Pipeline, 0);
    Write(chip, chipreg::PixelClock, 0x8236);   // 28.3 MHz: 9-pixel characters at 70 Hz
    Write(chip, chipreg::OutputControl, Read(chip, chipreg::OutputControl) & ~0x1Fu);
}

void RunPowerOnSelfTest(Chip& chip, uint16_t deviceId, bool bus66) {
    if (bus66) Write(chip, 0x04, Read(chip, 0x04) | 0x300);
    Write(chip, chipreg::Reg28, 0x340);
    Write(chip, chipreg::DramInit1, 0x23C031 | (Read(chip, chipreg::DramInit1) & 0xC2000000));
    bool altMemory = Read(chip, chipreg::DramInit1) & 0x40000000;
    uint32_t dram0 = 0x17A16A | (Read(chip, chipreg::DramInit0) & 0xFC000000);
    Write(chip, chipreg::DramInit0, altMemory ? dram0 & ~0x04000000u : dram0);
    Write(chip, 0x10, 0);
    Write(chip, 0x34, altMemory ? 0x37 : 0xFFFFFFFF);
    Write(chip, 0x30, altMemory ? 0x10D : 0x10E);
    Write(chip, 0x14, (Read(chip, 0x14) & 0x1FF40000) | (altMemory ? 0x8001 : 0x0001));
    Write(chip, 0x20, 0x49E);
    Write(chip, chipreg::GraphicsClock, deviceId == 3 ? 0x2805 : 0x3A05);
    if (deviceId == 3) Write(chip, chipreg::MemoryClock, 0x7919);
    Write(chip, 0x0C, Read(chip, 0x0C) | 0xFFF);
    chip.MutableVga().vgaEnable = 0x01;
    SetTextMode(chip);
}

std::string CallVideoBios(Chip& chip, const BiosConfig& config, BiosRegisters& registers) {
    char line[96];
    uint32_t ax = registers.eax & 0xFFFF;
    if (ax == VesaSetMode) {
        uint16_t number = static_cast<uint16_t>(registers.ebx & VesaModeNumberMask);
        const VesaMode* mode = nullptr;
        for (const VesaMode& known : VesaModes()) {
            if (known.number == number) mode = &known;
        }
        bool accepted = mode && Accepts(config, number);
        if (accepted) SetGraphicsMode(chip, *mode, config.timing);
        registers.eax = (registers.eax & 0xFFFF0000) | (accepted ? VesaSuccess : VesaFailure);
        std::snprintf(line, sizeof line, "int10 ax=4f02 bx=%04x -> ax=%04x", registers.ebx & 0xFFFF,
                      registers.eax & 0xFFFF);
        return line;
    }
    if (ax == 0x0003) {
        SetTextMode(chip);
        std::snprintf(line, sizeof line, "int10 ax=0003 (text mode 3)");
        return line;
    }
    std::snprintf(line, sizeof line, "int10 ax=%04x (not supported)", ax);
    if ((ax >> 8) == 0x4F) registers.eax = (registers.eax & 0xFFFF0000) | VesaFailure;
    return line;
}

}  // namespace sim
