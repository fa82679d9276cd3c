// The control codes HwStartIO serves, each once with its name: the list that zarnsim's names, the
// tests, the fuzzers and the comparison of the two builds take. The driver's dispatch is the plain
// switch in start_io.cpp, which does not use this list; a test checks that the two agree.
//
// Adding a control code: its definition (control_codes.h, or the platform's headers for a standard
// one), its case in start_io.cpp and its handler, a row at the END of this list, and its tests.
// Only append: the request fuzzer names a code by its place here (fuzz/fuzz_picks.h), so a code
// inserted or moved would change what every stored fuzz input means; a test holds the places of
// the codes listed so far.
#pragma once

#include "dispatch/control_codes.h"

struct ServedCode {
    const char* name;
    ULONG code;
};

#define ZARN_SERVED(code) {#code, code}
inline constexpr ServedCode ServedCodes[] = {
    ZARN_SERVED(IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS),
    ZARN_SERVED(IOCTL_VIDEO_QUERY_AVAIL_MODES),
    ZARN_SERVED(IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES),
    ZARN_SERVED(IOCTL_VIDEO_QUERY_CURRENT_MODE),
    ZARN_SERVED(IOCTL_VIDEO_SET_CURRENT_MODE),
    ZARN_SERVED(IOCTL_VIDEO_RESET_DEVICE),
    ZARN_SERVED(IOCTL_VIDEO_SET_POWER_MANAGEMENT),
    ZARN_SERVED(IOCTL_VIDEO_GET_POWER_MANAGEMENT),
    ZARN_SERVED(IOCTL_VIDEO_QUERY_ADAPTER_ID),
    ZARN_SERVED(IOCTL_VIDEO_QUERY_BIOS_VERSION),
    ZARN_SERVED(IOCTL_VIDEO_MAP_VIDEO_MEMORY),
    ZARN_SERVED(IOCTL_VIDEO_UNMAP_VIDEO_MEMORY),
    ZARN_SERVED(IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES),
    ZARN_SERVED(IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES),
    ZARN_SERVED(IOCTL_VIDEO_SHARE_VIDEO_MEMORY),
    ZARN_SERVED(IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY),
    ZARN_SERVED(IOCTL_VIDEO_MAP_APERTURES),
    ZARN_SERVED(IOCTL_VIDEO_UNMAP_APERTURES),
    ZARN_SERVED(IOCTL_VIDEO_FIND_MAPPING),
    ZARN_SERVED(IOCTL_VIDEO_ALLOCATE_CONTIGUOUS),
    ZARN_SERVED(IOCTL_VIDEO_MAP_PHYSICAL_PAGES),
    ZARN_SERVED(IOCTL_VIDEO_SET_COLOR_REGISTERS),
    ZARN_SERVED(IOCTL_VIDEO_SET_GAMMA_TABLE),
    ZARN_SERVED(IOCTL_VIDEO_GET_GAMMA_TABLE),
    ZARN_SERVED(IOCTL_VIDEO_READ_SETTING),
    ZARN_SERVED(IOCTL_VIDEO_WRITE_SETTING),
};
#undef ZARN_SERVED
