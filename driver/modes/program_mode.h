// Direct mode programming: a mode selector entry written into the chip without the video BIOS.
#pragma once

#include "adapter/adapter_state.h"
#include "modes/mode_tables.h"

// Programs currentModeEntry: pixel format, stride, timing, pixel clock, attribute controller,
// identity palette and gamma ramp. ERROR_INVALID_PARAMETER when the entry's CRTC block is missing.
VP_STATUS ProgramMode(AdapterState* adapter);

// The timing load of the BIOS path, before the BIOS is asked for the entry's mode.
VP_STATUS PreloadTiming(AdapterState* adapter, const ModeSelectorEntry* entry);
