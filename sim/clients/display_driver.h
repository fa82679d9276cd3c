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

std::vector<uint8_t> BytesOf(const void* data, size_t size);
uint32_t Dword(const std::vector<uint8_t>& bytes, size_t offset);

}  // namespace sim
