#include "kernel/address_space.h"

#include <algorithm>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include <sys/mman.h>
#include <unistd.h>

#include "address_sanitizer.h"

#if defined(ZARN_ASAN)
// The runtime's own calls, not the header's macros: those are empty in code built without the
// sanitizer, as the simulator's code is in the fuzzers' throughput build, where the driver's reads
// must still stop at a block's end.
#define POISON(address, size) __asan_poison_memory_region(address, size)
#define UNPOISON(address, size) __asan_unpoison_memory_region(address, size)
#else
#define POISON(address, size) ((void)(address), (void)(size))
#define UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace sim {

namespace {
constexpr uint32_t PageSize = 0x1000;
uint32_t PagesFor(uint32_t size) { return (size + PageSize - 1) / PageSize * PageSize; }
// From this size a block is mapped from the host's own zeroed pages, which cost nothing until
// touched (a block of contiguous memory can be megabytes that are never written).
constexpr uint32_t MappedBlockBytes = 64 * 1024;
// The stale pages made once: a multiple of the page and of the stale word.
constexpr uint32_t StaleFileBytes = 1024 * 1024;

// Memory that earlier owners used holds the pool's stale word, bytes DE AD C0 DE from each aligned
// word: byte i of a page holds byte i % 4 of it. Pages of it, to copy from.
const uint8_t* StalePages() {
    static const std::vector<uint8_t> pages = [] {
        static const uint8_t stale[4] = {0xDE, 0xAD, 0xC0, 0xDE};
        std::vector<uint8_t> bytes(StaleFileBytes);
        for (uint32_t i = 0; i < StaleFileBytes; ++i) bytes[i] = stale[i % 4];
        return bytes;
    }();
    return pages.data();
}

// The same pages in a file in memory (made once; -1 without one), for a large block to map
// copy-on-write: a block of megabytes that nobody writes then costs nothing.
int StaleFile() {
    static const int file = [] {
        int made = memfd_create("stale memory", MFD_CLOEXEC);
        for (size_t at = 0; made >= 0 && at < StaleFileBytes;) {
            ssize_t written = write(made, StalePages() + at, StaleFileBytes - at);
            if (written <= 0) {
                close(made);
                return -1;
            }
            at += static_cast<size_t>(written);
        }
        return made;
    }();
    return file;
}

// Maps the stale pages over `size` bytes of mapped memory from `bytes` (page multiples), copy-on-write.
bool MapStale(uint8_t* bytes, uint32_t size) {
    const int file = StaleFile();
    if (file < 0) return false;
    for (uint32_t at = 0; at < size; at += StaleFileBytes) {
        const uint32_t chunk = std::min(size - at, StaleFileBytes);
        if (::mmap(bytes + at, chunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, file, 0) == MAP_FAILED) return false;
    }
    return true;
}

void CopyStale(uint8_t* bytes, uint32_t from, uint32_t to) {
    for (uint32_t at = from; at < to;) {
        const uint32_t chunk = std::min(to - at, StaleFileBytes - at % PageSize);
        std::memcpy(bytes + at, StalePages() + at % PageSize, chunk);
        at += chunk;
    }
}

}  // namespace

// The rest of a block's last page is no one's, and holds what earlier owners left there: a read
// past the block's end sees stale bytes, not zeros. The sanitizer build stops on such a read instead.
void HostBlock::FillTail() {
    const uint32_t pages = PagesFor(size_);
    uint8_t* bytes = bytes_.get();
    UNPOISON(bytes + size_, pages - size_);
    CopyStale(bytes, size_, pages);
    POISON(bytes + size_, pages - size_);
}

// Whole pages for `size` bytes, their contents left to the caller: a large block from the host's own
// zeroed pages.
uint8_t* HostBlock::Allocate(uint32_t size, bool* mapped) {
    const uint32_t pages = PagesFor(size);
    *mapped = pages >= MappedBlockBytes;
    if (*mapped) {
        // One more page behind the block that nothing may touch: a block of whole pages still ends
        // where its size ends.
        void* mapped = ::mmap(nullptr, pages + PageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        auto* bytes = static_cast<uint8_t*>(mapped);
        ::mprotect(bytes + pages, PageSize, PROT_NONE);
        POISON(bytes + pages, PageSize);
        return bytes;
    }
    auto* bytes = static_cast<uint8_t*>(std::aligned_alloc(PageSize, pages));
    if (!bytes) throw std::bad_alloc();
    return bytes;
}

HostBlock::HostBlock(uint32_t size, Contents contents) : size_(size), bytes_(nullptr, Release{size}) {
    if (size == 0) return;
    bool mapped = false;
    bytes_.reset(Allocate(size, &mapped));
    if (contents == Contents::Zeros) {
        if (!mapped) std::memset(bytes_.get(), 0, size);
    } else if (!mapped || !MapStale(bytes_.get(), PagesFor(size))) {
        CopyStale(bytes_.get(), 0, size);
    }
    FillTail();
}

HostBlock::HostBlock(const HostBlock& other) : size_(other.size_), bytes_(nullptr, Release{other.size_}) {
    if (size_ == 0) return;
    bool mapped = false;
    bytes_.reset(Allocate(size_, &mapped));
    std::memcpy(bytes_.get(), other.bytes_.get(), size_);
    FillTail();
}

void HostBlock::Release::operator()(uint8_t* bytes) const {
    const uint32_t pages = PagesFor(size);
    UNPOISON(bytes + size, pages - size);
    if (pages >= MappedBlockBytes) {
        UNPOISON(bytes + pages, PageSize);
        ::munmap(bytes, pages + PageSize);
    } else {
        std::free(bytes);
    }
}

uint32_t HostBlock::pageBytes() const { return PagesFor(size_); }

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
    uint32_t found = 0;
    if (!FindFree(from, limit, span, &found)) throw ResourceExhausted("the simulated kernel address space is full");
    return found;
}

bool KernelSpace::FindFree(uint32_t from, uint32_t limit, uint32_t span, uint32_t* found) const {
    uint64_t candidate = from;
    for (auto it = regions_.lower_bound(0); it != regions_.end(); ++it) {
        const Region& region = it->second;
        uint64_t start = region.base & ~(PageSize - 1);
        uint64_t end = static_cast<uint64_t>(region.base) + region.reserved;
        if (end <= candidate) continue;
        if (start >= candidate + span) break;
        candidate = (end + PageSize - 1) / PageSize * PageSize;
    }
    if (candidate + span > limit) return false;
    *found = static_cast<uint32_t>(candidate);
    return true;
}

// The highest address from which `span` bytes below `limit` and from `from` overlap no region.
bool KernelSpace::FindFreeFromTop(uint32_t from, uint32_t limit, uint32_t span, uint32_t* found) const {
    uint64_t end = uint64_t{limit} / PageSize * PageSize;
    for (auto it = regions_.rbegin(); it != regions_.rend(); ++it) {
        const Region& region = it->second;
        uint64_t start = region.base & ~(PageSize - 1);
        uint64_t regionEnd = static_cast<uint64_t>(region.base) + region.reserved;
        if (start >= end) continue;
        if (regionEnd + span <= end) break;
        end = start;
    }
    if (end < uint64_t{from} + span) return false;
    *found = static_cast<uint32_t>(end - span);
    return true;
}

uint32_t KernelSpace::AllocateMemory(uint32_t size, const std::string& purpose) {
    uint32_t base = TryAllocateMemory(size, purpose);
    if (base == 0) throw ResourceExhausted("the simulated kernel address space is full");
    return base;
}

uint32_t KernelSpace::TryAllocateMemory(uint32_t size, const std::string& purpose, bool fromTop,
                                       HostBlock::Contents contents) {
    // A guard page behind every allocation, so that a run past the end hits nothing.
    if (size > 0xFFFFFFFFu - 2 * PageSize) return 0;
    uint32_t span = PagesFor(size == 0 ? 1 : size) + PageSize;
    Region region;
    bool found = fromTop ? FindFreeFromTop(PoolBase, poolLimit_, span, &region.base)
                         : FindFree(PoolBase, poolLimit_, span, &region.base);
    if (!found) return 0;
    region.size = size;
    region.reserved = span;
    region.memory = HostBlock(size, contents);
    region.purpose = purpose;
    uint32_t base = region.base;
    Added(regions_.emplace(base, std::move(region)).first->second);
    last_ = nullptr;
    return base;
}

uint32_t KernelSpace::MapPhysical(uint32_t physical, uint32_t size, const std::string& purpose) {
    uint32_t base = TryMapPhysical(physical, size, purpose);
    if (base == 0) throw ResourceExhausted("the simulated kernel address space is full");
    return base;
}

uint32_t KernelSpace::TryMapPhysical(uint32_t physical, uint32_t size, const std::string& purpose) {
    // As much unmapped space behind a mapping as it is long (up to 16 MiB), so that a run past its
    // end hits nothing.
    uint32_t pages = PagesFor((physical & (PageSize - 1)) + size);
    uint32_t span = pages + std::min<uint32_t>(pages, 16u << 20) + PageSize;
    Region region;
    if (!FindFree(MappingBase, MappingLimit, span, &region.base)) return 0;
    region.base += physical & (PageSize - 1);
    region.size = size;
    region.reserved = span - (physical & (PageSize - 1));
    region.device = true;
    region.physical = physical;
    region.purpose = purpose;
    uint32_t base = region.base;
    Added(regions_.emplace(base, std::move(region)).first->second);
    last_ = nullptr;
    return base;
}

void KernelSpace::Free(uint32_t base) {
    auto found = regions_.find(base);
    if (found == regions_.end()) return;
    if (watcher_) watcher_->RegionRemoved(found->second);
    regions_.erase(found);
    last_ = nullptr;
}

const Region* KernelSpace::Search(uint32_t address) const {
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) return nullptr;
    --it;
    const Region& region = it->second;
    if (address - region.base >= region.size) return nullptr;
    last_ = &region;
    return &region;
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
        // A region made since in the place of a freed one is another region: the saved one comes back.
        if (old == saved.regions_.end() || old->second.size != it->second.size ||
            old->second.device != it->second.device || old->second.physical != it->second.physical) {
            if (watcher_) watcher_->RegionRemoved(it->second);
            it = regions_.erase(it);
            continue;
        }
        it->second.memory.CopyFrom(old->second.memory);
        ++it;
    }
    for (const auto& [base, region] : saved.regions_) {
        if (!regions_.count(base)) Added(regions_.emplace(base, region).first->second);
    }
}

// --- Sharing the address space with an emulated processor ---

// A watcher that cannot take a region leaves the space as it was.
void KernelSpace::Added(const Region& region) {
    if (!watcher_) return;
    try {
        watcher_->RegionAdded(region);
    } catch (...) {
        const uint32_t base = region.base;
        regions_.erase(base);
        last_ = nullptr;
        throw;
    }
}

void KernelSpace::PlaceMemory(uint32_t base, uint32_t size, const std::string& purpose) {
    uint32_t span = PagesFor(size == 0 ? 1 : size);
    uint32_t free = 0;
    if (base % PageSize || base < LoaderBase || uint64_t{base} + span > LoaderLimit ||
        !FindFree(base, base + span, span, &free) || free != base) {
        throw std::invalid_argument("the loader cannot place " + purpose + " there: the range is taken or outside its own");
    }
    Region region;
    region.base = base;
    region.size = size;
    region.reserved = span;
    region.memory = HostBlock(size);
    region.purpose = purpose;
    Added(regions_.emplace(base, std::move(region)).first->second);
    last_ = nullptr;
}

void KernelSpace::Watch(SpaceWatcher* watcher) {
    watcher_ = watcher;
    if (watcher_) {
        for (const auto& [base, region] : regions_) watcher_->RegionAdded(region);
    }
}

}  // namespace sim
