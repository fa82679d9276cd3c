#include "names.h"

#include <cstdio>

#include "dispatch/control_codes.h"
#include "platform/videoport.h"
#include "support/number_text.h"

namespace zarnsim {

namespace {

struct Named {
    const char* name;
    uint32_t value;
};

#define NAMED(code) {#code, code}
const Named controlCodes[] = {
    NAMED(IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS),
    NAMED(IOCTL_VIDEO_QUERY_AVAIL_MODES),
    NAMED(IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES),
    NAMED(IOCTL_VIDEO_QUERY_CURRENT_MODE),
    NAMED(IOCTL_VIDEO_SET_CURRENT_MODE),
    NAMED(IOCTL_VIDEO_RESET_DEVICE),
    NAMED(IOCTL_VIDEO_SET_COLOR_REGISTERS),
    NAMED(IOCTL_VIDEO_MAP_VIDEO_MEMORY),
    NAMED(IOCTL_VIDEO_UNMAP_VIDEO_MEMORY),
    NAMED(IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES),
    NAMED(IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES),
    NAMED(IOCTL_VIDEO_QUERY_COLOR_CAPABILITIES),
    NAMED(IOCTL_VIDEO_SET_POWER_MANAGEMENT),
    NAMED(IOCTL_VIDEO_GET_POWER_MANAGEMENT),
    NAMED(IOCTL_VIDEO_SHARE_VIDEO_MEMORY),
    NAMED(IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY),
    NAMED(IOCTL_VIDEO_MAP_APERTURES),
    NAMED(IOCTL_VIDEO_UNMAP_APERTURES),
    NAMED(IOCTL_VIDEO_READ_SETTING),
    NAMED(IOCTL_VIDEO_WRITE_SETTING),
    NAMED(IOCTL_VIDEO_QUERY_ADAPTER_ID),
    NAMED(IOCTL_VIDEO_SET_GAMMA_TABLE),
    NAMED(IOCTL_VIDEO_GET_GAMMA_TABLE),
    NAMED(IOCTL_VIDEO_FIND_MAPPING),
    NAMED(IOCTL_VIDEO_QUERY_BIOS_VERSION),
    NAMED(IOCTL_VIDEO_ALLOCATE_CONTIGUOUS),
    NAMED(IOCTL_VIDEO_MAP_PHYSICAL_PAGES),
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
    for (const Named& named : controlCodes) {
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
    for (const Named& named : controlCodes) {
        if (named.value == code) return named.name;
    }
    return Hex32(code);
}

std::vector<std::string> ControlCodeNames() {
    std::vector<std::string> names;
    for (const Named& named : controlCodes) names.push_back(named.name);
    return names;
}

std::string StatusText(uint32_t status) {
    for (const Named& named : statuses) {
        if (named.value == status) return std::to_string(status) + " " + named.name;
    }
    return std::to_string(status);
}

}  // namespace zarnsim
