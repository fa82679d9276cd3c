// Any request a caller can send, chosen by the fuzzer: the control code (mostly one the driver
// serves, sometimes any), the input bytes and the output length, on a machine with a BIOS-path
// primary and a direct-path secondary. A driver fault stops the run.
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "machine/machine.h"
#include "served_codes.h"

namespace {

const auto& servedCodes = servedcodes::codes;

sim::Machine& TheMachine() {
    static sim::Machine* machine = [] {
        sim::MachineConfig config;
        sim::AdapterConfig secondary;
        secondary.secondary = true;
        secondary.memoryMiB = 4;
        config.adapters = {sim::AdapterConfig{}, secondary};
        config.checkAliasing = true;
        auto* m = new sim::Machine(config);
        m->Boot();
        return m;
    }();
    return *machine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    sim::Machine& machine = TheMachine();
    machine.ClearTrace();
    int adapter = data[0] & 1;
    uint32_t code = servedCodes[data[1] % std::size(servedCodes)];
    if (data[0] & 0x80) code ^= static_cast<uint32_t>(data[1]) << (data[0] & 0x18);
    uint32_t outputLength = static_cast<uint32_t>(data[2] | data[3] << 8);
    std::vector<uint8_t> input(data + 4, data + size);
    sim::RequestOptions options;
    options.adapter = adapter;
    sim::RequestResult result = machine.Request(code, input, outputLength, options);
    if (result.output.size() > outputLength || !machine.DriverFaults().empty()) {
        for (const sim::Fault& fault : machine.DriverFaults()) std::cerr << "driver fault: " << fault.message << "\n";
        std::abort();
    }
    if (data[0] & 0x40) machine.ResetHw(adapter);
    return 0;
}
