#include "names.h"

#include <cstdio>

#include "dispatch/served_codes.h"
#include "platform/videoport.h"
#include "support/number_text.h"

namespace zarnsim {

namespace {

struct Named {
    const char* name;
    uint32_t value;
};

#define NAMED(code) {#code, code}
// The standard codes a requester may send that the driver does not serve (the served ones are in
// ServedCodes), so that a script can name them and the report shows their names.
const Named unservedCodes[] = {
    NAMED(IOCTL_VIDEO_QUERY_COLOR_CAPABILITIES),
};

const Named statuses[] = {
    NAMED(NO_ERROR),
    NAMED(ERROR_INVALID_FUNCTION),
    NAMED(ERROR_NOT_ENOUGH_MEMORY),
    NAMED(ERROR_DEV_NOT_EXIST),
    NAMED(ERROR_INVALID_PARAMETER),
    NAMED(ERROR_INSUFFICIENT_BUFFER),
    NAMED(ERROR_MORE_DATA),
    NAMED(ERROR_NO_MORE_DEVICES),
};
#undef NAMED

}  // namespace

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

bool ParseControlCode(const std::string& text, uint32_t* code) {
    for (const ServedCode& served : ServedCodes) {
        if (text == served.name) {
            *code = served.code;
            return true;
        }
    }
    for (const Named& named : unservedCodes) {
        if (text == named.name) {
            *code = named.value;
            return true;
        }
    }
    uint64_t value = 0;
    if (!sim::ParseUnsigned(text, 0xFFFFFFFF, &value)) return false;
    *code = static_cast<uint32_t>(value);
    return true;
}

std::string ControlCodeName(uint32_t code) {
    for (const ServedCode& served : ServedCodes) {
        if (served.code == code) return served.name;
    }
    for (const Named& named : unservedCodes) {
        if (named.value == code) return named.name;
    }
    return Hex32(code);
}

std::vector<std::string> ControlCodeNames() {
    std::vector<std::string> names;
    for (const ServedCode& served : ServedCodes) names.push_back(served.name);
    for (const Named& named : unservedCodes) names.push_back(named.name);
    return names;
}

std::string StatusText(uint32_t status) {
    for (const Named& named : statuses) {
        if (named.value == status) return std::to_string(status) + " " + named.name;
    }
    return std::to_string(status);
}

}  // namespace zarnsim
