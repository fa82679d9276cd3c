// Mode validation, the mode queries, the mode set and reset.
#pragma once

#include "adapter/adapter_state.h"
#include "modes/mode_tables.h"

// The selector table in use: the BIOS table on the BIOS path, the direct table otherwise.
ModeSelectorEntry* ActiveModeTable(const AdapterState* adapter);

// Decides which entries of the active table are offered; ERROR_DEV_NOT_EXIST when none is.
VP_STATUS ValidateModes(AdapterState* adapter);

VP_STATUS QueryAvailModes(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS QueryNumAvailModes(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS QueryCurrentMode(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
