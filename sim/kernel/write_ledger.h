// Which bytes of a few watched ranges were written while the driver ran: the platform's routines
// mark what they write on the driver's behalf, and a processor that runs the driver image marks
// every store of the driver's own code (the ledger is then exact). A byte of a range that nobody
// marked still holds what the range held before: stale memory, or the caller's own input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class WriteLedger {
public:
    // Told when a range starts and stops being watched, so that a processor can report the driver's
    // stores into it.
    class StoreWatcher {
    public:
        virtual ~StoreWatcher() = default;
        virtual void Watch(uint32_t address, uint32_t size) = 0;
        virtual void Unwatch(uint32_t address, uint32_t size) = 0;
    };
    void SetWatcher(StoreWatcher* watcher) { watcher_ = watcher; }
    // The driver's own stores are marked too.
    bool Exact() const { return watcher_ != nullptr; }

    // Watches [address, address + size) (at `host` in the host's memory) with no byte written yet;
    // ends with Untrack.
    void Track(uint32_t address, const void* host, uint32_t size);
    void Untrack(uint32_t address);
    // Marks the bytes of [address, address + size) that lie in a watched range.
    void MarkWritten(uint32_t address, uint32_t size) {
        for (Range& range : ranges_) {
            const int64_t begin = int64_t{address} - range.address;
            Mark(range, begin, begin + size);
        }
    }
    // The same by the host's address of the bytes (a platform routine of the host build).
    void MarkWrittenAt(const void* host, size_t size);
    // Whether a byte of a watched range was written; false outside every watched range.
    bool Written(uint32_t address) const;
    bool Tracked(uint32_t address) const;

private:
    struct Range {
        uint32_t address = 0;
        const void* host = nullptr;
        uint32_t size = 0;
        std::vector<uint8_t> written;
    };
    // Marks the bytes from offset `begin` to `end` of the range that lie in it.
    static void Mark(Range& range, int64_t begin, int64_t end);

    std::vector<Range> ranges_;
    StoreWatcher* watcher_ = nullptr;
};

}  // namespace sim
