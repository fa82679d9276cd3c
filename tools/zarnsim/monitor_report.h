// The monitor as the platform knows it: the children it enumerated, the identification data read
// over the display data channel (`zarnsim monitor`), the monitor's power state, and the modes the
// monitor's range limits exclude.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "json.h"
#include "machine/machine.h"
#include "support/edid.h"

namespace zarnsim {

// The identification data of an adapter's monitor child, decoded with the raw bytes.
std::string MonitorText(sim::Machine& machine, int adapter);
Json MonitorJson(sim::Machine& machine, int adapter);

// One line on the monitor for the boot report: what is on the connector, its child identifier,
// its name and its power state.
std::string MonitorSummary(sim::Machine& machine, int adapter);
Json MonitorSummaryJson(sim::Machine& machine, int adapter);

// The range limits of the monitor's identification data as the platform read it; false when there
// is none (no monitor child, no data read, or no range limits descriptor).
bool MonitorRangeLimits(const sim::Machine& machine, int adapter, sim::EdidRangeLimits* limits);
// Why a timing lies outside the limits; empty when it lies inside.
std::string OutsideRange(const sim::EdidRangeLimits& limits, const sim::DisplayTiming& timing);
// Every offered mode the monitor's range limits exclude, by mode index, with the reason. Sets each
// mode to measure the timing the chip sends.
std::map<uint32_t, std::string> ModesOutsideMonitorRange(sim::Machine& machine, int adapter);

std::string ChildTypeName(uint32_t type);
// The children the platform enumerated for an adapter: index, type and identifier of each.
Json ChildrenJson(sim::Machine& machine, int adapter);

}  // namespace zarnsim
