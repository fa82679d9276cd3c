// Windows build: the published DDK headers, plus the few kernel routines the driver calls, since
// ntddk.h does not combine with miniport.h.
#pragma once

#include <ntdef.h>
#include <devioctl.h>
#include <dderror.h>
#include <miniport.h>
#include <ntddvdeo.h>
#include <video.h>

// A routine of videoprt.sys that mingw-w64's video.h does not declare, declared as the DDK does.
extern "C" VPAPI VOID NTAPI VideoPortFreeDeviceBase(IN PVOID HwDeviceExtension, IN PVOID MappedAddress);

// Text literal of the platform's 16-bit wide characters.
#define WIDE(text) L##text

// Mutable driver-wide data; the loader gives every load of the image a fresh copy.
#define DRIVER_IMAGE_DATA

// A 32-bit address as requests carry it. On i386 every pointer already is one.
typedef ULONG ADDRESS32;

static inline ADDRESS32 AddressOf(const void* pointer) {
    return (ADDRESS32)(ULONG_PTR)pointer;
}

static inline PVOID PointerOf(ADDRESS32 address) {
    return (PVOID)(ULONG_PTR)address;
}
