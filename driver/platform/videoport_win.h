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

// --- Kernel: registry keys, files and string conversions (settings relay) ---------------------
// The records and routines that wdm.h declares; miniport.h brings UNICODE_STRING, ANSI_STRING,
// OBJECT_ATTRIBUTES and InitializeObjectAttributes already.

typedef ULONG ACCESS_MASK;

#ifndef OBJ_KERNEL_HANDLE
#define OBJ_KERNEL_HANDLE 0x00000200L
#endif

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_BUFFER_OVERFLOW
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#endif
#ifndef STATUS_UNSUCCESSFUL
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#endif
#ifndef STATUS_NO_MEMORY
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#endif
#ifndef STATUS_BUFFER_TOO_SMALL
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#endif
#ifndef STATUS_OBJECT_NAME_NOT_FOUND
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#endif

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000L
#endif
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#endif
#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 0x00000001
#endif
#ifndef FILE_OPENED
#define FILE_OPENED 0x00000001
#endif

#ifndef REG_SZ
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#endif

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

// The kernel's pool (ntddk.h's declarations, which do not combine with miniport.h).
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;

extern "C" {
NTSYSAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTSYSAPI VOID NTAPI ExFreePool(PVOID P);
NTSYSAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                      PVOID Data, ULONG DataSize);
NTSYSAPI NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                     PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                     ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
}

// --- Kernel routines: processes, contiguous memory and the physical memory section -------------

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
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102)

// Why a thread waits; a driver's own waits are Executive.
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;

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
NTSYSAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
NTSYSAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
NTSYSAPI VOID NTAPI MmFreeContiguousMemory(PVOID BaseAddress);
NTSYSAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                              BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSYSAPI NTSTATUS NTAPI ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress,
                                           ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                                           PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition, ULONG AllocationType,
                                           ULONG Win32Protect);
}
