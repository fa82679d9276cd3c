// `zarnsim script`: a request console on one booted machine.
#pragma once

#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>

#include "machine/machine.h"
#include "wave_file.h"

namespace zarnsim {

// A malformed script line; the script stops there.
struct ScriptError : std::runtime_error {
    ScriptError(int line, const std::string& message)
        : std::runtime_error("script line " + std::to_string(line) + ": " + message), line(line) {}
    int line;
};

// Runs every line of the script against the machine, writing one result per command. `wave` is the
// capture the wave command starts and ends (null: the command is refused). `checkpoint` runs after
// every line and at the end of the script; it throws to stop the script there (a stop signal, output
// that can no longer be written).
void RunScript(sim::Machine& machine, std::istream& script, bool json, std::ostream& out, WaveFile* wave = nullptr,
               const std::function<void()>& checkpoint = [] {});

}  // namespace zarnsim
