// What the monitor shows: the mode set of `zarnsim run --mode`, the decoded timing, screenshots, and
// the `zarnsim timings` table.
#pragma once

#include <string>

#include "clients/display_driver.h"
#include "devices/scanout.h"
#include "json.h"
#include "machine/machine.h"

namespace zarnsim {

std::string TimingText(const sim::DisplayState& display);
Json TimingJson(const sim::DisplayState& display);

// Sets the mode like a display driver, draws the test pattern at the mode's stride and reports the
// decoded timing; writes a screenshot when `screenshot` is not empty. Throws std::runtime_error
// when the mode cannot be set.
std::string ShowModeText(sim::Machine& machine, int adapter, const std::string& mode, const std::string& screenshot);
Json ShowModeJson(sim::Machine& machine, int adapter, const std::string& mode, const std::string& screenshot);

// Writes what the monitor shows now as a PNG file; throws std::runtime_error on failure.
void SaveScreenshot(sim::Machine& machine, int adapter, const std::string& path);

// Why a mode as set does not show what the driver reports for it (`listed` in the mode list, `set`
// the mode set and the current mode it answered); empty when it does. The picture must be on, at
// the reported resolution, depth, stride and refresh, with nothing else amiss.
std::string TimingFlag(const VIDEO_MODE_INFORMATION& listed, const sim::ModeSetResult& set,
                       const sim::DisplayState& display);

// Every entry of the adapter's active mode table: set, decoded and compared with what it declares.
std::string TimingsText(sim::Machine& machine, int adapter);
Json TimingsJson(sim::Machine& machine, int adapter);

}  // namespace zarnsim
