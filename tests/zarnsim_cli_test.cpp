// The zarnsim command as a user runs it: the mode list of each adapter, request scripts, and the
// answers to bad input and to --help.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli_runner.h"

namespace {

using clirunner::Outcome;
using clirunner::ReadFile;
using clirunner::RunZarnsim;
using clirunner::TempPath;

struct Mode {
    unsigned index, width, height, bits, frequency;
};

// The modes of each adapter in `modes --json` output.
std::vector<std::vector<Mode>> ModesOfJson(const std::string& out) {
    std::vector<std::vector<Mode>> adapters;
    clirunner::Json json = clirunner::JsonOf(out);
    if (!json.is_object()) return adapters;
    for (const clirunner::Json& adapter : json["adapters"]) {
        std::vector<Mode> modes;
        for (const clirunner::Json& m : adapter["modes"]) {
            modes.push_back({m["modeIndex"].get<unsigned>(), m["width"].get<unsigned>(), m["height"].get<unsigned>(),
                             m["bitsPerPixel"].get<unsigned>(), m["frequency"].get<unsigned>()});
        }
        adapters.push_back(modes);
    }
    return adapters;
}

size_t LineCount(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

// --- modes --------------------------------------------------------------------------------------

struct ModesCase {
    const char* name;
    std::string adapters;
    std::vector<size_t> counts;
};

void PrintTo(const ModesCase& value, std::ostream* out) { *out << value.name; }

class ModesCommand : public ::testing::TestWithParam<ModesCase> {};

TEST_P(ModesCommand, ListsTheModesEachAdapterOffers) {
    Outcome run = RunZarnsim(GetParam().adapters + " modes --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("driver fault"), std::string::npos) << run.err;
    std::vector<std::vector<Mode>> adapters = ModesOfJson(run.out);
    ASSERT_EQ(adapters.size(), GetParam().counts.size()) << run.out.substr(0, 300);
    for (size_t a = 0; a < adapters.size(); ++a) {
        EXPECT_EQ(adapters[a].size(), GetParam().counts[a]) << "adapter " << a;
        // Every table starts with 640 x 480 at 60 Hz, 8, 16 and 24 bits per pixel.
        for (size_t i = 0; i < 3 && i < adapters[a].size(); ++i) {
            EXPECT_EQ(adapters[a][i].index, i);
            EXPECT_EQ(adapters[a][i].width, 640u);
            EXPECT_EQ(adapters[a][i].height, 480u);
            EXPECT_EQ(adapters[a][i].bits, 8u * (i + 1));
            EXPECT_EQ(adapters[a][i].frequency, 60u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Machines, ModesCommand,
    ::testing::Values(ModesCase{"Sixteen", "--adapter device=5,memory=16,rom=none", {158}},
                      ModesCase{"Eight", "--adapter device=5,memory=8,rom=none", {154}},
                      ModesCase{"Four", "--adapter device=5,memory=4,rom=none", {132}},
                      ModesCase{"SixteenThroughTheVideoBios", "--adapter device=5,memory=16", {51}},
                      ModesCase{"PrimaryAndSecondary",
                                "--adapter device=5,memory=16,rom=none --adapter device=4,memory=4,secondary",
                                {158, 132}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModesCommand, ModeIndex115Is1600x1200x32At85Hz) {
    Outcome run = RunZarnsim("--adapter device=5,memory=16,rom=none modes --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::vector<Mode>> adapters = ModesOfJson(run.out);
    ASSERT_EQ(adapters.size(), 1u);
    bool found = false;
    for (const Mode& m : adapters[0]) {
        if (m.index != 115) continue;
        found = true;
        EXPECT_EQ(m.width, 1600u);
        EXPECT_EQ(m.height, 1200u);
        EXPECT_EQ(m.bits, 32u);
        EXPECT_EQ(m.frequency, 85u);
    }
    EXPECT_TRUE(found);
}

// --- script -------------------------------------------------------------------------------------

TEST(ScriptCommand, AnswersEachRequestLineWithStatusInformationAndOutput) {
    const std::string script =
        "# the adapter identity, first with a buffer one byte short\n"
        "request IOCTL_VIDEO_QUERY_ADAPTER_ID out=7\n"
        "\n"
        "request IOCTL_VIDEO_QUERY_ADAPTER_ID out=8\n"
        "request 0x233F5C in=0102 out=16   # not a request the driver serves\n";
    Outcome run = RunZarnsim("--adapter device=5,memory=16 script - --json", script);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::vector<clirunner::Json> expected = {
        clirunner::Json::parse(R"({"line": 2, "status": 122, "information": 8, "output": ""})"),
        clirunner::Json::parse(R"({"line": 4, "status": 0, "information": 8, "output": "5d1a050001000000"})"),
        clirunner::Json::parse(R"({"line": 5, "status": 1, "information": 0, "output": ""})"),
    };
    EXPECT_EQ(clirunner::JsonLines(run.out), expected) << run.out;
}

class MalformedScriptLine : public ::testing::TestWithParam<std::string> {};

TEST_P(MalformedScriptLine, IsReportedWithItsLineNumberAndStopsTheScript) {
    const std::string script = "request IOCTL_VIDEO_QUERY_ADAPTER_ID out=8\n\n" + GetParam() +
                               "\nrequest IOCTL_VIDEO_QUERY_BIOS_VERSION out=32\n";
    Outcome run = RunZarnsim("script - --json", script);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find("line 3"), std::string::npos) << run.err;
    EXPECT_EQ(LineCount(run.err), 1u) << run.err;
    for (const clirunner::Json& line : clirunner::JsonLines(run.out)) {
        EXPECT_NE(line["line"], 4) << "the script went on after the bad line";
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, MalformedScriptLine,
                         ::testing::Values("request", "request NO_SUCH_REQUEST", "request 0x233F60 out=-1",
                                           "request 0x233F60 out=eight", "request 0x233F60 in=abc",
                                           "request 0x233F60 in=zz", "request 0x233F60 size=8",
                                           "request 0x233F60 adapter=1", "send 0x233F60"),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

// --- bad input and help -------------------------------------------------------------------------

class BadAdapterDescription : public ::testing::TestWithParam<std::string> {};

TEST_P(BadAdapterDescription, ExitsWithStatus2AndAOneLineError) {
    Outcome run = RunZarnsim("--adapter '" + GetParam() + "' modes");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(LineCount(run.err), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("zarnsim: ", 0), 0u) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Descriptions, BadAdapterDescription,
                         ::testing::Values("memory=5", "memory=", "memory=-4", "device=abc", "device=0x10000",
                                           "bogus=1", "secondary=1", "device=5,,memory=4", "", "altmem,memory=4",
                                           "regwindow=3", "rom=", "monitor=", "monitor=/nonexistent.bin",
                                           "monitor=" ZARN_SOURCE_DIR "/tests/data/edid/SOURCES.md", "monitorfault=bogus",
                                           "monitor=none,monitorfault=noanswer", "ddcattempts=0", "ddcattempts=9", "regcallback=maybe",
                                           "ddcattempts"),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

class HelpOption : public ::testing::TestWithParam<std::string> {};

TEST_P(HelpOption, PrintsUsageAndSucceeds) {
    Outcome run = RunZarnsim(GetParam());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Usage"), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Commands, HelpOption,
                         ::testing::Values("--help", "-h", "run --help", "modes --help", "script --help", "monitor --help"),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
