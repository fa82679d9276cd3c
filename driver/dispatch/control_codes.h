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

// --- Records of the driver's own mapping requests -----------------------------------------------

// Output of IOCTL_VIDEO_MAP_APERTURES.
struct ApertureMap {
    ULONG registerInIoSpace;
    ULONG registerMappedInIoSpace;     // the value given to the register window mapping
    ADDRESS32 registerAddress;         // the register window view
    ULONG frameBufferInIoSpace;
    ULONG frameBufferMappedInIoSpace;  // the value given to the frame buffer mapping (write-combined)
    ADDRESS32 frameBufferAddress;      // the frame buffer window view
};
static_assert(sizeof(ApertureMap) == 24, "the aperture map record is 24 bytes");

// Input of IOCTL_VIDEO_UNMAP_APERTURES.
struct ApertureUnmap {
    ADDRESS32 registerAddress;
    ADDRESS32 frameBufferAddress;
    ADDRESS32 processHandle;
};
static_assert(sizeof(ApertureUnmap) == 12, "the aperture unmap record is 12 bytes");

// Output of IOCTL_VIDEO_FIND_MAPPING: the address looked up and the recorded address holding it.
struct MappingLookup {
    ADDRESS32 address;
    ADDRESS32 mapping;
};
static_assert(sizeof(MappingLookup) == 8, "the mapping lookup record is 8 bytes");

// Input of IOCTL_VIDEO_MAP_PHYSICAL_PAGES.
struct PhysicalPages {
    ADDRESS32 address;   // kernel virtual address of a contiguous block
    ULONG length;
};
static_assert(sizeof(PhysicalPages) == 8, "the physical pages record is 8 bytes");
