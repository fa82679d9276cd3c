// The PLL clock tables checked entry by entry against the PLL's own formula: the table of device 3
// (graphics and memory clock), and that of devices 4 and 5, built by the compiler and here by the
// same builder at run time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "adapter/clock_tables.h"

namespace {

// The clock a PLL value gives: 14.31818 MHz x (N + 2) / ((M + 2) x 2^K), N in bits 15-8, M in
// bits 7-2, K in bits 1-0.
double PllMhz(uint32_t value) {
    uint32_t n = value >> 8, m = (value >> 2) & 0x3F, k = value & 3;
    return 14.31818 * (n + 2) / ((m + 2) * double(1u << k));
}

// The value with M = 1 and K = 1 whose clock lies nearest to `mhz`, by trying every N.
uint32_t NearestWithM1K1(uint32_t mhz) {
    uint32_t best = 0x05;
    for (uint32_t n = 1; n < 256; ++n) {
        uint32_t value = n << 8 | 0x05;
        if (std::fabs(PllMhz(value) - mhz) < std::fabs(PllMhz(best) - mhz)) best = value;
    }
    return best;
}

// The memory clock is written from the table for every MHz from 50 to 169 without a check.
TEST(Device3ClockTable, EveryEntryFrom50To169MegahertzGivesItsFrequency) {
    for (uint32_t mhz = 0; mhz < Device3ClockEntries; ++mhz) {
        SCOPED_TRACE(mhz);
        if (mhz < 50) {
            EXPECT_EQ(device3ClockTable[mhz], NoClock);
            continue;
        }
        ASSERT_EQ(device3ClockTable[mhz] >> 16, 0u);
        EXPECT_LE(std::fabs(PllMhz(device3ClockTable[mhz]) - mhz), 0.5);
    }
}

TEST(Device45ClockTable, EachEntryGivesTheClockNearestItsFrequency) {
    // Called through a pointer the compiler cannot see through, so that the builder runs now.
    Device45ClockTable (*volatile build)() = BuildDevice45ClockTable;
    const Device45ClockTable table = build();
    for (uint32_t mhz = 0; mhz < Device45ClockEntries; ++mhz) {
        SCOPED_TRACE(mhz);
        EXPECT_EQ(table.entries[mhz], device45ClockTable.entries[mhz]) << "the table the chip is given";
        EXPECT_EQ(table.entries[mhz], mhz < 30 ? NoClock : NearestWithM1K1(mhz));
    }
}

}  // namespace
