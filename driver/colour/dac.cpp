// Writes into the DAC colour table: index, read back, data, read back; all 32-bit.
#include "colour/dac.h"

#include "hw/access.h"
#include "hw/registers.h"

static void SelectDacEntry(const AdapterState* adapter, ULONG entry, ULONG colour) {
    WriteIo(adapter, reg::DacIndex, entry);
    ReadIo(adapter, reg::DacIndex);
    WriteIo(adapter, reg::DacData, colour);
}

void WritePaletteEntry(const AdapterState* adapter, ULONG entry, ULONG colour) {
    SelectDacEntry(adapter, entry, colour);
    ReadIo(adapter, reg::DacIndex);
}

void WriteGammaEntry(const AdapterState* adapter, ULONG entry, ULONG colour) {
    SelectDacEntry(adapter, entry, colour);
    ReadIo(adapter, reg::DacData);
}

void LoadGammaRamp(const AdapterState* adapter, const ULONG* ramp) {
    for (ULONG i = 0; i < GammaEntries; ++i) WriteGammaEntry(adapter, GammaFirstEntry + i, ramp[i]);
}
