// The monitor's identification memory: a write-protected serial EEPROM at I2C address 0x50 holding
// the EDID, 128 bytes or a multiple with its extension blocks (256 at most: one byte of offset).
// Writing a byte after selecting it for writing sets the offset; reads go on from the offset,
// wrapping at the end of the memory. The offset survives a stop, as in the parts monitors carry.
#pragma once

#include <cstdint>
#include <vector>

#include "devices/i2c_bus.h"

namespace sim {

class EdidEeprom : public I2cDevice {
public:
    static constexpr uint8_t Address = 0x50;

    EdidEeprom() = default;
    explicit EdidEeprom(std::vector<uint8_t> contents) : contents_(std::move(contents)) {}

    const std::vector<uint8_t>& Contents() const { return contents_; }
    uint32_t Offset() const { return offset_; }

    bool Select(uint8_t address, bool read) override;
    bool Write(uint8_t byte) override;
    uint8_t Read() override;
    void Stop() override { offsetNext_ = false; }
    // A memory that powers up in transmit-only (DDC1) mode: the clock pulses of the first
    // transaction switch it to two-way (DDC2B) mode, too late to acknowledge that transaction's
    // address; from then on it answers.
    void StartInTransmitOnlyMode() { transmitOnly_ = true; }

private:
    std::vector<uint8_t> contents_;
    uint32_t offset_ = 0;
    bool offsetNext_ = false;   // the next written byte is the offset
    bool transmitOnly_ = false;
};

}  // namespace sim
