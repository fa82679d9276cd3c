// The video port routines of the host build, as the driver calls them. Each one hands the call to
// the port driver of the machine the driver runs for.
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "machine/machine.h"

using sim::CurrentMachine;
using sim::VideoPort;

namespace {

VideoPort& Port(const char* routine) { return sim::MachineForRoutine(routine).Port(); }

sim::Kernel& KernelOf(const char* routine) { return sim::MachineForRoutine(routine).GetKernel(); }

// Code addresses of the driver's callbacks, as the records carry them.
constexpr ULONG CodeBase = 0xF8000000;
constexpr ULONG CodeStride = 0x10;
// Entries are only ever added (under the lock) and never change, so a lookup, which the platform
// makes for every callback it calls (thousands for one monitor read), takes no lock.
constexpr size_t MaxCodes = 1024;
std::array<std::atomic<void (*)()>, MaxCodes> codeTable{};
std::atomic<size_t> codeCount{0};
std::mutex codeTableLock;

}  // namespace

extern "C" {

void* ZarnHostPointer(ULONG address) { return KernelOf("a record's pointer").HostPointer(address); }

ULONG ZarnHostAddress(const void* pointer) { return KernelOf("a record's pointer").AddressOfPointer(pointer); }

void (*ZarnHostCode(ULONG address))() {
    ULONG index = (address - CodeBase) / CodeStride;
    if (address < CodeBase || (address - CodeBase) % CodeStride || index >= codeCount.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return codeTable[index].load(std::memory_order_relaxed);
}

ULONG ZarnHostCodeAddress(void (*code)()) {
    std::lock_guard<std::mutex> lock(codeTableLock);
    size_t count = codeCount.load(std::memory_order_relaxed);
    for (size_t i = 0; i < count; ++i) {
        if (codeTable[i].load(std::memory_order_relaxed) == code) return CodeBase + static_cast<ULONG>(i) * CodeStride;
    }
    if (count == MaxCodes) {
        std::fprintf(stderr, "zarnsim: the driver handed out more than %zu distinct callbacks\n", MaxCodes);
        std::abort();
    }
    codeTable[count].store(code, std::memory_order_relaxed);
    codeCount.store(count + 1, std::memory_order_release);
    return CodeBase + static_cast<ULONG>(count) * CodeStride;
}

ULONG NTAPI VideoPortInitialize(PVOID argument1, PVOID argument2, PVIDEO_HW_INITIALIZATION_DATA data, PVOID) {
    return Port("VideoPortInitialize").VideoPortInitialize(argument1, argument2, data);
}

VP_STATUS NTAPI VideoPortGetAccessRanges(PVOID extension, ULONG requestedCount, PVOID requested, ULONG count,
                                         PVIDEO_ACCESS_RANGE ranges, PVOID vendorId, PVOID deviceId, PULONG slot) {
    return Port("VideoPortGetAccessRanges")
        .GetAccessRanges(extension, requestedCount, requested != nullptr, count, ranges, vendorId, deviceId, slot);
}

VP_STATUS NTAPI VideoPortVerifyAccessRanges(PVOID extension, ULONG count, PVIDEO_ACCESS_RANGE ranges) {
    return Port("VideoPortVerifyAccessRanges").VerifyAccessRanges(extension, count, ranges);
}

PVOID NTAPI VideoPortGetDeviceBase(PVOID extension, PHYSICAL_ADDRESS address, ULONG length, UCHAR inIoSpace) {
    return Port("VideoPortGetDeviceBase").GetDeviceBase(extension, address, length, inIoSpace);
}

VOID NTAPI VideoPortFreeDeviceBase(PVOID extension, PVOID base) {
    Port("VideoPortFreeDeviceBase").FreeDeviceBase(extension, base);
}

ULONG NTAPI VideoPortGetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset,
                                ULONG length) {
    return Port("VideoPortGetBusData").GetBusData(extension, type, slot, buffer, offset, length);
}

ULONG NTAPI VideoPortSetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset,
                                ULONG length) {
    return Port("VideoPortSetBusData").SetBusData(extension, type, slot, buffer, offset, length);
}

UCHAR NTAPI VideoPortReadPortUchar(PUCHAR port) {
    return static_cast<UCHAR>(Port("VideoPortReadPortUchar").ReadPort(port, 8));
}
USHORT NTAPI VideoPortReadPortUshort(PUSHORT port) {
    return static_cast<USHORT>(Port("VideoPortReadPortUshort").ReadPort(port, 16));
}
ULONG NTAPI VideoPortReadPortUlong(PULONG port) { return Port("VideoPortReadPortUlong").ReadPort(port, 32); }
VOID NTAPI VideoPortWritePortUchar(PUCHAR port, UCHAR value) { Port("VideoPortWritePortUchar").WritePort(port, 8, value); }
VOID NTAPI VideoPortWritePortUshort(PUSHORT port, USHORT value) {
    Port("VideoPortWritePortUshort").WritePort(port, 16, value);
}
VOID NTAPI VideoPortWritePortUlong(PULONG port, ULONG value) { Port("VideoPortWritePortUlong").WritePort(port, 32, value); }

UCHAR NTAPI VideoPortReadRegisterUchar(PUCHAR address) {
    return static_cast<UCHAR>(Port("VideoPortReadRegisterUchar").ReadRegister(address, 8));
}
USHORT NTAPI VideoPortReadRegisterUshort(PUSHORT address) {
    return static_cast<USHORT>(Port("VideoPortReadRegisterUshort").ReadRegister(address, 16));
}
ULONG NTAPI VideoPortReadRegisterUlong(PULONG address) {
    return Port("VideoPortReadRegisterUlong").ReadRegister(address, 32);
}
VOID NTAPI VideoPortWriteRegisterUchar(PUCHAR address, UCHAR value) {
    Port("VideoPortWriteRegisterUchar").WriteRegister(address, 8, value);
}
VOID NTAPI VideoPortWriteRegisterUshort(PUSHORT address, USHORT value) {
    Port("VideoPortWriteRegisterUshort").WriteRegister(address, 16, value);
}
VOID NTAPI VideoPortWriteRegisterUlong(PULONG address, ULONG value) {
    Port("VideoPortWriteRegisterUlong").WriteRegister(address, 32, value);
}

VP_STATUS NTAPI VideoPortSetRegistryParameters(PVOID extension, PWSTR name, PVOID data, ULONG length) {
    return Port("VideoPortSetRegistryParameters").SetRegistryParameters(extension, name, data, length);
}

VP_STATUS NTAPI VideoPortGetRegistryParameters(PVOID extension, PWSTR name, UCHAR isFileName,
                                               PMINIPORT_GET_REGISTRY_ROUTINE callback, PVOID context) {
    ULONG code = callback ? ZarnHostCodeAddress(reinterpret_cast<void (*)()>(callback)) : 0;
    return Port("VideoPortGetRegistryParameters").GetRegistryParameters(extension, name, isFileName, code, context);
}

BOOLEAN NTAPI VideoPortScanRom(PVOID extension, PUCHAR base, ULONG length, PUCHAR text) {
    return Port("VideoPortScanRom").ScanRom(extension, base, length, text);
}

VP_STATUS NTAPI VideoPortInt10(PVOID extension, PVIDEO_X86_BIOS_ARGUMENTS arguments) {
    return Port("VideoPortInt10").Int10(extension, arguments);
}

BOOLEAN NTAPI VideoPortDDCMonitorHelper(PVOID extension, PVOID control, PUCHAR buffer, ULONG size) {
    return Port("VideoPortDDCMonitorHelper").DdcMonitorHelper(extension, control, buffer, size);
}

VOID NTAPI VideoPortStallExecution(ULONG microseconds) { Port("VideoPortStallExecution").StallExecution(microseconds); }

VP_STATUS NTAPI VideoPortMapMemory(PVOID extension, PHYSICAL_ADDRESS physical, PULONG length, PULONG inIoSpace,
                                   PVOID* virtualAddress) {
    return Port("VideoPortMapMemory").MapMemory(extension, physical, length, inIoSpace, virtualAddress);
}

VP_STATUS NTAPI VideoPortUnmapMemory(PVOID extension, PVOID virtualAddress, HANDLE processHandle) {
    return Port("VideoPortUnmapMemory").UnmapMemory(extension, virtualAddress, processHandle);
}

// The arguments of a message come as the driver passed them: every number a 32-bit value.
VOID VideoPortDebugPrint(VIDEO_DEBUG_LEVEL level, PCHAR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = VideoPort::FormatMessage(
        format, [&arguments] { return va_arg(arguments, uint32_t); },
        [&arguments] {
            const char* value = va_arg(arguments, const char*);
            return std::string(value ? value : "(null)");
        });
    va_end(arguments);
    Port("VideoPortDebugPrint").DebugPrint(static_cast<uint32_t>(level), std::move(text));
}

VOID NTAPI VideoPortLogError(PVOID extension, PVIDEO_REQUEST_PACKET request, VP_STATUS errorCode, ULONG uniqueId) {
    Port("VideoPortLogError").LogError(extension, request, errorCode, uniqueId);
}

// Moving or zeroing no bytes touches neither pointer, as on the platform (the port hands a callback
// a zero-length value without a buffer behind it).
// The bytes they write are the driver's (see WriteLedger).
VOID NTAPI VideoPortZeroMemory(PVOID destination, ULONG length) {
    if (!length) return;
    std::memset(destination, 0, length);
    if (sim::Machine* machine = CurrentMachine()) machine->GetKernel().Ledger().MarkWrittenAt(destination, length);
}

VOID NTAPI VideoPortMoveMemory(PVOID destination, PVOID source, ULONG length) {
    if (!length) return;
    std::memmove(destination, source, length);
    if (sim::Machine* machine = CurrentMachine()) machine->GetKernel().Ledger().MarkWrittenAt(destination, length);
}

}  // extern "C"
