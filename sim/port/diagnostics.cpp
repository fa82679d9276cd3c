// The port's diagnostics: the driver's messages (VideoPortDebugPrint), shown as a kernel debugger
// would when their level is at most VideoDebugLevel, and the errors it logs for the system's event
// log (VideoPortLogError).
#include <cstdio>
#include <cstring>

#include "port/port.h"

namespace sim {

namespace {

// What the port keeps at most; a driver that prints or logs more in one run loses the rest, as a
// debugger's buffer or a full event log would, and the last entry says so.
constexpr size_t MaxMessages = 10000;
constexpr size_t MaxLoggedErrors = 1000;

}  // namespace

std::string VideoPort::FormatMessage(const char* format, const std::function<uint32_t()>& number,
                                     const std::function<std::string()>& text) {
    std::string out;
    for (const char* at = format; *at; ++at) {
        if (*at != '%') {
            out += *at;
            continue;
        }
        const char* start = at++;
        std::string conversion = "%";
        while (*at && std::strchr("-+ #0", *at)) conversion += *at++;
        while (*at >= '0' && *at <= '9' && conversion.size() < 12) conversion += *at++;
        if (*at == '.') {
            conversion += *at++;
            while (*at >= '0' && *at <= '9' && conversion.size() < 16) conversion += *at++;
        }
        while (*at == 'l' || *at == 'h') ++at;   // every number is 32 bits on i386
        char buffer[64];
        switch (*at) {
        case 'd':
        case 'i':
            std::snprintf(buffer, sizeof buffer, (conversion + "d").c_str(), static_cast<int32_t>(number()));
            out += buffer;
            break;
        case 'u':
        case 'x':
        case 'X':
            std::snprintf(buffer, sizeof buffer, (conversion + *at).c_str(), number());
            out += buffer;
            break;
        case 'c':
            out += static_cast<char>(number());
            break;
        case 's': {
            std::string value = text();
            std::vector<char> room(value.size() + 64);
            std::snprintf(room.data(), room.size(), (conversion + "s").c_str(), value.c_str());
            out += room.data();
            break;
        }
        case '%':
            out += '%';
            break;
        default:
            // Not a conversion the port formats: copied, and nothing is taken from the arguments.
            out.append(start, at + (*at ? 1 : 0));
            if (!*at) return out;
        }
    }
    return out;
}

void VideoPort::DebugPrint(uint32_t level, std::string text) {
    if (debugLevel_ < 0 || level > static_cast<uint32_t>(debugLevel_)) return;
    if (state_.messages.size() >= MaxMessages) return;
    if (state_.messages.size() == MaxMessages - 1) text = "(the port keeps no more messages)";
    state_.messages.push_back(DriverMessage{faults_.CurrentAdapter(), level, std::move(text)});
    if (messageSink_) messageSink_(state_.messages.back());
}

void VideoPort::LogError(PVOID extension, PVIDEO_REQUEST_PACKET request, uint32_t errorCode, uint32_t uniqueId) {
    int adapter = AdapterOfExtension(extension, "VideoPortLogError");
    if (adapter < 0 || state_.loggedErrors.size() >= MaxLoggedErrors) return;
    state_.loggedErrors.push_back(LoggedError{adapter, errorCode, uniqueId, request ? request->IoControlCode : 0});
}

}  // namespace sim
