// The simulated kernel address space: 32-bit addresses backed either by host memory (device
// extensions, request buffers, pool) or by physical addresses (device mappings). Every address the
// driver is given fits in 32 bits, so the i386 request formats hold unchanged.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace sim {

// A resource of the simulated machine is used up (its kernel address space): not bad input, and
// not a fault of the driver by itself.
class ResourceExhausted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A block of host memory of the requested size, zero-filled or holding stale bytes. It starts on a
// page and spans whole pages, so that an emulated processor can share it page for page; the rest
// of its last page holds stale bytes, and under AddressSanitizer it is poisoned, so that host code
// running past the end is still caught. Copying a block copies its contents into a new allocation.
class HostBlock {
public:
    // What a new block holds: zeros, or the pool's stale word everywhere (as memory that earlier
    // owners used and left).
    enum class Contents { Zeros, Stale };
    HostBlock() = default;
    explicit HostBlock(uint32_t size, Contents contents = Contents::Zeros);
    HostBlock(const HostBlock& other);
    HostBlock& operator=(const HostBlock& other);
    HostBlock(HostBlock&&) = default;
    HostBlock& operator=(HostBlock&&) = default;

    uint8_t* data() const { return bytes_.get(); }
    uint32_t size() const { return size_; }
    // The whole pages from data(): what a processor sharing the memory sees.
    uint32_t pageBytes() const;
    // The contents of a block of the same size.
    void CopyFrom(const HostBlock& other);

private:
    static uint8_t* Allocate(uint32_t size, bool* mapped);
    void FillTail();

    struct Release {
        uint32_t size;
        void operator()(uint8_t* bytes) const;
    };
    uint32_t size_ = 0;
    std::unique_ptr<uint8_t, Release> bytes_{nullptr, Release{0}};
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

// --- Sharing the address space with an emulated processor ---
// Told of every region as it appears in the kernel address space and as it goes, so that an
// emulated processor can map the same memory and device windows.
class SpaceWatcher {
public:
    virtual ~SpaceWatcher() = default;
    virtual void RegionAdded(const Region& region) = 0;
    virtual void RegionRemoved(const Region& region) = 0;
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

    // Host memory of `size` bytes, zero-filled; returns its address. Throws ResourceExhausted when
    // the pool has no room.
    uint32_t AllocateMemory(uint32_t size, const std::string& purpose);
    // The same, or 0 when the pool has no room for it; `fromTop` takes the highest room instead of
    // the lowest.
    uint32_t TryAllocateMemory(uint32_t size, const std::string& purpose, bool fromTop = false,
                               HostBlock::Contents contents = HostBlock::Contents::Zeros);
    // Pool memory ends here (system memory ends below it).
    void SetPoolLimit(uint32_t limit) { poolLimit_ = limit; }
    // A mapping of `size` bytes of physical memory space; returns its address.
    uint32_t MapPhysical(uint32_t physical, uint32_t size, const std::string& purpose);
    // The same, or 0 when the mapping space has no room for it.
    uint32_t TryMapPhysical(uint32_t physical, uint32_t size, const std::string& purpose);
    void Free(uint32_t base);

    // The region containing the address, or null. Runs of accesses to one region (a register
    // window) find it without a search.
    const Region* Find(uint32_t address) const {
        if (last_ && address - last_->base < last_->size) return last_;
        return Search(address);
    }
    Region* Find(uint32_t address) { return const_cast<Region*>(static_cast<const KernelSpace*>(this)->Find(address)); }
    // The address of a host pointer into a memory region, or 0.
    uint32_t AddressOfHost(const void* pointer) const;

    // Restores the contents of memory regions from a saved copy without moving them, so that
    // host pointers held across the restore stay valid; regions created since are dropped, regions
    // freed since come back (also where another region has taken their place).
    void RestoreFrom(const KernelSpace& saved);

    // --- Sharing the address space with an emulated processor ---
    // Host memory of `size` bytes at a fixed address from LoaderBase up to LoaderLimit, where the
    // kernel's loader puts a driver image and its stack; throws when the range is taken or outside.
    static constexpr uint32_t LoaderBase = 0xF0000000;
    static constexpr uint32_t LoaderLimit = 0xF8000000;
    void PlaceMemory(uint32_t base, uint32_t size, const std::string& purpose);
    // The watcher (null: none) is told of every region there is now and of every change after. A
    // copy of the space has no watcher.
    void Watch(SpaceWatcher* watcher);

private:
    static constexpr uint32_t PoolBase = 0x81000000;      // host memory: extensions, buffers, pool
    static constexpr uint32_t MappingBase = 0x90000000;   // device mappings
    static constexpr uint32_t MappingLimit = 0xF0000000;
    const Region* Search(uint32_t address) const;
    uint32_t FindFree(uint32_t from, uint32_t limit, uint32_t span) const;
    bool FindFree(uint32_t from, uint32_t limit, uint32_t span, uint32_t* found) const;
    bool FindFreeFromTop(uint32_t from, uint32_t limit, uint32_t span, uint32_t* found) const;

    std::map<uint32_t, Region> regions_;
    // The region the last lookup found: accesses come in runs to the same mapping. Forgotten
    // whenever a region comes or goes.
    mutable const Region* last_ = nullptr;
    uint32_t poolLimit_ = 0x84000000;
    // --- Sharing the address space with an emulated processor ---
    void Added(const Region& region);
    SpaceWatcher* watcher_ = nullptr;
};

}  // namespace sim
