// Request sequences as the port delivers them, chosen by the fuzzer and decoded as a small grammar,
// so that every handler is reached with the state it needs: requests of a served control code (or
// any code), with input and output lengths near the sizes the handlers check, input bytes that may
// carry addresses the driver handed out in earlier replies, from several processes, with mode sets,
// resets, power changes and child enumeration in between, on a machine with a BIOS-path primary and
// a direct-path secondary (and two more secondaries when the input asks for four boards), with a
// value under each kind of setting name. Every input starts from the same booted machine. A driver
// fault, output beyond the buffer, or an answer that differs when input and output share one buffer
// stops the run.
//
// Input: an optional first byte 0xEF (the machine has four boards: the driver serves at most four
// adapters), then a sequence of operations, each introduced by one byte; op % 10 selects:
//   0-3 request: selector byte (bit 7: a raw 32-bit code follows instead of a served one, named by
//       its place: fuzz_picks.h), process
//       byte, input length, output length, the input bytes, then a patch byte (bit 6: a setting's
//       name chosen by the next byte is written where the settings requests carry it; bit 7: the
//       dword at offset 4 * (bits 0-4) is replaced by the earlier reply's dword chosen by the next
//       byte; bit 5: another patch byte follows, up to four).
//       A length is one byte: below 0xF0 it picks a size the handlers check or the adapter's list
//       of modes (one less, the size, one more or twice it); from 0xF0 a 2-byte length follows
//       (at most 8 KiB).
//   4   mode set: 2-byte word; below 0x8000 it picks one of the adapter's valid modes (word modulo
//       their count), from 0x8000 its low 15 bits are the requested index itself
//   5   HwResetHw, or IOCTL_VIDEO_RESET_DEVICE (next byte odd)
//   6   a process ends (2, 3 or 4, started first if it never ran; the display driver's process 1
//       stays: a later process may get an ended one's object address); with bit 5 of the op
//       byte instead a platform routine fails for the adapter from now on (routine byte, by its
//       place: fuzz_picks.h), as the platform's routines can
//   7   a process writes: process byte, dword selector (as the patch), length byte, the byte
//       (a user-mode program touching what it was given; an address nothing maps is its own fault)
//   8   power: device byte (bit 0 clear: the adapter, set: the monitor), state byte; the state is set
//       when the driver's query allows it, as the platform does, or with bit 1 of the device byte
//       set without the query (the power manager sends some sets, such as a forced sleep or the
//       way back on, without asking first)
//   9   child enumeration for the op byte 0xF9 (once per input: the monitor is read bit by bit),
//       otherwise a query of the monitor's power
// Bits 4 and 6 of the op byte select the adapter (bit 6 the high bit), modulo the number of boards:
// on two boards bit 4 alone. A request from an ended process is not sent. A request
// whose op byte has bits 5-7 set also runs the way the aliasing check does: once with input and
// output in separate buffers, once in one, and the answers must agree (it snapshots the machine, so
// it is kept to one request in eight). The input's length modulo 3 chooses which freed process
// object a new process gets (the kernel's readings: most recently freed, longest freed, never), and
// the length divided by 3, when odd, has the port hand on a registry value callback's refusal as
// success (the port's other reading).
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "colour/colour.h"
#include "machine/machine.h"
#include "fuzz_picks.h"
#include "settings/settings.h"

namespace {

constexpr unsigned MaxOperations = 16;
constexpr size_t MaxRemembered = 32;

// The sizes the handlers compare their buffers with.
constexpr uint32_t checkedSizes[] = {
    0,
    sizeof(ULONG),
    2 * sizeof(ULONG),
    3 * sizeof(ULONG),
    sizeof(VIDEO_MEMORY),
    2 * sizeof(VIDEO_MEMORY),
    sizeof(VIDEO_MEMORY_INFORMATION),
    2 * sizeof(VIDEO_PUBLIC_ACCESS_RANGES),
    sizeof(VIDEO_SHARE_MEMORY),
    sizeof(VIDEO_SHARE_MEMORY_INFORMATION),
    sizeof(VIDEO_MODE),
    sizeof(VIDEO_NUM_MODES),
    sizeof(VIDEO_MODE_INFORMATION),
    20 * sizeof(VIDEO_MODE_INFORMATION),
    sizeof(VIDEO_POWER_MANAGEMENT),
    sizeof(AdapterIdentity),
    sizeof(ApertureMap),
    sizeof(ApertureUnmap),
    sizeof(MappingLookup),
    sizeof(PhysicalPages),
    sizeof(ADDRESS32),
    32,                                   // the BIOS version
    4 + 4 * 1,                            // a colour table of one entry
    4 + 4 * 256,                          // and of 256
    GammaTableBytes,
    sizeof(SettingReply),
    sizeof(SettingWriteHead),
    sizeof(SettingWriteHead) + 4,
    sizeof(SettingWriteHead) + 1024,
};

// Names of each class the settings requests route differently.
const char* const settingNames[] = {"ZRFoo", "LuMode", "KMTC4_Level", "Zarn", "LumenGammaTable", "GammaTable", "Sx"};

constexpr int MaxBoards = 4;
constexpr uint8_t FourBoards = 0xEF;

// The size of the list of modes of the first two adapters (the same on either machine), known once
// the machine has booted.
uint32_t modeListBytes[2];

uint32_t SizeAt(uint32_t pick) {
    pick %= std::size(checkedSizes) + 2;
    return pick < std::size(checkedSizes) ? checkedSizes[pick] : modeListBytes[pick - std::size(checkedSizes)];
}

constexpr uint32_t MaxRawLength = 0x1FFF;

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool Done() const { return at >= size; }
    size_t Left() const { return at < size ? size - at : 0; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Dword() { return Word() | static_cast<uint32_t>(Word()) << 16; }
    uint32_t Length() {
        uint8_t b = Byte();
        if (b >= 0xF0) return Word() & MaxRawLength;
        uint32_t size = SizeAt(b >> 2);
        switch (b & 3) {
        case 0: return size ? size - 1 : 0;
        case 1: return size;
        case 2: return size + 1;
        default: return 2 * size;
        }
    }
};

struct Fixture {
    sim::Machine machine;
    sim::Machine::Snapshot booted;
    int boards;
    // Each adapter's valid mode indices.
    std::vector<uint32_t> modeIndices[MaxBoards];

    static sim::MachineConfig Config(int boards) {
        sim::MachineConfig config;
        sim::AdapterConfig secondary;
        secondary.secondary = true;
        secondary.memoryMiB = 4;
        config.adapters = {sim::AdapterConfig{}, secondary};
        config.adapters.resize(boards, secondary);
        config.systemFiles = {"EXAMPLE.DLL"};
        return config;
    }
    explicit Fixture(int boards) : machine(Config(boards)), boards(boards) {
        // A value under each name the relay and the device parameters hold.
        const std::string settings = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0";
        sim::Registry& registry = machine.GetRegistry();
        registry.SetDword(settings, "ZRFoo", 7);
        // Text as a program may leave it: no terminating zero, an odd number of bytes.
        registry.SetValue(settings, "ZRText", 1, {'a', 0, 'b', 0, 'c'});
        registry.SetValue(settings, "ZRMulti", 7, {'a', 0, 0, 0, 0, 0});
        registry.SetString(settings + "\\D3D", "LuMode", "fast");
        registry.SetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\OpenGLDrivers", "Zarn",
                           "example.dll");
        for (int adapter = 0; adapter < boards; ++adapter) {
            registry.SetValue(sim::Machine::DeviceKey(adapter), "KMTC4_Level", 3, {0x80, 2});
            registry.SetValue(sim::Machine::DeviceKey(adapter), "Sx", 3, {1, 2, 3});
        }
        machine.Boot();
        // No access trace: nothing here reads it, and recording it would cost every input.
        machine.KeepLatestTrace(0);
        for (int adapter = 0; adapter < boards; ++adapter) {
            sim::RequestResult count =
                machine.Request(IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, {}, sizeof(VIDEO_NUM_MODES), sim::RequestOptions{adapter});
            uint32_t modes = count.output.size() >= 4 ? count.output[0] | count.output[1] << 8 : 0;
            uint32_t listBytes = modes * static_cast<uint32_t>(sizeof(VIDEO_MODE_INFORMATION));
            if (adapter < 2) modeListBytes[adapter] = listBytes;
            sim::RequestResult list = machine.Request(IOCTL_VIDEO_QUERY_AVAIL_MODES, {}, listBytes,
                                                      sim::RequestOptions{adapter});
            for (size_t at = 0; at + sizeof(VIDEO_MODE_INFORMATION) <= list.output.size();
                 at += sizeof(VIDEO_MODE_INFORMATION)) {
                VIDEO_MODE_INFORMATION mode;
                std::memcpy(&mode, list.output.data() + at, sizeof mode);
                modeIndices[adapter].push_back(mode.ModeIndex);
            }
            if (modeIndices[adapter].empty()) modeIndices[adapter].push_back(0);
        }
        booted = machine.Save();
    }
};

Fixture& TheFixture(int boards) {
    static Fixture* two = new Fixture(2);
    static Fixture* four = new Fixture(MaxBoards);
    return boards == 2 ? *two : *four;
}

void Stop(sim::Machine& machine, const char* what) {
    std::cerr << what << "\n";
    for (const sim::Fault& fault : machine.DriverFaults()) std::cerr << "driver fault: " << fault.message << "\n";
    std::abort();
}

uint32_t ProcessOf(uint8_t byte) { return 1 + byte % 4; }

// Dwords of earlier replies: the addresses and handles the driver handed out.
struct Remembered {
    uint32_t values[MaxRemembered];
    size_t count = 0;
    void Add(const std::vector<uint8_t>& output) {
        for (size_t at = 0; at + 4 <= output.size() && at < 64; at += 4) {
            uint32_t value;
            std::memcpy(&value, output.data() + at, 4);
            if (value == 0) continue;
            values[count % MaxRemembered] = value;
            ++count;
        }
    }
    uint32_t Pick(uint8_t selector) const {
        size_t known = count < MaxRemembered ? count : MaxRemembered;
        return known ? values[selector % known] : 0;
    }
};

void SendRequest(sim::Machine& machine, Reader& in, int adapter, bool checkAliasing, const bool* ended,
                 Remembered& remembered) {
    uint8_t selector = in.Byte();
    uint32_t code = selector & 0x80 ? in.Dword() : fuzzpicks::CodeAt(selector);
    sim::RequestOptions options;
    options.adapter = adapter;
    options.process = ProcessOf(in.Byte());
    uint32_t inputLength = in.Length();
    uint32_t outputLength = in.Length();
    std::vector<uint8_t> input(inputLength, 0);
    size_t taken = std::min<size_t>(inputLength, in.Left());
    if (taken) std::memcpy(input.data(), in.data + in.at, taken);
    in.at += taken;
    // Up to four patches, each byte's bit 5 asking for another.
    for (unsigned patches = 0; patches < 4; ++patches) {
        uint8_t patch = in.Byte();
        if (patch & 0x40) {
            // A setting's name where the settings requests carry it.
            const char* name = settingNames[in.Byte() % std::size(settingNames)];
            size_t at = code == IOCTL_VIDEO_WRITE_SETTING ? 4 : 0;
            for (size_t i = 0; at + i < input.size(); ++i) {
                input[at + i] = static_cast<uint8_t>(name[i]);
                if (name[i] == 0) break;
            }
        }
        if (patch & 0x80) {
            uint32_t value = remembered.Pick(in.Byte());
            size_t at = 4u * (patch & 0x1F);
            if (at + 4 <= input.size()) std::memcpy(input.data() + at, &value, 4);
        }
        if (!(patch & 0x20)) break;
    }
    if (ended[options.process]) return;
    machine.SetAliasingCheck(checkAliasing);
    sim::RequestResult result = machine.Request(code, input, outputLength, options);
    machine.SetAliasingCheck(false);
    if (result.output.size() > outputLength) Stop(machine, "output beyond the buffer");
    remembered.Add(result.output);
}

}  // namespace

// The machine boots once, before fuzzing starts: the coverage a run reports is that of the requests.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    TheFixture(2);
    TheFixture(MaxBoards);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool fourBoards = size > 0 && data[0] == FourBoards;
    Fixture& fixture = TheFixture(fourBoards ? MaxBoards : 2);
    sim::Machine& machine = fixture.machine;
    machine.Restore(fixture.booted);
    const sim::ProcessReuse readings[] = {sim::ProcessReuse::Recent, sim::ProcessReuse::Oldest, sim::ProcessReuse::Never};
    machine.GetKernel().SetProcessReuse(readings[size % 3]);
    for (int board = 0; board < fixture.boards; ++board) {
        machine.GetBus().BoardAt(board).config.callbackStatusIsNtStatus = (size / 3) % 2 == 0;
    }
    Reader in{data, size, fourBoards ? 1u : 0u};
    Remembered remembered;
    bool ended[5] = {};
    bool enumerated = false;
    for (unsigned n = 0; n < MaxOperations && !in.Done(); ++n) {
        uint8_t op = in.Byte();
        int adapter = (((op >> 4) & 1) | ((op >> 5) & 2)) % fixture.boards;
        switch (op % 10) {
        case 0: case 1: case 2: case 3:
            SendRequest(machine, in, adapter, (op & 0xE0) == 0xE0, ended, remembered);
            break;
        case 4: {
            uint32_t word = in.Word();
            const std::vector<uint32_t>& valid = fixture.modeIndices[adapter];
            uint32_t index = word & 0x8000 ? word & 0x7FFF : valid[word % valid.size()];
            std::vector<uint8_t> input{static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), 0, 0};
            machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, input, 0, sim::RequestOptions{adapter});
            break;
        }
        case 5:
            if (in.Byte() & 1) machine.Request(IOCTL_VIDEO_RESET_DEVICE, {}, 0, sim::RequestOptions{adapter});
            else machine.ResetHw(adapter);
            break;
        case 6: {
            if (op & 0x20) {
                sim::PlatformCall call;
                if (fuzzpicks::RoutineAt(in.Byte(), &call)) machine.InjectFault(sim::InjectedFault{call, adapter, 0});
                break;
            }
            uint32_t process = 2 + in.Byte() % 3;
            if (!ended[process]) {
                machine.StartProcess(process);
                machine.EndProcess(process);
            }
            ended[process] = true;
            break;
        }
        case 7: {
            uint32_t process = ProcessOf(in.Byte());
            uint8_t pick = in.Byte();
            uint32_t address = (pick & 0x80 ? remembered.Pick(pick) + in.Byte() : in.Dword()) & 0x7FFFFFFF;
            std::vector<uint8_t> bytes(in.Byte() % 64 + 1, in.Byte());
            if (!ended[process]) machine.ProcessWrite(process, address, bytes);
            break;
        }
        case 8: {
            uint8_t device = in.Byte();
            uint32_t state = 1 + in.Byte() % 6;
            uint32_t id = device & 1 ? machine.MonitorId(adapter) : sim::Machine::AdapterDevice;
            if (device & 1 && id == 0) break;
            if (device & 2 || machine.QueryPower(adapter, id, state) == NO_ERROR) machine.SetPower(adapter, id, state);
            break;
        }
        default:
            // Reading the monitor bit by bit costs more than all else here: one op byte value
            // enumerates (at most once per input), the others only ask for the monitor's power.
            if (op == 0xF9 && !enumerated) {
                machine.EnumerateChildren(adapter);
                enumerated = true;
            } else if (machine.MonitorId(adapter) != 0) {
                machine.QueryPower(adapter, machine.MonitorId(adapter), 1 + op % 6);
            }
            break;
        }
        if (!machine.DriverFaults().empty()) Stop(machine, "the simulator reported a driver fault");
    }
    return 0;
}
