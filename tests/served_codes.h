// The control codes the driver serves today, for the tests and fuzzers that send it requests.
#pragma once

#include <cstdint>

#include "dispatch/control_codes.h"

namespace servedcodes {

inline constexpr uint32_t codes[] = {
    IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS, IOCTL_VIDEO_QUERY_AVAIL_MODES,    IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES,
    IOCTL_VIDEO_QUERY_CURRENT_MODE,     IOCTL_VIDEO_SET_CURRENT_MODE,     IOCTL_VIDEO_RESET_DEVICE,
    IOCTL_VIDEO_SET_POWER_MANAGEMENT,   IOCTL_VIDEO_GET_POWER_MANAGEMENT, IOCTL_VIDEO_QUERY_ADAPTER_ID,
    IOCTL_VIDEO_QUERY_BIOS_VERSION,
    // colour and the settings relay
    IOCTL_VIDEO_SET_COLOR_REGISTERS, IOCTL_VIDEO_SET_GAMMA_TABLE, IOCTL_VIDEO_GET_GAMMA_TABLE,
    IOCTL_VIDEO_READ_SETTING, IOCTL_VIDEO_WRITE_SETTING,
};

}  // namespace servedcodes
