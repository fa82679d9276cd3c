#include "kernel/process.h"

#include <iterator>

namespace sim {

bool ParseProcessReuse(std::string_view text, ProcessReuse* reuse) {
    for (ProcessReuse each : {ProcessReuse::Recent, ProcessReuse::Oldest, ProcessReuse::Never}) {
        if (text != ProcessReuseName(each)) continue;
        *reuse = each;
        return true;
    }
    return false;
}

const char* ProcessReuseName(ProcessReuse reuse) {
    switch (reuse) {
    case ProcessReuse::Recent: return "recent";
    case ProcessReuse::Oldest: return "oldest";
    case ProcessReuse::Never: return "never";
    }
    return "?";
}

void NumberRanges::Insert(uint32_t number) {
    if (Contains(number)) return;
    auto next = ranges_.upper_bound(number);
    const bool joinsNext = next != ranges_.end() && next->first == number + 1;
    if (next != ranges_.begin()) {
        auto previous = std::prev(next);
        if (previous->second + 1 == number) {
            previous->second = joinsNext ? next->second : number;
            if (joinsNext) ranges_.erase(next);
            return;
        }
    }
    const uint32_t last = joinsNext ? next->second : number;
    if (joinsNext) ranges_.erase(next);
    ranges_.emplace(number, last);
}

bool NumberRanges::Contains(uint32_t number) const {
    auto next = ranges_.upper_bound(number);
    return next != ranges_.begin() && std::prev(next)->second >= number;
}

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
