// The DAC colour table: 512 entries of 0x00RRGGBB, reached through the DAC index and data registers
// of the I/O window. Entries 0-255 are the palette, 256-511 the gamma ramp.
#pragma once

#include "adapter/adapter_state.h"
#include "hw/registers.h"

constexpr ULONG PaletteEntries = 256;
constexpr ULONG GammaFirstEntry = 256;

// The grey of this level (0-255) on all three channels.
static inline ULONG GreyColour(ULONG level) { return level * reg::DacGreyStep; }

void WritePaletteEntry(const AdapterState* adapter, ULONG entry, ULONG colour);
void WriteGammaEntry(const AdapterState* adapter, ULONG entry, ULONG colour);
// Writes a 256-entry ramp into DAC entries 256-511, every entry unchanged.
void LoadGammaRamp(const AdapterState* adapter, const ULONG* ramp);
