// A PCI function's 256-byte configuration space, with the header the adapter presents: identity,
// command and status registers, subsystem IDs, three base address registers and the expansion ROM
// base address register. Writes change only the bits the hardware lets them change.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

namespace pcicfg {
constexpr uint32_t VendorId = 0x00;
constexpr uint32_t DeviceId = 0x02;
constexpr uint32_t Command = 0x04;
constexpr uint32_t Status = 0x06;
constexpr uint32_t Revision = 0x08;
constexpr uint32_t ClassCode = 0x09;
constexpr uint32_t Bar0 = 0x10;
constexpr uint32_t SubsystemVendor = 0x2C;
constexpr uint32_t SubsystemId = 0x2E;
constexpr uint32_t RomBar = 0x30;
constexpr uint32_t InterruptLine = 0x3C;
constexpr uint32_t InterruptPin = 0x3D;
constexpr uint16_t CommandIo = 0x0001;
constexpr uint16_t CommandMemory = 0x0002;
constexpr uint16_t Status66MHz = 0x0020;
constexpr uint32_t RomEnable = 0x1;
}  // namespace pcicfg

struct PciIdentity {
    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
    uint8_t revision = 0;
    uint16_t subsystemVendor = 0;
    uint16_t subsystemId = 0;
};

struct BarLayout {
    uint32_t size = 0;     // a power of two
    bool io = false;
    bool prefetchable = false;
};

class PciFunction {
public:
    PciFunction() = default;
    PciFunction(const PciIdentity& identity, const std::array<BarLayout, 3>& bars, uint32_t romSize);

    // Assigns the base address registers and the expansion ROM's window, its decode left off (the
    // system's resource assignment), and the command register.
    void Assign(const std::array<uint32_t, 3>& barAddresses, uint32_t romAddress, bool decoding);
    void SetStatusBits(uint16_t bits);
    // Switches memory and I/O decoding on, keeping the command register's other bits.
    void EnableDecoding() { WriteByte(pcicfg::Command, static_cast<uint8_t>(ReadByte(pcicfg::Command) | pcicfg::CommandIo | pcicfg::CommandMemory)); }

    uint8_t ReadByte(uint32_t offset) const { return config_[offset & 0xFF]; }
    void WriteByte(uint32_t offset, uint8_t value);
    uint32_t ReadDword(uint32_t offset) const {
        return ReadByte(offset) | ReadByte(offset + 1) << 8 | ReadByte(offset + 2) << 16 |
               static_cast<uint32_t>(ReadByte(offset + 3)) << 24;
    }
    uint16_t ReadWord(uint32_t offset) const { return static_cast<uint16_t>(ReadByte(offset) | ReadByte(offset + 1) << 8); }

    // What the command and base address registers decode, kept up to date by every write: the bus
    // asks for it on every access.
    bool IoDecode() const { return decode_.io; }
    bool MemoryDecode() const { return decode_.memory; }
    uint32_t BarAddress(int bar) const { return decode_.bars[bar]; }
    uint32_t BarSize(int bar) const { return bars_[bar].size; }
    bool BarIsIo(int bar) const { return bars_[bar].io; }
    bool RomEnabled() const { return decode_.romEnabled; }
    uint32_t RomAddress() const { return decode_.romAddress; }
    uint32_t RomSize() const { return romSize_; }

private:
    std::array<uint8_t, 256> config_{};
    std::array<uint8_t, 256> writable_{};
    std::array<BarLayout, 3> bars_{};
    uint32_t romSize_ = 0;
    struct Decode {
        bool io = false;
        bool memory = false;
        std::array<uint32_t, 3> bars{};
        bool romEnabled = false;
        uint32_t romAddress = 0;
    };
    Decode decode_;
    void UpdateDecode();
};

}  // namespace sim
