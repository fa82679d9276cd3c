// zarnsim as a person bringing up a card uses it: registry files across runs, the report of an
// unsupported device, mode sets with screenshots and timings, traces, and script commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli_runner.h"
#include "support/png_writer.h"
#include "kernel/regfile.h"
#include "kernel/registry.h"

namespace {

using clirunner::Outcome;
using clirunner::ReadFile;
using clirunner::RunZarnsim;
using clirunner::TempPath;

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// The first line of a hex list in a .reg file, value by value: "GammaTable"=hex:00,00,00,00,01,01,01,00,...
std::string IdentityRampStart() { return "=hex:00,00,00,00,01,01,01,00,02,02,02,00"; }

TEST(RegistryFile, FirstRunWritesBothRampsAndASecondRunReadsThemBack) {
    std::string path = TempPath("first.reg");
    std::ofstream(path).close();
    Outcome first = RunZarnsim("--registry '" + path + "' run");
    ASSERT_EQ(first.exitCode, 0) << first.err;
    std::string written = ReadFile(path);
    EXPECT_EQ(written.rfind("REGEDIT4", 0), 0u);
    EXPECT_NE(written.find("\"GammaTable\"" + IdentityRampStart()), std::string::npos) << written.substr(0, 300);
    EXPECT_NE(written.find("\"LumenGammaTable\"" + IdentityRampStart()), std::string::npos);
    EXPECT_NE(written.find("ff,ff,ff,00\r\n"), std::string::npos) << "entry 255 is 0x00FFFFFF";

    Outcome second = RunZarnsim("--registry '" + path + "' run");
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.out.find("registry values: GammaTable LumenGammaTable"), std::string::npos) << second.out;
    EXPECT_EQ(ReadFile(path), written) << "ramps that were read back are not rewritten";
    std::remove(path.c_str());
}

TEST(RegistryFile, ShortGammaTableIsReplacedWithTheIdentityRamp) {
    std::string path = TempPath("short.reg");
    std::string bytes;
    for (int i = 0; i < 1020; ++i) bytes += (i ? ",55" : "55");
    std::ofstream(path) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0]\n"
                        << "\"GammaTable\"=hex:" << bytes << "\n";
    Outcome run = RunZarnsim("--registry '" + path + "' run");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    sim::Registry registry;
    std::string error;
    ASSERT_TRUE(sim::LoadRegFileFromPath(path, registry, &error)) << error;
    const sim::RegValue* gamma =
        registry.GetValue("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0", "GammaTable");
    ASSERT_NE(gamma, nullptr);
    ASSERT_EQ(gamma->data.size(), 1024u);
    for (size_t i = 0; i < 256; ++i) {
        EXPECT_EQ(gamma->data[4 * i], i);
        EXPECT_EQ(gamma->data[4 * i + 2], i);
        EXPECT_EQ(gamma->data[4 * i + 3], 0);
    }
    std::remove(path.c_str());
}

TEST(RegistryFile, MalformedFileIsRefusedWithItsLineAndLeftUntouched) {
    std::string path = TempPath("bad.reg");
    const std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM]\n\"Name\"=dword:123456789\n";
    std::ofstream(path) << text;
    Outcome run = RunZarnsim("--registry '" + path + "' run");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("line 4"), std::string::npos) << run.err;
    EXPECT_EQ(Count(run.err, "\n"), 1u);
    EXPECT_EQ(ReadFile(path), text);
    std::remove(path.c_str());
}

TEST(Report, UnsupportedDeviceSaysSoAndPublishesNothing) {
    Outcome run = RunZarnsim("--adapter device=6 run --json");
    EXPECT_EQ(run.exitCode, 1) << "the adapter did not start";
    EXPECT_NE(run.out.find("\"status\": 55"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"hardwareInformation\": {}"), std::string::npos) << run.out;
    Outcome text = RunZarnsim("--adapter device=6 run");
    EXPECT_NE(text.out.find("device ID 6 is not one this driver serves"), std::string::npos) << text.out;
}

TEST(Report, DevicesReportTheirIdentityAndPath) {
    struct {
        const char* adapter;
        const char* chipType;
        const char* path;
        const char* biosString;
    } cases[] = {
        {"device=3", "Zarn Mistral Corvid", "bios", "VGA BIOS - Version 1.00.01"},
        {"device=4,rom=none", "Zarn Mistral Corvid Plus", "direct", "NO ROM DETECTED"},
        {"device=5,secondary", "Zarn Mistral 3", "direct", "SECONDARY DEVICE -- NO ROM ALLOWED"},
    };
    for (const auto& c : cases) {
        Outcome run = RunZarnsim(std::string("--adapter ") + c.adapter + " run --json");
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find(std::string("\"HardwareInformation.ChipType\": \"") + c.chipType + "\""), std::string::npos)
            << run.out;
        EXPECT_NE(run.out.find(std::string("\"modeSetPath\": \"") + c.path + "\""), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(std::string("\"HardwareInformation.BiosString\": \"") + c.biosString + "\""),
                  std::string::npos);
    }
}

TEST(ModeCommand, SetsTheModeAndSavesWhatTheMonitorShows) {
    std::string png = TempPath("screen.png");
    Outcome run = RunZarnsim("--adapter device=5,bios=refuse run --json --mode 640x480x16@75 --screenshot '" + png + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("\"mode\": {\"width\": 640, \"height\": 480, \"bitsPerPixel\": 16, \"refreshHz\": 75"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"timing\": {\"enabled\": true, \"width\": 640, \"height\": 480"), std::string::npos);
    EXPECT_NE(run.out.find("\"pixelClockMHz\": 31.5"), std::string::npos);
    sim::Image image;
    std::string error;
    ASSERT_TRUE(sim::ReadPng(png, &image, &error)) << error;
    EXPECT_EQ(image.width, 640u);
    EXPECT_EQ(image.height, 480u);
    std::remove(png.c_str());

    Outcome missing = RunZarnsim("run --mode 641x480x16@75");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("does not offer"), std::string::npos) << missing.err;
    Outcome malformed = RunZarnsim("run --mode big");
    EXPECT_EQ(malformed.exitCode, 2);
    EXPECT_EQ(Count(malformed.err, "\n"), 1u);
}

TEST(TimingsCommand, ListsEveryModeAndFlagsOnlyTheEntriesThatMissTheirRate) {
    Outcome run = RunZarnsim("--adapter rom=none timings --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("{\"adapters\": [{\"notOffered\": [], \"timings\": [", 0), 0u) << run.out.substr(0, 80);
    EXPECT_EQ(Count(run.out, "\"modeIndex\""), 158u);
    EXPECT_EQ(Count(run.out, "\"flagged\": true"), 2u);
}

TEST(TraceOption, WritesEveryAccessOfTheRun) {
    std::string path = TempPath("run.trace");
    Outcome run = RunZarnsim("--adapter secondary run --trace '" + path + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::string trace = ReadFile(path);
    EXPECT_NE(trace.find("W 32 mmio   0x000028 reg_28                   0x00000340"), std::string::npos) << trace.substr(0, 400);
    EXPECT_NE(trace.find("config [0x4]="), std::string::npos) << "the secondary is switched on";
    std::remove(path.c_str());
}

TEST(ScriptCommands, ModeResetAndScreenshot) {
    std::string png = TempPath("script.png");
    Outcome run = RunZarnsim("--adapter rom=none --json script -",
                             "mode 5\nscreenshot " + png + "\nreset\nreset\nmode 158\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("{\"status\": 0, \"timing\": {\"enabled\": true, \"width\": 640"), std::string::npos) << run.out;
    EXPECT_EQ(Count(run.out, "\"command\": \"reset\""), 2u);
    EXPECT_NE(run.out.find("{\"status\": 87, \"line\": 5, \"command\": \"mode\"}"), std::string::npos) << run.out;
    sim::Image image;
    std::string error;
    EXPECT_TRUE(sim::ReadPng(png, &image, &error)) << error;
    std::remove(png.c_str());

    Outcome bad = RunZarnsim("script -", "mode\n");
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_NE(bad.err.find("line 1"), std::string::npos);
}

}  // namespace

namespace {

TEST(FaultOption, MakesThePlatformCallFailAndIsCheckedForBadInput) {
    Outcome run = RunZarnsim("--fault GetDeviceBase@2 run --json");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("\"status\": 87"), std::string::npos) << run.out;
    Outcome passthrough = RunZarnsim("--fault GetAccessRanges=31 run --json");
    EXPECT_NE(passthrough.out.find("\"status\": 31"), std::string::npos) << passthrough.out;
    for (const char* bad : {"--fault Bogus", "--fault GetDeviceBase@x", "--fault GetDeviceBase=-1"}) {
        Outcome refused = RunZarnsim(std::string(bad) + " run");
        EXPECT_EQ(refused.exitCode, 2) << bad;
        EXPECT_EQ(Count(refused.err, "\n"), 1u) << bad;
    }
}

}  // namespace
