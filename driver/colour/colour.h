// The colour requests: the palette of the 8-bit modes, and the desktop gamma ramp that the 3D
// drivers replace and fetch.
#pragma once

#include "adapter/adapter_state.h"

VP_STATUS SetColorRegisters(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS SetGammaTable(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS GetGammaTable(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
