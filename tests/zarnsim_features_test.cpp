// zarnsim as a person bringing up a card uses it: registry files across runs, the report of an
// unsupported device, mode sets with screenshots and timings, traces, and script commands.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <string>
#include <vector>

#include "devices/adapter_description.h"
#include "cli_runner.h"
#include "devices/option_rom.h"
#include "support/png_writer.h"
#include "kernel/regfile.h"
#include "kernel/registry.h"
#include "support/text_format.h"

namespace {

using clirunner::Count;
using clirunner::Outcome;
using clirunner::ReadFile;
using clirunner::RunZarnsim;
using clirunner::TempPath;

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

// A ramp the platform fails to read (here the third registry read, "GammaTable", with status 1450)
// is written back byte for byte, not replaced by the identity ramp.
TEST(RegistryFile, StoredRampSurvivesAFailedRead) {
    std::string path = TempPath("ramp.reg");
    std::string bytes;
    for (int i = 0; i < 1024; ++i) bytes += (i ? "," : "") + sim::Format("%02x", (i * 37 + 11) & 0xFF);
    std::ofstream(path) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0]\n"
                        << "\"GammaTable\"=hex:" << bytes << "\n";
    sim::Registry before;
    std::string error;
    ASSERT_TRUE(sim::LoadRegFileFromPath(path, before, &error)) << error;
    Outcome run = RunZarnsim("--fault GetRegistryParameters@3=1450 --registry '" + path + "' run");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    sim::Registry after;
    ASSERT_TRUE(sim::LoadRegFileFromPath(path, after, &error)) << error;
    const std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0";
    ASSERT_NE(after.GetValue(key, "GammaTable"), nullptr);
    EXPECT_EQ(after.GetValue(key, "GammaTable")->data, before.GetValue(key, "GammaTable")->data);
    EXPECT_NE(run.out.find("gamma identity"), std::string::npos) << "the identity ramp is used meanwhile";
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
    clirunner::Json adapter = clirunner::JsonOf(run.out)["adapters"][0];
    EXPECT_EQ(adapter["status"], 55) << run.out;
    EXPECT_EQ(adapter["hardwareInformation"], clirunner::Json::object()) << run.out;
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
        clirunner::Json adapter = clirunner::JsonOf(run.out)["adapters"][0];
        EXPECT_EQ(adapter["hardwareInformation"]["HardwareInformation.ChipType"], c.chipType) << run.out;
        EXPECT_EQ(adapter["modeSetPath"], c.path) << run.out;
        EXPECT_EQ(adapter["hardwareInformation"]["HardwareInformation.BiosString"], c.biosString) << run.out;
    }
}

TEST(ModeCommand, SetsTheModeAndSavesWhatTheMonitorShows) {
    std::string png = TempPath("screen.png");
    Outcome run = RunZarnsim("--adapter device=5,bios=refuse run --json --mode 640x480x16@75 --screenshot '" + png + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    clirunner::Json adapter = clirunner::JsonOf(run.out)["adapters"][0];
    EXPECT_EQ(adapter["mode"], clirunner::Json::parse(R"({"width": 640, "height": 480, "bitsPerPixel": 16,
                                                         "refreshHz": 75, "screenStride": 1280})"))
        << run.out;
    EXPECT_EQ(adapter["timing"]["enabled"], true);
    EXPECT_EQ(adapter["timing"]["width"], 640);
    EXPECT_EQ(adapter["timing"]["height"], 480);
    EXPECT_EQ(adapter["timing"]["pixelClockMHz"], 31.5);
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

// A board no BIOS has run on, beside the primary, is brought up as a secondary under either reading
// of the bus driver's start: the report says so and both screens show the same drawn test pattern.
TEST(PciStartOption, ReportSaysWhatTheDriverConcludedAndTheScreenShowsIt) {
    std::vector<uint32_t> pattern;
    for (const char* start : {"keep", "enable"}) {
        SCOPED_TRACE(start);
        std::string png = TempPath("pcistart.png");
        Outcome run = RunZarnsim(std::string("--adapter device=5 --adapter device=4,memory=8,secondary,pcistart=") + start +
                                 " run --json --mode 640x480x16@60 --display 1 --screenshot '" + png + "'");
        ASSERT_EQ(run.exitCode, 0) << run.err;
        clirunner::Json adapter = clirunner::JsonOf(run.out)["adapters"][1];
        EXPECT_EQ(adapter["pciStart"], start);
        EXPECT_EQ(adapter["driverConcluded"], "secondary");
        sim::Image image;
        std::string error;
        ASSERT_TRUE(sim::ReadPng(png, &image, &error)) << error;
        std::remove(png.c_str());
        ASSERT_EQ(image.width, 640u);
        if (pattern.empty()) pattern = image.pixels;
        EXPECT_EQ(image.pixels, pattern);
    }
    Outcome text = RunZarnsim("--adapter device=5 --adapter device=4,memory=8,secondary run");
    EXPECT_NE(text.out.find("switched decoding on), taken by the driver for a secondary"), std::string::npos) << text.out;
    EXPECT_EQ(RunZarnsim("--adapter pcistart=on run").exitCode, 2);
}

TEST(TimingsCommand, ListsEveryModeAndFlagsOnlyTheEntriesThatMissTheirRate) {
    Outcome run = RunZarnsim("--adapter rom=none timings --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    clirunner::Json adapter = clirunner::JsonOf(run.out)["adapters"][0];
    EXPECT_EQ(adapter.begin().key(), "notOffered");
    EXPECT_EQ(adapter["notOffered"], clirunner::Json::array());
    ASSERT_EQ(adapter["timings"].size(), 158u);
    size_t flagged = 0;
    for (const clirunner::Json& row : adapter["timings"]) flagged += row["flagged"].get<bool>();
    EXPECT_EQ(flagged, 2u);
}

TEST(TraceOption, WritesEveryAccessOfTheRun) {
    std::string path = TempPath("run.trace");
    Outcome run = RunZarnsim("--adapter secondary,pcistart=keep run --trace '" + path + "'");
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
    std::vector<clirunner::Json> lines = clirunner::JsonLines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    EXPECT_EQ(lines[0]["status"], 0);
    EXPECT_EQ(lines[0]["timing"]["enabled"], true);
    EXPECT_EQ(lines[0]["timing"]["width"], 640);
    EXPECT_EQ(lines[2]["command"], "reset");
    EXPECT_EQ(lines[3]["command"], "reset");
    EXPECT_EQ(lines[4], clirunner::Json::parse(R"({"status": 87, "line": 5, "command": "mode"})")) << run.out;
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
    EXPECT_EQ(clirunner::JsonOf(run.out)["adapters"][0]["status"], 87) << run.out;
    Outcome passthrough = RunZarnsim("--fault GetAccessRanges=31 run --json");
    EXPECT_EQ(clirunner::JsonOf(passthrough.out)["adapters"][0]["status"], 31) << passthrough.out;
    for (const char* bad : {"--fault Bogus", "--fault GetDeviceBase@x", "--fault GetDeviceBase=-1"}) {
        Outcome refused = RunZarnsim(std::string(bad) + " run");
        EXPECT_EQ(refused.exitCode, 2) << bad;
        EXPECT_EQ(Count(refused.err, "\n"), 1u) << bad;
    }
}

// --- What the command shows of untrusted text, and its exit statuses ------------------------------

bool PrintableAscii(const std::string& text) {
    for (unsigned char c : text) {
        if (c != '\n' && (c < 0x20 || c > 0x7E)) return false;
    }
    return true;
}

// A ROM whose version text holds an escape sequence, a bell and a Latin-1 byte reaches the terminal
// as visible escapes and the JSON as UTF-8.
TEST(UntrustedText, RomTextsAreEscapedOnTheTerminalAndUtf8InJson) {
    std::vector<uint8_t> rom = sim::BuiltinRom(0x1A5D, 5);
    const std::string version = std::string("Version 1.0\x1b[2J\xe9\x07 Zarn Mistral") + '\0';
    std::copy(version.begin(), version.end(), rom.begin() + 0x40);
    sim::SealRomChecksum(rom);
    std::string path = TempPath("hostile.rom");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(rom.data()), static_cast<std::streamsize>(rom.size()));

    Outcome text = RunZarnsim("--adapter rom=" + path + " run");
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(PrintableAscii(text.out)) << text.out;
    EXPECT_NE(text.out.find("version text \"1.0\\x1b[2J\\xe9\\x07 Zarn Mistral\""), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("BiosString = VGA BIOS - Version 1.0\\x1b[2J\\xe9\\x07\n"), std::string::npos) << text.out;

    Outcome json = RunZarnsim("--adapter rom=" + path + " run --json");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    clirunner::Json adapter = clirunner::JsonOf(json.out)["adapters"][0];   // fails on invalid UTF-8
    EXPECT_EQ(adapter["rom"]["versionText"], "1.0\x1b[2J\u00e9\x07 Zarn Mistral");
    EXPECT_EQ(adapter["hardwareInformation"]["HardwareInformation.BiosString"], "VGA BIOS - Version 1.0\x1b[2J\u00e9\x07");

    Outcome script = RunZarnsim("script -", "mode\x1b[2J 0\n");
    EXPECT_EQ(script.exitCode, 2);
    EXPECT_TRUE(PrintableAscii(script.err)) << script.err;
    EXPECT_NE(script.err.find("unknown command 'mode\\x1b[2J'"), std::string::npos) << script.err;
    std::remove(path.c_str());
}

TEST(JsonReport, ClockNeverSetIsNullAndASetOneIsInMegahertz) {
    struct {
        const char* adapter;
        clirunner::Json graphicsMHz;
        clirunner::Json memoryMHz;
    } cases[] = {
        {"device=5", 143.182, nullptr},
        {"device=3,secondary", 100.227, 110.071},
    };
    for (const auto& c : cases) {
        Outcome run = RunZarnsim(std::string("--adapter ") + c.adapter + " run --json");
        ASSERT_EQ(run.exitCode, 0) << run.err;
        clirunner::Json clocks = clirunner::JsonOf(run.out)["adapters"][0]["clocks"];
        EXPECT_EQ(clocks["graphicsMHz"], c.graphicsMHz) << c.adapter << ": " << clocks;
        EXPECT_EQ(clocks["memoryMHz"], c.memoryMHz) << c.adapter << ": " << clocks;
        EXPECT_EQ(clocks["memoryPll"].is_number(), true) << clocks;
    }
}

TEST(Help, ListsEveryAdapterKeyAndTheExitStatuses) {
    Outcome help = RunZarnsim("--help");
    ASSERT_EQ(help.exitCode, 0);
    for (const sim::AdapterKey& key : sim::AdapterDescriptionKeys()) {
        EXPECT_NE(help.out.find(key.usage), std::string::npos) << key.usage;
        // The key is one the parser knows: a bad value is refused for its value, not as an unknown key.
        Outcome bad = RunZarnsim(std::string("--adapter ") + key.key + "=@@ modes");
        EXPECT_EQ(bad.exitCode, 2) << key.key;
        EXPECT_EQ(bad.err.find("unknown adapter key"), std::string::npos) << bad.err;
    }
    for (const char* status : {"0 success", "1 an adapter did not start", "2 bad input", "3 the simulator reported a driver fault",
                               "4 the debugger ended the run", "5 the simulated machine ran out of a resource"}) {
        EXPECT_NE(help.out.find(status), std::string::npos) << status;
    }
}

TEST(ScriptFile, DirectoryOrMissingFileIsAOneLineError) {
    for (const std::string& file : {::testing::TempDir(), TempPath("no-such-script")}) {
        Outcome run = RunZarnsim("script '" + file + "'");
        EXPECT_EQ(run.exitCode, 2) << file;
        EXPECT_EQ(Count(run.err, "\n"), 1u) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// A registry file that cannot be written back is refused before the machine runs, and what the
// path names is left as it was.
TEST(RegistryFile, PathsThatCannotBeSavedAreRefusedBeforeBoot) {
    std::string fifo = TempPath("registry.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct {
        std::string path;
        const char* mention;
    } cases[] = {{fifo, "FIFO"}, {::testing::TempDir(), "directory"}, {"/dev/zero", "larger than 64 MiB"}};
    for (const auto& c : cases) {
        Outcome run = RunZarnsim("--registry '" + c.path + "' run");
        EXPECT_EQ(run.exitCode, 2) << c.path;
        EXPECT_EQ(run.out, "") << c.path;
        EXPECT_EQ(Count(run.err, "\n"), 1u) << run.err;
        EXPECT_NE(run.err.find(c.mention), std::string::npos) << run.err;
    }
    struct stat info {};
    ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    std::remove(fifo.c_str());

    // A null device serves as a registry that starts empty and keeps nothing. (A node of the test's
    // own where root may make one; a user who is not root could not replace /dev/null anyway.)
    std::string null = TempPath("null");
    if (::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) null = "/dev/null";
    Outcome scratch = RunZarnsim("--registry '" + null + "' run");
    EXPECT_EQ(scratch.exitCode, 0) << scratch.err;
    ASSERT_EQ(::stat(null.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    if (null != "/dev/null") std::remove(null.c_str());
}

// A run in which the simulator saw a driver fault has its own exit status, also when an adapter did
// not start as well; the fault is reported on a line of its own after the report.
TEST(ExitStatus, DriverFaultsExitWithThree) {
    // The write that puts the ROM register back fails twice: the ROM is left enabled.
    const std::string romLeftEnabled = "--fault SetBusData@3 --fault SetBusData@4 ";
    struct {
        std::string arguments;
        int status;
    } cases[] = {
        {"run", 0},
        {"--adapter device=6 run", 1},
        {romLeftEnabled + "run", 3},
        {romLeftEnabled + "--adapter device=5 --adapter device=5,secondary modes", 3},
        {romLeftEnabled + "script -", 3},
        {romLeftEnabled + "--bogus run", 2},
    };
    for (const auto& c : cases) {
        Outcome run = RunZarnsim(c.arguments);
        EXPECT_EQ(run.exitCode, c.status) << c.arguments << "\n" << run.err;
        if (c.status == 3) {
            EXPECT_NE(run.err.find("driver fault (adapter 0): failed discovery left the option ROM"), std::string::npos);
        }
    }
    // Eight adapters' reports fill more than one output buffer before the fault is printed.
    std::string adapters;
    for (int i = 0; i < 8; ++i) adapters += " --adapter device=5";
    std::string merged = clirunner::RunZarnsimMerged(romLeftEnabled + adapters + " run");
    size_t fault = merged.find("driver fault (adapter 0)");
    ASSERT_NE(fault, std::string::npos) << merged;
    EXPECT_EQ(merged[fault - 1], '\n') << merged.substr(fault > 80 ? fault - 80 : 0, 160);
    EXPECT_GT(fault, merged.find("Adapter 7:")) << "the fault follows the report";
}

}  // namespace
