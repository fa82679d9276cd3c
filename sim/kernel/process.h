// Processes of the simulated kernel: each has its own 32-bit user address space, in which views of
// physical memory are placed, and its own handle table.
//
// Identity: process N (the number a test or a script uses) has a process object in kernel pool;
// its address is what IoGetCurrentProcess answers while a request of process N runs. An ended
// process keeps its object, so its identity is never given to another process.
//
// Process handles: 0 and -1 (NtCurrentProcess) name the calling process; the value
// ProcessHandleOf(N) = 0x1000 + 4 x N names process N in every process, as if each had opened all
// the others. Object handles (sections) are 4, 8, 12, ... below 0x1000, in the table of the process
// that opened them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace sim {

constexpr uint32_t PageBytes = 0x1000;
constexpr uint32_t AllocationGranularity = 0x10000;   // where views of a user address space start
constexpr uint32_t UserSpaceStart = 0x01000000;
constexpr uint32_t UserSpaceEnd = 0x7FFF0000;         // first address above the user address space
constexpr uint32_t KernelSpaceStart = 0x80000000;
constexpr uint32_t ProcessHandleBase = 0x1000;
constexpr uint32_t CurrentProcessHandle = 0xFFFFFFFF;  // NtCurrentProcess()

constexpr uint32_t ProcessHandleOf(uint32_t process) { return ProcessHandleBase + 4 * process; }

// A view of physical memory in a user address space.
struct View {
    uint32_t base = 0;          // first address, on a page
    uint32_t size = 0;          // bytes, whole pages
    uint32_t physical = 0;      // the physical address shown at `base`
    bool writable = true;
    std::string caching;        // "write-combined", "uncached" or "cached"
    std::string madeBy;         // "VideoPortMapMemory" or "ZwMapViewOfSection"
    int adapter = -1;           // the adapter whose driver made it
    uint64_t serial = 0;        // order of creation in the machine
};

// An open handle to a kernel object.
struct HandleEntry {
    std::string object;         // the object's name
    uint64_t serial = 0;
    uint32_t access = 0;        // the rights it was opened with
};

struct Process {
    uint32_t id = 0;
    uint32_t object = 0;        // kernel address of its process object
    bool ended = false;
    std::map<uint32_t, View> views;             // by base
    std::map<uint32_t, HandleEntry> handles;    // by handle value

    // The view holding `address`, or null.
    const View* ViewAt(uint32_t address) const;
    // The lowest address on the allocation granularity where `size` bytes fit with one unmapped
    // granule behind them (so a run past a view's end reaches nothing); 0 when none.
    uint32_t FreeRange(uint32_t size) const;
    // True when [address, address + size) overlaps no view.
    bool IsFree(uint32_t address, uint32_t size) const;
    // The lowest free object handle, or 0 when the table is full.
    uint32_t FreeHandle() const;
};

}  // namespace sim
