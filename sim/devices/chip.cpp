#include "devices/chip.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

constexpr uint32_t All = 0xFFFFFFFF;

// Power-on values; the memory-size straps are added by the constructor.
const std::vector<RegisterInfo> registerTable = {
    {chipreg::Status, "status", 0x00000000, 0x00000000, Effect::ReadOnly},
    {chipreg::BusInterface, "bus_interface", 0x00000000, All, Effect::None},
    {chipreg::Reg0C, "reg_0c", 0x00000000, All, Effect::None},
    {chipreg::Reg10, "reg_10", 0x00000000, All, Effect::None},
    {chipreg::Reg14, "reg_14", 0x00000000, All, Effect::None},
    {chipreg::DramInit0, "dram_init0", 0x00000000, All, Effect::None},
    {chipreg::DramInit1, "dram_init1", 0x00000000, All, Effect::None},
    {chipreg::MemoryRefresh, "reg_20", 0x00000000, All, Effect::None},
    {chipreg::Reg28, "reg_28", 0x00000200, All, Effect::None},
    {chipreg::Reg2C, "reg_2c", 0x00000000, All, Effect::None},
    {chipreg::Reg30, "reg_30", 0x00000000, All, Effect::None},
    {chipreg::Reg34, "reg_34", 0x00000000, All, Effect::None},
    {chipreg::PixelClock, "pixel_clock", 0x00000000, 0x0000FFFF, Effect::None},
    {chipreg::GraphicsClock, "graphics_clock", 0x00000000, 0x0000FFFF, Effect::None},
    {chipreg::MemoryClock, "memory_clock", 0x00000000, 0x0000FFFF, Effect::None},
    {chipreg::OutputControl, "output_control", 0x00000000, All, Effect::None},
    {chipreg::DacIndex, "dac_index", 0x00000000, 0x000001FF, Effect::DacIndex},
    {chipreg::DacData, "dac_data", 0x00000000, 0x00FFFFFF, Effect::DacData},
    {chipreg::Pipeline, "pipeline", 0x00000000, All, Effect::None},
    {chipreg::MonitorLines, "monitor_lines", 0x00000000, 0x001FFFFF, Effect::None},
    {chipreg::ScreenSize, "screen_size", 0x00000000, All, Effect::None},
    {chipreg::Reg9C, "reg_9c", 0x00000000, All, Effect::None},
    {chipreg::ScreenEnd, "screen_end", 0x00000000, All, Effect::None},
    {chipreg::RegA8, "reg_a8", 0x00000000, All, Effect::None},
    {chipreg::RegE4, "reg_e4", 0x00000000, All, Effect::None},
    {chipreg::Stride, "stride", 0x00000000, All, Effect::None},
    {chipreg::Engine128, "engine_128", 0x00000000, All, Effect::None},
    {chipreg::Engine250, "engine_250", 0x00000000, All, Effect::None},
};

// Registers below this offset are found through a direct table, the few above it by a scan.
constexpr uint32_t DirectLookupLimit = 0x100;

std::array<int16_t, DirectLookupLimit / 4> BuildDirectLookup() {
    std::array<int16_t, DirectLookupLimit / 4> positions;
    positions.fill(-1);
    for (size_t i = 0; i < registerTable.size(); ++i) {
        if (registerTable[i].offset < DirectLookupLimit) positions[registerTable[i].offset / 4] = static_cast<int16_t>(i);
    }
    return positions;
}

const std::array<int16_t, DirectLookupLimit / 4> directPositions = BuildDirectLookup();

int PositionOf(uint32_t offset) {
    if (offset < DirectLookupLimit) return offset & 3 ? -1 : directPositions[offset / 4];
    for (size_t i = 0; i < registerTable.size(); ++i) {
        if (registerTable[i].offset == offset) return static_cast<int>(i);
    }
    return -1;
}

int PositionOf(const RegisterInfo& info) { return static_cast<int>(&info - registerTable.data()); }

constexpr uint32_t StrapSize27 = 0x08000000;
constexpr uint32_t StrapSize26 = 0x04000000;
constexpr uint32_t StrapAltMemory = 0x40000000;

}  // namespace

const std::vector<RegisterInfo>& RegisterTable() { return registerTable; }

const RegisterInfo* FindRegister(uint32_t offset) {
    int position = PositionOf(offset);
    return position < 0 ? nullptr : &registerTable[position];
}

Chip::Chip(const Straps& straps) : straps_(straps) {
    for (const RegisterInfo& info : registerTable) registers_.push_back(info.reset);
    uint32_t dram0 = 0;
    if (straps.memoryMiB >= 8) dram0 |= StrapSize27;
    if (straps.memoryMiB >= 16) dram0 |= StrapSize26;
    registers_[PositionOf(chipreg::DramInit0)] |= dram0;
    if (straps.altMemory) registers_[PositionOf(chipreg::DramInit1)] |= StrapAltMemory;
}

uint32_t Chip::ReadRegister(uint32_t offset, bool* known) {
    const RegisterInfo* info = FindRegister(offset);
    *known = info != nullptr;
    return info ? Read(*info) : 0;
}

void Chip::WriteRegister(uint32_t offset, uint32_t value, bool* known) {
    const RegisterInfo* info = FindRegister(offset);
    *known = info != nullptr;
    if (info) Write(*info, value);
}

uint32_t Chip::Read(const RegisterInfo& info) {
    switch (info.effect) {
    case Effect::DacData: return dac_[dacIndex_];
    default: return registers_[PositionOf(info)];
    }
}

void Chip::Write(const RegisterInfo& info, uint32_t value) {
    int position = PositionOf(info);
    ++generation_;
    uint32_t updated = (registers_[position] & ~info.writable) | (value & info.writable);
    switch (info.effect) {
    case Effect::ReadOnly: return;
    case Effect::DacIndex: dacIndex_ = updated; break;
    case Effect::DacData: dac_[dacIndex_] = updated; break;
    case Effect::None: break;
    }
    registers_[position] = updated;
}

uint32_t Chip::Peek(uint32_t offset) const {
    int position = PositionOf(offset);
    if (position < 0) return 0;
    if (registerTable[position].effect == Effect::DacData) return dac_[dacIndex_];
    return registers_[position];
}

void Chip::Poke(uint32_t offset, uint32_t value) {
    int position = PositionOf(offset);
    if (position < 0) return;
    ++generation_;
    registers_[position] = value;
    if (registerTable[position].effect == Effect::DacIndex) dacIndex_ = value & 0x1FF;
}

uint8_t Chip::ReadVgaPort(uint16_t port, bool* known) {
    *known = true;
    switch (port) {
    case 0x3C0: return vga_.attributeIndex;
    case 0x3C1: return vga_.attribute[vga_.attributeIndex & 0x1F] ;
    case 0x3C3: return vga_.vgaEnable;
    case 0x3C4: return vga_.sequencerIndex;
    case 0x3C5: return vga_.sequencer[vga_.sequencerIndex & 7];
    case 0x3CA: return vga_.featureControl;
    case 0x3CC: return vga_.miscOutput;
    case 0x3CE: return vga_.graphicsIndex;
    case 0x3CF: return vga_.graphics[vga_.graphicsIndex & 0xF];
    case 0x3D4: return vga_.crtcIndex;
    case 0x3D5: return vga_.crtc[vga_.crtcIndex & 0x3F];
    case 0x3DA:
        // Reading the input status register resets the attribute controller's flip-flop.
        vga_.attributeFlipFlopData = false;
        return 0;
    default: *known = false; return 0xFF;
    }
}

void Chip::WriteVgaPort(uint16_t port, uint8_t value, bool* known) {
    *known = true;
    ++generation_;
    switch (port) {
    case 0x3C0:
        if (!vga_.attributeFlipFlopData) {
            vga_.attributeIndex = value & 0x3F;
        } else if ((vga_.attributeIndex & 0x1F) < vga_.attribute.size()) {
            vga_.attribute[vga_.attributeIndex & 0x1F] = value;
        }
        vga_.attributeFlipFlopData = !vga_.attributeFlipFlopData;
        return;
    case 0x3C2: vga_.miscOutput = value; return;
    case 0x3C3: vga_.vgaEnable = value; return;
    case 0x3C4: vga_.sequencerIndex = value; return;
    case 0x3C5: vga_.sequencer[vga_.sequencerIndex & 7] = value; return;
    case 0x3CE: vga_.graphicsIndex = value; return;
    case 0x3CF: vga_.graphics[vga_.graphicsIndex & 0xF] = value; return;
    case 0x3D4: vga_.crtcIndex = value; return;
    case 0x3D5: {
        uint8_t index = vga_.crtcIndex & 0x3F;
        // Bit 7 of CRTC 0x11 protects indices 0x00-0x07, all but bit 4 of index 0x07.
        if (index <= 0x07 && (vga_.crtc[0x11] & 0x80)) {
            if (index == 0x07) vga_.crtc[7] = static_cast<uint8_t>((vga_.crtc[7] & ~0x10) | (value & 0x10));
            return;
        }
        vga_.crtc[index] = value;
        return;
    }
    case 0x3DA: vga_.featureControl = value; return;
    default: *known = false; return;
    }
}

void Chip::WriteVgaPortWord(uint16_t port, uint16_t value, bool* known) {
    WriteVgaPort(port, static_cast<uint8_t>(value & 0xFF), known);
    if (!*known) return;
    WriteVgaPort(static_cast<uint16_t>(port + 1), static_cast<uint8_t>(value >> 8), known);
}

namespace {

// "crtc[00]" to "crtc[ff]" and the like: the names of an indexed register set, made once.
struct IndexedNames {
    std::array<std::string, 256> names;
    explicit IndexedNames(const char* format) {
        char text[16];
        for (unsigned i = 0; i < 256; ++i) {
            std::snprintf(text, sizeof text, format, i);
            names[i] = text;
        }
    }
};

}  // namespace

std::string_view Chip::VgaPortName(uint16_t port, bool word, uint16_t value) {
    static const IndexedNames crtc("crtc[%02x]"), sequencer("seq[%02x]"), graphics("gfx[%02x]"), other("vga_3%02x");
    unsigned index = value & 0xFF;
    if (word && port == 0x3D4) return crtc.names[index];
    if (word && port == 0x3C4) return sequencer.names[index];
    if (word && port == 0x3CE) return graphics.names[index];
    switch (port) {
    case 0x3C0: return "attr";
    case 0x3C1: return "attr_data";
    case 0x3C2: return "misc_output";
    case 0x3C3: return "vga_enable";
    case 0x3C4: return "seq_index";
    case 0x3C5: return "seq_data";
    case 0x3CA: return "feature_read";
    case 0x3CC: return "misc_read";
    case 0x3CE: return "gfx_index";
    case 0x3CF: return "gfx_data";
    case 0x3D4: return "crtc_index";
    case 0x3D5: return "crtc_data";
    case 0x3DA: return "input_status";
    default: return port >= 0x300 && port < 0x400 ? std::string_view(other.names[port & 0xFF]) : "vga_?";
    }
}

}  // namespace sim
