// Adapter bring-up steps that discovery, HwInitialize, reset and power management share.
#pragma once

#include "adapter/adapter_state.h"

// Reads the adapter's registry values into the record; writes missing gamma ramps back.
void ReadRegistryConfiguration(AdapterState* adapter);
// Looks at the option ROM, chooses the mode tables and the mode-set path, checks the device ID and
// publishes the HardwareInformation values.
VP_STATUS ProbeOptionRom(AdapterState* adapter);
// Whether the driver serves an adapter of this PCI device ID (the ROM probe's identity table).
bool ServesDevice(USHORT deviceId);
// The chip initialization sequence.
void InitializeChip(AdapterState* adapter);
// The display reset sequence.
void ResetDisplay(const AdapterState* adapter);
