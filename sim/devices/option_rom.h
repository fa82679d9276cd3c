// The adapter's option ROM image: the video BIOS as the board carries it.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// The ROM of a standard board: PCI option ROM header and data structure, a 4-byte-aligned version
// text ("Version 1.00.01 ..."), the maker's name after it, the "VGA BIOS - Version 1.00.01" banner
// and a checksum byte that makes all bytes add up to 0.
std::vector<uint8_t> BuiltinRom(uint16_t vendorId, uint16_t deviceId);

// Sets the last byte so that all bytes of the image add up to 0 modulo 256.
void SealRomChecksum(std::vector<uint8_t>& image);

}  // namespace sim
