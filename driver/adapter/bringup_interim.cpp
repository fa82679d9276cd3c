// Bring-up steps as they stand until the registry configuration, the option ROM probe and the chip
// initialization land: no registry value is read, and the adapter is treated as one whose option
// ROM has no version text.
#include "adapter/bringup.h"

#include "adapter/callbacks.h"
#include "modes/mode_tables.h"

void ReadRegistryConfiguration(AdapterState*) {}

VP_STATUS ProbeOptionRom(AdapterState* adapter) {
    adapter->modeAttributeBits = adapter->useSoftwareCursor ? 1 : 0;
    adapter->directModeTable = adapter->modeTables->directSelectorTable;
    adapter->romPresent = 0;
    adapter->biosModeTable = nullptr;
    adapter->useNonBiosModeSet = 1;
    return NO_ERROR;
}

void InitializeChip(AdapterState*) {}

void ResetDisplay(const AdapterState*) {}

BOOLEAN NTAPI HwInitialize(PVOID) { return TRUE; }
