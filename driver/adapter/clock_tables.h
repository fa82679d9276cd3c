// The clock tables: a frequency in whole MHz to the PLL register value that gives it.
// A PLL value holds N in bits 15-8, M in bits 7-2 and K in bits 1-0; the clock is
// 14.31818 MHz x (N + 2) / ((M + 2) x 2^K).
#pragma once

#include "platform/videoport.h"

constexpr ULONG NoClock = 0xFFFFFFFF;
constexpr ULONG Device3ClockEntries = 171;   // 0-170 MHz
constexpr ULONG Device45ClockEntries = 221;  // 0-220 MHz
// The clocks the registry may ask for: device 3's graphics clock and the memory clock, and the
// graphics clock of devices 4 and 5.
constexpr ULONG Device3LowestMhz = 50;
constexpr ULONG Device3HighestMhz = 169;
constexpr ULONG Device45LowestMhz = 31;
constexpr ULONG Device45HighestMhz = 219;

// Graphics clock of device 3, and the memory clock.
extern const ULONG device3ClockTable[Device3ClockEntries];
// Graphics clock of devices 4 and 5.
struct Device45ClockTable {
    ULONG entries[Device45ClockEntries];
};
extern const Device45ClockTable device45ClockTable;

// Devices 4 and 5 run the PLL with M = 1 and K = 1, so that the clock is 14.31818 MHz x (N + 2) / 6;
// entry f holds the N whose clock comes nearest to f MHz. Computed by the compiler, not at start-up.
constexpr Device45ClockTable BuildDevice45ClockTable() {
    Device45ClockTable table{};
    for (ULONG f = 0; f < Device45ClockEntries; ++f) {
        if (f < 30) {
            table.entries[f] = NoClock;
            continue;
        }
        // Nearest integer to 6 f / 14.31818, in integer arithmetic.
        ULONG nearest = (6 * f * 100000 * 2 + 1431818) / (2 * 1431818);
        table.entries[f] = ((nearest - 2) << 8) | 0x05;
    }
    return table;
}
