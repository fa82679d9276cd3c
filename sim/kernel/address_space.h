// The simulated kernel address space: 32-bit addresses backed either by host memory (device
// extensions, request buffers, pool) or by physical addresses (device mappings). Every address the
// driver is given fits in 32 bits, so the i386 request formats hold unchanged.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace sim {

// A block of host memory of exactly the requested size (so that the sanitizers see overruns).
// Copying a block copies its contents into a new allocation.
class HostBlock {
public:
    HostBlock() = default;
    explicit HostBlock(uint32_t size) : size_(size), bytes_(size ? new uint8_t[size]() : nullptr) {}
    HostBlock(const HostBlock& other) : HostBlock(other.size_) { CopyFrom(other); }
    HostBlock& operator=(const HostBlock& other);
    HostBlock(HostBlock&&) = default;
    HostBlock& operator=(HostBlock&&) = default;

    uint8_t* data() const { return bytes_.get(); }
    uint32_t size() const { return size_; }
    void CopyFrom(const HostBlock& other);

private:
    uint32_t size_ = 0;
    std::unique_ptr<uint8_t[]> bytes_;
};

struct Region {
    uint32_t base = 0;
    uint32_t size = 0;
    bool device = false;     // true: a mapping of physical addresses
    uint32_t physical = 0;   // device: physical address of `base`
    uint32_t reserved = 0;   // address space kept for it from `base`, guard included
    bool ioSpace = false;    // device: the mapping names I/O ports
    HostBlock memory;        // not device: the memory itself
    std::string purpose;
};

class KernelSpace {
public:
    KernelSpace() = default;
    KernelSpace(const KernelSpace& other) : regions_(other.regions_) {}
    KernelSpace& operator=(const KernelSpace& other) {
        regions_ = other.regions_;
        last_ = nullptr;
        return *this;
    }
    KernelSpace(KernelSpace&& other) noexcept : regions_(std::move(other.regions_)) { other.last_ = nullptr; }
    KernelSpace& operator=(KernelSpace&& other) noexcept {
        regions_ = std::move(other.regions_);
        last_ = other.last_ = nullptr;
        return *this;
    }

    // Host memory of `size` bytes, zero-filled; returns its address.
    uint32_t AllocateMemory(uint32_t size, const std::string& purpose);
    // A mapping of `size` bytes of physical memory space; returns its address.
    uint32_t MapPhysical(uint32_t physical, uint32_t size, const std::string& purpose);
    void Free(uint32_t base);

    // The region containing the address, or null.
    const Region* Find(uint32_t address) const;
    Region* Find(uint32_t address);
    // The address of a host pointer into a memory region, or 0.
    uint32_t AddressOfHost(const void* pointer) const;

    // Restores the contents of memory regions from a saved copy without moving them, so that
    // host pointers held across the restore stay valid; regions created since are dropped, regions
    // freed since come back.
    void RestoreFrom(const KernelSpace& saved);

private:
    static constexpr uint32_t PoolBase = 0x81000000;      // host memory: extensions, buffers, pool
    static constexpr uint32_t PoolLimit = 0x90000000;
    static constexpr uint32_t MappingBase = 0x90000000;   // device mappings
    static constexpr uint32_t MappingLimit = 0xF0000000;
    uint32_t FindFree(uint32_t from, uint32_t limit, uint32_t span) const;

    std::map<uint32_t, Region> regions_;
    // The region the last lookup found: accesses come in runs to the same mapping. Forgotten
    // whenever a region comes or goes.
    mutable const Region* last_ = nullptr;
};

}  // namespace sim
