// Processes of the simulated kernel: each has its own 32-bit user address space, in which views of
// physical memory are placed, and its own handle table.
//
// Identity: process N (the number a test or a script uses) has a process object in kernel pool;
// its address is what IoGetCurrentProcess answers while a request of process N runs. The object is
// pool memory: when the process has ended and no reference to it is held, it is freed, and a
// process started later may get the same address (ProcessReuse says which freed object it gets).
// A number is never given to a second process: an ended process stays ended.
//
// Process handles: 0 and -1 (NtCurrentProcess) name the calling process; the value
// ProcessHandleOf(N) = 0x1000 + 4 x N names process N in every process, as if each had opened all
// the others. Object handles (sections) are 4, 8, 12, ... below 0x1000, in the table of the process
// that opened them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace sim {

constexpr uint32_t PageBytes = 0x1000;
constexpr uint32_t AllocationGranularity = 0x10000;   // where views of a user address space start
constexpr uint32_t UserSpaceStart = 0x01000000;
constexpr uint32_t UserSpaceEnd = 0x7FFF0000;         // first address above the user address space
constexpr uint32_t KernelSpaceStart = 0x80000000;
constexpr uint32_t ProcessHandleBase = 0x1000;
constexpr uint32_t CurrentProcessHandle = 0xFFFFFFFF;  // NtCurrentProcess()

constexpr uint32_t ProcessHandleOf(uint32_t process) { return ProcessHandleBase + 4 * process; }

// Which freed process object a new process gets: the most recently freed (as a pool's free list
// gives it back, the default), the longest freed, or none (an object's address is never given again,
// and its memory is never given back).
enum class ProcessReuse { Recent, Oldest, Never };
bool ParseProcessReuse(std::string_view text, ProcessReuse* reuse);
const char* ProcessReuseName(ProcessReuse reuse);

// A set of process numbers kept as ranges: the numbers of ended processes, which mostly end in runs.
class NumberRanges {
public:
    void Insert(uint32_t number);
    bool Contains(uint32_t number) const;
    size_t Ranges() const { return ranges_.size(); }

private:
    std::map<uint32_t, uint32_t> ranges_;   // first -> last, disjoint and not adjacent
};

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
    uint32_t process = 0;       // system space: the process whose request (or callback) made it
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
    // Ended, its object kept by a reference the driver holds (signalled, as an ended process's
    // object is). A process that ended with no reference held is gone from the kernel.
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
