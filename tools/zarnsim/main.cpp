// zarnsim: runs the driver on the simulated machine.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
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
#include "image/gdb_stub.h"
#include "image/pe_loader.h"
#include "kernel/regfile.h"
#include "monitor_report.h"
#include "names.h"
#include "pe_image.h"
#include "support/code_page.h"
#include "support/file_save.h"
#include "support/number_text.h"
#include "support/untrusted_text.h"
#include "report.h"
#include "script.h"
#include "wave_file.h"

namespace {

// Exit statuses, as docs/zarnsim.md and --help give them.
constexpr int ExitSuccess = 0;
constexpr int ExitNotStarted = 1;    // an adapter did not start
constexpr int ExitBadInput = 2;
constexpr int ExitDriverFault = 3;   // the simulator reported a driver fault
constexpr int ExitDebuggerEnded = 4; // the debugger ended the run (gdb's kill)
constexpr int ExitExhausted = 5;     // a resource of the simulated machine was used up

struct Options {
    std::vector<std::string> adapters;
    std::vector<std::string> faults;
    std::vector<std::string> systemFiles;
    sim::AnsiCodePage codePage = sim::AnsiCodePage::Latin1;
    sim::ProcessReuse processReuse = sim::ProcessReuse::Recent;
    bool json = false;
    bool checkAliasing = false;
    std::string scriptFile;
    std::string registryFile;
    std::string traceFile;
    std::string waveFile;
    std::string mode;
    std::string screenshot;
    std::string displayText;   // --display as given; empty when not given
    int display = 0;
    std::string driverImage;
    int debugLevel = -1;
    std::string gdbAddress;
    uint64_t instructionBudget = 0;   // 0: the processor's default
};

// --- Signals and the standard descriptors ---------------------------------------------------------

// The signals that stop a run.
constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The signal that asked the run to stop (one of StopSignals); 0 while none has.
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void RequestStop(int signal) { stopSignal = signal; }

// SIGINT, SIGTERM and SIGHUP stop the run as a failure does: at the next line of a script or the end
// of the command, with the trace closed and the registry written back. Without SA_RESTART, a read of
// the script or a write to a reader that takes nothing is interrupted rather than waited out.
void HandleStopSignals() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int signal : StopSignals) sigaction(signal, &action, nullptr);
}

const char* SignalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

// Ends zarnsim by the signal that asked it to stop, as a program that does not handle it ends: its
// parent sees the signal (a shell, status 128 + N).
[[noreturn]] void EndBySignal(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal);
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal);
}

// Which of standard input, output and error were closed when zarnsim started. Each gets /dev/null
// in its place, so that no file opened later takes its number (and what was meant for it).
struct ClosedDescriptors {
    bool closed[3] = {false, false, false};
};

ClosedDescriptors OccupyClosedDescriptors() {
    ClosedDescriptors result;
    for (int fd = 0; fd < 3; ++fd) result.closed[fd] = ::fcntl(fd, F_GETFD) < 0 && errno == EBADF;
    for (int fd = 0; fd < 3; ++fd) {
        if (!result.closed[fd]) continue;
        int opened = ::open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_NOCTTY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
    return result;
}

// Thrown by a checkpoint of the run: a stop signal came, or output can no longer be written (its
// message comes when the run is finished).
struct StopRequested {};
struct OutputLost {};

// The names --fault takes, from the table of platform routines: each with the routine it makes fail
// where the two differ, and what each answers when it fails.
std::string FaultHelp() {
    std::string names;
    std::string answers[4];   // by FailureAnswer
    for (const sim::image::PlatformRoutine& row : sim::image::PlatformRoutineTable) {
        if (row.fault.empty()) continue;
        const std::string name(row.fault), routine(row.name);
        const bool plain = routine == name || routine == "VideoPort" + name;
        names += (names.empty() ? "" : ", ") + name + (plain ? "" : " (" + routine + ")");
        std::string& list = answers[static_cast<int>(row.failure)];
        list += (list.empty() ? "" : ", ") + name;
    }
    using sim::FailureAnswer;
    return "Make a platform routine fail: CALL[@N][=STATUS], the Nth call (every call without @N, N counts from 1) "
           "of CALL, one of " + names + " (a video port routine without its prefix VideoPort). STATUS is what it "
           "answers: a Win32 error code, 1 to 0xFFFF (87 by default), for " +
           answers[static_cast<int>(FailureAnswer::Win32Status)] + "; an NTSTATUS for " +
           answers[static_cast<int>(FailureAnswer::NtStatus)] + " (they fail with STATUS when it is an error status, "
           "else with their usual failure); none for " + answers[static_cast<int>(FailureAnswer::Own)] +
           ", which fail by returning null, FALSE or no bytes; repeatable";
}

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
        if (value == 0) {
            throw std::invalid_argument("--fault " + sim::TerminalText(text) +
                                        ": N counts the calls from 1 (leave @N out for every call)");
        }
        fault.occurrence = static_cast<unsigned>(value);
        rest = equals == std::string::npos ? "" : rest.substr(equals);
    }
    if (!rest.empty()) {
        if (!sim::ParseUnsigned(rest.substr(1), 0xFFFFFFFF, &value)) throw bad("STATUS");
        fault.status = static_cast<uint32_t>(value);
        // Only a status the routine can answer: a video port routine answers a Win32 error code.
        switch (sim::FailureAnswerOf(fault.call)) {
        case sim::FailureAnswer::Win32Status:
            if (value == 0 || value > 0xFFFF) {
                throw std::invalid_argument("--fault " + sim::TerminalText(text) + ": " + name +
                                            " fails with a Win32 error code, 1 to 0xFFFF");
            }
            break;
        case sim::FailureAnswer::Own:
            throw std::invalid_argument("--fault " + sim::TerminalText(text) + ": " + name +
                                        " fails in its own way (null, FALSE or no bytes) and takes no =STATUS");
        case sim::FailureAnswer::NtStatus:
        case sim::FailureAnswer::None: break;
        }
    }
    return fault;
}

sim::MachineConfig MachineConfigOf(const Options& options) {
    sim::MachineConfig config;
    config.checkAliasing = options.checkAliasing;
    config.systemFiles = options.systemFiles;
    config.ansiCodePage = options.codePage;
    config.processReuse = options.processReuse;
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
// would); the machine keeps no trace in memory. A write that fails (a reader that closed the pipe,
// a full disk) ends the writing, and the run's next checkpoint stops the run.
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
        buffer_->StopOnSignalWhen(&stopSignal);
        stream_.rdbuf(buffer_.get());
        machine.StreamTrace(&stream_);
    }
    ~TraceFile() { (void)Finish(); }
    // Writes what is buffered (when the run stops for the debugger).
    void Flush() {
        if (buffer_) buffer_->Flush();
    }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // The errno of the first failed write, 0 while none has failed.
    int Error() const { return buffer_ ? buffer_->Error() : 0; }

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
        // A write that a stop signal interrupted is the stop's, which is reported on its own.
        if (error == 0 || (stopSignal && error == EINTR)) return "";
        return "cannot write the trace to '" + sim::TerminalText(path_) + "': " + std::strerror(error);
    }

private:
    std::string path_;
    int fd_ = -1;
    std::unique_ptr<sim::DescriptorOutput> buffer_;
    std::ostream stream_{nullptr};
};

// --- The build of the driver that runs ---------------------------------------------------------------

// zarnsim links the host library's release build: like the release image, it keeps no messages.
// (The checked host library serves the comparison of the builds only.)
constexpr bool HostBuildHasMessages = false;

constexpr uint32_t VersionFlagDebug = 0x1;   // VS_FF_DEBUG of the version resource

// The build a run uses: the host build linked into zarnsim, or a driver image (--driver) with its
// file name, its version resource's file version, and whether it is the checked build and can print
// messages (it imports VideoPortDebugPrint).
struct DriverBuild {
    std::string file;        // empty for the host build
    std::string version;     // empty when the image has no readable version resource
    bool checked = false;
    bool hasMessages = HostBuildHasMessages;
};

DriverBuild DriverBuildOf(const std::string& imagePath) {
    DriverBuild build;
    if (imagePath.empty()) return build;
    build.file = std::filesystem::path(imagePath).filename().string();
    build.hasMessages = false;
    std::ifstream in(imagePath, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    pe::Image image;
    std::string error;
    if (!pe::Parse(std::move(bytes), &image, &error)) return build;
    for (const pe::Import& routine : image.imports) build.hasMessages |= routine.name == "VideoPortDebugPrint";
    pe::VersionInfo version;
    if (pe::ReadVersion(image, &version, &error)) {
        build.version = version.fileVersion;
        build.checked = version.fileFlags & VersionFlagDebug;
    }
    return build;
}

std::string DriverBuildText(const DriverBuild& build) {
    if (build.file.empty()) return "host build linked into zarnsim (release, no messages)";
    std::string text = sim::TerminalText(build.file) + ", version " +
                       (build.version.empty() ? std::string("unknown (no version resource)") : sim::TerminalText(build.version));
    if (build.checked) text += ", checked build";
    return text + (build.hasMessages ? "" : ", no messages");
}

zarnsim::Json DriverBuildJson(const DriverBuild& build) {
    zarnsim::Json json = zarnsim::Json::object();
    json["build"] = build.file.empty() ? "host" : "image";
    if (!build.file.empty()) {
        json["file"] = sim::Utf8Text(build.file);
        json["version"] = build.version;
        json["checked"] = build.checked;
    }
    json["messages"] = build.hasMessages;
    return json;
}

// --debug-level with a build that prints nothing would show nothing without saying why.
void WarnWhenSilent(const Options& options, const DriverBuild& build) {
    if (options.debugLevel < 0 || build.hasMessages) return;
    std::string which = build.file.empty() ? std::string("the host build linked into zarnsim is a release build")
                                           : sim::TerminalText(build.file) + " imports no VideoPortDebugPrint";
    PrintError("zarnsim: warning: --debug-level " + std::to_string(options.debugLevel) + " shows nothing: " + which +
               " and has no messages (the checked build has them: --driver build/win/zarn-checked.sys)\n");
}

int Run(sim::Machine& machine, const Options& options, const DriverBuild& build) {
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
        report["driver"] = DriverBuildJson(build);
        report["driverEntryStatus"] = machine.DriverEntryStatus();
        report["adapters"] = adapters;
        report["driverFaults"] = static_cast<unsigned>(machine.DriverFaults().size());
        std::cout << zarnsim::DumpJson(report) << "\n";
    } else {
        std::cout << "Driver: " << DriverBuildText(build) << "\n";
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

// Standard input as a script reads it, through a buffer of its own: a stop signal that came before
// or during the wait for input ends the input (the run's checkpoint then stops it); any other
// interrupted wait or read is tried again. The stop signals are held from the check of the flag
// until ppoll lets them through while it waits, so that one coming between the two cannot leave the
// script waiting for a line that may never come.
class StandardInput : public std::streambuf {
public:
    // The errno of a read that failed, 0 while none has.
    int Error() const { return error_; }

protected:
    int_type underflow() override {
        for (;;) {
            int waited = WaitForInput();
            if (waited == EINTR && stopSignal) return traits_type::eof();
            if (waited == EINTR) continue;
            if (waited != 0) {
                error_ = waited;
                return traits_type::eof();
            }
            ssize_t got = ::read(STDIN_FILENO, buffer_, sizeof buffer_);
            if (got > 0) {
                setg(buffer_, buffer_, buffer_ + got);
                return traits_type::to_int_type(buffer_[0]);
            }
            if (got < 0 && errno == EINTR && !stopSignal) continue;
            if (got < 0 && errno != EINTR) error_ = errno;
            return traits_type::eof();
        }
    }

private:
    // 0 once standard input has something to read (or its end), EINTR when a stop signal came
    // before or during the wait, or the errno of a wait that failed.
    static int WaitForInput() {
        sigset_t stops, before;
        sigemptyset(&stops);
        for (int signal : StopSignals) sigaddset(&stops, signal);
        pthread_sigmask(SIG_BLOCK, &stops, &before);
        int result = EINTR;
        if (!stopSignal) {
            pollfd input{STDIN_FILENO, POLLIN, 0};
            result = ::ppoll(&input, 1, nullptr, &before) < 0 ? errno : 0;
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return result;
    }

    int error_ = 0;
    char buffer_[1 << 16];
};

// The script's input, opened before the machine boots: a script that cannot be read is refused
// before any file is written.
struct ScriptInput {
    std::ifstream file;
    StandardInput standard;
    std::istream standardStream{&standard};
    std::istream* in = &standardStream;
    std::string name;
};

std::unique_ptr<ScriptInput> OpenScript(const std::string& path, bool standardInputClosed) {
    auto script = std::make_unique<ScriptInput>();
    script->name = "script '" + sim::TerminalText(path) + "'";
    if (path == "-") {
        if (standardInputClosed) throw std::invalid_argument("cannot read " + script->name + ": standard input is closed");
        return script;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw std::invalid_argument(script->name + " is a directory");
    script->file.open(path);
    if (!script->file) throw std::invalid_argument("cannot open " + script->name + ": " + std::strerror(errno));
    script->in = &script->file;
    return script;
}

int Script(sim::Machine& machine, const Options& options, ScriptInput& script, zarnsim::WaveFile& wave,
           const std::function<void()>& checkpoint) {
    try {
        zarnsim::RunScript(machine, *script.in, options.json, std::cout, &wave, checkpoint);
    } catch (const std::ios_base::failure& error) {
        throw std::runtime_error("cannot read " + script.name + ": " + error.what());
    }
    if (script.standard.Error()) throw std::runtime_error("cannot read " + script.name + ": " + std::strerror(script.standard.Error()));
    if (script.in->bad()) throw std::runtime_error("cannot read " + script.name);
    PrintFaults(machine);
    // An adapter that did not start is said, as the other commands' reports say it.
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        const sim::AdapterRuntime& adapter = machine.Adapter(static_cast<int>(i));
        if (!adapter.started) {
            PrintError("zarnsim: adapter " + std::to_string(i) + " did not start (" +
                       (adapter.discoveryRan ? "discovery answered " + zarnsim::StatusText(adapter.discoveryStatus)
                                             : std::string("discovery did not run")) +
                       ")\n");
        }
    }
    return StatusOf(machine, true);
}

// An option whose value names a file or a mode: the empty word means nothing.
CLI::Validator NotEmpty(const std::string& what) {
    return CLI::Validator([what](std::string& value) { return value.empty() ? "needs " + what + ", not an empty word" : ""; },
                          "");
}

// The largest --instruction-budget: about an hour of the emulated processor.
constexpr uint64_t MaxInstructionBudget = 1'000'000'000'000;

// What the options mean together, checked before the machine runs.
void CheckRunOptions(Options& options) {
    if (!options.gdbAddress.empty() && options.driverImage.empty()) {
        throw std::invalid_argument("--gdb needs --driver: the debugger debugs the driver image on the emulated processor");
    }
    if (options.instructionBudget && options.driverImage.empty()) {
        throw std::invalid_argument("--instruction-budget needs --driver (the host build runs natively, without one)");
    }
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
// A capture of the connectors still running is saved once the sync outputs of the latest change are
// recorded: the machine stays idle after the run.
std::vector<std::string> FinishRun(sim::Machine& machine, const Options& options, TraceFile& trace,
                                   zarnsim::WaveFile& wave, sim::DescriptorOutput& standardOutput,
                                   sim::RegFileEncoding registryEncoding, std::vector<std::string>* leftOut) {
    std::vector<std::string> errors;
    std::string error = trace.Finish();
    if (!error.empty()) errors.push_back(error);
    error = wave.Stop(true);
    if (!error.empty()) errors.push_back(error);
    if (!options.registryFile.empty() &&
        !sim::SaveRegFileToPath(options.registryFile, machine.GetRegistry(), &error, registryEncoding, leftOut)) {
        errors.push_back(error);
    }
    std::cout.flush();
    // A write that a stop signal interrupted is the stop's, which is reported on its own.
    if (!standardOutput.Flush() && !(stopSignal && standardOutput.Error() == EINTR)) {
        errors.push_back(std::string("cannot write standard output: ") + std::strerror(standardOutput.Error()));
    }
    return errors;
}

// The machine as the options make it, before its registry is loaded.
std::unique_ptr<sim::Machine> MakeMachine(const Options& options, const std::vector<sim::InjectedFault>& faults) {
    auto machine = std::make_unique<sim::Machine>(MachineConfigOf(options));
    for (const sim::InjectedFault& fault : faults) machine->InjectFault(fault);
    if (options.instructionBudget && machine->Processor()) machine->Processor()->SetInstructionBudget(options.instructionBudget);
    return machine;
}

// Boots the machine and opens every started display device, as the display driver's session does
// at boot (the first open runs HwInitialize).
void BootAndOpen(sim::Machine& machine) {
    machine.Boot();
    for (size_t i = 0; i < machine.AdapterCount(); ++i) {
        if (machine.Adapter(static_cast<int>(i)).started) machine.OpenDevice(static_cast<int>(i));
    }
}

// `run --mode` names a mode the adapter must offer, which only the booted driver tells. A machine
// made and booted as the run's will be (the same options, faults and registry; no trace, no
// messages) is asked first, so that a mode it does not offer is refused before the run's own boot
// writes a trace or the registry file. When the probe cannot tell (the adapter does not start, the
// driver faults), the run itself finds out and reports it.
void CheckModeOffered(const Options& options, const std::vector<sim::InjectedFault>& faults, const sim::Registry& registry) {
    const sim::ModeRequest request = sim::ParseModeRequest(options.mode);
    bool offered = true;
    try {
        std::unique_ptr<sim::Machine> probe = MakeMachine(options, faults);
        probe->GetRegistry() = registry;
        probe->KeepLatestTrace(0);
        BootAndOpen(*probe);
        if (!probe->Adapter(options.display).started || !probe->DriverFaults().empty()) return;
        sim::ModeList list = sim::QueryModes(*probe, options.display);
        if (list.status != NO_ERROR || !probe->DriverFaults().empty()) return;
        offered = std::any_of(list.modes.begin(), list.modes.end(), [&](const VIDEO_MODE_INFORMATION& mode) {
            return mode.VisScreenWidth == request.width && mode.VisScreenHeight == request.height &&
                   mode.BitsPerPlane == request.bitsPerPixel && mode.Frequency == request.refreshHz;
        });
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return;
    }
    if (!offered) {
        throw std::invalid_argument("--mode " + sim::TerminalText(options.mode) + ": adapter " +
                                    std::to_string(options.display) + " does not offer it (zarnsim modes lists what it offers)");
    }
}

int RunZarnsim(int argc, char** argv, sim::DescriptorOutput& standardOutput, const ClosedDescriptors& closed) {
    Options options;
    CLI::App app{"zarnsim runs the Zarn Mistral display miniport on a simulated machine: it boots the driver as the "
                 "platform does, lists the modes it offers and sends it requests. The machine is made of the video port "
                 "driver, the kernel (address spaces, registry) and the PCI bus with the adapter boards (chip, VGA, DAC, "
                 "option ROM, video BIOS, video memory, scanout) and the monitor on each connector."};
    app.fallthrough();
    app.require_subcommand(1);
    app.footer("Exit status: 0 success; 1 an adapter did not start (run, modes, timings, monitor, script; run --mode "
               "when the adapter it sets did not start, after the report); 2 bad input (an option, a script line, a file "
               "that cannot be read or written, output that cannot be written or is closed); 3 the simulator reported a "
               "driver fault, or the driver's code stopped the emulated processor (even when an adapter did not start "
               "as well); 4 the debugger ended the run (--gdb, gdb's kill); 5 the simulated "
               "machine ran out of a resource (its kernel address space: such as a process object for each of about "
               "6,000 processes that run at once) and no driver fault was reported. Every input and output is checked before the machine boots: a refused run changes no file. "
               "Once the machine has booted, the registry file is written back whatever stops the run; output that "
               "cannot be written stops it at once. SIGINT, SIGTERM and SIGHUP stop the run after its current script "
               "line, the registry file is written back, and zarnsim ends by that signal. Numbers are decimal, or "
               "hexadecimal after 0x (010 is ten).");
    app.add_option("--adapter", options.adapters,
                   "One adapter per use, in PCI slot order (default: device=5,memory=16). ITEMS is comma-separated "
                   "items, each given once: " + sim::AdapterDescriptionHelp())
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
    app.add_option("--fault", options.faults, FaultHelp())
        ->type_name("CALL[@N][=STATUS]");
    app.add_option("--system-file", options.systemFiles,
                   "A file in the system directory \\SystemRoot\\System32\\ (such as the OpenGL driver a "
                   "registry value names); repeatable")
        ->type_name("NAME")
        ->check(NotEmpty("a file name"));
    // A message of the command line's parser is escaped as a whole when it is printed: the word
    // typed goes into it as typed.
    app.add_option_function<std::string>(
           "--code-page",
           [&options](const std::string& text) {
               if (!sim::ParseAnsiCodePage(text, &options.codePage)) {
                   throw CLI::ValidationError("--code-page", "must be latin1 or 932, not " + text);
               }
           },
           "The system's ANSI code page, which the kernel's string conversions use: latin1 (a Western system, the "
           "default) or 932 (a Japanese system: ASCII, halfwidth katakana, and as byte pairs the fullwidth digits "
           "and letters, hiragana, katakana and the ideographic space and stops; other characters convert as "
           "unmapped ones do, to '?' and U+30FB)")
        ->type_name("PAGE");
    app.add_option_function<std::string>(
           "--process-reuse",
           [&options](const std::string& text) {
               if (!sim::ParseProcessReuse(text, &options.processReuse)) {
                   throw CLI::ValidationError("--process-reuse",
                                              "must be recent, oldest or never, not " + sim::TerminalText(text));
               }
           },
           "Which freed process object a new process gets (process objects are pool memory, freed when a process "
           "has ended and no reference to it is held): recent (the most recently freed, as a pool gives it "
           "back; the default), oldest (the longest freed) or never (a new one each time: the pool fills after "
           "about 6,000 processes)")
        ->type_name("READING");
    app.add_option("--driver", options.driverImage,
                   "Run this build of the driver, the shipped zarn.sys (such as build/win/zarn.sys), on an emulated "
                   "i386 processor instead of the host build linked into zarnsim; every command works the same")
        ->type_name("ZARN.SYS")
        ->check(NotEmpty("a file name"));
    app.add_option("--gdb", options.gdbAddress,
                   "With --driver: serve the GDB remote protocol on HOST:PORT, a loopback address (127.0.0.1:0 picks "
                   "a free port; the address is shown on standard error), wait for gdb, and stop before DriverEntry. "
                   "gdb-multiarch build/win/zarn.debug, then target remote HOST:PORT: the image's symbols and lines, "
                   "general registers, memory (device windows are not read), breakpoints, watchpoints on the image's "
                   "own loads and stores, steps, Ctrl-C (at the image's next instruction), and a fault of the image "
                   "as a signal (SIGSEGV, SIGILL) at the faulting instruction. When the run stops, its output and "
                   "trace so far are written; quitting gdb detaches and the run goes on; kill ends it (status 4)")
        ->type_name("HOST:PORT")
        ->check(NotEmpty("an address HOST:PORT"));
    app.add_option_function<std::string>(
           "--debug-level",
           [&options](const std::string& text) {
               uint64_t level = 0;
               if (!sim::ParseUnsigned(text, 3, &level)) {
                   throw CLI::ValidationError("--debug-level", "must be a whole number from 0 to 3, not " + text);
               }
               options.debugLevel = static_cast<int>(level);
           },
           "Show the messages of the driver's checked build (--driver build/win/zarn-checked.sys) of level N "
           "and below on standard error as they come, each with its adapter, as a kernel debugger does with "
           "VideoDebugLevel N: 0 errors, 1 warnings, 2 trace, 3 information. The release builds (zarn.sys and the host "
           "build linked into zarnsim) have none, and zarnsim warns on standard error when given N with one")
        ->type_name("N");
    app.add_option_function<std::string>(
           "--instruction-budget",
           [&options](const std::string& text) {
               uint64_t budget = 0;
               if (!sim::ParseUnsigned(text, MaxInstructionBudget, &budget) || budget == 0) {
                   throw CLI::ValidationError("--instruction-budget", "must be a number from 1 to " +
                                                                          std::to_string(MaxInstructionBudget) + ", not " + text);
               }
               options.instructionBudget = budget;
           },
           "With --driver: the most instructions the emulated processor runs in one call into the driver, the "
           "calls back into it that the call makes included (default " +
               std::to_string(sim::image::Cpu::DefaultInstructionBudget) +
               "); a call that runs more, such as code in an endless loop, is a driver fault (status 3) that says "
               "where the code was. The host build runs natively and has no such limit")
        ->type_name("N");
    app.add_flag("--check-aliasing", options.checkAliasing,
                 "Run every request with input and output in one buffer and in two, and report a driver fault "
                 "when the answers differ; and once more with other stale memory, reporting what changes with it");

    CLI::App* run = app.add_subcommand("run", "Boot the machine and report which build of the driver ran (the host "
                                              "build, or the image's file name and version) and each adapter: PCI "
                                              "identity, windows, memory, HardwareInformation values and the modes offered");
    const char* traceHelp = "Write the trace of every hardware access, one per line, to FILE as the accesses happen "
                            "(a FIFO or a device is written through)";
    run->add_option("--trace", options.traceFile, traceHelp)->type_name("FILE")->check(NotEmpty("a file name"));
    const std::string waveHelp =
        "Capture every adapter's connector from power-on, as a logic analyser would, into FILE, a Value Change Dump "
        "(IEEE 1364) on the machine's clock in 1 ns steps: per adapter the display data channel's wires scl and sda as "
        "they carry them, the sync outputs hsync and vsync as the CRTC drives them (for " +
        std::to_string(sim::WaveSyncFrames) + " frames, at most " + std::to_string(sim::WaveSyncMaxNanoseconds / 1000000) +
        " ms, after each change of the timing, then at rest), and the monitor's power state (power_on, power_standby, "
        "power_suspend, power_off); the number of the adapter ends each name. At the end of the run the capture goes "
        "on, with the machine idle, until the sync of the last change is recorded";
    run->add_option("--wave", options.waveFile, waveHelp)->type_name("FILE.vcd")->check(NotEmpty("a file name"));
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
                   "refresh is more than 1% from its rate; and list each entry of the mode table that validation dropped, "
                   "with the reason (no mode information, no VESA mode number on the video BIOS path, not enough "
                   "video memory)");
    CLI::App* modes = app.add_subcommand("modes", "List every offered mode of each adapter as the display driver "
                                                  "receives it");
    CLI::App* monitor = app.add_subcommand(
        "monitor", "Show each adapter's monitor child as the platform enumerated it at boot, with the "
                   "identification data read over the display data channel: manufacturer, product code, serial, "
                   "week and year, name, size, preferred timing, range limits, established and standard timings, "
                   "and the raw bytes; and the power state the monitor is in");
    monitor->add_option("--wave", options.waveFile, waveHelp)->type_name("FILE.vcd")->check(NotEmpty("a file name"));
    CLI::App* script = app.add_subcommand(
        "script", "Run a request script on one booted machine, one command per line: request CODE [in=HEX] "
                  "[out=BYTES] [adapter=N] [process=N] (CODE is a control code name, IOCTL_VIDEO_..., or a number; an "
                  "unknown name is refused with the nearest known ones); "
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
                  "every started adapter is told on); process N (starts "
                  "process N, N up to 1000000, and later commands run in it; 1 runs from the start; an ended process "
                  "stays ended); end-process N (its views go, and its process object is freed once the driver holds "
                  "no reference to it; 0 and a process that never ran are refused); read ADDRESS LENGTH, write ADDRESS HEX, fill ADDRESS LENGTH BYTE (the current process "
                  "touching memory: user addresses through its views; kernel addresses, 0x80000000 and up, only from "
                  "process 1, the display driver, in kernel mode; an address reachable through nothing, or a kernel "
                  "address from a user program, is a fault of the process); views (the current process's views and "
                  "the system-space mappings); wave FILE.vcd (capture every adapter's connector from now on into FILE, as "
                  "--wave does; a file named off is ./off) and wave off (end the capture and save it). A handle to process N is 0x1000+4*N in every process; 0xFFFFFFFF "
                  "names the calling process; VideoPortMapMemory maps a handle of 0 into system space (a system-space "
                  "mapping a user program's request left is reported when the program ends). "
                  "Every command but wave takes adapter=N. A word in double quotes may hold blanks. Blank lines and # "
                  "comments are skipped.");
    script->add_option("FILE", options.scriptFile, "Script file, or - for standard input")
        ->required()
        ->check(NotEmpty("a file name"));
    script->add_option("--trace", options.traceFile, traceHelp)->type_name("FILE")->check(NotEmpty("a file name"));
    script->add_option("--wave", options.waveFile, waveHelp + " (the script's wave off ends it earlier)")
        ->type_name("FILE.vcd")
        ->check(NotEmpty("a file name"));

    if (closed.closed[STDOUT_FILENO]) {
        PrintError("zarnsim: standard output is closed: nothing zarnsim reports could be read\n");
        return ExitBadInput;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        PrintError("zarnsim: " + sim::TerminalText(error.what()) + "\n");
        return ExitBadInput;
    }

    try {
        // Every input and output is checked before the machine runs: a run refused for bad input
        // changes no file.
        CheckRunOptions(options);
        std::vector<sim::InjectedFault> faults;
        for (const std::string& fault : options.faults) faults.push_back(ParseFault(fault));
        std::string error;
        if (!options.registryFile.empty() &&
            !sim::CheckSaveTarget(options.registryFile, sim::RegFileSavePolicy(), &error)) {
            throw std::invalid_argument(error);
        }
        for (const std::string* path : {&options.screenshot, &options.waveFile}) {
            if (!path->empty() && !sim::CheckSaveTarget(*path, sim::SavePolicy{}, &error)) throw std::invalid_argument(error);
        }
        std::unique_ptr<ScriptInput> scriptInput;
        if (script->parsed()) scriptInput = OpenScript(options.scriptFile, closed.closed[STDIN_FILENO]);
        std::unique_ptr<sim::Machine> made = MakeMachine(options, faults);
        sim::Machine& machine = *made;
        sim::RegFileEncoding registryEncoding = sim::RegFileEncoding::Latin1;
        if (!options.registryFile.empty() &&
            !sim::LoadRegFileFromPath(options.registryFile, machine.GetRegistry(), &error, &registryEncoding)) {
            throw std::invalid_argument(error);
        }
        if (run->parsed() && !options.mode.empty()) CheckModeOffered(options, faults, machine.GetRegistry());
        const DriverBuild build = DriverBuildOf(options.driverImage);
        WarnWhenSilent(options, build);
        if (options.debugLevel >= 0) {
            machine.Port().SetDebugLevel(options.debugLevel);
            machine.Port().SetMessageSink([](const sim::DriverMessage& message) { PrintError(zarnsim::MessageText(message)); });
        }
        // A stop asked for before the machine runs ends zarnsim with nothing written.
        if (stopSignal) EndBySignal(stopSignal);
        TraceFile trace(machine, options.traceFile);
        std::unique_ptr<sim::image::GdbStub> debugger;
        if (!options.gdbAddress.empty()) {
            debugger = std::make_unique<sim::image::GdbStub>(options.gdbAddress);
            PrintError("zarnsim: waiting for gdb on " + debugger->Address() + " (target remote " + debugger->Address() +
                       ")\n");
            const sim::image::LoadedImage* image = machine.DriverImage();
            debugger->Attach(*machine.Processor(), {image->base, image->preferredBase, image->size});
            debugger->OnHostMemory([&machine](uint32_t address) -> const uint8_t* {
                // The rest of a block's last page belongs to the block's region too.
                const sim::KernelSpace& space = machine.GetKernel().Space();
                const sim::Region* region = space.Find(address);
                if (!region) region = space.Find(address & ~0xFFFu);
                if (!region || region->device || !region->memory.data() || address - region->base >= region->memory.pageBytes()) {
                    return nullptr;
                }
                return region->memory.data() + (address - region->base);
            });
            debugger->OnStop([&] {
                std::cout.flush();
                standardOutput.Flush();
                trace.Flush();
            });
        }
        zarnsim::WaveFile wave(machine);
        if (!options.waveFile.empty()) wave.Start(options.waveFile);
        standardOutput.StopOnSignalWhen(&stopSignal);

        // From here on the machine runs: what it changed is kept whatever stops it. Between the lines
        // of a script and before a command reports, a checkpoint stops the run for a stop signal or
        // for output that can no longer be written.
        auto checkpoint = [&] {
            if (stopSignal) throw StopRequested{};
            if (standardOutput.Error() || trace.Error()) throw OutputLost{};
        };
        int status = ExitBadInput;
        std::vector<std::string> errors;
        try {
            BootAndOpen(machine);
            checkpoint();
            if (run->parsed()) status = Run(machine, options, build);
            if (modes->parsed()) status = ListAdapters(machine, options, zarnsim::ModesJson, zarnsim::ModesText);
            if (timings->parsed()) status = ListAdapters(machine, options, zarnsim::TimingsJson, zarnsim::TimingsText);
            if (monitor->parsed()) status = ListAdapters(machine, options, zarnsim::MonitorJson, zarnsim::MonitorText);
            if (script->parsed()) status = Script(machine, options, *scriptInput, wave, checkpoint);
        } catch (const sim::image::DebuggerEnded& ended) {
            errors.push_back(ended.what());
            status = ExitDebuggerEnded;
        } catch (const StopRequested&) {
            PrintFaults(machine);
        } catch (const OutputLost&) {
            // FinishRun names the output that failed.
            PrintFaults(machine);
            status = machine.DriverFaults().empty() ? ExitBadInput : ExitDriverFault;
        } catch (const sim::ResourceExhausted& exhausted) {
            errors.push_back(std::string("the simulated machine ran out of room: ") + exhausted.what());
            status = machine.DriverFaults().empty() ? ExitExhausted : ExitDriverFault;
            PrintFaults(machine);
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
        std::vector<std::string> unsaved = FinishRun(machine, options, trace, wave, standardOutput, registryEncoding, &leftOut);
        for (const std::string& why : leftOut) errors.push_back(why);
        errors.insert(errors.end(), unsaved.begin(), unsaved.end());
        for (const std::string& message : errors) PrintError("zarnsim: " + message + "\n");
        if (!unsaved.empty() && status != ExitDriverFault) status = ExitBadInput;
        if (debugger) debugger->End(status);
        if (stopSignal) {
            PrintError(std::string("zarnsim: stopped by ") + SignalName(stopSignal) +
                       (options.registryFile.empty() || !unsaved.empty() ? "" : "; the registry file was written back") +
                       "\n");
            std::cout.flush();
            std::cerr.flush();
            EndBySignal(stopSignal);
        }
        return status;
    } catch (const std::exception& error) {
        // Bad input of any kind before the machine ran: an option, a file that cannot be read or written.
        PrintError("zarnsim: " + std::string(error.what()) + "\n");
        if (stopSignal) EndBySignal(stopSignal);
        return ExitBadInput;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const ClosedDescriptors closed = OccupyClosedDescriptors();
    // A reader that closes its end of an output pipe makes the write fail, which is reported; it
    // does not end the run before the registry is written back.
    std::signal(SIGPIPE, SIG_IGN);
    HandleStopSignals();
    sim::DescriptorOutput standardOutput(STDOUT_FILENO);
    std::streambuf* terminal = std::cout.rdbuf(&standardOutput);
    int status = RunZarnsim(argc, argv, standardOutput, closed);
    std::cout.flush();
    std::cout.rdbuf(terminal);
    return status;
}
