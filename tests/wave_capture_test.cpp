// The capture of the connectors on the machine itself: the vertical sync it records is the level
// the status register shows, for a bounded number of frames; a run the machine undoes leaves no
// mark on it.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "clients/display_driver.h"
#include "machine/machine.h"

namespace {

// One signal of a Value Change Dump: its changes, in time order.
struct Change {
    uint64_t time;
    bool level;
};

std::vector<Change> ChangesOf(const std::string& dump, const std::string& name) {
    std::istringstream lines(dump);
    std::string line, code;
    uint64_t time = 0;
    std::vector<Change> changes;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string a, b, c, d, e;
        if (line.rfind("$var", 0) == 0 && (words >> a >> b >> c >> d >> e) && e == name) code = d;
        else if (line.rfind("#", 0) == 0) time = std::stoull(line.substr(1));
        else if (!code.empty() && line.size() == 1 + code.size() && line.substr(1) == code) changes.push_back({time, line[0] == '1'});
    }
    return changes;
}

sim::MachineConfig BootedConfig(bool checkAliasing = false) {
    sim::MachineConfig config;
    config.checkAliasing = checkAliasing;
    return config;
}

constexpr uint32_t Mode800x600At60 = 20;

TEST(WaveCapture, RecordsTheVerticalSyncTheStatusRegisterShowsForBoundedFrames) {
    sim::Machine machine(BootedConfig());
    machine.Boot();
    ASSERT_TRUE(machine.OpenDevice(0));
    ASSERT_TRUE(machine.StartWave());
    ASSERT_EQ(sim::SetModeByIndex(machine, 0, Mode800x600At60).status, NO_ERROR);
    const uint64_t modeSet = machine.Now();
    const std::string dump = machine.StopWave(true);

    sim::SyncGenerator sync;
    const sim::Chip& chip = machine.ChipOf(0);
    const bool negative = sim::DecodeSyncOutputs(chip).t.vsyncNegative;
    unsigned leadingEdges = 0;
    bool level = false;
    for (const Change& change : ChangesOf(dump, "vsync0")) {
        level = change.level;
        if (change.time <= modeSet) continue;
        EXPECT_EQ(sync.VsyncLevel(chip, change.time), change.level) << change.time;
        EXPECT_NE(sync.VsyncLevel(chip, change.time - 1), change.level) << change.time;
        if (change.level != negative) ++leadingEdges;
    }
    EXPECT_GE(leadingEdges, sim::WaveSyncFrames);
    EXPECT_LE(leadingEdges, sim::WaveSyncFrames + 1);
    EXPECT_EQ(level, negative) << "the capture ends with the output at rest";
}

// The aliasing check runs a request once more and undoes it: the capture shows only the run kept.
TEST(WaveCapture, ShowsNothingOfTheRunTheAliasingCheckUndoes) {
    std::string dumps[2];
    for (bool check : {false, true}) {
        sim::Machine machine(BootedConfig(check));
        machine.Boot();
        ASSERT_TRUE(machine.OpenDevice(0));
        ASSERT_TRUE(machine.StartWave());
        ASSERT_EQ(sim::SetModeByIndex(machine, 0, Mode800x600At60).status, NO_ERROR);
        dumps[check] = machine.StopWave(true);
    }
    EXPECT_EQ(dumps[0], dumps[1]);
}

}  // namespace
