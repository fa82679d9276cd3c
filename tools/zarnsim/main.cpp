// zarnsim: runs the driver on the simulated machine.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>

#include "display.h"
#include "clients/display_driver.h"
#include "json.h"
#include "machine/machine.h"
#include "kernel/regfile.h"
#include "monitor_report.h"
#include "report.h"
#include "script.h"

namespace {

constexpr int ExitBadInput = 2;

struct Options {
    std::vector<std::string> adapters;
    std::vector<std::string> faults;
    std::vector<std::string> systemFiles;
    bool json = false;
    bool checkAliasing = false;
    std::string scriptFile;
    std::string registryFile;
    std::string traceFile;
    std::string mode;
    std::string screenshot;
    int display = 0;
    std::string driverImage;
};

// CALL[@N][=STATUS]: the Nth call (every call when N is 0 or absent) of a platform routine fails.
sim::InjectedFault ParseFault(const std::string& text) {
    sim::InjectedFault fault;
    fault.occurrence = 0;
    std::string name = text.substr(0, text.find_first_of("@="));
    if (!sim::ParsePlatformCall(name, &fault.call)) {
        std::string known;
        for (int i = 0; i < static_cast<int>(sim::PlatformCall::Count); ++i) {
            known += std::string(known.empty() ? "" : ", ") + sim::PlatformCallName(static_cast<sim::PlatformCall>(i));
        }
        throw std::invalid_argument("unknown platform call '" + name + "' in --fault (known: " + known + ")");
    }
    auto number = [&](char mark) -> long long {
        size_t at = text.find(mark);
        if (at == std::string::npos) return -1;
        char* end = nullptr;
        std::string digits = text.substr(at + 1, text.find_first_of("@=", at + 1) - at - 1);
        long long value = std::strtoll(digits.c_str(), &end, 0);
        if (digits.empty() || *end != '\0' || value < 0 || value > 0xFFFFFFFFll) {
            throw std::invalid_argument("bad number after '" + std::string(1, mark) + "' in --fault " + text);
        }
        return value;
    };
    long long occurrence = number('@'), status = number('=');
    if (occurrence >= 0) fault.occurrence = static_cast<unsigned>(occurrence);
    if (status >= 0) fault.status = static_cast<uint32_t>(status);
    return fault;
}

sim::MachineConfig MachineConfigOf(const Options& options) {
    sim::MachineConfig config;
    config.checkAliasing = options.checkAliasing;
    config.systemFiles = options.systemFiles;
    config.driverImage = options.driverImage;
    if (!options.adapters.empty()) {
        config.adapters.clear();
        for (const std::string& description : options.adapters) config.adapters.push_back(sim::ParseAdapterDescription(description));
    }
    return config;
}

bool AllStarted(const sim::Machine& machine) {
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        if (!machine.Adapter(static_cast<int>(i)).started) return false;
    }
    return true;
}

void PrintFaults(const sim::Machine& machine) {
    std::string faults = zarnsim::FaultsText(machine);
    if (!faults.empty()) std::cerr << faults;
}

void WriteTrace(const sim::Machine& machine, const std::string& path) {
    std::ofstream file(path);
    for (const sim::TraceEntry& entry : machine.Trace()) file << sim::FormatTraceEntry(entry) << "\n";
    if (!file) throw std::runtime_error("cannot write the trace to '" + path + "'");
}

void CheckDisplayAdapter(const sim::Machine& machine, const Options& options) {
    if (options.display < 0 || static_cast<size_t>(options.display) >= machine.AdapterCount()) {
        throw std::invalid_argument("there is no adapter " + std::to_string(options.display));
    }
    if (!machine.Adapter(options.display).started) {
        throw std::runtime_error("adapter " + std::to_string(options.display) + " did not start");
    }
}

int Run(sim::Machine& machine, const Options& options) {
    if (!options.screenshot.empty() && options.mode.empty()) throw std::invalid_argument("--screenshot needs --mode");
    if (!options.mode.empty()) {
        sim::ParseModeRequest(options.mode);
        CheckDisplayAdapter(machine, options);
    }
    if (options.json) {
        zarnsim::Json adapters = zarnsim::Json::Array();
        for (size_t i = 0; i < machine.AdapterCount(); ++i) {
            zarnsim::Json adapter = zarnsim::AdapterReportJson(machine, static_cast<int>(i));
            if (!options.mode.empty() && static_cast<int>(i) == options.display) {
                zarnsim::Json shown = zarnsim::ShowModeJson(machine, options.display, options.mode, options.screenshot);
                adapter.Set("mode", shown.Get("mode"));
                adapter.Set("timing", shown.Get("timing"));
                adapter.Set("mapping", shown.Get("mapping"));
            }
            adapters.Push(adapter);
        }
        zarnsim::Json report = zarnsim::Json::Object();
        report.Set("driverEntryStatus", machine.DriverEntryStatus());
        report.Set("adapters", adapters);
        report.Set("driverFaults", static_cast<unsigned>(machine.DriverFaults().size()));
        std::cout << report.Dump() << "\n";
    } else {
        std::cout << "Driver entry: status " << machine.DriverEntryStatus() << "\n";
        for (size_t i = 0; i < machine.AdapterCount(); ++i) std::cout << zarnsim::AdapterReportText(machine, static_cast<int>(i));
        if (!options.mode.empty()) {
            std::cout << zarnsim::ShowModeText(machine, options.display, options.mode, options.screenshot);
        }
    }
    PrintFaults(machine);
    if (!options.traceFile.empty()) WriteTrace(machine, options.traceFile);
    return AllStarted(machine) ? 0 : 1;
}

// A per-adapter listing: one JSON object {"adapters": [...]} or the text of each adapter in turn.
int ListAdapters(sim::Machine& machine, const Options& options, zarnsim::Json (*json)(sim::Machine&, int),
                 std::string (*text)(sim::Machine&, int)) {
    if (options.json) {
        zarnsim::Json adapters = zarnsim::Json::Array();
        for (size_t i = 0; i < machine.AdapterCount(); ++i) adapters.Push(json(machine, static_cast<int>(i)));
        zarnsim::Json report = zarnsim::Json::Object();
        report.Set("adapters", adapters);
        std::cout << report.Dump() << "\n";
    } else {
        for (size_t i = 0; i < machine.AdapterCount(); ++i) std::cout << text(machine, static_cast<int>(i));
    }
    PrintFaults(machine);
    return AllStarted(machine) ? 0 : 1;
}

int Script(sim::Machine& machine, const Options& options) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (options.scriptFile != "-") {
        file.open(options.scriptFile);
        if (!file) throw std::invalid_argument("cannot open script '" + options.scriptFile + "'");
        in = &file;
    }
    zarnsim::RunScript(machine, *in, options.json, std::cout);
    PrintFaults(machine);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"zarnsim runs the Zarn Mistral display miniport on a simulated machine: it boots the driver as the "
                 "platform does, lists the modes it offers and sends it requests. The machine is made of the video port "
                 "driver, the kernel (address spaces, registry) and the PCI bus with the adapter boards (chip, VGA, DAC, "
                 "option ROM, video BIOS, video memory, scanout) and the monitor on each connector."};
    app.fallthrough();
    app.require_subcommand(1);
    app.add_option("--adapter", options.adapters,
                   "One adapter per use, in PCI slot order (default: device=5,memory=16). ITEMS is comma-separated "
                   "items: device=N (PCI device ID), memory=4|8|16 (MiB), secondary (found with decoding off), "
                   "bus66 (66 MHz capable bus), altmem (alternative memory type, 16 MiB), timing=keep|own (the BIOS keeps a "
                   "preloaded timing or loads its own 60 Hz one), revision=N, "
                   "subvendor=N, subsystem=N, regwindow=MiB (register window size), rom=builtin|none|FILE, "
                   "bios=accept|refuse|0x111,..., monitor=builtin|none|FILE (the monitor on the connector: the "
                   "built-in one, none, or one with the EDID of a binary file of 128 or 256 bytes), "
                   "monitorfault=noanswer|checksum|datalow (the monitor does not answer on the display data "
                   "channel, serves its EDID with a wrong checksum, or holds the data line low)")
        ->type_name("ITEMS");
    app.add_flag("--json", options.json, "Machine-readable output");
    app.add_option("--registry", options.registryFile,
                   "A REGEDIT4 file loaded into the registry before boot and written back afterwards (an empty file "
                   "starts an empty registry)")
        ->type_name("FILE.reg");
    app.add_option("--fault", options.faults,
                   "Make a platform routine fail: CALL[@N][=STATUS], the Nth call (every call without @N) of "
                   "GetAccessRanges, VerifyAccessRanges, GetDeviceBase, GetBusData, SetBusData, "
                   "GetRegistryParameters, SetRegistryParameters, ScanRom, Int10, DDCMonitorHelper, MapMemory, "
                   "UnmapMemory (the VideoPort* routines), or of the kernel's AllocatePool (ExAllocatePoolWithTag), "
                   "MmAllocateContiguousMemory (both return null), ZwOpenSection, ObReferenceObjectByHandle, "
                   "ZwMapViewOfSection, ZwOpenKey, ZwQueryValueKey, ZwSetValueKey, ZwCreateFile, "
                   "RtlAnsiStringToUnicodeString or RtlUnicodeStringToAnsiString (fail with STATUS when it is an "
                   "NTSTATUS error, else with their usual failure); repeatable")
        ->type_name("CALL[@N][=STATUS]");
    app.add_option("--system-file", options.systemFiles,
                   "A file in the system directory \\SystemRoot\\System32\\ (such as the OpenGL driver a "
                   "registry value names); repeatable")
        ->type_name("NAME");
    app.add_option("--driver", options.driverImage,
                   "Run this build of the driver, the shipped zarn.sys (such as build/win/zarn.sys), on an emulated "
                   "i386 processor instead of the host build linked into zarnsim; every command works the same")
        ->type_name("ZARN.SYS");
    app.add_flag("--check-aliasing", options.checkAliasing,
                 "Run every request with input and output in one buffer and in two, and report a driver fault "
                 "when the answers differ");

    CLI::App* run = app.add_subcommand("run", "Boot the machine and report each adapter: PCI identity, windows, "
                                              "memory, HardwareInformation values and the modes offered");
    run->add_option("--trace", options.traceFile, "Write the trace of every hardware access of the run, one per line")
        ->type_name("FILE");
    run->add_option("--mode", options.mode,
                    "Set this mode like a display driver (query the list, find the index, set it; an 8-bit mode "
                    "then gets the display driver's palette), map the frame buffer with IOCTL_VIDEO_MAP_VIDEO_MEMORY "
                    "(requested address 0), draw a test pattern through that mapping at the mode's stride, unmap "
                    "it, and report the mapping and the timing the chip was given")
        ->type_name("WxHxBPP@HZ");
    run->add_option("--screenshot", options.screenshot, "With --mode: save what the monitor shows as a PNG file")
        ->type_name("FILE.png");
    run->add_option("--display", options.display, "The adapter that --mode sets (default 0)")->type_name("N");
    CLI::App* timings = app.add_subcommand(
        "timings", "Set every offered mode of each adapter, decode the timing the chip was given, and flag every "
                   "entry whose decoded resolution differs or whose refresh is more than 1% from its rate");
    CLI::App* modes = app.add_subcommand("modes", "List every offered mode of each adapter as the display driver "
                                                  "receives it");
    CLI::App* monitor = app.add_subcommand(
        "monitor", "Show each adapter's monitor child as the platform enumerated it at boot, with the "
                   "identification data read over the display data channel: manufacturer, product code, serial, "
                   "week and year, name, size, preferred timing, range limits, established and standard timings, "
                   "and the raw bytes; and the power state the monitor is in");
    CLI::App* script = app.add_subcommand(
        "script", "Run a request script on one booted machine, one command per line: request CODE [in=HEX] "
                  "[out=BYTES] [adapter=N] [process=N] (CODE is a control code name, IOCTL_VIDEO_..., or a number); "
                  "mode INDEX [adapter=N] (set a mode by its index); reset [adapter=N] (the platform's HwResetHw); "
                  "screenshot FILE [adapter=N] (what the monitor shows, as PNG); read-setting NAME [size=N] [in=BYTES] "
                  "(the settings read request as a 3D driver builds it: the reply's size field N, default 1024, and "
                  "the name share one buffer; BYTES is the input length); write-setting NAME sz|binary|dword|TYPE "
                  "VALUE (text, a number, or hex bytes); palette FIRST RRGGBB... (IOCTL_VIDEO_SET_COLOR_REGISTERS); "
                  "gamma FILE|identity|inverse (IOCTL_VIDEO_SET_GAMMA_TABLE; FILE holds 256 little-endian entries). "
                  "children [adapter=N] (enumerate the adapter's children again, as the platform does); power DEVICE STATE "
                  "[adapter=N] (DEVICE: monitor, adapter or an identifier; STATE: on, standby, suspend, off, hibernate or a "
                  "number; the query HwGetPowerState, then HwSetPowerState when the query accepts it); process N (later "
                  "commands run in process N; 1 at the start); end-process N (its views go, what the driver recorded "
                  "stays); read ADDRESS LENGTH, write ADDRESS HEX, fill ADDRESS LENGTH BYTE (the current process "
                  "touching memory: user addresses through its views, kernel addresses in every process; an address "
                  "reachable through nothing is a fault of the process); views (the current process's views). A "
                  "handle to process N is 0x1000+4*N in every process; 0 and 0xFFFFFFFF name the calling process. "
                  "Every command takes adapter=N. A word in double quotes may hold blanks. Blank lines and # "
                  "comments are skipped.");
    script->add_option("FILE", options.scriptFile, "Script file, or - for standard input")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        std::cerr << "zarnsim: " << error.what() << "\n";
        return ExitBadInput;
    }

    try {
        sim::Machine machine(MachineConfigOf(options));
        for (const std::string& fault : options.faults) machine.InjectFault(ParseFault(fault));
        std::string error;
        if (!options.registryFile.empty() &&
            !sim::LoadRegFileFromPath(options.registryFile, machine.GetRegistry(), &error)) {
            throw std::invalid_argument(error);
        }
        machine.Boot();
        int status = ExitBadInput;
        if (run->parsed()) status = Run(machine, options);
        if (modes->parsed()) status = ListAdapters(machine, options, zarnsim::ModesJson, zarnsim::ModesText);
        if (timings->parsed()) status = ListAdapters(machine, options, zarnsim::TimingsJson, zarnsim::TimingsText);
        if (monitor->parsed()) status = ListAdapters(machine, options, zarnsim::MonitorJson, zarnsim::MonitorText);
        if (script->parsed()) status = Script(machine, options);
        if (!options.registryFile.empty() &&
            !sim::SaveRegFileToPath(options.registryFile, machine.GetRegistry(), &error)) {
            throw std::runtime_error(error);
        }
        return status;
    } catch (const zarnsim::ScriptError& error) {
        std::cerr << "zarnsim: " << error.what() << "\n";
        return ExitBadInput;
    } catch (const std::invalid_argument& error) {
        std::cerr << "zarnsim: " << error.what() << "\n";
        return ExitBadInput;
    } catch (const std::exception& error) {
        std::cerr << "zarnsim: " << error.what() << "\n";
        return ExitBadInput;
    }
    return ExitBadInput;
}
