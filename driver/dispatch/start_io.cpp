// HwStartIO: the single entry for every request. The control code selects the handler exactly;
// the status goes to the request's status block, and TRUE is returned for every request.
#include "adapter/adapter_state.h"
#include "adapter/callbacks.h"
#include "colour/colour.h"
#include "dispatch/control_codes.h"
#include "mapping/mapping.h"
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

// Accepted and nothing else done. No output is written, so none is reported: Information holds
// whatever the port placed there, and the I/O manager would copy that many bytes of the system buffer.
static VP_STATUS HandleVideoParameters(PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = 0;
    return NO_ERROR;
}

static VP_STATUS GetPowerManagement(PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = 0;
    return NO_ERROR;
}

static VP_STATUS Dispatch(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    switch (packet->IoControlCode) {
    case IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS:
        return HandleVideoParameters(packet);
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
    case IOCTL_VIDEO_MAP_VIDEO_MEMORY:
        return MapVideoMemory(adapter, packet);
    case IOCTL_VIDEO_UNMAP_VIDEO_MEMORY:
        return UnmapVideoMemory(adapter, packet);
    case IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES:
        return QueryPublicAccessRanges(adapter, packet);
    case IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES:
        return FreePublicAccessRanges(adapter, packet);
    case IOCTL_VIDEO_SHARE_VIDEO_MEMORY:
        return ShareVideoMemory(adapter, packet);
    case IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY:
        return UnshareVideoMemory(adapter, packet);
    case IOCTL_VIDEO_MAP_APERTURES:
        return MapApertures(adapter, packet);
    case IOCTL_VIDEO_UNMAP_APERTURES:
        return UnmapApertures(adapter, packet);
    case IOCTL_VIDEO_FIND_MAPPING:
        return LookUpMapping(adapter, packet);
    case IOCTL_VIDEO_ALLOCATE_CONTIGUOUS:
        return AllocateContiguous(adapter, packet);
    case IOCTL_VIDEO_MAP_PHYSICAL_PAGES:
        return MapPhysicalPages(adapter, packet);
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
    AdapterState* adapter = AdapterOf(hwDeviceExtension);
    // Requests of one adapter are serialized: nothing else reads its records meanwhile.
    ForgetEndedProcesses(adapter);
    VP_STATUS status = Dispatch(adapter, packet);
    packet->StatusBlock->Status = status;
    return TRUE;
}
