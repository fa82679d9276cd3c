// The trace of hardware accesses: every register, port, ROM and configuration access the driver
// (or the port on its behalf) makes, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

enum class Window { Mmio, Io, Config, Bios };

struct TraceEntry {
    int adapter = 0;
    bool write = false;
    unsigned width = 32;   // bits; configuration accesses give their byte count times 8
    Window window = Window::Mmio;
    uint32_t offset = 0;   // in the window (the configuration header offset for Config)
    // Register name, "?" for an unknown register; the call for Bios; for a configuration write,
    // "config" followed by the registers it changed, " [0x30]=0xe0a00001".
    std::string name;
    uint32_t value = 0;
};

const char* WindowName(Window window);

// One line: "W 32 mmio 0x00005c pipeline 0x00000081".
std::string FormatTraceEntry(const TraceEntry& entry);

}  // namespace sim

namespace sim {

// The machine's trace: every access in order, while recording is on. It can be streamed, one line
// per access as it happens, and the entries kept in memory can be bounded to the latest ones, so
// that a long run costs neither memory nor a copy at the end.
class TraceLog {
public:
    static constexpr size_t KeepAll = SIZE_MAX;

    void Record(TraceEntry entry) {
        if (paused_) return;
        if (stream_) *stream_ << FormatTraceEntry(entry) << '\n';
        if (keep_ == 0) return;
        entries_.push_back(std::move(entry));
        // Older entries go in chunks, so that recording stays O(1) per entry.
        if (keep_ != KeepAll && entries_.size() >= 2 * keep_) {
            entries_.erase(entries_.begin(), entries_.end() - static_cast<std::ptrdiff_t>(keep_));
        }
    }
    // Keeps at least the latest `entries` (0: none) and at most twice as many in memory.
    void KeepLatest(size_t entries) {
        keep_ = entries;
        if (keep_ != KeepAll && entries_.size() > keep_) {
            entries_.erase(entries_.begin(), entries_.end() - static_cast<std::ptrdiff_t>(keep_));
        }
    }
    // Every entry recorded from now on is also written to `out` (null: none) as it happens.
    void StreamTo(std::ostream* out) { stream_ = out; }
    // Nothing is recorded while paused: a ROM scan is traced as one entry, not byte by byte, and the
    // aliasing check's own run leaves no trace. Pauses nest.
    void Pause() { ++paused_; }
    void Resume() {
        if (paused_ > 0) --paused_;
    }
    const std::vector<TraceEntry>& Entries() const { return entries_; }
    void Clear() { entries_.clear(); }

private:
    std::vector<TraceEntry> entries_;
    size_t keep_ = KeepAll;
    std::ostream* stream_ = nullptr;
    int paused_ = 0;
};

}  // namespace sim
