// Every request that hands a view out records it for FIND_MAPPING in the caller's name, and its
// undo releases it: what the lookup answers follows what the process holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "clients/display_driver.h"
#include "dispatch/control_codes.h"
#include "machine/machine.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t Process = 2;
constexpr uint32_t CurrentProcess = 0xFFFFFFFF;

Bytes Dwords(std::vector<uint32_t> values) {
    Bytes bytes;
    for (uint32_t value : values) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

sim::RequestResult Send(sim::Machine& machine, uint32_t code, const Bytes& input, uint32_t output) {
    sim::RequestOptions options;
    options.process = Process;
    return machine.Request(code, input, output, options);
}

bool Found(sim::Machine& machine, uint32_t address) {
    sim::RequestResult r = Send(machine, IOCTL_VIDEO_FIND_MAPPING, Dwords({address}), 8);
    return r.status == 0 && sim::Dword(r.output, 4) == address;
}

// A frame buffer view in the caller's process; the register window and the ports together. Each
// hand-out is found afterwards, and neither after its undo.
TEST(RecordedMappings, HandOutsAreFoundUntilTheirUndo) {
    sim::MachineConfig config;
    config.checkAliasing = true;
    sim::Machine machine(config);
    machine.Boot();

    sim::RequestResult view = Send(machine, IOCTL_VIDEO_MAP_VIDEO_MEMORY, Dwords({CurrentProcess}), 16);
    ASSERT_EQ(view.status, 0u);
    const uint32_t frameBuffer = sim::Dword(view.output, 0);
    EXPECT_TRUE(Found(machine, frameBuffer));
    ASSERT_EQ(Send(machine, IOCTL_VIDEO_UNMAP_VIDEO_MEMORY, Dwords({frameBuffer}), 0).status, 0u);
    EXPECT_FALSE(Found(machine, frameBuffer));

    sim::RequestResult ranges = Send(machine, IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES, {}, 24);
    ASSERT_EQ(ranges.status, 0u);
    const uint32_t registers = sim::Dword(ranges.output, 8), ports = sim::Dword(ranges.output, 20);
    EXPECT_TRUE(Found(machine, registers));
    EXPECT_TRUE(Found(machine, ports));
    ASSERT_EQ(Send(machine, IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES, Dwords({registers, ports}), 0).status, 0u);
    EXPECT_FALSE(Found(machine, registers));
    EXPECT_FALSE(Found(machine, ports));
    EXPECT_TRUE(machine.DriverFaults().empty());
}

}  // namespace
