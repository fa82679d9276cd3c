// The adapter description language of the command line: comma-separated key=value items.
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "devices/board.h"

namespace sim {

namespace {

uint32_t ParseNumber(const std::string& key, const std::string& text, uint32_t max) {
    if (text.empty()) throw std::invalid_argument("adapter key '" + key + "' needs a value");
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || text[0] == '-' || value > max) {
        throw std::invalid_argument("adapter key '" + key + "' has a bad value '" + text + "'");
    }
    return static_cast<uint32_t>(value);
}

std::vector<uint8_t> ReadRomFile(const std::string& path) {
    if (path.empty()) throw std::invalid_argument("adapter key 'rom' needs builtin, none or a file name");
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::invalid_argument("cannot read the option ROM file '" + path + "'");
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (image.empty()) throw std::invalid_argument("the option ROM file '" + path + "' is empty");
    if (image.size() > 128 * 1024) throw std::invalid_argument("the option ROM file '" + path + "' is larger than 128 KiB");
    return image;
}

// --- Monitor ---

std::vector<uint8_t> ReadEdidFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::invalid_argument("cannot read the EDID file '" + path + "'");
    std::vector<uint8_t> edid((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string problem = CheckEdidImage(edid);
    if (!problem.empty()) throw std::invalid_argument("the EDID file '" + path + "' does not fit a monitor: " + problem);
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
    else throw std::invalid_argument("adapter key 'monitorfault' takes noanswer, checksum, datalow or none");
}

void ApplyItem(AdapterConfig& config, const std::string& key, const std::string& value, bool hasValue) {
    auto flag = [&](bool& field) {
        if (hasValue) throw std::invalid_argument("adapter key '" + key + "' takes no value");
        field = true;
    };
    if (key == "device") {
        config.deviceId = static_cast<uint16_t>(ParseNumber(key, value, 0xFFFF));
    } else if (key == "memory") {
        uint32_t mib = ParseNumber(key, value, 1024);
        if (mib != 4 && mib != 8 && mib != 16) throw std::invalid_argument("adapter memory must be 4, 8 or 16 (MiB)");
        config.memoryMiB = mib;
    } else if (key == "revision") {
        config.revision = static_cast<uint8_t>(ParseNumber(key, value, 0xFF));
    } else if (key == "subvendor") {
        config.subsystemVendor = static_cast<uint16_t>(ParseNumber(key, value, 0xFFFF));
    } else if (key == "subsystem") {
        config.subsystemId = static_cast<uint16_t>(ParseNumber(key, value, 0xFFFF));
    } else if (key == "regwindow") {
        uint32_t mib = ParseNumber(key, value, 128);
        if (mib < 1 || (mib & (mib - 1))) {
            throw std::invalid_argument("adapter regwindow must be a power of two from 1 to 128 (MiB)");
        }
        config.registerWindowMiB = mib;
    } else if (key == "rom") {
        if (value == "builtin") {
            config.hasRom = true;
            config.romImage.clear();
        } else if (value == "none") {
            config.hasRom = false;
        } else {
            config.hasRom = true;
            config.romImage = ReadRomFile(value);
        }
    } else if (key == "bios") {
        config.bios.modes.clear();
        if (value == "accept") {
            config.bios.accept = BiosConfig::Accept::Every;
        } else if (value == "refuse") {
            config.bios.accept = BiosConfig::Accept::None;
        } else {
            config.bios.accept = BiosConfig::Accept::Listed;
            config.bios.modes.push_back(static_cast<uint16_t>(ParseNumber(key, value, 0xFFFF)));
        }
    } else if (key == "timing") {
        if (value == "keep") config.bios.timing = BiosConfig::Timing::Keep;
        else if (value == "own") config.bios.timing = BiosConfig::Timing::Own;
        else throw std::invalid_argument("adapter key 'timing' must be keep or own");
    } else if (key == "monitor" || key == "monitorfault") {
        ApplyMonitorItem(config, key, value);
    } else if (key == "secondary") {
        flag(config.secondary);
    } else if (key == "bus66") {
        flag(config.bus66);
    } else if (key == "altmem") {
        flag(config.altMemory);
    } else {
        throw std::invalid_argument("unknown adapter key '" + key +
                                    "' (known: device, memory, secondary, bus66, altmem, rom, bios, timing, revision, "
                                    "subvendor, subsystem, regwindow, monitor, monitorfault)");
    }
}

}  // namespace

AdapterConfig ParseAdapterDescription(const std::string& description) {
    AdapterConfig config;
    std::string lastKey;
    size_t start = 0;
    while (start <= description.size()) {
        size_t comma = description.find(',', start);
        std::string item = description.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.empty()) throw std::invalid_argument("empty item in adapter description '" + description + "'");
        size_t equals = item.find('=');
        std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        // bios=0x111,0x117: numbers after a bios list continue it.
        bool continuesBiosList = equals == std::string::npos && lastKey == "bios" && std::isdigit(static_cast<unsigned char>(item[0]));
        if (continuesBiosList && config.bios.accept == BiosConfig::Accept::Listed) {
            config.bios.modes.push_back(static_cast<uint16_t>(ParseNumber("bios", item, 0xFFFF)));
        } else {
            ApplyItem(config, key, value, equals != std::string::npos);
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

}  // namespace sim
