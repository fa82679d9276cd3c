// zarnsim: runs the driver on the simulated machine.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "devices/adapter_description.h"
#include "display.h"
#include "clients/display_driver.h"
#include "json.h"
#include "machine/machine.h"
#include "image/cpu.h"
#include "kernel/regfile.h"
#include "monitor_report.h"
#include "support/code_page.h"
#include "support/file_save.h"
#include "support/number_text.h"
#include "support/untrusted_text.h"
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
    sim::AnsiCodePage codePage = sim::AnsiCodePage::Latin1;
    bool json = false;
    bool checkAliasing = false;
    std::string scriptFile;
    std::string registryFile;
    std::string traceFile;
    std::string mode;
    std::string screenshot;
    std::string displayText;   // --display as given; empty when not given
    int display = 0;
    std::string driverImage;
    int debugLevel = -1;
};

// CALL[@N][=STATUS]: the Nth call (every call when N is 0 or absent) of a platform routine fails.
sim::InjectedFault ParseFault(const std::string& text) {
    sim::InjectedFault fault;
    fault.occurrence = 0;
    const size_t marks = text.find_first_of("@=");
    std::string name = text.substr(0, marks);
    if (!sim::ParsePlatformCall(name, &fault.call)) {
        std::string known;
        for (int i = 0; i < static_cast<int>(sim::PlatformCall::Count); ++i) {
            known += std::string(known.empty() ? "" : ", ") + sim::PlatformCallName(static_cast<sim::PlatformCall>(i));
        }
        throw std::invalid_argument("unknown platform call '" + sim::TerminalText(name) + "' in --fault (known: " + known +
                                    ")");
    }
    auto bad = [&](const char* what) {
        return std::invalid_argument("--fault " + sim::TerminalText(text) + ": " + what +
                                     " must be a number up to 0xFFFFFFFF (CALL[@N][=STATUS])");
    };
    std::string rest = marks == std::string::npos ? "" : text.substr(marks);
    uint64_t value = 0;
    if (!rest.empty() && rest[0] == '@') {
        const size_t equals = rest.find('=');
        if (!sim::ParseUnsigned(rest.substr(1, equals == std::string::npos ? std::string::npos : equals - 1), 0xFFFFFFFF,
                                &value)) {
            throw bad("N");
        }
        fault.occurrence = static_cast<unsigned>(value);
        rest = equals == std::string::npos ? "" : rest.substr(equals);
    }
    if (!rest.empty()) {
        if (!sim::ParseUnsigned(rest.substr(1), 0xFFFFFFFF, &value)) throw bad("STATUS");
        fault.status = static_cast<uint32_t>(value);
    }
    return fault;
}

sim::MachineConfig MachineConfigOf(const Options& options) {
    sim::MachineConfig config;
    config.checkAliasing = options.checkAliasing;
    config.systemFiles = options.systemFiles;
    config.ansiCodePage = options.codePage;
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
// would); the machine keeps no trace in memory. A write that fails (a reader that closed the pipe)
// ends the writing, not the run.
class TraceFile {
public:
    TraceFile(sim::Machine& machine, const std::string& path) : path_(path) {
        machine.KeepLatestTrace(0);
        if (path.empty()) return;
        std::string error;
        if (!sim::CheckSaveTarget(path, sim::SavePolicy{}, &error)) throw std::invalid_argument(error);
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            throw std::invalid_argument("cannot open the trace file '" + sim::TerminalText(path) + "': " + std::strerror(errno));
        }
        buffer_ = std::make_unique<sim::DescriptorOutput>(fd_);
        stream_.rdbuf(buffer_.get());
        machine.StreamTrace(&stream_);
    }
    ~TraceFile() { (void)Finish(); }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Empty when everything written reached the file, else why not.
    std::string Finish() {
        if (fd_ < 0) return "";
        // Nothing reaches the descriptor after it is closed: later trace lines go nowhere.
        stream_.rdbuf(nullptr);
        bool written = buffer_->Flush();
        int error = buffer_->Error();
        buffer_.reset();
        if (::close(fd_) != 0 && written) error = errno;
        fd_ = -1;
        if (error == 0) return "";
        return "cannot write the trace to '" + sim::TerminalText(path_) + "': " + std::strerror(error);
    }

private:
    std::string path_;
    int fd_ = -1;
    std::unique_ptr<sim::DescriptorOutput> buffer_;
    std::ostream stream_{nullptr};
};

int Run(sim::Machine& machine, const Options& options) {
    // An adapter that did not start cannot set a mode: the report still comes, with status 1.
    const bool showMode = !options.mode.empty() && machine.Adapter(options.display).started;
    if (options.json) {
        zarnsim::Json adapters = zarnsim::Json::array();
        for (size_t i = 0; i < machine.AdapterCount(); ++i) {
            zarnsim::Json adapter = zarnsim::AdapterReportJson(machine, static_cast<int>(i));
            if (showMode && static_cast<int>(i) == options.display) {
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
        if (showMode) std::cout << zarnsim::ShowModeText(machine, options.display, options.mode, options.screenshot);
    }
    PrintFaults(machine);
    if (!options.mode.empty() && !showMode) {
        PrintError("zarnsim: adapter " + std::to_string(options.display) + " did not start, so --mode " +
                   sim::TerminalText(options.mode) + " was not set\n");
    }
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
    const std::string name = "script '" + sim::TerminalText(options.scriptFile) + "'";
    if (options.scriptFile != "-") {
        std::error_code ec;
        if (std::filesystem::is_directory(options.scriptFile, ec)) throw std::invalid_argument(name + " is a directory");
        file.open(options.scriptFile);
        if (!file) throw std::invalid_argument("cannot open " + name + ": " + std::strerror(errno));
        in = &file;
    }
    try {
        zarnsim::RunScript(machine, *in, options.json, std::cout);
    } catch (const std::ios_base::failure& error) {
        throw std::runtime_error("cannot read " + name + ": " + error.what());
    }
    if (in->bad()) throw std::runtime_error("cannot read " + name);
    PrintFaults(machine);
    return StatusOf(machine, false);
}

// An option whose value names a file or a mode: the empty word means nothing.
CLI::Validator NotEmpty(const std::string& what) {
    return CLI::Validator([what](std::string& value) { return value.empty() ? "needs " + what + ", not an empty word" : ""; },
                          "");
}

// What the options mean together, checked before the machine runs.
void CheckRunOptions(Options& options) {
    if (!options.screenshot.empty() && options.mode.empty()) throw std::invalid_argument("--screenshot needs --mode");
    if (!options.mode.empty()) sim::ParseModeRequest(options.mode);
    if (options.displayText.empty()) return;
    if (options.mode.empty()) throw std::invalid_argument("--display needs --mode (it names the adapter --mode sets)");
    const size_t adapters = options.adapters.empty() ? 1 : options.adapters.size();
    uint64_t display = 0;
    if (!sim::ParseUnsigned(options.displayText, 0xFFFFFFFF, &display) || display >= adapters) {
        throw std::invalid_argument("--display " + sim::TerminalText(options.displayText) + ": there is no such adapter (" +
                                    (adapters == 1 ? std::string("adapter 0 is the only one")
                                                   : "adapters 0 to " + std::to_string(adapters - 1)) +
                                    ")");
    }
    options.display = static_cast<int>(display);
}

// What the run leaves behind, kept whatever stopped the run once the machine was running: the trace
// file closed, the registry written back, standard output flushed. The messages of what failed.
// Closes the trace and writes the registry back; what REGEDIT4 cannot hold is named in `leftOut` and
// every other change is saved.
std::vector<std::string> FinishRun(sim::Machine& machine, const Options& options, TraceFile& trace,
                                   sim::DescriptorOutput& standardOutput, sim::RegFileEncoding registryEncoding,
                                   std::vector<std::string>* leftOut) {
    std::vector<std::string> errors;
    std::string error = trace.Finish();
    if (!error.empty()) errors.push_back(error);
    if (!options.registryFile.empty() &&
        !sim::SaveRegFileToPath(options.registryFile, machine.GetRegistry(), &error, registryEncoding, leftOut)) {
        errors.push_back(error);
    }
    std::cout.flush();
    if (!standardOutput.Flush()) errors.push_back(std::string("cannot write standard output: ") + std::strerror(standardOutput.Error()));
    return errors;
}

int RunZarnsim(int argc, char** argv, sim::DescriptorOutput& standardOutput) {
    Options options;
    CLI::App app{"zarnsim runs the Zarn Mistral display miniport on a simulated machine: it boots the driver as the "
                 "platform does, lists the modes it offers and sends it requests. The machine is made of the video port "
                 "driver, the kernel (address spaces, registry) and the PCI bus with the adapter boards (chip, VGA, DAC, "
                 "option ROM, video BIOS, video memory, scanout) and the monitor on each connector."};
    app.fallthrough();
    app.require_subcommand(1);
    app.footer("Exit status: 0 success; 1 an adapter did not start (run, modes, timings; run --mode when the adapter it "
               "sets did not start, after the report); 2 bad input (an option, a script line, a file that cannot be read "
               "or written, output that cannot be written); 3 the simulator reported a driver fault, or the driver's "
               "code stopped the emulated processor (even when an adapter did not start as well). "
               "Once the machine has booted, the registry file is written back whatever stops the run. Numbers are "
               "decimal, or hexadecimal after 0x (010 is ten).");
    app.add_option("--adapter", options.adapters,
                   "One adapter per use, in PCI slot order (default: device=5,memory=16). ITEMS is comma-separated "
                   "items: " + sim::AdapterDescriptionHelp())
        ->type_name("ITEMS");
    app.add_flag("--json", options.json, "Machine-readable output");
    app.add_option("--registry", options.registryFile,
                   "A REGEDIT4 file loaded into the registry before boot and written back afterwards in the encoding "
                   "it came in (Latin-1, or UTF-8 after a byte order mark; an empty file starts an empty registry; a "
                   "value name holding a line break is named and left out). HKEY_CURRENT_USER is the simulated user's "
                   "hive \\Registry\\User\\<SID>; \\Registry\\User\\CurrentUser exists only when the file creates "
                   "HKEY_USERS\\CurrentUser")
        ->type_name("FILE.reg")
        ->check(NotEmpty("a file name"));
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
        ->type_name("NAME")
        ->check(NotEmpty("a file name"));
    app.add_option_function<std::string>(
           "--code-page",
           [&options](const std::string& text) {
               if (!sim::ParseAnsiCodePage(text, &options.codePage)) {
                   throw CLI::ValidationError("--code-page", "must be latin1 or 932, not " + sim::TerminalText(text));
               }
           },
           "The system's ANSI code page, which the kernel's string conversions use: latin1 (a Western system, the "
           "default) or 932 (a Japanese system: ASCII, halfwidth katakana, and as byte pairs the fullwidth digits "
           "and letters, hiragana, katakana and the ideographic space and stops; other characters convert as "
           "unmapped ones do, to '?' and U+30FB)")
        ->type_name("PAGE");
    app.add_option("--driver", options.driverImage,
                   "Run this build of the driver, the shipped zarn.sys (such as build/win/zarn.sys), on an emulated "
                   "i386 processor instead of the host build linked into zarnsim; every command works the same")
        ->type_name("ZARN.SYS")
        ->check(NotEmpty("a file name"));
    app.add_option("--debug-level", options.debugLevel,
                   "Show the messages of the driver's checked build (--driver build/win/zarn-checked.sys) of level N "
                   "and below on standard error as they come, each with its adapter, as a kernel debugger does with "
                   "VideoDebugLevel N: 0 errors, 1 warnings, 2 trace, 3 information (the release build has none)")
        ->type_name("N")
        ->check(CLI::Range(0, 3));
    app.add_flag("--check-aliasing", options.checkAliasing,
                 "Run every request with input and output in one buffer and in two, and report a driver fault "
                 "when the answers differ");

    CLI::App* run = app.add_subcommand("run", "Boot the machine and report each adapter: PCI identity, windows, "
                                              "memory, HardwareInformation values and the modes offered");
    const char* traceHelp = "Write the trace of every hardware access, one per line, to FILE as the accesses happen "
                            "(a FIFO or a device is written through)";
    run->add_option("--trace", options.traceFile, traceHelp)->type_name("FILE")->check(NotEmpty("a file name"));
    run->add_option("--mode", options.mode,
                    "Set this mode like a display driver (query the list, find the index, set it; an 8-bit mode "
                    "then gets the display driver's palette), map the frame buffer with IOCTL_VIDEO_MAP_VIDEO_MEMORY "
                    "(requested address 0), draw a test pattern through that mapping at the mode's stride, unmap "
                    "it, and report the mapping and the timing the chip was given")
        ->type_name("WxHxBPP@HZ")
        ->check(NotEmpty("a mode WxHxBPP@HZ"));
    run->add_option("--screenshot", options.screenshot, "With --mode: save what the monitor shows as a PNG file")
        ->type_name("FILE.png")
        ->check(NotEmpty("a file name"));
    run->add_option("--display", options.displayText, "With --mode: the adapter it sets (default 0)")
        ->type_name("N")
        ->check(NotEmpty("an adapter number"));
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
                  "number; the query HwGetPowerState, then HwSetPowerState when the query accepts it; hibernating an adapter "
                  "hibernates the machine: every started adapter is told, the machine powers off and boots cold, and "
                  "every started adapter is told on); process N (later "
                  "commands run in process N; 1 at the start); end-process N (its views go, what the driver recorded "
                  "stays); read ADDRESS LENGTH, write ADDRESS HEX, fill ADDRESS LENGTH BYTE (the current process "
                  "touching memory: user addresses through its views; kernel addresses, 0x80000000 and up, only from "
                  "process 1, the display driver, in kernel mode; an address reachable through nothing, or a kernel "
                  "address from a user program, is a fault of the process); views (the current process's views and "
                  "the system-space mappings). A handle to process N is 0x1000+4*N in every process; 0xFFFFFFFF "
                  "names the calling process; VideoPortMapMemory maps a handle of 0 into system space. "
                  "Every command takes adapter=N. A word in double quotes may hold blanks. Blank lines and # "
                  "comments are skipped.");
    script->add_option("FILE", options.scriptFile, "Script file, or - for standard input")
        ->required()
        ->check(NotEmpty("a file name"));
    script->add_option("--trace", options.traceFile, traceHelp)->type_name("FILE")->check(NotEmpty("a file name"));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        PrintError("zarnsim: " + sim::TerminalText(error.what()) + "\n");
        return ExitBadInput;
    }

    try {
        CheckRunOptions(options);
        sim::Machine machine(MachineConfigOf(options));
        for (const std::string& fault : options.faults) machine.InjectFault(ParseFault(fault));
        if (options.debugLevel >= 0) {
            machine.Port().SetDebugLevel(options.debugLevel);
            machine.Port().SetMessageSink([](const sim::DriverMessage& message) { PrintError(zarnsim::MessageText(message)); });
        }
        std::string error;
        // Files that could not be saved are refused before the machine runs.
        if (!options.registryFile.empty() &&
            !sim::CheckSaveTarget(options.registryFile, sim::RegFileSavePolicy(), &error)) {
            throw std::invalid_argument(error);
        }
        if (!options.screenshot.empty() && !sim::CheckSaveTarget(options.screenshot, sim::SavePolicy{}, &error)) {
            throw std::invalid_argument(error);
        }
        sim::RegFileEncoding registryEncoding = sim::RegFileEncoding::Latin1;
        if (!options.registryFile.empty() &&
            !sim::LoadRegFileFromPath(options.registryFile, machine.GetRegistry(), &error, &registryEncoding)) {
            throw std::invalid_argument(error);
        }
        TraceFile trace(machine, options.traceFile);

        // From here on the machine runs: what it changed is kept whatever stops it.
        int status = ExitBadInput;
        std::vector<std::string> errors;
        try {
            machine.Boot();
            // The display driver's session begins with the boot: it opens every started display
            // device, and the first open runs HwInitialize.
            for (size_t i = 0; i < machine.AdapterCount(); ++i) {
                if (machine.Adapter(static_cast<int>(i)).started) machine.OpenDevice(static_cast<int>(i));
            }
            if (run->parsed()) status = Run(machine, options);
            if (modes->parsed()) status = ListAdapters(machine, options, zarnsim::ModesJson, zarnsim::ModesText);
            if (timings->parsed()) status = ListAdapters(machine, options, zarnsim::TimingsJson, zarnsim::TimingsText);
            if (monitor->parsed()) status = ListAdapters(machine, options, zarnsim::MonitorJson, zarnsim::MonitorText);
            if (script->parsed()) status = Script(machine, options);
        } catch (const sim::image::CpuFault& fault) {
            // The driver's code stopped the emulated processor: a fault of the driver, not of the input.
            PrintFaults(machine);
            errors.push_back(std::string("driver fault: the emulated processor stopped: ") + fault.what());
            status = ExitDriverFault;
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& failure) {
            errors.push_back(failure.what());
            status = machine.DriverFaults().empty() ? ExitBadInput : ExitDriverFault;
            PrintFaults(machine);
        }
        std::vector<std::string> leftOut;
        std::vector<std::string> unsaved = FinishRun(machine, options, trace, standardOutput, registryEncoding, &leftOut);
        for (const std::string& why : leftOut) errors.push_back(why);
        errors.insert(errors.end(), unsaved.begin(), unsaved.end());
        for (const std::string& message : errors) PrintError("zarnsim: " + message + "\n");
        if (!unsaved.empty() && status != ExitDriverFault) status = ExitBadInput;
        return status;
    } catch (const std::exception& error) {
        // Bad input of any kind before the machine ran: an option, a file that cannot be read or written.
        PrintError("zarnsim: " + std::string(error.what()) + "\n");
        return ExitBadInput;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that closes its end of an output pipe makes the write fail, which is reported; it
    // does not end the run before the registry is written back.
    std::signal(SIGPIPE, SIG_IGN);
    sim::DescriptorOutput standardOutput(STDOUT_FILENO);
    std::streambuf* terminal = std::cout.rdbuf(&standardOutput);
    int status = RunZarnsim(argc, argv, standardOutput);
    std::cout.flush();
    std::cout.rdbuf(terminal);
    return status;
}
