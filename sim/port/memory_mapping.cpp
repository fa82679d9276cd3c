// VideoPortMapMemory and VideoPortUnmapMemory: views of physical ranges (an adapter's window, or
// system memory). The address argument names the target on input: NULL without the user-mode flag
// is system space (a kernel address, the same in every process), NULL with it the calling process,
// anything else a process handle. On x86 an I/O range is used by its port numbers, so "mapping" one
// gives back its first port. The routines answer only NO_ERROR and ERROR_INVALID_PARAMETER.
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
    const uint32_t handle = kernel_.HandleValue(*virtualAddress);
    const bool systemSpace = handle == 0 && !(*inIoSpace & VIDEO_MEMORY_SPACE_USER_MODE);
    uint32_t process = kernel_.CurrentProcess();
    const uint64_t start = static_cast<uint64_t>(physical.QuadPart);
    if ((handle != 0 && !kernel_.ProcessOfHandle(handle, &process)) || *length == 0 || start + *length > (1ull << 32)) {
        *virtualAddress = nullptr;
        return ERROR_INVALID_PARAMETER;
    }
    if (*inIoSpace & VIDEO_MEMORY_SPACE_IO) {
        *virtualAddress = reinterpret_cast<PVOID>(static_cast<uintptr_t>(start));
        return NO_ERROR;
    }
    uint32_t viewLength = 0;
    const uint32_t from = static_cast<uint32_t>(start);
    uint32_t address =
        systemSpace ? kernel_.MapSystemView(from, *length, CachingOf(*inIoSpace), "VideoPortMapMemory", &viewLength)
                    : kernel_.MapUserView(process, from, *length, CachingOf(*inIoSpace), "VideoPortMapMemory", &viewLength);
    if (address == 0) {
        *virtualAddress = nullptr;
        return ERROR_INVALID_PARAMETER;
    }
    *length = viewLength;
    *virtualAddress = reinterpret_cast<PVOID>(static_cast<uintptr_t>(address));
    return NO_ERROR;
}

uint32_t VideoPort::UnmapMemory(PVOID extension, PVOID virtualAddress, HANDLE processHandle) {
    RoutineCall call = BeginRoutine(extension, "VideoPortUnmapMemory", PlatformCall::UnmapMemory);
    if (call.fail) return call.status;
    const uint32_t handle = kernel_.HandleValue(processHandle);
    const uint32_t address = kernel_.AddressOfPointer(virtualAddress);
    if (handle == 0) return kernel_.UnmapSystemView(address) ? NO_ERROR : ERROR_INVALID_PARAMETER;
    uint32_t process = 0;
    if (!kernel_.ProcessOfHandle(handle, &process)) return ERROR_INVALID_PARAMETER;
    if (!kernel_.UnmapUserView(process, address)) return ERROR_INVALID_PARAMETER;
    return NO_ERROR;
}

}  // namespace sim
