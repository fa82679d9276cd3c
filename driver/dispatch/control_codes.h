// The driver's own request codes, used by the user-mode 3D drivers. All use buffered transfer.
#pragma once

#include "platform/videoport.h"

#define ZARN_CTL_CODE(function) CTL_CODE(FILE_DEVICE_VIDEO, function, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_VIDEO_MAP_APERTURES ZARN_CTL_CODE(0xFD3)
#define IOCTL_VIDEO_UNMAP_APERTURES ZARN_CTL_CODE(0xFD4)
#define IOCTL_VIDEO_READ_SETTING ZARN_CTL_CODE(0xFD5)
#define IOCTL_VIDEO_WRITE_SETTING ZARN_CTL_CODE(0xFD6)
#define IOCTL_VIDEO_QUERY_ADAPTER_ID ZARN_CTL_CODE(0xFD8)
#define IOCTL_VIDEO_SET_GAMMA_TABLE ZARN_CTL_CODE(0xFD9)
#define IOCTL_VIDEO_GET_GAMMA_TABLE ZARN_CTL_CODE(0xFDA)
#define IOCTL_VIDEO_FIND_MAPPING ZARN_CTL_CODE(0xFDB)
#define IOCTL_VIDEO_QUERY_BIOS_VERSION ZARN_CTL_CODE(0xFDC)
#define IOCTL_VIDEO_ALLOCATE_CONTIGUOUS ZARN_CTL_CODE(0xFFD)
#define IOCTL_VIDEO_MAP_PHYSICAL_PAGES ZARN_CTL_CODE(0xFFE)

// Output of IOCTL_VIDEO_QUERY_ADAPTER_ID.
struct AdapterIdentity {
    USHORT vendorId;
    USHORT deviceId;
    ULONG revisionId;
};
static_assert(sizeof(AdapterIdentity) == 8, "the adapter identity record is 8 bytes");
