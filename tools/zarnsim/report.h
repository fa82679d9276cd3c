// The reports of `zarnsim run` and `zarnsim modes`.
#pragma once

#include <string>

#include "json.h"
#include "machine/machine.h"

namespace zarnsim {

// The boot report of one adapter: identity, windows, memory, HardwareInformation, modes.
std::string AdapterReportText(sim::Machine& machine, int adapter);
Json AdapterReportJson(sim::Machine& machine, int adapter);

// Every offered mode of one adapter as the display driver receives it.
std::string ModesText(sim::Machine& machine, int adapter);
Json ModesJson(sim::Machine& machine, int adapter);

// A message of the driver's checked build as zarnsim shows it: its adapter, its level and its text
// (escaped), one line.
std::string MessageText(const sim::DriverMessage& message);

// Driver faults and unknown register accesses, one per line; empty when there were none.
std::string FaultsText(const sim::Machine& machine);

}  // namespace zarnsim
