// The adapter description language of the command line: comma-separated key=value items.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "machine.h"

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
        uint32_t mib = ParseNumber(key, value, 256);
        if (mib < 1 || (mib & (mib - 1))) throw std::invalid_argument("adapter regwindow must be a power of two (MiB)");
        config.registerWindowMiB = mib;
    } else if (key == "secondary") {
        flag(config.secondary);
    } else if (key == "bus66") {
        flag(config.bus66);
    } else if (key == "altmem") {
        flag(config.altMemory);
    } else {
        throw std::invalid_argument("unknown adapter key '" + key +
                                    "' (known: device, memory, secondary, bus66, altmem, revision, subvendor, "
                                    "subsystem, regwindow)");
    }
}

}  // namespace

AdapterConfig ParseAdapterSpec(const std::string& spec) {
    AdapterConfig config;
    size_t start = 0;
    while (start <= spec.size()) {
        size_t comma = spec.find(',', start);
        std::string item = spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.empty()) throw std::invalid_argument("empty item in adapter description '" + spec + "'");
        size_t equals = item.find('=');
        std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        ApplyItem(config, key, value, equals != std::string::npos);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (config.altMemory && config.memoryMiB != 16) {
        throw std::invalid_argument("the alternative memory type (altmem) comes only with memory=16");
    }
    if ((config.registerWindowMiB << 20) < (1u << 20)) throw std::invalid_argument("bad register window");
    return config;
}

}  // namespace sim
