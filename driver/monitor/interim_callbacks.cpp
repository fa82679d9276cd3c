// Callbacks registered at driver entry whose work lands with the monitor child and power
// management. Until then: no child to report, no power state offered.
#include "adapter/adapter_state.h"
#include "adapter/callbacks.h"

VP_STATUS NTAPI HwGetPowerState(PVOID, ULONG, PVIDEO_POWER_MANAGEMENT) { return ERROR_INVALID_FUNCTION; }

VP_STATUS NTAPI HwSetPowerState(PVOID, ULONG, PVIDEO_POWER_MANAGEMENT) { return ERROR_INVALID_FUNCTION; }

VP_STATUS NTAPI HwGetVideoChildDescriptor(PVOID, PVIDEO_CHILD_ENUM_INFO, PVIDEO_CHILD_TYPE, PUCHAR, PULONG, PULONG) {
    return ERROR_NO_MORE_DEVICES;
}
