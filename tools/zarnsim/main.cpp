// zarnsim: runs the driver on the simulated machine.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "devices/adapter_description.h"
#include "display.h"
#include "clients/display_driver.h"
#include "json.h"
#include "machine/machine.h"
#include "kernel/regfile.h"
#include "monitor_report.h"
#include "support/file_save.h"
#include "report.h"
#include "script.h"

namespace {

// Exit statuses, as README and --help give them.
constexpr int ExitSuccess = 0;
constexpr int ExitNotStarted = 1;    // an adapter did not start
constexpr int ExitBadInput = 2;
constexpr int ExitDriverFault = 3;   // the simulator reported a driver fault

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

// Writes to standard error after everything already written to standard output, so that a message
// starts on its own line when both go to one place.
void PrintError(const std::string& text) {
    std::cout.flush();
    std::cerr << text;
}

void PrintFaults(const sim::Machine& machine) {
    std::string faults = zarnsim::FaultsText(machine);
    if (!faults.empty()) PrintError(faults);
}

// A driver fault outranks an adapter that did not start: it is a fault of the driver, while an
// adapter may be meant not to start.
int StatusOf(const sim::Machine& machine, bool everyAdapterMustStart) {
    if (!machine.DriverFaults().empty()) return ExitDriverFault;
    return everyAdapterMustStart && !AllStarted(machine) ? ExitNotStarted : ExitSuccess;
}

// The trace file, written as the accesses happen (into a FIFO or a device too, as a redirection
// would); the machine keeps no trace in memory.
class TraceFile {
public:
    TraceFile(sim::Machine& machine, const std::string& path) : path_(path) {
        machine.KeepLatestTrace(0);
        if (path.empty()) return;
        std::string error;
        if (!sim::CheckSaveTarget(path, sim::SavePolicy{}, &error)) throw std::invalid_argument(error);
        file_.rdbuf()->pubsetbuf(buffer_, sizeof buffer_);
        file_.open(path, std::ios::binary | std::ios::trunc);
        if (!file_) throw std::invalid_argument("cannot open the trace file '" + path + "'");
        machine.StreamTrace(&file_);
    }
    // Everything written reached the file.
    void Finish() {
        if (path_.empty()) return;
        file_.close();
        if (!file_) throw std::runtime_error("cannot write the trace to '" + path_ + "'");
    }

private:
    std::string path_;
    char buffer_[1 << 16];
    std::ofstream file_;
};

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
        zarnsim::Json adapters = zarnsim::Json::array();
        for (size_t i = 0; i < machine.AdapterCount(); ++i) {
            zarnsim::Json adapter = zarnsim::AdapterReportJson(machine, static_cast<int>(i));
            if (!options.mode.empty() && static_cast<int>(i) == options.display) {
                zarnsim::Json shown = zarnsim::ShowModeJson(machine, options.display, options.mode, options.screenshot);
                adapter["mode"] = shown.at("mode");
                adapter["timing"] = shown.at("timing");
                adapter["mapping"] = shown.at("mapping");
            }
            adapters.push_back(adapter);
        }
        zarnsim::Json report = zarnsim::Json::object();
        report["driverEntryStatus"] = machine.DriverEntryStatus();
        report["adapters"] = adapters;
        report["driverFaults"] = static_cast<unsigned>(machine.DriverFaults().size());
        std::cout << zarnsim::DumpJson(report) << "\n";
    } else {
        std::cout << "Driver entry: status " << machine.DriverEntryStatus() << "\n";
        for (size_t i = 0; i < machine.AdapterCount(); ++i) std::cout << zarnsim::AdapterReportText(machine, static_cast<int>(i));
        if (!options.mode.empty()) {
            std::cout << zarnsim::ShowModeText(machine, options.display, options.mode, options.screenshot);
        }
    }
    PrintFaults(machine);
    return StatusOf(machine, true);
}

// A per-adapter listing: one JSON object {"adapters": [...]} or the text of each adapter in turn.
int ListAdapters(sim::Machine& machine, const Options& options, zarnsim::Json (*json)(sim::Machine&, int),
                 std::string (*text)(sim::Machine&, int)) {
    if (options.json) {
        zarnsim::Json adapters = zarnsim::Json::array();
        for (size_t i = 0; i < machine.AdapterCount(); ++i) adapters.push_back(json(machine, static_cast<int>(i)));
        zarnsim::Json report = zarnsim::Json::object();
        report["adapters"] = adapters;
        std::cout << zarnsim::DumpJson(report) << "\n";
    } else {
        for (size_t i = 0; i < machine.AdapterCount(); ++i) std::cout << text(machine, static_cast<int>(i));
    }
    PrintFaults(machine);
    return StatusOf(machine, true);
}

int Script(sim::Machine& machine, const Options& options) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (options.scriptFile != "-") {
        std::error_code ec;
        if (std::filesystem::is_directory(options.scriptFile, ec)) {
            throw std::invalid_argument("script '" + options.scriptFile + "' is a directory");
        }
        file.open(options.scriptFile);
        if (!file) throw std::invalid_argument("cannot open script '" + options.scriptFile + "'");
        in = &file;
    }
    zarnsim::RunScript(machine, *in, options.json, std::cout);
    if (in->bad()) throw std::runtime_error("cannot read script '" + options.scriptFile + "'");
    PrintFaults(machine);
    return StatusOf(machine, false);
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
    app.footer("Exit status: 0 success; 1 an adapter did not start (run, modes, timings); 2 bad input (an option, "
               "a script line, a file that cannot be read or written); 3 the simulator reported a driver fault "
               "(even when an adapter did not start as well).");
    app.add_option("--adapter", options.adapters,
                   "One adapter per use, in PCI slot order (default: device=5,memory=16). ITEMS is comma-separated "
                   "items: " + sim::AdapterDescriptionHelp())
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
    const char* traceHelp = "Write the trace of every hardware access, one per line, to FILE as the accesses happen "
                            "(a FIFO or a device is written through)";
    run->add_option("--trace", options.traceFile, traceHelp)->type_name("FILE");
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
        "timings", "Set every offered mode of each adapter, decode what the chip shows, and flag every entry whose "
                   "picture is off or damaged (a timing the scanout cannot show, memory the board does not "
                   "have), whose resolution, depth or stride differs from what the driver reports, or whose "
                   "refresh is more than 1% from its rate");
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
    script->add_option("--trace", options.traceFile, traceHelp)->type_name("FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        PrintError("zarnsim: " + std::string(error.what()) + "\n");
        return ExitBadInput;
    }

    try {
        sim::Machine machine(MachineConfigOf(options));
        for (const std::string& fault : options.faults) machine.InjectFault(ParseFault(fault));
        std::string error;
        // Files that could not be saved are refused before the machine runs.
        if (!options.registryFile.empty() &&
            !sim::CheckSaveTarget(options.registryFile, sim::RegFileSavePolicy(), &error)) {
            throw std::invalid_argument(error);
        }
        if (!options.screenshot.empty() && !sim::CheckSaveTarget(options.screenshot, sim::SavePolicy{}, &error)) {
            throw std::invalid_argument(error);
        }
        if (!options.registryFile.empty() &&
            !sim::LoadRegFileFromPath(options.registryFile, machine.GetRegistry(), &error)) {
            throw std::invalid_argument(error);
        }
        TraceFile trace(machine, options.traceFile);
        machine.Boot();
        // The display driver's session begins with the boot: it opens every started display device,
        // and the first open runs HwInitialize.
        for (size_t i = 0; i < machine.AdapterCount(); ++i) {
            if (machine.Adapter(static_cast<int>(i)).started) machine.OpenDevice(static_cast<int>(i));
        }
        int status = ExitBadInput;
        if (run->parsed()) status = Run(machine, options);
        if (modes->parsed()) status = ListAdapters(machine, options, zarnsim::ModesJson, zarnsim::ModesText);
        if (timings->parsed()) status = ListAdapters(machine, options, zarnsim::TimingsJson, zarnsim::TimingsText);
        if (monitor->parsed()) status = ListAdapters(machine, options, zarnsim::MonitorJson, zarnsim::MonitorText);
        if (script->parsed()) status = Script(machine, options);
        trace.Finish();
        if (!options.registryFile.empty() &&
            !sim::SaveRegFileToPath(options.registryFile, machine.GetRegistry(), &error)) {
            throw std::runtime_error(error);
        }
        return status;
    } catch (const std::exception& error) {
        // Bad input of any kind: an option, a script line, a file that cannot be read or written.
        PrintError("zarnsim: " + std::string(error.what()) + "\n");
        return ExitBadInput;
    }
    return ExitBadInput;
}
