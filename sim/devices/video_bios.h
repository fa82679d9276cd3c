// The video BIOS of the option ROM, as the system runs it: the power-on self test that brings a
// primary adapter into VGA text mode before any driver loads, and the real-mode calls that the
// port driver makes for VideoPortInt10 (VESA function 0x4F02 and the text mode).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/chip.h"

namespace sim {

// Which VESA mode numbers the BIOS accepts.
struct BiosConfig {
    enum class Accept { Every, None, Listed };
    Accept accept = Accept::Every;
    std::vector<uint16_t> modes;   // for Listed
    // Keep: a VESA mode set keeps a CRTC timing loaded before the call when its display matches the
    // mode (so a driver can choose the refresh rate). Own: it always loads its own 60 Hz timing.
    enum class Timing { Keep, Own };
    Timing timing = Timing::Keep;
};

// A mode the BIOS knows: its resolution and depth.
struct VesaMode {
    uint16_t number;
    unsigned width;
    unsigned height;
    unsigned bitsPerPixel;
};
const std::vector<VesaMode>& VesaModes();

struct BiosRegisters {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0, ebp = 0;
};

// The power-on self test: chip initialization with the BIOS's own values and text mode 3.
void RunPowerOnSelfTest(Chip& chip, uint16_t deviceId, bool bus66);

// One INT 10h call; changes the registers as the BIOS returns them. Returns a line describing the
// call for the trace. A VESA mode set programs the display engine for the mode's resolution and
// depth and turns the video output on; it keeps a CRTC timing loaded before the call when that
// timing's display matches the mode (so a driver can choose the refresh rate), and loads its own
// 60 Hz timing otherwise.
std::string CallVideoBios(Chip& chip, const BiosConfig& config, BiosRegisters& registers);

// Puts the chip into VGA text mode 3 (80 x 25, 720 x 400 at 70 Hz), graphics pipeline off.
void SetTextMode(Chip& chip);

}  // namespace sim
