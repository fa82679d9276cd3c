#include "kernel/address_space.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {
constexpr uint32_t PageSize = 0x1000;
uint32_t PagesFor(uint32_t size) { return (size + PageSize - 1) / PageSize * PageSize; }
}  // namespace

HostBlock& HostBlock::operator=(const HostBlock& other) {
    if (this != &other) {
        HostBlock copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void HostBlock::CopyFrom(const HostBlock& other) {
    if (size_ && size_ == other.size_) std::memcpy(bytes_.get(), other.bytes_.get(), size_);
}

// The lowest address from `from` below `limit` where `span` bytes overlap no region.
uint32_t KernelSpace::FindFree(uint32_t from, uint32_t limit, uint32_t span) const {
    uint64_t candidate = from;
    for (auto it = regions_.lower_bound(0); it != regions_.end(); ++it) {
        const Region& region = it->second;
        uint64_t start = region.base & ~(PageSize - 1);
        uint64_t end = static_cast<uint64_t>(region.base) + region.reserved;
        if (end <= candidate) continue;
        if (start >= candidate + span) break;
        candidate = (end + PageSize - 1) / PageSize * PageSize;
    }
    if (candidate + span > limit) throw std::runtime_error("the simulated kernel address space is full");
    return static_cast<uint32_t>(candidate);
}

uint32_t KernelSpace::AllocateMemory(uint32_t size, const std::string& purpose) {
    // A guard page behind every allocation, so that a run past the end hits nothing.
    uint32_t span = PagesFor(size == 0 ? 1 : size) + PageSize;
    Region region;
    region.base = FindFree(PoolBase, PoolLimit, span);
    region.size = size;
    region.reserved = span;
    region.memory = HostBlock(size);
    region.purpose = purpose;
    uint32_t base = region.base;
    regions_.emplace(base, std::move(region));
    last_ = nullptr;
    return base;
}

uint32_t KernelSpace::MapPhysical(uint32_t physical, uint32_t size, const std::string& purpose) {
    // As much unmapped space behind a mapping as it is long (up to 16 MiB), so that a run past its
    // end hits nothing.
    uint32_t pages = PagesFor((physical & (PageSize - 1)) + size);
    uint32_t span = pages + std::min<uint32_t>(pages, 16u << 20) + PageSize;
    Region region;
    region.base = FindFree(MappingBase, MappingLimit, span) + (physical & (PageSize - 1));
    region.size = size;
    region.reserved = span - (physical & (PageSize - 1));
    region.device = true;
    region.physical = physical;
    region.purpose = purpose;
    uint32_t base = region.base;
    regions_.emplace(base, std::move(region));
    last_ = nullptr;
    return base;
}

void KernelSpace::Free(uint32_t base) {
    regions_.erase(base);
    last_ = nullptr;
}

const Region* KernelSpace::Find(uint32_t address) const {
    if (last_ && address - last_->base < last_->size) return last_;
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) return nullptr;
    --it;
    const Region& region = it->second;
    if (address - region.base >= region.size) return nullptr;
    last_ = &region;
    return &region;
}

Region* KernelSpace::Find(uint32_t address) {
    return const_cast<Region*>(static_cast<const KernelSpace*>(this)->Find(address));
}

uint32_t KernelSpace::AddressOfHost(const void* pointer) const {
    auto host = static_cast<const uint8_t*>(pointer);
    for (const auto& [base, region] : regions_) {
        if (region.device || !region.memory.data()) continue;
        const uint8_t* start = region.memory.data();
        // One past the end is a valid pointer too.
        if (host >= start && host <= start + region.size) return base + static_cast<uint32_t>(host - start);
    }
    return 0;
}

void KernelSpace::RestoreFrom(const KernelSpace& saved) {
    last_ = nullptr;
    for (auto it = regions_.begin(); it != regions_.end();) {
        auto old = saved.regions_.find(it->first);
        if (old == saved.regions_.end()) {
            it = regions_.erase(it);
            continue;
        }
        it->second.memory.CopyFrom(old->second.memory);
        ++it;
    }
    for (const auto& [base, region] : saved.regions_) {
        if (!regions_.count(base)) regions_.emplace(base, region);
    }
}

}  // namespace sim
