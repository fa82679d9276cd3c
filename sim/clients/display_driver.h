// What the display driver above the miniport does with it: asks for the mode list and sets modes
// through requests, as the system's frame-buffer display driver would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace sim {

struct ModeList {
    uint32_t status = 0;   // of the failing request, or 0
    std::vector<VIDEO_MODE_INFORMATION> modes;
};

// IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, then IOCTL_VIDEO_QUERY_AVAIL_MODES with the size it gave.
ModeList QueryModes(Machine& machine, int adapter);

// A mode as a person asks for it: "1024x768x16@75".
struct ModeRequest {
    unsigned width = 0;
    unsigned height = 0;
    unsigned bitsPerPixel = 0;
    unsigned refreshHz = 0;
};
// Parses WxHxBPP@HZ; throws std::invalid_argument with a one-line message.
ModeRequest ParseModeRequest(const std::string& text);

struct ModeSetResult {
    uint32_t status = 0;             // of the failing request, or 0
    bool offered = false;            // the mode is in the adapter's list
    VIDEO_MODE_INFORMATION mode{};   // the current mode after the set, as the driver reports it
};

// Sets a mode by its index, then asks for the current mode.
ModeSetResult SetModeByIndex(Machine& machine, int adapter, uint32_t index);
// Finds the mode in the list and sets it, as a display driver does.
ModeSetResult SetMode(Machine& machine, int adapter, const ModeRequest& request);

// --- Palette and gamma ramp ---------------------------------------------------------------------

// The palette a frame-buffer display driver sets for an 8-bit mode before it draws: the 20 colours
// the window manager reserves at entries 0-9 and 246-255, and between them an 8 x 8 x 4 cube of red,
// green and blue (entry 255 - n holds red 32 x (n mod 8), green 32 x (n / 8 mod 8), blue 64 x (n / 64)).
std::vector<uint32_t> DisplayDriverPalette();
// IOCTL_VIDEO_SET_COLOR_REGISTERS with the colours (0x00RRGGBB) from entry `first`; the status.
uint32_t SetPalette(Machine& machine, int adapter, uint32_t first, const std::vector<uint32_t>& colours);
// IOCTL_VIDEO_SET_GAMMA_TABLE with the ramp's 256 entries; the status.
uint32_t SetGammaRamp(Machine& machine, int adapter, const std::vector<uint32_t>& ramp);

// The frame buffer as the display driver maps it: IOCTL_VIDEO_MAP_VIDEO_MEMORY with a requested
// address of 0, from the display driver's process.
struct FrameBufferMapping {
    uint32_t status = 0;
    uint32_t videoRamBase = 0;
    uint32_t videoRamLength = 0;
    uint32_t frameBufferBase = 0;
    uint32_t frameBufferLength = 0;
};
FrameBufferMapping MapFrameBuffer(Machine& machine, int adapter, uint32_t process = 1);
// IOCTL_VIDEO_UNMAP_VIDEO_MEMORY of a mapped address; returns the status.
uint32_t UnmapFrameBuffer(Machine& machine, int adapter, uint32_t address, uint32_t process = 1);
// Draws the test pattern of a mode through a mapping, line by line through the process's accesses.
// At 8 bpp with a `palette`, each pixel is the nearest palette entry.
bool DrawThroughMapping(Machine& machine, uint32_t process, const FrameBufferMapping& mapping,
                        const VIDEO_MODE_INFORMATION& mode, std::string* error,
                        const std::vector<uint32_t>* palette = nullptr);

std::vector<uint8_t> BytesOf(const void* data, size_t size);
uint32_t Dword(const std::vector<uint8_t>& bytes, size_t offset);

}  // namespace sim
