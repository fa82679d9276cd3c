// Decodes the chip's display registers into a timing, a display state and the picture on screen.
#include "devices/scanout.h"

#include <cstdarg>
#include <algorithm>
#include <cstdio>

#include "devices/memory_controller.h"
#include "support/text_format.h"

namespace sim {

namespace {

constexpr uint32_t PipelineEnable = 1u << 0;
constexpr uint32_t PipelineLineDouble = 1u << 4;
constexpr unsigned PipelineFormatShift = 18;
constexpr uint32_t PipelineFormatMask = 3;
constexpr uint32_t OutputDoubleClock = 1u << 0;
constexpr uint32_t PipelineDoubleClock = 1u << 26;
constexpr uint32_t StrideMask = 0x3FFF;
constexpr uint32_t ScreenWidthMask = 0xFFF;
constexpr unsigned ScreenLinesShift = 12;
constexpr unsigned ScreenLinesShiftDoubled = 13;
// The screen size register cannot hold 2048 as a width; that width is programmed as 2046.
constexpr unsigned WideScreenWidth = 2048;
constexpr unsigned WideScreenRegister = 2046;

constexpr uint8_t MiscHsyncNegative = 0x40;
constexpr uint8_t MiscVsyncNegative = 0x80;
constexpr unsigned CrtcExtHorizontal = 0x1A;
constexpr unsigned CrtcExtVertical = 0x1B;
constexpr unsigned GammaBase = 256;
constexpr double ReferenceMHz = 14.31818;

const unsigned bitsPerPixelOfFormat[4] = {8, 16, 24, 32};

unsigned Bit(uint8_t value, unsigned bit) { return (value >> bit) & 1u; }

// A CRTC end register holds only the low `bits` bits of the end: the interval ends at the first
// count after `start` whose low bits match (a full cycle of the field when they match at once).
unsigned WrapEnd(unsigned start, unsigned field, unsigned bits) {
    unsigned cycle = 1u << bits;
    unsigned span = (field - start) & (cycle - 1);
    return start + (span == 0 ? cycle : span);
}

DisplayTiming DecodeTiming(const Chip& chip) {
    const VgaState& vga = chip.Vga();
    const auto& cr = vga.crtc;
    uint8_t extH = cr[CrtcExtHorizontal];
    uint8_t extV = cr[CrtcExtVertical];
    uint8_t overflow = cr[0x07];

    DisplayTiming t;
    t.doubleClock = (chip.Peek(chipreg::OutputControl) & OutputDoubleClock) != 0;
    t.pipelineDoubleClock = (chip.Peek(chipreg::Pipeline) & PipelineDoubleClock) != 0;
    t.characterWidth = t.doubleClock ? 16 : 8;

    unsigned hTotal = (cr[0x00] | Bit(extH, 0) << 8) + 5;
    unsigned hDisplay = (cr[0x01] | Bit(extH, 2) << 8) + 1;
    unsigned hBlankStart = cr[0x02] | Bit(extH, 4) << 8;
    unsigned hBlankField = (cr[0x03] & 0x1F) | Bit(cr[0x05], 7) << 5 | Bit(extH, 5) << 6;
    unsigned hSyncStart = cr[0x04] | Bit(extH, 6) << 8;
    unsigned cw = t.characterWidth;
    t.hTotal = hTotal * cw;
    t.hDisplay = hDisplay * cw;
    t.hBlankStart = hBlankStart * cw;
    t.hBlankEnd = WrapEnd(hBlankStart, hBlankField, 7) * cw;
    t.hSyncStart = hSyncStart * cw;
    t.hSyncEnd = WrapEnd(hSyncStart, cr[0x05] & 0x1F, 5) * cw;

    t.vTotal = (cr[0x06] | Bit(overflow, 0) << 8 | Bit(overflow, 5) << 9 | Bit(extV, 0) << 10) + 2;
    t.vDisplay = (cr[0x12] | Bit(overflow, 1) << 8 | Bit(overflow, 6) << 9 | Bit(extV, 2) << 10) + 1;
    t.vBlankStart = cr[0x15] | Bit(overflow, 3) << 8 | Bit(cr[0x09], 5) << 9 | Bit(extV, 4) << 10;
    t.vBlankEnd = WrapEnd(t.vBlankStart, cr[0x16], 8);
    t.vSyncStart = cr[0x10] | Bit(overflow, 2) << 8 | Bit(overflow, 7) << 9 | Bit(extV, 6) << 10;
    t.vSyncEnd = WrapEnd(t.vSyncStart, cr[0x11] & 0x0F, 4);

    uint32_t pll = chip.Peek(chipreg::PixelClock);
    unsigned n = (pll >> 8) & 0xFF;
    unsigned m = (pll >> 2) & 0x3F;
    unsigned k = pll & 3;
    t.pixelClockMHz = ReferenceMHz * (n + 2) / ((m + 2) * static_cast<double>(1u << k));
    t.horizontalKHz = t.pixelClockMHz * 1000.0 / t.hTotal;
    t.refreshHz = t.horizontalKHz * 1000.0 / t.vTotal;

    t.hsyncNegative = (vga.miscOutput & MiscHsyncNegative) != 0;
    t.vsyncNegative = (vga.miscOutput & MiscVsyncNegative) != 0;
    return t;
}

bool TimingRegistersZero(const VgaState& vga) {
    static const unsigned indices[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x09,
                                       0x10, 0x11, 0x12, 0x15, 0x16, CrtcExtHorizontal, CrtcExtVertical};
    for (unsigned index : indices) {
        if (vga.crtc[index] != 0) return false;
    }
    return true;
}

// An interval of the line or frame that does not fit inside its total.
void CheckInterval(const char* what, const char* unit, unsigned start, unsigned end, unsigned total,
                   std::vector<std::string>& problems) {
    if (end > total) {
        problems.push_back(Format("%s (%u-%u %s) runs past the total of %u %s", what, start, end, unit,
                                  total, unit));
    }
}

void CheckTiming(const Chip& chip, const DisplayTiming& t, std::vector<std::string>& problems) {
    if (TimingRegistersZero(chip.Vga())) {
        problems.push_back("the CRTC timing registers are all zero");
        return;
    }
    if ((chip.Peek(chipreg::PixelClock) & 0xFFFF) == 0) {
        problems.push_back("the pixel clock register is zero");
    }
    if (t.hDisplay > t.hTotal) {
        problems.push_back(Format("horizontal display end %u px lies beyond the total of %u px", t.hDisplay,
                                  t.hTotal));
    }
    if (t.vDisplay > t.vTotal) {
        problems.push_back(Format("vertical display end %u lines lies beyond the total of %u lines",
                                  t.vDisplay, t.vTotal));
    }
    CheckInterval("horizontal blanking", "px", t.hBlankStart, t.hBlankEnd, t.hTotal, problems);
    CheckInterval("horizontal sync", "px", t.hSyncStart, t.hSyncEnd, t.hTotal, problems);
    CheckInterval("vertical blanking", "lines", t.vBlankStart, t.vBlankEnd, t.vTotal, problems);
    CheckInterval("vertical sync", "lines", t.vSyncStart, t.vSyncEnd, t.vTotal, problems);
    if (t.hSyncStart < t.hDisplay) {
        problems.push_back(Format("horizontal sync starts at %u px, inside the %u visible pixels",
                                  t.hSyncStart, t.hDisplay));
    }
    if (t.vSyncStart < t.vDisplay) {
        problems.push_back(Format("vertical sync starts at line %u, inside the %u visible lines",
                                  t.vSyncStart, t.vDisplay));
    }
}

// Bytes from the start of video memory to the end of the last pixel the scanout reads.
uint64_t ScreenExtent(const DisplayState& state) {
    if (state.width == 0 || state.height == 0) return 0;
    uint64_t lineBytes = static_cast<uint64_t>(state.width) * (state.bitsPerPixel / 8);
    return static_cast<uint64_t>(state.height - 1) * state.stride + lineBytes;
}

void CheckMemoryLayout(const DisplayState& state, std::vector<std::string>& problems) {
    uint64_t lineBytes = static_cast<uint64_t>(state.width) * (state.bitsPerPixel / 8);
    if (state.height > 1 && state.stride < lineBytes) {
        problems.push_back(Format("the stride of %u bytes is shorter than a line of %u pixels at %u bpp "
                                  "(%llu bytes)",
                                  state.stride, state.width, state.bitsPerPixel,
                                  static_cast<unsigned long long>(lineBytes)));
    }
    if (state.memoryConfiguredBytes > state.memoryInstalledBytes) {
        problems.push_back(Format("the memory controller is configured for %u MiB (dramInit0 bits 26-27, dramInit1 "
                                  "bit 30) but the board carries %u MiB: video memory from %u MiB up reads as all ones",
                                  state.memoryConfiguredBytes >> 20, state.memoryInstalledBytes >> 20,
                                  state.memoryInstalledBytes >> 20));
    } else if (state.memoryConfiguredBytes < state.memoryInstalledBytes) {
        problems.push_back(Format("the memory controller is configured for %u MiB but the board carries %u MiB: "
                                  "addresses above %u MiB wrap around",
                                  state.memoryConfiguredBytes >> 20, state.memoryInstalledBytes >> 20,
                                  state.memoryConfiguredBytes >> 20));
    }
    uint64_t extent = ScreenExtent(state);
    uint64_t reachable = std::min(state.memoryConfiguredBytes, state.memoryInstalledBytes);
    if (extent > reachable) {
        problems.push_back(Format("the screen (%u lines of %u bytes stride) ends at byte %llu, past the end "
                                  "of the video memory it can reach (%llu bytes)",
                                  state.height, state.stride, static_cast<unsigned long long>(extent),
                                  static_cast<unsigned long long>(reachable)));
    }
}

// The output and the pipeline count pixels per character each by their own double-clock control.
void CheckDoubleClock(const DisplayTiming& t, std::vector<std::string>& problems) {
    if (t.doubleClock == t.pipelineDoubleClock) return;
    problems.push_back(t.doubleClock
                           ? "the output runs a double pixel clock (0x4C bit 0) but the pipeline does not (0x5C bit 26): "
                             "every pixel of the left half of a line is shown twice"
                           : "the pipeline runs a double pixel clock (0x5C bit 26) but the output does not (0x4C bit 0): "
                             "every second pixel of a line twice as long is shown");
}

void CheckScreenSize(const DisplayState& state, std::vector<std::string>& problems) {
    bool widthAgrees = state.registerWidth == state.width ||
                       (state.registerWidth == WideScreenRegister && state.width == WideScreenWidth);
    unsigned registerOutputLines = state.registerLines * (state.lineDoubled ? 2 : 1);
    if (!widthAgrees || registerOutputLines != state.timing.vDisplay) {
        problems.push_back(Format("the screen size register says %u x %u%s, but the CRTC displays %u x %u",
                                  state.registerWidth, state.registerLines,
                                  state.lineDoubled ? " (lines doubled)" : "", state.width,
                                  state.timing.vDisplay));
    }
}

uint32_t Expand565(uint32_t word) {
    uint32_t r = (word >> 11) & 0x1F;
    uint32_t g = (word >> 5) & 0x3F;
    uint32_t b = word & 0x1F;
    r = (r << 3) | (r >> 2);
    g = (g << 2) | (g >> 4);
    b = (b << 3) | (b >> 2);
    return r << 16 | g << 8 | b;
}

// The colour of one pixel's bytes, before gamma.
uint32_t PixelColour(const uint8_t* p, unsigned bitsPerPixel, const uint32_t* palette) {
    switch (bitsPerPixel) {
    case 8: return palette[p[0]];
    case 16: return Expand565(p[0] | p[1] << 8);
    default: return static_cast<uint32_t>(p[2]) << 16 | p[1] << 8 | p[0];   // 24 and 32: B, G, R first
    }
}

uint32_t ApplyGamma(uint32_t colour, const uint32_t* gamma) {
    uint32_t r = (gamma[(colour >> 16) & 0xFF] >> 16) & 0xFF;
    uint32_t g = (gamma[(colour >> 8) & 0xFF] >> 8) & 0xFF;
    uint32_t b = gamma[colour & 0xFF] & 0xFF;
    return r << 16 | g << 8 | b;
}

// The VGA controls that blank the picture or stop the signal, whatever the pipeline shows.
void CheckVideoSignal(const Chip& chip, DisplayState& state) {
    const VgaState& vga = chip.Vga();
    uint32_t output = chip.Peek(chipreg::OutputControl);
    struct {
        bool blanks;
        const char* problem;
    } controls[] = {
        {(vga.sequencer[0] & 0x03) != 0x03, "the sequencer is held in reset (sequencer register 0)"},
        {(vga.sequencer[1] & 0x20) != 0, "the screen is switched off (sequencer register 1 bit 5)"},
        {(vga.attributeIndex & 0x20) == 0, "the attribute controller blanks the screen (palette address source bit clear)"},
        {(vga.crtc[0x17] & 0x80) == 0, "the CRTC is stopped (CRTC register 0x17 bit 7 clear): no sync"},
        {(output & 0x08) != 0, "horizontal sync is stopped (output control bit 3)"},
        {(output & 0x02) != 0, "vertical sync is stopped (output control bit 1)"},
    };
    for (const auto& control : controls) {
        if (!control.blanks) continue;
        state.blanked = true;
        state.problems.push_back(control.problem);
    }
}

}  // namespace

DisplayState DecodeDisplay(const Chip& chip, size_t videoMemoryBytes) {
    DisplayState state;
    uint32_t pipeline = chip.Peek(chipreg::Pipeline);
    state.enabled = (pipeline & PipelineEnable) != 0;
    state.lineDoubled = (pipeline & PipelineLineDouble) != 0;
    state.bitsPerPixel = bitsPerPixelOfFormat[(pipeline >> PipelineFormatShift) & PipelineFormatMask];
    state.stride = chip.Peek(chipreg::Stride) & StrideMask;
    uint32_t screenSize = chip.Peek(chipreg::ScreenSize);
    state.registerWidth = screenSize & ScreenWidthMask;
    state.registerLines = screenSize >> (state.lineDoubled ? ScreenLinesShiftDoubled : ScreenLinesShift);
    state.timing = DecodeTiming(chip);
    state.width = state.timing.hDisplay;
    state.height = state.lineDoubled ? (state.timing.vDisplay + 1) / 2 : state.timing.vDisplay;

    if (!state.enabled) state.problems.push_back("the display is disabled (pipeline register bit 0 is clear)");
    CheckVideoSignal(chip, state);
    MemoryController controller = MemoryController::Of(chip, videoMemoryBytes);
    state.memoryConfiguredBytes = controller.configuredBytes;
    state.memoryInstalledBytes = controller.installedBytes;
    if (!controller.running) {
        state.problems.push_back(
            "the memory controller is not set up (memory clock, DRAM timing or refresh is 0): video memory holds no data");
    }
    CheckTiming(chip, state.timing, state.problems);
    CheckDoubleClock(state.timing, state.problems);
    CheckScreenSize(state, state.problems);
    CheckMemoryLayout(state, state.problems);
    return state;
}

Image RenderScreen(const Chip& chip, std::span<const uint8_t> videoMemory) {
    DisplayState state = DecodeDisplay(chip, videoMemory.size());
    Image image;
    image.width = state.timing.hDisplay;
    image.height = state.timing.vDisplay;
    image.pixels.assign(static_cast<size_t>(image.width) * image.height, 0);
    if (!state.enabled || state.blanked) return image;

    uint32_t palette[256];
    uint32_t gamma[256];
    for (uint32_t i = 0; i < 256; ++i) {
        palette[i] = chip.DacEntry(i);
        gamma[i] = chip.DacEntry(GammaBase + i);
    }
    const uint64_t bytesPerPixel = state.bitsPerPixel / 8;
    MemoryController controller = MemoryController::Of(chip, videoMemory.size());
    // The pipeline fetches `fetched` pixels for every `shown` pixels the output sends.
    const unsigned fetched = state.timing.pipelineDoubleClock ? 2 : 1;
    const unsigned shown = state.timing.doubleClock ? 2 : 1;
    uint8_t bytes[4];
    for (unsigned y = 0; y < image.height; ++y) {
        unsigned sourceLine = state.lineDoubled ? y / 2 : y;
        uint64_t lineStart = static_cast<uint64_t>(sourceLine) * state.stride;
        uint32_t* out = &image.pixels[static_cast<size_t>(y) * image.width];
        for (unsigned x = 0; x < image.width; ++x) {
            uint64_t offset = lineStart + static_cast<uint64_t>(x) * fetched / shown * bytesPerPixel;
            for (uint64_t i = 0; i < bytesPerPixel; ++i) {
                int64_t target = controller.Target(offset + i);
                bytes[i] = target >= 0 ? videoMemory[static_cast<size_t>(target)] : 0xFF;
            }
            out[x] = ApplyGamma(PixelColour(bytes, state.bitsPerPixel, palette), gamma);
        }
    }
    return image;
}

// --- Sync outputs -------------------------------------------------------------------------------

SyncOutputs DecodeSyncOutputs(const Chip& chip) {
    const VgaState& vga = chip.Vga();
    uint32_t output = chip.Peek(chipreg::OutputControl);
    SyncOutputs sync;
    sync.t = DecodeTiming(chip);
    sync.screenOff = (vga.sequencer[1] & 0x20) != 0;
    sync.timing = !TimingRegistersZero(vga) && (chip.Peek(chipreg::PixelClock) & 0xFFFF) != 0 &&
                  (vga.crtc[0x17] & 0x80) != 0;
    sync.hsync = sync.timing && sync.t.hSyncStart < sync.t.hTotal && (output & 0x08) == 0;
    sync.vsync = sync.timing && sync.t.vSyncStart < sync.t.vTotal && (output & 0x02) == 0;
    return sync;
}

}  // namespace sim
