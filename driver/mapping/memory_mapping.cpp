// The platform's standard mapping requests: the display driver receives the frame buffer and the
// driver's own kernel mappings of the register and I/O windows; other processes receive views of
// the frame buffer window. Every address handed out is recorded under the requesting process and
// released by the matching undo request. Each handler reads all of its input before it writes
// output, since both may be one buffer.
#include "mapping/mapping.h"

// The bytes of VIDEO_SHARE_MEMORY that a share reads: ProcessHandle, ViewOffset and ViewSize.
constexpr ULONG ShareFieldsRead = 3 * sizeof(ULONG);

ULONG FrameBufferInIoSpace(const AdapterState* adapter) {
    return adapter->mappedRanges[FrameBufferRange].RangeInIoSpace | VIDEO_MEMORY_SPACE_P6CACHE;
}

VP_STATUS MapWindow(AdapterState* adapter, AdapterRange range, ULONG inIoSpace, PVOID target, ULONG* length,
                    ADDRESS32* address) {
    PVOID view = target;
    VP_STATUS status =
        VideoPortMapMemory(adapter, adapter->mappedRanges[range].RangeStart, length, &inIoSpace, &view);
    *address = AddressOf(view);
    return status;
}

VP_STATUS MapVideoMemory(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = sizeof(VIDEO_MEMORY_INFORMATION);
    if (packet->OutputBufferLength < sizeof(VIDEO_MEMORY_INFORMATION)) return ERROR_INSUFFICIENT_BUFFER;
    if (packet->InputBufferLength < sizeof(VIDEO_MEMORY)) return ERROR_INSUFFICIENT_BUFFER;

    PVOID requested = static_cast<PVIDEO_MEMORY>(packet->InputBuffer)->RequestedVirtualAddress;
    const ULONG windowLength = adapter->mappedRanges[FrameBufferRange].RangeLength;
    VP_STATUS status = NO_ERROR;
    ADDRESS32 address = 0;
    if (AddressOf(requested) == 0) {
        // The display driver runs in kernel mode: it receives the driver's own kernel mapping.
        address = AddressOf(adapter->frameBufferBase);
        RecordMapping(adapter, address);
    } else {
        ULONG length = windowLength;
        status = MapWindow(adapter, FrameBufferRange, FrameBufferInIoSpace(adapter), requested, &length, &address);
        if (status == NO_ERROR) RecordMapping(adapter, address);
    }

    PVIDEO_MEMORY_INFORMATION out = static_cast<PVIDEO_MEMORY_INFORMATION>(packet->OutputBuffer);
    out->VideoRamBase = PointerOf(address);
    out->VideoRamLength = windowLength;
    out->FrameBufferBase = PointerOf(address);
    out->FrameBufferLength = adapter->memorySize;
    return status;
}

VP_STATUS UnmapVideoMemory(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    if (packet->InputBufferLength < sizeof(VIDEO_MEMORY)) return ERROR_INSUFFICIENT_BUFFER;

    ADDRESS32 address = AddressOf(static_cast<PVIDEO_MEMORY>(packet->InputBuffer)->RequestedVirtualAddress);
    // The driver's own kernel mapping stays; only its hand-out is counted back. Any other address
    // was mapped into a process (a NULL handle would name system space, where this request maps
    // nothing): the caller's own view is what it can give back.
    if (address != AddressOf(adapter->frameBufferBase)) {
        VP_STATUS status = VideoPortUnmapMemory(adapter, PointerOf(address), NtCurrentProcess());
        if (status != NO_ERROR) return status;
    }
    ReleaseMapping(adapter, address);
    return NO_ERROR;
}

VP_STATUS QueryPublicAccessRanges(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = 2 * sizeof(VIDEO_PUBLIC_ACCESS_RANGES);
    if (packet->OutputBufferLength < 2 * sizeof(VIDEO_PUBLIC_ACCESS_RANGES)) return ERROR_INSUFFICIENT_BUFFER;

    PVIDEO_PUBLIC_ACCESS_RANGES out = static_cast<PVIDEO_PUBLIC_ACCESS_RANGES>(packet->OutputBuffer);
    out[0].InIoSpace = adapter->mappedRanges[RegisterRange].RangeInIoSpace;
    out[0].MappedInIoSpace = adapter->mappedRanges[RegisterRange].RangeInIoSpace;
    out[0].VirtualAddress = adapter->registerBase;
    RecordMapping(adapter, AddressOf(adapter->registerBase));
    out[1].InIoSpace = adapter->mappedRanges[IoRange].RangeInIoSpace;
    out[1].MappedInIoSpace = adapter->mappedRanges[IoRange].RangeInIoSpace;
    out[1].VirtualAddress = adapter->ioBase;
    RecordMapping(adapter, AddressOf(adapter->ioBase));
    return NO_ERROR;
}

VP_STATUS FreePublicAccessRanges(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = 2 * sizeof(VIDEO_MEMORY);
    if (packet->InputBufferLength < 2 * sizeof(VIDEO_MEMORY)) return ERROR_INSUFFICIENT_BUFFER;

    PVIDEO_MEMORY in = static_cast<PVIDEO_MEMORY>(packet->InputBuffer);
    ReleaseMapping(adapter, AddressOf(in[0].RequestedVirtualAddress));
    ReleaseMapping(adapter, AddressOf(in[1].RequestedVirtualAddress));
    // The request has no output: reporting 8 bytes would have them copied into the caller's
    // (possibly empty) output buffer.
    packet->StatusBlock->Information = 0;
    return NO_ERROR;
}

VP_STATUS ShareVideoMemory(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    if (packet->OutputBufferLength < sizeof(VIDEO_SHARE_MEMORY_INFORMATION)) return ERROR_INSUFFICIENT_BUFFER;
    // The handle, the offset and the size are read: all three must come from the caller.
    if (packet->InputBufferLength < ShareFieldsRead) return ERROR_INSUFFICIENT_BUFFER;

    PVIDEO_SHARE_MEMORY in = static_cast<PVIDEO_SHARE_MEMORY>(packet->InputBuffer);
    PVOID target = TargetProcess(in->ProcessHandle);
    const ULONG viewOffset = in->ViewOffset;
    const ULONG viewSize = in->ViewSize;
    const ULONG windowLength = adapter->mappedRanges[FrameBufferRange].RangeLength;
    if (viewOffset > windowLength || viewSize > windowLength - viewOffset) return ERROR_INVALID_PARAMETER;
    packet->StatusBlock->Information = sizeof(VIDEO_SHARE_MEMORY_INFORMATION);

    // The view always begins at the start of the window; the caller adds the offset.
    ULONG length = viewSize;
    ADDRESS32 address = 0;
    VP_STATUS status = MapWindow(adapter, FrameBufferRange, FrameBufferInIoSpace(adapter), target, &length, &address);

    PVIDEO_SHARE_MEMORY_INFORMATION out = static_cast<PVIDEO_SHARE_MEMORY_INFORMATION>(packet->OutputBuffer);
    out->SharedViewOffset = viewOffset;
    out->SharedViewSize = length;
    out->VirtualAddress = PointerOf(address);
    if (status != NO_ERROR) return status;
    RecordMapping(adapter, address);
    return NO_ERROR;
}

VP_STATUS UnshareVideoMemory(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    if (packet->InputBufferLength < sizeof(VIDEO_SHARE_MEMORY)) return ERROR_INSUFFICIENT_BUFFER;

    PVIDEO_SHARE_MEMORY in = static_cast<PVIDEO_SHARE_MEMORY>(packet->InputBuffer);
    ADDRESS32 address = AddressOf(in->RequestedVirtualAddress);
    PVOID process = TargetProcess(in->ProcessHandle);
    VP_STATUS status = VideoPortUnmapMemory(adapter, PointerOf(address), process);
    if (status != NO_ERROR) return status;
    ReleaseMapping(adapter, address);
    return NO_ERROR;
}
