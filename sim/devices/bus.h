// The PCI bus and the boards in its slots, as the processor reaches them: physical memory addresses
// decoded to the windows each board's configuration space assigns and enables, I/O ports decoded the
// same way, and configuration space by slot number. Every register, port, ROM and configuration
// access is traced; an access that no device answers is reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/board.h"
#include "support/faults.h"
#include "support/trace.h"

namespace sim {

class WaveCapture;

// Adapters that fit in the machine's PCI slots.
constexpr size_t MaxAdapters = 8;
// What one access on the bus costs the processor: a single-word transaction on a 33 MHz PCI bus.
constexpr uint64_t BusAccessNanoseconds = 300;

class Bus {
public:
    Bus(TraceLog& trace, FaultLog& faults) : trace_(trace), faults_(faults) {}
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Plugs a board into the next slot, assigns its windows as the system would (each at the next
    // address aligned to its size) and, for a primary board with a ROM, runs its video BIOS's
    // power-on self test. Returns its index.
    // The board keeps the ROM image once, as its ROM: its description's copy is left empty.
    int AddBoard(AdapterConfig config);
    size_t BoardCount() const { return boards_.size(); }
    Board& BoardAt(int index) { return boards_.at(index); }
    const Board& BoardAt(int index) const { return boards_.at(index); }
    // The board in a slot, or null for an empty slot.
    Board* BoardInSlot(uint32_t slot);

    // A memory access at a physical address; reads of nothing return all ones.
    uint32_t MemoryAccess(uint32_t physical, unsigned width, bool write, uint32_t value);
    // A block read at a physical address that lies wholly inside an enabled option ROM, as a run of
    // byte reads would give it; false (nothing read) when it does not.
    bool ReadRomBlock(uint32_t physical, uint32_t length, uint8_t* out) const;
    // The same bytes in place, when they all lie inside the ROM's image; null otherwise.
    const uint8_t* RomImageAt(uint32_t physical, uint32_t length) const;
    // A block access of `length` bytes from a physical address, as a copy loop makes it: one traced
    // access for a run of video memory, 32-bit (or byte) accesses elsewhere.
    void MemoryBlock(uint32_t physical, uint8_t* bytes, uint32_t length, bool write);
    // An I/O port access.
    uint32_t PortAccess(uint32_t port, unsigned width, bool write, uint32_t value);
    // Configuration space of a slot: byte counts actually transferred (an empty slot answers with
    // an invalid vendor ID). `requester` is the adapter whose driver asked, for the trace.
    uint32_t ReadConfig(int requester, uint32_t slot, uint8_t* bytes, uint32_t offset, uint32_t length);
    uint32_t WriteConfig(int requester, uint32_t slot, const uint8_t* bytes, uint32_t offset, uint32_t length);

    // An access named by a register or port name in static storage.
    [[gnu::always_inline]] void Trace(int adapter, bool write, unsigned width, Window window, uint32_t offset,
                                      std::string_view name, uint32_t value) {
        if (trace_.Recording()) Record(name, adapter, write, width, window, offset, value);
    }
    // An access named by a text made for it.
    void TraceText(int adapter, bool write, unsigned width, Window window, uint32_t offset, std::string text,
                   uint32_t value) {
        if (trace_.Recording()) {
            trace_.RecordText(TraceEntry{static_cast<int16_t>(adapter), write, window, width, offset, value, {}},
                              std::move(text));
        }
    }
    TraceLog& TraceOf() { return trace_; }

    // --- Time and the wiring around each chip ------------------------------------------------------
    // The machine's clock in nanoseconds: every access on the bus advances it by
    // BusAccessNanoseconds, and the processor's stalls by their length.
    uint64_t Now() const { return now_; }
    void AdvanceTime(uint64_t nanoseconds) { Tick(nanoseconds); }
    // A board's vertical sync output now (the level the status register shows) and the pulses it has
    // sent since power-on.
    bool VsyncLevel(int board);
    uint64_t VsyncPulses(int board);
    // A board loses power (a deep power state): until PowerUp its chip and memory answer nothing
    // (reads all ones, writes lost), its video memory loses what it held, and its chip comes back
    // with its power-on values, as no BIOS runs for it on the way back. The configuration space is
    // kept, as the system restores it.
    void PowerDown(int board);
    void PowerUp(int board) { boards_.at(board).powered = true; }
    // The machine powers off and boots cold (hibernation): every board loses power and what its
    // memory held; the system BIOS runs the power-on self test of each board a BIOS brought up at
    // boot, and every other board keeps its power-on values. The configuration spaces stay as they
    // were, as the PCI bus driver restores each device's resources and decoding.
    void ColdBoot();

    // The registers and configuration spaces of every board (not video memory or ROMs), for the
    // machine's snapshots.
    struct State {
        std::vector<PciFunction> pci;
        std::vector<Chip> chips;
        // --- Time and the wiring around each chip ---
        uint64_t now = 0;
        std::vector<SyncGenerator> syncs;
        std::vector<DisplayMonitor> monitors;
        std::vector<uint8_t> powered;
    };
    State Save() const;
    void Restore(const State& state);

    // A logic analyser on the connectors (null: none): its probes go on every monitor's wires, and
    // it looks at the chips whenever the clock is about to move on. It stays the caller's.
    void AttachWave(WaveCapture* capture);
    // A run that the machine will undo (the aliasing check's) is not captured.
    void PauseWave(bool paused);

private:
    // The clock moves on; a capture first sees what the chips became at the time now ending.
    [[gnu::always_inline]] void Tick(uint64_t nanoseconds) {
        if (wave_) [[unlikely]] LookForWave();
        now_ += nanoseconds;
    }
    [[gnu::noinline]] void LookForWave();
    // Trace's entry, recorded out of line: the access paths that call Trace keep nothing of it
    // when no trace is kept (the name comes first, so that it is passed in registers, not through
    // a copy in the caller's frame).
    [[gnu::noinline]] void Record(std::string_view name, int adapter, bool write, unsigned width, Window window,
                                  uint32_t offset, uint32_t value);
    uint32_t RegisterWindowAccess(int board, uint32_t offset, unsigned width, bool write, uint32_t value);
    uint32_t RomAccess(int board, uint32_t romOffset, uint32_t windowOffset, unsigned width, bool write);
    uint32_t FrameBufferAccess(int board, uint32_t offset, unsigned width, bool write, uint32_t value);
    uint32_t ChipPortAccess(int board, uint32_t offset, unsigned width, bool write, uint32_t value);
    uint32_t VgaPortAccess(int board, uint32_t offset, unsigned width, bool write, uint32_t value);
    // An access to a board without power: nothing answers, reads float to all ones.
    uint32_t UnpoweredAccess(int board, Window window, uint32_t offset, unsigned width, bool write, uint32_t value);
    // A chip register access with the board's wiring: the status register's vertical sync bit and
    // the monitor line register's wires.
    uint32_t ReadChip(Board& board, const RegisterInfo& info);
    void WriteChip(Board& board, const RegisterInfo& info, uint32_t value);

    TraceLog& trace_;
    FaultLog& faults_;
    std::vector<Board> boards_;
    uint32_t nextMemory_ = 0;
    uint64_t now_ = 0;
    WaveCapture* wave_ = nullptr;
};

}  // namespace sim
