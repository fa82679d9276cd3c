// The trace of hardware accesses: every register, port, ROM and configuration access the driver
// (or the port on its behalf) makes, in order.
#pragma once

#include <cstdint>
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
    // Register name, "?" for an unknown register; the call for Bios; for a configuration write,
    // "config" followed by the registers it changed, " [0x30]=0xe0a00001". The text lives in static
    // storage (register and port names) or in the trace log that recorded the entry.
    std::string_view name;
    uint32_t value = 0;
};

const char* WindowName(Window window);

// One line: "W 32 mmio 0x00005c pipeline 0x00000081".
std::string FormatTraceEntry(const TraceEntry& entry);

}  // namespace sim

namespace sim {

// The machine's trace: every access in order, while recording is on. Recording an access stores its
// fields and a view of its name; no text is built until an entry is printed.
class TraceLog {
public:
    TraceLog() { entries_.reserve(4096); }
    void Record(const TraceEntry& entry) {
        if (recording_) entries_.push_back(entry);
    }
    // An entry whose name is made for it (a configuration write's changes, a BIOS call): the text is
    // kept once in the log, so every entry that names it stays valid as long as the log.
    void RecordText(TraceEntry entry, std::string text) {
        if (!recording_) return;
        entry.name = *texts_.insert(std::move(text)).first;
        entries_.push_back(entry);
    }
    // Off while the port reads memory on its own behalf (a ROM scan is traced as one entry).
    void SetRecording(bool on) { recording_ = on; }
    bool Recording() const { return recording_; }
    const std::vector<TraceEntry>& Entries() const { return entries_; }
    size_t Size() const { return entries_.size(); }
    // Drops the entries from `size` on (what a check run recorded).
    void Truncate(size_t size) {
        if (size < entries_.size()) entries_.resize(size);
    }
    void Clear() { entries_.clear(); }

private:
    std::vector<TraceEntry> entries_;
    std::unordered_set<std::string> texts_;   // node-based: the strings never move
    bool recording_ = true;
};

}  // namespace sim
