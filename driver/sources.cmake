# The driver's sources, shared by the host library and the zarn.sys build.
set(ZARN_DRIVER_SOURCES
    adapter/chip_init.cpp
    adapter/clock_tables.cpp
    adapter/discovery.cpp
    adapter/driver_entry.cpp
    adapter/registry_config.cpp
    adapter/rom_probe.cpp
    colour/dac.cpp
    dispatch/start_io.cpp
    hw/access.cpp
    mapping/mapping_registry.cpp
    mapping/memory_mapping.cpp
    mapping/private_mapping.cpp
    modes/mode_queries.cpp
    modes/mode_set.cpp
    modes/mode_tables.cpp
    modes/program_mode.cpp
    monitor/interim_callbacks.cpp
)
# Warnings are errors in driver code on both builds.
set(ZARN_DRIVER_WARNINGS -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion)
