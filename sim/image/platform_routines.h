// The platform routines a driver may import, each once: its module, calling convention and argument
// bytes, the name `--fault` knows it by when its failure can be injected, and what it does. The
// image runner's thunks (routines.cpp), the fault names (support/faults.h), zarnsim's --fault help
// and the documents' list of fault names come from this table or are checked against it.
//
// Adding a routine:
//   1. its row here;
//   2. its implementation: the host declaration (driver/platform/videoport_host.h, and
//      videoport_win.h when the DDK headers lack it), the simulator's routine (sim/port/ or
//      sim/kernel/routines.cpp), the member of PlatformRoutines of the same name (routines.h), which
//      the row binds, and the machine's binding (sim/machine/image_routines.cpp); when its failure
//      can be injected, its enumerator at the end of ZARN_INJECTABLE_CALLS (support/faults.h) and
//      its name in README's --fault item;
//   3. its test.
// The build refuses a row without its member, argument bytes its member's signature disagrees
// with, and a fault name without its enumerator (and the reverse); the tests refuse a machine that
// leaves a routine unset and a README that misses a fault name.
//
// The byte counts are those of the decorated names in the mingw-w64 import libraries libvideoprt.a
// and libntoskrnl.a (_Name@N for stdcall, @Name@N for fastcall); for the one cdecl routine with a
// variable argument list, the fixed arguments and the list's address.
#pragma once

#include <cstdint>
#include <string_view>

#include "routine_binding.h"

namespace sim::image {

enum class Module : uint8_t { VideoPort, Kernel, Hal };

constexpr std::string_view ModuleFile(Module module) {
    switch (module) {
    case Module::VideoPort: return "videoprt.sys";
    case Module::Kernel: return "ntoskrnl.exe";
    case Module::Hal: return "hal.dll";
    }
    return "";
}
constexpr Module Modules[] = {Module::VideoPort, Module::Kernel, Module::Hal};

// What a routine answers when it is made to fail: a status (a Win32 error code for the video port's
// routines, an NTSTATUS for the kernel's), or only its own failure (null, FALSE, no bytes), where a
// status has nowhere to go. None: its failure cannot be injected.
enum class FailureAnswer : uint8_t { None, Win32Status, NtStatus, Own };

struct PlatformRoutine {
    std::string_view name;
    RoutineBinding binding;   // to the member of PlatformRoutines of the same name
    Module module;
    Convention convention;
    uint32_t argumentBytes;
    std::string_view fault;   // the name `--fault` takes; empty: its failure cannot be injected
    FailureAnswer failure;
    std::string_view description;
};

// The table's columns, spelled short for its rows.
namespace platform_table {
constexpr Module VideoPort = Module::VideoPort;
constexpr Module Kernel = Module::Kernel;
constexpr Convention Stdcall = Convention::Stdcall;
constexpr Convention Fastcall = Convention::Fastcall;
constexpr Convention Cdecl = Convention::Cdecl;
constexpr FailureAnswer None = FailureAnswer::None;
constexpr FailureAnswer Win32Status = FailureAnswer::Win32Status;
constexpr FailureAnswer NtStatus = FailureAnswer::NtStatus;
constexpr FailureAnswer Own = FailureAnswer::Own;

// In the order of the image runner's thunks.
inline constexpr PlatformRoutine Rows[] = {
    // clang-format off
    // name                                 module     convention  bytes  fault                       failure      description
    {ZARN_BOUND(VideoPortInitialize),          VideoPort, Stdcall,  16, "",                             None,        "registers the miniport's entry points and finds its adapters"},
    {ZARN_BOUND(VideoPortGetAccessRanges),     VideoPort, Stdcall,  32, "GetAccessRanges",              Win32Status, "the memory and port ranges assigned to the adapter"},
    {ZARN_BOUND(VideoPortVerifyAccessRanges),  VideoPort, Stdcall,  12, "VerifyAccessRanges",           Win32Status, "claims the adapter's ranges for the driver"},
    {ZARN_BOUND(VideoPortGetDeviceBase),       VideoPort, Stdcall,  20, "GetDeviceBase",                Own,         "maps a bus range into system space (null on failure)"},
    {ZARN_BOUND(VideoPortFreeDeviceBase),      VideoPort, Stdcall,   8, "",                             None,        "unmaps what VideoPortGetDeviceBase mapped"},
    {ZARN_BOUND(VideoPortGetBusData),          VideoPort, Stdcall,  24, "GetBusData",                   Own,         "reads PCI configuration space (the bytes read; 0 on failure)"},
    {ZARN_BOUND(VideoPortSetBusData),          VideoPort, Stdcall,  24, "SetBusData",                   Own,         "writes PCI configuration space (the bytes written; 0 on failure)"},
    {ZARN_BOUND(VideoPortReadPortUchar),       VideoPort, Stdcall,   4, "",                             None,        "reads a byte from an I/O port"},
    {ZARN_BOUND(VideoPortReadPortUshort),      VideoPort, Stdcall,   4, "",                             None,        "reads a word from an I/O port"},
    {ZARN_BOUND(VideoPortReadPortUlong),       VideoPort, Stdcall,   4, "",                             None,        "reads a doubleword from an I/O port"},
    {ZARN_BOUND(VideoPortWritePortUchar),      VideoPort, Stdcall,   8, "",                             None,        "writes a byte to an I/O port"},
    {ZARN_BOUND(VideoPortWritePortUshort),     VideoPort, Stdcall,   8, "",                             None,        "writes a word to an I/O port"},
    {ZARN_BOUND(VideoPortWritePortUlong),      VideoPort, Stdcall,   8, "",                             None,        "writes a doubleword to an I/O port"},
    {ZARN_BOUND(VideoPortReadRegisterUchar),   VideoPort, Stdcall,   4, "",                             None,        "reads a byte of a memory-mapped register"},
    {ZARN_BOUND(VideoPortReadRegisterUshort),  VideoPort, Stdcall,   4, "",                             None,        "reads a word of a memory-mapped register"},
    {ZARN_BOUND(VideoPortReadRegisterUlong),   VideoPort, Stdcall,   4, "",                             None,        "reads a doubleword of a memory-mapped register"},
    {ZARN_BOUND(VideoPortWriteRegisterUchar),  VideoPort, Stdcall,   8, "",                             None,        "writes a byte of a memory-mapped register"},
    {ZARN_BOUND(VideoPortWriteRegisterUshort), VideoPort, Stdcall,   8, "",                             None,        "writes a word of a memory-mapped register"},
    {ZARN_BOUND(VideoPortWriteRegisterUlong),  VideoPort, Stdcall,   8, "",                             None,        "writes a doubleword of a memory-mapped register"},
    {ZARN_BOUND(VideoPortGetRegistryParameters), VideoPort, Stdcall,  20, "GetRegistryParameters",        Win32Status, "hands a value of the device key to a callback"},
    {ZARN_BOUND(VideoPortSetRegistryParameters), VideoPort, Stdcall,  16, "SetRegistryParameters",        Win32Status, "writes a value of the device key (as binary)"},
    {ZARN_BOUND(VideoPortScanRom),             VideoPort, Stdcall,  16, "ScanRom",                      Own,         "looks for a text in the option ROM (FALSE on failure)"},
    {ZARN_BOUND(VideoPortInt10),               VideoPort, Stdcall,   8, "Int10",                        Win32Status, "calls the video BIOS"},
    {ZARN_BOUND(VideoPortMapMemory),           VideoPort, Stdcall,  24, "MapMemory",                    Win32Status, "maps a bus range into system space or a process"},
    {ZARN_BOUND(VideoPortUnmapMemory),         VideoPort, Stdcall,  12, "UnmapMemory",                  Win32Status, "unmaps what VideoPortMapMemory mapped"},
    {ZARN_BOUND(VideoPortDDCMonitorHelper),    VideoPort, Stdcall,  16, "DDCMonitorHelper",             Own,         "reads the monitor's EDID through the driver's line callbacks (FALSE on failure)"},
    {ZARN_BOUND(VideoPortStallExecution),      VideoPort, Stdcall,   4, "",                             None,        "waits a number of microseconds"},
    {ZARN_BOUND(VideoPortZeroMemory),          VideoPort, Stdcall,   8, "",                             None,        "clears memory"},
    {ZARN_BOUND(VideoPortMoveMemory),          VideoPort, Stdcall,  12, "",                             None,        "copies memory"},
    {ZARN_BOUND(VideoPortDebugPrint),          VideoPort, Cdecl,    12, "",                             None,        "prints a checked build's message"},
    {ZARN_BOUND(VideoPortLogError),            VideoPort, Stdcall,  16, "",                             None,        "writes an entry to the system's event log"},

    {ZARN_BOUND(ExAllocatePoolWithTag),        Kernel,    Stdcall,  12, "AllocatePool",                 Own,         "allocates pool memory (null on failure)"},
    {ZARN_BOUND(ExFreePool),                   Kernel,    Stdcall,   4, "",                             None,        "frees pool memory"},
    {ZARN_BOUND(IoGetCurrentProcess),          Kernel,    Stdcall,   0, "",                             None,        "the process on whose behalf the driver runs"},
    {ZARN_BOUND(MmAllocateContiguousMemory),   Kernel,    Stdcall,  12, "MmAllocateContiguousMemory",   Own,         "allocates physically contiguous memory (null on failure)"},
    {ZARN_BOUND(MmGetPhysicalAddress),         Kernel,    Stdcall,   4, "",                             None,        "the physical address behind a system address"},
    {ZARN_BOUND(ZwOpenSection),                Kernel,    Stdcall,  12, "ZwOpenSection",                NtStatus,    "opens a section (the physical memory section)"},
    {ZARN_BOUND(ObReferenceObjectByHandle),    Kernel,    Stdcall,  24, "ObReferenceObjectByHandle",    NtStatus,    "the object a handle names, referenced"},
    {ZARN_BOUND(ObfReferenceObject),           Kernel,    Fastcall,  4, "",                             None,        "adds a reference to an object"},
    {ZARN_BOUND(ObfDereferenceObject),         Kernel,    Fastcall,  4, "",                             None,        "drops a reference to an object"},
    {ZARN_BOUND(MmFreeContiguousMemory),       Kernel,    Stdcall,   4, "",                             None,        "frees contiguous memory"},
    {ZARN_BOUND(KeWaitForSingleObject),        Kernel,    Stdcall,  20, "",                             None,        "waits for an object (a process: until it has ended)"},
    {ZARN_BOUND(ZwMapViewOfSection),           Kernel,    Stdcall,  40, "ZwMapViewOfSection",           NtStatus,    "maps a view of a section into a process"},
    {ZARN_BOUND(ZwClose),                      Kernel,    Stdcall,   4, "",                             None,        "closes a handle"},
    {ZARN_BOUND(ZwOpenKey),                    Kernel,    Stdcall,  12, "ZwOpenKey",                    NtStatus,    "opens a registry key"},
    {ZARN_BOUND(ZwQueryValueKey),              Kernel,    Stdcall,  24, "ZwQueryValueKey",              NtStatus,    "reads a registry value"},
    {ZARN_BOUND(ZwSetValueKey),                Kernel,    Stdcall,  24, "ZwSetValueKey",                NtStatus,    "writes a registry value"},
    {ZARN_BOUND(ZwCreateFile),                 Kernel,    Stdcall,  44, "ZwCreateFile",                 NtStatus,    "opens a file (the system directory's driver files)"},
    {ZARN_BOUND(RtlInitUnicodeString),         Kernel,    Stdcall,   8, "",                             None,        "a counted string over zero-terminated UTF-16 text"},
    {ZARN_BOUND(RtlInitAnsiString),            Kernel,    Stdcall,   8, "",                             None,        "a counted string over zero-terminated text"},
    {ZARN_BOUND(RtlAnsiStringToUnicodeString), Kernel,    Stdcall,  12, "RtlAnsiStringToUnicodeString", NtStatus,    "converts text of the code page to UTF-16"},
    {ZARN_BOUND(RtlUnicodeStringToAnsiString), Kernel,    Stdcall,  12, "RtlUnicodeStringToAnsiString", NtStatus,    "converts UTF-16 to text of the code page"},
    {ZARN_BOUND(RtlAppendUnicodeToString),     Kernel,    Stdcall,   8, "",                             None,        "appends zero-terminated UTF-16 text to a counted string"},
    {ZARN_BOUND(RtlFreeUnicodeString),         Kernel,    Stdcall,   4, "",                             None,        "frees a string a conversion allocated"},
    {ZARN_BOUND(RtlFreeAnsiString),            Kernel,    Stdcall,   4, "",                             None,        "frees a string a conversion allocated"},
    // clang-format on
};
}  // namespace platform_table

inline constexpr auto& PlatformRoutineTable = platform_table::Rows;

// The row of a routine or of a fault name; null when there is none.
constexpr const PlatformRoutine* FindRoutine(std::string_view name) {
    for (const PlatformRoutine& row : PlatformRoutineTable) {
        if (row.name == name) return &row;
    }
    return nullptr;
}
constexpr const PlatformRoutine* FindFault(std::string_view fault) {
    for (const PlatformRoutine& row : PlatformRoutineTable) {
        if (!fault.empty() && row.fault == fault) return &row;
    }
    return nullptr;
}

}  // namespace sim::image
