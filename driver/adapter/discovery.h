// Adapter discovery (HwFindAdapter) and the steps it owns: the PCI configuration step, the range
// step and memory sizing.
#pragma once

#include "adapter/adapter_state.h"
#include "adapter/bringup.h"
#include "hw/pci.h"

// The device ID given to the platform when asking for the adapter's ranges.
constexpr USHORT ZarnFirstDeviceId = CorvidDeviceId;

// The configuration information the driver needs from the port (the record of Windows 2000).
constexpr ULONG ConfigInfoLength = 112;
static_assert(sizeof(VIDEO_PORT_CONFIG_INFO) == ConfigInfoLength, "VIDEO_PORT_CONFIG_INFO keeps its i386 size");

// The register window must reach the chip's last register, the I/O window its last VGA port.
constexpr ULONG RegisterWindowNeeded = 0x200254;
constexpr ULONG IoWindowNeeded = 0xDC;
