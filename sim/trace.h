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
