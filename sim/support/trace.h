// The trace of hardware accesses: every register, port, ROM and configuration access the driver
// (or the port on its behalf) makes, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace sim {

// Mmio, Io, Config: registers, ports and configuration space. Bios: a video BIOS call. FrameBuffer:
// video memory through the frame buffer window; Ram: system memory (offset is the physical address).
// A block access to video memory or system memory is one entry whose width is its byte count x 8.
enum class Window : uint8_t { Mmio, Io, Config, Bios, FrameBuffer, Ram };

struct TraceEntry {
    int16_t adapter = 0;
    bool write = false;
    Window window = Window::Mmio;
    uint32_t width = 32;   // bits; configuration and block accesses give their byte count times 8
    uint32_t offset = 0;   // in the window (the configuration header offset for Config)
    uint32_t value = 0;
    // Register name, "?" for an unknown register; the call for Bios; for a configuration write,
    // "config" followed by the registers it changed, " [0x30]=0xe0a00001". The text lives in static
    // storage (register and port names) or in the trace log that recorded the entry.
    std::string_view name;
};
static_assert(sizeof(TraceEntry) <= 32, "a trace entry fits half a cache line");

const char* WindowName(Window window);

// One line: "W 32 mmio 0x00005c pipeline 0x00000081".
std::string FormatTraceEntry(const TraceEntry& entry);

}  // namespace sim

namespace sim {

// The machine's trace: every access in order, while recording is on. Recording an access stores its
// fields and a view of its name; no text is built until an entry is printed. The trace can also be
// streamed, one line per access as it happens, and the entries kept in memory bounded to the latest
// ones, so that a long run costs neither memory nor a copy at the end.
class TraceLog {
public:
    static constexpr size_t KeepAll = SIZE_MAX;

    TraceLog() { entries_.reserve(4096); }
    // An access whose name is in static storage. The common case (everything kept, nothing streamed)
    // stores the fields straight into the log's next entry.
    void Record(int16_t adapter, bool write, Window window, uint32_t width, uint32_t offset, uint32_t value,
                std::string_view name) {
        if (paused_ == 0 && keep_ == KeepAll && stream_ == nullptr) {
            TraceEntry& entry = entries_.emplace_back();
            entry.adapter = adapter;
            entry.write = write;
            entry.window = window;
            entry.width = width;
            entry.offset = offset;
            entry.value = value;
            entry.name = name;
            return;
        }
        // Nothing kept or streamed (a fuzzing run): no entry is built at all.
        if (Recording()) RecordFields(adapter, write, window, width, offset, value, name);
    }
    void Record(const TraceEntry& entry) {
        if (!Recording()) return;
        if (stream_) *stream_ << FormatTraceEntry(entry) << '\n';
        if (keep_ == 0) return;
        entries_.push_back(entry);
        // Older entries go in chunks, so that recording stays O(1) per entry.
        if (keep_ != KeepAll && entries_.size() >= 2 * keep_) {
            entries_.erase(entries_.begin(), entries_.end() - static_cast<std::ptrdiff_t>(keep_));
        }
    }
    // An entry whose name is made for it (a configuration write's changes, a BIOS call): the text is
    // kept once in the log, so every entry that names it stays valid as long as the log.
    void RecordText(TraceEntry entry, std::string text) {
        if (!Recording()) return;
        // An entry that is only streamed is printed now: its text need not outlive the call.
        entry.name = keep_ == 0 ? std::string_view(text) : std::string_view(*texts_.insert(std::move(text)).first);
        Record(entry);
    }
    // Whether an access now goes anywhere: not while paused, nor when nothing is kept or streamed.
    bool Recording() const { return paused_ == 0 && (stream_ != nullptr || keep_ != 0); }
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
    // The entry built out of line, so that the callers on the access path keep no entry of their own.
    [[gnu::noinline]] void RecordFields(int16_t adapter, bool write, Window window, uint32_t width, uint32_t offset,
                                        uint32_t value, std::string_view name) {
        Record(TraceEntry{adapter, write, window, width, offset, value, name});
    }

    std::vector<TraceEntry> entries_;
    std::unordered_set<std::string> texts_;   // node-based: the strings never move
    size_t keep_ = KeepAll;
    std::ostream* stream_ = nullptr;
    int paused_ = 0;
};

}  // namespace sim
