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

// IOCTL_VIDEO_SET_CURRENT_MODE: the BIOS path with its fallback, or direct programming.
VP_STATUS SetCurrentMode(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
// Leaves the current mode (the body of HwResetHw); always FALSE.
BOOLEAN ResetHardware(AdapterState* adapter);
// IOCTL_VIDEO_RESET_DEVICE: the reset, then text mode through the BIOS on the BIOS path.
VP_STATUS ResetDevice(AdapterState* adapter);
