// One scenario run on a simulated machine, recorded for the comparison of the driver's two builds:
// what a caller sees (answers field by field), what the hardware saw (the trace), the registry and
// the faults the instruments reported.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "machine/machine.h"

namespace builds {

// What the machine is made of and what is done with it after boot.
struct Scenario {
    std::string name;
    std::vector<std::string> adapters;          // --adapter descriptions; empty: the default board
    std::string registry;                       // REGEDIT4 text loaded before boot
    std::vector<std::string> systemFiles;
    std::vector<sim::InjectedFault> faults;
    bool checkAliasing = false;
    std::string script;                         // zarnsim script lines, run after boot
    bool everyMode = false;                     // then every offered mode of every adapter, in turn
    std::string session;                        // then the display driver's session in this mode on adapter 0
    std::string picture;                        // then this mode set and the test pattern drawn on every started adapter
    sim::ProcessReuse processReuse = sim::ProcessReuse::Recent;
};

inline void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

struct Run {
    std::unique_ptr<sim::Machine> machine;
    std::vector<std::pair<std::string, std::string>> answers;   // (what, value) in the order seen
};

// Runs the scenario on the host build (empty `driverImage`) or on the image. An exception on the
// way is an answer too: where the run stopped, and why.
Run RunScenario(const Scenario& scenario, const std::string& driverImage);

// The first difference between two runs, naming the answer, the hardware access (by its number in
// the trace), the registry line or the fault; empty when they agree.
std::string FirstDifference(const Run& host, const Run& image);

}  // namespace builds
