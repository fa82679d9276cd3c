// The adapter's chip: its register file (described once by the register metadata table), the DAC
// colour table, the VGA register set and the memory-size straps.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// What a register does beyond holding its value.
enum class Effect {
    None,
    ReadOnly,    // writes are dropped
    DacIndex,    // selects the DAC entry for the next data access
    DacData,     // reads and writes the selected DAC entry
};

struct RegisterInfo {
    uint32_t offset;
    std::string_view name;
    uint32_t reset;      // value at power-on, before straps
    uint32_t writable;   // bits a write changes
    Effect effect;
};

// The chip's registers, in offset order. Both the register file and the trace names come from it.
const std::vector<RegisterInfo>& RegisterTable();
// The entry of a register offset, or null for an offset the chip does not decode. Offsets below
// 0x100 are found through a direct table: this lookup is on every register access's path.
const RegisterInfo* FindRegister(uint32_t offset);

// The chip's register offsets, each named once: the register table and every part of the simulator
// that looks at the chip use these.
namespace chipreg {
constexpr uint32_t Status = 0x00;
constexpr uint32_t BusInterface = 0x04;
constexpr uint32_t Reg0C = 0x0C;
constexpr uint32_t Reg10 = 0x10;
constexpr uint32_t Reg14 = 0x14;
constexpr uint32_t DramInit0 = 0x18;
constexpr uint32_t DramInit1 = 0x1C;
constexpr uint32_t MemoryRefresh = 0x20;
constexpr uint32_t Reg28 = 0x28;
constexpr uint32_t Reg2C = 0x2C;
constexpr uint32_t Reg30 = 0x30;
constexpr uint32_t Reg34 = 0x34;
constexpr uint32_t PixelClock = 0x40;
constexpr uint32_t GraphicsClock = 0x44;
constexpr uint32_t MemoryClock = 0x48;
constexpr uint32_t OutputControl = 0x4C;
constexpr uint32_t DacIndex = 0x50;
constexpr uint32_t DacData = 0x54;
constexpr uint32_t Pipeline = 0x5C;
constexpr uint32_t MonitorLines = 0x78;
constexpr uint32_t ScreenSize = 0x98;
constexpr uint32_t Reg9C = 0x9C;
constexpr uint32_t ScreenEnd = 0xA0;
constexpr uint32_t RegA8 = 0xA8;
constexpr uint32_t RegE4 = 0xE4;
constexpr uint32_t Stride = 0xE8;
constexpr uint32_t Engine128 = 0x200128;
constexpr uint32_t Engine250 = 0x200250;
}  // namespace chipreg

constexpr uint32_t DacEntries = 512;

// The VGA register set the chip implements.
struct VgaState {
    uint8_t miscOutput = 0;
    uint8_t vgaEnable = 0;
    uint8_t sequencerIndex = 0;
    std::array<uint8_t, 8> sequencer{};
    uint8_t graphicsIndex = 0;
    std::array<uint8_t, 16> graphics{};
    uint8_t crtcIndex = 0;
    std::array<uint8_t, 0x40> crtc{};
    uint8_t attributeIndex = 0;       // includes bit 5, the palette address source
    bool attributeFlipFlopData = false;  // false: the next 0x3C0 write is an index
    std::array<uint8_t, 0x15> attribute{};
    uint8_t featureControl = 0;
};

// How the board is built: memory size and type as the straps report them.
struct Straps {
    uint32_t memoryMiB = 16;   // 4, 8 or 16
    bool altMemory = false;    // the alternative memory type (always 16 MB)
    // The memory runs from its own clock register (device 3); otherwise from the graphics clock.
    bool separateMemoryClock = false;
};

class Chip {
public:
    explicit Chip(const Straps& straps);

    // A 32-bit chip register access; `known` tells whether the chip decodes the offset.
    uint32_t ReadRegister(uint32_t offset, bool* known);
    void WriteRegister(uint32_t offset, uint32_t value, bool* known);
    // The same for a register already found in the table.
    uint32_t Read(const RegisterInfo& info);
    void Write(const RegisterInfo& info, uint32_t value);
    // The raw register value, without side effects (for inspection).
    uint32_t Peek(uint32_t offset) const;
    void Poke(uint32_t offset, uint32_t value);

    // VGA ports 0x3C0-0x3DF; `known` tells whether the chip decodes the port.
    uint8_t ReadVgaPort(uint16_t port, bool* known);
    void WriteVgaPort(uint16_t port, uint8_t value, bool* known);
    // A 16-bit write to a VGA port: to an index port it sets index and data at once.
    void WriteVgaPortWord(uint16_t port, uint16_t value, bool* known);

    const Straps& BoardStraps() const { return straps_; }
    uint32_t DacEntry(uint32_t index) const { return dac_.at(index); }
    const VgaState& Vga() const { return vga_; }
    VgaState& MutableVga() {
        ++generation_;
        return vga_;
    }
    // Counts the changes made to the chip (every write, poke and VGA change), so that what is
    // decoded from its registers can be kept until they change.
    uint64_t Generation() const { return generation_; }

    // The register-level name of a VGA port access, for the trace (static storage).
    static std::string_view VgaPortName(uint16_t port, bool word, uint16_t value);

private:
    Straps straps_;
    std::vector<uint32_t> registers_;   // by position in the register table
    std::array<uint32_t, DacEntries> dac_{};
    uint32_t dacIndex_ = 0;
    VgaState vga_;
    uint64_t generation_ = 0;
};

}  // namespace sim
