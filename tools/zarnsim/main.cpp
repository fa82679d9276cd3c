// zarnsim: runs the driver on the simulated machine.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <memory>

#include "json.h"
#include "machine.h"
#include "report.h"
#include "script.h"

namespace {

constexpr int ExitBadInput = 2;

struct Options {
    std::vector<std::string> adapters;
    bool json = false;
    bool checkAliasing = false;
    std::string scriptFile;
};

sim::MachineConfig MachineConfigOf(const Options& options) {
    sim::MachineConfig config;
    config.checkAliasing = options.checkAliasing;
    if (!options.adapters.empty()) {
        config.adapters.clear();
        for (const std::string& spec : options.adapters) config.adapters.push_back(sim::ParseAdapterSpec(spec));
    }
    if (config.adapters.size() > 8) throw std::invalid_argument("at most 8 adapters fit in the machine");
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

int Run(sim::Machine& machine, const Options& options) {
    if (options.json) {
        zarnsim::Json adapters = zarnsim::Json::Array();
        for (size_t i = 0; i < machine.AdapterCount(); ++i) adapters.Push(zarnsim::AdapterReportJson(machine, static_cast<int>(i)));
        zarnsim::Json report = zarnsim::Json::Object();
        report.Set("driverEntryStatus", machine.DriverEntryStatus());
        report.Set("adapters", adapters);
        report.Set("driverFaults", static_cast<unsigned>(machine.DriverFaults().size()));
        std::cout << report.Dump() << "\n";
    } else {
        std::cout << "Driver entry: status " << machine.DriverEntryStatus() << "\n";
        for (size_t i = 0; i < machine.AdapterCount(); ++i) std::cout << zarnsim::AdapterReportText(machine, static_cast<int>(i));
    }
    PrintFaults(machine);
    return AllStarted(machine) ? 0 : 1;
}

int Modes(sim::Machine& machine, const Options& options) {
    if (options.json) {
        zarnsim::Json adapters = zarnsim::Json::Array();
        for (size_t i = 0; i < machine.AdapterCount(); ++i) adapters.Push(zarnsim::ModesJson(machine, static_cast<int>(i)));
        zarnsim::Json report = zarnsim::Json::Object();
        report.Set("adapters", adapters);
        std::cout << report.Dump() << "\n";
    } else {
        for (size_t i = 0; i < machine.AdapterCount(); ++i) std::cout << zarnsim::ModesText(machine, static_cast<int>(i));
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
                 "platform does, lists the modes it offers and sends it requests."};
    app.fallthrough();
    app.require_subcommand(1);
    app.add_option("--adapter", options.adapters,
                   "One adapter per use, in PCI slot order (default: device=5,memory=16). SPEC is comma-separated "
                   "items: device=N (PCI device ID), memory=4|8|16 (MiB), secondary (found with decoding off), "
                   "bus66 (66 MHz capable bus), altmem (alternative memory type, 16 MiB), revision=N, "
                   "subvendor=N, subsystem=N, regwindow=MiB (register window size)")
        ->type_name("SPEC");
    app.add_flag("--json", options.json, "Machine-readable output");
    app.add_flag("--check-aliasing", options.checkAliasing,
                 "Run every request with input and output in one buffer and in two, and report a driver fault "
                 "when the answers differ");

    CLI::App* run = app.add_subcommand("run", "Boot the machine and report each adapter: PCI identity, windows, "
                                              "memory, HardwareInformation values and the modes offered");
    CLI::App* modes = app.add_subcommand("modes", "List every offered mode of each adapter as the display driver "
                                                  "receives it");
    CLI::App* script = app.add_subcommand(
        "script", "Run a request script on one booted machine. Lines: request CODE [in=HEX] [out=BYTES] "
                  "[adapter=N] [process=N]; blank lines and # comments are skipped. CODE is a control code name "
                  "(IOCTL_VIDEO_...) or number.");
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
        machine.Boot();
        if (run->parsed()) return Run(machine, options);
        if (modes->parsed()) return Modes(machine, options);
        if (script->parsed()) return Script(machine, options);
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
