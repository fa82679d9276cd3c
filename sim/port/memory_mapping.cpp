// VideoPortMapMemory and VideoPortUnmapMemory: views of physical ranges (an adapter's window, or
// system memory) in the user address space of the process that a handle names. On x86 an I/O range
// is used by its port numbers, so "mapping" one gives back its first port.
#include "port/port.h"

namespace sim {

namespace {

std::string CachingOf(ULONG inIoSpace) {
    return (inIoSpace & VIDEO_MEMORY_SPACE_P6CACHE) ? "write-combined" : "uncached";
}

}  // namespace

uint32_t VideoPort::MapMemory(PVOID extension, PHYSICAL_ADDRESS physical, PULONG length, PULONG inIoSpace,
                              PVOID* virtualAddress) {
    RoutineCall call = BeginRoutine(extension, "VideoPortMapMemory", PlatformCall::MapMemory);
    if (call.fail) {
        *virtualAddress = nullptr;
        return call.status;
    }
    uint32_t process = 0;
    const uint64_t start = static_cast<uint64_t>(physical.QuadPart);
    if (!kernel_.ProcessOfHandle(kernel_.HandleValue(*virtualAddress), &process) || *length == 0 ||
        start + *length > (1ull << 32)) {
        *virtualAddress = nullptr;
        return ERROR_INVALID_PARAMETER;
    }
    if (*inIoSpace & VIDEO_MEMORY_SPACE_IO) {
        *virtualAddress = reinterpret_cast<PVOID>(static_cast<uintptr_t>(start));
        return NO_ERROR;
    }
    uint32_t viewLength = 0;
    uint32_t address = kernel_.MapUserView(process, static_cast<uint32_t>(start), *length, CachingOf(*inIoSpace),
                                           "VideoPortMapMemory", &viewLength);
    if (address == 0) {
        *virtualAddress = nullptr;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *length = viewLength;
    *virtualAddress = reinterpret_cast<PVOID>(static_cast<uintptr_t>(address));
    return NO_ERROR;
}

uint32_t VideoPort::UnmapMemory(PVOID extension, PVOID virtualAddress, HANDLE processHandle) {
    RoutineCall call = BeginRoutine(extension, "VideoPortUnmapMemory", PlatformCall::UnmapMemory);
    if (call.fail) return call.status;
    uint32_t process = 0;
    if (!kernel_.ProcessOfHandle(kernel_.HandleValue(processHandle), &process)) return ERROR_INVALID_PARAMETER;
    if (!kernel_.UnmapUserView(process, kernel_.AddressOfPointer(virtualAddress))) return ERROR_INVALID_PARAMETER;
    return NO_ERROR;
}

}  // namespace sim
