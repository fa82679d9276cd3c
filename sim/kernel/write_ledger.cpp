#include "kernel/write_ledger.h"

#include <algorithm>
#include <cstring>

namespace sim {

void WriteLedger::Track(uint32_t address, const void* host, uint32_t size) {
    if (size == 0) return;
    ranges_.push_back(Range{address, host, size, std::vector<uint8_t>(size, 0)});
    if (watcher_) watcher_->Watch(address, size);
}

void WriteLedger::Untrack(uint32_t address) {
    for (auto it = ranges_.begin(); it != ranges_.end(); ++it) {
        if (it->address != address) continue;
        if (watcher_) watcher_->Unwatch(it->address, it->size);
        ranges_.erase(it);
        return;
    }
}

void WriteLedger::Mark(Range& range, int64_t begin, int64_t end) {
    begin = std::max<int64_t>(begin, 0);
    end = std::min<int64_t>(end, range.size);
    if (begin < end) std::memset(range.written.data() + begin, 1, static_cast<size_t>(end - begin));
}

void WriteLedger::MarkWrittenAt(const void* host, size_t size) {
    for (Range& range : ranges_) {
        const int64_t begin = reinterpret_cast<intptr_t>(host) - reinterpret_cast<intptr_t>(range.host);
        Mark(range, begin, begin + static_cast<int64_t>(size));
    }
}

bool WriteLedger::Written(uint32_t address) const {
    for (const Range& range : ranges_) {
        if (address - range.address < range.size && range.written[address - range.address]) return true;
    }
    return false;
}

bool WriteLedger::Tracked(uint32_t address) const {
    for (const Range& range : ranges_) {
        if (address - range.address < range.size) return true;
    }
    return false;
}

}  // namespace sim
