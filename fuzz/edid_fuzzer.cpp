// What a monitor hands the driver, chosen by the fuzzer: the bytes of its identification data (a
// base block, and an extension block when the input is long enough), how it misbehaves on the
// display data channel, and which reading of the platform's DDC helper reads it. The platform
// enumerates the monitor through the driver's line callbacks; a driver fault stops the run, and so
// does a read that reports success with other bytes than the monitor served, or a monitor that
// answers with a valid header and is reported as not read. Whatever was read is then decoded as the
// command line decodes it.
//
// The machine boots once; every input plugs in a new monitor and has the children enumerated again.
//
// Input: a byte whose low two bits choose the monitor's behaviour (answers, does not answer,
// corrupts its checksum, holds the data line low), whose bit 2 the helper (clear strict, set
// tolerant) and bits 3-4 the helper's attempts less one, then the EDID bytes (padded with zeros or cut to 128, or to 256 from 129 bytes on).
// With bit 7 of that first byte clear the EDID header is kept valid, so that most inputs reach the
// decoder.
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "machine/machine.h"
#include "support/edid.h"

namespace {

constexpr uint8_t EdidHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr uint32_t MonitorRead = 0x22446688;

void Stop(const sim::Machine& machine, const char* what) {
    std::cerr << what << "\n";
    for (const sim::Fault& fault : machine.DriverFaults()) std::cerr << "driver fault: " << fault.message << "\n";
    std::abort();
}

}  // namespace

// The machine boots once; each input restores it, connects a monitor with the input's memory and
// behaviour, and has the platform enumerate the children again (a new monitor plugged in).
struct Fixture {
    sim::Machine machine;
    sim::Machine::Snapshot booted;
    static sim::MachineConfig Config() {
        sim::MachineConfig config;
        config.adapters[0].hasRom = false;
        return config;
    }
    Fixture() : machine(Config()) {
        machine.Boot();
        machine.KeepLatestTrace(0);
        booted = machine.Save();
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static Fixture* fixture = new Fixture;
    sim::Machine& machine = fixture->machine;
    const uint8_t behaviour = data[0];
    std::vector<uint8_t> edid(data + 1, data + size);
    edid.resize(edid.size() > 128 ? 256 : 128, 0);
    if (!(behaviour & 0x80)) std::memcpy(edid.data(), EdidHeader, sizeof EdidHeader);

    const sim::MonitorFault faults[4] = {sim::MonitorFault::None, sim::MonitorFault::NoAnswer,
                                         sim::MonitorFault::BadChecksum, sim::MonitorFault::DataLineLow};
    const sim::MonitorFault fault = faults[behaviour & 3];
    machine.Restore(fixture->booted);
    machine.MonitorOf(0) = sim::DisplayMonitor(sim::MonitorConfig{true, edid, "fuzzer", fault});
    machine.GetBus().BoardAt(0).config.ddcHelper = behaviour & 4 ? sim::DdcHelper::Tolerant : sim::DdcHelper::Strict;
    machine.GetBus().BoardAt(0).config.ddcAttempts = 1u + ((behaviour >> 3) & 3);
    machine.EnumerateChildren(0);
    if (!machine.DriverFaults().empty()) Stop(machine, "the simulator reported a driver fault");
    const bool answers = fault == sim::MonitorFault::None || fault == sim::MonitorFault::BadChecksum;
    for (const sim::ChildDevice& child : machine.Children(0)) {
        if (answers && !(behaviour & 0x80) && child.uid != MonitorRead) {
            Stop(machine, "a monitor that answers with a valid header was reported as not read");
        }
        if (child.uid != MonitorRead) continue;
        // A read reported as successful must hold what the monitor served (the checksum fault
        // changes the last byte of the base block on the wire).
        std::vector<uint8_t> served(edid.begin(), edid.begin() + 128);
        if (fault == sim::MonitorFault::BadChecksum) ++served[127];
        if (child.descriptor.size() < 128 || !std::equal(served.begin(), served.end(), child.descriptor.begin())) {
            Stop(machine, "the monitor child was read, but not the bytes the monitor served");
        }
        sim::Edid decoded;
        std::string error;
        sim::DecodeEdid(child.descriptor, &decoded, &error);
    }
    return 0;
}
