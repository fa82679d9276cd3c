// What the driver tells the people who install it: the messages of the checked build, and the event
// log entry of an adapter that discovery refuses (every build).
#pragma once

#include "platform/videoport.h"

// A message of the checked build (zarn-checked.sys), printf-style with %d %u %x %X %c %s only, one
// line ending in "\n". The platform prints it to the kernel debugger when its level (Error, Warn,
// Trace, Info) is at most VideoDebugLevel. The release build keeps no message: neither the call
// nor the text, and its arguments are not evaluated, so a message never reads the hardware.
#if ZARN_CHECKED
#define DebugMessage(level, format, ...) \
    VideoPortDebugPrint(level, const_cast<PCHAR>("zarn: " format) __VA_OPT__(, ) __VA_ARGS__)
#else
#define DebugMessage(level, format, ...) ((void)0)
#endif

// The UniqueId of the event log entry of a refused adapter: "ZRN" and the step of discovery that
// refused it; the entry's error code is the status discovery returned.
enum DiscoveryStep : ULONG {
    DiscoveryStepConfigInfo = 0x5A524E01,   // the port's configuration information is too short
    DiscoveryStepAdapterLimit = 0x5A524E02, // a fifth adapter: no copy of the mode tables left
    DiscoveryStepPci = 0x5A524E03,          // the access ranges or the PCI configuration space
    DiscoveryStepRanges = 0x5A524E04,       // the windows: refused, too small, or not mapped
    DiscoveryStepRomProbe = 0x5A524E05,     // the option ROM probe: a device ID the driver does not serve
    DiscoveryStepModes = 0x5A524E06,        // no mode fits the adapter
};

// Logs that discovery refused the adapter with `status` at `step`.
inline void LogRefusal(PVOID adapter, VP_STATUS status, DiscoveryStep step) {
    VideoPortLogError(adapter, nullptr, status, step);
}
