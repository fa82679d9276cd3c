#include "kernel/process.h"

namespace sim {

const View* Process::ViewAt(uint32_t address) const {
    auto it = views.upper_bound(address);
    if (it == views.begin()) return nullptr;
    --it;
    return address - it->second.base < it->second.size ? &it->second : nullptr;
}

bool Process::IsFree(uint32_t address, uint32_t size) const {
    uint64_t end = uint64_t{address} + size;
    for (const auto& [base, view] : views) {
        if (base < end && uint64_t{base} + view.size > address) return false;
    }
    return true;
}

uint32_t Process::FreeRange(uint32_t size) const {
    uint64_t span = (uint64_t{size} + AllocationGranularity - 1) / AllocationGranularity * AllocationGranularity +
                    AllocationGranularity;
    uint64_t candidate = UserSpaceStart;
    for (const auto& [base, view] : views) {
        uint64_t end = uint64_t{base} + view.size;
        if (end + AllocationGranularity <= candidate) continue;
        if (base >= candidate + span) break;
        candidate = (end + AllocationGranularity + AllocationGranularity - 1) / AllocationGranularity * AllocationGranularity;
    }
    return candidate + span <= UserSpaceEnd ? static_cast<uint32_t>(candidate) : 0;
}

uint32_t Process::FreeHandle() const {
    for (uint32_t handle = 4; handle < ProcessHandleBase; handle += 4) {
        if (!handles.count(handle)) return handle;
    }
    return 0;
}

}  // namespace sim
