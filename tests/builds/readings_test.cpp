// The driver under every reading of the platform. Where Windows 2000 may behave in more than one way
// (the PCI bus driver's start, the listed access ranges, the DDC helper's checks and retries, how a
// registry callback's status is handed on, which freed process object a new process gets), the
// scenarios that matter run under every pair of readings, on both builds: the display driver's
// session on a primary and a secondary, the 3D drivers' mappings in other processes, settings and
// gamma, the monitor, and power cycles with hibernation. Each must end with the test pattern on
// both screens, the monitor read, no fault reported and both builds agreeing.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "builds_run.h"

namespace {

struct Reading {
    const char* name;                  // the adapter key, or the machine option
    std::vector<const char*> values;   // the default first
    bool adapterKey;
};

const std::vector<Reading>& Readings() {
    static const std::vector<Reading> readings = {
        {"pcistart", {"enable", "keep"}, true},
        {"ranges", {"assigned", "bars"}, true},
        {"ddchelper", {"strict", "tolerant"}, true},
        {"ddcattempts", {"1", "3"}, true},
        {"regcallback", {"ntstatus", "refusal"}, true},
        {"process-reuse", {"recent", "oldest", "never"}, false},
    };
    return readings;
}

using Row = std::vector<size_t>;   // a value index per reading

// The pairs of readings' values a row covers, as (reading a, value a, reading b, value b).
std::set<std::vector<size_t>> PairsOf(const Row& row) {
    std::set<std::vector<size_t>> pairs;
    for (size_t a = 0; a < row.size(); ++a) {
        for (size_t b = a + 1; b < row.size(); ++b) pairs.insert({a, row[a], b, row[b]});
    }
    return pairs;
}

// Every combination of readings, in order.
std::vector<Row> AllRows() {
    std::vector<Row> rows{Row(Readings().size(), 0)};
    for (;;) {
        Row next = rows.back();
        size_t i = 0;
        while (i < next.size() && ++next[i] == Readings()[i].values.size()) next[i++] = 0;
        if (i == next.size()) return rows;
        rows.push_back(next);
    }
}

// Rows that together hold every pair of values of two readings: the defaults first, then, greedily,
// the combination that adds the most pairs not yet held.
std::vector<Row> PairwiseRows() {
    const std::vector<Row> all = AllRows();
    std::set<std::vector<size_t>> missing;
    for (const Row& row : all) {
        for (const auto& pair : PairsOf(row)) missing.insert(pair);
    }
    std::vector<Row> chosen;
    Row next = all.front();
    while (!missing.empty()) {
        for (const auto& pair : PairsOf(next)) missing.erase(pair);
        chosen.push_back(next);
        size_t best = 0;
        for (const Row& row : all) {
            size_t added = 0;
            for (const auto& pair : PairsOf(row)) added += missing.count(pair);
            if (added > best) best = added, next = row;
        }
    }
    return chosen;
}

const char* const Registry =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0]\n"
    "\"ZRb\"=hex:01,02,03,04\n"
    "\"ZRText\"=hex(2):25,00,41,00,00,00\n"
    "\"GraphicsClocking\"=dword:0000008c\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device1]\n"
    "\"dramInit0\"=hex:\n"
    "\"MemClocking\"=dword:00000064\n";

// The display driver's session on both adapters, a 3D driver's mappings in processes that end and
// one that may get an ended one's object, settings and gamma, the monitor and every power state.
const char* const Script =
    "request IOCTL_VIDEO_QUERY_AVAIL_MODES out=4096\n"
    "mode 2\n"
    "mode 3 adapter=1\n"
    "request IOCTL_VIDEO_MAP_VIDEO_MEMORY in=00000000 out=16 adapter=1\n"
    "palette 0 ff0000 00ff00 adapter=1\n"
    "gamma inverse adapter=1\n"
    "process 2\n"
    "request IOCTL_VIDEO_MAP_APERTURES in=ffffffff out=24\n"
    "request IOCTL_VIDEO_MAP_APERTURES in=00000000 out=24\n"
    "request IOCTL_VIDEO_ALLOCATE_CONTIGUOUS in=00100000 out=4\n"
    "request IOCTL_VIDEO_SHARE_VIDEO_MEMORY in=ffffffff000000000000010000000000 out=12 adapter=1\n"
    "read-setting ZRb\n"
    "end-process 2\n"
    "process 3\n"
    "request IOCTL_VIDEO_FIND_MAPPING in=00000001 out=8\n"
    "request IOCTL_VIDEO_ALLOCATE_CONTIGUOUS in=00100000 out=4\n"
    "end-process 3\n"
    "process 1\n"
    "read-setting ZRText\n"
    "read-setting GraphicsClocking\n"
    "write-setting ZRSpeed dword 7\n"
    "read-setting ZRSpeed\n"
    "gamma inverse\n"
    "request IOCTL_VIDEO_GET_GAMMA_TABLE out=1024\n"
    "children\n"
    "children adapter=1\n"
    "power monitor standby\n"
    "power monitor off\n"
    "power monitor on\n"
    "power adapter suspend adapter=1\n"
    "power adapter on adapter=1\n"
    "power adapter off\n"
    "power adapter on\n"
    "power adapter hibernate adapter=1\n"
    "children\n"
    "mode 2\n"
    "mode 3 adapter=1\n";

std::string DriverImage() {
    std::ifstream file(ZARN_SYS, std::ios::binary);
    return file ? ZARN_SYS : "";
}

builds::Scenario ScenarioOf(const Row& row) {
    builds::Scenario scenario;
    std::string keys;
    for (size_t i = 0; i < row.size(); ++i) {
        const Reading& reading = Readings()[i];
        const std::string value = reading.values[row[i]];
        scenario.name += (i ? "_" : "") + std::string(reading.name) + "_" + value;
        if (reading.adapterKey) keys += "," + std::string(reading.name) + "=" + value;
        else EXPECT_TRUE(sim::ParseProcessReuse(value, &scenario.processReuse)) << value;
    }
    for (char& c : scenario.name) if (c == '-') c = '_';
    scenario.adapters = {"device=5,memory=16" + keys, "device=4,memory=8,secondary" + keys};
    scenario.registry = Registry;
    scenario.script = Script;
    scenario.picture = "640x480x24@60";
    return scenario;
}

std::vector<builds::Scenario> Scenarios() {
    std::vector<builds::Scenario> scenarios;
    for (const Row& row : PairwiseRows()) scenarios.push_back(ScenarioOf(row));
    return scenarios;
}

TEST(Readings, TheChosenRowsHoldEveryPairOfValues) {
    std::set<std::vector<size_t>> held;
    for (const Row& row : PairwiseRows()) {
        for (const auto& pair : PairsOf(row)) held.insert(pair);
    }
    size_t pairs = 0;
    for (size_t a = 0; a < Readings().size(); ++a) {
        for (size_t b = a + 1; b < Readings().size(); ++b) pairs += Readings()[a].values.size() * Readings()[b].values.size();
    }
    EXPECT_EQ(held.size(), pairs);
}

// What in a run says the display does not work, or an instrument complained.
std::string Trouble(const builds::Run& run) {
    std::string trouble;
    for (const sim::Fault& fault : run.machine->DriverFaults()) trouble += "fault: " + fault.message + "\n";
    size_t pictures = 0;
    for (const auto& [what, value] : run.answers) {
        if (what == "the run stopped" || value.rfind("stopped:", 0) == 0) trouble += what + ": " + value + "\n";
        if (what.find("child") != std::string::npos && value.find("id 0x11223344") != std::string::npos) {
            trouble += what + ": the monitor was not read\n";
        }
        if (what.find(" picture") == std::string::npos) continue;
        ++pictures;
        if (value != "640x480, 0 pixels off the pattern") trouble += what + ": " + value + "\n";
    }
    if (pictures != 2) trouble += std::to_string(pictures) + " pictures drawn, not 2\n";
    return trouble;
}

class UnderEveryReading : public testing::TestWithParam<builds::Scenario> {};

TEST_P(UnderEveryReading, BothScreensWorkAndNothingIsReported) {
    builds::Run host = builds::RunScenario(GetParam(), "");
    EXPECT_EQ(Trouble(host), "") << "host build";
    const std::string image = DriverImage();
    if (image.empty()) GTEST_SKIP() << "zarn.sys was not built: " << ZARN_SYS;
    builds::Run emulated = builds::RunScenario(GetParam(), image);
    EXPECT_EQ(Trouble(emulated), "") << image;
    EXPECT_EQ(builds::FirstDifference(host, emulated), "");
}

INSTANTIATE_TEST_SUITE_P(Pairs, UnderEveryReading, testing::ValuesIn(Scenarios()),
                         [](const testing::TestParamInfo<builds::Scenario>& info) { return info.param.name; });

}  // namespace
