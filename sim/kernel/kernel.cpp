#include "kernel/kernel.h"
#include "support/text_format.h"

#include <cstdio>

namespace sim {

void* Kernel::HostPointer(uint32_t address) {
    if (address == 0) return nullptr;
    Region* region = space_.Find(address);
    if (region && !region->device) return region->memory.data() + (address - region->base);
    return reinterpret_cast<void*>(uintptr_t{address});
}

uint32_t Kernel::AddressOfPointer(const void* pointer) {
    auto value = reinterpret_cast<uintptr_t>(pointer);
    if (value <= 0xFFFFFFFFu) return static_cast<uint32_t>(value);
    uint32_t address = space_.AddressOfHost(pointer);
    if (address == 0) faults_.ReportDriver("a pointer outside the machine's address space was stored in a platform record");
    return address;
}

namespace {

// The faults of a register access that reaches no device, reported out of the access path: that
// path runs for every register access the driver makes, and builds no text.
[[gnu::noinline, gnu::cold]] void ReportHostPointerAccess(FaultLog& faults, bool write) {
    faults.ReportDriver(std::string(write ? "register write" : "register read") + " through a host pointer");
}

[[gnu::noinline, gnu::cold]] void ReportUnmappedAccess(FaultLog& faults, bool write, uintptr_t value) {
    faults.ReportDriver(std::string(write ? "register write" : "register read") + " at " + Hex(value) +
                        ", which maps no device");
}

}  // namespace

uint64_t Kernel::PhysicalOrNone(const volatile void* pointer, bool write) {
    auto value = reinterpret_cast<uintptr_t>(pointer);
    if (value > 0xFFFFFFFFu) {
        ReportHostPointerAccess(faults_, write);
        return NoPhysical;
    }
    const Region* region = space_.Find(static_cast<uint32_t>(value));
    if (!region || !region->device) {
        ReportUnmappedAccess(faults_, write, value);
        return NoPhysical;
    }
    return region->physical + (static_cast<uint32_t>(value) - region->base);
}

bool Kernel::PhysicalOf(const volatile void* pointer, bool write, uint32_t* physical) {
    uint64_t found = PhysicalOrNone(pointer, write);
    if (found == NoPhysical) return false;
    *physical = static_cast<uint32_t>(found);
    return true;
}

uint32_t Kernel::ReadMemory(const volatile void* pointer, unsigned width) {
    uint64_t physical = PhysicalOrNone(pointer, false);
    return physical == NoPhysical ? 0xFFFFFFFF : bus_.MemoryAccess(static_cast<uint32_t>(physical), width, false, 0);
}

void Kernel::WriteMemory(const volatile void* pointer, unsigned width, uint32_t value) {
    uint64_t physical = PhysicalOrNone(pointer, true);
    if (physical != NoPhysical) bus_.MemoryAccess(static_cast<uint32_t>(physical), width, true, value);
}

}  // namespace sim
