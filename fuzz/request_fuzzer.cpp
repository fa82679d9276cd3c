// Request sequences as the port delivers them, chosen by the fuzzer: requests of any control code
// (mostly one the driver serves), any input bytes and output length, from several processes, with
// mode sets and resets in between, on a machine with a BIOS-path primary and a direct-path
// secondary. Every input starts from the same booted machine. A driver fault, output beyond the
// buffer, or an answer that differs when input and output share one buffer stops the run.
//
// Input: a sequence of operations, each introduced by one byte:
//   op % 6 == 0  request: selector byte (bit 7: a raw 32-bit code follows instead of a served one),
//                process byte, 2-byte input length, 2-byte output length, then the input bytes
//   op % 6 == 1  mode set: 2-byte mode index
//   op % 6 == 2  HwResetHw
//   op % 6 == 3  IOCTL_VIDEO_RESET_DEVICE
//   op % 6 == 4  a process ends (2, 3 or 4; the display driver's process 1 stays)
//   op % 6 == 5  a process writes: process byte, 4-byte address, length byte, the bytes (a user-mode
//                program touching what it was given: the address's top bit is cleared, since only
//                kernel-mode code reaches kernel addresses; an address nothing maps is the program's
//                own fault)
// Bit 4 of the op byte selects the adapter. A request from an ended process is not sent. Bit 5 of a
// request's op byte also runs the request the way the aliasing check does: once with input and
// output in separate buffers, once in one, and the answers must agree.
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "machine/machine.h"
#include "served_codes.h"

namespace {

const auto& servedCodes = servedcodes::codes;
constexpr unsigned MaxOperations = 16;

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool Done() const { return at >= size; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Dword() { return Word() | static_cast<uint32_t>(Word()) << 16; }
};

struct Fixture {
    sim::Machine machine;
    sim::Machine::Snapshot booted;

    static sim::MachineConfig Config() {
        sim::MachineConfig config;
        sim::AdapterConfig secondary;
        secondary.secondary = true;
        secondary.memoryMiB = 4;
        config.adapters = {sim::AdapterConfig{}, secondary};
        return config;
    }
    Fixture() : machine(Config()) {
        machine.Boot();
        booted = machine.Save();
    }
};

Fixture& TheFixture() {
    static Fixture* fixture = new Fixture;
    return *fixture;
}

void Stop(sim::Machine& machine, const char* what) {
    std::cerr << what << "\n";
    for (const sim::Fault& fault : machine.DriverFaults()) std::cerr << "driver fault: " << fault.message << "\n";
    std::abort();
}

uint32_t ProcessOf(uint8_t byte) { return 1 + byte % 4; }

void SendRequest(sim::Machine& machine, Reader& in, int adapter, bool checkAliasing, const bool* ended) {
    uint8_t selector = in.Byte();
    uint32_t code = selector & 0x80 ? in.Dword() : servedCodes[selector % std::size(servedCodes)];
    sim::RequestOptions options;
    options.adapter = adapter;
    options.process = ProcessOf(in.Byte());
    uint32_t inputLength = in.Word();
    uint32_t outputLength = in.Word();
    size_t available = in.size - in.at;
    if (inputLength > available) inputLength = static_cast<uint32_t>(available);
    std::vector<uint8_t> input(in.data + in.at, in.data + in.at + inputLength);
    in.at += inputLength;
    if (ended[options.process]) return;
    machine.SetAliasingCheck(checkAliasing);
    sim::RequestResult result = machine.Request(code, input, outputLength, options);
    machine.SetAliasingCheck(false);
    if (result.output.size() > outputLength) Stop(machine, "output beyond the buffer");
}

}  // namespace

// The machine boots once, before fuzzing starts: the coverage a run reports is that of the requests.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    TheFixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fixture& fixture = TheFixture();
    sim::Machine& machine = fixture.machine;
    machine.Restore(fixture.booted);
    machine.ClearTrace();
    Reader in{data, size};
    bool ended[5] = {};
    for (unsigned n = 0; n < MaxOperations && !in.Done(); ++n) {
        uint8_t op = in.Byte();
        int adapter = (op >> 4) & 1;
        switch (op % 6) {
        case 0: SendRequest(machine, in, adapter, (op & 0x20) != 0, ended); break;
        case 1: {
            uint32_t index = in.Word();
            std::vector<uint8_t> input{static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), 0, 0};
            machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, input, 0, sim::RequestOptions{adapter});
            break;
        }
        case 2: machine.ResetHw(adapter); break;
        case 3: machine.Request(IOCTL_VIDEO_RESET_DEVICE, {}, 0, sim::RequestOptions{adapter}); break;
        case 4: {
            uint32_t process = 2 + in.Byte() % 3;
            if (!ended[process]) machine.EndProcess(process);
            ended[process] = true;
            break;
        }
        case 5: {
            uint32_t process = ProcessOf(in.Byte());
            uint32_t address = in.Dword() & 0x7FFFFFFF;
            std::vector<uint8_t> bytes(in.Byte() % 64 + 1, in.Byte());
            if (!ended[process]) machine.ProcessWrite(process, address, bytes);
            break;
        }
        }
        if (!machine.DriverFaults().empty()) Stop(machine, "the simulator reported a driver fault");
    }
    return 0;
}
