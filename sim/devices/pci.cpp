#include "devices/pci.h"

namespace sim {

namespace {
// Status register bits that a write of 1 clears (error flags).
constexpr uint16_t StatusWriteOneToClear = 0xF900;
}

PciFunction::PciFunction(const PciIdentity& identity, const std::array<BarLayout, 3>& bars, uint32_t romSize)
    : bars_(bars), romSize_(romSize) {
    auto put16 = [this](uint32_t offset, uint16_t value) {
        config_[offset] = static_cast<uint8_t>(value);
        config_[offset + 1] = static_cast<uint8_t>(value >> 8);
    };
    put16(pcicfg::VendorId, identity.vendorId);
    put16(pcicfg::DeviceId, identity.deviceId);
    config_[pcicfg::Revision] = identity.revision;
    config_[pcicfg::ClassCode + 2] = 0x03;  // display controller, VGA compatible
    put16(pcicfg::Status, 0x0200);          // medium DEVSEL timing
    put16(pcicfg::SubsystemVendor, identity.subsystemVendor);
    put16(pcicfg::SubsystemId, identity.subsystemId);
    config_[pcicfg::InterruptLine] = 11;
    config_[pcicfg::InterruptPin] = 1;

    writable_[pcicfg::Command] = 0xFF;
    writable_[pcicfg::Command + 1] = 0x07;
    writable_[0x0C] = 0xFF;  // cache line size
    writable_[0x0D] = 0xFF;  // latency timer
    writable_[pcicfg::InterruptLine] = 0xFF;
    for (int bar = 0; bar < 3; ++bar) {
        uint32_t offset = pcicfg::Bar0 + 4 * bar;
        uint32_t flags = bars_[bar].io ? 0x1 : (bars_[bar].prefetchable ? 0x8 : 0x0);
        uint32_t mask = ~(bars_[bar].size - 1) & (bars_[bar].io ? ~0x3u : ~0xFu);
        for (int i = 0; i < 4; ++i) {
            config_[offset + i] = static_cast<uint8_t>(flags >> (8 * i));
            writable_[offset + i] = static_cast<uint8_t>(mask >> (8 * i));
        }
    }
    // A function without a ROM decoder (a ROM size of 0) has no expansion ROM base register: it reads as 0.
    uint32_t romMask = romSize_ ? (~(romSize_ - 1) & 0xFFFFF800) | pcicfg::RomEnable : 0;
    for (int i = 0; i < 4; ++i) writable_[pcicfg::RomBar + i] = static_cast<uint8_t>(romMask >> (8 * i));
    UpdateDecode();
}

void PciFunction::UpdateDecode() {
    uint16_t command = ReadWord(pcicfg::Command);
    decode_.io = command & pcicfg::CommandIo;
    decode_.memory = command & pcicfg::CommandMemory;
    for (int bar = 0; bar < 3; ++bar) {
        decode_.bars[bar] = ReadDword(pcicfg::Bar0 + 4 * bar) & (bars_[bar].io ? ~0x3u : ~0xFu);
    }
    uint32_t rom = ReadDword(pcicfg::RomBar);
    decode_.romEnabled = rom & pcicfg::RomEnable;
    decode_.romAddress = rom & ~(romSize_ - 1) & 0xFFFFF800;
}

void PciFunction::Assign(const std::array<uint32_t, 3>& barAddresses, uint32_t romAddress, bool decoding) {
    for (int bar = 0; bar < 3; ++bar) {
        uint32_t offset = pcicfg::Bar0 + 4 * bar;
        for (int i = 0; i < 4; ++i) WriteByte(offset + i, static_cast<uint8_t>(barAddresses[bar] >> (8 * i)));
    }
    uint32_t rom = romAddress & ~pcicfg::RomEnable;
    for (int i = 0; i < 4; ++i) WriteByte(pcicfg::RomBar + i, static_cast<uint8_t>(rom >> (8 * i)));
    uint16_t command = decoding ? (pcicfg::CommandIo | pcicfg::CommandMemory) : 0;
    WriteByte(pcicfg::Command, static_cast<uint8_t>(command));
    WriteByte(pcicfg::Command + 1, 0);
}

void PciFunction::SetStatusBits(uint16_t bits) {
    config_[pcicfg::Status] |= static_cast<uint8_t>(bits);
    config_[pcicfg::Status + 1] |= static_cast<uint8_t>(bits >> 8);
}

void PciFunction::WriteByte(uint32_t offset, uint8_t value) {
    offset &= 0xFF;
    if (offset == pcicfg::Status || offset == pcicfg::Status + 1) {
        uint8_t clear = static_cast<uint8_t>(StatusWriteOneToClear >> (8 * (offset - pcicfg::Status)));
        config_[offset] = static_cast<uint8_t>(config_[offset] & ~(value & clear));
        return;
    }
    config_[offset] = static_cast<uint8_t>((config_[offset] & ~writable_[offset]) | (value & writable_[offset]));
    UpdateDecode();
}

}  // namespace sim
