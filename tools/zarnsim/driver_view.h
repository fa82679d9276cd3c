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
};

DriverView ReadDriverView(sim::Machine& machine, int adapter);

// The clock a PLL register value gives: 14.31818 MHz x (N + 2) / ((M + 2) x 2^K).
double PllMegahertz(uint32_t pll);

}  // namespace zarnsim
