// The driver's own record of an adapter, read from its device extension the way a kernel debugger
// shows it. Only the report uses it; the simulated machine never looks inside the driver.
#pragma once

#include <cstdint>
#include <string>

#include "machine/machine.h"

namespace zarnsim {

struct DriverView {
    bool available = false;       // discovery ran and the record can be read
    std::string biosVersion;      // the version text the ROM probe found, empty when none
    bool romPresent = false;
    bool romHasVersion10001 = false;
    bool biosPath = false;        // modes are set through the video BIOS
    int32_t debugLevel = -1;
    uint32_t useSoftwareCursor = 0;
    uint32_t useNonBiosModeSet = 0;
    uint32_t graphicsClockMhz = 0;
    uint32_t memClockMhz = 0;
    uint32_t dramInit0Value = 0;
    uint32_t dramInit1Value = 0;
    uint32_t miscInit1Value = 0;
    bool identityGamma = true;    // the desktop gamma ramp is the identity ramp
    bool identityLumenGamma = true;
    uint32_t modeCount = 0;       // entries of the active mode table
    bool isSecondary = false;     // the driver brings the adapter up as a secondary (no BIOS ran on it)
};

DriverView ReadDriverView(sim::Machine& machine, int adapter);

// --- The driver image ---
// Where the report's fields lie in the adapter state record of the driver image (zarn.sys), as the
// i386 compiler lays it out: pointers there take 4 bytes, so the offsets differ from the host
// build's record. The fields are those of win/adapter_layout_list.h, in its order.
struct ImageRecordLayout {
    uint32_t biosVersion, romPresent, romHasVersion10001, biosModeTable, debugLevel, useSoftwareCursor,
        useNonBiosModeSet, graphicsClockMhz, memClockMhz, dramInit0Value, dramInit1Value, miscInit1Value, gammaTable,
        lumenGammaTable, modeCount, isSecondary;
};
constexpr ImageRecordLayout ImageAdapterLayout = {3228, 3220, 3260, 3272, 3296, 3300, 3304, 3312,
                                                  3308, 3196, 3200, 3204, 3316, 4340, 3284, 3192};

// The clock a PLL register value gives: 14.31818 MHz x (N + 2) / ((M + 2) x 2^K).
double PllMegahertz(uint32_t pll);

}  // namespace zarnsim
