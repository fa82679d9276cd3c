#include "monitor_report.h"

#include <sstream>

#include "clients/display_driver.h"
#include "devices/scanout.h"
#include "names.h"
#include "support/text_format.h"
#include "support/untrusted_text.h"

namespace zarnsim {

using sim::Format;

namespace {

constexpr uint32_t MonitorWithEdid = 0x22446688;
constexpr size_t BaseBlockBytes = 128;
// A rate may miss a limit by its rounding before the mode counts as outside the range.
constexpr double RangeSlack = 0.5;

const sim::ChildDevice* MonitorChild(const sim::Machine& machine, int adapter) {
    for (const sim::ChildDevice& child : machine.Children(adapter)) {
        if (child.type == Monitor) return &child;
    }
    return nullptr;
}

std::vector<uint8_t> BaseBlock(const sim::ChildDevice& child) {
    return std::vector<uint8_t>(child.descriptor.begin(), child.descriptor.begin() + BaseBlockBytes);
}

// The identification data the platform read, decoded; false when it read none.
bool ReadEdid(const sim::Machine& machine, int adapter, sim::Edid* edid, std::vector<uint8_t>* raw) {
    const sim::ChildDevice* child = MonitorChild(machine, adapter);
    if (!child || child->uid != MonitorWithEdid || child->descriptor.size() < BaseBlockBytes) return false;
    *raw = BaseBlock(*child);
    std::string error;
    return sim::DecodeEdid(*raw, edid, &error);
}

std::string ModeName(const sim::EdidMode& mode) {
    return Format("%ux%u%s@%u", mode.width, mode.height, mode.interlaced ? "i" : "", mode.refreshHz);
}

std::string ModeList(const std::vector<sim::EdidMode>& modes) {
    std::string text;
    for (const sim::EdidMode& mode : modes) text += (text.empty() ? "" : " ") + ModeName(mode);
    return text.empty() ? "none" : text;
}

std::string TimingText(const sim::EdidTiming& t) {
    return Format("%ux%u%s at %.2f Hz, %.2f kHz, pixel clock %.2f MHz, hsync %c, vsync %c", t.width, t.height,
                  t.interlaced ? " interlaced" : "", t.RefreshHz(), t.HorizontalKHz(), t.pixelClockMHz,
                  t.hsyncPolarity, t.vsyncPolarity);
}

Json TimingJson(const sim::EdidTiming& t) {
    Json json = Json::object();
    json["width"] = t.width;
    json["height"] = t.height;
    json["refreshHz"] = t.RefreshHz();
    json["horizontalKHz"] = t.HorizontalKHz();
    json["pixelClockMHz"] = t.pixelClockMHz;
    json["interlaced"] = t.interlaced;
    json["hsyncPolarity"] = std::string(1, t.hsyncPolarity);
    json["vsyncPolarity"] = std::string(1, t.vsyncPolarity);
    return json;
}

std::string PowerSaving(const sim::Edid& edid) {
    std::string text;
    if (edid.dpmsStandBy) text += "stand-by";
    if (edid.dpmsSuspend) text += std::string(text.empty() ? "" : ", ") + "suspend";
    if (edid.dpmsOff) text += std::string(text.empty() ? "" : ", ") + "off";
    return text.empty() ? "none" : text;
}

std::string MadeText(const sim::Edid& edid) {
    if (edid.week == 255) return Format("model year %u", edid.year);
    if (edid.week == 0) return Format("%u", edid.year);
    return Format("week %u of %u", edid.week, edid.year);
}

std::string HexDump(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) text += Format("    %03zx:", i);
        text += Format(" %02x", bytes[i]);
        if (i % 16 == 15 || i + 1 == bytes.size()) text += "\n";
    }
    return text;
}

std::string HexString(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes) text += Format("%02x", byte);
    return text;
}

std::string PowerText(sim::Machine& machine, int adapter) {
    return sim::MonitorPowerName(machine.MonitorPowerOf(adapter));
}

void EdidText(const sim::Edid& edid, std::ostringstream& out) {
    out << "  manufacturer:    " << sim::TerminalText(edid.manufacturer) << "\n";
    out << Format("  product code:    0x%04X (%u)\n", edid.productCode, edid.productCode);
    out << "  serial number:   " << edid.serialNumber;
    if (!edid.serialText.empty()) out << " (\"" << sim::TerminalText(edid.serialText) << "\")";
    out << "\n  made:            " << MadeText(edid) << "\n";
    out << Format("  EDID version:    %u.%u\n", edid.version, edid.revision);
    out << "  name:            " << (edid.name.empty() ? "(none given)" : sim::TerminalText(edid.name)) << "\n";
    out << "  input:           " << (edid.digital ? "digital" : "analog") << "\n";
    out << Format("  size:            %u cm x %u cm\n", edid.widthCm, edid.heightCm);
    out << "  power saving:    " << PowerSaving(edid) << "\n";
    if (edid.detailedTimings.empty()) {
        out << "  preferred timing: none given\n";
    } else {
        out << "  preferred timing: " << TimingText(edid.detailedTimings[0])
            << (edid.preferredTimingMarked ? "" : " (the first detailed timing; not marked preferred)") << "\n";
        for (size_t i = 1; i < edid.detailedTimings.size(); ++i) {
            out << "  detailed timing: " << TimingText(edid.detailedTimings[i]) << "\n";
        }
    }
    if (edid.hasRangeLimits) {
        const sim::EdidRangeLimits& r = edid.rangeLimits;
        out << Format("  range limits:    %u-%u Hz vertical, %u-%u kHz horizontal, pixel clock up to %u MHz\n",
                      r.minVerticalHz, r.maxVerticalHz, r.minHorizontalKHz, r.maxHorizontalKHz, r.maxPixelClockMHz);
    } else {
        out << "  range limits:    none given\n";
    }
    out << "  established:     " << ModeList(edid.established) << "\n";
    out << "  standard:        " << ModeList(edid.standard) << "\n";
    out << "  extension blocks: " << edid.extensionBlocks
        << (edid.extensionBlocks ? " (the platform's helper reads the base block only)" : "") << "\n";
    out << Format("  checksum:        0x%02x (%s)\n", edid.checksum, edid.checksumValid ? "correct" : "WRONG");
}

Json EdidJson(const sim::Edid& edid) {
    Json json = Json::object();
    json["manufacturer"] = sim::Utf8Text(edid.manufacturer);
    json["productCode"] = static_cast<unsigned>(edid.productCode);
    json["serialNumber"] = static_cast<uint64_t>(edid.serialNumber);
    json["serialText"] = sim::Utf8Text(edid.serialText);
    json["week"] = edid.week;
    json["year"] = edid.year;
    json["version"] = Format("%u.%u", edid.version, edid.revision);
    json["name"] = sim::Utf8Text(edid.name);
    json["digital"] = edid.digital;
    json["widthCm"] = edid.widthCm;
    json["heightCm"] = edid.heightCm;
    Json dpms = Json::array();
    if (edid.dpmsStandBy) dpms.push_back("stand-by");
    if (edid.dpmsSuspend) dpms.push_back("suspend");
    if (edid.dpmsOff) dpms.push_back("off");
    json["powerSaving"] = dpms;
    if (!edid.detailedTimings.empty()) json["preferredTiming"] = TimingJson(edid.detailedTimings[0]);
    json["preferredTimingMarked"] = edid.preferredTimingMarked;
    if (edid.hasRangeLimits) {
        Json range = Json::object();
        range["minVerticalHz"] = edid.rangeLimits.minVerticalHz;
        range["maxVerticalHz"] = edid.rangeLimits.maxVerticalHz;
        range["minHorizontalKHz"] = edid.rangeLimits.minHorizontalKHz;
        range["maxHorizontalKHz"] = edid.rangeLimits.maxHorizontalKHz;
        range["maxPixelClockMHz"] = edid.rangeLimits.maxPixelClockMHz;
        json["rangeLimits"] = range;
    }
    Json established = Json::array();
    for (const sim::EdidMode& mode : edid.established) established.push_back(ModeName(mode));
    json["establishedTimings"] = established;
    Json standard = Json::array();
    for (const sim::EdidMode& mode : edid.standard) standard.push_back(ModeName(mode));
    json["standardTimings"] = standard;
    json["extensionBlocks"] = edid.extensionBlocks;
    json["checksum"] = static_cast<unsigned>(edid.checksum);
    json["checksumValid"] = edid.checksumValid;
    return json;
}

}  // namespace

std::string ChildTypeName(uint32_t type) {
    switch (type) {
    case Monitor: return "monitor";
    case NonPrimaryChip: return "non-primary chip";
    case VideoChip: return "video chip";
    case Other: return "other";
    default: return "type " + std::to_string(type);
    }
}

std::string MonitorText(sim::Machine& machine, int adapter) {
    std::ostringstream out;
    out << "Adapter " << adapter << ":\n";
    if (!machine.Adapter(adapter).started) return out.str() + "  not started\n";
    const sim::DisplayMonitor& monitor = machine.MonitorOf(adapter);
    out << "  connector:       " << (monitor.Present() ? sim::TerminalText(monitor.Source()) : "no monitor")
        << ", monitor power " << PowerText(machine, adapter) << "\n";
    if (machine.Children(adapter).empty()) return out.str() + "  children:        none enumerated\n";
    for (const sim::ChildDevice& child : machine.Children(adapter)) {
        out << Format("  child %u:         %s, identifier 0x%08X\n", child.index, ChildTypeName(child.type).c_str(),
                      child.uid);
    }
    const sim::ChildDevice* child = MonitorChild(machine, adapter);
    if (!child) return out.str();
    sim::Edid edid;
    std::vector<uint8_t> raw;
    if (!ReadEdid(machine, adapter, &edid, &raw)) {
        out << "  identification:  not read (the monitor did not answer on the display data channel)\n";
        return out.str();
    }
    EdidText(edid, out);
    out << "  raw bytes:\n" << HexDump(raw);
    return out.str();
}

Json ChildrenJson(sim::Machine& machine, int adapter) {
    Json children = Json::array();
    for (const sim::ChildDevice& child : machine.Children(adapter)) {
        Json item = Json::object();
        item["index"] = child.index;
        item["type"] = ChildTypeName(child.type);
        item["identifier"] = child.uid;
        children.push_back(item);
    }
    return children;
}

Json MonitorJson(sim::Machine& machine, int adapter) {
    Json json = Json::object();
    json["adapter"] = adapter;
    if (!machine.Adapter(adapter).started) {
        json["started"] = false;
        return json;
    }
    json["connector"] = machine.MonitorOf(adapter).Present() ? sim::Utf8Text(machine.MonitorOf(adapter).Source()) : "none";
    json["monitorPower"] = PowerText(machine, adapter);
    json["children"] = ChildrenJson(machine, adapter);
    sim::Edid edid;
    std::vector<uint8_t> raw;
    bool read = ReadEdid(machine, adapter, &edid, &raw);
    json["identificationRead"] = read;
    if (read) {
        json["edid"] = EdidJson(edid);
        json["raw"] = HexString(raw);
    }
    return json;
}

std::string MonitorSummary(sim::Machine& machine, int adapter) {
    const sim::ChildDevice* child = MonitorChild(machine, adapter);
    std::string text = machine.MonitorOf(adapter).Present() ? sim::TerminalText(machine.MonitorOf(adapter).Source())
                                                           : "none on the connector";
    if (!child) return text + "; no monitor child enumerated";
    text += Format("; child identifier 0x%08X", child->uid);
    sim::Edid edid;
    std::vector<uint8_t> raw;
    if (ReadEdid(machine, adapter, &edid, &raw)) {
        text += ", " + sim::TerminalText(edid.name.empty() ? edid.manufacturer : edid.name) + " (" +
                sim::TerminalText(edid.manufacturer) + Format(" 0x%04X)", edid.productCode);
    } else {
        text += ", no identification data";
    }
    if (!machine.MonitorOf(adapter).Present()) return text;
    return text + "; power " + PowerText(machine, adapter);
}

Json MonitorSummaryJson(sim::Machine& machine, int adapter) {
    Json json = Json::object();
    json["connector"] = machine.MonitorOf(adapter).Present() ? sim::Utf8Text(machine.MonitorOf(adapter).Source()) : "none";
    json["identifier"] = machine.MonitorId(adapter);
    sim::Edid edid;
    std::vector<uint8_t> raw;
    if (ReadEdid(machine, adapter, &edid, &raw)) json["name"] = sim::Utf8Text(edid.name);
    json["power"] = PowerText(machine, adapter);
    return json;
}

bool MonitorRangeLimits(const sim::Machine& machine, int adapter, sim::EdidRangeLimits* limits) {
    sim::Edid edid;
    std::vector<uint8_t> raw;
    if (!ReadEdid(machine, adapter, &edid, &raw) || !edid.hasRangeLimits) return false;
    *limits = edid.rangeLimits;
    return true;
}

std::string OutsideRange(const sim::EdidRangeLimits& limits, const sim::DisplayTiming& t) {
    std::vector<std::string> reasons;
    if (t.refreshHz < limits.minVerticalHz - RangeSlack) reasons.push_back(Format("%.1f Hz below %u Hz", t.refreshHz, limits.minVerticalHz));
    if (t.refreshHz > limits.maxVerticalHz + RangeSlack) reasons.push_back(Format("%.1f Hz above %u Hz", t.refreshHz, limits.maxVerticalHz));
    if (t.horizontalKHz < limits.minHorizontalKHz - RangeSlack) {
        reasons.push_back(Format("%.1f kHz below %u kHz", t.horizontalKHz, limits.minHorizontalKHz));
    }
    if (t.horizontalKHz > limits.maxHorizontalKHz + RangeSlack) {
        reasons.push_back(Format("%.1f kHz above %u kHz", t.horizontalKHz, limits.maxHorizontalKHz));
    }
    if (t.pixelClockMHz > limits.maxPixelClockMHz) {
        reasons.push_back(Format("pixel clock %.1f MHz above %u MHz", t.pixelClockMHz, limits.maxPixelClockMHz));
    }
    std::string text;
    for (const std::string& reason : reasons) text += (text.empty() ? "" : ", ") + reason;
    return text;
}

std::map<uint32_t, std::string> ModesOutsideMonitorRange(sim::Machine& machine, int adapter) {
    std::map<uint32_t, std::string> outside;
    sim::EdidRangeLimits limits;
    if (!MonitorRangeLimits(machine, adapter, &limits)) return outside;
    for (const VIDEO_MODE_INFORMATION& mode : sim::QueryModes(machine, adapter).modes) {
        if (sim::SetModeByIndex(machine, adapter, mode.ModeIndex).status != NO_ERROR) continue;
        sim::DisplayState display = sim::DecodeDisplay(machine.ChipOf(adapter), machine.VideoMemory(adapter).size());
        std::string reason = OutsideRange(limits, display.timing);
        if (!reason.empty()) outside[mode.ModeIndex] = reason;
    }
    return outside;
}

}  // namespace zarnsim
