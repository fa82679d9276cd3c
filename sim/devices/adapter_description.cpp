// The adapter description language of the command line: comma-separated key=value items.
#include <cctype>
#include <set>
#include <stdexcept>
#include <string>

#include "devices/adapter_description.h"
#include "devices/board.h"
#include "support/file_read.h"
#include "support/number_text.h"
#include "support/untrusted_text.h"

namespace sim {

namespace {

// The largest files the description reads: an option ROM image and a monitor's EDID (a base block
// and one extension block).
constexpr size_t MaxRomBytes = 128 * 1024;
constexpr size_t MaxEdidBytes = 256;

uint32_t ParseNumber(const std::string& key, const std::string& text, uint32_t max) {
    if (text.empty()) throw std::invalid_argument("adapter key '" + key + "' needs a value");
    uint64_t value = 0;
    if (!ParseUnsigned(text, max, &value)) {
        throw std::invalid_argument("adapter key '" + key + "' has a bad value '" + TerminalText(text) + "' (a number up to " +
                                    std::to_string(max) + ")");
    }
    return static_cast<uint32_t>(value);
}

std::vector<uint8_t> ReadRomFile(const std::string& path) {
    if (path.empty()) throw std::invalid_argument("adapter key 'rom' needs builtin, none or a file name");
    std::vector<uint8_t> image = ReadBoundedFile("the option ROM file", path, MaxRomBytes);
    if (image.empty()) throw std::invalid_argument(NamedFile("the option ROM file", path) + " is empty");
    return image;
}

// --- Monitor ---

std::vector<uint8_t> ReadEdidFile(const std::string& path) {
    std::vector<uint8_t> edid = ReadBoundedFile("the EDID file", path, MaxEdidBytes);
    std::string problem = CheckEdidImage(edid);
    if (!problem.empty()) throw std::invalid_argument(NamedFile("the EDID file", path) + " does not fit a monitor: " + problem);
    return edid;
}

void ApplyMonitorItem(AdapterConfig& config, const std::string& key, const std::string& value) {
    MonitorConfig& monitor = config.monitor;
    if (key == "monitor") {
        if (value.empty()) throw std::invalid_argument("adapter key 'monitor' needs builtin, none or a file name");
        monitor.present = value != "none";
        monitor.edid = value == "builtin" || value == "none" ? std::vector<uint8_t>{} : ReadEdidFile(value);
        monitor.source = value;
        return;
    }
    if (value == "none") monitor.fault = MonitorFault::None;
    else if (value == "noanswer") monitor.fault = MonitorFault::NoAnswer;
    else if (value == "checksum") monitor.fault = MonitorFault::BadChecksum;
    else if (value == "datalow") monitor.fault = MonitorFault::DataLineLow;
    else if (value == "clocklow") monitor.fault = MonitorFault::ClockLineLow;
    else if (value == "stretch") monitor.fault = MonitorFault::StretchesClock;
    else if (value == "firstmiss") monitor.fault = MonitorFault::MissesFirstTransaction;
    else throw std::invalid_argument("adapter key 'monitorfault' takes noanswer, checksum, datalow, clocklow, stretch, firstmiss or none");
}

void Flag(bool& field, const std::string& key, bool hasValue) {
    if (hasValue) throw std::invalid_argument("adapter key '" + key + "' takes no value");
    field = true;
}

void ApplyRom(AdapterConfig& config, const std::string& value) {
    if (value == "builtin") {
        config.hasRom = true;
        config.romImage.clear();
    } else if (value == "none") {
        config.hasRom = false;
    } else {
        config.hasRom = true;
        config.romImage = ReadRomFile(value);
    }
}

void ApplyBios(AdapterConfig& config, const std::string& key, const std::string& value) {
    config.bios.modes.clear();
    if (value == "accept") {
        config.bios.accept = BiosConfig::Accept::Every;
    } else if (value == "refuse") {
        config.bios.accept = BiosConfig::Accept::None;
    } else {
        config.bios.accept = BiosConfig::Accept::Listed;
        config.bios.modes.push_back(static_cast<uint16_t>(ParseNumber(key, value, 0xFFFF)));
    }
}

void ApplyTiming(AdapterConfig& config, const std::string& value) {
    if (value == "keep") config.bios.timing = BiosConfig::Timing::Keep;
    else if (value == "own") config.bios.timing = BiosConfig::Timing::Own;
    else throw std::invalid_argument("adapter key 'timing' must be keep or own");
}

void ApplyPciStart(AdapterConfig& config, const std::string& value) {
    if (value == "keep") config.pciStartEnables = false;
    else if (value == "enable") config.pciStartEnables = true;
    else throw std::invalid_argument("adapter key 'pcistart' must be keep or enable");
}

void ApplyRanges(AdapterConfig& config, const std::string& value) {
    if (value == "assigned") config.rangesAsAssigned = true;
    else if (value == "bars") config.rangesAsAssigned = false;
    else throw std::invalid_argument("adapter key 'ranges' must be assigned or bars");
}

void ApplyCallbackStatus(AdapterConfig& config, const std::string& value) {
    if (value == "ntstatus") config.callbackStatusIsNtStatus = true;
    else if (value == "refusal") config.callbackStatusIsNtStatus = false;
    else throw std::invalid_argument("adapter key 'regcallback' must be ntstatus or refusal");
}

void ApplyDdcAttempts(AdapterConfig& config, const std::string& key, const std::string& value) {
    uint32_t attempts = ParseNumber(key, value, MaxDdcAttempts);
    if (attempts == 0) throw std::invalid_argument("adapter key 'ddcattempts' must be from 1 to " + std::to_string(MaxDdcAttempts));
    config.ddcAttempts = attempts;
}

void ApplyDdcHelper(AdapterConfig& config, const std::string& value) {
    if (value == "strict") config.ddcHelper = DdcHelper::Strict;
    else if (value == "tolerant") config.ddcHelper = DdcHelper::Tolerant;
    else throw std::invalid_argument("adapter key 'ddchelper' must be strict or tolerant");
}

void ApplyMemory(AdapterConfig& config, const std::string& key, const std::string& value) {
    uint32_t mib = ParseNumber(key, value, 1024);
    if (mib != 4 && mib != 8 && mib != 16) throw std::invalid_argument("adapter memory must be 4, 8 or 16 (MiB)");
    config.memoryMiB = mib;
}

void ApplyRegisterWindow(AdapterConfig& config, const std::string& key, const std::string& value) {
    uint32_t mib = ParseNumber(key, value, 128);
    if (mib < 1 || (mib & (mib - 1))) throw std::invalid_argument("adapter regwindow must be a power of two from 1 to 128 (MiB)");
    config.registerWindowMiB = mib;
}

using Apply = void (*)(AdapterConfig&, const std::string& key, const std::string& value, bool hasValue);

struct KeyRule {
    AdapterKey key;
    Apply apply;
};

// Every key of the description language: the parser, its error for an unknown key and the help
// all come from this list.
const KeyRule rules[] = {
    {{"device", "device=N", "PCI device ID"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) {
         c.deviceId = static_cast<uint16_t>(ParseNumber(k, v, 0xFFFF));
     }},
    {{"memory", "memory=4|8|16", "video memory in MiB"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) { ApplyMemory(c, k, v); }},
    {{"secondary", "secondary", "no BIOS has run on it: decoding off until the bus driver's start, the chip at its power-on values"},
     [](AdapterConfig& c, const std::string& k, const std::string&, bool has) { Flag(c.secondary, k, has); }},
    {{"pcistart", "pcistart=enable|keep",
      "the PCI bus driver's start switches decoding on before discovery, by default, or leaves it as the BIOS left it"},
     [](AdapterConfig& c, const std::string&, const std::string& v, bool) { ApplyPciStart(c, v); }},
    {{"ranges", "ranges=assigned|bars",
      "VideoPortGetAccessRanges lists the assigned resources in their order with the expansion ROM as a fourth "
      "entry and answers ERROR_MORE_DATA, filling none, when the room is short, by default; or the three windows only"},
     [](AdapterConfig& c, const std::string&, const std::string& v, bool) { ApplyRanges(c, v); }},
    {{"ddcattempts", "ddcattempts=N",
      "how many times the platform's DDC helper tries to read the monitor's EDID: 1 to 8, 1 by default"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) { ApplyDdcAttempts(c, k, v); }},
    {{"ddchelper", "ddchelper=strict|tolerant",
      "the platform's DDC helper: strict, by default, gives up at once on a line that reads low before a start "
      "or a clock that reads low after it released it, and never waits for vertical sync; tolerant waits for "
      "vertical sync before each attempt, clocks a data line held low free and waits up to 1 ms for a stretched "
      "clock"},
     [](AdapterConfig& c, const std::string&, const std::string& v, bool) { ApplyDdcHelper(c, v); }},
    {{"regcallback", "regcallback=ntstatus|refusal",
      "how the port reads a registry value callback's status: as an NTSTATUS, by default, where a refusal with 87 counts as success; or any non-zero status as a refusal"},
     [](AdapterConfig& c, const std::string&, const std::string& v, bool) { ApplyCallbackStatus(c, v); }},
    {{"bus66", "bus66", "on a 66 MHz capable bus"},
     [](AdapterConfig& c, const std::string& k, const std::string&, bool has) { Flag(c.bus66, k, has); }},
    {{"altmem", "altmem", "the alternative memory type, 16 MiB only"},
     [](AdapterConfig& c, const std::string& k, const std::string&, bool has) { Flag(c.altMemory, k, has); }},
    {{"rom", "rom=builtin|none|FILE", "the option ROM: the standard board's, none, or an image file"},
     [](AdapterConfig& c, const std::string&, const std::string& v, bool) { ApplyRom(c, v); }},
    {{"bios", "bios=accept|refuse|0x111,0x117,...", "the VESA modes its video BIOS sets"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) { ApplyBios(c, k, v); }},
    {{"timing", "timing=keep|own", "its video BIOS keeps a CRTC timing loaded before a VESA mode set, or always loads its own 60 Hz timing"},
     [](AdapterConfig& c, const std::string&, const std::string& v, bool) { ApplyTiming(c, v); }},
    {{"revision", "revision=N", "PCI revision"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) {
         c.revision = static_cast<uint8_t>(ParseNumber(k, v, 0xFF));
     }},
    {{"subvendor", "subvendor=N", "subsystem vendor ID"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) {
         c.subsystemVendor = static_cast<uint16_t>(ParseNumber(k, v, 0xFFFF));
     }},
    {{"subsystem", "subsystem=N", "subsystem ID"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) {
         c.subsystemId = static_cast<uint16_t>(ParseNumber(k, v, 0xFFFF));
     }},
    {{"regwindow", "regwindow=MiB", "register window size, a power of two from 1 to 128"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) { ApplyRegisterWindow(c, k, v); }},
    {{"monitor", "monitor=builtin|none|FILE",
      "the monitor on the connector: the built-in 17-inch CRT, none, or one serving a binary EDID file of 128 or 256 bytes"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) { ApplyMonitorItem(c, k, v); }},
    {{"monitorfault", "monitorfault=noanswer|checksum|datalow|clocklow|stretch|firstmiss",
      "the monitor does not answer on the display data channel, serves its EDID with a wrong checksum, holds the data "
      "line low, holds the clock line low, stretches the clock after every byte, or misses the first transaction after "
      "power-up"},
     [](AdapterConfig& c, const std::string& k, const std::string& v, bool) { ApplyMonitorItem(c, k, v); }},
};

void ApplyItem(AdapterConfig& config, const std::string& key, const std::string& value, bool hasValue) {
    for (const KeyRule& rule : rules) {
        if (key == rule.key.key) return rule.apply(config, key, value, hasValue);
    }
    std::string known;
    for (const KeyRule& rule : rules) known += std::string(known.empty() ? "" : ", ") + rule.key.key;
    throw std::invalid_argument("unknown adapter key '" + TerminalText(key) + "' (known: " + known + ")");
}

}  // namespace

AdapterConfig ParseAdapterDescription(const std::string& description) {
    AdapterConfig config;
    std::string lastKey;
    std::set<std::string> given;
    size_t start = 0;
    while (start <= description.size()) {
        size_t comma = description.find(',', start);
        std::string item = description.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.empty()) throw std::invalid_argument("empty item in adapter description '" + TerminalText(description) + "'");
        size_t equals = item.find('=');
        std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        // bios=0x111,0x117: numbers after a bios list continue it.
        bool continuesBiosList = equals == std::string::npos && lastKey == "bios" && std::isdigit(static_cast<unsigned char>(item[0]));
        if (continuesBiosList && config.bios.accept == BiosConfig::Accept::Listed) {
            config.bios.modes.push_back(static_cast<uint16_t>(ParseNumber("bios", item, 0xFFFF)));
        } else {
            ApplyItem(config, key, value, equals != std::string::npos);
            // One board has one of each: a key given twice is a mistake, not a setting to override.
            if (!given.insert(key).second) {
                throw std::invalid_argument("adapter description '" + TerminalText(description) + "' gives " +
                                            TerminalText(key) + " twice");
            }
            lastKey = key;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (!config.monitor.present && config.monitor.fault != MonitorFault::None) {
        throw std::invalid_argument("monitorfault needs a monitor on the connector (not monitor=none)");
    }
    if (config.altMemory && config.memoryMiB != 16) {
        throw std::invalid_argument("the alternative memory type (altmem) comes only with memory=16");
    }
    return config;
}

std::vector<AdapterKey> AdapterDescriptionKeys() {
    std::vector<AdapterKey> out;
    for (const KeyRule& rule : rules) out.push_back(rule.key);
    return out;
}

std::string AdapterDescriptionHelp() {
    std::string text;
    for (const KeyRule& rule : rules) {
        text += std::string(text.empty() ? "" : ", ") + rule.key.usage + " (" + rule.key.meaning + ")";
    }
    return text;
}

}  // namespace sim
