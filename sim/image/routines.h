// The image runner's bindings of the platform routines (platform_routines.h: each routine's module,
// calling convention and argument bytes), from which it makes the thunks, and the interface through
// which the simulated machine supplies the routines.
//
// Arguments and results are the i386 values: a pointer or handle is a 32-bit address of the
// simulated machine, UCHAR/BOOLEAN/KPROCESSOR_MODE a byte (its stack slot's upper bytes are
// undefined and dropped), a PHYSICAL_ADDRESS passed by value 64 bits in two stack slots.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cpu.h"

namespace sim::image {

using Address = uint32_t;
using Handle = uint32_t;

// The machine's implementations. A routine left empty is reported when the image calls it.
struct PlatformRoutines {
    // videoprt.sys
    std::function<uint32_t(Address argument1, Address argument2, Address initializationData, Address hwContext)>
        VideoPortInitialize;
    std::function<uint32_t(Address extension, uint32_t requestedCount, Address requested, uint32_t rangeCount,
                           Address ranges, Address vendorId, Address deviceId, Address slot)>
        VideoPortGetAccessRanges;
    std::function<uint32_t(Address extension, uint32_t rangeCount, Address ranges)> VideoPortVerifyAccessRanges;
    std::function<Address(Address extension, uint64_t ioAddress, uint32_t length, uint8_t inIoSpace)>
        VideoPortGetDeviceBase;
    std::function<void(Address extension, Address mappedAddress)> VideoPortFreeDeviceBase;
    std::function<uint32_t(Address extension, uint32_t busDataType, uint32_t slot, Address buffer, uint32_t offset,
                           uint32_t length)>
        VideoPortGetBusData;
    std::function<uint32_t(Address extension, uint32_t busDataType, uint32_t slot, Address buffer, uint32_t offset,
                           uint32_t length)>
        VideoPortSetBusData;
    std::function<uint8_t(Address port)> VideoPortReadPortUchar;
    std::function<uint16_t(Address port)> VideoPortReadPortUshort;
    std::function<uint32_t(Address port)> VideoPortReadPortUlong;
    std::function<void(Address port, uint8_t value)> VideoPortWritePortUchar;
    std::function<void(Address port, uint16_t value)> VideoPortWritePortUshort;
    std::function<void(Address port, uint32_t value)> VideoPortWritePortUlong;
    std::function<uint8_t(Address address)> VideoPortReadRegisterUchar;
    std::function<uint16_t(Address address)> VideoPortReadRegisterUshort;
    std::function<uint32_t(Address address)> VideoPortReadRegisterUlong;
    std::function<void(Address address, uint8_t value)> VideoPortWriteRegisterUchar;
    std::function<void(Address address, uint16_t value)> VideoPortWriteRegisterUshort;
    std::function<void(Address address, uint32_t value)> VideoPortWriteRegisterUlong;
    std::function<uint32_t(Address extension, Address name, uint8_t isFileName, Address callback, Address context)>
        VideoPortGetRegistryParameters;
    std::function<uint32_t(Address extension, Address name, Address data, uint32_t length)>
        VideoPortSetRegistryParameters;
    std::function<uint8_t(Address extension, Address romBase, uint32_t romLength, Address text)> VideoPortScanRom;
    std::function<uint32_t(Address extension, Address biosArguments)> VideoPortInt10;
    std::function<uint32_t(Address extension, uint64_t physicalAddress, Address length, Address inIoSpace,
                           Address virtualAddress)>
        VideoPortMapMemory;
    std::function<uint32_t(Address extension, Address virtualAddress, Handle process)> VideoPortUnmapMemory;
    std::function<uint8_t(Address extension, Address ddcControl, Address edidBuffer, uint32_t edidBufferSize)>
        VideoPortDDCMonitorHelper;
    std::function<void(uint32_t microseconds)> VideoPortStallExecution;
    std::function<void(Address destination, uint32_t length)> VideoPortZeroMemory;
    std::function<void(Address destination, Address source, uint32_t length)> VideoPortMoveMemory;
    // Diagnostics. VideoPortDebugPrint is cdecl with a variable argument list: `arguments` is the
    // address of its first variable argument on the image's stack.
    std::function<void(uint32_t level, Address format, Address arguments)> VideoPortDebugPrint;
    std::function<void(Address extension, Address request, uint32_t errorCode, uint32_t uniqueId)> VideoPortLogError;

    // ntoskrnl.exe
    std::function<Address(uint32_t poolType, uint32_t size, uint32_t tag)> ExAllocatePoolWithTag;
    std::function<void(Address pointer)> ExFreePool;
    std::function<Address()> IoGetCurrentProcess;
    std::function<Address(uint32_t size, uint64_t highestAcceptable)> MmAllocateContiguousMemory;
    std::function<uint64_t(Address address)> MmGetPhysicalAddress;
    std::function<uint32_t(Address handle, uint32_t access, Address attributes)> ZwOpenSection;
    std::function<uint32_t(Handle handle, uint32_t access, Address objectType, uint8_t accessMode, Address object,
                           Address handleInformation)>
        ObReferenceObjectByHandle;
    std::function<uint32_t(Address object)> ObfReferenceObject;
    std::function<uint32_t(Address object)> ObfDereferenceObject;
    std::function<void(Address address)> MmFreeContiguousMemory;
    std::function<uint32_t(Address object, uint32_t waitReason, uint8_t waitMode, uint8_t alertable, Address timeout)>
        KeWaitForSingleObject;
    std::function<uint32_t(Handle section, Handle process, Address baseAddress, uint32_t zeroBits,
                           uint32_t commitSize, Address sectionOffset, Address viewSize, uint32_t inheritDisposition,
                           uint32_t allocationType, uint32_t protect)>
        ZwMapViewOfSection;
    std::function<uint32_t(Handle handle)> ZwClose;
    std::function<uint32_t(Address handle, uint32_t access, Address attributes)> ZwOpenKey;
    std::function<uint32_t(Handle key, Address valueName, uint32_t informationClass, Address information,
                           uint32_t length, Address resultLength)>
        ZwQueryValueKey;
    std::function<uint32_t(Handle key, Address valueName, uint32_t titleIndex, uint32_t type, Address data,
                           uint32_t size)>
        ZwSetValueKey;
    std::function<uint32_t(Address handle, uint32_t access, Address attributes, Address ioStatus,
                           Address allocationSize, uint32_t fileAttributes, uint32_t shareAccess,
                           uint32_t disposition, uint32_t options, Address eaBuffer, uint32_t eaLength)>
        ZwCreateFile;
    std::function<void(Address destination, Address source)> RtlInitUnicodeString;
    std::function<void(Address destination, Address source)> RtlInitAnsiString;
    std::function<uint32_t(Address destination, Address source, uint8_t allocate)> RtlAnsiStringToUnicodeString;
    std::function<uint32_t(Address destination, Address source, uint8_t allocate)> RtlUnicodeStringToAnsiString;
    std::function<uint32_t(Address destination, Address source)> RtlAppendUnicodeToString;
    std::function<void(Address string)> RtlFreeUnicodeString;
    std::function<void(Address string)> RtlFreeAnsiString;
};

// How one argument is taken from its stack slot(s).
enum class ArgumentKind : uint8_t { Byte, Word, Dword, Qword };

constexpr size_t MaxArguments = 11;

struct ImportedRoutine {
    std::string_view dll;
    std::string_view name;
    Convention convention;
    uint32_t argumentBytes;  // as in the decorated name _Name@N (stdcall) or @Name@N (fastcall); for a
                             // variable argument list, the fixed arguments and the list's address
    ResultWidth result;
    std::array<ArgumentKind, MaxArguments> arguments;
    uint8_t argumentCount;
    // Decodes the argument slots, calls the machine's routine and returns EDX:EAX.
    uint64_t (*invoke)(const PlatformRoutines& routines, std::span<const uint32_t> slots);
    bool (*provided)(const PlatformRoutines& routines);
    bool variadic = false;   // the last argument is the address of the variable arguments (cdecl)
};

// Every routine the simulator can give a driver image.
std::span<const ImportedRoutine> RoutineTable();

// "dll!Name" of every routine the machine left empty.
std::vector<std::string> UnsetRoutines(const PlatformRoutines& routines,
                                       std::span<const ImportedRoutine> table = RoutineTable());

}  // namespace sim::image
