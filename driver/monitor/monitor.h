// The monitor child and power management: the display data channel's line callbacks, the monitor's
// identification data, and the power states of the monitor and the adapter.
#pragma once

#include "adapter/adapter_state.h"

// The identifiers the monitor child is given, and the one the platform uses for the adapter itself.
constexpr ULONG MonitorWithEdidId = 0x22446688;     // the monitor's identification data was read
constexpr ULONG MonitorWithoutEdidId = 0x11223344;  // it was not
constexpr ULONG AdapterPowerId = 0xFFFFFFFF;
// The monitor is the adapter's one child.
constexpr ULONG MonitorChildIndex = 1;

// The line callbacks handed to the platform's DDC helper. A writer drives its line high for any
// non-zero level; a reader returns the level on the wire.
VOID NTAPI WriteClockLine(PVOID hwDeviceExtension, UCHAR level);
VOID NTAPI WriteDataLine(PVOID hwDeviceExtension, UCHAR level);
BOOLEAN NTAPI ReadClockLine(PVOID hwDeviceExtension);
BOOLEAN NTAPI ReadDataLine(PVOID hwDeviceExtension);
// Returns at the leading edge of the next vertical sync pulse, or when a wait runs past its bound.
VOID NTAPI WaitVsync(PVOID hwDeviceExtension);

// The bound of each of WaitVsync's two waits: two frames at the slowest rate the mode tables offer
// (59.9 Hz), with a stall between reads short enough to see the shortest sync pulse (28 us).
constexpr ULONG VsyncPollMicroseconds = 10;
constexpr ULONG SlowestRefreshHz = 59;
constexpr ULONG VsyncWaitFrames = 2;
constexpr ULONG VsyncWaitPolls = VsyncWaitFrames * 1000000 / (SlowestRefreshHz * VsyncPollMicroseconds);

// Reads the monitor's identification data into the buffer through the platform's DDC helper; the
// monitor line register is restored whatever happened.
BOOLEAN ReadMonitorDescriptor(AdapterState* adapter, PUCHAR buffer, ULONG length);

// Programs the sync outputs (bits of the output control register) and the screen-off bit of the
// sequencer's clocking mode register.
void ApplyMonitorPower(const AdapterState* adapter, ULONG syncBits, UCHAR screenOff);
