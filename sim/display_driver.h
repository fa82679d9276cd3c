// What the display driver above the miniport does with it: asks for the mode list and sets modes
// through requests, as the system's frame-buffer display driver would.
#pragma once

#include <cstdint>
#include <vector>

#include "machine.h"

namespace sim {

struct ModeList {
    uint32_t status = 0;   // of the failing request, or 0
    std::vector<VIDEO_MODE_INFORMATION> modes;
};

// IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, then IOCTL_VIDEO_QUERY_AVAIL_MODES with the size it gave.
ModeList QueryModes(Machine& machine, int adapter);

std::vector<uint8_t> BytesOf(const void* data, size_t size);
uint32_t Dword(const std::vector<uint8_t>& bytes, size_t offset);

}  // namespace sim
