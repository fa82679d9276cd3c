#include "address_space.h"

#include <cstring>

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

uint32_t KernelSpace::AllocateMemory(uint32_t size, const std::string& purpose) {
    Region region;
    region.base = nextPool_;
    region.size = size;
    region.memory = HostBlock(size);
    region.purpose = purpose;
    // A guard page between allocations, so that a run past the end hits nothing.
    nextPool_ += PagesFor(size == 0 ? 1 : size) + PageSize;
    uint32_t base = region.base;
    regions_.emplace(base, std::move(region));
    return base;
}

uint32_t KernelSpace::MapPhysical(uint32_t physical, uint32_t size, const std::string& purpose) {
    Region region;
    region.base = nextMapping_ + (physical & (PageSize - 1));
    region.size = size;
    region.device = true;
    region.physical = physical;
    region.purpose = purpose;
    nextMapping_ += PagesFor((physical & (PageSize - 1)) + size) + PageSize;
    uint32_t base = region.base;
    regions_.emplace(base, std::move(region));
    return base;
}

void KernelSpace::Free(uint32_t base) { regions_.erase(base); }

const Region* KernelSpace::Find(uint32_t address) const {
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) return nullptr;
    --it;
    const Region& region = it->second;
    if (address - region.base < region.size) return &region;
    return nullptr;
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

uint8_t* KernelSpace::HostBytes(uint32_t address, uint32_t length) {
    Region* region = Find(address);
    if (!region || region->device) return nullptr;
    uint32_t offset = address - region->base;
    if (length > region->size - offset) return nullptr;
    return region->memory.data() + offset;
}

void KernelSpace::RestoreFrom(const KernelSpace& saved) {
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
    nextPool_ = saved.nextPool_;
    nextMapping_ = saved.nextMapping_;
}

}  // namespace sim
