// Windows build: the published DDK headers, plus the few kernel routines the driver calls, since
// ntddk.h does not combine with miniport.h.
#pragma once

#include <ntdef.h>
#include <devioctl.h>
#include <dderror.h>
#include <miniport.h>
#include <ntddvdeo.h>
#include <video.h>

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

// --- Kernel routines: processes, contiguous memory and the physical memory section -------------

typedef ULONG ACCESS_MASK;
typedef CCHAR KPROCESSOR_MODE;
typedef struct _EPROCESS* PEPROCESS;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION* POBJECT_HANDLE_INFORMATION;
typedef enum _SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 } SECTION_INHERIT;

#define KernelMode 0
#define SECTION_ALL_ACCESS 0x000F001F
#define PAGE_READWRITE 0x04
#define PAGE_NOCACHE 0x200
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)

static_assert(sizeof(OBJECT_ATTRIBUTES) == 24, "OBJECT_ATTRIBUTES is 24 bytes on i386");

extern "C" {
NTSYSAPI PEPROCESS NTAPI IoGetCurrentProcess(VOID);
NTSYSAPI PVOID NTAPI MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress);
NTSYSAPI PHYSICAL_ADDRESS NTAPI MmGetPhysicalAddress(PVOID BaseAddress);
NTSYSAPI NTSTATUS NTAPI ZwOpenSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                  KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                  POBJECT_HANDLE_INFORMATION HandleInformation);
NTSYSAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
NTSYSAPI NTSTATUS NTAPI ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress,
                                           ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                                           PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition, ULONG AllocationType,
                                           ULONG Win32Protect);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
}
