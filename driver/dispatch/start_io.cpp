// HwStartIO: the single entry for every request. The control code selects the handler exactly;
// the status goes to the request's status block, and TRUE is returned for every request.
#include "adapter/adapter_state.h"
#include "adapter/callbacks.h"
#include "colour/colour.h"
#include "dispatch/control_codes.h"
#include "modes/modes.h"
#include "settings/settings.h"

static VP_STATUS QueryAdapterId(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = sizeof(AdapterIdentity);
    if (packet->OutputBufferLength < sizeof(AdapterIdentity)) return ERROR_INSUFFICIENT_BUFFER;

    AdapterIdentity* out = static_cast<AdapterIdentity*>(packet->OutputBuffer);
    out->vendorId = adapter->pciVendorId;
    out->deviceId = adapter->pciDeviceId;
    out->revisionId = adapter->revisionId;
    return NO_ERROR;
}

static VP_STATUS QueryBiosVersion(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = BiosVersionBytes;
    if (packet->OutputBufferLength < BiosVersionBytes) return ERROR_INSUFFICIENT_BUFFER;

    VideoPortMoveMemory(packet->OutputBuffer, adapter->biosVersion, BiosVersionBytes);
    return NO_ERROR;
}

static VP_STATUS GetPowerManagement(PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = 0;
    return NO_ERROR;
}

static VP_STATUS Dispatch(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    switch (packet->IoControlCode) {
    case IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS:
        return NO_ERROR;
    case IOCTL_VIDEO_QUERY_AVAIL_MODES:
        return QueryAvailModes(adapter, packet);
    case IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES:
        return QueryNumAvailModes(adapter, packet);
    case IOCTL_VIDEO_QUERY_CURRENT_MODE:
        return QueryCurrentMode(adapter, packet);
    case IOCTL_VIDEO_SET_CURRENT_MODE:
        return SetCurrentMode(adapter, packet);
    case IOCTL_VIDEO_RESET_DEVICE:
        return ResetDevice(adapter);
    case IOCTL_VIDEO_SET_POWER_MANAGEMENT:
        return ERROR_INVALID_FUNCTION;
    case IOCTL_VIDEO_GET_POWER_MANAGEMENT:
        return GetPowerManagement(packet);
    case IOCTL_VIDEO_QUERY_ADAPTER_ID:
        return QueryAdapterId(adapter, packet);
    case IOCTL_VIDEO_QUERY_BIOS_VERSION:
        return QueryBiosVersion(adapter, packet);
    // Colour and the settings relay.
    case IOCTL_VIDEO_SET_COLOR_REGISTERS:
        return SetColorRegisters(adapter, packet);
    case IOCTL_VIDEO_SET_GAMMA_TABLE:
        return SetGammaTable(adapter, packet);
    case IOCTL_VIDEO_GET_GAMMA_TABLE:
        return GetGammaTable(adapter, packet);
    case IOCTL_VIDEO_READ_SETTING:
        return ReadSetting(adapter, packet);
    case IOCTL_VIDEO_WRITE_SETTING:
        return WriteSetting(adapter, packet);
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

BOOLEAN NTAPI HwStartIO(PVOID hwDeviceExtension, PVIDEO_REQUEST_PACKET packet) {
    VP_STATUS status = Dispatch(AdapterOf(hwDeviceExtension), packet);
    packet->StatusBlock->Status = status;
    return TRUE;
}
