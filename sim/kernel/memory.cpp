// The kernel's memory: system memory under the pool, processes with their user views, the
// processor's accesses in a process's address space, contiguous memory and physical addresses.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "kernel/kernel.h"
#include "support/text_format.h"

namespace sim {

namespace {

constexpr uint32_t ProcessObjectBytes = 0x100;
constexpr uint32_t MinSystemMemory = 24u << 20;
constexpr uint32_t MaxSystemMemory = 256u << 20;   // pool must stay below the device mappings
constexpr uint32_t MaxSystemViewBytes = 256u << 20;   // the most one system-space mapping spans

uint32_t FirstDword(const uint8_t* bytes, uint32_t length) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < 4 && i < length; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    return value;
}

}  // namespace

void Kernel::SetSystemMemory(uint64_t bytes) {
    if (bytes < MinSystemMemory || bytes > MaxSystemMemory || bytes % PageBytes) {
        throw std::invalid_argument("system memory must be 24 to 256 MiB");
    }
    memory_.systemBytes = static_cast<uint32_t>(bytes);
    space_.SetPoolLimit(KernelSpaceStart + memory_.systemBytes);
}

// --- Processes ------------------------------------------------------------------------------------

Process& Kernel::EnsureProcess(uint32_t id) {
    auto found = memory_.processes.find(id);
    if (found != memory_.processes.end()) return found->second;
    if (memory_.endedProcesses.Contains(id)) throw std::invalid_argument("process " + std::to_string(id) + " has ended");
    Process process;
    process.id = id;
    process.object = NewProcessObject();
    memory_.processOfObject[process.object] = id;
    return memory_.processes.emplace(id, std::move(process)).first->second;
}

// A pool's free list gives back the block freed last; the other readings take the longest freed,
// or make every object anew (the freed ones stay taken, so their addresses are never seen again).
uint32_t Kernel::NewProcessObject() {
    std::deque<uint32_t>& freed = memory_.freeProcessObjects;
    uint32_t object = 0;
    if (freed.empty() || memory_.processReuse == ProcessReuse::Never) {
        object = space_.AllocateMemory(ProcessObjectBytes, "process object");
        ++memory_.processObjectBlocks;
        return object;
    }
    if (memory_.processReuse == ProcessReuse::Recent) {
        object = freed.back();
        freed.pop_back();
    } else {
        object = freed.front();
        freed.pop_front();
    }
    std::memset(HostPointer(object), 0, ProcessObjectBytes);
    return object;
}

void Kernel::FreeProcess(uint32_t id) {
    auto found = memory_.processes.find(id);
    if (found == memory_.processes.end()) return;
    const uint32_t object = found->second.object;
    memory_.processOfObject.erase(object);
    for (auto it = memory_.reportedKeeps.begin(); it != memory_.reportedKeeps.end();) {
        it = it->first == object ? memory_.reportedKeeps.erase(it) : std::next(it);
    }
    memory_.processes.erase(found);
    memory_.endedProcesses.Insert(id);
    // Freed memory holds what its last owner left.
    FillStale(object, ProcessObjectBytes);
    if (memory_.processReuse != ProcessReuse::Never) memory_.freeProcessObjects.push_back(object);
}

const Process* Kernel::FindProcess(uint32_t id) const {
    auto found = memory_.processes.find(id);
    return found == memory_.processes.end() ? nullptr : &found->second;
}

bool Kernel::HasEnded(uint32_t id) const {
    const Process* process = FindProcess(id);
    return process ? process->ended : memory_.endedProcesses.Contains(id);
}

const Process* Kernel::ProcessOfObject(uint32_t object) const {
    auto found = memory_.processOfObject.find(object);
    return found == memory_.processOfObject.end() ? nullptr : FindProcess(found->second);
}

size_t Kernel::ProcessObjectBlocks() const { return memory_.processObjectBlocks; }

std::vector<View> Kernel::EndProcess(uint32_t id) {
    Process& process = EnsureProcess(id);
    std::vector<View> views;
    for (const auto& [base, view] : process.views) views.push_back(view);
    process.views.clear();
    process.handles.clear();
    process.ended = true;
    ReportSystemViewsLeftBy(id);
    if (ReferencesTo(process.object) == 0) FreeProcess(id);
    return views;
}

// System space is one space for the whole machine: a mapping that a user program's request made
// outlives the program, and nothing it left can unmap it any more.
void Kernel::ReportSystemViewsLeftBy(uint32_t id) {
    if (RunsInKernelMode(id)) return;
    for (auto& [base, view] : memory_.systemViews) {
        if (view.process != id) continue;
        faults_.Report(FaultKind::Driver, view.adapter,
                       "process " + std::to_string(id) + " ended with the system-space mapping at " + Hex(base) + " (" +
                           std::to_string(view.size) + " bytes of physical " + Hex(view.physical) +
                           ") that its request made still in place: it lives until it is unmapped, in every process");
        view.process = SystemProcess;
    }
}

bool Kernel::ProcessOfHandle(uint32_t handle, uint32_t* id) {
    if (handle == CurrentProcessHandle) {
        *id = currentProcess_;
        return !EnsureProcess(currentProcess_).ended;
    }
    if (handle < ProcessHandleBase || (handle - ProcessHandleBase) % 4) return false;
    const Process* process = FindProcess((handle - ProcessHandleBase) / 4);
    if (!process || process->ended) return false;
    *id = process->id;
    return true;
}

uint32_t Kernel::MapUserView(uint32_t id, uint32_t physical, uint32_t length, const std::string& caching,
                             const std::string& madeBy, uint32_t* viewLength) {
    Process& process = EnsureProcess(id);
    uint32_t lead = physical % PageBytes;
    uint64_t size = (uint64_t{lead} + length + PageBytes - 1) / PageBytes * PageBytes;
    if (process.ended || length == 0 || size > UserSpaceEnd) return 0;
    uint32_t base = process.FreeRange(static_cast<uint32_t>(size));
    if (base == 0) return 0;
    View view = NewView(base, static_cast<uint32_t>(size), physical - lead, caching, madeBy);
    process.views.emplace(base, view);
    CheckViewShowsNoStale(id, view);
    *viewLength = view.size - lead;
    return base + lead;
}

View Kernel::NewView(uint32_t base, uint32_t size, uint32_t physical, const std::string& caching,
                     const std::string& madeBy) {
    View view;
    view.base = base;
    view.size = size;
    view.physical = physical;
    view.caching = caching;
    view.madeBy = madeBy;
    view.adapter = faults_.CurrentAdapter();
    view.serial = memory_.nextSerial++;
    return view;
}

uint32_t Kernel::MapSystemView(uint32_t physical, uint32_t length, const std::string& caching, const std::string& madeBy,
                               uint32_t* viewLength) {
    const uint32_t lead = physical % PageBytes;
    const uint64_t size = (uint64_t{lead} + length + PageBytes - 1) / PageBytes * PageBytes;
    if (length == 0 || size > MaxSystemViewBytes) return 0;
    // System space is a scarce resource: a mapping that finds no room fails.
    const uint32_t base = space_.TryMapPhysical(physical - lead, static_cast<uint32_t>(size), madeBy + " (system space)");
    if (base == 0) return 0;
    View view = NewView(base, static_cast<uint32_t>(size), physical - lead, caching, madeBy);
    view.process = currentProcess_;
    memory_.systemViews.emplace(base, view);
    *viewLength = view.size - lead;
    return base + lead;
}

bool Kernel::UnmapSystemView(uint32_t address) {
    auto it = memory_.systemViews.upper_bound(address);
    if (it == memory_.systemViews.begin()) return false;
    --it;
    if (address - it->second.base >= it->second.size) return false;
    space_.Free(it->first);
    memory_.systemViews.erase(it);
    return true;
}

bool Kernel::UnmapUserView(uint32_t id, uint32_t address) {
    Process& process = EnsureProcess(id);
    const View* view = process.ViewAt(address);
    if (!view) return false;
    process.views.erase(view->base);
    return true;
}

// --- The processor's accesses ---------------------------------------------------------------------

// Splits [address, address + length) of process `id` into pieces of physical memory space, each a
// (physical address, length) pair; false and a fault of the process when a byte maps nothing.
bool Kernel::Resolve(uint32_t id, uint32_t address, uint32_t length, bool write,
                     std::vector<std::pair<uint32_t, uint32_t>>* pieces) {
    const Process& process = EnsureProcess(id);
    uint64_t at = address;
    const uint64_t end = uint64_t{address} + length;
    while (at < end) {
        uint32_t here = static_cast<uint32_t>(at);
        uint64_t pieceEnd = end;
        uint32_t physical = 0;
        const char* problem = nullptr;
        if (here >= KernelSpaceStart && !RunsInKernelMode(id)) {
            problem = "kernel space, which a user program cannot reach";
        } else if (here >= KernelSpaceStart) {
            const Region* region = space_.Find(here);
            if (region) {
                physical = region->device ? region->physical + (here - region->base) : here - KernelSpaceStart;
                pieceEnd = std::min<uint64_t>(end, uint64_t{region->base} + region->size);
            } else {
                problem = "which nothing maps";
            }
        } else if (const View* view = process.ViewAt(here)) {
            if (write && !view->writable) problem = "which a read-only view maps";
            physical = view->physical + (here - view->base);
            pieceEnd = std::min<uint64_t>(end, uint64_t{view->base} + view->size);
        } else {
            problem = "which no view of the process maps";
        }
        if (problem) {
            faults_.Report(FaultKind::Process, -1,
                           "process " + std::to_string(id) + ": " + (write ? "write" : "read") + " of " +
                               std::to_string(length) + " bytes at " + Hex(address) + " reaches " + Hex(here) + ", " +
                               problem);
            return false;
        }
        pieces->emplace_back(physical, static_cast<uint32_t>(pieceEnd - at));
        at = pieceEnd;
    }
    return true;
}

bool Kernel::ProcessRead(uint32_t id, uint32_t address, uint8_t* bytes, uint32_t length) {
    std::vector<std::pair<uint32_t, uint32_t>> pieces;
    if (!Resolve(id, address, length, false, &pieces)) return false;
    // A bad access on the way is the program's own fault, not the driver's.
    faults_.SetAccessesByProcess(true);
    for (const auto& [physical, count] : pieces) {
        PhysicalAccess(physical, bytes, count, false);
        bytes += count;
    }
    faults_.SetAccessesByProcess(false);
    return true;
}

bool Kernel::ProcessWrite(uint32_t id, uint32_t address, const uint8_t* bytes, uint32_t length) {
    std::vector<std::pair<uint32_t, uint32_t>> pieces;
    if (!Resolve(id, address, length, true, &pieces)) return false;
    // A write only reads the bytes it is given.
    uint8_t* next = const_cast<uint8_t*>(bytes);
    faults_.SetAccessesByProcess(true);
    for (const auto& [physical, count] : pieces) {
        PhysicalAccess(physical, next, count, true);
        next += count;
    }
    faults_.SetAccessesByProcess(false);
    return true;
}

void Kernel::PhysicalAccess(uint32_t physical, uint8_t* bytes, uint32_t length, bool write) {
    while (length > 0 && physical < memory_.systemBytes) {
        // System memory: a pool block where one is given out, otherwise memory nobody holds (reads
        // as zero, writes are lost).
        uint32_t count = std::min(length, memory_.systemBytes - physical);
        const uint32_t address = KernelSpaceStart + physical;
        Region* region = space_.Find(address);
        std::string name = "system memory";
        if (region && !region->device) {
            count = std::min(count, region->base + region->size - address);
            uint8_t* memory = region->memory.data() + (address - region->base);
            if (write) std::memcpy(memory, bytes, count);
            else std::memcpy(bytes, memory, count);
            name = region->purpose;
        } else {
            // Pool blocks start on pages: up to the page's end nobody holds the memory.
            count = std::min(count, PageBytes - address % PageBytes);
            if (!write) std::memset(bytes, 0, count);
        }
        // The name is made here: the trace keeps its own copy of it.
        bus_.TraceText(-1, write, count * 8, Window::Ram, physical, name, FirstDword(bytes, count));
        physical += count;
        bytes += count;
        length -= count;
    }
    if (length > 0) bus_.MemoryBlock(physical, bytes, length, write);
}

// --- Contiguous memory and physical addresses -------------------------------------------------------

uint32_t Kernel::AllocateContiguousMemory(uint64_t bytes, uint64_t highestAcceptable) {
    NTSTATUS ignored = 0;
    if (InjectedFailure(PlatformCall::MmAllocateContiguousMemory, &ignored)) return 0;
    if (bytes == 0 || bytes > memory_.systemBytes) return 0;
    // Like the platform, from the highest free memory down.
    // Its bytes are what earlier owners left.
    uint32_t base = space_.TryAllocateMemory(static_cast<uint32_t>(bytes), "contiguous memory", true,
                                             HostBlock::Contents::Stale);
    if (base == 0) return 0;
    if (uint64_t{base} - KernelSpaceStart + bytes - 1 > highestAcceptable) {
        space_.Free(base);
        return 0;
    }
    // The block's pages hold StaleDword; the aliasing check's other run gives it its own stale word.
    if (staleWord_ != StaleDword) FillStale(base, static_cast<uint32_t>(bytes));
    return base;
}

void Kernel::FreeContiguousMemory(uint32_t address) {
    const Region* region = space_.Find(address);
    if (!region || region->device || region->base != address || region->purpose != "contiguous memory") {
        faults_.ReportDriver("MmFreeContiguousMemory of " + Hex(address) +
                             ", where no block of contiguous memory starts");
        return;
    }
    space_.Free(address);
}

void Kernel::FillStale(uint32_t address, uint32_t size) {
    Region* region = space_.Find(address);
    if (!region || region->device) return;
    FillStaleBytes(region->memory.data() + (address - region->base), std::min(size, region->base + region->size - address));
}

// A user view shows system memory as soon as it is made: another thread of the process can read it
// at once. A word that still holds the stale word is what an earlier owner left there.
void Kernel::CheckViewShowsNoStale(uint32_t id, const View& view) {
    uint32_t stale = 0, first = 0;
    std::string purpose;
    for (uint32_t at = view.physical; at - view.physical < view.size && at < memory_.systemBytes;) {
        const Region* region = space_.Find(KernelSpaceStart + at);
        if (!region || region->device) {
            at = (at / PageBytes + 1) * PageBytes;
            continue;
        }
        const uint32_t end = std::min({region->base + region->size - KernelSpaceStart, view.physical + view.size,
                                       memory_.systemBytes});
        for (uint32_t word = (at + 3) & ~3u; word + 4 <= end; word += 4) {
            const uint8_t* w = region->memory.data() + (KernelSpaceStart + word - region->base);
            if ((w[0] | w[1] << 8 | w[2] << 16 | uint32_t{w[3]} << 24) != staleWord_) continue;
            if (stale++ == 0) {
                first = word;
                purpose = region->purpose;
            }
        }
        at = std::max(end, at + 1);
    }
    if (stale == 0) return;
    faults_.ReportDriver("a view at " + Hex(view.base) + " in process " + std::to_string(id) + " shows " +
                         std::to_string(stale * 4) + " bytes of " + purpose + " (first at physical " + Hex(first) +
                         ") that the driver never wrote or cleared: an earlier owner's data");
}

uint64_t Kernel::PhysicalAddressOf(uint32_t address) {
    if (address >= KernelSpaceStart) {
        const Region* region = space_.Find(address);
        if (!region) return 0;
        return region->device ? uint64_t{region->physical} + (address - region->base) : address - KernelSpaceStart;
    }
    const View* view = EnsureProcess(currentProcess_).ViewAt(address);
    return view ? uint64_t{view->physical} + (address - view->base) : 0;
}

uint32_t Kernel::CurrentProcessObject() { return EnsureProcess(currentProcess_).object; }

}  // namespace sim
