// The monitor on the adapter's connector: its display data channel (the two open-drain wires, the
// I2C bus and the EDID memory behind it), what it makes of the sync outputs (VESA DPMS), and the
// faults a monitor can have. Without a monitor the wires only have their pull-ups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/edid_eeprom.h"
#include "devices/i2c_bus.h"
#include "devices/scanout.h"

namespace sim {

enum class MonitorFault {
    None,
    NoAnswer,      // nothing acknowledges on the display data channel
    BadChecksum,   // the memory serves the base block with a wrong checksum byte
    DataLineLow,   // the monitor holds the data line low
    ClockLineLow,  // the monitor holds the clock line low
    StretchesClock,  // the monitor holds the clock low for a while after every byte (clock stretching)
    MissesFirstTransaction,  // it starts in DDC1 mode and misses the first transaction after power-up
};

// How long a monitor that stretches the clock holds it low after each byte: well inside the 1 ms the
// tolerant DDC helper waits for the clock, and far longer than a bit.
constexpr uint64_t MonitorStretchNanoseconds = 100000;

// How the monitor on a connector is built.
struct MonitorConfig {
    bool present = true;
    std::vector<uint8_t> edid;        // empty: the built-in monitor's
    std::string source = "builtin";   // where the EDID came from, for reports
    MonitorFault fault = MonitorFault::None;
};

// The built-in monitor's EDID: a 17-inch CRT, 1024x768 at 75 Hz preferred, 30-70 kHz, 50-120 Hz.
std::vector<uint8_t> BuiltinEdid();
// Checks an EDID image for a monitor's memory: 128 or 256 bytes. Empty when it fits, else why not.
std::string CheckEdidImage(const std::vector<uint8_t>& edid);

// VESA DPMS, as a monitor decides it from the two sync outputs.
enum class MonitorPower { Absent, On, StandBy, Suspend, Off };
MonitorPower DecideMonitorPower(bool present, const SyncOutputs& sync);
const char* MonitorPowerName(MonitorPower power);

// The levels of both wires at one access to the monitor line register.
struct LineSample {
    uint64_t timeNs = 0;
    bool clock = true;
    bool data = true;
};

class DisplayMonitor {
public:
    DisplayMonitor() : DisplayMonitor(MonitorConfig{false, {}, "none", MonitorFault::None}) {}
    explicit DisplayMonitor(const MonitorConfig& config);

    bool Present() const { return present_; }
    const std::string& Source() const { return source_; }
    MonitorFault Fault() const { return fault_; }
    // What the monitor's memory serves (the fault included).
    const std::vector<uint8_t>& Edid() const { return eeprom_.Contents(); }

    // The adapter's outputs on the two lines (true: released), at machine time `now` (ns).
    void DriveLines(bool clock, bool data, uint64_t now);
    // Time passes on the wires: a clock the monitor stretched is released when its time is up.
    void Advance(uint64_t now) { bus_.Advance(now, Device()); }
    bool ClockWire() const { return bus_.Clock(); }
    bool DataWire() const { return bus_.Data(); }
    // A logic analyser's probe on the two wires (null: none), told every change with its time.
    void SetWireWatcher(WireWatcher* watcher) { bus_.SetWatcher(watcher); }

    MonitorPower Power(const SyncOutputs& sync) const { return DecideMonitorPower(present_, sync); }

    // A probe on the wires: while on, every access to the line register leaves a sample.
    void SetProbe(bool on) { probing_ = on; }
    void Sample(uint64_t timeNs) {
        if (probing_) KeepSample(timeNs);
    }
    const std::vector<LineSample>& Samples() const { return samples_; }
    void ClearSamples() { samples_.clear(); }

private:
    I2cDevice& Device();
    void KeepSample(uint64_t timeNs);

    bool present_ = false;
    std::string source_;
    MonitorFault fault_ = MonitorFault::None;
    EdidEeprom eeprom_;
    NoI2cDevice nothing_;
    I2cBus bus_;
    bool probing_ = false;
    std::vector<LineSample> samples_;
};

}  // namespace sim
