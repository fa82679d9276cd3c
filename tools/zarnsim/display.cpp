#include "display.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>

#include "clients/display_driver.h"
#include "driver_view.h"
#include "modes/mode_tables.h"
#include "names.h"
#include "support/text_format.h"
#include "support/png_writer.h"
#include "support/untrusted_text.h"
#include "clients/test_pattern.h"

namespace zarnsim {

using sim::Format;

namespace {

// The decoded refresh may differ from the declared rate by this fraction before it is flagged.
constexpr double RefreshTolerance = 0.01;

sim::DisplayState Decode(sim::Machine& machine, int adapter) {
    return sim::DecodeDisplay(machine.ChipOf(adapter), machine.VideoMemory(adapter).size());
}

// The display driver's process, from which the frame buffer is mapped and drawn.
constexpr uint32_t DisplayDriverProcess = 1;

struct Shown {
    sim::ModeRequest request;
    sim::ModeSetResult set;
    sim::FrameBufferMapping mapping;
    uint32_t unmapStatus = 0;
    sim::DisplayState display;
};

Shown SetAndDraw(sim::Machine& machine, int adapter, const std::string& mode, const std::string& screenshot) {
    Shown shown;
    shown.request = sim::ParseModeRequest(mode);
    shown.set = sim::SetMode(machine, adapter, shown.request);
    if (!shown.set.offered) throw std::runtime_error("adapter " + std::to_string(adapter) + " does not offer " + mode);
    if (shown.set.status != NO_ERROR) {
        throw std::runtime_error("setting " + mode + " failed with " + StatusText(shown.set.status));
    }
    // As the display driver does: map the frame buffer, draw through the mapping, unmap.
    shown.mapping = sim::MapFrameBuffer(machine, adapter, DisplayDriverProcess);
    if (shown.mapping.status != NO_ERROR) {
        throw std::runtime_error("mapping the frame buffer failed with " + StatusText(shown.mapping.status));
    }
    std::string error;
    const VIDEO_MODE_INFORMATION& info = shown.set.mode;
    // A palette-driven mode gets the display driver's palette before anything is drawn.
    std::vector<uint32_t> palette;
    if (info.AttributeFlags & VIDEO_MODE_PALETTE_DRIVEN) {
        palette = sim::DisplayDriverPalette();
        uint32_t status = sim::SetPalette(machine, adapter, 0, palette);
        if (status != NO_ERROR) throw std::runtime_error("setting the palette failed with " + StatusText(status));
    }
    if (!sim::DrawThroughMapping(machine, DisplayDriverProcess, shown.mapping, info, &error,
                                 palette.empty() ? nullptr : &palette)) {
        throw std::runtime_error("cannot draw the test pattern: " + error);
    }
    shown.display = Decode(machine, adapter);
    if (!screenshot.empty()) SaveScreenshot(machine, adapter, screenshot);
    shown.unmapStatus = sim::UnmapFrameBuffer(machine, adapter, shown.mapping.frameBufferBase, DisplayDriverProcess);
    return shown;
}

}  // namespace

std::string TimingFlag(const VIDEO_MODE_INFORMATION& listed, const sim::ModeSetResult& set,
                       const sim::DisplayState& display) {
    if (set.status != NO_ERROR) return "the mode set failed with " + StatusText(set.status);
    std::vector<std::string> reasons;
    const VIDEO_MODE_INFORMATION& mode = set.mode;
    const sim::DisplayTiming& t = display.timing;
    if (!display.enabled || display.blanked) reasons.push_back("the picture is off");
    if (display.width != listed.VisScreenWidth || display.height != listed.VisScreenHeight) {
        reasons.push_back(Format("decodes to %ux%u", display.width, display.height));
    }
    if (display.bitsPerPixel != listed.BitsPerPlane) {
        reasons.push_back(Format("shows %u bits per pixel", display.bitsPerPixel));
    }
    if (display.stride != mode.ScreenStride) {
        reasons.push_back(Format("scans out a stride of %u bytes, the driver reports %u", display.stride,
                                 mode.ScreenStride));
    }
    if (std::fabs(t.refreshHz - listed.Frequency) > RefreshTolerance * listed.Frequency) {
        reasons.push_back(Format("refreshes at %.2f Hz, %.1f%% from %u Hz", t.refreshHz,
                                 100.0 * (t.refreshHz - listed.Frequency) / listed.Frequency, listed.Frequency));
    }
    for (const std::string& problem : display.problems) {
        if (display.enabled && !display.blanked) reasons.push_back(problem);
    }
    std::string flag;
    for (const std::string& reason : reasons) flag += (flag.empty() ? "" : "; ") + reason;
    return flag;
}

namespace {

struct TimingRow {
    VIDEO_MODE_INFORMATION mode;
    uint32_t status = 0;
    sim::DisplayState display;
    std::string flag;   // why the entry does not match what it declares; empty when it does
};

struct NotOffered {
    uint32_t index;
    std::string reason;
};

// The video memory the driver sized, as it published it (HardwareInformation.MemorySize); 0 when it
// published none.
uint32_t PublishedMemoryBytes(sim::Machine& machine, int adapter) {
    const sim::RegKey* key = machine.GetRegistry().FindKey(sim::Machine::DeviceKey(adapter));
    if (!key) return 0;
    for (const sim::RegValue& value : key->values) {
        if (value.name == "HardwareInformation.MemorySize" && value.data.size() == sizeof(uint32_t)) {
            return sim::Dword(value.data, 0);
        }
    }
    return 0;
}

const ModeInfoEntry* InformationOf(const ModeSelectorEntry& entry) {
    for (const ModeInfoEntry& info : modeInfoTable) {
        const VIDEO_MODE_INFORMATION& mode = info.modeInfo;
        if (mode.BitsPerPlane == entry.bitsPerPixel && mode.VisScreenWidth == entry.width &&
            mode.VisScreenHeight == entry.height) {
            return &info;
        }
    }
    return nullptr;
}

// Why validation dropped entry `index` of the active mode table, by the rules the driver validates
// with, applied to its compiled-in tables: the entry has no mode information, the video BIOS path
// has no VESA mode number for it, or its picture needs more memory than the driver found.
std::string NotOfferedReason(sim::Machine& machine, int adapter, const DriverView& view, uint32_t index) {
    const ModeSelectorEntry* table = view.biosPath ? biosSelectorTable : directSelectorTable;
    const uint32_t count = view.biosPath ? BiosSelectorCount : DirectSelectorCount;
    if (index >= count) return "validation dropped it";
    const ModeSelectorEntry& entry = table[index];
    const std::string mode = Format("%ux%ux%u@%u", entry.width, entry.height, entry.bitsPerPixel, entry.refreshRate);
    const ModeInfoEntry* info = InformationOf(entry);
    if (!info) return mode + ": the driver has no mode information for it";
    std::vector<std::string> reasons;
    if (view.biosPath && info->vesaMode == 0 && info->vesaModeAlt == 0) {
        reasons.push_back("it has no VESA mode number, and this adapter sets its modes through the video BIOS");
    }
    const uint64_t needed = uint64_t{entry.width} * entry.height * entry.bitsPerPixel / 8;
    const uint32_t memory = PublishedMemoryBytes(machine, adapter);
    if (needed > memory) {
        reasons.push_back(Format("it needs %llu KiB of video memory, the adapter has %u KiB",
                                 static_cast<unsigned long long>((needed + 1023) / 1024), memory / 1024));
    }
    if (reasons.empty()) return mode + ": validation dropped it";
    std::string text = mode + ": ";
    for (size_t i = 0; i < reasons.size(); ++i) text += (i ? "; " : "") + reasons[i];
    return text;
}

std::vector<TimingRow> MeasureTimings(sim::Machine& machine, int adapter, std::vector<NotOffered>* notOffered) {
    std::vector<TimingRow> rows;
    sim::ModeList list = sim::QueryModes(machine, adapter);
    std::set<uint32_t> offered;
    for (const VIDEO_MODE_INFORMATION& mode : list.modes) {
        offered.insert(mode.ModeIndex);
        TimingRow row;
        row.mode = mode;
        sim::ModeSetResult set = sim::SetModeByIndex(machine, adapter, mode.ModeIndex);
        row.status = set.status;
        row.display = Decode(machine, adapter);
        row.flag = TimingFlag(mode, set, row.display);
        rows.push_back(row);
    }
    // Entries of the active table that validation dropped cannot be set by a display driver.
    DriverView view = ReadDriverView(machine, adapter);
    for (uint32_t index = 0; index < view.modeCount; ++index) {
        if (!offered.count(index)) notOffered->push_back({index, NotOfferedReason(machine, adapter, view, index)});
    }
    return rows;
}

}  // namespace

std::string TimingText(const sim::DisplayState& display) {
    const sim::DisplayTiming& t = display.timing;
    std::string text = Format("%ux%u%s, %u bpp, stride %u; pixel clock %.3f MHz, %ux%u total, %.2f kHz, %.2f Hz, "
                              "hsync %c, vsync %c",
                              display.width, display.height, display.lineDoubled ? " (lines doubled)" : "",
                              display.bitsPerPixel, display.stride, t.pixelClockMHz, t.hTotal, t.vTotal,
                              t.horizontalKHz, t.refreshHz, t.hsyncNegative ? '-' : '+', t.vsyncNegative ? '-' : '+');
    if (!display.enabled) text += "; display disabled";
    for (const std::string& problem : display.problems) text += "; " + problem;
    return text;
}

Json TimingJson(const sim::DisplayState& display) {
    const sim::DisplayTiming& t = display.timing;
    Json json = Json::object();
    json["enabled"] = display.enabled;
    json["width"] = display.width;
    json["height"] = display.height;
    json["bitsPerPixel"] = display.bitsPerPixel;
    json["stride"] = display.stride;
    json["lineDoubled"] = display.lineDoubled;
    json["pixelClockMHz"] = SixDigits(t.pixelClockMHz);
    // To the hertz: the periods a logic analyser measures follow from it to well under a nanosecond.
    json["pixelClockHz"] = std::llround(t.pixelClockMHz * 1e6);
    json["horizontalKHz"] = SixDigits(t.horizontalKHz);
    json["refreshHz"] = SixDigits(t.refreshHz);
    json["hTotal"] = t.hTotal;
    json["vTotal"] = t.vTotal;
    json["hSyncStart"] = t.hSyncStart;
    json["hSyncEnd"] = t.hSyncEnd;
    json["vSyncStart"] = t.vSyncStart;
    json["vSyncEnd"] = t.vSyncEnd;
    json["hsyncPolarity"] = t.hsyncNegative ? "-" : "+";
    json["vsyncPolarity"] = t.vsyncNegative ? "-" : "+";
    Json problems = Json::array();
    for (const std::string& problem : display.problems) problems.push_back(problem);
    json["problems"] = problems;
    return json;
}

void SaveScreenshot(sim::Machine& machine, int adapter, const std::string& path) {
    sim::Image image = sim::RenderScreen(machine.ChipOf(adapter), machine.VideoMemory(adapter));
    std::string error;
    if (sim::WritePng(path, image, &error)) return;
    // A failure to save names the path already; one of the picture does not.
    const std::string shown = sim::TerminalText(path);
    if (error.rfind(shown + ": ", 0) == 0) error.erase(0, shown.size() + 2);
    throw std::runtime_error("cannot save the screenshot '" + shown + "': " + error);
}

std::string ShowModeText(sim::Machine& machine, int adapter, const std::string& mode, const std::string& screenshot) {
    Shown shown = SetAndDraw(machine, adapter, mode, screenshot);
    std::string text = "Mode " + mode + " on adapter " + std::to_string(adapter) + ": " + TimingText(shown.display) + "\n";
    text += Format("Frame buffer mapped at 0x%08X (window %u bytes, video memory %u bytes), pattern drawn through it, "
                   "unmapped: status %s\n",
                   shown.mapping.frameBufferBase, shown.mapping.videoRamLength, shown.mapping.frameBufferLength,
                   StatusText(shown.unmapStatus).c_str());
    if (!screenshot.empty()) text += "Screenshot: " + sim::TerminalText(screenshot) + "\n";
    return text;
}

Json ShowModeJson(sim::Machine& machine, int adapter, const std::string& mode, const std::string& screenshot) {
    Shown shown = SetAndDraw(machine, adapter, mode, screenshot);
    Json json = Json::object();
    Json requested = Json::object();
    requested["width"] = shown.request.width;
    requested["height"] = shown.request.height;
    requested["bitsPerPixel"] = shown.request.bitsPerPixel;
    requested["refreshHz"] = shown.request.refreshHz;
    requested["screenStride"] = shown.set.mode.ScreenStride;
    json["mode"] = requested;
    json["timing"] = TimingJson(shown.display);
    Json mapping = Json::object();
    mapping["status"] = shown.mapping.status;
    mapping["videoRamBase"] = shown.mapping.videoRamBase;
    mapping["videoRamLength"] = shown.mapping.videoRamLength;
    mapping["frameBufferBase"] = shown.mapping.frameBufferBase;
    mapping["frameBufferLength"] = shown.mapping.frameBufferLength;
    mapping["unmapStatus"] = shown.unmapStatus;
    json["mapping"] = mapping;
    if (!screenshot.empty()) json["screenshot"] = screenshot;
    return json;
}

std::string TimingsText(sim::Machine& machine, int adapter) {
    std::ostringstream out;
    out << "Adapter " << adapter << ":\n";
    if (!machine.Adapter(adapter).started) return out.str() + "  not started\n";
    std::vector<NotOffered> notOffered;
    std::vector<TimingRow> rows = MeasureTimings(machine, adapter, &notOffered);
    out << "  index  mode              decoded     pixel MHz    kHz      Hz  sync\n";
    unsigned flagged = 0;
    for (const TimingRow& row : rows) {
        const sim::DisplayTiming& t = row.display.timing;
        out << Format("  %5u  %4ux%-4u x%-2u @%-3u %4ux%-4u  %9.3f  %6.2f  %6.2f  %c%c%s%s\n", row.mode.ModeIndex,
                      row.mode.VisScreenWidth, row.mode.VisScreenHeight, row.mode.BitsPerPlane, row.mode.Frequency,
                      row.display.width, row.display.height, t.pixelClockMHz, t.horizontalKHz, t.refreshHz,
                      t.hsyncNegative ? '-' : '+', t.vsyncNegative ? '-' : '+', row.flag.empty() ? "" : "  FLAGGED: ",
                      row.flag.c_str());
        flagged += !row.flag.empty();
    }
    for (const NotOffered& dropped : notOffered) {
        out << Format("  %5u  not offered: %s\n", dropped.index, dropped.reason.c_str());
    }
    out << "  " << rows.size() << " modes measured, " << flagged << " flagged\n";
    return out.str();
}

Json TimingsJson(sim::Machine& machine, int adapter) {
    Json json = Json::object();
    Json timings = Json::array();
    if (machine.Adapter(adapter).started) {
        std::vector<NotOffered> notOffered;
        for (const TimingRow& row : MeasureTimings(machine, adapter, &notOffered)) {
            Json item = TimingJson(row.display);
            item["modeIndex"] = row.mode.ModeIndex;
            item["declaredWidth"] = row.mode.VisScreenWidth;
            item["declaredHeight"] = row.mode.VisScreenHeight;
            item["declaredBitsPerPixel"] = row.mode.BitsPerPlane;
            item["declaredHz"] = row.mode.Frequency;
            item["status"] = row.status;
            item["flagged"] = !row.flag.empty();
            if (!row.flag.empty()) item["reason"] = row.flag;
            timings.push_back(item);
        }
        Json dropped = Json::array();
        for (const NotOffered& entry : notOffered) {
            Json item = Json::object();
            item["modeIndex"] = entry.index;
            item["reason"] = entry.reason;
            dropped.push_back(item);
        }
        json["notOffered"] = dropped;
    }
    json["timings"] = timings;
    return json;
}

}  // namespace zarnsim
