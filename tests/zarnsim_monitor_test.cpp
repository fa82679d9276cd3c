// zarnsim and the monitor: the identification data as `zarnsim monitor` shows it, checked against
// edid-decode; the modes a monitor's range limits exclude; the script's children and power commands.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <string>

#include "cli_runner.h"
#include "edid_files.h"

namespace {

using clirunner::Outcome;
using clirunner::RunZarnsim;

std::string Match(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "<missing>";
}

// What edid-decode (the Debian package) prints for a file.
std::string EdidDecode(const std::string& path) {
    std::string command = "edid-decode '" + path + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "";
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
    return out;
}

class MonitorCommand : public testing::TestWithParam<const char*> {};

TEST_P(MonitorCommand, AgreesWithEdidDecode) {
    std::string path = edidfiles::PathOf(GetParam());
    std::string peer = EdidDecode(path);
    ASSERT_NE(peer.find("Manufacturer:"), std::string::npos) << "edid-decode is needed (make deps installs it)";
    Outcome run = RunZarnsim("--adapter 'monitor=" + path + "' monitor --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;

    EXPECT_EQ(Match(run.out, R"re("identificationRead":(\w+))re"), "true");
    std::string manufacturer = Match(peer, R"re(Manufacturer: (\w+))re");
    std::string model = Match(peer, R"re(Model: (\d+))re");
    std::string name = Match(peer, R"re(Display Product Name: '([^']*)')re");
    for (const std::string& field : {manufacturer, model, name}) ASSERT_NE(field, "<missing>") << peer;
    EXPECT_EQ(Match(run.out, R"re("manufacturer":"(\w+)")re"), manufacturer);
    EXPECT_EQ(Match(run.out, R"re("productCode":(\d+))re"), model);
    EXPECT_EQ(Match(run.out, R"re("name":"([^"]*)")re"), name);
    // DTD 1:   640x480    63.098913 Hz   4:3     32.117 kHz     25.180000 MHz
    std::smatch dtd;
    ASSERT_TRUE(std::regex_search(peer, dtd, std::regex(R"re(DTD 1: +(\d+)x(\d+) +([\d.]+) Hz .* ([\d.]+) MHz)re")));
    std::string preferred = Match(run.out, R"re("preferredTiming":(\{[^}]*\}))re");
    EXPECT_EQ(Match(preferred, R"re("width":(\d+))re"), dtd[1].str());
    EXPECT_EQ(Match(preferred, R"re("height":(\d+))re"), dtd[2].str());
    EXPECT_NEAR(std::stod(Match(preferred, R"re("refreshHz":([\d.]+))re")), std::stod(dtd[3]), 0.001);
    EXPECT_NEAR(std::stod(Match(preferred, R"re("pixelClockMHz":([\d.]+))re")), std::stod(dtd[4]), 0.001);
}

INSTANTIATE_TEST_SUITE_P(SharedEdids, MonitorCommand, testing::ValuesIn(edidfiles::names),
                         [](const auto& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('-'));
                         });

TEST(MonitorCommand, ReportsAMonitorThatDoesNotAnswer) {
    for (const char* monitor : {"monitor=none", "monitorfault=noanswer", "monitorfault=datalow", "monitorfault=firstmiss"}) {
        Outcome run = RunZarnsim(std::string("--adapter ") + monitor + " monitor");
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("identifier 0x11223344"), std::string::npos) << monitor << "\n" << run.out;
        EXPECT_NE(run.out.find("not read"), std::string::npos) << run.out;
    }
}

// --- modes and the monitor's range limits ---------------------------------------------------------

struct RangeCase {
    const char* name;
    std::string monitor;
    unsigned width, height, hz;
    bool outside;
};

void PrintTo(const RangeCase& value, std::ostream* out) { *out << value.name; }

class ModesAndMonitorRange : public testing::TestWithParam<RangeCase> {};

TEST_P(ModesAndMonitorRange, MarksModesTheMonitorCannotShow) {
    const RangeCase& c = GetParam();
    Outcome run = RunZarnsim("--adapter 'rom=none,monitor=" + c.monitor + "' modes --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    char pattern[160];
    std::snprintf(pattern, sizeof pattern,
                  R"re("width":%u,"height":%u,"bitsPerPixel":8,"frequency":%u,[^}]*"outsideMonitorRange":(\w+))re",
                  c.width, c.height, c.hz);
    EXPECT_EQ(Match(run.out, pattern), c.outside ? "true" : "false");
}

const std::string eizo = edidfiles::PathOf("eizo-l788.bin");   // 59-61 Hz, 30-65 kHz, 110 MHz

INSTANTIATE_TEST_SUITE_P(
    Monitors, ModesAndMonitorRange,
    testing::Values(RangeCase{"InsideAllLimits", eizo, 1024, 768, 60, false},
                    RangeCase{"SixtyHertzAtItsHighestLine", eizo, 1280, 1024, 60, false},
                    RangeCase{"RefreshTooHigh", eizo, 640, 480, 75, true},
                    RangeCase{"LineRateTooHigh", eizo, 1600, 1200, 60, true},
                    RangeCase{"BuiltinMonitorLineRate", "builtin", 1280, 1024, 75, true},
                    RangeCase{"BuiltinMonitorInside", "builtin", 1152, 864, 75, false},
                    RangeCase{"NoMonitorNoLimits", "none", 1600, 1200, 85, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- script: children and power ---------------------------------------------------------------------

TEST(ScriptMonitorCommands, EnumerateChildrenAndSetPowerStates) {
    Outcome run = RunZarnsim("--adapter rom=none --json script -",
                             "children\nmode 0\npower monitor standby\npower monitor 6\npower monitor on\n"
                             "power adapter off\npower adapter on\npower 1 on\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> lines;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 8u) << run.out;
    EXPECT_NE(lines[0].find(R"re("type":"monitor","identifier":574908040)re"), std::string::npos) << lines[0];
    EXPECT_NE(lines[2].find(R"re("queryStatus":0,"setStatus":0,"monitorPower":"stand-by")re"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(R"re("queryStatus":87,"monitorPower":"stand-by")re"), std::string::npos)
        << "a refused query sends no set: " << lines[3];
    EXPECT_NE(lines[4].find(R"re("monitorPower":"on")re"), std::string::npos) << lines[4];
    EXPECT_NE(lines[5].find(R"re("device":4294967295,"state":4,"queryStatus":0,"setStatus":0,"monitorPower":"off")re"),
              std::string::npos) << "the adapter lost its power: " << lines[5];
    EXPECT_NE(lines[7].find(R"re("device":1,"state":1,"queryStatus":87)re"), std::string::npos) << lines[7];
}

TEST(ScriptMonitorCommands, RejectAMonitorThatIsNotThere) {
    for (const std::string& line : {std::string("power monitor sleep"), std::string("power screen on"),
                                    std::string("power monitor"), std::string("children adapter=3")}) {
        Outcome run = RunZarnsim("script -", line + "\n");
        EXPECT_EQ(run.exitCode, 2) << line;
        EXPECT_EQ(run.err.rfind("zarnsim: script line 1: ", 0), 0u) << run.err;
    }
}

}  // namespace
