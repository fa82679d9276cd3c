// The scanout: display timing, pixel formats, palette and gamma, line doubling, memory bounds and
// screenshots, decoded from the chip's registers as a test programs them directly.
#include <gtest/gtest.h>

#include <cstring>
#include <png.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/chip.h"
#include "support/png_writer.h"
#include "devices/scanout.h"
#include "clients/test_pattern.h"

namespace {

constexpr uint32_t PipelineEnable = 0x1;
constexpr uint32_t PipelineLineDouble = 0x10;
constexpr uint32_t PipelineDoubleClock = 0x4000000;
constexpr size_t VideoMemoryBytes = 16u << 20;

// A chip whose memory controller runs, as its BIOS leaves it: memory clock, DRAM timing and refresh.
sim::Chip ChipAsTheBiosLeftIt(const sim::Straps& straps) {
    sim::Chip chip{straps};
    chip.Poke(sim::chipreg::GraphicsClock, 0x3A05);
    chip.Poke(sim::chipreg::DramInit1, chip.Peek(sim::chipreg::DramInit1) | 0x23C031);
    chip.Poke(sim::chipreg::MemoryRefresh, 0x49E);
    return chip;
}

// One display timing as the mode tables hold it: CRTC 0x00-0x07, 0x09, 0x10, 0x11, 0x12, 0x15,
// 0x16, 0x1A, 0x1B, then the miscellaneous output, the pixel clock PLL and the double clock.
struct TimingBlock {
    const char* name;
    unsigned width;
    unsigned height;         // source lines
    unsigned hz;             // the rate the table declares
    std::array<uint8_t, 16> crtc;
    uint8_t misc;
    uint16_t pll;
    uint8_t doubleClock;
    bool scanDoubled;
};

const TimingBlock tableBlocks[] = {
    {"640x480@60", 640, 480, 60, {0x5F, 0x4F, 0x4F, 0x83, 0x52, 0x9E, 0x0B, 0x3E, 0x40, 0xEA, 0xEC, 0xDF, 0xDF, 0x0C, 0x20, 0x00}, 0xCF, 0xA72B, 0, false},
    {"640x480@75", 640, 480, 75, {0x64, 0x4F, 0x4F, 0x88, 0x51, 0x99, 0xF2, 0x1F, 0x40, 0xE1, 0xE4, 0xDF, 0xDF, 0xF3, 0x20, 0x00}, 0xCF, 0x8236, 0, false},
    {"640x480@85", 640, 480, 85, {0x63, 0x4F, 0x4F, 0x87, 0x56, 0x9E, 0xFB, 0x1F, 0x40, 0xE1, 0xE4, 0xDF, 0xDF, 0xFC, 0x20, 0x00}, 0xCF, 0xA93E, 0, false},
    {"640x480@100", 640, 480, 100, {0x63, 0x4F, 0x4F, 0x87, 0x56, 0x9E, 0xFB, 0x1F, 0x40, 0xE1, 0xE4, 0xDF, 0xDF, 0xFC, 0x20, 0x00}, 0xCF, 0x4558, 0, false},
    {"640x480@120", 640, 480, 120, {0x63, 0x4F, 0x4F, 0x87, 0x56, 0x9E, 0xFB, 0x1F, 0x40, 0xE1, 0xE4, 0xDF, 0xDF, 0xFC, 0x20, 0x00}, 0xCF, 0x4548, 0, false},
    {"800x600@60", 800, 600, 60, {0x7B, 0x63, 0x63, 0x9F, 0x6A, 0x94, 0x6C, 0xF0, 0x60, 0x59, 0x5C, 0x57, 0x57, 0x6D, 0xA0, 0x00}, 0x0F, 0x1E06, 0, false},
    {"800x600@75", 800, 600, 75, {0x7F, 0x63, 0x63, 0x83, 0x65, 0x0F, 0x6F, 0xF0, 0x60, 0x59, 0x5C, 0x57, 0x57, 0x70, 0x80, 0x00}, 0x0F, 0x9D55, 0, false},
    {"800x600@85", 800, 600, 85, {0x7E, 0x63, 0x63, 0x82, 0x67, 0x0F, 0x75, 0xF0, 0x60, 0x59, 0x2C, 0x57, 0x57, 0x76, 0x80, 0x00}, 0x0F, 0x6C31, 0, false},
    {"800x600@100", 800, 600, 100, {0x7E, 0x63, 0x63, 0x82, 0x66, 0x0E, 0x75, 0xF0, 0x60, 0x59, 0x2C, 0x57, 0x57, 0x76, 0x80, 0x00}, 0x0F, 0xA98C, 0, false},
    {"800x600@120", 800, 600, 120, {0x7E, 0x63, 0x63, 0x82, 0x66, 0x0E, 0x75, 0xF0, 0x60, 0x59, 0x2C, 0x57, 0x57, 0x76, 0x80, 0x00}, 0x0F, 0x3B24, 0, false},
    {"1024x768@60", 1024, 768, 60, {0xA3, 0x7F, 0x7F, 0x87, 0x83, 0x94, 0x24, 0xF5, 0x60, 0x04, 0x2A, 0xFF, 0xFF, 0x25, 0x00, 0x00}, 0xCF, 0xE15D, 0, false},
    {"1024x768@70", 1024, 768, 70, {0xA1, 0x7F, 0x7F, 0x85, 0x83, 0x94, 0x24, 0xF5, 0x60, 0x03, 0x29, 0xFF, 0xFF, 0x25, 0x00, 0x00}, 0xCF, 0xDA4D, 0, false},
    {"1024x768@75", 1024, 768, 75, {0x9F, 0x7F, 0x7F, 0x83, 0x82, 0x8E, 0x1E, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x1F, 0x00, 0x00}, 0x0F, 0x8229, 0, false},
    {"1024x768@85", 1024, 768, 85, {0xA7, 0x7F, 0x7F, 0x8B, 0x86, 0x92, 0x26, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x27, 0x00, 0x00}, 0x0F, 0xC435, 0, false},
    {"1024x768@100", 1024, 768, 100, {0xA7, 0x7F, 0x7F, 0x8B, 0x86, 0x92, 0x26, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x27, 0x00, 0x00}, 0x0F, 0x823C, 0, false},
    {"1024x768@120", 1024, 768, 120, {0xA7, 0x7F, 0x7F, 0x8B, 0x86, 0x92, 0x26, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x27, 0x00, 0x00}, 0x0F, 0xCB50, 0, false},
    {"1152x864@60", 1152, 864, 60, {0xB4, 0x8F, 0x8F, 0x98, 0x94, 0x80, 0x8E, 0xFF, 0x60, 0x61, 0x24, 0x5F, 0x5F, 0x8F, 0x80, 0x00}, 0x0F, 0xC484, 0, false},
    {"1152x864@75", 1152, 864, 75, {0xC3, 0x8F, 0x8F, 0x87, 0x98, 0x08, 0x82, 0xFF, 0x60, 0x61, 0x24, 0x5F, 0x5F, 0x83, 0xA0, 0x00}, 0x0F, 0xA450, 0, false},
    {"1152x864@85", 1152, 864, 85, {0xC0, 0x8F, 0x8F, 0x84, 0x98, 0x08, 0x89, 0xFF, 0x60, 0x61, 0x24, 0x5F, 0x5F, 0x8A, 0xA0, 0x00}, 0x0F, 0xF46C, 0, false},
    {"1152x864@100", 1152, 864, 100, {0x5F, 0x47, 0x47, 0x83, 0x4C, 0x93, 0x82, 0xFF, 0x60, 0x61, 0x24, 0x5F, 0x5F, 0x83, 0x20, 0x00}, 0x0F, 0xB340, 1, false},
    {"1280x1024@60", 1280, 1024, 60, {0xCE, 0x9F, 0x9F, 0x92, 0xA6, 0x14, 0x28, 0x5A, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x29, 0xA0, 0x41}, 0x0F, 0xA450, 0, false},
    {"1280x1024@75", 1280, 1024, 75, {0xCE, 0x9F, 0x9F, 0x92, 0xA2, 0x14, 0x28, 0x5A, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x29, 0xA0, 0x41}, 0x0F, 0x8230, 0, false},
    {"1280x1024@85", 1280, 1024, 85, {0x67, 0x4F, 0x4F, 0x8B, 0x54, 0x9E, 0x2E, 0x5A, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x2F, 0x20, 0x41}, 0x0F, 0x8228, 1, false},
    {"1280x1024@100", 1280, 1024, 100, {0x67, 0x4F, 0x4F, 0x8B, 0x54, 0x9E, 0x2E, 0x5A, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x2F, 0x20, 0x41}, 0x0F, 0xDA3C, 1, false},
    {"1600x1200@60", 1600, 1200, 60, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0xD544, 1, false},
    {"1600x1200@65", 1600, 1200, 65, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0xE744, 1, false},
    {"1600x1200@70", 1600, 1200, 70, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0xC434, 1, false},
    {"1600x1200@75", 1600, 1200, 75, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0xC430, 1, false},
    {"1600x1200@85", 1600, 1200, 85, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0x4E0C, 1, false},
    {"1792x1344@60", 1792, 1344, 60, {0x8E, 0x6F, 0x6F, 0x92, 0x71, 0x1F, 0x74, 0x1F, 0x40, 0x43, 0x29, 0x3F, 0x3F, 0x75, 0x80, 0x55}, 0x0F, 0xBF30, 1, false},
    {"1792x1344@75", 1792, 1344, 75, {0x94, 0x6F, 0x6F, 0x98, 0x74, 0x01, 0x87, 0x1F, 0x40, 0x4A, 0x4D, 0x3F, 0x3F, 0x88, 0x00, 0x55}, 0x0F, 0x590C, 1, false},
    {"1856x1392@60", 1856, 1392, 60, {0x92, 0x73, 0x73, 0x96, 0x7C, 0x03, 0xA4, 0x1F, 0x40, 0x73, 0x29, 0x6F, 0x6F, 0xA5, 0x00, 0x55}, 0x0F, 0xF73C, 1, false},
    {"1920x1440@60", 1920, 1440, 60, {0x9D, 0x77, 0x77, 0x81, 0x7A, 0x87, 0xDA, 0x1F, 0x40, 0xA1, 0x24, 0x9F, 0x9F, 0xDB, 0x00, 0x55}, 0x0F, 0xE330, 1, false},
    {"320x200@70", 320, 200, 70, {0x2F, 0x27, 0x27, 0x93, 0x2A, 0x8E, 0xBB, 0x1F, 0x40, 0x91, 0x24, 0x8F, 0x8F, 0xBC, 0x80, 0x00}, 0x4F, 0xDBEE, 0, true},
    {"320x200@85", 320, 200, 85, {0x2F, 0x27, 0x27, 0x93, 0x2A, 0x8E, 0xBB, 0x1F, 0x40, 0x91, 0x24, 0x8F, 0x8F, 0xBC, 0x80, 0x00}, 0x4F, 0x8237, 0, true},
    {"320x240@60", 320, 240, 60, {0x2D, 0x27, 0x27, 0x8F, 0x29, 0x8E, 0x0B, 0x3E, 0x40, 0xE1, 0x24, 0xDF, 0xDF, 0xFC, 0x80, 0x00}, 0xCF, 0xD1EA, 0, true},
    {"320x240@72", 320, 240, 72, {0x2F, 0x27, 0x27, 0x93, 0x2A, 0x8E, 0x06, 0x3E, 0x40, 0xE1, 0x24, 0xDF, 0xDF, 0xFC, 0x80, 0x00}, 0xCF, 0x8237, 0, true},
    {"320x240@85", 320, 240, 85, {0x2F, 0x27, 0x27, 0x93, 0x2A, 0x8E, 0xFB, 0x1F, 0x40, 0xE1, 0x24, 0xDF, 0xDF, 0xFC, 0x80, 0x00}, 0xCF, 0xA93F, 0, true},
    {"400x300@60", 400, 300, 60, {0x3D, 0x31, 0x31, 0x81, 0x34, 0x1C, 0x72, 0xF0, 0x60, 0x59, 0x2D, 0x57, 0x57, 0x73, 0xA0, 0x00}, 0x0F, 0xBB3F, 0, true},
    {"400x300@72", 400, 300, 72, {0x3C, 0x31, 0x31, 0x80, 0x34, 0x1B, 0x98, 0xF0, 0x60, 0x7D, 0x23, 0x57, 0x57, 0x99, 0xA0, 0x00}, 0x0F, 0xF943, 0, true},
    {"400x300@85", 400, 300, 85, {0x3D, 0x31, 0x31, 0x80, 0x33, 0x1B, 0x75, 0xF0, 0x60, 0x59, 0x2C, 0x57, 0x57, 0x76, 0xA0, 0x00}, 0x0F, 0xB456, 0, true},
    {"512x384@60", 512, 384, 60, {0x4F, 0x3F, 0x3F, 0x93, 0x41, 0x0A, 0x24, 0xF5, 0x60, 0x04, 0x2A, 0xFF, 0xFF, 0x25, 0x20, 0x00}, 0xCF, 0xE15E, 0, true},
    {"512x384@72", 512, 384, 72, {0x4E, 0x3F, 0x3F, 0x92, 0x41, 0x0A, 0x24, 0xF5, 0x60, 0x03, 0x29, 0xFF, 0xFF, 0x25, 0x20, 0x00}, 0xCF, 0x82BC, 0, true},
    {"512x384@85", 512, 384, 85, {0x51, 0x3F, 0x3F, 0x95, 0x43, 0x09, 0x26, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x27, 0x20, 0x00}, 0x0F, 0xC436, 0, true},
    {"640x400@70", 640, 400, 70, {0x63, 0x4F, 0x4F, 0x87, 0x54, 0x9C, 0xBB, 0x1F, 0x40, 0x91, 0x24, 0x8F, 0x8F, 0xBC, 0x20, 0x00}, 0x4F, 0xDBED, 0, false},
    {"640x400@85", 640, 400, 85, {0x63, 0x4F, 0x4F, 0x87, 0x54, 0xDC, 0xBB, 0x1F, 0x40, 0x91, 0x94, 0x8F, 0x8F, 0xBC, 0x20, 0x00}, 0x4F, 0x8236, 0, false},
};

const TimingBlock& Block(const std::string& name) {
    for (const TimingBlock& block : tableBlocks) {
        if (name == block.name) return block;
    }
    throw std::runtime_error("no timing block " + name);
}

const unsigned crtcIndices[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                  0x09, 0x10, 0x11, 0x12, 0x15, 0x16, 0x1A, 0x1B};

uint32_t FormatCode(unsigned bitsPerPixel) {
    switch (bitsPerPixel) {
    case 16: return 1u << 18;
    case 24: return 2u << 18;
    case 32: return 3u << 18;
    default: return 0;
    }
}

void SetDac(sim::Chip& chip, uint32_t index, uint32_t colour) {
    bool known = false;
    chip.WriteRegister(sim::chipreg::DacIndex, index, &known);
    chip.WriteRegister(sim::chipreg::DacData, colour, &known);
}

void LoadIdentityGamma(sim::Chip& chip) {
    for (uint32_t i = 0; i < 256; ++i) SetDac(chip, 256 + i, i * 0x010101);
}

// Programs the chip's display registers for a timing block, a depth and a stride, as a mode set
// leaves them: enabled, identity gamma, screen size per the block.
void ProgramDisplay(sim::Chip& chip, const TimingBlock& block, unsigned bitsPerPixel, uint32_t stride) {
    sim::VgaState& vga = chip.MutableVga();
    for (int i = 0; i < 16; ++i) vga.crtc[crtcIndices[i]] = block.crtc[i];
    vga.miscOutput = block.misc | 1;
    chip.Poke(sim::chipreg::PixelClock, block.pll);
    chip.Poke(sim::chipreg::OutputControl, block.doubleClock);
    chip.Poke(sim::chipreg::Pipeline, PipelineEnable | FormatCode(bitsPerPixel) |
                                          (block.scanDoubled ? PipelineLineDouble : 0) |
                                          (block.doubleClock ? PipelineDoubleClock : 0));
    chip.Poke(sim::chipreg::Stride, stride);
    unsigned registerWidth = block.width == 2048 ? 2046 : block.width;
    chip.Poke(sim::chipreg::ScreenSize, registerWidth | block.height << (block.scanDoubled ? 13 : 12));
    LoadIdentityGamma(chip);
    // The VGA side running with the screen on, as after a mode set.
    vga.sequencer[0] = 0x03;
    vga.sequencer[1] = 0x01;
    vga.attributeIndex = 0x34;
    vga.crtc[0x17] = 0x80;
}

bool HasProblem(const sim::DisplayState& state, const std::string& words) {
    for (const std::string& problem : state.problems) {
        if (problem.find(words) != std::string::npos) return true;
    }
    return false;
}

std::string Problems(const sim::DisplayState& state) {
    std::string all;
    for (const std::string& problem : state.problems) all += "\n  " + problem;
    return all;
}

// A gamma ramp that treats the three components differently, and the colour it should give.
uint32_t GammaEntry(uint32_t c) { return (255 - c) << 16 | (c ^ 0x5A) << 8 | ((c * 7) & 0xFF); }
uint32_t ThroughGamma(uint32_t colour) {
    uint32_t r = (colour >> 16) & 0xFF;
    uint32_t g = (colour >> 8) & 0xFF;
    uint32_t b = colour & 0xFF;
    return (255 - r) << 16 | (g ^ 0x5A) << 8 | ((b * 7) & 0xFF);
}
// A palette with a distinct colour per entry.
uint32_t PaletteEntry(uint32_t i) { return i << 16 | (255 - i) << 8 | ((i * 3) & 0xFF); }

void LoadTestColours(sim::Chip& chip) {
    for (uint32_t i = 0; i < 256; ++i) {
        SetDac(chip, i, PaletteEntry(i));
        SetDac(chip, 256 + i, GammaEntry(i));
    }
}

// Compares the screen with the test pattern pixel by pixel, through the test palette and gamma.
testing::AssertionResult ShowsPattern(const sim::Image& image, unsigned width, unsigned sourceLines,
                                      bool lineDoubled, unsigned bitsPerPixel, unsigned linesInMemory) {
    unsigned outputLines = lineDoubled ? sourceLines * 2 : sourceLines;
    if (image.width != width || image.height != outputLines) {
        return testing::AssertionFailure() << "image is " << image.width << " x " << image.height << ", expected "
                                           << width << " x " << outputLines;
    }
    size_t mismatches = 0;
    std::string first;
    for (unsigned y = 0; y < outputLines; ++y) {
        unsigned source = lineDoubled ? y / 2 : y;
        for (unsigned x = 0; x < width; ++x) {
            uint32_t expected = 0;
            if (source < linesInMemory) {
                uint32_t value = sim::PatternValue(x, source, width, sourceLines, bitsPerPixel);
                expected = ThroughGamma(bitsPerPixel == 8 ? PaletteEntry(value) : value);
            }
            if (image.At(x, y) != expected && mismatches++ == 0) {
                char text[128];
                std::snprintf(text, sizeof text, "first at (%u, %u): 0x%06X, expected 0x%06X", x, y,
                              image.At(x, y), expected);
                first = text;
            }
        }
    }
    if (mismatches != 0) return testing::AssertionFailure() << mismatches << " pixels differ, " << first;
    return testing::AssertionSuccess();
}

// ---- Timing ----

TEST(ScanoutTiming, EveryTableBlockDecodesToItsResolutionAndRate) {
    // 320 x 240 at 72 Hz is left out of the rate check: its values (416 x 520 total at 15.75 MHz)
    // give 72.81 Hz, 1.1 % above the rate it is listed under.
    const std::string offRate = "320x240@72";
    for (const TimingBlock& block : tableBlocks) {
        SCOPED_TRACE(block.name);
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, block, 16, block.width * 2);
        sim::DisplayState state = sim::DecodeDisplay(chip, VideoMemoryBytes);
        EXPECT_EQ(state.width, block.width);
        EXPECT_EQ(state.height, block.height);
        EXPECT_EQ(state.lineDoubled, block.scanDoubled);
        EXPECT_EQ(state.timing.vDisplay, block.scanDoubled ? block.height * 2 : block.height);
        EXPECT_EQ(state.timing.characterWidth, block.doubleClock ? 16u : 8u);
        if (block.name != offRate) {
            EXPECT_NEAR(state.timing.refreshHz, block.hz, block.hz * 0.01);
        }
        EXPECT_TRUE(state.problems.empty()) << Problems(state);
    }
}

TEST(ScanoutTiming, StandardModesMatchTheirPublishedTimings) {
    struct Case {
        const char* block;
        unsigned hTotal, hSyncStart, hSyncEnd, vTotal, vSyncStart, vSyncEnd;
        double pixelClockMHz, horizontalKHz;
    };
    // Totals, sync positions and clocks of the industry's standard monitor timings.
    const Case cases[] = {
        {"640x480@60", 800, 656, 752, 525, 490, 492, 25.2, 31.5},
        {"1024x768@75", 1312, 1040, 1136, 800, 769, 772, 78.75, 60.02},
        {"1280x1024@85", 1728, 1344, 1504, 1072, 1025, 1028, 157.5, 91.15},
        {"1600x1200@60", 2160, 1664, 1856, 1250, 1201, 1204, 162.0, 75.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.block);
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, Block(c.block), 8, Block(c.block).width);
        const sim::DisplayTiming t = sim::DecodeDisplay(chip, VideoMemoryBytes).timing;
        EXPECT_EQ(t.hTotal, c.hTotal);
        EXPECT_EQ(t.hSyncStart, c.hSyncStart);
        EXPECT_EQ(t.hSyncEnd, c.hSyncEnd);
        EXPECT_EQ(t.vTotal, c.vTotal);
        EXPECT_EQ(t.vSyncStart, c.vSyncStart);
        EXPECT_EQ(t.vSyncEnd, c.vSyncEnd);
        EXPECT_NEAR(t.pixelClockMHz, c.pixelClockMHz, c.pixelClockMHz * 0.002);
        EXPECT_NEAR(t.horizontalKHz, c.horizontalKHz, c.horizontalKHz * 0.002);
    }
}

TEST(ScanoutTiming, BlankingEndsWrapAroundTheirShortRegisters) {
    // The blanking and sync end registers hold only low bits; the end is the first count after the
    // start that matches them.
    sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
    ProgramDisplay(chip, Block("640x480@60"), 8, 640);
    sim::DisplayTiming t = sim::DecodeDisplay(chip, VideoMemoryBytes).timing;
    // Blanking end 99 characters: CR03 low bits 3, CR05 bit 7 (+32), extension 0x1A bit 5 (+64).
    EXPECT_EQ(t.hBlankStart, 79u * 8);
    EXPECT_EQ(t.hBlankEnd, 99u * 8);
    // Vertical blanking from line 479 to the line whose low byte is 0x0C: 524.
    EXPECT_EQ(t.vBlankStart, 479u);
    EXPECT_EQ(t.vBlankEnd, 524u);

    // Without the extension bit the blanking end field reads 35, which comes round again at 163.
    chip.MutableVga().crtc[0x1A] = 0x00;
    t = sim::DecodeDisplay(chip, VideoMemoryBytes).timing;
    EXPECT_EQ(t.hBlankEnd, 163u * 8);
    EXPECT_TRUE(HasProblem(sim::DecodeDisplay(chip, VideoMemoryBytes), "horizontal blanking"));

    // A sync end field equal to the start's low bits (82 = 0x52, low bits 0x12) lasts a full 32
    // characters; a vertical one equal to the start's low bits (490, low bits 0xA) a full 16 lines.
    chip.MutableVga().crtc[0x05] = 0x80 | 0x12;
    chip.MutableVga().crtc[0x11] = 0x0A;
    t = sim::DecodeDisplay(chip, VideoMemoryBytes).timing;
    EXPECT_EQ(t.hSyncStart, 82u * 8);
    EXPECT_EQ(t.hSyncEnd, (82u + 32) * 8);
    EXPECT_EQ(t.vSyncStart, 490u);
    EXPECT_EQ(t.vSyncEnd, 490u + 16);
}

TEST(ScanoutTiming, EveryOverflowAndExtensionBitMovesItsField) {
    using Field = unsigned sim::DisplayTiming::*;
    struct Case {
        unsigned index, bit;
        Field field;
        int change;   // of the field when the bit goes from 0 to 1, in pixels or lines
    };
    const int px = 8;   // the 640 x 480 block counts characters of 8 pixels
    const Case cases[] = {
        {0x07, 0, &sim::DisplayTiming::vTotal, 256},
        {0x07, 1, &sim::DisplayTiming::vDisplay, 256},
        {0x07, 2, &sim::DisplayTiming::vSyncStart, 256},
        {0x07, 3, &sim::DisplayTiming::vBlankStart, 256},
        {0x07, 5, &sim::DisplayTiming::vTotal, 512},
        {0x07, 6, &sim::DisplayTiming::vDisplay, 512},
        {0x07, 7, &sim::DisplayTiming::vSyncStart, 512},
        {0x09, 5, &sim::DisplayTiming::vBlankStart, 512},
        {0x1A, 0, &sim::DisplayTiming::hTotal, 256 * px},
        {0x1A, 2, &sim::DisplayTiming::hDisplay, 256 * px},
        {0x1A, 4, &sim::DisplayTiming::hBlankStart, 256 * px},
        {0x1A, 6, &sim::DisplayTiming::hSyncStart, 256 * px},
        {0x1B, 0, &sim::DisplayTiming::vTotal, 1024},
        {0x1B, 2, &sim::DisplayTiming::vDisplay, 1024},
        {0x1B, 4, &sim::DisplayTiming::vBlankStart, 1024},
        {0x1B, 6, &sim::DisplayTiming::vSyncStart, 1024},
        // Blanking end bits 5 (CR05 bit 7) and 6 (0x1A bit 5), from character 79: with both the field
        // is 99, the end; without bit 5 it is 67, which comes round at 195; without bit 6, 35 at 163.
        {0x05, 7, &sim::DisplayTiming::hBlankEnd, (99 - 195) * px},
        {0x1A, 5, &sim::DisplayTiming::hBlankEnd, (99 - 163) * px},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "CRTC 0x" << std::hex << c.index << " bit " << std::dec << c.bit);
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, Block("640x480@60"), 8, 640);
        uint8_t& reg = chip.MutableVga().crtc[c.index];
        reg = static_cast<uint8_t>(reg | 1u << c.bit);
        const sim::DisplayTiming set = sim::DecodeDisplay(chip, VideoMemoryBytes).timing;
        reg = static_cast<uint8_t>(reg & ~(1u << c.bit));
        const sim::DisplayTiming clear = sim::DecodeDisplay(chip, VideoMemoryBytes).timing;
        EXPECT_EQ(static_cast<int>(set.*c.field) - static_cast<int>(clear.*c.field), c.change);
        for (Field other : {&sim::DisplayTiming::hTotal, &sim::DisplayTiming::hDisplay, &sim::DisplayTiming::vTotal,
                            &sim::DisplayTiming::vDisplay}) {
            if (other != c.field) {
                EXPECT_EQ(set.*other, clear.*other);
            }
        }
    }
}

TEST(ScanoutTiming, SyncPolaritiesFollowTheMiscellaneousOutputRegister) {
    struct Case {
        uint8_t misc;
        bool hsyncNegative, vsyncNegative;
    };
    const Case cases[] = {{0xCF, true, true}, {0x0F, false, false}, {0x4F, true, false}, {0x8F, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "misc 0x" << std::hex << unsigned{c.misc});
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, Block("800x600@60"), 8, 800);
        chip.MutableVga().miscOutput = c.misc;
        sim::DisplayTiming t = sim::DecodeDisplay(chip, VideoMemoryBytes).timing;
        EXPECT_EQ(t.hsyncNegative, c.hsyncNegative);
        EXPECT_EQ(t.vsyncNegative, c.vsyncNegative);
    }
}

// ---- What gets flagged ----

TEST(ScanoutProblems, InconsistentStateIsReported) {
    struct Case {
        const char* name;
        std::function<void(sim::Chip&)> change;
        size_t memoryBytes;
        const char* problem;   // words of the expected report; null: nothing to report
    };
    const TimingBlock& vga = Block("640x480@60");
    const Case cases[] = {
        {"consistent", [](sim::Chip&) {}, VideoMemoryBytes, nullptr},
        {"display disabled", [](sim::Chip& c) { c.Poke(sim::chipreg::Pipeline, c.Peek(sim::chipreg::Pipeline) & ~1u); },
         VideoMemoryBytes, "disabled"},
        {"timing registers zero", [](sim::Chip& c) { c.MutableVga().crtc.fill(0); }, VideoMemoryBytes, "all zero"},
        {"pixel clock zero", [](sim::Chip& c) { c.Poke(sim::chipreg::PixelClock, 0); }, VideoMemoryBytes,
         "pixel clock"},
        {"screen size width differs", [](sim::Chip& c) { c.Poke(sim::chipreg::ScreenSize, 800 | 480 << 12); },
         VideoMemoryBytes, "screen size register says 800 x 480"},
        {"screen size lines differ", [](sim::Chip& c) { c.Poke(sim::chipreg::ScreenSize, 640 | 400 << 12); },
         VideoMemoryBytes, "screen size register says 640 x 400"},
        {"stride shorter than a line", [](sim::Chip& c) { c.Poke(sim::chipreg::Stride, 1000); }, VideoMemoryBytes,
         "stride of 1000 bytes"},
        {"screen one byte past the end", [](sim::Chip&) {}, 640 * 2 * 480 - 1, "past the end"},
        {"stride runs the screen past the end",
         [](sim::Chip& c) { c.Poke(sim::chipreg::Stride, 0x3FFF); }, 4u << 20, "past the end"},
        {"sync inside the visible line", [](sim::Chip& c) { c.MutableVga().crtc[0x04] = 0x40; }, VideoMemoryBytes,
         "horizontal sync starts"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, vga, 16, 640 * 2);
        c.change(chip);
        sim::DisplayState state = sim::DecodeDisplay(chip, c.memoryBytes);
        if (c.problem == nullptr) {
            EXPECT_TRUE(state.problems.empty()) << Problems(state);
        } else {
            EXPECT_TRUE(HasProblem(state, c.problem)) << "missing \"" << c.problem << "\" in:" << Problems(state);
        }
    }
}

TEST(ScanoutProblems, WideScreenWidthHeldAs2046IsNotAMismatch) {
    // 2048 x 1200: 128 characters of 16 pixels, the rest of the 1600 x 1200 block's vertical timing.
    TimingBlock wide = Block("1600x1200@60");
    wide.name = "2048x1200";
    wide.width = 2048;
    wide.crtc[0] = 0xA0;   // total 165 characters
    wide.crtc[1] = 0x7F;   // display end 128 characters
    wide.crtc[2] = 0x7F;   // blanking 127-164 (end field 36: CR03 4, CR05 bit 7)
    wide.crtc[3] = 0x84;
    wide.crtc[4] = 0x84;   // sync 132-144
    wide.crtc[5] = 0x90;
    wide.crtc[14] = 0x00;
    sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
    ProgramDisplay(chip, wide, 8, 2048);
    sim::DisplayState state = sim::DecodeDisplay(chip, VideoMemoryBytes);
    EXPECT_EQ(state.registerWidth, 2046u);
    EXPECT_EQ(state.width, 2048u);
    EXPECT_EQ(state.timing.hTotal, 165u * 16);
    EXPECT_TRUE(state.problems.empty()) << Problems(state);

    chip.Poke(sim::chipreg::ScreenSize, 2047 | 1200 << 12);
    EXPECT_TRUE(HasProblem(sim::DecodeDisplay(chip, VideoMemoryBytes), "screen size register says 2047"));
}

TEST(ScanoutProblems, LineDoubledScreensNeedMemoryForTheirSourceLinesOnly) {
    struct Case {
        const char* block;
        unsigned bitsPerPixel;
        size_t memoryBytes;
        bool pastEnd;
    };
    const Case cases[] = {
        {"320x200@70", 16, 320 * 2 * 200, false},
        {"320x200@70", 16, 320 * 2 * 200 - 1, true},
        {"320x240@60", 8, 320 * 240, false},
        {"320x240@60", 8, 320 * 240 - 1, true},
        {"640x400@70", 8, 640 * 400, false},
        {"640x400@70", 8, 640 * 400 - 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.block << " with " << c.memoryBytes << " bytes");
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        const TimingBlock& block = Block(c.block);
        ProgramDisplay(chip, block, c.bitsPerPixel, block.width * c.bitsPerPixel / 8);
        sim::DisplayState state = sim::DecodeDisplay(chip, c.memoryBytes);
        EXPECT_EQ(HasProblem(state, "past the end"), c.pastEnd) << Problems(state);
    }
}

// ---- Pixels ----

TEST(ScanoutPixels, EachFormatDecodesItsBytes) {
    struct Case {
        unsigned bitsPerPixel;
        std::vector<uint8_t> bytes;   // of the pixel at (1, 0)
        uint32_t colour;
    };
    const Case cases[] = {
        {8, {0x5A}, 0x123456},
        {8, {0xFF}, 0xABCDEF},
        {16, {0x00, 0xF8}, 0xFF0000},
        {16, {0xE0, 0x07}, 0x00FF00},
        {16, {0x1F, 0x00}, 0x0000FF},
        {16, {0x10, 0x84}, 0x848284},   // each component's top bit alone: 10000b, 100000b, 10000b
        {16, {0x21, 0x08}, 0x080408},   // each component's low bit alone: 1, 1, 1
        {16, {0xFF, 0xFF}, 0xFFFFFF},
        {24, {0x11, 0x22, 0x33}, 0x332211},
        {32, {0x11, 0x22, 0x33, 0x00}, 0x332211},
        {32, {0x11, 0x22, 0x33, 0xEE}, 0x332211},   // the top byte is not shown
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bitsPerPixel << " bpp, colour 0x" << std::hex << c.colour);
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, Block("640x480@60"), c.bitsPerPixel, 640 * c.bitsPerPixel / 8);
        SetDac(chip, 0x00, 0x000000);
        SetDac(chip, 0x5A, 0x123456);
        SetDac(chip, 0xFF, 0xABCDEF);
        std::vector<uint8_t> memory(640 * 4 * 480, 0);
        std::copy(c.bytes.begin(), c.bytes.end(), memory.begin() + c.bitsPerPixel / 8);
        sim::Image image = sim::RenderScreen(chip, memory);
        ASSERT_EQ(image.width, 640u);
        EXPECT_EQ(image.At(1, 0), c.colour);
        EXPECT_EQ(image.At(0, 0), 0u);
        EXPECT_EQ(image.At(2, 0), 0u);
        EXPECT_EQ(image.At(1, 1), 0u);
    }
}

TEST(ScanoutPixels, GammaMapsEachComponentThroughItsOwnByte) {
    struct Case {
        unsigned bitsPerPixel;
        std::vector<uint8_t> bytes;
        uint32_t colour;   // before gamma
    };
    const Case cases[] = {
        {32, {0x30, 0x20, 0x10, 0x00}, 0x102030},
        {24, {0xFF, 0x80, 0x01}, 0x0180FF},
        {16, {0x10, 0x84}, 0x848284},
        {8, {0x5A}, PaletteEntry(0x5A)},   // the palette first, then gamma
        {8, {0x00}, PaletteEntry(0x00)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bitsPerPixel << " bpp, colour 0x" << std::hex << c.colour);
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, Block("640x480@60"), c.bitsPerPixel, 640 * c.bitsPerPixel / 8);
        LoadTestColours(chip);
        std::vector<uint8_t> memory(640 * 4 * 480, 0);
        std::copy(c.bytes.begin(), c.bytes.end(), memory.begin());
        EXPECT_EQ(sim::RenderScreen(chip, memory).At(0, 0), ThroughGamma(c.colour));
    }
}

TEST(ScanoutPixels, ScreenShowsTheTestPatternAtEveryDepth) {
    struct Case {
        const char* block;
        unsigned bitsPerPixel;
        uint32_t stride;
    };
    const Case cases[] = {
        {"640x480@60", 8, 640},
        {"640x480@60", 16, 1280},
        {"640x480@60", 24, 1920},
        {"640x480@60", 32, 2560},
        {"1024x768@75", 16, 2048},
        {"800x600@60", 24, 2600},    // padding after every line
        {"1280x1024@85", 32, 5120},
        {"1600x1200@60", 8, 1600},
        {"1920x1440@60", 32, 7680},
        {"320x200@70", 8, 320},
        {"320x200@70", 16, 640},
        {"320x240@60", 16, 640},
        {"512x384@85", 8, 512},
    };
    for (const Case& c : cases) {
        const TimingBlock& block = Block(c.block);
        SCOPED_TRACE(testing::Message() << c.block << " at " << c.bitsPerPixel << " bpp, stride " << c.stride);
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, block, c.bitsPerPixel, c.stride);
        LoadTestColours(chip);
        // Whatever lies between lines must not show.
        std::vector<uint8_t> memory(VideoMemoryBytes, 0xA5);
        std::string error;
        ASSERT_TRUE(sim::DrawTestPattern(memory, block.width, block.height, c.bitsPerPixel, c.stride, &error))
            << error;
        sim::DisplayState state = sim::DecodeDisplay(chip, memory.size());
        EXPECT_TRUE(state.problems.empty()) << Problems(state);
        EXPECT_TRUE(ShowsPattern(sim::RenderScreen(chip, memory), block.width, block.height, block.scanDoubled,
                                 c.bitsPerPixel, block.height));
    }
}

TEST(ScanoutPixels, PixelsPastTheEndOfTheBoardsMemoryReadAllOnes) {
    struct Case {
        const char* block;
        unsigned bitsPerPixel;
        uint32_t stride;
        unsigned fullLines;      // lines that lie wholly inside the memory
        unsigned extraPixels;    // pixels of the next line that still do
    };
    const Case cases[] = {
        {"640x480@60", 16, 1280, 100, 150},
        {"640x480@60", 32, 4096, 10, 0},
        {"320x200@70", 8, 320, 150, 17},
    };
    for (const Case& c : cases) {
        const TimingBlock& block = Block(c.block);
        SCOPED_TRACE(testing::Message() << c.block << " at " << c.bitsPerPixel << " bpp");
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, block, c.bitsPerPixel, c.stride);
        LoadTestColours(chip);
        std::vector<uint8_t> memory(VideoMemoryBytes, 0);
        ASSERT_TRUE(sim::DrawTestPattern(memory, block.width, block.height, c.bitsPerPixel, c.stride, nullptr));
        // The board carries memory up to the end of the last pixel that fits.
        unsigned bytesPerPixel = c.bitsPerPixel / 8;
        memory.resize(static_cast<size_t>(c.fullLines) * c.stride + c.extraPixels * bytesPerPixel);

        EXPECT_TRUE(HasProblem(sim::DecodeDisplay(chip, memory.size()), "past the end"));
        sim::Image image = sim::RenderScreen(chip, memory);
        ASSERT_EQ(image.width, block.width);
        unsigned repeat = block.scanDoubled ? 2 : 1;
        // The full lines show the pattern; the partial line up to its last whole pixel; after that the
        // memory controller reaches no memory and reads all ones.
        uint32_t allOnes = c.bitsPerPixel == 8 ? PaletteEntry(0xFF) : 0xFFFFFF;
        for (unsigned y = 0; y < image.height; ++y) {
            unsigned source = y / repeat;
            for (unsigned x = 0; x < image.width; ++x) {
                bool inside = source < c.fullLines || (source == c.fullLines && x < c.extraPixels);
                uint32_t value = sim::PatternValue(x, source, block.width, block.height, c.bitsPerPixel);
                uint32_t expected = ThroughGamma(inside ? (c.bitsPerPixel == 8 ? PaletteEntry(value) : value) : allOnes);
                if (image.At(x, y) != expected) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is 0x" << std::hex << image.At(x, y)
                                  << ", expected 0x" << expected;
                    return;
                }
            }
        }
    }
}

// The output and the pipeline each have a double-clock control; a mismatch shows a distorted line.
TEST(ScanoutPixels, DoubleClockControlsThatDisagreeDistortEveryLine) {
    struct Case {
        const char* name;
        bool output;      // 0x4C bit 0
        bool pipeline;    // 0x5C bit 26
        unsigned numerator, denominator;   // pixel x shows source pixel x * numerator / denominator
    };
    const Case cases[] = {
        {"both off", false, false, 1, 1},
        {"both on", true, true, 1, 1},
        {"output only: left half stretched", true, false, 1, 2},
        {"pipeline only: every second pixel", false, true, 2, 1},
    };
    const TimingBlock& block = Block("640x480@60");
    const unsigned stride = 2 * 640 * 4;   // room for a line read twice as far
    std::vector<uint8_t> memory(VideoMemoryBytes, 0);
    for (uint32_t y = 0; y < 480; ++y) {
        for (uint32_t x = 0; x < 1280; ++x) {
            uint32_t colour = (x & 0xFF) << 16 | ((x >> 8) + y) << 8 | 0x40;
            std::memcpy(&memory[y * stride + x * 4], &colour, 4);
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, block, 32, stride);
        chip.Poke(sim::chipreg::OutputControl, c.output ? 1 : 0);
        uint32_t pipeline = chip.Peek(sim::chipreg::Pipeline) & ~PipelineDoubleClock;
        chip.Poke(sim::chipreg::Pipeline, pipeline | (c.pipeline ? PipelineDoubleClock : 0));
        EXPECT_EQ(HasProblem(sim::DecodeDisplay(chip, memory.size()), "double pixel clock"), c.output != c.pipeline);
        sim::Image image = sim::RenderScreen(chip, memory);
        for (unsigned y : {0u, 131u, 479u}) {
            for (unsigned x : {0u, 1u, 2u, 3u, 319u, 320u, 639u}) {
                uint32_t source = x * c.numerator / c.denominator;
                uint32_t expected = (source & 0xFF) << 16 | ((source >> 8) + y) << 8 | 0x40;
                EXPECT_EQ(image.At(x, y), expected) << "pixel (" << x << ", " << y << ")";
            }
        }
    }
}

// The memory controller decodes the size its configuration bits claim; the board's DRAM is fixed.
TEST(ScanoutPixels, MemoryTheControllerClaimsButTheBoardLacksReadsAllOnes) {
    constexpr uint32_t White = 0xFFFFFF;
    const unsigned lines[5] = {0, 163, 164, 656, 1199};   // at 6400 bytes a line: 0, 0.99, 1.0, 4.004, 7.3 MiB
    struct Case {
        const char* name;
        uint32_t installedMiB;
        uint32_t dramInit0;   // size bits 27 and 26
        const char* problem;
        uint32_t shown[5];    // the first pixel of each line: the MiB its bytes come from, or white
    };
    const Case cases[] = {
        {"as built", 16, 0x0C000000, nullptr, {0, 0, 1, 4, 7}},
        {"16 MiB claimed on a 4 MiB board", 4, 0x0C000000, "board carries 4 MiB", {0, 0, 1, White, White}},
        {"8 MiB claimed on a 4 MiB board", 4, 0x08000000, "board carries 4 MiB", {0, 0, 1, White, White}},
        {"4 MiB claimed on a 16 MiB board", 16, 0x00000000, "wrap around", {0, 0, 1, 0, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{c.installedMiB, false});
        chip.Poke(sim::chipreg::DramInit0, c.dramInit0);
        ProgramDisplay(chip, Block("1600x1200@60"), 32, 6400);
        std::vector<uint8_t> memory(static_cast<size_t>(c.installedMiB) << 20);
        for (size_t i = 0; i < memory.size(); i += 4) memory[i] = static_cast<uint8_t>(i >> 20);   // blue = MiB
        sim::DisplayState state = sim::DecodeDisplay(chip, memory.size());
        if (c.problem) EXPECT_TRUE(HasProblem(state, c.problem)) << Problems(state);
        else EXPECT_TRUE(state.problems.empty()) << Problems(state);
        sim::Image image = sim::RenderScreen(chip, memory);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(image.At(0, lines[i]), c.shown[i]) << "line " << lines[i];
    }
}

TEST(ScanoutPixels, DisabledDisplayShowsBlackAtTheTimingSize) {
    sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
    ProgramDisplay(chip, Block("640x480@60"), 32, 2560);
    std::vector<uint8_t> memory(VideoMemoryBytes, 0);
    ASSERT_TRUE(sim::DrawTestPattern(memory, 640, 480, 32, 2560, nullptr));
    ASSERT_NE(sim::RenderScreen(chip, memory).At(0, 0), 0u);

    chip.Poke(sim::chipreg::Pipeline, chip.Peek(sim::chipreg::Pipeline) & ~PipelineEnable);
    sim::Image image = sim::RenderScreen(chip, memory);
    EXPECT_EQ(image.width, 640u);
    EXPECT_EQ(image.height, 480u);
    EXPECT_EQ(std::count(image.pixels.begin(), image.pixels.end(), 0u), 640 * 480);
}

// Each VGA control that blanks the picture or stops a sync leaves the monitor dark, and says why.
TEST(ScanoutPixels, BlankingControlsDarkenTheScreen) {
    struct {
        const char* words;
        void (*apply)(sim::Chip&);
    } controls[] = {
        {"sequencer is held in reset", [](sim::Chip& c) { c.MutableVga().sequencer[0] = 0x01; }},
        {"screen is switched off", [](sim::Chip& c) { c.MutableVga().sequencer[1] |= 0x20; }},
        {"palette address source", [](sim::Chip& c) { c.MutableVga().attributeIndex = 0x14; }},
        {"CRTC is stopped", [](sim::Chip& c) { c.MutableVga().crtc[0x17] = 0x00; }},
        {"horizontal sync is stopped", [](sim::Chip& c) { c.Poke(sim::chipreg::OutputControl, 0x08); }},
        {"vertical sync is stopped", [](sim::Chip& c) { c.Poke(sim::chipreg::OutputControl, 0x02); }},
    };
    std::vector<uint8_t> memory(VideoMemoryBytes, 0);
    ASSERT_TRUE(sim::DrawTestPattern(memory, 640, 480, 32, 2560, nullptr));
    for (const auto& control : controls) {
        sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
        ProgramDisplay(chip, Block("640x480@60"), 32, 2560);
        ASSERT_FALSE(sim::DecodeDisplay(chip, VideoMemoryBytes).blanked);
        control.apply(chip);
        sim::DisplayState state = sim::DecodeDisplay(chip, VideoMemoryBytes);
        EXPECT_TRUE(state.blanked) << control.words;
        EXPECT_TRUE(HasProblem(state, control.words)) << Problems(state);
        sim::Image image = sim::RenderScreen(chip, memory);
        EXPECT_EQ(std::count(image.pixels.begin(), image.pixels.end(), 0u), 640 * 480) << control.words;
    }
}

// ---- Test pattern ----

TEST(ScanoutPattern, UsesEveryComponentValueAndMarksItsCorners) {
    const unsigned width = 640, height = 480;
    std::array<bool, 256> red{}, green{}, blue{}, index{};
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            uint32_t colour = sim::PatternColour(x, y, width, height);
            red[(colour >> 16) & 0xFF] = true;
            green[(colour >> 8) & 0xFF] = true;
            blue[colour & 0xFF] = true;
            index[sim::PatternValue(x, y, width, height, 8)] = true;
        }
    }
    EXPECT_EQ(std::count(red.begin(), red.end(), true), 256);
    EXPECT_EQ(std::count(green.begin(), green.end(), true), 256);
    EXPECT_EQ(std::count(blue.begin(), blue.end(), true), 256);
    EXPECT_EQ(std::count(index.begin(), index.end(), true), 256);

    const uint32_t corners[4] = {sim::PatternColour(0, 0, width, height),
                                 sim::PatternColour(width - 1, 0, width, height),
                                 sim::PatternColour(0, height - 1, width, height),
                                 sim::PatternColour(width - 1, height - 1, width, height)};
    const uint32_t border = sim::PatternColour(width / 2, 0, width, height);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(corners[i], border);
        for (int j = i + 1; j < 4; ++j) EXPECT_NE(corners[i], corners[j]);
    }
    for (unsigned x = 1; x + 1 < width; ++x) {
        EXPECT_EQ(sim::PatternColour(x, height - 1, width, height), border);
    }
    for (unsigned y = 1; y + 1 < height; ++y) {
        EXPECT_EQ(sim::PatternColour(0, y, width, height), border);
        EXPECT_EQ(sim::PatternColour(width - 1, y, width, height), border);
    }
}

TEST(ScanoutPattern, RefusesWhatItCannotDrawAndWritesNothing) {
    struct Case {
        const char* name;
        unsigned width, height, bitsPerPixel;
        uint32_t stride;
        size_t memoryBytes;
        bool drawn;
    };
    const Case cases[] = {
        {"fits exactly", 64, 48, 16, 128, 128 * 47 + 128, true},
        {"fits exactly with padding", 64, 48, 24, 200, 200 * 47 + 192, true},
        {"room to spare", 64, 48, 32, 300, 300 * 48 + 64, true},
        {"one byte short", 64, 48, 16, 128, 128 * 48 - 1, false},
        {"12 bits per pixel", 64, 48, 12, 128, 1 << 20, false},
        {"no width", 0, 48, 8, 64, 1 << 20, false},
        {"no lines", 64, 0, 8, 64, 1 << 20, false},
        {"stride shorter than a line", 64, 48, 32, 255, 1 << 20, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> memory(c.memoryBytes, 0x77);
        const std::vector<uint8_t> before = memory;
        std::string error;
        EXPECT_EQ(sim::DrawTestPattern(memory, c.width, c.height, c.bitsPerPixel, c.stride, &error), c.drawn);
        if (c.drawn) {
            // Every pixel byte may change; nothing else does.
            const size_t lineBytes = static_cast<size_t>(c.width) * c.bitsPerPixel / 8;
            size_t changedOutside = 0, changedInside = 0;
            for (size_t i = 0; i < memory.size(); ++i) {
                bool pixel = i / c.stride < c.height && i % c.stride < lineBytes;
                (pixel ? changedInside : changedOutside) += memory[i] != before[i];
            }
            EXPECT_EQ(changedOutside, 0u);
            EXPECT_GT(changedInside, 0u);
        } else {
            EXPECT_EQ(memory, before);
            EXPECT_FALSE(error.empty());
        }
    }
}

// ---- PNG ----

class ScanoutPng : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "scanout_png_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }
    std::string Path(const std::string& name) const { return (directory_ / name).string(); }
    size_t FileCount() const {
        return std::distance(std::filesystem::directory_iterator(directory_), std::filesystem::directory_iterator());
    }

    std::filesystem::path directory_;
};

struct PngRows {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0, interlace = 0;
    std::vector<uint8_t> bytes;
};

// Decodes a PNG with libpng's row interface, apart from ReadPng.
bool DecodePngRows(const char* path, PngRows* out) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    out->bitDepth = png_get_bit_depth(png, info);
    out->colourType = png_get_color_type(png, info);
    out->interlace = png_get_interlace_type(png, info);
    size_t rowBytes = png_get_rowbytes(png, info);
    out->bytes.resize(rowBytes * out->height);
    for (png_uint_32 y = 0; y < out->height; ++y) png_read_row(png, &out->bytes[y * rowBytes], nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return true;
}

sim::Image PatternScreen(unsigned bitsPerPixel) {
    sim::Chip chip = ChipAsTheBiosLeftIt(sim::Straps{.memoryMiB = 16});
    ProgramDisplay(chip, Block("640x480@60"), bitsPerPixel, 640 * bitsPerPixel / 8);
    std::vector<uint8_t> memory(VideoMemoryBytes, 0);
    sim::DrawTestPattern(memory, 640, 480, bitsPerPixel, 640 * bitsPerPixel / 8, nullptr);
    return sim::RenderScreen(chip, memory);
}

TEST_F(ScanoutPng, ScreenshotRoundTripsAsEightBitRgb) {
    const sim::Image screen = PatternScreen(32);
    const std::string path = Path("screen.png");
    std::string error;
    ASSERT_TRUE(sim::WritePng(path, screen, &error)) << error;

    PngRows rows;
    ASSERT_TRUE(DecodePngRows(path.c_str(), &rows));
    EXPECT_EQ(rows.width, screen.width);
    EXPECT_EQ(rows.height, screen.height);
    EXPECT_EQ(rows.bitDepth, 8);
    EXPECT_EQ(rows.colourType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(rows.interlace, PNG_INTERLACE_NONE);
    ASSERT_EQ(rows.bytes.size(), screen.pixels.size() * 3);
    size_t differing = 0;
    for (size_t i = 0; i < screen.pixels.size(); ++i) {
        uint32_t decoded = rows.bytes[i * 3] << 16 | rows.bytes[i * 3 + 1] << 8 | rows.bytes[i * 3 + 2];
        differing += decoded != screen.pixels[i];
    }
    EXPECT_EQ(differing, 0u);

    sim::Image read;
    ASSERT_TRUE(sim::ReadPng(path, &read, &error)) << error;
    EXPECT_EQ(read.width, screen.width);
    EXPECT_EQ(read.height, screen.height);
    EXPECT_EQ(read.pixels, screen.pixels);
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(ScanoutPng, FailedWriteLeavesTheExistingFileAndNoLeftovers) {
    const sim::Image original = PatternScreen(8);
    const std::string path = Path("screen.png");
    ASSERT_TRUE(sim::WritePng(path, original, nullptr));
    const std::string subdirectory = Path("shots");
    ASSERT_TRUE(std::filesystem::create_directory(subdirectory));

    sim::Image wrongSize = original;
    wrongSize.pixels.pop_back();
    sim::Image empty;
    sim::Image tooWide{sim::MaxPngSide + 1, 1, std::vector<uint32_t>(sim::MaxPngSide + 1, 0)};
    struct Case {
        const char* name;
        std::string path;
        const sim::Image* image;
    };
    const Case cases[] = {
        {"empty image", path, &empty},
        {"pixels fewer than width x height", path, &wrongSize},
        {"wider than the limit", path, &tooWide},
        {"missing directory", Path("missing/screen.png"), &original},
        {"path is a directory", subdirectory, &original},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(sim::WritePng(c.path, *c.image, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(FileCount(), 2u);   // screen.png and shots: no temporary left behind
    }
    sim::Image read;
    ASSERT_TRUE(sim::ReadPng(path, &read, nullptr));
    EXPECT_EQ(read.pixels, original.pixels);
}

TEST_F(ScanoutPng, UnreadableFilesAreRefused) {
    const std::string good = Path("good.png");
    ASSERT_TRUE(sim::WritePng(good, PatternScreen(16), nullptr));
    const auto size = std::filesystem::file_size(good);
    const std::string truncated = Path("truncated.png");
    std::filesystem::copy_file(good, truncated);
    std::filesystem::resize_file(truncated, size / 2);
    const std::string text = Path("text.png");
    std::ofstream(text) << "not a picture\n";

    for (const std::string& path : {Path("missing.png"), truncated, text}) {
        SCOPED_TRACE(path);
        sim::Image image{2, 1, {0x123456, 0x654321}};
        std::string error;
        EXPECT_FALSE(sim::ReadPng(path, &image, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(image.width, 2u);
        EXPECT_EQ(image.pixels, (std::vector<uint32_t>{0x123456, 0x654321}));
    }
}

}  // namespace
