// The trace of hardware accesses: every register, port, ROM and configuration access the driver
// (or the port on its behalf) makes, in order.
#pragma once

#include <cstdint>
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

// The machine's trace: every access in order, while recording is on.
class TraceLog {
public:
    void Record(TraceEntry entry) {
        if (recording_) entries_.push_back(std::move(entry));
    }
    // Off while the port reads memory on its own behalf (a ROM scan is traced as one entry).
    void SetRecording(bool on) { recording_ = on; }
    const std::vector<TraceEntry>& Entries() const { return entries_; }
    size_t Size() const { return entries_.size(); }
    // Drops the entries from `size` on (what a check run recorded).
    void Truncate(size_t size) {
        if (size < entries_.size()) entries_.resize(size);
    }
    void Clear() { entries_.clear(); }

private:
    std::vector<TraceEntry> entries_;
    bool recording_ = true;
};

}  // namespace sim
