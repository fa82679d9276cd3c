#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "clients/display_driver.h"
#include "devices/memory_controller.h"
#include "driver_view.h"
#include "monitor_report.h"
#include "names.h"
#include "support/text_format.h"
#include "support/untrusted_text.h"

namespace zarnsim {

using sim::Format;

namespace {

const char* WindowNames[] = {"register window", "frame buffer", "I/O window"};

std::string SizeText(uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

// HardwareInformation values of an adapter's device key: the number as digits, texts as the
// driver wrote them (parts of them come from the option ROM).
std::vector<std::pair<std::string, std::u32string>> HardwareInformation(sim::Machine& machine, int adapter) {
    std::vector<std::pair<std::string, std::u32string>> out;
    const sim::RegKey* key = machine.GetRegistry().FindKey(sim::Machine::DeviceKey(adapter));
    if (!key) return out;
    const std::string prefix = "HardwareInformation.";
    for (const sim::RegValue& value : key->values) {
        if (value.name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string name = value.name.substr(prefix.size());
        if (name == "MemorySize" && value.data.size() == 4) {
            out.emplace_back(name, sim::CodePointsOfLatin1(std::to_string(sim::Dword(value.data, 0))));
        } else {
            out.emplace_back(name, sim::CodePointsOfUtf16(value.data));
        }
    }
    return out;
}

struct ResolutionSummary {
    std::set<unsigned> depths;
    std::set<unsigned> rates;
};

// "640x480: 8/16/24/32 bpp at 60/75/85/100/120 Hz", one line per resolution, in table order.
std::vector<std::string> ModeSummary(const std::vector<VIDEO_MODE_INFORMATION>& modes) {
    std::vector<std::pair<unsigned, unsigned>> order;
    std::map<std::pair<unsigned, unsigned>, ResolutionSummary> summary;
    for (const VIDEO_MODE_INFORMATION& mode : modes) {
        auto key = std::make_pair(mode.VisScreenWidth, mode.VisScreenHeight);
        if (!summary.count(key)) order.push_back(key);
        summary[key].depths.insert(mode.BitsPerPlane);
        summary[key].rates.insert(mode.Frequency);
    }
    std::vector<std::string> lines;
    for (const auto& key : order) {
        std::string depths, rates;
        for (unsigned depth : summary[key].depths) depths += (depths.empty() ? "" : "/") + std::to_string(depth);
        for (unsigned rate : summary[key].rates) rates += (rates.empty() ? "" : "/") + std::to_string(rate);
        lines.push_back(Format("%ux%u: %s bpp at %s Hz", key.first, key.second, depths.c_str(), rates.c_str()));
    }
    return lines;
}

std::string DiscoveryText(const sim::AdapterRuntime& adapter, const sim::Board& board) {
    if (!adapter.discoveryRan) return "not run (the driver did not register for PCI adapters)";
    if (adapter.discoveryStatus == 0) return "succeeded";
    std::string text = "failed with " + StatusText(adapter.discoveryStatus);
    if (adapter.discoveryStatus == ERROR_DEV_NOT_EXIST) {
        uint16_t device = board.pci.ReadWord(sim::pcicfg::DeviceId);
        text += device < 3 || device > 5
                    ? Format(": device ID %u is not one this driver serves", device)
                    : ": no mode fits the adapter, or the driver already serves as many adapters as it can";
    }
    return text;
}

// The registry values that took effect: those the driver read and accepted at discovery.
std::vector<std::string> SettingsAccepted(const sim::Machine& machine, int adapter) {
    std::vector<std::string> names;
    for (const sim::RegistryCall& call : machine.RegistryCalls()) {
        if (call.adapter == adapter && !call.write && call.found && call.status == 0) names.push_back(call.name);
    }
    return names;
}

std::string RomText(const DriverView& view) {
    if (view.biosVersion.empty()) return "no version text";
    return "version text \"" + sim::TerminalText(view.biosVersion) + "\", maker text " + (view.romPresent ? "found" : "not found") +
           ", 1.00.01 banner " + (view.romHasVersion10001 ? "found" : "not found");
}

// What the driver concluded, as its record holds it: a secondary is one it brings up itself.
bool DriverTookSecondary(sim::Machine& machine, int index) { return ReadDriverView(machine, index).isSecondary; }

// What the board is (a BIOS initialized it or not), what the bus driver's start did, and what the
// driver concluded.
std::string RoleText(sim::Machine& machine, int index) {
    const sim::Board& board = machine.BoardOf(index);
    std::string text = board.config.secondary ? "secondary (no BIOS has run on it" : "primary (its BIOS ran at boot";
    if (board.config.secondary) {
        text += board.config.pciStartEnables ? "; the bus driver's start switched decoding on)" : "; found with decoding off)";
    } else {
        text += ")";
    }
    if (machine.Adapter(index).discoveryRan) {
        text += std::string(", taken by the driver for ") + (DriverTookSecondary(machine, index) ? "a secondary" : "the primary");
    }
    return text;
}

std::string ClockText(uint32_t pll) {
    return pll ? Format("0x%04X = %.1f MHz", pll, PllMegahertz(pll)) : std::string("0x0000 (not set)");
}

// The clock a PLL register gives, or null for a register that was never set.
Json ClockJson(uint32_t pll) { return pll ? Json(SixDigits(PllMegahertz(pll))) : Json(); }

}  // namespace

std::string AdapterReportText(sim::Machine& machine, int index) {
    const sim::AdapterRuntime& adapter = machine.Adapter(index);
    const sim::Board& board = machine.BoardOf(index);
    const sim::PciFunction& pci = board.pci;
    std::ostringstream out;
    out << Format("Adapter %d: PCI slot %u, vendor 0x%04X device 0x%04X revision %u, subsystem 0x%04X:0x%04X\n",
                  index, board.slot, pci.ReadWord(sim::pcicfg::VendorId), pci.ReadWord(sim::pcicfg::DeviceId),
                  pci.ReadByte(sim::pcicfg::Revision), pci.ReadWord(sim::pcicfg::SubsystemVendor),
                  pci.ReadWord(sim::pcicfg::SubsystemId));
    out << Format("  %-17s%s%s\n", "role:", RoleText(machine, index).c_str(), board.config.bus66 ? ", 66 MHz capable bus" : "");
    for (int bar = 0; bar < 3; ++bar) {
        std::string mapped = "not mapped";
        for (const sim::DeviceMapping& mapping : adapter.mappings) {
            if (mapping.physical == pci.BarAddress(bar)) mapped = (bar == 2 ? "ports at " : "mapped at ") + Hex32(mapping.address);
        }
        out << Format("  %-17s0x%08X, %s, %s, %s\n", (std::string(WindowNames[bar]) + ":").c_str(), pci.BarAddress(bar),
                      SizeText(pci.BarSize(bar)).c_str(), pci.BarIsIo(bar) ? "I/O space" : "memory space",
                      mapped.c_str());
    }
    out << Format("  %-17s%u MiB%s\n", "video memory:", board.config.memoryMiB,
                  board.config.altMemory ? " (alternative memory type)" : "");
    sim::MemoryController controller = sim::MemoryController::Of(board.chip, board.videoMemory.size());
    if (controller.Mismatch()) {
        out << Format("  %-17sFLAGGED: the memory controller is configured for %u MiB, the board carries %u MiB\n",
                      "", controller.configuredBytes >> 20, controller.installedBytes >> 20);
    }
    out << "  discovery:       " << DiscoveryText(adapter, board) << "\n";
    for (const sim::LoggedError& logged : machine.Port().LoggedErrors()) {
        if (logged.adapter != index) continue;
        out << "  event log:       error " << StatusText(logged.errorCode) << Format(", unique ID 0x%08X", logged.uniqueId)
            << (logged.requestCode ? Format(", request 0x%08X", logged.requestCode) : std::string()) << "\n";
    }
    if (adapter.initializeRan) out << "  HwInitialize:    " << (adapter.opened ? "TRUE" : "FALSE") << "\n";
    auto information = HardwareInformation(machine, index);
    if (information.empty()) out << "  HardwareInformation: none written\n";
    for (const auto& [name, text] : information) {
        out << "  HardwareInformation." << name << " = " << sim::TerminalText(text) << "\n";
    }
    DriverView view = ReadDriverView(machine, index);
    if (view.available) {
        out << "  option ROM:      " << RomText(view) << "\n";
        out << "  mode-set path:   " << (view.biosPath ? "video BIOS (VESA mode numbers)" : "direct programming") << "\n";
        std::string present;
        for (const std::string& name : SettingsAccepted(machine, index)) present += " " + sim::TerminalText(name);
        out << "  registry values:" << (present.empty() ? " none (defaults)" : present) << "\n";
        out << Format("  settings:        debug level %d, software cursor %u, non-BIOS mode set %u, graphics clock %u MHz, "
                      "memory clock %u MHz, gamma %s, 3D gamma %s\n",
                      view.debugLevel, view.useSoftwareCursor, view.useNonBiosModeSet, view.graphicsClockMhz,
                      view.memClockMhz, view.identityGamma ? "identity" : "custom",
                      view.identityLumenGamma ? "identity" : "custom");
    }
    if (adapter.discoveryRan && pci.MemoryDecode()) {
        out << "  clocks:          graphics " << ClockText(board.chip.Peek(sim::chipreg::GraphicsClock)) << ", memory "
            << ClockText(board.chip.Peek(sim::chipreg::MemoryClock)) << "\n";
    }
    if (!adapter.started) return out.str();
    out << "  monitor:         " << MonitorSummary(machine, index) << "\n";

    sim::ModeList list = sim::QueryModes(machine, index);
    if (list.status != 0) {
        out << "  modes:           the mode queries failed with " << StatusText(list.status) << "\n";
        return out.str();
    }
    out << "  modes offered:   " << list.modes.size() << "\n";
    for (const std::string& line : ModeSummary(list.modes)) out << "    " << line << "\n";
    return out.str();
}

Json AdapterReportJson(sim::Machine& machine, int index) {
    const sim::AdapterRuntime& adapter = machine.Adapter(index);
    const sim::Board& board = machine.BoardOf(index);
    const sim::PciFunction& pci = board.pci;
    Json json = Json::object();
    json["slot"] = board.slot;
    json["vendorId"] = static_cast<unsigned>(pci.ReadWord(sim::pcicfg::VendorId));
    json["deviceId"] = static_cast<unsigned>(pci.ReadWord(sim::pcicfg::DeviceId));
    json["revision"] = static_cast<unsigned>(pci.ReadByte(sim::pcicfg::Revision));
    json["subsystemVendor"] = static_cast<unsigned>(pci.ReadWord(sim::pcicfg::SubsystemVendor));
    json["subsystemId"] = static_cast<unsigned>(pci.ReadWord(sim::pcicfg::SubsystemId));
    json["secondary"] = board.config.secondary;
    json["pciStart"] = board.config.pciStartEnables ? "enable" : "keep";
    json["ranges"] = board.config.rangesAsAssigned ? "assigned" : "bars";
    if (adapter.discoveryRan) json["driverConcluded"] = DriverTookSecondary(machine, index) ? "secondary" : "primary";
    Json windows = Json::array();
    for (int bar = 0; bar < 3; ++bar) {
        Json window = Json::object();
        window["name"] = WindowNames[bar];
        window["physical"] = static_cast<unsigned>(pci.BarAddress(bar));
        window["length"] = static_cast<unsigned>(pci.BarSize(bar));
        window["ioSpace"] = pci.BarIsIo(bar);
        for (const sim::DeviceMapping& mapping : adapter.mappings) {
            if (mapping.physical == pci.BarAddress(bar)) window["mappedAt"] = static_cast<unsigned>(mapping.address);
        }
        windows.push_back(window);
    }
    json["windows"] = windows;
    json["memoryMiB"] = board.config.memoryMiB;
    json["memoryConfiguredMiB"] = sim::MemoryController::Of(board.chip, board.videoMemory.size()).configuredBytes >> 20;
    json["status"] = adapter.discoveryRan ? static_cast<int64_t>(adapter.discoveryStatus) : int64_t{-1};
    json["started"] = adapter.started;
    Json logged = Json::array();
    for (const sim::LoggedError& error : machine.Port().LoggedErrors()) {
        if (error.adapter != index) continue;
        Json entry = Json::object();
        entry["errorCode"] = error.errorCode;
        entry["uniqueId"] = error.uniqueId;
        entry["requestCode"] = error.requestCode;
        logged.push_back(entry);
    }
    json["eventLog"] = logged;
    Json information = Json::object();
    for (const auto& [name, text] : HardwareInformation(machine, index)) {
        information["HardwareInformation." + name] = sim::Utf8Text(text);
    }
    json["hardwareInformation"] = information;
    DriverView view = ReadDriverView(machine, index);
    if (view.available) {
        Json rom = Json::object();
        rom["versionText"] = sim::Utf8Text(view.biosVersion);
        rom["makerText"] = view.romPresent;
        rom["version10001"] = view.romHasVersion10001;
        json["rom"] = rom;
        json["modeSetPath"] = view.biosPath ? "bios" : "direct";
        Json present = Json::array();
        for (const std::string& name : SettingsAccepted(machine, index)) present.push_back(name);
        json["registryValues"] = present;
        Json settings = Json::object();
        settings["debugLevel"] = static_cast<int64_t>(view.debugLevel);
        settings["useSoftwareCursor"] = view.useSoftwareCursor;
        settings["useNonBiosModeSet"] = view.useNonBiosModeSet;
        settings["graphicsClockMhz"] = view.graphicsClockMhz;
        settings["memClockMhz"] = view.memClockMhz;
        settings["identityGamma"] = view.identityGamma;
        settings["identityLumenGamma"] = view.identityLumenGamma;
        json["settings"] = settings;
    }
    if (adapter.discoveryRan && pci.MemoryDecode()) {
        Json clocks = Json::object();
        uint32_t graphics = board.chip.Peek(sim::chipreg::GraphicsClock);
        uint32_t memory = board.chip.Peek(sim::chipreg::MemoryClock);
        clocks["graphicsPll"] = graphics;
        clocks["graphicsMHz"] = ClockJson(graphics);
        clocks["memoryPll"] = memory;
        clocks["memoryMHz"] = ClockJson(memory);
        json["clocks"] = clocks;
    }
    if (adapter.started) json["monitor"] = MonitorSummaryJson(machine, index);
    unsigned modeCount = 0;
    if (adapter.started) {
        sim::ModeList list = sim::QueryModes(machine, index);
        modeCount = static_cast<unsigned>(list.modes.size());
        Json summary = Json::array();
        for (const std::string& line : ModeSummary(list.modes)) summary.push_back(line);
        json["modeSummary"] = summary;
    }
    json["modeCount"] = modeCount;
    return json;
}

std::string ModesText(sim::Machine& machine, int index) {
    std::ostringstream out;
    out << "Adapter " << index << ":\n";
    if (!machine.Adapter(index).started) {
        out << "  not started: discovery " << DiscoveryText(machine.Adapter(index), machine.BoardOf(index)) << "\n";
        return out.str();
    }
    sim::ModeList list = sim::QueryModes(machine, index);
    if (list.status != 0) {
        out << "  the mode queries failed with " << StatusText(list.status) << "\n";
        return out.str();
    }
    // --- The monitor's range limits ---
    std::map<uint32_t, std::string> outside = ModesOutsideMonitorRange(machine, index);
    sim::EdidRangeLimits limits;
    if (MonitorRangeLimits(machine, index, &limits)) {
        out << Format("  monitor range:   %u-%u Hz, %u-%u kHz, up to %u MHz (from its identification data)\n",
                      limits.minVerticalHz, limits.maxVerticalHz, limits.minHorizontalKHz, limits.maxHorizontalKHz,
                      limits.maxPixelClockMHz);
    } else {
        out << "  monitor range:   unknown (no range limits read from the monitor)\n";
    }
    out << "  index  resolution       Hz  stride  attributes  driver-specific\n";
    for (const VIDEO_MODE_INFORMATION& mode : list.modes) {
        out << Format("  %5u  %4ux%-4u x %2u  %3u  %6u  0x%08X  0x%08X", mode.ModeIndex, mode.VisScreenWidth,
                      mode.VisScreenHeight, mode.BitsPerPlane, mode.Frequency, mode.ScreenStride, mode.AttributeFlags,
                      mode.DriverSpecificAttributeFlags);
        auto found = outside.find(mode.ModeIndex);
        out << (found == outside.end() ? "" : "  OUTSIDE THE MONITOR'S RANGE: " + found->second) << "\n";
    }
    out << "  " << list.modes.size() << " modes";
    if (!outside.empty()) out << ", " << outside.size() << " outside the monitor's range";
    out << "\n";
    return out.str();
}

Json ModesJson(sim::Machine& machine, int index) {
    Json json = Json::object();
    Json modes = Json::array();
    if (machine.Adapter(index).started) {
        sim::ModeList list = sim::QueryModes(machine, index);
        std::map<uint32_t, std::string> outside = ModesOutsideMonitorRange(machine, index);
        for (const VIDEO_MODE_INFORMATION& mode : list.modes) {
            Json item = Json::object();
            item["modeIndex"] = mode.ModeIndex;
            item["width"] = mode.VisScreenWidth;
            item["height"] = mode.VisScreenHeight;
            item["bitsPerPixel"] = mode.BitsPerPlane;
            item["frequency"] = mode.Frequency;
            item["screenStride"] = mode.ScreenStride;
            item["attributeFlags"] = mode.AttributeFlags;
            item["driverSpecificAttributeFlags"] = mode.DriverSpecificAttributeFlags;
            auto found = outside.find(mode.ModeIndex);
            item["outsideMonitorRange"] = found != outside.end();
            if (found != outside.end()) item["monitorRangeReason"] = found->second;
            modes.push_back(item);
        }
    } else {
        json["status"] = static_cast<int64_t>(machine.Adapter(index).discoveryStatus);
    }
    json["modes"] = modes;
    return json;
}

std::string MessageText(const sim::DriverMessage& message) {
    static const char* const levels[] = {"error", "warning", "trace", "info"};
    std::string text = message.text;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::string source = message.adapter < 0 ? "driver" : "adapter " + std::to_string(message.adapter);
    return "zarnsim: " + source + ": " + (message.level < 4 ? levels[message.level] : "level " + std::to_string(message.level)) +
           ": " + sim::TerminalText(text) + "\n";
}

std::string FaultsText(const sim::Machine& machine) {
    std::ostringstream out;
    for (const sim::Fault& fault : machine.Faults()) {
        out << (fault.kind == sim::FaultKind::Driver    ? "driver fault"
                : fault.kind == sim::FaultKind::Process ? "process fault"
                                                        : "unknown register");
        if (fault.adapter >= 0) out << " (adapter " << fault.adapter << ")";
        out << ": " << sim::TerminalText(fault.message);
        if (fault.count > 1) out << " (" << fault.count << " times)";
        out << "\n";
    }
    return out.str();
}

}  // namespace zarnsim
