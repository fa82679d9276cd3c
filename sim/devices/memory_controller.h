// The memory controller between the board's DRAM and everything that reads or writes video memory
// (the frame buffer window and the scanout). It decodes as much memory as its configuration bits
// claim: dramInit0 bits 27 and 26 (neither 4 MiB, either one 8 MiB, both 16 MiB), or 16 MiB when
// dramInit1 bit 30 (the alternative memory type) is set. The DRAM on the board is a fixed amount.
//   - An offset at or beyond the configured size wraps around it: the controller ignores the address
//     lines above the size it decodes.
//   - An offset inside the configured size but beyond the DRAM the board carries reaches no memory:
//     reads return all ones (the data lines float high) and writes are lost.
//   - The DRAM holds data only while the controller runs it: with a memory clock (on device 3 the
//     memory clock register, on devices 4 and 5 the graphics clock), the DRAM timing of dramInit1
//     (its bits other than the straps) and a refresh interval (register 0x20). At power-on, and
//     after the chip lost power, all three are 0 until a BIOS or a driver initializes the chip:
//     writes then do not reach the cells and reads return whatever the cells hold.
#pragma once

#include <cstdint>

#include "devices/chip.h"

namespace sim {

struct MemoryController {
    // dramInit1 without its straps (bits 31, 30, 25), the slow memory clock bit (14) and the display bit (0).
    static constexpr uint32_t DramTimingBits = 0x3DFFBFFE;

    uint32_t configuredBytes = 0;
    uint32_t installedBytes = 0;
    bool running = true;

    static MemoryController Of(const Chip& chip, uint64_t installedBytes) {
        uint32_t dram0 = chip.Peek(chipreg::DramInit0);
        uint32_t dram1 = chip.Peek(chipreg::DramInit1);
        uint32_t mib = 4;
        if (dram1 & 0x40000000) {
            mib = 16;
        } else {
            if (dram0 & 0x08000000) mib *= 2;
            if (dram0 & 0x04000000) mib *= 2;
        }
        uint32_t clock = chip.Peek(chip.BoardStraps().separateMemoryClock ? chipreg::MemoryClock : chipreg::GraphicsClock);
        bool running = clock != 0 && (dram1 & DramTimingBits) != 0 && chip.Peek(chipreg::MemoryRefresh) != 0;
        return MemoryController{mib << 20, static_cast<uint32_t>(installedBytes), running};
    }

    // The DRAM byte that an offset reaches, or -1 for none.
    int64_t Target(uint64_t offset) const {
        uint64_t wrapped = offset % configuredBytes;
        return wrapped < installedBytes ? static_cast<int64_t>(wrapped) : -1;
    }
    bool Mismatch() const { return configuredBytes != installedBytes; }
};

}  // namespace sim
