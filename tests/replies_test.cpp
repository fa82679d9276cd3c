// Replies field by field: each entry of a request's reply holds what it names, in its place.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "adapter/adapter_state.h"
#include "clients/display_driver.h"
#include "dispatch/control_codes.h"
#include "machine/machine.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The public ranges: the register window first, then the I/O ports, each with its space and
// recorded for the calling process, so that FIND_MAPPING knows both.
TEST(PublicAccessRanges, RegisterWindowThenIoPortsEachRecordedForTheCaller) {
    sim::MachineConfig config;
    config.checkAliasing = true;
    sim::Machine machine(config);
    machine.Boot();
    sim::RequestOptions options;
    options.process = 2;
    sim::RequestResult r = machine.Request(IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES, {}, 24, options);
    ASSERT_EQ(r.status, 0u);
    ASSERT_EQ(r.output.size(), 24u);
    const AdapterState& state = *AdapterOf(machine.Extension(0));
    const uint32_t registers = AddressOf(state.registerBase), ports = AddressOf(state.ioBase);
    ASSERT_NE(registers, 0u);
    ASSERT_NE(ports, 0u);
    ASSERT_NE(registers, ports);
    // The register window is memory (0), the ports are I/O space (1).
    const uint32_t expected[6] = {0, 0, registers, 1, 1, ports};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(sim::Dword(r.output, 4 * i), expected[i]) << "field " << i;
    for (uint32_t address : {registers, ports}) {
        Bytes lookup{static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                     static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
        sim::RequestResult found = machine.Request(IOCTL_VIDEO_FIND_MAPPING, lookup, 8, options);
        EXPECT_EQ(found.status, 0u) << std::hex << address;
        EXPECT_EQ(sim::Dword(found.output, 4), address);
    }
    EXPECT_TRUE(machine.DriverFaults().empty());
}

}  // namespace
