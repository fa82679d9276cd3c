// The kernel: the 32-bit kernel address space (pool memory backed by the host, and mappings of
// physical addresses), the processor's accesses through it, the process on whose behalf the driver
// runs, and the registry.
#pragma once

#include <cstdint>
#include <string>

#include "devices/bus.h"
#include "kernel/address_space.h"
#include "kernel/objects.h"
#include "kernel/registry.h"
#include "support/faults.h"

namespace sim {

class Kernel {
public:
    Kernel(Bus& bus, FaultLog& faults) : bus_(bus), faults_(faults), objects_(*this, faults) {}
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    KernelSpace& Space() { return space_; }
    Registry& GetRegistry() { return registry_; }
    const Registry& GetRegistry() const { return registry_; }
    // Registry keys and files by handle, counted strings, pool memory.
    KernelObjects& Objects() { return objects_; }

    // The process on whose behalf the driver runs (what IoGetCurrentProcess answers).
    uint32_t CurrentProcess() const { return currentProcess_; }
    void SetCurrentProcess(uint32_t process) { currentProcess_ = process; }

    // A 32-bit address to the host pointer behind it: the memory itself for pool memory, otherwise
    // the address as a pointer value that must not be dereferenced.
    void* HostPointer(uint32_t address);
    // A host pointer (into pool memory, or a pointer value that already is an address) to its
    // address; 0 and a driver fault for a pointer outside the machine's address space.
    uint32_t AddressOfPointer(const void* pointer);

    // The processor's accesses through a kernel virtual address of a device mapping.
    uint32_t ReadMemory(const volatile void* pointer, unsigned width);
    void WriteMemory(const volatile void* pointer, unsigned width, uint32_t value);
    // The physical address behind a kernel virtual address of a device mapping; false (and a driver
    // fault) when the address maps no device.
    bool PhysicalOf(const volatile void* pointer, bool write, uint32_t* physical);

    // Everything but pool contents is copied; pool regions keep their host memory across a restore.
    struct State {
        KernelSpace space;
        Registry registry;
        uint32_t currentProcess = 0;
        KernelObjects::State objects;
    };
    State Save() const { return State{space_, registry_, currentProcess_, objects_.Save()}; }
    void Restore(const State& state);

private:
    Bus& bus_;
    FaultLog& faults_;
    KernelSpace space_;
    Registry registry_;
    uint32_t currentProcess_ = 0;
    KernelObjects objects_;
};

}  // namespace sim
