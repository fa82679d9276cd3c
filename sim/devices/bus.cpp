#include "devices/bus.h"
#include "support/text_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "devices/memory_controller.h"
#include "devices/option_rom.h"
#include "devices/wave_capture.h"

namespace sim {

namespace {

constexpr uint32_t PciMemoryBase = 0xA0000000;   // where the system assigns PCI memory windows
constexpr uint32_t PciIoBase = 0xD000;
constexpr uint32_t VgaFirstOffset = 0xC0;        // I/O window offset of VGA port 0x3C0
constexpr uint32_t VgaLastOffset = 0xDF;

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// The faults of an access that goes wrong, reported out of the access paths: those run for every
// register access the driver makes and build no text.
[[gnu::noinline, gnu::cold]] void ReportNoDevice(FaultLog& faults, const char* space, unsigned width, bool write,
                                                 uint32_t address) {
    std::string access = std::string(write ? "write" : "read") + " of " + space + " " + Hex(address);
    if (width) access = std::to_string(width) + "-bit " + access;
    faults.ReportAccess(faults.CurrentAdapter(), access + ", where no device answers");
}

[[gnu::noinline, gnu::cold]] void ReportUnknownRegister(FaultLog& faults, int board, const char* what, uint32_t offset) {
    faults.Report(FaultKind::UnknownRegister, board, what + Hex(offset));
}

// `after` follows the register offset ("" for a port access).
[[gnu::noinline, gnu::cold]] void ReportRegisterWidth(FaultLog& faults, int board, unsigned width, const char* what,
                                                      uint32_t offset, const char* after) {
    faults.ReportAccess(board, std::to_string(width) + what + Hex(offset) + after);
}

[[gnu::noinline, gnu::cold]] void ReportRomWrite(FaultLog& faults, int board, uint32_t romOffset) {
    faults.ReportAccess(board, "write to the option ROM at " + Hex(romOffset));
}

}  // namespace

int Bus::AddBoard(AdapterConfig config) {
    if (boards_.size() >= MaxAdapters) {
        throw std::invalid_argument("at most " + std::to_string(MaxAdapters) + " adapters fit in the machine");
    }
    if (nextMemory_ == 0) nextMemory_ = PciMemoryBase;
    Board board;
    board.slot = static_cast<uint32_t>(boards_.size() + 1);
    PciIdentity identity{ZarnVendorId, config.deviceId, config.revision, config.subsystemVendor, config.subsystemId};
    std::array<BarLayout, 3> bars{BarLayout{config.registerWindowMiB << 20, false, false},
                                  BarLayout{FrameBufferWindowSize, false, true}, BarLayout{IoWindowSize, true, false}};
    // The chip decodes its expansion ROM window whether or not a ROM chip is fitted; without one the
    // window's data lines float and every byte reads as 0xFF.
    board.pci = PciFunction(identity, bars, RomWindowSize);
    uint32_t registerBase = AlignUp(nextMemory_, bars[0].size);
    uint32_t frameBufferBase = AlignUp(registerBase + bars[0].size, bars[1].size);
    nextMemory_ = frameBufferBase + bars[1].size;
    uint32_t ioBase = PciIoBase + static_cast<uint32_t>(boards_.size()) * IoWindowSize;
    // The expansion ROMs' windows lie below the other windows, one per slot, downwards.
    board.romWindow = PciMemoryBase - static_cast<uint32_t>(boards_.size() + 1) * RomWindowSize;
    board.pci.Assign({registerBase, frameBufferBase, ioBase}, board.romWindow, !config.secondary);
    if (config.bus66) board.pci.SetStatusBits(pcicfg::Status66MHz);
    board.chip = Chip(Straps{config.memoryMiB, config.altMemory, config.deviceId == 3});
    // The system BIOS runs the video BIOS of the primary adapter before any driver loads.
    // A primary board without a ROM chip is an on-board chip whose video BIOS is part of the system
    // BIOS: the power-on self test runs for it all the same.
    if (!config.secondary) RunPowerOnSelfTest(board.chip, config.deviceId, config.bus66);
    board.monitor = DisplayMonitor(config.monitor);
    board.videoMemory = VideoMemoryBytes(static_cast<size_t>(config.memoryMiB) << 20);
    if (config.hasRom) {
        board.rom = config.romImage.empty() ? BuiltinRom(ZarnVendorId, config.deviceId) : std::move(config.romImage);
    }
    if (board.rom.size() > RomWindowSize) throw std::invalid_argument("the option ROM image is larger than 128 KiB");
    config.romImage.clear();
    board.config = std::move(config);
    boards_.push_back(std::move(board));
    return static_cast<int>(boards_.size() - 1);
}

void Bus::Record(std::string_view name, int adapter, bool write, unsigned width, Window window, uint32_t offset,
                 uint32_t value) {
    trace_.Record(static_cast<int16_t>(adapter), write, window, width, offset, value, name);
}

Board* Bus::BoardInSlot(uint32_t slot) {
    for (Board& board : boards_) {
        if (board.slot == slot) return &board;
    }
    return nullptr;
}

Bus::State Bus::Save() const {
    State state;
    for (const Board& board : boards_) {
        state.pci.push_back(board.pci);
        state.chips.push_back(board.chip);
        state.syncs.push_back(board.sync);
        state.monitors.push_back(board.monitor);
        state.powered.push_back(board.powered);
    }
    state.now = now_;
    return state;
}

void Bus::Restore(const State& state) {
    for (size_t i = 0; i < boards_.size() && i < state.pci.size(); ++i) {
        boards_[i].pci = state.pci[i];
        boards_[i].chip = state.chips[i];
        boards_[i].sync = state.syncs[i];
        boards_[i].monitor = state.monitors[i];
        boards_[i].powered = state.powered[i] != 0;
    }
    now_ = state.now;
    // The monitors restored are the saved copies: the probes go back on their wires.
    AttachWave(wave_);
}

void Bus::AttachWave(WaveCapture* capture) {
    wave_ = capture;
    for (size_t i = 0; i < boards_.size(); ++i) {
        boards_[i].monitor.SetWireWatcher(capture ? capture->WatcherOf(static_cast<int>(i)) : nullptr);
    }
}

void Bus::PauseWave(bool paused) {
    if (wave_) wave_->SetPaused(paused);
}

void Bus::LookForWave() { wave_->Look(now_); }

// --- Configuration space --------------------------------------------------------------------------

uint32_t Bus::ReadConfig(int requester, uint32_t slot, uint8_t* bytes, uint32_t offset, uint32_t length) {
    Tick(BusAccessNanoseconds);
    if (offset >= 256) return 0;
    Board* board = BoardInSlot(slot);
    if (!board) {
        // An empty slot answers with an invalid vendor ID.
        if (length >= 2) bytes[0] = bytes[1] = 0xFF;
        return length >= 2 ? 2 : 0;
    }
    uint32_t count = std::min<uint32_t>(length, 256 - offset);
    for (uint32_t i = 0; i < count; ++i) bytes[i] = board->pci.ReadByte(offset + i);
    Trace(requester, false, count * 8, Window::Config, offset, "config", count >= 4 ? board->pci.ReadDword(offset) : 0);
    return count;
}

uint32_t Bus::WriteConfig(int requester, uint32_t slot, const uint8_t* bytes, uint32_t offset, uint32_t length) {
    Tick(BusAccessNanoseconds);
    if (offset >= 256) return 0;
    Board* board = BoardInSlot(slot);
    if (!board) return 0;
    uint32_t count = std::min<uint32_t>(length, 256 - offset);
    // One access of `count` bytes; the trace names the registers it changed.
    std::string changes;
    const bool named = trace_.Recording();
    for (uint32_t dword = offset & ~3u; dword < offset + count; dword += 4) {
        uint32_t before = board->pci.ReadDword(dword);
        for (uint32_t i = dword; i < dword + 4; ++i) {
            if (i >= offset && i < offset + count) board->pci.WriteByte(i, bytes[i - offset]);
        }
        uint32_t after = board->pci.ReadDword(dword);
        if (named && after != before) changes += " [" + Hex(dword) + "]=" + Hex(after);
    }
    uint32_t first = 0;
    for (uint32_t i = 0; i < 4 && i < count; ++i) first |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    TraceText(requester, true, count * 8, Window::Config, offset, "config" + changes, first);
    return count;
}

// --- Memory space -----------------------------------------------------------------------------------

uint32_t Bus::MemoryAccess(uint32_t physical, unsigned width, bool write, uint32_t value) {
    Tick(BusAccessNanoseconds);
    for (size_t i = 0; i < boards_.size(); ++i) {
        const PciFunction& pci = boards_[i].pci;
        if (!pci.MemoryDecode()) continue;
        int index = static_cast<int>(i);
        uint32_t registerBase = pci.BarAddress(0);
        bool inWindow = physical - registerBase < pci.BarSize(0) || physical - pci.BarAddress(1) < pci.BarSize(1) ||
                        (pci.RomEnabled() && physical - pci.RomAddress() < pci.RomSize());
        if (inWindow && !boards_[i].powered) return UnpoweredAccess(index, Window::Mmio, physical - registerBase, width, write, value);
        if (pci.RomEnabled() && physical - pci.RomAddress() < pci.RomSize()) {
            return RomAccess(index, physical - pci.RomAddress(), physical - registerBase, width, write);
        }
        if (physical - registerBase < pci.BarSize(0)) {
            return RegisterWindowAccess(index, physical - registerBase, width, write, value);
        }
        if (physical - pci.BarAddress(1) < pci.BarSize(1)) {
            return FrameBufferAccess(index, physical - pci.BarAddress(1), width, write, value);
        }
    }
    ReportNoDevice(faults_, "physical address", 0, write, physical);
    return 0xFFFFFFFF;
}

bool Bus::ReadRomBlock(uint32_t physical, uint32_t length, uint8_t* out) const {
    for (const Board& board : boards_) {
        const PciFunction& pci = board.pci;
        if (!pci.MemoryDecode() || !pci.RomEnabled() || !board.powered) continue;
        uint64_t offset = static_cast<uint64_t>(physical) - pci.RomAddress();
        if (physical < pci.RomAddress() || offset + length > pci.RomSize()) continue;
        // Beyond the image, the ROM's unprogrammed bytes read as 0xFF.
        uint64_t inImage = offset < board.rom.size() ? std::min<uint64_t>(length, board.rom.size() - offset) : 0;
        if (inImage) std::copy_n(board.rom.data() + offset, inImage, out);
        std::fill(out + inImage, out + length, uint8_t{0xFF});
        return true;
    }
    return false;
}

const uint8_t* Bus::RomImageAt(uint32_t physical, uint32_t length) const {
    for (const Board& board : boards_) {
        const PciFunction& pci = board.pci;
        if (!pci.MemoryDecode() || !pci.RomEnabled() || !board.powered) continue;
        uint64_t offset = static_cast<uint64_t>(physical) - pci.RomAddress();
        if (physical < pci.RomAddress() || offset + length > pci.RomSize()) continue;
        return offset + length <= board.rom.size() ? board.rom.data() + offset : nullptr;
    }
    return nullptr;
}

void Bus::MemoryBlock(uint32_t physical, uint8_t* bytes, uint32_t length, bool write) {
    while (length > 0) {
        // A run inside one board's video memory is one access.
        uint32_t count = 0;
        for (size_t i = 0; i < boards_.size() && count == 0; ++i) {
            const PciFunction& pci = boards_[i].pci;
            VideoMemoryBytes& memory = boards_[i].videoMemory;
            // Only where the memory controller reaches the board's memory unchanged; the rest goes
            // word by word through it.
            MemoryController controller = MemoryController::Of(boards_[i].chip, memory.size());
            uint32_t reachable = std::min(controller.configuredBytes, controller.installedBytes);
            uint32_t offset = physical - pci.BarAddress(1);
            if (!pci.MemoryDecode() || !boards_[i].powered || offset >= reachable || offset >= pci.BarSize(1)) continue;
            count = static_cast<uint32_t>(std::min<uint64_t>(length, reachable - offset));
            if (write && !controller.running) {
                // The cells are not run: the writes are lost.
            } else if (write) std::copy(bytes, bytes + count, memory.begin() + offset);
            else std::copy(memory.begin() + offset, memory.begin() + offset + count, bytes);
            uint32_t first = 0;
            for (uint32_t b = 0; b < 4 && b < count; ++b) first |= static_cast<uint32_t>(bytes[b]) << (8 * b);
            Trace(static_cast<int>(i), write, count * 8, Window::FrameBuffer, offset, "frame buffer", first);
        }
        if (count == 0) {
            // Registers and the frame buffer window beyond the reachable memory take whole 32-bit
            // words; anything else goes byte by byte.
            unsigned width = physical % 4 == 0 && length >= 4 ? 32 : 8;
            count = width / 8;
            uint32_t value = 0;
            for (uint32_t b = 0; b < count; ++b) value |= static_cast<uint32_t>(bytes[b]) << (8 * b);
            value = MemoryAccess(physical, width, write, value);
            if (!write) {
                for (uint32_t b = 0; b < count; ++b) bytes[b] = static_cast<uint8_t>(value >> (8 * b));
            }
        }
        physical += count;
        bytes += count;
        length -= count;
    }
}

uint32_t Bus::RegisterWindowAccess(int board, uint32_t offset, unsigned width, bool write, uint32_t value) {
    const RegisterInfo* info = FindRegister(offset);
    if (!info) {
        // The chip does not decode the offset: writes are dropped and reads return 0.
        Trace(board, write, width, Window::Mmio, offset, "?", write ? value : 0);
        ReportUnknownRegister(faults_, board, write ? "write of unknown register " : "read of unknown register ", offset);
        return 0;
    }
    if (width != 32) {
        ReportRegisterWidth(faults_, board, width, "-bit access to chip register ", offset, "; registers are 32-bit");
        return 0xFFFFFFFF;
    }
    if (write) WriteChip(boards_[board], *info, value);
    else value = ReadChip(boards_[board], *info);
    Trace(board, write, width, Window::Mmio, offset, info->name, value);
    return value;
}

uint32_t Bus::RomAccess(int board, uint32_t romOffset, uint32_t windowOffset, unsigned width, bool write) {
    if (write) {
        ReportRomWrite(faults_, board, romOffset);
        return 0;
    }
    const std::vector<uint8_t>& rom = boards_[board].rom;
    uint32_t value = 0;
    for (unsigned i = 0; i < width / 8; ++i) {
        uint32_t at = romOffset + i;
        // Beyond the image, the ROM's unprogrammed bytes read as 0xFF.
        uint8_t byte = at < rom.size() ? rom[at] : 0xFF;
        value |= static_cast<uint32_t>(byte) << (8 * i);
    }
    Trace(board, false, width, Window::Mmio, windowOffset, "rom", value);
    return value;
}

uint32_t Bus::FrameBufferAccess(int board, uint32_t offset, unsigned width, bool write, uint32_t value) {
    VideoMemoryBytes& memory = boards_[board].videoMemory;
    MemoryController controller = MemoryController::Of(boards_[board].chip, memory.size());
    unsigned bytes = width / 8;
    uint32_t result = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        int64_t target = controller.Target(static_cast<uint64_t>(offset) + i);
        if (write) {
            if (target >= 0 && controller.running) memory[static_cast<size_t>(target)] = static_cast<uint8_t>(value >> (8 * i));
        } else {
            uint8_t byte = target >= 0 ? memory[static_cast<size_t>(target)] : 0xFF;
            result |= static_cast<uint32_t>(byte) << (8 * i);
        }
    }
    return write ? 0 : result;
}

// --- I/O space --------------------------------------------------------------------------------------

uint32_t Bus::PortAccess(uint32_t port, unsigned width, bool write, uint32_t value) {
    Tick(BusAccessNanoseconds);
    for (size_t i = 0; i < boards_.size(); ++i) {
        const PciFunction& pci = boards_[i].pci;
        if (!pci.IoDecode()) continue;
        uint32_t offset = port - pci.BarAddress(2);
        if (offset >= pci.BarSize(2)) continue;
        int index = static_cast<int>(i);
        if (!boards_[i].powered) return UnpoweredAccess(index, Window::Io, offset, width, write, value);
        if (offset < VgaFirstOffset) return ChipPortAccess(index, offset, width, write, value);
        if (offset > VgaLastOffset || width == 32) break;
        return VgaPortAccess(index, offset, width, write, value);
    }
    ReportNoDevice(faults_, "I/O port", width, write, port);
    return 0xFFFFFFFF;
}

uint32_t Bus::ChipPortAccess(int board, uint32_t offset, unsigned width, bool write, uint32_t value) {
    if (width != 32) {
        ReportRegisterWidth(faults_, board, width, "-bit port access to chip register ", offset, "");
        return 0xFFFFFFFF;
    }
    const RegisterInfo* info = FindRegister(offset);
    if (!info) {
        // The chip does not decode the offset: writes are dropped and reads return 0.
        Trace(board, write, width, Window::Io, offset, "?", write ? value : 0);
        ReportUnknownRegister(faults_, board, "port access to unknown register ", offset);
        return 0;
    }
    if (write) WriteChip(boards_[board], *info, value);
    else value = ReadChip(boards_[board], *info);
    Trace(board, write, width, Window::Io, offset, info->name, value);
    return value;
}

uint32_t Bus::VgaPortAccess(int board, uint32_t offset, unsigned width, bool write, uint32_t value) {
    Chip& chip = boards_[board].chip;
    uint16_t vgaPort = static_cast<uint16_t>(0x300 + offset);
    bool known = false;
    if (write && width == 16) {
        chip.WriteVgaPortWord(vgaPort, static_cast<uint16_t>(value), &known);
    } else if (write) {
        chip.WriteVgaPort(vgaPort, static_cast<uint8_t>(value), &known);
    } else if (width == 8) {
        value = chip.ReadVgaPort(vgaPort, &known);
    } else {
        value = chip.ReadVgaPort(vgaPort, &known) | chip.ReadVgaPort(static_cast<uint16_t>(vgaPort + 1), &known) << 8;
    }
    Trace(board, write, width, Window::Io, offset, Chip::VgaPortName(vgaPort, width == 16, static_cast<uint16_t>(value)),
          value);
    if (!known) ReportUnknownRegister(faults_, board, "access to undecoded VGA port ", vgaPort);
    return value;
}

uint32_t Bus::UnpoweredAccess(int board, Window window, uint32_t offset, unsigned width, bool write, uint32_t value) {
    Trace(board, write, width, window, offset, "no power", write ? value : 0xFFFFFFFF);
    return write ? 0 : 0xFFFFFFFF;
}

// --- Time and the wiring around each chip ---------------------------------------------------------

namespace {

constexpr uint32_t StatusVsync = 0x40;         // status register bit 6: the vertical sync output
constexpr uint32_t LinesEnable = 0x40000;      // monitor line register: the chip drives the lines
constexpr uint32_t LinesClockOut = 0x80000;
constexpr uint32_t LinesDataOut = 0x100000;
constexpr uint32_t LinesClockIn = 0x200000;    // the wires, as read back
constexpr uint32_t LinesDataIn = 0x400000;

}  // namespace

uint32_t Bus::ReadChip(Board& board, const RegisterInfo& info) {
    const uint32_t offset = info.offset;
    uint32_t value = board.chip.Read(info);
    if (offset == chipreg::Status) {
        value = (value & ~StatusVsync) | (board.sync.VsyncLevel(board.chip, now_) ? StatusVsync : 0);
    } else if (offset == chipreg::MonitorLines) {
        value &= ~(LinesClockIn | LinesDataIn);
        board.monitor.Advance(now_);
        value |= (board.monitor.ClockWire() ? LinesClockIn : 0) | (board.monitor.DataWire() ? LinesDataIn : 0);
        board.monitor.Sample(now_);
    }
    return value;
}

// The line outputs are open-drain: a line the chip does not pull low is released, and so are both
// while the display data channel is not enabled.
void Bus::WriteChip(Board& board, const RegisterInfo& info, uint32_t value) {
    const uint32_t offset = info.offset;
    board.chip.Write(info, value);
    if (offset != chipreg::MonitorLines) return;
    uint32_t lines = board.chip.Peek(offset);
    bool enabled = (lines & LinesEnable) != 0;
    board.monitor.DriveLines(!enabled || (lines & LinesClockOut) != 0, !enabled || (lines & LinesDataOut) != 0, now_);
    board.monitor.Sample(now_);
}

bool Bus::VsyncLevel(int board) {
    Board& b = boards_.at(board);
    return b.sync.VsyncLevel(b.chip, now_);
}

uint64_t Bus::VsyncPulses(int board) {
    Board& b = boards_.at(board);
    return b.sync.Pulses(b.chip, now_);
}

void Bus::PowerDown(int board) {
    Board& b = boards_.at(board);
    b.chip = Chip(b.chip.BoardStraps());
    b.sync = SyncGenerator{};
    b.monitor.DriveLines(true, true, now_);
    b.powered = false;
    // Without refresh the DRAM cells lose their charge: what they held is gone.
    b.videoMemory.LoseCharge();
}

void Bus::ColdBoot() {
    for (size_t i = 0; i < boards_.size(); ++i) {
        Board& b = boards_[i];
        PowerDown(static_cast<int>(i));
        b.powered = true;
        if (!b.config.secondary) RunPowerOnSelfTest(b.chip, b.config.deviceId, b.config.bus66);
    }
}

}  // namespace sim
