// Everything discovery takes from outside, chosen by the fuzzer: the board's PCI identity and
// subsystem fields, how it is found (primary or secondary, bus speed, memory), its option ROM
// (the standard image with bytes changed, or any bytes), what its video BIOS answers, and registry
// values of any type and length under the names the driver reads, and a platform routine that fails.
// A fresh machine boots for every input; a driver fault stops the run. A board that starts (with no
// routine failing) must open, answer the mode queries and set its first mode.
//
// Input: flags byte (bit 0 secondary, bit 1 66 MHz bus, bit 2 alternative memory type, bit 3 no ROM,
// bit 4 raw ROM image, bits 5-6 memory size, bit 7 a platform routine fails: then a routine byte (by place, fuzz_picks.h) and
// an occurrence byte follow, the Nth call failing, or every call for a multiple of 8), device byte
// (below 0xF0 a served device, 0xF0-0xF7 that unserved ID, from 0xF8 a served device found after
// byte - 0xF8 other boards: standard secondary ones, each discovered first and taking its share
// of the driver's per-adapter tables; the failing routine then fails only for the fuzzed board),
// subsystem vendor and ID (2 bytes each),
// revision, BIOS byte (bits 0-1 accept every/none/listed, bit 2 own timing; and the platform's
// readings: bit 3 the bus driver's start leaves decoding as the BIOS left it, bit 4 the port lists
// the three windows only, bit 5 the port hands on a value callback's refusal as success), value count, then per
// value: name selector, type, 2-byte length and the bytes; the rest is the ROM: raw bytes, or
// (offset, byte) patches XORed into the standard image.
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>

#include "clients/display_driver.h"
#include "devices/option_rom.h"
#include "fuzz_picks.h"
#include "machine/machine.h"

namespace {

const char* const valueNames[] = {
    "MiniportDebugLevel", "miscInit1",         "dramInit0",        "dramInit1",        "UseNonBIOSModeSet",
    "GammaTable",         "LumenGammaTable",   "UseSoftwareCursor", "GraphicsClocking", "MemClocking",
};
constexpr unsigned MaxValues = 12;
constexpr uint8_t OtherBoardsBase = 0xF8;
constexpr size_t MaxValueBytes = 2048;

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    size_t Left() const { return at < size ? size - at : 0; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
};

sim::AdapterConfig ReadBoard(Reader& in, std::vector<sim::InjectedFault>& failures, unsigned* others) {
    sim::AdapterConfig board;
    uint8_t flags = in.Byte();
    if (flags & 0x80) {
        sim::PlatformCall call;
        const bool named = fuzzpicks::RoutineAt(in.Byte(), &call);
        const unsigned occurrence = in.Byte() % 8u;
        if (named) failures.push_back(sim::InjectedFault{call, -1, occurrence});
    }
    board.secondary = flags & 1;
    board.bus66 = flags & 2;
    const uint32_t sizes[4] = {4, 8, 16, 16};
    board.memoryMiB = sizes[(flags >> 5) & 3];
    board.altMemory = (flags & 4) && board.memoryMiB == 16;
    board.hasRom = !(flags & 8);
    uint8_t device = in.Byte();
    board.deviceId = device < 0xF0 ? static_cast<uint16_t>(3 + device % 3) : device < OtherBoardsBase ? device : 5;
    *others = device >= OtherBoardsBase ? device - OtherBoardsBase : 0;
    board.subsystemVendor = in.Word();
    board.subsystemId = in.Word();
    board.revision = in.Byte();
    uint8_t bios = in.Byte();
    board.bios.accept = static_cast<sim::BiosConfig::Accept>(bios % 3);
    if (board.bios.accept == sim::BiosConfig::Accept::Listed) board.bios.modes = {0x101, 0x111, 0x117, 0x11B};
    board.bios.timing = bios & 4 ? sim::BiosConfig::Timing::Own : sim::BiosConfig::Timing::Keep;
    board.pciStartEnables = !(bios & 8);
    board.rangesAsAssigned = !(bios & 0x10);
    board.callbackStatusIsNtStatus = !(bios & 0x20);
    return board;
}

// The standard board's ROM, built once.
const std::vector<uint8_t>& StandardRom() {
    static const std::vector<uint8_t> standard = sim::BuiltinRom(sim::ZarnVendorId, 5);
    return standard;
}

// The boards found before the fuzzed one: standard secondary boards, with the standard ROM (whose
// version text the driver finds at once; without a ROM it reads the whole floating window).
std::vector<sim::AdapterConfig> OtherBoards(unsigned count) {
    sim::AdapterConfig other;
    other.secondary = true;
    other.memoryMiB = 4;
    other.romImage = StandardRom();
    return std::vector<sim::AdapterConfig>(count, other);
}

void ReadValues(Reader& in, sim::Registry& registry, int adapter) {
    unsigned count = in.Byte() % (MaxValues + 1);
    for (unsigned i = 0; i < count && in.Left(); ++i) {
        const char* name = valueNames[in.Byte() % std::size(valueNames)];
        uint32_t type = in.Byte() % 12;
        size_t length = std::min<size_t>({in.Word(), in.Left(), MaxValueBytes});
        std::vector<uint8_t> bytes(in.data + in.at, in.data + in.at + length);
        in.at += length;
        registry.SetValue(sim::Machine::DeviceKey(adapter), name, type, bytes);
    }
}

std::vector<uint8_t> ReadRom(Reader& in, bool raw) {
    if (raw) return std::vector<uint8_t>(in.data + in.at, in.data + in.at + std::min<size_t>(in.Left(), 128 * 1024));
    std::vector<uint8_t> rom = StandardRom();
    while (in.Left() >= 3) {
        size_t offset = in.Word() % rom.size();
        rom[offset] ^= in.Byte();
    }
    return rom;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    uint8_t flags = size ? data[0] : 0;
    sim::MachineConfig config;
    std::vector<sim::InjectedFault> failures;
    unsigned others = 0;
    sim::AdapterConfig fuzzedBoard = ReadBoard(in, failures, &others);
    config.adapters = OtherBoards(others);
    const int fuzzed = static_cast<int>(others);
    // With other boards the failing routine is the fuzzed board's own: the others start.
    for (sim::InjectedFault& failure : failures) failure.adapter = others ? fuzzed : -1;
    config.adapters.push_back(fuzzedBoard);
    sim::AdapterConfig& board = config.adapters.back();
    config.enumerateChildren = false;   // the monitor's own harness reads it
    sim::Registry values;
    ReadValues(in, values, fuzzed);
    if (board.hasRom) board.romImage = ReadRom(in, flags & 0x10);
    if (board.hasRom && board.romImage.empty()) board.hasRom = false;

    sim::Machine machine(std::move(config));
    machine.GetRegistry() = values;
    machine.KeepLatestTrace(0);   // nothing here reads the access trace
    for (const sim::InjectedFault& failure : failures) machine.InjectFault(failure);
    machine.Boot();
    // A routine that fails may keep the display device from opening or a mode from being set;
    // without one, a started board opens, lists its modes and sets the first.
    const bool opened = machine.Adapter(fuzzed).started && machine.OpenDevice(fuzzed);
    if (machine.Adapter(fuzzed).started && !opened && failures.empty()) {
        std::cerr << "a started adapter does not open\n";
        std::abort();
    }
    if (opened) {
        sim::ModeList list = sim::QueryModes(machine, fuzzed);
        if (failures.empty() && (list.status != NO_ERROR || list.modes.empty())) {
            std::cerr << "a started adapter answers the mode list with " << list.status << "\n";
            std::abort();
        }
        if (!list.modes.empty()) sim::SetModeByIndex(machine, fuzzed, list.modes.front().ModeIndex);
    }
    if (!machine.DriverFaults().empty()) {
        for (const sim::Fault& fault : machine.DriverFaults()) std::cerr << "driver fault: " << fault.message << "\n";
        std::abort();
    }
    return 0;
}
