// The mapping registry: 256 slots of the adapter state record, each an address handed out, the
// process it went to and how many times it went there without coming back. Scans run from slot 0
// up and stop at the first match, so the lowest slot wins. Address 0 is never recorded: it marks a
// free slot. A slot in use holds a reference to its process's object: the object's address is the
// slot's key, and a freed object's address can go to a process started later. The slots of a
// process that has ended go at the next request.
#include "mapping/mapping.h"

// Every recorded address of a process covers this many bytes above it for a lookup.
constexpr ULONG MappingWindowBytes = 0x1000000;
constexpr ULONG NoSlot = MappingSlots;

ULONG CallingProcess() { return AddressOf(IoGetCurrentProcess()); }

// An ended process's object is signalled; a wait with no time to wait tells without waiting.
bool ProcessHasEnded(ULONG process) {
    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    return KeWaitForSingleObject(PointerOf(process), Executive, KernelMode, FALSE, &noWait) == STATUS_SUCCESS;
}

void ForgetEndedProcesses(AdapterState* adapter) {
    ForgetEndedMappings(adapter);
    ForgetEndedBlocks(adapter);
}

PVOID TargetProcess(PVOID handle) { return handle != nullptr ? handle : NtCurrentProcess(); }

static void FreeSlot(AdapterState* adapter, ULONG slot) {
    const ULONG process = adapter->mapProcess[slot];
    adapter->mapRefCount[slot] = 0;
    adapter->mapAddress[slot] = 0;
    adapter->mapProcess[slot] = 0;
    ObfDereferenceObject(PointerOf(process));
}

static ULONG SlotOf(const AdapterState* adapter, ADDRESS32 address, ULONG process) {
    for (ULONG slot = 0; slot < MappingSlots; ++slot) {
        if (adapter->mapAddress[slot] == address && adapter->mapProcess[slot] == process) return slot;
    }
    return NoSlot;
}

void RecordMapping(AdapterState* adapter, ADDRESS32 address) {
    if (address == 0) return;
    ULONG process = CallingProcess();
    ULONG slot = SlotOf(adapter, address, process);
    if (slot != NoSlot) {
        ++adapter->mapRefCount[slot];
        return;
    }
    for (slot = 0; slot < MappingSlots; ++slot) {
        if (adapter->mapAddress[slot] != 0) continue;
        adapter->mapAddress[slot] = address;
        adapter->mapRefCount[slot] = 1;
        adapter->mapProcess[slot] = process;
        ObfReferenceObject(IoGetCurrentProcess());
        return;
    }
    // A full table drops the record; the request still succeeds.
}

void ReleaseMapping(AdapterState* adapter, ADDRESS32 address) {
    if (address == 0) return;
    ULONG slot = SlotOf(adapter, address, CallingProcess());
    if (slot == NoSlot) return;
    if (--adapter->mapRefCount[slot] < 1) FreeSlot(adapter, slot);
}

void ForgetEndedMappings(AdapterState* adapter) {
    for (ULONG slot = 0; slot < MappingSlots; ++slot) {
        if (adapter->mapAddress[slot] != 0 && ProcessHasEnded(adapter->mapProcess[slot])) FreeSlot(adapter, slot);
    }
}

// A free slot (address 0) belongs to no process, so 0 is never found.
bool IsRecorded(const AdapterState* adapter, ADDRESS32 address) {
    return SlotOf(adapter, address, CallingProcess()) != NoSlot;
}

ADDRESS32 FindMapping(AdapterState* adapter, ADDRESS32 address) {
    ULONG process = CallingProcess();
    for (ULONG slot = 0; slot < MappingSlots; ++slot) {
        ADDRESS32 recorded = adapter->mapAddress[slot];
        if (recorded == 0 || adapter->mapProcess[slot] != process) continue;
        // Unsigned: an address below the recorded one wraps to a large difference.
        if (address - recorded < MappingWindowBytes) return recorded;
    }
    return 0;
}
