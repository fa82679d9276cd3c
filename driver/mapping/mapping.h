// Memory mapping: the mapping registry (addresses handed out, per requesting process, with a count),
// the standard mapping requests, and the driver's own mapping requests of the 3D drivers.
#pragma once

#include "adapter/adapter_state.h"

// --- Processes ------------------------------------------------------------------------------------

// The identity of the process a request runs for: the address of its process object. The driver
// keys what it keeps for a process by it, and holds a reference to the object for as long as it
// keeps anything, so that the address cannot go to a process started later.
ULONG CallingProcess();
// True when the process has ended. The driver must hold a reference to its object.
bool ProcessHasEnded(ULONG process);
// Drops what the adapter keeps for processes that have ended (mapping records, contiguous blocks)
// and the references that kept their objects. Run at the start of every request.
void ForgetEndedProcesses(AdapterState* adapter);
// A request's process handle of 0 names the calling process (0 would map into system space, which
// no user program reaches and which outlives the program).
PVOID TargetProcess(PVOID handle);

// --- Mapping registry ---------------------------------------------------------------------------

// One more hand-out of `address` to the calling process.
void RecordMapping(AdapterState* adapter, ADDRESS32 address);
// One hand-out of `address` by the calling process given back.
void ReleaseMapping(AdapterState* adapter, ADDRESS32 address);
// True when the calling process holds a hand-out of `address`.
bool IsRecorded(const AdapterState* adapter, ADDRESS32 address);
// The recorded address of the calling process whose 16 MiB window holds `address`, or 0.
ADDRESS32 FindMapping(AdapterState* adapter, ADDRESS32 address);
// Frees the slots of processes that have ended.
void ForgetEndedMappings(AdapterState* adapter);

// --- Standard mapping requests ------------------------------------------------------------------

VP_STATUS MapVideoMemory(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS UnmapVideoMemory(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS QueryPublicAccessRanges(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS FreePublicAccessRanges(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS ShareVideoMemory(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS UnshareVideoMemory(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);

// A view of `*length` bytes from the start of one of the adapter's windows, in the process that
// `target` names (a process handle, or 0 for the calling process). `*length` and `*address` receive
// the view's length and address as the platform leaves them.
VP_STATUS MapWindow(AdapterState* adapter, AdapterRange range, ULONG inIoSpace, PVOID target, ULONG* length,
                    ADDRESS32* address);
// How every mapping of the frame buffer window is made: in the window's space, write-combined.
ULONG FrameBufferInIoSpace(const AdapterState* adapter);

// --- The driver's own mapping requests ----------------------------------------------------------

VP_STATUS MapApertures(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS UnmapApertures(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS LookUpMapping(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS AllocateContiguous(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS MapPhysicalPages(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
// Frees the contiguous blocks of processes that have ended.
void ForgetEndedBlocks(AdapterState* adapter);

// The address in the calling process that shows physical address `physical`, through a view of the
// physical memory section covering `length` bytes from there; 0 when it cannot be made.
ADDRESS32 MapPhysicalRange(PHYSICAL_ADDRESS physical, ULONG length);
