# The driver's sources, shared by the host library and the zarn.sys build.
set(ZARN_DRIVER_SOURCES
    adapter/chip_init.cpp
    adapter/clock_tables.cpp
    adapter/discovery.cpp
    adapter/driver_entry.cpp
    adapter/registry_config.cpp
    adapter/rom_probe.cpp
    colour/colour_requests.cpp
    colour/dac.cpp
    dispatch/start_io.cpp
    hw/access.cpp
    modes/mode_queries.cpp
    modes/mode_set.cpp
    modes/mode_tables.cpp
    modes/program_mode.cpp
    monitor/interim_callbacks.cpp
    settings/read_setting.cpp
    settings/setting_names.cpp
    settings/write_setting.cpp
)
# Warnings are errors in driver code on both builds.
set(ZARN_DRIVER_WARNINGS -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion)
