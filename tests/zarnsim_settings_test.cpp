// zarnsim as a person tries the settings relay and the colours: script commands that read and write
// settings as the 3D drivers do, set the palette and the gamma ramp, and an 8-bit mode shown in the
// display driver's palette through the stored ramp.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli_runner.h"
#include "support/png_writer.h"

namespace {

using clirunner::Outcome;
using clirunner::ReadFile;
using clirunner::RunZarnsim;
using clirunner::TempPath;

const char* const RegistryText =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\OpenGLDrivers]\n"
    "\"Zarn\"=\"example.dll\"\n\n"
    "[HKEY_CURRENT_USER\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0\\Lumen]\n"
    "\"LuLevel\"=dword:00000005\n"
    "\"LuOwn\"=dword:00000006\n\n"
    "[HKEY_USERS\\CurrentUser\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0\\Lumen]\n"
    "\"LuLevel\"=dword:00000003\n"
    "\"ZRb\"=hex:01,02,03,04\n";

struct ScriptLine {
    std::string command;
    std::string answer;   // what its line of output says
};

TEST(SettingsScript, ReadsAndWritesSettingsAndColoursAsThe3DDriversDo) {
    const std::vector<ScriptLine> lines = {
        {"read-setting Zarn", "status 0 NO_ERROR, type 1 REG_SZ, size 12, value \"example.dll\""},
        // The relay's current-user paths name \Registry\User\CurrentUser, which this file creates; the
        // user's own hive (HKEY_CURRENT_USER) is never searched.
        {"read-setting LuLevel", "type 4 REG_DWORD, size 4, value 0x00000003 (3)"},
        {"read-setting LuOwn", "read-setting LuOwn: status 87 ERROR_INVALID_PARAMETER"},
        // Too large for the reply's size field: the device parameter is read instead, and there is none.
        {"read-setting ZRb size=3", "read-setting ZRb: status 87 ERROR_INVALID_PARAMETER"},
        {"read-setting ZRb size=4", "type 3 REG_BINARY, size 4, value 01020304"},
        {"read-setting ZRb in=3", "status 87"},
        {"write-setting ZRSpeed sz \" 42\"", "write-setting ZRSpeed: status 0 NO_ERROR"},
        {"read-setting ZRSpeed", "type 1 REG_SZ, size 4, value \" 42\""},
        {"write-setting List 7 0000", "write-setting List: status 87"},
        {"palette 255 ff0000 00ff00", "palette 2 entries from 255: status 87"},
        {"palette 10 ff0000 00ff00", "palette 2 entries from 10: status 0 NO_ERROR"},
        {"gamma inverse", "gamma inverse: status 0 NO_ERROR"},
    };
    std::string path = TempPath("settings.reg");
    std::ofstream(path) << RegistryText;
    std::string script;
    for (const ScriptLine& line : lines) script += line.command + "\n";
    Outcome run = RunZarnsim("--registry '" + path + "' --system-file example.dll --check-aliasing script -", script);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string prefix = "line " + std::to_string(i + 1) + ": ";
        size_t at = run.out.find(prefix);
        ASSERT_NE(at, std::string::npos) << run.out;
        std::string answer = run.out.substr(at, run.out.find('\n', at) - at);
        EXPECT_NE(answer.find(lines[i].answer), std::string::npos) << answer;
    }
    std::string saved = ReadFile(path);
    EXPECT_NE(saved.find("\"ZRSpeed\"=\" 42\""), std::string::npos) << "the relay's value is saved";
    EXPECT_NE(saved.find("[HKEY_CURRENT_USER\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0\\Lumen]\r\n"
                         "\"LuLevel\"=dword:00000005\r\n\"LuOwn\"=dword:00000006\r\n\r\n"
                         "[HKEY_USERS\\CurrentUser\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0\\Lumen]\r\n"
                         "\"LuLevel\"=dword:00000003\r\n\"ZRb\"=hex:01,02,03,04\r\n"),
              std::string::npos)
        << saved;
    std::remove(path.c_str());

    Outcome missing = RunZarnsim("script -", "read-setting Zarn\n");
    EXPECT_NE(missing.out.find("status 87"), std::string::npos) << "without --system-file the driver file is missing";
}

// The registry file keeps every change it can hold, in the encoding it came in: a setting whose name
// holds a line break is named and left out, and the rest of the run's changes are saved.
TEST(SettingsScript, RegistryFileKeepsEveryChangeItCanHoldInItsEncoding) {
    struct Case {
        const char* label;
        std::string head;        // what the file starts with
        std::string script;
        std::string error;       // on standard error
    };
    const std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0]\r\n";
    const Case cases[] = {
        {"name with a line break", "REGEDIT4\r\n",
         "write-setting \"ZRa\rb\" dword 1\nwrite-setting ZRkept dword 2\n", "the name holds a line break"},
        {"UTF-8 file", "\xEF\xBB\xBFREGEDIT4\r\n", "write-setting ZRkept dword 2\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string path = TempPath("keep.reg");
        std::ofstream(path) << c.head << "\r\n" << key;
        Outcome run = RunZarnsim("--registry '" + path + "' script -", c.script);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        if (c.error.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
        }
        std::string saved = ReadFile(path);
        EXPECT_EQ(saved.rfind(c.head, 0), 0u) << saved;
        EXPECT_NE(saved.find("\"ZRkept\"=dword:00000002\r\n"), std::string::npos) << saved;
        EXPECT_EQ(saved.find("ZRa"), std::string::npos) << saved;
        std::remove(path.c_str());
    }
}

TEST(SettingsScript, RefusesMalformedCommandsWithTheirLine) {
    const std::vector<std::string> bad = {"read-setting", "read-setting X size=-1", "write-setting X sz",
                                          "write-setting X dword 12z", "palette 0 fff", "gamma /no/such/ramp",
                                          "palette 0 ff0000 adapter=3"};
    for (const std::string& line : bad) {
        Outcome run = RunZarnsim("script -", "\n" + line + "\n");
        EXPECT_EQ(run.exitCode, 2) << line;
        EXPECT_EQ(run.err.rfind("zarnsim: script line 2: ", 0), 0u) << line << ": " << run.err;
    }
}

struct ScreenCase {
    const char* name;
    std::string registry;   // extra .reg lines for the device key
    uint32_t yellowBar;     // what the second bar shows
    uint32_t redCorner;
};

class PaletteScreenshot : public testing::TestWithParam<ScreenCase> {};

// The display driver's palette holds the pattern's pure colours exactly, so the bars show them, through
// the ramp stored in the registry.
TEST_P(PaletteScreenshot, ShowsThePaletteColoursThroughTheStoredRamp) {
    std::string reg = TempPath("screen.reg");
    std::string png = TempPath("screen8.png");
    std::ofstream(reg) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0]\n"
                       << GetParam().registry;
    Outcome run = RunZarnsim("--registry '" + reg + "' run --mode 640x480x8@60 --screenshot '" + png + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    sim::Image image;
    std::string error;
    ASSERT_TRUE(sim::ReadPng(png, &image, &error)) << error;
    EXPECT_EQ(image.At(120, 100), GetParam().yellowBar);
    EXPECT_EQ(image.At(0, 0), GetParam().redCorner);
    std::remove(reg.c_str());
    std::remove(png.c_str());
}

std::string InverseRampLine() {
    std::string line = "\"GammaTable\"=hex:";
    char byte[8];
    for (int i = 0; i < 256; ++i) {
        for (int k = 0; k < 4; ++k) {
            std::snprintf(byte, sizeof byte, "%s%02x", i || k ? "," : "", k < 3 ? 255 - i : 0);
            line += byte;
        }
    }
    return line + "\n";
}

INSTANTIATE_TEST_SUITE_P(Ramps, PaletteScreenshot,
                         testing::Values(ScreenCase{"Identity", "", 0xFFFF00, 0xFF0000},
                                         ScreenCase{"Inverse", InverseRampLine(), 0x0000FF, 0x00FFFF}),
                         [](const testing::TestParamInfo<ScreenCase>& info) { return std::string(info.param.name); });

// The system's code page decides how relayed text converts: hiragana A is '?' on a Western system
// and a byte pair on a Japanese one.
TEST(CodePageOption, ConvertsRelayedTextAsThatSystemDoes) {
    std::string path = TempPath("codepage.reg");
    std::ofstream(path) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0]\n"
                           "\"ZRk\"=hex(1):42,30,41,00,00,00\n";
    const std::pair<const char*, const char*> pages[] = {{"", "size 3, value \"?A\""},
                                                         {"--code-page 932 ", "size 4, value \"\\x82\\xa0A\""}};
    for (const auto& [option, answer] : pages) {
        Outcome run = RunZarnsim(std::string(option) + "--registry '" + path + "' script -", "read-setting ZRk\n");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find(answer), std::string::npos) << run.out;
    }
    std::remove(path.c_str());
    Outcome refused = RunZarnsim("--code-page 1252 modes");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("--code-page"), std::string::npos) << refused.err;
}

}  // namespace
