// The fields of the adapter state record that zarnsim's report reads from a device extension. The
// zarn.sys build lays them out as the i386 compiler does (adapter_layout_probe.cpp), and a test
// checks zarnsim's own table of those offsets, with which it reads the record of the driver image.
#pragma once

#define ADAPTER_LAYOUT_FIELDS(X) \
    X(biosVersion)               \
    X(romPresent)                \
    X(romHasVersion10001)        \
    X(biosModeTable)             \
    X(debugLevel)                \
    X(useSoftwareCursor)         \
    X(useNonBiosModeSet)         \
    X(graphicsClockMhz)          \
    X(memClockMhz)               \
    X(dramInit0Value)            \
    X(dramInit1Value)            \
    X(miscInit1Value)            \
    X(gammaTable)                \
    X(lumenGammaTable)           \
    X(modeCount)                 \
    X(isSecondary)
