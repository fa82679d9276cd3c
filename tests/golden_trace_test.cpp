// Golden traces: the exact sequence of hardware accesses of the adapter's bring-up (discovery and
// HwInitialize) and of one direct mode set. A change in the order or values of the accesses shows
// here; ZARN_UPDATE_GOLDEN=1 rewrites the files after an intended change.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "driver_faults.h"
#include "machine/machine.h"

namespace {

// What a golden trace holds: the boot, or mode 0's set after the boot.
enum class Traced { Boot, ModeSet };

struct GoldenCase {
    const char* name;
    const char* file;            // under tests/golden
    sim::AdapterConfig adapter;
    Traced traced;
};

void PrintTo(const GoldenCase& value, std::ostream* out) { *out << value.name; }

std::string TraceOf(const GoldenCase& c) {
    sim::MachineConfig config;
    config.adapters = {c.adapter};
    config.checkAliasing = true;
    config.enumerateChildren = false;   // the bring-up alone: discovery, then HwInitialize at the first open
    sim::Machine machine(config);
    machine.Boot();
    EXPECT_TRUE(machine.OpenDevice(0));
    if (c.traced == Traced::ModeSet) {
        machine.ClearTrace();
        std::vector<uint8_t> index(4, 0);
        EXPECT_EQ(machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, index, 0).status, 0u);
    }
    EXPECT_TRUE(machine.DriverFaults().empty());
    std::ostringstream out;
    for (const sim::TraceEntry& entry : machine.Trace()) out << sim::FormatTraceEntry(entry) << "\n";
    return out.str();
}

class GoldenTrace : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenTrace, AccessSequenceIsUnchanged) {
    std::string actual = TraceOf(GetParam());
    const std::string path = std::string(ZARN_SOURCE_DIR) + "/tests/golden/" + GetParam().file;
    if (std::getenv("ZARN_UPDATE_GOLDEN")) {
        std::ofstream(path) << actual;
        GTEST_SKIP() << "rewrote " << path;
    }
    std::ifstream file(path);
    ASSERT_TRUE(file) << "missing " << path;
    std::stringstream expected;
    expected << file.rdbuf();
    EXPECT_EQ(actual, expected.str());
}

INSTANTIATE_TEST_SUITE_P(
    Traces, GoldenTrace,
    ::testing::Values(
        // The board the system BIOS brought up (its memory refresh interval set): ROM probe, then only
        // the display reset and clocks.
        GoldenCase{"PrimaryBringUp", "bringup_primary_device5.trace", Board("device=5"), Traced::Boot},
        // No BIOS ran on it, and the bus driver's start switched its decoding on: the memory refresh
        // interval reads 0, ROM probe, the chip initialization sequence at discovery and again at
        // HwInitialize (with the memory clock of device 3 and the 66 MHz bus bits).
        GoldenCase{"SecondaryBringUp", "bringup_secondary_device3_bus66.trace", Board("device=3,secondary,bus66"),
                   Traced::Boot},
        GoldenCase{"DirectModeSet", "direct_mode_set_640x480x8_60.trace", Board("device=5,rom=none"), Traced::ModeSet}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
