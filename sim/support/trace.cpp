#include "support/trace.h"

#include <cstdio>

namespace sim {

const char* WindowName(Window window) {
    switch (window) {
    case Window::Mmio: return "mmio";
    case Window::Io: return "io";
    case Window::Config: return "config";
    case Window::Bios: return "bios";
    }
    return "?";
}

std::string FormatTraceEntry(const TraceEntry& entry) {
    char line[160];
    if (entry.window == Window::Bios) {
        std::string text = "C    bios   " + std::string(entry.name);
        return entry.adapter != 0 ? "[" + std::to_string(entry.adapter) + "] " + text : text;
    }
    std::snprintf(line, sizeof line, "%c %2u %-6s 0x%06x %-24s 0x%08x", entry.write ? 'W' : 'R', entry.width,
                  WindowName(entry.window), entry.offset, std::string(entry.name).c_str(), entry.value);
    std::string text = line;
    if (entry.adapter != 0) text = "[" + std::to_string(entry.adapter) + "] " + text;
    return text;
}

}  // namespace sim
