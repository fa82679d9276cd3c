// Both builds of the driver in the same scenarios: the host build linked into this program and the
// shipped zarn.sys on the emulated i386 processor must give every caller the same answers (status,
// Information, output bytes, the reports), make the same hardware accesses in the same order, leave
// the same registry and draw the same faults from the instruments. A difference fails naming the
// first differing answer, access, registry line or fault.
//
// What the two builds may differ in is left out of the comparison: the code addresses of the
// callbacks (each build's own) and the layout of the device extension (the host's record holds
// 8-byte pointers), which no caller or hardware sees.
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <set>

#include "builds_run.h"
#include "dispatch/served_codes.h"

namespace {

using builds::Scenario;

std::string DriverImage() {
    std::ifstream file(ZARN_SYS, std::ios::binary);
    return file ? ZARN_SYS : "";
}

// --- The scenarios ----------------------------------------------------------------------------------

// What a display driver and a 3D driver do with a booted adapter.
const char* const SessionScript =
    "request IOCTL_VIDEO_QUERY_ADAPTER_ID out=8\n"
    "request IOCTL_VIDEO_QUERY_BIOS_VERSION out=32\n"
    "request IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES out=8\n"
    "request IOCTL_VIDEO_QUERY_AVAIL_MODES out=4096\n"
    "request IOCTL_VIDEO_QUERY_AVAIL_MODES out=100\n"
    "mode 2\n"
    "request IOCTL_VIDEO_QUERY_CURRENT_MODE out=80\n"
    "request IOCTL_VIDEO_MAP_VIDEO_MEMORY in=00000000 out=16\n"
    "write 0x93001000 ff00ff00ff00ff00\n"
    "request IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES out=24\n"
    "palette 0 ff0000 00ff00 0000ff 808080\n"
    "palette 255 ff0000 00ff00\n"
    "gamma inverse\n"
    "request IOCTL_VIDEO_GET_GAMMA_TABLE out=1024\n"
    "request IOCTL_VIDEO_GET_POWER_MANAGEMENT out=12\n"
    "request IOCTL_VIDEO_SET_POWER_MANAGEMENT in=0c0000000000000001000000\n"
    "request IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS in=00 out=4\n"
    "request IOCTL_VIDEO_QUERY_COLOR_CAPABILITIES out=44\n"
    "request 0x23fff0 in=01020304 out=4\n"
    "read-setting ZRSpeed\n"
    "write-setting ZRSpeed dword 7\n"
    "read-setting ZRSpeed\n"
    "reset\n"
    "request IOCTL_VIDEO_RESET_DEVICE\n"
    "mode 40\n"
    "request IOCTL_VIDEO_UNMAP_VIDEO_MEMORY in=00100093\n"
    "request IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES in=0000019000d00000\n";

// The 3D drivers' own mapping requests in other processes, the memory they touch, and their undo;
// then a process that may get the ended one's object address.
const char* const MappingScript =
    "process 2\n"
    "request IOCTL_VIDEO_MAP_APERTURES in=ffffffff out=24\n"
    "request IOCTL_VIDEO_FIND_MAPPING in=00000001 out=8\n"
    "request IOCTL_VIDEO_FIND_MAPPING in=00000010 out=8\n"
    "write 0x03010000 0102030405060708\n"
    "read 0x03010000 8\n"
    "request IOCTL_VIDEO_ALLOCATE_CONTIGUOUS in=00100000 out=4\n"
    "request IOCTL_VIDEO_MAP_PHYSICAL_PAGES in=0000ff8300100000 out=4\n"
    "request IOCTL_VIDEO_MAP_PHYSICAL_PAGES in=0000008000100000 out=4\n"
    "views\n"
    "request IOCTL_VIDEO_SHARE_VIDEO_MEMORY in=ffffffff000000000000010000000000 out=12\n"
    "fill 0x04020000 64 0x5a\n"
    "request IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY in=ffffffff000000000000010000000204\n"
    "request IOCTL_VIDEO_UNMAP_APERTURES in=0000000100000103ffffffff\n"
    "process 3\n"
    "request IOCTL_VIDEO_SHARE_VIDEO_MEMORY in=08100000000000000000100000000000 out=12\n"
    "request IOCTL_VIDEO_MAP_APERTURES in=0c100000 out=24\n"
    "request IOCTL_VIDEO_MAP_APERTURES in=2a000000 out=24\n"
    "views\n"
    "end-process 2\n"
    "read 0x01000000 4\n"
    "request IOCTL_VIDEO_FIND_MAPPING in=00000001 out=8\n"
    "process 4\n"
    "request IOCTL_VIDEO_FIND_MAPPING in=00000001 out=8\n"
    "request IOCTL_VIDEO_MAP_PHYSICAL_PAGES in=0000f08300100000 out=4\n"
    "request IOCTL_VIDEO_ALLOCATE_CONTIGUOUS in=00100000 out=4\n";

const char* const MonitorScript =
    "children\n"
    "power monitor standby\n"
    "power monitor suspend\n"
    "power monitor off\n"
    "power monitor on\n"
    "mode 3\n"
    "power adapter suspend\n"
    "power adapter on\n"
    "power adapter off\n"
    "power adapter on\n"
    "power adapter hibernate\n"
    "power 7 on\n"
    "children\n"
    "mode 3\n";

const char* const SettingsRegistry =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\OpenGLDrivers]\n"
    "\"Zarn\"=\"example.dll\"\n\n"
    "[HKEY_CURRENT_USER\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0\\Lumen]\n"
    "\"LuOwn\"=dword:00000006\n\n"
    "[HKEY_USERS\\CurrentUser\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0\\Lumen]\n"
    "\"LuLevel\"=dword:00000003\n"
    "\"ZRb\"=hex:01,02,03,04\n"
    "\"LumenGammaTable\"=hex:01,02\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0]\n"
    "\"MiniportDebugLevel\"=dword:00000002\n"
    "\"UseSoftwareCursor\"=hex:01\n"
    "\"GraphicsClocking\"=dword:0000008c\n"
    "\"KMTC4_Mode\"=\"12\"\n"
    "\"ZRText\"=hex(2):25,00,41,00,00,00\n";

const char* const SettingsScript =
    "read-setting Zarn\n"
    "read-setting LuLevel\n"
    "read-setting ZRb size=3\n"
    "read-setting ZRb size=4\n"
    "read-setting ZRb in=3\n"
    "read-setting ZRText\n"
    "read-setting KMTC4_Mode\n"
    "read-setting LumenGammaTable size=1024 in=16\n"
    "read-setting MiniportDebugLevel\n"
    "read-setting Nothing\n"
    "write-setting ZRSpeed sz \" 42\"\n"
    "read-setting ZRSpeed\n"
    "write-setting ZRb binary 0a0b\n"
    "write-setting KMTC4_Mode sz 9\n"
    "write-setting List 7 0000\n"
    "write-setting LumenGammaTable binary 00010203\n"
    "mode 0\n"
    "palette 10 ff0000 00ff00\n"
    "gamma identity\n"
    "gamma inverse\n"
    "request IOCTL_VIDEO_GET_GAMMA_TABLE out=1024\n";

const std::string Edid = std::string(ZARN_SOURCE_DIR) + "/tests/data/edid/";

Scenario On(const std::string& name, std::vector<std::string> adapters) {
    Scenario scenario;
    scenario.name = name;
    scenario.adapters = std::move(adapters);
    return scenario;
}

std::vector<Scenario> Boots() {
    std::vector<Scenario> boots = {
        On("PrimaryWithRom", {"device=5,memory=16"}),
        On("PrimaryWithoutRom", {"device=5,memory=16,rom=none"}),
        On("BiosRefusesEveryMode", {"device=5,bios=refuse"}),
        On("BiosAcceptsTwoModes", {"device=4,memory=8,bios=0x111,0x117"}),
        On("BiosLoadsItsOwnTiming", {"device=5,timing=own"}),
        On("Corvid4MiB", {"device=3,memory=4"}),
        On("CorvidPlus8MiBOn66MHz", {"device=4,memory=8,bus66"}),
        On("AlternativeMemory", {"device=5,memory=16,altmem,revision=2"}),
        On("OtherSubsystem", {"device=5,subvendor=0x1234,subsystem=0x5678,regwindow=16"}),
        On("UnknownDevice", {"device=9"}),
        On("PrimaryAndSecondary", {"device=5,memory=16", "device=4,memory=4,secondary"}),
        On("ThreeAdapters", {"device=5,memory=8", "device=3,memory=4,secondary,bus66", "device=4,memory=16,secondary,rom=none"}),
        On("SecondaryFoundWithDecodingOff", {"device=5,memory=16", "device=4,memory=8,secondary,pcistart=keep"}),
        On("WindowsListedWithoutTheRom", {"device=5,memory=16,ranges=bars", "device=4,memory=4,secondary,ranges=bars"}),
    };
    for (Scenario& boot : boots) boot.script = SessionScript;
    // Discovery refusing an adapter at the range step and for want of mode tables.
    boots.push_back(On("RegisterWindowTooSmall", {"device=5,regwindow=1"}));
    boots.push_back(On("FiveAdapters", {"device=5,memory=4", "device=4,memory=4", "device=3,memory=4",
                                        "device=5,memory=8", "device=4,memory=8"}));
    return boots;
}

std::vector<Scenario> ModeSets() {
    std::vector<Scenario> sets = {
        On("EveryModeThroughTheBios", {"device=5,memory=16"}),
        On("EveryModeProgrammedDirectly", {"device=5,memory=16,rom=none"}),
        On("EveryModeOfACorvid", {"device=3,memory=4,bios=refuse"}),
        On("EveryModeOfASecondary", {"device=5,memory=8", "device=4,memory=8,secondary"}),
    };
    for (Scenario& set : sets) set.everyMode = true;
    return sets;
}

std::vector<Scenario> Sessions() {
    std::vector<Scenario> sessions;
    for (const char* mode : {"640x480x8@60", "800x600x16@75", "1024x768x16@85", "1024x768x24@60", "1280x1024x24@85"}) {
        Scenario session = On(std::string("Session") + mode, {"device=5,memory=16"});
        for (char& c : session.name) if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        session.session = mode;
        sessions.push_back(session);
    }
    Scenario direct = On("SessionProgrammedDirectly", {"device=4,memory=8,rom=none"});
    direct.session = "800x600x8@85";
    sessions.push_back(direct);
    Scenario aliasing = On("SessionWithTheAliasingCheck", {"device=5,memory=16"});
    aliasing.checkAliasing = true;
    aliasing.script = std::string(SessionScript) + MappingScript;
    sessions.push_back(aliasing);
    Scenario mapping = On("MappingRequestsOfOtherProcesses", {"device=5,memory=16"});
    mapping.script = MappingScript;
    sessions.push_back(mapping);
    Scenario settings = On("SettingsAndColours", {"device=5,memory=16"});
    // A relayed binary value of 1028 bytes under the machine's settings key, longer than the reply holds.
    settings.registry = std::string(SettingsRegistry) + "\"ZRBig\"=hex:01";
    for (int i = 1; i < 1028; ++i) settings.registry += ",01";
    settings.systemFiles = {"example.dll"};
    // ZRBig, with the size field (bytes 4-7, over the name's end) far above 1028.
    settings.script = std::string(SettingsScript) + "read-setting LuOwn\n" +
                      "request IOCTL_VIDEO_READ_SETTING in=5a52426967000404 out=1036\n";
    sessions.push_back(settings);
    // A secondary's values under its device key: ones of every length, and empty ones, which the
    // number callback refuses with 87 and the port hands on as success.
    auto secondaryWith = [](const char* name, const std::string& values, const std::string& script) {
        Scenario scenario = On(name, {"device=5", "device=3,memory=4,secondary"});
        scenario.registry =
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device1]\n" + values;
        scenario.script = script + "request IOCTL_VIDEO_QUERY_ADAPTER_ID out=8 adapter=1\n";
        return scenario;
    };
    sessions.push_back(secondaryWith(
        "SettingsOfASecondary",
        "\"miscInit1\"=dword:00000011\n\"dramInit0\"=hex:22\n\"dramInit1\"=dword:33333333\n\"MemClocking\"=dword:00000064\n",
        "mode 1 adapter=1\n"));
    sessions.push_back(secondaryWith("EmptyValuesOfASecondary", "\"dramInit0\"=hex:\n\"GraphicsClocking\"=hex:\n", ""));
    // The machine hibernates as a whole, asked by either adapter; the session then sets its modes again.
    Scenario hibernation = On("HibernationOfAPrimaryAndASecondary", {"device=5,memory=16", "device=4,memory=8,secondary"});
    hibernation.script = "mode 2\nmode 2 adapter=1\npower adapter hibernate\nmode 2\nmode 2 adapter=1\n"
                         "power adapter hibernate adapter=1\nmode 40\nmode 3 adapter=1\n"
                         "request IOCTL_VIDEO_QUERY_CURRENT_MODE out=80 adapter=1\n";
    sessions.push_back(hibernation);
    Scenario power = On("RefusedPowerStates", {"device=5,memory=16"});
    power.script = "power adapter 9\npower 0x12345678 on\npower monitor 0\npower adapter off\npower adapter on\n";
    sessions.push_back(power);
    return sessions;
}

std::vector<Scenario> Monitors() {
    std::vector<Scenario> monitors;
    const std::pair<const char*, std::string> connectors[] = {
        {"BuiltinMonitor", "monitor=builtin"},
        {"NoMonitor", "monitor=none"},
        {"MonitorThatDoesNotAnswer", "monitorfault=noanswer"},
        {"MonitorWithABadChecksum", "monitorfault=checksum"},
        {"MonitorHoldingTheDataLine", "monitorfault=datalow"},
        {"MonitorHoldingTheClockLine", "monitorfault=clocklow"},
        {"MonitorStretchingTheClock", "monitorfault=stretch"},
        {"MonitorMissingItsFirstTransaction", "monitorfault=firstmiss"},
        {"MonitorMissingItsFirstTransactionRetried", "monitorfault=firstmiss,ddcattempts=3"},
        {"CompaqV700", "monitor=" + Edid + "compaq-v700.bin"},
        {"DellD3218HN", "monitor=" + Edid + "dell-d3218hn.bin"},
        {"EizoL788", "monitor=" + Edid + "eizo-l788.bin"},
        {"SonyCpdG400", "monitor=" + Edid + "sony-cpd-g400.bin"},
    };
    // Under both readings of the platform's DDC helper.
    for (const char* helper : {"strict", "tolerant"}) {
        for (const auto& [name, monitor] : connectors) {
            Scenario scenario = On(name + std::string(helper[0] == 's' ? "" : "WithTheTolerantHelper"),
                                   {"device=5,memory=16,ddchelper=" + std::string(helper) + "," + monitor});
            scenario.script = MonitorScript;
            monitors.push_back(scenario);
        }
    }
    return monitors;
}

// Every platform routine the driver calls, failing at its first call and at every call.
std::vector<Scenario> InjectedFaults() {
    std::vector<Scenario> faults;
    for (int call = 0; call < static_cast<int>(sim::PlatformCall::Count); ++call) {
        for (unsigned occurrence : {1u, 0u}) {
            sim::InjectedFault fault;
            fault.call = static_cast<sim::PlatformCall>(call);
            fault.occurrence = occurrence;
            fault.status = occurrence ? 87 : 0xC0000022;
            Scenario scenario = On(std::string(occurrence ? "First" : "Every") + sim::PlatformCallName(fault.call) + "Fails",
                                   {"device=5,memory=16", "device=4,memory=4,secondary"});
            scenario.faults = {fault};
            scenario.registry = SettingsRegistry;
            scenario.systemFiles = {"example.dll"};
            scenario.script = std::string(SessionScript) + MappingScript + "read-setting Zarn\nread-setting LuLevel\n" +
                              "write-setting ZRSpeed dword 7\nchildren\n";
            faults.push_back(scenario);
        }
    }
    return faults;
}

// Under the sanitizers (an unoptimized build, where the display driver's drawing and the boards'
// video memory cost the most) the scenarios that add length rather than other paths are left to
// the normal build: every mode set, the 8-bit sessions drawn in the palette, and the failures at
// every call (those at the first call take the same paths).
bool LeftToTheNormalBuild(const Scenario& scenario) {
#if defined(ZARN_SANITIZED)
    return scenario.everyMode || scenario.session.find("x8@") != std::string::npos ||
           scenario.name.rfind("Every", 0) == 0;
#else
    (void)scenario;
    return false;
#endif
}

// The checked builds are compared in the scenarios whose paths print messages; the length of every
// mode set, the drawn sessions and the failures at every call stay with the release builds.
// Under the sanitizers the checked builds are compared in the refusals below only.
bool LeftToTheReleaseBuilds(const Scenario& scenario) {
#if defined(ZARN_CHECKED_COMPARE) && defined(ZARN_SANITIZED)
    (void)scenario;
    return true;
#elif defined(ZARN_CHECKED_COMPARE)
    return scenario.everyMode || !scenario.session.empty() || scenario.name.rfind("Every", 0) == 0;
#else
    (void)scenario;
    return false;
#endif
}

std::vector<Scenario> AllScenarios() {
    std::vector<Scenario> all;
    for (auto group : {Boots, ModeSets, Sessions, Monitors, InjectedFaults}) {
        for (Scenario& scenario : group()) {
            if (!LeftToTheNormalBuild(scenario) && !LeftToTheReleaseBuilds(scenario)) all.push_back(std::move(scenario));
        }
    }
    return all;
}

Scenario Named(const std::string& name) {
    for (auto group : {Boots, InjectedFaults}) {
        for (Scenario& scenario : group()) {
            if (scenario.name == name) return scenario;
        }
    }
    throw std::invalid_argument("no scenario " + name);
}

// The messages and event log entries of a run, one per line.
std::string Diagnostics(const builds::Run& run, const char* what) {
    std::string lines;
    for (const auto& [name, value] : run.answers) {
        if (name == what) lines += value + "\n";
    }
    return lines;
}

// Discovery that refuses an adapter logs one error in every build, naming the status and the step;
// the checked build also says why, the release build says nothing. Both builds of each are run.
struct Refusal {
    const char* scenario;
    const char* eventLog;   // the one entry, as recorded: adapter, status, unique ID, request
    const char* message;    // part of the checked build's message
};

void PrintTo(const Refusal& row, std::ostream* out) { *out << row.scenario; }

class RefusedAdapter : public testing::TestWithParam<Refusal> {};

TEST_P(RefusedAdapter, IsLoggedOnceAndTheCheckedBuildSaysWhy) {
    const std::string image = DriverImage();
    if (image.empty()) GTEST_SKIP() << "zarn.sys was not built: " << ZARN_SYS;
    for (const std::string& driver : {std::string(), image}) {
        SCOPED_TRACE(driver.empty() ? "host build" : driver);
        builds::Run run = builds::RunScenario(Named(GetParam().scenario), driver);
        EXPECT_EQ(Diagnostics(run, "event log"), std::string(GetParam().eventLog) + "\n");
        std::string messages = Diagnostics(run, "message");
#if defined(ZARN_CHECKED_COMPARE)
        EXPECT_NE(messages.find(GetParam().message), std::string::npos) << messages;
#else
        EXPECT_EQ(messages, "");
#endif
    }
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, RefusedAdapter,
    testing::Values(Refusal{"UnknownDevice", "0 0x37 0x5a524e05 0x0",
                            "0 level 0 zarn: device ID 0x0009 is not one the driver serves"},
                    Refusal{"RegisterWindowTooSmall", "0 0x57 0x5a524e04 0x0",
                            "register window 0x100000 bytes (0x200254 needed)"},
                    Refusal{"FiveAdapters", "4 0x37 0x5a524e02 0x0",
                            "4 level 0 zarn: the driver serves at most 4 adapters at once"},
                    Refusal{"FirstGetAccessRangesFails", "0 0x57 0x5a524e03 0x0\n1 0x57 0x5a524e03 0x0",
                            "VideoPortGetAccessRanges failed with status 87"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.scenario); });

// --- The comparison ---------------------------------------------------------------------------------

size_t scenariosCompared = 0;
size_t accessesCompared = 0;

class BuildsAgree : public testing::TestWithParam<Scenario> {};

TEST_P(BuildsAgree, InWhatCallersAndTheHardwareSee) {
    const std::string image = DriverImage();
    if (image.empty()) GTEST_SKIP() << "zarn.sys was not built: " << ZARN_SYS;
    builds::Run host = builds::RunScenario(GetParam(), "");
    builds::Run emulated = builds::RunScenario(GetParam(), image);
    EXPECT_EQ(builds::FirstDifference(host, emulated), "");
    ++scenariosCompared;
    accessesCompared += host.machine->Trace().size();
}

// The checked comparison under the sanitizers leaves every scenario to the normal build.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(BuildsAgree);
INSTANTIATE_TEST_SUITE_P(Scenarios, BuildsAgree, testing::ValuesIn(AllScenarios()),
                         [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// The scenarios send every served code, so that the comparison reaches every handler (the failures
// injected into the same script, and every mode, add no code). The list is the same in every build:
// the normal build checks it.
#if !defined(ZARN_CHECKED_COMPARE) && !defined(ZARN_SANITIZED)
TEST(TheScenarios, SendEveryServedCode) {
    std::set<uint32_t> sent;
    for (auto group : {Boots, Sessions, Monitors}) {
        for (const Scenario& scenario : group()) {
            builds::Run run = builds::RunScenario(scenario, "");
            sent.insert(run.machine->CodesRequested().begin(), run.machine->CodesRequested().end());
        }
    }
    for (const ServedCode& served : ServedCodes) EXPECT_EQ(sent.count(served.code), 1u) << served.name;
}
#endif

// The size of what was compared, for the record.
class Tally : public testing::Environment {
public:
    void TearDown() override {
        std::cout << "compared " << scenariosCompared << " scenarios and " << accessesCompared
                  << " hardware accesses on both builds\n";
    }
};
const testing::Environment* const tally = testing::AddGlobalTestEnvironment(new Tally);

}  // namespace
