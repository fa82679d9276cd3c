// The scanout: what a monitor connected to the chip receives, decoded from the chip's registers
// alone (pipeline, pixel format, stride, screen size, line doubling, DAC palette and gamma, CRTC
// timing, pixel clock PLL, sync polarities). It never consults anything the driver keeps.
//
// The chip's display rules, as decoded here:
//   - Pipeline register (0x5C): bit 0 display enable, bit 4 line doubling (every source line is
//     shown twice), bits 18-19 pixel format: 0 = 8 bpp palette index, 1 = 16 bpp RGB 5:6:5
//     little-endian words, 2 = 24 bpp bytes B, G, R, 3 = 32 bpp 0x00RRGGBB little-endian.
//   - Stride register (0xE8) bits 0-13: bytes from one source line to the next. Scanout starts at
//     byte 0 of video memory.
//   - Screen size register (0x98): width in bits 0-11, line count from bit 12, or from bit 13 when
//     line doubling is on. A 2048-pixel width is held as 2046. The register is reported and checked
//     against the CRTC; the CRTC's display end decides what is shown.
//   - DAC entries 0-255 are the palette (8 bpp only), 256-511 the gamma ramp, applied at every depth:
//     red through the red byte of entry 256 + red, green and blue likewise.
//   - CRTC: standard VGA fields with their overflow bits, plus extension registers 0x1A (horizontal
//     bit 8s, blanking end bit 6) and 0x1B (vertical bit 10s). A character is 8 pixels, 16 with the
//     double pixel clock (output control register 0x4C bit 0).
//   - The pipeline has its own double-clock control (pipeline bit 26): it fetches 16 pixels per
//     character with it, 8 without. When the two controls disagree the output shows source pixel
//     x * fetched / shown at pixel x: with only the output doubled, the left half of every line
//     stretched to twice its width; with only the pipeline doubled, every second pixel of a line
//     twice as long.
//   - Video memory is read through the memory controller (memory_controller.h): when its
//     configuration claims more memory than the board carries, the missing part reads as all ones.
//   - Pixel clock (0x40): 14.31818 MHz x (N + 2) / ((M + 2) x 2^K), N = bits 8-15, M = bits 2-7,
//     K = bits 0-1. Miscellaneous output bit 6 / bit 7 set: horizontal / vertical sync negative.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "devices/chip.h"

namespace sim {

// The signal timing. Horizontal positions are pixels counted from the first active pixel of a line,
// vertical positions are output lines counted from the first active line (a line-doubled mode counts
// every line it sends, so its display end is twice the source lines). An end is the first position
// after the interval.
struct DisplayTiming {
    unsigned hTotal = 0;
    unsigned hDisplay = 0;
    unsigned hBlankStart = 0;
    unsigned hBlankEnd = 0;
    unsigned hSyncStart = 0;
    unsigned hSyncEnd = 0;
    unsigned vTotal = 0;
    unsigned vDisplay = 0;
    unsigned vBlankStart = 0;
    unsigned vBlankEnd = 0;
    unsigned vSyncStart = 0;
    unsigned vSyncEnd = 0;
    bool doubleClock = false;          // the output's double pixel clock (0x4C bit 0)
    bool pipelineDoubleClock = false;  // the pipeline's (0x5C bit 26)
    unsigned characterWidth = 8;   // pixels per CRTC character: 8, or 16 with the double clock
    double pixelClockMHz = 0;
    double horizontalKHz = 0;
    double refreshHz = 0;
    bool hsyncNegative = false;
    bool vsyncNegative = false;
};

struct DisplayState {
    bool enabled = false;
    // The VGA side shows no picture: sequencer in reset or screen off, attribute controller
    // blanking, CRTC stopped, or a sync output stopped (a monitor then goes dark).
    bool blanked = false;
    unsigned bitsPerPixel = 8;
    uint32_t stride = 0;           // bytes per source line
    unsigned width = 0;            // visible pixels per line (the CRTC's display end)
    unsigned height = 0;           // source lines shown (half the output lines when line doubled)
    bool lineDoubled = false;
    unsigned registerWidth = 0;    // the screen size register's fields, as the register holds them
    unsigned registerLines = 0;
    uint32_t memoryConfiguredBytes = 0;   // what the memory controller decodes
    uint32_t memoryInstalledBytes = 0;    // what the board carries
    DisplayTiming timing;
    // What a monitor or a careful reader would flag, one sentence each; empty when all is well.
    std::vector<std::string> problems;
};

// Decodes the chip's programmed display state. `videoMemoryBytes` is the size of the video memory
// the board carries, used to report a screen that runs past its end or a memory controller that
// claims more.
DisplayState DecodeDisplay(const Chip& chip, size_t videoMemoryBytes);

// A picture: 0x00RRGGBB pixels, row-major, width x height.
struct Image {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<uint32_t> pixels;

    uint32_t At(unsigned x, unsigned y) const { return pixels.at(static_cast<size_t>(y) * width + x); }
};

// The picture the monitor shows: timing.hDisplay x timing.vDisplay pixels (output lines, so a
// line-doubled mode gives every source line twice), after the palette and the gamma ramp.
// `videoMemory` is the DRAM the board carries, read through the memory controller: bytes the
// controller claims but the board lacks read as all ones (DecodeDisplay reports it). With the
// display disabled or blanked the picture is black at the same size.
Image RenderScreen(const Chip& chip, std::span<const uint8_t> videoMemory);

}  // namespace sim
