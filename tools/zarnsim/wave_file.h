// The capture of the connectors that `--wave FILE.vcd` and the script's `wave` command write: a
// logic analyser's Value Change Dump (sim::WaveCapture), saved as zarnsim saves its other files.
#pragma once

#include <string>

#include "machine/machine.h"

namespace zarnsim {

class WaveFile {
public:
    explicit WaveFile(sim::Machine& machine) : machine_(machine) {}
    WaveFile(const WaveFile&) = delete;
    WaveFile& operator=(const WaveFile&) = delete;

    // Starts capturing to `path` from now. Throws std::invalid_argument when a capture is running
    // or the file could not be saved (checked before anything is captured).
    void Start(const std::string& path);
    // Ends the running capture and saves it (see sim::Machine::StopWave for `runOn`). Empty when
    // saved or when no capture runs, else why it was not saved.
    std::string Stop(bool runOn);
    bool Running() const { return machine_.WaveRunning(); }
    const std::string& Path() const { return path_; }

private:
    sim::Machine& machine_;
    std::string path_;
};

}  // namespace zarnsim
